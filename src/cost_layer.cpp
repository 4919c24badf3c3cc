// The cost layer on the CPU: squared or smooth-L1 error per value, summed into the cost; the
// masked form ignores values whose truth is the mask marker.
#include "cost_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cstring>

namespace {

// A truth value that masks its input out of the MASKED loss.
constexpr float mask_marker = -1234;

} // namespace

COST_TYPE get_cost_type(const char *s)
{
    if (!strcmp(s, "sse")) return SSE;
    if (!strcmp(s, "masked")) return MASKED;
    if (!strcmp(s, "smooth")) return SMOOTH;
    fprintf(stderr, "Couldn't find cost type %s, going with SSE\n", s);
    return SSE;
}

layer make_cost_layer(int batch, int inputs, COST_TYPE cost_type, float scale)
{
    fprintf(stderr, "cost                                           %4d\n", inputs);
    layer l = {};
    l.type = COST;
    l.scale = scale;
    l.batch = batch;
    l.inputs = inputs;
    l.outputs = inputs;
    l.cost_type = cost_type;
    l.delta = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.output = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.forward = forward_cost_layer;
    l.backward = backward_cost_layer;
    return l;
}

layer parse_cost(list *options, size_params params)
{
    const COST_TYPE type = get_cost_type(option_find_str(options, "type", "sse"));
    const float scale = option_find_float_quiet(options, "scale", 1);
    layer l = make_cost_layer(params.batch, params.inputs, type, scale);
    l.train = params.train;
    return l;
}

void resize_cost_layer(layer *l, int inputs)
{
    l->inputs = inputs;
    l->outputs = inputs;
    l->delta = (float *)xrealloc(l->delta, (size_t)inputs * l->batch * sizeof(float));
    l->output = (float *)xrealloc(l->output, (size_t)inputs * l->batch * sizeof(float));
}

void forward_cost_layer(layer l, network_state state)
{
    if (!state.truth) return;
    const int n = l.batch * l.inputs;
    if (l.cost_type == MASKED)
        for (int i = 0; i < n; ++i)
            if (state.truth[i] == mask_marker) state.input[i] = mask_marker;
    if (l.cost_type == SMOOTH)
        smooth_l1_cpu(n, state.input, state.truth, l.delta, l.output);
    else
        l2_cpu(n, state.input, state.truth, l.delta, l.output);
    l.cost[0] = array_sum(l.output, n);
}

void backward_cost_layer(layer l, network_state state)
{
    if (state.delta) axpy_cpu(l.batch * l.inputs, l.scale, l.delta, 1, state.delta, 1);
}
