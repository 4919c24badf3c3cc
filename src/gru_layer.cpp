// The GRU layer on the CPU. The candidate gate is a logistic, not a tanh. The backward pass
// recomputes the gates from the sub-layers' stored per-step sums.
#include "gru_layer.h"

#include "activation_functions.h"
#include "connected_layer.h"
#include "layer.h"
#include "rnn_layer.h"
#include "utils.h"
#include "vector_primitives.h"

#include <cstdlib>

namespace {

float *zeros(size_t n) { return (float *)xcalloc(n, sizeof(float)); }

void gate_at_step(const layer *in, const layer *st, int t, int n, float *gate)
{
    copy_cpu(n, sublayer_at_step(in, t).output, gate);
    axpy_cpu(n, 1, sublayer_at_step(st, t).output, 1, gate, 1);
    activate_array(gate, n, LOGISTIC);
}

} // namespace

layer parse_gru(list *options, size_params params)
{
    const int output = option_find_int(options, "output", 1);
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    layer l = make_gru_layer(params.batch, params.inputs, output, params.time_steps, batch_normalize);
    l.train = params.train;
    return l;
}

layer make_gru_layer(int batch, int inputs, int outputs, int steps, int batch_normalize)
{
    fprintf(stderr, "GRU Layer: %d inputs, %d outputs\n", inputs, outputs);
    batch /= steps;
    layer l = {};
    l.type = GRU;
    l.batch = batch;
    l.steps = steps;
    l.inputs = inputs;
    l.outputs = outputs;
    l.h = l.w = 1;
    l.c = inputs;
    l.out_h = l.out_w = 1;
    l.out_c = outputs;
    l.batch_normalize = batch_normalize;
    l.learning_rate_scale = 1;

    layer **subs[] = {&l.input_z_layer, &l.state_z_layer, &l.input_r_layer,
                      &l.state_r_layer, &l.input_h_layer, &l.state_h_layer};
    for (int k = 0; k < 6; ++k) {
        fprintf(stderr, "\t\t");
        *subs[k] = own_sublayer(
            make_connected_layer(batch, steps, k % 2 ? outputs : inputs, outputs, LINEAR, batch_normalize));
        l.bflops += (*subs[k])->bflops;
    }

    const size_t n = (size_t)batch * outputs;
    l.output = zeros(n * steps);
    l.delta = zeros(n * steps);
    for (float **p : {&l.state, &l.prev_state, &l.forgot_state, &l.z_cpu, &l.r_cpu, &l.h_cpu, &l.temp_cpu,
                      &l.temp2_cpu, &l.temp3_cpu})
        *p = zeros(n);

    l.forward = forward_gru_layer;
    l.backward = backward_gru_layer;
    l.update = update_gru_layer;
    return l;
}

void forward_gru_layer(layer l, network_state state)
{
    network_state s = state;
    const int n = l.outputs * l.batch;
    if (state.train) {
        for (layer *sub : {l.input_z_layer, l.state_z_layer, l.input_r_layer, l.state_r_layer, l.input_h_layer,
                           l.state_h_layer})
            fill_cpu(n * l.steps, 0, sub->delta, 1);
        fill_cpu(n * l.steps, 0, l.delta, 1);
        copy_cpu(n, l.state, l.prev_state);
    }
    for (int t = 0; t < l.steps; ++t) {
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        forward_sublayer_at_step(l.state_z_layer, t, l.state, s);
        forward_sublayer_at_step(l.state_r_layer, t, l.state, s);
        forward_sublayer_at_step(l.input_z_layer, t, x, s);
        forward_sublayer_at_step(l.input_r_layer, t, x, s);
        forward_sublayer_at_step(l.input_h_layer, t, x, s);

        gate_at_step(l.input_z_layer, l.state_z_layer, t, n, l.z_cpu);
        gate_at_step(l.input_r_layer, l.state_r_layer, t, n, l.r_cpu);

        copy_cpu(n, l.state, l.forgot_state);
        mul_cpu(n, l.r_cpu, l.forgot_state);
        forward_sublayer_at_step(l.state_h_layer, t, l.forgot_state, s);
        gate_at_step(l.input_h_layer, l.state_h_layer, t, n, l.h_cpu);

        float *out = l.output + (size_t)t * n;
        weighted_sum_cpu(l.state, l.h_cpu, l.z_cpu, n, out);
        copy_cpu(n, out, l.state);
    }
}

