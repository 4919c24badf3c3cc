// The Gaussian detection head "[Gaussian_vumo]": cfg section, construction, activation, decoding
// with centre or corner anchoring, the Gaussian negative log-likelihood training loss (on the
// calling thread), extraction with uncertainties, and resize.
#include "gaussian_vumo_layer.h"

#include "activation_functions.h"
#include "utils.h"
#include "vumo_layer.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

constexpr int POINT_CENTER = 1;
constexpr int POINT_LEFT_TOP = 2;
constexpr int POINT_RIGHT_BOTTOM = 4;

layer make_gaussian_vumo_layer(int batch, int w, int h, int n, int total, int *mask, int classes, int max_boxes)
{
    layer l = make_head_layer(GAUSSIAN_VUMO, batch, w, h, n, total, mask, classes, max_boxes, 9);
    l.forward = forward_gaussian_vumo_layer;
    l.backward = backward_gaussian_vumo_layer;
    return l;
}

static NMS_KIND nms_kind_from_string(const char *s)
{
    if (!strcmp(s, "greedynms")) return GREEDY_NMS;
    if (!strcmp(s, "diounms")) return DIOU_NMS;
    if (!strcmp(s, "cornersnms")) return CORNERS_NMS;
    return DEFAULT_NMS;
}

static int vumo_point_from_string(const char *s)
{
    if (!strcmp(s, "left_top")) return POINT_LEFT_TOP;
    if (!strcmp(s, "right_bottom")) return POINT_RIGHT_BOTTOM;
    return POINT_CENTER;
}

layer parse_gaussian_vumo(list *options, size_params params)
{
    const int classes = option_find_int(options, "classes", 20);
    const int max_boxes = option_find_int_quiet(options, "max", 200);
    const int total = option_find_int(options, "num", 1);
    int n = total;
    int *mask = read_head_mask(options, total, &n, "Gaussian_vumo");

    layer l = make_gaussian_vumo_layer(params.batch, params.w, params.h, n, total, mask, classes, max_boxes);
    check_head_inputs(l, params.inputs, "Gaussian_vumo", "classes= or mask=");

    l.max_delta = option_find_float_quiet(options, "max_delta", FLT_MAX);
    read_class_multipliers(options, l);
    l.label_smooth_eps = option_find_float_quiet(options, "label_smooth_eps", 0.0f);
    l.scale_x_y = option_find_float_quiet(options, "scale_x_y", 1);
    l.objectness_smooth = option_find_int_quiet(options, "objectness_smooth", 0);
    l.uc_normalizer = option_find_float_quiet(options, "uc_normalizer", 1.0);
    l.iou_normalizer = option_find_float_quiet(options, "iou_normalizer", 0.75);
    l.obj_normalizer = option_find_float_quiet(options, "obj_normalizer", 1.0);
    l.cls_normalizer = option_find_float_quiet(options, "cls_normalizer", 1);
    l.delta_normalizer = option_find_float_quiet(options, "delta_normalizer", 1);
    const char *iou_loss = option_find_str_quiet(options, "iou_loss", "mse");
    l.iou_loss = iou_loss_from_string(iou_loss);
    l.iou_thresh_kind = iou_thresh_kind_from_string(option_find_str_quiet(options, "iou_thresh_kind", "iou"));
    l.beta_nms = option_find_float_quiet(options, "beta_nms", 0.6);
    const char *nms_kind = option_find_str_quiet(options, "nms_kind", "default");
    l.nms_kind = nms_kind_from_string(nms_kind);
    if (strcmp(nms_kind, "default") != 0) printf("nms_kind: %s (%d), beta = %f \n", nms_kind, (int)l.nms_kind, l.beta_nms);
    l.vumo_point = vumo_point_from_string(option_find_str_quiet(options, "vumo_point", "center"));
    fprintf(stderr,
            "[Gaussian_vumo] iou loss: %s (%d), iou_norm: %2.2f, obj_norm: %2.2f, cls_norm: %2.2f, delta_norm: "
            "%2.2f, scale: %2.2f, point: %d\n",
            iou_loss, (int)l.iou_loss, l.iou_normalizer, l.obj_normalizer, l.cls_normalizer, l.delta_normalizer,
            l.scale_x_y, l.vumo_point);

    l.jitter = option_find_float(options, "jitter", .2);
    l.resize = option_find_float_quiet(options, "resize", 1.0);
    l.ignore_thresh = option_find_float(options, "ignore_thresh", .5);
    l.truth_thresh = option_find_float(options, "truth_thresh", 1);
    l.iou_thresh = option_find_float_quiet(options, "iou_thresh", 1);
    l.random = option_find_float_quiet(options, "random", 0);

    if (const char *map_file = option_find_str(options, "map", nullptr)) l.map = read_map(map_file);

    read_anchors(option_find_str(options, "anchors", nullptr), l);
    return l;
}

