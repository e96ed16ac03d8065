// Odd input: command-line shapes through the mode probe (tests/entry/mode_probe.cpp, whose modes are stubs
// recording what ran), version directory names through FindVersionedComponent, and "Version" registry
// values through the host presence test of InstallRuntime.
//
//   test_inputs <mode_probe.exe> <stand-in msiexec.exe>
#include "sweep_machine.h"
#include "runtime/runtime.h"
#include "version_names.h"

#include <string.h>

// --- Command lines ---------------------------------------------------------------------------------

#define MAX_ARGS 8

struct Shape
{
    WCHAR* tail;        // the command line after the quoted probe path
    int count;          // argv entries the tail makes, the probe itself included
    WCHAR* first;       // argv[1] and argv[2] as meant, or NULL
    WCHAR* second;
    const char* label;
    // What the probe reported.
    BOOL ended;
    DWORD exitCode;
    char* record;
};

static Shape* g_shapes;
static LONG g_shapeCount;
static LONG g_nextShape;
static const WCHAR* g_probe;
static WCHAR g_probeDir[MAX_PATH * 2];

static WCHAR* Copy(const WCHAR* text)
{
    WCHAR* copy = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (lstrlenW(text) + 1) * sizeof(WCHAR)));
    lstrcpyW(copy, text);
    return copy;
}

// Quoting by the rules CommandLineToArgvW reads back: backslashes are literal unless they precede a quote.
static void AppendArgument(WCHAR* line, const WCHAR* argument)
{
    WCHAR* at = line + lstrlenW(line);
    const BOOL quote = !argument[0] || wcspbrk(argument, L" \t\"") != NULL;
    if (line[0])
    {
        *at++ = L' ';
    }
    if (!quote)
    {
        lstrcpyW(at, argument);
        return;
    }
    *at++ = L'"';
    for (const WCHAR* p = argument;; ++p)
    {
        int backslashes = 0;
        while (*p == L'\\')
        {
            ++backslashes;
            ++p;
        }
        const int copies = *p == 0 ? backslashes * 2 : (*p == L'"' ? backslashes * 2 + 1 : backslashes);
        for (int i = 0; i < copies; ++i)
        {
            *at++ = L'\\';
        }
        if (*p == 0)
        {
            break;
        }
        *at++ = *p;
    }
    *at++ = L'"';
    *at = 0;
}

static Shape* NewShape(const char* label)
{
    Shape* shape = &g_shapes[g_shapeCount++];
    ZeroMemory(shape, sizeof(*shape));
    shape->label = label;
    return shape;
}

// A shape made of whole arguments, quoted here.
static void AddArguments(const char* label, const WCHAR* const* arguments, int count)
{
    SIZE_T length = 16;
    for (int i = 0; i < count; ++i)
    {
        length += lstrlenW(arguments[i]) * 2 + 3;
    }
    Shape* shape = NewShape(label);
    shape->tail = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length * sizeof(WCHAR)));
    for (int i = 0; i < count; ++i)
    {
        AppendArgument(shape->tail, arguments[i]);
    }
    shape->count = count + 1;
    shape->first = count > 0 ? Copy(arguments[0]) : NULL;
    shape->second = count > 1 ? Copy(arguments[1]) : NULL;
}

// A shape written as raw command-line text, with the arguments it must parse into.
static void AddRaw(const char* label, const WCHAR* tail, int count, const WCHAR* first, const WCHAR* second)
{
    Shape* shape = NewShape(label);
    shape->tail = Copy(tail);
    shape->count = count;
    shape->first = first ? Copy(first) : NULL;
    shape->second = second ? Copy(second) : NULL;
}

// The mode table: exact, case-sensitive option texts and exact argument counts; anything else is window
// mode. The probe's stubs answer 3010 for the runtime installation, 0 for a report ("fail" gives 1),
// 0xC0DE for the installer check and 0x77 for window mode.
static void Expected(const Shape* shape, char* record, DWORD capacity, DWORD* exitCode)
{
    WCHAR line[2048];
    if (shape->count == 2 && !lstrcmpW(shape->first, L"--install-runtime"))
    {
        lstrcpyW(line, L"install-runtime|(none)");
        *exitCode = 3010;
    }
    else if (shape->count == 3 &&
             (!lstrcmpW(shape->first, L"--verify-bundle") || !lstrcmpW(shape->first, L"--check-installer")))
    {
        const BOOL verify = !lstrcmpW(shape->first, L"--verify-bundle");
        // The probe records at most 1000 characters of the parameter.
        wsprintfW(line, L"%s|", verify ? L"verify-bundle" : L"check-installer");
        lstrcpynW(line + lstrlenW(line), shape->second, 1001);
        *exitCode = verify ? (lstrcmpW(shape->second, L"fail") ? 0 : 1) : 0xC0DE;
    }
    else
    {
        lstrcpyW(line, L"window|(none)");
        *exitCode = 0x77;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, line, -1, record, static_cast<int>(capacity), NULL, NULL);
    record[length > 0 ? length - 1 : 0] = 0;
}

