/* The checksum, the fill rule and the header bytes. */
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference_image.h"
#include "swug_build.h"
#include "swug_image.h"
#include "word_sum.h"

static uint32_t sum_of(const char *bytes, int32_t len)
{
    return generate_CRC_512((const uint8_t *)bytes, len, 0);
}

/* Load `length` pattern bytes into swug_img (0xFF beyond) and checksum them. */
static uint32_t image_crc(uint32_t length)
{
    memset(&swug_img, 0xFF, sizeof swug_img);
    for (uint32_t i = 0; i < length; i++)
        swug_img.sw_bin[i] = (uint8_t)(i * 131u + (i >> 7));
    swug_img.sw_str.length = length;
    generate_CRC();
    return swug_img.sw_str.CRC;
}

/* Worked by hand: the code and the reference sum the other tests trust. */
TEST(Checksum, WorkedValues)
{
    struct { std::string bytes; uint32_t sum; } cases[] = {
        {"abc", 0x00636261u},
        {"abcde", 0x646362C6u},
        {"\x01\x02\x03\x04", 0x04030201u},
        {"\xff\xff\xff\xff\xff\xff\xff", 0x00FFFFFEu},
    };
    for (auto &c : cases) {
        EXPECT_EQ(sum_of(c.bytes.data(), (int32_t)c.bytes.size()), c.sum) << c.bytes;
        EXPECT_EQ(reference_sum(c.bytes), c.sum) << c.bytes;
    }
}

TEST(Checksum, RunningSumAndEmptyChunk)
{
    EXPECT_EQ(generate_CRC_512((const uint8_t *)"abc", 0, 0x12345678u), 0x12345678u);
    EXPECT_EQ(generate_CRC_512((const uint8_t *)"\x01", 1, 0xFFFFFFFFu), 0u); /* wraps */
    EXPECT_EQ(sum_of("\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0x04030201u + 0x08070605u);
}

/* Found by the checksum fuzz target: len - 4 overflowed for the lowest
 * lengths (UBSan reports it in the asan preset). A negative length reads
 * nothing: no chunk is given here at all. */
TEST(Checksum, NegativeLengthAddsNothing)
{
    for (int32_t len : {-1, -4, -5, INT32_MIN + 4, INT32_MIN + 3, INT32_MIN})
        EXPECT_EQ(generate_CRC_512(nullptr, len, 0x12345678u), 0x12345678u) << len;
}

TEST(Checksum, BytesBeyondLengthNeverCount)
{
    uint8_t buf[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0xFF, 0xFF, 0xFF};
    for (int32_t len = 0; len <= 5; len++)
        EXPECT_EQ(generate_CRC_512(buf, len, 0), reference_sum(buf, (size_t)len)) << len;
}

TEST(Checksum, WholeBodyInChunks)
{
    /* 513: the second chunk is one byte, added unshifted; the others cover
     * word and tail boundaries around the chunk size and the largest body */
    for (uint32_t length : {1u, 4u, 511u, 512u, 513u, 515u, 1024u, 204801u, 1048575u, 1048576u}) {
        uint32_t crc = image_crc(length);
        EXPECT_EQ(crc, reference_sum(swug_img.sw_bin, length)) << length;
    }
    uint32_t before = image_crc(512);
    swug_img.sw_bin[512] = 0x7F;
    swug_img.sw_str.length = 513;
    generate_CRC();
    EXPECT_EQ(swug_img.sw_str.CRC, before + 0x7Fu);
}

/* The sum keeps several sums side by side and, where the processor has
 * them, uses vector registers, with separate code for the last steps: every
 * length from none to past four chunks, at every start alignment, must give
 * the byte-by-byte sum. Each case sits at the very end of its own allocation,
 * so a read past the chunk is caught under AddressSanitizer. */
TEST(Checksum, EveryLengthAndAlignment)
{
    std::vector<uint8_t> data(2100 + 64);
    for (size_t i = 0; i < data.size(); i++) /* many 0xFF bytes: lots of carries */
        data[i] = (uint8_t)(i % 3 == 0 ? 0xFF : i * 37u + (i >> 5));

    for (uint32_t offset : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 31u, 33u}) {
        for (uint32_t len = 0; len <= 2100; len++) {
            std::vector<uint8_t> buf(data.begin(), data.begin() + offset + len);
            const uint8_t *c = buf.data() + offset;
            uint32_t want = 0x89ABCDEFu + reference_sum(c, len);
            ASSERT_EQ(generate_CRC_512(c, (int32_t)len, 0x89ABCDEFu), want)
                << "length " << len << " offset " << offset;
            ASSERT_EQ(sum_le32_portable(c, len, 0x89ABCDEFu), want)
                << "length " << len << " offset " << offset;
        }
    }
}

TEST(Checksum, EmptyBodyAndWrapAround)
{
    EXPECT_EQ(image_crc(0), 0u);
    memset(&swug_img, 0xFF, sizeof swug_img);
    swug_img.sw_str.length = 1048576; /* 262,144 words of 0xFFFFFFFF */
    generate_CRC();
    EXPECT_EQ(swug_img.sw_str.CRC, (uint32_t)(0u - 262144u));
}

TEST(FillRule, BoundsAreExact)
{
    struct { uint32_t length, body; uint64_t file; } cases[] = {
        {1, 1, 51},
        {204800, 204800, 204850},
        {204801, 409550, 409600},
        {300000, 409550, 409600},
        {409550, 409550, 409600},
        {409551, 409551, 409601},
        {1048576, 1048576, 1048626},
    };
    for (auto &c : cases) {
        EXPECT_EQ(swug_body_size(c.length), c.body) << c.length;
        EXPECT_EQ(swug_file_size(c.length), c.file) << c.length;
        EXPECT_EQ(reference_image_size(c.length), c.file) << c.length;
    }
}

TEST(Header, LittleEndianOnDiskAndBack)
{
    SWUG_STRUCT h, back;
    uint8_t bytes[SWUG_HEADER_SIZE];

    memset(&h, 0, sizeof h);
    h.sw_or_fmw = 0x5A;
    memcpy(h.version, "v1", 2);
    h.length = 0x01020304u;
    h.CRC = 0xA1B2C3D4u;
    swug_put_header(&h, bytes);
    const uint8_t want[] = {0x04, 0x03, 0x02, 0x01, 0xD4, 0xC3, 0xB2, 0xA1};
    EXPECT_EQ(bytes[0], 0x5A);
    EXPECT_EQ(memcmp(bytes + 1, "v1\0\0", 4), 0);
    EXPECT_EQ(memcmp(bytes + 32, want, sizeof want), 0);

    swug_get_header(bytes, &back);
    EXPECT_EQ(memcmp(&h, &back, sizeof h), 0);
}
