// Two trackers that keep track_id stable while an object stays in view: one matches box centres of
// the same class against the last few frames, the other matches appearance embeddings blended
// with box overlap against a process-wide history.
#include "tracking.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

bool class_in_range(const bbox_t &b, int classes)
{
    return classes > 0 && b.class_id < (unsigned int)classes;
}

// Centres are taken in unsigned pixels with integer halving, as the boxes themselves are.
unsigned int centre_distance(const bbox_t &p, const bbox_t &k)
{
    float dx = (float)(p.x + p.w / 2) - (float)(k.x + k.w / 2);
    float dy = (float)(p.y + p.h / 2) - (float)(k.y + k.h / 2);
    return (unsigned int)std::sqrt(dx * dx + dy * dy);
}

void push_frame(std::deque<std::vector<bbox_t>> &history, const std::vector<bbox_t> &frame, int frames_story)
{
    history.push_front(frame);
    while ((long)history.size() > std::max(frames_story, 0)) history.pop_back();
}

} // namespace

std::vector<bbox_t> track_boxes_by_distance(std::vector<bbox_t> cur, std::deque<std::vector<bbox_t>> &history,
                                            unsigned int *next_track_id, int classes, bool change_history,
                                            int frames_story, int max_dist)
{
    bool history_empty = std::all_of(history.begin(), history.end(), [](const auto &f) { return f.empty(); });
    if (history_empty) {
        for (bbox_t &k : cur)
            if (class_in_range(k, classes)) k.track_id = next_track_id[k.class_id]++;
        // The first boxes are remembered even when the caller does not ask for history updates.
        push_frame(history, cur, frames_story);
        return cur;
    }

    std::vector<unsigned int> dist(cur.size(), UINT_MAX);
    for (const std::vector<bbox_t> &frame : history) {
        for (const bbox_t &p : frame) {
            if (!class_in_range(p, classes)) continue;
            long best = -1;
            for (size_t m = 0; m < cur.size(); ++m) {
                const bbox_t &k = cur[m];
                if (k.class_id != p.class_id) continue;
                unsigned int d = centre_distance(p, k);
                if ((int64_t)d < (int64_t)max_dist && (k.track_id == 0 || d < dist[m])) {
                    dist[m] = d;
                    best = (long)m;
                }
            }
            bool taken = std::any_of(cur.begin(), cur.end(), [&](const bbox_t &k) {
                return k.track_id == p.track_id && k.class_id == p.class_id;
            });
            if (best >= 0 && !taken) {
                bbox_t &b = cur[(size_t)best];
                b.track_id = p.track_id;
                // Averaging with the previous size steadies the box from frame to frame.
                b.w = (b.w + p.w) / 2;
                b.h = (b.h + p.h) / 2;
            }
        }
    }

    for (bbox_t &k : cur)
        if (k.track_id == 0 && class_in_range(k, classes)) k.track_id = next_track_id[k.class_id]++;
    if (change_history) push_frame(history, cur, frames_story);
    return cur;
}

namespace {

int best_class_above(const detection &det, int classes, float thresh)
{
    int best = -1;
    for (int i = 0; i < classes; ++i)
        if (det.prob[i] > thresh && (best < 0 || det.prob[i] > det.prob[best])) best = i;
    return best;
}

float overlap_iou(box a, box b)
{
    auto overlap = [](float x1, float w1, float x2, float w2) {
        return std::min(x1 + w1 / 2, x2 + w2 / 2) - std::max(x1 - w1 / 2, x2 - w2 / 2);
    };
    float ow = overlap(a.x, a.w, b.x, b.w);
    float oh = overlap(a.y, a.h, b.y, b.h);
    float inter = (ow < 0 || oh < 0) ? 0 : ow * oh;
    float uni = a.w * a.h + b.w * b.h - inter;
    return (inter == 0 || uni == 0) ? 0 : inter / uni;
}

float embedding_similarity(const float *a, const float *b, int n)
{
    float ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < n; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    float norms = std::sqrt(aa) * std::sqrt(bb);
    return norms > 0 ? ab / norms : 0;
}

// A detection kept in the history with its own copies of the arrays it points to.
struct stored_detection {
    detection det{};
    std::vector<float> prob, uc, embeddings;

