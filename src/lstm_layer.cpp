// The LSTM layer on the CPU. The gate sub-layers keep every step's pre-activation sums and the
// layer keeps every step's cell, so the backward pass recomputes the gates instead of storing them.
#include "lstm_layer.h"

#include "activation_functions.h"
#include "connected_layer.h"
#include "layer.h"
#include "rnn_layer.h"
#include "utils.h"
#include "vector_primitives.h"

#include <cstdlib>

namespace {

float *zeros(size_t n) { return (float *)xcalloc(n, sizeof(float)); }

// gate = activation(w(h) + u(x)) at step t.
void gate_at_step(const layer *w, const layer *u, int t, int n, ACTIVATION a, float *gate)
{
    copy_cpu(n, sublayer_at_step(w, t).output, gate);
    axpy_cpu(n, 1, sublayer_at_step(u, t).output, 1, gate, 1);
    activate_array(gate, n, a);
}

} // namespace

layer parse_lstm(list *options, size_params params)
{
    const int output = option_find_int(options, "output", 1);
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    layer l = make_lstm_layer(params.batch, params.inputs, output, params.time_steps, batch_normalize);
    l.train = params.train;
    return l;
}

layer make_lstm_layer(int batch, int inputs, int outputs, int steps, int batch_normalize)
{
    fprintf(stderr, "LSTM Layer: %d inputs, %d outputs\n", inputs, outputs);
    batch /= steps;
    layer l = {};
    l.type = LSTM;
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

    layer **subs[] = {&l.uf, &l.ui, &l.ug, &l.uo, &l.wf, &l.wi, &l.wg, &l.wo};
    for (int k = 0; k < 8; ++k) {
        fprintf(stderr, "\t\t");
        *subs[k] = own_sublayer(make_connected_layer(batch, steps, k < 4 ? inputs : outputs, outputs, LINEAR,
                                                     batch_normalize));
        l.bflops += (*subs[k])->bflops;
    }

    const size_t n = (size_t)batch * outputs;
    l.output = zeros(n * steps);
    l.delta = zeros(n * steps);
    l.cell_cpu = zeros(n * steps);
    for (float **p : {&l.c_cpu, &l.h_cpu, &l.prev_cell, &l.prev_state, &l.f_cpu, &l.i_cpu, &l.g_cpu, &l.o_cpu,
                      &l.temp_cpu, &l.temp2_cpu, &l.dc_cpu, &l.dh_cpu})
        *p = zeros(n);

    l.forward = forward_lstm_layer;
    l.backward = backward_lstm_layer;
    l.update = update_lstm_layer;
    return l;
}

void forward_lstm_layer(layer l, network_state state)
{
    network_state s = state;
    const int n = l.outputs * l.batch;
    layer *const subs[] = {l.uf, l.ui, l.ug, l.uo, l.wf, l.wi, l.wg, l.wo};
    if (state.train) {
        for (layer *sub : subs) fill_cpu(n * l.steps, 0, sub->delta, 1);
        fill_cpu(n * l.steps, 0, l.delta, 1);
        copy_cpu(n, l.c_cpu, l.prev_cell);
        copy_cpu(n, l.h_cpu, l.prev_state);
    }
    for (int t = 0; t < l.steps; ++t) {
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        for (layer *w : {l.wf, l.wi, l.wg, l.wo}) forward_sublayer_at_step(w, t, l.h_cpu, s);
        for (layer *u : {l.uf, l.ui, l.ug, l.uo}) forward_sublayer_at_step(u, t, x, s);

        gate_at_step(l.wf, l.uf, t, n, LOGISTIC, l.f_cpu);
        gate_at_step(l.wi, l.ui, t, n, LOGISTIC, l.i_cpu);
        gate_at_step(l.wg, l.ug, t, n, TANH, l.g_cpu);
        gate_at_step(l.wo, l.uo, t, n, LOGISTIC, l.o_cpu);

        mul_cpu(n, l.f_cpu, l.c_cpu);
        copy_cpu(n, l.i_cpu, l.temp_cpu);
        mul_cpu(n, l.g_cpu, l.temp_cpu);
        axpy_cpu(n, 1, l.temp_cpu, 1, l.c_cpu, 1);

        copy_cpu(n, l.c_cpu, l.h_cpu);
        activate_array(l.h_cpu, n, TANH);
        mul_cpu(n, l.o_cpu, l.h_cpu);

        copy_cpu(n, l.c_cpu, l.cell_cpu + (size_t)t * n);
        copy_cpu(n, l.h_cpu, l.output + (size_t)t * n);
    }
}

