// Windowed pooling: the maximum (spatial or across channel groups) and the local average share
// one constructor and one geometry (total padding added once, the window starting pad/2 before
// the edge); an anti-aliased pool runs with stride 1 and owns the blur that follows it.
#include "maxpool_layer.h"

#include "convolutional_layer.h"
#include "gemm.h"
#include "utils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int pooled_size(int in, int pad, int size, int stride) { return (in + pad - size) / stride + 1; }

static void read_window_keys(list *options, int &stride_x, int &stride_y, int &size, int &padding)
{
    const int stride = option_find_int(options, "stride", 1);
    stride_x = option_find_int_quiet(options, "stride_x", stride);
    stride_y = option_find_int_quiet(options, "stride_y", stride);
    size = option_find_int(options, "size", stride);
    padding = option_find_int_quiet(options, "padding", size - 1);
}

// Zero or negative sizes and strides would divide by zero or index outside the input.
static void check_window(const char *section, int h, int w, int size, int stride_x, int stride_y, int padding)
{
    char message[160];
    if (size < 1 || stride_x < 1 || stride_y < 1) {
        snprintf(message, sizeof message, "%s: size and strides must be 1 or more", section);
        quillon_error(message);
    }
    if (pooled_size(w, padding, size, stride_x) < 1 || pooled_size(h, padding, size, stride_y) < 1) {
        snprintf(message, sizeof message, "%s: the window does not fit the %d x %d input", section, w, h);
        quillon_error(message);
    }
}

layer parse_maxpool(list *options, size_params params)
{
    int stride_x, stride_y, size, padding;
    read_window_keys(options, stride_x, stride_y, size, padding);
    const int maxpool_depth = option_find_int_quiet(options, "maxpool_depth", 0);
    const int out_channels = option_find_int_quiet(options, "out_channels", 1);
    const int antialiasing = option_find_int_quiet(options, "antialiasing", 0);
    if (!params.h || !params.w || !params.c) quillon_error("Layer before [maxpool] layer must output image.");
    check_window("[maxpool]", params.h, params.w, size, stride_x, stride_y, padding);
    if (maxpool_depth && out_channels < 1) quillon_error("[maxpool]: out_channels must be 1 or more");
    layer l = make_maxpool_layer(params.batch, params.h, params.w, params.c, size, stride_x, stride_y, padding,
                                 maxpool_depth, out_channels, antialiasing, 0, params.train);
    l.maxpool_zero_nonmax = option_find_int_quiet(options, "maxpool_zero_nonmax", 0);
    return l;
}

layer parse_local_avgpool(list *options, size_params params)
{
    int stride_x, stride_y, size, padding;
    read_window_keys(options, stride_x, stride_y, size, padding);
    if (!params.h || !params.w || !params.c) quillon_error("Layer before [local_avgpool] layer must output image.");
    check_window("[local_avgpool]", params.h, params.w, size, stride_x, stride_y, padding);
    return make_maxpool_layer(params.batch, params.h, params.w, params.c, size, stride_x, stride_y, padding, 0, 0, 0,
                              1, params.train);
}

static void print_pool_row(const layer &l)
{
    const bool equal = l.stride_x == l.stride_y;
    const char *format;
    if (l.avgpool)
        format = equal ? "avg               %2dx%2d/%2d   %4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n"
                       : "avg              %2dx%2d/%2dx%2d %4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n";
    else if (l.maxpool_depth)
        format = "max-depth         %2dx%2d/%2d   %4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n";
    else
        format = equal ? "max               %2dx%2d/%2d   %4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n"
                       : "max              %2dx%2d/%2dx%2d %4d x%4d x%4d -> %4d x%4d x%4d %5.3f BF\n";
    if (equal || l.maxpool_depth)
        fprintf(stderr, format, l.size, l.size, l.stride_x, l.w, l.h, l.c, l.out_w, l.out_h, l.out_c, l.bflops);
    else
        fprintf(stderr, format, l.size, l.size, l.stride_x, l.stride_y, l.w, l.h, l.c, l.out_w, l.out_h, l.out_c,
                l.bflops);
}

static void set_pool_shape(layer &l, int w, int h)
{
    l.w = w;
    l.h = h;
    l.inputs = h * w * l.c;
    if (l.maxpool_depth) {
        l.out_w = w;
        l.out_h = h;
    } else {
        l.out_w = pooled_size(w, l.pad, l.size, l.stride_x);
        l.out_h = pooled_size(h, l.pad, l.size, l.stride_y);
    }
    l.outputs = l.out_h * l.out_w * l.out_c;
}

