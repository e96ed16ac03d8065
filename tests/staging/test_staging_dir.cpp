// CreateStagingDirectory: the names it draws, where it puts them, the length limits of both variants,
// and what each failure leaves behind. Runs in a prefix of its own: it counts staging directories in
// both temporary directories and writes into the Windows one.
#include "wtest.h"
#include "shim.h"
#include "staging/staging.h"
#include "staging_acl.h"

static const BYTE kFixedRandom[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
static const WCHAR kFixedName[] = L"Quorlith-Setup-0403020108070605";

// Outside the process heap, so that the shim's HeapAlloc count is the product's alone.
static WCHAR* g_out;
static WCHAR* g_expected;
static WCHAR g_userTempBase[MAX_PATH];   // as GetTempPathW gives it, with its trailing backslash
static WCHAR g_windowsDir[MAX_PATH];
static WCHAR g_scratch[MAX_PATH * 4];
static BYTE g_user[SECURITY_MAX_SID_SIZE];   // this process's user, the per-user directory's own account
static BOOL g_keepsDescriptors;

static WCHAR* AllocPages(SIZE_T chars)
{
    return static_cast<WCHAR*>(VirtualAlloc(NULL, chars * sizeof(WCHAR), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

static void ClearOut(void)
{
    ZeroMemory(g_out, PATH_BUFFER_BYTES);
}

static BOOL OutUntouched(void)
{
    for (int i = 0; i < PATH_BUFFER_CHARS; ++i)
    {
        if (g_out[i])
        {
            return FALSE;
        }
    }
    return TRUE;
}

static BOOL MatchesNamePattern(const WCHAR* name)
{
    if (lstrlenW(name) != 31 || CompareStringOrdinal(name, 15, L"Quorlith-Setup-", 15, FALSE) != CSTR_EQUAL)
    {
        return FALSE;
    }
    for (int i = 15; i < 31; ++i)
    {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'A' && name[i] <= L'F')))
        {
            return FALSE;
        }
    }
    return TRUE;
}

// Text of the given length: a path below a directory that does not exist, in components short enough
// to be legal, so that whatever is tried inside it fails without side effects.
static void MakeLongPath(WCHAR* text, int length)
{
    static const WCHAR head[] = L"C:\\qz-no-such-place";
    lstrcpyW(text, head);
    for (int at = lstrlenW(head); at < length; ++at)
    {
        text[at] = (at % 100 == 0) ? L'\\' : L'd';
    }
    text[length] = 0;
    if (text[length - 1] == L'\\')
    {
        text[length - 1] = L'e';
    }
}

static void ComposeExpected(const WCHAR* base, const WCHAR* separatorAndTemp)
{
    lstrcpyW(g_expected, base);
    lstrcatW(g_expected, separatorAndTemp);
    lstrcatW(g_expected, L"\\");
    lstrcatW(g_expected, kFixedName);
}

// One call that must fail. expected NULL: out must be left untouched (still all zero); otherwise out
// must hold exactly that path, which must not exist afterwards.
static void ExpectFailure(const char* what, INT machineWide, const WCHAR* expected)
{
    int stagedBefore = wt_count_staging_dirs();
    DWORD handles = wt_handle_count();
    ClearOut();
    BOOL created = CreateStagingDirectory(g_out, machineWide);
    ok(!created, "%s: reported success with %s", what, wt_u8(g_out));
    if (created)
    {
        RemoveDirectoryW(g_out);
    }
    if (expected)
    {
        ok(!lstrcmpW(g_out, expected), "%s: out holds %d characters \"%.200s\", expected %d", what, lstrlenW(g_out),
           wt_u8(g_out), lstrlenW(expected));
        ok(!wt_exists(g_out), "%s: %s exists", what, wt_u8(g_out));
    }
    else
    {
        ok(OutUntouched(), "%s: out was written: \"%.200s\"", what, wt_u8(g_out));
    }
    ok(wt_count_staging_dirs() == stagedBefore, "%s: staging directories %d -> %d", what, stagedBefore,
       wt_count_staging_dirs());
    ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", what, handles, wt_handle_count());
    // Whatever descriptor and user SID text were made are released on the way out, and only then.
    LONG converted = ShimCalls(SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW) +
                     ShimCalls(SHIM_ConvertSidToStringSidW);
    ok(ShimCalls(SHIM_LocalFree) <= converted, "%s: %ld LocalFree calls for %ld descriptors and SID texts", what,
       ShimCalls(SHIM_LocalFree), converted);
}

static void TestNames(void)
{
    static WCHAR names[200][32];
    const int count = ARRAYSIZE(names);
    int tempLength = lstrlenW(g_userTempBase);
    ShimReset();
    DWORD handles = wt_handle_count();
    for (int i = 0; i < count; ++i)
    {
        ClearOut();
        if (!CreateStagingDirectory(g_out, FALSE))
        {
            ok(0, "draw %d: creation failed with out \"%s\", error %lu", i, wt_u8(g_out), GetLastError());
            names[i][0] = 0;
            continue;
        }
        BOOL placed = CompareStringOrdinal(g_out, tempLength, g_userTempBase, tempLength, TRUE) == CSTR_EQUAL &&
                      g_out[tempLength] == L'\\';
        ok(placed, "draw %d: %s is not <temp>\\<name>", i, wt_u8(g_out));
        lstrcpynW(names[i], g_out + tempLength + 1, 32);
        ok(MatchesNamePattern(g_out + tempLength + 1), "draw %d: name \"%s\"", i, wt_u8(g_out + tempLength + 1));
        ok(wt_is_dir(g_out), "draw %d: %s is not a directory", i, wt_u8(g_out));
        ok(RemoveDirectoryW(g_out), "draw %d: cannot remove %s: %lu", i, wt_u8(g_out), GetLastError());
    }
    int duplicates = 0;
    for (int i = 0; i < count; ++i)
    {
        for (int j = i + 1; j < count; ++j)
        {
            duplicates += names[i][0] && !lstrcmpW(names[i], names[j]);
        }
    }
    ok(duplicates == 0, "%d repeated names in %d draws", duplicates, count);
    ok(ShimCalls(SHIM_BCryptGenRandom) == count, "%ld random draws for %d names", ShimCalls(SHIM_BCryptGenRandom),
       count);
    ok(wt_handle_count() == handles, "%d creations: handles %lu -> %lu", count, handles, wt_handle_count());
    ok(wt_count_staging_dirs() == 0, "%d staging directories left", wt_count_staging_dirs());

    // The machine-wide variant draws the same way.
    WCHAR windowsTemp[MAX_PATH];
    wt_windows_temp(windowsTemp);
    int baseLength = lstrlenW(windowsTemp);
    for (int i = 0; i < 20; ++i)
    {
        ClearOut();
        BOOL created = CreateStagingDirectory(g_out, TRUE);
        ok(created && MatchesNamePattern(g_out + baseLength + 1), "machine-wide draw %d: %d, \"%s\"", i, created,
           wt_u8(g_out));
        RemoveDirectoryW(g_out);
    }
    ok(wt_handle_count() == handles, "machine-wide creations: handles %lu -> %lu", handles, wt_handle_count());
}

// A staging directory's descriptor as CreateDirectoryW received it (through the shim, so that the check
// bites where the platform keeps only permission bits), and as read back where the platform keeps it.
static void CheckStagingAcl(const char* what, const WCHAR* path, BOOL machineWide)
{
    char label[128];
    sprintf(label, "%s, as given", what);
    CheckStagingDescriptor(label, ShimLastDirectoryDescriptor(), machineWide, g_user);
    if (!g_keepsDescriptors)
    {
        skip("%s: Wine %s does not keep a descriptor given at creation, so it is checked as given only", what,
             wt_wine_version());
        return;
    }
    PSECURITY_DESCRIPTOR stored = ReadDirectoryDescriptor(path);
    sprintf(label, "%s, as stored", what);
    CheckStagingDescriptor(label, stored, machineWide, g_user);
    LocalFree(stored);
}

static void TestFixedName(void)
{
    // Per-user: GetTempPathW keeps its trailing backslash and the join adds another.
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ClearOut();
    ComposeExpected(g_userTempBase, L"");
    ok(lstrlenW(g_userTempBase) > 0 && g_userTempBase[lstrlenW(g_userTempBase) - 1] == L'\\',
       "temporary directory without a trailing backslash: %s", wt_u8(g_userTempBase));
    ok(CreateStagingDirectory(g_out, FALSE), "per-user creation with fixed bytes failed");
    ok(!lstrcmpW(g_out, g_expected), "per-user path %s, expected %s", wt_u8(g_out), wt_u8(g_expected));
    ok(wt_is_dir(g_expected), "%s was not made", wt_u8(g_expected));
    ok(ShimCalls(SHIM_LocalFree) == 2, "per-user: %ld releases, expected the SID text and the descriptor",
       ShimCalls(SHIM_LocalFree));
    CheckStagingAcl("per-user directory", g_expected, FALSE);
    RemoveDirectoryW(g_expected);

    // Machine-wide: one backslash after "\Temp". Under Wine the process is always an administrator, so
    // the descriptor with the Administrators group as owner is accepted.
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ClearOut();
    ComposeExpected(g_windowsDir, L"\\Temp");
    DWORD handles = wt_handle_count();
    ok(CreateStagingDirectory(g_out, TRUE), "machine-wide creation failed");
    ok(!lstrcmpW(g_out, g_expected), "machine-wide path %s, expected %s", wt_u8(g_out), wt_u8(g_expected));
    ok(wt_is_dir(g_expected), "%s was not made", wt_u8(g_expected));
    ok(ShimCalls(SHIM_LocalFree) == 1, "descriptor released %ld times", ShimCalls(SHIM_LocalFree));
    ok(wt_handle_count() == handles, "machine-wide: handles %lu -> %lu", handles, wt_handle_count());

    CheckStagingAcl("machine-wide directory", g_expected, TRUE);
    RemoveDirectoryW(g_expected);
}

static void TestLengthLimits(void)
{
    WCHAR* longText = AllocPages(PATH_BUFFER_CHARS + 16);

    // Windows directory: its text plus "\Temp" must leave a spare code unit. 32,761 passes that test
    // (the descriptor is made and a name drawn), but then the join no longer fits, so out stays empty.
    static const struct
    {
        int length;
        BOOL passesLengthTest;
    } windows[] = {{32761, TRUE}, {32762, FALSE}, {32767, FALSE}};
    for (size_t i = 0; i < ARRAYSIZE(windows); ++i)
    {
        char what[64];
        sprintf(what, "Windows directory of %d", windows[i].length);
        MakeLongPath(longText, windows[i].length);
        ShimReset();
        ShimSetRandom(kFixedRandom);
        ShimSetWindowsDirectory(longText);
        ExpectFailure(what, TRUE, NULL);
        LONG expectedCalls = windows[i].passesLengthTest ? 1 : 0;
        ok(ShimCalls(SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW) == expectedCalls &&
               ShimCalls(SHIM_BCryptGenRandom) == expectedCalls && ShimCalls(SHIM_LocalFree) == expectedCalls,
           "%s: %ld conversions, %ld draws, %ld releases, expected %ld each", what,
           ShimCalls(SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW), ShimCalls(SHIM_BCryptGenRandom),
           ShimCalls(SHIM_LocalFree), expectedCalls);
        ok(ShimCalls(SHIM_CreateDirectoryW) == 0, "%s: CreateDirectoryW called", what);
    }

    // The longest composed path is 32,766 characters: a Windows directory of 32,729 gives exactly that,
    // and the creation is tried; one more character and the join refuses.
    MakeLongPath(longText, 32729);
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetWindowsDirectory(longText);
    ComposeExpected(longText, L"\\Temp");
    ok(lstrlenW(g_expected) == 32766, "composed %d characters", lstrlenW(g_expected));
    ExpectFailure("composed machine-wide path of 32,766", TRUE, g_expected);
    ok(ShimCalls(SHIM_CreateDirectoryW) == 1 && ShimCalls(SHIM_LocalFree) == 1,
       "32,766: %ld creations, %ld releases", ShimCalls(SHIM_CreateDirectoryW), ShimCalls(SHIM_LocalFree));

    MakeLongPath(longText, 32730);
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetWindowsDirectory(longText);
    ExpectFailure("composed machine-wide path of 32,767", TRUE, NULL);
    ok(ShimCalls(SHIM_CreateDirectoryW) == 0 && ShimCalls(SHIM_LocalFree) == 1,
       "32,767: %ld creations, %ld releases", ShimCalls(SHIM_CreateDirectoryW), ShimCalls(SHIM_LocalFree));

    // Per-user: only the join bounds the path. A temporary directory of 32,734 (trailing backslash
    // included) composes 32,766 characters.
    MakeLongPath(longText, 32733);
    lstrcatW(longText, L"\\");
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetTempPath(longText);
    ComposeExpected(longText, L"");
    ExpectFailure("composed per-user path of 32,766", FALSE, g_expected);
    ok(ShimCalls(SHIM_CreateDirectoryW) == 1, "32,766 per-user: %ld creations", ShimCalls(SHIM_CreateDirectoryW));

    MakeLongPath(longText, 32734);
    lstrcatW(longText, L"\\");
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetTempPath(longText);
    ExpectFailure("composed per-user path of 32,767", FALSE, NULL);
    ok(ShimCalls(SHIM_CreateDirectoryW) == 0, "32,767 per-user: CreateDirectoryW called");

    // A folder text that does not fit the buffer: the query returns the size it needs and writes
    // nothing. Taken for a result, the empty buffer would put the directory at the root of the drive.
    MakeLongPath(longText, 32768);
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetWindowsDirectory(longText);
    ExpectFailure("Windows directory of 32,768", TRUE, NULL);
    ok(ShimCalls(SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW) == 0 &&
           ShimCalls(SHIM_BCryptGenRandom) == 0,
       "Windows directory of 32,768: went on to the descriptor or the draw");

    MakeLongPath(longText, 32767);
    lstrcatW(longText, L"\\");
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetTempPath(longText);
    ExpectFailure("temporary directory of 32,768", FALSE, NULL);
    ok(ShimCalls(SHIM_BCryptGenRandom) == 0 && ShimCalls(SHIM_CreateDirectoryW) == 0,
       "temporary directory of 32,768: %ld draws, %ld creations", ShimCalls(SHIM_BCryptGenRandom),
       ShimCalls(SHIM_CreateDirectoryW));

    VirtualFree(longText, 0, MEM_RELEASE);
}

static void TestFailures(void)
{
    // Injected failures, each in the variants where the call is made.
    static const struct
    {
        const char* what;
        ShimCall call;
        INT machineWide;
        BOOL outHoldsPath;
        LONG releases;   // LocalFree calls: the user's SID text (per-user), the descriptor
    } faults[] = {
        {"heap allocation (per-user)", SHIM_HeapAlloc, FALSE, FALSE, 0},
        {"heap allocation (machine-wide)", SHIM_HeapAlloc, TRUE, FALSE, 0},
        {"GetTempPathW returns 0", SHIM_GetTempPathW, FALSE, FALSE, 0},
        {"GetWindowsDirectoryW returns 0", SHIM_GetWindowsDirectoryW, TRUE, FALSE, 0},
        {"token user unreadable", SHIM_GetTokenInformation, FALSE, FALSE, 0},
        {"user SID not convertible", SHIM_ConvertSidToStringSidW, FALSE, FALSE, 0},
        {"SDDL conversion (per-user)", SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW, FALSE, FALSE, 1},
        {"SDDL conversion (machine-wide)", SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW, TRUE, FALSE, 0},
        {"random source (per-user)", SHIM_BCryptGenRandom, FALSE, FALSE, 2},
        {"random source (machine-wide)", SHIM_BCryptGenRandom, TRUE, FALSE, 1},
        {"CreateDirectoryW (per-user)", SHIM_CreateDirectoryW, FALSE, TRUE, 2},
        {"CreateDirectoryW (machine-wide)", SHIM_CreateDirectoryW, TRUE, TRUE, 1},
    };
    for (size_t i = 0; i < ARRAYSIZE(faults); ++i)
    {
        if (faults[i].machineWide)
        {
            ComposeExpected(g_windowsDir, L"\\Temp");
        }
        else
        {
            ComposeExpected(g_userTempBase, L"");
        }
        ShimReset();
        ShimSetRandom(kFixedRandom);
        ShimFail(faults[i].call, 1, 0);
        ExpectFailure(faults[i].what, faults[i].machineWide, faults[i].outHoldsPath ? g_expected : NULL);
        ok(ShimCalls(SHIM_LocalFree) == faults[i].releases, "%s: descriptor released %ld times, expected %ld",
           faults[i].what, ShimCalls(SHIM_LocalFree), faults[i].releases);
        if (faults[i].call == SHIM_HeapAlloc)
        {
            ok(ShimCalls(SHIM_GetTempPathW) + ShimCalls(SHIM_GetWindowsDirectoryW) == 0,
               "%s: went on to the folder query", faults[i].what);
        }
    }

    // No "Temp" inside the Windows directory: the creation fails and out keeps the path it tried.
    ShimReset();
    ShimSetRandom(kFixedRandom);
    ShimSetWindowsDirectory(g_scratch);
    ComposeExpected(g_scratch, L"\\Temp");
    ExpectFailure("no Temp in the Windows directory", TRUE, g_expected);
    ok(ShimCalls(SHIM_LocalFree) == 1, "no Temp: descriptor released %ld times", ShimCalls(SHIM_LocalFree));
}

// The name is drawn once: an existing directory of that name is a failure, not a reason to draw again,
// and it is left as it was.
static void TestExistingName(void)
{
    for (INT machineWide = 0; machineWide <= 1; ++machineWide)
    {
        const char* what = machineWide ? "existing name (machine-wide)" : "existing name (per-user)";
        WCHAR marker[MAX_PATH * 2];
        if (machineWide)
        {
            ComposeExpected(g_windowsDir, L"\\Temp");
        }
        else
        {
            ComposeExpected(g_userTempBase, L"");
        }
        wsprintfW(marker, L"%s\\kept.txt", g_expected);
        ok(CreateDirectoryW(g_expected, NULL) && wt_write_file(marker, "kept", 4), "%s: cannot prepare %s", what,
           wt_u8(g_expected));

        ShimReset();
        ShimSetRandom(kFixedRandom);
        DWORD handles = wt_handle_count();
        ClearOut();
        BOOL created = CreateStagingDirectory(g_out, machineWide);
        ok(!created, "%s: reported success", what);
        ok(!lstrcmpW(g_out, g_expected), "%s: out holds %s", what, wt_u8(g_out));
        ok(ShimCalls(SHIM_BCryptGenRandom) == 1 && ShimCalls(SHIM_CreateDirectoryW) == 1,
           "%s: %ld draws, %ld creations", what, ShimCalls(SHIM_BCryptGenRandom), ShimCalls(SHIM_CreateDirectoryW));
        ok(wt_exists(marker), "%s: the existing directory lost its content", what);
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", what, handles, wt_handle_count());
        ShimReset();
        wt_remove_tree(g_expected);
    }
}

int wmain(void)
{
    g_out = AllocPages(PATH_BUFFER_CHARS);
    g_expected = AllocPages(PATH_BUFFER_CHARS + 64);
    GetTempPathW(MAX_PATH, g_userTempBase);
    GetWindowsDirectoryW(g_windowsDir, MAX_PATH);
    if (!wt_make_temp_dir(L"staging", g_scratch))
    {
        ok(0, "cannot make a scratch directory");
        return wt_finish();
    }
    // A drive-relative path made by mistake then lands on C:, inside the prefix, and not at the root of
    // the drive that maps the host's file system.
    SetCurrentDirectoryW(g_scratch);
    ok(wt_handle_count() > 0, "the handle table could not be read, handle checks would prove nothing");
    ok(ReadProcessUser(g_user), "this process's user is not readable: error %lu", GetLastError());
    g_keepsDescriptors = PlatformKeepsDescriptors(g_scratch);
    ok(g_keepsDescriptors || wt_is_wine(), "Windows did not keep a descriptor given at creation");
    ok(wt_count_staging_dirs() == 0, "the prefix starts with %d staging directories", wt_count_staging_dirs());

    TestNames();
    TestFixedName();
    TestLengthLimits();
    TestFailures();
    TestExistingName();

    ShimReset();
    ok(wt_count_staging_dirs() == 0, "%d staging directories left at the end", wt_count_staging_dirs());
    SetCurrentDirectoryW(g_windowsDir);
    wt_remove_tree(g_scratch);
    return wt_finish();
}
