// "--install-runtime" on the built executable, in a prefix of its own (the cases install into it).
//
//   test_install_e2e main <QuorlithSetup.exe> <stand-in msiexec.exe>
//       Wine's own msiexec installs the sample packages from a clean prefix and from partial states;
//       then the stand-in takes msiexec's place and answers with the codes under test.
//   test_install_e2e old <image carrying packages at 10.0.14>
//       every package installs, but 10.0.14 is below the required patch level.
//
// On Windows this mode runs elevated behind a consent prompt; Wine has neither prompt nor elevation and
// does not enforce the machine-wide staging directory's access list (SYSTEM and Administrators only).
// That is why a test running as the plain user can start the mode, and why the stand-in can copy the
// package out of that directory.
#include "wtest.h"
#include "pe.h"

#include <shlobj.h>

#include <string.h>

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_scratch[MAX_PATH * 2];
static WCHAR g_programFiles[MAX_PATH];
static WCHAR g_dotnet[MAX_PATH];
static WCHAR g_windowsTemp[MAX_PATH];
static WCHAR g_system[MAX_PATH];
static WCHAR g_log[MAX_PATH * 2];

#define SHAREDHOST_KEY L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
#define RUN_TIMEOUT_MS 90000

// What each sample package lays down, relative to Program Files\dotnet.
static const WCHAR* const g_markers[] = {
    L"dotnet.exe",
    L"host\\fxr\\%s\\hostfxr.dll",
    L"shared\\Microsoft.NETCore.App\\%s\\coreclr.dll",
    L"shared\\Microsoft.WindowsDesktop.App\\%s\\PresentationFramework.dll",
};

static void MarkerPath(int package, const WCHAR* version, WCHAR* out)
{
    WCHAR relative[MAX_PATH];
    wsprintfW(relative, g_markers[package], version);
    wsprintfW(out, L"%s\\%s", g_dotnet, relative);
}

// Installed by a real package: the sample packages carry a non-empty marker file (the stand-in writes
// empty ones).
static BOOL Installed(int package, const WCHAR* version)
{
    WCHAR path[MAX_PATH * 2];
    MarkerPath(package, version, path);
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path, GetFileExInfoStandard, &data) && !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           data.nFileSizeLow > 0;
}

// A component already installed at 10.0.20, a version no sample package carries.
static void Plant(int package)
{
    WCHAR path[MAX_PATH * 2];
    MarkerPath(package, L"10.0.20", path);
    wt_plant_file(path);
}

static void SetHostValue(const void* data, DWORD size)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SHAREDHOST_KEY, 0, NULL, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key,
                        NULL) == ERROR_SUCCESS)
    {
        RegSetValueExW(key, L"Version", 0, REG_SZ, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
}

static BOOL HostValueIs(const WCHAR* expected)
{
    WCHAR value[128] = L"";
    DWORD size = sizeof(value) - sizeof(WCHAR);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, SHAREDHOST_KEY, L"Version", RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, NULL,
                     value, &size) != ERROR_SUCCESS)
    {
        return expected == NULL;
    }
    return expected && !lstrcmpW(value, expected);
}

// Back to a machine without .NET (Wine's installer database may still list the packages; it installs
// them again all the same).
static void ResetMachine(void)
{
    HKEY software = NULL;
    wt_remove_tree(g_dotnet);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &software) == ERROR_SUCCESS)
    {
        RegDeleteTreeW(software, L"dotnet");
        RegCloseKey(software);
    }
    DeleteFileW(g_log);
}

// Runs image --install-runtime; with codes, the stand-in answers in msiexec's place.
static DWORD RunInstall(const WCHAR* image, const char* codes)
{
    WCHAR commandLine[MAX_PATH * 3];
    WCHAR environment[2048] = L"";
    DWORD code = 0xDEADBEEF;
    wsprintfW(commandLine, L"\"%s\" --install-runtime", image);
    if (codes)
    {
        // The product passes its environment on to msiexec.
        wsprintfW(environment, L"QUORLITH_MSIEXEC_LOG=%s\nQUORLITH_MSIEXEC_ROOT=%s\nQUORLITH_MSIEXEC_CODES=%S",
                  g_log, g_programFiles, codes);
    }
    if (!wt_run_ex(commandLine, NULL, environment, RUN_TIMEOUT_MS, &code))
    {
        ok(0, "%s did not end", wt_u8(commandLine));
    }
    return code;
}

static void CheckTempClean(const char* what)
{
    ok(wt_count_staging_dirs() == 0, "%s: %d staging directories left", what, wt_count_staging_dirs());
    int packages = 0;
    for (int i = 0; i < 4; ++i)
    {
        packages += wt_count_entries(g_windowsTemp, wt_runtime_packages[i]);
    }
    ok(packages == 0, "%s: %d package files left in %s", what, packages, wt_u8(g_windowsTemp));
}

