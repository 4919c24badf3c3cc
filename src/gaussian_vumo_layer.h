// The Gaussian detection head "[Gaussian_vumo]": a VUMO head whose box coordinates each carry a
// mean and an uncertainty, trained by a Gaussian negative log-likelihood; class scores are scaled
// by the predicted certainty and the box position may denote the centre or a corner.
#pragma once
#include "box_geometry.h"
#include "parser.h"
#include "quillon.h"

// Per anchor slot: 0 x, 1 x uncertainty, 2 y, 3 y uncertainty, 4 w, 5 w uncertainty, 6 h,
// 7 h uncertainty, 8 objectness, 9.. classes; location = slot * w * h + row * w + col.
inline int gaussian_entry_index(const layer &l, int b, int location, int entry)
{
    const int area = l.w * l.h;
    return b * l.outputs + (location / area) * area * (l.classes + 9) + entry * area + location % area;
}

layer parse_gaussian_vumo(list *options, size_params params);
// Takes ownership of mask (null: slots 0..n-1).
layer make_gaussian_vumo_layer(int batch, int w, int h, int n, int total, int *mask, int classes, int max_boxes);
void forward_gaussian_vumo_layer(layer l, network_state state);
void backward_gaussian_vumo_layer(layer l, network_state state);
void resize_gaussian_vumo_layer(layer *l, int w, int h);
void free_gaussian_vumo_arrays(layer *l);

// The training part of the forward pass on the activated output: fills delta and cost.
void gaussian_vumo_training_loss(layer l, network_state state);

box get_gaussian_vumo_box(const float *x, const float *biases, int n, int index, int col, int row, int lw, int lh,
                          int netw, int neth, int stride, int point);
float delta_gaussian_vumo_box(box truth, const float *x, const float *biases, int n, int index, int col, int row,
                              int lw, int lh, int netw, int neth, float *delta, float scale, int stride,
                              float iou_normalizer, IOU_LOSS iou_loss, float uc_normalizer, int point,
                              float max_delta);
void delta_gaussian_vumo_class(const float *output, float *delta, int index, int class_id, int classes, int stride,
                               float *avg_cat, float label_smooth_eps, const float *classes_multipliers,
                               float cls_normalizer);
void average_gaussian_vumo_deltas(int class_index, int box_index, int stride, int classes, float *delta);

int gaussian_vumo_num_detections(layer l, float thresh);
int get_gaussian_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                                 detection *dets, int letter);
// As get_gaussian_vumo_detections, writing at most class_capacity probabilities per detection.
int fill_gaussian_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int relative,
                                  detection *dets, int letter, int class_capacity);
