// run-kit.exe: runs the test kit's programs on this machine, one at a time, and reports.
//
//   run-kit.exe [--allow-system-changes] [--only <name>[,<name>...]] [--require <name>[,<name>...]]
//               [--require-all] [--list] [--junit <file>] [--timeout-scale <n>]
//
// The kit is the folder this program lies in; tests.list there names the cases (name, flags, time limit,
// program, arguments, tab-separated; "kit:<path>" arguments are paths inside the kit). Each case runs with
// the kit as its current directory, its output in results/<name>.txt beside the JUnit file, in a job object
// so that a case past its time limit is ended with every process it started. A case counts only when it
// printed its closing "N passed, N failed[, N skipped]" line; "0 passed, 0 failed, N skipped" is a case
// this system could not answer, and fails when the case is required on this machine; "0 passed, 0 failed"
// checked nothing and fails. The closing line is
// "N passed, N failed, N skipped"; the exit code is 1 when a case failed or none passed (a run that covered
// nothing is no pass), 2 when the command line or the kit is wrong.
#include <windows.h>
#include <msi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include "wtest.h"

#define MAX_CASES 256
#define MAX_FIELDS 32
#define LINE_CAPACITY 32768
#define SYSTEM_CHANGES_REASON                                                                                    \
    L"changes the machine (installs under Program Files and HKLM, or writes the machine-wide staging "          \
    L"directory): run with --allow-system-changes"
#define ELEVATION_REASON L"changes the machine and needs an elevated (administrator) prompt"
#define MAX_STAGING 128
// How long Windows Installer may stay busy after a case that changes the machine: its work runs in the
// service, outside the case's job, and a timed-out case leaves it running.
#define INSTALLER_IDLE_SECONDS 300

struct Case
{
    WCHAR* fields[MAX_FIELDS];   // name, flags, time limit, program, arguments...
    int count;
};

enum Verdict
{
    VERDICT_PASSED,
    VERDICT_FAILED,
    VERDICT_SKIPPED
};

struct Outcome
{
    Verdict verdict;
    double seconds;
    WCHAR message[1024];   // the failure or the skip reason
    char* output;          // what the program printed (heap, UTF-8 as far as it was)
    DWORD outputSize;
};

struct Options
{
    BOOL allowSystemChanges;
    BOOL list;
    const WCHAR* only;
    const WCHAR* require;
    BOOL requireAll;
    WCHAR junit[MAX_PATH * 2];
    double timeoutScale;
};

// The sample runtime's ProductCodes, and the staging directories' prefix: what a case that changes the
// machine must not leave behind.
static const WCHAR* const g_sampleProducts[4] = {
    L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1001}", L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1002}",
    L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1003}", L"{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D1004}"};
static const WCHAR g_stagingPrefix[] = L"Quorlith-Setup-";

static WCHAR g_kit[MAX_PATH * 2];

static void* Allocate(SIZE_T size)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

static void Release(void* block)
{
    if (block)
    {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

// UTF-8 of a wide string, printed at once.
static void Print(const WCHAR* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* bytes = static_cast<char*>(Allocate(size + 1));
    if (bytes)
    {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, NULL, NULL);
        fputs(bytes, stdout);
        fflush(stdout);
    }
    Release(bytes);
}

// --- The system ------------------------------------------------------------------------------------------

static const WCHAR* MachineName(USHORT machine)
{
    switch (machine)
    {
    case IMAGE_FILE_MACHINE_AMD64: return L"x64";
    case IMAGE_FILE_MACHINE_ARM64: return L"ARM64";
    case IMAGE_FILE_MACHINE_I386: return L"x86";
    default: return L"unknown";
    }
}

// The native machine: IsWow64Process2 (Windows 10 1709) names ARM64 also to this x64 program running
// emulated there; before it, GetNativeSystemInfo.
static USHORT NativeMachine(void)
{
    typedef BOOL(WINAPI * Wow64Process2)(HANDLE, USHORT*, USHORT*);
    Wow64Process2 query =
        reinterpret_cast<Wow64Process2>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2"));
    USHORT process = 0;
    USHORT native = 0;
    if (query && query(GetCurrentProcess(), &process, &native) && native)
    {
        return native;
    }
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture)
    {
    case PROCESSOR_ARCHITECTURE_AMD64: return IMAGE_FILE_MACHINE_AMD64;
    case PROCESSOR_ARCHITECTURE_ARM64: return IMAGE_FILE_MACHINE_ARM64;
    case PROCESSOR_ARCHITECTURE_INTEL: return IMAGE_FILE_MACHINE_I386;
    default: return 0;
    }
}

// GetDpiForSystem (Windows 10 1607) answers 96 to a DPI-unaware caller, so the runner declares itself
// aware first; before 1607 the screen's device context says the same.
static UINT SystemDpi(void)
{
    typedef UINT(WINAPI * DpiForSystem)(void);
    DpiForSystem query =
        reinterpret_cast<DpiForSystem>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForSystem"));
    UINT dpi = 0;
    if (query)
    {
        dpi = query();
    }
    else
    {
        HDC screen = GetDC(NULL);
        if (screen)
        {
            dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
            ReleaseDC(NULL, screen);
        }
    }
    return dpi;
}