    explicit stored_detection(const detection &d) : det(d)
    {
        prob.assign(d.prob, d.prob + std::max(d.classes, 0));
        if (d.uc) uc.assign(d.uc, d.uc + 4);
        if (d.embeddings) embeddings.assign(d.embeddings, d.embeddings + std::max(d.embedding_size, 0));
        rebind();
    }
    stored_detection(const stored_detection &o) : det(o.det), prob(o.prob), uc(o.uc), embeddings(o.embeddings)
    {
        rebind();
    }
    stored_detection &operator=(const stored_detection &o)
    {
        det = o.det;
        prob = o.prob;
        uc = o.uc;
        embeddings = o.embeddings;
        rebind();
        return *this;
    }

  private:
    void rebind()
    {
        det.prob = prob.data();
        det.uc = uc.empty() ? nullptr : uc.data();
        det.embeddings = embeddings.empty() ? nullptr : embeddings.data();
        det.mask = nullptr;
    }
};

struct similarity_entry {
    int old_index;
    int new_index;
    float sim;
};

struct embedding_tracker {
    int track_counter = 1;
    std::deque<std::vector<stored_detection>> tracked_history; // oldest frame at the front
};

embedding_tracker &process_tracker()
{
    static embedding_tracker tracker;
    return tracker;
}

} // namespace

bool same_best_class(const detection &det1, const detection &det2, float thresh)
{
    if (det1.classes != det2.classes) {
        // Comparing past the shorter array would read out of bounds.
        fprintf(stderr, " Error: det1.classes != det2.classes \n");
        return false;
    }
    int best1 = best_class_above(det1, det1.classes, thresh);
    int best2 = best_class_above(det2, det1.classes, thresh);
    return best1 == best2 && best1 != -1;
}

bool has_class_above(const detection &det, float thresh)
{
    for (int i = 0; i < det.classes; ++i)
        if (det.prob[i] > thresh) return true;
    return false;
}

extern "C" QUILLON_API void set_track_id(detection *new_dets, int new_dets_num, float thresh, float sim_thresh,
                                         float track_ciou_norm, int deque_size, int dets_for_track, int dets_for_show)
{
    embedding_tracker &tracker = process_tracker();
    int n = std::max(new_dets_num, 0);

    std::vector<const detection *> old;
    for (const auto &frame : tracker.tracked_history)
        for (const stored_detection &s : frame) old.push_back(&s.det);
    int m = (int)old.size();

    std::vector<similarity_entry> entries;
    entries.reserve((size_t)m * (size_t)n);
    for (int j = 0; j < m; ++j) {
        for (int k = 0; k < n; ++k) {
            const detection &a = new_dets[k];
            const detection &b = *old[j];
            // Only embeddings of the same length can be compared.
            if (!a.embeddings || !b.embeddings || a.embedding_size != b.embedding_size) continue;
            entries.push_back({j, k, embedding_similarity(a.embeddings, b.embeddings, a.embedding_size)});
        }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const similarity_entry &a, const similarity_entry &b) { return a.sim > b.sim; });

    std::vector<char> old_free((size_t)m, 1);
    std::vector<char> track_free((size_t)tracker.track_counter, 1);
    for (const similarity_entry &e : entries) {
        const detection &o = *old[e.old_index];
        detection &d = new_dets[e.new_index];
        int t = o.track_id;
        if (t < 0 || t >= tracker.track_counter) continue;
        if (!track_free[(size_t)t] || !old_free[(size_t)e.old_index] || !same_best_class(d, o, thresh)) continue;
        float s = e.sim * (1 - track_ciou_norm) + overlap_iou(d.bbox, o.bbox) * track_ciou_norm;
        if (s > sim_thresh && s > d.sim) {
            d.sim = s;
            d.track_id = t;
            d.sort_class = o.sort_class + 1;
            old_free[(size_t)e.old_index] = 0;
            if (t != 0) track_free[(size_t)t] = 0;
        }
    }

    for (int k = 0; k < n; ++k) {
        detection &d = new_dets[k];
        if (d.track_id == 0 && has_class_above(d, thresh) && d.sort_class > dets_for_track)
            d.track_id = tracker.track_counter++;
    }

    std::vector<stored_detection> frame;
    for (int k = 0; k < n; ++k)
        if (has_class_above(new_dets[k], thresh)) frame.emplace_back(new_dets[k]);
    tracker.tracked_history.push_back(std::move(frame));
    while ((long)tracker.tracked_history.size() > std::max(deque_size, 0)) tracker.tracked_history.pop_front();

    for (int k = 0; k < n; ++k) {
        detection &d = new_dets[k];
        if (d.sort_class < dets_for_show)
            for (int i = 0; i < d.classes; ++i) d.prob[i] = 0;
    }
}
