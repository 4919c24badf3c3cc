// Image-to-column: the unfolding against its definition, col2im as its exact adjoint, the geometry
// edge cases, and the whole bit-packed XNOR pipeline against a float convolution of sign values.
#include "gemm.h"
#include "image_to_column.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

struct geometry {
    int channels, height, width, kernel_h, kernel_w, pad_h, pad_w, stride_h, stride_w, dilation_h, dilation_w;
    int out_h() const { return (height + 2 * pad_h - (dilation_h * (kernel_h - 1) + 1)) / stride_h + 1; }
    int out_w() const { return (width + 2 * pad_w - (dilation_w * (kernel_w - 1) + 1)) / stride_w + 1; }
    size_t image_size() const { return (size_t)channels * height * width; }
    size_t col_size() const { return (size_t)channels * kernel_h * kernel_w * out_h() * out_w(); }
};

const geometry geometries[] = {
    {3, 7, 9, 3, 3, 1, 1, 1, 1, 1, 1}, {2, 8, 8, 3, 3, 2, 2, 1, 1, 2, 2}, {4, 9, 7, 3, 3, 1, 1, 2, 2, 1, 1},
    {2, 10, 11, 5, 5, 2, 2, 2, 1, 1, 1}, {3, 6, 5, 3, 1, 1, 0, 1, 1, 1, 1}, {1, 5, 5, 2, 2, 3, 3, 1, 1, 1, 1},
    {2, 13, 12, 3, 3, 3, 3, 3, 2, 3, 2}, {5, 4, 6, 1, 1, 0, 0, 1, 1, 1, 1}, {1, 3, 3, 3, 3, 0, 0, 1, 1, 1, 1},
    {2, 6, 7, 5, 5, 2, 2, 1, 1, 1, 1},   {2, 5, 4, 3, 3, 1, 1, 1, 1, 1, 1},   {1, 2, 6, 3, 3, 1, 1, 1, 1, 1, 1},
};

std::vector<float> random_vector(size_t n, std::mt19937 &rng)
{
    std::uniform_real_distribution<float> d(-1, 1);
    std::vector<float> v(n);
    for (float &x : v) x = d(rng);
    return v;
}

std::vector<float> unfold_by_definition(const geometry &g, const std::vector<float> &im)
{
    std::vector<float> col(g.col_size());
    size_t idx = 0;
    for (int c = 0; c < g.channels; ++c)
        for (int ki = 0; ki < g.kernel_h; ++ki)
            for (int kj = 0; kj < g.kernel_w; ++kj)
                for (int y = 0; y < g.out_h(); ++y)
                    for (int x = 0; x < g.out_w(); ++x) {
                        const int r = -g.pad_h + ki * g.dilation_h + y * g.stride_h;
                        const int s = -g.pad_w + kj * g.dilation_w + x * g.stride_w;
                        const bool inside = r >= 0 && r < g.height && s >= 0 && s < g.width;
                        col[idx++] = inside ? im[((size_t)c * g.height + r) * g.width + s] : 0;
                    }
    return col;
}

void unfold(const geometry &g, const float *im, float *col)
{
    im2col_cpu_ext(im, g.channels, g.height, g.width, g.kernel_h, g.kernel_w, g.pad_h, g.pad_w, g.stride_h,
                   g.stride_w, g.dilation_h, g.dilation_w, col);
}

void fold(const geometry &g, const float *col, float *im)
{
    col2im_cpu_ext(col, g.channels, g.height, g.width, g.kernel_h, g.kernel_w, g.pad_h, g.pad_w, g.stride_h,
                   g.stride_w, g.dilation_h, g.dilation_w, im);
}

} // namespace

TEST(ImageToColumn, UnfoldingMatchesDefinition)
{
    std::mt19937 rng(1);
    for (const geometry &g : geometries) {
        const std::vector<float> im = random_vector(g.image_size(), rng);
        std::vector<float> col(g.col_size(), 7.0f);
        unfold(g, im.data(), col.data());
        EXPECT_EQ(col, unfold_by_definition(g, im)) << g.kernel_h << "x" << g.kernel_w << " stride " << g.stride_h;
    }
}

