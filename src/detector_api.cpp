// The exported Detector class and the plain-function interface around one process-wide detector:
// a network loaded for inference, detections converted into pixel boxes, and the tracker's state.
// In a build without devices the device selection and switching steps have nothing to act on.
#include "quillon.h"

#include "image.h"
#include "network.h"
#include "parser.h"
#include "tracking.h"
#include "utils.h"
#include "weights.h"

#include <stb_image.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

struct detector_gpu_t {
    network net;
    image frame_images[3];
    float *avg_prediction;
    float *predictions[3];
    int prediction_index;
    unsigned int *next_track_id;
};

static const layer &last_layer(const network &net) { return net.layers[net.n - 1]; }

// Classes the detection records of this network carry (their prob arrays are sized by the first head).
static int record_classes(const network &net)
{
    for (int i = 0; i < net.n; ++i) {
        const LAYER_TYPE t = net.layers[i].type;
        if (t == VUMO || t == GAUSSIAN_VUMO || t == DETECTION || t == REGION)
            return std::min(net.layers[i].classes, last_layer(net).classes);
    }
    return last_layer(net).classes;
}

// Truncation to a pixel count; a NaN or negative value is 0, a value beyond the range saturates.
static unsigned int to_pixels(double v)
{
    if (!(v > 0)) return 0;
    if (v >= (double)UINT_MAX) return UINT_MAX;
    return (unsigned int)v;
}

static bbox_t make_bbox(unsigned int x, unsigned int y, unsigned int w, unsigned int h, float prob, int class_id)
{
    bbox_t b;
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
    b.prob = prob;
    b.class_id = (unsigned int)class_id;
    b.track_id = 0;
    b.frame_count = 0;
    b.world_x = b.world_y = b.world_z = std::numeric_limits<float>::quiet_NaN();
    return b;
}

Detector::Detector(std::string cfg_filename, std::string weights_filename, int gpu_id, int batch_size)
    : gpu_id(gpu_id), nms_thresh(.4f), wait_for_stream(false)
{
    detector_state = std::make_shared<detector_gpu_t>();
    detector_gpu_t &d = *detector_state;
    this->cfg_filename = cfg_filename;
    this->weights_filename = weights_filename;

    network &net = d.net;
    net = parse_network_cfg_custom(this->cfg_filename.c_str(), batch_size, batch_size);
    load_weights(&net, this->weights_filename.c_str());
    set_batch_network(&net, batch_size);
    fuse_conv_batchnorm(net);

    const layer &l = last_layer(net);
    d.avg_prediction = (float *)xcalloc(l.outputs, sizeof(float));
    for (int j = 0; j < 3; ++j) {
        d.predictions[j] = (float *)xcalloc(l.outputs, sizeof(float));
        d.frame_images[j] = make_image(1, 1, 3);
    }
    d.next_track_id = (unsigned int *)xcalloc(l.classes, sizeof(unsigned int));
    for (int j = 0; j < l.classes; ++j) d.next_track_id[j] = 1;
}

Detector::~Detector()
{
    detector_gpu_t &d = *detector_state;
    free(d.next_track_id);
    free(d.avg_prediction);
    for (int j = 0; j < 3; ++j) {
        free(d.predictions[j]);
        free(d.frame_images[j].data);
    }
    free_network(d.net);
}

int Detector::get_net_width() const { return detector_state->net.w; }
int Detector::get_net_height() const { return detector_state->net.h; }
int Detector::get_net_color_depth() const { return detector_state->net.c; }

