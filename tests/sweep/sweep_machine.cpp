#include "sweep_machine.h"

SweepMachine g_machine;

BOOL SweepMachineCreate(const WCHAR* tag, const WCHAR* standInMsiexec)
{
    SweepMachine* m = &g_machine;
    if (!wt_make_temp_dir(tag, m->root))
    {
        ok(0, "no scratch directory for %s", wt_u8(tag));
        return FALSE;
    }
    wsprintfW(m->windows, L"%s\\windows", m->root);
    wsprintfW(m->windowsTemp, L"%s\\Temp", m->windows);
    wsprintfW(m->userTempDir, L"%s\\user temp", m->root);
    wsprintfW(m->userTemp, L"%s\\", m->userTempDir);
    // A space in the system directory's name shows that the msiexec path stays quoted.
    wsprintfW(m->system, L"%s\\system 32", m->root);
    wsprintfW(m->msiexec, L"%s\\msiexec.exe", m->system);
    wsprintfW(m->programFiles, L"%s\\Program Files", m->root);
    wt_make_dirs(m->windowsTemp);
    wt_make_dirs(m->userTempDir);
    wt_make_dirs(m->system);
    wt_make_dirs(m->programFiles);
    if (standInMsiexec && !CopyFileW(wt_winpath(standInMsiexec), m->msiexec, FALSE))
    {
        ok(0, "cannot copy the stand-in msiexec %s: %lu", wt_u8(standInMsiexec), GetLastError());
        return FALSE;
    }
    return TRUE;
}

void SweepMachineDestroy(void)
{
    ShimReset();
    wt_remove_tree(g_machine.root);
}

void SweepShimMachine(void)
{
    ShimReset();
    ShimSetWindowsDirectory(g_machine.windows);
    ShimSetTempPath(g_machine.userTemp);
    ShimSetSystemDirectory(g_machine.system);
    ShimSetProgramFiles(g_machine.programFiles);
    ShimSetRegistryValue(SHIM_NO_KEY, NULL, 0);
}

void SweepPlantRuntime(void)
{
    static const WCHAR* const markers[] = {
        L"dotnet\\host\\fxr\\10.0.20\\hostfxr.dll",
        L"dotnet\\shared\\Microsoft.NETCore.App\\10.0.20\\coreclr.dll",
        L"dotnet\\shared\\Microsoft.WindowsDesktop.App\\10.0.20\\PresentationFramework.dll",
    };
    WCHAR path[MAX_PATH * 2];
    for (size_t i = 0; i < ARRAYSIZE(markers); ++i)
    {
        wsprintfW(path, L"%s\\%s", g_machine.programFiles, markers[i]);
        wt_plant_file(path);
    }
}

void SweepRemoveRuntime(void)
{
    WCHAR path[MAX_PATH * 2];
    wsprintfW(path, L"%s\\dotnet", g_machine.programFiles);
    wt_remove_tree(path);
}

int SweepLeftovers(void)
{
    return wt_count_entries(g_machine.windowsTemp, L"") + wt_count_entries(g_machine.userTempDir, L"");
}

void SweepClearTemp(void)
{
    wt_remove_tree(g_machine.windowsTemp);
    wt_remove_tree(g_machine.userTempDir);
    CreateDirectoryW(g_machine.windowsTemp, NULL);
    CreateDirectoryW(g_machine.userTempDir, NULL);
}
