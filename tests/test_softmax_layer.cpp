// Softmax layer: equal groups and the groups of a class hierarchy each sum to one and match a
// direct softmax (with temperature), the cross-entropy delta and cost, noloss, the backward sum,
// the cfg keys and the table row.
#include "layer.h"
#include "option_list.h"
#include "softmax_layer.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<float> random_vector(size_t n, float lo = -3, float hi = 3)
{
    std::vector<float> v(n);
    for (auto &x : v) x = random_uniform(lo, hi);
    return v;
}

network_state make_state(float *input, float *truth, float *delta)
{
    network_state s = {};
    s.input = input;
    s.truth = truth;
    s.delta = delta;
    s.train = 1;
    return s;
}

list *options_of(std::initializer_list<std::string> lines)
{
    list *options = make_list();
    for (const std::string &line : lines) read_option(copy_string(line.c_str()), options);
    return options;
}

layer parse_with(std::initializer_list<std::string> lines, int batch, int inputs, bool quiet)
{
    size_params p = {};
    p.batch = batch;
    p.inputs = inputs;
    p.w = 3;
    p.h = 2;
    p.c = 7;
    list *options = options_of(lines);
    if (quiet) testing::internal::CaptureStderr();
    layer l = parse_softmax(options, p);
    if (quiet) testing::internal::GetCapturedStderr();
    free_options(options);
    return l;
}

layer parse_quiet(std::initializer_list<std::string> lines, int batch, int inputs)
{
    return parse_with(lines, batch, inputs, true);
}

// Direct softmax of x[begin, end) with temperature t, in double precision.
void expect_softmax_run(const float *x, const float *y, int begin, int end, double t)
{
    double largest = -1e30, sum = 0, total = 0;
    for (int i = begin; i < end; ++i) largest = std::max(largest, (double)x[i]);
    for (int i = begin; i < end; ++i) sum += exp((x[i] - largest) / t);
    for (int i = begin; i < end; ++i) {
        EXPECT_NEAR(exp((x[i] - largest) / t) / sum, y[i], 1e-6) << i;
        total += y[i];
    }
    EXPECT_NEAR(1.0, total, 1e-5) << "run " << begin << ".." << end;
}

TEST(Softmax, ConstructorPrintsRow)
{
    testing::internal::CaptureStderr();
    layer l = make_softmax_layer(2, 10, 1);
    EXPECT_EQ("softmax                                          10\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(SOFTMAX, l.type);
    EXPECT_EQ(10, l.outputs);
    EXPECT_EQ(1.f, l.temperature);
    ASSERT_NE(nullptr, l.cost);
    free_layer(l);
}

TEST(Softmax, EqualGroupsWithTemperatureEachSumToOne)
{
    struct Case {
        int inputs, groups;
        float temperature;
    } cases[] = {{10, 1, 1}, {10, 2, 1}, {10, 2, 2}, {12, 3, 0.5f}, {1, 1, 1}};
    for (const Case &c : cases) {
        const int batch = 3;
        layer l = parse_quiet({"groups=" + std::to_string(c.groups), "temperature=" + std::to_string(c.temperature)},
                              batch, c.inputs);
        EXPECT_EQ(c.temperature, l.temperature);
        auto in = random_vector((size_t)batch * c.inputs);
        forward_softmax_layer(l, make_state(in.data(), nullptr, nullptr));
        const int run = c.inputs / c.groups;
        for (int b = 0; b < batch; ++b)
            for (int g = 0; g < c.groups; ++g) {
                const int begin = b * c.inputs + g * run;
                expect_softmax_run(in.data(), l.output, begin, begin + run, c.temperature);
            }
        free_layer(l);
    }
}

TEST(Softmax, TemperatureFlattensTheDistribution)
{
    layer l = parse_quiet({}, 1, 4);
    float in[4] = {1, 2, 3, 4};
    forward_softmax_layer(l, make_state(in, nullptr, nullptr));
    const float sharp = l.output[3];
    l.temperature = 2;
    forward_softmax_layer(l, make_state(in, nullptr, nullptr));
    EXPECT_LT(l.output[3], sharp);
    EXPECT_NEAR(exp(2.0) / (exp(0.5) + exp(1.0) + exp(1.5) + exp(2.0)), l.output[3], 1e-6);
    free_layer(l);
}

class HierarchyFile : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = testing::TempDir() + "softmax_hierarchy_" + std::to_string(getpid()) + ".tree";
        FILE *f = fopen(path_.c_str(), "w");
        ASSERT_NE(nullptr, f);
        // Three roots, two children of node 0, four children of node 1: groups of 3, 2 and 4.
        fputs("animal -1\nplant -1\nrock -1\ncat 0\ndog 0\noak 1\nfir 1\nelm 1\nash 1\n", f);
        fclose(f);
    }
    void TearDown() override { remove(path_.c_str()); }
    std::string path_;
};

