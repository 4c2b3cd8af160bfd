#include "input/view_navigation.h"

#include <algorithm>
#include <cmath>

#include "input/mouse.h"
#include "platform/rm/d3drm.h"
#include "scene/framing.h"
#include "scene/selection.h"
#include "viewer/resize.h"
#include "viewer/viewer_creation.h"
#include "viewer/viewer_state.h"

OrbitState orbitState = {};

namespace {

constexpr double kFullTurn = 6.283185307179586;
// A wheel notch as the window system reports it.
constexpr double kWheelNotch = 120.0;

bool usable(const ViewerState* state) { return state && state->scene && state->camera; }

D3DVECTOR add(D3DVECTOR a, D3DVECTOR b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3DVECTOR sub(D3DVECTOR a, D3DVECTOR b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3DVECTOR scaled(D3DVECTOR v, double s) { return {D3DVALUE(v.x * s), D3DVALUE(v.y * s), D3DVALUE(v.z * s)}; }
double dot(D3DVECTOR a, D3DVECTOR b) { return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z; }
double length(D3DVECTOR v) { return std::sqrt(dot(v, v)); }

// v turned by theta about the unit axis.
D3DVECTOR rotated(D3DVECTOR v, D3DVECTOR axis, double theta) {
    D3DVECTOR across;
    D3DRMVectorCrossProduct(&across, &axis, &v);
    const double c = std::cos(theta), s = std::sin(theta), along = dot(axis, v) * (1 - c);
    return {D3DVALUE(v.x * c + across.x * s + axis.x * along), D3DVALUE(v.y * c + across.y * s + axis.y * along),
            D3DVALUE(v.z * c + across.z * s + axis.z * along)};
}

// The centre and diagonal of what the scene draws; false for an empty scene.
bool sceneCentre(ViewerState* state, D3DVECTOR& centre, double& diagonal) {
    D3DRMBOX box;
    if (!frameTreeBox(state->scene, state->camera, &box)) return false;
    centre = scaled(add(box.min, box.max), 0.5);
    diagonal = length(sub(box.max, box.min));
    return true;
}

// A camera still flying (E, Y, an arrow held) would carry the view off again at once.
void stopCamera(ViewerState* state) {
    state->camera->SetVelocity(state->scene, 0, 0, 0, FALSE);
    state->camera->SetRotation(state->scene, 0, 0, 1, 0);
}

void frameTree(ViewerState* state, IDirect3DRMFrame* frame) {
    D3DRMBOX box;
    if (!frame || !state->viewport) return;
    stopCamera(state);
    if (frameTreeBox(frame, state->camera, &box)) fitBoxInView(state->camera, state->viewport, box);
}

}  // namespace

void frameAll(ViewerState* state) {
    if (usable(state)) frameTree(state, state->scene);
}

void frameSelection(ViewerState* state) {
    if (usable(state)) frameTree(state, getSelectedFrame());
}

void resetCamera(ViewerState* state) {
    if (!usable(state)) return;
    stopCamera(state);
    const D3DVECTOR p = kCameraStartPosition, dir = kCameraStartDirection, up = kCameraStartUp;
    state->camera->SetOrientation(state->scene, dir.x, dir.y, dir.z, up.x, up.y, up.z);
    state->camera->SetPosition(state->scene, p.x, p.y, p.z);
    restoreUsualPlanes(state->viewport);
}

bool frameIfUnseen(ViewerState* state, IDirect3DRMFrame* frame) {
    D3DRMBOX box;
    if (!usable(state) || !frame || !state->viewport || !frameTreeBox(frame, state->camera, &box) ||
        boxComfortablyInView(state->camera, state->viewport, box))
        return false;
    frameTree(state, frame);
    return true;
}

void dollyCamera(ViewerState* state, double notches) {
    D3DVECTOR centre;
    double diagonal = 0;
    if (!usable(state) || !std::isfinite(notches) || notches == 0 || !sceneCentre(state, centre, diagonal)) return;
    D3DVECTOR eye, dir, up;
    state->camera->GetPosition(nullptr, &eye);
    state->camera->GetOrientation(nullptr, &dir, &up);
    const D3DVECTOR toCentre = sub(centre, eye);
    // Near the centre a tenth of the distance would never arrive anywhere.
    const double minimumStep = std::max(diagonal / 100, 1e-3);
    double step = std::max(length(toCentre) / 10, minimumStep) * notches;
    const double ahead = dot(toCentre, dir);
    if (step > 0 && ahead > 0) step = std::min(step, std::max(0.0, ahead - minimumStep));
    if (step == 0) return;
    const D3DVECTOR to = add(eye, scaled(dir, step));
    state->camera->SetPosition(nullptr, to.x, to.y, to.z);
}

void orbitCamera(ViewerState* state, double yaw, double pitch) {
    D3DVECTOR centre;
    double diagonal = 0;
    if (!usable(state) || !std::isfinite(yaw) || !std::isfinite(pitch) || !sceneCentre(state, centre, diagonal))
        return;
    D3DVECTOR eye, dir, up;
    state->camera->GetPosition(nullptr, &eye);
    state->camera->GetOrientation(nullptr, &dir, &up);
    D3DVECTOR offset = sub(eye, centre);

    const D3DVECTOR vertical{0, 1, 0};
    offset = rotated(offset, vertical, yaw);
    dir = rotated(dir, vertical, yaw);
    up = rotated(up, vertical, yaw);

    // Turning about the camera's own x axis raises or lowers its view by the same angle;
    // stop short of straight up or down (a camera already beyond may only come back).
    const double elevation = std::asin(std::clamp(double(dir.y), -1.0, 1.0));
    const double wanted = std::clamp(elevation + pitch, std::min(elevation, -kMaxOrbitElevation),
                                     std::max(elevation, kMaxOrbitElevation));
    D3DVECTOR right;
    D3DRMVectorCrossProduct(&right, &up, &dir);
    if (wanted != elevation && length(right) > 1e-6) {
        D3DRMVectorNormalize(&right);
        // About right, a positive angle tips the view down.
        const double turn = elevation - wanted;
        offset = rotated(offset, right, turn);
        dir = rotated(dir, right, turn);
        up = rotated(up, right, turn);
    }
    const D3DVECTOR to = add(centre, offset);
    state->camera->SetOrientation(nullptr, dir.x, dir.y, dir.z, up.x, up.y, up.z);
    state->camera->SetPosition(nullptr, to.x, to.y, to.z);
}

LRESULT handleMouseWheel(ViewerState* state, WPARAM wParam) {
    const auto delta = static_cast<int16_t>(HIWORD(wParam));
    dollyCamera(state, delta / kWheelNotch);
    return 0;
}

LRESULT handleMiddleButtonDown(HWND window, ViewerState* state, LPARAM lParam) {
    if (!usable(state)) return 0;
    orbitState.active = 1;
    orbitState.lastMouseX = LOWORD(lParam);
    orbitState.lastMouseY = HIWORD(lParam);
    SetCapture(window);
    return 0;
}

LRESULT handleMiddleButtonUp(ViewerState* state) {
    if (!usable(state)) return 0;
    orbitState.active = 0;
    // A left or right drag still under way keeps the mouse.
    if (!dragState.leftDragActive && !dragState.rightDragActive) ReleaseCapture();
    return 0;
}

LRESULT handleOrbitMove(HWND window, ViewerState* state, WPARAM wParam, LPARAM lParam) {
    if (!usable(state) || !orbitState.active || (wParam & MK_MBUTTON) == 0) return 0;
    const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    const int dx = static_cast<int16_t>(x - orbitState.lastMouseX), dy = static_cast<int16_t>(y - orbitState.lastMouseY);
    orbitState.lastMouseX = x;
    orbitState.lastMouseY = y;
    RECT client = {};
    GetClientRect(window, &client);
    const double width = client.right - client.left;
    if (width <= 0 || (dx == 0 && dy == 0)) return 0;
    // Dragging across the whole width turns once round; dragging down looks from higher up.
    orbitCamera(state, kFullTurn * dx / width, -kFullTurn * dy / width);
    return 0;
}
