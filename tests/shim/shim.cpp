#define SHIM_IMPLEMENTATION
#include "shim.h"

#include <stdlib.h>

struct ShimState
{
    LONG calls;
    LONG failAt;   // 0: never; SHIM_EVERY: always; n: the call whose count reaches n
    DWORD error;
};

static ShimState g_state[SHIM_CALL_COUNT];
static const char* const g_names[SHIM_CALL_COUNT] = {
#define SHIM_NAME(name) #name,
    SHIM_CALLS(SHIM_NAME)
#undef SHIM_NAME
};

static LONG g_shortWriteAt;
static DWORD g_writeSizes[64];
static LONG g_writeCount;
static const WCHAR* g_windowsDirectory;
static const WCHAR* g_tempPath;
static const WCHAR* g_systemDirectory;
static const WCHAR* g_programFiles;
static BOOL g_randomSet;
static BYTE g_random[8];
static WORD g_architecture = 0xFFFF;
static DWORD g_nativeMachine = SHIM_MACHINE_REAL;
static int g_deviceDpi;
static BOOL g_registrySet;
static DWORD g_registryType;
static BYTE g_registryData[1024];
static DWORD g_registrySize;
static HKEY g_lastRoot;
static WCHAR g_lastSubKey[256];
static REGSAM g_lastAccess;
static ShimProcessStart g_createProcess;
static ShimProcessStart g_shellExecute;
static BOOL g_captureBoxes;
static WCHAR g_boxText[1024];
static WCHAR g_boxCaption[256];
static UINT g_boxStyle;
static BOOL g_resourceSizeSet;
static DWORD g_resourceSize;
static char g_releaseLog[64];
static LONG g_releaseCount;
static BYTE g_directoryDescriptor[1024];
static BOOL g_directoryDescriptorSet;

#define FAKE_KEY reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x51A7E))

// Counts the call; TRUE when this one is to fail (its last-error value is then already set).
static BOOL ShimShouldFail(ShimCall call, DWORD defaultError, DWORD* error)
{
    ShimState* state = &g_state[call];
    LONG count = InterlockedIncrement(&state->calls);
    if (state->failAt == 0 || (state->failAt != SHIM_EVERY && count != state->failAt))
    {
        return FALSE;
    }
    DWORD code = state->error ? state->error : defaultError;
    if (error)
    {
        *error = code;
    }
    SetLastError(code);
    return TRUE;
}

void ShimReset(void)
{
    ZeroMemory(g_state, sizeof(g_state));
    g_shortWriteAt = 0;
    g_writeCount = 0;
    g_windowsDirectory = g_tempPath = g_systemDirectory = g_programFiles = NULL;
    g_randomSet = FALSE;
    g_architecture = 0xFFFF;
    g_nativeMachine = SHIM_MACHINE_REAL;
    g_deviceDpi = 0;
    g_registrySet = FALSE;
    ZeroMemory(&g_createProcess, sizeof(g_createProcess));
    ZeroMemory(&g_shellExecute, sizeof(g_shellExecute));
    g_captureBoxes = FALSE;
    g_boxText[0] = g_boxCaption[0] = 0;
    g_boxStyle = 0;
    g_resourceSizeSet = FALSE;
    g_resourceSize = 0;
    ZeroMemory(g_releaseLog, sizeof(g_releaseLog));
    g_releaseCount = 0;
    g_directoryDescriptorSet = FALSE;
}

void ShimFail(ShimCall call, LONG nth, DWORD error)
{
    g_state[call].failAt = (nth == SHIM_EVERY) ? SHIM_EVERY : g_state[call].calls + nth;
    g_state[call].error = error;
}

LONG ShimCalls(ShimCall call)
{
    return g_state[call].calls;
}

const char* ShimName(ShimCall call)
{
    return (call >= 0 && call < SHIM_CALL_COUNT) ? g_names[call] : "?";
}

void ShimShortWrite(LONG nth)
{
    g_shortWriteAt = g_writeCount + nth;
}

LONG ShimWriteRequests(DWORD* sizes, LONG capacity)
{
    LONG kept = g_writeCount < 64 ? g_writeCount : 64;
    for (LONG i = 0; i < kept && i < capacity; ++i)
    {
        sizes[i] = g_writeSizes[i];
    }
    return g_writeCount;
}

