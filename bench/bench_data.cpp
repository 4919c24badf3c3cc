// Detection batches loaded per second (decode + augment) through the threaded loader, with one
// and two permanent workers, over 416x416 JPEG images written to a scratch directory; plain decoding
// on one thread is the reference.
#include "data.h"
#include "image.h"

#include <benchmark/benchmark.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Dataset {
    std::string dir;
    std::vector<std::string> names;
    std::vector<char *> paths;

    Dataset()
    {
        char tmpl[] = "/tmp/quillon_bench_data_XXXXXX";
        dir = mkdtemp(tmpl);
        const int w = 416, h = 416, images = 16;
        std::vector<unsigned char> rgb((size_t)w * h * 3);
        for (int k = 0; k < images; ++k) {
            // Smooth gradients with some texture, so the JPEG decoder does realistic work.
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    unsigned char *p = &rgb[((size_t)y * w + x) * 3];
                    p[0] = (unsigned char)(x + 13 * k);
                    p[1] = (unsigned char)(y ^ (x * 3 + k));
                    p[2] = (unsigned char)((x * y) >> 7);
                }
            std::string base = dir + "/img" + std::to_string(k);
            stbi_write_jpg((base + ".jpg").c_str(), w, h, 3, rgb.data(), 90);
            FILE *f = fopen((base + ".txt").c_str(), "w");
            fprintf(f, "0 0.3 0.4 0.2 0.3\n1 0.6 0.6 0.4 0.2\n2 0.5 0.5 0.9 0.9\n");
            fclose(f);
            names.push_back(base + ".jpg");
        }
        for (auto &n : names) paths.push_back(n.data());
    }
    ~Dataset()
    {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str())) {}
    }
};

Dataset &dataset()
{
    static Dataset d;
    return d;
}

void BM_DetectionBatch(benchmark::State &state)
{
    Dataset &ds = dataset();
    const int threads = (int)state.range(0), batch = 16;
    load_args args{};
    args.threads = threads;
    args.paths = ds.paths.data();
    args.m = (int)ds.paths.size();
    args.n = batch;
    args.w = 416;
    args.h = 416;
    args.c = 3;
    args.max_boxes = 90;
    args.truth_size = 6;
    args.classes = 3;
    args.flip = 1;
    args.jitter = 0.3f;
    args.resize = 1.5f;
    args.hue = 0.1f;
    args.saturation = 1.5f;
    args.exposure = 1.5f;
    args.type = LOAD_DETECTION;
    data d{};
    args.d = &d;
    for (auto _ : state) {
        pthread_t t = load_data(args);
        pthread_join(t, nullptr);
        free_data(d);
    }
    free_load_threads(args);
    state.counters["batches/s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["images/s"] = benchmark::Counter((double)state.iterations() * batch, benchmark::Counter::kIsRate);
}

// Reference: decoding the same 16 pictures on the calling thread, without augmentation.
void BM_DecodeOnly(benchmark::State &state)
{
    Dataset &ds = dataset();
    for (auto _ : state)
        for (char *p : ds.paths) free_image(load_image_stb(p, 3));
    state.counters["batches/s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DetectionBatch)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
