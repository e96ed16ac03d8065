// Shared types, status codes and helpers of the setup bootstrapper.
#pragma once

#include <windows.h>

// One NUL-terminated path. Every path the program builds lives in one of these, and every length rule
// is stated against its capacity.
#define PATH_BUFFER_CHARS 32768
typedef WCHAR PathBuffer[PATH_BUFFER_CHARS];
#define PATH_BUFFER_BYTES (PATH_BUFFER_CHARS * sizeof(WCHAR))

// Status codes are Win32 error codes; 0 is success. The ones the program produces or treats specially
// (all from winerror.h): ERROR_SUCCESS, ERROR_INVALID_DATA (13), ERROR_OUTOFMEMORY (14),
// ERROR_CANCELLED (1223), ERROR_INSTALL_USEREXIT (1602), ERROR_INSTALL_FAILURE (1603),
// ERROR_PRODUCT_VERSION (1638), ERROR_SUCCESS_REBOOT_REQUIRED (3010).
typedef DWORD Status;

// Zeroed block from the process heap, or NULL.
void* AllocZeroed(SIZE_T bytes);
// Releases a block from AllocZeroed; NULL is allowed.
void FreeBlock(void* block);
// A zeroed PathBuffer from the process heap, or NULL.
WCHAR* AllocPathBuffer(void);

// Writes dir, one backslash and name into out. Fails, leaving out untouched, when the result and its
// terminator would not leave one code unit spare in a PathBuffer. The backslash is added even when dir
// already ends in one.
BOOL JoinPath(WCHAR* out, const WCHAR* dir, const WCHAR* name);

// Reads leading decimal digits; stops at the first other character and reports where through stop.
// The value saturates at MAXDWORD instead of wrapping, so an absurdly long number never reads as a
// small one.
DWORD ReadDecimal(const WCHAR* text, const WCHAR** stop);

// Appends text to the NUL-terminated string in buffer (capacity in code units, terminator included).
// Fails, leaving buffer unchanged, when the result would not fit. Unlike wsprintfW there is no
// 1,024-character ceiling, so long paths are never cut short.
BOOL AppendText(WCHAR* buffer, SIZE_T capacity, const WCHAR* text);

// Appends argument in double quotes, escaped by the rules CommandLineToArgvW reads back, so that the
// child sees exactly one argument equal to it (trailing backslashes and embedded quotes included).
BOOL AppendQuotedArgument(WCHAR* buffer, SIZE_T capacity, const WCHAR* argument);
