// The history layer on the CPU.
#include "history_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cstdlib>

layer parse_history(list *options, size_params params)
{
    const int history_size = option_find_int(options, "history_size", 4);
    return make_history_layer(params.batch, params.h, params.w, params.c, history_size, params.time_steps,
                              params.train);
}

layer make_history_layer(int batch, int h, int w, int c, int history_size, int steps, int train)
{
    layer l = {};
    l.type = HISTORY;
    l.train = train;
    l.batch = batch / steps;
    l.steps = steps;
    l.history_size = history_size;
    l.h = l.out_h = h;
    l.w = l.out_w = w;
    l.c = c;
    l.out_c = c * history_size;
    l.inputs = h * w * c;
    l.outputs = l.inputs * history_size;
    l.learning_rate_scale = 1;
    const size_t images = (size_t)l.batch * steps;
    l.output = (float *)xcalloc(images * l.outputs, sizeof(float));
    if (train) l.delta = (float *)xcalloc(images * l.outputs, sizeof(float));
    l.prev_state = (float *)xcalloc((size_t)l.batch * l.outputs, sizeof(float));
    l.forward = forward_history_layer;
    l.backward = backward_history_layer;
    fprintf(stderr, "HISTORY b = %d, s = %2d, steps = %2d   %4d x%4d x%4d -> %4d x%4d x%4d \n", l.batch, history_size,
            steps, w, h, c, l.out_w, l.out_h, l.out_c);
    return l;
}

void forward_history_layer(layer l, network_state state)
{
    const int kept = (l.history_size - 1) * l.inputs;
    for (int t = 0; t < l.steps; ++t) {
        for (int b = 0; b < l.batch; ++b) {
            const size_t image = (size_t)t * l.batch + b;
            float *out = l.output + image * l.outputs;
            copy_cpu(l.inputs, state.input + image * l.inputs, out);
            // A single step has no history within the pass: only the input part is written.
            if (l.steps == 1) continue;
            const float *previous = t ? l.output + (image - l.batch) * l.outputs : l.prev_state + (size_t)b * l.outputs;
            copy_cpu(kept, previous, out + l.inputs);
        }
    }
    if (l.steps > 1)
        copy_cpu(l.batch * l.outputs, l.output + (size_t)(l.steps - 1) * l.batch * l.outputs, l.prev_state);
}

// Part j of the output at step t is the input of step t − j; parts that came from before the pass
// are constants.
void backward_history_layer(layer l, network_state state)
{
    if (!state.delta) return;
    const int parts = l.steps == 1 ? 1 : l.history_size;
    for (int t = 0; t < l.steps; ++t)
        for (int b = 0; b < l.batch; ++b)
            for (int j = 0; j < parts && t + j < l.steps; ++j) {
                const size_t source = (size_t)t * l.batch + b, target = (size_t)(t + j) * l.batch + b;
                axpy_cpu(l.inputs, 1, l.delta + target * l.outputs + (size_t)j * l.inputs, 1,
                         state.delta + source * l.inputs, 1);
            }
}

void free_history_arrays(layer *l)
{
    free(l->prev_state);
    l->prev_state = nullptr;
}
