// msiexec's 1618 passed through. This program holds the Windows Installer's execution mutex
// (Global\_MSIExecute): while it is set, the installer's interfaces answer ERROR_INSTALL_ALREADY_RUNNING,
// as when another installation is under way. With the runtime missing, "--install-runtime" must then
// end with 1618, and window mode must show the error box with "(error 1618)". Needs an elevated run (a
// global name, and per-machine installation should the mutex not hold); whatever got installed all the
// same is removed again. Wine's msiexec takes no such mutex, so the check is skipped there.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "realwin.h"
#include "setup_driver.h"

#include <wchar.h>

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];

static void CheckBusyInstaller(void)
{
    WCHAR line[MAX_PATH * 3];
    DWORD code = 0xDEADBEEF;
    SetupRun run = {};

    HANDLE mutex = CreateMutexW(NULL, TRUE, L"Global\\_MSIExecute");
    const DWORD created = GetLastError();
    if (!mutex || created == ERROR_ALREADY_EXISTS)
    {
        // Another installation holds it already (or it cannot be had): that is not this program's to wait for.
        skip("the installer's execution mutex is %s (error %lu)", mutex ? "held by another installation" : "not available",
             created);
        if (mutex)
        {
            CloseHandle(mutex);
        }
        return;
    }

    wsprintfW(line, L"\"%s\" --install-runtime", g_setup);
    ok(wt_run(line, 300000, &code) && code == ERROR_INSTALL_ALREADY_RUNNING, "--install-runtime: exit code %lu",
       code);

    MatchSetupDpiAwareness();
    wsprintfW(line, L"\"%s\"", g_setup);
    run.commandLine = line;
    run.timeoutMs = 300000;
    run.verbose = TRUE;
    DriveSetup(&run);
    ok(run.ended && run.exitCode == 0, "window mode: ended %d, exit code %lu", run.ended, run.exitCode);
    ok(run.boxCount == 1 && wcsstr(run.boxText, L"(error 1618)") != NULL, "%d boxes, text: %s", run.boxCount,
       wt_u8(run.boxText));

    ReleaseMutex(mutex);
    CloseHandle(mutex);
    ok(wt_count_staging_dirs() == 0, "staging directories left: %d", wt_count_staging_dirs());
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 3)
    {
        printf("usage: %s <setup image> <sample payload directory>\n", wt_u8(argv[0]));
        return 1;
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    lstrcpyW(g_payloads, wt_winpath(argv[2]));
    if (wt_is_wine())
    {
        skip("Wine %s's msiexec takes no execution mutex: another installation never makes it answer 1618",
             wt_wine_version());
        return wt_finish();
    }
    if (!wt_is_elevated())
    {
        skip("not elevated: the runtime installation would ask for consent, and the mutex name is global");
        return wt_finish();
    }
    const int found = rw_runtime_found(g_setup);
    if (found != 0)
    {
        skip("the runtime is %s: no msiexec would run", found > 0 ? "present" : "not known");
        return wt_finish();
    }
    CheckBusyInstaller();
    // Nothing should have been installed; should the mutex not have held, the runtime is taken off again.
    if (rw_runtime_found(g_setup) != 0)
    {
        ok(FALSE, "the runtime was installed while the installer was busy");
        wt_uninstall_sample_runtime();
    }
    return wt_finish();
}
