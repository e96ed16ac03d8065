#include "pe.h"
#include "wtest.h"

BOOL pe_load(const WCHAR* path, PeImage* image)
{
    ZeroMemory(image, sizeof(*image));
    image->data = wt_read_file(path, &image->size);
    if (!image->data || image->size < sizeof(IMAGE_DOS_HEADER))
    {
        pe_free(image);
        return FALSE;
    }
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image->data);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || static_cast<DWORD>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > image->size)
    {
        pe_free(image);
        return FALSE;
    }
    image->nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(image->data + dos->e_lfanew);
    if (image->nt->Signature != IMAGE_NT_SIGNATURE || image->nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    {
        pe_free(image);
        return FALSE;
    }
    image->sections = IMAGE_FIRST_SECTION(image->nt);
    image->sectionCount = image->nt->FileHeader.NumberOfSections;
    return TRUE;
}

void pe_free(PeImage* image)
{
    wt_free(image->data);
    ZeroMemory(image, sizeof(*image));
}

DWORD pe_offset(const PeImage* image, DWORD rva)
{
    for (WORD i = 0; i < image->sectionCount; ++i)
    {
        const IMAGE_SECTION_HEADER* s = &image->sections[i];
        DWORD extent = s->Misc.VirtualSize > s->SizeOfRawData ? s->Misc.VirtualSize : s->SizeOfRawData;
        if (rva >= s->VirtualAddress && rva < s->VirtualAddress + extent)
        {
            return rva - s->VirtualAddress + s->PointerToRawData;
        }
    }
    return 0;
}

static const IMAGE_RESOURCE_DIRECTORY* ResourceDirectory(const PeImage* image, const BYTE* base, DWORD offset)
{
    return reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(base + offset);
}

int pe_resources(const PeImage* image, PeResource* out, int capacity)
{
    const IMAGE_DATA_DIRECTORY* directory = &image->nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    DWORD rootOffset = directory->VirtualAddress ? pe_offset(image, directory->VirtualAddress) : 0;
    int count = 0;
    if (!rootOffset)
    {
        return 0;
    }
    const BYTE* base = image->data + rootOffset;
    const IMAGE_RESOURCE_DIRECTORY* types = ResourceDirectory(image, base, 0);
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* typeEntries = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(types + 1);
    for (int t = 0; t < types->NumberOfNamedEntries + types->NumberOfIdEntries; ++t)
    {
        if (!typeEntries[t].DataIsDirectory)
        {
            continue;
        }
        const IMAGE_RESOURCE_DIRECTORY* names = ResourceDirectory(image, base, typeEntries[t].OffsetToDirectory);
        const IMAGE_RESOURCE_DIRECTORY_ENTRY* nameEntries = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(names + 1);
        for (int n = 0; n < names->NumberOfNamedEntries + names->NumberOfIdEntries; ++n)
        {
            if (!nameEntries[n].DataIsDirectory)
            {
                continue;
            }
            const IMAGE_RESOURCE_DIRECTORY* languages = ResourceDirectory(image, base, nameEntries[n].OffsetToDirectory);
            const IMAGE_RESOURCE_DIRECTORY_ENTRY* languageEntries =
                reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(languages + 1);
            for (int l = 0; l < languages->NumberOfNamedEntries + languages->NumberOfIdEntries; ++l)
            {
                const IMAGE_RESOURCE_DATA_ENTRY* leaf =
                    reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY*>(base + languageEntries[l].OffsetToData);
                if (count < capacity)
                {
                    out[count].type = typeEntries[t].NameIsString ? 0 : typeEntries[t].Id;
                    out[count].id = nameEntries[n].NameIsString ? 0 : nameEntries[n].Id;
                    out[count].language = languageEntries[l].Id;
                    out[count].offset = pe_offset(image, leaf->OffsetToData);
                    out[count].size = leaf->Size;
                }
                ++count;
            }
        }
    }
    return count;
}

BOOL pe_find_resource(const PeImage* image, WORD type, WORD id, PeResource* out)
{
    PeResource all[64];
    int count = pe_resources(image, all, 64);
    for (int i = 0; i < count && i < 64; ++i)
    {
        if (all[i].type == type && all[i].id == id)
        {
            *out = all[i];
            return TRUE;
        }
    }
    return FALSE;
}

BOOL pe_renumber_resource(PeImage* image, WORD type, WORD id, WORD newId)
{
    const IMAGE_DATA_DIRECTORY* directory = &image->nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    DWORD rootOffset = directory->VirtualAddress ? pe_offset(image, directory->VirtualAddress) : 0;
    if (!rootOffset)
    {
        return FALSE;
    }
    BYTE* base = image->data + rootOffset;
    const IMAGE_RESOURCE_DIRECTORY* types = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(base);
    IMAGE_RESOURCE_DIRECTORY_ENTRY* typeEntries = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY*>(const_cast<IMAGE_RESOURCE_DIRECTORY*>(types) + 1);
    for (int t = 0; t < types->NumberOfNamedEntries + types->NumberOfIdEntries; ++t)
    {
        if (typeEntries[t].NameIsString || typeEntries[t].Id != type || !typeEntries[t].DataIsDirectory)
        {
            continue;
        }
        IMAGE_RESOURCE_DIRECTORY* names = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY*>(base + typeEntries[t].OffsetToDirectory);
        IMAGE_RESOURCE_DIRECTORY_ENTRY* nameEntries = reinterpret_cast<IMAGE_RESOURCE_DIRECTORY_ENTRY*>(names + 1);
        for (int n = 0; n < names->NumberOfNamedEntries + names->NumberOfIdEntries; ++n)
        {
            if (!nameEntries[n].NameIsString && nameEntries[n].Id == id)
            {
                nameEntries[n].Id = newId;
                return TRUE;
            }
        }
    }
    return FALSE;
}

LONG pe_find_bytes(const PeImage* image, const void* needle, DWORD length)
{
    for (DWORD at = 0; at + length <= image->size; ++at)
    {
        if (!memcmp(image->data + at, needle, length))
        {
            return static_cast<LONG>(at);
        }
    }
    return -1;
}

BOOL pe_save(const PeImage* image, const WCHAR* path)
{
    return wt_write_file(path, image->data, image->size);
}
