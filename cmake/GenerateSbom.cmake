# cmake -DIMAGE=<QuorlithSetup.exe> -DCOMPONENTS=<components.json> -DMANIFEST=<QuorlithSetup.manifest>
#       -DTOOLS=<tools.json> -DSUPPLIER=<organisation> -DOUT=<QuorlithSetup.cdx.json> -P GenerateSbom.cmake
# Finishes the CycloneDX bill of materials once the image is final (linked and, when set up, signed): the
# bootstrapper itself, with the payload entries that the digest generator wrote from its own digests.
# The document depends on its inputs only: no wall-clock time, no build path, no random serial number.
include("${CMAKE_CURRENT_LIST_DIR}/SbomComponents.cmake")

file(READ "${MANIFEST}" manifest)
if(NOT manifest MATCHES "<assemblyIdentity[^>]*[ \t\r\n]version=\"([^\"]+)\"")
  message(FATAL_ERROR "No version in the assembly identity of ${MANIFEST}")
endif()
quorlith_json_string(version "${CMAKE_MATCH_1}")

file(SHA256 "${IMAGE}" image)

# A name-based UUID (version 8, as RFC 9562 allows for a SHA-256 name hash) from the image's digest: the
# same image always gets the same serial number, another image another one.
string(SUBSTRING "${image}" 16 1 variant)
math(EXPR variant "0x${variant} % 4")
string(SUBSTRING "89ab" ${variant} 1 variant)
string(REGEX REPLACE "^(........)(....).(...).(...)(............).*$" "\\1-\\2-8\\3-${variant}\\4-\\5" serial "${image}")

set(timestamp "")
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: $ENV{SOURCE_DATE_EPOCH}")
  endif()
  string(TIMESTAMP timestamp "%Y-%m-%dT%H:%M:%SZ" UTC)   # string(TIMESTAMP) honours SOURCE_DATE_EPOCH
  set(timestamp "    \"timestamp\": \"${timestamp}\",\n")
endif()

file(READ "${COMPONENTS}" components)
string(JSON count LENGTH "${components}")
math(EXPR last "${count} - 1")
set(refs "")
set(leaves "")
foreach(index RANGE ${last})
  string(JSON ref GET "${components}" ${index} bom-ref)
  if(refs)
    string(APPEND refs ", ")
  endif()
  string(APPEND refs "\"${ref}\"")
  # Consumers read a component without an entry as "dependencies unknown"; a payload has none of its own.
  string(APPEND leaves ",\n    { \"ref\": \"${ref}\", \"dependsOn\": [] }")
endforeach()

file(READ "${TOOLS}" tools)
string(STRIP "${tools}" tools)
quorlith_json_string(supplier "${SUPPLIER}")

file(WRITE "${OUT}"
  "{\n"
  "  \"bomFormat\": \"CycloneDX\",\n"
  "  \"specVersion\": \"1.6\",\n"
  "  \"serialNumber\": \"urn:uuid:${serial}\",\n"
  "  \"version\": 1,\n"
  "  \"metadata\": {\n"
  "${timestamp}"
  "    \"tools\": {\n"
  "      \"components\": ${tools}\n"
  "    },\n"
  "    \"component\": {\n"
  "      \"type\": \"application\",\n"
  "      \"bom-ref\": \"QuorlithSetup\",\n"
  "      \"supplier\": { \"name\": ${supplier} },\n"
  "      \"manufacturer\": { \"name\": ${supplier} },\n"
  "      \"name\": \"QuorlithSetup\",\n"
  "      \"version\": ${version},\n"
  "      \"hashes\": [ { \"alg\": \"SHA-256\", \"content\": \"${image}\" } ]\n"
  "    }\n"
  "  },\n"
  "  \"components\": ${components},\n"
  "  \"dependencies\": [\n"
  "    { \"ref\": \"QuorlithSetup\", \"dependsOn\": [ ${refs} ] }${leaves}\n"
  "  ]\n"
  "}\n")
