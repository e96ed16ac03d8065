// The error box after a failing installer: with the runtime present, window mode runs the sample installer
// told to exit with 1603; the box that follows must name the code, be owned by the (hidden) setup window
// and come to the front. This program first takes the foreground itself, as Explorer holds it when a
// user starts setup, so that Windows' foreground rules let the setup process bring its box forward.
// Where those rules refuse the foreground, Windows flashes the window instead: FlashWindowEx cannot be read
// back, but the shell's own notice of it (HSHELL_FLASH, to a window registered with
// RegisterShellHookWindow) can, so a box that flashes, or whose owner does, counts as brought forward. A box
// neither in front nor seen flashing is skipped with what was seen, never failed: SetForegroundWindow may
// be refused even when its conditions hold (someone typed a moment ago, the lock time-out), and
// RegisterShellHookWindow "is not intended for general use", so a missing notice proves nothing.
// Under Wine the owner is a real answer; the foreground is not (Wine applies no foreground lock), so that
// part is skipped there. Installs the sample runtime when it is missing, and removes it again.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "realwin.h"
#include "setup_driver.h"

#include <wchar.h>

#define HOLDER_CLASS L"QuorlithForegroundHolder"

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];
static HWND g_holder;
static HANDLE g_holderReady;
static UINT g_shellHookMessage;
static BOOL g_shellHookRegistered;
static HWND g_flashed[16];
static volatile LONG g_flashCount;

static LRESULT CALLBACK HolderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_shellHookMessage && message == g_shellHookMessage && wParam == HSHELL_FLASH)
    {
        const LONG at = InterlockedIncrement(&g_flashCount) - 1;
        if (at < 16)
        {
            g_flashed[at] = reinterpret_cast<HWND>(lParam);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static BOOL WasFlashed(HWND window)
{
    for (LONG i = 0; window && i < g_flashCount && i < 16; ++i)
    {
        if (g_flashed[i] == window)
        {
            return TRUE;
        }
    }
    return FALSE;
}

// A small window of this process on a thread of its own that keeps pumping messages, so it never counts
// as hung while the driver follows the setup process, and receives the shell's notices.
static DWORD WINAPI HoldForeground(LPVOID /* parameter */)
{
    WNDCLASSW windowClass = {};
    MSG message;
    windowClass.lpfnWndProc = HolderProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = HOLDER_CLASS;
    RegisterClassW(&windowClass);
    g_holder = CreateWindowExW(0, HOLDER_CLASS, L"Quorlith check", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 240, 120,
                               NULL, NULL, windowClass.hInstance, NULL);
    if (g_holder)
    {
        SetForegroundWindow(g_holder);
        g_shellHookMessage = RegisterWindowMessageW(L"SHELLHOOK");
        g_shellHookRegistered = g_shellHookMessage && RegisterShellHookWindow(g_holder);
    }
    SetEvent(g_holderReady);
    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        DispatchMessageW(&message);
    }
    return 0;
}

static void DescribeForeground(const SetupRun* run)
{
    WCHAR className[64] = L"";
    UINT lockTimeout = 0;
    LASTINPUTINFO input = {};
    input.cbSize = sizeof(input);
    GetClassNameW(run->foregroundAtBox, className, 64);
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockTimeout, 0);
    GetLastInputInfo(&input);
    printf("at the box: foreground window %p (class %s) of process %lu; this process %lu; lock time-out %u ms, "
           "last input %lu ms ago\n",
           static_cast<void*>(run->foregroundAtBox), wt_u8(className), run->foregroundProcessAtBox,
           GetCurrentProcessId(), lockTimeout, GetTickCount() - input.dwTime);
}

static void CheckForeground(const SetupRun* run, BOOL holding)
{
    DescribeForeground(run);
    const BOOL flashed = WasFlashed(run->boxWindow) || WasFlashed(run->setupWindow);
    printf("shell notices registered %d; %ld flash notices, for the box or the setup window: %d\n",
           g_shellHookRegistered, g_flashCount, flashed);
    // Windows lets a process bring a window forward when it was started by the foreground process, or when
    // there is none; even then it may refuse, so only what was seen counts.
    const BOOL allowed = !run->foregroundAtBox || run->foregroundProcessAtBox == GetCurrentProcessId();
    if (run->boxForeground || flashed)
    {
        ok(TRUE, "the box came to the front or flashed");
    }
    else
    {
        skip("the box is neither in front nor seen flashing (this process held the foreground first: %d; the rules "
             "would have allowed it: %d): Windows may refuse the foreground, and the shell's flash notice is not "
             "assured",
             holding, allowed);
    }
}

static void CheckErrorBox(void)
{
    SetupRun run = {};
    WCHAR line[MAX_PATH * 3];
    BOOL holding = FALSE;
    static WtStagingSnapshot stagingBefore;
    wt_snapshot_staging_dirs(&stagingBefore);

    if (!wt_is_wine())
    {
        g_holderReady = CreateEventW(NULL, TRUE, FALSE, NULL);
        CloseHandle(CreateThread(NULL, 0, HoldForeground, NULL, 0, NULL));
        WaitForSingleObject(g_holderReady, 10000);
        holding = g_holder && GetForegroundWindow() == g_holder;
        printf("this process holds the foreground before setup starts: %d\n", holding);
    }

    wsprintfW(line, L"\"%s\"", g_setup);
    run.commandLine = line;
    run.extraEnv = L"QUORLITH_SAMPLE_EXIT_CODE=1603";
    run.timeoutMs = 120000;
    run.foregroundWaitMs = 3000;
    run.verbose = TRUE;
    DriveSetup(&run);

    ok(run.ended && run.exitCode == 0, "window mode: ended %d, exit code %lu", run.ended, run.exitCode);
    ok(run.boxCount == 1 && wcsstr(run.boxText, L"(error 1603)") != NULL, "%d boxes, text: %s", run.boxCount,
       wt_u8(run.boxText));
    ok(run.boxOwnedBySetupWindow, "the box is not owned by the setup window");
    ok(run.boxCount == 1 && !run.windowVisibleAtBox, "the setup window was visible when the box came");
    if (wt_is_wine())
    {
        skip("Wine %s applies no foreground lock, so whether the box came forward says nothing about Windows",
             wt_wine_version());
    }
    else if (run.boxCount == 1)
    {
        CheckForeground(&run, holding);
    }
    if (g_holder)
    {
        if (g_shellHookRegistered)
        {
            DeregisterShellHookWindow(g_holder);
        }
        PostMessageW(g_holder, WM_CLOSE, 0, 0);
    }
    ok(wt_new_staging_dirs(&stagingBefore) == 0, "staging directories left behind (named above)");
}

int wmain(int argc, WCHAR** argv)
{
    BOOL installed = FALSE;
    const char* whyNot = "";
    if (argc != 3)
    {
        printf("usage: %s <setup image> <sample payload directory>\n", wt_u8(argv[0]));
        return 1;
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    lstrcpyW(g_payloads, wt_winpath(argv[2]));
    if (wt_skip_unless_x64_machine())
    {
        return wt_finish();
    }
    MatchSetupDpiAwareness();
    if (!GetSystemMetrics(SM_CXSCREEN))
    {
        skip("no display");
        return wt_finish();
    }
    if (!rw_provide_runtime(g_setup, g_payloads, &installed, &whyNot))
    {
        skip("%s", whyNot);
    }
    else
    {
        CheckErrorBox();
    }
    if (installed)
    {
        wt_uninstall_sample_runtime();
    }
    return wt_finish();
}
