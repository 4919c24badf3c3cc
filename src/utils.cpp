// Fatal exits, allocate-or-exit, line and path helpers, random generators and array statistics.
#include "utils.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>

void fatal_error(const char *message, const char *source_file, const char *function_name, int line)
{
    fprintf(stderr, "Quillon error location: %s, %s, line #%d\n", source_file, function_name, line);
    perror(message);
    fflush(stdout);
    exit(1);
}

void fatal_open_error(const char *path)
{
    fprintf(stderr, "Couldn't open file: %s\n", path);
    fflush(stdout);
    exit(1);
}

const char *format_byte_size(int64_t n)
{
    static char buffer[32];
    float size = (float)(uint64_t)n;
    if (size < 1024) snprintf(buffer, sizeof buffer, "%ld bytes", (long)n);
    else if (size < 1048576) snprintf(buffer, sizeof buffer, "%1.1f KiB", size / 1024);
    else if (size < 1073741824) snprintf(buffer, sizeof buffer, "%1.1f MiB", size / 1048576);
    else snprintf(buffer, sizeof buffer, "%1.1f GiB", size / 1073741824);
    return buffer;
}

void *calloc_or_exit(size_t count, size_t size, const char *source_file, const char *function_name, int line)
{
    void *p = calloc(count, size);
    if (!p && count && size) {
        fprintf(stderr, "Failed to calloc %s\n", format_byte_size((int64_t)(count * size)));
        fatal_error("Calloc error - possibly out of CPU RAM", source_file, function_name, line);
    }
    return p;
}

void *malloc_or_exit(size_t size, const char *source_file, const char *function_name, int line)
{
    void *p = malloc(size);
    if (!p && size) {
        fprintf(stderr, "Failed to malloc %s\n", format_byte_size((int64_t)size));
        fatal_error("Malloc error - possibly out of CPU RAM", source_file, function_name, line);
    }
    return p;
}

void *realloc_or_exit(void *ptr, size_t size, const char *source_file, const char *function_name, int line)
{
    void *p = realloc(ptr, size);
    if (!p && size) {
        fprintf(stderr, "Failed to realloc %s\n", format_byte_size((int64_t)size));
        fatal_error("Realloc error - possibly out of CPU RAM", source_file, function_name, line);
    }
    return p;
}

char *fgetl(FILE *fp)
{
    if (feof(fp)) return nullptr;
    size_t size = 512;
    char *line = (char *)xmalloc(size);
    if (!fgets(line, (int)size, fp)) {
        free(line);
        return nullptr;
    }
    size_t curr = strlen(line);
    while (curr > 0 && line[curr - 1] != '\n' && !feof(fp)) {
        if (curr + 1 == size) {
            size *= 2;
            line = (char *)xrealloc(line, size);
        }
        size_t readsize = size - curr;
        if (!fgets(&line[curr], (int)(readsize > 0x7fffffff ? 0x7fffffff : readsize), fp)) break;
        curr = strlen(line);
    }
    if (curr >= 2 && line[curr - 2] == '\r') line[curr - 2] = '\0';
    else if (curr >= 1 && line[curr - 1] == '\n') line[curr - 1] = '\0';
    return line;
}

char *copy_string(const char *s)
{
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char *copy = (char *)xmalloc(n);
    memcpy(copy, s, n);
    return copy;
}

