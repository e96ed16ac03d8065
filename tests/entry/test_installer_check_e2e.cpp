// "--check-installer <path>" on the real executable, in a prefix of its own: the runtime requirement,
// the installer's exit codes passed on whole, the parameter as the sample installer received it (its
// receipt), and a payload altered after the build.
// Arguments: <setup image> <sample payload directory>.
#include "wtest.h"
#include "setup_driver.h"

static WCHAR g_setup[MAX_PATH * 2];
static WCHAR g_payloads[MAX_PATH * 2];

static BOOL RunCheck(const WCHAR* image, const WCHAR* quotedParam, const WCHAR* environment, DWORD* code)
{
    static WCHAR line[8192];
    WCHAR path[MAX_PATH];
    SampleReceiptPath(path);
    DeleteFileW(path);
    // Not wsprintfW: it stops at 1,024 characters.
    lstrcpyW(line, L"\"");
    lstrcatW(line, image);
    lstrcatW(line, L"\" --check-installer ");
    lstrcatW(line, quotedParam);
    *code = 0xdeadbeef;
    return wt_run_ex(line, NULL, environment, 30000, code);
}

static BOOL ReceiptExists(void)
{
    WCHAR path[MAX_PATH];
    SampleReceiptPath(path);
    return wt_exists(path);
}

// A parameter for the command line of the bootstrapper itself, escaped so that it reads back unchanged.
static void Quote(WCHAR* out, const WCHAR* text)
{
    WCHAR* at = out;
    *at++ = L'"';
    for (const WCHAR* p = text;; ++p)
    {
        int backslashes = 0;
        while (*p == L'\\')
        {
            ++backslashes;
            ++p;
        }
        const int copies = *p == L'\0' ? backslashes * 2 : (*p == L'"' ? backslashes * 2 + 1 : backslashes);
        for (int i = 0; i < copies; ++i)
        {
            *at++ = L'\\';
        }
        if (!*p)
        {
            break;
        }
        *at++ = *p;
    }
    *at++ = L'"';
    *at = 0;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 3)
    {
        printf("usage: %s <setup.exe> <payload dir>\n", wt_u8(argv[0]));
        return 1;
    }
    if (wt_skip_unless_x64_machine() || wt_skip_if_dotnet_present())
    {
        return wt_finish();
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    lstrcpyW(g_payloads, wt_winpath(argv[2]));
    DWORD code = 0;

    // Runtime absent: 1 before anything is verified or written.
    ok(RunCheck(g_setup, L"\"C:\\windows\"", NULL, &code) && code == 1, "runtime absent: exit code %lu", code);
    ok(wt_count_staging_dirs() == 0 && !ReceiptExists(), "runtime absent: no staging directory, installer not run");

    wt_install_sample_runtime(g_payloads);

    // The installer's exit code, passed on whole (3010 would arrive as 194 through wine's own status).
    ok(RunCheck(g_setup, L"\"C:\\windows\"", NULL, &code) && code == 0, "existing path: exit code %lu", code);
    ok(RunCheck(g_setup, L"\"C:\\no such place\"", NULL, &code) && code == 2, "missing path: exit code %lu", code);
    ok(RunCheck(g_setup, L"\"C:\\windows\"", L"QUORLITH_SAMPLE_EXIT_CODE=3010", &code) && code == 3010,
       "installer exits with 3010: exit code %lu", code);
    ok(wt_count_staging_dirs() == 0, "exit codes: staging directories left: %d", wt_count_staging_dirs());

    static WCHAR longParam[2001];
    for (int i = 0; i < 2000; ++i)
    {
        longParam[i] = static_cast<WCHAR>(i % 100 == 99 ? L' ' : L'a' + i % 26);
    }
    static const struct
    {
        const WCHAR* param;
        const char* what;
    } params[] = {
        {L"C:\\Program Files\\Quorlith Projects\\first project.qrl", "spaces"},
        {L"C:\\Quorlith Projects\\", "trailing backslash"},
        {L"C:\\say \"hi\".qrl", "double quote"},
        {longParam, "2,000 characters"},
    };
    static WCHAR quoted[4200];
    static WCHAR received[4200];
    static WCHAR count[16];
    static WCHAR option[32];
    for (const auto& p : params)
    {
        Quote(quoted, p.param);
        received[0] = count[0] = option[0] = 0;
        ok(RunCheck(g_setup, quoted, NULL, &code) && code == 2, "%s: exit code %lu", p.what, code);
        ReadReceiptValue(L"argv[2]", received, ARRAYSIZE(received));
        ReadReceiptValue(L"argc", count, ARRAYSIZE(count));
        ReadReceiptValue(L"argv[1]", option, ARRAYSIZE(option));
        ok(lstrcmpW(count, L"3") == 0 && lstrcmpW(option, L"--check") == 0 && lstrcmpW(received, p.param) == 0,
           "%s: installer got argc %s, %s, %.80s (%d characters)", p.what, wt_u8(count), wt_u8(option),
           wt_u8(received), lstrlenW(received));
    }
    ok(wt_count_staging_dirs() == 0, "parameters: staging directories left: %d", wt_count_staging_dirs());

    // A payload altered after the build: 1, nothing written, installer not run.
    WCHAR dir[MAX_PATH * 4];
    WCHAR altered[MAX_PATH * 4];
    wt_make_temp_dir(L"installer-check-altered", dir);
    wsprintfW(altered, L"%s\\QuorlithSetup.exe", dir);
    ok(CopyWithAlteredResource(g_setup, altered, 105), "altered copy of the setup image");
    ok(RunCheck(altered, L"\"C:\\windows\"", NULL, &code) && code == 1, "altered payload: exit code %lu", code);
    ok(wt_count_staging_dirs() == 0 && !ReceiptExists(), "altered payload: no staging directory, installer not run");
    wt_remove_tree(dir);
    wt_uninstall_sample_runtime();
    return wt_finish();
}
