#include "common/common.h"

void* AllocZeroed(SIZE_T bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void FreeBlock(void* block)
{
    if (block)
    {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

WCHAR* AllocPathBuffer(void)
{
    return static_cast<WCHAR*>(AllocZeroed(PATH_BUFFER_BYTES));
}
