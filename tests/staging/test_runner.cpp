// RunAndWait against a stand-in child that records its command line and argv and exits with a chosen
// code. Argument 1: the stand-in child program.
#include "wtest.h"
#include "shim.h"
#include "staging/staging.h"

#include <wchar.h>

static WCHAR g_scratch[MAX_PATH * 4];
static WCHAR g_child[MAX_PATH * 4];
static WCHAR g_spacedChild[MAX_PATH * 4];
static WCHAR g_record[MAX_PATH * 4];

// What the child wrote: its command line, then its argv.
struct Record
{
    BYTE* data;
    const WCHAR* commandLine;
    const WCHAR* argv[16];
    int argc;
};

static BOOL ReadRecord(Record* record)
{
    DWORD size = 0;
    ZeroMemory(record, sizeof(*record));
    record->data = wt_read_file(g_record, &size);
    if (!record->data)
    {
        return FALSE;
    }
    const WCHAR* text = reinterpret_cast<const WCHAR*>(record->data);
    const WCHAR* end = text + size / sizeof(WCHAR);
    record->commandLine = text;
    for (const WCHAR* p = text + lstrlenW(text) + 1; p < end && record->argc < 16; p += lstrlenW(p) + 1)
    {
        record->argv[record->argc++] = p;
    }
    return TRUE;
}

static void FreeRecord(Record* record)
{
    wt_free(record->data);
    record->data = NULL;
}

static void SetChildExit(const WCHAR* code)
{
    SetEnvironmentVariableW(L"QUORLITH_CHILD_EXIT", code);
}

// One run with the handle count checked around it; the record of an earlier run is removed first.
static Status Run(const char* what, const WCHAR* path, const WCHAR* args, INT elevated)
{
    DeleteFileW(g_record);
    DWORD handles = wt_handle_count();
    Status result = RunAndWait(path, args, elevated);
    DWORD after = wt_handle_count();
    ok(after == handles, "%s: handles %lu -> %lu", what, handles, after);
    return result;
}

static void Quoted(WCHAR* out, const WCHAR* path, const WCHAR* args)
{
    wsprintfW(out, L"\"%s\" %s", path, args);
}

static void TestCommandLines(void)
{
    WCHAR expected[MAX_PATH * 8];
    Record record;
    SetChildExit(NULL);

    // No arguments, absent or empty: the quoted path and one space.
    static const WCHAR* const noArguments[] = {NULL, L""};
    for (int i = 0; i < 2; ++i)
    {
        const char* what = i ? "empty arguments" : "absent arguments";
        ShimReset();
        Status result = Run(what, g_child, noArguments[i], FALSE);
        ok(result == 0, "%s: got %lu", what, result);
        Quoted(expected, g_child, L"");
        ok(ReadRecord(&record), "%s: the child left no record", what);
        if (record.data)
        {
            ok(!lstrcmpW(record.commandLine, expected), "%s: command line [%s], expected [%s]", what,
               wt_u8(record.commandLine), wt_u8(expected));
            ok(record.argc == 1 && !lstrcmpW(record.argv[0], g_child), "%s: %d arguments, first %s", what,
               record.argc, wt_u8(record.argv[0]));
        }
        FreeRecord(&record);
        const ShimProcessStart* start = ShimLastCreateProcess();
        ok(!lstrcmpW(start->application, g_child), "%s: application name %s", what, wt_u8(start->application));
        ok(!lstrcmpW(start->commandLine, expected), "%s: command line given [%s]", what, wt_u8(start->commandLine));
        ok(start->creationFlags == CREATE_NO_WINDOW, "%s: creation flags 0x%lx", what, start->creationFlags);
        ok(!start->inheritHandles, "%s: handles inherited", what);
    }

    // A path with spaces arrives whole as the first argument.
    ShimReset();
    Status result = Run("path with spaces", g_spacedChild, NULL, FALSE);
    ok(result == 0, "path with spaces: got %lu", result);
    ok(ReadRecord(&record), "path with spaces: the child left no record");
    if (record.data)
    {
        Quoted(expected, g_spacedChild, L"");
        ok(!lstrcmpW(record.commandLine, expected), "path with spaces: command line [%s]", wt_u8(record.commandLine));
        ok(record.argc == 1 && !lstrcmpW(record.argv[0], g_spacedChild), "path with spaces: %d arguments, first %s",
           record.argc, wt_u8(record.argv[0]));
    }
    FreeRecord(&record);

    // Arguments are appended as written, as the runtime installation formats them for msiexec.
    static const WCHAR msiArgs[] = L"/i \"C:\\x y\\p.msi\" /qn /norestart";
    static const WCHAR* const msiArgv[] = {L"/i", L"C:\\x y\\p.msi", L"/qn", L"/norestart"};
    ShimReset();
    result = Run("msiexec arguments", g_spacedChild, msiArgs, FALSE);
    ok(result == 0, "msiexec arguments: got %lu", result);
    ok(ReadRecord(&record), "msiexec arguments: the child left no record");
    if (record.data)
    {
        Quoted(expected, g_spacedChild, msiArgs);
        ok(!lstrcmpW(record.commandLine, expected), "msiexec arguments: command line [%s]",
           wt_u8(record.commandLine));
        ok(record.argc == 5, "msiexec arguments: %d arguments", record.argc);
        for (int i = 0; i < 4 && i + 1 < record.argc; ++i)
        {
            ok(!lstrcmpW(record.argv[i + 1], msiArgv[i]), "msiexec argument %d: [%s], expected [%s]", i + 1,
               wt_u8(record.argv[i + 1]), wt_u8(msiArgv[i]));
        }
    }
    FreeRecord(&record);
}

