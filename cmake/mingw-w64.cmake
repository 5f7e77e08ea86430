# Cross-compiling swug-gen.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64).
#
#   cmake --preset windows && cmake --build --preset windows
#
# The win32-threads variant of the compiler is taken when it is there: we use
# no threads, and it needs no winpthread library, so the static link below
# leaves an executable that imports only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
find_program(MINGW_CXX NAMES ${MINGW_PREFIX}-g++-win32 ${MINGW_PREFIX}-g++ REQUIRED)
find_program(MINGW_CC NAMES ${MINGW_PREFIX}-gcc-win32 ${MINGW_PREFIX}-gcc)
find_program(MINGW_RC NAMES ${MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${MINGW_CXX})
if(MINGW_CC)
  set(CMAKE_C_COMPILER ${MINGW_CC})
endif()
if(MINGW_RC)
  set(CMAKE_RC_COMPILER ${MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# printf with the C99 formats (%llu for PRIu64) whatever header comes first,
# rather than msvcrt's own, which knows only %I64u.
# The source folder is "." in anything the compiler records (__FILE__, debug
# information), so that where the sources lie does not change the .exe.
get_filename_component(SWUG_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -ffile-prefix-map=${SWUG_SOURCE_ROOT}=.")
# The GCC and C++ runtimes linked in: swug-gen.exe runs with no DLL beside it.
# No link time in the PE header either (its checksum then follows from the
# code alone), so that the same sources give the same .exe.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
