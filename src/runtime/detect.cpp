#include "runtime/runtime.h"

#include <shlobj.h>

const RuntimeComponent CoreRuntimeComponent = {DOTNET_SHARED_ROOT, L"Microsoft.NETCore.App", L"coreclr.dll"};
const RuntimeComponent DesktopRuntimeComponent = {DOTNET_SHARED_ROOT, L"Microsoft.WindowsDesktop.App",
                                                  L"PresentationFramework.dll"};
const RuntimeComponent HostResolverComponent = {DOTNET_HOST_ROOT, L"fxr", L"hostfxr.dll"};

BOOL FindVersionedComponent(const WCHAR* root, const WCHAR* family, const WCHAR* marker)
{
    WCHAR* familyDir = NULL;
    WCHAR* path = NULL;
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW entry;
    BOOL found = FALSE;
    const int markerLength = lstrlenW(marker);

    familyDir = AllocPathBuffer();
    path = AllocPathBuffer();
    if (!familyDir || !path)
    {
        goto LExit;
    }
    if (!JoinPath(familyDir, root, family) || !JoinPath(path, familyDir, RUNTIME_VERSION_PATTERN))
    {
        goto LExit;
    }

    find = FindFirstFileW(path, &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        goto LExit;
    }
    do
    {
        // The wildcard also matches short names, so the long name is checked for the prefix itself.
        const WCHAR* name = entry.cFileName;
        const WCHAR* stop = NULL;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            name[0] != L'1' || name[1] != L'0' || name[2] != L'.' || name[3] != L'0' || name[4] != L'.')
        {
            continue;
        }
        DWORD patch = ReadDecimal(name + 5, &stop);
        if (*stop != L'\0' || patch < MIN_RUNTIME_PATCH)
        {
            continue;
        }
        if (!JoinPath(path, familyDir, name) || lstrlenW(path) + markerLength + 2 >= PATH_BUFFER_CHARS)
        {
            continue;
        }
        lstrcatW(path, L"\\");
        lstrcatW(path, marker);
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
        {
            found = TRUE;
            break;
        }
    } while (FindNextFileW(find, &entry));

LExit:
    if (find != INVALID_HANDLE_VALUE)
    {
        FindClose(find);
    }
    FreeBlock(path);
    FreeBlock(familyDir);
    return found;
}

BOOL GetDotnetRoot(WCHAR* out, const WCHAR* root)
{
    // 15 is the longer root, "\dotnet\shared", with its terminator; the shorter root uses the same bound.
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, out)) || lstrlenW(out) + 15 >= PATH_BUFFER_CHARS)
    {
        return FALSE;
    }
    lstrcatW(out, root);
    return TRUE;
}

BOOL IsRuntimeReady(void)
{
    WCHAR* shared = NULL;
    BOOL ready = FALSE;

    shared = AllocPathBuffer();
    if (!shared || !GetDotnetRoot(shared, DOTNET_SHARED_ROOT))
    {
        goto LExit;
    }
    // The desktop runtime is not looked for when the core runtime is missing.
    ready = FindVersionedComponent(shared, CoreRuntimeComponent.family, CoreRuntimeComponent.marker) &&
            FindVersionedComponent(shared, DesktopRuntimeComponent.family, DesktopRuntimeComponent.marker);

LExit:
    FreeBlock(shared);
    return ready;
}

BOOL IsComponentInstalled(const RuntimeComponent* component)
{
    WCHAR* root = AllocPathBuffer();
    const BOOL found = root && GetDotnetRoot(root, component->root) &&
                       FindVersionedComponent(root, component->family, component->marker);
    FreeBlock(root);
    return found;
}
