// Convolutional layer: forward against a direct convolution over a table of geometries,
// gradients against finite differences, batch normalisation, resize, shared weights, the
// cfg keys, the table row and the weights-file arrays.
#include "activation_functions.h"
#include "batchnorm_layer.h"
#include "convolutional_layer.h"
#include "gemm.h"
#include "layer.h"
#include "list.h"
#include "option_list.h"
#include "utils.h"
#include "vector_primitives.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A layer that shares another's weights releases only its own per-image buffers.
void release_layer(layer &l) { free_layer(l); }

std::vector<float> random_vector(size_t n, float lo = -1, float hi = 1)
{
    std::vector<float> v(n);
    for (auto &x : v) x = random_uniform(lo, hi);
    return v;
}

struct Geometry {
    int batch, c, h, w, n, groups, size, stride_x, stride_y, dilation, pad;
};

// Direct convolution: the unfolding pads by pad * dilation.
// Every (output, input, weight) index triple of the direct convolution, in the order of its sum:
// image, filter, output row and column, then channel of the group, kernel row and column.
template <class Visit> void visit_taps(const Geometry &g, int out_h, int out_w, Visit visit)
{
    const int cpg = g.c / g.groups, fpg = g.n / g.groups, p = g.pad * g.dilation;
    for (int b = 0; b < g.batch; ++b)
        for (int f = 0; f < g.n; ++f)
            for (int y = 0; y < out_h; ++y)
                for (int x = 0; x < out_w; ++x) {
                    const size_t o = (((size_t)b * g.n + f) * out_h + y) * out_w + x;
                    const int grp = f / fpg;
                    for (int cc = 0; cc < cpg; ++cc)
                        for (int ki = 0; ki < g.size; ++ki)
                            for (int kj = 0; kj < g.size; ++kj) {
                                const int r = y * g.stride_y - p + ki * g.dilation;
                                const int s = x * g.stride_x - p + kj * g.dilation;
                                if (r < 0 || r >= g.h || s < 0 || s >= g.w) continue;
                                const int ch = grp * cpg + cc;
                                visit(o, (((size_t)b * g.c + ch) * g.h + r) * g.w + s,
                                      (((size_t)f * cpg + cc) * g.size + ki) * g.size + kj);
                            }
                }
}

std::vector<float> direct_convolution(const Geometry &g, const float *input, const float *weights,
                                      const float *biases, int out_h, int out_w)
{
    std::vector<double> sums((size_t)g.batch * g.n * out_h * out_w);
    for (size_t o = 0; o < sums.size(); ++o) sums[o] = biases[o / ((size_t)out_h * out_w) % g.n];
    visit_taps(g, out_h, out_w, [&](size_t o, size_t in, size_t w) { sums[o] += (double)weights[w] * input[in]; });
    return std::vector<float>(sums.begin(), sums.end());
}

layer make_plain(const Geometry &g, ACTIVATION a = LINEAR, int batch_normalize = 0, int train = 0)
{
    return make_convolutional_layer(g.batch, 1, g.h, g.w, g.c, g.n, g.groups, g.size, g.stride_x, g.stride_y,
                                    g.dilation, g.pad, a, batch_normalize, 0, 0, 0, 0, 0, 0, nullptr, 0, 0, train);
}

network_state make_state(float *input, float *workspace, float *delta, int train)
{
    network_state s = {};
    s.input = input;
    s.workspace = workspace;
    s.delta = delta;
    s.train = train;
    return s;
}

double max_abs_diff(const float *a, const float *b, size_t n)
{
    double d = 0;
    for (size_t i = 0; i < n; ++i) d = std::max(d, (double)std::fabs(a[i] - b[i]));
    return d;
}

const Geometry geometries[] = {
    {1, 3, 9, 9, 4, 1, 3, 1, 1, 1, 1},    // 3x3 same
    {2, 4, 10, 9, 6, 1, 3, 2, 2, 1, 1},   // 3x3 stride 2, odd width
    {2, 5, 7, 6, 3, 1, 1, 1, 1, 1, 0},    // 1x1: the input is the column matrix
    {1, 4, 8, 8, 5, 1, 1, 2, 2, 1, 0},    // 1x1 strided
    {1, 3, 6, 5, 2, 1, 1, 1, 1, 1, 1},    // 1x1 with explicit padding grows the output
    {2, 4, 7, 7, 6, 2, 3, 1, 1, 1, 1},    // two groups
    {1, 6, 8, 8, 6, 6, 3, 2, 2, 1, 1},    // depth-wise
    {1, 3, 11, 10, 4, 1, 3, 1, 1, 2, 1},  // dilation 2 keeps the size
    {1, 2, 12, 12, 3, 1, 3, 1, 1, 3, 1},  // dilation 3
    {1, 3, 9, 11, 2, 1, 3, 1, 2, 1, 1},   // stride_x 1, stride_y 2
    {1, 2, 9, 9, 3, 1, 5, 1, 1, 1, 2},    // 5x5
    {1, 2, 8, 8, 3, 1, 2, 2, 2, 1, 0},    // 2x2 stride 2
    {1, 3, 7, 7, 2, 1, 3, 1, 1, 2, 0},    // dilated without padding
    // Column matrices past 1 MiB are unfolded and multiplied in bands of columns that start and end
    // inside output rows.
    {1, 3, 100, 130, 5, 1, 3, 1, 1, 1, 1},  // banded 3x3
    {1, 4, 200, 181, 3, 1, 3, 2, 2, 1, 1},  // banded stride 2, odd width
    {1, 4, 130, 130, 4, 2, 3, 1, 1, 1, 1},  // banded, two groups
    // Few channels per group at stride 1 convolve directly over a zero-bordered copy.
    {2, 6, 9, 8, 6, 6, 3, 1, 1, 2, 2},      // depth-wise, dilated, output grown by the padding
    {1, 8, 21, 19, 12, 4, 3, 1, 1, 1, 1},   // four groups, three filters each
    {1, 4, 9, 61, 14, 2, 3, 1, 1, 1, 1},    // seven filters per group, rows past three vectors
    {1, 4, 7, 9, 4, 2, 1, 1, 1, 1, 0},      // grouped 1x1
};

class ConvForward : public ::testing::TestWithParam<Geometry> {};

