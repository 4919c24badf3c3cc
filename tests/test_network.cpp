// Network execution and the training schedule: learning-rate policies, the update gating, the
// moving average and filter rejection schedules, the forward/backward walk, training on a batch,
// batch-norm fusion, resizing, and a small regression trained end to end.
#include "network.h"

#include "convolutional_layer.h"
#include "layer.h"
#include "learning_rate.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Counting allocator: every malloc, calloc and realloc of the process is counted while enabled.
// Sanitizer builds keep their own allocator, and the check is skipped there.
static long counted_allocations = 0;
static bool counting_allocations = false;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QUILLON_COUNTING_ALLOCATOR 1
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *malloc(size_t size)
{
    if (counting_allocations) ++counted_allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t n, size_t size)
{
    if (counting_allocations) ++counted_allocations;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t size)
{
    if (counting_allocations) ++counted_allocations;
    return __libc_realloc(p, size);
}
#endif

namespace {

// A network record with its cells, sized for n layers; layers are filled by each test.
network test_network(int n, int batch = 1, int subdivisions = 1)
{
    network net = make_network(n);
    net.batch = batch;
    net.subdivisions = subdivisions;
    return net;
}

void set_iteration(network &net, int iteration)
{
    *net.seen = (uint64_t)iteration * net.batch * net.subdivisions;
}

// Releases the record's own cells; layers made by hand are released by their tests.
void release_cells(network &net)
{
    for (int i = 0; i < net.n; ++i) net.layers[i] = layer{};
    free_network(net);
}

struct rate_case {
    const char *name;
    int policy;
    int iteration;
    double expected;
};

} // namespace

TEST(LearningRate, PoliciesAtChosenIterations)
{
    const double lr_min = .00001;
    const double gamma = .9995f;
    const rate_case cases[] = {
        {"burn-in half way", CONSTANT, 500, 0.001 * pow(0.5, 4)},
        {"burn-in over", CONSTANT, 1000, 0.001},
        {"constant", CONSTANT, 5000, 0.001},
        {"step", STEP, 2500, 0.001 * pow(0.5, 2)},
        {"exp", EXP, 2000, 0.001 * pow(gamma, 2000)},
        {"poly", POLY, 5000, 0.001 * pow(0.5, 4)},
        {"poly at the end", POLY, 10000, 0},
        {"steps before", STEPS, 1000, 0.001},
        {"sigmoid", SIG, 1002, 0.001 / (1 + exp((double)(.9995f * 2.f)))},
        {"sgdr first cycle end", SGDR, 2000, lr_min},
        {"sgdr second cycle middle", SGDR, 4000, lr_min + 0.5 * (0.001 - lr_min) * (1 + cos(2000 * 3.14159265 / 4000))},
        {"weird policy", 9, 2000, 0.001},
    };
    for (const rate_case &c : cases) {
        network net = test_network(0, 4, 16);
        net.learning_rate = .001f;
        net.learning_rate_min = (float)lr_min;
        net.burn_in = 1000;
        net.power = 4;
        memcpy(&net.policy, &c.policy, sizeof net.policy);
        net.step = 1000;
        net.scale = .5f;
        net.gamma = .9995f;
        net.max_batches = 10000;
        net.sgdr_cycle = 2000;
        net.sgdr_mult = 2;
        net.steps = nullptr;
        net.num_steps = 0;
        set_iteration(net, c.iteration);
        EXPECT_NEAR(get_current_rate(net), c.expected, 1e-6 * c.expected + 1e-12) << c.name;
        release_cells(net);
    }
}

TEST(LearningRate, StepsTakeEffectAtTheirIteration)
{
    network net = test_network(0);
    int steps[] = {400, 450};
    float scales[] = {.1f, .1f};
    net.learning_rate = .01f;
    net.policy = STEPS;
    net.steps = steps;
    net.scales = scales;
    net.num_steps = 2;
    const struct {
        int iteration;
        float rate;
    } cases[] = {{0, .01f}, {399, .01f}, {400, .001f}, {449, .001f}, {450, .0001f}, {10000, .0001f}};
    for (auto c : cases) {
        set_iteration(net, c.iteration);
        EXPECT_FLOAT_EQ(get_current_rate(net), c.rate) << c.iteration;
    }
    net.steps = nullptr;
    net.scales = nullptr;
    release_cells(net);
}

