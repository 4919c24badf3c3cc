// Detection extraction over a whole network: counting and filling over several heads in layer
// order, relative and pixel boxes, the class-count check, embeddings, the one-call predictions
// and batch prediction against single-image prediction.
#include "network.h"

#include "detection_fixtures.h"
#include "image.h"
#include "parser.h"
#include "utils.h"
#include "vumo_layer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

network build(const std::string &name, const std::string &cfg, int batch = 1)
{
    const std::string path = write_text_file(name, cfg);
    return parse_network_cfg_custom(path.c_str(), batch, 1);
}

// Two heads: a 4 x 4 one on a 1 x 1 convolution and a 2 x 2 one after a strided convolution of the
// first head's output.
std::string two_head_cfg(int classes_first, int classes_second)
{
    const int f1 = 2 * (classes_first + 5), f2 = classes_second + 5;
    return "[net]\nwidth=4\nheight=4\nchannels=3\n\n"
           "[convolutional]\nfilters=" + std::to_string(f1) + "\nsize=1\nstride=1\nactivation=linear\n\n"
           "[vumo]\nclasses=" + std::to_string(classes_first) + "\nnum=3\nmask=0,2\nanchors=1,1,2,2,3,3\n\n"
           "[convolutional]\nfilters=" + std::to_string(f2) + "\nsize=2\nstride=2\nactivation=linear\n\n"
           "[vumo]\nclasses=" + std::to_string(classes_second) + "\nnum=3\nmask=1\nanchors=1,1,2,2,3,3\n";
}

void set_cell(layer &l, int b, int slot, int col, int row, const std::vector<float> &entries)
{
    const int location = slot * l.w * l.h + row * l.w + col;
    for (size_t e = 0; e < entries.size(); ++e) l.output[head_entry_index(l, b, location, (int)e)] = entries[e];
}

void clear_output(layer &l) { std::fill(l.output, l.output + (size_t)l.batch * l.outputs, 0.f); }

// Small random weights so that every head sees varied values.
void randomise(network &net, unsigned seed)
{
    srand(seed);
    for (int i = 0; i < net.n; ++i) {
        layer &l = net.layers[i];
        for (int k = 0; k < l.nweights; ++k) l.weights[k] = random_uniform(-1, 1);
        if (l.type == CONVOLUTIONAL)
            for (int k = 0; k < l.n; ++k) l.biases[k] = random_uniform(-1, 1);
    }
}

image random_image(int w, int h, int c)
{
    image im = make_image(w, h, c);
    for (int i = 0; i < w * h * c; ++i) im.data[i] = random_uniform(0, 1);
    return im;
}

} // namespace

TEST(DetectionExtraction, HeadsAreFilledInLayerOrder)
{
    network net = build("two_heads.cfg", two_head_cfg(2, 2));
    std::vector<float> input(4 * 4 * 3, .5f);
    network_predict(net, input.data());
    layer &first = net.layers[1];
    layer &second = net.layers[3];
    clear_output(first);
    clear_output(second);
    set_cell(first, 0, 1, 2, 3, {.5f, .5f, 0, 0, .9f, .2f, .7f});
    set_cell(first, 0, 0, 0, 0, {.25f, .75f, 0, 0, .8f, .9f, .1f});
    set_cell(second, 0, 0, 1, 0, {.5f, .5f, 0, 0, .95f, .6f, .6f});

    int num = -1;
    detection *dets = get_network_boxes(&net, 4, 4, .5f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 3);
    // First head, cell-major then slot: (0, 0) slot 0 before (2, 3) slot 1; then the second head.
    EXPECT_FLOAT_EQ(dets[0].bbox.x, .25f / 4);
    EXPECT_FLOAT_EQ(dets[0].bbox.y, .75f / 4);
    EXPECT_FLOAT_EQ(dets[0].bbox.w, 1.f / 4);  // anchor 0
    EXPECT_FLOAT_EQ(dets[0].prob[0], .8f * .9f);
    EXPECT_FLOAT_EQ(dets[0].prob[1], 0);
    EXPECT_FLOAT_EQ(dets[1].bbox.x, 2.5f / 4);
    EXPECT_FLOAT_EQ(dets[1].bbox.w, 3.f / 4);  // mask 2
    EXPECT_FLOAT_EQ(dets[1].prob[1], .9f * .7f);
    EXPECT_FLOAT_EQ(dets[2].bbox.x, 1.5f / 2);
    EXPECT_FLOAT_EQ(dets[2].bbox.y, .5f / 2);
    EXPECT_FLOAT_EQ(dets[2].bbox.w, 2.f / 4);  // mask 1
    EXPECT_FLOAT_EQ(dets[2].prob[0], .95f * .6f);
    for (int i = 0; i < num; ++i) {
        EXPECT_EQ(dets[i].uc, nullptr);
        EXPECT_EQ(dets[i].mask, nullptr);
        EXPECT_EQ(dets[i].embeddings, nullptr);
    }
    free_detections(dets, num);

    // Nothing above the threshold: an empty array and 0.
    dets = get_network_boxes(&net, 4, 4, .99f, .5f, nullptr, 1, &num, 0);
    EXPECT_EQ(num, 0);
    free_detections(dets, num);
    free_network(net);
}

