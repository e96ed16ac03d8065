// Reads a PE image from disk, for tests that check the built executable or make altered copies of it.
#pragma once

#include <windows.h>

struct PeImage
{
    BYTE* data;               // whole file
    DWORD size;
    IMAGE_NT_HEADERS64* nt;
    IMAGE_SECTION_HEADER* sections;
    WORD sectionCount;
};

struct PeResource
{
    WORD type;     // integer type (RT_*); named types are reported as 0
    WORD id;       // integer id; named entries are reported as 0
    WORD language;
    DWORD offset;  // file offset of the data
    DWORD size;
};

BOOL pe_load(const WCHAR* path, PeImage* image);
void pe_free(PeImage* image);
// File offset of an RVA, or 0 when no section holds it.
DWORD pe_offset(const PeImage* image, DWORD rva);
// Lists up to capacity resources (type/id/language leaves); returns how many there are.
int pe_resources(const PeImage* image, PeResource* out, int capacity);
BOOL pe_find_resource(const PeImage* image, WORD type, WORD id, PeResource* out);
// Gives resource (type, id) another id in the directory, so lookups of id no longer find it.
BOOL pe_renumber_resource(PeImage* image, WORD type, WORD id, WORD newId);
// Offset of the first occurrence of needle in the file, or -1.
LONG pe_find_bytes(const PeImage* image, const void* needle, DWORD length);
BOOL pe_save(const PeImage* image, const WCHAR* path);
