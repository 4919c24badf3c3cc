// The anchor-based detection head "[vumo]": cfg section, construction, activation of the raw cell
// values, decoding into boxes relative to the network input, extraction of detections above a
// threshold (through a letterbox when needed), resize, and the training pass.
#include "vumo_layer.h"

#include "activation_functions.h"
#include "box_geometry.h"
#include "utils.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int *parse_vumo_mask(const char *text, int *count_out)
{
    if (!text) return nullptr;
    int commas = 0;
    for (const char *c = text; *c && *c != '#'; ++c)
        if (*c == ',') ++commas;
    const int count = commas + 1;
    int *values = (int *)xcalloc(count, sizeof(int));
    const char *p = text;
    for (int i = 0; i < count; ++i) {
        values[i] = atoi(p);
        const char *next = strchr(p, ',');
        if (!next) break;
        p = next + 1;
    }
    *count_out = count;
    return values;
}

layer make_head_layer(LAYER_TYPE type, int batch, int w, int h, int n, int total, int *mask, int classes,
                      int max_boxes, int entries)
{
    layer l = {};
    l.type = type;
    l.n = n;
    l.total = total;
    l.batch = batch;
    l.w = w;
    l.h = h;
    l.c = n * (classes + entries);
    l.out_w = w;
    l.out_h = h;
    l.out_c = l.c;
    l.classes = classes;
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.biases = (float *)xcalloc((size_t)total * 2, sizeof(float));
    for (int i = 0; i < total * 2; ++i) l.biases[i] = .5f;
    if (mask) {
        l.mask = mask;
    } else {
        l.mask = (int *)xcalloc(n, sizeof(int));
        for (int i = 0; i < n; ++i) l.mask[i] = i;
    }
    l.bias_updates = (float *)xcalloc((size_t)n * 2, sizeof(float));
    l.outputs = h * w * n * (classes + entries);
    l.inputs = l.outputs;
    l.max_boxes = max_boxes;
    l.truth_size = 4 + 2;
    l.truths = l.max_boxes * l.truth_size;
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    srand((unsigned)time(nullptr));
    return l;
}

layer make_vumo_layer(int batch, int w, int h, int n, int total, int *mask, int classes, int max_boxes)
{
    layer l = make_head_layer(VUMO, batch, w, h, n, total, mask, classes, max_boxes, 5);
    const size_t cells = (size_t)batch * w * h * n;
    l.cell_track_ids = (int *)xcalloc(cells, sizeof(int));
    l.cell_class_ids = (int *)xcalloc(cells, sizeof(int));
    std::fill(l.cell_track_ids, l.cell_track_ids + cells, -1);
    std::fill(l.cell_class_ids, l.cell_class_ids + cells, -1);
    l.forward = forward_vumo_layer;
    l.backward = backward_vumo_layer;
    fprintf(stderr, "vumo\n");
    return l;
}

IOU_LOSS iou_loss_from_string(const char *s)
{
    if (!strcmp(s, "mse")) return MSE;
    if (!strcmp(s, "giou")) return GIOU;
    if (!strcmp(s, "diou")) return DIOU;
    if (!strcmp(s, "ciou")) return CIOU;
    return IOU;
}

IOU_LOSS iou_thresh_kind_from_string(const char *s)
{
    if (!strcmp(s, "iou")) return IOU;
    if (!strcmp(s, "giou")) return GIOU;
    if (!strcmp(s, "diou")) return DIOU;
    if (!strcmp(s, "ciou")) return CIOU;
    fprintf(stderr, " Wrong iou_thresh_kind = %s \n", s);
    return IOU;
}

static NMS_KIND nms_kind_from_string(const char *s)
{
    if (!strcmp(s, "greedynms")) return GREEDY_NMS;
    if (!strcmp(s, "diounms")) return DIOU_NMS;
    return DEFAULT_NMS;
}

void read_class_multipliers(list *options, layer &l)
{
    const char *text = option_find_str(options, "counters_per_class", nullptr);
    if (!text) return;
    int count = 0;
    int *counts = parse_vumo_mask(text, &count);
    if (count != l.classes) {
        printf(" number of values in counters_per_class = %d doesn't match with classes = %d \n", count, l.classes);
        exit(0);
    }
    int max_count = 0;
    for (int i = 0; i < count; ++i) {
        if (counts[i] < 1) counts[i] = 1;
        max_count = std::max(max_count, counts[i]);
    }
    l.classes_multipliers = (float *)xcalloc(count, sizeof(float));
    for (int i = 0; i < count; ++i) l.classes_multipliers[i] = std::min((float)max_count / counts[i], l.max_delta);
    free(counts);
    printf(" classes_multipliers: ");
    for (int i = 0; i < count; ++i) printf("%.1f, ", l.classes_multipliers[i]);
    printf("\n");
}

static void attach_embedding_layer(const char *text, const size_params &params, layer &l)
{
    int id = atoi(text);
    if (id < 0) id += params.index;
    printf(" embedding_layer_id = %d, ", id);
    // The embedding layer's output is read while this head runs, so it must be built (and run) before.
    if (id < 0 || id >= params.index) {
        printf("\n Error: embedding_layer = %d must be a layer before this [vumo]-layer %d \n", id, params.index);
        exit(EXIT_FAILURE);
    }
    const layer &le = params.net.layers[id];
    if (le.out_w != l.w || le.out_h != l.h) {
        printf("\n Error: embedding_layer = %d has the size %d x %d, this [vumo]-layer %d x %d \n", id, le.out_w,
               le.out_h, l.w, l.h);
        exit(EXIT_FAILURE);
    }
    l.embedding_layer_id = id;
    l.embedding_output = (float *)xcalloc((size_t)le.batch * le.outputs, sizeof(float));
    l.embedding_size = le.out_c / l.n;
    printf(" embedding_size = %d \n", l.embedding_size);
    if (le.out_c % l.n != 0) {
        printf(" Warning: filters=%d number in embedding_layer=%d isn't divisable by number of anchors %d \n", le.out_c,
               id, l.n);
        getchar();
    }
}

