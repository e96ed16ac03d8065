// Odd input and concurrent use on the real executable, in a prefix of its own:
//   - window mode under odd command lines, on a copy whose payload 105 is altered: each run ends quickly
//     in the error box (13), which is answered with OK; nothing is written or installed;
//   - "--verify-bundle" with odd report paths: 0 with the report exactly where the path says, or 1, and
//     never a file anywhere else;
//   - with the sample runtime installed, "--check-installer" with odd parameters: the installer receives
//     the parameter whole and its exit code comes back; nothing is left in the temporary directories;
//   - two "--check-installer" runs started at once get staging directories of their own, and both clean up.
//
//   test_e2e <QuorlithSetup.exe> <sample payload directory>
#include "wtest.h"
#include "setup_driver.h"
#include "report_texts.h"

#include <string.h>

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_scratch[MAX_PATH * 2];   // current directory of every run
static WCHAR g_payloads[MAX_PATH * 2];
static int g_shapes;

// Files and directories below dir, counted through every level.
static int CountTree(const WCHAR* dir)
{
    WCHAR* pattern = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 32768 * sizeof(WCHAR)));
    WIN32_FIND_DATAW entry;
    int count = 0;
    wsprintfW(pattern, L"%s\\*", dir);
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if (!lstrcmpW(entry.cFileName, L".") || !lstrcmpW(entry.cFileName, L".."))
            {
                continue;
            }
            ++count;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                lstrcpyW(pattern, dir);
                lstrcatW(pattern, L"\\");
                lstrcatW(pattern, entry.cFileName);
                count += CountTree(pattern);
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    HeapFree(GetProcessHeap(), 0, pattern);
    return count;
}

// The program, then each argument quoted so that CommandLineToArgvW gives it back unchanged.
static void BuildCommandLine(WCHAR* line, const WCHAR* program, const WCHAR* const* arguments, int count)
{
    wsprintfW(line, L"\"%s\"", program);
    WCHAR* at = line + lstrlenW(line);
    for (int i = 0; i < count; ++i)
    {
        *at++ = L' ';
        *at++ = L'"';
        for (const WCHAR* p = arguments[i];; ++p)
        {
            int backslashes = 0;
            while (*p == L'\\')
            {
                ++backslashes;
                ++p;
            }
            const int copies = *p == 0 ? backslashes * 2 : (*p == L'"' ? backslashes * 2 + 1 : backslashes);
            for (int k = 0; k < copies; ++k)
            {
                *at++ = L'\\';
            }
            if (*p == 0)
            {
                break;
            }
            *at++ = *p;
        }
        *at++ = L'"';
    }
    *at = 0;
}

static DWORD Run(const WCHAR* option, const WCHAR* parameter, const WCHAR* environment)
{
    static WCHAR line[40000];
    const WCHAR* arguments[] = {option, parameter};
    DWORD exitCode = 0xDEADBEEF;
    BuildCommandLine(line, g_setup, arguments, 2);
    ok(wt_run_ex(line, g_scratch, environment, 60000, &exitCode), "%s [%s] did not end", wt_u8(option),
       wt_u8(parameter));
    ++g_shapes;
    return exitCode;
}

// --- Window mode -------------------------------------------------------------------------------------

