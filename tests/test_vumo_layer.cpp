// The "[vumo]" head: its section (mask, anchors, multipliers, filter check), the activation step,
// box decoding with and without new_coords, counting and extraction of hand-built cell values,
// letterbox correction and resize.
#include "vumo_layer.h"

#include "detection_fixtures.h"
#include "layer.h"
#include "network.h"
#include "parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A [net] 8 x 8 x 3, a 1 x 1 convolution with the given filters and a [vumo] section with extra keys.
std::string head_cfg(int filters, const std::string &vumo_keys)
{
    return "[net]\nwidth=8\nheight=8\nchannels=3\nbatch=1\n\n[convolutional]\nfilters=" + std::to_string(filters) +
           "\nsize=1\nstride=1\nactivation=linear\n\n[vumo]\n" + vumo_keys;
}

network build(const std::string &name, const std::string &cfg)
{
    const std::string path = write_text_file(name, cfg);
    return parse_network_cfg_custom(path.c_str(), 1, 1);
}

// The values one slot of one cell decodes from, after activation.
struct cell_values {
    int slot, col, row;
    float tx, ty, tw, th, objectness;
    std::vector<float> classes;
};

void put_cell(layer &l, int b, const cell_values &v)
{
    const int location = v.slot * l.w * l.h + v.row * l.w + v.col;
    const float entries[5] = {v.tx, v.ty, v.tw, v.th, v.objectness};
    for (int e = 0; e < 5; ++e) l.output[head_entry_index(l, b, location, e)] = entries[e];
    for (size_t k = 0; k < v.classes.size(); ++k) l.output[head_entry_index(l, b, location, 5 + (int)k)] = v.classes[k];
}

std::vector<detection> make_records(int n, int classes)
{
    std::vector<detection> dets(n);
    for (detection &d : dets) {
        d = detection{};
        d.prob = (float *)calloc(classes, sizeof(float));
    }
    return dets;
}

void free_records(std::vector<detection> &dets)
{
    for (detection &d : dets) free(d.prob);
}

} // namespace

TEST(VumoMask, CommaListStopsAtComment)
{
    struct mask_case {
        const char *text;
        std::vector<int> values;
    } cases[] = {
        {"3,4,5", {3, 4, 5}},
        {"0,1,2 # the small anchors, too", {0, 1, 2}},
        {"7", {7}},
    };
    for (const mask_case &c : cases) {
        int count = -1;
        int *values = parse_vumo_mask(c.text, &count);
        ASSERT_EQ(count, (int)c.values.size()) << c.text;
        for (int i = 0; i < count; ++i) EXPECT_EQ(values[i], c.values[i]) << c.text;
        free(values);
    }
    int untouched = 42;
    EXPECT_EQ(parse_vumo_mask(nullptr, &untouched), nullptr);
    EXPECT_EQ(untouched, 42);
}

TEST(VumoParse, MaskSelectsSlotsAndAnchorsFillBiases)
{
    // mask 3,4,5 of num 9 with 2 classes: 3 slots of 7 planes.
    network net = build("mask.cfg", head_cfg(21, "mask=3,4,5\nclasses=2\nnum=9\nanchors=1,2,3,4,5,6\n"));
    const layer &l = net.layers[1];
    EXPECT_EQ(l.type, VUMO);
    EXPECT_EQ(l.n, 3);
    EXPECT_EQ(l.total, 9);
    EXPECT_EQ(l.outputs, 8 * 8 * 3 * 7);
    EXPECT_EQ(l.c, 21);
    EXPECT_EQ(l.out_c, 21);
    EXPECT_EQ(l.mask[0], 3);
    EXPECT_EQ(l.mask[2], 5);
    EXPECT_EQ(l.truth_size, 6);
    EXPECT_EQ(l.truths, 200 * 6);
    // Fewer anchors than 2 * num: the rest keep 0.5.
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(l.biases[i], (float)(i + 1));
    for (int i = 6; i < 18; ++i) EXPECT_FLOAT_EQ(l.biases[i], .5f);
    EXPECT_EQ(l.cell_track_ids[0], -1);
    EXPECT_EQ(l.cell_class_ids[3 * 64 - 1], -1);
    free_network(net);
}

