#include "staging_acl.h"
#include "wtest.h"

#include <aclapi.h>
#include <sddl.h>

#define FULL_CONTROL 0x001F01FFu   // every standard and every file right
#define PASSED_INSIDE 0x03         // object inherit | container inherit
#define ENTRY_INHERITED 0x10

enum Account
{
    ACCOUNT_SYSTEM,
    ACCOUNT_ADMINISTRATORS,
    ACCOUNT_USER,   // the program's own account
};

static const struct
{
    const char* name;
    BOOL machineWide;
    Account account;
    BYTE flags;
} kExpectedEntries[] = {
    {"SYSTEM", TRUE, ACCOUNT_SYSTEM, 0},
    {"Administrators", TRUE, ACCOUNT_ADMINISTRATORS, 0},
    {"SYSTEM", FALSE, ACCOUNT_SYSTEM, PASSED_INSIDE},
    {"Administrators", FALSE, ACCOUNT_ADMINISTRATORS, PASSED_INSIDE},
    {"the program's own account", FALSE, ACCOUNT_USER, PASSED_INSIDE},
};

// Accounts that must never be granted anything, whatever else the list says.
static const struct
{
    const char* name;
    const char* sid;
} kForbidden[] = {
    {"Users", "S-1-5-32-545"},
    {"Everyone", "S-1-1-0"},
    {"Authenticated Users", "S-1-5-11"},
};

static const char* SidText(PSID sid)
{
    static char slots[4][192];
    static int next;
    char* out = slots[next++ & 3];
    WCHAR* text = NULL;
    if (!sid)
    {
        return "(none)";
    }
    if (!ConvertSidToStringSidW(sid, &text))
    {
        return "(unreadable)";
    }
    lstrcpynA(out, wt_u8(text), sizeof(slots[0]));
    LocalFree(text);
    return out;
}

static BOOL SidIs(PSID sid, const char* text)
{
    return !lstrcmpA(SidText(sid), text);
}

static BOOL IsAccount(PSID sid, Account account, PSID user)
{
    switch (account)
    {
    case ACCOUNT_SYSTEM:
        return SidIs(sid, "S-1-5-18");
    case ACCOUNT_ADMINISTRATORS:
        return SidIs(sid, "S-1-5-32-544");
    default:
        return user && EqualSid(sid, user);
    }
}

static const char* DescriptorText(PSECURITY_DESCRIPTOR descriptor)
{
    static char out[1024];
    WCHAR* text = NULL;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, NULL))
    {
        return "(not convertible)";
    }
    lstrcpynA(out, wt_u8(text), sizeof(out));
    LocalFree(text);
    return out;
}

void CheckStagingDescriptor(const char* what, PSECURITY_DESCRIPTOR descriptor, BOOL machineWide, PSID user)
{
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    PACL dacl = NULL;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL found[ARRAYSIZE(kExpectedEntries)] = {};

    ok(descriptor != NULL, "%s: no descriptor", what);
    if (!descriptor)
    {
        return;
    }
    printf("%s: %s\n", what, DescriptorText(descriptor));

    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    const BOOL ownerRight = owner && IsAccount(owner, machineWide ? ACCOUNT_ADMINISTRATORS : ACCOUNT_USER, user);
    ok(ownerRight, "%s: owner %s, expected %s", what, SidText(owner),
       machineWide ? "Administrators (S-1-5-32-544)" : SidText(user));

    GetSecurityDescriptorControl(descriptor, &control, &revision);
    ok(control & SE_DACL_PROTECTED, "%s: access list not protected (control 0x%04x): the parent's entries apply",
       what, control);
    // A system list would carry an integrity label, which could lock the account's own unelevated processes
    // out of a directory made elevated; the platform's default label is what the directory must get.
    ok(!(control & SE_SACL_PRESENT), "%s: carries a system list (control 0x%04x): an integrity label or audit entries",
       what, control);
    ok(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl,
       "%s: no access list (present %d): everyone has full control", what, present);
    if (!dacl)
    {
        return;
    }

    ACL_SIZE_INFORMATION size = {};
    GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation);
    for (DWORD i = 0; i < size.AceCount; ++i)
    {
        ACE_HEADER* header = NULL;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)))
        {
            ok(FALSE, "%s: entry %lu not readable: error %lu", what, i, GetLastError());
            continue;
        }
        ok(!(header->AceFlags & ENTRY_INHERITED), "%s: entry %lu is inherited (flags 0x%02x)", what, i,
           header->AceFlags);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        {
            ok(FALSE, "%s: entry %lu of type %u, only allow entries expected", what, i, header->AceType);
            continue;
        }
        ACCESS_ALLOWED_ACE* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        PSID sid = &entry->SidStart;
        for (const auto& forbidden : kForbidden)
        {
            ok(!SidIs(sid, forbidden.sid), "%s: entry %lu grants %s (%s) access 0x%08lx", what, i, forbidden.name,
               forbidden.sid, entry->Mask);
        }
        BOOL known = FALSE;
        for (size_t e = 0; e < ARRAYSIZE(kExpectedEntries); ++e)
        {
            if (kExpectedEntries[e].machineWide == machineWide && IsAccount(sid, kExpectedEntries[e].account, user) &&
                entry->Mask == FULL_CONTROL && (header->AceFlags & ~ENTRY_INHERITED) == kExpectedEntries[e].flags)
            {
                found[e] = known = TRUE;
            }
        }
        ok(known, "%s: entry %lu not expected: %s, access 0x%08lx, flags 0x%02x", what, i, SidText(sid), entry->Mask,
           header->AceFlags);
    }
    for (size_t e = 0; e < ARRAYSIZE(kExpectedEntries); ++e)
    {
        ok(kExpectedEntries[e].machineWide != machineWide || found[e],
           "%s: no entry giving %s full control 0x%08x with flags 0x%02x", what, kExpectedEntries[e].name,
           FULL_CONTROL, kExpectedEntries[e].flags);
    }
}

