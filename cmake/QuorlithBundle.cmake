# Embedding of the five payloads and generation of their digest table.
#
# The table is generated at build time from exactly the files that the resource script embeds, so a
# changed payload regenerates it and relinks the image.

set(QUORLITH_PAYLOAD_NAMES
  dotnet-host.msi            # 101
  dotnet-hostfxr.msi         # 102
  dotnet-runtime.msi         # 103
  windowsdesktop-runtime.msi # 104
  Quorlith-Install.exe)      # 105
set(QUORLITH_MAX_PAYLOAD_SIZE 268435456)
set(QUORLITH_MANIFEST "${CMAKE_CURRENT_LIST_DIR}/../res/QuorlithSetup.manifest")
get_filename_component(QUORLITH_MANIFEST "${QUORLITH_MANIFEST}" ABSOLUTE)
set(QUORLITH_RC_TEMPLATE "${CMAKE_CURRENT_LIST_DIR}/../res/bundle.rc.in")
include("${CMAKE_CURRENT_LIST_DIR}/QuorlithSbom.cmake")

# The payloads are read and the table written by the release tool: a project that embeds payloads without
# having found its interpreter finds it here, or the generator step would run nothing at all and the build
# would stop later at a table that was never written.
if(NOT QUORLITH_PYTHON OR NOT QUORLITH_RELEASE_TOOL)
  include("${CMAKE_CURRENT_LIST_DIR}/QuorlithPython.cmake")
endif()

# The release tooling's sources: a changed reader or writer regenerates what it wrote.
file(GLOB QUORLITH_RELEASE_SOURCES CONFIGURE_DEPENDS "${QUORLITH_SOURCE_DIR}/tools/release/quorlith_release/*.py")
list(APPEND QUORLITH_RELEASE_SOURCES "${QUORLITH_RELEASE_TOOL}")

# quorlith_check_option(<option> TEXT|PATH): stops the configure step on a value the build's commands cannot
# carry as it is written, naming the option. Values reach the release tool as --name=value, so one that begins
# with "-" stays a value; what cannot pass is a control character (a Makefile line would break at it), "$<"
# (add_custom_command would evaluate it as a generator expression), "$(" (custom commands pass it on as a make
# variable: make would put its value in place, and Ninja refuses the build file), a ";" in a path (CMake's list separator:
# the build would name other files), a path that CMake's if() reads as false (one ending in "-NOTFOUND": the
# build would go on as if the option were not set, with no check of signatures, revocation or payloads) and, in
# a text taken exactly as given, white space at either end.
string(ASCII 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 127
       QUORLITH_CONTROL_CHARACTERS)
function(quorlith_check_option option kind)
  set(value "${${option}}")
  if(value MATCHES "[${QUORLITH_CONTROL_CHARACTERS}]")
    message(FATAL_ERROR "${option} holds a control character (a tab or line break, say), which the build's "
                        "commands cannot carry")
  elseif(value MATCHES "[$]<")
    message(FATAL_ERROR "${option} holds \"$<\", which the build's commands would read as a generator "
                        "expression: ${value}")
  elseif(value MATCHES "[$][(]")
    message(FATAL_ERROR "${option} holds \"$(\", which the build's commands would pass on as a make variable: "
                        "${value}")
  elseif(kind STREQUAL "PATH" AND value MATCHES ";")
    # Not shown: CMake has already made each part of such a path absolute on its own.
    message(FATAL_ERROR "${option} holds a \";\", which CMake takes for a list separator, so the build would "
                        "name other files than it: name a path without one")
  elseif(kind STREQUAL "PATH" AND NOT value STREQUAL "" AND NOT value)
    message(FATAL_ERROR "${option} is \"${value}\", which CMake reads as false, so the build would go on as if it "
                        "were not set: leave it empty or name a path that does not end in \"-NOTFOUND\"")
  elseif(kind STREQUAL "TEXT" AND value MATCHES "^[ \t]|[ \t]$")
    message(FATAL_ERROR "${option} begins or ends with white space (\"${value}\"), which would be taken as "
                        "part of it: give it without")
  endif()
endfunction()

# A release takes only signed payloads: each must carry a valid Authenticode signature under a root of this file.
set(QUORLITH_PAYLOAD_CA "" CACHE FILEPATH
    "PEM file with the roots the five payloads must be signed under; empty: signatures are not checked")

# The signer each payload slot accepts, and the CRLs that revocation is checked against (offline): both refine
# QUORLITH_PAYLOAD_CA and mean nothing without it.
set(QUORLITH_RUNTIME_SIGNER "" CACHE STRING
    "Organisation (O=) that must have signed the runtime packages (101-104); empty: any under QUORLITH_PAYLOAD_CA")
set(QUORLITH_INSTALLER_SIGNER "" CACHE STRING
    "Organisation (O=) that must have signed the product installer (105); empty: any under QUORLITH_PAYLOAD_CA")
set(QUORLITH_PAYLOAD_CRL "" CACHE FILEPATH
    "PEM file with the CRLs the payload signatures are checked against; empty: revocation is not checked")
