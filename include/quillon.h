/* Quillon: single-shot object detection. The one public header: the records that cross the
 * library boundary (with fixed layouts) and the exported functions. Everything here is valid C;
 * the Detector class is added for C++ hosts. */
#ifndef QUILLON_H
#define QUILLON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <pthread.h>

#ifdef QUILLON_BUILDING
#define QUILLON_API __attribute__((visibility("default")))
#else
#define QUILLON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- enumerations */

typedef enum {
    CONVOLUTIONAL = 0,
    CONNECTED = 2,
    MAXPOOL = 3,
    LOCAL_AVGPOOL = 4,
    SOFTMAX = 5,
    DETECTION = 6,
    DROPOUT = 7,
    CROP = 8,
    ROUTE = 9,
    COST = 10,
    NORMALIZATION = 11,
    AVGPOOL = 12,
    LOCAL = 13,
    SHORTCUT = 14,
    SCALE_CHANNELS = 15,
    SAM = 16,
    ACTIVE = 17,
    RNN = 18,
    GRU = 19,
    LSTM = 20,
    CONV_LSTM = 21,
    HISTORY = 22,
    CRNN = 23,
    BATCHNORM = 24,
    NETWORK = 25,
    REGION = 27,
    VUMO = 28,
    GAUSSIAN_VUMO = 29,
    REORG = 31,
    REORG_OLD = 32,
    UPSAMPLE = 33,
    EMPTY = 36,
    BLANK = 37,
    CONTRASTIVE = 38,
    IMPLICIT = 39
} LAYER_TYPE;

typedef enum {
    LOGISTIC, RELU, RELU6, RELIE, LINEAR, RAMP, TANH, PLSE, REVLEAKY, LEAKY, ELU, LOGGY, STAIR,
    HARDTAN, LHTAN, SELU, GELU, SWISH, MISH, HARD_MISH, NORM_CHAN, NORM_CHAN_SOFTMAX,
    NORM_CHAN_SOFTMAX_MAXVAL
} ACTIVATION;

typedef enum { NO_NORMALIZATION = 0, RELU_NORMALIZATION = 1, SOFTMAX_NORMALIZATION = 2 } WEIGHTS_NORMALIZATION_T;

/* Loss of a [cost] layer. */
typedef enum { SSE = 0, MASKED = 1, SMOOTH = 4 } COST_TYPE;

typedef enum { CONSTANT, STEP, EXP, POLY, STEPS, SIG, RANDOM, SGDR } learning_rate_policy;

typedef enum { IOU = 0, GIOU = 1, MSE = 2, DIOU = 3, CIOU = 4 } IOU_LOSS;

typedef enum { DEFAULT_NMS = 0, GREEDY_NMS = 1, DIOU_NMS = 2, CORNERS_NMS = 3 } NMS_KIND;

/* kind-specific enumerations (cost types, weights types, ...) */

/* ---------------------------------------------------------------- boxes and detections */

typedef struct box {
    float x, y, w, h;
} box;

typedef struct detection {
    box bbox;
    int classes;
    int best_class_index;
    float *prob;
    float *mask;
    float objectness;
    int sort_class;
    float *uc;
    int points;
    float *embeddings;
    int embedding_size;
    float sim;
    int track_id;
} detection;

/* The detections of one image of a batch. */
typedef struct image_detections {
    int num;
    detection *dets;
} image_detections;

/* ---------------------------------------------------------------- images */

typedef struct image {
    int w, h, c;
    float *data;
} image;

/* ---------------------------------------------------------------- records of the Detector interface */

#ifdef __cplusplus
#define QUILLON_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define QUILLON_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Exchanged by value; the field order h, w, c differs from image, the pixel layout does not. */
typedef struct image_t {
    int h;
    int w;
    int c;
    float *data;
} image_t;

/* One detected object in pixels; hosts keep these in arrays, so the 44-byte layout is fixed. */
typedef struct bbox_t {
    unsigned int x, y, w, h;
    float prob;
    unsigned int class_id;
    unsigned int track_id;
    unsigned int frame_count;
    float world_x, world_y, world_z;
} bbox_t;

