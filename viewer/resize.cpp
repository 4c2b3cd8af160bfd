#include "viewer/resize.h"

#include "input/render_options.h"

#include "platform/rm/d3drm.h"
#include "viewer/report_error.h"
#include "viewer/result_name.h"
#include "viewer/viewer_creation.h"
#include "viewer/viewer_state.h"

int resizeViewport(HWND window, ViewerState* state, int width, int height) {
    int viewportWidth = static_cast<int>(state->viewport->GetWidth());
    int viewportHeight = static_cast<int>(state->viewport->GetHeight());
    int deviceWidth = static_cast<int>(state->device->GetWidth());
    int deviceHeight = static_cast<int>(state->device->GetHeight());
    if (width == viewportWidth && height == viewportHeight) return 1;
    if (width > deviceWidth || height > deviceHeight) return rebuildDevice(window, state, width, height);

    state->viewport->Release();
    state->viewport = nullptr;
    if (d3drm->CreateViewport(state->device, state->camera, 0, 0, width, height, &state->viewport) < 0 ||
        !state->viewport) {
        state->viewport = nullptr;
        reportError("A failure occurred while resizing the viewport.\n");
        return 0;
    }
    if (state->viewport->SetBack(D3DVAL(kResizedBackPlane)) < 0) {
        reportError("A failure occurred while resizing the viewport.\n");
        return 0;
    }
    return 1;
}

int rebuildDevice(HWND window, ViewerState* state, int width, int height) {
    BOOL dither = state->device->GetDither();
    D3DRMRENDERQUALITY quality = state->device->GetQuality();
    DWORD shades = state->device->GetShades();

    if (state->viewport) {
        state->viewport->Release();
        state->viewport = nullptr;
    }
    state->device->Release();
    state->device = nullptr;

    GUID* guid = findDeviceGuid(state->colorModel);
    HRESULT result = d3drm->CreateDeviceFromClipper(clipper, guid, width, height, &state->device);
    if (result < 0 || !state->device) {
        state->device = nullptr;
        reportError("Creating a device from HWND failed while rebuilding device.\n%s", resultName(result));
        return 0;
    }
    if (state->device->SetDither(dither) < 0 || state->device->SetQuality(quality) < 0 ||
        state->device->SetShades(shades) < 0 ||
        d3drm->CreateViewport(state->device, state->camera, 0, 0, state->device->GetWidth(),
                              state->device->GetHeight(), &state->viewport) < 0 ||
        !state->viewport || state->viewport->SetBack(D3DVAL(kResizedBackPlane)) < 0) {
        reportError("A failure occurred while rebuilding the device.\n");
        return 0;
    }
    showRenderSettings(window, state);
    return 1;
}
