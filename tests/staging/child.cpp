// A stand-in child for the runner tests. It records how it was started and ends with a chosen code:
//   QUORLITH_CHILD_OUT   file to write: the command line, then each argv entry, each NUL-terminated
//                        (UTF-16, no byte-order mark)
//   --exit=<n>           exit code (decimal or 0x hex); otherwise QUORLITH_CHILD_EXIT; otherwise 0
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

static void Put(HANDLE file, const WCHAR* text)
{
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)), &written, NULL);
}

int main(void)
{
    const WCHAR* commandLine = GetCommandLineW();
    int count = 0;
    WCHAR** argv = CommandLineToArgvW(commandLine, &count);
    DWORD exitCode = 0;
    WCHAR value[64];

    if (GetEnvironmentVariableW(L"QUORLITH_CHILD_EXIT", value, ARRAYSIZE(value)))
    {
        exitCode = wcstoul(value, NULL, 0);
    }
    for (int i = 1; argv && i < count; ++i)
    {
        if (!wcsncmp(argv[i], L"--exit=", 7))
        {
            exitCode = wcstoul(argv[i] + 7, NULL, 0);
        }
    }

    // The path may be long when the parent tests the limits of the command line, so it is read whole.
    DWORD needed = GetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", NULL, 0);
    if (needed)
    {
        WCHAR* path = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, needed * sizeof(WCHAR)));
        GetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", path, needed);
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE)
        {
            Put(file, commandLine);
            for (int i = 0; argv && i < count; ++i)
            {
                Put(file, argv[i]);
            }
            CloseHandle(file);
        }
        HeapFree(GetProcessHeap(), 0, path);
    }
    LocalFree(argv);
    ExitProcess(exitCode);
}
