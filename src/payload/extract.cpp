#include "payload/payload.h"

BOOL ExtractPayload(INT id, const WCHAR* path)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    const BYTE* data = NULL;
    DWORD size = 0;
    DWORD written = 0;
    BOOL created = FALSE;
    BOOL extracted = FALSE;

    if (id < PAYLOAD_FIRST || id > PAYLOAD_LAST)
    {
        goto LExit;
    }
    // Checked on the very bytes that are about to be written, before anything on disk is touched.
    if (!MapPayload(id, &data, &size) || !VerifyDigest(data, size, PayloadDigestTable[id - PAYLOAD_FIRST]))
    {
        goto LExit;
    }
    // CREATE_NEW: whatever already stands at path is never overwritten, and never deleted below.
    file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        goto LExit;
    }
    created = TRUE;

    while (written < size)
    {
        const DWORD request = (size - written < EXTRACT_CHUNK_SIZE) ? size - written : EXTRACT_CHUNK_SIZE;
        DWORD done = 0;
        if (!WriteFile(file, data + written, request, &done, NULL) || done < request)
        {
            goto LExit;
        }
        written += done;
    }
    extracted = FlushFileBuffers(file);

LExit:
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    // Closed first: a file cannot be deleted while this handle, opened without sharing, is open.
    if (created && !extracted)
    {
        DeleteFileW(path);
    }
    return extracted;
}