// "<system>\msiexec.exe" /i "<Windows>\Temp\Quorlith-Setup-<16 hex>\<package>" /qn /norestart, with the
// same staging name on every line of one run.
static void CheckCommandLines(const char* what, WCHAR lines[][1024], int count, const int* packages)
{
    WCHAR head[MAX_PATH * 2];
    WCHAR tail[MAX_PATH];
    WCHAR staging[17] = L"";
    wsprintfW(head, L"\"%s\\msiexec.exe\" /i \"%s\\Quorlith-Setup-", g_system, g_windowsTemp);
    const int headLength = lstrlenW(head);
    for (int k = 0; k < count; ++k)
    {
        const WCHAR* line = lines[k];
        wsprintfW(tail, L"\\%s\" /qn /norestart", wt_runtime_packages[packages[k]]);
        BOOL good = !wcsncmp(line, head, headLength) && lstrlenW(line) == headLength + 16 + lstrlenW(tail) &&
                    !lstrcmpW(line + headLength + 16, tail);
        for (int h = 0; good && h < 16; ++h)
        {
            const WCHAR c = line[headLength + h];
            good = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
        }
        if (good && k == 0)
        {
            lstrcpynW(staging, line + headLength, 17);
        }
        good = good && !wcsncmp(line + headLength, staging, 16);
        ok(good, "%s: call %d got [%s], expected [%s<16 hex>%s]", what, k, wt_u8(line), wt_u8(head), wt_u8(tail));
    }
}

// The test runs with the override "msiexec.exe=n,b" (set where the test is registered: Wine reads it from
// the environment the process tree started with, not from a Windows environment block). With Wine's own
// placeholder file in the system directory that still means Wine's msiexec; with the stand-in copied over
// it, the stand-in.
static WCHAR g_standIn[MAX_PATH * 2];
static WCHAR g_wineMsiexec[MAX_PATH * 2];

static void UseStandIn(BOOL standIn)
{
    WCHAR msiexec[MAX_PATH];
    wsprintfW(msiexec, L"%s\\msiexec.exe", g_system);
    if (!g_wineMsiexec[0])
    {
        wsprintfW(g_wineMsiexec, L"%s\\msiexec-wine.exe", g_scratch);
        ok(CopyFileW(msiexec, g_wineMsiexec, FALSE), "cannot keep %s: %lu", wt_u8(msiexec), GetLastError());
    }
    ok(CopyFileW(standIn ? g_standIn : g_wineMsiexec, msiexec, FALSE), "cannot replace %s: %lu", wt_u8(msiexec),
       GetLastError());
}

static void TestRealMsiexec(void)
{
    // A clean machine: all four packages go in through Wine's msiexec.
    ResetMachine();
    DWORD code = RunInstall(g_setup, NULL);
    ok(code == 0, "clean prefix: got %lu", code);
    for (int i = 0; i < 4; ++i)
    {
        ok(Installed(i, L"10.0.15"), "clean prefix: %s did not install", wt_u8(wt_runtime_packages[i]));
    }
    ok(HostValueIs(L"10.0.15"), "clean prefix: the host's Version value is missing");
    CheckTempClean("clean prefix");

    UseStandIn(TRUE);
    // Runtime present: done at once, msiexec never started.
    code = RunInstall(g_setup, "1603,1603,1603,1603");
    ok(code == 0, "second run: got %lu", code);
    ok(!wt_exists(g_log), "second run: msiexec was started");
    CheckTempClean("second run");
    UseStandIn(FALSE);

    // Host 10.0.2, resolver and core runtime present: only the desktop runtime goes in.
    ResetMachine();
    SetHostValue(L"10.0.2", 14);
    Plant(1);
    Plant(2);
    code = RunInstall(g_setup, NULL);
    ok(code == 0, "only the desktop runtime missing: got %lu", code);
    ok(Installed(3, L"10.0.15"), "only the desktop runtime missing: it did not install");
    ok(!Installed(0, NULL) && HostValueIs(L"10.0.2"), "host 10.0.2: the host package was installed");
    ok(!Installed(1, L"10.0.15"), "resolver present: its package was installed");
    ok(!Installed(2, L"10.0.15"), "core runtime present: its package was installed");
    CheckTempClean("only the desktop runtime missing");

    // No sharedhost key: the host goes in, next to the desktop runtime.
    ResetMachine();
    Plant(1);
    Plant(2);
    code = RunInstall(g_setup, NULL);
    ok(code == 0, "no sharedhost key: got %lu", code);
    ok(Installed(0, NULL) && HostValueIs(L"10.0.15"), "no sharedhost key: the host did not install");
    ok(Installed(3, L"10.0.15") && !Installed(1, L"10.0.15") && !Installed(2, L"10.0.15"),
       "no sharedhost key: wrong set of packages installed");
    CheckTempClean("no sharedhost key");

    // A Version value over 200 bytes cannot be read: missing, so the host goes in and rewrites it.
    ResetMachine();
    WCHAR longVersion[121];
    for (int i = 0; i < 120; ++i)
    {
        longVersion[i] = i < 7 ? L"10.0.15"[i] : L' ';
    }
    longVersion[120] = 0;
    SetHostValue(longVersion, sizeof(longVersion));
    Plant(1);
    Plant(2);
    code = RunInstall(g_setup, NULL);
    ok(code == 0, "Version over 200 bytes: got %lu", code);
    ok(Installed(0, NULL) && HostValueIs(L"10.0.15"), "Version over 200 bytes: the host did not install");
    CheckTempClean("Version over 200 bytes");
}

