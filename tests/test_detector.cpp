// mAP bookkeeping against values worked out by hand for each AP convention (ties, duplicates, a
// class without truth, the difficult list), the printed per-class and summary lines, and the
// training loop's weights files: names, resumed iteration counts, clear, and crash-safe saving.
#include "detector.h"

#include "image.h"
#include "network.h"
#include "parser.h"
#include "utils.h"
#include "weights.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Detections with their own probability arrays, released with the fixture.
struct candidates {
    std::vector<detection> dets;
    std::vector<std::vector<float>> probs;
    void add(float x, float y, float w, float h, std::vector<float> prob)
    {
        probs.push_back(std::move(prob));
        detection d = {};
        d.bbox = box{x, y, w, h};
        d.classes = (int)probs.back().size();
        dets.push_back(d);
        for (size_t i = 0; i < dets.size(); ++i) dets[i].prob = probs[i].data();
    }
};

label_box truth_box(int id, float x, float y, float w, float h)
{
    label_box b = {};
    b.id = id;
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
    b.left = x - w / 2;
    b.right = x + w / 2;
    b.top = y - h / 2;
    b.bottom = y + h / 2;
    return b;
}

// Two objects of class 0 and, between them, a detection on empty ground: TP 0.9, FP 0.8, TP 0.7.
map_accumulator two_hits_one_miss(float conf_thresh = 0.25f)
{
    map_accumulator acc = make_map_accumulator(1);
    candidates c;
    c.add(0.25f, 0.25f, 0.2f, 0.2f, {0.9f});
    c.add(0.50f, 0.10f, 0.1f, 0.1f, {0.8f});
    c.add(0.75f, 0.75f, 0.2f, 0.2f, {0.7f});
    const label_box truth[] = {truth_box(0, 0.25f, 0.25f, 0.2f, 0.2f), truth_box(0, 0.75f, 0.75f, 0.2f, 0.2f)};
    map_add_image(acc, c.dets.data(), 3, truth, 2, nullptr, 0, 0, 0.5f, conf_thresh);
    return acc;
}

char *names3[] = {(char *)"circle", (char *)"square", (char *)"triangle"};

TEST(AveragePrecision, EachConventionOnAHandWorkedCurve)
{
    // Ranks: TP (P 1, R .5), FP (P .5, R .5), TP (P 2/3, R 1).
    struct row {
        int points;
        double expected;
    } rows[] = {
        {0, 0.5 + 0.5 * 2.0 / 3},                   // area: recall 0-.5 at precision 1, .5-1 at 2/3
        {11, (6 * 1.0 + 5 * 2.0 / 3) / 11},         // targets 0-.5 reach precision 1, .6-1 only 2/3
        {101, (51 * 1.0 + 50 * 2.0 / 3) / 101},     // targets 0-.50 and .51-1
    };
    for (const row &r : rows) {
        map_accumulator acc = two_hits_one_miss();
        double ap = -1;
        testing::internal::CaptureStdout();
        const float map = map_finish(acc, names3, 1, r.points, 0.5f, 0.25f, &ap);
        testing::internal::GetCapturedStdout();
        EXPECT_NEAR(ap, r.expected, 1e-12) << "points " << r.points;
        EXPECT_FLOAT_EQ(map, (float)r.expected);
    }
}

TEST(AveragePrecision, ElevenPointsStopAtTheBestRecall)
{
    // A curve that reaches recall 0.55 at precision 0.8: only targets 0, .1, ..., .5 contribute.
    const pr_point curve[] = {{1.0, 0.25, 0, 0, 0}, {0.8, 0.55, 0, 0, 0}};
    EXPECT_NEAR(average_precision(curve, 2, 11), (3 * 1.0 + 3 * 0.8) / 11, 1e-12);
    // Each step of the area takes the best precision at its own rank or any later one.
    EXPECT_NEAR(average_precision(curve, 2, 0), 0.3 * 1.0 + 0.25 * 1.0, 1e-12);
    EXPECT_EQ(average_precision(curve, 0, 0), 0);
    EXPECT_EQ(average_precision(curve, 0, 11), 0);
    // A single recall point has the one target 0: the best precision anywhere.
    EXPECT_NEAR(average_precision(curve, 2, 1), 1.0, 1e-12);
}

