// Vector primitives: level-1 routines, per-channel statistics in the planar layout, the
// shortcut sum against a per-position reference, losses, softmax and the small vector helpers.
#include "vector_primitives.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

namespace {

std::vector<float> random_values(int n, float lo, float hi, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float &x : v) x = dist(gen);
    return v;
}

std::vector<float> iota(int n, float start)
{
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i) v[i] = start + i;
    return v;
}

} // namespace

TEST(VectorLevel1, UnitStrideWithTails)
{
    for (int n : {0, 1, 7, 8, 19}) {
        std::vector<float> x = iota(n, 1), y = iota(n, 10);
        axpy_cpu(n, 0.5f, x.data(), 1, y.data(), 1);
        for (int i = 0; i < n; ++i) EXPECT_EQ(y[i], 10 + i + 0.5f * (1 + i));
        scal_cpu(n, -2, y.data(), 1);
        for (int i = 0; i < n; ++i) EXPECT_EQ(y[i], -2 * (10 + i + 0.5f * (1 + i)));
        mul_cpu(n, x.data(), y.data());
        for (int i = 0; i < n; ++i) EXPECT_EQ(y[i], -2 * (10 + i + 0.5f * (1 + i)) * (1 + i));
        copy_cpu(n, x.data(), y.data());
        EXPECT_EQ(y, x);
        fill_cpu(n, 3, y.data(), 1);
        EXPECT_EQ(y, std::vector<float>(n, 3));
    }
}

TEST(VectorLevel1, StridedTouchesOnlyItsElements)
{
    std::vector<float> x = {1, -1, 2, -1, 3, -1};
    std::vector<float> y = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    axpy_cpu(3, 2, x.data(), 2, y.data(), 3);
    EXPECT_EQ(y, (std::vector<float>{2, 0, 0, 4, 0, 0, 6, 0, 0}));
    scal_cpu(3, 0.5f, y.data(), 3);
    EXPECT_EQ(y, (std::vector<float>{1, 0, 0, 2, 0, 0, 3, 0, 0}));
    fill_cpu(2, 7, y.data() + 1, 4);
    EXPECT_EQ(y, (std::vector<float>{1, 7, 0, 2, 0, 7, 3, 0, 0}));
}

TEST(VectorLevel1, WeightedSum)
{
    const std::vector<float> a = {1, 2, 3}, b = {10, 20, 30}, s = {0, 0.5f, 1};
    std::vector<float> c(3);
    weighted_sum_cpu(a.data(), b.data(), s.data(), 3, c.data());
    EXPECT_EQ(c, (std::vector<float>{10, 11, 3}));
    weighted_sum_cpu(a.data(), nullptr, s.data(), 3, c.data());
    EXPECT_EQ(c, (std::vector<float>{0, 1, 3}));
}

// batch 2, 2 channels, 3 values each: channel 0 holds 1,2,3 | 7,8,9; channel 1 holds 4,5,6 | 10,11,12.
class PlanarStatistics : public testing::Test {
protected:
    std::vector<float> x = iota(12, 1);
};

TEST_F(PlanarStatistics, MeanAndUnbiasedVariance)
{
    std::vector<float> mean(2), variance(2);
    mean_cpu(x.data(), 2, 2, 3, mean.data());
    EXPECT_FLOAT_EQ(mean[0], 5.f);
    EXPECT_FLOAT_EQ(mean[1], 8.f);
    variance_cpu(x.data(), mean.data(), 2, 2, 3, variance.data());
    // squares about the mean: 16 + 9 + 4 + 4 + 9 + 16 = 58, over 6 - 1.
    EXPECT_FLOAT_EQ(variance[0], 58.f / 5);
    EXPECT_FLOAT_EQ(variance[1], 58.f / 5);
}

