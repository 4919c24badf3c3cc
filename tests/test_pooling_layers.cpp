// Pooling layers: windowed maximum (plain, AVX, depth, anti-aliased), local and global average,
// each against a direct reference over a table of geometries, gradients against finite
// differences, resize, the table rows and the configuration errors.
#include "avgpool_layer.h"
#include "gemm.h"
#include "maxpool_layer.h"

#include "layer_test_support.h"

#include <algorithm>
#include <numeric>

namespace {

struct Pool {
    int batch, c, h, w, size, stride_x, stride_y, padding;
};

const Pool pools[] = {
    {2, 3, 7, 9, 2, 2, 2, 1},   {1, 4, 5, 5, 3, 1, 1, 2},  {2, 2, 11, 10, 3, 3, 3, 2}, {1, 3, 8, 13, 3, 2, 2, 2},
    {1, 2, 9, 7, 2, 1, 2, 1},   {1, 3, 6, 6, 5, 1, 1, 4},  {1, 1, 4, 4, 1, 1, 1, 0},   {1, 1, 3, 3, 2, 2, 2, 6},
    {2, 2, 13, 13, 3, 2, 3, 0}, {1, 2, 21, 19, 2, 2, 2, 0}};

int out_size(int in, int pad, int size, int stride) { return (in + pad - size) / stride + 1; }

// Direct windowed maximum or inside-average; index -1 and the lowest float for empty windows.
void reference_pool(const Pool &p, const std::vector<float> &in, bool average, std::vector<float> &out,
                    std::vector<int> &index)
{
    const int ow = out_size(p.w, p.padding, p.size, p.stride_x), oh = out_size(p.h, p.padding, p.size, p.stride_y);
    out.assign((size_t)p.batch * p.c * ow * oh, 0);
    index.assign(out.size(), -1);
    for (int b = 0; b < p.batch; ++b)
        for (int k = 0; k < p.c; ++k)
            for (int y = 0; y < oh; ++y)
                for (int x = 0; x < ow; ++x) {
                    const size_t o = (((size_t)b * p.c + k) * oh + y) * ow + x;
                    float best = -3.4028235e38f, sum = 0;
                    int count = 0;
                    for (int dy = 0; dy < p.size; ++dy)
                        for (int dx = 0; dx < p.size; ++dx) {
                            const int iy = y * p.stride_y - p.padding / 2 + dy;
                            const int ix = x * p.stride_x - p.padding / 2 + dx;
                            if (iy < 0 || ix < 0 || iy >= p.h || ix >= p.w) continue;
                            const int i = ((b * p.c + k) * p.h + iy) * p.w + ix;
                            sum += in[i];
                            ++count;
                            if (in[i] > best) {
                                best = in[i];
                                index[o] = i;
                            }
                        }
                    out[o] = average ? (count ? sum / count : 0) : best;
                }
}

layer make_pool(const Pool &p, bool average, int train = 1)
{
    layer l;
    stderr_of([&] {
        l = make_maxpool_layer(p.batch, p.h, p.w, p.c, p.size, p.stride_x, p.stride_y, p.padding, 0, 0, 0,
                               average ? 1 : 0, train);
    });
    return l;
}

// Distinct values, far enough apart that a finite-difference step never reorders them.
std::vector<float> distinct_values(size_t n)
{
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), 0.f);
    for (size_t i = n; i > 1; --i) std::swap(v[i - 1], v[random_u32() % i]);
    for (float &x : v) x = x * 0.1f - 3;
    return v;
}

class MaxpoolGeometry : public ::testing::TestWithParam<Pool> {};

TEST_P(MaxpoolGeometry, TrainingAndInferenceMatchTheDirectMaximum)
{
    const Pool p = GetParam();
    layer l = make_pool(p, false);
    ASSERT_EQ(l.out_w, out_size(p.w, p.padding, p.size, p.stride_x));
    ASSERT_EQ(l.out_h, out_size(p.h, p.padding, p.size, p.stride_y));
    // Few distinct values: ties decide which index wins.
    std::vector<float> input(l.inputs * p.batch);
    for (float &v : input) v = (float)(random_u32() % 4);
    std::vector<float> expected;
    std::vector<int> index;
    reference_pool(p, input, false, expected, index);
    for (int train : {1, 0}) {
        std::fill(l.output, l.output + expected.size(), 7.f);
        forward_maxpool_layer(l, state_for(input.data(), nullptr, train));
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(l.output[i], expected[i]) << "train " << train << " at " << i;
            ASSERT_EQ(l.indexes[i], index[i]) << "train " << train << " at " << i;
        }
    }
    free_layer(l);
}

