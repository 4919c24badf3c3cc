// Training pass of the "[vumo]" head: truth assignment to anchors and cells, the ignore and truth
// thresholds, the deltas against finite differences of the cost, checked truth values, the
// summary line, thread failure, and a tiny detector whose cost falls while it trains.
#include "vumo_layer.h"

#include "box_geometry.h"
#include "detection_fixtures.h"
#include "matrix.h"
#include "network.h"
#include "parser.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// A head as its section would set it with every key at its default.
layer make_head(int batch, int w, int h, int n, int classes, int max_boxes, const std::vector<float> &anchors)
{
    const int total = (int)anchors.size() / 2;
    layer l = make_vumo_layer(batch, w, h, n, total, nullptr, classes, max_boxes);
    for (size_t i = 0; i < anchors.size(); ++i) l.biases[i] = anchors[i];
    l.show_details = 1;
    l.max_delta = FLT_MAX;
    l.scale_x_y = 1;
    l.iou_normalizer = .75f;
    l.obj_normalizer = 1;
    l.cls_normalizer = 1;
    l.delta_normalizer = 1;
    l.iou_loss = MSE;
    l.iou_thresh_kind = IOU;
    l.ignore_thresh = .5f;
    l.truth_thresh = 1;
    l.iou_thresh = 1;
    return l;
}

struct truth_row {
    float x, y, w, h, class_id, track_id;
};

// A head with its own network cells and truth array; every output starts at the same values.
struct head_case {
    layer l;
    network net;
    std::vector<float> truth;

    head_case(int batch, int w, int h, int n, int classes, int max_boxes, const std::vector<float> &anchors,
              int netw, int neth)
        : l(make_head(batch, w, h, n, classes, max_boxes, anchors)), net(make_network(0)),
          truth((size_t)batch * max_boxes * 6, 0.f)
    {
        net.w = netw;
        net.h = neth;
        net.batch = batch;
    }
    ~head_case()
    {
        free_vumo_arrays(&l);
        free_layer(l);
        free_network(net);
    }

    void fill_outputs(float t, float size, float objectness, float class_value)
    {
        for (int b = 0; b < l.batch; ++b)
            for (int loc = 0; loc < l.n * l.w * l.h; ++loc) {
                at(b, loc, 0) = t;
                at(b, loc, 1) = t;
                at(b, loc, 2) = size;
                at(b, loc, 3) = size;
                at(b, loc, 4) = objectness;
                for (int k = 0; k < l.classes; ++k) at(b, loc, 5 + k) = class_value;
            }
    }
    float &at(int b, int location, int entry) { return l.output[head_entry_index(l, b, location, entry)]; }
    float delta(int b, int slot, int col, int row, int entry) const
    {
        return l.delta[head_entry_index(l, b, slot * l.w * l.h + row * l.w + col, entry)];
    }
    int location(int slot, int col, int row) const { return slot * l.w * l.h + row * l.w + col; }
    int cell(int b, int slot, int col, int row) const { return b * l.n * l.w * l.h + location(slot, col, row); }

    void set_truth(int b, int t, truth_row r)
    {
        float *f = truth.data() + (size_t)b * l.truths + (size_t)t * 6;
        f[0] = r.x, f[1] = r.y, f[2] = r.w, f[3] = r.h, f[4] = r.class_id, f[5] = r.track_id;
    }

    network_state state() const
    {
        network_state s = {};
        s.truth = const_cast<float *>(truth.data());
        s.train = 1;
        s.net = net;
        s.index = 3;
        return s;
    }
    // One training pass over the current outputs; returns the cost.
    float run()
    {
        testing::internal::CaptureStderr();
        memset(l.delta, 0, (size_t)l.batch * l.outputs * sizeof(float));
        vumo_training_loss(l, state());
        last_line = testing::internal::GetCapturedStderr();
        return *l.cost;
    }
    std::string last_line;
};

