// Keeping device and viewport fitted to the client area.
#pragma once

#include "platform/win/win32.h"

struct ViewerState;

// A size within the device only replaces the viewport; a larger one rebuilds the device.
// Nonzero on success, 0 after reporting the failure.
int resizeViewport(HWND window, ViewerState* state, int width, int height);
// A new device of width x height from the clipper, with the old device's dither, quality
// and shades, and a new viewport over all of it. Nonzero on success, 0 after reporting.
int rebuildDevice(HWND window, ViewerState* state, int width, int height);

// Viewports made after the first one see this far.
inline constexpr float kResizedBackPlane = 400.0f;