void ShimSetWindowsDirectory(const WCHAR* path) { g_windowsDirectory = path; }
void ShimSetTempPath(const WCHAR* path) { g_tempPath = path; }
void ShimSetSystemDirectory(const WCHAR* path) { g_systemDirectory = path; }
void ShimSetProgramFiles(const WCHAR* path) { g_programFiles = path; }
void ShimSetArchitecture(WORD architecture) { g_architecture = architecture; }
void ShimSetNativeMachine(DWORD machine) { g_nativeMachine = machine; }
void ShimSetDeviceDpi(int dpi) { g_deviceDpi = dpi; }

void ShimSetRandom(const BYTE bytes[8])
{
    g_randomSet = bytes != NULL;
    if (bytes)
    {
        CopyMemory(g_random, bytes, 8);
    }
}

void ShimSetRegistryValue(DWORD type, const void* data, DWORD size)
{
    g_registrySet = TRUE;
    g_registryType = type;
    g_registrySize = size < sizeof(g_registryData) ? size : sizeof(g_registryData);
    if (data)
    {
        CopyMemory(g_registryData, data, g_registrySize);
    }
}

void ShimLastRegistryOpen(HKEY* root, WCHAR* subKey, REGSAM* access)
{
    *root = g_lastRoot;
    lstrcpyW(subKey, g_lastSubKey);
    *access = g_lastAccess;
}

const ShimProcessStart* ShimLastCreateProcess(void) { return &g_createProcess; }
const ShimProcessStart* ShimLastShellExecute(void) { return &g_shellExecute; }
void ShimCaptureMessageBoxes(BOOL capture) { g_captureBoxes = capture; }
const WCHAR* ShimLastMessageBoxText(void) { return g_boxText; }
const WCHAR* ShimLastMessageBoxCaption(void) { return g_boxCaption; }
UINT ShimLastMessageBoxStyle(void) { return g_boxStyle; }

void ShimSetResourceSize(BOOL set, DWORD size)
{
    g_resourceSizeSet = set;
    g_resourceSize = size;
}

const char* ShimReleaseLog(void) { return g_releaseLog; }

static void ShimLogRelease(char letter)
{
    LONG index = InterlockedIncrement(&g_releaseCount) - 1;
    if (index < static_cast<LONG>(sizeof(g_releaseLog)) - 1)
    {
        g_releaseLog[index] = letter;
    }
}

// Folder queries answer like the real ones: the length without terminator when it fits, else the size
// needed with the terminator, and nothing written.
static UINT ShimCopyFolder(const WCHAR* text, WCHAR* buffer, UINT capacity)
{
    UINT length = static_cast<UINT>(lstrlenW(text));
    if (length + 1 > capacity)
    {
        return length + 1;
    }
    lstrcpyW(buffer, text);
    return length;
}

// A program under test in a child process cannot be asked what it did, so what it showed is also appended
// (UTF-8, one line each) to the file named by an environment variable, if that is set.
static void ShimAppendLog(const WCHAR* variable, const WCHAR* line)
{
    WCHAR path[MAX_PATH];
    char utf8[4200];
    DWORD done = 0;
    if (!GetEnvironmentVariableW(variable, path, MAX_PATH))
    {
        return;
    }
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), NULL, NULL);
    if (length > 1)
    {
        WriteFile(file, utf8, static_cast<DWORD>(length - 1), &done, NULL);
    }
    CloseHandle(file);
}

// --- The shimmed calls -------------------------------------------------------------------------------

LPVOID WINAPI ShimHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (ShimShouldFail(SHIM_HeapAlloc, ERROR_NOT_ENOUGH_MEMORY, NULL))
    {
        return NULL;
    }
    return HeapAlloc(heap, flags, bytes);
}

#define SHIM_NTSTATUS(call, ...)                                                                             \
    do                                                                                                       \
    {                                                                                                        \
        DWORD error = 0;                                                                                     \
        if (ShimShouldFail(SHIM_##call, static_cast<DWORD>(0xC0000001L) /* STATUS_UNSUCCESSFUL */, &error))  \
        {                                                                                                    \
            return static_cast<NTSTATUS>(error);                                                             \
        }                                                                                                    \
        return call(__VA_ARGS__);                                                                            \
    } while (0)

NTSTATUS WINAPI ShimBCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR id, LPCWSTR implementation,
                                                ULONG flags)
{
    SHIM_NTSTATUS(BCryptOpenAlgorithmProvider, algorithm, id, implementation, flags);
}

NTSTATUS WINAPI ShimBCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG length,
                                      ULONG* result, ULONG flags)
{
    SHIM_NTSTATUS(BCryptGetProperty, object, property, output, length, result, flags);
}