// Grid 4 x 4 in a 64 x 64 input, three anchors of distinct shapes, two classes.
const std::vector<float> assignment_anchors = {8, 8, 24, 24, 48, 32};
const truth_row truth_a = {.3f, .6f, .35f, .4f, 1, 7};  // anchor 1 fits best, cell (1, 2)
const truth_row truth_b = {.8f, .1f, .8f, .5f, 0, 9};   // anchor 2 fits best, cell (3, 0)

struct assignment_case : head_case {
    assignment_case() : head_case(1, 4, 4, 3, 2, 6, assignment_anchors, 64, 64)
    {
        fill_outputs(.5f, 0, .3f, .1f);
        set_truth(0, 0, truth_a);
        set_truth(0, 1, truth_b);
        // After the terminator nothing counts.
        set_truth(0, 3, {.5f, .5f, .2f, .2f, 0, 3});
    }
};

float mse_box_delta(const truth_row &t, int k, int col, int row, float anchor_w, float anchor_h, float out)
{
    const float targets[4] = {t.x * 4 - col, t.y * 4 - row, logf(t.w * 64 / anchor_w), logf(t.h * 64 / anchor_h)};
    return (2 - t.w * t.h) * (targets[k] - out) * .75f;
}

TEST(VumoLossAssignment, BestAnchorAtTheTruthCell)
{
    assignment_case c;
    c.run();
    const layer &l = c.l;
    const struct {
        truth_row t;
        int slot, col, row;
    } assigned[] = {{truth_a, 1, 1, 2}, {truth_b, 2, 3, 0}};

    for (int s = 0; s < l.n; ++s)
        for (int row = 0; row < l.h; ++row)
            for (int col = 0; col < l.w; ++col) {
                const int cell = c.cell(0, s, col, row);
                const auto *hit = &assigned[0];
                for (; hit != std::end(assigned); ++hit)
                    if (hit->slot == s && hit->col == col && hit->row == row) break;
                if (hit == std::end(assigned)) {
                    EXPECT_EQ(l.cell_track_ids[cell], -1);
                    EXPECT_EQ(l.cell_class_ids[cell], -1);
                    EXPECT_FLOAT_EQ(c.delta(0, s, col, row, 4), -.3f) << s << " " << col << " " << row;
                    for (int e : {0, 1, 2, 3, 5, 6}) EXPECT_EQ(c.delta(0, s, col, row, e), 0);
                    continue;
                }
                EXPECT_EQ(l.cell_track_ids[cell], (int)hit->t.track_id);
                EXPECT_EQ(l.cell_class_ids[cell], (int)hit->t.class_id);
                EXPECT_FLOAT_EQ(c.delta(0, s, col, row, 4), .7f);
                for (int k = 0; k < 2; ++k)
                    EXPECT_FLOAT_EQ(c.delta(0, s, col, row, 5 + k), (k == (int)hit->t.class_id ? 1.f : 0.f) - .1f);
                const float out[4] = {.5f, .5f, 0, 0};
                for (int k = 0; k < 4; ++k)
                    EXPECT_NEAR(c.delta(0, s, col, row, k),
                                mse_box_delta(hit->t, k, col, row, l.biases[2 * s], l.biases[2 * s + 1], out[k]),
                                1e-6);
            }
    EXPECT_EQ(*c.net.total_bbox, 2u);
    EXPECT_EQ(*c.net.rewritten_bbox, 0u);
    // count 2 and the mean IoU of the two assigned predictions.
    const float iou_a = box_iou({.375f, .625f, .375f, .375f}, {truth_a.x, truth_a.y, truth_a.w, truth_a.h});
    const float iou_b = box_iou({.875f, .125f, .75f, .5f}, {truth_b.x, truth_b.y, truth_b.w, truth_b.h});
    char avg[64];
    snprintf(avg, sizeof avg, "Avg (IOU: %f), count: 2,", (iou_a + iou_b) / 2);
    EXPECT_NE(c.last_line.find(avg), std::string::npos) << c.last_line;
    EXPECT_EQ(c.last_line.rfind("v3 (mse loss, Normalizer: (iou: 0.75, obj: 1.00, cls: 1.00) Region 3 ", 0), 0u)
        << c.last_line;
}

