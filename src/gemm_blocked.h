// The cache-blocked product shared by the vector paths: op(B) is packed into NR-column panels,
// ALPHA·op(A) into MR-row panels (both zero-padded to whole panels), and a path-specific micro-kernel
// adds one MR × NR tile of C per call. Only the micro-kernels carry processor-specific code.
#pragma once
#include "utils.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// Packing space, one set per thread, taken once at the largest block size and kept: the product
// itself never allocates after the first call on a thread.
struct gemm_pack_space {
    float *a = nullptr;
    float *b = nullptr;
    void *a_raw = nullptr;
    void *b_raw = nullptr;
    ~gemm_pack_space()
    {
        free(a_raw);
        free(b_raw);
    }
};

inline float *gemm_align64(void *p)
{
    return (float *)(((uintptr_t)p + 63) & ~(uintptr_t)63);
}

// Packs rows [pc, pc+kc) × columns [jc, jc+nc) of op(B): panel p holds columns jc + p·NR .. +NR,
// element (k, j) of a panel at k·NR + j.
template <int NR>
inline void gemm_pack_b(int TB, int kc, int nc, const float *B, int ldb, int pc, int jc, float *bp)
{
    const int panels = (nc + NR - 1) / NR;
    if (!TB) {
        for (int k = 0; k < kc; ++k) {
            const float *src = B + (size_t)(pc + k) * ldb + jc;
            for (int p = 0; p < panels; ++p) {
                float *dst = bp + (size_t)p * kc * NR + (size_t)k * NR;
                const int w = std::min(NR, nc - p * NR);
                if (w == NR) {
                    memcpy(dst, src + p * NR, NR * sizeof(float));
                } else {
                    memcpy(dst, src + p * NR, w * sizeof(float));
                    memset(dst + w, 0, (NR - w) * sizeof(float));
                }
            }
        }
        return;
    }
    for (int p = 0; p < panels; ++p) {
        float *panel = bp + (size_t)p * kc * NR;
        const int w = std::min(NR, nc - p * NR);
        for (int j = 0; j < w; ++j) {
            const float *src = B + (size_t)(jc + p * NR + j) * ldb + pc;
            for (int k = 0; k < kc; ++k) panel[(size_t)k * NR + j] = src[k];
        }
        for (int j = w; j < NR; ++j)
            for (int k = 0; k < kc; ++k) panel[(size_t)k * NR + j] = 0;
    }
}

// Packs ALPHA times rows [ic, ic+mc) × columns [pc, pc+kc) of op(A): panel p holds rows ic + p·MR .. +MR,
// element (i, k) of a panel at k·MR + i. ALPHA is applied here, as the plain kernels apply it to A.
template <int MR>
inline void gemm_pack_a(int TA, int mc, int kc, float ALPHA, const float *A, int lda, int ic, int pc, float *ap)
{
    const int panels = (mc + MR - 1) / MR;
    for (int p = 0; p < panels; ++p) {
        float *panel = ap + (size_t)p * kc * MR;
        const int h = std::min(MR, mc - p * MR);
        if (!TA) {
            for (int i = 0; i < h; ++i) {
                const float *src = A + (size_t)(ic + p * MR + i) * lda + pc;
                for (int k = 0; k < kc; ++k) panel[(size_t)k * MR + i] = ALPHA * src[k];
            }
            for (int i = h; i < MR; ++i)
                for (int k = 0; k < kc; ++k) panel[(size_t)k * MR + i] = 0;
        } else {
            for (int k = 0; k < kc; ++k) {
                const float *src = A + (size_t)(pc + k) * lda + ic + p * MR;
                float *dst = panel + (size_t)k * MR;
                for (int i = 0; i < h; ++i) dst[i] = ALPHA * src[i];
                for (int i = h; i < MR; ++i) dst[i] = 0;
            }
        }
    }
}

// Loop order: column blocks of NC (B block in the outer cache), depth blocks of KC, row blocks of MC
// (A block in the middle cache), then NR-column panels (one B panel in the first-level cache) and
// MR-row panels. micro(kc, a_panel, b_panel, c, ldc, rows, cols) adds the tile to C.
template <int MR, int NR, int MC, int KC, int NC, class Micro>
inline void gemm_blocked(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                         int ldb, float *C, int ldc, Micro micro)
{
    static_assert(MC % MR == 0 && NC % NR == 0, "blocks hold whole panels");
    thread_local gemm_pack_space space;
    if (!space.a) {
        space.a_raw = xmalloc((size_t)MC * KC * sizeof(float) + 64);
        space.b_raw = xmalloc((size_t)KC * NC * sizeof(float) + 64);
        space.a = gemm_align64(space.a_raw);
        space.b = gemm_align64(space.b_raw);
    }
    for (int jc = 0; jc < N; jc += NC) {
        const int nc = std::min(NC, N - jc);
        for (int pc = 0; pc < K; pc += KC) {
            const int kc = std::min(KC, K - pc);
            gemm_pack_b<NR>(TB, kc, nc, B, ldb, pc, jc, space.b);
            for (int ic = 0; ic < M; ic += MC) {
                const int mc = std::min(MC, M - ic);
                gemm_pack_a<MR>(TA, mc, kc, ALPHA, A, lda, ic, pc, space.a);
                for (int jr = 0; jr < nc; jr += NR) {
                    const float *b_panel = space.b + (size_t)jr * kc;
                    for (int ir = 0; ir < mc; ir += MR)
                        micro(kc, space.a + (size_t)ir * kc, b_panel, C + (size_t)(ic + ir) * ldc + jc + jr, ldc,
                              std::min(MR, mc - ir), std::min(NR, nc - jr));
                }
            }
        }
    }
}
