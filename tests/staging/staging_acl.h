// What the access list of a staging directory must say, written out here from what it is for (and not
// taken from the product's own text), and one check of a descriptor against it. Used where the descriptor
// is read back from a directory, and where it is the one CreateDirectoryW received.
#pragma once

#include <windows.h>

// Checks owner, protection and the allow entries of descriptor: for the machine-wide directory the
// Administrators group as owner and full control for SYSTEM and Administrators; for the per-user one
// (user: the account the program runs as) that account as owner and full control for it, SYSTEM and
// Administrators, passed on to what is made inside. Nothing else may be granted and nothing inherited, and
// no system list (integrity label) may be set.
// Each failure names what was found; what names the descriptor in the messages.
void CheckStagingDescriptor(const char* what, PSECURITY_DESCRIPTOR descriptor, BOOL machineWide, PSID user);

// Owner and access list of path (LocalFree it), or NULL.
PSECURITY_DESCRIPTOR ReadDirectoryDescriptor(const WCHAR* path);

// The user of this process's token, in a buffer of SECURITY_MAX_SID_SIZE bytes; FALSE when unreadable.
BOOL ReadProcessUser(BYTE* sid);

// Whether this platform keeps a descriptor given at creation, tried with a probe directory below dir: one
// made with a descriptor that no default produces (protected, Everyone alone) must read back as exactly
// that. Wine 8 does not: it turns the list into Unix permission bits and reads back entries made from those.
BOOL PlatformKeepsDescriptors(const WCHAR* dir);

// A standard user's view of this process's token: an impersonation token with the Administrators group,
// and SYSTEM when that is the user, made deny-only (CloseHandle it); NULL when it cannot be made.
HANDLE MakeStandardUserToken(void);

// This process's token as an impersonation token, for the access check (CloseHandle it); NULL when it
// cannot be made.
HANDLE MakeOwnToken(void);

// The access the system's own check gives token to an object with descriptor (a file-system object);
// FALSE when refused. A check that cannot be made is a failure (the descriptor needs owner and group).
BOOL AccessGranted(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, DWORD* granted);
