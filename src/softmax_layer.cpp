// Softmax on the CPU. A class hierarchy splits the input into its groups, each normalised alone;
// otherwise the input splits into `groups` equal runs. Also the contrastive embedding layer.
#include "softmax_layer.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void free_tree(tree *t)
{
    if (!t) return;
    for (int i = 0; i < t->n; ++i) free(t->name[i]);
    free(t->name);
    free(t->leaf);
    free(t->parent);
    free(t->child);
    free(t->group);
    free(t->group_size);
    free(t->group_offset);
    free(t);
}

} // namespace

layer make_softmax_layer(int batch, int inputs, int groups)
{
    // The group length divides the input; no groups would divide by zero.
    if (groups < 1) quillon_error("softmax groups must be at least 1");
    layer l = {};
    l.type = SOFTMAX;
    l.batch = batch;
    l.groups = groups;
    l.inputs = inputs;
    l.outputs = inputs;
    l.temperature = 1;
    l.loss = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.output = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.delta = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.forward = forward_softmax_layer;
    l.backward = backward_softmax_layer;
    fprintf(stderr, "softmax                                        %4d\n", inputs);
    return l;
}

layer parse_softmax(list *options, size_params params)
{
    const int groups = option_find_int_quiet(options, "groups", 1);
    layer l = make_softmax_layer(params.batch, params.inputs, groups);
    l.temperature = option_find_float_quiet(options, "temperature", 1);
    if (const char *tree_file = option_find_str_quiet(options, "tree", nullptr)) {
        l.softmax_tree = read_tree(tree_file);
        // The hierarchy's groups index the input: a larger tree would read past it.
        if (l.softmax_tree->n > l.inputs) {
            fprintf(stderr, "Hierarchy %s has %d classes, more than the %d inputs of the softmax layer\n",
                    tree_file, l.softmax_tree->n, l.inputs);
            quillon_error("softmax hierarchy larger than its input");
        }
    }
    l.w = params.w;
    l.h = params.h;
    l.c = params.c;
    l.spatial = option_find_float_quiet(options, "spatial", 0);
    l.noloss = option_find_int_quiet(options, "noloss", 0);
    l.train = params.train;
    return l;
}

void forward_softmax_layer(layer l, network_state state)
{
    if (l.softmax_tree) {
        int count = 0;
        for (int g = 0; g < l.softmax_tree->groups; ++g) {
            const int group_size = l.softmax_tree->group_size[g];
            softmax_cpu(state.input + count, group_size, l.batch, l.inputs, 1, 0, l.temperature, l.output + count);
            count += group_size;
        }
    } else {
        const int run = l.inputs / l.groups;
        softmax_cpu(state.input, run, l.batch, l.inputs, l.groups, run, l.temperature, l.output);
    }
    if (state.truth && !l.noloss) {
        softmax_x_ent_cpu(l.batch * l.inputs, l.output, state.truth, l.delta, l.loss);
        l.cost[0] = array_sum(l.loss, l.batch * l.inputs);
    }
}

void backward_softmax_layer(layer l, network_state state)
{
    if (state.delta) axpy_cpu(l.inputs * l.batch, 1, l.delta, 1, state.delta, 1);
}

void free_softmax_arrays(layer *l)
{
    free(l->loss);
    l->loss = nullptr;
    free_tree(l->softmax_tree);
    l->softmax_tree = nullptr;
}

// ---------------------------------------------------------------- contrastive layer
// The probabilities of the pairs are computed on the host, so the layer trains without a device.

layer make_contrastive_layer(int batch, int w, int h, int c, int classes, int inputs, const layer *head)
{
    layer l = {};
    l.type = CONTRASTIVE;
    l.batch = batch;
    l.inputs = inputs;
    l.w = w;
    l.h = h;
    l.c = c;
    l.temperature = 1;
    l.classes = classes;
    l.n = 1;
    l.embedding_size = c;
    if (head) {
        l.detection_linked = 1;
        l.max_boxes = head->max_boxes;
        l.cell_track_ids = head->cell_track_ids;
        l.cell_class_ids = head->cell_class_ids;
        l.n = head->n;
        l.classes = head->classes;
        l.truths = head->truths;
        l.embedding_size = inputs / (w * l.n * h);
        if (l.embedding_size != head->embedding_size) {
            printf(" Error: [contrastive] embedding_size=%d isn't equal to [vumo] embedding_size=%d. They should use "
                   "the same [convolutional] layer \n",
                   l.embedding_size, head->embedding_size);
            getchar();
            exit(0);
        }
        if (inputs % (w * l.n * h) != 0) {
            printf(" Warning: filters= number in the previous (embedding) layer isn't divisable by number of anchors "
                   "%d \n",
                   l.n);
            getchar();
        }
    }
    l.outputs = inputs;
    l.loss = (float *)xcalloc(1, sizeof(float));
    l.output = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.delta = (float *)xcalloc((size_t)inputs * batch, sizeof(float));
    l.cost = (float *)xcalloc(1, sizeof(float));

    l.forward = forward_contrastive_layer;
    l.backward = backward_contrastive_layer;

    const int step = w * h * l.n * batch;
    fprintf(stderr, "contrastive %4d x%4d x%4d x emb_size %4d x batch: %4d  classes = %4d, step = %4d \n", w, h, l.n,
            l.embedding_size, batch, l.classes, step);
    fprintf(stderr, "detection \n");
    return l;
}

