// "[sam]": an earlier layer's output multiplied element by element with the previous layer's.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_sam(list *options, size_params params, network net);
layer make_sam_layer(int batch, int index, int w, int h, int c, int out_w, int out_h, int out_c);
void resize_sam_layer(layer *l, int w, int h);
void forward_sam_layer(layer l, network_state state);
void backward_sam_layer(layer l, network_state state);
