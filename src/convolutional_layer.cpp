// The convolutional layer on the CPU: every input image group is unfolded into a column matrix
// in the network's shared workspace and multiplied by the group's filters; batch normalisation,
// the activation, assisted excitation and the anti-aliasing blur follow.
#include "convolutional_layer.h"

#include "activation_functions.h"
#include "batchnorm_layer.h"
#include "gemm.h"
#include "image_to_column.h"
#include "utils.h"
#include "vector_primitives.h"
#include "weights.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <vector>

namespace {

constexpr int no_share_index = -1000000000;
// Truth rows as the detection heads lay them out by default: 200 slots of 6 floats per image.
constexpr int assisted_excitation_max_boxes = 200;
constexpr int assisted_excitation_truth_size = 6;

bool keeps_activation_input(ACTIVATION a)
{
    return a == SWISH || a == MISH || a == HARD_MISH;
}

const char *layer_tag(const layer &l)
{
    if (l.xnor && l.use_bin_output) return "convXB";
    if (l.xnor) return "convX ";
    if (l.share_layer) return "convS ";
    if (l.assisted_excitation) return "convAE";
    return "conv  ";
}

void print_layer_row(const layer &l)
{
    fprintf(stderr, "%s", layer_tag(l));
    if (l.groups < 2)
        fprintf(stderr, "%5d      ", l.n);
    else
        fprintf(stderr, "%5d/%4d ", l.n, l.groups);
    if (l.stride_x == l.stride_y) {
        if (l.dilation < 2)
            fprintf(stderr, "%2d x%2d/%2d   ", l.size, l.size, l.stride_x);
        else
            fprintf(stderr, "%2d x%2d/%2d(%1d)", l.size, l.size, l.stride_x, l.dilation);
    } else {
        fprintf(stderr, "%2dx%2d/%2dx%2d ", l.size, l.size, l.stride_x, l.stride_y);
    }
    fprintf(stderr, "%4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n", l.w, l.h, l.c, l.out_w, l.out_h, l.out_c,
            l.bflops);
}

// Bit-aligned row length of the packed XNOR input: always at least one spare 32-bit word.
int xnor_bit_align(int out_h, int out_w)
{
    const int positions = out_h * out_w;
    return positions - positions % 32 + 32;
}

void allocate_xnor_inputs(layer &l)
{
    const int total_batch = l.batch * l.steps;
    const int s = l.size * l.size * l.c;
    l.bit_align = xnor_bit_align(l.out_h, l.out_w);
    l.binary_input = (float *)xrealloc(l.binary_input, (size_t)total_batch * l.inputs * sizeof(float));
    l.bin_re_packed_input =
        (uint32_t *)xrealloc(l.bin_re_packed_input, ((size_t)(l.c / 32) * l.h * l.w + 1) * sizeof(uint32_t));
    const size_t t_bit_bytes = (size_t)l.bit_align * (s - s % 256 + 256) / 8;
    l.t_bit_input = (char *)xrealloc(l.t_bit_input, t_bit_bytes);
    memset(l.t_bit_input, 0, t_bit_bytes);
}

void activate_output(layer &l)
{
    const int count = l.outputs * l.batch;
    const int spatial = l.out_h * l.out_w;
    switch (l.activation) {
    case SWISH: activate_array_swish(l.output, count, l.activation_input, l.output); break;
    case MISH: activate_array_mish(l.output, count, l.activation_input, l.output); break;
    case HARD_MISH: activate_array_hard_mish(l.output, count, l.activation_input, l.output); break;
    case NORM_CHAN: activate_array_normalize_channels(l.output, count, l.out_c, spatial, l.output); break;
    case NORM_CHAN_SOFTMAX:
        activate_array_normalize_channels_softmax(l.output, count, l.out_c, spatial, l.output, 0);
        break;
    case NORM_CHAN_SOFTMAX_MAXVAL:
        activate_array_normalize_channels_softmax(l.output, count, l.out_c, spatial, l.output, 1);
        break;
    default: activate_array_cpu_custom(l.output, count, l.activation); break;
    }
}

void gradient_output(layer &l)
{
    const int count = l.outputs * l.batch;
    const int spatial = l.out_h * l.out_w;
    switch (l.activation) {
    case SWISH: gradient_array_swish(l.output, count, l.activation_input, l.delta); break;
    case MISH: gradient_array_mish(count, l.activation_input, l.delta); break;
    case HARD_MISH: gradient_array_hard_mish(count, l.activation_input, l.delta); break;
    case NORM_CHAN: gradient_array_normalize_channels(l.output, count, l.out_c, spatial, l.delta); break;
    case NORM_CHAN_SOFTMAX:
    case NORM_CHAN_SOFTMAX_MAXVAL:
        gradient_array_normalize_channels_softmax(l.output, count, l.out_c, spatial, l.delta);
        break;
    default: gradient_array(l.output, count, l.activation, l.delta); break;
    }
}

} // namespace

void set_blur_weights(layer &blur)
{
    static const float taps3[9] = {1 / 16.f, 1 / 8.f, 1 / 16.f, 1 / 8.f, 1 / 4.f, 1 / 8.f, 1 / 16.f, 1 / 8.f, 1 / 16.f};
    const int taps = blur.size * blur.size;
    for (int f = 0; f < blur.n; ++f) {
        for (int t = 0; t < taps; ++t) blur.weights[f * taps + t] = blur.size == 3 ? taps3[t] : 0.25f;
        blur.biases[f] = 0;
    }
}

int convolutional_out_size(int in, int size, int pad, int stride, int dilation)
{
    // The unfolding pads by pad * dilation and spans dilation * (size - 1) + 1 inputs; for an
    // undilated kernel this is (in + 2 pad - size) / stride + 1.
    return (in + 2 * pad * dilation - dilation * (size - 1) - 1) / stride + 1;
}

size_t get_convolutional_workspace_size(layer l)
{
    if (l.xnor) {
        const size_t re_packed = (size_t)l.c * l.bit_align * l.size * l.size;
        const size_t unpacked = (size_t)l.w * l.h * l.c;
        return (re_packed > unpacked ? re_packed : unpacked) * sizeof(float);
    }
    return (size_t)(l.c / l.groups) * l.out_h * l.out_w * l.size * l.size * sizeof(float);
}

