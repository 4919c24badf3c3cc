// The older anchor head "[region]": cfg section, construction, the interleaving of the planar input
// into records, class softmax (flat or per hierarchy group), the training loss and extraction.
#include "region_layer.h"

#include "box_geometry.h"
#include "utils.h"
#include "vumo_layer.h"
#include "vector_primitives.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static inline float logistic(float x) { return 1.f / (1.f + expf(-x)); }
static inline float logistic_gradient(float y) { return (1 - y) * y; }

layer make_region_layer(int batch, int w, int h, int n, int classes, int coords, int max_boxes)
{
    layer l = {};
    l.type = REGION;
    l.n = n;
    l.batch = batch;
    l.h = h;
    l.w = w;
    l.classes = classes;
    l.coords = coords;
    l.c = n * (classes + coords + 1);
    l.out_w = w;
    l.out_h = h;
    l.out_c = l.c;
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.biases = (float *)xcalloc((size_t)n * 2, sizeof(float));
    l.bias_updates = (float *)xcalloc((size_t)n * 2, sizeof(float));
    l.outputs = h * w * n * (classes + coords + 1);
    l.inputs = l.outputs;
    l.max_boxes = max_boxes;
    l.truth_size = 4 + 2;
    l.truths = max_boxes * l.truth_size;
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    for (int i = 0; i < n * 2; ++i) l.biases[i] = .5f;

    l.forward = forward_region_layer;
    l.backward = backward_region_layer;

    fprintf(stderr, "detection\n");
    srand((unsigned)time(nullptr));
    return l;
}

layer parse_region(list *options, size_params params)
{
    const int coords = option_find_int(options, "coords", 4);
    const int classes = option_find_int(options, "classes", 20);
    const int num = option_find_int(options, "num", 1);
    const int max_boxes = option_find_int_quiet(options, "max", 200);

    layer l = make_region_layer(params.batch, params.w, params.h, num, classes, coords, max_boxes);
    if (l.outputs != params.inputs) {
        printf("Error: l.outputs == params.inputs \n");
        printf("filters= in the [convolutional]-layer doesn't correspond to classes= or num= in [region]-layer \n");
        exit(EXIT_FAILURE);
    }

    l.log = option_find_int_quiet(options, "log", 0);
    l.sqrt = option_find_int_quiet(options, "sqrt", 0);
    l.softmax = option_find_int(options, "softmax", 0);
    l.focal_loss = option_find_int_quiet(options, "focal_loss", 0);
    l.jitter = option_find_float(options, "jitter", .2);
    l.resize = option_find_float_quiet(options, "resize", 1.0);
    l.rescore = option_find_int_quiet(options, "rescore", 0);
    l.thresh = option_find_float(options, "thresh", .5);
    l.classfix = option_find_int_quiet(options, "classfix", 0);
    l.absolute = option_find_int_quiet(options, "absolute", 0);
    l.random = option_find_float_quiet(options, "random", 0);
    l.coord_scale = option_find_float(options, "coord_scale", 1);
    l.object_scale = option_find_float(options, "object_scale", 1);
    l.noobject_scale = option_find_float(options, "noobject_scale", 1);
    l.mask_scale = option_find_float(options, "mask_scale", 1);
    l.class_scale = option_find_float(options, "class_scale", 1);
    l.bias_match = option_find_int_quiet(options, "bias_match", 0);

    if (const char *tree_file = option_find_str(options, "tree", nullptr)) l.softmax_tree = read_tree(tree_file);
    if (const char *map_file = option_find_str(options, "map", nullptr)) l.map = read_map(map_file);

    if (const char *a = option_find_str(options, "anchors", nullptr)) {
        int count = 1;
        for (const char *c = a; *c; ++c)
            if (*c == ',') ++count;
        const int wanted = std::min(count, 2 * l.n);
        for (int i = 0; i < wanted; ++i) {
            l.biases[i] = (float)atof(a);
            const char *next = strchr(a, ',');
            if (!next) break;
            a = next + 1;
        }
    }
    return l;
}

