// Upsampling replicates every value over a stride x stride block; downsampling (negative cfg
// stride) sums each block of the input, leaving out rows and columns past out * stride.
#include "upsample_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cstdio>
#include <cstdlib>

layer parse_upsample(list *options, size_params params)
{
    const int stride = option_find_int(options, "stride", 2);
    // A zero stride would divide by zero.
    if (stride == 0) quillon_error("[upsample]: stride must not be 0");
    layer l = make_upsample_layer(params.batch, params.w, params.h, params.c, stride);
    l.scale = option_find_float_quiet(options, "scale", 1);
    return l;
}

static void set_upsample_shape(layer &l, int w, int h)
{
    l.w = w;
    l.h = h;
    l.out_w = l.reverse ? w / l.stride : w * l.stride;
    l.out_h = l.reverse ? h / l.stride : h * l.stride;
    l.outputs = l.out_w * l.out_h * l.out_c;
    l.inputs = l.w * l.h * l.c;
}

layer make_upsample_layer(int batch, int w, int h, int c, int stride)
{
    layer l = {};
    l.type = UPSAMPLE;
    l.batch = batch;
    l.c = l.out_c = c;
    if (stride < 0) {
        stride = -stride;
        l.reverse = 1;
    }
    l.stride = stride;
    l.scale = 1;
    set_upsample_shape(l, w, h);
    const size_t count = (size_t)l.outputs * batch;
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.output = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_upsample_layer;
    l.backward = backward_upsample_layer;
    fprintf(stderr,
            l.reverse ? "downsample              %2dx  %4d x%4d x%4d -> %4d x%4d x%4d\n"
                      : "upsample                %2dx  %4d x%4d x%4d -> %4d x%4d x%4d\n",
            stride, w, h, c, l.out_w, l.out_h, l.out_c);
    return l;
}

void resize_upsample_layer(layer *l, int w, int h)
{
    set_upsample_shape(*l, w, h);
    const size_t count = (size_t)l->outputs * l->batch;
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
}

void upsample_cpu(float *in, int w, int h, int c, int batch, int stride, int forward, float scale, float *out)
{
    for (int b = 0; b < batch; ++b) {
        for (int k = 0; k < c; ++k) {
            for (int j = 0; j < h * stride; ++j) {
                for (int i = 0; i < w * stride; ++i) {
                    const size_t in_index = (size_t)b * w * h * c + (size_t)k * w * h + (size_t)(j / stride) * w +
                                            i / stride;
                    const size_t out_index = (size_t)b * w * h * c * stride * stride +
                                             (size_t)k * w * h * stride * stride + (size_t)j * w * stride + i;
                    if (forward) out[out_index] = scale * in[in_index];
                    else in[in_index] += scale * out[out_index];
                }
            }
        }
    }
}

// Downsampling walks the input in its own geometry: when w or h is not a multiple of the stride the
// surplus rows and columns are left out instead of shifting every later row.
static void downsample_forward(const layer &l, const float *input)
{
    const int s = l.stride;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            const float *in = input + (size_t)(b * l.c + k) * l.w * l.h;
            float *out = l.output + (size_t)(b * l.c + k) * l.out_w * l.out_h;
            for (int y = 0; y < l.out_h * s; ++y)
                for (int x = 0; x < l.out_w * s; ++x) out[(y / s) * l.out_w + x / s] += l.scale * in[y * l.w + x];
        }
    }
}

static void downsample_backward(const layer &l, float *delta)
{
    const int s = l.stride;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            float *d = delta + (size_t)(b * l.c + k) * l.w * l.h;
            const float *out = l.delta + (size_t)(b * l.c + k) * l.out_w * l.out_h;
            for (int y = 0; y < l.out_h * s; ++y)
                for (int x = 0; x < l.out_w * s; ++x) d[y * l.w + x] = l.scale * out[(y / s) * l.out_w + x / s];
        }
    }
}

void forward_upsample_layer(layer l, network_state state)
{
    fill_cpu(l.outputs * l.batch, 0, l.output, 1);
    if (l.reverse) downsample_forward(l, state.input);
    else upsample_cpu(state.input, l.w, l.h, l.c, l.batch, l.stride, 1, l.scale, l.output);
}

void backward_upsample_layer(layer l, network_state state)
{
    if (!state.delta) return;
    if (l.reverse) downsample_backward(l, state.delta);
    else upsample_cpu(state.delta, l.w, l.h, l.c, l.batch, l.stride, 0, l.scale, l.delta);
}