TEST(LearningRate, SgdrCyclesGrowByTheFactor)
{
    network net = test_network(0);
    net.learning_rate = .01f;
    net.learning_rate_min = .001f;
    net.policy = SGDR;
    net.sgdr_cycle = 100;
    net.sgdr_mult = 2;
    auto rate_at = [&](int it) {
        set_iteration(net, it);
        return get_current_rate(net);
    };
    EXPECT_FLOAT_EQ(rate_at(0), .01f);
    EXPECT_FLOAT_EQ(rate_at(100), .001f);
    EXPECT_FLOAT_EQ(rate_at(101), (float)(.001 + .5 * .009 * (1 + cos(1 * 3.14159265 / 200))));
    EXPECT_FLOAT_EQ(rate_at(300), .001f);
    EXPECT_FLOAT_EQ(rate_at(301), (float)(.001 + .5 * .009 * (1 + cos(1 * 3.14159265 / 400))));
    EXPECT_FLOAT_EQ(rate_at(500), (float)(.001 + .5 * .009 * (1 + cos(200 * 3.14159265 / 400))));
    EXPECT_FLOAT_EQ(rate_at(701), (float)(.001 + .5 * .009 * (1 + cos(1 * 3.14159265 / 800))));
    release_cells(net);
}

TEST(LearningRate, ExpWithUnitGammaAndRandomStayInRange)
{
    network net = test_network(0);
    net.learning_rate = .01f;
    net.policy = EXP;
    net.gamma = 1;
    set_iteration(net, 12345);
    EXPECT_FLOAT_EQ(get_current_rate(net), .01f);
    net.policy = RANDOM;
    net.power = 1;
    float lo = 1, hi = 0;
    for (int i = 0; i < 200; ++i) {
        const float r = get_current_rate(net);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
    }
    EXPECT_GE(lo, 0);
    EXPECT_LE(hi, .01f);
    EXPECT_LT(lo, hi);
    release_cells(net);
}

TEST(LearningRate, WeirdPolicyIsReported)
{
    network net = test_network(0);
    net.learning_rate = .5f;
    const int weird = 8;
    memcpy(&net.policy, &weird, sizeof net.policy);
    testing::internal::CaptureStderr();
    EXPECT_FLOAT_EQ(get_current_rate(net), .5f);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Policy is weird!\n");
    release_cells(net);
}

TEST(LearningRate, SequenceSchedule)
{
    network net = test_network(0);
    net.subdivisions = 16;
    net.sequential_subdivisions = 4;
    EXPECT_EQ(get_sequence_value(net), 4);
    net.sequential_subdivisions = 0;
    EXPECT_EQ(get_sequence_value(net), 1);

    int steps[] = {10, 20};
    float seq_scales[] = {2, 4};
    net.steps = steps;
    net.seq_scales = seq_scales;
    net.num_steps = 2;
    net.init_sequential_subdivisions = 1;
    set_iteration(net, 5);
    EXPECT_EQ(get_current_seq_subdivisions(net), 1);
    set_iteration(net, 10);
    EXPECT_EQ(get_current_seq_subdivisions(net), 2);
    set_iteration(net, 20);
    EXPECT_EQ(get_current_seq_subdivisions(net), 8);
    seq_scales[1] = 100;
    EXPECT_EQ(get_current_seq_subdivisions(net), 16);
    net.steps = nullptr;
    net.seq_scales = nullptr;
    release_cells(net);
}

// --- update gating

namespace {
struct update_call {
    int layer_n;
    int batch;
    float rate;
    int t;
    int deform;
};
std::vector<update_call> update_calls;

void record_update(layer l, int batch, float learning_rate, float momentum, float decay)
{
    update_calls.push_back({l.n, batch, learning_rate, l.t, l.deform});
}
} // namespace

