// The weights file: header widths, bit-exact round trips for every kind with parameters, short
// files, cutoff, dontload, dontloadscales, shared weights and the EMA copies.
#include "weights.h"

#include "batchnorm_layer.h"
#include "convolutional_layer.h"
#include "network.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string temp_path(const char *name)
{
    return (std::filesystem::temp_directory_path() / (std::string("quillon_weights_") + name)).string();
}

std::vector<unsigned char> file_bytes(const std::string &path)
{
    std::vector<unsigned char> bytes;
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp) return bytes;
    int ch;
    while ((ch = fgetc(fp)) != EOF) bytes.push_back((unsigned char)ch);
    fclose(fp);
    return bytes;
}

void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes)
{
    FILE *fp = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), fp);
    fclose(fp);
}

template <typename T> void append(std::vector<unsigned char> &bytes, T value)
{
    const unsigned char *p = (const unsigned char *)&value;
    bytes.insert(bytes.end(), p, p + sizeof value);
}

void randomise(float *a, int n)
{
    for (int i = 0; i < n; ++i) a[i] = random_uniform(-3, 3);
}

layer conv(int c, int n, int size, int bn, int index, int train = 0, layer *share = nullptr)
{
    return make_convolutional_layer(1, 1, 6, 6, c, n, 1, size, 1, 1, 1, size / 2, LEAKY, bn, 0, 0, 0, 0, index, 0,
                                    share, 0, 0, train);
}

void randomise_conv(layer &l)
{
    randomise(l.biases, l.n);
    randomise(l.weights, l.nweights);
    if (l.batch_normalize) {
        randomise(l.scales, l.n);
        randomise(l.rolling_mean, l.n);
        randomise(l.rolling_variance, l.n);
    }
}

// The arrays a kind stores, in file order, with their counts.
std::vector<std::pair<const float *, int>> stored_arrays(const layer &l)
{
    if (l.type == BATCHNORM)
        return {{l.biases, l.c}, {l.scales, l.c}, {l.rolling_mean, l.c}, {l.rolling_variance, l.c}};
    std::vector<std::pair<const float *, int>> a = {{l.biases, l.n}};
    if (l.batch_normalize) {
        a.push_back({l.scales, l.n});
        a.push_back({l.rolling_mean, l.n});
        a.push_back({l.rolling_variance, l.n});
    }
    a.push_back({l.weights, l.nweights});
    return a;
}

bool same_bits(const float *a, const float *b, int n)
{
    return memcmp(a, b, sizeof(float) * n) == 0;
}

bool same_arrays(const layer &a, const layer &b)
{
    auto x = stored_arrays(a), y = stored_arrays(b);
    for (size_t k = 0; k < x.size(); ++k)
        if (x[k].second != y[k].second || !same_bits(x[k].first, y[k].first, x[k].second)) return false;
    return true;
}

size_t stored_bytes(const layer &l)
{
    size_t n = 0;
    for (auto &a : stored_arrays(l)) n += a.second * sizeof(float);
    return n;
}

// Builds a network of the given layers with mini-batch 4 and 16 subdivisions.
network net_of(std::vector<layer> layers)
{
    network net = make_network((int)layers.size());
    net.batch = 4;
    net.subdivisions = 16;
    for (size_t i = 0; i < layers.size(); ++i) net.layers[i] = layers[i];
    return net;
}

struct quiet_io {
    quiet_io()
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    std::string out, err;
    void finish()
    {
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
};

std::vector<layer> three_convs(int train = 0)
{
    return {conv(3, 4, 3, 1, 0, train), conv(4, 5, 3, 0, 1, train), conv(5, 2, 1, 1, 2, train)};
}

} // namespace

