// The setup window: where it is placed, what its window procedure does with close requests and with the
// worker's final status, and how window mode ends when its window, a control or the worker thread cannot
// be created. The last cases run RunWindowMode in a child copy of this program, configured by QUORLITH_SHIM.
#include "wtest.h"
#include "shim.h"
#include "common/state.h"
#include "ui/ui.h"

#define TEST_CLASS L"QuorlithBootstrapWindowTest"
#define ERROR_TEXT_BEGIN L"Windows could not prepare Quorlith (error "
#define ERROR_TEXT_END L"). No developer tools are required. Please report this error so we can fix setup."

static void TestCentring(void)
{
    static const struct
    {
        int width, height, windowWidth, windowHeight, x, y;
    } cases[] = {
        {1920, 1080, 520, 180, 700, 450},
        {1601, 900, 520, 180, 540, 360},   // the half pixel is dropped
        {515, 1080, 520, 180, -2, 450},    // truncated toward zero: -2, not -3
        {519, 179, 520, 180, 0, 0},        // -1/2 is 0
        {1024, 768, 520, 180, 252, 294},
        {100, 100, 520, 180, -210, -40},
        {1920, 1080, 1040, 360, 440, 360},   // 200 %
        {1920, 1080, 1300, 450, 310, 315},   // 250 %
        {1024, 768, 1040, 360, -8, 204},
    };
    for (const auto& c : cases)
    {
        int x = 12345;
        int y = 12345;
        CenterWindowOrigin(c.width, c.height, c.windowWidth, c.windowHeight, &x, &y);
        ok(x == c.x && y == c.y, "%dx%d, window %dx%d: got (%d, %d), expected (%d, %d)", c.width, c.height,
           c.windowWidth, c.windowHeight, x, y, c.x, c.y);
    }
}

// A stand-in for the setup window: the product's window procedure with a status label, as RunWindowMode
// builds them, but owned by the test.
static HWND MakeWindow(void)
{
    g_mainWindow = CreateWindowExW(0, TEST_CLASS, L"Quorlith Setup", WS_CAPTION | WS_SYSMENU, 0, 0, 520, 180, NULL,
                                   NULL, GetModuleHandleW(NULL), NULL);
    g_statusLabel = CreateWindowExW(0, L"STATIC", L"Preparing Quorlith\x2026", WS_CHILD | WS_VISIBLE, 24, 25, 465, 45,
                                    g_mainWindow, NULL, GetModuleHandleW(NULL), NULL);
    return g_mainWindow;
}

static BOOL TakeQuitMessage(void)
{
    MSG message;
    BOOL quit = FALSE;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
    {
        quit |= message.message == WM_QUIT;
    }
    return quit;
}

static void TestCloseRequest(void)
{
    WCHAR text[256];
    HWND window = MakeWindow();
    g_cancelRequested = 0;

    ok(SendMessageW(window, WM_CLOSE, 0, 0) == 0, "WM_CLOSE result");
    ok(g_cancelRequested == 1, "flag after a close request: %ld", g_cancelRequested);
    GetWindowTextW(g_statusLabel, text, 256);
    ok(lstrcmpW(text, L"Finishing the current setup step before closing\x2026") == 0, "label: %s", wt_u8(text));
    ok(IsWindow(window), "the window stays after a close request");

    // A second request changes nothing more, even after the worker has put up another text.
    SetWindowTextW(g_statusLabel, L"Opening the Quorlith installer\x2026");
    SendMessageW(window, WM_CLOSE, 0, 0);
    GetWindowTextW(g_statusLabel, text, 256);
    ok(g_cancelRequested == 1 && IsWindow(window), "second request: flag %ld, window %d", g_cancelRequested,
       IsWindow(window));
    ok(lstrcmpW(text, L"Finishing the current setup step before closing\x2026") == 0, "label: %s", wt_u8(text));
    ok(!TakeQuitMessage(), "no quit message after close requests");
    DestroyWindow(window);
    TakeQuitMessage();
    g_cancelRequested = 0;
}

