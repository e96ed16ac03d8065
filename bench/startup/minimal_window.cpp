// The yardstick for start-up time: the least a Win32 program does to put a window of the setup window's
// size and style on the screen, built with the same runtime-free flags as the bootstrapper. It stays up
// until it is closed.
#include <windows.h>

static LRESULT CALLBACK MinimalWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY)
    {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

extern "C" void MinimalEntry(void)
{
    WNDCLASSW windowClass;
    MSG message;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.lpfnWndProc = MinimalWndProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"QuorlithMinimalWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"QuorlithMinimalWindow", L"Minimal", WS_CAPTION | WS_SYSMENU,
                                  (GetSystemMetrics(SM_CXSCREEN) - 520) / 2, (GetSystemMetrics(SM_CYSCREEN) - 180) / 2,
                                  520, 180, NULL, NULL, windowClass.hInstance, NULL);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    while (GetMessageW(&message, NULL, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    ExitProcess(0);
}