TEST_P(ConvForward, MatchesDirectConvolution)
{
    const Geometry g = GetParam();
    layer l = make_plain(g);
    const int dil_extent = g.dilation * (g.size - 1) + 1;
    EXPECT_EQ(l.out_h, (g.h + 2 * g.pad * g.dilation - dil_extent) / g.stride_y + 1);
    EXPECT_EQ(l.out_w, (g.w + 2 * g.pad * g.dilation - dil_extent) / g.stride_x + 1);
    if (g.dilation == 1) EXPECT_EQ(l.out_h, (g.h + 2 * g.pad - g.size) / g.stride_y + 1);
    for (int i = 0; i < g.n; ++i) l.biases[i] = random_uniform(-1, 1);

    auto input = random_vector((size_t)g.batch * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    std::fill(l.output, l.output + l.outputs * g.batch, NAN);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));

    auto ref = direct_convolution(g, input.data(), l.weights, l.biases, l.out_h, l.out_w);
    ASSERT_EQ(ref.size(), (size_t)l.outputs * g.batch);
    EXPECT_LT(max_abs_diff(ref.data(), l.output, ref.size()), 1e-4);
    release_layer(l);
}

// The direct grouped kernels follow the selected vector path: each one the processor has must agree
// with the nested loops, tails of every width included.
TEST(ConvForwardPaths, DirectGroupedOnEveryPath)
{
    const Geometry table[] = {
        {2, 6, 9, 8, 6, 6, 3, 1, 1, 2, 2},
        {1, 8, 21, 19, 12, 4, 3, 1, 1, 1, 1},
        {1, 4, 9, 61, 14, 2, 3, 1, 1, 1, 1},
        {1, 4, 5, 37, 8, 2, 3, 1, 1, 1, 1},
        {2, 2, 1, 24, 2, 2, 3, 1, 1, 1, 1},  // the workspace holds one bordered buffer, not two
        {1, 4, 11, 23, 4, 2, 5, 1, 1, 1, 2}, // 5x5: the kernel size known only at run time
    };
    for (GEMM_PATH path : {GEMM_PATH_PLAIN, GEMM_PATH_AVX2, GEMM_PATH_AVX512}) {
        if (!gemm_path_available(path)) continue;
        const GEMM_PATH previous = gemm_select_path(path);
        for (const Geometry &g : table) {
            layer l = make_plain(g);
            auto input = random_vector((size_t)g.batch * l.inputs);
            std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
            forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
            auto ref = direct_convolution(g, input.data(), l.weights, l.biases, l.out_h, l.out_w);
            EXPECT_LT(max_abs_diff(ref.data(), l.output, ref.size()), 1e-4) << "path " << path << ", w " << g.w;
            release_layer(l);
        }
        gemm_select_path(previous);
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, ConvForward, ::testing::ValuesIn(geometries));

// Loss = sum(output * probe); the backward pass is handed delta = probe.
struct GradientCase {
    Geometry g;
    ACTIVATION activation;
    int batch_normalize;
};

double loss(layer &l, const std::vector<float> &input, std::vector<float> &workspace, const std::vector<float> &probe)
{
    forward_convolutional_layer(l, make_state(const_cast<float *>(input.data()), workspace.data(), nullptr, 1));
    double s = 0;
    for (size_t i = 0; i < probe.size(); ++i) s += (double)l.output[i] * probe[i];
    return s;
}

void expect_gradient(const char *what, float *param, int count, const float *analytic, layer &l,
                     const std::vector<float> &input, std::vector<float> &workspace,
                     const std::vector<float> &probe, double tolerance)
{
    const float h = 1e-2f;
    double worst = 0, scale = 1e-3;
    for (int i = 0; i < count; ++i) scale = std::max(scale, (double)std::fabs(analytic[i]));
    for (int i = 0; i < count; ++i) {
        const float keep = param[i];
        param[i] = keep + h;
        const double up = loss(l, input, workspace, probe);
        param[i] = keep - h;
        const double down = loss(l, input, workspace, probe);
        param[i] = keep;
        const double numeric = (up - down) / (2 * h);
        worst = std::max(worst, std::fabs(numeric - analytic[i]) / scale);
    }
    EXPECT_LT(worst, tolerance) << what;
}

class ConvBackward : public ::testing::TestWithParam<GradientCase> {};

TEST_P(ConvBackward, GradientsMatchFiniteDifferences)
{
    const GradientCase gc = GetParam();
    const Geometry g = gc.g;
    layer l = make_plain(g, gc.activation, gc.batch_normalize, 1);
    for (int i = 0; i < g.n; ++i) l.biases[i] = random_uniform(-0.5, 0.5);
    if (l.scales)
        for (int i = 0; i < g.n; ++i) l.scales[i] = random_uniform(0.5, 1.5);

    auto input = random_vector((size_t)g.batch * l.inputs);
    auto probe = random_vector((size_t)g.batch * l.outputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    std::vector<float> input_delta((size_t)g.batch * l.inputs, 7.f);

    loss(l, input, workspace, probe);
    std::copy(probe.begin(), probe.end(), l.delta);
    backward_convolutional_layer(l, make_state(input.data(), workspace.data(), input_delta.data(), 1));

    // With batch statistics the backward formulas divide by the sample count where the
    // variance divides by count - 1, so they are exact only up to about 1 / count.
    const double tol = gc.batch_normalize ? 0.05 : 0.01;
    expect_gradient("weights", l.weights, l.nweights, l.weight_updates, l, input, workspace, probe, tol);
    expect_gradient("biases", l.biases, l.n, l.bias_updates, l, input, workspace, probe, tol);
    if (gc.batch_normalize) expect_gradient("scales", l.scales, l.n, l.scale_updates, l, input, workspace, probe, tol);
    expect_gradient("input", input.data(), (int)input.size(), input_delta.data(), l, input, workspace, probe, tol);
    release_layer(l);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvBackward,
    ::testing::Values(GradientCase{{2, 3, 6, 6, 4, 1, 3, 1, 1, 1, 1}, LINEAR, 0},
                      GradientCase{{1, 4, 7, 6, 4, 2, 3, 2, 2, 1, 1}, LOGISTIC, 0},
                      GradientCase{{2, 3, 5, 5, 2, 1, 1, 1, 1, 1, 0}, TANH, 0},
                      GradientCase{{1, 2, 9, 9, 3, 1, 3, 1, 2, 2, 1}, LINEAR, 0},
                      GradientCase{{1, 4, 6, 6, 4, 4, 3, 1, 1, 1, 1}, MISH, 0},
                      GradientCase{{4, 3, 6, 6, 3, 1, 3, 1, 1, 1, 1}, LINEAR, 1},
                      GradientCase{{4, 2, 6, 6, 4, 2, 3, 1, 1, 1, 1}, SWISH, 1}));

// Layers whose column matrix passes 1 MiB run the backward band by band: the weight and input
// gradients must be those of the nested loops (the adjoint of the direct convolution).
TEST(ConvBackward, BandedGradientsMatchNestedLoops)
{
    const Geometry table[] = {
        {1, 3, 100, 130, 5, 1, 3, 1, 1, 1, 1},  // bands that start and end inside rows
        {2, 16, 130, 130, 4, 2, 3, 2, 2, 1, 1}, // two groups, stride 2, two images
        {1, 4, 90, 97, 2, 1, 3, 1, 1, 2, 2},    // dilated
    };
    for (const Geometry &g : table) {
        layer l = make_plain(g, LINEAR, 0, 1);
        ASSERT_LT(convolutional_band_columns(l), l.out_h * l.out_w) << "the geometry must be banded";
        auto input = random_vector((size_t)g.batch * l.inputs);
        std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
        forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 1));
        auto probe = random_vector((size_t)g.batch * l.outputs);
        std::copy(probe.begin(), probe.end(), l.delta);
        std::vector<float> input_delta(input.size(), 7.f);
        backward_convolutional_layer(l, make_state(input.data(), workspace.data(), input_delta.data(), 1));

        std::vector<double> dw((size_t)l.nweights, 0), dx(input.size(), 0);
        visit_taps(g, l.out_h, l.out_w, [&](size_t o, size_t in, size_t w) {
            dw[w] += (double)probe[o] * input[in];
            dx[in] += (double)probe[o] * l.weights[w];
        });
        double worst_w = 0, worst_x = 0;
        for (size_t i = 0; i < dw.size(); ++i)
            worst_w = std::max(worst_w, std::fabs(dw[i] - l.weight_updates[i]) / (1 + std::fabs(dw[i])));
        for (size_t i = 0; i < dx.size(); ++i)
            worst_x = std::max(worst_x, std::fabs(dx[i] - input_delta[i]) / (1 + std::fabs(dx[i])));
        EXPECT_LT(worst_w, 1e-3) << g.h << "x" << g.w;
        EXPECT_LT(worst_x, 1e-4) << g.h << "x" << g.w;
        release_layer(l);
    }
}

