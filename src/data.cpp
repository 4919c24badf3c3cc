// Training data: image lists and label files, the batch builders of every load kind with their
// augmentation arithmetic, and the loader threads (one dispatcher per request, a process-wide
// pool of permanent workers that split each batch among themselves).
#include "data.h"

#include "image.h"
#include "matrix.h"
#include "utils.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

static_assert(sizeof(label_box) == 40, "label_box is 40 bytes");
static_assert(sizeof(matrix) == 16, "matrix layout");
static_assert(sizeof(data) == 64 && offsetof(data, X) == 8 && offsetof(data, shallow) == 40, "data layout");
static_assert(sizeof(load_args) == 240 && offsetof(load_args, jitter) == 148 && offsetof(load_args, d) == 200 &&
                  offsetof(load_args, type) == 224 && offsetof(load_args, class_tree) == 232,
              "load_args layout");

namespace {

// Pool state. loader_pool_mutex is held by a dispatcher for its whole request and by the
// teardown, so overlapping requests cannot share slots and the pool never vanishes under one.
std::mutex loader_pool_mutex;
pthread_t *loader_pool = nullptr;
std::atomic<int> *loader_slot_busy = nullptr;
load_args *loader_slots = nullptr;
int loader_pool_size = 0;
std::atomic<int> loader_stop{0};
std::mutex loader_slot_mutex;
std::condition_variable loader_wake;  // a slot was filled or stop was requested
std::condition_variable loader_done;  // a busy flag was cleared

std::mutex path_pick_mutex;
std::mutex side_file_mutex;  // "bad.list" and "bad_label.list" lines from several workers

void append_side_line(const char *file_name, const std::string &line)
{
    std::lock_guard<std::mutex> lock(side_file_mutex);
    FILE *f = fopen(file_name, "a");
    if (!f) return;
    fputs(line.c_str(), f);
    fputc('\n', f);
    fclose(f);
}

std::string format_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format_text(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int len = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(len > 0 ? (size_t)len : 0, '\0');
    if (len > 0) vsnprintf(s.data(), (size_t)len + 1, fmt, ap2);
    va_end(ap2);
    return s;
}

// A list made only of empty lines would make path selection redraw forever.
void ensure_usable_path(char **paths, int m)
{
    for (int i = 0; i < m; ++i)
        if (paths[i] && paths[i][0]) return;
    quillon_error("The image list holds no usable path");
}

void check_path_list(int m)
{
    if (m <= 0) quillon_error("The image list is empty");
}

float constrain01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }

std::string label_path_of(const char *image_path)
{
    std::string label(strlen(image_path) + 1, '\0');
    image_path_to_label_path(image_path, label.data());
    label.resize(strlen(label.c_str()));
    return label;
}

} // namespace

char **get_paths(const char *filename, int *count)
{
    FILE *file = fopen(filename, "r");
    if (!file) fatal_open_error(filename);
    std::vector<char *> lines;
    while (char *line = fgetl(file)) lines.push_back(line);
    fclose(file);
    char **paths = (char **)xcalloc(lines.size() + 1, sizeof(char *));
    std::copy(lines.begin(), lines.end(), paths);
    *count = (int)lines.size();
    return paths;
}

static char *pick_path(char **paths, int index)
{
    char *p = paths[index];
    if (strlen(p) <= 4) printf(" Very small path to the image: %s \n", p);
    return p[0] ? p : nullptr;
}

char **get_random_paths_custom(char **paths, int n, int m, int contrastive)
{
    char **out = (char **)xcalloc(n > 0 ? n : 1, sizeof(char *));
    if (n <= 0) return out;
    check_path_list(m);
    std::lock_guard<std::mutex> lock(path_pick_mutex);
    int index = 0;
    bool checked = false;
    for (int i = 0; i < n; ++i) {
        if (!(contrastive && (i % 2) == 1)) index = (int)(random_u32() % (uint32_t)m);
        char *p;
        while (!(p = pick_path(paths, index))) {
            if (!checked) ensure_usable_path(paths, m);
            checked = true;
            index = (int)(random_u32() % (uint32_t)m);
        }
        out[i] = p;
    }
    return out;
}

char **get_sequential_paths(char **paths, int n, int m, int mini_batch, int augment_speed, int contrastive)
{
    char **out = (char **)xcalloc(n > 0 ? n : 1, sizeof(char *));
    if (n <= 0) return out;
    check_path_list(m);
    if (mini_batch < 1) mini_batch = 1;
    int speed = random_int_range(1, augment_speed);
    if (speed < 1) speed = 1;
    std::lock_guard<std::mutex> lock(path_pick_mutex);
    std::vector<uint32_t> start((size_t)mini_batch);
    for (int t = 0; t < mini_batch; ++t) {
        if (contrastive && (t % 2) == 1) start[t] = start[t - 1];
        else start[t] = random_u32() % (uint32_t)m;
    }
    bool checked = false;
    for (int i = 0; i < n; ++i) {
        int t = i % mini_batch;
        char *p;
        for (;;) {
            int index = (int)(start[t] % (uint32_t)m);
            start[t] += (uint32_t)speed;
            if ((p = pick_path(paths, index))) break;
            if (!checked) ensure_usable_path(paths, m);
            checked = true;
        }
        out[i] = p;
    }
    return out;
}

uint32_t label_path_hash(const char *path)
{
    uint32_t h = 5381;
    for (const char *s = path; *s; ++s) h = h * 33 + (uint32_t)(int32_t)(signed char)*s;
    return h;
}

