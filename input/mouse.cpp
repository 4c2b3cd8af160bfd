#include "input/mouse.h"

#include <cmath>

#include "platform/rm/d3drm.h"
#include "scene/parent_space.h"
#include "scene/selection.h"
#include "viewer/viewer_state.h"

DragState dragState = {};

namespace {

// Slightly below 2 pi: a full-width drag turns the frame by this many radians.
constexpr long double kFullTurn = 6.283184L;

bool shiftDown() { return (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0; }

// Press coordinates are unsigned 16-bit; the captured mouse can leave the client area
// during a move, so move coordinates are signed.
int pressX(LPARAM lParam) { return static_cast<int>(LOWORD(lParam)); }
int pressY(LPARAM lParam) { return static_cast<int>(HIWORD(lParam)); }
int moveX(LPARAM lParam) { return static_cast<int>(static_cast<int16_t>(LOWORD(lParam))); }
int moveY(LPARAM lParam) { return static_cast<int>(static_cast<int16_t>(HIWORD(lParam))); }
int offset16(int a, int b) { return static_cast<int>(static_cast<int16_t>(a - b)); }

void showArrowCursor() {
    HCURSOR cursor = LoadCursorA(nullptr, IDC_ARROW);
    dragState.savedCursor = cursor != nullptr ? SetCursor(cursor) : nullptr;
}

D3DVALUE cameraZ(ViewerState* state) {
    D3DVECTOR position = {};
    state->camera->GetPosition(state->scene, &position);
    return position.z;
}

// Absolute orientation from the offset to the press point: the whole client width is
// a full turn about the up axis, the whole height half a turn about the horizontal one.
// It is taken in the scene's space, for a part of a hierarchy too: back at the press point,
// the frame has the scene's own orientation.
void turn(HWND window, IDirect3DRMFrame* frame, ViewerState* state, int x, int y) {
    RECT client = {};
    GetClientRect(window, &client);
    const long double w = client.right - client.left, h = client.bottom - client.top;
    if (w <= 0 || h <= 0) return;
    const int dx = offset16(x, dragState.lastMouseX), dy = offset16(y, dragState.lastMouseY);
    const long double a = -dy / (2 * h) * kFullTurn;
    const long double b = dx / w * kFullTurn;
    frame->SetOrientation(state->scene, static_cast<D3DVALUE>(std::sin(b)),
                          static_cast<D3DVALUE>(std::sin(a) * std::cos(b)),
                          static_cast<D3DVALUE>(std::cos(a) * std::cos(b)), 0.0f,
                          static_cast<D3DVALUE>(std::cos(a)), static_cast<D3DVALUE>(-std::sin(a)));
}

// Sets a rotation velocity about the screen-plane axis at right angles to the motion.
void spin(IDirect3DRMFrame* frame, ViewerState* state, int x, int y) {
    const int dx = offset16(x, dragState.lastMouseX), dy = offset16(y, dragState.lastMouseY);
    dragState.lastMouseX = x;
    dragState.lastMouseY = y;
    const double len = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy);
    if (len == 0.0) return;
    const double r = std::sqrt(len * len + 2500.0);
    frame->SetRotation(state->camera, static_cast<D3DVALUE>(-dy / len),
                       static_cast<D3DVALUE>(-dx / len), 0.0f, static_cast<D3DVALUE>(len / r));
}

// Moves the camera along the scene's z axis, measured from its z at the press.
void dolly(HWND window, ViewerState* state, int y) {
    RECT client = {};
    GetClientRect(window, &client);
    const double h = client.bottom - client.top;
    if (h <= 0) return;
    const double z = dragState.dollyStartZ + 10.0 * offset16(y, dragState.lastMouseY) / h;
    state->camera->SetPosition(state->scene, 0.0f, 0.0f, static_cast<D3DVALUE>(z));
}

// Where a part of a hierarchy is seen, in scene coordinates: the middle of its selected
// visual. Its frame's origin may lie far from it (at a joint, or behind the camera).
bool partCentre(IDirect3DRMFrame* frame, D3DVECTOR& centre) {
    D3DRMMATRIX4D toScene, local;
    IDirect3DRMMeshBuilder* visual = getSelectedVisual();
    D3DRMBOX box;
    if (visual == nullptr || !parentToScene(frame, toScene) || visual->GetBox(&box) < 0) return false;
    frame->GetTransform(local);
    D3DVECTOR middle;
    middle.x = (box.min.x + box.max.x) / 2;
    middle.y = (box.min.y + box.max.y) / 2;
    middle.z = (box.min.z + box.max.z) / 2;
    centre = transformedPoint(toScene, transformedPoint(local, middle));
    return true;
}

// Moves the frame by the mouse offset in pixels at its current depth. A part of a
// hierarchy is moved by the offset at the depth of the part itself, so that it slides
// under the mouse as a model of its own does.
void moveInScreenPlane(IDirect3DRMFrame* frame, ViewerState* state, int x, int y) {
    const int dx = offset16(x, dragState.lastMouseX), dy = offset16(y, dragState.lastMouseY);
    dragState.lastMouseX = x;
    dragState.lastMouseY = y;
    D3DVECTOR position = {};
    frame->GetPosition(state->scene, &position);
    D3DVECTOR anchor = position;
    const bool part = partCentre(frame, anchor);
    D3DRMVECTOR4D screen = {};
    state->viewport->Transform(&screen, &anchor);
    // A part behind the camera is not seen; it is not moved.
    if (part && !(screen.w > 0)) return;
    screen.x += dx * screen.w;
    screen.y += dy * screen.w;
    D3DVECTOR moved = anchor;
    state->viewport->InverseTransform(&moved, &screen);
    if (part) {
        position.x += moved.x - anchor.x;
        position.y += moved.y - anchor.y;
        position.z += moved.z - anchor.z;
    } else {
        position = moved;
    }
    frame->SetPosition(state->scene, position.x, position.y, position.z);
}

}  // namespace

