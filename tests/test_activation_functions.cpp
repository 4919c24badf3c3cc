// Activation functions: cfg names, derivatives against finite differences, the array routines
// against their scalar definitions, the buffered kinds and the channel-normalising kinds.
#include "activation_functions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

struct named_kind {
    int value;
    ACTIVATION kind;
    const char *name;
};

const named_kind kNames[] = {
    {0, LOGISTIC, "logistic"},
    {1, RELU, "relu"},
    {2, RELU6, "relu6"},
    {3, RELIE, "relie"},
    {4, LINEAR, "linear"},
    {5, RAMP, "ramp"},
    {6, TANH, "tanh"},
    {7, PLSE, "plse"},
    {8, REVLEAKY, "revleaky"},
    {9, LEAKY, "leaky"},
    {10, ELU, "elu"},
    {11, LOGGY, "loggy"},
    {12, STAIR, "stair"},
    {13, HARDTAN, "hardtan"},
    {14, LHTAN, "lhtan"},
    {15, SELU, "selu"},
    {16, GELU, "gelu"},
    {17, SWISH, "swish"},
    {18, MISH, "mish"},
    {19, HARD_MISH, "hard_mish"},
    {20, NORM_CHAN, "normalize_channels"},
    {21, NORM_CHAN_SOFTMAX, "normalize_channels_softmax"},
    {22, NORM_CHAN_SOFTMAX_MAXVAL, "normalize_channels_softmax_maxval"},
};

std::vector<float> random_values(int n, float lo, float hi, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float &x : v) x = dist(gen);
    return v;
}

} // namespace

