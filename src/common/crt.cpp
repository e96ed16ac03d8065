// The compiler may emit calls to these for struct copies and zeroing even without a runtime; the image
// links none, so it supplies them. Built with -fno-tree-loop-distribute-patterns so the loops below are
// not turned back into calls to themselves.
#include <stddef.h>

#if defined(_MSC_VER)
#pragma function(memset, memcpy)
#endif

extern "C" void* memset(void* dest, int value, size_t count)
{
    unsigned char* d = static_cast<unsigned char*>(dest);
    while (count--)
    {
        *d++ = static_cast<unsigned char>(value);
    }
    return dest;
}

extern "C" void* memcpy(void* dest, const void* src, size_t count)
{
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    while (count--)
    {
        *d++ = *s++;
    }
    return dest;
}
