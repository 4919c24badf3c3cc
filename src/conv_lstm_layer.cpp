// The convolutional LSTM on the CPU. Every step's cell is kept so that the backward pass can
// recompute the gates from the sub-layers' stored per-step sums.
#include "conv_lstm_layer.h"

#include "activation_functions.h"
#include "convolutional_layer.h"
#include "layer.h"
#include "rnn_layer.h"
#include "utils.h"
#include "vector_primitives.h"

#include <array>
#include <cmath>
#include <cstdlib>

namespace {

layer *make_gate(const layer &l, int h, int w, int c)
{
    fprintf(stderr, "\t\t");
    return own_sublayer(make_convolutional_layer(l.batch, l.steps, h, w, c, l.out_c, l.groups, l.size, l.stride,
                                                 l.stride, l.dilation, l.pad, LINEAR, l.batch_normalize, 0, l.xnor, 0,
                                                 0, 0, 0, nullptr, 0, 0, l.train));
}

// The sub-layers in weights-file order; absent ones are null.
int stored_sublayers(const layer &l, layer **out)
{
    int n = 0;
    for (layer *s : {l.vf, l.vi, l.vo, l.wf, l.wi, l.wg, l.wo, l.uf, l.ui, l.ug, l.uo})
        if (s) out[n++] = s;
    return n;
}

float *state_array(const layer &l) { return (float *)xcalloc((size_t)l.batch * l.outputs, sizeof(float)); }

// The per-image state and scratch arrays (batch · outputs values each).
std::array<float **, 14> state_arrays(layer &l)
{
    return {&l.c_cpu, &l.h_cpu,    &l.prev_cell, &l.prev_state, &l.f_cpu,  &l.i_cpu,        &l.g_cpu,
            &l.o_cpu, &l.temp_cpu, &l.temp2_cpu, &l.temp3_cpu,  &l.dc_cpu, &l.stored_c_cpu, &l.stored_h_cpu};
}

void allocate_state(layer &l)
{
    for (float **p : state_arrays(l)) {
        free(*p);
        *p = state_array(l);
    }
    free(l.cell_cpu);
    free(l.output);
    free(l.delta);
    const size_t all = (size_t)l.batch * l.steps * l.outputs;
    l.cell_cpu = (float *)xcalloc(all, sizeof(float));
    l.output = (float *)xcalloc(all, sizeof(float));
    l.delta = l.train ? (float *)xcalloc(all, sizeof(float)) : nullptr;
}

void take_sublayer_shapes(layer &l)
{
    l.out_h = l.uf->out_h;
    l.out_w = l.uf->out_w;
    l.outputs = l.uf->outputs;
    l.inputs = l.h * l.w * l.c;
    layer *subs[11];
    const int n = stored_sublayers(l, subs);
    l.workspace_size = largest_workspace(subs, n);
    l.bflops = 0;
    for (int k = 0; k < n; ++k) l.bflops += subs[k]->bflops;
}

// gate = activation(w(h) + u(x) [+ v(cell)]) at step t.
void gate_at_step(const layer *w, const layer *u, const layer *v, int t, int n, ACTIVATION a, float *gate)
{
    copy_cpu(n, sublayer_at_step(w, t).output, gate);
    axpy_cpu(n, 1, sublayer_at_step(u, t).output, 1, gate, 1);
    if (v) axpy_cpu(n, 1, sublayer_at_step(v, t).output, 1, gate, 1);
    activate_array(gate, n, a);
}

} // namespace

layer parse_conv_lstm(list *options, size_params params)
{
    const int size = option_find_int_quiet(options, "size", 3);
    const int stride = option_find_int_quiet(options, "stride", 1);
    const int dilation = option_find_int_quiet(options, "dilation", 1);
    const int pad = option_find_int_quiet(options, "pad", 0);
    int padding = option_find_int_quiet(options, "padding", 0);
    if (pad) padding = size / 2;
    const int output_filters = option_find_int(options, "output", 1);
    const int groups = option_find_int_quiet(options, "groups", 1);
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "linear"));
    const int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    const int xnor = option_find_int_quiet(options, "xnor", 0);
    const int peephole = option_find_int_quiet(options, "peephole", 0);
    const int bottleneck = option_find_int_quiet(options, "bottleneck", 0);