TEST_F(HierarchyFile, EveryGroupSumsToOne)
{
    const int batch = 2, inputs = 11;  // two trailing inputs lie outside the hierarchy
    layer l = parse_quiet({"tree=" + path_}, batch, inputs);
    ASSERT_NE(nullptr, l.softmax_tree);
    ASSERT_EQ(3, l.softmax_tree->groups);
    auto in = random_vector((size_t)batch * inputs);
    std::vector<float> untouched(l.output, l.output + batch * inputs);
    forward_softmax_layer(l, make_state(in.data(), nullptr, nullptr));
    const int bounds[] = {0, 3, 5, 9};
    for (int b = 0; b < batch; ++b) {
        for (int g = 0; g < 3; ++g)
            expect_softmax_run(in.data(), l.output, b * inputs + bounds[g], b * inputs + bounds[g + 1], 1);
        EXPECT_EQ(untouched[b * inputs + 9], l.output[b * inputs + 9]);
        EXPECT_EQ(untouched[b * inputs + 10], l.output[b * inputs + 10]);
    }
    free_layer(l);  // releases the hierarchy too
}

TEST_F(HierarchyFile, HierarchyLargerThanTheInputIsRejected)
{
    EXPECT_EXIT(parse_with({"tree=" + path_}, 1, 8, false), testing::ExitedWithCode(1),
                "Hierarchy .* has 9 classes, more than the 8 inputs");
}

TEST(Softmax, NoGroupsIsRejected)
{
    EXPECT_EXIT(parse_with({"groups=0"}, 1, 8, false), testing::ExitedWithCode(1), "softmax groups must be at least 1");
}

TEST(Softmax, TruthGivesCrossEntropyDeltaAndCost)
{
    const int batch = 2, inputs = 5;
    layer l = parse_quiet({}, batch, inputs);
    auto in = random_vector(batch * inputs);
    std::vector<float> truth(batch * inputs, 0.f);
    truth[2] = 1;
    truth[inputs + 4] = 0.75f;
    truth[inputs + 0] = 0.25f;
    forward_softmax_layer(l, make_state(in.data(), truth.data(), nullptr));
    double cost = 0;
    for (int i = 0; i < batch * inputs; ++i) {
        EXPECT_NEAR(truth[i] - l.output[i], l.delta[i], 1e-7);
        if (truth[i]) cost += -log((double)l.output[i]);
    }
    EXPECT_NEAR(cost, l.cost[0], 1e-5);

    std::vector<float> prev(batch * inputs, 0.5f);
    backward_softmax_layer(l, make_state(in.data(), nullptr, prev.data()));
    for (int i = 0; i < batch * inputs; ++i) EXPECT_FLOAT_EQ(0.5f + l.delta[i], prev[i]);
    free_layer(l);
}

TEST(Softmax, NolossLeavesDeltaAndCost)
{
    layer l = parse_quiet({"noloss=1", "spatial=1"}, 1, 4);
    EXPECT_EQ(1, l.noloss);
    EXPECT_EQ(1.f, l.spatial);
    EXPECT_EQ(7, l.c);
    float in[4] = {0, 1, 2, 3}, truth[4] = {0, 0, 1, 0};
    l.cost[0] = 42;
    forward_softmax_layer(l, make_state(in, truth, nullptr));
    EXPECT_EQ(42.f, l.cost[0]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0.f, l.delta[i]);
    free_layer(l);
}

TEST(Softmax, TableRow)
{
    EXPECT_EQ(SOFTMAX, string_to_layer_type("[softmax]"));
    EXPECT_EQ(SOFTMAX, string_to_layer_type("[soft]"));
    const layer_kind *k = get_layer_kind(SOFTMAX);
    EXPECT_EQ(parse_softmax, k->parse);
    EXPECT_EQ(nullptr, k->read_weights);
    EXPECT_EQ(nullptr, k->resize);
}

} // namespace