label_box *read_boxes(const char *filename, int *count)
{
    size_t capacity = 1;
    label_box *boxes = (label_box *)xcalloc(capacity, sizeof(label_box));
    *count = 0;
    FILE *file = fopen(filename, "r");
    if (!file) {
        printf("Can't open label file. (This can be normal only if you use MSCOCO): %s \n", filename);
        append_side_line("bad.list", filename);
        return boxes;
    }
    const int64_t base = (int64_t)(label_path_hash(filename) % 4000) * 4000;
    // The id is read wide so that an out-of-range number saturates (and is then reported as a
    // bad class) instead of wrapping into an arbitrary int.
    long id;
    float x, y, w, h;
    int n = 0;
    while (fscanf(file, "%ld %f %f %f %f", &id, &x, &y, &w, &h) == 5) {
        if ((size_t)n == capacity) {
            capacity *= 2;
            boxes = (label_box *)xrealloc(boxes, capacity * sizeof(label_box));
        }
        label_box &b = boxes[n];
        b.id = (int)std::clamp<long>(id, INT_MIN, INT_MAX);
        b.track_id = (int)std::min<int64_t>(base + n, INT_MAX);
        b.x = x;
        b.y = y;
        b.w = w;
        b.h = h;
        b.left = x - w / 2;
        b.right = x + w / 2;
        b.top = y - h / 2;
        b.bottom = y + h / 2;
        ++n;
    }
    fclose(file);
    *count = n;
    return boxes;
}

void shuffle_label_boxes(label_box *boxes, int count)
{
    for (int i = 0; i < count; ++i) std::swap(boxes[i], boxes[random_u32() % (uint32_t)count]);
}

void adjust_label_boxes(label_box *boxes, int count, float dx, float dy, float sx, float sy, int flip)
{
    for (int i = 0; i < count; ++i) {
        label_box &b = boxes[i];
        // Non-finite values would slip through every range test below; treat them as out of range.
        bool finite = std::isfinite(b.x) && std::isfinite(b.y) && std::isfinite(b.w) && std::isfinite(b.h);
        if (!finite || (b.x == 0 && b.y == 0) || b.x + b.w / 2 < 0 || b.y + b.h / 2 < 0 || b.x - b.w / 2 > 1 ||
            b.y - b.h / 2 > 1) {
            b.x = b.y = b.w = b.h = 999999;
            continue;
        }
        b.left = b.left * sx - dx;
        b.right = b.right * sx - dx;
        b.top = b.top * sy - dy;
        b.bottom = b.bottom * sy - dy;
        if (flip) {
            float swap = b.left;
            b.left = 1.f - b.right;
            b.right = 1.f - swap;
        }
        b.left = constrain01(b.left);
        b.right = constrain01(b.right);
        b.top = constrain01(b.top);
        b.bottom = constrain01(b.bottom);
        b.x = (b.left + b.right) / 2;
        b.y = (b.top + b.bottom) / 2;
        b.w = constrain01(b.right - b.left);
        b.h = constrain01(b.bottom - b.top);
    }
}

int write_detection_truth(const char *path, int max_boxes, int truth_size, float *truth, int classes, int flip, float dx,
                          float dy, float sx, float sy, int net_w, int net_h)
{
    std::string label = label_path_of(path);
    const char *lp = label.c_str();
    int count = 0;
    label_box *boxes = read_boxes(lp, &count);
    shuffle_label_boxes(boxes, count);
    adjust_label_boxes(boxes, count, dx, dy, sx, sy, flip);
    if (count > max_boxes) count = max_boxes;
    const float lowest_w = 1.f / net_w, lowest_h = 1.f / net_h;
    int min_w_h = 0;
    int slot = 0;
    for (int i = 0; i < count; ++i) {
        const label_box &b = boxes[i];
        float x = b.x, y = b.y, w = b.w, h = b.h;
        int id = b.id;
        if (id >= classes) {
            printf("\n Wrong annotation: class_id = %d. But class_id should be [from 0 to %d], file: %s \n", id,
                   classes - 1, lp);
            append_side_line("bad_label.list",
                             format_text("%s Wrong annotation: class_id = %d. But class_id should be [from 0 to %d]",
                                         lp, id, classes - 1));
            continue;
        }
        if (w < lowest_w || h < lowest_h) continue;
        if (x == 999999 || y == 999999) {
            printf("\n Wrong annotation: x = 0, y = 0, < 0 or > 1, file: %s \n", lp);
            append_side_line("bad_label.list", format_text("%s Wrong annotation: x = 0 or y = 0", lp));
            continue;
        }
        if (x <= 0 || x > 1 || y <= 0 || y > 1) {
            printf("\n Wrong annotation: x = %f, y = %f, file: %s \n", x, y, lp);
            append_side_line("bad_label.list", format_text("%s Wrong annotation: x = %f, y = %f", lp, x, y));
            continue;
        }
        if (w > 1) {
            printf("\n Wrong annotation: w = %f, file: %s \n", w, lp);
            append_side_line("bad_label.list", format_text("%s Wrong annotation: w = %f", lp, w));
            w = 1;
        }
        if (h > 1) {
            printf("\n Wrong annotation: h = %f, file: %s \n", h, lp);
            append_side_line("bad_label.list", format_text("%s Wrong annotation: h = %f", lp, h));
            h = 1;
        }
        const float fields[6] = {x, y, w, h, (float)id, (float)b.track_id};
        float *out = truth + (size_t)slot * truth_size;
        for (int k = 0; k < 6 && k < truth_size; ++k) out[k] = fields[k];
        int pw = (int)(w * net_w), ph = (int)(h * net_h);
        if (slot == 0 || pw < min_w_h) min_w_h = pw;
        if (ph < min_w_h) min_w_h = ph;
        ++slot;
    }
    free(boxes);
    return min_w_h;
}

