// "[implicit]": a learned constant tensor (filters x atoms) that replaces the input.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

layer parse_implicit(list *options, size_params params);
layer make_implicit_layer(int batch, int index, float mean, float std, int filters, int atoms);
void forward_implicit_layer(layer l, network_state state);
void backward_implicit_layer(layer l, network_state state);
void update_implicit_layer(layer l, int batch, float learning_rate, float momentum, float decay);

void load_implicit_weights(layer l, FILE *fp);
void save_implicit_weights(layer l, FILE *fp);
