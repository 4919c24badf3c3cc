// Routing and merging layers: route (several inputs, channel groups), shortcut (several inputs of
// other sizes, weighted and normalised), scale_channels and sam, against direct references and
// finite differences, with resize, the table rows, the weights-file arrays and the fatal paths.
#include "route_layer.h"
#include "sam_layer.h"
#include "scale_channels_layer.h"
#include "shortcut_layer.h"

#include "layer_test_support.h"

#include <algorithm>
#include <cstdio>

namespace {

// Stand-ins for earlier layers: only shape, output and delta are read.
struct Earlier {
    std::vector<layer> layers;
    std::vector<std::vector<float>> outputs, deltas;
    explicit Earlier(int n) : layers(n), outputs(n), deltas(n) {}
    void set(int i, int w, int h, int c, int batch)
    {
        layer &l = layers[i];
        l = layer{};
        l.w = l.out_w = w;
        l.h = l.out_h = h;
        l.c = l.out_c = c;
        l.outputs = w * h * c;
        l.batch = batch;
        outputs[i] = random_vector((size_t)l.outputs * batch);
        deltas[i].assign(outputs[i].size(), 0.f);
        l.output = outputs[i].data();
        l.delta = deltas[i].data();
    }
};

size_params at(int index, const layer &prev, int batch, Earlier &e)
{
    size_params p = params_for(prev.out_h, prev.out_w, prev.out_c, batch, index, e.layers.data());
    p.inputs = prev.outputs;
    return p;
}

TEST(Route, ConcatenatesChannelGroupsAndAddsGradientsBack)
{
    const int batch = 2;
    Earlier e(4);
    e.set(0, 5, 3, 4, batch);
    e.set(1, 5, 3, 6, batch);
    e.set(2, 5, 3, 2, batch);
    e.set(3, 5, 3, 2, batch);
    Options o({{"layers", "-4, 1,-2"}, {"groups", "2"}, {"group_id", "1"}});
    layer l;
    const std::string row = stderr_of([&] { l = parse_route(o.l, at(4, e.layers[3], batch, e)); });
    EXPECT_EQ(row, "route  0 1 2 \t                       1/2 ->    5 x   3 x   6 \n");
    ASSERT_EQ(l.outputs, 5 * 3 * 6);
    forward_route_layer(l, state_for(nullptr, nullptr, 1, e.layers.data()));
    // Channel group 1 of each input, in input order.
    const int spatial = 15;
    for (int b = 0; b < batch; ++b) {
        int oc = 0;
        for (int in : {0, 1, 2}) {
            const int c = e.layers[in].out_c;
            for (int k = c / 2; k < c; ++k, ++oc)
                for (int i = 0; i < spatial; ++i)
                    ASSERT_EQ(l.output[(b * 6 + oc) * spatial + i], e.outputs[in][(b * c + k) * spatial + i]);
        }
    }
    for (int i = 0; i < l.outputs * batch; ++i) l.delta[i] = (float)i;
    for (int in : {0, 1, 2}) std::fill(e.deltas[in].begin(), e.deltas[in].end(), 1.f);
    backward_route_layer(l, state_for(nullptr, nullptr, 1, e.layers.data()));
    for (int b = 0; b < batch; ++b) {
        int oc = 0;
        for (int in : {0, 1, 2}) {
            const int c = e.layers[in].out_c;
            for (int k = 0; k < c; ++k)
                for (int i = 0; i < spatial; ++i) {
                    const float got = e.deltas[in][(b * c + k) * spatial + i];
                    if (k < c / 2) ASSERT_EQ(got, 1.f);
                    else ASSERT_EQ(got, 1.f + l.delta[(b * 6 + oc + k - c / 2) * spatial + i]);
                }
            oc += c / 2;
        }
    }
    free_layer(l);
}

TEST(Route, SingleInputHalfAndDifferentSizes)
{
    Earlier e(3);
    e.set(0, 26, 26, 256, 1);
    e.set(1, 13, 13, 8, 1);
    e.set(2, 26, 26, 4, 1);
    {
        Options o({{"layers", "0"}, {"groups", "2"}, {"group_id", "1"}});
        layer l;
        const std::string row = stderr_of([&] { l = parse_route(o.l, at(3, e.layers[2], 1, e)); });
        EXPECT_EQ(row, "route  0 \t\t                       1/2 ->   26 x  26 x 128 \n");
        forward_route_layer(l, state_for(nullptr, nullptr, 0, e.layers.data()));
        EXPECT_EQ(0, memcmp(l.output, e.outputs[0].data() + 128 * 26 * 26, 128 * 26 * 26 * sizeof(float)));
        free_layer(l);
    }
    {
        Options o({{"layers", "0,1,2"}});
        layer l;
        const std::string row = stderr_of([&] { l = parse_route(o.l, at(3, e.layers[2], 1, e)); });
        EXPECT_EQ(row, "route  0 1 2 The width and height of the input layers are different. \n"
                       " \t                           ->    0 x   0 x   4 \n");
        EXPECT_EQ(l.outputs, 26 * 26 * 260 + 13 * 13 * 8);
        free_layer(l);
    }
}

TEST(Route, ResizeFollowsTheInputs)
{
    Earlier e(2);
    e.set(0, 4, 4, 3, 1);
    e.set(1, 4, 4, 5, 1);
    Options o({{"layers", "-1,-2"}});
    layer l;
    stderr_of([&] { l = parse_route(o.l, at(2, e.layers[1], 1, e)); });
    e.set(0, 7, 2, 3, 1);
    e.set(1, 7, 2, 5, 1);
    network net = {};
    net.layers = e.layers.data();
    resize_route_layer(&l, &net);
    EXPECT_EQ(l.out_w, 7);
    EXPECT_EQ(l.out_h, 2);
    EXPECT_EQ(l.out_c, 8);
    EXPECT_EQ(l.outputs, 7 * 2 * 8);
    EXPECT_EQ(l.input_sizes[0], 7 * 2 * 5);
    forward_route_layer(l, state_for(nullptr, nullptr, 0, e.layers.data()));
    EXPECT_EQ(0, memcmp(l.output, e.outputs[1].data(), 70 * sizeof(float)));
    e.set(0, 6, 2, 3, 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(resize_route_layer(&l, &net), ::testing::ExitedWithCode(1),
                "");
    free_layer(l);
}

TEST(RoutingDeathTest, BadIndexesAndMissingKeysStop)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Earlier e(3);
    for (int i = 0; i < 3; ++i) e.set(i, 4, 4, 2, 1);
    const size_params p = at(3, e.layers[2], 1, e);
    Options none({});
    EXPECT_EXIT(parse_route(none.l, p), ::testing::ExitedWithCode(1), "Route Layer must specify input layers");
    Options ahead({{"layers", "-1,3"}});
    EXPECT_EXIT(parse_route(ahead.l, p), ::testing::ExitedWithCode(1),
                "\\[route\\] layer 3 refers to layer 3");
    Options behind({{"layers", "-4"}});
    EXPECT_EXIT(parse_route(behind.l, p), ::testing::ExitedWithCode(1), "\\[route\\] layer 3 refers to layer -4");
    Options group({{"layers", "0"}, {"groups", "2"}, {"group_id", "2"}});
    EXPECT_EXIT(parse_route(group.l, p), ::testing::ExitedWithCode(1), "group_id");
    EXPECT_EXIT(parse_shortcut(none.l, p, p.net), ::testing::ExitedWithCode(1),
                "Route Layer must specify input layers: from = ...");
    Options far({{"from", "-9"}});
    EXPECT_EXIT(parse_shortcut(far.l, p, p.net), ::testing::ExitedWithCode(1), "\\[shortcut\\] layer 3 refers to layer -9");
    EXPECT_EXIT(parse_scale_channels(far.l, p, p.net), ::testing::ExitedWithCode(1),
                "\\[scale_channels\\] layer 3 refers to layer -9");
    EXPECT_EXIT(parse_sam(far.l, p, p.net), ::testing::ExitedWithCode(1), "\\[sam\\] layer 3 refers to layer -9");
    EXPECT_EXIT(parse_sam(none.l, p, p.net), ::testing::ExitedWithCode(1), "\\[sam\\] layer 3 must specify");
    // Shapes that cannot be combined element by element.
    e.set(0, 4, 4, 3, 1);
    Options src({{"from", "0"}});
    EXPECT_EXIT(parse_sam(src.l, p, p.net), ::testing::ExitedWithCode(1), "\\[sam\\] layer 3: input");
    EXPECT_EXIT(parse_scale_channels(src.l, p, p.net), ::testing::ExitedWithCode(1),
                "\\[scale_channels\\] layer 3: 4 x 4 x 2 factors do not fit");
    Options wt({{"from", "0"}, {"weights_type", "sideways"}});
    EXPECT_EXIT(stderr_of([&] { parse_shortcut(wt.l, p, p.net); }), ::testing::ExitedWithCode(0), "");
}

// Direct weighted sum of the shortcut for one image: weights w[k * step + channel], normalised.
std::vector<float> direct_shortcut(const layer &l, const float *in, const Earlier &e, int wn)
{
    const int spatial = l.out_w * l.out_h;
    std::vector<float> out((size_t)l.outputs * l.batch, 0.f);
    const int step = l.nweights ? l.nweights / (l.n + 1) : 0;
    for (int b = 0; b < l.batch; ++b)
        for (int i = 0; i < l.outputs; ++i) {
            const int ch = step > 1 ? i / spatial : 0;
            std::vector<double> w(l.n + 1, 1.0);
            if (l.nweights) {
                for (int k = 0; k <= l.n; ++k) w[k] = l.weights[k * step + ch];
                if (wn == 1) {
                    double sum = .0001;
                    for (double &v : w) sum += std::max(v, 0.0);
                    for (double &v : w) v = std::max(v, 0.0) / sum;
                } else if (wn == 2) {
                    const double m = *std::max_element(w.begin(), w.end());
                    double sum = .0001;
                    for (double v : w) sum += exp(v - m);
                    for (double &v : w) v = exp(v - m) / sum;
                }
            }
            double s = w[0] * in[b * l.outputs + i];
            for (int k = 0; k < l.n; ++k) {
                const layer &from = e.layers[l.input_layers[k]];
                if (i < from.outputs) s += w[k + 1] * e.outputs[l.input_layers[k]][b * from.outputs + i];
            }
            out[b * l.outputs + i] = (float)s;
        }
    return out;
}

struct ShortcutCase {
    const char *weights_type, *normalization;
    int wn;
};

class ShortcutWeights : public ::testing::TestWithParam<ShortcutCase> {};

TEST_P(ShortcutWeights, SumOverInputsOfOtherSizes)
{
    const ShortcutCase sc = GetParam();
    const int batch = 2;
    Earlier e(4);
    e.set(0, 6, 5, 4, batch);  // same size
    e.set(1, 3, 2, 4, batch);  // smaller: adds into the first positions only
    e.set(2, 6, 5, 7, batch);  // more channels: the surplus is ignored
    e.set(3, 6, 5, 4, batch);
    Options o({{"from", "0,-3, 2"},
               {"weights_type", sc.weights_type},
               {"weights_normalization", sc.normalization},
               {"activation", "linear"}});
    layer l;
    network net = {};
    net.layers = e.layers.data();
    const std::string row2 = stderr_of([&] { l = parse_shortcut(o.l, at(4, e.layers[3], batch, e), net); });
    EXPECT_EQ(row2.substr(0, 24), "Shortcut Layer: 0, 1, 2,");
    EXPECT_NE(row2.find(" (   6 x   5 x   4) + (   3 x   2 x   4) \n"), std::string::npos) << row2;
    EXPECT_EQ(l.weights_normalization, sc.wn);
    for (int i = 0; i < l.nweights; ++i) l.weights[i] = random_uniform(-1, 2);
    std::vector<float> input = e.outputs[3];
    forward_shortcut_layer(l, state_for(input.data(), nullptr, 1, e.layers.data()));
    const auto expected = direct_shortcut(l, input.data(), e, sc.wn);
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(l.output[i], expected[i], 1e-5) << i;

    // Without normalisation the backward pass is the exact gradient for every input.
    if (sc.wn == 0) {
        const auto probe = random_vector(expected.size());
        auto output_of = [&] {
            forward_shortcut_layer(l, state_for(input.data(), nullptr, 1, e.layers.data()));
            return (const float *)l.output;
        };
        const auto d_input = numeric_gradient(input, probe, output_of);
        const auto d_from1 = numeric_gradient(e.outputs[1], probe, output_of);
        std::vector<float> weights(l.weights, l.weights + l.nweights);
        std::vector<double> d_weights;
        if (l.nweights) {
            d_weights = numeric_gradient(weights, probe, [&] {
                std::copy(weights.begin(), weights.end(), l.weights);
                return output_of();
            });
            std::copy(weights.begin(), weights.end(), l.weights);
        }
        output_of();
        std::copy(probe.begin(), probe.end(), l.delta);
        std::vector<float> delta(input.size(), 0.f);
        if (l.weight_updates) std::fill(l.weight_updates, l.weight_updates + l.nweights, 0.f);
        backward_shortcut_layer(l, state_for(input.data(), delta.data(), 1, e.layers.data()));
        expect_close(d_input, delta.data(), 2e-3, "input gradient");
        expect_close(d_from1, e.deltas[1].data(), 2e-3, "gradient of the smaller input");
        if (l.nweights) expect_close(d_weights, l.weight_updates, 5e-3, "weight gradient");
    }
    free_layer(l);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ShortcutWeights,
                         ::testing::Values(ShortcutCase{"none", "none", 0}, ShortcutCase{"per_feature", "none", 0},
                                           ShortcutCase{"per_channel", "none", 0},
                                           ShortcutCase{"per_layer", "avg_relu", 1},
                                           ShortcutCase{"per_channel", "relu", 1},
                                           ShortcutCase{"per_channel", "softmax", 2}));

TEST(Shortcut, PlainSumRowUpdateWeightsFileAndResize)
{
    Earlier e(2);
    e.set(0, 4, 3, 2, 1);
    e.set(1, 4, 3, 2, 1);
    network net = {};
    net.layers = e.layers.data();
    Options o({{"from", "-2"}, {"weights_type", "per_channel"}});
    layer l;
    const std::string row = stderr_of([&] { l = parse_shortcut(o.l, at(2, e.layers[1], 1, e), net); });
    EXPECT_EQ(row, "activation: Using default 'linear'\n"
                   "Shortcut Layer: 0,  wt = 2, wn = 0, outputs:   4 x   3 x   2 0.000 BF\n");
    EXPECT_EQ(l.nweights, 4);
    EXPECT_EQ(l.index, 0);

    for (int i = 0; i < 4; ++i) {
        l.weights[i] = (float)i;
        l.weight_updates[i] = 1;
    }
    update_shortcut_layer(l, 2, .1f, .5f, .01f);
    for (int i = 0; i < 4; ++i) {
        const float u = 1 - .01f * 2 * i;
        EXPECT_NEAR(l.weights[i], i + .1f / 2 * u, 1e-6);
        EXPECT_NEAR(l.weight_updates[i], .5f * u, 1e-6);
    }

    FILE *fp = tmpfile();
    testing::internal::CaptureStdout();
    save_shortcut_weights(l, fp);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find(" l.nweights = 4 \n\n"), std::string::npos);
    EXPECT_EQ(ftell(fp), 16);
    const std::vector<float> saved(l.weights, l.weights + 4);
    std::fill(l.weights, l.weights + 4, 0.f);
    rewind(fp);
    load_shortcut_weights(l, fp);
    EXPECT_EQ(std::vector<float>(l.weights, l.weights + 4), saved);
    fclose(fp);

