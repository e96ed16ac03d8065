// The benchmarks' clock: seconds from the performance counter, fine enough for short rounds
// (GetTickCount steps in 10-16 ms).
#pragma once

#include <windows.h>

static double Now(void)
{
    static LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    if (!frequency.QuadPart)
    {
        QueryPerformanceFrequency(&frequency);
    }
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}