layer parse_contrastive(list *options, size_params params)
{
    const int classes = option_find_int(options, "classes", 1000);
    int id = option_find_int_quiet(options, "vumo_layer", 0);
    if (id < 0) id += params.index;
    // The head must have been built (and so run) before this layer in the same pass.
    if (id < 0 || id >= params.index || params.net.layers[id].type != VUMO) {
        printf(" Error: [contrastive] layer should point to the [vumo] layer instead of %d layer! \n", id);
        getchar();
        exit(0);
    }
    const layer *head = &params.net.layers[id];
    layer l = make_contrastive_layer(params.batch, params.w, params.h, params.c, classes, params.inputs, head);
    l.temperature = option_find_float_quiet(options, "temperature", 1);
    l.steps = params.time_steps;
    l.cls_normalizer = option_find_float_quiet(options, "cls_normalizer", 1);
    l.max_delta = option_find_float_quiet(options, "max_delta", FLT_MAX);
    l.contrastive_neg_max = option_find_int_quiet(options, "contrastive_neg_max", 3);
    return l;
}

void contrastive_pair_probabilities(contrastive_params *records, int count, float temperature)
{
    for (int k = 0; k < count; ++k) {
        float sum = 0;
        for (int r = 0; r < count; ++r)
            if (records[r].other_index == records[k].other_index && records[r].anchor_index != records[k].anchor_index)
                sum += records[r].exp_similarity;
        const float p = expf(records[k].similarity / temperature) / sum;
        records[k].pair_probability = (sum == 0 || p > 1) ? 0.9999f : p;
    }
}

namespace {

struct pass_context {
    const layer &l;
    const std::vector<float *> &z;
    const std::vector<contrastive_params> &records;
    int step;
};

const contrastive_params *find_sim(int i, int j, const std::vector<contrastive_params> &records)
{
    for (const contrastive_params &r : records)
        if (r.anchor_index == i && r.other_index == j) return &r;
    return nullptr;
}

// Shared start of both gradient routines: the factor of cell i, or false when it has none.
bool gradient_factor(const pass_context &ctx, int i, float *mult)
{
    const layer &l = ctx.l;
    const float vec_len = math_vector_length(ctx.z[i], l.embedding_size);
    const int label = l.cell_track_ids[i];
    float N = 0;
    if (label >= 0)
        for (int j = 0; j < ctx.step; ++j)
            if (l.cell_track_ids[j] == label) ++N;
    if (N == 0 || l.temperature == 0 || vec_len == 0) {
        fprintf(stderr,
                " Error: N == 0 || temperature == 0 || vec_len == 0. N=%f, temperature=%f, vec_len=%f, labels[i] = %d "
                "\n",
                N, l.temperature, vec_len, label);
        getchar();
        return false;
    }
    *mult = 1 / ((N - 1) * l.temperature * vec_len);
    return true;
}

void positive_pair_gradient(const pass_context &ctx, int i, float *D, int plane)
{
    float mult;
    if (!gradient_factor(ctx, i, &mult)) return;
    const layer &l = ctx.l;
    const float *zi = ctx.z[i];
    for (int j = 0; j < ctx.step; ++j) {
        if (j == i || l.cell_track_ids[j] != l.cell_track_ids[i]) continue;
        const contrastive_params *k = find_sim(i, j, ctx.records);
        if (!k) continue;
        const float *zj = ctx.z[j];
        for (int m = 0; m < l.embedding_size; ++m)
            D[m * plane] -= (k->similarity * zi[m] - zj[m]) * mult * (1 - k->pair_probability);
    }
}

void negative_pair_gradient(const pass_context &ctx, int i, float *D, int plane)
{
    float mult;
    if (!gradient_factor(ctx, i, &mult)) return;
    const layer &l = ctx.l;
    const float *zi = ctx.z[i];
    int neg = 0;
    for (int j = 0; j < ctx.step; ++j) {
        if (j == i || l.cell_track_ids[j] != l.cell_track_ids[i]) continue;
        for (int o = 0; o < ctx.step; ++o) {
            if (o == i || o == j || l.cell_track_ids[o] == l.cell_track_ids[i] ||
                l.cell_class_ids[o] != l.cell_class_ids[j])
                continue;
            ++neg;
            const contrastive_params *k = find_sim(i, o, ctx.records);
            if (!k) continue;
            const float *zo = ctx.z[o];
            for (int m = 0; m < l.embedding_size; ++m)
                D[m * plane] -= (zo[m] - k->similarity * zi[m]) * mult * k->pair_probability;
            if (neg >= l.contrastive_neg_max) return;
        }
    }
}

}  // namespace

