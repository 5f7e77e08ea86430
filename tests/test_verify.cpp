/* The image checks on bytes in memory: what they find and what they record. */
#include <cstring>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "swug_image.h"
#include "swug_verify.h"

static const uint8_t *bytes(const std::string &s)
{
    return (const uint8_t *)s.data();
}

static std::vector<int> kinds(const SWUG_VERIFY &v)
{
    std::vector<int> k;
    for (uint32_t i = 0; i < v.problem_count; i++)
        k.push_back(v.problems[i].kind);
    return k;
}

static SWUG_VERIFY check(const std::string &image)
{
    SWUG_VERIFY v;
    swug_verify_image(bytes(image), image.size(), &v);
    return v;
}

/* Without INPUT a changed kind or version byte is only noted; against INPUT
 * every changed byte of the image, header included, is a problem. */
TEST(VerifyChecks, EveryChangedByteIsFound)
{
    std::string input = pattern(23), image = reference_image(input);
    for (size_t i = 0; i < image.size(); i++) {
        std::string bad = image;
        bad[i] = (char)(bad[i] ^ 0x40);
        SWUG_VERIFY v = check(bad);
        if (i < 32) {
            EXPECT_EQ(v.problem_count, 0u) << "kind and version are noted, not judged: " << i;
            EXPECT_EQ(v.kind_not_ours + v.version_not_ours, 1) << i;
        } else {
            EXPECT_GE(v.problem_count, 1u) << "byte " << i;
        }
        swug_verify_input(&v, bytes(input), input.size());
        EXPECT_GE(v.problem_count, 1u) << "against INPUT, byte " << i;
    }
    for (size_t n = 1; n < image.size(); n++) {
        SWUG_VERIFY v = check(image.substr(0, n));
        if (n < 50)
            EXPECT_EQ(kinds(v), std::vector<int>{SWUG_PROBLEM_SHORT}) << "cut to " << n;
        else
            EXPECT_EQ(kinds(v)[0], SWUG_PROBLEM_SIZE) << "cut to " << n;
    }
}

TEST(VerifyChecks, WhatIsStillCheckedWhenSizesDisagree)
{
    std::string image = reference_image(pattern(1000, 1));

    /* length beyond the body room: nothing to sum, the trailer is still checked */
    SWUG_VERIFY v = check(image.substr(0, image.size() - 1));
    EXPECT_FALSE(v.crc_done);
    EXPECT_TRUE(v.trailer_checked);
    EXPECT_EQ(kinds(v), (std::vector<int>{SWUG_PROBLEM_SIZE, SWUG_PROBLEM_TRAILER}));

    /* a length of 0 or over 1 MiB: no body to speak of, only the trailer */
    for (uint32_t length : {0u, SWUG_BIN_SIZE + 1}) {
        std::string bad = image;
        swug_put_le32((uint8_t *)&bad[32], length);
        v = check(bad);
        EXPECT_FALSE(v.length_ok || v.crc_done || v.fill_checked);
        EXPECT_EQ(kinds(v), std::vector<int>{SWUG_PROBLEM_LENGTH}) << length;
    }
}

TEST(VerifyChecks, FilesOutsideTheSizeRange)
{
    std::string image = reference_image(pattern(1000, 1));

    SWUG_VERIFY v = check(image.substr(0, 45)); /* a header, no trailer */
    EXPECT_TRUE(v.has_header);
    EXPECT_EQ(v.header.length, 1000u);
    EXPECT_FALSE(v.has_layout || v.trailer_checked);
    EXPECT_EQ(kinds(v), std::vector<int>{SWUG_PROBLEM_SHORT});
    EXPECT_EQ(kinds(check("")), std::vector<int>{SWUG_PROBLEM_EMPTY});

    /* only the header is looked at in a file over the largest image */
    swug_verify_image(bytes(image), 5ull << 30, &v);
    EXPECT_TRUE(v.has_header);
    EXPECT_FALSE(v.has_layout || v.crc_done);
    EXPECT_EQ(kinds(v), std::vector<int>{SWUG_PROBLEM_TOO_LARGE});
    std::string input = pattern(1000, 1);
    swug_verify_input(&v, bytes(input), input.size());
    EXPECT_FALSE(v.input_compared);
    EXPECT_EQ(v.problem_count, 1u);

    /* the largest image is valid, one byte more is too large */
    std::string largest = reference_image(pattern(SWUG_BIN_SIZE));
    ASSERT_EQ(largest.size(), SWUG_IMAGE_MAX);
    EXPECT_EQ(check(largest).problem_count, 0u);
    EXPECT_EQ(kinds(check(largest + '\xff')), std::vector<int>{SWUG_PROBLEM_TOO_LARGE});
}

TEST(VerifyChecks, VersionTextIsPrintableAndWhole)
{
    char version[SWUG_VERSION_SIZE], text[SWUG_VERSION_TEXT_SIZE];

    memset(version, 0, sizeof version);
    swug_version_text(version, text);
    EXPECT_STREQ(text, "\"\"");
    memcpy(version, "v1.2\"\\\x13" "4\0x\xff", 11);
    swug_version_text(version, text);
    EXPECT_STREQ(text, "\"v1.2\\\"\\\\\\x{13}4\\x{00}x\\x{FF}\"");
    memset(version, 0x80, sizeof version); /* the longest text there is */
    swug_version_text(version, text);
    EXPECT_EQ(strlen(text), SWUG_VERSION_TEXT_SIZE - 1);
}

TEST(VerifyChecks, BandBounds)
{
    EXPECT_STREQ(swug_band_text(204800), "length 1 to 204800: not filled");
    EXPECT_STREQ(swug_band_text(204801), "length 204801 to 409550: filled up to 409550");
    EXPECT_STREQ(swug_band_text(409550), "length 204801 to 409550: filled up to 409550");
    EXPECT_STREQ(swug_band_text(409551), "length 409551 to 1048576: not filled");
    EXPECT_STREQ(swug_band_text(0), "length outside 1 to 1048576");
    EXPECT_STREQ(swug_band_text(1048577), "length outside 1 to 1048576");
}
