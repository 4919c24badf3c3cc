// "[scale_channels]": an earlier layer's output multiplied by per-channel (or per-position)
// factors from the previous layer.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_scale_channels(list *options, size_params params, network net);
layer make_scale_channels_layer(int batch, int index, int w, int h, int c, int out_w, int out_h, int out_c,
                                int scale_wh);
void resize_scale_channels_layer(layer *l, network *net);
void forward_scale_channels_layer(layer l, network_state state);
void backward_scale_channels_layer(layer l, network_state state);

// Reads the source layer of "[scale_channels]" and "[sam]" ("from", negative: relative); a missing
// or out-of-range source ends the process with a message naming the section.
int read_source_layer(list *options, size_params params, const char *section);
