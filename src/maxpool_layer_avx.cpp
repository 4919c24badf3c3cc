// AVX windowed maximum: eight neighbouring output columns at a time, for stride 1 and for size 2
// with stride 2. Only the columns whose windows lie wholly inside a row go through the vector
// step; the edge columns take the plain loop's step, so values and chosen indexes are those of
// the plain loop (window visited row by row, first strictly larger wins).
#include "maxpool_layer.h"

#include <immintrin.h>

#define QUILLON_TARGET_AVX __attribute__((target("avx")))

namespace {

// The plain loop's step for one output position.
inline void pool_one(const float *in, int in_base, int *index_out, float *out, int size, int w, int h, int y0, int x0)
{
    float best = -3.4028235e38f;
    int best_index = -1;
    for (int n = 0; n < size; ++n) {
        const int y = y0 + n;
        if (y < 0 || y >= h) continue;
        for (int m = 0; m < size; ++m) {
            const int x = x0 + m;
            if (x < 0 || x >= w) continue;
            const float v = in[y * w + x];
            if (v > best) {
                best = v;
                best_index = in_base + y * w + x;
            }
        }
    }
    *out = best;
    if (index_out) *index_out = best_index;
}

QUILLON_TARGET_AVX inline __m256i add_lanes(__m256i lanes, int base)
{
    const __m128i b = _mm_set1_epi32(base);
    const __m128i lo = _mm_add_epi32(_mm256_castsi256_si128(lanes), b);
    const __m128i hi = _mm_add_epi32(_mm256_extractf128_si256(lanes, 1), b);
    return _mm256_insertf128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// best = v where v > best. Without indexes this is vmaxps, whose operand order gives exactly that
// rule, NaN and equal zeros included: the second operand is kept unless the first is larger.
template <bool Track>
QUILLON_TARGET_AVX inline void keep_larger(__m256 v, __m256 &best, __m256 &best_index, __m256i candidates)
{
    if (Track) {
        const __m256 larger = _mm256_cmp_ps(v, best, _CMP_GT_OQ);
        best = _mm256_blendv_ps(best, v, larger);
        // Indexes travel as the bit patterns of floats: the blend moves bits, it does no arithmetic.
        best_index = _mm256_blendv_ps(best_index, _mm256_castsi256_ps(candidates), larger);
    } else {
        best = _mm256_max_ps(v, best);
    }
}

// Pairs of 64 bits [p0 p1 | p2 p3] -> [p0 p2 | p1 p3], with AVX alone.
QUILLON_TARGET_AVX inline __m256 interleave_pairs(__m256 r)
{
    const __m256d d = _mm256_castps_pd(r);
    const __m256d swapped = _mm256_permute_pd(_mm256_permute2f128_pd(d, d, 0x01), 0x5);
    return _mm256_castpd_ps(_mm256_blend_pd(d, swapped, 0x6));
}

struct plane_rows {
    const float *in;
    int in_base, w, h, size, stride, offset;
};

// Eight outputs, size 2 stride 2, from the rows y0 + n_lo .. y0 + n_hi - 1 starting at column x0.
// The in-lane shuffles leave the outputs in the order 0 1 4 5 2 3 6 7, put right at the store.
template <bool Track>
QUILLON_TARGET_AVX inline void block_2x2(const plane_rows &p, int y0, int n_lo, int n_hi, int x0, float *out,
                                         int *index_out)
{
    __m256 best = _mm256_set1_ps(-3.4028235e38f);
    __m256 best_index = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    const __m256i lanes = _mm256_setr_epi32(0, 2, 8, 10, 4, 6, 12, 14);
    for (int n = n_lo; n < n_hi; ++n) {
        const int y = y0 + n;
        const float *row = p.in + y * p.w + x0;
        const __m256 a0 = _mm256_loadu_ps(row);
        const __m256 a1 = _mm256_loadu_ps(row + 8);
        __m256i even = _mm256_setzero_si256(), odd = _mm256_setzero_si256();
        if (Track) {
            even = add_lanes(lanes, p.in_base + y * p.w + x0);
            odd = add_lanes(lanes, p.in_base + y * p.w + x0 + 1);
        }
        keep_larger<Track>(_mm256_shuffle_ps(a0, a1, 0x88), best, best_index, even);
        keep_larger<Track>(_mm256_shuffle_ps(a0, a1, 0xDD), best, best_index, odd);
    }
    _mm256_storeu_ps(out, interleave_pairs(best));
    if (Track) _mm256_storeu_si256((__m256i *)index_out, _mm256_castps_si256(interleave_pairs(best_index)));
}

// Eight outputs, stride 1, any size.
template <bool Track>
QUILLON_TARGET_AVX inline void block_stride1(const plane_rows &p, int y0, int n_lo, int n_hi, int x0, float *out,
                                             int *index_out)
{
    __m256 best = _mm256_set1_ps(-3.4028235e38f);
    __m256 best_index = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    for (int n = n_lo; n < n_hi; ++n) {
        const int y = y0 + n;
        const float *row = p.in + y * p.w + x0;
        for (int m = 0; m < p.size; ++m) {
            __m256i candidates = _mm256_setzero_si256();
            if (Track) candidates = add_lanes(lanes, p.in_base + y * p.w + x0 + m);
            keep_larger<Track>(_mm256_loadu_ps(row + m), best, best_index, candidates);
        }
    }
    _mm256_storeu_ps(out, best);
    if (Track) _mm256_storeu_si256((__m256i *)index_out, _mm256_castps_si256(best_index));
}

template <bool Track, bool Pair>
QUILLON_TARGET_AVX void pool_planes(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w,
                                    int out_h, int planes, int pad, int stride)
{
    const int offset = -pad / 2;
    // Columns [j_begin, j_fit) have windows wholly inside a row.
    const int j_begin = (-offset + stride - 1) / stride;
    int j_fit = w - size - offset >= 0 ? (w - size - offset) / stride + 1 : 0;
    if (j_fit > out_w) j_fit = out_w;
    for (int k = 0; k < planes; ++k) {
        const plane_rows p = {src + (size_t)k * h * w, k * h * w, w, h, size, stride, offset};
        for (int i = 0; i < out_h; ++i) {
            const int y0 = i * stride + offset;
            const int n_lo = y0 < 0 ? -y0 : 0;
            const int n_hi = y0 + size > h ? h - y0 : size;
            const int out_base = (k * out_h + i) * out_w;
            float *out = dst + out_base;
            int *index_out = Track ? indexes + out_base : nullptr;
            int j = 0;
            for (; j < out_w && j < j_begin; ++j)
                pool_one(p.in, p.in_base, Track ? index_out + j : nullptr, out + j, size, w, h, y0, j * stride + offset);
            for (; j + 8 <= j_fit; j += 8) {
                if (Pair)
                    block_2x2<Track>(p, y0, n_lo, n_hi, j * 2 + offset, out + j, Track ? index_out + j : nullptr);
                else
                    block_stride1<Track>(p, y0, n_lo, n_hi, j + offset, out + j, Track ? index_out + j : nullptr);
            }
            for (; j < out_w; ++j)
                pool_one(p.in, p.in_base, Track ? index_out + j : nullptr, out + j, size, w, h, y0, j * stride + offset);
        }
    }
}

} // namespace

void forward_maxpool_avx(const float *src, float *dst, int *indexes, int size, int w, int h, int out_w, int out_h,
                         int c, int pad, int stride, int batch)
{
    // Batch and channel planes are laid out alike in the input and the output.
    const int planes = batch * c;
    const bool pair = size == 2 && stride == 2;
    if (!pair && stride != 1) {
        forward_maxpool_plain(src, dst, indexes, size, w, h, out_w, out_h, c, pad, stride, stride, batch);
        return;
    }
    if (indexes) {
        if (pair)
            pool_planes<true, true>(src, dst, indexes, size, w, h, out_w, out_h, planes, pad, stride);
        else
            pool_planes<true, false>(src, dst, indexes, size, w, h, out_w, out_h, planes, pad, stride);
    } else {
        if (pair)
            pool_planes<false, true>(src, dst, nullptr, size, w, h, out_w, out_h, planes, pad, stride);
        else
            pool_planes<false, false>(src, dst, nullptr, size, w, h, out_w, out_h, planes, pad, stride);
    }
}