TEST_F(PlanarStatistics, SingleValuePerChannelHasZeroVariance)
{
    const float v[] = {3, -2};
    const float mean[] = {3, -2};
    float variance[2] = {-1, -1};
    variance_cpu(v, mean, 1, 2, 1, variance);
    EXPECT_EQ(variance[0], 0.f);
    EXPECT_EQ(variance[1], 0.f);
}

TEST_F(PlanarStatistics, Normalize)
{
    const float mean[] = {5, 8};
    const float variance[] = {4, 9};
    normalize_cpu(x.data(), mean, variance, 2, 2, 3);
    EXPECT_NEAR(x[0], (1 - 5) / std::sqrt(4.00001), 1e-6);
    EXPECT_NEAR(x[5], (6 - 8) / std::sqrt(9.00001), 1e-6);
    EXPECT_NEAR(x[8], (9 - 5) / std::sqrt(4.00001), 1e-6);
    EXPECT_NEAR(x[11], (12 - 8) / std::sqrt(9.00001), 1e-6);
}

TEST_F(PlanarStatistics, BiasAndScale)
{
    const float biases[] = {100, 200};
    add_bias(x.data(), biases, 2, 2, 3);
    EXPECT_EQ(x, (std::vector<float>{101, 102, 103, 204, 205, 206, 107, 108, 109, 210, 211, 212}));
    const float scales[] = {1, -1};
    scale_bias(x.data(), scales, 2, 2, 3);
    EXPECT_EQ(x, (std::vector<float>{101, 102, 103, -204, -205, -206, 107, 108, 109, -210, -211, -212}));
}

TEST_F(PlanarStatistics, BiasAndScaleGradientsAccumulate)
{
    float bias_updates[] = {1, 2};
    backward_bias(bias_updates, x.data(), 2, 2, 3);
    EXPECT_EQ(bias_updates[0], 1 + 30.f);
    EXPECT_EQ(bias_updates[1], 2 + 48.f);
    const std::vector<float> delta(12, 2.f);
    float scale_updates[] = {-1, 0};
    backward_scale_cpu(x.data(), delta.data(), 2, 2, 3, scale_updates);
    EXPECT_EQ(scale_updates[0], -1 + 60.f);
    EXPECT_EQ(scale_updates[1], 96.f);
}

// One channel of four values with a given variance of 4: the normalisation deltas by hand.
TEST(NormalizationDeltas, HandComputed)
{
    const float x[] = {1, 2, 3, 4};
    const float mean[] = {2.5f};
    const float variance[] = {4};
    std::vector<float> delta = {1, 0, -1, 2};
    float mean_delta[] = {99}, variance_delta[] = {99};
    mean_delta_cpu(delta.data(), variance, 1, 1, 4, mean_delta);
    EXPECT_NEAR(mean_delta[0], -2 / std::sqrt(4.00001), 1e-6);
    variance_delta_cpu(x, delta.data(), mean, variance, 1, 1, 4, variance_delta);
    // sum of delta * (x - mean) = 1, times -0.5 * 4^-1.5.
    EXPECT_NEAR(variance_delta[0], -0.0625, 1e-6);
    const float md[] = {-1}, vd[] = {-0.0625f};
    normalize_delta_cpu(x, mean, variance, md, vd, 1, 1, 4, delta.data());
    const float expected[] = {0.296875f, -0.234375f, -0.765625f, 0.703125f};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(delta[i], expected[i], 1e-5) << i;
}

TEST(NormalizationDeltas, EpsilonOutsideTheRootInNormalizeDelta)
{
    const float x[] = {1, 1}, mean[] = {1}, variance[] = {0}, zero[] = {0};
    std::vector<float> delta = {1, -2};
    normalize_delta_cpu(x, mean, variance, zero, zero, 1, 1, 2, delta.data());
    EXPECT_FLOAT_EQ(delta[0], 100000.f);
    EXPECT_FLOAT_EQ(delta[1], -200000.f);
    float mean_delta[1];
    const float ones[] = {1, 1};
    mean_delta_cpu(ones, variance, 1, 1, 2, mean_delta);
    EXPECT_NEAR(mean_delta[0], -2 / std::sqrt(0.00001), 1e-2);
}