static int record_size(const layer &l) { return l.coords + l.classes + 1; }

// Nodes of the hierarchy that are also classes of the head.
static int tree_classes(const layer &l) { return std::min(l.classes, l.softmax_tree->n); }

box get_region_box(const float *x, const float *biases, int n, int index, int col, int row, int w, int h)
{
    box b;
    b.x = (col + logistic(x[index + 0])) / w;
    b.y = (row + logistic(x[index + 1])) / h;
    b.w = expf(x[index + 2]) * biases[2 * n] / w;
    b.h = expf(x[index + 3]) * biases[2 * n + 1] / h;
    return b;
}

float delta_region_box(box truth, const float *x, const float *biases, int n, int index, int col, int row, int w,
                       int h, float *delta, float scale)
{
    const box pred = get_region_box(x, biases, n, index, col, row, w, h);
    const float iou = box_iou(pred, truth);
    const float sx = logistic(x[index + 0]);
    const float sy = logistic(x[index + 1]);
    delta[index + 0] = scale * (truth.x * w - col - sx) * logistic_gradient(sx);
    delta[index + 1] = scale * (truth.y * h - row - sy) * logistic_gradient(sy);
    delta[index + 2] = scale * (logf(truth.w * w / biases[2 * n]) - x[index + 2]);
    delta[index + 3] = scale * (logf(truth.h * h / biases[2 * n + 1]) - x[index + 3]);
    return iou;
}

void delta_region_class(const float *output, float *delta, int index, int class_id, int classes, const tree *hier,
                        float scale, float *avg_cat, int focal_loss)
{
    if (hier) {
        float pred = 1;
        while (class_id >= 0 && class_id < std::min(classes, hier->n)) {
            pred *= output[index + class_id];
            const int g = hier->group[class_id];
            const int offset = hier->group_offset[g];
            for (int i = 0; i < hier->group_size[g]; ++i)
                delta[index + offset + i] = scale * (0 - output[index + offset + i]);
            delta[index + class_id] = scale * (1 - output[index + class_id]);
            class_id = hier->parent[class_id];
        }
        *avg_cat += pred;
    } else if (focal_loss) {
        const float pt = output[index + class_id] + 1e-15f;
        const float grad = -(1 - pt) * (2 * pt * logf(pt) + pt - 1);
        for (int k = 0; k < classes; ++k)
            delta[index + k] = scale * ((k == class_id ? 1.f : 0.f) - output[index + k]) * 0.5f * grad;
        *avg_cat += output[index + class_id];
    } else {
        for (int k = 0; k < classes; ++k)
            delta[index + k] = scale * ((k == class_id ? 1.f : 0.f) - output[index + k]);
        *avg_cat += output[index + class_id];
    }
}

// Product of the class's probability and those of its ancestors.
static float hierarchy_probability(const float *x, const tree *hier, int c, int classes)
{
    float p = 1;
    while (c >= 0 && c < std::min(classes, hier->n)) {
        p *= x[c];
        c = hier->parent[c];
    }
    return p;
}

static box truth_box(const float *truth) { return box{truth[0], truth[1], truth[2], truth[3]}; }