static void PrintSystem(void)
{
    typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW*);
    typedef const char*(CDECL * WineVersionFunction)(void);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    GetVersionFunction getVersion = reinterpret_cast<GetVersionFunction>(GetProcAddress(ntdll, "RtlGetVersion"));
    WineVersionFunction wineVersion =
        reinterpret_cast<WineVersionFunction>(GetProcAddress(ntdll, "wine_get_version"));
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    WCHAR line[512];

    wsprintfW(line, L"Test kit: %s\n", g_kit);
    Print(line);
    if (getVersion && getVersion(&version) == 0)
    {
        wsprintfW(line, L"Windows %lu.%lu, build %lu%s%s\n", version.dwMajorVersion, version.dwMinorVersion,
                  version.dwBuildNumber, version.szCSDVersion[0] ? L", " : L"", version.szCSDVersion);
    }
    else
    {
        wsprintfW(line, L"Windows version unknown (RtlGetVersion failed)\n");
    }
    Print(line);
    const USHORT native = NativeMachine();
    wsprintfW(line, L"Native architecture: %s%s\n", MachineName(native),
              native == IMAGE_FILE_MACHINE_AMD64 ? L"" : L" (this x64 kit runs emulated)");
    Print(line);
    const UINT dpi = SystemDpi();
    wsprintfW(line, L"System DPI: %u (%u %% scaling)\n", dpi, (dpi * 100 + 48) / 96);
    Print(line);
    wsprintfW(line, L"Elevated: %s\n", wt_is_elevated() ? L"yes" : L"no");
    Print(line);
    if (wineVersion)
    {
        printf("Wine: %s\n", wineVersion());
        fflush(stdout);
    }
}

// --- The kit's list --------------------------------------------------------------------------------------

// Reads tests.list into cases; the text stays in *text (heap) and the fields point into it.
static BOOL ReadList(WCHAR** text, Case* cases, int* count)
{
    WCHAR path[MAX_PATH * 2];
    HANDLE file = INVALID_HANDLE_VALUE;
    char* bytes = NULL;
    DWORD size = 0;
    DWORD done = 0;
    BOOL read = FALSE;
    int length = 0;

    *text = NULL;
    *count = 0;
    wsprintfW(path, L"%s\\tests.list", g_kit);
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        goto LExit;
    }
    size = GetFileSize(file, NULL);
    bytes = static_cast<char*>(Allocate(size + 1));
    if (!bytes || !ReadFile(file, bytes, size, &done, NULL) || done != size)
    {
        goto LExit;
    }
    length = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), NULL, 0);
    *text = static_cast<WCHAR*>(Allocate((length + 1) * sizeof(WCHAR)));
    if (!*text)
    {
        goto LExit;
    }
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), *text, length);
    for (WCHAR* line = *text; *line && *count < MAX_CASES;)
    {
        WCHAR* end = wcschr(line, L'\n');
        WCHAR* next = end ? end + 1 : line + lstrlenW(line);
        if (end)
        {
            *end = 0;
        }
        Case* c = &cases[*count];
        c->count = 0;
        for (WCHAR* field = line; field && c->count < MAX_FIELDS;)
        {
            WCHAR* tab = wcschr(field, L'\t');
            if (tab)
            {
                *tab = 0;
            }
            WCHAR* cr = wcschr(field, L'\r');
            if (cr)
            {
                *cr = 0;
            }
            if (*field)
            {
                c->fields[c->count++] = field;
            }
            field = tab ? tab + 1 : NULL;
        }
        if (c->count >= 4)
        {
            ++*count;
        }
        line = next;
    }
    read = TRUE;

LExit:
    Release(bytes);
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    return read;
}

// "name" is in the comma-separated list.
static BOOL Listed(const WCHAR* list, const WCHAR* name)
{
    const int length = lstrlenW(name);
    for (const WCHAR* p = list; *p;)
    {
        const WCHAR* comma = wcschr(p, L',');
        const int itemLength = comma ? static_cast<int>(comma - p) : lstrlenW(p);
        if (itemLength == length && !wcsncmp(p, name, length))
        {
            return TRUE;
        }
        p += itemLength + (comma ? 1 : 0);
    }
    return FALSE;
}

// Every name of the comma-separated list is a case of the kit and, with selected, one this run selects;
// names the first that is not.
static BOOL CheckNames(const WCHAR* list, const WCHAR* what, const Case* cases, const BOOL* selected, int count)
{
    WCHAR text[256];
    for (const WCHAR* p = list; *p;)
    {
        const WCHAR* comma = wcschr(p, L',');
        WCHAR name[128];
        const int length = comma ? static_cast<int>(comma - p) + 1 : 128;
        lstrcpynW(name, p, length < 128 ? length : 128);
        int found = -1;
        for (int i = 0; i < count && found < 0; ++i)
        {
            found = lstrcmpW(cases[i].fields[0], name) ? -1 : i;
        }
        if (found < 0 || (selected && !selected[found]))
        {
            wsprintfW(text, found < 0 ? L"run-kit: no %scase %s in the kit\n" : L"run-kit: %scase %s is not run: not in --only\n",
                      what, name);
            Print(text);
            return FALSE;
        }
        p = comma ? comma + 1 : p + lstrlenW(p);
    }
    return TRUE;
}

