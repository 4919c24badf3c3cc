// The "[detection]" head: decoding of hand-built values through the network's extraction (relative
// and in pixels), the loss deltas against finite differences of the loss they descend, and the
// choice of the responsible slot.
#include "detection_layer.h"

#include "detection_fixtures.h"
#include "layer.h"
#include "network.h"
#include "parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

// side 2, two slots, two classes, four coordinates: 4 * ((1 + 4) * 2 + 2) = 48 values.
constexpr int kSide = 2, kSlots = 2, kClasses = 2, kCoords = 4, kInputs = 48;
int class_at(int cell, int k) { return cell * kClasses + k; }
int obj_at(int cell, int slot) { return kSide * kSide * kClasses + cell * kSlots + slot; }
int box_at(int cell, int slot, int k) { return kSide * kSide * (kClasses + kSlots) + (cell * kSlots + slot) * kCoords + k; }

TEST(DetectionHead, DecodesThroughTheNetworkRelativeAndInPixels)
{
    const std::string path = write_text_file("detection_head.cfg",
                                             "[net]\nwidth=2\nheight=2\nchannels=12\nbatch=1\n\n[detection]\nclasses=2\n"
                                             "coords=4\nnum=2\nside=2\nsqrt=1\n");
    network net = parse_network_cfg_custom(path.c_str(), 1, 0);
    ASSERT_EQ(net.layers[0].type, DETECTION);
    std::vector<float> in(kInputs, 0.f);
    in[obj_at(3, 1)] = .8f;
    in[class_at(3, 0)] = .25f;
    in[class_at(3, 1)] = .75f;
    const float values[4] = {.5f, .25f, .4f, .6f};
    for (int k = 0; k < 4; ++k) in[box_at(3, 1, k)] = values[k];
    network_predict(net, in.data());

    int num = 0;
    detection *dets = get_network_boxes(&net, 100, 50, .3f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 8);
    const detection &d = dets[3 * 2 + 1];
    EXPECT_NEAR(d.bbox.x, .75f, 1e-6);
    EXPECT_NEAR(d.bbox.y, .625f, 1e-6);
    EXPECT_NEAR(d.bbox.w, .16f, 1e-6);
    EXPECT_NEAR(d.bbox.h, .36f, 1e-6);
    EXPECT_FLOAT_EQ(d.objectness, .8f);
    EXPECT_EQ(d.prob[0], 0.f);  // .2 is below the threshold
    EXPECT_FLOAT_EQ(d.prob[1], .6f);
    EXPECT_EQ(d.classes, 2);
    EXPECT_EQ(dets[0].objectness, 0.f);
    free_detections(dets, num);

    dets = get_network_boxes(&net, 100, 50, .3f, .5f, nullptr, 0, &num, 0);
    EXPECT_NEAR(dets[7].bbox.x, 75, 1e-4);
    EXPECT_NEAR(dets[7].bbox.y, 31.25, 1e-4);
    EXPECT_NEAR(dets[7].bbox.w, 16, 1e-4);
    EXPECT_NEAR(dets[7].bbox.h, 18, 1e-4);
    free_detections(dets, num);
    free_network(net);
}

struct detection_case {
    layer l = make_detection_layer(1, kInputs, kSlots, kSide, kClasses, kCoords, 0);
    std::vector<float> truth = std::vector<float>(kSide * kSide * (1 + kCoords + kClasses), 0.f);
    uint64_t seen = 100000;
    detection_case()
    {
        l.coord_scale = 1.5f;
        l.object_scale = 2;
        l.noobject_scale = .5f;
        l.class_scale = .7f;
    }
    ~detection_case() { free_layer(l); }
    void set_truth(int cell, int class_id, box b)
    {
        float *t = truth.data() + cell * (1 + kCoords + kClasses);
        t[0] = 1;
        t[1 + class_id] = 1;
        t[1 + kClasses + 0] = b.x;
        t[1 + kClasses + 1] = b.y;
        t[1 + kClasses + 2] = b.w;
        t[1 + kClasses + 3] = b.h;
    }
    void train(std::vector<float> &in)
    {
        network_state s = {};
        s.input = in.data();
        s.truth = truth.data();
        s.train = 1;
        s.net.seen = &seen;
        testing::internal::CaptureStdout();
        forward_detection_layer(l, s);
        printed = testing::internal::GetCapturedStdout();
    }
    std::string printed;
};

