// Training data: image lists, label files, the batch builders of every load kind with their
// augmentation, and the loader threads (a dispatcher per request over a pool of permanent workers).
#pragma once
#include "quillon.h"
#include "matrix.h"

#include <cstdint>

// One label record as read, with its edges precomputed.
struct label_box {
    int id;
    int track_id;
    float x, y, w, h;
    float left, right, top, bottom;
};

// Random values that one detection image is augmented with.
struct detection_augment {
    float resize_r1, resize_r2;
    float r1, r2, r3, r4;
    int flip;
    float dhue, dsat, dexp;
};

// The crop of one detection image, derived from its size, the request and the random values.
struct detection_crop {
    int pleft, pright, ptop, pbot;
    int swidth, sheight;
    float sx, sy, dx, dy;
};

char **get_paths(const char *filename, int *count);
char **get_random_paths_custom(char **paths, int n, int m, int contrastive);
char **get_sequential_paths(char **paths, int n, int m, int mini_batch, int augment_speed, int contrastive);

uint32_t label_path_hash(const char *path);
label_box *read_boxes(const char *filename, int *count);
void shuffle_label_boxes(label_box *boxes, int count);
void adjust_label_boxes(label_box *boxes, int count, float dx, float dy, float sx, float sy, int flip);
int write_detection_truth(const char *path, int max_boxes, int truth_size, float *truth, int classes, int flip, float dx,
                          float dy, float sx, float sy, int net_w, int net_h);
void merge_truth_rows(float *truth, int max_boxes, int truth_size, const float *old_truth);
void blend_image_pair(image new_img, float alpha, image old_img, float beta);
detection_crop compute_detection_crop(int ow, int oh, int w, int h, float jitter, float resize, int letter_box,
                                      const detection_augment &a);

data load_data_detection(int n, char **paths, int m, int w, int h, int c, int max_boxes, int truth_size, int classes,
                         int flip, int gaussian_noise, int blur, int mixup, float jitter, float resize, float hue,
                         float saturation, float exposure, int mini_batch, int track, int augment_speed,
                         int letter_box, int mosaic_bound, int contrastive, int contrastive_jit_flip,
                         int contrastive_color, int show_imgs);

data concat_loaded_batches(data *records, int count);
data slice_data_rows(data d, int part, int total);
void *load_threads(void *ptr);
