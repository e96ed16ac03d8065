// The refusal on ARM64 Windows, where this x64 program runs emulated: "--verify-bundle r.json" shows the
// box "This Quorlith installer requires 64-bit Intel or AMD Windows." with the caption "Quorlith Setup"
// and the error icon, ends with 1 and writes no r.json; window mode shows the same box and nothing else
// (no setup window, no elevated instance, so no consent prompt). Elsewhere, Wine included, it is skipped.
// Arguments: <setup image>.
#include "wtest.h"
#include "setup_driver.h"

#include <tlhelp32.h>
#include <wchar.h>

#define REFUSAL_TEXT L"This Quorlith installer requires 64-bit Intel or AMD Windows."

typedef BOOL(WINAPI* IsWow64Process2Function)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);

static WCHAR g_setup[MAX_PATH * 2];
static const WCHAR* g_setupName;
static volatile LONG g_watching;
// Distinct processes of the setup image, and consent prompts, seen while one run was followed.
static DWORD g_instances[16];
static LONG g_instanceCount;
static LONG g_prompts;

// The machine underneath an emulated process; IMAGE_FILE_MACHINE_UNKNOWN where it cannot be asked.
static USHORT NativeMachine(void)
{
    const IsWow64Process2Function isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
    {
        return IMAGE_FILE_MACHINE_UNKNOWN;
    }
    return nativeMachine;
}

static void NoteInstance(DWORD processId)
{
    for (LONG i = 0; i < g_instanceCount; ++i)
    {
        if (g_instances[i] == processId)
        {
            return;
        }
    }
    if (g_instanceCount < 16)
    {
        g_instances[g_instanceCount++] = processId;
    }
}

// A refused start is one process of the setup image: a second one would be the elevated instance, which
// comes with the consent prompt.
static DWORD WINAPI WatchProcesses(LPVOID /* parameter */)
{
    while (InterlockedCompareExchange(&g_watching, 1, 1))
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = snapshot != INVALID_HANDLE_VALUE && Process32FirstW(snapshot, &entry); more;
             more = Process32NextW(snapshot, &entry))
        {
            if (!lstrcmpiW(entry.szExeFile, g_setupName))
            {
                NoteInstance(entry.th32ProcessID);
            }
            else if (!lstrcmpiW(entry.szExeFile, L"consent.exe"))
            {
                ++g_prompts;
            }
        }
        if (snapshot != INVALID_HANDLE_VALUE)
        {
            CloseHandle(snapshot);
        }
        Sleep(20);
    }
    return 0;
}

static void CheckRefusal(const WCHAR* arguments, const WCHAR* report, const char* what)
{
    WCHAR line[MAX_PATH * 6];
    SetupRun run = {};
    wsprintfW(line, L"\"%s\"%s", g_setup, arguments);
    run.commandLine = line;
    run.timeoutMs = 60000;
    run.verbose = TRUE;
    g_instanceCount = 0;
    g_prompts = 0;
    g_watching = 1;
    HANDLE watcher = CreateThread(NULL, 0, WatchProcesses, NULL, 0, NULL);
    DriveSetup(&run);
    InterlockedExchange(&g_watching, 0);
    WaitForSingleObject(watcher, 5000);
    CloseHandle(watcher);

    ok(run.ended && run.exitCode == 1, "%s: ended %d, exit code %lu", what, run.ended, run.exitCode);
    ok(run.boxCount == 1 && !lstrcmpW(run.boxText, REFUSAL_TEXT), "%s: %d boxes, text: %s", what, run.boxCount,
       wt_u8(run.boxText));
    ok(!lstrcmpW(run.boxCaption, L"Quorlith Setup") && run.boxIconIsError, "%s: caption %s, error icon %d", what,
       wt_u8(run.boxCaption), run.boxIconIsError);
    ok(!run.windowFound, "%s: the setup window was made", what);
    ok(g_instanceCount <= 1 && g_prompts == 0, "%s: %ld processes of the setup image, consent prompt seen %ld times",
       what, g_instanceCount, g_prompts);
    if (report)
    {
        ok(!wt_exists(report), "%s: %s was written", what, wt_u8(report));
    }
}

int wmain(int argc, WCHAR** argv)
{
    WCHAR dir[MAX_PATH * 4];
    WCHAR report[MAX_PATH * 4];
    WCHAR arguments[MAX_PATH * 5];
    if (argc != 2)
    {
        printf("usage: %s <setup image>\n", wt_u8(argv[0]));
        return 1;
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    const USHORT machine = NativeMachine();
    printf("native machine 0x%04x\n", machine);
    if (wt_is_wine())
    {
        skip("Wine %s has no ARM64: it runs x64 code natively", wt_wine_version());
        return wt_finish();
    }
    if (machine != IMAGE_FILE_MACHINE_ARM64)
    {
        skip("not ARM64 Windows");
        return wt_finish();
    }
    MatchSetupDpiAwareness();
    g_setupName = wcsrchr(g_setup, L'\\') ? wcsrchr(g_setup, L'\\') + 1 : g_setup;
    wt_make_temp_dir(L"rw-arm64", dir);
    wsprintfW(report, L"%s\\r.json", dir);
    wsprintfW(arguments, L" --verify-bundle \"%s\"", report);
    CheckRefusal(arguments, report, "--verify-bundle");
    CheckRefusal(L"", NULL, "window mode");
    wt_remove_tree(dir);
    return wt_finish();
}
