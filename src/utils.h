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

// A source location as the project path ("src/parser.cpp"), not the path of the build machine.
constexpr const char *project_source_path(const char *file)
{
    const char *path = file;
    for (const char *s = file; *s; ++s)
        if (s[0] == 's' && s[1] == 'r' && s[2] == 'c' && s[3] == '/' && (s == file || s[-1] == '/')) path = s;
    return path;
}
#define QUILLON_FILE project_source_path(__FILE__)

// Every allocation site reports its own location.
#define xcalloc(count, size) calloc_or_exit((count), (size), QUILLON_FILE, __func__, __LINE__)
#define xmalloc(size) malloc_or_exit((size), QUILLON_FILE, __func__, __LINE__)
#define xrealloc(ptr, size) realloc_or_exit((ptr), (size), QUILLON_FILE, __func__, __LINE__)
#define quillon_error(msg) fatal_error((msg), QUILLON_FILE, __func__, __LINE__)

// The next line without its "\n" or "\r\n" terminator, of any length; null at end of file. The
// caller frees it.
char *fgetl(FILE *fp);
char *copy_string(const char *s);
// Removes leading and trailing blanks and tabs in place (any length).
void trim(char *s);
// find_replace with the output's capacity: returns 0, leaving output empty, when the result does not
// fit in output_size bytes.
int find_replace_bounded(const char *text, const char *pattern, const char *replacement, char *output,
                         size_t output_size);
char *path_base_name(const char *path);
int *read_map(const char *path);
// label_path must hold strlen(image_path) + 1 bytes: the mapping never lengthens the path.
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
