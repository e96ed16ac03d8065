// Reads the built executable and fails when anything about its make-up drifts: entry point, no runtime,
// imports, subsystem and security flags, the manifest, and the payload resources with their digest table.
#include "wtest.h"
#include "pe.h"

#include <stdlib.h>
#include <string.h>

// Every function the image imports, by DLL. The loader refuses the whole image, before SetupEntry runs, when
// one is missing, so each is documented for Windows 8 and Server 2012 or earlier (SetDefaultDllDirectories is
// the newest); anything newer is looked up with GetProcAddress instead. A change here is checked against the
// documentation's minimum-version line first.
static const struct
{
    const char* dll;
    const char* functions;
} g_imports[] = {
    {"kernel32.dll",
     "CloseHandle CreateDirectoryW CreateFileW CreateProcessW CreateThread DeleteFileW ExitProcess FindClose "
     "FindFirstFileW FindNextFileW FindResourceW FlushFileBuffers GetCommandLineW GetCurrentProcess "
     "GetExitCodeProcess GetFileAttributesW GetLastError GetModuleFileNameW GetModuleHandleW GetNativeSystemInfo "
     "GetProcAddress GetProcessHeap GetSystemDirectoryW GetTempPathW GetWindowsDirectoryW HeapAlloc HeapFree "
     "LoadResource LocalFree LockResource MulDiv RemoveDirectoryW SetDefaultDllDirectories SizeofResource "
     "WaitForSingleObject WriteFile lstrcatW lstrcmpW lstrcpyW lstrlenA lstrlenW"},
    {"user32.dll",
     "CreateWindowExW DefWindowProcW DestroyWindow DispatchMessageW GetDC GetMessageW GetSystemMetrics LoadCursorW "
     "MessageBoxW PostMessageW PostQuitMessage RegisterClassW ReleaseDC SendMessageW SetWindowTextW ShowWindow "
     "TranslateMessage UpdateWindow wsprintfW"},
    {"gdi32.dll", "GetDeviceCaps GetStockObject"},
    {"comctl32.dll", "InitCommonControlsEx"},
    {"shell32.dll", "CommandLineToArgvW SHGetFolderPathW ShellExecuteExW"},
    {"advapi32.dll",
     "ConvertSidToStringSidW ConvertStringSecurityDescriptorToSecurityDescriptorW GetTokenInformation RegCloseKey "
     "RegOpenKeyExW RegQueryValueExW"},
    {"bcrypt.dll",
     "BCryptCloseAlgorithmProvider BCryptCreateHash BCryptDestroyHash BCryptFinishHash BCryptGenRandom "
     "BCryptGetProperty BCryptHashData BCryptOpenAlgorithmProvider"},
};

// Relative address of a symbol from the linker map (the image itself is stripped). LLD writes one row per
// section, input section and symbol: address and size in hex, alignment in decimal, then the name.
static DWORD MapAddress(const WCHAR* mapPath, const char* symbol)
{
    DWORD size = 0;
    char* map = reinterpret_cast<char*>(wt_read_file(mapPath, &size));
    DWORD address = 0;
    for (char* line = map ? strtok(map, "\r\n") : NULL; line; line = strtok(NULL, "\r\n"))
    {
        char* end = NULL;
        DWORD value = strtoul(line, &end, 16);
        if (end == line)
        {
            continue;
        }
        strtoul(end, &end, 16);
        strtoul(end, &end, 10);
        while (*end == ' ')
        {
            ++end;
        }
        if (!strcmp(end, symbol))
        {
            address = value;
            break;
        }
    }
    wt_free(map);
    return address;
}