TEST(VumoParse, DefaultsAndWords)
{
    network net = build("defaults.cfg", head_cfg(6, "classes=1\nanchors=10,20,30,40\niou_loss=ciou\nnms_kind=diounms\n"
                                                    "iou_thresh_kind=giou\nscale_x_y=1.05\nnew_coords=1\n"));
    const layer &l = net.layers[1];
    EXPECT_EQ(l.n, 1);
    EXPECT_EQ(l.total, 1);
    EXPECT_EQ(l.mask[0], 0);
    EXPECT_EQ(l.max_boxes, 200);
    // Extra anchors beyond 2 * num are ignored.
    EXPECT_FLOAT_EQ(l.biases[0], 10);
    EXPECT_FLOAT_EQ(l.biases[1], 20);
    EXPECT_EQ(l.iou_loss, CIOU);
    EXPECT_EQ(l.nms_kind, DIOU_NMS);
    EXPECT_EQ(l.iou_thresh_kind, GIOU);
    EXPECT_FLOAT_EQ(l.scale_x_y, 1.05f);
    EXPECT_EQ(l.new_coords, 1);
    EXPECT_FLOAT_EQ(l.iou_normalizer, .75f);
    EXPECT_FLOAT_EQ(l.ignore_thresh, .5f);
    EXPECT_FLOAT_EQ(l.truth_thresh, 1);
    EXPECT_FLOAT_EQ(l.jitter, .2f);
    EXPECT_FLOAT_EQ(l.beta_nms, .6f);
    EXPECT_EQ(l.show_details, 1);
    EXPECT_EQ(l.track_history_size, 5);
    EXPECT_FLOAT_EQ(l.sim_thresh, .8f);
    EXPECT_EQ(l.classes_multipliers, nullptr);
    EXPECT_EQ(l.embedding_output, nullptr);
    free_network(net);
}

TEST(VumoParse, CountersPerClassBecomeCappedMultipliers)
{
    testing::internal::CaptureStdout();
    network net = build("counters.cfg", head_cfg(8, "classes=3\ncounters_per_class=100,0,25\nmax_delta=50\n"));
    const std::string out = testing::internal::GetCapturedStdout();
    const layer &l = net.layers[1];
    ASSERT_NE(l.classes_multipliers, nullptr);
    EXPECT_FLOAT_EQ(l.classes_multipliers[0], 1);
    EXPECT_FLOAT_EQ(l.classes_multipliers[1], 50);  // 100 / 1, capped at max_delta
    EXPECT_FLOAT_EQ(l.classes_multipliers[2], 4);
    EXPECT_NE(out.find(" classes_multipliers: 1.0, 50.0, 4.0, \n"), std::string::npos) << out;
    free_network(net);
}

TEST(VumoParseDeathTest, MessagesOfFatalSections)
{
    struct fatal_case {
        const char *name;
        int filters;
        const char *keys;
        int status;
        const char *message;
    } cases[] = {
        {"filters", 20, "classes=2\nnum=3\n", 1,
         "filters= in the \\[convolutional\\]-layer doesn't correspond to classes= or mask= in \\[vumo\\]-layer"},
        {"counters", 7, "classes=2\ncounters_per_class=5,6,7\n", 0,
         "number of values in counters_per_class = 3 doesn't match with classes = 2"},
        {"mask", 7, "classes=2\nnum=2\nmask=2\n", 1, "mask = 2 in \\[vumo\\]-layer is outside the num = 2 anchors"},
    };
    for (const fatal_case &c : cases) {
        const std::string path = write_text_file(std::string("fatal_") + c.name + ".cfg", head_cfg(c.filters, c.keys));
        // The messages go to standard output; route it to standard error for the matcher.
        EXPECT_EXIT(
            {
                dup2(2, 1);
                parse_network_cfg_custom(path.c_str(), 1, 1);
            },
            testing::ExitedWithCode(c.status), c.message)
            << c.name;
    }
}

TEST(VumoForward, ActivationStepWithScaleXY)
{
    layer l = make_vumo_layer(1, 2, 1, 1, 1, nullptr, 1, 10);
    l.scale_x_y = 2;
    // Raw x values 0, 100 (logistic 0.5, 1), y -100, 0; width, height untouched; objectness, class logistic.
    const float raw[12] = {0, 100, -100, 0, 0.3f, -0.7f, 1.5f, 2.5f, 0, 2, -1, 3};
    network_state state = {};
    state.input = (float *)raw;
    forward_vumo_layer(l, state);
    EXPECT_FLOAT_EQ(l.output[0], .5f);
    EXPECT_FLOAT_EQ(l.output[1], 1.5f);
    EXPECT_FLOAT_EQ(l.output[2], -.5f);
    EXPECT_FLOAT_EQ(l.output[3], .5f);
    EXPECT_FLOAT_EQ(l.output[4], .3f);
    EXPECT_FLOAT_EQ(l.output[7], 2.5f);
    for (int i = 8; i < 12; ++i) EXPECT_FLOAT_EQ(l.output[i], logistic_value(raw[i])) << i;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(l.delta[i], 0);

    // new_coords: the values stay as they came (the previous layer activated them); the stretch remains.
    l.new_coords = 1;
    l.scale_x_y = 1;
    forward_vumo_layer(l, state);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(l.output[i], raw[i]) << i;
    free_vumo_arrays(&l);
    free_layer(l);
}

