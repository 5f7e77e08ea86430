# Cross build for a Cortex-M3 with Debian's bare-metal toolchain (package
# gcc-arm-none-eabi):
#
#   cmake -S examples/cmake-firmware -B build-fw \
#         -DCMAKE_TOOLCHAIN_FILE=$PWD/examples/cmake-firmware/arm-none-eabi.cmake
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
# There is no C library to link a test program with: the compiler checks
# build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-m3 -mthumb -ffreestanding")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-nostdlib")

# Libraries, headers and packages come from the target's root only;
# programs are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-none-eabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
