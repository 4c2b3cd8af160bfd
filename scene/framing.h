// Boxes of what a scene draws, and camera placements that show a box whole.
#pragma once

#include "platform/rm/d3drm.h"

// The box, in world coordinates, of everything drawn at or below `frame`: its mesh
// builders and meshes (frames shown as visuals included), each visual's own box carried
// through its frame's transform. `skip` and its subtree are left out (the camera), and
// so is the selection marker. Returns 0 when nothing is drawn there.
int frameTreeBox(IDirect3DRMFrame* frame, IDirect3DRMFrame* skip, D3DRMBOX* box);

// Moves `camera`, keeping its orientation, so that `box` (world coordinates) fills the
// viewport's picture up to a small margin, centred across it. Where the box does not fit
// between the planes the pictures are drawn with, the planes move (see setFramedPlanes),
// their ratio held to kMaxPlaneRatio. A box without width and height is shown from the
// front plane. Returns 0 and leaves the camera alone for an empty or unusable box.
int fitBoxInView(IDirect3DRMFrame* camera, IDirect3DRMViewport* viewport, const D3DRMBOX& box);

// Fraction of the picture left free around a framed box, on each side together.
inline constexpr double kFramingMargin = 0.1;
// Largest back/front ratio framing gives the planes: more would waste the depth buffer.
inline constexpr double kMaxPlaneRatio = 1e4;

// Whether the box (world coordinates) is comfortably seen from where the camera is: in
// front of it, larger than a speck (1/50 of the picture across or up), not covering the
// whole picture, at least half of its projected area in the picture, and not wholly
// beyond the back plane. A box reaching behind the camera counts as covering.
bool boxComfortablyInView(IDirect3DRMFrame* camera, IDirect3DRMViewport* viewport, const D3DRMBOX& box);
