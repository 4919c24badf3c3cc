// Planar float images: construction, decoding through the stb decoder, JPEG saving through the stb
// writer, the geometric and colour operations of inference and augmentation, and the drawing and
// printing of detections.
#include "image.h"
#include "network.h"

#include "utils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "network.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#pragma GCC diagnostic pop

static_assert(sizeof(image) == 24, "image crosses the library boundary");

namespace {

inline float pixel(image im, int x, int y, int k)
{
    return im.data[x + im.w * (y + im.h * k)];
}

inline void set_pixel(image im, int x, int y, int k, float v)
{
    if (x < 0 || y < 0 || k < 0 || x >= im.w || y >= im.h || k >= im.c) return;
    im.data[x + im.w * (y + im.h * k)] = v;
}

inline float pixel_or_zero(image im, int x, int y, int k)
{
    if (x < 0 || y < 0 || x >= im.w || y >= im.h) return 0;
    return pixel(im, x, y, k);
}

inline size_t image_size(image im)
{
    return (size_t)im.w * (size_t)im.h * (size_t)im.c;
}

image decode_failure(const char *filename, const char *reason)
{
    const char *name = std::strlen(filename) < 1024 ? filename : "name is too long";
    std::fprintf(stderr, "Cannot load image \"%s\"\nSTB Reason: %s\n", name, reason ? reason : "unknown");
    FILE *bad = std::fopen("bad.list", "a");
    if (bad) {
        std::fprintf(bad, "%s\n", name);
        std::fclose(bad);
    }
    return make_image(10, 10, 3);
}

}  // namespace

extern "C" QUILLON_API image make_image(int w, int h, int c)
{
    image out = make_empty_image(w, h, c);
    out.data = (float *)xcalloc((size_t)h * w * c, sizeof(float));
    return out;
}

image make_empty_image(int w, int h, int c)
{
    image out;
    out.w = w;
    out.h = h;
    out.c = c;
    out.data = nullptr;
    return out;
}

extern "C" QUILLON_API void free_image(image m)
{
    if (m.data) std::free(m.data);
}

image copy_image(image im)
{
    image copy = im;
    copy.data = (float *)xcalloc(image_size(im), sizeof(float));
    if (im.data) std::memcpy(copy.data, im.data, image_size(im) * sizeof(float));
    return copy;
}

void fill_image(image im, float value)
{
    std::fill(im.data, im.data + image_size(im), value);
}

void constrain_image(image im)
{
    size_t n = image_size(im);
    for (size_t i = 0; i < n; ++i) im.data[i] = std::clamp(im.data[i], 0.0f, 1.0f);
}

// ---------------------------------------------------------------- decoding and saving

image load_image_stb(const char *filename, int channels)
{
    // The decoder aborts on a component count it cannot produce; refuse it here instead.
    if (channels < 0 || channels > 4) return decode_failure(filename, "bad req_comp");
    int w, h, c;
    if (!stbi_info(filename, &w, &h, &c)) return decode_failure(filename, stbi_failure_reason());
    int out_c = channels ? channels : c;
    if ((long long)w * h * out_c > max_image_values) return decode_failure(filename, "image too large");
    unsigned char *data = stbi_load(filename, &w, &h, &c, channels);
    if (!data) return decode_failure(filename, stbi_failure_reason());
    if (channels) c = channels;
    image im = make_image(w, h, c);
    for (int k = 0; k < c; ++k) {
        float *plane = im.data + (size_t)w * h * k;
        for (int y = 0; y < h; ++y) {
            const unsigned char *row = data + (size_t)c * w * y + k;
            float *out = plane + (size_t)w * y;
            for (int x = 0; x < w; ++x) out[x] = (float)(row[(size_t)c * x] / 255.0);
        }
    }
    stbi_image_free(data);
    return im;
}

image load_image(const char *filename, int w, int h, int c)
{
    image out = load_image_stb(filename, c);
    if (h && w && (h != out.h || w != out.w)) {
        image resized = resize_image(out, w, h);
        free_image(out);
        out = resized;
    }
    return out;
}

