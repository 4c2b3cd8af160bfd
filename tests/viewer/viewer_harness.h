// Drives the real viewer (WinMain, window procedure, main loop) on the headless backend:
// each step runs at the start of one pass of the main loop.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "input/mouse.h"
#include "input/view_navigation.h"
#include "platform/gl/gl_device.h"
#include "platform/gl/null_device.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "scene/selection.h"
#include "viewer/viewer_state.h"
#include "app/win_main.h"

namespace harness {

using Step = std::function<void()>;

struct ViewerRun {
    int exitCode = -1;
    size_t stepsRun = 0;
};

// What the run's devices draw: pictures (OpenGL), or nothing (null devices, no GL context)
// for tests that check only what the viewer does.
enum class Drawing { Pictures, None };
inline Drawing runDrawing = Drawing::Pictures;

// Runs WinMain with `model` as its command line; after the last step the window is
// closed as a person would (WM_CLOSE). Steps that return early may call quit().
inline ViewerRun runViewer(std::vector<Step> steps, const std::string& model = "", int bitsPerPixel = 32,
                           Drawing drawing = Drawing::Pictures) {
    winUseHeadless(400, 400);
    winReset();
    winSetTickCount(std::nullopt);
    winSetBitsPerPixel(bitsPerPixel);
    selectionState = {};
    dragState = {};
    orbitState = {};
    runDrawing = drawing;
    if (drawing == Drawing::Pictures)
        glRegisterDeviceBackend(winPresentPicture);
    else
        registerNullDeviceBackend();
    ViewerRun run;
    bool closing = false;
    MainLoopHooks hooks;
    hooks.beforePass = [&] {
        if (run.stepsRun < steps.size()) {
            steps[run.stepsRun++]();
        } else if (!closing && viewerWindow()) {
            closing = true;
            PostMessageA(viewerWindow(), WM_CLOSE, 0, 0);
        }
    };
    setMainLoopHooks(hooks);
    std::string line = model;
    run.exitCode = WinMain(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    return run;
}

// A step repeated n times (n passes, each drawing a frame when it can).
inline std::vector<Step> repeat(int n, Step step = [] {}) { return std::vector<Step>(n, step); }
inline std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline HWND window() { return viewerWindow(); }
inline ViewerState* state() { return currentState; }

inline void ctrlKey(UINT vk) {
    winSetKeyDown(VK_CONTROL, true);
    winPostKey(window(), vk, true);
}
inline void releaseCtrl(UINT vk) {
    winPostKey(window(), vk, false);
    winSetKeyDown(VK_CONTROL, false);
}

inline std::vector<std::string> reportTexts() {
    std::vector<std::string> texts;
    for (const WinMessageBoxRecord& box : winRecordedMessageBoxes()) texts.push_back(box.text);
    return texts;
}

inline size_t childCount(IDirect3DRMFrame* frame) { return rm::frameChildren(frame).size(); }

inline D3DVECTOR velocityOf(IDirect3DRMFrame* frame) {
    D3DVECTOR v{};
    frame->GetVelocity(state()->scene, &v, FALSE);
    return v;
}

inline D3DVECTOR positionIn(IDirect3DRMFrame* frame, IDirect3DRMFrame* reference) {
    D3DVECTOR p{};
    frame->GetPosition(reference, &p);
    return p;
}

// A scratch folder of its own for each test, removed afterwards.
class TempFolder {
public:
    TempFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("sollux_viewer_" + std::string(info->test_suite_name()) + "_" + info->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::current_path(SOLLUX_BINARY_DIR, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return file(name);
    }
    std::string copy(const std::string& source, const std::string& name) const {
        std::filesystem::copy_file(source, path_ / name, std::filesystem::copy_options::overwrite_existing);
        return file(name);
    }

private:
    std::filesystem::path path_;
};

inline std::string testData(const std::string& name) { return std::string(SOLLUX_TEST_DATA) + "/" + name; }

// A Rokkaku file holding one triangle (0,0,0) (1,0,0) (0,1,0).
inline std::string triangleRokkaku() { return testData("conversion/triangle_cr.rok"); }

struct Picture {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    const unsigned char* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
    bool dark(int x, int y) const { return at(x, y)[0] < 16 && at(x, y)[1] < 16 && at(x, y)[2] < 16; }
};

inline Picture picture() {
    Picture p;
    EXPECT_EQ(runDrawing, Drawing::Pictures) << "a picture of a run whose devices draw nothing";
    winReadPicture(window(), p.rgba, p.width, p.height);
    return p;
}

// Leftmost lit column in row y, or -1.
inline int leftmostLit(const Picture& p, int y) {
    for (int x = 0; x < p.width; ++x)
        if (!p.dark(x, y)) return x;
    return -1;
}

}  // namespace harness
