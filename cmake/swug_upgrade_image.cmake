# swug_add_upgrade_image(): the upgrade image of a firmware as a step of the
# build. swugConfig.cmake (find_package(swug)) and the source tree
# (add_subdirectory, FetchContent) both include this file.
#
#   swug_add_upgrade_image(<name>
#       INPUT <raw firmware file> | FIRMWARE <executable target>
#       [OUTPUT <image file>]      # default: ${CMAKE_CURRENT_BINARY_DIR}/<name>.bin
#       [VERIFY]                   # also check the image with swug-verify IMAGE INPUT
#       [ALL]                      # part of the default build
#       [DEPENDS <files or targets>...]
#       [OBJCOPY_ARGS <options>...])  # FIRMWARE: objcopy's, before -O binary
#
# Adds a custom command whose output is the image and a custom target <name>
# that builds it. The target's property SWUG_IMAGE_FILE is the image's full
# path, e.g. for install(FILES "$<TARGET_PROPERTY:<name>,SWUG_IMAGE_FILE>" ...).
#
# A multi-configuration generator (Ninja Multi-Config, Visual Studio, Xcode;
# CMake 3.20 or later) gives every configuration its own files: the raw file
# and the default image are <config>/<name>.raw and <config>/<name>.bin, and
# SWUG_IMAGE_FILE holds $<CONFIG>. An OUTPUT there must name one file per
# configuration (e.g. images/$<CONFIG>/app.bin) unless the input is one plain
# file for all of them.
#
#   INPUT     the raw firmware, a file. A relative name is found as
#             add_custom_command(DEPENDS) finds it: the OUTPUT of an earlier
#             custom command of this folder, else a file of the current
#             source folder, else of the current binary folder. Generator
#             expressions work, e.g. $<TARGET_FILE:tgt>.
#   FIRMWARE  an executable target (the linked firmware; anything else is a
#             configure error, also for a target defined after the call):
#             the step first writes its raw binary,
#             ${CMAKE_CURRENT_BINARY_DIR}/<name>.raw, with
#             ${CMAKE_OBJCOPY} -O binary, and builds the image of that.
#   OUTPUT    the image (relative: to the current binary folder); may hold
#             generator expressions such as $<CONFIG>.
#   VERIFY    after swug-gen, swug-verify checks that the image is byte for
#             byte what swug-gen builds from the input; an image it rejects
#             is removed, so that no build takes it for up to date.
#   ALL       builds the image with the default target.
#   DEPENDS   more files or targets the step waits for and follows.
#   OBJCOPY_ARGS  options for objcopy with FIRMWARE, each passed whole
#             before -O binary, e.g. --gap-fill 0xFF or -R .noinit.
#
# The tools run in their command mode (two arguments, never a prompt or a
# key wait). The step first checks the input (missing, empty, over the
# 1,048,576 bytes swug-gen takes) and names what is wrong; a status other
# than 0 fails the step and with it the build. A failed step leaves no image
# (an older one is removed, so that neither the next build nor an install
# takes it for this one) and no raw file. The tools run from a folder that
# keeps the names within the 300 bytes swug-gen takes (see the step). The
# step runs again only when the input, the firmware, the tools or a DEPENDS
# changed.
#
# The tools are swug::swug-gen and swug::swug-verify: imported from an
# installed package, or built in this build when the source tree is part of
# it (in a cross build: an installed package, or built for the build
# machine by ExternalProject; see the top-level CMakeLists.txt). The cache
# variables SWUG_GEN_EXECUTABLE and SWUG_VERIFY_EXECUTABLE name other
# programs to run instead: a full path, or a bare name looked up on the PATH.

# A bare name is looked up before the cache entry below gets its type: a
# FILEPATH entry given on the command line without a type would be made
# absolute against the folder cmake was started in. A relative path is
# refused, as neither the build nor its dependencies could tell from where.
foreach(var SWUG_GEN_EXECUTABLE SWUG_VERIFY_EXECUTABLE)
  set(value "$CACHE{${var}}")
  if(NOT value STREQUAL "" AND NOT IS_ABSOLUTE "${value}")
    if(value MATCHES "[/\\\\]")
      message(FATAL_ERROR "${var} is ${value}: give a full path, or a program name to look for on the PATH")
    endif()
    unset(${var} CACHE)
    find_program(${var} NAMES "${value}" NO_CMAKE_FIND_ROOT_PATH
                 DOC "a program to run instead of the target swug::...")
    if(NOT ${var})
      set(${var} "${value}" CACHE FILEPATH "" FORCE) # as it was given, for the next try
      message(FATAL_ERROR "${var} is ${value}, and no program of that name is on the PATH")
    endif()
  endif()
