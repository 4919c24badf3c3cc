// Convolution layers of the shapes a 416 x 416 detector runs: the layer's forward pass (and a
// training forward + backward) next to the bare matrix product of the same shape, so the cost
// of unfolding, normalisation and activation shows as the gap between the two GFLOP/s figures.
#include "convolutional_layer.h"
#include "gemm.h"
#include "layer.h"
#include "utils.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Shape {
    int hw, c, n, size, stride, groups;
};

const Shape shapes[] = {
    {416, 16, 32, 3, 2, 1},   // early strided 3x3
    {208, 32, 64, 3, 1, 1},   // 3x3
    {52, 128, 256, 3, 1, 1},  // 3x3, mid network
    {26, 256, 512, 3, 1, 1},  // 3x3, deep
    {26, 256, 512, 3, 2, 1},  // strided 3x3, deep
    {52, 256, 128, 1, 1, 1},  // 1x1
    {26, 512, 256, 1, 1, 1},  // 1x1
    {104, 64, 64, 3, 1, 32},  // grouped 3x3
};

layer make_bench_layer(const Shape &s, int train)
{
    // The constructor's table row would interleave with the benchmark report.
    fflush(stderr);
    FILE *keep = stderr;
    stderr = fopen("/dev/null", "w");
    layer l = make_convolutional_layer(1, 1, s.hw, s.hw, s.c, s.n, s.groups, s.size, s.stride, s.stride, 1,
                                       s.size / 2, LEAKY, 1, 0, 0, 0, 0, 0, 0, nullptr, 0, 0, train);
    fclose(stderr);
    stderr = keep;
    for (int f = 0; f < s.n; ++f) l.rolling_variance[f] = 1;
    return l;
}

void release(layer &l)
{
    free_layer(l);
}

double layer_flops(const layer &l)
{
    return 2.0 * l.nweights * l.out_h * l.out_w;
}

void label(benchmark::State &state, const Shape &s)
{
    char text[96];
    snprintf(text, sizeof text, "%dx%dx%d -> %d %dx%d/%d g%d", s.hw, s.hw, s.c, s.n, s.size, s.size, s.stride,
             s.groups);
    state.SetLabel(text);
}

void BM_conv_forward(benchmark::State &state)
{
    const Shape &s = shapes[state.range(0)];
    layer l = make_bench_layer(s, 0);
    std::vector<float> input(l.inputs), workspace(l.workspace_size / sizeof(float) + 1);
    for (auto &v : input) v = random_uniform(-1, 1);
    network_state ns = {};
    ns.input = input.data();
    ns.workspace = workspace.data();
    for (auto _ : state) {
        forward_convolutional_layer(l, ns);
        benchmark::DoNotOptimize(l.output[0]);
    }
    state.counters["GFLOP/s"] = benchmark::Counter(layer_flops(l) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
    label(state, s);
    release(l);
}

// The products alone, as the forward pass runs them: one per group and band of columns, each band's
// column matrix already in place.
void BM_conv_gemm_only(benchmark::State &state)
{
    const Shape &s = shapes[state.range(0)];
    layer l = make_bench_layer(s, 0);
    const int m = l.n / l.groups, k = l.size * l.size * l.c / l.groups, N = l.out_h * l.out_w;
    const int band = convolutional_band_columns(l);
    std::vector<float> columns((size_t)k * N);
    for (auto &v : columns) v = random_uniform(-1, 1);
    for (auto _ : state) {
        for (int j = 0; j < l.groups; ++j)
            for (int begin = 0; begin < N; begin += band) {
                const int width = std::min(band, N - begin);
                gemm_cpu_overwrite(0, 0, m, width, k, 1, l.weights + j * l.nweights / l.groups, k,
                                   columns.data() + (size_t)k * begin, width, l.output + (size_t)j * m * N + begin,
                                   N);
            }
        benchmark::DoNotOptimize(l.output[0]);
    }
    state.counters["GFLOP/s"] = benchmark::Counter(layer_flops(l) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
    label(state, s);
    release(l);
}

// Training step of one layer: forward with batch statistics, backward with the input gradient.
// Three products per pass, so the rate counts three times the forward operations.
void BM_conv_train(benchmark::State &state)
{
    const Shape &s = shapes[state.range(0)];
    layer l = make_bench_layer(s, 1);
    std::vector<float> input((size_t)2 * l.inputs), input_delta(input.size()),
        workspace(l.workspace_size / sizeof(float) + 1);
    for (auto &v : input) v = random_uniform(-1, 1);
    network_state ns = {};
    ns.input = input.data();
    ns.workspace = workspace.data();
    ns.train = 1;
    for (auto _ : state) {
        forward_convolutional_layer(l, ns);
        for (int i = 0; i < l.outputs * l.batch; ++i) l.delta[i] = 0.01f;
        ns.delta = input_delta.data();
        backward_convolutional_layer(l, ns);
        ns.delta = nullptr;
        benchmark::DoNotOptimize(input_delta[0]);
    }
    state.counters["GFLOP/s"] =
        benchmark::Counter(3 * layer_flops(l) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
    label(state, s);
    release(l);
}

void all_shapes(benchmark::internal::Benchmark *b)
{
    for (int i = 0; i < (int)(sizeof shapes / sizeof shapes[0]); ++i) b->Arg(i);
    b->Unit(benchmark::kMillisecond)->MinTime(0.2);
}

void train_shapes(benchmark::internal::Benchmark *b)
{
    b->Arg(1)->Arg(3)->Arg(5)->Unit(benchmark::kMillisecond)->MinTime(0.2);
}

BENCHMARK(BM_conv_forward)->Apply(all_shapes);
BENCHMARK(BM_conv_gemm_only)->Apply(all_shapes);
BENCHMARK(BM_conv_train)->Apply(train_shapes);

} // namespace

BENCHMARK_MAIN();
