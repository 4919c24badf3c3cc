// Forward pass of a detector-shaped network (cfg/bench_detector.cfg) against the matrix products
// that dominate it: the same run times every convolution's products as the forward pass runs them,
// and the forward rate is reported as a ratio to that GEMM rate. A counting allocator checks that the
// forward pass allocates nothing.
#include "convolutional_layer.h"
#include "gemm.h"
#include "network.h"
#include "parser.h"
#include "utils.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

static std::atomic<long> allocations{0};
static bool counting = false;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QUILLON_COUNT_MALLOC 1
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t size)
{
    if (counting) ++allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t n, size_t size)
{
    if (counting) ++allocations;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t size)
{
    if (counting) ++allocations;
    return __libc_realloc(p, size);
}
#endif
// operator new reaches the counted malloc; it counts on its own only where malloc is not replaced.
void *operator new(size_t size)
{
#ifndef QUILLON_COUNT_MALLOC
    if (counting) ++allocations;
#endif
    void *p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

namespace {

const char *cfg_path = QUILLON_SOURCE_DIR "/cfg/bench_detector.cfg";

struct bench_net {
    network net;
    std::vector<float> input;
    double bflops = 0;
};

bench_net &detector()
{
    static bench_net b = [] {
        bench_net r;
        fflush(stdout);
        r.net = parse_network_cfg_custom(cfg_path, 1, 1);
        // As a detector runs it: batch normalisation folded into the convolutions.
        fuse_conv_batchnorm(r.net);
        r.input.resize((size_t)r.net.layers[0].inputs);
        for (float &v : r.input) v = random_uniform(0, 1);
        for (int i = 0; i < r.net.n; ++i)
            if (r.net.layers[i].bflops > 0) r.bflops += r.net.layers[i].bflops;
        return r;
    }();
    return b;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Thread CPU time: both measurements are single-threaded, and on a shared machine wall time mostly
// measures the other tenants.
double thread_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double seconds_of(auto &&f)
{
    const double t0 = thread_seconds();
    f();
    return thread_seconds() - t0;
}

double forward_median_s = 0, gemm_median_s = 0;
long forward_allocations = -1;

void BM_NetworkForward(benchmark::State &state)
{
    bench_net &b = detector();
    network_predict(b.net, b.input.data());
    std::vector<double> times;
    for (auto _ : state) {
        allocations = 0;
        counting = true;
        const double t = seconds_of([&] { benchmark::DoNotOptimize(network_predict(b.net, b.input.data())); });
        counting = false;
        forward_allocations = std::max(forward_allocations, allocations.load());
        times.push_back(t);
        state.SetIterationTime(t);
    }
    forward_median_s = median(times);
    state.counters["ms_per_image"] = forward_median_s * 1e3;
    state.counters["GFLOPS"] = b.bflops / forward_median_s;
    state.counters["allocations"] = (double)forward_allocations;
}

// The products of every convolution of the network, as its forward pass runs them: per group and
// band of columns, storing into the output.
void BM_GemmOfTheConvolutions(benchmark::State &state)
{
    bench_net &b = detector();
    struct shape {
        int m, n, k, groups, band;
    };
    std::vector<shape> shapes;
    size_t largest = 0;
    for (int i = 0; i < b.net.n; ++i) {
        const layer &l = b.net.layers[i];
        if (l.type != CONVOLUTIONAL) continue;
        const shape s = {l.n / l.groups, l.out_h * l.out_w, l.size * l.size * l.c / l.groups, l.groups,
                         convolutional_band_columns(l)};
        shapes.push_back(s);
        largest = std::max(largest, (size_t)s.m * s.k + (size_t)s.k * s.n + (size_t)s.m * s.n);
    }
    std::vector<float> buffer(largest);
    for (float &v : buffer) v = random_uniform(-1, 1);
    std::vector<double> times;
    for (auto _ : state) {
        const double t = seconds_of([&] {
            for (const shape &s : shapes) {
                float *a = buffer.data(), *bm = a + (size_t)s.m * s.k, *c = bm + (size_t)s.k * s.n;
                for (int g = 0; g < s.groups; ++g)
                    for (int begin = 0; begin < s.n; begin += s.band) {
                        const int width = std::min(s.band, s.n - begin);
                        gemm_cpu_overwrite(0, 0, s.m, width, s.k, 1, a, s.k, bm + (size_t)s.k * begin, width,
                                           c + begin, s.n);
                    }
            }
        });
        times.push_back(t);
        state.SetIterationTime(t);
    }
    gemm_median_s = median(times);
    state.counters["GFLOPS"] = b.bflops / gemm_median_s;
}

} // namespace

BENCHMARK(BM_NetworkForward)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GemmOfTheConvolutions)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (argc > 1) cfg_path = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    if (forward_median_s > 0 && gemm_median_s > 0) {
        const double bflops = detector().bflops;
        printf("network forward: %.1f ms per image, %.2f GFLOP/s (%.3f BFLOPs); convolution GEMMs: %.2f GFLOP/s; "
               "ratio %.3f; allocations during forward: %ld\n",
               forward_median_s * 1e3, bflops / forward_median_s, bflops, bflops / gemm_median_s,
               gemm_median_s / forward_median_s, forward_allocations);
    }
    benchmark::Shutdown();
    return 0;
}