TEST(ConvBackward, ReplacesThePreviousDelta)
{
    const Geometry g = {1, 2, 5, 5, 3, 1, 3, 1, 1, 1, 1};
    layer l = make_plain(g, LINEAR, 0, 1);
    auto input = random_vector(l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 1));
    auto probe = random_vector(l.outputs);
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> fresh(l.inputs, 0.f), stale(l.inputs, 100.f);
    backward_convolutional_layer(l, make_state(input.data(), workspace.data(), fresh.data(), 1));
    std::copy(probe.begin(), probe.end(), l.delta);
    backward_convolutional_layer(l, make_state(input.data(), workspace.data(), stale.data(), 1));
    EXPECT_EQ(0, memcmp(fresh.data(), stale.data(), fresh.size() * sizeof(float)));
    release_layer(l);
}

TEST(ConvBatchNorm, TrainingStatisticsAndRollingAverages)
{
    const Geometry g = {3, 2, 5, 4, 3, 1, 3, 1, 1, 1, 1};
    layer l = make_plain(g, LINEAR, 1, 1);
    layer ref = make_plain(g, LINEAR, 0, 0);
    memcpy(ref.weights, l.weights, l.nweights * sizeof(float));
    auto input = random_vector((size_t)g.batch * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    forward_convolutional_layer(ref, make_state(input.data(), workspace.data(), nullptr, 0));
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 1));

    const int S = l.out_h * l.out_w, count = g.batch * S;
    for (int f = 0; f < g.n; ++f) {
        double mean = 0, var = 0;
        for (int b = 0; b < g.batch; ++b)
            for (int p = 0; p < S; ++p) mean += ref.output[(b * g.n + f) * S + p];
        mean /= count;
        for (int b = 0; b < g.batch; ++b)
            for (int p = 0; p < S; ++p) var += std::pow(ref.output[(b * g.n + f) * S + p] - mean, 2);
        var /= count - 1;
        EXPECT_NEAR(l.mean[f], mean, 1e-5);
        EXPECT_NEAR(l.variance[f], var, 1e-4);
        EXPECT_NEAR(l.rolling_mean[f], 0.1 * mean, 1e-6);
        EXPECT_NEAR(l.rolling_variance[f], 0.1 * var, 1e-5);
        for (int b = 0; b < g.batch; ++b)
            for (int p = 0; p < S; ++p) {
                const int i = (b * g.n + f) * S + p;
                EXPECT_FLOAT_EQ(l.x[i], ref.output[i]);
                EXPECT_NEAR(l.output[i], (ref.output[i] - mean) / std::sqrt(var + 1e-5), 1e-4);
                EXPECT_EQ(l.x_norm[i], l.output[i]);
            }
    }
    release_layer(l);
    release_layer(ref);
}