// Characters that look like nothing, like something else, or are not characters at all.
static const WCHAR* const g_oddCharacters[] = {
    L"\x0301",         // combining acute accent
    L"\x200B",         // zero-width space
    L"\x200D",         // zero-width joiner
    L"\xFEFF",         // byte-order mark
    L"\x200E",         // left-to-right mark
    L"\x200F",         // right-to-left mark
    L"\x202E",         // right-to-left override
    L"\x00AD",         // soft hyphen
    L"\x00A0",         // no-break space
    L"\x3000",         // ideographic space
    L"\xD800",         // unpaired high surrogate
    L"\xDC00",         // unpaired low surrogate
    L"\xD83D\xDE00",   // a whole surrogate pair
};

static const WCHAR* const g_hyphens[] = {
    L"\xFF0D",   // full-width hyphen-minus
    L"\x2010",   // hyphen
    L"\x2011",   // non-breaking hyphen
    L"\x2013",   // en dash
    L"\x2014",   // em dash
    L"\x2212",   // minus sign
    L"\xFE63",   // small hyphen-minus
};

// Each variant at the one count where the real option would select its mode: alone for the runtime
// installation, with a parameter for the other two.
static void AddOptionVariant(const WCHAR* variant, BOOL withParameter)
{
    const WCHAR* arguments[] = {variant, L"report.json"};
    AddArguments(withParameter ? "option variant with a parameter" : "option variant", arguments,
                 withParameter ? 2 : 1);
}

static void AddOptionShapes(void)
{
    static const WCHAR* const options[] = {L"--install-runtime", L"--verify-bundle", L"--check-installer"};
    WCHAR text[128];
    for (size_t o = 0; o < ARRAYSIZE(options); ++o)
    {
        const WCHAR* option = options[o];
        const BOOL withParameter = o > 0;
        AddOptionVariant(option, withParameter);
        lstrcpyW(text, option);
        CharUpperW(text);
        AddOptionVariant(text, withParameter);
        lstrcpyW(text, option);
        text[2] = static_cast<WCHAR>(text[2] - 32);   // "--Install-runtime"
        AddOptionVariant(text, withParameter);
        for (size_t i = 0; i < ARRAYSIZE(g_oddCharacters); ++i)
        {
            wsprintfW(text, L"%s%s", option, g_oddCharacters[i]);
            AddOptionVariant(text, withParameter);
        }
        for (size_t i = 0; i < 4; ++i)
        {
            wsprintfW(text, L"%s%s", g_oddCharacters[i * 2], option);
            AddOptionVariant(text, withParameter);
        }
        for (size_t i = 0; i < ARRAYSIZE(g_hyphens); ++i)
        {
            wsprintfW(text, L"%s-%s", g_hyphens[i], option + 2);
            AddOptionVariant(text, withParameter);
        }
        // The inner hyphen replaced.
        lstrcpyW(text, option);
        *wcschr(text + 2, L'-') = 0x2011;
        AddOptionVariant(text, withParameter);
        *wcschr(text + 2, 0x2011) = 0xFF0D;
        AddOptionVariant(text, withParameter);
        // Near misses in plain ASCII.
        static const WCHAR* const forms[] = {L"-%s", L"/%s", L"%s", L"---%s", L"--%s=", L"--%s:", L" --%s",
                                             L"--%s ", L"--%s\t"};
        for (size_t i = 0; i < ARRAYSIZE(forms); ++i)
        {
            wsprintfW(text, forms[i], option + 2);
            AddOptionVariant(text, withParameter);
        }
        // Letters that only look the same: Cyrillic e, dotless i, a full-width first letter.
        lstrcpyW(text, option);
        *wcschr(text, L'e') = 0x0435;
        AddOptionVariant(text, withParameter);
        lstrcpyW(text, option);
        if (wcschr(text, L'i'))
        {
            *wcschr(text, L'i') = 0x0131;
            AddOptionVariant(text, withParameter);
        }
        lstrcpyW(text, option);
        text[2] = static_cast<WCHAR>(text[2] - L'a' + 0xFF41);
        AddOptionVariant(text, withParameter);
        // A quote inside the option text.
        wsprintfW(text, L"--%c\"%s", option[2], option + 3);
        AddOptionVariant(text, withParameter);
    }
}