TEST(UpdateNetwork, GatingFlagsAndWorkingCopy)
{
    network net = test_network(5, 2, 3);
    net.learning_rate = .1f;
    net.burn_in = 1000;
    net.power = 1;
    net.max_batches = 4000;
    for (int i = 0; i < 5; ++i) {
        net.layers[i].n = i;
        net.layers[i].train = 1;
        net.layers[i].deform = 1;
        net.layers[i].update = record_update;
    }
    net.layers[1].burnin_update = 2;
    net.layers[2].dont_update = 500;
    net.layers[3].train_only_bn = 1;
    net.layers[4].train = 0;

    auto updated_at = [&](int iteration) {
        update_calls.clear();
        set_iteration(net, iteration);
        update_network(net);
        std::vector<int> who;
        for (auto &c : update_calls) {
            who.push_back(c.layer_n);
            EXPECT_EQ(c.batch, 6);
            EXPECT_EQ(c.t, iteration);
            EXPECT_EQ(c.deform, iteration > 2000 ? 0 : 1);
        }
        return who;
    };
    EXPECT_EQ(updated_at(500), (std::vector<int>{0}));
    EXPECT_EQ(updated_at(501), (std::vector<int>{0, 2}));
    EXPECT_EQ(updated_at(1999), (std::vector<int>{0, 2}));
    EXPECT_EQ(updated_at(2000), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(updated_at(2001), (std::vector<int>{0, 1, 2}));
    EXPECT_FLOAT_EQ(update_calls[0].rate, .1f);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(net.layers[i].t, 0);
        EXPECT_EQ(net.layers[i].deform, 1);
    }
    release_cells(net);
}

// --- moving average and filter rejection

namespace {
// A convolution record with hand-made arrays: n filters of c x size x size weights.
layer hand_conv(int n, int c, int size, bool ema)
{
    layer l = {};
    l.type = CONVOLUTIONAL;
    l.activation = LEAKY;
    l.n = n;
    l.c = c;
    l.size = size;
    l.groups = 1;
    l.nweights = n * c * size * size;
    l.weights = (float *)xcalloc(l.nweights, sizeof(float));
    l.biases = (float *)xcalloc(n, sizeof(float));
    l.scales = (float *)xcalloc(n, sizeof(float));
    if (ema) {
        l.weights_ema = (float *)xcalloc(l.nweights, sizeof(float));
        l.biases_ema = (float *)xcalloc(n, sizeof(float));
        l.scales_ema = (float *)xcalloc(n, sizeof(float));
    }
    return l;
}

void free_hand(layer &l)
{
    float *arrays[] = {l.weights, l.biases, l.scales, l.weights_ema, l.biases_ema, l.scales_ema};
    for (float *a : arrays) free(a);
    l = layer{};
}
} // namespace

TEST(Ema, UpdateAndApply)
{
    network net = test_network(1);
    net.layers[0] = hand_conv(2, 1, 1, true);
    layer &l = net.layers[0];
    l.weights[0] = 2;
    l.weights[1] = 4;
    l.biases[0] = 1;
    l.scales[1] = 3;
    EXPECT_EQ(is_ema_initialized(net), 0);
    ema_update(net, 0);
    EXPECT_EQ(is_ema_initialized(net), 1);
    EXPECT_FLOAT_EQ(l.weights_ema[1], 4);
    l.weights[1] = 0;
    l.biases[0] = 0;
    ema_update(net, .75f);
    EXPECT_FLOAT_EQ(l.weights_ema[1], 3);
    EXPECT_FLOAT_EQ(l.biases_ema[0], .75f);
    EXPECT_FLOAT_EQ(l.scales_ema[1], 3);
    ema_apply(net);
    EXPECT_FLOAT_EQ(l.weights[1], 3);
    EXPECT_FLOAT_EQ(l.biases[0], .75f);
    free_hand(l);
    release_cells(net);
}