foreach(option QUORLITH_PAYLOAD_CA QUORLITH_PAYLOAD_CRL)
  quorlith_check_option(${option} PATH)
endforeach()
foreach(option QUORLITH_RUNTIME_SIGNER QUORLITH_INSTALLER_SIGNER)
  quorlith_check_option(${option} TEXT)
endforeach()
# quorlith_check_pem(<option> <label>): the file the option names holds at least one PEM block of that label.
function(quorlith_check_pem option label)
  if(NOT EXISTS "${${option}}" OR IS_DIRECTORY "${${option}}")
    message(FATAL_ERROR "${option} names no file: ${${option}}")
  endif()
  file(STRINGS "${${option}}" blocks REGEX "^-----BEGIN ${label}-----")
  if(NOT blocks)
    message(FATAL_ERROR "${option} holds no PEM \"${label}\" block: ${${option}}")
  endif()
endfunction()
if(QUORLITH_PAYLOAD_CA)
  quorlith_check_pem(QUORLITH_PAYLOAD_CA CERTIFICATE)
endif()
foreach(option QUORLITH_RUNTIME_SIGNER QUORLITH_INSTALLER_SIGNER QUORLITH_PAYLOAD_CRL)
  if(NOT "${${option}}" STREQUAL "" AND NOT QUORLITH_PAYLOAD_CA)
    message(FATAL_ERROR "${option} is set: QUORLITH_PAYLOAD_CA must name the roots the payloads are signed under")
  endif()
endforeach()
if(QUORLITH_PAYLOAD_CRL)
  quorlith_check_pem(QUORLITH_PAYLOAD_CRL "X509 CRL")
endif()

# quorlith_payload_files(<var> <dir>): the five payload paths in identifier order.
function(quorlith_payload_files var dir)
  get_filename_component(dir "${dir}" ABSOLUTE)
  set(files "")
  foreach(name IN LISTS QUORLITH_PAYLOAD_NAMES)
    list(APPEND files "${dir}/${name}")
  endforeach()
  set(${var} ${files} PARENT_SCOPE)
endfunction()

# quorlith_write_if_changed(<file> <text>): leaves an unchanged file alone, so nothing that depends on it reruns.
function(quorlith_write_if_changed file text)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${file}" "${text}")
endfunction()

# quorlith_payload_options(<out var> <check size> <check kind>): the release tool's options for the payload
# checks, each as --name=value, but the signer pins: a list would cut an organisation at its ";", so callers
# pass those quoted.
function(quorlith_payload_options var check_size check_kind)
  set(options --max-size=${QUORLITH_MAX_PAYLOAD_SIZE})
  if(check_size)
    list(APPEND options --check-size)
  endif()
  if(check_kind)
    list(APPEND options --check-kind)
  endif()
  if(check_kind AND QUORLITH_PAYLOAD_CA)
    find_program(QUORLITH_OSSLSIGNCODE osslsigncode)
    if(NOT QUORLITH_OSSLSIGNCODE)
      message(FATAL_ERROR "osslsigncode (Debian package 'osslsigncode') is needed to check the payload signatures")
    endif()
    list(APPEND options "--ca=${QUORLITH_PAYLOAD_CA}" "--osslsigncode=${QUORLITH_OSSLSIGNCODE}")
    if(QUORLITH_PAYLOAD_CRL)
      list(APPEND options "--crl=${QUORLITH_PAYLOAD_CRL}")
    endif()
  endif()
  set(${var} "${options}" PARENT_SCOPE)
endfunction()

# Fails the configure step early when a given payload is missing, empty, too large, not of its kind, (with
# QUORLITH_PAYLOAD_CA) not validly signed, or a runtime package that cannot satisfy its slot's presence
# test. The digest generator checks again at build time, for payloads made by the build or changed since.
function(quorlith_check_payload_files)
  quorlith_payload_options(options ON ON)
  execute_process(
    COMMAND "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" check ${options}
            "--runtime-signer=${QUORLITH_RUNTIME_SIGNER}" "--installer-signer=${QUORLITH_INSTALLER_SIGNER}"
            # Last, and absolute, so that no file is taken for an option.
            --files ${ARGN}
    RESULT_VARIABLE result ERROR_VARIABLE problem)
  if(NOT result EQUAL 0)
    string(STRIP "${problem}" problem)
    message(FATAL_ERROR "${problem}")
  endif()
endfunction()

