// The installer check mode in this process, against the fault shim. The user's temporary directory and
// Program Files point into a scratch directory, so staging directories and runtime presence belong to the
// test. Where the command line handed to the installer is examined, CreateProcessW is failed on purpose:
// the shim has recorded the command line by then and nothing is started.
#include "wtest.h"
#include "shim.h"
#include "common/state.h"
#include "entry/modes.h"

static WCHAR g_scratch[MAX_PATH * 4];
static WCHAR g_temp[MAX_PATH * 4];
static WCHAR g_noRuntime[MAX_PATH * 4];
static WCHAR g_runtime[MAX_PATH * 4];

static DWORD RunCheck(const WCHAR* param, const WCHAR* programFiles)
{
    g_stagingDir[0] = 0;
    g_installerPath[0] = 0;
    ShimSetTempPath(g_temp);
    ShimSetProgramFiles(programFiles);
    return RunInstallerCheck(param);
}

static void TestRuntimeAbsent(void)
{
    ShimReset();
    const DWORD code = RunCheck(L"C:\\windows", g_noRuntime);
    ok(code == 1, "runtime absent: exit code %lu", code);
    ok(ShimCalls(SHIM_FindResourceW) == 0 && ShimCalls(SHIM_BCryptCreateHash) == 0,
       "runtime absent: payloads not even verified (%ld resources, %ld hashes)", ShimCalls(SHIM_FindResourceW),
       ShimCalls(SHIM_BCryptCreateHash));
    ok(ShimCalls(SHIM_CreateDirectoryW) == 0 && ShimCalls(SHIM_CreateProcessW) == 0,
       "runtime absent: nothing made, nothing started");
}

// Each failure before the installer starts ends with 1 and leaves nothing in the temporary directory; a
// failed start passes its own error code on.
static void TestFailures(void)
{
    static const struct
    {
        ShimCall call;
        LONG nth;
        DWORD error;
        DWORD expected;
        const char* what;
    } cases[] = {
        {SHIM_HeapAlloc, 1, 0, 1, "argument buffer not allocated"},
        {SHIM_BCryptHashData, 1, 0, 1, "payload verification fails"},
        {SHIM_CreateDirectoryW, 1, ERROR_ACCESS_DENIED, 1, "staging directory not made"},
        {SHIM_CreateFileW, 1, ERROR_ACCESS_DENIED, 1, "installer file not created"},
        {SHIM_WriteFile, 1, ERROR_DISK_FULL, 1, "installer not written (full volume)"},
        {SHIM_CreateProcessW, 1, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, "installer not started"},
    };
    for (const auto& c : cases)
    {
        ShimReset();
        ShimFail(c.call, c.nth, c.error);
        const DWORD code = RunCheck(L"C:\\windows", g_runtime);
        ok(code == c.expected, "%s: exit code %lu, expected %lu", c.what, code, c.expected);
        ok(wt_count_entries(g_temp, L"") == 0, "%s: %d entries left in temp", c.what, wt_count_entries(g_temp, L""));
        if (c.call == SHIM_HeapAlloc || c.call == SHIM_BCryptHashData)
        {
            ok(ShimCalls(SHIM_CreateDirectoryW) == 0, "%s: no staging directory attempted", c.what);
        }
    }
    ShimReset();
    ShimShortWrite(1);
    const DWORD code = RunCheck(L"C:\\windows", g_runtime);
    ok(code == 1 && wt_count_entries(g_temp, L"") == 0, "short write: exit code %lu, %d entries in temp", code,
       wt_count_entries(g_temp, L""));
}

// The parameter reaches the installer as exactly one argument, whatever it holds.
static void TestArgumentQuoting(void)
{
    static WCHAR longParam[2001];
    for (int i = 0; i < 2000; ++i)
    {
        longParam[i] = static_cast<WCHAR>(L'a' + i % 26);
    }
    longParam[1500] = L' ';
    static const struct
    {
        const WCHAR* param;
        const WCHAR* quoted;   // as it must appear on the command line; NULL: only the round trip is checked
        const char* what;
    } cases[] = {
        {L"C:\\Program Files\\Quorlith\\project.qrl", L"\"C:\\Program Files\\Quorlith\\project.qrl\"", "spaces"},
        {L"C:\\some dir\\", L"\"C:\\some dir\\\\\"", "trailing backslash"},
        {L"C:\\a\\\\", L"\"C:\\a\\\\\\\\\"", "two trailing backslashes"},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\"", "double quotes"},
        {L"a\\\"b", L"\"a\\\\\\\"b\"", "backslash before a quote"},
        {L"", L"\"\"", "empty"},
        {L"\\\\server\\share\\x y", L"\"\\\\server\\share\\x y\"", "UNC path"},
        {longParam, NULL, "2,000 characters"},
    };
    static WCHAR expected[4096];
    for (const auto& c : cases)
    {
        ShimReset();
        ShimFail(SHIM_CreateProcessW, SHIM_EVERY, ERROR_FILE_NOT_FOUND);
        RunCheck(c.param, g_runtime);
        const WCHAR* line = ShimLastCreateProcess()->commandLine;
        if (c.quoted)
        {
            wsprintfW(expected, L"\"%s\" --check %s", g_installerPath, c.quoted);
            ok(lstrcmpW(line, expected) == 0, "%s: command line %s", c.what, wt_u8(line));
        }
        int count = 0;
        WCHAR** argv = CommandLineToArgvW(line, &count);
        ok(argv && count == 3 && lstrcmpW(argv[1], L"--check") == 0 && lstrcmpW(argv[2], c.param) == 0,
           "%s: read back as %d arguments, third %.60s (%d characters)", c.what, count,
           argv && count > 2 ? wt_u8(argv[2]) : "-", argv && count > 2 ? lstrlenW(argv[2]) : -1);
        ok(argv && count > 0 && lstrcmpW(argv[0], g_installerPath) == 0, "%s: program %s", c.what,
           argv && count > 0 ? wt_u8(argv[0]) : "-");
        LocalFree(argv);
        ok(wt_count_entries(g_temp, L"") == 0, "%s: nothing left in temp", c.what);
    }
}

int wmain(void)
{
    wt_make_temp_dir(L"entry-installer-check", g_scratch);
    wsprintfW(g_temp, L"%s\\temp\\", g_scratch);
    CreateDirectoryW(g_temp, NULL);
    wsprintfW(g_noRuntime, L"%s\\empty", g_scratch);
    CreateDirectoryW(g_noRuntime, NULL);
    wsprintfW(g_runtime, L"%s\\ready", g_scratch);
    wt_make_runtime_tree(g_runtime);

    TestRuntimeAbsent();
    TestFailures();
    TestArgumentQuoting();

    ShimReset();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