// Inference with rolling statistics equals folding them into the filters and biases.
TEST(ConvBatchNorm, InferenceMatchesFoldedFilters)
{
    const Geometry g = {2, 3, 6, 6, 4, 1, 3, 2, 2, 1, 1};
    layer l = make_plain(g, LEAKY, 1, 0);
    layer folded = make_plain(g, LEAKY, 0, 0);
    const int per_filter = l.nweights / l.n;
    for (int f = 0; f < g.n; ++f) {
        l.scales[f] = random_uniform(0.5, 2);
        l.biases[f] = random_uniform(-1, 1);
        l.rolling_mean[f] = random_uniform(-0.5, 0.5);
        l.rolling_variance[f] = random_uniform(0.2, 3);
        const double factor = l.scales[f] / std::sqrt(l.rolling_variance[f] + .00001);
        folded.biases[f] = (float)(l.biases[f] - l.rolling_mean[f] * factor);
        for (int i = 0; i < per_filter; ++i)
            folded.weights[f * per_filter + i] = (float)(l.weights[f * per_filter + i] * factor);
    }
    auto input = random_vector((size_t)g.batch * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
    forward_convolutional_layer(folded, make_state(input.data(), workspace.data(), nullptr, 0));
    EXPECT_LT(max_abs_diff(l.output, folded.output, (size_t)l.outputs * g.batch), 1e-4);
    release_layer(l);
    release_layer(folded);
}

// Inference finishes each band of the output right after its product: the result must be bit for
// bit that of the separate normalisation, scale, bias and activation passes over the raw product.
TEST(ConvBatchNorm, BandFinishingMatchesSeparatePasses)
{
    const Geometry table[] = {
        {1, 3, 100, 130, 5, 1, 3, 1, 1, 1, 1},  // banded
        {2, 4, 7, 7, 6, 2, 3, 1, 1, 1, 1},      // two groups, two images
        {2, 5, 7, 6, 3, 1, 1, 1, 1, 1, 0},      // 1x1 on the input itself
        {2, 8, 21, 19, 12, 4, 3, 1, 1, 1, 1},   // direct grouped convolution
    };
    // Every vector path the processor has: the grouped kernels finish in their own registers.
    for (GEMM_PATH path : {GEMM_PATH_PLAIN, GEMM_PATH_AVX2, GEMM_PATH_AVX512})
        for (const Geometry &g : table)
            for (int bn = 0; bn < 2 && gemm_path_available(path); ++bn) {
                const GEMM_PATH previous = gemm_select_path(path);
                layer l = make_plain(g, LEAKY, bn, 0);
                layer raw = make_plain(g, LINEAR, 0, 0);
                memcpy(raw.weights, l.weights, l.nweights * sizeof(float));
                for (int f = 0; f < g.n; ++f) {
                    l.biases[f] = random_uniform(-1, 1);
                    if (!bn) continue;
                    l.scales[f] = random_uniform(0.5, 2);
                    l.rolling_mean[f] = random_uniform(-0.5, 0.5);
                    l.rolling_variance[f] = random_uniform(0.2, 3);
                }
                auto input = random_vector((size_t)g.batch * l.inputs);
                std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
                forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
                forward_convolutional_layer(raw, make_state(input.data(), workspace.data(), nullptr, 0));
                const int spatial = l.out_h * l.out_w, count = l.outputs * g.batch;
                if (bn) {
                    normalize_cpu(raw.output, l.rolling_mean, l.rolling_variance, g.batch, g.n, spatial);
                    scale_bias(raw.output, l.scales, g.batch, g.n, spatial);
                }
                add_bias(raw.output, l.biases, g.batch, g.n, spatial);
                activate_array_cpu_custom(raw.output, count, LEAKY);
                for (int i = 0; i < count; ++i)
                    ASSERT_EQ(l.output[i], raw.output[i]) << "path " << path << ", batch norm " << bn << " at " << i
                                                          << " of " << g.h << "x" << g.w;
                release_layer(l);
                release_layer(raw);
                gemm_select_path(previous);
            }
}

TEST(ConvBatchNorm, UnloadedLayerNormalisesWithZeroVariance)
{
    const Geometry g = {1, 1, 3, 3, 1, 1, 1, 1, 1, 1, 0};
    layer l = make_plain(g, LINEAR, 1, 0);
    l.weights[0] = 1;
    l.scales[0] = 2;
    l.biases[0] = 0.5f;
    std::vector<float> input = {1, 2, 3, 4, 5, 6, 7, 8, 9}, workspace(16);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(l.output[i], 2 * input[i] / std::sqrt(0.00001f) + 0.5f, 1e-2);
    release_layer(l);
}

TEST(ConvUpdate, MomentumAndDecay)
{
    const Geometry g = {1, 1, 3, 3, 2, 1, 1, 1, 1, 1, 0};
    layer l = make_plain(g, LINEAR, 1, 1);
    l.learning_rate_scale = 0.5f;
    l.weights[0] = 2;
    l.weight_updates[0] = 4;
    l.biases[1] = 1;
    l.bias_updates[1] = 8;
    l.scales[0] = 1;
    l.scale_updates[0] = -2;
    update_convolutional_layer(l, 4, 0.1f, 0.9f, 0.01f);
    const float updates = 4 - 0.01f * 4 * 2;
    EXPECT_FLOAT_EQ(l.weights[0], 2 + 0.05f / 4 * updates);
    EXPECT_FLOAT_EQ(l.weight_updates[0], updates * 0.9f);
    EXPECT_FLOAT_EQ(l.biases[1], 1 + 0.05f / 4 * 8);
    EXPECT_FLOAT_EQ(l.bias_updates[1], 8 * 0.9f);
    EXPECT_FLOAT_EQ(l.scales[0], 1 - 0.05f / 4 * 2);
    EXPECT_FLOAT_EQ(l.scale_updates[0], -2 * 0.9f);
    release_layer(l);
}

TEST(ConvResize, KeepsParametersAndChangesShapes)
{
    const Geometry g = {2, 3, 8, 8, 4, 1, 3, 2, 2, 1, 1};
    layer l = make_plain(g, MISH, 1, 1);
    for (int f = 0; f < g.n; ++f) l.rolling_variance[f] = 1;
    std::vector<float> weights(l.weights, l.weights + l.nweights);
    float *weights_ptr = l.weights;
    resize_convolutional_layer(&l, 13, 10);
    EXPECT_EQ(l.w, 13);
    EXPECT_EQ(l.h, 10);
    EXPECT_EQ(l.out_w, 7);
    EXPECT_EQ(l.out_h, 5);
    EXPECT_EQ(l.outputs, 7 * 5 * 4);
    EXPECT_EQ(l.inputs, 13 * 10 * 3);
    EXPECT_EQ(l.workspace_size, (size_t)3 * 7 * 5 * 9 * sizeof(float));
    EXPECT_EQ(l.weights, weights_ptr);
    EXPECT_EQ(0, memcmp(weights.data(), l.weights, weights.size() * sizeof(float)));

    // Every per-image buffer now holds the new size: a training pass touches all of them.
    Geometry big = g;
    big.w = 13;
    big.h = 10;
    auto input = random_vector((size_t)g.batch * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    std::vector<float> input_delta(input.size());
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 1));
    std::fill(l.delta, l.delta + l.outputs * g.batch, 1.f);
    backward_convolutional_layer(l, make_state(input.data(), workspace.data(), input_delta.data(), 1));

    layer ref = make_plain(big, LINEAR);
    memcpy(ref.weights, l.weights, l.nweights * sizeof(float));
    forward_convolutional_layer(ref, make_state(input.data(), workspace.data(), nullptr, 0));
    l.activation = LINEAR;
    l.batch_normalize = 0;
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
    EXPECT_LT(max_abs_diff(ref.output, l.output, (size_t)l.outputs * g.batch), 1e-5);
    l.batch_normalize = 1;
    release_layer(l);
    release_layer(ref);
}

