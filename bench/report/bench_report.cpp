// bench_report: the Windows side of tools/bench-report.sh, run under Wine.
//
//   bench_report hash <image>
//       Hashes payloads 101-105 of <image> where the loader maps them, each with one BCryptHashData call:
//       the bare cost that "--verify-bundle" is held against. Exit code 0 when all five were hashed.
//   bench_report compare <rounds> <image> <report path>
//       Starts "<image> --verify-bundle <report path>" and "bench_report hash <image>" alternately, once
//       untimed (it brings the image's pages in) and then <rounds> times each, and prints the fastest
//       start-to-exit time of each as "verify_seconds=" and "hash_seconds=".
//   bench_report memory <image> <report path>
//       Starts "<image> --verify-bundle <report path>" once and samples its private bytes and working set
//       until it exits; prints the largest samples as "private_peak_bytes=" and "working_set_peak_bytes=".
//
// Both child processes are started and waited for the same way, so process creation weighs equally on
// either side of the comparison.
#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "../clock.h"

struct ChildRun
{
    DWORD exitCode;
    double seconds;
    SIZE_T privatePeak;     // largest PrivateUsage sample
    SIZE_T workingSetPeak;  // largest WorkingSetSize sample
    int samples;
};

// Runs a command line to its end. With sample set, polls the child's memory counters every millisecond
// or so while it runs; without, only waits, so that timed runs pay for nothing else.
static BOOL RunChild(const WCHAR* commandLine, BOOL sample, ChildRun* run)
{
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    startup.cb = sizeof(startup);
    WCHAR* mutableLine = _wcsdup(commandLine);
    ZeroMemory(run, sizeof(*run));
    const double start = Now();
    if (!mutableLine || !CreateProcessW(NULL, mutableLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
    {
        printf("cannot start %ls: error %lu\n", commandLine, GetLastError());
        free(mutableLine);
        return FALSE;
    }
    if (sample)
    {
        while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT)
        {
            PROCESS_MEMORY_COUNTERS_EX counters = {};
            counters.cb = sizeof(counters);
            if (GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                     sizeof(counters)))
            {
                // Windows keeps the same commit charge in PrivateUsage and PagefileUsage, and its true peak
                // in PeakPagefileUsage; Wine answers for another process with the anonymous resident
                // memory in the last two only, and the sampling catches the peak.
                SIZE_T privateBytes = counters.PrivateUsage;
                privateBytes = counters.PagefileUsage > privateBytes ? counters.PagefileUsage : privateBytes;
                privateBytes = counters.PeakPagefileUsage > privateBytes ? counters.PeakPagefileUsage : privateBytes;
                run->privatePeak = privateBytes > run->privatePeak ? privateBytes : run->privatePeak;
                run->workingSetPeak =
                    counters.WorkingSetSize > run->workingSetPeak ? counters.WorkingSetSize : run->workingSetPeak;
                ++run->samples;
            }
        }
    }
    else
    {
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    run->seconds = Now() - start;
    GetExitCodeProcess(process.hProcess, &run->exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    free(mutableLine);
    return TRUE;
}

static int Hash(const WCHAR* image)
{
    // Mapped as an image, as the bootstrapper's own file is: with 4096-byte file alignment Wine pages it in
    // lazily, so the payload bytes come from the same kind of mapping on both sides.
    HMODULE module = LoadLibraryExW(image, NULL, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
    BCRYPT_ALG_HANDLE provider = NULL;
    unsigned long long total = 0;
    int hashed = 0;
    if (!module || !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, NULL, 0)))
    {
        printf("cannot load %ls or open SHA-256: error %lu\n", image, GetLastError());
        return 1;
    }
    for (int id = 101; id <= 105; ++id)
    {
        HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));
        DWORD size = resource ? SizeofResource(module, resource) : 0;
        HGLOBAL loaded = resource ? LoadResource(module, resource) : NULL;
        BYTE* data = loaded ? static_cast<BYTE*>(LockResource(loaded)) : NULL;
        BCRYPT_HASH_HANDLE hash = NULL;
        BYTE digest[32];
        if (data && size && BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, NULL, 0, NULL, 0, 0)))
        {
            if (BCRYPT_SUCCESS(BCryptHashData(hash, data, size, 0)) &&
                BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0)))
            {
                total += size;
                ++hashed;
            }
            BCryptDestroyHash(hash);
        }
    }
    BCryptCloseAlgorithmProvider(provider, 0);
    FreeLibrary(module);
    if (hashed != 5)
    {
        printf("hashed %d of 5 payloads (%llu bytes)\n", hashed, total);
        return 1;
    }
    return 0;
}

