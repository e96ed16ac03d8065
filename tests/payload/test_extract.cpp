// Extraction of the payloads this program carries: 101 is 65,536 bytes, 102 is 65,537, 103 is 1, 104 is
// 300,000 and 105 is 1,600,000 (see CMakeLists.txt).
//
//   payload_extract                      all cases, in a scratch directory of the user's temp directory
//   payload_extract full-volume <path>   extraction of 105 onto a volume too small for it
#include "wtest.h"
#include "shim.h"
#include "payload/payload.h"

#include <limits.h>
#include <string.h>

static WCHAR g_dir[MAX_PATH * 4];

static const WCHAR* PathOf(const WCHAR* name)
{
    static WCHAR slots[4][MAX_PATH * 4];
    static int next;
    WCHAR* out = slots[next++ & 3];
    wsprintfW(out, L"%s\\%s", g_dir, name);
    return out;
}

// The file at path holds exactly the bytes of payload id.
static BOOL HoldsPayload(const WCHAR* path, int id)
{
    DWORD size = 0;
    BYTE* data = wt_read_file(path, &size);
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
    const void* expected = resource ? LockResource(LoadResource(NULL, resource)) : NULL;
    BOOL same = data && expected && size == SizeofResource(NULL, resource) && !memcmp(data, expected, size);
    wt_free(data);
    return same;
}

static void TestRefusedIds(void)
{
    const INT ids[] = {100, 106, 0, -1, -101, -105, INT_MIN, INT_MAX, 101 + 65536};
    for (INT id : ids)
    {
        const WCHAR* path = PathOf(L"refused.bin");
        ShimReset();
        BOOL result = ExtractPayload(id, path);
        ok(result == FALSE, "id %d: got %d", id, result);
        ok(!wt_exists(path), "id %d: something was created", id);
        ok(ShimCalls(SHIM_FindResourceW) == 0 && ShimCalls(SHIM_CreateFileW) == 0,
           "id %d: refused late (%ld resource look-ups, %ld creations)", id, ShimCalls(SHIM_FindResourceW),
           ShimCalls(SHIM_CreateFileW));
    }
}

static void TestWriteRequests(void)
{
    struct Case
    {
        INT id;
        LONG requests;
        DWORD sizes[6];
    };
    const Case cases[] = {
        {101, 1, {65536}},
        {102, 2, {65536, 1}},
        {103, 1, {1}},
        {104, 5, {65536, 65536, 65536, 65536, 37856}},
    };
    for (const Case& c : cases)
    {
        WCHAR name[32];
        wsprintfW(name, L"payload-%d.bin", c.id);
        const WCHAR* path = PathOf(name);
        DWORD handles = wt_handle_count();
        ShimReset();
        BOOL result = ExtractPayload(c.id, path);
        ok(result != FALSE, "payload %d: got %d", c.id, result);
        DWORD sizes[64] = {};
        LONG requests = ShimWriteRequests(sizes, 64);
        BOOL sameSizes = requests == c.requests;
        for (LONG i = 0; sameSizes && i < requests; ++i)
        {
            sameSizes = sizes[i] == c.sizes[i];
        }
        ok(sameSizes, "payload %d: %ld requests (%lu, %lu, ..., last %lu), expected %ld", c.id, requests, sizes[0],
           sizes[1], requests > 0 ? sizes[requests - 1] : 0, c.requests);
        ok(ShimCalls(SHIM_FlushFileBuffers) == 1 && ShimCalls(SHIM_DeleteFileW) == 0,
           "payload %d: %ld flushes, %ld deletions", c.id, ShimCalls(SHIM_FlushFileBuffers),
           ShimCalls(SHIM_DeleteFileW));
        ok(wt_handle_count() == handles, "payload %d: %lu handles, %lu before", c.id, wt_handle_count(), handles);
        ok(HoldsPayload(path, c.id), "payload %d: file differs from the resource", c.id);
        // Closed: a handle kept open without sharing would make this fail.
        ok(DeleteFileW(path), "payload %d: extracted file cannot be deleted, error %lu", c.id, GetLastError());
    }
}

