// Resize and letterbox on the detection input path (a 1280 x 720 frame into a 416 x 416 network),
// against the same arithmetic written one pixel at a time through accessor calls.
#include "image.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

image frame()
{
    image im = make_image(1280, 720, 3);
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> dist(0, 1);
    for (int i = 0; i < im.w * im.h * im.c; ++i) im.data[i] = dist(gen);
    return im;
}

__attribute__((noinline)) float get_pixel(image m, int x, int y, int c)
{
    return m.data[c * m.h * m.w + y * m.w + x];
}

__attribute__((noinline)) void set_pixel(image m, int x, int y, int c, float val)
{
    if (x < 0 || y < 0 || c < 0 || x >= m.w || y >= m.h || c >= m.c) return;
    m.data[c * m.h * m.w + y * m.w + x] = val;
}

__attribute__((noinline)) void add_pixel(image m, int x, int y, int c, float val)
{
    m.data[c * m.h * m.w + y * m.w + x] += val;
}

image reference_resize(image im, int w, int h)
{
    image resized = make_image(w, h, im.c);
    image part = make_image(w, im.h, im.c);
    float w_scale = (float)(im.w - 1) / (w - 1);
    float h_scale = (float)(im.h - 1) / (h - 1);
    for (int k = 0; k < im.c; ++k)
        for (int r = 0; r < im.h; ++r)
            for (int c = 0; c < w; ++c) {
                float val;
                if (c == w - 1 || im.w == 1) {
                    val = get_pixel(im, im.w - 1, r, k);
                } else {
                    float sx = c * w_scale;
                    int ix = (int)sx;
                    float dx = sx - ix;
                    val = (1 - dx) * get_pixel(im, ix, r, k) + dx * get_pixel(im, ix + 1, r, k);
                }
                set_pixel(part, c, r, k, val);
            }
    for (int k = 0; k < im.c; ++k)
        for (int r = 0; r < h; ++r) {
            float sy = r * h_scale;
            int iy = (int)sy;
            float dy = sy - iy;
            for (int c = 0; c < w; ++c) set_pixel(resized, c, r, k, (1 - dy) * get_pixel(part, c, iy, k));
            if (r == h - 1 || im.h == 1) continue;
            for (int c = 0; c < w; ++c) add_pixel(resized, c, r, k, dy * get_pixel(part, c, iy + 1, k));
        }
    free_image(part);
    return resized;
}

void BM_resize_reference(benchmark::State &state)
{
    image im = frame();
    for (auto _ : state) {
        image out = reference_resize(im, 416, 234);
        benchmark::DoNotOptimize(out.data);
        free_image(out);
    }
    free_image(im);
}

void BM_resize_image(benchmark::State &state)
{
    image im = frame();
    for (auto _ : state) {
        image out = resize_image(im, 416, 234);
        benchmark::DoNotOptimize(out.data);
        free_image(out);
    }
    free_image(im);
}

void BM_letterbox_image(benchmark::State &state)
{
    image im = frame();
    for (auto _ : state) {
        image out = letterbox_image(im, 416, 416);
        benchmark::DoNotOptimize(out.data);
        free_image(out);
    }
    free_image(im);
}

}  // namespace

BENCHMARK(BM_resize_reference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_resize_image)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_letterbox_image)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
