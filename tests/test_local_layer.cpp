// Locally connected layer: forward against a direct per-position convolution over a table of
// geometries, gradients against finite differences, the initial weights, the update, the weights
// file, the cfg keys and the geometry checks.
#include "layer.h"
#include "local_layer.h"
#include "option_list.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

network_state make_state(float *input, float *delta)
{
    network_state s = {};
    s.input = input;
    s.delta = delta;
    s.train = 1;
    return s;
}

layer make_quiet(int batch, int h, int w, int c, int n, int size, int stride, int pad, ACTIVATION a)
{
    testing::internal::CaptureStderr();
    layer l = make_local_layer(batch, h, w, c, n, size, stride, pad, a);
    testing::internal::GetCapturedStderr();
    return l;
}

std::vector<float> random_vector(size_t n, float lo = -1, float hi = 1)
{
    std::vector<float> v(n);
    for (auto &x : v) x = random_uniform(lo, hi);
    return v;
}

size_t weight_count(const layer &l) { return (size_t)l.out_h * l.out_w * l.n * l.c * l.size * l.size; }

void randomise(layer &l)
{
    for (size_t i = 0; i < weight_count(l); ++i) l.weights[i] = random_uniform(-1, 1);
    for (int i = 0; i < l.outputs; ++i) l.biases[i] = random_uniform(-1, 1);
}

// Output (b, f, y, x): the bias of that output plus location (y, x)'s filter f over the padded
// window; location j's bank is an n x (c·size·size) matrix.
std::vector<double> reference_forward(const layer &l, const std::vector<float> &in)
{
    const int loc = l.out_h * l.out_w, k = l.c * l.size * l.size;
    std::vector<double> out((size_t)l.batch * l.outputs);
    for (int b = 0; b < l.batch; ++b)
        for (int f = 0; f < l.n; ++f)
            for (int y = 0; y < l.out_h; ++y)
                for (int x = 0; x < l.out_w; ++x) {
                    const int j = y * l.out_w + x;
                    double s = l.biases[f * loc + j];
                    for (int ch = 0; ch < l.c; ++ch)
                        for (int ky = 0; ky < l.size; ++ky)
                            for (int kx = 0; kx < l.size; ++kx) {
                                const int r = y * l.stride + ky - l.pad, col = x * l.stride + kx - l.pad;
                                if (r < 0 || col < 0 || r >= l.h || col >= l.w) continue;
                                const double w = l.weights[(size_t)j * k * l.n + f * k + (ch * l.size + ky) * l.size + kx];
                                s += w * in[((size_t)(b * l.c + ch) * l.h + r) * l.w + col];
                            }
                    out[(size_t)b * l.outputs + f * loc + j] = l.activation == LOGISTIC ? 1 / (1 + exp(-s)) : s;
                }
    return out;
}

