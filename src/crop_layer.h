// The crop layer: a random window (random horizontal flip) of every input image in training, the
// centred window otherwise, optionally mapped from 0..1 to -1..1.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_crop(list *options, size_params params);
layer make_crop_layer(int batch, int h, int w, int c, int crop_height, int crop_width, int flip, float angle,
                      float saturation, float exposure);
void forward_crop_layer(layer l, network_state state);
// The window keeps its proportion of the input.
void resize_crop_layer(layer *l, int w, int h);
