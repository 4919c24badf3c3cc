// Box geometry: overlap measures against hand-computed values, their gradient against finite
// differences and worked cases, and the three suppression routines over tables of boxes.
#include "box_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

box B(float x, float y, float w, float h)
{
    return box{x, y, w, h};
}

struct measure_case {
    const char *name;
    box a, b;
    double iou, giou, diou, ciou;
};

TEST(BoxGeometry, MeasuresMatchHandComputedValues)
{
    const double v_aspect = 0.4052847345693511 * std::pow(std::atan(1.0) - std::atan(2.0), 2);
    const double alpha = v_aspect / (1 - 0.5 + v_aspect + 0.000001);
    const measure_case cases[] = {
        {"identical", B(0.5, 0.5, 0.2, 0.4), B(0.5, 0.5, 0.2, 0.4), 1, 1, 1, 1},
        {"shifted", B(0, 0, 2, 2), B(1, 0, 2, 2), 1.0 / 3, 1.0 / 3, 1.0 / 3 - std::pow(1.0 / 13, 0.6),
         1.0 / 3 - 1.0 / 13},
        {"disjoint", B(0, 0, 1, 1), B(3, 0, 1, 1), 0, -0.5, -std::pow(9.0 / 17, 0.6), -9.0 / 17},
        {"touching", B(0, 0, 1, 1), B(1, 0, 1, 1), 0, 0, -std::pow(1.0 / 5, 0.6), -1.0 / 5},
        {"aspect", B(0, 0, 2, 1), B(0, 0, 1, 1), 0.5, 0.5, 0.5, 0.5 - alpha * v_aspect},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(box_iou(c.a, c.b), c.iou, 1e-6);
        EXPECT_NEAR(box_giou(c.a, c.b), c.giou, 1e-6);
        EXPECT_NEAR(box_diou(c.a, c.b), c.diou, 1e-6);
        EXPECT_NEAR(box_ciou(c.a, c.b), c.ciou, 1e-6);
        EXPECT_FLOAT_EQ(box_iou_kind(c.a, c.b, IOU), box_iou(c.a, c.b));
        EXPECT_FLOAT_EQ(box_iou_kind(c.a, c.b, MSE), box_iou(c.a, c.b));
        EXPECT_FLOAT_EQ(box_iou_kind(c.a, c.b, GIOU), box_giou(c.a, c.b));
        EXPECT_FLOAT_EQ(box_iou_kind(c.a, c.b, DIOU), box_diou(c.a, c.b));
        EXPECT_FLOAT_EQ(box_iou_kind(c.a, c.b, CIOU), box_ciou(c.a, c.b));
    }
}

TEST(BoxGeometry, DegenerateBoxes)
{
    box line = B(0.5, 0.5, 0, 1);
    EXPECT_EQ(box_intersection(line, line), 0);
    EXPECT_EQ(box_iou(line, line), 0);
    // A point against itself has no enclosing area or diagonal: every variant falls back to IoU.
    box point = B(0.5, 0.5, 0, 0);
    EXPECT_EQ(box_giou(point, point), 0);
    EXPECT_EQ(box_diou(point, point), 0);
    EXPECT_EQ(box_ciou(point, point), 0);
    EXPECT_LT(box_overlap(0, 1, 3, 1), 0);
}

TEST(BoxGeometry, DiouPowerUsesItsExponent)
{
    box a = B(0, 0, 2, 2), b = B(1, 0, 2, 2);
    EXPECT_NEAR(box_diou_power(a, b, 1.0f), 1.0 / 3 - 1.0 / 13, 1e-6);
    EXPECT_NEAR(box_diou_power(a, b, 0.5f), 1.0 / 3 - std::sqrt(1.0 / 13), 1e-6);
}

TEST(BoxGeometry, FromFloatsUsesStride)
{
    float f[] = {1, 9, 2, 9, 3, 9, 4, 9};
    box b = box_from_floats(f, 2);
    EXPECT_EQ(b.x, 1);
    EXPECT_EQ(b.y, 2);
    EXPECT_EQ(b.w, 3);
    EXPECT_EQ(b.h, 4);
}

// Central differences of f with respect to x, y, w, h of the prediction.
box_gradient numeric_gradient(const std::function<double(box)> &f, box p)
{
    const float eps = 1e-3f;
    float *fields[4] = {&p.x, &p.y, &p.w, &p.h};
    double g[4];
    for (int i = 0; i < 4; ++i) {
        box hi = p, lo = p;
        float *fh[4] = {&hi.x, &hi.y, &hi.w, &hi.h};
        float *fl[4] = {&lo.x, &lo.y, &lo.w, &lo.h};
        *fh[i] = *fields[i] + eps;
        *fl[i] = *fields[i] - eps;
        g[i] = (f(hi) - f(lo)) / (*fh[i] - *fl[i]);
    }
    return box_gradient{(float)g[0], (float)g[1], (float)g[2], (float)g[3]};
}

