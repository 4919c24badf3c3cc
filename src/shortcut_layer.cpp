// The shortcut layer: a (weighted) sum of its input and earlier layers' outputs, then the
// activation. The earlier layers' arrays are reached through pointer arrays captured at build
// time and refreshed whenever those layers may have moved them.
#include "shortcut_layer.h"

#include "activation_functions.h"
#include "route_layer.h"
#include "utils.h"
#include "vector_primitives.h"
#include "weights.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int weights_type_from_string(const char *s)
{
    if (!strcmp(s, "none")) return 0;
    if (!strcmp(s, "per_feature") || !strcmp(s, "per_layer")) return 1;
    if (!strcmp(s, "per_channel")) return 2;
    printf("Error: Incorrect weights_type = %s \n Use one of: none, per_feature, per_channel \n", s);
    getchar();
    exit(0);
}

static WEIGHTS_NORMALIZATION_T weights_normalization_from_string(const char *s)
{
    if (!strcmp(s, "none")) return NO_NORMALIZATION;
    if (!strcmp(s, "relu") || !strcmp(s, "avg_relu")) return RELU_NORMALIZATION;
    if (!strcmp(s, "softmax")) return SOFTMAX_NORMALIZATION;
    printf("Error: Incorrect weights_normalization = %s \n Use one of: none, relu, softmax \n", s);
    getchar();
    exit(0);
}

layer parse_shortcut(list *options, size_params params, network net)
{
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "linear"));
    const int weights_type = weights_type_from_string(option_find_str_quiet(options, "weights_type", "none"));
    const WEIGHTS_NORMALIZATION_T weights_normalization =
        weights_normalization_from_string(option_find_str_quiet(options, "weights_normalization", "none"));
    const char *text = option_find(options, "from");
    if (!text) quillon_error("Route Layer must specify input layers: from = ...");

    int n = 0;
    int *input_layers = read_layer_indexes(text, params, "[shortcut]", &n);
    int *input_sizes = (int *)xcalloc(n, sizeof(int));
    float **layers_output = (float **)xcalloc(n, sizeof(float *));
    float **layers_delta = (float **)xcalloc(n, sizeof(float *));
    for (int i = 0; i < n; ++i) {
        const layer &from = net.layers[input_layers[i]];
        input_sizes[i] = from.outputs;
        layers_output[i] = from.output;
        layers_delta[i] = from.delta;
    }
    layer l = make_shortcut_layer(params.batch, n, input_layers, input_sizes, params.w, params.h, params.c,
                                  layers_output, layers_delta, nullptr, nullptr, weights_type, weights_normalization,
                                  activation, params.train);
    for (int i = 0; i < n; ++i) {
        const layer &from = net.layers[input_layers[i]];
        if (from.outputs != l.outputs)
            fprintf(stderr, " (%4d x%4d x%4d) + (%4d x%4d x%4d) \n", l.w, l.h, l.c, from.out_w, from.out_h,
                    from.out_c);
    }
    return l;
}

layer make_shortcut_layer(int batch, int n, int *input_layers, int *input_sizes, int w, int h, int c,
                          float **layers_output, float **layers_delta, float **layers_output_gpu,
                          float **layers_delta_gpu, int weights_type, WEIGHTS_NORMALIZATION_T weights_normalization,
                          ACTIVATION activation, int train)
{
    fprintf(stderr, "Shortcut Layer: ");
    for (int i = 0; i < n; ++i) fprintf(stderr, "%d, ", input_layers[i]);
    layer l = {};
    l.train = train;
    l.type = SHORTCUT;
    l.batch = batch;
    l.activation = activation;
    l.n = n;
    l.input_layers = input_layers;
    l.input_sizes = input_sizes;
    l.layers_output = layers_output;
    l.layers_delta = layers_delta;
    l.layers_output_gpu = layers_output_gpu;
    l.layers_delta_gpu = layers_delta_gpu;
    l.weights_type = weights_type;
    l.weights_normalization = weights_normalization;
    l.learning_rate_scale = 1;
    l.index = input_layers[0];
    l.w = l.out_w = w;
    l.h = l.out_h = h;
    l.c = l.out_c = c;
    l.outputs = l.inputs = w * h * c;

    if (weights_type == 1) l.nweights = n + 1;
    else if (weights_type == 2) l.nweights = (n + 1) * c;
    if (l.nweights > 0) {
        l.weights = (float *)xcalloc(l.nweights, sizeof(float));
        for (int i = 0; i < l.nweights; ++i) l.weights[i] = 1;
        if (train) l.weight_updates = (float *)xcalloc(l.nweights, sizeof(float));
        l.update = update_shortcut_layer;
    }

    const size_t count = (size_t)l.outputs * batch;
    if (train) l.delta = (float *)xcalloc(count, sizeof(float));
    l.output = (float *)xcalloc(count, sizeof(float));
    if (activation == SWISH || activation == MISH) l.activation_input = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_shortcut_layer;
    l.backward = backward_shortcut_layer;

    l.bflops = (float)((double)l.out_w * l.out_h * l.out_c * l.n / 1000000000.);
    if (l.weights_type) l.bflops *= 2;
    fprintf(stderr, " wt = %d, wn = %d, outputs:%4d x%4d x%4d %5.3f BF\n", l.weights_type,
            (int)l.weights_normalization, l.out_w, l.out_h, l.out_c, l.bflops);
    return l;
}

