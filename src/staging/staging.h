// Randomly named staging directories and the run-and-wait child process runner.
#pragma once

#include "common/common.h"

#define STAGING_PREFIX L"Quorlith-Setup-"
#define STAGING_NAME_FORMAT L"Quorlith-Setup-%08X%08X"
#define MACHINE_STAGING_SDDL L"O:BAG:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)"
// Per-user: owner and the third entry are the process's user (a SID string, %s twice); the entries are
// inherited by what is made inside, as a profile's own temporary directory grants them.
#define USER_STAGING_SDDL_FORMAT L"O:%sD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)"
// Room for the format with two of the longest SID strings (184 characters each) and its terminator.
#define USER_STAGING_SDDL_CHARS 512

// Command-line buffer of the plain runner, in code units: twice a PathBuffer plus 10.
#define RUNNER_COMMAND_LINE_CHARS (2 * PATH_BUFFER_CHARS + 10)
// The longest command line the platform accepts, in code units with its terminator.
#define PLATFORM_COMMAND_LINE_CHARS 32767
// Argument buffers of the callers, in code units (65,736 bytes).
#define ARGUMENT_BUFFER_CHARS 32868

// Creates a new directory "Quorlith-Setup-" + 16 hex digits in the user's temporary directory, or,
// with machineWide, in the Windows Temp directory. Either has a protected access list: SYSTEM and
// Administrators, and in the per-user one also the process's user.
// out must be an empty PathBuffer; after a failed creation it still holds the composed path.
BOOL CreateStagingDirectory(WCHAR* out, INT machineWide);

// Starts path (with args, which may be NULL), waits for it without limit and returns its exit code, or
// the start error when it never started. elevated asks the shell for the "runas" verb.
Status RunAndWait(const WCHAR* path, const WCHAR* args, INT elevated);

// Creates the per-user staging directory in g_stagingDir and writes the product installer into it as
// g_installerPath. On failure whatever was made is left for RemoveStagedInstaller.
BOOL StageInstaller(void);

// Deletes g_installerPath and then removes g_stagingDir, each only when it was set. Results are ignored:
// a directory that still holds something stays.
void RemoveStagedInstaller(void);
