// Rendering option commands: each changes only its own part of the device's settings
// and moves the check mark in the "&Render" menu.
#pragma once

#include "input/commands.h"
#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

// Positions in the "&Render" submenu.
inline constexpr int kRenderMenuPosition = menuBarPosition(ViewerMenu::Render);
inline constexpr int kMenuLighting = menuItemPosition(kCommandLighting);
inline constexpr int kMenuDithering = menuItemPosition(kCommandDither);
inline constexpr int kMenuTextureFiltering = menuItemPosition(kCommandTextureQuality);
inline constexpr int kMenuColorModelBase = menuItemPosition(kCommandRamp) - 1;  // + colour model (1 ramp, 2 RGB)
static_assert(menuItemPosition(kCommandRgb) == kMenuColorModelBase + 2, "RGB follows ramp");

// All return 1 on success, 0 after reporting a failure.
int toggleLighting(HWND window, ViewerState* state);
int setFillMode(HWND window, ViewerState* state, DWORD fill);    // D3DRMFILL_*
int setShadeMode(HWND window, ViewerState* state, DWORD shade);  // D3DRMSHADE_*
int setColorModel(HWND window, ViewerState* state, int model);   // 1 ramp, 2 RGB
int toggleDithering(HWND window, ViewerState* state);
int toggleTextureQuality(HWND window, ViewerState* state);

// Menu positions of a fill or shade value; -1 for any other value.
// Puts every check mark of the Render menu where the device's settings and the record's
// colour model are now (after the viewer is made, and after a device is rebuilt, since a
// new device starts with its own texture quality).
void showRenderSettings(HWND window, const ViewerState* state);

int fillModeMenuPosition(DWORD fill);
int shadeModeMenuPosition(DWORD shade);
