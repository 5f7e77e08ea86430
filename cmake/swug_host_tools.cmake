# swug-gen and swug-verify for a cross-compiling project that adds this tree
# (add_subdirectory, FetchContent): they run on the build machine, so the
# target's compiler must not build them. Included by the top-level
# CMakeLists.txt, which enables no language in this case.
#
# 1. An installed package of this version or a later 1.x, looked for outside
#    the target's root (the toolchain file usually keeps find_package()
#    there): its imported programs, made visible to the whole build.
# 2. Else an ExternalProject build of this tree for the build machine: its
#    own configure with the build machine's compiler (no toolchain file; CC,
#    CXX and the compiler flags of the environment cleared), building the
#    two programs only, and again only when one of their sources changed.
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

# Under make the inner build is a recursive $(MAKE), which takes part in
# the outer build's jobserver (CMake 3.28's BUILD_JOB_SERVER_AWARE does the
# same for other commands; $(MAKE) works with every version).
if(CMAKE_GENERATOR MATCHES "^(Unix|MinGW|MSYS) Makefiles$")
  set(host_build "$(MAKE)" swug-gen swug-verify)
else()
  set(host_build "${CMAKE_COMMAND}" --build <BINARY_DIR> --config Release
                 --target swug-gen swug-verify)
endif()

# The configure runs at build time, in the build's environment: what would
# pick the target's compiler or its flags there is cleared.
ExternalProject_Add(swug_host_tools
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${host_dir}"
  CONFIGURE_COMMAND "${CMAKE_COMMAND}" -E env --unset=CC --unset=CXX --unset=CMAKE_TOOLCHAIN_FILE
                    --unset=CFLAGS --unset=CXXFLAGS --unset=CPPFLAGS --unset=LDFLAGS
                    "${CMAKE_COMMAND}" -G "${host_generator}" ${host_make}
                    -DCMAKE_BUILD_TYPE=Release -DSWUG_TOOLS_ONLY=ON
                    -S <SOURCE_DIR> -B <BINARY_DIR>
  BUILD_COMMAND ${host_build}
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS "${host_bin}/swug-gen${host_exe}" "${host_bin}/swug-verify${host_exe}")
# The inner build runs when a file it builds from changed, so that a build
# with nothing changed does nothing here. A new source file comes with a
# change to CMakeLists.txt, which configures this project again and with it
# the list.
file(GLOB host_sources "${PROJECT_SOURCE_DIR}/src/*")
ExternalProject_Add_StepDependencies(swug_host_tools build ${host_sources}
  "${PROJECT_SOURCE_DIR}/CMakeLists.txt" "${PROJECT_SOURCE_DIR}/LICENSE"
  "${PROJECT_SOURCE_DIR}/packaging/windows.manifest"
  "${PROJECT_SOURCE_DIR}/packaging/windows-version.rc.in")
foreach(tool swug-gen swug-verify)
  add_executable(swug::${tool} IMPORTED GLOBAL)
  set_target_properties(swug::${tool} PROPERTIES IMPORTED_LOCATION "${host_bin}/${tool}${host_exe}")
endforeach()
# Nothing can depend on an imported target: swug_add_upgrade_image() waits
# for this one.
set_property(GLOBAL PROPERTY SWUG_TOOLS_BUILD_TARGET swug_host_tools)
message(STATUS "swug: no installed package found: swug-gen and swug-verify are built "
               "for the build machine (ExternalProject swug_host_tools, in ${host_dir})")