TEST(WeightsFile, HeaderOfTheWriterIsTwentyBytes)
{
    const std::string path = temp_path("header.weights");
    network net = net_of({layer{}});
    net.layers[0].type = MAXPOOL;
    *net.cur_iteration = 1000;
    quiet_io io;
    save_weights(net, path.c_str());
    io.finish();
    EXPECT_EQ(io.err, "Saving weights to " + path + "\n");
    EXPECT_EQ(*net.seen, 64000u);
    std::vector<unsigned char> expected;
    append<int32_t>(expected, 0);
    append<int32_t>(expected, 2);
    append<int32_t>(expected, 5);
    append<uint64_t>(expected, 64000);
    EXPECT_EQ(file_bytes(path), expected);

    *net.seen = 0;
    *net.cur_iteration = 0;
    quiet_io in;
    load_weights(&net, path.c_str());
    in.finish();
    EXPECT_EQ(in.out, "\n seen 64, trained: 64 K-images (1 Kilo-batches_64) \n");
    EXPECT_EQ(in.err, "Loading weights from " + path + "...Done! Loaded 1 layers from weights-file \n");
    EXPECT_EQ(*net.seen, 64000u);
    EXPECT_EQ(*net.cur_iteration, 1000);
    free_network(net);
    remove(path.c_str());
}

TEST(WeightsFile, OldHeaderCarriesAThirtyTwoBitCount)
{
    const std::string path = temp_path("old.weights");
    network net = net_of({conv(1, 2, 1, 0, 0)});
    std::vector<unsigned char> bytes;
    append<int32_t>(bytes, 0);
    append<int32_t>(bytes, 1);
    append<int32_t>(bytes, 0);
    append<uint32_t>(bytes, 128000);
    const float params[] = {1.5f, -2.5f, 3, 4};
    for (float v : params) append(bytes, v);
    write_bytes(path, bytes);
    quiet_io io;
    load_weights(&net, path.c_str());
    io.finish();
    EXPECT_EQ(io.out.substr(0, 9), "\n seen 32");
    EXPECT_EQ(*net.seen, 128000u);
    EXPECT_EQ(*net.cur_iteration, 2000);
    EXPECT_EQ(net.layers[0].biases[0], 1.5f);
    EXPECT_EQ(net.layers[0].biases[1], -2.5f);
    EXPECT_EQ(net.layers[0].weights[0], 3);
    EXPECT_EQ(net.layers[0].weights[1], 4);
    free_network(net);
    remove(path.c_str());
}

TEST(WeightsFile, RoundTripIsBitExactForEveryKind)
{
    const std::string path = temp_path("roundtrip.weights");
    auto layers = [] {
        return std::vector<layer>{conv(3, 4, 3, 1, 0), conv(4, 6, 1, 0, 1), make_batchnorm_layer(1, 6, 6, 6, 0),
                                  conv(6, 2, 3, 1, 3)};
    };
    network a = net_of(layers());
    for (int i = 0; i < a.n; ++i) {
        layer &l = a.layers[i];
        if (l.type == BATCHNORM) {
            randomise(l.biases, l.c);
            randomise(l.scales, l.c);
            randomise(l.rolling_mean, l.c);
            randomise(l.rolling_variance, l.c);
        } else {
            randomise_conv(l);
        }
    }
    network b = net_of(layers());
    quiet_io io;
    save_weights(a, path.c_str());
    load_weights(&b, path.c_str());
    io.finish();
    size_t expected_size = 20;
    for (int i = 0; i < a.n; ++i) {
        EXPECT_TRUE(same_arrays(a.layers[i], b.layers[i])) << "layer " << i;
        expected_size += stored_bytes(a.layers[i]);
    }
    EXPECT_EQ(file_bytes(path).size(), expected_size);
    EXPECT_NE(io.err.find("Done! Loaded 4 layers"), std::string::npos);
    free_network(a);
    free_network(b);
    remove(path.c_str());
}

