// AVX-512 product: up to 12-row × 32-column register tiles of C (three by two 4 × 16 tiles, 24 16-lane
// accumulators) fed by packed panels; edge tiles take the smallest kernel that covers them.
#include "gemm.h"
#include "gemm_blocked.h"

#include <immintrin.h>

#define QUILLON_TARGET_AVX512 __attribute__((target("avx512f,avx2,fma")))

namespace {

constexpr int MR = 12;
constexpr int NR = 32;

// A is read in place: row i, depth k at a[i + k·lda] when transposed, else at a[i·lda + k]. Only the
// tile's own rows are read, so each row count has its kernel.
template <int ROWS, int VECS, bool TRANS_A>
QUILLON_TARGET_AVX512 void micro_tile(int kc, const float *a, int lda, const float *b, int ldb, float *c, int ldc, int cols,
                                      float alpha, bool overwrite)
{
    __m512 acc[ROWS][VECS];
#pragma GCC unroll 12
    for (int i = 0; i < ROWS; ++i)
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) acc[i][v] = _mm512_setzero_ps();
    const float *row[ROWS];
#pragma GCC unroll 12
    for (int i = 0; i < ROWS; ++i) {
        row[i] = a + (size_t)i * lda;
        // The tile of C is wanted only after the depth loop: fetch it meanwhile.
        if (!overwrite) {
            _mm_prefetch((const char *)(c + (size_t)i * ldc), _MM_HINT_T0);
            if (VECS == 2) _mm_prefetch((const char *)(c + (size_t)i * ldc + 16), _MM_HINT_T0);
        }
    }
#pragma GCC unroll 2
    for (int k = 0; k < kc; ++k) {
        __m512 bv[VECS];
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) {
            bv[v] = _mm512_loadu_ps(b + 16 * v);
            // Two panels ahead along the row of B: what the next column tiles will read.
            _mm_prefetch((const char *)(b + 2 * NR + 16 * v), _MM_HINT_T0);
        }
#pragma GCC unroll 12
        for (int i = 0; i < ROWS; ++i) {
            const __m512 av = _mm512_set1_ps(TRANS_A ? a[i] : row[i][k]);
#pragma GCC unroll 2
            for (int v = 0; v < VECS; ++v) acc[i][v] = _mm512_fmadd_ps(av, bv[v], acc[i][v]);
        }
        if (TRANS_A) a += lda;
        b += ldb;
    }
    __mmask16 mask[VECS];
#pragma GCC unroll 2
    for (int v = 0; v < VECS; ++v) {
        const int valid = cols - 16 * v;
        mask[v] = valid >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << (valid > 0 ? valid : 0)) - 1);
    }
    const __m512 scale = _mm512_set1_ps(alpha);
#pragma GCC unroll 12
    for (int i = 0; i < ROWS; ++i) {
        float *out = c + (size_t)i * ldc;
#pragma GCC unroll 2
        for (int v = 0; v < VECS; ++v) {
            const __m512 old = overwrite ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(mask[v], out + 16 * v);
            _mm512_mask_storeu_ps(out + 16 * v, mask[v], _mm512_fmadd_ps(acc[i][v], scale, old));
        }
    }
}

template <int ROWS, bool TRANS_A>
QUILLON_TARGET_AVX512 void micro_rows(int kc, const float *a, int lda, const float *b, int ldb, float *c, int ldc, int cols,
                                      float alpha, bool overwrite)
{
    if (cols > 16) micro_tile<ROWS, 2, TRANS_A>(kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
    else micro_tile<ROWS, 1, TRANS_A>(kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
}

template <bool TRANS_A>
using micro_fn = void (*)(int, const float *, int, const float *, int, float *, int, int, float, bool);

template <bool TRANS_A, int... ROWS>
constexpr micro_fn<TRANS_A> kernels_by_rows[] = {micro_rows<ROWS, TRANS_A>...};

QUILLON_TARGET_AVX512 void micro(int TA, int kc, const float *a, int lda, const float *b, int ldb, float *c, int ldc, int rows,
                                 int cols, float alpha, bool overwrite)
{
    if (TA) kernels_by_rows<true, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12>[rows - 1](kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
    else kernels_by_rows<false, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12>[rows - 1](kc, a, lda, b, ldb, c, ldc, cols, alpha, overwrite);
}

} // namespace

void gemm_fast_avx512(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                      int ldb, float *C, int ldc, bool overwrite)
{
    gemm_blocked<MR, NR, 192, 256, 4096>(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, overwrite, micro);
}