QUILLON_STATIC_ASSERT(sizeof(bbox_t) == 44, "bbox_t must stay 44 bytes");
QUILLON_STATIC_ASSERT(offsetof(bbox_t, x) == 0 && offsetof(bbox_t, y) == 4 && offsetof(bbox_t, w) == 8 &&
                          offsetof(bbox_t, h) == 12,
                      "bbox_t box fields moved");
QUILLON_STATIC_ASSERT(offsetof(bbox_t, prob) == 16 && offsetof(bbox_t, class_id) == 20 &&
                          offsetof(bbox_t, track_id) == 24 && offsetof(bbox_t, frame_count) == 28,
                      "bbox_t identity fields moved");
QUILLON_STATIC_ASSERT(offsetof(bbox_t, world_x) == 32 && offsetof(bbox_t, world_y) == 36 &&
                          offsetof(bbox_t, world_z) == 40,
                      "bbox_t world fields moved");
QUILLON_STATIC_ASSERT(offsetof(image_t, h) == 0 && offsetof(image_t, w) == 4 && offsetof(image_t, c) == 8 &&
                          offsetof(image_t, data) == 16,
                      "image_t layout moved");
/* ---------------------------------------------------------------- configuration records */

typedef struct tree {
    int *leaf;
    int n;
    int *parent;
    int *child;
    int *group;
    char **name;
    int groups;
    int *group_size;
    int *group_offset;
} tree;

typedef struct metadata {
    int classes;
    char **names;
} metadata;

/* ---------------------------------------------------------------- training data */

typedef struct matrix {
    int rows, cols;
    float **vals;
} matrix;

/* One loaded batch: X holds one planar image per row, y the matching truth rows. */
typedef struct data {
    int w, h;
    matrix X;
    matrix y;
    int shallow;
    int *box_counts;
    box **boxes;
} data;

/* What a load request produces; 2, 10 and 11 produce nothing. */
typedef enum {
    LOAD_CLASSIFICATION = 0,
    LOAD_DETECTION = 1,
    LOAD_REGION = 3,
    LOAD_IMAGE = 4,
    LOAD_COMPARE = 5,
    LOAD_WRITING = 6,
    LOAD_SWAG = 7,
    LOAD_TAG = 8,
    LOAD_OLD_CLASSIFICATION = 9,
    LOAD_SUPER = 12,
    LOAD_LETTERBOX = 13
} load_kind;

/* A load request; copied by value into every thread that serves it. */
typedef struct load_args {
    int threads;
    char **paths;
    char *path;
    int n;
    int m;
    char **labels;
    int h;
    int w;
    int c;
    int label_w;
    int label_h;
    int grid_h;
    int grid_w;
    int max_boxes;
    int truth_size;
    int min, max, size;
    int classes;
    int background;
    int scale;
    int center;
    int coords;
    int mini_batch;
    int track;
    int augment_speed;
    int letter_box;
    int mosaic_bound;
    int show_imgs;
    int no_image_library;
    int contrastive;
    int contrastive_jit_flip;
    int contrastive_color;
    float jitter;
    float resize;
    int flip;
    int gaussian_noise;
    int blur;
    int mixup;
    float label_smooth_eps;
    float angle;
    float aspect;
    float saturation;
    float exposure;
    float hue;
    data *d;
    image *im;
    image *resized;
    load_kind type;
    tree *class_tree;
} load_args;

/* ---------------------------------------------------------------- layers and networks */

struct layer;
struct network;
struct network_state;
typedef struct layer layer;
typedef struct network network;
typedef struct network_state network_state;

typedef void (*layer_forward_fn)(struct layer, struct network_state);
typedef void (*layer_backward_fn)(struct layer, struct network_state);
typedef void (*layer_update_fn)(struct layer, int batch, float learning_rate, float momentum, float decay);
typedef void (*layer_update_gpu_fn)(struct layer, int batch, float learning_rate, float momentum, float decay,
                                    float loss_scale);

