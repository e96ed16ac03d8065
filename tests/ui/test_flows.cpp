// Window mode end to end on the real executable, followed from outside like a user would see it. Each case
// runs in a prefix of its own:
//   present  the sample runtime is installed first; the installer's exit codes and what the user sees
//   missing  a payload altered after the build; then the elevated instance installs the runtime with
//            Wine's real msiexec before the installer runs (Wine never shows the elevation prompt)
//   cancel   close requests during the runtime installation and during the extraction of a 96 MiB
//            installer
//   scaled   the prefix at 200 % (system DPI 192): window, label and texts scaled alike
// Arguments: <case> <setup image> <setup image with the big installer> <sample payload directory>.
#include "wtest.h"
#include "setup_driver.h"
#include "staging_acl.h"

#include <sddl.h>
#include <shlobj.h>

#define TEXT_PREPARING L"Preparing Quorlith\x2026"
#define TEXT_RUNTIME L"Installing the required Microsoft runtime. Please approve the Windows prompt."
#define TEXT_OPENING L"Opening the Quorlith installer\x2026"
#define TEXT_CLOSING L"Finishing the current setup step before closing\x2026"

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_bigSetup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];

// What the four sample packages leave behind: one marker file each and the host's registry value.
static int InstalledPackageCount(void)
{
    static const WCHAR* const markers[] = {
        L"dotnet\\dotnet.exe",
        L"dotnet\\host\\fxr\\10.0.15\\hostfxr.dll",
        L"dotnet\\shared\\Microsoft.NETCore.App\\10.0.15\\coreclr.dll",
        L"dotnet\\shared\\Microsoft.WindowsDesktop.App\\10.0.15\\PresentationFramework.dll",
    };
    WCHAR programFiles[MAX_PATH];
    WCHAR path[MAX_PATH * 2];
    WCHAR version[32] = L"";
    DWORD bytes = sizeof(version);
    int count = 0;
    SHGetFolderPathW(NULL, CSIDL_PROGRAM_FILES, NULL, 0, programFiles);
    for (const WCHAR* marker : markers)
    {
        wsprintfW(path, L"%s\\%s", programFiles, marker);
        if (wt_exists(path))
        {
            printf("  installed: %s\n", wt_u8(path));
            ++count;
        }
    }
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost", L"Version",
                     RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, NULL, version, &bytes) == ERROR_SUCCESS)
    {
        printf("  registered host version: %s\n", wt_u8(version));
    }
    return lstrcmpW(version, L"10.0.15") == 0 ? count : 0;
}

static void RemoveReceipt(void)
{
    WCHAR path[MAX_PATH];
    SampleReceiptPath(path);
    DeleteFileW(path);
}

static BOOL ReceiptExists(void)
{
    WCHAR path[MAX_PATH];
    SampleReceiptPath(path);
    return wt_exists(path);
}

static void RunSetup(SetupRun* run, const WCHAR* image, const WCHAR* environment, const WCHAR* closeOn)
{
    static WCHAR line[MAX_PATH * 3];
    wsprintfW(line, L"\"%s\"", image);
    ZeroMemory(run, sizeof(*run));
    run->commandLine = line;
    run->extraEnv = environment;
    run->closeOnLabel = closeOn;
    run->timeoutMs = 60000;
    RemoveReceipt();
    DriveSetup(run);
    printf("  run: exit %lu, %d labels, %d boxes, hidden %lu ms\n", run->exitCode, run->labelCount, run->boxCount,
           run->hiddenForMs);
}

static BOOL LabelsAre(const SetupRun* run, const WCHAR* const* expected, int count)
{
    BOOL same = run->labelCount == count;
    for (int i = 0; same && i < count; ++i)
    {
        same = lstrcmpW(run->labels[i], expected[i]) == 0;
    }
    if (!same)
    {
        for (int i = 0; i < run->labelCount; ++i)
        {
            printf("  label %d: %s\n", i, wt_u8(run->labels[i]));
        }
    }
    return same;
}

static UINT g_dpi = 96;