static void TestExitCodes(void)
{
    static const struct
    {
        const WCHAR* text;
        DWORD code;
    } codes[] = {{L"0", 0}, {L"1", 1}, {L"3010", 3010}, {L"0xFFFFFFFF", 0xFFFFFFFF}};
    WCHAR args[64];
    for (size_t i = 0; i < ARRAYSIZE(codes); ++i)
    {
        char what[64];
        // Plain, with the code in the environment.
        sprintf(what, "plain exit %lu", codes[i].code);
        ShimReset();
        SetChildExit(codes[i].text);
        Status result = Run(what, g_child, NULL, FALSE);
        ok(result == codes[i].code, "%s: got %lu", what, result);

        // Elevated, with the code on the command line. Wine has no consent prompt: "runas" starts the
        // program at once with the same (always administrative) account.
        sprintf(what, "elevated exit %lu", codes[i].code);
        SetChildExit(NULL);
        wsprintfW(args, L"--exit=%s", codes[i].text);
        ShimReset();
        result = Run(what, g_child, args, TRUE);
        ok(result == codes[i].code, "%s: got %lu", what, result);
    }
    SetChildExit(NULL);
}

static void TestElevated(void)
{
    static const WCHAR args[] = L"--install-runtime --exit=7";
    Record record;
    ShimReset();
    // As where UAC is on: nothing of this process's environment reaches the child, only its note.
    SetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", NULL);
    Status result = Run("elevated", g_spacedChild, args, TRUE);
    SetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", g_record);
    ok(result == 7, "elevated: got %lu", result);
    const ShimProcessStart* start = ShimLastShellExecute();
    ok(!lstrcmpW(start->verb, L"runas"), "elevated: verb %s", wt_u8(start->verb));
    ok(start->mask == SEE_MASK_NOCLOSEPROCESS, "elevated: mask 0x%lx", start->mask);
    ok(start->show == SW_HIDE, "elevated: show state %d", start->show);
    ok(!start->hadOwner && !start->hadDirectory, "elevated: owner %d, directory %d", start->hadOwner,
       start->hadDirectory);
    ok(!lstrcmpW(start->application, g_spacedChild), "elevated: file %s", wt_u8(start->application));
    ok(!lstrcmpW(start->parameters, args), "elevated: parameters %s", wt_u8(start->parameters));
    ok(ShimCalls(SHIM_CreateProcessW) == 0, "elevated: went through CreateProcessW");
    ok(ReadRecord(&record), "elevated: the child left no record");
    if (record.data)
    {
        ok(record.argc == 3 && !lstrcmpW(record.argv[0], g_spacedChild) &&
               !lstrcmpW(record.argv[1], L"--install-runtime"),
           "elevated: %d arguments, [%s] [%s]", record.argc, wt_u8(record.argv[0]), wt_u8(record.argv[1]));
    }
    FreeRecord(&record);

    // A refused prompt (which Wine never shows, so it is injected) ends the call at once: no wait, no
    // exit code read, nothing started.
    ShimReset();
    ShimFail(SHIM_ShellExecuteExW, 1, ERROR_CANCELLED);
    result = Run("refused prompt", g_child, L"--exit=5", TRUE);
    ok(result == ERROR_CANCELLED, "refused prompt: got %lu", result);
    ok(ShimCalls(SHIM_GetExitCodeProcess) == 0, "refused prompt: an exit code was read");
    ok(!wt_exists(g_record), "refused prompt: the child ran");

    // Any other refusal of the shell passes through unchanged.
    ShimReset();
    ShimFail(SHIM_ShellExecuteExW, 1, ERROR_ACCESS_DENIED);
    result = Run("shell refusal", g_child, NULL, TRUE);
    ok(result == ERROR_ACCESS_DENIED, "shell refusal: got %lu", result);
}