struct ScriptedRun
{
    const char* what;
    const char* codes;
    DWORD expected;
    int packages[5];   // -1 ends
    BOOL readyAtEnd;
};

static void TestStandIn(void)
{
    static const ScriptedRun runs[] = {
        {"1603 for the host", "1603", 1603, {0, -1}, FALSE},
        {"1638 goes on", "1638+,0+,0+,0+", 0, {0, 1, 2, 3, -1}, TRUE},
        {"3010 with the runtime present", "0+,0+,3010+,0+", 0, {0, 1, 2, 3, -1}, TRUE},
        {"1602", "0+,0+,1602", 1602, {0, 1, 2, -1}, FALSE},
        {"installed without error, runtime still absent", "0,0,0,0", 1603, {0, 1, 2, 3, -1}, FALSE},
    };
    WCHAR lines[8][1024];
    WCHAR core[MAX_PATH * 2];
    WCHAR desktop[MAX_PATH * 2];
    for (size_t i = 0; i < ARRAYSIZE(runs); ++i)
    {
        ResetMachine();
        const DWORD code = RunInstall(g_setup, runs[i].codes);
        const int count = wt_read_lines(g_log, lines, 8);
        int expectedCount = 0;
        while (runs[i].packages[expectedCount] >= 0)
        {
            ++expectedCount;
        }
        ok(code == runs[i].expected, "%s: got %lu, expected %lu", runs[i].what, code, runs[i].expected);
        ok(count == expectedCount, "%s: msiexec started %d times, expected %d", runs[i].what, count, expectedCount);
        CheckCommandLines(runs[i].what, lines, count < expectedCount ? count : expectedCount, runs[i].packages);
        MarkerPath(2, L"10.0.15", core);
        MarkerPath(3, L"10.0.15", desktop);
        ok(!(wt_exists(core) && wt_exists(desktop)) == !runs[i].readyAtEnd, "%s: runtime present at the end differs",
           runs[i].what);
        CheckTempClean(runs[i].what);
    }
}

// One byte of payload 101 changed after the build: refused before anything is staged or started.
static void TestAlteredPayload(void)
{
    PeImage image = {};
    PeResource resource = {};
    WCHAR altered[MAX_PATH * 2];
    wsprintfW(altered, L"%s\\QuorlithSetup-altered.exe", g_scratch);
    if (!pe_load(g_setup, &image) || !pe_find_resource(&image, 10 /* RT_RCDATA */, 101, &resource) ||
        resource.size == 0)
    {
        ok(0, "cannot find resource 101 in %s", wt_u8(g_setup));
        pe_free(&image);
        return;
    }
    image.data[resource.offset + resource.size / 2] ^= 0x01;
    ok(pe_save(&image, altered), "cannot write %s", wt_u8(altered));
    pe_free(&image);

    ResetMachine();
    const DWORD code = RunInstall(altered, "0+,0+,0+,0+");
    ok(code == ERROR_INVALID_DATA, "altered payload: got %lu", code);
    ok(!wt_exists(g_log), "altered payload: msiexec was started");
    ok(!wt_exists(g_dotnet), "altered payload: something was installed");
    CheckTempClean("altered payload");
}

static void TestOldRuntime(void)
{
    ResetMachine();
    const DWORD code = RunInstall(g_setup, NULL);
    ok(code == ERROR_INSTALL_FAILURE, "packages at 10.0.14: got %lu", code);
    for (int i = 1; i < 4; ++i)
    {
        ok(Installed(i, L"10.0.14"), "packages at 10.0.14: %s did not install", wt_u8(wt_runtime_packages[i]));
    }
    ok(Installed(0, NULL) && HostValueIs(L"10.0.14"), "packages at 10.0.14: the host did not install");
    CheckTempClean("packages at 10.0.14");
}

int wmain(int argc, WCHAR** argv)
{
    const BOOL old = argc == 3 && !lstrcmpW(argv[1], L"old");
    if (!old && !(argc == 4 && !lstrcmpW(argv[1], L"main")))
    {
        ok(0, "usage: test_install_e2e main <setup> <stand-in> | old <setup>");
        return wt_finish();
    }
    if (wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    lstrcpyW(g_setup, wt_winpath(argv[2]));
    if (!wt_make_temp_dir(L"install-e2e", g_scratch))
    {
        ok(0, "cannot make a scratch directory");
        return wt_finish();
    }
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, g_programFiles);
    wsprintfW(g_dotnet, L"%s\\dotnet", g_programFiles);
    wt_windows_temp(g_windowsTemp);
    GetSystemDirectoryW(g_system, MAX_PATH);
    wsprintfW(g_log, L"%s\\msiexec.log", g_scratch);

    if (old)
    {
        TestOldRuntime();
    }
    else
    {
        lstrcpyW(g_standIn, wt_winpath(argv[3]));
        TestRealMsiexec();
        UseStandIn(TRUE);
        TestStandIn();
        TestAlteredPayload();
    }
    wt_uninstall_sample_runtime();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
