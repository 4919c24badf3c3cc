// Object tracking across frames: the centre-distance tracker behind Detector::tracking_id and the
// embedding tracker behind the exported set_track_id (declared in quillon.h).
#pragma once
#include "quillon.h"

#include <deque>
#include <vector>

// Gives every box of cur a track_id by matching same-class centres against the boxes of history
// (newest frame at the front). next_track_id holds one counter per class; boxes whose class_id is
// not below classes are left without an id. Returns the updated boxes.
std::vector<bbox_t> track_boxes_by_distance(std::vector<bbox_t> cur, std::deque<std::vector<bbox_t>> &history,
                                            unsigned int *next_track_id, int classes, bool change_history,
                                            int frames_story, int max_dist);

// True when both detections have the same best class above thresh (and have one).
bool same_best_class(const detection &det1, const detection &det2, float thresh);
bool has_class_above(const detection &det, float thresh);
