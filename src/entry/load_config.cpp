#include "common/common.h"

// The loader finds this directory through the image header. DependentLoadFlags (the field GCC's headers
// still call Reserved1) makes the static imports that are not known DLLs, bcrypt and comctl32, resolve from
// System32 only, so a DLL planted next to the executable (a downloads folder) is never loaded. The linker
// points the header at this symbol: LLD and the Microsoft linker do, GNU ld does not, so MinGW builds link
// the image with LLD.
#if defined(_MSC_VER)
#define LOAD_CONFIG_STORAGE __declspec(align(8))
#else
#define LOAD_CONFIG_STORAGE __attribute__((used, aligned(8)))
#endif

extern "C" LOAD_CONFIG_STORAGE const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    LOAD_LIBRARY_SEARCH_SYSTEM32,
    0, 0, 0, 0,
};
