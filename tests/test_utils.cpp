// Utilities: byte-size formatting, line reading, label paths, rankings, random ranges, fatal exits.
#include "utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

// Death tests make the allocators fail on purpose; sanitizer builds must report that as a null result.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

FILE *file_with(const std::string &text)
{
    FILE *f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    return f;
}

std::vector<std::string> all_lines(const std::string &text)
{
    FILE *f = file_with(text);
    std::vector<std::string> lines;
    while (char *line = fgetl(f)) {
        lines.emplace_back(line);
        free(line);
    }
    fclose(f);
    return lines;
}

}  // namespace

TEST(Utils, FormatByteSize)
{
    EXPECT_STREQ(format_byte_size(0), "0 bytes");
    EXPECT_STREQ(format_byte_size(1023), "1023 bytes");
    EXPECT_STREQ(format_byte_size(1024), "1.0 KiB");
    EXPECT_STREQ(format_byte_size(1536), "1.5 KiB");
    EXPECT_STREQ(format_byte_size(1048576), "1.0 MiB");
    EXPECT_STREQ(format_byte_size(1073741824), "1.0 GiB");
    // A negative count is read as unsigned: 2^64 - 1 bytes.
    EXPECT_STREQ(format_byte_size(-1), "17179869184.0 GiB");
}

TEST(UtilsDeath, FatalErrorPrintsLocationAndErrno)
{
    EXPECT_EXIT(
        {
            errno = ENOENT;
            fatal_error("Thread creation failed", "src/utils.cpp", "make_it", 42);
        },
        testing::ExitedWithCode(1),
        "Quillon error location: src/utils.cpp, make_it, line #42\nThread creation failed: No such file or directory");
}

TEST(UtilsDeath, LocationMacroGivesProjectPath)
{
    EXPECT_STREQ(project_source_path("/home/x/src/proj/src/parser.cpp"), "src/parser.cpp");
    EXPECT_STREQ(project_source_path("src/utils.cpp"), "src/utils.cpp");
    EXPECT_STREQ(project_source_path("/a/mysrc/b.cpp"), "/a/mysrc/b.cpp");
    EXPECT_EXIT(quillon_error("Cuda malloc failed"), testing::ExitedWithCode(1),
                "Quillon error location: .*, TestBody, line #[0-9]+\nCuda malloc failed: ");
}

TEST(UtilsDeath, FatalOpenError)
{
    EXPECT_EXIT(fatal_open_error("no/such/file.cfg"), testing::ExitedWithCode(1), "^Couldn't open file: no/such/file.cfg\n$");
}

TEST(UtilsDeath, AllocationFailuresExitWithTheirMessages)
{
    const size_t huge = (size_t)1 << 62;
    EXPECT_EXIT(xmalloc(huge), testing::ExitedWithCode(1),
                "Failed to malloc 4294967296.0 GiB\nQuillon error location: .*, TestBody, line #[0-9]+\n"
                "Malloc error - possibly out of CPU RAM: ");
    EXPECT_EXIT(xcalloc(huge / 4, 4), testing::ExitedWithCode(1),
                "Failed to calloc 4294967296.0 GiB\nQuillon error location: .*, TestBody, line #[0-9]+\n"
                "Calloc error - possibly out of CPU RAM: ");
    EXPECT_EXIT(xrealloc(nullptr, huge), testing::ExitedWithCode(1),
                "Failed to realloc 4294967296.0 GiB\nQuillon error location: .*, TestBody, line #[0-9]+\n"
                "Realloc error - possibly out of CPU RAM: ");
}

TEST(Utils, AllocatorsReturnUsableZeroedBlocks)
{
    int *a = (int *)xcalloc(16, sizeof(int));
    for (int i = 0; i < 16; ++i) EXPECT_EQ(a[i], 0);
    a = (int *)xrealloc(a, 1024 * sizeof(int));
    a[1023] = 7;
    free(a);
}

TEST(Utils, FgetlLines)
{
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a\nb\n", {"a", "b"}},
        {"last line without feed", {"last line without feed"}},
        {"crlf\r\nnext\r\n", {"crlf", "next"}},
        {"\n\n", {"", ""}},
        {"\r\n", {""}},
        {"x\ry\n", {"x\ry"}},
    };
    for (const Case &c : cases) EXPECT_EQ(all_lines(c.text), c.lines) << c.text;
}

TEST(Utils, FgetlLongLines)
{
    for (size_t len : {511u, 512u, 1023u, 2000u, 100000u}) {
        std::string line(len, 'q');
        line[len / 2] = 'm';
        EXPECT_EQ(all_lines(line + "\n" + line + "\r\n" + line), (std::vector<std::string>{line, line, line})) << len;
    }
}

