#include "realwin.h"
#include "wtest.h"
#include "report_texts.h"

#include <stdarg.h>

void rw_judge(int condition, const char* file, int line, const char* format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (!wt_is_wine())
    {
        wt_ok(condition, file, line, "%s", message);
    }
    else if (!condition)
    {
        const char* base = strrchr(file, '/');
        printf("%s:%d: not judged under Wine: %s\n", base ? base + 1 : file, line, message);
    }
}

int rw_runtime_found(const WCHAR* setup)
{
    WCHAR dir[MAX_PATH * 4];
    WCHAR report[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 9];
    DWORD code = 0xDEADBEEF;
    int found = -1;
    wt_make_temp_dir(L"rw-runtime", dir);
    wsprintfW(report, L"%s\\report.json", dir);
    wsprintfW(line, L"\"%s\" --verify-bundle \"%s\"", setup, report);
    const BOOL ended = wt_run(line, 120000, &code);
    char* text = reinterpret_cast<char*>(wt_read_file(report, NULL));
    if (ended && code == 0 && text && !lstrcmpA(text, wt_report_present))
    {
        found = 1;
    }
    else if (ended && code == 0 && text && !lstrcmpA(text, wt_report_absent))
    {
        found = 0;
    }
    else
    {
        printf("runtime look-up: ended %d, exit code %lu, report %s\n", ended, code, text ? text : "(none)");
    }
    wt_free(text);
    wt_remove_tree(dir);
    return found;
}

BOOL rw_skip_unless_may_install(void)
{
    return wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present();
}

BOOL rw_provide_runtime(const WCHAR* setup, const WCHAR* payloadDir, BOOL* installed, const char** whyNot)
{
    *installed = FALSE;
    *whyNot = "";
    const int found = rw_runtime_found(setup);
    if (found == 1)
    {
        return TRUE;
    }
    if (found < 0)
    {
        *whyNot = "the setup image gave no runtime report";
        return FALSE;
    }
    // Under Wine the prefix is the test's own; on Windows only an elevated run installs per machine.
    if (!wt_is_wine() && !wt_is_elevated())
    {
        *whyNot = "the runtime is missing, and installing the sample runtime needs an elevated run";
        return FALSE;
    }
    if (wt_is_dotnet_present())
    {
        *whyNot = "the setup image does not find the runtime, and installing the samples would go over the .NET "
                  "installed here, whose removal would take it along";
        return FALSE;
    }
    wt_install_sample_runtime(payloadDir);
    *installed = TRUE;
    if (rw_runtime_found(setup) != 1)
    {
        *whyNot = "the sample runtime was installed, yet the setup image does not find it";
        return FALSE;
    }
    return TRUE;
}