// --- Command lines ---------------------------------------------------------------------------------------

// Appends one argument as the C runtime and CommandLineToArgvW read it back: quoted when it holds a space,
// a tab or a quote, backslashes doubled only before a quote.
static void AppendArgument(WCHAR* line, int capacity, const WCHAR* argument)
{
    int at = lstrlenW(line);
    const BOOL quote = !*argument || wcspbrk(argument, L" \t\"") != NULL;
    if (at && at < capacity - 1)
    {
        line[at++] = L' ';
    }
    if (quote && at < capacity - 1)
    {
        line[at++] = L'"';
    }
    for (const WCHAR* p = argument; *p && at < capacity - 4; ++p)
    {
        int backslashes = 0;
        while (p[backslashes] == L'\\')
        {
            ++backslashes;
        }
        if (backslashes)
        {
            // Doubled before a quote, or before the closing quote.
            const BOOL doubled = p[backslashes] == L'"' || (quote && !p[backslashes]);
            for (int i = 0; i < backslashes * (doubled ? 2 : 1) && at < capacity - 4; ++i)
            {
                line[at++] = L'\\';
            }
            p += backslashes - 1;
            continue;
        }
        if (*p == L'"')
        {
            line[at++] = L'\\';
        }
        line[at++] = *p;
    }
    if (quote)
    {
        line[at++] = L'"';
    }
    line[at] = 0;
}

// "kit:<path>" as an absolute path inside the kit, with backslashes; anything else unchanged.
static void ExpandArgument(const WCHAR* argument, WCHAR* out, int capacity)
{
    if (wcsncmp(argument, L"kit:", 4))
    {
        lstrcpynW(out, argument, capacity);
        return;
    }
    wsprintfW(out, L"%s\\", g_kit);
    int at = lstrlenW(out);
    for (const WCHAR* p = argument + 4; *p && at < capacity - 1; ++p)
    {
        out[at++] = *p == L'/' ? L'\\' : *p;
    }
    out[at] = 0;
}

// --- What a case must not leave behind -------------------------------------------------------------------

struct MachineState
{
    INSTALLSTATE products[4];
    int staging;                          // entries found; more than MAX_STAGING are counted, not named
    WCHAR stagingNames[MAX_STAGING][MAX_PATH];
};