static void CheckWindowPlacement(const SetupRun* run, const char* what)
{
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    const RECT* got = &run->windowRect;
    RECT window;
    RECT label;
    ExpectedLayout(width, height, g_dpi, &window, &label);
    ok(run->wasVisible && EqualRect(got, &window), "%s: window at (%ld, %ld) %ld x %ld, expected (%ld, %ld) %ld x %ld on %d x %d at %u DPI",
       what, got->left, got->top, got->right - got->left, got->bottom - got->top, window.left, window.top,
       window.right - window.left, window.bottom - window.top, width, height, g_dpi);
    ok(EqualRect(&run->labelRect, &label), "%s: label at (%ld, %ld) %ld x %ld", what, run->labelRect.left,
       run->labelRect.top, run->labelRect.right - run->labelRect.left, run->labelRect.bottom - run->labelRect.top);
    if (width == 1920 && height == 1080 && (g_dpi == 96 || g_dpi == 192))
    {
        const RECT reference = g_dpi == 96 ? RECT{700, 450, 1220, 630} : RECT{440, 360, 1480, 720};
        ok(EqualRect(&window, &reference), "%s: expected (%ld, %ld) on 1920 x 1080 at %u DPI", what, window.left,
           window.top, g_dpi);
    }
}

// Every status text, laid out the way a plain static control wraps it in the label, fits the label's height.
// This process is per-monitor aware like the bootstrapper, so its stock font is the label's.
static void CheckTextsFit(const SetupRun* run, const char* what)
{
    static const WCHAR* const texts[] = {TEXT_PREPARING, TEXT_RUNTIME, TEXT_OPENING, TEXT_CLOSING};
    const LONG width = run->labelRect.right - run->labelRect.left;
    const LONG height = run->labelRect.bottom - run->labelRect.top;
    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    for (const WCHAR* text : texts)
    {
        RECT box = {0, 0, width, 0};
        DrawTextW(dc, text, -1, &box, DT_CALCRECT | DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
        ok(width > 0 && box.right <= width && box.bottom <= height, "%s: \"%s\" takes %ld x %ld in a %ld x %ld label",
           what, wt_u8(text), box.right, box.bottom, width, height);
    }
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);
}

static void CheckErrorBox(const SetupRun* run, const char* what, DWORD code)
{
    WCHAR expected[300];
    wsprintfW(expected, L"Windows could not prepare Quorlith (error %lu). No developer tools are required. Please "
                        L"report this error so we can fix setup.", code);
    ok(run->boxCount == 1 && lstrcmpW(run->boxText, expected) == 0, "%s: %d boxes, text: %s", what, run->boxCount,
       wt_u8(run->boxText));
    ok(lstrcmpW(run->boxCaption, L"Quorlith Setup") == 0 && run->boxOwnedBySetupWindow,
       "%s: caption %s, owned by the setup window %d", what, wt_u8(run->boxCaption), run->boxOwnedBySetupWindow);
}

