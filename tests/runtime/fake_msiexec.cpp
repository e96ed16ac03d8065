// Stands in for msiexec.exe: records how it was started and answers with scripted exit codes, so the
// runtime installation can be driven through every answer of Windows Installer without installing
// anything real. Everything comes from the environment, which the program under test passes on:
//
//   QUORLITH_MSIEXEC_LOG    file that gets one line per call: the command line exactly as received
//                           (UTF-16, each line ended by L'\n'). Its line count numbers the calls.
//   QUORLITH_MSIEXEC_CODES  comma-separated answers, one per call ("1638,0+,3010+"); calls past the
//                           list answer 0. A "+" lays down what the named package would install below
//                           QUORLITH_MSIEXEC_ROOT before answering, "*" lays down all four packages.
//   QUORLITH_MSIEXEC_ROOT   the Program Files directory to lay the packages down in.
//   QUORLITH_MSIEXEC_KEEP   directory that receives a copy of each package file as "<call>.msi", taken
//                           while the package is in use, so the caller can compare it with the payload.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct PackageLayout
{
    const WCHAR* name;
    const WCHAR* directory;   // below the root
    const WCHAR* marker;
};

// The same places the sample packages and the real ones use; the host's registry value is left to the
// caller, which decides the host's presence for itself.
static const PackageLayout g_layouts[] = {
    {L"dotnet-host.msi", L"dotnet", L"dotnet.exe"},
    {L"dotnet-hostfxr.msi", L"dotnet\\host\\fxr\\10.0.15", L"hostfxr.dll"},
    {L"dotnet-runtime.msi", L"dotnet\\shared\\Microsoft.NETCore.App\\10.0.15", L"coreclr.dll"},
    {L"windowsdesktop-runtime.msi", L"dotnet\\shared\\Microsoft.WindowsDesktop.App\\10.0.15",
     L"PresentationFramework.dll"},
};

static void MakeDirectories(WCHAR* path)
{
    for (WCHAR* p = path + 3; *p; ++p)
    {
        if (*p == L'\\')
        {
            *p = 0;
            CreateDirectoryW(path, NULL);
            *p = L'\\';
        }
    }
    CreateDirectoryW(path, NULL);
}

static void LayDown(const WCHAR* root, const PackageLayout* layout)
{
    WCHAR path[1024];
    _snwprintf(path, 1024, L"%ls\\%ls", root, layout->directory);
    path[1023] = 0;
    MakeDirectories(path);
    lstrcatW(path, L"\\");
    lstrcatW(path, layout->marker);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
}

// Lines already in the log: the number of earlier calls.
static int CountCalls(const WCHAR* log)
{
    HANDLE file = CreateFileW(log, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    int calls = 0;
    WCHAR buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, NULL) && read)
    {
        for (DWORD i = 0; i < read / sizeof(WCHAR); ++i)
        {
            calls += buffer[i] == L'\n';
        }
    }
    CloseHandle(file);
    return calls;
}

static void AppendLine(const WCHAR* log, const WCHAR* text)
{
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    DWORD written = 0;
    WriteFile(file, text, lstrlenW(text) * sizeof(WCHAR), &written, NULL);
    WriteFile(file, L"\n", sizeof(WCHAR), &written, NULL);
    CloseHandle(file);
}

// The package path between the quotes that follow "/i "; empty when the line has no such part.
static void PackageFromCommandLine(const WCHAR* line, WCHAR* out, int capacity)
{
    out[0] = 0;
    const WCHAR* start = wcsstr(line, L" /i \"");
    if (!start)
    {
        return;
    }
    start += 5;
    const WCHAR* end = wcschr(start, L'"');
    if (!end || end - start >= capacity)
    {
        return;
    }
    lstrcpynW(out, start, static_cast<int>(end - start) + 1);
}

// Answer number call from the list: its code, and its suffix ('+', '*' or 0).
static DWORD ScriptedAnswer(const char* codes, int call, char* suffix)
{
    *suffix = 0;
    const char* p = codes;
    for (int i = 0; i < call && p; ++i)
    {
        p = strchr(p, ',');
        p = p ? p + 1 : NULL;
    }
    if (!p || !*p)
    {
        return 0;
    }
    char* end = NULL;
    DWORD code = strtoul(p, &end, 10);
    if (*end == '+' || *end == '*')
    {
        *suffix = *end;
    }
    return code;
}

int main(void)
{
    const WCHAR* line = GetCommandLineW();
    WCHAR log[1024] = L"";
    WCHAR root[1024] = L"";
    WCHAR keep[1024] = L"";
    WCHAR package[1024];
    char codes[1024] = "";
    char suffix = 0;

    GetEnvironmentVariableW(L"QUORLITH_MSIEXEC_LOG", log, 1024);
    GetEnvironmentVariableW(L"QUORLITH_MSIEXEC_ROOT", root, 1024);
    GetEnvironmentVariableW(L"QUORLITH_MSIEXEC_KEEP", keep, 1024);
    GetEnvironmentVariableA("QUORLITH_MSIEXEC_CODES", codes, sizeof(codes));

    const int call = log[0] ? CountCalls(log) : 0;
    if (log[0])
    {
        AppendLine(log, line);
    }
    PackageFromCommandLine(line, package, 1024);
    if (keep[0] && package[0])
    {
        WCHAR copy[1024];
        _snwprintf(copy, 1024, L"%ls\\%d.msi", keep, call);
        copy[1023] = 0;
        CopyFileW(package, copy, FALSE);
    }

    const DWORD code = ScriptedAnswer(codes, call, &suffix);
    if (root[0] && suffix)
    {
        const WCHAR* name = wcsrchr(package, L'\\');
        name = name ? name + 1 : package;
        for (size_t i = 0; i < sizeof(g_layouts) / sizeof(g_layouts[0]); ++i)
        {
            if (suffix == '*' || !lstrcmpiW(name, g_layouts[i].name))
            {
                LayDown(root, &g_layouts[i]);
            }
        }
    }
    return static_cast<int>(code);
}
