// Global average pooling: channel k of image b becomes the mean of its h x w values; the
// gradient spreads back evenly.
#include "avgpool_layer.h"

#include "utils.h"

#include <cstdio>

layer parse_avgpool(list *options, size_params params)
{
    if (!params.h || !params.w || !params.c) quillon_error("Layer before avgpool layer must output image.");
    return make_avgpool_layer(params.batch, params.w, params.h, params.c);
}

layer make_avgpool_layer(int batch, int w, int h, int c)
{
    fprintf(stderr, "avg                          %4d x%4d x%4d ->   %4d\n", w, h, c, c);
    layer l = {};
    l.type = AVGPOOL;
    l.batch = batch;
    l.h = h;
    l.w = w;
    l.c = c;
    l.out_w = 1;
    l.out_h = 1;
    l.out_c = c;
    l.outputs = c;
    l.inputs = h * w * c;
    const size_t count = (size_t)l.outputs * batch;
    l.output = (float *)xcalloc(count, sizeof(float));
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_avgpool_layer;
    l.backward = backward_avgpool_layer;
    return l;
}

void resize_avgpool_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    l->inputs = h * w * l->c;
}

void forward_avgpool_layer(layer l, network_state state)
{
    const int spatial = l.h * l.w;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            const int out_index = k + b * l.c;
            const float *in = state.input + (size_t)spatial * out_index;
            float sum = 0;
            for (int i = 0; i < spatial; ++i) sum += in[i];
            l.output[out_index] = sum / spatial;
        }
    }
}

void backward_avgpool_layer(layer l, network_state state)
{
    if (!state.delta) return;
    const int spatial = l.h * l.w;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            const int out_index = k + b * l.c;
            float *d = state.delta + (size_t)spatial * out_index;
            for (int i = 0; i < spatial; ++i) d[i] += l.delta[out_index] / spatial;
        }
    }
}
