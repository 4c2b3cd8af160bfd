// Device and viewport objects (private to platform/rm).
#pragma once

#include <memory>

#include "platform/rm/objects.h"

namespace rm {

class Device final : public RmObject<IDirect3DRMDevice> {
public:
    Device() : winDevice_(this) {}
    const char* className() const override { return "Device"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Update() override;
    HRESULT SetBufferCount(DWORD count) override;
    DWORD GetBufferCount() override { return data.bufferCount; }
    HRESULT SetDither(BOOL dither) override;
    HRESULT SetShades(DWORD shades) override;
    HRESULT SetQuality(D3DRMRENDERQUALITY quality) override;
    HRESULT SetTextureQuality(D3DRMTEXTUREQUALITY quality) override;
    BOOL GetDither() override { return data.dither; }
    DWORD GetShades() override { return data.shades; }
    DWORD GetHeight() override { return data.height; }
    DWORD GetWidth() override { return data.width; }
    DWORD GetTrianglesDrawn() override { return data.trianglesDrawn; }
    DWORD GetWireframeOptions() override { return data.wireframeOptions; }
    D3DRMRENDERQUALITY GetQuality() override { return data.quality; }
    D3DCOLORMODEL GetColorModel() override { return data.colorModel; }
    D3DRMTEXTUREQUALITY GetTextureQuality() override { return data.textureQuality; }

    // The IDirect3DRMWinDevice face of the same object.
    class WinDeviceFace final : public IDirect3DRMWinDevice {
    public:
        explicit WinDeviceFace(Device* o) : owner(o) {}
        HRESULT QueryInterface(REFIID riid, void** out) override;
        ULONG AddRef() override;
        ULONG Release() override;
        HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
        HRESULT AddDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) override;
        HRESULT DeleteDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) override;
        HRESULT SetAppData(DWORD data) override;
        DWORD GetAppData() override;
        HRESULT SetName(const char* name) override;
        HRESULT GetName(DWORD* size, char* name) override;
        HRESULT GetClassName(DWORD* size, char* name) override;
        HRESULT HandlePaint(HDC hdc) override;
        HRESULT HandleActivate(WORD wparam) override;
        Device* owner;
    };

    DeviceData data;
    std::unique_ptr<DeviceBackend> backend;

private:
    WinDeviceFace winDevice_;
};
Device* asDevice(IUnknown* object);
HRESULT createDevice(const DeviceBackendRequest& request, IDirect3DRMDevice** out);

class Viewport final : public RmObject<IDirect3DRMViewport> {
public:
    Viewport();
    const char* className() const override { return "Viewport"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clear() override;
    HRESULT Render(IDirect3DRMFrame* frame) override;
    HRESULT SetFront(D3DVALUE value) override;
    HRESULT SetBack(D3DVALUE value) override;
    HRESULT SetField(D3DVALUE value) override;
    HRESULT SetUniformScaling(BOOL value) override;
    HRESULT SetCamera(IDirect3DRMFrame* camera) override;
    HRESULT SetProjection(D3DRMPROJECTIONTYPE type) override;
    HRESULT Transform(D3DRMVECTOR4D* dst, D3DVECTOR* src) override;
    HRESULT InverseTransform(D3DVECTOR* dst, D3DRMVECTOR4D* src) override;
    HRESULT Configure(LONG x, LONG y, DWORD width, DWORD height) override;
    HRESULT ForceUpdate(DWORD x1, DWORD y1, DWORD x2, DWORD y2) override;
    HRESULT SetPlane(D3DVALUE left, D3DVALUE right, D3DVALUE bottom, D3DVALUE top) override;
    HRESULT GetCamera(IDirect3DRMFrame** camera) override;
    HRESULT GetDevice(IDirect3DRMDevice** device) override;
    HRESULT GetPlane(D3DVALUE* left, D3DVALUE* right, D3DVALUE* bottom, D3DVALUE* top) override;
    HRESULT Pick(LONG x, LONG y, IDirect3DRMPickedArray** visuals) override;
    BOOL GetUniformScaling() override { return data.uniformScaling; }
    LONG GetX() override { return data.x; }
    LONG GetY() override { return data.y; }
    DWORD GetWidth() override { return data.width; }
    DWORD GetHeight() override { return data.height; }
    D3DVALUE GetField() override { return data.field; }
    D3DVALUE GetBack() override { return data.back; }
    D3DVALUE GetFront() override { return data.front; }
    D3DRMPROJECTIONTYPE GetProjection() override { return data.projection; }

    ViewportData data;
    Ref<IDirect3DRMDevice> device;

protected:
    ~Viewport() override;
};
Viewport* asViewport(IUnknown* object);
// IDirect3DRM::Tick: moves every viewed scene once, then clears, renders and updates.
HRESULT tickViewports(D3DVALUE delta);

}  // namespace rm
