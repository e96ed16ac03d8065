# Sample stand-ins for the runtime packages, built with wixl from samples/runtime.

set(QUORLITH_SAMPLE_RUNTIME_DIR "${CMAKE_CURRENT_LIST_DIR}/../samples/runtime")
get_filename_component(QUORLITH_SAMPLE_RUNTIME_DIR "${QUORLITH_SAMPLE_RUNTIME_DIR}" ABSOLUTE)

# quorlith_sample_runtime(<target> <output dir> <version> <out var>)
# Adds <target>, which builds the four sample packages at <version> into <output dir>; <out var> gets
# their paths in identifier order (101..104).
function(quorlith_sample_runtime target outdir version outvar)
  find_program(QUORLITH_WIXL wixl)
  if(NOT QUORLITH_WIXL)
    message(FATAL_ERROR "wixl (Debian package 'wixl') is needed to build the sample runtime packages; "
                        "or give the payloads with -DQUORLITH_PAYLOAD_DIR")
  endif()
  set(outputs "")
  foreach(name IN ITEMS dotnet-host dotnet-hostfxr dotnet-runtime windowsdesktop-runtime)
    set(msi "${outdir}/${name}.msi")
    add_custom_command(
      OUTPUT "${msi}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${outdir}"
      COMMAND "${QUORLITH_WIXL}" -a x64 -D "Version=${version}" -D "Content=marker.txt" -o "${msi}" "${name}.wxs"
      DEPENDS "${QUORLITH_SAMPLE_RUNTIME_DIR}/${name}.wxs" "${QUORLITH_SAMPLE_RUNTIME_DIR}/marker.txt"
      WORKING_DIRECTORY "${QUORLITH_SAMPLE_RUNTIME_DIR}"
      COMMENT "Building sample package ${name}.msi (${version})"
      VERBATIM)
    list(APPEND outputs "${msi}")
  endforeach()
  add_custom_target(${target} DEPENDS ${outputs})
  set(${outvar} ${outputs} PARENT_SCOPE)
endfunction()
