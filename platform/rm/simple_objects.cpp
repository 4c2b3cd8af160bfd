// Lights, materials, textures, picked arrays, and the object bookkeeping.
#include <atomic>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "platform/rm/objects.h"

namespace rm {

namespace {
std::atomic<long> liveObjects{0};
std::atomic<uint64_t> serials{0};
}  // namespace

void noteObjectCreated() { ++liveObjects; }
void noteObjectDestroyed() { --liveObjects; }
uint64_t nextObjectSerial() { return ++serials; }
long liveObjectCount() { return liveObjects.load(); }

static std::unordered_set<IDirect3DRMObject*>& registry() {
    static std::unordered_set<IDirect3DRMObject*> objects;
    return objects;
}
void registerObject(IDirect3DRMObject* object) { registry().insert(object); }
void unregisterObject(IDirect3DRMObject* object) { registry().erase(object); }
IDirect3DRMObject* findNamedObject(const char* name) {
    if (!name || !*name) return nullptr;
    char buffer[512];
    for (IDirect3DRMObject* object : registry()) {
        DWORD size = sizeof buffer;
        if (SUCCEEDED(object->GetName(&size, buffer)) && std::strcmp(buffer, name) == 0) return object;
    }
    return nullptr;
}

uint64_t objectSerial(IUnknown* object) {
    if (auto* f = asFrame(object)) return f->serial();
    if (auto* b = asMeshBuilder(object)) return b->serial();
    if (auto* m = asMesh(object)) return m->serial();
    if (auto* t = asTexture(object)) return t->serial();
    if (auto* l = asLight(object)) return l->serial();
    if (auto* m = asMaterial(object)) return m->serial();
    return 0;
}

// ---- Material ----------------------------------------------------------------------
Material* asMaterial(IUnknown* object) { return dynamic_cast<Material*>(object); }

HRESULT Material::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMMaterial});
}
HRESULT Material::Clone(IUnknown* outer, REFIID riid, void** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Ref<Material> copy = adopt(new Material);
    copyObjectDataTo(*copy.get());
    copy->data = data;
    return copy->QueryInterface(riid, out);
}
HRESULT Material::SetPower(D3DVALUE power) {
    if (!std::isfinite(power)) return D3DRMERR_BADVALUE;
    data.power = power;
    return D3DRM_OK;
}
HRESULT Material::SetSpecular(D3DVALUE r, D3DVALUE g, D3DVALUE b) {
    data.specular[0] = r, data.specular[1] = g, data.specular[2] = b;
    return D3DRM_OK;
}
HRESULT Material::SetEmissive(D3DVALUE r, D3DVALUE g, D3DVALUE b) {
    data.emissive[0] = r, data.emissive[1] = g, data.emissive[2] = b;
    return D3DRM_OK;
}
HRESULT Material::GetSpecular(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) {
    if (!r || !g || !b) return D3DRMERR_BADVALUE;
    *r = data.specular[0], *g = data.specular[1], *b = data.specular[2];
    return D3DRM_OK;
}
HRESULT Material::GetEmissive(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) {
    if (!r || !g || !b) return D3DRMERR_BADVALUE;
    *r = data.emissive[0], *g = data.emissive[1], *b = data.emissive[2];
    return D3DRM_OK;
}

// ---- Texture -----------------------------------------------------------------------
Texture* asTexture(IUnknown* object) { return dynamic_cast<Texture*>(object); }

HRESULT Texture::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out,
                       {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMVisual, &IID_IDirect3DRMTexture});
}
HRESULT Texture::Clone(IUnknown* outer, REFIID riid, void** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Ref<Texture> copy = adopt(new Texture);
    copyObjectDataTo(*copy.get());
    copy->data = data;
    return copy->QueryInterface(riid, out);
}
static bool powerOfTwo(DWORD v) { return v != 0 && (v & (v - 1)) == 0; }
HRESULT Texture::SetShades(DWORD shades) {
    if (!powerOfTwo(shades)) return D3DRMERR_BADVALUE;
    data.shades = shades;
    ++data.version;
    return D3DRM_OK;
}
HRESULT Texture::SetColors(DWORD colors) {
    if (colors == 0) return D3DRMERR_BADVALUE;
    data.colors = colors;
    ++data.version;
    return D3DRM_OK;
}
D3DRMIMAGE* Texture::GetImage() {
    image_ = D3DRMIMAGE{};
    image_.width = data.width;
    image_.height = data.height;
    image_.aspectx = image_.aspecty = 1;
    image_.depth = 32;
    image_.rgb = TRUE;
    image_.bytes_per_line = data.width * 4;
    image_.buffer1 = data.rgba.empty() ? nullptr : data.rgba.data();
    // Bytes R, G, B, A in memory: little-endian masks.
    image_.red_mask = 0x000000ffu;
    image_.green_mask = 0x0000ff00u;
    image_.blue_mask = 0x00ff0000u;
    image_.alpha_mask = 0xff000000u;
    return &image_;
}
HRESULT Texture::Changed(BOOL, BOOL) {
    ++data.version;
    return D3DRM_OK;
}
const TextureData& textureData(IDirect3DRMTexture* texture) { return asTexture(texture)->data; }

