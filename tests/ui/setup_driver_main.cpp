// quorlith-ui-driver [--close-on-runtime | --close-on-opening | --close-when-shown | --stop-when-shown]
//                    [--class <window class>] [--wait <ms>] [--timeout <s>] [--log <file>]
//                    <setup.exe> [arguments...]
//
// Starts the bootstrapper and prints what a user would see, one line per observation: each status text,
// the window's position, when it is hidden, any error box (which it answers with OK) and the full exit
// code. A close request can be sent when the runtime installation or the installer step begins, or as soon
// as the window shows; --stop-when-shown ends the process there instead (start-up timing). The
// driver's exit code is 0 when the bootstrapper ended on its own, 1 otherwise. --log writes the lines to a
// file instead of standard output, which a program started inside a Wine virtual desktop does not have on
// every Wine version.
#include "setup_driver.h"

#include <stdio.h>

static void AppendArgument(WCHAR* line, const WCHAR* argument)
{
    if (line[0])
    {
        lstrcatW(line, L" ");
    }
    lstrcatW(line, L"\"");
    lstrcatW(line, argument);
    lstrcatW(line, L"\"");
}

int wmain(int argc, WCHAR** argv)
{
    static WCHAR line[32768];
    SetupRun run = {};
    int at = 1;

    for (; at < argc && argv[at][0] == L'-' && argv[at][1] == L'-'; ++at)
    {
        if (lstrcmpW(argv[at], L"--close-on-runtime") == 0)
        {
            run.closeOnLabel = L"Installing the required Microsoft runtime. Please approve the Windows prompt.";
        }
        else if (lstrcmpW(argv[at], L"--close-on-opening") == 0)
        {
            run.closeOnLabel = L"Opening the Quorlith installer\x2026";
        }
        else if (lstrcmpW(argv[at], L"--close-when-shown") == 0)
        {
            run.closeWhenShown = TRUE;
        }
        else if (lstrcmpW(argv[at], L"--stop-when-shown") == 0)
        {
            run.stopWhenShown = TRUE;
        }
        else if (lstrcmpW(argv[at], L"--class") == 0 && at + 1 < argc)
        {
            run.windowClass = argv[++at];
        }
        else if (lstrcmpW(argv[at], L"--wait") == 0 && at + 1 < argc)
        {
            // Gives a fresh virtual desktop time to paint before the window to be watched appears.
            Sleep(static_cast<DWORD>(_wtoi(argv[++at])));
        }
        else if (lstrcmpW(argv[at], L"--timeout") == 0 && at + 1 < argc)
        {
            run.timeoutMs = static_cast<DWORD>(_wtoi(argv[++at])) * 1000;
        }
        else if (lstrcmpW(argv[at], L"--log") == 0 && at + 1 < argc)
        {
            if (!_wfreopen(argv[++at], L"w", stdout))
            {
                return 2;
            }
        }
        else
        {
            break;
        }
    }
    if (at >= argc)
    {
        printf("usage: quorlith-ui-driver [--close-on-runtime | --close-on-opening | --close-when-shown |\n"
               "                          --stop-when-shown] [--class name] [--wait ms] [--timeout s]\n"
               "                          [--log file] setup.exe [args...]\n");
        return 2;
    }
    for (; at < argc; ++at)
    {
        AppendArgument(line, argv[at]);
    }

    const UINT dpi = MatchSetupDpiAwareness();
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    RECT window;
    RECT label;
    ExpectedLayout(width, height, dpi, &window, &label);
    printf("screen: %d x %d at %u DPI, window expected at (%ld, %ld), %ld x %ld\n", width, height, dpi, window.left,
           window.top, window.right - window.left, window.bottom - window.top);
    fflush(stdout);

    run.commandLine = line;
    run.verbose = TRUE;
    DriveSetup(&run);
    if (run.wasVisible && !EqualRect(&run.windowRect, &window))
    {
        printf("window: NOT at the expected place\n");
    }
    if (!run.boxCount)
    {
        printf("box: none\n");
    }
    return run.ended ? 0 : 1;
}