#ifndef QUILLON_GPU
    if (bottleneck) quillon_error("[conv_lstm] bottleneck=1 runs only on the GPU; this build has none");
#endif
    layer l = make_conv_lstm_layer(params.batch, params.h, params.w, params.c, output_filters, groups,
                                   params.time_steps, size, stride, dilation, padding, activation, batch_normalize,
                                   peephole, xnor, bottleneck, params.train);
    l.state_constrain = option_find_int_quiet(options, "state_constrain", params.time_steps * 32);
    l.shortcut = option_find_int_quiet(options, "shortcut", 0);
    l.lstm_activation = activation_from_string(option_find_str(options, "lstm_activation", "tanh"));
    l.time_normalizer = option_find_float_quiet(options, "time_normalizer", 1);
    return l;
}

layer make_conv_lstm_layer(int batch, int h, int w, int c, int output_filters, int groups, int steps, int size,
                           int stride, int dilation, int pad, ACTIVATION activation, int batch_normalize, int peephole,
                           int xnor, int bottleneck, int train)
{
    fprintf(stderr, "CONV_LSTM Layer: %d x %d x %d image, %d filters\n", h, w, c, output_filters);
    layer l = {};
    l.type = CONV_LSTM;
    l.train = train;
    l.batch = batch / steps;
    l.steps = steps;
    l.h = h;
    l.w = w;
    l.c = c;
    l.out_c = l.n = output_filters;
    l.groups = groups;
    l.size = size;
    l.stride = l.stride_x = l.stride_y = stride;
    l.dilation = dilation;
    l.pad = pad;
    l.xnor = xnor;
    l.peephole = peephole;
    l.bottleneck = bottleneck;
    l.activation = activation;
    l.lstm_activation = TANH;
    l.time_normalizer = 1;
    l.batch_normalize = batch_normalize;
    l.learning_rate_scale = 1;

    for (layer **u : {&l.uf, &l.ui, &l.ug, &l.uo}) *u = make_gate(l, h, w, c);
    const int sh = l.uf->out_h, sw = l.uf->out_w;
    if (bottleneck) {
        l.wf = make_gate(l, sh, sw, 2 * output_filters);
    } else {
        for (layer **s : {&l.wf, &l.wi, &l.wg, &l.wo}) *s = make_gate(l, sh, sw, output_filters);
    }
    if (peephole)
        for (layer **v : {&l.vf, &l.vi, &l.vo}) *v = make_gate(l, sh, sw, output_filters);
    take_sublayer_shapes(l);
    allocate_state(l);

    l.forward = forward_conv_lstm_layer;
    l.backward = backward_conv_lstm_layer;
    l.update = update_conv_lstm_layer;
    return l;
}

