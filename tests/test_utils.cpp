// Utilities: byte-size formatting, line reading, label paths, rankings, random ranges, fatal exits.
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Utils, FormatByteSize)
{
    EXPECT_STREQ(format_byte_size(1023), "1023 bytes");
    EXPECT_STREQ(format_byte_size(1024), "1.0 KiB");
    EXPECT_STREQ(format_byte_size(1048576), "1.0 MiB");
    EXPECT_STREQ(format_byte_size(1073741824), "1.0 GiB");
}

TEST(Utils, TopK)
{
    float v[] = {1, 3, 3, 2};
    int idx[5];
    top_k(v, 4, 3, idx);
    EXPECT_EQ(idx[0], 1);
    EXPECT_EQ(idx[1], 2);
    EXPECT_EQ(idx[2], 3);
    top_k(v, 4, 5, idx);
    EXPECT_EQ(idx[3], 0);
    EXPECT_EQ(idx[4], -1);
}
