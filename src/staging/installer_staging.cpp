#include "staging/staging.h"
#include "common/state.h"
#include "payload/payload.h"

BOOL StageInstaller(void)
{
    return CreateStagingDirectory(g_stagingDir, FALSE) && JoinPath(g_installerPath, g_stagingDir, INSTALLER_FILE_NAME) &&
           ExtractPayload(PAYLOAD_INSTALLER, g_installerPath);
}

void RemoveStagedInstaller(void)
{
    // The file first: RemoveDirectoryW removes only an empty directory.
    if (g_installerPath[0])
    {
        DeleteFileW(g_installerPath);
    }
    if (g_stagingDir[0])
    {
        RemoveDirectoryW(g_stagingDir);
    }
}