static WCHAR* Format(const WCHAR* format, const WCHAR* a, const WCHAR* b)
{
    static WCHAR line[4096];
    _snwprintf(line, sizeof(line) / sizeof(line[0]) - 1, format, a, b);
    line[sizeof(line) / sizeof(line[0]) - 1] = 0;
    return line;
}

static int Compare(int rounds, const WCHAR* image, const WCHAR* report)
{
    static WCHAR self[MAX_PATH * 4];
    static WCHAR verifyLine[4096];
    static WCHAR hashLine[4096];
    GetModuleFileNameW(NULL, self, sizeof(self) / sizeof(self[0]));
    lstrcpyW(verifyLine, Format(L"\"%ls\" --verify-bundle \"%ls\"", image, report));
    lstrcpyW(hashLine, Format(L"\"%ls\" hash \"%ls\"", self, image));

    double bestVerify = 1e9;
    double bestHash = 1e9;
    for (int round = 0; round <= rounds; ++round)
    {
        ChildRun verify;
        ChildRun hash;
        if (!RunChild(verifyLine, FALSE, &verify) || !RunChild(hashLine, FALSE, &hash))
        {
            return 1;
        }
        if (verify.exitCode != 0 || hash.exitCode != 0)
        {
            printf("round %d: --verify-bundle exited with %lu, hash with %lu\n", round, verify.exitCode,
                   hash.exitCode);
            return 1;
        }
        if (round == 0)
        {
            printf("warm-up: verify %.3f s, hash %.3f s\n", verify.seconds, hash.seconds);
            continue;
        }
        printf("round %d: verify %.3f s, hash %.3f s\n", round, verify.seconds, hash.seconds);
        bestVerify = verify.seconds < bestVerify ? verify.seconds : bestVerify;
        bestHash = hash.seconds < bestHash ? hash.seconds : bestHash;
    }
    printf("verify_seconds=%.4f\nhash_seconds=%.4f\n", bestVerify, bestHash);
    return 0;
}

static int Memory(const WCHAR* image, const WCHAR* report)
{
    ChildRun run;
    if (!RunChild(Format(L"\"%ls\" --verify-bundle \"%ls\"", image, report), TRUE, &run))
    {
        return 1;
    }
    printf("exit_code=%lu\nseconds=%.4f\nsamples=%d\nprivate_peak_bytes=%llu\nworking_set_peak_bytes=%llu\n",
           run.exitCode, run.seconds, run.samples, static_cast<unsigned long long>(run.privatePeak),
           static_cast<unsigned long long>(run.workingSetPeak));
    return run.exitCode == 0 && run.samples > 0 ? 0 : 1;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc == 3 && lstrcmpW(argv[1], L"hash") == 0)
    {
        return Hash(argv[2]);
    }
    if (argc == 5 && lstrcmpW(argv[1], L"compare") == 0 && _wtoi(argv[2]) > 0)
    {
        return Compare(_wtoi(argv[2]), argv[3], argv[4]);
    }
    if (argc == 4 && lstrcmpW(argv[1], L"memory") == 0)
    {
        return Memory(argv[2], argv[3]);
    }
    printf("usage: bench_report hash <image> | compare <rounds> <image> <report> | memory <image> <report>\n");
    return 2;
}
