// Sample product installer: stands in for the real one in builds with the sample payloads.
//
//   (no arguments)      records that it ran and exits 0
//   --check "<path>"    exits 0 when path exists, 2 otherwise
//
// Every run writes a receipt to %LOCALAPPDATA%\Quorlith-Sample\receipt.txt (UTF-8): its command line,
// arguments, current directory, own path, the owner, group and access list of its own folder, and whether
// it may make, write, read and delete a file and make and remove a folder there. For tests,
// QUORLITH_SAMPLE_EXIT_CODE overrides the exit code and QUORLITH_SAMPLE_DELAY_MS makes it wait before
// exiting. It never shows a window.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <aclapi.h>
#include <sddl.h>

static void AppendUtf8(HANDLE file, const WCHAR* label, const WCHAR* text)
{
    char buffer[4096];
    DWORD done = 0;
    int length = WideCharToMultiByte(CP_UTF8, 0, label, -1, buffer, sizeof(buffer), NULL, NULL);
    if (length > 1)
    {
        WriteFile(file, buffer, static_cast<DWORD>(length - 1), &done, NULL);
    }
    // Long texts (a 2,000-character argument) are written in pieces that fit the buffer.
    int total = lstrlenW(text);
    for (int at = 0; at < total; at += 1000)
    {
        int count = total - at < 1000 ? total - at : 1000;
        length = WideCharToMultiByte(CP_UTF8, 0, text + at, count, buffer, sizeof(buffer), NULL, NULL);
        WriteFile(file, buffer, static_cast<DWORD>(length), &done, NULL);
    }
    WriteFile(file, "\r\n", 2, &done, NULL);
}

static DWORD ReadNumberVariable(const WCHAR* name, DWORD fallback)
{
    WCHAR text[32];
    DWORD value = 0;
    if (!GetEnvironmentVariableW(name, text, 32) || !text[0])
    {
        return fallback;
    }
    for (const WCHAR* p = text; *p >= L'0' && *p <= L'9'; ++p)
    {
        value = value * 10 + static_cast<DWORD>(*p - L'0');
    }
    return value;
}

// folder: its own path, cut here to its folder; text: scratch of 32768. "folderUse=0", or the first step
// that failed and its error.
static void WriteFolderRecord(HANDLE file, WCHAR* folder, WCHAR* text)
{
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    WCHAR* sddl = NULL;
    HANDLE probe = INVALID_HANDLE_VALUE;
    WCHAR sub[64];
    const WCHAR* failed = NULL;
    DWORD done = 0;
    DWORD error = 0;
    char bytes[4] = {'s', 'e', 'e', 'n'};

    WCHAR* slash = folder + lstrlenW(folder);
    while (slash > folder && *slash != L'\\')
    {
        --slash;
    }
    *slash = 0;
    if (GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, parts, NULL, NULL, NULL, NULL, &descriptor) == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &sddl, NULL))
    {
        AppendUtf8(file, L"folderDescriptor=", sddl);
    }

    wsprintfW(text, L"%s\\Quorlith-Sample-Probe.txt", folder);
    probe = CreateFileW(text, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe == INVALID_HANDLE_VALUE || !WriteFile(probe, bytes, sizeof(bytes), &done, NULL))
    {
        failed = L"create";
        error = GetLastError();
    }
    if (probe != INVALID_HANDLE_VALUE)
    {
        CloseHandle(probe);
    }
    probe = failed ? INVALID_HANDLE_VALUE
                   : CreateFileW(text, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (!failed && (probe == INVALID_HANDLE_VALUE || !ReadFile(probe, bytes, sizeof(bytes), &done, NULL) || done != 4))
    {
        failed = L"read";
        error = GetLastError();
    }
    if (probe != INVALID_HANDLE_VALUE)
    {
        CloseHandle(probe);
    }
    if (!failed && !DeleteFileW(text))
    {
        failed = L"delete";
        error = GetLastError();
    }
    wsprintfW(text, L"%s\\Quorlith-Sample-Probe", folder);
    if (!failed && !CreateDirectoryW(text, NULL))
    {
        failed = L"mkdir";
        error = GetLastError();
    }
    if (!failed && !RemoveDirectoryW(text))
    {
        failed = L"rmdir";
        error = GetLastError();
    }
    if (failed)
    {
        wsprintfW(sub, L"%s %lu", failed, error);
    }
    AppendUtf8(file, L"folderUse=", failed ? sub : L"0");

    if (sddl)
    {
        LocalFree(sddl);
    }
    if (descriptor)
    {
        LocalFree(descriptor);
    }
}

static void WriteReceipt(int argc, WCHAR** argv)
{
    WCHAR* path = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 32768 * sizeof(WCHAR)));
    WCHAR* text = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 32768 * sizeof(WCHAR)));
    WCHAR label[32];
    HANDLE file = INVALID_HANDLE_VALUE;

    if (!path || !text || FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, path)))
    {
        goto cleanup;
    }
    lstrcatW(path, L"\\Quorlith-Sample");
    CreateDirectoryW(path, NULL);
    lstrcatW(path, L"\\receipt.txt");
    file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        goto cleanup;
    }
    AppendUtf8(file, L"commandLine=", GetCommandLineW());
    wsprintfW(text, L"%d", argc);
    AppendUtf8(file, L"argc=", text);
    for (int i = 0; i < argc; ++i)
    {
        wsprintfW(label, L"argv[%d]=", i);
        AppendUtf8(file, label, argv[i]);
    }
    GetCurrentDirectoryW(32768, text);
    AppendUtf8(file, L"currentDirectory=", text);
    GetModuleFileNameW(NULL, text, 32768);
    AppendUtf8(file, L"modulePath=", text);
    WriteFolderRecord(file, text, path);

cleanup:
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    if (text)
    {
        HeapFree(GetProcessHeap(), 0, text);
    }
    if (path)
    {
        HeapFree(GetProcessHeap(), 0, path);
    }
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int argc = 0;
    WCHAR** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    DWORD exitCode = 0;

    if (argv)
    {
        WriteReceipt(argc, argv);
        if (argc == 3 && lstrcmpW(argv[1], L"--check") == 0)
        {
            exitCode = GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES ? 0 : 2;
        }
        LocalFree(argv);
    }
    Sleep(ReadNumberVariable(L"QUORLITH_SAMPLE_DELAY_MS", 0));
    ExitProcess(ReadNumberVariable(L"QUORLITH_SAMPLE_EXIT_CODE", exitCode));
}
