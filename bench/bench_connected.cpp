// Connected-layer speed at recurrent and classifier shapes: a training step (forward and
// backward) of the layer against the same products done by single-threaded OpenBLAS (or by plain
// loops without it), measured in the same run; the summary gives the median-time ratio.
#include "connected_layer.h"
#include "gemm.h"
#include "utils.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#ifdef QUILLON_HAVE_OPENBLAS
#include <cblas.h>
#endif

namespace {

struct shape {
    int batch, inputs, outputs;
};

const shape shapes[] = {{1, 512, 512}, {16, 512, 512}, {64, 1024, 256}, {8, 4096, 1000}};

struct fixture {
    layer l;
    std::vector<float> input, prev_delta;
    explicit fixture(const shape &s)
    {
        l = make_connected_layer(s.batch, 1, s.inputs, s.outputs, LEAKY, 0);
        input.resize((size_t)s.batch * s.inputs);
        prev_delta.resize(input.size());
        for (float &x : input) x = random_uniform(-1, 1);
        for (int i = 0; i < s.batch * s.outputs; ++i) l.delta[i] = random_uniform(-1, 1);
    }
    ~fixture() { free_layer(l); }
};

void bench_layer(benchmark::State &state, shape s)
{
    fixture f(s);
    network_state st = {};
    st.input = f.input.data();
    st.delta = f.prev_delta.data();
    st.train = 1;
    for (auto _ : state) {
        forward_connected_layer(f.l, st);
        backward_connected_layer(f.l, st);
        benchmark::ClobberMemory();
    }
}

// The same three products (output, weight gradient, input gradient) and elementwise work.
void bench_reference(benchmark::State &state, shape s)
{
    fixture f(s);
    layer &l = f.l;
    const float *in = f.input.data();
    float *prev = f.prev_delta.data();
    for (auto _ : state) {
#ifdef QUILLON_HAVE_OPENBLAS
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, s.batch, s.outputs, s.inputs, 1, in, s.inputs, l.weights,
                    s.inputs, 0, l.output, s.outputs);
        cblas_sgemm(CblasRowMajor, CblasTrans, CblasNoTrans, s.outputs, s.inputs, s.batch, 1, l.delta, s.outputs, in,
                    s.inputs, 1, l.weight_updates, s.inputs);
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s.batch, s.inputs, s.outputs, 1, l.delta, s.outputs,
                    l.weights, s.inputs, 1, prev, s.inputs);
#else
        for (int b = 0; b < s.batch; ++b)
            for (int o = 0; o < s.outputs; ++o) {
                float sum = 0;
                for (int i = 0; i < s.inputs; ++i) sum += in[b * s.inputs + i] * l.weights[(size_t)o * s.inputs + i];
                l.output[b * s.outputs + o] = sum;
            }
        for (int b = 0; b < s.batch; ++b)
            for (int o = 0; o < s.outputs; ++o) {
                const float d = l.delta[b * s.outputs + o];
                for (int i = 0; i < s.inputs; ++i) {
                    l.weight_updates[(size_t)o * s.inputs + i] += d * in[b * s.inputs + i];
                    prev[b * s.inputs + i] += d * l.weights[(size_t)o * s.inputs + i];
                }
            }
#endif
        for (int i = 0; i < s.batch * s.outputs; ++i) {
            l.output[i] = l.output[i] > 0 ? l.output[i] : 0.1f * l.output[i];
            l.bias_updates[i % s.outputs] += l.delta[i];
        }
        benchmark::ClobberMemory();
    }
}

class summary_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                seconds[run.run_name.function_name] = run.cpu_accumulated_time / (double)run.iterations;
            else if (run.run_type == Run::RT_Iteration && !seconds.count(run.run_name.function_name))
                seconds[run.run_name.function_name] = run.cpu_accumulated_time / (double)run.iterations;
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string name(const char *what, const shape &s)
{
    char buf[96];
    snprintf(buf, sizeof buf, "connected/%s/B%d_I%d_O%d", what, s.batch, s.inputs, s.outputs);
    return buf;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef QUILLON_HAVE_OPENBLAS
    openblas_set_num_threads(1);
    const char *reference = "openblas";
#else
    const char *reference = "plain";
#endif
    for (const shape &s : shapes) {
        benchmark::RegisterBenchmark(name("layer", s).c_str(), bench_layer, s)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(name(reference, s).c_str(), bench_reference, s)->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printf("\nTraining step speed as a ratio to %s (median processor time of %s / that of the layer):\n", reference,
           reference);
    for (const shape &s : shapes) {
        const auto a = reporter.seconds.find(name("layer", s)), b = reporter.seconds.find(name(reference, s));
        if (a == reporter.seconds.end() || b == reporter.seconds.end()) continue;
        printf("B%-4d I%-5d O%-5d %8.3f\n", s.batch, s.inputs, s.outputs, b->second / a->second);
    }
    benchmark::Shutdown();
    return 0;
}