static WCHAR* Repeat(WCHAR ch, int count)
{
    WCHAR* text = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (count + 1) * sizeof(WCHAR)));
    for (int i = 0; i < count; ++i)
    {
        text[i] = ch;
    }
    return text;
}

static void AddParameterShapes(void)
{
    static const WCHAR* const parameters[] = {
        L"", L" ", L"a b", L"a\"b", L"\"", L"\\", L"C:\\dir\\", L"C:\\dir\\\\", L"C:\\a \"b\" c\\",
        L"\\\\.\\pipe\\quorlith", L"NUL", L"CON", L"COM1", L"\\\\?\\C:\\r.json", L"--install-runtime",
        L"--verify-bundle", L"fail", L"r\x0301.json", L"r\x200B.json", L"\x202Enosj.r", L"\xFF0D\xFF0Dr.json",
        L"r\xD800.json", L"r\xDC00.json", L"\xD83D\xDE00.json", L"\x3000", L"..\\..\\r.json", L"%TEMP%\\r.json",
        L"r.json:stream", L"C:", L"\\\\server\\share\\r.json",
    };
    static WCHAR* huge;
    static WCHAR* longPath;
    huge = Repeat(L'x', 32000);
    longPath = Repeat(L'd', 1500);
    for (int i = 3; i < 1500; i += 100)
    {
        longPath[i] = L'\\';
    }
    longPath[1] = L':';
    longPath[2] = L'\\';
    for (int o = 0; o < 2; ++o)
    {
        const WCHAR* option = o ? L"--check-installer" : L"--verify-bundle";
        for (size_t i = 0; i < ARRAYSIZE(parameters); ++i)
        {
            const WCHAR* arguments[] = {option, parameters[i]};
            AddArguments("parameter", arguments, 2);
        }
        const WCHAR* hugeArguments[] = {option, huge};
        AddArguments("32,000-character parameter", hugeArguments, 2);
        const WCHAR* longArguments[] = {option, longPath};
        AddArguments("1,500-character path", longArguments, 2);
    }
}

static void AddCountShapes(void)
{
    static const WCHAR* const options[] = {L"--install-runtime", L"--verify-bundle", L"--check-installer"};
    for (size_t o = 0; o < ARRAYSIZE(options); ++o)
    {
        const WCHAR* three[] = {options[o], L"r.json", L"r.json"};
        const WCHAR* four[] = {options[o], L"r.json", L"--install-runtime", L"x"};
        const WCHAR* empties[] = {options[o], L"", L""};
        AddArguments("three arguments", three, 3);
        AddArguments("four arguments", four, 4);
        AddArguments("empty extra arguments", empties, 3);
    }
    const WCHAR* installWithEmpty[] = {L"--install-runtime", L""};
    AddArguments("runtime installation with an empty argument", installWithEmpty, 2);
    const WCHAR* emptyFirst[] = {L"", L"--install-runtime"};
    AddArguments("empty first argument", emptyFirst, 2);

    // Hundreds of arguments, and one line near the platform's limit.
    WCHAR* many = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 32000 * sizeof(WCHAR)));
    for (int i = 0; i < 1500; ++i)
    {
        lstrcatW(many, i ? L" --install-runtime" : L"--install-runtime");
    }
    AddRaw("1,500 copies of the option", many, 1501, L"--install-runtime", L"--install-runtime");
    lstrcpyW(many, L"--verify-bundle");
    for (int i = 0; i < 3000; ++i)
    {
        lstrcatW(many, L" a");
    }
    AddRaw("3,000 short arguments", many, 3002, L"--verify-bundle", L"a");
    HeapFree(GetProcessHeap(), 0, many);
}

