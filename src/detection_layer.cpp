// The fixed-grid head "[detection]". Per image the output holds side*side*classes class
// probabilities (cell-major), then side*side*n objectness values, then side*side*n*coords box
// values; the truth holds per cell an object flag, the class targets and the box.
#include "detection_layer.h"

#include "box_geometry.h"
#include "utils.h"
#include "vector_primitives.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

layer make_detection_layer(int batch, int inputs, int n, int side, int classes, int coords, int rescore)
{
    layer l = {};
    l.type = DETECTION;
    l.n = n;
    l.batch = batch;
    l.inputs = inputs;
    l.classes = classes;
    l.coords = coords;
    l.rescore = rescore;
    l.side = side;
    l.w = side;
    l.h = side;
    l.out_w = side;
    l.out_h = side;
    l.out_c = side > 0 ? inputs / (side * side) : 0;
    l.c = l.out_c;
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.outputs = l.inputs;
    l.truths = side * side * (1 + coords + classes);
    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));

    l.forward = forward_detection_layer;
    l.backward = backward_detection_layer;

    fprintf(stderr, "Detection Layer\n");
    srand((unsigned)time(nullptr));
    return l;
}

layer parse_detection(list *options, size_params params)
{
    const int coords = option_find_int(options, "coords", 1);
    const int classes = option_find_int(options, "classes", 1);
    const int rescore = option_find_int(options, "rescore", 0);
    const int num = option_find_int(options, "num", 1);
    const int side = option_find_int(options, "side", 7);
    // The layout is fixed by these keys; another input size would be read past its end.
    const long expected = (long)side * side * ((1L + coords) * num + classes);
    if (side < 1 || coords < 0 || num < 1 || classes < 1 || expected != params.inputs) {
        printf(" Error: [detection]-layer needs side*side*((1+coords)*num+classes) = %ld inputs, the previous layer "
               "gives %d \n",
               expected, params.inputs);
        exit(EXIT_FAILURE);
    }
    layer l = make_detection_layer(params.batch, params.inputs, num, side, classes, coords, rescore);
    l.softmax = option_find_int(options, "softmax", 0);
    l.sqrt = option_find_int(options, "sqrt", 0);
    l.max_boxes = option_find_int_quiet(options, "max", 200);
    l.coord_scale = option_find_float(options, "coord_scale", 1);
    l.forced = option_find_int(options, "forced", 0);
    l.object_scale = option_find_float(options, "object_scale", 1);
    l.noobject_scale = option_find_float(options, "noobject_scale", 1);
    l.class_scale = option_find_float(options, "class_scale", 1);
    l.jitter = option_find_float(options, "jitter", .2);
    l.resize = option_find_float_quiet(options, "resize", 1.0);
    l.random = option_find_float_quiet(options, "random", 0);
    l.reorg = option_find_int_quiet(options, "reorg", 0);
    return l;
}

// Box values beyond coords are not produced by the layer and read as 0.
static box detection_box(const layer &l, const float *values)
{
    float v[4] = {0, 0, 0, 0};
    for (int k = 0; k < std::min(l.coords, 4); ++k) v[k] = values[k];
    return box{v[0], v[1], v[2], v[3]};
}

static float box_rmse(box a, box b)
{
    return sqrtf((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.w - b.w) * (a.w - b.w) +
                 (a.h - b.h) * (a.h - b.h));
}

// The predicted box in the units the truth is compared in.
static box comparable_box(const layer &l, const float *values)
{
    box out = detection_box(l, values);
    out.x /= l.side;
    out.y /= l.side;
    if (l.sqrt) {
        out.w = out.w * out.w;
        out.h = out.h * out.h;
    }
    return out;
}