static void TestExistingTargets(void)
{
    // A file already there is neither overwritten nor removed.
    BYTE sentinel[100];
    memset(sentinel, 0xCC, sizeof(sentinel));
    const WCHAR* path = PathOf(L"existing.bin");
    wt_write_file(path, sentinel, sizeof(sentinel));
    ShimReset();
    ok(ExtractPayload(PAYLOAD_HOST, path) == FALSE, "existing file: extraction succeeded");
    DWORD size = 0;
    BYTE* kept = wt_read_file(path, &size);
    ok(kept && size == sizeof(sentinel) && !memcmp(kept, sentinel, size), "existing file changed: %lu bytes", size);
    wt_free(kept);
    ok(ShimCalls(SHIM_WriteFile) == 0 && ShimCalls(SHIM_DeleteFileW) == 0, "existing file: %ld writes, %ld deletions",
       ShimCalls(SHIM_WriteFile), ShimCalls(SHIM_DeleteFileW));
    DeleteFileW(path);

    // A directory of that name stays a directory.
    path = PathOf(L"directory.bin");
    CreateDirectoryW(path, NULL);
    ok(ExtractPayload(PAYLOAD_HOST, path) == FALSE, "directory at the path: extraction succeeded");
    ok(wt_is_dir(path), "directory at the path is gone");
    RemoveDirectoryW(path);

    // A missing parent directory is not created.
    path = PathOf(L"missing\\payload.bin");
    ShimReset();
    ok(ExtractPayload(PAYLOAD_HOST, path) == FALSE, "missing directory: extraction succeeded");
    ok(!wt_exists(PathOf(L"missing")), "missing directory was created");
    ok(ShimCalls(SHIM_CreateFileW) == 1 && ShimCalls(SHIM_DeleteFileW) == 0,
       "missing directory: %ld creations, %ld deletions", ShimCalls(SHIM_CreateFileW), ShimCalls(SHIM_DeleteFileW));

    // The second extraction to one path fails on the first one's file and leaves it whole.
    path = PathOf(L"twice.bin");
    ok(ExtractPayload(PAYLOAD_HOSTFXR, path) != FALSE, "first extraction failed");
    ShimReset();
    ok(ExtractPayload(PAYLOAD_HOSTFXR, path) == FALSE, "second extraction to the same path succeeded");
    ok(ShimCalls(SHIM_DeleteFileW) == 0, "second extraction deleted %ld times", ShimCalls(SHIM_DeleteFileW));
    ok(HoldsPayload(path, PAYLOAD_HOSTFXR), "first extraction's file changed");
    DeleteFileW(path);
}

// Every failure before the file is created leaves the disk untouched.
static void TestFailuresBeforeCreation(void)
{
    struct Case
    {
        const char* what;
        ShimCall call;
        LONG nth;
        BOOL setSize;
        DWORD size;
    };
    const Case cases[] = {
        {"resource not found", SHIM_FindResourceW, 1, FALSE, 0},
        {"size query fails", SHIM_SizeofResource, 1, FALSE, 0},
        {"size 0", SHIM_CALL_COUNT, 0, TRUE, 0},
        {"size above the bound", SHIM_CALL_COUNT, 0, TRUE, 268435457u},
        {"size one short", SHIM_CALL_COUNT, 0, TRUE, 65535},
        {"provider cannot be opened", SHIM_BCryptOpenAlgorithmProvider, 1, FALSE, 0},
        {"hash object not allocated", SHIM_HeapAlloc, 1, FALSE, 0},
        {"hashing fails", SHIM_BCryptHashData, 1, FALSE, 0},
        {"digest not finished", SHIM_BCryptFinishHash, 1, FALSE, 0},
    };
    for (const Case& c : cases)
    {
        const WCHAR* path = PathOf(L"unverified.bin");
        DWORD handles = wt_handle_count();
        ShimReset();
        if (c.call != SHIM_CALL_COUNT)
        {
            ShimFail(c.call, c.nth, 0);
        }
        ShimSetResourceSize(c.setSize, c.size);
        BOOL result = ExtractPayload(PAYLOAD_HOST, path);
        ok(result == FALSE, "%s: got %d", c.what, result);
        ok(ShimCalls(SHIM_CreateFileW) == 0 && !wt_exists(path), "%s: %ld creations, file %s", c.what,
           ShimCalls(SHIM_CreateFileW), wt_exists(path) ? "exists" : "absent");
        ok(wt_handle_count() == handles, "%s: %lu handles, %lu before", c.what, wt_handle_count(), handles);
    }
    ShimReset();
}