TEST_P(MaxpoolGeometry, BackwardMatchesFiniteDifferences)
{
    const Pool p = GetParam();
    layer l = make_pool(p, false);
    std::vector<float> input = distinct_values((size_t)l.inputs * p.batch);
    auto probe = random_vector((size_t)l.outputs * p.batch);
    // Empty windows output the lowest float, whose differences carry no precision; they have no
    // gradient either.
    forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
    for (size_t i = 0; i < probe.size(); ++i)
        if (l.indexes[i] < 0) probe[i] = 0;
    const auto numeric = numeric_gradient(input, probe, [&] {
        forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
        return l.output;
    });
    forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward_maxpool_layer(l, state_for(input.data(), delta.data(), 1));
    expect_close(numeric, delta.data(), 1e-3, "input gradient");
    free_layer(l);
}

TEST_P(MaxpoolGeometry, LocalAverageMatchesTheInsideMean)
{
    const Pool p = GetParam();
    layer l = make_pool(p, true);
    EXPECT_EQ(l.type, LOCAL_AVGPOOL);
    const auto input = random_vector((size_t)l.inputs * p.batch);
    std::vector<float> expected;
    std::vector<int> index;
    reference_pool(p, input, true, expected, index);
    forward_local_avgpool_layer(l, state_for(const_cast<float *>(input.data()), nullptr, 1));
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(l.output[i], expected[i], 1e-5) << i;

    // Backward shares every window's delta over the full window, inside positions only.
    const auto probe = random_vector(expected.size());
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), .5f), want(input.size(), .5f);
    backward_local_avgpool_layer(l, state_for(const_cast<float *>(input.data()), delta.data(), 1));
    const int ow = l.out_w, oh = l.out_h;
    for (int b = 0; b < p.batch; ++b)
        for (int k = 0; k < p.c; ++k)
            for (int y = 0; y < oh; ++y)
                for (int x = 0; x < ow; ++x)
                    for (int dy = 0; dy < p.size; ++dy)
                        for (int dx = 0; dx < p.size; ++dx) {
                            const int iy = y * p.stride_y - p.padding / 2 + dy;
                            const int ix = x * p.stride_x - p.padding / 2 + dx;
                            if (iy < 0 || ix < 0 || iy >= p.h || ix >= p.w) continue;
                            want[((b * p.c + k) * p.h + iy) * p.w + ix] +=
                                probe[(((size_t)b * p.c + k) * oh + y) * ow + x] / (p.size * p.size);
                        }
    for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(delta[i], want[i], 1e-5) << i;
    free_layer(l);
}

INSTANTIATE_TEST_SUITE_P(Geometries, MaxpoolGeometry, ::testing::ValuesIn(pools));

TEST(LocalAvgpool, BackwardIsTheExactGradientWithoutPadding)
{
    const Pool p = {2, 3, 9, 8, 3, 2, 2, 0};
    layer l = make_pool(p, true);
    std::vector<float> input = random_vector((size_t)l.inputs * p.batch);
    const auto probe = random_vector((size_t)l.outputs * p.batch);
    const auto numeric = numeric_gradient(input, probe, [&] {
        forward_local_avgpool_layer(l, state_for(input.data(), nullptr, 1));
        return l.output;
    });
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward_local_avgpool_layer(l, state_for(input.data(), delta.data(), 1));
    expect_close(numeric, delta.data(), 1e-3, "input gradient");
    free_layer(l);
}

TEST(LocalAvgpool, CornerDividesByTheInsideCount)
{
    const Pool p = {1, 1, 4, 4, 3, 1, 1, 2};
    layer l = make_pool(p, true);
    std::vector<float> input(16, 0.f);
    input[0] = 4;
    input[1] = 8;
    forward_local_avgpool_layer(l, state_for(input.data(), nullptr, 0));
    EXPECT_FLOAT_EQ(l.output[0], 12.f / 4);
    EXPECT_FLOAT_EQ(l.output[1], 12.f / 6);
    free_layer(l);
}

