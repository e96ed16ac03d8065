// The bundle report against a test bundle, with detection pointed at scratch trees and faults injected.
#include "wtest.h"
#include "report_texts.h"
#include "shim.h"
#include "entry/modes.h"

#include <string.h>

static const char g_sentinel[] = "sentinel: an earlier report that must survive";

static WCHAR g_scratch[MAX_PATH * 2];
static WCHAR g_withRuntime[MAX_PATH * 2];
static WCHAR g_withoutRuntime[MAX_PATH * 2];

// Reads the file at path and compares it with expected (NULL: the file must not exist).
static void CheckFile(const char* what, const WCHAR* path, const char* expected)
{
    DWORD size = 0;
    BYTE* data = wt_read_file(path, &size);
    if (!expected)
    {
        ok(!data, "%s: a file was left: %s", what, data ? reinterpret_cast<char*>(data) : "");
    }
    else
    {
        ok(data && size == strlen(expected) && !memcmp(data, expected, size), "%s: got %lu bytes: %s", what, size,
           data ? reinterpret_cast<char*>(data) : "(no file)");
    }
    wt_free(data);
}

static void TestTexts(void)
{
    WCHAR report[MAX_PATH * 2];
    wsprintfW(report, L"%s\\report.json", g_scratch);

    ShimReset();
    ShimSetProgramFiles(g_withoutRuntime);
    ok(WriteBundleReport(report), "report without runtime not written");
    CheckFile("runtime absent", report, wt_report_absent);

    // A longer earlier report is truncated, not appended to or left with a tail.
    ShimReset();
    ShimSetProgramFiles(g_withRuntime);
    wt_write_file(report, "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123"
                          "45678901234567890123456789012345678901234567890123456789012345678901234567890123456789012345"
                          "678901234567890123456789", 220);
    ok(WriteBundleReport(report), "report with runtime not written");
    CheckFile("runtime present, replacing a longer file", report, wt_report_present);
    ok(ShimCalls(SHIM_WriteFile) == 1, "written in %ld calls", ShimCalls(SHIM_WriteFile));
}

struct Fault
{
    const char* what;
    ShimCall call;
    LONG nth;
    BOOL shortWrite;
    const char* left;   // what the report path holds afterwards: the sentinel, "" (truncated), or NULL (absent)
};

static void TestFailures(void)
{
    static const Fault faults[] = {
        {"payload not found", SHIM_FindResourceW, 3, FALSE, g_sentinel},
        {"hash provider unavailable", SHIM_BCryptOpenAlgorithmProvider, 5, FALSE, g_sentinel},
        {"report cannot be opened", SHIM_CreateFileW, 1, FALSE, g_sentinel},
        {"write fails", SHIM_WriteFile, 1, FALSE, ""},
        // A write that reports fewer bytes than asked leaves a truncated report: a failure, not success.
        {"short write", SHIM_CALL_COUNT, 0, TRUE, NULL},
    };
    WCHAR report[MAX_PATH * 2];
    wsprintfW(report, L"%s\\failing.json", g_scratch);
    for (size_t i = 0; i < ARRAYSIZE(faults); ++i)
    {
        wt_write_file(report, g_sentinel, sizeof(g_sentinel) - 1);
        ShimReset();
        ShimSetProgramFiles(g_withRuntime);
        if (faults[i].shortWrite)
        {
            ShimShortWrite(1);
        }
        else
        {
            ShimFail(faults[i].call, faults[i].nth, 0);
        }
        DWORD handles = wt_handle_count();
        ok(!WriteBundleReport(report), "%s: reported success", faults[i].what);
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", faults[i].what, handles, wt_handle_count());
        if (faults[i].left)
        {
            CheckFile(faults[i].what, report, faults[i].left);
        }
        else
        {
            DWORD size = 0;
            BYTE* data = wt_read_file(report, &size);
            ok(data && size < sizeof(wt_report_present) - 1, "%s: %lu bytes on disk", faults[i].what, size);
            wt_free(data);
        }
        // Verification failing must not even open the report path.
        if (faults[i].call == SHIM_FindResourceW || faults[i].call == SHIM_BCryptOpenAlgorithmProvider)
        {
            ok(ShimCalls(SHIM_CreateFileW) == 0, "%s: the report was opened", faults[i].what);
        }
        // Detection runs first, whatever verification then finds.
        ok(ShimCalls(SHIM_SHGetFolderPathW) == 1, "%s: detection ran %ld times", faults[i].what,
           ShimCalls(SHIM_SHGetFolderPathW));
    }

    ShimReset();
    ok(!WriteBundleReport(g_scratch), "a directory as the report path succeeded");
    ok(wt_is_dir(g_scratch), "the directory is gone");
}

int wmain(void)
{
    if (!wt_make_temp_dir(L"report", g_scratch))
    {
        ok(0, "no scratch directory");
        return wt_finish();
    }
    wsprintfW(g_withRuntime, L"%s\\with", g_scratch);
    wsprintfW(g_withoutRuntime, L"%s\\without", g_scratch);
    wt_make_runtime_tree(g_withRuntime);
    CreateDirectoryW(g_withoutRuntime, NULL);
    TestTexts();
    TestFailures();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