    e.set(0, 8, 5, 2, 1);
    resize_shortcut_layer(&l, 8, 5, &net);
    EXPECT_EQ(l.outputs, 80);
    EXPECT_EQ(l.input_sizes[0], 80);
    EXPECT_EQ(l.layers_output[0], e.outputs[0].data());
    free_layer(l);

    // An unweighted shortcut stores nothing.
    layer plain;
    Options p({{"from", "0"}, {"activation", "leaky"}});
    stderr_of([&] { plain = parse_shortcut(p.l, at(2, e.layers[1], 1, e), net); });
    FILE *empty = tmpfile();
    save_shortcut_weights(plain, empty);
    EXPECT_EQ(ftell(empty), 0);
    fclose(empty);
    free_layer(plain);
}

TEST(ScaleChannels, PerChannelAndPerPositionWithGradients)
{
    const int batch = 2;
    for (int scale_wh : {0, 1}) {
        Earlier e(2);
        e.set(0, 5, 4, 3, batch);
        if (scale_wh) e.set(1, 5, 4, 1, batch);
        else e.set(1, 1, 1, 3, batch);
        network net = {};
        net.layers = e.layers.data();
        Options o({{"from", "0"}, {"scale_wh", scale_wh ? "1" : "0"}, {"activation", "logistic"}});
        layer l;
        EXPECT_EQ(stderr_of([&] { l = parse_scale_channels(o.l, at(2, e.layers[1], batch, e), net); }),
                  "scale Layer: 0\n");
        std::vector<float> factors = e.outputs[1];
        forward_scale_channels_layer(l, state_for(factors.data(), nullptr, 1, e.layers.data()));
        for (int b = 0; b < batch; ++b)
            for (int k = 0; k < 3; ++k)
                for (int i = 0; i < 20; ++i) {
                    const float f = scale_wh ? factors[b * 20 + i] : factors[b * 3 + k];
                    const float x = f * e.outputs[0][(b * 3 + k) * 20 + i];
                    ASSERT_NEAR(l.output[(b * 3 + k) * 20 + i], 1 / (1 + exp(-x)), 1e-6);
                }
        const auto probe = random_vector((size_t)l.outputs * batch);
        auto output_of = [&] {
            forward_scale_channels_layer(l, state_for(factors.data(), nullptr, 1, e.layers.data()));
            return (const float *)l.output;
        };
        const auto d_factors = numeric_gradient(factors, probe, output_of, 1e-3f);
        const auto d_source = numeric_gradient(e.outputs[0], probe, output_of, 1e-3f);
        output_of();
        std::copy(probe.begin(), probe.end(), l.delta);
        std::vector<float> delta(factors.size(), 0.f);
        backward_scale_channels_layer(l, state_for(factors.data(), delta.data(), 1, e.layers.data()));
        expect_close(d_factors, delta.data(), 1e-3, "factor gradient");
        expect_close(d_source, e.deltas[0].data(), 1e-3, "source gradient");

        e.set(0, 8, 2, 3, batch);
        resize_scale_channels_layer(&l, &net);
        EXPECT_EQ(l.out_w, 8);
        EXPECT_EQ(l.outputs, 48);
        free_layer(l);
    }
}

