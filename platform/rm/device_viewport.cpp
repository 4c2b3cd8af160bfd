// Devices and viewports: their state, the projection, Transform, InverseTransform
// and Pick. Drawing is delegated to the backend registered by the drawing layer.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/rm/device_viewport.h"

namespace rm {

namespace {
DeviceBackendFactory& factorySlot() {
    static DeviceBackendFactory factory;
    return factory;
}
}  // namespace

void setDeviceBackendFactory(DeviceBackendFactory factory) { factorySlot() = std::move(factory); }
bool hasDeviceBackendFactory() { return static_cast<bool>(factorySlot()); }

// ---- Device ---------------------------------------------------------------------

HRESULT createDevice(const DeviceBackendRequest& request, IDirect3DRMDevice** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (!factorySlot()) return D3DRMERR_BADDEVICE;
    DeviceBackendResult made = factorySlot()(request);
    if (FAILED(made.result)) return made.result;
    if (!made.backend) return D3DRMERR_BADDEVICE;
    auto* device = new Device;
    device->backend = std::move(made.backend);
    device->data.colorModel = made.colorModel;
    device->data.width = made.width ? made.width : static_cast<DWORD>(std::max(request.width, 0));
    device->data.height = made.height ? made.height : static_cast<DWORD>(std::max(request.height, 0));
    *out = device;
    return D3DRM_OK;
}

Device* asDevice(IUnknown* object) {
    if (auto* d = dynamic_cast<Device*>(object)) return d;
    if (auto* w = dynamic_cast<Device::WinDeviceFace*>(object)) return w->owner;
    return nullptr;
}

HRESULT Device::QueryInterface(REFIID riid, void** out) {
    if (out && IsEqualGUID(riid, IID_IDirect3DRMWinDevice)) {
        AddRef();
        *out = static_cast<IDirect3DRMWinDevice*>(&winDevice_);
        return S_OK;
    }
    return answerQuery(static_cast<IDirect3DRMDevice*>(this), riid, out,
                       {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMDevice});
}

HRESULT Device::Update() { return backend ? backend->update(data) : D3DRMERR_BADDEVICE; }
HRESULT Device::SetBufferCount(DWORD count) {
    if (count == 0) return D3DRMERR_BADVALUE;
    data.bufferCount = count;
    return D3DRM_OK;
}
HRESULT Device::SetDither(BOOL dither) {
    data.dither = dither ? TRUE : FALSE;
    return D3DRM_OK;
}
HRESULT Device::SetShades(DWORD shades) {
    if (shades == 0 || (shades & (shades - 1)) != 0) return D3DRMERR_BADVALUE;
    data.shades = shades;
    return D3DRM_OK;
}
HRESULT Device::SetQuality(D3DRMRENDERQUALITY quality) {
    if ((quality & ~(D3DRMSHADE_MASK | D3DRMLIGHT_MASK | D3DRMFILL_MASK)) != 0) return D3DRMERR_BADVALUE;
    data.quality = quality;
    return D3DRM_OK;
}
HRESULT Device::SetTextureQuality(D3DRMTEXTUREQUALITY quality) {
    if (quality < D3DRMTEXTURE_NEAREST || quality > D3DRMTEXTURE_LINEARMIPLINEAR) return D3DRMERR_BADVALUE;
    data.textureQuality = quality;
    return D3DRM_OK;
}

HRESULT Device::WinDeviceFace::QueryInterface(REFIID riid, void** out) { return owner->QueryInterface(riid, out); }
ULONG Device::WinDeviceFace::AddRef() { return owner->AddRef(); }
ULONG Device::WinDeviceFace::Release() { return owner->Release(); }
HRESULT Device::WinDeviceFace::HandlePaint(HDC hdc) {
    return owner->backend ? owner->backend->handlePaint(owner->data, hdc) : D3DRMERR_BADDEVICE;
}
HRESULT Device::WinDeviceFace::HandleActivate(WORD wparam) {
    return owner->backend ? owner->backend->handleActivate(owner->data, wparam) : D3DRMERR_BADDEVICE;
}
HRESULT Device::WinDeviceFace::Clone(IUnknown*, REFIID, void** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}
HRESULT Device::WinDeviceFace::AddDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) {
    return owner->AddDestroyCallback(cb, arg);
}
HRESULT Device::WinDeviceFace::DeleteDestroyCallback(D3DRMOBJECTCALLBACK cb, void* arg) {
    return owner->DeleteDestroyCallback(cb, arg);
}
HRESULT Device::WinDeviceFace::SetAppData(DWORD v) { return owner->SetAppData(v); }
DWORD Device::WinDeviceFace::GetAppData() { return owner->GetAppData(); }
HRESULT Device::WinDeviceFace::SetName(const char* n) { return owner->SetName(n); }
HRESULT Device::WinDeviceFace::GetName(DWORD* s, char* n) { return owner->GetName(s, n); }
HRESULT Device::WinDeviceFace::GetClassName(DWORD* s, char* n) { return owner->GetClassName(s, n); }