NTSTATUS WINAPI ShimBCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR object,
                                     ULONG objectLength, PUCHAR secret, ULONG secretLength, ULONG flags)
{
    SHIM_NTSTATUS(BCryptCreateHash, algorithm, hash, object, objectLength, secret, secretLength, flags);
}

NTSTATUS WINAPI ShimBCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG length, ULONG flags)
{
    SHIM_NTSTATUS(BCryptHashData, hash, input, length, flags);
}

NTSTATUS WINAPI ShimBCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG length, ULONG flags)
{
    SHIM_NTSTATUS(BCryptFinishHash, hash, output, length, flags);
}

NTSTATUS WINAPI ShimBCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG length, ULONG flags)
{
    DWORD error = 0;
    if (ShimShouldFail(SHIM_BCryptGenRandom, static_cast<DWORD>(0xC0000001L), &error))
    {
        return static_cast<NTSTATUS>(error);
    }
    if (g_randomSet && length == 8)
    {
        CopyMemory(buffer, g_random, 8);
        return 0;
    }
    return BCryptGenRandom(algorithm, buffer, length, flags);
}

DWORD WINAPI ShimGetTempPathW(DWORD capacity, LPWSTR buffer)
{
    if (ShimShouldFail(SHIM_GetTempPathW, ERROR_PATH_NOT_FOUND, NULL))
    {
        return 0;
    }
    return g_tempPath ? ShimCopyFolder(g_tempPath, buffer, capacity) : GetTempPathW(capacity, buffer);
}

UINT WINAPI ShimGetWindowsDirectoryW(LPWSTR buffer, UINT capacity)
{
    if (ShimShouldFail(SHIM_GetWindowsDirectoryW, ERROR_PATH_NOT_FOUND, NULL))
    {
        return 0;
    }
    return g_windowsDirectory ? ShimCopyFolder(g_windowsDirectory, buffer, capacity)
                              : GetWindowsDirectoryW(buffer, capacity);
}

UINT WINAPI ShimGetSystemDirectoryW(LPWSTR buffer, UINT capacity)
{
    if (ShimShouldFail(SHIM_GetSystemDirectoryW, ERROR_PATH_NOT_FOUND, NULL))
    {
        return 0;
    }
    return g_systemDirectory ? ShimCopyFolder(g_systemDirectory, buffer, capacity)
                             : GetSystemDirectoryW(buffer, capacity);
}

BOOL WINAPI ShimConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                                     PSECURITY_DESCRIPTOR* descriptor, PULONG size)
{
    if (ShimShouldFail(SHIM_ConvertStringSecurityDescriptorToSecurityDescriptorW, ERROR_INVALID_PARAMETER, NULL))
    {
        return FALSE;
    }
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(text, revision, descriptor, size);
}

// Self-relative as ConvertStringSecurityDescriptorToSecurityDescriptorW makes it, or converted to that form.
static void ShimKeepDirectoryDescriptor(const SECURITY_ATTRIBUTES* attributes)
{
    PSECURITY_DESCRIPTOR given = attributes ? attributes->lpSecurityDescriptor : NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    DWORD size = sizeof(g_directoryDescriptor);
    g_directoryDescriptorSet = FALSE;
    if (!given || !GetSecurityDescriptorControl(given, &control, &revision))
    {
        return;
    }
    if (control & SE_SELF_RELATIVE)
    {
        size = GetSecurityDescriptorLength(given);
        g_directoryDescriptorSet = size <= sizeof(g_directoryDescriptor);
        CopyMemory(g_directoryDescriptor, given, g_directoryDescriptorSet ? size : 0);
        return;
    }
    g_directoryDescriptorSet = MakeSelfRelativeSD(given, g_directoryDescriptor, &size);
}

PSECURITY_DESCRIPTOR ShimLastDirectoryDescriptor(void)
{
    return g_directoryDescriptorSet ? g_directoryDescriptor : NULL;
}

BOOL WINAPI ShimGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                                    PDWORD needed)
{
    if (ShimShouldFail(SHIM_GetTokenInformation, ERROR_ACCESS_DENIED, NULL))
    {
        return FALSE;
    }
    return GetTokenInformation(token, kind, buffer, size, needed);
}