static void activate_gaussian_vumo_output(const layer &l)
{
    const int area = l.w * l.h;
    const float shift = -0.5f * (l.scale_x_y - 1);
    for (int b = 0; b < l.batch; ++b)
        for (int s = 0; s < l.n; ++s) {
            const int location = s * area;
            for (int entry : {0, 2}) {
                float *p = l.output + gaussian_entry_index(l, b, location, entry);
                activate_array(p, 2 * area, LOGISTIC);
                for (int i = 0; i < area; ++i) p[i] = p[i] * l.scale_x_y + shift;
            }
            activate_array(l.output + gaussian_entry_index(l, b, location, 5), area, LOGISTIC);
            activate_array(l.output + gaussian_entry_index(l, b, location, 7), area, LOGISTIC);
            activate_array(l.output + gaussian_entry_index(l, b, location, 8), (1 + l.classes) * area, LOGISTIC);
        }
}

box get_gaussian_vumo_box(const float *x, const float *biases, int n, int index, int col, int row, int lw, int lh,
                          int netw, int neth, int stride, int point)
{
    box b;
    b.w = (float)(exp((double)x[index + 4 * stride]) * biases[2 * n] / netw);
    b.h = (float)(exp((double)x[index + 6 * stride]) * biases[2 * n + 1] / neth);
    b.x = (col + x[index + 0 * stride]) / lw;
    b.y = (row + x[index + 2 * stride]) / lh;
    if (point == POINT_LEFT_TOP) {
        b.x += b.w / 2;
        b.y += b.h / 2;
    } else if (point == POINT_RIGHT_BOTTOM) {
        b.x -= b.w / 2;
        b.y -= b.h / 2;
    }
    return b;
}

static float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.f; }

float delta_gaussian_vumo_box(box truth, const float *x, const float *biases, int n, int index, int col, int row,
                              int lw, int lh, int netw, int neth, float *delta, float scale, int stride,
                              float iou_normalizer, IOU_LOSS iou_loss, float uc_normalizer, int point,
                              float max_delta)
{
    box pred = get_gaussian_vumo_box(x, biases, n, index, col, row, lw, lh, netw, neth, stride, point);
    const float iou = box_iou(pred, truth);
    const float giou = box_giou(pred, truth);
    if (pred.w == 0) pred.w = 1.0;
    if (pred.h == 0) pred.h = 1.0;

    float px = truth.x, py = truth.y;
    if (point == POINT_LEFT_TOP) {
        px = truth.x - truth.w / 2;
        py = truth.y - truth.h / 2;
    } else if (point == POINT_RIGHT_BOTTOM) {
        px = truth.x + truth.w / 2;
        py = truth.y + truth.h / 2;
    }
    const float targets[4] = {px * lw - col, py * lh - row, logf(truth.w * netw / biases[2 * n]),
                              logf(truth.h * neth / biases[2 * n + 1])};

    float d[8];
    for (int k = 0; k < 4; ++k) {
        const float mean = x[index + (2 * k) * stride];
        const float sigma = x[index + (2 * k + 1) * stride];
        const float e = (targets[k] - mean) / sigma;
        const float e2 = e * e;
        const float density = expf(-e2 / 2) / (sqrtf(2 * (float)M_PI) * (sigma + 0.3f));
        const float t = 0.5f / (density + 1e-9f) * density * scale;
        d[2 * k] = t * e / sigma;
        d[2 * k + 1] = t * (e2 / sigma - 1 / (sigma + 0.3f));
    }

    float result = iou;
    if (iou_loss != MSE) {
        const box_gradient g = box_iou_gradient(pred, truth, iou_loss);
        float dx = g.dx, dy = g.dy;
        if (point == POINT_LEFT_TOP) {
            dx = g.dx - g.dw / 2;
            dy = g.dy - g.dh / 2;
        } else if (point == POINT_RIGHT_BOTTOM) {
            dx = g.dx + g.dw / 2;
            dy = g.dy + g.dh / 2;
        }
        d[0] = dx;
        d[2] = dy;
        d[4] = g.dw * expf(x[index + 4 * stride]);
        d[6] = g.dh * expf(x[index + 6 * stride]);
        result = giou;
    }

    for (int k = 0; k < 8; ++k) {
        float v = d[k] * (k % 2 == 0 ? iou_normalizer : uc_normalizer);
        v = finite_or_zero(v);
        if (max_delta != FLT_MAX) v = std::clamp(v, -max_delta, max_delta);
        delta[index + k * stride] += v;
    }
    return result;
}

