# Cross build for s390x: a big-endian 64-bit host (g++-s390x-linux-gnu),
# run under qemu-s390x. See scripts/test-cross.sh.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(SWUG_CROSS_TRIPLE s390x-linux-gnu)
set(SWUG_CROSS_EMULATOR qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
