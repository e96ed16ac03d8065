// Stands for a DLL planted beside the setup image under a system DLL's name. Loaded, it leaves
// "<its own path>.loaded" behind; it exports nothing, so an import resolved against it fails as well.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /* reserved */)
{
    WCHAR path[MAX_PATH + 8];
    if (reason == DLL_PROCESS_ATTACH)
    {
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        if (length && length < MAX_PATH)
        {
            lstrcatW(path, L".loaded");
            HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (marker != INVALID_HANDLE_VALUE)
            {
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}