TEST(DetectionExtraction, PixelBoxesOfTheSourceImage)
{
    network net = build("pixels.cfg", two_head_cfg(1, 1));
    std::vector<float> input(4 * 4 * 3, .5f);
    network_predict(net, input.data());
    clear_output(net.layers[1]);
    clear_output(net.layers[3]);
    // Centre (0.5, 0.5), size 0.1 x 0.1 of the network input.
    const float tw = std::log(.4f);
    set_cell(net.layers[1], 0, 0, 2, 2, {0, 0, tw, tw, .9f, .9f});
    int num = 0;
    detection *dets = get_network_boxes(&net, 1280, 720, .5f, .5f, nullptr, 0, &num, 0);
    ASSERT_EQ(num, 1);
    EXPECT_NEAR(dets[0].bbox.x, 640, 1e-3);
    EXPECT_NEAR(dets[0].bbox.y, 360, 1e-3);
    EXPECT_NEAR(dets[0].bbox.w, 128, 1e-3);
    EXPECT_NEAR(dets[0].bbox.h, 72, 1e-3);
    free_detections(dets, num);

    // Letterboxed 8 x 4 picture in the 4 x 4 input: picture rows 1..3, a box at y = 1/4 maps to the top.
    set_cell(net.layers[1], 0, 0, 2, 2, {0, -1, tw, tw, .9f, .9f});
    dets = get_network_boxes(&net, 8, 4, .5f, .5f, nullptr, 1, &num, 1);
    ASSERT_EQ(num, 1);
    EXPECT_NEAR(dets[0].bbox.x, .5f, 1e-6);
    EXPECT_NEAR(dets[0].bbox.y, 0, 1e-6);
    EXPECT_NEAR(dets[0].bbox.h, .2f, 1e-6);
    free_detections(dets, num);
    free_network(net);
}

TEST(DetectionExtraction, DifferentClassCountsAreReportedAndKeptInTheRecords)
{
    network net = build("classes.cfg", two_head_cfg(3, 5));
    std::vector<float> input(4 * 4 * 3, .5f);
    network_predict(net, input.data());
    clear_output(net.layers[1]);
    clear_output(net.layers[3]);
    set_cell(net.layers[3], 0, 0, 0, 0, {.5f, .5f, 0, 0, .9f, .1f, .2f, .3f, .95f, .99f});
    testing::internal::CaptureStdout();
    int num = 0;
    detection *dets = get_network_boxes(&net, 4, 4, .5f, .5f, nullptr, 1, &num, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" Error: Different [vumo] layers have different number of classes = 3 and 5 - check your "
                       "cfg-file! \n"),
              std::string::npos)
        << out;
    ASSERT_EQ(num, 1);
    // The records hold the first head's 3 classes; the later head's extra classes are not written.
    EXPECT_EQ(dets[0].classes, 3);
    EXPECT_FLOAT_EQ(dets[0].prob[2], 0);
    free_detections(dets, num);
    free_network(net);
}

