// Images: decoding of fixtures written here, the bilinear resize against a per-pixel reference,
// letterbox and crop geometry, JPEG round trips, colour conversions, bad files, and the drawing and
// printing of detections.
#include "image.h"

#include <gtest/gtest.h>

#if __has_include(<stb_image_write.h>)
#include <stb_image_write.h>
#else
#include <stb/stb_image_write.h>
#endif

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

float px(image im, int x, int y, int k)
{
    return im.data[x + im.w * (y + im.h * k)];
}

image random_image(int w, int h, int c, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(0, 1);
    image im = make_image(w, h, c);
    for (int i = 0; i < w * h * c; ++i) im.data[i] = dist(gen);
    return im;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every test runs in a fresh directory, since decoding failures append to "bad.list" there.
class ImageFiles : public testing::Test {
protected:
    void SetUp() override
    {
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("quillon_image_" + std::to_string(getpid()) + "_" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    fs::path old_, dir_;
};

// Interleaved 8-bit samples with distinct values per pixel and channel.
std::vector<unsigned char> pattern(int w, int h, int c)
{
    std::vector<unsigned char> bytes((size_t)w * h * c);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (unsigned char)((i * 37 + 11) % 256);
    return bytes;
}

TEST_F(ImageFiles, DecodesLosslessFixturesExactly)
{
    const int w = 5, h = 3;
    for (int c : {1, 3, 4}) {
        SCOPED_TRACE(c);
        std::vector<unsigned char> bytes = pattern(w, h, c);
        ASSERT_TRUE(stbi_write_png("f.png", w, h, c, bytes.data(), w * c));
        ASSERT_TRUE(stbi_write_bmp("f.bmp", w, h, c == 4 ? 4 : 3, pattern(w, h, c == 4 ? 4 : 3).data()));
        image im = load_image_stb("f.png", 0);
        ASSERT_EQ(im.w, w);
        ASSERT_EQ(im.h, h);
        ASSERT_EQ(im.c, c);
        for (int k = 0; k < c; ++k)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    EXPECT_EQ(px(im, x, y, k), (float)(bytes[k + c * x + c * w * y] / 255.0));
        free_image(im);

        image bmp = load_image_color((char *)"f.bmp", 0, 0);
        std::vector<unsigned char> bb = pattern(w, h, c == 4 ? 4 : 3);
        int bc = c == 4 ? 4 : 3;
        ASSERT_EQ(bmp.c, 3);
        for (int k = 0; k < 3; ++k)
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) EXPECT_EQ(px(bmp, x, y, k), (float)(bb[k + bc * x + bc * w * y] / 255.0));
        free_image(bmp);
    }
    EXPECT_FALSE(fs::exists("bad.list"));
}

TEST_F(ImageFiles, LoadImageColorResizesOnlyWhenAsked)
{
    std::vector<unsigned char> bytes = pattern(6, 4, 3);
    ASSERT_TRUE(stbi_write_png("f.png", 6, 4, 3, bytes.data(), 18));
    image same = load_image_color((char *)"f.png", 6, 4);
    image sized = load_image_color((char *)"f.png", 3, 2);
    image ref = load_image_stb("f.png", 3);
    image expect = resize_image(ref, 3, 2);
    ASSERT_EQ(same.w, 6);
    ASSERT_EQ(sized.w, 3);
    ASSERT_EQ(sized.h, 2);
    for (int i = 0; i < 3 * 2 * 3; ++i) EXPECT_EQ(sized.data[i], expect.data[i]);
    for (image im : {same, sized, ref, expect}) free_image(im);
}

TEST_F(ImageFiles, JpegRoundTrip)
{
    const int w = 32, h = 24;
    image im = make_image(w, h, 3);
    for (int k = 0; k < 3; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) im.data[x + w * (y + h * k)] = (x + y + 10.0f * k) / 100.0f + 0.1f;
    save_image_options(im, "out");
    ASSERT_TRUE(fs::exists("out.jpg"));
    image back = load_image_stb("out.jpg", 3);
    ASSERT_EQ(back.w, w);
    ASSERT_EQ(back.h, h);
    double err = 0;
    for (int i = 0; i < w * h * 3; ++i) err = std::max(err, (double)std::fabs(back.data[i] - im.data[i]));
    EXPECT_LT(err, 0.05);
    free_image(back);

    testing::internal::CaptureStderr();
    show_image(im, "shown");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not compiled with OpenCV, saving to shown.png instead\n");
    EXPECT_TRUE(fs::exists("shown.jpg"));

    testing::internal::CaptureStderr();
    save_image_options(im, "missing_dir/out");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to write image missing_dir/out.jpg\n");
    free_image(im);
}

void expect_placeholder(image im)
{
    ASSERT_EQ(im.w, 10);
    ASSERT_EQ(im.h, 10);
    ASSERT_EQ(im.c, 3);
    for (int i = 0; i < 300; ++i) EXPECT_EQ(im.data[i], 0);
}

TEST_F(ImageFiles, BadFilesGiveThePlaceholderAndABadListLine)
{
    std::vector<unsigned char> bytes = pattern(64, 64, 3);
    ASSERT_TRUE(stbi_write_png("full.png", 64, 64, 3, bytes.data(), 64 * 3));
    std::string png = read_file("full.png");
    std::ofstream("truncated.png", std::ios::binary) << png.substr(0, png.size() / 2);
    std::mt19937 gen(7);
    std::string noise(2000, '\0');
    for (char &ch : noise) ch = (char)(gen() & 0xff);
    std::ofstream("noise.jpg", std::ios::binary) << noise;
    std::ofstream("empty.png", std::ios::binary);
    // A header that declares 30000 x 30000 pixels followed by almost nothing.
    std::ofstream("huge.ppm", std::ios::binary) << "P6\n30000 30000\n255\n" << std::string(64, 'x');

    struct bad_case {
        const char *file;
        const char *reason;
    };
    const bad_case cases[] = {
        {"missing.png", "can't fopen"}, {"noise.jpg", "unknown image type"}, {"empty.png", "unknown image type"},
        {"huge.ppm", "image too large"}, {"truncated.png", nullptr},
    };
    std::string expected_list;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        testing::internal::CaptureStderr();
        image im = load_image_color((char *)c.file, 0, 0);
        std::string err = testing::internal::GetCapturedStderr();
        std::string head = std::string("Cannot load image \"") + c.file + "\"\nSTB Reason: ";
        EXPECT_EQ(err.substr(0, head.size()), head);
        if (c.reason) EXPECT_EQ(err, head + c.reason + "\n");
        expect_placeholder(im);
        free_image(im);
        expected_list += std::string(c.file) + "\n";
    }
    EXPECT_EQ(read_file("bad.list"), expected_list);

    std::string long_name(1500, 'a');
    testing::internal::CaptureStderr();
    image im = load_image_stb(long_name.c_str(), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot load image \"name is too long\"\nSTB Reason: can't fopen\n");
    free_image(im);
    EXPECT_EQ(read_file("bad.list"), expected_list + "name is too long\n");
    expected_list += "name is too long\n";

    std::vector<unsigned char> bytes2 = pattern(2, 2, 3);
    ASSERT_TRUE(stbi_write_png("ok.png", 2, 2, 3, bytes2.data(), 6));
    testing::internal::CaptureStderr();
    image five = load_image_stb("ok.png", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot load image \"ok.png\"\nSTB Reason: bad req_comp\n");
    expect_placeholder(five);
    free_image(five);

    // The decoder may accept a cut JPEG (missing blocks) or refuse it; either way the result is usable.
    image jpg = make_image(32, 32, 3);
    fill_image(jpg, 0.3f);
    save_image_options(jpg, "cut");
    free_image(jpg);
    std::string cut = read_file("cut.jpg");
    std::ofstream("cut.jpg", std::ios::binary | std::ios::trunc) << cut.substr(0, cut.size() / 2);
    testing::internal::CaptureStderr();
    image partial = load_image_color((char *)"cut.jpg", 0, 0);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE((partial.w == 32 && partial.h == 32) || (partial.w == 10 && partial.h == 10));
    EXPECT_EQ(partial.c, 3);
    free_image(partial);

    // A placeholder-sized request still resizes it.
    testing::internal::CaptureStderr();
    image sized = load_image_color((char *)"missing.png", 4, 4);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(sized.w, 4);
    free_image(sized);
}

// The resize written the plain way, one value at a time.
image reference_resize(image im, int w, int h)
{
    image resized = make_image(w, h, im.c);
    image part = make_image(w, im.h, im.c);
    float w_scale = (float)(im.w - 1) / (w - 1);
    float h_scale = (float)(im.h - 1) / (h - 1);
    for (int k = 0; k < im.c; ++k)
        for (int r = 0; r < im.h; ++r)
            for (int x = 0; x < w; ++x) {
                float val;
                if (x == w - 1 || im.w == 1) {
                    val = px(im, im.w - 1, r, k);
                } else {
                    float sx = x * w_scale;
                    int ix = (int)sx;
                    float dx = sx - ix;
                    val = (1 - dx) * px(im, ix, r, k) + dx * px(im, ix + 1, r, k);
                }
                part.data[x + w * (r + im.h * k)] = val;
            }
    for (int k = 0; k < im.c; ++k)
        for (int y = 0; y < h; ++y) {
            float sy = h == 1 ? 0 : y * h_scale;
            int iy = (int)sy;
            float dy = sy - iy;
            for (int x = 0; x < w; ++x) {
                float val = (1 - dy) * px(part, x, iy, k);
                resized.data[x + w * (y + h * k)] = val;
            }
            if (y == h - 1 || im.h == 1) continue;
            for (int x = 0; x < w; ++x) {
                float val = dy * px(part, x, iy + 1, k);
                resized.data[x + w * (y + h * k)] += val;
            }
        }
    free_image(part);
    return resized;
}

TEST(Resize, MatchesPerPixelReference)
{
    struct shape {
        int sw, sh, c, w, h;
    };
    const shape shapes[] = {{17, 13, 3, 41, 29}, {640, 480, 3, 416, 312}, {9, 7, 1, 3, 2}, {5, 1, 2, 11, 4},
                            {1, 6, 3, 4, 9},     {8, 8, 3, 1, 1},         {8, 8, 3, 8, 1}, {7, 5, 3, 1, 5}};
    unsigned seed = 1;
    for (const auto &s : shapes) {
        SCOPED_TRACE(testing::Message() << s.sw << "x" << s.sh << " -> " << s.w << "x" << s.h);
        image im = random_image(s.sw, s.sh, s.c, seed++);
        image fast = resize_image(im, s.w, s.h);
        image ref = reference_resize(im, s.w, s.h);
        ASSERT_EQ(fast.w, s.w);
        ASSERT_EQ(fast.h, s.h);
        ASSERT_EQ(fast.c, s.c);
        for (int i = 0; i < s.w * s.h * s.c; ++i) ASSERT_EQ(fast.data[i], ref.data[i]) << i;
        for (image x : {im, fast, ref}) free_image(x);
    }
}

TEST(Resize, HandComputedColumnsAndCopies)
{
    image im = make_image(4, 1, 1);
    for (int i = 0; i < 4; ++i) im.data[i] = (float)i * 2;
    image out = resize_image(im, 7, 1);
    const float expected[] = {0, 1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 7; ++i) EXPECT_FLOAT_EQ(out.data[i], expected[i]);
    EXPECT_EQ(out.data[6], 6.0f);

    image copy = resize_image(im, 4, 1);
    EXPECT_NE(copy.data, im.data);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(copy.data[i], im.data[i]);

    image tall = make_image(1, 2, 1);
    tall.data[0] = 0;
    tall.data[1] = 1;
    image three = resize_image(tall, 1, 3);
    EXPECT_FLOAT_EQ(three.data[1], 0.5f);
    EXPECT_EQ(three.data[2], 1.0f);
    for (image x : {im, out, copy, tall, three}) free_image(x);

    image empty = make_image(0, 0, 3);
    image from_empty = resize_image(empty, 3, 2);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(from_empty.data[i], 0);
    free_image(from_empty);
    free_image(empty);
}

TEST(Letterbox, CentresThePictureOnGrey)
{
    image im = random_image(640, 480, 3, 3);
    image boxed = letterbox_image(im, 416, 416);
    image inner = resize_image(im, 416, 312);
    ASSERT_EQ(boxed.w, 416);
    ASSERT_EQ(boxed.h, 416);
    for (int k = 0; k < 3; ++k)
        for (int y = 0; y < 416; ++y)
            for (int x = 0; x < 416; ++x) {
                float v = px(boxed, x, y, k);
                if (y < 52 || y >= 364)
                    ASSERT_EQ(v, 0.5f);
                else
                    ASSERT_EQ(v, px(inner, x, y - 52, k));
            }
    for (image x : {im, boxed, inner}) free_image(x);

    // Odd leftovers go to the right bar.
    image narrow = random_image(3, 4, 1, 4);
    image nb = letterbox_image(narrow, 6, 6);
    for (int y = 0; y < 6; ++y) {
        EXPECT_EQ(px(nb, 0, y, 0), 0.5f);
        EXPECT_EQ(px(nb, 5, y, 0), 0.5f);
        EXPECT_NE(px(nb, 1, y, 0), 0.5f);
    }
    free_image(narrow);
    free_image(nb);
}

TEST(Geometry, CropRepeatsEdges)
{
    image im = random_image(6, 5, 2, 5);
    image c = crop_image(im, -10, 2, 14, 6);
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 14; ++x)
                EXPECT_EQ(px(c, x, y, k), px(im, std::clamp(x - 10, 0, 5), std::clamp(y + 2, 0, 4), k));
    free_image(c);
    free_image(im);
}

