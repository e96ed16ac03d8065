// SetupEntry with every mode replaced by a stub that records which mode ran and with what parameter, so the
// dispatch can be driven from outside with real command lines. The processor and the argument vector can be
// steered through QUORLITH_SHIM (arch=<n>, fail=CommandLineToArgvW:1, capture-messagebox).
#include "shim.h"
#include "entry/modes.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

static void Record(const WCHAR* mode, const WCHAR* parameter)
{
    WCHAR path[MAX_PATH];
    WCHAR line[2048];
    char utf8[6144];
    DWORD done = 0;
    if (!GetEnvironmentVariableW(L"QUORLITH_PROBE_OUT", path, MAX_PATH))
    {
        return;
    }
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    wsprintfW(line, L"%s|%.1000s", mode, parameter ? parameter : L"(none)");
    int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), NULL, NULL);
    WriteFile(file, utf8, static_cast<DWORD>(length - 1), &done, NULL);
    CloseHandle(file);
}

Status InstallRuntime(void)
{
    Record(L"install-runtime", NULL);
    return ERROR_SUCCESS_REBOOT_REQUIRED;   // a code above 255 proves the full status reaches the exit code
}

BOOL WriteBundleReport(const WCHAR* path)
{
    Record(L"verify-bundle", path);
    return lstrcmpW(path, L"fail") != 0;
}

DWORD RunInstallerCheck(const WCHAR* param)
{
    Record(L"check-installer", param);
    return 0xC0DE;
}

__declspec(noreturn) void RunWindowMode(void)
{
    Record(L"window", NULL);
    ExitProcess(0x77);
}

int main(void)
{
    ShimConfigureFromEnvironment();
    SetupEntry();
    return 99;   // SetupEntry never returns
}