layer make_maxpool_layer(int batch, int h, int w, int c, int size, int stride_x, int stride_y, int padding,
                         int maxpool_depth, int out_channels, int antialiasing, int avgpool, int train)
{
    layer l = {};
    l.avgpool = avgpool;
    l.type = avgpool ? LOCAL_AVGPOOL : MAXPOOL;
    l.train = train;
    const int blur_stride_x = stride_x;
    const int blur_stride_y = stride_y;
    l.antialiasing = antialiasing;
    if (antialiasing) stride_x = stride_y = 1;

    l.batch = batch;
    l.c = c;
    l.pad = padding;
    l.maxpool_depth = maxpool_depth;
    l.out_channels = out_channels;
    l.out_c = maxpool_depth ? out_channels : c;
    l.size = size;
    l.stride = stride_x;
    l.stride_x = stride_x;
    l.stride_y = stride_y;
    set_pool_shape(l, w, h);

    const size_t count = (size_t)l.outputs * batch;
    if (train) {
        if (!avgpool) l.indexes = (int *)xcalloc(count, sizeof(int));
        l.delta = (float *)xcalloc(count, sizeof(float));
    }
    l.output = (float *)xcalloc(count, sizeof(float));
    if (avgpool) {
        l.forward = forward_local_avgpool_layer;
        l.backward = backward_local_avgpool_layer;
    } else {
        l.forward = forward_maxpool_layer;
        l.backward = backward_maxpool_layer;
    }
    l.bflops = (float)((double)l.size * l.size * l.c * l.out_h * l.out_w / 1000000000.);
    print_pool_row(l);

    if (antialiasing) {
        fprintf(stderr, "AA:  ");
        const int blur_size = antialiasing == 2 ? 2 : 3;
        const int blur_pad = antialiasing == 2 ? 0 : 1;
        l.input_layer = (layer *)xcalloc(1, sizeof(layer));
        *l.input_layer = make_convolutional_layer(batch, 1, l.out_h, l.out_w, l.out_c, l.out_c, l.out_c, blur_size,
                                                  blur_stride_x, blur_stride_y, 1, blur_pad, LINEAR, 0, 0, 0, 0, 0, 0,
                                                  0, nullptr, 0, 0, train);
        set_blur_weights(*l.input_layer);
        l.workspace_size = l.input_layer->workspace_size;
    }
    return l;
}

void resize_maxpool_layer(layer *l, int w, int h)
{
    // A depth maximum keeps the spatial size whatever its window: its forward pass writes w x h
    // values per output channel.
    set_pool_shape(*l, w, h);
    const size_t count = (size_t)l->outputs * l->batch;
    if (l->train) {
        if (!l->avgpool) l->indexes = (int *)xrealloc(l->indexes, count * sizeof(int));
        l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
    }
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    if (l->antialiasing && l->input_layer) {
        resize_convolutional_layer(l->input_layer, l->out_w, l->out_h);
        l->workspace_size = l->input_layer->workspace_size;
    }
}

void forward_maxpool_plain(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                           int c, int pad, int stride_x, int stride_y, int batch)
{
    const int w_offset = -pad / 2;
    const int h_offset = -pad / 2;
    for (int b = 0; b < batch; ++b) {
        for (int k = 0; k < c; ++k) {
            for (int i = 0; i < out_h; ++i) {
                for (int j = 0; j < out_w; ++j) {
                    const int out_index = j + out_w * (i + out_h * (k + c * b));
                    float best = -3.4028235e38f;
                    int best_index = -1;
                    for (int n = 0; n < size; ++n) {
                        const int y = h_offset + i * stride_y + n;
                        if (y < 0 || y >= h) continue;
                        for (int m = 0; m < size; ++m) {
                            const int x = w_offset + j * stride_x + m;
                            if (x < 0 || x >= w) continue;
                            const int index = x + w * (y + h * (k + b * c));
                            if (src[index] > best) {
                                best = src[index];
                                best_index = index;
                            }
                        }
                    }
                    dst[out_index] = best;
                    if (indexes) indexes[out_index] = best_index;
                }
            }
        }
    }
}

void forward_maxpool_cpu(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                         int c, int pad, int stride, int batch)
{
    if ((stride == 1 || (size == 2 && stride == 2)) && is_avx())
        forward_maxpool_avx(src, dst, indexes, size, w, h, out_w, out_h, c, pad, stride, batch);
    else
        forward_maxpool_plain(src, dst, indexes, size, w, h, out_w, out_h, c, pad, stride, stride, batch);
}