extern "C" QUILLON_API image load_image_color(char *filename, int w, int h)
{
    return load_image(filename, w, h, 3);
}

void save_image_options(image im, const char *name)
{
    std::string file = std::string(name) + ".jpg";
    size_t n = (size_t)im.w * im.h;
    unsigned char *bytes = (unsigned char *)xcalloc(image_size(im) ? image_size(im) : 1, 1);
    for (int k = 0; k < im.c; ++k) {
        for (size_t i = 0; i < n; ++i) {
            float v = 255 * im.data[i + n * k];
            // Out-of-range values wrap like the integer conversion would; non-finite ones become 0.
            int iv = (v > (float)INT_MIN && v < (float)INT_MAX) ? (int)v : 0;
            bytes[k + im.c * i] = (unsigned char)iv;
        }
    }
    if (!stbi_write_jpg(file.c_str(), im.w, im.h, im.c, bytes, 80))
        std::fprintf(stderr, "Failed to write image %s\n", file.c_str());
    std::free(bytes);
}

void show_image(image im, const char *name)
{
    std::fprintf(stderr, "Not compiled with OpenCV, saving to %s.png instead\n", name);
    save_image_options(im, name);
}

// ---------------------------------------------------------------- geometry

extern "C" QUILLON_API image resize_image(image im, int w, int h)
{
    if (im.w == w && im.h == h) return copy_image(im);
    image resized = make_image(w, h, im.c);
    if (w <= 0 || h <= 0 || im.w <= 0 || im.h <= 0) return resized;
    image part = make_image(w, im.h, im.c);
    float w_scale = (float)(im.w - 1) / (w - 1);
    float h_scale = (float)(im.h - 1) / (h - 1);

    // Column taps are the same for every row: compute them once. The last target column (and
    // every column of a one-pixel-wide source) copies the last source pixel.
    int interpolated = im.w == 1 ? 0 : w - 1;
    std::vector<int> ix(interpolated);
    std::vector<float> fx(interpolated);
    for (int x = 0; x < interpolated; ++x) {
        float sx = x * w_scale;
        ix[x] = (int)sx;
        fx[x] = sx - ix[x];
    }
    for (int k = 0; k < im.c; ++k) {
        for (int r = 0; r < im.h; ++r) {
            const float *src = im.data + (size_t)im.w * (r + (size_t)im.h * k);
            float *dst = part.data + (size_t)w * (r + (size_t)im.h * k);
            for (int x = 0; x < interpolated; ++x) {
                float dx = fx[x];
                dst[x] = (1 - dx) * src[ix[x]] + dx * src[ix[x] + 1];
            }
            for (int x = interpolated; x < w; ++x) dst[x] = src[im.w - 1];
        }
    }
    for (int k = 0; k < im.c; ++k) {
        for (int y = 0; y < h; ++y) {
            // A one-row target would divide by zero in its scale: it takes the first source row.
            float sy = h == 1 ? 0.0f : y * h_scale;
            int iy = (int)sy;
            float dy = sy - iy;
            float *dst = resized.data + (size_t)w * (y + (size_t)h * k);
            const float *a = part.data + (size_t)w * (iy + (size_t)im.h * k);
            if (y == h - 1 || im.h == 1) {
                for (int x = 0; x < w; ++x) dst[x] = (1 - dy) * a[x];
            } else {
                const float *b = a + w;
                for (int x = 0; x < w; ++x) dst[x] = (1 - dy) * a[x] + dy * b[x];
            }
        }
    }
    free_image(part);
    return resized;
}

