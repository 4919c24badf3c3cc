// Connected layer: forward against a dense reference (plain, with batch normalisation in training
// and inference), gradients against finite differences, the update rule, the cfg keys, the table
// row and the weights-file arrays (order, transposed files, bit-exact round trip).
#include "connected_layer.h"
#include "layer.h"
#include "list.h"
#include "option_list.h"
#include "utils.h"
#include "weights.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

layer make_quiet(int batch, int inputs, int outputs, ACTIVATION a, int bn, int steps = 1)
{
    testing::internal::CaptureStderr();
    layer l = make_connected_layer(batch, steps, inputs, outputs, a, bn);
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

double act(double x, ACTIVATION a)
{
    switch (a) {
    case LOGISTIC: return 1 / (1 + exp(-x));
    case TANH: return tanh(x);
    case LINEAR: return x;
    default: ADD_FAILURE() << "no reference for activation " << a; return 0;
    }
}

// Dense reference in double precision; stats: 0 none, 1 batch statistics, 2 rolling statistics.
std::vector<double> reference_forward(const layer &l, const std::vector<float> &in, int stats)
{
    const int B = l.batch, I = l.inputs, O = l.outputs;
    std::vector<double> z((size_t)B * O);
    for (int b = 0; b < B; ++b)
        for (int o = 0; o < O; ++o) {
            double s = 0;
            for (int i = 0; i < I; ++i) s += (double)in[b * I + i] * l.weights[o * I + i];
            z[b * O + o] = s;
        }
    if (stats) {
        for (int o = 0; o < O; ++o) {
            double mean = 0, var = 0;
            if (stats == 1) {
                for (int b = 0; b < B; ++b) mean += z[b * O + o];
                mean /= B;
                for (int b = 0; b < B; ++b) var += (z[b * O + o] - mean) * (z[b * O + o] - mean);
                var /= B - 1;
            } else {
                mean = l.rolling_mean[o];
                var = l.rolling_variance[o];
            }
            for (int b = 0; b < B; ++b) z[b * O + o] = (z[b * O + o] - mean) / sqrt(var + 0.00001) * l.scales[o];
        }
    }
    for (int b = 0; b < B; ++b)
        for (int o = 0; o < O; ++o) z[b * O + o] = act(z[b * O + o] + l.biases[o], l.activation);
    return z;
}

void expect_near_all(const std::vector<double> &want, const float *got, double tol)
{
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(want[i], got[i], tol) << "at " << i;
}

double probe_loss(layer &l, std::vector<float> &in, const std::vector<float> &probe)
{
    forward_connected_layer(l, make_state(in.data(), nullptr, 1));
    double s = 0;
    for (size_t i = 0; i < probe.size(); ++i) s += (double)probe[i] * l.output[i];
    return s;
}

std::vector<float> floats(const float *p, size_t n) { return std::vector<float>(p, p + n); }

TEST(Connected, ConstructorPrintsRowAndInitialises)
{
    testing::internal::CaptureStderr();
    layer l = make_connected_layer(3, 2, 50, 7, LEAKY, 1);
    EXPECT_EQ("connected                              50  ->     7\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(CONNECTED, l.type);
    EXPECT_EQ(50, l.c);
    EXPECT_EQ(7, l.out_c);
    EXPECT_EQ(7, l.n);
    EXPECT_EQ(1, l.out_w * l.out_h * l.h * l.w * l.size * l.stride);
    EXPECT_EQ(1.f, l.learning_rate_scale);
    const float bound = sqrtf(2.f / 50);
    float biggest = 0;
    for (int i = 0; i < 350; ++i) biggest = std::max(biggest, std::fabs(l.weights[i]));
    EXPECT_LE(biggest, bound);
    EXPECT_GT(biggest, 0.5f * bound);
    for (int o = 0; o < 7; ++o) {
        EXPECT_EQ(0.f, l.biases[o]);
        EXPECT_EQ(1.f, l.scales[o]);
    }
    // Buffers span every time step.
    l.output[3 * 2 * 7 - 1] = 1;
    l.x_norm[3 * 2 * 7 - 1] = 1;
    free_layer(l);
}

TEST(Connected, ForwardMatchesDenseReference)
{
    struct Case {
        int batch, inputs, outputs;
        ACTIVATION a;
    } cases[] = {{1, 1, 1, LINEAR}, {4, 37, 19, LOGISTIC}, {8, 64, 130, TANH}, {3, 300, 5, LINEAR}};
    for (const Case &c : cases) {
        layer l = make_quiet(c.batch, c.inputs, c.outputs, c.a, 0);
        for (int o = 0; o < c.outputs; ++o) l.biases[o] = random_uniform(-1, 1);
        auto in = random_vector((size_t)c.batch * c.inputs);
        forward_connected_layer(l, make_state(in.data(), nullptr, 0));
        expect_near_all(reference_forward(l, in, 0), l.output, 1e-4);
        free_layer(l);
    }
}

TEST(Connected, BatchNormTrainingUsesBatchStatisticsAndSlowRollingAverages)
{
    layer l = make_quiet(6, 10, 4, LINEAR, 1);
    for (int o = 0; o < 4; ++o) {
        l.scales[o] = random_uniform(0.5, 2);
        l.biases[o] = random_uniform(-1, 1);
        l.rolling_mean[o] = 1;
        l.rolling_variance[o] = 2;
    }
    auto in = random_vector(60);
    forward_connected_layer(l, make_state(in.data(), nullptr, 1));
    expect_near_all(reference_forward(l, in, 1), l.output, 1e-4);
    for (int o = 0; o < 4; ++o) {
        EXPECT_NEAR(0.95 * 1 + 0.05 * l.mean[o], l.rolling_mean[o], 1e-6);
        EXPECT_NEAR(0.95 * 2 + 0.05 * l.variance[o], l.rolling_variance[o], 1e-6);
    }
    free_layer(l);
}

TEST(Connected, BatchNormInferenceUsesRollingStatistics)
{
    layer l = make_quiet(3, 9, 5, LOGISTIC, 1);
    for (int o = 0; o < 5; ++o) {
        l.scales[o] = random_uniform(0.5, 2);
        l.biases[o] = random_uniform(-1, 1);
        l.rolling_mean[o] = random_uniform(-1, 1);
        l.rolling_variance[o] = random_uniform(0.5, 2);
    }
    const auto mean_before = floats(l.rolling_mean, 5);
    auto in = random_vector(27);
    forward_connected_layer(l, make_state(in.data(), nullptr, 0));
    expect_near_all(reference_forward(l, in, 2), l.output, 1e-5);
    EXPECT_EQ(mean_before, floats(l.rolling_mean, 5));
    free_layer(l);
}

class ConnectedGradients : public testing::TestWithParam<int> {};

TEST_P(ConnectedGradients, MatchFiniteDifferences)
{
    const int bn = GetParam();
    const int B = bn ? 32 : 8, I = 6, O = 5;
    layer l = make_quiet(B, I, O, TANH, bn);
    for (int o = 0; o < O; ++o) {
        l.biases[o] = random_uniform(-0.5, 0.5);
        if (bn) l.scales[o] = random_uniform(0.5, 2);
    }
    auto in = random_vector((size_t)B * I);
    auto probe = random_vector((size_t)B * O);
    std::vector<float> prev_delta(in.size(), 0.25f);
    probe_loss(l, in, probe);
    std::copy(probe.begin(), probe.end(), l.delta);
    backward_connected_layer(l, make_state(in.data(), prev_delta.data(), 1));
    for (float &d : prev_delta) d -= 0.25f;  // the input delta is accumulated into

    // Batch normalisation's backward divides by the sample count where its variance divides by
    // count - 1, so its gradients are close but not exact (a few per cent at 32 samples).
    const double tol = bn ? 0.05 : 2e-3;
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
        EXPECT_LT(worst, tol) << what;
    };
    check("weights", l.weights, (size_t)I * O, l.weight_updates);
    check("input", in.data(), in.size(), prev_delta.data());
    if (bn) {
        check("scales", l.scales, O, l.scale_updates);
    } else {
        check("biases", l.biases, O, l.bias_updates);
    }
    free_layer(l);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutBatchNorm, ConnectedGradients, testing::Values(0, 1));

TEST(Connected, UpdateAppliesRateMomentumAndDecay)
{
    layer l = make_quiet(2, 3, 2, LINEAR, 1);
    for (int i = 0; i < 6; ++i) l.weight_updates[i] = random_uniform(-1, 1);
    for (int o = 0; o < 2; ++o) {
        l.bias_updates[o] = random_uniform(-1, 1);
        l.scale_updates[o] = random_uniform(-1, 1);
    }
    const auto w = floats(l.weights, 6), wu = floats(l.weight_updates, 6);
    const auto b = floats(l.biases, 2), bu = floats(l.bias_updates, 2);
    const auto s = floats(l.scales, 2), su = floats(l.scale_updates, 2);
    const int batch = 4;
    const float rate = 0.1f, momentum = 0.9f, decay = 0.01f;
    update_connected_layer(l, batch, rate, momentum, decay);
    for (int i = 0; i < 6; ++i) {
        const float grad = wu[i] - decay * batch * w[i];
        EXPECT_NEAR(w[i] + rate / batch * grad, l.weights[i], 1e-6);
        EXPECT_NEAR(momentum * grad, l.weight_updates[i], 1e-6);
    }
    for (int o = 0; o < 2; ++o) {
        EXPECT_NEAR(b[o] + rate / batch * bu[o], l.biases[o], 1e-6);
        EXPECT_NEAR(momentum * bu[o], l.bias_updates[o], 1e-6);
        EXPECT_NEAR(s[o] + rate / batch * su[o], l.scales[o], 1e-6);
        EXPECT_NEAR(momentum * su[o], l.scale_updates[o], 1e-6);
    }
    free_layer(l);
}

list *options_of(std::initializer_list<const char *> lines)
{
    list *options = make_list();
    for (const char *line : lines) {
        char *copy = copy_string(line);
        read_option(copy, options);
    }
    return options;
}

TEST(Connected, ParserReadsKeysAndDefaults)
{
    size_params p = {};
    p.batch = 2;
    p.inputs = 12;
    list *options = options_of({"output=9", "activation=tanh", "batch_normalize=1"});
    testing::internal::CaptureStderr();
    layer l = parse_connected(options, p);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(9, l.outputs);
    EXPECT_EQ(12, l.inputs);
    EXPECT_EQ(TANH, l.activation);
    EXPECT_EQ(1, l.batch_normalize);
    EXPECT_EQ(2, l.batch);
    free_layer(l);
    free_options(options);

    list *empty = make_list();
    testing::internal::CaptureStderr();
    l = parse_connected(empty, p);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("output: Using default '1'")) << err;
    EXPECT_NE(std::string::npos, err.find("activation: Using default 'logistic'")) << err;
    EXPECT_EQ(LOGISTIC, l.activation);
    EXPECT_EQ(0, l.batch_normalize);
    free_layer(l);
    free_options(empty);
}