void merge_truth_rows(float *truth, int max_boxes, int truth_size, const float *old_truth)
{
    int t = 0;
    while (t < max_boxes && truth[(size_t)t * truth_size] != 0) ++t;
    for (int i = 0; i < max_boxes && t < max_boxes; ++i, ++t) {
        const float *src = old_truth + (size_t)i * truth_size;
        if (src[0] == 0) break;
        float *dst = truth + (size_t)t * truth_size;
        for (int k = 0; k < truth_size; ++k) dst[k] = k < 5 ? src[k] : 0;
    }
}

void blend_image_pair(image new_img, float alpha, image old_img, float beta)
{
    const size_t size = (size_t)new_img.w * new_img.h * new_img.c;
    for (size_t i = 0; i < size; ++i) new_img.data[i] = new_img.data[i] * alpha + old_img.data[i] * beta;
}

static float uniform_between(float a, float b, float r)
{
    const float lo = std::min(a, b), hi = std::max(a, b);
    return (hi - lo) * r + lo;
}

detection_crop compute_detection_crop(int ow, int oh, int w, int h, float jitter, float resize, int letter_box,
                                      const detection_augment &a)
{
    if (!(resize > 0)) resize = 1;
    const int dw = (int)(ow * jitter), dh = (int)(oh * jitter);
    float resize_down = resize, resize_up = resize;
    if (resize_down > 1.0f) resize_down = 1 / resize_down;
    if (resize_up < 1.0f) resize_up = 1 / resize_up;
    const int min_rdw = (int)((1 - (1 / resize_down)) * ow * 0.5);
    const int min_rdh = (int)((1 - (1 / resize_down)) * oh * 0.5);
    const int max_rdw = (int)((1 - (1 / resize_up)) * ow * 0.5);
    const int max_rdh = (int)((1 - (1 / resize_up)) * oh * 0.5);

    detection_crop c{};
    c.pleft = (int)uniform_between((float)-dw, (float)dw, a.r1);
    c.pright = (int)uniform_between((float)-dw, (float)dw, a.r2);
    c.ptop = (int)uniform_between((float)-dh, (float)dh, a.r3);
    c.pbot = (int)uniform_between((float)-dh, (float)dh, a.r4);
    const int hi_w = resize < 1 ? 0 : max_rdw, hi_h = resize < 1 ? 0 : max_rdh;
    c.pleft = (int)((float)c.pleft + uniform_between((float)min_rdw, (float)hi_w, a.resize_r1));
    c.pright = (int)((float)c.pright + uniform_between((float)min_rdw, (float)hi_w, a.resize_r2));
    c.ptop = (int)((float)c.ptop + uniform_between((float)min_rdh, (float)hi_h, a.resize_r1));
    c.pbot = (int)((float)c.pbot + uniform_between((float)min_rdh, (float)hi_h, a.resize_r2));

    if (letter_box) {
        const float img_ar = (float)ow / (float)oh, net_ar = (float)w / (float)h;
        if (img_ar / net_ar > 1) {
            const float delta_h = ((float)ow / net_ar - (float)oh) / 2;
            c.ptop = (int)((float)c.ptop - delta_h);
            c.pbot = (int)((float)c.pbot - delta_h);
        } else {
            const float delta_w = ((float)oh * net_ar - (float)ow) / 2;
            c.pleft = (int)((float)c.pleft - delta_w);
            c.pright = (int)((float)c.pright - delta_w);
        }
    }

    // Large jitter can cut away the whole picture; keep at least one pixel so the crop exists.
    c.swidth = ow - c.pleft - c.pright;
    if (c.swidth < 1) {
        c.pright = ow - c.pleft - 1;
        c.swidth = 1;
    }
    c.sheight = oh - c.ptop - c.pbot;
    if (c.sheight < 1) {
        c.pbot = oh - c.ptop - 1;
        c.sheight = 1;
    }
    c.sx = (float)c.swidth / ow;
    c.sy = (float)c.sheight / oh;
    c.dx = ((float)c.pleft / ow) / c.sx;
    c.dy = ((float)c.ptop / oh) / c.sy;
    return c;
}

static void dump_augmented_image(image sized, const float *truth, int max_boxes, int truth_size, int random_index, int i,
                                 const char *path, int show_imgs)
{
    char *base = path_base_name(path);
    std::string name = format_text("aug_%d_%d_%s_%d", random_index, i, base, (int)random_u32());
    free(base);
    for (int k = 0; k < max_boxes; ++k) {
        const float *s = truth + (size_t)k * truth_size;
        if (s[0] == 0) break;
        const double x = s[0], y = s[1], w = s[2], h = s[3];
        const int left = (int)((x - w / 2) * sized.w), right = (int)((x + w / 2) * sized.w);
        const int top = (int)((y - h / 2) * sized.h), bot = (int)((y + h / 2) * sized.h);
        draw_box(sized, left, top, right, bot, 150, 100, 50);
    }
    save_image_options(sized, name.data());
    if (show_imgs == 1) show_image(sized, name.data());
    printf("\nYou use flag -show_imgs, so will be saved aug_...jpg images. Press Enter: \n");
}

