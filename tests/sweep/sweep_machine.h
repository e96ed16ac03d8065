// A scratch machine for the sweeps that run the product's modules in-process: Windows directory (with its
// Temp), user temporary directory, system directory holding a stand-in msiexec, and Program Files, all
// below one scratch directory, with the shim pointed at them. Nothing of the shared prefix is read or
// changed, so the programs can share a prefix with other tests.
#pragma once

#include "wtest.h"
#include "shim.h"

struct SweepMachine
{
    WCHAR root[MAX_PATH * 2];
    WCHAR windows[MAX_PATH * 2];
    WCHAR windowsTemp[MAX_PATH * 2];
    WCHAR userTemp[MAX_PATH * 2];        // with the trailing backslash GetTempPathW reports
    WCHAR userTempDir[MAX_PATH * 2];     // the same without it
    WCHAR system[MAX_PATH * 2];
    WCHAR msiexec[MAX_PATH * 2];
    WCHAR programFiles[MAX_PATH * 2];
};

extern SweepMachine g_machine;

// Makes the trees below a new scratch directory named after tag and copies the stand-in msiexec
// (tests/runtime/fake_msiexec) into the system directory. FALSE (and a failed check) when it cannot.
BOOL SweepMachineCreate(const WCHAR* tag, const WCHAR* standInMsiexec);
void SweepMachineDestroy(void);

// ShimReset, then every folder query answered from the scratch machine, and no "sharedhost" key.
void SweepShimMachine(void);

// Lays down the host resolver, the core runtime and the desktop runtime at 10.0.20 (a version the
// stand-in never writes), or removes everything below Program Files\dotnet.
void SweepPlantRuntime(void);
void SweepRemoveRuntime(void);

// Entries left in the two temporary directories of the scratch machine (all kinds, not only staging
// directories: an extracted file left beside them counts as well).
int SweepLeftovers(void);
// Empties both temporary directories, so one case's leftovers do not count against the next.
void SweepClearTemp(void);