void embed_image(image source, image dest, int dx, int dy)
{
    int x0 = std::max(0, -dx), x1 = std::min(source.w, dest.w - dx);
    int y0 = std::max(0, -dy), y1 = std::min(source.h, dest.h - dy);
    if (x0 >= x1 || y0 >= y1) return;
    int channels = std::min(source.c, dest.c);
    for (int k = 0; k < channels; ++k)
        for (int y = y0; y < y1; ++y)
            std::memcpy(dest.data + (dx + x0) + (size_t)dest.w * (dy + y + (size_t)dest.h * k),
                        source.data + x0 + (size_t)source.w * (y + (size_t)source.h * k),
                        (size_t)(x1 - x0) * sizeof(float));
}

extern "C" QUILLON_API image letterbox_image(image im, int w, int h)
{
    int new_w, new_h;
    if ((float)w / im.w < (float)h / im.h) {
        new_w = w;
        new_h = (im.h * w) / im.w;
    } else {
        new_h = h;
        new_w = (im.w * h) / im.h;
    }
    image resized = resize_image(im, new_w, new_h);
    image boxed = make_image(w, h, im.c);
    fill_image(boxed, 0.5f);
    embed_image(resized, boxed, (w - new_w) / 2, (h - new_h) / 2);
    free_image(resized);
    return boxed;
}

extern "C" QUILLON_API image crop_image(image im, int dx, int dy, int w, int h)
{
    image cropped = make_image(w, h, im.c);
    if (im.w <= 0 || im.h <= 0) return cropped;
    for (int k = 0; k < im.c; ++k) {
        for (int y = 0; y < h; ++y) {
            int r = std::clamp(y + dy, 0, im.h - 1);
            const float *src = im.data + (size_t)im.w * (r + (size_t)im.h * k);
            float *dst = cropped.data + (size_t)w * (y + (size_t)h * k);
            for (int x = 0; x < w; ++x) dst[x] = src[std::clamp(x + dx, 0, im.w - 1)];
        }
    }
    return cropped;
}

extern "C" QUILLON_API image resize_min(image im, int min)
{
    int w, h;
    if (im.w < im.h) {
        w = min;
        h = (im.h * min) / im.w;
    } else {
        h = min;
        w = (im.w * min) / im.h;
    }
    if (w == im.w && h == im.h) return im;
    return resize_image(im, w, h);
}

extern "C" QUILLON_API void rgbgr_image(image im)
{
    if (im.c < 3) return;
    size_t n = (size_t)im.w * im.h;
    for (size_t i = 0; i < n; ++i) std::swap(im.data[i], im.data[i + 2 * n]);
}

void mirror_image(image im)
{
    for (int k = 0; k < im.c; ++k)
        for (int y = 0; y < im.h; ++y) {
            float *row = im.data + (size_t)im.w * (y + (size_t)im.h * k);
            std::reverse(row, row + im.w);
        }
}

extern "C" QUILLON_API void copy_image_from_bytes(image im, char *pdata)
{
    const unsigned char *bytes = (const unsigned char *)pdata;
    for (int k = 0; k < im.c; ++k)
        for (int y = 0; y < im.h; ++y)
            for (int x = 0; x < im.w; ++x)
                im.data[x + (size_t)im.w * y + (size_t)im.w * im.h * k] =
                    (float)(bytes[k + (size_t)im.c * x + (size_t)im.c * im.w * y] / 255.0);
}

extern "C" QUILLON_API void quantize_image(image im)
{
    size_t n = image_size(im);
    for (size_t i = 0; i < n; ++i)
        im.data[i] = (float)((int)((double)im.data[i] * 255) / 255.0 + 0.00196078431372549);
}

extern "C" QUILLON_API void make_image_red(image im)
{
    size_t n = (size_t)im.w * im.h;
    for (size_t i = 0; i < n; ++i) {
        float sum = 0;
        for (int k = 0; k < im.c; ++k) {
            sum += im.data[i + n * k];
            im.data[i + n * k] = 0;
        }
        if (im.c > 0) im.data[i] = sum;
    }
}

