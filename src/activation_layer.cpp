// The stand-alone [activation] layer: the output is the activated copy of the input, and the
// backward pass overwrites (rather than accumulates into) the previous layer's delta.
#include "activation_layer.h"

#include <cstdio>

#include "activation_functions.h"
#include "option_list.h"
#include "utils.h"
#include "vector_primitives.h"

layer make_activation_layer(int batch, int inputs, ACTIVATION activation)
{
    layer l = {};
    l.type = ACTIVE;
    l.inputs = inputs;
    l.outputs = inputs;
    l.batch = batch;
    l.activation = activation;
    l.output = static_cast<float *>(xcalloc(static_cast<size_t>(batch) * inputs, sizeof(float)));
    l.delta = static_cast<float *>(xcalloc(static_cast<size_t>(batch) * inputs, sizeof(float)));
    l.forward = forward_activation_layer;
    l.backward = backward_activation_layer;
    fprintf(stderr, "Activation Layer: %d inputs\n", inputs);
    return l;
}

void forward_activation_layer(layer l, network_state state)
{
    const int n = l.outputs * l.batch;
    copy_cpu(n, state.input, l.output);
    activate_array(l.output, n, l.activation);
}

void backward_activation_layer(layer l, network_state state)
{
    const int n = l.outputs * l.batch;
    gradient_array(l.output, n, l.activation, l.delta);
    // The first layer of a network has no previous delta to write to.
    if (state.delta) copy_cpu(n, l.delta, state.delta);
}

layer parse_activation(list *options, size_params params)
{
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "linear"));
    layer l = make_activation_layer(params.batch, params.inputs, activation);
    l.h = l.out_h = params.h;
    l.w = l.out_w = params.w;
    l.c = l.out_c = params.c;
    return l;
}
