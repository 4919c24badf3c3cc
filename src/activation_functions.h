// Element-wise non-linearities: cfg names, scalar forward and derivative, the array routines
// (including the kinds that keep an extra buffer or normalise across channels).
#pragma once
#include "quillon.h"

ACTIVATION activation_from_string(const char *s);
const char *get_activation_string(ACTIVATION a);

float activate(float x, ACTIVATION a);
// Derivative evaluated at the value handed in: layers pass their activated output.
float gradient(float y, ACTIVATION a);

void activate_array(float *x, int n, ACTIVATION a);
void activate_array_cpu_custom(float *x, int n, ACTIVATION a);
void gradient_array(const float *y, int n, ACTIVATION a, float *delta);

// x and out may be the same array in these routines.
void activate_array_swish(const float *x, int n, float *sigmoid_out, float *out);
void activate_array_mish(const float *x, int n, float *input_out, float *out);
void activate_array_hard_mish(const float *x, int n, float *input_out, float *out);
void gradient_array_swish(const float *y, int n, const float *sigmoid, float *delta);
void gradient_array_mish(int n, const float *input, float *delta);
void gradient_array_hard_mish(int n, const float *input, float *delta);

void activate_array_normalize_channels(const float *x, int n, int channels, int wh_step, float *out);
void activate_array_normalize_channels_softmax(const float *x, int n, int channels, int wh_step, float *out,
                                               int use_max_val);
void gradient_array_normalize_channels(const float *x, int n, int channels, int wh_step, float *delta);
void gradient_array_normalize_channels_softmax(const float *x, int n, int channels, int wh_step, float *delta);
