# What the Linux cross builds share (cmake/s390x-linux-gnu.cmake and
# cmake/i686-linux-gnu.cmake set SWUG_CROSS_TRIPLE and the processor, then
# include this): Debian's cross compiler, its libraries only, everything
# linked statically, and qemu-user to run what was built, so that CTest and
# the test discovery work as in a native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SWUG_CROSS_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${SWUG_CROSS_TRIPLE}-gcc) # GoogleTest's project asks for C too

set(CMAKE_FIND_ROOT_PATH /usr/${SWUG_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static: qemu-user then needs no library of the other host.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SWUG_CROSS_EMULATOR})

# The unit tests link GoogleTest built from Debian's sources (libgtest-dev
# installs them here, with libraries for the build machine only).
set(SWUG_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build")
