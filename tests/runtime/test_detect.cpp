// Runtime detection against directory trees made for each case. Program Files is redirected to a
// scratch directory through the shim, so the prefix's own Program Files is never touched.
#include "wtest.h"
#include "shim.h"
#include "runtime/runtime.h"
#include "version_names.h"

enum EntryKind
{
    NONE,
    WITH_MARKER,    // version directory holding the marker file
    NO_MARKER,      // version directory without it
    PLAIN_FILE,     // a file with the version's name
    MARKER_IS_DIR,  // version directory whose marker is itself a directory
};

struct Entry
{
    const WCHAR* name;
    EntryKind kind;
};

struct Case
{
    const char* what;
    Entry core[3];
    Entry desktop[3];
    BOOL expected;
};

// Layouts of the two families. Which version names detection takes is the shared table's to say
// (version-names.json, through the generated version_names.h), tried by TestVersionNames.
static const Case g_cases[] = {
    {"10.0.15 both", {{L"10.0.15", WITH_MARKER}}, {{L"10.0.15", WITH_MARKER}}, TRUE},
    {"desktop only 10.0.9", {{L"10.0.15", WITH_MARKER}}, {{L"10.0.9", WITH_MARKER}}, FALSE},
    {"20 without marker, then 15 with", {{L"10.0.20", NO_MARKER}, {L"10.0.15", WITH_MARKER}},
     {{L"10.0.15", WITH_MARKER}}, TRUE},
    {"15 with marker, then 20 without", {{L"10.0.15", WITH_MARKER}, {L"10.0.20", NO_MARKER}},
     {{L"10.0.20", NO_MARKER}, {L"10.0.15", WITH_MARKER}}, TRUE},
    {"plain file named 10.0.20", {{L"10.0.20", PLAIN_FILE}}, {{L"10.0.15", WITH_MARKER}}, FALSE},
    {"core missing", {{NULL, NONE}}, {{L"10.0.15", WITH_MARKER}}, FALSE},
    {"versions need not match", {{L"10.0.15", WITH_MARKER}}, {{L"10.0.22", WITH_MARKER}}, TRUE},
    {"marker as a directory", {{L"10.0.15", WITH_MARKER}}, {{L"10.0.15", MARKER_IS_DIR}}, TRUE},
};

static void MakeFamily(const WCHAR* shared, const WCHAR* family, const WCHAR* marker, const Entry* entries)
{
    WCHAR path[MAX_PATH * 2];
    for (int i = 0; i < 3 && entries[i].name; ++i)
    {
        wsprintfW(path, L"%s\\%s\\%s", shared, family, entries[i].name);
        if (entries[i].kind == PLAIN_FILE)
        {
            wsprintfW(path, L"%s\\%s", shared, family);
            wt_make_dirs(path);
            wsprintfW(path, L"%s\\%s\\%s", shared, family, entries[i].name);
            wt_write_file(path, "x", 1);
            continue;
        }
        wt_make_dirs(path);
        lstrcatW(path, L"\\");
        lstrcatW(path, marker);
        if (entries[i].kind == WITH_MARKER)
        {
            wt_write_file(path, "x", 1);
        }
        else if (entries[i].kind == MARKER_IS_DIR)
        {
            CreateDirectoryW(path, NULL);
        }
    }
}

static void TestCases(const WCHAR* scratch)
{
    WCHAR root[MAX_PATH];
    WCHAR shared[MAX_PATH];
    for (size_t i = 0; i < ARRAYSIZE(g_cases); ++i)
    {
        const Case* c = &g_cases[i];
        wsprintfW(root, L"%s\\case%u", scratch, static_cast<unsigned>(i));
        wsprintfW(shared, L"%s\\dotnet\\shared", root);
        wt_make_dirs(shared);
        MakeFamily(shared, L"Microsoft.NETCore.App", L"coreclr.dll", c->core);
        MakeFamily(shared, L"Microsoft.WindowsDesktop.App", L"PresentationFramework.dll", c->desktop);

        ShimReset();
        ShimSetProgramFiles(root);
        DWORD handles = wt_handle_count();
        BOOL ready = IsRuntimeReady();
        ok(!ready == !c->expected, "%s: IsRuntimeReady got %d, expected %d", c->what, ready, c->expected);
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", c->what, handles, wt_handle_count());
        // Both answers again: nothing is cached between calls.
        ok(!IsRuntimeReady() == !c->expected, "%s: second call differs", c->what);
    }
}


