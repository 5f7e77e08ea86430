/* The checksum against one plain read pass over the same bytes.
 *
 * The read pass is memchr for a byte that is not in the buffer: it has to
 * look at every byte once and does nothing else, which is the least any
 * checksum over the buffer can cost. Every benchmark reports bytes per
 * second; compare the checksum rows with the memchr row of the same size. */
#include <cstring>

#include <benchmark/benchmark.h>

#include "swug_build.h"
#include "swug_image.h"
#include "word_sum.h"

static const uint8_t ABSENT = 0xFF;

/* Fill the body with n pattern bytes that never equal ABSENT. */
static void load_body(uint32_t n)
{
    memset(&swug_img, 0xFF, sizeof swug_img);
    for (uint32_t i = 0; i < n; i++)
        swug_img.sw_bin[i] = (uint8_t)((i * 131u + (i >> 9)) % 255u);
}

static void BM_memchr(benchmark::State &state)
{
    uint32_t n = (uint32_t)state.range(0);
    load_body(n);
    for (auto _ : state) {
        const void *hit = memchr(swug_img.sw_bin, ABSENT, n);
        benchmark::DoNotOptimize(hit);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

/* generate_CRC_512 called on 512-byte chunks, the way generate_CRC does,
 * from `offset` bytes into the body (a misaligned start when not 0). */
static void chunked(benchmark::State &state, uint32_t offset)
{
    uint32_t n = (uint32_t)state.range(0);
    load_body(n + offset);
    const uint8_t *base = swug_img.sw_bin + offset;
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t pos = 0; pos < n; pos += 512) {
            uint32_t chunk = n - pos < 512 ? n - pos : 512;
            sum = generate_CRC_512(base + pos, (int32_t)chunk, sum);
        }
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

static void BM_generate_CRC_512(benchmark::State &state)
{
    chunked(state, 0);
}

static void BM_generate_CRC_512_misaligned(benchmark::State &state)
{
    chunked(state, 1);
}

/* The plain C path, what a processor without AVX2 runs, in the same chunks. */
static void BM_sum_le32_portable(benchmark::State &state)
{
    uint32_t n = (uint32_t)state.range(0);
    load_body(n);
    for (auto _ : state) {
        uint32_t sum = 0;
        for (uint32_t pos = 0; pos < n; pos += 512) {
            uint32_t chunk = n - pos < 512 ? n - pos : 512;
            sum = sum_le32_portable(swug_img.sw_bin + pos, chunk, sum);
        }
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

static void BM_generate_CRC(benchmark::State &state)
{
    uint32_t n = (uint32_t)state.range(0);
    load_body(n);
    swug_img.sw_str.length = n;
    for (auto _ : state) {
        generate_CRC();
        benchmark::DoNotOptimize(swug_img.sw_str.CRC);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * n);
}

/* The largest body, and sizes that are neither multiples of 4 nor of 512. */
#define SIZES ->Arg(1048576)->Arg(1048573)->Arg(409549)->Arg(65537)->Arg(1001)

BENCHMARK(BM_memchr) SIZES;
BENCHMARK(BM_generate_CRC_512) SIZES;
BENCHMARK(BM_generate_CRC_512_misaligned) SIZES;
BENCHMARK(BM_generate_CRC) SIZES;
BENCHMARK(BM_sum_le32_portable) SIZES;

BENCHMARK_MAIN();