TEST(MaxpoolAvx, MatchesThePlainLoopWithAndWithoutIndexes)
{
    if (!is_avx()) GTEST_SKIP() << "no AVX on this processor";
    struct Case {
        int size, stride, pad, w, h;
    };
    const Case cases[] = {{2, 2, 1, 416 / 8, 9},  {2, 2, 0, 40, 7},  {2, 2, 1, 33, 5}, {3, 1, 2, 37, 6},
                          {2, 1, 1, 17, 4},       {5, 1, 4, 29, 8},  {1, 1, 0, 23, 3}, {3, 1, 0, 26, 5},
                          {2, 2, 1, 15, 15},      {6, 1, 5, 64, 2}};
    for (const Case &cs : cases) {
        const int c = 3, batch = 2;
        const int ow = out_size(cs.w, cs.pad, cs.size, cs.stride), oh = out_size(cs.h, cs.pad, cs.size, cs.stride);
        std::vector<float> in((size_t)batch * c * cs.w * cs.h);
        for (float &v : in) v = (float)(random_u32() % 5) - 2;
        const size_t n = (size_t)batch * c * ow * oh;
        std::vector<float> plain(n), fast(n, 9.f), fast_no_index(n, 9.f);
        std::vector<int> plain_index(n), fast_index(n, -7);
        forward_maxpool_plain(in.data(), plain.data(), plain_index.data(), cs.size, cs.w, cs.h, ow, oh, c, cs.pad,
                              cs.stride, cs.stride, batch);
        forward_maxpool_avx(in.data(), fast.data(), fast_index.data(), cs.size, cs.w, cs.h, ow, oh, c, cs.pad,
                            cs.stride, batch);
        forward_maxpool_avx(in.data(), fast_no_index.data(), nullptr, cs.size, cs.w, cs.h, ow, oh, c, cs.pad,
                            cs.stride, batch);
        EXPECT_EQ(plain, fast) << "size " << cs.size << " stride " << cs.stride << " w " << cs.w;
        EXPECT_EQ(plain, fast_no_index) << "size " << cs.size << " stride " << cs.stride << " w " << cs.w;
        EXPECT_EQ(plain_index, fast_index) << "size " << cs.size << " stride " << cs.stride << " w " << cs.w;
    }
}

TEST(MaxpoolDepth, MaximumAcrossChannelGroups)
{
    layer l;
    stderr_of([&] { l = make_maxpool_layer(2, 3, 4, 6, 1, 1, 1, 0, 1, 2, 0, 0, 1); });
    EXPECT_EQ(l.out_c, 2);
    EXPECT_EQ(l.out_w, 4);
    EXPECT_EQ(l.out_h, 3);
    std::vector<float> input = distinct_values((size_t)l.inputs * 2);
    forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
    const int spatial = 12;
    for (int b = 0; b < 2; ++b)
        for (int g = 0; g < 2; ++g)
            for (int i = 0; i < spatial; ++i) {
                float best = -1e30f;
                for (int k = g; k < 6; k += 2) best = std::max(best, input[(b * 6 + k) * spatial + i]);
                ASSERT_EQ(l.output[(b * 2 + g) * spatial + i], best);
            }
    const auto probe = random_vector((size_t)l.outputs * 2);
    const auto numeric = numeric_gradient(input, probe, [&] {
        forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
        return l.output;
    });
    forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward_maxpool_layer(l, state_for(input.data(), delta.data(), 1));
    expect_close(numeric, delta.data(), 1e-3, "input gradient");

    // Resizing keeps the spatial size of a depth maximum whatever its window.
    resize_maxpool_layer(&l, 7, 5);
    EXPECT_EQ(l.out_w, 7);
    EXPECT_EQ(l.out_h, 5);
    EXPECT_EQ(l.outputs, 7 * 5 * 2);
    free_layer(l);
}

