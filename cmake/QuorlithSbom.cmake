# The CycloneDX bill of materials of an image: the payload entries come from the digest generator
# (quorlith_add_bundle(... SBOM)), the document is finished once the image is final.

include("${CMAKE_CURRENT_LIST_DIR}/JsonString.cmake")

set(QUORLITH_SBOM_COMPONENTS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/SbomComponents.cmake")
set(QUORLITH_SBOM_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/GenerateSbom.cmake")

set(QUORLITH_SUPPLIER "Quorlith" CACHE STRING "Organisation that supplies the bootstrapper, named in its bill of materials")

# quorlith_sbom_generator_args(<out var>): the digest generator's arguments for the readers of the
# packages' own data.
function(quorlith_sbom_generator_args var)
  find_program(QUORLITH_MSIINFO msiinfo)
  find_program(QUORLITH_EXIFTOOL exiftool)
  if(NOT QUORLITH_MSIINFO OR NOT QUORLITH_EXIFTOOL)
    message(FATAL_ERROR "The bill of materials reads the payloads with msiinfo (Debian package 'msitools') "
                        "and exiftool (Debian package 'libimage-exiftool-perl'): install both")
  endif()
  set(${var} "-DQUORLITH_MSIINFO=${QUORLITH_MSIINFO}" "-DEXIFTOOL=${QUORLITH_EXIFTOOL}" PARENT_SCOPE)
endfunction()

# quorlith_sbom_tool(<json var> <name> <version>): one entry of metadata.tools.components.
function(quorlith_sbom_tool var name version)
  if(NOT version STREQUAL "")
    quorlith_json_string(name "${name}")
    quorlith_json_string(version "${version}")
    if(${var})
      string(APPEND ${var} ",\n")
    endif()
    string(APPEND ${var} "        { \"type\": \"application\", \"name\": ${name}, \"version\": ${version} }")
    set(${var} "${${var}}" PARENT_SCOPE)
  endif()
endfunction()

# quorlith_sbom_tool_version(<out var> <program> <regex> <args>...): the version a tool reports of itself.
function(quorlith_sbom_tool_version var program regex)
  set(version "")
  if(program)
    execute_process(COMMAND "${program}" ${ARGN} OUTPUT_VARIABLE text ERROR_VARIABLE text RESULT_VARIABLE status)
    if(status EQUAL 0 AND text MATCHES "${regex}")
      set(version "${CMAKE_MATCH_1}")
    endif()
  endif()
  set(${var} "${version}" PARENT_SCOPE)
endfunction()

# quorlith_write_sbom_tools(<file>): the tools that make the image and read its payloads, with the versions
# they report; names only, no paths, so the document stays the same from one build directory to another.
function(quorlith_write_sbom_tools file)
  set(tools "")
  quorlith_sbom_tool(tools "CMake" "${CMAKE_VERSION}")
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
  quorlith_sbom_tool(tools "${compiler}" "${CMAKE_CXX_COMPILER_VERSION}")
  quorlith_sbom_tool_version(version "${CMAKE_RC_COMPILER}" "([0-9]+\\.[0-9.]+)" --version)
  get_filename_component(rc "${CMAKE_RC_COMPILER}" NAME)
  quorlith_sbom_tool(tools "${rc}" "${version}")
  find_program(QUORLITH_LD_LLD NAMES ld.lld)
  quorlith_sbom_tool_version(version "${QUORLITH_LD_LLD}" "LLD ([0-9][0-9.]*)" --version)
  quorlith_sbom_tool(tools "LLD" "${version}")
  quorlith_sbom_tool_version(version "${QUORLITH_MSIINFO}" "version ([0-9][0-9.]*)" --version)
  quorlith_sbom_tool(tools "msitools" "${version}")
  quorlith_sbom_tool_version(version "${QUORLITH_EXIFTOOL}" "([0-9][0-9.]*)" -ver)
  quorlith_sbom_tool(tools "ExifTool" "${version}")
  if(QUORLITH_OSSLSIGNCODE)
    quorlith_sbom_tool_version(version "${QUORLITH_OSSLSIGNCODE}" "osslsigncode ([0-9][0-9.]*)" --version)
    quorlith_sbom_tool(tools "osslsigncode" "${version}")
  endif()
  file(CONFIGURE OUTPUT "${file}" CONTENT "[\n${tools}\n      ]\n" @ONLY)
endfunction()

# quorlith_add_sbom_step(<target> <document>): writes <document> after the build of <target>. Call it after
# every other post-build step (signing included), so the document carries the digest of the final image.
function(quorlith_add_sbom_step target document)
  get_target_property(components ${target} QUORLITH_SBOM_COMPONENTS)
  if(NOT components)
    message(FATAL_ERROR "quorlith_add_sbom_step(${target}): its bundle was added without SBOM")
  endif()
  set(tools "${CMAKE_CURRENT_BINARY_DIR}/${target}.sbom-tools.json")
  quorlith_write_sbom_tools("${tools}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=$<TARGET_FILE:${target}>" "-DCOMPONENTS=${components}"
            "-DMANIFEST=${QUORLITH_MANIFEST}" "-DTOOLS=${tools}" "-DSUPPLIER=${QUORLITH_SUPPLIER}"
            "-DOUT=${document}" -P "${QUORLITH_SBOM_GENERATOR}"
    COMMENT "Writing the bill of materials of ${target}"
    VERBATIM)
  # A changed payload entry (or generator) relinks, which runs the step again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${components}" "${QUORLITH_SBOM_GENERATOR}" "${tools}")
endfunction()
