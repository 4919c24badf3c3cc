// The Detector class and the plain-function interface on networks whose weights our own writer
// saved: pixel boxes against hand decoding (the clamped left edge included), stretched input,
// suppression on and off, batches, the 1000-box copy limit, unreadable images, the build answers,
// and the C example and the command-line program on the same files.
#include "quillon.h"

#include "detection_fixtures.h"
#include "network.h"
#include "parser.h"
#include "weights.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

static_assert(sizeof(bbox_t) == 44, "bbox_t is 44 bytes");
static_assert(offsetof(bbox_t, prob) == 16 && offsetof(bbox_t, world_z) == 40, "bbox_t layout");

namespace {

// 32 x 32 input, one 8 x 8 stride-8 convolution into a 4 x 4 grid of one anchor (12 x 12 pixels),
// two classes. Objectness follows the mean of channel 0 over the cell: 10 when it is 1, -10 when 0;
// class 1 always wins. Box values are 0, so every box sits at its cell centre.
const char *blocks_cfg = "[net]\nwidth=32\nheight=32\nchannels=3\n\n"
                         "[convolutional]\nfilters=7\nsize=8\nstride=8\nactivation=linear\n\n"
                         "[vumo]\nclasses=2\nnum=1\nanchors=12,12\n";

struct files {
    std::string cfg, weights;
};

files write_blocks_network(const std::string &name, int batch)
{
    files f;
    f.cfg = write_text_file(name + ".cfg", blocks_cfg);
    f.weights = detection_temp_path(name + ".weights");
    network net = parse_network_cfg_custom(f.cfg.c_str(), batch, 1);
    layer &conv = net.layers[0];
    std::fill(conv.weights, conv.weights + conv.nweights, 0.f);
    const int per_filter = 3 * 8 * 8;
    for (int k = 0; k < 64; ++k) conv.weights[4 * per_filter + k] = 20.f / 64;
    const float biases[7] = {0, 0, 0, 0, -10, -5, 5};
    std::copy(biases, biases + 7, conv.biases);
    save_weights(net, f.weights.c_str());
    free_network(net);
    return f;
}

// Channel 0 is 1 over the cells (col, row) listed, 0 elsewhere; the other channels are mid grey.
image blocks_image(int size, const std::vector<std::pair<int, int>> &cells)
{
    image im = make_image(size, size, 3);
    const int cell = size / 4;
    for (int i = size * size; i < 3 * size * size; ++i) im.data[i] = .5f;
    for (auto [col, row] : cells)
        for (int y = row * cell; y < (row + 1) * cell; ++y)
            for (int x = col * cell; x < (col + 1) * cell; ++x) im.data[y * size + x] = 1;
    return im;
}

image_t as_image_t(image im) { return image_t{im.h, im.w, im.c, im.data}; }

// Pixel box of cell (col, row) decoded by hand for a picture of pw x ph.
bbox_t expected_box(int col, int row, int pw, int ph)
{
    const double x = (col + .5) / 4, y = (row + .5) / 4, w = 12. / 32, h = 12. / 32;
    bbox_t b = {};
    b.x = (unsigned)std::max(0.0, (x - w / 2) * pw);
    b.y = (unsigned)std::max(0.0, (y - h / 2) * ph);
    b.w = (unsigned)(float)(pw * w);
    b.h = (unsigned)(float)(ph * h);
    b.class_id = 1;
    return b;
}

std::vector<bbox_t> by_position(std::vector<bbox_t> v)
{
    std::sort(v.begin(), v.end(), [](const bbox_t &a, const bbox_t &b) { return std::tie(a.y, a.x) < std::tie(b.y, b.x); });
    return v;
}

void expect_boxes(const std::vector<bbox_t> &got, const std::vector<bbox_t> &want)
{
    ASSERT_EQ(got.size(), want.size());
    const std::vector<bbox_t> g = by_position(got), e = by_position(want);
    for (size_t i = 0; i < g.size(); ++i) {
        EXPECT_EQ(g[i].x, e[i].x) << i;
        EXPECT_EQ(g[i].y, e[i].y) << i;
        EXPECT_EQ(g[i].w, e[i].w) << i;
        EXPECT_EQ(g[i].h, e[i].h) << i;
        EXPECT_EQ(g[i].class_id, e[i].class_id) << i;
        EXPECT_EQ(g[i].track_id, 0u);
        EXPECT_EQ(g[i].frame_count, 0u);
        EXPECT_TRUE(std::isnan(g[i].world_x) && std::isnan(g[i].world_y) && std::isnan(g[i].world_z));
    }
}

// A 40 x 32 grid of 1 x 1 cells, every one a confident object of anchor size a.
files write_grid_network(const std::string &name, float anchor)
{
    files f;
    const std::string a = std::to_string(anchor);
    f.cfg = write_text_file(name + ".cfg", "[net]\nwidth=40\nheight=32\nchannels=3\n\n"
                                           "[convolutional]\nfilters=6\nsize=1\nstride=1\nactivation=linear\n\n"
                                           "[vumo]\nclasses=1\nnum=1\nanchors=" + a + "," + a + "\n");
    f.weights = detection_temp_path(name + ".weights");
    network net = parse_network_cfg_custom(f.cfg.c_str(), 1, 1);
    layer &conv = net.layers[0];
    std::fill(conv.weights, conv.weights + conv.nweights, 0.f);
    const float biases[6] = {0, 0, 0, 0, 10, 10};
    std::copy(biases, biases + 6, conv.biases);
    save_weights(net, f.weights.c_str());
    free_network(net);
    return f;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(BboxLayout, FixedOffsets)
{
    EXPECT_EQ(sizeof(bbox_t), 44u);
    const size_t offsets[] = {offsetof(bbox_t, x),        offsetof(bbox_t, y),           offsetof(bbox_t, w),
                              offsetof(bbox_t, h),        offsetof(bbox_t, prob),        offsetof(bbox_t, class_id),
                              offsetof(bbox_t, track_id), offsetof(bbox_t, frame_count), offsetof(bbox_t, world_x),
                              offsetof(bbox_t, world_y),  offsetof(bbox_t, world_z)};
    for (size_t i = 0; i < std::size(offsets); ++i) EXPECT_EQ(offsets[i], 4 * i) << i;
    EXPECT_EQ(offsetof(image_t, h), 0u);
    EXPECT_EQ(offsetof(image_t, w), 4u);
    EXPECT_EQ(offsetof(image_t, c), 8u);
    EXPECT_EQ(offsetof(image_t, data), 16u);
}

TEST(Detector, PixelBoxesMatchHandDecoding)
{
    const files f = write_blocks_network("blocks", 1);
    Detector detector(f.cfg, f.weights, 0, 1);
    EXPECT_EQ(detector.get_net_width(), 32);
    EXPECT_EQ(detector.get_net_height(), 32);
    EXPECT_EQ(detector.get_net_color_depth(), 3);
    EXPECT_FLOAT_EQ(detector.nms_thresh, .4f);

    const std::vector<std::pair<int, int>> cells = {{0, 1}, {2, 3}};
    image im = blocks_image(32, cells);
    const std::vector<bbox_t> boxes = detector.detect(as_image_t(im), .2f);
    // The box of column 0 starts 2 pixels left of the picture: clamped to 0.
    expect_boxes(boxes, {expected_box(0, 1, 32, 32), expected_box(2, 3, 32, 32)});
    EXPECT_EQ(by_position(boxes)[0].x, 0u);
    EXPECT_EQ(by_position(boxes)[1].x, 14u);
    for (const bbox_t &b : boxes) EXPECT_FLOAT_EQ(b.prob, logistic_value(10) * logistic_value(5));

    // A larger picture is stretched to the input; boxes come back in its own pixels.
    image big = blocks_image(64, cells);
    expect_boxes(detector.detect(as_image_t(big), .2f, true), {expected_box(0, 1, 64, 64), expected_box(2, 3, 64, 64)});

    // Above every probability: nothing.
    EXPECT_TRUE(detector.detect(as_image_t(im), .999f).empty());

    // Track ids: the same objects keep their ids on the next frame (max_dist below their distance).
    std::vector<bbox_t> first = detector.tracking_id(detector.detect(as_image_t(im), .2f), true, 5, 8);
    std::vector<bbox_t> second = detector.tracking_id(detector.detect(as_image_t(im), .2f), true, 5, 8);
    first = by_position(first);
    second = by_position(second);
    ASSERT_EQ(second.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(first[i].track_id, 0u);
        EXPECT_EQ(second[i].track_id, first[i].track_id);
    }
    free_image(im);
    free_image(big);
}

TEST(Detector, ImageFilesAndUnreadableFiles)
{
    const files f = write_blocks_network("blocks_file", 1);
    Detector detector(f.cfg, f.weights, 0, 1);
    image im = blocks_image(32, {{1, 1}, {3, 0}});
    const std::string path = write_ppm_file("blocks.ppm", im);
    expect_boxes(detector.detect(path, .2f), {expected_box(1, 1, 32, 32), expected_box(3, 0, 32, 32)});

    image_t loaded = Detector::load_image(path);
    EXPECT_EQ(loaded.w, 32);
    EXPECT_EQ(loaded.h, 32);
    EXPECT_EQ(loaded.c, 3);
    EXPECT_FLOAT_EQ(loaded.data[32 * 32 + 5], 128 / 255.f);
    Detector::free_image(loaded);

    try {
        detector.detect(detection_temp_path("no_such_image.png"), .2f);
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "file not found");
    }
    free_image(im);
}

TEST(Detector, BatchBoxesInPixelsOfTheGivenSize)
{
    const files f = write_blocks_network("blocks_batch", 2);
    Detector detector(f.cfg, f.weights, 0, 2);
    image a = blocks_image(32, {{0, 0}});
    image b = blocks_image(32, {{1, 2}, {3, 3}});
    image both = make_image(32, 32, 6);
    std::copy(a.data, a.data + 32 * 32 * 3, both.data);
    std::copy(b.data, b.data + 32 * 32 * 3, both.data + 32 * 32 * 3);
    const std::vector<std::vector<bbox_t>> r = detector.detectBatch(as_image_t(both), 2, 64, 48, .2f);
    ASSERT_EQ(r.size(), 2u);
    expect_boxes(r[0], {expected_box(0, 0, 64, 48)});
    expect_boxes(r[1], {expected_box(1, 2, 64, 48), expected_box(3, 3, 64, 48)});

    // One picture on the two-image network: the pass still reads only the caller's pixels.
    expect_boxes(detector.detect(as_image_t(b), .2f), {expected_box(1, 2, 32, 32), expected_box(3, 3, 32, 32)});
    const std::vector<std::vector<bbox_t>> one = detector.detectBatch(as_image_t(a), 1, 32, 32, .2f);
    ASSERT_EQ(one.size(), 1u);
    expect_boxes(one[0], {expected_box(0, 0, 32, 32)});
    for (image m : {a, b, both}) free_image(m);
}

TEST(Detector, SuppressionOnlyWhenThresholdIsSet)
{
    // Anchors of 4 pixels on 1-pixel cells: neighbours overlap strongly.
    const files f = write_grid_network("overlap", 4);
    Detector detector(f.cfg, f.weights, 0, 1);
    image im = make_image(40, 32, 3);
    const size_t suppressed = detector.detect(as_image_t(im), .2f).size();
    EXPECT_LT(suppressed, 1280u);
    EXPECT_GT(suppressed, 0u);
    detector.nms_thresh = 0;
    EXPECT_EQ(detector.detect(as_image_t(im), .2f).size(), 1280u);
    free_image(im);
}

TEST(PlainInterface, CopiesAtMostOneThousandBoxesAndReturnsTheCount)
{
    EXPECT_FALSE(built_with_opencv());
#ifdef QUILLON_GPU
    EXPECT_TRUE(built_with_cuda());
#else
    EXPECT_FALSE(built_with_cuda());
    EXPECT_FALSE(built_with_cudnn());
    EXPECT_EQ(get_device_count(), 0);
    char name[256] = {};
    EXPECT_EQ(get_device_name(0, name), 0);
    EXPECT_EQ(name[0], 0);
#endif
    bbox_t boxes[DETECT_IMAGE_MAX_BOXES + 1];
    const bbox_t sentinel = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    boxes[DETECT_IMAGE_MAX_BOXES] = sentinel;
    // No detector yet: no boxes rather than a crash.
    EXPECT_EQ(detect_image("x.png", boxes), 0);

    // Half-pixel anchors on 1-pixel cells: 1280 separate objects.
    const files f = write_grid_network("grid", .5f);
    EXPECT_EQ(init(f.cfg.c_str(), f.weights.c_str(), 0, 1), 1);
    image im = make_image(40, 32, 3);
    const std::string path = write_ppm_file("grid.ppm", im);
    EXPECT_EQ(detect_image(path.c_str(), boxes), 1280);
    EXPECT_EQ(boxes[DETECT_IMAGE_MAX_BOXES].x, 7u);
    EXPECT_EQ(boxes[DETECT_IMAGE_MAX_BOXES].class_id, 7u);
    for (int i = 0; i < DETECT_IMAGE_MAX_BOXES; ++i) ASSERT_GT(boxes[i].prob, .2f) << i;

    // Unreadable images never cross the boundary as exceptions.
    EXPECT_EQ(detect_image(detection_temp_path("missing.jpg").c_str(), boxes), 0);
    EXPECT_EQ(detect_mat(nullptr, 0, boxes), -1);

    // init replaces the detector.
    const files g = write_blocks_network("blocks_plain", 1);
    EXPECT_EQ(init(g.cfg.c_str(), g.weights.c_str(), 0, 1), 1);
    image blocks = blocks_image(32, {{2, 2}});
    const std::string blocks_path = write_ppm_file("blocks_plain.ppm", blocks);
    ASSERT_EQ(detect_image(blocks_path.c_str(), boxes), 1);
    expect_boxes({boxes[0]}, {expected_box(2, 2, 32, 32)});
    EXPECT_EQ(dispose(), 1);
    EXPECT_EQ(detect_image(blocks_path.c_str(), boxes), 0);
    EXPECT_EQ(dispose(), 1);
    free_image(im);
    free_image(blocks);
}

TEST(PlainInterface, CExampleAndCommandLine)
{
    const files f = write_blocks_network("blocks_c", 1);
    image im = blocks_image(32, {{0, 1}, {2, 3}});
    const std::string path = write_ppm_file("blocks_c.ppm", im);
    free_image(im);

    const std::string out = detection_temp_path("example_c.out");
    const std::string example = std::string(QUILLON_BINARY_DIR) + "/example_detect_c " + f.cfg + " " + f.weights + " " +
                                path + " " + detection_temp_path("missing.png") + " >" + out + " 2>/dev/null";
    ASSERT_EQ(std::system(example.c_str()), 0);
    const std::string text = read_file(out);
    EXPECT_NE(text.find("boxes 2\n"), std::string::npos) << text;
    const bbox_t a = expected_box(0, 1, 32, 32), b = expected_box(2, 3, 32, 32);
    char line[128];
    for (const bbox_t &e : {a, b}) {
        snprintf(line, sizeof line, "box class_id=1 x=%u y=%u w=%u h=%u", e.x, e.y, e.w, e.h);
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    EXPECT_NE(text.find("missing 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("mat -1\n"), std::string::npos) << text;

    const std::string cli_out = detection_temp_path("cli.out");
    const std::string cli = std::string(QUILLON_BINARY_DIR) + "/quillon detect " + f.cfg + " " + f.weights + " " + path +
                            " -thresh 0.5 >" + cli_out + " 2>/dev/null";
    ASSERT_EQ(std::system(cli.c_str()), 0);
    const std::string cli_text = read_file(cli_out);
    for (const bbox_t &e : {a, b}) {
        snprintf(line, sizeof line, "class_id=1 prob=%.6f x=%u y=%u w=%u h=%u\n",
                 logistic_value(10) * logistic_value(5), e.x, e.y, e.w, e.h);
        EXPECT_NE(cli_text.find(line), std::string::npos) << line << "\n" << cli_text;
    }

    // The same detections as a JSON frame, named by the names file; unknown options are refused.
    const std::string names = detection_temp_path("blocks.names");
    FILE *nf = fopen(names.c_str(), "w");
    ASSERT_NE(nf, nullptr);
    fputs("zero\none\n", nf);
    fclose(nf);
    const std::string json = detection_temp_path("cli.json");
    const std::string json_cli = std::string(QUILLON_BINARY_DIR) + "/quillon detect " + f.cfg + " " + f.weights + " " +
                                 path + " -thresh 0.5 -names " + names + " -json " + json + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(json_cli.c_str()), 0);
    const std::string json_text = read_file(json);
    EXPECT_EQ(json_text.rfind("{\n \"frame_id\":1, \n", 0), 0u) << json_text;
    size_t objects = 0;
    for (size_t at = json_text.find("\"name\":\"one\""); at != std::string::npos;
         at = json_text.find("\"name\":\"one\"", at + 1))
        ++objects;
    EXPECT_EQ(objects, 2u) << json_text;
    const std::string bad = std::string(QUILLON_BINARY_DIR) + "/quillon detect " + f.cfg + " " + f.weights + " " + path +
                            " -bogus 1 >/dev/null 2>&1";
    EXPECT_NE(std::system(bad.c_str()), 0);
}
