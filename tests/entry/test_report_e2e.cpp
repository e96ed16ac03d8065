// "--verify-bundle" on the real executable and on altered copies of it, in a prefix of its own.
#include "wtest.h"
#include "pe.h"
#include "report_texts.h"

#include <string.h>


static WCHAR g_scratch[MAX_PATH * 2];

static BOOL ok_load(PeImage* image, const WCHAR* path)
{
    BOOL loaded = pe_load(path, image);
    ok(loaded, "cannot read %s as a PE image", wt_u8(path));
    return loaded;
}

// Runs exe --verify-bundle <report> in the scratch directory; returns the exit code.
static DWORD VerifyBundle(const WCHAR* exe, const WCHAR* report)
{
    WCHAR commandLine[MAX_PATH * 4];
    DWORD exitCode = 0xDEADBEEF;
    wsprintfW(commandLine, L"\"%s\" --verify-bundle \"%s\"", exe, report);
    ok(wt_run_ex(commandLine, g_scratch, NULL, 60000, &exitCode), "%s did not end", wt_u8(commandLine));
    return exitCode;
}

static BOOL FileEquals(const WCHAR* path, const char* expected)
{
    DWORD size = 0;
    BYTE* data = wt_read_file(path, &size);
    BOOL equal = data && size == strlen(expected) && !memcmp(data, expected, size);
    if (!equal)
    {
        printf("  %s holds: %s\n", wt_u8(path), data ? reinterpret_cast<char*>(data) : "(no file)");
    }
    wt_free(data);
    return equal;
}

static void TestReportTexts(const WCHAR* exe, const char* expected, const char* what)
{
    WCHAR report[MAX_PATH * 2];
    wsprintfW(report, L"%s\\report.json", g_scratch);
    DeleteFileW(report);
    // Relative to the current directory, as typed.
    ok(VerifyBundle(exe, L"report.json") == 0, "%s: exit code", what);
    ok(FileEquals(report, expected), "%s: report text differs", what);

    // An existing, longer report is replaced, not appended to.
    char longer[600];
    memset(longer, 'z', sizeof(longer));
    wt_write_file(report, longer, sizeof(longer));
    ok(VerifyBundle(exe, report) == 0, "%s, over an old report: exit code", what);
    ok(FileEquals(report, expected), "%s: old report not replaced", what);
}

static void TestUnwritablePaths(const WCHAR* exe)
{
    WCHAR missing[MAX_PATH * 2];
    wsprintfW(missing, L"%s\\no-such-directory\\report.json", g_scratch);
    ok(VerifyBundle(exe, g_scratch) == 1, "a directory as the report path did not fail");
    ok(VerifyBundle(exe, missing) == 1, "a report in a missing directory did not fail");
    ok(!wt_exists(missing), "report written into a missing directory");
}

// Copies of the executable, each altered in one way; every one must fail without writing a report.
static void TestAlteredCopies(const WCHAR* exe)
{
    PeImage image;
    WCHAR copy[MAX_PATH * 2];
    WCHAR report[MAX_PATH * 2];
    wsprintfW(copy, L"%s\\altered.exe", g_scratch);
    wsprintfW(report, L"%s\\altered.json", g_scratch);

    static const struct
    {
        const char* what;
        WORD id;
    } flips[] = {{"one byte of payload 103 flipped", 103}, {"last byte of payload 105 flipped", 105}};
    for (size_t i = 0; i < ARRAYSIZE(flips); ++i)
    {
        PeResource resource;
        if (!ok_load(&image, exe))
        {
            return;
        }
        ok(pe_find_resource(&image, 10, flips[i].id, &resource), "%s: resource not found", flips[i].what);
        DWORD at = flips[i].id == 105 ? resource.offset + resource.size - 1 : resource.offset + resource.size / 2;
        image.data[at] ^= 0x01;
        pe_save(&image, copy);
        pe_free(&image);
        DeleteFileW(report);
        ok(VerifyBundle(copy, report) == 1, "%s: verification passed", flips[i].what);
        ok(!wt_exists(report), "%s: a report was written", flips[i].what);
    }

    // Two rows of the digest table swapped: located by the digests of payloads 101 and 102.
    if (ok_load(&image, exe))
    {
        PeResource first;
        PeResource second;
        BYTE rows[2][32];
        pe_find_resource(&image, 10, 101, &first);
        pe_find_resource(&image, 10, 102, &second);
        wt_sha256(image.data + first.offset, first.size, rows[0]);
        wt_sha256(image.data + second.offset, second.size, rows[1]);
        LONG table = pe_find_bytes(&image, rows, sizeof(rows));
        ok(table > 0, "digest rows 101 and 102 not found side by side in the image");
        if (table > 0)
        {
            memcpy(image.data + table, rows[1], 32);
            memcpy(image.data + table + 32, rows[0], 32);
            pe_save(&image, copy);
            DeleteFileW(report);
            ok(VerifyBundle(copy, report) == 1, "rows swapped: verification passed");
            ok(!wt_exists(report), "rows swapped: a report was written");
        }
        pe_free(&image);
    }

    // Resource 103 gone: its directory entry renumbered out of reach. A large number keeps the ids that
    // lookups of 101 and 102 binary-search through in order.
    if (ok_load(&image, exe))
    {
        PeResource resource;
        ok(pe_renumber_resource(&image, 10, 103, 0x7FFF), "resource 103 not found in the directory");
        ok(!pe_find_resource(&image, 10, 103, &resource), "resource 103 still present");
        pe_save(&image, copy);
        pe_free(&image);
        DeleteFileW(report);
        ok(VerifyBundle(copy, report) == 1, "resource 103 missing: verification passed");
        ok(!wt_exists(report), "resource 103 missing: a report was written");
    }
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 3)
    {
        ok(0, "usage: entry_report_e2e <QuorlithSetup.exe> <payload dir>");
        return wt_finish();
    }
    if (wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    if (!wt_make_temp_dir(L"report-e2e", g_scratch))
    {
        ok(0, "no scratch directory");
        return wt_finish();
    }
    WCHAR exe[MAX_PATH * 2];
    wsprintfW(exe, L"%s\\QuorlithSetup.exe", g_scratch);
    ok(CopyFileW(wt_winpath(argv[1]), exe, FALSE), "cannot copy the executable");

    TestReportTexts(exe, wt_report_absent, "clean prefix");
    TestUnwritablePaths(exe);
    TestAlteredCopies(exe);
    wt_install_sample_runtime(wt_winpath(argv[2]));
    TestReportTexts(exe, wt_report_present, "sample runtime installed");
    ok(wt_count_staging_dirs() == 0, "a staging directory was left");

    wt_uninstall_sample_runtime();
    wt_remove_tree(g_scratch);
    return wt_finish();
}