static void region_training_loss(const layer &l, network_state state)
{
    const int size = record_size(l);
    const int area = l.w * l.h;
    const uint64_t seen = state.net.seen ? *state.net.seen : 0;
    memset(l.delta, 0, (size_t)l.batch * l.outputs * sizeof(float));
    *l.cost = 0;
    float avg_iou = 0, recall = 0, avg_cat = 0, avg_obj = 0, avg_anyobj = 0;
    int count = 0, class_count = 0;
    for (int b = 0; b < l.batch; ++b) {
        const float *truths = state.truth + (size_t)b * l.truths;
        if (l.softmax_tree) {
            bool only_class = false;
            for (int t = 0; t < l.max_boxes; ++t) {
                const float *tr = truths + t * l.truth_size;
                if (!tr[0]) break;
                const int class_id = (int)tr[4];
                if (tr[0] > 100000 && tr[1] > 100000) {
                    if (class_id < 0 || class_id >= l.classes) break;
                    float maxp = 0;
                    int maxi = 0;
                    for (int r = 0; r < l.n * area; ++r) {
                        const int index = size * r + b * l.outputs;
                        const float p = l.output[index + l.coords] *
                                        hierarchy_probability(l.output + index + l.coords + 1, l.softmax_tree,
                                                              class_id, l.classes);
                        if (p > maxp) {
                            maxp = p;
                            maxi = r;
                        }
                    }
                    const int index = size * maxi + b * l.outputs;
                    delta_region_class(l.output, l.delta, index + l.coords + 1, class_id, l.classes, l.softmax_tree,
                                       l.class_scale, &avg_cat, l.focal_loss);
                    ++class_count;
                    only_class = true;
                    break;
                }
            }
            if (only_class) continue;
        }

        for (int row = 0; row < l.h; ++row)
            for (int col = 0; col < l.w; ++col)
                for (int n = 0; n < l.n; ++n) {
                    const int index = region_record_index(l, b, row * l.w + col, n);
                    const box pred = get_region_box(l.output, l.biases, n, index, col, row, l.w, l.h);
                    float best_iou = 0;
                    int best_class_id = -1;
                    for (int t = 0; t < l.max_boxes; ++t) {
                        const float *tr = truths + t * l.truth_size;
                        const int class_id = (int)tr[4];
                        if (class_id < 0 || class_id >= l.classes) continue;
                        if (!tr[0]) break;
                        const float iou = box_iou(pred, truth_box(tr));
                        if (iou > best_iou) {
                            best_class_id = class_id;
                            best_iou = iou;
                        }
                    }
                    const int obj = index + l.coords;
                    const float o = l.output[obj];
                    avg_anyobj += o;
                    l.delta[obj] = l.noobject_scale * (0 - o) * logistic_gradient(o);
                    if (l.classfix == -1) {
                        l.delta[obj] = l.noobject_scale * (best_iou - o) * logistic_gradient(o);
                    } else if (best_iou > l.thresh) {
                        l.delta[obj] = 0;
                        if (l.classfix > 0) {
                            delta_region_class(l.output, l.delta, index + l.coords + 1, best_class_id, l.classes,
                                               l.softmax_tree, l.class_scale * (l.classfix == 2 ? o : 1), &avg_cat,
                                               l.focal_loss);
                            ++class_count;
                        }
                    }
                    // Early in training every prediction is pulled towards its anchor in the cell centre.
                    if (seen < 12800) {
                        const box prior = {(col + .5f) / l.w, (row + .5f) / l.h, l.biases[2 * n] / l.w,
                                           l.biases[2 * n + 1] / l.h};
                        delta_region_box(prior, l.output, l.biases, n, index, col, row, l.w, l.h, l.delta, .01f);
                    }
                }

        for (int t = 0; t < l.max_boxes; ++t) {
            const float *tr = truths + t * l.truth_size;
            const box truth = truth_box(tr);
            int class_id = (int)tr[4];
            // Negative ids would index before the class entries.
            if (class_id >= l.classes || class_id < 0) {
                printf("\n Warning: in txt-labels class_id=%d >= classes=%d in cfg-file. In txt-labels class_id "
                       "should be [from 0 to %d] \n",
                       class_id, l.classes, l.classes - 1);
                getchar();
                continue;
            }
            if (!truth.x) break;
            // A centre at 1 (or beyond) still trains the last cell rather than one outside the grid.
            const int col = std::clamp((int)(truth.x * l.w), 0, l.w - 1);
            const int row = std::clamp((int)(truth.y * l.h), 0, l.h - 1);
            const box truth_shift = {0, 0, truth.w, truth.h};
            float best_iou = 0;
            int best_n = 0;
            int best_index = region_record_index(l, b, row * l.w + col, 0);
            for (int n = 0; n < l.n; ++n) {
                const int index = region_record_index(l, b, row * l.w + col, n);
                box pred = get_region_box(l.output, l.biases, n, index, col, row, l.w, l.h);
                if (l.bias_match) {
                    pred.w = l.biases[2 * n] / l.w;
                    pred.h = l.biases[2 * n + 1] / l.h;
                }
                pred.x = 0;
                pred.y = 0;
                const float iou = box_iou(pred, truth_shift);
                if (iou > best_iou) {
                    best_index = index;
                    best_iou = iou;
                    best_n = n;
                }
            }
            const float iou = delta_region_box(truth, l.output, l.biases, best_n, best_index, col, row, l.w, l.h,
                                               l.delta, l.coord_scale);
            if (iou > .5f) recall += 1;
            avg_iou += iou;
            const int obj = best_index + l.coords;
            const float o = l.output[obj];
            avg_obj += o;
            l.delta[obj] = l.object_scale * (1 - o) * logistic_gradient(o);
            if (l.rescore) l.delta[obj] = l.object_scale * (iou - o) * logistic_gradient(o);
            if (l.map) class_id = l.map[class_id];
            delta_region_class(l.output, l.delta, best_index + l.coords + 1, class_id, l.classes, l.softmax_tree,
                               l.class_scale, &avg_cat, l.focal_loss);
            ++count;
            ++class_count;
        }
    }
    const float magnitude = array_magnitude(l.delta, l.outputs * l.batch);
    *l.cost = (float)((double)magnitude * magnitude);
    printf("Region Avg IOU: %f, Class: %f, Obj: %f, No Obj: %f, Avg Recall: %f,  count: %d\n", avg_iou / count,
           avg_cat / class_count, avg_obj / count, avg_anyobj / (l.w * l.h * l.n * l.batch), recall / count, count);
}

