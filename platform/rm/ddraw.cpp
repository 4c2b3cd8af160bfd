#include "platform/rm/ddraw.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<long> liveObjects{0};

template <class Interface>
class RefCounted : public Interface {
public:
    RefCounted() { ++liveObjects; }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

protected:
    ~RefCounted() override { --liveObjects; }

private:
    ULONG refs_ = 1;
};

class Clipper final : public RefCounted<IDirectDrawClipper> {
public:
    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDirectDrawClipper) {
            AddRef();
            *out = static_cast<IDirectDrawClipper*>(this);
            return DD_OK;
        }
        return E_NOINTERFACE;
    }
    HRESULT SetHWnd(DWORD flags, HWND hwnd) override {
        if (flags != 0) return DDERR_INVALIDPARAMS;
        hwnd_ = hwnd;
        return DD_OK;
    }
    HRESULT GetHWnd(HWND* hwnd) override {
        if (!hwnd) return DDERR_INVALIDPARAMS;
        *hwnd = hwnd_;
        return DD_OK;
    }

private:
    HWND hwnd_ = nullptr;
};

constexpr DWORD kAllDepths = DDBD_1 | DDBD_2 | DDBD_4 | DDBD_8 | DDBD_16 | DDBD_24 | DDBD_32;

void describe(D3DDEVICEDESC& d, D3DCOLORMODEL model) {
    std::memset(&d, 0, sizeof d);
    d.dwSize = sizeof d;
    d.dwFlags = D3DDD_COLORMODEL | D3DDD_DEVCAPS | D3DDD_TRANSFORMCAPS | D3DDD_LIGHTINGCAPS | D3DDD_BCLIPPING |
                D3DDD_LINECAPS | D3DDD_TRICAPS | D3DDD_DEVICERENDERBITDEPTH | D3DDD_DEVICEZBUFFERBITDEPTH |
                D3DDD_MAXBUFFERSIZE | D3DDD_MAXVERTEXCOUNT;
    d.dcmColorModel = model;
    d.dtcTransformCaps.dwSize = sizeof d.dtcTransformCaps;
    d.bClipping = TRUE;
    d.dlcLightingCaps.dwSize = sizeof d.dlcLightingCaps;
    d.dlcLightingCaps.dwNumLights = 16;
    for (D3DPRIMCAPS* caps : {&d.dpcLineCaps, &d.dpcTriCaps}) {
        caps->dwSize = sizeof *caps;
        caps->dwMiscCaps = D3DPMISCCAPS_CULLNONE | D3DPMISCCAPS_CULLCW | D3DPMISCCAPS_CULLCCW;
        caps->dwShadeCaps = D3DPSHADECAPS_COLORFLATRGB | D3DPSHADECAPS_COLORGOURAUDRGB | D3DPSHADECAPS_COLORPHONGRGB;
        caps->dwTextureFilterCaps = D3DPTFILTERCAPS_NEAREST | D3DPTFILTERCAPS_LINEAR | D3DPTFILTERCAPS_MIPNEAREST |
                                    D3DPTFILTERCAPS_MIPLINEAR | D3DPTFILTERCAPS_LINEARMIPNEAREST |
                                    D3DPTFILTERCAPS_LINEARMIPLINEAR;
    }
    d.dwDeviceRenderBitDepth = kAllDepths;
    d.dwDeviceZBufferBitDepth = DDBD_16 | DDBD_24 | DDBD_32;
    d.dwMaxVertexCount = 0xffff;
}

class Direct3D final : public RefCounted<IDirect3D> {
public:
    explicit Direct3D(IDirectDraw* owner) : owner_(owner) { owner_->AddRef(); }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT FindDevice(LPD3DFINDDEVICESEARCH search, LPD3DFINDDEVICERESULT result) override {
        if (!search || !result || search->dwSize != sizeof(D3DFINDDEVICESEARCH) ||
            result->dwSize != sizeof(D3DFINDDEVICERESULT))
            return DDERR_INVALIDPARAMS;
        D3DCOLORMODEL model = D3DCOLOR_MONO;
        if (search->dwFlags & D3DFDS_COLORMODEL) {
            if (search->dcmColorModel != D3DCOLOR_MONO && search->dcmColorModel != D3DCOLOR_RGB)
                return DDERR_NOTFOUND;
            model = search->dcmColorModel;
        }
        if (search->dwFlags & D3DFDS_GUID) {
            if (search->guid == IID_IDirect3DRGBDevice)
                model = D3DCOLOR_RGB;
            else if (search->guid == IID_IDirect3DRampDevice)
                model = D3DCOLOR_MONO;
            else
                return DDERR_NOTFOUND;
            if ((search->dwFlags & D3DFDS_COLORMODEL) && search->dcmColorModel != model) return DDERR_NOTFOUND;
        }
        // The GL device counts as hardware; asked for software, the same device answers
        // as a software one (it draws at every depth either way).
        const bool hardware = !(search->dwFlags & D3DFDS_HARDWARE) || search->bHardware;
        result->guid = model == D3DCOLOR_RGB ? IID_IDirect3DRGBDevice : IID_IDirect3DRampDevice;
        std::memset(&result->ddHwDesc, 0, sizeof result->ddHwDesc);
        std::memset(&result->ddSwDesc, 0, sizeof result->ddSwDesc);
        result->ddHwDesc.dwSize = result->ddSwDesc.dwSize = sizeof(D3DDEVICEDESC);
        describe(hardware ? result->ddHwDesc : result->ddSwDesc, model);
        return DD_OK;
    }

private:
    ~Direct3D() override { owner_->Release(); }
    IDirectDraw* owner_;
};

class DirectDraw final : public RefCounted<IDirectDraw> {
public:
    HRESULT QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDirectDraw) {
            AddRef();
            *out = static_cast<IDirectDraw*>(this);
            return DD_OK;
        }
        if (riid == IID_IDirect3D) {
            *out = static_cast<IDirect3D*>(new Direct3D(this));
            return DD_OK;
        }
        return E_NOINTERFACE;
    }
};

HRESULT Direct3D::QueryInterface(REFIID riid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDirect3D) {
        AddRef();
        *out = static_cast<IDirect3D*>(this);
        return DD_OK;
    }
    // The Direct3D interface is an aggregate of its DirectDraw object.
    return owner_->QueryInterface(riid, out);
}

}  // namespace

HRESULT DirectDrawCreateClipper(DWORD flags, LPDIRECTDRAWCLIPPER* clipper, IUnknown* outer) {
    if (!clipper) return DDERR_INVALIDPARAMS;
    *clipper = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (flags != 0) return DDERR_INVALIDPARAMS;
    *clipper = new Clipper;
    return DD_OK;
}

HRESULT DirectDrawCreate(GUID* guid, LPDIRECTDRAW* ddraw, IUnknown* outer) {
    if (!ddraw) return DDERR_INVALIDPARAMS;
    *ddraw = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // Only the default driver exists (null, or the default-driver value 0).
    if (guid) {
        static const GUID kZero{};
        if (!(*guid == kZero)) return DDERR_INVALIDDIRECTDRAWGUID;
    }
    *ddraw = new DirectDraw;
    return DD_OK;
}

long ddrawLiveObjectCount() { return liveObjects.load(); }
