#!/usr/bin/env bash
# The CMake package and swug_add_upgrade_image(): the firmware project in
# tests/cmake_consumer/ built against the tools installed into a scratch
# prefix, with add_subdirectory of the source tree and with Ninja
# Multi-Config; the Windows .zip's package found; examples/cmake-firmware/
# cross-built for a Cortex-M against the package, and with the tree added
# (add_subdirectory, FetchContent), which takes host tools (also built here).
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
    verify "$dir/copy_image.bin" "$work/in.bin"
    objcopy --gap-fill 0xFF -O binary "$dir/fw" "$work/fw.raw"
    verify "$dir/out/fw.img" "$work/fw.raw"
    verify "$dir/elf_image.bin" "$dir/fw"
}
# rebuild DIR IMAGES: build again; it must make just IMAGES (or fail: "fails",
# its log in $work/log).
rebuild() {
    local log
    log=$(cmake --build "$1" 2>&1) || { echo "$log" >"$work/log" && log=fails; }
    [ "$(sed 's/.*Building upgrade image //;t;/^fails$/!d' <<<"$log")" = "$2" ] ||
        fail "build again: wanted '$2': $log"
}

cp "$src/data/KOVRIN_SW.bin" "$work/in.bin"
if [ $# -ge 3 ]; then
    consumer "$work/c" -DCMAKE_PREFIX_PATH="$3"
    echo "cmake package ok: $3"
    exit 0
fi

# rows DIR: a second build makes nothing; a changed input is made again; an
# input over the limit fails the build with its size and removes the older
# image, which no install then ships; a failing swug-verify (a bare name)
# removes the image; a failing swug-gen removes the raw file the step wrote.
rows() {
    rebuild "$1" ""
    head -c 5000 "$src/data/KOVRIN_SW.bin" >"$work/in.bin"
    rebuild "$1" raw_image.bin
    verify "$1/raw_image.bin" "$work/in.bin"
    head -c 1048577 /dev/zero >"$work/in.bin" # over the limit
    rebuild "$1" fails
    grep -q "in.bin is 1048577 bytes, over the limit" "$work/log" || fail "no size: $(cat "$work/log")"
    [ ! -e "$1/raw_image.bin" ] || fail "a failed step left the older image"
    ! cmake --install "$1" --prefix "$1-ship" >/dev/null 2>&1 && [ ! -e "$1-ship/images/raw_image.bin" ] ||
        fail "the install shipped the image of a failed step"
    cp "$src/data/KOVRIN_SW.bin" "$work/in.bin"
    cmake "$1" -DSWUG_VERIFY_EXECUTABLE=false >/dev/null || fail "swug-verify not looked up on the PATH"
    rebuild "$1" fails
    [ ! -e "$1/raw_image.bin" ] || fail "the image swug-verify rejected is still there"
    cmake "$1" -DSWUG_GEN_EXECUTABLE=/bin/false >/dev/null
    ! cmake --build "$1" --target fw_image >/dev/null 2>&1 || fail "swug-gen /bin/false passed"
    [ ! -e "$1/fw_image.raw" ] || fail "a failed step left its raw file"
}
cmake --install "$build" --prefix "$work/prefix" >/dev/null
consumer "$work/installed" -DCMAKE_PREFIX_PATH="$work/prefix"
rows "$work/installed"
deep=$work/$(printf '%060d/' 1 2 3 4 5)build # over the 300 bytes of a name swug-gen takes
mkdir -p "$deep" && consumer "$deep" -DCMAKE_PREFIX_PATH="$work/prefix"
# Ninja too, where it is: it keeps an output whose command failed.
bash "$src/scripts/deps.sh" ninja-build gcc-arm-none-eabi >/dev/null 2>&1 || true
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
consumer "$work/sub" "${gen[@]}" -DSWUG_SOURCE="$src"
rows "$work/sub"
# A FIRMWARE that is a library is refused at configure, though defined later.
! cmake -S "$src/tests/cmake_consumer" -B "$work/lib" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DFW_INPUT="$work/in.bin" -DFW_LIBRARY=ON >"$work/lib.log" 2>&1 &&
    grep -q "FIRMWARE fwlib is a STATIC_LIBRARY, not" "$work/lib.log" || fail "library: $(cat "$work/lib.log")"

# Multi-config, with the package's tools and the tree's: fw_image:Release
# from the Debug build file takes the Release firmware (and the Debug tools);
# each configuration installs the image of its own raw file, and building one
# configuration leaves the other's image alone.
for from in -DCMAKE_PREFIX_PATH="$work/prefix" -DSWUG_SOURCE="$src"; do
    [ ${#gen[@]} -gt 0 ] || break
    mc=$work/multi${from%%=*}
    cmake -S "$src/tests/cmake_consumer" -B "$mc" -G "Ninja Multi-Config" -DCMAKE_CROSS_CONFIGS=all \
        "$from" -DFW_INPUT="$work/in.bin" >"$mc.log" 2>&1 &&
        cmake --build "$mc" --target fw_image:Release >>"$mc.log" 2>&1 || fail "multi-config $from: $(cat "$mc.log")"
    # own CONFIG FILE: FILE must be swug-gen's image of CONFIG's firmware.
    own() {
        objcopy --gap-fill 0xFF -O binary "$mc/$1/fw" "$work/$1.raw" && "$build/swug-gen" "$work/$1.raw" "$work/$1.img"
        cmp "$work/$1.img" "$2" || fail "$2: not the image of the $1 firmware"
    }
    own Release "$mc/out/Release/fw.img"
    [ ! -e "$mc/out/Debug" ] || fail "fw_image:Release made a Debug image"
    cmake --build "$mc" --config Debug >>"$mc.log" 2>&1 &&
        cmake --build "$mc" --config Release >>"$mc.log" 2>&1 || fail "multi-config: $(cat "$mc.log")"
    [ "$(cmake --build "$mc" --config Debug)" = "ninja: no work to do." ] || fail "Debug built again"
    for c in Debug Release; do
        cmake --install "$mc" --config $c --prefix "$mc/i/$c" >/dev/null
        own $c "$mc/i/$c/images/fw.img"
    done
    ! cmp -s "$work/Debug.img" "$work/Release.img" || fail "Debug and Release images are the same"
done

zip=$(ls "$src"/build-win/packages/swug-*-win64.zip 2>/dev/null | head -1) || true
if [ -n "$zip" ]; then
    unzip -q "$zip" -d "$work/zip"
    cmake -S "$src/tests/cmake_consumer" -B "$work/zipc" -DFW_INPUT="$work/in.bin" \
        -DCMAKE_PREFIX_PATH="$(ls -d "$work"/zip/*)" >/dev/null || fail "no package in $zip"
else # the Wine tests fail on this in CI
    echo "SKIP: no Windows .zip (bash scripts/build-windows.sh builds it)"
fi

# arm DIR TOOLS_FROM CMAKE_ARGS...: cross-build the example; configure must
# say where the tools come from; the image must be right, and no program of
# the tree but the two tools built.
arm() {
    local fw=$1 from=$2 && shift 2
    local out=$fw
    [[ "$*" == *Multi-Config* ]] && out=$fw/Release
    cmake -S "$src/examples/cmake-firmware" -B "$fw" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_TOOLCHAIN_FILE="$src/examples/cmake-firmware/arm-none-eabi.cmake" "$@" >"$fw.log" 2>&1 &&
        cmake --build "$fw" --config Release >>"$fw.log" 2>&1 || fail "examples/cmake-firmware $*: $(cat "$fw.log")"
    [ -z "$from" ] || grep -q "swug: .*$from" "$fw.log" || fail "$*: tools not from $from: $(cat "$fw.log")"
    arm-none-eabi-objcopy -O binary "$out/firmware.elf" "$work/arm.raw"
    verify "$out/firmware_image.bin" "$work/arm.raw"
    [ "$(od -An -tx4 -N4 "$work/arm.raw")" = " 20005000" ] || fail "the image does not start with the vector table"
    [ -z "$(find "$fw" -name 'make-sample*' -o -name '*-tests' -o -name swug-reference-files)" ] ||
        fail "$*: a sample or test program was built"
}
if command -v arm-none-eabi-gcc >/dev/null; then
    arm "$work/arm" ""
    arm "$work/arm-sub" "installed package in $work/prefix" -DSWUG_SOURCE="$src"
    # A clone of the tree as it is now, for FetchContent and to change.
    git -C "$src" ls-files -z | (cd "$src" && tar --null -T - -cf -) | (mkdir "$work/repo" && tar -xf - -C "$work/repo")
    git -C "$work/repo" init -q && git -C "$work/repo" add -A &&
        git -C "$work/repo" -c user.name=t -c user.email=t@t commit -qm t || fail "no clone of $src"
    # The tree's host tools under make, in an environment set for the target:
    # none of it reaches them; no work on a second build, but on a change.
    CC=/bin/false CXX=/bin/false CXXFLAGS="-mcpu=cortex-m4 -mthumb" LDFLAGS=-mthumb MAKEFLAGS=-j2 \
        arm "$work/arm-host" "built for the build machine" -DSWUG_SOURCE="$work/repo" -DCMAKE_DISABLE_FIND_PACKAGE_swug=ON
    ! grep -E "jobserver|not used by the project" "$work/arm-host.log" || fail "host tools: $(cat "$work/arm-host.log")"
    ! cmake --build "$work/arm-host" 2>&1 | grep -v "Built target" || fail "a second build did the above"
    touch "$work/repo/src/word_sum.h" && cmake --build "$work/arm-host" | grep "Performing build step for 'swug_host_tools'" >/dev/null ||
        fail "a changed tool source did not build the tools again"
    arm "$work/arm-fetch" "built for the build machine" "${gen[@]/Ninja/Ninja Multi-Config}" \
        -DSWUG_GIT="file://$work/repo" -DSWUG_GIT_TAG=HEAD -DCMAKE_DISABLE_FIND_PACKAGE_swug=ON
else
    echo "SKIP: gcc-arm-none-eabi cannot be installed here: examples/cmake-firmware not built"
fi
echo "cmake package ok"
