// The fixed-grid head "[detection]": per cell class probabilities, per cell slot objectness and a
// box; its training loss and its extraction.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_detection(list *options, size_params params);
layer make_detection_layer(int batch, int inputs, int n, int side, int classes, int coords, int rescore);
void forward_detection_layer(layer l, network_state state);
void backward_detection_layer(layer l, network_state state);

// Every cell and slot of image 0, in the order cell, slot; boxes in the units of w and h.
void get_detection_detections(layer l, int w, int h, float thresh, detection *dets);
// As get_detection_detections, writing at most class_capacity probabilities per detection.
void fill_detection_detections(layer l, int w, int h, float thresh, detection *dets, int class_capacity);