TEST(Geometry, ResizeMin)
{
    image wide = make_image(200, 100, 3);
    image r = resize_min(wide, 50);
    EXPECT_EQ(r.w, 100);
    EXPECT_EQ(r.h, 50);
    EXPECT_NE(r.data, wide.data);
    image sq = make_image(100, 100, 3);
    image same = resize_min(sq, 100);
    EXPECT_EQ(same.data, sq.data);
    for (image x : {wide, r, sq}) free_image(x);
}

TEST(Geometry, EmbedClipsAndMirrorReverses)
{
    image src = random_image(3, 3, 1, 6);
    image dst = make_image(4, 4, 1);
    embed_image(src, dst, 2, -1);
    EXPECT_EQ(px(dst, 2, 0, 0), px(src, 0, 1, 0));
    EXPECT_EQ(px(dst, 3, 1, 0), px(src, 1, 2, 0));
    EXPECT_EQ(px(dst, 2, 2, 0), 0);
    EXPECT_EQ(px(dst, 1, 0, 0), 0);

    image m = copy_image(src);
    mirror_image(m);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(px(m, x, y, 0), px(src, 2 - x, y, 0));
    for (image x : {src, dst, m}) free_image(x);
}

TEST(Geometry, RotateCropWithoutRotationIsIdentity)
{
    image im = random_image(8, 6, 2, 7);
    image out = rotate_crop_image(im, 0, 1, 8, 6, 0, 0, 1);
    for (int i = 0; i < 8 * 6 * 2; ++i) EXPECT_FLOAT_EQ(out.data[i], im.data[i]);
    free_image(out);

    image two = make_image(2, 2, 1);
    two.data[0] = 1, two.data[1] = 2, two.data[2] = 3, two.data[3] = 4;
    EXPECT_FLOAT_EQ(bilinear_interpolate(two, 0.5f, 0.5f, 0), 2.5f);
    EXPECT_FLOAT_EQ(bilinear_interpolate(two, 1.5f, 0, 0), 1.0f);
    EXPECT_FLOAT_EQ(bilinear_interpolate(two, -1, -1, 0), 0);
    free_image(two);
    free_image(im);

    image src = random_image(20, 16, 3, 8);
    image aug = random_augment_image(src, 10, 1.2f, 12, 20, 10);
    EXPECT_EQ(aug.w, 10);
    EXPECT_EQ(aug.h, 10);
    EXPECT_EQ(aug.c, 3);
    free_image(aug);
    free_image(src);
}