static void AddRawShapes(void)
{
    AddRaw("nothing after the program", L"", 1, NULL, NULL);
    AddRaw("only spaces", L"    ", 1, NULL, NULL);
    AddRaw("tabs as separators", L"\t--install-runtime\t", 2, L"--install-runtime", NULL);
    AddRaw("spaces around", L"   --verify-bundle    r.json   ", 3, L"--verify-bundle", L"r.json");
    AddRaw("quoted option", L"\"--verify-bundle\" r.json", 3, L"--verify-bundle", L"r.json");
    AddRaw("empty quotes glued to the option", L"--install-runtime\"\"", 2, L"--install-runtime", NULL);
    AddRaw("quotes inside the option", L"--install\"-\"runtime", 2, L"--install-runtime", NULL);
    AddRaw("unterminated quote", L"--verify-bundle \"C:\\a b", 3, L"--verify-bundle", L"C:\\a b");
    AddRaw("escaped quotes", L"--check-installer \\\"x\\\"", 3, L"--check-installer", L"\"x\"");
    AddRaw("quoted part inside an argument", L"--check-installer a\"b c\"d", 3, L"--check-installer", L"ab cd");
    AddRaw("backslashes before a quote", L"--verify-bundle \"C:\\dir\\\\\"", 3, L"--verify-bundle", L"C:\\dir\\");
    AddRaw("lone quote", L"\"", 2, L"", NULL);
    AddRaw("option split by a quoted space", L"\"--install-runtime \"", 2, L"--install-runtime ", NULL);
    AddRaw("newline inside the parameter", L"--verify-bundle \"a\nb\"", 3, L"--verify-bundle", L"a\nb");
    AddRaw("ideographic space is no separator", L"--install-runtime\x3000x", 2, L"--install-runtime\x3000x", NULL);
}

struct ProbeWorker
{
    int slot;
};

static DWORD WINAPI RunShapes(void* context)
{
    const int slot = static_cast<ProbeWorker*>(context)->slot;
    WCHAR recordPath[MAX_PATH * 2];
    WCHAR environment[MAX_PATH * 3];
    wsprintfW(recordPath, L"%s\\mode%d.txt", g_probeDir, slot);
    wsprintfW(environment, L"QUORLITH_PROBE_OUT=%s", recordPath);
    WCHAR* line = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, 40000 * sizeof(WCHAR)));
    for (;;)
    {
        const LONG index = InterlockedIncrement(&g_nextShape) - 1;
        if (index >= g_shapeCount)
        {
            break;
        }
        Shape* shape = &g_shapes[index];
        DeleteFileW(recordPath);
        wsprintfW(line, L"\"%s\" ", g_probe);
        lstrcatW(line, shape->tail);
        shape->exitCode = 0xDEADBEEF;
        shape->ended = wt_run_ex(line, g_probeDir, environment, 30000, &shape->exitCode);
        shape->record = reinterpret_cast<char*>(wt_read_file(recordPath, NULL));
        DeleteFileW(recordPath);
    }
    HeapFree(GetProcessHeap(), 0, line);
    return 0;
}

static void TestCommandLines(void)
{
    g_shapes = static_cast<Shape*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 600 * sizeof(Shape)));
    AddOptionShapes();
    AddParameterShapes();
    AddCountShapes();
    AddRawShapes();

    // One probe at a time: Wine 8 now and then fails one of two process starts made at the same moment
    // (ERROR_INTERNAL_ERROR), which would say nothing about the program.
    ProbeWorker worker = {0};
    const DWORD started = GetTickCount();
    RunShapes(&worker);

    char* expected = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, 8192));
    for (LONG i = 0; i < g_shapeCount; ++i)
    {
        const Shape* shape = &g_shapes[i];
        DWORD exitCode = 0;
        Expected(shape, expected, 8192, &exitCode);
        ok(shape->ended, "[%s] %ld did not end", shape->label, i);
        ok(shape->record && !strcmp(shape->record, expected), "[%s] %ld [%.200s]: ran [%.200s], expected [%.200s]",
           shape->label, i, wt_u8(shape->tail), shape->record ? shape->record : "(nothing)", expected);
        ok(shape->exitCode == exitCode, "[%s] %ld [%.200s]: exit code 0x%lx, expected 0x%lx", shape->label, i,
           wt_u8(shape->tail), shape->exitCode, exitCode);
        wt_free(shape->record);
    }
    HeapFree(GetProcessHeap(), 0, expected);
    // The stubs write nothing but their record: any other entry came from the command line.
    ok(wt_count_entries(g_probeDir, L"") == 0, "%d stray entries next to the probe records",
       wt_count_entries(g_probeDir, L""));
    printf("command-line shapes: %ld through the mode probe in %lu ms\n", g_shapeCount, GetTickCount() - started);
}

