# What a Windows Installer package lays down, read from its own tables with msitools' msiinfo (`export` for
# the tables, `suminfo` for the template): the one reader of packages for the payload checks, the digest
# generator, the payload manifest and the bill of materials. No value is guessed: what msiinfo does not
# show is not there.
#
# Rows are kept as CMake lists of fields. The characters that CMake's lists give a meaning to (";", "\\",
# "[" and "]") travel as control characters inside the fields; quorlith_msi_text gives them back.

set(QUORLITH_MSI_PLAIN "\\;[]")
string(ASCII 28 26 29 30 QUORLITH_MSI_CODED)
string(SUBSTRING "${QUORLITH_MSI_CODED}" 0 1 QUORLITH_MSI_BACKSLASH)
string(SUBSTRING "${QUORLITH_MSI_CODED}" 2 1 QUORLITH_MSI_OPEN)
string(SUBSTRING "${QUORLITH_MSI_CODED}" 3 1 QUORLITH_MSI_CLOSE)

# quorlith_msi_swap(<out var> <text> <from> <to>): each character of <from> in <text> replaced by the one at
# the same place in <to>.
function(quorlith_msi_swap var text from to)
  foreach(at RANGE 3)
    string(SUBSTRING "${from}" ${at} 1 old)
    string(SUBSTRING "${to}" ${at} 1 new)
    string(REPLACE "${old}" "${new}" text "${text}")
  endforeach()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# quorlith_msi_encode(<out var> <text>): text made safe to travel in a list field.