TEST(Colour, HsvRoundTripAndHandValues)
{
    image im = random_image(16, 8, 3, 9);
    image orig = copy_image(im);
    rgb_to_hsv(im);
    for (int i = 0; i < 16 * 8 * 3; ++i) {
        EXPECT_GE(im.data[i], 0);
        EXPECT_LE(im.data[i], 1);
    }
    hsv_to_rgb(im);
    for (int i = 0; i < 16 * 8 * 3; ++i) EXPECT_NEAR(im.data[i], orig.data[i], 1e-5);
    free_image(im);
    free_image(orig);

    struct hsv_case {
        float r, g, b, h, s, v;
    };
    const hsv_case cases[] = {
        {1, 0, 0, 0, 1, 1},          {0, 1, 0, 1.0f / 3, 1, 1},    {0, 0, 1, 2.0f / 3, 1, 1},
        {1, 0, 0.5f, 11.0f / 12, 1, 1}, {0.5f, 0.5f, 0.5f, 0, 0, 0.5f}, {0, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        image p = make_image(1, 1, 3);
        p.data[0] = c.r, p.data[1] = c.g, p.data[2] = c.b;
        rgb_to_hsv(p);
        EXPECT_NEAR(p.data[0], c.h, 1e-6);
        EXPECT_NEAR(p.data[1], c.s, 1e-6);
        EXPECT_NEAR(p.data[2], c.v, 1e-6);
        free_image(p);
    }
}

TEST(Colour, DistortWrapsHueAndClamps)
{
    image p = make_image(1, 1, 3);
    p.data[0] = 0.9f, p.data[1] = 1, p.data[2] = 1;
    hsv_to_rgb(p);
    distort_image(p, 0.3f, 1, 1);
    rgb_to_hsv(p);
    EXPECT_NEAR(p.data[0], 0.2f, 1e-5);
    free_image(p);

    image g = make_image(2, 1, 1);
    g.data[0] = 0.4f, g.data[1] = 0.8f;
    distort_image(g, 0.5f, 3, 2);
    EXPECT_FLOAT_EQ(g.data[0], 0.8f);
    EXPECT_EQ(g.data[1], 1.0f);
    free_image(g);

    image r = random_image(5, 5, 3, 10);
    random_distort_image(r, 0.1f, 1.5f, 1.5f);
    for (int i = 0; i < 75; ++i) {
        EXPECT_GE(r.data[i], 0);
        EXPECT_LE(r.data[i], 1);
    }
    free_image(r);
}

TEST(Colour, ChannelOperations)
{
    image im = make_image(2, 1, 3);
    const float v[] = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
    std::copy(v, v + 6, im.data);

    image gray = grayscale_image(im);
    EXPECT_EQ(gray.c, 1);
    EXPECT_FLOAT_EQ(gray.data[0], 0.299f * 0.1f + 0.587f * 0.3f + 0.114f * 0.5f);
    image bin = binarize_image(im, 0.3f);
    EXPECT_EQ(bin.data[1], 0);
    EXPECT_EQ(bin.data[2], 0);
    EXPECT_EQ(bin.data[3], 1);

    rgbgr_image(im);
    EXPECT_EQ(im.data[0], 0.5f);
    EXPECT_EQ(im.data[4], 0.1f);

    make_image_red(im);
    EXPECT_FLOAT_EQ(im.data[0], 0.5f + 0.3f + 0.1f);
    EXPECT_EQ(im.data[2], 0);
    EXPECT_EQ(im.data[5], 0);

    image q = make_image(3, 1, 1);
    q.data[0] = 1, q.data[1] = 0, q.data[2] = 0.5f;
    quantize_image(q);
    EXPECT_EQ(q.data[0], (float)(1 + 0.5 / 255));
    EXPECT_EQ(q.data[1], (float)(0.5 / 255));
    EXPECT_EQ(q.data[2], (float)(127 / 255.0 + 0.5 / 255));

    image b = make_image(2, 2, 3);
    std::vector<unsigned char> bytes = pattern(2, 2, 3);
    copy_image_from_bytes(b, (char *)bytes.data());
    for (int k = 0; k < 3; ++k)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x) EXPECT_EQ(px(b, x, y, k), (float)(bytes[k + 3 * x + 6 * y] / 255.0));
    for (image x : {im, gray, bin, q, b}) free_image(x);
}