BOOL WINAPI ShimConvertSidToStringSidW(PSID sid, LPWSTR* text)
{
    if (ShimShouldFail(SHIM_ConvertSidToStringSidW, ERROR_NOT_ENOUGH_MEMORY, NULL))
    {
        return FALSE;
    }
    return ConvertSidToStringSidW(sid, text);
}

BOOL WINAPI ShimCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes)
{
    ShimKeepDirectoryDescriptor(attributes);
    if (ShimShouldFail(SHIM_CreateDirectoryW, ERROR_ACCESS_DENIED, NULL))
    {
        return FALSE;
    }
    return CreateDirectoryW(path, attributes);
}

HANDLE WINAPI ShimCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (ShimShouldFail(SHIM_CreateFileW, ERROR_ACCESS_DENIED, NULL))
    {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, attributes, disposition, flags, templateFile);
}

BOOL WINAPI ShimWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    LONG index = g_writeCount++;
    if (index < 64)
    {
        g_writeSizes[index] = size;
    }
    if (ShimShouldFail(SHIM_WriteFile, ERROR_DISK_FULL, NULL))
    {
        return FALSE;
    }
    if (g_shortWriteAt && index + 1 == g_shortWriteAt && size > 0)
    {
        return WriteFile(file, data, size / 2, written, overlapped);
    }
    return WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI ShimFlushFileBuffers(HANDLE file)
{
    if (ShimShouldFail(SHIM_FlushFileBuffers, ERROR_DISK_FULL, NULL))
    {
        return FALSE;
    }
    return FlushFileBuffers(file);
}

BOOL WINAPI ShimDeleteFileW(LPCWSTR path)
{
    if (ShimShouldFail(SHIM_DeleteFileW, ERROR_ACCESS_DENIED, NULL))
    {
        return FALSE;
    }
    return DeleteFileW(path);
}

BOOL WINAPI ShimRemoveDirectoryW(LPCWSTR path)
{
    if (ShimShouldFail(SHIM_RemoveDirectoryW, ERROR_ACCESS_DENIED, NULL))
    {
        return FALSE;
    }
    return RemoveDirectoryW(path);
}

BOOL WINAPI ShimCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    ZeroMemory(&g_createProcess, sizeof(g_createProcess));
    lstrcpynW(g_createProcess.application, application ? application : L"", 1024);
    lstrcpynW(g_createProcess.commandLine, commandLine ? commandLine : L"", 4096);
    g_createProcess.creationFlags = flags;
    g_createProcess.inheritHandles = inherit;
    if (ShimShouldFail(SHIM_CreateProcessW, ERROR_FILE_NOT_FOUND, NULL))
    {
        return FALSE;
    }
    return CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
                          directory, startup, information);
}

BOOL WINAPI ShimShellExecuteExW(SHELLEXECUTEINFOW* info)
{
    ZeroMemory(&g_shellExecute, sizeof(g_shellExecute));
    lstrcpynW(g_shellExecute.application, info->lpFile ? info->lpFile : L"", 1024);
    lstrcpynW(g_shellExecute.verb, info->lpVerb ? info->lpVerb : L"", 32);
    lstrcpynW(g_shellExecute.parameters, info->lpParameters ? info->lpParameters : L"", 4096);
    g_shellExecute.mask = info->fMask;
    g_shellExecute.show = info->nShow;
    g_shellExecute.hadOwner = info->hwnd != NULL;
    g_shellExecute.hadDirectory = info->lpDirectory != NULL;
    if (ShimShouldFail(SHIM_ShellExecuteExW, ERROR_CANCELLED, NULL))
    {
        return FALSE;
    }
    return ShellExecuteExW(info);
}

BOOL WINAPI ShimGetExitCodeProcess(HANDLE process, LPDWORD code)
{
    if (ShimShouldFail(SHIM_GetExitCodeProcess, ERROR_ACCESS_DENIED, NULL))
    {
        return FALSE;
    }
    return GetExitCodeProcess(process, code);
}

HRESULT WINAPI ShimSHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path)
{
    if (ShimShouldFail(SHIM_SHGetFolderPathW, static_cast<DWORD>(E_FAIL), NULL))
    {
        return E_FAIL;
    }
    if (g_programFiles && folder == CSIDL_PROGRAM_FILES)
    {
        lstrcpynW(path, g_programFiles, MAX_PATH);
        return S_OK;
    }
    return SHGetFolderPathW(owner, folder, token, flags, path);
}

