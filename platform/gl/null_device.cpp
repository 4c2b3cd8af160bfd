#include "platform/gl/null_device.h"

#include <memory>

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
    D3DCOLORMODEL model;
    result.result = rm::checkDeviceRequest(request, &model);
    if (result.result != D3DRM_OK) return result;
    result.backend = std::make_unique<NullDevice>();
    result.colorModel = model;
    result.width = DWORD(request.width);
    result.height = DWORD(request.height);
    return result;
}

}  // namespace

void registerNullDeviceBackend() { rm::setDeviceBackendFactory(createNullDevice); }
