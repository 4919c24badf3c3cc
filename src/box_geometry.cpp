// Box overlap measures (IoU and its generalised, distance and complete variants), their gradient
// for the box-regression loss, and the suppression routines that thin out detection arrays.
#include "box_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <utility>

static_assert(sizeof(box) == 16, "box crosses the library boundary");
static_assert(sizeof(detection) == 88, "detection crosses the library boundary");
static_assert(offsetof(detection, classes) == 16 && offsetof(detection, best_class_index) == 20 &&
                  offsetof(detection, prob) == 24 && offsetof(detection, mask) == 32 &&
                  offsetof(detection, objectness) == 40 && offsetof(detection, sort_class) == 44 &&
                  offsetof(detection, uc) == 48 && offsetof(detection, points) == 56 &&
                  offsetof(detection, embeddings) == 64 && offsetof(detection, embedding_size) == 72 &&
                  offsetof(detection, sim) == 76 && offsetof(detection, track_id) == 80,
              "detection field layout is fixed");

namespace {

constexpr double four_over_pi_sq = 0.4052847345693511;
constexpr double eight_over_pi_sq = 0.8105694691387022;

// Edges of the smallest axis-aligned box enclosing both.
struct enclosing {
    float top, bot, left, right;
};

enclosing enclosing_box(box a, box b)
{
    enclosing e;
    e.top = std::min(a.y - a.h / 2, b.y - b.h / 2);
    e.bot = std::max(a.y + a.h / 2, b.y + b.h / 2);
    e.left = std::min(a.x - a.w / 2, b.x - b.w / 2);
    e.right = std::max(a.x + a.w / 2, b.x + b.w / 2);
    return e;
}

float diou_with_exponent(box a, box b, double exponent)
{
    enclosing e = enclosing_box(a, b);
    float cw = e.right - e.left;
    float ch = e.bot - e.top;
    float c = cw * cw + ch * ch;
    float iou = box_iou(a, b);
    if (c == 0) return iou;
    float d = (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
    return (float)(iou - std::pow((double)(d / c), exponent));
}

// Moves candidates with zero objectness to the tail; returns the number that remain in play.
int compact_detections(detection *dets, int total)
{
    int k = total - 1;
    for (int i = 0; i <= k; ++i) {
        if (dets[i].objectness == 0) {
            std::swap(dets[i], dets[k]);
            --k;
            --i;
        }
    }
    return k + 1;
}

void sort_by_class(detection *dets, int total, int c)
{
    for (int i = 0; i < total; ++i) dets[i].sort_class = c;
    if (total > 1) std::qsort(dets, (size_t)total, sizeof(detection), nms_comparator);
}

}  // namespace

box box_from_floats(const float *f, int stride)
{
    box b;
    b.x = f[0];
    b.y = f[1 * stride];
    b.w = f[2 * stride];
    b.h = f[3 * stride];
    return b;
}

float box_overlap(float x1, float w1, float x2, float w2)
{
    float left = std::max(x1 - w1 / 2, x2 - w2 / 2);
    float right = std::min(x1 + w1 / 2, x2 + w2 / 2);
    return right - left;
}

float box_intersection(box a, box b)
{
    float w = box_overlap(a.x, a.w, b.x, b.w);
    float h = box_overlap(a.y, a.h, b.y, b.h);
    if (w < 0 || h < 0) return 0;
    return w * h;
}

float box_union(box a, box b)
{
    return a.w * a.h + b.w * b.h - box_intersection(a, b);
}

float box_iou(box a, box b)
{
    float i = box_intersection(a, b);
    float u = box_union(a, b);
    if (i == 0 || u == 0) return 0;
    return i / u;
}

float box_giou(box a, box b)
{
    enclosing e = enclosing_box(a, b);
    float area = (e.bot - e.top) * (e.right - e.left);
    if (area == 0) return box_iou(a, b);
    float u = box_union(a, b);
    return box_iou(a, b) - (area - u) / area;
}

float box_diou(box a, box b)
{
    return diou_with_exponent(a, b, 0.6);
}

float box_diou_power(box a, box b, float beta)
{
    return diou_with_exponent(a, b, (double)beta);
}

float box_ciou(box a, box b)
{
    enclosing e = enclosing_box(a, b);
    float cw = e.right - e.left;
    float ch = e.bot - e.top;
    float c = cw * cw + ch * ch;
    float iou = box_iou(a, b);
    if (c == 0) return iou;
    float u = ((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y)) / c;
    double ar = std::atan((double)(b.w / b.h)) - std::atan((double)(a.w / a.h));
    double v = four_over_pi_sq * ar * ar;
    double alpha = v / (1 - iou + v + 0.000001);
    return (float)(iou - (u + alpha * v));
}

float box_iou_kind(box a, box b, IOU_LOSS kind)
{
    switch (kind) {
    case GIOU: return box_giou(a, b);
    case DIOU: return box_diou(a, b);
    case CIOU: return box_ciou(a, b);
    default: return box_iou(a, b);
    }
}

box_gradient box_iou_gradient(box pred, box truth, IOU_LOSS kind)
{
    float t0 = pred.y - pred.h / 2, b0 = pred.y + pred.h / 2;
    float l0 = pred.x - pred.w / 2, r0 = pred.x + pred.w / 2;
    float pt = std::min(t0, b0), pb = std::max(t0, b0);
    float pl = std::min(l0, r0), pr = std::max(l0, r0);
    float tt = truth.y - truth.h / 2, tb = truth.y + truth.h / 2;
    float tl = truth.x - truth.w / 2, tr = truth.x + truth.w / 2;

    float X = (pb - pt) * (pr - pl);
    float Xt = (tb - tt) * (tr - tl);
    float Ih = std::min(pb, tb) - std::max(pt, tt);
    float Iw = std::min(pr, tr) - std::max(pl, tl);
    float I = Iw * Ih;
    float U = X + Xt - I;
    float S = (pred.x - truth.x) * (pred.x - truth.x) + (pred.y - truth.y) * (pred.y - truth.y);

    float gw = std::max(pr, tr) - std::min(pl, tl);
    float gh = std::max(pb, tb) - std::min(pt, tt);
    float G = gw * gh;

    // Edge order: top, bottom, left, right.
    float dX[4] = {-(pr - pl), pr - pl, -(pb - pt), pb - pt};
    float dI[4] = {pt > tt ? -Iw : 0, pb < tb ? Iw : 0, pl > tl ? -Ih : 0, pr < tr ? Ih : 0};
    float dG[4] = {pt < tt ? -gw : 0, pb > tb ? gw : 0, pl < tl ? -gh : 0, pr > tr ? gh : 0};
    float dU[4], p[4];
    for (int e = 0; e < 4; ++e) {
        dU[e] = dX[e] - dI[e];
        p[e] = U > 0 ? (U * dI[e] - I * dU[e]) / (U * U) : 0;
    }
    // A box whose edges arrive swapped takes the gradient of the edge it became.
    if (!(t0 < b0)) p[0] = p[1];
    if (!(l0 < r0)) p[2] = p[3];

    if (kind == GIOU) {
        float g[4];
        for (int e = 0; e < 4; ++e) g[e] = (G * dU[e] - U * dG[e]) / (G * G);
        if (G > 0)
            for (int e = 0; e < 4; ++e) p[e] += g[e];
        if (Iw <= 0 || Ih <= 0)
            for (int e = 0; e < 4; ++e) p[e] = g[e];
    }

    box_gradient d;
    d.dx = p[2] + p[3];
    d.dy = p[0] + p[1];
    d.dw = p[3] - p[2];
    d.dh = p[1] - p[0];

    if (kind == DIOU || kind == CIOU) {
        enclosing c = enclosing_box(pred, truth);
        float Cw = c.right - c.left;
        float Ch = c.bot - c.top;
        float Q = Cw * Cw + Ch * Ch;
        float dCw_dx = (float)(pr > tr) - (float)(pl < tl);
        float dCh_dy = (float)(pb > tb) - (float)(pt < tt);
        float dCw_dw = (pr > tr ? 0.5f : 0.0f) + (pl < tl ? 0.5f : 0.0f);
        float dCh_dh = (pb > tb ? 0.5f : 0.0f) + (pt < tt ? 0.5f : 0.0f);
        float Tx = (2 * (truth.x - pred.x) * Q - 2 * Cw * dCw_dx * S) / (Q * Q);
        float Ty = (2 * (truth.y - pred.y) * Q - 2 * Ch * dCh_dy * S) / (Q * Q);
        float Tw = 2 * Cw * dCw_dw * S / (Q * Q);
        float Th = 2 * Ch * dCh_dh * S / (Q * Q);
        if (kind == CIOU) {
            double ar = std::atan((double)(truth.w / truth.h)) - std::atan((double)(pred.w / pred.h));
            double v = four_over_pi_sq * ar * ar;
            double alpha = v / (1 - I / U + v + 0.000001);
            Tw += (float)(alpha * (eight_over_pi_sq * ar * pred.h));
            Th += (float)(alpha * (-eight_over_pi_sq * ar * pred.w));
        }
        if (Q > 0) {
            d.dx += Tx;
            d.dy += Ty;
            d.dw += Tw;
            d.dh += Th;
        }
        if (Iw <= 0 || Ih <= 0) {
            d.dx = Tx;
            d.dy = Ty;
            d.dw = Tw;
            d.dh = Th;
        }
    }
    return d;
}

int nms_comparator(const void *pa, const void *pb)
{
    const detection *a = (const detection *)pa;
    const detection *b = (const detection *)pb;
    float diff = b->sort_class >= 0 ? a->prob[b->sort_class] - b->prob[b->sort_class]
                                    : a->objectness - b->objectness;
    if (diff < 0) return 1;
    if (diff > 0) return -1;
    return 0;
}

extern "C" QUILLON_API void do_nms_sort(detection *dets, int total, int classes, float thresh)
{
    total = compact_detections(dets, total);
    for (int c = 0; c < classes; ++c) {
        sort_by_class(dets, total, c);
        for (int i = 0; i < total; ++i) {
            if (dets[i].prob[c] == 0) continue;
            box a = dets[i].bbox;
            for (int j = i + 1; j < total; ++j)
                if (box_iou(a, dets[j].bbox) > thresh) dets[j].prob[c] = 0;
        }
    }
}

extern "C" QUILLON_API void do_nms_obj(detection *dets, int total, int classes, float thresh)
{
    total = compact_detections(dets, total);
    sort_by_class(dets, total, -1);
    for (int i = 0; i < total; ++i) {
        if (dets[i].objectness == 0) continue;
        box a = dets[i].bbox;
        for (int j = i + 1; j < total; ++j) {
            if (dets[j].objectness == 0) continue;
            if (box_iou(a, dets[j].bbox) > thresh) {
                dets[j].objectness = 0;
                for (int k = 0; k < classes; ++k) dets[j].prob[k] = 0;
            }
        }
    }
}

extern "C" QUILLON_API void diounms_sort(detection *dets, int total, int classes, float thresh, NMS_KIND nms_kind,
                                         float beta)
{
    total = compact_detections(dets, total);
    for (int c = 0; c < classes; ++c) {
        sort_by_class(dets, total, c);
        for (int i = 0; i < total; ++i) {
            if (dets[i].prob[c] == 0) continue;
            box a = dets[i].bbox;
            for (int j = i + 1; j < total; ++j) {
                box b = dets[j].bbox;
                bool suppress = false;
                if (nms_kind == CORNERS_NMS)
                    suppress = box_iou(a, b) > thresh;
                else if (nms_kind == GREEDY_NMS)
                    suppress = box_diou(a, b) > thresh;
                else if (nms_kind == DIOU_NMS)
                    suppress = box_diou_power(a, b, beta) > thresh;
                if (suppress) dets[j].prob[c] = 0;
            }
        }
    }
}

extern "C" QUILLON_API void free_detections(detection *dets, int n)
{
    for (int i = 0; i < n; ++i) {
        std::free(dets[i].prob);
        std::free(dets[i].uc);
        std::free(dets[i].mask);
        std::free(dets[i].embeddings);
    }
    std::free(dets);
}
