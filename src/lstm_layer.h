// The long short-term memory layer: four gates, each the sum of a connected sub-layer on the input
// (uf, ui, ug, uo) and one on the previous hidden state (wf, wi, wg, wo).
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_lstm(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_lstm_layer(int batch, int inputs, int outputs, int steps, int batch_normalize);
void forward_lstm_layer(layer l, network_state state);
void backward_lstm_layer(layer l, network_state state);
void update_lstm_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void free_lstm_arrays(layer *l);
