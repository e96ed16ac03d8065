// Mode selection and the processor check, driven through real command lines on a probe whose modes are
// stubs (mode_probe.cpp).
#include "wtest.h"
#include <string.h>

static const WCHAR* g_probe;
static WCHAR g_scratch[MAX_PATH * 2];

struct Row
{
    const WCHAR* arguments;   // appended to the quoted probe path
    const char* mode;         // expected record, "mode|param"; NULL: nothing may run
    DWORD exitCode;
};

static const Row g_rows[] = {
    {L"", "window|(none)", 0x77},
    {L"--install-runtime", "install-runtime|(none)", 3010},
    {L"--install-runtime extra", "window|(none)", 0x77},
    {L"--verify-bundle report.json", "verify-bundle|report.json", 0},
    {L"--verify-bundle fail", "verify-bundle|fail", 1},
    {L"--verify-bundle \"C:\\a b\\r.json\"", "verify-bundle|C:\\a b\\r.json", 0},
    {L"--verify-bundle \"\"", "verify-bundle|", 0},
    {L"--verify-bundle", "window|(none)", 0x77},
    {L"--check-installer \"C:\\some path\"", "check-installer|C:\\some path", 0xC0DE},
    {L"--check-installer", "window|(none)", 0x77},
    {L"--VERIFY-BUNDLE report.json", "window|(none)", 0x77},
    {L"--Install-Runtime", "window|(none)", 0x77},
    {L"/install-runtime", "window|(none)", 0x77},
    {L"-install-runtime", "window|(none)", 0x77},
    {L"--install-runtime=yes", "window|(none)", 0x77},
    {L"--install", "window|(none)", 0x77},
    {L"--verify-bundle=report.json", "window|(none)", 0x77},
    {L"--verify-bundle a b", "window|(none)", 0x77},
    {L"--check-installer a b c", "window|(none)", 0x77},
    {L"--install-runtime --install-runtime", "window|(none)", 0x77},
    {L"\"--install-runtime\"", "install-runtime|(none)", 3010},
    {L"\"--install-runtime \"", "window|(none)", 0x77},
    {L"\"\"", "window|(none)", 0x77},
    {L"report.json --verify-bundle", "window|(none)", 0x77},
};

// Runs the probe; returns the record it wrote ("" when no mode ran).
static void RunProbe(const WCHAR* arguments, const WCHAR* shim, DWORD* exitCode, char* record, DWORD capacity)
{
    WCHAR commandLine[4096];
    WCHAR recordPath[MAX_PATH * 2];
    WCHAR environment[MAX_PATH * 4];
    wsprintfW(recordPath, L"%s\\mode.txt", g_scratch);
    DeleteFileW(recordPath);
    wsprintfW(commandLine, L"\"%s\" %s", g_probe, arguments);
    wsprintfW(environment, L"QUORLITH_PROBE_OUT=%s\nQUORLITH_SHIM=%s\nQUORLITH_SHIM_LOG=%s\\boxes.txt", recordPath, shim,
              g_scratch);
    *exitCode = 0xDEADBEEF;
    ok(wt_run_ex(commandLine, NULL, environment, 30000, exitCode), "probe %s did not end", wt_u8(arguments));
    DWORD size = 0;
    BYTE* data = wt_read_file(recordPath, &size);
    lstrcpynA(record, data ? reinterpret_cast<char*>(data) : "", static_cast<int>(capacity));
    wt_free(data);
}

static void TestModeTable(void)
{
    for (size_t i = 0; i < ARRAYSIZE(g_rows); ++i)
    {
        DWORD exitCode = 0;
        char record[2048];
        RunProbe(g_rows[i].arguments, L"", &exitCode, record, sizeof(record));
        ok(!strcmp(record, g_rows[i].mode), "[%s] ran %s, expected %s", wt_u8(g_rows[i].arguments), record,
           g_rows[i].mode);
        ok(exitCode == g_rows[i].exitCode, "[%s] exit code %lu, expected %lu", wt_u8(g_rows[i].arguments), exitCode,
           g_rows[i].exitCode);
    }
}

