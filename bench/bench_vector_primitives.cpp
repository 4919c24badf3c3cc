// Hot vector primitives against plain one-element-per-iteration loops in the same run: scaled
// add, per-channel bias, normalisation, the unweighted shortcut sum and the LEAKY activation.
#include <benchmark/benchmark.h>

#include <vector>

#include "activation_functions.h"
#include "vector_primitives.h"

namespace {

constexpr int kChannels = 64;
constexpr int kSpatial = 52 * 52;
constexpr int kSize = kChannels * kSpatial;

// Kept out of line so the plain loops are compiled as written, without knowledge of the data.
__attribute__((noinline)) void plain_axpy(int n, float a, const float *x, float *y)
{
    for (int i = 0; i < n; ++i) y[i] += a * x[i];
}

__attribute__((noinline)) void plain_add_bias(float *out, const float *biases, int n, int size)
{
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < size; ++j) out[i * size + j] += biases[i];
}

__attribute__((noinline)) void plain_leaky(float *x, int n)
{
    for (int i = 0; i < n; ++i) x[i] = x[i] > 0 ? x[i] : .1f * x[i];
}

void BM_axpy_cpu(benchmark::State &state)
{
    std::vector<float> x(kSize, 1.f), y(kSize, 0.f);
    for (auto _ : state) {
        axpy_cpu(kSize, 1e-6f, x.data(), 1, y.data(), 1);
        benchmark::DoNotOptimize(y.data());
    }
}

void BM_axpy_plain(benchmark::State &state)
{
    std::vector<float> x(kSize, 1.f), y(kSize, 0.f);
    for (auto _ : state) {
        plain_axpy(kSize, 1e-6f, x.data(), y.data());
        benchmark::DoNotOptimize(y.data());
    }
}

void BM_add_bias(benchmark::State &state)
{
    std::vector<float> out(kSize, 0.f), biases(kChannels, 1e-6f);
    for (auto _ : state) {
        add_bias(out.data(), biases.data(), 1, kChannels, kSpatial);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_add_bias_plain(benchmark::State &state)
{
    std::vector<float> out(kSize, 0.f), biases(kChannels, 1e-6f);
    for (auto _ : state) {
        plain_add_bias(out.data(), biases.data(), kChannels, kSpatial);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_leaky_activate_array(benchmark::State &state)
{
    std::vector<float> x(kSize);
    for (int i = 0; i < kSize; ++i) x[i] = (i % 7) - 3.f;
    for (auto _ : state) {
        activate_array(x.data(), kSize, LEAKY);
        benchmark::DoNotOptimize(x.data());
    }
}

void BM_leaky_cpu_custom(benchmark::State &state)
{
    std::vector<float> x(kSize);
    for (int i = 0; i < kSize; ++i) x[i] = (i % 7) - 3.f;
    for (auto _ : state) {
        activate_array_cpu_custom(x.data(), kSize, LEAKY);
        benchmark::DoNotOptimize(x.data());
    }
}

void BM_leaky_plain(benchmark::State &state)
{
    std::vector<float> x(kSize);
    for (int i = 0; i < kSize; ++i) x[i] = (i % 7) - 3.f;
    for (auto _ : state) {
        plain_leaky(x.data(), kSize);
        benchmark::DoNotOptimize(x.data());
    }
}

void BM_shortcut_unweighted(benchmark::State &state)
{
    std::vector<float> in(kSize, 1.f), other(kSize, 2.f), out(kSize);
    float *layers[] = {other.data()};
    const int outputs_of_layers[] = {kSize};
    for (auto _ : state) {
        shortcut_multilayer_cpu(kSize, kSize, 1, outputs_of_layers, layers, out.data(), in.data(), nullptr, 0,
                                NO_NORMALIZATION);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_normalize_cpu(benchmark::State &state)
{
    std::vector<float> x(kSize, 1.f), mean(kChannels, 0.f), variance(kChannels, 1.f);
    for (auto _ : state) {
        normalize_cpu(x.data(), mean.data(), variance.data(), 1, kChannels, kSpatial);
        benchmark::DoNotOptimize(x.data());
    }
}

} // namespace

BENCHMARK(BM_axpy_cpu);
BENCHMARK(BM_axpy_plain);
BENCHMARK(BM_add_bias);
BENCHMARK(BM_add_bias_plain);
BENCHMARK(BM_leaky_activate_array);
BENCHMARK(BM_leaky_cpu_custom);
BENCHMARK(BM_leaky_plain);
BENCHMARK(BM_shortcut_unweighted);
BENCHMARK(BM_normalize_cpu);
BENCHMARK_MAIN();