extern "C" QUILLON_API image make_attention_image(int img_size, float *original_delta_cpu, float *original_input_cpu,
                                                  int w, int h, int c, float alpha)
{
    image attention = make_empty_image(w, h, c);
    attention.data = original_delta_cpu;
    make_image_red(attention);

    float min = 999999, max = -999999, sum = 0;
    for (int i = 0; i < img_size; ++i) {
        float v = original_delta_cpu[i];
        min = std::min(min, v);
        max = std::max(max, v);
        sum += v;
    }
    float mean = img_size > 0 ? sum / img_size : 0;
    float range = max - min;
    // A flat gradient has no attention anywhere rather than 0/0.
    for (int i = 0; i < img_size; ++i)
        original_delta_cpu[i] = range > 0 ? std::fabs(mean - original_delta_cpu[i]) / range * 4 : 0;

    image small = resize_image(attention, w / 4, h / 4);
    image enlarged = resize_image(small, w, h);
    free_image(small);
    for (int i = 0; i < img_size; ++i)
        enlarged.data[i] = enlarged.data[i] * alpha + (1 - alpha) * original_input_cpu[i];
    return enlarged;
}

// ---------------------------------------------------------------- colour

void rgb_to_hsv(image im)
{
    if (im.c < 3) return;
    size_t n = (size_t)im.w * im.h;
    float *rp = im.data, *gp = im.data + n, *bp = im.data + 2 * n;
    for (size_t i = 0; i < n; ++i) {
        float r = rp[i], g = gp[i], b = bp[i];
        float max = std::max(r, std::max(g, b));
        float min = std::min(r, std::min(g, b));
        float delta = max - min;
        float h, s, v = max;
        if (max == 0) {
            s = 0;
            h = 0;
        } else if (delta == 0) {
            // Grey has no hue; 0/0 would put NaN into the hue plane.
            s = 0;
            h = 0;
        } else {
            s = delta / max;
            if (r == max)
                h = (g - b) / delta;
            else if (g == max)
                h = 2 + (b - r) / delta;
            else
                h = 4 + (r - g) / delta;
            if (h < 0) h += 6;
            h /= 6;
        }
        rp[i] = h;
        gp[i] = s;
        bp[i] = v;
    }
}

void hsv_to_rgb(image im)
{
    if (im.c < 3) return;
    size_t n = (size_t)im.w * im.h;
    float *hp = im.data, *sp = im.data + n, *vp = im.data + 2 * n;
    for (size_t i = 0; i < n; ++i) {
        float h = 6 * hp[i], s = sp[i], v = vp[i];
        float r, g, b;
        if (s == 0) {
            r = g = b = v;
        } else {
            int index = (int)std::floor(h);
            float f = h - index;
            float p = v * (1 - s);
            float q = v * (1 - s * f);
            float t = v * (1 - s * (1 - f));
            switch (index) {
            case 0: r = v, g = t, b = p; break;
            case 1: r = q, g = v, b = p; break;
            case 2: r = p, g = v, b = t; break;
            case 3: r = p, g = q, b = v; break;
            case 4: r = t, g = p, b = v; break;
            default: r = v, g = p, b = q; break;
            }
        }
        hp[i] = r;
        sp[i] = g;
        vp[i] = b;
    }
}

void distort_image(image im, float hue, float sat, float val)
{
    size_t n = (size_t)im.w * im.h;
    if (im.c >= 3) {
        rgb_to_hsv(im);
        for (size_t i = 0; i < n; ++i) {
            im.data[i + n] *= sat;
            im.data[i + 2 * n] *= val;
            float h = im.data[i] + hue;
            if (h > 1) h -= 1;
            if (h < 0) h += 1;
            im.data[i] = h;
        }
        hsv_to_rgb(im);
    } else {
        for (size_t i = 0; i < n; ++i) im.data[i] *= val;
    }
    constrain_image(im);
}

void random_distort_image(image im, float hue, float saturation, float exposure)
{
    float dhue = random_uniform_strong(-std::fabs(hue), std::fabs(hue));
    float dsat = random_scale(saturation);
    float dexp = random_scale(exposure);
    distort_image(im, dhue, dsat, dexp);
}

