// Digest check of single blocks, and of the payload set that this program carries (sizes 1000 to 5000,
// see CMakeLists.txt).
#include "wtest.h"
#include "shim.h"
#include "payload/payload.h"

#include <string.h>

// FIPS 180-4 example vectors, so a wrong algorithm cannot pass by agreeing with the test's own hashing.
static const BYTE g_abcDigest[32] = {
    0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
    0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
static const BYTE g_emptyDigest[32] = {
    0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
    0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};

static const DWORD g_payloadSizes[PAYLOAD_COUNT] = {1000, 2000, 3000, 4000, 5000};

static void TestDigestResults(void)
{
    static const BYTE abc[] = {'a', 'b', 'c'};
    struct Case
    {
        const char* what;
        const void* data;
        DWORD size;
        const BYTE* digest;
        int flip;   // index of the expected byte to change, -1 for none
        BOOL expected;
    };
    const Case cases[] = {
        {"abc", abc, 3, g_abcDigest, -1, TRUE},
        {"empty block", abc, 0, g_emptyDigest, -1, TRUE},
        {"abc, last byte differs", abc, 3, g_abcDigest, 31, FALSE},
        {"abc, first byte differs", abc, 3, g_abcDigest, 0, FALSE},
        {"empty block against abc", abc, 0, g_abcDigest, -1, FALSE},
        {"abc against empty block", abc, 3, g_emptyDigest, -1, FALSE},
        {"one byte short", abc, 2, g_abcDigest, -1, FALSE},
    };
    for (const Case& c : cases)
    {
        BYTE expected[32];
        memcpy(expected, c.digest, 32);
        if (c.flip >= 0)
        {
            expected[c.flip] ^= 0x01;
        }
        ShimReset();
        BOOL result = VerifyDigest(c.data, c.size, expected);
        ok(result == c.expected, "%s: got %d", c.what, result);
        ok(ShimCalls(SHIM_BCryptHashData) == 1, "%s: %ld hash calls", c.what, ShimCalls(SHIM_BCryptHashData));
        ok(!strcmp(ShimReleaseLog(), "HFP"), "%s: releases \"%s\"", c.what, ShimReleaseLog());
    }

    // A block larger than any internal buffer of the hash, against the digest computed in one go.
    const DWORD size = 3 * 1024 * 1024 + 7;
    BYTE* block = static_cast<BYTE*>(VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (DWORD i = 0; i < size; ++i)
    {
        block[i] = static_cast<BYTE>(i * 131 + (i >> 11));
    }
    BYTE digest[32];
    ok(wt_sha256(block, size, digest), "reference digest of 3 MiB");
    ok(VerifyDigest(block, size, digest) == TRUE, "3 MiB block matches");
    digest[31] ^= 0x80;
    ok(VerifyDigest(block, size, digest) == FALSE, "3 MiB block, last digest byte differs");
    VirtualFree(block, 0, MEM_RELEASE);
}

// Busy bytes over every heap of the process: catches a hash object, hash or provider that is never
// released, wherever the hashing service keeps its own state.
static SIZE_T BusyHeapBytes(void)
{
    HANDLE heaps[64];
    DWORD count = GetProcessHeaps(64, heaps);
    SIZE_T busy = 0;
    for (DWORD h = 0; h < count && h < 64; ++h)
    {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[h]);
        while (HeapWalk(heaps[h], &entry))
        {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            {
                busy += entry.cbData;
            }
        }
        HeapUnlock(heaps[h]);
    }
    return busy;
}

static void TestDigestFaults(void)
{
    struct Case
    {
        ShimCall call;   // SHIM_CALL_COUNT: no fault
        const char* releases;
    };
    // What was acquired before the failing step is released, in reverse order, and nothing else.
    const Case cases[] = {
        {SHIM_BCryptOpenAlgorithmProvider, ""},
        {SHIM_BCryptGetProperty, "P"},
        {SHIM_HeapAlloc, "P"},
        {SHIM_BCryptCreateHash, "FP"},
        {SHIM_BCryptHashData, "HFP"},
        {SHIM_BCryptFinishHash, "HFP"},
    };
    static const BYTE abc[] = {'a', 'b', 'c'};
    for (const Case& c : cases)
    {
        DWORD handles = wt_handle_count();
        ShimReset();
        ShimFail(c.call, 1, 0);
        BOOL result = VerifyDigest(abc, 3, g_abcDigest);
        ok(result == FALSE, "%s fails: got %d", ShimName(c.call), result);
        ok(!strcmp(ShimReleaseLog(), c.releases), "%s fails: releases \"%s\", expected \"%s\"", ShimName(c.call),
           ShimReleaseLog(), c.releases);
        ok(wt_handle_count() == handles, "%s fails: %lu handles, %lu before", ShimName(c.call), wt_handle_count(),
           handles);

        // Repeated failures leave nothing behind on any heap.
        SIZE_T before = BusyHeapBytes();
        for (int i = 0; i < 200; ++i)
        {
            ShimFail(c.call, 1, 0);
            VerifyDigest(abc, 3, g_abcDigest);
        }
        SIZE_T after = BusyHeapBytes();
        ok(after <= before + 1024, "%s fails 200 times: heap grew from %zu to %zu bytes", ShimName(c.call), before,
           after);

        ShimReset();
        ok(VerifyDigest(abc, 3, g_abcDigest) == TRUE, "after %s failed, the next check matches",
           ShimName(c.call));
    }

    // The hash object comes from the process heap, exactly the size the provider asks for.
    ShimReset();
    ok(VerifyDigest(abc, 3, g_abcDigest) && ShimCalls(SHIM_HeapAlloc) == 1, "one heap block per check: %ld",
       ShimCalls(SHIM_HeapAlloc));
    SIZE_T before = BusyHeapBytes();
    for (int i = 0; i < 200; ++i)
    {
        VerifyDigest(abc, 3, g_abcDigest);
        VerifyDigest(abc, 3, g_emptyDigest);
    }
    SIZE_T after = BusyHeapBytes();
    ok(after <= before + 1024, "400 checks: heap grew from %zu to %zu bytes", before, after);
}

// The build contract, seen from inside the image: each payload is an RCDATA resource in language 1033 that
// holds the file byte for byte, and row id - 101 of the table is its digest.
static void TestBundleContents(void)
{
    for (int row = 0; row < PAYLOAD_COUNT; ++row)
    {
        const int id = 101 + row;
        HRSRC resource = FindResourceExW(NULL, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(id),
                                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        ok(resource != NULL, "payload %d in language 1033", id);
        if (!resource)
        {
            continue;
        }
        DWORD size = SizeofResource(NULL, resource);
        const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(NULL, resource)));
        char head[16];
        wsprintfA(head, "payload-%d|", id);
        ok(size == g_payloadSizes[row], "payload %d: %lu bytes, file has %lu", id, size, g_payloadSizes[row]);
        ok(data && !memcmp(data, head, lstrlenA(head)), "payload %d starts with %s", id, head);
        BYTE digest[32];
        ok(data && wt_sha256(data, size, digest) && !memcmp(digest, PayloadDigestTable[row], 32),
           "row %d is the digest of payload %d", row, id);
    }
}