void read_anchors(const char *text, layer &l)
{
    if (!text) return;
    int count = 0;
    free(parse_vumo_mask(text, &count));
    const int wanted = std::min(count, 2 * l.total);
    const char *p = text;
    for (int i = 0; i < wanted; ++i) {
        l.biases[i] = (float)atof(p);
        const char *next = strchr(p, ',');
        if (!next) break;
        p = next + 1;
    }
}

int *read_head_mask(list *options, int total, int *n, const char *section)
{
    int *mask = parse_vumo_mask(option_find_str(options, "mask", nullptr), n);
    // A slot's anchor indexes the anchor list: an index outside it would decode from foreign memory.
    for (int i = 0; mask && i < *n; ++i)
        if (mask[i] < 0 || mask[i] >= total) {
            printf(" Error: mask = %d in [%s]-layer is outside the num = %d anchors \n", mask[i], section, total);
            exit(EXIT_FAILURE);
        }
    return mask;
}

void check_head_inputs(const layer &l, int inputs, const char *section, const char *sizes)
{
    if (l.outputs == inputs) return;
    printf("Error: l.outputs == params.inputs \n");
    printf("filters= in the [convolutional]-layer doesn't correspond to %s in [%s]-layer \n", sizes, section);
    exit(EXIT_FAILURE);
}

layer parse_vumo(list *options, size_params params)
{
    const int classes = option_find_int(options, "classes", 20);
    const int total = option_find_int(options, "num", 1);
    int n = total;
    int *mask = read_head_mask(options, total, &n, "vumo");
    const int max_boxes = option_find_int_quiet(options, "max", 200);

    layer l = make_vumo_layer(params.batch, params.w, params.h, n, total, mask, classes, max_boxes);
    check_head_inputs(l, params.inputs, "vumo", "classes= or mask=");

    l.show_details = option_find_int_quiet(options, "show_details", 1);
    l.max_delta = option_find_float_quiet(options, "max_delta", FLT_MAX);
    read_class_multipliers(options, l);
    l.label_smooth_eps = option_find_float_quiet(options, "label_smooth_eps", 0.0f);
    l.scale_x_y = option_find_float_quiet(options, "scale_x_y", 1);
    l.objectness_smooth = option_find_int_quiet(options, "objectness_smooth", 0);
    l.new_coords = option_find_int_quiet(options, "new_coords", 0);
    l.iou_normalizer = option_find_float_quiet(options, "iou_normalizer", 0.75);
    l.obj_normalizer = option_find_float_quiet(options, "obj_normalizer", 1);
    l.cls_normalizer = option_find_float_quiet(options, "cls_normalizer", 1);
    l.delta_normalizer = option_find_float_quiet(options, "delta_normalizer", 1);
    const char *iou_loss = option_find_str_quiet(options, "iou_loss", "mse");
    l.iou_loss = iou_loss_from_string(iou_loss);
    fprintf(stderr,
            "[vumo] params: iou loss: %s (%d), iou_norm: %2.2f, obj_norm: %2.2f, cls_norm: %2.2f, delta_norm: %2.2f, "
            "scale_x_y: %2.2f\n",
            iou_loss, (int)l.iou_loss, l.iou_normalizer, l.obj_normalizer, l.cls_normalizer, l.delta_normalizer,
            l.scale_x_y);

    l.iou_thresh_kind = iou_thresh_kind_from_string(option_find_str_quiet(options, "iou_thresh_kind", "iou"));
    l.beta_nms = option_find_float_quiet(options, "beta_nms", 0.6);
    const char *nms_kind = option_find_str_quiet(options, "nms_kind", "default");
    l.nms_kind = nms_kind_from_string(nms_kind);
    if (strcmp(nms_kind, "default") != 0) printf("nms_kind: %s (%d), beta = %f \n", nms_kind, (int)l.nms_kind, l.beta_nms);

    l.jitter = option_find_float(options, "jitter", .2);
    l.resize = option_find_float_quiet(options, "resize", 1.0);
    l.focal_loss = option_find_int_quiet(options, "focal_loss", 0);
    l.ignore_thresh = option_find_float(options, "ignore_thresh", .5);
    l.truth_thresh = option_find_float(options, "truth_thresh", 1);
    l.iou_thresh = option_find_float_quiet(options, "iou_thresh", 1);
    l.random = option_find_float_quiet(options, "random", 0);
    l.track_history_size = option_find_int_quiet(options, "track_history_size", 5);
    l.sim_thresh = option_find_float_quiet(options, "sim_thresh", 0.8);
    l.dets_for_track = option_find_int_quiet(options, "dets_for_track", 1);
    l.dets_for_show = option_find_int_quiet(options, "dets_for_show", 1);
    l.track_ciou_norm = option_find_float_quiet(options, "track_ciou_norm", 0.01);

    if (const char *embedding = option_find_str_quiet(options, "embedding_layer", nullptr))
        attach_embedding_layer(embedding, params, l);

    if (const char *map_file = option_find_str(options, "map", nullptr)) l.map = read_map(map_file);

    read_anchors(option_find_str(options, "anchors", nullptr), l);
    return l;
}

