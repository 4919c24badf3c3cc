// The scale-channels layer: out = factor * source, where the factors (the previous layer's
// output) hold one value per channel, or one per position with scale_wh.
#include "scale_channels_layer.h"

#include "activation_functions.h"
#include "utils.h"

#include <cstdio>
#include <cstdlib>

int read_source_layer(list *options, size_params params, const char *section)
{
    char message[200];
    const char *text = option_find(options, "from");
    if (!text) {
        snprintf(message, sizeof message, "%s layer %d must specify its source layer: from = ...", section,
                 params.index);
        quillon_error(message);
    }
    const int value = atoi(text);
    const int index = value < 0 ? params.index + value : value;
    if (index < 0 || index >= params.index) {
        snprintf(message, sizeof message, "%s layer %d refers to layer %d, which is not one of the %d layers before it",
                 section, params.index, value, params.index);
        quillon_error(message);
    }
    return index;
}

layer parse_scale_channels(list *options, size_params params, network net)
{
    const int index = read_source_layer(options, params, "[scale_channels]");
    const int scale_wh = option_find_int_quiet(options, "scale_wh", 0);
    const layer &from = net.layers[index];
    // One factor per channel (or per position) of every image; any other count would pair values of
    // different images or read past the factors.
    const int factors = params.w * params.h * params.c;
    const int needed = scale_wh ? from.out_w * from.out_h : from.out_c;
    if (factors != needed) {
        char message[240];
        snprintf(message, sizeof message,
                 "[scale_channels] layer %d: %d x %d x %d factors do not fit layer %d of %d x %d x %d (need %d)",
                 params.index, params.w, params.h, params.c, index, from.out_w, from.out_h, from.out_c, needed);
        quillon_error(message);
    }
    layer l = make_scale_channels_layer(params.batch, index, params.w, params.h, params.c, from.out_w, from.out_h,
                                        from.out_c, scale_wh);
    l.activation = activation_from_string(option_find_str_quiet(options, "activation", "linear"));
    if (l.activation == SWISH || l.activation == MISH)
        printf(" [scale_channels] layer doesn't support SWISH or MISH activations \n");
    return l;
}

layer make_scale_channels_layer(int batch, int index, int w, int h, int c, int out_w, int out_h, int out_c,
                                int scale_wh)
{
    layer l = {};
    l.type = SCALE_CHANNELS;
    l.batch = batch;
    l.scale_wh = scale_wh;
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
    l.forward = forward_scale_channels_layer;
    l.backward = backward_scale_channels_layer;
    fprintf(stderr, "scale Layer: %d\n", index);
    return l;
}

void resize_scale_channels_layer(layer *l, network *net)
{
    const layer &from = net->layers[l->index];
    l->out_w = from.out_w;
    l->out_h = from.out_h;
    l->outputs = l->inputs = l->out_w * l->out_h * l->out_c;
    const size_t count = (size_t)l->outputs * l->batch;
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
}

static int factor_index(const layer &l, int i)
{
    const int channel_size = l.out_w * l.out_h;
    const int batch_size = l.out_c * channel_size;
    return l.scale_wh ? channel_size * (i / batch_size) + i % channel_size : i / channel_size;
}

void forward_scale_channels_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    const float *source = state.net.layers[l.index].output;
    for (int i = 0; i < count; ++i) l.output[i] = state.input[factor_index(l, i)] * source[i];
    activate_array(l.output, count, l.activation);
}

void backward_scale_channels_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    gradient_array(l.output, count, l.activation, l.delta);
    const layer &from = state.net.layers[l.index];
    for (int i = 0; i < count; ++i) {
        const int f = factor_index(l, i);
        if (state.delta) state.delta[f] += l.delta[i] * from.output[i];
        if (from.delta) from.delta[i] += l.delta[i] * state.input[f];
    }
}
