# swug-gen and swug-verify for a cross-compiling project that adds this tree
# (add_subdirectory, FetchContent): they run on the build machine, so the
# target's compiler must not build them. Included by the top-level
# CMakeLists.txt, which enables no language in this case.
#
# 1. An installed package of this version or a later 1.x, looked for outside
#    the target's root (the toolchain file usually keeps find_package()
#    there): its imported programs, made visible to the whole build.
# 2. Else an ExternalProject build of this tree for the build machine: its
#    own configure with the build machine's compiler (no toolchain file, CC
#    and CXX cleared), building the two programs only.
#
# Either way the programs are swug::swug-gen and swug::swug-verify. A build
# sets CMAKE_DISABLE_FIND_PACKAGE_swug to skip 1, or swug_DIR to pick the
# package.

find_package(swug ${PROJECT_VERSION} CONFIG QUIET NO_CMAKE_FIND_ROOT_PATH)
if(swug_FOUND)
  foreach(tool swug-gen swug-verify)
    set_target_properties(swug::${tool} PROPERTIES IMPORTED_GLOBAL TRUE)
  endforeach()
  message(STATUS "swug: swug-gen and swug-verify for the build machine from the "
                 "installed package in ${swug_DIR}")
  return()
endif()

include(ExternalProject)
# A single-configuration build is enough: the tools are built in Release.
set(host_generator "${CMAKE_GENERATOR}")
if(host_generator STREQUAL "Ninja Multi-Config")
  set(host_generator Ninja)
endif()
set(host_dir "${CMAKE_CURRENT_BINARY_DIR}/host-tools")
set(host_bin "${host_dir}")
if(host_generator MATCHES "^(Visual Studio|Xcode)")
  set(host_bin "${host_dir}/Release")
endif()
set(host_make "")
if(host_generator MATCHES "Ninja|Makefiles" AND CMAKE_MAKE_PROGRAM)
  set(host_make "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}")
endif()
set(host_exe "")
if(CMAKE_HOST_WIN32)
  set(host_exe .exe)
endif()

# The configure runs at build time, in the build's environment: what would
# pick the target's compiler there is cleared.
ExternalProject_Add(swug_host_tools
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${host_dir}"
  CONFIGURE_COMMAND "${CMAKE_COMMAND}" -E env --unset=CC --unset=CXX --unset=CMAKE_TOOLCHAIN_FILE
                    "${CMAKE_COMMAND}" -G "${host_generator}" ${host_make}
                    -DCMAKE_BUILD_TYPE=Release -DSWUG_TOOLS_ONLY=ON -DBUILD_TESTING=OFF
                    -S <SOURCE_DIR> -B <BINARY_DIR>
  BUILD_COMMAND "${CMAKE_COMMAND}" --build <BINARY_DIR> --config Release
                --target swug-gen swug-verify
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS "${host_bin}/swug-gen${host_exe}" "${host_bin}/swug-verify${host_exe}")
foreach(tool swug-gen swug-verify)
  add_executable(swug::${tool} IMPORTED GLOBAL)
  set_target_properties(swug::${tool} PROPERTIES IMPORTED_LOCATION "${host_bin}/${tool}${host_exe}")
endforeach()
# Nothing can depend on an imported target: swug_add_upgrade_image() waits
# for this one.
set_property(GLOBAL PROPERTY SWUG_TOOLS_BUILD_TARGET swug_host_tools)
message(STATUS "swug: no installed package found: swug-gen and swug-verify are built "
               "for the build machine (ExternalProject swug_host_tools, in ${host_dir})")