data load_data_detection(int n, char **paths, int m, int w, int h, int c, int max_boxes, int truth_size, int classes,
                         int flip, int gaussian_noise, int blur, int mixup, float jitter, float resize, float hue,
                         float saturation, float exposure, int mini_batch, int track, int augment_speed,
                         int letter_box, int mosaic_bound, int contrastive, int contrastive_jit_flip,
                         int contrastive_color, int show_imgs)
{
    const int random_index = (int)random_u32();
    if (c == 0) c = 3;
    if (n < 0) n = 0;
    char **pass_paths[2] = {nullptr, nullptr};
    pass_paths[0] = track ? get_sequential_paths(paths, n, m, mini_batch, augment_speed, contrastive)
                          : get_random_paths_custom(paths, n, m, contrastive);
    if (mixup == 2) {
        printf("\n cutmix=1 - isn't supported for Detector \n");
        fflush(stdout);
        exit(0);
    }
    if (mixup == 3 || mixup == 4) {
        printf("\n mosaic=1 - compile Quillon with OpenCV for using mosaic=1 \n");
        fflush(stdout);
        exit(0);
    }
    int do_mixup = 0;
    if (mixup == 1) {
        do_mixup = (int)(random_u32() & 1);
        if (do_mixup)
            pass_paths[1] = track ? get_sequential_paths(paths, n, m, mini_batch, augment_speed, contrastive)
                                  : get_random_paths_custom(paths, n, m, 0);
    }

    data d{};
    d.X.rows = n;
    d.X.cols = w * h * c;
    d.X.vals = (float **)xcalloc(n > 0 ? n : 1, sizeof(float *));
    d.y = make_matrix(n, truth_size * max_boxes);
    const size_t truth_len = (size_t)truth_size * max_boxes;

    detection_augment aug{};
    for (int pass = 0; pass <= do_mixup; ++pass) {
        bool drawn = false;
        for (int i = 0; i < n; ++i) {
            const char *path = pass_paths[pass][i];
            float *truth = (float *)xcalloc(truth_len > 0 ? truth_len : 1, sizeof(float));
            image orig = load_image_stb((char *)path, c);
            if (!(drawn && track)) {
                aug.resize_r1 = random_unit_float();
                aug.resize_r2 = random_unit_float();
                if (!contrastive || contrastive_jit_flip || (i % 2) == 0) {
                    aug.r1 = random_unit_float();
                    aug.r2 = random_unit_float();
                    aug.r3 = random_unit_float();
                    aug.r4 = random_unit_float();
                    aug.flip = flip ? (int)(random_u32() & 1) : 0;
                }
                (void)random_unit_float();
                if (!contrastive || contrastive_color || (i % 2) == 0) {
                    aug.dhue = random_uniform_strong(-hue, hue);
                    aug.dsat = random_scale(saturation);
                    aug.dexp = random_scale(exposure);
                }
                drawn = true;
            }
            const detection_crop cr = compute_detection_crop(orig.w, orig.h, w, h, jitter, resize, letter_box, aug);
            image cropped = crop_image(orig, cr.pleft, cr.ptop, cr.swidth, cr.sheight);
            image sized = resize_image(cropped, w, h);
            if (aug.flip) mirror_image(sized);
            distort_image(sized, aug.dhue, aug.dsat, aug.dexp);
            write_detection_truth(path, max_boxes, truth_size, truth, classes, aug.flip, cr.dx, cr.dy,
                                  (float)(1.0 / cr.sx), (float)(1.0 / cr.sy), w, h);
            if (pass == 1) {
                image previous = {w, h, c, d.X.vals[i]};
                blend_image_pair(sized, 0.5f, previous, 0.5f);
                merge_truth_rows(truth, max_boxes, truth_size, d.y.vals[i]);
                free(previous.data);
            }
            d.X.vals[i] = sized.data;
            memcpy(d.y.vals[i], truth, truth_len * sizeof(float));
            if (show_imgs)
                dump_augmented_image(sized, d.y.vals[i], max_boxes, truth_size, random_index, i, path, show_imgs);
            free_image(orig);
            free_image(cropped);
            free(truth);
        }
    }
    free(pass_paths[0]);
    free(pass_paths[1]);
    return d;
}

// ---------------------------------------------------------------- the other load kinds

static void fill_truth(const char *path, char **labels, int k, float *truth)
{
    int count = 0;
    for (int i = 0; labels && i < k; ++i) {
        if (labels[i] && strstr(path, labels[i])) {
            truth[i] = 1;
            ++count;
        }
    }
    if (count != 1) printf("Too many or too few labels: %d, %s\n", count, path);
}

// Marks the ancestors of every set class; the walk is bounded so that a cyclic tree cannot hang it.
static void fill_hierarchy(float *truth, int k, const tree *hierarchy)
{
    const int n = std::min(k, hierarchy->n);
    for (int j = 0; j < n; ++j) {
        if (truth[j] == 0) continue;
        int parent = hierarchy->parent[j];
        for (int steps = 0; parent >= 0 && parent < n && steps < n; ++steps) {
            truth[parent] = 1;
            parent = hierarchy->parent[parent];
        }
    }
}

