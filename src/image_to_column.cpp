// Image-to-column unfolding with padding, stride and dilation, its transpose, and the bit-packing,
// unfolding and transposition steps that prepare the input of the XNOR product.
#include "image_to_column.h"

#include "gemm.h"
#include "vector_primitives.h"

#include <algorithm>
#include <cstring>
#include <immintrin.h>
#include <type_traits>

namespace {

// dst[x] = src[2x] for x < n; reads nothing past src[2n − 2], the last element wanted.
__attribute__((target("avx512f"))) void gather_even_avx512(const float *src, float *dst, int n)
{
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    int x = 0;
    for (; x + 16 < n; x += 16) {
        const __m512 lo = _mm512_loadu_ps(src + 2 * x), hi = _mm512_loadu_ps(src + 2 * x + 16);
        _mm512_storeu_ps(dst + x, _mm512_permutex2var_ps(lo, even, hi));
    }
    for (; x < n; ++x) dst[x] = src[2 * x];
}

__attribute__((target("avx2"))) void gather_even_avx2(const float *src, float *dst, int n)
{
    int x = 0;
    for (; x + 8 < n; x += 8) {
        const __m256 lo = _mm256_loadu_ps(src + 2 * x), hi = _mm256_loadu_ps(src + 2 * x + 8);
        // Even lanes of each 128-bit half, then the halves' 64-bit pieces put in order.
        const __m256 mixed = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        _mm256_storeu_ps(dst + x, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(mixed), 0xD8)));
    }
    for (; x < n; ++x) dst[x] = src[2 * x];
}

void gather_even(const float *src, float *dst, int n)
{
    static const int path = is_avx512() ? 2 : __builtin_cpu_supports("avx2") ? 1 : 0;
    if (path == 2) gather_even_avx512(src, dst, n);
    else if (path == 1) gather_even_avx2(src, dst, n);
    else
        for (int x = 0; x < n; ++x) dst[x] = src[2 * x];
}

// Strided copy of one unfolded row segment: dst[x] = src[x·stride] for x < n.
template <typename T>
inline void gather(const T *src, int stride, T *dst, int n)
{
    if (stride == 1) {
        std::copy(src, src + n, dst);
        return;
    }
    if constexpr (sizeof(T) == sizeof(float) && std::is_same_v<T, float>) {
        if (stride == 2) {
            gather_even(src, dst, n);
            return;
        }
    }
    for (int x = 0; x < n; ++x) dst[x] = src[x * stride];
}

// Padding runs are mostly a single value: a library call per run would cost more than the run.
template <typename T>
inline void zero(T *dst, int n)
{
    if (n <= 0) return;
    if (n <= 2) {
        dst[0] = T(0);
        dst[n - 1] = T(0);
        return;
    }
    std::fill(dst, dst + n, T(0));
}

int out_extent(int size, int kernel, int pad, int stride, int dilation)
{
    return (size + 2 * pad - (dilation * (kernel - 1) + 1)) / stride + 1;
}

// Columns x in [lo, hi) of an output row read inside the image: s = first + x·stride in [0, width).
void inside_range(int first, int stride, int width, int out_w, int &lo, int &hi)
{
    lo = first >= 0 ? 0 : (-first + stride - 1) / stride;
    hi = width - first <= 0 ? 0 : (width - first + stride - 1) / stride;
    lo = std::min(lo, out_w);
    hi = std::max(lo, std::min(hi, out_w));
}