function(quorlith_msi_encode var text)
  quorlith_msi_swap(text "${text}" "${QUORLITH_MSI_PLAIN}" "${QUORLITH_MSI_CODED}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# quorlith_msi_text(<out var> <field>): a field as the package holds it.
function(quorlith_msi_text var field)
  quorlith_msi_swap(field "${field}" "${QUORLITH_MSI_CODED}" "${QUORLITH_MSI_PLAIN}")
  set(${var} "${field}" PARENT_SCOPE)
endfunction()

# quorlith_msi_table(<out var> <msi> <table> <table names> <problem var>): the rows of a table, each a
# "\t"-joined line (header lines dropped). A table the package does not have has no rows.
function(quorlith_msi_table var msi table tables problem_var)
  set(rows "")
  set(problem "")
  if(tables MATCHES "(^|\n)${table}\r?(\n|$)")
    execute_process(COMMAND "${QUORLITH_MSIINFO}" export "${msi}" ${table}
                    RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_QUIET)
    if(NOT status EQUAL 0)
      set(problem "msiinfo cannot export the package's ${table} table")
    else()
      quorlith_msi_encode(text "${text}")
      string(REPLACE "\r\n" "\n" text "${text}")
      string(REGEX REPLACE "\n$" "" text "${text}")
      string(REPLACE "\n" ";" text "${text}")
      # Column names, column types, then the table's name and keys.
      list(LENGTH text count)
      if(count GREATER 3)
        list(SUBLIST text 3 -1 rows)
      endif()
    endif()
  endif()
  set(${var} "${rows}" PARENT_SCOPE)
  set(${problem_var} "${problem}" PARENT_SCOPE)
endfunction()

# quorlith_msi_fields(<row> <var>...): the row's fields, in column order, into the named variables (empty
# fields included, which CMake's list commands may drop).
macro(quorlith_msi_fields row)
  set(_quorlith_msi_rest "${row}")
  foreach(_quorlith_msi_var ${ARGN})
    string(FIND "${_quorlith_msi_rest}" "\t" _quorlith_msi_at)
    if(_quorlith_msi_at LESS 0)
      set(${_quorlith_msi_var} "${_quorlith_msi_rest}")
      set(_quorlith_msi_rest "")
    else()
      string(SUBSTRING "${_quorlith_msi_rest}" 0 ${_quorlith_msi_at} ${_quorlith_msi_var})
      math(EXPR _quorlith_msi_at "${_quorlith_msi_at} + 1")
      string(SUBSTRING "${_quorlith_msi_rest}" ${_quorlith_msi_at} -1 _quorlith_msi_rest)
    endif()
  endforeach()
endmacro()

# quorlith_msi_long_name(<out var> <name>): the long form of a "SHORT|long" name (the target part of a
# Directory table's "target:source" entry), or the name itself when it has only one form.
function(quorlith_msi_long_name var name)
  string(REGEX REPLACE ":.*$" "" name "${name}")
  string(REGEX REPLACE "^[^|]*\\|" "" name "${name}")
  set(${var} "${name}" PARENT_SCOPE)
endfunction()

# quorlith_msi_format(<out var> <text>): a Formatted value with its property references resolved, innermost
# first, the way Windows Installer does at install time from the Property table ("[NAME]" of an unknown
# property is blank; "[\x]" is x). Other references ([#file], [$component], [%variable], [~]) stay as they are.
function(quorlith_msi_format var text)
  quorlith_msi_text(text "${text}")
  foreach(pass RANGE 1 8)
    if(NOT text MATCHES "\\[([A-Za-z_][A-Za-z0-9_.]*)\\]")
      break()
    endif()
    set(value "${msi_property_${CMAKE_MATCH_1}}")
    string(REPLACE "[${CMAKE_MATCH_1}]" "${value}" text "${text}")
  endforeach()
  string(REGEX REPLACE "\\[\\\\(.)\\]" "\\1" text "${text}")
  quorlith_msi_encode(text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# quorlith_msi_read(<problem var> <msi>)
# Reads the package and sets in the caller:
#   msi_template          the template of its summary information ("x64;1033")
#   msi_properties        the names of its properties, each value in msi_property_<name>
#   msi_files             one "<long file name>\t<install folder>" per File row
#   msi_registry          one "<root>\t<key>\t<name>\t<value>\t<component attributes>" per Registry row, the
#                         value's property references resolved
# An install folder is the Directory chain with long names, from the root folder's property down:
# "[ProgramFiles64Folder]\dotnet\shared\..." ("." entries add nothing; TARGETDIR is the root of roots).
# <problem var> gets what could not be read, or stays empty.
function(quorlith_msi_read problem_var msi)
  set(problem "")
  set(msi_template "")
  set(msi_properties "")
  set(msi_files "")
  set(msi_registry "")
  execute_process(COMMAND "${QUORLITH_MSIINFO}" suminfo "${msi}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE suminfo ERROR_QUIET)
  execute_process(COMMAND "${QUORLITH_MSIINFO}" tables "${msi}"
                  RESULT_VARIABLE tables_status OUTPUT_VARIABLE tables ERROR_QUIET)
  if(NOT status EQUAL 0 OR NOT tables_status EQUAL 0 OR NOT suminfo MATCHES "(^|\n)Template: ([^\r\n]*)")
    set(problem "msiinfo cannot read the package")
  else()
    set(msi_template "${CMAKE_MATCH_2}")
  endif()
  foreach(table Property Directory Component File Registry)
    if(NOT problem)
      quorlith_msi_table(rows_${table} "${msi}" ${table} "${tables}" problem)
    endif()
  endforeach()
  if(NOT problem AND NOT rows_Property)
    set(problem "the package has no Property table")
  endif()

  if(NOT problem)
    foreach(row IN LISTS rows_Property)
      quorlith_msi_fields("${row}" name value)
      quorlith_msi_text(value "${value}")
      list(APPEND msi_properties "${name}")
      set(msi_property_${name} "${value}")
      set(msi_property_${name} "${value}" PARENT_SCOPE)
    endforeach()
    foreach(row IN LISTS rows_Directory)
      quorlith_msi_fields("${row}" id parent name)
      quorlith_msi_long_name(name "${name}")
      set(directory_parent_${id} "${parent}")
      set(directory_name_${id} "${name}")
    endforeach()
    foreach(row IN LISTS rows_Component)
      quorlith_msi_fields("${row}" id guid directory attributes)
      set(component_directory_${id} "${directory}")
      set(component_attributes_${id} "${attributes}")
    endforeach()

    foreach(row IN LISTS rows_File)
      quorlith_msi_fields("${row}" key component name)
      quorlith_msi_long_name(name "${name}")
      # Walk up to the root: a folder below TARGETDIR (or without a parent) is a root, named by its property.
      set(directory "${component_directory_${component}}")
      set(folder "")
      foreach(depth RANGE 1 64)
        set(parent "${directory_parent_${directory}}")
        if(directory STREQUAL "" OR directory STREQUAL "TARGETDIR")
          break()
        elseif(parent STREQUAL "" OR parent STREQUAL "TARGETDIR" OR parent STREQUAL directory)
          set(folder "${QUORLITH_MSI_OPEN}${directory}${QUORLITH_MSI_CLOSE}${folder}")
          break()
        elseif(NOT directory_name_${directory} STREQUAL ".")
          set(folder "${QUORLITH_MSI_BACKSLASH}${directory_name_${directory}}${folder}")
        endif()
        set(directory "${parent}")
      endforeach()
      list(APPEND msi_files "${name}\t${folder}")
    endforeach()

    foreach(row IN LISTS rows_Registry)
      quorlith_msi_fields("${row}" key root path name value component)
      quorlith_msi_format(value "${value}")
      list(APPEND msi_registry "${root}\t${path}\t${name}\t${value}\t${component_attributes_${component}}")
    endforeach()
  endif()
  foreach(var msi_template msi_properties msi_files msi_registry)
    set(${var} "${${var}}" PARENT_SCOPE)
  endforeach()
  set(${problem_var} "${problem}" PARENT_SCOPE)
endfunction()
