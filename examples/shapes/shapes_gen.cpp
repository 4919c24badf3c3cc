// Writes the shapes detection dataset: noisy pictures of coloured circles, squares and triangles
// of several sizes, some overlapping, each with its label file beside it, the train and valid image
// lists, the class names and the .data file. The same seed always gives the same dataset.
//
// usage: shapes_gen <output directory> [train count] [valid count] [seed]
#include "image.h"
#include "quillon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int image_size = 96;
const char *const class_names[] = {"circle", "square", "triangle"};
constexpr int class_count = 3;

struct shape {
    int kind;
    float cx, cy, half;  // pixels
    float rgb[3];
};

bool inside(const shape &s, float x, float y)
{
    const float dx = x - s.cx, dy = y - s.cy;
    switch (s.kind) {
    case 0: return dx * dx + dy * dy <= s.half * s.half;
    case 1: return std::fabs(dx) <= s.half && std::fabs(dy) <= s.half;
    default: {
        // Upright isosceles triangle filling the box: apex at the top centre, base at the bottom.
        const float t = (dy + s.half) / (2 * s.half);  // 0 at the apex, 1 at the base
        return t >= 0 && t <= 1 && std::fabs(dx) <= t * s.half;
    }
    }
}

float overlap(const shape &a, const shape &b)
{
    const float ix = std::max(0.f, std::min(a.cx + a.half, b.cx + b.half) - std::max(a.cx - a.half, b.cx - b.half));
    const float iy = std::max(0.f, std::min(a.cy + a.half, b.cy + b.half) - std::max(a.cy - a.half, b.cy - b.half));
    const float inter = ix * iy;
    const float uni = 4 * a.half * a.half + 4 * b.half * b.half - inter;
    return inter / uni;
}

void make_picture(std::mt19937 &rng, const std::string &stem)
{
    std::uniform_real_distribution<float> unit(0.f, 1.f);
    image im = make_image(image_size, image_size, 3);
    const int plane = image_size * image_size;

    // Background: a random two-colour gradient with pixel noise.
    float base[2][3];
    for (auto &c : base)
        for (float &v : c) v = 0.15f + 0.45f * unit(rng);
    const float angle = 6.2831853f * unit(rng);
    const float ax = std::cos(angle), ay = std::sin(angle);
    std::normal_distribution<float> noise(0.f, 0.06f);
    for (int y = 0; y < image_size; ++y)
        for (int x = 0; x < image_size; ++x) {
            const float t = 0.5f + ((x - image_size / 2) * ax + (y - image_size / 2) * ay) / image_size;
            for (int k = 0; k < 3; ++k)
                im.data[k * plane + y * image_size + x] = base[0][k] * (1 - t) + base[1][k] * t + noise(rng);
        }

    std::vector<shape> shapes;
    const int wanted = 1 + (int)(unit(rng) * 4);
    for (int attempt = 0; attempt < 50 && (int)shapes.size() < wanted; ++attempt) {
        shape s;
        s.kind = (int)(unit(rng) * class_count) % class_count;
        s.half = 6 + unit(rng) * 14;
        s.cx = s.half + unit(rng) * (image_size - 2 * s.half);
        s.cy = s.half + unit(rng) * (image_size - 2 * s.half);
        // Saturated colours that stand out from the background by brightness or hue.
        const int bright = (int)(unit(rng) * 3) % 3;
        for (int k = 0; k < 3; ++k) s.rgb[k] = k == bright ? 0.85f + 0.15f * unit(rng) : 0.9f * unit(rng);
        // Some overlap is allowed, but every object stays mostly visible.
        bool ok = true;
        for (const shape &o : shapes) ok = ok && overlap(s, o) < 0.25f;
        if (ok) shapes.push_back(s);
    }

    std::string labels;
    for (const shape &s : shapes) {
        for (int y = (int)(s.cy - s.half); y <= (int)(s.cy + s.half) + 1; ++y)
            for (int x = (int)(s.cx - s.half); x <= (int)(s.cx + s.half) + 1; ++x) {
                if (x < 0 || y < 0 || x >= image_size || y >= image_size || !inside(s, x + 0.5f, y + 0.5f)) continue;
                for (int k = 0; k < 3; ++k) im.data[k * plane + y * image_size + x] = s.rgb[k] + noise(rng) * 0.5f;
            }
        char line[96];
        snprintf(line, sizeof line, "%d %.6f %.6f %.6f %.6f\n", s.kind, s.cx / image_size, s.cy / image_size,
                 2 * s.half / image_size, 2 * s.half / image_size);
        labels += line;
    }
    for (int i = 0; i < 3 * plane; ++i) im.data[i] = std::min(1.f, std::max(0.f, im.data[i]));

    save_image_options(im, stem.c_str());
    free_image(im);
    FILE *f = fopen((stem + ".txt").c_str(), "w");
    if (!f) {
        fprintf(stderr, "shapes_gen: cannot write %s.txt\n", stem.c_str());
        exit(1);
    }
    fputs(labels.c_str(), f);
    fclose(f);
}

void write_split(std::mt19937 &rng, const std::string &dir, const char *split, int count)
{
    const std::string split_dir = dir + "/" + split;
    mkdir(split_dir.c_str(), 0755);
    const std::string list_path = dir + "/" + split + ".txt";
    FILE *list = fopen(list_path.c_str(), "w");
    if (!list) {
        fprintf(stderr, "shapes_gen: cannot write %s\n", list_path.c_str());
        exit(1);
    }
    for (int i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/%05d", i);
        const std::string stem = split_dir + name;
        make_picture(rng, stem);
        fprintf(list, "%s.jpg\n", stem.c_str());
    }
    fclose(list);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 5) {
        fprintf(stderr, "usage: shapes_gen <output directory> [train count] [valid count] [seed]\n");
        return 1;
    }
    const std::string dir = argv[1];
    const int train_count = argc > 2 ? atoi(argv[2]) : 2000;
    const int valid_count = argc > 3 ? atoi(argv[3]) : 200;
    const unsigned seed = argc > 4 ? (unsigned)strtoul(argv[4], nullptr, 10) : 7u;
    if (train_count < 1 || valid_count < 1) {
        fprintf(stderr, "shapes_gen: the image counts must be positive\n");
        return 1;
    }
    mkdir(dir.c_str(), 0755);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "shapes_gen: cannot create directory %s\n", dir.c_str());
        return 1;
    }

    std::mt19937 rng(seed);
    write_split(rng, dir, "train", train_count);
    std::mt19937 valid_rng(seed + 1000003u);
    write_split(valid_rng, dir, "valid", valid_count);

    FILE *names = fopen((dir + "/shapes.names").c_str(), "w");
    for (const char *n : class_names) fprintf(names, "%s\n", n);
    fclose(names);
    mkdir((dir + "/backup").c_str(), 0755);
    FILE *data = fopen((dir + "/shapes.data").c_str(), "w");
    fprintf(data, "classes = %d\ntrain = %s/train.txt\nvalid = %s/valid.txt\nnames = %s/shapes.names\nbackup = %s/backup\n",
            class_count, dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str());
    fclose(data);
    printf("shapes_gen: %d training and %d validation images in %s\n", train_count, valid_count, dir.c_str());
    return 0;
}
