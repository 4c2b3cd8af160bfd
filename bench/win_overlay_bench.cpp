// Per-frame cost of the window-system side of a frame: handing the finished picture to the
// window and drawing the frame-rate figure over it, as the frame tick does, plus the
// message pump of an idle queue.
#include <benchmark/benchmark.h>

#include <vector>

#include "input/commands.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "platform/win/win32.h"

namespace {

LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND makeWindow(int width, int height) {
    registerViewerCommands();
    winReset();
    winUseHeadless(width, height);
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.lpszClassName = "BenchClass";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, "BenchClass", "bench", WS_OVERLAPPEDWINDOW, 0, 0, width, height,
                                nullptr, nullptr, nullptr, nullptr);
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    return hwnd;
}

void presentAndOverlay(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    HWND hwnd = makeWindow(width, height);
    std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 4, 128);
    for (auto _ : state) {
        winPresentPicture(hwnd, frame.data(), width, height);
        HDC dc = GetDC(hwnd);
        HFONT font = CreateFontA(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
        HGDIOBJ previous = SelectObject(dc, font);
        SIZE extent;
        GetTextExtentPoint32A(dc, "123fps      ", 12, &extent);
        SetTextColor(dc, RGB(255, 255, 255));
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, RGB(0, 0, 0));
        TextOutA(dc, 1, 0, "123fps      ", 12);
        SelectObject(dc, previous);
        DeleteObject(font);
        ReleaseDC(hwnd, dc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * width * height * 4);
    winReset();
}
BENCHMARK(presentAndOverlay)->Args({400, 400})->Args({1280, 960})->Args({1920, 1080});

void idlePeek(benchmark::State& state) {
    makeWindow(400, 400);
    MSG msg;
    for (auto _ : state) benchmark::DoNotOptimize(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    winReset();
}
BENCHMARK(idlePeek);

void postTranslateDispatch(benchmark::State& state) {
    HWND hwnd = makeWindow(400, 400);
    HACCEL accel = LoadAcceleratorsA(nullptr, "ViewerAccel");
    MSG msg;
    for (auto _ : state) {
        winPostKey(hwnd, 'T', true);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!TranslateAcceleratorA(msg.hwnd, accel, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    winReset();
}
BENCHMARK(postTranslateDispatch);

}  // namespace

BENCHMARK_MAIN();
