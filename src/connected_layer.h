// The fully connected layer: one matrix product per pass, optional batch normalisation with its
// own running-average factors, and the layer's part of the weights file. The recurrent layers are
// built from it.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

layer parse_connected(list *options, size_params params);
// Buffers hold batch · steps images; one pass runs batch images.
layer make_connected_layer(int batch, int steps, int inputs, int outputs, ACTIVATION activation, int batch_normalize);
void forward_connected_layer(layer l, network_state state);
void backward_connected_layer(layer l, network_state state);
void update_connected_layer(layer l, int batch, float learning_rate, float momentum, float decay);

// transpose: the file stores each weight matrix input-major.
void load_connected_weights(layer l, FILE *fp, int transpose);
void save_connected_weights(layer l, FILE *fp);
