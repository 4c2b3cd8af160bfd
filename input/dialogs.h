// The colour chooser of command 104 and the About box.
#pragma once

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

// Shows the colour dialog starting from *color; on OK stores the choice and returns 1,
// otherwise leaves *color alone and returns 0.
int chooseColor(HWND window, D3DCOLOR* color);
// Command 104: recolours the selected light and its model, or the selected mesh.
void colorSelection(HWND window);
// The common Open (save false) or Save As dialog over path, a buffer of pathSize bytes,
// with flags: 1 when a file was chosen. A cancel is no error; a chosen path the buffer
// cannot hold is reported.
int showFileDialog(bool save, HWND window, const char* title, const char* filter, const char* defaultExtension,
                   DWORD flags, char* path, int pathSize);
// The Save dialog: the chosen path (held until the next call), or null when cancelled.
// A name typed without an extension gets defaultExtension.
const char* chooseSavePath(HWND window, const char* title, const char* filter, const char* defaultExtension);
// Dialog procedure of "AboutBox": only OK (or Enter) ends it, with 1.
INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
