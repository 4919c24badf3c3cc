// Unfolding of planar images into column matrices (and the transposed accumulation back) for
// convolution as a matrix product, and the bit-packing steps of the XNOR convolution.
#pragma once
#include "quillon.h"

#include <cstddef>
#include <cstdint>

// Column matrix: (channels·kernel_h·kernel_w) rows × (out_h·out_w) columns, with
// out = (size + 2·pad − (dilation·(kernel − 1) + 1)) / stride + 1 per axis.
void im2col_cpu_ext(const float *data_im, int channels, int height, int width, int kernel_h, int kernel_w,
                    int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w,
                    float *data_col);
// Columns [col_begin, col_end) of that matrix (column y·out_w + x), stored col_end − col_begin apart
// per row: the unfolding of one band of the output, small enough to stay in cache for its product.
void im2col_cpu_ext_columns(const float *data_im, int channels, int height, int width, int kernel_h,
                            int kernel_w, int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h,
                            int dilation_w, int col_begin, int col_end, float *data_col);
// Adds the entries of columns [col_begin, col_end) of a column matrix (stored col_end − col_begin
// apart per row, as im2col_cpu_ext_columns writes them) back into their image positions; clears
// nothing, so the bands of one matrix add up to its whole fold.
void col2im_cpu_ext_columns(const float *data_col, int channels, int height, int width, int kernel_h,
                            int kernel_w, int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h,
                            int dilation_w, int col_begin, int col_end, float *data_im);
// Zeroes data_im, then adds every column entry back into its image position.
void col2im_cpu_ext(const float *data_col, int channels, int height, int width, int kernel_h, int kernel_w,
                    int pad_h, int pad_w, int stride_h, int stride_w, int dilation_h, int dilation_w,
                    float *data_im);
void im2col_cpu(const float *data_im, int channels, int height, int width, int ksize, int stride, int pad,
                float *data_col);

// Bit packing: bit k of byte k/8 of dst is src[k] > 0; the bits of a last partial byte past n are 0.
void float_to_bit(const float *src, unsigned char *dst, size_t n);
// Interleaves each group of 32 channels (c a multiple of 32):
// packed[chan·w·h + i·32 + k] = input[(chan + k)·w·h + i] for chan = 0, 32, 64, ...
void repack_input(const float *input, float *packed, int w, int h, int c);
// Unfolds an image of 32-bit words (each the sign bits of 32 interleaved channels, as repack_input and
// float_to_bit leave them): rows (c·ksize + ki)·ksize + kj, columns y·out_w + x, taps outside the image 0.
void im2col_cpu_custom_bin(const uint32_t *data_im, int channels, int height, int width, int ksize, int stride,
                           int pad, uint32_t *data_col);
// Unfolds a float image straight into sign bits: row r = (c·ksize + ki)·ksize + kj holds the bits of its
// out_h·out_w columns at bit offset r·bit_align (bit_align a multiple of 32 not below out_h·out_w); taps
// outside the image and the padding bits are 0.
void im2col_cpu_custom_align(const float *data_im, int channels, int height, int width, int ksize, int stride,
                             int pad, uint32_t *data_col, int bit_align);
// Word transpose: dst[j·dst_align + i] = src[i·src_align + j] for i < src_h, j < src_w (alignments in
// words); each dst row's words from src_h up to dst_align are zeroed.
void transpose_uint32(const uint32_t *src, uint32_t *dst, int src_h, int src_w, int src_align, int dst_align);
// Bit transpose of an n × m bit matrix A (row stride lda bits) into the m × n matrix B (row stride ldb
// bits; lda and ldb multiples of 32), in 32 × 32-bit blocks, block_size blocks on a side per cache tile.
// Every bit of B's m rows is written: the bits past n are 0.
void transpose_bin(const uint32_t *A, uint32_t *B, int n, int m, int lda, int ldb, int block_size);
