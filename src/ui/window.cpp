#include "ui/ui.h"
#include "common/state.h"
#include "entry/modes.h"

#include <commctrl.h>

#define LABEL_STYLE (WS_CHILD | WS_VISIBLE)
#define PROGRESS_STYLE (WS_CHILD | WS_VISIBLE | PBS_MARQUEE)
#define MARQUEE_INTERVAL_MS 40

// Child controls at 96 DPI: x, y, width, height in the setup window's client area.
static const int LabelBox[4] = {24, 25, 465, 45};
static const int ProgressBox[4] = {24, 85, 465, 14};

static int ScaleForDpi(int value, UINT dpi)
{
    return MulDiv(value, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}

typedef UINT(WINAPI* GetDpiForSystemFunction)(void);

// GetDpiForSystem exists from Windows 10 1607 on; imported, it would keep the image from loading on anything
// older, so it is looked up. Without it the screen's device context answers: the system DPI for a DPI-aware
// process, and 96 for an unaware one (older Windows does not read the manifest's awareness), whose window
// Windows then stretches as a whole, font included. With no device context either, nothing is scaled.
static UINT GetSystemDpi(void)
{
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForSystem");
    HDC screen = NULL;
    UINT dpi = USER_DEFAULT_SCREEN_DPI;

    if (address)
    {
        dpi = reinterpret_cast<GetDpiForSystemFunction>(reinterpret_cast<void*>(address))();
    }
    else
    {
        screen = GetDC(NULL);
    }
    if (screen)
    {
        dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
        ReleaseDC(NULL, screen);
    }
    return dpi;
}

void CenterWindowOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight, int* x, int* y)
{
    // The whole primary display, not its work area; a small display gives negative coordinates.
    *y = (screenHeight - windowHeight) / 2;
    *x = (screenWidth - windowWidth) / 2;
}

static HWND CreateChild(const WCHAR* className, const WCHAR* text, DWORD style, const int box[4], UINT dpi,
                        HINSTANCE instance)
{
    return CreateWindowExW(0, className, text, style, ScaleForDpi(box[0], dpi), ScaleForDpi(box[1], dpi),
                           ScaleForDpi(box[2], dpi), ScaleForDpi(box[3], dpi), g_mainWindow, NULL, instance, NULL);
}

static BOOL IsSilentStatus(WPARAM status)
{
    return status == ERROR_SUCCESS || status == ERROR_CANCELLED || status == ERROR_INSTALL_USEREXIT;
}

LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;

    case WM_CLOSE:
        // The window stays: the worker honours the request at its next cancel point, then reports.
        InterlockedExchange(&g_cancelRequested, 1);
        SetWindowTextW(g_statusLabel, TEXT_CLOSING);
        return 0;

    case WM_SETUP_DONE:
        if (!IsSilentStatus(wParam))
        {
            WCHAR text[240];
            wsprintfW(text, ERROR_TEXT_FORMAT, static_cast<DWORD>(wParam));
            MessageBoxW(window, text, SETUP_CAPTION, MB_ICONERROR);
        }
        DestroyWindow(window);
        return 0;

    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

__declspec(noreturn) void RunWindowMode(void)
{
    INITCOMMONCONTROLSEX controls;
    WNDCLASSW windowClass;
    HINSTANCE instance = NULL;
    HWND progress = NULL;
    HANDLE worker = NULL;
    MSG message;
    UINT dpi = USER_DEFAULT_SCREEN_DPI;
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;

    GetModuleFileNameW(NULL, g_selfPath, PATH_BUFFER_CHARS);

    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS;
    ZeroMemory(&windowClass, sizeof(windowClass));
    instance = GetModuleHandleW(NULL);
    windowClass.lpfnWndProc = SetupWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = SETUP_WINDOW_CLASS;
    InitCommonControlsEx(&controls);
    RegisterClassW(&windowClass);

    // The manifest makes the process per-monitor aware, so Windows draws the window unscaled, while the
    // stock font follows the system DPI: sizing everything by that same DPI keeps the texts inside their
    // label on every monitor, with no WM_DPICHANGED handling. At 96 DPI nothing changes.
    dpi = GetSystemDpi();
    width = ScaleForDpi(SETUP_WINDOW_WIDTH, dpi);
    height = ScaleForDpi(SETUP_WINDOW_HEIGHT, dpi);
    CenterWindowOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), width, height, &x, &y);
    g_mainWindow = CreateWindowExW(0, SETUP_WINDOW_CLASS, SETUP_CAPTION, WS_CAPTION | WS_SYSMENU, x, y, width, height,
                                   NULL, NULL, instance, NULL);
    if (g_mainWindow)
    {
        g_statusLabel = CreateChild(L"STATIC", TEXT_PREPARING, LABEL_STYLE, LabelBox, dpi, instance);
    }
    if (g_statusLabel)
    {
        SendMessageW(g_statusLabel, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
        progress = CreateChild(PROGRESS_CLASSW, NULL, PROGRESS_STYLE, ProgressBox, dpi, instance);
    }
    // Without the window and its controls the worker could never report, and the loop below would wait
    // for a message that cannot come.
    if (!progress)
    {
        goto LFail;
    }
    SendMessageW(progress, PBM_SETMARQUEE, TRUE, MARQUEE_INTERVAL_MS);

    ShowWindow(g_mainWindow, SW_SHOW);
    UpdateWindow(g_mainWindow);

    worker = CreateThread(NULL, 0, SetupWorker, NULL, 0, NULL);
    if (!worker)
    {
        goto LFail;
    }
    CloseHandle(worker);

    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    ExitProcess(0);

LFail:
    if (g_mainWindow)
    {
        DestroyWindow(g_mainWindow);
    }
    ExitProcess(1);
}