LSTATUS WINAPI ShimRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    DWORD error = 0;
    g_lastRoot = root;
    lstrcpynW(g_lastSubKey, subKey ? subKey : L"", 256);
    g_lastAccess = access;
    if (ShimShouldFail(SHIM_RegOpenKeyExW, ERROR_FILE_NOT_FOUND, &error))
    {
        return static_cast<LSTATUS>(error);
    }
    if (g_registrySet)
    {
        if (g_registryType == SHIM_NO_KEY)
        {
            return ERROR_FILE_NOT_FOUND;
        }
        *result = FAKE_KEY;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExW(root, subKey, options, access, result);
}

LSTATUS WINAPI ShimRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                    LPDWORD size)
{
    DWORD error = 0;
    if (ShimShouldFail(SHIM_RegQueryValueExW, ERROR_FILE_NOT_FOUND, &error))
    {
        return static_cast<LSTATUS>(error);
    }
    if (key != FAKE_KEY)
    {
        return RegQueryValueExW(key, name, reserved, type, data, size);
    }
    if (g_registryType == SHIM_NO_VALUE || lstrcmpW(name, L"Version"))
    {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type)
    {
        *type = g_registryType;
    }
    // The real call copies nothing when the data does not fit, and reports the size it would need.
    if (data && g_registrySize > *size)
    {
        *size = g_registrySize;
        return ERROR_MORE_DATA;
    }
    if (data)
    {
        CopyMemory(data, g_registryData, g_registrySize);
    }
    *size = g_registrySize;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI ShimRegCloseKey(HKEY key)
{
    return key == FAKE_KEY ? ERROR_SUCCESS : RegCloseKey(key);
}

HRSRC WINAPI ShimFindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    if (ShimShouldFail(SHIM_FindResourceW, ERROR_RESOURCE_NAME_NOT_FOUND, NULL))
    {
        return NULL;
    }
    return FindResourceW(module, name, type);
}

HANDLE WINAPI ShimFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    if (ShimShouldFail(SHIM_FindFirstFileW, ERROR_ACCESS_DENIED, NULL))
    {
        return INVALID_HANDLE_VALUE;
    }
    return FindFirstFileW(pattern, data);
}

HANDLE WINAPI ShimCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (ShimShouldFail(SHIM_CreateThread, ERROR_NOT_ENOUGH_MEMORY, NULL))
    {
        return NULL;
    }
    return CreateThread(attributes, stack, start, parameter, flags, id);
}

HWND WINAPI ShimCreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR name, DWORD style, int x, int y, int width,
                                int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter)
{
    WCHAR line[64];
    if (ShimShouldFail(SHIM_CreateWindowExW, ERROR_NOT_ENOUGH_MEMORY, NULL))
    {
        return NULL;
    }
    wsprintfW(line, L"%d,%d,%d,%d\n", x, y, width, height);
    ShimAppendLog(L"QUORLITH_SHIM_WINDOW_LOG", line);
    return CreateWindowExW(exStyle, className, name, style, x, y, width, height, parent, menu, instance, parameter);
}

LPWSTR* WINAPI ShimCommandLineToArgvW(LPCWSTR commandLine, int* count)
{
    if (ShimShouldFail(SHIM_CommandLineToArgvW, ERROR_NOT_ENOUGH_MEMORY, NULL))
    {
        return NULL;
    }
    return CommandLineToArgvW(commandLine, count);
}

// Captured boxes: style|caption|text.
static void ShimLogMessageBox(LPCWSTR text, LPCWSTR caption, UINT style)
{
    WCHAR line[1400];
    wsprintfW(line, L"%u|%.250s|%.1000s\n", style, caption ? caption : L"", text ? text : L"");
    ShimAppendLog(L"QUORLITH_SHIM_LOG", line);
}

int WINAPI ShimMessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style)
{
    ShimShouldFail(SHIM_MessageBoxW, 0, NULL);
    lstrcpynW(g_boxText, text ? text : L"", 1024);
    lstrcpynW(g_boxCaption, caption ? caption : L"", 256);
    g_boxStyle = style;
    if (g_captureBoxes)
    {
        ShimLogMessageBox(text, caption, style);
        return IDOK;
    }
    return MessageBoxW(owner, text, caption, style);
}

