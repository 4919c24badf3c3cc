// The spatial attention product: out = input * source, element by element. Its backward pass
// replaces the source layer's delta instead of adding to it.
#include "sam_layer.h"

#include "activation_functions.h"
#include "scale_channels_layer.h"
#include "utils.h"

#include <cstdio>

layer parse_sam(list *options, size_params params, network net)
{
    const int index = read_source_layer(options, params, "[sam]");
    const layer &from = net.layers[index];
    // The product pairs value i of both layers; a different count would read past one of them.
    if (params.w * params.h * params.c != from.outputs) {
        char message[240];
        snprintf(message, sizeof message, "[sam] layer %d: input %d x %d x %d does not match layer %d of %d x %d x %d",
                 params.index, params.w, params.h, params.c, index, from.out_w, from.out_h, from.out_c);
        quillon_error(message);
    }
    layer l = make_sam_layer(params.batch, index, params.w, params.h, params.c, from.out_w, from.out_h, from.out_c);
    l.activation = activation_from_string(option_find_str_quiet(options, "activation", "linear"));
    if (l.activation == SWISH || l.activation == MISH)
        printf(" [sam] layer doesn't support SWISH or MISH activations \n");
    return l;
}

layer make_sam_layer(int batch, int index, int w, int h, int c, int out_w, int out_h, int out_c)
{
    layer l = {};
    l.type = SAM;
    l.batch = batch;
    l.w = w;
    l.h = h;
    l.c = c;
    l.out_w = out_w;
    l.out_h = out_h;
    l.out_c = out_c;
    l.outputs = l.inputs = out_w * out_h * out_c;
    l.index = index;
    const size_t count = (size_t)l.outputs * batch;
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.output = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_sam_layer;
    l.backward = backward_sam_layer;
    fprintf(stderr, "scale Layer: %d\n", index);
    return l;
}

void resize_sam_layer(layer *l, int w, int h)
{
    l->out_w = w;
    l->out_h = h;
    l->outputs = l->inputs = w * h * l->out_c;
    const size_t count = (size_t)l->outputs * l->batch;
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
}

void forward_sam_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    const float *source = state.net.layers[l.index].output;
    for (int i = 0; i < count; ++i) l.output[i] = state.input[i] * source[i];
    activate_array(l.output, count, l.activation);
}

void backward_sam_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    gradient_array(l.output, count, l.activation, l.delta);
    const layer &from = state.net.layers[l.index];
    for (int i = 0; i < count; ++i) {
        if (state.delta) state.delta[i] += l.delta[i] * from.output[i];
        if (from.delta) from.delta[i] = state.input[i] * l.delta[i];
    }
}
