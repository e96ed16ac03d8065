// Window-mode state, shared by the UI thread and the setup worker. The installer check mode uses the
// two staging buffers as well, in a process of its own.
#pragma once

#include "common/common.h"

extern HWND g_mainWindow;              // written once by the UI thread before the worker starts
extern HWND g_statusLabel;             // written once by the UI thread before the worker starts
extern volatile LONG g_cancelRequested; // 1 once the user asked to close; atomic access only
extern PathBuffer g_stagingDir;        // the worker's (or installer check's) staging directory
extern PathBuffer g_installerPath;     // the extracted product installer
extern PathBuffer g_selfPath;          // this executable, for the elevated self-launch
