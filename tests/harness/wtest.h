// A small conformance-test kit in the manner of Wine's tests: ok() prints what it got, the program's
// exit code is the number of failures (at most 255, since Wine passes only 8 bits on).
#pragma once

#include <windows.h>
#include <stdio.h>

#define ok(condition, ...) wt_ok((condition) ? 1 : 0, __FILE__, __LINE__, __VA_ARGS__)
#define skip(...) wt_skip(__FILE__, __LINE__, __VA_ARGS__)

void wt_ok(int condition, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void wt_skip(const char* file, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Prints "N passed, N failed[, N skipped]" and returns the exit code for the program.
int wt_finish(void);
int wt_failures(void);

// --- The system underneath -------------------------------------------------------------------------------
// TRUE under Wine (its ntdll exports wine_get_version): the checks that only Windows can answer skip there.
BOOL wt_is_wine(void);
// Wine's version text ("8.0", "10.0"), or "" on Windows.
const char* wt_wine_version(void);

// --- Paths -------------------------------------------------------------------------------------------
// A path from the build (Unix, as CTest passes it) as a Windows path: "/a/b" becomes "Z:\a\b". A Windows
// path (drive letter or UNC), as the test kit passes it on Windows, comes back unchanged.
// Returns a static buffer of 8 rotating slots. Test programs take their arguments wide (wmain): a
// narrow argv is in the ANSI code page, which cannot hold every path a kit may be unpacked to.
const WCHAR* wt_winpath(const WCHAR* path);
// The same for a UTF-8 path.
const WCHAR* wt_winpath(const char* path);
// UTF-8 view of a wide string for printing; static buffer of 8 rotating slots.
const char* wt_u8(const WCHAR* text);
// A new empty directory below the user's temporary directory, named after tag; static per tag call.
BOOL wt_make_temp_dir(const WCHAR* tag, WCHAR* out /* MAX_PATH*4 */);
// Deletes a directory tree (read-only attributes are cleared first). Missing is fine.
void wt_remove_tree(const WCHAR* path);
// Creates every missing directory of path, a full path with a drive ("C:\" itself is taken as given).
// Failures are not reported: a test that needs the tree finds out when it uses it.
void wt_make_dirs(const WCHAR* path);

// --- Files -------------------------------------------------------------------------------------------
BOOL wt_write_file(const WCHAR* path, const void* data, DWORD size);
// Reads a whole file into a heap block (NUL-terminated for convenience); free with wt_free.
BYTE* wt_read_file(const WCHAR* path, DWORD* size);
void wt_free(void* block);
BOOL wt_exists(const WCHAR* path);
BOOL wt_is_dir(const WCHAR* path);
// Entries of dir whose names start with prefix ("" counts all but . and ..).
int wt_count_entries(const WCHAR* dir, const WCHAR* prefix);
// Whether dir lists an entry of exactly this name: a name the file system cannot hold comes back changed.
BOOL wt_is_listed(const WCHAR* dir, const WCHAR* name);
BOOL wt_sha256(const void* data, DWORD size, BYTE digest[32]);
// A one-byte file at path, with the directories above it made first: the marker files that stand for an
// installed component, where only their presence counts.
BOOL wt_plant_file(const WCHAR* path);
// Splits a UTF-16 text file (as the stand-in msiexec writes its log) at '\n' into lines; a last line
// without its '\n' is not counted. Copies at most capacity lines and
// returns how many there are (0 for a missing file).
int wt_read_lines(const WCHAR* path, WCHAR lines[][1024], int capacity);

// --- Processes ---------------------------------------------------------------------------------------
// Runs command line (full, including the program), waits up to timeoutMs, returns TRUE when it ended and
// stores the full 32-bit exit code. A program that is still running after the time-out is killed.
BOOL wt_run(const WCHAR* commandLine, DWORD timeoutMs, DWORD* exitCode);
// Same, with a current directory and extra environment entries ("NAME=value" separated by '\n').
BOOL wt_run_ex(const WCHAR* commandLine, const WCHAR* currentDir, const WCHAR* extraEnv, DWORD timeoutMs,
               DWORD* exitCode);
// Handles open in this process, from the system handle table (never 0 for a live process).
DWORD wt_handle_count(void);

// --- Well-known places of the prefix ------------------------------------------------------------------
void wt_user_temp(WCHAR* out /* MAX_PATH */);      // GetTempPathW without the trailing backslash
void wt_windows_temp(WCHAR* out /* MAX_PATH */);   // <Windows>\Temp
// Counts "Quorlith-Setup-" entries in both temporary directories; 0 means nothing was left behind.
int wt_count_staging_dirs(void);
// The "Quorlith-Setup-" entries of both temporary directories, by full path, for a check on a machine
// that may hold earlier ones: what a run left behind is what was not there before.
#define WT_MAX_STAGING 64
struct WtStagingSnapshot
{
    int count;
    WCHAR paths[WT_MAX_STAGING][MAX_PATH];
};
void wt_snapshot_staging_dirs(WtStagingSnapshot* snapshot);
// Prints each staging entry not in before and returns how many there are.
int wt_new_staging_dirs(const WtStagingSnapshot* before);

// --- The sample runtime -------------------------------------------------------------------------------
// The four sample runtime packages, in the order the product installs them: host, host resolver, core
// runtime, desktop runtime.
extern const WCHAR* const wt_runtime_packages[4];
// Their ProductCodes, in the same order (the same at every release the samples are built at).
extern const WCHAR* const wt_sample_product_codes[4];
// The core and the desktop runtime at 10.0.15 below root\dotnet\shared, as detection finds them: a marker
// file in a versioned directory of each family. Tests point Program Files at root to have a runtime.
void wt_make_runtime_tree(const WCHAR* root);
// Installs the four sample packages from payloadDir (a Windows path) with the prefix's own msiexec, for
// the tests that need the runtime really installed; each install is checked to exit with 0.
void wt_install_sample_runtime(const WCHAR* payloadDir);
// Removes the sample runtime again (msiexec /x by ProductCode, whichever release was installed) and reports
// a package it could not remove. Only where the machine outlives the test: natively, or under the test kit's
// runner (QUORLITH_TEST_KIT set); a test prefix of CTest's is thrown away instead.
void wt_uninstall_sample_runtime(void);

// Waits, at most timeoutMs, until Windows Installer's execution mutex (Global\_MSIExecute) can be taken,
// and lets it go at once: msiexec's work runs in the installer service, so a client that ended (or was
// killed at a time-out) may leave an installation running that the next one would meet as 1618. Missing
// mutex (nothing installing; always under Wine, whose msiexec takes none): TRUE at once. FALSE, printing
// why, when it is still held at the end or cannot be opened.
BOOL wt_wait_for_installer_idle(DWORD timeoutMs);

// --- The system the test runs on ------------------------------------------------------------------------
// TRUE when this process runs with an elevated (full administrator) token.
BOOL wt_is_elevated(void);
// A program that starts children through "runas", or makes directories only administrators may open,
// cannot run from an unelevated account: a consent prompt would wait for someone. Then it is skipped,
// saying so, and this returns TRUE. Never under Wine, which shows no prompt.
BOOL wt_skip_unless_elevated(void);
// Whether .NET is installed: a dotnet.exe or a versioned folder under Program Files\dotnet, or the host's
// Version value in HKLM.
BOOL wt_is_dotnet_present(void);
// The programs that install the sample runtime need a machine without .NET: they install into Program
// Files\dotnet and remove what is there between cases. Where it exists already, the program is skipped,
// saying so, and this returns TRUE.
BOOL wt_skip_if_dotnet_present(void);
// The setup image refuses any machine but x64 (a box that waits for someone, then exit code 1), so the
// programs that drive it are skipped on an ARM64 machine, saying so, and this returns TRUE.
BOOL wt_skip_unless_x64_machine(void);