image grayscale_image(image im)
{
    image gray = make_image(im.w, im.h, 1);
    size_t n = (size_t)im.w * im.h;
    if (im.c < 3) {
        if (im.c > 0) std::memcpy(gray.data, im.data, n * sizeof(float));
        return gray;
    }
    for (size_t i = 0; i < n; ++i)
        gray.data[i] = 0.299f * im.data[i] + 0.587f * im.data[i + n] + 0.114f * im.data[i + 2 * n];
    return gray;
}

image binarize_image(image im, float thresh)
{
    image out = make_image(im.w, im.h, im.c);
    size_t n = image_size(im);
    for (size_t i = 0; i < n; ++i) out.data[i] = im.data[i] > thresh ? 1.0f : 0.0f;
    return out;
}

// ---------------------------------------------------------------- sampling and augmentation

float bilinear_interpolate(image im, float x, float y, int k)
{
    int ix = (int)std::floor(x);
    int iy = (int)std::floor(y);
    float dx = x - ix;
    float dy = y - iy;
    return (1 - dy) * (1 - dx) * pixel_or_zero(im, ix, iy, k) + dy * (1 - dx) * pixel_or_zero(im, ix, iy + 1, k) +
           (1 - dy) * dx * pixel_or_zero(im, ix + 1, iy, k) + dy * dx * pixel_or_zero(im, ix + 1, iy + 1, k);
}

image rotate_crop_image(image im, float rad, float s, int w, int h, float dx, float dy, float aspect)
{
    double cx = im.w / 2.0, cy = im.h / 2.0;
    double cs = std::cos((double)rad), sn = std::sin((double)rad);
    image rot = make_image(w, h, im.c);
    for (int k = 0; k < im.c; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double u = (x - w / 2.0) / s * aspect + dx / s * aspect;
                double t = (y - h / 2.0) / s + dy / s;
                float rx = (float)(cs * u - sn * t + cx);
                float ry = (float)(sn * u + cs * t + cy);
                rot.data[x + (size_t)w * (y + (size_t)h * k)] = bilinear_interpolate(im, rx, ry, k);
            }
    return rot;
}

image random_augment_image(image im, float angle, float aspect, int low, int high, int size)
{
    aspect = random_scale(aspect);
    int r = random_int_range(low, high);
    int min = (int)std::min((float)im.h, im.w * aspect);
    float scale = (float)r / min;
    float rad = (float)(random_uniform(-angle, angle) * 2 * M_PI / 360);
    float dx = std::max(0.0f, (im.w * scale / aspect - size) / 2);
    float dy = std::max(0.0f, (im.h * scale - size) / 2);
    dx = random_uniform(-dx, dx);
    dy = random_uniform(-dy, dy);
    return rotate_crop_image(im, rad, scale, size, size, dx, dy, aspect);
}

// ---------------------------------------------------------------- picture optimisation

// Keeps only outputs more than thresh standard deviations above their mean: the picture is pushed
// towards what already excites the network most.
void apply_picture_loss(float *values, int n, float thresh)
{
    float mean = array_sum(values, n) / n;
    float sd = std::sqrt(array_variance(values, n));
    for (int i = 0; i < n; ++i)
        if (!(values[i] > mean + thresh * sd)) values[i] = 0;
}

namespace {

// Gradient of the picture loss with respect to the input pixels of im.
image picture_input_gradient(network *net, image im, float thresh)
{
    image delta = make_image(im.w, im.h, im.c);
    resize_network(net, im.w, im.h);
    network_state state = {};
    state.input = im.data;
    state.delta = delta.data;
    state.train = 1;
    state.net = *net;
    forward_network(*net, state);
    layer last = net->layers[net->n - 1];
    std::memcpy(last.delta, last.output, (size_t)last.outputs * sizeof(float));
    apply_picture_loss(last.delta, last.outputs, thresh);
    backward_network(*net, state);
    return delta;
}

}  // namespace

