// The window procedure of "ViewerClass": life-cycle messages, the command table, the
// keyboard table and the hand-over of mouse messages.
#pragma once

#include "input/commands.h"
#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

LRESULT CALLBACK viewerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The tables behind viewerWindowProc, callable on their own.
void handleCommand(HWND window, ViewerState* state, int id);
// selectedFrame and selectedVisual: the selection on entry to the message.
void handleKey(ViewerState* state, UINT message, WPARAM key, IDirect3DRMFrame* selectedFrame,
               IDirect3DRMMeshBuilder* selectedVisual);
// Opens every file of a WM_DROPFILES drop, one after another, and ends the drop.
void handleDroppedFiles(HDROP drop);

// Camera and selection speeds of the keyboard.
inline constexpr float kSideStep = 0.0625f;  // arrow keys, scaled from the unit axes
inline constexpr float kFastForward = 100.0f;  // E and Y, in units of the view direction