static void detection_training_loss(const layer &l, network_state state)
{
    const int locations = l.side * l.side;
    const uint64_t seen = state.net.seen ? *state.net.seen : 0;
    float avg_iou = 0, avg_cat = 0, avg_allcat = 0, avg_obj = 0, avg_anyobj = 0;
    int count = 0;
    *l.cost = 0;
    memset(l.delta, 0, (size_t)l.inputs * l.batch * sizeof(float));
    for (int b = 0; b < l.batch; ++b) {
        const int index = b * l.inputs;
        for (int i = 0; i < locations; ++i) {
            const int truth_index = (b * locations + i) * (1 + l.coords + l.classes);
            const int is_obj = (int)state.truth[truth_index];
            for (int j = 0; j < l.n; ++j) {
                const int p_index = index + locations * l.classes + i * l.n + j;
                l.delta[p_index] = l.noobject_scale * (0 - l.output[p_index]);
                avg_anyobj += l.output[p_index];
            }
            if (!is_obj) continue;

            const int class_index = index + i * l.classes;
            for (int j = 0; j < l.classes; ++j) {
                const float t = state.truth[truth_index + 1 + j];
                l.delta[class_index + j] = l.class_scale * (t - l.output[class_index + j]);
                if (t) avg_cat += l.output[class_index + j];
                avg_allcat += l.output[class_index + j];
            }

            const int tbox_index = truth_index + 1 + l.classes;
            box truth = detection_box(l, state.truth + tbox_index);
            truth.x /= l.side;
            truth.y /= l.side;
            int best_index = 0;
            float best_iou = 0;
            float best_rmse = 20;
            for (int j = 0; j < l.n; ++j) {
                const int box_index = index + locations * (l.classes + l.n) + (i * l.n + j) * l.coords;
                const box out = comparable_box(l, l.output + box_index);
                const float iou = box_iou(out, truth);
                const float rmse = box_rmse(out, truth);
                if (best_iou > 0 || iou > 0) {
                    if (iou > best_iou) {
                        best_iou = iou;
                        best_index = j;
                    }
                } else if (rmse < best_rmse) {
                    best_rmse = rmse;
                    best_index = j;
                }
            }
            if (l.forced) best_index = truth.w * truth.h < .1f ? 1 : 0;
            if (l.random && seen < 64000) best_index = rand() % l.n;
            // A forced slot 1 of a one-slot head would belong to the next cell.
            best_index = std::min(best_index, l.n - 1);

            const int box_index = index + locations * (l.classes + l.n) + (i * l.n + best_index) * l.coords;
            const float iou = box_iou(comparable_box(l, l.output + box_index), truth);
            const int p_index = index + locations * l.classes + i * l.n + best_index;
            avg_obj += l.output[p_index];
            l.delta[p_index] = l.object_scale * (1.f - l.output[p_index]);
            if (l.rescore) l.delta[p_index] = l.object_scale * (iou - l.output[p_index]);
            for (int k = 0; k < l.coords; ++k) {
                float target = state.truth[tbox_index + k];
                if (l.sqrt && (k == 2 || k == 3)) target = sqrtf(target);
                l.delta[box_index + k] = l.coord_scale * (target - l.output[box_index + k]);
            }
            avg_iou += iou;
            ++count;
        }
    }
    const float magnitude = array_magnitude(l.delta, l.outputs * l.batch);
    *l.cost = (float)((double)magnitude * magnitude);
    printf("Detection Avg IOU: %f, Pos Cat: %f, All Cat: %f, Pos Obj: %f, Any Obj: %f, count: %d\n", avg_iou / count,
           avg_cat / count, avg_allcat / (count * l.classes), avg_obj / count,
           avg_anyobj / (l.batch * locations * l.n), count);
}

void forward_detection_layer(layer l, network_state state)
{
    const int locations = l.side * l.side;
    memcpy(l.output, state.input, (size_t)l.outputs * l.batch * sizeof(float));
    if (l.softmax)
        for (int b = 0; b < l.batch; ++b)
            for (int i = 0; i < locations; ++i) {
                float *p = l.output + b * l.inputs + i * l.classes;
                softmax(p, l.classes, 1, p);
            }
    if (state.train) detection_training_loss(l, state);
}

void backward_detection_layer(layer l, network_state state)
{
    if (!state.delta) return;
    axpy_cpu(l.batch * l.inputs, 1, l.delta, 1, state.delta, 1);
}

void fill_detection_detections(layer l, int w, int h, float thresh, detection *dets, int class_capacity)
{
    const float *predictions = l.output;
    const int locations = l.side * l.side;
    const int classes = std::min(l.classes, class_capacity);
    for (int i = 0; i < locations; ++i) {
        const int row = i / l.side;
        const int col = i % l.side;
        for (int n = 0; n < l.n; ++n) {
            const int index = i * l.n + n;
            const float scale = predictions[locations * l.classes + i * l.n + n];
            const box v = detection_box(l, predictions + locations * (l.classes + l.n) + (i * l.n + n) * l.coords);
            box b;
            b.x = (v.x + col) / l.side * w;
            b.y = (v.y + row) / l.side * h;
            b.w = (l.sqrt ? v.w * v.w : v.w) * w;
            b.h = (l.sqrt ? v.h * v.h : v.h) * h;
            dets[index].bbox = b;
            dets[index].objectness = scale;
            dets[index].classes = classes;
            for (int j = 0; j < classes; ++j) {
                const float prob = scale * predictions[i * l.classes + j];
                dets[index].prob[j] = prob > thresh ? prob : 0;
            }
        }
    }
}

void get_detection_detections(layer l, int w, int h, float thresh, detection *dets)
{
    fill_detection_detections(l, w, h, thresh, dets, l.classes);
}
