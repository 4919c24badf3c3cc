// The detector entry points (training loop, mAP validation, single-image test) and the mAP
// bookkeeping they share: matching detections to the truth of each image, the precision/recall
// curves and the average precision of each class by area under the curve or N recall points.
#pragma once
#include "data.h"
#include "quillon.h"

#include <vector>

// One entry of the validation-wide detection list: one (candidate, class) pair of one image.
struct scored_detection {
    box bbox;
    float score;
    int class_id;
    int image_pos;
    int matched;
    int truth_id;
};
static_assert(sizeof(scored_detection) == 36, "scored_detection is a 36-byte record");

// One rank of a class's precision/recall curve.
struct pr_point {
    double precision;
    double recall;
    int tp, fp, fn;
};

// What the validation pass accumulates image by image.
struct map_accumulator {
    int classes = 0;
    std::vector<scored_detection> detections;
    std::vector<int> truth_per_class;
    std::vector<int> tp_per_class;  // at the confidence threshold
    std::vector<int> fp_per_class;
    std::vector<float> iou_sum_per_class;
    int unique_truth_count = 0;  // truth boxes of all images so far
    int tp_for_thresh = 0;
    int fp_for_thresh = 0;
    float avg_iou = 0;  // sum of the IoUs of the TPs at the threshold
};

map_accumulator make_map_accumulator(int classes);

// Adds one image: its candidates (after suppression), its label boxes and, when given, the boxes
// that count neither as hits nor as misses. Label boxes whose class lies outside 0..classes-1 must
// have been removed by the caller (see drop_out_of_range_labels).
void map_add_image(map_accumulator &acc, const detection *dets, int nboxes, const label_box *truth, int num_labels,
                   const label_box *difficult, int num_difficult, int image_pos, float iou_thresh, float conf_thresh);

// Keeps only the boxes whose class lies in 0..classes-1, in order; returns the new count.
int drop_out_of_range_labels(label_box *boxes, int count, int classes);

// The average precision of one class from its curve over all ranks: recall_points 0 is the area
// under the curve, N > 0 the mean of the best precision at N evenly spaced recall targets.
double average_precision(const pr_point *curve, int ranks, int recall_points);

// Sorts the list, builds the curves, prints the per-class lines and the threshold statistics and
// returns the mAP; ap_per_class (classes entries) receives each class's AP when not null. Classes
// beyond names_count print an empty name.
float map_finish(map_accumulator &acc, char **names, int names_count, int recall_points, float iou_thresh,
                 float conf_thresh, double *ap_per_class);
