#include "staging/staging.h"

#include <bcrypt.h>
#include <sddl.h>

static DWORD ReadLittleEndian32(const BYTE* bytes)
{
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

BOOL CreateStagingDirectory(WCHAR* out, INT machineWide)
{
    WCHAR* base = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    BYTE random[8];
    WCHAR name[32];
    DWORD length = 0;
    BOOL created = FALSE;

    base = AllocPathBuffer();
    if (!base)
    {
        goto LExit;
    }
    if (machineWide)
    {
        // A result at or above the capacity is the size the call would need: the buffer holds nothing.
        length = GetWindowsDirectoryW(base, PATH_BUFFER_CHARS);
        if (length == 0 || length >= PATH_BUFFER_CHARS || lstrlenW(base) + 6 >= PATH_BUFFER_CHARS)
        {
            goto LExit;
        }
        lstrcatW(base, L"\\Temp");
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(MACHINE_STAGING_SDDL, SDDL_REVISION_1,
                                                                  &descriptor, NULL))
        {
            descriptor = NULL;
            goto LExit;
        }
    }
    else
    {
        // The base keeps its trailing backslash, so the joined path has two in a row; the file system
        // accepts that.
        length = GetTempPathW(PATH_BUFFER_CHARS, base);
        if (length == 0 || length >= PATH_BUFFER_CHARS)
        {
            goto LExit;
        }
    }

    if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    {
        goto LExit;
    }
    wsprintfW(name, STAGING_NAME_FORMAT, ReadLittleEndian32(random), ReadLittleEndian32(random + 4));
    if (!JoinPath(out, base, name))
    {
        goto LExit;
    }

    // One draw, no retry: a name that exists already is a failure like any other.
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    created = CreateDirectoryW(out, descriptor ? &attributes : NULL);

LExit:
    if (descriptor)
    {
        LocalFree(descriptor);
    }
    FreeBlock(base);
    return created;
}