struct layer {
    /* 1. kind and operations */
    LAYER_TYPE type;
    ACTIVATION activation;

    /* kind-specific fields: one block per kind, named after the cfg keys that set them */

    /* -- convolutional, batchnorm */
    int pad;
    int binary;
    int assisted_excitation;
    int sway;
    int rotate;
    int stretch;
    int stretch_sway;
    float angle;
    float dot;
    int grad_centr;
    float reverse;
    int coordconv;
    int stream;
    int wait_stream;
    int adam;
    float B1;
    float B2;
    float eps;
    float *m;
    float *v;
    float *bias_m;
    float *bias_v;
    float *scale_m;
    float *scale_v;
    float *binary_weights;
    char *cweights;
    float *binary_input;
    int bit_align;
    float *mean_arr;
    uint32_t *bin_re_packed_input;
    int lda_align;
    char *t_bit_input;
    char *align_bit_weights;
    int new_lda;
    size_t align_bit_weights_size;

    /* -- pooling */
    int maxpool_depth;
    int out_channels;
    int avgpool;
    int maxpool_zero_nonmax;
    int *indexes;

    /* -- routing and merging */
    int *input_sizes;
    float **layers_output;
    float **layers_delta;
    int group_id;
    int weights_type;
    int scale_wh;

    /* -- dense and classifier */
    float temperature;
    float spatial;
    int noloss;
    float *loss;
    COST_TYPE cost_type;
    float scale;
    int flip;
    float saturation;
    float exposure;
    float shift;
    int noadjust;
    float alpha;
    float beta;
    float kappa;
    float *squared;
    float *norms;
    float *col_image;

    /* -- recurrent */
    int shortcut;
    int history_size;
    int state_constrain;
    float time_normalizer;
    ACTIVATION lstm_activation;
    float *state;        /* RNN, CRNN: hidden states; GRU: the current state */
    float *prev_state;   /* hidden state before the first step of the pass; HISTORY: the last outputs */
    float *forgot_state; /* GRU: state · r */
    float *prev_cell;    /* cell state before the first step of the pass */
    float *z_cpu;
    float *r_cpu;
    float *h_cpu;        /* hidden state carried between passes */
    float *c_cpu;        /* cell state carried between passes */
    float *f_cpu;
    float *i_cpu;
    float *g_cpu;
    float *o_cpu;
    float *temp_cpu;
    float *temp2_cpu;
    float *temp3_cpu;
    float *dc_cpu;
    float *dh_cpu;
    float *cell_cpu;     /* cell state after every step of the pass */
    float *stored_c_cpu; /* saved copies of the recurrent state */
    float *stored_h_cpu;
    struct layer *input_z_layer;
    struct layer *state_z_layer;
    struct layer *input_r_layer;
    struct layer *state_r_layer;
    struct layer *input_h_layer;
    struct layer *state_h_layer;
    struct layer *uf, *ui, *ug, *uo;
    struct layer *wf, *wi, *wg, *wo;
    struct layer *vf, *vi, *vo;

    /* -- resampling and regularisation (they also read `scale`, in the dense block) */
    float probability;
    int dropblock;
    float dropblock_size_rel;
    int dropblock_size_abs;
    float *rand;

    /* -- detection heads */
    int classes;
    int coords;
    int total;
    int *mask;
    int max_boxes;
    int truth_size;
    int truths;
    int *cell_track_ids;
    int *cell_class_ids;
    int embedding_layer_id;
    float *embedding_output;
    int embedding_size;
    int *map;
    int show_details;
    float max_delta;
    float *classes_multipliers;
    float label_smooth_eps;
    float scale_x_y;
    int objectness_smooth;
    int new_coords;
    float iou_normalizer;
    float obj_normalizer;
    float cls_normalizer;
    float delta_normalizer;
    IOU_LOSS iou_loss;
    IOU_LOSS iou_thresh_kind;
    float beta_nms;
    NMS_KIND nms_kind;
    float jitter;
    float resize;
    int focal_loss;
    float ignore_thresh;
    float truth_thresh;
    float iou_thresh;
    float random;
    int track_history_size;
    float sim_thresh;
    int dets_for_track;
    int dets_for_show;
    float track_ciou_norm;
    float thresh;
    int rescore;
    int softmax;
    int sqrt;
    int log;
    int classfix;
    int absolute;
    float coord_scale;
    float object_scale;
    float noobject_scale;
    float mask_scale;
    float class_scale;
    int bias_match;
    int side;
    int forced;
    int reorg;
    float uc_normalizer;
    int vumo_point;