TEST(Ema, ScheduleOverTraining)
{
    network net = test_network(1);
    net.layers[0] = hand_conv(1, 1, 1, true);
    net.layers[0].weights[0] = 1;
    net.ema_alpha = .5f;
    net.max_batches = 10000;
    auto messages_at = [&](int iteration) {
        *net.cur_iteration = iteration;
        testing::internal::CaptureStdout();
        apply_ema_and_rejection(net);
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(messages_at(4999), "");
    EXPECT_EQ(messages_at(5000), " EMA initialization \n ema_update(), ema_alpha = 0.500000 \n");
    EXPECT_EQ(messages_at(5001), " ema_update(), ema_alpha = 0.500000 \n");
    EXPECT_EQ(messages_at(8999), " ema_update(), ema_alpha = 0.500000 \n");
    net.layers[0].weights_ema[0] = 7;
    EXPECT_EQ(messages_at(9000), " ema_apply() \n");
    EXPECT_FLOAT_EQ(net.layers[0].weights[0], 7);
    EXPECT_EQ(messages_at(9001), "");
    free_hand(net.layers[0]);
    release_cells(net);
}

TEST(RejectSimilarWeights, ReplacesTheFirstOfTheClosestPair)
{
    network net = test_network(3);
    net.layers[1] = hand_conv(3, 2, 1, false);
    layer &l = net.layers[1];
    const float w[] = {1, 0, 1, .1f, 0, 1};
    memcpy(l.weights, w, sizeof w);
    l.biases[0] = 5;
    l.scales[0] = 5;
    testing::internal::CaptureStdout();
    reject_similar_weights(net, .4f);
    const std::string out = testing::internal::GetCapturedStdout();
    char expected[256];
    snprintf(expected, sizeof expected,
             " reject_similar_weights: i = 1, l.n = 3, w1 = 0, w2 = 1, sim = %f, thresh = %f \n rejecting... \n",
             (float)(1 / sqrt(1.01)), .4f);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(l.biases[0], 0);
    EXPECT_EQ(l.scales[0], 1);
    EXPECT_EQ(l.weights[4], 0);
    EXPECT_EQ(l.weights[5], 1);
    EXPECT_LE(std::fabs(l.weights[0]), std::sqrt(2.f / 2) + 1e-6f);

    // A layer feeding a detection head within three layers is left alone.
    net.layers[2].type = VUMO;
    testing::internal::CaptureStdout();
    reject_similar_weights(net, .4f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    free_hand(l);
    release_cells(net);
}

TEST(RejectSimilarWeights, RunsEveryFrequencyUntilThreeQuarters)
{
    network net = test_network(2);
    net.layers[1] = hand_conv(2, 1, 1, false);
    net.layers[1].weights[0] = 1;
    net.layers[1].weights[1] = -1;
    net.weights_reject_freq = 100;
    net.max_batches = 10000;
    auto ran_at = [&](int iteration) {
        *net.cur_iteration = iteration;
        testing::internal::CaptureStdout();
        apply_ema_and_rejection(net);
        return !testing::internal::GetCapturedStdout().empty();
    };
    EXPECT_TRUE(ran_at(100));
    EXPECT_FALSE(ran_at(150));
    EXPECT_TRUE(ran_at(7400));
    EXPECT_FALSE(ran_at(7500));
    free_hand(net.layers[1]);
    release_cells(net);
}

// --- the forward and backward walk

namespace {
std::vector<std::string> walk;

void record_forward(layer l, network_state s)
{
    walk.push_back("f" + std::to_string(s.index));
    if (l.cost) *l.cost = (float)s.input[0];
    l.output[0] = s.input[0] + 1;
}

void record_backward(layer l, network_state s)
{
    walk.push_back("b" + std::to_string(s.index));
}

// n layers of one output each: layer i adds 1 to its input; every layer with a cost cell reports
// its input as the cost.
network chain(int n, int batch = 1)
{
    network net = test_network(n, batch);
    for (int i = 0; i < n; ++i) {
        layer &l = net.layers[i];
        l.type = ACTIVE;
        l.batch = batch;
        l.inputs = l.outputs = 1;
        l.train = 1;
        l.output = (float *)xcalloc(batch, sizeof(float));
        l.delta = (float *)xcalloc(batch, sizeof(float));
        l.forward = record_forward;
        l.backward = record_backward;
    }
    return net;
}
} // namespace

TEST(Execution, BackwardStopsAndSkips)
{
    network net = chain(8);
    net.layers[5].stopbackward = 1;
    float x = 0;
    network_state state = {};
    state.input = &x;
    state.net = net;
    walk.clear();
    backward_network(net, state);
    EXPECT_EQ(walk, (std::vector<std::string>{"b7", "b6"}));

    net.layers[5].stopbackward = 0;
    net.layers[5].onlyforward = 1;
    walk.clear();
    backward_network(net, state);
    EXPECT_EQ(walk, (std::vector<std::string>{"b7", "b6", "b4", "b3", "b2", "b1", "b0"}));
    free_network(net);
}

TEST(Execution, ForwardZeroesDeltasOnlyWhenTraining)
{
    network net = chain(2);
    net.layers[0].delta[0] = 3;
    net.layers[1].delta[0] = 3;
    net.layers[1].train = 0;
    float x = 5;
    EXPECT_EQ(network_predict(net, &x)[0], 7);
    EXPECT_EQ(net.layers[0].delta[0], 3);
    network_state state = {};
    state.input = &x;
    state.train = 1;
    state.net = net;
    forward_network(net, state);
    EXPECT_EQ(net.layers[0].delta[0], 0);
    EXPECT_EQ(net.layers[1].delta[0], 3);
    free_network(net);
}

TEST(Execution, OutputSizeSkipsTrailingCostLayers)
{
    network net = chain(3);
    net.layers[1].outputs = 7;
    net.layers[1].type = COST;
    net.layers[2].type = COST;
    EXPECT_EQ(get_network_output_size(net), 1);
    EXPECT_EQ(get_network_output(net), net.layers[0].output);
    net.layers[0].type = COST;
    EXPECT_EQ(get_network_output(net), net.layers[0].output);
    free_network(net);
}

TEST(Execution, TrainWaitkeyRunsOnePassPerMiniBatch)
{
    const int batch = 2;
    network net = chain(1, batch);
    float cost = 0;
    net.layers[0].cost = &cost;
    data d = {};
    d.X.rows = d.y.rows = 3 * batch;
    d.X.cols = d.y.cols = 1;
    std::vector<float> xs = {10, 0, 20, 0, 30, 0}, ys(6);
    std::vector<float *> xr, yr;
    for (int i = 0; i < 6; ++i) {
        xr.push_back(&xs[i]);
        yr.push_back(&ys[i]);
    }
    d.X.vals = xr.data();
    d.y.vals = yr.data();
    walk.clear();
    const float loss = train_network(net, d);
    EXPECT_EQ(*net.seen, 3u * batch);
    EXPECT_EQ(*net.cur_iteration, 1);
    EXPECT_EQ(walk, (std::vector<std::string>{"f0", "b0", "f0", "b0", "f0", "b0"}));
    EXPECT_FLOAT_EQ(loss, (10 + 20 + 30) / 6.f);
    net.layers[0].cost = nullptr;
    free_network(net);
}

TEST(Execution, CostIsTheMeanOfTheCostCells)
{
    network net = chain(3);
    float a = 2, b = 4;
    EXPECT_EQ(get_network_cost(net), 0);
    net.layers[0].cost = &a;
    net.layers[2].cost = &b;
    EXPECT_FLOAT_EQ(get_network_cost(net), 3);
    net.layers[0].cost = net.layers[2].cost = nullptr;
    free_network(net);
}

TEST(Execution, CellsAreSharedByCopies)
{
    network net = make_network(2);
    network copy = net;
    *copy.seen = 77;
    *copy.cur_iteration = 5;
    EXPECT_EQ(*net.seen, 77u);
    EXPECT_EQ(*net.cur_iteration, 5);
    EXPECT_EQ(get_network_layer(&net, 1), &net.layers[1]);
    net.w = 32;
    net.h = 16;
    EXPECT_EQ(network_width(&net), 32);
    EXPECT_EQ(network_height(&net), 16);
    free_network(net);
}

// --- fusion

TEST(Fusion, FoldsScaleMeanAndVarianceIntoTheFilter)
{
    network net = test_network(1);
    net.layers[0] = hand_conv(1, 2, 1, false);
    layer &l = net.layers[0];
    l.batch_normalize = 1;
    l.scales[0] = 2;
    l.biases[0] = .5f;
    l.rolling_mean = (float *)xcalloc(1, sizeof(float));
    l.rolling_variance = (float *)xcalloc(1, sizeof(float));
    l.rolling_mean[0] = 1;
    l.rolling_variance[0] = 4 - .00001f;
    l.weights[0] = 3;
    l.weights[1] = -1;
    fuse_conv_batchnorm(net);
    EXPECT_NEAR(l.biases[0], -.5f, 1e-6);
    EXPECT_NEAR(l.weights[0], 3, 1e-6);
    EXPECT_NEAR(l.weights[1], -1, 1e-6);
    EXPECT_EQ(l.batch_normalize, 0);
    EXPECT_EQ(l.rolling_mean, nullptr);
    free_hand(l);
    release_cells(net);
}

TEST(Fusion, NormalisesShortcutWeights)
{
    network net = test_network(1);
    layer &l = net.layers[0];
    l.type = SHORTCUT;
    l.n = 1;
    l.nweights = 4;
    float w[] = {0, 1, 0, -1};
    l.weights = w;
    l.weights_normalization = SOFTMAX_NORMALIZATION;
    testing::internal::CaptureStdout();
    fuse_conv_batchnorm(net);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " w = 0.000000, w = 1.000000, w = 0.000000, w = -1.000000, l->nweights = 4, j = 0 \n");
    EXPECT_FLOAT_EQ(w[0], 1 / (2 + .0001f));
    EXPECT_FLOAT_EQ(w[2], 1 / (2 + .0001f));
    EXPECT_FLOAT_EQ(w[1], expf(0) / (1 + expf(-2) + .0001f));
    EXPECT_EQ(l.weights_normalization, NO_NORMALIZATION);

    float r[] = {-1, 2, 3, 2};
    l.weights = r;
    l.weights_normalization = RELU_NORMALIZATION;
    testing::internal::CaptureStdout();
    fuse_conv_batchnorm(net);
    testing::internal::GetCapturedStdout();
    EXPECT_FLOAT_EQ(r[0], .001f / (3.001f + .0001f));
    EXPECT_FLOAT_EQ(r[1], 2 / (4 + .0001f));
    l.weights = nullptr;
    release_cells(net);
}

TEST(ResizeNetwork, KindWithoutResizeEndsTheProcess)
{
    EXPECT_EXIT(
        {
            network net = test_network(1);
            net.layers[0].type = CONNECTED;
            resize_network(&net, 10, 10);
        },
        testing::ExitedWithCode(1), "Resizing type 2 \n(.|\n)*Cannot resize this type of layer");
}

// --- with real convolutions

namespace {

layer conv_layer(int batch, int h, int w, int c, int n, int size, ACTIVATION a, int bn, int train)
{
    return make_convolutional_layer(batch, 1, h, w, c, n, 1, size, 1, 1, 1, size / 2, a, bn, 0, 0, 0, 0, 0, 0,
                                    nullptr, 0, 0, train);
}

// Takes ownership of the layers, chains nothing (the caller gives matching shapes) and sizes the
// shared workspace.
network network_of(std::vector<layer> layers, int batch)
{
    network net = test_network((int)layers.size(), batch);
    size_t workspace = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
        net.layers[i] = layers[i];
        workspace = std::max(workspace, layers[i].workspace_size);
    }
    net.workspace = (float *)xcalloc(1, workspace);
    net.w = layers[0].w;
    net.h = layers[0].h;
    net.c = layers[0].c;
    net.inputs = layers[0].inputs;
    net.outputs = layers.back().outputs;
    return net;
}

// Squared-error head: delta = truth - input, cost = the sum of squares; passes the delta back.
void forward_l2(layer l, network_state s)
{
    float sum = 0;
    for (int i = 0; i < l.batch * l.inputs; ++i) {
        l.output[i] = s.input[i];
        if (!s.truth) continue;
        l.delta[i] = s.truth[i] - s.input[i];
        sum += l.delta[i] * l.delta[i];
    }
    *l.cost = sum;
}

void backward_l2(layer l, network_state s)
{
    for (int i = 0; i < l.batch * l.inputs; ++i) s.delta[i] += l.delta[i];
}

layer l2_layer(int batch, int inputs)
{
    layer l = {};
    l.type = COST;
    l.batch = batch;
    l.inputs = l.outputs = inputs;
    l.train = 1;
    l.output = (float *)xcalloc((size_t)batch * inputs, sizeof(float));
    l.delta = (float *)xcalloc((size_t)batch * inputs, sizeof(float));
    l.cost = (float *)xcalloc(1, sizeof(float));
    l.forward = forward_l2;
    l.backward = backward_l2;
    return l;
}

void randomise(float *a, int n, float lo, float hi)
{
    for (int i = 0; i < n; ++i) a[i] = random_uniform(lo, hi);
}

} // namespace