layer parse_convolutional(list *options, size_params params)
{
    const int n = option_find_int(options, "filters", 1);
    const int groups = option_find_int_quiet(options, "groups", 1);
    const int size = option_find_int(options, "size", 1);
    int stride_x = option_find_int_quiet(options, "stride_x", -1);
    int stride_y = option_find_int_quiet(options, "stride_y", -1);
    if (stride_x < 1 || stride_y < 1) {
        const int stride = option_find_int(options, "stride", 1);
        if (stride_x < 1) stride_x = stride;
        if (stride_y < 1) stride_y = stride;
    } else {
        option_find_int_quiet(options, "stride", 1);
    }
    int dilation = option_find_int_quiet(options, "dilation", 1);
    const int antialiasing = option_find_int_quiet(options, "antialiasing", 0);
    if (size == 1) dilation = 1;
    const int pad = option_find_int_quiet(options, "pad", 0);
    int padding = option_find_int_quiet(options, "padding", 0);
    if (pad) padding = size / 2;

    const ACTIVATION activation = activation_from_string(option_find_str(options, "activation", "logistic"));
    const int assisted_excitation = (int)option_find_float_quiet(options, "assisted_excitation", 0);

    const int share_index = option_find_int_quiet(options, "share_index", no_share_index);
    layer *share_layer = nullptr;
    if (share_index != no_share_index) {
        const int target = share_index >= 0 ? share_index : params.index + share_index;
        // Only a layer already built can lend its weights.
        if (target < 0 || target >= params.index)
            quillon_error("share_index refers to a layer that is not before this [convolutional] layer");
        share_layer = &params.net.layers[target];
    }

    int batch_normalize = option_find_int_quiet(options, "batch_normalize", 0);
    if (option_find_int_quiet(options, "cbn", 0)) batch_normalize = 2;
    const int binary = option_find_int_quiet(options, "binary", 0);
    const int xnor = option_find_int_quiet(options, "xnor", 0);
    const int use_bin_output = option_find_int_quiet(options, "bin_output", 0);
    const int sway = option_find_int_quiet(options, "sway", 0);
    const int rotate = option_find_int_quiet(options, "rotate", 0);
    const int stretch = option_find_int_quiet(options, "stretch", 0);
    const int stretch_sway = option_find_int_quiet(options, "stretch_sway", 0);

    if (!params.h || !params.w || !params.c) quillon_error("Layer before convolutional layer must output image.");
    if (sway + rotate + stretch + stretch_sway >= 2) {
        printf(" Error: should be used only 1 param: sway=1, rotate=1 or stretch=1 in the [convolutional] layer \n");
        exit(0);
    }
    const int deform = sway || rotate || stretch || stretch_sway;
    if (deform && size == 1) {
        printf(" Error: params (sway=1, rotate=1 or stretch=1) should be used only with size >=3 in the "
               "[convolutional] layer \n");
        exit(0);
    }

    layer l = make_convolutional_layer(params.batch, 1, params.h, params.w, params.c, n, groups, size, stride_x,
                                       stride_y, dilation, padding, activation, batch_normalize, binary, xnor,
                                       params.net.adam, use_bin_output, params.index, antialiasing, share_layer,
                                       assisted_excitation, deform, params.train);
    l.flipped = option_find_int_quiet(options, "flipped", 0);
    l.dot = option_find_float_quiet(options, "dot", 0);
    l.sway = sway;
    l.rotate = rotate;
    l.stretch = stretch;
    l.stretch_sway = stretch_sway;
    l.angle = option_find_float_quiet(options, "angle", 15);
    l.grad_centr = option_find_int_quiet(options, "grad_centr", 0);
    l.reverse = option_find_float_quiet(options, "reverse", 0);
    l.coordconv = option_find_int_quiet(options, "coordconv", 0);
    l.stream = option_find_int_quiet(options, "stream", -1);
    l.wait_stream = option_find_int_quiet(options, "wait_stream", -1);
    if (params.net.adam) {
        l.B1 = params.net.B1;
        l.B2 = params.net.B2;
        l.eps = params.net.eps;
    }
    return l;
}