// ---- Light -------------------------------------------------------------------------
Light* asLight(IUnknown* object) { return dynamic_cast<Light*>(object); }

HRESULT Light::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMLight});
}
HRESULT Light::Clone(IUnknown* outer, REFIID riid, void** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Ref<Light> copy = adopt(new Light);
    copyObjectDataTo(*copy.get());
    copy->data = data;
    return copy->QueryInterface(riid, out);
}
HRESULT Light::SetType(D3DRMLIGHTTYPE type) {
    if (type < D3DRMLIGHT_AMBIENT || type > D3DRMLIGHT_PARALLELPOINT) return D3DRMERR_BADVALUE;
    data.type = type;
    return D3DRM_OK;
}
HRESULT Light::SetColor(D3DCOLOR color) {
    data.color = color;
    return D3DRM_OK;
}
HRESULT Light::SetColorRGB(D3DVALUE r, D3DVALUE g, D3DVALUE b) { return SetColor(D3DRMCreateColorRGB(r, g, b)); }
static HRESULT setNonNegative(D3DVALUE& field, D3DVALUE value) {
    if (!std::isfinite(value) || value < 0) return D3DRMERR_BADVALUE;
    field = value;
    return D3DRM_OK;
}
HRESULT Light::SetRange(D3DVALUE range) { return setNonNegative(data.range, range); }
HRESULT Light::SetUmbra(D3DVALUE angle) {
    HRESULT hr = setNonNegative(data.umbra, angle);
    if (SUCCEEDED(hr) && data.penumbra < data.umbra) data.penumbra = data.umbra;
    return hr;
}
HRESULT Light::SetPenumbra(D3DVALUE angle) {
    HRESULT hr = setNonNegative(data.penumbra, angle);
    if (SUCCEEDED(hr) && data.umbra > data.penumbra) data.umbra = data.penumbra;
    return hr;
}
HRESULT Light::SetConstantAttenuation(D3DVALUE v) { return setNonNegative(data.constantAttenuation, v); }
HRESULT Light::SetLinearAttenuation(D3DVALUE v) { return setNonNegative(data.linearAttenuation, v); }
HRESULT Light::SetQuadraticAttenuation(D3DVALUE v) { return setNonNegative(data.quadraticAttenuation, v); }
HRESULT Light::SetEnableFrame(IDirect3DRMFrame* frame) {
    data.enableFrame = frame;
    return D3DRM_OK;
}
HRESULT Light::GetEnableFrame(IDirect3DRMFrame** frame) {
    if (!frame) return D3DRMERR_BADVALUE;
    *frame = data.enableFrame;
    if (*frame) (*frame)->AddRef();
    return D3DRM_OK;
}
const LightData& lightData(IDirect3DRMLight* light) { return asLight(light)->data; }

// ---- Picked array ------------------------------------------------------------------
HRESULT PickedArray::GetPick(DWORD index, IDirect3DRMVisual** visual, IDirect3DRMFrameArray** frames,
                             D3DRMPICKDESC* desc) {
    if (index >= picks_.size()) return D3DRMERR_BADVALUE;
    const PickRecord& p = picks_[index];
    if (visual) {
        *visual = p.visual.get();
        (*visual)->AddRef();
    }
    if (frames) *frames = new FrameArray(p.path);
    if (desc) *desc = p.desc;
    return D3DRM_OK;
}

// ---- Visual kinds ------------------------------------------------------------------
VisualKind visualKind(IDirect3DRMVisual* visual) {
    if (asFrame(visual)) return VisualKind::Frame;
    if (asMeshBuilder(visual)) return VisualKind::MeshBuilder;
    if (asMesh(visual)) return VisualKind::Mesh;
    if (asTexture(visual)) return VisualKind::Texture;
    return VisualKind::Other;
}
IDirect3DRMFrame* visualAsFrame(IDirect3DRMVisual* visual) { return asFrame(visual); }
const MeshBuilderData* meshBuilderData(IDirect3DRMVisual* visual) {
    auto* b = asMeshBuilder(visual);
    return b ? &b->data() : nullptr;
}
const MeshBuilderData* meshBuilderShape(IDirect3DRMVisual* visual) {
    auto* b = asMeshBuilder(visual);
    return b ? &b->shapeData() : nullptr;
}
const MeshData* meshData(IDirect3DRMVisual* visual) {
    auto* m = asMesh(visual);
    return m ? &m->data : nullptr;
}

}  // namespace rm