static void TestHeaders(const PeImage* image, const WCHAR* mapPath)
{
    const IMAGE_FILE_HEADER* file = &image->nt->FileHeader;
    const IMAGE_OPTIONAL_HEADER64* optional = &image->nt->OptionalHeader;
    const WORD wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                        IMAGE_DLLCHARACTERISTICS_NX_COMPAT | IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;

    ok(file->Machine == IMAGE_FILE_MACHINE_AMD64, "machine %#x", file->Machine);
    ok(file->Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE, "not large-address aware: %#x", file->Characteristics);
    ok(!(file->Characteristics & IMAGE_FILE_RELOCS_STRIPPED), "relocations stripped: %#x", file->Characteristics);
    ok(optional->Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, "subsystem %u", optional->Subsystem);
    ok(optional->MajorSubsystemVersion == 6 && optional->MinorSubsystemVersion == 0, "subsystem version %u.%u",
       optional->MajorSubsystemVersion, optional->MinorSubsystemVersion);
    ok((optional->DllCharacteristics & wanted) == wanted, "DllCharacteristics %#x", optional->DllCharacteristics);

    DWORD entry = MapAddress(mapPath, "SetupEntry");
    ok(entry != 0, "SetupEntry not in the linker map");
    ok(optional->AddressOfEntryPoint == entry, "entry point %#lx, SetupEntry at %#lx", optional->AddressOfEntryPoint,
       entry);
    // The load configuration makes static imports resolve from System32 only.
    const IMAGE_DATA_DIRECTORY* config = &optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    DWORD configOffset = config->VirtualAddress ? pe_offset(image, config->VirtualAddress) : 0;
    ok(configOffset != 0, "no load-configuration directory");
    if (configOffset)
    {
        const IMAGE_LOAD_CONFIG_DIRECTORY64* load =
            reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY64*>(image->data + configOffset);
        ok(config->VirtualAddress % 8 == 0, "load configuration at %#lx is not 8-byte aligned", config->VirtualAddress);
        ok(load->Size >= FIELD_OFFSET(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) + sizeof(WORD) && config->Size == load->Size,
           "load configuration of %lu bytes (directory says %lu)", load->Size, config->Size);
        ok(load->Reserved1 == LOAD_LIBRARY_SEARCH_SYSTEM32, "DependentLoadFlags %#x", load->Reserved1);
        ok(load->SecurityCookie == 0, "security cookie %#llx without a runtime to set it", load->SecurityCookie);
    }
    // A runtime's start-up code brings TLS callbacks with it.
    ok(optional->DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS].VirtualAddress == 0, "the image has a TLS directory");
}

// Whether the space-separated list holds name as a whole word.
static BOOL ListHolds(const char* list, const char* name)
{
    const size_t length = strlen(name);
    for (const char* at = strstr(list, name); at; at = strstr(at + 1, name))
    {
        if ((at == list || at[-1] == ' ') && (at[length] == ' ' || at[length] == 0))
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Each DLL's imports, by name, against the list: nothing more, nothing less, nothing by ordinal.
static void TestImports(const PeImage* image)
{
    const IMAGE_DATA_DIRECTORY* directory = &image->nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const DWORD offset = directory->VirtualAddress ? pe_offset(image, directory->VirtualAddress) : 0;
    int dlls = 0;
    ok(offset != 0, "no import directory");
    for (const IMAGE_IMPORT_DESCRIPTOR* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image->data + offset);
         offset && d->Name; ++d, ++dlls)
    {
        const char* dll = reinterpret_cast<const char*>(image->data + pe_offset(image, d->Name));
        const char* listed = NULL;
        int expected = 0;
        int found = 0;
        for (size_t i = 0; i < ARRAYSIZE(g_imports); ++i)
        {
            listed = lstrcmpiA(dll, g_imports[i].dll) ? listed : g_imports[i].functions;
        }
        ok(listed != NULL, "imports from %s", dll);
        for (const char* at = listed ? listed : ""; *at; ++at)
        {
            expected += (at == listed || at[-1] == ' ');
        }
        const DWORD thunks = pe_offset(image, d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk);
        for (const ULONGLONG* t = reinterpret_cast<const ULONGLONG*>(image->data + thunks); thunks && *t; ++t, ++found)
        {
            if (IMAGE_SNAP_BY_ORDINAL64(*t))
            {
                ok(0, "imports ordinal %llu from %s", IMAGE_ORDINAL64(*t), dll);
                continue;
            }
            const IMAGE_IMPORT_BY_NAME* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
                image->data + pe_offset(image, static_cast<DWORD>(*t)));
            ok(!listed || ListHolds(listed, name->Name), "imports %s from %s, which is not in the list", name->Name,
               dll);
        }
        // Names are unique within a DLL, so equal counts mean every listed function is imported.
        ok(!listed || found == expected, "%s: %d functions imported, %d listed", dll, found, expected);
    }
    ok(dlls == static_cast<int>(ARRAYSIZE(g_imports)), "%d imported DLLs, %d listed", dlls,
       static_cast<int>(ARRAYSIZE(g_imports)));
}

