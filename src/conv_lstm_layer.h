// The convolutional LSTM: the LSTM gates as convolutions over h x w x filters states, with optional
// peephole convolutions on the cell state and a bottleneck form for the device pass.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_conv_lstm(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_conv_lstm_layer(int batch, int h, int w, int c, int output_filters, int groups, int steps, int size,
                           int stride, int dilation, int pad, ACTIVATION activation, int batch_normalize, int peephole,
                           int xnor, int bottleneck, int train);
void forward_conv_lstm_layer(layer l, network_state state);
void backward_conv_lstm_layer(layer l, network_state state);
void update_conv_lstm_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void resize_conv_lstm_layer(layer *l, int w, int h);
void free_conv_lstm_arrays(layer *l);

// The weights-file entries: peephole, state-side and input-side convolutions in that order.
void load_conv_lstm_weights(layer l, FILE *fp);
void save_conv_lstm_weights(layer l, FILE *fp);