static void TestWindowShapes(void)
{
    // Window mode on the real image would install the runtime and run the installer; with payload 105
    // altered the worker stops at verification, before anything is written or started. Under Wine each
    // run takes about 4 s after the box is answered (the same with a bare CreateProcessW and BM_CLICK),
    // so only a few shapes go this way; the mode probe covers the rest of mode selection.
    static const WCHAR* const shapes[][4] = {
        {NULL},
        {L"--VERIFY-BUNDLE", L"r.json", NULL},
        {L"\xFF0D\xFF0Dinstall-runtime\x200B", L"a", L"b", NULL},
    };
    WCHAR altered[MAX_PATH * 2];
    static WCHAR line[4096];
    wsprintfW(altered, L"%s\\altered", g_scratch);
    CreateDirectoryW(altered, NULL);
    lstrcatW(altered, L"\\QuorlithSetup.exe");
    if (!CopyWithAlteredResource(g_setup, altered, 105))
    {
        ok(0, "cannot make an altered copy of %s", wt_u8(g_setup));
        return;
    }
    const int before = CountTree(g_scratch);
    for (size_t i = 0; i < ARRAYSIZE(shapes); ++i)
    {
        int count = 0;
        while (count < 4 && shapes[i][count])
        {
            ++count;
        }
        BuildCommandLine(line, altered, shapes[i], count);
        SetupRun run;
        ZeroMemory(&run, sizeof(run));
        run.commandLine = line;
        run.timeoutMs = 30000;
        DriveSetup(&run);
        ++g_shapes;
        ok(run.ended && run.exitCode == 0, "window shape %u [%s]: ended %d, exit code %lu", static_cast<unsigned>(i),
           wt_u8(line), run.ended, run.exitCode);
        ok(run.boxCount == 1 && !lstrcmpW(run.boxCaption, L"Quorlith Setup") && wcsstr(run.boxText, L"(error 13)"),
           "window shape %u: %d boxes, [%s] [%s]", static_cast<unsigned>(i), run.boxCount, wt_u8(run.boxCaption),
           wt_u8(run.boxText));
    }
    ok(CountTree(g_scratch) == before, "window shapes: %d new entries", CountTree(g_scratch) - before);
    ok(wt_count_staging_dirs() == 0, "window shapes: %d staging directories", wt_count_staging_dirs());
}

// --- Report paths ------------------------------------------------------------------------------------

enum ReportOutcome
{
    WRITTEN,     // 0, and the report at the path
    REFUSED,     // 1, and nothing new anywhere
    EITHER,      // one of the two, decided by the platform
    DEVICE,      // 0 or 1, and never a file
};

struct ReportPath
{
    const WCHAR* path;   // relative to the scratch directory unless absolute
    ReportOutcome outcome;
    const char* what;
};

// A report that reads back as the text, through the very path it was written to.
static BOOL ReportAt(const WCHAR* path)
{
    WCHAR full[MAX_PATH * 4];
    if (path[0] == L'\\' || (path[0] && path[1] == L':'))
    {
        lstrcpyW(full, path);
    }
    else
    {
        wsprintfW(full, L"%s\\%s", g_scratch, path);
    }
    DWORD size = 0;
    BYTE* data = wt_read_file(full, &size);
    const BOOL same = data && size == strlen(wt_report_absent) && !memcmp(data, wt_report_absent, size);
    wt_free(data);
    if (same)
    {
        DeleteFileW(full);
    }
    return same;
}