TEST(Utils, CopyStringAndTrim)
{
    EXPECT_EQ(copy_string(nullptr), nullptr);
    char *c = copy_string("abc");
    EXPECT_STREQ(c, "abc");
    free(c);

    struct {
        const char *in, *out;
    } cases[] = {{"  a b \t", "a b"}, {"\t\t", ""}, {"", ""}, {"x", "x"}, {" \nx\r ", "\nx\r"}};
    for (auto &t : cases) {
        std::string s = t.in;
        trim(s.data());
        EXPECT_STREQ(s.c_str(), t.out) << t.in;
    }
    // Texts beyond the historical 8 KiB bound are trimmed like any other.
    std::string big = "   " + std::string(20000, 'z') + "\t ";
    trim(big.data());
    EXPECT_EQ(strlen(big.c_str()), 20000u);
}

TEST(Utils, FindReplace)
{
    struct {
        const char *text, *pattern, *replacement, *out;
    } cases[] = {
        {"abab", "b", "X", "aXab"},   {"abab", "z", "X", "abab"},       {"abab", "", "X", "abab"},
        {"abab", "ab", "", "ab"},     {"a.jpg", ".jpg", ".txt", "a.txt"}, {"xy", "y", "LONGER", "xLONGER"},
    };
    for (auto &t : cases) {
        char out[64];
        find_replace(t.text, t.pattern, t.replacement, out);
        EXPECT_STREQ(out, t.out);
        // The output may be the text itself.
        char same[64];
        strcpy(same, t.text);
        find_replace(same, t.pattern, t.replacement, same);
        EXPECT_STREQ(same, t.out);
    }
    std::string big(10000, 'a');
    big += "b";
    std::string out(big.size() + 2, '\0');
    find_replace(big.c_str(), "b", "XY", out.data());
    EXPECT_EQ(std::string(out.c_str()), std::string(10000, 'a') + "XY");
}

TEST(Utils, FindReplaceBoundedRefusesWhatDoesNotFit)
{
    char out[8];
    EXPECT_EQ(find_replace_bounded("abc", "b", "1234", out, sizeof out), 1);
    EXPECT_STREQ(out, "a1234c");
    memset(out, 'q', sizeof out);
    EXPECT_EQ(find_replace_bounded("abc", "b", "123456", out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(find_replace_bounded("abcdefgh", "z", "", out, sizeof out), 0);
    EXPECT_EQ(find_replace_bounded("abcdefg", "z", "", out, sizeof out), 1);
    EXPECT_STREQ(out, "abcdefg");
}

TEST(Utils, PathBaseName)
{
    struct {
        const char *in, *out;
    } cases[] = {{"cfg/net.tiny.cfg", "net"}, {"net.cfg", "net"}, {"a/b\\c.d", "c"}, {"a\\b/c", "c"}, {"dir/", ""}};
    for (auto &t : cases) {
        char *name = path_base_name(t.in);
        EXPECT_STREQ(name, t.out) << t.in;
        free(name);
    }
}

TEST(Utils, ImagePathToLabelPath)
{
    struct {
        const char *in, *out;
        const char *message;
    } cases[] = {
        {"data/obj/JPEGImages/x.jpg", "data/obj/labels/x.txt", ""},
        {"a/images/train2017/b.png", "a/labels/train2017/b.txt", ""},
        {"a/images/val2014/b.JPEG", "a/labels/val2014/b.txt", ""},
        {"c:\\d\\images\\val2017\\e.bmp", "c:\\d\\labels\\val2017\\e.txt", ""},
        {"c:\\d\\JPEGImages\\e.tiff", "c:\\d\\labels\\e.txt", ""},
        {"  p/q.jpeg\t", "p/q.txt", ""},
        {"x.gif", "x.gif", "Failed to infer label file name (check image extension is supported): x.gif \n"},
        {"a.jpg.jpg", "a.jpg.jpg", "Failed to infer label file name (check image extension is supported): a.jpg.jpg \n"},
        {"a.JPG", "a.txt", ""},
        {".png", ".txt", "Label file name is too short: .txt \n"},
    };
    for (auto &t : cases) {
        char out[256];
        testing::internal::CaptureStderr();
        image_path_to_label_path(t.in, out);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_STREQ(out, t.out) << t.in;
        EXPECT_EQ(err, t.message) << t.in;
    }
}

TEST(Utils, ReadMap)
{
    char path[] = "/tmp/quillon_map_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *f = fdopen(fd, "w");
    fputs("3\n-1\r\n42", f);
    fclose(f);
    int *map = read_map(path);
    EXPECT_EQ(map[0], 3);
    EXPECT_EQ(map[1], -1);
    EXPECT_EQ(map[2], 42);
    free(map);
    remove(path);
    EXPECT_EXIT(read_map(path), testing::ExitedWithCode(1), "Couldn't open file: /tmp/quillon_map_");
}

TEST(Utils, TopK)
{
    float v[] = {1, 3, 3, 2};
    int idx[6];
    top_k(v, 4, 3, idx);
    EXPECT_EQ(std::vector<int>(idx, idx + 3), (std::vector<int>{1, 2, 3}));
    top_k(v, 4, 6, idx);
    EXPECT_EQ(std::vector<int>(idx, idx + 6), (std::vector<int>{1, 2, 3, 0, -1, -1}));
    top_k(v, 0, 2, idx);
    EXPECT_EQ(std::vector<int>(idx, idx + 2), (std::vector<int>{-1, -1}));
}

// Displaced indexes move down the ranking without reordering among equals, so with ties only the
// values (not the index order) are fixed: the k largest values, in non-increasing order.
TEST(Utils, TopKHoldsTheLargestValuesOnRandomData)
{
    srand(7);
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<float> v(37);
        for (float &x : v) x = (float)(rand() % 10);
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end(), std::greater<float>());
        int idx[5];
        top_k(v.data(), (int)v.size(), 5, idx);
        std::set<int> distinct(idx, idx + 5);
        EXPECT_EQ(distinct.size(), 5u);
        for (int j = 0; j < 5; ++j) EXPECT_EQ(v[idx[j]], sorted[j]);
    }
}

