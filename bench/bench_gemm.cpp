// Matrix product speed on convolution shapes (M filters × K = channels·kernel² × N output pixels),
// for each path of gemm_cpu and, when available, single-threaded OpenBLAS on the same data; the
// summary gives each path's median time as a ratio to OpenBLAS measured in the same run.
#include "gemm.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifdef QUILLON_HAVE_OPENBLAS
#include <cblas.h>
#endif

namespace {

struct shape {
    int M, K, N;
    const char *what;
};

const shape shapes[] = {
    {16, 27, 208 * 208, "3x3x3 -> 16 at 208x208"},      {32, 144, 104 * 104, "3x3x16 -> 32 at 104x104"},
    {64, 288, 52 * 52, "3x3x32 -> 64 at 52x52"},         {128, 64, 52 * 52, "1x1x64 -> 128 at 52x52"},
    {128, 576, 26 * 26, "3x3x64 -> 128 at 26x26"},       {256, 1152, 13 * 13, "3x3x128 -> 256 at 13x13"},
    {512, 4608, 13 * 13, "3x3x512 -> 512 at 13x13"},     {255, 512, 26 * 26, "1x1x512 -> 255 at 26x26"},
};

enum runner { QUILLON_AUTO, QUILLON_AVX2, QUILLON_PLAIN, OPENBLAS };
const char *runner_names[] = {"quillon_auto", "quillon_avx2", "quillon_plain", "openblas"};

struct operands {
    std::vector<float> A, B, C;
    explicit operands(const shape &s) : A((size_t)s.M * s.K), B((size_t)s.K * s.N), C((size_t)s.M * s.N)
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> d(-1, 1);
        for (float &x : A) x = d(rng);
        for (float &x : B) x = d(rng);
    }
};

void bench_product(benchmark::State &state, const shape &s, runner r)
{
    operands op(s);
    GEMM_PATH previous = gemm_select_path(r == QUILLON_AVX2 ? GEMM_PATH_AVX2
                                          : r == QUILLON_PLAIN ? GEMM_PATH_PLAIN
                                                               : GEMM_PATH_AUTO);
    for (auto _ : state) {
#ifdef QUILLON_HAVE_OPENBLAS
        if (r == OPENBLAS) {
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s.M, s.N, s.K, 1.0f, op.A.data(), s.K,
                        op.B.data(), s.N, 1.0f, op.C.data(), s.N);
            benchmark::ClobberMemory();
            continue;
        }
#endif
        gemm_cpu(0, 0, s.M, s.N, s.K, 1.0f, op.A.data(), s.K, op.B.data(), s.N, 1.0f, op.C.data(), s.N);
        benchmark::ClobberMemory();
    }
    gemm_select_path(previous);
    state.counters["GFLOP/s"] =
        benchmark::Counter(2.0 * s.M * s.N * s.K / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}

// Keeps the median of each benchmark's repetitions for the ratio summary. Processor time, not wall
// time: on a shared machine the wall clock mostly measures the other tenants.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds_per_iteration;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                seconds_per_iteration[run.run_name.function_name] =
                    run.cpu_accumulated_time / (double)run.iterations;
            else if (run.run_type == Run::RT_Iteration && !seconds_per_iteration.count(run.run_name.function_name))
                seconds_per_iteration[run.run_name.function_name] =
                    run.cpu_accumulated_time / (double)run.iterations;
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string bench_name(int i, runner r)
{
    char name[128];
    snprintf(name, sizeof name, "gemm/%s/M%d_K%d_N%d", runner_names[r], shapes[i].M, shapes[i].K, shapes[i].N);
    return name;
}

} // namespace

int main(int argc, char **argv)
{
    init_cpu();
#ifdef QUILLON_HAVE_OPENBLAS
    openblas_set_num_threads(1);
    printf("OpenBLAS core: %s\n", openblas_get_corename());
#endif
    const GEMM_PATH auto_path = gemm_auto_path();
    printf("gemm_cpu automatic path: %s\n", auto_path == GEMM_PATH_AVX512 ? "AVX-512"
                                            : auto_path == GEMM_PATH_AVX2 ? "AVX2/FMA"
                                                                          : "plain");
    std::vector<runner> runners = {QUILLON_AUTO};
    if (auto_path != GEMM_PATH_AVX2 && gemm_path_available(GEMM_PATH_AVX2)) runners.push_back(QUILLON_AVX2);
#ifdef QUILLON_HAVE_OPENBLAS
    runners.push_back(OPENBLAS);
#endif
    const int count = (int)(sizeof shapes / sizeof shapes[0]);
    for (int i = 0; i < count; ++i)
        for (runner r : runners)
            benchmark::RegisterBenchmark(bench_name(i, r).c_str(), bench_product, shapes[i], r)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2);
    benchmark::Initialize(&argc, argv);
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

#ifdef QUILLON_HAVE_OPENBLAS
    printf("\nRatio of speed to OpenBLAS (median processor time of OpenBLAS / that of the path):\n");
    printf("%-28s %-22s", "shape", "");
    for (runner r : runners)
        if (r != OPENBLAS) printf(" %14s", runner_names[r]);
    printf("\n");
    std::map<runner, std::vector<double>> ratios;
    for (int i = 0; i < count; ++i) {
        const auto blas = reporter.seconds_per_iteration.find(bench_name(i, OPENBLAS));
        if (blas == reporter.seconds_per_iteration.end()) continue;
        char dims[64];
        snprintf(dims, sizeof dims, "M%d K%d N%d", shapes[i].M, shapes[i].K, shapes[i].N);
        printf("%-28s %-22s", shapes[i].what, dims);
        for (runner r : runners) {
            if (r == OPENBLAS) continue;
            const auto t = reporter.seconds_per_iteration.find(bench_name(i, r));
            if (t == reporter.seconds_per_iteration.end()) {
                printf(" %14s", "-");
                continue;
            }
            const double ratio = blas->second / t->second;
            ratios[r].push_back(ratio);
            printf(" %14.3f", ratio);
        }
        printf("\n");
    }
    printf("%-51s", "median over shapes");
    for (runner r : runners) {
        if (r == OPENBLAS || ratios[r].empty()) continue;
        std::vector<double> v = ratios[r];
        std::sort(v.begin(), v.end());
        const size_t h = v.size() / 2;
        printf(" %14.3f", v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2);
    }
    printf("\n");
#endif
    benchmark::Shutdown();
    return 0;
}
