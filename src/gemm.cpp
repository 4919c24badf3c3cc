// The matrix product: processor-feature detection, the plain row kernels that define the result,
// the one place that chooses a fast path, and the bit-packed product of the XNOR convolution.
#include "gemm.h"

#include <algorithm>
#include <cpuid.h>
#include <cstdio>
#include <cstring>

namespace {

// -1 until detected. Concurrent first calls may both detect and print; they agree.
int avx_flag = -1;
int fma_avx2_flag = -1;
int avx512_flag = -1;
GEMM_PATH selected_path = GEMM_PATH_AUTO;

void cpuid(unsigned leaf, unsigned subleaf, unsigned regs[4])
{
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    if (__get_cpuid_max(0, nullptr) < leaf) return;
    __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
}

} // namespace

int is_avx()
{
    if (avx_flag < 0) {
        unsigned r[4];
        cpuid(1, 0, r);
        avx_flag = (r[2] >> 28) & 1;
        printf(avx_flag ? " Used AVX \n" : " Not used AVX \n");
    }
    return avx_flag;
}

int is_fma_avx2()
{
    if (fma_avx2_flag < 0) {
        unsigned r1[4], r7[4];
        cpuid(1, 0, r1);
        cpuid(7, 0, r7);
        fma_avx2_flag = ((r1[2] >> 12) & 1) && ((r7[1] >> 5) & 1);
        printf(fma_avx2_flag ? " Used FMA & AVX2 \n" : " Not used FMA & AVX2 \n");
    }
    return fma_avx2_flag;
}

int is_avx512()
{
    if (avx512_flag < 0) {
        unsigned r1[4], r7[4];
        cpuid(1, 0, r1);
        cpuid(7, 0, r7);
        int ok = ((r1[2] >> 27) & 1) && ((r1[2] >> 12) & 1) && ((r7[1] >> 16) & 1) && ((r7[1] >> 5) & 1);
        if (ok) {
            // The 512-bit path would fault where the operating system keeps the wide state disabled:
            // XMM, YMM, opmask and both halves of the ZMM registers must all be enabled.
            unsigned lo, hi;
            __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            ok = (lo & 0xE6) == 0xE6;
        }
        avx512_flag = ok;
    }
    return avx512_flag;
}

extern "C" QUILLON_API void init_cpu(void)
{
    is_avx();
    is_fma_avx2();
}

int gemm_path_available(GEMM_PATH path)
{
    init_cpu();
    switch (path) {
    case GEMM_PATH_AUTO:
    case GEMM_PATH_PLAIN: return 1;
    case GEMM_PATH_AVX2: return is_fma_avx2();
    case GEMM_PATH_AVX512: return is_avx512();
    }
    return 0;
}

GEMM_PATH gemm_select_path(GEMM_PATH path)
{
    const GEMM_PATH previous = selected_path;
    selected_path = gemm_path_available(path) ? path : GEMM_PATH_AUTO;
    return previous;
}

GEMM_PATH gemm_auto_path()
{
    if (is_avx512()) return GEMM_PATH_AVX512;
    if (is_fma_avx2()) return GEMM_PATH_AVX2;
    return GEMM_PATH_PLAIN;
}

GEMM_PATH gemm_active_path()
{
    return selected_path == GEMM_PATH_AUTO ? gemm_auto_path() : selected_path;
}

void gemm_nn(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc)
{
    for (int i = 0; i < M; ++i)
        for (int k = 0; k < K; ++k) {
            const float a = ALPHA * A[(size_t)i * lda + k];
            const float *b = B + (size_t)k * ldb;
            float *c = C + (size_t)i * ldc;
            for (int j = 0; j < N; ++j) c[j] += a * b[j];
        }
}

void gemm_nt(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc)
{
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            float sum = 0;
            for (int k = 0; k < K; ++k) sum += ALPHA * A[(size_t)i * lda + k] * B[(size_t)j * ldb + k];
            C[(size_t)i * ldc + j] += sum;
        }
}

void gemm_tn(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc)
{
    for (int i = 0; i < M; ++i)
        for (int k = 0; k < K; ++k) {
            const float a = ALPHA * A[(size_t)k * lda + i];
            const float *b = B + (size_t)k * ldb;
            float *c = C + (size_t)i * ldc;
            for (int j = 0; j < N; ++j) c[j] += a * b[j];
        }
}