// Logistic on the x, y offsets, objectness and classes, then the stretch of x and y.
static void activate_vumo_output(const layer &l)
{
    const int area = l.w * l.h;
    for (int b = 0; b < l.batch; ++b)
        for (int s = 0; s < l.n; ++s) {
            float *base = l.output + head_entry_index(l, b, s * area, 0);
            if (!l.new_coords) {
                activate_array(base, 2 * area, LOGISTIC);
                activate_array(l.output + head_entry_index(l, b, s * area, 4), (1 + l.classes) * area, LOGISTIC);
            }
            if (l.scale_x_y != 1) {
                const float shift = -0.5f * (l.scale_x_y - 1);
                for (int i = 0; i < 2 * area; ++i) base[i] = base[i] * l.scale_x_y + shift;
            }
        }
}

// Shared counters are bumped by every image worker at once; atomic increments keep them exact.
static void count_one(uint64_t *counter)
{
    if (counter) std::atomic_ref<uint64_t>(*counter).fetch_add(1, std::memory_order_relaxed);
}

box_ious vumo_delta_box(box truth, const float *x, const float *biases, int n, int index, int col, int row, int lw,
                        int lh, int netw, int neth, float *delta, float scale, int stride, float iou_normalizer,
                        IOU_LOSS iou_loss, float max_delta, uint64_t *rewritten_bbox, int new_coords)
{
    if (delta[index] || delta[index + stride] || delta[index + 2 * stride] || delta[index + 3 * stride])
        count_one(rewritten_bbox);

    box_ious all = {};
    box pred = get_vumo_box(x, biases, n, index, col, row, lw, lh, netw, neth, stride, new_coords);
    all.iou = box_iou(pred, truth);
    all.giou = box_giou(pred, truth);
    all.diou = box_diou(pred, truth);
    all.ciou = box_ciou(pred, truth);
    // A collapsed prediction would divide by zero in the gradient.
    if (pred.w == 0) pred.w = 1;
    if (pred.h == 0) pred.h = 1;

    if (iou_loss == MSE) {
        const float tx = truth.x * lw - col;
        const float ty = truth.y * lh - row;
        float tw = logf(truth.w * netw / biases[2 * n]);
        float th = logf(truth.h * neth / biases[2 * n + 1]);
        if (new_coords) {
            tw = sqrtf(truth.w * netw / (4 * biases[2 * n]));
            th = sqrtf(truth.h * neth / (4 * biases[2 * n + 1]));
        }
        const float targets[4] = {tx, ty, tw, th};
        for (int k = 0; k < 4; ++k)
            delta[index + k * stride] += scale * (targets[k] - x[index + k * stride]) * iou_normalizer;
        return all;
    }

    all.dx_iou = box_iou_gradient(pred, truth, iou_loss);
    float d[4] = {all.dx_iou.dx, all.dx_iou.dy, all.dx_iou.dw, all.dx_iou.dh};
    if (!new_coords) {
        d[2] *= expf(x[index + 2 * stride]);
        d[3] *= expf(x[index + 3 * stride]);
    }
    for (int k = 0; k < 4; ++k) {
        d[k] *= iou_normalizer;
        if (!std::isfinite(d[k])) d[k] = 0;
        if (max_delta != FLT_MAX) d[k] = std::clamp(d[k], -max_delta, max_delta);
        delta[index + k * stride] += d[k];
    }
    return all;
}

void vumo_delta_class(const float *output, float *delta, int index, int class_id, int classes, int stride,
                      int focal_loss, float label_smooth_eps, const float *classes_multipliers, float cls_normalizer)
{
    const auto target = [&](int k) {
        const float y = k == class_id ? 1.f : 0.f;
        return label_smooth_eps ? y * (1 - label_smooth_eps) + 0.5f * label_smooth_eps : y;
    };
    const int own = index + stride * class_id;
    // A second truth on the same slot only refreshes its own class.
    if (delta[own]) {
        const float d = target(class_id) - output[own];
        if (std::isfinite(d)) delta[own] = d;
        if (classes_multipliers) delta[own] *= classes_multipliers[class_id];
        return;
    }
    if (focal_loss) {
        const float alpha = 0.5f;
        const float pt = output[own] + 0.000000000000001f;
        const float grad = -(1 - pt) * (2 * pt * logf(pt) + pt - 1);
        for (int k = 0; k < classes; ++k)
            delta[index + stride * k] = ((k == class_id ? 1.f : 0.f) - output[index + stride * k]) * alpha * grad;
        return;
    }
    for (int k = 0; k < classes; ++k) {
        const int i = index + stride * k;
        const float d = target(k) - output[i];
        if (std::isfinite(d)) delta[i] = d;
        if (k == class_id && classes_multipliers) delta[i] *= classes_multipliers[class_id] * cls_normalizer;
    }
}

void vumo_average_deltas(int class_index, int box_index, int stride, int classes, float *delta)
{
    int n = 0;
    for (int k = 0; k < classes; ++k)
        if (delta[class_index + stride * k] > 0) ++n;
    if (n == 0) return;
    for (int k = 0; k < 4; ++k) delta[box_index + k * stride] /= n;
}

