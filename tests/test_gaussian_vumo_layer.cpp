// The "[Gaussian_vumo]" head: centre and corner decoding, extraction with uncertainties and
// certainty-scaled class scores, the Gaussian log-likelihood box deltas and the whole training
// loss against finite differences, resize, and a small network that trains on a generated batch.
#include "gaussian_vumo_layer.h"

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

TEST(GaussianVumoHead, BoxPositionDenotesCentreOrCorner)
{
    const float biases[2] = {10, 20};
    const int netw = 416, neth = 416;
    std::vector<float> x(8, 0.f);
    x[0] = .5f;
    x[2] = .5f;
    x[4] = std::log(.2f * netw / biases[0]);
    x[6] = std::log(.2f * neth / biases[1]);
    struct row {
        int point;
        float shift;
    };
    for (const row r : {row{1, 0.f}, row{2, .1f}, row{4, -.1f}}) {
        const box b = get_gaussian_vumo_box(x.data(), biases, 0, 0, 3, 4, 13, 13, netw, neth, 1, r.point);
        EXPECT_NEAR(b.x, 3.5f / 13 + r.shift, 1e-6) << r.point;
        EXPECT_NEAR(b.y, 4.5f / 13 + r.shift, 1e-6) << r.point;
        EXPECT_NEAR(b.w, .2f, 1e-6);
        EXPECT_NEAR(b.h, .2f, 1e-6);
    }
}

network build(const std::string &name, const std::string &cfg, int batch = 1)
{
    const std::string path = write_text_file(name, cfg);
    return parse_network_cfg_custom(path.c_str(), batch, 0);
}

TEST(GaussianVumoHead, ExtractionCarriesUncertaintiesAndScalesClassScores)
{
    network net = build("gaussian_extract.cfg", "[net]\nwidth=2\nheight=2\nchannels=11\nbatch=1\n\n[Gaussian_vumo]\n"
                                                "classes=2\nnum=1\nanchors=1,1\nvumo_point=center\n");
    const layer &l = net.layers[0];
    ASSERT_EQ(l.type, GAUSSIAN_VUMO);
    std::vector<float> in(l.inputs, 0.f);
    auto at = [&](int plane, int col, int row) -> float & { return in[(size_t)plane * 4 + row * 2 + col]; };
    for (int i = 0; i < 4; ++i) at(8, i % 2, i / 2) = -20;
    const float uc[4] = {.4f, .6f, .2f, .8f};  // mean .5: scores are halved
    at(1, 1, 0) = logit(uc[0]);
    at(3, 1, 0) = logit(uc[1]);
    at(5, 1, 0) = logit(uc[2]);
    at(7, 1, 0) = logit(uc[3]);
    at(4, 1, 0) = std::log(.5f);
    at(8, 1, 0) = logit(.9f);
    at(9, 1, 0) = 0;
    at(10, 1, 0) = logit(.8f);
    network_predict(net, in.data());

    int num = 0;
    detection *dets = get_network_boxes(&net, 10, 10, .2f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 1);
    ASSERT_NE(dets[0].uc, nullptr);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(dets[0].uc[k], uc[k], 1e-6);
    EXPECT_EQ(dets[0].points, 1);
    EXPECT_NEAR(dets[0].bbox.x, .75f, 1e-6);
    EXPECT_NEAR(dets[0].bbox.y, .25f, 1e-6);
    EXPECT_NEAR(dets[0].bbox.w, .25f, 1e-6);
    EXPECT_NEAR(dets[0].bbox.h, .5f, 1e-6);
    EXPECT_NEAR(dets[0].objectness, .9f, 1e-6);
    EXPECT_NEAR(dets[0].prob[0], .5f * .9f * .5f, 1e-6);
    EXPECT_NEAR(dets[0].prob[1], .5f * .9f * .8f, 1e-6);
    free_detections(dets, num);

    // Above the halved score of class 0, below that of class 1.
    dets = get_network_boxes(&net, 10, 10, .3f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 1);
    EXPECT_EQ(dets[0].prob[0], 0.f);
    EXPECT_GT(dets[0].prob[1], 0.f);
    free_detections(dets, num);
    free_network(net);
}