const DeviceData& deviceData(IDirect3DRMDevice* device) { return asDevice(device)->data; }
DeviceData& mutableDeviceData(IDirect3DRMDevice* device) { return asDevice(device)->data; }

// ---- Projection -------------------------------------------------------------------

namespace {

struct Scales {
    double sx, sy;  // pixels per unit of x/z and y/z, field included
};

Scales scalesOf(const ViewportData& v) {
    double w = v.width, h = v.height;
    double major = std::max(w, h) / 2.0;
    double field = v.field > 0 ? v.field : 0.5;
    if (v.uniformScaling) return {major / field, major / field};
    return {w / 2.0 / field, h / 2.0 / field};
}

Matrix cameraWorld(const ViewportData& v) { return v.camera ? frameWorldMatrix(v.camera) : Matrix::identity(); }

}  // namespace

Matrix viewMatrix(const ViewportData& viewport) {
    Matrix inv;
    invert(cameraWorld(viewport), inv);
    return inv;
}

Matrix projectionMatrix(const ViewportData& v) {
    Scales s = scalesOf(v);
    double hw = std::max<double>(v.width, 1) / 2.0, hh = std::max<double>(v.height, 1) / 2.0;
    double front = v.front, back = v.back > v.front ? v.back : v.front + 1;
    Matrix p{};
    if (v.projection == D3DRMPROJECT_ORTHOGRAPHIC) {
        // The window on the front plane is drawn at every depth.
        p.m[0][0] = float(s.sx / (front * hw));
        p.m[1][1] = float(s.sy / (front * hh));
        p.m[2][2] = float(1.0 / (back - front));
        p.m[3][2] = float(-front / (back - front));
        p.m[3][3] = 1.0f;
        return p;
    }
    p.m[0][0] = float(s.sx / hw);
    p.m[1][1] = float(s.sy / hh);
    p.m[2][2] = float(back / (back - front));
    p.m[2][3] = 1.0f;
    p.m[3][2] = float(-back * front / (back - front));
    return p;
}

const ViewportData& viewportData(IDirect3DRMViewport* viewport) { return asViewport(viewport)->data; }

// ---- Viewport ---------------------------------------------------------------------

Viewport* asViewport(IUnknown* object) { return dynamic_cast<Viewport*>(object); }

namespace {
std::vector<Viewport*>& liveViewports() {
    static std::vector<Viewport*> viewports;
    return viewports;
}
}  // namespace

Viewport::Viewport() { liveViewports().push_back(this); }

Viewport::~Viewport() {
    std::erase(liveViewports(), this);
    if (data.camera) data.camera->Release();
}

HRESULT tickViewports(D3DVALUE delta) {
    if (!std::isfinite(delta)) return D3DRMERR_BADVALUE;
    std::vector<Ref<IDirect3DRMViewport>> viewports;
    for (Viewport* v : liveViewports()) viewports.emplace_back(v);
    std::vector<Ref<IDirect3DRMFrame>> scenes;
    std::vector<IDirect3DRMDevice*> devices;
    for (auto& ref : viewports) {
        Viewport* v = asViewport(ref.get());
        Frame* camera = asFrame(v->data.camera);
        if (!camera) continue;
        Frame* root = camera->root();
        bool seen = false;
        for (auto& s : scenes) seen = seen || s.get() == root;
        if (!seen) scenes.emplace_back(root);
        if (std::find(devices.begin(), devices.end(), v->device.get()) == devices.end())
            devices.push_back(v->device.get());
    }
    for (auto& scene : scenes) {
        HRESULT hr = scene->Move(delta);
        if (FAILED(hr)) return hr;
    }
    for (auto& ref : viewports) {
        Viewport* v = asViewport(ref.get());
        Frame* camera = asFrame(v->data.camera);
        if (!camera) continue;
        HRESULT hr = v->Clear();
        if (SUCCEEDED(hr)) hr = v->Render(camera->root());
        if (FAILED(hr)) return hr;
    }
    for (auto* d : devices) {
        HRESULT hr = d ? d->Update() : D3DRM_OK;
        if (FAILED(hr)) return hr;
    }
    return D3DRM_OK;
}

