// "[dropout]": zeroes random values of the previous layer's output during training and scales
// the survivors, in place on that layer's buffers.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_dropout(list *options, size_params params);
layer make_dropout_layer(int batch, int inputs, float probability, int dropblock, float dropblock_size_rel,
                         int dropblock_size_abs, int w, int h, int c);
void resize_dropout_layer(layer *l, int inputs);
void forward_dropout_layer(layer l, network_state state);
void backward_dropout_layer(layer l, network_state state);
// Releases the random draws (the layer's only array of its own).
void free_dropout_arrays(layer *l);