PSECURITY_DESCRIPTOR ReadDirectoryDescriptor(const WCHAR* path)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, NULL,
                              NULL, NULL, NULL, &descriptor) != ERROR_SUCCESS)
    {
        descriptor = NULL;
    }
    return descriptor;
}

BOOL ReadProcessUser(BYTE* sid)
{
    HANDLE handle = NULL;
    union
    {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token;
    DWORD size = 0;
    BOOL read = FALSE;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &handle))
    {
        read = GetTokenInformation(handle, TokenUser, &token, sizeof(token), &size) &&
               CopySid(SECURITY_MAX_SID_SIZE, sid, token.user.User.Sid);
        CloseHandle(handle);
    }
    return read;
}

BOOL PlatformKeepsDescriptors(const WCHAR* dir)
{
    WCHAR probe[MAX_PATH * 4];
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), NULL, FALSE};
    PSECURITY_DESCRIPTOR stored = NULL;
    WCHAR* text = NULL;
    BOOL kept = FALSE;
    wsprintfW(probe, L"%s\\descriptor-probe", dir);
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                             &attributes.lpSecurityDescriptor, NULL) &&
        CreateDirectoryW(probe, &attributes))
    {
        stored = ReadDirectoryDescriptor(probe);
    }
    if (stored && ConvertSecurityDescriptorToStringSecurityDescriptorW(stored, SDDL_REVISION_1,
                                                                        DACL_SECURITY_INFORMATION, &text, NULL))
    {
        // NTFS adds the auto-inherited flag: "D:PAI(...)".
        kept = !lstrcmpW(text, L"D:P(A;;FA;;;WD)") || !lstrcmpW(text, L"D:PAI(A;;FA;;;WD)");
        printf("a directory made with D:P(A;;FA;;;WD) reads back as %s\n", wt_u8(text));
        LocalFree(text);
    }
    LocalFree(stored);
    LocalFree(attributes.lpSecurityDescriptor);
    RemoveDirectoryW(probe);
    return kept;
}

HANDLE MakeStandardUserToken(void)
{
    HANDLE process = NULL;
    HANDLE impersonation = NULL;
    HANDLE restricted = NULL;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE user[SECURITY_MAX_SID_SIZE];
    DWORD administratorsSize = sizeof(administrators);
    DWORD systemSize = sizeof(system);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &administratorsSize);
    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize);
    // The user too when it is SYSTEM (a run as a service), so that what is left is an ordinary user's token.
    SID_AND_ATTRIBUTES disabled[2] = {{administrators, 0}, {system, 0}};
    DWORD disabledCount = 1;

    if (!ReadProcessUser(user) || !OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
    {
        goto LExit;
    }
    disabledCount = EqualSid(user, system) ? 2 : 1;
    // DuplicateToken's copy could not be restricted: it carries no TOKEN_DUPLICATE right.
    if (!DuplicateTokenEx(process, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, NULL, SecurityImpersonation,
                          TokenImpersonation, &impersonation) ||
        !CreateRestrictedToken(impersonation, 0, disabledCount, disabled, 0, NULL, 0, NULL, &restricted))
    {
        restricted = NULL;
    }

LExit:
    if (impersonation)
    {
        CloseHandle(impersonation);
    }
    if (process)
    {
        CloseHandle(process);
    }
    return restricted;
}

HANDLE MakeOwnToken(void)
{
    HANDLE process = NULL;
    HANDLE impersonation = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process) &&
        !DuplicateTokenEx(process, TOKEN_QUERY | TOKEN_IMPERSONATE, NULL, SecurityImpersonation, TokenImpersonation,
                          &impersonation))
    {
        impersonation = NULL;
    }
    if (process)
    {
        CloseHandle(process);
    }
    return impersonation;
}

BOOL AccessGranted(PSECURITY_DESCRIPTOR descriptor, HANDLE token, DWORD desired, DWORD* granted)
{
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    BYTE privileges[256];
    DWORD privilegesSize = sizeof(privileges);
    BOOL status = FALSE;
    *granted = 0;
    MapGenericMask(&desired, &mapping);
    if (!AccessCheck(descriptor, token, desired, &mapping, reinterpret_cast<PPRIVILEGE_SET>(privileges),
                     &privilegesSize, granted, &status))
    {
        // Not a refusal: the check itself failed (a descriptor without owner or group, say).
        ok(FALSE, "AccessCheck for 0x%08lx: error %lu", desired, GetLastError());
        return FALSE;
    }
    return status;
}
