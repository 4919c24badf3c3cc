// The older reorganisation ("[reorg]"): the same permutation over the input geometry.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_reorg_old(list *options, size_params params);
layer make_reorg_old_layer(int batch, int w, int h, int c, int stride, int reverse);
void resize_reorg_old_layer(layer *l, int w, int h);
void forward_reorg_old_layer(layer l, network_state state);
void backward_reorg_old_layer(layer l, network_state state);
