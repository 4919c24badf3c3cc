// The weights file: a 20-byte header (version 0.2.5 and the 64-bit count of images seen; older
// files carry a 32-bit count) followed by every layer's parameter arrays in network order.
#pragma once
#include "quillon.h"

#include <cstddef>
#include <cstdio>

void load_weights(network *net, const char *filename);
void load_weights_upto(network *net, const char *filename, int cutoff);
void save_weights(network net, const char *filename);
void save_weights_upto(network net, const char *filename, int cutoff, int save_ema);

// Transposes a row-major rows x cols matrix in place.
void transpose_matrix(float *a, int rows, int cols);

// Reads up to n floats into a; when some but not all arrive, prints the short-file warning naming
// the array ("l.weights") and the layer index. Returns the count read.
size_t read_weights_array(float *a, size_t n, FILE *fp, const char *name, int index);
// Reads up to n floats into a without any warning. Returns the count read.
size_t read_weights_array_quiet(float *a, size_t n, FILE *fp);
void write_weights_array(const float *a, size_t n, FILE *fp);
