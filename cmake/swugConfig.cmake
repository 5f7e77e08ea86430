# The swug CMake package, loaded by find_package(swug 1.0 CONFIG REQUIRED):
#
#   swug::swug-gen, swug::swug-verify   the installed programs, imported
#   swug_add_upgrade_image(<name>
#       INPUT <raw firmware file> | FIRMWARE <executable target>
#       [OUTPUT <image file>] [VERIFY] [ALL] [DEPENDS <files or targets>...])
#                                       the upgrade image as a build step; the
#                                       target <name> has the image's path in
#                                       its property SWUG_IMAGE_FILE
#
# The function and its options are described in swug_upgrade_image.cmake,
# beside this file. In a cross build (a toolchain file with
# CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY) find_package() looks only under the
# target's root: call it with NO_CMAKE_FIND_ROOT_PATH, or set swug_DIR to
# this folder, to find these host tools.
include("${CMAKE_CURRENT_LIST_DIR}/swugTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/swug_upgrade_image.cmake")
