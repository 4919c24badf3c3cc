// The gated recurrent unit: update (z), reset (r) and candidate (h) gates, each the sum of a
// connected sub-layer on the input and one on the previous state.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_gru(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_gru_layer(int batch, int inputs, int outputs, int steps, int batch_normalize);
void forward_gru_layer(layer l, network_state state);
void backward_gru_layer(layer l, network_state state);
void update_gru_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void free_gru_arrays(layer *l);
