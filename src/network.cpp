// The network record and its CPU execution: forward and backward over a network_state, training
// on a batch, prediction, batch and input-size changes, batch-norm fusion, XNOR preparation, the
// evaluation copy, recurrent state and release.
#include "network.h"

#include "convolutional_layer.h"
#include "detection_layer.h"
#include "gaussian_vumo_layer.h"
#include "image.h"
#include "layer.h"
#include "learning_rate.h"
#include "region_layer.h"
#include "utils.h"
#include "vector_primitives.h"
#include "vumo_layer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

network make_network(int n)
{
    network net = {};
    net.n = n;
    net.layers = (layer *)xcalloc(n, sizeof(layer));
    // One-value cells shared by every by-value copy of the record, so counters survive copying.
    net.seen = (uint64_t *)xcalloc(1, sizeof(uint64_t));
    net.cuda_graph_ready = (int *)xcalloc(1, sizeof(int));
    net.badlabels_reject_threshold = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_max = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_avg = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_std = (float *)xcalloc(1, sizeof(float));
    net.cur_iteration = (int *)xcalloc(1, sizeof(int));
    net.total_bbox = (uint64_t *)xcalloc(1, sizeof(uint64_t));
    net.rewritten_bbox = (uint64_t *)xcalloc(1, sizeof(uint64_t));
#ifdef QUILLON_GPU
    net.input_gpu = (float **)xcalloc(1, sizeof(float *));
    net.truth_gpu = (float **)xcalloc(1, sizeof(float *));
    net.input16_gpu = (float **)xcalloc(1, sizeof(float *));
    net.output16_gpu = (float **)xcalloc(1, sizeof(float *));
    net.max_input16_size = (size_t *)xcalloc(1, sizeof(size_t));
    net.max_output16_size = (size_t *)xcalloc(1, sizeof(size_t));
#endif
    return net;
}

extern "C" QUILLON_API layer *get_network_layer(network *net, int i)
{
    return &net->layers[i];
}

extern "C" QUILLON_API int network_width(network *net)
{
    return net->w;
}

extern "C" QUILLON_API int network_height(network *net)
{
    return net->h;
}

static int output_layer_index(const network &net)
{
    int i = net.n - 1;
    while (i > 0 && net.layers[i].type == COST) --i;
    return i;
}

int get_network_output_size(network net)
{
    return net.layers[output_layer_index(net)].outputs;
}

int get_network_input_size(network net)
{
    return net.layers[0].inputs;
}

float *get_network_output(network net)
{
    return net.layers[output_layer_index(net)].output;
}

float get_network_cost(network net)
{
    float sum = 0;
    int count = 0;
    for (int i = 0; i < net.n; ++i) {
        if (net.layers[i].cost) {
            sum += net.layers[i].cost[0];
            ++count;
        }
    }
    // A network without cost cells has no cost; 0 rather than 0/0.
    return count ? sum / count : 0;
}

void forward_network(network net, network_state state)
{
    state.workspace = net.workspace;
    for (int i = 0; i < net.n; ++i) {
        state.index = i;
        layer l = net.layers[i];
        if (l.delta && state.train && l.train) fill_cpu(l.outputs * l.batch, 0, l.delta, 1);
        if (l.forward) l.forward(l, state);
        state.input = l.output;
    }
}

void backward_network(network net, network_state state)
{
    float *original_input = state.input;
    float *original_delta = state.delta;
    state.workspace = net.workspace;
    for (int i = net.n - 1; i >= 0; --i) {
        state.index = i;
        if (i == 0) {
            state.input = original_input;
            state.delta = original_delta;
        } else {
            const layer &prev = net.layers[i - 1];
            state.input = prev.output;
            state.delta = prev.delta;
        }
        layer l = net.layers[i];
        if (l.stopbackward) break;
        if (l.onlyforward) continue;
        if (l.backward) l.backward(l, state);
    }
}

float train_network_datum(network net, float *x, float *y)
{
    *net.seen += net.batch;
    network_state state = {};
    state.index = 0;
    state.net = net;
    state.input = x;
    state.truth = y;
    state.delta = nullptr;
    state.train = 1;
    forward_network(net, state);
    backward_network(net, state);
    const float error = get_network_cost(net);
    if (*net.total_bbox > 0)
        fprintf(stderr, " total_bbox = %d, rewritten_bbox = %f %% \n", (int)*net.total_bbox,
                100 * (float)*net.rewritten_bbox / (float)*net.total_bbox);
    return error;
}

