# Compiler and linker settings for code that runs without any language runtime.

set(QUORLITH_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." CACHE INTERNAL "")
get_filename_component(QUORLITH_SOURCE_DIR "${QUORLITH_SOURCE_DIR}" ABSOLUTE)

# Import libraries are named explicitly per target; nothing is linked by default.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

set(QUORLITH_SYSTEM_LIBRARIES kernel32 user32 gdi32 comctl32 shell32 advapi32 bcrypt)
include("${CMAKE_CURRENT_LIST_DIR}/QuorlithLld.cmake")

# Settings shared by the product image and by every test build of the product's modules.
function(quorlith_module_flags target)
  target_include_directories(${target} PRIVATE "${QUORLITH_SOURCE_DIR}/src")
  target_compile_definitions(${target} PRIVATE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE
      -Os -Wall -Wextra -Werror=frame-larger-than=4096
      -fno-exceptions -fno-rtti -fno-stack-protector -fno-threadsafe-statics
      -fno-asynchronous-unwind-tables -fno-unwind-tables
      -fno-tree-loop-distribute-patterns -fno-ident -mcmodel=small)
  elseif(MSVC)
    target_compile_options(${target} PRIVATE /O1 /W4 /GS- /GR- /EHs-c- /Gy /Gw /Zc:threadSafeInit-)
  endif()
endfunction()

# The shipped executable: entry point SetupEntry, no C or C++ runtime, GUI subsystem 6.0.
function(quorlith_image_flags target)
  quorlith_module_flags(${target})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(${target} PRIVATE
      -nostdlib -nostartfiles -s
      -Wl,-e,SetupEntry
      -Wl,--subsystem,windows:6.0
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--tsaware
      -Wl,--gc-sections -Wl,--no-insert-timestamp
      "-Wl,-Map,$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map"
      -Wl,--undefined=_load_config_used)
    quorlith_link_with_lld(${target})
  elseif(MSVC)
    target_link_libraries(${target} PRIVATE ${QUORLITH_SYSTEM_LIBRARIES})
    target_link_options(${target} PRIVATE
      /NODEFAULTLIB /ENTRY:SetupEntry /SUBSYSTEM:WINDOWS,6.0 /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT
      /LARGEADDRESSAWARE /TSAWARE /OPT:REF /OPT:ICF /MANIFEST:NO /Brepro)
  endif()
endfunction()
