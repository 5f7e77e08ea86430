/* The byte sum behind the image checksum.
 *
 * A single running sum makes every addition wait for the one before it, and
 * the checksum then crawls at a fraction of the speed memory is read at.
 * Both paths below keep several independent sums and fold them at the end;
 * addition modulo 2^32 does not care about the order, so the result is the
 * same bit for bit. */
#include "word_sum.h"

#include <cstddef>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SWUG_HAVE_AVX2 1
#include <immintrin.h>
/* glibc has asked the processor already, at start-up, and says what it
 * found, operating system support for the AVX registers included. Asking
 * again through libgcc (__builtin_cpu_supports) costs a run its own series
 * of CPUID instructions, each a trap to the hypervisor in a virtual
 * machine: 60 us at start-up, 7% of a whole run on a small input. */
#if defined(__has_include) && !defined(__clang__) /* clang++ cannot read the header: it says _Bool */
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define avx2_active() CPU_FEATURE_ACTIVE(AVX2)
#endif
#endif
#ifndef avx2_active
#define avx2_active() __builtin_cpu_supports("avx2")
#endif
#endif

enum { LANES = 8 }; /* independent sums of the portable path: 32 bytes a step */

/* The last n % 4 bytes of p[0 .. n) as one zero-extended word. */
static uint32_t partial_word(const uint8_t *p, uint32_t n)
{
    uint32_t v = 0;

    for (uint32_t k = 0; k < n % 4; k++)
        v |= (uint32_t)p[n - n % 4 + k] << (8 * k);
    return v;
}

uint32_t sum_le32_portable(const uint8_t *p, uint32_t n, uint32_t sum)
{
    size_t whole = n & ~(size_t)3; /* bytes in whole words */
    size_t i = 0;
    uint32_t lane[LANES] = {0};

    for (; whole - i >= 4 * LANES; i += 4 * LANES)
        for (size_t k = 0; k < LANES; k++)
            lane[k] += load_le32(p + i + 4 * k);
    for (size_t k = 0; k < LANES; k++)
        sum += lane[k];
    for (; i < whole; i += 4)
        sum += load_le32(p + i);
    return sum + partial_word(p, n);
}

#ifdef SWUG_HAVE_AVX2
#define LOAD256(q) _mm256_loadu_si256((const __m256i *)(q))

/* Four 256-bit sums of eight words each, 128 bytes a step, then 32 bytes a
 * step, then single words. The loads take the chunk where it lies: starting
 * them on a 32-byte boundary first measured no faster. x86 is little-endian,
 * so the words need no swapping. */
__attribute__((target("avx2"))) static uint32_t sum_avx2(const uint8_t *p, uint32_t n,
                                                        uint32_t sum)
{
    size_t whole = n & ~(size_t)3; /* bytes in whole words */
    size_t i = 0;
    __m256i a = _mm256_setzero_si256();
    __m256i b = a, c = a, d = a;

    for (; whole - i >= 128; i += 128) {
        a = _mm256_add_epi32(a, LOAD256(p + i));
        b = _mm256_add_epi32(b, LOAD256(p + i + 32));
        c = _mm256_add_epi32(c, LOAD256(p + i + 64));
        d = _mm256_add_epi32(d, LOAD256(p + i + 96));
    }
    for (; whole - i >= 32; i += 32)
        a = _mm256_add_epi32(a, LOAD256(p + i));
    a = _mm256_add_epi32(_mm256_add_epi32(a, b), _mm256_add_epi32(c, d));
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E)); /* add the upper half */
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1)); /* add the neighbour */
    sum += (uint32_t)_mm_cvtsi128_si32(s);
    for (; i < whole; i += 4) /* at most seven words */
        sum += load_le32(p + i);
    return sum + partial_word(p, n);
}
#endif

uint32_t sum_le32(const uint8_t *p, uint32_t n, uint32_t sum)
{
#ifdef SWUG_HAVE_AVX2
    if (avx2_active())
        return sum_avx2(p, n, sum);
#endif
    return sum_le32_portable(p, n, sum);
}