TEST(Colour, AttentionImageBlendsWithInput)
{
    const int w = 8, h = 8, c = 3, n = w * h * c;
    image delta = random_image(w, h, c, 11);
    image input = random_image(w, h, c, 12);
    image att = make_attention_image(n, delta.data, input.data, w, h, c, 0);
    ASSERT_EQ(att.w, w);
    ASSERT_EQ(att.h, h);
    for (int i = 0; i < n; ++i) EXPECT_FLOAT_EQ(att.data[i], input.data[i]);
    // The red conversion leaves only channel 0 non-zero before normalisation.
    free_image(att);

    image flat = make_image(w, h, c);
    image a2 = make_attention_image(n, flat.data, input.data, w, h, c, 1);
    for (int i = 0; i < n; ++i) EXPECT_EQ(a2.data[i], 0);
    for (image x : {delta, input, flat, a2}) free_image(x);
}

TEST(Colour, PictureLossKeepsOnlyStrongOutputs)
{
    float v[] = {0, 0, 0, 0, 0, 0, 0, 10};
    apply_picture_loss(v, 8, 1);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(v[i], 0);
    EXPECT_EQ(v[7], 10);
    float w[] = {1, 2, 3, 4};
    apply_picture_loss(w, 4, 0);
    EXPECT_EQ(w[0] + w[1], 0);
    EXPECT_EQ(w[2], 3);
    EXPECT_EQ(w[3], 4);
}

