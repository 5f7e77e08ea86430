/* The byte sum behind the image checksum, as fast as the machine allows.
 *
 * Both functions add the n bytes at p to `sum` as little-endian 32-bit
 * words, the last 1 to 3 bytes (when n is not a multiple of 4) as one
 * zero-extended word, and return the result modulo 2^32. They read exactly
 * p[0 .. n), in place, at any alignment, and allocate nothing. */
#ifndef SWUG_WORD_SUM_H
#define SWUG_WORD_SUM_H

#include <cstdint>
#include <cstring>

/* The little-endian word at p, loaded in place whatever the host's byte
 * order. Inline, so that in the summing loops it is a single load. */
inline uint32_t load_le32(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

/* The fastest path this processor has: AVX2 where the compiler can build it
 * and the processor runs it, otherwise sum_le32_portable(). */
uint32_t sum_le32(const uint8_t *p, uint32_t n, uint32_t sum);

/* Plain C in a shape compilers vectorise; exact on any host byte order. */
uint32_t sum_le32_portable(const uint8_t *p, uint32_t n, uint32_t sum);

#endif