// The installer ran from "<user temp>\" + "\Quorlith-Setup-" + 16 hex digits + "\Quorlith-Install.exe",
// as its command line shows; the module path that the system reports has the doubled backslash folded.
static void CheckInstallerPlace(void)
{
    WCHAR temp[MAX_PATH];
    WCHAR module[MAX_PATH * 2] = L"";
    WCHAR modulePath[MAX_PATH * 2] = L"";
    WCHAR commandLine[MAX_PATH * 2] = L"";
    WCHAR argc[8] = L"";
    WCHAR directory[MAX_PATH * 2] = L"";
    WCHAR expected[MAX_PATH * 2];
    ReadReceiptValue(L"argv[0]", module, ARRAYSIZE(module));
    ReadReceiptValue(L"modulePath", modulePath, ARRAYSIZE(modulePath));
    ReadReceiptValue(L"commandLine", commandLine, ARRAYSIZE(commandLine));
    ReadReceiptValue(L"argc", argc, ARRAYSIZE(argc));
    ReadReceiptValue(L"currentDirectory", directory, ARRAYSIZE(directory));
    GetTempPathW(MAX_PATH, temp);   // keeps its trailing backslash, hence two in a row
    const int tempLength = lstrlenW(temp);
    BOOL shaped = lstrlenW(module) == tempLength + 1 + 15 + 16 + 1 + 20 &&
                  CompareStringOrdinal(module, tempLength, temp, tempLength, TRUE) == CSTR_EQUAL &&
                  CompareStringOrdinal(module + tempLength, 16, L"\\Quorlith-Setup-", 16, FALSE) == CSTR_EQUAL &&
                  lstrcmpW(module + tempLength + 32, L"\\Quorlith-Install.exe") == 0;
    for (int i = 0; shaped && i < 16; ++i)
    {
        const WCHAR c = module[tempLength + 16 + i];
        shaped = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
    }
    ok(shaped, "installer ran from %s", wt_u8(module));
    const int moduleLength = lstrlenW(modulePath);
    ok(moduleLength == lstrlenW(module) - 1 && lstrcmpiW(modulePath + moduleLength - 53, module + lstrlenW(module) - 53) == 0,
       "installer module path %s", wt_u8(modulePath));
    wsprintfW(expected, L"\"%s\" ", module);
    ok(lstrcmpW(commandLine, expected) == 0 && lstrcmpW(argc, L"1") == 0,
       "installer command line [%s], argc %s", wt_u8(commandLine), wt_u8(argc));
    GetCurrentDirectoryW(ARRAYSIZE(expected), expected);
    ok(lstrcmpiW(directory, expected) == 0, "installer current directory %s, expected %s", wt_u8(directory),
       wt_u8(expected));
}

// What the user's own processes may do in the folder with that descriptor, by the system's access check:
// everything, with this process's token and with it without the Administrators group (the same user not
// elevated), as in the user's own temporary directory.
static void CheckUserAccess(PSECURITY_DESCRIPTOR descriptor, PSID user)
{
    static const struct
    {
        DWORD access;
        const char* what;
    } requests[] = {
        {FILE_LIST_DIRECTORY, "list"},
        {FILE_ADD_FILE, "add a file"},
        {FILE_ADD_SUBDIRECTORY, "add a folder"},
        {FILE_DELETE_CHILD, "delete what is inside"},
        {DELETE, "delete the folder"},
    };
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    if (wt_is_wine())
    {
        skip("Wine does not enforce access lists: the user's own tokens are not asked");
        return;
    }
    HANDLE own = MakeOwnToken();
    // As SYSTEM there is no unelevated self to ask for.
    HANDLE unelevated = EqualSid(user, system) ? NULL : MakeStandardUserToken();
    ok(own != NULL, "cannot make this process's token: error %lu", GetLastError());
    for (const auto& request : requests)
    {
        DWORD granted = 0;
        ok(own && AccessGranted(descriptor, own, request.access, &granted), "%s: refused to this process (0x%08lx)",
           request.what, granted);
        ok(!unelevated || AccessGranted(descriptor, unelevated, request.access, &granted),
           "%s: refused to this user without the Administrators group (0x%08lx)", request.what, granted);
    }
    if (unelevated)
    {
        CloseHandle(unelevated);
    }
    if (own)
    {
        CloseHandle(own);
    }
}

// What the installer found in its own folder while it ran: the per-user staging directory's access list
// (where the platform keeps one given at creation), and that it could still make, read and delete a file
// and make and remove a folder there.
static void CheckInstallerFolder(void)
{
    WCHAR use[64] = L"";
    WCHAR text[1024] = L"";
    WCHAR scratch[MAX_PATH * 4];
    BYTE user[SECURITY_MAX_SID_SIZE];
    PSECURITY_DESCRIPTOR descriptor = NULL;
    ReadReceiptValue(L"folderUse", use, ARRAYSIZE(use));
    ok(!lstrcmpW(use, L"0"), "the installer in its own folder: %s", use[0] ? wt_u8(use) : "not recorded");
    ReadReceiptValue(L"folderDescriptor", text, ARRAYSIZE(text));
    ok(text[0] != 0, "the installer recorded no descriptor of its folder");
    ok(wt_make_temp_dir(L"ui-flow-descriptor", scratch), "no scratch directory for the descriptor probe");
    if (!PlatformKeepsDescriptors(scratch))
    {
        wt_remove_tree(scratch);
        skip("%s keeps no descriptor given at creation: the installer read %s", wt_is_wine() ? "Wine" : "this system",
             wt_u8(text));
        return;
    }
    ok(ReadProcessUser(user), "this process's user is not readable: error %lu", GetLastError());
    ok(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, NULL),
       "the installer's record %s is no descriptor", wt_u8(text));
    CheckStagingDescriptor("the installer's own folder", descriptor, FALSE, user);
    if (descriptor)
    {
        CheckUserAccess(descriptor, user);
    }
    LocalFree(descriptor);
    wt_remove_tree(scratch);
}