    /* -- contrastive (also reads `temperature` and `loss` above) */
    int detection_linked;
    int contrastive_neg_max;

    layer_forward_fn forward;
    layer_backward_fn backward;
    layer_update_fn update;
    layer_forward_fn forward_gpu;
    layer_backward_fn backward_gpu;
    layer_update_gpu_fn update_gpu;
    struct layer *share_layer;

    /* 2. flags and shape */
    int train;
    int batch_normalize;
    int batch;
    int dynamic_minibatch;
    int flipped;
    int inputs;
    int outputs;
    int nweights;
    int h, w, c;
    int out_h, out_w, out_c;
    int n;
    int groups;
    int size;
    int stride;
    int stride_x;
    int stride_y;
    int dilation;
    int antialiasing;
    int index;
    int xnor;
    int peephole;
    int use_bin_output;
    int keep_delta_gpu;
    int optimized_memory;
    int steps;
    int bottleneck;
    int deform;
    float learning_rate_scale;
    float clip;
    float bflops;
    int t;
    int onlyforward;
    int stopbackward;
    int train_only_bn;
    int dont_update;
    int burnin_update;
    int dontload;
    int dontloadscales;
    int receptive_w;
    int receptive_h;
    int receptive_w_scale;
    int receptive_h_scale;
    int *input_layers;
    WEIGHTS_NORMALIZATION_T weights_normalization;
    float *cost;

    /* 3. parameters */
    float *biases;
    float *bias_updates;
    float *scales;
    float *scale_updates;
    float *weights_ema;
    float *biases_ema;
    float *scales_ema;
    float *weights;
    float *weight_updates;

    /* 4. activations */
    float *delta;
    float *output;
    float *activation_input;
    int delta_pinned;
    int output_pinned;

    /* 5. batch normalisation */
    float *mean;
    float *variance;
    float *mean_delta;
    float *variance_delta;
    float *rolling_mean;
    float *rolling_variance;
    float *x;
    float *x_norm;

    /* 6. sub-layers */
    struct layer *input_layer;
    struct layer *self_layer;
    struct layer *output_layer;

    /* more kind-specific sub-layers and arrays */

    tree *softmax_tree;
    size_t workspace_size;

    /* 7. device twins (used only when built with QUILLON_GPU; kept in every build so the layout
     * does not depend on the build options) */
    float *output_gpu;
    float *delta_gpu;
    float *weights_gpu;
    float *weight_updates_gpu;
    float *biases_gpu;
    float *bias_updates_gpu;
    float *scales_gpu;
    float *scale_updates_gpu;
    float *rolling_mean_gpu;
    float *rolling_variance_gpu;
    float *mean_gpu;
    float *variance_gpu;
    float *x_gpu;
    float *x_norm_gpu;
    float *activation_input_gpu;

    float **layers_output_gpu;
    float **layers_delta_gpu;
    /* -- detection heads */
    float *output_avg_gpu;
    /* -- contrastive */
    float *pairs_gpu;

    /* more device twins and descriptors */
};

struct network {
    /* 1. */
    int n;
    int batch;
    uint64_t *seen;
    float *badlabels_reject_threshold;
    float *delta_rolling_max;
    float *delta_rolling_avg;
    float *delta_rolling_std;
    int weights_reject_freq;
    int equidistant_point;
    float badlabels_rejection_percentage;
    float num_sigmas_reject_badlabels;
    float ema_alpha;
    int *cur_iteration;
    float loss_scale;
    int subdivisions;
    layer *layers;
    float *output;
    learning_rate_policy policy;
    uint64_t *total_bbox;
    uint64_t *rewritten_bbox;