static image augment_classification_image(const char *path, const load_args &a, int size)
{
    image im = load_image_color((char *)path, 0, 0);
    image crop = random_augment_image(im, a.angle, a.aspect, a.min, a.max, size);
    if (random_u32() & 1) mirror_image(crop);
    random_distort_image(crop, a.hue, a.saturation, a.exposure);
    free_image(im);
    return crop;
}

static data load_augmented_rows(const load_args &a, char **paths, int size, int ycols)
{
    data d{};
    d.X.rows = a.n;
    d.X.cols = size * size * 3;
    d.X.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    for (int i = 0; i < a.n; ++i) d.X.vals[i] = augment_classification_image(paths[i], a, size).data;
    d.y = make_matrix(a.n, ycols);
    return d;
}

static int classification_size(const load_args &a) { return a.size > 0 ? a.size : a.w; }

static data load_classification_rows(const load_args &a, char **paths)
{
    const int size = classification_size(a);
    data d = load_augmented_rows(a, paths, size, a.classes);
    for (int i = 0; i < a.n; ++i) {
        fill_truth(paths[i], a.labels, a.classes, d.y.vals[i]);
        if (a.class_tree) fill_hierarchy(d.y.vals[i], a.classes, a.class_tree);
    }
    return d;
}

// Pastes a random rectangle of `other` into `im` and returns the pasted fraction of the area.
static float paste_random_rect(image im, image other)
{
    const float lambda = random_unit_float();
    const int cw = (int)(im.w * std::sqrt(1 - lambda)), ch = (int)(im.h * std::sqrt(1 - lambda));
    const int x0 = random_int_range(0, im.w - cw), y0 = random_int_range(0, im.h - ch);
    for (int k = 0; k < im.c; ++k)
        for (int y = y0; y < y0 + ch; ++y)
            for (int x = x0; x < x0 + cw; ++x) {
                const size_t at = (size_t)x + (size_t)im.w * (y + (size_t)im.h * k);
                im.data[at] = other.data[at];
            }
    return (float)cw * ch / ((float)im.w * im.h);
}

static data load_data_classification(const load_args &a)
{
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, a.contrastive);
    data d = load_classification_rows(a, paths);
    free(paths);
    if (a.mixup == 3 || a.mixup == 4) {
        printf("\n mosaic=1 - compile Quillon with OpenCV for using mosaic=1 \n");
        fflush(stdout);
        exit(0);
    }
    if ((a.mixup == 1 || a.mixup == 2) && (random_u32() & 1)) {
        char **paths2 = get_random_paths_custom(a.paths, a.n, a.m, 0);
        data d2 = load_classification_rows(a, paths2);
        free(paths2);
        const int size = classification_size(a);
        for (int i = 0; i < a.n; ++i) {
            float part = 0.5f;
            image im = {size, size, 3, d.X.vals[i]}, other = {size, size, 3, d2.X.vals[i]};
            if (a.mixup == 1) blend_image_pair(im, 0.5f, other, 0.5f);
            else part = paste_random_rect(im, other);
            for (int j = 0; j < a.classes; ++j) d.y.vals[i][j] = d.y.vals[i][j] * (1 - part) + d2.y.vals[i][j] * part;
        }
        free_data(d2);
    }
    if (a.label_smooth_eps > 0 && a.classes > 0)
        for (int i = 0; i < a.n; ++i)
            for (int j = 0; j < a.classes; ++j)
                d.y.vals[i][j] = d.y.vals[i][j] * (1 - a.label_smooth_eps) + a.label_smooth_eps / a.classes;
    return d;
}

static data load_data_tag(const load_args &a)
{
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, 0);
    const int size = classification_size(a);
    data d = load_augmented_rows(a, paths, size, a.classes);
    int found = 0;
    for (int i = 0; i < a.n; ++i) {
        std::string label(strlen(paths[i]) + 16, '\0');
        find_replace(paths[i], "imgs", "labels", label.data());
        find_replace(label.c_str(), "_iconl.jpeg", ".txt", label.data());
        FILE *file = fopen(label.c_str(), "r");
        if (!file) {
            find_replace(label.c_str(), "labels", "labels2", label.data());
            file = fopen(label.c_str(), "r");
        }
        if (!file) continue;
        ++found;
        int tag;
        while (fscanf(file, "%d", &tag) == 1)
            if (tag >= 0 && tag < a.classes) d.y.vals[i][tag] = 1;
        fclose(file);
    }
    printf("%d/%d\n", found, a.n);
    free(paths);
    return d;
}

static data load_data_old_classification(const load_args &a)
{
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, 0);
    data d{};
    d.X.rows = a.n;
    d.X.cols = a.w * a.h * 3;
    d.X.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    for (int i = 0; i < a.n; ++i) {
        image im = load_image_color(paths[i], a.w, a.h);
        d.X.vals[i] = im.data;
    }
    d.y = make_matrix(a.n, a.classes);
    for (int i = 0; i < a.n; ++i) fill_truth(paths[i], a.labels, a.classes, d.y.vals[i]);
    free(paths);
    return d;
}

static data load_data_writing(const load_args &a)
{
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, 0);
    data d{};
    d.X.rows = a.n;
    d.X.cols = a.w * a.h * 3;
    d.X.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    d.y.rows = a.n;
    d.y.cols = a.label_w * a.label_h;
    d.y.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    for (int i = 0; i < a.n; ++i) {
        d.X.vals[i] = load_image_color(paths[i], a.w, a.h).data;
        std::string label(strlen(paths[i]) + 16, '\0');
        find_replace(paths[i], ".png", "-label.png", label.data());
        image grey = load_image_stb(label.data(), 1);
        image sized = resize_image(grey, a.label_w, a.label_h);
        free_image(grey);
        d.y.vals[i] = sized.data;
    }
    free(paths);
    return d;
}

