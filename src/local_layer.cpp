// The locally connected layer on the CPU: the input is unfolded once per image, then every output
// position multiplies its own column by its own (n x c·size·size) filter bank.
#include "local_layer.h"

#include "activation_functions.h"
#include "gemm.h"
#include "image_to_column.h"
#include "utils.h"
#include "vector_primitives.h"
#include "weights.h"

#include <cmath>
#include <cstdlib>

namespace {

int local_out_size(int in, int size, int stride, int pad)
{
    return (pad ? in - 1 : in - size) / stride + 1;
}

size_t weight_count(const layer &l)
{
    return (size_t)l.out_h * l.out_w * l.c * l.n * l.size * l.size;
}

} // namespace

layer make_local_layer(int batch, int h, int w, int c, int n, int size, int stride, int pad, ACTIVATION activation)
{
    layer l = {};
    l.type = LOCAL;
    l.h = h;
    l.w = w;
    l.c = c;
    l.n = n;
    l.batch = batch;
    l.stride = stride;
    l.size = size;
    l.pad = pad;
    l.activation = activation;
    if (size < 1 || stride < 1 || n < 1) quillon_error("Local layer needs filters, size and stride of at least 1");
    l.out_h = local_out_size(h, size, stride, pad);
    l.out_w = local_out_size(w, size, stride, pad);
    // The unfolding pads by pad on each side; its grid must be the layer's output grid, or it would
    // write past the column buffer or leave part of it stale.
    if (l.out_h < 1 || l.out_w < 1 || (h + 2 * pad - size) / stride + 1 != l.out_h ||
        (w + 2 * pad - size) / stride + 1 != l.out_w) {
        fprintf(stderr, "Local layer: size %d, stride %d and pad %d do not fit a %d x %d input\n", size, stride, pad,
                h, w);
        quillon_error("Local layer geometry does not fit its input");
    }
    l.out_c = n;
    const int locations = l.out_h * l.out_w;
    l.outputs = locations * n;
    l.inputs = l.w * l.h * l.c;

    const size_t count = weight_count(l);
    l.weights = (float *)xcalloc(count, sizeof(float));
    l.weight_updates = (float *)xcalloc(count, sizeof(float));
    l.biases = (float *)xcalloc(l.outputs, sizeof(float));
    l.bias_updates = (float *)xcalloc(l.outputs, sizeof(float));
    // Only the first location's bank starts random; the others start at zero.
    const float scale = sqrtf(2.f / (size * size * c));
    for (int i = 0; i < c * n * size * size; ++i) l.weights[i] = scale * random_uniform(-1, 1);

    l.col_image = (float *)xcalloc((size_t)locations * size * size * c, sizeof(float));
    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.forward = forward_local_layer;
    l.backward = backward_local_layer;
    l.update = update_local_layer;
    fprintf(stderr, "Local Layer: %d x %d x %d image, %d filters -> %d x %d x %d image\n", h, w, c, n, l.out_h,
            l.out_w, n);
    return l;
}

layer parse_local(list *options, size_params params)
{
    const int n = option_find_int(options, "filters", 1);
    const int size = option_find_int(options, "size", 1);
    const int stride = option_find_int(options, "stride", 1);
    const int pad = option_find_int(options, "pad", 0);
    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "logistic"));
    if (!(params.h && params.w && params.c)) quillon_error("Layer before local layer must output image.");
    layer l = make_local_layer(params.batch, params.h, params.w, params.c, n, size, stride, pad, activation);
    l.train = params.train;
    return l;
}

void forward_local_layer(layer l, network_state state)
{
    const int locations = l.out_h * l.out_w;
    const int k = l.size * l.size * l.c;
    for (int b = 0; b < l.batch; ++b) copy_cpu(l.outputs, l.biases, l.output + (size_t)b * l.outputs);
    for (int b = 0; b < l.batch; ++b) {
        im2col_cpu(state.input + (size_t)b * l.inputs, l.c, l.h, l.w, l.size, l.stride, l.pad, l.col_image);
        float *output = l.output + (size_t)b * l.outputs;
        for (int j = 0; j < locations; ++j)
            gemm_cpu(0, 0, l.n, 1, k, 1, l.weights + (size_t)j * k * l.n, k, l.col_image + j, locations, 1,
                     output + j, locations);
    }
    activate_array(l.output, l.outputs * l.batch, l.activation);
}

void backward_local_layer(layer l, network_state state)
{
    const int locations = l.out_h * l.out_w;
    const int k = l.size * l.size * l.c;
    gradient_array(l.output, l.outputs * l.batch, l.activation, l.delta);
    for (int b = 0; b < l.batch; ++b) axpy_cpu(l.outputs, 1, l.delta + (size_t)b * l.outputs, 1, l.bias_updates, 1);
    for (int b = 0; b < l.batch; ++b) {
        const float *input = state.input + (size_t)b * l.inputs;
        const float *delta = l.delta + (size_t)b * l.outputs;
        im2col_cpu(input, l.c, l.h, l.w, l.size, l.stride, l.pad, l.col_image);
        for (int j = 0; j < locations; ++j)
            gemm_cpu(0, 1, l.n, k, 1, 1, delta + j, locations, l.col_image + j, locations, 1,
                     l.weight_updates + (size_t)j * k * l.n, k);
        if (state.delta) {
            for (int j = 0; j < locations; ++j)
                gemm_cpu(1, 0, k, 1, l.n, 1, l.weights + (size_t)j * k * l.n, k, delta + j, locations, 0,
                         l.col_image + j, locations);
            // Folded back by adding: the input delta may already hold other layers' contributions.
            float *prev = state.delta + (size_t)b * l.inputs;
            const int out_w = l.out_w;
            for (int ch = 0; ch < k; ++ch) {
                const int kw = ch % l.size;
                const int kh = (ch / l.size) % l.size;
                const int ci = ch / l.size / l.size;
                for (int y = 0; y < l.out_h; ++y)
                    for (int x = 0; x < out_w; ++x) {
                        const int row = kh + y * l.stride - l.pad;
                        const int col = kw + x * l.stride - l.pad;
                        if (row < 0 || col < 0 || row >= l.h || col >= l.w) continue;
                        prev[(ci * l.h + row) * l.w + col] += l.col_image[(size_t)ch * locations + y * out_w + x];
                    }
            }
        }
    }
}

void update_local_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    const int size = (int)weight_count(l);
    axpy_cpu(l.outputs, learning_rate / batch, l.bias_updates, 1, l.biases, 1);
    scal_cpu(l.outputs, momentum, l.bias_updates, 1);
    axpy_cpu(size, -decay * batch, l.weights, 1, l.weight_updates, 1);
    axpy_cpu(size, learning_rate / batch, l.weight_updates, 1, l.weights, 1);
    scal_cpu(size, momentum, l.weight_updates, 1);
}

void load_local_weights(layer l, FILE *fp)
{
    read_weights_array_quiet(l.biases, l.outputs, fp);
    read_weights_array_quiet(l.weights, weight_count(l), fp);
}

void save_local_weights(layer l, FILE *fp)
{
    write_weights_array(l.biases, l.outputs, fp);
    write_weights_array(l.weights, weight_count(l), fp);
}

void free_local_arrays(layer *l)
{
    free(l->col_image);
    l->col_image = nullptr;
}