// Targets of the mean planes for the point kinds, in the units of the head's outputs.
void mean_targets(box truth, int point, int col, int row, int lw, int lh, int netw, int neth, const float *biases,
                  double t[4])
{
    double px = truth.x, py = truth.y;
    if (point == 2) px -= truth.w / 2, py -= truth.h / 2;
    if (point == 4) px += truth.w / 2, py += truth.h / 2;
    t[0] = px * lw - col;
    t[1] = py * lh - row;
    t[2] = std::log(truth.w * netw / biases[0]);
    t[3] = std::log(truth.h * neth / biases[1]);
}

// Negative log-likelihood of the targets under the head's four Gaussians (constant dropped).
double box_nll(const std::vector<float> &x, const double t[4], int stride)
{
    double e = 0;
    for (int k = 0; k < 4; ++k) {
        const double mean = x[(2 * k) * stride], sigma = x[(2 * k + 1) * stride];
        const double z = (t[k] - mean) / sigma;
        e += z * z / 2 + std::log(sigma + .3);
    }
    return e;
}

TEST(GaussianVumoHead, BoxDeltasDescendTheGaussianLogLikelihood)
{
    const float biases[2] = {3, 5};
    const int lw = 4, lh = 4, netw = 32, neth = 32, col = 1, row = 2;
    const box truth = {.4f, .62f, .3f, .45f};
    const float scale = 1.7f, iou_norm = .75f, uc_norm = .5f;
    for (int point : {1, 2, 4}) {
        double t[4];
        mean_targets(truth, point, col, row, lw, lh, netw, neth, biases, t);
        std::vector<float> x(8);
        const float offsets[4] = {.1f, -.15f, .2f, -.05f};
        const float sigmas[4] = {.3f, .45f, .6f, .25f};
        for (int k = 0; k < 4; ++k) {
            x[2 * k] = (float)t[k] + offsets[k];
            x[2 * k + 1] = sigmas[k];
        }
        std::vector<float> delta(8, 0.f);
        const float iou = delta_gaussian_vumo_box(truth, x.data(), biases, 0, 0, col, row, lw, lh, netw, neth,
                                                  delta.data(), scale, 1, iou_norm, MSE, uc_norm, point, FLT_MAX);
        const box pred = get_gaussian_vumo_box(x.data(), biases, 0, 0, col, row, lw, lh, netw, neth, 1, point);
        EXPECT_FLOAT_EQ(iou, box_iou(pred, truth));
        const double eps = 1e-3;
        for (int i = 0; i < 8; ++i) {
            std::vector<float> p = x;
            p[i] = x[i] + (float)eps;
            const double up = box_nll(p, t, 1);
            p[i] = x[i] - (float)eps;
            const double down = box_nll(p, t, 1);
            const double expected = -(i % 2 ? uc_norm : iou_norm) * .5 * scale * (up - down) / (2 * eps);
            EXPECT_NEAR(delta[i], expected, 2e-3 * (1 + std::fabs(expected))) << "point " << point << " entry " << i;
        }
    }
}

TEST(GaussianVumoHead, MaxDeltaClipsAllEightDeltas)
{
    const float biases[2] = {3, 5};
    const box truth = {.4f, .62f, .3f, .45f};
    double t[4];
    mean_targets(truth, 1, 1, 2, 4, 4, 32, 32, biases, t);
    std::vector<float> x(8, .3f);
    for (int k = 0; k < 4; ++k) x[2 * k] = (float)t[k] - .5f;  // unclipped deltas of about 2.8
    std::vector<float> delta(8, 0.f);
    delta_gaussian_vumo_box(truth, x.data(), biases, 0, 0, 1, 2, 4, 4, 32, 32, delta.data(), 1, 1, 1, MSE, 1, 1, .25f);
    for (float d : delta) EXPECT_LE(std::fabs(d), .25f);
    EXPECT_FLOAT_EQ(std::fabs(delta[0]), .25f);
}

