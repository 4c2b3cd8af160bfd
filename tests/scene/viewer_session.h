// Helpers for the scene and input tests: the viewer run of tests/viewer/viewer_harness.h,
// plus ways to build scenes and poke the window.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "input/mouse.h"
#include "platform/gl/gl_device.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "platform/win/win32.h"
#include "scene/frame_loading.h"
#include "scene/selection.h"
#include "tests/viewer/viewer_harness.h"
#include "viewer/viewer_state.h"
#include "app/win_main.h"

namespace session {

using harness::Drawing;
using harness::positionIn;
using harness::state;
using harness::Step;
using harness::window;

// The viewer run of the viewer tests, held to a normal ending: fails the test unless every
// step ran and the viewer exited with 0. Its devices draw nothing unless the test asks for
// pictures.
inline void runViewer(std::vector<Step> steps, const char* model = "", Drawing drawing = Drawing::None) {
    const size_t count = steps.size();
    // The Open dialogs move the current folder; later tests expect it back.
    const std::filesystem::path folder = std::filesystem::current_path();
    const harness::ViewerRun run = harness::runViewer(std::move(steps), model, 32, drawing);
    std::filesystem::current_path(folder);
    EXPECT_EQ(run.stepsRun, count) << "the viewer ended before every step ran";
    EXPECT_EQ(run.exitCode, 0);
}

inline LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageA(window(), message, wParam, lParam);
}
inline void command(int id) { send(WM_COMMAND, static_cast<WPARAM>(id), 0); }
inline LPARAM point(int x, int y) { return MAKELPARAM(x, y); }

inline void leftDown(int x, int y) { send(WM_LBUTTONDOWN, MK_LBUTTON, point(x, y)); }
inline void leftUp(int x, int y) { send(WM_LBUTTONUP, 0, point(x, y)); }
inline void rightDown(int x, int y) { send(WM_RBUTTONDOWN, MK_RBUTTON, point(x, y)); }
inline void rightUp(int x, int y) { send(WM_RBUTTONUP, 0, point(x, y)); }
inline void moveTo(int x, int y, WPARAM buttons) { send(WM_MOUSEMOVE, buttons, point(x, y)); }
inline void click(int x, int y) {
    leftDown(x, y);
    leftUp(x, y);
}

inline RECT clientRect() {
    RECT r = {};
    GetClientRect(window(), &r);
    return r;
}
inline int clientWidth() { return clientRect().right - clientRect().left; }
inline int clientHeight() { return clientRect().bottom - clientRect().top; }
inline int centreX() { return clientWidth() / 2; }
inline int centreY() { return clientHeight() / 2; }

struct Cube {
    IDirect3DRMFrame* frame = nullptr;          // borrowed: the scene holds it
    IDirect3DRMMeshBuilder* builder = nullptr;  // borrowed: the frame holds it
};

// A cube of half size `half` around its frame's origin, the frame placed at `centre` in
// scene coordinates; faces wound clockwise as seen from outside.
inline Cube addCube(IDirect3DRMFrame* scene, D3DVECTOR centre, D3DVALUE half, D3DCOLOR color) {
    Cube cube;
    d3drm->CreateFrame(scene, &cube.frame);
    d3drm->CreateMeshBuilder(&cube.builder);
    D3DVECTOR v[8];
    for (int i = 0; i < 8; ++i)
        v[i] = {(i & 4) ? half : -half, (i & 2) ? half : -half, (i & 1) ? half : -half};
    DWORD faces[] = {4, 0, 2, 6, 4, 4, 1, 5, 7, 3, 4, 0, 4, 5, 1, 4,
                     2, 3, 7, 6, 4, 0, 1, 3, 2, 4, 4, 6, 7, 5, 0};
    cube.builder->AddFaces(8, v, 0, nullptr, faces, nullptr);
    cube.builder->SetColor(color);
    cube.frame->AddVisual(cube.builder);
    cube.frame->SetPosition(scene, centre.x, centre.y, centre.z);
    cube.frame->Release();
    cube.builder->Release();
    return cube;
}

// Opens a hierarchy as Scene > Open Frame does (fitted and placed) and returns the frame
// of that name in it with its first visual; both borrowed. Nothing when it is not there.
inline Cube openHierarchyPart(const std::string& path, const char* name) {
    Cube part;
    if (!loadFrameFile(path.c_str(), state())) return part;
    std::function<void(IDirect3DRMFrame*)> find = [&](IDirect3DRMFrame* f) {
        char text[64] = {};
        DWORD size = sizeof text;
        if (f->GetName(&size, text) >= 0 && std::string(text) == name && !rm::frameVisuals(f).empty()) {
            part.frame = f;
            if (rm::frameVisuals(f)[0]->QueryInterface(IID_IDirect3DRMMeshBuilder,
                                                         reinterpret_cast<void**>(&part.builder)) >= 0)
                part.builder->Release();  // the frame keeps it
        }
        for (IDirect3DRMFrame* c : rm::frameChildren(f)) find(c);
    };
    find(state()->scene);
    return part;
}

inline bool isChildOf(IDirect3DRMFrame* child, IDirect3DRMFrame* parent) {
    for (IDirect3DRMFrame* f : rm::frameChildren(parent))
        if (f == child) return true;
    return false;
}

inline bool allFinite(IDirect3DRMFrame* frame) {
    const rm::Matrix& m = rm::frameLocalMatrix(frame);
    for (auto& row : m.m)
        for (D3DVALUE x : row)
            if (!std::isfinite(x)) return false;
    return true;
}

// Screen position (pixels) of a frame's origin through the viewer's viewport.
inline std::pair<double, double> screenOf(IDirect3DRMFrame* frame) {
    D3DVECTOR p = positionIn(frame, state()->scene);
    D3DRMVECTOR4D s = {};
    state()->viewport->Transform(&s, &p);
    return {s.x / s.w, s.y / s.w};
}

struct Picture {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    const unsigned char* at(int x, int y) const {
        return &rgba[(static_cast<size_t>(y) * width + x) * 4];
    }
    bool isBlack(int x, int y) const {
        return at(x, y)[0] < 8 && at(x, y)[1] < 8 && at(x, y)[2] < 8;
    }
};

inline Picture picture() {
    Picture p;
    EXPECT_EQ(harness::runDrawing, Drawing::Pictures) << "a picture of a run whose devices draw nothing";
    winReadPicture(window(), p.rgba, p.width, p.height);
    return p;
}

}  // namespace session
