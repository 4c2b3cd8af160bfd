// The one selection of the viewer: the visual last clicked, the frame that holds it,
// the first light of that frame, and the white wire-box marker drawn around it.
#pragma once

#include "platform/rm/d3drm.h"

// Process-wide; every pointer except clipboardFrame is borrowed (the scene keeps the
// objects alive), so every operation that takes a frame out of the scene clears the
// selection first.
struct SelectionState {
    int showBoxes;                    // whether the marker is built (0 or 1)
    IDirect3DRMFrame* selectedFrame;  // frame that directly holds the visual
    IDirect3DRMMeshBuilder* selectedVisual;
    IDirect3DRMLight* selectedLight;     // first light of selectedFrame, or null
    IDirect3DRMMesh* markerMesh;         // marker hanging on selectedFrame, or null
    IDirect3DRMFrame* clipboardFrame;    // owned: one reference
    IDirect3DRMVisual* clipboardVisual;  // a visual of clipboardFrame
};

extern SelectionState selectionState;

// Marker geometry, in the selected frame's own units.
inline constexpr D3DVALUE kMarkerTubeRadius = 0.05f;
inline constexpr D3DVALUE kMarkerArrowheadRadius = 0.2f;
inline constexpr D3DVALUE kMarkerShaftOverhang = 1.0f;
inline constexpr D3DVALUE kMarkerArrowheadLength = 0.6f;

// AddFaces layouts with normals: corner count, then (vertex, normal) pairs; 0 ends.
extern const DWORD tubeFaceData[];
extern const DWORD coneFaceData[];
inline constexpr int kTubeVertexCount = 16, kTubeNormalCount = 8, kTubeFaceCount = 10;
inline constexpr int kConeVertexCount = 9, kConeNormalCount = 8, kConeFaceCount = 9;

// Clears the selection, then selects the nearest visual under client point (x, y)
// if it is a mesh builder.
void pickSelection(IDirect3DRMViewport* viewport, int x, int y);
// Makes (visual, frame) the selection and builds the marker when showBoxes is on.
// A null visual leaves nothing selected.
void selectVisual(IDirect3DRMMeshBuilder* visual, IDirect3DRMFrame* frame);
// Removes the marker; clears frame, visual and marker (the light pointer is stale
// until the next selection).
void clearSelection();
void setShowBoxes(int on);
// Returns the new flag.
int toggleShowBoxes();

IDirect3DRMFrame* getSelectedFrame();
IDirect3DRMMeshBuilder* getSelectedVisual();
IDirect3DRMLight* getSelectedLight();

// A new mesh builder (one reference, the caller's) with the white box edges of `box`
// and the arrow along +z from the origin; null when no builder can be created. The tubes
// and the arrow are sized for frame units of `unit` scene units.
IDirect3DRMMeshBuilder* buildSelectionMarker(D3DRMBOX box, D3DVALUE unit = 1.0f);
// An eight-sided tube of apothem `radius` from `from` to `to`.
void addTube(IDirect3DRMMeshBuilder* builder, D3DVALUE radius, D3DVECTOR from, D3DVECTOR to);
// An eight-sided cone of base apothem `radius` from `baseCentre` to `tip`.
void addCone(IDirect3DRMMeshBuilder* builder, D3DVALUE radius, D3DVECTOR baseCentre, D3DVECTOR tip);
