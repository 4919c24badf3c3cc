// "[reorg3d]": the usual space-to-depth move (output channel offset * c + c2 holds input pixel
// (x * stride + offset mod stride, y * stride + offset / stride) of channel c2), or its reverse.
// The permutation runs over the output geometry.
#include "reorg_layer.h"

#include "utils.h"

#include <cstdio>

void reorg_cpu(const float *x, int w, int h, int c, int batch, int stride, int forward, float *out)
{
    const int out_c = c / (stride * stride);
    for (int b = 0; b < batch; ++b) {
        for (int k = 0; k < c; ++k) {
            for (int j = 0; j < h; ++j) {
                for (int i = 0; i < w; ++i) {
                    const size_t in_index = i + (size_t)w * (j + (size_t)h * (k + (size_t)c * b));
                    const int c2 = k % out_c;
                    const int offset = k / out_c;
                    const int w2 = i * stride + offset % stride;
                    const int h2 = j * stride + offset / stride;
                    const size_t out_index =
                        w2 + (size_t)w * stride * (h2 + (size_t)h * stride * (c2 + (size_t)out_c * b));
                    if (forward) out[out_index] = x[in_index];
                    else out[in_index] = x[out_index];
                }
            }
        }
    }
}

void check_reorg_channels(const char *section, int c, int stride)
{
    char message[160];
    if (stride < 1) {
        snprintf(message, sizeof message, "%s: stride must be 1 or more", section);
        quillon_error(message);
    }
    // The permutation splits c into stride * stride groups; any other count divides by zero or
    // reads past the input.
    if (c % (stride * stride)) {
        snprintf(message, sizeof message, "%s: %d channels cannot be split into %d x %d groups", section, c, stride,
                 stride);
        quillon_error(message);
    }
}

layer parse_reorg(list *options, size_params params)
{
    const int stride = option_find_int(options, "stride", 1);
    const int reverse = option_find_int_quiet(options, "reverse", 0);
    if (!params.h || !params.w || !params.c) quillon_error("Layer before reorg layer must output image.");
    if (!reverse) check_reorg_channels("[reorg3d]", params.c * stride * stride, stride);
    // The permutation runs over the output channels, which a reversed layer splits once more.
    if (reverse) {
        check_reorg_channels("[reorg3d]", params.c, stride);
        check_reorg_channels("[reorg3d]", params.c / (stride * stride), stride);
    }
    return make_reorg_layer(params.batch, params.w, params.h, params.c, stride, reverse);
}

void reorg_shape(layer &l, int w, int h)
{
    const int s = l.stride;
    l.w = w;
    l.h = h;
    if (l.reverse) {
        l.out_w = w * s;
        l.out_h = h * s;
        l.out_c = l.c / (s * s);
    } else {
        l.out_w = w / s;
        l.out_h = h / s;
        l.out_c = l.c * s * s;
    }
    l.outputs = l.out_h * l.out_w * l.out_c;
    l.inputs = h * w * l.c;
}

layer make_reorg_layer(int batch, int w, int h, int c, int stride, int reverse)
{
    layer l = {};
    l.type = REORG;
    l.batch = batch;
    l.stride = stride;
    l.reverse = reverse;
    l.c = c;
    reorg_shape(l, w, h);
    fprintf(stderr, "reorg                    /%2d %4d x%4d x%4d -> %4d x%4d x%4d\n", stride, w, h, c, l.out_w,
            l.out_h, l.out_c);
    const size_t count = (size_t)l.outputs * batch;
    l.output = (float *)xcalloc(count, sizeof(float));
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_reorg_layer;
    l.backward = backward_reorg_layer;
    return l;
}

void resize_reorg_layer(layer *l, int w, int h)
{
    reorg_shape(*l, w, h);
    const size_t count = (size_t)l->outputs * l->batch;
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
}

void forward_reorg_layer(layer l, network_state state)
{
    reorg_cpu(state.input, l.out_w, l.out_h, l.out_c, l.batch, l.stride, l.reverse ? 1 : 0, l.output);
}

void backward_reorg_layer(layer l, network_state state)
{
    if (!state.delta) return;
    reorg_cpu(l.delta, l.out_w, l.out_h, l.out_c, l.batch, l.stride, l.reverse ? 0 : 1, state.delta);
}
