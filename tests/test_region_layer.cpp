// The "[region]" head: decoding of hand-built raw values (flat and hierarchical classes) through the
// network's extraction, the loss deltas against finite differences of the loss they descend, and
// the assignment of a truth to its anchor, the ignored predictions and the early anchor prior.
#include "region_layer.h"

#include "detection_fixtures.h"
#include "layer.h"
#include "network.h"
#include "parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

float logit(float p) { return std::log(p / (1 - p)); }

std::vector<float> random_vector_for_region(int n)
{
    std::vector<float> v(n);
    srand(7);
    for (float &x : v) x = (float)rand() / RAND_MAX - .5f;
    return v;
}

network build(const std::string &name, const std::string &cfg)
{
    const std::string path = write_text_file(name, cfg);
    return parse_network_cfg_custom(path.c_str(), 1, 0);
}

// Planar input value of field f of anchor a at cell (col, row) of a w x h head.
float &planar(std::vector<float> &in, const layer &l, int a, int f, int col, int row)
{
    return in[(size_t)(a * (l.coords + l.classes + 1) + f) * l.w * l.h + row * l.w + col];
}

TEST(RegionHead, DecodesSoftmaxClassesThroughTheNetwork)
{
    network net = build("region_flat.cfg", "[net]\nwidth=2\nheight=2\nchannels=16\nbatch=1\n\n[region]\nclasses=3\n"
                                           "coords=4\nnum=2\nsoftmax=1\nanchors=1,1, 2,3\n");
    const layer &l = net.layers[0];
    ASSERT_EQ(l.type, REGION);
    std::vector<float> in(l.inputs, 0.f);
    for (int a = 0; a < 2; ++a)
        for (int i = 0; i < 4; ++i) planar(in, l, a, 4, i % 2, i / 2) = -20;
    planar(in, l, 1, 0, 1, 0) = 0;
    planar(in, l, 1, 1, 1, 0) = logit(.25f);
    planar(in, l, 1, 2, 1, 0) = std::log(.5f);
    planar(in, l, 1, 3, 1, 0) = 0;
    planar(in, l, 1, 4, 1, 0) = logit(.9f);
    planar(in, l, 1, 5, 1, 0) = 0;
    planar(in, l, 1, 6, 1, 0) = std::log(2.f);
    planar(in, l, 1, 7, 1, 0) = std::log(5.f);
    network_predict(net, in.data());

    int num = 0;
    detection *dets = get_network_boxes(&net, 100, 50, .2f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 8);  // every cell and anchor
    const int j = (0 * 2 + 1) * 2 + 1;
    EXPECT_NEAR(dets[j].bbox.x, .75f, 1e-6);
    EXPECT_NEAR(dets[j].bbox.y, .125f, 1e-6);
    EXPECT_NEAR(dets[j].bbox.w, .5f, 1e-6);
    EXPECT_NEAR(dets[j].bbox.h, 1.5f, 1e-6);
    EXPECT_EQ(dets[j].objectness, 1.f);
    EXPECT_EQ(dets[j].prob[0], 0.f);  // .9 / 8 is below the threshold
    EXPECT_NEAR(dets[j].prob[1], .9f * 2 / 8, 1e-6);
    EXPECT_NEAR(dets[j].prob[2], .9f * 5 / 8, 1e-6);
    EXPECT_EQ(dets[j].best_class_index, 2);
    EXPECT_EQ(dets[j].classes, 3);
    for (int k = 0; k < num; ++k) {
        if (k == j) continue;
        EXPECT_EQ(dets[k].best_class_index, -1);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(dets[k].prob[c], 0.f);
    }
    free_detections(dets, num);
    free_network(net);
}

TEST(RegionHead, HierarchyKeepsTheDeepestClassAboveOneHalf)
{
    const std::string tree_path = write_text_file("region.tree", "a -1\nb -1\nc 0\n");
    network net = build("region_tree.cfg", "[net]\nwidth=1\nheight=1\nchannels=8\nbatch=1\n\n[region]\nclasses=3\n"
                                           "coords=4\nnum=1\ntree=" + tree_path + "\n");
    const layer &l = net.layers[0];
    ASSERT_NE(l.softmax_tree, nullptr);
    std::vector<float> in(l.inputs, 0.f);
    in[4] = logit(.9f);
    in[5] = std::log(3.f);  // group {a, b}: .75, .25
    in[6] = 0;
    in[7] = 1;  // group {c}: 1, times a's .75
    network_predict(net, in.data());
    int num = 0;
    detection *dets = get_network_boxes(&net, 10, 10, .2f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 1);
    EXPECT_EQ(dets[0].prob[0], 0.f);
    EXPECT_EQ(dets[0].prob[1], 0.f);
    EXPECT_NEAR(dets[0].prob[2], .75f, 1e-6);
    EXPECT_EQ(dets[0].best_class_index, 2);
    free_detections(dets, num);
    free_network(net);
}

struct region_case {
    layer l;
    std::vector<float> truth;
    uint64_t seen = 20000;
    network_state state(float *input, float *delta, int train)
    {
        network_state s = {};
        s.input = input;
        s.delta = delta;
        s.train = train;
        s.truth = truth.data();
        s.net.seen = &seen;
        return s;
    }
};

