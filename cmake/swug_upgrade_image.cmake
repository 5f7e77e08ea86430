# swug_add_upgrade_image(): the upgrade image of a firmware as a step of the
# build. swugConfig.cmake (find_package(swug)) and the source tree
# (add_subdirectory, FetchContent) both include this file.
#
#   swug_add_upgrade_image(<name>
#       INPUT <raw firmware file> | FIRMWARE <executable target>
#       [OUTPUT <image file>]      # default: ${CMAKE_CURRENT_BINARY_DIR}/<name>.bin
#       [VERIFY]                   # also check the image with swug-verify IMAGE INPUT
#       [ALL]                      # part of the default build
#       [DEPENDS <files or targets>...])
#
# Adds a custom command whose output is the image and a custom target <name>
# that builds it.
#
#   INPUT     the raw firmware, a file (relative: to the current source
#             folder). Generator expressions work, e.g. $<TARGET_FILE:tgt>.
#   FIRMWARE  an executable target (the linked firmware): the step first
#             writes its raw binary, ${CMAKE_CURRENT_BINARY_DIR}/<name>.raw,
#             with ${CMAKE_OBJCOPY} -O binary, and builds the image of that.
#   OUTPUT    the image (relative: to the current binary folder).
#   VERIFY    after swug-gen, swug-verify checks that the image is byte for
#             byte what swug-gen builds from the input; an image it rejects
#             is removed, so that no build takes it for up to date.
#   ALL       builds the image with the default target.
#   DEPENDS   more files or targets the step waits for and follows.
#
# The tools run in their command mode (two arguments, never a prompt or a
# key wait); a status other than 0 fails the step and with it the build, and
# swug-gen then leaves an older image as it was. The step runs again only
# when the input, the firmware, the tools or a DEPENDS changed.
#
# The tools are swug::swug-gen and swug::swug-verify: imported from an
# installed package, or built in this build when the source tree is part of
# it. The cache variables SWUG_GEN_EXECUTABLE and SWUG_VERIFY_EXECUTABLE
# name other programs (full paths) to run instead.

set(SWUG_GEN_EXECUTABLE "" CACHE FILEPATH
    "swug-gen for swug_add_upgrade_image(), instead of swug::swug-gen (a full path)")
set(SWUG_VERIFY_EXECUTABLE "" CACHE FILEPATH
    "swug-verify for swug_add_upgrade_image(VERIFY), instead of swug::swug-verify (a full path)")
# The step script lies beside this file; a function sees its caller's
# CMAKE_CURRENT_LIST_DIR, so the folder is kept where every folder sees it.
set_property(GLOBAL PROPERTY SWUG_IMAGE_STEP "${CMAKE_CURRENT_LIST_DIR}/swug_image_step.cmake")

# Sets <out_var> to the program to run for <tool> (swug-gen or swug-verify)
# and appends to <deps_var> what the step depends on for it: the cache
# variable <cache_var> when set, the target swug::<tool> otherwise.
function(_swug_tool _tool _cache_var _out_var _deps_var)
  set(_path "${${_cache_var}}")
  if(NOT _path STREQUAL "")
    if(NOT IS_ABSOLUTE "${_path}")
      message(FATAL_ERROR "${_cache_var} must be a full path, not ${_path}")
    endif()
    set(${_out_var} "${_path}" PARENT_SCOPE)
    set(${_deps_var} ${${_deps_var}} "${_path}" PARENT_SCOPE)
  elseif(TARGET swug::${_tool})
    set(${_out_var} "$<TARGET_FILE:swug::${_tool}>" PARENT_SCOPE)
    set(${_deps_var} ${${_deps_var}} swug::${_tool} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "swug_add_upgrade_image: no target swug::${_tool} "
                        "(find_package(swug) first) and no ${_cache_var}")
  endif()
endfunction()

function(swug_add_upgrade_image name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;ALL" "INPUT;FIRMWARE;OUTPUT" "DEPENDS")
  set(usage "swug_add_upgrade_image(${name} INPUT <file> | FIRMWARE <target> [OUTPUT <file>] [VERIFY] [ALL] [DEPENDS ...])")
  if(arg_UNPARSED_ARGUMENTS OR arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${usage}: unexpected or missing "
                        "${arg_UNPARSED_ARGUMENTS}${arg_KEYWORDS_MISSING_VALUES}")
  endif()
  if((DEFINED arg_INPUT AND DEFINED arg_FIRMWARE) OR
     (NOT DEFINED arg_INPUT AND NOT DEFINED arg_FIRMWARE))
    message(FATAL_ERROR "${usage}: give exactly one of INPUT and FIRMWARE")
  endif()

  set(deps ${arg_DEPENDS})
  _swug_tool(swug-gen SWUG_GEN_EXECUTABLE gen deps)
  set(verify "")
  if(arg_VERIFY)
    _swug_tool(swug-verify SWUG_VERIFY_EXECUTABLE verify deps)
  endif()

  set(firmware_args "")
  set(byproducts "")
  if(DEFINED arg_FIRMWARE)
    if(NOT TARGET ${arg_FIRMWARE})
      message(FATAL_ERROR "${usage}: FIRMWARE ${arg_FIRMWARE} is not a target")
    endif()
    if(NOT CMAKE_OBJCOPY)
      message(FATAL_ERROR "${usage}: FIRMWARE needs objcopy, and CMAKE_OBJCOPY is not set")
    endif()
    set(input "${CMAKE_CURRENT_BINARY_DIR}/${name}.raw")
    set(firmware_args "-DSWUG_OBJCOPY=${CMAKE_OBJCOPY}" "-DSWUG_FIRMWARE=$<TARGET_FILE:${arg_FIRMWARE}>")
    set(byproducts BYPRODUCTS "${input}")
    list(APPEND deps ${arg_FIRMWARE})
  else()
    set(input "${arg_INPUT}")
    # Generator expressions are made absolute by the step script, at build
    # time; a plain path here, so that DEPENDS names the same file.
    string(GENEX_STRIP "${input}" plain)
    if(plain STREQUAL input AND NOT IS_ABSOLUTE "${input}")
      set(input "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
    endif()
    list(APPEND deps "${input}")
  endif()

  if(DEFINED arg_OUTPUT)
    set(output "${arg_OUTPUT}")
    if(NOT IS_ABSOLUTE "${output}")
      set(output "${CMAKE_CURRENT_BINARY_DIR}/${output}")
    endif()
  else()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.bin")
  endif()

  get_property(step GLOBAL PROPERTY SWUG_IMAGE_STEP)
  file(RELATIVE_PATH shown "${CMAKE_BINARY_DIR}" "${output}")
  add_custom_command(OUTPUT "${output}" ${byproducts}
    COMMAND "${CMAKE_COMMAND}" "-DSWUG_GEN=${gen}" "-DSWUG_VERIFY=${verify}"
            "-DSWUG_INPUT=${input}" "-DSWUG_OUTPUT=${output}"
            "-DSWUG_BASE_DIR=${CMAKE_CURRENT_SOURCE_DIR}" ${firmware_args} -P "${step}"
    DEPENDS ${deps} "${step}"
    COMMENT "Building upgrade image ${shown}"
    VERBATIM)
  if(arg_ALL)
    add_custom_target(${name} ALL DEPENDS "${output}")
  else()
    add_custom_target(${name} DEPENDS "${output}")
  endif()
endfunction()
