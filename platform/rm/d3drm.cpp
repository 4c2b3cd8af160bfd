// Direct3DRMCreate and the IDirect3DRM object: the factory of every other object.
#include <cmath>
#include <string>

#include "platform/rm/device_viewport.h"
#include "platform/rm/objects.h"

namespace rm {

namespace {

class Direct3DRM final : public RefCounted<IDirect3DRM> {
public:
    HRESULT QueryInterface(REFIID riid, void** out) override {
        return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRM});
    }

    HRESULT CreateFrame(IDirect3DRMFrame* parent, IDirect3DRMFrame** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        if (parent && !asFrame(parent)) return D3DRMERR_BADOBJECT;
        auto* f = new Frame;
        if (parent) parent->AddChild(f);
        *out = f;
        return D3DRM_OK;
    }
    HRESULT CreateMesh(IDirect3DRMMesh** out) override { return make<Mesh>(out); }
    HRESULT CreateMeshBuilder(IDirect3DRMMeshBuilder** out) override { return make<MeshBuilder>(out); }
    HRESULT CreateFace(IDirect3DRMFace** out) override { return make<Face>(out); }
    HRESULT CreateAnimation(IDirect3DRMAnimation** out) override { return make<Animation>(out); }
    HRESULT CreateAnimationSet(IDirect3DRMAnimationSet** out) override { return make<AnimationSet>(out); }

    HRESULT CreateTexture(D3DRMIMAGE* image, IDirect3DRMTexture** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        if (!image || image->width <= 0 || image->height <= 0 || image->width > 16384 || image->height > 16384 ||
            !image->buffer1 || image->bytes_per_line <= 0)
            return D3DRMERR_BADVALUE;
        TextureData data;
        data.width = image->width;
        data.height = image->height;
        data.colors = colors_;
        data.shades = shades_;
        data.rgba.resize(size_t(image->width) * image->height * 4);
        const auto* src = static_cast<const unsigned char*>(image->buffer1);
        for (int y = 0; y < image->height; ++y) {
            const unsigned char* row = src + size_t(y) * image->bytes_per_line;
            for (int x = 0; x < image->width; ++x) {
                unsigned char* dst = &data.rgba[(size_t(y) * image->width + x) * 4];
                if (image->depth == 8 && !image->rgb) {
                    unsigned index = row[x];
                    if (!image->palette || int(index) >= image->palette_size) return D3DRMERR_BADVALUE;
                    const D3DRMPALETTEENTRY& e = image->palette[index];
                    dst[0] = e.red, dst[1] = e.green, dst[2] = e.blue, dst[3] = 255;
                } else if (image->depth == 24 || image->depth == 32) {
                    int bytes = image->depth / 8;
                    if (image->bytes_per_line < image->width * bytes) return D3DRMERR_BADVALUE;
                    uint32_t pixel = 0;
                    for (int b = 0; b < bytes; ++b) pixel |= uint32_t(row[x * bytes + b]) << (8 * b);
                    dst[0] = channel(pixel, image->red_mask);
                    dst[1] = channel(pixel, image->green_mask);
                    dst[2] = channel(pixel, image->blue_mask);
                    dst[3] = image->alpha_mask ? channel(pixel, image->alpha_mask) : 255;
                } else {
                    return D3DRMERR_BADVALUE;
                }
            }
        }
        auto* t = new Texture;
        t->data = std::move(data);
        *out = t;
        return D3DRM_OK;
    }

    HRESULT CreateLight(D3DRMLIGHTTYPE type, D3DCOLOR color, IDirect3DRMLight** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        auto* l = new Light;
        if (FAILED(l->SetType(type))) {
            l->Release();
            return D3DRMERR_BADVALUE;
        }
        l->data.color = color;
        *out = l;
        return D3DRM_OK;
    }
    HRESULT CreateLightRGB(D3DRMLIGHTTYPE type, D3DVALUE r, D3DVALUE g, D3DVALUE b, IDirect3DRMLight** out) override {
        return CreateLight(type, D3DRMCreateColorRGB(r, g, b), out);
    }
    HRESULT CreateMaterial(D3DVALUE power, IDirect3DRMMaterial** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        if (!std::isfinite(power)) return D3DRMERR_BADVALUE;
        auto* m = new Material;
        m->data.power = power;
        *out = m;
        return D3DRM_OK;
    }

    HRESULT CreateDeviceFromClipper(IDirectDrawClipper* clipper, GUID* guid, int width, int height,
                                    IDirect3DRMDevice** out) override {
        DeviceBackendRequest request;
        request.clipper = clipper;
        request.guid = guid;
        request.width = width;
        request.height = height;
        return createDevice(request, out);
    }