// Jittered crop shared by the region and swag kinds: returns the resized crop and its box mapping.
static image jittered_crop(image orig, int w, int h, float jitter, float *dx, float *dy, float *sx, float *sy)
{
    const int dw = (int)(orig.w * jitter), dh = (int)(orig.h * jitter);
    const int pleft = (int)random_uniform_strong((float)-dw, (float)dw);
    const int pright = (int)random_uniform_strong((float)-dw, (float)dw);
    const int ptop = (int)random_uniform_strong((float)-dh, (float)dh);
    const int pbot = (int)random_uniform_strong((float)-dh, (float)dh);
    const int swidth = std::max(1, orig.w - pleft - pright), sheight = std::max(1, orig.h - ptop - pbot);
    const float fx = (float)swidth / orig.w, fy = (float)sheight / orig.h;
    image cropped = crop_image(orig, pleft, ptop, swidth, sheight);
    image sized = resize_image(cropped, w, h);
    free_image(cropped);
    *dx = ((float)pleft / orig.w) / fx;
    *dy = ((float)ptop / orig.h) / fy;
    *sx = 1 / fx;
    *sy = 1 / fy;
    return sized;
}

static label_box *adjusted_boxes(const char *path, float dx, float dy, float sx, float sy, int flip, int *count)
{
    std::string label = label_path_of(path);
    label_box *boxes = read_boxes(label.c_str(), count);
    shuffle_label_boxes(boxes, *count);
    adjust_label_boxes(boxes, *count, dx, dy, sx, sy, flip);
    return boxes;
}

static data load_data_region(const load_args &a)
{
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, 0);
    const int grid = a.grid_w > 0 ? a.grid_w : 1;
    const int cell = 5 + std::max(a.classes, 0);
    data d{};
    d.X.rows = a.n;
    d.X.cols = a.w * a.h * 3;
    d.X.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    d.y = make_matrix(a.n, grid * grid * cell);
    for (int i = 0; i < a.n; ++i) {
        image orig = load_image_color(paths[i], 0, 0);
        float dx, dy, sx, sy;
        image sized = jittered_crop(orig, a.w, a.h, a.jitter, &dx, &dy, &sx, &sy);
        const int flip = (int)(random_u32() & 1);
        if (flip) mirror_image(sized);
        random_distort_image(sized, a.hue, a.saturation, a.exposure);
        d.X.vals[i] = sized.data;
        free_image(orig);
        int count = 0;
        label_box *boxes = adjusted_boxes(paths[i], dx, dy, sx, sy, flip, &count);
        float *truth = d.y.vals[i];
        for (int b = 0; b < count; ++b) {
            const label_box &l = boxes[b];
            if (l.w < .005f || l.h < .005f || !(l.x >= 0 && l.x < 1 && l.y >= 0 && l.y < 1)) continue;
            const int col = (int)(l.x * grid), row = (int)(l.y * grid);
            float *t = truth + (size_t)(col + row * grid) * cell;
            if (t[0]) continue;
            t[0] = 1;
            if (l.id >= 0 && l.id < a.classes) t[1 + l.id] = 1;
            t[1 + a.classes] = l.x * grid - col;
            t[2 + a.classes] = l.y * grid - row;
            t[3 + a.classes] = l.w;
            t[4 + a.classes] = l.h;
        }
        free(boxes);
    }
    free(paths);
    return d;
}

static data load_data_swag(const load_args &a)
{
    const int index = (int)(random_u32() % (uint32_t)std::max(a.m, 1));
    char *path = a.paths[index];
    const int cell = 4 + std::max(a.classes, 0), slots = 30;
    data d{};
    d.X.rows = 1;
    d.X.cols = a.w * a.h * 3;
    d.X.vals = (float **)xcalloc(1, sizeof(float *));
    d.y = make_matrix(1, slots * cell);
    image orig = load_image_color(path, 0, 0);
    float dx, dy, sx, sy;
    image sized = jittered_crop(orig, a.w, a.h, a.jitter, &dx, &dy, &sx, &sy);
    const int flip = (int)(random_u32() & 1);
    if (flip) mirror_image(sized);
    d.X.vals[0] = sized.data;
    free_image(orig);
    int count = 0;
    label_box *boxes = adjusted_boxes(path, dx, dy, sx, sy, flip, &count);
    int used = 0;
    for (int b = 0; b < count && used < slots; ++b) {
        const label_box &l = boxes[b];
        if (l.w < .005f || l.h < .005f || l.x == 999999) continue;
        float *t = d.y.vals[0] + (size_t)used * cell;
        t[0] = l.x;
        t[1] = l.y;
        t[2] = l.w;
        t[3] = l.h;
        if (l.id >= 0 && l.id < a.classes) t[4 + l.id] = 1;
        ++used;
    }
    free(boxes);
    return d;
}