layer make_convolutional_layer(int batch, int steps, int h, int w, int c, int n, int groups, int size, int stride_x,
                               int stride_y, int dilation, int padding, ACTIVATION activation, int batch_normalize,
                               int binary, int xnor, int adam, int use_bin_output, int index, int antialiasing,
                               layer *share_layer, int assisted_excitation, int deform, int train)
{
    const int total_batch = batch * steps;
    layer l = {};
    l.type = CONVOLUTIONAL;
    l.train = train;
    l.wait_stream = -1;
    l.stream = -1;

    const int blur_stride_x = stride_x;
    const int blur_stride_y = stride_y;
    l.antialiasing = antialiasing;
    if (antialiasing) stride_x = stride_y = 1;

    if (xnor || groups < 1) groups = 1;
    l.groups = groups;
    l.deform = deform;
    l.assisted_excitation = assisted_excitation;
    l.share_layer = share_layer;
    l.index = index;
    l.h = h;
    l.w = w;
    l.c = c;
    l.n = n;
    l.binary = binary;
    l.xnor = xnor;
    l.use_bin_output = use_bin_output;
    l.batch = batch;
    l.steps = steps;
    l.stride = stride_x;
    l.stride_x = stride_x;
    l.stride_y = stride_y;
    l.dilation = dilation;
    l.size = size;
    l.pad = padding;
    l.batch_normalize = batch_normalize;
    l.learning_rate_scale = 1;
    l.nweights = (c / groups) * n * size * size;
    l.activation = activation;

    if (share_layer) {
        if (share_layer->size != size || share_layer->nweights != l.nweights || share_layer->c != c ||
            share_layer->n != n) {
            printf(" Layer size, nweights, channels or filters don't match for the share_layer");
            getchar();
            // Arrays smaller than this layer's would be written past their end.
            if (l.nweights > share_layer->nweights || n > share_layer->n)
                quillon_error("share_layer has fewer weights or filters than the layer that shares them");
        }
        l.weights = share_layer->weights;
        l.weight_updates = share_layer->weight_updates;
        l.biases = share_layer->biases;
        l.bias_updates = share_layer->bias_updates;
    } else {
        l.weights = (float *)xcalloc(l.nweights, sizeof(float));
        l.biases = (float *)xcalloc(n, sizeof(float));
        if (train) {
            l.weight_updates = (float *)xcalloc(l.nweights, sizeof(float));
            l.bias_updates = (float *)xcalloc(n, sizeof(float));
            l.weights_ema = (float *)xcalloc(l.nweights, sizeof(float));
            l.biases_ema = (float *)xcalloc(n, sizeof(float));
        }
    }

    if (activation == NORM_CHAN || activation == NORM_CHAN_SOFTMAX || activation == NORM_CHAN_SOFTMAX_MAXVAL) {
        for (int i = 0; i < l.nweights; ++i) l.weights[i] = 1;
    } else {
        const float scale = (float)sqrt(2. / ((c * size * size) / groups));
        for (int i = 0; i < l.nweights; ++i) l.weights[i] = scale * random_uniform(-1, 1);
    }

    l.out_h = convolutional_out_size(h, size, padding, stride_y, dilation);
    l.out_w = convolutional_out_size(w, size, padding, stride_x, dilation);
    l.out_c = n;
    l.outputs = l.out_h * l.out_w * l.out_c;
    l.inputs = l.w * l.h * l.c;

    l.output = (float *)xcalloc((size_t)total_batch * l.outputs, sizeof(float));
    if (train) l.delta = (float *)xcalloc((size_t)total_batch * l.outputs, sizeof(float));

    l.forward = forward_convolutional_layer;
    l.backward = backward_convolutional_layer;
    l.update = update_convolutional_layer;

    if (binary) {
        l.binary_weights = (float *)xcalloc(l.nweights, sizeof(float));
        l.cweights = (char *)xcalloc(l.nweights, sizeof(char));
        if (!batch_normalize) l.scales = (float *)xcalloc(n, sizeof(float));
    }
    if (xnor) {
        if (!l.binary_weights) l.binary_weights = (float *)xcalloc(l.nweights, sizeof(float));
        l.mean_arr = (float *)xcalloc(n, sizeof(float));
        l.lda_align = 256;
        allocate_xnor_inputs(l);
    }

    if (batch_normalize) {
        if (share_layer) {
            l.scales = share_layer->scales;
            l.scale_updates = share_layer->scale_updates;
            l.mean = share_layer->mean;
            l.variance = share_layer->variance;
            l.mean_delta = share_layer->mean_delta;
            l.variance_delta = share_layer->variance_delta;
            l.rolling_mean = share_layer->rolling_mean;
            l.rolling_variance = share_layer->rolling_variance;
        } else {
            l.scales = (float *)xcalloc(n, sizeof(float));
            for (int i = 0; i < n; ++i) l.scales[i] = 1;
            if (train) {
                l.scales_ema = (float *)xcalloc(n, sizeof(float));
                l.scale_updates = (float *)xcalloc(n, sizeof(float));
                l.mean = (float *)xcalloc(n, sizeof(float));
                l.variance = (float *)xcalloc(n, sizeof(float));
                l.mean_delta = (float *)xcalloc(n, sizeof(float));
                l.variance_delta = (float *)xcalloc(n, sizeof(float));
            }
            l.rolling_mean = (float *)xcalloc(n, sizeof(float));
            l.rolling_variance = (float *)xcalloc(n, sizeof(float));
        }
        if (train) {
            l.x = (float *)xcalloc((size_t)total_batch * l.outputs, sizeof(float));
            l.x_norm = (float *)xcalloc((size_t)total_batch * l.outputs, sizeof(float));
        }
    }
    if (keeps_activation_input(activation))
        l.activation_input = (float *)xcalloc((size_t)total_batch * l.outputs, sizeof(float));

    if (adam) {
        l.adam = 1;
        l.m = (float *)xcalloc(l.nweights, sizeof(float));
        l.v = (float *)xcalloc(l.nweights, sizeof(float));
        l.bias_m = (float *)xcalloc(n, sizeof(float));
        l.bias_v = (float *)xcalloc(n, sizeof(float));
        l.scale_m = (float *)xcalloc(n, sizeof(float));
        l.scale_v = (float *)xcalloc(n, sizeof(float));
    }

    l.workspace_size = get_convolutional_workspace_size(l);
    l.bflops = (2.0f * l.nweights * l.out_h * l.out_w) / 1000000000.f;
    if (l.xnor) l.bflops = l.bflops / 32;
    print_layer_row(l);

    if (antialiasing) {
        fprintf(stderr, "AA:  ");
        const int blur_size = antialiasing == 2 ? 2 : 3;
        const int blur_pad = antialiasing == 2 ? 0 : 1;
        l.input_layer = (layer *)xcalloc(1, sizeof(layer));
        *l.input_layer = make_convolutional_layer(batch, steps, l.out_h, l.out_w, n, n, n, blur_size, blur_stride_x,
                                                  blur_stride_y, 1, blur_pad, LINEAR, 0, 0, 0, 0, 0, index, 0,
                                                  nullptr, 0, 0, train);
        set_blur_weights(*l.input_layer);
        // The blur runs in this layer's workspace, so the layer asks for the larger need.
        if (l.input_layer->workspace_size > l.workspace_size) l.workspace_size = l.input_layer->workspace_size;
    }
    return l;
}

void binarize_weights(float *weights, int n, int size, float *binary)
{
    for (int f = 0; f < n; ++f) {
        float mean = 0;
        for (int i = 0; i < size; ++i) mean += fabsf(weights[f * size + i]);
        mean = mean / size;
        for (int i = 0; i < size; ++i) binary[f * size + i] = (weights[f * size + i] > 0) ? mean : -mean;
    }
}

void binarize_cpu(float *input, int n, float *binary)
{
    for (int i = 0; i < n; ++i) binary[i] = (input[i] > 0) ? 1 : -1;
}

// Inference with packed sign bits: XNOR and population counts against the aligned bit weights.
// Taps outside the image are packed as 0 bits and so count as -1 inputs.
static void forward_xnor_packed(layer &l, network_state &state)
{
    const int k = l.size * l.size * l.c;
    const int N = l.out_h * l.out_w;
    const int new_ldb = l.new_lda;
    for (int i = 0; i < l.batch; ++i) {
        const float *im = state.input + (size_t)i * l.inputs;
        float *out = l.output + (size_t)i * l.outputs;
        if (l.c % 32 == 0) {
            repack_input(im, state.workspace, l.w, l.h, l.c);
            float_to_bit(state.workspace, (unsigned char *)l.bin_re_packed_input, (size_t)l.c * l.h * l.w);
            uint32_t *columns = (uint32_t *)state.workspace;
            im2col_cpu_custom_bin(l.bin_re_packed_input, l.c / 32, l.h, l.w, l.size, l.stride_x, l.pad, columns);
            transpose_uint32(columns, (uint32_t *)l.t_bit_input, k / 32, N, N, new_ldb / 32);
        } else {
            uint32_t *columns = (uint32_t *)state.workspace;
            memset(columns, 0, (size_t)k * l.bit_align / 8);
            im2col_cpu_custom_align(im, l.c, l.h, l.w, l.size, l.stride_x, l.pad, columns, l.bit_align);
            transpose_bin(columns, (uint32_t *)l.t_bit_input, k, N, l.bit_align, new_ldb, 8);
        }
        gemm_nn_custom_bin_mean_transposed(l.n, N, k, (unsigned char *)l.align_bit_weights, new_ldb,
                                           (unsigned char *)l.t_bit_input, new_ldb, out, N, l.mean_arr);
    }
}

