// The runtime installation mode against the fault shim. The Windows, system and Program Files directories
// are redirected to scratch trees and the host's registry value is faked, so nothing of the prefix is read
// or changed: the test shares its prefix with others. msiexec is a stand-in (fake_msiexec.cpp) copied into
// the scratch system directory; it records its command lines and answers with scripted codes. It reads
// the package out of the staging directory, whose access list admits only SYSTEM and Administrators:
// Wine does not enforce it, and on Windows msiexec runs elevated anyway.
//
//   test_install <stand-in msiexec.exe>
#include "wtest.h"
#include "shim.h"
#include "payload/payload.h"
#include "runtime/runtime.h"

#include <string.h>

static WCHAR g_scratch[MAX_PATH * 2];
static WCHAR g_windows[MAX_PATH * 2];    // fake Windows directory; staging goes to its Temp
static WCHAR g_temp[MAX_PATH * 2];
static WCHAR g_system[MAX_PATH * 2];     // fake system directory holding the stand-in
static WCHAR g_programFiles[MAX_PATH * 2];
static WCHAR g_log[MAX_PATH * 2];
static WCHAR g_keep[MAX_PATH * 2];
static int g_caseNumber;

// Last byte of the fixed random draw: one per case, so a directory left behind by one case cannot make
// the next one fail on a name clash.
static BYTE g_randomTail;

enum Preset
{
    HAS_HOSTFXR = 1,
    HAS_CORE = 2,
    HAS_DESKTOP = 4,
};

// An installed component at 10.0.20, a version the stand-in never writes.
static void Plant(const WCHAR* relative, const WCHAR* marker)
{
    WCHAR path[MAX_PATH * 2];
    wsprintfW(path, L"%s\\%s\\10.0.20\\%s", g_programFiles, relative, marker);
    wt_plant_file(path);
}

static void SetRegistryText(const WCHAR* text)
{
    ShimSetRegistryValue(REG_SZ, text, (lstrlenW(text) + 1) * sizeof(WCHAR));
}

// Fresh Program Files and log for a case, the shim pointed at the scratch trees, the stand-in scripted.
static void Prepare(int preset, const char* codes)
{
    ++g_caseNumber;
    wsprintfW(g_programFiles, L"%s\\pf%d", g_scratch, g_caseNumber);
    wsprintfW(g_log, L"%s\\msiexec%d.log", g_scratch, g_caseNumber);
    wsprintfW(g_keep, L"%s\\keep%d", g_scratch, g_caseNumber);
    CreateDirectoryW(g_programFiles, NULL);
    CreateDirectoryW(g_keep, NULL);
    if (preset & HAS_HOSTFXR)
    {
        Plant(L"dotnet\\host\\fxr", L"hostfxr.dll");
    }
    if (preset & HAS_CORE)
    {
        Plant(L"dotnet\\shared\\Microsoft.NETCore.App", L"coreclr.dll");
    }
    if (preset & HAS_DESKTOP)
    {
        Plant(L"dotnet\\shared\\Microsoft.WindowsDesktop.App", L"PresentationFramework.dll");
    }

    ShimReset();
    ShimSetWindowsDirectory(g_windows);
    ShimSetSystemDirectory(g_system);
    ShimSetProgramFiles(g_programFiles);
    const BYTE random[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, ++g_randomTail};
    ShimSetRandom(random);
    ShimSetRegistryValue(SHIM_NO_KEY, NULL, 0);

    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_LOG", g_log);
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_ROOT", g_programFiles);
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_KEEP", g_keep);
    SetEnvironmentVariableA("QUORLITH_MSIEXEC_CODES", codes);
}

// The staging directory of the current case, as the fixed random draw names it.
static void ExpectedStaging(WCHAR* out)
{
    wsprintfW(out, L"%s\\Quorlith-Setup-67452301%02XCDAB89", g_temp, g_randomTail);
}

static void ExpectedCommandLine(int package, WCHAR* out)
{
    WCHAR staging[MAX_PATH * 2];
    ExpectedStaging(staging);
    wsprintfW(out, L"\"%s\\msiexec.exe\" /i \"%s\\%s\" /qn /norestart", g_system, staging,
              wt_runtime_packages[package]);
}

