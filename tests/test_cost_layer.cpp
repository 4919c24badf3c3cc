// Cost layer: every cost type against its formula, the mask marker, the scaled backward sum, the
// type names with their fallback, resize and the table row.
#include "cost_layer.h"
#include "layer.h"
#include "option_list.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

network_state make_state(float *input, float *truth, float *delta)
{
    network_state s = {};
    s.input = input;
    s.truth = truth;
    s.delta = delta;
    s.train = 1;
    return s;
}

layer make_quiet(int batch, int inputs, COST_TYPE type, float scale)
{
    testing::internal::CaptureStderr();
    layer l = make_cost_layer(batch, inputs, type, scale);
    testing::internal::GetCapturedStderr();
    return l;
}

struct Expected {
    double error, delta;
};

Expected sse(double p, double t) { return {(t - p) * (t - p), t - p}; }
Expected smooth(double p, double t)
{
    const double d = t - p;
    if (fabs(d) < 1) return {d * d, d};
    return {2 * fabs(d) - 1, d > 0 ? 1.0 : -1.0};
}

TEST(Cost, ConstructorPrintsRow)
{
    testing::internal::CaptureStderr();
    layer l = make_cost_layer(2, 17, SSE, 1);
    EXPECT_EQ("cost                                             17\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(COST, l.type);
    EXPECT_EQ(17, l.outputs);
    free_layer(l);
}

TEST(Cost, EveryTypeMatchesItsFormula)
{
    struct Case {
        COST_TYPE type;
        Expected (*formula)(double, double);
    } cases[] = {{SSE, sse}, {SMOOTH, smooth}, {MASKED, sse}};
    const int batch = 2, inputs = 6;
    const std::vector<float> pred0 = {0.1f, -2.5f, 3.f, 0.5f, 7.f, -0.2f, 1.f, 1.5f, -1.f, 0.f, 0.9f, 4.f};
    const std::vector<float> truth = {0.3f, 0.f, -1234.f, 1.f, 2.f, -0.7f, 1.f, -1234.f, 1.5f, 0.25f, 0.9f, -3.f};
    for (const Case &c : cases) {
        layer l = make_quiet(batch, inputs, c.type, 0.5f);
        std::vector<float> pred = pred0;
        forward_cost_layer(l, make_state(pred.data(), (float *)truth.data(), nullptr));
        double cost = 0;
        for (int i = 0; i < batch * inputs; ++i) {
            const bool masked = c.type == MASKED && truth[i] == -1234.f;
            // A masked value is moved onto its truth, so it has no error.
            EXPECT_EQ(masked ? -1234.f : pred0[i], pred[i]) << i;
            const Expected e = masked ? Expected{0, 0} : c.formula(pred0[i], truth[i]);
            EXPECT_NEAR(e.error, l.output[i], 1e-5) << c.type << " at " << i;
            EXPECT_NEAR(e.delta, l.delta[i], 1e-6) << c.type << " at " << i;
            cost += e.error;
        }
        EXPECT_NEAR(cost, l.cost[0], 1e-6 * cost + 1e-4) << c.type;

        std::vector<float> prev(batch * inputs, 1.f);
        backward_cost_layer(l, make_state(pred.data(), nullptr, prev.data()));
        for (int i = 0; i < batch * inputs; ++i) EXPECT_FLOAT_EQ(1.f + 0.5f * l.delta[i], prev[i]);
        free_layer(l);
    }
}

TEST(Cost, WithoutTruthNothingIsComputed)
{
    layer l = make_quiet(1, 3, SSE, 1);
    float in[3] = {1, 2, 3};
    l.cost[0] = 5;
    forward_cost_layer(l, make_state(in, nullptr, nullptr));
    EXPECT_EQ(5.f, l.cost[0]);
    free_layer(l);
}

TEST(Cost, TypeNamesAndFallback)
{
    EXPECT_EQ(SSE, get_cost_type("sse"));
    EXPECT_EQ(MASKED, get_cost_type("masked"));
    EXPECT_EQ(SMOOTH, get_cost_type("smooth"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(SSE, get_cost_type("L1"));
    EXPECT_EQ("Couldn't find cost type L1, going with SSE\n", testing::internal::GetCapturedStderr());
}

TEST(Cost, ParserReadsTypeAndScale)
{
    size_params p = {};
    p.batch = 3;
    p.inputs = 4;
    list *options = make_list();
    read_option(copy_string("type=smooth"), options);
    read_option(copy_string("scale=2.5"), options);
    testing::internal::CaptureStderr();
    layer l = parse_cost(options, p);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(SMOOTH, l.cost_type);
    EXPECT_EQ(2.5f, l.scale);
    EXPECT_EQ(3, l.batch);
    free_layer(l);
    free_options(options);

    list *empty = make_list();
    testing::internal::CaptureStderr();
    l = parse_cost(empty, p);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("type: Using default 'sse'")) << err;
    EXPECT_EQ(SSE, l.cost_type);
    EXPECT_EQ(1.f, l.scale);
    free_layer(l);
    free_options(empty);
}

TEST(Cost, ResizeAndTableRow)
{
    layer l = make_quiet(2, 3, SSE, 1);
    const layer_kind *k = get_layer_kind(COST);
    EXPECT_EQ(COST, string_to_layer_type("[cost]"));
    EXPECT_EQ(parse_cost, k->parse);
    k->resize(&l, 9, 9, 40, nullptr);
    EXPECT_EQ(40, l.inputs);
    EXPECT_EQ(40, l.outputs);
    l.delta[79] = l.output[79] = 1;
    free_layer(l);
}

} // namespace