// A prediction overlapping a truth by more than ignore_thresh loses its background delta, but only
// when one of its classes is already above 0.25.
TEST(VumoLossAssignment, IgnoreThreshNeedsAClassMatch)
{
    // Slot 1 at cell (0, 2) overlaps truth a by about 0.32, slot 2 at cell (1, 2) by about 0.37.
    const box pred_near = {.125f, .625f, .375f, .375f};
    const box pred_other = {.375f, .625f, .75f, .5f};
    const box a = {truth_a.x, truth_a.y, truth_a.w, truth_a.h};
    ASSERT_GT(box_iou(pred_near, a), .3f);
    ASSERT_GT(box_iou(pred_other, a), .3f);
    for (const float class_value : {.2f, .3f}) {
        assignment_case c;
        c.l.ignore_thresh = .3f;
        c.at(0, c.location(1, 0, 2), 5) = class_value;
        c.run();
        EXPECT_FLOAT_EQ(c.delta(0, 1, 0, 2, 4), class_value > .25f ? 0.f : -.3f) << class_value;
        EXPECT_FLOAT_EQ(c.delta(0, 2, 1, 2, 4), -.3f);
    }
}

// With objectness_smooth an ignored prediction is pulled towards its overlap instead of left alone,
// and a truth's own slot only takes the positive target where nothing was written before.
TEST(VumoLossAssignment, ObjectnessSmoothTargetsTheOverlap)
{
    assignment_case c;
    c.l.ignore_thresh = .3f;
    c.l.objectness_smooth = 1;
    c.at(0, c.location(1, 0, 2), 5) = .3f;
    c.at(0, c.location(1, 1, 2), 5) = .3f;
    c.run();
    const box a = {truth_a.x, truth_a.y, truth_a.w, truth_a.h};
    EXPECT_NEAR(c.delta(0, 1, 0, 2, 4), box_iou({.125f, .625f, .375f, .375f}, a) - .3f, 1e-6);
    // The own slot overlaps by more than ignore_thresh too, so its objectness already holds iou - o.
    EXPECT_NEAR(c.delta(0, 1, 1, 2, 4), box_iou({.375f, .625f, .375f, .375f}, a) - .3f, 1e-6);
    // Truth b's slot has no class above 0.25: its background delta stays.
    EXPECT_FLOAT_EQ(c.delta(0, 2, 3, 0, 4), -.3f);
}

// A prediction of another cell that matches a truth better than truth_thresh is trained as a
// positive too, without taking the truth's ids.
TEST(VumoLossAssignment, TruthThreshTrainsMatchingPredictions)
{
    const truth_row t = {.375f, .375f, .375f, .375f, 1, 4};  // exactly slot 1 at cell (1, 1)
    for (const float truth_thresh : {1.f, .9f}) {
        head_case c(1, 4, 4, 3, 2, 6, assignment_anchors, 64, 64);
        c.fill_outputs(.5f, 0, .3f, .1f);
        c.set_truth(0, 0, t);
        c.l.truth_thresh = truth_thresh;
        // Slot 1 at cell (2, 1) shifted left by half a cell decodes to the same box.
        c.at(0, c.location(1, 2, 1), 0) = -.5f;
        c.run();
        const bool positive = truth_thresh < 1;
        EXPECT_FLOAT_EQ(c.delta(0, 1, 2, 1, 4), positive ? .7f : -.3f);
        EXPECT_FLOAT_EQ(c.delta(0, 1, 2, 1, 6), positive ? .9f : 0.f);
        EXPECT_FLOAT_EQ(c.delta(0, 1, 2, 1, 5), positive ? -.1f : 0.f);
        EXPECT_NEAR(c.delta(0, 1, 2, 1, 0), positive ? mse_box_delta(t, 0, 2, 1, 24, 24, -.5f) : 0.f, 1e-6);
        EXPECT_EQ(c.l.cell_track_ids[c.cell(0, 1, 2, 1)], -1);
        EXPECT_EQ(c.l.cell_track_ids[c.cell(0, 1, 1, 1)], 4);
        // Above the threshold the truth's own slot is trained by both passes.
        EXPECT_EQ(*c.net.total_bbox, positive ? 3u : 1u);
    }
}

