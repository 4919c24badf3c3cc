// "[shortcut]": the previous layer's output plus the outputs of earlier layers, optionally
// weighted per input or per channel (the weights normalised by ReLU or softmax).
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

layer parse_shortcut(list *options, size_params params, network net);
layer make_shortcut_layer(int batch, int n, int *input_layers, int *input_sizes, int w, int h, int c,
                          float **layers_output, float **layers_delta, float **layers_output_gpu,
                          float **layers_delta_gpu, int weights_type, WEIGHTS_NORMALIZATION_T weights_normalization,
                          ACTIVATION activation, int train);
void resize_shortcut_layer(layer *l, int w, int h, network *net);
void forward_shortcut_layer(layer l, network_state state);
void backward_shortcut_layer(layer l, network_state state);
void update_shortcut_layer(layer l, int batch, float learning_rate, float momentum, float decay);

void load_shortcut_weights(layer l, FILE *fp);
void save_shortcut_weights(layer l, FILE *fp);
// Releases the per-input size and pointer arrays (the layer-kind table's release step).
void free_shortcut_arrays(layer *l);
