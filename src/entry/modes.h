// Entry point, mode selection and the command-line modes.
#pragma once

#include "common/common.h"

enum SetupMode
{
    MODE_WINDOW,
    MODE_INSTALL_RUNTIME,   // "--install-runtime"
    MODE_VERIFY_BUNDLE,     // "--verify-bundle <report>"
    MODE_CHECK_INSTALLER,   // "--check-installer <path>"
};

#define PROCESSOR_MESSAGE L"This Quorlith installer requires 64-bit Intel or AMD Windows."
#define SETUP_CAPTION L"Quorlith Setup"

extern "C" void SetupEntry(void);

// The mode for an argument vector of count entries (argv[0] included). A missing vector is window mode.
SetupMode SelectMode(int count, WCHAR** argv);

// Only native x86-64 runs the program; ARM64 is refused even though it could emulate it.
BOOL IsSupportedProcessor(WORD nativeArchitecture);

// "--verify-bundle": writes the one-line JSON report; non-zero when it was written whole.
BOOL WriteBundleReport(const WCHAR* path);

// "--check-installer": runs the product installer's check on param and returns its exit code, or 1.
DWORD RunInstallerCheck(const WCHAR* param);