float train_network(network net, data d)
{
    return train_network_waitkey(net, d, 0);
}

float train_network_waitkey(network net, data d, int wait_key)
{
    const int batch = net.batch;
    const int n = d.X.rows / batch;
    float *X = (float *)xcalloc((size_t)batch * d.X.cols, sizeof(float));
    float *y = (float *)xcalloc((size_t)batch * d.y.cols, sizeof(float));
    float sum = 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < batch; ++j) {
            memcpy(X + (size_t)j * d.X.cols, d.X.vals[i * batch + j], (size_t)d.X.cols * sizeof(float));
            memcpy(y + (size_t)j * d.y.cols, d.y.vals[i * batch + j], (size_t)d.y.cols * sizeof(float));
        }
        net.current_subdivision = i;
        sum += train_network_datum(net, X, y);
    }
    ++*net.cur_iteration;
    update_network(net);
    apply_ema_and_rejection(net);
    free(X);
    free(y);
    return n > 0 ? sum / ((float)n * batch) : 0;
}

extern "C" QUILLON_API float *network_predict(network net, float *input)
{
    network_state state = {};
    state.net = net;
    state.index = 0;
    state.input = input;
    state.truth = nullptr;
    state.train = 0;
    state.delta = nullptr;
    forward_network(net, state);
    return get_network_output(net);
}

extern "C" QUILLON_API float *network_predict_ptr(network *net, float *input)
{
    return network_predict(*net, input);
}

void set_batch_network(network *net, int b)
{
    net->batch = b;
    for (int i = 0; i < net->n; ++i) net->layers[i].batch = b;
    recalculate_workspace_size(net);
}

void recalculate_workspace_size(network *net)
{
    size_t workspace_size = 0;
    for (int i = 0; i < net->n; ++i) {
        layer &l = net->layers[i];
        if (l.type == CONVOLUTIONAL) l.workspace_size = get_convolutional_workspace_size(l);
        workspace_size = std::max(workspace_size, l.workspace_size);
    }
    free(net->workspace);
    net->workspace = (float *)xcalloc(1, workspace_size);
}

int resize_network(network *net, int w, int h)
{
    net->w = w;
    net->h = h;
    int inputs = 0;
    size_t workspace_size = 0;
    for (int i = 0; i < net->n; ++i) {
        layer &l = net->layers[i];
        const layer_kind *kind = get_layer_kind(l.type);
        if (!kind || !kind->resize) {
            fprintf(stderr, "Resizing type %d \n", (int)l.type);
            quillon_error("Cannot resize this type of layer");
        }
        kind->resize(&l, w, h, inputs, net);
        if (l.type == DROPOUT && i > 0) {
            // A dropout works in place on the previous layer's buffers, which may have moved.
            const layer &prev = net->layers[i - 1];
            l.w = l.out_w = w;
            l.h = l.out_h = h;
            l.output = prev.output;
            l.delta = prev.delta;
            l.output_gpu = prev.output_gpu;
            l.delta_gpu = prev.delta_gpu;
        }
        workspace_size = std::max(workspace_size, l.workspace_size);
        // As in the builder, an anti-aliased layer hands on the shape of its blur.
        const layer &shape = l.antialiasing && l.input_layer ? *l.input_layer : l;
        inputs = shape.outputs;
        w = shape.out_w;
        h = shape.out_h;
    }
    const size_t count = (size_t)net->layers[0].inputs * net->batch;
    free(net->workspace);
    net->workspace = (float *)xcalloc(1, workspace_size);
    if (!net->input_pinned_cpu_flag)
        net->input_pinned_cpu = (float *)xrealloc(net->input_pinned_cpu, count * sizeof(float));
    net->outputs = get_network_output_size(*net);
    net->output = get_network_output(*net);
    return 0;
}

// Statistics and training buffers of batch normalisation, no longer used once folded.
static void release_batchnorm_buffers(layer &l)
{
    float **arrays[] = {&l.mean, &l.variance, &l.mean_delta, &l.variance_delta,
                        &l.rolling_mean, &l.rolling_variance, &l.x, &l.x_norm};
    for (float **a : arrays) {
        free(*a);
        *a = nullptr;
    }
}

static void fuse_convolutional(layer &l)
{
    if (l.share_layer) l.batch_normalize = 0;
    if (!l.batch_normalize) return;
    const int filter_size = l.size * l.size * l.c / l.groups;
    for (int f = 0; f < l.n; ++f) {
        const double root = sqrt((double)l.rolling_variance[f] + .00001);
        l.biases[f] = (float)(l.biases[f] - (double)l.scales[f] * l.rolling_mean[f] / root);
        const double factor = l.scales[f] / root;
        float *w = l.weights + (size_t)f * filter_size;
        for (int k = 0; k < filter_size; ++k) w[k] = (float)(w[k] * factor);
    }
    release_batchnorm_buffers(l);
    l.batch_normalize = 0;
}