void delta_gaussian_vumo_class(const float *output, float *delta, int index, int class_id, int classes, int stride,
                               float *avg_cat, float label_smooth_eps, const float *classes_multipliers,
                               float cls_normalizer)
{
    const int truth_index = index + stride * class_id;
    if (delta[truth_index]) {
        float y_true = 1;
        if (label_smooth_eps) y_true = y_true * (1 - label_smooth_eps) + 0.5f * label_smooth_eps;
        delta[truth_index] = y_true - output[truth_index];
        if (classes_multipliers) delta[truth_index] *= classes_multipliers[class_id];
        if (avg_cat) *avg_cat += output[truth_index];
        return;
    }
    for (int k = 0; k < classes; ++k) {
        float y_true = k == class_id ? 1.f : 0.f;
        if (label_smooth_eps) y_true = y_true * (1 - label_smooth_eps) + 0.5f * label_smooth_eps;
        delta[index + stride * k] = y_true - output[index + stride * k];
        if (classes_multipliers && k == class_id) delta[truth_index] *= classes_multipliers[class_id] * cls_normalizer;
        if (k == class_id && avg_cat) *avg_cat += output[truth_index];
    }
}

void average_gaussian_vumo_deltas(int class_index, int box_index, int stride, int classes, float *delta)
{
    int positives = 0;
    for (int k = 0; k < classes; ++k)
        if (delta[class_index + stride * k] > 0) ++positives;
    if (positives == 0) return;
    for (int k = 0; k < 8; ++k) delta[box_index + stride * k] /= positives;
}

static box truth_record(const float *t) { return box{t[0], t[1], t[2], t[3]}; }

static float class_multiplier(const layer &l, int class_id)
{
    return l.classes_multipliers ? l.classes_multipliers[class_id] : 1.f;
}

static int mapped_class(const layer &l, int class_id) { return l.map ? l.map[class_id] : class_id; }

// The cell of the point a truth is anchored on.
static void truth_cell(const layer &l, box truth, int *col, int *row)
{
    float x = truth.x, y = truth.y;
    if (l.vumo_point == POINT_LEFT_TOP) {
        x -= truth.w / 2;
        y -= truth.h / 2;
    } else if (l.vumo_point == POINT_RIGHT_BOTTOM) {
        x += truth.w / 2;
        y += truth.h / 2;
    }
    *col = (int)std::clamp(x * l.w, 0.f, (float)(l.w - 1));
    *row = (int)std::clamp(y * l.h, 0.f, (float)(l.h - 1));
}

static int mask_slot(const layer &l, int anchor)
{
    for (int s = 0; s < l.n; ++s)
        if (l.mask[s] == anchor) return s;
    return -1;
}