// Columns [begin, end) of the flattened y·out_w + x index, stored end − begin apart per row.
template <typename T>
void unfold(const T *data_im, int channels, int height, int width, int kernel_h, int kernel_w, int pad_h,
            int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w, int out_h, int out_w, int begin,
            int end, T *data_col)
{
    if (out_h <= 0 || out_w <= 0 || begin >= end) return;
    const int y_first = begin / out_w, y_last = (end - 1) / out_w;
    // Unit strides with output rows as wide as the input's: the band's inside rows are one shifted
    // run of the image, copied at once, whose values past the row ends are then zeroed.
    const bool runs = stride_w == 1 && stride_h == 1 && out_w == width;
    T *col = data_col;
    for (int c = 0; c < channels; ++c)
        for (int ki = 0; ki < kernel_h; ++ki)
            for (int kj = 0; kj < kernel_w; ++kj) {
                const int first = -pad_w + kj * dilation_w;
                int lo, hi;
                inside_range(first, stride_w, width, out_w, lo, hi);
                if (runs) {
                    const int shift = -pad_h + ki * dilation_h;  // input row = output row + shift
                    const int ya = std::max(y_first, -shift), yb = std::min(y_last, height - 1 - shift);
                    T *dst = col - begin;  // dst[j] for flat column j
                    col += end - begin;
                    if (ya > yb) {
                        std::fill(dst + begin, dst + end, T(0));
                        continue;
                    }
                    const int j0 = std::max(begin, ya * out_w), j1 = std::min(end, (yb + 1) * out_w);
                    std::fill(dst + begin, dst + j0, T(0));
                    std::fill(dst + j1, dst + end, T(0));
                    // Columns x < lo or x ≥ hi of a row read outside it; the run skips those of its two
                    // end rows so that nothing outside the image is read.
                    const int c0 = std::max(j0, ya * out_w + lo), c1 = std::min(j1, yb * out_w + hi);
                    const T *src = data_im + (size_t)c * height * width + (ptrdiff_t)shift * width + first;
                    if (c1 > c0) std::copy(src + c0, src + c1, dst + c0);
                    for (int y = ya; y <= yb; ++y) {
                        const int row = y * out_w;
                        for (int x = 0; x < lo; ++x)
                            if (row + x >= j0 && row + x < j1) dst[row + x] = T(0);
                        for (int x = hi; x < out_w; ++x)
                            if (row + x >= j0 && row + x < j1) dst[row + x] = T(0);
                    }
                    continue;
                }
                for (int y = y_first; y <= y_last; ++y) {
                    // The part of output row y inside the band, and of that the part inside the image.
                    const int xs = y == y_first ? begin - y * out_w : 0;
                    const int xe = y == y_last ? end - y * out_w : out_w;
                    T *dst = col - xs;
                    col += xe - xs;
                    const int r = -pad_h + ki * dilation_h + y * stride_h;
                    if (r < 0 || r >= height) {
                        std::fill(dst + xs, dst + xe, T(0));
                        continue;
                    }
                    const T *src = data_im + ((size_t)c * height + r) * width;
                    const int a = std::clamp(lo, xs, xe), b = std::clamp(hi, a, xe);
                    zero(dst + xs, a - xs);
                    if (b > a) gather(src + first + (ptrdiff_t)a * stride_w, stride_w, dst + a, b - a);
                    zero(dst + b, xe - b);
                }
            }
}

template <typename T>
void unfold(const T *data_im, int channels, int height, int width, int kernel_h, int kernel_w, int pad_h,
            int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w, T *data_col)
{
    const int out_h = out_extent(height, kernel_h, pad_h, stride_h, dilation_h);
    const int out_w = out_extent(width, kernel_w, pad_w, stride_w, dilation_w);
    unfold(data_im, channels, height, width, kernel_h, kernel_w, pad_h, pad_w, stride_h, stride_w, dilation_h,
           dilation_w, out_h, out_w, 0, out_h * out_w, data_col);
}

} // namespace

void im2col_cpu_ext(const float *data_im, int channels, int height, int width, int kernel_h, int kernel_w,
                    int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w,
                    float *data_col)
{
    unfold(data_im, channels, height, width, kernel_h, kernel_w, pad_h, pad_w, stride_h, stride_w, dilation_h,
           dilation_w, data_col);
}

void im2col_cpu_ext_columns(const float *data_im, int channels, int height, int width, int kernel_h,
                            int kernel_w, int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h,
                            int dilation_w, int col_begin, int col_end, float *data_col)
{
    const int out_h = out_extent(height, kernel_h, pad_h, stride_h, dilation_h);
    const int out_w = out_extent(width, kernel_w, pad_w, stride_w, dilation_w);
    unfold(data_im, channels, height, width, kernel_h, kernel_w, pad_h, pad_w, stride_h, stride_w, dilation_h,
           dilation_w, out_h, out_w, std::max(col_begin, 0), std::min(col_end, out_h * out_w), data_col);
}

