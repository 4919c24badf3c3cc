// Single-precision matrix product C = ALPHA·op(A)·op(B) + BETA·C on row-major matrices with explicit
// leading dimensions, its processor-dependent fast paths, the processor-feature flags that select
// them, and the bit-packed (XNOR) product.
#pragma once
#include "quillon.h"

#include <cstdint>

// Processor features, detected once on first use; the first detection prints its message.
int is_avx();
int is_fma_avx2();
// AVX-512F with the wide register state enabled by the operating system (no message).
int is_avx512();

// TA/TB = 1: the stored matrix is the transpose (A stored K × M, B stored N × K).
void gemm(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb,
          float BETA, float *C, int ldc);
void gemm_cpu(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb,
              float BETA, float *C, int ldc);
// C = ALPHA·op(A)·op(B) whatever C held: the product is stored, not added, so C need not be cleared
// first (and a NaN there does not survive, unlike BETA = 0 above).
void gemm_cpu_overwrite(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                        int ldb, float *C, int ldc);

// Plain row kernels: C += ALPHA·op(A)·op(B) for the M rows of C. They define the result.
void gemm_nn(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc);
void gemm_nt(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc);
void gemm_tn(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc);
void gemm_tt(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C, int ldc);

// Cache-blocked products over packed panels: C += ALPHA·op(A)·op(B), or C = ALPHA·op(A)·op(B) with
// overwrite set (K > 0). Callers check the processor.
void gemm_fast_avx2(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                    int ldb, float *C, int ldc, bool overwrite = false);
void gemm_fast_avx512(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                      int ldb, float *C, int ldc, bool overwrite = false);
// The untransposed FMA/AVX2 product.
void gemm_nn_fast(int M, int N, int K, float ALPHA, const float *A, int lda, const float *B, int ldb, float *C,
                  int ldc);

// Which path gemm_cpu takes. AUTO picks the widest the processor has; the others exist so tests and
// benchmarks can compare the paths on one machine.
enum GEMM_PATH { GEMM_PATH_AUTO = 0, GEMM_PATH_PLAIN = 1, GEMM_PATH_AVX2 = 2, GEMM_PATH_AVX512 = 3 };
int gemm_path_available(GEMM_PATH path);
// Returns the previous selection; an unavailable path falls back to AUTO.
GEMM_PATH gemm_select_path(GEMM_PATH path);
// The path AUTO resolves to on this processor.
GEMM_PATH gemm_auto_path();
// The path in use now: the selection, or what AUTO resolves to. Other vector kernels follow it too.
GEMM_PATH gemm_active_path();

// Bit-packed product: A holds M rows and B holds N rows of K sign bits (value > 0 ↦ 1, bit k of byte k/8),
// with row strides lda and ldb in bits (multiples of 8, covering K rounded up to 256 bits, padding bits 0).
// C[i·ldc + j] = (2·equal_bits − K) · mean_arr[i].
void gemm_nn_custom_bin_mean_transposed(int M, int N, int K, const unsigned char *A, int lda,
                                        const unsigned char *B, int ldb, float *C, int ldc, const float *mean_arr);
