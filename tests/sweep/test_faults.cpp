// Allocation torture: every operation that allocates is run again and again with its 1st, 2nd, ... heap
// allocation failing, until a run reaches no injected failure. After each failure the result must be the
// one documented for the allocation that failed, nothing may be left in either temporary directory and
// the handle count must be back where it was. Then two threads create staging directories at once.
//
//   test_faults <stand-in msiexec.exe>
//
// The bundle's payload 105 is the stand-in as well: it answers the installer check with the code in
// QUORLITH_MSIEXEC_CODES, and as msiexec it lays the runtime down below the scratch Program Files.
#include "sweep_machine.h"
#include "common/state.h"
#include "entry/modes.h"
#include "payload/payload.h"
#include "runtime/runtime.h"
#include "staging/staging.h"

#include <string.h>

// A run of consecutive allocations of the undisturbed operation, and the result when one of them fails.
struct Site
{
    int count;
    DWORD expected;
    const char* what;
};

struct Operation
{
    const char* name;
    void (*prepare)(void);        // after the shim is pointed at the scratch machine
    DWORD (*run)(void);
    void (*check)(BOOL failed);   // what else must hold after the run; also cleans up a success
    DWORD success;
    Site sites[12];               // ends with a count of 0
};

static WCHAR* g_out;              // a PathBuffer for the operations that write a path
static WCHAR g_extractPath[MAX_PATH * 2];
static int g_totalFaults;

// --- The operations ------------------------------------------------------------------------------

static void PrepareNothing(void)
{
}

static void PreparePresent(void)
{
    SweepPlantRuntime();
}

static DWORD RunVerify(void)
{
    return VerifyAllPayloads();
}

static DWORD RunExtract(void)
{
    return ExtractPayload(PAYLOAD_INSTALLER, g_extractPath);
}

static void CheckExtract(BOOL failed)
{
    const BYTE* data = NULL;
    DWORD size = 0;
    DWORD written = 0;
    BYTE* file = wt_read_file(g_extractPath, &written);
    if (failed)
    {
        ok(!file, "extraction failed but left %s", wt_u8(g_extractPath));
    }
    else
    {
        MapPayload(PAYLOAD_INSTALLER, &data, &size);
        ok(file && written == size && !memcmp(file, data, size), "extracted file differs (%lu of %lu bytes)", written,
           size);
    }
    wt_free(file);
    DeleteFileW(g_extractPath);
}

static void PrepareOut(void)
{
    ZeroMemory(g_out, PATH_BUFFER_BYTES);
}

static DWORD RunStagingPerUser(void)
{
    return CreateStagingDirectory(g_out, FALSE);
}

// Wine enforces no access list, so the machine-wide variant works for a test that is not elevated.
static DWORD RunStagingMachineWide(void)
{
    return CreateStagingDirectory(g_out, TRUE);
}

static void CheckStaging(BOOL failed)
{
    if (failed)
    {
        // The scratch buffer is the first thing allocated: nothing was composed yet.
        ok(g_out[0] == 0, "failed creation left [%s] in the output", wt_u8(g_out));
        return;
    }
    ok(wt_is_dir(g_out), "created directory [%s] is missing", wt_u8(g_out));
    RemoveDirectoryW(g_out);
}

static DWORD RunDetect(void)
{
    return IsRuntimeReady();
}

static DWORD RunFind(void)
{
    WCHAR shared[MAX_PATH * 2];
    wsprintfW(shared, L"%s\\dotnet\\shared", g_machine.programFiles);
    return FindVersionedComponent(shared, L"Microsoft.WindowsDesktop.App", L"PresentationFramework.dll");
}

static void PrepareRunner(void)
{
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_CODES", L"3010");
}

static DWORD RunRunner(void)
{
    return RunAndWait(g_machine.msiexec, L"/i \"x y.msi\"", FALSE);
}

static void CheckRunner(BOOL failed)
{
    ok(!failed || ShimCalls(SHIM_CreateProcessW) == 0, "the runner started a child without its command line");
}

// Host key missing and nothing below Program Files: everything is installed, and the stand-in lays all
// of the runtime down on every run, so a package that a failed presence test calls missing simply
// installs again.
static void PrepareInstall(void)
{
    SweepRemoveRuntime();
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_CODES", L"0*");
}

static DWORD RunInstall(void)
{
    return InstallRuntime();
}

static void PrepareCheck(void)
{
    SweepPlantRuntime();
    ZeroMemory(g_stagingDir, sizeof(g_stagingDir));
    ZeroMemory(g_installerPath, sizeof(g_installerPath));
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_CODES", L"0");
}