struct gaussian_case {
    layer l = make_gaussian_vumo_layer(1, 2, 2, 1, 1, nullptr, 2, 3);
    std::vector<float> truth = std::vector<float>(3 * 6, 0.f);
    gaussian_case()
    {
        l.biases[0] = 4;
        l.biases[1] = 4;
        l.iou_normalizer = 1;
        l.uc_normalizer = 1;
        l.obj_normalizer = 1.3f;
        l.cls_normalizer = 1;
        l.ignore_thresh = 1;
        l.truth_thresh = 1;
        l.iou_thresh = 1;
        l.scale_x_y = 1;
        l.max_delta = FLT_MAX;
        l.vumo_point = 1;
        l.iou_loss = MSE;
    }
    ~gaussian_case() { free_layer(l); }
    std::string train()
    {
        network_state s = {};
        s.truth = truth.data();
        s.train = 1;
        s.net.w = 8;
        s.net.h = 8;
        std::fill(l.delta, l.delta + l.outputs, 0.f);
        return stderr_text([&] { gaussian_vumo_training_loss(l, s); });
    }
    template <class F> static std::string stderr_text(F f)
    {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        f();
        testing::internal::GetCapturedStdout();
        return testing::internal::GetCapturedStderr();
    }
};

TEST(GaussianVumoHead, TrainingLossDeltasDescendTheirLoss)
{
    gaussian_case gc;
    layer &l = gc.l;
    const box truth = {.3f, .6f, .4f, .5f};  // cell (0, 1)
    gc.truth = {truth.x, truth.y, truth.w, truth.h, 1, 0};
    gc.truth.resize(18, 0.f);
    srand(11);
    for (int i = 0; i < l.outputs; ++i) l.output[i] = .2f + .6f * (float)rand() / RAND_MAX;
    const int area = 4, cell = 1 * 2 + 0;
    double t[4];
    mean_targets(truth, 1, 0, 1, 2, 2, 8, 8, l.biases, t);

    auto energy = [&] {
        double e = 0;
        for (int c = 0; c < area; ++c) {
            const double o = l.output[8 * area + c];
            e += c == cell ? .5 * l.obj_normalizer * (1 - o) * (1 - o) : .5 * l.obj_normalizer * o * o;
        }
        for (int k = 0; k < 2; ++k) {
            const double d = (k == 1) - l.output[(9 + k) * area + cell];
            e += .5 * d * d;
        }
        std::vector<float> planes(8);
        for (int p = 0; p < 8; ++p) planes[p] = l.output[p * area + cell];
        e += .5 * (2 - truth.w * truth.h) * box_nll(planes, t, 1);
        return e;
    };

    const std::string printed = gc.train();
    EXPECT_EQ(printed.rfind("Region 0 Avg IOU: ", 0), 0u) << printed;
    EXPECT_NE(printed.find(",  count: 1, class_loss = "), std::string::npos) << printed;
    std::vector<float> delta(l.delta, l.delta + l.outputs);
    double squares = 0;
    for (float d : delta) squares += (double)d * d;
    EXPECT_NEAR(*l.cost, squares, 1e-4 * (1 + squares));

    const float eps = 1e-3f;
    for (int i = 0; i < l.outputs; ++i) {
        const float keep = l.output[i];
        l.output[i] = keep + eps;
        const double up = energy();
        l.output[i] = keep - eps;
        const double down = energy();
        l.output[i] = keep;
        EXPECT_NEAR(delta[i], -(up - down) / (2 * eps), 2e-3) << "output " << i;
    }
}

TEST(GaussianVumoHead, CornerAnchoredTruthTrainsTheCornerCell)
{
    gaussian_case gc;
    gc.l.vumo_point = 2;
    // Left-top corner at (.1, .35): cell (0, 0), although the centre lies in cell (1, 1).
    gc.truth = {.6f, .85f, 1.f, 1.f, 0, 0};
    gc.truth.resize(18, 0.f);
    std::fill(gc.l.output, gc.l.output + gc.l.outputs, .5f);
    gc.train();
    const int area = 4;
    EXPECT_FLOAT_EQ(gc.l.delta[8 * area + 0], gc.l.obj_normalizer * (1 - .5f));
    EXPECT_FLOAT_EQ(gc.l.delta[8 * area + 3], gc.l.obj_normalizer * (0 - .5f));
}

TEST(GaussianVumoHead, OutOfRangeClassIsReportedAndSkipped)
{
    gaussian_case gc;
    gc.truth = {.3f, .6f, .4f, .5f, 7, 0};
    gc.truth.resize(18, 0.f);
    std::fill(gc.l.output, gc.l.output + gc.l.outputs, .5f);
    testing::internal::CaptureStdout();
    network_state s = {};
    s.truth = gc.truth.data();
    s.train = 1;
    s.net.w = s.net.h = 8;
    testing::internal::CaptureStderr();
    gaussian_vumo_training_loss(gc.l, s);
    testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("class_id=7 >= classes=2"), std::string::npos);
    for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(gc.l.delta[8 * 4 + c], gc.l.obj_normalizer * -.5f);
}

