/* Fuzz target "checksum": generate_CRC_512 over arbitrary chunks and
 * lengths, and generate_CRC over the image body, against the reference
 * sum the tests use (tests/reference_image.h).
 *
 * Input: 4 bytes of starting sum, 4 bytes of a signed length for one direct
 * call, 2 bytes of chunk size, 1 flag byte (all little-endian), then the
 * body. Every chunk handed to generate_CRC_512 is copied into a heap block of
 * exactly its length, so ASan reports a read of even one byte beyond it. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "reference_image.h"
#include "swug_build.h"
#include "swug_image.h"

static const size_t CONTROL_SIZE = 11;

static uint32_t le(const uint8_t *p, size_t n)
{
    uint32_t v = 0;
    for (size_t k = 0; k < n; k++)
        v |= (uint32_t)p[k] << (8 * k);
    return v;
}

/* generate_CRC_512 over body[0..len) held in a block of exactly len bytes.
 * A length of 0 or less gets no block at all: reading anything is a crash. */
static uint32_t sum_exact(const uint8_t *body, int32_t len, uint32_t in_crc)
{
    if (len <= 0)
        return generate_CRC_512(nullptr, len, in_crc);
    uint8_t *block = (uint8_t *)malloc((size_t)len);
    FUZZ_CHECK(block != nullptr);
    memcpy(block, body, (size_t)len);
    uint32_t sum = generate_CRC_512(block, len, in_crc);
    free(block);
    return sum;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < CONTROL_SIZE)
        return 0;
    uint32_t in_crc = le(data, 4);
    int32_t direct_len = (int32_t)le(data + 4, 4);
    size_t chunk = le(data + 8, 2);
    uint8_t flags = data[10];
    const uint8_t *body = data + CONTROL_SIZE;
    size_t n = size - CONTROL_SIZE;
    if (n > SWUG_BIN_SIZE)
        n = SWUG_BIN_SIZE;

    /* one direct call: a length of 0 or less adds nothing, a longer one is
     * brought within the body */
    if (direct_len <= 0) {
        FUZZ_CHECK(sum_exact(body, direct_len, in_crc) == in_crc);
    } else {
        int32_t len = (size_t)direct_len <= n ? direct_len : (int32_t)((size_t)direct_len % (n + 1));
        FUZZ_CHECK(sum_exact(body, len, in_crc) == in_crc + reference_sum(body, (size_t)len));
    }

    /* the body in chunks of any size: each chunk sums on its own, and with
     * chunks of a multiple of four (flag bit 0) the total is the whole body's */
    if (chunk == 0)
        chunk = 512;
    if (flags & 1)
        chunk = (chunk + 3) & ~(size_t)3;
    uint32_t sum = in_crc, want = in_crc;
    for (size_t pos = 0; pos < n; pos += chunk) {
        size_t len = n - pos < chunk ? n - pos : chunk;
        sum = sum_exact(body + pos, (int32_t)len, sum);
        want += reference_sum(body + pos, len);
    }
    FUZZ_CHECK(sum == want);
    if (flags & 1)
        FUZZ_CHECK(sum == in_crc + reference_sum(body, n));

    /* generate_CRC over the image body, with 0xFF lying beyond length as a
     * build leaves it */
    memcpy(swug_img.sw_bin, body, n);
    size_t fill = SWUG_BIN_SIZE - n < 8 ? SWUG_BIN_SIZE - n : 8;
    memset(swug_img.sw_bin + n, 0xFF, fill);
    swug_img.sw_str.length = (uint32_t)n;
    swug_img.sw_str.CRC = 0x12345678;
    generate_CRC();
    FUZZ_CHECK(swug_img.sw_str.CRC == reference_sum(body, n));
    return 0;
}
