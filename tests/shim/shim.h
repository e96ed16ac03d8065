// Fault-injection shim. The product's modules are compiled a second time for the tests with this header
// forced in first (-include shim.h): each listed Win32 or CNG call then goes through a Shim* function that
// passes straight through until a test arms it. Production code is not changed in any way.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#define SHIM_CALLS(X)                                                                                        \
    X(HeapAlloc) X(BCryptOpenAlgorithmProvider) X(BCryptGetProperty) X(BCryptCreateHash) X(BCryptHashData)    \
    X(BCryptFinishHash) X(BCryptGenRandom) X(GetTempPathW) X(GetWindowsDirectoryW) X(GetSystemDirectoryW)      \
    X(ConvertStringSecurityDescriptorToSecurityDescriptorW) X(CreateDirectoryW) X(CreateFileW) X(WriteFile)   \
    X(FlushFileBuffers) X(DeleteFileW) X(RemoveDirectoryW) X(CreateProcessW) X(ShellExecuteExW)               \
    X(GetExitCodeProcess) X(SHGetFolderPathW) X(RegOpenKeyExW) X(RegQueryValueExW) X(FindResourceW)           \
    X(FindFirstFileW) X(CreateThread) X(CreateWindowExW) X(CommandLineToArgvW) X(MessageBoxW)                 \
    X(GetNativeSystemInfo) X(LocalFree) X(SizeofResource) X(GetProcAddress) X(GetDC)                        \
    X(GetTokenInformation) X(ConvertSidToStringSidW)

enum ShimCall
{
#define SHIM_ENUM(name) SHIM_##name,
    SHIM_CALLS(SHIM_ENUM)
#undef SHIM_ENUM
    SHIM_CALL_COUNT
};

#define SHIM_EVERY (-1)

// Back to pass-through for every call, counters and overrides cleared.
void ShimReset(void);
// Makes the nth call (1-based, counted from now) of call fail, or every call with SHIM_EVERY. error is
// the last-error value (or the status an API returns directly; 0 picks a typical one).
void ShimFail(ShimCall call, LONG nth, DWORD error);
// Calls made since the last reset (failed ones included).
LONG ShimCalls(ShimCall call);
const char* ShimName(ShimCall call);

// WriteFile: the nth call writes only part of the request but still reports success.
void ShimShortWrite(LONG nth);
// Sizes of the WriteFile requests since the last reset (up to 64 kept).
LONG ShimWriteRequests(DWORD* sizes, LONG capacity);

// Text answers for the folder queries; NULL restores the real call. They follow the real calls' rules
// for a buffer that is too small.
void ShimSetWindowsDirectory(const WCHAR* path);
void ShimSetTempPath(const WCHAR* path);
void ShimSetSystemDirectory(const WCHAR* path);
void ShimSetProgramFiles(const WCHAR* path);
// Fixed bytes from BCryptGenRandom (NULL restores it).
void ShimSetRandom(const BYTE bytes[8]);
// Native processor architecture reported by GetNativeSystemInfo (0xFFFF restores it).
void ShimSetArchitecture(WORD architecture);

// The native machine that IsWow64Process2, looked up through GetProcAddress, reports (an IMAGE_FILE_MACHINE_*
// value); SHIM_MACHINE_FAIL makes that call fail, SHIM_MACHINE_REAL restores it. A failing GetProcAddress
// stands for a system without the export.
#define SHIM_MACHINE_REAL ((DWORD)-1)
#define SHIM_MACHINE_FAIL ((DWORD)-2)
void ShimSetNativeMachine(DWORD machine);
// LOGPIXELSX that GetDeviceCaps reports (0 restores it): with GetDpiForSystem missing (a failing
// GetProcAddress) the window takes its DPI from there. Windows created are appended, one "x,y,width,height"
// line each, to the file named by the environment variable QUORLITH_SHIM_WINDOW_LOG when it is set.
void ShimSetDeviceDpi(int dpi);

// Registry: when set, RegOpenKeyExW of any key succeeds with a fake key whose "Version" value holds these
// bytes of this type; SHIM_NO_VALUE makes the value missing, SHIM_NO_KEY makes the key missing.
#define SHIM_NO_VALUE ((DWORD)-2)
#define SHIM_NO_KEY ((DWORD)-3)
void ShimSetRegistryValue(DWORD type, const void* data, DWORD size);
// What the last RegOpenKeyExW asked for.
void ShimLastRegistryOpen(HKEY* root, WCHAR* subKey /* 256 */, REGSAM* access);

// A copy of the security descriptor that the last CreateDirectoryW received, or NULL when it received
// none (or none since the last reset).
PSECURITY_DESCRIPTOR ShimLastDirectoryDescriptor(void);

