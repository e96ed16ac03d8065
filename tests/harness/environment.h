// An environment block for a child process: the extra entries ("NAME=value" separated by '\n') ahead of
// this process's own environment. A lookup takes the first of two equal names, so an extra entry wins
// over an inherited one. Header-only, because the start-up benchmark builds the window-mode driver
// without the harness library.
#pragma once

#include <windows.h>

// NULL when extraEnv is NULL or empty (the child then simply inherits); free the block with HeapFree.
inline WCHAR* wt_environment_block(const WCHAR* extraEnv)
{
    if (!extraEnv || !*extraEnv)
    {
        return NULL;
    }
    WCHAR* current = GetEnvironmentStringsW();
    SIZE_T currentLength = 0;
    while (current[currentLength] || current[currentLength + 1])
    {
        ++currentLength;
    }
    SIZE_T extraLength = lstrlenW(extraEnv);
    WCHAR* environment = static_cast<WCHAR*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (currentLength + extraLength + 4) * sizeof(WCHAR)));
    SIZE_T at = 0;
    for (const WCHAR* p = extraEnv; *p; ++p)
    {
        environment[at++] = (*p == L'\n') ? L'\0' : *p;
    }
    environment[at++] = L'\0';
    CopyMemory(environment + at, current, (currentLength + 2) * sizeof(WCHAR));
    FreeEnvironmentStringsW(current);
    return environment;
}
