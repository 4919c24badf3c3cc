// The anchor-based detection head "[vumo]": its cfg section, construction, the activation and
// decoding of its cells into boxes, counting and extracting detections, letterbox correction,
// resize, and the training pass that fills its deltas.
#pragma once
#include "parser.h"
#include "quillon.h"

// Index of one entry (0..3 box, 4 objectness, 5.. classes) of output, delta and truth arrays of the
// head for image b at location = slot * w * h + row * w + col.
inline int head_entry_index(const layer &l, int b, int location, int entry)
{
    const int area = l.w * l.h;
    const int slot = location / area;
    const int cell = location % area;
    return b * l.outputs + slot * area * (l.classes + 5) + entry * area + cell;
}

layer parse_vumo(list *options, size_params params);
// Values of a comma list up to the first '#'; null text gives null and leaves count_out as it is.
int *parse_vumo_mask(const char *text, int *count_out);
// Takes ownership of mask (null: slots 0..n-1).
layer make_vumo_layer(int batch, int w, int h, int n, int total, int *mask, int classes, int max_boxes);
void forward_vumo_layer(layer l, network_state state);
void backward_vumo_layer(layer l, network_state state);
void resize_vumo_layer(layer *l, int w, int h);
// Releases the head's own arrays (the common ones are released with every layer).
void free_vumo_arrays(layer *l);

// The training part of the forward pass: fills delta, cost and the per-cell track and class ids
// from state.truth. Runs after output was activated and delta zeroed.
void vumo_training_loss(layer l, network_state state);

int vumo_num_detections(layer l, float thresh);
int vumo_num_detections_batch(layer l, float thresh, int batch);
box get_vumo_box(const float *x, const float *biases, int n, int index, int col, int row, int lw, int lh, int netw,
                 int neth, int stride, int new_coords);
int get_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                        detection *dets, int letter);
int get_vumo_detections_batch(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                              detection *dets, int letter, int batch);
// As the batch form, writing at most class_capacity class probabilities per detection (the size of
// the prob arrays the caller allocated).
int fill_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int relative, detection *dets,
                         int letter, int batch, int class_capacity);
void correct_vumo_boxes(detection *dets, int n, int w, int h, int netw, int neth, int relative, int letter);