void gaussian_vumo_training_loss(layer l, network_state state)
{
    const int area = l.w * l.h;
    const int netw = state.net.w, neth = state.net.h;
    float avg_iou = 0, recall = 0, recall75 = 0, avg_cat = 0, avg_obj = 0, avg_anyobj = 0;
    int count = 0, class_count = 0;
    *l.cost = 0;

    for (int b = 0; b < l.batch; ++b) {
        const float *truths = state.truth + (size_t)b * l.truths;
        for (int row = 0; row < l.h; ++row)
            for (int col = 0; col < l.w; ++col)
                for (int s = 0; s < l.n; ++s) {
                    const int location = s * area + row * l.w + col;
                    const int box_index = gaussian_entry_index(l, b, location, 0);
                    const int obj_index = gaussian_entry_index(l, b, location, 8);
                    const int class_index = gaussian_entry_index(l, b, location, 9);
                    const box pred = get_gaussian_vumo_box(l.output, l.biases, l.mask[s], box_index, col, row, l.w,
                                                           l.h, netw, neth, area, l.vumo_point);
                    float best_match_iou = 0, best_iou = 0;
                    int best_match_t = 0, best_t = 0;
                    for (int t = 0; t < l.max_boxes; ++t) {
                        const float *tr = truths + t * l.truth_size;
                        const box truth = truth_record(tr);
                        if (!truth.x) break;
                        const int class_id = (int)tr[4];
                        if (class_id >= l.classes || class_id < 0) {
                            printf("\n Warning: in txt-labels class_id=%d >= classes=%d in cfg-file. In txt-labels "
                                   "class_id should be [from 0 to %d] \n",
                                   class_id, l.classes, l.classes - 1);
                            printf("\n truth.x = %f, truth.y = %f, truth.w = %f, truth.h = %f, class_id = %d \n",
                                   truth.x, truth.y, truth.w, truth.h, class_id);
                            continue;
                        }
                        bool class_match = false;
                        for (int k = 0; k < l.classes; ++k)
                            if (l.output[class_index + area * k] > 0.25f) class_match = true;
                        const float iou = box_iou(pred, truth);
                        if (iou > best_match_iou && class_match) {
                            best_match_iou = iou;
                            best_match_t = t;
                        }
                        if (iou > best_iou) {
                            best_iou = iou;
                            best_t = t;
                        }
                    }
                    avg_anyobj += l.output[obj_index];
                    l.delta[obj_index] = l.obj_normalizer * (0 - l.output[obj_index]);
                    if (best_match_iou > l.ignore_thresh) {
                        if (l.objectness_smooth) {
                            l.delta[obj_index] =
                                l.obj_normalizer * (best_match_iou * best_match_iou - l.output[obj_index]);
                            const int class_id = mapped_class(l, (int)truths[best_match_t * l.truth_size + 4]);
                            delta_gaussian_vumo_class(l.output, l.delta, class_index, class_id, l.classes, area,
                                                      nullptr, l.label_smooth_eps, l.classes_multipliers,
                                                      l.cls_normalizer);
                        } else {
                            l.delta[obj_index] = 0;
                        }
                    } else if (state.net.adversarial) {
                        float scale = pred.w * pred.h;
                        if (scale > 0) scale = sqrtf(scale);
                        l.delta[obj_index] = scale * l.obj_normalizer * (0 - l.output[obj_index]);
                        for (int k = 0; k < l.classes; ++k) {
                            const int ci = class_index + area * k;
                            if (l.output[ci] * l.output[obj_index] > 0.25f) l.delta[ci] = scale * (0 - l.output[ci]);
                        }
                    }
                    if (best_iou > l.truth_thresh) {
                        const float *tr = truths + best_t * l.truth_size;
                        const float iou_multiplier = l.objectness_smooth ? best_iou * best_iou : 1.f;
                        l.delta[obj_index] = (iou_multiplier - l.output[obj_index]) * l.obj_normalizer;
                        const int class_id = mapped_class(l, (int)tr[4]);
                        delta_gaussian_vumo_class(l.output, l.delta, class_index, class_id, l.classes, area, nullptr,
                                                  l.label_smooth_eps, l.classes_multipliers, l.cls_normalizer);
                        const float multiplier = class_multiplier(l, class_id);
                        if (l.objectness_smooth)
                            l.delta[class_index + area * class_id] =
                                (iou_multiplier - l.output[class_index + area * class_id]) * multiplier;
                        const box truth = truth_record(tr);
                        delta_gaussian_vumo_box(truth, l.output, l.biases, l.mask[s], box_index, col, row, l.w, l.h,
                                                netw, neth, l.delta, 2 - truth.w * truth.h, area,
                                                l.iou_normalizer * multiplier, l.iou_loss, l.uc_normalizer,
                                                l.vumo_point, l.max_delta);
                    }
                }

        for (int t = 0; t < l.max_boxes; ++t) {
            const float *tr = truths + t * l.truth_size;
            const box truth = truth_record(tr);
            if (!truth.x) break;
            // Reported in the pass above; such an id would index outside the class planes.
            if ((int)tr[4] < 0 || (int)tr[4] >= l.classes) continue;
            int col, row;
            truth_cell(l, truth, &col, &row);
            const box truth_shift = {0, 0, truth.w, truth.h};
            float best_iou = 0;
            int best_n = 0;
            for (int a = 0; a < l.total; ++a) {
                const box anchor = {0, 0, l.biases[2 * a] / netw, l.biases[2 * a + 1] / neth};
                const float iou = box_iou(anchor, truth_shift);
                if (iou > best_iou) {
                    best_iou = iou;
                    best_n = a;
                }
            }
            const int class_id = mapped_class(l, (int)tr[4]);
            const float multiplier = class_multiplier(l, class_id);
            auto train_slot = [&](int slot, int anchor) {
                const int location = slot * area + row * l.w + col;
                const int box_index = gaussian_entry_index(l, b, location, 0);
                const int obj_index = gaussian_entry_index(l, b, location, 8);
                const int class_index = gaussian_entry_index(l, b, location, 9);
                const float iou = delta_gaussian_vumo_box(truth, l.output, l.biases, anchor, box_index, col, row, l.w,
                                                          l.h, netw, neth, l.delta, 2 - truth.w * truth.h, area,
                                                          l.iou_normalizer * multiplier, l.iou_loss, l.uc_normalizer,
                                                          l.vumo_point, l.max_delta);
                avg_obj += l.output[obj_index];
                l.delta[obj_index] = multiplier * l.obj_normalizer * (1 - l.output[obj_index]);
                delta_gaussian_vumo_class(l.output, l.delta, class_index, class_id, l.classes, area, &avg_cat,
                                          l.label_smooth_eps, l.classes_multipliers, l.cls_normalizer);
                ++count;
                ++class_count;
                if (iou > .5f) recall += 1;
                if (iou > .75f) recall75 += 1;
                avg_iou += iou;
            };
            const int mask_n = mask_slot(l, best_n);
            if (mask_n >= 0) train_slot(mask_n, best_n);
            if (l.iou_thresh < 1.0f)
                for (int a = 0; a < l.total; ++a) {
                    const int slot = mask_slot(l, a);
                    if (slot < 0 || a == best_n) continue;
                    const box anchor = {0, 0, l.biases[2 * a] / netw, l.biases[2 * a + 1] / neth};
                    if (box_iou_kind(anchor, truth_shift, l.iou_thresh_kind) > l.iou_thresh) train_slot(slot, a);
                }
        }

        for (int row = 0; row < l.h; ++row)
            for (int col = 0; col < l.w; ++col)
                for (int s = 0; s < l.n; ++s) {
                    const int location = s * area + row * l.w + col;
                    average_gaussian_vumo_deltas(gaussian_entry_index(l, b, location, 9),
                                                 gaussian_entry_index(l, b, location, 0), area, l.classes, l.delta);
                }
    }

    const size_t total_values = (size_t)l.batch * l.outputs;
    std::vector<float> copy(l.delta, l.delta + total_values);
    auto sum_squares = [&] {
        double s = 0;
        for (float v : copy) s += (double)v * v;
        return s;
    };
    auto zero_planes = [&](std::initializer_list<int> planes) {
        for (int b = 0; b < l.batch; ++b)
            for (int s = 0; s < l.n; ++s)
                for (int p : planes) {
                    float *d = copy.data() + gaussian_entry_index(l, b, s * area, p);
                    std::fill(d, d + area, 0.f);
                }
    };
    const double total = sum_squares();
    zero_planes({1, 3, 5, 7});
    const double box_part = sum_squares();
    zero_planes({0, 2, 4, 6});
    const double class_loss = sum_squares();
    *l.cost = (float)total;
    fprintf(stderr,
            "Region %d Avg IOU: %f, Class: %f, Obj: %f, No Obj: %f, .5R: %f, .75R: %f,  count: %d, class_loss = %.2f, "
            "iou_loss = %.2f, uc_loss = %.2f, total_loss = %.2f \n",
            state.index, avg_iou / count, avg_cat / class_count, avg_obj / count,
            avg_anyobj / (l.n * area * l.batch), recall / count, recall75 / count, count, class_loss / l.batch,
            (box_part - class_loss) / l.batch, (total - box_part) / l.batch, total / l.batch);
}

