// Boxes of what a scene draws, and camera placements that show a box whole.
#pragma once

#include "platform/rm/d3drm.h"

// The box, in world coordinates, of everything drawn at or below `frame`: its mesh
// builders and meshes (frames shown as visuals included), each visual's own box carried
// through its frame's transform. `skip` and its subtree are left out (the camera), and
// so is the selection marker. Returns 0 when nothing is drawn there.
int frameTreeBox(IDirect3DRMFrame* frame, IDirect3DRMFrame* skip, D3DRMBOX* box);

// Moves `camera`, keeping its orientation, so that `box` (world coordinates) fills the
// viewport's picture up to a small margin, centred across it. The front and back planes
// take precedence: a box too small to be seen from so near, or too large to be seen
// whole before the back plane, is shown from the nearest distance the planes allow.
// Returns 0 and leaves the camera alone for an empty or unusable box.
int fitBoxInView(IDirect3DRMFrame* camera, IDirect3DRMViewport* viewport, const D3DRMBOX& box);

// Fraction of the picture left free around a framed box, on each side together.
inline constexpr double kFramingMargin = 0.1;