static DWORD RunCheck(void)
{
    return RunInstallerCheck(L"C:\\some path");
}

static void CheckNothing(BOOL)
{
}

static const Operation g_operations[] = {
    {"VerifyAllPayloads", PrepareNothing, RunVerify, CheckNothing, TRUE, {{5, FALSE, "hash object"}}},
    {"ExtractPayload", PrepareNothing, RunExtract, CheckExtract, TRUE, {{1, FALSE, "hash object"}}},
    {"CreateStagingDirectory per-user", PrepareOut, RunStagingPerUser, CheckStaging, TRUE,
     {{1, FALSE, "scratch buffer"}}},
    {"CreateStagingDirectory machine-wide", PrepareOut, RunStagingMachineWide, CheckStaging, TRUE,
     {{1, FALSE, "scratch buffer"}}},
    {"IsRuntimeReady", PreparePresent, RunDetect, CheckNothing, TRUE,
     {{1, FALSE, "shared directory"}, {2, FALSE, "core runtime scan"}, {2, FALSE, "desktop runtime scan"}}},
    {"FindVersionedComponent", PreparePresent, RunFind, CheckNothing, TRUE, {{2, FALSE, "family and search path"}}},
    {"RunAndWait", PrepareRunner, RunRunner, CheckRunner, 3010, {{1, ERROR_OUTOFMEMORY, "command line"}}},
    {"InstallRuntime",
     PrepareInstall,
     RunInstall,
     CheckNothing,
     ERROR_SUCCESS,
     {
         {3, ERROR_OUTOFMEMORY, "working buffers"},
         // Detection failing reads as "absent", which it is: the installation goes on and succeeds.
         {3, ERROR_SUCCESS, "detection at the start"},
         {5, ERROR_INVALID_DATA, "verification"},
         {1, ERROR_INVALID_DATA, "staging directory"},
         {1, ERROR_INVALID_DATA, "extraction of the host package"},
         {1, ERROR_OUTOFMEMORY, "msiexec command line"},
         // A presence test failing reads as "missing": that package is installed once more.
         {3, ERROR_SUCCESS, "host resolver presence test"},
         {3, ERROR_SUCCESS, "core runtime presence test"},
         {3, ERROR_SUCCESS, "desktop runtime presence test"},
         {5, ERROR_INSTALL_FAILURE, "final detection"},
     }},
    {"RunInstallerCheck",
     PrepareCheck,
     RunCheck,
     CheckNothing,
     0,
     {
         {1, 1, "argument buffer"},
         {5, 1, "detection"},
         {5, 1, "verification"},
         {1, 1, "staging directory"},
         {1, 1, "extraction"},
         // The runner's own allocation failing is a start error, and start errors become the exit code.
         {1, ERROR_OUTOFMEMORY, "installer command line"},
     }},
};

// The site of the nth allocation of the undisturbed run, or NULL past the last one.
static const Site* SiteOf(const Operation* op, int nth)
{
    for (const Site* site = op->sites; site->count; ++site)
    {
        if (nth <= site->count)
        {
            return site;
        }
        nth -= site->count;
    }
    return NULL;
}

static int AllocationCount(const Operation* op)
{
    int total = 0;
    for (const Site* site = op->sites; site->count; ++site)
    {
        total += site->count;
    }
    return total;
}

static void Torture(const Operation* op)
{
    int faults = 0;
    for (int nth = 1; nth <= 200; ++nth)
    {
        SweepShimMachine();
        op->prepare();
        const DWORD handles = wt_handle_count();
        ShimFail(SHIM_HeapAlloc, nth, 0);
        const DWORD result = op->run();
        const BOOL reached = ShimCalls(SHIM_HeapAlloc) >= nth;
        const Site* site = SiteOf(op, nth);
        op->check(reached);
        if (reached)
        {
            ++faults;
            ok(site != NULL, "%s: allocation %d is one more than the %d expected", op->name, nth,
               AllocationCount(op));
            ok(!site || result == site->expected, "%s: allocation %d (%s) failing gave %lu, expected %lu", op->name,
               nth, site ? site->what : "?", result, site ? site->expected : 0);
        }
        else
        {
            ok(nth - 1 == AllocationCount(op), "%s: %d allocations, expected %d", op->name, nth - 1,
               AllocationCount(op));
            ok(result == op->success, "%s: undisturbed run gave %lu, expected %lu", op->name, result, op->success);
        }
        ok(SweepLeftovers() == 0, "%s: allocation %d: %d entries left in the temporary directories", op->name, nth,
           SweepLeftovers());
        SweepClearTemp();
        ok(wt_handle_count() == handles, "%s: allocation %d: handles %lu -> %lu", op->name, nth, handles,
           wt_handle_count());
        if (!reached)
        {
            break;
        }
    }
    printf("%s: %d allocation faults injected\n", op->name, faults);
    g_totalFaults += faults;
}