static void RuntimePresentFlows(void)
{
    static const WCHAR* const normal[] = {TEXT_PREPARING, TEXT_OPENING};
    SetupRun run;
    wt_install_sample_runtime(g_payloads);

    // The installer waits 1.5 s, long enough to see the hidden window.
    RunSetup(&run, g_setup, L"QUORLITH_SAMPLE_DELAY_MS=1500", NULL);
    ok(run.ended && run.exitCode == 0, "installer 0: exit code %lu", run.exitCode);
    ok(LabelsAre(&run, normal, 2), "installer 0: the label went from preparing to opening the installer");
    CheckWindowPlacement(&run, "installer 0");
    CheckTextsFit(&run, "installer 0");
    ok(run.installerSeenWhileHidden && !run.installerSeenWhileVisible,
       "installer 0: window hidden while the installer ran (seen hidden %d, seen visible %d)",
       run.installerSeenWhileHidden, run.installerSeenWhileVisible);
    ok(run.boxCount == 0, "installer 0: %d boxes", run.boxCount);
    ok(wt_count_staging_dirs() == 0, "installer 0: staging directories left: %d", wt_count_staging_dirs());
    CheckInstallerPlace();
    CheckInstallerFolder();

    RunSetup(&run, g_setup, L"QUORLITH_SAMPLE_EXIT_CODE=1602", NULL);
    ok(run.ended && run.exitCode == 0 && run.boxCount == 0 && ReceiptExists(),
       "installer 1602: exit code %lu, %d boxes, ran %d", run.exitCode, run.boxCount, ReceiptExists());

    static const DWORD failures[] = {1, 3010, 1603};
    for (DWORD code : failures)
    {
        char what[32];
        WCHAR environment[64];
        sprintf(what, "installer %lu", code);
        wsprintfW(environment, L"QUORLITH_SAMPLE_EXIT_CODE=%lu", code);
        RunSetup(&run, g_setup, environment, NULL);
        ok(run.ended && run.exitCode == 0, "%s: exit code %lu", what, run.exitCode);
        CheckErrorBox(&run, what, code);
        ok(!run.windowVisibleAtBox, "%s: the box is owned by the hidden window", what);
        ok(wt_count_staging_dirs() == 0, "%s: staging directories left: %d", what, wt_count_staging_dirs());
    }
}

// A copy of the setup image whose installer payload was altered after the build: the window shows, then the
// box with 13 comes before the runtime is even looked for.
static void RunAlteredSetup(SetupRun* run, const char* what)
{
    WCHAR dir[MAX_PATH * 4];
    WCHAR altered[MAX_PATH * 4];
    wt_make_temp_dir(L"ui-flow-altered", dir);
    wsprintfW(altered, L"%s\\QuorlithSetup.exe", dir);
    ok(CopyWithAlteredResource(g_setup, altered, 105), "%s: altered copy of the setup image", what);
    RunSetup(run, altered, NULL, NULL);
    ok(run->ended && run->exitCode == 0, "%s: exit code %lu", what, run->exitCode);
    CheckErrorBox(run, what, 13);
    wt_remove_tree(dir);
}