TEST(Local, ConstructorPrintsRowAndPadKeepsThirteen)
{
    testing::internal::CaptureStderr();
    layer l = make_local_layer(1, 13, 13, 3, 4, 3, 1, 1, LEAKY);
    EXPECT_EQ("Local Layer: 13 x 13 x 3 image, 4 filters -> 13 x 13 x 4 image\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(13, l.out_h);
    EXPECT_EQ(13, l.out_w);
    EXPECT_EQ(13 * 13 * 4, l.outputs);
    // Only location 0's bank starts random.
    const size_t first = 3 * 4 * 3 * 3;
    const float bound = sqrtf(2.f / (3 * 3 * 3));
    int nonzero = 0;
    for (size_t i = 0; i < first; ++i) {
        EXPECT_LE(std::fabs(l.weights[i]), bound);
        nonzero += l.weights[i] != 0;
    }
    EXPECT_GT(nonzero, (int)first / 2);
    for (size_t i = first; i < weight_count(l); ++i) ASSERT_EQ(0.f, l.weights[i]);
    free_layer(l);
}

TEST(Local, ForwardMatchesDirectReference)
{
    struct Case {
        int h, w, c, n, size, stride, pad;
        ACTIVATION a;
    } cases[] = {{13, 13, 2, 3, 3, 1, 1, LINEAR}, {7, 9, 3, 2, 3, 2, 0, LOGISTIC}, {6, 5, 1, 4, 1, 1, 0, LINEAR},
                 {8, 8, 2, 2, 3, 2, 1, LINEAR}, {5, 7, 2, 1, 2, 1, 0, LOGISTIC}};
    for (const Case &c : cases) {
        layer l = make_quiet(2, c.h, c.w, c.c, c.n, c.size, c.stride, c.pad, c.a);
        randomise(l);
        auto in = random_vector((size_t)2 * l.inputs);
        forward_local_layer(l, make_state(in.data(), nullptr));
        const auto want = reference_forward(l, in);
        for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(want[i], l.output[i], 1e-4) << i;
        free_layer(l);
    }
}

double probe_loss(layer &l, std::vector<float> &in, const std::vector<float> &probe)
{
    forward_local_layer(l, make_state(in.data(), nullptr));
    double s = 0;
    for (size_t i = 0; i < probe.size(); ++i) s += (double)probe[i] * l.output[i];
    return s;
}

TEST(Local, GradientsMatchFiniteDifferences)
{
    layer l = make_quiet(2, 5, 4, 2, 2, 3, 1, 1, LOGISTIC);
    randomise(l);
    auto in = random_vector((size_t)2 * l.inputs);
    auto probe = random_vector((size_t)2 * l.outputs);
    std::vector<float> prev(in.size(), 0.5f);
    probe_loss(l, in, probe);
    std::copy(probe.begin(), probe.end(), l.delta);
    backward_local_layer(l, make_state(in.data(), prev.data()));
    for (float &d : prev) d -= 0.5f;  // added into, not overwritten

    auto check = [&](const char *what, float *param, size_t n, const float *analytic) {
        double scale = 1e-3, worst = 0;
        for (size_t i = 0; i < n; ++i) scale = std::max(scale, (double)std::fabs(analytic[i]));
        for (size_t i = 0; i < n; ++i) {
            const float keep = param[i], h = 1e-2f;
            param[i] = keep + h;
            const double up = probe_loss(l, in, probe);
            param[i] = keep - h;
            const double down = probe_loss(l, in, probe);
            param[i] = keep;
            worst = std::max(worst, std::fabs((up - down) / (2 * h) - analytic[i]) / scale);
        }
        EXPECT_LT(worst, 2e-3) << what;
    };
    check("weights", l.weights, weight_count(l), l.weight_updates);
    check("biases", l.biases, l.outputs, l.bias_updates);
    check("input", in.data(), in.size(), prev.data());
    free_layer(l);
}

TEST(Local, UpdateAppliesRateMomentumAndDecay)
{
    layer l = make_quiet(1, 3, 3, 1, 1, 2, 1, 0, LINEAR);
    randomise(l);
    const size_t n = weight_count(l);
    for (size_t i = 0; i < n; ++i) l.weight_updates[i] = random_uniform(-1, 1);
    for (int i = 0; i < l.outputs; ++i) l.bias_updates[i] = random_uniform(-1, 1);
    std::vector<float> w(l.weights, l.weights + n), wu(l.weight_updates, l.weight_updates + n);
    std::vector<float> b(l.biases, l.biases + l.outputs), bu(l.bias_updates, l.bias_updates + l.outputs);
    update_local_layer(l, 2, 0.1f, 0.9f, 0.01f);
    for (size_t i = 0; i < n; ++i) {
        const float g = wu[i] - 0.01f * 2 * w[i];
        EXPECT_NEAR(w[i] + 0.05f * g, l.weights[i], 1e-6);
        EXPECT_NEAR(0.9f * g, l.weight_updates[i], 1e-6);
    }
    for (int i = 0; i < l.outputs; ++i) {
        EXPECT_NEAR(b[i] + 0.05f * bu[i], l.biases[i], 1e-6);
        EXPECT_NEAR(0.9f * bu[i], l.bias_updates[i], 1e-6);
    }
    free_layer(l);
}

TEST(Local, WeightsFileHoldsBiasesThenEveryBankBitForBit)
{
    layer l = make_quiet(1, 4, 4, 2, 3, 3, 1, 0, LINEAR);
    randomise(l);
    FILE *fp = tmpfile();
    get_layer_kind(LOCAL)->write_weights(l, fp, 0);
    EXPECT_EQ((long)(sizeof(float) * (l.outputs + weight_count(l))), ftell(fp));
    rewind(fp);
    std::vector<float> first(l.outputs);
    ASSERT_EQ((size_t)l.outputs, fread(first.data(), sizeof(float), l.outputs, fp));
    EXPECT_EQ(0, memcmp(first.data(), l.biases, l.outputs * sizeof(float)));
    layer r = make_quiet(1, 4, 4, 2, 3, 3, 1, 0, LINEAR);
    rewind(fp);
    get_layer_kind(LOCAL)->read_weights(r, fp, 0);
    EXPECT_EQ(0, memcmp(l.biases, r.biases, l.outputs * sizeof(float)));
    EXPECT_EQ(0, memcmp(l.weights, r.weights, weight_count(l) * sizeof(float)));
    fclose(fp);
    free_layer(l);
    free_layer(r);
}

list *options_of(std::initializer_list<const char *> lines)
{
    list *options = make_list();
    for (const char *line : lines) read_option(copy_string(line), options);
    return options;
}

TEST(Local, ParserReadsKeysAndNeedsAnImage)
{
    size_params p = {};
    p.batch = 2;
    p.h = 9;
    p.w = 8;
    p.c = 3;
    list *options = options_of({"filters=5", "size=3", "stride=2", "pad=1", "activation=linear"});
    testing::internal::CaptureStderr();
    layer l = parse_local(options, p);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(LOCAL, l.type);
    EXPECT_EQ(5, l.n);
    EXPECT_EQ(5, l.out_h);
    EXPECT_EQ(4, l.out_w);
    EXPECT_EQ(LINEAR, l.activation);
    free_layer(l);

    p.h = 0;
    EXPECT_EXIT(parse_local(options, p), testing::ExitedWithCode(1), "Layer before local layer must output image.");
    free_options(options);
    EXPECT_EQ(LOCAL, string_to_layer_type("[local]"));
}

TEST(Local, GeometryThatTheUnfoldingCannotMatchIsRejected)
{
    // pad=1 with size 5 would leave the layer's grid (h - 1) larger than the unfolded one (h - 3).
    EXPECT_EXIT(make_local_layer(1, 9, 9, 1, 1, 5, 1, 1, LINEAR), testing::ExitedWithCode(1),
                "size 5, stride 1 and pad 1 do not fit a 9 x 9 input");
    EXPECT_EXIT(make_local_layer(1, 2, 2, 1, 1, 3, 1, 0, LINEAR), testing::ExitedWithCode(1),
                "Local layer geometry does not fit its input");
}

} // namespace