TEST(Drawing, BoxOutlines)
{
    image im = make_image(6, 5, 3);
    draw_box(im, -3, 1, 4, 9, 0.2f, 0.4f, 0.6f);
    for (int x = 0; x <= 4; ++x) {
        EXPECT_EQ(px(im, x, 1, 0), 0.2f);
        EXPECT_EQ(px(im, x, 4, 2), 0.6f);
    }
    for (int y = 1; y <= 4; ++y) {
        EXPECT_EQ(px(im, 0, y, 1), 0.4f);
        EXPECT_EQ(px(im, 4, y, 1), 0.4f);
    }
    EXPECT_EQ(px(im, 2, 2, 0), 0);
    EXPECT_EQ(px(im, 5, 1, 0), 0);
    EXPECT_EQ(px(im, 2, 0, 0), 0);

    image bw = make_image(6, 6, 1);
    draw_box_width_bw(bw, 0, 0, 5, 5, 2, 0.8f);
    EXPECT_FLOAT_EQ(px(bw, 0, 0, 0), 0.2f);
    EXPECT_FLOAT_EQ(px(bw, 1, 1, 0), 0.2f);
    EXPECT_EQ(px(bw, 2, 2, 0), 0);
    draw_box(bw, 0, 0, 5, 5, 1, 1, 1);
    EXPECT_EQ(px(bw, 0, 0, 0), 1);
    free_image(im);
    free_image(bw);
}

