// Local response normalisation: the channel windows of the running sum, forward against a direct
// window sum, the backward scaling, few channels, resize and the table row.
#include "layer.h"
#include "normalization_layer.h"
#include "option_list.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <map>
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

layer make_quiet(int batch, int w, int h, int c, int size, float alpha, float beta, float kappa)
{
    testing::internal::CaptureStderr();
    layer l = make_normalization_layer(batch, w, h, c, size, alpha, beta, kappa);
    testing::internal::GetCapturedStderr();
    return l;
}

// How often each channel's square counts in channel k's norm: the first size/2 channels, plus each
// channel entering (k' + size/2 for 1 <= k' <= k, when < c), minus each leaving
// (k' - (size-1)/2 - 1, when >= 0). A channel may leave without having entered.
std::map<int, int> window(int k, int size, int c)
{
    std::map<int, int> w;
    for (int m = 0; m < size / 2 && m < c; ++m) ++w[m];
    for (int j = 1; j <= k; ++j) {
        if (j + size / 2 < c) ++w[j + size / 2];
        if (j - (size - 1) / 2 - 1 >= 0) --w[j - (size - 1) / 2 - 1];
    }
    for (auto it = w.begin(); it != w.end();) it = it->second ? std::next(it) : w.erase(it);
    return w;
}

TEST(Normalization, ConstructorPrintsRow)
{
    testing::internal::CaptureStderr();
    layer l = make_normalization_layer(2, 13, 11, 8, 5, 1e-4f, .75f, 1);
    EXPECT_EQ("Local Response Normalization Layer: 13 x 11 x 8 image, 5 size\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(13 * 11 * 8, l.outputs);
    EXPECT_EQ(8, l.out_c);
    free_layer(l);
}

TEST(Normalization, WindowsOfSizeFiveOverEightChannels)
{
    using W = std::map<int, int>;
    EXPECT_EQ((W{{0, 1}, {1, 1}}), window(0, 5, 8));
    EXPECT_EQ((W{{0, 1}, {1, 1}, {3, 1}}), window(1, 5, 8));
    EXPECT_EQ((W{{1, 1}, {3, 1}, {4, 1}, {5, 1}}), window(3, 5, 8));
    // Channel 2 is dropped at channel 5 although it never entered.
    EXPECT_EQ((W{{2, -1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}}), window(5, 5, 8));
    // One-hot squares read the windows back out of the layer: channel m's square is 2^m.
    layer l = make_quiet(1, 1, 1, 8, 5, 1, 1, 0);
    float in[8];
    for (int m = 0; m < 8; ++m) in[m] = sqrtf((float)(1 << m));
    forward_normalization_layer(l, make_state(in, nullptr));
    for (int k = 0; k < 8; ++k) {
        int sum = 0;
        for (auto [m, count] : window(k, 5, 8)) sum += count << m;
        EXPECT_EQ((float)sum, l.norms[k]) << "channel " << k;
        if (k < 5) EXPECT_EQ(0u, window(k, 5, 8).count(2)) << "channel 2 never enters";
    }
    free_layer(l);
}

TEST(Normalization, ForwardAndBackwardMatchDirectWindowSums)
{
    struct Case {
        int w, h, c, size;
    } cases[] = {{4, 3, 8, 5}, {2, 2, 6, 3}, {3, 1, 10, 4}, {2, 2, 2, 5}, {1, 1, 1, 7}};
    const float alpha = 0.2f, beta = 0.75f, kappa = 2;
    for (const Case &cs : cases) {
        const int batch = 2, S = cs.w * cs.h, n = batch * S * cs.c;
        layer l = make_quiet(batch, cs.w, cs.h, cs.c, cs.size, alpha, beta, kappa);
        std::vector<float> in(n), delta(n), prev(n, 99.f);
        for (auto &x : in) x = random_uniform(-2, 2);
        for (auto &x : delta) x = random_uniform(-1, 1);
        forward_normalization_layer(l, make_state(in.data(), nullptr));
        std::copy(delta.begin(), delta.end(), l.delta);
        backward_normalization_layer(l, make_state(in.data(), prev.data()));
        for (int b = 0; b < batch; ++b)
            for (int k = 0; k < cs.c; ++k)
                for (int p = 0; p < S; ++p) {
                    double norm = kappa;
                    for (auto [m, count] : window(k, cs.size, cs.c)) {
                        const double v = in[(b * cs.c + m) * S + p];
                        norm += count * alpha * v * v;
                    }
                    const int i = (b * cs.c + k) * S + p;
                    ASSERT_NEAR(norm, l.norms[i], 1e-5 * norm);
                    ASSERT_NEAR(pow(norm, -beta) * in[i], l.output[i], 1e-5);
                    ASSERT_NEAR(pow(norm, -beta) * delta[i], prev[i], 1e-5);
                }
        free_layer(l);
    }
}

TEST(Normalization, ParserDefaultsResizeAndTableRow)
{
    size_params p = {};
    p.batch = 1;
    p.w = 4;
    p.h = 5;
    p.c = 6;
    list *empty = make_list();
    testing::internal::CaptureStderr();
    layer l = parse_normalization(empty, p);
    const std::string err = testing::internal::GetCapturedStderr();
    free_options(empty);
    EXPECT_FLOAT_EQ(0.0001f, l.alpha);
    EXPECT_FLOAT_EQ(0.75f, l.beta);
    EXPECT_FLOAT_EQ(1.f, l.kappa);
    EXPECT_EQ(5, l.size);
    EXPECT_NE(std::string::npos, err.find("size: Using default '5'")) << err;

    EXPECT_EQ(NORMALIZATION, string_to_layer_type("[lrn]"));
    EXPECT_EQ(NORMALIZATION, string_to_layer_type("[normalization]"));
    get_layer_kind(NORMALIZATION)->resize(&l, 7, 3, 0, nullptr);
    EXPECT_EQ(7, l.out_w);
    EXPECT_EQ(3, l.out_h);
    EXPECT_EQ(7 * 3 * 6, l.outputs);
    std::vector<float> in(l.outputs, 1.f);
    forward_normalization_layer(l, make_state(in.data(), nullptr));
    EXPECT_NEAR(pow(1 + 0.0001 * [] { int s = 0; for (auto [m, count] : window(5, 5, 6)) s += count; return s; }(), -0.75), l.output[l.outputs - 1], 1e-6);
    free_layer(l);
}

} // namespace