namespace {

// Columns per unfolded band: a band's column matrix should stay in the second-level cache between
// its unfolding and its product, but bands narrower than a few hundred columns would make the
// product re-read the weights too often. A multiple of the widest register tile, off the strides
// that are multiples of 1 KiB (which the product would repack).
int unfold_band_columns(int k, int N)
{
    constexpr size_t budget = 512 * 1024;
    constexpr int least = 1024;
    if ((size_t)k * N * sizeof(float) <= 2 * budget) return N;
    int band = (int)(budget / (sizeof(float) * k)) / 32 * 32;
    band = std::max(band, least);
    if (band % 256 == 0) band -= 32;
    return band >= N ? N : band;
}

// Each row of the bordered copy holds its input row from a 64-byte boundary (lead floats in), so the
// copy stores aligned vectors; the row length keeps every row on such a boundary.
int bordered_lead(const layer &l)
{
    return (l.pad * l.dilation + 15) / 16 * 16;
}

int bordered_row(const layer &l)
{
    return (bordered_lead(l) + l.w + l.pad * l.dilation + 15) / 16 * 16;
}

// Grouped convolutions with a few channels per group would multiply matrices of a few rows by a
// few dozen deep, where the unfolding costs several times the arithmetic: with stride 1 they run
// as a direct convolution over a zero-bordered copy of the group's channels instead.
bool runs_direct_grouped(const layer &l)
{
    const int border = l.pad * l.dilation;
    const size_t bordered = (size_t)(l.c / l.groups) * (l.h + 2 * border) * bordered_row(l) + 16;
    return l.groups > 1 && l.stride_x == 1 && l.stride_y == 1 && l.size * l.size * (l.c / l.groups) <= 64 &&
           bordered * sizeof(float) <= l.workspace_size;
}

// Rows [k0, k1) of a group's channels × h × w input into their bordered rows: row k of channel cc
// goes to rows + (cc·bh + k)·bw.
void border_rows(const float *input, int h, int w, float *rows, int bh, int bw, int k0, int k1)
{
    for (int k = k0; k < k1; ++k)
        memcpy(rows + ((size_t)(k / h) * bh + k % h) * bw, input + (size_t)k * w, w * sizeof(float));
}

// One group's direct convolution: the bordered channels, the group's filters and output, and the
// finishing applied to each result before it is stored (inference with leaky or no activation).
struct direct_task {
    const float *bordered;
    int bh, bw;
    const float *weights;
    int channels, size, dilation, out_h, out_w;
    float *out;
    bool finish, normalise, leaky;
    const float *mean, *variance, *scales, *biases;
    // The next group's input (h × w per channel), copied into the other bordered buffer's rows a
    // slice per output row while this group computes, so its loads overlap the arithmetic.
    const float *next;
    float *next_rows;
    int h, w;

    void copy_next(int y0, int y1) const
    {
        const int rows = channels * h;
        if (next) border_rows(next, h, w, next_rows, bh, bw, rows * y0 / out_h, rows * y1 / out_h);
    }
};

// The finishing of one filter, with the roundings of the separate normalisation, scale, bias and
// activation passes: the barriers keep the compiler from fusing the multiply into the add.
struct finishing {
    float mean = 0, sd = 1, scale = 1, bias = 0;
    bool normalise = false, leaky = false;

    finishing() = default;
    finishing(const direct_task &t, int f)
        : mean(t.normalise ? t.mean[f] : 0), sd(t.normalise ? sqrtf(t.variance[f] + kNormEpsilon) : 1),
          scale(t.normalise ? t.scales[f] : 1), bias(t.biases[f]), normalise(t.normalise), leaky(t.leaky)
    {
    }

