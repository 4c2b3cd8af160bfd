#include "platform/gl/null_device.h"

#include <memory>

#include "platform/rm/ddraw.h"
#include "platform/rm/render_backend.h"

namespace {

class NullDevice final : public rm::DeviceBackend {
public:
    HRESULT clear(const rm::DeviceData&, const rm::ViewportData&, D3DCOLOR) override { return D3DRM_OK; }
    HRESULT render(const rm::DeviceData&, const rm::ViewportData& viewport, IDirect3DRMFrame* scene) override {
        return scene && viewport.camera ? D3DRM_OK : D3DRMERR_BADOBJECT;
    }
    HRESULT update(const rm::DeviceData&) override { return D3DRM_OK; }
};

// The OpenGL backend's checks of the request, without its context.
rm::DeviceBackendResult createNullDevice(const rm::DeviceBackendRequest& request) {
    rm::DeviceBackendResult result;
    D3DCOLORMODEL model = D3DCOLOR_MONO;  // the default device is the ramp one
    if (request.guid) {
        if (*request.guid == IID_IDirect3DRGBDevice)
            model = D3DCOLOR_RGB;
        else if (!(*request.guid == IID_IDirect3DRampDevice)) {
            result.result = D3DRMERR_BADDEVICE;
            return result;
        }
    }
    if (request.width <= 0 || request.height <= 0) {
        result.result = D3DRMERR_BADVALUE;
        return result;
    }
    result.result = D3DRM_OK;
    result.backend = std::make_unique<NullDevice>();
    result.colorModel = model;
    result.width = DWORD(request.width);
    result.height = DWORD(request.height);
    return result;
}

}  // namespace

void registerNullDeviceBackend() { rm::setDeviceBackendFactory(createNullDevice); }