void backward_gru_layer(layer l, network_state state)
{
    network_state s = state;
    const int n = l.outputs * l.batch;
    float *dforgot = l.temp3_cpu;
    for (int t = l.steps - 1; t >= 0; --t) {
        float *prev = t > 0 ? l.output + (size_t)(t - 1) * n : l.prev_state;
        float *dprev = t > 0 ? l.delta + (size_t)(t - 1) * n : nullptr;
        const float *dout = l.delta + (size_t)t * n;
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        float *dx = state.delta ? state.delta + (size_t)t * l.inputs * l.batch : nullptr;

        gate_at_step(l.input_z_layer, l.state_z_layer, t, n, l.z_cpu);
        gate_at_step(l.input_r_layer, l.state_r_layer, t, n, l.r_cpu);
        gate_at_step(l.input_h_layer, l.state_h_layer, t, n, l.h_cpu);
        copy_cpu(n, prev, l.forgot_state);
        mul_cpu(n, l.r_cpu, l.forgot_state);

        // Candidate: dh = dout · (1 − z) · σ'(h).
        for (int k = 0; k < n; ++k) l.temp_cpu[k] = dout[k] * (1 - l.z_cpu[k]);
        gradient_array(l.h_cpu, n, LOGISTIC, l.temp_cpu);
        copy_cpu(n, l.temp_cpu, sublayer_at_step(l.input_h_layer, t).delta);
        copy_cpu(n, l.temp_cpu, sublayer_at_step(l.state_h_layer, t).delta);
        fill_cpu(n, 0, dforgot, 1);
        backward_sublayer_at_step(l.state_h_layer, t, l.forgot_state, dforgot, s);
        backward_sublayer_at_step(l.input_h_layer, t, x, dx, s);

        // Update gate: dz = dout · (prev − h) · σ'(z).
        for (int k = 0; k < n; ++k) l.temp_cpu[k] = dout[k] * (prev[k] - l.h_cpu[k]);
        gradient_array(l.z_cpu, n, LOGISTIC, l.temp_cpu);
        // Reset gate: dr = dforgot · prev · σ'(r).
        for (int k = 0; k < n; ++k) l.temp2_cpu[k] = dforgot[k] * prev[k];
        gradient_array(l.r_cpu, n, LOGISTIC, l.temp2_cpu);

        // The direct paths to the previous state, before its sub-layers add theirs.
        if (dprev)
            for (int k = 0; k < n; ++k) dprev[k] += dout[k] * l.z_cpu[k] + dforgot[k] * l.r_cpu[k];

        copy_cpu(n, l.temp_cpu, sublayer_at_step(l.input_z_layer, t).delta);
        copy_cpu(n, l.temp_cpu, sublayer_at_step(l.state_z_layer, t).delta);
        copy_cpu(n, l.temp2_cpu, sublayer_at_step(l.input_r_layer, t).delta);
        copy_cpu(n, l.temp2_cpu, sublayer_at_step(l.state_r_layer, t).delta);
        backward_sublayer_at_step(l.state_z_layer, t, prev, dprev, s);
        backward_sublayer_at_step(l.state_r_layer, t, prev, dprev, s);
        backward_sublayer_at_step(l.input_z_layer, t, x, dx, s);
        backward_sublayer_at_step(l.input_r_layer, t, x, dx, s);
    }
}

void update_gru_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    for (layer *sub : {l.input_z_layer, l.input_r_layer, l.input_h_layer, l.state_z_layer, l.state_r_layer,
                       l.state_h_layer})
        sub->update(*sub, batch, learning_rate, momentum, decay);
}

void free_gru_arrays(layer *l)
{
    for (layer **sub : {&l->input_z_layer, &l->state_z_layer, &l->input_r_layer, &l->state_r_layer,
                        &l->input_h_layer, &l->state_h_layer}) {
        free_sublayer(*sub);
        *sub = nullptr;
    }
    for (float **p : {&l->state, &l->prev_state, &l->forgot_state, &l->z_cpu, &l->r_cpu, &l->h_cpu, &l->temp_cpu,
                      &l->temp2_cpu, &l->temp3_cpu}) {
        free(*p);
        *p = nullptr;
    }
}
