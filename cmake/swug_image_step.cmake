# The build step of swug_add_upgrade_image() (swug_upgrade_image.cmake), run
# as cmake -P with these set:
#   SWUG_GEN, SWUG_INPUT, SWUG_OUTPUT  swug-gen, the raw firmware, the image
#   SWUG_VERIFY                        swug-verify, or empty for no check
#   SWUG_BASE_DIR                      what a relative SWUG_INPUT starts from
#   SWUG_OBJCOPY, SWUG_FIRMWARE        when set: objcopy and the linked
#                                      firmware, whose raw binary is written
#                                      to SWUG_INPUT first
#   SWUG_OBJCOPY_ARGS                  objcopy's options before -O binary
# Any status but 0 from a tool ends the script with an error, which fails
# the build. An error is one line (the leading space keeps CMake from
# wrapping it) after CMake's own "CMake Error at" line.

# swug-gen takes names of at most this many bytes.
set(name_limit 299)

# Ends the step with the text of the arguments, joined. A failed step leaves
# no image, as make's .DELETE_ON_ERROR would: an older one would be taken
# for this build's by the next build and by an install. The raw binary this
# step wrote goes too (it can be hundreds of megabytes).
function(swug_fail)
  set(text "")
  foreach(i RANGE 1 ${ARGC})
    math(EXPR i "${i} - 1")
    string(APPEND text "${ARGV${i}}") # one by one: an argument may hold a ;
  endforeach()
  file(REMOVE "${SWUG_OUTPUT}")
  if(DEFINED SWUG_FIRMWARE)
    file(REMOVE "${SWUG_INPUT}")
  endif()
  message(FATAL_ERROR " swug_add_upgrade_image: ${text}")
endfunction()

# Sets <out_var> to the shorter of the name of <file> relative to <dir> and
# its full name. A relative name never begins with "./", which swug-gen
# would turn back into the full name.
function(swug_short_name file dir out_var)
  file(RELATIVE_PATH rel "${dir}" "${file}")
  string(LENGTH "${rel}" rel_size)
  string(LENGTH "${file}" abs_size)
  if(rel_size LESS abs_size AND NOT rel MATCHES "^\\./")
    set(${out_var} "${rel}" PARENT_SCOPE)
  else()
    set(${out_var} "${file}" PARENT_SCOPE)
  endif()
endfunction()

# Fails the step when name, the shortest name of the <what> file, is longer
# than swug-gen takes.
function(swug_check_name what file name)
  string(LENGTH "${name}" size)
  if(size GREATER name_limit)
    swug_fail("the ${what} ${file}: its shortest name is ${size} bytes long, over the "
              "limit of ${name_limit} bytes that swug-gen takes; a shorter build folder "
              "or path mends it")
  endif()
endfunction()

if(SWUG_INPUT STREQUAL "" OR SWUG_OUTPUT STREQUAL "")
  # An empty argument would leave swug-gen with one argument: its
  # interactive mode, which waits for a key.
  message(FATAL_ERROR " swug_add_upgrade_image: the input or the output is an empty path")
endif()
get_filename_component(SWUG_INPUT "${SWUG_INPUT}" ABSOLUTE BASE_DIR "${SWUG_BASE_DIR}")
get_filename_component(SWUG_OUTPUT "${SWUG_OUTPUT}" ABSOLUTE)
get_filename_component(out_dir "${SWUG_OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${out_dir}")

if(DEFINED SWUG_FIRMWARE)
  get_filename_component(raw_dir "${SWUG_INPUT}" DIRECTORY)
  file(MAKE_DIRECTORY "${raw_dir}")
  execute_process(COMMAND "${SWUG_OBJCOPY}" ${SWUG_OBJCOPY_ARGS} -O binary "${SWUG_FIRMWARE}"
                          "${SWUG_INPUT}" RESULT_VARIABLE rc)
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

# The tools run from the folder that gives the shortest names: a build
# folder deep in a CI runner's workspace easily passes the limit with full
# names. The candidates are the input's folder, the image's, and the
# deepest folder holding both; each name is the shorter of its relative and
# full forms.
get_filename_component(in_dir "${SWUG_INPUT}" DIRECTORY)
set(common "${in_dir}")
string(FIND "${out_dir}/" "${common}/" at)
while(NOT at EQUAL 0)
  get_filename_component(up "${common}" DIRECTORY)
  if(up STREQUAL common)
    break() # the root
  endif()
  set(common "${up}")
  string(FIND "${out_dir}/" "${common}/" at)
endwhile()
set(shortest "")
foreach(dir IN ITEMS "${out_dir}" "${in_dir}" "${common}")
  swug_short_name("${SWUG_INPUT}" "${dir}" in_name)
  swug_short_name("${SWUG_OUTPUT}" "${dir}" out_name)
  string(LENGTH "${in_name}" longer) # the longer of the two decides
  string(LENGTH "${out_name}" out_size)
  if(out_size GREATER longer)
    set(longer ${out_size})
  endif()
  if(shortest STREQUAL "" OR longer LESS shortest)
    set(shortest ${longer})
    set(work_dir "${dir}")
    set(input "${in_name}")
    set(output "${out_name}")
  endif()
endforeach()
swug_check_name(input "${SWUG_INPUT}" "${input}")
swug_check_name(output "${SWUG_OUTPUT}" "${output}")

execute_process(COMMAND "${SWUG_GEN}" "${input}" "${output}" WORKING_DIRECTORY "${work_dir}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  swug_fail("swug-gen ${input} ${output} (in ${work_dir}) failed (${rc}): no image; "
            "the input could not be read or the image not written")
endif()

if(NOT SWUG_VERIFY STREQUAL "")
  execute_process(COMMAND "${SWUG_VERIFY}" "${output}" "${input}" WORKING_DIRECTORY "${work_dir}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE report)
  if(NOT rc EQUAL 0)
    # A rejected image must not stay: the next build would take it for up
    # to date.
    swug_fail("swug-verify ${output} ${input} (in ${work_dir}) failed (${rc}), the image "
              "is removed:\n${report}")
  endif()
endif()