// A band of columns is the same slice of the whole unfolding, for bands that start and end inside
// output rows, span several rows, or lie within one.
TEST(ImageToColumn, ColumnBandsAreSlicesOfTheUnfolding)
{
    std::mt19937 rng(3);
    for (const geometry &g : geometries) {
        const std::vector<float> im = random_vector(g.image_size(), rng);
        const std::vector<float> whole = unfold_by_definition(g, im);
        const int n = g.out_h() * g.out_w(), rows = g.channels * g.kernel_h * g.kernel_w;
        for (int width : {1, 3, g.out_w(), g.out_w() + 2, n})
            for (int begin = 0; begin < n; begin += std::max(1, width / 2 + 1)) {
                const int end = std::min(n, begin + width);
                std::vector<float> band((size_t)rows * (end - begin) + 1, 7.0f);
                im2col_cpu_ext_columns(im.data(), g.channels, g.height, g.width, g.kernel_h, g.kernel_w, g.pad_h,
                                       g.pad_w, g.stride_h, g.stride_w, g.dilation_h, g.dilation_w, begin, end,
                                       band.data());
                for (int r = 0; r < rows; ++r)
                    for (int j = begin; j < end; ++j)
                        ASSERT_EQ(band[(size_t)r * (end - begin) + (j - begin)], whole[(size_t)r * n + j])
                            << "row " << r << " column " << j << " of band " << begin << ".." << end;
                ASSERT_EQ(band.back(), 7.0f) << "wrote past the band";
            }
    }
}

// Folding a matrix band by band, into one image, gives the fold of the whole matrix: bands that
// start and end inside output rows, span several rows, or lie within one.
TEST(ImageToColumn, BandFoldsAddUpToTheWholeFold)
{
    std::mt19937 rng(5);
    for (const geometry &g : geometries) {
        const std::vector<float> col = random_vector(g.col_size(), rng);
        std::vector<float> whole(g.image_size());
        fold(g, col.data(), whole.data());
        const int n = g.out_h() * g.out_w(), rows = g.channels * g.kernel_h * g.kernel_w;
        for (int width : {1, 3, g.out_w() + 2, n}) {
            std::vector<float> banded(g.image_size(), 0.f);
            for (int begin = 0; begin < n; begin += width) {
                const int end = std::min(n, begin + width);
                std::vector<float> band((size_t)rows * (end - begin));
                for (int r = 0; r < rows; ++r)
                    for (int j = begin; j < end; ++j) band[(size_t)r * (end - begin) + (j - begin)] = col[(size_t)r * n + j];
                col2im_cpu_ext_columns(band.data(), g.channels, g.height, g.width, g.kernel_h, g.kernel_w, g.pad_h,
                                       g.pad_w, g.stride_h, g.stride_w, g.dilation_h, g.dilation_w, begin, end,
                                       banded.data());
            }
            for (size_t i = 0; i < whole.size(); ++i)
                ASSERT_NEAR(banded[i], whole[i], 1e-5f * (1 + std::fabs(whole[i])))
                    << "bands of " << width << ", image value " << i;
        }
    }
}

TEST(ImageToColumn, Col2imIsTheAdjoint)
{
    std::mt19937 rng(2);
    for (const geometry &g : geometries) {
        const std::vector<float> x = random_vector(g.image_size(), rng);
        const std::vector<float> y = random_vector(g.col_size(), rng);
        std::vector<float> col(g.col_size()), back(g.image_size(), 9.0f);
        unfold(g, x.data(), col.data());
        fold(g, y.data(), back.data());
        double lhs = 0, rhs = 0, scale = 0;
        for (size_t i = 0; i < col.size(); ++i) lhs += (double)col[i] * y[i], scale += std::fabs(col[i] * y[i]);
        for (size_t i = 0; i < x.size(); ++i) rhs += (double)x[i] * back[i];
        EXPECT_NEAR(lhs, rhs, 1e-5 * scale + 1e-9) << g.kernel_h << "x" << g.kernel_w << " dilation " << g.dilation_h;
    }
}