// Adds the Quorlith-Setup-* entries of one temporary directory, by full path.
static void ReadStaging(const WCHAR* dir, MachineState* state)
{
    WCHAR pattern[MAX_PATH];
    WIN32_FIND_DATAW entry;
    wsprintfW(pattern, L"%s%s*", dir, g_stagingPrefix);
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        if (state->staging < MAX_STAGING)
        {
            // dir leaves 64 characters of MAX_PATH; a longer name is compared by what fits.
            WCHAR* name = state->stagingNames[state->staging];
            lstrcpynW(name, dir, MAX_PATH);
            const int length = lstrlenW(name);
            lstrcpynW(name + length, entry.cFileName, MAX_PATH - length);
        }
        ++state->staging;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// The sample products Windows Installer knows in any state (advertised and absent count: a product that is
// registered at all was not fully removed), and the staging directories of the machine's and this user's
// temporary directories (a deployment as LocalSystem stages in the former, window mode in the latter).
static void ReadMachineState(MachineState* state)
{
    WCHAR machine[MAX_PATH];
    WCHAR user[MAX_PATH];
    for (int i = 0; i < 4; ++i)
    {
        state->products[i] = MsiQueryProductStateW(g_sampleProducts[i]);
    }
    state->staging = 0;
    machine[0] = 0;
    user[0] = 0;
    if (GetWindowsDirectoryW(machine, MAX_PATH - 64))
    {
        lstrcatW(machine, L"\\Temp\\");
        ReadStaging(machine, state);
    }
    const DWORD length = GetTempPathW(MAX_PATH - 64, user);
    if (length && length < MAX_PATH - 64 && lstrcmpiW(user, machine))
    {
        ReadStaging(user, state);
    }
}

static const WCHAR* ProductStateName(INSTALLSTATE state)
{
    switch (state)
    {
    case INSTALLSTATE_DEFAULT: return L"installed";
    case INSTALLSTATE_ADVERTISED: return L"advertised";
    case INSTALLSTATE_ABSENT: return L"registered, absent";
    default: return L"registered";
    }
}

static void AppendPart(WCHAR* out, int capacity, const WCHAR* part)
{
    if (lstrlenW(out) + lstrlenW(part) + 2 < capacity)
    {
        if (out[0])
        {
            lstrcatW(out, L"; ");
        }
        lstrcatW(out, part);
    }
}

// Describes what the case left that was not there before, by name; FALSE when it left nothing.
static BOOL DescribeLeftovers(const MachineState* before, const MachineState* after, WCHAR* out, int capacity)
{
    WCHAR part[MAX_PATH + 96];
    out[0] = 0;
    for (int i = 0; i < 4; ++i)
    {
        if (after->products[i] != INSTALLSTATE_UNKNOWN && before->products[i] == INSTALLSTATE_UNKNOWN)
        {
            wsprintfW(part, L"sample runtime product %s (%s)", g_sampleProducts[i],
                      ProductStateName(after->products[i]));
            AppendPart(out, capacity, part);
        }
    }
    if (before->staging > MAX_STAGING || after->staging > MAX_STAGING)
    {
        // Past what can be compared by name, a count that grew is all there is to go on; an equal count proves
        // nothing either way, so it is not taken as clean.
        wsprintfW(part, L"%d %s* entries before the case and %d after: more than %d cannot be compared by name",
                  before->staging, g_stagingPrefix, after->staging, MAX_STAGING);
        AppendPart(out, capacity, part);
        return TRUE;
    }
    for (int i = 0; i < after->staging; ++i)
    {
        BOOL known = FALSE;
        for (int j = 0; j < before->staging && !known; ++j)
        {
            known = !lstrcmpiW(after->stagingNames[i], before->stagingNames[j]);
        }
        if (!known)
        {
            AppendPart(out, capacity, after->stagingNames[i]);
        }
    }
    return out[0] != 0;
}

// Waits until Windows Installer's execution mutex can be taken, or does not exist: msiexec's work runs in
// its service, outside the case's job, so a case can end (or be ended) while an installation goes on.
static BOOL WaitForInstallerIdle(DWORD limitMs, DWORD* waitedMs, DWORD* error)
{
    const DWORD start = GetTickCount();
    BOOL idle = FALSE;
    *error = 0;
    for (;;)
    {
        // MUTEX_MODIFY_STATE is the right to release it: without it ReleaseMutex fails, and the runner would
        // keep the mutex it took, while the installer service keeps it in being, busy for every later case.
        HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\_MSIExecute");
        if (!mutex)
        {
            // Not there: nothing executes. Any other answer (access denied) leaves the question open.
            *error = GetLastError();
            idle = *error == ERROR_FILE_NOT_FOUND;
            if (!idle)
            {
                break;
            }
        }
        else
        {
            const DWORD wait = WaitForSingleObject(mutex, 0);
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
            {
                ReleaseMutex(mutex);
                idle = TRUE;
            }
            CloseHandle(mutex);
        }
        if (idle || GetTickCount() - start >= limitMs)
        {
            break;
        }
        Sleep(250);
    }
    *waitedMs = GetTickCount() - start;
    return idle;
}

// --- Running one case ------------------------------------------------------------------------------------

// The last closing line of a test program: "N passed, N failed" or "N passed, N failed, N skipped".
static BOOL ReadSummary(const char* output, int* passed, int* failed, int* skipped)
{
    BOOL found = FALSE;
    for (const char* line = output; *line;)
    {
        int p = 0;
        int f = 0;
        int s = 0;
        int used = 0;
        if (sscanf(line, "%d passed, %d failed%n", &p, &f, &used) == 2)
        {
            found = TRUE;
            s = 0;
            sscanf(line + used, ", %d skipped", &s);
            *passed = p;
            *failed = f;
            *skipped = s;
        }
        const char* end = strchr(line, '\n');
        line = end ? end + 1 : line + strlen(line);
    }
    return found;
}

// The reasons of wtest's "<file>:<line>: Tests skipped: <reason>" lines, or its first failure line.
static void CollectLines(const char* output, const char* marker, BOOL all, WCHAR* out, int capacity)
{
    out[0] = 0;
    int at = 0;
    for (const char* line = output; *line;)
    {
        const char* end = strchr(line, '\n');
        const char* stop = end ? end : line + strlen(line);
        const char* found = strstr(line, marker);
        if (found && found < stop)
        {
            const char* from = all ? found + strlen(marker) : line;
            int length = static_cast<int>(stop - from);
            while (length && (from[length - 1] == '\r' || from[length - 1] == ' '))
            {
                --length;
            }
            if (at && at < capacity - 3)
            {
                out[at++] = L';';
                out[at++] = L' ';
            }
            at += MultiByteToWideChar(CP_UTF8, 0, from, length, out + at, capacity - at - 1);
            out[at] = 0;
            if (!all)
            {
                return;
            }
        }
        line = end ? end + 1 : stop;
    }
}

static char* ReadOutput(const WCHAR* path, DWORD* size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    char* data = NULL;
    DWORD done = 0;
    *size = 0;
    if (file == INVALID_HANDLE_VALUE)
    {
        return static_cast<char*>(Allocate(1));
    }
    const DWORD length = GetFileSize(file, NULL);
    data = static_cast<char*>(Allocate(length + 1));
    if (data && ReadFile(file, data, length, &done, NULL))
    {
        data[done] = 0;
        *size = done;
    }
    CloseHandle(file);
    return data ? data : static_cast<char*>(Allocate(1));
}

static void RunCase(const Case* c, const Options* options, const WCHAR* resultsDir, Outcome* outcome)
{
    WCHAR* line = static_cast<WCHAR*>(Allocate(LINE_CAPACITY * sizeof(WCHAR)));
    WCHAR* argument = static_cast<WCHAR*>(Allocate(LINE_CAPACITY * sizeof(WCHAR)));
    WCHAR outputPath[MAX_PATH * 2];
    HANDLE output = INVALID_HANDLE_VALUE;
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE job = NULL;
    PROCESS_INFORMATION process = {};
    STARTUPINFOEXW startup = {};
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = NULL;
    SIZE_T attributesSize = 0;
    HANDLE inherited[2];
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    DWORD exitCode = 0;
    BOOL timedOut = FALSE;
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    const double limitSeconds = _wtoi(c->fields[2]) * options->timeoutScale;

    outcome->verdict = VERDICT_FAILED;
    outcome->message[0] = 0;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!line || !argument)
    {
        lstrcpyW(outcome->message, L"out of memory");
        goto LExit;
    }

    ExpandArgument(c->fields[3], argument, LINE_CAPACITY);
    line[0] = 0;
    if (!wcschr(argument, L'\\'))
    {
        wsprintfW(argument, L"%s\\%s", g_kit, c->fields[3]);
    }
    AppendArgument(line, LINE_CAPACITY, argument);
    for (int i = 4; i < c->count; ++i)
    {
        ExpandArgument(c->fields[i], argument, LINE_CAPACITY);
        AppendArgument(line, LINE_CAPACITY, argument);
    }

    wsprintfW(outputPath, L"%s\\%s.txt", resultsDir, c->fields[0]);
    output = CreateFileW(outputPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    if (output == INVALID_HANDLE_VALUE)
    {
        wsprintfW(outcome->message, L"cannot write %s: error %lu", outputPath, GetLastError());
        goto LExit;
    }
    input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, NULL);
    job = CreateJobObjectW(NULL, NULL);
    // An unhandled exception ends the process at once instead of waiting on an error report for someone.
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
    {
        wsprintfW(outcome->message, L"cannot make a job object: error %lu", GetLastError());
        goto LExit;
    }
    if (input == INVALID_HANDLE_VALUE)
    {
        wsprintfW(outcome->message, L"cannot open NUL for the case's input: error %lu", GetLastError());
        goto LExit;
    }
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    // The case inherits its two standard handles and nothing else the runner holds open (its own output,
    // which a CI step waits on until every holder has closed it).
    inherited[0] = input;
    inherited[1] = output;
    InitializeProcThreadAttributeList(NULL, 1, 0, &attributesSize);
    attributes = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(Allocate(attributesSize));
    if (!attributes || !InitializeProcThreadAttributeList(attributes, 1, 0, &attributesSize))
    {
        Release(attributes);
        attributes = NULL;
        wsprintfW(outcome->message, L"cannot make a process attribute list: error %lu", GetLastError());
        goto LExit;
    }
    startup.lpAttributeList = attributes;
    if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof(inherited),
                                   NULL, NULL))
    {
        wsprintfW(outcome->message, L"cannot limit the handles the case inherits: error %lu", GetLastError());
        goto LExit;
    }
    // Suspended until it is in the job, so that nothing it starts escapes the time limit. The error mode
    // (no critical-error, fault or missing-file boxes) is the runner's, inherited.
    if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, NULL, g_kit,
                        &startup.StartupInfo, &process))
    {
        wsprintfW(outcome->message, L"cannot start %s: error %lu", c->fields[3], GetLastError());
        goto LExit;
    }
    if (!AssignProcessToJobObject(job, process.hProcess))
    {
        wsprintfW(outcome->message, L"cannot put %s in a job object: error %lu", c->fields[3], GetLastError());
        TerminateProcess(process.hProcess, 1);
        goto LExit;
    }
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limitSeconds * 1000)) != WAIT_OBJECT_0)
    {
        timedOut = TRUE;
        TerminateJobObject(job, ERROR_TIMEOUT);
        WaitForSingleObject(process.hProcess, 10000);
    }
    GetExitCodeProcess(process.hProcess, &exitCode);
    // Whatever the case started and did not wait for ends with it.
    TerminateJobObject(job, ERROR_PROCESS_ABORTED);

    CloseHandle(output);
    output = INVALID_HANDLE_VALUE;
    outcome->output = ReadOutput(outputPath, &outcome->outputSize);
    if (timedOut)
    {
        wsprintfW(outcome->message, L"still running after its time limit of %d s: ended", static_cast<int>(limitSeconds));
    }
    else if (!ReadSummary(outcome->output, &passed, &failed, &skipped))
    {
        wsprintfW(outcome->message, L"printed no closing summary (exit code %lu): it did not run to its end", exitCode);
    }
    else if (failed || exitCode)
    {
        CollectLines(outcome->output, ": Test failed: ", FALSE, outcome->message, ARRAYSIZE(outcome->message) - 64);
        WCHAR counts[64];
        wsprintfW(counts, L"%s%d failed, exit code %lu", outcome->message[0] ? L"; " : L"", failed, exitCode);
        lstrcatW(outcome->message, counts);
    }
    else if (!passed && !skipped)
    {
        // Neither a check nor a reason to skip: the case covered nothing, and a pass would say it did.
        wsprintfW(outcome->message, L"printed 0 passed, 0 failed: it checked nothing");
    }
    else if (!passed)
    {
        outcome->verdict = VERDICT_SKIPPED;
        CollectLines(outcome->output, ": Tests skipped: ", TRUE, outcome->message, ARRAYSIZE(outcome->message));
    }
    else
    {
        outcome->verdict = VERDICT_PASSED;
        if (skipped)
        {
            wsprintfW(outcome->message, L"%d passed, %d skipped", passed, skipped);
        }
    }

