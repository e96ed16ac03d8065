#include "setup_driver.h"
#include "../harness/environment.h"

#include <shlobj.h>
#include <tlhelp32.h>
#include <stdio.h>

#define SETUP_CLASS L"QuorlithBootstrap"
#define SETUP_CAPTION L"Quorlith Setup"
#define DIALOG_CLASS L"#32770"
#define POLL_INTERVAL_MS 1

static DWORD g_startTick;

// Each observation carries the milliseconds since the bootstrapper was started.
static void PrintUtf8(const char* prefix, const WCHAR* text)
{
    static char buffer[DRIVER_TEXT_CHARS * 3 + 1];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof(buffer), NULL, NULL);
    printf("%6lu ms  %s%s\n", GetTickCount() - g_startTick, prefix, buffer);
    fflush(stdout);
}

static void PrintEvent(const char* text)
{
    printf("%6lu ms  %s\n", GetTickCount() - g_startTick, text);
    fflush(stdout);
}

struct WindowQuery
{
    DWORD processId;
    const WCHAR* className;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowQuery* query = reinterpret_cast<WindowQuery*>(parameter);
    WCHAR className[64];
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != query->processId || !GetClassNameW(window, className, 64) ||
        lstrcmpiW(className, query->className) != 0)
    {
        return TRUE;
    }
    query->found = window;
    return FALSE;
}

static HWND FindProcessWindow(DWORD processId, const WCHAR* className)
{
    WindowQuery query = {processId, className, NULL};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

static double ElapsedMs(const LARGE_INTEGER* since)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - since->QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

static BOOL IsInstallerRunning(DWORD parentId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    BOOL found = FALSE;
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return FALSE;
    }
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry))
    {
        found = entry.th32ParentProcessID == parentId && lstrcmpiW(entry.szExeFile, L"Quorlith-Install.exe") == 0;
    }
    CloseHandle(snapshot);
    return found;
}

// The message text of a box is its one static control with text (the icon is a static without any).
static BOOL CALLBACK FindBoxText(HWND child, LPARAM parameter)
{
    WCHAR* out = reinterpret_cast<WCHAR*>(parameter);
    WCHAR className[32];
    WCHAR text[DRIVER_TEXT_CHARS];
    if (GetClassNameW(child, className, 32) && lstrcmpiW(className, L"Static") == 0 &&
        GetWindowTextW(child, text, DRIVER_TEXT_CHARS) > 0)
    {
        lstrcpynW(out, text, DRIVER_TEXT_CHARS);
        return FALSE;
    }
    return TRUE;
}

static void RecordLabel(SetupRun* run, const WCHAR* text)
{
    if (run->labelCount > 0 && lstrcmpW(run->labels[run->labelCount - 1], text) == 0)
    {
        return;
    }
    if (run->labelCount < DRIVER_MAX_LABELS)
    {
        lstrcpynW(run->labels[run->labelCount++], text, DRIVER_TEXT_CHARS);
    }
    if (run->verbose)
    {
        PrintUtf8("label: ", text);
    }
    if (run->onLabel)
    {
        run->onLabel(text, run->context);
    }
}