TEST(MapAccumulator, DuplicatesOtherClassesAndClassesWithoutTruth)
{
    // Class 0 has one object; two detections cover it and one class-1 detection covers it too.
    map_accumulator acc = make_map_accumulator(2);
    candidates c;
    c.add(0.5f, 0.5f, 0.4f, 0.4f, {0.9f, 0.f});
    c.add(0.52f, 0.5f, 0.4f, 0.4f, {0.8f, 0.f});
    c.add(0.5f, 0.5f, 0.4f, 0.4f, {0.f, 0.6f});
    const label_box truth[] = {truth_box(0, 0.5f, 0.5f, 0.4f, 0.4f)};
    map_add_image(acc, c.dets.data(), 3, truth, 1, nullptr, 0, 0, 0.5f, 0.25f);

    ASSERT_EQ(acc.detections.size(), 3u);
    EXPECT_EQ(acc.detections[0].matched, 1);
    EXPECT_EQ(acc.detections[0].truth_id, 0);
    EXPECT_EQ(acc.detections[1].matched, 1);  // matched in the list, a duplicate at the threshold
    EXPECT_EQ(acc.detections[2].matched, 0);  // another class never matches
    EXPECT_EQ(acc.tp_for_thresh, 1);
    EXPECT_EQ(acc.fp_for_thresh, 2);
    EXPECT_EQ(acc.tp_per_class[0], 1);
    EXPECT_EQ(acc.fp_per_class[0], 1);
    EXPECT_EQ(acc.fp_per_class[1], 1);
    EXPECT_NEAR(acc.avg_iou, 1.f, 1e-5);

    double ap[2] = {-1, -1};
    testing::internal::CaptureStdout();
    const float map = map_finish(acc, names3, 3, 0, 0.5f, 0.25f, ap);
    const std::string out = testing::internal::GetCapturedStdout();
    // Class 0: TP then FP (the object is taken) gives recall 1 at precision 1.
    EXPECT_DOUBLE_EQ(ap[0], 1.0);
    EXPECT_DOUBLE_EQ(ap[1], 0.0);
    EXPECT_FLOAT_EQ(map, 0.5f);
    EXPECT_NE(out.find("\n detections_count = 3, unique_truth_count = 1  \n"), std::string::npos) << out;
    EXPECT_NE(out.find("class_id = 0, name = circle, ap = 100.00%   \t (TP = 1, FP = 1) \n"), std::string::npos);
    EXPECT_NE(out.find("class_id = 1, name = square, ap = 0.00%   \t (TP = 0, FP = 1) \n"), std::string::npos);
    EXPECT_NE(out.find("\n for conf_thresh = 0.25, precision = 0.33, recall = 1.00, F1-score = 0.50 \n"),
              std::string::npos);
    EXPECT_NE(out.find(" for conf_thresh = 0.25, TP = 1, FP = 2, FN = 0, average IoU = 33.33 % \n"),
              std::string::npos);
    EXPECT_NE(out.find("\n IoU threshold = 50 %, used Area-Under-Curve for each unique Recall \n"),
              std::string::npos);
    EXPECT_NE(out.find(" mean average precision (mAP@0.50) = 0.500000, or 50.00 % \n"), std::string::npos);
}

TEST(MapAccumulator, TiesKeepListOrderAndTiedHitsAreOrderFree)
{
    // Two objects, two tied hits, then a miss: AP 1 whatever the order of the tie.
    map_accumulator acc = make_map_accumulator(1);
    candidates c;
    c.add(0.1f, 0.1f, 0.1f, 0.1f, {0.5f});
    c.add(0.25f, 0.25f, 0.2f, 0.2f, {0.7f});
    c.add(0.75f, 0.75f, 0.2f, 0.2f, {0.7f});
    const label_box truth[] = {truth_box(0, 0.25f, 0.25f, 0.2f, 0.2f), truth_box(0, 0.75f, 0.75f, 0.2f, 0.2f)};
    map_add_image(acc, c.dets.data(), 3, truth, 2, nullptr, 0, 0, 0.5f, 0.25f);
    double ap = -1;
    testing::internal::CaptureStdout();
    map_finish(acc, names3, 1, 0, 0.5f, 0.25f, &ap);
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(ap, 1.0);

    // A hit tied with a miss: the one added first ranks first (here the miss, so AP is 0.5).
    map_accumulator tied = make_map_accumulator(1);
    candidates t;
    t.add(0.8f, 0.1f, 0.1f, 0.1f, {0.6f});
    t.add(0.25f, 0.25f, 0.2f, 0.2f, {0.6f});
    map_add_image(tied, t.dets.data(), 2, truth, 1, nullptr, 0, 0, 0.5f, 0.25f);
    testing::internal::CaptureStdout();
    map_finish(tied, names3, 1, 0, 0.5f, 0.25f, &ap);
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(ap, 0.5);
}