    // In place, so vectors of any width pass by reference.
    template <typename T> __attribute__((always_inline)) void apply(T &v) const
    {
        if (normalise) {
            v = (v - mean) / sd;
            __asm__("" : "+v"(v));
            v = v * scale;
            __asm__("" : "+v"(v));
        }
        v = v + bias;
        if (leaky) v = v > 0 ? v : v * .1f;
    }
};

// V vectors of W outputs starting at column x, for F filters and R output rows (y, y + 1, ...)
// at once: each input vector is loaded once for all the filters and all the rows that meet it,
// and the F·R·V accumulators are independent so the multiply-adds overlap. R > 1 needs dilation 1.
template <int W, int V, int F, int R, int S>
__attribute__((always_inline)) inline void direct_columns(const direct_task &t, int f0, int y, int x)
{
    typedef float vec __attribute__((vector_size(W * sizeof(float))));
    // Locals: the stores below could otherwise alias the task's fields and force reloads.
    // S > 0 fixes the kernel size (and dilation 1) at compile time, for simpler tap loops.
    const int size = S > 0 ? S : t.size, dilation = S > 0 ? 1 : t.dilation, bw = t.bw, out_w = t.out_w;
    const size_t taps = (size_t)t.channels * size * size, plane = (size_t)t.out_h * out_w;
    const float *w = t.weights + f0 * taps;
    float *out = t.out + f0 * plane + (size_t)y * out_w + x;
    // Before the accumulators come alive: the square roots may call out and clobber registers.
    finishing finish[F];
    if (t.finish)
        for (int f = 0; f < F; ++f) finish[f] = finishing(t, f0 + f);
    vec acc[F][R][V] = {};
    for (int cc = 0; cc < t.channels; ++cc)
        for (int r = 0; r < size + R - 1; ++r) {
            const float *row = t.bordered + ((size_t)cc * t.bh + y + r * dilation) * bw + x;
#pragma GCC unroll 4
            for (int kj = 0; kj < size; ++kj) {
                const float *src = row + kj * dilation;
                // Vector by vector, so the loads stay in registers rather than a stack copy.
                vec in[V];
#pragma GCC unroll 8
                for (int v = 0; v < V; ++v) memcpy(&in[v], src + v * W, sizeof in[v]);
#pragma GCC unroll 4
                for (int q = 0; q < R; ++q) {
                    const int ki = r - q;
                    if (ki < 0 || ki >= size) continue;
                    const float *tap = w + ((size_t)cc * size + ki) * size + kj;
#pragma GCC unroll 4
                    for (int f = 0; f < F; ++f) {
                        const float weight = tap[f * taps];
#pragma GCC unroll 8
                        for (int v = 0; v < V; ++v) acc[f][q][v] += weight * in[v];
                    }
                }
            }
        }
#pragma GCC unroll 4
    for (int f = 0; f < F; ++f)
#pragma GCC unroll 4
        for (int q = 0; q < R; ++q)
#pragma GCC unroll 8
            for (int v = 0; v < V; ++v) {
                vec result = acc[f][q][v];
                if (t.finish) finish[f].apply(result);
                memcpy(out + f * plane + (size_t)q * out_w + v * W, &result, sizeof result);
            }
}

// direct_columns with a run-time count of vectors, 1 to V.
template <int W, int V, int F, int R, int S>
__attribute__((always_inline)) inline void direct_columns_upto(int vectors, const direct_task &t, int f0, int y, int x)
{
    if constexpr (V > 0) {
        if (vectors == V)
            direct_columns<W, V, F, R, S>(t, f0, y, x);
        else
            direct_columns_upto<W, V - 1, F, R, S>(vectors, t, f0, y, x);
    }
}

// R output rows from y of filters f0 .. f0 + F - 1, in vectors of W lanes, then narrower ones,
// then one by one.
template <int W, int F, int R, int S>
__attribute__((always_inline)) inline void direct_rows(const direct_task &t, int f0, int y)
{
    // As many accumulators as the registers hold beside the inputs: 32 vector registers with
    // 512-bit lanes, 16 otherwise.
    constexpr int budget = W >= 16 ? 24 : 8;
    constexpr int V = budget / (F * R) > 6 ? 6 : budget / (F * R) < 1 ? 1 : budget / (F * R);
    const int out_w = t.out_w;
    int x = 0;
    for (; x + V * W <= out_w; x += V * W) direct_columns<W, V, F, R, S>(t, f0, y, x);
    // The rest as one block of whole vectors that ends at the row's end: the columns it repeats
    // get the same value again, summed in the same order.
    if (x < out_w && out_w >= W) {
        int vectors = (out_w - x + W - 1) / W;
        if (out_w - vectors * W >= 0) {
            direct_columns_upto<W, V, F, R, S>(vectors, t, f0, y, out_w - vectors * W);
        } else {
            // A row narrower than the block: whole vectors from its start, then one ending at its end.
            vectors = out_w / W;
            direct_columns_upto<W, V, F, R, S>(vectors, t, f0, y, 0);
            if (vectors * W < out_w) direct_columns<W, 1, F, R, S>(t, f0, y, out_w - W);
        }
        x = out_w;
    }
    if constexpr (W >= 8) {
        if (x + W / 2 <= out_w) {
            direct_columns<W / 2, 1, F, R, S>(t, f0, y, x);
            x += W / 2;
        }
    }
    if constexpr (W >= 16) {
        if (x + W / 4 <= out_w) {
            direct_columns<W / 4, 1, F, R, S>(t, f0, y, x);
            x += W / 4;
        }
    }
    const size_t taps = (size_t)t.channels * t.size * t.size, plane = (size_t)t.out_h * out_w;
    for (; x < out_w; ++x)
        for (int f = f0; f < f0 + F; ++f)
            for (int q = 0; q < R; ++q) {
                float sum = 0;
                const float *tap = t.weights + f * taps;
                for (int cc = 0; cc < t.channels; ++cc)
                    for (int ki = 0; ki < t.size; ++ki)
                        for (int kj = 0; kj < t.size; ++kj, ++tap)
                            sum += *tap * t.bordered[((size_t)cc * t.bh + y + q + ki * t.dilation) * t.bw + x +
                                                     kj * t.dilation];
                if (t.finish) finishing(t, f).apply(sum);
                t.out[f * plane + (size_t)(y + q) * out_w + x] = sum;
            }
}

// Filters f0 .. f0 + F - 1 of the task: two rows at a time where the dilation lets neighbouring
// rows share their inputs.
template <int W, int F, int S> __attribute__((always_inline)) inline void direct_filters(const direct_task &t, int f0)
{
    int y = 0;
    if (t.dilation == 1)
        for (; y + 2 <= t.out_h; y += 2) {
            if (f0 == 0) t.copy_next(y, y + 2);
            direct_rows<W, F, 2, S>(t, f0, y);
        }
    for (; y < t.out_h; ++y) {
        if (f0 == 0) t.copy_next(y, y + 1);
        direct_rows<W, F, 1, S>(t, f0, y);
    }
}

// Every filter of the task (stride 1), four at a time, then two, then one.
template <int W, int S> __attribute__((always_inline)) inline void direct_group_of(const direct_task &t, int m)
{
    int f = 0;
    for (; f + 4 <= m; f += 4) direct_filters<W, 4, S>(t, f);
    for (; f + 2 <= m; f += 2) direct_filters<W, 2, S>(t, f);
    for (; f < m; ++f) direct_filters<W, 1, S>(t, f);
}

// Undilated 3x3 kernels, the common case, get code of their own.
template <int W> __attribute__((always_inline)) inline void direct_group(const direct_task &t, int m)
{
    if (t.size == 3 && t.dilation == 1)
        direct_group_of<W, 3>(t, m);
    else
        direct_group_of<W, 0>(t, m);
}

__attribute__((target("avx512f,fma"))) void direct_group_avx512(const direct_task &t, int m)
{
    direct_group<16>(t, m);
}

__attribute__((target("avx2,fma"))) void direct_group_avx2(const direct_task &t, int m)
{
    direct_group<8>(t, m);
}

void direct_group_any(const direct_task &t, int m)
{
    direct_group<4>(t, m);
}

void finish_band(const layer &l, int first, int filters, float *c, int N, int width);

// With finish set, each result is finished (normalisation or bias, then activation) before it is
// stored: in the kernel for leaky or no activation, otherwise per group while it is in cache.
void forward_direct_grouped(const layer &l, const float *input, float *workspace, bool finish)
{
    const GEMM_PATH path = gemm_active_path();
    const auto kernel = path == GEMM_PATH_AVX512 ? direct_group_avx512
                        : path == GEMM_PATH_AVX2 ? direct_group_avx2
                                                 : direct_group_any;
    const int channels = l.c / l.groups, m = l.n / l.groups, border = l.pad * l.dilation;
    const int bh = l.h + 2 * border, bw = bordered_row(l), lead = bordered_lead(l);
    const size_t buffer = (size_t)channels * bh * bw, group_inputs = (size_t)channels * l.h * l.w;
    // Two bordered buffers where the workspace holds them: one is computed while the other fills.
    const bool pipelined = (2 * buffer + 16) * sizeof(float) <= l.workspace_size;
    workspace += (64 - (uintptr_t)workspace % 64) % 64 / sizeof(float);
    // Only the border is zeroed: the copies overwrite the rest.
    for (float *b = workspace; b < workspace + (pipelined ? 2 : 1) * buffer; b += buffer)
        for (int cc = 0; cc < channels; ++cc)
            for (int r = 0; r < bh; ++r) {
                float *row = b + ((size_t)cc * bh + r) * bw;
                if (r < border || r >= border + l.h) {
                    std::fill(row, row + bw, 0.f);
                } else {
                    std::fill(row + lead - border, row + lead, 0.f);
                    std::fill(row + lead + l.w, row + lead + l.w + border, 0.f);
                }
            }
    auto rows_of = [&](float *bordered) { return bordered + (size_t)border * bw + lead; };
    auto copy_group = [&](const float *im, float *bordered) {
        border_rows(im, l.h, l.w, rows_of(bordered), bh, bw, 0, channels * l.h);
    };
    const bool in_kernel = finish && (l.activation == LEAKY || l.activation == LINEAR);
    const bool bn = l.batch_normalize;
    const int total = l.batch * l.groups;
    float *current = workspace, *other = workspace + buffer;
    copy_group(input, current);
    for (int g = 0; g < total; ++g) {
        const int j = g % l.groups;
        const bool ahead = pipelined && g + 1 < total;
        if (!pipelined && g > 0) copy_group(input + g * group_inputs, current);
        const direct_task task = {current + lead - border, bh, bw, l.weights + (size_t)j * l.nweights / l.groups,
                                  channels, l.size, l.dilation, l.out_h, l.out_w,
                                  l.output + (size_t)g * m * l.out_h * l.out_w, in_kernel, bn, l.activation == LEAKY,
                                  bn ? l.rolling_mean + j * m : nullptr, bn ? l.rolling_variance + j * m : nullptr,
                                  bn ? l.scales + j * m : nullptr, l.biases + j * m,
                                  ahead ? input + (g + 1) * group_inputs : nullptr, rows_of(other), l.h, l.w};
        kernel(task, m);
        if (finish && !in_kernel) finish_band(l, j * m, m, task.out, l.out_h * l.out_w, l.out_h * l.out_w);
        if (ahead) std::swap(current, other);
    }
}


// An inference pass whose activation works element by element in place finishes each band of
// the output (normalisation or bias, then activation) straight after its product, while the
// band is still in cache, instead of in separate passes over the whole output.
bool finishes_bands(const layer &l, const network_state &state)
{
    if (l.batch_normalize && state.train && l.x) return false;
    switch (l.activation) {
    case SWISH:
    case MISH:
    case HARD_MISH:
    case NORM_CHAN:
    case NORM_CHAN_SOFTMAX:
    case NORM_CHAN_SOFTMAX_MAXVAL: return false;
    default: return true;
    }
}

// The common finishing in one vector pass: bias (after the normalisation when normalise is set),
// then leaky or no activation, with the roundings of the separate passes.
__attribute__((target("avx"))) void finish_run_avx(float *x, int n, bool normalise, float mean, float sd,
                                                   float scale, float bias, bool leaky)
{
    const __m256 vm = _mm256_set1_ps(mean), vs = _mm256_set1_ps(sd), vscale = _mm256_set1_ps(scale),
                 vb = _mm256_set1_ps(bias), tenth = _mm256_set1_ps(.1f), zero = _mm256_setzero_ps();
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 v = _mm256_loadu_ps(x + i);
        if (normalise) v = _mm256_mul_ps(_mm256_div_ps(_mm256_sub_ps(v, vm), vs), vscale);
        v = _mm256_add_ps(v, vb);
        if (leaky) {
            const __m256 positive = _mm256_cmp_ps(v, zero, _CMP_GT_OQ);
            v = _mm256_or_ps(_mm256_and_ps(positive, v), _mm256_andnot_ps(positive, _mm256_mul_ps(v, tenth)));
        }
        _mm256_storeu_ps(x + i, v);
    }
    for (; i < n; ++i) {
        float v = x[i];
        if (normalise) {
            const float normalised = (v - mean) / sd;
            v = normalised * scale;
        }
        v += bias;
        if (leaky) v = v > 0 ? v : .1f * v;
        x[i] = v;
    }
}

