// Nearest-neighbour upsampling ("[upsample]") and, with a negative stride, downsampling by block
// sums.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_upsample(list *options, size_params params);
layer make_upsample_layer(int batch, int w, int h, int c, int stride);
void resize_upsample_layer(layer *l, int w, int h);
void forward_upsample_layer(layer l, network_state state);
void backward_upsample_layer(layer l, network_state state);

// (w, h, c) is the small geometry; forward: out[large] = scale * in[small]; otherwise
// in[small] += scale * out[large].
void upsample_cpu(float *in, int w, int h, int c, int batch, int stride, int forward, float scale, float *out);