TEST(ConvShare, UsesTheOwnersArraysAndWritesNothing)
{
    const Geometry g = {1, 3, 6, 6, 4, 1, 3, 1, 1, 1, 1};
    layer owner = make_plain(g, LEAKY, 1, 1);
    testing::internal::CaptureStderr();
    layer sharer = make_convolutional_layer(1, 1, 6, 6, 3, 4, 1, 3, 1, 1, 1, 1, LEAKY, 1, 0, 0, 0, 0, 1, 0, &owner, 0,
                                            0, 1);
    const std::string row = testing::internal::GetCapturedStderr();
    EXPECT_EQ(row.substr(0, 6), "convS ");
    EXPECT_EQ(sharer.weights, owner.weights);
    EXPECT_EQ(sharer.weight_updates, owner.weight_updates);
    EXPECT_EQ(sharer.biases, owner.biases);
    EXPECT_EQ(sharer.bias_updates, owner.bias_updates);
    EXPECT_EQ(sharer.scales, owner.scales);
    EXPECT_EQ(sharer.rolling_mean, owner.rolling_mean);
    EXPECT_EQ(sharer.rolling_variance, owner.rolling_variance);
    EXPECT_EQ(sharer.mean, owner.mean);
    EXPECT_NE(sharer.output, owner.output);
    EXPECT_NE(sharer.x, owner.x);
    EXPECT_EQ(sharer.weights_ema, nullptr);

    for (int f = 0; f < g.n; ++f) owner.rolling_variance[f] = 1;
    auto input = random_vector(owner.inputs);
    std::vector<float> workspace(owner.workspace_size / sizeof(float) + 1);
    forward_convolutional_layer(owner, make_state(input.data(), workspace.data(), nullptr, 0));
    forward_convolutional_layer(sharer, make_state(input.data(), workspace.data(), nullptr, 0));
    EXPECT_EQ(0, memcmp(owner.output, sharer.output, owner.outputs * sizeof(float)));

    FILE *fp = tmpfile();
    save_convolutional_weights(sharer, fp);
    save_convolutional_weights_ema(sharer, fp);
    EXPECT_EQ(ftell(fp), 0);
    fclose(fp);

    release_layer(sharer);
    // The owner's arrays are intact after the sharer is gone.
    EXPECT_EQ(owner.weights[0], owner.weights[0]);
    forward_convolutional_layer(owner, make_state(input.data(), workspace.data(), nullptr, 0));
    release_layer(owner);
}

TEST(ConvShare, MismatchPrintsAndWaitsForAKey)
{
    const Geometry g = {1, 3, 6, 6, 4, 1, 3, 1, 1, 1, 1};
    layer owner = make_plain(g);
    FILE *in = freopen("/dev/null", "r", stdin);
    ASSERT_NE(in, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    layer sharer = make_convolutional_layer(1, 1, 6, 6, 3, 3, 1, 3, 1, 1, 1, 1, LINEAR, 0, 0, 0, 0, 0, 1, 0, &owner, 0,
                                            0, 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " Layer size, nweights, channels or filters don't match for the share_layer");
    EXPECT_EQ(sharer.weights, owner.weights);
    release_layer(sharer);

    // A sharer larger than its owner would write past the owner's arrays: refused.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(make_convolutional_layer(1, 1, 6, 6, 3, 5, 1, 3, 1, 1, 1, 1, LINEAR, 0, 0, 0, 0, 0, 1, 0, &owner, 0, 0,
                                         0),
                ::testing::ExitedWithCode(1), "share_layer has fewer weights");
    release_layer(owner);
}

std::string row_of(int n, int groups, int size, int stride_x, int stride_y, int dilation, int pad, int xnor = 0,
                   int bin_output = 0, int assisted = 0, int h = 416, int w = 416, int c = 32)
{
    testing::internal::CaptureStderr();
    layer l = make_convolutional_layer(1, 1, h, w, c, n, groups, size, stride_x, stride_y, dilation, pad, LEAKY, 0, 0,
                                       xnor, 0, bin_output, 0, 0, nullptr, assisted, 0, 0);
    release_layer(l);
    return testing::internal::GetCapturedStderr();
}

TEST(ConvTableRow, PrintedExactly)
{
    EXPECT_EQ(row_of(64, 1, 3, 2, 2, 1, 1), "conv     64       3 x 3/ 2    416 x 416 x  32 ->  208 x 208 x  64 1.595 BF\n");
    EXPECT_EQ(row_of(64, 32, 3, 1, 1, 1, 1),
              "conv     64/  32  3 x 3/ 1    416 x 416 x  32 ->  416 x 416 x  64 0.199 BF\n");
    EXPECT_EQ(row_of(16, 1, 3, 1, 1, 2, 1, 0, 0, 0, 20, 20, 8),
              "conv     16       3 x 3/ 1(2)  20 x  20 x   8 ->   20 x  20 x  16 0.001 BF\n");
    EXPECT_EQ(row_of(16, 1, 3, 1, 2, 1, 1, 0, 0, 0, 20, 20, 8),
              "conv     16       3x 3/ 1x 2   20 x  20 x   8 ->   20 x  10 x  16 0.000 BF\n");
    EXPECT_EQ(row_of(32, 1, 3, 1, 1, 1, 1, 1, 0, 0, 13, 13, 32).substr(0, 6), "convX ");
    EXPECT_EQ(row_of(32, 1, 3, 1, 1, 1, 1, 1, 1, 0, 13, 13, 32).substr(0, 6), "convXB");
    EXPECT_EQ(row_of(32, 1, 3, 1, 1, 1, 1, 0, 0, 1, 13, 13, 32).substr(0, 6), "convAE");
}