static void TestStartFailures(void)
{
    WCHAR missing[MAX_PATH * 4];
    // Plain only: the elevated variant asks the shell without SEE_MASK_FLAG_NO_UI, so for a missing
    // program the shell shows its own error box and would wait for it (under Xvfb as on Windows).
    static const struct
    {
        const char* what;
        const WCHAR* relative;
        INT elevated;
    } cases[] = {
        {"missing program", L"\\missing.exe", FALSE},
        {"missing directory", L"\\no-such-dir\\missing.exe", FALSE},
    };
    for (size_t i = 0; i < ARRAYSIZE(cases); ++i)
    {
        lstrcpyW(missing, g_scratch);
        lstrcatW(missing, cases[i].relative);
        ShimReset();
        DWORD started = GetTickCount();
        Status result = Run(cases[i].what, missing, NULL, cases[i].elevated);
        DWORD took = GetTickCount() - started;
        ok(result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND, "%s: got %lu", cases[i].what, result);
        ok(ShimCalls(SHIM_GetExitCodeProcess) == 0, "%s: an exit code was read", cases[i].what);
        printf("%s: start error %lu after %lu ms\n", cases[i].what, result, took);
    }

    // No buffer for the command line: nothing is started.
    ShimReset();
    ShimFail(SHIM_HeapAlloc, 1, 0);
    Status result = Run("no command-line buffer", g_child, L"--exit=9", FALSE);
    ok(result == ERROR_OUTOFMEMORY, "no command-line buffer: got %lu", result);
    ok(ShimCalls(SHIM_CreateProcessW) == 0 && !wt_exists(g_record), "no command-line buffer: a child was started");

    // An unreadable exit code reads as 1, and the handles are still closed (Run checks the count).
    ShimReset();
    ShimFail(SHIM_GetExitCodeProcess, 1, 0);
    result = Run("exit code unreadable", g_child, L"--exit=9", FALSE);
    ok(result == 1, "exit code unreadable: got %lu", result);
    ok(wt_exists(g_record), "exit code unreadable: the child did not run");

    ShimReset();
    ShimFail(SHIM_GetExitCodeProcess, 1, 0);
    result = Run("exit code unreadable, elevated", g_child, L"--exit=9", TRUE);
    ok(result == 1, "exit code unreadable, elevated: got %lu", result);
    ok(wt_exists(g_record), "exit code unreadable, elevated: the child did not run");
}

// Arguments of count characters: "--long=" then letters.
static WCHAR* LongArguments(int count)
{
    WCHAR* text = static_cast<WCHAR*>(VirtualAlloc(NULL, (count + 1) * sizeof(WCHAR), MEM_COMMIT | MEM_RESERVE,
                                                   PAGE_READWRITE));
    lstrcpyW(text, L"--long=");
    for (int i = 7; i < count; ++i)
    {
        text[i] = static_cast<WCHAR>(L'a' + i % 26);
    }
    text[count] = 0;
    return text;
}

