// Frames inside a loaded hierarchy hang below other frames than the scene, often scaled
// and moved by them. What is done to a direct child of the scene is done to such a frame
// in its parent's space, so that it looks the same on screen.
#pragma once

#include "platform/rm/d3drm.h"

// The frame's parent when that is not the scene (the root), with a reference the caller
// releases; null for a direct child of the scene or a frame without a parent.
IDirect3DRMFrame* hierarchyParent(IDirect3DRMFrame* frame);

// True when the frame's parent is not the scene (the root); `toScene` is then the
// transform from the parent's space to the scene's (row vectors, as frames use).
bool parentToScene(IDirect3DRMFrame* frame, D3DRMMATRIX4D toScene);

D3DVECTOR transformedPoint(const D3DRMMATRIX4D m, D3DVECTOR p);
D3DVECTOR transformedDirection(const D3DRMMATRIX4D m, D3DVECTOR d);

// How many scene units one unit of the frame spans (the mean of its three axes), its own
// scale and its parents' together: a model fitted to the view, a copy pasted from a
// scaled hierarchy, a part of one.
D3DVALUE frameUnit(IDirect3DRMFrame* frame);