extern "C" QUILLON_API void optimize_picture(network *net, image orig, int max_layer, float scale, float rate,
                                             float thresh, int norm)
{
    net->n = max_layer + 1;
    int dx = std::rand() % 16 - 8;
    int dy = std::rand() % 16 - 8;
    int flip = std::rand() % 2;

    image crop = crop_image(orig, dx, dy, orig.w, orig.h);
    image im = resize_image(crop, (int)(orig.w * scale), (int)(orig.h * scale));
    if (flip) mirror_image(im);

    image delta = picture_input_gradient(net, im, thresh);

    if (flip) mirror_image(delta);
    image resized = resize_image(delta, orig.w, orig.h);
    image out = crop_image(resized, -dx, -dy, orig.w, orig.h);
    // A flat gradient has no variance to normalise by; it stays zero instead of becoming NaN.
    if (norm && array_variance(out.data, (int)image_size(out)) > 0) array_normalize(out.data, (int)image_size(out));
    size_t n = image_size(orig);
    for (size_t i = 0; i < n; ++i) orig.data[i] += rate * out.data[i];
    constrain_image(orig);

    free_image(crop);
    free_image(im);
    free_image(delta);
    free_image(resized);
    free_image(out);
}

// ---------------------------------------------------------------- drawing

void draw_box(image im, int x1, int y1, int x2, int y2, float r, float g, float b)
{
    if (im.w <= 0 || im.h <= 0) return;
    x1 = std::clamp(x1, 0, im.w - 1);
    x2 = std::clamp(x2, 0, im.w - 1);
    y1 = std::clamp(y1, 0, im.h - 1);
    y2 = std::clamp(y2, 0, im.h - 1);
    const float colour[3] = {r, g, b};
    for (int k = 0; k < 3 && k < im.c; ++k) {
        for (int x = x1; x <= x2; ++x) {
            set_pixel(im, x, y1, k, colour[k]);
            set_pixel(im, x, y2, k, colour[k]);
        }
        for (int y = y1; y <= y2; ++y) {
            set_pixel(im, x1, y, k, colour[k]);
            set_pixel(im, x2, y, k, colour[k]);
        }
    }
}

void draw_box_width(image im, int x1, int y1, int x2, int y2, int width, float r, float g, float b)
{
    for (int i = 0; i < width; ++i) draw_box(im, x1 + i, y1 + i, x2 - i, y2 - i, r, g, b);
}

void draw_box_bw(image im, int x1, int y1, int x2, int y2, float brightness)
{
    if (im.w <= 0 || im.h <= 0 || im.c <= 0) return;
    x1 = std::clamp(x1, 0, im.w - 1);
    x2 = std::clamp(x2, 0, im.w - 1);
    y1 = std::clamp(y1, 0, im.h - 1);
    y2 = std::clamp(y2, 0, im.h - 1);
    for (int x = x1; x <= x2; ++x) {
        set_pixel(im, x, y1, 0, brightness);
        set_pixel(im, x, y2, 0, brightness);
    }
    for (int y = y1; y <= y2; ++y) {
        set_pixel(im, x1, y, 0, brightness);
        set_pixel(im, x2, y, 0, brightness);
    }
}

void draw_box_width_bw(image im, int x1, int y1, int x2, int y2, int width, float brightness)
{
    float value = width % 2 ? brightness : 1 - brightness;
    for (int i = 0; i < width; ++i) draw_box_bw(im, x1 + i, y1 + i, x2 - i, y2 - i, value);
}

float get_color(int c, int x, int max)
{
    static const float colors[6][3] = {{1, 0, 1}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}};
    float ratio = ((float)x / max) * 5;
    int i = (int)std::floor(ratio);
    int j = (int)std::ceil(ratio);
    ratio -= i;
    return (1 - ratio) * colors[i][c] + ratio * colors[j][c];
}