void forward_region_layer(layer l, network_state state)
{
    const int size = record_size(l);
    const int area = l.w * l.h;
    const int per_position = size * l.n;
    for (int b = 0; b < l.batch; ++b) {
        const float *in = state.input + (size_t)b * l.outputs;
        float *out = l.output + (size_t)b * l.outputs;
        for (int k = 0; k < per_position; ++k)
            for (int i = 0; i < area; ++i) out[i * per_position + k] = in[k * area + i];
    }
    const int records = l.batch * l.n * area;
    for (int r = 0; r < records; ++r) {
        float *classes = l.output + (size_t)r * size + l.coords + 1;
        if (l.softmax_tree) {
            const tree *t = l.softmax_tree;
            for (int g = 0; g < t->groups; ++g) {
                // Groups past the head's classes would spill into the next record.
                const int count = std::min(t->group_size[g], l.classes - t->group_offset[g]);
                if (count > 0) softmax(classes + t->group_offset[g], count, 1, classes + t->group_offset[g]);
            }
        } else if (l.softmax) {
            softmax(classes, l.classes, 1, classes);
        }
        float &o = l.output[(size_t)r * size + l.coords];
        o = logistic(o);
    }
    if (state.train) region_training_loss(l, state);
}

void backward_region_layer(layer l, network_state state)
{
    if (!state.delta) return;
    const int area = l.w * l.h;
    const int per_position = record_size(l) * l.n;
    for (int b = 0; b < l.batch; ++b) {
        const float *d = l.delta + (size_t)b * l.outputs;
        float *out = state.delta + (size_t)b * l.inputs;
        for (int k = 0; k < per_position; ++k)
            for (int i = 0; i < area; ++i) out[k * area + i] += d[i * per_position + k];
    }
}

void resize_region_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    l->out_w = w;
    l->out_h = h;
    l->outputs = h * w * l->n * (l->classes + l->coords + 1);
    l->inputs = l->outputs;
    const size_t bytes = (size_t)l->batch * l->outputs * sizeof(float);
    l->output = (float *)xrealloc(l->output, bytes);
    l->delta = (float *)xrealloc(l->delta, bytes);
}

