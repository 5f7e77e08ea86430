# Installing the tools and packing them for release:
#   Linux:   bin/swug-gen, bin/swug-verify, share/man/man1/*.1  ->  .deb and .tar.gz
#   Windows: swug-gen.exe, swug-verify.exe, README.txt          ->  .zip
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS swug-gen swug-verify RUNTIME DESTINATION .)
  install(FILES packaging/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS swug-gen swug-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(page swug-gen swug-verify)
    configure_file(man/${page}.1 ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1 @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_PACKAGE_NAME swug)
set(CPACK_PACKAGE_VENDOR "swug")
set(CPACK_PACKAGE_CONTACT "swug maintainers <swug@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build and check firmware upgrade images")
set(CPACK_PACKAGE_DESCRIPTION
    "swug-gen turns a raw firmware image into an upgrade image (header, checksum,\n fill and trailer); swug-verify checks such an image, with or without its source.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # dpkg-shlibdeps: libc6 only, runtimes are static
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
