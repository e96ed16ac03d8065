# Checks of one payload file, shared by the configure step and the build-time digest generator.

# quorlith_payload_problem(<out var> <file> <index 0..4> <check size> <check kind> <max size>
#                          [<CA file> <signer var>])
# Sets <out var> to a message naming the file when it is missing, empty, too large or (with <check kind>)
# not what its identifier carries: a Windows Installer package (101-104) or an x64 executable (105). With a
# CA file, the file must also carry a valid Authenticode signature under one of its certificates, and
# <signer var> gets the signer's subject; QUORLITH_PAYLOAD_CRL, QUORLITH_RUNTIME_SIGNER and
# QUORLITH_INSTALLER_SIGNER are read from the caller's scope (see quorlith_payload_signer and
# quorlith_payload_signer_pin).
function(quorlith_payload_problem var file index check_size check_kind max_size)
  set(problem "")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    set(problem "Payload file is missing: ${file}")
  else()
    file(SIZE "${file}" size)
    if(check_size AND size EQUAL 0)
      set(problem "Payload file is empty (0 bytes): ${file}")
    elseif(check_size AND size GREATER max_size)
      set(problem "Payload file is larger than ${max_size} bytes (${size}): ${file}")
    elseif(check_kind AND index LESS 4)
      file(READ "${file}" signature LIMIT 8 HEX)
      if(NOT signature STREQUAL "d0cf11e0a1b11ae1")
        set(problem "Payload file is not a Windows Installer package (no compound-file signature): ${file}")
      endif()
    elseif(check_kind)
      set(problem "Payload file is not an x64 Windows executable: ${file}")
      file(READ "${file}" mz LIMIT 2 HEX)
      if(mz STREQUAL "4d5a" AND size GREATER 64)
        file(READ "${file}" at OFFSET 60 LIMIT 4 HEX)
        string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" at "${at}")
        math(EXPR at "0x${at}")
        math(EXPR end "${at} + 6")
        if(end LESS_EQUAL size)
          file(READ "${file}" header OFFSET ${at} LIMIT 6 HEX)
          if(header STREQUAL "504500006486")   # "PE\0\0", IMAGE_FILE_MACHINE_AMD64
            set(problem "")
          endif()
        endif()
      endif()
    endif()
  endif()
  if(NOT problem AND ARGC GREATER 7 AND ARGV6)
    quorlith_payload_signer(problem signer "${file}" "${ARGV6}")
    if(NOT problem)
      quorlith_payload_signer_pin(problem "${file}" ${index} "${signer}")
    endif()
    set(${ARGV7} "${signer}" PARENT_SCOPE)
  endif()
  set(${var} "${problem}" PARENT_SCOPE)
endfunction()

