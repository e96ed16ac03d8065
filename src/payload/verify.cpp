#include "payload/payload.h"

#include <bcrypt.h>

BOOL VerifyDigest(const void* data, DWORD size, const BYTE* expected)
{
    BCRYPT_ALG_HANDLE provider = NULL;
    BCRYPT_HASH_HANDLE hash = NULL;
    PUCHAR hashObject = NULL;
    DWORD objectLength = 0;
    ULONG got = 0;
    BYTE digest[DIGEST_SIZE];
    BYTE difference = 0;
    BOOL equal = FALSE;

    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0)))
    {
        provider = NULL;
        goto LExit;
    }
    if (!BCRYPT_SUCCESS(BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&objectLength), sizeof(objectLength), &got, 0)))
    {
        goto LExit;
    }
    // The hash object is the one block that need not be zeroed: CNG initialises it.
    hashObject = static_cast<PUCHAR>(HeapAlloc(GetProcessHeap(), 0, objectLength));
    if (!hashObject)
    {
        goto LExit;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, hashObject, objectLength, NULL, 0, 0)))
    {
        hash = NULL;
        goto LExit;
    }
    if (!BCRYPT_SUCCESS(BCryptHashData(hash, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0)))
    {
        goto LExit;
    }
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0)))
    {
        goto LExit;
    }

    // Visit every byte whatever the content, so the time taken says nothing about where they differ.
    for (int i = 0; i < DIGEST_SIZE; ++i)
    {
        difference |= static_cast<BYTE>(digest[i] ^ expected[i]);
    }
    equal = (difference == 0);

LExit:
    if (hash)
    {
        BCryptDestroyHash(hash);
    }
    if (hashObject)
    {
        HeapFree(GetProcessHeap(), 0, hashObject);
    }
    if (provider)
    {
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    return equal;
}

BOOL MapPayload(INT id, const BYTE** data, DWORD* size)
{
    HRSRC resource = FindResourceW(NULL, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!resource)
    {
        return FALSE;
    }
    DWORD bytes = SizeofResource(NULL, resource);
    HGLOBAL loaded = LoadResource(NULL, resource);
    const BYTE* pointer = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : NULL;
    if (!pointer || bytes < 1 || bytes > MAX_PAYLOAD_SIZE)
    {
        return FALSE;
    }
    *data = pointer;
    *size = bytes;
    return TRUE;
}

BOOL VerifyAllPayloads(void)
{
    for (INT id = PAYLOAD_FIRST; id <= PAYLOAD_LAST; ++id)
    {
        const BYTE* data = NULL;
        DWORD size = 0;
        if (!MapPayload(id, &data, &size) || !VerifyDigest(data, size, PayloadDigestTable[id - PAYLOAD_FIRST]))
        {
            return FALSE;
        }
    }
    return TRUE;
}
