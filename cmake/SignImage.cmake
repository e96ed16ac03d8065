# cmake -DIMAGE=<exe> -DOSSLSIGNCODE=<path> -DPFX=<file.pfx> -DPASSWORD_FILE=<file> [-DTIMESTAMP_URL=<url>]
#       [-DSBOM=<image's bill of materials>] -P SignImage.cmake
# Signs the image in place (Authenticode, SHA-256), countersigned by an RFC 3161 time-stamp server when one is
# given, so the signature outlives the certificate. When signing fails the unsigned image is deleted, and with
# it an earlier build's bill of materials, which would describe an image no longer there: nothing is left at
# the output path, and the next build links it again.
set(arguments sign -pkcs12 "${PFX}" -readpass "${PASSWORD_FILE}" -h sha256 -n "Quorlith Setup")
set(what "Signing ${IMAGE}")
if(NOT TIMESTAMP_URL STREQUAL "")
  list(APPEND arguments -ts "${TIMESTAMP_URL}")
  set(what "Signing ${IMAGE} with a timestamp from ${TIMESTAMP_URL}")
endif()
file(REMOVE "${IMAGE}.signed")
execute_process(COMMAND "${OSSLSIGNCODE}" ${arguments} -in "${IMAGE}" -out "${IMAGE}.signed"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${IMAGE}" "${IMAGE}.signed" ${SBOM})
  message(FATAL_ERROR "${what} failed; the unsigned image and its bill of materials were removed. "
                      "osslsigncode said:\n${output}")
endif()
file(RENAME "${IMAGE}.signed" "${IMAGE}")
