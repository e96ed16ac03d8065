#include "entry/modes.h"
#include "payload/payload.h"
#include "runtime/runtime.h"
#include "staging/staging.h"
#include "common/state.h"

DWORD RunInstallerCheck(const WCHAR* param)
{
    WCHAR* arguments = NULL;
    DWORD exitCode = 1;   // until the installer has run

    arguments = static_cast<WCHAR*>(AllocZeroed(ARGUMENT_BUFFER_CHARS * sizeof(WCHAR)));
    // The runtime is required, not installed here: without it nothing is verified or written.
    if (!IsRuntimeReady() || !VerifyAllPayloads() || !arguments || !StageInstaller())
    {
        goto LExit;
    }
    // The parameter reaches the installer as exactly one argument, whatever characters it holds.
    if (!AppendText(arguments, ARGUMENT_BUFFER_CHARS, L"--check ") ||
        !AppendQuotedArgument(arguments, ARGUMENT_BUFFER_CHARS, param))
    {
        goto LExit;
    }
    exitCode = RunAndWait(g_installerPath, arguments, FALSE);

LExit:
    RemoveStagedInstaller();
    FreeBlock(arguments);
    return exitCode;
}