TEST(Training, SmallRegressionCostFallsByALargeFactor)
{
    srand(7);
    const int batch = 8, features = 4, hidden = 16, samples = 64;
    network net = network_of({conv_layer(batch, 1, 1, features, hidden, 1, LEAKY, 0, 1),
                              conv_layer(batch, 1, 1, hidden, 1, 1, LINEAR, 0, 1), l2_layer(batch, 1)},
                             batch);
    net.learning_rate = .05f;
    net.momentum = .9f;
    net.decay = 0;
    net.max_batches = 100000;

    std::vector<float> xs(samples * features), ys(samples);
    const float coefficients[features] = {.8f, -.5f, .3f, .6f};
    for (int s = 0; s < samples; ++s) {
        float y = .2f;
        for (int f = 0; f < features; ++f) {
            xs[s * features + f] = random_uniform(-1, 1);
            y += coefficients[f] * xs[s * features + f];
        }
        ys[s] = y;
    }
    std::vector<float *> xr(batch), yr(batch);
    data d = {};
    d.X.rows = d.y.rows = batch;
    d.X.cols = features;
    d.y.cols = 1;
    d.X.vals = xr.data();
    d.y.vals = yr.data();

    auto epoch_cost = [&] {
        float sum = 0;
        for (int start = 0; start < samples; start += batch) {
            for (int j = 0; j < batch; ++j) {
                xr[j] = &xs[(start + j) * features];
                yr[j] = &ys[start + j];
            }
            sum += train_network(net, d);
        }
        return sum / (samples / batch);
    };
    const float first = epoch_cost();
    float last = first;
    for (int epoch = 0; epoch < 60; ++epoch) last = epoch_cost();
    EXPECT_EQ(*net.cur_iteration, 61 * samples / batch);
    EXPECT_LT(last, first / 50) << "first " << first << " last " << last;
    free_network(net);
}

