# Installing the tools and packing them for release:
#   Linux:   bin/swug-gen, bin/swug-verify, share/man/man1/*.1.gz,
#            share/doc/swug/{copyright,changelog.gz},
#            share/swug/swug-verify.schema.json (the --json report's schema),
#            lib/cmake/swug/ (the CMake package)            ->  .deb and .tar.gz
#            share/lintian/overrides/swug                   ->  .deb only
#   Windows: swug-gen.exe, swug-verify.exe, swug-verify.schema.json,
#            README.txt, LICENSE.txt, cmake/ (the CMake package)  ->  .zip
#
# The version is the project's, set once in project() at the top of
# CMakeLists.txt: the programs, the manual pages, the .exe resources and the
# package names take it from there, and the changelogs must start with an
# entry for it (checked below).
#
# Every file that goes into a package is made so that the same sources give
# the same bytes: gzip -n keeps names and times out of the compressed files,
# and CPack takes its archive times from SOURCE_DATE_EPOCH (scripts/package.sh
# sets it from the last commit).
include(GNUInstallDirs)

set(SWUG_MAINTAINER "swug maintainers <swug@localhost>" CACHE STRING
    "Name and mail address of whoever builds the packages (Maintainer of the .deb)")

set(pack_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
# Folders made by an install are rwxr-xr-x whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Compresses IN into OUT the way Debian wants it: best compression, and no
# name or time stamp in the header, so the result depends on IN alone.
function(swug_gzip in out)
  find_program(SWUG_GZIP gzip REQUIRED)
  execute_process(COMMAND ${SWUG_GZIP} -9n -c ${in} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${in} failed: ${rc}")
  endif()
endfunction()

if(WIN32)
  install(TARGETS swug-gen swug-verify EXPORT swugTargets RUNTIME DESTINATION .)
  # Where find_package() looks in a prefix that is one program's folder.
  set(SWUG_PACKAGE_DIR cmake)
  # Windows line ends, so that Notepad shows them as lines.
  configure_file(packaging/README-windows.txt ${pack_dir}/README.txt @ONLY NEWLINE_STYLE WIN32)
  configure_file(LICENSE ${pack_dir}/LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${pack_dir}/README.txt ${pack_dir}/LICENSE.txt share/swug-verify.schema.json
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS swug-gen swug-verify EXPORT swugTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # lib/cmake, not GNUInstallDirs' lib/<multiarch>: the package names host
  # programs, which cross builds for any architecture find here.
  set(SWUG_PACKAGE_DIR lib/cmake/swug)
  # A stripped install (as the packages are) drops the compiler's version
  # notes too: they only take room.
  if(CMAKE_OBJCOPY)
    install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(exe swug-gen swug-verify)
        set(f \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${exe}\")
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment \"\${f}\"
                        RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
          message(FATAL_ERROR \"objcopy \${f} failed: \${rc}\")
        endif()
      endforeach()
    endif()")
  endif()

  foreach(page swug-gen swug-verify)
    configure_file(man/${page}.1 ${pack_dir}/${page}.1 @ONLY)
    swug_gzip(${pack_dir}/${page}.1 ${pack_dir}/${page}.1.gz)
    install(FILES ${pack_dir}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # The license as a machine-readable Debian copyright file: the MIT text
  # from LICENSE, from "Permission" on, as one indented License paragraph.
  file(READ LICENSE license)
  string(FIND "${license}" "Permission" start)
  string(SUBSTRING "${license}" ${start} -1 license)
  string(STRIP "${license}" license)
  string(REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " license "${license}")
  file(READ packaging/copyright.head head)
  file(WRITE ${pack_dir}/copyright.tmp "${head} ${license}\n")
  configure_file(${pack_dir}/copyright.tmp ${pack_dir}/copyright COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE packaging/copyright.head)

  # The package's own changelog (Debian format, as a native package has it).
  file(STRINGS packaging/changelog.Debian.in top LIMIT_COUNT 1)
  if(NOT top MATCHES "^swug \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog.Debian.in starts with \"${top}\": "
                        "its first entry must be that of ${PROJECT_VERSION}")
  endif()
  configure_file(packaging/changelog.Debian.in ${pack_dir}/changelog @ONLY)
  swug_gzip(${pack_dir}/changelog ${pack_dir}/changelog.gz)

  install(FILES ${pack_dir}/copyright ${pack_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/swug)
  install(FILES share/swug-verify.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/swug)
  # Lintian's overrides are the Debian package's alone: no plain install and
  # no tarball gets them; CPack adds this component to the .deb only.
  install(FILES packaging/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME swug
          COMPONENT deb-only EXCLUDE_FROM_ALL)
  configure_file(packaging/cpack-generator.cmake.in ${pack_dir}/cpack-generator.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${pack_dir}/cpack-generator.cmake)
  set(CPACK_GENERATOR DEB TGZ)
endif()

# The CMake package: find_package(swug) gives the imported programs
# swug::swug-gen and swug::swug-verify and swug_add_upgrade_image(). Any 1.x
# is good for a project that asks for 1.0; the programs run on the build
# machine, so the target's pointer size does not matter.
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${pack_dir}/swugConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(EXPORT swugTargets NAMESPACE swug:: DESTINATION ${SWUG_PACKAGE_DIR})
install(FILES cmake/swugConfig.cmake ${pack_dir}/swugConfigVersion.cmake
              cmake/swug_upgrade_image.cmake cmake/swug_image_step.cmake
        DESTINATION ${SWUG_PACKAGE_DIR})

set(CPACK_PACKAGE_NAME swug)
set(CPACK_PACKAGE_VENDOR "swug")
set(CPACK_PACKAGE_CONTACT "${SWUG_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build and check firmware upgrade images")
set(CPACK_PACKAGE_DESCRIPTION
    "swug-gen turns a raw firmware image into an upgrade image (header,\nchecksum, fill and trailer); swug-verify checks such an image, with or\nwithout the input it was built from.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # dpkg-shlibdeps: libc6 only, runtimes are static
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