TEST(Drawing, Colours)
{
    EXPECT_EQ(get_color(2, 0, 80), 1);
    EXPECT_EQ(get_color(1, 0, 80), 0);
    EXPECT_EQ(get_color(0, 0, 80), 1);
    EXPECT_EQ(123457 % 80, 17);
    // 17/80*5 = 1.0625: between (0,0,1) and (0,1,1).
    EXPECT_NEAR(get_color(1, 17, 80), 0.0625, 1e-6);
    EXPECT_NEAR(get_color(0, 17, 80), 0, 1e-6);
    EXPECT_NEAR(get_color(2, 17, 80), 1, 1e-6);
}

TEST(Drawing, LabelsTileAndBorder)
{
    image *sizes[8];
    std::vector<image> glyphs(8 * 128);
    for (int s = 0; s < 8; ++s) {
        sizes[s] = &glyphs[s * 128];
        for (int ch = 32; ch < 127; ++ch) {
            sizes[s][ch] = make_image(4, 10, 3);
            fill_image(sizes[s][ch], 0.5f);
        }
    }
    // Size index 0: each tile overlaps the previous glyph by one column; border (int)(10*0.05) = 0.
    image label = get_label_v3(sizes, "abc", 5);
    EXPECT_EQ(label.w, 4 + 3 + 3);
    EXPECT_EQ(label.h, 10);
    EXPECT_FLOAT_EQ(px(label, 3, 0, 0), 0.25f);
    EXPECT_FLOAT_EQ(px(label, 4, 0, 0), 0.5f);
    free_image(label);

    image bordered = border_image(sizes[0]['a'], 2);
    EXPECT_EQ(bordered.w, 8);
    EXPECT_EQ(px(bordered, 0, 0, 0), 1);
    EXPECT_EQ(px(bordered, 2, 2, 0), 0.5f);
    free_image(bordered);

    image im = make_image(20, 20, 3);
    fill_image(im, 1);
    image lab = make_image(2, 3, 3);
    const float rgb[3] = {1, 0, 0.5f};
    draw_weighted_label(im, 1, 18, lab, rgb, 0.5f);
    // No room above row 1: the label stays at row 1; columns beyond the image are cut.
    EXPECT_FLOAT_EQ(px(im, 18, 1, 0), 0.5f);
    EXPECT_FLOAT_EQ(px(im, 19, 3, 0), 0.5f);
    EXPECT_EQ(px(im, 18, 0, 0), 1);
    EXPECT_EQ(px(im, 18, 4, 0), 1);
    free_image(im);
    free_image(lab);
    for (image &g : glyphs) free_image(g);
}

