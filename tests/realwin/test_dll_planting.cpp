// DLLs planted beside the setup image are never loaded. A copy of the image runs "--verify-bundle" in a
// scratch folder that also holds a DLL of ours as bcrypt.dll and as comctl32.dll; it runs as this
// program's debuggee, so every image the loader maps is reported with its file. Each bcrypt.dll and
// comctl32.dll must come from the system directory or the side-by-side store, never from the scratch
// folder, and the mode's exit code and report must be those of the image run without the plants.
// Under Wine the load order is Wine's own (built-in DLLs, no known-DLL list, DependentLoadFlags ignored):
// the modules are listed, not judged.
// Arguments: <setup image> <planted DLL>.
#include "wtest.h"
#include "realwin.h"

#define MAX_MODULES 128

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_plant[MAX_PATH * 2];

struct Modules
{
    int count;
    WCHAR paths[MAX_MODULES][MAX_PATH * 2];
    BOOL ended;
    DWORD exitCode;
};

// The path of a mapped file without the "\\?\" that the system puts in front.
static void RecordModule(Modules* modules, HANDLE file)
{
    WCHAR path[MAX_PATH * 2];
    const DWORD length = GetFinalPathNameByHandleW(file, path, ARRAYSIZE(path), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (!length || length >= ARRAYSIZE(path) || modules->count >= MAX_MODULES)
    {
        return;
    }
    const WCHAR* shown = CompareStringOrdinal(path, 4, L"\\\\?\\", 4, FALSE) == CSTR_EQUAL ? path + 4 : path;
    lstrcpyW(modules->paths[modules->count++], shown);
}

// Runs the command line as a debuggee to its end, recording each DLL the loader maps.
static void RunDebuggee(WCHAR* line, const WCHAR* directory, Modules* modules)
{
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    DEBUG_EVENT event;
    BOOL firstBreakpoint = TRUE;
    ZeroMemory(modules, sizeof(*modules));
    startup.cb = sizeof(startup);
    if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, DEBUG_ONLY_THIS_PROCESS, NULL, directory, &startup, &process))
    {
        judge(FALSE, "cannot start %s as a debuggee: error %lu", wt_u8(line), GetLastError());
        return;
    }
    while (!modules->ended)
    {
        if (!WaitForDebugEvent(&event, 60000))
        {
            judge(FALSE, "no debug event for 60 s: error %lu", GetLastError());
            TerminateProcess(process.hProcess, 0xDEAD);
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
            {
                CloseHandle(event.u.CreateProcessInfo.hFile);
            }
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
            {
                RecordModule(modules, event.u.LoadDll.hFile);
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint for a new debuggee is ours to pass; anything else is the program's.
            if (firstBreakpoint && event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT)
            {
                firstBreakpoint = FALSE;
            }
            else
            {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            modules->ended = TRUE;
            modules->exitCode = event.u.ExitProcess.dwExitCode;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

static const WCHAR* BaseName(const WCHAR* path)
{
    const WCHAR* last = path;
    for (const WCHAR* p = path; *p; ++p)
    {
        if (*p == L'\\')
        {
            last = p + 1;
        }
    }
    return last;
}

static BOOL IsBelow(const WCHAR* path, const WCHAR* folder)
{
    const int length = lstrlenW(folder);
    return lstrlenW(path) > length && path[length] == L'\\' &&
           CompareStringOrdinal(path, length, folder, length, TRUE) == CSTR_EQUAL;
}

static BOOL PlantCopy(const WCHAR* dir, const WCHAR* name)
{
    WCHAR path[MAX_PATH * 4];
    wsprintfW(path, L"%s\\%s", dir, name);
    return CopyFileW(g_plant, path, FALSE);
}

static void CheckPlantedDlls(void)
{
    static Modules modules;
    WCHAR dir[MAX_PATH * 4];
    WCHAR copy[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 9];
    WCHAR report[MAX_PATH * 4];
    WCHAR system[MAX_PATH];
    WCHAR sideBySide[MAX_PATH];
    DWORD referenceCode = 0xDEADBEEF;

    GetSystemDirectoryW(system, MAX_PATH);
    GetWindowsDirectoryW(sideBySide, MAX_PATH);
    lstrcatW(sideBySide, L"\\WinSxS");
    wt_make_temp_dir(L"rw-planting", dir);

    // The reference: the image where it was built, no plants beside it.
    wsprintfW(report, L"%s\\reference.json", dir);
    wsprintfW(line, L"\"%s\" --verify-bundle \"%s\"", g_setup, report);
    judge(wt_run(line, 60000, &referenceCode), "reference run did not end");
    char* reference = reinterpret_cast<char*>(wt_read_file(report, NULL));

    wsprintfW(copy, L"%s\\QuorlithSetup.exe", dir);
    judge(CopyFileW(g_setup, copy, FALSE) && PlantCopy(dir, L"bcrypt.dll") && PlantCopy(dir, L"comctl32.dll"),
       "cannot lay out %s: error %lu", wt_u8(dir), GetLastError());
    wsprintfW(report, L"%s\\planted.json", dir);
    wsprintfW(line, L"\"%s\" --verify-bundle \"%s\"", copy, report);
    RunDebuggee(line, dir, &modules);
    char* planted = reinterpret_cast<char*>(wt_read_file(report, NULL));

    int watched = 0;
    for (int i = 0; i < modules.count; ++i)
    {
        const WCHAR* name = BaseName(modules.paths[i]);
        const BOOL isWatched = !lstrcmpiW(name, L"bcrypt.dll") || !lstrcmpiW(name, L"comctl32.dll");
        printf("loaded: %s\n", wt_u8(modules.paths[i]));
        if (wt_is_wine())
        {
            continue;
        }
        watched += isWatched ? 1 : 0;
        ok(!IsBelow(modules.paths[i], dir), "loaded from the scratch folder: %s", wt_u8(modules.paths[i]));
        ok(!isWatched || IsBelow(modules.paths[i], system) || IsBelow(modules.paths[i], sideBySide),
           "%s not from %s or %s", wt_u8(modules.paths[i]), wt_u8(system), wt_u8(sideBySide));
    }
    if (wt_is_wine())
    {
        skip("Wine %s loads its own built-in DLLs and ignores DependentLoadFlags and the known-DLL list: "
             "%d modules listed, none judged (exit code %lu)", wt_wine_version(), modules.count, modules.exitCode);
    }
    else
    {
        ok(watched >= 2, "only %d bcrypt.dll and comctl32.dll loads seen among %d modules", watched, modules.count);
        WCHAR marker[MAX_PATH * 4];
        wsprintfW(marker, L"%s\\bcrypt.dll.loaded", dir);
        ok(!wt_exists(marker), "the planted bcrypt.dll ran");
        wsprintfW(marker, L"%s\\comctl32.dll.loaded", dir);
        ok(!wt_exists(marker), "the planted comctl32.dll ran");
        ok(modules.ended && modules.exitCode == referenceCode, "exit code %lu with the plants, %lu without",
           modules.exitCode, referenceCode);
        ok(reference && planted && !lstrcmpA(reference, planted), "report with the plants %s, without %s",
           planted ? planted : "(none)", reference ? reference : "(none)");
    }
    wt_free(planted);
    wt_free(reference);
    wt_remove_tree(dir);
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 3)
    {
        printf("usage: %s <setup image> <planted DLL>\n", wt_u8(argv[0]));
        return 1;
    }
    if (wt_skip_unless_x64_machine())
    {
        return wt_finish();
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    lstrcpyW(g_plant, wt_winpath(argv[2]));
    CheckPlantedDlls();
    return wt_finish();
}
