// Stand-alone batch normalisation: training statistics and running averages, inference with
// the running averages, gradients against finite differences, update, resize, weights file.
#include "batchnorm_layer.h"
#include "layer.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void release_layer(layer &l)
{
    free_layer(l);
}

layer make_quiet(int batch, int w, int h, int c, int train = 1)
{
    testing::internal::CaptureStderr();
    layer l = make_batchnorm_layer(batch, w, h, c, train);
    testing::internal::GetCapturedStderr();
    return l;
}

std::vector<float> random_vector(size_t n, float lo = -1, float hi = 1)
{
    std::vector<float> v(n);
    for (auto &x : v) x = random_uniform(lo, hi);
    return v;
}

network_state make_state(float *input, float *delta, int train)
{
    network_state s = {};
    s.input = input;
    s.delta = delta;
    s.train = train;
    return s;
}

TEST(BatchNorm, ConstructorPrintsAndInitialises)
{
    testing::internal::CaptureStderr();
    layer l = make_batchnorm_layer(2, 5, 4, 3, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Batch Normalization Layer: 5 x 4 x 3 image\n");
    EXPECT_EQ(l.type, BATCHNORM);
    EXPECT_EQ(l.out_w, 5);
    EXPECT_EQ(l.out_h, 4);
    EXPECT_EQ(l.out_c, 3);
    EXPECT_EQ(l.outputs, 60);
    EXPECT_EQ(l.inputs, 60);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(l.scales[i], 1.f);
        EXPECT_EQ(l.biases[i], 0.f);
        EXPECT_EQ(l.rolling_variance[i], 0.f);
    }
    release_layer(l);
}

TEST(BatchNorm, TrainingPassUsesBatchStatistics)
{
    layer l = make_quiet(3, 4, 3, 2);
    for (int f = 0; f < 2; ++f) {
        l.scales[f] = 1.5f + f;
        l.biases[f] = -0.25f * (f + 1);
        l.rolling_mean[f] = 1;
        l.rolling_variance[f] = 2;
    }
    auto input = random_vector((size_t)3 * l.outputs, -2, 3);
    forward_batchnorm_layer(l, make_state(input.data(), nullptr, 1));
    const int S = 12, count = 3 * S;
    for (int f = 0; f < 2; ++f) {
        double mean = 0, var = 0;
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < S; ++p) mean += input[(b * 2 + f) * S + p];
        mean /= count;
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < S; ++p) var += std::pow(input[(b * 2 + f) * S + p] - mean, 2);
        var /= count - 1;
        EXPECT_NEAR(l.mean[f], mean, 1e-5);
        EXPECT_NEAR(l.variance[f], var, 1e-5);
        EXPECT_NEAR(l.rolling_mean[f], 0.9 + 0.1 * mean, 1e-5);
        EXPECT_NEAR(l.rolling_variance[f], 1.8 + 0.1 * var, 1e-5);
        for (int b = 0; b < 3; ++b)
            for (int p = 0; p < S; ++p) {
                const int i = (b * 2 + f) * S + p;
                const double norm = (input[i] - mean) / std::sqrt(var + 1e-5);
                EXPECT_EQ(l.x[i], input[i]);
                EXPECT_NEAR(l.x_norm[i], norm, 1e-5);
                EXPECT_NEAR(l.output[i], norm * l.scales[f] + l.biases[f], 1e-5);
            }
    }
    release_layer(l);
}

TEST(BatchNorm, InferencePassUsesRollingStatistics)
{
    layer l = make_quiet(2, 3, 3, 2, 0);
    l.rolling_mean[0] = 0.5f;
    l.rolling_variance[0] = 4;
    l.rolling_mean[1] = -1;
    l.rolling_variance[1] = 0;
    l.scales[1] = 3;
    l.biases[0] = 2;
    auto input = random_vector((size_t)2 * l.outputs);
    forward_batchnorm_layer(l, make_state(input.data(), nullptr, 0));
    for (int b = 0; b < 2; ++b)
        for (int p = 0; p < 9; ++p) {
            EXPECT_NEAR(l.output[(b * 2) * 9 + p], (input[(b * 2) * 9 + p] - 0.5f) / std::sqrt(4.00001f) + 2, 1e-5);
            EXPECT_NEAR(l.output[(b * 2 + 1) * 9 + p], 3 * (input[(b * 2 + 1) * 9 + p] + 1) / std::sqrt(0.00001f),
                        1e-2);
        }
    EXPECT_EQ(l.rolling_mean[0], 0.5f);
    release_layer(l);
}

double loss(layer &l, std::vector<float> &input, const std::vector<float> &probe)
{
    forward_batchnorm_layer(l, make_state(input.data(), nullptr, 1));
    double s = 0;
    for (size_t i = 0; i < probe.size(); ++i) s += (double)l.output[i] * probe[i];
    return s;
}

