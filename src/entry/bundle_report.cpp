#include "entry/modes.h"
#include "payload/payload.h"
#include "runtime/runtime.h"

static const char ReportRuntimePresent[] =
    "{\"passed\":true,\"bundleVerified\":true,\"runtimeDetected\":true,\"offlineRuntimeInstallers\":4,"
    "\"projectFilesRequired\":false,\"sdkRequired\":false,\"powershellRequired\":false,\"installed\":false}";
static const char ReportRuntimeAbsent[] =
    "{\"passed\":true,\"bundleVerified\":true,\"runtimeDetected\":false,\"offlineRuntimeInstallers\":4,"
    "\"projectFilesRequired\":false,\"sdkRequired\":false,\"powershellRequired\":false,\"installed\":false}";

BOOL WriteBundleReport(const WCHAR* path)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    BOOL written = FALSE;
    // Detection comes first and its answer is kept, whatever verification then finds.
    const BOOL runtimeDetected = IsRuntimeReady();
    const char* text = runtimeDetected ? ReportRuntimePresent : ReportRuntimeAbsent;
    const DWORD length = static_cast<DWORD>(lstrlenA(text));
    DWORD done = 0;

    if (!VerifyAllPayloads())
    {
        goto LExit;
    }
    file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        goto LExit;
    }
    // A write that reports fewer bytes than asked left a truncated report: that is a failure too.
    written = WriteFile(file, text, length, &done, NULL) && done == length;

LExit:
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    return written;
}
