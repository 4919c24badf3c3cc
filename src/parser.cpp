// The cfg reader and the network builder: the [net] section into the network record, then one
// layer per section through the layer-kind table, chaining each output shape into the next input.
#include "parser.h"

#include "layer.h"
#include "network.h"
#include "utils.h"
#include "weights.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

list *read_cfg(const char *filename)
{
    FILE *file = fopen(filename, "r");
    if (!file) fatal_open_error(filename);
    list *sections = make_list();
    section *current = nullptr;
    int line_number = 0;
    char *line;
    while ((line = fgetl(file))) {
        ++line_number;
        strip_whitespace(line);
        if (line[0] == '[') {
            current = (section *)xmalloc(sizeof(section));
            current->type = line;
            current->options = make_list();
            list_insert(sections, current);
        } else if (line[0] == '\0' || line[0] == '#' || line[0] == ';') {
            free(line);
        } else if (!current) {
            // There is no section to hold the option: the file is malformed.
            fprintf(stderr, "Config file error line %d, option before any section: %s\n", line_number, line);
            exit(1);
        } else if (!read_option(line, current->options)) {
            fprintf(stderr, "Config file error line %d, could parse: %s\n", line_number, line);
            free(line);
        }
    }
    fclose(file);
    return sections;
}

void free_section(section *s)
{
    free(s->type);
    free_options(s->options);
    free(s);
}

static learning_rate_policy get_policy(const char *s)
{
    static const struct {
        const char *name;
        learning_rate_policy policy;
    } policies[] = {{"constant", CONSTANT}, {"step", STEP},    {"exp", EXP},       {"poly", POLY},
                    {"steps", STEPS},       {"sigmoid", SIG},  {"random", RANDOM}, {"sgdr", SGDR}};
    for (const auto &p : policies)
        if (!strcmp(s, p.name)) return p.policy;
    fprintf(stderr, "Couldn't find policy %s, going with constant\n", s);
    return CONSTANT;
}

// Comma lists of the STEPS and SGDR policies end at the end of the text or at a '#'.
static const char *next_list_entry(const char *p)
{
    if (!p) return nullptr;
    const char *comma = strpbrk(p, ",#");
    return comma && *comma == ',' ? comma + 1 : nullptr;
}

static void parse_policy_lists(list *options, network *net)
{
    const char *steps_text = option_find(options, "steps");
    const char *scales_text = option_find(options, "scales");
    const char *seq_scales_text = option_find(options, "seq_scales");
    if (net->policy == STEPS && (!steps_text || !scales_text))
        quillon_error("STEPS policy must have steps and scales in cfg file");
    if (!steps_text) return;

    int n = 1;
    for (const char *p = steps_text; *p && *p != '#'; ++p)
        if (*p == ',') ++n;
    int *steps = (int *)xcalloc(n, sizeof(int));
    float *scales = (float *)xcalloc(n, sizeof(float));
    float *seq_scales = (float *)xcalloc(n, sizeof(float));
    // Entries missing from a shorter scales or seq_scales list count as 1, like an absent list.
    const char *st = steps_text, *sc = scales_text, *sq = seq_scales_text;
    for (int i = 0; i < n; ++i) {
        steps[i] = st ? atoi(st) : 0;
        scales[i] = sc ? (float)atof(sc) : 1;
        seq_scales[i] = sq ? (float)atof(sq) : 1;
        st = next_list_entry(st);
        sc = next_list_entry(sc);
        sq = next_list_entry(sq);
    }
    net->steps = steps;
    net->scales = scales;
    net->seq_scales = seq_scales;
    net->num_steps = n;
}