void col2im_cpu_ext_columns(const float *data_col, int channels, int height, int width, int kernel_h,
                            int kernel_w, int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h,
                            int dilation_w, int col_begin, int col_end, float *data_im)
{
    const int out_h = out_extent(height, kernel_h, pad_h, stride_h, dilation_h);
    const int out_w = out_extent(width, kernel_w, pad_w, stride_w, dilation_w);
    if (out_h <= 0 || out_w <= 0 || col_begin >= col_end) return;
    const int band = col_end - col_begin;
    const float *col = data_col;
    for (int c = 0; c < channels; ++c)
        for (int ki = 0; ki < kernel_h; ++ki)
            for (int kj = 0; kj < kernel_w; ++kj, col += band) {
                const int first = -pad_w + kj * dilation_w;
                int lo, hi;
                inside_range(first, stride_w, width, out_w, lo, hi);
                // The output rows the band touches, each clipped to the band and to the image.
                for (int y = col_begin / out_w; y * out_w < col_end; ++y) {
                    const int r = -pad_h + ki * dilation_h + y * stride_h;
                    if (r < 0 || r >= height) continue;
                    const int x0 = std::max(lo, col_begin - y * out_w), x1 = std::min(hi, col_end - y * out_w);
                    float *dst = data_im + ((size_t)c * height + r) * width;
                    const int base = y * out_w - col_begin;
                    if (stride_w == 1 && x0 < x1) {
                        axpy_cpu(x1 - x0, 1, col + base + x0, 1, dst + first + x0, 1);
                        continue;
                    }
                    for (int x = x0; x < x1; ++x) dst[first + x * stride_w] += col[base + x];
                }
            }
}

void col2im_cpu_ext(const float *data_col, int channels, int height, int width, int kernel_h, int kernel_w,
                    int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w,
                    float *data_im)
{
    memset(data_im, 0, (size_t)channels * height * width * sizeof(float));
    const int out_h = out_extent(height, kernel_h, pad_h, stride_h, dilation_h);
    const int out_w = out_extent(width, kernel_w, pad_w, stride_w, dilation_w);
    if (out_h <= 0 || out_w <= 0) return;
    col2im_cpu_ext_columns(data_col, channels, height, width, kernel_h, kernel_w, pad_h, pad_w, stride_h, stride_w,
                           dilation_h, dilation_w, 0, out_h * out_w, data_im);
}

void im2col_cpu(const float *data_im, int channels, int height, int width, int ksize, int stride, int pad,
                float *data_col)
{
    unfold(data_im, channels, height, width, ksize, ksize, pad, pad, stride, stride, 1, 1, data_col);
}

void float_to_bit(const float *src, unsigned char *dst, size_t n)
{
    const size_t whole = n / 8;
    for (size_t i = 0; i < whole; ++i) {
        unsigned bits = 0;
        for (int b = 0; b < 8; ++b) bits |= (unsigned)(src[i * 8 + b] > 0) << b;
        dst[i] = (unsigned char)bits;
    }
    if (n % 8) {
        unsigned bits = 0;
        for (size_t b = 0; b < n % 8; ++b) bits |= (unsigned)(src[whole * 8 + b] > 0) << b;
        dst[whole] = (unsigned char)bits;
    }
}

void repack_input(const float *input, float *packed, int w, int h, int c)
{
    const size_t plane = (size_t)w * h;
    for (int chan = 0; chan + 32 <= c; chan += 32)
        for (size_t i = 0; i < plane; ++i)
            for (int k = 0; k < 32; ++k) packed[chan * plane + i * 32 + k] = input[(chan + k) * plane + i];
}

void im2col_cpu_custom_bin(const uint32_t *data_im, int channels, int height, int width, int ksize, int stride,
                           int pad, uint32_t *data_col)
{
    unfold(data_im, channels, height, width, ksize, ksize, pad, pad, stride, stride, 1, 1, data_col);
}

