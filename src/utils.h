// Small routines every subsystem leans on: the fatal exit, allocate-or-exit, the line reader,
// string and path helpers, the two random generators and array statistics.
#pragma once
#include "quillon.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

[[noreturn]] void fatal_error(const char *message, const char *source_file, const char *function_name, int line);
[[noreturn]] void fatal_open_error(const char *path);

void *calloc_or_exit(size_t count, size_t size, const char *source_file, const char *function_name, int line);
void *malloc_or_exit(size_t size, const char *source_file, const char *function_name, int line);
void *realloc_or_exit(void *ptr, size_t size, const char *source_file, const char *function_name, int line);
const char *format_byte_size(int64_t n);

// Every allocation site reports its own location.
#define xcalloc(count, size) calloc_or_exit((count), (size), __FILE__, __func__, __LINE__)
#define xmalloc(size) malloc_or_exit((size), __FILE__, __func__, __LINE__)
#define xrealloc(ptr, size) realloc_or_exit((ptr), (size), __FILE__, __func__, __LINE__)
#define quillon_error(msg) fatal_error((msg), __FILE__, __func__, __LINE__)

char *fgetl(FILE *fp);
char *copy_string(const char *s);
void trim(char *s);
char *path_base_name(const char *path);
int *read_map(const char *path);
void image_path_to_label_path(const char *image_path, char *label_path);

float random_uniform(float min, float max);
uint32_t random_u32();
float random_unit_float();
float random_uniform_strong(float min, float max);
int random_int_range(int min, int max);
float random_scale(float s);

float array_sum(const float *a, int n);
float array_variance(const float *a, int n);
void array_normalize(float *a, int n);
float array_magnitude(const float *a, int n);
int array_max_index(const float *a, int n);
void average_three_arrays(float **arrays, int count, float *out);
