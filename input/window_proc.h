// The window procedure of "ViewerClass": life-cycle messages, the command table, the
// keyboard table and the hand-over of mouse messages.
#pragma once

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

LRESULT CALLBACK viewerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Command ids of the menu, the accelerators and the programmatic commands.
enum ViewerCommand : int {
    kCommandAbout = 1,
    kCommandOpenMesh = 2,
    kCommandOpenAnimation = 3,
    kCommandOpenFrame = 4,
    kCommandExit = 5,
    kCommandNothing = 6,
    kCommandOpenRokkaku = 7,
    kCommandCut = 100,
    kCommandCopy = 101,
    kCommandPaste = 102,
    kCommandDelete = 103,
    kCommandColor = 104,
    kCommandShowBoxes = 105,
    kCommandLighting = 200,
    kCommandPoints = 201,
    kCommandWireframe = 202,
    kCommandSolid = 203,
    kCommandFlat = 204,
    kCommandGouraud = 205,
    kCommandPhong = 206,
    kCommandRamp = 207,
    kCommandRgb = 208,
    kCommandDither = 209,
    kCommandTextureQuality = 210,
    // 301 to 304: the lights (scene/lights.h).
    kCommandAnyPictureFormat = 500,
    kCommandOneTickAFrame = 501,
    kCommandKeysAndMouse = 600,
    kCommandSaveScene = 602,
    kCommandExportGltf = 603,
};

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
