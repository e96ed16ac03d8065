// The machine-wide staging directory as Windows enforces it. While "--install-runtime" installs the
// sample runtime, the directory it made in <Windows>\Temp is caught and its descriptor read and compared by
// its parts with the expectation tests/staging keeps (NTFS reads it back as "PAI"). Then an
// access check with this process's token, the Administrators group made deny-only, must be refused.
// Changes the machine (installs and removes the sample runtime); needs an elevated run. Wine does not
// enforce access lists; tests/staging checks the descriptors there.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "realwin.h"
#include "staging_acl.h"

#include <aclapi.h>
#include <sddl.h>

#define MAX_EARLIER 64

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];

struct Earlier
{
    int count;
    WCHAR names[MAX_EARLIER][40];
};

static BOOL IsEarlier(const Earlier* earlier, const WCHAR* name)
{
    for (int i = 0; i < earlier->count; ++i)
    {
        if (!lstrcmpiW(earlier->names[i], name))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Staging directories left in <Windows>\Temp by something else are not this run's.
static void ListEarlier(Earlier* earlier)
{
    WCHAR pattern[MAX_PATH];
    WIN32_FIND_DATAW entry;
    earlier->count = 0;
    wt_windows_temp(pattern);
    lstrcatW(pattern, L"\\Quorlith-Setup-*");
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        if (earlier->count < MAX_EARLIER)
        {
            lstrcpynW(earlier->names[earlier->count++], entry.cFileName, 40);
            printf("already there, not looked at: %s\n", wt_u8(entry.cFileName));
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// Owner, group and access list of the first new staging directory, read while it exists; NULL when the
// process ended before one could be read.
static PSECURITY_DESCRIPTOR CatchDescriptor(HANDLE process, const Earlier* earlier, WCHAR* path)
{
    WCHAR pattern[MAX_PATH];
    WCHAR temp[MAX_PATH];
    WIN32_FIND_DATAW entry;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    wt_windows_temp(temp);
    wsprintfW(pattern, L"%s\\Quorlith-Setup-*", temp);
    for (BOOL ended = FALSE; !descriptor && !ended;)
    {
        ended = WaitForSingleObject(process, 2) == WAIT_OBJECT_0;
        HANDLE find = FindFirstFileW(pattern, &entry);
        if (find == INVALID_HANDLE_VALUE)
        {
            continue;
        }
        do
        {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsEarlier(earlier, entry.cFileName))
            {
                wsprintfW(path, L"%s\\%s", temp, entry.cFileName);
                if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                              DACL_SECURITY_INFORMATION,
                                          NULL, NULL, NULL, NULL, &descriptor) != ERROR_SUCCESS)
                {
                    descriptor = NULL;   // removed in between: look again
                }
            }
        } while (!descriptor && FindNextFileW(find, &entry));
        FindClose(find);
    }
    return descriptor;
}

static void CheckEnforced(PSECURITY_DESCRIPTOR descriptor)
{
    static const struct
    {
        DWORD access;
        const char* what;
    } requests[] = {
        {FILE_LIST_DIRECTORY, "list"},
        {FILE_ADD_FILE, "add a file"},
        {GENERIC_READ, "read"},
        {GENERIC_WRITE, "write"},
        {DELETE, "delete"},
    };
    HANDLE impersonation = MakeOwnToken();
    HANDLE restricted = MakeStandardUserToken();

    if (!restricted || !impersonation)
    {
        ok(FALSE, "cannot make the tokens: error %lu", GetLastError());
        goto LExit;
    }
    for (const auto& request : requests)
    {
        DWORD granted = 0;
        const BOOL asAdministrator = AccessGranted(descriptor, impersonation, request.access, &granted);
        ok(asAdministrator, "%s: refused to this elevated process (granted 0x%08lx)", request.what, granted);
        const BOOL withoutAdministrators = AccessGranted(descriptor, restricted, request.access, &granted);
        ok(!withoutAdministrators, "%s: granted 0x%08lx without the Administrators group", request.what, granted);
    }

LExit:
    if (impersonation)
    {
        CloseHandle(impersonation);
    }
    if (restricted)
    {
        CloseHandle(restricted);
    }
}

static void CheckStagingDirectory(void)
{
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    WCHAR line[MAX_PATH * 3];
    WCHAR path[MAX_PATH * 2] = L"";
    Earlier earlier;
    DWORD code = 0xDEADBEEF;

    ListEarlier(&earlier);
    wsprintfW(line, L"\"%s\" --install-runtime", g_setup);
    startup.cb = sizeof(startup);
    if (!CreateProcessW(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    {
        ok(FALSE, "cannot start %s: error %lu", wt_u8(line), GetLastError());
        return;
    }
    PSECURITY_DESCRIPTOR descriptor = CatchDescriptor(process.hProcess, &earlier, path);
    ok(descriptor != NULL, "no staging directory caught in %s while the runtime was installed", wt_u8(path));
    if (descriptor)
    {
        printf("caught %s\n", wt_u8(path));
        CheckStagingDescriptor("machine-wide staging directory", descriptor, TRUE, NULL);
        CheckEnforced(descriptor);
        LocalFree(descriptor);
    }
    if (WaitForSingleObject(process.hProcess, 300000) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, 5000);
    }
    GetExitCodeProcess(process.hProcess, &code);
    ok(code == 0, "--install-runtime: exit code %lu", code);
    ok(!wt_exists(path), "%s is still there", wt_u8(path));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
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
    // Off x64 the image refuses to run, and over an installed .NET the samples would replace its files.
    if (rw_skip_unless_may_install())
    {
        return wt_finish();
    }
    if (wt_is_wine())
    {
        skip("Wine %s does not enforce access lists (tests/staging checks the descriptors by their parts)",
             wt_wine_version());
        return wt_finish();
    }
    if (!wt_is_elevated())
    {
        skip("not elevated: installing per machine and reading <Windows>\\Temp need an elevated run");
        return wt_finish();
    }
    const int found = rw_runtime_found(g_setup);
    if (found != 0)
    {
        skip("the runtime is %s: --install-runtime would stage nothing", found > 0 ? "present" : "not known");
        return wt_finish();
    }
    CheckStagingDirectory();
    wt_uninstall_sample_runtime();
    return wt_finish();
}
