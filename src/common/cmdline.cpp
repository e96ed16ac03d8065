#include "common/common.h"

BOOL AppendText(WCHAR* buffer, SIZE_T capacity, const WCHAR* text)
{
    const SIZE_T used = static_cast<SIZE_T>(lstrlenW(buffer));
    const SIZE_T added = static_cast<SIZE_T>(lstrlenW(text));
    if (used + added + 1 > capacity)
    {
        return FALSE;
    }
    lstrcpyW(buffer + used, text);
    return TRUE;
}

BOOL AppendQuotedArgument(WCHAR* buffer, SIZE_T capacity, const WCHAR* argument)
{
    const SIZE_T start = static_cast<SIZE_T>(lstrlenW(buffer));
    SIZE_T at = start;
    BOOL fits = TRUE;

// Writes one code unit if it fits with room left for the terminator.
#define PUT(ch) do { if (at + 1 >= capacity) { fits = FALSE; goto LExit; } buffer[at++] = (ch); } while (0)

    PUT(L'"');
    for (const WCHAR* p = argument;; ++p)
    {
        SIZE_T backslashes = 0;
        while (*p == L'\\')
        {
            ++backslashes;
            ++p;
        }
        if (*p == L'\0')
        {
            // Doubled, so the closing quote is not taken as escaped.
            for (SIZE_T i = 0; i < backslashes * 2; ++i)
            {
                PUT(L'\\');
            }
            break;
        }
        if (*p == L'"')
        {
            for (SIZE_T i = 0; i < backslashes * 2 + 1; ++i)
            {
                PUT(L'\\');
            }
        }
        else
        {
            for (SIZE_T i = 0; i < backslashes; ++i)
            {
                PUT(L'\\');
            }
        }
        PUT(*p);
    }
    PUT(L'"');
#undef PUT

LExit:
    // On failure the buffer reads as it did before the call.
    buffer[fits ? at : start] = L'\0';
    return fits;
}