static void TestSetupDone(void)
{
    static const struct
    {
        WPARAM status;
        BOOL boxed;
        const WCHAR* number;
    } cases[] = {
        {0, FALSE, NULL},
        {1223, FALSE, NULL},
        {1602, FALSE, NULL},
        {13, TRUE, L"13"},
        {1, TRUE, L"1"},
        {3010, TRUE, L"3010"},   // a reboot request is not silent here, unlike for msiexec
        {1603, TRUE, L"1603"},
        {1638, TRUE, L"1638"},
        {4294967295u, TRUE, L"4294967295"},
        // The silent codes are compared with the whole parameter, not its low 32 bits.
        {static_cast<WPARAM>(0x100000000ull), TRUE, L"0"},
    };
    ShimCaptureMessageBoxes(TRUE);
    for (const auto& c : cases)
    {
        WCHAR expected[300];
        HWND window = MakeWindow();
        const LONG before = ShimCalls(SHIM_MessageBoxW);
        ok(SendMessageW(window, WM_SETUP_DONE, c.status, 0) == 0, "result for %llu", (unsigned long long)c.status);
        const LONG boxes = ShimCalls(SHIM_MessageBoxW) - before;
        ok(boxes == (c.boxed ? 1 : 0), "status %llu: %ld boxes", (unsigned long long)c.status, boxes);
        ok(!IsWindow(window), "status %llu: the window is destroyed", (unsigned long long)c.status);
        ok(TakeQuitMessage(), "status %llu: the message loop is told to end", (unsigned long long)c.status);
        if (c.boxed)
        {
            wsprintfW(expected, L"%s%s%s", ERROR_TEXT_BEGIN, c.number, ERROR_TEXT_END);
            ok(lstrcmpW(ShimLastMessageBoxText(), expected) == 0, "text: %s", wt_u8(ShimLastMessageBoxText()));
            ok(lstrcmpW(ShimLastMessageBoxCaption(), L"Quorlith Setup") == 0, "caption: %s",
               wt_u8(ShimLastMessageBoxCaption()));
            ok(ShimLastMessageBoxStyle() == MB_ICONERROR, "style 0x%x", ShimLastMessageBoxStyle());
        }
        if (c.status == 4294967295u)
        {
            ok(lstrlenW(ShimLastMessageBoxText()) == 133, "longest text: %d characters",
               lstrlenW(ShimLastMessageBoxText()));
        }
    }
    ShimCaptureMessageBoxes(FALSE);
}

// Window mode in a child process with one call failing. Without its window or a control the worker could
// never report, so the process has to end by itself (exit 1) instead of waiting in its loop; nothing is
// shown. A box left open would keep the child alive until the time-out. Where all windows are made, their
// layout shows the DPI used: GetDpiForSystem's (96 in this prefix) while it exists, else the screen device
// context's (144 here), else none.
static void TestStartFailures(const WCHAR* self)
{
    static const struct
    {
        const WCHAR* shim;
        const char* what;
        int width, height;      // the setup window; 0: layout not checked
        const char* controls;   // label and progress bar
    } cases[] = {
        {L"fail=CreateThread:1;device-dpi=144", "worker thread not created", 520, 180, "24,25,465,45\n24,85,465,14\n"},
        {L"fail=CreateWindowExW:1", "setup window not created", 0, 0, NULL},
        {L"fail=CreateWindowExW:2", "status label not created", 0, 0, NULL},
        {L"fail=CreateWindowExW:3", "progress bar not created", 0, 0, NULL},
        {L"fail=CreateThread:1;fail=GetProcAddress:1;device-dpi=144", "no GetDpiForSystem", 780, 270,
         "36,38,698,68\n36,128,698,21\n"},
        {L"fail=CreateThread:1;fail=GetProcAddress:1;fail=GetDC:1;device-dpi=144", "no GetDpiForSystem, no screen DC",
         520, 180, "24,25,465,45\n24,85,465,14\n"},
    };
    WCHAR dir[MAX_PATH * 4];
    WCHAR log[MAX_PATH * 4];
    WCHAR windowLog[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 2];
    WCHAR environment[MAX_PATH * 10];
    wt_make_temp_dir(L"ui-window-start", dir);
    wsprintfW(log, L"%s\\boxes.log", dir);
    wsprintfW(windowLog, L"%s\\windows.log", dir);
    wsprintfW(line, L"\"%s\" --window-mode", self);
    for (const auto& c : cases)
    {
        DWORD code = 0xdeadbeef;
        DeleteFileW(log);
        DeleteFileW(windowLog);
        wsprintfW(environment, L"QUORLITH_SHIM=%s;capture-messagebox\nQUORLITH_SHIM_LOG=%s\nQUORLITH_SHIM_WINDOW_LOG=%s",
                  c.shim, log, windowLog);
        const DWORD started = GetTickCount();
        const BOOL ended = wt_run_ex(line, NULL, environment, 20000, &code);
        ok(ended && code == 1, "%s: ended %d, exit code %lu after %lu ms", c.what, ended, code,
           GetTickCount() - started);
        ok(!wt_exists(log), "%s: no message box", c.what);
        if (c.width)
        {
            char expected[256];
            char* layout = reinterpret_cast<char*>(wt_read_file(windowLog, NULL));
            wsprintfA(expected, "%d,%d,%d,%d\n%s", (GetSystemMetrics(SM_CXSCREEN) - c.width) / 2,
                      (GetSystemMetrics(SM_CYSCREEN) - c.height) / 2, c.width, c.height, c.controls);
            ok(layout && !lstrcmpA(layout, expected), "%s: windows made\n%sexpected\n%s", c.what,
               layout ? layout : "(none)\n", expected);
            wt_free(layout);
        }
    }
    wt_remove_tree(dir);
}

int wmain(int argc, WCHAR** argv)
{
    if (argc == 2 && lstrcmpW(argv[1], L"--window-mode") == 0)
    {
        ShimConfigureFromEnvironment();
        RunWindowMode();
    }
    // Stands in for an elevated instance if a broken start ever got as far as launching one.
    if (argc >= 2 && lstrcmpW(argv[1], L"--install-runtime") == 0)
    {
        return 99;
    }

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = SetupWndProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = TEST_CLASS;
    RegisterClassW(&windowClass);

    TestCentring();
    TestCloseRequest();
    TestSetupDone();

    WCHAR self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    TestStartFailures(self);
    return wt_finish();
}
