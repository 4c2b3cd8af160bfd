// Backend selection and the test hooks of the headless backend.
//
// The headless backend is the default: windows have a client size but no display, the
// drawing device presents into the window's picture (platform/win/picture.h), message
// boxes are recorded and written to standard error, and the Open, colour and About
// dialogs take scripted answers (cancel, cancel and OK when none is scripted).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/win32.h"

// Chooses the headless backend. Windows created from now on get this client size whatever
// outer size they ask for (the difference counts as their frame). With lockClientSize, the
// client size also stays as set when the program resizes the window (as under a tiling
// window manager): SetWindowPos still sends WM_SIZE, with the unchanged size.
void winUseHeadless(int clientWidth = 400, int clientHeight = 400, bool lockClientSize = false);

// True while a window system with a display is in use (the Qt backend).
bool winHasDisplay();

// Destroys every window (without sending messages), forgets classes, empties the queue and
// clears every record, script and hook; the chosen backend stays. For tests.
void winReset();

// ---- message boxes -----------------------------------------------------------------
struct WinMessageBoxRecord {
    HWND owner;
    std::string caption;
    std::string text;
    UINT style;
    std::string detail;  // winSetNextMessageBoxDetail's text, empty without one
};
const std::vector<WinMessageBoxRecord>& winRecordedMessageBoxes();
void winClearRecordedMessageBoxes();
// Called while a headless box is open (after it was recorded); whatever the hook posts is
// dispatched by the box's own loop before the box closes. Its result is the button
// pressed (IDOK when no hook is set).
void winSetMessageBoxHook(std::function<int(const WinMessageBoxRecord&)> hook);

// ---- scripted dialog answers (consumed in order) ----------------------------------
// The Qt backend takes them too, showing a real dialog only when none is waiting.
void winScriptOpenFile(std::optional<std::string> path);  // nullopt: cancel
void winScriptSaveFile(std::optional<std::string> path);  // nullopt: cancel
void winScriptColor(std::optional<COLORREF> color);       // nullopt: cancel
void winScriptDialogResult(INT_PTR buttonId);             // command sent to a dialog: IDOK...
void winClearScripts();

// What each dialog was asked to show.
struct WinDialogRecord {
    enum Kind { OpenFile, Color, Dialog, SaveFile } kind;
    HWND owner;
    std::string title;   // Open: the caption; dialog: the template name
    std::string filter;  // Open: the filter pairs joined with '|'
    std::string defaultExtension;
    DWORD flags;
    COLORREF initialColor;  // colour dialog
    std::string answer;     // the path, "#RRGGBB", the button id, or "" when cancelled
    bool refused = false;   // Open: the answer named no file (missing, a folder, a device ...)
};
const std::vector<WinDialogRecord>& winRecordedDialogs();
// Called once a dialog was answered (headless or by a person): --record writes these.
void winSetDialogHook(std::function<void(const WinDialogRecord&)> hook);

// ---- input -------------------------------------------------------------------------
// Posts a key as a window system would: updates the key state, then posts WM_KEYDOWN or
// WM_KEYUP with the virtual-key code.
void winPostKey(HWND hwnd, UINT vk, bool down, bool repeat = false);
// Sets the key state without posting anything (GetAsyncKeyState, accelerator modifiers).
void winSetKeyDown(int vk, bool down);
// Posts a mouse message with client coordinates; the MK_ flags follow the button state.
void winPostMouse(HWND hwnd, UINT message, int x, int y, WPARAM keyFlags);
// Posts WM_MOUSEWHEEL for the mouse at client point (x, y): delta in WHEEL_DELTA units per
// notch, positive away from the user; the message carries the point in screen coordinates.
void winPostMouseWheel(HWND hwnd, int x, int y, int delta, WPARAM keyFlags);
// Posts WM_DROPFILES for these paths.
void winPostDropFiles(HWND hwnd, const std::vector<std::string>& paths);
// Resizes the client area as a user would and sends WM_SIZE (0 x 0 counts as minimised).
void winSetClientSize(HWND hwnd, int width, int height);

// ---- environment -------------------------------------------------------------------
void winSetWorkArea(const RECT& area);
void winSetBitsPerPixel(int bits);
void winSetTickCount(std::optional<DWORD> fixed);  // nullopt: the clock below
// Without a fixed count, GetTickCount is the real clock with a display; headless it counts
// the time the frames drawn stand for, so that a run (its frame-rate figure too) is the
// same every time. Each headless frame adds its own.
void winAdvanceHeadlessClock(double seconds);

// ---- observing ---------------------------------------------------------------------
// Sees every message taken from the queue with PM_REMOVE (GetMessageA included), before
// accelerator translation and dispatch, in the main loop and in modal loops alike.
void winSetMessageHook(std::function<void(const MSG&)> hook);
// The cursor last set with SetCursor: 32512 for IDC_ARROW, 32514 for IDC_WAIT, 0 for none.
int winCurrentCursorId();
HWND winCaptureWindow();
// Window procedure calls so far, dispatched or sent: unchanged means nothing was handled.
unsigned long long winHandledMessageCount();
// Whether any key or mouse button is down now.
bool winAnyKeyDown();
// The number of modal loops (boxes, dialogs) now running.
int winModalDepth();
