// DLLs planted beside the setup image are never loaded. A copy of the image runs in a scratch folder that
// also holds a DLL of ours as bcrypt.dll and as comctl32.dll, and a "QuorlithSetup.exe.local" redirection
// in both its forms: the plain file, and the folder holding comctl32.dll, bcrypt.dll and a side-by-side
// style subfolder with another comctl32.dll. A .local file or folder is ignored when the image has an
// application manifest, and ours has one: that is what this proves, for "--verify-bundle",
// "--install-runtime" and window mode. The first two run as this program's debuggee, so every image the
// loader maps is reported with its file: none may lie below the scratch folder, and each bcrypt.dll and
// comctl32.dll must come from the system directory or the side-by-side store. Paths are compared long and
// normalised on both sides (TEMP may be given in short 8.3 form, the loader's files come back long).
// "--install-runtime" and window mode run a copy whose installer payload was altered, so they end at the
// verification (13) and change nothing; window mode is driven from outside and its box answered. Each
// run's exit code (and report) must be those of the same image run without the plants, and no planted
// DLL may have run (a loaded plant leaves "<its path>.loaded"). Under Wine the load order is Wine's own
// (built-in DLLs, no known-DLL list, DependentLoadFlags ignored): the plants must be in place and nothing
// may load from them, but where the system's DLLs come from is not judged.
// Arguments: <setup image> <planted DLL>.
#include "wtest.h"
#include "realwin.h"
#include "setup_driver.h"

#include <wchar.h>

#define MAX_MODULES 128
#define SETUP_NAME L"QuorlithSetup.exe"
#define LOCAL_NAME SETUP_NAME L".local"
// Under the side-by-side store when the system has no common-controls assembly to copy the name of.
#define SXS_FALLBACK L"amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.0.0_none_0000000000000000"

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_plant[MAX_PATH * 2];

struct Modules
{
    int count;
    WCHAR paths[MAX_MODULES][MAX_PATH * 2];
    BOOL ended;
    DWORD exitCode;
};

// Where the checked runs look: the scratch folder and the places system DLLs may come from, each long and
// normalised.
struct Places
{
    WCHAR scratch[MAX_PATH * 2];
    WCHAR system[MAX_PATH * 2];
    WCHAR sideBySide[MAX_PATH * 2];
};

// A path as the loader reports files: without the "\\?\" (or "\\?\UNC\") that the system puts in front.
static void StripVerbatimPrefix(WCHAR* path)
{
    if (CompareStringOrdinal(path, 8, L"\\\\?\\UNC\\", 8, TRUE) == CSTR_EQUAL)
    {
        path[6] = L'\\';
        MoveMemory(path, path + 6, (lstrlenW(path + 6) + 1) * sizeof(WCHAR));
    }
    else if (CompareStringOrdinal(path, 4, L"\\\\?\\", 4, FALSE) == CSTR_EQUAL)
    {
        MoveMemory(path, path + 4, (lstrlenW(path + 4) + 1) * sizeof(WCHAR));
    }
}