// The staging directory is gone and nothing else was left in the Windows temporary directory.
static void CheckCleanedUp(const char* what)
{
    ok(wt_count_entries(g_temp, L"Quorlith-Setup-") == 0, "%s: a staging directory was left in %s", what,
       wt_u8(g_temp));
    ok(wt_count_entries(g_temp, L"") == 0, "%s: %d entries left in %s", what, wt_count_entries(g_temp, L""),
       wt_u8(g_temp));
}

static BOOL RuntimeReadyNow(void)
{
    ShimReset();
    ShimSetProgramFiles(g_programFiles);
    return IsRuntimeReady();
}

// The copy the stand-in took while running equals the payload it was given.
static void CheckKeptPackage(const char* what, int call, int package)
{
    WCHAR path[MAX_PATH * 2];
    const BYTE* data = NULL;
    DWORD size = 0;
    DWORD keptSize = 0;
    wsprintfW(path, L"%s\\%d.msi", g_keep, call);
    BYTE* kept = wt_read_file(path, &keptSize);
    ok(MapPayload(PAYLOAD_HOST + package, &data, &size), "%s: payload %d not found", what, PAYLOAD_HOST + package);
    ok(kept && keptSize == size && !memcmp(kept, data, size),
       "%s: msiexec call %d did not find payload %d at its path (kept %lu bytes, payload %lu)", what, call,
       PAYLOAD_HOST + package, keptSize, size);
    wt_free(kept);
}

struct ScriptedCase
{
    const char* what;
    int preset;
    const WCHAR* hostVersion;   // NULL: no sharedhost key
    const char* codes;
    DWORD expected;
    int packages[5];            // packages msiexec is started for, in order; -1 ends the list
    BOOL readyAtEnd;
};

static const ScriptedCase g_scripted[] = {
    {"msiexec 1603 for the host stops the loop", 0, NULL, "1603", 1603, {0, -1}, FALSE},
    {"1638 is accepted and the loop goes on", 0, NULL, "1638+,0+,0+,0+", 0, {0, 1, 2, 3, -1}, TRUE},
    {"3010 once, runtime present at the end", 0, NULL, "0+,3010+,0+,0+", 0, {0, 1, 2, 3, -1}, TRUE},
    {"1602 passes through", 0, NULL, "0+,1602", 1602, {0, 1, -1}, FALSE},
    {"every package 0 but the runtime still absent", 0, NULL, "0,0,0,0", 1603, {0, 1, 2, 3, -1}, FALSE},
    {"3010 for the last package", 0, NULL, "0+,0+,0+,3010+", 0, {0, 1, 2, 3, -1}, TRUE},
    {"a code outside the accepted three", 0, NULL, "0+,0+,1", 1, {0, 1, 2, -1}, FALSE},
    {"only the desktop runtime missing", HAS_HOSTFXR | HAS_CORE, L"10.0.15", "0+", 0, {3, -1}, TRUE},
    {"host 10.0.2 is skipped", HAS_HOSTFXR, L"10.0.2", "0+,0+", 0, {2, 3, -1}, TRUE},
    // Each presence test runs just before its package: what the resolver's run laid down is seen.
    {"later tests see earlier installs", 0, NULL, "0,0*", 0, {0, 1, -1}, TRUE},
    {"desktop present, core missing", HAS_HOSTFXR | HAS_DESKTOP, L"11.0.0", "0+", 0, {2, -1}, TRUE},
};

static void TestScripted(void)
{
    WCHAR lines[8][1024];
    WCHAR expected[1024];
    for (size_t i = 0; i < ARRAYSIZE(g_scripted); ++i)
    {
        const ScriptedCase* c = &g_scripted[i];
        Prepare(c->preset, c->codes);
        if (c->hostVersion)
        {
            SetRegistryText(c->hostVersion);
        }
        const DWORD handles = wt_handle_count();
        const DWORD result = InstallRuntime();
        const int calls = wt_read_lines(g_log, lines, 8);
        int expectedCalls = 0;
        while (expectedCalls < 4 && c->packages[expectedCalls] >= 0)
        {
            ++expectedCalls;
        }

        ok(result == c->expected, "%s: got %lu, expected %lu", c->what, result, c->expected);
        ok(calls == expectedCalls, "%s: msiexec started %d times, expected %d", c->what, calls, expectedCalls);
        for (int k = 0; k < calls && k < expectedCalls && k < 8; ++k)
        {
            ExpectedCommandLine(c->packages[k], expected);
            ok(!lstrcmpW(lines[k], expected), "%s: call %d got [%s], expected [%s]", c->what, k, wt_u8(lines[k]),
               wt_u8(expected));
            CheckKeptPackage(c->what, k, c->packages[k]);
        }
        ok(!RuntimeReadyNow() == !c->readyAtEnd, "%s: runtime ready at the end differs", c->what);
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", c->what, handles, wt_handle_count());
        CheckCleanedUp(c->what);
    }
}

