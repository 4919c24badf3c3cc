// "[route]": the concatenation of (one channel group of) the outputs of earlier layers.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_route(list *options, size_params params);
layer make_route_layer(int batch, int n, int *input_layers, int *input_sizes, int groups, int group_id);
void resize_route_layer(layer *l, network *net);
void forward_route_layer(layer l, network_state state);
void backward_route_layer(layer l, network_state state);

// Reads a comma-separated list of layer indexes (negative: relative to the layer being built) into
// a new array of *count entries; an index outside the layers already built ends the process with a
// message naming the section.
int *read_layer_indexes(const char *text, size_params params, const char *section, int *count);
// Releases the input sizes (the layer-kind table's release step).
void free_route_arrays(layer *l);