image_t Detector::load_image(std::string image_filename)
{
    int w = 0, h = 0, c = 0;
    unsigned char *data = nullptr;
    if (stbi_info(image_filename.c_str(), &w, &h, &c) && (long long)w * h * 3 <= max_image_values)
        data = stbi_load(image_filename.c_str(), &w, &h, &c, 3);
    if (!data) throw std::runtime_error("file not found");
    image im = make_image(w, h, 3);
    for (int k = 0; k < 3; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                im.data[(size_t)k * w * h + (size_t)y * w + x] = (float)(data[((size_t)y * w + x) * 3 + k] / 255.0);
    stbi_image_free(data);
    image_t img;
    img.h = h;
    img.w = w;
    img.c = 3;
    img.data = im.data;
    return img;
}

void Detector::free_image(image_t m)
{
    if (m.data) free(m.data);
}

std::vector<bbox_t> Detector::detect(std::string image_filename, float thresh, bool use_mean)
{
    struct pixels_guard {
        image_t img;
        ~pixels_guard() { Detector::free_image(img); }
    } guard{load_image(image_filename)};
    return detect(guard.img, thresh, use_mean);
}

// The picture in the network's input shape; another channel count is copied into the network's
// channels (missing ones stay 0) so the pass never reads past the pixels.
static image network_sized_copy(const network &net, image_t img)
{
    image view = {img.w, img.h, img.c, img.data};
    image sized;
    if (img.w == net.w && img.h == net.h) {
        sized = make_image(img.w, img.h, img.c);
        memcpy(sized.data, img.data, (size_t)img.w * img.h * img.c * sizeof(float));
    } else {
        sized = resize_image(view, net.w, net.h);
    }
    // A network built for a batch reads that many pictures: the others are left at 0.
    if (sized.c != net.c || net.batch > 1) {
        image fitted = make_image(net.w, net.h, net.c * std::max(net.batch, 1));
        memcpy(fitted.data, sized.data, (size_t)net.w * net.h * std::min(sized.c, net.c) * sizeof(float));
        ::free_image(sized);
        sized = fitted;
    }
    return sized;
}

std::vector<bbox_t> Detector::detect(image_t img, float thresh, bool use_mean)
{
    detector_gpu_t &d = *detector_state;
    network &net = d.net;
    net.wait_for_stream = wait_for_stream;

    image sized = network_sized_copy(net, img);
    const layer &l = last_layer(net);
    float *prediction = network_predict(net, sized.data);
    if (use_mean) {
        memcpy(d.predictions[d.prediction_index], prediction, (size_t)l.outputs * sizeof(float));
        average_three_arrays(d.predictions, l.outputs, d.avg_prediction);
        d.prediction_index = (d.prediction_index + 1) % 3;
    }

    int nboxes = 0;
    detection *dets = get_network_boxes(&net, img.w, img.h, thresh, 0, nullptr, 1, &nboxes, 0);
    const int classes = record_classes(net);
    if (nms_thresh) do_nms_sort(dets, nboxes, classes, nms_thresh);

    std::vector<bbox_t> boxes;
    for (int i = 0; i < nboxes; ++i) {
        const box b = dets[i].bbox;
        const int class_id = array_max_index(dets[i].prob, classes);
        if (class_id < 0) continue;
        const float prob = dets[i].prob[class_id];
        if (!(prob > thresh)) continue;
        boxes.push_back(make_bbox(to_pixels(((double)b.x - (double)b.w * 0.5) * img.w),
                                  to_pixels(((double)b.y - (double)b.h * 0.5) * img.h),
                                  to_pixels((float)img.w * b.w), to_pixels((float)img.h * b.h), prob, class_id));
    }
    free_detections(dets, nboxes);
    ::free_image(sized);
    return boxes;
}

std::vector<std::vector<bbox_t>> Detector::detectBatch(image_t img, int batch_size, int width, int height,
                                                       float thresh, bool make_nms)
{
    network &net = detector_state->net;
    net.wait_for_stream = wait_for_stream;
    image view = {img.w, img.h, img.c, img.data};
    image_detections *r = network_predict_batch(&net, view, batch_size, width, height, thresh, .5f, nullptr, 0, 0);
    const int classes = record_classes(net);

    std::vector<std::vector<bbox_t>> result(batch_size);
    for (int b = 0; b < batch_size; ++b) {
        detection *dets = r[b].dets;
        if (make_nms && nms_thresh) do_nms_sort(dets, r[b].num, classes, nms_thresh);
        for (int i = 0; i < r[b].num; ++i) {
            const box bb = dets[i].bbox;
            const int class_id = array_max_index(dets[i].prob, classes);
            if (class_id < 0) continue;
            const float prob = dets[i].prob[class_id];
            if (!(prob > thresh)) continue;
            result[b].push_back(make_bbox(to_pixels((double)bb.x - (double)bb.w / 2),
                                          to_pixels((double)bb.y - (double)bb.h / 2), to_pixels(bb.w), to_pixels(bb.h),
                                          prob, class_id));
        }
    }
    free_batch_detections(r, batch_size);
    return result;
}

std::vector<bbox_t> Detector::tracking_id(std::vector<bbox_t> cur_bbox_vec, bool const change_history,
                                          int const frames_story, int const max_dist)
{
    const int classes = last_layer(detector_state->net).classes;
    return track_boxes_by_distance(cur_bbox_vec, track_history, detector_state->next_track_id, classes,
                                   change_history, frames_story, max_dist);
}

void *Detector::get_cuda_context() { return nullptr; }

// ---------------------------------------------------------------- plain-function interface

static std::unique_ptr<Detector> process_detector;

extern "C" QUILLON_API int init(const char *configurationFilename, const char *weightsFilename, int gpu,
                                int batch_size)
{
    std::unique_ptr<Detector> next(new Detector(configurationFilename, weightsFilename, gpu, batch_size));
    process_detector.swap(next);
    return 1;
}

extern "C" QUILLON_API int detect_image(const char *filename, bbox_t *out)
{
    // Foreign callers cannot receive C++ exceptions: an unreadable image yields no boxes.
    if (!process_detector || !filename || !out) return 0;
    std::vector<bbox_t> boxes;
    try {
        boxes = process_detector->detect(filename, .2f, false);
    } catch (const std::exception &) {
        return 0;
    }
    const size_t copied = std::min(boxes.size(), (size_t)DETECT_IMAGE_MAX_BOXES);
    std::copy(boxes.begin(), boxes.begin() + copied, out);
    return (int)boxes.size();
}

extern "C" QUILLON_API int detect_mat(const uint8_t *data, const size_t data_length, bbox_t *out) { return -1; }

extern "C" QUILLON_API int dispose(void)
{
    process_detector.reset();
    return 1;
}

extern "C" QUILLON_API int get_device_count(void) { return 0; }

extern "C" QUILLON_API int get_device_name(int gpu, char *deviceName) { return 0; }

extern "C" QUILLON_API bool built_with_cuda(void)
{
#ifdef QUILLON_GPU
    return true;
#else
    return false;
#endif
}

extern "C" QUILLON_API bool built_with_cudnn(void) { return built_with_cuda(); }

extern "C" QUILLON_API bool built_with_opencv(void) { return false; }
