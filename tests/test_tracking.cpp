// Trackers: per-class counters, the max_dist boundary, history length and re-appearing objects for
// the distance tracker; first-frame behaviour, track birth and the history window for the
// embedding tracker.
#include "tracking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

bbox_t make_bbox(unsigned int x, unsigned int y, unsigned int w, unsigned int h, unsigned int class_id)
{
    bbox_t b{};
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
    b.prob = 0.9f;
    b.class_id = class_id;
    return b;
}

struct distance_tracker {
    std::deque<std::vector<bbox_t>> history;
    std::vector<unsigned int> next_track_id = std::vector<unsigned int>(3, 1);

    std::vector<bbox_t> track(std::vector<bbox_t> cur, bool change_history = true, int frames_story = 5,
                              int max_dist = 40)
    {
        return track_boxes_by_distance(std::move(cur), history, next_track_id.data(), (int)next_track_id.size(),
                                       change_history, frames_story, max_dist);
    }
};

std::vector<unsigned int> ids(const std::vector<bbox_t> &boxes)
{
    std::vector<unsigned int> out;
    for (const bbox_t &b : boxes) out.push_back(b.track_id);
    return out;
}

} // namespace

TEST(DistanceTracker, FirstFrameCountsPerClass)
{
    distance_tracker t;
    auto out = t.track({make_bbox(0, 0, 10, 10, 0), make_bbox(100, 0, 10, 10, 0), make_bbox(200, 0, 10, 10, 0),
                        make_bbox(300, 0, 10, 10, 2)});
    EXPECT_EQ(ids(out), (std::vector<unsigned int>{1, 2, 3, 1}));
    EXPECT_EQ(t.next_track_id, (std::vector<unsigned int>{4, 1, 2}));
    ASSERT_EQ(t.history.size(), 1u);
    EXPECT_EQ(ids(t.history.front()), ids(out));
}

TEST(DistanceTracker, MaxDistBoundary)
{
    struct shift {
        unsigned int dx, dy;
        unsigned int expected_id;
    };
    // Centre distances 39 and 40 (straight and on a 3-4-5 diagonal); max_dist 40 is exclusive.
    const shift cases[] = {{39, 0, 1}, {40, 0, 2}, {0, 39, 1}, {24, 32, 2}, {23, 31, 1}};
    for (const shift &c : cases) {
        SCOPED_TRACE(testing::Message() << "dx " << c.dx << " dy " << c.dy);
        distance_tracker t;
        t.track({make_bbox(100, 100, 20, 20, 1)});
        auto out = t.track({make_bbox(100 + c.dx, 100 + c.dy, 20, 20, 1)}, true, 5, 40);
        EXPECT_EQ(out[0].track_id, c.expected_id);
    }
}

TEST(DistanceTracker, OtherClassNeverMatches)
{
    distance_tracker t;
    t.track({make_bbox(100, 100, 20, 20, 0)});
    auto out = t.track({make_bbox(100, 100, 20, 20, 1)});
    EXPECT_EQ(out[0].track_id, 1u);
    EXPECT_EQ(t.next_track_id[1], 2u);
    EXPECT_EQ(t.next_track_id[0], 2u);
}

TEST(DistanceTracker, LaterCandidateTakesThePreviousId)
{
    distance_tracker t;
    t.track({make_bbox(100, 100, 20, 20, 0)});
    // The first box is nearer, but the later one in the current order claims the previous id.
    auto out = t.track({make_bbox(102, 100, 20, 20, 0), make_bbox(120, 100, 20, 20, 0)});
    EXPECT_EQ(ids(out), (std::vector<unsigned int>{2, 1}));
}

TEST(DistanceTracker, MatchedSizeIsAveragedWithThePreviousBox)
{
    distance_tracker t;
    t.track({make_bbox(100, 100, 20, 40, 0)});
    auto out = t.track({make_bbox(100, 100, 31, 41, 0)});
    EXPECT_EQ(out[0].track_id, 1u);
    EXPECT_EQ(out[0].w, 25u);
    EXPECT_EQ(out[0].h, 40u);
}

