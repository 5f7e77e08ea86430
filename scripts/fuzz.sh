#!/usr/bin/env bash
# Build the libFuzzer targets (preset "fuzz", folder build-fuzz, clang) and,
# for each target NAME listed by the build:
#   1. replay every committed input: the seeds in fuzz/corpus/NAME and the
#      crashes once found, kept in fuzz/regressions/NAME;
#   2. fuzz for FUZZ_SECONDS seconds (20 by default), starting from the seeds.
# A crash, leak, hang or sanitizer finding fails the run. Its input is written
# to fuzz/regressions/NAME/ and printed in base64: commit it there, and every
# later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
bash scripts/deps.sh cmake make clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# Show the inputs in $1 that are not committed yet.
show_new_inputs() {
    local file
    for file in "$1"/*; do
        [ -f "$file" ] || continue
        git ls-files --error-unmatch "$file" >/dev/null 2>&1 && continue
        echo "new regression input: $file ($(stat -c %s "$file") bytes); to keep it:"
        echo "  echo '$(base64 -w0 "$file")' | base64 -d > $file"
    done
}

for name in $(cat build-fuzz/fuzzers.txt); do
    fuzzer=build-fuzz/fuzz/fuzz-$name
    corpus=fuzz/corpus/$name
    regressions=fuzz/regressions/$name
    log=build-fuzz/fuzz-$name.log
    mkdir -p "$corpus" "$regressions" "$work/$name"

    mapfile -t inputs < <(find "$corpus" "$regressions" -type f ! -name '.*' | sort)
    if ! "$fuzzer" -timeout=10 "${inputs[@]}" >"$log" 2>&1; then
        cat "$log"
        echo "fuzz $name: a committed input fails"
        failed=1
        continue
    fi
    echo "fuzz $name: ${#inputs[@]} committed inputs replayed"

    if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$regressions/" "$work/$name" "$corpus" >"$log" 2>&1; then
        tail -n 60 "$log"
        echo "fuzz $name: FAILED (full log: $log)"
        show_new_inputs "$regressions"
        failed=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    echo "fuzz $name: $runs runs in ${seconds}s, no finding ($cov)"
done
exit $failed