// Each name of the shared table as the core runtime's only version, beside a desktop runtime detection takes.
static void TestVersionNames(const WCHAR* scratch)
{
    WCHAR root[MAX_PATH];
    WCHAR shared[MAX_PATH];
    WCHAR family[MAX_PATH];
    static const Entry desktop[3] = {{L"10.0.15", WITH_MARKER}};
    int tried = 0;
    for (size_t i = 0; i < ARRAYSIZE(g_versionNames); ++i)
    {
        const Entry core[3] = {{g_versionNames[i].name, WITH_MARKER}};
        const char* name = wt_u8(g_versionNames[i].name);
        wsprintfW(root, L"%s\\name%u", scratch, static_cast<unsigned>(i));
        wsprintfW(shared, L"%s\\dotnet\\shared", root);
        wsprintfW(family, L"%s\\Microsoft.NETCore.App", shared);
        wt_make_dirs(shared);
        MakeFamily(shared, L"Microsoft.NETCore.App", L"coreclr.dll", core);
        MakeFamily(shared, L"Microsoft.WindowsDesktop.App", L"PresentationFramework.dll", desktop);
        if (!wt_is_listed(family, g_versionNames[i].name))
        {
            skip("version name [%s] cannot be stored by this file system", name);
            continue;
        }
        ++tried;
        ShimReset();
        ShimSetProgramFiles(root);
        const BOOL ready = IsRuntimeReady();
        ok(!ready == !g_versionNames[i].taken, "version [%s]: IsRuntimeReady got %d, expected %d", name, ready,
           g_versionNames[i].taken);
    }
    printf("version names: %d of %u tried\n", tried, static_cast<unsigned>(ARRAYSIZE(g_versionNames)));
}

static void TestCoreMissingSkipsDesktop(const WCHAR* scratch)
{
    WCHAR root[MAX_PATH];
    WCHAR shared[MAX_PATH];
    static const Entry desktop[3] = {{L"10.0.15", WITH_MARKER}};
    wsprintfW(root, L"%s\\nocore", scratch);
    wsprintfW(shared, L"%s\\dotnet\\shared", root);
    wt_make_dirs(shared);
    MakeFamily(shared, L"Microsoft.WindowsDesktop.App", L"PresentationFramework.dll", desktop);

    ShimReset();
    ShimSetProgramFiles(root);
    ok(!IsRuntimeReady(), "desktop without core reported ready");
    ok(ShimCalls(SHIM_FindFirstFileW) == 1, "desktop family enumerated although the core runtime is missing: %ld scans",
       ShimCalls(SHIM_FindFirstFileW));

    // No dotnet directory at all: simply no.
    wsprintfW(root, L"%s\\empty", scratch);
    CreateDirectoryW(root, NULL);
    ShimSetProgramFiles(root);
    ok(!IsRuntimeReady(), "empty Program Files reported ready");
}

static void TestHostResolverRow(const WCHAR* scratch)
{
    WCHAR host[MAX_PATH];
    WCHAR path[MAX_PATH];
    wsprintfW(host, L"%s\\fxr\\dotnet\\host", scratch);
    wsprintfW(path, L"%s\\fxr\\10.0.15", host);
    wt_make_dirs(path);
    ShimReset();
    ok(!FindVersionedComponent(host, L"fxr", L"hostfxr.dll"), "resolver found without its marker");
    lstrcatW(path, L"\\hostfxr.dll");
    wt_write_file(path, "x", 1);
    ok(FindVersionedComponent(host, L"fxr", L"hostfxr.dll"), "resolver 10.0.15 not found");
    ok(!FindVersionedComponent(host, L"fxr", L"coreclr.dll"), "found a marker that is not there");
    ok(!FindVersionedComponent(host, L"missing", L"hostfxr.dll"), "found a family that is not there");
}

// Every failure inside detection answers "not found" and leaks nothing.
static void TestFailures(const WCHAR* scratch)
{
    static const struct
    {
        ShimCall call;
        LONG nth;
    } faults[] = {
        {SHIM_HeapAlloc, 1}, {SHIM_HeapAlloc, 2}, {SHIM_HeapAlloc, 3}, {SHIM_HeapAlloc, 4},
        {SHIM_HeapAlloc, 5}, {SHIM_SHGetFolderPathW, 1}, {SHIM_FindFirstFileW, 1}, {SHIM_FindFirstFileW, 2},
    };
    WCHAR root[MAX_PATH];
    wsprintfW(root, L"%s\\case0", scratch);   // "10.0.15 both", made by TestCases
    for (size_t i = 0; i < ARRAYSIZE(faults); ++i)
    {
        ShimReset();
        ShimSetProgramFiles(root);
        DWORD handles = wt_handle_count();
        ShimFail(faults[i].call, faults[i].nth, 0);
        BOOL ready = IsRuntimeReady();
        ok(!ready, "%s #%ld failing: still reported ready", ShimName(faults[i].call), faults[i].nth);
        ok(wt_handle_count() == handles, "%s #%ld: handles %lu -> %lu", ShimName(faults[i].call), faults[i].nth,
           handles, wt_handle_count());
    }
    ShimReset();
    ShimSetProgramFiles(root);
    ok(IsRuntimeReady(), "case 1 not ready once the faults are gone");
}

int wmain(void)
{
    WCHAR scratch[MAX_PATH * 2];
    if (!wt_make_temp_dir(L"detect", scratch))
    {
        ok(0, "cannot make a scratch directory");
        return wt_finish();
    }
    ok(wt_handle_count() > 0, "the handle table could not be read, handle checks would prove nothing");
    TestCases(scratch);
    TestVersionNames(scratch);
    TestCoreMissingSkipsDesktop(scratch);
    TestHostResolverRow(scratch);
    TestFailures(scratch);
    wt_remove_tree(scratch);
    return wt_finish();
}
