# Bill-of-materials entries of the five payloads, written by the digest generator from the digests it has
# just computed and the runtime packages' proof (RuntimePackages.cmake, which reads them with msitools'
# msiinfo); exiftool reads the installer's version resource.
include("${CMAKE_CURRENT_LIST_DIR}/JsonString.cmake")

# quorlith_sbom_value(<out var> <text> <pattern>): the first group of <pattern> in <text>, or empty.
function(quorlith_sbom_value var text pattern)
  set(value "")
  if(text MATCHES "${pattern}")
    set(value "${CMAKE_MATCH_1}")
  endif()
  set(${var} "${value}" PARENT_SCOPE)
endfunction()

# The identifiers scanners match a runtime package by, for slots 101-104: NVD names .NET 5 and later
# product ".net" of vendor "microsoft" (CPE 2.3), and the two runtime packs that carry the same release are
# NuGet packages (purl). "-" where the slot has none.
set(QUORLITH_SBOM_CPE_PRODUCTS - - .net -)
set(QUORLITH_SBOM_NUGET_PACKAGES - - Microsoft.NETCore.App.Runtime.win-x64 Microsoft.WindowsDesktop.App.Runtime.win-x64)

# Sets name, version, product_version, installs and supplier in the caller for runtime package <index>,
# from what the digest generator's proof read (payload_<index>_*): the version is the release the package
# lays down, not its ProductVersion, which Windows Installer limits to 255.255.65535 and .NET packs.
macro(quorlith_sbom_read_package file index)
  set(name "${payload_${index}_name}")
  set(version "${payload_${index}_release}")
  set(product_version "${payload_${index}_version}")
  set(installs "${payload_${index}_installs}")
  set(supplier "${payload_${index}_maker}")
  if(product_version STREQUAL "")
    message(WARNING "Runtime package has no ProductVersion; its bill-of-materials entry has none: ${file}")
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
  math(EXPR index "${id} - 101")
  set(product_version "")
  set(installs "")
  set(identifiers "")
  if(id LESS 105)
    set(type platform)
    quorlith_sbom_read_package("${file}" ${index})
    list(GET QUORLITH_SBOM_CPE_PRODUCTS ${index} cpe)
    list(GET QUORLITH_SBOM_NUGET_PACKAGES ${index} nuget)
    # The release is digits and dots when the proof passed; anything else gets no identifier to match.
    if(version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
      if(NOT cpe STREQUAL "-")
        string(APPEND identifiers "      \"cpe\": \"cpe:2.3:a:microsoft:${cpe}:${version}:*:*:*:*:*:*:*\",\n")
      endif()
      if(NOT nuget STREQUAL "-")
        string(APPEND identifiers "      \"purl\": \"pkg:nuget/${nuget}@${version}\",\n")
      endif()
    endif()
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
    string(APPEND fields "      \"supplier\": { \"name\": ${supplier} },\n"
                         "      \"manufacturer\": { \"name\": ${supplier} },\n")
  endif()
  quorlith_json_string(name "${name}")
  string(APPEND fields "      \"name\": ${name},\n")
  if(NOT version STREQUAL "")
    quorlith_json_string(version "${version}")
    string(APPEND fields "      \"version\": ${version},\n")
  endif()
  string(APPEND fields "${identifiers}")
  quorlith_json_string(embedded "${embedded}")
  string(CONCAT properties "        { \"name\": \"quorlith:resource-id\", \"value\": \"${id}\" },\n"
                           "        { \"name\": \"quorlith:file-name\", \"value\": ${embedded} }")
  # The signer's subject (digest generator, with PAYLOAD_CA), what the proof read of a runtime package.
  set(signer "${signer_${id}}")
  foreach(property signer product-version installs)
    string(REPLACE "-" "_" variable "${property}")
    if(NOT "${${variable}}" STREQUAL "")
      quorlith_json_string(value "${${variable}}")
      string(APPEND properties ",\n        { \"name\": \"quorlith:${property}\", \"value\": ${value} }")
    endif()
  endforeach()
  string(APPEND fields
    "      \"hashes\": [ { \"alg\": \"SHA-256\", \"content\": \"${hex}\" } ],\n"
    "      \"properties\": [\n${properties}\n"
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
