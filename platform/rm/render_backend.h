// The drawing side of a retained-mode device.
//
// Devices and viewports keep all their state here in platform/rm; what puts pixels on
// the screen is a backend that the drawing layer registers with setDeviceBackendFactory.
// IDirect3DRM::CreateDeviceFromClipper asks the factory for a backend; with none
// registered (or when the factory fails) the device is not created and the factory's
// result (D3DRMERR_BADDEVICE when there is no factory) is returned.
#pragma once

#include <functional>
#include <memory>

#include "platform/rm/d3drm.h"
#include "platform/rm/ddraw.h"
#include "platform/rm/rm_internal.h"

namespace rm {

class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    // Fills the viewport's rectangle with the background colour (and resets depth).
    virtual HRESULT clear(const DeviceData& device, const ViewportData& viewport, D3DCOLOR background) = 0;
    // Draws the hierarchy under `scene` (the frame passed to IDirect3DRMViewport::Render)
    // as seen from viewport.camera; walk it with the accessors of rm_internal.h.
    virtual HRESULT render(const DeviceData& device, const ViewportData& viewport,
                           IDirect3DRMFrame* scene) = 0;
    // Hands the finished picture to the window.
    virtual HRESULT update(const DeviceData& device) = 0;
    virtual HRESULT handlePaint(const DeviceData& device, HDC hdc) {
        (void)device;
        (void)hdc;
        return D3DRM_OK;
    }
    virtual HRESULT handleActivate(const DeviceData& device, WORD wparam) {
        (void)device;
        (void)wparam;
        return D3DRM_OK;
    }
};

struct DeviceBackendRequest {
    IDirectDrawClipper* clipper = nullptr;
    const GUID* guid = nullptr;  // from IDirect3D::FindDevice; may be null
    int width = 0;
    int height = 0;
};

struct DeviceBackendResult {
    HRESULT result = D3DRMERR_BADDEVICE;  // D3DRM_OK with a backend, or why not
    std::unique_ptr<DeviceBackend> backend;
    D3DCOLORMODEL colorModel = D3DCOLOR_RGB;  // the model the GUID chose
    DWORD width = 0;                          // the device's real size in pixels
    DWORD height = 0;
};

// What every backend checks of a request before making anything: the colour model its
// GUID names (none: the ramp device) and the size. D3DRM_OK, else the error to answer.
inline HRESULT checkDeviceRequest(const DeviceBackendRequest& request, D3DCOLORMODEL* model) {
    *model = D3DCOLOR_MONO;
    if (request.guid) {
        if (*request.guid == IID_IDirect3DRGBDevice)
            *model = D3DCOLOR_RGB;
        else if (!(*request.guid == IID_IDirect3DRampDevice))
            return D3DRMERR_BADDEVICE;
    }
    if (request.width <= 0 || request.height <= 0) return D3DRMERR_BADVALUE;
    return D3DRM_OK;
}

using DeviceBackendFactory = std::function<DeviceBackendResult(const DeviceBackendRequest&)>;

// Replaces the factory (an empty function removes it).
void setDeviceBackendFactory(DeviceBackendFactory factory);
bool hasDeviceBackendFactory();

}  // namespace rm
