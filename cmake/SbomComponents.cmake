# Bill-of-materials entries of the five payloads, written by the digest generator from the digests it has
# just computed. The package data comes from maintained readers: msiinfo (msitools) for the runtime packages'
# Property table, exiftool for the installer's version resource.
include("${CMAKE_CURRENT_LIST_DIR}/JsonString.cmake")

# quorlith_sbom_value(<out var> <text> <pattern>): the first group of <pattern> in <text>, or empty.
function(quorlith_sbom_value var text pattern)
  set(value "")
  if(text MATCHES "${pattern}")
    set(value "${CMAKE_MATCH_1}")
  endif()
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

# Sets name, version and supplier in the caller from the package's Property table. A package without
# ProductVersion still gets an entry, without a version: the build goes on and says which file it was.
macro(quorlith_sbom_read_package file)
  execute_process(COMMAND "${MSIINFO}" export "${file}" Property
                  RESULT_VARIABLE status OUTPUT_VARIABLE table ERROR_QUIET)
  # Export format: a header line, then one "Property<TAB>Value" line per row.
  quorlith_sbom_value(name "${table}" "\nProductName\t([^\r\n]*)")
  quorlith_sbom_value(version "${table}" "\nProductVersion\t([^\r\n]*)")
  quorlith_sbom_value(supplier "${table}" "\nManufacturer\t([^\r\n]*)")
  if(NOT status EQUAL 0)
    message(WARNING "msiinfo cannot read the package's Property table; its bill-of-materials entry has no "
                    "package data: ${file}")
  elseif(version STREQUAL "")
    message(WARNING "Runtime package has no ProductVersion; its bill-of-materials entry has no version: ${file}")
  endif()
endmacro()

# Sets name, version and supplier in the caller from the installer's version resource; an installer
# without one has none of them, which is no fault.
macro(quorlith_sbom_read_installer file)
  execute_process(COMMAND "${EXIFTOOL}" -args -ProductName -ProductVersion -CompanyName "${file}"
                  OUTPUT_VARIABLE resource ERROR_QUIET)
  quorlith_sbom_value(name "\n${resource}" "\n-ProductName=([^\r\n]*)")
  quorlith_sbom_value(version "\n${resource}" "\n-ProductVersion=([^\r\n]*)")
  quorlith_sbom_value(supplier "\n${resource}" "\n-CompanyName=([^\r\n]*)")
endmacro()

# quorlith_sbom_component(<out var> <file> <id> <embedded name> <sha256 hex>): one entry of the
# "components" array, indented for its place in the document.
function(quorlith_sbom_component var file id embedded hex)
  if(id LESS 105)
    set(type platform)
    quorlith_sbom_read_package("${file}")
  else()
    set(type application)
    quorlith_sbom_read_installer("${file}")
  endif()
  if(name STREQUAL "")
    set(name "${embedded}")
  endif()
  set(fields "      \"type\": \"${type}\",\n      \"bom-ref\": \"payload-${id}\",\n")
  if(NOT supplier STREQUAL "")
    quorlith_json_string(supplier "${supplier}")
    string(APPEND fields "      \"supplier\": { \"name\": ${supplier} },\n")
  endif()
  quorlith_json_string(name "${name}")
  string(APPEND fields "      \"name\": ${name},\n")
  if(NOT version STREQUAL "")
    quorlith_json_string(version "${version}")
    string(APPEND fields "      \"version\": ${version},\n")
  endif()
  quorlith_json_string(embedded "${embedded}")
  string(APPEND fields
    "      \"hashes\": [ { \"alg\": \"SHA-256\", \"content\": \"${hex}\" } ],\n"
    "      \"properties\": [\n"
    "        { \"name\": \"quorlith:resource-id\", \"value\": \"${id}\" },\n"
    "        { \"name\": \"quorlith:file-name\", \"value\": ${embedded} }\n"
    "      ]\n")
  set(${var} "    {\n${fields}    }" PARENT_SCOPE)
endfunction()

# quorlith_sbom_components(<out var> <files> <embedded names> <digests>): the "components" array of the
# five payloads, in identifier order.
function(quorlith_sbom_components var files names digests)
  set(entries "")
  foreach(index RANGE 0 4)
    list(GET files ${index} file)
    list(GET names ${index} embedded)
    list(GET digests ${index} hex)
    math(EXPR id "101 + ${index}")
    quorlith_sbom_component(entry "${file}" ${id} "${embedded}" ${hex})
    if(entries)
      string(APPEND entries ",\n")
    endif()
    string(APPEND entries "${entry}")
  endforeach()
  set(${var} "[\n${entries}\n  ]" PARENT_SCOPE)
endfunction()

# quorlith_sbom_add_signer(<components var> <id> <subject>): adds the signer's subject to the properties of
# payload <id>, after its "quorlith:resource-id".
function(quorlith_sbom_add_signer var id subject)
  set(anchor "{ \"name\": \"quorlith:resource-id\", \"value\": \"${id}\" }")
  string(FIND "${${var}}" "${anchor}" at)
  if(at LESS 0)
    message(FATAL_ERROR "No bill-of-materials entry has the resource id ${id}")
  endif()
  string(LENGTH "${anchor}" length)
  math(EXPR at "${at} + ${length}")
  string(SUBSTRING "${${var}}" 0 ${at} before)
  string(SUBSTRING "${${var}}" ${at} -1 after)
  string(REGEX MATCH "\n( *)[^\n]*$" indent "${before}")
  quorlith_json_string(subject "${subject}")
  set(property "{ \"name\": \"quorlith:signer\", \"value\": ${subject} }")
  set(${var} "${before},\n${CMAKE_MATCH_1}${property}${after}" PARENT_SCOPE)
endfunction()
