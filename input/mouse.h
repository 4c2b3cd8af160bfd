// Mouse manipulation: a press picks; a left drag turns (Shift: spins) the selected
// frame, a right drag dollies the camera (Shift: moves the selected frame in the
// screen plane).
#pragma once

#include <cstdint>

#include "platform/win/win32.h"

struct ViewerState;

// Process-wide, all zero at start.
struct DragState {
    int leftDragActive;
    int rightDragActive;
    int32_t lastMouseX;  // the drag's reference point, client coordinates
    int32_t lastMouseY;
    HCURSOR savedCursor;  // cursor current before the last press, or null
    float dollyStartZ;    // camera z in the scene at the right press/release
};

extern DragState dragState;

// Called by the window procedure for the matching messages; each returns 0 and does
// nothing without a record.
LRESULT handleLeftButtonDown(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);
LRESULT handleLeftButtonUp(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);
LRESULT handleRightButtonDown(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);
LRESULT handleRightButtonUp(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);
LRESULT handleMouseMove(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam);

// Idle step of the main loop (passes that found no message): stops the spin of a left
// drag and the velocity of a right drag on the selected frame while the button is held.
void haltDragMotion();
