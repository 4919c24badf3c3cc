// The history layer: each output is the step's input followed by the previous output of the same
// sequence, truncated, so that the last history_size inputs lie stacked along the channel axis.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_history(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_history_layer(int batch, int h, int w, int c, int history_size, int steps, int train);
void forward_history_layer(layer l, network_state state);
void backward_history_layer(layer l, network_state state);
void free_history_arrays(layer *l);