// The icon of a box is its static control with the SS_ICON style.
static BOOL CALLBACK FindBoxIcon(HWND child, LPARAM parameter)
{
    HICON* out = reinterpret_cast<HICON*>(parameter);
    WCHAR className[32];
    if (GetClassNameW(child, className, 32) && lstrcmpiW(className, L"Static") == 0 &&
        (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
    {
        *out = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
        return FALSE;
    }
    return TRUE;
}

// The icon drawn at (0, 0) on white into a 32-bit bitmap of its own size; heap block of width * height
// pixels, or NULL.
static DWORD* DrawIconPixels(HICON icon, int width, int height)
{
    BITMAPINFO info = {};
    void* bits = NULL;
    DWORD* pixels = NULL;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    if (bitmap && bits)
    {
        HGDIOBJ old = SelectObject(memory, bitmap);
        RECT all = {0, 0, width, height};
        FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        if (DrawIconEx(memory, 0, 0, icon, width, height, 0, NULL, DI_NORMAL))
        {
            GdiFlush();
            pixels = static_cast<DWORD*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(width) * height * 4));
            CopyMemory(pixels, bits, static_cast<SIZE_T>(width) * height * 4);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

BOOL IsSystemErrorIcon(HICON icon)
{
    ICONINFO info = {};
    BITMAP shape = {};
    BOOL same = FALSE;
    if (!icon)
    {
        return FALSE;
    }
    if (icon == LoadIconW(NULL, IDI_ERROR))
    {
        return TRUE;
    }
    // A box may load the icon at its own size rather than take the shared handle: compare what both draw.
    if (!GetIconInfo(icon, &info))
    {
        return FALSE;
    }
    GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(shape), &shape);
    const int width = shape.bmWidth;
    const int height = info.hbmColor ? shape.bmHeight : shape.bmHeight / 2;
    // Not shared: a shared image keeps the size it was first loaded at.
    HICON reference = static_cast<HICON>(LoadImageW(NULL, IDI_ERROR, IMAGE_ICON, width, height, 0));
    DWORD* got = width > 0 && height > 0 ? DrawIconPixels(icon, width, height) : NULL;
    DWORD* expected = got && reference ? DrawIconPixels(reference, width, height) : NULL;
    same = got && expected && memcmp(got, expected, static_cast<SIZE_T>(width) * height * 4) == 0;
    HeapFree(GetProcessHeap(), 0, expected);
    HeapFree(GetProcessHeap(), 0, got);
    if (reference)
    {
        DestroyIcon(reference);
    }
    if (info.hbmColor)
    {
        DeleteObject(info.hbmColor);
    }
    if (info.hbmMask)
    {
        DeleteObject(info.hbmMask);
    }
    return same;
}

static void HandleBox(SetupRun* run, HWND box, HWND setupWindow)
{
    HICON icon = NULL;
    run->boxCount++;
    GetWindowTextW(box, run->boxCaption, DRIVER_TEXT_CHARS);
    run->boxText[0] = 0;
    // The box can be found by its caption before its controls exist: give them a moment to appear.
    for (DWORD waited = 0; waited < 5000 && !run->boxText[0]; waited += 20)
    {
        EnumChildWindows(box, FindBoxText, reinterpret_cast<LPARAM>(run->boxText));
        if (!run->boxText[0])
        {
            Sleep(20);
        }
    }
    run->boxWindow = box;
    run->boxOwnedBySetupWindow = setupWindow && GetWindow(box, GW_OWNER) == setupWindow;
    run->windowVisibleAtBox = setupWindow && IsWindowVisible(setupWindow);
    EnumChildWindows(box, FindBoxIcon, reinterpret_cast<LPARAM>(&icon));
    run->boxIconIsError = IsSystemErrorIcon(icon);
    for (DWORD waited = 0;; waited += 20)
    {
        run->foregroundAtBox = GetForegroundWindow();
        run->boxForeground = run->foregroundAtBox == box;
        if (run->boxForeground || waited >= run->foregroundWaitMs)
        {
            break;
        }
        Sleep(20);
    }
    run->foregroundProcessAtBox = 0;
    GetWindowThreadProcessId(run->foregroundAtBox, &run->foregroundProcessAtBox);
    if (run->verbose)
    {
        PrintUtf8("box caption: ", run->boxCaption);
        PrintUtf8("box text: ", run->boxText);
    }
    // OK is the box's only button.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

BOOL DriveSetup(SetupRun* run)
{
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION process = {};
    WCHAR* line = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 65536 * sizeof(WCHAR)));
    WCHAR* environment = wt_environment_block(run->extraEnv);
    WCHAR text[DRIVER_TEXT_CHARS];
    HWND window = NULL;
    HWND lastBox = NULL;
    DWORD hiddenAt = 0;
    DWORD lastSnapshot = 0;
    LARGE_INTEGER startCounter;
    const DWORD timeout = run->timeoutMs ? run->timeoutMs : 60000;

    lstrcpynW(line, run->commandLine, 65536);
    g_startTick = GetTickCount();
    QueryPerformanceCounter(&startCounter);
    startup.cb = sizeof(startup);
    run->started = CreateProcessW(NULL, line, NULL, NULL, FALSE, environment ? CREATE_UNICODE_ENVIRONMENT : 0,
                                  environment, NULL, &startup, &process);
    if (!run->started)
    {
        printf("driver: cannot start the bootstrapper: error %lu\n", GetLastError());
        goto LExit;
    }

    for (const DWORD start = GetTickCount();;)
    {
        const BOOL exited = WaitForSingleObject(process.hProcess, POLL_INTERVAL_MS) == WAIT_OBJECT_0;
        if (!window)
        {
            window = FindProcessWindow(process.dwProcessId, run->windowClass ? run->windowClass : SETUP_CLASS);
            run->windowFound = window != NULL;
            run->setupWindow = window;
        }
        if (window && IsWindow(window))
        {
            HWND label = FindWindowExW(window, NULL, L"Static", NULL);
            if (label && IsWindow(label))
            {
                text[0] = 0;
                GetWindowTextW(label, text, DRIVER_TEXT_CHARS);
                if (text[0])
                {
                    RecordLabel(run, text);
                }
            }
            const BOOL visible = IsWindowVisible(window);
            if (visible && !run->wasVisible)
            {
                run->wasVisible = TRUE;
                run->shownAfterMs = ElapsedMs(&startCounter);
                GetWindowRect(window, &run->windowRect);
                DWORD_PTR font = 0;
                if (label && SendMessageTimeoutW(label, WM_GETFONT, 0, 0, SMTO_ABORTIFHUNG, 1000, &font))
                {
                    run->labelFont = reinterpret_cast<HFONT>(font);
                }
                if (label && GetWindowRect(label, &run->labelRect))
                {
                    MapWindowPoints(NULL, window, reinterpret_cast<POINT*>(&run->labelRect), 2);
                }
                if (run->verbose)
                {
                    char line[96];
                    sprintf(line, "window: shown at (%ld, %ld), %ld x %ld", run->windowRect.left, run->windowRect.top,
                            run->windowRect.right - run->windowRect.left, run->windowRect.bottom - run->windowRect.top);
                    PrintEvent(line);
                }
                if (run->stopWhenShown)
                {
                    TerminateProcess(process.hProcess, 0);
                    WaitForSingleObject(process.hProcess, 5000);
                    run->ended = TRUE;
                    run->exitCode = 0;
                    goto LExit;
                }
                if (run->closeWhenShown)
                {
                    run->closePosted = PostMessageW(window, WM_CLOSE, 0, 0);
                }
            }
            else if (!visible && run->wasVisible && !run->hiddenWhileRunning && !exited)
            {
                run->hiddenWhileRunning = TRUE;
                hiddenAt = GetTickCount();
                if (run->verbose)
                {
                    PrintEvent("window: hidden");
                }
            }
            // A process snapshot is costly next to a 1 ms poll: one every 10 ms, and only until seen.
            if (!exited && !(visible ? run->installerSeenWhileVisible : run->installerSeenWhileHidden) &&
                GetTickCount() - lastSnapshot >= 10 && (lastSnapshot = GetTickCount()) != 0 &&
                IsInstallerRunning(process.dwProcessId))
            {
                (visible ? run->installerSeenWhileVisible : run->installerSeenWhileHidden) = TRUE;
                if (run->verbose)
                {
                    PrintEvent(visible ? "installer running, window visible" : "installer running, window hidden");
                }
            }
            if (run->closeOnLabel && !run->closePosted && run->labelCount > 0 &&
                lstrcmpW(run->labels[run->labelCount - 1], run->closeOnLabel) == 0)
            {
                run->closePosted = PostMessageW(window, WM_CLOSE, 0, 0);
                if (run->verbose)
                {
                    PrintEvent("close requested (WM_CLOSE posted)");
                }
            }
        }
        HWND box = FindProcessWindow(process.dwProcessId, DIALOG_CLASS);
        if (box && box != lastBox && GetWindowTextW(box, text, DRIVER_TEXT_CHARS) > 0)
        {
            if (hiddenAt && !run->hiddenForMs)
            {
                run->hiddenForMs = GetTickCount() - hiddenAt;
            }
            lastBox = box;
            HandleBox(run, box, window);
        }
        if (exited)
        {
            break;
        }
        if (GetTickCount() - start > timeout)
        {
            printf("driver: no exit after %lu ms; killing the bootstrapper\n", timeout);
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            goto LExit;
        }
    }
    if (hiddenAt && !run->hiddenForMs)
    {
        run->hiddenForMs = GetTickCount() - hiddenAt;
    }
    run->ended = GetExitCodeProcess(process.hProcess, &run->exitCode);
    if (run->verbose)
    {
        char line[48];
        sprintf(line, "exit code: %lu", run->exitCode);
        PrintEvent(line);
    }

LExit:
    if (process.hProcess)
    {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    HeapFree(GetProcessHeap(), 0, environment);
    HeapFree(GetProcessHeap(), 0, line);
    return run->started && run->ended;
}

BOOL SawLabel(const SetupRun* run, const WCHAR* text)
{
    for (int i = 0; i < run->labelCount; ++i)
    {
        if (lstrcmpW(run->labels[i], text) == 0)
        {
            return TRUE;
        }
    }
    return FALSE;
}

UINT MatchSetupDpiAwareness(void)
{
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    return GetDpiForSystem();
}

void ExpectedLayout(int screenWidth, int screenHeight, UINT dpi, RECT* window, RECT* label)
{
    // Written out here on purpose instead of calling the product's helpers: the driver is the reference.
    // 520 x 180 centred, the label at (24, 25) 465 x 45, all at 96 DPI and scaled with rounding.
    const int width = MulDiv(520, dpi, 96);
    const int height = MulDiv(180, dpi, 96);
    SetRect(window, (screenWidth - width) / 2, (screenHeight - height) / 2, 0, 0);
    window->right = window->left + width;
    window->bottom = window->top + height;
    SetRect(label, MulDiv(24, dpi, 96), MulDiv(25, dpi, 96), 0, 0);
    label->right = label->left + MulDiv(465, dpi, 96);
    label->bottom = label->top + MulDiv(45, dpi, 96);
}

// --- Images and files ---------------------------------------------------------------------------------

static BYTE* ReadWholeFile(const WCHAR* path, DWORD* size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    BYTE* data = NULL;
    DWORD done = 0;
    if (file == INVALID_HANDLE_VALUE)
    {
        return NULL;
    }
    *size = GetFileSize(file, NULL);
    data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, *size + 2));
    if (data && (!ReadFile(file, data, *size, &done, NULL) || done != *size))
    {
        HeapFree(GetProcessHeap(), 0, data);
        data = NULL;
    }
    CloseHandle(file);
    return data;
}