void free_region_arrays(layer *l)
{
    free(l->map);
    l->map = nullptr;
    if (tree *t = l->softmax_tree) {
        for (int i = 0; i < t->n; ++i) free(t->name[i]);
        free(t->name);
        free(t->leaf);
        free(t->parent);
        free(t->child);
        free(t->group);
        free(t->group_size);
        free(t->group_offset);
        free(t);
        l->softmax_tree = nullptr;
    }
}

void get_region_boxes(layer l, int w, int h, float thresh, float **probs, box *boxes, int only_objectness,
                      const int *map)
{
    float *predictions = l.output;
    const int size = record_size(l);
    for (int i = 0; i < l.w * l.h; ++i) {
        const int row = i / l.w;
        const int col = i % l.w;
        for (int n = 0; n < l.n; ++n) {
            const int index = i * l.n + n;
            const int box_index = index * size;
            const int class_index = box_index + l.coords + 1;
            float scale = predictions[box_index + l.coords];
            if (l.classfix == -1 && scale < .5f) scale = 0;
            boxes[index] = get_region_box(predictions, l.biases, n, box_index, col, row, l.w, l.h);
            boxes[index].x *= w;
            boxes[index].y *= h;
            boxes[index].w *= w;
            boxes[index].h *= h;

            if (l.softmax_tree) {
                // Each node's probability becomes its product with all its ancestors'.
                float *p = predictions + class_index;
                for (int j = 0; j < tree_classes(l); ++j) {
                    const int parent = l.softmax_tree->parent[j];
                    if (parent >= 0) p[j] *= p[parent];
                }
                if (map) {
                    for (int j = 0; j < l.classes; ++j) {
                        const int m = map[j];
                        const float prob = m >= 0 && m < l.classes ? scale * p[m] : 0;
                        probs[index][j] = prob > thresh ? prob : 0;
                    }
                } else {
                    bool found = false;
                    for (int j = l.classes - 1; j >= 0; --j) {
                        if (!found && p[j] > .5f)
                            found = true;
                        else
                            p[j] = 0;
                        probs[index][j] = scale > thresh ? p[j] : 0;
                    }
                }
            } else {
                for (int j = 0; j < l.classes; ++j) {
                    const float prob = scale * predictions[class_index + j];
                    probs[index][j] = prob > thresh ? prob : 0;
                }
            }
            if (only_objectness) probs[index][0] = scale;
        }
    }
}

void custom_get_region_detections(layer l, int w, int h, int netw, int neth, float thresh, int *map, float hier,
                                  int relative, detection *dets, int letter)
{
    fill_region_detections(l, w, h, netw, neth, thresh, map, relative, dets, letter, l.classes);
}

void fill_region_detections(layer l, int w, int h, int netw, int neth, float thresh, const int *map, int relative,
                            detection *dets, int letter, int class_capacity)
{
    const int classes = std::min(l.classes, class_capacity);
    const int m = l.w * l.h * l.n;
    box *boxes = (box *)xcalloc(m, sizeof(box));
    float **probs = (float **)xcalloc(m, sizeof(float *));
    for (int j = 0; j < m; ++j) probs[j] = (float *)xcalloc(l.classes, sizeof(float));
    get_region_boxes(l, 1, 1, thresh, probs, boxes, 0, map);
    for (int j = 0; j < m; ++j) {
        dets[j].classes = classes;
        dets[j].bbox = boxes[j];
        dets[j].objectness = 1;
        dets[j].best_class_index = -1;
        float highest = 0;
        for (int i = 0; i < classes; ++i) {
            dets[j].prob[i] = probs[j][i];
            if (probs[j][i] > highest) {
                highest = probs[j][i];
                dets[j].best_class_index = i;
            }
        }
        free(probs[j]);
    }
    free(boxes);
    free(probs);
    correct_vumo_boxes(dets, m, w, h, netw, neth, relative, letter);
}
