// Drives a running bootstrapper from the outside, the way a user would see it: finds its window, follows
// the status label, answers the error box and reads the full exit code. Used by the UI tests and by the
// stand-alone driver program.
#pragma once

#include <windows.h>

#define DRIVER_MAX_LABELS 16
#define DRIVER_TEXT_CHARS 512

struct SetupRun
{
    // What to run.
    const WCHAR* commandLine;   // whole command line, program included
    const WCHAR* extraEnv;      // "NAME=value" entries separated by '\n', or NULL
    DWORD timeoutMs;            // the bootstrapper is killed after this (0: 60 s)
    // A close request (WM_CLOSE) is posted as soon as the label shows this text; NULL: never.
    const WCHAR* closeOnLabel;
    // Posts the close request as soon as the window is visible instead.
    BOOL closeWhenShown;
    // Ends the process (TerminateProcess) as soon as the window is visible; for timing start-up.
    BOOL stopWhenShown;
    // Window class to look for; NULL: the bootstrapper's.
    const WCHAR* windowClass;
    // Printed as each observation is made (label texts, visibility, box, exit) when set.
    BOOL verbose;
    // How long to wait, once an error box is seen, for it to become the foreground window before it is
    // answered (0: one look only).
    DWORD foregroundWaitMs;
    // Called on the driver's thread whenever the label changes; may be NULL.
    void (*onLabel)(const WCHAR* text, void* context);
    void* context;

    // What was seen.
    BOOL started;
    BOOL ended;                 // FALSE: timed out and killed
    DWORD exitCode;             // full 32 bits
    BOOL windowFound;
    RECT windowRect;            // outer rectangle when it was first seen visible
    RECT labelRect;             // the status label then, in the window's client coordinates
    double shownAfterMs;        // from just before the process was created until the window was seen visible
    BOOL wasVisible;
    BOOL hiddenWhileRunning;    // visible first, then hidden while the process still ran (a destroyed
                                // window looks the same under Wine until its process has ended)
    DWORD hiddenForMs;          // how long it stayed hidden before the process ended or the box came
    // The window was hidden while a "Quorlith-Install.exe" child of the bootstrapper was running.
    BOOL installerSeenWhileHidden;
    BOOL installerSeenWhileVisible;
    BOOL closePosted;
    int labelCount;             // distinct consecutive texts, in order
    WCHAR labels[DRIVER_MAX_LABELS][DRIVER_TEXT_CHARS];
    int boxCount;
    WCHAR boxCaption[DRIVER_TEXT_CHARS];
    WCHAR boxText[DRIVER_TEXT_CHARS];
    BOOL boxOwnedBySetupWindow;
    BOOL windowVisibleAtBox;
    HWND setupWindow;           // the setup window and the last box, for matching what others report on them
    HWND boxWindow;
    BOOL boxForeground;         // the box was the foreground window before it was answered
    HWND foregroundAtBox;       // the foreground window then (last look), and its process
    DWORD foregroundProcessAtBox;
    BOOL boxIconIsError;        // the box shows the system's error icon
    HFONT labelFont;            // the status label's font when the window was first seen visible
};

// Starts the bootstrapper, follows it until it ends (pressing OK on any error box), fills run.
BOOL DriveSetup(SetupRun* run);

// True when the icon draws exactly as the system's error icon at the icon's own size (the same shared
// handle, or the same pixels).
BOOL IsSystemErrorIcon(HICON icon);

// True when the label showed text at some point.
BOOL SawLabel(const SetupRun* run, const WCHAR* text);

// Makes this process per-monitor aware, as the bootstrapper's manifest makes it, so that the system DPI and the
// stock font seen here are the bootstrapper's; returns that DPI.
UINT MatchSetupDpiAwareness(void);
// Where the setup window (outer rectangle, in screen coordinates) and its status label (in the window's
// client coordinates) should be on a screen of the given size at the given system DPI.
void ExpectedLayout(int screenWidth, int screenHeight, UINT dpi, RECT* window, RECT* label);

// --- Images and files ---------------------------------------------------------------------------------
// Copies image to copy and flips one byte in the middle of the data of RCDATA resource id there.
BOOL CopyWithAlteredResource(const WCHAR* image, const WCHAR* copy, WORD id);

// %LOCALAPPDATA%\Quorlith-Sample\receipt.txt of the sample installer.
void SampleReceiptPath(WCHAR* out /* MAX_PATH */);
// The value of "name=" in the receipt (UTF-8 decoded), or FALSE when the receipt or the line is missing.
BOOL ReadReceiptValue(const WCHAR* name, WCHAR* out, DWORD capacity);