static BOOL FinalPath(HANDLE file, WCHAR* out /* MAX_PATH * 2 */)
{
    const DWORD length = GetFinalPathNameByHandleW(file, out, MAX_PATH * 2, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (!length || length >= MAX_PATH * 2)
    {
        return FALSE;
    }
    StripVerbatimPrefix(out);
    return TRUE;
}

// An existing folder's long, normalised path, as the loader's files are reported. Falls back to
// GetLongPathNameW where the folder cannot be opened; FALSE when neither answers.
static BOOL NormaliseFolder(const WCHAR* folder, WCHAR* out /* MAX_PATH * 2 */)
{
    HANDLE handle = CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    BOOL done = FALSE;
    if (handle != INVALID_HANDLE_VALUE)
    {
        done = FinalPath(handle, out);
        CloseHandle(handle);
    }
    if (!done)
    {
        const DWORD length = GetLongPathNameW(folder, out, MAX_PATH * 2);
        done = length && length < MAX_PATH * 2;
    }
    const int length = done ? lstrlenW(out) : 0;
    if (length > 3 && out[length - 1] == L'\\')
    {
        out[length - 1] = 0;
    }
    return done;
}

static void RecordModule(Modules* modules, HANDLE file)
{
    if (modules->count < MAX_MODULES && FinalPath(file, modules->paths[modules->count]))
    {
        ++modules->count;
    }
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
        ok(FALSE, "cannot start %s as a debuggee: error %lu", wt_u8(line), GetLastError());
        return;
    }
    while (!modules->ended)
    {
        if (!WaitForDebugEvent(&event, 60000))
        {
            ok(FALSE, "no debug event for 60 s: error %lu", GetLastError());
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
    const WCHAR* last = wcsrchr(path, L'\\');
    return last ? last + 1 : path;
}

// Case-insensitive, as the file system compares names; both sides long and normalised.
static BOOL IsBelow(const WCHAR* path, const WCHAR* folder)
{
    const int length = lstrlenW(folder);
    return length > 0 && lstrlenW(path) > length && path[length] == L'\\' &&
           CompareStringOrdinal(path, length, folder, length, TRUE) == CSTR_EQUAL;
}

// The name of the system's common-controls 6 assembly folder, as an attacker would copy it; a made-up
// one of the same shape where there is none.
static void SideBySideName(WCHAR* out /* MAX_PATH */)
{
    WCHAR pattern[MAX_PATH];
    WIN32_FIND_DATAW entry;
    GetWindowsDirectoryW(pattern, MAX_PATH - 80);
    lstrcatW(pattern, L"\\WinSxS\\amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.*");
    HANDLE find = FindFirstFileW(pattern, &entry);
    lstrcpyW(out, SXS_FALLBACK);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && lstrlenW(entry.cFileName) < MAX_PATH)
            {
                lstrcpyW(out, entry.cFileName);
                break;
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
}

// The plants of one layout, relative to the scratch folder; the marker each leaves when it runs sits
// beside it.
struct Layout
{
    const char* what;
    BOOL localFolder;   // the .local redirection as a folder of DLLs, not the plain file
    int count;
    WCHAR plants[6][MAX_PATH];
};

static void DescribeLayout(Layout* layout, BOOL localFolder)
{
    WCHAR sideBySide[MAX_PATH];
    ZeroMemory(layout, sizeof(*layout));
    layout->what = localFolder ? ".local folder" : ".local file";
    layout->localFolder = localFolder;
    lstrcpyW(layout->plants[layout->count++], L"bcrypt.dll");
    lstrcpyW(layout->plants[layout->count++], L"comctl32.dll");
    if (localFolder)
    {
        SideBySideName(sideBySide);
        lstrcpyW(layout->plants[layout->count++], LOCAL_NAME L"\\bcrypt.dll");
        lstrcpyW(layout->plants[layout->count++], LOCAL_NAME L"\\comctl32.dll");
        wsprintfW(layout->plants[layout->count++], LOCAL_NAME L"\\%s\\comctl32.dll", sideBySide);
    }
}

// Lays out the plants and the .local redirection of the layout in dir; each must be there as named.
static BOOL LayOut(const WCHAR* dir, const Layout* layout)
{
    WCHAR path[MAX_PATH * 4];
    WCHAR parent[MAX_PATH * 4];
    BOOL laid = TRUE;
    wsprintfW(path, L"%s\\%s", dir, LOCAL_NAME);
    wt_remove_tree(path);
    if (!layout->localFolder)
    {
        laid = wt_write_file(path, "", 0) && !wt_is_dir(path);
    }
    for (int i = 0; i < layout->count; ++i)
    {
        wsprintfW(path, L"%s\\%s", dir, layout->plants[i]);
        lstrcpyW(parent, path);
        *wcsrchr(parent, L'\\') = 0;
        wt_make_dirs(parent);
        const BOOL copied = CopyFileW(g_plant, path, FALSE);
        printf("%s: planted %s\n", layout->what, wt_u8(path));
        ok(copied && wt_is_listed(parent, BaseName(path)), "%s: cannot plant %s: error %lu", layout->what,
           wt_u8(path), GetLastError());
        laid = laid && copied;
    }
    wsprintfW(path, L"%s\\%s", dir, LOCAL_NAME);
    ok(wt_is_listed(dir, LOCAL_NAME) && wt_is_dir(path) == layout->localFolder, "%s: %s is not in place",
       layout->what, wt_u8(path));
    return laid;
}

static void CheckNoPlantRan(const WCHAR* dir, const Layout* layout, const char* mode)
{
    WCHAR marker[MAX_PATH * 4];
    for (int i = 0; i < layout->count; ++i)
    {
        wsprintfW(marker, L"%s\\%s.loaded", dir, layout->plants[i]);
        ok(!wt_exists(marker), "%s, %s: the planted %s ran", layout->what, mode, wt_u8(layout->plants[i]));
        DeleteFileW(marker);
    }
}

static void CheckModules(const Modules* modules, const Places* places, const char* what, const char* mode)
{
    int watched = 0;
    for (int i = 0; i < modules->count; ++i)
    {
        const WCHAR* path = modules->paths[i];
        const WCHAR* name = BaseName(path);
        const BOOL isWatched = !lstrcmpiW(name, L"bcrypt.dll") || !lstrcmpiW(name, L"comctl32.dll");
        printf("%s, %s: loaded %s\n", what, mode, wt_u8(path));
        watched += isWatched ? 1 : 0;
        ok(!IsBelow(path, places->scratch), "%s, %s: loaded from the scratch folder: %s", what, mode, wt_u8(path));
        judge(!isWatched || IsBelow(path, places->system) || IsBelow(path, places->sideBySide),
              "%s, %s: %s not from %s or %s", what, mode, wt_u8(path), wt_u8(places->system), wt_u8(places->sideBySide));
    }
    ok(modules->count > 0, "%s, %s: no module was reported", what, mode);
    judge(watched >= 2, "%s, %s: only %d bcrypt.dll and comctl32.dll loads seen among %d modules", what, mode, watched,
          modules->count);
}

// The altered copy's window mode ends at the verification with the box for 13, whatever is planted.
static void DriveWindowMode(const WCHAR* image, SetupRun* run)
{
    WCHAR line[MAX_PATH * 3];
    ZeroMemory(run, sizeof(*run));
    wsprintfW(line, L"\"%s\"", image);
    run->commandLine = line;
    run->timeoutMs = 60000;
    DriveSetup(run);
}

struct Reference
{
    char* report;
    DWORD verifyCode;
    DWORD installCode;
    SetupRun window;
};

static void RunLayout(const WCHAR* dir, const Layout* layout, const Places* places, const Reference* reference)
{
    static Modules modules;
    WCHAR copy[MAX_PATH * 4];
    WCHAR report[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 9];
    SetupRun window;
    LayOut(dir, layout);

    wsprintfW(copy, L"%s\\" SETUP_NAME, dir);
    ok(CopyFileW(g_setup, copy, FALSE), "%s: cannot copy the image: error %lu", layout->what, GetLastError());
    wsprintfW(report, L"%s\\planted.json", dir);
    DeleteFileW(report);
    wsprintfW(line, L"\"%s\" --verify-bundle \"%s\"", copy, report);
    RunDebuggee(line, dir, &modules);
    char* planted = reinterpret_cast<char*>(wt_read_file(report, NULL));
    CheckModules(&modules, places, layout->what, "--verify-bundle");
    CheckNoPlantRan(dir, layout, "--verify-bundle");
    ok(modules.ended && modules.exitCode == reference->verifyCode, "%s, --verify-bundle: exit code %lu, %lu without",
       layout->what, modules.exitCode, reference->verifyCode);
    ok(reference->report && planted && !lstrcmpA(reference->report, planted), "%s: report %s, without the plants %s",
       layout->what, planted ? planted : "(none)", reference->report ? reference->report : "(none)");
    wt_free(planted);

    ok(CopyWithAlteredResource(g_setup, copy, 105), "%s: cannot make the altered copy", layout->what);
    wsprintfW(line, L"\"%s\" --install-runtime", copy);
    RunDebuggee(line, dir, &modules);
    CheckModules(&modules, places, layout->what, "--install-runtime");
    CheckNoPlantRan(dir, layout, "--install-runtime");
    ok(modules.ended && modules.exitCode == reference->installCode, "%s, --install-runtime: exit code %lu, %lu without",
       layout->what, modules.exitCode, reference->installCode);

    if (reference->window.started)
    {
        DriveWindowMode(copy, &window);
        CheckNoPlantRan(dir, layout, "window mode");
        ok(window.ended && window.exitCode == reference->window.exitCode && window.wasVisible &&
               window.boxCount == reference->window.boxCount && !lstrcmpW(window.boxText, reference->window.boxText),
           "%s, window mode: ended %d, exit code %lu, shown %d, %d boxes [%s]; without: exit code %lu, %d boxes [%s]",
           layout->what, window.ended, window.exitCode, window.wasVisible, window.boxCount, wt_u8(window.boxText),
           reference->window.exitCode, reference->window.boxCount, wt_u8(reference->window.boxText));
    }
}

// The same image and the same altered copy without plants, in a folder of their own.
static void RunReference(const WCHAR* dir, Reference* reference)
{
    WCHAR folder[MAX_PATH * 4];
    WCHAR copy[MAX_PATH * 4];
    WCHAR report[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 9];
    ZeroMemory(reference, sizeof(*reference));
    reference->verifyCode = reference->installCode = 0xDEADBEEF;
    wsprintfW(folder, L"%s\\reference", dir);
    CreateDirectoryW(folder, NULL);
    wsprintfW(report, L"%s\\reference.json", folder);
    wsprintfW(line, L"\"%s\" --verify-bundle \"%s\"", g_setup, report);
    ok(wt_run(line, 60000, &reference->verifyCode), "reference --verify-bundle did not end");
    reference->report = reinterpret_cast<char*>(wt_read_file(report, NULL));

    wsprintfW(copy, L"%s\\" SETUP_NAME, folder);
    ok(CopyWithAlteredResource(g_setup, copy, 105), "cannot make the altered reference copy %s", wt_u8(copy));
    wsprintfW(line, L"\"%s\" --install-runtime", copy);
    ok(wt_run(line, 60000, &reference->installCode), "reference --install-runtime did not end");
    DriveWindowMode(copy, &reference->window);
    ok(reference->window.ended && reference->window.exitCode == 0 && reference->window.boxCount == 1 &&
           wcsstr(reference->window.boxText, L"(error 13)") != NULL,
       "reference window mode: ended %d, exit code %lu, %d boxes [%s]", reference->window.ended,
       reference->window.exitCode, reference->window.boxCount, wt_u8(reference->window.boxText));
}

static void CheckPlantedDlls(void)
{
    WCHAR dir[MAX_PATH * 4];
    WCHAR folder[MAX_PATH * 2];
    Places places = {};
    Reference reference;
    Layout layout;
    DWORD overrides = 0;
    DWORD size = sizeof(overrides);

    wt_make_temp_dir(L"rw-planting", dir);
    GetSystemDirectoryW(folder, MAX_PATH);
    ok(NormaliseFolder(dir, places.scratch) && NormaliseFolder(folder, places.system),
       "cannot normalise %s or %s: error %lu", wt_u8(dir), wt_u8(folder), GetLastError());
    GetWindowsDirectoryW(folder, MAX_PATH);
    lstrcatW(folder, L"\\WinSxS");
    if (!NormaliseFolder(folder, places.sideBySide))
    {
        lstrcpyW(places.sideBySide, folder);
    }
    printf("scratch %s (given as %s); system %s; side-by-side %s\n", wt_u8(places.scratch), wt_u8(dir),
           wt_u8(places.system), wt_u8(places.sideBySide));
    // The scratch folder named in 8.3 form, as TEMP may give it, must come back as the same long path.
    WCHAR shortForm[MAX_PATH * 2];
    WCHAR again[MAX_PATH * 2] = L"";
    if (GetShortPathNameW(dir, shortForm, MAX_PATH * 2))
    {
        NormaliseFolder(shortForm, again);
        ok(CompareStringOrdinal(again, -1, places.scratch, -1, TRUE) == CSTR_EQUAL, "%s normalised to %s, not %s",
           wt_u8(shortForm), wt_u8(again), wt_u8(places.scratch));
    }
    // With this value set, .local folders are honoured for images with a manifest too (a developer setting).
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options",
                     L"DevOverrideEnable", RRF_RT_REG_DWORD, NULL, &overrides, &size) == ERROR_SUCCESS)
    {
        printf("DevOverrideEnable is %lu on this machine\n", overrides);
    }

    RunReference(dir, &reference);
    DescribeLayout(&layout, FALSE);
    RunLayout(dir, &layout, &places, &reference);
    DescribeLayout(&layout, TRUE);
    RunLayout(dir, &layout, &places, &reference);
    if (wt_is_wine())
    {
        skip("Wine %s loads its own built-in DLLs and ignores DependentLoadFlags and the known-DLL list: where "
             "bcrypt.dll and comctl32.dll come from is not judged",
             wt_wine_version());
    }
    wt_free(reference.report);
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
    // Without window mode the case would pass on the other two modes alone, and a required case must not.
    if (!GetSystemMetrics(SM_CXSCREEN))
    {
        skip("no display: window mode cannot run");
        return wt_finish();
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    lstrcpyW(g_plant, wt_winpath(argv[2]));
    // A plant that did load would fail the image's imports: the loader's box must not wait for someone.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    MatchSetupDpiAwareness();
    CheckPlantedDlls();
    return wt_finish();
}
