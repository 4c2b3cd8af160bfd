// Creation of everything the viewer draws with, at the window's first paint: clipper,
// record, device (settings chosen by the desktop depth), scene with its lights and
// camera, and the first viewport.
#pragma once

#include "platform/rm/ddraw.h"
#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

// Where the camera starts, in scene coordinates: at the origin, looking along +z with +y up.
inline constexpr D3DVECTOR kCameraStartPosition{0.0f, 0.0f, 0.0f};
inline constexpr D3DVECTOR kCameraStartDirection{0.0f, 0.0f, 1.0f};
inline constexpr D3DVECTOR kCameraStartUp{0.0f, 1.0f, 0.0f};

// Nonzero when clipper, record, device, scene and viewport all exist.
int createViewer(HWND window);
// 1 on success, 0 after reporting the failure.
int createDevice(HWND window, ViewerState* state);
int createScene(ViewerState* state);
// The GUID of the device to use for colorModel (1 ramp, else RGB), or null to let the
// retained-mode object pick. Valid until the next search.
GUID* findDeviceGuid(int colorModel);
// DDBD_* flag of a desktop depth in bits; 0 for a depth without one.
DWORD renderBitDepthFlag(int bitsPerPixel);
