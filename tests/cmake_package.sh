#!/usr/bin/env bash
# The CMake package and swug_add_upgrade_image(): the firmware project in
# tests/cmake_consumer/ built against the tools installed into a scratch
# prefix and with add_subdirectory of the source tree; the Windows .zip's
# package found; examples/cmake-firmware/ cross-built for a Cortex-M.
#   cmake_package.sh BUILD_DIR SOURCE_DIR [PREFIX]
# With PREFIX (an unpacked package), only the project against PREFIX.
set -euo pipefail
build=$(realpath "$1") src=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
verify() { "$build/swug-verify" "$1" "$2" >/dev/null || fail "$1 is not the image of $2"; }

# consumer DIR CMAKE_ARGS...: configure and build; every image must be what
# swug-gen builds from its input.
consumer() {
    local dir=$1 && shift
    cmake -S "$src/tests/cmake_consumer" -B "$dir" -DFW_INPUT="$work/in.bin" "$@" >"$dir.log" 2>&1 ||
        fail "configure $*: $(cat "$dir.log")"
    cmake --build "$dir" >"$dir.log" 2>&1 || fail "build $*: $(cat "$dir.log")"
    verify "$dir/raw_image.bin" "$work/in.bin"
    objcopy -O binary "$dir/fw" "$work/fw.raw"
    verify "$dir/out/fw.img" "$work/fw.raw"
    verify "$dir/elf_image.bin" "$dir/fw"
}
# rebuild DIR IMAGES: build again; it must make just IMAGES (or fail: "fails").
rebuild() {
    local log
    log=$(cmake --build "$1" 2>&1) || log=fails
    [ "$(sed 's/.*Building upgrade image //;t;/^fails$/!d' <<<"$log")" = "$2" ] ||
        fail "build again: wanted '$2': $log"
}

cp "$src/data/KOVRIN_SW.bin" "$work/in.bin"
if [ $# -ge 3 ]; then
    consumer "$work/c" -DCMAKE_PREFIX_PATH="$3"
    echo "cmake package ok: $3"
    exit 0
fi

# rows DIR: a second build makes nothing; a changed input is made again; a
# failing swug-gen fails the build and leaves the older image; a failing
# swug-verify fails it and removes the image.
rows() {
    rebuild "$1" ""
    head -c 5000 "$src/data/KOVRIN_SW.bin" >"$work/in.bin"
    rebuild "$1" raw_image.bin
    verify "$1/raw_image.bin" "$work/in.bin"
    cp "$1/raw_image.bin" "$work/before"
    head -c 1048577 /dev/zero >"$work/in.bin" # over the limit
    rebuild "$1" fails
    cmp -s "$1/raw_image.bin" "$work/before" || fail "a failing swug-gen changed the image"
    cp "$src/data/KOVRIN_SW.bin" "$work/in.bin"
    cmake "$1" -DSWUG_VERIFY_EXECUTABLE=/bin/false >/dev/null
    rebuild "$1" fails
    [ ! -e "$1/raw_image.bin" ] || fail "the image swug-verify rejected is still there"
}
cmake --install "$build" --prefix "$work/prefix" >/dev/null
consumer "$work/installed" -DCMAKE_PREFIX_PATH="$work/prefix"
rows "$work/installed"
# Ninja too, where it is: it keeps an output whose command failed.
bash "$src/scripts/deps.sh" ninja-build gcc-arm-none-eabi >/dev/null 2>&1 || true
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
consumer "$work/sub" "${gen[@]}" -DSWUG_SOURCE="$src"
rows "$work/sub"

zip=$(ls "$src"/build-win/packages/swug-*-win64.zip 2>/dev/null | head -1)
if [ -n "$zip" ]; then
    unzip -q "$zip" -d "$work/zip"
    cmake -S "$src/tests/cmake_consumer" -B "$work/zipc" -DFW_INPUT="$work/in.bin" \
        -DCMAKE_PREFIX_PATH="$(ls -d "$work"/zip/*)" >/dev/null || fail "no package in $zip"
else # the Wine tests fail on this in CI
    echo "SKIP: no Windows .zip (bash scripts/build-windows.sh builds it)"
fi

if command -v arm-none-eabi-gcc >/dev/null; then
    fw=$work/arm
    cmake -S "$src/examples/cmake-firmware" -B "$fw" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_TOOLCHAIN_FILE="$src/examples/cmake-firmware/arm-none-eabi.cmake" >"$fw.log" 2>&1 &&
        cmake --build "$fw" >"$fw.log" 2>&1 || fail "examples/cmake-firmware: $(cat "$fw.log")"
    arm-none-eabi-objcopy -O binary "$fw/firmware.elf" "$work/arm.raw"
    verify "$fw/firmware_image.bin" "$work/arm.raw"
    [ "$(od -An -tx4 -N4 "$work/arm.raw")" = " 20005000" ] || fail "the image does not start with the vector table"
else
    echo "SKIP: gcc-arm-none-eabi cannot be installed here: examples/cmake-firmware not built"
fi
echo "cmake package ok"