// With iou_thresh below 1 every other anchor of the head that fits the truth well enough trains it
// too, at the same cell, without taking its ids.
TEST(VumoLossAssignment, IouThreshAddsAnchors)
{
    assignment_case c;
    c.set_truth(0, 1, {0, 0, 0, 0, 0, 0});
    c.l.iou_thresh = .3f;  // anchor 2 fits truth a by about 0.37, anchor 0 by about 0.11
    c.run();
    EXPECT_FLOAT_EQ(c.delta(0, 2, 1, 2, 4), .7f);
    EXPECT_FLOAT_EQ(c.delta(0, 2, 1, 2, 6), .9f);
    EXPECT_NEAR(c.delta(0, 2, 1, 2, 2), mse_box_delta(truth_a, 2, 1, 2, 48, 32, 0), 1e-6);
    EXPECT_FLOAT_EQ(c.delta(0, 0, 1, 2, 4), -.3f);
    EXPECT_EQ(c.l.cell_track_ids[c.cell(0, 2, 1, 2)], -1);
    EXPECT_EQ(c.l.cell_track_ids[c.cell(0, 1, 1, 2)], 7);
    EXPECT_EQ(*c.net.total_bbox, 2u);
}

TEST(VumoLossAssignment, TwoTruthsOnOneSlotAddBoxDeltas)
{
    head_case c(1, 2, 2, 1, 2, 4, {16, 16}, 32, 32);
    c.fill_outputs(.5f, 0, .3f, .1f);
    const truth_row first = {.2f, .2f, .4f, .4f, 0, 1};
    const truth_row second = {.3f, .3f, .5f, .5f, 1, 2};
    c.set_truth(0, 0, first);
    c.set_truth(0, 1, second);
    c.run();
    EXPECT_EQ(*c.net.rewritten_bbox, 1u);
    EXPECT_EQ(c.l.cell_track_ids[0], 2);
    // The second truth's class takes the already-set path: only its own class is refreshed.
    EXPECT_FLOAT_EQ(c.delta(0, 0, 0, 0, 6), .9f);
    EXPECT_FLOAT_EQ(c.delta(0, 0, 0, 0, 5), .9f);
    const float tx = (2 - .16f) * (.2f * 2 - .5f) * .75f + (2 - .25f) * (.3f * 2 - .5f) * .75f;
    EXPECT_NEAR(c.delta(0, 0, 0, 0, 0), tx, 1e-6);
}

TEST(VumoLossAssignment, EmptyBatchTrainsBackgroundOnly)
{
    head_case c(2, 2, 2, 2, 3, 4, {8, 8, 16, 16}, 32, 32);
    c.fill_outputs(.4f, .2f, .25f, .6f);
    c.run();
    for (int i = 0; i < c.l.batch * c.l.outputs; ++i) {
        const int plane = (i % c.l.outputs) / 4 % 8;
        EXPECT_FLOAT_EQ(c.l.delta[i], plane == 4 ? -.25f : 0.f) << i;
    }
    EXPECT_NE(c.last_line.find("Avg (IOU: 0.000000), count: 1, class_loss = 0.500000, iou_loss = 0.000000, "
                               "total_loss = 0.500000 \n"),
              std::string::npos)
        << c.last_line;
    EXPECT_FLOAT_EQ(*c.l.cost, 16 * .0625f);
}