TEST(Drawing, PrintsDetectionsSortedWithExtendedOutput)
{
    char n0[] = "cat", n1[] = "dont_show_dog", n2[] = "bird";
    char *names[] = {n0, n1, n2};
    float p0[] = {0.0f, 0.9f, 0.3f};  // only a hidden class wins: neither printed nor drawn
    float p1[] = {0.8f, 0.6f, 0.0f};
    float p2[] = {0.0f, 0.0f, 0.555f};
    detection dets[3] = {};
    float *probs[] = {p0, p1, p2};
    const box boxes[] = {{0.1f, 0.1f, 0.1f, 0.1f}, {0.6f, 0.5f, 0.2f, 0.4f}, {0.3f, 0.25f, 0.2f, 0.1f}};
    for (int i = 0; i < 3; ++i) {
        dets[i].bbox = boxes[i];
        dets[i].classes = 3;
        dets[i].prob = probs[i];
        dets[i].objectness = 1;
    }
    int count = 0;
    detection_with_class *sel = get_actual_detections(dets, 3, 0.5f, &count, names);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(sel[0].best_class, 0);
    EXPECT_EQ(sel[1].best_class, 2);
    std::free(sel);

    image im = make_image(100, 200, 3);
    testing::internal::CaptureStdout();
    draw_detections_v3(im, dets, 3, 0.5f, names, nullptr, 3, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "bird: 56%\t(left_x:   20   top_y:   40   width:   20   height:   20)\n"
              "cat: 80%\t(left_x:   50   top_y:   60   width:   20   height:   80)\n"
              "dont_show_dog: 60%\t(left_x:   50   top_y:   60   width:   20   height:   80)\n");
    // The box outline of "cat" (class 0 of 3: magenta).
    EXPECT_EQ(px(im, 50, 60, 0), 1);
    EXPECT_EQ(px(im, 50, 60, 1), 0);
    EXPECT_EQ(px(im, 50, 60, 2), 1);

    testing::internal::CaptureStdout();
    draw_detections_v3(im, dets, 3, 0.5f, names, nullptr, 3, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bird: 56%\ncat: 80%\ndont_show_dog: 60%\n");
    free_image(im);
}

}  // namespace
