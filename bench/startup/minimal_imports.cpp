// The minimal window program with the bootstrapper's import list: the same DLLs are loaded before the entry
// point runs, nothing of them is called. Tells loader cost apart from the bootstrapper's own start-up work.
#include <windows.h>
#include <bcrypt.h>
#include <commctrl.h>
#include <shellapi.h>

extern "C" void MinimalEntry(void);

// Taking the addresses is enough to keep each DLL in the import table.
static void* volatile g_imports[] = {
    reinterpret_cast<void*>(&GetStockObject),       // gdi32
    reinterpret_cast<void*>(&InitCommonControlsEx), // comctl32
    reinterpret_cast<void*>(&CommandLineToArgvW),   // shell32
    reinterpret_cast<void*>(&RegOpenKeyExW),        // advapi32
    reinterpret_cast<void*>(&BCryptGenRandom),      // bcrypt
};

extern "C" void MinimalImportsEntry(void)
{
    if (!g_imports[0])
    {
        ExitProcess(1);
    }
    MinimalEntry();
}
