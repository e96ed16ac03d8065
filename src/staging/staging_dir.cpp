#include "staging/staging.h"

#include <bcrypt.h>
#include <sddl.h>

static DWORD ReadLittleEndian32(const BYTE* bytes)
{
    return static_cast<DWORD>(bytes[0]) | (static_cast<DWORD>(bytes[1]) << 8) |
           (static_cast<DWORD>(bytes[2]) << 16) | (static_cast<DWORD>(bytes[3]) << 24);
}

// The descriptor of a per-user directory as SDDL text in sddl (USER_STAGING_SDDL_CHARS), this process's
// user in its places.
static BOOL FormatUserStagingSddl(WCHAR* sddl)
{
    WCHAR* user = NULL;
    // TOKEN_USER and its SID, aligned for the pointer the structure holds.
    union
    {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token;
    DWORD size = 0;
    BOOL formatted = FALSE;

    // The token's pseudo-handle (Windows 8 and later) needs neither opening nor closing.
    if (!GetTokenInformation(GetCurrentProcessToken(), TokenUser, &token, sizeof(token), &size) ||
        !ConvertSidToStringSidW(token.user.User.Sid, &user))
    {
        user = NULL;
        goto LExit;
    }
    wsprintfW(sddl, USER_STAGING_SDDL_FORMAT, user, user);
    formatted = TRUE;

LExit:
    if (user)
    {
        LocalFree(user);
    }
    return formatted;
}

BOOL CreateStagingDirectory(WCHAR* out, INT machineWide)
{
    WCHAR* base = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    SECURITY_ATTRIBUTES attributes;
    BYTE random[8];
    WCHAR name[32];
    WCHAR sddl[USER_STAGING_SDDL_CHARS];
    const WCHAR* text = MACHINE_STAGING_SDDL;
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
        // The temporary directory of LocalSystem is <Windows>\Temp, where every user may add files to any
        // folder: the directory must not take its parent's security, or a user could plant a DLL beside
        // the installer that then runs as SYSTEM.
        if (!FormatUserStagingSddl(sddl))
        {
            goto LExit;
        }
        text = sddl;
    }
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, NULL))
    {
        descriptor = NULL;
        goto LExit;
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
    created = CreateDirectoryW(out, &attributes);

LExit:
    if (descriptor)
    {
        LocalFree(descriptor);
    }
    FreeBlock(base);
    return created;
}