TEST(NormalizationDeltas, PlanarLayoutAcrossBatch)
{
    // Channel 1 of both images only: deltas of channel 0 must not leak in.
    const std::vector<float> delta = {5, 5, 1, 2, 5, 5, 3, 4};
    const float variance[] = {0, 3};
    float mean_delta[2];
    mean_delta_cpu(delta.data(), variance, 2, 2, 2, mean_delta);
    EXPECT_NEAR(mean_delta[1], -10 / std::sqrt(3.00001), 1e-5);
    EXPECT_NEAR(mean_delta[0], -20 / std::sqrt(0.00001), 1e-1);
}

namespace {

// The shortcut sum written per output position, straight from its definition.
float norm_weight(const std::vector<float> &w, int layer_step, int n, int wi0, int wi, WEIGHTS_NORMALIZATION_T mode)
{
    if (mode == NO_NORMALIZATION) return w[wi];
    float max_val = -FLT_MAX, sum = 0.0001f;
    for (int k = 0; k <= n; ++k) max_val = std::max(max_val, w[wi0 + k * layer_step]);
    for (int k = 0; k <= n; ++k) {
        const float v = w[wi0 + k * layer_step];
        sum += mode == RELU_NORMALIZATION ? std::max(v, 0.f) : std::exp(v - max_val);
    }
    return mode == RELU_NORMALIZATION ? std::max(w[wi], 0.f) / sum : std::exp(w[wi] - max_val) / sum;
}

struct shortcut_case {
    int batch, src_outputs;
    std::vector<int> others;
    int layer_step; // 0: no weights
    WEIGHTS_NORMALIZATION_T mode;
};

struct shortcut_data {
    int size;
    std::vector<float> in, weights, delta_in;
    std::vector<std::vector<float>> outputs;
    std::vector<float *> output_ptrs;
};

shortcut_data make_shortcut_data(const shortcut_case &c, unsigned seed)
{
    shortcut_data d;
    const int n = static_cast<int>(c.others.size());
    d.size = c.batch * c.src_outputs;
    d.in = random_values(d.size, -2, 2, seed);
    d.delta_in = random_values(d.size, -1, 1, seed + 1);
    d.weights = random_values((n + 1) * c.layer_step, -1.5f, 1.5f, seed + 2);
    for (int k = 0; k < n; ++k) d.outputs.push_back(random_values(c.others[k] * c.batch, -2, 2, seed + 3 + k));
    for (auto &o : d.outputs) d.output_ptrs.push_back(o.data());
    return d;
}

} // namespace