    /* 2. learning rate */
    float learning_rate;
    float learning_rate_min;
    int sgdr_cycle;
    int sgdr_mult;
    float momentum;
    float decay;
    float gamma;
    float scale;
    float power;
    int time_steps;
    int step;
    int max_batches;
    float *seq_scales;
    float *scales;
    int *steps;
    int num_steps;
    int burn_in;
    int cudnn_half;
    int adam;
    float B1;
    float B2;
    float eps;

    /* 3. shape and augmentation */
    int inputs;
    int outputs;
    int h, w, c;
    int max_crop;
    int min_crop;
    int center;
    int flip;
    int gaussian_noise;
    int blur;
    int mixup;
    float label_smooth_eps;
    int resize_step;
    int attention;
    float adversarial_lr;
    float max_chart_loss;
    int letter_box;
    int mosaic_bound;
    int contrastive;
    int contrastive_jit_flip;
    int contrastive_color;
    int unsupervised;
    float angle;
    float aspect;
    float exposure;
    float saturation;
    float hue;
    int track;
    int augment_speed;
    int sequential_subdivisions;
    int init_sequential_subdivisions;
    int current_subdivision;
    int try_fix_nan;
    int gpu_index;
    tree *hierarchy;

    /* 4. buffers */
    float *workspace;
    float *input_state_gpu;
    float *input_pinned_cpu;
    int input_pinned_cpu_flag;
    float **input_gpu;
    float **truth_gpu;
    float **input16_gpu;
    float **output16_gpu;
    size_t *max_input16_size;
    size_t *max_output16_size;
    int use_cuda_graph;
    int *cuda_graph_ready;
    float *global_delta_gpu;
    float *state_delta_gpu;
    size_t max_delta_gpu_size;
    int optimized_memory;
    int dynamic_minibatch;
    size_t workspace_size_limit;

    /* execution, timing and GPU fields */
    int wait_for_stream;

    /* detection-head training */
    int adversarial;
};

struct network_state {
    float *truth;
    float *input;
    float *delta;
    float *workspace;
    int train;
    int index;
    network net;
};

/* ---------------------------------------------------------------- exported functions */

/* utilities (one-line contract per function: what it returns, who frees it) */
/* Writes text with the first occurrence of pattern replaced into output (may alias text). output must
 * hold the result: strlen(text) + strlen(replacement) + 1 bytes always suffice. */
QUILLON_API void find_replace(const char *text, const char *pattern, const char *replacement, char *output);
/* Frees each of the n pointers, then the array. */
QUILLON_API void free_ptrs(void **ptrs, int n);
/* Fills index[0..k) with the indexes of the k largest values, largest first; -1 beyond n. */
QUILLON_API void top_k(float *a, int n, int k, int *index);
/* Monotonic clock in microseconds. */
QUILLON_API double get_time_point(void);

/* configuration readers */
/* Reads a .data file: classes and the names of its names file (caller frees names and each name). */
QUILLON_API metadata get_metadata(const char *path);
/* Reads a class hierarchy file, one "name parent" line per node; the caller owns the tree. */
QUILLON_API tree *read_tree(const char *path);

