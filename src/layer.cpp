// The layer-kind table and the release of what a layer owns. Each kind fills its own row; the
// builder, resize_network, the weights reader/writer and the release code walk the table.
#include "layer.h"

#include "activation_layer.h"
#include "avgpool_layer.h"
#include "batchnorm_layer.h"
#include "connected_layer.h"
#include "conv_lstm_layer.h"
#include "convolutional_layer.h"
#include "cost_layer.h"
#include "crnn_layer.h"
#include "crop_layer.h"
#include "detection_layer.h"
#include "dropout_layer.h"
#include "gaussian_vumo_layer.h"
#include "gru_layer.h"
#include "history_layer.h"
#include "implicit_layer.h"
#include "local_layer.h"
#include "lstm_layer.h"
#include "maxpool_layer.h"
#include "normalization_layer.h"
#include "region_layer.h"
#include "reorg_layer.h"
#include "reorg_old_layer.h"
#include "rnn_layer.h"
#include "route_layer.h"
#include "sam_layer.h"
#include "scale_channels_layer.h"
#include "shortcut_layer.h"
#include "softmax_layer.h"
#include "upsample_layer.h"
#include "utils.h"
#include "vumo_layer.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

#ifdef QUILLON_GPU
#include "quillon_cuda.h"
#endif

static void forget_borrowed_buffers(layer *l);
static void resize_pool(layer *l, int w, int h, int, network *) { resize_maxpool_layer(l, w, h); }