static void RuntimeMissingFlows(void)
{
    static const WCHAR* const alteredLabels[] = {TEXT_PREPARING};
    static const WCHAR* const normal[] = {TEXT_PREPARING, TEXT_RUNTIME, TEXT_OPENING};
    SetupRun run;

    RunAlteredSetup(&run, "altered payload");
    ok(LabelsAre(&run, alteredLabels, 1), "altered payload: no runtime step, no installer step");
    ok(!ReceiptExists() && InstalledPackageCount() == 0 && wt_count_staging_dirs() == 0,
       "altered payload: nothing launched, nothing written");

    RunSetup(&run, g_setup, NULL, NULL);
    ok(run.ended && run.exitCode == 0 && run.boxCount == 0, "runtime missing: exit code %lu, %d boxes", run.exitCode,
       run.boxCount);
    ok(LabelsAre(&run, normal, 3), "runtime missing: preparing, runtime, installer");
    ok(InstalledPackageCount() == 4, "runtime missing: the elevated instance installed the four packages");
    ok(ReceiptExists(), "runtime missing: the installer ran afterwards");
    ok(wt_count_staging_dirs() == 0, "runtime missing: staging directories left: %d", wt_count_staging_dirs());
}

// The prefix's system DPI is 192 (200 %): the window, its label and the texts scale with it. A payload altered
// after the build ends the run after the first text, with nothing installed.
static void ScaledFlow(void)
{
    SetupRun run;
    ok(g_dpi == 192, "system DPI %u; the prefix should be at 192", g_dpi);
    RunAlteredSetup(&run, "scaled");
    CheckWindowPlacement(&run, "scaled");
    CheckTextsFit(&run, "scaled");
}

static void CancelFlows(void)
{
    SetupRun run;

    // Closed while the elevated instance installs: it runs to its end, then the worker stops at its first
    // cancel point without a word.
    RunSetup(&run, g_setup, NULL, TEXT_RUNTIME);
    ok(run.closePosted, "close during runtime: request posted");
    ok(run.ended && run.exitCode == 0 && run.boxCount == 0, "close during runtime: exit code %lu, %d boxes",
       run.exitCode, run.boxCount);
    ok(SawLabel(&run, TEXT_CLOSING) && !SawLabel(&run, TEXT_OPENING),
       "close during runtime: closing text shown, installer text never shown");
    ok(InstalledPackageCount() == 4, "close during runtime: the runtime installation ran to its end");
    ok(!ReceiptExists() && wt_count_staging_dirs() == 0, "close during runtime: no installer, nothing left");

    // Closed while the 96 MiB installer is extracted (the runtime is present by now): the extraction
    // ends, the file and directory go, the installer never starts.
    RunSetup(&run, g_bigSetup, NULL, TEXT_OPENING);
    ok(run.closePosted, "close during extraction: request posted");
    ok(run.ended && run.exitCode == 0 && run.boxCount == 0, "close during extraction: exit code %lu, %d boxes",
       run.exitCode, run.boxCount);
    ok(SawLabel(&run, TEXT_CLOSING) && !run.installerSeenWhileHidden && !run.installerSeenWhileVisible,
       "close during extraction: closing text shown, installer never running");
    ok(!ReceiptExists() && wt_count_staging_dirs() == 0, "close during extraction: no installer, nothing left (%d)",
       wt_count_staging_dirs());
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 5)
    {
        printf("usage: %s present|missing|cancel|scaled <setup.exe> <big setup.exe> <payload dir>\n", wt_u8(argv[0]));
        return 1;
    }
    lstrcpyW(g_setup, wt_winpath(argv[2]));
    lstrcpyW(g_bigSetup, wt_winpath(argv[3]));
    lstrcpyW(g_payloads, wt_winpath(argv[4]));
    g_dpi = MatchSetupDpiAwareness();
    if (!GetSystemMetrics(SM_CXSCREEN))
    {
        skip("no display");
        return wt_finish();
    }
    if (wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    if (!lstrcmpW(argv[1], L"present"))
    {
        RuntimePresentFlows();
    }
    else if (!lstrcmpW(argv[1], L"missing"))
    {
        RuntimeMissingFlows();
    }
    else if (!lstrcmpW(argv[1], L"cancel"))
    {
        CancelFlows();
    }
    else if (!lstrcmpW(argv[1], L"scaled"))
    {
        ScaledFlow();
    }
    wt_uninstall_sample_runtime();
    return wt_finish();
}