LExit:
    QueryPerformanceCounter(&end);
    outcome->seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    if (!outcome->output)
    {
        outcome->output = static_cast<char*>(Allocate(1));
    }
    if (process.hThread)
    {
        CloseHandle(process.hThread);
    }
    if (process.hProcess)
    {
        CloseHandle(process.hProcess);
    }
    if (job)
    {
        CloseHandle(job);
    }
    if (attributes)
    {
        DeleteProcThreadAttributeList(attributes);
        Release(attributes);
    }
    if (input != INVALID_HANDLE_VALUE)
    {
        CloseHandle(input);
    }
    if (output != INVALID_HANDLE_VALUE)
    {
        CloseHandle(output);
    }
    Release(argument);
    Release(line);
}

// --- JUnit -----------------------------------------------------------------------------------------------

// Appends text to the growing UTF-8 buffer, XML-escaped when asked; characters XML 1.0 cannot carry are
// dropped.
struct Buffer
{
    char* data;
    SIZE_T size;
    SIZE_T capacity;
};

static void Append(Buffer* buffer, const char* text, SIZE_T length)
{
    if (buffer->size + length + 1 > buffer->capacity)
    {
        SIZE_T capacity = (buffer->capacity + length + 1) * 2;
        char* grown = static_cast<char*>(buffer->data ? HeapReAlloc(GetProcessHeap(), 0, buffer->data, capacity)
                                                      : HeapAlloc(GetProcessHeap(), 0, capacity));
        if (!grown)
        {
            return;
        }
        buffer->data = grown;
        buffer->capacity = capacity;
    }
    memcpy(buffer->data + buffer->size, text, length);
    buffer->size += length;
    buffer->data[buffer->size] = 0;
}

