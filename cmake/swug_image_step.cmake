# The build step of swug_add_upgrade_image() (swug_upgrade_image.cmake), run
# as cmake -P with these set:
#   SWUG_GEN, SWUG_INPUT, SWUG_OUTPUT  swug-gen, the raw firmware, the image
#   SWUG_VERIFY                        swug-verify, or empty for no check
#   SWUG_BASE_DIR                      what a relative SWUG_INPUT starts from
#   SWUG_OBJCOPY, SWUG_FIRMWARE        when set: objcopy and the linked
#                                      firmware, whose raw binary is written
#                                      to SWUG_INPUT first
# Any status but 0 from a tool ends the script with an error, which fails
# the build.

if(SWUG_INPUT STREQUAL "" OR SWUG_OUTPUT STREQUAL "")
  # An empty argument would leave swug-gen with one argument: its
  # interactive mode, which waits for a key.
  message(FATAL_ERROR "swug_add_upgrade_image: the input or the output is an empty path")
endif()
get_filename_component(SWUG_INPUT "${SWUG_INPUT}" ABSOLUTE BASE_DIR "${SWUG_BASE_DIR}")
get_filename_component(out_dir "${SWUG_OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")

if(DEFINED SWUG_FIRMWARE)
  execute_process(COMMAND "${SWUG_OBJCOPY}" -O binary "${SWUG_FIRMWARE}" "${SWUG_INPUT}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objcopy -O binary ${SWUG_FIRMWARE} failed (${rc})")
  endif()
endif()

execute_process(COMMAND "${SWUG_GEN}" "${SWUG_INPUT}" "${SWUG_OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "swug-gen ${SWUG_INPUT} ${SWUG_OUTPUT} failed (${rc}): no new "
                      "image, an older one is left as it was. The input is missing, "
                      "empty or over 1,048,576 bytes, or the image cannot be written.")
endif()

if(NOT SWUG_VERIFY STREQUAL "")
  execute_process(COMMAND "${SWUG_VERIFY}" "${SWUG_OUTPUT}" "${SWUG_INPUT}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(NOT rc EQUAL 0)
    # A rejected image must not stay: the next build would take it for up
    # to date.
    file(REMOVE "${SWUG_OUTPUT}")
    message(FATAL_ERROR "swug-verify ${SWUG_OUTPUT} ${SWUG_INPUT} failed (${rc}), "
                        "the image is removed:\n${report}")
  endif()
endif()