static DWORD RvaToOffset(const IMAGE_NT_HEADERS64* nt, DWORD rva)
{
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section)
    {
        if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
        {
            return rva - section->VirtualAddress + section->PointerToRawData;
        }
    }
    return 0;
}

// The first entry of a resource directory level with the given id (any id when id is 0).
static const IMAGE_RESOURCE_DIRECTORY_ENTRY* FindResourceEntry(const BYTE* root, DWORD offset, WORD id)
{
    const IMAGE_RESOURCE_DIRECTORY* directory = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY*>(root + offset);
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* entry = reinterpret_cast<const IMAGE_RESOURCE_DIRECTORY_ENTRY*>(directory + 1);
    const int count = directory->NumberOfNamedEntries + directory->NumberOfIdEntries;
    for (int i = 0; i < count; ++i, ++entry)
    {
        if (!entry->NameIsString && (id == 0 || entry->Id == id))
        {
            return entry;
        }
    }
    return NULL;
}

BOOL CopyWithAlteredResource(const WCHAR* image, const WCHAR* copy, WORD id)
{
    DWORD size = 0;
    BYTE* data = ReadWholeFile(image, &size);
    BOOL done = FALSE;
    if (!data)
    {
        return FALSE;
    }
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(data);
    const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(data + dos->e_lfanew);
    const DWORD resourceRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress;
    const DWORD resourceOffset = RvaToOffset(nt, resourceRva);
    const BYTE* root = data + resourceOffset;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* type = resourceOffset ? FindResourceEntry(root, 0, 10 /* RT_RCDATA */) : NULL;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* name =
        type && type->DataIsDirectory ? FindResourceEntry(root, type->OffsetToDirectory, id) : NULL;
    const IMAGE_RESOURCE_DIRECTORY_ENTRY* language =
        name && name->DataIsDirectory ? FindResourceEntry(root, name->OffsetToDirectory, 0) : NULL;
    if (language && !language->DataIsDirectory)
    {
        const IMAGE_RESOURCE_DATA_ENTRY* entry =
            reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY*>(root + language->OffsetToData);
        const DWORD at = RvaToOffset(nt, entry->OffsetToData + entry->Size / 2);
        if (at && at < size)
        {
            data[at] ^= 0x01;
            HANDLE file = CreateFileW(copy, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            DWORD written = 0;
            if (file != INVALID_HANDLE_VALUE)
            {
                done = WriteFile(file, data, size, &written, NULL) && written == size;
                CloseHandle(file);
            }
        }
    }
    HeapFree(GetProcessHeap(), 0, data);
    return done;
}

void SampleReceiptPath(WCHAR* out)
{
    out[0] = 0;
    if (SUCCEEDED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, 0, out)))
    {
        lstrcatW(out, L"\\Quorlith-Sample\\receipt.txt");
    }
}

BOOL ReadReceiptValue(const WCHAR* name, WCHAR* out, DWORD capacity)
{
    WCHAR path[MAX_PATH];
    char key[64];
    DWORD size = 0;
    BOOL found = FALSE;
    SampleReceiptPath(path);
    char* data = reinterpret_cast<char*>(ReadWholeFile(path, &size));
    if (!data)
    {
        return FALSE;
    }
    WideCharToMultiByte(CP_UTF8, 0, name, -1, key, sizeof(key) - 2, NULL, NULL);
    lstrcatA(key, "=");
    const int keyLength = lstrlenA(key);
    for (char* line = data; *line;)
    {
        char* end = line;
        while (*end && *end != '\r' && *end != '\n')
        {
            ++end;
        }
        if (end - line >= keyLength && memcmp(line, key, keyLength) == 0)
        {
            const int length = MultiByteToWideChar(CP_UTF8, 0, line + keyLength, static_cast<int>(end - line - keyLength),
                                                   out, static_cast<int>(capacity - 1));
            out[length] = 0;
            found = TRUE;
            break;
        }
        line = *end == '\r' ? end + 2 : (*end ? end + 1 : end);
    }
    HeapFree(GetProcessHeap(), 0, data);
    return found;
}