TEST(Shortcut, MatchesPerPositionReference)
{
    const shortcut_case cases[] = {
        {2, 24, {24}, 0, NO_NORMALIZATION},
        {2, 24, {24, 8, 40}, 0, NO_NORMALIZATION},
        {3, 24, {24, 12}, 1, NO_NORMALIZATION},
        {3, 24, {24, 12}, 1, RELU_NORMALIZATION},
        {3, 24, {24, 12}, 1, SOFTMAX_NORMALIZATION},
        {2, 24, {30, 5}, 4, NO_NORMALIZATION},
        {2, 24, {30, 5}, 4, RELU_NORMALIZATION},
        {2, 24, {30, 5}, 4, SOFTMAX_NORMALIZATION},
        {1, 36, {36, 36, 36}, 9, SOFTMAX_NORMALIZATION},
    };
    unsigned seed = 1;
    for (const shortcut_case &c : cases) {
        const int n = static_cast<int>(c.others.size());
        shortcut_data d = make_shortcut_data(c, seed += 10);
        const int nweights = (n + 1) * c.layer_step;
        const int step = c.layer_step ? c.src_outputs / c.layer_step : 0;

        std::vector<float> expected(d.size), expected_delta_out(d.size, 0.5f), expected_wu(nweights, 0.25f);
        std::vector<std::vector<float>> expected_layers_delta;
        for (int k = 0; k < n; ++k) expected_layers_delta.emplace_back(c.others[k] * c.batch, -0.5f);
        for (int id = 0; id < d.size; ++id) {
            const int src_i = id % c.src_outputs, src_b = id / c.src_outputs;
            const int wi0 = step ? src_i / step : 0;
            auto norm = [&](int k) { return norm_weight(d.weights, c.layer_step, n, wi0, wi0 + k * c.layer_step, c.mode); };
            expected[id] = nweights ? d.in[id] * norm(0) : d.in[id];
            expected_delta_out[id] += nweights ? norm(0) * d.delta_in[id] : d.delta_in[id];
            if (nweights) expected_wu[wi0] += d.in[id] * d.delta_in[id];
            for (int k = 1; k <= n; ++k) {
                const int other = c.others[k - 1];
                if (src_i >= other) continue;
                const int add_index = other * src_b + src_i;
                const float add = d.outputs[k - 1][add_index];
                expected[id] += nweights ? add * norm(k) : add;
                expected_layers_delta[k - 1][add_index] += nweights ? norm(k) * d.delta_in[id] : d.delta_in[id];
                if (nweights) expected_wu[wi0 + k * c.layer_step] += add * d.delta_in[id];
            }
        }

        std::vector<float> out(d.size, 123.f);
        shortcut_multilayer_cpu(d.size, c.src_outputs, n, c.others.data(), d.output_ptrs.data(), out.data(),
                                d.in.data(), d.weights.data(), nweights, c.mode);
        for (int i = 0; i < d.size; ++i) ASSERT_NEAR(out[i], expected[i], 1e-5) << "case " << seed << " at " << i;

        std::vector<float> delta_out(d.size, 0.5f), wu(nweights, 0.25f);
        std::vector<std::vector<float>> layers_delta;
        std::vector<float *> layers_delta_ptrs;
        for (int k = 0; k < n; ++k) layers_delta.emplace_back(c.others[k] * c.batch, -0.5f);
        for (auto &l : layers_delta) layers_delta_ptrs.push_back(l.data());
        backward_shortcut_multilayer_cpu(d.size, c.src_outputs, n, c.others.data(), layers_delta_ptrs.data(),
                                         delta_out.data(), d.delta_in.data(), d.weights.data(), wu.data(), nweights,
                                         d.in.data(), d.output_ptrs.data(), c.mode);
        for (int i = 0; i < d.size; ++i) ASSERT_NEAR(delta_out[i], expected_delta_out[i], 1e-5) << i;
        for (int i = 0; i < nweights; ++i) ASSERT_NEAR(wu[i], expected_wu[i], 1e-4) << i;
        for (int k = 0; k < n; ++k)
            for (size_t i = 0; i < layers_delta[k].size(); ++i)
                ASSERT_NEAR(layers_delta[k][i], expected_layers_delta[k][i], 1e-5) << k << " " << i;
    }
}

TEST(Shortcut, SmallerLayerAddsOnlyToLeadingPositions)
{
    // A 1 x 1 x 64 layer added to a 13 x 13 x 64 one, batch 2.
    const int src_outputs = 13 * 13 * 64, other = 64, size = 2 * src_outputs;
    std::vector<float> in(size, 1.f), small(2 * other), out(size);
    for (int i = 0; i < 2 * other; ++i) small[i] = 10.f + i;
    float *layers[] = {small.data()};
    const int outputs_of_layers[] = {other};
    shortcut_multilayer_cpu(size, src_outputs, 1, outputs_of_layers, layers, out.data(), in.data(), nullptr, 0,
                            NO_NORMALIZATION);
    for (int b = 0; b < 2; ++b)
        for (int i = 0; i < src_outputs; ++i)
            ASSERT_EQ(out[b * src_outputs + i], i < other ? 11.f + b * other + i : 1.f) << b << " " << i;
}

