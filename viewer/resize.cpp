#include "viewer/resize.h"

#include <algorithm>

#include "platform/rm/d3drm.h"
#include "report/report_error.h"
#include "viewer/result_name.h"
#include "viewer/viewer_creation.h"
#include "viewer/viewer_state.h"

namespace {

struct DeviceSettings {
    BOOL dither;
    D3DRMRENDERQUALITY quality;
    DWORD shades;
};

// What a failed rebuild was asked for, so that a later one can still carry the user's
// settings over when the old device is gone.
struct OwedRebuild {
    const ViewerState* state = nullptr;
    DeviceSettings settings{};
    bool haveSettings = false;
    int width = 0, height = 0;
    const char* failure = nullptr;  // the message format last reported
};
OwedRebuild owed;

DeviceSettings settingsOf(IDirect3DRMDevice* device) {
    return {device->GetDither(), device->GetQuality(), device->GetShades()};
}

void owe(const ViewerState* state, const DeviceSettings* settings, int width, int height, const char* failure) {
    if (owed.state != state) owed = OwedRebuild{};
    owed.state = state;
    if (settings) {
        owed.settings = *settings;
        owed.haveSettings = true;
    }
    owed.width = width;
    owed.height = height;
    owed.failure = failure;
}

// The record is whole again: rendering, stopped by the failure, goes on.
void settle(const ViewerState* state) {
    if (owed.state != state) return;
    owed = OwedRebuild{};
    renderingStopped = 0;
}

bool quietRepeats = false;

struct FramedPlanes {
    bool moved = false;
    float front = 0, back = 0;            // what framing chose
    float usualFront = 0, usualBack = 0;  // what the viewport had before
};
FramedPlanes framedPlanes;

// A new viewport keeps the planes framing moved; its own become the usual ones.
void carryFramedPlanes(IDirect3DRMViewport* viewport) {
    if (!framedPlanes.moved || !viewport) return;
    framedPlanes.usualFront = viewport->GetFront();
    framedPlanes.usualBack = viewport->GetBack();
    viewport->SetFront(framedPlanes.front);
    viewport->SetBack(framedPlanes.back);
}

// Remembers the failure and reports it, unless a retry failed just as the last try did.
void fail(const ViewerState* state, const DeviceSettings* settings, int width, int height, const char* format,
          const char* result = nullptr) {
    const bool repeated = quietRepeats && owed.state == state && owed.failure == format;
    owe(state, settings, width, height, format);
    if (repeated) return;
    if (result)
        reportError(format, result);
    else
        reportError(format);
}

}  // namespace

bool rebuildOwed(const ViewerState* state, int* width, int* height) {
    if (state == nullptr || owed.state != state) return false;
    if (width) *width = owed.width;
    if (height) *height = owed.height;
    return true;
}

void forgetOwedRebuild() { owed = OwedRebuild{}; }

void setFramedPlanes(IDirect3DRMViewport* viewport, float front, float back) {
    if (!viewport || !(front > 0) || !(back > front)) return;
    if (!framedPlanes.moved) {
        framedPlanes.usualFront = viewport->GetFront();
        framedPlanes.usualBack = viewport->GetBack();
    }
    if (viewport->SetFront(front) < 0 || viewport->SetBack(back) < 0) {
        restoreUsualPlanes(viewport);
        return;
    }
    framedPlanes.moved = true;
    framedPlanes.front = front;
    framedPlanes.back = back;
}

bool restoreUsualPlanes(IDirect3DRMViewport* viewport) {
    if (!framedPlanes.moved) return false;
    if (viewport) {
        viewport->SetFront(framedPlanes.usualFront);
        viewport->SetBack(framedPlanes.usualBack);
    }
    framedPlanes = FramedPlanes{};
    return true;
}

void picturePlanes(IDirect3DRMViewport* viewport, double* front, double* back) {
    if (framedPlanes.moved) {
        *front = framedPlanes.front;
        *back = framedPlanes.back;
        return;
    }
    *front = std::max<double>(viewport->GetFront(), kResizedFrontPlane);
    *back = std::min<double>(viewport->GetBack(), kResizedBackPlane);
}

void forgetFramedPlanes() { framedPlanes = FramedPlanes{}; }

ResizeResult retryRebuild(HWND window, ViewerState* state, int width, int height) {
    quietRepeats = true;
    const ResizeResult result = rebuildDevice(window, state, width, height);
    quietRepeats = false;
    return result;
}

ResizeResult resizeViewport(HWND window, ViewerState* state, int width, int height) {
    int viewportWidth = static_cast<int>(state->viewport->GetWidth());
    int viewportHeight = static_cast<int>(state->viewport->GetHeight());
    int deviceWidth = static_cast<int>(state->device->GetWidth());
    int deviceHeight = static_cast<int>(state->device->GetHeight());
    if (width == viewportWidth && height == viewportHeight) return kViewportResized;
    if (width > deviceWidth || height > deviceHeight) return rebuildDevice(window, state, width, height);

    static const char kResizeFailedText[] = "A failure occurred while resizing the viewport.\n";
    state->viewport->Release();
    state->viewport = nullptr;
    if (d3drm->CreateViewport(state->device, state->camera, 0, 0, width, height, &state->viewport) < 0)
        state->viewport = nullptr;
    if (!state->viewport || state->viewport->SetBack(D3DVAL(kResizedBackPlane)) < 0) {
        const DeviceSettings settings = settingsOf(state->device);
        fail(state, &settings, width, height, kResizeFailedText);
        return kResizeFailed;
    }
    carryFramedPlanes(state->viewport);
    return kViewportResized;
}

ResizeResult rebuildDevice(HWND, ViewerState* state, int width, int height) {
    static const char kCreateFailed[] = "Creating a device from HWND failed while rebuilding device.\n%s";
    static const char kRebuildFailed[] = "A failure occurred while rebuilding the device.\n";
    // Without a device (an earlier rebuild failed), the settings it had were kept for this.
    const bool carried = state->device || (owed.state == state && owed.haveSettings);
    const DeviceSettings settings = state->device ? settingsOf(state->device) : owed.settings;

    if (state->viewport) {
        state->viewport->Release();
        state->viewport = nullptr;
    }
    if (state->device) {
        state->device->Release();
        state->device = nullptr;
    }

    GUID* guid = findDeviceGuid(state->colorModel);
    HRESULT result = d3drm->CreateDeviceFromClipper(clipper, guid, width, height, &state->device);
    if (result < 0 || !state->device) {
        state->device = nullptr;
        fail(state, carried ? &settings : nullptr, width, height, kCreateFailed, resultName(result));
        return kResizeFailed;
    }
    if ((carried && (state->device->SetDither(settings.dither) < 0 || state->device->SetQuality(settings.quality) < 0 ||
                     state->device->SetShades(settings.shades) < 0)) ||
        d3drm->CreateViewport(state->device, state->camera, 0, 0, state->device->GetWidth(),
                              state->device->GetHeight(), &state->viewport) < 0 ||
        !state->viewport || state->viewport->SetBack(D3DVAL(kResizedBackPlane)) < 0) {
        fail(state, carried ? &settings : nullptr, width, height, kRebuildFailed);
        return kResizeFailed;
    }
    carryFramedPlanes(state->viewport);
    settle(state);
    return kDeviceRebuilt;
}