namespace {

// One truth record of an image as the head may use it. Batches come from label files, so every
// value is checked before it indexes anything or feeds a logarithm.
struct checked_truth {
    box b;
    int raw_class;    // as written (saturated), for the warning
    int class_id;     // after the head's map; -1 when outside the head's classes
    int track_id;     // -1 when not representable
    bool trainable;   // finite centre and a positive finite size
};

int saturated_int(float v, int fallback)
{
    if (std::isnan(v)) return fallback;
    if (v >= (float)INT_MAX) return INT_MAX;
    if (v <= (float)INT_MIN) return INT_MIN;
    return (int)v;
}

checked_truth check_truth(const layer &l, const float *f)
{
    checked_truth t;
    t.b = box_from_floats(f, 1);
    t.raw_class = saturated_int(f[4], -1);
    t.class_id = -1;
    if (t.raw_class >= 0 && t.raw_class < l.classes) {
        const int id = l.map ? l.map[t.raw_class] : t.raw_class;
        if (id >= 0 && id < l.classes) t.class_id = id;
    }
    t.track_id = std::isfinite(f[5]) ? saturated_int(f[5], -1) : -1;
    t.trainable = std::isfinite(t.b.x) && std::isfinite(t.b.y) && std::isfinite(t.b.w) && std::isfinite(t.b.h) &&
                  t.b.w > 0 && t.b.h > 0;
    return t;
}

// Number of truth records of image b before the first one whose x is 0.
int truth_count(const layer &l, const network_state &state, int b)
{
    if (!state.truth) return 0;
    const float *truth = state.truth + (size_t)b * l.truths;
    int t = 0;
    while (t < l.max_boxes && truth[t * l.truth_size] != 0) ++t;
    return t;
}

const float *truth_row(const layer &l, const network_state &state, int b, int t)
{
    return state.truth + (size_t)b * l.truths + (size_t)t * l.truth_size;
}

float class_multiplier(const layer &l, int class_id)
{
    return l.classes_multipliers ? l.classes_multipliers[class_id] : 1.f;
}

// The grid cell of a coordinate, kept inside the grid for centres on or beyond the border.
int grid_cell(float v, int size)
{
    const float c = v * size;
    if (!(c > 0)) return 0;
    if (c >= size) return size - 1;
    return (int)c;
}

void report_wrong_label(box t)
{
    printf(" Wrong label: truth.x = %f, truth.y = %f, truth.w = %f, truth.h = %f \n", t.x, t.y, t.w, t.h);
    char command[1024];
    snprintf(command, sizeof(command),
             "echo \"Wrong label: truth.x = %f, truth.y = %f, truth.w = %f, truth.h = %f\" >> bad_label.list", t.x,
             t.y, t.w, t.h);
    const int status = system(command);
    (void)status;
}

// Box, objectness and class deltas of one truth at one slot of its cell, and the worker's sums.
void train_truth_at_slot(vumo_train_args &args, const checked_truth &truth, int anchor, int slot, int col, int row)
{
    const layer &l = args.l;
    const network &net = args.state.net;
    const int stride = l.w * l.h;
    const int location = slot * stride + row * l.w + col;
    const int box_index = head_entry_index(l, args.b, location, 0);
    const int obj_index = head_entry_index(l, args.b, location, 4);
    const int class_index = head_entry_index(l, args.b, location, 5);
    const float multiplier = class_multiplier(l, truth.class_id);

    const box_ious ious = vumo_delta_box(truth.b, l.output, l.biases, anchor, box_index, col, row, l.w, l.h, net.w,
                                         net.h, l.delta, 2 - truth.b.w * truth.b.h, stride,
                                         l.iou_normalizer * multiplier, l.iou_loss, l.max_delta, net.rewritten_bbox,
                                         l.new_coords);
    count_one(net.total_bbox);
    args.tot_iou += ious.iou;
    args.tot_iou_loss += 1 - ious.iou;
    args.tot_giou_loss += 1 - ious.giou;

    if (!l.objectness_smooth || l.delta[obj_index] == 0)
        l.delta[obj_index] = multiplier * l.obj_normalizer * (1 - l.output[obj_index]);
    vumo_delta_class(l.output, l.delta, class_index, truth.class_id, l.classes, stride, l.focal_loss,
                     l.label_smooth_eps, l.classes_multipliers, l.cls_normalizer);
    ++args.count;
    ++args.class_count;
}

// Objectness of every prediction against the truths of its image: background, ignored, or (above
// truth_thresh) trained as positive.
void train_predictions(vumo_train_args &args, int truths)
{
    const layer &l = args.l;
    const network &net = args.state.net;
    const int stride = l.w * l.h;
    for (int row = 0; row < l.h; ++row)
        for (int col = 0; col < l.w; ++col)
            for (int s = 0; s < l.n; ++s) {
                const int location = s * stride + row * l.w + col;
                const int box_index = head_entry_index(l, args.b, location, 0);
                const int obj_index = head_entry_index(l, args.b, location, 4);
                const int class_index = head_entry_index(l, args.b, location, 5);
                const box pred = get_vumo_box(l.output, l.biases, l.mask[s], box_index, col, row, l.w, l.h, net.w,
                                              net.h, stride, l.new_coords);
                // Zeroed before any use, so a diverged objectness cannot spread into the deltas.
                if (!std::isfinite(l.output[obj_index])) l.output[obj_index] = 0;

                bool class_match = false;
                for (int k = 0; k < l.classes && !class_match; ++k)
                    class_match = l.output[class_index + stride * k] > 0.25f;

                float best_match_iou = 0;
                float best_iou = 0;
                int best_t = -1;
                checked_truth best = {};
                for (int t = 0; t < truths; ++t) {
                    const checked_truth truth = check_truth(l, truth_row(l, args.state, args.b, t));
                    if (truth.class_id < 0) {
                        printf("\n Warning: in txt-labels class_id=%d >= classes=%d in cfg-file. In txt-labels "
                               "class_id should be [from 0 to %d] \n",
                               truth.raw_class, l.classes, l.classes - 1);
                        printf("\n truth.x = %f, truth.y = %f, truth.w = %f, truth.h = %f, class_id = %d \n",
                               truth.b.x, truth.b.y, truth.b.w, truth.b.h, truth.raw_class);
                        continue;
                    }
                    if (!truth.trainable) continue;
                    const float iou = box_iou(pred, truth.b);
                    if (class_match && iou > best_match_iou) best_match_iou = iou;
                    if (best_t < 0 || iou > best_iou) {
                        best_iou = iou;
                        best_t = t;
                        best = truth;
                    }
                }

                const float objectness = l.output[obj_index];
                l.delta[obj_index] = l.obj_normalizer * (0 - objectness);
                if (best_match_iou > l.ignore_thresh) {
                    if (l.objectness_smooth) {
                        const float d = l.obj_normalizer * (best_match_iou - objectness);
                        if (d > l.delta[obj_index]) l.delta[obj_index] = d;
                    } else {
                        l.delta[obj_index] = 0;
                    }
                } else if (net.adversarial) {
                    float scale = pred.w * pred.h;
                    if (scale > 0) scale = sqrtf(scale);
                    l.delta[obj_index] = scale * l.obj_normalizer * (0 - objectness);
                    bool found = false;
                    for (int k = 0; k < l.classes; ++k) {
                        const int i = class_index + stride * k;
                        if (l.output[i] * objectness > 0.25f) {
                            l.delta[i] = scale * (0 - l.output[i]);
                            found = true;
                        }
                    }
                    if (found) {
                        for (int k = 0; k < l.classes; ++k) {
                            const int i = class_index + stride * k;
                            if (l.output[i] * objectness < 0.25f) l.delta[i] = scale * (1 - l.output[i]);
                        }
                        for (int k = 0; k < 4; ++k)
                            l.delta[box_index + k * stride] += scale * (0 - l.output[box_index + k * stride]);
                    }
                }

                if (best_t >= 0 && best_iou > l.truth_thresh) {
                    const float iou_multiplier = best_iou * best_iou;
                    l.delta[obj_index] = l.objectness_smooth ? l.obj_normalizer * (iou_multiplier - objectness)
                                                             : l.obj_normalizer * (1 - objectness);
                    const int class_id = best.class_id;
                    const float multiplier = class_multiplier(l, class_id);
                    vumo_delta_class(l.output, l.delta, class_index, class_id, l.classes, stride, l.focal_loss,
                                     l.label_smooth_eps, l.classes_multipliers, l.cls_normalizer);
                    if (l.objectness_smooth) {
                        const int i = class_index + stride * class_id;
                        l.delta[i] = multiplier * (iou_multiplier - l.output[i]);
                    }
                    vumo_delta_box(best.b, l.output, l.biases, l.mask[s], box_index, col, row, l.w, l.h, net.w,
                                   net.h, l.delta, 2 - best.b.w * best.b.h, stride, l.iou_normalizer * multiplier,
                                   l.iou_loss, l.max_delta, net.rewritten_bbox, l.new_coords);
                    count_one(net.total_bbox);
                }
            }
}

int first_slot_of_anchor(const layer &l, int anchor)
{
    for (int s = 0; s < l.n; ++s)
        if (l.mask[s] == anchor) return s;
    return -1;
}

box anchor_shape(const layer &l, const network &net, int a)
{
    return box{0, 0, l.biases[2 * a] / net.w, l.biases[2 * a + 1] / net.h};
}

// Every truth at its cell: the best-fitting anchor, and with iou_thresh < 1 every other anchor of
// this head that fits well enough.
void train_truths(vumo_train_args &args, int truths)
{
    const layer &l = args.l;
    const network &net = args.state.net;
    for (int t = 0; t < truths; ++t) {
        const checked_truth truth = check_truth(l, truth_row(l, args.state, args.b, t));
        const box &tb = truth.b;
        if (tb.x < 0 || tb.y < 0 || tb.x > 1 || tb.y > 1 || tb.w < 0 || tb.h < 0 || !truth.trainable)
            report_wrong_label(tb);
        if (truth.class_id < 0 || !truth.trainable) continue;

        const int col = grid_cell(tb.x, l.w);
        const int row = grid_cell(tb.y, l.h);
        const box shape = {0, 0, tb.w, tb.h};
        float best_iou = 0;
        int best_anchor = 0;
        for (int a = 0; a < l.total; ++a) {
            const float iou = box_iou(anchor_shape(l, net, a), shape);
            if (iou > best_iou) {
                best_iou = iou;
                best_anchor = a;
            }
        }

        const int mask_n = first_slot_of_anchor(l, best_anchor);
        if (mask_n >= 0) {
            const int cell = args.b * l.n * l.w * l.h + mask_n * l.w * l.h + row * l.w + col;
            l.cell_track_ids[cell] = truth.track_id;
            l.cell_class_ids[cell] = truth.class_id;
            train_truth_at_slot(args, truth, best_anchor, mask_n, col, row);
        }

        if (l.iou_thresh < 1) {
            for (int a = 0; a < l.total; ++a) {
                const int slot = first_slot_of_anchor(l, a);
                if (slot < 0 || a == best_anchor) continue;
                const float iou = box_iou_kind(anchor_shape(l, net, a), shape, l.iou_thresh_kind);
                if (iou > l.iou_thresh) train_truth_at_slot(args, truth, a, slot, col, row);
            }
        }
    }
}

} // namespace