// Targets with label smoothing, the focal form, and class multipliers.
TEST(VumoLossClass, SmoothingFocalAndMultipliers)
{
    const float out[3] = {.2f, .7f, .1f};
    float delta[3] = {};
    vumo_delta_class(out, delta, 0, 1, 3, 1, 0, .1f, nullptr, 1);
    EXPECT_FLOAT_EQ(delta[0], .05f - .2f);
    EXPECT_FLOAT_EQ(delta[1], .95f - .7f);
    EXPECT_FLOAT_EQ(delta[2], .05f - .1f);

    float focal[3] = {};
    vumo_delta_class(out, focal, 0, 1, 3, 1, 1, 0, nullptr, 1);
    const float pt = .7f;
    const float grad = -(1 - pt) * (2 * pt * logf(pt) + pt - 1);
    EXPECT_NEAR(focal[1], .3f * .5f * grad, 1e-6);
    EXPECT_NEAR(focal[0], -.2f * .5f * grad, 1e-6);

    const float multipliers[3] = {1, 4, 2};
    float weighted[3] = {};
    vumo_delta_class(out, weighted, 0, 1, 3, 1, 0, 0, multipliers, .5f);
    EXPECT_FLOAT_EQ(weighted[1], .3f * 4 * .5f);
    EXPECT_FLOAT_EQ(weighted[0], -.2f);
    // Already set: refreshed and weighted by the multiplier alone.
    vumo_delta_class(out, weighted, 0, 1, 3, 1, 0, 0, multipliers, .5f);
    EXPECT_FLOAT_EQ(weighted[1], .3f * 4);
}

// Finite differences of the cost over the head's outputs. Random predictions around two truths per
// image; ignore_thresh and truth_thresh are out of reach so the cost is smooth.
struct gradient_case : head_case {
    explicit gradient_case(IOU_LOSS kind) : head_case(2, 3, 3, 2, 3, 4, {10, 14, 20, 16}, 48, 48)
    {
        l.iou_loss = kind;
        l.ignore_thresh = 1;
        std::mt19937 gen(7);
        std::uniform_real_distribution<float> offset(.3f, .7f), size(-.3f, .3f), prob(.05f, .95f);
        for (int b = 0; b < l.batch; ++b)
            for (int loc = 0; loc < l.n * l.w * l.h; ++loc) {
                at(b, loc, 0) = offset(gen);
                at(b, loc, 1) = offset(gen);
                at(b, loc, 2) = size(gen);
                at(b, loc, 3) = size(gen);
                for (int e = 4; e < 5 + l.classes; ++e) at(b, loc, e) = prob(gen);
            }
        set_truth(0, 0, {.21f, .52f, .19f, .31f, 2, 0});
        set_truth(0, 1, {.83f, .15f, .44f, .36f, 0, 1});
        set_truth(1, 0, {.49f, .47f, .4f, .28f, 1, 2});
        set_truth(1, 1, {.15f, .88f, .22f, .2f, 2, 3});
    }
};

TEST(VumoLossGradient, MseDeltasAreTheCostGradient)
{
    gradient_case c(MSE);
    c.run();
    std::vector<float> delta(c.l.delta, c.l.delta + c.l.batch * c.l.outputs);
    // Weight of each delta: iou_normalizer times the size scale on the trained boxes, 1 elsewhere.
    std::vector<float> weight(delta.size(), 1.f);
    for (int b = 0; b < c.l.batch; ++b)
        for (int t = 0; t < 2; ++t) {
            const float *f = c.truth.data() + b * c.l.truths + t * 6;
            int hits = 0;
            for (int s = 0; s < c.l.n; ++s) {
                const int cell = c.cell(b, s, (int)(f[0] * 3), (int)(f[1] * 3));
                if (c.l.cell_track_ids[cell] != (int)f[5]) continue;
                ++hits;
                for (int k = 0; k < 4; ++k)
                    weight[head_entry_index(c.l, b, c.location(s, (int)(f[0] * 3), (int)(f[1] * 3)), k)] =
                        .75f * (2 - f[2] * f[3]);
            }
            ASSERT_EQ(hits, 1);
        }
    const float step = 1e-2f;
    for (size_t i = 0; i < delta.size(); ++i) {
        const float keep = c.l.output[i];
        c.l.output[i] = keep + step;
        const float up = c.run();
        c.l.output[i] = keep - step;
        const float down = c.run();
        c.l.output[i] = keep;
        EXPECT_NEAR((up - down) / (2 * step), -2 * weight[i] * delta[i], 2e-3) << i;
    }
}

