// Planar float images: decoding and JPEG saving, geometry (resize, letterbox, crop, embed, rotate),
// colour operations and augmentation, and the drawing and printing of detections.
#pragma once
#include "quillon.h"

// Decoded images whose w*h*c would exceed this many values are refused before allocation.
constexpr long long max_image_values = 1LL << 28;

image make_empty_image(int w, int h, int c);
image copy_image(image im);
void fill_image(image im, float value);
void constrain_image(image im);

image load_image_stb(const char *filename, int channels);
image load_image(const char *filename, int w, int h, int c);
void save_image_options(image im, const char *name);
void show_image(image im, const char *name);

void embed_image(image source, image dest, int dx, int dy);
void composite_image(image source, image dest, int dx, int dy);
void mirror_image(image im);

void rgb_to_hsv(image im);
void hsv_to_rgb(image im);
void distort_image(image im, float hue, float sat, float val);
void random_distort_image(image im, float hue, float saturation, float exposure);
image grayscale_image(image im);
image binarize_image(image im, float thresh);

float bilinear_interpolate(image im, float x, float y, int k);
image rotate_crop_image(image im, float rad, float s, int w, int h, float dx, float dy, float aspect);
image random_augment_image(image im, float angle, float aspect, int low, int high, int size);

// Zeroes every value not above mean + thresh standard deviations (the picture-optimisation loss).
void apply_picture_loss(float *values, int n, float thresh);

// Drawing: colour values are written as given, without scaling.
void draw_box(image im, int x1, int y1, int x2, int y2, float r, float g, float b);
void draw_box_width(image im, int x1, int y1, int x2, int y2, int width, float r, float g, float b);
void draw_box_bw(image im, int x1, int y1, int x2, int y2, float brightness);
void draw_box_width_bw(image im, int x1, int y1, int x2, int y2, int width, float brightness);
float get_color(int c, int x, int max);

// Glyph images of 8 sizes x 128 character codes; free with free_alphabet.
image **load_alphabet();
void free_alphabet(image **alphabet);
image tile_images(image a, image b, int dx);
image border_image(image a, int border);
image get_label_v3(image **alphabet, const char *text, int size);
void draw_weighted_label(image im, int row, int col, image label, const float *rgb, float alpha);

struct detection_with_class {
    detection det;
    int best_class;
};

// Detections whose best class (names starting with "dont_show" excluded) is above thresh, in order;
// the caller frees the array.
detection_with_class *get_actual_detections(detection *dets, int n, float thresh, int *selected_count, char **names);
void draw_detections_v3(image im, detection *dets, int n, float thresh, char **names, image **alphabet, int classes,
                        int ext_output);
