// The route layer copies group group_id of every input's output, image by image, into one
// concatenated output; its backward pass adds the gradient back into each input's delta.
#include "route_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int *read_layer_indexes(const char *text, size_params params, const char *section, int *count)
{
    int n = 1;
    for (const char *p = text; *p; ++p)
        if (*p == ',') ++n;
    int *indexes = (int *)xcalloc(n, sizeof(int));
    const char *p = text;
    for (int i = 0; i < n; ++i) {
        const int value = atoi(p);
        const int index = value < 0 ? params.index + value : value;
        // Only layers already built have outputs to read; anything else would be read out of bounds.
        if (index < 0 || index >= params.index) {
            char message[200];
            snprintf(message, sizeof message,
                     "%s layer %d refers to layer %d, which is not one of the %d layers before it", section,
                     params.index, value, params.index);
            quillon_error(message);
        }
        indexes[i] = index;
        const char *comma = strchr(p, ',');
        if (comma) p = comma + 1;
    }
    *count = n;
    return indexes;
}

layer parse_route(list *options, size_params params)
{
    const char *text = option_find(options, "layers");
    if (!text) quillon_error("Route Layer must specify input layers");
    int n = 0;
    int *input_layers = read_layer_indexes(text, params, "[route]", &n);
    int *input_sizes = (int *)xcalloc(n, sizeof(int));
    for (int i = 0; i < n; ++i) input_sizes[i] = params.net.layers[input_layers[i]].outputs;

    const int groups = option_find_int_quiet(options, "groups", 1);
    const int group_id = option_find_int_quiet(options, "group_id", 0);
    // A group outside [0, groups) would copy from outside the inputs.
    if (groups < 1 || group_id < 0 || group_id >= groups)
        quillon_error("[route]: groups must be 1 or more and group_id in [0, groups)");

    layer l = make_route_layer(params.batch, n, input_layers, input_sizes, groups, group_id);
    const layer &first = params.net.layers[input_layers[0]];
    l.out_w = first.out_w;
    l.out_h = first.out_h;
    l.out_c = first.out_c;
    for (int i = 1; i < n; ++i) {
        const layer &next = params.net.layers[input_layers[i]];
        if (next.out_w == first.out_w && next.out_h == first.out_h) {
            l.out_c += next.out_c;
        } else {
            fprintf(stderr, " The width and height of the input layers are different. \n");
            l.out_h = l.out_w = l.out_c = 0;
        }
    }
    l.out_c = l.out_c / groups;
    l.stream = option_find_int_quiet(options, "stream", -1);
    l.wait_stream = option_find_int_quiet(options, "wait_stream", -1);

    if (n > 3) fprintf(stderr, " \t    ");
    else if (n > 1) fprintf(stderr, " \t            ");
    else fprintf(stderr, " \t\t            ");
    fprintf(stderr, "           ");
    if (groups > 1) fprintf(stderr, "%d/%d", group_id, groups);
    else fprintf(stderr, "   ");
    fprintf(stderr, " -> %4d x%4d x%4d \n", l.out_w, l.out_h, l.out_c);
    return l;
}

layer make_route_layer(int batch, int n, int *input_layers, int *input_sizes, int groups, int group_id)
{
    fprintf(stderr, "route ");
    layer l = {};
    l.type = ROUTE;
    l.batch = batch;
    l.n = n;
    l.input_layers = input_layers;
    l.input_sizes = input_sizes;
    l.groups = groups;
    l.group_id = group_id;
    l.stream = -1;
    l.wait_stream = -1;
    int outputs = 0;
    for (int i = 0; i < n; ++i) {
        fprintf(stderr, " %d", input_layers[i]);
        outputs += input_sizes[i];
    }
    outputs = outputs / groups;
    l.outputs = outputs;
    l.inputs = outputs;
    l.delta = (float *)xcalloc((size_t)outputs * batch, sizeof(float));
    l.output = (float *)xcalloc((size_t)outputs * batch, sizeof(float));
    l.forward = forward_route_layer;
    l.backward = backward_route_layer;
    return l;
}

void resize_route_layer(layer *l, network *net)
{
    const layer &first = net->layers[l->input_layers[0]];
    l->out_w = first.out_w;
    l->out_h = first.out_h;
    l->out_c = first.out_c;
    l->outputs = first.outputs;
    l->input_sizes[0] = first.outputs;
    for (int i = 1; i < l->n; ++i) {
        const layer &next = net->layers[l->input_layers[i]];
        l->outputs += next.outputs;
        l->input_sizes[i] = next.outputs;
        if (next.out_w == first.out_w && next.out_h == first.out_h) {
            l->out_c += next.out_c;
        } else {
            printf("Error: Different size of input layers: %d x %d, %d x %d\n", next.out_w, next.out_h, first.out_w,
                   first.out_h);
            exit(1);
        }
    }
    l->out_c = l->out_c / l->groups;
    l->outputs = l->outputs / l->groups;
    l->inputs = l->outputs;
    const size_t count = (size_t)l->outputs * l->batch;
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
}

void forward_route_layer(layer l, network_state state)
{
    int offset = 0;
    for (int i = 0; i < l.n; ++i) {
        const float *input = state.net.layers[l.input_layers[i]].output;
        const int input_size = l.input_sizes[i];
        const int part = input_size / l.groups;
        for (int j = 0; j < l.batch; ++j)
            copy_cpu(part, input + (size_t)j * input_size + part * l.group_id, l.output + offset + (size_t)j * l.outputs);
        offset += part;
    }
}

void backward_route_layer(layer l, network_state state)
{
    int offset = 0;
    for (int i = 0; i < l.n; ++i) {
        float *delta = state.net.layers[l.input_layers[i]].delta;
        const int input_size = l.input_sizes[i];
        const int part = input_size / l.groups;
        // An input built without a gradient (frozen, or for inference) receives nothing.
        if (delta)
            for (int j = 0; j < l.batch; ++j)
                axpy_cpu(part, 1, l.delta + offset + (size_t)j * l.outputs, 1,
                         delta + (size_t)j * input_size + part * l.group_id, 1);
        offset += part;
    }
}

void free_route_arrays(layer *l)
{
    free(l->input_sizes);
    l->input_sizes = nullptr;
}