// Only native x86-64 passes; the refusal comes before any mode, command-line modes included. The machine is
// asked twice: GetNativeSystemInfo, then IsWow64Process2, which alone sees through the emulation of x64 on
// ARM64 and whose absence or failure leaves the first answer standing.
static void TestProcessorCheck(void)
{
    static const struct
    {
        const WCHAR* shim;
        BOOL refused;
    } cases[] = {
        {L"arch=9", FALSE},
        {L"arch=0" /* x86 */, TRUE},
        {L"arch=5" /* ARM */, TRUE},
        {L"arch=6" /* IA-64 */, TRUE},
        {L"arch=12" /* ARM64 */, TRUE},
        {L"arch=65534", TRUE},
        {L"fail=GetProcAddress:1" /* no IsWow64Process2 */, FALSE},
        {L"fail=GetProcAddress:1;arch=12", TRUE},
        {L"native=fail", FALSE},
        {L"native=fail;arch=12", TRUE},
        {L"native=0x8664" /* AMD64 */, FALSE},
        {L"native=0xAA64" /* ARM64, while GetNativeSystemInfo says AMD64 */, TRUE},
        {L"native=0x014C" /* x86 */, TRUE},
    };
    static const WCHAR* const commandLines[] = {L"--verify-bundle report.json", L"", L"--install-runtime",
                                                L"--check-installer C:\\"};
    WCHAR boxes[MAX_PATH * 2];
    wsprintfW(boxes, L"%s\\boxes.txt", g_scratch);

    for (size_t i = 0; i < ARRAYSIZE(cases); ++i)
    {
        for (size_t j = 0; j < ARRAYSIZE(commandLines); ++j)
        {
            WCHAR shim[64];
            DWORD exitCode = 0;
            char record[2048];
            wsprintfW(shim, L"%s;capture-messagebox", cases[i].shim);
            DeleteFileW(boxes);
            RunProbe(commandLines[j], shim, &exitCode, record, sizeof(record));
            BYTE* box = wt_read_file(boxes, NULL);
            if (cases[i].refused)
            {
                char expected[256];
                wsprintfA(expected, "%u|Quorlith Setup|This Quorlith installer requires 64-bit Intel or AMD Windows.\n",
                          MB_ICONERROR);
                ok(exitCode == 1, "%s [%s]: exit code %lu", wt_u8(cases[i].shim), wt_u8(commandLines[j]), exitCode);
                ok(!record[0], "%s [%s]: a mode ran: %s", wt_u8(cases[i].shim), wt_u8(commandLines[j]), record);
                ok(box && !strcmp(reinterpret_cast<char*>(box), expected), "%s: box %s", wt_u8(cases[i].shim),
                   box ? reinterpret_cast<char*>(box) : "(none)");
            }
            else
            {
                ok(record[0] != 0, "%s [%s]: no mode ran", wt_u8(cases[i].shim), wt_u8(commandLines[j]));
                ok(!box, "%s: a box was shown: %s", wt_u8(cases[i].shim), box ? reinterpret_cast<char*>(box) : "");
            }
            wt_free(box);
        }
    }
}

// Without an argument vector the mode cannot be known: nothing runs and the status says why.
static void TestNoArgumentVector(void)
{
    DWORD exitCode = 0;
    char record[2048];
    RunProbe(L"--install-runtime", L"fail=CommandLineToArgvW:1", &exitCode, record, sizeof(record));
    ok(exitCode == ERROR_OUTOFMEMORY, "exit code %lu", exitCode);
    ok(!record[0], "a mode ran: %s", record);
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
    {
        ok(0, "usage: entry_dispatch <mode_probe.exe>");
        return wt_finish();
    }
    g_probe = wt_winpath(argv[1]);
    if (!wt_make_temp_dir(L"dispatch", g_scratch))
    {
        ok(0, "no scratch directory");
        return wt_finish();
    }
    TestModeTable();
    TestProcessorCheck();
    TestNoArgumentVector();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
