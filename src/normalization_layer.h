// Local response normalisation across channels: every value is divided by a power of the summed
// squares of its neighbouring channels.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_normalization(list *options, size_params params);
layer make_normalization_layer(int batch, int w, int h, int c, int size, float alpha, float beta, float kappa);
void forward_normalization_layer(layer l, network_state state);
void backward_normalization_layer(layer l, network_state state);
void resize_normalization_layer(layer *l, int w, int h);
// Releases the squared and norms arrays.
void free_normalization_arrays(layer *l);
