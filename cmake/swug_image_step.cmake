# The build step of swug_add_upgrade_image() (swug_upgrade_image.cmake), run
# as cmake -P with these set:
#   SWUG_GEN, SWUG_INPUT, SWUG_OUTPUT  swug-gen, the raw firmware, the image
#   SWUG_VERIFY                        swug-verify, or empty for no check
#   SWUG_BASE_DIR                      what a relative SWUG_INPUT starts from
#   SWUG_OBJCOPY, SWUG_FIRMWARE        when set: objcopy and the linked
#                                      firmware, whose raw binary is written
#                                      to SWUG_INPUT first
# Any status but 0 from a tool ends the script with an error, which fails
# the build. An error is one line (the leading space keeps CMake from
# wrapping it) after CMake's own "CMake Error at" line.

# Ends the step with the text of the arguments, joined; a raw binary this step wrote goes too, so that
# a failed build leaves none behind (it can be hundreds of megabytes).
function(swug_fail)
  string(CONCAT text ${ARGV})
  if(DEFINED SWUG_FIRMWARE)
    file(REMOVE "${SWUG_INPUT}")
  endif()
  message(FATAL_ERROR " swug_add_upgrade_image: ${text}")
endfunction()

if(SWUG_INPUT STREQUAL "" OR SWUG_OUTPUT STREQUAL "")
  # An empty argument would leave swug-gen with one argument: its
  # interactive mode, which waits for a key.
  message(FATAL_ERROR " swug_add_upgrade_image: the input or the output is an empty path")
endif()
get_filename_component(SWUG_INPUT "${SWUG_INPUT}" ABSOLUTE BASE_DIR "${SWUG_BASE_DIR}")
get_filename_component(out_dir "${SWUG_OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")

if(DEFINED SWUG_FIRMWARE)
  get_filename_component(raw_dir "${SWUG_INPUT}" DIRECTORY)
  file(MAKE_DIRECTORY "${raw_dir}")
  execute_process(COMMAND "${SWUG_OBJCOPY}" -O binary "${SWUG_FIRMWARE}" "${SWUG_INPUT}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    swug_fail("objcopy -O binary ${SWUG_FIRMWARE} ${SWUG_INPUT} failed (${rc})")
  endif()
endif()

# What swug-gen would refuse, said here with the reason: swug-gen itself
# only has its exit status in a build.
if(IS_DIRECTORY "${SWUG_INPUT}")
  swug_fail("the input ${SWUG_INPUT} is a folder, not a file")
elseif(NOT EXISTS "${SWUG_INPUT}")
  swug_fail("the input ${SWUG_INPUT} is missing")
endif()
file(SIZE "${SWUG_INPUT}" size)
if(size EQUAL 0)
  swug_fail("the input ${SWUG_INPUT} is empty (0 bytes)")
elseif(size GREATER 1048576)
  swug_fail("the input ${SWUG_INPUT} is ${size} bytes, over the limit of 1,048,576 "
            "bytes (a raw binary that large usually means a section placed in RAM "
            "without AT > FLASH in the linker script)")
endif()

execute_process(COMMAND "${SWUG_GEN}" "${SWUG_INPUT}" "${SWUG_OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  swug_fail("swug-gen ${SWUG_INPUT} ${SWUG_OUTPUT} failed (${rc}): no new image, an "
            "older one is left as it was; the input could not be read or the image "
            "not written")
endif()

if(NOT SWUG_VERIFY STREQUAL "")
  execute_process(COMMAND "${SWUG_VERIFY}" "${SWUG_OUTPUT}" "${SWUG_INPUT}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(NOT rc EQUAL 0)
    # A rejected image must not stay: the next build would take it for up
    # to date.
    file(REMOVE "${SWUG_OUTPUT}")
    swug_fail("swug-verify ${SWUG_OUTPUT} ${SWUG_INPUT} failed (${rc}), the image is "
              "removed:\n${report}")
  endif()
endif()