TEST(Shortcut, ReluNormalizedWeights)
{
    // Per-layer weights (-1 for the input, 3 for the other layer): ReLU normalisation gives 0 and 3 / 3.0001.
    const float in[] = {1, 2}, other_out[] = {10, 20}, weights[] = {-1, 3};
    float other[2];
    std::copy(other_out, other_out + 2, other);
    float *layers[] = {other};
    const int outputs_of_layers[] = {2};
    float out[2];
    shortcut_multilayer_cpu(2, 2, 1, outputs_of_layers, layers, out, in, weights, 2, RELU_NORMALIZATION);
    EXPECT_FLOAT_EQ(out[0], 10 * 3 / 3.0001f);
    EXPECT_FLOAT_EQ(out[1], 20 * 3 / 3.0001f);
}

TEST(Losses, SmoothL1Branches)
{
    const float pred[] = {0, 0, 0, 0.5f, 3};
    const float truth[] = {1, 0.5f, -2, 0.5f, 0};
    float delta[5], error[5];
    smooth_l1_cpu(5, pred, truth, delta, error);
    const float expected_error[] = {1, 0.25f, 3, 0, 5};
    const float expected_delta[] = {1, 0.5f, -1, 0, -1};
    for (int i = 0; i < 5; ++i) {
        EXPECT_FLOAT_EQ(error[i], expected_error[i]) << i;
        EXPECT_FLOAT_EQ(delta[i], expected_delta[i]) << i;
    }
}

// The loss deltas are the negative half-gradients of the errors with respect to the prediction.
TEST(Losses, DeltasAreHalfNegativeGradients)
{
    using loss_fn = void (*)(int, const float *, const float *, float *, float *);
    const std::vector<float> truth = random_values(40, -3, 3, 7);
    std::vector<float> pred = random_values(40, -3, 3, 8);
    const double h = 1e-3;
    for (loss_fn loss : {smooth_l1_cpu, l2_cpu}) {
        std::vector<float> delta(40), error(40), ep(40), em(40), tmp(40);
        loss(40, pred.data(), truth.data(), delta.data(), error.data());
        for (int i = 0; i < 40; ++i) {
            if (std::fabs(std::fabs(truth[i] - pred[i]) - 1) < 2 * h) continue;
            float p = pred[i] + static_cast<float>(h), m = pred[i] - static_cast<float>(h);
            loss(1, &p, &truth[i], &tmp[0], &ep[i]);
            loss(1, &m, &truth[i], &tmp[0], &em[i]);
            const double numeric = (ep[i] - em[i]) / (p - m);
            EXPECT_NEAR(delta[i], -0.5 * numeric, 2e-3) << i;
        }
    }
}

// With a softmax in front and a one-hot truth, truth - pred is the negative gradient of the
// cross-entropy with respect to the logits.
TEST(Losses, SoftmaxCrossEntropyGradient)
{
    const int n = 6;
    const std::vector<float> logits = random_values(n, -2, 2, 9);
    std::vector<float> truth(n, 0.f);
    truth[2] = 1;
    std::vector<float> pred(n), delta(n), error(n);
    softmax(logits.data(), n, 1, pred.data());
    softmax_x_ent_cpu(n, pred.data(), truth.data(), delta.data(), error.data());
    EXPECT_FLOAT_EQ(error[2], -std::log(pred[2]));
    for (int i = 0; i < n; ++i)
        if (i != 2) EXPECT_EQ(error[i], 0.f);
    auto cost = [&](const std::vector<float> &z) {
        std::vector<float> p(n), d(n), e(n);
        softmax(z.data(), n, 1, p.data());
        softmax_x_ent_cpu(n, p.data(), truth.data(), d.data(), e.data());
        double sum = 0;
        for (float v : e) sum += v;
        return sum;
    };
    const float h = 1e-2f;
    for (int i = 0; i < n; ++i) {
        std::vector<float> zp = logits, zm = logits;
        zp[i] += h;
        zm[i] -= h;
        EXPECT_NEAR(delta[i], -(cost(zp) - cost(zm)) / (2 * h), 1e-3) << i;
    }
}

