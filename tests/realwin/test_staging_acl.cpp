// The machine-wide staging directory as Windows enforces it. While "--install-runtime" installs the
// sample runtime, the directory it made in <Windows>\Temp is caught and its access list read: exactly two
// allow entries, SYSTEM and Administrators with full control, protected, nothing inherited. Then an
// access check with this process's token, the Administrators group made deny-only, must be refused.
// Changes the machine (installs and removes the sample runtime); needs an elevated run. Wine does not
// enforce access lists, and tests/staging checks the descriptor as stored there.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "realwin.h"

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

static void CheckEntries(PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = NULL;
    ACL_SIZE_INFORMATION size = {};
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    DWORD administratorsSize = sizeof(administrators);
    WCHAR* text = NULL;
    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administratorsSize);

    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        &text, NULL);
    printf("descriptor: %s\n", wt_u8(text));
    LocalFree(text);

    GetSecurityDescriptorControl(descriptor, &control, &revision);
    ok((control & SE_DACL_PROTECTED) != 0, "access list not protected: control 0x%04x", control);
    ok(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl,
       "no access list: present %d", present);
    if (!dacl)
    {
        return;
    }
    GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation);
    ok(size.AceCount == 2, "%lu entries, expected 2", size.AceCount);
    int systemEntries = 0;
    int administratorEntries = 0;
    for (DWORD i = 0; i < size.AceCount; ++i)
    {
        ACE_HEADER* header = NULL;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
        {
            ok(FALSE, "entry %lu not readable: error %lu", i, GetLastError());
            continue;
        }
        ok(header->AceType == ACCESS_ALLOWED_ACE_TYPE && !(header->AceFlags & INHERITED_ACE),
           "entry %lu: type %u, flags 0x%02x", i, header->AceType, header->AceFlags);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        {
            continue;
        }
        ACCESS_ALLOWED_ACE* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &entry->SidStart;
        ok(entry->Mask == FILE_ALL_ACCESS, "entry %lu: access 0x%08lx, expected full control 0x%08lx", i,
           entry->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
        systemEntries += EqualSid(sid, system) ? 1 : 0;
        administratorEntries += EqualSid(sid, administrators) ? 1 : 0;
    }
    ok(systemEntries == 1 && administratorEntries == 1, "SYSTEM entries %d, Administrators entries %d",
       systemEntries, administratorEntries);
}

// The access a token gets to the directory, by the system's own check; FALSE when refused.
static BOOL Granted(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, DWORD* granted)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    BYTE privileges[256];
    DWORD privilegesSize = sizeof(privileges);
    BOOL status = FALSE;
    *granted = 0;
    MapGenericMask(&desired, &mapping);
    if (!AccessCheck(descriptor, token, desired, &mapping, reinterpret_cast<PPRIVILEGE_SET>(privileges),
                     &privilegesSize, granted, &status))
    {
        printf("AccessCheck: error %lu\n", GetLastError());
        return FALSE;
    }
    return status;
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
    HANDLE process = NULL;
    HANDLE impersonation = NULL;
    HANDLE restricted = NULL;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    DWORD systemSize = sizeof(system);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administratorsSize);
    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    // The user too when it is SYSTEM (a run as a service), so that what is left is an ordinary user's token.
    SID_AND_ATTRIBUTES disabled[2] = {{administrators, 0}, {system, 0}};
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD userSize = 0;
    DWORD disabledCount = 1;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process) ||
        !GetTokenInformation(process, TokenUser, user, sizeof(user), &userSize))
    {
        ok(FALSE, "cannot read this process's token: error %lu", GetLastError());
        goto LExit;
    }
    disabledCount = EqualSid(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, system) ? 2 : 1;
    // DuplicateToken's copy could not be restricted: it carries no TOKEN_DUPLICATE right.
    if (!DuplicateTokenEx(process, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, NULL, SecurityImpersonation,
                          TokenImpersonation, &impersonation) ||
        !CreateRestrictedToken(impersonation, 0, disabledCount, disabled, 0, NULL, 0, NULL, &restricted))
    {
        ok(FALSE, "cannot make the tokens: error %lu", GetLastError());
        goto LExit;
    }
    for (const auto& request : requests)
    {
        DWORD granted = 0;
        const BOOL asAdministrator = Granted(descriptor, impersonation, request.access, &granted);
        ok(asAdministrator, "%s: refused to this elevated process (granted 0x%08lx)", request.what, granted);
        const BOOL withoutAdministrators = Granted(descriptor, restricted, request.access, &granted);
        ok(!withoutAdministrators, "%s: granted 0x%08lx without the Administrators group", request.what, granted);
    }

LExit:
    if (restricted)
    {
        CloseHandle(restricted);
    }
    if (impersonation)
    {
        CloseHandle(impersonation);
    }
    if (process)
    {
        CloseHandle(process);
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
        CheckEntries(descriptor);
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
    if (wt_is_wine())
    {
        skip("Wine %s does not enforce access lists (tests/staging checks the descriptor as stored)",
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
