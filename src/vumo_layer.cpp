// The anchor-based detection head "[vumo]": cfg section, construction, activation of the raw cell
// values, decoding into boxes relative to the network input, extraction of detections above a
// threshold (through a letterbox when needed), resize, and the training pass.
#include "vumo_layer.h"

#include "activation_functions.h"
#include "utils.h"

#include <algorithm>
#include <cfloat>
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

layer make_vumo_layer(int batch, int w, int h, int n, int total, int *mask, int classes, int max_boxes)
{
    layer l = {};
    l.type = VUMO;
    l.n = n;
    l.total = total;
    l.batch = batch;
    l.w = w;
    l.h = h;
    l.c = n * (classes + 5);
    l.out_w = w;
    l.out_h = h;
    l.out_c = l.c;
    l.classes = classes;
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.biases = (float *)xcalloc((size_t)total * 2, sizeof(float));
    if (mask) {
        l.mask = mask;
    } else {
        l.mask = (int *)xcalloc(n, sizeof(int));
        for (int i = 0; i < n; ++i) l.mask[i] = i;
    }
    l.bias_updates = (float *)xcalloc((size_t)n * 2, sizeof(float));
    l.outputs = h * w * n * (classes + 5);
    l.inputs = l.outputs;
    l.max_boxes = max_boxes;
    l.truth_size = 4 + 2;
    l.truths = l.max_boxes * l.truth_size;
    const size_t cells = (size_t)batch * w * h * n;
    l.cell_track_ids = (int *)xcalloc(cells, sizeof(int));
    l.cell_class_ids = (int *)xcalloc(cells, sizeof(int));
    std::fill(l.cell_track_ids, l.cell_track_ids + cells, -1);
    std::fill(l.cell_class_ids, l.cell_class_ids + cells, -1);
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    for (int i = 0; i < total * 2; ++i) l.biases[i] = .5f;

    l.forward = forward_vumo_layer;
    l.backward = backward_vumo_layer;

    fprintf(stderr, "vumo\n");
    srand((unsigned)time(nullptr));
    return l;
}

static IOU_LOSS iou_loss_from_string(const char *s)
{
    if (!strcmp(s, "mse")) return MSE;
    if (!strcmp(s, "giou")) return GIOU;
    if (!strcmp(s, "diou")) return DIOU;
    if (!strcmp(s, "ciou")) return CIOU;
    return IOU;
}

static IOU_LOSS iou_thresh_kind_from_string(const char *s)
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

static void read_class_multipliers(list *options, layer &l)
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

static void read_anchors(const char *text, layer &l)
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

layer parse_vumo(list *options, size_params params)
{
    const int classes = option_find_int(options, "classes", 20);
    const int total = option_find_int(options, "num", 1);
    int n = total;
    int *mask = parse_vumo_mask(option_find_str(options, "mask", nullptr), &n);
    // A slot's anchor indexes the anchor list: an index outside it would decode from foreign memory.
    for (int i = 0; mask && i < n; ++i)
        if (mask[i] < 0 || mask[i] >= total) {
            printf(" Error: mask = %d in [vumo]-layer is outside the num = %d anchors \n", mask[i], total);
            exit(EXIT_FAILURE);
        }
    const int max_boxes = option_find_int_quiet(options, "max", 200);

    layer l = make_vumo_layer(params.batch, params.w, params.h, n, total, mask, classes, max_boxes);
    if (l.outputs != params.inputs) {
        printf("Error: l.outputs == params.inputs \n");
        printf("filters= in the [convolutional]-layer doesn't correspond to classes= or mask= in [vumo]-layer \n");
        exit(EXIT_FAILURE);
    }

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

void vumo_training_loss(layer l, network_state state)
{
    const size_t cells = (size_t)l.batch * l.w * l.h * l.n;
    std::fill(l.cell_track_ids, l.cell_track_ids + cells, -1);
    std::fill(l.cell_class_ids, l.cell_class_ids + cells, -1);
    *l.cost = 0;
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

void resize_vumo_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    l->out_w = w;
    l->out_h = h;
    l->outputs = h * w * l->n * (l->classes + 5);
    l->inputs = l->outputs;
    const size_t cells = (size_t)l->batch * l->n * h * w;
    if (l->embedding_output)
        l->embedding_output =
            (float *)xrealloc(l->embedding_output, cells * l->embedding_size * sizeof(float));
    l->cell_track_ids = (int *)xrealloc(l->cell_track_ids, cells * sizeof(int));
    l->cell_class_ids = (int *)xrealloc(l->cell_class_ids, cells * sizeof(int));
    const size_t count = (size_t)l->batch * l->outputs * sizeof(float);
    if (!l->output_pinned) l->output = (float *)xrealloc(l->output, count);
    if (!l->delta_pinned) l->delta = (float *)xrealloc(l->delta, count);
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
