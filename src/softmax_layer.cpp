// Softmax on the CPU. A class hierarchy splits the input into its groups, each normalised alone;
// otherwise the input splits into `groups` equal runs.
#include "softmax_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cstdlib>

namespace {

void free_tree(tree *t)
{
    if (!t) return;
    for (int i = 0; i < t->n; ++i) free(t->name[i]);
    free(t->name);
    free(t->leaf);
    free(t->parent);
    free(t->child);
    free(t->group);
    free(t->group_size);
    free(t->group_offset);
    free(t);
}

} // namespace

layer make_softmax_layer(int batch, int inputs, int groups)
{
    // The group length divides the input; no groups would divide by zero.
    if (groups < 1) quillon_error("softmax groups must be at least 1");
    layer l = {};
    l.type = SOFTMAX;
    l.batch = batch;
    l.groups = groups;
    l.inputs = inputs;
    l.outputs = inputs;
    l.temperature = 1;
    l.loss = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.output = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.delta = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.forward = forward_softmax_layer;
    l.backward = backward_softmax_layer;
    fprintf(stderr, "softmax                                        %4d\n", inputs);
    return l;
}

layer parse_softmax(list *options, size_params params)
{
    const int groups = option_find_int_quiet(options, "groups", 1);
    layer l = make_softmax_layer(params.batch, params.inputs, groups);
    l.temperature = option_find_float_quiet(options, "temperature", 1);
    if (const char *tree_file = option_find_str_quiet(options, "tree", nullptr)) {
        l.softmax_tree = read_tree(tree_file);
        // The hierarchy's groups index the input: a larger tree would read past it.
        if (l.softmax_tree->n > l.inputs) {
            fprintf(stderr, "Hierarchy %s has %d classes, more than the %d inputs of the softmax layer\n",
                    tree_file, l.softmax_tree->n, l.inputs);
            quillon_error("softmax hierarchy larger than its input");
        }
    }
    l.w = params.w;
    l.h = params.h;
    l.c = params.c;
    l.spatial = option_find_float_quiet(options, "spatial", 0);
    l.noloss = option_find_int_quiet(options, "noloss", 0);
    l.train = params.train;
    return l;
}

void forward_softmax_layer(layer l, network_state state)
{
    if (l.softmax_tree) {
        int count = 0;
        for (int g = 0; g < l.softmax_tree->groups; ++g) {
            const int group_size = l.softmax_tree->group_size[g];
            softmax_cpu(state.input + count, group_size, l.batch, l.inputs, 1, 0, l.temperature, l.output + count);
            count += group_size;
        }
    } else {
        const int run = l.inputs / l.groups;
        softmax_cpu(state.input, run, l.batch, l.inputs, l.groups, run, l.temperature, l.output);
    }
    if (state.truth && !l.noloss) {
        softmax_x_ent_cpu(l.batch * l.inputs, l.output, state.truth, l.delta, l.loss);
        l.cost[0] = array_sum(l.loss, l.batch * l.inputs);
    }
}

void backward_softmax_layer(layer l, network_state state)
{
    if (state.delta) axpy_cpu(l.inputs * l.batch, 1, l.delta, 1, state.delta, 1);
}

void free_softmax_arrays(layer *l)
{
    free(l->loss);
    l->loss = nullptr;
    free_tree(l->softmax_tree);
    l->softmax_tree = nullptr;
}
