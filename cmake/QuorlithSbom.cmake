# The CycloneDX bill of materials of an image: the payload entries come from the digest generator
# (quorlith_add_bundle(... SBOM)), the document is finished once the image is final.

set(QUORLITH_SBOM_COMPONENTS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/SbomComponents.cmake")
set(QUORLITH_SBOM_GENERATOR "${CMAKE_CURRENT_LIST_DIR}/GenerateSbom.cmake")

# quorlith_sbom_generator_args(<out var>): the digest generator's arguments for the readers of the
# packages' own data.
function(quorlith_sbom_generator_args var)
  find_program(QUORLITH_MSIINFO msiinfo)
  find_program(QUORLITH_EXIFTOOL exiftool)
  if(NOT QUORLITH_MSIINFO OR NOT QUORLITH_EXIFTOOL)
    message(FATAL_ERROR "The bill of materials reads the payloads with msiinfo (Debian package 'msitools') "
                        "and exiftool (Debian package 'libimage-exiftool-perl'): install both")
  endif()
  set(${var} "-DMSIINFO=${QUORLITH_MSIINFO}" "-DEXIFTOOL=${QUORLITH_EXIFTOOL}" PARENT_SCOPE)
endfunction()

# quorlith_add_sbom_step(<target> <document>): writes <document> after the build of <target>. Call it after
# every other post-build step (signing included), so the document carries the digest of the final image.
function(quorlith_add_sbom_step target document)
  get_target_property(components ${target} QUORLITH_SBOM_COMPONENTS)
  if(NOT components)
    message(FATAL_ERROR "quorlith_add_sbom_step(${target}): its bundle was added without SBOM")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=$<TARGET_FILE:${target}>" "-DCOMPONENTS=${components}"
            "-DMANIFEST=${QUORLITH_MANIFEST}" "-DOUT=${document}" -P "${QUORLITH_SBOM_GENERATOR}"
    COMMENT "Writing the bill of materials of ${target}"
    VERBATIM)
  # A changed payload entry (or generator) relinks, which runs the step again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${components}" "${QUORLITH_SBOM_GENERATOR}")
endfunction()