TEST(DetectionHead, LossDeltasDescendTheirLoss)
{
    detection_case dc;
    const box truth = {.3f, .6f, .5f, .4f};
    dc.set_truth(2, 1, truth);
    std::vector<float> in(kInputs);
    srand(3);
    for (float &v : in) v = (float)rand() / RAND_MAX;
    const float slot1[4] = {.35f, .55f, .45f, .45f}, slot0[4] = {.9f, .1f, .1f, .1f};
    for (int k = 0; k < 4; ++k) {
        in[box_at(2, 1, k)] = slot1[k];
        in[box_at(2, 0, k)] = slot0[k];
    }
    dc.train(in);
    EXPECT_NE(dc.printed.find("Detection Avg IOU: "), std::string::npos);
    EXPECT_NE(dc.printed.find(", count: 1\n"), std::string::npos);

    const layer &l = dc.l;
    const float t[4] = {truth.x, truth.y, truth.w, truth.h};
    auto energy = [&](const std::vector<float> &x) {
        double e = 0;
        for (int cell = 0; cell < 4; ++cell)
            for (int s = 0; s < kSlots; ++s) {
                const double o = x[obj_at(cell, s)];
                e += cell == 2 && s == 1 ? .5 * l.object_scale * (1 - o) * (1 - o) : .5 * l.noobject_scale * o * o;
            }
        for (int k = 0; k < kClasses; ++k) {
            const double d = (k == 1) - x[class_at(2, k)];
            e += .5 * l.class_scale * d * d;
        }
        for (int k = 0; k < 4; ++k) {
            const double d = t[k] - x[box_at(2, 1, k)];
            e += .5 * l.coord_scale * d * d;
        }
        return e;
    };
    const float eps = 1e-3f;
    for (int i = 0; i < kInputs; ++i) {
        std::vector<float> x = in;
        x[i] = in[i] + eps;
        const double up = energy(x);
        x[i] = in[i] - eps;
        const double down = energy(x);
        EXPECT_NEAR(l.delta[i], -(up - down) / (2 * eps), 1e-3) << "input " << i;
    }
    double squares = 0;
    for (int i = 0; i < kInputs; ++i) squares += (double)l.delta[i] * l.delta[i];
    EXPECT_NEAR(*l.cost, squares, 1e-5);

    std::vector<float> back(kInputs, 0.f);
    network_state s = {};
    s.delta = back.data();
    backward_detection_layer(l, s);
    for (int i = 0; i < kInputs; ++i) EXPECT_EQ(back[i], l.delta[i]);
}

TEST(DetectionHead, ResponsibleSlot)
{
    struct row {
        const char *what;
        float slot0[4], slot1[4];
        int forced;
        int expected;
    };
    const box truth = {.5f, .5f, .2f, .2f};  // area .04: forced picks slot 1
    const row rows[] = {
        {"best IoU", {.5f, .5f, .5f, .5f}, {.5f, .5f, .2f, .2f}, 0, 1},
        {"best IoU, first slot", {.5f, .5f, .2f, .2f}, {.5f, .5f, .8f, .8f}, 0, 0},
        {"no overlap: smallest distance", {1.9f, 1.9f, .05f, .05f}, {1.5f, 1.5f, .05f, .05f}, 0, 1},
        {"forced small truth", {.5f, .5f, .2f, .2f}, {.5f, .5f, .8f, .8f}, 1, 1},
    };
    for (const row &r : rows) {
        detection_case dc;
        dc.l.forced = r.forced;
        dc.set_truth(0, 0, truth);
        std::vector<float> in(kInputs, 0.f);
        for (int k = 0; k < 4; ++k) {
            in[box_at(0, 0, k)] = r.slot0[k];
            in[box_at(0, 1, k)] = r.slot1[k];
        }
        dc.train(in);
        EXPECT_FLOAT_EQ(dc.l.delta[obj_at(0, r.expected)], dc.l.object_scale) << r.what;
        EXPECT_FLOAT_EQ(dc.l.delta[obj_at(0, 1 - r.expected)], 0.f) << r.what;
        EXPECT_FLOAT_EQ(dc.l.delta[box_at(0, r.expected, 2)], dc.l.coord_scale * (truth.w - (r.expected ? r.slot1 : r.slot0)[2]))
            << r.what;
        EXPECT_EQ(dc.l.delta[box_at(0, 1 - r.expected, 2)], 0.f) << r.what;
    }
}

TEST(DetectionHead, SectionChecksTheInputSize)
{
    const std::string path = write_text_file("detection_bad.cfg", "[net]\nwidth=2\nheight=2\nchannels=11\nbatch=1\n\n"
                                                                  "[detection]\nclasses=2\ncoords=4\nnum=2\nside=2\n");
    EXPECT_EXIT(parse_network_cfg_custom(path.c_str(), 1, 0), testing::ExitedWithCode(1), "");
}

}  // namespace