TEST(MaxpoolAntialiasing, BlurFollowsTheStrideOnePool)
{
    const Pool p = {1, 2, 8, 8, 2, 1, 1, 1};
    layer l;
    const std::string row = stderr_of([&] { l = make_maxpool_layer(1, 8, 8, 2, 2, 2, 2, 1, 0, 0, 1, 0, 0); });
    EXPECT_NE(row.find("AA:  conv"), std::string::npos) << row;
    ASSERT_NE(l.input_layer, nullptr);
    EXPECT_EQ(l.stride_x, 1);
    EXPECT_EQ(l.out_w, 8);
    EXPECT_EQ(l.input_layer->out_w, 4);
    const auto input = random_vector(l.inputs);
    std::vector<float> pooled;
    std::vector<int> index;
    reference_pool(p, input, false, pooled, index);
    std::vector<float> workspace(l.workspace_size / sizeof(float) + 1);
    network_state s = state_for(const_cast<float *>(input.data()), nullptr, 0);
    s.workspace = workspace.data();
    forward_maxpool_layer(l, s);
    const float taps[3] = {.25f, .5f, .25f};
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                double sum = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int iy = 2 * y + dy, ix = 2 * x + dx;
                        if (iy < 0 || ix < 0 || iy >= 8 || ix >= 8) continue;
                        sum += taps[dy + 1] * taps[dx + 1] * pooled[(k * 8 + iy) * 8 + ix];
                    }
                ASSERT_NEAR(l.output[(k * 4 + y) * 4 + x], sum, 1e-5);
            }
    free_layer(l);
}

TEST(Maxpool, ResizeRecomputesTheShape)
{
    layer l = make_pool({2, 3, 416, 416, 2, 2, 2, 1}, false);
    EXPECT_EQ(l.out_w, 208);
    resize_maxpool_layer(&l, 33, 21);
    EXPECT_EQ(l.inputs, 33 * 21 * 3);
    EXPECT_EQ(l.out_w, 17);
    EXPECT_EQ(l.out_h, 11);
    EXPECT_EQ(l.outputs, 17 * 11 * 3);
    const Pool p = {2, 3, 21, 33, 2, 2, 2, 1};
    const auto input = random_vector((size_t)l.inputs * 2);
    std::vector<float> expected;
    std::vector<int> index;
    reference_pool(p, input, false, expected, index);
    forward_maxpool_layer(l, state_for(const_cast<float *>(input.data()), nullptr, 1));
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(l.output[i], expected[i]);
    EXPECT_EQ(std::vector<int>(l.indexes, l.indexes + index.size()), index);
    free_layer(l);
}

TEST(Maxpool, EmptyWindowYieldsLowestValueAndNoIndex)
{
    layer l = make_pool({1, 1, 3, 3, 2, 2, 2, 6}, false);
    std::vector<float> input(9, 1.f);
    forward_maxpool_layer(l, state_for(input.data(), nullptr, 1));
    EXPECT_EQ(l.output[0], -3.4028235e38f);
    EXPECT_EQ(l.indexes[0], -1);
    // The window of output 0 lies entirely outside the input: its delta goes nowhere.
    std::fill(l.delta, l.delta + l.outputs, 0.f);
    l.delta[0] = 5;
    std::vector<float> delta(9, 0.f);
    backward_maxpool_layer(l, state_for(input.data(), delta.data(), 1));
    EXPECT_EQ(std::count(delta.begin(), delta.end(), 0.f), 9);
    free_layer(l);
}

TEST(MaxpoolParse, DefaultsFollowTheStride)
{
    {
        Options o({{"size", "2"}, {"stride", "2"}});
        layer l;
        const std::string err = stderr_of([&] { l = parse_maxpool(o.l, params_for(416, 416, 16)); });
        EXPECT_EQ(l.pad, 1);
        EXPECT_EQ(l.out_w, 208);
        EXPECT_EQ(err, "max                2x 2/ 2    416 x 416 x  16 ->  208 x 208 x  16 0.003 BF\n");
        free_layer(l);
    }
    {
        Options o({{"stride", "3"}});
        layer l;
        const std::string err = stderr_of([&] { l = parse_maxpool(o.l, params_for(9, 9, 1)); });
        EXPECT_EQ(l.size, 3);
        EXPECT_EQ(l.pad, 2);
        EXPECT_EQ(err.substr(0, err.find("max")), "size: Using default '3'\n");
        free_layer(l);
    }
    {
        Options o({{"size", "3"}, {"stride_x", "1"}, {"stride_y", "2"}, {"maxpool_zero_nonmax", "1"}});
        layer l;
        const std::string err = stderr_of([&] { l = parse_maxpool(o.l, params_for(10, 12, 4)); });
        EXPECT_EQ(err, "stride: Using default '1'\n"
                       "max               3x 3/ 1x 2   12 x  10 x   4 ->   12 x   5 x   4 0.000 BF\n");
        EXPECT_EQ(l.maxpool_zero_nonmax, 1);
        free_layer(l);
    }
}