TEST(Fusion, PredictionsMatchTheUnfusedNetwork)
{
    srand(11);
    network net = network_of({conv_layer(2, 7, 6, 3, 5, 3, LEAKY, 1, 0), conv_layer(2, 7, 6, 5, 4, 1, LINEAR, 1, 0)}, 2);
    for (int i = 0; i < net.n; ++i) {
        layer &l = net.layers[i];
        randomise(l.weights, l.nweights, -1, 1);
        randomise(l.biases, l.n, -1, 1);
        randomise(l.scales, l.n, .5f, 2);
        randomise(l.rolling_mean, l.n, -1, 1);
        randomise(l.rolling_variance, l.n, .2f, 3);
    }
    std::vector<float> input(2 * net.layers[0].inputs);
    randomise(input.data(), (int)input.size(), 0, 1);
    const int outputs = 2 * net.layers[1].outputs;
    const float *out = network_predict(net, input.data());
    std::vector<float> unfused(out, out + outputs);
    fuse_conv_batchnorm(net);
    EXPECT_EQ(net.layers[0].batch_normalize, 0);
    out = network_predict(net, input.data());
    for (int i = 0; i < outputs; ++i) EXPECT_NEAR(out[i], unfused[i], 1e-4 * std::max(1.f, std::fabs(unfused[i]))) << i;
    free_network(net);
}