/* network */
/* Builds a network for training from a cfg file (weights file optional); the caller frees it. */
QUILLON_API network *load_network(const char *cfg, const char *weights, int clear);
/* Builds a network for inference with the given mini-batch; the caller frees it. */
QUILLON_API network *load_network_custom(const char *cfg, const char *weights, int clear, int batch);
/* Releases what the layer owns (nothing when it shares another layer's weights). */
QUILLON_API void free_layer(layer l);
/* As free_layer; keep_cudnn_descriptors non-zero keeps the layer's cuDNN descriptors. */
QUILLON_API void free_layer_custom(layer l, int keep_cudnn_descriptors);
/* Runs the network on input (batch x inputs floats); returns the output array, owned by the network. */
QUILLON_API float *network_predict(network net, float *input);
/* As network_predict, for a network held by pointer. */
QUILLON_API float *network_predict_ptr(network *net, float *input);
/* Pointer to layer i of the network (not range-checked); owned by the network. */
QUILLON_API layer *get_network_layer(network *net, int i);
/* Input width of the network. */
QUILLON_API int network_width(network *net);
/* Input height of the network. */
QUILLON_API int network_height(network *net);
/* Folds batch normalisation into the convolution weights and biases, for inference. */
QUILLON_API void fuse_conv_batchnorm(network net);
/* Prepares the bit-packed weights of every XNOR convolution, for inference. */
QUILLON_API void calculate_binary_weights(network net);
/* Clears the device recurrent state of every layer (nothing to do on the CPU). */
QUILLON_API void reset_rnn(network *net);
/* A load request with the network's input size and augmentation settings, everything else 0. */
QUILLON_API load_args get_base_args(network *net);
/* Releases everything the network owns; the record itself stays with the caller. */
QUILLON_API void free_network(network net);
/* As free_network, for a network held by pointer (the pointed-to record is not freed). */
QUILLON_API void free_network_ptr(network *net);

/* kernels */
/* Detects the processor's AVX and FMA/AVX2 support once (printing what will be used); nothing to free. */
QUILLON_API void init_cpu(void);

/* boxes and suppression */
/* Per-class suppression: zeroes prob[c] of every box overlapping a stronger one by IoU > thresh;
 * reorders dets in place (zero-objectness entries go to the tail). Frees nothing. */
QUILLON_API void do_nms_sort(detection *dets, int total, int classes, float thresh);
/* Class-agnostic suppression by objectness: a suppressed box gets objectness 0 and all-zero prob. */
QUILLON_API void do_nms_obj(detection *dets, int total, int classes, float thresh);
/* As do_nms_sort with the overlap test that nms_kind selects (beta: DIoU exponent for DIOU_NMS);
 * DEFAULT_NMS suppresses nothing. */
QUILLON_API void diounms_sort(detection *dets, int total, int classes, float thresh, NMS_KIND nms_kind, float beta);

/* detection extraction */
/* Returns zeroed detection records (prob etc. allocated) for every candidate above thresh of the last
 * pass, count in *num when num is not null; free with free_detections. */
QUILLON_API detection *make_network_boxes(network *net, float thresh, int *num);
/* Returns the detections of the last pass for a w x h source image (pixels unless relative; letter:
 * the input was letterboxed), count in *num; the caller frees them with free_detections. */
QUILLON_API detection *get_network_boxes(network *net, int w, int h, float thresh, float hier, int *map, int relative,
                                         int *num, int letter);
/* Frees prob, uc, mask and embeddings of each of the n records, then the array itself. */
QUILLON_API void free_detections(detection *dets, int n);
/* Frees the detections of each of the n entries, then the entry array. */
QUILLON_API void free_batch_detections(image_detections *entries, int n);
/* Runs the network (batch set to 1) on im stretched to the input size; returns the output array, owned
 * by the network. */
QUILLON_API float *network_predict_image(network *net, image im);
/* As network_predict_image with im letterboxed to the input size. */
QUILLON_API float *network_predict_image_letterbox(network *net, image im);
/* Runs one pass on im.data (batch_size network-sized images back to back) and returns one entry of
 * detections per image; free with free_batch_detections. */
QUILLON_API image_detections *network_predict_batch(network *net, image im, int batch_size, int w, int h, float thresh,
                                                    float hier, int *map, int relative, int letter);

/* images */
/* Returns a zeroed w x h x c image; the caller frees it with free_image. */
QUILLON_API image make_image(int w, int h, int c);
/* Frees the pixels of im (the record itself is a value). */
QUILLON_API void free_image(image m);
/* Decodes a file as RGB, resized to w x h when both are non-zero; never fails (a black 10 x 10
 * placeholder for unreadable files). The caller frees it. */
