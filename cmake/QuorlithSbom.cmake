# The CycloneDX bill of materials of an image: the payload entries come from the digest generator
# (quorlith_add_bundle(... SBOM)), the release tool finishes the document once the image is final.

set(QUORLITH_SUPPLIER "Quorlith" CACHE STRING "Organisation that supplies the bootstrapper, named in its bill of materials")

# quorlith_sbom_tools_command(<out var> <file>): the command that writes <file>, the tools that make the image and
# read its payloads with the versions they report; names only, no paths, so the document stays the same from
# one build directory to another.
function(quorlith_sbom_tools_command var file)
  get_filename_component(compiler "${CMAKE_CXX_COMPILER}" NAME)
  get_filename_component(rc "${CMAKE_RC_COMPILER}" NAME)
  find_program(QUORLITH_LD_LLD NAMES ld.lld)
  set(programs --program "${rc}" "${CMAKE_RC_COMPILER}")
  if(QUORLITH_LD_LLD)
    list(APPEND programs --program LLD "${QUORLITH_LD_LLD}")
  endif()
  if(QUORLITH_OSSLSIGNCODE)
    list(APPEND programs --program osslsigncode "${QUORLITH_OSSLSIGNCODE}")
  endif()
  set(${var} "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" tools --out "${file}" --tool CMake "${CMAKE_VERSION}"
      --tool "${compiler}" "${CMAKE_CXX_COMPILER_VERSION}" ${programs} PARENT_SCOPE)
endfunction()

# quorlith_add_sbom_step(<target> <document>): writes <document> after the build of <target>. Call it after
# every other post-build step (signing included), so the document carries the digest of the final image.
function(quorlith_add_sbom_step target document)
  get_target_property(components ${target} QUORLITH_SBOM_COMPONENTS)
  if(NOT components)
    message(FATAL_ERROR "quorlith_add_sbom_step(${target}): its bundle was added without SBOM")
  endif()
  set(tools "${CMAKE_CURRENT_BINARY_DIR}/${target}.sbom-tools.json")
  quorlith_sbom_tools_command(write_tools "${tools}")
  add_custom_command(OUTPUT "${tools}" COMMAND ${write_tools} DEPENDS ${QUORLITH_RELEASE_SOURCES}
    COMMENT "Listing the tools of ${target}" VERBATIM)
  # The supplier is quoted where the command is given, never held in a list that would cut it at a ";".
  set(write_document "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" sbom "--image=$<TARGET_FILE:${target}>"
      "--components=${components}" "--manifest=${QUORLITH_MANIFEST}" "--tools=${tools}" "--out=${document}")
  add_custom_command(TARGET ${target} POST_BUILD COMMAND ${write_document} "--supplier=${QUORLITH_SUPPLIER}"
    COMMENT "Writing the bill of materials of ${target}" VERBATIM)
  # A document deleted since the last link: written again before the link, from the image as it stands (the
  # link, when it runs, writes it once more). Makefiles run this before they find the payload entries missing
  # and make them again, hence nothing is written then: the relink that follows writes the document.
  add_custom_command(OUTPUT "${document}" COMMAND ${write_document} "--supplier=${QUORLITH_SUPPLIER}"
                     --when-inputs-exist
    DEPENDS "${components}" "${tools}"
    COMMENT "Writing the bill of materials of ${target} again" VERBATIM)
  target_sources(${target} PRIVATE "${tools}" "${document}")
  # A changed payload entry (or tool) relinks, which runs the step again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${components}" ${QUORLITH_RELEASE_SOURCES} "${tools}")
  set_property(TARGET ${target} APPEND PROPERTY QUORLITH_REMOVE_ON_FAILED_LINK_CHECK "${document}")
endfunction()