void forward_gaussian_vumo_layer(layer l, network_state state)
{
    const size_t count = (size_t)l.batch * l.outputs;
    memcpy(l.output, state.input, count * sizeof(float));
    activate_gaussian_vumo_output(l);
    memset(l.delta, 0, count * sizeof(float));
    if (state.train) gaussian_vumo_training_loss(l, state);
}

// The deltas pass back as the [vumo] head's do.
void backward_gaussian_vumo_layer(layer l, network_state state)
{
    backward_vumo_layer(l, state);
}

void resize_gaussian_vumo_layer(layer *l, int w, int h)
{
    resize_head_layer(l, w, h, 9);
}

// The [vumo] head's release: the arrays this head lacks are null.
void free_gaussian_vumo_arrays(layer *l)
{
    free_vumo_arrays(l);
}

int gaussian_vumo_num_detections(layer l, float thresh)
{
    int count = 0;
    for (int s = 0; s < l.n; ++s)
        for (int i = 0; i < l.w * l.h; ++i)
            if (l.output[gaussian_entry_index(l, 0, s * l.w * l.h + i, 8)] > thresh) ++count;
    return count;
}

int fill_gaussian_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int relative,
                                  detection *dets, int letter, int class_capacity)
{
    const float *predictions = l.output;
    const int area = l.w * l.h;
    const int classes = std::min(l.classes, class_capacity);
    int count = 0;
    for (int i = 0; i < area; ++i) {
        const int row = i / l.w;
        const int col = i % l.w;
        for (int s = 0; s < l.n; ++s) {
            const int location = s * area + i;
            const float objectness = predictions[gaussian_entry_index(l, 0, location, 8)];
            if (!(objectness > thresh)) continue;
            detection &d = dets[count];
            const int box_index = gaussian_entry_index(l, 0, location, 0);
            d.bbox = get_gaussian_vumo_box(predictions, l.biases, l.mask[s], box_index, col, row, l.w, l.h, netw,
                                           neth, area, l.vumo_point);
            d.objectness = objectness;
            d.classes = classes;
            float uncertainty = 0;
            for (int k = 0; k < 4; ++k) {
                const float u = predictions[box_index + (2 * k + 1) * area];
                if (d.uc) d.uc[k] = u;
                uncertainty += u;
            }
            d.points = l.vumo_point;
            const float certainty = 1 - uncertainty / 4;
            for (int j = 0; j < classes; ++j) {
                const float prob =
                    certainty * objectness * predictions[gaussian_entry_index(l, 0, location, 9 + j)];
                d.prob[j] = prob > thresh ? prob : 0;
            }
            ++count;
        }
    }
    correct_vumo_boxes(dets, count, w, h, netw, neth, relative, letter);
    return count;
}

int get_gaussian_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                                 detection *dets, int letter)
{
    return fill_gaussian_vumo_detections(l, w, h, netw, neth, thresh, relative, dets, letter, l.classes);
}