HRESULT Viewport::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMViewport});
}

HRESULT Viewport::Clear() {
    Device* d = asDevice(device.get());
    if (!d || !d->backend) return D3DRMERR_BADDEVICE;
    D3DCOLOR background = data.camera ? sceneBackground(data.camera) : 0xff000000u;
    return d->backend->clear(d->data, data, background);
}

HRESULT Viewport::Render(IDirect3DRMFrame* frame) {
    Device* d = asDevice(device.get());
    if (!d || !d->backend) return D3DRMERR_BADDEVICE;
    if (!asFrame(frame)) return D3DRMERR_BADOBJECT;
    if (!data.camera) return D3DRMERR_BADOBJECT;
    return d->backend->render(d->data, data, frame);
}

HRESULT Viewport::SetFront(D3DVALUE value) {
    if (!(value > 0) || !std::isfinite(value)) return D3DRMERR_BADVALUE;
    data.front = value;
    return D3DRM_OK;
}
HRESULT Viewport::SetBack(D3DVALUE value) {
    if (!(value > 0) || !std::isfinite(value)) return D3DRMERR_BADVALUE;
    data.back = value;
    return D3DRM_OK;
}
HRESULT Viewport::SetField(D3DVALUE value) {
    if (!(value > 0) || !std::isfinite(value)) return D3DRMERR_BADVALUE;
    data.field = value;
    return D3DRM_OK;
}
HRESULT Viewport::SetUniformScaling(BOOL value) {
    data.uniformScaling = value ? TRUE : FALSE;
    return D3DRM_OK;
}
HRESULT Viewport::SetCamera(IDirect3DRMFrame* camera) {
    if (!asFrame(camera)) return D3DRMERR_BADOBJECT;
    camera->AddRef();
    if (data.camera) data.camera->Release();
    data.camera = camera;
    return D3DRM_OK;
}
HRESULT Viewport::SetProjection(D3DRMPROJECTIONTYPE type) {
    // The right-handed projections would need mirrored scenes; this layer is left-handed.
    if (type != D3DRMPROJECT_PERSPECTIVE && type != D3DRMPROJECT_ORTHOGRAPHIC) return D3DRMERR_BADVALUE;
    data.projection = type;
    return D3DRM_OK;
}

HRESULT Viewport::Transform(D3DRMVECTOR4D* dst, D3DVECTOR* src) {
    if (!dst || !src) return D3DRMERR_BADVALUE;
    D3DVECTOR c = transformPoint(*src, viewMatrix(data));
    Scales s = scalesOf(data);
    double hw = data.width / 2.0, hh = data.height / 2.0;
    double front = data.front, back = data.back > data.front ? data.back : data.front + 1;
    if (data.projection == D3DRMPROJECT_ORTHOGRAPHIC) {
        dst->x = float(hw + s.sx * c.x / front);
        dst->y = float(hh - s.sy * c.y / front);
        dst->z = float((c.z - front) / (back - front));
        dst->w = 1.0f;
        return D3DRM_OK;
    }
    double w = c.z;
    dst->x = float(hw * w + s.sx * c.x);
    dst->y = float(hh * w - s.sy * c.y);
    dst->z = float(back / (back - front) * (w - front));
    dst->w = float(w);
    return D3DRM_OK;
}

HRESULT Viewport::InverseTransform(D3DVECTOR* dst, D3DRMVECTOR4D* src) {
    if (!dst || !src) return D3DRMERR_BADVALUE;
    double w = src->w;
    if (w == 0 || !std::isfinite(w)) return D3DRMERR_BADVALUE;
    Scales s = scalesOf(data);
    double hw = data.width / 2.0, hh = data.height / 2.0;
    D3DVECTOR c;
    if (data.projection == D3DRMPROJECT_ORTHOGRAPHIC) {
        double front = data.front, back = data.back > data.front ? data.back : data.front + 1;
        c = {float((src->x / w - hw) * front / s.sx), float((hh - src->y / w) * front / s.sy),
             float(front + src->z / w * (back - front))};
    } else {
        c = {float((src->x - hw * w) / s.sx), float((hh * w - src->y) / s.sy), float(w)};
    }
    *dst = transformPoint(c, cameraWorld(data));
    return D3DRM_OK;
}

HRESULT Viewport::Configure(LONG x, LONG y, DWORD width, DWORD height) {
    Device* d = asDevice(device.get());
    if (x < 0 || y < 0 || width == 0 || height == 0) return D3DRMERR_BADVALUE;
    if (d && (uint64_t(x) + width > d->data.width || uint64_t(y) + height > d->data.height)) return D3DRMERR_BADVALUE;
    data.x = x;
    data.y = y;
    data.width = width;
    data.height = height;
    return D3DRM_OK;
}

