#include "runtime/runtime.h"
#include "payload/payload.h"
#include "staging/staging.h"

#define SHAREDHOST_KEY L"SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
#define SYSTEM_DIRECTORY_CHARS 280
#define MSIEXEC_NAME L"\\msiexec.exe"

const WCHAR* const RuntimePackageNames[RUNTIME_PACKAGE_COUNT] = {
    L"dotnet-host.msi",
    L"dotnet-hostfxr.msi",
    L"dotnet-runtime.msi",
    L"windowsdesktop-runtime.msi",
};

// Presence tests of packages 1 to 3: the detection rows of the host resolver and the two runtimes.
static const RuntimeComponent* const PackageComponents[RUNTIME_PACKAGE_COUNT] = {
    NULL,
    &HostResolverComponent,
    &CoreRuntimeComponent,
    &DesktopRuntimeComponent,
};

// The host registers its version in the 64-bit registry view; any major version of 10 or more counts.
static BOOL IsHostPresent(void)
{
    HKEY key = NULL;
    WCHAR version[100];
    DWORD bytes = sizeof(version);
    LONG status = ERROR_SUCCESS;
    BOOL present = FALSE;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SHAREDHOST_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    {
        key = NULL;
        goto LExit;
    }
    // The value's type is not examined and its data need not be terminated: read into a zeroed buffer
    // and end the text at the data actually returned, and at index 99 whatever was returned.
    ZeroMemory(version, sizeof(version));
    status = RegQueryValueExW(key, L"Version", NULL, NULL, reinterpret_cast<BYTE*>(version), &bytes);
    if (status != ERROR_SUCCESS)
    {
        goto LExit;
    }
    if (bytes / sizeof(WCHAR) < ARRAYSIZE(version))
    {
        version[bytes / sizeof(WCHAR)] = L'\0';
    }
    version[ARRAYSIZE(version) - 1] = L'\0';
    present = ReadDecimal(version, NULL) >= MIN_HOST_MAJOR;

LExit:
    if (key)
    {
        RegCloseKey(key);
    }
    return present;
}

static BOOL IsPackagePresent(int index)
{
    return index == 0 ? IsHostPresent() : IsComponentInstalled(PackageComponents[index]);
}

// msiexec from the system directory, never from a search path.
static BOOL GetMsiexecPath(WCHAR* out)
{
    const UINT length = GetSystemDirectoryW(out, SYSTEM_DIRECTORY_CHARS);
    if (length == 0 || length >= SYSTEM_DIRECTORY_CHARS)
    {
        return FALSE;
    }
    lstrcatW(out, MSIEXEC_NAME);
    return TRUE;
}

// "/i \"<package>\" /qn /norestart", formed whole; the package path always fits the argument buffer.
static BOOL FormatMsiexecArguments(WCHAR* out, const WCHAR* package)
{
    out[0] = L'\0';
    return AppendText(out, ARGUMENT_BUFFER_CHARS, L"/i \"") &&
           AppendText(out, ARGUMENT_BUFFER_CHARS, package) &&
           AppendText(out, ARGUMENT_BUFFER_CHARS, L"\" /qn /norestart");
}

static BOOL IsAcceptedMsiexecCode(Status code)
{
    return code == ERROR_SUCCESS || code == ERROR_PRODUCT_VERSION || code == ERROR_SUCCESS_REBOOT_REQUIRED;
}

Status InstallRuntime(void)
{
    WCHAR* staging = NULL;
    WCHAR* package = NULL;
    WCHAR* arguments = NULL;
    WCHAR msiexec[SYSTEM_DIRECTORY_CHARS + ARRAYSIZE(MSIEXEC_NAME)];
    Status result = ERROR_SUCCESS;

    staging = AllocPathBuffer();
    package = AllocPathBuffer();
    arguments = static_cast<WCHAR*>(AllocZeroed(ARGUMENT_BUFFER_CHARS * sizeof(WCHAR)));
    if (!staging || !package || !arguments)
    {
        result = ERROR_OUTOFMEMORY;
        goto LExit;
    }
    // Nothing to do: no verification, no directory, no registry read, no msiexec.
    if (IsRuntimeReady())
    {
        goto LExit;
    }
    if (!VerifyAllPayloads() || !CreateStagingDirectory(staging, TRUE))
    {
        result = ERROR_INVALID_DATA;
        goto LExit;
    }
    // Without a usable system directory there is no msiexec to trust; start nothing.
    if (!GetMsiexecPath(msiexec))
    {
        result = ERROR_INVALID_DATA;
        goto LExit;
    }

    for (int i = 0; i < RUNTIME_PACKAGE_COUNT; ++i)
    {
        // Each test runs just before its package, so it sees what the packages before it installed.
        if (IsPackagePresent(i))
        {
            continue;
        }
        // The arguments are formed before the package is written, so that no failure can leave it behind.
        if (!JoinPath(package, staging, RuntimePackageNames[i]) || !FormatMsiexecArguments(arguments, package) ||
            !ExtractPayload(PAYLOAD_FIRST + i, package))
        {
            result = ERROR_INVALID_DATA;
            break;
        }
        const Status code = RunAndWait(msiexec, arguments, FALSE);
        DeleteFileW(package);
        if (!IsAcceptedMsiexecCode(code))
        {
            result = code;
            break;
        }
    }
    // Installed without error is not enough: the runtime must now be found.
    if (!IsRuntimeReady() && result == ERROR_SUCCESS)
    {
        result = ERROR_INSTALL_FAILURE;
    }

LExit:
    if (staging && staging[0])
    {
        RemoveDirectoryW(staging);
    }
    FreeBlock(arguments);
    FreeBlock(package);
    FreeBlock(staging);
    return result;
}
