// The stand-alone [activation] layer: copies its input and applies one non-linearity.
#pragma once
#include "list.h"
#include "parser.h"
#include "quillon.h"

layer make_activation_layer(int batch, int inputs, ACTIVATION activation);
void forward_activation_layer(layer l, network_state state);
void backward_activation_layer(layer l, network_state state);
layer parse_activation(list *options, size_params params);