static void forward_maxpool_depth(const layer &l, const float *input)
{
    for (int b = 0; b < l.batch; ++b) {
        for (int i = 0; i < l.h; ++i) {
            for (int j = 0; j < l.w; ++j) {
                for (int g = 0; g < l.out_c; ++g) {
                    const int out_index = j + l.w * (i + l.h * (g + l.out_c * b));
                    float best = -3.4028235e38f;
                    int best_index = -1;
                    for (int k = g; k < l.c; k += l.out_c) {
                        const int index = j + l.w * (i + l.h * (k + l.c * b));
                        if (input[index] > best) {
                            best = input[index];
                            best_index = index;
                        }
                    }
                    l.output[out_index] = best;
                    if (l.indexes) l.indexes[out_index] = best_index;
                }
            }
        }
    }
}

static void apply_blur(const layer &l, network_state state)
{
    network_state s = state;
    s.input = l.output;
    forward_convolutional_layer(*l.input_layer, s);
    memcpy(l.output, l.input_layer->output, (size_t)l.input_layer->outputs * l.input_layer->batch * sizeof(float));
}

void forward_maxpool_layer(layer l, network_state state)
{
    if (l.maxpool_depth) {
        forward_maxpool_depth(l, state.input);
        return;
    }
    if (!state.train && l.stride_x == l.stride_y)
        forward_maxpool_cpu(state.input, l.output, l.indexes, l.size, l.w, l.h, l.out_w, l.out_h, l.c, l.pad,
                            l.stride, l.batch);
    else
        forward_maxpool_plain(state.input, l.output, l.indexes, l.size, l.w, l.h, l.out_w, l.out_h, l.c, l.pad,
                              l.stride_x, l.stride_y, l.batch);
    if (l.antialiasing) apply_blur(l, state);
}

void backward_maxpool_layer(layer l, network_state state)
{
    if (!state.delta || !l.indexes) return;
    const int count = l.outputs * l.batch;
    for (int i = 0; i < count; ++i) {
        const int index = l.indexes[i];
        if (index >= 0) state.delta[index] += l.delta[i];
    }
}

void forward_local_avgpool_layer(layer l, network_state state)
{
    const int w_offset = -l.pad / 2;
    const int h_offset = -l.pad / 2;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            for (int i = 0; i < l.out_h; ++i) {
                for (int j = 0; j < l.out_w; ++j) {
                    const int out_index = j + l.out_w * (i + l.out_h * (k + l.c * b));
                    float sum = 0;
                    int counter = 0;
                    for (int n = 0; n < l.size; ++n) {
                        const int y = h_offset + i * l.stride_y + n;
                        if (y < 0 || y >= l.h) continue;
                        for (int m = 0; m < l.size; ++m) {
                            const int x = w_offset + j * l.stride_x + m;
                            if (x < 0 || x >= l.w) continue;
                            sum += state.input[x + l.w * (y + l.h * (k + b * l.c))];
                            ++counter;
                        }
                    }
                    // A window entirely outside the input averages nothing: 0 rather than 0/0.
                    l.output[out_index] = counter ? sum / counter : 0;
                }
            }
        }
    }
    if (l.antialiasing) apply_blur(l, state);
}

void backward_local_avgpool_layer(layer l, network_state state)
{
    if (!state.delta) return;
    // Every inside position gets its share of the full window, not of the inside count.
    const float window = (float)(l.size * l.size);
    const int w_offset = -l.pad / 2;
    const int h_offset = -l.pad / 2;
    for (int b = 0; b < l.batch; ++b) {
        for (int k = 0; k < l.c; ++k) {
            for (int i = 0; i < l.out_h; ++i) {
                for (int j = 0; j < l.out_w; ++j) {
                    const int out_index = j + l.out_w * (i + l.out_h * (k + l.c * b));
                    for (int n = 0; n < l.size; ++n) {
                        const int y = h_offset + i * l.stride_y + n;
                        if (y < 0 || y >= l.h) continue;
                        for (int m = 0; m < l.size; ++m) {
                            const int x = w_offset + j * l.stride_x + m;
                            if (x < 0 || x >= l.w) continue;
                            state.delta[x + l.w * (y + l.h * (k + b * l.c))] += l.delta[out_index] / window;
                        }
                    }
                }
            }
        }
    }
}

void free_maxpool_arrays(layer *l)
{
    free(l->indexes);
    l->indexes = nullptr;
}