TEST(Sam, ProductGradientsAndOverwrittenSourceDelta)
{
    const int batch = 2;
    Earlier e(2);
    e.set(0, 3, 4, 2, batch);
    e.set(1, 3, 4, 2, batch);
    network net = {};
    net.layers = e.layers.data();
    Options o({{"from", "-2"}});
    layer l;
    EXPECT_EQ(stderr_of([&] { l = parse_sam(o.l, at(2, e.layers[1], batch, e), net); }), "scale Layer: 0\n");
    std::vector<float> input = e.outputs[1];
    forward_sam_layer(l, state_for(input.data(), nullptr, 1, e.layers.data()));
    for (size_t i = 0; i < input.size(); ++i) ASSERT_FLOAT_EQ(l.output[i], input[i] * e.outputs[0][i]);
    const auto probe = random_vector(input.size());
    auto output_of = [&] {
        forward_sam_layer(l, state_for(input.data(), nullptr, 1, e.layers.data()));
        return (const float *)l.output;
    };
    const auto d_input = numeric_gradient(input, probe, output_of);
    const auto d_source = numeric_gradient(e.outputs[0], probe, output_of);
    output_of();
    std::fill(e.deltas[0].begin(), e.deltas[0].end(), 100.f);
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward_sam_layer(l, state_for(input.data(), delta.data(), 1, e.layers.data()));
    expect_close(d_input, delta.data(), 1e-3, "input gradient");
    expect_close(d_source, e.deltas[0].data(), 1e-3, "source gradient (replaced, not added)");
    resize_sam_layer(&l, 5, 5);
    EXPECT_EQ(l.outputs, 50);
    free_layer(l);
}

} // namespace

