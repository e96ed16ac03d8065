// Stands in for a test program under run-kit.exe: behaves as argv[1] says, so that the runner's verdicts,
// time limit, command lines and report can be checked.
//   pass | fail | skip | partial-skip | empty | silent | exit-code | text   what the closing line and output say
//   hang <marker>    starts "sleeper <marker>" and waits for ever: the time limit must end both
//   sleeper <marker> writes <marker> after 4 s, unless it is ended first
//   args <a> <b>...  prints each argument between brackets, then passes
//   leave            passes, but leaves <Windows>\Temp\Quorlith-Setup-probe behind
//   leave-user       passes, but leaves <user's temporary directory>\Quorlith-Setup-probe behind
//   handles          passes unless it inherited a handle besides its standard ones (the runner's own output)
//   hold-msiexecute <s>  holds Windows Installer's execution mutex for s seconds, as an installation would
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (!strcmp(mode, "pass"))
    {
        printf("3 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "fail"))
    {
        printf("probe.cpp:10: Test failed: got 2, expected 1\n0 passed, 1 failed\n");
        return 1;
    }
    if (!strcmp(mode, "skip"))
    {
        printf("probe.cpp:20: Tests skipped: no ARM64 here\nprobe.cpp:21: Tests skipped: no second display\n"
               "0 passed, 0 failed, 2 skipped\n");
        return 0;
    }
    if (!strcmp(mode, "partial-skip"))
    {
        printf("probe.cpp:30: Tests skipped: one case only\n2 passed, 0 failed, 1 skipped\n");
        return 0;
    }
    if (!strcmp(mode, "empty"))
    {
        printf("0 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "exit-code"))
    {
        printf("1 passed, 0 failed\n");
        return 3;
    }
    if (!strcmp(mode, "text"))
    {
        // What XML cannot carry as it is: markup characters, a control character, a byte that is no UTF-8.
        printf("a <b> & \"c\" \x01 \xff\n1 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "args"))
    {
        for (int i = 2; i < argc; ++i)
        {
            printf("[%s]\n", argv[i]);
        }
        printf("1 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "hang") && argc > 2)
    {
        char line[MAX_PATH * 3];
        char self[MAX_PATH];
        STARTUPINFOA startup = {};
        PROCESS_INFORMATION process = {};
        startup.cb = sizeof(startup);
        GetModuleFileNameA(NULL, self, MAX_PATH);
        sprintf(line, "\"%s\" sleeper \"%s\"", self, argv[2]);
        if (CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        printf("started the sleeper\n");
        fflush(stdout);
        Sleep(INFINITE);
    }
    if (!strcmp(mode, "sleeper") && argc > 2)
    {
        Sleep(4000);
        HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (marker != INVALID_HANDLE_VALUE)
        {
            CloseHandle(marker);
        }
        return 0;
    }
    if (!strcmp(mode, "leave"))
    {
        char path[MAX_PATH];
        GetWindowsDirectoryA(path, MAX_PATH - 32);
        strcat(path, "\\Temp\\Quorlith-Setup-probe");
        CreateDirectoryA(path, NULL);
        printf("1 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "leave-user"))
    {
        char path[MAX_PATH];
        GetTempPathA(MAX_PATH - 32, path);
        strcat(path, "Quorlith-Setup-probe");
        CreateDirectoryA(path, NULL);
        printf("1 passed, 0 failed\n");
        return 0;
    }
    if (!strcmp(mode, "handles"))
    {
        HANDLE standard[3] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
        int inherited = 0;
        // Handle values are multiples of 4; an inherited handle keeps its inherit flag.
        for (ULONG_PTR value = 4; value < 0x10000; value += 4)
        {
            HANDLE handle = reinterpret_cast<HANDLE>(value);
            DWORD flags = 0;
            if (handle == standard[0] || handle == standard[1] || handle == standard[2] ||
                !GetHandleInformation(handle, &flags) || !(flags & HANDLE_FLAG_INHERIT))
            {
                continue;
            }
            printf("probe.cpp:40: Test failed: inherited handle %p (file type %lu)\n", handle, GetFileType(handle));
            ++inherited;
        }
        printf("%d passed, %d failed\n", inherited ? 0 : 1, inherited);
        return inherited ? 1 : 0;
    }
    if (!strcmp(mode, "hold-msiexecute") && argc > 2)
    {
        HANDLE mutex = CreateMutexA(NULL, TRUE, "Global\\_MSIExecute");
        printf(mutex && GetLastError() != ERROR_ALREADY_EXISTS ? "holding\n" : "not holding: error %lu\n",
               GetLastError());
        fflush(stdout);
        Sleep(static_cast<DWORD>(atoi(argv[2])) * 1000);
        return 0;
    }
    // "silent" and anything else: ends at once, printing nothing.
    return 0;
}
