// Batch normalisation: the stand-alone [batchnorm] layer and the normalisation steps that
// convolutional layers run on their own output.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

// The section has no keys of its own: the layer normalises the previous layer's output shape.
layer parse_batchnorm(list *options, size_params params);
layer make_batchnorm_layer(int batch, int w, int h, int c, int train);
void forward_batchnorm_layer(layer l, network_state state);
void backward_batchnorm_layer(layer l, network_state state);
void update_batchnorm_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void resize_batchnorm_layer(layer *l, int w, int h);

void load_batchnorm_weights(layer l, FILE *fp);
void save_batchnorm_weights(layer l, FILE *fp);