endforeach()
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
      message(FATAL_ERROR "${_cache_var} must be a full path or a program name, not ${_path}")
    endif()
    set(${_out_var} "${_path}" PARENT_SCOPE)
    set(${_deps_var} ${${_deps_var}} "${_path}" PARENT_SCOPE)
  elseif(TARGET swug::${_tool})
    # Tools built by ExternalProject are imported targets, on which nothing
    # can depend: the step waits for the target that builds them instead.
    get_property(_builder GLOBAL PROPERTY SWUG_TOOLS_BUILD_TARGET)
    set(${_out_var} "$<TARGET_FILE:swug::${_tool}>" PARENT_SCOPE)
    set(${_deps_var} ${${_deps_var}} swug::${_tool} ${_builder} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "swug_add_upgrade_image: no target swug::${_tool} "
                        "(find_package(swug) first) and no ${_cache_var}")
  endif()
endfunction()

# Refuses a FIRMWARE that is not an executable target. A target defined
# later (further down, in a later folder, by a deferred call) is checked at
# the end of the top-level folder, and once more after the calls deferred
# there meanwhile; CMake before 3.19 cannot defer, and wants it defined first.
function(_swug_check_firmware name firmware pass)
  if(TARGET ${firmware})
    get_target_property(type ${firmware} TYPE)
    if(NOT type STREQUAL "EXECUTABLE")
      message(FATAL_ERROR "swug_add_upgrade_image(${name}): FIRMWARE ${firmware} is a "
                          "${type}, not an executable: objcopy makes the raw binary "
                          "of a linked firmware only")
    endif()
  elseif(pass LESS 2 AND NOT CMAKE_VERSION VERSION_LESS 3.19)
    math(EXPR pass "${pass} + 1")
    # Arguments of a deferred call are read when it runs: pass the values.
    cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [==[${CMAKE_SOURCE_DIR}]==] \
      CALL _swug_check_firmware [==[${name}]==] [==[${firmware}]==] ${pass})")
  else()
    message(FATAL_ERROR "swug_add_upgrade_image(${name}): FIRMWARE ${firmware} is not a target")
  endif()
endfunction()

