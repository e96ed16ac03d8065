// The setup worker with the window procedure, in this process: the test builds the window and label the
// way RunWindowMode does, runs SetupWorker on its own thread and dispatches messages until the window is
// destroyed. The user's temporary directory and Program Files point into a scratch directory (shim), so
// staging directories and runtime presence are the test's own and the shared prefix is not touched.
//
// This program also stands in for the elevated instance: started with "--install-runtime" (through
// g_selfPath) it reads "<this program>.elevated", whose first line is the exit code to end with and whose
// second, when not empty, names an event to wait for first. A file, not the environment: with UAC on, the
// AppInfo service starts a "runas" child with the user's default environment, not its parent's, and the
// worker's command line is fixed. Under Wine "runas" never shows a prompt, so a refused prompt is
// injected by failing ShellExecuteExW with 1223.
#include "wtest.h"
#include "shim.h"
#include "common/state.h"
#include "payload/payload.h"
#include "ui/ui.h"

#define TEST_CLASS L"QuorlithBootstrapWorkerTest"
#define TEXT_RUNTIME L"Installing the required Microsoft runtime. Please approve the Windows prompt."
#define TEXT_OPENING L"Opening the Quorlith installer\x2026"
#define TEXT_CLOSING L"Finishing the current setup step before closing\x2026"

enum CloseAt
{
    CLOSE_NEVER,
    CLOSE_DURING_RUNTIME,   // while the elevated instance runs
    CLOSE_AT_OPENING,       // as the installer step begins, before extraction
};

struct WorkerRun
{
    CloseAt closeAt;
    const WCHAR* elevatedExit;   // exit code of the elevated stand-in, as text
    // Results.
    BOOL done;
    WPARAM status;
    int labelCount;
    WCHAR labels[8][160];
    LONG boxes;
    LONG createDirectoryCalls;
    LONG createProcessCalls;
    LONG shellExecuteCalls;
    int leftInTemp;
    DWORD bytesWritten;
};

static WorkerRun* g_run;
static WNDPROC g_staticProc;
static HANDLE g_release;
static WCHAR g_scratch[MAX_PATH * 4];
static WCHAR g_temp[MAX_PATH * 4];
static WCHAR g_noRuntime[MAX_PATH * 4];
static WCHAR g_runtime[MAX_PATH * 4];

static LRESULT CALLBACK RecordingLabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = CallWindowProcW(g_staticProc, label, message, wParam, lParam);
    if (message == WM_SETTEXT && g_run->labelCount < 8)
    {
        const WCHAR* text = reinterpret_cast<const WCHAR*>(lParam);
        lstrcpynW(g_run->labels[g_run->labelCount++], text, 160);
        if (g_run->closeAt == CLOSE_DURING_RUNTIME && lstrcmpW(text, TEXT_RUNTIME) == 0)
        {
            // Posted: the worker is about to block on the elevated instance, which waits for this close.
            PostMessageW(g_mainWindow, WM_CLOSE, 0, 0);
        }
        if (g_run->closeAt == CLOSE_AT_OPENING && lstrcmpW(text, TEXT_OPENING) == 0)
        {
            // Sent, so the flag is set before the worker goes on to create the directory and extract.
            SendMessageW(g_mainWindow, WM_CLOSE, 0, 0);
        }
    }
    return result;
}

static LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETUP_DONE)
    {
        g_run->done = TRUE;
        g_run->status = wParam;
    }
    LRESULT result = SetupWndProc(window, message, wParam, lParam);
    if (message == WM_CLOSE && g_release)
    {
        SetEvent(g_release);
    }
    return result;
}

static void ElevatedNotePath(WCHAR* out /* MAX_PATH * 2 */)
{
    GetModuleFileNameW(NULL, out, MAX_PATH);
    lstrcatW(out, L".elevated");
}

static void WriteElevatedNote(const WCHAR* exitCode, const WCHAR* eventName)
{
    WCHAR path[MAX_PATH * 2];
    WCHAR note[128];
    ElevatedNotePath(path);
    wsprintfW(note, L"%.16s\n%.64s\n", exitCode, eventName);
    ok(wt_write_file(path, note, lstrlenW(note) * sizeof(WCHAR)), "cannot write %s: error %lu", wt_u8(path),
       GetLastError());
}