static void TestVerifyAll(void)
{
    ShimReset();
    ok(VerifyAllPayloads() == TRUE, "all five payloads verify");
    ok(ShimCalls(SHIM_FindResourceW) == 5 && ShimCalls(SHIM_BCryptHashData) == 5,
       "first call: %ld found, %ld hashed", ShimCalls(SHIM_FindResourceW), ShimCalls(SHIM_BCryptHashData));
    ok(VerifyAllPayloads() == TRUE, "second call verifies as well");
    ok(ShimCalls(SHIM_BCryptHashData) == 10 && ShimCalls(SHIM_BCryptOpenAlgorithmProvider) == 10,
       "the second call hashes again: %ld hashed, %ld providers in all", ShimCalls(SHIM_BCryptHashData),
       ShimCalls(SHIM_BCryptOpenAlgorithmProvider));

    // A failure at payload n stops the walk: later payloads are neither located nor hashed.
    struct Case
    {
        ShimCall call;
        LONG nth;
        LONG found;
        LONG hashed;
    };
    const Case cases[] = {
        {SHIM_FindResourceW, 3, 3, 2},
        {SHIM_FindResourceW, 1, 1, 0},
        {SHIM_FindResourceW, 5, 5, 4},
        {SHIM_SizeofResource, 2, 2, 1},   // a failed size query reports 0 bytes
        {SHIM_BCryptFinishHash, 4, 4, 4},
        {SHIM_BCryptOpenAlgorithmProvider, 1, 1, 0},
    };
    for (const Case& c : cases)
    {
        DWORD handles = wt_handle_count();
        ShimReset();
        ShimFail(c.call, c.nth, 0);
        BOOL result = VerifyAllPayloads();
        ok(result == FALSE, "%s fails at payload %ld: got %d", ShimName(c.call), c.nth, result);
        ok(ShimCalls(SHIM_FindResourceW) == c.found && ShimCalls(SHIM_BCryptHashData) == c.hashed,
           "%s fails at payload %ld: %ld located, %ld hashed, expected %ld and %ld", ShimName(c.call), c.nth,
           ShimCalls(SHIM_FindResourceW), ShimCalls(SHIM_BCryptHashData), c.found, c.hashed);
        ok(wt_handle_count() == handles, "%s fails: %lu handles, %lu before", ShimName(c.call), wt_handle_count(),
           handles);
    }
}

// The size bounds, reached by making SizeofResource report the size: 1 and 256 MiB are hashed,
// 0 and everything above are refused before hashing. Hashing is made to fail for sizes beyond the real
// resource, so nothing past its end is read; a hash call that happened is what shows the size passed.
static void TestSizeBounds(void)
{
    struct Case
    {
        DWORD size;
        LONG hashed;
    };
    const Case cases[] = {
        {0, 0},
        {1, 1},
        {268435456u, 1},   // 256 MiB, the largest payload
        {268435457u, 0},
        {0x80000000u, 0},
        {0xFFFFFFFFu, 0},
    };
    for (const Case& c : cases)
    {
        ShimReset();
        ShimSetResourceSize(TRUE, c.size);
        if (c.size > g_payloadSizes[0])
        {
            ShimFail(SHIM_BCryptHashData, SHIM_EVERY, 0);
        }
        BOOL result = VerifyAllPayloads();
        ok(result == FALSE, "size %lu: got %d", c.size, result);
        ok(ShimCalls(SHIM_BCryptHashData) == c.hashed, "size %lu: %ld hashed, expected %ld", c.size,
           ShimCalls(SHIM_BCryptHashData), c.hashed);
        ok(ShimCalls(SHIM_FindResourceW) == 1, "size %lu: %ld located", c.size, ShimCalls(SHIM_FindResourceW));
    }
    ShimReset();
}

int wmain(void)
{
    TestDigestResults();
    TestDigestFaults();
    TestBundleContents();
    TestVerifyAll();
    TestSizeBounds();
    return wt_finish();
}
