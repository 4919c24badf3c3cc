// The older anchor head "[region]": one interleaved record per cell and anchor (box, logistic
// objectness, softmax or hierarchical classes), its training loss and its box extraction.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_region(list *options, size_params params);
layer make_region_layer(int batch, int w, int h, int n, int classes, int coords, int max_boxes);
void forward_region_layer(layer l, network_state state);
// Adds delta, brought back from the record layout into the input's planes, to state.delta.
void backward_region_layer(layer l, network_state state);
void resize_region_layer(layer *l, int w, int h);
void free_region_arrays(layer *l);

// Record layout of the head: the values of image b, cell i = row * w + col and anchor n start at
// b * outputs + (i * l.n + n) * (coords + classes + 1).
inline int region_record_index(const layer &l, int b, int cell, int n)
{
    return b * l.outputs + (cell * l.n + n) * (l.coords + l.classes + 1);
}

box get_region_box(const float *x, const float *biases, int n, int index, int col, int row, int w, int h);
float delta_region_box(box truth, const float *x, const float *biases, int n, int index, int col, int row, int w,
                       int h, float *delta, float scale);
void delta_region_class(const float *output, float *delta, int index, int class_id, int classes, const tree *hier,
                        float scale, float *avg_cat, int focal_loss);
// Boxes and class probabilities of image 0 for every cell and anchor (record order), boxes scaled
// by w x h.
void get_region_boxes(layer l, int w, int h, float thresh, float **probs, box *boxes, int only_objectness,
                      const int *map);
void custom_get_region_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, float hier,
                                  int relative, detection *dets, int letter);
// As custom_get_region_detections, writing at most class_capacity probabilities per detection.
void fill_region_detections(layer l, int w, int h, int netw, int neth, float thresh, const int *map, int relative,
                            detection *dets, int letter, int class_capacity);
