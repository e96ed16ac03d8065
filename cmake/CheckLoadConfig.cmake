# cmake -DIMAGE=<exe> -P CheckLoadConfig.cmake
# Fails when the linked image's header names no load-configuration directory, or one whose DependentLoadFlags
# is not LOAD_LIBRARY_SEARCH_SYSTEM32: the linker did not take _load_config_used (GNU ld, or an older CMake that
# ignores the linker launcher), and the imports that are not known DLLs could come from the image's own folder.
# The image is deleted then, so nothing is left at the output path and the next build links it again.

file(READ "${IMAGE}" header LIMIT 4096 HEX)

# quorlith_read_le(<var> <hex> <offset> <bytes>): the little-endian number at a byte offset of a hex dump.
function(quorlith_read_le var hex offset bytes)
  math(EXPR at "(${offset}) * 2")
  math(EXPR length "${bytes} * 2")
  string(SUBSTRING "${hex}" ${at} ${length} digits)
  set(value "")
  while(digits)
    string(SUBSTRING "${digits}" 0 2 byte)
    string(SUBSTRING "${digits}" 2 -1 digits)
    string(PREPEND value "${byte}")
  endwhile()
  if(NOT value)
    set(value 0)
  endif()
  math(EXPR value "0x${value}")
  set(${var} ${value} PARENT_SCOPE)
endfunction()

set(problem "")
string(LENGTH "${header}" header_digits)
if(header_digits LESS 128)
  set(problem "is no PE image")
else()
  quorlith_read_le(nt "${header}" 60 4)
  math(EXPR directory "${nt} + 24 + 112 + 10 * 8")   # PE32+ optional header, data directory 10
  math(EXPR end "(${directory} + 8) * 2")
  if(end GREATER header_digits)
    set(problem "is no PE image")
  else()
    quorlith_read_le(rva "${header}" ${directory} 4)
    quorlith_read_le(size "${header}" ${directory}+4 4)
    if(rva EQUAL 0 OR size EQUAL 0)
      set(problem "has no load-configuration directory")
    endif()
  endif()
endif()

# The directory's file offset, through the section that holds it; DependentLoadFlags is at byte 78.
if(NOT problem)
  quorlith_read_le(sections "${header}" ${nt}+6 2)
  quorlith_read_le(optional_size "${header}" ${nt}+20 2)
  set(flags "")
  foreach(index RANGE 1 ${sections})
    math(EXPR section "${nt} + 24 + ${optional_size} + (${index} - 1) * 40")
    quorlith_read_le(address "${header}" ${section}+12 4)
    quorlith_read_le(raw_size "${header}" ${section}+16 4)
    quorlith_read_le(raw_offset "${header}" ${section}+20 4)
    math(EXPR end "${address} + ${raw_size}")
    if(NOT rva LESS address AND rva LESS end)
      math(EXPR at "${raw_offset} + ${rva} - ${address} + 78")
      file(READ "${IMAGE}" field OFFSET ${at} LIMIT 2 HEX)
      quorlith_read_le(flags "${field}" 0 2)
      break()
    endif()
  endforeach()
  if(NOT flags EQUAL 2048)   # LOAD_LIBRARY_SEARCH_SYSTEM32
    set(problem "has a load-configuration directory whose DependentLoadFlags is not LOAD_LIBRARY_SEARCH_SYSTEM32")
  endif()
endif()

if(problem)
  file(REMOVE "${IMAGE}")
  message(FATAL_ERROR "${IMAGE} ${problem}, so DLLs beside it could be loaded in place of system ones; it was "
          "removed. The MinGW build must link it with LLD (cmake/QuorlithLld.cmake), which takes CMake 3.21 or later.")
endif()