TEST(VumoForward, BackwardAddsDeltaIntoState)
{
    layer l = make_vumo_layer(1, 1, 1, 1, 1, nullptr, 1, 10);
    for (int i = 0; i < 6; ++i) l.delta[i] = (float)i;
    float into[6] = {1, 1, 1, 1, 1, 1};
    network_state state = {};
    state.delta = into;
    backward_vumo_layer(l, state);
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(into[i], 1.f + i);
    free_vumo_arrays(&l);
    free_layer(l);
}

TEST(VumoBox, DecodingWithAndWithoutNewCoords)
{
    const float biases[4] = {10, 20, 40, 30};
    // One cell of a 4 x 2 grid, stride 8 between entries.
    float x[32] = {};
    const int index = 5;  // col 1, row 1
    x[index] = .25f;
    x[index + 8] = .75f;
    x[index + 16] = .5f;
    x[index + 24] = -.5f;
    box b = get_vumo_box(x, biases, 1, index, 1, 1, 4, 2, 80, 60, 8, 0);
    EXPECT_FLOAT_EQ(b.x, 1.25f / 4);
    EXPECT_FLOAT_EQ(b.y, 1.75f / 2);
    EXPECT_FLOAT_EQ(b.w, (float)(std::exp(.5) * 40 / 80));
    EXPECT_FLOAT_EQ(b.h, (float)(std::exp(-.5) * 30 / 60));
    b = get_vumo_box(x, biases, 1, index, 1, 1, 4, 2, 80, 60, 8, 1);
    // 0.5 * 0.5 * 4 = 1: the anchor width itself.
    EXPECT_FLOAT_EQ(b.w, 40.f / 80);
    EXPECT_FLOAT_EQ(b.h, .25f * 4 * 30 / 60);
}

TEST(VumoDetections, HandBuiltCellsDecodeToBoxesAndProbabilities)
{
    const int w = 4, h = 3, classes = 3;
    int *mask = (int *)calloc(2, sizeof(int));
    mask[0] = 2;
    mask[1] = 0;
    layer l = make_vumo_layer(1, w, h, 2, 3, mask, classes, 10);
    const float anchors[6] = {8, 6, 16, 12, 4, 9};
    memcpy(l.biases, anchors, sizeof anchors);
    const float thresh = .5f;
    const cell_values cells[] = {
        {0, 1, 2, .5f, .25f, 0, 0, .9f, {.2f, .8f, .6f}},
        {1, 3, 0, .1f, .9f, .5f, -.25f, .75f, {.9f, .1f, .5f}},
        // Objectness equal to the threshold is neither counted nor extracted.
        {1, 0, 0, .5f, .5f, 0, 0, .5f, {1, 1, 1}},
        {0, 2, 1, .5f, .5f, 0, 0, NAN, {1, 1, 1}},
    };
    for (const cell_values &c : cells) put_cell(l, 0, c);
    ASSERT_EQ(vumo_num_detections(l, thresh), 2);

    const int netw = 32, neth = 24;
    for (int new_coords = 0; new_coords < 2; ++new_coords) {
        l.new_coords = new_coords;
        std::vector<detection> dets = make_records(2, classes);
        ASSERT_EQ(get_vumo_detections(l, 320, 240, netw, neth, thresh, nullptr, 1, dets.data(), 0), 2);
        // Cell order: cell (3, 0) comes before cell (1, 2).
        const cell_values *expected[2] = {&cells[1], &cells[0]};
        for (int i = 0; i < 2; ++i) {
            const cell_values &c = *expected[i];
            const int a = l.mask[c.slot];
            const detection &d = dets[i];
            EXPECT_FLOAT_EQ(d.bbox.x, (c.col + c.tx) / w);
            EXPECT_FLOAT_EQ(d.bbox.y, (c.row + c.ty) / h);
            const float bw = new_coords ? c.tw * c.tw * 4 * anchors[2 * a] / netw : std::exp(c.tw) * anchors[2 * a] / netw;
            const float bh =
                new_coords ? c.th * c.th * 4 * anchors[2 * a + 1] / neth : std::exp(c.th) * anchors[2 * a + 1] / neth;
            EXPECT_FLOAT_EQ(d.bbox.w, bw);
            EXPECT_FLOAT_EQ(d.bbox.h, bh);
            EXPECT_FLOAT_EQ(d.objectness, c.objectness);
            EXPECT_EQ(d.classes, classes);
            for (int k = 0; k < classes; ++k) {
                const float p = c.objectness * c.classes[k];
                EXPECT_FLOAT_EQ(d.prob[k], p > thresh ? p : 0) << i << " class " << k;
            }
        }
        free_records(dets);
    }
    free_vumo_arrays(&l);
    free_layer(l);
}