TEST(MapAccumulator, DifficultObjectsAreNeitherHitsNorMisses)
{
    // One ordinary object and one difficult object; a detection of each.
    map_accumulator acc = make_map_accumulator(1);
    candidates c;
    c.add(0.25f, 0.25f, 0.2f, 0.2f, {0.9f});
    c.add(0.75f, 0.75f, 0.2f, 0.2f, {0.95f});
    const label_box truth[] = {truth_box(0, 0.25f, 0.25f, 0.2f, 0.2f)};
    const label_box difficult[] = {truth_box(0, 0.75f, 0.75f, 0.2f, 0.2f)};
    map_add_image(acc, c.dets.data(), 2, truth, 1, difficult, 1, 0, 0.5f, 0.25f);
    // The difficult detection leaves the ranked list (it still counts as FP at the threshold).
    ASSERT_EQ(acc.detections.size(), 1u);
    EXPECT_EQ(acc.fp_for_thresh, 1);
    double ap = -1;
    testing::internal::CaptureStdout();
    map_finish(acc, names3, 1, 0, 0.5f, 0.25f, &ap);
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(ap, 1.0);

    // Without the difficult list the same detection ranks first as a miss.
    map_accumulator plain = make_map_accumulator(1);
    map_add_image(plain, c.dets.data(), 2, truth, 1, nullptr, 0, 0, 0.5f, 0.25f);
    testing::internal::CaptureStdout();
    map_finish(plain, names3, 1, 0, 0.5f, 0.25f, &ap);
    testing::internal::GetCapturedStdout();
    EXPECT_DOUBLE_EQ(ap, 0.5);
}

TEST(MapAccumulator, TruthIdsSpanImagesAndTheBestOverlapWins)
{
    map_accumulator acc = make_map_accumulator(1);
    const label_box first[] = {truth_box(0, 0.3f, 0.3f, 0.2f, 0.2f), truth_box(0, 0.7f, 0.7f, 0.2f, 0.2f)};
    map_add_image(acc, nullptr, 0, first, 2, nullptr, 0, 0, 0.5f, 0.25f);
    // Second image: two overlapping objects; the detection overlaps the second one more.
    const label_box second[] = {truth_box(0, 0.50f, 0.5f, 0.3f, 0.3f), truth_box(0, 0.54f, 0.5f, 0.3f, 0.3f)};
    candidates c;
    c.add(0.55f, 0.5f, 0.3f, 0.3f, {0.9f});
    map_add_image(acc, c.dets.data(), 1, second, 2, nullptr, 0, 1, 0.5f, 0.25f);
    ASSERT_EQ(acc.detections.size(), 1u);
    EXPECT_EQ(acc.detections[0].truth_id, 2 + 1);
    EXPECT_EQ(acc.detections[0].image_pos, 1);
    EXPECT_EQ(acc.unique_truth_count, 4);
    EXPECT_EQ(acc.truth_per_class[0], 4);
}

TEST(MapAccumulator, NoDetectionsGiveZeroAndNotANumberStatistics)
{
    map_accumulator acc = make_map_accumulator(2);
    const label_box truth[] = {truth_box(1, 0.5f, 0.5f, 0.2f, 0.2f)};
    map_add_image(acc, nullptr, 0, truth, 1, nullptr, 0, 0, 0.5f, 0.25f);
    double ap[2] = {-1, -1};
    testing::internal::CaptureStdout();
    const float map = map_finish(acc, names3, 3, 11, 0.5f, 0.25f, ap);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(map, 0.f);
    EXPECT_EQ(ap[0], 0);
    EXPECT_EQ(ap[1], 0);
    EXPECT_NE(out.find("nan"), std::string::npos);
    EXPECT_NE(out.find("average IoU = 0.00 % \n"), std::string::npos);
    EXPECT_NE(out.find("used 11 Recall-points \n"), std::string::npos);
}

TEST(MapAccumulator, OutOfRangeLabelClassesAreDropped)
{
    label_box boxes[] = {truth_box(0, .5f, .5f, .1f, .1f), truth_box(7, .5f, .5f, .1f, .1f),
                         truth_box(-1, .5f, .5f, .1f, .1f), truth_box(2, .2f, .2f, .1f, .1f)};
    ASSERT_EQ(drop_out_of_range_labels(boxes, 4, 3), 2);
    EXPECT_EQ(boxes[0].id, 0);
    EXPECT_EQ(boxes[1].id, 2);
}

// ---------------------------------------------------------------- weights files