void gemm_tt(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc)
{
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            float sum = 0;
            for (int k = 0; k < K; ++k) sum += ALPHA * A[i + (size_t)k * lda] * B[k + (size_t)j * ldb];
            C[(size_t)i * ldc + j] += sum;
        }
}

void gemm(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb,
          float BETA, float *C, int ldc)
{
    gemm_cpu(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, BETA, C, ldc);
}

namespace {

// C += ALPHA·op(A)·op(B) on the chosen path; overwrite stores the product instead (K > 0).
void product(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb,
             float *C, int ldc, bool overwrite)
{
    const GEMM_PATH path = gemm_active_path();
    // Every transpose variant goes through the packed panels: packing absorbs the transposition.
    if (path == GEMM_PATH_AVX512) {
        gemm_fast_avx512(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, overwrite);
        return;
    }
    if (path == GEMM_PATH_AVX2) {
        gemm_fast_avx2(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, overwrite);
        return;
    }
    if (overwrite)
        for (int i = 0; i < M; ++i) std::fill(C + (size_t)i * ldc, C + (size_t)i * ldc + N, 0.f);
    if (!TA && !TB) gemm_nn(M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
    else if (TA && !TB) gemm_tn(M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
    else if (!TA && TB) gemm_nt(M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
    else gemm_tt(M, N, K, ALPHA, A, lda, B, ldb, C, ldc);
}

} // namespace

void gemm_cpu(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb,
              float BETA, float *C, int ldc)
{
    // BETA = 0 scales rather than overwrites: a NaN already in C stays NaN.
    if (BETA != 1) {
        for (int i = 0; i < M; ++i) {
            float *c = C + (size_t)i * ldc;
            for (int j = 0; j < N; ++j) c[j] *= BETA;
        }
    }
    init_cpu();
    if (M <= 0 || N <= 0 || K <= 0) return;
    product(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, false);
}

void gemm_cpu_overwrite(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                        int ldb, float *C, int ldc)
{
    init_cpu();
    if (M <= 0 || N <= 0) return;
    if (K <= 0) {
        for (int i = 0; i < M; ++i) std::fill(C + (size_t)i * ldc, C + (size_t)i * ldc + N, 0.f);
        return;
    }
    product(TA, TB, M, N, K, ALPHA, A, lda, B, ldb, C, ldc, true);
}

namespace {

// Equal bits of two rows over whole 256-bit blocks; the bits past K are zero in both rows.
__attribute__((always_inline)) inline void bin_mean_rows(int M, int N, int K, const unsigned char *A, int lda,
                                                         const unsigned char *B, int ldb, float *C, int ldc,
                                                         const float *mean_arr)
{
    const int words = (K + 255) / 256 * 4;
    const int padding = K % 256 ? 256 - K % 256 : 0;
    for (int i = 0; i < M; ++i) {
        const unsigned char *a = A + (size_t)i * (lda / 8);
        for (int j = 0; j < N; ++j) {
            const unsigned char *b = B + (size_t)j * (ldb / 8);
            int count = 0;
            for (int w = 0; w < words; ++w) {
                uint64_t x, y;
                memcpy(&x, a + 8 * w, 8);
                memcpy(&y, b + 8 * w, 8);
                count += __builtin_popcountll(~(x ^ y));
            }
            count -= padding;
            C[(size_t)i * ldc + j] = (2 * count - K) * mean_arr[i];
        }
    }
}

__attribute__((target("popcnt"))) void bin_mean_rows_popcnt(int M, int N, int K, const unsigned char *A, int lda,
                                                            const unsigned char *B, int ldb, float *C, int ldc,
                                                            const float *mean_arr)
{
    bin_mean_rows(M, N, K, A, lda, B, ldb, C, ldc, mean_arr);
}

} // namespace

void gemm_nn_custom_bin_mean_transposed(int M, int N, int K, const unsigned char *A, int lda,
                                        const unsigned char *B, int ldb, float *C, int ldc, const float *mean_arr)
{
    if (__builtin_cpu_supports("popcnt")) bin_mean_rows_popcnt(M, N, K, A, lda, B, ldb, C, ldc, mean_arr);
    else bin_mean_rows(M, N, K, A, lda, B, ldb, C, ldc, mean_arr);
}