static void normalise_shortcut_weights(layer &l, int index)
{
    if (l.nweights > 0) {
        for (int k = 0; k < l.nweights; ++k) printf(" w = %f,", l.weights[k]);
        printf(" l->nweights = %d, j = %d \n", l.nweights, index);
    }
    const int inputs = l.n + 1;
    const int layer_step = l.nweights / inputs;
    for (int i = 0; i < layer_step; ++i) {
        float *w = l.weights + i;
        if (l.weights_normalization == RELU_NORMALIZATION) {
            float sum = .0001f;
            for (int k = 0; k < inputs; ++k) sum += std::max(w[k * layer_step], .001f);
            for (int k = 0; k < inputs; ++k) w[k * layer_step] = std::max(w[k * layer_step], .001f) / sum;
        } else if (l.weights_normalization == SOFTMAX_NORMALIZATION) {
            float m = -3.4028235e38f;
            for (int k = 0; k < inputs; ++k) m = std::max(m, w[k * layer_step]);
            float sum = .0001f;
            for (int k = 0; k < inputs; ++k) sum += expf(w[k * layer_step] - m);
            for (int k = 0; k < inputs; ++k) w[k * layer_step] = expf(w[k * layer_step] - m) / sum;
        }
    }
    l.weights_normalization = NO_NORMALIZATION;
}

extern "C" QUILLON_API void fuse_conv_batchnorm(network net)
{
    for (int j = 0; j < net.n; ++j) {
        layer &l = net.layers[j];
        if (l.type == CONVOLUTIONAL) fuse_convolutional(l);
        else if (l.type == SHORTCUT && l.weights && l.weights_normalization) normalise_shortcut_weights(l, j);
    }
}

extern "C" QUILLON_API void calculate_binary_weights(network net)
{
    for (int j = 0; j < net.n; ++j) {
        layer &l = net.layers[j];
        if (l.type != CONVOLUTIONAL || !l.xnor) continue;
        binary_align_weights(&l);
        if (l.use_bin_output) l.activation = LINEAR;
    }
}

void copy_weights_net(network net_train, network *net_map)
{
    for (int k = 0; k < net_train.n; ++k) {
        layer &l = net_map->layers[k];
        l = net_train.layers[k];
        l.batch = 1;
        l.steps = 1;
        l.train = 0;
    }
}

static void randomise_crnn_state(const layer &l)
{
    const layer *self = l.self_layer;
    if (!self || !self->output) return;
    // The self layer's own extent: the container's outputs may count more values than it holds.
    const int count = self->batch * self->outputs;
    for (int i = 0; i < count; ++i) self->output[i] = random_uniform(-1, 1);
}

void reset_recurrent_state(network net)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type == CONV_LSTM) {
            fill_cpu(l.batch * l.outputs, 0, l.h_cpu, 1);
            fill_cpu(l.batch * l.outputs, 0, l.c_cpu, 1);
        }
        if (l.type == CRNN) randomise_crnn_state(l);
    }
}

void save_recurrent_state(network net)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type != CONV_LSTM) continue;
        copy_cpu(l.batch * l.outputs, l.h_cpu, l.stored_h_cpu);
        copy_cpu(l.batch * l.outputs, l.c_cpu, l.stored_c_cpu);
    }
}

void restore_recurrent_state(network net)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type == CONV_LSTM) {
            copy_cpu(l.batch * l.outputs, l.stored_h_cpu, l.h_cpu);
            copy_cpu(l.batch * l.outputs, l.stored_c_cpu, l.c_cpu);
        }
        if (l.type == CRNN) randomise_crnn_state(l);
    }
}

// The recurrent state lives on the device only in GPU builds; the CPU state is left alone.
extern "C" QUILLON_API void reset_rnn(network *net) { (void)net; }

extern "C" QUILLON_API load_args get_base_args(network *net)
{
    load_args args = {};
    args.w = net->w;
    args.h = net->h;
    args.size = net->w;
    args.min = net->min_crop;
    args.max = net->max_crop;
    args.angle = net->angle;
    args.aspect = net->aspect;
    args.exposure = net->exposure;
    args.saturation = net->saturation;
    args.hue = net->hue;
    args.center = net->center;
    return args;
}

