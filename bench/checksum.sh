#!/usr/bin/env bash
# The checksum against one plain read pass (memchr) over the same buffer.
#
#   bash bench/checksum.sh            (REPS=N for another number of repetitions)
#
# Runs swug-bench with its benchmarks interleaved at random, REPS times each,
# and prints for every size the median speed of memchr and of each way of
# summing, in GB/s (10^9 bytes a second), with its ratio to memchr. Ends with
# status 1 if generate_CRC_512 in 512-byte chunks or generate_CRC falls below
# 0.7 of memchr at any size.
set -euo pipefail
cd "$(dirname "$0")/.."

reps=${REPS:-10}
bash scripts/deps.sh cmake make g++ libbenchmark-dev
cmake -S . -B build >/dev/null
cmake --build build -j2 --target swug-bench >/dev/null

echo "date:        $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine:     $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "AVX2:        $(grep -qw avx2 /proc/cpuinfo && echo yes || echo no)"
echo
./build/bench/swug-bench --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_format=csv 2>/dev/null |
awk -F, '
    $1 ~ /_median"$/ {
        name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
        split(name, part, "/"); sub(/^BM_/, "", part[1])
        speed[part[1], part[2]] = $6 / 1e9
        if (!(part[2] in seen)) { seen[part[2]] = 1; sizes[++n] = part[2] }
    }
    END {
        for (i = 2; i <= n; i++)  # largest size first
            for (j = i; j > 1 && sizes[j] + 0 > sizes[j - 1] + 0; j--) {
                t = sizes[j]; sizes[j] = sizes[j - 1]; sizes[j - 1] = t
            }
        split("generate_CRC_512 generate_CRC_512_misaligned generate_CRC sum_le32_portable", kind, " ")
        split("CRC_512 chunks|misaligned start|generate_CRC|portable path", head, "|")
        printf "%-9s %12s", "bytes", "memchr GB/s"
        for (k = 1; k <= 4; k++) printf "  %22s", head[k] " GB/s (x)"
        printf "\n"
        missed = 0
        for (i = 1; i <= n; i++) {
            s = sizes[i]; m = speed["memchr", s]
            printf "%-9s %12.1f", s, m
            for (k = 1; k <= 4; k++) {
                r = speed[kind[k], s] / m
                printf "  %15.1f (%.2f)", speed[kind[k], s], r
                if ((k == 1 || k == 3) && r < 0.7) missed = 1
            }
            printf "\n"
        }
        print ""
        print "goal: generate_CRC_512 and generate_CRC at 0.7 of memchr or better: " (missed ? "MISSED" : "met")
        exit missed
    }'