void *vumo_process_image(void *ptr)
{
    vumo_train_args &args = *(vumo_train_args *)ptr;
    const layer &l = args.l;
    const int truths = truth_count(l, args.state, args.b);
    train_predictions(args, truths);
    train_truths(args, truths);

    if (l.iou_thresh < 1) {
        const int stride = l.w * l.h;
        for (int row = 0; row < l.h; ++row)
            for (int col = 0; col < l.w; ++col)
                for (int s = 0; s < l.n; ++s) {
                    const int location = s * stride + row * l.w + col;
                    const int obj_index = head_entry_index(l, args.b, location, 4);
                    if (l.delta[obj_index] == 0) continue;
                    vumo_average_deltas(head_entry_index(l, args.b, location, 5),
                                        head_entry_index(l, args.b, location, 0), stride, l.classes, l.delta);
                }
    }
    return nullptr;
}

// Discards deltas that look like wrong labels late in training, and small ones past the
// equidistant point. The running statistics live in the network and carry over between heads.
static void reject_bad_deltas(const layer &l, const network &net)
{
    const int it = *net.cur_iteration;
    const int start = net.max_batches * 3 / 4;
    const bool by_sigmas = net.num_sigmas_reject_badlabels != 0 && start < it;
    const bool by_percentage = net.badlabels_rejection_percentage != 0 && start < it;
    const bool by_equidistant = net.equidistant_point != 0 && net.equidistant_point < it;
    if (!by_sigmas && !by_percentage && !by_equidistant) return;

    const size_t total = (size_t)l.batch * l.outputs;
    float *delta = l.delta;
    const float progress = (float)(it - net.equidistant_point) / (float)(net.max_batches - net.equidistant_point);
    float ep_threshold = progress * *net.delta_rolling_avg * 1.4f;

    size_t counter = 0;
    double sum = 0;
    float cur_max = 0;
    for (size_t i = 0; i < total; ++i)
        if (delta[i] != 0) {
            ++counter;
            sum += fabsf(delta[i]);
            cur_max = std::max(cur_max, fabsf(delta[i]));
        }
    // Without any delta there is nothing to measure or reject; averaging over none would poison
    // the running statistics with NaN.
    if (counter == 0) return;
    const float cur_avg = (float)(sum / counter);
    if (*net.delta_rolling_max == 0) *net.delta_rolling_max = cur_max;
    *net.delta_rolling_max = *net.delta_rolling_max * 0.99f + cur_max * 0.01f;
    *net.delta_rolling_avg = cur_avg * 0.01f + *net.delta_rolling_avg * 0.99f;

    if (by_sigmas) {
        const float std_old = *net.delta_rolling_std;
        // A schedule of under two iterations has no late phase to ramp through.
        const float p = start > 0 ? (float)(it - start) / start : 1.f;
        double squares = 0;
        for (size_t i = 0; i < total; ++i)
            if (delta[i] != 0) {
                const double d = delta[i] - *net.delta_rolling_avg;
                squares += d * d;
            }
        const float cur_std = (float)sqrt(squares / counter);
        *net.delta_rolling_std = cur_std * 0.01f + std_old * 0.99f;
        const float final_threshold = *net.delta_rolling_avg + std_old * net.num_sigmas_reject_badlabels;
        const float threshold = std::max(
            final_threshold, *net.delta_rolling_max - fabsf(*net.delta_rolling_max - final_threshold) * p);
        for (size_t i = 0; i < total; ++i)
            if (fabsf(delta[i]) > threshold) delta[i] = 0;
        printf(" rolling_std = %f, rolling_max = %f, rolling_avg = %f \n", std_old, *net.delta_rolling_max,
               *net.delta_rolling_avg);
        printf(" badlabels loss_threshold = %f, start_it = %d, progress = %f \n", threshold, start, p * 100);
        ep_threshold = std::min(final_threshold, *net.delta_rolling_avg) * progress;
    }

    if (by_percentage) {
        float &threshold = *net.badlabels_reject_threshold;
        if (threshold == 0) threshold = *net.delta_rolling_max;
        printf(" badlabels_reject_threshold = %f \n", threshold);
        size_t all = 0;
        size_t rejected = 0;
        for (size_t i = 0; i < total; ++i)
            if (delta[i] != 0) {
                ++all;
                if (fabsf(delta[i]) > threshold) {
                    delta[i] = 0;
                    ++rejected;
                }
            }
        const float cur_percent = all ? (float)rejected * (l.classes + 5) / all * 100 : 0;
        if (cur_percent > net.badlabels_rejection_percentage) {
            threshold += 0.01f;
            printf(" increase!!! \n");
        } else if (threshold > 0.01f) {
            threshold -= 0.01f;
            printf(" decrease!!! \n");
        }
        printf(" badlabels_reject_threshold = %f, cur_percent = %f, badlabels_rejection_percentage = %f, "
               "delta_rolling_max = %f \n",
               threshold, cur_percent, net.badlabels_rejection_percentage, *net.delta_rolling_max);
    }

    if (by_equidistant) {
        printf(" equidistant_point loss_threshold = %f, start_it = %d, progress = %3.1f %% \n", ep_threshold,
               net.equidistant_point, progress * 100);
        for (size_t i = 0; i < total; ++i)
            if (fabsf(delta[i]) < ep_threshold) delta[i] = 0;
    }
}