TEST(Pooling, TableRowsPrintedExactly)
{
    auto row = [](int depth, int avg, int sx, int sy) {
        layer l;
        const std::string s = stderr_of(
            [&] { l = make_maxpool_layer(1, 26, 26, 64, 3, sx, sy, 2, depth, depth ? 32 : 0, 0, avg, 0); });
        free_layer(l);
        return s;
    };
    EXPECT_EQ(row(0, 0, 1, 1), "max                3x 3/ 1     26 x  26 x  64 ->   26 x  26 x  64 0.000 BF\n");
    EXPECT_EQ(row(0, 1, 2, 2), "avg                3x 3/ 2     26 x  26 x  64 ->   13 x  13 x  64 0.000 BF\n");
    EXPECT_EQ(row(0, 1, 1, 2), "avg               3x 3/ 1x 2   26 x  26 x  64 ->   26 x  13 x  64 0.000 BF\n");
    EXPECT_EQ(row(1, 0, 1, 1), "max-depth          3x 3/ 1     26 x  26 x  64 ->   26 x  26 x  32 0.000 BF\n");
    layer g;
    EXPECT_EQ(stderr_of([&] { g = make_avgpool_layer(1, 13, 13, 512); }),
              "avg                            13 x  13 x 512 ->    512\n");
    free_layer(g);
}

TEST(Avgpool, ForwardBackwardAndResize)
{
    const int batch = 2, w = 5, h = 3, c = 4;
    layer l;
    stderr_of([&] { l = make_avgpool_layer(batch, w, h, c); });
    std::vector<float> input = random_vector((size_t)batch * w * h * c);
    forward_avgpool_layer(l, state_for(input.data(), nullptr, 1));
    for (int i = 0; i < batch * c; ++i) {
        double sum = 0;
        for (int j = 0; j < w * h; ++j) sum += input[i * w * h + j];
        ASSERT_NEAR(l.output[i], sum / (w * h), 1e-6);
    }
    const auto probe = random_vector((size_t)batch * c);
    const auto numeric = numeric_gradient(input, probe, [&] {
        forward_avgpool_layer(l, state_for(input.data(), nullptr, 1));
        return l.output;
    });
    std::copy(probe.begin(), probe.end(), l.delta);
    std::vector<float> delta(input.size(), 0.f);
    backward_avgpool_layer(l, state_for(input.data(), delta.data(), 1));
    expect_close(numeric, delta.data(), 1e-3, "input gradient");

    resize_avgpool_layer(&l, 7, 2);
    EXPECT_EQ(l.inputs, 7 * 2 * c);
    EXPECT_EQ(l.outputs, c);
    free_layer(l);
}

TEST(PoolingDeathTest, LayersBeforeMustOutputImages)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Options o({{"size", "2"}});
    EXPECT_EXIT(parse_maxpool(o.l, params_for(0, 4, 4)), ::testing::ExitedWithCode(1),
                "Layer before \\[maxpool\\] layer must output image.");
    EXPECT_EXIT(parse_local_avgpool(o.l, params_for(4, 0, 4)), ::testing::ExitedWithCode(1),
                "Layer before \\[local_avgpool\\] layer must output image.");
    EXPECT_EXIT(parse_avgpool(o.l, params_for(4, 4, 0)), ::testing::ExitedWithCode(1),
                "Layer before avgpool layer must output image.");
    Options zero({{"stride", "0"}});
    EXPECT_EXIT(parse_maxpool(zero.l, params_for(4, 4, 4)), ::testing::ExitedWithCode(1),
                "\\[maxpool\\]: size and strides must be 1 or more");
    Options big({{"size", "9"}, {"padding", "0"}});
    EXPECT_EXIT(parse_local_avgpool(big.l, params_for(4, 4, 4)), ::testing::ExitedWithCode(1),
                "does not fit the 4 x 4 input");
}

} // namespace