void composite_image(image source, image dest, int dx, int dy)
{
    int channels = std::min(source.c, dest.c);
    for (int k = 0; k < channels; ++k)
        for (int y = 0; y < source.h; ++y)
            for (int x = 0; x < source.w; ++x) {
                int tx = dx + x, ty = dy + y;
                if (tx < 0 || ty < 0 || tx >= dest.w || ty >= dest.h) continue;
                float &d = dest.data[tx + (size_t)dest.w * (ty + (size_t)dest.h * k)];
                d = pixel(source, x, y, k) * d;
            }
}

image tile_images(image a, image b, int dx)
{
    if (a.w == 0) return copy_image(b);
    image c = make_image(a.w + b.w + dx, std::max(a.h, b.h), std::max(a.c, b.c));
    fill_image(c, 1);
    embed_image(a, c, 0, 0);
    composite_image(b, c, a.w + dx, 0);
    return c;
}

image border_image(image a, int border)
{
    image b = make_image(a.w + 2 * border, a.h + 2 * border, a.c);
    fill_image(b, 1);
    embed_image(a, b, border, border);
    return b;
}

image get_label_v3(image **alphabet, const char *text, int size)
{
    int s = std::min(size / 10, 7);
    image label = make_empty_image(0, 0, 0);
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        if (*p >= 128) continue;
        image next = tile_images(label, alphabet[s][*p], -s - 1 + (s + 1) / 2);
        free_image(label);
        label = next;
    }
    image bordered = border_image(label, (int)(label.h * 0.05));
    free_image(label);
    return bordered;
}

void draw_weighted_label(image im, int row, int col, image label, const float *rgb, float alpha)
{
    if (row - label.h >= 0) row -= label.h;
    int channels = std::min(std::min(label.c, im.c), 3);
    for (int j = 0; j < label.h && row + j < im.h; ++j) {
        if (row + j < 0) continue;
        for (int i = 0; i < label.w && col + i < im.w; ++i) {
            if (col + i < 0) continue;
            for (int k = 0; k < channels; ++k) {
                float &d = im.data[(col + i) + (size_t)im.w * (row + j + (size_t)im.h * k)];
                d = d * (1 - alpha) + pixel(label, i, j, k) * rgb[k] * alpha;
            }
        }
    }
}

image **load_alphabet()
{
    const int nsize = 8;
    image **alphabets = (image **)xcalloc(nsize, sizeof(image *));
    for (int j = 0; j < nsize; ++j) {
        alphabets[j] = (image *)xcalloc(128, sizeof(image));
        for (int i = 32; i < 127; ++i) {
            char path[256];
            std::snprintf(path, sizeof(path), "data/labels/%d_%d.png", i, j);
            alphabets[j][i] = load_image_color(path, 0, 0);
        }
    }
    return alphabets;
}

void free_alphabet(image **alphabet)
{
    if (!alphabet) return;
    for (int j = 0; j < 8; ++j) {
        for (int i = 0; i < 128; ++i) free_image(alphabet[j][i]);
        std::free(alphabet[j]);
    }
    std::free(alphabet);
}

detection_with_class *get_actual_detections(detection *dets, int n, float thresh, int *selected_count, char **names)
{
    detection_with_class *result = (detection_with_class *)xcalloc(n > 0 ? n : 1, sizeof(detection_with_class));
    int selected = 0;
    for (int i = 0; i < n; ++i) {
        int best_class = -1;
        float best = thresh;
        for (int j = 0; j < dets[i].classes; ++j) {
            if (std::strncmp(names[j], "dont_show", 9) == 0) continue;
            if (dets[i].prob[j] > best) {
                best_class = j;
                best = dets[i].prob[j];
            }
        }
        if (best_class >= 0) {
            result[selected].det = dets[i];
            result[selected].best_class = best_class;
            ++selected;
        }
    }
    if (selected_count) *selected_count = selected;
    return result;
}

