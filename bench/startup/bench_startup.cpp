// bench_startup <rounds> <minimal_window.exe> <program> [<program> ...]
//
// Time from process creation until the program's window is visible, for a minimal window program and for
// bootstrapper images with bundles of different sizes. Programs are measured in turn within each round (so
// a disturbance hits all alike), each run is ended as soon as its window shows, the first round is a
// discarded warm-up, and the median of the others is reported with its ratio to the minimal program.
#include "setup_driver.h"

#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>

#define MAX_PROGRAMS 6
#define MAX_ROUNDS 64

static int CompareDoubles(const void* a, const void* b)
{
    const double x = *static_cast<const double*>(a);
    const double y = *static_cast<const double*>(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

static double Median(double* values, int count)
{
    qsort(values, count, sizeof(double), CompareDoubles);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

static BOOL TimeToWindow(const WCHAR* program, const WCHAR* windowClass, double* ms)
{
    WCHAR line[MAX_PATH * 2];
    SetupRun run = {};
    wsprintfW(line, L"\"%s\"", program);
    run.commandLine = line;
    run.windowClass = windowClass;
    run.stopWhenShown = TRUE;
    run.timeoutMs = 20000;
    DriveSetup(&run);
    *ms = run.shownAfterMs;
    return run.wasVisible;
}

int wmain(int argc, WCHAR** argv)
{
    static double times[MAX_PROGRAMS][MAX_ROUNDS];
    if (argc < 4 || argc - 2 > MAX_PROGRAMS)
    {
        printf("usage: bench_startup <rounds> <minimal_window.exe> <program> [<program> ...]\n");
        return 2;
    }
    int rounds = _wtoi(argv[1]);
    rounds = rounds < 1 ? 1 : (rounds > MAX_ROUNDS ? MAX_ROUNDS : rounds);
    const int programs = argc - 2;

    for (int round = 0; round <= rounds; ++round)
    {
        for (int p = 0; p < programs; ++p)
        {
            double ms = 0;
            // The yardsticks are told by their file names.
            const BOOL minimal = StrStrIW(argv[2 + p], L"minimal_window") != NULL;
            if (!TimeToWindow(argv[2 + p], minimal ? L"QuorlithMinimalWindow" : NULL, &ms))
            {
                printf("no window from %ls\n", argv[2 + p]);
                return 1;
            }
            if (round > 0)
            {
                times[p][round - 1] = ms;
            }
        }
    }

    // Ratios against the minimal program and, when given second, against the same with the
    // bootstrapper's imports.
    double medians[MAX_PROGRAMS];
    for (int p = 0; p < programs; ++p)
    {
        double low = times[p][0];
        double high = times[p][0];
        for (int r = 1; r < rounds; ++r)
        {
            low = times[p][r] < low ? times[p][r] : low;
            high = times[p][r] > high ? times[p][r] : high;
        }
        medians[p] = Median(times[p], rounds);
        const BOOL withImports = programs > 1 && StrStrIW(argv[3], L"imports") != NULL;
        printf("%-28ls median %7.1f ms  (min %7.1f, max %7.1f)  ratio %.3f", PathFindFileNameW(argv[2 + p]),
               medians[p], low, high, medians[p] / medians[0]);
        if (withImports && p > 1)
        {
            printf("  (%.3f against the same imports)", medians[p] / medians[1]);
        }
        printf("\n");
    }
    return 0;
}