static void AppendText(Buffer* buffer, const char* text)
{
    Append(buffer, text, strlen(text));
}

// Escapes UTF-8 text (invalid sequences become U+FFFD on the way through UTF-16).
static void AppendEscaped(Buffer* buffer, const char* text, int length)
{
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, length, NULL, 0);
    WCHAR* wide = static_cast<WCHAR*>(Allocate((wideLength + 1) * sizeof(WCHAR)));
    char encoded[8];
    if (!wide)
    {
        return;
    }
    MultiByteToWideChar(CP_UTF8, 0, text, length, wide, wideLength);
    for (int i = 0; i < wideLength; ++i)
    {
        const WCHAR ch = wide[i];
        switch (ch)
        {
        case L'&': AppendText(buffer, "&amp;"); continue;
        case L'<': AppendText(buffer, "&lt;"); continue;
        case L'>': AppendText(buffer, "&gt;"); continue;
        case L'"': AppendText(buffer, "&quot;"); continue;
        default: break;
        }
        if ((ch < 0x20 && ch != L'\t' && ch != L'\n' && ch != L'\r') || ch == 0xFFFE || ch == 0xFFFF)
        {
            continue;
        }
        const BOOL pair = ch >= 0xD800 && ch <= 0xDBFF && i + 1 < wideLength && wide[i + 1] >= 0xDC00 &&
                          wide[i + 1] <= 0xDFFF;
        if (ch >= 0xD800 && ch <= 0xDFFF && !pair)
        {
            continue;
        }
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide + i, pair ? 2 : 1, encoded, sizeof(encoded), NULL, NULL);
        Append(buffer, encoded, size);
        i += pair ? 1 : 0;
    }
    Release(wide);
}

static void AppendEscapedWide(Buffer* buffer, const WCHAR* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char* bytes = static_cast<char*>(Allocate(size + 1));
    if (bytes)
    {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, NULL, NULL);
        AppendEscaped(buffer, bytes, static_cast<int>(strlen(bytes)));
    }
    Release(bytes);
}