#include "network.h"
#include "parser.h"

namespace {

// Forward and backward through a built network, checking every value stays finite.
void run_passes(network &net, bool train)
{
    const int inputs = net.layers[0].inputs * net.batch;
    std::vector<float> input = random_vector(inputs, 0, 1);
    network_state state = {};
    state.net = net;
    state.input = input.data();
    state.train = train;
    forward_network(net, state);
    const layer &last = net.layers[net.n - 1];
    for (int i = 0; i < last.outputs * net.batch; ++i) ASSERT_TRUE(std::isfinite(last.output[i])) << i;
    if (!train) return;
    for (int i = 0; i < last.outputs * net.batch; ++i) last.delta[i] = random_uniform(-1, 1);
    backward_network(net, state);
    const layer &first = net.layers[0];
    double magnitude = 0;
    for (int i = 0; i < first.outputs * net.batch; ++i) {
        ASSERT_TRUE(std::isfinite(first.delta[i]));
        magnitude += fabs(first.delta[i]);
    }
    EXPECT_GT(magnitude, 0);
}

TEST(DetectorNetwork, BuildsRunsAndResizes)
{
    network net;
    testing::internal::CaptureStdout();
    const std::string table =
        stderr_of([&] { net = parse_network_cfg_custom(QUILLON_TEST_DATA "/two_scale_detector.cfg", 0, 0); });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(table.find("Type not recognized"), std::string::npos) << table;
    ASSERT_EQ(net.n, 13);
    EXPECT_EQ(net.layers[3].out_c, 8);
    EXPECT_EQ(net.layers[6].out_c, 24);
    EXPECT_EQ(net.layers[9].output, net.layers[8].output);
    EXPECT_EQ(net.layers[10].out_w, 8);
    EXPECT_EQ(net.layers[11].out_c, 40);
    EXPECT_EQ(net.layers[12].out_w, 8);
    run_passes(net, true);
    run_passes(net, false);

    stderr_of([&] { resize_network(&net, 64, 48); });
    EXPECT_EQ(net.layers[12].out_w, 16);
    EXPECT_EQ(net.layers[12].out_h, 12);
    EXPECT_EQ(net.layers[9].output, net.layers[8].output);
    run_passes(net, true);
    free_network(net);
}

TEST(DetectorNetworkDeathTest, ShortcutAcrossTheEndOfTheNetworkStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = QUILLON_BINARY_DIR "/bad_shortcut.cfg";
    FILE *fp = fopen(path.c_str(), "w");
    fputs("[net]\nwidth=8\nheight=8\nchannels=3\n[convolutional]\nfilters=4\nsize=1\n[shortcut]\nfrom=5\n", fp);
    fclose(fp);
    EXPECT_EXIT(parse_network_cfg_custom(path.c_str(), 1, 1), ::testing::ExitedWithCode(1),
                "\\[shortcut\\] layer 1 refers to layer 5");
}

} // namespace
