// The setup window and the worker thread that drives window mode.
#pragma once

#include "common/common.h"

#define WM_SETUP_DONE (WM_APP + 1)   // wParam: final status code; lParam: 0
#define SETUP_WINDOW_CLASS L"QuorlithBootstrap"
#define SETUP_WINDOW_WIDTH 520
#define SETUP_WINDOW_HEIGHT 180

#define TEXT_PREPARING L"Preparing Quorlith\x2026"
#define TEXT_INSTALLING_RUNTIME L"Installing the required Microsoft runtime. Please approve the Windows prompt."
#define TEXT_OPENING_INSTALLER L"Opening the Quorlith installer\x2026"
#define TEXT_CLOSING L"Finishing the current setup step before closing\x2026"
#define ERROR_TEXT_FORMAT L"Windows could not prepare Quorlith (error %u). No developer tools are required. Please report this error so we can fix setup."

// Builds the window, starts the worker and dispatches messages; ends the process.
__declspec(noreturn) void RunWindowMode(void);
LRESULT CALLBACK SetupWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI SetupWorker(LPVOID parameter);

// Top-left corner that centres a window of the given outer size on a screen of the given size, truncating
// toward zero.
void CenterWindowOrigin(int screenWidth, int screenHeight, int windowWidth, int windowHeight, int* x, int* y);