void trim(char *s)
{
    // In place: the result is never longer than the input, so no scratch size limit applies.
    size_t len = strlen(s);
    size_t begin = 0;
    while (begin < len && (s[begin] == ' ' || s[begin] == '\t')) ++begin;
    size_t end = len;
    while (end > begin && (s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
    memmove(s, s + begin, end - begin);
    s[end - begin] = '\0';
}

// Length of the result of replacing the first occurrence (hit may be null).
static size_t replaced_length(size_t len, const char *hit, const char *pattern, const char *replacement)
{
    return hit ? len - strlen(pattern) + strlen(replacement) : len;
}

static void replace_first(const char *text, const char *pattern, const char *replacement, char *output,
                          size_t output_size)
{
    // The text is copied first because text and output may be the same buffer.
    size_t len = strlen(text);
    char *copy = (char *)xmalloc(len + 1);
    memcpy(copy, text, len + 1);
    const char *hit = *pattern ? strstr(copy, pattern) : nullptr;
    if (replaced_length(len, hit, pattern, replacement) + 1 > output_size) {
        if (output_size) output[0] = '\0';
    } else if (!hit) {
        memcpy(output, copy, len + 1);
    } else {
        size_t head = (size_t)(hit - copy);
        size_t plen = strlen(pattern), rlen = strlen(replacement);
        memcpy(output, copy, head);
        memcpy(output + head, replacement, rlen);
        memcpy(output + head + rlen, hit + plen, len - head - plen + 1);
    }
    free(copy);
}

int find_replace_bounded(const char *text, const char *pattern, const char *replacement, char *output,
                         size_t output_size)
{
    const char *hit = *pattern ? strstr(text, pattern) : nullptr;
    if (replaced_length(strlen(text), hit, pattern, replacement) + 1 > output_size) {
        if (output_size) output[0] = '\0';
        return 0;
    }
    replace_first(text, pattern, replacement, output, output_size);
    return 1;
}

extern "C" QUILLON_API void find_replace(const char *text, const char *pattern, const char *replacement, char *output)
{
    // No capacity is known here: the caller guarantees room for the result (see the header).
    replace_first(text, pattern, replacement, output, SIZE_MAX);
}

char *path_base_name(const char *path)
{
    const char *p = path;
    for (const char *s = p; *s; ++s)
        if (*s == '/') p = s + 1;
    for (const char *s = p; *s; ++s)
        if (*s == '\\') p = s + 1;
    char *name = copy_string(p);
    char *dot = strchr(name, '.');
    if (dot) *dot = '\0';
    return name;
}

extern "C" QUILLON_API void free_ptrs(void **ptrs, int n)
{
    for (int i = 0; i < n; ++i) free(ptrs[i]);
    free(ptrs);
}

int *read_map(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) fatal_open_error(path);
    int n = 0;
    int *map = nullptr;
    char *line;
    while ((line = fgetl(file))) {
        ++n;
        map = (int *)xrealloc(map, n * sizeof(int));
        map[n - 1] = atoi(line);
        free(line);
    }
    fclose(file);
    return map;
}

static void replace_end(char *s, const char *ext, const char *with)
{
    char *hit = strstr(s, ext);
    if (hit && hit[strlen(ext)] == '\0') strcpy(hit, with);
}

void image_path_to_label_path(const char *image_path, char *label_path)
{
    static const char *const dirs[][2] = {
        {"/images/train2017/", "/labels/train2017/"},     {"/images/val2017/", "/labels/val2017/"},
        {"/JPEGImages/", "/labels/"},                     {"\\images\\train2017\\", "\\labels\\train2017\\"},
        {"\\images\\val2017\\", "\\labels\\val2017\\"},   {"\\images\\train2014\\", "\\labels\\train2014\\"},
        {"\\images\\val2014\\", "\\labels\\val2014\\"},   {"/images/train2014/", "/labels/train2014/"},
        {"/images/val2014/", "/labels/val2014/"},         {"\\JPEGImages\\", "\\labels\\"},
    };
    // No replacement lengthens the path, so a buffer of the image path's size always suffices.
    find_replace(image_path, dirs[0][0], dirs[0][1], label_path);
    for (size_t i = 1; i < sizeof dirs / sizeof dirs[0]; ++i) find_replace(label_path, dirs[i][0], dirs[i][1], label_path);
    trim(label_path);
    static const char *const exts[] = {".jpg", ".JPG", ".jpeg", ".JPEG", ".png", ".PNG",
                                       ".bmp", ".BMP", ".ppm", ".PPM", ".tiff", ".TIFF"};
    for (const char *ext : exts) replace_end(label_path, ext, ".txt");
    size_t len = strlen(label_path);
    if (len > 4) {
        if (strcmp(label_path + len - 4, ".txt"))
            fprintf(stderr, "Failed to infer label file name (check image extension is supported): %s \n", label_path);
    } else {
        fprintf(stderr, "Label file name is too short: %s \n", label_path);
    }
}

// The generator's formula is built on 15-bit draws; the C library's rand may deliver 31 bits, whose
// product would overflow.
static int rand15() { return rand() & 0x7fff; }

float random_uniform(float min, float max)
{
    if (max < min) std::swap(min, max);
    int r = rand15() * 32768 + rand15();
    return ((float)r / 1073676288.0f) * (max - min) + min;
}

uint32_t random_u32()
{
    uint32_t v = 0;
    if (getrandom(&v, sizeof v, 0) != (ssize_t)sizeof v) v = 0;
    return v;
}

float random_unit_float() { return (float)(random_u32() * (1.0 / 4294967296.0)); }

float random_uniform_strong(float min, float max)
{
    if (max < min) std::swap(min, max);
    return random_unit_float() * (max - min) + min;
}

int random_int_range(int min, int max)
{
    if (max < min) std::swap(min, max);
    // Unsigned arithmetic: the span of the full int range does not fit an int.
    uint32_t span = (uint32_t)max - (uint32_t)min + 1u;
    uint32_t r = random_u32();
    return (int)((uint32_t)min + (span ? r % span : r));
}

float random_scale(float s)
{
    float scale = random_uniform_strong(1, s);
    if (random_u32() % 2) return scale;
    return (float)(1.0 / scale);
}

float array_sum(const float *a, int n)
{
    float sum = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) sum += a[i] + a[i + 1] + a[i + 2] + a[i + 3];
    for (; i < n; ++i) sum += a[i];
    return sum;
}

float array_variance(const float *a, int n)
{
    float mean = array_sum(a, n) / n;
    float sum = 0;
    for (int i = 0; i < n; ++i) sum += (a[i] - mean) * (a[i] - mean);
    return sum / n;
}

void array_normalize(float *a, int n)
{
    float mean = array_sum(a, n) / n;
    float sd = sqrtf(array_variance(a, n));
    for (int i = 0; i < n; ++i) a[i] = (a[i] - mean) / sd;
}

float array_magnitude(const float *a, int n)
{
    float sum = 0;
    for (int i = 0; i < n; ++i) sum += a[i] * a[i];
    return sqrtf(sum);
}

int array_max_index(const float *a, int n)
{
    if (n <= 0) return -1;
    int best = 0;
    for (int i = 1; i < n; ++i)
        if (a[i] > a[best]) best = i;
    return best;
}

void average_three_arrays(float **arrays, int count, float *out)
{
    for (int i = 0; i < count; ++i) out[i] = 0;
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < count; ++i) out[i] += arrays[k][i];
    for (int i = 0; i < count; ++i) out[i] /= 3;
}

extern "C" QUILLON_API void top_k(float *a, int n, int k, int *index)
{
    for (int j = 0; j < k; ++j) index[j] = -1;
    for (int i = 0; i < n; ++i) {
        int curr = i;
        for (int j = 0; j < k; ++j) {
            if (index[j] < 0 || a[curr] > a[index[j]]) {
                int swap = curr;
                curr = index[j];
                index[j] = swap;
                if (curr < 0) break;
            }
        }
    }
}

extern "C" QUILLON_API double get_time_point()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1000.0;
}
