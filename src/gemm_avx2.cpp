// FMA/AVX2 product: 4-row × 16-column register tiles of C (eight 8-lane accumulators) fed by packed
// panels, compiled for those instructions function by function so the library runs on any x86-64.
#include "gemm.h"
#include "gemm_blocked.h"

#include <immintrin.h>

#define QUILLON_TARGET_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr int MR = 6;
constexpr int NR = 16;

QUILLON_TARGET_AVX2 inline __m256i lane_mask(int valid)
{
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(valid), lanes);
}

// A is read in place: row i, depth k at a[i + k·lda] when transposed, else at a[i·lda + k]. Only the
// tile's own rows are read, so each row count has its kernel.
template <int ROWS, bool TRANS_A>
QUILLON_TARGET_AVX2 void micro_tile(int kc, const float *a, int lda, const float *b, int ldb, float *c, int ldc, int cols,
                                    float alpha, bool overwrite)
{
    __m256 acc[ROWS][2];
#pragma GCC unroll 8
    for (int i = 0; i < ROWS; ++i) acc[i][0] = acc[i][1] = _mm256_setzero_ps();
    const float *row[ROWS];
#pragma GCC unroll 8
    for (int i = 0; i < ROWS; ++i) row[i] = a + (size_t)i * lda;
#pragma GCC unroll 2
    for (int k = 0; k < kc; ++k) {
        const __m256 b0 = _mm256_loadu_ps(b);
        const __m256 b1 = _mm256_loadu_ps(b + 8);
#pragma GCC unroll 8
        for (int i = 0; i < ROWS; ++i) {
            const __m256 av = _mm256_broadcast_ss(TRANS_A ? a + i : row[i] + k);
            acc[i][0] = _mm256_fmadd_ps(av, b0, acc[i][0]);
            acc[i][1] = _mm256_fmadd_ps(av, b1, acc[i][1]);
        }
        if (TRANS_A) a += lda;
        b += ldb;
    }
    const __m256 scale = _mm256_set1_ps(alpha);
    if (overwrite) {
        // Adding to zero, not a bare multiply, so a stored zero has the sign an accumulation gives.
        const __m256 zero = _mm256_setzero_ps();
        const __m256i m0 = lane_mask(cols), m1 = lane_mask(cols - 8);
#pragma GCC unroll 8
        for (int i = 0; i < ROWS; ++i) {
            float *out = c + (size_t)i * ldc;
            _mm256_maskstore_ps(out, m0, _mm256_fmadd_ps(acc[i][0], scale, zero));
            _mm256_maskstore_ps(out + 8, m1, _mm256_fmadd_ps(acc[i][1], scale, zero));
        }
        return;
    }
    if (cols == NR) {
#pragma GCC unroll 8
        for (int i = 0; i < ROWS; ++i) {
            float *out = c + (size_t)i * ldc;
            _mm256_storeu_ps(out, _mm256_fmadd_ps(acc[i][0], scale, _mm256_loadu_ps(out)));
            _mm256_storeu_ps(out + 8, _mm256_fmadd_ps(acc[i][1], scale, _mm256_loadu_ps(out + 8)));
        }
        return;
    }
    const __m256i m0 = lane_mask(cols), m1 = lane_mask(cols - 8);
#pragma GCC unroll 8
    for (int i = 0; i < ROWS; ++i) {
        float *out = c + (size_t)i * ldc;
        _mm256_maskstore_ps(out, m0, _mm256_fmadd_ps(acc[i][0], scale, _mm256_maskload_ps(out, m0)));
        _mm256_maskstore_ps(out + 8, m1, _mm256_fmadd_ps(acc[i][1], scale, _mm256_maskload_ps(out + 8, m1)));
    }
}

template <bool TRANS_A>
using micro_fn = void (*)(int, const float *, int, const float *, int, float *, int, int, float, bool);

template <bool TRANS_A, int... ROWS>
constexpr micro_fn<TRANS_A> kernels_by_rows[] = {micro_tile<ROWS, TRANS_A>...};

QUILLON_TARGET_AVX2 void micro(int TA, int kc, const float *a, int lda, const float *b, int ldb, float *c, int ldc, int rows,
                               int cols, float alpha, bool overwrite)
{
    if (TA) kernels_by_rows<true, 1, 2, 3, 4, 5, 6>[rows - 1](kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
    else kernels_by_rows<false, 1, 2, 3, 4, 5, 6>[rows - 1](kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
}

} // namespace

void gemm_fast_avx2(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                    int ldb, float *C, int ldc, bool overwrite)
{
    gemm_blocked<MR, NR, 72, 384, 4096>(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, overwrite, micro);
}

void gemm_nn_fast(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C,
                  int ldc)
{
    gemm_fast_avx2(0, 0, M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
}
