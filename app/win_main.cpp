#include "app/win_main.h"

#include <cstdio>
#include <cstring>

#include "input/commands.h"
#include "input/window_proc.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/ddraw.h"
#include "platform/rm/rm_extras.h"
#include "scene/clipboard.h"
#include "scene/selection.h"
#include "input/mouse.h"
#include "viewer/frame_tick.h"
#include "report/report_error.h"
#include "viewer/resize.h"
#include "viewer/result_name.h"
#include "viewer/viewer_state.h"

namespace {

HWND mainWindow = nullptr;
HACCEL accelerators = nullptr;
MainLoopHooks loopHooks;
unsigned long framesRendered = 0;
bool canRender = false;
long leftAlive = 0;
HRESULT (*createRetainedMode)(IDirect3DRM**) = Direct3DRMCreate;

template <typename T>
void releaseAndClear(T*& object) {
    if (object) {
        object->Release();
        object = nullptr;
    }
}

bool recordComplete(const ViewerState* state) {
    return state && state->scene && state->camera && state->device && state->viewport;
}

// Counters and flags start from zero for every run of WinMain (one per process, but
// tests run several).
void resetProcessState() {
    currentState = nullptr;
    renderingStopped = 0;
    forgetOwedRebuild();
    forgetFramedPlanes();
    frameCount = 0;
    rateStartTick = 0;
    framesPerSecond = 0;
    forgetPreviousFrame();
    commandLine[0] = '\0';
    framesRendered = 0;
    canRender = false;
    mainWindow = nullptr;
}

// Returns the wParam of the last message taken, or -1 when the loop ended because a frame
// failed to render.
WPARAM runMainLoop() {
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    bool quit = false;
    while (!quit) {
        if (loopHooks.beforePass) loopHooks.beforePass();
        bool idle = true;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            idle = false;
            do {
                if (msg.message == WM_QUIT) {
                    quit = true;
                    break;
                }
                if (!TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                }
            } while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        }
        canRender = recordComplete(currentState) && !currentState->minimized && !renderingStopped;
        if (!canRender) continue;
        if (idle) haltDragMotion();
        if (!renderFrame()) {
            reportError("Rendering failed.\n");
            return static_cast<WPARAM>(-1);
        }
        ++framesRendered;
        if (loopHooks.afterFrame) loopHooks.afterFrame();
    }
    return msg.wParam;
}

void shutDown() {
    // The selection borrows pointers into the scene; drop them (and the marker) first.
    clearSelection();
    if (ViewerState* state = currentState) {
        releaseAndClear(state->scene);
        releaseAndClear(state->camera);
        releaseAndClear(state->viewport);
        releaseAndClear(state->device);
    }
    releaseClipboard();
    releaseAndClear(d3drm);
    releaseAndClear(clipper);
}

}  // namespace

void setMainLoopHooks(MainLoopHooks hooks) { loopHooks = std::move(hooks); }
HWND viewerWindow() { return mainWindow; }
unsigned long renderedFrameCount() { return framesRendered; }
bool renderingPossible() { return canRender; }
long objectsLeftAlive() { return leftAlive; }
void setDirect3DRMCreateForTesting(HRESULT (*create)(IDirect3DRM**)) {
    createRetainedMode = create ? create : Direct3DRMCreate;
}

ATOM registerViewerClass(HINSTANCE instance) {
    // The class's menu, and the accelerators and About box, made from the command table.
    registerViewerCommands();
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = viewerWindowProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 4;  // long 0: the ViewerState
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "ViewerIcon");
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = "ViewerMenu";
    wc.lpszClassName = kViewerClass;
    return RegisterClassA(&wc);
}

int createViewerWindow(HINSTANCE instance, int showCommand) {
    RECT workArea;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    // Centred from the screen origin; the work area's own offset is not added.
    int left = (workArea.right - workArea.left - kWindowSize) / 2;
    int top = (workArea.bottom - workArea.top - kWindowSize) / 2;
    HWND window = CreateWindowExA(0, kViewerClass, kWindowTitle, WS_OVERLAPPEDWINDOW, left, top, kWindowSize,
                                  kWindowSize, nullptr, nullptr, instance, nullptr);
    if (!window) return 0;
    mainWindow = window;
    DragAcceptFiles(window, TRUE);
    ShowWindow(window, showCommand);
    // The first paint creates the viewer before this returns.
    UpdateWindow(window);
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLineTail, int showCommand) {
    resetProcessState();
    // A path that does not fit is refused rather than cut: a cut path could name another
    // file. The viewer still starts, with an empty scene.
    const char* tail = commandLineTail ? commandLineTail : "";
    if (lstrlenA(tail) < kCommandLineSize)
        lstrcpyA(commandLine, tail);
    else
        reportError("The model path is longer than %d characters; it was not opened.\n", kCommandLineSize - 1);

    HRESULT result = createRetainedMode(&d3drm);
    if (result != D3DRM_OK) {
        d3drm = nullptr;
        reportError("Failed to create Direct3DRM.\n%s", resultName(result));
        loopHooks = {};
        return 1;
    }
    int exitCode = 1;
    if ((previousInstance || registerViewerClass(instance)) && createViewerWindow(instance, showCommand)) {
        accelerators = LoadAcceleratorsA(instance, "ViewerAccel");
        // A viewer that could not be created ends the process as a failure.
        bool created = recordComplete(currentState);
        WPARAM last = runMainLoop();
        exitCode = !created || last == static_cast<WPARAM>(-1) ? 1 : static_cast<int>(last);
    }
    shutDown();
    if (accelerators) {
        DestroyAcceleratorTable(accelerators);
        accelerators = nullptr;
    }
    // The record outlives the loop only for the process's last moments; free it so that a
    // caller running WinMain again (the tests) starts clean.
    if (currentState && mainWindow && IsWindow(mainWindow)) SetWindowLongPtrA(mainWindow, 0, 0);
    delete currentState;
    currentState = nullptr;
    mainWindow = nullptr;
    loopHooks = {};
    leftAlive = rm::liveObjectCount() + ddrawLiveObjectCount();
    if (leftAlive != 0) std::fprintf(stderr, "solluxviewer: %ld objects left alive at exit\n", leftAlive);
    return exitCode;
}