function(swug_add_upgrade_image name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "VERIFY;ALL" "INPUT;FIRMWARE;OUTPUT" "DEPENDS;OBJCOPY_ARGS")
  set(usage "swug_add_upgrade_image(${name} INPUT <file> | FIRMWARE <target> [OUTPUT <file>] [VERIFY] [ALL] [DEPENDS ...] [OBJCOPY_ARGS ...])")
  if(arg_UNPARSED_ARGUMENTS OR arg_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${usage}: unexpected or missing "
                        "${arg_UNPARSED_ARGUMENTS}${arg_KEYWORDS_MISSING_VALUES}")
  endif()
  if((DEFINED arg_INPUT AND DEFINED arg_FIRMWARE) OR
     (NOT DEFINED arg_INPUT AND NOT DEFINED arg_FIRMWARE))
    message(FATAL_ERROR "${usage}: give exactly one of INPUT and FIRMWARE")
  endif()
  if(DEFINED arg_OBJCOPY_ARGS AND NOT DEFINED arg_FIRMWARE)
    message(FATAL_ERROR "${usage}: OBJCOPY_ARGS goes with FIRMWARE, which runs objcopy")
  endif()
  # A multi-configuration generator builds every configuration in the same
  # folders: each one needs its own raw file and image, which takes
  # generator expressions in OUTPUT and BYPRODUCTS (CMake 3.20).
  get_property(multi GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi AND CMAKE_VERSION VERSION_LESS 3.20)
    message(FATAL_ERROR "swug_add_upgrade_image: ${CMAKE_GENERATOR} builds several "
      "configurations, each with its own image, which needs CMake 3.20 or later "
      "(this is ${CMAKE_VERSION}); use a single-configuration generator (Ninja, Makefiles)")
  endif()
  set(cfg "")
  if(multi)
    set(cfg "$<CONFIG>/")
  endif()

  set(deps ${arg_DEPENDS})
  _swug_tool(swug-gen SWUG_GEN_EXECUTABLE gen deps)
  set(verify "")
  if(arg_VERIFY)
    _swug_tool(swug-verify SWUG_VERIFY_EXECUTABLE verify deps)
  endif()

  set(byproducts "")
  if(DEFINED arg_FIRMWARE)
    if(NOT CMAKE_OBJCOPY)
      message(FATAL_ERROR "${usage}: FIRMWARE needs objcopy, and CMAKE_OBJCOPY is not set")
    endif()
    _swug_check_firmware("${name}" "${arg_FIRMWARE}" 0)
    set(input "${CMAKE_CURRENT_BINARY_DIR}/${cfg}${name}.raw")
    set(firmware "$<TARGET_FILE:${arg_FIRMWARE}>")
    set(byproducts BYPRODUCTS "${input}")
    # The file, of the image's configuration, is what the step follows; the
    # target (add_dependencies below) orders the build.
    list(APPEND deps "${firmware}")
  else()
    set(input "${arg_INPUT}")
    # Generator expressions are made absolute by the step script, at build
    # time; a plain path here, the file DEPENDS would take, so that the
    # step reads the file it follows.
    string(GENEX_STRIP "${input}" plain)
    if(plain STREQUAL input AND NOT IS_ABSOLUTE "${input}")
      get_source_file_property(made "${CMAKE_CURRENT_BINARY_DIR}/${input}" GENERATED)
      if(NOT made AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
        set(input "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
      else()
        set(input "${CMAKE_CURRENT_BINARY_DIR}/${input}")
      endif()
    endif()
    list(APPEND deps "${input}")
  endif()

  if(DEFINED arg_OUTPUT)
    set(output "${arg_OUTPUT}")
    if(NOT IS_ABSOLUTE "${output}")
      set(output "${CMAKE_CURRENT_BINARY_DIR}/${output}")
    endif()
    string(GENEX_STRIP "${output}" plain)
    string(GENEX_STRIP "${input}" plain_input)
    if(multi AND plain STREQUAL output AND
       (DEFINED arg_FIRMWARE OR NOT plain_input STREQUAL input))
      # One file for every configuration would hold whichever was built
      # last, and with cross-configuration builds not even that one.
      message(FATAL_ERROR "${usage}: OUTPUT ${arg_OUTPUT} is one file for every "
                          "configuration of ${CMAKE_GENERATOR}: name one per "
                          "configuration, e.g. with $<CONFIG> in the path")
    endif()
  else()
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${cfg}${name}.bin")
  endif()

  set(args "-DSWUG_GEN=${gen}" "-DSWUG_VERIFY=${verify}" "-DSWUG_INPUT=${input}"
           "-DSWUG_OUTPUT=${output}")
  if(DEFINED arg_FIRMWARE)
    # One argument for the list: its ; would split it, also inside the
    # generator expressions below.
    string(REPLACE ";" "$<SEMICOLON>" objcopy_args "${arg_OBJCOPY_ARGS}")
    list(APPEND args "-DSWUG_OBJCOPY=${CMAKE_OBJCOPY}" "-DSWUG_FIRMWARE=${firmware}"
                     "-DSWUG_OBJCOPY_ARGS=${objcopy_args}")
  endif()
  if(multi)
    # Ninja Multi-Config can build one configuration's image from another's
    # build file (CMAKE_CROSS_CONFIGS): the firmware, input and image are
    # the image's configuration ("output config"), the tools the ones that
    # build file builds ("command config"). Other generators take both as
    # the configuration being built.
    set(wrapped "")
    foreach(a IN LISTS args)
      if(a MATCHES "^-DSWUG_(GEN|VERIFY)=")
        list(APPEND wrapped "$<COMMAND_CONFIG:${a}>")
      else()
        list(APPEND wrapped "$<OUTPUT_CONFIG:${a}>")
      endif()
    endforeach()
    set(args "${wrapped}")
  endif()

  get_property(step GLOBAL PROPERTY SWUG_IMAGE_STEP)
  file(RELATIVE_PATH shown "${CMAKE_BINARY_DIR}" "${output}")
  string(GENEX_STRIP "${shown}" plain)
  if(NOT plain STREQUAL shown AND CMAKE_VERSION VERSION_LESS 3.26)
    set(shown "of ${name}") # a COMMENT takes generator expressions from 3.26 on
  endif()
  add_custom_command(OUTPUT "${output}" ${byproducts}
    COMMAND "${CMAKE_COMMAND}" ${args} "-DSWUG_BASE_DIR=${CMAKE_CURRENT_SOURCE_DIR}"
            -P "${step}"
    DEPENDS ${deps} "${step}"
    COMMENT "Building upgrade image ${shown}"
    VERBATIM)
  set(all "")
  if(arg_ALL)
    set(all ALL)
  endif()
  add_custom_target(${name} ${all} DEPENDS "${output}")
  if(DEFINED arg_FIRMWARE)
    add_dependencies(${name} ${arg_FIRMWARE})
  endif()
  set_target_properties(${name} PROPERTIES SWUG_IMAGE_FILE "${output}")
endfunction()
