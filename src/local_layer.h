// The locally connected layer: a convolution whose filter bank differs at every output position,
// and its part of the weights file.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

layer parse_local(list *options, size_params params);
layer make_local_layer(int batch, int h, int w, int c, int n, int size, int stride, int pad, ACTIVATION activation);
void forward_local_layer(layer l, network_state state);
void backward_local_layer(layer l, network_state state);
void update_local_layer(layer l, int batch, float learning_rate, float momentum, float decay);

void load_local_weights(layer l, FILE *fp);
void save_local_weights(layer l, FILE *fp);
// Releases the column buffer.
void free_local_arrays(layer *l);
