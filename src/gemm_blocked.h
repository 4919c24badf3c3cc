// The cache-blocked product shared by the vector paths: a path-specific micro-kernel adds one MR × NR
// tile of C per call. On convolution shapes (one side small) repacking costs as much as the arithmetic,
// so A is always read in place, and B too when its rows can be; otherwise op(B) is packed into
// zero-padded NR-column panels. Only the micro-kernels carry processor-specific code.
#pragma once
#include "utils.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// Packing space, one per thread, taken once at the largest block size and kept: the product never
// allocates after the first call on a thread.
struct gemm_pack_space {
    float *b = nullptr;
    void *b_raw = nullptr;
    ~gemm_pack_space() { free(b_raw); }
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

// Loop order: column blocks of NC (B block in the outer cache), depth blocks of KC, row blocks of MC
// (A block in the middle cache), then NR-column panels (one B panel in the first-level cache) and
// MR-row panels. micro(TA, kc, a, lda, b, b_step, c, ldc, rows, cols, ALPHA) adds ALPHA times the
// tile's product to C (or stores it, overwrite set), a pointing at element (first row, first depth) of op(A) and b at NR columns of
// op(B) whose rows lie b_step apart.
template <int MR, int NR, int MC, int KC, int NC, class Micro>
inline void gemm_blocked(int TA, int TB, int M, int N, int K, float ALPHA, const float *A, int lda, const float *B,
                         int ldb, float *C, int ldc, bool overwrite, Micro micro)
{
    static_assert(MC % MR == 0 && NC % NR == 0, "blocks hold whole panels");
    thread_local gemm_pack_space space;
    if (!space.b) {
        space.b_raw = xmalloc((size_t)KC * NC * sizeof(float) + 64);
        space.b = gemm_align64(space.b_raw);
    }
    // Untransposed B is read in place unless its row stride is a multiple of 1 KiB, where the rows of a
    // panel would crowd into a few cache sets; the transposed form is always packed.
    const bool pack = TB || ldb % 256 == 0;
    // Depth blocks of equal size: a thin last block would pay a full pass over the tiles of C for
    // little arithmetic.
    const int depth_step = (K + (K + KC - 1) / KC - 1) / ((K + KC - 1) / KC);
    for (int jc = 0; jc < N; jc += NC) {
        const int nc = std::min(NC, N - jc);
        for (int pc = 0; pc < K; pc += depth_step) {
            const int kc = std::min(depth_step, K - pc);
            if (pack) gemm_pack_b<NR>(TB, kc, nc, B, ldb, pc, jc, space.b);
            for (int ic = 0; ic < M; ic += MC) {
                const int mc = std::min(MC, M - ic);
                for (int jr = 0; jr < nc; jr += NR) {
                    const int cols = std::min(NR, nc - jr);
                    const float *b_panel = pack ? space.b + (size_t)jr * kc : B + (size_t)pc * ldb + jc + jr;
                    int b_step = pack ? NR : ldb;
                    if (!pack && cols < NR) {
                        // The kernels load whole panel rows: a narrow last panel is copied, zero-padded.
                        gemm_pack_b<NR>(0, kc, cols, B, ldb, pc, jc + jr, space.b);
                        b_panel = space.b;
                        b_step = NR;
                    }
                    // Rows are shared out evenly among the tiles: a thin last tile would have too few
                    // accumulators to cover the latency of the multiply-adds.
                    for (int ir = 0, rows; ir < mc; ir += rows) {
                        const int left = mc - ir, tiles = (left + MR - 1) / MR;
                        rows = (left + tiles - 1) / tiles;
                        const int i = ic + ir;
                        const float *a = TA ? A + (size_t)pc * lda + i : A + (size_t)i * lda + pc;
                        // Overwriting, the first depth block stores and the later ones add to it.
                        micro(TA, kc, a, lda, b_panel, b_step, C + (size_t)i * ldc + jc + jr, ldc, rows, cols,
                              ALPHA, overwrite && pc == 0);
                    }
                }
            }
        }
    }
}