HRESULT Viewport::ForceUpdate(DWORD, DWORD, DWORD, DWORD) { return D3DRM_OK; }

HRESULT Viewport::SetPlane(D3DVALUE left, D3DVALUE right, D3DVALUE bottom, D3DVALUE top) {
    // Only symmetric windows are kept: the field is their half-extent at distance 1.
    if (!(right > left) || !(top > bottom)) return D3DRMERR_BADVALUE;
    D3DVALUE half = std::max(right - left, top - bottom) / 2 / data.front;
    return SetField(half);
}

HRESULT Viewport::GetPlane(D3DVALUE* left, D3DVALUE* right, D3DVALUE* bottom, D3DVALUE* top) {
    if (!left || !right || !bottom || !top) return D3DRMERR_BADVALUE;
    double major = std::max<double>(std::max<DWORD>(data.width, data.height), 1);
    double h = data.field * data.front;
    *right = float(h * data.width / major);
    *left = -*right;
    *top = float(h * data.height / major);
    *bottom = -*top;
    return D3DRM_OK;
}

HRESULT Viewport::GetCamera(IDirect3DRMFrame** camera) {
    if (!camera) return D3DRMERR_BADVALUE;
    *camera = data.camera;
    if (data.camera) data.camera->AddRef();
    return data.camera ? D3DRM_OK : D3DRMERR_NOTFOUND;
}

HRESULT Viewport::GetDevice(IDirect3DRMDevice** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = device.get();
    if (*out) (*out)->AddRef();
    return D3DRM_OK;
}

// ---- Pick -------------------------------------------------------------------------

namespace {

struct Ray {
    D3DVECTOR origin;
    D3DVECTOR dir;
};

bool rayHitsBox(const Ray& r, const D3DRMBOX& b, float tMax) {
    float t0 = 0, t1 = tMax;
    const float o[3] = {r.origin.x, r.origin.y, r.origin.z};
    const float d[3] = {r.dir.x, r.dir.y, r.dir.z};
    const float lo[3] = {b.min.x, b.min.y, b.min.z};
    const float hi[3] = {b.max.x, b.max.y, b.max.z};
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(d[i]) < 1e-20f) {
            if (o[i] < lo[i] || o[i] > hi[i]) return false;
            continue;
        }
        float inv = 1.0f / d[i];
        float a = (lo[i] - o[i]) * inv, c = (hi[i] - o[i]) * inv;
        if (a > c) std::swap(a, c);
        // A little slack so that rays through flat boxes are not lost to rounding.
        float eps = 1e-5f * (std::fabs(a) + std::fabs(c) + 1.0f);
        t0 = std::max(t0, a - eps);
        t1 = std::min(t1, c + eps);
        if (t0 > t1) return false;
    }
    return true;
}

// Both sides count: what matters is that the point lies on the object.
bool rayTriangle(const Ray& r, const D3DVECTOR& a, const D3DVECTOR& b, const D3DVECTOR& c, float& t) {
    D3DVECTOR e1 = b - a, e2 = c - a;
    D3DVECTOR p = cross(r.dir, e2);
    float det = dot(e1, p);
    if (std::fabs(det) < 1e-20f) return false;
    float inv = 1.0f / det;
    D3DVECTOR s = r.origin - a;
    float u = dot(s, p) * inv;
    if (u < -1e-6f || u > 1 + 1e-6f) return false;
    D3DVECTOR q = cross(s, e1);
    float v = dot(r.dir, q) * inv;
    if (v < -1e-6f || u + v > 1 + 1e-6f) return false;
    t = dot(e2, q) * inv;
    return true;
}

class Picker {
public:
    Picker(const Ray& worldRay, float tMin, float tMax) : ray_(worldRay), tMin_(tMin), tMax_(tMax) {}

