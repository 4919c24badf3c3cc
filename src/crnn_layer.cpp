// The convolutional recurrent layer on the CPU. Its passes are those of the simple recurrent
// layer, which step any sub-layer kind.
#include "crnn_layer.h"

#include "activation_functions.h"
#include "convolutional_layer.h"
#include "rnn_layer.h"
#include "utils.h"

#include <cstdlib>

namespace {

layer *make_step_convolution(int batch, int steps, int h, int w, int c, int n, int groups, int size, int stride,
                             int dilation, int pad, ACTIVATION activation, int batch_normalize, int xnor, int train)
{
    fprintf(stderr, "\t\t");
    return own_sublayer(make_convolutional_layer(batch, steps, h, w, c, n, groups, size, stride, stride, dilation, pad,
                                                 activation, batch_normalize, 0, xnor, 0, 0, 0, 0, nullptr, 0, 0,
                                                 train));
}

// Shape, state and shared buffers from the current sub-layers.
void take_sublayer_shapes(layer &l)
{
    const layer &in = *l.input_layer, &self = *l.self_layer, &out = *l.output_layer;
    // The state is added to itself step after step, so the self convolution must keep its shape.
    if (self.outputs != in.outputs || out.h != self.out_h || out.w != self.out_w)
        quillon_error("[crnn] needs size, stride and padding that keep the state's width and height");
    l.out_h = out.out_h;
    l.out_w = out.out_w;
    l.out_c = out.out_c;
    l.outputs = out.outputs;
    l.inputs = l.h * l.w * l.c;
    l.output = out.output;
    l.delta = out.delta;
    layer *subs[] = {l.input_layer, l.self_layer, l.output_layer};
    l.workspace_size = largest_workspace(subs, 3);
    l.bflops = in.bflops + self.bflops + out.bflops;
}

} // namespace

layer parse_crnn(list *options, size_params params)
{
    const int size = option_find_int_quiet(options, "size", 3);
    const int stride = option_find_int_quiet(options, "stride", 1);
    const int dilation = option_find_int_quiet(options, "dilation", 1);
    const int pad = option_find_int_quiet(options, "pad", 0);
    int padding = option_find_int_quiet(options, "padding", 0);
    if (pad) padding = size / 2;
    const int output_filters = option_find_int(options, "output", 1);
    const int hidden_filters = option_find_int(options, "hidden", 1);
    const int groups = option_find_int_quiet(options, "groups", 1);
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "logistic"));
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    const int xnor = option_find_int_quiet(options, "xnor", 0);
    layer l = make_crnn_layer(params.batch, params.h, params.w, params.c, hidden_filters, output_filters, groups,
                              params.time_steps, size, stride, dilation, padding, activation, batch_normalize, xnor,
                              params.train);
    l.shortcut = option_find_int_quiet(options, "shortcut", 0);
    return l;
}

layer make_crnn_layer(int batch, int h, int w, int c, int hidden_filters, int output_filters, int groups, int steps,
                      int size, int stride, int dilation, int pad, ACTIVATION activation, int batch_normalize,
                      int xnor, int train)
{
    fprintf(stderr, "CRNN Layer: %d x %d x %d image, %d filters\n", h, w, c, output_filters);
    batch /= steps;
    layer l = {};
    l.type = CRNN;
    l.train = train;
    l.batch = batch;
    l.steps = steps;
    l.h = h;
    l.w = w;
    l.c = c;
    l.n = hidden_filters;
    l.groups = groups;
    l.size = size;
    l.stride = l.stride_x = l.stride_y = stride;
    l.dilation = dilation;
    l.pad = pad;
    l.xnor = xnor;
    l.activation = activation;
    l.batch_normalize = batch_normalize;
    l.learning_rate_scale = 1;

    l.input_layer = make_step_convolution(batch, steps, h, w, c, hidden_filters, groups, size, stride, dilation, pad,
                                          activation, batch_normalize, xnor, train);
    const int sh = l.input_layer->out_h, sw = l.input_layer->out_w;
    l.self_layer = make_step_convolution(batch, steps, sh, sw, hidden_filters, hidden_filters, groups, size, stride,
                                         dilation, pad, activation, batch_normalize, xnor, train);
    l.output_layer = make_step_convolution(batch, steps, sh, sw, hidden_filters, output_filters, groups, size, stride,
                                           dilation, pad, activation, batch_normalize, xnor, train);
    take_sublayer_shapes(l);
    l.state = (float *)xcalloc((size_t)batch * l.input_layer->outputs * (steps + 1), sizeof(float));

    l.forward = forward_crnn_layer;
    l.backward = backward_crnn_layer;
    l.update = update_crnn_layer;
    return l;
}

void forward_crnn_layer(layer l, network_state state) { forward_rnn_layer(l, state); }

void backward_crnn_layer(layer l, network_state state) { backward_rnn_layer(l, state); }

void update_crnn_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    update_rnn_layer(l, batch, learning_rate, momentum, decay);
}

void resize_crnn_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    resize_convolutional_layer(l->input_layer, w, h);
    resize_convolutional_layer(l->self_layer, l->input_layer->out_w, l->input_layer->out_h);
    resize_convolutional_layer(l->output_layer, l->input_layer->out_w, l->input_layer->out_h);
    take_sublayer_shapes(*l);
    free(l->state);
    l->state = (float *)xcalloc((size_t)l->batch * l->input_layer->outputs * (l->steps + 1), sizeof(float));
}

void free_crnn_arrays(layer *l) { free_rnn_arrays(l); }