TEST(DetectionExtraction, EmbeddingsComeFromTheEmbeddingLayer)
{
    const std::string cfg = "[net]\nwidth=2\nheight=2\nchannels=1\n\n"
                            "[convolutional]\nfilters=8\nsize=1\nstride=1\nactivation=linear\n\n"
                            "[convolutional]\nfilters=12\nsize=1\nstride=1\nactivation=linear\n\n"
                            "[vumo]\nclasses=1\nnum=2\nembedding_layer=-2\n";
    network net = build("embedding.cfg", cfg);
    layer &head = net.layers[2];
    ASSERT_EQ(head.embedding_layer_id, 0);
    ASSERT_EQ(head.embedding_size, 4);
    layer &conv = net.layers[0];
    std::fill(conv.weights, conv.weights + conv.nweights, 0.f);
    for (int f = 0; f < 8; ++f) conv.biases[f] = (float)(f + 1);
    // Only slot 1 of cell (1, 0) passes: objectness bias high there, low elsewhere.
    layer &pre = net.layers[1];
    std::fill(pre.weights, pre.weights + pre.nweights, 0.f);
    std::fill(pre.biases, pre.biases + pre.n, 0.f);
    pre.biases[4] = -10;
    pre.biases[6 + 4] = 10;
    std::vector<float> input(4, 1.f);
    network_predict(net, input.data());
    int num = 0;
    detection *dets = get_network_boxes(&net, 2, 2, .5f, .5f, nullptr, 1, &num, 0);
    ASSERT_EQ(num, 4);  // every cell of slot 1
    for (int i = 0; i < num; ++i) {
        ASSERT_NE(dets[i].embeddings, nullptr);
        EXPECT_EQ(dets[i].embedding_size, 4);
        // Slot 1 reads embedding channels 4..7, whose values are their biases 5..8.
        for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(dets[i].embeddings[k], 5.f + k);
    }
    free_detections(dets, num);
    free_network(net);
}

TEST(DetectionExtraction, PredictImageResizesOrLetterboxes)
{
    network net = build("predict.cfg", two_head_cfg(1, 1));
    randomise(net, 7);
    image im = random_image(10, 6, 3);
    const int outputs = get_network_output_size(net);

    image stretched = resize_image(im, 4, 4);
    std::vector<float> expected(net.output, net.output + outputs);
    memcpy(expected.data(), network_predict(net, stretched.data), outputs * sizeof(float));
    float *out = network_predict_image(&net, im);
    for (int i = 0; i < outputs; ++i) ASSERT_EQ(out[i], expected[i]) << i;

    image boxed = letterbox_image(im, 4, 4);
    memcpy(expected.data(), network_predict(net, boxed.data), outputs * sizeof(float));
    out = network_predict_image_letterbox(&net, im);
    for (int i = 0; i < outputs; ++i) ASSERT_EQ(out[i], expected[i]) << i;

    // A one-channel picture is fed as the network's three channels, the missing ones 0.
    image grey = random_image(4, 4, 1);
    image padded = make_image(4, 4, 3);
    memcpy(padded.data, grey.data, 16 * sizeof(float));
    memcpy(expected.data(), network_predict(net, padded.data), outputs * sizeof(float));
    out = network_predict_image(&net, grey);
    for (int i = 0; i < outputs; ++i) ASSERT_EQ(out[i], expected[i]) << i;

    for (image m : {im, stretched, boxed, grey, padded}) free_image(m);
    free_network(net);
}

TEST(DetectionExtraction, BatchPredictionMatchesSingleImages)
{
    const int batch = 3;
    network net = build("batch.cfg", two_head_cfg(2, 2), batch);
    randomise(net, 11);
    const int inputs = 4 * 4 * 3;
    image images = make_image(4, 4, 3 * batch);
    for (int i = 0; i < inputs * batch; ++i) images.data[i] = random_uniform(0, 1);
    const float thresh = .45f;

    image_detections *entries = network_predict_batch(&net, images, batch, 640, 480, thresh, .5f, nullptr, 0, 0);
    // The same weights in a one-image network.
    network single = build("batch.cfg", two_head_cfg(2, 2), 1);
    randomise(single, 11);
    int total = 0;
    for (int b = 0; b < batch; ++b) {
        image one = {4, 4, 3, images.data + (size_t)b * inputs};
        network_predict_image(&single, one);
        int num = 0;
        detection *dets = get_network_boxes(&single, 640, 480, thresh, .5f, nullptr, 0, &num, 0);
        ASSERT_EQ(entries[b].num, num) << b;
        total += num;
        for (int i = 0; i < num; ++i) {
            const detection &x = entries[b].dets[i], &y = dets[i];
            EXPECT_FLOAT_EQ(x.bbox.x, y.bbox.x);
            EXPECT_FLOAT_EQ(x.bbox.y, y.bbox.y);
            EXPECT_FLOAT_EQ(x.bbox.w, y.bbox.w);
            EXPECT_FLOAT_EQ(x.bbox.h, y.bbox.h);
            EXPECT_FLOAT_EQ(x.objectness, y.objectness);
            for (int k = 0; k < 2; ++k) EXPECT_FLOAT_EQ(x.prob[k], y.prob[k]);
        }
        free_detections(dets, num);
    }
    free_network(single);
    EXPECT_GT(total, 0);
    free_batch_detections(entries, batch);
    free_image(images);
    free_network(net);
}