    HRESULT CreateViewport(IDirect3DRMDevice* deviceIface, IDirect3DRMFrame* camera, DWORD x, DWORD y, DWORD width,
                           DWORD height, IDirect3DRMViewport** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        Device* device = asDevice(deviceIface);
        if (!device) return D3DRMERR_BADDEVICE;
        if (!asFrame(camera)) return D3DRMERR_BADOBJECT;
        if (width == 0 || height == 0 || uint64_t(x) + width > device->data.width ||
            uint64_t(y) + height > device->data.height)
            return D3DRMERR_BADVALUE;
        auto* v = new Viewport;
        v->device = Ref<IDirect3DRMDevice>(device);
        v->SetCamera(camera);
        v->data.x = static_cast<LONG>(x);
        v->data.y = static_cast<LONG>(y);
        v->data.width = width;
        v->data.height = height;
        *out = v;
        return D3DRM_OK;
    }

    HRESULT LoadTexture(const char* filename, IDirect3DRMTexture** out) override {
        HRESULT hr = loadTextureFile(filename, colors_, shades_, out);
        if (hr != D3DRMERR_FILENOTFOUND || !filename || !*filename) return hr;
        // Then the search path, folder by folder.
        size_t start = 0;
        while (start <= searchPath_.size()) {
            size_t end = searchPath_.find(';', start);
            if (end == std::string::npos) end = searchPath_.size();
            std::string folder = searchPath_.substr(start, end - start);
            if (!folder.empty()) {
                std::string candidate = folder + "/" + filename;
                HRESULT again = loadTextureFile(candidate.c_str(), colors_, shades_, out);
                if (again != D3DRMERR_FILENOTFOUND) return again;
            }
            start = end + 1;
        }
        return hr;
    }
    HRESULT SetSearchPath(const char* path) override {
        searchPath_ = path ? path : "";
        return D3DRM_OK;
    }
    HRESULT AddSearchPath(const char* path) override {
        if (!path || !*path) return D3DRM_OK;
        if (!searchPath_.empty()) searchPath_ += ';';
        searchPath_ += path;
        return D3DRM_OK;
    }
    HRESULT GetSearchPath(DWORD* size, char* path) override {
        if (!size) return D3DRMERR_BADVALUE;
        DWORD needed = static_cast<DWORD>(searchPath_.size() + 1);
        if (path) {
            if (*size < needed) return D3DRMERR_BADVALUE;
            std::copy(searchPath_.c_str(), searchPath_.c_str() + needed, path);
        }
        *size = needed;
        return D3DRM_OK;
    }
    HRESULT SetDefaultTextureColors(DWORD colors) override {
        if (colors == 0) return D3DRMERR_BADVALUE;
        colors_ = colors;
        setDefaultTextureValues(colors_, shades_);
        return D3DRM_OK;
    }
    HRESULT SetDefaultTextureShades(DWORD shades) override {
        if (shades == 0 || (shades & (shades - 1)) != 0) return D3DRMERR_BADVALUE;
        shades_ = shades;
        setDefaultTextureValues(colors_, shades_);
        return D3DRM_OK;
    }
    HRESULT GetNamedObject(const char* name, IDirect3DRMObject** object) override {
        if (!object) return D3DRMERR_BADVALUE;
        // Not found is D3DRM_OK with null, as the platform answers.
        *object = findNamedObject(name);
        if (*object) (*object)->AddRef();
        return D3DRM_OK;
    }
    HRESULT Tick(D3DVALUE delta) override { return tickViewports(delta); }

private:
    template <class T, class Out>
    static HRESULT make(Out** out) {
        if (!out) return D3DRMERR_BADVALUE;
        *out = new T;
        return D3DRM_OK;
    }
    static unsigned char channel(uint32_t pixel, unsigned long mask) {
        if (!mask) return 0;
        uint32_t m = static_cast<uint32_t>(mask);
        int shift = 0;
        while (!(m & 1)) m >>= 1, ++shift;
        uint32_t v = (pixel >> shift) & m;
        return static_cast<unsigned char>(m ? v * 255 / m : 0);
    }

    DWORD colors_ = 8;
    DWORD shades_ = 16;
    std::string searchPath_;
};

}  // namespace
}  // namespace rm

HRESULT Direct3DRMCreate(IDirect3DRM** d3drm) {
    if (!d3drm) return D3DRMERR_BADVALUE;
    *d3drm = new rm::Direct3DRM;
    return D3DRM_OK;
}