static void TestPresentAtStart(void)
{
    Prepare(HAS_CORE | HAS_DESKTOP, "");
    SetRegistryText(L"10.0.15");
    const DWORD handles = wt_handle_count();
    const DWORD result = InstallRuntime();
    ok(result == 0, "present at start: got %lu", result);
    // Nothing verified, created, read from the registry or started.
    static const ShimCall untouched[] = {SHIM_FindResourceW, SHIM_BCryptHashData, SHIM_CreateDirectoryW,
                                         SHIM_GetSystemDirectoryW, SHIM_RegOpenKeyExW, SHIM_CreateProcessW,
                                         SHIM_CreateFileW, SHIM_GetWindowsDirectoryW};
    for (size_t i = 0; i < ARRAYSIZE(untouched); ++i)
    {
        ok(ShimCalls(untouched[i]) == 0, "present at start: %s called %ld times", ShimName(untouched[i]),
           ShimCalls(untouched[i]));
    }
    ok(!wt_exists(g_log), "present at start: msiexec was started");
    ok(wt_handle_count() == handles, "present at start: handles %lu -> %lu", handles, wt_handle_count());
    CheckCleanedUp("present at start");
}

// Desktop runtime extraction fails after the other three went in. The stand-in's run for the core runtime
// lays down everything, and the desktop presence test is made to miss it (its directory scan fails), so
// the runtime is present at the final test: the extraction failure still decides the result.
static void TestExtractionFailure(void)
{
    WCHAR lines[8][1024];
    Prepare(0, "0+,0+,0*");
    const DWORD handles = wt_handle_count();
    // Scans: the start test (core only), then one per presence test of packages 1 to 3.
    ShimFail(SHIM_FindFirstFileW, 4, ERROR_ACCESS_DENIED);
    // Writes: one new file per package; the fourth is the desktop runtime's.
    ShimFail(SHIM_CreateFileW, 4, ERROR_ACCESS_DENIED);
    const DWORD result = InstallRuntime();
    const LONG scans = ShimCalls(SHIM_FindFirstFileW);
    const int calls = wt_read_lines(g_log, lines, 8);
    ok(result == ERROR_INVALID_DATA, "extraction of 104 failing: got %lu", result);
    ok(calls == 3, "extraction of 104 failing: msiexec started %d times", calls);
    ok(scans == 6, "extraction of 104 failing: %ld directory scans, the final test must have run both", scans);
    ok(RuntimeReadyNow(), "extraction of 104 failing: the runtime should be present at the end");
    ok(wt_handle_count() == handles, "extraction of 104 failing: handles %lu -> %lu", handles, wt_handle_count());
    CheckCleanedUp("extraction of 104 failing");
}

