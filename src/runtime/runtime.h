// Detection of the .NET 10 runtime and the elevated installation of its missing packages.
#pragma once

#include "common/common.h"

#define MIN_RUNTIME_PATCH 15
#define MIN_HOST_MAJOR 10
#define RUNTIME_VERSION_PATTERN L"10.0.*"
#define RUNTIME_PACKAGE_COUNT 4

// Roots below the Program Files directory.
#define DOTNET_SHARED_ROOT L"\\dotnet\\shared"
#define DOTNET_HOST_ROOT L"\\dotnet\\host"

// One row of detection: Program Files + root, then family\10.0.x\marker.
struct RuntimeComponent
{
    const WCHAR* root;
    const WCHAR* family;
    const WCHAR* marker;
};

extern const RuntimeComponent CoreRuntimeComponent;
extern const RuntimeComponent DesktopRuntimeComponent;
extern const RuntimeComponent HostResolverComponent;

// Installation order; entry i belongs to payload 101 + i.
extern const WCHAR* const RuntimePackageNames[RUNTIME_PACKAGE_COUNT];

// Non-zero when root\family\10.0.x (x >= 15, digits only) holds an entry named marker.
BOOL FindVersionedComponent(const WCHAR* root, const WCHAR* family, const WCHAR* marker);

// Non-zero when both the core runtime and the desktop runtime are found. Looks at the disk every time.
BOOL IsRuntimeReady(void);

// Writes the Program Files path followed by root (one of the DOTNET_* roots) into out, a PathBuffer.
// Fails when the folder query fails or the result would not fit.
BOOL GetDotnetRoot(WCHAR* out, const WCHAR* root);

// Non-zero when the component's row finds an installed version; every failure counts as not found.
BOOL IsComponentInstalled(const RuntimeComponent* component);

// The "--install-runtime" mode: installs the missing packages and returns a status code.
Status InstallRuntime(void);