static void TestLongCommandLines(void)
{
    Record record;
    const int prefix = lstrlenW(g_child) + 3;   // quote, path, quote, space

    // Well past the 1,024 characters that wsprintfW would keep.
    WCHAR* args = LongArguments(2000);
    ShimReset();
    Status result = Run("2,000-character argument", g_child, args, FALSE);
    ok(result == 0, "2,000-character argument: got %lu", result);
    ok(ReadRecord(&record), "2,000-character argument: the child left no record");
    if (record.data)
    {
        ok(lstrlenW(record.commandLine) == prefix + 2000, "2,000-character argument: command line of %d, expected %d",
           lstrlenW(record.commandLine), prefix + 2000);
        ok(record.argc == 2 && !lstrcmpW(record.argv[1], args), "2,000-character argument: %d arguments, second of %d",
           record.argc, record.argc > 1 ? lstrlenW(record.argv[1]) : -1);
    }
    FreeRecord(&record);
    VirtualFree(args, 0, MEM_RELEASE);

    // The platform takes at most 32,767 characters with the terminator. The longest line it accepts
    // reaches the child whole; one more is refused before anything starts, with the code Windows gives.
    // (Wine 8's CreateProcessW would not refuse it: it starts the child with the line cut to 32,766.)
    const int longest = 32767 - 1 - prefix;
    args = LongArguments(longest);
    ShimReset();
    result = Run("longest command line", g_child, args, FALSE);
    ok(result == 0, "longest command line: got %lu", result);
    ok(ReadRecord(&record), "longest command line: the child left no record");
    if (record.data)
    {
        ok(lstrlenW(record.commandLine) == 32766 && record.argc == 2 &&
               !lstrcmpW(record.argv[1], args),
           "longest command line: the child saw %d characters, %d arguments", lstrlenW(record.commandLine),
           record.argc);
    }
    FreeRecord(&record);
    VirtualFree(args, 0, MEM_RELEASE);

    // The last goes past it by the runner's whole buffer, twice a PathBuffer plus 10.
    static const int pastLimit[] = {1, 33000 - 32766, 2 * 32768 + 10};
    for (size_t i = 0; i < ARRAYSIZE(pastLimit); ++i)
    {
        args = LongArguments(longest + pastLimit[i]);
        ShimReset();
        result = Run("command line past the limit", g_child, args, FALSE);
        ok(result == ERROR_FILENAME_EXCED_RANGE, "%d characters past the limit: got %lu", pastLimit[i], result);
        ok(ShimCalls(SHIM_CreateProcessW) == 0 && !wt_exists(g_record), "%d characters past the limit: a start was tried",
           pastLimit[i]);
        VirtualFree(args, 0, MEM_RELEASE);
    }
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 2)
    {
        ok(0, "usage: test_runner <child program>");
        return wt_finish();
    }
    if (wt_skip_unless_elevated())
    {
        return wt_finish();
    }
    lstrcpyW(g_child, wt_winpath(argv[1]));
    if (!wt_make_temp_dir(L"runner", g_scratch))
    {
        ok(0, "cannot make a scratch directory");
        return wt_finish();
    }
    WCHAR spacedDir[MAX_PATH * 4];
    wsprintfW(spacedDir, L"%s\\dir with spaces", g_scratch);
    wsprintfW(g_spacedChild, L"%s\\child program.exe", spacedDir);
    wsprintfW(g_record, L"%s\\record.bin", g_scratch);
    ok(CreateDirectoryW(spacedDir, NULL) && CopyFileW(g_child, g_spacedChild, FALSE), "cannot copy %s to %s: %lu",
       wt_u8(g_child), wt_u8(g_spacedChild), GetLastError());
    ok(wt_handle_count() > 0, "the handle table could not be read, handle checks would prove nothing");
    // The first ShellExecuteExW of a process opens handles that the shell keeps for the rest of its life
    // (one under Wine); they are opened here so that the counts around each case compare like with like.
    SetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", NULL);
    RunAndWait(g_child, NULL, TRUE);
    SetEnvironmentVariableW(L"QUORLITH_CHILD_OUT", g_record);
    // A "runas" child gets the user's default environment where UAC is on: the elevated ones find the
    // record path beside themselves.
    WCHAR childNote[MAX_PATH * 4];
    WCHAR spacedNote[MAX_PATH * 4];
    wsprintfW(childNote, L"%s.record-path", g_child);
    wsprintfW(spacedNote, L"%s.record-path", g_spacedChild);
    ok(wt_write_file(childNote, g_record, lstrlenW(g_record) * sizeof(WCHAR)) &&
           wt_write_file(spacedNote, g_record, lstrlenW(g_record) * sizeof(WCHAR)),
       "cannot write %s or %s: error %lu", wt_u8(childNote), wt_u8(spacedNote), GetLastError());

    TestCommandLines();
    TestExitCodes();
    TestElevated();
    TestStartFailures();
    TestLongCommandLines();

    ShimReset();
    DeleteFileW(childNote);
    wt_remove_tree(g_scratch);
    return wt_finish();
}
