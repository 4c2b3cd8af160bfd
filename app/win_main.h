// The road of the process: the retained-mode object, the window class and window, the
// main loop that renders whenever the queue is empty, and the ordered shutdown.
#pragma once

#include <functional>

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLineTail, int showCommand);
ATOM registerViewerClass(HINSTANCE instance);
int createViewerWindow(HINSTANCE instance, int showCommand);

inline constexpr int kWindowSize = 400;
inline constexpr char kWindowTitle[] = "SolluxViewer 0.91";
inline constexpr char kViewerClass[] = "ViewerClass";

// Observers of the main loop, for the scripted and recorded sessions and the screenshot
// mode. The pass hook runs at the start of every pass, before the queue is drained; the
// frame hook after every frame rendered. Both are cleared when WinMain returns.
struct MainLoopHooks {
    std::function<void()> beforePass;
    std::function<void()> afterFrame;
};
void setMainLoopHooks(MainLoopHooks hooks);

// The viewer window of the running WinMain, or null.
HWND viewerWindow();
// Frames rendered since WinMain started.
unsigned long renderedFrameCount();
// Whether the last pass could render (a complete record, not minimised, not stopped).
bool renderingPossible();

// Retained-mode and DirectDraw objects still alive when the last WinMain returned (after
// its shutdown); anything but 0 is a leak, also reported on standard error.
long objectsLeftAlive();

// Replaces Direct3DRMCreate for the next runs of WinMain (null restores it), so that
// tests can make the very first step fail.
void setDirect3DRMCreateForTesting(HRESULT (*create)(IDirect3DRM**));
