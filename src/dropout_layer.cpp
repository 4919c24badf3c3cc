// The dropout layer owns only the draws of the last training pass; its output and delta are the
// previous layer's (the builder points them there). The CPU pass drops single values; the
// block-shaped variant exists only on the device.
#include "dropout_layer.h"

#include "utils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

layer parse_dropout(list *options, size_params params)
{
    const float probability = option_find_float(options, "probability", .2f);
    const int dropblock = option_find_int_quiet(options, "dropblock", 0);
    float dropblock_size_rel = option_find_float_quiet(options, "dropblock_size_rel", 0);
    int dropblock_size_abs = (int)option_find_float_quiet(options, "dropblock_size_abs", 0);
    if (dropblock_size_abs > params.w || dropblock_size_abs > params.h) {
        printf(" [dropout] - dropblock_size_abs = %d that is bigger than layer size %d x %d \n", dropblock_size_abs,
               params.w, params.h);
        dropblock_size_abs = std::min(params.w, params.h);
    }
    if (dropblock && !dropblock_size_rel && !dropblock_size_abs) {
        printf(" [dropout] - None of the parameters (dropblock_size_rel or dropblock_size_abs) are set, will be used: "
               "dropblock_size_abs = 7 \n");
        dropblock_size_abs = 7;
    }
    if (dropblock_size_rel && dropblock_size_abs) {
        printf(" [dropout] - Both parameters are set, only the parameter will be used: dropblock_size_abs = %d \n",
               dropblock_size_abs);
        dropblock_size_rel = 0;
    }
    return make_dropout_layer(params.batch, params.inputs, probability, dropblock, dropblock_size_rel,
                              dropblock_size_abs, params.w, params.h, params.c);
}

layer make_dropout_layer(int batch, int inputs, float probability, int dropblock, float dropblock_size_rel,
                         int dropblock_size_abs, int w, int h, int c)
{
    layer l = {};
    l.type = DROPOUT;
    l.probability = probability;
    l.dropblock = dropblock;
    l.dropblock_size_rel = dropblock_size_rel;
    l.dropblock_size_abs = dropblock_size_abs;
    if (dropblock && (w <= 0 || h <= 0 || c <= 0)) {
        printf(" Error: DropBlock - there must be positive values for: l.w=%d, l.h=%d, l.c=%d \n", w, h, c);
        exit(0);
    }
    // The shape passes through unchanged, so that a layer after the dropout still sees an image.
    l.w = l.out_w = w;
    l.h = l.out_h = h;
    l.c = l.out_c = c;
    l.inputs = l.outputs = inputs;
    l.batch = batch;
    l.rand = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.scale = (float)(1. / (1. - (double)probability));
    l.forward = forward_dropout_layer;
    l.backward = backward_dropout_layer;
    if (dropblock && dropblock_size_abs)
        fprintf(stderr, "dropblock    p = %.3f   l.dropblock_size_abs = %d    %4d  ->   %4d\n", probability,
                dropblock_size_abs, inputs, inputs);
    else if (dropblock)
        fprintf(stderr, "dropblock    p = %.3f   l.dropblock_size_rel = %.2f    %4d  ->   %4d\n", probability,
                dropblock_size_rel, inputs, inputs);
    else
        fprintf(stderr, "dropout    p = %.3f        %4d  ->   %4d\n", probability, inputs, inputs);
    return l;
}

void resize_dropout_layer(layer *l, int inputs)
{
    l->inputs = l->outputs = inputs;
    l->rand = (float *)xrealloc(l->rand, (size_t)inputs * l->batch * sizeof(float));
}

void forward_dropout_layer(layer l, network_state state)
{
    if (!state.train) return;
    const int count = l.batch * l.inputs;
    for (int i = 0; i < count; ++i) {
        const float r = random_uniform(0, 1);
        l.rand[i] = r;
        if (r < l.probability) state.input[i] = 0;
        else state.input[i] *= l.scale;
    }
}

void backward_dropout_layer(layer l, network_state state)
{
    if (!state.delta) return;
    const int count = l.batch * l.inputs;
    for (int i = 0; i < count; ++i) {
        if (l.probability > l.rand[i]) state.delta[i] = 0;
        else state.delta[i] *= l.scale;
    }
}

void free_dropout_arrays(layer *l)
{
    free(l->rand);
    l->rand = nullptr;
}
