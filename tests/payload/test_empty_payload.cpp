// A bundle whose payload 102 is an empty file (the build lets test bundles carry one on purpose).
#include "wtest.h"
#include "shim.h"
#include "payload/payload.h"

int wmain(void)
{
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCEW(PAYLOAD_HOSTFXR), MAKEINTRESOURCEW(10));
    ok(resource && SizeofResource(NULL, resource) == 0, "payload 102 is embedded and empty: %p, %lu bytes",
       static_cast<void*>(resource), resource ? SizeofResource(NULL, resource) : 0);

    // Payload 101 is hashed and passes; 102 is refused on its size, before hashing, and ends the walk.
    ShimReset();
    ok(VerifyAllPayloads() == FALSE, "the bundle with an empty payload verifies");
    ok(ShimCalls(SHIM_FindResourceW) == 2 && ShimCalls(SHIM_BCryptHashData) == 1,
       "%ld located, %ld hashed, expected 2 and 1", ShimCalls(SHIM_FindResourceW), ShimCalls(SHIM_BCryptHashData));

    WCHAR dir[MAX_PATH * 4];
    WCHAR path[MAX_PATH * 4];
    if (!wt_make_temp_dir(L"payload-empty", dir))
    {
        printf("cannot create a scratch directory\n");
        return 1;
    }
    wsprintfW(path, L"%s\\empty.bin", dir);
    ShimReset();
    ok(ExtractPayload(PAYLOAD_HOSTFXR, path) == FALSE, "the empty payload was extracted");
    ok(ShimCalls(SHIM_BCryptHashData) == 0 && ShimCalls(SHIM_CreateFileW) == 0 && !wt_exists(path),
       "empty payload: %ld hashed, %ld creations", ShimCalls(SHIM_BCryptHashData), ShimCalls(SHIM_CreateFileW));
    wt_remove_tree(dir);
    return wt_finish();
}
