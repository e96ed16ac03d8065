# Modules of the product, shared by the image and by the tests that build them against the fault shim.
set(QUORLITH_MODULE_SOURCES
  common/path.cpp
  common/cmdline.cpp
  common/memory.cpp
  common/state.cpp
  entry/entry.cpp
  entry/load_config.cpp
  entry/bundle_report.cpp
  entry/installer_check.cpp
  payload/verify.cpp
  payload/extract.cpp
  staging/staging_dir.cpp
  staging/runner.cpp
  staging/installer_staging.cpp
  runtime/detect.cpp
  runtime/install.cpp
  ui/window.cpp
  ui/worker.cpp)
list(TRANSFORM QUORLITH_MODULE_SOURCES PREPEND "${CMAKE_CURRENT_LIST_DIR}/")

# Only the image needs these: the compiler's own helpers that a runtime would otherwise supply.
set(QUORLITH_IMAGE_ONLY_SOURCES "${CMAKE_CURRENT_LIST_DIR}/common/crt.cpp")
