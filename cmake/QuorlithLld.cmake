# Linking the image with LLD in a MinGW build.
#
# GNU ld leaves the load-configuration entry of the header empty; LLD fills it from _load_config_used. Debian's
# MinGW GCC always runs GNU ld, whatever -fuse-ld says, so the image's link line goes to clang's MinGW driver
# through a linker launcher.
#
# LLD keeps every loaded section that is not COMDAT, among them the 8-byte jump stub that a GNU import library
# holds beside each function's import entry. A function the headers declare dllimport is called through its
# __imp_ pointer, never through the stub, so the image links against copies of its import libraries without
# stubs (about 500 bytes less code). Auto-import is off: it would point a call that needs a missing stub at the
# import slot, for a runtime's pseudo-relocation code to repair, and the image has no runtime; such a call is a
# link error instead.
#
# CMake before 3.21 ignores the launcher without a word, and GNU ld then links an image without the directory,
# so the image's own build checks the linked file (the release tool's load-config command) and fails without it, removing the image and what was written
# about it (QUORLITH_REMOVE_ON_FAILED_LINK_CHECK: the payload manifest, the bill of materials).

set(QUORLITH_LLD_LAUNCHER "${CMAKE_CURRENT_LIST_DIR}/link-with-lld.sh")
# mingw-w64's bcrypt.h declares no dllimport: calls go through the stubs.
set(QUORLITH_STUB_CALLED_LIBRARIES bcrypt)

# quorlith_link_with_lld(<target>): links <target> with LLD against the system libraries it imports from.
function(quorlith_link_with_lld target)
  find_program(QUORLITH_CLANGXX NAMES clang++ REQUIRED)
  set(dir "${CMAKE_BINARY_DIR}/import-libraries")
  set(stripped ${QUORLITH_SYSTEM_LIBRARIES})
  list(REMOVE_ITEM stripped ${QUORLITH_STUB_CALLED_LIBRARIES})
  set(libraries "")
  foreach(name IN LISTS stripped)
    list(APPEND libraries "${dir}/lib${name}.a")
  endforeach()
  if(NOT TARGET quorlith_import_libraries)
    foreach(name IN LISTS stripped)
      find_library(QUORLITH_IMPORT_LIBRARY_${name} ${name} REQUIRED)
      add_custom_command(
        OUTPUT "${dir}/lib${name}.a"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}"
        COMMAND "${CMAKE_OBJCOPY}" --remove-section=.text "${QUORLITH_IMPORT_LIBRARY_${name}}" "${dir}/lib${name}.a"
        DEPENDS "${QUORLITH_IMPORT_LIBRARY_${name}}"
        COMMENT "Import library ${name} without jump stubs"
        VERBATIM)
    endforeach()
    add_custom_target(quorlith_import_libraries DEPENDS ${libraries})
  endif()
  add_dependencies(${target} quorlith_import_libraries)
  target_link_libraries(${target} PRIVATE ${libraries} ${QUORLITH_STUB_CALLED_LIBRARIES})
  target_link_options(${target} PRIVATE -Wl,--disable-auto-import)
  set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
    "${QUORLITH_LLD_LAUNCHER}" "${QUORLITH_CLANGXX}" "${QUORLITH_MINGW_PREFIX}")
  # First after the link, before signing or anything else that reads the image.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${QUORLITH_PYTHON}" "${QUORLITH_RELEASE_TOOL}" load-config --image "$<TARGET_FILE:${target}>"
            --remove "$<TARGET_PROPERTY:${target},QUORLITH_REMOVE_ON_FAILED_LINK_CHECK>"
    COMMAND_EXPAND_LISTS
    VERBATIM)
endfunction()