TEST(RegionHead, LossDeltasDescendTheirLoss)
{
    region_case rc;
    rc.l = make_region_layer(1, 2, 2, 1, 2, 4, 2);
    layer &l = rc.l;
    l.softmax = 1;
    l.thresh = 1;  // nothing is ignored
    l.noobject_scale = .5f;
    l.object_scale = 2;
    l.coord_scale = 1.5f;
    l.class_scale = .7f;
    l.biases[0] = 1.5f;
    l.biases[1] = 1;
    rc.truth = {.7f, .3f, .6f, .4f, 1, 0, 0, 0, 0, 0, 0, 0};
    std::vector<float> in = random_vector_for_region(l.inputs);

    // Cell (1, 0) is the truth's; its record is 1.
    auto energy = [&](std::vector<float> &x) {
        network_state s = rc.state(x.data(), nullptr, 0);
        forward_region_layer(l, s);
        double e = 0;
        for (int r = 0; r < 4; ++r) {
            const float o = l.output[r * 7 + 4];
            if (r != 1) e += .5 * l.noobject_scale * o * o;
        }
        const float *v = l.output + 7;
        e += .5 * l.object_scale * (1 - v[4]) * (1 - v[4]);
        const double sx = 1 / (1 + std::exp(-(double)v[0])), sy = 1 / (1 + std::exp(-(double)v[1]));
        const double tx = .7 * 2 - 1, ty = .3 * 2 - 0, tw = std::log(.6 * 2 / 1.5), th = std::log(.4 * 2 / 1.0);
        e += .5 * l.coord_scale *
             ((tx - sx) * (tx - sx) + (ty - sy) * (ty - sy) + (tw - v[2]) * (tw - v[2]) + (th - v[3]) * (th - v[3]));
        e += -l.class_scale * std::log((double)v[6]);
        return e;
    };

    std::vector<float> delta(l.inputs, 0.f);
    network_state s = rc.state(in.data(), delta.data(), 1);
    testing::internal::CaptureStdout();
    forward_region_layer(l, s);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Region Avg IOU: "), std::string::npos);
    EXPECT_NE(printed.find(",  count: 1\n"), std::string::npos);
    double squares = 0;
    for (int i = 0; i < l.outputs; ++i) squares += (double)l.delta[i] * l.delta[i];
    EXPECT_NEAR(*l.cost, squares, 1e-5 * (1 + squares));
    backward_region_layer(l, s);

    const float eps = 1e-3f;
    for (int i = 0; i < l.inputs; ++i) {
        std::vector<float> x = in;
        x[i] = in[i] + eps;
        const double up = energy(x);
        x[i] = in[i] - eps;
        const double down = energy(x);
        EXPECT_NEAR(delta[i], -(up - down) / (2 * eps), 2e-3) << "input " << i;
    }
    free_layer(l);
}

TEST(RegionHead, TruthGoesToTheBestAnchorAndCoveringPredictionsAreIgnored)
{
    region_case rc;
    rc.l = make_region_layer(1, 4, 4, 2, 1, 4, 2);
    layer &l = rc.l;
    l.thresh = .5f;
    l.coord_scale = l.object_scale = l.noobject_scale = l.class_scale = 1;
    const float anchors[4] = {1, 1, 2, 3};
    for (int i = 0; i < 4; ++i) l.biases[i] = anchors[i];
    // 2 x 3 cells, exactly anchor 1; the centre lies on the left edge of cell (2, 2).
    rc.truth = {.5f, .625f, .5f, .75f, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<float> in(l.inputs, 0.f);
    planar(in, l, 1, 0, 1, 2) = 5;  // cell (1, 2), anchor 1 reaches almost to x = .5
    std::vector<float> delta(l.inputs, 0.f);
    network_state s = rc.state(in.data(), delta.data(), 1);
    testing::internal::CaptureStdout();
    forward_region_layer(l, s);
    testing::internal::GetCapturedStdout();

    const float o = .5f;  // objectness of a raw 0
    const float g = o * (1 - o);
    auto obj_delta = [&](int col, int row, int a) { return l.delta[region_record_index(l, 0, row * 4 + col, a) + 4]; };
    EXPECT_FLOAT_EQ(obj_delta(2, 2, 1), l.object_scale * (1 - o) * g);
    EXPECT_FLOAT_EQ(obj_delta(2, 2, 0), l.noobject_scale * (0 - o) * g);
    EXPECT_EQ(obj_delta(1, 2, 1), 0.f);
    EXPECT_FLOAT_EQ(obj_delta(0, 0, 1), l.noobject_scale * (0 - o) * g);
    // The box of the best anchor is trained towards the truth, the others' not at all.
    const int best = region_record_index(l, 0, 2 * 4 + 2, 1);
    EXPECT_FLOAT_EQ(l.delta[best + 0], (.5f * 4 - 2 - .5f) * g);
    EXPECT_FLOAT_EQ(l.delta[best + 2], 0.f);
    EXPECT_EQ(l.delta[region_record_index(l, 0, 2 * 4 + 2, 0) + 0], 0.f);

    // Early in training every prediction is pulled a little towards its anchor in the cell centre.
    rc.seen = 0;
    planar(in, l, 0, 0, 3, 3) = 1;
    testing::internal::CaptureStdout();
    forward_region_layer(l, s);
    testing::internal::GetCapturedStdout();
    const float sx = 1 / (1 + std::exp(-1.f));
    EXPECT_NEAR(l.delta[region_record_index(l, 0, 3 * 4 + 3, 0) + 0], .01f * (.5f - sx) * sx * (1 - sx), 1e-7);
    free_layer(l);
}

TEST(RegionHead, SectionChecksTheFilterCount)
{
    const std::string path = write_text_file("region_bad.cfg", "[net]\nwidth=2\nheight=2\nchannels=15\nbatch=1\n\n"
                                                               "[region]\nclasses=3\nnum=2\n");
    EXPECT_EXIT(parse_network_cfg_custom(path.c_str(), 1, 0), testing::ExitedWithCode(1),
                "");
}

}  // namespace
