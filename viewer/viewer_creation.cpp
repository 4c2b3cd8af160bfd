#include "viewer/viewer_creation.h"

#include <cstring>

#include "report/report_error.h"
#include "viewer/viewer_state.h"

namespace {

int desktopDepth(HWND window) {
    HDC dc = GetDC(window);
    int bits = GetDeviceCaps(dc, BITSPIXEL);
    ReleaseDC(window, dc);
    return bits;
}

bool failed(HRESULT result) { return result < 0; }

// Shades and texture defaults by desktop depth; other depths keep the device defaults.
bool applyDepthSettings(IDirect3DRMDevice* device, int bits) {
    if (bits == 1) {
        return !failed(device->SetShades(4)) && !failed(d3drm->SetDefaultTextureShades(4));
    }
    if (bits == 16) {
        if (failed(device->SetShades(32)) || failed(d3drm->SetDefaultTextureColors(64)) ||
            failed(d3drm->SetDefaultTextureShades(32)))
            return false;
    } else if (bits == 24 || bits == 32) {
        if (failed(device->SetShades(256)) || failed(d3drm->SetDefaultTextureColors(64)) ||
            failed(d3drm->SetDefaultTextureShades(256)))
            return false;
    }
    return !failed(device->SetDither(FALSE));
}

}  // namespace

DWORD renderBitDepthFlag(int bitsPerPixel) {
    switch (bitsPerPixel) {
        case 1: return DDBD_1;
        case 2: return DDBD_2;
        case 4: return DDBD_4;
        case 8: return DDBD_8;
        case 16: return DDBD_16;
        case 24: return DDBD_24;
        case 32: return DDBD_32;
        default: return 0;
    }
}

int createViewer(HWND window) {
    if (DirectDrawCreateClipper(0, &clipper, nullptr) != DD_OK || !clipper) {
        clipper = nullptr;
        return 0;
    }
    if (clipper->SetHWnd(0, window) != DD_OK) {
        clipper->Release();
        clipper = nullptr;
        return 0;
    }
    // The record is never freed: it lives as long as the process.
    auto* state = new ViewerState;
    std::memset(state, 0, sizeof *state);
    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(state));
    state->colorModel = 1;
    currentState = state;
    return createDevice(window, state);
}

int createDevice(HWND window, ViewerState* state) {
    RECT client;
    GetClientRect(window, &client);
    GUID* guid = findDeviceGuid(state->colorModel);
    if (failed(d3drm->CreateDeviceFromClipper(clipper, guid, client.right, client.bottom, &state->device)) ||
        !state->device) {
        state->device = nullptr;
        reportError("An error occurred while creating the device.\n");
        return 0;
    }
    if (!applyDepthSettings(state->device, desktopDepth(window))) {
        reportError("An error occurred while creating the device.\n");
        return 0;
    }
    if (!createScene(state)) return 0;
    if (failed(d3drm->CreateViewport(state->device, state->camera, 0, 0, state->device->GetWidth(),
                                     state->device->GetHeight(), &state->viewport)) ||
        !state->viewport) {
        state->viewport = nullptr;
        reportError("An error occurred while creating the device.\n");
        return 0;
    }
    if (failed(state->viewport->SetBack(D3DVAL(5000.0))) || failed(state->viewport->SetFront(D3DVAL(0.05)))) {
        reportError("An error occurred while creating the device.\n");
        return 0;
    }
    return 1;
}

int createScene(ViewerState* state) {
    IDirect3DRMLight* directional = nullptr;
    IDirect3DRMLight* ambient = nullptr;
    IDirect3DRMFrame* lightFrame = nullptr;
    bool ok =
        !failed(d3drm->CreateFrame(nullptr, &state->scene)) &&
        !failed(d3drm->CreateLightRGB(D3DRMLIGHT_DIRECTIONAL, D3DVAL(1.0), D3DVAL(1.0), D3DVAL(1.0),
                                      &directional)) &&
        !failed(d3drm->CreateFrame(state->scene, &lightFrame)) &&
        !failed(lightFrame->SetPosition(state->scene, D3DVAL(2.0), D3DVAL(2.0), D3DVAL(5.0))) &&
        !failed(lightFrame->SetOrientation(state->scene, D3DVAL(-1.0), D3DVAL(-1.0), D3DVAL(1.0), D3DVAL(0.0),
                                           D3DVAL(1.0), D3DVAL(0.0))) &&
        !failed(lightFrame->AddLight(directional));
    if (ok) {
        directional->Release();
        directional = nullptr;
        ok = !failed(d3drm->CreateLightRGB(D3DRMLIGHT_AMBIENT, D3DVAL(0.4), D3DVAL(0.4), D3DVAL(0.4), &ambient)) &&
             !failed(state->scene->AddLight(ambient));
    }
    if (ok) {
        ambient->Release();
        ambient = nullptr;
        ok = !failed(d3drm->CreateFrame(state->scene, &state->camera)) &&
             !failed(state->camera->SetPosition(state->scene, kCameraStartPosition.x, kCameraStartPosition.y,
                                                kCameraStartPosition.z));
    }
    // The light frame is held by the scene once made; this routine's reference goes.
    if (lightFrame) lightFrame->Release();
    if (ok) return 1;
    if (directional) directional->Release();
    if (ambient) ambient->Release();
    reportError("A failure occurred while creating the scene.\n");
    return 0;
}

GUID* findDeviceGuid(int colorModel) {
    int bits = desktopDepth(nullptr);
    LPDIRECTDRAW directDraw = nullptr;
    if (DirectDrawCreate(nullptr, &directDraw, nullptr) != DD_OK || !directDraw) return nullptr;
    LPDIRECT3D direct3d = nullptr;
    if (directDraw->QueryInterface(IID_IDirect3D, reinterpret_cast<void**>(&direct3d)) != DD_OK || !direct3d) {
        directDraw->Release();
        return nullptr;
    }
    D3DFINDDEVICESEARCH search;
    std::memset(&search, 0, sizeof search);
    search.dwSize = sizeof search;
    search.dwFlags = D3DFDS_COLORMODEL;
    search.dcmColorModel = colorModel == 1 ? D3DCOLOR_MONO : D3DCOLOR_RGB;
    std::memset(&deviceSearchResult, 0, sizeof deviceSearchResult);
    deviceSearchResult.dwSize = sizeof deviceSearchResult;
    HRESULT result = direct3d->FindDevice(&search, &deviceSearchResult);
    if (result == DD_OK && deviceSearchResult.ddHwDesc.dwFlags != 0 &&
        !(deviceSearchResult.ddHwDesc.dwDeviceRenderBitDepth & renderBitDepthFlag(bits))) {
        // A hardware device that cannot draw at the desktop depth: take a software one.
        search.dwFlags |= D3DFDS_HARDWARE;
        search.bHardware = FALSE;
        std::memset(&deviceSearchResult, 0, sizeof deviceSearchResult);
        deviceSearchResult.dwSize = sizeof deviceSearchResult;
        result = direct3d->FindDevice(&search, &deviceSearchResult);
    }
    direct3d->Release();
    directDraw->Release();
    return result == DD_OK ? &deviceSearchResult.guid : nullptr;
}
