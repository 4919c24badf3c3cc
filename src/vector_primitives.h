// Single-precision array operations the layers are assembled from: level-1 routines, per-channel
// statistics and normalisation in the planar batch layout, the shortcut layer's weighted sum,
// loss primitives, softmax and small vector helpers. No routine allocates or checks arguments.
#pragma once
#include "quillon.h"

void axpy_cpu(int n, float alpha, const float *x, int incx, float *y, int incy);
void scal_cpu(int n, float alpha, float *x, int incx);
void fill_cpu(int n, float alpha, float *x, int incx);
void copy_cpu(int n, const float *x, float *y);
void mul_cpu(int n, const float *x, float *y);
void weighted_sum_cpu(const float *a, const float *b, const float *s, int n, float *c);

void mean_cpu(const float *x, int batch, int filters, int spatial, float *mean);
void variance_cpu(const float *x, const float *mean, int batch, int filters, int spatial, float *variance);
// Added to the variance before its square root wherever a normalisation divides by it.
inline constexpr float kNormEpsilon = 0.00001f;
void normalize_cpu(float *x, const float *mean, const float *variance, int batch, int filters, int spatial);
// One channel's inference normalisation in a single pass: normalize_cpu with the running statistics,
// scale_bias and add_bias in turn, with the same roundings.
void normalize_scale_bias_run(float *x, int n, float mean, float variance, float scale, float bias);
void add_bias(float *output, const float *biases, int batch, int n, int size);
void scale_bias(float *output, const float *scales, int batch, int n, int size);
void backward_bias(float *bias_updates, const float *delta, int batch, int n, int size);
void backward_scale_cpu(const float *x_norm, const float *delta, int batch, int n, int size, float *scale_updates);
void mean_delta_cpu(const float *delta, const float *variance, int batch, int filters, int spatial, float *mean_delta);
void variance_delta_cpu(const float *x, const float *delta, const float *mean, const float *variance, int batch,
                        int filters, int spatial, float *variance_delta);
void normalize_delta_cpu(const float *x, const float *mean, const float *variance, const float *mean_delta,
                         const float *variance_delta, int batch, int filters, int spatial, float *delta);

void shortcut_multilayer_cpu(int size, int src_outputs, int n, const int *outputs_of_layers, float **layers_output,
                             float *out, const float *in, const float *weights, int nweights,
                             WEIGHTS_NORMALIZATION_T weights_normalization);
void backward_shortcut_multilayer_cpu(int size, int src_outputs, int n, const int *outputs_of_layers,
                                      float **layers_delta, float *delta_out, const float *delta_in,
                                      const float *weights, float *weight_updates, int nweights, const float *in,
                                      float **layers_output, WEIGHTS_NORMALIZATION_T weights_normalization);

void smooth_l1_cpu(int n, const float *pred, const float *truth, float *delta, float *error);
void l2_cpu(int n, const float *pred, const float *truth, float *delta, float *error);
void softmax_x_ent_cpu(int n, const float *pred, const float *truth, float *delta, float *error);

void softmax(const float *input, int n, float temp, float *output);
void softmax_cpu(const float *input, int n, int batch, int batch_offset, int groups, int group_offset, float temp,
                 float *output);

void get_embedding(const float *src, int src_w, int src_h, int src_c, int embedding_size, int cur_w, int cur_h,
                   int cur_n, int cur_b, float *dst);
float math_vector_length(const float *a, unsigned int n);
float cosine_similarity(const float *a, const float *b, unsigned int n);