namespace {

int compare_by_left(const void *pa, const void *pb)
{
    const box &a = ((const detection_with_class *)pa)->det.bbox;
    const box &b = ((const detection_with_class *)pb)->det.bbox;
    float diff = (a.x - a.w / 2) - (b.x - b.w / 2);
    return diff < 0 ? -1 : diff > 0 ? 1 : 0;
}

int compare_by_probability(const void *pa, const void *pb)
{
    const detection_with_class *a = (const detection_with_class *)pa;
    const detection_with_class *b = (const detection_with_class *)pb;
    float diff = a->det.prob[a->best_class] - b->det.prob[b->best_class];
    return diff < 0 ? -1 : diff > 0 ? 1 : 0;
}

void print_detection_line(const char *name, float prob, box b, image im, int ext_output)
{
    std::printf("%s: %.0f%%", name, prob * 100);
    if (ext_output)
        std::printf("\t(left_x: %4.0f   top_y: %4.0f   width: %4.0f   height: %4.0f)\n",
                    std::round((b.x - b.w / 2) * im.w), std::round((b.y - b.h / 2) * im.h), std::round(b.w * im.w),
                    std::round(b.h * im.h));
    else
        std::printf("\n");
}

}  // namespace

void draw_detections_v3(image im, detection *dets, int n, float thresh, char **names, image **alphabet, int classes,
                        int ext_output)
{
    int selected = 0;
    detection_with_class *chosen = get_actual_detections(dets, n, thresh, &selected, names);

    if (selected > 1) std::qsort(chosen, (size_t)selected, sizeof(*chosen), compare_by_left);
    for (int i = 0; i < selected; ++i) {
        const detection &d = chosen[i].det;
        int best = chosen[i].best_class;
        int nclass = std::min(classes, d.classes);
        print_detection_line(names[best], d.prob[best], d.bbox, im, ext_output);
        for (int j = 0; j < nclass; ++j)
            if (j != best && d.prob[j] > thresh) print_detection_line(names[j], d.prob[j], d.bbox, im, ext_output);
    }

    if (selected > 1) std::qsort(chosen, (size_t)selected, sizeof(*chosen), compare_by_probability);
    for (int i = 0; i < selected; ++i) {
        const detection &d = chosen[i].det;
        int best = chosen[i].best_class;
        int nclass = std::min(classes, d.classes);
        int width = std::max(1, (int)(im.h * 0.002));

        int offset = (int)(((long long)best * 123457) % classes);
        float rgb[3] = {get_color(2, offset, classes), get_color(1, offset, classes), get_color(0, offset, classes)};

        box b = d.bbox;
        int left = (int)((b.x - b.w / 2.0) * im.w);
        int right = (int)((b.x + b.w / 2.0) * im.w);
        int top = (int)((b.y - b.h / 2.0) * im.h);
        int bot = (int)((b.y + b.h / 2.0) * im.h);
        left = std::max(left, 0);
        top = std::max(top, 0);
        right = std::min(right, im.w - 1);
        bot = std::min(bot, im.h - 1);

        if (im.c == 1)
            draw_box_width_bw(im, left, top, right, bot, width, 0.8f);
        else
            draw_box_width(im, left, top, right, bot, width, rgb[0], rgb[1], rgb[2]);

        if (alphabet) {
            // Many secondary classes are cut at the text limit rather than overflowing it.
            char score[32];
            std::snprintf(score, sizeof(score), ": %.2f", d.prob[best]);
            std::string text = std::string(names[best]) + score;
            for (int j = 0; j < nclass; ++j)
                if (j != best && d.prob[j] > thresh) text += std::string(", ") + names[j];
            if (text.size() > 4095) text.resize(4095);
            image label = get_label_v3(alphabet, text.c_str(), (int)(im.h * 0.02));
            draw_weighted_label(im, top + width, left, label, rgb, 0.7f);
            free_image(label);
        }

        if (d.mask) {
            image mask = make_empty_image(14, 14, 1);
            mask.data = d.mask;
            image resized = resize_image(mask, (int)(b.w * im.w), (int)(b.h * im.h));
            image tmask = binarize_image(resized, 0.5f);
            embed_image(tmask, im, left, top);
            free_image(resized);
            free_image(tmask);
        }
    }
    std::free(chosen);
}
