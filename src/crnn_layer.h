// The convolutional recurrent layer: the simple recurrent layer with convolutional input, self and
// output sub-layers over h x w x hidden states.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_crnn(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_crnn_layer(int batch, int h, int w, int c, int hidden_filters, int output_filters, int groups, int steps,
                      int size, int stride, int dilation, int pad, ACTIVATION activation, int batch_normalize,
                      int xnor, int train);
void forward_crnn_layer(layer l, network_state state);
void backward_crnn_layer(layer l, network_state state);
void update_crnn_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void resize_crnn_layer(layer *l, int w, int h);
void free_crnn_arrays(layer *l);