std::vector<char> file_bytes(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_text(const fs::path &p, const std::string &text)
{
    std::ofstream f(p);
    f << text;
}

// A tiny training set and detector cfg in a fresh directory.
struct training_fixture {
    fs::path dir;
    explicit training_fixture(const char *name, int max_batches, const char *random = "0")
    {
        dir = fs::temp_directory_path() / (std::string("quillon_detector_") + name);
        fs::remove_all(dir);
        fs::create_directories(dir / "backup");
        std::string list;
        for (int i = 0; i < 4; ++i) {
            image im = make_image(32, 32, 3);
            for (int k = 0; k < 32 * 32 * 3; ++k) im.data[k] = (float)((k * 7 + i * 13) % 97) / 97;
            const std::string stem = (dir / ("img" + std::to_string(i))).string();
            save_image_options(im, stem.c_str());
            free_image(im);
            write_text(stem + ".txt", "0 0.5 0.5 0.4 0.4\n1 0.25 0.25 0.2 0.3\n");
            list += stem + ".jpg\n";
        }
        write_text(dir / "train.txt", list);
        write_text(dir / "names.txt", "a\nb\n");
        write_text(dir / "tiny.data", "train=" + (dir / "train.txt").string() + "\nvalid=" +
                                          (dir / "train.txt").string() + "\nnames=" + (dir / "names.txt").string() +
                                          "\nbackup=" + (dir / "backup").string() + "\n");
        write_text(dir / "tiny.cfg", "[net]\nbatch=2\nsubdivisions=1\nwidth=32\nheight=32\nchannels=3\n"
                                     "learning_rate=0.001\nmomentum=0.9\ndecay=0.0005\nmax_batches=" +
                                         std::to_string(max_batches) +
                                         "\npolicy=constant\n\n"
                                         "[convolutional]\nbatch_normalize=1\nfilters=8\nsize=3\nstride=2\npad=1\n"
                                         "activation=leaky\n\n"
                                         "[convolutional]\nfilters=14\nsize=1\nstride=1\npad=0\nactivation=linear\n\n"
                                         "[vumo]\nmask=0,1\nanchors=8,8,16,16\nclasses=2\nnum=2\njitter=0\n"
                                         "random=" + std::string(random) + "\n");
    }
    ~training_fixture() { fs::remove_all(dir); }
    std::string data() const { return (dir / "tiny.data").string(); }
    std::string cfg() const { return (dir / "tiny.cfg").string(); }
    fs::path backup(const std::string &suffix) const { return dir / "backup" / ("tiny" + suffix + ".weights"); }

    // Weights of this cfg's network at the given iteration.
    std::string weights_at(int iteration) const
    {
        network net = parse_network_cfg_custom(cfg().c_str(), 0, 0);
        *net.cur_iteration = iteration;
        const std::string path = (dir / ("start_" + std::to_string(iteration) + ".weights")).string();
        save_weights(net, path.c_str());
        free_network(net);
        return path;
    }
};

uint64_t seen_in(const fs::path &p)
{
    const std::vector<char> bytes = file_bytes(p);
    uint64_t seen = 0;
    if (bytes.size() >= 20) memcpy(&seen, bytes.data() + 12, sizeof seen);
    return seen;
}

TEST(TrainDetector, ResumedRunContinuesTheCountAndNamesItsFiles)
{
    training_fixture f("resume", 1001);
    const std::string start = f.weights_at(998);
    int gpu = 0;
    testing::internal::CaptureStdout();
    train_detector(f.data().c_str(), f.cfg().c_str(), start.c_str(), &gpu, 1, 0, 1, 0, 0.25f, 0.5f, 0, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    // Iterations 999, 1000 and 1001 ran: 1000 is both a numbered and a "last" save.
    EXPECT_NE(out.find("\n 999: "), std::string::npos);
    EXPECT_NE(out.find("\n 1001: "), std::string::npos);
    EXPECT_EQ(out.find("\n 998: "), std::string::npos);
    EXPECT_EQ(out.find("Resizing"), std::string::npos);  // random=0: one size throughout
    EXPECT_TRUE(fs::exists(f.backup("_1000")));
    EXPECT_TRUE(fs::exists(f.backup("_last")));
    EXPECT_TRUE(fs::exists(f.backup("_final")));
    EXPECT_FALSE(fs::exists(f.backup("_best")));
    EXPECT_FALSE(fs::exists(f.backup("_ema")));
    EXPECT_EQ(seen_in(f.backup("_1000")), 1000u * 2);
    EXPECT_EQ(seen_in(f.backup("_final")), 1001u * 2);
    // Nothing but the weights files is left in the backup directory.
    int files = 0;
    for (const auto &entry : fs::directory_iterator(f.dir / "backup")) files += entry.is_regular_file();
    EXPECT_EQ(files, 3);
}

TEST(TrainDetector, ClearRestartsTheCountAndMapPassWritesBest)
{
    training_fixture f("clear", 2);
    const std::string start = f.weights_at(998);
    int gpu = 0;
    testing::internal::CaptureStdout();
    train_detector(f.data().c_str(), f.cfg().c_str(), start.c_str(), &gpu, 1, 1, 1, 1, 0.25f, 0.5f, 0, 0, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\n 1: "), std::string::npos);
    EXPECT_NE(out.find("\n 2: "), std::string::npos);
    // The last iteration always measures mAP, and the first pass always writes "best".
    EXPECT_NE(out.find("New best mAP!\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(f.backup("_best")));
    EXPECT_TRUE(fs::exists(f.backup("_final")));
    EXPECT_FALSE(fs::exists(f.backup("_last")));
    EXPECT_EQ(seen_in(f.backup("_final")), 2u * 2);
}

TEST(TrainDetector, FinishedWeightsOnlyWriteTheFinalFile)
{
    training_fixture f("finished", 5);
    const std::string start = f.weights_at(7);
    int gpu = 0;
    testing::internal::CaptureStdout();
    train_detector(f.data().c_str(), f.cfg().c_str(), start.c_str(), &gpu, 1, 0, 1, 0, 0.25f, 0.5f, 0, 0, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::exists(f.backup("_final")));
    EXPECT_EQ(seen_in(f.backup("_final")), 7u * 2);
}

TEST(TrainDetector, MultiScaleStartsAtTheLargestSize)
{
    struct row {
        const char *random;
        const char *coef_line;
        const char *size_line;  // step 32: round(coef * 32 / 32 + 1) * 32
    } rows[] = {{"1", "Resizing, random_coef = 1.40 \n", "\n 64 x 64 \n"},
                {"2.6", "Resizing, random_coef = 2.60 \n", "\n 128 x 128 \n"}};
    for (const row &r : rows) {
        training_fixture f("multiscale", 2, r.random);
        int gpu = 0;
        testing::internal::CaptureStdout();
        train_detector(f.data().c_str(), f.cfg().c_str(), nullptr, &gpu, 1, 0, 1, 0, 0.25f, 0.5f, 0, 0, 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(r.coef_line), std::string::npos) << out;
        EXPECT_NE(out.find(r.size_line), std::string::npos) << out;
        EXPECT_TRUE(fs::exists(f.backup("_final")));
    }
}

TEST(SaveWeights, AnInterruptedSaveLeavesThePreviousFileWhole)
{
    training_fixture f("interrupted", 10);
    network net = parse_network_cfg_custom(f.cfg().c_str(), 0, 0);
    const std::string path = f.backup("_last").string();
    *net.cur_iteration = 100;
    save_weights(net, path.c_str());
    const std::vector<char> before = file_bytes(path);
    ASSERT_GT(before.size(), 200u);

    // The second save is cut off after 100 bytes, as by a crash or a full disk.
    *net.cur_iteration = 200;
    for (int i = 0; i < net.layers[0].nweights; ++i) net.layers[0].weights[i] += 1;
    auto save_cut_off = [&] {
        signal(SIGXFSZ, SIG_DFL);
        rlimit limit = {};
        limit.rlim_cur = limit.rlim_max = 100;
        setrlimit(RLIMIT_FSIZE, &limit);
        save_weights(net, path.c_str());
        exit(0);
    };
    EXPECT_EXIT(save_cut_off(), testing::KilledBySignal(SIGXFSZ), "");
    EXPECT_EQ(file_bytes(path), before);

    // An uninterrupted save replaces the file and leaves nothing else behind but the debris of the
    // interrupted one, which never carries the final name.
    save_weights(net, path.c_str());
    EXPECT_EQ(seen_in(path), 200u * 2);
    free_network(net);
}

TEST(SaveWeights, AnUnwritableDirectoryEndsTheProcess)
{
    training_fixture f("unwritable", 10);
    network net = parse_network_cfg_custom(f.cfg().c_str(), 1, 1);
    EXPECT_EXIT(save_weights(net, "/nonexistent-directory/x.weights"), testing::ExitedWithCode(1),
                "Couldn't open file: /nonexistent-directory/x.weights");
    free_network(net);
}

}  // namespace