TEST(WeightsFile, EmaCopiesAreWrittenInPlaceOfTheWeights)
{
    const std::string path = temp_path("ema.weights");
    network a = net_of({conv(2, 3, 3, 1, 0, 1)});
    layer &l = a.layers[0];
    randomise_conv(l);
    ASSERT_NE(l.weights_ema, nullptr);
    randomise(l.weights_ema, l.nweights);
    randomise(l.biases_ema, l.n);
    randomise(l.scales_ema, l.n);
    network b = net_of({conv(2, 3, 3, 1, 0)});
    quiet_io io;
    save_weights_upto(a, path.c_str(), a.n, 1);
    load_weights(&b, path.c_str());
    io.finish();
    const layer &r = b.layers[0];
    EXPECT_TRUE(same_bits(r.weights, l.weights_ema, l.nweights));
    EXPECT_TRUE(same_bits(r.biases, l.biases_ema, l.n));
    EXPECT_TRUE(same_bits(r.scales, l.scales_ema, l.n));
    EXPECT_TRUE(same_bits(r.rolling_mean, l.rolling_mean, l.n));
    EXPECT_TRUE(same_bits(r.rolling_variance, l.rolling_variance, l.n));
    free_network(a);
    free_network(b);
    remove(path.c_str());
}

TEST(WeightsFile, ShortFiles)
{
    const std::string path = temp_path("short.weights");
    network a = net_of(three_convs());
    for (int i = 0; i < a.n; ++i) randomise_conv(a.layers[i]);
    quiet_io save;
    save_weights(a, path.c_str());
    save.finish();
    const std::vector<unsigned char> full = file_bytes(path);
    const size_t end0 = 20 + stored_bytes(a.layers[0]);
    const size_t end1 = end0 + stored_bytes(a.layers[1]);

    struct short_case {
        size_t length;
        const char *done;
        const char *warning;  // expected in stdout, or null for none
        int complete_layers;
    } cases[] = {
        {end1 - 8, "Done! Loaded 1 layers", "l.weights - l.index = 1", 1},
        {end0 + 8, "Done! Loaded 1 layers", "l.biases - l.index = 1", 1},
        {end1, "Done! Loaded 2 layers", nullptr, 2},
        {20, "Done! Loaded 0 layers", nullptr, 0},
    };
    for (const short_case &c : cases) {
        write_bytes(path, std::vector<unsigned char>(full.begin(), full.begin() + c.length));
        network b = net_of(three_convs());
        std::vector<float> initial(b.layers[2].weights, b.layers[2].weights + b.layers[2].nweights);
        quiet_io io;
        load_weights(&b, path.c_str());
        io.finish();
        EXPECT_NE(io.err.find(c.done), std::string::npos) << c.length << ": " << io.err;
        if (c.warning) EXPECT_NE(io.out.find(c.warning), std::string::npos) << c.length << ": " << io.out;
        else EXPECT_EQ(io.out.find("Warning"), std::string::npos) << c.length << ": " << io.out;
        for (int i = 0; i < c.complete_layers; ++i) EXPECT_TRUE(same_arrays(a.layers[i], b.layers[i])) << i;
        EXPECT_TRUE(same_bits(b.layers[2].weights, initial.data(), (int)initial.size()));
        free_network(b);
    }
    free_network(a);
    remove(path.c_str());
}

TEST(WeightsFile, CutoffAndDontload)
{
    const std::string path = temp_path("cutoff.weights");
    auto same_shapes = [] { return std::vector<layer>{conv(3, 3, 3, 1, 0), conv(3, 3, 3, 1, 1), conv(3, 3, 3, 1, 2)}; };
    network a = net_of(same_shapes());
    for (int i = 0; i < a.n; ++i) randomise_conv(a.layers[i]);
    quiet_io save;
    save_weights(a, path.c_str());
    save.finish();

    network b = net_of(same_shapes());
    std::vector<float> initial(b.layers[1].weights, b.layers[1].weights + b.layers[1].nweights);
    quiet_io io;
    load_weights_upto(&b, path.c_str(), 1);
    io.finish();
    EXPECT_NE(io.err.find("Done! Loaded 1 layers"), std::string::npos);
    EXPECT_TRUE(same_arrays(a.layers[0], b.layers[0]));
    EXPECT_TRUE(same_bits(b.layers[1].weights, initial.data(), (int)initial.size()));
    free_network(b);

    // A dontload layer consumes nothing: the next layer reads what the file holds for layer 0.
    network c = net_of(same_shapes());
    c.layers[0].dontload = 1;
    quiet_io io2;
    load_weights(&c, path.c_str());
    io2.finish();
    EXPECT_TRUE(same_arrays(a.layers[0], c.layers[1]));
    EXPECT_TRUE(same_arrays(a.layers[1], c.layers[2]));
    free_network(c);
    free_network(a);
    remove(path.c_str());
}