// Per-class scores of one image ("id score" lines); classes without a line keep -1.
static void read_compare_scores(const char *path, int classes, std::vector<float> &scores)
{
    scores.assign((size_t)std::max(classes, 0), -1.f);
    std::string label = label_path_of(path);
    FILE *file = fopen(label.c_str(), "r");
    if (!file) {
        printf("Can't open label file. (This can be normal only if you use MSCOCO): %s \n", label.c_str());
        append_side_line("bad.list", label);
        return;
    }
    int id;
    float score;
    while (fscanf(file, "%d %f", &id, &score) == 2)
        if (id >= 0 && id < classes) scores[id] = score;
    fclose(file);
}

static data load_data_compare(const load_args &a)
{
    const int pairs = a.n;
    char **paths = get_random_paths_custom(a.paths, 2 * pairs, a.m, 0);
    const size_t plane = (size_t)a.w * a.h * 3;
    data d{};
    d.X.rows = pairs;
    d.X.cols = (int)(2 * plane);
    d.X.vals = (float **)xcalloc(pairs > 0 ? pairs : 1, sizeof(float *));
    d.y = make_matrix(pairs, 2 * std::max(a.classes, 0));
    std::vector<float> s1, s2;
    for (int i = 0; i < pairs; ++i) {
        float *row = (float *)xcalloc(2 * plane, sizeof(float));
        image im1 = load_image_color(paths[2 * i], a.w, a.h), im2 = load_image_color(paths[2 * i + 1], a.w, a.h);
        memcpy(row, im1.data, plane * sizeof(float));
        memcpy(row + plane, im2.data, plane * sizeof(float));
        free_image(im1);
        free_image(im2);
        d.X.vals[i] = row;
        read_compare_scores(paths[2 * i], a.classes, s1);
        read_compare_scores(paths[2 * i + 1], a.classes, s2);
        for (int j = 0; j < a.classes; ++j) {
            d.y.vals[i][2 * j] = s1[j] > s2[j] ? 1.f : 0.f;
            d.y.vals[i][2 * j + 1] = s2[j] > s1[j] ? 1.f : 0.f;
        }
    }
    free(paths);
    return d;
}

static data load_data_super(const load_args &a)
{
    const int scale = a.scale > 0 ? a.scale : 1;
    char **paths = get_random_paths_custom(a.paths, a.n, a.m, 0);
    const int hw = a.w * scale, hh = a.h * scale;
    data d{};
    d.X.rows = a.n;
    d.X.cols = a.w * a.h * 3;
    d.X.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    d.y.rows = a.n;
    d.y.cols = hw * hh * 3;
    d.y.vals = (float **)xcalloc(a.n > 0 ? a.n : 1, sizeof(float *));
    for (int i = 0; i < a.n; ++i) {
        image im = load_image_color(paths[i], 0, 0);
        const int dx = random_int_range(0, std::max(0, im.w - hw)), dy = random_int_range(0, std::max(0, im.h - hh));
        image crop = crop_image(im, dx, dy, hw, hh);
        if (random_u32() & 1) mirror_image(crop);
        image small = resize_image(crop, a.w, a.h);
        d.X.vals[i] = small.data;
        d.y.vals[i] = crop.data;
        free_image(im);
    }
    free(paths);
    return d;
}

// ---------------------------------------------------------------- batches and threads

extern "C" QUILLON_API void free_data(data d)
{
    if (!d.shallow) {
        free_matrix(d.X);
        free_matrix(d.y);
    } else {
        free(d.X.vals);
        free(d.y.vals);
    }
}

data concat_loaded_batches(data *records, int count)
{
    data out{};
    for (int i = 0; i < count; ++i) {
        data next{};
        next.w = records[i].w;
        next.h = records[i].h;
        next.X = concat_matrix(records[i].X, out.X);
        next.y = concat_matrix(records[i].y, out.y);
        next.shallow = 1;
        out.shallow = 1;
        free_data(out);
        out = next;
    }
    out.shallow = 0;
    for (int i = 0; i < count; ++i) {
        records[i].shallow = 1;
        free_data(records[i]);
    }
    return out;
}

data slice_data_rows(data d, int part, int total)
{
    data s{};
    s.w = d.w;
    s.h = d.h;
    s.shallow = 1;
    const int start = (int)((int64_t)part * d.X.rows / total), end = (int)((int64_t)(part + 1) * d.X.rows / total);
    const int rows = end - start;
    s.X.rows = s.y.rows = rows;
    s.X.cols = d.X.cols;
    s.y.cols = d.y.cols;
    s.X.vals = (float **)xcalloc(rows > 0 ? rows : 1, sizeof(float *));
    s.y.vals = (float **)xcalloc(rows > 0 ? rows : 1, sizeof(float *));
    for (int i = 0; i < rows; ++i) {
        s.X.vals[i] = d.X.vals[start + i];
        s.y.vals[i] = d.y.vals[start + i];
    }
    return s;
}

