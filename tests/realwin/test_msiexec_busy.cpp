// msiexec's 1618 passed through. This program holds the Windows Installer's execution mutex
// (Global\_MSIExecute), which the installer's interfaces answer with ERROR_INSTALL_ALREADY_RUNNING while it
// is set. That page describes the installer's own use of it, not an outside holder, so the check first
// calibrates: msiexec run directly on a sample package while the mutex is held must answer 1618, or the
// check is skipped, saying so. The mutex may exist already (the service may keep it open between
// installations): then it is opened and taken with a zero wait, since CreateMutex grants ownership only
// to the process that creates it. With the runtime missing, "--install-runtime" must then end with 1618,
// and window mode must show the error box with "(error 1618)". Needs an elevated run and a machine without
// .NET; whatever got installed all the same is removed again. Wine's msiexec takes no such mutex, so the
// check is skipped there.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "realwin.h"
#include "setup_driver.h"

#include <wchar.h>

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];

#define EXECUTE_MUTEX L"Global\\_MSIExecute"

// The execution mutex, owned by this thread, or NULL with the reason printed.
static HANDLE TakeExecuteMutex(void)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, EXECUTE_MUTEX);
    DWORD error = mutex ? ERROR_SUCCESS : GetLastError();
    BOOL owned = FALSE;
    if (!mutex && error == ERROR_FILE_NOT_FOUND)
    {
        mutex = CreateMutexW(NULL, TRUE, EXECUTE_MUTEX);
        error = GetLastError();
        // Made between the two calls by someone else: then it is not ours yet.
        owned = mutex && error != ERROR_ALREADY_EXISTS;
    }
    if (mutex && !owned)
    {
        const DWORD wait = WaitForSingleObject(mutex, 0);
        owned = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
    }
    if (!owned)
    {
        skip("cannot take %s (error %lu): %s", wt_u8(EXECUTE_MUTEX), error,
             mutex ? "another installation holds it" : "it cannot be opened or made");
        if (mutex)
        {
            CloseHandle(mutex);
        }
        return NULL;
    }
    return mutex;
}

// msiexec itself, on the host package, while the mutex is held: 1618 means that holding it stands for
// another installation. Anything else skips the check; should the package have gone in, it is removed.
static BOOL CalibrateBusyInstaller(void)
{
    WCHAR line[MAX_PATH * 3];
    DWORD code = 0xDEADBEEF;
    wsprintfW(line, L"msiexec /i \"%s\\%s\" /qn /norestart", g_payloads, wt_runtime_packages[0]);
    const BOOL ended = wt_run(line, 120000, &code);
    if (ended && code == ERROR_INSTALL_ALREADY_RUNNING)
    {
        return TRUE;
    }
    skip("holding %s does not make msiexec answer 1618 here (ended %d, exit code %lu): the check would "
         "prove nothing",
         wt_u8(EXECUTE_MUTEX), ended, code);
    if (ended && (code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED))
    {
        wt_uninstall_sample_runtime();
    }
    return FALSE;
}

// Whether the busy installer could be made and the setup image run against it.
static BOOL CheckBusyInstaller(void)
{
    WCHAR line[MAX_PATH * 3];
    DWORD code = 0xDEADBEEF;
    SetupRun run = {};
    BOOL checked = FALSE;

    HANDLE mutex = TakeExecuteMutex();
    if (!mutex)
    {
        return FALSE;
    }
    checked = CalibrateBusyInstaller();
    if (checked)
    {
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
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return checked;
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
    if (rw_skip_unless_may_install())
    {
        return wt_finish();
    }
    const int found = rw_runtime_found(g_setup);
    if (found != 0)
    {
        skip("the runtime is %s: no msiexec would run", found > 0 ? "present" : "not known");
        return wt_finish();
    }
    static WtStagingSnapshot stagingBefore;
    wt_snapshot_staging_dirs(&stagingBefore);
    // A busy installer that could not be made leaves the case skipped as a whole: a check that passed beside
    // it would count the case as passed, also where it is required.
    if (!CheckBusyInstaller())
    {
        return wt_finish();
    }
    ok(wt_new_staging_dirs(&stagingBefore) == 0, "staging directories left behind (named above)");
    // Nothing should have been installed; should the mutex not have held, the runtime is taken off again.
    if (rw_runtime_found(g_setup) != 0)
    {
        ok(FALSE, "the runtime was installed while the installer was busy");
        wt_uninstall_sample_runtime();
    }
    return wt_finish();
}
