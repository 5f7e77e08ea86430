#!/usr/bin/env bash
# Build swug-gen, swug-verify and the unit tests for a big-endian 64-bit host
# (s390x) and a 32-bit one (i686), statically linked, and run them under
# qemu-user: the unit tests, then the tools on inputs at the chunk and fill
# bounds, each image compared with the reference image this machine writes,
# and on a sparse file of 4 GiB + 3 bytes, whose size must not wrap.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh cmake make g++ libgtest-dev nlohmann-json3-dev qemu-user \
    g++-s390x-linux-gnu g++-i686-linux-gnu
cmake -S . -B build -DSWUG_REQUIRE_TESTS=ON >/dev/null
cmake --build build -j2 --target swug-reference-files >/dev/null
ref=$(mktemp -d)
trap 'rm -rf "$ref"' EXIT
trap 'echo "test-cross: line $LINENO failed" >&2' ERR
sizes=(1 3 4 513 204800 204801 409550 409551 1048576)
for n in "${sizes[@]}"; do
    build/tests/swug-reference-files "$n" "$ref/in-$n" "$ref/image-$n"
done
mkdir "$ref/data"
truncate -s 4294967299 "$ref/data/KOVRIN_SW.bin"

fail() { echo "test-cross: $host: $*" >&2; exit 1; }
for host in s390x i686; do
    dir=$PWD/build-$host qemu=qemu-${host/i686/i386}
    log=$({ cmake -S . -B "$dir" --toolchain "cmake/$host-linux-gnu.cmake" --no-warn-unused-cli &&
        cmake --build "$dir" -j2; } 2>&1) || { echo "$log"; fail "the build failed"; }
    log=$(ctest --test-dir "$dir" -j2 --output-on-failure) || { echo "$log"; fail "unit tests failed"; }
    tests=$(sed -n 's/.* 0 tests failed out of //p' <<<"$log")
    for n in "${sizes[@]}"; do
        rm -f "$ref/out"
        "$qemu" "$dir/swug-gen" "$ref/in-$n" "$ref/out" || fail "swug-gen failed on $n bytes"
        cmp "$ref/image-$n" "$ref/out" || fail "the image of $n bytes is not the reference image"
        "$qemu" "$dir/swug-verify" "$ref/image-$n" "$ref/in-$n" >/dev/null ||
            fail "swug-verify rejects the reference image of $n bytes"
    done
    status=0
    out=$(cd "$ref" && "$qemu" "$dir/swug-gen" </dev/null) || status=$?
    [ "$status" -eq 1 ] && grep -qx "data/KOVRIN_SW.bin len= 4294967299" <<<"$out" ||
        fail "swug-gen does not see the size of a 4 GiB + 3 input (status $status)"
    status=0
    "$qemu" "$dir/swug-verify" "$ref/data/KOVRIN_SW.bin" >/dev/null || status=$?
    [ "$status" -eq 1 ] || fail "swug-verify on a 4 GiB + 3 file: status $status, not 1"
    echo "$host: $tests unit tests passed, ${#sizes[@]} images compared, 4 GiB + 3 input sized"
done