// The row order is the enumeration's numbering; unused values keep empty rows so that a kind's
// value indexes its row directly.
static constexpr layer_kind layer_kinds[] = {
    {CONVOLUTIONAL, {"[convolutional]", "[conv]"}, parse_convolutional,
     [](layer *l, int w, int h, int, network *) { resize_convolutional_layer(l, w, h); },
     [](layer l, FILE *fp, int) { load_convolutional_weights(l, fp); },
     [](layer l, FILE *fp, int save_ema) {
         if (save_ema)
             save_convolutional_weights_ema(l, fp);
         else
             save_convolutional_weights(l, fp);
     },
     free_convolutional_arrays},
    {(LAYER_TYPE)1, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {CONNECTED, {"[connected]", "[conn]"}, parse_connected, nullptr, load_connected_weights,
     [](layer l, FILE *fp, int) { save_connected_weights(l, fp); }, nullptr},
    {MAXPOOL, {"[maxpool]", "[max]"}, parse_maxpool, resize_pool, nullptr, nullptr, free_maxpool_arrays},
    {LOCAL_AVGPOOL, {"[local_avgpool]", "[local_avg]"}, parse_local_avgpool, resize_pool, nullptr, nullptr,
     free_maxpool_arrays},
    {SOFTMAX, {"[softmax]", "[soft]"}, parse_softmax, nullptr, nullptr, nullptr, free_softmax_arrays},
    {DETECTION, {"[detection]", nullptr}, parse_detection, nullptr, nullptr, nullptr, nullptr},
    {DROPOUT, {"[dropout]", nullptr}, parse_dropout,
     [](layer *l, int, int, int inputs, network *) { resize_dropout_layer(l, inputs); }, nullptr, nullptr,
     free_dropout_arrays},
    {CROP, {"[crop]", nullptr}, parse_crop, [](layer *l, int w, int h, int, network *) { resize_crop_layer(l, w, h); },
     nullptr, nullptr, nullptr},
    {ROUTE, {"[route]", nullptr}, parse_route, [](layer *l, int, int, int, network *net) { resize_route_layer(l, net); },
     nullptr, nullptr, free_route_arrays},
    {COST, {"[cost]", nullptr}, parse_cost, [](layer *l, int, int, int inputs, network *) { resize_cost_layer(l, inputs); },
     nullptr, nullptr, nullptr},
    {NORMALIZATION, {"[normalization]", "[lrn]"}, parse_normalization,
     [](layer *l, int w, int h, int, network *) { resize_normalization_layer(l, w, h); }, nullptr, nullptr,
     free_normalization_arrays},
    {AVGPOOL, {"[avgpool]", "[avg]"}, parse_avgpool,
     [](layer *l, int w, int h, int, network *) { resize_avgpool_layer(l, w, h); }, nullptr, nullptr, nullptr},
    {LOCAL, {"[local]", nullptr}, parse_local, nullptr, [](layer l, FILE *fp, int) { load_local_weights(l, fp); },
     [](layer l, FILE *fp, int) { save_local_weights(l, fp); }, free_local_arrays},
    {SHORTCUT, {"[shortcut]", nullptr}, [](list *o, size_params p) { return parse_shortcut(o, p, p.net); },
     [](layer *l, int w, int h, int, network *net) { resize_shortcut_layer(l, w, h, net); },
     [](layer l, FILE *fp, int) { load_shortcut_weights(l, fp); },
     [](layer l, FILE *fp, int) { save_shortcut_weights(l, fp); }, free_shortcut_arrays},
    {SCALE_CHANNELS, {"[scale_channels]", nullptr},
     [](list *o, size_params p) { return parse_scale_channels(o, p, p.net); },
     [](layer *l, int, int, int, network *net) { resize_scale_channels_layer(l, net); }, nullptr, nullptr, nullptr},
    {SAM, {"[sam]", nullptr}, [](list *o, size_params p) { return parse_sam(o, p, p.net); },
     [](layer *l, int w, int h, int, network *) { resize_sam_layer(l, w, h); }, nullptr, nullptr, nullptr},
    {ACTIVE, {"[activation]", nullptr}, parse_activation, nullptr, nullptr, nullptr, nullptr},
    {RNN, {"[rnn]", nullptr}, parse_rnn, nullptr,
     [](layer l, FILE *fp, int transpose) {
         for (layer *sub : {l.input_layer, l.self_layer, l.output_layer}) load_connected_weights(*sub, fp, transpose);
     },
     [](layer l, FILE *fp, int) {
         for (layer *sub : {l.input_layer, l.self_layer, l.output_layer}) save_connected_weights(*sub, fp);
     },
     free_rnn_arrays},
    {GRU, {"[gru]", nullptr}, parse_gru, nullptr,
     [](layer l, FILE *fp, int transpose) {
         for (layer *sub : {l.input_z_layer, l.input_r_layer, l.input_h_layer, l.state_z_layer, l.state_r_layer,
                            l.state_h_layer})
             load_connected_weights(*sub, fp, transpose);
     },
     [](layer l, FILE *fp, int) {
         for (layer *sub : {l.input_z_layer, l.input_r_layer, l.input_h_layer, l.state_z_layer, l.state_r_layer,
                            l.state_h_layer})
             save_connected_weights(*sub, fp);
     },
     free_gru_arrays},
    {LSTM, {"[lstm]", nullptr}, parse_lstm, nullptr,
     [](layer l, FILE *fp, int transpose) {
         for (layer *sub : {l.wf, l.wi, l.wg, l.wo, l.uf, l.ui, l.ug, l.uo}) load_connected_weights(*sub, fp, transpose);
     },
     [](layer l, FILE *fp, int) {
         for (layer *sub : {l.wf, l.wi, l.wg, l.wo, l.uf, l.ui, l.ug, l.uo}) save_connected_weights(*sub, fp);
     },
     free_lstm_arrays},
    {CONV_LSTM, {"[conv_lstm]", nullptr}, parse_conv_lstm,
     [](layer *l, int w, int h, int, network *) { resize_conv_lstm_layer(l, w, h); },
     [](layer l, FILE *fp, int) { load_conv_lstm_weights(l, fp); },
     [](layer l, FILE *fp, int) { save_conv_lstm_weights(l, fp); }, free_conv_lstm_arrays},
    {HISTORY, {"[history]", nullptr}, parse_history, nullptr, nullptr, nullptr, free_history_arrays},
    {CRNN, {"[crnn]", nullptr}, parse_crnn, [](layer *l, int w, int h, int, network *) { resize_crnn_layer(l, w, h); },
     [](layer l, FILE *fp, int) {
         for (layer *sub : {l.input_layer, l.self_layer, l.output_layer}) load_convolutional_weights(*sub, fp);
     },
     [](layer l, FILE *fp, int) {
         for (layer *sub : {l.input_layer, l.self_layer, l.output_layer}) save_convolutional_weights(*sub, fp);
     },
     free_crnn_arrays},
    {BATCHNORM, {"[batchnorm]", nullptr}, parse_batchnorm,
     [](layer *l, int w, int h, int, network *) { resize_batchnorm_layer(l, w, h); },
     [](layer l, FILE *fp, int) { load_batchnorm_weights(l, fp); },
     [](layer l, FILE *fp, int) { save_batchnorm_weights(l, fp); }, nullptr},
    {NETWORK, {"[net]", "[network]"}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {(LAYER_TYPE)26, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {REGION, {"[region]", nullptr}, parse_region,
     [](layer *l, int w, int h, int, network *) { resize_region_layer(l, w, h); }, nullptr, nullptr,
     free_region_arrays},
    {VUMO, {"[vumo]", nullptr}, parse_vumo, [](layer *l, int w, int h, int, network *) { resize_vumo_layer(l, w, h); },
     nullptr, nullptr, free_vumo_arrays},
    {GAUSSIAN_VUMO, {"[Gaussian_vumo]", nullptr}, parse_gaussian_vumo,
     [](layer *l, int w, int h, int, network *) { resize_gaussian_vumo_layer(l, w, h); }, nullptr, nullptr,
     free_gaussian_vumo_arrays},
    {(LAYER_TYPE)30, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {REORG, {"[reorg3d]", nullptr}, parse_reorg,
     [](layer *l, int w, int h, int, network *) { resize_reorg_layer(l, w, h); }, nullptr, nullptr, nullptr},
    {REORG_OLD, {"[reorg]", nullptr}, parse_reorg_old,
     [](layer *l, int w, int h, int, network *) { resize_reorg_old_layer(l, w, h); }, nullptr, nullptr, nullptr},
    {UPSAMPLE, {"[upsample]", nullptr}, parse_upsample,
     [](layer *l, int w, int h, int, network *) { resize_upsample_layer(l, w, h); }, nullptr, nullptr, nullptr},
    {(LAYER_TYPE)34, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {(LAYER_TYPE)35, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {EMPTY, {"[empty]", "[silence]"}, parse_empty, nullptr, nullptr, nullptr, forget_borrowed_buffers},
    {BLANK, {nullptr, nullptr}, nullptr, nullptr, nullptr, nullptr, nullptr},
    {CONTRASTIVE, {"[contrastive]", nullptr}, parse_contrastive, nullptr, nullptr, nullptr, free_contrastive_arrays},
    {IMPLICIT, {"[implicit]", nullptr}, parse_implicit, nullptr,
     [](layer l, FILE *fp, int) { load_implicit_weights(l, fp); },
     [](layer l, FILE *fp, int) { save_implicit_weights(l, fp); }, nullptr},
};

static constexpr bool rows_follow_numbering()
{
    for (int i = 0; i < (int)std::size(layer_kinds); ++i)
        if ((int)layer_kinds[i].type != i) return false;
    return true;
}
static_assert(std::size(layer_kinds) == LAYER_TYPE_COUNT, "one row per LAYER_TYPE value");
static_assert(rows_follow_numbering(), "row i describes the kind numbered i");

const layer_kind *get_layer_kind(LAYER_TYPE type)
{
    if ((int)type < 0 || (int)type >= LAYER_TYPE_COUNT) return nullptr;
    return &layer_kinds[type];
}

LAYER_TYPE string_to_layer_type(const char *name)
{
    for (const layer_kind &k : layer_kinds)
        for (const char *n : k.names)
            if (n && !strcmp(n, name)) return k.type;
    return BLANK;
}

void empty_func(layer l, network_state state) {}

// An EMPTY layer borrows the previous layer's output and delta; they are released there.
static void forget_borrowed_buffers(layer *l)
{
    l->output = nullptr;
    l->delta = nullptr;
    l->output_gpu = nullptr;
    l->delta_gpu = nullptr;
}

void free_sublayer(layer *l)
{
    if (!l) return;
    free_layer(*l);
    free(l);
}

#ifdef QUILLON_GPU
static void release_device_twins(const layer &l, bool owns_parameters)
{
    // Buffers of the memory-saving pools belong to the pools, not to the layer.
    if (l.optimized_memory < 2) {
        if (l.output_gpu) cuda_free(l.output_gpu);
        if (l.activation_input_gpu) cuda_free(l.activation_input_gpu);
        if (l.x_gpu) cuda_free(l.x_gpu);
    }
    if (l.delta_gpu && (l.optimized_memory == 0 || (l.keep_delta_gpu && l.optimized_memory < 3)))
        cuda_free(l.delta_gpu);
    if (l.x_norm_gpu) cuda_free(l.x_norm_gpu);
    if (!owns_parameters) return;
    float *const owned[] = {l.weights_gpu,       l.weight_updates_gpu,   l.biases_gpu, l.bias_updates_gpu,
                            l.scales_gpu,        l.scale_updates_gpu,    l.mean_gpu,   l.variance_gpu,
                            l.rolling_mean_gpu,  l.rolling_variance_gpu};
    for (float *p : owned)
        if (p) cuda_free(p);
}
#endif

static void free_activation_buffer(float *p, int pinned)
{
    if (!p) return;
#ifdef QUILLON_GPU
    if (pinned) {
        cuda_free_host(p);
        return;
    }
#endif
    free(p);
}

extern "C" QUILLON_API void free_layer_custom(layer l, int keep_cudnn_descriptors)
{
    const layer_kind *kind = get_layer_kind(l.type);

    // Kind-specific arrays first: a kind may take over common pointers here (an RNN's or CRNN's
    // output is its output sub-layer's) and clear them so they are not released twice. A layer that
    // shares another layer's parameters shares their optimiser and packed arrays too.
    if (kind && kind->free_arrays && !l.share_layer) kind->free_arrays(&l);
    if (l.type == DROPOUT) return;

    // A layer that uses another layer's parameters still owns its own activations.
    if (l.share_layer) {
        for (float *p : {l.activation_input, l.x, l.x_norm}) free(p);
        free_activation_buffer(l.delta, l.delta_pinned);
        free_activation_buffer(l.output, l.output_pinned);
#ifdef QUILLON_GPU
        release_device_twins(l, false);
#endif
        return;
    }

    // Recurrent kinds released their sub-layers (and forgot borrowed outputs) in their own rows.
    if (l.antialiasing) free_sublayer(l.input_layer);

    free(l.input_layers);
    free(l.cost);
    float *const owned[] = {l.biases,         l.bias_updates,     l.scales,     l.scale_updates, l.weights_ema,
                            l.biases_ema,     l.scales_ema,       l.weights,    l.weight_updates, l.activation_input,
                            l.mean,           l.variance,         l.mean_delta, l.variance_delta, l.rolling_mean,
                            l.rolling_variance, l.x,              l.x_norm};
    for (float *p : owned) free(p);
    free_activation_buffer(l.delta, l.delta_pinned);
    free_activation_buffer(l.output, l.output_pinned);

#ifdef QUILLON_GPU
    release_device_twins(l, true);
#endif
}

extern "C" QUILLON_API void free_layer(layer l) { free_layer_custom(l, 0); }