TEST(Losses, CrossEntropyIgnoresTruthMagnitude)
{
    const float pred[] = {0.25f, 0.5f}, truth[] = {0.5f, 0};
    float delta[2], error[2];
    softmax_x_ent_cpu(2, pred, truth, delta, error);
    EXPECT_FLOAT_EQ(error[0], -std::log(0.25f));
    EXPECT_EQ(error[1], 0.f);
    EXPECT_FLOAT_EQ(delta[0], 0.25f);
    EXPECT_FLOAT_EQ(delta[1], -0.5f);
}

TEST(Softmax, TemperatureAndSum)
{
    const float in[] = {0, 2};
    float out[2];
    softmax(in, 2, 2, out);
    EXPECT_NEAR(out[0], 0.2689, 1e-4);
    EXPECT_NEAR(out[1], 0.7311, 1e-4);
    const std::vector<float> big = {1000, 1001, -1000, 999};
    std::vector<float> p(4);
    softmax(big.data(), 4, 1, p.data());
    EXPECT_NEAR(p[0] + p[1] + p[2] + p[3], 1.0, 1e-6);
    EXPECT_NEAR(p[1], 1 / (1 + std::exp(-1.0) + std::exp(-2.0)), 1e-6);
    EXPECT_EQ(p[2], 0.f);
}

TEST(Softmax, BatchAndGroupOffsets)
{
    // Two images of 10 values, two groups of 3 starting at 0 and 5 in each; other values untouched.
    std::vector<float> in = random_values(20, -3, 3, 4), out(20, -7.f);
    softmax_cpu(in.data(), 3, 2, 10, 2, 5, 1, out.data());
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g) {
            const int o = b * 10 + g * 5;
            double sum = 0;
            for (int i = 0; i < 3; ++i) sum += out[o + i];
            EXPECT_NEAR(sum, 1.0, 1e-6);
            float ref[3];
            softmax(in.data() + o, 3, 1, ref);
            for (int i = 0; i < 3; ++i) EXPECT_EQ(out[o + i], ref[i]);
        }
    for (int i : {3, 4, 8, 9, 13, 14, 18, 19}) EXPECT_EQ(out[i], -7.f) << i;
}

TEST(Vectors, EmbeddingGathersAcrossChannels)
{
    // batch 2, 6 channels of 3 x 2 (w x h), embeddings of size 3 (two anchors per cell).
    const int w = 3, h = 2, c = 6;
    std::vector<float> src(2 * c * h * w);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<float>(i);
    float dst[3];
    get_embedding(src.data(), w, h, c, 3, 2, 1, 1, 1, dst);
    // image 1 starts at 36; anchor 1 at channel 3; position (x 2, y 1) = 5 within a plane of 6.
    EXPECT_EQ(dst[0], 36 + 18 + 5.f);
    EXPECT_EQ(dst[1], 36 + 24 + 5.f);
    EXPECT_EQ(dst[2], 36 + 30 + 5.f);
}

TEST(Vectors, LengthAndCosine)
{
    const float a[] = {3, 4}, b[] = {6, 8}, c[] = {-4, 3}, zero[] = {0, 0};
    EXPECT_FLOAT_EQ(math_vector_length(a, 2), 5);
    EXPECT_FLOAT_EQ(cosine_similarity(a, b, 2), 1);
    EXPECT_FLOAT_EQ(cosine_similarity(a, c, 2), 0);
    EXPECT_EQ(cosine_similarity(a, zero, 2), 0);
    EXPECT_EQ(cosine_similarity(zero, zero, 2), 0);
}