LRESULT handleLeftButtonDown(HWND window, ViewerState* state, WPARAM, LPARAM lParam) {
    if (state == nullptr) return 0;
    IDirect3DRMFrame* previous = getSelectedFrame();
    dragState.lastMouseX = pressX(lParam);
    dragState.lastMouseY = pressY(lParam);
    pickSelection(state->viewport, dragState.lastMouseX, dragState.lastMouseY);
    dragState.leftDragActive = 1;
    SetCapture(window);
    showArrowCursor();
    // The previous selection gets a zero orientation; the platform refuses it and leaves
    // the frame as it was, and the first turn move sets a full orientation again.
    if (previous != nullptr && state->scene != nullptr)
        previous->SetOrientation(state->scene, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f);
    return 0;
}

LRESULT handleRightButtonDown(HWND window, ViewerState* state, WPARAM, LPARAM lParam) {
    if (state == nullptr) return 0;
    dragState.lastMouseX = pressX(lParam);
    dragState.lastMouseY = pressY(lParam);
    pickSelection(state->viewport, dragState.lastMouseX, dragState.lastMouseY);
    dragState.rightDragActive = 1;
    SetCapture(window);
    showArrowCursor();
    if (state->camera != nullptr && state->scene != nullptr) dragState.dollyStartZ = cameraZ(state);
    return 0;
}

LRESULT handleLeftButtonUp(HWND, ViewerState* state, WPARAM, LPARAM) {
    if (state == nullptr) return 0;
    ReleaseCapture();
    dragState.leftDragActive = 0;
    if (dragState.savedCursor != nullptr) SetCursor(dragState.savedCursor);
    return 0;
}

LRESULT handleRightButtonUp(HWND, ViewerState* state, WPARAM, LPARAM) {
    if (state == nullptr) return 0;
    dragState.rightDragActive = 0;
    ReleaseCapture();
    if (dragState.savedCursor != nullptr) SetCursor(dragState.savedCursor);
    if (state->camera != nullptr && state->scene != nullptr) dragState.dollyStartZ = cameraZ(state);
    return 0;
}

LRESULT handleMouseMove(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam) {
    if (state == nullptr || state->scene == nullptr || state->camera == nullptr) return 0;
    const int x = moveX(lParam), y = moveY(lParam);
    IDirect3DRMFrame* frame = getSelectedFrame();
    if ((wParam & MK_LBUTTON) != 0 && frame != nullptr && dragState.leftDragActive) {
        if (shiftDown())
            spin(frame, state, x, y);
        else
            turn(window, frame, state, x, y);
    } else if ((wParam & MK_RBUTTON) != 0 && dragState.rightDragActive) {
        if (shiftDown()) {
            if (frame != nullptr && state->viewport != nullptr)
                moveInScreenPlane(frame, state, x, y);
        } else {
            dolly(window, state, y);
        }
    }
    return 0;
}

void haltDragMotion() {
    ViewerState* state = currentState;
    if (state == nullptr) return;
    IDirect3DRMFrame* frame = getSelectedFrame();
    if (frame == nullptr || state->scene == nullptr) return;
    if (dragState.leftDragActive) frame->SetRotation(state->scene, 0.0f, 1.0f, 0.0f, 0.0f);
    if (dragState.rightDragActive) frame->SetVelocity(state->scene, 0.0f, 0.0f, 0.0f, FALSE);
}
