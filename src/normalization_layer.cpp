// Local response normalisation on the CPU. The window sums are built as a running sum along the
// channels: each channel's norms start from the previous channel's, drop the square leaving the
// window and add the square entering it.
#include "normalization_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

void allocate_buffers(layer &l)
{
    const size_t n = (size_t)l.h * l.w * l.c * l.batch;
    l.output = (float *)xrealloc(l.output, n * sizeof(float));
    l.delta = (float *)xrealloc(l.delta, n * sizeof(float));
    l.squared = (float *)xrealloc(l.squared, n * sizeof(float));
    l.norms = (float *)xrealloc(l.norms, n * sizeof(float));
    std::fill(l.output, l.output + n, 0.f);
    std::fill(l.delta, l.delta + n, 0.f);
    std::fill(l.squared, l.squared + n, 0.f);
    std::fill(l.norms, l.norms + n, 0.f);
}

} // namespace

layer make_normalization_layer(int batch, int w, int h, int c, int size, float alpha, float beta, float kappa)
{
    fprintf(stderr, "Local Response Normalization Layer: %d x %d x %d image, %d size\n", w, h, c, size);
    layer l = {};
    l.type = NORMALIZATION;
    l.batch = batch;
    l.h = l.out_h = h;
    l.w = l.out_w = w;
    l.c = l.out_c = c;
    l.kappa = kappa;
    l.size = size;
    l.alpha = alpha;
    l.beta = beta;
    l.inputs = l.outputs = w * h * c;
    allocate_buffers(l);
    l.forward = forward_normalization_layer;
    l.backward = backward_normalization_layer;
    return l;
}

layer parse_normalization(list *options, size_params params)
{
    const float alpha = option_find_float(options, "alpha", .0001f);
    const float beta = option_find_float(options, "beta", .75f);
    const float kappa = option_find_float(options, "kappa", 1);
    const int size = option_find_int(options, "size", 5);
    layer l = make_normalization_layer(params.batch, params.w, params.h, params.c, size, alpha, beta, kappa);
    l.train = params.train;
    return l;
}

void resize_normalization_layer(layer *l, int w, int h)
{
    l->h = l->out_h = h;
    l->w = l->out_w = w;
    l->inputs = l->outputs = w * h * l->c;
    allocate_buffers(*l);
}

void forward_normalization_layer(layer l, network_state state)
{
    const int S = l.w * l.h;
    const int per_image = S * l.c;
    // The first window may reach past the last channel when there are few channels.
    const int first_window = std::min(l.size / 2, l.c);
    for (int b = 0; b < l.batch; ++b) {
        const float *input = state.input + (size_t)per_image * b;
        float *squared = l.squared + (size_t)per_image * b;
        float *norms = l.norms + (size_t)per_image * b;
        for (int i = 0; i < per_image; ++i) squared[i] = input[i] * input[i];
        fill_cpu(S, l.kappa, norms, 1);
        for (int k = 0; k < first_window; ++k) axpy_cpu(S, l.alpha, squared + S * k, 1, norms, 1);
        for (int k = 1; k < l.c; ++k) {
            copy_cpu(S, norms + S * (k - 1), norms + S * k);
            const int leaving = k - (l.size - 1) / 2 - 1;
            const int entering = k + l.size / 2;
            if (leaving >= 0) axpy_cpu(S, -l.alpha, squared + S * leaving, 1, norms + S * k, 1);
            if (entering < l.c) axpy_cpu(S, l.alpha, squared + S * entering, 1, norms + S * k, 1);
        }
    }
    const size_t n = (size_t)per_image * l.batch;
    for (size_t i = 0; i < n; ++i) l.output[i] = powf(l.norms[i], -l.beta) * state.input[i];
}

void backward_normalization_layer(layer l, network_state state)
{
    // The dependence of the norms on the input is left out.
    if (!state.delta) return;
    const size_t n = (size_t)l.w * l.h * l.c * l.batch;
    for (size_t i = 0; i < n; ++i) state.delta[i] = powf(l.norms[i], -l.beta) * l.delta[i];
}

void free_normalization_arrays(layer *l)
{
    free(l->squared);
    free(l->norms);
    l->squared = nullptr;
    l->norms = nullptr;
}
