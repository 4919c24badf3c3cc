// Crop layer: the centred window at inference, the random window and flip in training (offsets
// drawn in their fixed order), the value mapping, resize, the cfg keys and the fatal checks.
#include "crop_layer.h"
#include "layer.h"
#include "option_list.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

network_state make_state(float *input, int train)
{
    network_state s = {};
    s.input = input;
    s.train = train;
    return s;
}

layer make_quiet(int batch, int h, int w, int c, int ch, int cw, int flip)
{
    testing::internal::CaptureStderr();
    layer l = make_crop_layer(batch, h, w, c, ch, cw, flip, 0, 1, 1);
    testing::internal::GetCapturedStderr();
    return l;
}

// Pixel (b, k, y, x) of an input encodes its own coordinates.
std::vector<float> coded_input(int batch, int c, int h, int w)
{
    std::vector<float> v((size_t)batch * c * h * w);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (float)i / v.size();
    return v;
}

void expect_window(const layer &l, const std::vector<float> &in, int dh, int dw, int flip, float scale, float shift)
{
    int idx = 0;
    for (int b = 0; b < l.batch; ++b)
        for (int k = 0; k < l.c; ++k)
            for (int i = 0; i < l.out_h; ++i)
                for (int j = 0; j < l.out_w; ++j, ++idx) {
                    const int col = flip ? l.w - dw - j - 1 : j + dw;
                    const float v = in[((size_t)(b * l.c + k) * l.h + i + dh) * l.w + col];
                    ASSERT_FLOAT_EQ(v * scale + shift, l.output[idx]) << b << " " << k << " " << i << " " << j;
                }
}

TEST(Crop, ConstructorPrintsRow)
{
    testing::internal::CaptureStderr();
    layer l = make_crop_layer(1, 256, 200, 3, 224, 180, 1, 0, 1, 1);
    EXPECT_EQ("Crop Layer: 256 x 200 -> 224 x 180 x 3 image\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(224 * 180 * 3, l.outputs);
    EXPECT_FLOAT_EQ(224.f / 256, l.scale);
    EXPECT_EQ(nullptr, l.backward);
    free_layer(l);
}

TEST(Crop, InferenceTakesTheCentredWindow)
{
    layer l = make_quiet(2, 256, 256, 2, 224, 224, 1);
    auto in = coded_input(2, 2, 256, 256);
    forward_crop_layer(l, make_state(in.data(), 0));
    // Rows and columns 16..239, mapped from 0..1 to -1..1.
    expect_window(l, in, 16, 16, 0, 2, -1);
    EXPECT_FLOAT_EQ(in[16 * 256 + 16] * 2 - 1, l.output[0]);
    EXPECT_FLOAT_EQ(in[239 * 256 + 239] * 2 - 1, l.output[224 * 224 - 1]);
    free_layer(l);
}

TEST(Crop, TrainingDrawsFlipThenRowThenColumn)
{
    for (int flip_key : {0, 1})
        for (unsigned seed : {1u, 7u, 12345u}) {
            layer l = make_quiet(1, 9, 11, 2, 5, 4, flip_key);
            l.noadjust = 1;
            auto in = coded_input(1, 2, 9, 11);
            srand(seed);
            const int flip = flip_key ? rand() % 2 : 0;
            const int dh = rand() % (9 - 5 + 1);
            const int dw = rand() % (11 - 4 + 1);
            srand(seed);
            forward_crop_layer(l, make_state(in.data(), 1));
            expect_window(l, in, dh, dw, flip, 1, 0);
            free_layer(l);
        }
}

TEST(Crop, ResizeKeepsTheProportion)
{
    layer l = make_quiet(2, 100, 100, 3, 80, 80, 0);
    const layer_kind *k = get_layer_kind(CROP);
    k->resize(&l, 50, 60, 0, nullptr);
    EXPECT_EQ(40, l.out_w);
    EXPECT_EQ(48, l.out_h);
    EXPECT_EQ(50 * 60 * 3, l.inputs);
    EXPECT_EQ(40 * 48 * 3, l.outputs);
    auto in = coded_input(2, 3, 60, 50);
    forward_crop_layer(l, make_state(in.data(), 0));
    expect_window(l, in, 6, 5, 0, 2, -1);
    free_layer(l);
}

list *options_of(std::initializer_list<const char *> lines)
{
    list *options = make_list();
    for (const char *line : lines) read_option(copy_string(line), options);
    return options;
}

TEST(Crop, ParserReadsKeys)
{
    size_params p = {};
    p.batch = 2;
    p.h = 32;
    p.w = 30;
    p.c = 3;
    list *options = options_of({"crop_height=28", "crop_width=24", "flip=1", "angle=7", "saturation=1.5",
                                "exposure=1.25", "shift=0.2", "noadjust=1"});
    testing::internal::CaptureStderr();
    layer l = parse_crop(options, p);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(28, l.out_h);
    EXPECT_EQ(24, l.out_w);
    EXPECT_EQ(1, l.flip);
    EXPECT_EQ(7.f, l.angle);
    EXPECT_EQ(1.5f, l.saturation);
    EXPECT_EQ(1.25f, l.exposure);
    EXPECT_FLOAT_EQ(0.2f, l.shift);
    EXPECT_EQ(1, l.noadjust);
    free_layer(l);
    free_options(options);
}

TEST(Crop, FatalShapes)
{
    size_params p = {};
    p.batch = 1;
    p.inputs = 10;
    list *options = options_of({"crop_height=2", "crop_width=2"});
    EXPECT_EXIT(parse_crop(options, p), testing::ExitedWithCode(1), "Layer before crop layer must output image.");
    free_options(options);
    // A window larger than the image would draw offsets modulo a non-positive slack.
    EXPECT_EXIT(make_crop_layer(1, 8, 8, 3, 9, 4, 0, 0, 1, 1), testing::ExitedWithCode(1),
                "Crop window must be at least 1 x 1 and fit inside the input image");
}

} // namespace
