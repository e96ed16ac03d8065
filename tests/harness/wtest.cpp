#include "wtest.h"
#include "environment.h"

#include <bcrypt.h>
#include <stdarg.h>
#include <wchar.h>

static int g_passed;
static int g_failed;
static int g_skipped;

// One line "file:line: <what>: message", flushed at once: a test killed at its time-out still shows what
// went wrong before.
static void Report(const char* file, int line, const char* what, const char* format, va_list args)
{
    const char* base = strrchr(file, '/');
    printf("%s:%d: %s: ", base ? base + 1 : file, line, what);
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
}

void wt_ok(int condition, const char* file, int line, const char* format, ...)
{
    if (condition)
    {
        ++g_passed;
        return;
    }
    ++g_failed;
    va_list args;
    va_start(args, format);
    Report(file, line, "Test failed", format, args);
    va_end(args);
}

void wt_skip(const char* file, int line, const char* format, ...)
{
    ++g_skipped;
    va_list args;
    va_start(args, format);
    Report(file, line, "Tests skipped", format, args);
    va_end(args);
}

int wt_failures(void)
{
    return g_failed;
}

int wt_finish(void)
{
    if (g_skipped)
    {
        printf("%d passed, %d failed, %d skipped\n", g_passed, g_failed, g_skipped);
    }
    else
    {
        printf("%d passed, %d failed\n", g_passed, g_failed);
    }
    fflush(stdout);
    return g_failed > 255 ? 255 : g_failed;
}

typedef const char*(__cdecl* WineVersionFunction)(void);

static WineVersionFunction WineVersion(void)
{
    return reinterpret_cast<WineVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
}

BOOL wt_is_wine(void)
{
    return WineVersion() != NULL;
}

const char* wt_wine_version(void)
{
    const WineVersionFunction version = WineVersion();
    return version ? version() : "";
}

const WCHAR* wt_winpath(const WCHAR* path)
{
    static WCHAR slots[8][1024];
    static int next;
    WCHAR* out = slots[next++ & 7];
    int at = 0;
    const BOOL drive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == L':';
    const BOOL unc = path[0] == L'\\' && path[1] == L'\\';
    if (drive || unc)
    {
        lstrcpynW(out, path, 1024);
        return out;
    }
    if (path[0] == L'/')
    {
        out[at++] = L'Z';
        out[at++] = L':';
    }
    for (const WCHAR* p = path; *p && at < 1023; ++p)
    {
        out[at++] = (*p == L'/') ? L'\\' : *p;
    }
    out[at] = 0;
    return out;
}

const WCHAR* wt_winpath(const char* path)
{
    WCHAR wide[1024];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 1024))
    {
        wide[0] = 0;
    }
    wide[1023] = 0;
    return wt_winpath(wide);
}

const char* wt_u8(const WCHAR* text)
{
    static char slots[8][2048];
    static int next;
    char* out = slots[next++ & 7];
    if (!text)
    {
        return "(null)";
    }
    if (!WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 2048, NULL, NULL))
    {
        out[2047] = 0;
        if (!out[0])
        {
            lstrcpyA(out, "(too long)");
        }
    }
    return out;
}

BOOL wt_make_temp_dir(const WCHAR* tag, WCHAR* out)
{
    WCHAR base[MAX_PATH];
    wt_user_temp(base);
    wsprintfW(out, L"%s\\wt-%s-%lu-%lu", base, tag, GetCurrentProcessId(), GetTickCount());
    wt_remove_tree(out);
    return CreateDirectoryW(out, NULL);
}

void wt_remove_tree(const WCHAR* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY)
    {
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        DeleteFileW(path);
        return;
    }
    WCHAR* pattern = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 32768 * sizeof(WCHAR)));
    WIN32_FIND_DATAW entry;
    wsprintfW(pattern, L"%s\\*", path);
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (lstrcmpW(entry.cFileName, L".") && lstrcmpW(entry.cFileName, L".."))
            {
                lstrcpyW(pattern, path);
                lstrcatW(pattern, L"\\");
                lstrcatW(pattern, entry.cFileName);
                wt_remove_tree(pattern);
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    HeapFree(GetProcessHeap(), 0, pattern);
    RemoveDirectoryW(path);
}