// The overlap losses whose gradient is the true one: the cost falls by iou_normalizer / count per
// unit of IoU, and the box deltas are iou_normalizer times the IoU gradient in box units (x per
// cell, sizes through the exponential and doubled).
class VumoLossIouGradient : public testing::TestWithParam<IOU_LOSS> {};

TEST_P(VumoLossIouGradient, BoxDeltasFollowTheCost)
{
    gradient_case c(GetParam());
    c.run();
    // Trained slots sit on their targets so that only the box part of the cost moves.
    std::vector<int> trained;
    for (int b = 0; b < c.l.batch; ++b)
        for (int loc = 0; loc < c.l.n * c.l.w * c.l.h; ++loc)
            if (c.l.cell_track_ids[b * c.l.n * c.l.w * c.l.h + loc] >= 0) trained.push_back(b * 1000 + loc);
    ASSERT_EQ(trained.size(), 4u);
    for (int b = 0; b < c.l.batch; ++b)
        for (int loc = 0; loc < c.l.n * c.l.w * c.l.h; ++loc) {
            const int cell = b * c.l.n * c.l.w * c.l.h + loc;
            const int class_id = c.l.cell_class_ids[cell];
            c.at(b, loc, 4) = class_id >= 0 ? 1.f : 0.f;
            for (int k = 0; k < c.l.classes; ++k) c.at(b, loc, 5 + k) = k == class_id ? 1.f : 0.f;
        }
    c.run();
    const int count = 4;
    std::vector<float> delta(c.l.delta, c.l.delta + c.l.batch * c.l.outputs);
    const float step = 1e-3f;
    for (const int id : trained) {
        const int b = id / 1000;
        const int loc = id % 1000;
        const int slot = loc / (c.l.w * c.l.h);
        for (int k = 0; k < 4; ++k) {
            const int i = head_entry_index(c.l, b, loc, k);
            const float keep = c.l.output[i];
            c.l.output[i] = keep + step;
            const float up = c.run();
            c.l.output[i] = keep - step;
            const float down = c.run();
            c.l.output[i] = keep;
            const float slope = (up - down) / (2 * step);
            // d box / d output: 1 / cells for the centre, size / 2 for the doubled size component.
            const float anchor = c.l.biases[2 * slot + (k == 3)] / 48;
            const float to_box = k < 2 ? 1.f / 3 : anchor / 2;
            EXPECT_NEAR(-slope * count / to_box, delta[i], 2e-2 * std::max(1.f, fabsf(delta[i])))
                << "image " << b << " location " << loc << " entry " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, VumoLossIouGradient, testing::Values(IOU, GIOU));

// Truth values come from label files: out-of-range class ids and malformed boxes never index the
// head; a centre on the border stays in the grid.
TEST(VumoLossTruth, CheckedBeforeUse)
{
    const auto dir = std::filesystem::temp_directory_path() / "quillon_vumo_loss_labels";
    std::filesystem::create_directories(dir);
    std::filesystem::remove(dir / "bad_label.list");
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);

    head_case c(1, 4, 4, 1, 2, 6, {16, 16}, 64, 64);
    c.fill_outputs(.5f, 0, .3f, .1f);
    c.set_truth(0, 0, {.5f, .5f, .25f, .25f, 2, 1});       // class out of range
    c.set_truth(0, 1, {.5f, .5f, .25f, .25f, -1, 2});      // negative class
    c.set_truth(0, 2, {.5f, .5f, -.25f, .25f, 0, 3});      // negative width
    c.set_truth(0, 3, {.5f, .5f, NAN, .25f, 1e30f, 4});    // not a number, huge class
    c.set_truth(0, 4, {1.f, 1.f, .25f, .25f, 1, 5});       // centre on the far border
    testing::internal::CaptureStdout();
    c.run();
    const std::string out = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(cwd);

    for (int cell = 0; cell < 16; ++cell)
        EXPECT_EQ(c.l.cell_track_ids[cell], cell == 15 ? 5 : -1) << cell;
    EXPECT_EQ(*c.net.total_bbox, 1u);
    EXPECT_NE(out.find("\n Warning: in txt-labels class_id=2 >= classes=2 in cfg-file. In txt-labels class_id "
                       "should be [from 0 to 1] \n"),
              std::string::npos);
    EXPECT_NE(out.find("class_id=-1 >= classes=2"), std::string::npos);
    EXPECT_NE(out.find(" Wrong label: truth.x = 0.500000, truth.y = 0.500000, truth.w = -0.250000, truth.h = "
                       "0.250000 \n"),
              std::string::npos);
    std::ifstream list(dir / "bad_label.list");
    std::string first;
    std::getline(list, first);
    EXPECT_EQ(first, "Wrong label: truth.x = 0.500000, truth.y = 0.500000, truth.w = -0.250000, truth.h = 0.250000");
    for (int i = 0; i < c.l.outputs; ++i) EXPECT_TRUE(std::isfinite(c.l.delta[i])) << i;
}

TEST(VumoLossShortLine, CostIsTheSquaredDeltas)
{
    assignment_case c;
    c.l.show_details = 0;
    c.l.iou_loss = GIOU;
    c.run();
    double sum = 0;
    for (int i = 0; i < c.l.outputs; ++i) sum += (double)c.l.delta[i] * c.l.delta[i];
    EXPECT_NEAR(*c.l.cost, sum, 1e-4 * sum);
    char tail[64];
    snprintf(tail, sizeof tail, "count: 2, total_loss = %f \n", *c.l.cost);
    EXPECT_EQ(c.last_line.rfind("v3 (giou loss, Normalizer: (iou: 0.75, obj: 1.00, cls: 1.00) Region 3 Avg (IOU: ", 0),
              0u);
    EXPECT_NE(c.last_line.find(tail), std::string::npos) << c.last_line;
}

TEST(VumoLossRejection, EquidistantPointDropsSmallDeltas)
{
    assignment_case c;
    c.net.max_batches = 100;
    c.net.equidistant_point = 10;
    *c.net.cur_iteration = 55;
    *c.net.delta_rolling_avg = .5f;
    testing::internal::CaptureStdout();
    c.run();
    const std::string out = testing::internal::GetCapturedStdout();
    // progress 0.5 of the running average 0.5, times 1.4.
    EXPECT_NE(out.find(" equidistant_point loss_threshold = 0.350000, start_it = 10, progress = 50.0 % \n"),
              std::string::npos)
        << out;
    for (int i = 0; i < c.l.outputs; ++i)
        EXPECT_TRUE(c.l.delta[i] == 0 || fabsf(c.l.delta[i]) >= .35f) << i;
    EXPECT_FLOAT_EQ(c.delta(0, 1, 1, 2, 4), .7f);
}

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_ASAN 1
#endif
#endif

TEST(VumoLossDeathTest, ThreadCreationFailureIsFatal)
{
#ifdef QUILLON_ASAN
    GTEST_SKIP() << "address space limits do not mix with the sanitizer's shadow memory";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto starve_and_train = [] {
        head_case c(1, 2, 2, 1, 1, 2, {8, 8}, 32, 32);
        long pages = 0;
        FILE *f = fopen("/proc/self/statm", "r");
        if (!f || fscanf(f, "%ld", &pages) != 1) _exit(3);
        fclose(f);
        // Room for small allocations but not for a thread stack.
        const rlim_t limit = (rlim_t)pages * sysconf(_SC_PAGESIZE) + (1u << 20);
        rlimit r = {limit, limit};
        setrlimit(RLIMIT_AS, &r);
        vumo_training_loss(c.l, c.state());
    };
    EXPECT_EXIT(starve_and_train(), testing::ExitedWithCode(1),
                "Quillon error location: src/vumo_layer.cpp, forward_vumo_layer, line #[0-9]+\n.*Thread creation failed");
#endif
}

// Plain backgrounds with squares (class 0) and wide bars (class 1) of other colours.
void draw_scene(float *x, float *truth, int size, int max_boxes, std::mt19937 &gen)
{
    std::uniform_real_distribution<float> unit(0, 1);
    const float bg[3] = {unit(gen) * .4f, unit(gen) * .4f, unit(gen) * .4f};
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < size * size; ++i) x[k * size * size + i] = bg[k];
    const int shapes = 1 + (int)(unit(gen) * 2);
    for (int s = 0; s < shapes && s < max_boxes; ++s) {
        const int cls = (int)(unit(gen) * 2);
        const int w = cls == 0 ? 8 + (int)(unit(gen) * 4) : 14 + (int)(unit(gen) * 4);
        const int h = cls == 0 ? w : 5 + (int)(unit(gen) * 2);
        const int left = (int)(unit(gen) * (size - w));
        const int top = (int)(unit(gen) * (size - h));
        const float colour[2][3] = {{.9f, .8f, .1f}, {.1f, .7f, .95f}};
        for (int k = 0; k < 3; ++k)
            for (int yy = top; yy < top + h; ++yy)
                for (int xx = left; xx < left + w; ++xx) x[k * size * size + yy * size + xx] = colour[cls][k];
        float *t = truth + s * 6;
        t[0] = (left + w / 2.f) / size;
        t[1] = (top + h / 2.f) / size;
        t[2] = (float)w / size;
        t[3] = (float)h / size;
        t[4] = (float)cls;
        t[5] = (float)s;
    }
}

