// A stand-in child for the runner tests. It records how it was started and ends with a chosen code:
//   QUORLITH_CHILD_OUT   file to write: the command line, then each argv entry, each NUL-terminated
//                        (UTF-16, no byte-order mark); where it is not set, the path that
//                        "<this program>.record-path" holds (UTF-16, no terminator): with UAC on, the
//                        AppInfo service starts a "runas" child with the user's default environment
//   --exit=<n>           exit code (decimal or 0x hex); otherwise QUORLITH_CHILD_EXIT; otherwise 0
// The elevated runs therefore take their exit code from the command line.
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>
#include <wchar.h>

static void Put(HANDLE file, const WCHAR* text)
{
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)), &written, NULL);
}

// The record path from "<this program>.record-path", on a heap block; NULL when there is none.
static WCHAR* ReadRecordPathNote(void)
{
    WCHAR note[MAX_PATH + 16];
    const DWORD length = GetModuleFileNameW(NULL, note, MAX_PATH);
    if (!length || length >= MAX_PATH)
    {
        return NULL;
    }
    lstrcatW(note, L".record-path");
    HANDLE file = CreateFileW(note, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        return NULL;
    }
    const DWORD size = GetFileSize(file, NULL);
    DWORD done = 0;
    WCHAR* path = NULL;
    if (size != INVALID_FILE_SIZE && size < 65536)
    {
        path = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + sizeof(WCHAR)));
    }
    if (path && (!ReadFile(file, path, size, &done, NULL) || done != size || !path[0]))
    {
        HeapFree(GetProcessHeap(), 0, path);
        path = NULL;
    }
    CloseHandle(file);
    return path;
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
    WCHAR* path = needed ? static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed * sizeof(WCHAR)))
                         : ReadRecordPathNote();
    if (path)
    {
        if (needed)
        {
            GetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", path, needed);
        }
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