TEST(Utils, ArrayStatistics)
{
    const float a[] = {2, 5, 5};
    EXPECT_EQ(array_max_index(a, 3), 1);
    EXPECT_EQ(array_max_index(a, 0), -1);
    EXPECT_EQ(array_max_index(a, -2), -1);
    const float b[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_FLOAT_EQ(array_sum(b, 7), 28);
    EXPECT_FLOAT_EQ(array_variance(b, 7), 4);
    EXPECT_FLOAT_EQ(array_magnitude(b, 2), sqrtf(5));
    float c[] = {1, 3};
    array_normalize(c, 2);
    EXPECT_FLOAT_EQ(c[0], -1);
    EXPECT_FLOAT_EQ(c[1], 1);
    float x[] = {3, 6}, y[] = {0, 3}, z[] = {0, 0}, out[2] = {9, 9};
    float *three[] = {x, y, z};
    average_three_arrays(three, 2, out);
    EXPECT_FLOAT_EQ(out[0], 1);
    EXPECT_FLOAT_EQ(out[1], 3);
}

TEST(Utils, FreePtrs)
{
    void **p = (void **)xcalloc(3, sizeof(void *));
    for (int i = 0; i < 3; ++i) p[i] = xmalloc(10);
    free_ptrs(p, 3);
}

TEST(Utils, RandomIntRangeCoversBothEnds)
{
    std::set<int> seen;
    for (int i = 0; i < 2000; ++i) {
        int r = random_int_range(5, 3);
        ASSERT_GE(r, 3);
        ASSERT_LE(r, 5);
        seen.insert(r);
    }
    EXPECT_EQ(seen, (std::set<int>{3, 4, 5}));
    EXPECT_EQ(random_int_range(7, 7), 7);
    for (int i = 0; i < 100; ++i) {
        int r = random_int_range(INT_MIN, INT_MAX);
        (void)r;
        int s = random_int_range(-3, -1);
        ASSERT_GE(s, -3);
        ASSERT_LE(s, -1);
    }
}

TEST(Utils, RandomFloatRanges)
{
    srand(123);
    float lo = 1e9f, hi = -1e9f;
    for (int i = 0; i < 20000; ++i) {
        float r = random_uniform(4, -2);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
        float u = random_unit_float();
        ASSERT_GE(u, 0.0f);
        ASSERT_LE(u, 1.0f);
        float s = random_uniform_strong(3, 1);
        ASSERT_GE(s, 1.0f);
        ASSERT_LE(s, 3.0f);
        float k = random_scale(2);
        ASSERT_GE(k, 0.5f);
        ASSERT_LE(k, 2.0f);
    }
    // The 15-bit formula may pass max by up to 0.006 % of the range.
    EXPECT_GE(lo, -2.0f);
    EXPECT_LE(hi, 4.0f + 6 * 0.00007f);
    EXPECT_LT(lo, -1.9f);
    EXPECT_GT(hi, 3.9f);
}

TEST(Utils, RandomScaleGivesBothSides)
{
    int below = 0, above = 0;
    for (int i = 0; i < 1000; ++i) (random_scale(3) >= 1 ? above : below)++;
    EXPECT_GT(below, 100);
    EXPECT_GT(above, 100);
}

TEST(Utils, TimePointIsMonotonicMicroseconds)
{
    double a = get_time_point();
    double b = get_time_point();
    EXPECT_GE(b, a);
    EXPECT_GT(a, 0);
}