// The size components are reported unhalved: twice the derivative with respect to w and h.
void expect_gradient(box_gradient analytic, box_gradient numeric, double size_factor)
{
    EXPECT_NEAR(analytic.dx, numeric.dx, 2e-3);
    EXPECT_NEAR(analytic.dy, numeric.dy, 2e-3);
    EXPECT_NEAR(analytic.dw, size_factor * numeric.dw, 2e-3);
    EXPECT_NEAR(analytic.dh, size_factor * numeric.dh, 2e-3);
}

TEST(BoxGeometry, IouAndGiouGradientsMatchFiniteDifferences)
{
    const box preds[] = {B(0.1f, 0.2f, 1.0f, 0.8f), B(0.4f, -0.1f, 0.6f, 1.7f), B(-0.2f, 0.3f, 2.5f, 2.2f)};
    const box truth = B(0.3f, 0.1f, 0.9f, 1.1f);
    for (box p : preds) {
        SCOPED_TRACE(testing::Message() << p.x << "," << p.y << "," << p.w << "," << p.h);
        expect_gradient(box_iou_gradient(p, truth, IOU),
                        numeric_gradient([&](box q) { return (double)box_iou(q, truth); }, p), 2);
        expect_gradient(box_iou_gradient(p, truth, GIOU),
                        numeric_gradient([&](box q) { return (double)box_giou(q, truth); }, p), 2);
    }
}

TEST(BoxGeometry, DiouGradientInsideTruthMatchesFiniteDifferences)
{
    // With the prediction inside the truth the enclosing box is the truth itself, so the distance
    // term is exactly the derivative of -S/Q.
    const box truth = B(0, 0, 4, 4);
    const box p = B(0.3f, -0.2f, 1.0f, 1.5f);
    const double q = 32;
    auto f = [&](box b) {
        double s = (b.x - truth.x) * (b.x - truth.x) + (b.y - truth.y) * (b.y - truth.y);
        return (double)box_iou(b, truth) - s / q;
    };
    box_gradient iou = box_iou_gradient(p, truth, IOU);
    box_gradient diou = box_iou_gradient(p, truth, DIOU);
    box_gradient num = numeric_gradient(f, p);
    EXPECT_NEAR(diou.dx, num.dx, 2e-3);
    EXPECT_NEAR(diou.dy, num.dy, 2e-3);
    EXPECT_FLOAT_EQ(diou.dw, iou.dw);
    EXPECT_FLOAT_EQ(diou.dh, iou.dh);

    // The complete variant adds the aspect term to the size components only.
    double delta = std::atan(1.0) - std::atan(1.0 / 1.5);
    double v = 0.4052847345693511 * delta * delta;
    double alpha = v / (1 - 1.5 / 16 + v + 0.000001);
    box_gradient ciou = box_iou_gradient(p, truth, CIOU);
    EXPECT_FLOAT_EQ(ciou.dx, diou.dx);
    EXPECT_FLOAT_EQ(ciou.dy, diou.dy);
    EXPECT_NEAR(ciou.dw, diou.dw + alpha * 0.8105694691387022 * delta * 1.5, 1e-6);
    EXPECT_NEAR(ciou.dh, diou.dh - alpha * 0.8105694691387022 * delta * 1.0, 1e-6);
}

TEST(BoxGeometry, GradientsOfDisjointBoxesTakeOnlyTheOuterTerm)
{
    // Worked by hand: the unclamped (negative) intersection enters the union.
    box_gradient g = box_iou_gradient(B(0, 0, 1, 1), B(2, 0, 1, 1), GIOU);
    EXPECT_NEAR(g.dx, 0, 1e-6);
    EXPECT_NEAR(g.dy, 0, 1e-6);
    EXPECT_NEAR(g.dw, 0, 1e-6);
    EXPECT_NEAR(g.dh, 2.0 / 3, 1e-6);

    // Enclosing box 3 x 1 (Q = 10), squared centre distance 4; the right edge moves it.
    box_gradient d = box_iou_gradient(B(2, 0, 1, 1), B(0, 0, 1, 1), DIOU);
    EXPECT_NEAR(d.dx, -0.64, 1e-6);
    EXPECT_NEAR(d.dy, 0, 1e-6);
    EXPECT_NEAR(d.dw, 0.12, 1e-6);
    EXPECT_NEAR(d.dh, 0, 1e-6);

    // Plain IoU: I = -1, U = 3, so the edge terms are (3 dI + dU) / 9.
    box_gradient plain = box_iou_gradient(B(0, 0, 1, 1), B(2, 0, 1, 1), IOU);
    EXPECT_NEAR(plain.dx, 2.0 / 9, 1e-6);
    EXPECT_NEAR(plain.dy, 0, 1e-6);
    EXPECT_NEAR(plain.dw, 4.0 / 9, 1e-6);
    EXPECT_NEAR(plain.dh, 2.0 / 9, 1e-6);
}

