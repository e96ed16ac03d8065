#include "common/state.h"

HWND g_mainWindow;
HWND g_statusLabel;
volatile LONG g_cancelRequested;
PathBuffer g_stagingDir;
PathBuffer g_installerPath;
PathBuffer g_selfPath;