TEST(ConvAntialiasing, BlurFollowsTheStrideOneConvolution)
{
    testing::internal::CaptureStderr();
    layer l = make_convolutional_layer(2, 1, 8, 8, 3, 4, 1, 3, 2, 2, 1, 1, LINEAR, 0, 0, 0, 0, 0, 0, 1, nullptr, 0, 0,
                                       0);
    const std::string rows = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rows, "conv      4       3 x 3/ 1      8 x   8 x   3 ->    8 x   8 x   4 0.000 BF\n"
                    "AA:  conv      4/   4  3 x 3/ 2      8 x   8 x   4 ->    4 x   4 x   4 0.000 BF\n");
    ASSERT_NE(l.input_layer, nullptr);
    EXPECT_EQ(l.out_w, 8);
    EXPECT_EQ(l.input_layer->out_w, 4);
    EXPECT_EQ(l.input_layer->groups, 4);
    EXPECT_FLOAT_EQ(l.input_layer->weights[4], 0.25f);
    EXPECT_FLOAT_EQ(l.input_layer->weights[9 + 1], 0.125f);

    auto input = random_vector((size_t)2 * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    const Geometry cg = {2, 3, 8, 8, 4, 1, 3, 1, 1, 1, 1};
    auto conv = direct_convolution(cg, input.data(), l.weights, l.biases, 8, 8);
    const Geometry bg = {2, 4, 8, 8, 4, 4, 3, 2, 2, 1, 1};
    auto blurred = direct_convolution(bg, conv.data(), l.input_layer->weights, l.input_layer->biases, 4, 4);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
    EXPECT_LT(max_abs_diff(blurred.data(), l.output, blurred.size()), 1e-4);

    // Resizing takes the blur along: it must not read past the smaller output.
    resize_convolutional_layer(&l, 6, 4);
    EXPECT_EQ(l.out_w, 6);
    EXPECT_EQ(l.input_layer->w, 6);
    EXPECT_EQ(l.input_layer->h, 4);
    EXPECT_EQ(l.input_layer->out_w, 3);
    EXPECT_EQ(l.input_layer->out_h, 2);
    std::vector<float> small_input((size_t)2 * l.inputs);
    for (auto &v : small_input) v = random_uniform(-1, 1);
    std::vector<float> small_ws(l.workspace_size / sizeof(float) + 1);
    const Geometry sg = {2, 3, 4, 6, 4, 1, 3, 1, 1, 1, 1};
    auto small_conv = direct_convolution(sg, small_input.data(), l.weights, l.biases, 4, 6);
    const Geometry sbg = {2, 4, 4, 6, 4, 4, 3, 2, 2, 1, 1};
    auto small_blur = direct_convolution(sbg, small_conv.data(), l.input_layer->weights, l.input_layer->biases, 2, 3);
    forward_convolutional_layer(l, make_state(small_input.data(), small_ws.data(), nullptr, 0));
    EXPECT_LT(max_abs_diff(small_blur.data(), l.output, small_blur.size()), 1e-4);

    testing::internal::CaptureStderr();
    layer l2 = make_convolutional_layer(1, 1, 8, 8, 3, 4, 1, 3, 2, 2, 1, 1, LINEAR, 0, 0, 0, 0, 0, 0, 2, nullptr, 0,
                                        0, 0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(l2.input_layer->size, 2);
    EXPECT_EQ(l2.input_layer->pad, 0);
    EXPECT_FLOAT_EQ(l2.input_layer->weights[3], 0.25f);
    release_layer(l2);
    release_layer(l);
}

TEST(ConvXnor, BinarisedPassMatchesSignConvolution)
{
    const Geometry g = {1, 4, 7, 7, 3, 1, 3, 1, 1, 1, 1};
    testing::internal::CaptureStderr();
    layer l = make_convolutional_layer(1, 1, 7, 7, 4, 3, 8, 3, 1, 1, 1, 1, LINEAR, 0, 0, 1, 0, 0, 0, 0, nullptr, 0, 0,
                                       0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(l.groups, 1);
    EXPECT_EQ(l.bit_align, 49 - 49 % 32 + 32);
    EXPECT_EQ(l.workspace_size, (size_t)std::max(4 * l.bit_align * 9, 7 * 7 * 4) * sizeof(float));

    auto input = random_vector(l.inputs);
    std::vector<float> sign_input(input.size()), sign_weights(l.nweights);
    for (size_t i = 0; i < input.size(); ++i) sign_input[i] = input[i] > 0 ? 1 : -1;
    const int k = l.nweights / l.n;
    for (int f = 0; f < l.n; ++f) {
        float mean = 0;
        for (int i = 0; i < k; ++i) mean += std::fabs(l.weights[f * k + i]);
        mean /= k;
        for (int i = 0; i < k; ++i) sign_weights[f * k + i] = l.weights[f * k + i] > 0 ? mean : -mean;
    }
    auto ref = direct_convolution(g, sign_input.data(), sign_weights.data(), l.biases, l.out_h, l.out_w);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    std::vector<float> kept(l.weights, l.weights + l.nweights);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));
    EXPECT_LT(max_abs_diff(ref.data(), l.output, ref.size()), 1e-4);
    EXPECT_EQ(0, memcmp(kept.data(), l.weights, kept.size() * sizeof(float)));
    release_layer(l);
}

// Weights files: the arrays of one layer in their order, read back bit for bit.
TEST(ConvWeights, WrittenAndReadBackBitForBit)
{
    for (int bn : {0, 1}) {
        const Geometry g = {1, 4, 5, 5, 6, 2, 3, 1, 1, 1, 1};
        layer a = make_plain(g, LEAKY, bn, 0);
        layer b = make_plain(g, LEAKY, bn, 0);
        for (int f = 0; f < g.n; ++f) {
            a.biases[f] = random_uniform(-1, 1);
            if (bn) {
                a.scales[f] = random_uniform(-1, 1);
                a.rolling_mean[f] = random_uniform(-1, 1);
                a.rolling_variance[f] = random_uniform(0, 1);
            }
        }
        FILE *fp = tmpfile();
        save_convolutional_weights(a, fp);
        EXPECT_EQ(ftell(fp), (long)((bn ? 4 : 1) * g.n + a.nweights) * 4);
        rewind(fp);
        std::vector<float> raw((bn ? 4 : 1) * g.n + a.nweights);
        ASSERT_EQ(fread(raw.data(), 4, raw.size(), fp), raw.size());
        EXPECT_EQ(0, memcmp(raw.data(), a.biases, g.n * 4));
        if (bn) {
            EXPECT_EQ(0, memcmp(raw.data() + g.n, a.scales, g.n * 4));
            EXPECT_EQ(0, memcmp(raw.data() + 2 * g.n, a.rolling_mean, g.n * 4));
            EXPECT_EQ(0, memcmp(raw.data() + 3 * g.n, a.rolling_variance, g.n * 4));
        }
        EXPECT_EQ(0, memcmp(raw.data() + (bn ? 4 : 1) * g.n, a.weights, a.nweights * 4));
        rewind(fp);
        load_convolutional_weights(b, fp);
        EXPECT_EQ(0, memcmp(a.weights, b.weights, a.nweights * 4));
        EXPECT_EQ(0, memcmp(a.biases, b.biases, g.n * 4));
        if (bn) {
            EXPECT_EQ(0, memcmp(a.scales, b.scales, g.n * 4));
            EXPECT_EQ(0, memcmp(a.rolling_mean, b.rolling_mean, g.n * 4));
            EXPECT_EQ(0, memcmp(a.rolling_variance, b.rolling_variance, g.n * 4));
        }
        fclose(fp);
        release_layer(a);
        release_layer(b);
    }
}

TEST(ConvWeights, EmaCopiesWrittenInPlaceOfTheParameters)
{
    const Geometry g = {1, 2, 4, 4, 3, 1, 3, 1, 1, 1, 1};
    layer a = make_plain(g, LEAKY, 1, 1);
    for (int f = 0; f < g.n; ++f) {
        a.biases_ema[f] = 10.f + f;
        a.scales_ema[f] = 20.f + f;
        a.rolling_mean[f] = 30.f + f;
        a.rolling_variance[f] = 40.f + f;
    }
    for (int i = 0; i < a.nweights; ++i) a.weights_ema[i] = (float)i;
    FILE *fp = tmpfile();
    save_convolutional_weights_ema(a, fp);
    rewind(fp);
    layer b = make_plain(g, LEAKY, 1, 0);
    load_convolutional_weights(b, fp);
    EXPECT_EQ(0, memcmp(b.biases, a.biases_ema, g.n * 4));
    EXPECT_EQ(0, memcmp(b.scales, a.scales_ema, g.n * 4));
    EXPECT_EQ(0, memcmp(b.rolling_mean, a.rolling_mean, g.n * 4));
    EXPECT_EQ(0, memcmp(b.rolling_variance, a.rolling_variance, g.n * 4));
    EXPECT_EQ(0, memcmp(b.weights, a.weights_ema, a.nweights * 4));
    fclose(fp);
    release_layer(a);
    release_layer(b);
}