TEST(ImageToColumn, GeometryEdgeCases)
{
    // 3 × 3 with dilation 2 and pad 1 · 2 keeps the size.
    const geometry dilated = {1, 11, 9, 3, 3, 2, 2, 1, 1, 2, 2};
    EXPECT_EQ(dilated.out_h(), 11);
    EXPECT_EQ(dilated.out_w(), 9);
    // A 1 × 1 kernel with stride 1 and pad 0 gives the input itself.
    std::mt19937 rng(4);
    const geometry pointwise = {3, 5, 6, 1, 1, 0, 0, 1, 1, 1, 1};
    const std::vector<float> im = random_vector(pointwise.image_size(), rng);
    std::vector<float> col(pointwise.col_size());
    unfold(pointwise, im.data(), col.data());
    EXPECT_EQ(col, im);
    // The square undilated form is the general one with equal sides.
    const geometry square = {2, 9, 8, 3, 3, 1, 1, 2, 2, 1, 1};
    const std::vector<float> im2 = random_vector(square.image_size(), rng);
    std::vector<float> a(square.col_size()), b(square.col_size());
    unfold(square, im2.data(), a.data());
    im2col_cpu(im2.data(), 2, 9, 8, 3, 2, 1, b.data());
    EXPECT_EQ(a, b);
}

TEST(ImageToColumn, FloatToBitPacksLittleEndian)
{
    const float v[11] = {1, -1, 0, 2, 0.5f, -3, 0, 0, 1, 0, 1};
    unsigned char out[2] = {0xFF, 0xFF};
    float_to_bit(v, out, 11);
    EXPECT_EQ(out[0], (unsigned char)(1 | 8 | 16));
    EXPECT_EQ(out[1], (unsigned char)(1 | 4));
}

TEST(ImageToColumn, TransposeBinMatchesBitByBit)
{
    std::mt19937 rng(5);
    const int n = 45, m = 70, lda = 96, ldb = 256;
    std::vector<uint32_t> A((size_t)n * lda / 32), B((size_t)m * ldb / 32, 0xDEADBEEF);
    for (uint32_t &w : A) w = rng();
    transpose_bin(A.data(), B.data(), n, m, lda, ldb, 8);
    for (int j = 0; j < m; ++j)
        for (int i = 0; i < ldb; ++i) {
            const int got = (B[(size_t)j * ldb / 32 + i / 32] >> (i % 32)) & 1;
            const int want = i < n ? (A[(size_t)i * lda / 32 + j / 32] >> (j % 32)) & 1 : 0;
            ASSERT_EQ(got, want) << "row " << j << " bit " << i;
        }
}

namespace {

struct xnor_case {
    int c, h, w, size, stride, pad;
};

// Sign convolution as the packed path defines it: weights and inputs are ±1 by sign, taps outside the
// image count as −1, each filter scaled by its mean.
std::vector<float> sign_convolution(const xnor_case &x, int filters, const std::vector<float> &weights,
                                    const std::vector<float> &input, const std::vector<float> &mean)
{
    const int out_h = (x.h + 2 * x.pad - x.size) / x.stride + 1, out_w = (x.w + 2 * x.pad - x.size) / x.stride + 1;
    std::vector<float> out((size_t)filters * out_h * out_w);
    for (int f = 0; f < filters; ++f)
        for (int y = 0; y < out_h; ++y)
            for (int xx = 0; xx < out_w; ++xx) {
                int dot = 0;
                for (int c = 0; c < x.c; ++c)
                    for (int ki = 0; ki < x.size; ++ki)
                        for (int kj = 0; kj < x.size; ++kj) {
                            const int r = y * x.stride + ki - x.pad, s = xx * x.stride + kj - x.pad;
                            const bool inside = r >= 0 && r < x.h && s >= 0 && s < x.w;
                            const int in = inside && input[((size_t)c * x.h + r) * x.w + s] > 0 ? 1 : -1;
                            const int wt = weights[(((size_t)f * x.c + c) * x.size + ki) * x.size + kj] > 0 ? 1 : -1;
                            dot += in * wt;
                        }
                out[((size_t)f * out_h + y) * out_w + xx] = dot * mean[f];
            }
    return out;
}

} // namespace