TEST(BatchNorm, GradientsMatchFiniteDifferences)
{
    layer l = make_quiet(4, 5, 5, 3);
    for (int f = 0; f < 3; ++f) {
        l.scales[f] = random_uniform(0.5, 2);
        l.biases[f] = random_uniform(-1, 1);
    }
    auto input = random_vector((size_t)4 * l.outputs);
    auto probe = random_vector((size_t)4 * l.outputs);
    std::vector<float> prev_delta(input.size(), 9.f);
    loss(l, input, probe);
    std::copy(probe.begin(), probe.end(), l.delta);
    backward_batchnorm_layer(l, make_state(input.data(), prev_delta.data(), 1));
    EXPECT_EQ(0, memcmp(prev_delta.data(), l.delta, prev_delta.size() * sizeof(float)));

    auto check = [&](const char *what, float *param, size_t n, const float *analytic, double tol) {
        double scale = 1e-3, worst = 0;
        for (size_t i = 0; i < n; ++i) scale = std::max(scale, (double)std::fabs(analytic[i]));
        for (size_t i = 0; i < n; ++i) {
            const float keep = param[i], h = 1e-2f;
            param[i] = keep + h;
            const double up = loss(l, input, probe);
            param[i] = keep - h;
            const double down = loss(l, input, probe);
            param[i] = keep;
            worst = std::max(worst, std::fabs((up - down) / (2 * h) - analytic[i]) / scale);
        }
        EXPECT_LT(worst, tol) << what;
    };
    check("scales", l.scales, 3, l.scale_updates, 1e-3);
    check("biases", l.biases, 3, l.bias_updates, 1e-3);
    // The backward formula divides by the sample count where the variance divides by count - 1.
    check("input", input.data(), input.size(), prev_delta.data(), 0.03);
    release_layer(l);
}

TEST(BatchNorm, UpdateAppliesRateAndMomentumWithoutDecay)
{
    layer l = make_quiet(1, 2, 2, 2);
    l.bias_updates[0] = 4;
    l.scale_updates[1] = -8;
    update_batchnorm_layer(l, 2, 0.5f, 0.25f, 100.f);
    EXPECT_FLOAT_EQ(l.biases[0], 1.f);
    EXPECT_FLOAT_EQ(l.bias_updates[0], 1.f);
    EXPECT_FLOAT_EQ(l.scales[1], 1 - 2.f);
    EXPECT_FLOAT_EQ(l.scale_updates[1], -2.f);
    EXPECT_FLOAT_EQ(l.scales[0], 1.f);
    release_layer(l);
}

TEST(BatchNorm, ResizeKeepsParametersAndChangesShapes)
{
    layer l = make_quiet(2, 3, 3, 2);
    l.scales[1] = 7;
    l.rolling_mean[0] = 3;
    resize_batchnorm_layer(&l, 6, 5);
    EXPECT_EQ(l.w, 6);
    EXPECT_EQ(l.out_w, 6);
    EXPECT_EQ(l.h, 5);
    EXPECT_EQ(l.out_h, 5);
    EXPECT_EQ(l.outputs, 60);
    EXPECT_EQ(l.inputs, 60);
    EXPECT_EQ(l.scales[1], 7.f);
    EXPECT_EQ(l.rolling_mean[0], 3.f);
    auto input = random_vector((size_t)2 * l.outputs);
    forward_batchnorm_layer(l, make_state(input.data(), nullptr, 1));
    std::vector<float> prev(input.size());
    std::fill(l.delta, l.delta + input.size(), 1.f);
    backward_batchnorm_layer(l, make_state(input.data(), prev.data(), 1));
    release_layer(l);
}

TEST(BatchNorm, WeightsWrittenAndReadBackBitForBit)
{
    layer a = make_quiet(1, 2, 2, 5, 0);
    layer b = make_quiet(1, 2, 2, 5, 0);
    for (int i = 0; i < 5; ++i) {
        a.biases[i] = random_uniform(-1, 1);
        a.scales[i] = random_uniform(-1, 1);
        a.rolling_mean[i] = random_uniform(-1, 1);
        a.rolling_variance[i] = random_uniform(0, 1);
    }
    FILE *fp = tmpfile();
    save_batchnorm_weights(a, fp);
    EXPECT_EQ(ftell(fp), 4 * 5 * 4);
    rewind(fp);
    std::vector<float> raw(20);
    ASSERT_EQ(fread(raw.data(), 4, 20, fp), 20u);
    EXPECT_EQ(0, memcmp(raw.data(), a.biases, 20));
    EXPECT_EQ(0, memcmp(raw.data() + 5, a.scales, 20));
    EXPECT_EQ(0, memcmp(raw.data() + 10, a.rolling_mean, 20));
    EXPECT_EQ(0, memcmp(raw.data() + 15, a.rolling_variance, 20));
    rewind(fp);
    load_batchnorm_weights(b, fp);
    EXPECT_EQ(0, memcmp(a.biases, b.biases, 20));
    EXPECT_EQ(0, memcmp(a.scales, b.scales, 20));
    EXPECT_EQ(0, memcmp(a.rolling_mean, b.rolling_mean, 20));
    EXPECT_EQ(0, memcmp(a.rolling_variance, b.rolling_variance, 20));
    fclose(fp);
    release_layer(a);
    release_layer(b);
}

} // namespace
