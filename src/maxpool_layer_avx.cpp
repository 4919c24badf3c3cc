// AVX windowed maximum: eight neighbouring output columns at a time, for stride 1 and for size 2
// with stride 2. Columns whose window reaches past an edge go through the scalar step, so the
// values and the chosen indexes are those of the plain loop (first strictly larger wins).
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

QUILLON_TARGET_AVX inline void keep_larger(__m256 v, __m256 &best, __m256 &best_index, int first_index, int step,
                                           bool track)
{
    const __m256 larger = _mm256_cmp_ps(v, best, _CMP_GT_OQ);
    best = _mm256_blendv_ps(best, v, larger);
    if (track) {
        // Indexes travel as the bit patterns of floats: the blend moves bits, it does no arithmetic.
        const __m256i candidates =
            _mm256_setr_epi32(first_index, first_index + step, first_index + 2 * step, first_index + 3 * step,
                              first_index + 4 * step, first_index + 5 * step, first_index + 6 * step,
                              first_index + 7 * step);
        best_index = _mm256_blendv_ps(best_index, _mm256_castsi256_ps(candidates), larger);
    }
}

} // namespace

QUILLON_TARGET_AVX void forward_maxpool_avx(const float *src, float *dst, int *indexes, int size, int w, int h,
                                            int out_w, int out_h, int c, int pad, int stride, int batch)
{
    const int offset = -pad / 2;
    const bool track = indexes != nullptr;
    for (int b = 0; b < batch; ++b) {
        for (int k = 0; k < c; ++k) {
            const int in_base = (b * c + k) * h * w;
            const float *in = src + in_base;
            for (int i = 0; i < out_h; ++i) {
                const int y0 = i * stride + offset;
                const int out_base = ((b * c + k) * out_h + i) * out_w;
                int j = 0;
                while (j < out_w) {
                    const int x0 = j * stride + offset;
                    const bool inside = j + 8 <= out_w && x0 >= 0 && (j + 7) * stride + offset + size - 1 < w;
                    if (!inside) {
                        pool_one(in, in_base, track ? indexes + out_base + j : nullptr, dst + out_base + j, size, w,
                                 h, y0, x0);
                        ++j;
                        continue;
                    }
                    __m256 best = _mm256_set1_ps(-3.4028235e38f);
                    __m256 best_index = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
                    for (int n = 0; n < size; ++n) {
                        const int y = y0 + n;
                        if (y < 0 || y >= h) continue;
                        const float *row = in + y * w + x0;
                        const int row_index = in_base + y * w + x0;
                        if (stride == 1) {
                            for (int m = 0; m < size; ++m)
                                keep_larger(_mm256_loadu_ps(row + m), best, best_index, row_index + m, 1, track);
                        } else {
                            // size 2, stride 2: split sixteen inputs into the even and odd columns.
                            const __m256 a0 = _mm256_loadu_ps(row);
                            const __m256 a1 = _mm256_loadu_ps(row + 8);
                            const __m256 lo = _mm256_permute2f128_ps(a0, a1, 0x20);
                            const __m256 hi = _mm256_permute2f128_ps(a0, a1, 0x31);
                            keep_larger(_mm256_shuffle_ps(lo, hi, 0x88), best, best_index, row_index, 2, track);
                            keep_larger(_mm256_shuffle_ps(lo, hi, 0xDD), best, best_index, row_index + 1, 2, track);
                        }
                    }
                    _mm256_storeu_ps(dst + out_base + j, best);
                    if (track)
                        _mm256_storeu_si256((__m256i *)(indexes + out_base + j), _mm256_castps_si256(best_index));
                    j += 8;
                }
            }
        }
    }
}