static void parse_net_options(list *options, network *net)
{
    net->max_batches = option_find_int(options, "max_batches", 0);
    net->batch = option_find_int(options, "batch", 1);
    net->learning_rate = option_find_float(options, "learning_rate", .001f);
    net->learning_rate_min = option_find_float_quiet(options, "learning_rate_min", .00001f);
    net->sgdr_cycle = option_find_int_quiet(options, "sgdr_cycle", net->max_batches);
    net->sgdr_mult = option_find_int_quiet(options, "sgdr_mult", 2);
    net->momentum = option_find_float(options, "momentum", .9f);
    net->decay = option_find_float(options, "decay", .0001f);
    const int subdivs = option_find_int(options, "subdivisions", 1);
    net->time_steps = option_find_int_quiet(options, "time_steps", 1);
    net->track = option_find_int_quiet(options, "track", 0);
    net->augment_speed = option_find_int_quiet(options, "augment_speed", 2);
    net->init_sequential_subdivisions = net->sequential_subdivisions =
        std::min(option_find_int_quiet(options, "sequential_subdivisions", subdivs), subdivs);
    net->try_fix_nan = option_find_int_quiet(options, "try_fix_nan", 0);
    // A zero or negative count would divide by zero below.
    if (subdivs < 1) quillon_error("subdivisions must be 1 or more");
    const int mini_batch = net->batch / subdivs;
    net->batch = mini_batch * net->time_steps;
    net->subdivisions = subdivs;

    net->weights_reject_freq = option_find_int_quiet(options, "weights_reject_freq", 0);
    net->equidistant_point = option_find_int_quiet(options, "equidistant_point", 0);
    net->badlabels_rejection_percentage = option_find_float_quiet(options, "badlabels_rejection_percentage", 0);
    net->num_sigmas_reject_badlabels = option_find_float_quiet(options, "num_sigmas_reject_badlabels", 0);
    net->ema_alpha = option_find_float_quiet(options, "ema_alpha", 0);
    *net->badlabels_reject_threshold = 0;
    *net->delta_rolling_max = 0;
    *net->delta_rolling_avg = 0;
    *net->delta_rolling_std = 0;
    *net->seen = 0;
    *net->cur_iteration = 0;
    *net->cuda_graph_ready = 0;
    net->use_cuda_graph = option_find_int_quiet(options, "use_cuda_graph", 0);
    net->loss_scale = option_find_float_quiet(options, "loss_scale", 1);
    net->dynamic_minibatch = option_find_int_quiet(options, "dynamic_minibatch", 0);
    net->optimized_memory = option_find_int_quiet(options, "optimized_memory", 0);
    net->workspace_size_limit =
        (size_t)(1024 * 1024 * option_find_float_quiet(options, "workspace_size_limit_MB", 1024));

    net->adam = option_find_int_quiet(options, "adam", 0);
    if (net->adam) {
        net->B1 = option_find_float(options, "B1", .9f);
        net->B2 = option_find_float(options, "B2", .999f);
        net->eps = option_find_float(options, "eps", .000001f);
    }

    net->h = option_find_int_quiet(options, "height", 0);
    net->w = option_find_int_quiet(options, "width", 0);
    net->c = option_find_int_quiet(options, "channels", 0);
    net->inputs = option_find_int_quiet(options, "inputs", net->h * net->w * net->c);
    net->max_crop = option_find_int_quiet(options, "max_crop", net->w * 2);
    net->min_crop = option_find_int_quiet(options, "min_crop", net->w);
    net->flip = option_find_int_quiet(options, "flip", 1);
    net->blur = option_find_int_quiet(options, "blur", 0);
    net->gaussian_noise = option_find_int_quiet(options, "gaussian_noise", 0);
    net->mixup = option_find_int_quiet(options, "mixup", 0);
    const int cutmix = option_find_int_quiet(options, "cutmix", 0);
    const int mosaic = option_find_int_quiet(options, "mosaic", 0);
    if (mosaic && cutmix) net->mixup = 4;
    else if (mosaic) net->mixup = 3;
    else if (cutmix) net->mixup = 2;
    net->letter_box = option_find_int_quiet(options, "letter_box", 0);
    net->mosaic_bound = option_find_int_quiet(options, "mosaic_bound", 0);
    net->contrastive = option_find_int_quiet(options, "contrastive", 0);
    net->contrastive_jit_flip = option_find_int_quiet(options, "contrastive_jit_flip", 0);
    net->contrastive_color = option_find_int_quiet(options, "contrastive_color", 0);
    net->unsupervised = option_find_int_quiet(options, "unsupervised", 0);
    if (net->contrastive && mini_batch < 2) {
        printf(" Error: mini_batch size (batch/subdivisions) should be higher than 1 for Contrastive loss \n");
        fflush(stdout);
        exit(0);
    }
    if (!net->inputs && !(net->h && net->w && net->c)) quillon_error("No input parameters supplied");

    net->label_smooth_eps = option_find_float_quiet(options, "label_smooth_eps", 0.0f);
    net->resize_step = (int)option_find_float_quiet(options, "resize_step", 32);
    net->attention = option_find_int_quiet(options, "attention", 0);
    net->adversarial_lr = option_find_float_quiet(options, "adversarial_lr", 0);
    net->max_chart_loss = option_find_float_quiet(options, "max_chart_loss", 20.0f);
    net->angle = option_find_float_quiet(options, "angle", 0);
    net->aspect = option_find_float_quiet(options, "aspect", 1);
    net->saturation = option_find_float_quiet(options, "saturation", 1);
    net->exposure = option_find_float_quiet(options, "exposure", 1);
    net->hue = option_find_float_quiet(options, "hue", 0);
    net->power = option_find_float_quiet(options, "power", 4);

    net->policy = get_policy(option_find_str(options, "policy", "constant"));
    net->burn_in = option_find_int_quiet(options, "burn_in", 0);
    if (net->gpu_index < 0) fprintf(stderr, " GPU isn't used \n");

    if (net->policy == STEP) {
        net->step = option_find_int(options, "step", 1);
        net->scale = option_find_float(options, "scale", 1);
    } else if (net->policy == STEPS || net->policy == SGDR) {
        parse_policy_lists(options, net);
    } else if (net->policy == EXP) {
        net->gamma = option_find_float(options, "gamma", 1);
    } else if (net->policy == SIG) {
        net->gamma = option_find_float(options, "gamma", 1);
        net->step = option_find_int(options, "step", 1);
    }
}

