// Lights added by the user: each hangs on a frame of its own, 10 units in front of the
// camera, with a small model that makes it visible and pickable.
#pragma once

#include "platform/rm/d3drm.h"

struct ViewerState;

// type: directional, parallel point, point or spot (any other: 0, nothing reported).
// 1 when the light stands in the scene; 0 after the failure has been reported.
int createLight(D3DRMLIGHTTYPE type, ViewerState* state);

// Adds the folder of the running program, and its ../share/solluxviewer when there is one,
// to d3drm's search path (once each), so that the light models beside the executable in a
// build folder, or installed under share/, are found by their bare names.
void addProgramFolderToSearchPath(IDirect3DRM* d3drm);