void forward_conv_lstm_layer(layer l, network_state state)
{
    if (l.bottleneck) quillon_error("[conv_lstm] bottleneck=1 runs only on the GPU");
    network_state s = state;
    const int n = l.outputs * l.batch;
    const ACTIVATION act = l.lstm_activation;
    if (state.train) {
        layer *subs[11];
        const int count = stored_sublayers(l, subs);
        for (int k = 0; k < count; ++k) fill_cpu(n * l.steps, 0, subs[k]->delta, 1);
        fill_cpu(n * l.steps, 0, l.delta, 1);
        copy_cpu(n, l.c_cpu, l.prev_cell);
        copy_cpu(n, l.h_cpu, l.prev_state);
    }
    for (int t = 0; t < l.steps; ++t) {
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        for (layer *w : {l.wf, l.wi, l.wg, l.wo}) forward_sublayer_at_step(w, t, l.h_cpu, s);
        for (layer *u : {l.uf, l.ui, l.ug, l.uo}) forward_sublayer_at_step(u, t, x, s);
        if (l.peephole) {
            forward_sublayer_at_step(l.vf, t, l.c_cpu, s);
            forward_sublayer_at_step(l.vi, t, l.c_cpu, s);
        }
        gate_at_step(l.wf, l.uf, l.vf, t, n, LOGISTIC, l.f_cpu);
        gate_at_step(l.wi, l.ui, l.vi, t, n, LOGISTIC, l.i_cpu);
        gate_at_step(l.wg, l.ug, nullptr, t, n, act, l.g_cpu);

        mul_cpu(n, l.f_cpu, l.c_cpu);
        copy_cpu(n, l.i_cpu, l.temp_cpu);
        mul_cpu(n, l.g_cpu, l.temp_cpu);
        axpy_cpu(n, 1, l.temp_cpu, 1, l.c_cpu, 1);

        if (l.peephole) forward_sublayer_at_step(l.vo, t, l.c_cpu, s);
        gate_at_step(l.wo, l.uo, l.vo, t, n, LOGISTIC, l.o_cpu);

        copy_cpu(n, l.c_cpu, l.h_cpu);
        activate_array(l.h_cpu, n, act);
        mul_cpu(n, l.o_cpu, l.h_cpu);

        if (l.state_constrain)
            for (int k = 0; k < n; ++k)
                l.c_cpu[k] = fminf(fmaxf(l.c_cpu[k], (float)-l.state_constrain), (float)l.state_constrain);
        // A diverged value is replaced by a small one so that the next steps stay finite (index 0,
        // where 1/k has no value, gets 1).
        for (float *a : {l.c_cpu, l.h_cpu})
            for (int k = 0; k < n; ++k)
                if (!std::isfinite(a[k])) a[k] = k ? 1.f / k : 1.f;

        copy_cpu(n, l.c_cpu, l.cell_cpu + (size_t)t * n);
        copy_cpu(n, l.h_cpu, l.output + (size_t)t * n);
    }
}

