// Matrix product: every path this processor has against a double-precision triple loop over awkward
// shapes, transposes, leading dimensions and ALPHA/BETA; BETA = 0 semantics; detection messages;
// the bit-packed product against a sign-valued float product.
#include "gemm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

struct gemm_case {
    int M, N, K;
    int ldb_pad = 5;
};

std::vector<float> random_vector(size_t n, std::mt19937 &rng)
{
    std::uniform_real_distribution<float> d(-1, 1);
    std::vector<float> v(n);
    for (float &x : v) x = d(rng);
    return v;
}

std::vector<GEMM_PATH> available_paths()
{
    std::vector<GEMM_PATH> paths;
    for (GEMM_PATH p : {GEMM_PATH_PLAIN, GEMM_PATH_AVX2, GEMM_PATH_AVX512})
        if (gemm_path_available(p)) paths.push_back(p);
    return paths;
}

struct path_guard {
    explicit path_guard(GEMM_PATH p) : previous(gemm_select_path(p)) {}
    ~path_guard() { gemm_select_path(previous); }
    GEMM_PATH previous;
};

} // namespace

// Sizes straddle the register tiles (6/12 rows, 16/32 columns) and the cache blocks (72/192 rows,
// 256/384 depth, 4096 columns); row strides of 256 and 1024 floats take the packed form of B.
const gemm_case gemm_cases[] = {{5, 20, 17},  {1, 1, 1},     {4, 16, 16},  {13, 37, 29}, {12, 32, 256},
                                {33, 70, 300}, {7, 4100, 3}, {130, 20, 5}, {200, 45, 20}, {3, 9, 600},
                                {9, 251, 40, 5}, {14, 1024, 30, 0}};

TEST(Gemm, PathsMatchReference)
{
    std::mt19937 rng(7);
    for (GEMM_PATH path : available_paths()) {
        path_guard guard(path);
        for (const gemm_case &g : gemm_cases)
            for (int TA = 0; TA < 2; ++TA)
                for (int TB = 0; TB < 2; ++TB)
                    for (float BETA : {0.0f, 1.0f, 0.5f}) {
                        const float ALPHA = TA ? -0.7f : 1.0f;
                        // Stored shapes with leading dimensions wider than the rows they hold.
                        const int a_rows = TA ? g.K : g.M, a_cols = TA ? g.M : g.K;
                        const int b_rows = TB ? g.N : g.K, b_cols = TB ? g.K : g.N;
                        const int lda = a_cols + 3, ldb = b_cols + g.ldb_pad, ldc = g.N + 2;
                        std::vector<float> A = random_vector((size_t)a_rows * lda, rng);
                        std::vector<float> B = random_vector((size_t)b_rows * ldb, rng);
                        std::vector<float> C = random_vector((size_t)g.M * ldc, rng);
                        const std::vector<float> C0 = C;
                        gemm_cpu(TA, TB, g.M, g.N, g.K, ALPHA, A.data(), lda, B.data(), ldb, BETA, C.data(), ldc);
                        for (int i = 0; i < g.M; ++i)
                            for (int j = 0; j < ldc; ++j) {
                                const float got = C[(size_t)i * ldc + j];
                                if (j >= g.N) {
                                    ASSERT_EQ(got, C0[(size_t)i * ldc + j]) << "wrote past N";
                                    continue;
                                }
                                double sum = 0, magnitude = 0;
                                for (int k = 0; k < g.K; ++k) {
                                    const double a = TA ? A[(size_t)k * lda + i] : A[(size_t)i * lda + k];
                                    const double b = TB ? B[(size_t)j * ldb + k] : B[(size_t)k * ldb + j];
                                    sum += ALPHA * a * b;
                                    magnitude += std::fabs(ALPHA * a * b);
                                }
                                const double c0 = (float)(BETA * C0[(size_t)i * ldc + j]);
                                const double want = c0 + sum;
                                const double tol = 1e-6 * (g.K + 2) * (magnitude + std::fabs(c0)) + 1e-6;
                                ASSERT_NEAR(got, want, tol) << "path " << path << " M=" << g.M << " N=" << g.N
                                                            << " K=" << g.K << " TA=" << TA << " TB=" << TB
                                                            << " BETA=" << BETA << " at " << i << "," << j;
                            }
                    }
    }
}

TEST(Gemm, BetaZeroScalesInsteadOfOverwriting)
{
    for (GEMM_PATH path : available_paths()) {
        path_guard guard(path);
        const int M = 5, N = 20, K = 17;
        std::vector<float> A(M * K, 1.0f), B(K * N, 1.0f), C(M * N, 2.0f);
        C[3] = NAN;
        gemm_cpu(0, 0, M, N, K, 1, A.data(), K, B.data(), N, 0, C.data(), N);
        EXPECT_TRUE(std::isnan(C[3])) << "path " << path;
        EXPECT_EQ(C[4], 17.0f) << "path " << path;
    }
}

