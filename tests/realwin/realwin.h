// What the real-Windows checks share: whether this run may change the machine, whether the runtime is
// there, and how the sample runtime is put on and taken off again.
#pragma once

#include <windows.h>

// ok() for a step whose outcome only means something on Windows: under Wine it is never counted (a
// failure is printed as a note), so that no check passes on Wine's answer.
#define judge(condition, ...) rw_judge((condition) ? 1 : 0, __FILE__, __LINE__, __VA_ARGS__)
void rw_judge(int condition, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Whether the setup image finds the runtime, from its own --verify-bundle report: 1 found, 0 not found,
// -1 no answer (the report is printed then).
int rw_runtime_found(const WCHAR* setup);

// For a check that installs the sample runtime (under Program Files\dotnet and HKLM) and removes it again.
// It skips at once, saying so, on a machine that is not x64 (every run of the image there ends in a box
// that waits for someone), and where .NET is installed already: the samples would go over it, and their
// removal would take its host and its sharedhost Version along. Returns TRUE when it skipped.
BOOL rw_skip_unless_may_install(void);

// The sample runtime for a check that needs the runtime present. Returns FALSE, with the reason in
// whyNot, when it is missing and cannot be installed here (not elevated on Windows, or another .NET is
// installed, which the samples would go over); *installed tells
// whether this call installed it, so that the check undoes exactly that.
BOOL rw_provide_runtime(const WCHAR* setup, const WCHAR* payloadDir, BOOL* installed, const char** whyNot);

