// AVX-512 product: up to 12-row × 32-column register tiles of C (three by two 4 × 16 tiles, 24 16-lane
// accumulators) fed by packed panels; edge tiles take the smallest kernel that covers them.
#include "gemm.h"
#include "gemm_blocked.h"

#include <immintrin.h>

#define QUILLON_TARGET_AVX512 __attribute__((target("avx512f,avx2,fma")))

namespace {

constexpr int MR = 12;
constexpr int NR = 32;

template <int ROWS, int VECS>
QUILLON_TARGET_AVX512 void micro_tile(int kc, const float *a, const float *b, float *c, int ldc, int rows,
                                      int cols)
{
    __m512 acc[ROWS][VECS];
#pragma GCC unroll 12
    for (int i = 0; i < ROWS; ++i)
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) acc[i][v] = _mm512_setzero_ps();
#pragma GCC unroll 2
    for (int k = 0; k < kc; ++k) {
        __m512 bv[VECS];
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) bv[v] = _mm512_load_ps(b + 16 * v);
#pragma GCC unroll 12
        for (int i = 0; i < ROWS; ++i) {
            const __m512 av = _mm512_set1_ps(a[i]);
#pragma GCC unroll 2
            for (int v = 0; v < VECS; ++v) acc[i][v] = _mm512_fmadd_ps(av, bv[v], acc[i][v]);
        }
        a += MR;
        b += NR;
    }
    __mmask16 mask[VECS];
#pragma GCC unroll 2
    for (int v = 0; v < VECS; ++v) {
        const int valid = cols - 16 * v;
        mask[v] = valid >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << (valid > 0 ? valid : 0)) - 1);
    }
#pragma GCC unroll 12
    for (int i = 0; i < ROWS; ++i) {
        if (i >= rows) break;
        float *row = c + (size_t)i * ldc;
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) {
            const __m512 old = _mm512_maskz_loadu_ps(mask[v], row + 16 * v);
            _mm512_mask_storeu_ps(row + 16 * v, mask[v], _mm512_add_ps(old, acc[i][v]));
        }
    }
}

QUILLON_TARGET_AVX512 void micro(int kc, const float *a, const float *b, float *c, int ldc, int rows, int cols)
{
    if (cols > 16) {
        if (rows > 8) micro_tile<12, 2>(kc, a, b, c, ldc, rows, cols);
        else if (rows > 4) micro_tile<8, 2>(kc, a, b, c, ldc, rows, cols);
        else micro_tile<4, 2>(kc, a, b, c, ldc, rows, cols);
    } else {
        if (rows > 8) micro_tile<12, 1>(kc, a, b, c, ldc, rows, cols);
        else if (rows > 4) micro_tile<8, 1>(kc, a, b, c, ldc, rows, cols);
        else micro_tile<4, 1>(kc, a, b, c, ldc, rows, cols);
    }
}

} // namespace

void gemm_fast_avx512(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                      int ldb, float *C, int ldc)
{
    gemm_blocked<MR, NR, 192, 256, 4096>(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, micro);
}