static void TestReportPaths(void)
{
    static WCHAR longPlain[400];
    static WCHAR longPrefixed[700];
    static WCHAR readOnly[MAX_PATH * 2];
    static WCHAR directory[MAX_PATH * 2];
    static WCHAR pipe[64];

    WCHAR sub[MAX_PATH * 2];
    wsprintfW(sub, L"%s\\sub dir", g_scratch);
    CreateDirectoryW(sub, NULL);
    wsprintfW(directory, L"%s\\sub dir", g_scratch);
    wsprintfW(readOnly, L"%s\\read-only.json", g_scratch);
    wt_write_file(readOnly, "old", 3);
    SetFileAttributesW(readOnly, FILE_ATTRIBUTE_READONLY);

    // Beyond MAX_PATH: plainly (whether that works is the platform's affair) and with the \\?\ prefix,
    // below directories made for it.
    wsprintfW(longPrefixed, L"\\\\?\\%s\\", g_scratch);
    for (int level = 0; level < 3; ++level)
    {
        WCHAR segment[120];
        for (int i = 0; i < 100; ++i)
        {
            segment[i] = static_cast<WCHAR>(L'a' + level);
        }
        segment[100] = 0;
        lstrcatW(longPrefixed, segment);
        CreateDirectoryW(longPrefixed, NULL);
        lstrcatW(longPrefixed, L"\\");
    }
    lstrcpyW(longPlain, longPrefixed + 4);
    lstrcatW(longPlain, L"plain.json");
    lstrcatW(longPrefixed, L"prefixed.json");
    wsprintfW(pipe, L"\\\\.\\pipe\\quorlith-sweep-%lu", GetCurrentProcessId());

    const ReportPath paths[] = {
        {L"r\x0301.json", WRITTEN, "combining mark"},
        {L"r\x200B\x200D.json", WRITTEN, "zero-width characters"},
        {L"\x202Enosj.r", WRITTEN, "right-to-left override"},
        {L"\x200F\x05E9.json", WRITTEN, "right-to-left mark and a Hebrew letter"},
        {L"\xFF52\xFF0E\xFF4A\xFF53\xFF4F\xFF4E", WRITTEN, "full-width letters"},
        {L"\xFF0D\xFF0Dverify-bundle", WRITTEN, "full-width hyphens"},
        {L"\xD83D\xDE00.json", WRITTEN, "surrogate pair"},
        {L"r\xD800.json", EITHER, "unpaired high surrogate"},
        {L"r\xDC00.json", EITHER, "unpaired low surrogate"},
        {L"--install-runtime", WRITTEN, "an option as the file name"},
        {L"sub dir\\r.json", WRITTEN, "relative with a space"},
        {L"sub dir/r.json", WRITTEN, "forward slash"},
        {L".\\sub dir\\..\\r.json", WRITTEN, "dot segments"},
        {L"r.json.", WRITTEN, "trailing dot"},
        {L"sub dir", REFUSED, "a directory"},
        {directory, REFUSED, "a directory, absolute"},
        {L".", REFUSED, "the current directory"},
        {L"", REFUSED, "empty"},
        {L"missing\\r.json", REFUSED, "missing directory"},
        {L"r?.json", REFUSED, "wildcard"},
        {L"r<>.json", REFUSED, "reserved characters"},
        {L"NUL", DEVICE, "NUL"},
        {L"CON", DEVICE, "CON"},
        // Not COM1: in a Wine prefix that is the machine's real first serial port.
        {L"COM9", DEVICE, "a serial port that is not there"},
        {L"\\\\.\\NUL", DEVICE, "NUL through the device namespace"},
        {pipe, DEVICE, "a pipe nobody serves"},
        {longPlain, EITHER, "beyond MAX_PATH without a prefix"},
        {longPrefixed, WRITTEN, "beyond MAX_PATH with the \\\\?\\ prefix"},
    };

    for (size_t i = 0; i < ARRAYSIZE(paths); ++i)
    {
        const ReportPath* p = &paths[i];
        const int before = CountTree(g_scratch);
        const DWORD code = Run(L"--verify-bundle", p->path, NULL);
        const BOOL written = code == 0 && p->outcome != DEVICE && ReportAt(p->path);
        const int added = CountTree(g_scratch) - before;
        switch (p->outcome)
        {
        case WRITTEN:
            ok(code == 0 && written, "%s [%s]: exit code %lu, report %s", p->what, wt_u8(p->path), code,
               written ? "in place" : "not where the path says");
            break;
        case REFUSED:
            ok(code == 1, "%s [%s]: exit code %lu", p->what, wt_u8(p->path), code);
            break;
        case EITHER:
            ok((code == 0 && written) || code == 1, "%s [%s]: exit code %lu, report %s", p->what, wt_u8(p->path), code,
               written ? "in place" : "not where the path says");
            break;
        case DEVICE:
            ok(code == 0 || code == 1, "%s: exit code %lu", p->what, code);
            break;
        }
        if (p->outcome == EITHER || p->outcome == DEVICE)
        {
            printf("report path, %s: exit code %lu%s\n", p->what, code, written ? ", report in place" : "");
        }
        // What was written has been read back and deleted: nothing else may have appeared.
        ok(added == 0, "%s [%s]: %d new entries besides the report", p->what, wt_u8(p->path), added);
    }

    // Read-only: refused, and the old content stays. Wine keeps the attribute as Unix permission bits,
    // which root does not have to obey: where the platform lets this test open the file for writing, the
    // report replaces it like any other file.
    HANDLE probe = CreateFileW(readOnly, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    const BOOL enforced = probe == INVALID_HANDLE_VALUE;
    if (!enforced)
    {
        CloseHandle(probe);
    }
    DWORD size = 0;
    const DWORD code = Run(L"--verify-bundle", readOnly, NULL);
    BYTE* data = wt_read_file(readOnly, &size);
    if (enforced)
    {
        ok(code == 1, "read-only report file accepted");
        ok(data && size == 3 && !memcmp(data, "old", 3), "read-only report file changed (%lu bytes)", size);
    }
    else
    {
        ok(code == 0 && data && size == strlen(wt_report_absent) && !memcmp(data, wt_report_absent, size),
           "read-only attribute not enforced: exit code %lu, %lu bytes", code, size);
    }
    wt_free(data);

    // A pipe that is served takes the report like a file would.
    HANDLE server = CreateNamedPipeW(pipe, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
    if (server != INVALID_HANDLE_VALUE)
    {
        char received[512] = "";
        DWORD read = 0;
        ok(Run(L"--verify-bundle", pipe, NULL) == 0, "served pipe: report not written");
        ReadFile(server, received, sizeof(received) - 1, &read, NULL);
        ok(read == strlen(wt_report_absent) && !memcmp(received, wt_report_absent, read),
           "served pipe received %lu bytes: %.200s", read, received);
        CloseHandle(server);
    }
    else
    {
        skip("cannot create the pipe %s: %lu", wt_u8(pipe), GetLastError());
    }
    ok(wt_count_staging_dirs() == 0, "report paths: %d staging directories", wt_count_staging_dirs());
}

// --- Installer check ---------------------------------------------------------------------------------

// The parameter as the installer's receipt (UTF-8) can hold it: what cannot be encoded reads back as
// the replacement character.
static void ThroughUtf8(const WCHAR* text, WCHAR* out, int capacity)
{
    static char utf8[130000];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out, capacity);
}

static void TestCheckParameters(void)
{
    struct CheckParameter
    {
        const WCHAR* parameter;
        DWORD exitCode;   // the sample installer answers 0 when the path exists, 2 otherwise
        const char* what;
    };
    static WCHAR huge[30001];
    static WCHAR existing[MAX_PATH * 2];
    static WCHAR oddExisting[MAX_PATH * 2];
    for (int i = 0; i < 30000; ++i)
    {
        huge[i] = static_cast<WCHAR>(L'a' + i % 26);
    }
    wsprintfW(existing, L"%s\\sub dir", g_scratch);
    wsprintfW(oddExisting, L"%s\\\x202E\x0301\x200B\xFF0D.qrl", g_scratch);
    wt_write_file(oddExisting, "q", 1);

    const CheckParameter parameters[] = {
        {L"", 2, "empty"},
        {L" ", 2, "one space"},
        {L"\"", 2, "a lone quote"},
        {L"\"\"", 2, "two quotes"},
        {L"a\\\\\"b\\", 2, "backslashes before and after a quote"},
        {L"\\\\\\", 2, "only backslashes"},
        {L"--check", 2, "the installer's own option"},
        {L"a\tb", 2, "a tab"},
        {existing, 0, "an existing directory"},
        {L"sub dir", 0, "relative to the current directory"},
        {oddExisting, 0, "an existing file with odd characters"},
        {L"NUL", 0, "NUL"},
        {L"\\\\.\\pipe\\quorlith-none", 2, "a pipe nobody serves"},
        {L"r\xD800.qrl", 2, "an unpaired surrogate"},
        {L"\xFF0D\xFF0D\x200F\x0301", 2, "full-width hyphens and marks"},
        {huge, 2, "30,000 characters"},
    };
    static WCHAR received[32768];
    static WCHAR expected[32768];
    static WCHAR count[16];
    for (size_t i = 0; i < ARRAYSIZE(parameters); ++i)
    {
        const CheckParameter* p = &parameters[i];
        received[0] = count[0] = 0;
        const DWORD code = Run(L"--check-installer", p->parameter, NULL);
        ReadReceiptValue(L"argc", count, ARRAYSIZE(count));
        ReadReceiptValue(L"argv[2]", received, ARRAYSIZE(received));
        ThroughUtf8(p->parameter, expected, ARRAYSIZE(expected));
        ok(code == p->exitCode, "%s: exit code %lu, expected %lu", p->what, code, p->exitCode);
        ok(!lstrcmpW(count, L"3") && !lstrcmpW(received, expected),
           "%s: installer got argc %s, [%.100s] (%d characters)", p->what, wt_u8(count), wt_u8(received),
           lstrlenW(received));
        ok(wt_count_staging_dirs() == 0, "%s: %d staging directories left", p->what, wt_count_staging_dirs());
    }
    DeleteFileW(oddExisting);
}

// --- Two instances at once ---------------------------------------------------------------------------

struct Instance
{
    int index;
    HANDLE start;
    DWORD exitCode;
    BOOL ended;
};

static DWORD WINAPI RunInstance(void* context)
{
    Instance* instance = static_cast<Instance*>(context);
    static WCHAR lines[2][MAX_PATH * 3];
    WCHAR* line = lines[instance->index];
    const WCHAR* arguments[] = {L"--check-installer", g_scratch};
    BuildCommandLine(line, g_setup, arguments, 2);
    WaitForSingleObject(instance->start, INFINITE);
    instance->ended = wt_run_ex(line, g_scratch, L"QUORLITH_SAMPLE_DELAY_MS=4000", 60000, &instance->exitCode);
    return 0;
}

static void TestTwoInstances(void)
{
    WCHAR temp[MAX_PATH];
    wt_user_temp(temp);
    HANDLE start = CreateEventW(NULL, TRUE, FALSE, NULL);
    Instance instances[2] = {{0, start, 0xDEADBEEF, FALSE}, {1, start, 0xDEADBEEF, FALSE}};
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i)
    {
        threads[i] = CreateThread(NULL, 0, RunInstance, &instances[i], 0, NULL);
    }
    SetEvent(start);

    // While both installers wait, each instance must have its own directory holding its own installer.
    int most = 0;
    int withInstaller = 0;
    while (WaitForMultipleObjects(2, threads, FALSE, 50) == WAIT_TIMEOUT)
    {
        const int seen = wt_count_entries(temp, L"Quorlith-Setup-");
        if (seen > most)
        {
            most = seen;
        }
        if (seen == 2)
        {
            WCHAR pattern[MAX_PATH * 2];
            WIN32_FIND_DATAW entry;
            int installers = 0;
            wsprintfW(pattern, L"%s\\Quorlith-Setup-*", temp);
            HANDLE find = FindFirstFileW(pattern, &entry);
            if (find != INVALID_HANDLE_VALUE)
            {
                do
                {
                    WCHAR installer[MAX_PATH * 2];
                    wsprintfW(installer, L"%s\\%s\\Quorlith-Install.exe", temp, entry.cFileName);
                    installers += wt_exists(installer);
                } while (FindNextFileW(find, &entry));
                FindClose(find);
            }
            if (installers > withInstaller)
            {
                withInstaller = installers;
            }
        }
    }
    WaitForMultipleObjects(2, threads, TRUE, 90000);
    for (int i = 0; i < 2; ++i)
    {
        ok(instances[i].ended && instances[i].exitCode == 0, "instance %d: ended %d, exit code %lu", i,
           instances[i].ended, instances[i].exitCode);
        CloseHandle(threads[i]);
    }
    CloseHandle(start);
    ok(most == 2, "two instances at once: at most %d staging directories seen", most);
    ok(withInstaller == 2, "two instances at once: %d directories seen holding an installer", withInstaller);
    ok(wt_count_staging_dirs() == 0, "two instances at once: %d staging directories left", wt_count_staging_dirs());
    printf("two instances: %d staging directories side by side\n", most);
    g_shapes += 2;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 3)
    {
        ok(0, "usage: test_e2e <QuorlithSetup.exe> <sample payload directory>");
        return wt_finish();
    }
    if (wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    if (!wt_make_temp_dir(L"sweep-e2e", g_scratch))
    {
        ok(0, "no scratch directory");
        return wt_finish();
    }
    lstrcpyW(g_payloads, wt_winpath(argv[2]));
    wsprintfW(g_setup, L"%s\\QuorlithSetup.exe", g_scratch);
    if (!CopyFileW(wt_winpath(argv[1]), g_setup, FALSE))
    {
        ok(0, "cannot copy %s", wt_u8(argv[1]));
        return wt_finish();
    }

    DWORD tick = GetTickCount();
    TestWindowShapes();
    printf("window shapes: %lu ms\n", GetTickCount() - tick);
    tick = GetTickCount();
    TestReportPaths();
    printf("report paths: %lu ms\n", GetTickCount() - tick);
    tick = GetTickCount();
    wt_install_sample_runtime(g_payloads);
    printf("sample runtime installed: %lu ms\n", GetTickCount() - tick);
    tick = GetTickCount();
    TestCheckParameters();
    printf("installer check parameters: %lu ms\n", GetTickCount() - tick);
    tick = GetTickCount();
    TestTwoInstances();
    printf("two instances: %lu ms\n", GetTickCount() - tick);
    printf("shapes on the real executable: %d\n", g_shapes);

    wt_uninstall_sample_runtime();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
