// Overlap measures between centre-based boxes, their analytic gradient (the box-regression loss of
// the detection heads) and the non-maximum-suppression routines over detection arrays.
#pragma once
#include "quillon.h"

// Derivative of the chosen overlap measure with respect to the predicted box (direction that
// increases it); the size components are not halved.
struct box_gradient {
    float dx, dy, dw, dh;
};

// What a head's box-delta routine reports per truth.
struct box_ious {
    float iou, giou, diou, ciou;
    box_gradient dx_iou;
};

box box_from_floats(const float *f, int stride);
float box_overlap(float x1, float w1, float x2, float w2);
float box_intersection(box a, box b);
float box_union(box a, box b);
float box_iou(box a, box b);
float box_giou(box a, box b);
float box_diou(box a, box b);
float box_diou_power(box a, box b, float beta);
// a is the prediction, b the truth (the aspect term is not symmetric).
float box_ciou(box a, box b);
float box_iou_kind(box a, box b, IOU_LOSS kind);
box_gradient box_iou_gradient(box pred, box truth, IOU_LOSS kind);

int nms_comparator(const void *pa, const void *pb);