// The same in 512-bit vectors; contraction is off so the multiply and the add round separately,
// as in the separate passes.
__attribute__((target("avx512f"), optimize("fp-contract=off"))) void finish_run_avx512(
    float *x, int n, bool normalise, float mean, float sd, float scale, float bias, bool leaky)
{
    const __m512 vm = _mm512_set1_ps(mean), vs = _mm512_set1_ps(sd), vscale = _mm512_set1_ps(scale),
                 vb = _mm512_set1_ps(bias), tenth = _mm512_set1_ps(.1f), zero = _mm512_setzero_ps();
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        __m512 v = _mm512_loadu_ps(x + i);
        if (normalise) v = _mm512_mul_ps(_mm512_div_ps(_mm512_sub_ps(v, vm), vs), vscale);
        v = _mm512_add_ps(v, vb);
        if (leaky) v = _mm512_mask_mul_ps(v, _mm512_cmp_ps_mask(v, zero, _CMP_GT_OQ) ^ 0xFFFF, v, tenth);
        _mm512_storeu_ps(x + i, v);
    }
    if (i < n) finish_run_avx(x + i, n - i, normalise, mean, sd, scale, bias, leaky);
}

// Filters [first, first + filters) of the columns [0, width) of a band whose rows lie N apart.
void finish_band(const layer &l, int first, int filters, float *c, int N, int width)
{
    if ((l.activation == LEAKY || l.activation == LINEAR) && is_avx()) {
        static const auto run = is_avx512() ? finish_run_avx512 : finish_run_avx;
        for (int f = 0; f < filters; ++f) {
            const int g = first + f;
            const bool bn = l.batch_normalize;
            run(c + (size_t)f * N, width, bn, bn ? l.rolling_mean[g] : 0,
                           bn ? sqrtf(l.rolling_variance[g] + kNormEpsilon) : 1, bn ? l.scales[g] : 1, l.biases[g],
                           l.activation == LEAKY);
        }
        return;
    }
    for (int f = 0; f < filters; ++f) {
        float *x = c + (size_t)f * N;
        const int g = first + f;
        if (l.batch_normalize)
            normalize_scale_bias_run(x, width, l.rolling_mean[g], l.rolling_variance[g], l.scales[g], l.biases[g]);
        else
            for (int i = 0; i < width; ++i) x[i] += l.biases[g];
        activate_array_cpu_custom(x, width, l.activation);
    }
}

} // namespace

int convolutional_band_columns(const layer &l)
{
    const bool direct = l.size == 1 && l.stride_x == 1 && l.stride_y == 1 && l.dilation == 1 && l.pad == 0;
    const int N = l.out_h * l.out_w;
    return direct ? N : unfold_band_columns(l.size * l.size * l.c / l.groups, N);
}