void backward_conv_lstm_layer(layer l, network_state state)
{
    network_state s = state;
    const int n = l.outputs * l.batch;
    const ACTIVATION act = l.lstm_activation;
    fill_cpu(n, 0, l.dc_cpu, 1);
    for (int t = l.steps - 1; t >= 0; --t) {
        float *c = l.cell_cpu + (size_t)t * n;
        float *c_prev = t > 0 ? l.cell_cpu + (size_t)(t - 1) * n : l.prev_cell;
        float *h_prev = t > 0 ? l.output + (size_t)(t - 1) * n : l.prev_state;
        float *dh_prev = t > 0 ? l.delta + (size_t)(t - 1) * n : nullptr;
        const float *dh = l.delta + (size_t)t * n;
        float *x = state.input + (size_t)t * l.inputs * l.batch;
        float *dx = state.delta ? state.delta + (size_t)t * l.inputs * l.batch : nullptr;

        gate_at_step(l.wf, l.uf, l.vf, t, n, LOGISTIC, l.f_cpu);
        gate_at_step(l.wi, l.ui, l.vi, t, n, LOGISTIC, l.i_cpu);
        gate_at_step(l.wg, l.ug, nullptr, t, n, act, l.g_cpu);
        gate_at_step(l.wo, l.uo, l.vo, t, n, LOGISTIC, l.o_cpu);

        // temp = act(c); dc += dh · o · act'(act(c))
        copy_cpu(n, c, l.temp_cpu);
        activate_array(l.temp_cpu, n, act);
        copy_cpu(n, dh, l.temp2_cpu);
        mul_cpu(n, l.o_cpu, l.temp2_cpu);
        gradient_array(l.temp_cpu, n, act, l.temp2_cpu);
        axpy_cpu(n, 1, l.temp2_cpu, 1, l.dc_cpu, 1);

        // The hidden-state gradient for the previous step is gathered here and scaled once.
        float *dh_carried = l.temp3_cpu;
        fill_cpu(n, 0, dh_carried, 1);
        auto run_gate = [&](layer *w, layer *u, layer *v, const float *a, const float *b, const float *gate,
                            ACTIVATION ga, float *v_input, float *v_delta) {
            copy_cpu(n, a, l.temp2_cpu);
            mul_cpu(n, b, l.temp2_cpu);
            gradient_array(gate, n, ga, l.temp2_cpu);
            for (layer *sub : {w, u, v})
                if (sub) copy_cpu(n, l.temp2_cpu, sublayer_at_step(sub, t).delta);
            backward_sublayer_at_step(w, t, h_prev, dh_prev ? dh_carried : nullptr, s);
            backward_sublayer_at_step(u, t, x, dx, s);
            if (v) backward_sublayer_at_step(v, t, v_input, v_delta, s);
        };
        // The output gate's peephole reads the new cell: its gradient joins dc before dc is used.
        run_gate(l.wo, l.uo, l.vo, dh, l.temp_cpu, l.o_cpu, LOGISTIC, c, l.dc_cpu);
        // The cell gradient for the previous step: dc · f plus what the peepholes on c_prev add.
        float *dc_prev = l.temp_cpu;
        copy_cpu(n, l.dc_cpu, dc_prev);
        mul_cpu(n, l.f_cpu, dc_prev);
        run_gate(l.wf, l.uf, l.vf, l.dc_cpu, c_prev, l.f_cpu, LOGISTIC, c_prev, dc_prev);
        run_gate(l.wi, l.ui, l.vi, l.dc_cpu, l.g_cpu, l.i_cpu, LOGISTIC, c_prev, dc_prev);
        run_gate(l.wg, l.ug, nullptr, l.dc_cpu, l.i_cpu, l.g_cpu, act, nullptr, nullptr);

        copy_cpu(n, dc_prev, l.dc_cpu);
        scal_cpu(n, l.time_normalizer, l.dc_cpu, 1);
        if (dh_prev) axpy_cpu(n, l.time_normalizer, dh_carried, 1, dh_prev, 1);
    }
}

void update_conv_lstm_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    layer *subs[11];
    const int n = stored_sublayers(l, subs);
    for (int k = 0; k < n; ++k) subs[k]->update(*subs[k], batch, learning_rate, momentum, decay);
}

void resize_conv_lstm_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    for (layer *u : {l->uf, l->ui, l->ug, l->uo}) resize_convolutional_layer(u, w, h);
    for (layer *s : {l->wf, l->wi, l->wg, l->wo, l->vf, l->vi, l->vo})
        if (s) resize_convolutional_layer(s, l->uf->out_w, l->uf->out_h);
    take_sublayer_shapes(*l);
    allocate_state(*l);
}

void free_conv_lstm_arrays(layer *l)
{
    for (layer **sub : {&l->vf, &l->vi, &l->vo, &l->wf, &l->wi, &l->wg, &l->wo, &l->uf, &l->ui, &l->ug, &l->uo}) {
        free_sublayer(*sub);
        *sub = nullptr;
    }
    for (float **p : state_arrays(*l)) {
        free(*p);
        *p = nullptr;
    }
    free(l->cell_cpu);
    l->cell_cpu = nullptr;
}

void load_conv_lstm_weights(layer l, FILE *fp)
{
    layer *subs[11];
    const int n = stored_sublayers(l, subs);
    for (int k = 0; k < n; ++k) load_convolutional_weights(*subs[k], fp);
}

void save_conv_lstm_weights(layer l, FILE *fp)
{
    layer *subs[11];
    const int n = stored_sublayers(l, subs);
    for (int k = 0; k < n; ++k) save_convolutional_weights(*subs[k], fp);
}