TEST(ConvWeights, DontloadscalesReadsTheWeightsRightAfterTheBiases)
{
    const Geometry g = {1, 2, 4, 4, 3, 1, 1, 1, 1, 1, 0};
    layer l = make_plain(g, LINEAR, 1, 0);
    l.dontloadscales = 1;
    std::vector<float> file(g.n + l.nweights);
    for (size_t i = 0; i < file.size(); ++i) file[i] = (float)i + 1;
    FILE *fp = tmpfile();
    fwrite(file.data(), 4, file.size(), fp);
    rewind(fp);
    load_convolutional_weights(l, fp);
    EXPECT_EQ(0, memcmp(l.weights, file.data() + g.n, l.nweights * 4));
    EXPECT_EQ(l.scales[0], 1.f);
    EXPECT_EQ(l.rolling_variance[0], 0.f);
    fclose(fp);
    release_layer(l);
}

TEST(ConvWeights, ShortFileWarnsOnlyForPartialArrays)
{
    const Geometry g = {1, 2, 4, 4, 3, 1, 3, 1, 1, 1, 1};
    layer l = make_plain(g, LINEAR, 0, 0);
    l.index = 5;
    FILE *fp = tmpfile();
    std::vector<float> part(g.n + 4, 1.f);
    fwrite(part.data(), 4, part.size(), fp);
    rewind(fp);
    testing::internal::CaptureStdout();
    load_convolutional_weights(l, fp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n Warning: Unexpected end of wights-file! l.weights - l.index = 5 \n");
    EXPECT_TRUE(feof(fp));
    fclose(fp);

    fp = tmpfile();
    testing::internal::CaptureStdout();
    load_convolutional_weights(l, fp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    fclose(fp);

    layer bn = make_plain(g, LINEAR, 1, 0);
    bn.index = 2;
    fp = tmpfile();
    fwrite(part.data(), 4, g.n + 1, fp);
    rewind(fp);
    testing::internal::CaptureStdout();
    load_convolutional_weights(bn, fp);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n Warning: Unexpected end of wights-file! l.scales - l.index = 2 \n");
    fclose(fp);
    release_layer(bn);
    release_layer(l);
}

TEST(ConvWeights, FlippedFiltersAreTransposed)
{
    const Geometry g = {1, 2, 4, 4, 3, 1, 1, 1, 1, 1, 0};
    layer l = make_plain(g);
    l.flipped = 1;
    std::vector<float> file(g.n + l.nweights);
    for (size_t i = 0; i < file.size(); ++i) file[i] = (float)i;
    FILE *fp = tmpfile();
    fwrite(file.data(), 4, file.size(), fp);
    rewind(fp);
    load_convolutional_weights(l, fp);
    // Stored as (inputs per filter) x filters; the layer keeps filter after filter.
    for (int f = 0; f < g.n; ++f)
        for (int r = 0; r < 2; ++r) EXPECT_EQ(l.weights[f * 2 + r], file[g.n + r * g.n + f]);
    fclose(fp);
    release_layer(l);
}

// cfg sections.
struct Options {
    list *l = make_list();
    std::vector<char *> strings;
    Options(std::initializer_list<std::pair<const char *, const char *>> kv)
    {
        for (auto &p : kv) {
            strings.push_back(strdup(p.first));
            strings.push_back(strdup(p.second));
            option_insert(l, strings[strings.size() - 2], strings.back());
        }
    }
    ~Options()
    {
        for (node *n = l->front; n; n = n->next) free(n->val);
        free_list(l);
        for (char *s : strings) free(s);
    }
};

size_params params_for(int h, int w, int c, int index = 0, layer *layers = nullptr, int train = 0)
{
    size_params p = {};
    p.batch = 1;
    p.h = h;
    p.w = w;
    p.c = c;
    p.inputs = h * w * c;
    p.index = index;
    p.train = train;
    p.net.layers = layers;
    return p;
}

layer parse_quiet(Options &o, size_params p, std::string *err = nullptr)
{
    testing::internal::CaptureStderr();
    layer l = parse_convolutional(o.l, p);
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return l;
}

TEST(ConvParse, KeysAndDefaults)
{
    {
        Options o({{"filters", "8"}, {"size", "3"}, {"stride", "2"}, {"pad", "1"}, {"activation", "leaky"}});
        layer l = parse_quiet(o, params_for(416, 416, 3));
        EXPECT_EQ(l.out_w, 208);
        EXPECT_EQ(l.out_h, 208);
        EXPECT_EQ(l.pad, 1);
        EXPECT_EQ(l.activation, LEAKY);
        EXPECT_EQ(l.angle, 15.f);
        EXPECT_EQ(l.stream, -1);
        EXPECT_EQ(l.wait_stream, -1);
        EXPECT_EQ(l.learning_rate_scale, 1.f);
        release_layer(l);
    }
    {
        Options o({{"filters", "8"}, {"size", "1"}, {"pad", "1"}, {"padding", "3"}, {"dilation", "2"}});
        layer l = parse_quiet(o, params_for(10, 10, 3));
        EXPECT_EQ(l.pad, 0);
        EXPECT_EQ(l.dilation, 1);
        release_layer(l);
    }
    {
        Options o({{"filters", "4"}, {"size", "3"}, {"stride", "2"}, {"stride_x", "1"}, {"padding", "1"}});
        layer l = parse_quiet(o, params_for(10, 10, 3));
        EXPECT_EQ(l.stride_x, 1);
        EXPECT_EQ(l.stride_y, 2);
        EXPECT_EQ(l.pad, 1);
        release_layer(l);
    }
    {
        Options o({{"filters", "64"}, {"size", "3"}, {"groups", "32"}, {"xnor", "1"}, {"batch_normalize", "1"},
                   {"cbn", "1"}, {"assisted_excitation", "4.7"}});
        layer l = parse_quiet(o, params_for(10, 10, 64));
        EXPECT_EQ(l.groups, 1);
        EXPECT_EQ(l.batch_normalize, 2);
        EXPECT_EQ(l.assisted_excitation, 4);
        release_layer(l);
    }
}

TEST(ConvParse, DefaultNoticesAndStrideMarkedUsed)
{
    Options o({{"stride_x", "1"}, {"stride_y", "1"}, {"stride", "3"}});
    std::string err;
    layer l = parse_quiet(o, params_for(5, 5, 2), &err);
    EXPECT_EQ(err.substr(0, err.find("conv")), "filters: Using default '1'\nsize: Using default '1'\n"
                                               "activation: Using default 'logistic'\n");
    EXPECT_EQ(l.stride_x, 1);
    EXPECT_EQ(l.activation, LOGISTIC);
    for (node *n = o.l->front; n; n = n->next) EXPECT_TRUE(((kvp *)n->val)->used) << ((kvp *)n->val)->key;
    release_layer(l);
}

TEST(ConvParse, ShareIndexAbsoluteAndRelative)
{
    std::vector<layer> layers(11);
    const Geometry g = {1, 3, 6, 6, 4, 1, 3, 1, 1, 1, 1};
    testing::internal::CaptureStderr();
    layers[8] = make_plain(g);
    layers[3] = make_plain(g);
    testing::internal::GetCapturedStderr();
    {
        Options o({{"filters", "4"}, {"size", "3"}, {"pad", "1"}, {"share_index", "-2"}});
        layer l = parse_quiet(o, params_for(6, 6, 3, 10, layers.data()));
        EXPECT_EQ(l.share_layer, &layers[8]);
        EXPECT_EQ(l.weights, layers[8].weights);
        release_layer(l);
    }
    {
        Options o({{"filters", "4"}, {"size", "3"}, {"pad", "1"}, {"share_index", "3"}});
        layer l = parse_quiet(o, params_for(6, 6, 3, 10, layers.data()));
        EXPECT_EQ(l.share_layer, &layers[3]);
        release_layer(l);
    }
    release_layer(layers[8]);
    release_layer(layers[3]);
}

TEST(ConvParseDeathTest, ConfigurationErrors)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}});
            parse_convolutional(o.l, params_for(0, 6, 3));
        },
        ::testing::ExitedWithCode(1), "Layer before convolutional layer must output image.");
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}, {"size", "3"}, {"sway", "1"}, {"rotate", "1"}});
            parse_quiet(o, params_for(6, 6, 3));
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}, {"size", "1"}, {"stretch", "1"}});
            parse_quiet(o, params_for(6, 6, 3));
        },
        ::testing::ExitedWithCode(0), "");
    // A share_index outside the layers already built is refused instead of read out of bounds.
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}, {"share_index", "4"}});
            parse_convolutional(o.l, params_for(6, 6, 3, 2, nullptr));
        },
        ::testing::ExitedWithCode(1), "share_index");
}