// Failures before msiexec could start: nothing is started and the staging directory, if made, is removed.
static void TestEarlyFailures(void)
{
    static WCHAR tooLong[400];
    static WCHAR longest[400];
    struct
    {
        const char* what;
        ShimCall call;
        LONG nth;
        const WCHAR* system;
        DWORD expected;
        BOOL stagingMade;
    } cases[] = {
        {"staging path allocation", SHIM_HeapAlloc, 1, NULL, ERROR_OUTOFMEMORY, FALSE},
        {"package path allocation", SHIM_HeapAlloc, 2, NULL, ERROR_OUTOFMEMORY, FALSE},
        {"argument text allocation", SHIM_HeapAlloc, 3, NULL, ERROR_OUTOFMEMORY, FALSE},
        {"first payload not found", SHIM_FindResourceW, 1, NULL, ERROR_INVALID_DATA, FALSE},
        {"installer payload not found", SHIM_FindResourceW, 5, NULL, ERROR_INVALID_DATA, FALSE},
        {"hashing fails", SHIM_BCryptHashData, 1, NULL, ERROR_INVALID_DATA, FALSE},
        {"staging directory refused", SHIM_CreateDirectoryW, 1, NULL, ERROR_INVALID_DATA, FALSE},
        {"random draw fails", SHIM_BCryptGenRandom, 1, NULL, ERROR_INVALID_DATA, FALSE},
        {"GetSystemDirectoryW fails", SHIM_GetSystemDirectoryW, 1, NULL, ERROR_INVALID_DATA, TRUE},
        {"system directory of 280 characters", SHIM_CALL_COUNT, 0, tooLong, ERROR_INVALID_DATA, TRUE},
    };
    // C:\ plus backslash-separated segments, 280 characters in all: it does not fit with its terminator.
    lstrcpyW(tooLong, L"C:\\");
    while (lstrlenW(tooLong) < 280)
    {
        lstrcatW(tooLong, lstrlenW(tooLong) % 50 == 49 ? L"\\" : L"s");
    }
    tooLong[280] = 0;
    lstrcpynW(longest, tooLong, 280);   // 279 characters: the longest that fits

    for (size_t i = 0; i < ARRAYSIZE(cases); ++i)
    {
        Prepare(0, "0+,0+,0+,0+");
        if (cases[i].system)
        {
            ShimSetSystemDirectory(cases[i].system);
        }
        const DWORD handles = wt_handle_count();
        if (cases[i].call != SHIM_CALL_COUNT)
        {
            ShimFail(cases[i].call, cases[i].nth, 0);
        }
        const DWORD result = InstallRuntime();
        ok(result == cases[i].expected, "%s: got %lu, expected %lu", cases[i].what, result, cases[i].expected);
        ok(ShimCalls(SHIM_CreateProcessW) == 0 && !wt_exists(g_log), "%s: msiexec was started", cases[i].what);
        ok(ShimCalls(SHIM_RegOpenKeyExW) == 0, "%s: the registry was read", cases[i].what);
        ok(!ShimCalls(SHIM_CreateDirectoryW) == !cases[i].stagingMade || cases[i].call == SHIM_CreateDirectoryW,
           "%s: %ld directories created", cases[i].what, ShimCalls(SHIM_CreateDirectoryW));
        if (cases[i].expected == ERROR_OUTOFMEMORY)
        {
            ok(ShimCalls(SHIM_SHGetFolderPathW) == 0, "%s: went on to detection", cases[i].what);
        }
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", cases[i].what, handles, wt_handle_count());
        CheckCleanedUp(cases[i].what);
    }

    // 279 characters still fit: msiexec is looked for there (and is not found).
    Prepare(0, "");
    ShimSetSystemDirectory(longest);
    const DWORD result = InstallRuntime();
    WCHAR expected[400];
    wsprintfW(expected, L"%s\\msiexec.exe", longest);
    ok(result != 0 && result != ERROR_INVALID_DATA, "system directory of 279 characters: got %lu", result);
    ok(!lstrcmpW(ShimLastCreateProcess()->application, expected), "279 characters: started [%s]",
       wt_u8(ShimLastCreateProcess()->application));
    CheckCleanedUp("system directory of 279 characters");
}

// msiexec failing to start: the start error is the result, the package file is still deleted.
static void TestStartErrors(void)
{
    Prepare(0, "");
    ShimFail(SHIM_CreateProcessW, 1, ERROR_ACCESS_DENIED);
    DWORD result = InstallRuntime();
    ok(result == ERROR_ACCESS_DENIED, "CreateProcessW refused: got %lu", result);
    ok(ShimCalls(SHIM_CreateProcessW) == 1, "CreateProcessW refused: %ld starts", ShimCalls(SHIM_CreateProcessW));
    CheckCleanedUp("CreateProcessW refused");

    // A system directory without msiexec in it.
    WCHAR empty[MAX_PATH * 2];
    wsprintfW(empty, L"%s\\empty system", g_scratch);
    CreateDirectoryW(empty, NULL);
    Prepare(0, "");
    ShimSetSystemDirectory(empty);
    result = InstallRuntime();
    ok(result == ERROR_FILE_NOT_FOUND, "no msiexec in the system directory: got %lu", result);
    CheckCleanedUp("no msiexec in the system directory");

    // A package file that cannot be deleted stays behind, and so does its directory; the result is msiexec's.
    Prepare(0, "1603");
    ShimFail(SHIM_DeleteFileW, 1, ERROR_ACCESS_DENIED);
    result = InstallRuntime();
    ok(result == 1603, "package file not deletable: got %lu", result);
    WCHAR staging[MAX_PATH * 2];
    WCHAR package[MAX_PATH * 2];
    ExpectedStaging(staging);
    wsprintfW(package, L"%s\\dotnet-host.msi", staging);
    ok(wt_exists(package), "package file not deletable: %s is gone", wt_u8(package));
    wt_remove_tree(staging);
    CheckCleanedUp("package file not deletable (after removing it here)");
}

