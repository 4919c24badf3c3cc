// Cropping on the CPU. angle, saturation, exposure and shift are kept for the device pass.
#include "crop_layer.h"

#include "utils.h"

#include <cstdlib>

layer make_crop_layer(int batch, int h, int w, int c, int crop_height, int crop_width, int flip, float angle,
                      float saturation, float exposure)
{
    fprintf(stderr, "Crop Layer: %d x %d -> %d x %d x %d image\n", h, w, crop_height, crop_width, c);
    // The window must lie inside the image: the random offsets are drawn modulo the slack.
    if (crop_height < 1 || crop_width < 1 || crop_height > h || crop_width > w)
        quillon_error("Crop window must be at least 1 x 1 and fit inside the input image");
    layer l = {};
    l.type = CROP;
    l.batch = batch;
    l.h = h;
    l.w = w;
    l.c = c;
    l.scale = (float)crop_height / h;
    l.flip = flip;
    l.angle = angle;
    l.saturation = saturation;
    l.exposure = exposure;
    l.out_w = crop_width;
    l.out_h = crop_height;
    l.out_c = c;
    l.inputs = w * h * c;
    l.outputs = l.out_w * l.out_h * l.out_c;
    l.output = (float *)xcalloc((size_t)l.outputs * batch, sizeof(float));
    l.forward = forward_crop_layer;
    return l;
}

layer parse_crop(list *options, size_params params)
{
    const int crop_height = option_find_int(options, "crop_height", 1);
    const int crop_width = option_find_int(options, "crop_width", 1);
    const int flip = option_find_int(options, "flip", 0);
    const float angle = option_find_float(options, "angle", 0);
    const float saturation = option_find_float(options, "saturation", 1);
    const float exposure = option_find_float(options, "exposure", 1);
    if (!(params.h && params.w && params.c)) quillon_error("Layer before crop layer must output image.");
    layer l = make_crop_layer(params.batch, params.h, params.w, params.c, crop_height, crop_width, flip, angle,
                              saturation, exposure);
    l.shift = option_find_float(options, "shift", 0);
    l.noadjust = option_find_int_quiet(options, "noadjust", 0);
    l.train = params.train;
    return l;
}

void forward_crop_layer(layer l, network_state state)
{
    int flip = l.flip && rand() % 2;
    int dh = rand() % (l.h - l.out_h + 1);
    int dw = rand() % (l.w - l.out_w + 1);
    const float scale = l.noadjust ? 1.f : 2.f;
    const float shift = l.noadjust ? 0.f : -1.f;
    if (!state.train) {
        flip = 0;
        dh = (l.h - l.out_h) / 2;
        dw = (l.w - l.out_w) / 2;
    }
    float *out = l.output;
    for (int b = 0; b < l.batch; ++b)
        for (int k = 0; k < l.c; ++k) {
            const float *plane = state.input + (size_t)l.w * l.h * (k + l.c * b);
            for (int i = 0; i < l.out_h; ++i) {
                const float *row = plane + (size_t)l.w * (i + dh);
                for (int j = 0; j < l.out_w; ++j) {
                    const int col = flip ? l.w - dw - j - 1 : j + dw;
                    *out++ = row[col] * scale + shift;
                }
            }
        }
}

void resize_crop_layer(layer *l, int w, int h)
{
    l->w = w;
    l->h = h;
    l->out_w = (int)(l->scale * w);
    l->out_h = (int)(l->scale * h);
    // The window keeps at least one pixel.
    if (l->out_w < 1) l->out_w = 1;
    if (l->out_h < 1) l->out_h = 1;
    l->inputs = l->w * l->h * l->c;
    l->outputs = l->out_h * l->out_w * l->out_c;
    l->output = (float *)xrealloc(l->output, (size_t)l->batch * l->outputs * sizeof(float));
}