static BOOL WriteJunit(const WCHAR* path, const Case* cases, const Outcome* outcomes, const BOOL* selected,
                       int count, int failed, int skipped, double seconds)
{
    Buffer xml = {};
    char number[128];
    int total = 0;
    BOOL written = FALSE;
    for (int i = 0; i < count; ++i)
    {
        total += selected[i] ? 1 : 0;
    }
    AppendText(&xml, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    sprintf(number, "<testsuite name=\"QuorlithTestKit\" tests=\"%d\" failures=\"%d\" errors=\"0\" skipped=\"%d\" "
                    "time=\"%.3f\">\n",
            total, failed, skipped, seconds);
    AppendText(&xml, number);
    for (int i = 0; i < count; ++i)
    {
        if (!selected[i])
        {
            continue;
        }
        const Outcome* o = &outcomes[i];
        AppendText(&xml, "  <testcase classname=\"QuorlithTestKit\" name=\"");
        AppendEscapedWide(&xml, cases[i].fields[0]);
        sprintf(number, "\" time=\"%.3f\">\n", o->seconds);
        AppendText(&xml, number);
        if (o->verdict != VERDICT_PASSED)
        {
            AppendText(&xml, o->verdict == VERDICT_FAILED ? "    <failure message=\"" : "    <skipped message=\"");
            AppendEscapedWide(&xml, o->message);
            AppendText(&xml, "\"/>\n");
        }
        AppendText(&xml, "    <system-out>");
        AppendEscaped(&xml, o->output ? o->output : "", o->output ? static_cast<int>(o->outputSize) : 0);
        AppendText(&xml, "</system-out>\n  </testcase>\n");
    }
    AppendText(&xml, "</testsuite>\n");

    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD done = 0;
    if (file != INVALID_HANDLE_VALUE && xml.data)
    {
        written = WriteFile(file, xml.data, static_cast<DWORD>(xml.size), &done, NULL) && done == xml.size;
    }
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    Release(xml.data);
    return written;
}

// The cases that stay out of the kit, from not-in-kit.txt ("name: reason" a line).
static void PrintExcluded(void)
{
    WCHAR path[MAX_PATH * 2];
    DWORD size = 0;
    wsprintfW(path, L"%s\\not-in-kit.txt", g_kit);
    char* text = ReadOutput(path, &size);
    for (char* line = text; line && *line;)
    {
        char* end = strchr(line, '\n');
        if (end)
        {
            *end = 0;
        }
        if (*line)
        {
            printf("not in the kit: %s\n", line);
        }
        line = end ? end + 1 : line + strlen(line);
    }
    fflush(stdout);
    Release(text);
}

// Creates every missing folder of a full path ("C:\\a\\b" or "\\\\server\\share\\a").
static void MakeFolders(const WCHAR* path)
{
    WCHAR partial[MAX_PATH * 2];
    const int length = lstrlenW(path);
    for (int i = 3; i <= length && i < static_cast<int>(ARRAYSIZE(partial)); ++i)
    {
        if (path[i] == L'\\' || !path[i])
        {
            lstrcpynW(partial, path, i + 1);
            CreateDirectoryW(partial, NULL);
        }
    }
}

// --- Main ------------------------------------------------------------------------------------------------

static BOOL ParseOptions(int argc, WCHAR** argv, Options* options)
{
    options->timeoutScale = 1.0;
    wsprintfW(options->junit, L"%s\\results.xml", g_kit);
    for (int i = 1; i < argc; ++i)
    {
        if (!lstrcmpW(argv[i], L"--allow-system-changes"))
        {
            options->allowSystemChanges = TRUE;
        }
        else if (!lstrcmpW(argv[i], L"--list"))
        {
            options->list = TRUE;
        }
        else if (!lstrcmpW(argv[i], L"--only") && i + 1 < argc)
        {
            options->only = argv[++i];
        }
        else if (!lstrcmpW(argv[i], L"--require") && i + 1 < argc && *argv[i + 1])
        {
            options->require = argv[++i];
        }
        else if (!lstrcmpW(argv[i], L"--require-all"))
        {
            options->requireAll = TRUE;
        }
        else if (!lstrcmpW(argv[i], L"--junit") && i + 1 < argc)
        {
            WCHAR* name = NULL;
            if (!GetFullPathNameW(argv[++i], ARRAYSIZE(options->junit), options->junit, &name))
            {
                return FALSE;
            }
        }
        else if (!lstrcmpW(argv[i], L"--timeout-scale") && i + 1 < argc)
        {
            options->timeoutScale = wcstod(argv[++i], NULL);
            if (!(options->timeoutScale > 0))
            {
                return FALSE;
            }
        }
        else
        {
            return FALSE;
        }
    }
    return TRUE;
}

int wmain(int argc, WCHAR** argv)
{
    Options options = {};
    WCHAR* listText = NULL;
    Case* cases = static_cast<Case*>(Allocate(sizeof(Case) * MAX_CASES));
    Outcome* outcomes = static_cast<Outcome*>(Allocate(sizeof(Outcome) * MAX_CASES));
    MachineState* before = static_cast<MachineState*>(Allocate(sizeof(MachineState)));
    MachineState* after = static_cast<MachineState*>(Allocate(sizeof(MachineState)));
    BOOL selected[MAX_CASES] = {};
    WCHAR resultsDir[MAX_PATH * 2];
    WCHAR text[2048];
    int count = 0;
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    int result = 2;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;

    SetProcessDPIAware();
    // No box that waits for a click, in the runner or in any case it starts (children inherit the mode).
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    GetModuleFileNameW(NULL, g_kit, ARRAYSIZE(g_kit));
    *wcsrchr(g_kit, L'\\') = 0;
    if (!cases || !outcomes || !before || !after || !ParseOptions(argc, argv, &options))
    {
        fputs("usage: run-kit.exe [--allow-system-changes] [--only <name>[,<name>...]] [--require <name>[,<name>...]] "
              "[--require-all] [--list] [--junit <file>] [--timeout-scale <n>]\n",
              stderr);
        goto LExit;
    }
    if (!ReadList(&listText, cases, &count))
    {
        wsprintfW(text, L"run-kit: cannot read %s\\tests.list: error %lu\n", g_kit, GetLastError());
        Print(text);
        goto LExit;
    }
    for (int i = 0; i < count; ++i)
    {
        selected[i] = !options.only || Listed(options.only, cases[i].fields[0]);
    }
    // A name that is not in the kit is a mistake, not a pass; so is a required case this run leaves out.
    if ((options.only && !CheckNames(options.only, L"", cases, NULL, count)) ||
        (options.require && !CheckNames(options.require, L"required ", cases, selected, count)))
    {
        goto LExit;
    }
    if (!count && !options.list)
    {
        Print(L"run-kit: tests.list names no case: nothing to run\n");
        goto LExit;
    }
    if (options.list)
    {
        for (int i = 0; i < count; ++i)
        {
            if (selected[i])
            {
                wsprintfW(text, L"%s  (%s s%s)\n", cases[i].fields[0], cases[i].fields[2],
                          lstrcmpW(cases[i].fields[1], L"system-changes") ? L"" : L", changes the machine");
                Print(text);
            }
        }
        PrintExcluded();
        result = 0;
        goto LExit;
    }

    PrintSystem();
    lstrcpyW(resultsDir, options.junit);
    *wcsrchr(resultsDir, L'\\') = 0;
    lstrcatW(resultsDir, L"\\results");
    MakeFolders(resultsDir);
    // Tests that change the machine undo what they did when this is set, also under Wine.
    SetEnvironmentVariableW(L"QUORLITH_TEST_KIT", L"1");

    for (int i = 0; i < count; ++i)
    {
        if (!selected[i])
        {
            continue;
        }
        const Case* c = &cases[i];
        Outcome* o = &outcomes[i];
        const BOOL changes = !lstrcmpW(c->fields[1], L"system-changes");
        if (changes && !options.allowSystemChanges)
        {
            o->verdict = VERDICT_SKIPPED;
            lstrcpyW(o->message, SYSTEM_CHANGES_REASON);
        }
        // Under Wine no consent prompt ever waits and the prefix is the machine, so Wine 10's limited token keeps
        // nothing from running.
        else if (changes && !wt_is_elevated() && !wt_is_wine())
        {
            o->verdict = VERDICT_SKIPPED;
            lstrcpyW(o->message, ELEVATION_REASON);
        }
        else
        {
            WCHAR leftovers[768];
            DWORD waited = 0;
            DWORD error = 0;
            if (changes)
            {
                ZeroMemory(before, sizeof(*before));
                ReadMachineState(before);
            }
            RunCase(c, &options, resultsDir, o);
            if (changes && !WaitForInstallerIdle(static_cast<DWORD>(INSTALLER_IDLE_SECONDS * 1000 * options.timeoutScale),
                                                 &waited, &error))
            {
                o->verdict = VERDICT_FAILED;
                wsprintfW(text, error ? L"cannot tell whether Windows Installer is idle (Global\\_MSIExecute: error %lu)%s%.700s"
                                      : L"Windows Installer still busy %lu s after the case (Global\\_MSIExecute held)%s%.700s",
                          error ? error : waited / 1000, o->message[0] ? L"; " : L"", o->message);
                lstrcpynW(o->message, text, ARRAYSIZE(o->message));
            }
            if (changes)
            {
                ZeroMemory(after, sizeof(*after));
                ReadMachineState(after);
                if (DescribeLeftovers(before, after, leftovers, ARRAYSIZE(leftovers)))
                {
                    o->verdict = VERDICT_FAILED;
                    wsprintfW(text, L"left behind: %s%s%.200s", leftovers, o->message[0] ? L"; " : L"", o->message);
                    lstrcpynW(o->message, text, ARRAYSIZE(o->message));
                }
            }
        }
        // A required case that could not answer here is a gap in what this machine must cover.
        if (o->verdict == VERDICT_SKIPPED && (options.requireAll || (options.require && Listed(options.require, c->fields[0]))))
        {
            o->verdict = VERDICT_FAILED;
            wsprintfW(text, L"required on this machine, but skipped: %.900s", o->message);
            lstrcpynW(o->message, text, ARRAYSIZE(o->message));
        }
        switch (o->verdict)
        {
        case VERDICT_PASSED:
            ++passed;
            wsprintfW(text, L"%s: passed", c->fields[0]);
            break;
        case VERDICT_FAILED:
            ++failed;
            wsprintfW(text, L"%s: failed", c->fields[0]);
            break;
        default:
            ++skipped;
            wsprintfW(text, L"%s: skipped", c->fields[0]);
            break;
        }
        Print(text);
        printf(" (%.1f s)", o->seconds);
        wsprintfW(text, L"%s%.900s\n", o->message[0] ? L": " : L"", o->message);
        Print(text);
    }

    QueryPerformanceCounter(&end);
    if (!WriteJunit(options.junit, cases, outcomes, selected, count, failed, skipped,
                    static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart))
    {
        wsprintfW(text, L"run-kit: cannot write %s: error %lu\n", options.junit, GetLastError());
        Print(text);
        ++failed;
    }
    if (!passed && !failed)
    {
        Print(L"run-kit: no case ran (every selected case skipped): nothing was covered\n");
    }
    printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    fflush(stdout);
    result = failed || !passed ? 1 : 0;

LExit:
    for (int i = 0; outcomes && i < count; ++i)
    {
        Release(outcomes[i].output);
    }
    Release(listText);
    Release(after);
    Release(before);
    Release(outcomes);
    Release(cases);
    return result;
}