void forward_contrastive_layer(layer l, network_state state)
{
    if (!state.train || !l.detection_linked) return;
    const int area = l.w * l.h;
    const int cells_per_image = l.n * area;
    const int step = cells_per_image * l.batch;
    const int group = l.batch / (l.steps > 0 ? l.steps : 1);
    // A batch smaller than the time steps leaves every image its own group.
    const int g = group > 0 ? group : 1;
    const size_t values = (size_t)l.batch * l.inputs;
    memset(l.delta, 0, values * sizeof(float));

    std::vector<float *> z(step, nullptr);
    for (int i = 0; i < step; ++i) {
        if (l.cell_track_ids[i] < 0) continue;
        const int b = i / cells_per_image;
        const int s = (i / area) % l.n;
        const int r = (i / l.w) % l.h;
        const int x = i % l.w;
        z[i] = (float *)xcalloc(l.embedding_size, sizeof(float));
        get_embedding(state.input, l.w, l.h, l.c, l.embedding_size, x, r, s, b, z[i]);
    }

    std::vector<float> max_same(values, -10), max_diff(values, -10);
    std::vector<contrastive_params> records;
    for (int i = 0; i < step; ++i) {
        if (!z[i]) continue;
        const int group_i = (i / cells_per_image) / g;
        for (int j = 0; j < step; ++j) {
            if (!z[j] || j == i || l.cell_class_ids[j] != l.cell_class_ids[i]) continue;
            const int group_j = (j / cells_per_image) / g;
            if (group_i != group_j) continue;
            const float sim = cosine_similarity(z[i], z[j], l.embedding_size);
            const float exp_sim = expf(sim / l.temperature);
            if (l.cell_track_ids[i] == l.cell_track_ids[j]) {
                if (sim > max_same[i]) max_same[i] = sim;
            } else if (sim > max_diff[i]) {
                max_diff[i] = sim;
            }
            records.push_back({sim, exp_sim, 0, i, j, group_i, group_j});
            if ((double)sim > 1.001 || (double)sim < -1.001) {
                printf(" sim = %f, ", sim);
                getchar();
            }
        }
    }

    int all = 0, good = 0;
    for (size_t k = 0; k < values; ++k)
        if (max_same[k] >= -1 && max_diff[k] >= -1) {
            ++all;
            if (max_same[k] > max_diff[k]) ++good;
        }
    const int accuracy = all ? (good * 100) / all : -1;
    *l.loss = (float)accuracy;
    printf(" Contrast accuracy = %f %%, all = %d, good = %d, same = %d, diff = %d \n", (float)accuracy, all, good, all,
           all);

    const int contr_size = (int)records.size();
    const long long max_contr_size = (long long)l.max_boxes * l.batch * l.max_boxes * l.batch;
    if (contr_size > max_contr_size) {
        printf(" Error: too large number of bboxes: contr_size = %d > max_contr_size  = %lld \n", contr_size,
               max_contr_size);
        exit(0);
    }
    if (contr_size > 2) contrastive_pair_probabilities(records.data(), contr_size, l.temperature);

    const pass_context ctx{l, z, records, step};
    for (int i = 0; i < step; ++i) {
        if (!z[i]) continue;
        const int b = i / cells_per_image;
        const int s = (i / area) % l.n;
        const int cell = i % area;
        float *D = l.delta + (size_t)(b * l.n + s) * l.embedding_size * area + cell;
        positive_pair_gradient(ctx, i, D, area);
        negative_pair_gradient(ctx, i, D, area);
    }

    scal_cpu((int)values, l.cls_normalizer, l.delta, 1);
    for (size_t k = 0; k < values; ++k) {
        const float v = l.delta[k];
        l.delta[k] = v > l.max_delta ? l.max_delta : (v < -l.max_delta ? -l.max_delta : v);
    }

    const float magnitude = array_magnitude(l.delta, (int)values);
    *l.cost = (float)((double)magnitude * magnitude);
    if (state.net.adversarial)
        printf(" adversarial contrastive loss = %f \n\n", *l.cost);
    else
        printf(" contrastive loss = %f \n\n", *l.cost);

    for (float *p : z) free(p);
}

void backward_contrastive_layer(layer l, network_state state)
{
    if (!state.delta) return;
    axpy_cpu(l.batch * l.inputs, 1, l.delta, 1, state.delta, 1);
}

void free_contrastive_arrays(layer *l)
{
    free(l->loss);
    l->loss = nullptr;
    // The cell ids belong to the head.
    l->cell_track_ids = nullptr;
    l->cell_class_ids = nullptr;
}