QUILLON_API image load_image_color(char *filename, int w, int h);
/* Returns a corner-aligned bilinear resize of im to w x h (always a new image). */
QUILLON_API image resize_image(image im, int w, int h);
/* Returns im scaled to fit w x h with its aspect kept, centred on grey (0.5) bars. */
QUILLON_API image letterbox_image(image im, int w, int h);
/* Returns the w x h window at (dx, dy); outside areas repeat the nearest edge pixel. */
QUILLON_API image crop_image(image im, int dx, int dy, int w, int h);
/* Returns im resized so its smaller side is min; returns im itself when no resize is needed. */
QUILLON_API image resize_min(image im, int min);
/* Swaps channels 0 and 2 in place. */
QUILLON_API void rgbgr_image(image im);
/* Fills im in place from interleaved 8-bit samples (im.w * im.h * im.c bytes). */
QUILLON_API void copy_image_from_bytes(image im, char *pdata);
/* Rounds every value down to a multiple of 1/255 plus half a step, in place. */
QUILLON_API void quantize_image(image im);
/* Puts the sum of each pixel's channels into channel 0 and zeroes the others, in place. */
QUILLON_API void make_image_red(image im);
/* Returns a new w x h x c attention picture of the gradient delta (modified in place) blended with
 * input; the caller frees it. */
QUILLON_API image make_attention_image(int img_size, float *original_delta_cpu, float *original_input_cpu, int w,
                                       int h, int c, float alpha);
/* Moves orig (in place) along the input gradient that amplifies the strongest outputs of the
 * network truncated after max_layer. */
QUILLON_API void optimize_picture(network *net, image orig, int max_layer, float scale, float rate, float thresh,
                                  int norm);

/* data loading and training */
/* Starts a dispatcher thread that loads args.n rows into *args.d; join the handle before reading it. */
QUILLON_API pthread_t load_data(load_args args);
/* Serves one request on the calling thread; frees ptr (a heap load_args) and returns null. */
QUILLON_API void *load_thread(void *ptr);
/* Starts one thread running load_thread on a heap copy of args; join the handle before use. */
QUILLON_API pthread_t load_data_in_thread(load_args args);
/* Stops and joins the permanent loader workers (no-op without a pool); returns args.threads or 1. */
QUILLON_API int free_load_threads(load_args args);
/* Frees the rows of a batch (only the row arrays when it is shallow); the record itself is a value. */
QUILLON_API void free_data(data d);
/* Trains the detector of cfg_file on the .data file's "train" list until max_batches, writing weights
 * files into its "backup" directory; weights_file (or null) gives the starting weights. */
QUILLON_API void train_detector(const char *data_file, const char *cfg_file, const char *weights_file,
                                int *gpu_indexes, int gpu_count, int clear, int dont_show, int measure_map,
                                float thresh, float iou_thresh, int port, int show_imgs, int layer_timing);
/* Returns the mAP (0..1) of the network over the .data file's "valid" list; shared_net (or null)
 * is used as is and left as found, otherwise the network is built from cfg_file and weights_file. */
QUILLON_API float validate_detector_map(const char *data_file, const char *cfg_file, const char *weights_file,
                                        float conf_thresh, float iou_thresh, int recall_points, int letter_box,
                                        network *shared_net);
/* Detects objects in filename (or in each path read from standard input when null), saving the
 * drawn result as "predictions.jpg"; optionally writes label files and a JSON array. */
QUILLON_API void test_detector(const char *data_file, const char *cfg_file, const char *weights_file,
                               const char *filename, float thresh, float hier_thresh, int dont_show, int print_boxes,
                               int write_labels, const char *json_file, int letter_box, int layer_timing);

/* output services */
/* Renders one frame's detections as JSON text; the caller frees it with free(); null when out of memory. */
QUILLON_API char *detection_to_json(detection *dets, int nboxes, int classes, char **names, long long int frame_id,
                                    const char *filename);
/* Sends one frame's text to every client of the process-wide HTTP sender on port, creating it on first use. */
QUILLON_API void send_json_custom(const char *send_buf, int port, int timeout);
/* Forgets the process-wide sender (its sockets stay open); the next send creates a fresh one. */
QUILLON_API void delete_json_sender(void);
/* Assigns track_id by embedding similarity against the process-wide history; hides tracks seen too briefly. */
QUILLON_API void set_track_id(detection *new_dets, int new_dets_num, float thresh, float sim_thresh,
                              float track_ciou_norm, int deque_size, int dets_for_track, int dets_for_show);