// Records of the last process starts.
struct ShimProcessStart
{
    WCHAR application[1024];
    WCHAR commandLine[4096];
    DWORD creationFlags;
    BOOL inheritHandles;
    // ShellExecuteExW
    WCHAR verb[32];
    WCHAR parameters[4096];
    DWORD mask;
    int show;
    BOOL hadOwner;
    BOOL hadDirectory;
};
const ShimProcessStart* ShimLastCreateProcess(void);
const ShimProcessStart* ShimLastShellExecute(void);

// MessageBoxW shows nothing while capturing; returns IDOK. Text and caption of the last box are kept, and
// appended to the file named by the environment variable QUORLITH_SHIM_LOG when it is set.
void ShimCaptureMessageBoxes(BOOL capture);
const WCHAR* ShimLastMessageBoxText(void);
const WCHAR* ShimLastMessageBoxCaption(void);
UINT ShimLastMessageBoxStyle(void);

// Reads the same settings from the environment variable QUORLITH_SHIM, for programs under test that run
// in a child process: entries separated by ';' — "fail=<Call>:<nth>[:<error>]", "arch=<n>",
// "native=<n>|fail", "device-dpi=<n>", "capture-messagebox".
void ShimConfigureFromEnvironment(void);

// SizeofResource reports this size for every resource while set (FALSE restores the real size), so the
// size bounds can be reached without embedding a payload that large. Arm a failing hashing call as well
// when the size passes the bounds, or the hash would read past the end of the mapped resource.
void ShimSetResourceSize(BOOL set, DWORD size);
// Release calls since the last reset, in call order, one letter each: 'H' BCryptDestroyHash, 'F' HeapFree,
// 'P' BCryptCloseAlgorithmProvider (up to 63 kept). They are not failure points.
const char* ShimReleaseLog(void);

#ifndef SHIM_IMPLEMENTATION
#define SHIM_DECLARE(name) decltype(name) Shim##name;
SHIM_CALLS(SHIM_DECLARE)
#undef SHIM_DECLARE
// RegCloseKey must accept the fake key, but is not a failure point.
decltype(RegCloseKey) ShimRegCloseKey;
decltype(HeapFree) ShimHeapFree;
decltype(BCryptDestroyHash) ShimBCryptDestroyHash;
decltype(BCryptCloseAlgorithmProvider) ShimBCryptCloseAlgorithmProvider;
decltype(GetDeviceCaps) ShimGetDeviceCaps;

#define HeapAlloc ShimHeapAlloc
#define BCryptOpenAlgorithmProvider ShimBCryptOpenAlgorithmProvider
#define BCryptGetProperty ShimBCryptGetProperty
#define BCryptCreateHash ShimBCryptCreateHash
#define BCryptHashData ShimBCryptHashData
#define BCryptFinishHash ShimBCryptFinishHash
#define BCryptGenRandom ShimBCryptGenRandom
#define GetTempPathW ShimGetTempPathW
#define GetWindowsDirectoryW ShimGetWindowsDirectoryW
#define GetSystemDirectoryW ShimGetSystemDirectoryW
#define ConvertStringSecurityDescriptorToSecurityDescriptorW ShimConvertStringSecurityDescriptorToSecurityDescriptorW
#define CreateDirectoryW ShimCreateDirectoryW
#define CreateFileW ShimCreateFileW
#define WriteFile ShimWriteFile
#define FlushFileBuffers ShimFlushFileBuffers
#define DeleteFileW ShimDeleteFileW
#define RemoveDirectoryW ShimRemoveDirectoryW
#define CreateProcessW ShimCreateProcessW
#define ShellExecuteExW ShimShellExecuteExW
#define GetExitCodeProcess ShimGetExitCodeProcess
#define SHGetFolderPathW ShimSHGetFolderPathW
#define RegOpenKeyExW ShimRegOpenKeyExW
#define RegQueryValueExW ShimRegQueryValueExW
#define RegCloseKey ShimRegCloseKey
#define FindResourceW ShimFindResourceW
#define FindFirstFileW ShimFindFirstFileW
#define CreateThread ShimCreateThread
#define CreateWindowExW ShimCreateWindowExW
#define CommandLineToArgvW ShimCommandLineToArgvW
#define MessageBoxW ShimMessageBoxW
#define GetNativeSystemInfo ShimGetNativeSystemInfo
#define LocalFree ShimLocalFree
#define SizeofResource ShimSizeofResource
#define GetProcAddress ShimGetProcAddress
#define GetDC ShimGetDC
#define GetTokenInformation ShimGetTokenInformation
#define ConvertSidToStringSidW ShimConvertSidToStringSidW
#define GetDeviceCaps ShimGetDeviceCaps
#define HeapFree ShimHeapFree
#define BCryptDestroyHash ShimBCryptDestroyHash
#define BCryptCloseAlgorithmProvider ShimBCryptCloseAlgorithmProvider
#endif
