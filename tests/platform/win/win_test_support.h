// A recording window procedure and a viewer-like message loop for the window-system tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "input/commands.h"
#include "platform/win/headless.h"
#include "platform/win/win32.h"

struct SeenMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    int modalDepth;
};

class WinTest : public ::testing::Test {
  protected:
    static std::vector<SeenMessage>& seen() {
        static std::vector<SeenMessage> all;
        return all;
    }
    // Runs inside the procedure for every message, before it is recorded.
    static std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool&)>& handler() {
        static std::function<LRESULT(HWND, UINT, WPARAM, LPARAM, bool&)> h;
        return h;
    }

    static LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        seen().push_back({message, wParam, lParam, winModalDepth()});
        if (handler()) {
            bool handled = false;
            LRESULT r = handler()(hwnd, message, wParam, lParam, handled);
            if (handled) return r;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }

    void SetUp() override {
        registerViewerCommands();  // the program's menus, accelerators and About box
        winReset();
        winUseHeadless(400, 400);
        seen().clear();
        handler() = nullptr;
    }
    void TearDown() override {
        handler() = nullptr;
        winReset();
    }

    HWND createWindow(bool show = true) {
        WNDCLASSA wc{};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = proc;
        wc.cbWndExtra = 4;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hIcon = LoadIconA(wc.hInstance, "ViewerIcon");
        wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszMenuName = "ViewerMenu";
        wc.lpszClassName = "ViewerClass";
        if (RegisterClassA(&wc) == 0) ADD_FAILURE() << "RegisterClassA";
        HWND hwnd = CreateWindowExA(0, "ViewerClass", "SolluxViewer 0.91", WS_OVERLAPPEDWINDOW, 312,
                                    184, 400, 400, nullptr, nullptr, wc.hInstance, nullptr);
        if (show && hwnd != nullptr) {
            ShowWindow(hwnd, SW_SHOWNORMAL);
            UpdateWindow(hwnd);
        }
        seen().clear();
        return hwnd;
    }

    // The viewer's loop: drains the queue, translating accelerators. Returns the quit code,
    // or -1 when the queue ran dry.
    static int pump(HACCEL accel = LoadAcceleratorsA(GetModuleHandleA(nullptr), "ViewerAccel")) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            if (!TranslateAcceleratorA(msg.hwnd, accel, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        return -1;
    }

    static std::vector<SeenMessage> seenOf(UINT message) {
        std::vector<SeenMessage> out;
        for (const auto& m : seen()) {
            if (m.message == message) out.push_back(m);
        }
        return out;
    }
    static std::vector<int> commands() {
        std::vector<int> out;
        for (const auto& m : seenOf(WM_COMMAND)) out.push_back(LOWORD(m.wParam));
        return out;
    }
};