void forward_convolutional_layer(layer l, network_state state)
{
    // The packed path handles neither dilation nor unequal strides; those layers binarise and
    // multiply in floats, as training does.
    const bool packed = l.xnor && l.align_bit_weights && !state.train && l.stride_x == l.stride_y &&
                        l.dilation == 1;
    if (l.xnor && !packed) {
        binarize_weights(l.weights, l.n, l.nweights / l.n, l.binary_weights);
        l.weights = l.binary_weights;
        binarize_cpu(state.input, l.c * l.h * l.w * l.batch, l.binary_input);
        state.input = l.binary_input;
    }

    const int m = l.n / l.groups;
    const int k = l.size * l.size * l.c / l.groups;
    const int N = l.out_h * l.out_w;
    const int group_inputs = (l.c / l.groups) * l.h * l.w;
    // A 1x1 kernel that neither strides nor pads reads the input image as its column matrix.
    const bool direct = l.size == 1 && l.stride_x == 1 && l.stride_y == 1 && l.dilation == 1 && l.pad == 0;
    const int band = convolutional_band_columns(l);
    const bool grouped = !packed && runs_direct_grouped(l);
    const bool finished = !packed && finishes_bands(l, state);
    if (grouped) forward_direct_grouped(l, state.input, state.workspace, finished);
    // The products store their result, so the output needs no clearing first.
    for (int i = 0; i < l.batch && !packed && !grouped; ++i) {
        for (int j = 0; j < l.groups; ++j) {
            float *a = l.weights + j * l.nweights / l.groups;
            float *c = l.output + (size_t)(i * l.groups + j) * m * N;
            float *im = state.input + (size_t)(i * l.groups + j) * group_inputs;
            if (direct) {
                gemm_cpu_overwrite(0, 0, m, N, k, 1, a, k, im, N, c, N);
                if (finished) finish_band(l, j * m, m, c, N, N);
                continue;
            }
            for (int begin = 0; begin < N; begin += band) {
                const int width = std::min(band, N - begin);
                im2col_cpu_ext_columns(im, l.c / l.groups, l.h, l.w, l.size, l.size, l.pad * l.dilation,
                                       l.pad * l.dilation, l.stride_y, l.stride_x, l.dilation, l.dilation, begin,
                                       begin + width, state.workspace);
                gemm_cpu_overwrite(0, 0, m, width, k, 1, a, k, state.workspace, width, c + begin, N);
                if (finished) finish_band(l, j * m, m, c + begin, N, width);
            }
        }
    }
    if (packed) forward_xnor_packed(l, state);

    if (!finished) {
        if (l.batch_normalize)
            forward_batchnorm_layer(l, state);
        else
            add_bias(l.output, l.biases, l.batch, l.n, N);
        activate_output(l);
    }

    if (l.assisted_excitation && state.train) assisted_excitation_forward(l, state);

    if (l.antialiasing) {
        network_state s = state;
        s.input = l.output;
        forward_convolutional_layer(*l.input_layer, s);
        memcpy(l.output, l.input_layer->output, (size_t)l.input_layer->outputs * l.input_layer->batch * sizeof(float));
    }
}

void backward_convolutional_layer(layer l, network_state state)
{
    const int m = l.n / l.groups;
    const int n = l.size * l.size * l.c / l.groups;
    const int k = l.out_w * l.out_h;
    const int group_inputs = (l.c / l.groups) * l.h * l.w;

    gradient_output(l);

    if (l.batch_normalize)
        backward_batchnorm_layer(l, state);
    else
        backward_bias(l.bias_updates, l.delta, l.batch, l.n, k);

    // Band by band of output positions, as the forward pass unfolds: each band's columns serve the
    // weight gradient and, replaced by their input gradient, fold back while still in cache.
    const int band = unfold_band_columns(n, k);
    const int pad = l.pad * l.dilation;
    for (int i = 0; i < l.batch; ++i) {
        for (int j = 0; j < l.groups; ++j) {
            const float *delta_block = l.delta + (size_t)(i * l.groups + j) * m * k;
            const float *weights = l.weights + j * l.nweights / l.groups;
            float *columns = state.workspace;
            const float *im = state.input + (size_t)(i * l.groups + j) * group_inputs;
            float *input_delta = state.delta ? state.delta + (size_t)(i * l.groups + j) * group_inputs : nullptr;
            // The input gradient is stored, not added: the folds of the bands add up from zero.
            if (input_delta) memset(input_delta, 0, group_inputs * sizeof(float));
            for (int begin = 0; begin < k; begin += band) {
                const int width = std::min(band, k - begin);
                im2col_cpu_ext_columns(im, l.c / l.groups, l.h, l.w, l.size, l.size, pad, pad, l.stride_y,
                                       l.stride_x, l.dilation, l.dilation, begin, begin + width, columns);
                gemm_cpu(0, 1, m, n, width, 1, delta_block + begin, k, columns, width, 1,
                         l.weight_updates + j * l.nweights / l.groups, n);
                if (!input_delta) continue;
                // Stored, not scaled by beta = 0: a NaN left in the scratch must not leak into the gradient.
                gemm_cpu_overwrite(1, 0, n, width, m, 1, weights, n, delta_block + begin, k, columns, width);
                col2im_cpu_ext_columns(columns, l.c / l.groups, l.h, l.w, l.size, l.size, pad, pad, l.stride_y,
                                       l.stride_x, l.dilation, l.dilation, begin, begin + width, input_delta);
            }
        }
    }
}

void update_convolutional_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    const float rate = learning_rate * l.learning_rate_scale / batch;
    axpy_cpu(l.nweights, -decay * batch, l.weights, 1, l.weight_updates, 1);
    axpy_cpu(l.nweights, rate, l.weight_updates, 1, l.weights, 1);
    scal_cpu(l.nweights, momentum, l.weight_updates, 1);

    axpy_cpu(l.n, rate, l.bias_updates, 1, l.biases, 1);
    scal_cpu(l.n, momentum, l.bias_updates, 1);

    if (l.scales && l.scale_updates) {
        axpy_cpu(l.n, rate, l.scale_updates, 1, l.scales, 1);
        scal_cpu(l.n, momentum, l.scale_updates, 1);
    }
}

void resize_convolutional_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    l->out_w = convolutional_out_size(w, l->size, l->pad, l->stride_x, l->dilation);
    l->out_h = convolutional_out_size(h, l->size, l->pad, l->stride_y, l->dilation);
    l->outputs = l->out_h * l->out_w * l->out_c;
    l->inputs = l->w * l->h * l->c;

    const size_t bytes = (size_t)l->batch * l->steps * l->outputs * sizeof(float);
    l->output = (float *)xrealloc(l->output, bytes);
    if (l->train) {
        l->delta = (float *)xrealloc(l->delta, bytes);
        if (l->batch_normalize) {
            l->x = (float *)xrealloc(l->x, bytes);
            l->x_norm = (float *)xrealloc(l->x_norm, bytes);
        }
    }
    if (keeps_activation_input(l->activation)) l->activation_input = (float *)xrealloc(l->activation_input, bytes);
    // The binarised input and the packed-bit buffers follow the input size too.
    if (l->xnor) allocate_xnor_inputs(*l);

    l->workspace_size = get_convolutional_workspace_size(*l);
    // The blur reads this layer's output, so it follows the new size rather than reading past it.
    if (l->input_layer) {
        resize_convolutional_layer(l->input_layer, l->out_w, l->out_h);
        if (l->input_layer->workspace_size > l->workspace_size) l->workspace_size = l->input_layer->workspace_size;
    }
}

