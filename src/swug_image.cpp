/* The upgrade image format: fill rule, header bytes and the additive checksum. */
#include "swug_image.h"

#include <cstring>

#include "word_sum.h"

uint32_t swug_body_size(uint32_t length)
{
    if (length > SWUG_FILL_FROM && length <= SWUG_FILL_BODY)
        return SWUG_FILL_BODY;
    return length;
}

uint64_t swug_file_size(uint32_t length)
{
    return (uint64_t)SWUG_HEADER_SIZE + swug_body_size(length) + SWUG_RESERVED_SIZE;
}

void swug_put_le32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void swug_put_header(const SWUG_STRUCT *h, uint8_t out[SWUG_HEADER_SIZE])
{
    out[0] = h->sw_or_fmw;
    memcpy(out + 1, h->version, SWUG_VERSION_SIZE);
    swug_put_le32(out + 32, h->length);
    swug_put_le32(out + 36, h->CRC);
}

void swug_get_header(const uint8_t in[SWUG_HEADER_SIZE], SWUG_STRUCT *h)
{
    h->sw_or_fmw = in[0];
    memcpy(h->version, in + 1, SWUG_VERSION_SIZE);
    h->length = load_le32(in + 32);
    h->CRC = load_le32(in + 36);
}

uint32_t generate_CRC_512(const uint8_t *c, int32_t len, uint32_t in_crc)
{
    /* Adding the chunk's whole words and then its last 0 to 3 bytes gives
     * the same sum as stopping the words one early and adding the last 1 to
     * 4 bytes shifted into place. */
    if (len <= 0)
        return in_crc;
    return sum_le32(c, (uint32_t)len, in_crc);
}

uint32_t swug_checksum(const uint8_t *body, uint32_t length)
{
    uint32_t sum = 0;

    for (uint32_t pos = 0; pos < length;) {
        uint32_t chunk = length - pos < 512 ? length - pos : 512;
        sum = generate_CRC_512(body + pos, (int32_t)chunk, sum);
        pos += chunk;
    }
    return sum;
}
