// The implicit layer: every image of the batch gets the same learned filters x atoms values; the
// input is ignored and receives no gradient.
#include "implicit_layer.h"

#include "utils.h"
#include "vector_primitives.h"
#include "weights.h"

#include <cmath>

layer parse_implicit(list *options, size_params params)
{
    const float mean = option_find_float(options, "mean", 0);
    const float std = option_find_float(options, "std", 0.2f);
    const int filters = option_find_int(options, "filters", 128);
    const int atoms = option_find_int_quiet(options, "atoms", 1);
    if (filters < 1 || atoms < 1) quillon_error("[implicit]: filters and atoms must be 1 or more");
    return make_implicit_layer(params.batch, params.index, mean, std, filters, atoms);
}

layer make_implicit_layer(int batch, int index, float mean, float std, int filters, int atoms)
{
    fprintf(stderr, "implicit Layer: %d x %d \t mean=%.2f, std=%.2f \n", filters, atoms, mean, std);
    layer l = {};
    l.type = IMPLICIT;
    l.batch = batch;
    l.index = index;
    l.w = l.h = l.c = 1;
    l.out_w = 1;
    l.out_h = atoms;
    l.out_c = filters;
    l.inputs = 1;
    l.outputs = l.nweights = filters * atoms;
    l.learning_rate_scale = 1;
    l.weights = (float *)xcalloc(l.nweights, sizeof(float));
    l.weight_updates = (float *)xcalloc(l.nweights, sizeof(float));
    const float half_width = fabsf(std);
    for (int i = 0; i < l.nweights; ++i) l.weights[i] = mean + random_uniform(-half_width, half_width);
    const size_t count = (size_t)l.outputs * batch;
    l.output = (float *)xcalloc(count, sizeof(float));
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_implicit_layer;
    l.backward = backward_implicit_layer;
    l.update = update_implicit_layer;
    return l;
}

void forward_implicit_layer(layer l, network_state state)
{
    for (int b = 0; b < l.batch; ++b) copy_cpu(l.nweights, l.weights, l.output + (size_t)b * l.nweights);
}

void backward_implicit_layer(layer l, network_state state)
{
    for (int b = 0; b < l.batch; ++b) axpy_cpu(l.nweights, 1, l.delta + (size_t)b * l.nweights, 1, l.weight_updates, 1);
}

void update_implicit_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    axpy_cpu(l.nweights, -decay * batch, l.weights, 1, l.weight_updates, 1);
    axpy_cpu(l.nweights, learning_rate * l.learning_rate_scale / batch, l.weight_updates, 1, l.weights, 1);
    scal_cpu(l.nweights, momentum, l.weight_updates, 1);
}

void load_implicit_weights(layer l, FILE *fp)
{
    read_weights_array(l.weights, l.nweights, fp, "l.weights", l.index);
}

void save_implicit_weights(layer l, FILE *fp) { write_weights_array(l.weights, l.nweights, fp); }