TEST(VumoLossTraining, TinyDetectorCostFalls)
{
    const std::string cfg = "[net]\nwidth=32\nheight=32\nchannels=3\nbatch=4\nsubdivisions=1\nlearning_rate=0.01\n"
                            "momentum=0.9\ndecay=0.0005\nmax_batches=300\n\n"
                            "[convolutional]\nfilters=16\nsize=3\nstride=2\npad=1\nactivation=leaky\n\n"
                            "[convolutional]\nfilters=32\nsize=3\nstride=2\npad=1\nactivation=leaky\n\n"
                            "[convolutional]\nfilters=32\nsize=3\nstride=2\npad=1\nactivation=leaky\n\n"
                            "[convolutional]\nfilters=14\nsize=1\nstride=1\nactivation=linear\n\n"
                            "[vumo]\nclasses=2\nnum=2\nmask=0,1\nanchors=10,10,16,6\nmax=4\njitter=0\n"
                            "ignore_thresh=0.7\ntruth_thresh=1\niou_loss=ciou\niou_normalizer=0.5\n";
    const std::string path = write_text_file("vumo_loss_tiny.cfg", cfg);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    // The initial weights come from the runtime generator; a fixed seed keeps the run repeatable.
    srand(1);
    network net = parse_network_cfg_custom(path.c_str(), 0, 1);
    const int size = 32;
    const int batch = net.batch;
    data d = {};
    d.X = make_matrix(batch, size * size * 3);
    d.y = make_matrix(batch, 4 * 6);
    std::mt19937 gen(11);
    for (int b = 0; b < batch; ++b) draw_scene(d.X.vals[b], d.y.vals[b], size, 4, gen);

    std::vector<float> costs;
    for (int i = 0; i < 300; ++i) costs.push_back(train_network(net, d));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    const auto mean = [&](int from, int to) {
        float s = 0;
        for (int i = from; i < to; ++i) s += costs[i];
        return s / (to - from);
    };
    const float early = mean(0, 10);
    const float late = mean(280, 300);
    EXPECT_TRUE(std::isfinite(late));
    EXPECT_LT(late, .3f * early) << early << " -> " << late;
    EXPECT_GT(*net.total_bbox, 0u);
    free_matrix(d.X);
    free_matrix(d.y);
    free_network(net);
}

} // namespace