# quorlith_add_bundle(<target> FILES <5 paths> [DEPENDS <targets>] [ANY_SIZE] [VALIDATE] [JSON <path>]
#                     [SBOM] [TABLE <5 paths>])
# Adds the resource script (manifest + payloads 101..105, language 1033) and the generated digest table.
# ANY_SIZE lets test bundles carry an empty or oversized payload on purpose; VALIDATE also requires MSI
# packages for 101-104 that lay down what their slots' presence tests look for, and an x64 executable for 105,
# each signed under QUORLITH_PAYLOAD_CA when that is set; JSON writes the payload manifest beside the image;
# SBOM (which needs VALIDATE, whose proof names the packages' releases) writes the payloads'
# bill-of-materials entries for quorlith_add_sbom_step.
# TABLE, for tests only, generates the table from other files than those embedded: a bundle that lies.
function(quorlith_add_bundle target)
  cmake_parse_arguments(B "ANY_SIZE;VALIDATE;SBOM" "JSON" "FILES;DEPENDS;TABLE" ${ARGN})
  list(LENGTH B_FILES count)
  if(NOT count EQUAL 5)
    message(FATAL_ERROR "quorlith_add_bundle(${target}) needs exactly five payload files, got ${count}")
  endif()
  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${target}.bundle")
  if(NOT B_TABLE)
    set(B_TABLE ${B_FILES})
  endif()
  set(check_size ON)
  if(B_ANY_SIZE)
    set(check_size OFF)
  endif()
  set(check_kind OFF)
  if(B_VALIDATE)
    set(check_kind ON)
  endif()
  quorlith_payload_options(options ${check_size} ${check_kind})
  set(roots "")
  if(B_VALIDATE AND QUORLITH_PAYLOAD_CA)
    set(roots "${QUORLITH_PAYLOAD_CA}" ${QUORLITH_PAYLOAD_CRL})
  endif()
  # Makefiles do not rerun a command whose arguments changed: this file changes with them instead.
  quorlith_write_if_changed("${gen}/checks.txt"
    "${options}\n${QUORLITH_RUNTIME_SIGNER}\n${QUORLITH_INSTALLER_SIGNER}\n")
  set(outputs "${gen}/digests.cpp")
  set(written "--out=${gen}/digests.cpp")
  if(B_JSON)
    list(APPEND outputs "${B_JSON}")
    list(APPEND written "--manifest=${B_JSON}")
    set_property(TARGET ${target} APPEND PROPERTY QUORLITH_REMOVE_ON_FAILED_LINK_CHECK "${B_JSON}")
  endif()
  if(B_SBOM AND NOT B_VALIDATE)
    message(FATAL_ERROR "quorlith_add_bundle(${target}): SBOM needs VALIDATE")
  elseif(B_SBOM)
    list(APPEND outputs "${gen}/sbom-components.json")
    list(APPEND written "--components=${gen}/sbom-components.json")
    set_property(TARGET ${target} PROPERTY QUORLITH_SBOM_COMPONENTS "${gen}/sbom-components.json")
  endif()
  # The outputs are rewritten only when their text changes, so that an unchanged table does not relink; the
  # stamp, written every time, is what keeps the next build from running the generator again. They are
  # outputs, not byproducts, so that one deleted is made again, with Makefiles as with Ninja.
  add_custom_command(
    OUTPUT "${gen}/digests.stamp" ${outputs}
    COMMAND "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" generate ${options}
            # The pins are quoted here, never held in a list, so that an organisation's ";" stays in it.
            "--runtime-signer=${QUORLITH_RUNTIME_SIGNER}" "--installer-signer=${QUORLITH_INSTALLER_SIGNER}"
            ${written} --files ${B_TABLE}
    COMMAND "${CMAKE_COMMAND}" -E touch "${gen}/digests.stamp"
    DEPENDS ${B_TABLE} ${QUORLITH_RELEASE_SOURCES} ${roots} "${gen}/checks.txt"
    COMMENT "Generating the payload digest table of ${target}"
    VERBATIM)

  set(QUORLITH_RC_MANIFEST "${QUORLITH_MANIFEST}")
  foreach(i RANGE 0 4)
    list(GET B_FILES ${i} file)
    math(EXPR id "101 + ${i}")
    set(QUORLITH_RC_PAYLOAD_${id} "${file}")
  endforeach()
  configure_file("${QUORLITH_RC_TEMPLATE}" "${gen}/bundle.rc" @ONLY)
  set_source_files_properties("${gen}/bundle.rc" PROPERTIES OBJECT_DEPENDS "${B_FILES};${QUORLITH_MANIFEST}")

  target_sources(${target} PRIVATE "${gen}/digests.stamp" "${gen}/digests.cpp" "${gen}/bundle.rc")
  if(B_DEPENDS)
    add_dependencies(${target} ${B_DEPENDS})
  endif()
endfunction()

# quorlith_add_setup_image(<target> FILES <5 paths> [DEPENDS <targets>] [ANY_SIZE] [VALIDATE] [JSON <path>]
#                          [SBOM])
# The bootstrapper image with a given payload set: the product itself, and the variants tests need
# (another runtime version, chosen payload sizes).
function(quorlith_add_setup_image target)
  cmake_parse_arguments(I "" "" "FILES;DEPENDS" ${ARGN})
  add_executable(${target} WIN32 ${QUORLITH_MODULE_SOURCES} ${QUORLITH_IMAGE_ONLY_SOURCES})
  quorlith_image_flags(${target})
  quorlith_add_bundle(${target} FILES ${I_FILES} DEPENDS ${I_DEPENDS} ${I_UNPARSED_ARGUMENTS})
endfunction()