TEST(ActivationNames, RoundTripAndFixedNumbers)
{
    for (const named_kind &k : kNames) {
        EXPECT_EQ(static_cast<int>(k.kind), k.value) << k.name;
        EXPECT_STREQ(get_activation_string(k.kind), k.name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(activation_from_string(k.name), k.kind) << k.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

TEST(ActivationNames, UnknownNameFallsBackToRelu)
{
    for (const char *name : {"Leaky", "relu ", "", "softmax"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(activation_from_string(name), RELU);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Couldn't find activation function ") + name + ", going with ReLU\n");
    }
}

// Each scalar kind's derivative, evaluated the way layers evaluate it, against a central
// difference of the forward formula, away from the kinks listed for the kind.
TEST(ActivationGradient, MatchesFiniteDifference)
{
    struct gradient_case {
        ACTIVATION kind;
        std::vector<float> kinks;
        bool from_input; // the derivative formula takes the pre-activation value
    };
    std::vector<float> integers;
    for (int i = -6; i <= 6; ++i) integers.push_back(static_cast<float>(i));
    const gradient_case cases[] = {
        {LOGISTIC, {}, false},   {RELU, {0}, false},       {RELU6, {0, 6}, false},   {RELIE, {0}, false},
        {LINEAR, {}, false},     {RAMP, {0}, false},       {TANH, {}, false},        {PLSE, {-4, 4}, false},
        {REVLEAKY, {0}, false},  {LEAKY, {0}, false},      {ELU, {0}, false},        {LOGGY, {}, false},
        {STAIR, integers, false}, {HARDTAN, {-1, 1}, false}, {LHTAN, {0, 1}, false}, {SELU, {0}, false},
        {GELU, {}, true},
    };
    const double h = 1e-2;
    for (const gradient_case &c : cases) {
        for (double x = -7.05; x < 7.5; x += 0.1) {
            bool near_kink = false;
            for (float k : c.kinks) near_kink |= std::fabs(x - k) < 2 * h;
            if (near_kink) continue;
            const float xf = static_cast<float>(x);
            const double numeric =
                (activate(static_cast<float>(x + h), c.kind) - activate(static_cast<float>(x - h), c.kind)) / (2 * h);
            const float at = c.from_input ? xf : activate(xf, c.kind);
            const double analytic = gradient(at, c.kind);
            EXPECT_NEAR(analytic, numeric, 2e-3 + 1e-2 * std::fabs(numeric))
                << get_activation_string(c.kind) << " at x = " << x;
        }
    }
}

TEST(ActivationForward, EdgeValues)
{
    EXPECT_EQ(activate(7, RELU6), 6);
    EXPECT_EQ(activate(-1, RELU6), 0);
    EXPECT_EQ(gradient(6, RELU6), 0);
    EXPECT_EQ(gradient(3, RELU6), 1);
    EXPECT_FLOAT_EQ(activate(3.5f, STAIR), 1.5f);
    EXPECT_FLOAT_EQ(activate(2.5f, STAIR), 1.f);
    EXPECT_FLOAT_EQ(activate(-1.5f, STAIR), -1.f);
    EXPECT_FLOAT_EQ(activate(-2.5f, STAIR), -1.5f);
    EXPECT_FLOAT_EQ(activate(-5, PLSE), -0.01f);
    EXPECT_FLOAT_EQ(activate(5, PLSE), 1.01f);
    EXPECT_FLOAT_EQ(activate(-2, LHTAN), -0.002f);
    EXPECT_FLOAT_EQ(activate(-2, RELIE), -0.02f);
    EXPECT_FLOAT_EQ(activate(-2, RAMP), -0.2f);
    EXPECT_FLOAT_EQ(activate(2, RAMP), 2.2f);
    EXPECT_FLOAT_EQ(activate(-1, SELU), 1.0507f * 1.6732f * (std::exp(-1.f) - 1));
    EXPECT_FLOAT_EQ(gradient(-0.5f, SELU), -0.5f + 1.7580311f);
    EXPECT_NEAR(activate(1, GELU), 0.8412, 1e-4);
    // Values of this size are beyond the int range; the parity is still decided.
    EXPECT_FLOAT_EQ(activate(3e9f, STAIR), 1.5e9f);
    for (ACTIVATION a : {SWISH, MISH, HARD_MISH, NORM_CHAN, NORM_CHAN_SOFTMAX, NORM_CHAN_SOFTMAX_MAXVAL})
        EXPECT_EQ(activate(1.5f, a), 0);
    for (ACTIVATION a : {SWISH, MISH, HARD_MISH}) EXPECT_EQ(gradient(1.5f, a), 0);
}

TEST(ActivationGradientDeathTest, ChannelKindsExitWithMessage)
{
    for (ACTIVATION a : {NORM_CHAN, NORM_CHAN_SOFTMAX, NORM_CHAN_SOFTMAX_MAXVAL})
        EXPECT_EXIT(
            {
                // The message goes to standard output; route it where the death test can see it.
                dup2(STDERR_FILENO, STDOUT_FILENO);
                gradient(0.5f, a);
            },
            testing::ExitedWithCode(0), "Error: should be used custom NORM_CHAN or NORM_CHAN_SOFTMAX-function");
}

// The array routines must give exactly the scalar definitions, including the vector paths'
// tails and signed zeros.
TEST(ActivationArray, MatchesScalarDefinition)
{
    for (int n : {0, 1, 7, 8, 9, 37}) {
        std::vector<float> base = random_values(n, -8, 8, 11 + n);
        if (n > 2) {
            base[0] = -0.f;
            base[1] = 0.f;
        }
        for (const named_kind &k : kNames) {
            if (k.kind >= SWISH) continue;
            std::vector<float> a = base, b = base, expected(n), delta(n, 1.5f), expected_delta(n);
            for (int i = 0; i < n; ++i) {
                expected[i] = k.kind == LINEAR ? base[i] : activate(base[i], k.kind);
                expected_delta[i] = 1.5f * gradient(expected[i], k.kind);
            }
            activate_array(a.data(), n, k.kind);
            activate_array_cpu_custom(b.data(), n, k.kind);
            gradient_array(expected.data(), n, k.kind, delta.data());
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(std::signbit(a[i]), std::signbit(expected[i])) << k.name << " " << i;
                EXPECT_FLOAT_EQ(a[i], expected[i]) << k.name << " " << i;
                EXPECT_EQ(std::signbit(b[i]), std::signbit(expected[i])) << k.name << " " << i;
                EXPECT_FLOAT_EQ(b[i], expected[i]) << k.name << " " << i;
                EXPECT_FLOAT_EQ(delta[i], expected_delta[i]) << k.name << " " << i;
            }
        }
    }
}

TEST(ActivationArray, LinearLeavesNaNAlone)
{
    std::vector<float> v = {NAN, 1.f};
    activate_array(v.data(), 2, LINEAR);
    activate_array_cpu_custom(v.data(), 2, LINEAR);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(v[1], 1.f);
}

TEST(ActivationBuffered, ForwardKeepsWhatBackwardNeeds)
{
    const std::vector<float> x = {-3.f, -1.f, -0.25f, 0.f, 0.5f, 2.f, 25.f, -30.f};
    const int n = static_cast<int>(x.size());
    std::vector<float> keep(n), out(n);
    activate_array_swish(x.data(), n, keep.data(), out.data());
    for (int i = 0; i < n; ++i) {
        const float s = 1.f / (1.f + std::exp(-x[i]));
        EXPECT_FLOAT_EQ(keep[i], s);
        EXPECT_FLOAT_EQ(out[i], x[i] * s);
    }
    activate_array_mish(x.data(), n, keep.data(), out.data());
    EXPECT_EQ(keep, x);
    EXPECT_FLOAT_EQ(out[6], 25.f * std::tanh(25.f));
    // softplus(-30) = e^-30 is too small for the exponential form of tanh: the product rounds to zero.
    EXPECT_NEAR(out[7], -30.f * std::exp(-30.f), 1e-11);
    EXPECT_FLOAT_EQ(out[4], 0.5f * std::tanh(std::log1p(std::exp(0.5f))));
    activate_array_hard_mish(x.data(), n, keep.data(), out.data());
    EXPECT_EQ(keep, x);
    const std::vector<float> hard = {0.f, -0.5f, -0.25f + 0.03125f, 0.f, 0.5f, 2.f, 25.f, 0.f};
    for (int i = 0; i < n; ++i) EXPECT_FLOAT_EQ(out[i], hard[i]) << i;
}

TEST(ActivationBuffered, InPlaceForward)
{
    std::vector<float> v = {-1.f, 0.5f, 3.f}, keep(3);
    activate_array_mish(v.data(), 3, keep.data(), v.data());
    EXPECT_EQ(keep, (std::vector<float>{-1.f, 0.5f, 3.f}));
    EXPECT_FLOAT_EQ(v[2], 3.f * std::tanh(std::log1p(std::exp(3.f))));
}

TEST(ActivationBuffered, GradientsMatchFiniteDifference)
{
    enum { swish, mish, hard_mish };
    auto forward = [](int kind, float x) {
        float keep, out;
        if (kind == swish) activate_array_swish(&x, 1, &keep, &out);
        if (kind == mish) activate_array_mish(&x, 1, &keep, &out);
        if (kind == hard_mish) activate_array_hard_mish(&x, 1, &keep, &out);
        return out;
    };
    auto backward = [](int kind, float x) {
        float keep, out, delta = 1;
        if (kind == swish) {
            activate_array_swish(&x, 1, &keep, &out);
            gradient_array_swish(&out, 1, &keep, &delta);
        }
        if (kind == mish) {
            activate_array_mish(&x, 1, &keep, &out);
            gradient_array_mish(1, &keep, &delta);
        }
        if (kind == hard_mish) {
            activate_array_hard_mish(&x, 1, &keep, &out);
            gradient_array_hard_mish(1, &keep, &delta);
        }
        return delta;
    };
    const double h = 1e-2;
    for (int kind : {swish, mish, hard_mish})
        for (double x = -24.05; x < 24; x += 0.1) {
            if (kind == hard_mish && (std::fabs(x) < 2 * h || std::fabs(x + 2) < 2 * h)) continue;
            const double numeric =
                (forward(kind, static_cast<float>(x + h)) - forward(kind, static_cast<float>(x - h))) / (2 * h);
            EXPECT_NEAR(backward(kind, static_cast<float>(x)), numeric, 2e-3 + 1e-2 * std::fabs(numeric))
                << "kind " << kind << " at x = " << x;
        }
}

// Channel kinds: batch 2, 3 channels, 2 positions per channel, so a position's channel values
// lie wh_step apart inside their image.
TEST(ActivationChannels, NormalizeChannelsForward)
{
    const int channels = 3, wh_step = 2, n = 12;
    const std::vector<float> x = {-1, 0.5f, 1, 0.5f, 3, 0.5f, /* image 1 */ 2, -2, 2, -2, -1, -2};
    std::vector<float> out(n, 99.f);
    activate_array_normalize_channels(x.data(), n, channels, wh_step, out.data());
    const std::vector<float> expected = {0,         0.5f / 1.5001f, 1 / 4.0001f, 0.5f / 1.5001f, 3 / 4.0001f,
                                         0.5f / 1.5001f, 2 / 4.0001f, 0,         2 / 4.0001f, 0,
                                         0,         0};
    for (int i = 0; i < n; ++i) EXPECT_FLOAT_EQ(out[i], expected[i]) << i;
}

TEST(ActivationChannels, SoftmaxForwardSumsToOne)
{
    const int channels = 4, wh_step = 3, n = channels * wh_step * 2;
    std::vector<float> x = random_values(n, -4, 4, 5);
    for (int use_max : {0, 1}) {
        std::vector<float> out(n);
        activate_array_normalize_channels_softmax(x.data(), n, channels, wh_step, out.data(), use_max);
        for (int b = 0; b < 2; ++b)
            for (int p = 0; p < wh_step; ++p) {
                double sum = 0, exp_sum = 0;
                for (int k = 0; k < channels; ++k) exp_sum += std::exp(x[b * 12 + k * wh_step + p]);
                for (int k = 0; k < channels; ++k) {
                    const int i = b * 12 + k * wh_step + p;
                    sum += out[i];
                    EXPECT_NEAR(out[i], std::exp(x[i]) / exp_sum, 1e-4);
                }
                EXPECT_NEAR(sum, 1.0, 1e-3);
            }
    }
    // Subtracting the largest value keeps large inputs finite.
    std::vector<float> big = {1000, 999, 0, 1000}, out(4);
    activate_array_normalize_channels_softmax(big.data(), 4, 4, 1, out.data(), 1);
    EXPECT_NEAR(out[0], 1 / (2 + std::exp(-1.0)), 1e-4);
    EXPECT_NEAR(out[1], std::exp(-1.0) / (2 + std::exp(-1.0)), 1e-4);
    // In place is allowed.
    std::vector<float> v = {0, 0};
    activate_array_normalize_channels_softmax(v.data(), 2, 2, 1, v.data(), 0);
    EXPECT_FLOAT_EQ(v[0], 1 / 2.0001f);
}

TEST(ActivationChannels, BackwardUsesChannelDotProduct)
{
    // One position, three channels: g = sum of output * delta.
    const std::vector<float> y = {0, 0.25f, 0.75f};
    std::vector<float> delta = {2, 4, -1};
    const float g = 0 * 2 + 0.25f * 4 + 0.75f * -1;
    gradient_array_normalize_channels(y.data(), 3, 3, 1, delta.data());
    EXPECT_EQ(delta, (std::vector<float>{2, 4 * g, -1 * g}));
    delta = {2, 4, -1};
    gradient_array_normalize_channels_softmax(y.data(), 3, 3, 1, delta.data());
    EXPECT_EQ(delta, (std::vector<float>{2 * g, 4 * g, -1 * g}));

    // Two images, two positions: each position uses only its own channels.
    const std::vector<float> y2 = {1, 2, 3, 4, /* image 1 */ 5, 6, 7, 8};
    std::vector<float> d2(8, 1.f);
    gradient_array_normalize_channels_softmax(y2.data(), 8, 2, 2, d2.data());
    EXPECT_EQ(d2, (std::vector<float>{4, 6, 4, 6, 12, 14, 12, 14}));
}

namespace {

[[noreturn]] void leaky_with_detection_on_stderr()
{
    fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    float v[9] = {-1, 1, -2, 2, -3, 3, -4, 4, -5};
    activate_array_cpu_custom(v, 9, LEAKY);
    fflush(stdout);
    exit(v[0] == -0.1f && v[8] == -0.5f ? 0 : 1);
}

} // namespace

TEST(ActivationArrayDeathTest, FirstLeakyCallReportsProcessorDetection)
{
    // A re-executed child starts with the detection not yet done.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(leaky_with_detection_on_stderr(), testing::ExitedWithCode(0), "^ (Not u|U)sed AVX \n$");
}