TEST(BoxGeometry, ComparatorOrdersDescending)
{
    float pa[] = {0.2f, 0.9f}, pb[] = {0.5f, 0.1f};
    detection a{}, b{};
    a.prob = pa;
    b.prob = pb;
    a.objectness = 0.3f;
    b.objectness = 0.7f;
    a.sort_class = b.sort_class = 0;
    EXPECT_EQ(nms_comparator(&a, &b), 1);
    EXPECT_EQ(nms_comparator(&b, &a), -1);
    a.sort_class = b.sort_class = 1;
    EXPECT_EQ(nms_comparator(&a, &b), -1);
    a.sort_class = b.sort_class = -1;
    EXPECT_EQ(nms_comparator(&a, &b), 1);
    EXPECT_EQ(nms_comparator(&a, &a), 0);
}

// A table of candidates; track_id identifies each one after the routines reorder the array.
struct candidate {
    box b;
    float objectness;
    std::vector<float> prob;
};

struct table {
    std::vector<detection> dets;
    std::vector<std::vector<float>> probs;

    explicit table(const std::vector<candidate> &rows)
    {
        probs.reserve(rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            probs.push_back(rows[i].prob);
            detection d{};
            d.bbox = rows[i].b;
            d.objectness = rows[i].objectness;
            d.classes = (int)rows[i].prob.size();
            d.prob = probs.back().data();
            d.track_id = (int)i;
            dets.push_back(d);
        }
    }
    const detection &by_id(int id) const
    {
        for (const auto &d : dets)
            if (d.track_id == id) return d;
        throw std::runtime_error("missing id");
    }
    std::vector<float> prob_of(int id) const
    {
        const detection &d = by_id(id);
        return std::vector<float>(d.prob, d.prob + d.classes);
    }
};

TEST(Nms, SortSuppressesPerClass)
{
    table t({
        {B(0.50f, 0.5f, 0.2f, 0.2f), 0.9f, {0.9f, 0.0f}},
        {B(0.51f, 0.5f, 0.2f, 0.2f), 0.8f, {0.8f, 0.6f}},
        {B(0.10f, 0.1f, 0.1f, 0.1f), 0.7f, {0.7f, 0.0f}},
        {B(0.52f, 0.5f, 0.2f, 0.2f), 0.5f, {0.0f, 0.5f}},
    });
    do_nms_sort(t.dets.data(), 4, 2, 0.45f);
    EXPECT_EQ(t.prob_of(0), (std::vector<float>{0.9f, 0.0f}));
    EXPECT_EQ(t.prob_of(1), (std::vector<float>{0.0f, 0.6f}));
    EXPECT_EQ(t.prob_of(2), (std::vector<float>{0.7f, 0.0f}));
    EXPECT_EQ(t.prob_of(3), (std::vector<float>{0.0f, 0.0f}));
    // Objectness is untouched and the final order is that of the last class.
    EXPECT_EQ(t.by_id(1).objectness, 0.8f);
    EXPECT_EQ(t.dets[0].track_id, 1);
    EXPECT_EQ(t.dets[1].track_id, 3);
}

TEST(Nms, SuppressedCandidateSuppressesNothing)
{
    // A overlaps B, B overlaps C, A and C only touch: C survives because B was already suppressed.
    table t({
        {B(0.30f, 0.5f, 0.2f, 0.2f), 1, {0.9f}},
        {B(0.40f, 0.5f, 0.2f, 0.2f), 1, {0.8f}},
        {B(0.50f, 0.5f, 0.2f, 0.2f), 1, {0.7f}},
    });
    do_nms_sort(t.dets.data(), 3, 1, 0.3f);
    EXPECT_EQ(t.prob_of(0)[0], 0.9f);
    EXPECT_EQ(t.prob_of(1)[0], 0.0f);
    EXPECT_EQ(t.prob_of(2)[0], 0.7f);
}

TEST(Nms, ThresholdIsStrict)
{
    // IoU of these two is exactly 4.5 / 10 in single precision.
    for (float thresh : {0.45f, 0.44f}) {
        table t({{B(5, 0, 10, 1), 1, {0.9f}}, {B(2.25f, 0, 4.5f, 1), 1, {0.8f}}});
        ASSERT_EQ(box_iou(t.dets[0].bbox, t.dets[1].bbox), 0.45f);
        do_nms_sort(t.dets.data(), 2, 1, thresh);
        EXPECT_EQ(t.prob_of(1)[0], thresh == 0.45f ? 0.8f : 0.0f);
    }
}