void im2col_cpu_custom_align(const float *data_im, int channels, int height, int width, int ksize, int stride,
                             int pad, uint32_t *data_col, int bit_align)
{
    const int out_h = out_extent(height, ksize, pad, stride, 1);
    const int out_w = out_extent(width, ksize, pad, stride, 1);
    const size_t row_words = (size_t)bit_align / 32;
    const size_t rows = (size_t)channels * ksize * ksize;
    memset(data_col, 0, rows * row_words * sizeof(uint32_t));
    if (out_h <= 0 || out_w <= 0) return;
    uint32_t *row = data_col;
    for (int c = 0; c < channels; ++c)
        for (int ki = 0; ki < ksize; ++ki)
            for (int kj = 0; kj < ksize; ++kj, row += row_words) {
                const int first = -pad + kj;
                int lo, hi;
                inside_range(first, stride, width, out_w, lo, hi);
                for (int y = 0; y < out_h; ++y) {
                    const int r = -pad + ki + y * stride;
                    if (r < 0 || r >= height) continue;
                    const float *src = data_im + ((size_t)c * height + r) * width;
                    const size_t base = (size_t)y * out_w;
                    for (int x = lo; x < hi; ++x)
                        if (src[first + x * stride] > 0) row[(base + x) / 32] |= 1u << ((base + x) % 32);
                }
            }
}

void transpose_uint32(const uint32_t *src, uint32_t *dst, int src_h, int src_w, int src_align, int dst_align)
{
    constexpr int tile = 32;
    for (int i0 = 0; i0 < src_h; i0 += tile)
        for (int j0 = 0; j0 < src_w; j0 += tile) {
            const int i1 = std::min(i0 + tile, src_h), j1 = std::min(j0 + tile, src_w);
            for (int i = i0; i < i1; ++i)
                for (int j = j0; j < j1; ++j) dst[(size_t)j * dst_align + i] = src[(size_t)i * src_align + j];
        }
    if (dst_align > src_h)
        for (int j = 0; j < src_w; ++j)
            memset(dst + (size_t)j * dst_align + src_h, 0, (size_t)(dst_align - src_h) * sizeof(uint32_t));
}

namespace {

// In-place transpose of a 32 × 32 bit block, bit c of word r being element (r, c): swaps the
// off-diagonal halves, then quarters, down to single bits.
void transpose_32x32(uint32_t a[32])
{
    uint32_t m = 0x0000FFFFu;
    for (int j = 16; j != 0; j >>= 1, m ^= m << j)
        for (int k = 0; k < 32; k = (k + j + 1) & ~j) {
            const uint32_t t = ((a[k] >> j) ^ a[k + j]) & m;
            a[k + j] ^= t;
            a[k] ^= t << j;
        }
}

} // namespace

void transpose_bin(const uint32_t *A, uint32_t *B, int n, int m, int lda, int ldb, int block_size)
{
    const int a_words = lda / 32, b_words = ldb / 32;
    const int row_blocks = (n + 31) / 32, col_blocks = (m + 31) / 32;
    const int tile = std::max(block_size, 1);
    uint32_t block[32];
    for (int ti = 0; ti < row_blocks; ti += tile)
        for (int tj = 0; tj < col_blocks; tj += tile)
            for (int bi = ti; bi < std::min(ti + tile, row_blocks); ++bi)
                for (int bj = tj; bj < std::min(tj + tile, col_blocks); ++bj) {
                    for (int r = 0; r < 32; ++r) {
                        const int row = bi * 32 + r;
                        block[r] = row < n ? A[(size_t)row * a_words + bj] : 0;
                    }
                    transpose_32x32(block);
                    for (int c = 0; c < 32 && bj * 32 + c < m; ++c) B[(size_t)(bj * 32 + c) * b_words + bi] = block[c];
                }
    for (int j = 0; j < m; ++j)
        for (int w = row_blocks; w < b_words; ++w) B[(size_t)j * b_words + w] = 0;
}
