#include "ui/ui.h"
#include "common/state.h"
#include "payload/payload.h"
#include "runtime/runtime.h"
#include "staging/staging.h"

// A compare-exchange of 0 with 0 reads the flag with full ordering and never changes it.
static BOOL IsCancelRequested(void)
{
    return InterlockedCompareExchange(&g_cancelRequested, 0, 0) == 1;
}

DWORD WINAPI SetupWorker(LPVOID /* parameter */)
{
    Status status = ERROR_SUCCESS;

    if (!VerifyAllPayloads())
    {
        status = ERROR_INVALID_DATA;
        goto LExit;
    }
    if (!IsRuntimeReady())
    {
        SetWindowTextW(g_statusLabel, TEXT_INSTALLING_RUNTIME);
        // The elevated instance tests the runtime once more at its end; its 0 stands for that test.
        status = RunAndWait(g_selfPath, L"--install-runtime", TRUE);
        if (status != ERROR_SUCCESS)
        {
            goto LExit;
        }
    }

    // First cancel point: nothing has been written to the user's temporary directory yet.
    if (IsCancelRequested())
    {
        status = ERROR_CANCELLED;
        goto LExit;
    }
    SetWindowTextW(g_statusLabel, TEXT_OPENING_INSTALLER);
    if (!StageInstaller())
    {
        status = ERROR_INVALID_DATA;
        goto LExit;
    }

    // Second cancel point: the installer is on disk but has not started.
    if (IsCancelRequested())
    {
        RemoveStagedInstaller();
        status = ERROR_CANCELLED;
        goto LExit;
    }

    ShowWindow(g_mainWindow, SW_HIDE);
    status = RunAndWait(g_installerPath, NULL, FALSE);
    RemoveStagedInstaller();

LExit:
    // Removal is attempted again on every path; after the steps above it finds nothing left.
    RemoveStagedInstaller();
    PostMessageW(g_mainWindow, WM_SETUP_DONE, static_cast<WPARAM>(status), 0);
    return 0;
}