extern "C" QUILLON_API void free_network(network net)
{
    for (int i = 0; i < net.n; ++i) free_layer(net.layers[i]);
    free(net.layers);
    free(net.seq_scales);
    free(net.scales);
    free(net.steps);
    free(net.seen);
    free(net.cuda_graph_ready);
    free(net.badlabels_reject_threshold);
    free(net.delta_rolling_max);
    free(net.delta_rolling_avg);
    free(net.delta_rolling_std);
    free(net.cur_iteration);
    free(net.total_bbox);
    free(net.rewritten_bbox);
    free(net.workspace);
#ifdef QUILLON_GPU
    free(net.input_gpu);
    free(net.truth_gpu);
    free(net.input16_gpu);
    free(net.output16_gpu);
    free(net.max_input16_size);
    free(net.max_output16_size);
#endif
    // Resizing keeps an ordinary host input buffer even without a device.
    if (!net.input_pinned_cpu_flag) free(net.input_pinned_cpu);
}

extern "C" QUILLON_API void free_network_ptr(network *net)
{
    free_network(*net);
}

// ---------------------------------------------------------------- detection extraction
// Candidates of every detection head, counted, allocated in one array and filled head by head in
// layer order; count and fill use the same strict threshold, so the fill ends at the array's end.

static bool is_detection_head(LAYER_TYPE type)
{
    return type == VUMO || type == GAUSSIAN_VUMO || type == DETECTION || type == REGION;
}

// The head whose class count and extras size every detection record of the network.
static const layer &detection_template_layer(const network &net)
{
    for (int i = 0; i < net.n; ++i)
        if (is_detection_head(net.layers[i].type)) return net.layers[i];
    return net.layers[net.n - 1];
}

int network_num_detections(network *net, float thresh)
{
    int count = 0;
    for (int i = 0; i < net->n; ++i) {
        const layer &l = net->layers[i];
        if (l.type == VUMO) count += vumo_num_detections(l, thresh);
        if (l.type == GAUSSIAN_VUMO) count += gaussian_vumo_num_detections(l, thresh);
        if (l.type == DETECTION || l.type == REGION) count += l.w * l.h * l.n;
    }
    return count;
}

int network_num_detections_batch(network *net, float thresh, int batch)
{
    int count = 0;
    for (int i = 0; i < net->n; ++i) {
        const layer &l = net->layers[i];
        if (l.type == VUMO) count += vumo_num_detections_batch(l, thresh, batch);
        if (l.type == DETECTION || l.type == REGION) count += l.w * l.h * l.n;
    }
    return count;
}

static detection *allocate_network_boxes(const network &net, int count)
{
    const layer &l = detection_template_layer(net);
    detection *dets = (detection *)xcalloc(count, sizeof(detection));
    for (int i = 0; i < count; ++i) {
        dets[i].prob = (float *)xcalloc(l.classes, sizeof(float));
        if (l.type == GAUSSIAN_VUMO) dets[i].uc = (float *)xcalloc(4, sizeof(float));
        if (l.coords > 4) dets[i].mask = (float *)xcalloc(l.coords - 4, sizeof(float));
        if (l.embedding_output) dets[i].embeddings = (float *)xcalloc(l.embedding_size, sizeof(float));
        dets[i].embedding_size = l.embedding_size;
    }
    return dets;
}

extern "C" QUILLON_API detection *make_network_boxes(network *net, float thresh, int *num)
{
    const int count = network_num_detections(net, thresh);
    if (num) *num = count;
    return allocate_network_boxes(*net, count);
}

detection *make_network_boxes_batch(network *net, float thresh, int *num, int batch)
{
    *num = network_num_detections_batch(net, thresh, batch);
    return allocate_network_boxes(*net, *num);
}

static void check_head_classes(int &prev_classes, int classes)
{
    if (prev_classes < 0) {
        prev_classes = classes;
    } else if (prev_classes != classes) {
        printf(" Error: Different [vumo] layers have different number of classes = %d and %d - check your cfg-file! \n",
               prev_classes, classes);
    }
}

