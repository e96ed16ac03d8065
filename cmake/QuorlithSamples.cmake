# Sample stand-ins for the runtime packages, built with wixl from samples/runtime.

set(QUORLITH_SAMPLE_RUNTIME_DIR "${CMAKE_CURRENT_LIST_DIR}/../samples/runtime")
get_filename_component(QUORLITH_SAMPLE_RUNTIME_DIR "${QUORLITH_SAMPLE_RUNTIME_DIR}" ABSOLUTE)

# quorlith_packed_version(<out var> <release>): the ProductVersion a sample runtime package of <release> carries,
# packed as the real packages pack theirs, since Windows Installer limits ProductVersion to 255.255.65535:
# major<<27 | minor<<22 | patch<<18 | (build number & 0x3FFF)<<4 | (revision & 0xF), shown as three fields, so
# 10.0.15 becomes 80.60.52019 with the samples' build number. It is not the release; that is in the folders.
function(quorlith_packed_version var release)
  execute_process(COMMAND "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" packed-version "${release}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE packed ERROR_VARIABLE problem OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "The sample runtime packages cannot be given a ProductVersion: ${problem}")
  endif()
  set(${var} "${packed}" PARENT_SCOPE)
endfunction()

# quorlith_sample_runtime(<target> <output dir> <release> <out var>)
# Adds <target>, which builds the four sample packages of <release> into <output dir>; <out var> gets
# their paths in identifier order (101..104).
function(quorlith_sample_runtime target outdir version outvar)
  find_program(QUORLITH_WIXL wixl)
  if(NOT QUORLITH_WIXL)
    message(FATAL_ERROR "wixl (Debian package 'wixl') is needed to build the sample runtime packages; or give the "
                        "payloads with -DQUORLITH_PAYLOAD_DIR")
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
      COMMAND "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" short-names "${msi}"
      DEPENDS "${QUORLITH_SAMPLE_RUNTIME_DIR}/${name}.wxs" "${QUORLITH_SAMPLE_RUNTIME_DIR}/marker.txt"
              "${QUORLITH_SOURCE_DIR}/tools/release/quorlith_release/samples.py"
              "${QUORLITH_SOURCE_DIR}/tools/release/quorlith_release/msi.py"
      WORKING_DIRECTORY "${QUORLITH_SAMPLE_RUNTIME_DIR}"
      COMMENT "Building sample package ${name}.msi (${version})"
      VERBATIM)
    list(APPEND outputs "${msi}")
  endforeach()
  add_custom_target(${target} DEPENDS ${outputs})
  set(${outvar} ${outputs} PARENT_SCOPE)
endfunction()