TEST(DistanceTracker, ChangeHistoryFalseKeepsHistory)
{
    distance_tracker t;
    // The very first boxes are recorded whatever change_history says.
    t.track({make_bbox(10, 10, 5, 5, 0)}, false);
    ASSERT_EQ(t.history.size(), 1u);
    for (int i = 0; i < 3; ++i) t.track({make_bbox(10, 10, 5, 5, 0)}, false);
    EXPECT_EQ(t.history.size(), 1u);
    t.track({make_bbox(10, 10, 5, 5, 0)}, true);
    EXPECT_EQ(t.history.size(), 2u);
}

TEST(DistanceTracker, HistoryHoldsFramesStoryFramesNewestFirst)
{
    distance_tracker t;
    for (unsigned int i = 0; i < 6; ++i) t.track({make_bbox(100 * i, 0, 10, 10, 0)}, true, 3, 40);
    ASSERT_EQ(t.history.size(), 3u);
    EXPECT_EQ(t.history[0][0].x, 500u);
    EXPECT_EQ(t.history[2][0].x, 300u);
}

TEST(DistanceTracker, ObjectMissingForAFrameKeepsItsId)
{
    distance_tracker t;
    t.track({make_bbox(100, 100, 20, 20, 0), make_bbox(400, 100, 20, 20, 0)});
    t.track({make_bbox(400, 100, 20, 20, 0)});
    auto out = t.track({make_bbox(105, 100, 20, 20, 0), make_bbox(405, 100, 20, 20, 0)});
    EXPECT_EQ(ids(out), (std::vector<unsigned int>{1, 2}));
    EXPECT_EQ(t.next_track_id[0], 3u);
}

TEST(DistanceTracker, EmptyFramesInHistoryCountAsNoHistory)
{
    distance_tracker t;
    t.track({});
    t.track({});
    auto out = t.track({make_bbox(0, 0, 10, 10, 0)}, false);
    EXPECT_EQ(out[0].track_id, 1u);
    EXPECT_EQ(t.history.size(), 3u);
}

TEST(DistanceTracker, ClassOutsideTheNetworkGetsNoId)
{
    distance_tracker t;
    auto first = t.track({make_bbox(0, 0, 10, 10, 3), make_bbox(0, 0, 10, 10, 0)});
    EXPECT_EQ(ids(first), (std::vector<unsigned int>{0, 1}));
    auto second = t.track({make_bbox(0, 0, 10, 10, 3), make_bbox(0, 0, 10, 10, 0)});
    EXPECT_EQ(ids(second), (std::vector<unsigned int>{0, 1}));
    EXPECT_EQ(t.next_track_id, (std::vector<unsigned int>{2, 1, 1}));
}

namespace {

struct test_detection {
    std::vector<float> prob;
    std::vector<float> embedding;
    detection det{};

    test_detection(int best_class, float angle, int sort_class, float p = 0.9f) : prob(3, 0.0f)
    {
        if (best_class >= 0) prob[(size_t)best_class] = p;
        embedding = {std::cos(angle), std::sin(angle)};
        det.bbox = box{0.5f, 0.5f, 0.2f, 0.2f};
        det.classes = 3;
        det.prob = prob.data();
        det.objectness = 0.9f;
        det.sort_class = sort_class;
        det.embeddings = embedding.data();
        det.embedding_size = 2;
    }
};

void track_frame(std::vector<test_detection *> dets)
{
    std::vector<detection> arr;
    for (auto *d : dets) arr.push_back(d->det);
    set_track_id(arr.data(), (int)arr.size(), 0.5f, 0.8f, 0.01f, 5, 1, 1);
    for (size_t i = 0; i < dets.size(); ++i) dets[i]->det = arr[i];
}

} // namespace

TEST(ClassChecks, BestClassAndThreshold)
{
    test_detection a(1, 0, 0), b(1, 0, 0), c(2, 0, 0), none(-1, 0, 0);
    EXPECT_TRUE(same_best_class(a.det, b.det, 0.5f));
    EXPECT_FALSE(same_best_class(a.det, c.det, 0.5f));
    EXPECT_FALSE(same_best_class(none.det, none.det, 0.5f));
    EXPECT_FALSE(same_best_class(a.det, b.det, 0.9f));
    EXPECT_TRUE(has_class_above(a.det, 0.89f));
    EXPECT_FALSE(has_class_above(a.det, 0.9f));
    EXPECT_FALSE(has_class_above(none.det, 0.0f));
}