// batch < 0: the single-image path (image 0).
static void fill_detections(network *net, int w, int h, float thresh, int *map, int relative, detection *dets,
                            int letter, int batch)
{
    // The records' prob arrays are sized by the template head; a head with more classes is cut to them.
    const int class_capacity = detection_template_layer(*net).classes;
    int prev_classes = -1;
    detection *cursor = dets;
    for (int i = 0; i < net->n; ++i) {
        const layer &l = net->layers[i];
        if (l.type == VUMO) {
            cursor += fill_vumo_detections(l, w, h, net->w, net->h, thresh, relative, cursor, letter,
                                           batch < 0 ? 0 : batch, class_capacity);
            check_head_classes(prev_classes, l.classes);
        } else if (l.type == GAUSSIAN_VUMO && batch < 0) {
            cursor += fill_gaussian_vumo_detections(l, w, h, net->w, net->h, thresh, relative, cursor, letter,
                                                    class_capacity);
        } else if (l.type == REGION) {
            fill_region_detections(l, w, h, net->w, net->h, thresh, map, relative, cursor, letter, class_capacity);
            cursor += l.w * l.h * l.n;
        } else if (l.type == DETECTION) {
            // Its boxes come out in the units of the size it is given: 1 x 1 keeps them relative.
            fill_detection_detections(l, relative ? 1 : w, relative ? 1 : h, thresh, cursor, class_capacity);
            cursor += l.w * l.h * l.n;
        }
    }
}

void fill_network_detections(network *net, int w, int h, float thresh, float hier, int *map, int relative,
                             detection *dets, int letter)
{
    fill_detections(net, w, h, thresh, map, relative, dets, letter, -1);
}

void fill_network_detections_batch(network *net, int w, int h, float thresh, float hier, int *map, int relative,
                                   detection *dets, int letter, int batch)
{
    fill_detections(net, w, h, thresh, map, relative, dets, letter, batch);
}

extern "C" QUILLON_API detection *get_network_boxes(network *net, int w, int h, float thresh, float hier, int *map,
                                                    int relative, int *num, int letter)
{
    detection *dets = make_network_boxes(net, thresh, num);
    fill_network_detections(net, w, h, thresh, hier, map, relative, dets, letter);
    return dets;
}

extern "C" QUILLON_API void free_batch_detections(image_detections *entries, int n)
{
    for (int i = 0; i < n; ++i) free_detections(entries[i].dets, entries[i].num);
    free(entries);
}

// The picture as the network reads it: w x h x c of the network. Pictures with another channel
// count are copied into the network's channels (missing ones stay 0) so the pass never reads past them.
static float *predict_sized(network *net, image im, bool letter)
{
    if (net->batch != 1) set_batch_network(net, 1);
    image sized = im;
    bool own = false;
    if (im.w != net->w || im.h != net->h) {
        sized = letter ? letterbox_image(im, net->w, net->h) : resize_image(im, net->w, net->h);
        own = true;
    }
    if (sized.c != net->c) {
        image fitted = make_image(net->w, net->h, net->c);
        const size_t plane = (size_t)net->w * net->h;
        memcpy(fitted.data, sized.data, plane * std::min(sized.c, net->c) * sizeof(float));
        if (own) free_image(sized);
        sized = fitted;
        own = true;
    }
    float *p = network_predict(*net, sized.data);
    if (own) free_image(sized);
    return p;
}

extern "C" QUILLON_API float *network_predict_image(network *net, image im)
{
    return predict_sized(net, im, false);
}

extern "C" QUILLON_API float *network_predict_image_letterbox(network *net, image im)
{
    return predict_sized(net, im, true);
}

extern "C" QUILLON_API image_detections *network_predict_batch(network *net, image im, int batch_size, int w, int h,
                                                               float thresh, float hier, int *map, int relative,
                                                               int letter)
{
    // The pass reads a full batch; a picture holding fewer values is copied into a zero-padded batch.
    const size_t needed = (size_t)net->batch * net->inputs;
    const size_t given = (size_t)std::max(im.w, 0) * std::max(im.h, 0) * std::max(im.c, 0);
    if (given < needed) {
        float *padded = (float *)xcalloc(needed, sizeof(float));
        if (given) memcpy(padded, im.data, given * sizeof(float));
        network_predict(*net, padded);
        free(padded);
    } else {
        network_predict(*net, im.data);
    }
    image_detections *entries = (image_detections *)xcalloc(batch_size, sizeof(image_detections));
    // The heads hold net->batch images; entries beyond them stay empty rather than read past the outputs.
    const int images = std::min(batch_size, net->batch);
    for (int b = 0; b < images; ++b) {
        int num = 0;
        detection *dets = make_network_boxes_batch(net, thresh, &num, b);
        fill_network_detections_batch(net, w, h, thresh, hier, map, relative, dets, letter, b);
        entries[b].num = num;
        entries[b].dets = dets;
    }
    return entries;
}
