// Keeping device and viewport fitted to the client area.
#pragma once

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

// What a resize did. A rebuilt device starts with its own texture quality, so the caller
// shows the device's settings again (the Render menu's check marks).
enum ResizeResult : int {
    kResizeFailed = 0,     // reported
    kViewportResized = 1,  // the device stays (also when nothing needed to change)
    kDeviceRebuilt = 2,
};

// A size within the device only replaces the viewport; a larger one rebuilds the device.
ResizeResult resizeViewport(HWND window, ViewerState* state, int width, int height);
// A new device of width x height from the clipper, with the old device's dither, quality
// and shades, and a new viewport over all of it. kDeviceRebuilt, or kResizeFailed after
// reporting.
ResizeResult rebuildDevice(HWND window, ViewerState* state, int width, int height);

// A failed rebuild (or viewport change) leaves the record without its device or viewport.
// It is owed a rebuild: true while it is, with the size the failed attempt was given.
bool rebuildOwed(const ViewerState* state, int* width, int* height);
// The next resize of such a record tries again; a failure it has already reported is not
// reported again (a person dragging the window's border would get a box per step).
ResizeResult retryRebuild(HWND window, ViewerState* state, int width, int height);
// Forgets any rebuild owed (a new run starts with a new record).
void forgetOwedRebuild();

// Viewports made after the first one see this far.
inline constexpr float kResizedBackPlane = 400.0f;
// and this near, as every new viewport does.
inline constexpr float kResizedFrontPlane = 1.0f;

// Planes that framing moved for a model the usual ones cannot hold whole (too large, too
// small or too deep). Every viewport made later gets them too, until Reset camera gives
// back the usual ones.
void setFramedPlanes(IDirect3DRMViewport* viewport, float front, float back);
// The planes the viewport would have had without framing; false when framing moved none.
bool restoreUsualPlanes(IDirect3DRMViewport* viewport);
// The front and back planes the viewport's pictures are drawn with from the next resize
// on: those framing moved, else the nearer of the viewport's own back plane and that of
// a resized viewport (the first viewport gives way to one at the first paint).
void picturePlanes(IDirect3DRMViewport* viewport, double* front, double* back);
// Forgets moved planes (a new run starts with the usual ones).
void forgetFramedPlanes();
