# Sample stand-ins for the runtime packages, built with wixl from samples/runtime.

set(QUORLITH_SAMPLE_RUNTIME_DIR "${CMAKE_CURRENT_LIST_DIR}/../samples/runtime")
get_filename_component(QUORLITH_SAMPLE_RUNTIME_DIR "${QUORLITH_SAMPLE_RUNTIME_DIR}" ABSOLUTE)
set(QUORLITH_SAMPLE_SHORT_NAMES "${CMAKE_CURRENT_LIST_DIR}/SampleShortNames.cmake")

# Build number of the sample packages' packed ProductVersion.
set(QUORLITH_SAMPLE_RUNTIME_BUILD 52019)

# quorlith_packed_version(<out var> <release>): the ProductVersion a runtime package of <release> carries.
# Windows Installer limits ProductVersion to 255.255.65535, so the packages store major x 8, patch x 4 and
# the build number: 10.0.15 becomes 80.60.<build>. It is not the release; the release is in the folders.
function(quorlith_packed_version var release)
  set(major 0)
  set(patch 0)
  if(release MATCHES "^([0-9]+)\\.[0-9]+\\.([0-9]+)")
    set(major "${CMAKE_MATCH_1}")
    set(patch "${CMAKE_MATCH_2}")
  endif()
  math(EXPR major "(${major} * 8) % 256")
  math(EXPR patch "(${patch} * 4) % 256")
  set(${var} "${major}.${patch}.${QUORLITH_SAMPLE_RUNTIME_BUILD}" PARENT_SCOPE)
endfunction()

# quorlith_sample_runtime(<target> <output dir> <release> <out var>)
# Adds <target>, which builds the four sample packages of <release> into <output dir>; <out var> gets
# their paths in identifier order (101..104).
function(quorlith_sample_runtime target outdir version outvar)
  find_program(QUORLITH_WIXL wixl)
  find_program(QUORLITH_MSIINFO msiinfo)
  find_program(QUORLITH_MSIBUILD msibuild)
  if(NOT QUORLITH_WIXL OR NOT QUORLITH_MSIINFO OR NOT QUORLITH_MSIBUILD)
    message(FATAL_ERROR "wixl (Debian package 'wixl') and msiinfo and msibuild (package 'msitools') are needed "
                        "to build the sample runtime packages; or give the payloads with -DQUORLITH_PAYLOAD_DIR")
  endif()
  quorlith_packed_version(packed "${version}")
  set(outputs "")
  foreach(name IN ITEMS dotnet-host dotnet-hostfxr dotnet-runtime windowsdesktop-runtime)
    set(msi "${outdir}/${name}.msi")
    add_custom_command(
      OUTPUT "${msi}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${outdir}"
      COMMAND "${QUORLITH_WIXL}" -a x64 -D "Release=${version}" -D "ProductVersion=${packed}"
              -D "Content=marker.txt" -o "${msi}" "${name}.wxs"
      COMMAND "${CMAKE_COMMAND}" "-DMSI=${msi}" "-DMSIINFO=${QUORLITH_MSIINFO}" "-DMSIBUILD=${QUORLITH_MSIBUILD}"
              -P "${QUORLITH_SAMPLE_SHORT_NAMES}"
      DEPENDS "${QUORLITH_SAMPLE_RUNTIME_DIR}/${name}.wxs" "${QUORLITH_SAMPLE_RUNTIME_DIR}/marker.txt"
              "${QUORLITH_SAMPLE_SHORT_NAMES}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/MsiTables.cmake"
      WORKING_DIRECTORY "${QUORLITH_SAMPLE_RUNTIME_DIR}"
      COMMENT "Building sample package ${name}.msi (${version})"
      VERBATIM)
    list(APPEND outputs "${msi}")
  endforeach()
  add_custom_target(${target} DEPENDS ${outputs})
  set(${outvar} ${outputs} PARENT_SCOPE)
endfunction()