TEST(ConvParse, DeformMessagesOnStandardOutput)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}, {"size", "3"}, {"sway", "1"}, {"stretch_sway", "1"}});
            dup2(2, 1);
            parse_convolutional(o.l, params_for(6, 6, 3));
        },
        ::testing::ExitedWithCode(0),
        "Error: should be used only 1 param: sway=1, rotate=1 or stretch=1 in the \\[convolutional\\] layer");
    EXPECT_EXIT(
        {
            Options o({{"filters", "4"}, {"size", "1"}, {"rotate", "1"}});
            dup2(2, 1);
            parse_convolutional(o.l, params_for(6, 6, 3));
        },
        ::testing::ExitedWithCode(0),
        "Error: params \\(sway=1, rotate=1 or stretch=1\\) should be used only with size >=3");
}

} // namespace

namespace {

// The packed inference path counts taps outside the image as -1 inputs.
class ConvXnorPacked : public ::testing::TestWithParam<Geometry> {};

TEST_P(ConvXnorPacked, MatchesSignConvolutionWithNegativePadding)
{
    const Geometry g = GetParam();
    testing::internal::CaptureStderr();
    layer l = make_convolutional_layer(g.batch, 1, g.h, g.w, g.c, g.n, 1, g.size, g.stride_x, g.stride_y, 1, g.pad,
                                       LINEAR, 0, 0, 1, 0, 0, 0, 0, nullptr, 0, 0, 0);
    testing::internal::GetCapturedStderr();
    for (int f = 0; f < g.n; ++f) l.biases[f] = random_uniform(-1, 1);
    binary_align_weights(&l);
    ASSERT_NE(l.align_bit_weights, nullptr);
    const int k = g.size * g.size * g.c;
    EXPECT_EQ(l.new_lda, k - k % 256 + 256);

    auto input = random_vector((size_t)g.batch * l.inputs);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    forward_convolutional_layer(l, make_state(input.data(), workspace.data(), nullptr, 0));

    const int p = g.pad;
    for (int b = 0; b < g.batch; ++b)
        for (int f = 0; f < g.n; ++f) {
            float mean = 0;
            for (int i = 0; i < k; ++i) mean += std::fabs(l.weights[f * k + i]);
            mean /= k;
            EXPECT_FLOAT_EQ(l.mean_arr[f], mean);
            for (int y = 0; y < l.out_h; ++y)
                for (int x = 0; x < l.out_w; ++x) {
                    int sum = 0;
                    for (int ch = 0; ch < g.c; ++ch)
                        for (int ki = 0; ki < g.size; ++ki)
                            for (int kj = 0; kj < g.size; ++kj) {
                                const int r = y * g.stride_y - p + ki, s = x * g.stride_x - p + kj;
                                const bool inside = r >= 0 && r < g.h && s >= 0 && s < g.w;
                                const int xs = inside && input[((b * g.c + ch) * g.h + r) * g.w + s] > 0 ? 1 : -1;
                                const int ws = l.weights[((f * g.c + ch) * g.size + ki) * g.size + kj] > 0 ? 1 : -1;
                                sum += xs * ws;
                            }
                    const float expected = sum * mean + l.biases[f];
                    ASSERT_NEAR(l.output[((b * g.n + f) * l.out_h + y) * l.out_w + x], expected, 1e-4)
                        << b << " " << f << " " << y << " " << x;
                }
        }
    release_layer(l);
}

INSTANTIATE_TEST_SUITE_P(Geometries, ConvXnorPacked,
                         ::testing::Values(Geometry{1, 32, 7, 6, 5, 1, 3, 1, 1, 1, 1},
                                           Geometry{2, 64, 6, 6, 3, 1, 3, 2, 2, 1, 1},
                                           Geometry{1, 32, 5, 5, 4, 1, 1, 1, 1, 1, 0},
                                           Geometry{1, 8, 9, 9, 4, 1, 3, 1, 1, 1, 1}));

} // namespace