static float squared(float v) { return v * v; }

// The cost of the pass and its summary line.
static void report_vumo_loss(const layer &l, const network_state &state, float tot_iou, float tot_iou_loss,
                             float tot_giou_loss, int count)
{
    const int total = l.batch * l.outputs;
    const char *word = l.iou_loss == MSE ? "mse" : l.iou_loss == GIOU ? "giou" : "iou";
    const float loss = squared(array_magnitude(l.delta, total));
    if (!l.show_details) {
        *l.cost = loss;
        fprintf(stderr,
                "v3 (%s loss, Normalizer: (iou: %.2f, obj: %.2f, cls: %.2f) Region %d Avg (IOU: %f), count: %d, "
                "total_loss = %f \n",
                word, l.iou_normalizer, l.obj_normalizer, l.cls_normalizer, state.index, tot_iou / count, count,
                loss / l.batch);
        return;
    }
    // The squares of every entry but the four box planes, summed in array order.
    const int area = l.w * l.h;
    const int planes = l.classes + 5;
    float sum = 0;
    for (int i = 0; i < total; ++i) {
        const int plane = (i % l.outputs) / area % planes;
        if (plane >= 4) sum += l.delta[i] * l.delta[i];
    }
    const float class_loss = l.obj_normalizer * squared(sqrtf(sum));
    if (l.iou_loss == MSE)
        *l.cost = loss;
    else
        *l.cost = l.iou_normalizer * (l.iou_loss == GIOU ? tot_giou_loss : tot_iou_loss) / count + class_loss;
    fprintf(stderr,
            "v3 (%s loss, Normalizer: (iou: %.2f, obj: %.2f, cls: %.2f) Region %d Avg (IOU: %f), count: %d, "
            "class_loss = %f, iou_loss = %f, total_loss = %f \n",
            word, l.iou_normalizer, l.obj_normalizer, l.cls_normalizer, state.index, tot_iou / count, count,
            class_loss / l.batch, (loss - class_loss) / l.batch, loss / l.batch);
}