/* device */

/* plain-function interface: one process-wide detector for hosts that cannot use the class */
/* Boxes detect_image copies at most into the caller's array. */
#define DETECT_IMAGE_MAX_BOXES 1000
/* Builds the process-wide detector (replacing and then destroying any previous one); returns 1. */
QUILLON_API int init(const char *configurationFilename, const char *weightsFilename, int gpu, int batch_size);
/* Detects objects (thresh 0.2) in an image file, copies the first min(count, 1000) pixel boxes into out
 * (an array of DETECT_IMAGE_MAX_BOXES) and returns the full count; 0 for an unreadable file or
 * without a detector. */
QUILLON_API int detect_image(const char *filename, bbox_t *out);
/* In-memory encoded images are not supported by this build: returns -1. */
QUILLON_API int detect_mat(const uint8_t *data, const size_t data_length, bbox_t *out);
/* Destroys the process-wide detector, if any; returns 1. */
QUILLON_API int dispose(void);
/* Number of usable GPUs (0 in a build without devices). */
QUILLON_API int get_device_count(void);
/* Copies the name of GPU gpu into out without a terminating zero (the caller zeroes a 256-byte buffer);
 * returns 1, or 0 leaving out untouched when there is no such device. */
QUILLON_API int get_device_name(int gpu, char *deviceName);
/* Whether this build has the CUDA device paths. */
QUILLON_API bool built_with_cuda(void);
/* Whether this build has the cuDNN convolution and pooling paths. */
QUILLON_API bool built_with_cudnn(void);
/* Whether this build decodes in-memory camera frames (never). */
QUILLON_API bool built_with_opencv(void);

#ifdef __cplusplus
} /* extern "C" */

#include <deque>
#include <memory>
#include <string>
#include <vector>

struct detector_gpu_t;

/* A trained detector: one network loaded for inference on one device, boxes in pixels, and the frame
 * history of the centre-distance tracker. Not safe for concurrent calls. */
class QUILLON_API Detector {
    std::shared_ptr<detector_gpu_t> detector_state;
    std::deque<std::vector<bbox_t>> track_history;
    std::string cfg_filename, weights_filename;

public:
    const int gpu_id;
    float nms_thresh;
    bool wait_for_stream;

    Detector(std::string cfg_filename, std::string weights_filename, int gpu_id = 0, int batch_size = 1);
    ~Detector();
    Detector(const Detector &) = delete;
    Detector &operator=(const Detector &) = delete;

    /* Throws std::runtime_error("file not found") when the file cannot be decoded. */
    std::vector<bbox_t> detect(std::string image_filename, float thresh = 0.2, bool use_mean = false);
    /* img: planar RGB in 0..1; boxes above thresh in pixels of img, after suppression. */
    std::vector<bbox_t> detect(image_t img, float thresh = 0.2, bool use_mean = false);
    /* img holds batch_size network-sized images back to back; boxes in pixels of width x height. */
    std::vector<std::vector<bbox_t>> detectBatch(image_t img, int batch_size, int width, int height, float thresh,
                                                 bool make_nms = true);
    /* Decodes an image file as planar RGB in 0..1; throws std::runtime_error("file not found"). Free the
     * pixels with free_image. */
    static image_t load_image(std::string image_filename);
    static void free_image(image_t m);
    int get_net_width() const;
    int get_net_height() const;
    int get_net_color_depth() const;

    /* Gives the boxes track ids by matching same-class centres against the last frames_story frames. */
    std::vector<bbox_t> tracking_id(std::vector<bbox_t> cur_bbox_vec, bool const change_history = true,
                                    int const frames_story = 5, int const max_dist = 40);

    /* The device context of the detector's GPU; null in a build without devices. */
    void *get_cuda_context();
};
#endif

#endif /* QUILLON_H */
