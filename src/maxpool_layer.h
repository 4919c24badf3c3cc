// Windowed pooling: the maximum ("[maxpool]", also across channel groups) and the local average
// ("[local_avgpool]"), both built by one constructor, with the optional anti-aliasing blur.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_maxpool(list *options, size_params params);
layer parse_local_avgpool(list *options, size_params params);
layer make_maxpool_layer(int batch, int h, int w, int c, int size, int stride_x, int stride_y, int padding,
                         int maxpool_depth, int out_channels, int antialiasing, int avgpool, int train);
void resize_maxpool_layer(layer *l, int w, int h);
void forward_maxpool_layer(layer l, network_state state);
void backward_maxpool_layer(layer l, network_state state);
void forward_local_avgpool_layer(layer l, network_state state);
void backward_local_avgpool_layer(layer l, network_state state);

// Windowed maximum with equal strides in both directions: the AVX routine where it applies
// (stride 1, or size 2 with stride 2, on a processor with AVX), the plain loop otherwise. indexes
// may be null.
void forward_maxpool_cpu(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                         int c, int pad, int stride, int batch);
// The plain windowed maximum that defines the result (strides may differ).
void forward_maxpool_plain(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                           int c, int pad, int stride_x, int stride_y, int batch);
// The AVX routine; only for stride 1 or size 2 with stride 2, on a processor with AVX.
void forward_maxpool_avx(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                         int c, int pad, int stride, int batch);
// Releases the index array (the layer-kind table's release step).
void free_maxpool_arrays(layer *l);