void vumo_training_loss(layer l, network_state state)
{
    const size_t cells = (size_t)l.batch * l.w * l.h * l.n;
    std::fill(l.cell_track_ids, l.cell_track_ids + cells, -1);
    std::fill(l.cell_class_ids, l.cell_class_ids + cells, -1);
    *l.cost = 0;

    vumo_train_args *args = (vumo_train_args *)xcalloc(l.batch, sizeof(vumo_train_args));
    pthread_t *threads = (pthread_t *)xcalloc(l.batch, sizeof(pthread_t));
    for (int b = 0; b < l.batch; ++b) {
        args[b].l = l;
        args[b].state = state;
        args[b].b = b;
        if (pthread_create(&threads[b], nullptr, vumo_process_image, &args[b]))
            fatal_error("Thread creation failed", QUILLON_FILE, "forward_vumo_layer", __LINE__);
    }
    float tot_iou = 0;
    float tot_giou_loss = 0;
    float tot_iou_loss = 0;
    int count = 0;
    for (int b = 0; b < l.batch; ++b) {
        pthread_join(threads[b], nullptr);
        tot_iou += args[b].tot_iou;
        tot_giou_loss += args[b].tot_giou_loss;
        tot_iou_loss += args[b].tot_iou_loss;
        count += args[b].count;
    }
    free(threads);
    free(args);

    reject_bad_deltas(l, state.net);
    if (count == 0) count = 1;
    report_vumo_loss(l, state, tot_iou, tot_iou_loss, tot_giou_loss, count);
}

void forward_vumo_layer(layer l, network_state state)
{
    const size_t count = (size_t)l.batch * l.outputs;
    memcpy(l.output, state.input, count * sizeof(float));
    activate_vumo_output(l);
    // The host pass has no device copy to bring the embeddings over, so it takes them from the
    // embedding layer, which ran earlier in this pass.
    if (l.embedding_output) {
        const layer &le = state.net.layers[l.embedding_layer_id];
        memcpy(l.embedding_output, le.output, (size_t)le.batch * le.outputs * sizeof(float));
    }
    memset(l.delta, 0, count * sizeof(float));
    if (state.train) vumo_training_loss(l, state);
}

void backward_vumo_layer(layer l, network_state state)
{
    if (!state.delta) return;
    const size_t count = (size_t)l.batch * l.inputs;
    for (size_t i = 0; i < count; ++i) state.delta[i] += l.delta[i];
}

void resize_head_layer(layer *l, int w, int h, int entries)
{
    l->w = w;
    l->h = h;
    l->out_w = w;
    l->out_h = h;
    l->outputs = h * w * l->n * (l->classes + entries);
    l->inputs = l->outputs;
    const size_t count = (size_t)l->batch * l->outputs * sizeof(float);
    if (!l->output_pinned) l->output = (float *)xrealloc(l->output, count);
    if (!l->delta_pinned) l->delta = (float *)xrealloc(l->delta, count);
}

