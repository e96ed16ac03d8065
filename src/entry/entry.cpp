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

typedef BOOL(WINAPI* IsWow64Process2Function)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);

// Windows 11 on ARM64 tells an emulated x64 process that the machine is AMD64; IsWow64Process2 (Windows 10
// 1709 and later, so looked up rather than imported) names the real one. Without it the first answer stands.
static BOOL IsEmulatedOnOtherMachine(void)
{
    const FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2");
    const IsWow64Process2Function isWow64Process2 =
        reinterpret_cast<IsWow64Process2Function>(reinterpret_cast<void*>(address));
    USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;

    return isWow64Process2 && isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine) &&
           nativeMachine != IMAGE_FILE_MACHINE_AMD64;
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
    if (!IsSupportedProcessor(system.wProcessorArchitecture) || IsEmulatedOnOtherMachine())
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
