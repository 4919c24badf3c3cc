// The fully connected layer on the CPU: output = activation(input · weightsᵀ + biases), with
// batch normalisation between the product and the biases when enabled.
#include "connected_layer.h"

#include "activation_functions.h"
#include "gemm.h"
#include "utils.h"
#include "vector_primitives.h"
#include "weights.h"

#include <cmath>

namespace {

// Running averages move more slowly here than in the convolutional layer.
constexpr float rolling_keep = 0.95f;
constexpr float rolling_take = 0.05f;

float *zeros(size_t n) { return (float *)xcalloc(n, sizeof(float)); }

} // namespace

layer parse_connected(list *options, size_params params)
{
    const int output = option_find_int(options, "output", 1);
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "logistic"));
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    layer l = make_connected_layer(params.batch, 1, params.inputs, output, activation, batch_normalize);
    l.train = params.train;
    return l;
}

layer make_connected_layer(int batch, int steps, int inputs, int outputs, ACTIVATION activation, int batch_normalize)
{
    layer l = {};
    l.type = CONNECTED;
    l.learning_rate_scale = 1;
    l.inputs = inputs;
    l.outputs = outputs;
    l.batch = batch;
    l.steps = steps;
    l.batch_normalize = batch_normalize;
    l.h = l.w = 1;
    l.c = inputs;
    l.out_h = l.out_w = 1;
    l.out_c = outputs;
    l.n = outputs;
    l.size = l.stride = l.stride_x = l.stride_y = 1;
    l.pad = 0;
    l.groups = 1;
    l.dilation = 1;
    l.activation = activation;
    l.nweights = inputs * outputs;

    const size_t images = (size_t)batch * steps;
    l.output = zeros(images * outputs);
    l.delta = zeros(images * outputs);
    l.weight_updates = zeros((size_t)inputs * outputs);
    l.bias_updates = zeros(outputs);
    l.weights = zeros((size_t)inputs * outputs);
    l.biases = zeros(outputs);

    const float scale = sqrtf(2.f / inputs);
    for (size_t i = 0; i < (size_t)inputs * outputs; ++i) l.weights[i] = random_uniform(-1, 1) * scale;

    if (batch_normalize) {
        l.scales = zeros(outputs);
        l.scale_updates = zeros(outputs);
        for (int i = 0; i < outputs; ++i) l.scales[i] = 1;
        l.mean = zeros(outputs);
        l.mean_delta = zeros(outputs);
        l.variance = zeros(outputs);
        l.variance_delta = zeros(outputs);
        l.rolling_mean = zeros(outputs);
        l.rolling_variance = zeros(outputs);
        l.x = zeros(images * outputs);
        l.x_norm = zeros(images * outputs);
    }

    l.forward = forward_connected_layer;
    l.backward = backward_connected_layer;
    l.update = update_connected_layer;
    l.bflops = (2.f * l.outputs * l.inputs) / 1000000000.f;
    fprintf(stderr, "connected                            %4d  ->  %4d\n", inputs, outputs);
    return l;
}

void forward_connected_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    fill_cpu(count, 0, l.output, 1);
    gemm_cpu(0, 1, l.batch, l.outputs, l.inputs, 1, state.input, l.inputs, l.weights, l.inputs, 1, l.output,
             l.outputs);
    if (l.batch_normalize) {
        if (state.train) {
            mean_cpu(l.output, l.batch, l.outputs, 1, l.mean);
            variance_cpu(l.output, l.mean, l.batch, l.outputs, 1, l.variance);
            scal_cpu(l.outputs, rolling_keep, l.rolling_mean, 1);
            axpy_cpu(l.outputs, rolling_take, l.mean, 1, l.rolling_mean, 1);
            scal_cpu(l.outputs, rolling_keep, l.rolling_variance, 1);
            axpy_cpu(l.outputs, rolling_take, l.variance, 1, l.rolling_variance, 1);
            copy_cpu(count, l.output, l.x);
            normalize_cpu(l.output, l.mean, l.variance, l.batch, l.outputs, 1);
            copy_cpu(count, l.output, l.x_norm);
        } else {
            normalize_cpu(l.output, l.rolling_mean, l.rolling_variance, l.batch, l.outputs, 1);
        }
        scale_bias(l.output, l.scales, l.batch, l.outputs, 1);
    }
    add_bias(l.output, l.biases, l.batch, l.outputs, 1);
    activate_array(l.output, count, l.activation);
}

void backward_connected_layer(layer l, network_state state)
{
    gradient_array(l.output, l.outputs * l.batch, l.activation, l.delta);
    backward_bias(l.bias_updates, l.delta, l.batch, l.outputs, 1);
    if (l.batch_normalize) {
        backward_scale_cpu(l.x_norm, l.delta, l.batch, l.outputs, 1, l.scale_updates);
        scale_bias(l.delta, l.scales, l.batch, l.outputs, 1);
        mean_delta_cpu(l.delta, l.variance, l.batch, l.outputs, 1, l.mean_delta);
        variance_delta_cpu(l.x, l.delta, l.mean, l.variance, l.batch, l.outputs, 1, l.variance_delta);
        normalize_delta_cpu(l.x, l.mean, l.variance, l.mean_delta, l.variance_delta, l.batch, l.outputs, 1, l.delta);
    }
    gemm_cpu(1, 0, l.outputs, l.inputs, l.batch, 1, l.delta, l.outputs, state.input, l.inputs, 1, l.weight_updates,
             l.inputs);
    if (state.delta)
        gemm_cpu(0, 0, l.batch, l.inputs, l.outputs, 1, l.delta, l.outputs, l.weights, l.inputs, 1, state.delta,
                 l.inputs);
}

void update_connected_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    axpy_cpu(l.outputs, learning_rate / batch, l.bias_updates, 1, l.biases, 1);
    scal_cpu(l.outputs, momentum, l.bias_updates, 1);
    if (l.batch_normalize) {
        axpy_cpu(l.outputs, learning_rate / batch, l.scale_updates, 1, l.scales, 1);
        scal_cpu(l.outputs, momentum, l.scale_updates, 1);
    }
    const int size = l.inputs * l.outputs;
    axpy_cpu(size, -decay * batch, l.weights, 1, l.weight_updates, 1);
    axpy_cpu(size, learning_rate / batch, l.weight_updates, 1, l.weights, 1);
    scal_cpu(size, momentum, l.weight_updates, 1);
}

void load_connected_weights(layer l, FILE *fp, int transpose)
{
    read_weights_array_quiet(l.biases, l.outputs, fp);
    read_weights_array_quiet(l.weights, (size_t)l.outputs * l.inputs, fp);
    if (transpose) transpose_matrix(l.weights, l.inputs, l.outputs);
    if (l.batch_normalize && !l.dontloadscales) {
        read_weights_array_quiet(l.scales, l.outputs, fp);
        read_weights_array_quiet(l.rolling_mean, l.outputs, fp);
        read_weights_array_quiet(l.rolling_variance, l.outputs, fp);
    }
}

void save_connected_weights(layer l, FILE *fp)
{
    write_weights_array(l.biases, l.outputs, fp);
    write_weights_array(l.weights, (size_t)l.outputs * l.inputs, fp);
    if (l.batch_normalize) {
        write_weights_array(l.scales, l.outputs, fp);
        write_weights_array(l.rolling_mean, l.outputs, fp);
        write_weights_array(l.rolling_variance, l.outputs, fp);
    }
}
