// FMA/AVX2 product: 4-row × 16-column register tiles of C (eight 8-lane accumulators) fed by packed
// panels, compiled for those instructions function by function so the library runs on any x86-64.
#include "gemm.h"
#include "gemm_blocked.h"

#include <immintrin.h>

#define QUILLON_TARGET_AVX2 __attribute__((target("avx2,fma")))

namespace {

constexpr int MR = 4;
constexpr int NR = 16;

QUILLON_TARGET_AVX2 inline __m256i lane_mask(int valid)
{
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(valid), lanes);
}

QUILLON_TARGET_AVX2 void micro_4x16(int kc, const float *a, const float *b, float *c, int ldc, int rows, int cols)
{
    __m256 c00 = _mm256_setzero_ps(), c01 = _mm256_setzero_ps();
    __m256 c10 = _mm256_setzero_ps(), c11 = _mm256_setzero_ps();
    __m256 c20 = _mm256_setzero_ps(), c21 = _mm256_setzero_ps();
    __m256 c30 = _mm256_setzero_ps(), c31 = _mm256_setzero_ps();
#pragma GCC unroll 4
    for (int k = 0; k < kc; ++k) {
        const __m256 b0 = _mm256_load_ps(b);
        const __m256 b1 = _mm256_load_ps(b + 8);
        __m256 av = _mm256_broadcast_ss(a);
        c00 = _mm256_fmadd_ps(av, b0, c00);
        c01 = _mm256_fmadd_ps(av, b1, c01);
        av = _mm256_broadcast_ss(a + 1);
        c10 = _mm256_fmadd_ps(av, b0, c10);
        c11 = _mm256_fmadd_ps(av, b1, c11);
        av = _mm256_broadcast_ss(a + 2);
        c20 = _mm256_fmadd_ps(av, b0, c20);
        c21 = _mm256_fmadd_ps(av, b1, c21);
        av = _mm256_broadcast_ss(a + 3);
        c30 = _mm256_fmadd_ps(av, b0, c30);
        c31 = _mm256_fmadd_ps(av, b1, c31);
        a += MR;
        b += NR;
    }
    const __m256 acc[MR][2] = {{c00, c01}, {c10, c11}, {c20, c21}, {c30, c31}};
    if (cols == NR) {
        for (int i = 0; i < rows; ++i) {
            float *row = c + (size_t)i * ldc;
            _mm256_storeu_ps(row, _mm256_add_ps(_mm256_loadu_ps(row), acc[i][0]));
            _mm256_storeu_ps(row + 8, _mm256_add_ps(_mm256_loadu_ps(row + 8), acc[i][1]));
        }
        return;
    }
    const __m256i m0 = lane_mask(cols), m1 = lane_mask(cols - 8);
    for (int i = 0; i < rows; ++i) {
        float *row = c + (size_t)i * ldc;
        _mm256_maskstore_ps(row, m0, _mm256_add_ps(_mm256_maskload_ps(row, m0), acc[i][0]));
        _mm256_maskstore_ps(row + 8, m1, _mm256_add_ps(_mm256_maskload_ps(row + 8, m1), acc[i][1]));
    }
}

} // namespace

void gemm_fast_avx2(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                    int ldb, float *C, int ldc)
{
    gemm_blocked<MR, NR, 128, 256, 4096>(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, micro_4x16);
}

void gemm_nn_fast(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C,
                  int ldc)
{
    gemm_fast_avx2(0, 0, M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
}
