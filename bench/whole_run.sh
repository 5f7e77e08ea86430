#!/usr/bin/env bash
# Whole runs of swug-gen on a 1 MiB input against `cp` of the same file and
# against swug-write-fsync-rename, which writes the same bytes durably and
# does nothing else.
#
#   bash bench/whole_run.sh            (PAIRS=N for another number of pairs,
#                                       BENCH_DIR=folder to run somewhere else)
#
# Prints the machine, then:
#   - the median wall time of `swug-gen IN OUT` and of `cp IN OUT`, run
#     alternately, and their ratio: with OUT removed before every run (a
#     fresh output); with OUT left in place, so each run replaces the last
#     one's output; and the same after a sync(), so the output replaced is
#     already on the disk. `cp` flushes nothing, swug-gen flushes the image
#     and its folder before it ends: this is what durability costs;
#   - the same three against the write-fsync-rename floor, the like-for-like
#     comparison;
#   - the peak resident memory of a run (GNU time's %M);
#   - the system calls of one run: read calls on the input, write calls on
#     the output, and strace -c's table.
# Ends with status 1 if a goal is missed: fresh run at most 1.1 x the floor, peak
# memory at most 3 MiB, one read call, at most three write calls.
set -euo pipefail
cd "$(dirname "$0")/.."

pairs=${PAIRS:-101}
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
head -c 1048576 /dev/urandom >in.bin
missed=0

echo "date:        $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine:     $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
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

for mode in fresh replace replace-synced; do
    echo "== $mode: swug-gen against cp (which flushes nothing)"
    "$runner" "$pairs" "$mode" out.bin -- "$gen" in.bin out.bin -- "$cp_bin" in.bin out.bin
    echo "== $mode: swug-gen against write, fsync, rename, fsync of the folder"
    report=$("$runner" "$pairs" "$mode" out.bin -- "$gen" in.bin out.bin -- "$floor" in.bin out.bin)
    echo "$report"
    [ "$mode" = fresh ] && check_ratio "$report" 1.1 "fresh-output run at most 1.1 x the floor"
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
gen_kib=$(peak_kib "$gen" in.bin out.bin)
cp_kib=$(peak_kib "$cp_bin" in.bin out.bin)
echo "peak resident memory: swug-gen $gen_kib KiB, cp $cp_kib KiB"
if [ "$gen_kib" -le 3072 ]; then
    echo "  goal: at most 3 MiB: met"
else
    echo "  goal: at most 3 MiB: MISSED"
    missed=1
fi
echo

# The system calls of one run into a fresh output.
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
strace -o trace.txt -T -e trace=rename "$gen" in.bin out.bin
sed -n 's/^\(rename(.*\)/  swug-gen, fresh output:    \1/p' trace.txt
sync
strace -o trace.txt -T -e trace=rename "$gen" in.bin out.bin
sed -n 's/^\(rename(.*\)/  swug-gen, replacing:       \1/p' trace.txt
sync
strace -o trace.txt -T -e trace=openat,close "$cp_bin" in.bin out.bin
sed -n 's/^\(openat(AT_FDCWD, "out.bin", O_WRONLY|O_TRUNC.*\)/  cp, replacing:             \1/p' trace.txt
echo
rm -f out.bin
strace -f -c -w -o trace.txt "$gen" in.bin out.bin
echo "strace -c -w of one run into a fresh output (wall time per call; one of the"
echo "reads and the pread64 calls are the dynamic loader reading libc):"
cat trace.txt
exit "$missed"
