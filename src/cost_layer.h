// The cost layer: a regression loss of the previous layer's output against the truth.
#pragma once
#include "parser.h"
#include "quillon.h"

// "sse", "masked" or "smooth"; anything else reports itself and is SSE.
COST_TYPE get_cost_type(const char *s);

layer parse_cost(list *options, size_params params);
layer make_cost_layer(int batch, int inputs, COST_TYPE cost_type, float scale);
void forward_cost_layer(layer l, network_state state);
void backward_cost_layer(layer l, network_state state);
void resize_cost_layer(layer *l, int inputs);
