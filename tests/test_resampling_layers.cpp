// Resampling and regularisation layers: upsample and downsample, both reorganisations, the
// implicit layer and dropout, against direct references and finite differences, with resize,
// the table rows, the weights-file arrays and the configuration errors.
#include "dropout_layer.h"
#include "implicit_layer.h"
#include "reorg_layer.h"
#include "reorg_old_layer.h"
#include "upsample_layer.h"

#include "layer_test_support.h"

#include <algorithm>
#include <cstdio>

namespace {

template <class Make> layer quiet(Make &&make)
{
    layer l;
    stderr_of([&] { l = make(); });
    return l;
}

// Checks backward against central differences of sum(probe * forward).
void check_gradient(layer &l, std::vector<float> &input, void (*forward)(layer, network_state),
                    void (*backward)(layer, network_state), double tol = 2e-3)
{
    const auto probe = random_vector((size_t)l.outputs * l.batch);
    const auto numeric = numeric_gradient(input, probe, [&] {
        forward(l, state_for(input.data(), nullptr, 0));
        return l.output;
    });
    forward(l, state_for(input.data(), nullptr, 0));
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward(l, state_for(input.data(), delta.data(), 1));
    expect_close(numeric, delta.data(), tol, "input gradient");
}

struct Resample {
    int batch, c, h, w, stride;
};

class UpsampleGeometry : public ::testing::TestWithParam<Resample> {};

TEST_P(UpsampleGeometry, ForwardReplicatesAndBackwardMatchesFiniteDifferences)
{
    const Resample r = GetParam();
    layer l = quiet([&] { return make_upsample_layer(r.batch, r.w, r.h, r.c, r.stride); });
    l.scale = 0.75f;
    ASSERT_EQ(l.out_w, r.w * r.stride);
    std::vector<float> input = random_vector((size_t)l.inputs * r.batch);
    forward_upsample_layer(l, state_for(input.data(), nullptr, 0));
    for (int b = 0; b < r.batch; ++b)
        for (int k = 0; k < r.c; ++k)
            for (int y = 0; y < l.out_h; ++y)
                for (int x = 0; x < l.out_w; ++x)
                    ASSERT_FLOAT_EQ(l.output[((b * r.c + k) * l.out_h + y) * l.out_w + x],
                                    0.75f * input[((b * r.c + k) * r.h + y / r.stride) * r.w + x / r.stride]);
    check_gradient(l, input, forward_upsample_layer, backward_upsample_layer);
    free_layer(l);
}

TEST_P(UpsampleGeometry, DownsampleSumsBlocksAndIgnoresTheSurplus)
{
    const Resample r = GetParam();
    const int w = r.w * r.stride + r.stride - 1, h = r.h * r.stride + (r.stride > 1);
    layer l = quiet([&] { return make_upsample_layer(r.batch, w, h, r.c, -r.stride); });
    ASSERT_EQ(l.reverse, 1);
    ASSERT_EQ(l.out_w, r.w);
    ASSERT_EQ(l.out_h, r.h);
    std::vector<float> input = random_vector((size_t)l.inputs * r.batch);
    forward_upsample_layer(l, state_for(input.data(), nullptr, 0));
    for (int b = 0; b < r.batch; ++b)
        for (int k = 0; k < r.c; ++k)
            for (int y = 0; y < r.h; ++y)
                for (int x = 0; x < r.w; ++x) {
                    double sum = 0;
                    for (int dy = 0; dy < r.stride; ++dy)
                        for (int dx = 0; dx < r.stride; ++dx)
                            sum += input[((b * r.c + k) * h + y * r.stride + dy) * w + x * r.stride + dx];
                    ASSERT_NEAR(l.output[((b * r.c + k) * r.h + y) * r.w + x], sum, 1e-5);
                }
    // The sum is linear, and its backward pass sets every block position to the block's delta.
    check_gradient(l, input, forward_upsample_layer, backward_upsample_layer);
    free_layer(l);
}

INSTANTIATE_TEST_SUITE_P(Geometries, UpsampleGeometry,
                         ::testing::Values(Resample{1, 2, 3, 5, 2}, Resample{2, 3, 4, 3, 3}, Resample{1, 1, 1, 1, 4},
                                           Resample{2, 2, 5, 7, 1}));

TEST(Upsample, ShapesRowsAndResize)
{
    std::string row;
    layer up;
    row = stderr_of([&] { up = make_upsample_layer(1, 13, 13, 256, 2); });
    EXPECT_EQ(row, "upsample                 2x    13 x  13 x 256 ->   26 x  26 x 256\n");
    resize_upsample_layer(&up, 20, 10);
    EXPECT_EQ(up.out_w, 40);
    EXPECT_EQ(up.out_h, 20);
    EXPECT_EQ(up.outputs, 40 * 20 * 256);
    free_layer(up);
    layer down;
    row = stderr_of([&] { down = make_upsample_layer(1, 27, 27, 8, -2); });
    EXPECT_EQ(row, "downsample               2x    27 x  27 x   8 ->   13 x  13 x   8\n");
    resize_upsample_layer(&down, 9, 16);
    EXPECT_EQ(down.out_w, 4);
    EXPECT_EQ(down.out_h, 8);
    free_layer(down);
    // Scale 1: four times the mean of a 2 x 2 block.
    layer d = quiet([] { return make_upsample_layer(1, 2, 2, 1, -2); });
    std::vector<float> in = {1, 2, 3, 4};
    forward_upsample_layer(d, state_for(in.data(), nullptr, 0));
    EXPECT_EQ(d.output[0], 10.f);
    free_layer(d);
}

TEST(Upsample, ParseReadsStrideAndScale)
{
    Options o({{"scale", "0.5"}});
    layer l;
    const std::string err = stderr_of([&] { l = parse_upsample(o.l, params_for(4, 4, 2)); });
    EXPECT_EQ(err.substr(0, err.find("upsample")), "stride: Using default '2'\n");
    EXPECT_EQ(l.scale, .5f);
    EXPECT_EQ(l.out_w, 8);
    free_layer(l);
}

// Direct space-to-depth: output channel offset * c + c2 holds input pixel
// (x * s + offset % s, y * s + offset / s) of channel c2.
TEST(Reorg3d, SpaceToDepthAndItsReverse)
{
    const int batch = 2, c = 3, h = 6, w = 4, s = 2;
    layer l = quiet([&] { return make_reorg_layer(batch, w, h, c, s, 0); });
    ASSERT_EQ(l.out_w, 2);
    ASSERT_EQ(l.out_h, 3);
    ASSERT_EQ(l.out_c, 12);
    std::vector<float> input = random_vector((size_t)l.inputs * batch);
    forward_reorg_layer(l, state_for(input.data(), nullptr, 0));
    for (int b = 0; b < batch; ++b)
        for (int oc = 0; oc < l.out_c; ++oc)
            for (int y = 0; y < l.out_h; ++y)
                for (int x = 0; x < l.out_w; ++x) {
                    const int offset = oc / c, c2 = oc % c;
                    const int iy = y * s + offset / s, ix = x * s + offset % s;
                    ASSERT_EQ(l.output[((b * l.out_c + oc) * l.out_h + y) * l.out_w + x],
                              input[((b * c + c2) * h + iy) * w + ix]);
                }
    check_gradient(l, input, forward_reorg_layer, backward_reorg_layer);

    // The reversed layer is a permutation too (over its output geometry, 4 x 6 x 1 here).
    layer r = quiet([&] { return make_reorg_layer(batch, 2, 3, 16, s, 1); });
    ASSERT_EQ(r.out_w, 4);
    ASSERT_EQ(r.out_c, 4);
    std::vector<float> big = random_vector((size_t)r.inputs * batch);
    forward_reorg_layer(r, state_for(big.data(), nullptr, 0));
    std::vector<float> sorted_in = big, sorted_out(r.output, r.output + big.size());
    std::sort(sorted_in.begin(), sorted_in.end());
    std::sort(sorted_out.begin(), sorted_out.end());
    EXPECT_EQ(sorted_in, sorted_out);
    check_gradient(r, big, forward_reorg_layer, backward_reorg_layer);
    free_layer(l);
    free_layer(r);
}

TEST(Reorg3d, ChannelSixtyFourHoldsChannelZeroShiftedByOneColumn)
{
    std::string row;
    layer l;
    row = stderr_of([&] { l = make_reorg_layer(1, 26, 26, 64, 2, 0); });
    EXPECT_EQ(row, "reorg                    / 2   26 x  26 x  64 ->   13 x  13 x 256\n");
    std::vector<float> input = random_vector(l.inputs);
    forward_reorg_layer(l, state_for(input.data(), nullptr, 0));
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(l.output[(64 * 13 + y) * 13 + x], input[(2 * y) * 26 + 2 * x + 1]);
    resize_reorg_layer(&l, 8, 10);
    EXPECT_EQ(l.out_w, 4);
    EXPECT_EQ(l.out_h, 5);
    EXPECT_EQ(l.outputs, 4 * 5 * 256);
    free_layer(l);
}

TEST(ReorgOld, PermutationOverTheInputGeometry)
{
    const int batch = 2, c = 8, h = 4, w = 6, s = 2;
    layer l;
    std::string row = stderr_of([&] { l = make_reorg_old_layer(batch, w, h, c, s, 0); });
    EXPECT_EQ(row, "reorg_old              / 2     6 x   4 x   8   ->     3 x   2 x  32\n");
    std::vector<float> input = random_vector((size_t)l.inputs * batch);
    forward_reorg_old_layer(l, state_for(input.data(), nullptr, 0));
    // Direct form of the permutation handed (w, h, c): out[i, j, k] = in[(w2, h2, c2)] in the
    // stride-times-larger frame of c / s^2 channels.
    const int oc = c / (s * s);
    for (int b = 0; b < batch; ++b)
        for (int k = 0; k < c; ++k)
            for (int j = 0; j < h; ++j)
                for (int i = 0; i < w; ++i) {
                    const int c2 = k % oc, offset = k / oc;
                    const int w2 = i * s + offset % s, h2 = j * s + offset / s;
                    ASSERT_EQ(l.output[i + w * (j + h * (k + c * b))],
                              input[w2 + w * s * (h2 + h * s * (c2 + oc * b))]);
                }
    check_gradient(l, input, forward_reorg_old_layer, backward_reorg_old_layer);
    resize_reorg_old_layer(&l, 4, 8);
    EXPECT_EQ(l.out_w, 2);
    EXPECT_EQ(l.out_h, 4);
    free_layer(l);
}

TEST(ReorgParse, ReorgOldAnnouncesItselfAndBadShapesStop)
{
    Options o({{"stride", "2"}});
    testing::internal::CaptureStdout();
    layer l = quiet([&] { return parse_reorg_old(o.l, params_for(4, 4, 4)); });
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n reorg_old \n");
    EXPECT_EQ(l.type, REORG_OLD);
    free_layer(l);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(parse_reorg(o.l, params_for(0, 4, 4)), ::testing::ExitedWithCode(1),
                "Layer before reorg layer must output image.");
    EXPECT_EXIT(parse_reorg_old(o.l, params_for(4, 4, 0)), ::testing::ExitedWithCode(1),
                "Layer before reorg layer must output image.");
    // Channel counts the permutation cannot split would divide by zero.
    EXPECT_EXIT(parse_reorg_old(o.l, params_for(4, 4, 3)), ::testing::ExitedWithCode(1),
                "3 channels cannot be split into 2 x 2 groups");
    Options rev({{"stride", "2"}, {"reverse", "1"}});
    EXPECT_EXIT(parse_reorg(rev.l, params_for(4, 4, 8)), ::testing::ExitedWithCode(1), "cannot be split");
    EXPECT_EXIT(parse_reorg_old(o.l, params_for(5, 4, 4)), ::testing::ExitedWithCode(1),
                "multiples of the stride");
}

TEST(Implicit, ConstantPerImageGradientUpdateAndWeights)
{
    layer l;
    const std::string row = stderr_of([&] { l = make_implicit_layer(3, 7, .5f, .2f, 4, 2); });
    EXPECT_EQ(row, "implicit Layer: 4 x 2 \t mean=0.50, std=0.20 \n");
    EXPECT_EQ(l.nweights, 8);
    EXPECT_EQ(l.out_c, 4);
    EXPECT_EQ(l.out_h, 2);
    for (int i = 0; i < l.nweights; ++i) {
        EXPECT_GE(l.weights[i], .3f - 1e-6f);
        EXPECT_LE(l.weights[i], .7f + 1e-6f);
    }
    forward_implicit_layer(l, state_for(nullptr, nullptr, 1));
    for (int b = 0; b < 3; ++b)
        EXPECT_EQ(std::vector<float>(l.output + b * 8, l.output + b * 8 + 8), std::vector<float>(l.weights, l.weights + 8));

    for (int i = 0; i < 24; ++i) l.delta[i] = (float)i;
    std::vector<float> prev(1, 42.f);
    backward_implicit_layer(l, state_for(nullptr, prev.data(), 1));
    EXPECT_EQ(prev[0], 42.f);
    for (int i = 0; i < 8; ++i) EXPECT_FLOAT_EQ(l.weight_updates[i], (float)(i + (i + 8) + (i + 16)));

    const std::vector<float> w0(l.weights, l.weights + 8), u0(l.weight_updates, l.weight_updates + 8);
    update_implicit_layer(l, 3, .1f, .9f, .01f);
    for (int i = 0; i < 8; ++i) {
        const float u = u0[i] - .01f * 3 * w0[i];
        EXPECT_NEAR(l.weights[i], w0[i] + .1f / 3 * u, 1e-5);
        EXPECT_NEAR(l.weight_updates[i], .9f * u, 1e-4);
    }

    FILE *fp = tmpfile();
    save_implicit_weights(l, fp);
    EXPECT_EQ(ftell(fp), 8 * 4);
    rewind(fp);
    layer m = quiet([] { return make_implicit_layer(1, 0, 0, 1, 4, 2); });
    load_implicit_weights(m, fp);
    EXPECT_EQ(0, memcmp(m.weights, l.weights, 8 * sizeof(float)));
    fclose(fp);
    free_layer(l);
    free_layer(m);
}

TEST(Implicit, ShortWeightsFileWarns)
{
    layer l = quiet([] { return make_implicit_layer(1, 5, 0, 1, 4, 1); });
    FILE *fp = tmpfile();
    const float two[2] = {1, 2};
    fwrite(two, sizeof(float), 2, fp);
    rewind(fp);
    testing::internal::CaptureStdout();
    load_implicit_weights(l, fp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n Warning: Unexpected end of wights-file! l.weights - l.index = 5 \n");
    fclose(fp);
    free_layer(l);
}

// The dropout works in place on buffers it does not own; the test plays the previous layer.
TEST(Dropout, TrainingDropsAndScalesInferencePassesThrough)
{
    const int batch = 2, inputs = 5000;
    layer l;
    const std::string row =
        stderr_of([&] { l = make_dropout_layer(batch, inputs, .5f, 0, 0, 0, 50, 100, 1); });
    EXPECT_EQ(row, "dropout    p = 0.500        5000  ->   5000\n");
    EXPECT_EQ(l.scale, 2.f);
    const auto original = random_vector((size_t)batch * inputs, .1f, 1);
    std::vector<float> data = original;
    forward_dropout_layer(l, state_for(data.data(), nullptr, 0));
    EXPECT_EQ(data, original);

    forward_dropout_layer(l, state_for(data.data(), nullptr, 1));
    int dropped = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        if (l.rand[i] < .5f) {
            ASSERT_EQ(data[i], 0.f);
            ++dropped;
        } else {
            ASSERT_EQ(data[i], original[i] * 2);
        }
    }
    EXPECT_NEAR(dropped / (double)data.size(), .5, .03);

    std::vector<float> delta(data.size(), 3.f);
    backward_dropout_layer(l, state_for(data.data(), delta.data(), 1));
    for (size_t i = 0; i < delta.size(); ++i) ASSERT_EQ(delta[i], l.rand[i] < .5f ? 0.f : 6.f);

    resize_dropout_layer(&l, 40);
    EXPECT_EQ(l.inputs, 40);
    EXPECT_EQ(l.outputs, 40);
    free_layer(l);
}

TEST(Dropout, ParseChecksAndRows)
{
    {
        Options o({{"probability", "0.1"}, {"dropblock", "1"}});
        layer l;
        testing::internal::CaptureStdout();
        const std::string row = stderr_of([&] { l = parse_dropout(o.l, params_for(13, 13, 8)); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  " [dropout] - None of the parameters (dropblock_size_rel or dropblock_size_abs) are set, will be "
                  "used: dropblock_size_abs = 7 \n");
        EXPECT_EQ(row, "dropblock    p = 0.100   l.dropblock_size_abs = 7    1352  ->   1352\n");
        EXPECT_EQ(l.out_w, 13);
        EXPECT_EQ(l.out_c, 8);
        free_layer(l);
    }
    {
        Options o({{"dropblock", "1"}, {"dropblock_size_abs", "20.7"}, {"dropblock_size_rel", "0.3"}});
        layer l;
        testing::internal::CaptureStdout();
        stderr_of([&] { l = parse_dropout(o.l, params_for(13, 10, 8)); });
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  " [dropout] - dropblock_size_abs = 20 that is bigger than layer size 10 x 13 \n"
                  " [dropout] - Both parameters are set, only the parameter will be used: dropblock_size_abs = 10 \n");
        EXPECT_EQ(l.dropblock_size_abs, 10);
        EXPECT_EQ(l.dropblock_size_rel, 0.f);
        free_layer(l);
    }
    {
        Options o({{"dropblock", "1"}, {"dropblock_size_rel", "0.25"}});
        layer l;
        const std::string row = stderr_of([&] { l = parse_dropout(o.l, params_for(4, 4, 2)); });
        EXPECT_EQ(row, "probability: Using default '0.200000'\n"
                       "dropblock    p = 0.200   l.dropblock_size_rel = 0.25      32  ->     32\n");
        free_layer(l);
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(quiet([] { return make_dropout_layer(1, 10, .5f, 1, 0, 3, 0, 5, 2); }), ::testing::ExitedWithCode(0),
                "");
}

} // namespace