TEST(ResizeNetwork, PredictsAtTheNewSizeAsAFreshNetworkWould)
{
    srand(5);
    auto build = [](int h, int w) {
        return network_of({conv_layer(1, h, w, 2, 3, 3, LEAKY, 1, 0), conv_layer(1, h, w, 3, 2, 3, LINEAR, 0, 0)}, 1);
    };
    network net = build(8, 8);
    network fresh = build(10, 12);
    for (int i = 0; i < net.n; ++i) {
        layer &l = net.layers[i];
        randomise(l.weights, l.nweights, -1, 1);
        randomise(l.biases, l.n, -1, 1);
        if (l.batch_normalize) {
            randomise(l.scales, l.n, .5f, 2);
            randomise(l.rolling_mean, l.n, -1, 1);
            randomise(l.rolling_variance, l.n, .2f, 3);
        }
        layer &f = fresh.layers[i];
        std::copy(l.weights, l.weights + l.nweights, f.weights);
        std::copy(l.biases, l.biases + l.n, f.biases);
        if (l.batch_normalize) {
            std::copy(l.scales, l.scales + l.n, f.scales);
            std::copy(l.rolling_mean, l.rolling_mean + l.n, f.rolling_mean);
            std::copy(l.rolling_variance, l.rolling_variance + l.n, f.rolling_variance);
        }
    }
    EXPECT_EQ(resize_network(&net, 12, 10), 0);
    EXPECT_EQ(net.w, 12);
    EXPECT_EQ(net.h, 10);
    EXPECT_EQ(net.layers[1].out_w, 12);
    EXPECT_EQ(net.layers[1].out_h, 10);
    EXPECT_EQ(get_network_output_size(net), 12 * 10 * 2);
    std::vector<float> input(12 * 10 * 2);
    randomise(input.data(), (int)input.size(), 0, 1);
    const float *a = network_predict(net, input.data());
    std::vector<float> resized(a, a + 240);
    const float *b = network_predict(fresh, input.data());
    for (int i = 0; i < 240; ++i) EXPECT_FLOAT_EQ(resized[i], b[i]) << i;
    free_network(net);
    free_network(fresh);
}

