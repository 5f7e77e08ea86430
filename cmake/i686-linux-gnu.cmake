# Cross build for i686: a little-endian 32-bit host (g++-i686-linux-gnu),
# run under qemu-i386. See scripts/test-cross.sh.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SWUG_CROSS_TRIPLE i686-linux-gnu)
set(SWUG_CROSS_EMULATOR qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
