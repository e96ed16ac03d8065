#include "entry/modes.h"
#include "runtime/runtime.h"
#include "ui/ui.h"

#include <shellapi.h>

SetupMode SelectMode(int count, WCHAR** argv)
{
    if (!argv)
    {
        return MODE_WINDOW;
    }
    if (count == 2 && lstrcmpW(argv[1], L"--install-runtime") == 0)
    {
        return MODE_INSTALL_RUNTIME;
    }
    if (count == 3 && lstrcmpW(argv[1], L"--verify-bundle") == 0)
    {
        return MODE_VERIFY_BUNDLE;
    }
    if (count == 3 && lstrcmpW(argv[1], L"--check-installer") == 0)
    {
        return MODE_CHECK_INSTALLER;
    }
    return MODE_WINDOW;
}

BOOL IsSupportedProcessor(WORD nativeArchitecture)
{
    return nativeArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

extern "C" void SetupEntry(void)
{
    int count = 0;
    WCHAR** argv = NULL;
    SYSTEM_INFO system;
    UINT exitCode = 0;

    // Before anything can load a library: DLLs that system libraries pull in later come from System32,
    // never from this program's own folder. The elevated instance runs from that same folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    argv = CommandLineToArgvW(GetCommandLineW(), &count);
    GetNativeSystemInfo(&system);
    if (!IsSupportedProcessor(system.wProcessorArchitecture))
    {
        MessageBoxW(NULL, PROCESSOR_MESSAGE, SETUP_CAPTION, MB_ICONERROR);
        ExitProcess(1);
    }
    // Without a vector the mode is unknown. Guessing window mode could turn an elevated
    // "--install-runtime" child into a second setup window, so stop instead.
    if (!argv)
    {
        ExitProcess(ERROR_OUTOFMEMORY);
    }

    switch (SelectMode(count, argv))
    {
    case MODE_INSTALL_RUNTIME:
        LocalFree(argv);
        exitCode = InstallRuntime();
        break;
    case MODE_VERIFY_BUNDLE:
        exitCode = WriteBundleReport(argv[2]) ? 0 : 1;
        LocalFree(argv);
        break;
    case MODE_CHECK_INSTALLER:
        exitCode = RunInstallerCheck(argv[2]);
        LocalFree(argv);
        break;
    case MODE_WINDOW:
    default:
        LocalFree(argv);
        RunWindowMode();
    }
    ExitProcess(exitCode);
}