TEST(NetworkRecord, BaseArgsCarryTheInputSizeAndAugmentation)
{
    network net = test_network(1);
    net.w = 320;
    net.h = 256;
    net.min_crop = 100;
    net.max_crop = 600;
    net.angle = 7;
    net.aspect = 1.5f;
    net.exposure = 1.2f;
    net.saturation = 1.3f;
    net.hue = .1f;
    const load_args a = get_base_args(&net);
    EXPECT_EQ(a.w, 320);
    EXPECT_EQ(a.h, 256);
    EXPECT_EQ(a.size, 320);
    EXPECT_EQ(a.min, 100);
    EXPECT_EQ(a.max, 600);
    EXPECT_EQ(a.angle, 7);
    EXPECT_EQ(a.aspect, 1.5f);
    EXPECT_EQ(a.exposure, 1.2f);
    EXPECT_EQ(a.saturation, 1.3f);
    EXPECT_EQ(a.hue, .1f);
    EXPECT_EQ(a.center, 0);
    EXPECT_EQ(a.n, 0);
    EXPECT_EQ(a.paths, nullptr);
    release_cells(net);
}

TEST(NetworkRecord, EvaluationCopySharesArraysWithBatchOne)
{
    network train = network_of({conv_layer(4, 5, 5, 2, 3, 3, LEAKY, 1, 1)}, 4);
    network eval = test_network(1);
    copy_weights_net(train, &eval);
    EXPECT_EQ(eval.layers[0].weights, train.layers[0].weights);
    EXPECT_EQ(eval.layers[0].batch, 1);
    EXPECT_EQ(eval.layers[0].steps, 1);
    EXPECT_EQ(eval.layers[0].train, 0);
    EXPECT_EQ(train.layers[0].batch, 4);
    release_cells(eval);
    free_network(train);
}

TEST(NetworkRecord, SetBatchChangesEveryLayerAndSizesTheWorkspace)
{
    network net = network_of({conv_layer(4, 5, 5, 2, 3, 3, LEAKY, 0, 0), conv_layer(4, 5, 5, 3, 2, 3, LEAKY, 0, 0)}, 4);
    set_batch_network(&net, 2);
    EXPECT_EQ(net.batch, 2);
    EXPECT_EQ(net.layers[0].batch, 2);
    EXPECT_EQ(net.layers[1].batch, 2);
    EXPECT_EQ(net.layers[1].workspace_size, (size_t)3 * 5 * 5 * 9 * sizeof(float));
    EXPECT_NE(net.workspace, nullptr);
    free_network(net);
}

TEST(Execution, ForwardPassAllocatesNothing)
{
#ifndef QUILLON_COUNTING_ALLOCATOR
    GTEST_SKIP() << "the sanitizer's allocator is not counted";
#else
    network net = network_of({conv_layer(2, 9, 9, 3, 8, 3, LEAKY, 1, 0), conv_layer(2, 9, 9, 8, 4, 1, MISH, 0, 0),
                              conv_layer(2, 9, 9, 4, 4, 3, LINEAR, 1, 0)},
                             2);
    std::vector<float> input(2 * net.layers[0].inputs, .5f);
    network_predict(net, input.data());
    counted_allocations = 0;
    counting_allocations = true;
    for (int i = 0; i < 3; ++i) network_predict(net, input.data());
    counting_allocations = false;
    EXPECT_EQ(counted_allocations, 0);
    fuse_conv_batchnorm(net);
    counted_allocations = 0;
    counting_allocations = true;
    network_predict(net, input.data());
    counting_allocations = false;
    EXPECT_EQ(counted_allocations, 0);
    free_network(net);
#endif
}