void resize_vumo_layer(layer *l, int w, int h)
{
    resize_head_layer(l, w, h, 5);
    const size_t cells = (size_t)l->batch * l->n * h * w;
    if (l->embedding_output)
        l->embedding_output =
            (float *)xrealloc(l->embedding_output, cells * l->embedding_size * sizeof(float));
    l->cell_track_ids = (int *)xrealloc(l->cell_track_ids, cells * sizeof(int));
    l->cell_class_ids = (int *)xrealloc(l->cell_class_ids, cells * sizeof(int));
}

void free_vumo_arrays(layer *l)
{
    free(l->mask);
    free(l->map);
    free(l->classes_multipliers);
    free(l->cell_track_ids);
    free(l->cell_class_ids);
    free(l->embedding_output);
    l->mask = nullptr;
    l->map = nullptr;
    l->classes_multipliers = nullptr;
    l->cell_track_ids = nullptr;
    l->cell_class_ids = nullptr;
    l->embedding_output = nullptr;
}

box get_vumo_box(const float *x, const float *biases, int n, int index, int col, int row, int lw, int lh, int netw,
                 int neth, int stride, int new_coords)
{
    box b;
    b.x = (col + x[index + 0 * stride]) / lw;
    b.y = (row + x[index + 1 * stride]) / lh;
    if (new_coords) {
        b.w = x[index + 2 * stride] * x[index + 2 * stride] * 4 * biases[2 * n] / netw;
        b.h = x[index + 3 * stride] * x[index + 3 * stride] * 4 * biases[2 * n + 1] / neth;
    } else {
        b.w = (float)(exp((double)x[index + 2 * stride]) * biases[2 * n] / netw);
        b.h = (float)(exp((double)x[index + 3 * stride]) * biases[2 * n + 1] / neth);
    }
    return b;
}

int vumo_num_detections_batch(layer l, float thresh, int batch)
{
    int count = 0;
    for (int n = 0; n < l.n; ++n)
        for (int i = 0; i < l.w * l.h; ++i)
            if (l.output[head_entry_index(l, batch, n * l.w * l.h + i, 4)] > thresh) ++count;
    return count;
}

int vumo_num_detections(layer l, float thresh) { return vumo_num_detections_batch(l, thresh, 0); }

int fill_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int relative, detection *dets,
                         int letter, int batch, int class_capacity)
{
    const float *predictions = l.output;
    const int area = l.w * l.h;
    const int classes = std::min(l.classes, class_capacity);
    int count = 0;
    for (int i = 0; i < area; ++i) {
        const int row = i / l.w;
        const int col = i % l.w;
        for (int n = 0; n < l.n; ++n) {
            const float objectness = predictions[head_entry_index(l, batch, n * area + i, 4)];
            if (!(objectness > thresh)) continue;
            detection &d = dets[count];
            const int box_index = head_entry_index(l, batch, n * area + i, 0);
            d.bbox = get_vumo_box(predictions, l.biases, l.mask[n], box_index, col, row, l.w, l.h, netw, neth, area,
                                  l.new_coords);
            d.objectness = objectness;
            d.classes = classes;
            if (l.embedding_output && d.embeddings) {
                const int size = std::min(l.embedding_size, d.embedding_size);
                const float *e = l.embedding_output + (size_t)batch * l.n * l.embedding_size * area;
                for (int k = 0; k < size; ++k)
                    d.embeddings[k] = e[n * (l.embedding_size * area) + k * area + row * l.w + col];
            }
            for (int j = 0; j < classes; ++j) {
                const int class_index = head_entry_index(l, batch, n * area + i, 5 + j);
                const float prob = objectness * predictions[class_index];
                d.prob[j] = prob > thresh ? prob : 0;
            }
            ++count;
        }
    }
    correct_vumo_boxes(dets, count, w, h, netw, neth, relative, letter);
    return count;
}

int get_vumo_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                        detection *dets, int letter)
{
    return fill_vumo_detections(l, w, h, netw, neth, thresh, relative, dets, letter, 0, l.classes);
}

int get_vumo_detections_batch(layer l, int w, int h, int netw, int neth, float thresh, int *map, int relative,
                              detection *dets, int letter, int batch)
{
    return fill_vumo_detections(l, w, h, netw, neth, thresh, relative, dets, letter, batch, l.classes);
}

void correct_vumo_boxes(detection *dets, int n, int w, int h, int netw, int neth, int relative, int letter)
{
    int new_w = netw;
    int new_h = neth;
    // An image without extent has no letterbox to undo.
    if (letter && w > 0 && h > 0) {
        if ((float)netw / w < (float)neth / h) {
            new_w = netw;
            new_h = (h * netw) / w;
        } else {
            new_h = neth;
            new_w = (w * neth) / h;
        }
        // A very thin picture rounds to no rows or columns; keep one so the mapping stays finite.
        new_w = std::max(new_w, 1);
        new_h = std::max(new_h, 1);
    }
    for (int i = 0; i < n; ++i) {
        box b = dets[i].bbox;
        b.x = (b.x - (netw - new_w) / 2. / netw) / ((float)new_w / netw);
        b.y = (b.y - (neth - new_h) / 2. / neth) / ((float)new_h / neth);
        b.w *= (float)netw / new_w;
        b.h *= (float)neth / new_h;
        if (!relative) {
            b.x *= w;
            b.w *= w;
            b.y *= h;
            b.h *= h;
        }
        dets[i].bbox = b;
    }
}