TEST(ImageToColumn, XnorPipelineMatchesSignConvolution)
{
    const xnor_case cases[] = {{3, 9, 11, 3, 1, 1}, {5, 8, 8, 3, 2, 1}, {32, 7, 6, 3, 1, 1},
                               {64, 5, 9, 3, 2, 1}, {32, 6, 6, 1, 1, 0}, {7, 10, 10, 5, 1, 2}};
    std::mt19937 rng(6);
    const int filters = 6;
    for (const xnor_case &x : cases) {
        const int out_h = (x.h + 2 * x.pad - x.size) / x.stride + 1, out_w = (x.w + 2 * x.pad - x.size) / x.stride + 1;
        const int n = out_h * out_w, k = x.size * x.size * x.c;
        const int bit_align = n - n % 32 + 32, new_ld = k - k % 256 + 256;
        const std::vector<float> input = random_vector((size_t)x.c * x.h * x.w, rng);
        const std::vector<float> weights = random_vector((size_t)filters * k, rng);
        std::vector<float> mean = random_vector(filters, rng);

        // Weight rows of new_ld bits; with channels a multiple of 32 the 32 channels of one group are
        // consecutive for each kernel position, matching the interleaved input.
        std::vector<float> laid((size_t)filters * new_ld, 0);
        for (int f = 0; f < filters; ++f)
            for (int c = 0; c < x.c; ++c)
                for (int t = 0; t < x.size * x.size; ++t) {
                    const float v = weights[((size_t)f * x.c + c) * x.size * x.size + t];
                    const size_t pos = x.c % 32 == 0 ? ((size_t)(c / 32) * x.size * x.size + t) * 32 + c % 32
                                                     : (size_t)c * x.size * x.size + t;
                    laid[(size_t)f * new_ld + pos] = v;
                }
        std::vector<unsigned char> bit_weights((size_t)filters * new_ld / 8 + 1);
        float_to_bit(laid.data(), bit_weights.data(), laid.size());

        std::vector<uint32_t> t_bit_input((size_t)bit_align * new_ld / 32, 0);
        std::vector<float> workspace(std::max((size_t)x.c * bit_align * x.size * x.size, input.size()), 0);
        if (x.c % 32 == 0) {
            std::vector<uint32_t> packed((size_t)x.c / 32 * x.h * x.w + 1);
            repack_input(input.data(), workspace.data(), x.w, x.h, x.c);
            float_to_bit(workspace.data(), (unsigned char *)packed.data(), input.size());
            im2col_cpu_custom_bin(packed.data(), x.c / 32, x.h, x.w, x.size, x.stride, x.pad,
                                  (uint32_t *)workspace.data());
            transpose_uint32((uint32_t *)workspace.data(), t_bit_input.data(), k / 32, n, n, new_ld / 32);
        } else {
            im2col_cpu_custom_align(input.data(), x.c, x.h, x.w, x.size, x.stride, x.pad,
                                    (uint32_t *)workspace.data(), bit_align);
            transpose_bin((uint32_t *)workspace.data(), t_bit_input.data(), k, n, bit_align, new_ld, 8);
        }
        std::vector<float> out((size_t)filters * n);
        gemm_nn_custom_bin_mean_transposed(filters, n, k, bit_weights.data(), new_ld,
                                           (const unsigned char *)t_bit_input.data(), new_ld, out.data(), n,
                                           mean.data());
        EXPECT_EQ(out, sign_convolution(x, filters, weights, input, mean)) << "c=" << x.c << " size=" << x.size;
    }
}