TEST(Nms, ZeroObjectnessTakesNoPart)
{
    table t({
        {B(0.5f, 0.5f, 0.2f, 0.2f), 0, {0.95f}},
        {B(0.5f, 0.5f, 0.2f, 0.2f), 0.8f, {0.8f}},
        {B(0.5f, 0.5f, 0.2f, 0.2f), 0, {0.7f}},
        {B(0.5f, 0.5f, 0.2f, 0.2f), 0.6f, {0.6f}},
    });
    do_nms_sort(t.dets.data(), 4, 1, 0.45f);
    EXPECT_EQ(t.prob_of(0)[0], 0.95f);
    EXPECT_EQ(t.prob_of(1)[0], 0.8f);
    EXPECT_EQ(t.prob_of(2)[0], 0.7f);
    EXPECT_EQ(t.prob_of(3)[0], 0.0f);
    EXPECT_EQ(t.dets[2].objectness, 0);
    EXPECT_EQ(t.dets[3].objectness, 0);

    table empty({{B(0.5f, 0.5f, 0.2f, 0.2f), 0, {0.9f}}, {B(0.5f, 0.5f, 0.2f, 0.2f), 0, {0.8f}}});
    do_nms_sort(empty.dets.data(), 2, 1, 0.45f);
    do_nms_obj(empty.dets.data(), 2, 1, 0.45f);
    EXPECT_EQ(empty.prob_of(0)[0], 0.9f);
    EXPECT_EQ(empty.prob_of(1)[0], 0.8f);
    do_nms_sort(nullptr, 0, 1, 0.45f);
}

TEST(Nms, ObjSuppressesAcrossClasses)
{
    table t({
        {B(0.50f, 0.5f, 0.2f, 0.2f), 0.6f, {0.6f, 0.0f}},
        {B(0.51f, 0.5f, 0.2f, 0.2f), 0.9f, {0.0f, 0.9f}},
        {B(0.10f, 0.1f, 0.1f, 0.1f), 0.5f, {0.5f, 0.1f}},
    });
    do_nms_obj(t.dets.data(), 3, 2, 0.45f);
    EXPECT_EQ(t.dets[0].track_id, 1);
    EXPECT_EQ(t.by_id(0).objectness, 0);
    EXPECT_EQ(t.prob_of(0), (std::vector<float>{0, 0}));
    EXPECT_EQ(t.prob_of(1), (std::vector<float>{0, 0.9f}));
    EXPECT_EQ(t.prob_of(2), (std::vector<float>{0.5f, 0.1f}));
    EXPECT_EQ(t.by_id(2).objectness, 0.5f);
}

TEST(Nms, DiouKindsChooseTheirTest)
{
    // IoU 2/3, DIoU (exponent 0.6) about 0.58, DIoU with exponent 1 about 0.65.
    struct kind_case {
        NMS_KIND kind;
        float beta;
        bool suppressed;
    };
    const kind_case cases[] = {
        {DEFAULT_NMS, 0.6f, false}, {GREEDY_NMS, 0.6f, false}, {DIOU_NMS, 1.0f, true},
        {DIOU_NMS, 0.6f, false},    {CORNERS_NMS, 0.6f, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        table t({{B(0, 0, 1, 1), 1, {0.9f}}, {B(0.2f, 0, 1, 1), 1, {0.8f}}});
        diounms_sort(t.dets.data(), 2, 1, 0.6f, c.kind, c.beta);
        EXPECT_EQ(t.prob_of(1)[0], c.suppressed ? 0.0f : 0.8f);
        EXPECT_EQ(t.prob_of(0)[0], 0.9f);
    }
}

TEST(Nms, TiedScoresKeepOneOfAnOverlappingPair)
{
    table t({{B(0.5f, 0.5f, 0.2f, 0.2f), 1, {0.7f}}, {B(0.5f, 0.5f, 0.2f, 0.2f), 1, {0.7f}}});
    do_nms_sort(t.dets.data(), 2, 1, 0.45f);
    EXPECT_EQ(t.prob_of(0)[0] + t.prob_of(1)[0], 0.7f);
}

TEST(Nms, FreeDetectionsReleasesEveryArray)
{
    detection *dets = (detection *)std::calloc(2, sizeof(detection));
    for (int i = 0; i < 2; ++i) {
        dets[i].prob = (float *)std::calloc(3, sizeof(float));
        dets[i].uc = (float *)std::calloc(4, sizeof(float));
    }
    dets[1].mask = (float *)std::calloc(2, sizeof(float));
    dets[1].embeddings = (float *)std::calloc(8, sizeof(float));
    free_detections(dets, 2);
    free_detections((detection *)std::calloc(1, 1), 0);
}

}  // namespace
