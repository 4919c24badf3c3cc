// Space-to-depth reorganisation ("[reorg3d]"), and its reverse, over the output geometry.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_reorg(list *options, size_params params);
layer make_reorg_layer(int batch, int w, int h, int c, int stride, int reverse);
void resize_reorg_layer(layer *l, int w, int h);
void forward_reorg_layer(layer l, network_state state);
void backward_reorg_layer(layer l, network_state state);

// The permutation both reorganising kinds are built from; (w, h, c) is the geometry the caller
// picks, c must be a multiple of stride * stride.
void reorg_cpu(const float *x, int w, int h, int c, int batch, int stride, int forward, float *out);
// Output geometry of a reorganisation of (w, h, c).
void reorg_shape(layer &l, int w, int h);
// The reorganisations need a channel count that stride * stride divides; checks that and exits.
void check_reorg_channels(const char *section, int c, int stride);
