// Window mode run as LocalSystem, as deployment tools run installers: a scheduled task that this check
// creates, runs and deletes starts the setup image with no arguments. On a machine without .NET the
// runtime must be installed, the installer must run (its receipt, in SYSTEM's profile, says so) and nothing
// may be left in the Windows temporary directories. The installer records its own folder's descriptor
// while it runs: that per-user staging directory, below <Windows> for SYSTEM, must carry the protected
// access list, and the system's access check must refuse a file in it to a standard user's token (the
// check realwin_staging_acl makes).
// Changes the machine (installs and removes the sample runtime); needs an elevated run on x64 Windows.
// Under Wine there is no service account to run as: tests/staging checks there the descriptors that both
// staging directories carry.
// Argument: <setup image with the sample payloads>.
#include "wtest.h"
#include "realwin.h"
#include "staging_acl.h"

#include <sddl.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <wchar.h>

#define TASK_NAME L"QuorlithSystemDeploy"
#define MAX_NAMES 64
#define WAIT_LIMIT_MS 300000

static WCHAR g_setup[MAX_PATH * 2];

// The staging directories already in <Windows>\Temp and <Windows>\SystemTemp (SYSTEM's temporary directory
// on newer systems): they are not this run's.
struct Names
{
    int count;
    WCHAR names[MAX_NAMES][MAX_PATH];
};

