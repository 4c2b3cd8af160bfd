// Finding the model again: the View menu (frame all, frame the selection, reset the
// camera), the mouse wheel and the middle-button orbit. All of them move only the camera
// and leave the selection and its rotation as they were. The View commands also stop the
// camera's flight; the wheel and the orbit leave its velocity alone.
#pragma once

#include <cstdint>

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

// Process-wide, all zero at start.
struct OrbitState {
    int active;  // the middle button was pressed in the window and not yet released
    int32_t lastMouseX;
    int32_t lastMouseY;
};
extern OrbitState orbitState;

// The camera keeps its orientation and moves to show everything in the scene (an empty
// scene leaves it alone).
void frameAll(ViewerState* state);
// The same for the selected frame and what hangs below it; nothing without a selection.
void frameSelection(ViewerState* state);
// The camera's start-up position and orientation, and the viewport's usual planes.
void resetCamera(ViewerState* state);
// A model just opened that the camera cannot show comfortably (a speck, beyond the back
// plane, around or behind the camera, mostly outside the picture) is framed as Frame
// selection frames it; true when the camera moved. A model well in view stays as placed.
bool frameIfUnseen(ViewerState* state, IDirect3DRMFrame* frame);

// Moves the camera along its view direction by `notches` tenths of its distance to the
// centre of the scene's box (forward for positive notches), never past that centre.
void dollyCamera(ViewerState* state, double notches);
// Turns the camera about the centre of the scene's box: `yaw` radians about the scene's
// y axis, then `pitch` radians about its own x axis, stopped short of the poles.
void orbitCamera(ViewerState* state, double yaw, double pitch);

// Window procedure handlers; each returns 0 and does nothing without a record.
LRESULT handleMouseWheel(ViewerState* state, WPARAM wParam);
LRESULT handleMiddleButtonDown(HWND window, ViewerState* state, LPARAM lParam);
LRESULT handleMiddleButtonUp(ViewerState* state);
// A move with the middle button held orbits; a full client width is one turn.
LRESULT handleOrbitMove(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);

// Steepest the camera looks up or down while orbiting, in radians (85 degrees).
inline constexpr double kMaxOrbitElevation = 1.4835298641951802;