extern "C" QUILLON_API void *load_thread(void *ptr)
{
    load_args a = *(load_args *)ptr;
    free(ptr);
    if (a.exposure == 0) a.exposure = 1;
    if (a.saturation == 0) a.saturation = 1;
    if (a.aspect == 0) a.aspect = 1;
    switch (a.type) {
    case LOAD_CLASSIFICATION: *a.d = load_data_classification(a); break;
    case LOAD_DETECTION:
        *a.d = load_data_detection(a.n, a.paths, a.m, a.w, a.h, a.c, a.max_boxes, a.truth_size, a.classes, a.flip,
                                   a.gaussian_noise, a.blur, a.mixup, a.jitter, a.resize, a.hue, a.saturation,
                                   a.exposure, a.mini_batch, a.track, a.augment_speed, a.letter_box, a.mosaic_bound,
                                   a.contrastive, a.contrastive_jit_flip, a.contrastive_color, a.show_imgs);
        break;
    case LOAD_REGION: *a.d = load_data_region(a); break;
    case LOAD_IMAGE:
        *a.im = load_image_stb(a.path, a.c);
        *a.resized = resize_image(*a.im, a.w, a.h);
        break;
    case LOAD_LETTERBOX:
        *a.im = load_image_stb(a.path, a.c);
        *a.resized = letterbox_image(*a.im, a.w, a.h);
        break;
    case LOAD_COMPARE: *a.d = load_data_compare(a); break;
    case LOAD_WRITING: *a.d = load_data_writing(a); break;
    case LOAD_SWAG: *a.d = load_data_swag(a); break;
    case LOAD_TAG: *a.d = load_data_tag(a); break;
    case LOAD_OLD_CLASSIFICATION: *a.d = load_data_old_classification(a); break;
    case LOAD_SUPER: *a.d = load_data_super(a); break;
    default: break;
    }
    return nullptr;
}

static void *run_thread_loop(void *ptr)
{
    const int i = *(int *)ptr;
    free(ptr);
    for (;;) {
        load_args *job;
        {
            std::unique_lock<std::mutex> lock(loader_slot_mutex);
            loader_wake.wait(lock, [i] { return loader_slot_busy[i].load() != 0 || loader_stop.load() != 0; });
            // A job handed over before the stop is still served, so its dispatcher never waits forever.
            if (loader_slot_busy[i].load() == 0) break;
            job = (load_args *)xmalloc(sizeof(load_args));
            *job = loader_slots[i];
        }
        load_thread(job);
        {
            std::lock_guard<std::mutex> lock(loader_slot_mutex);
            loader_slot_busy[i].exchange(0);
        }
        loader_done.notify_all();
    }
    return nullptr;
}

// Called with loader_pool_mutex held.
static void create_loader_pool(int threads)
{
    loader_pool = (pthread_t *)xcalloc(threads, sizeof(pthread_t));
    loader_slot_busy = new std::atomic<int>[threads];
    for (int i = 0; i < threads; ++i) loader_slot_busy[i].store(0);
    loader_slots = (load_args *)xcalloc(threads, sizeof(load_args));
    loader_pool_size = threads;
    fprintf(stderr, " Create %d permanent cpu-threads \n", threads);
    for (int i = 0; i < threads; ++i) {
        int *index = (int *)xmalloc(sizeof(int));
        *index = i;
        if (pthread_create(&loader_pool[i], nullptr, run_thread_loop, index)) quillon_error("Thread creation failed");
    }
}

void *load_threads(void *ptr)
{
    load_args args = *(load_args *)ptr;
    free(ptr);
    int threads = args.threads > 0 ? args.threads : 1;
    const int total = args.n > 0 ? args.n : 0;

    std::lock_guard<std::mutex> pool_lock(loader_pool_mutex);
    if (!loader_pool) create_loader_pool(threads);
    // The slot arrays are sized by the first request; a larger request is spread over the pool.
    if (threads > loader_pool_size) threads = loader_pool_size;
    data *records = (data *)xcalloc(threads, sizeof(data));
    for (int i = 0; i < threads; ++i) {
        load_args part = args;
        part.d = records + i;
        part.n = (int)(((int64_t)(i + 1) * total) / threads - ((int64_t)i * total) / threads);
        {
            std::lock_guard<std::mutex> lock(loader_slot_mutex);
            loader_slots[i] = part;
            loader_slot_busy[i].exchange(1);
        }
        loader_wake.notify_all();
    }
    {
        std::unique_lock<std::mutex> lock(loader_slot_mutex);
        for (int i = 0; i < threads; ++i) loader_done.wait(lock, [i] { return loader_slot_busy[i].load() == 0; });
    }
    *args.d = concat_loaded_batches(records, threads);
    free(records);
    return nullptr;
}

extern "C" QUILLON_API pthread_t load_data(load_args args)
{
    load_args *ptr = (load_args *)xmalloc(sizeof(load_args));
    *ptr = args;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, load_threads, ptr)) quillon_error("Thread creation failed");
    return thread;
}

extern "C" QUILLON_API pthread_t load_data_in_thread(load_args args)
{
    load_args *ptr = (load_args *)xmalloc(sizeof(load_args));
    *ptr = args;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, load_thread, ptr)) quillon_error("Thread creation failed");
    return thread;
}

extern "C" QUILLON_API int free_load_threads(load_args args)
{
    const int threads = args.threads > 0 ? args.threads : 1;
    std::lock_guard<std::mutex> pool_lock(loader_pool_mutex);
    if (!loader_pool) return threads;
    {
        std::lock_guard<std::mutex> lock(loader_slot_mutex);
        loader_stop.exchange(1);
    }
    loader_wake.notify_all();
    // Every worker the pool was created with is joined, whatever count this call names.
    for (int i = 0; i < loader_pool_size; ++i) pthread_join(loader_pool[i], nullptr);
    free(loader_pool);
    delete[] loader_slot_busy;
    free(loader_slots);
    loader_pool = nullptr;
    loader_slot_busy = nullptr;
    loader_slots = nullptr;
    loader_pool_size = 0;
    loader_stop.exchange(0);
    return threads;
}
