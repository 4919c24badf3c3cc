// The softmax classifier: a softmax over groups of the input (consecutive equal groups, or the
// groups of a class hierarchy) with the cross-entropy delta against the truth.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_softmax(list *options, size_params params);
layer make_softmax_layer(int batch, int inputs, int groups);
void forward_softmax_layer(layer l, network_state state);
void backward_softmax_layer(layer l, network_state state);
// Releases the loss array and the class hierarchy.
void free_softmax_arrays(layer *l);