void binary_align_weights(layer *l)
{
    const int m = l->n;
    const int k = l->size * l->size * l->c;
    const size_t new_lda = k + (l->lda_align - k % l->lda_align);
    l->new_lda = (int)new_lda;

    binarize_weights(l->weights, m, k, l->binary_weights);

    std::vector<float> align_weights(new_lda * m, 0.f);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < k; ++j) align_weights[i * new_lda + j] = l->binary_weights[i * k + j];

    if (l->c % 32 == 0) {
        // Match the re-packed input: for every kernel position, 32 consecutive channels.
        std::vector<float> reordered(align_weights);
        const int taps = l->size * l->size;
        for (int f = 0; f < m; ++f)
            for (int chan = 0; chan < l->c; chan += 32)
                for (int t = 0; t < taps; ++t)
                    for (int q = 0; q < 32; ++q)
                        reordered[f * new_lda + chan * taps + t * 32 + q] =
                            align_weights[f * new_lda + (chan + q) * taps + t];
        align_weights.swap(reordered);
    }

    l->align_bit_weights_size = new_lda * m / 8 + 1;
    free(l->align_bit_weights);
    l->align_bit_weights = (char *)xcalloc(l->align_bit_weights_size, sizeof(char));
    float_to_bit(align_weights.data(), (unsigned char *)l->align_bit_weights, new_lda * m);

    for (int f = 0; f < m; ++f) {
        float mean = 0;
        for (int j = 0; j < k; ++j) mean += fabsf(l->weights[f * k + j]);
        l->mean_arr[f] = mean / k;
    }
}

void assisted_excitation_forward(layer l, network_state state)
{
    const int iteration = (int)(*state.net.seen / (uint64_t)(state.net.batch * state.net.subdivisions));
    float alpha;
    if (l.assisted_excitation < 2)
        alpha = (1 + cosf(3.141592f * iteration / state.net.max_batches));
    else
        alpha = iteration <= l.assisted_excitation ? 1 + cosf(3.141592f * iteration / l.assisted_excitation) : 0;
    if (!state.truth) return;

    const int truth_size = assisted_excitation_truth_size;
    const int max_boxes = assisted_excitation_max_boxes;
    const int spatial = l.out_w * l.out_h;
    float *gt = (float *)xcalloc((size_t)l.batch * spatial, sizeof(float));
    float *a_avg = (float *)xcalloc((size_t)l.batch * spatial, sizeof(float));

    for (int b = 0; b < l.batch; ++b) {
        for (int t = 0; t < max_boxes; ++t) {
            const float *truth = state.truth + (size_t)b * max_boxes * truth_size + t * truth_size;
            const float x = truth[0], y = truth[1], bw = truth[2], bh = truth[3];
            if (!x) break;
            int left = (int)floorf((x - bw / 2) * l.out_w);
            int right = (int)ceilf((x + bw / 2) * l.out_w);
            int top = (int)floorf((y - bh / 2) * l.out_h);
            int bottom = (int)ceilf((y + bh / 2) * l.out_h);
            left = left < 0 ? 0 : (left > l.out_w ? l.out_w : left);
            right = right < 0 ? 0 : (right > l.out_w ? l.out_w : right);
            top = top < 0 ? 0 : (top > l.out_h ? l.out_h : top);
            bottom = bottom < 0 ? 0 : (bottom > l.out_h ? l.out_h : bottom);
            for (int row = top; row < bottom; ++row)
                for (int col = left; col < right; ++col) gt[b * spatial + row * l.out_w + col] = 1;
        }
    }

    for (int b = 0; b < l.batch; ++b)
        for (int p = 0; p < spatial; ++p) {
            float sum = 0;
            for (int ch = 0; ch < l.out_c; ++ch) sum += l.output[(size_t)(b * l.out_c + ch) * spatial + p];
            a_avg[b * spatial + p] = sum / l.out_c;
        }

    for (int b = 0; b < l.batch; ++b)
        for (int ch = 0; ch < l.out_c; ++ch)
            for (int p = 0; p < spatial; ++p)
                l.output[(size_t)(b * l.out_c + ch) * spatial + p] += alpha * gt[b * spatial + p] * a_avg[b * spatial + p];

    free(gt);
    free(a_avg);
}

void load_convolutional_weights(layer l, FILE *fp)
{
    if (l.share_layer) return;
    read_weights_array(l.biases, l.n, fp, "l.biases", l.index);
    if (l.batch_normalize && !l.dontloadscales) {
        read_weights_array(l.scales, l.n, fp, "l.scales", l.index);
        read_weights_array(l.rolling_mean, l.n, fp, "l.rolling_mean", l.index);
        read_weights_array(l.rolling_variance, l.n, fp, "l.rolling_variance", l.index);
    }
    read_weights_array(l.weights, l.nweights, fp, "l.weights", l.index);
    if (l.flipped) transpose_matrix(l.weights, (l.c / l.groups) * l.size * l.size, l.n);
}

void save_convolutional_weights(layer l, FILE *fp)
{
    if (l.share_layer) return;
    write_weights_array(l.biases, l.n, fp);
    if (l.batch_normalize) {
        write_weights_array(l.scales, l.n, fp);
        write_weights_array(l.rolling_mean, l.n, fp);
        write_weights_array(l.rolling_variance, l.n, fp);
    }
    write_weights_array(l.weights, l.nweights, fp);
}

void save_convolutional_weights_ema(layer l, FILE *fp)
{
    if (l.share_layer) return;
    // A layer built for inference has no averaged copies; its plain parameters stand in.
    write_weights_array(l.biases_ema ? l.biases_ema : l.biases, l.n, fp);
    if (l.batch_normalize) {
        write_weights_array(l.scales_ema ? l.scales_ema : l.scales, l.n, fp);
        write_weights_array(l.rolling_mean, l.n, fp);
        write_weights_array(l.rolling_variance, l.n, fp);
    }
    write_weights_array(l.weights_ema ? l.weights_ema : l.weights, l.nweights, fp);
}

void free_convolutional_arrays(layer *l)
{
    for (float **p : {&l->m, &l->v, &l->bias_m, &l->bias_v, &l->scale_m, &l->scale_v, &l->binary_weights,
                      &l->binary_input, &l->mean_arr}) {
        free(*p);
        *p = nullptr;
    }
    free(l->cweights);
    free(l->bin_re_packed_input);
    free(l->t_bit_input);
    free(l->align_bit_weights);
    l->cweights = nullptr;
    l->bin_re_packed_input = nullptr;
    l->t_bit_input = nullptr;
    l->align_bit_weights = nullptr;
}