// --- Version directory names -------------------------------------------------------------------------

enum VersionKind
{
    MARKER_FILE,        // a version directory holding "coreclr.dll"
    MARKER_UPPER,       // ... holding "CORECLR.DLL": names are compared without regard to case
    MARKER_HIDDEN,      // ... holding it hidden, read-only and empty
    DIRECTORY_HIDDEN,   // a hidden, read-only version directory holding it
    MARKER_ELSEWHERE,   // ... holding only "coreclr.dll.bak" and "sub\coreclr.dll"
    PLAIN_FILE,         // a file with the version's name
};

struct VersionCase
{
    const WCHAR* name;
    VersionKind kind;
    BOOL found;
};

// The other kinds, on a name detection takes. The plain names (kind MARKER_FILE) come from the shared table
// tests/runtime/version-names.json, which the release tooling's proof is tested against as well.
static const VersionCase g_versions[] = {
    {L"10.0.15", MARKER_UPPER, TRUE},
    {L"10.0.15", MARKER_HIDDEN, TRUE},
    {L"10.0.15", DIRECTORY_HIDDEN, TRUE},
    {L"10.0.15", MARKER_ELSEWHERE, FALSE},
    {L"10.0.15", PLAIN_FILE, FALSE},
};


// Makes case <index> and asks detection; FALSE when the file system cannot hold the name.
static BOOL TryVersion(size_t index, const VersionCase* c)
{
    WCHAR shared[MAX_PATH * 2];
    WCHAR family[MAX_PATH * 2];
    WCHAR path[MAX_PATH * 2];
    wsprintfW(shared, L"%s\\versions\\%u", g_machine.root, static_cast<unsigned>(index));
    wsprintfW(family, L"%s\\Microsoft.NETCore.App", shared);
    wt_make_dirs(family);
    wsprintfW(path, L"%s\\%s", family, c->name);
    if (c->kind == PLAIN_FILE)
    {
        wt_write_file(path, "x", 1);
    }
    else
    {
        CreateDirectoryW(path, NULL);
        static const WCHAR* const markers[] = {L"coreclr.dll", L"CORECLR.DLL", L"coreclr.dll", L"coreclr.dll",
                                               L"coreclr.dll.bak"};
        WCHAR marker[MAX_PATH * 2];
        wsprintfW(marker, L"%s\\%s", path, markers[c->kind]);
        wt_write_file(marker, c->kind == MARKER_HIDDEN ? "" : "x", c->kind == MARKER_HIDDEN ? 0 : 1);
        if (c->kind == MARKER_HIDDEN)
        {
            SetFileAttributesW(marker, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
        }
        if (c->kind == MARKER_ELSEWHERE)
        {
            wsprintfW(marker, L"%s\\sub", path);
            CreateDirectoryW(marker, NULL);
            lstrcatW(marker, L"\\coreclr.dll");
            wt_write_file(marker, "x", 1);
        }
        if (c->kind == DIRECTORY_HIDDEN)
        {
            SetFileAttributesW(path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
        }
    }
    if (!wt_is_listed(family, c->name))
    {
        skip("version name [%s] cannot be stored by this file system", wt_u8(c->name));
        return FALSE;
    }
    const BOOL found = FindVersionedComponent(shared, L"Microsoft.NETCore.App", L"coreclr.dll");
    ok(!found == !c->found, "version [%s] kind %d: found %d, expected %d", wt_u8(c->name), c->kind, found,
       c->found);
    return TRUE;
}

static void TestVersionNames(void)
{
    const size_t total = ARRAYSIZE(g_versionNames) + ARRAYSIZE(g_versions);
    int tried = 0;
    ShimReset();
    const DWORD handles = wt_handle_count();
    for (size_t i = 0; i < ARRAYSIZE(g_versionNames); ++i)
    {
        const VersionCase c = {g_versionNames[i].name, MARKER_FILE, g_versionNames[i].taken};
        tried += TryVersion(i, &c);
    }
    for (size_t i = 0; i < ARRAYSIZE(g_versions); ++i)
    {
        tried += TryVersion(ARRAYSIZE(g_versionNames) + i, &g_versions[i]);
    }
    ok(wt_handle_count() == handles, "version names: handles %lu -> %lu", handles, wt_handle_count());
    printf("version directory names: %d of %u tried\n", tried, static_cast<unsigned>(total));
}

// --- Registry value shapes ---------------------------------------------------------------------------

struct HostValue
{
    const char* what;
    DWORD type;
    const void* data;
    DWORD size;
    BOOL present;
};

// Shapes of the host's "Version" value beyond the plain texts: other types read as text, digits that are
// not ASCII, characters before or between the digits, data past a terminator, sizes around 200 bytes.
// msiexec is refused at its start, so the first package attempted tells the host's presence.
static void TestHostValues(void)
{
    static WCHAR digits99[100];
    static WCHAR over200[101];
    static const char asciiText[] = "10.0.15";
    static const WCHAR afterNul[] = L"9\0" L"10";
    static const WCHAR garbageAfter[] = {L'1', L'0', 0, 0xFFFF, 0xD800, L'x'};
    static const WCHAR qwordText[] = {L'1', L'2', L'.', L'0'};
    for (int i = 0; i < 99; ++i)
    {
        digits99[i] = i < 2 ? L"10"[i] : L'9';
    }
    for (int i = 0; i < 100; ++i)
    {
        over200[i] = i < 2 ? L"10"[i] : L' ';
    }
    const HostValue values[] = {
        {"REG_EXPAND_SZ 10.0.15", REG_EXPAND_SZ, L"10.0.15", 16, TRUE},
        {"REG_QWORD holding the text 12.0", REG_QWORD, qwordText, 8, TRUE},
        {"REG_NONE 10", REG_NONE, L"10", 6, TRUE},
        {"leading space", REG_SZ, L" 10.0.15", 18, FALSE},
        {"leading zeros 0010.0.1", REG_SZ, L"0010.0.1", 18, TRUE},
        {"plus sign", REG_SZ, L"+10", 8, FALSE},
        {"full-width digits", REG_SZ, L"\xFF11\xFF10.0.0", 14, FALSE},
        {"Arabic-Indic ten", REG_SZ, L"\x0661\x0660", 6, FALSE},
        {"byte-order mark first", REG_SZ, L"\xFEFF" L"10.0.15", 18, FALSE},
        {"zero-width space between the digits", REG_SZ, L"1\x200B" L"0", 8, FALSE},
        {"right-to-left mark after the digits", REG_SZ, L"10\x200F", 8, TRUE},
        {"8-bit text instead of UTF-16", REG_BINARY, asciiText, 7, FALSE},
        {"9, a terminator, then 10", REG_SZ, afterNul, sizeof(afterNul), FALSE},
        {"10, a terminator, then junk", REG_BINARY, garbageAfter, sizeof(garbageAfter), TRUE},
        {"198 bytes of digits, unterminated", REG_SZ, digits99, 198, TRUE},
        {"201 bytes", REG_SZ, over200, 201, FALSE},
    };
    for (size_t i = 0; i < ARRAYSIZE(values); ++i)
    {
        SweepShimMachine();
        ShimSetRegistryValue(values[i].type, values[i].data, values[i].size);
        ShimFail(SHIM_CreateProcessW, 1, ERROR_ACCESS_DENIED);
        const DWORD handles = wt_handle_count();
        const DWORD result = InstallRuntime();
        const WCHAR* commandLine = ShimLastCreateProcess()->commandLine;
        const WCHAR* expected = values[i].present ? L"\\dotnet-hostfxr.msi\"" : L"\\dotnet-host.msi\"";
        ok(result == ERROR_ACCESS_DENIED, "%s: got %lu", values[i].what, result);
        ok(wcsstr(commandLine, expected) != NULL, "%s: host %s, but msiexec got [%s]", values[i].what,
           values[i].present ? "present" : "missing", wt_u8(commandLine));
        ok(SweepLeftovers() == 0, "%s: %d entries left", values[i].what, SweepLeftovers());
        ok(wt_handle_count() == handles, "%s: handles %lu -> %lu", values[i].what, handles, wt_handle_count());
    }
    printf("registry value shapes: %u\n", static_cast<unsigned>(ARRAYSIZE(values)));
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 3)
    {
        ok(0, "usage: test_inputs <mode_probe.exe> <stand-in msiexec.exe>");
        return wt_finish();
    }
    g_probe = wt_winpath(argv[1]);
    if (!SweepMachineCreate(L"sweep-inputs", argv[2]))
    {
        return wt_finish();
    }
    wsprintfW(g_probeDir, L"%s\\probe", g_machine.root);
    CreateDirectoryW(g_probeDir, NULL);
    TestCommandLines();
    TestVersionNames();
    TestHostValues();
    SweepMachineDestroy();
    return wt_finish();
}