layer parse_empty(list *options, size_params params)
{
    layer l = {};
    l.type = EMPTY;
    l.batch = params.batch;
    l.inputs = l.outputs = params.inputs;
    l.h = l.out_h = params.h;
    l.w = l.out_w = params.w;
    l.c = l.out_c = params.c;
    l.forward = empty_func;
    l.backward = empty_func;
    l.forward_gpu = empty_func;
    l.backward_gpu = empty_func;
    l.keep_delta_gpu = 1;
    fprintf(stderr, "empty \n");
    return l;
}

static layer *layer_at(network &net, int index, int count)
{
    return index >= 0 && index < count ? &net.layers[index] : nullptr;
}

// Wiring that only the builder does: buffers shared with earlier layers and the flags they need.
static void wire_layer(network &net, layer &l, int count, int last_stop_backward)
{
    layer *prev = layer_at(net, count - 1, count);
    switch (l.type) {
    case EMPTY:
    case DROPOUT:
        if (prev) {
            l.output = prev->output;
            l.delta = prev->delta;
            l.output_gpu = prev->output_gpu;
            l.delta_gpu = prev->delta_gpu;
        }
        l.keep_delta_gpu = 1;
        break;
    case COST:
        l.keep_delta_gpu = 1;
        break;
    case SOFTMAX:
        l.keep_delta_gpu = 1;
        net.hierarchy = l.softmax_tree;
        break;
    case ROUTE:
        for (int j = 0; j < l.n && l.input_layers; ++j)
            if (layer *in = layer_at(net, l.input_layers[j], count)) {
                in->use_bin_output = 0;
                if (last_stop_backward <= count) in->keep_delta_gpu = 1;
            }
        break;
    case SHORTCUT:
        if (prev) prev->use_bin_output = 0;
        if (layer *from = layer_at(net, l.index, count)) {
            from->use_bin_output = 0;
            if (last_stop_backward <= count) from->keep_delta_gpu = 1;
        }
        break;
    case SCALE_CHANNELS:
    case SAM:
        if (prev) prev->use_bin_output = 0;
        if (layer *from = layer_at(net, l.index, count)) {
            from->use_bin_output = 0;
            from->keep_delta_gpu = 1;
        }
        break;
    default:
        break;
    }
}

static bool borrows_buffers(LAYER_TYPE type) { return type == EMPTY || type == DROPOUT; }

// A frozen layer that keeps its delta gets one. A pass-through layer borrows its buffers, so the
// delta goes to the layer that owns them and every pass-through layer after it borrows it again;
// it is then released once, by its owner.
static void give_frozen_layer_delta(network &net, int k)
{
    layer &l = net.layers[k];
    if (!borrows_buffers(l.type)) {
        l.delta = (float *)xcalloc((size_t)l.batch * l.outputs, sizeof(float));
        return;
    }
    int owner = k - 1;
    while (owner >= 0 && borrows_buffers(net.layers[owner].type)) --owner;
    if (owner < 0) return;
    layer &o = net.layers[owner];
    if (!o.delta) o.delta = (float *)xcalloc((size_t)o.batch * o.outputs, sizeof(float));
    for (int i = owner + 1; i <= k; ++i) net.layers[i].delta = o.delta;
}

struct receptive_field {
    int w = 1, h = 1, w_scale = 1, h_scale = 1;
};

