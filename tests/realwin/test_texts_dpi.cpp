// The window's texts whole at the system DPI this machine has now. Window mode runs on a copy of the
// setup image whose installer payload was altered (so it shows its window, then the error box with 13,
// and changes nothing); the window and its label are read as they were shown, and every text the label
// can carry is laid out with the label's own font the way a static control wraps it: each must fit.
// Under Wine the fonts are Wine's own, whose widths say nothing about Windows' (the layout logic is
// checked there by ui_flow_present and ui_flow_scaled): the values are printed and the check skipped.
// Arguments: <setup image>.
#include "wtest.h"
#include "realwin.h"
#include "setup_driver.h"

static const struct
{
    const WCHAR* text;
    int maxLines;
} g_texts[] = {
    {L"Preparing Quorlith\x2026", 1},
    {L"Installing the required Microsoft runtime. Please approve the Windows prompt.", 2},
    {L"Opening the Quorlith installer\x2026", 1},
    {L"Finishing the current setup step before closing\x2026", 1},
};

static WCHAR g_setup[MAX_PATH * 2];

static void CheckTexts(UINT dpi)
{
    WCHAR dir[MAX_PATH * 4];
    WCHAR altered[MAX_PATH * 4];
    WCHAR line[MAX_PATH * 5];
    SetupRun run = {};
    RECT window;
    RECT label;
    wt_make_temp_dir(L"rw-texts", dir);
    wsprintfW(altered, L"%s\\QuorlithSetup.exe", dir);
    judge(CopyWithAlteredResource(g_setup, altered, 105), "cannot make the altered copy %s", wt_u8(altered));
    wsprintfW(line, L"\"%s\"", altered);
    run.commandLine = line;
    run.timeoutMs = 60000;
    DriveSetup(&run);
    judge(run.ended && run.wasVisible && run.boxCount == 1, "window mode: ended %d, shown %d, %d boxes", run.ended,
       run.wasVisible, run.boxCount);

    const LONG width = run.labelRect.right - run.labelRect.left;
    const LONG height = run.labelRect.bottom - run.labelRect.top;
    const HFONT stock = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    LOGFONTW font = {};
    // The label's font is the stock GUI font, a system-wide object that this process can select too.
    GetObjectW(stock, sizeof(font), &font);
    printf("system DPI %u; window %ld x %ld; label %ld x %ld; label font %p (stock %p: %s, height %ld)\n", dpi,
           run.windowRect.right - run.windowRect.left, run.windowRect.bottom - run.windowRect.top, width, height,
           static_cast<void*>(run.labelFont), static_cast<void*>(stock), wt_u8(font.lfFaceName), font.lfHeight);
    ExpectedLayout(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), dpi, &window, &label);

    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, stock);
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    const BOOL judged = !wt_is_wine();
    for (const auto& entry : g_texts)
    {
        RECT box = {0, 0, width, 0};
        DrawTextW(dc, entry.text, -1, &box, DT_CALCRECT | DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS);
        const int lines = metrics.tmHeight ? static_cast<int>(box.bottom / metrics.tmHeight) : 0;
        printf("\"%s\": %ld x %ld, %d lines of %ld px\n", wt_u8(entry.text), box.right, box.bottom, lines,
               metrics.tmHeight);
        if (judged)
        {
            ok(width > 0 && box.right <= width && box.bottom <= height && lines <= entry.maxLines,
               "\"%s\" takes %ld x %ld (%d lines) in a %ld x %ld label", wt_u8(entry.text), box.right, box.bottom,
               lines, width, height);
        }
    }
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);

    if (judged)
    {
        ok(run.labelFont == stock, "label font %p, expected the stock GUI font %p", static_cast<void*>(run.labelFont),
           static_cast<void*>(stock));
        ok(EqualRect(&run.windowRect, &window) && EqualRect(&run.labelRect, &label),
           "window (%ld, %ld) %ld x %ld and label %ld x %ld, expected (%ld, %ld) %ld x %ld and %ld x %ld at %u DPI",
           run.windowRect.left, run.windowRect.top, run.windowRect.right - run.windowRect.left,
           run.windowRect.bottom - run.windowRect.top, width, height, window.left, window.top,
           window.right - window.left, window.bottom - window.top, label.right - label.left, label.bottom - label.top,
           dpi);
    }
    else
    {
        skip("Wine %s draws with its own fonts: their widths say nothing about Windows'", wt_wine_version());
    }
    wt_remove_tree(dir);
}

int wmain(int argc, WCHAR** argv)
{
    if (argc != 2)
    {
        printf("usage: %s <setup image>\n", wt_u8(argv[0]));
        return 1;
    }
    if (wt_skip_unless_x64_machine())
    {
        return wt_finish();
    }
    lstrcpyW(g_setup, wt_winpath(argv[1]));
    const UINT dpi = MatchSetupDpiAwareness();
    if (!GetSystemMetrics(SM_CXSCREEN))
    {
        skip("no display");
        return wt_finish();
    }
    CheckTexts(dpi);
    return wt_finish();
}
