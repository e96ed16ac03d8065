# Tests of the installer check mode: in this process against the fault shim, and on the real executable.
quorlith_wine_test(entry_installer_check SOURCES test_installer_check.cpp LIBRARIES quorlith_testable TIMEOUT 60)
quorlith_add_bundle(entry_installer_check FILES ${QUORLITH_PAYLOAD_FILES} DEPENDS ${QUORLITH_PAYLOAD_TARGET})

# The real run reads the sample installer's receipt, so it needs the sample payloads.
if(TARGET sample_payloads)
  quorlith_wine_test(entry_installer_check_e2e SOURCES test_installer_check_e2e.cpp
    LIBRARIES quorlith_setup_driver FRESH_PREFIX TIMEOUT 90 SYSTEM_CHANGES
    ARGS "$<TARGET_FILE:QuorlithSetup>" "${CMAKE_BINARY_DIR}/payloads" DEPENDS QuorlithSetup)
endif()