static void update_receptive_field(network &net, layer &l, int count, receptive_field &rf)
{
    const int dilation = std::max(1, l.dilation);
    const int stride = std::max(1, l.stride);
    const int size = std::max(1, l.size);
    if (l.type == UPSAMPLE || l.type == REORG) {
        rf.w_scale /= stride;
        rf.h_scale /= stride;
    } else if (l.type == ROUTE) {
        rf = {0, 0, 0, 0};
        for (int j = 0; j < l.n && l.input_layers; ++j)
            if (layer *in = layer_at(net, l.input_layers[j], count)) {
                rf.w = std::max(rf.w, in->receptive_w);
                rf.h = std::max(rf.h, in->receptive_h);
                rf.w_scale = std::max(rf.w_scale, in->receptive_w_scale);
                rf.h_scale = std::max(rf.h_scale, in->receptive_h_scale);
            }
    } else {
        const int increase = std::max(0, size + 2 * dilation - 3);
        rf.w += increase * rf.w_scale;
        rf.h += increase * rf.h_scale;
        rf.w_scale *= stride;
        rf.h_scale *= stride;
    }
    l.receptive_w = rf.w;
    l.receptive_h = rf.h;
    l.receptive_w_scale = rf.w_scale;
    l.receptive_h_scale = rf.h_scale;
    fprintf(stderr, "%4d - receptive field: %d x %d \n", count, rf.w, rf.h);
}

static void read_common_layer_options(list *options, const network &net, layer &l)
{
    l.clip = option_find_float_quiet(options, "clip", 0);
    l.dynamic_minibatch = net.dynamic_minibatch;
    l.onlyforward = option_find_int_quiet(options, "onlyforward", 0);
    l.dont_update = option_find_int_quiet(options, "dont_update", 0);
    l.burnin_update = option_find_int_quiet(options, "burnin_update", 0);
    l.stopbackward = option_find_int_quiet(options, "stopbackward", 0);
    l.train_only_bn = option_find_int_quiet(options, "train_only_bn", 0);
    l.dontload = option_find_int_quiet(options, "dontload", 0);
    l.dontloadscales = option_find_int_quiet(options, "dontloadscales", 0);
    l.learning_rate_scale = option_find_float_quiet(options, "learning_rate", 1);
    option_unused(options);
    if (l.stopbackward == 1) printf(" ------- previous layers are frozen ------- \n");
}

static void propagate_train_only_bn(network &net)
{
    int train_only_bn = 0;
    for (int k = net.n - 1; k >= 0; --k) {
        layer &l = net.layers[k];
        if (l.train_only_bn) train_only_bn = l.train_only_bn;
        if (!train_only_bn) continue;
        l.train_only_bn = train_only_bn;
        if (l.type == CRNN)
            for (layer *sub : {l.input_layer, l.self_layer, l.output_layer})
                if (sub) sub->train_only_bn = train_only_bn;
    }
}

