// The per-window record of the viewer and the few process-wide variables beside it.
// The record lives in extra window long 0 of the viewer window; code inside the window
// procedure gets it as an argument, the main loop and openModel read currentState.
#pragma once

#include <cstdint>

#include "platform/rm/ddraw.h"
#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState {
    IDirect3DRMFrame* scene;        // root frame; models, lights and the camera hang below
    IDirect3DRMFrame* camera;       // child of scene; every viewport looks through it
    IDirect3DRMDevice* device;      // made from clipper
    IDirect3DRMViewport* viewport;  // on device, through camera, never larger than device
    int32_t colorModel;             // 1 asks for the ramp model, anything else for RGB
    int32_t minimized;              // the last WM_SIZE had an empty client area
    HWND window;                    // the window the record belongs to
};

// While currentState is set and neither minimized nor renderingStopped is, the record is
// complete: scene, camera, device and viewport are all non-null.
extern IDirect3DRM* d3drm;
extern IDirectDrawClipper* clipper;
extern ViewerState* currentState;
// Set once the window is gone or a resize failed; cleared only when a later rebuild of the
// failed device succeeds.
extern int32_t renderingStopped;

// Frame-rate counters of the overlay.
extern uint32_t frameCount;       // frames since the last update of the figure
extern uint32_t rateStartTick;    // GetTickCount of the last update
extern uint32_t framesPerSecond;  // the figure shown

inline constexpr int kCommandLineSize = 256;
extern char commandLine[kCommandLineSize];  // model to open at start-up; empty: none

// Result of the last device search; the GUID findDeviceGuid returns points into it.
extern D3DFINDDEVICERESULT deviceSearchResult;