    void visit(Frame* frame, const Matrix& world, std::vector<IDirect3DRMFrame*>& path, int depth) {
        if (depth > 256) return;
        path.push_back(frame);
        Matrix inv;
        bool invertible = invert(world, inv);
        Ray local{transformPoint(ray_.origin, inv), transformDirection(ray_.dir, inv)};
        for (auto* v : frame->visuals()) {
            if (auto* f = asFrame(v)) {
                visit(f, multiply(f->local(), world), path, depth + 1);
                continue;
            }
            if (!invertible) continue;
            float t;
            ULONG faceIndex;
            LONG group = -1;
            if (auto* b = asMeshBuilder(v)) {
                if (!hitBuilder(*b, local, t, faceIndex)) continue;
            } else if (auto* m = asMesh(v)) {
                if (!hitMesh(*m, local, t, faceIndex, group)) continue;
            } else {
                continue;
            }
            PickRecord rec{Ref<IDirect3DRMVisual>(v), path, {faceIndex, group, {}}, t};
            rec.desc.vPosition = ray_.origin + ray_.dir * t;
            results.push_back(std::move(rec));
        }
        for (auto* c : frame->children()) {
            Frame* child = asFrame(c);
            visit(child, multiply(child->local(), world), path, depth + 1);
        }
        path.pop_back();
    }

    std::vector<PickRecord> results;

private:
    bool hitBuilder(MeshBuilder& b, const Ray& r, float& best, ULONG& faceIndex) {
        // Positions and faces only: a pick does not make the normals a mesh still lacks.
        if (b.shapeData().faces.empty() || !rayHitsBox(r, b.cachedBox(), tMax_)) return false;
        const auto& d = b.shapeData();
        bool found = false;
        best = std::numeric_limits<float>::infinity();
        for (size_t fi = 0; fi < d.faces.size(); ++fi) {
            const BuilderFace& f = d.faces[fi];
            auto corner = [&](uint32_t k) -> const D3DVECTOR& {
                return d.positions[d.corners.vertex(f.firstCorner + k)];
            };
            const D3DVECTOR& a = corner(0);
            for (uint32_t k = 1; k + 1 < f.cornerCount; ++k) {
                float t;
                if (rayTriangle(r, a, corner(k), corner(k + 1), t) && t >= tMin_ &&
                    t <= tMax_ && t < best) {
                    best = t;
                    faceIndex = static_cast<ULONG>(fi);
                    found = true;
                }
            }
        }
        return found;
    }

    bool hitMesh(Mesh& m, const Ray& r, float& best, ULONG& faceIndex, LONG& group) {
        bool found = false;
        best = std::numeric_limits<float>::infinity();
        D3DRMBOX box;
        m.GetBox(&box);
        if (!rayHitsBox(r, box, tMax_)) return false;
        for (size_t gi = 0; gi < m.data.groups.size(); ++gi) {
            const auto& g = m.data.groups[gi];
            size_t at = 0;
            for (size_t fi = 0; fi < g.faceSizes.size(); ++fi) {
                uint32_t n = g.faceSizes[fi];
                const D3DVECTOR& a = g.vertices[g.indices[at]].position;
                for (uint32_t k = 1; k + 1 < n; ++k) {
                    float t;
                    if (rayTriangle(r, a, g.vertices[g.indices[at + k]].position,
                                    g.vertices[g.indices[at + k + 1]].position, t) &&
                        t >= tMin_ && t <= tMax_ && t < best) {
                        best = t;
                        faceIndex = static_cast<ULONG>(fi);
                        group = static_cast<LONG>(gi);
                        found = true;
                    }
                }
                at += n;
            }
        }
        return found;
    }

    Ray ray_;
    float tMin_, tMax_;
};

}  // namespace

HRESULT Viewport::Pick(LONG x, LONG y, IDirect3DRMPickedArray** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    Frame* camera = asFrame(data.camera);
    if (!camera) return D3DRMERR_BADOBJECT;
    Scales s = scalesOf(data);
    // Camera-space direction with z = 1, so the ray parameter is the depth.
    D3DVECTOR onScreen{float((x + 0.5 - data.width / 2.0) / s.sx), float((data.height / 2.0 - (y + 0.5)) / s.sy),
                       1.0f};
    D3DVECTOR originCamera{0, 0, 0}, dirCamera = onScreen;
    if (data.projection == D3DRMPROJECT_ORTHOGRAPHIC) {
        originCamera = {onScreen.x * data.front, onScreen.y * data.front, 0};
        dirCamera = {0, 0, 1};
    }
    Matrix cw = camera->world();
    Ray ray{transformPoint(originCamera, cw), transformDirection(dirCamera, cw)};
    // The ray parameter runs in camera z (the camera may be scaled: undo that).
    Picker picker(ray, data.front, data.back);
    std::vector<IDirect3DRMFrame*> path;
    Frame* root = camera->root();
    picker.visit(root, root->local(), path, 0);
    std::stable_sort(picker.results.begin(), picker.results.end(),
                     [](const PickRecord& a, const PickRecord& b) { return a.distance < b.distance; });
    *out = new PickedArray(std::move(picker.results));
    return D3DRM_OK;
}

}  // namespace rm