network parse_network_cfg_custom(const char *filename, int batch, int time_steps)
{
    list *sections = read_cfg(filename);
    node *n = sections->front;
    if (!n) quillon_error("Config file has no sections");
    network net = make_network(sections->size - 1);
#ifdef QUILLON_GPU
    net.gpu_index = gpu_index;
#else
    net.gpu_index = -1;
#endif
    size_params params = {};
    params.train = batch <= 0;
    const int train = params.train;

    section *s = (section *)n->val;
    if (string_to_layer_type(s->type) != NETWORK) quillon_error("First section must be [net] or [network]");
    parse_net_options(s->options, &net);
    printf("net.optimized_memory = %d \n", net.optimized_memory);

    params.h = net.h;
    params.w = net.w;
    params.c = net.c;
    params.inputs = net.inputs;
    if (batch > 0) net.batch = batch;
    if (time_steps > 0) net.time_steps = time_steps;
    if (net.batch < 1) net.batch = 1;
    if (net.time_steps < 1) net.time_steps = 1;
    if (net.batch < net.time_steps) net.batch = net.time_steps;
    params.batch = net.batch;
    params.time_steps = net.time_steps;
    params.net = net;
    printf("mini_batch = %d, batch = %d, time_steps = %d, train = %d \n", net.batch, net.batch * net.subdivisions,
           net.time_steps, train);

    const float show_receptive_field = option_find_float_quiet(s->options, "show_receptive_field", 0);
    free_section(s);
    n = n->next;

    int last_stop_backward = -1;
    if (train) {
        int k = 0;
        for (node *m = n; m; m = m->next, ++k)
            if (option_find_int_quiet(((section *)m->val)->options, "stopbackward", 0) == 1) {
                last_stop_backward = k;
                printf("last_stop_backward = %d \n", k);
            }
    }

    size_t workspace_size = 0;
    int max_inputs = 0, max_outputs = 0;
    float bflops = 0;
    int avg_outputs = 0, avg_counter = 0;
    receptive_field rf;

    fprintf(stderr, "   layer   filters  size/strd(dil)      input                output\n");
    for (int count = 0; n; n = n->next, ++count) {
        params.train = count < last_stop_backward ? 0 : train;
        params.index = count;
        fprintf(stderr, "%4d ", count);
        s = (section *)n->val;
        list *options = s->options;

        layer l = {};
        const LAYER_TYPE type = string_to_layer_type(s->type);
        const layer_kind *kind = get_layer_kind(type);
        if (kind->parse) l = kind->parse(options, params);
        else fprintf(stderr, "Type not recognized: %s\n", s->type);

        wire_layer(net, l, count, last_stop_backward);
        if (show_receptive_field) update_receptive_field(net, l, count, rf);
        l.optimized_memory = net.optimized_memory;
        read_common_layer_options(options, net, l);

        net.layers[count] = l;
        workspace_size = std::max(workspace_size, l.workspace_size);
        max_inputs = std::max(max_inputs, l.inputs);
        max_outputs = std::max(max_outputs, l.outputs);
        free_section(s);

        if (n->next) {
            const layer &shape = l.antialiasing && l.input_layer ? *l.input_layer : l;
            params.h = shape.out_h;
            params.w = shape.out_w;
            params.c = shape.out_c;
            params.inputs = shape.outputs;
        }
        if (l.bflops > 0) bflops += l.bflops;
        if (l.w > 1 && l.h > 1) {
            avg_outputs += l.outputs;
            ++avg_counter;
        }
    }

    for (int k = 0; k < last_stop_backward; ++k) {
        layer &l = net.layers[k];
        if (l.keep_delta_gpu && !l.delta) give_frozen_layer_delta(net, k);
        l.onlyforward = 1;
        l.train = 0;
    }
    free_list(sections);

    propagate_train_only_bn(net);

    if (net.n > 0) {
        int k = net.n - 1;
        while (k > 0 && net.layers[k].type == COST) --k;
        net.outputs = net.layers[k].outputs;
        net.output = net.layers[k].output;
    }

    fprintf(stderr, "Total BFLOPS %5.3f \n", bflops);
    fprintf(stderr, "avg_outputs = %d \n", avg_counter ? avg_outputs / avg_counter : 0);

    if (workspace_size > 0) net.workspace = (float *)xcalloc(1, workspace_size);

    if (net.n > 0 && (net.w % 32 || net.h % 32)) {
        const LAYER_TYPE last = net.layers[net.n - 1].type;
        if (last == REGION || last == VUMO || last == DETECTION)
            printf("\n Warning: width=%d and height=%d in cfg-file must be divisible by 32 for default networks "
                   "Vumo v1/v2/v3!!! \n\n",
                   net.w, net.h);
    }
    return net;
}

network parse_network_cfg(const char *filename) { return parse_network_cfg_custom(filename, 0, 0); }

// The one place the network loaders hand a weights file to the weights reader.
static void load_weights_if_given(network *net, const char *weights)
{
    if (!weights || !weights[0]) return;
    printf(" Try to load weights: %s \n", weights);
    load_weights(net, weights);
}

static void clear_counters(network *net)
{
    *net->seen = 0;
    *net->cur_iteration = 0;
}

extern "C" QUILLON_API network *load_network(const char *cfg, const char *weights, int clear)
{
    printf(" Try to load cfg: %s, clear = %d \n", cfg, clear);
    network *net = (network *)xcalloc(1, sizeof(network));
    *net = parse_network_cfg_custom(cfg, 0, 0);
    load_weights_if_given(net, weights);
    if (clear) clear_counters(net);
    return net;
}

extern "C" QUILLON_API network *load_network_custom(const char *cfg, const char *weights, int clear, int batch)
{
    printf(" Try to load cfg: %s, weights: %s, clear = %d \n", cfg, weights ? weights : "(null)", clear);
    network *net = (network *)xcalloc(1, sizeof(network));
    *net = parse_network_cfg_custom(cfg, batch, 1);
    load_weights_if_given(net, weights);
    fuse_conv_batchnorm(*net);
    if (clear) clear_counters(net);
    return net;
}