// --- Two threads creating staging directories at once ---------------------------------------------

struct StagingThread
{
    HANDLE start;
    INT machineWide;
    WCHAR* out;
    BOOL created;
};

static DWORD WINAPI CreateInThread(void* context)
{
    StagingThread* t = static_cast<StagingThread*>(context);
    WaitForSingleObject(t->start, INFINITE);
    t->created = CreateStagingDirectory(t->out, t->machineWide);
    return 0;
}

static BOOL IsStagingName(const WCHAR* path)
{
    const WCHAR* name = wcsrchr(path, L'\\');
    if (!name || lstrlenW(++name) != 31 || wcsncmp(name, L"Quorlith-Setup-", 15))
    {
        return FALSE;
    }
    for (int i = 15; i < 31; ++i)
    {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'A' && name[i] <= L'F')))
        {
            return FALSE;
        }
    }
    return TRUE;
}

static void TestConcurrentStaging(void)
{
    // Per-user with per-user, machine-wide with machine-wide, and one of each.
    static const INT variants[][2] = {{FALSE, FALSE}, {TRUE, TRUE}, {FALSE, TRUE}};
    const int rounds = 40;
    int pairs = 0;
    SweepShimMachine();
    const DWORD handles = wt_handle_count();
    for (size_t v = 0; v < ARRAYSIZE(variants); ++v)
    {
        for (int round = 0; round < rounds; ++round)
        {
            StagingThread threads[2];
            HANDLE handlesOf[2];
            HANDLE start = CreateEventW(NULL, TRUE, FALSE, NULL);
            for (int i = 0; i < 2; ++i)
            {
                threads[i].start = start;
                threads[i].machineWide = variants[v][i];
                threads[i].out = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, PATH_BUFFER_BYTES));
                threads[i].created = FALSE;
                handlesOf[i] = CreateThread(NULL, 0, CreateInThread, &threads[i], 0, NULL);
            }
            SetEvent(start);
            WaitForMultipleObjects(2, handlesOf, TRUE, 30000);
            for (int i = 0; i < 2; ++i)
            {
                ok(threads[i].created, "variant %u round %d thread %d: creation failed at [%s]",
                   static_cast<unsigned>(v), round, i, wt_u8(threads[i].out));
                ok(IsStagingName(threads[i].out) && wt_is_dir(threads[i].out), "thread %d: [%s]", i,
                   wt_u8(threads[i].out));
            }
            ok(lstrcmpiW(threads[0].out, threads[1].out) != 0, "both threads made [%s]", wt_u8(threads[0].out));
            for (int i = 0; i < 2; ++i)
            {
                RemoveDirectoryW(threads[i].out);
                HeapFree(GetProcessHeap(), 0, threads[i].out);
                CloseHandle(handlesOf[i]);
            }
            CloseHandle(start);
            ++pairs;
        }
    }
    printf("concurrent staging: %d pairs of simultaneous creations\n", pairs);
    ok(SweepLeftovers() == 0, "concurrent staging: %d entries left", SweepLeftovers());
    ok(wt_handle_count() == handles, "concurrent staging: handles %lu -> %lu", handles, wt_handle_count());
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
    {
        ok(0, "usage: test_faults <stand-in msiexec.exe>");
        return wt_finish();
    }
    if (wt_skip_unless_elevated())
    {
        return wt_finish();
    }
    if (!SweepMachineCreate(L"sweep-faults", argv[1]))
    {
        return wt_finish();
    }
    ok(wt_handle_count() > 0, "the handle table could not be read, handle checks would prove nothing");
    g_out = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, PATH_BUFFER_BYTES));
    wsprintfW(g_extractPath, L"%s\\Quorlith-Install.exe", g_machine.root);
    SetEnvironmentVariableW(L"QUORLITH_MSIEXEC_ROOT", g_machine.programFiles);

    for (size_t i = 0; i < ARRAYSIZE(g_operations); ++i)
    {
        Torture(&g_operations[i]);
    }
    printf("allocation faults injected in all: %d\n", g_totalFaults);
    TestConcurrentStaging();

    HeapFree(GetProcessHeap(), 0, g_out);
    SweepMachineDestroy();
    return wt_finish();
}