TEST(WeightsFile, DontloadscalesReadsBiasesThenWeights)
{
    const std::string path = temp_path("dontloadscales.weights");
    network net = net_of({conv(1, 2, 1, 1, 0)});
    layer &l = net.layers[0];
    l.dontloadscales = 1;
    std::vector<float> scales(l.scales, l.scales + l.n);
    std::vector<unsigned char> bytes;
    append<int32_t>(bytes, 0);
    append<int32_t>(bytes, 2);
    append<int32_t>(bytes, 5);
    append<uint64_t>(bytes, 0);
    const float params[] = {1, 2, 3, 4};
    for (float v : params) append(bytes, v);
    write_bytes(path, bytes);
    quiet_io io;
    load_weights(&net, path.c_str());
    io.finish();
    EXPECT_EQ(l.biases[0], 1);
    EXPECT_EQ(l.biases[1], 2);
    EXPECT_EQ(l.weights[0], 3);
    EXPECT_EQ(l.weights[1], 4);
    EXPECT_TRUE(same_bits(l.scales, scales.data(), l.n));
    free_network(net);
    remove(path.c_str());
}

TEST(WeightsFile, SharedWeightsAreStoredOnce)
{
    const std::string path = temp_path("shared.weights");
    network net = make_network(2);
    net.batch = 1;
    net.subdivisions = 1;
    net.layers[0] = conv(3, 3, 3, 0, 0);
    net.layers[1] = conv(3, 3, 3, 0, 1, 0, &net.layers[0]);
    randomise_conv(net.layers[0]);
    quiet_io io;
    save_weights(net, path.c_str());
    io.finish();
    EXPECT_EQ(file_bytes(path).size(), 20 + stored_bytes(net.layers[0]));
    free_network(net);
    remove(path.c_str());
}

TEST(WeightsFile, VersionFromTheFileIsUsedSafely)
{
    const std::string path = temp_path("version.weights");
    std::vector<unsigned char> bytes;
    append<int32_t>(bytes, 0x7fffffff);
    append<int32_t>(bytes, 0x7fffffff);
    append<int32_t>(bytes, 0);
    append<uint64_t>(bytes, 5);
    write_bytes(path, bytes);
    network net = net_of({layer{}});
    net.layers[0].type = MAXPOOL;
    quiet_io io;
    load_weights(&net, path.c_str());
    io.finish();
    EXPECT_EQ(io.out.substr(0, 9), "\n seen 64");
    EXPECT_EQ(*net.seen, 5u);
    free_network(net);
    remove(path.c_str());
}

TEST(WeightsFile, UnopenableFileEndsTheProcess)
{
    network net = net_of({});
    EXPECT_EXIT(load_weights(&net, "/nonexistent/dir/x.weights"), testing::ExitedWithCode(1),
                "Couldn't open file: /nonexistent/dir/x.weights\n");
    EXPECT_EXIT(save_weights(net, "/nonexistent/dir/x.weights"), testing::ExitedWithCode(1),
                "Couldn't open file: /nonexistent/dir/x.weights\n");
    free_network(net);
}

TEST(TransposeMatrix, MovesEachElementAcrossTheDiagonal)
{
    float a[] = {1, 2, 3, 4, 5, 6};
    transpose_matrix(a, 2, 3);
    const float expected[] = {1, 4, 2, 5, 3, 6};
    EXPECT_TRUE(same_bits(a, expected, 6));
}
