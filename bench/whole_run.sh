#!/usr/bin/env bash
# Whole runs of swug-gen at every size of input users have, each against
# swug-write-fsync-rename, which writes a file of the image's size durably and
# does nothing else, and against `cp` of the input.
#
#   bash bench/whole_run.sh            (PAIRS=N for another number of pairs,
#                                       SIZES="..." for other input sizes,
#                                       BENCH_DIR=folder to run somewhere else)
#
# Prints the machine, then for each input size (1 KiB, 64 KiB, 300,001 bytes,
# which falls in the fill band, and 1 MiB):
#   - the median wall time of `swug-gen IN OUT` and of the floor, run
#     alternately, their ratio and the spread of the pairs' own ratios: with
#     OUT removed before every run (a fresh output); with OUT left in place,
#     so each run replaces the last one's output; and the same after a sync(),
#     so the output replaced is already on the disk;
#   - the same against `cp IN OUT` into a fresh output. `cp` flushes nothing,
#     swug-gen flushes the image and its folder before it ends: this is what
#     durability costs;
# then, for the smallest and the largest input:
#   - the peak resident memory of a run (GNU time's %M);
#   - the system calls of one run: read calls on the input, write calls on
#     the output, and strace -c's table.
# Ends with status 1 if a goal is missed: a fresh run at most 1.05 x the floor
# at every size, peak memory at most 3 MiB, one read call, at most three
# write calls.
set -euo pipefail
cd "$(dirname "$0")/.."

pairs=${PAIRS:-101}
sizes=${SIZES:-1024 65536 300001 1048576}
bash scripts/deps.sh cmake make g++ time strace
cmake -S . -B build >/dev/null
cmake --build build -j2 --target swug-gen swug-run-pairs swug-write-fsync-rename >/dev/null

gen=$PWD/build/swug-gen
runner=$PWD/build/bench/swug-run-pairs
floor=$PWD/build/bench/swug-write-fsync-rename
cp_bin=$(command -v cp)
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/swug-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
missed=0

echo "date:        $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine:     $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
echo "load:        $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes)"
echo "folder:      $work ($(findmnt -n -o FSTYPE,OPTIONS -T . || stat -f -c %T .))"
echo "swug-gen:    needs $(readelf -d "$gen" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | tr '\n' ' ')"
echo

# Ratio of the medians, as printed by swug-run-pairs, checked against a limit.
check_ratio() {
    local report=$1 limit=$2 what=$3
    local ratio
    ratio=$(sed -n 's/^ *ratio *\([0-9.]*\).*/\1/p' <<<"$report")
    if awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r <= l) }'; then
        echo "  goal: $what: met"
    else
        echo "  goal: $what: MISSED"
        missed=1
    fi
}

# The size of the image of an input of $1 bytes: the body is filled up to
# 409,550 bytes in the band above 204,800, and header and trailer add 50.
image_size() {
    local body=$1
    [ "$1" -gt 204800 ] && [ "$1" -le 409550 ] && body=409550
    echo $((body + 50))
}

for size in $sizes; do
    head -c "$size" /dev/urandom >"in-$size.bin"
    image=$(image_size "$size")
    echo "=== $size-byte input, $image-byte image"
    for mode in fresh replace replace-synced; do
        report=$("$runner" "$pairs" "$mode" out.bin -- "$gen" "in-$size.bin" out.bin \
                 -- "$floor" "in-$size.bin" out.bin "$image")
        echo "$report"
        [ "$mode" = fresh ] && check_ratio "$report" 1.05 "fresh output at most 1.05 x the floor"
    done
    "$runner" "$pairs" fresh out.bin -- "$gen" "in-$size.bin" out.bin -- "$cp_bin" "in-$size.bin" out.bin
    echo
done

# Peak resident memory: the highest of five runs into a fresh output, in KiB.
peak_kib() {
    local top=0 kib
    for _ in 1 2 3 4 5; do
        rm -f out.bin
        /usr/bin/time -f '%M' -o rss.txt "$@"
        kib=$(tail -n 1 rss.txt)
        [ "$kib" -gt "$top" ] && top=$kib
    done
    echo "$top"
}
smallest=$(tr ' ' '\n' <<<"$sizes" | sort -n | head -n 1)
largest=$(tr ' ' '\n' <<<"$sizes" | sort -n | tail -n 1)
for size in $(tr ' ' '\n' <<<"$smallest $largest" | uniq); do
    gen_kib=$(peak_kib "$gen" "in-$size.bin" out.bin)
    cp_kib=$(peak_kib "$cp_bin" "in-$size.bin" out.bin)
    echo "peak resident memory, $size-byte input: swug-gen $gen_kib KiB, cp $cp_kib KiB"
    if [ "$gen_kib" -le 3072 ]; then
        echo "  goal: at most 3 MiB: met"
    else
        echo "  goal: at most 3 MiB: MISSED"
        missed=1
    fi
done
echo

# The system calls of one run into a fresh output, on the largest input.
cp "in-$largest.bin" in.bin
rm -f out.bin
strace -f -o trace.txt -e trace=openat,read,write,fsync "$gen" in.bin out.bin
awk '
    /openat\(.*"in.bin"/ { split($0, a, "= "); in_fd = a[2] + 0 }
    /openat\(.*"\.swug-gen-/ { split($0, a, "= "); out_fd = a[2] + 0 }
    in_fd != "" && $0 ~ "read\\(" in_fd "," { reads++; split($0, a, "= "); rbytes += a[2] }
    out_fd != "" && $0 ~ "write\\(" out_fd "," { writes++; split($0, a, "= "); wbytes += a[2] }
    END {
        printf "system calls of one run: %d read call(s) on the input (%d bytes), ", reads, rbytes
        printf "%d write call(s) on the output (%d bytes)\n", writes, wbytes
        exit !(reads == 1 && writes >= 1 && writes <= 3)
    }' trace.txt && echo "  goal: one read, at most three writes: met" ||
    { echo "  goal: one read, at most three writes: MISSED"; missed=1; }

# Where replacing costs: the rename that puts the image in place, creating a
# new name and replacing a file that is already on the disk, and cp's
# opening of an existing output, which truncates it.
echo "time spent putting the output in place (strace -T):"
rm -f out.bin
strace -o trace.txt -T -e trace=rename,renameat,renameat2 "$gen" in.bin out.bin
sed -n 's/^\(rename.*\)/  swug-gen, fresh output:    \1/p' trace.txt
sync
strace -o trace.txt -T -e trace=rename,renameat,renameat2 "$gen" in.bin out.bin
sed -n 's/^\(rename.*\)/  swug-gen, replacing:       \1/p' trace.txt
sync
strace -o trace.txt -T -e trace=openat,close "$cp_bin" in.bin out.bin
sed -n 's/^\(openat(AT_FDCWD, "out.bin", O_WRONLY|O_TRUNC.*\)/  cp, replacing:             \1/p' trace.txt
echo
for size in $(tr ' ' '\n' <<<"$smallest $largest" | uniq); do
    rm -f out.bin
    strace -f -c -w -o trace.txt "$gen" "in-$size.bin" out.bin
    echo "strace -c -w of one run on the $size-byte input into a fresh output (wall time"
    echo "per call; one of the reads and the pread64 calls are the dynamic loader reading libc):"
    cat trace.txt
done
exit "$missed"