static void RunWorker(WorkerRun* run, const WCHAR* programFiles)
{
    WCHAR eventName[64];
    MSG message;

    g_run = run;
    g_cancelRequested = 0;
    g_stagingDir[0] = 0;
    g_installerPath[0] = 0;
    ShimSetTempPath(g_temp);
    ShimSetProgramFiles(programFiles);
    ShimCaptureMessageBoxes(TRUE);
    g_release = NULL;
    eventName[0] = 0;
    if (run->closeAt == CLOSE_DURING_RUNTIME)
    {
        wsprintfW(eventName, L"QuorlithWorkerTest-%lu", GetCurrentProcessId());
        g_release = CreateEventW(NULL, TRUE, FALSE, eventName);
    }
    WriteElevatedNote(run->elevatedExit ? run->elevatedExit : L"0", eventName);

    g_mainWindow = CreateWindowExW(0, TEST_CLASS, L"Quorlith Setup", WS_CAPTION | WS_SYSMENU, 0, 0, 520, 180, NULL,
                                   NULL, GetModuleHandleW(NULL), NULL);
    g_statusLabel = CreateWindowExW(0, L"STATIC", L"Preparing Quorlith\x2026", WS_CHILD | WS_VISIBLE, 24, 25, 465,
                                    45, g_mainWindow, NULL, GetModuleHandleW(NULL), NULL);
    g_staticProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(g_statusLabel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingLabelProc)));

    const LONG boxesBefore = ShimCalls(SHIM_MessageBoxW);
    const LONG directoriesBefore = ShimCalls(SHIM_CreateDirectoryW);
    const LONG processesBefore = ShimCalls(SHIM_CreateProcessW);
    const LONG shellBefore = ShimCalls(SHIM_ShellExecuteExW);
    HANDLE thread = CreateThread(NULL, 0, SetupWorker, NULL, 0, NULL);
    const DWORD start = GetTickCount();
    BOOL quit = FALSE;
    while (!quit && GetTickCount() - start < 30000)
    {
        MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        {
            if (message.message == WM_QUIT)
            {
                quit = TRUE;
                break;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    ok(quit, "the window ended within 30 s");
    if (thread)
    {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
    run->boxes = ShimCalls(SHIM_MessageBoxW) - boxesBefore;
    run->createDirectoryCalls = ShimCalls(SHIM_CreateDirectoryW) - directoriesBefore;
    run->createProcessCalls = ShimCalls(SHIM_CreateProcessW) - processesBefore;
    run->shellExecuteCalls = ShimCalls(SHIM_ShellExecuteExW) - shellBefore;
    run->leftInTemp = wt_count_entries(g_temp, L"");
    DWORD sizes[64];
    const LONG writes = ShimWriteRequests(sizes, 64);
    for (LONG i = 0; i < writes && i < 64; ++i)
    {
        run->bytesWritten += sizes[i];
    }
    if (g_release)
    {
        CloseHandle(g_release);
        g_release = NULL;
    }
    if (IsWindow(g_mainWindow))
    {
        DestroyWindow(g_mainWindow);
    }
}

static BOOL SawLabel(const WorkerRun* run, const WCHAR* text)
{
    for (int i = 0; i < run->labelCount; ++i)
    {
        if (lstrcmpW(run->labels[i], text) == 0)
        {
            return TRUE;
        }
    }
    return FALSE;
}

static void CheckBox(const char* what, const WorkerRun* run, const WCHAR* number)
{
    WCHAR expected[300];
    wsprintfW(expected, L"Windows could not prepare Quorlith (error %s). No developer tools are required. Please "
                        L"report this error so we can fix setup.", number);
    ok(run->boxes == 1 && lstrcmpW(ShimLastMessageBoxText(), expected) == 0, "%s: %ld boxes, last text: %s", what,
       run->boxes, wt_u8(ShimLastMessageBoxText()));
}

// Runtime missing, the user declines the elevation prompt (the shell fails with 1223).
static void TestElevationRefused(void)
{
    ShimReset();
    WorkerRun run = {};
    ShimFail(SHIM_ShellExecuteExW, 1, ERROR_CANCELLED);
    RunWorker(&run, g_noRuntime);
    ok(run.done && run.status == ERROR_CANCELLED, "refused: status %llu", (unsigned long long)run.status);
    ok(run.boxes == 0, "refused: silent (%ld boxes)", run.boxes);
    ok(SawLabel(&run, TEXT_RUNTIME) && !SawLabel(&run, TEXT_OPENING), "refused: labels %d, last %s", run.labelCount,
       wt_u8(run.labels[run.labelCount ? run.labelCount - 1 : 0]));
    ok(run.createDirectoryCalls == 0 && run.leftInTemp == 0, "refused: %ld directories made, %d entries in temp",
       run.createDirectoryCalls, run.leftInTemp);
    const ShimProcessStart* shell = ShimLastShellExecute();
    ok(lstrcmpW(shell->verb, L"runas") == 0 && lstrcmpW(shell->parameters, L"--install-runtime") == 0,
       "elevated launch: verb %s, parameters %s", wt_u8(shell->verb), wt_u8(shell->parameters));
    ok(lstrcmpW(shell->application, g_selfPath) == 0, "elevated launch of %s", wt_u8(shell->application));
    ok(shell->show == SW_HIDE && !shell->hadOwner && !shell->hadDirectory &&
           (shell->mask & SEE_MASK_NOCLOSEPROCESS),
       "elevated launch: show %d, owner %d, directory %d, mask 0x%lx", shell->show, shell->hadOwner,
       shell->hadDirectory, shell->mask);
}

static void TestElevatedFailures(void)
{
    // The elevated instance runs and fails: its code is the status, shown in the box.
    ShimReset();
    WorkerRun run = {};
    run.elevatedExit = L"1603";
    RunWorker(&run, g_noRuntime);
    ok(run.done && run.status == 1603, "elevated 1603: status %llu", (unsigned long long)run.status);
    CheckBox("elevated 1603", &run, L"1603");
    ok(run.shellExecuteCalls == 1 && run.createDirectoryCalls == 0 && run.leftInTemp == 0,
       "elevated 1603: %ld launches, %ld directories made, %d entries in temp", run.shellExecuteCalls,
       run.createDirectoryCalls, run.leftInTemp);
    ok(!SawLabel(&run, TEXT_OPENING), "elevated 1603: the installer step never began");

    // Another launch failure is reported with its own code.
    ShimReset();
    WorkerRun other = {};
    ShimFail(SHIM_ShellExecuteExW, 1, ERROR_FILE_NOT_FOUND);
    RunWorker(&other, g_noRuntime);
    ok(other.status == ERROR_FILE_NOT_FOUND, "launch failure: status %llu", (unsigned long long)other.status);
    CheckBox("launch failure", &other, L"2");

    // The elevated instance's exit code cannot be read: status 1.
    ShimReset();
    WorkerRun unread = {};
    ShimFail(SHIM_GetExitCodeProcess, 1, 0);
    RunWorker(&unread, g_noRuntime);
    ok(unread.status == 1 && unread.createDirectoryCalls == 0, "exit code unreadable: status %llu, %ld directories",
       (unsigned long long)unread.status, unread.createDirectoryCalls);
}

// Close requested while the elevated instance runs, and the runtime installation then succeeds: the
// request is honoured at the first cancel point, before anything is written.
static void TestCloseDuringRuntime(void)
{
    ShimReset();
    WorkerRun run = {};
    run.closeAt = CLOSE_DURING_RUNTIME;
    RunWorker(&run, g_noRuntime);
    ok(run.done && run.status == ERROR_CANCELLED, "close during runtime: status %llu",
       (unsigned long long)run.status);
    ok(run.boxes == 0, "close during runtime: silent (%ld boxes)", run.boxes);
    ok(!SawLabel(&run, TEXT_OPENING), "close during runtime: the installer text never shown");
    ok(SawLabel(&run, TEXT_CLOSING), "close during runtime: the closing text was shown");
    ok(run.shellExecuteCalls == 1 && run.createDirectoryCalls == 0 && run.createProcessCalls == 0 &&
           run.leftInTemp == 0,
       "close during runtime: %ld launches, %ld directories, %ld processes, %d entries in temp",
       run.shellExecuteCalls, run.createDirectoryCalls, run.createProcessCalls, run.leftInTemp);
}

// Close requested as the installer step begins: extraction is not interrupted, then the file and the
// directory are removed and the installer never starts.
static void TestCloseBeforeExtraction(void)
{
    ShimReset();
    WorkerRun run = {};
    const DWORD installerSize = SizeofResource(NULL, FindResourceW(NULL, MAKEINTRESOURCEW(PAYLOAD_INSTALLER), RT_RCDATA));
    run.closeAt = CLOSE_AT_OPENING;
    RunWorker(&run, g_runtime);
    ok(run.done && run.status == ERROR_CANCELLED, "close at extraction: status %llu", (unsigned long long)run.status);
    ok(run.boxes == 0, "close at extraction: silent (%ld boxes)", run.boxes);
    ok(run.createDirectoryCalls == 1 && run.createProcessCalls == 0 && run.leftInTemp == 0,
       "close at extraction: %ld directories made, %ld processes, %d entries left in temp", run.createDirectoryCalls,
       run.createProcessCalls, run.leftInTemp);
    ok(installerSize > 0 && run.bytesWritten == installerSize, "close at extraction: %lu of %lu bytes written",
       run.bytesWritten, installerSize);
    ok(SawLabel(&run, TEXT_OPENING) && SawLabel(&run, TEXT_CLOSING), "close at extraction: labels %d", run.labelCount);
}

// Failures of the installer step: each is reported once and leaves nothing in the temporary directory.
static void TestInstallerStepFailures(void)
{
    static const struct
    {
        ShimCall call;
        DWORD error;
        DWORD status;
        const WCHAR* number;
        const char* what;
    } cases[] = {
        {SHIM_CreateDirectoryW, ERROR_ACCESS_DENIED, 13, L"13", "staging directory not made"},
        {SHIM_WriteFile, ERROR_DISK_FULL, 13, L"13", "installer not written"},
        {SHIM_CreateProcessW, ERROR_FILE_NOT_FOUND, 2, L"2", "installer not started"},
    };
    for (const auto& c : cases)
    {
        ShimReset();
        WorkerRun run = {};
        ShimFail(c.call, 1, c.error);
        RunWorker(&run, g_runtime);
        ok(run.done && run.status == c.status, "%s: status %llu", c.what, (unsigned long long)run.status);
        CheckBox(c.what, &run, c.number);
        ok(run.leftInTemp == 0, "%s: %d entries left in temp", c.what, run.leftInTemp);
        ok(SawLabel(&run, TEXT_OPENING), "%s: the installer text was shown", c.what);
    }
}

static int RunAsElevatedStandIn(void)
{
    WCHAR path[MAX_PATH * 2];
    WCHAR lines[2][1024];
    ElevatedNotePath(path);
    const int count = wt_read_lines(path, lines, 2);
    if (count < 1)
    {
        return 0;
    }
    if (count > 1 && lines[1][0])
    {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, lines[1]);
        if (event)
        {
            WaitForSingleObject(event, 20000);
            CloseHandle(event);
        }
    }
    return _wtoi(lines[0]);
}

int wmain(int argc, WCHAR** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], L"--install-runtime") == 0)
    {
        return RunAsElevatedStandIn();
    }
    if (wt_skip_unless_elevated())
    {
        return wt_finish();
    }

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = RecordingWindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = TEST_CLASS;
    RegisterClassW(&windowClass);
    GetModuleFileNameW(NULL, g_selfPath, PATH_BUFFER_CHARS);

    wt_make_temp_dir(L"ui-worker", g_scratch);
    wsprintfW(g_temp, L"%s\\temp\\", g_scratch);   // GetTempPathW's form, with the trailing backslash
    CreateDirectoryW(g_temp, NULL);
    wsprintfW(g_noRuntime, L"%s\\empty", g_scratch);
    CreateDirectoryW(g_noRuntime, NULL);
    wsprintfW(g_runtime, L"%s\\ready", g_scratch);
    wt_make_runtime_tree(g_runtime);

    TestElevationRefused();
    TestElevatedFailures();
    TestCloseDuringRuntime();
    TestCloseBeforeExtraction();
    TestInstallerStepFailures();

    WCHAR note[MAX_PATH * 2];
    ElevatedNotePath(note);
    DeleteFileW(note);
    wt_remove_tree(g_scratch);
    return wt_finish();
}