TEST(Connected, TableRowNamesSectionsAndEntries)
{
    EXPECT_EQ(CONNECTED, string_to_layer_type("[connected]"));
    EXPECT_EQ(CONNECTED, string_to_layer_type("[conn]"));
    const layer_kind *k = get_layer_kind(CONNECTED);
    EXPECT_EQ(parse_connected, k->parse);
    EXPECT_EQ(nullptr, k->resize);
    EXPECT_NE(nullptr, k->read_weights);
    EXPECT_NE(nullptr, k->write_weights);
}

std::vector<float> read_all(FILE *fp)
{
    rewind(fp);
    std::vector<float> v;
    float x;
    while (fread(&x, sizeof x, 1, fp) == 1) v.push_back(x);
    return v;
}

TEST(Connected, WeightsFileOrderIsBiasesWeightsThenNormalisation)
{
    layer l = make_quiet(1, 3, 2, LINEAR, 1);
    float *arrays[] = {l.biases, l.weights, l.scales, l.rolling_mean, l.rolling_variance};
    const int counts[] = {2, 6, 2, 2, 2};
    float v = 1;
    for (int a = 0; a < 5; ++a)
        for (int i = 0; i < counts[a]; ++i) arrays[a][i] = v++;
    FILE *fp = tmpfile();
    save_connected_weights(l, fp);
    std::vector<float> want(14);
    for (int i = 0; i < 14; ++i) want[i] = i + 1.f;
    EXPECT_EQ(want, read_all(fp));

    layer r = make_quiet(1, 3, 2, LINEAR, 1);
    rewind(fp);
    load_connected_weights(r, fp, 0);
    for (int a = 0; a < 5; ++a) {
        float *got[] = {r.biases, r.weights, r.scales, r.rolling_mean, r.rolling_variance};
        EXPECT_EQ(0, memcmp(arrays[a], got[a], counts[a] * sizeof(float))) << a;
    }

    // dontloadscales reads only the biases and weights.
    layer d = make_quiet(1, 3, 2, LINEAR, 1);
    d.dontloadscales = 1;
    rewind(fp);
    load_connected_weights(d, fp, 0);
    EXPECT_EQ(8, ftell(fp) / 4);
    EXPECT_EQ(1.f, d.scales[0]);
    fclose(fp);
    free_layer(l);
    free_layer(r);
    free_layer(d);
}

TEST(Connected, TransposedFileWeightsAreTransposedOnRead)
{
    // A transposed file holds the matrix input-major: element (input i, output o) at i * outputs + o.
    const int I = 3, O = 4;
    FILE *fp = tmpfile();
    std::vector<float> biases(O, 0.5f), stored(I * O);
    for (int i = 0; i < I * O; ++i) stored[i] = (float)i;
    fwrite(biases.data(), sizeof(float), O, fp);
    fwrite(stored.data(), sizeof(float), I * O, fp);
    rewind(fp);
    layer l = make_quiet(1, I, O, LINEAR, 0);
    load_connected_weights(l, fp, 1);
    for (int o = 0; o < O; ++o)
        for (int i = 0; i < I; ++i) EXPECT_EQ(stored[i * O + o], l.weights[o * I + i]);
    fclose(fp);
    free_layer(l);
}

} // namespace
