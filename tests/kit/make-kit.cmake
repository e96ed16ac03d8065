# Writes the test kit from the recorded cases (cmake -P, at build time, when every file exists):
#   -DKIT_DIR=<kit> -DCASES=<kit-cases.txt> -DEXCLUDED=<kit-excluded.txt> -DRUNNER=<run-kit.exe>
#   -DBUILD_DIR=<build tree> -DSOURCE_DIR=<source tree>
# Test programs go to the kit's root under their own names. An argument naming a file or folder of the build
# or source tree is copied below data/ (the same relative path) and becomes "kit:data/<path>", which the
# runner expands to an absolute Windows path; any other argument is passed on as written.
cmake_minimum_required(VERSION 3.21)

file(MAKE_DIRECTORY "${KIT_DIR}/data")
file(COPY "${RUNNER}" DESTINATION "${KIT_DIR}")

# kit_path(<out var> <path>): the kit's name for a file of the build or source tree, copied there; empty for
# anything else.
function(kit_path var path)
  set(${var} "" PARENT_SCOPE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    return()
  endif()
  file(RELATIVE_PATH from_build "${BUILD_DIR}" "${path}")
  file(RELATIVE_PATH from_source "${SOURCE_DIR}" "${path}")
  if(NOT from_build MATCHES "^\\.\\./")
    set(relative "${from_build}")
  elseif(NOT from_source MATCHES "^\\.\\./")
    set(relative "source/${from_source}")
  else()
    return()
  endif()
  get_filename_component(parent "data/${relative}" DIRECTORY)
  file(COPY "${path}" DESTINATION "${KIT_DIR}/${parent}")
  set(${var} "kit:data/${relative}" PARENT_SCOPE)
endfunction()

file(STRINGS "${CASES}" lines)
set(list_text "")
set(count 0)
foreach(line IN LISTS lines)
  string(REPLACE "\t" ";" fields "${line}")
  list(GET fields 0 1 2 3 head)
  list(SUBLIST fields 4 -1 args)
  list(GET head 3 program)
  file(COPY "${program}" DESTINATION "${KIT_DIR}")
  get_filename_component(program_name "${program}" NAME)
  list(SUBLIST head 0 3 entry)
  list(APPEND entry "${program_name}")
  foreach(arg IN LISTS args)
    if(arg STREQUAL "")
      continue()
    endif()
    kit_path(kit_arg "${arg}")
    if(kit_arg)
      set(arg "${kit_arg}")
    endif()
    list(APPEND entry "${arg}")
  endforeach()
  string(REPLACE ";" "\t" entry "${entry}")
  string(APPEND list_text "${entry}\n")
  math(EXPR count "${count} + 1")
endforeach()

# One case a line: name, flags ("system-changes" or "-"), time limit in seconds, program, arguments; tabs
# between the fields, UTF-8.
file(WRITE "${KIT_DIR}/tests.list" "${list_text}")
file(READ "${EXCLUDED}" excluded)
file(WRITE "${KIT_DIR}/not-in-kit.txt" "${excluded}")
message(STATUS "Test kit: ${count} cases in ${KIT_DIR}")
