// A bundle whose digest table no longer fits its payloads: rows 103 and 104 are swapped, as if those two
// payloads had been replaced without regenerating the table. Payloads 101, 102 and 105 still match.
#include "wtest.h"
#include "shim.h"
#include "payload/payload.h"

int wmain(void)
{
    ShimReset();
    ok(VerifyAllPayloads() == FALSE, "swapped rows: the bundle verifies");
    ok(ShimCalls(SHIM_FindResourceW) == 3 && ShimCalls(SHIM_BCryptHashData) == 3,
       "swapped rows: %ld located, %ld hashed, expected to stop at payload 103", ShimCalls(SHIM_FindResourceW),
       ShimCalls(SHIM_BCryptHashData));

    WCHAR dir[MAX_PATH * 4];
    WCHAR path[MAX_PATH * 4];
    if (!wt_make_temp_dir(L"payload-mismatch", dir))
    {
        printf("cannot create a scratch directory\n");
        return 1;
    }
    struct Case
    {
        INT id;
        BOOL expected;
    };
    const Case cases[] = {{101, TRUE}, {103, FALSE}, {104, FALSE}, {105, TRUE}};
    for (const Case& c : cases)
    {
        wsprintfW(path, L"%s\\payload-%d.bin", dir, c.id);
        ShimReset();
        BOOL result = ExtractPayload(c.id, path);
        ok(result == c.expected, "payload %d: got %d", c.id, result);
        if (!c.expected)
        {
            ok(ShimCalls(SHIM_CreateFileW) == 0 && !wt_exists(path), "payload %d: %ld creations, file %s", c.id,
               ShimCalls(SHIM_CreateFileW), wt_exists(path) ? "exists" : "absent");
        }
        DeleteFileW(path);
    }
    wt_remove_tree(dir);
    return wt_finish();
}