# quorlith_payload_signer(<problem var> <signer var> <file> <CA file>)
# The payload's Authenticode signature, checked by osslsigncode (PE and MSI alike): its chain must end in a
# certificate of <CA file>, which also serves for timestamps, so a signature made before its certificate
# expired still holds. The check never uses the network (see quorlith_verify_offline_options). Sets
# <signer var> to the signer's subject, or <problem var> to what is wrong.
function(quorlith_payload_signer problem_var signer_var file ca)
  find_program(QUORLITH_OSSLSIGNCODE osslsigncode)
  if(NOT QUORLITH_OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode (Debian package 'osslsigncode') is needed to check the payload signatures")
  endif()
  quorlith_verify_offline_options(offline)
  execute_process(
    COMMAND "${QUORLITH_OSSLSIGNCODE}" verify -in "${file}" -CAfile "${ca}" -TSA-CAfile "${ca}" ${offline}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(problem "")
  set(signer "")
  if(result EQUAL 0)
    string(REGEX MATCH "Signer's certificate:[-\t\r\n ]*Signer #0:[\t\r\n ]*Subject: ([^\r\n]*)" match "${output}")
    set(signer "${CMAKE_MATCH_1}")
  elseif(output MATCHES "No signature found|has no signature")
    set(problem "Payload file is not signed: ${file}")
  elseif(output MATCHES "Calculated (message digest|DigitalSignature) *: [0-9A-Fa-f]+ +MISMATCH")
    set(problem "Payload file was altered after signing (its digest no longer matches the signature): ${file}")
  elseif(output MATCHES "certificate revoked")
    string(CONCAT problem "Payload file's signature is revoked: ${QUORLITH_PAYLOAD_CRL} revokes a certificate of "
                          "its chain: ${file}")
  elseif(output MATCHES "unable to get certificate CRL")
    string(CONCAT problem "Payload file's signature cannot be checked for revocation: ${QUORLITH_PAYLOAD_CRL} "
                          "lacks the CRL of an issuer in its chain: ${file}")
  elseif(output MATCHES "unable to get (local )?issuer certificate|self.signed certificate")
    set(problem "Payload file is signed under another root than those in ${ca}: ${file}")
  else()
    set(problem "Payload file's signature does not verify against ${ca}: ${file}\n${output}")
  endif()
  set(${problem_var} "${problem}" PARENT_SCOPE)
  set(${signer_var} "${signer}" PARENT_SCOPE)
endfunction()

# quorlith_verify_offline_options(<out var>): the options that keep "osslsigncode verify" off the network.
# From 2.8 on it fetches the CRL each certificate's distribution point names, which fails on an offline
# build machine; 2.5 (Debian 12) fetches nothing and knows none of these options, so they are taken from
# its help. With QUORLITH_PAYLOAD_CRL, revocation is checked against that file alone (every issuer in the
# payloads' and their timestamps' chains needs its CRL there); without it, not at all.
function(quorlith_verify_offline_options var)
  get_property(help GLOBAL PROPERTY QUORLITH_OSSLSIGNCODE_VERIFY_HELP)
  if(NOT help)
    execute_process(COMMAND "${QUORLITH_OSSLSIGNCODE}" verify --help OUTPUT_VARIABLE help ERROR_VARIABLE help)
    set_property(GLOBAL PROPERTY QUORLITH_OSSLSIGNCODE_VERIFY_HELP "${help}")
  endif()
  set(options "")
  if(QUORLITH_PAYLOAD_CRL)
    list(APPEND options -CRLfile "${QUORLITH_PAYLOAD_CRL}" -TSA-CRLfile "${QUORLITH_PAYLOAD_CRL}")
    if(help MATCHES "-ignore-cdp")
      list(APPEND options -ignore-cdp)
    endif()
  elseif(help MATCHES "-ignore-crl")
    list(APPEND options -ignore-crl)   # -ignore-cdp alone then asks for a CRL file
  elseif(help MATCHES "-ignore-cdp")
    list(APPEND options -ignore-cdp)
  endif()
  set(${var} ${options} PARENT_SCOPE)
endfunction()

# quorlith_payload_signer_pin(<problem var> <file> <index 0..4> <subject>)
# With QUORLITH_RUNTIME_SIGNER (101-104) or QUORLITH_INSTALLER_SIGNER (105) set, the organisation (O=) of the
# signer's subject must equal it exactly: the roots alone would accept anything else they certify, an older
# runtime or another product.
function(quorlith_payload_signer_pin problem_var file index subject)
  if(index LESS 4)
    set(option QUORLITH_RUNTIME_SIGNER)
  else()
    set(option QUORLITH_INSTALLER_SIGNER)
  endif()
  if("${${option}}" STREQUAL "")
    return()
  endif()
  quorlith_subject_organisation(found "${subject}")
  if(NOT found STREQUAL "${${option}}")
    string(CONCAT problem "Payload file is signed by another organisation than ${option} names: expected "
                          "\"${${option}}\", found \"${found}\": ${file}")
    set(${problem_var} "${problem}" PARENT_SCOPE)
  endif()
endfunction()

# quorlith_subject_organisation(<out var> <subject>): the first O= value of a subject as osslsigncode prints
# it ("/C=US/O=Name/CN=..."), with its escapes undone ("\/" is a slash, "\xHH" a byte of UTF-8).
function(quorlith_subject_organisation var subject)
  string(ASCII 1 slash)
  string(REPLACE "\\/" "${slash}" subject "${subject}")
  set(organisation "")
  if(subject MATCHES "(^|/)O=([^/]*)")
    set(organisation "${CMAKE_MATCH_2}")
  endif()
  string(REPLACE "${slash}" "/" organisation "${organisation}")
  string(REGEX MATCHALL "\\\\x[0-9A-Fa-f][0-9A-Fa-f]" escapes "${organisation}")
  list(REMOVE_DUPLICATES escapes)
  foreach(escape IN LISTS escapes)
    string(SUBSTRING "${escape}" 2 2 hex)
    math(EXPR code "0x${hex}")
    string(ASCII ${code} byte)
    string(REPLACE "${escape}" "${byte}" organisation "${organisation}")
  endforeach()
  set(${var} "${organisation}" PARENT_SCOPE)
endfunction()
