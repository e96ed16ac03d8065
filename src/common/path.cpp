#include "common/common.h"

BOOL JoinPath(WCHAR* out, const WCHAR* dir, const WCHAR* name)
{
    if (lstrlenW(dir) + lstrlenW(name) + 2 >= PATH_BUFFER_CHARS)
    {
        return FALSE;
    }
    lstrcpyW(out, dir);
    lstrcatW(out, L"\\");
    lstrcatW(out, name);
    return TRUE;
}

DWORD ReadDecimal(const WCHAR* text, const WCHAR** stop)
{
    DWORD value = 0;
    const WCHAR* p = text;
    for (; *p >= L'0' && *p <= L'9'; ++p)
    {
        DWORD digit = static_cast<DWORD>(*p - L'0');
        value = (value > (MAXDWORD - digit) / 10) ? MAXDWORD : value * 10 + digit;
    }
    if (stop)
    {
        *stop = p;
    }
    return value;
}
