// Training data: label parsing and validation, truth rows, the detection crop arithmetic, batch
// augmentation and the threaded loader with its worker pool.
#include "data.h"

#include "image.h"
#include "matrix.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
}

// Binary PNM: lossless, so decoded pixels are known exactly.
void write_ppm(const std::string &path, int w, int h, const std::vector<unsigned char> &rgb)
{
    FILE *f = fopen(path.c_str(), "wb");
    fprintf(f, "P6\n%d %d\n255\n", w, h);
    fwrite(rgb.data(), 1, rgb.size(), f);
    fclose(f);
}

int count_threads()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

// Each test runs in its own scratch directory, since the loader appends to side files there.
class DataTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/quillon_data_XXXXXX";
        dir = mkdtemp(tmpl);
        ASSERT_TRUE(getcwd(old_cwd, sizeof old_cwd));
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd), 0);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string dir;
    char old_cwd[4096];
};

} // namespace

TEST_F(DataTest, ReadBoxesTable)
{
    struct Case {
        const char *text;
        std::vector<std::vector<double>> boxes;  // id x y w h
    };
    const Case cases[] = {
        {"", {}},
        {"0 0.5 0.5 0.2 0.4\n", {{0, .5f, .5f, .2f, .4f}}},
        {"1 0.1 0.2 0.3 0.4\r\n2 0.9 0.8 0.1 0.05\n", {{1, .1f, .2f, .3f, .4f}, {2, .9f, .8f, .1f, .05f}}},
        {"3 0.5 0.5 0.2\n", {}},                                        // short record ends reading
        {"0 0.5 0.5 0.2 0.2\nx 0.5 0.5 0.2 0.2\n1 0.5 0.5 0.1 0.1\n", {{0, .5f, .5f, .2f, .2f}}},
        {"0 0.5\n0.5 0.2 0.2\n", {{0, .5f, .5f, .2f, .2f}}},            // records are whitespace separated
        {"99999999999 0.5 0.5 0.2 0.2\n", {{2147483647, .5f, .5f, .2f, .2f}}},
        {"-3 0.5 0.5 0.2 0.2\n", {{-3, .5f, .5f, .2f, .2f}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        write_file("l.txt", c.text);
        int count = -1;
        label_box *b = read_boxes("l.txt", &count);
        ASSERT_EQ(count, (int)c.boxes.size());
        const int base = (int)(label_path_hash("l.txt") % 4000) * 4000;
        for (int k = 0; k < count; ++k) {
            EXPECT_EQ(b[k].id, (int)c.boxes[k][0]);
            const std::vector<double> &v = c.boxes[k];
            EXPECT_FLOAT_EQ(b[k].x, (float)v[1]);
            EXPECT_FLOAT_EQ(b[k].h, (float)v[4]);
            EXPECT_FLOAT_EQ(b[k].left, (float)v[1] - (float)v[3] / 2);
            EXPECT_FLOAT_EQ(b[k].bottom, (float)v[2] + (float)v[4] / 2);
            EXPECT_EQ(b[k].track_id, base + k);
        }
        free(b);
    }
}

TEST_F(DataTest, LabelPathHashIsDjb2OverSignedBytes)
{
    EXPECT_EQ(label_path_hash(""), 5381u);
    EXPECT_EQ(label_path_hash("a"), 5381u * 33 + 'a');
    EXPECT_EQ(label_path_hash("\xff"), 5381u * 33 - 1);
}

TEST_F(DataTest, MissingLabelFileIsReportedAndEmpty)
{
    testing::internal::CaptureStdout();
    int count = -1;
    label_box *b = read_boxes("nothere.txt", &count);
    std::string out = testing::internal::GetCapturedStdout();
    free(b);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(out, "Can't open label file. (This can be normal only if you use MSCOCO): nothere.txt \n");
    EXPECT_EQ(read_file("bad.list"), "nothere.txt\n");
}

TEST_F(DataTest, WriteDetectionTruthValidatesEveryLine)
{
    struct Case {
        const char *line;
        std::vector<float> slot;  // expected x y w h id of slot 0, empty when rejected
        const char *message;      // expected on stdout (after the label path substitution)
        const char *bad_label;    // expected "bad_label.list" content
    };
    const Case cases[] = {
        {"1 0.5 0.5 0.2 0.4", {.5f, .5f, .2f, .4f, 1}, "", ""},
        {"5 0.5 0.5 0.2 0.4", {},
         "\n Wrong annotation: class_id = 5. But class_id should be [from 0 to 2], file: img/a.txt \n",
         "img/a.txt Wrong annotation: class_id = 5. But class_id should be [from 0 to 2]\n"},
        {"0 0 0 0.2 0.2", {}, "\n Wrong annotation: x = 0, y = 0, < 0 or > 1, file: img/a.txt \n",
         "img/a.txt Wrong annotation: x = 0 or y = 0\n"},
        {"0 1.5 0.5 0.2 0.2", {}, "\n Wrong annotation: x = 0, y = 0, < 0 or > 1, file: img/a.txt \n",
         "img/a.txt Wrong annotation: x = 0 or y = 0\n"},
        {"0 nan 0.5 0.2 0.2", {}, "\n Wrong annotation: x = 0, y = 0, < 0 or > 1, file: img/a.txt \n",
         "img/a.txt Wrong annotation: x = 0 or y = 0\n"},
        {"0 0.5 0.5 inf 0.2", {}, "\n Wrong annotation: x = 0, y = 0, < 0 or > 1, file: img/a.txt \n",
         "img/a.txt Wrong annotation: x = 0 or y = 0\n"},
        {"0 0.5 0.5 0.005 0.2", {}, "", ""},  // narrower than one network pixel
        {"0 0.5 0.5 1.2 0.2", {.5f, .5f, 1, .2f, 0}, "", ""},
        {"-1 0.5 0.5 0.2 0.2", {.5f, .5f, .2f, .2f, -1}, "", ""},
    };
    ASSERT_EQ(mkdir("img", 0755), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        write_file("img/a.txt", c.line);
        remove("bad_label.list");
        std::vector<float> truth(6 * 4, 0);
        testing::internal::CaptureStdout();
        int min_w_h = write_detection_truth("img/a.jpg", 4, 6, truth.data(), 3, 0, 0, 0, 1, 1, 100, 100);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.message);
        EXPECT_EQ(read_file("bad_label.list"), c.bad_label);
        if (c.slot.empty()) {
            EXPECT_EQ(truth[0], 0);
            EXPECT_EQ(min_w_h, 0);
            continue;
        }
        for (int k = 0; k < 5; ++k) EXPECT_NEAR(truth[k], c.slot[k], 1e-6) << k;
        EXPECT_EQ(truth[5], (float)((label_path_hash("img/a.txt") % 4000) * 4000));
        EXPECT_EQ(min_w_h, (int)(std::min(c.slot[2], c.slot[3]) * 100));
        EXPECT_EQ(truth[6], 0);
    }
}

TEST_F(DataTest, TruthRowsArePackedAndCapped)
{
    write_file("b.txt", "0 0.5 0.5 0.2 0.2\n7 0.5 0.5 0.2 0.2\n1 0.3 0.3 0.1 0.1\n2 0.6 0.6 0.3 0.3\n"
                        "0 0 0 0.1 0.1\n1 0.4 0.4 0.2 0.2\n");
    for (int max_boxes : {2, 3, 8}) {
        std::vector<float> truth(7 * max_boxes, 0);
        testing::internal::CaptureStdout();
        write_detection_truth("b.jpg", max_boxes, 7, truth.data(), 3, 0, 0, 0, 1, 1, 100, 100);
        testing::internal::GetCapturedStdout();
        int used = 0;
        while (used < max_boxes && truth[used * 7] != 0) ++used;
        for (int k = used; k < max_boxes; ++k)
            for (int f = 0; f < 7; ++f) EXPECT_EQ(truth[k * 7 + f], 0);
        for (int k = 0; k < used; ++k) EXPECT_EQ(truth[k * 7 + 6], 0);
        // Two of the six records are rejected; the rest never leave gaps.
        EXPECT_LE(used, std::min(max_boxes, 4));
        if (max_boxes == 8) EXPECT_EQ(used, 4);
    }
}

TEST(DataCrop, HandComputedOffsets)
{
    struct Case {
        int ow, oh, w, h;
        float jitter, resize;
        int letter_box;
        detection_augment a;
        int pleft, pright, ptop, pbot;
    };
    const Case cases[] = {
        {200, 100, 100, 100, 0, 1, 0, {.3f, .6f, .1f, .2f, .3f, .4f, 0, 0, 1, 1}, 0, 0, 0, 0},
        // dw = 40, dh = 20: U(-40, 40, .75) = 20, U(-40, 40, .25) = -20, U(-20, 20, .5) = 0, U(-20, 20, 1) = 20
        {200, 100, 100, 100, .2f, 1, 0, {.5f, .5f, .75f, .25f, .5f, 1, 0, 0, 1, 1}, 20, -20, 0, 20},
        // letterbox of a 2:1 picture into a square net: delta_h = 50
        {200, 100, 100, 100, .2f, 1, 1, {.5f, .5f, .75f, .25f, .5f, 1, 0, 0, 1, 1}, 20, -20, -50, -30},
        {100, 200, 100, 100, 0, 1, 1, {.5f, .5f, 0, 0, 0, 0, 0, 0, 1, 1}, -50, -50, 0, 0},
        // resize 1.5: min_rdw = -50, max_rdw = 33, min_rdh = -25, max_rdh = 16;
        // pleft = (int)(20 + U(-50, 33, .5)) = 11, ptop = (int)(0 + U(-25, 16, .5)) = -4,
        // pbot = (int)(20 + U(-25, 16, .25)) = 5
        {200, 100, 100, 100, .2f, 1.5f, 0, {.5f, .25f, .75f, .25f, .5f, 1, 0, 0, 1, 1}, 11, -49, -4, 5},
        // resize 0.5 only shrinks: min_rdw = -100, the upper bound is 0
        {200, 100, 100, 100, 0, .5f, 0, {.5f, 1, 0, 0, 0, 0, 0, 0, 1, 1}, -50, 0, -25, 0},
    };
    for (const Case &c : cases) {
        detection_crop r = compute_detection_crop(c.ow, c.oh, c.w, c.h, c.jitter, c.resize, c.letter_box, c.a);
        EXPECT_EQ(r.pleft, c.pleft);
        EXPECT_EQ(r.pright, c.pright);
        EXPECT_EQ(r.ptop, c.ptop);
        EXPECT_EQ(r.pbot, c.pbot);
        EXPECT_EQ(r.swidth, c.ow - c.pleft - c.pright);
        EXPECT_EQ(r.sheight, c.oh - c.ptop - c.pbot);
        EXPECT_FLOAT_EQ(r.sx, (float)r.swidth / c.ow);
        EXPECT_FLOAT_EQ(r.dx, ((float)c.pleft / c.ow) / r.sx);
        EXPECT_FLOAT_EQ(r.dy, ((float)c.ptop / c.oh) / r.sy);
    }
}

TEST(DataCrop, ExtremeJitterStillLeavesAPicture)
{
    detection_augment a{1, 1, 1, 1, 1, 1, 0, 0, 1, 1};
    detection_crop r = compute_detection_crop(100, 100, 64, 64, .9f, 2, 0, a);
    EXPECT_GE(r.swidth, 1);
    EXPECT_GE(r.sheight, 1);
}

TEST(DataTruth, AdjustMapsCropAndFlip)
{
    // Box 0.4..0.6 x 0.2..0.6 in a crop starting at 10% that keeps 80% of the width.
    label_box b{0, 0, .5f, .4f, .2f, .4f, .4f, .6f, .2f, .6f};
    const float sx = 0.8f, dx = 0.1f / sx;
    label_box plain = b, flipped = b;
    adjust_label_boxes(&plain, 1, dx, 0, 1 / sx, 1, 0);
    adjust_label_boxes(&flipped, 1, dx, 0, 1 / sx, 1, 1);
    EXPECT_NEAR(plain.left, (0.4f - 0.1f) / sx, 1e-6);
    EXPECT_NEAR(plain.right, (0.6f - 0.1f) / sx, 1e-6);
    EXPECT_NEAR(plain.x, 0.5f, 1e-6);
    EXPECT_NEAR(plain.w, 0.25f, 1e-6);
    EXPECT_NEAR(flipped.x, 1 - plain.x, 1e-6);
    EXPECT_NEAR(flipped.w, plain.w, 1e-6);
    EXPECT_NEAR(flipped.y, plain.y, 1e-6);
    // A box pushed out of the crop collapses to zero width at the edge.
    label_box out = {0, 0, .05f, .5f, .1f, .1f, 0, .1f, .45f, .55f};
    adjust_label_boxes(&out, 1, 0.5f, 0, 1, 1, 0);
    EXPECT_EQ(out.w, 0);
}

TEST(DataTruth, MergeListsNewBoxesFirst)
{
    const int ts = 6, mb = 3;
    float fresh[ts * mb] = {.1f, .1f, .1f, .1f, 1, 11};
    float old[ts * mb] = {.2f, .2f, .2f, .2f, 2, 22, .3f, .3f, .3f, .3f, 3, 33, .4f, .4f, .4f, .4f, 4, 44};
    merge_truth_rows(fresh, mb, ts, old);
    const float want[ts * mb] = {.1f, .1f, .1f, .1f, 1, 11, .2f, .2f, .2f, .2f, 2, 0, .3f, .3f, .3f, .3f, 3, 0};
    for (int i = 0; i < ts * mb; ++i) EXPECT_EQ(fresh[i], want[i]) << i;
}

TEST(DataBatch, ConcatPutsLastRecordFirstAndSlices)
{
    data records[3];
    for (int r = 0; r < 3; ++r) {
        records[r] = data{};
        records[r].X = make_matrix(r, 2);
        records[r].y = make_matrix(r, 1);
        for (int i = 0; i < r; ++i) records[r].X.vals[i][0] = records[r].y.vals[i][0] = (float)(10 * r + i);
    }
    data d = concat_loaded_batches(records, 3);
    ASSERT_EQ(d.X.rows, 3);
    EXPECT_EQ(d.shallow, 0);
    const float want[] = {20, 21, 10};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(d.y.vals[i][0], want[i]);
    data s = slice_data_rows(d, 1, 2);
    ASSERT_EQ(s.X.rows, 2);
    EXPECT_EQ(s.X.vals[0], d.X.vals[1]);
    EXPECT_EQ(s.shallow, 1);
    free_data(s);
    free_data(d);
}

namespace {

// A 60x30 picture whose left third is red, the rest blue, with its label file beside it.
std::string make_detection_fixture(const std::string &name)
{
    const int w = 60, h = 30;
    std::vector<unsigned char> rgb(w * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *p = &rgb[(y * w + x) * 3];
            p[0] = x < 20 ? 255 : (unsigned char)(4 * y);
            p[1] = (unsigned char)(4 * x);
            p[2] = x < 20 ? 0 : 255;
        }
    write_ppm(name + ".ppm", w, h, rgb);
    write_file(name + ".txt", "0 0.2 0.5 0.2 0.4\n1 0.7 0.3 0.3 0.2\n");
    return name + ".ppm";
}

float row_distance(const float *a, const float *b, size_t n)
{
    float m = 0;
    for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
    return m;
}

} // namespace

TEST_F(DataTest, LetterboxedBatchMatchesHandComputedCropAndFlip)
{
    std::string path = make_detection_fixture("pic");
    char *paths[] = {path.data()};
    const int w = 40, h = 40, n = 16;
    data d = load_data_detection(n, paths, 1, w, h, 3, 4, 6, 2, 1, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0);
    // No jitter: the crop is the 2:1 picture widened to a square, 15 rows of edge repeated above
    // and below; every box keeps x and w while y and h shrink to half.
    image orig = load_image_stb(path.data(), 3);
    image crop = crop_image(orig, 0, -15, 60, 60);
    image plain = resize_image(crop, w, h);
    image mirrored = copy_image(plain);
    mirror_image(mirrored);
    const size_t cols = (size_t)w * h * 3;
    ASSERT_EQ(d.X.rows, n);
    ASSERT_EQ(d.X.cols, (int)cols);
    int flips = 0;
    for (int i = 0; i < n; ++i) {
        const bool is_plain = row_distance(d.X.vals[i], plain.data, cols) < 1e-5;
        const bool is_mirror = row_distance(d.X.vals[i], mirrored.data, cols) < 1e-5;
        ASSERT_TRUE(is_plain != is_mirror) << i;
        flips += is_mirror;
        std::vector<std::vector<float>> want = {{.2f, .25f + .5f * .5f, .2f, .2f, 0}, {.7f, .25f + .3f * .5f, .3f, .1f, 1}};
        for (auto &b : want)
            if (is_mirror) b[0] = 1 - b[0];
        const float *t = d.y.vals[i];
        ASSERT_EQ(t[12], 0);
        // The two boxes come in a shuffled order.
        for (int s = 0; s < 2; ++s) {
            const auto &b = want[(int)t[s * 6 + 4]];
            for (int k = 0; k < 4; ++k) EXPECT_NEAR(t[s * 6 + k], b[k], 1e-5) << i << " " << s << " " << k;
        }
    }
    EXPECT_GT(flips, 0);
    EXPECT_LT(flips, n);
    free_image(orig);
    free_image(crop);
    free_image(plain);
    free_image(mirrored);
    free_data(d);
}

TEST_F(DataTest, AugmentedBoxesStayInsideTheImage)
{
    std::string path = make_detection_fixture("pic");
    char *paths[] = {path.data()};
    for (int letter_box : {0, 1}) {
        testing::internal::CaptureStdout();
        data d = load_data_detection(32, paths, 1, 32, 24, 0, 5, 6, 2, 1, 0, 0, 1, .3f, 1.5f, .1f, 1.5f, 1.5f, 0, 0,
                                     0, letter_box, 0, 0, 0, 0, 0);
        testing::internal::GetCapturedStdout();
        ASSERT_EQ(d.X.rows, 32);
        for (int i = 0; i < d.y.rows; ++i) {
            for (int j = 0; j < d.X.cols; ++j) ASSERT_TRUE(d.X.vals[i][j] >= 0 && d.X.vals[i][j] <= 1);
            const float *t = d.y.vals[i];
            for (int s = 0; s < 5 && t[s * 6] != 0; ++s) {
                const float x = t[s * 6], y = t[s * 6 + 1], bw = t[s * 6 + 2], bh = t[s * 6 + 3];
                EXPECT_GT(x, 0);
                EXPECT_LE(x, 1);
                EXPECT_GT(y, 0);
                EXPECT_LE(y, 1);
                EXPECT_GE(x - bw / 2, -1e-6);
                EXPECT_LE(x + bw / 2, 1 + 1e-6);
                EXPECT_GE(y - bh / 2, -1e-6);
                EXPECT_LE(y + bh / 2, 1 + 1e-6);
                EXPECT_GE(bw, 1.f / 32);
                EXPECT_GE(bh, 1.f / 24);
            }
        }
        free_data(d);
    }
}

TEST_F(DataTest, ThreadedLoaderReturnsRowsFromTheList)
{
    // Image k is a flat grey of level 10k with one box of class k, so every row names its source.
    const int images = 12, w = 16, h = 16;
    std::vector<std::string> names;
    for (int k = 0; k < images; ++k) {
        std::string name = "g" + std::to_string(k);
        write_ppm(name + ".ppm", 8, 8, std::vector<unsigned char>(8 * 8 * 3, (unsigned char)(10 * k)));
        write_file(name + ".txt", std::to_string(k) + " 0.5 0.5 0.5 0.5\n");
        names.push_back(name + ".ppm");
    }
    std::vector<char *> paths;
    for (auto &s : names) paths.push_back(s.data());
    // A first thread start may bring up helper threads of the runtime; count after it.
    pthread_t warm;
    pthread_create(&warm, nullptr, [](void *) -> void * { return nullptr; }, nullptr);
    pthread_join(warm, nullptr);
    const int before = count_threads();
    for (int threads : {1, 2, 8}) {
        for (int n : {10, 5}) {
            SCOPED_TRACE(testing::Message() << threads << " threads, n = " << n);
            data d{};
            load_args args{};
            args.threads = threads;
            args.paths = paths.data();
            args.m = images;
            args.n = n;
            args.w = w;
            args.h = h;
            args.c = 3;
            args.max_boxes = 3;
            args.truth_size = 6;
            args.classes = images;
            args.resize = 1;
            args.d = &d;
            args.type = LOAD_DETECTION;
            testing::internal::CaptureStderr();
            pthread_t t = load_data(args);
            pthread_join(t, nullptr);
            testing::internal::GetCapturedStderr();
            ASSERT_EQ(d.X.rows, n);
            ASSERT_EQ(d.y.rows, n);
            EXPECT_EQ(d.shallow, 0);
            std::set<float *> distinct;
            for (int i = 0; i < n; ++i) {
                distinct.insert(d.X.vals[i]);
                const int k = (int)d.y.vals[i][4];
                ASSERT_TRUE(k >= 0 && k < images);
                EXPECT_NEAR(d.y.vals[i][0], .5f, 1e-6);
                for (int j = 0; j < d.X.cols; ++j) ASSERT_NEAR(d.X.vals[i][j], (10 * k) / 255.0, 1e-6);
            }
            EXPECT_EQ((int)distinct.size(), n);
            free_data(d);
        }
        EXPECT_EQ(count_threads(), before + threads);
        load_args stop{};
        stop.threads = threads;
        EXPECT_EQ(free_load_threads(stop), threads);
        EXPECT_EQ(count_threads(), before);
    }
    load_args none{};
    EXPECT_EQ(free_load_threads(none), 1);
}

TEST_F(DataTest, SingleImageRequests)
{
    std::string path = make_detection_fixture("pic");
    for (load_kind kind : {LOAD_IMAGE, LOAD_LETTERBOX}) {
        image im{}, resized{};
        load_args args{};
        args.path = path.data();
        args.w = 30;
        args.h = 30;
        args.c = 3;
        args.im = &im;
        args.resized = &resized;
        args.type = kind;
        pthread_t t = load_data_in_thread(args);
        pthread_join(t, nullptr);
        EXPECT_EQ(im.w, 60);
        EXPECT_EQ(im.h, 30);
        EXPECT_EQ(resized.w, 30);
        EXPECT_EQ(resized.h, 30);
        // The letterbox leaves grey bars above and below the 30x15 picture.
        if (kind == LOAD_LETTERBOX) EXPECT_EQ(resized.data[0], 0.5f);
        else EXPECT_NE(resized.data[0], 0.5f);
        free_image(im);
        free_image(resized);
    }
}

TEST_F(DataTest, UnservableMixingEndsTheProcess)
{
    std::string path = make_detection_fixture("pic");
    char *paths[] = {path.data()};
    auto run = [&](int mixup) {
        dup2(2, 1);
        load_data_detection(1, paths, 1, 8, 8, 3, 1, 6, 2, 0, 0, 0, mixup, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    };
    EXPECT_EXIT(run(2), testing::ExitedWithCode(0), "cutmix=1 - isn't supported for Detector");
    EXPECT_EXIT(run(3), testing::ExitedWithCode(0), "mosaic=1 - compile Quillon with OpenCV for using mosaic=1");
}

TEST_F(DataTest, MixupRowsListNewBoxesFirst)
{
    std::string path = make_detection_fixture("pic");
    char *paths[] = {path.data()};
    int mixed = 0;
    for (int tries = 0; tries < 40 && !mixed; ++tries) {
        data d = load_data_detection(2, paths, 1, 20, 10, 3, 6, 6, 2, 0, 0, 0, 1, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0,
                                     0, 0);
        // A mixed row holds the picture's two boxes twice, the copied ones without track ids.
        const float *t = d.y.vals[0];
        if (t[12] != 0) {
            mixed = 1;
            EXPECT_NE(t[5], 0);
            EXPECT_EQ(t[12 + 5], 0);
            EXPECT_EQ(t[18 + 5], 0);
            EXPECT_EQ(t[24], 0);
        }
        free_data(d);
    }
    EXPECT_EQ(mixed, 1);
}