TEST(VumoDetections, BatchFormReadsItsImage)
{
    layer l = make_vumo_layer(2, 2, 2, 1, 1, nullptr, 1, 10);
    put_cell(l, 1, {0, 1, 1, .5f, .5f, 0, 0, .8f, {.9f}});
    EXPECT_EQ(vumo_num_detections_batch(l, .5f, 0), 0);
    EXPECT_EQ(vumo_num_detections_batch(l, .5f, 1), 1);
    std::vector<detection> dets = make_records(1, 1);
    ASSERT_EQ(get_vumo_detections_batch(l, 2, 2, 2, 2, .5f, nullptr, 1, dets.data(), 0, 1), 1);
    EXPECT_FLOAT_EQ(dets[0].bbox.x, .75f);
    EXPECT_FLOAT_EQ(dets[0].prob[0], .8f * .9f);
    free_records(dets);
    free_vumo_arrays(&l);
    free_layer(l);
}

TEST(VumoCorrection, LetterboxAndPixels)
{
    struct correction_case {
        const char *name;
        int w, h, netw, neth, relative, letter;
        box in, out;
    } cases[] = {
        // 640 x 480 in 416 x 416: picture area 416 x 312 from y = 52.
        {"centre stays", 640, 480, 416, 416, 1, 1, {.5f, .5f, .1f, .1f}, {.5f, .5f, .1f, .1f * 416 / 312}},
        {"top of picture", 640, 480, 416, 416, 1, 1, {.25f, 52.f / 416, .1f, .1f}, {.25f, 0, .1f, .1f * 416 / 312}},
        // Portrait picture: bars left and right.
        {"portrait", 300, 600, 416, 416, 1, 1, {104.f / 416, .5f, .25f, .5f}, {0, .5f, .5f, .5f}},
        {"pixels", 1280, 720, 416, 416, 0, 0, {.5f, .5f, .1f, .1f}, {640, 360, 128, 72}},
        {"pixels through letterbox", 640, 480, 416, 416, 0, 1, {.5f, 52.f / 416, .5f, .25f},
         {320, 0, 320, .25f * 416 / 312 * 480}},
    };
    for (const correction_case &c : cases) {
        detection d = {};
        d.bbox = c.in;
        correct_vumo_boxes(&d, 1, c.w, c.h, c.netw, c.neth, c.relative, c.letter);
        EXPECT_NEAR(d.bbox.x, c.out.x, 1e-4 * std::max(1.f, c.out.x)) << c.name;
        EXPECT_NEAR(d.bbox.y, c.out.y, 1e-4 * std::max(1.f, c.out.y)) << c.name;
        EXPECT_NEAR(d.bbox.w, c.out.w, 1e-4 * std::max(1.f, c.out.w)) << c.name;
        EXPECT_NEAR(d.bbox.h, c.out.h, 1e-4 * std::max(1.f, c.out.h)) << c.name;
    }
}

TEST(VumoCorrection, ThinPictureStaysFinite)
{
    // 5000 x 2 in 416 x 416 rounds the picture height to 0 rows; the boxes must stay finite.
    detection d = {};
    d.bbox = {.5f, .5f, .1f, .1f};
    correct_vumo_boxes(&d, 1, 5000, 2, 416, 416, 1, 1);
    EXPECT_TRUE(std::isfinite(d.bbox.y));
    EXPECT_TRUE(std::isfinite(d.bbox.h));
    detection e = {};
    e.bbox = {.5f, .5f, .1f, .1f};
    correct_vumo_boxes(&e, 1, 0, 0, 416, 416, 1, 1);
    EXPECT_FLOAT_EQ(e.bbox.x, .5f);
}

TEST(VumoResize, NewGridThroughTheKindTable)
{
    network net = build("resize.cfg", head_cfg(12, "classes=1\nnum=2\n"));
    ASSERT_EQ(resize_network(&net, 16, 8), 0);
    const layer &l = net.layers[1];
    EXPECT_EQ(l.w, 16);
    EXPECT_EQ(l.h, 8);
    EXPECT_EQ(l.outputs, 16 * 8 * 2 * 6);
    EXPECT_EQ(l.inputs, l.outputs);
    // The whole new output is usable.
    std::vector<float> input(16 * 8 * 3, .5f);
    network_predict(net, input.data());
    EXPECT_EQ(vumo_num_detections(l, 2.f), 0);
    free_network(net);
}