// The earlier layers may have reallocated (resize) or gained (frozen layers) their arrays since
// this layer captured them.
static void refresh_inputs(const layer &l, const layer *layers)
{
    for (int i = 0; i < l.n; ++i) {
        const layer &from = layers[l.input_layers[i]];
        l.input_sizes[i] = from.outputs;
        l.layers_output[i] = from.output;
        l.layers_delta[i] = from.delta;
    }
}

void resize_shortcut_layer(layer *l, int w, int h, network *net)
{
    l->w = l->out_w = w;
    l->h = l->out_h = h;
    l->outputs = l->inputs = w * h * l->out_c;
    const size_t count = (size_t)l->outputs * l->batch;
    if (l->train) l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    refresh_inputs(*l, net->layers);
    if (l->activation == SWISH || l->activation == MISH)
        l->activation_input = (float *)xrealloc(l->activation_input, count * sizeof(float));
}

void forward_shortcut_layer(layer l, network_state state)
{
    refresh_inputs(l, state.net.layers);
    const int count = l.outputs * l.batch;
    // The plain sum reads the other layer at this layer's size, so it needs the sizes to agree; the
    // general routine gives the same sum otherwise.
    if (l.nweights == 0 && l.n == 1 && l.input_sizes[0] == l.outputs) {
        const float *from = l.layers_output[0];
        for (int i = 0; i < count; ++i) l.output[i] = state.input[i] + from[i];
    } else {
        shortcut_multilayer_cpu(count, l.outputs, l.n, l.input_sizes, l.layers_output, l.output, state.input,
                                l.weights, l.nweights, l.weights_normalization);
    }
    if (l.activation == SWISH) activate_array_swish(l.output, count, l.activation_input, l.output);
    else if (l.activation == MISH) activate_array_mish(l.output, count, l.activation_input, l.output);
    else activate_array_cpu_custom(l.output, count, l.activation);
}

void backward_shortcut_layer(layer l, network_state state)
{
    const int count = l.outputs * l.batch;
    if (l.activation == SWISH) gradient_array_swish(l.output, count, l.activation_input, l.delta);
    else if (l.activation == MISH) gradient_array_mish(count, l.activation_input, l.delta);
    else gradient_array(l.output, count, l.activation, l.delta);
    if (!state.delta) return;
    refresh_inputs(l, state.net.layers);
    for (int i = 0; i < l.n; ++i)
        if (!l.layers_delta[i]) return;
    backward_shortcut_multilayer_cpu(count, l.outputs, l.n, l.input_sizes, l.layers_delta, state.delta, l.delta,
                                     l.weights, l.weight_updates, l.nweights, state.input, l.layers_output,
                                     l.weights_normalization);
}

void update_shortcut_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    if (l.nweights <= 0 || !l.weight_updates) return;
    axpy_cpu(l.nweights, -decay * batch, l.weights, 1, l.weight_updates, 1);
    axpy_cpu(l.nweights, learning_rate * l.learning_rate_scale / batch, l.weight_updates, 1, l.weights, 1);
    scal_cpu(l.nweights, momentum, l.weight_updates, 1);
}

void load_shortcut_weights(layer l, FILE *fp)
{
    if (l.nweights > 0) read_weights_array(l.weights, l.nweights, fp, "l.weights", l.index);
}

void save_shortcut_weights(layer l, FILE *fp)
{
    if (l.nweights <= 0) return;
    for (int i = 0; i < l.nweights; ++i) printf(" %f, ", l.weights[i]);
    printf(" l.nweights = %d \n\n", l.nweights);
    write_weights_array(l.weights, l.nweights, fp);
}

void free_shortcut_arrays(layer *l)
{
    free(l->input_sizes);
    free(l->layers_output);
    free(l->layers_delta);
    l->input_sizes = nullptr;
    l->layers_output = nullptr;
    l->layers_delta = nullptr;
}