TEST(ClassChecks, DifferentClassCountsNeverMatch)
{
    test_detection a(1, 0, 0), b(1, 0, 0);
    b.det.classes = 2;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(same_best_class(a.det, b.det, 0.5f));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), " Error: det1.classes != det2.classes \n");
}

// The embedding tracker keeps process-wide history, so its behaviour is followed as one sequence.
TEST(EmbeddingTracker, TrackLifecycle)
{
    {
        SCOPED_TRACE("first frame: no history, no matches");
        test_detection fresh(0, 0.0f, 0), seasoned(1, 1.5f, 2), faint(0, 0.0f, 0, 0.3f);
        track_frame({&fresh, &seasoned, &faint});
        EXPECT_EQ(fresh.det.track_id, 0);
        EXPECT_EQ(fresh.prob, (std::vector<float>{0, 0, 0})); // hidden: sort_class 0 < dets_for_show
        EXPECT_EQ(seasoned.det.track_id, 1);                 // sort_class 2 > dets_for_track
        EXPECT_FLOAT_EQ(seasoned.prob[1], 0.9f);
        EXPECT_EQ(faint.det.track_id, 0);
        EXPECT_EQ(faint.prob, (std::vector<float>{0, 0, 0}));
        EXPECT_EQ(fresh.det.sim, 0.0f);
    }
    {
        SCOPED_TRACE("second frame: matched once, not yet tracked but shown");
        test_detection d(0, 0.1f, 0);
        track_frame({&d});
        EXPECT_EQ(d.det.sort_class, 1);
        EXPECT_EQ(d.det.track_id, 0);
        EXPECT_NEAR(d.det.sim, std::cos(0.1f) * 0.99f + 0.01f, 1e-6f);
        EXPECT_FLOAT_EQ(d.prob[0], 0.9f);
    }
    {
        SCOPED_TRACE("third frame: the most similar old detection carries the count; a new id is issued");
        test_detection d(0, 0.2f, 0), other_class(2, 0.2f, 0);
        track_frame({&d, &other_class});
        EXPECT_EQ(d.det.sort_class, 2);
        EXPECT_EQ(d.det.track_id, 2);
        EXPECT_EQ(other_class.det.track_id, 0);
        EXPECT_EQ(other_class.det.sort_class, 0);
    }
    {
        SCOPED_TRACE("fourth frame: the id is kept; a second candidate cannot take the same track");
        test_detection d(0, 0.3f, 0), twin(0, 0.35f, 0);
        track_frame({&d, &twin});
        EXPECT_EQ(d.det.track_id, 2);
        EXPECT_EQ(d.det.sort_class, 3);
        EXPECT_NE(twin.det.track_id, 2);
    }
    {
        SCOPED_TRACE("history of five frames: four empty frames later the track is still found");
        for (int i = 0; i < 4; ++i) track_frame({});
        test_detection d(0, 0.3f, 0);
        track_frame({&d});
        EXPECT_EQ(d.det.track_id, 2);
        EXPECT_EQ(d.det.sort_class, 4);
    }
    {
        SCOPED_TRACE("five empty frames later it has left the history");
        for (int i = 0; i < 5; ++i) track_frame({});
        test_detection d(0, 0.3f, 0);
        track_frame({&d});
        EXPECT_EQ(d.det.track_id, 0);
        EXPECT_EQ(d.det.sort_class, 0);
        EXPECT_EQ(d.prob, (std::vector<float>{0, 0, 0}));
    }
    {
        SCOPED_TRACE("detections without embeddings are not compared");
        test_detection d(0, 0.3f, 0);
        d.det.embeddings = nullptr;
        d.det.embedding_size = 0;
        track_frame({&d});
        EXPECT_EQ(d.det.track_id, 0);
        EXPECT_EQ(d.det.sort_class, 0);
    }
}