static void TestResources(const PeImage* image, const WCHAR* manifestPath, WCHAR** payloads)
{
    PeResource all[16];
    int count = pe_resources(image, all, 16);
    ok(count == 6, "%d resources, expected the manifest and five payloads", count);

    PeResource manifest;
    ok(pe_find_resource(image, 24, 1, &manifest), "no manifest (RT_MANIFEST 1)");
    DWORD manifestSize = 0;
    BYTE* expectedManifest = wt_read_file(manifestPath, &manifestSize);
    ok(expectedManifest && manifest.size == manifestSize && !memcmp(image->data + manifest.offset, expectedManifest, manifestSize),
       "manifest resource differs from %s", wt_u8(manifestPath));
    wt_free(expectedManifest);
    static const char* const manifestTexts[] = {
        "name=\"Quorlith.Setup\"", "version=\"0.1.0.0\"", "level=\"asInvoker\"", "uiAccess=\"false\"",
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", ">PerMonitorV2<"};
    for (size_t i = 0; i < ARRAYSIZE(manifestTexts); ++i)
    {
        ok(pe_find_bytes(image, manifestTexts[i], lstrlenA(manifestTexts[i])) >= 0, "manifest lacks %s", manifestTexts[i]);
    }
    ok(pe_find_bytes(image, "Microsoft.Windows.Common-Controls", 33) < 0, "manifest selects common controls 6");

    BYTE table[5][32];
    for (int i = 0; i < 5; ++i)
    {
        PeResource resource;
        WORD id = static_cast<WORD>(101 + i);
        if (!pe_find_resource(image, 10, id, &resource))
        {
            ok(0, "payload %u missing", id);
            continue;
        }
        ok(resource.language == 1033, "payload %u has language %u", id, resource.language);
        DWORD size = 0;
        BYTE* expected = wt_read_file(wt_winpath(payloads[i]), &size);
        ok(expected && resource.size == size && !memcmp(image->data + resource.offset, expected, size),
           "payload %u differs from %s (%lu vs %lu bytes)", id, wt_u8(payloads[i]), resource.size, size);
        wt_sha256(expected, size, table[i]);
        wt_free(expected);
    }
    // The table holds the digests of exactly the embedded files, in identifier order.
    ok(pe_find_bytes(image, table, sizeof(table)) > 0, "the digest table of the five payloads is not in the image");
}

int wmain(int argc, WCHAR** argv)
{
    PeImage image;
    if (argc < 9)
    {
        ok(0, "usage: entry_image <exe> <map> <manifest> <five payload files>");
        return wt_finish();
    }
    if (!pe_load(wt_winpath(argv[1]), &image))
    {
        ok(0, "cannot read %s", wt_u8(argv[1]));
        return wt_finish();
    }
    TestHeaders(&image, wt_winpath(argv[2]));
    TestImports(&image);
    TestResources(&image, wt_winpath(argv[3]), argv + 4);
    pe_free(&image);
    return wt_finish();
}
