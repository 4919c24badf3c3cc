// The simple recurrent layer on the CPU. During training every step's hidden state is kept (one
// slot per step after the initial one) so that the backward pass can run through time.
#include "rnn_layer.h"

#include "activation_functions.h"
#include "connected_layer.h"
#include "layer.h"
#include "utils.h"
#include "vector_primitives.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

layer *own_sublayer(layer l)
{
    layer *p = (layer *)xcalloc(1, sizeof(layer));
    *p = l;
    return p;
}

layer sublayer_at_step(const layer *l, int t)
{
    layer v = *l;
    const size_t offset = (size_t)t * l->outputs * l->batch;
    for (float **p : {&v.output, &v.delta, &v.x, &v.x_norm, &v.activation_input})
        if (*p) *p += offset;
    return v;
}

void forward_sublayer_at_step(const layer *l, int t, float *input, network_state state)
{
    layer v = sublayer_at_step(l, t);
    state.input = input;
    v.forward(v, state);
}

void backward_sublayer_at_step(const layer *l, int t, float *input, float *delta, network_state state)
{
    layer v = sublayer_at_step(l, t);
    state.input = input;
    state.delta = delta;
    v.backward(v, state);
}

size_t largest_workspace(layer *const *subs, int n)
{
    size_t w = 0;
    for (int i = 0; i < n; ++i)
        if (subs[i]) w = std::max(w, subs[i]->workspace_size);
    return w;
}

layer parse_rnn(list *options, size_params params)
{
    const int output = option_find_int(options, "output", 1);
    const int hidden = option_find_int(options, "hidden", 1);
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "logistic"));
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    const int logistic = option_find_int_quiet(options, "logistic", 0);
    layer l = make_rnn_layer(params.batch, params.inputs, hidden, output, params.time_steps, activation,
                             batch_normalize, logistic);
    l.shortcut = option_find_int_quiet(options, "shortcut", 0);
    l.train = params.train;
    return l;
}

layer make_rnn_layer(int batch, int inputs, int hidden, int outputs, int steps, ACTIVATION activation,
                     int batch_normalize, int log)
{
    fprintf(stderr, "RNN Layer: %d inputs, %d outputs\n", inputs, outputs);
    batch /= steps;
    layer l = {};
    l.type = RNN;
    l.batch = batch;
    l.steps = steps;
    l.inputs = inputs;
    l.outputs = outputs;
    l.n = hidden;
    l.h = l.w = 1;
    l.c = inputs;
    l.out_h = l.out_w = 1;
    l.out_c = outputs;
    l.batch_normalize = batch_normalize;
    l.activation = activation;
    l.learning_rate_scale = 1;
    l.state = (float *)xcalloc((size_t)batch * hidden * (steps + 1), sizeof(float));

    const ACTIVATION self_activation = log == 2 ? LOGGY : log == 1 ? LOGISTIC : activation;
    fprintf(stderr, "\t\t");
    l.input_layer = own_sublayer(make_connected_layer(batch, steps, inputs, hidden, activation, batch_normalize));
    fprintf(stderr, "\t\t");
    l.self_layer = own_sublayer(make_connected_layer(batch, steps, hidden, hidden, self_activation, batch_normalize));
    fprintf(stderr, "\t\t");
    l.output_layer = own_sublayer(make_connected_layer(batch, steps, hidden, outputs, activation, batch_normalize));
    l.output = l.output_layer->output;
    l.delta = l.output_layer->delta;

    l.forward = forward_rnn_layer;
    l.backward = backward_rnn_layer;
    l.update = update_rnn_layer;
    l.bflops = l.input_layer->bflops + l.self_layer->bflops + l.output_layer->bflops;
    return l;
}

void forward_rnn_layer(layer l, network_state state)
{
    network_state s = state;
    const int hidden = l.self_layer->outputs;
    const int n = hidden * l.batch;
    if (state.train) {
        for (layer *sub : {l.input_layer, l.self_layer, l.output_layer})
            fill_cpu(sub->outputs * sub->batch * l.steps, 0, sub->delta, 1);
        fill_cpu(n, 0, l.state, 1);
    }

    float *state_slot = l.state;
    for (int t = 0; t < l.steps; ++t) {
        forward_sublayer_at_step(l.input_layer, t, state.input + (size_t)t * l.inputs * l.batch, s);
        forward_sublayer_at_step(l.self_layer, t, state_slot, s);
        float *previous = state_slot;
        // Outside training the state stays in the first slot and carries over to the next pass.
        if (state.train) state_slot += n;
        if (l.shortcut) {
            if (state_slot != previous) copy_cpu(n, previous, state_slot);
        } else {
            fill_cpu(n, 0, state_slot, 1);
        }
        axpy_cpu(n, 1, sublayer_at_step(l.input_layer, t).output, 1, state_slot, 1);
        axpy_cpu(n, 1, sublayer_at_step(l.self_layer, t).output, 1, state_slot, 1);
        forward_sublayer_at_step(l.output_layer, t, state_slot, s);
    }
}

void backward_rnn_layer(layer l, network_state state)
{
    network_state s = state;
    const int hidden = l.self_layer->outputs;
    const int n = hidden * l.batch;
    for (int t = l.steps - 1; t >= 0; --t) {
        float *new_state = l.state + (size_t)(t + 1) * n;
        float *old_state = l.state + (size_t)t * n;
        // The self layer's delta at step t is the gradient of the state it produced.
        float *state_delta = sublayer_at_step(l.self_layer, t).delta;
        float *previous_delta = t > 0 ? sublayer_at_step(l.self_layer, t - 1).delta : nullptr;
        backward_sublayer_at_step(l.output_layer, t, new_state, state_delta, s);

        // The state gradient reaches the input layer and, with shortcut, the previous state before
        // the self layer's backward pass scales it by its activation's derivative.
        copy_cpu(n, state_delta, sublayer_at_step(l.input_layer, t).delta);
        if (l.shortcut && previous_delta) axpy_cpu(n, 1, state_delta, 1, previous_delta, 1);
        backward_sublayer_at_step(l.self_layer, t, old_state, previous_delta, s);

        float *input = state.input + (size_t)t * l.inputs * l.batch;
        float *input_delta = state.delta ? state.delta + (size_t)t * l.inputs * l.batch : nullptr;
        backward_sublayer_at_step(l.input_layer, t, input, input_delta, s);
    }
}

void update_rnn_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    for (layer *sub : {l.input_layer, l.self_layer, l.output_layer})
        sub->update(*sub, batch, learning_rate, momentum, decay);
}

void free_rnn_arrays(layer *l)
{
    free_sublayer(l->input_layer);
    free_sublayer(l->self_layer);
    free_sublayer(l->output_layer);
    l->input_layer = l->self_layer = l->output_layer = nullptr;
    // The output and delta were the output layer's.
    l->output = l->delta = nullptr;
    l->output_gpu = l->delta_gpu = nullptr;
    free(l->state);
    l->state = nullptr;
}