void wt_make_dirs(const WCHAR* path)
{
    WCHAR partial[MAX_PATH * 2];
    for (int i = 3; path[i]; ++i)
    {
        if (path[i] == L'\\')
        {
            lstrcpynW(partial, path, i + 1);
            CreateDirectoryW(partial, NULL);
        }
    }
    CreateDirectoryW(path, NULL);
}

BOOL wt_write_file(const WCHAR* path, const void* data, DWORD size)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD done = 0;
    BOOL written = FALSE;
    if (file != INVALID_HANDLE_VALUE)
    {
        written = WriteFile(file, data, size, &done, NULL) && done == size;
        CloseHandle(file);
    }
    return written;
}

BYTE* wt_read_file(const WCHAR* path, DWORD* size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    BYTE* data = NULL;
    if (file == INVALID_HANDLE_VALUE)
    {
        return NULL;
    }
    DWORD length = GetFileSize(file, NULL);
    DWORD done = 0;
    data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length + 2));
    if (data && (!ReadFile(file, data, length, &done, NULL) || done != length))
    {
        HeapFree(GetProcessHeap(), 0, data);
        data = NULL;
    }
    CloseHandle(file);
    if (data && size)
    {
        *size = length;
    }
    return data;
}

void wt_free(void* block)
{
    if (block)
    {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

BOOL wt_exists(const WCHAR* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

BOOL wt_is_dir(const WCHAR* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int wt_count_entries(const WCHAR* dir, const WCHAR* prefix)
{
    WCHAR pattern[MAX_PATH * 2];
    WIN32_FIND_DATAW entry;
    int count = 0;
    int prefixLength = lstrlenW(prefix);
    wsprintfW(pattern, L"%s\\*", dir);
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    do
    {
        if (!lstrcmpW(entry.cFileName, L".") || !lstrcmpW(entry.cFileName, L".."))
        {
            continue;
        }
        if (CompareStringOrdinal(entry.cFileName, lstrlenW(entry.cFileName) < prefixLength ? lstrlenW(entry.cFileName) : prefixLength, prefix,
                                 prefixLength, FALSE) == CSTR_EQUAL)
        {
            ++count;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return count;
}

BOOL wt_is_listed(const WCHAR* dir, const WCHAR* name)
{
    WCHAR pattern[MAX_PATH * 2];
    WIN32_FIND_DATAW entry;
    wsprintfW(pattern, L"%s\\*", dir);
    HANDLE find = FindFirstFileW(pattern, &entry);
    BOOL listed = FALSE;
    if (find == INVALID_HANDLE_VALUE)
    {
        return FALSE;
    }
    do
    {
        listed = listed || !lstrcmpW(entry.cFileName, name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return listed;
}

BOOL wt_sha256(const void* data, DWORD size, BYTE digest[32])
{
    BCRYPT_ALG_HANDLE provider = NULL;
    BOOL done = FALSE;
    if (BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0)))
    {
        done = BCRYPT_SUCCESS(BCryptHash(provider, NULL, 0, (PUCHAR)data, size, digest, 32));
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    return done;
}

BOOL wt_plant_file(const WCHAR* path)
{
    WCHAR parent[MAX_PATH * 2];
    lstrcpynW(parent, path, ARRAYSIZE(parent));
    WCHAR* last = wcsrchr(parent, L'\\');
    if (last)
    {
        *last = 0;
        wt_make_dirs(parent);
    }
    return wt_write_file(path, "x", 1);
}

int wt_read_lines(const WCHAR* path, WCHAR lines[][1024], int capacity)
{
    DWORD size = 0;
    WCHAR* text = reinterpret_cast<WCHAR*>(wt_read_file(path, &size));
    int count = 0;
    if (!text)
    {
        return 0;
    }
    WCHAR* start = text;
    for (DWORD i = 0; i < size / sizeof(WCHAR); ++i)
    {
        if (text[i] == L'\n')
        {
            text[i] = 0;
            if (count < capacity)
            {
                lstrcpynW(lines[count], start, 1024);
            }
            ++count;
            start = text + i + 1;
        }
    }
    wt_free(text);
    return count;
}

BOOL wt_run_ex(const WCHAR* commandLine, const WCHAR* currentDir, const WCHAR* extraEnv, DWORD timeoutMs,
               DWORD* exitCode)
{
    WCHAR* line = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 65536 * sizeof(WCHAR)));
    WCHAR* environment = wt_environment_block(extraEnv);
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    BOOL ended = FALSE;

    lstrcpynW(line, commandLine, 65536);
    startup.cb = sizeof(startup);
    if (CreateProcessW(NULL, line, NULL, NULL, FALSE, environment ? CREATE_UNICODE_ENVIRONMENT : 0, environment,
                       currentDir, &startup, &process))
    {
        if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        {
            ended = GetExitCodeProcess(process.hProcess, exitCode);
        }
        else
        {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    else
    {
        printf("wt_run: cannot start %s: error %lu\n", wt_u8(commandLine), GetLastError());
    }
    HeapFree(GetProcessHeap(), 0, environment);
    HeapFree(GetProcessHeap(), 0, line);
    return ended;
}

BOOL wt_run(const WCHAR* commandLine, DWORD timeoutMs, DWORD* exitCode)
{
    return wt_run_ex(commandLine, NULL, NULL, timeoutMs, exitCode);
}

// Outside Wine GetProcessHandleCount answers. Wine 8's is a stub returning 0, so there the system handle
// table is read instead (class 16). Windows keeps only 16 bits of the owner's process id in that table,
// so another process could be counted there; under Wine the ids are small and the match is exact.
struct HandleEntry
{
    ULONG owner;
    BYTE type;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};

static DWORD CountHandlesInTable(void)
{
    typedef LONG(WINAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    static QueryFunction query =
        reinterpret_cast<QueryFunction>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
    ULONG size = 1 << 20;
    ULONG needed = 0;
    DWORD count = 0;
    BYTE* table = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size));
    LONG status;
    while ((status = query(16, table, size, &needed)) == static_cast<LONG>(0xC0000004L))
    {
        size *= 2;
        table = static_cast<BYTE*>(HeapReAlloc(GetProcessHeap(), 0, table, size));
    }
    if (status >= 0)
    {
        ULONG entries = *reinterpret_cast<ULONG*>(table);
        const HandleEntry* entry = reinterpret_cast<const HandleEntry*>(table + sizeof(ULONG_PTR));
        for (ULONG i = 0; i < entries; ++i)
        {
            if ((entry[i].owner & 0xFFFF) == (GetCurrentProcessId() & 0xFFFF))
            {
                ++count;
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, table);
    return count;
}

DWORD wt_handle_count(void)
{
    DWORD count = 0;
    if (!wt_is_wine() && GetProcessHandleCount(GetCurrentProcess(), &count))
    {
        return count;
    }
    return CountHandlesInTable();
}

void wt_user_temp(WCHAR* out)
{
    DWORD length = GetTempPathW(MAX_PATH, out);
    if (length && out[length - 1] == L'\\')
    {
        out[length - 1] = 0;
    }
}

void wt_windows_temp(WCHAR* out)
{
    GetWindowsDirectoryW(out, MAX_PATH);
    lstrcatW(out, L"\\Temp");
}

int wt_count_staging_dirs(void)
{
    WCHAR dir[MAX_PATH];
    wt_user_temp(dir);
    int count = wt_count_entries(dir, L"Quorlith-Setup-");
    wt_windows_temp(dir);
    return count + wt_count_entries(dir, L"Quorlith-Setup-");
}

static void AddStagingEntries(const WCHAR* dir, WtStagingSnapshot* snapshot)
{
    WCHAR pattern[MAX_PATH * 2];
    WIN32_FIND_DATAW entry;
    wsprintfW(pattern, L"%s\\Quorlith-Setup-*", dir);
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        if (snapshot->count < WT_MAX_STAGING && lstrlenW(dir) + lstrlenW(entry.cFileName) + 2 <= MAX_PATH)
        {
            wsprintfW(snapshot->paths[snapshot->count++], L"%s\\%s", dir, entry.cFileName);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

void wt_snapshot_staging_dirs(WtStagingSnapshot* snapshot)
{
    WCHAR dir[MAX_PATH];
    snapshot->count = 0;
    wt_user_temp(dir);
    AddStagingEntries(dir, snapshot);
    wt_windows_temp(dir);
    AddStagingEntries(dir, snapshot);
}

int wt_new_staging_dirs(const WtStagingSnapshot* before)
{
    static WtStagingSnapshot now;
    int added = 0;
    wt_snapshot_staging_dirs(&now);
    for (int i = 0; i < now.count; ++i)
    {
        BOOL earlier = FALSE;
        for (int j = 0; j < before->count && !earlier; ++j)
        {
            earlier = !lstrcmpiW(now.paths[i], before->paths[j]);
        }
        if (!earlier)
        {
            printf("left behind: %s\n", wt_u8(now.paths[i]));
            ++added;
        }
    }
    return added;
}

const WCHAR* const wt_runtime_packages[4] = {L"dotnet-host.msi", L"dotnet-hostfxr.msi", L"dotnet-runtime.msi",
                                             L"windowsdesktop-runtime.msi"};

void wt_make_runtime_tree(const WCHAR* root)
{
    WCHAR path[MAX_PATH * 2];
    wsprintfW(path, L"%s\\dotnet\\shared\\Microsoft.NETCore.App\\10.0.15\\coreclr.dll", root);
    wt_plant_file(path);
    wsprintfW(path, L"%s\\dotnet\\shared\\Microsoft.WindowsDesktop.App\\10.0.15\\PresentationFramework.dll", root);
    wt_plant_file(path);
}

void wt_install_sample_runtime(const WCHAR* payloadDir)
{
    WCHAR line[MAX_PATH * 3];
    for (const WCHAR* package : wt_runtime_packages)
    {
        DWORD code = 0xDEADBEEF;
        // Without a UI a needed restart would happen by itself: /norestart turns it into 3010.
        wsprintfW(line, L"msiexec /i \"%s\\%s\" /qn /norestart", payloadDir, package);
        ok(wt_run(line, 120000, &code) && (code == 0 || code == ERROR_SUCCESS_REBOOT_REQUIRED),
           "msiexec %s: exit code %lu", wt_u8(package), code);
    }
}

// The sample packages carry fixed ProductCodes at every release, so one removal serves 10.0.14 and 10.0.15.
const WCHAR* const wt_sample_product_codes[4] = {
    L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1001}", L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1002}",
    L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1003}", L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1004}"};

// The folders the sample packages make below Program Files\\dotnet, deepest first.
static const WCHAR* const g_dotnetFolders[] = {L"shared\\Microsoft.NETCore.App", L"shared\\Microsoft.WindowsDesktop.App",
                                               L"shared", L"host\\fxr", L"host"};

void wt_uninstall_sample_runtime(void)
{
    if (wt_is_wine() && !GetEnvironmentVariableW(L"QUORLITH_TEST_KIT", NULL, 0))
    {
        return;
    }
    WCHAR line[MAX_PATH];
    // Reverse order of installation; 1605 is a package that is not installed, nothing to undo.
    for (int i = 3; i >= 0; --i)
    {
        DWORD code = 0xDEADBEEF;
        wsprintfW(line, L"msiexec /x %s /qn /norestart", wt_sample_product_codes[i]);
        BOOL ended = wt_run(line, 120000, &code);
        ok(ended && (code == 0 || code == ERROR_UNKNOWN_PRODUCT || code == ERROR_SUCCESS_REBOOT_REQUIRED),
           "could not undo: msiexec /x %s: exit code %lu", wt_u8(wt_runtime_packages[i]), code);
    }
    ok(wt_wait_for_installer_idle(120000), "an installation still runs two minutes after the removal");
    // Windows Installer removes the folders it made once they are empty; Wine's leaves them. Only empty
    // ones go: RemoveDirectoryW refuses the others.
    WCHAR dotnet[MAX_PATH];
    WCHAR path[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\dotnet", dotnet, MAX_PATH - 64);
    for (const WCHAR* folder : g_dotnetFolders)
    {
        wsprintfW(path, L"%s\\%s", dotnet, folder);
        RemoveDirectoryW(path);
    }
    RemoveDirectoryW(dotnet);
}

BOOL wt_wait_for_installer_idle(DWORD timeoutMs)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\_MSIExecute");
    const DWORD error = mutex ? ERROR_SUCCESS : GetLastError();
    BOOL idle = FALSE;
    if (!mutex)
    {
        idle = error == ERROR_FILE_NOT_FOUND;
        if (!idle)
        {
            printf("the installer's execution mutex cannot be opened: error %lu\n", error);
        }
        return idle;
    }
    const DWORD start = GetTickCount();
    const DWORD wait = WaitForSingleObject(mutex, timeoutMs);
    idle = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (idle)
    {
        ReleaseMutex(mutex);
    }
    if (!idle || GetTickCount() - start > 1000)
    {
        printf("the installer's execution mutex: %s after %lu ms\n", idle ? "free" : "still held",
               GetTickCount() - start);
    }
    CloseHandle(mutex);
    return idle;
}

BOOL wt_is_elevated(void)
{
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    BOOL elevated = FALSE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
                   elevation.TokenIsElevated;
        CloseHandle(token);
    }
    return elevated;
}

BOOL wt_skip_unless_elevated(void)
{
    // Wine starts a "runas" child at once, with no prompt, and enforces no access list, although Wine 10 gives
    // processes a limited token.
    if (wt_is_elevated() || wt_is_wine())
    {
        return FALSE;
    }
    skip("not elevated: the program starts children through \"runas\" or makes directories only "
         "administrators may open; run it from an elevated prompt");
    return TRUE;
}

// Where .NET is, or an empty string when it is nowhere to be seen.
static void FindDotnet(WCHAR* where /* MAX_PATH */)
{
    WCHAR dotnet[MAX_PATH];
    WCHAR path[MAX_PATH];
    WCHAR version[128];
    DWORD size = sizeof(version);
    ExpandEnvironmentStringsW(L"%ProgramFiles%\\dotnet", dotnet, MAX_PATH - 64);
    wsprintfW(path, L"%s\\dotnet.exe", dotnet);
    BOOL present = wt_exists(path);
    // Empty folders (which an uninstall may leave) do not count: only versions in them.
    for (const WCHAR* folder : g_dotnetFolders)
    {
        wsprintfW(path, L"%s\\%s", dotnet, folder);
        present = present || (lstrcmpW(folder, L"shared") && lstrcmpW(folder, L"host") && wt_count_entries(path, L"") > 0);
    }
    present = present || RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost",
                                      L"Version", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, NULL, version,
                                      &size) == ERROR_SUCCESS;
    lstrcpyW(where, present ? dotnet : L"");
}

BOOL wt_is_dotnet_present(void)
{
    WCHAR where[MAX_PATH];
    FindDotnet(where);
    return where[0] != 0;
}

BOOL wt_skip_if_dotnet_present(void)
{
    WCHAR where[MAX_PATH];
    FindDotnet(where);
    if (where[0])
    {
        skip(".NET is installed here (%s, or the host's Version value under HKLM\\SOFTWARE\\dotnet): the "
             "program installs the sample runtime there and removes it again, which would take the installed one "
             "with it; it needs a machine without .NET", wt_u8(where));
    }
    return where[0] != 0;
}

BOOL wt_skip_unless_x64_machine(void)
{
    typedef BOOL(WINAPI * Wow64Process2)(HANDLE, USHORT*, USHORT*);
    Wow64Process2 query =
        reinterpret_cast<Wow64Process2>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = 0;
    USHORT native = IMAGE_FILE_MACHINE_AMD64;
    if (query && query(GetCurrentProcess(), &process, &native) && native != IMAGE_FILE_MACHINE_AMD64)
    {
        skip("the native machine is 0x%04x, not x64: the setup image refuses it by design, with a box that "
             "waits for someone", native);
        return TRUE;
    }
    return FALSE;
}
