// A classifier network built from a cfg written here: convolution, connected, softmax and cost
// train with train_network (the cost falls) and then predict the classes; a network of every
// dense and classifier kind writes its weights file and reads it back bit for bit.
#include "matrix.h"
#include "network.h"
#include "parser.h"
#include "utils.h"
#include "weights.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string temp_path(const char *name)
{
    return testing::TempDir() + name + std::to_string(getpid());
}

void write_file(const std::string &path, const char *text)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs(text, f);
    fclose(f);
}

network build_quiet(const std::string &cfg)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    network net = parse_network_cfg(cfg.c_str());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return net;
}

const char *classifier_cfg = R"([net]
batch=6
subdivisions=1
width=6
height=6
channels=1
learning_rate=0.05
momentum=0.9
decay=0.0005
max_batches=1000

[convolutional]
filters=4
size=3
stride=1
pad=1
activation=leaky

[connected]
output=3
activation=linear

[softmax]

[cost]
type=sse
)";

// Class 0 lights the top rows, class 1 the left columns, class 2 the main diagonal.
void draw_sample(float *pixels, int cls)
{
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool lit = cls == 0 ? y < 2 : cls == 1 ? x < 2 : x == y;
            pixels[y * 6 + x] = (lit ? 0.8f : 0.1f) + random_uniform(-0.1f, 0.1f);
        }
}

int argmax(const float *p, int n)
{
    int best = 0;
    for (int i = 1; i < n; ++i)
        if (p[i] > p[best]) best = i;
    return best;
}

TEST(Classifier, TrainsAndPredicts)
{
    const std::string cfg = temp_path("classifier_cfg_");
    write_file(cfg, classifier_cfg);
    network net = build_quiet(cfg);
    remove(cfg.c_str());
    ASSERT_EQ(4, net.n);
    EXPECT_EQ(CONNECTED, net.layers[1].type);
    EXPECT_EQ(SOFTMAX, net.layers[2].type);
    EXPECT_EQ(COST, net.layers[3].type);
    EXPECT_EQ(3, net.layers[3].inputs);

    const int samples = 36;
    data d = {};
    d.X = make_matrix(samples, 36);
    d.y = make_matrix(samples, 3);
    for (int i = 0; i < samples; ++i) {
        draw_sample(d.X.vals[i], i % 3);
        d.y.vals[i][i % 3] = 1;
    }

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    std::vector<float> losses;
    for (int epoch = 0; epoch < 60; ++epoch) losses.push_back(train_network(net, d));
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    const float first = losses[0] + losses[1] + losses[2];
    const float last = losses[57] + losses[58] + losses[59];
    EXPECT_LT(last, 0.25f * first) << "first " << losses[0] << ", last " << losses[59];

    int right = 0;
    std::vector<float> batch(6 * 36);
    for (int start = 0; start < samples; start += 6) {
        for (int j = 0; j < 6; ++j) memcpy(&batch[j * 36], d.X.vals[start + j], 36 * sizeof(float));
        const float *out = network_predict(net, batch.data());
        for (int j = 0; j < 6; ++j) {
            float sum = 0;
            for (int k = 0; k < 3; ++k) sum += out[j * 3 + k];
            EXPECT_NEAR(1.f, sum, 1e-5f);
            right += argmax(out + j * 3, 3) == (start + j) % 3;
        }
    }
    EXPECT_EQ(samples, right);
    free_data(d);
    free_network(net);
}

const char *every_kind_cfg = R"([net]
batch=2
subdivisions=1
width=10
height=10
channels=2

[crop]
crop_height=8
crop_width=8

[convolutional]
filters=3
size=3
stride=1
pad=1
batch_normalize=1
activation=leaky

[lrn]
size=3

[local]
filters=2
size=3
stride=1
pad=1
activation=leaky

[connected]
output=7
batch_normalize=1
activation=leaky

[conn]
output=4
activation=linear

[softmax]
groups=2

[cost]
)";

std::vector<char> file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

std::vector<float> layer_arrays(const layer &l)
{
    std::vector<float> v;
    auto add = [&](const float *p, size_t n) {
        if (p) v.insert(v.end(), p, p + n);
    };
    const size_t weights = l.type == LOCAL ? (size_t)l.out_h * l.out_w * l.c * l.n * l.size * l.size
                                           : (size_t)l.nweights;
    const size_t per_output = l.type == CONVOLUTIONAL ? l.n : l.outputs;
    add(l.biases, per_output);
    add(l.weights, weights);
    add(l.scales, per_output);
    add(l.rolling_mean, per_output);
    add(l.rolling_variance, per_output);
    return v;
}

TEST(Classifier, EveryKindWritesAndReadsItsWeightsBitForBit)
{
    const std::string cfg = temp_path("every_kind_cfg_"), first = temp_path("every_kind_a_"),
                      second = temp_path("every_kind_b_");
    write_file(cfg, every_kind_cfg);
    network a = build_quiet(cfg);
    network b = build_quiet(cfg);
    remove(cfg.c_str());
    ASSERT_EQ(8, a.n);
    const LAYER_TYPE kinds[] = {CROP, CONVOLUTIONAL, NORMALIZATION, LOCAL, CONNECTED, CONNECTED, SOFTMAX, COST};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(kinds[i], a.layers[i].type) << i;

    // Values the constructors never give, so a missed array shows.
    for (int i = 0; i < a.n; ++i) {
        layer &l = a.layers[i];
        for (float *p : {l.biases, l.scales, l.rolling_mean, l.rolling_variance})
            if (p)
                for (int k = 0; k < (l.type == CONVOLUTIONAL ? l.n : l.outputs); ++k) p[k] = random_uniform(0.5f, 2);
    }
    // Local layers start with zero banks past location 0; give every bank values.
    layer &local = a.layers[3];
    for (size_t k = 0; k < (size_t)local.out_h * local.out_w * local.c * local.n * 9; ++k)
        local.weights[k] = random_uniform(-1, 1);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    save_weights(a, first.c_str());
    load_weights(&b, first.c_str());
    save_weights(b, second.c_str());
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("Done! Loaded 8 layers")) << err;

    for (int i = 0; i < a.n; ++i) {
        const std::vector<float> wa = layer_arrays(a.layers[i]), wb = layer_arrays(b.layers[i]);
        ASSERT_EQ(wa.size(), wb.size()) << i;
        EXPECT_TRUE(wa.empty() || !memcmp(wa.data(), wb.data(), wa.size() * sizeof(float))) << "layer " << i;
    }
    const auto bytes = file_bytes(first);
    EXPECT_EQ(bytes, file_bytes(second));
    // Header plus conv (3 biases, 3 x 3 bn arrays, 54 weights), local (128 biases, 64 x 2 x 3 x 9
    // weights), connected (7 + 896 + 21) and connected (4 + 28).
    const size_t floats = 3 + 9 + 54 + 128 + 64 * 54 + 7 + 7 * 128 + 21 + 4 + 28;
    EXPECT_EQ(20 + 4 * floats, bytes.size());
    remove(first.c_str());
    remove(second.c_str());
    free_network(a);
    free_network(b);
}

} // namespace