struct HostShape
{
    const char* what;
    DWORD type;
    const void* data;
    DWORD size;
    BOOL present;
};

// The host's "Version" value in its various shapes. msiexec is refused at its start, so the first package
// attempted shows the host's presence: the host's own, or the resolver's when the host counts as present.
static void TestHostShapes(void)
{
    static WCHAR over200[110];
    static WCHAR digits200[100];
    static WCHAR cutAt99[100];
    static WCHAR exactly200[100];
    const DWORD numericTen = 10;
    const DWORD textTen = 0x00300031;   // the bytes 31 00 30 00: "10" without a terminator
    static const WCHAR multi[] = L"10.0.1\0second\0";
    static const WCHAR multiSecond[] = L"x\0" L"12\0";
    static const BYTE odd[] = {'1', 0, '0'};   // "1" and half of a "0"
    static const WCHAR binaryText[] = {L'1', L'1', L'.', L'0'};

    for (int i = 0; i < 101; ++i)
    {
        over200[i] = i < 7 ? L"10.0.15"[i] : L' ';
    }
    over200[101] = 0;   // 204 bytes with the terminator
    for (int i = 0; i < 100; ++i)
    {
        digits200[i] = i < 2 ? L"10"[i] : L'7';
        // Only index 99 would make this a 10: the text that is looked at is 0...01, a 1.
        cutAt99[i] = i == 98 ? L'1' : L'0';
    }
    cutAt99[99] = L'0';
    ZeroMemory(exactly200, sizeof(exactly200));
    lstrcpyW(exactly200, L"10.0.3");

    const HostShape shapes[] = {
        {"REG_SZ 10.0.15", REG_SZ, L"10.0.15", 16, TRUE},
        {"REG_SZ 10.0.2", REG_SZ, L"10.0.2", 14, TRUE},
        {"REG_SZ 11.0.0", REG_SZ, L"11.0.0", 14, TRUE},
        {"REG_SZ 12", REG_SZ, L"12", 6, TRUE},
        {"REG_SZ 9.0.8", REG_SZ, L"9.0.8", 12, FALSE},
        {"REG_SZ empty", REG_SZ, L"", 2, FALSE},
        {"REG_SZ v10", REG_SZ, L"v10", 8, FALSE},
        {"REG_SZ 10.0.15 unterminated", REG_SZ, L"10.0.15", 14, TRUE},
        {"no sharedhost key", SHIM_NO_KEY, NULL, 0, FALSE},
        {"no Version value", SHIM_NO_VALUE, NULL, 0, FALSE},
        {"value of 204 bytes", REG_SZ, over200, 204, FALSE},
        {"exactly 200 bytes with its terminator inside", REG_SZ, exactly200, 200, TRUE},
        {"200 bytes of digits, unterminated", REG_SZ, digits200, 200, TRUE},
        {"index 99 is not looked at", REG_SZ, cutAt99, 200, FALSE},
        {"REG_DWORD 10", REG_DWORD, &numericTen, 4, FALSE},
        {"REG_DWORD holding the text 10", REG_DWORD, &textTen, 4, TRUE},
        {"REG_BINARY text 11.0", REG_BINARY, binaryText, sizeof(binaryText), TRUE},
        {"REG_MULTI_SZ 10.0.1 first", REG_MULTI_SZ, multi, sizeof(multi), TRUE},
        {"REG_MULTI_SZ 12 second", REG_MULTI_SZ, multiSecond, sizeof(multiSecond), FALSE},
        {"odd byte count: the half unit is dropped", REG_BINARY, odd, sizeof(odd), FALSE},
        {"4294967306 saturates instead of wrapping to 10", REG_SZ, L"4294967306", 22, TRUE},
        {"4294967305 saturates instead of wrapping to 9", REG_SZ, L"4294967305", 22, TRUE},
        {"zero-length value", REG_SZ, L"", 0, FALSE},
    };

    for (size_t i = 0; i < ARRAYSIZE(shapes); ++i)
    {
        Prepare(0, "");
        ShimSetRegistryValue(shapes[i].type, shapes[i].data, shapes[i].size);
        ShimFail(SHIM_CreateProcessW, 1, ERROR_ACCESS_DENIED);
        const DWORD handles = wt_handle_count();
        const DWORD result = InstallRuntime();
        WCHAR expected[1024];
        ExpectedCommandLine(shapes[i].present ? 1 : 0, expected);
        ok(result == ERROR_ACCESS_DENIED, "%s: got %lu", shapes[i].what, result);
        ok(!lstrcmpW(ShimLastCreateProcess()->commandLine, expected), "%s: host %s, but msiexec got [%s]",
           shapes[i].what, shapes[i].present ? "present" : "missing", wt_u8(ShimLastCreateProcess()->commandLine));
        ok(ShimCalls(SHIM_RegOpenKeyExW) == 1, "%s: key opened %ld times", shapes[i].what,
           ShimCalls(SHIM_RegOpenKeyExW));
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", shapes[i].what, handles, wt_handle_count());
        CheckCleanedUp(shapes[i].what);
    }

    // The key the test reads, in the 64-bit view.
    HKEY root = NULL;
    WCHAR subKey[256];
    REGSAM access = 0;
    ShimLastRegistryOpen(&root, subKey, &access);
    ok(root == HKEY_LOCAL_MACHINE, "opened under %p", static_cast<void*>(root));
    ok(!lstrcmpW(subKey, L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"), "opened [%s]",
       wt_u8(subKey));
    ok(access == (KEY_READ | KEY_WOW64_64KEY) && access == 0x20119, "access 0x%lx", static_cast<unsigned long>(access));

    // A failing read counts as missing too.
    Prepare(0, "");
    SetRegistryText(L"10.0.15");
    ShimFail(SHIM_RegQueryValueExW, 1, ERROR_ACCESS_DENIED);
    ShimFail(SHIM_CreateProcessW, 1, ERROR_ACCESS_DENIED);
    InstallRuntime();
    WCHAR expected[1024];
    ExpectedCommandLine(0, expected);
    ok(!lstrcmpW(ShimLastCreateProcess()->commandLine, expected), "read failing: msiexec got [%s]",
       wt_u8(ShimLastCreateProcess()->commandLine));
    CheckCleanedUp("read failing");
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
    {
        ok(0, "usage: test_install <stand-in msiexec.exe>");
        return wt_finish();
    }
    if (wt_skip_unless_elevated())
    {
        return wt_finish();
    }
    if (!wt_make_temp_dir(L"install", g_scratch))
    {
        ok(0, "cannot make a scratch directory");
        return wt_finish();
    }
    // A Windows directory of our own keeps the shared prefix's Temp out of the counts; a system directory
    // with a space in its name shows that the msiexec path is quoted.
    wsprintfW(g_windows, L"%s\\windows", g_scratch);
    wsprintfW(g_temp, L"%s\\Temp", g_windows);
    wsprintfW(g_system, L"%s\\system 32", g_scratch);
    CreateDirectoryW(g_windows, NULL);
    CreateDirectoryW(g_temp, NULL);
    CreateDirectoryW(g_system, NULL);
    WCHAR msiexec[MAX_PATH * 2];
    wsprintfW(msiexec, L"%s\\msiexec.exe", g_system);
    if (!CopyFileW(wt_winpath(argv[1]), msiexec, FALSE))
    {
        ok(0, "cannot copy the stand-in %s: %lu", wt_u8(argv[1]), GetLastError());
        return wt_finish();
    }
    ok(wt_handle_count() > 0, "the handle table could not be read, handle checks would prove nothing");

    TestPresentAtStart();
    TestHostShapes();
    TestScripted();
    TestExtractionFailure();
    TestEarlyFailures();
    TestStartErrors();

    ShimReset();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
