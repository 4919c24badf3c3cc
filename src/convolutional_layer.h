// The convolutional layer: cfg parsing, construction, the CPU passes, resize, the binarised
// (XNOR) helpers and the layer's part of the weights file.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstddef>
#include <cstdio>

layer parse_convolutional(list *options, size_params params);
layer make_convolutional_layer(int batch, int steps, int h, int w, int c, int n, int groups, int size, int stride_x,
                               int stride_y, int dilation, int padding, ACTIVATION activation, int batch_normalize,
                               int binary, int xnor, int adam, int use_bin_output, int index, int antialiasing,
                               layer *share_layer, int assisted_excitation, int deform, int train);
void forward_convolutional_layer(layer l, network_state state);
void backward_convolutional_layer(layer l, network_state state);
void update_convolutional_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void resize_convolutional_layer(layer *l, int w, int h);

// Fills an anti-aliasing blur layer's fixed filters (3 x 3 binomial or 2 x 2 box) and zero biases.
void set_blur_weights(layer &blur);

// Output extent of one spatial axis.
int convolutional_out_size(int in, int size, int pad, int stride, int dilation);
// Bytes of shared workspace the CPU passes of l need.
size_t get_convolutional_workspace_size(layer l);
// Columns per band in which the forward pass unfolds and multiplies (out_h·out_w when unbanded).
int convolutional_band_columns(const layer &l);

void binarize_weights(float *weights, int n, int size, float *binary);
void binarize_cpu(float *input, int n, float *binary);
void binary_align_weights(layer *l);
void assisted_excitation_forward(layer l, network_state state);

void load_convolutional_weights(layer l, FILE *fp);
void save_convolutional_weights(layer l, FILE *fp);
void save_convolutional_weights_ema(layer l, FILE *fp);

// Releases the arrays only this kind has (Adam moments, binarised and bit-packed buffers); the
// common arrays and the blur sub-layer are released by free_layer_custom.
void free_convolutional_arrays(layer *l);