// Storing the product must equal accumulating it onto a cleared C, whatever C held, on every path,
// and leave the columns past N alone.
TEST(Gemm, OverwriteEqualsAccumulateOntoZero)
{
    std::mt19937 rng(11);
    for (GEMM_PATH path : available_paths()) {
        path_guard guard(path);
        for (const gemm_case &g : gemm_cases)
            for (int TA = 0; TA < 2; ++TA)
                for (int TB = 0; TB < 2; ++TB) {
                    const float ALPHA = TB ? -1.3f : 1.0f;
                    const int lda = (TA ? g.M : g.K) + 1, ldb = (TB ? g.K : g.N) + g.ldb_pad, ldc = g.N + 3;
                    std::vector<float> A = random_vector((size_t)(TA ? g.K : g.M) * lda, rng);
                    std::vector<float> B = random_vector((size_t)(TB ? g.N : g.K) * ldb, rng);
                    std::vector<float> stored((size_t)g.M * ldc, NAN), added((size_t)g.M * ldc, 0.0f);
                    gemm_cpu_overwrite(TA, TB, g.M, g.N, g.K, ALPHA, A.data(), lda, B.data(), ldb, stored.data(),
                                       ldc);
                    gemm_cpu(TA, TB, g.M, g.N, g.K, ALPHA, A.data(), lda, B.data(), ldb, 1, added.data(), ldc);
                    for (int i = 0; i < g.M; ++i)
                        for (int j = 0; j < ldc; ++j) {
                            const float got = stored[(size_t)i * ldc + j];
                            if (j >= g.N) ASSERT_TRUE(std::isnan(got)) << "wrote past N";
                            else
                                ASSERT_EQ(got, added[(size_t)i * ldc + j])
                                    << "path " << path << " M=" << g.M << " N=" << g.N << " K=" << g.K
                                    << " TA=" << TA << " TB=" << TB << " at " << i << "," << j;
                        }
                }
    }
    std::vector<float> C = {NAN, 2, 3, NAN};
    gemm_cpu_overwrite(0, 0, 2, 2, 0, 1, nullptr, 1, nullptr, 2, C.data(), 2);
    EXPECT_EQ(C, (std::vector<float>{0, 0, 0, 0})) << "zero depth stores zeros";
}

TEST(Gemm, ZeroDepthOnlyScales)
{
    std::vector<float> C = {1, 2, 3, 4};
    gemm_cpu(0, 0, 2, 2, 0, 1, nullptr, 1, nullptr, 2, 3, C.data(), 2);
    EXPECT_EQ(C, (std::vector<float>{3, 6, 9, 12}));
}

TEST(Gemm, AutoPathIsTheWidestAvailable)
{
    const GEMM_PATH want = gemm_path_available(GEMM_PATH_AVX512) ? GEMM_PATH_AVX512
                           : gemm_path_available(GEMM_PATH_AVX2) ? GEMM_PATH_AVX2
                                                                 : GEMM_PATH_PLAIN;
    EXPECT_EQ(gemm_auto_path(), want);
    EXPECT_EQ(is_fma_avx2(), __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") ? 1 : 0);
    EXPECT_EQ(is_avx(), __builtin_cpu_supports("avx") ? 1 : 0);
}

TEST(GemmDeathTest, InitCpuPrintsBothDetections)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string avx = __builtin_cpu_supports("avx") ? " Used AVX " : " Not used AVX ";
    const std::string fma = __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") ? " Used FMA & AVX2 "
                                                                                            : " Not used FMA & AVX2 ";
    // The child starts afresh, so its first call detects; its standard output is relayed to stderr.
    EXPECT_EXIT(
        {
            testing::internal::CaptureStdout();
            init_cpu();
            init_cpu();
            const std::string out = testing::internal::GetCapturedStdout();
            fprintf(stderr, "[%s]", out.c_str());
            exit(out == avx + "\n" + fma + "\n" ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Gemm, BinaryProductMatchesSignProduct)
{
    std::mt19937 rng(3);
    for (int K : {17, 256, 300, 576}) {
        const int M = 5, N = 37;
        const int ld = (K - K % 256 + 256);
        std::vector<float> a = random_vector((size_t)M * K, rng), b = random_vector((size_t)N * K, rng);
        std::vector<float> mean = random_vector(M, rng);
        std::vector<unsigned char> A((size_t)M * ld / 8 + 1, 0), B((size_t)N * ld / 8 + 1, 0);
        for (int i = 0; i < M; ++i)
            for (int k = 0; k < K; ++k)
                if (a[(size_t)i * K + k] > 0) A[((size_t)i * ld + k) / 8] |= 1 << (k % 8);
        for (int j = 0; j < N; ++j)
            for (int k = 0; k < K; ++k)
                if (b[(size_t)j * K + k] > 0) B[((size_t)j * ld + k) / 8] |= 1 << (k % 8);
        std::vector<float> C((size_t)M * (N + 1), -5);
        gemm_nn_custom_bin_mean_transposed(M, N, K, A.data(), ld, B.data(), ld, C.data(), N + 1, mean.data());
        for (int i = 0; i < M; ++i)
            for (int j = 0; j < N; ++j) {
                int dot = 0;
                for (int k = 0; k < K; ++k)
                    dot += (a[(size_t)i * K + k] > 0 ? 1 : -1) * (b[(size_t)j * K + k] > 0 ? 1 : -1);
                ASSERT_EQ(C[(size_t)i * (N + 1) + j], dot * mean[i]) << "K=" << K << " at " << i << "," << j;
            }
    }
}
