// The anchor-based detection head "[vumo]": its cfg section, construction, the activation and
// decoding of its cells into boxes, counting and extracting detections, letterbox correction,
// resize, and the training pass that fills its deltas.
#pragma once
#include "box_geometry.h"
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

// One image of a training pass: copies of the layer and the state, the image, and its sums.
struct vumo_train_args {
    layer l;
    network_state state;
    int b;
    float tot_iou;
    float tot_giou_loss;
    float tot_iou_loss;
    int count;
    int class_count;
};

// Worker body (a vumo_train_args *): fills the deltas and cell ids of image b.
void *vumo_process_image(void *args);
// Adds the box deltas of one truth at index and reports the prediction's overlap with it; bumps
// rewritten_bbox when the slot already held box deltas.
box_ious vumo_delta_box(box truth, const float *x, const float *biases, int n, int index, int col, int row, int lw,
                        int lh, int netw, int neth, float *delta, float scale, int stride, float iou_normalizer,
                        IOU_LOSS iou_loss, float max_delta, uint64_t *rewritten_bbox, int new_coords);
void vumo_delta_class(const float *output, float *delta, int index, int class_id, int classes, int stride,
                      int focal_loss, float label_smooth_eps, const float *classes_multipliers, float cls_normalizer);
// Divides the box deltas of a slot by the number of classes it is pushed towards.
void vumo_average_deltas(int class_index, int box_index, int stride, int classes, float *delta);

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

// Section helpers shared by the detection heads.
// The fields, arrays and anchors (all .5) common to the anchor heads, entries values per anchor
// besides the classes; takes ownership of mask (null: slots 0..n-1).
layer make_head_layer(LAYER_TYPE type, int batch, int w, int h, int n, int total, int *mask, int classes,
                      int max_boxes, int entries);
// The "mask" list (n set to its length when present), every index checked against the total
// anchors: outside it the process ends naming the section.
int *read_head_mask(list *options, int total, int *n, const char *section);
// Ends the process when the head's size is not the previous layer's output size; sizes names the
// keys that set it.
void check_head_inputs(const layer &l, int inputs, const char *section, const char *sizes);
// The "anchors" list into biases, at most 2·total values; null text leaves them.
void read_anchors(const char *text, layer &l);
// The common part of a head's resize: the grid, sizes and the output and delta arrays (unless
// pinned).
void resize_head_layer(layer *l, int w, int h, int entries);
IOU_LOSS iou_loss_from_string(const char *s);
// Unknown words print " Wrong iou_thresh_kind" and give IOU.
IOU_LOSS iou_thresh_kind_from_string(const char *s);
// "counters_per_class": per-class loss multipliers max_count / count, capped at max_delta.
void read_class_multipliers(list *options, layer &l);