// Failures once the file exists: the partial or complete file is closed and deleted. Payload 102 takes
// two write requests. Deleting works only because the handle, opened without sharing, is closed first:
// Wine refuses DeleteFileW on a file open without FILE_SHARE_DELETE, as Windows does.
static void TestFailuresAfterCreation(void)
{
    enum Fault
    {
        FAIL,
        SHORT
    };
    struct Case
    {
        const char* what;
        Fault fault;
        ShimCall call;
        LONG nth;
        LONG writes;
        LONG deletions;
    };
    const Case cases[] = {
        {"creation fails", FAIL, SHIM_CreateFileW, 1, 0, 0},
        {"first write fails", FAIL, SHIM_WriteFile, 1, 1, 1},
        {"second write fails", FAIL, SHIM_WriteFile, 2, 2, 1},
        {"first write short", SHORT, SHIM_WriteFile, 1, 1, 1},
        {"second write short", SHORT, SHIM_WriteFile, 2, 2, 1},
        {"flush fails", FAIL, SHIM_FlushFileBuffers, 1, 2, 1},
    };
    for (const Case& c : cases)
    {
        const WCHAR* path = PathOf(L"faulted.bin");
        DWORD handles = wt_handle_count();
        ShimReset();
        if (c.fault == SHORT)
        {
            ShimShortWrite(c.nth);
        }
        else
        {
            ShimFail(c.call, c.nth, 0);
        }
        BOOL result = ExtractPayload(PAYLOAD_HOSTFXR, path);
        ok(result == FALSE, "%s: got %d", c.what, result);
        ok(!wt_exists(path), "%s: a file was left at the path", c.what);
        ok(ShimCalls(SHIM_WriteFile) == c.writes && ShimCalls(SHIM_DeleteFileW) == c.deletions,
           "%s: %ld writes, %ld deletions, expected %ld and %ld", c.what, ShimCalls(SHIM_WriteFile),
           ShimCalls(SHIM_DeleteFileW), c.writes, c.deletions);
        ok(wt_handle_count() == handles, "%s: %lu handles, %lu before", c.what, wt_handle_count(), handles);
        DeleteFileW(path);
    }

    // When the deletion itself fails the partial file stays, and the result is still a failure.
    const WCHAR* path = PathOf(L"undeletable.bin");
    DWORD handles = wt_handle_count();
    ShimReset();
    ShimFail(SHIM_WriteFile, 2, 0);
    ShimFail(SHIM_DeleteFileW, 1, 0);
    ok(ExtractPayload(PAYLOAD_HOSTFXR, path) == FALSE, "write and deletion fail: extraction succeeded");
    DWORD size = 0;
    BYTE* left = wt_read_file(path, &size);
    ok(left && size == 65536, "write and deletion fail: %s, %lu bytes", left ? "file left" : "no file",
       size);
    wt_free(left);
    ok(wt_handle_count() == handles, "write and deletion fail: %lu handles, %lu before", wt_handle_count(), handles);
    ShimReset();
    DeleteFileW(path);
}

// A volume that really fills up: the caller gives a path on a drive backed by a tiny file system.
static int FullVolume(const WCHAR* target)
{
    WCHAR path[MAX_PATH * 4];
    lstrcpynW(path, target, MAX_PATH * 4);
    DWORD handles = wt_handle_count();
    ShimReset();
    BOOL result = ExtractPayload(PAYLOAD_INSTALLER, path);
    DWORD error = GetLastError();
    DWORD sizes[64];
    LONG requests = ShimWriteRequests(sizes, 64);
    ok(result == FALSE, "full volume: got %d", result);
    ok(!wt_exists(path), "full volume: a file was left at %s", wt_u8(target));
    ok(ShimCalls(SHIM_DeleteFileW) == 1, "full volume: %ld deletions", ShimCalls(SHIM_DeleteFileW));
    // 1,600,000 bytes take 25 requests; the volume must have stopped the writing before the end.
    ok(requests > 0 && requests < 25, "full volume: %ld write requests", requests);
    ok(wt_handle_count() == handles, "full volume: %lu handles, %lu before", wt_handle_count(), handles);
    printf("full volume: writing stopped at request %ld, last error %lu\n", requests, error);
    return wt_finish();
}

int wmain(int argc, WCHAR** argv)
{
    if (argc == 3 && !lstrcmpW(argv[1], L"full-volume"))
    {
        return FullVolume(argv[2]);
    }
    if (!wt_make_temp_dir(L"payload-extract", g_dir))
    {
        printf("cannot create a scratch directory\n");
        return 1;
    }
    TestRefusedIds();
    TestWriteRequests();
    TestExistingTargets();
    TestFailuresBeforeCreation();
    TestFailuresAfterCreation();
    ok(wt_count_entries(g_dir, L"") == 0, "%d entries left in the scratch directory", wt_count_entries(g_dir, L""));
    wt_remove_tree(g_dir);
    return wt_finish();
}