TEST(GaussianVumoHead, ResizeKeepsTheLayout)
{
    layer l = make_gaussian_vumo_layer(2, 4, 4, 3, 6, nullptr, 5, 10);
    resize_gaussian_vumo_layer(&l, 6, 2);
    EXPECT_EQ(l.outputs, 6 * 2 * 3 * (5 + 9));
    EXPECT_EQ(l.inputs, l.outputs);
    std::fill(l.output, l.output + 2 * l.outputs, 1.f);  // the reallocation holds both images
    std::fill(l.delta, l.delta + 2 * l.outputs, 1.f);
    EXPECT_EQ(gaussian_entry_index(l, 1, 2 * 12 + 5, 8), l.outputs + 2 * 12 * 14 + 8 * 12 + 5);
    free_layer(l);
}

TEST(GaussianVumoHead, NetworkTrainsOnAGeneratedBatchAndDetectsWithUncertainties)
{
    network net = build("gaussian_train.cfg",
                        "[net]\nwidth=8\nheight=8\nchannels=3\nbatch=4\nlearning_rate=0.002\nmomentum=0.9\n"
                        "decay=0\nmax_batches=1000\n\n[convolutional]\nfilters=11\nsize=3\npad=1\nstride=1\n"
                        "activation=linear\n\n[Gaussian_vumo]\nclasses=2\nnum=1\nanchors=3,3\nignore_thresh=.7\nmax_delta=0.5\n",
                        0);
    ASSERT_EQ(net.batch, 4);
    const int images = 4, size = 8 * 8 * 3, truths = 200 * 6;
    std::vector<float> xs((size_t)images * size, 0.f), ys((size_t)images * truths, 0.f);
    const box objects[images] = {{.3125f, .3125f, .375f, .375f}, {.6875f, .6875f, .375f, .375f},
                                 {.6875f, .3125f, .375f, .375f}, {.3125f, .6875f, .375f, .375f}};
    for (int b = 0; b < images; ++b) {
        const box o = objects[b];
        const int cls = b % 2;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool inside = std::fabs((x + .5f) / 8 - o.x) < o.w / 2 && std::fabs((y + .5f) / 8 - o.y) < o.h / 2;
                if (inside) xs[(size_t)b * size + cls * 64 + y * 8 + x] = 1;
            }
        float *t = &ys[(size_t)b * truths];
        t[0] = o.x, t[1] = o.y, t[2] = o.w, t[3] = o.h, t[4] = (float)cls, t[5] = (float)b;
    }
    std::vector<float *> xr(images), yr(images);
    for (int b = 0; b < images; ++b) {
        xr[b] = &xs[(size_t)b * size];
        yr[b] = &ys[(size_t)b * truths];
    }
    data d = {};
    d.X.rows = d.y.rows = images;
    d.X.cols = size;
    d.y.cols = truths;
    d.X.vals = xr.data();
    d.y.vals = yr.data();

    float first = 0, last = 0;
    gaussian_case::stderr_text([&] {
        first = train_network(net, d);
        for (int i = 0; i < 2000; ++i) last = train_network(net, d);
    });
    EXPECT_LT(last, first / 2) << "first " << first << " last " << last;

    set_batch_network(&net, 1);
    network_predict(net, xr[0]);
    int num = 0;
    detection *dets = get_network_boxes(&net, 8, 8, .25f, .5f, nullptr, 1, &num, 0);
    ASSERT_GT(num, 0);
    int best = 0;
    for (int i = 0; i < num; ++i) {
        ASSERT_NE(dets[i].uc, nullptr);
        for (int k = 0; k < 4; ++k) {
            EXPECT_GT(dets[i].uc[k], 0.f);
            EXPECT_LT(dets[i].uc[k], 1.f);
        }
        if (dets[i].objectness > dets[best].objectness) best = i;
    }
    EXPECT_GT(box_iou(dets[best].bbox, objects[0]), .8f);
    // Trained on boxes it can fit exactly, the head has become certain of them.
    for (int k = 0; k < 4; ++k) EXPECT_LT(dets[best].uc[k], .5f);
    EXPECT_GT(dets[best].prob[0], dets[best].prob[1]);
    free_detections(dets, num);
    free_network(net);
}

}  // namespace
