// Global average pooling ("[avgpool]"): one value per channel, the mean over the spatial extent.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_avgpool(list *options, size_params params);
layer make_avgpool_layer(int batch, int w, int h, int c);
void resize_avgpool_layer(layer *l, int w, int h);
void forward_avgpool_layer(layer l, network_state state);
void backward_avgpool_layer(layer l, network_state state);