static void ListStagingDirs(Names* names)
{
    static const WCHAR* const folders[] = {L"Temp", L"SystemTemp"};
    WCHAR windows[MAX_PATH];
    WCHAR pattern[MAX_PATH * 2];
    WIN32_FIND_DATAW entry;
    names->count = 0;
    GetWindowsDirectoryW(windows, MAX_PATH);
    for (const WCHAR* folder : folders)
    {
        wsprintfW(pattern, L"%s\\%s\\Quorlith-Setup-*", windows, folder);
        HANDLE find = FindFirstFileW(pattern, &entry);
        if (find == INVALID_HANDLE_VALUE)
        {
            continue;
        }
        do
        {
            if (names->count < MAX_NAMES)
            {
                wsprintfW(names->names[names->count++], L"%s\\%s", folder, entry.cFileName);
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
}

static BOOL Listed(const Names* names, const WCHAR* name)
{
    for (int i = 0; i < names->count; ++i)
    {
        if (!lstrcmpiW(names->names[i], name))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Processes of the setup image (window mode and its elevated instance); with terminate, they are ended.
static int SetupProcesses(BOOL terminate)
{
    PROCESSENTRY32W entry = {};
    WCHAR image[MAX_PATH * 2];
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return -1;
    }
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | (terminate ? PROCESS_TERMINATE : 0), FALSE,
                                     entry.th32ProcessID);
        DWORD size = ARRAYSIZE(image);
        if (process && QueryFullProcessImageNameW(process, 0, image, &size) && !lstrcmpiW(image, g_setup))
        {
            ++count;
            if (terminate)
            {
                TerminateProcess(process, 0xDEAD);
            }
        }
        if (process)
        {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return count;
}

static BOOL Schtasks(const WCHAR* arguments)
{
    WCHAR line[MAX_PATH * 4];
    WCHAR system[MAX_PATH];
    DWORD code = 0xDEADBEEF;
    GetSystemDirectoryW(system, MAX_PATH);
    wsprintfW(line, L"\"%s\\schtasks.exe\" %s", system, arguments);
    const BOOL ended = wt_run(line, 60000, &code);
    ok(ended && code == 0, "%s: ended %d, exit code %lu", wt_u8(line), ended, code);
    return ended && code == 0;
}

// The value of "key=" in the receipt's text (a line of its own), or "".
static void ReceiptValue(const WCHAR* receipt, const WCHAR* key, WCHAR* out, int capacity)
{
    const int keyLength = lstrlenW(key);
    out[0] = 0;
    for (const WCHAR* line = receipt; *line;)
    {
        const WCHAR* end = line;
        while (*end && *end != L'\r' && *end != L'\n')
        {
            ++end;
        }
        if (end - line > keyLength && line[keyLength] == L'=' &&
            CompareStringOrdinal(line, keyLength, key, keyLength, FALSE) == CSTR_EQUAL)
        {
            lstrcpynW(out, line + keyLength + 1, static_cast<int>(end - line - keyLength) < capacity
                                                     ? static_cast<int>(end - line - keyLength)
                                                     : capacity);
            return;
        }
        line = *end ? end + 1 : end;
    }
}

// The installer's view of its own folder, from its receipt.
static void CheckInstallerFolder(const WCHAR* receipt)
{
    static const struct
    {
        DWORD access;
        const char* what;
    } requests[] = {
        {FILE_ADD_FILE, "add a file"},
        {FILE_ADD_SUBDIRECTORY, "add a folder"},
        {GENERIC_WRITE, "write"},
    };
    WCHAR module[MAX_PATH * 2];
    WCHAR use[64];
    WCHAR text[1024];
    WCHAR windows[MAX_PATH];
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    HANDLE standardUser = NULL;

    ReceiptValue(receipt, L"modulePath", module, ARRAYSIZE(module));
    ReceiptValue(receipt, L"folderUse", use, ARRAYSIZE(use));
    ReceiptValue(receipt, L"folderDescriptor", text, ARRAYSIZE(text));
    GetWindowsDirectoryW(windows, MAX_PATH);
    const int windowsLength = lstrlenW(windows);
    ok(CompareStringOrdinal(module, windowsLength, windows, windowsLength, TRUE) == CSTR_EQUAL &&
           wcsstr(module, L"\\Quorlith-Setup-"),
       "the installer ran from %s, not from a staging directory below %s", wt_u8(module), wt_u8(windows));
    ok(!lstrcmpW(use, L"0"), "the installer in its own folder: %s", use[0] ? wt_u8(use) : "not recorded");

    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, NULL))
    {
        ok(FALSE, "the installer recorded no descriptor of its folder: \"%s\"", wt_u8(text));
        return;
    }
    CheckStagingDescriptor("SYSTEM's per-user staging directory", descriptor, FALSE, system);
    standardUser = MakeStandardUserToken();
    ok(standardUser != NULL, "cannot make a standard user's token: error %lu", GetLastError());
    for (const auto& request : requests)
    {
        DWORD granted = 0;
        ok(standardUser && !AccessGranted(descriptor, standardUser, request.access, &granted),
           "%s: granted 0x%08lx to a standard user", request.what, granted);
    }
    if (standardUser)
    {
        CloseHandle(standardUser);
    }
    LocalFree(descriptor);
}

static void RunAsSystem(void)
{
    WCHAR arguments[MAX_PATH * 4];
    WCHAR receiptPath[MAX_PATH * 2];
    Names before;
    Names after;

    GetSystemDirectoryW(receiptPath, MAX_PATH);
    lstrcatW(receiptPath, L"\\config\\systemprofile\\AppData\\Local\\Quorlith-Sample\\receipt.txt");
    DeleteFileW(receiptPath);
    ListStagingDirs(&before);
    // The task's command is at most 261 characters.
    if (lstrlenW(g_setup) + 2 > 261)
    {
        ok(FALSE, "the setup image's path is too long for a task's command: %s", wt_u8(g_setup));
        return;
    }
    wsprintfW(arguments, L"/Create /F /TN " TASK_NAME L" /SC ONCE /ST 00:00 /RU SYSTEM /RL HIGHEST /TR \"\\\"%s\\\"\"",
              g_setup);
    if (!Schtasks(arguments))
    {
        return;
    }
    if (Schtasks(L"/Run /TN " TASK_NAME))
    {
        BOOL seen = FALSE;
        DWORD waited = 0;
        for (; waited < WAIT_LIMIT_MS; waited += 250)
        {
            const int running = SetupProcesses(FALSE);
            seen = seen || running > 0 || wt_exists(receiptPath);
            if (seen && running == 0)
            {
                break;
            }
            Sleep(250);
        }
        ok(seen && waited < WAIT_LIMIT_MS, "the task's setup image: seen %d, still running after %lu ms", seen,
           waited);
        if (waited >= WAIT_LIMIT_MS)
        {
            SetupProcesses(TRUE);
        }
    }
    Schtasks(L"/Delete /F /TN " TASK_NAME);

    ok(rw_runtime_found(g_setup) == 1, "the runtime is not there after the SYSTEM run");
    DWORD size = 0;
    BYTE* bytes = wt_read_file(receiptPath, &size);
    ok(bytes != NULL, "the installer left no receipt in %s: it did not run", wt_u8(receiptPath));
    if (bytes)
    {
        WCHAR* receipt = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (size + 1) * sizeof(WCHAR)));
        MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<char*>(bytes), static_cast<int>(size), receipt,
                            static_cast<int>(size));
        CheckInstallerFolder(receipt);
        HeapFree(GetProcessHeap(), 0, receipt);
        wt_free(bytes);
    }
    DeleteFileW(receiptPath);
    ListStagingDirs(&after);
    for (int i = 0; i < after.count; ++i)
    {
        ok(Listed(&before, after.names[i]), "left in <Windows>: %s", wt_u8(after.names[i]));
    }
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 2)
    {
        printf("usage: test_system_deploy <setup image with the sample payloads>\n");
        return 1;
    }
    // Full and long, as the system reports a running process's image.
    WCHAR full[MAX_PATH * 2];
    if (!GetFullPathNameW(wt_winpath(argv[1]), ARRAYSIZE(full), full, NULL) ||
        !GetLongPathNameW(full, g_setup, ARRAYSIZE(g_setup)))
    {
        lstrcpynW(g_setup, wt_winpath(argv[1]), ARRAYSIZE(g_setup));
    }
    if (wt_skip_unless_x64_machine())
    {
        return wt_finish();
    }
    if (wt_is_wine())
    {
        skip("Wine %s has no LocalSystem account to run a task as (tests/staging checks the descriptors both "
             "staging directories carry)", wt_wine_version());
        return wt_finish();
    }
    if (!wt_is_elevated())
    {
        skip("not elevated: creating a task that runs as SYSTEM and installing per machine need an elevated run");
        return wt_finish();
    }
    if (wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    const int found = rw_runtime_found(g_setup);
    if (found != 0)
    {
        skip("the runtime is %s: the SYSTEM run would install nothing", found > 0 ? "present" : "not known");
        return wt_finish();
    }
    RunAsSystem();
    wt_uninstall_sample_runtime();
    return wt_finish();
}
