#include "staging/staging.h"

#include <shellapi.h>

static Status RunPlain(const WCHAR* path, const WCHAR* args)
{
    WCHAR* commandLine = NULL;
    STARTUPINFOW startup;
    PROCESS_INFORMATION process;
    DWORD exitCode = 0;
    Status result = 1;   // stays 1 when the exit code cannot be read

    commandLine = static_cast<WCHAR*>(AllocZeroed(RUNNER_COMMAND_LINE_CHARS * sizeof(WCHAR)));
    if (!commandLine)
    {
        result = ERROR_OUTOFMEMORY;
        goto LExit;
    }
    // Formed whole: a cut command line would start the child with a truncated path or argument. One past
    // the platform's limit is refused here, as Windows refuses it, because some implementations of
    // CreateProcessW (Wine's) start the child with the line cut short instead.
    if (!AppendText(commandLine, RUNNER_COMMAND_LINE_CHARS, L"\"") ||
        !AppendText(commandLine, RUNNER_COMMAND_LINE_CHARS, path) ||
        !AppendText(commandLine, RUNNER_COMMAND_LINE_CHARS, L"\" ") ||
        !AppendText(commandLine, RUNNER_COMMAND_LINE_CHARS, args ? args : L"") ||
        lstrlenW(commandLine) >= PLATFORM_COMMAND_LINE_CHARS)
    {
        result = ERROR_FILENAME_EXCED_RANGE;
        goto LExit;
    }

    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    ZeroMemory(&process, sizeof(process));
    if (!CreateProcessW(path, commandLine, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process))
    {
        result = GetLastError();
        goto LExit;
    }
    // The buffer is not needed while the child runs, which may be for a long time.
    FreeBlock(commandLine);
    commandLine = NULL;

    WaitForSingleObject(process.hProcess, INFINITE);
    if (GetExitCodeProcess(process.hProcess, &exitCode))
    {
        result = exitCode;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

LExit:
    FreeBlock(commandLine);
    return result;
}

static Status RunElevated(const WCHAR* path, const WCHAR* args)
{
    SHELLEXECUTEINFOW execute;
    DWORD exitCode = 0;
    Status result = 1;

    ZeroMemory(&execute, sizeof(execute));
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.lpVerb = L"runas";
    execute.lpFile = path;
    execute.lpParameters = args;
    execute.nShow = SW_HIDE;
    if (!ShellExecuteExW(&execute))
    {
        // ERROR_CANCELLED when the user declines the consent prompt.
        result = GetLastError();
        goto LExit;
    }
    if (!execute.hProcess)
    {
        goto LExit;
    }
    WaitForSingleObject(execute.hProcess, INFINITE);
    if (GetExitCodeProcess(execute.hProcess, &exitCode))
    {
        result = exitCode;
    }
    CloseHandle(execute.hProcess);

LExit:
    return result;
}

Status RunAndWait(const WCHAR* path, const WCHAR* args, INT elevated)
{
    return elevated ? RunElevated(path, args) : RunPlain(path, args);
}