void WINAPI ShimGetNativeSystemInfo(LPSYSTEM_INFO info)
{
    ShimShouldFail(SHIM_GetNativeSystemInfo, 0, NULL);
    GetNativeSystemInfo(info);
    if (g_architecture != 0xFFFF)
    {
        info->wProcessorArchitecture = g_architecture;
    }
}

static BOOL WINAPI ShimIsWow64Process2(HANDLE process, USHORT* processMachine, USHORT* nativeMachine)
{
    if (g_nativeMachine == SHIM_MACHINE_FAIL)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    (void)process;
    *processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (nativeMachine)
    {
        *nativeMachine = static_cast<USHORT>(g_nativeMachine);
    }
    return TRUE;
}

FARPROC WINAPI ShimGetProcAddress(HMODULE module, LPCSTR name)
{
    if (ShimShouldFail(SHIM_GetProcAddress, ERROR_PROC_NOT_FOUND, NULL))
    {
        return NULL;
    }
    // An ordinal has a zero high part and is no name to compare.
    if (g_nativeMachine != SHIM_MACHINE_REAL && HIWORD(reinterpret_cast<ULONG_PTR>(name)) &&
        !strcmp(name, "IsWow64Process2"))
    {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(ShimIsWow64Process2));
    }
    return GetProcAddress(module, name);
}

HDC WINAPI ShimGetDC(HWND window)
{
    if (ShimShouldFail(SHIM_GetDC, 0, NULL))
    {
        return NULL;
    }
    return GetDC(window);
}

int WINAPI ShimGetDeviceCaps(HDC dc, int index)
{
    return (g_deviceDpi && index == LOGPIXELSX) ? g_deviceDpi : GetDeviceCaps(dc, index);
}

HLOCAL WINAPI ShimLocalFree(HLOCAL block)
{
    ShimShouldFail(SHIM_LocalFree, 0, NULL);
    return LocalFree(block);
}

void ShimConfigureFromEnvironment(void)
{
    char text[1024];
    if (!GetEnvironmentVariableA("QUORLITH_SHIM", text, sizeof(text)))
    {
        return;
    }
    for (char* entry = strtok(text, ";"); entry; entry = strtok(NULL, ";"))
    {
        if (!strncmp(entry, "arch=", 5))
        {
            ShimSetArchitecture(static_cast<WORD>(atoi(entry + 5)));
        }
        else if (!strncmp(entry, "native=", 7))
        {
            ShimSetNativeMachine(!strcmp(entry + 7, "fail") ? SHIM_MACHINE_FAIL : strtoul(entry + 7, NULL, 0));
        }
        else if (!strncmp(entry, "device-dpi=", 11))
        {
            ShimSetDeviceDpi(atoi(entry + 11));
        }
        else if (!strcmp(entry, "capture-messagebox"))
        {
            ShimCaptureMessageBoxes(TRUE);
        }
        else if (!strncmp(entry, "fail=", 5))
        {
            char* name = entry + 5;
            char* nth = strchr(name, ':');
            char* error = nth ? strchr(nth + 1, ':') : NULL;
            if (nth)
            {
                *nth++ = 0;
            }
            if (error)
            {
                *error++ = 0;
            }
            for (int call = 0; call < SHIM_CALL_COUNT; ++call)
            {
                if (!strcmp(g_names[call], name))
                {
                    ShimFail(static_cast<ShimCall>(call), nth ? atol(nth) : 1,
                             error ? strtoul(error, NULL, 0) : 0);
                }
            }
        }
    }
}

DWORD WINAPI ShimSizeofResource(HMODULE module, HRSRC resource)
{
    if (ShimShouldFail(SHIM_SizeofResource, ERROR_RESOURCE_DATA_NOT_FOUND, NULL))
    {
        return 0;
    }
    return g_resourceSizeSet ? g_resourceSize : SizeofResource(module, resource);
}

BOOL WINAPI ShimHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    ShimLogRelease('F');
    return HeapFree(heap, flags, block);
}

NTSTATUS WINAPI ShimBCryptDestroyHash(BCRYPT_HASH_HANDLE hash)
{
    ShimLogRelease('H');
    return BCryptDestroyHash(hash);
}

NTSTATUS WINAPI ShimBCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags)
{
    ShimLogRelease('P');
    return BCryptCloseAlgorithmProvider(algorithm, flags);
}