void backward_lstm_layer(layer l, network_state state)
{
    network_state s = state;
    const int n = l.outputs * l.batch;
    fill_cpu(n, 0, l.dc_cpu, 1);
    for (int t = l.steps - 1; t >= 0; --t) {
        const float *c = l.cell_cpu + (size_t)t * n;
        float *c_prev = t > 0 ? l.cell_cpu + (size_t)(t - 1) * n : l.prev_cell;
        float *h_prev = t > 0 ? l.output + (size_t)(t - 1) * n : l.prev_state;
        float *dh_prev = t > 0 ? l.delta + (size_t)(t - 1) * n : nullptr;
        const float *dh = l.delta + (size_t)t * n;

        gate_at_step(l.wf, l.uf, t, n, LOGISTIC, l.f_cpu);
        gate_at_step(l.wi, l.ui, t, n, LOGISTIC, l.i_cpu);
        gate_at_step(l.wg, l.ug, t, n, TANH, l.g_cpu);
        gate_at_step(l.wo, l.uo, t, n, LOGISTIC, l.o_cpu);

        // temp = tanh(c); dc += dh · o · tanh'(tanh(c))
        copy_cpu(n, c, l.temp_cpu);
        activate_array(l.temp_cpu, n, TANH);
        copy_cpu(n, dh, l.temp2_cpu);
        mul_cpu(n, l.o_cpu, l.temp2_cpu);
        gradient_array(l.temp_cpu, n, TANH, l.temp2_cpu);
        axpy_cpu(n, 1, l.temp2_cpu, 1, l.dc_cpu, 1);

        // Gate deltas: do = dh · tanh(c) · σ'(o), df = dc · c_prev · σ'(f), di = dc · g · σ'(i),
        // dg = dc · i · tanh'(g); each goes to both sub-layers of its gate.
        struct gate_delta {
            layer *w, *u;
            const float *a, *b;  // the factors of the gate's delta before its own derivative
            const float *gate;
            ACTIVATION act;
        } const gates[] = {
            {l.wo, l.uo, dh, l.temp_cpu, l.o_cpu, LOGISTIC},
            {l.wf, l.uf, l.dc_cpu, c_prev, l.f_cpu, LOGISTIC},
            {l.wi, l.ui, l.dc_cpu, l.g_cpu, l.i_cpu, LOGISTIC},
            {l.wg, l.ug, l.dc_cpu, l.i_cpu, l.g_cpu, TANH},
        };
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        float *dx = state.delta ? state.delta + (size_t)t * l.inputs * l.batch : nullptr;
        for (const gate_delta &g : gates) {
            copy_cpu(n, g.a, l.temp2_cpu);
            mul_cpu(n, g.b, l.temp2_cpu);
            gradient_array(g.gate, n, g.act, l.temp2_cpu);
            copy_cpu(n, l.temp2_cpu, sublayer_at_step(g.w, t).delta);
            copy_cpu(n, l.temp2_cpu, sublayer_at_step(g.u, t).delta);
            backward_sublayer_at_step(g.w, t, h_prev, dh_prev, s);
            backward_sublayer_at_step(g.u, t, x, dx, s);
        }
        // The cell gradient carried to the previous step.
        mul_cpu(n, l.f_cpu, l.dc_cpu);
    }
}

void update_lstm_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    for (layer *sub : {l.wf, l.wi, l.wg, l.wo, l.uf, l.ui, l.ug, l.uo})
        sub->update(*sub, batch, learning_rate, momentum, decay);
}

void free_lstm_arrays(layer *l)
{
    for (layer **sub : {&l->uf, &l->ui, &l->ug, &l->uo, &l->wf, &l->wi, &l->wg, &l->wo}) {
        free_sublayer(*sub);
        *sub = nullptr;
    }
    for (float **p : {&l->c_cpu, &l->h_cpu, &l->prev_cell, &l->prev_state, &l->f_cpu, &l->i_cpu, &l->g_cpu, &l->o_cpu,
                      &l->temp_cpu, &l->temp2_cpu, &l->dc_cpu, &l->dh_cpu, &l->cell_cpu}) {
        free(*p);
        *p = nullptr;
    }
}
