#include <algorithm>
#include <cmath>

#include "platform/rm/objects.h"

namespace rm {

Mesh* asMesh(IUnknown* object) { return dynamic_cast<Mesh*>(object); }

Mesh::~Mesh() {
    for (auto& g : data.groups)
        if (g.texture) g.texture->Release();
}

HRESULT Mesh::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out,
                       {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMVisual, &IID_IDirect3DRMMesh});
}

HRESULT Mesh::Clone(IUnknown* outer, REFIID riid, void** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Ref<Mesh> copy = adopt(new Mesh);
    copyObjectDataTo(*copy.get());
    copy->data = data;
    for (auto& g : copy->data.groups)
        if (g.texture) g.texture->AddRef();
    return copy->QueryInterface(riid, out);
}

MeshGroupData* Mesh::group(D3DRMGROUPINDEX id) {
    if (id < 0 || static_cast<size_t>(id) >= data.groups.size()) return nullptr;
    return &data.groups[id];
}

HRESULT Mesh::Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) {
    if (!std::isfinite(sx) || !std::isfinite(sy) || !std::isfinite(sz)) return D3DRMERR_BADVALUE;
    for (auto& g : data.groups)
        for (auto& v : g.vertices) v.position = {v.position.x * sx, v.position.y * sy, v.position.z * sz};
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) {
    if (!std::isfinite(tx) || !std::isfinite(ty) || !std::isfinite(tz)) return D3DRMERR_BADVALUE;
    for (auto& g : data.groups)
        for (auto& v : g.vertices) v.position = v.position + D3DVECTOR{tx, ty, tz};
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::GetBox(D3DRMBOX* box) {
    if (!box) return D3DRMERR_BADVALUE;
    bool any = false;
    D3DVECTOR lo{0, 0, 0}, hi{0, 0, 0};
    for (const auto& g : data.groups)
        for (const auto& v : g.vertices) {
            const D3DVECTOR& p = v.position;
            if (!any) lo = hi = p, any = true;
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
    box->min = lo;
    box->max = hi;
    return D3DRM_OK;
}

HRESULT Mesh::AddGroup(unsigned vertex_count, unsigned face_count, unsigned vertex_per_face, unsigned* face_data,
                       D3DRMGROUPINDEX* id) {
    if (!face_data || !id || vertex_count == 0) return D3DRMERR_BADVALUE;
    MeshGroupData g;
    size_t at = 0;
    for (unsigned f = 0; f < face_count; ++f) {
        unsigned n = vertex_per_face ? vertex_per_face : face_data[at++];
        if (n < 3) return D3DRMERR_BADVALUE;
        for (unsigned c = 0; c < n; ++c) {
            unsigned index = face_data[at++];
            if (index >= vertex_count) return D3DRMERR_BADVALUE;
            g.indices.push_back(index);
        }
        g.faceSizes.push_back(n);
    }
    g.vertices.assign(vertex_count, D3DRMVERTEX{});
    for (auto& v : g.vertices) v.color = 0xffffffffu;
    data.groups.push_back(std::move(g));
    *id = static_cast<D3DRMGROUPINDEX>(data.groups.size() - 1);
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::SetVertices(D3DRMGROUPINDEX id, unsigned start, unsigned count, D3DRMVERTEX* values) {
    MeshGroupData* g = group(id);
    if (!g || !values || start > g->vertices.size() || count > g->vertices.size() - start)
        return D3DRMERR_BADVALUE;
    std::copy(values, values + count, g->vertices.begin() + start);
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::GetVertices(D3DRMGROUPINDEX id, DWORD start, DWORD count, D3DRMVERTEX* values) {
    MeshGroupData* g = group(id);
    if (!g || !values || start > g->vertices.size() || count > g->vertices.size() - start)
        return D3DRMERR_BADVALUE;
    std::copy(g->vertices.begin() + start, g->vertices.begin() + start + count, values);
    return D3DRM_OK;
}

HRESULT Mesh::SetGroupColor(D3DRMGROUPINDEX id, D3DCOLOR color) {
    MeshGroupData* g = group(id);
    if (!g) return D3DRMERR_BADVALUE;
    g->color = color;
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::SetGroupColorRGB(D3DRMGROUPINDEX id, D3DVALUE r, D3DVALUE gr, D3DVALUE b) {
    return SetGroupColor(id, D3DRMCreateColorRGB(r, gr, b));
}

HRESULT Mesh::SetGroupMapping(D3DRMGROUPINDEX id, D3DRMMAPPING value) {
    MeshGroupData* g = group(id);
    if (!g) return D3DRMERR_BADVALUE;
    g->mapping = value;
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::SetGroupQuality(D3DRMGROUPINDEX id, D3DRMRENDERQUALITY value) {
    MeshGroupData* g = group(id);
    if (!g) return D3DRMERR_BADVALUE;
    g->quality = value;
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::SetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial* value) {
    MeshGroupData* g = group(id);
    Material* m = asMaterial(value);
    if (!g || !m) return D3DRMERR_BADVALUE;
    g->material = m->data;
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::SetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture* value) {
    MeshGroupData* g = group(id);
    if (!g || (value && !asTexture(value))) return D3DRMERR_BADVALUE;
    if (value) value->AddRef();
    if (g->texture) g->texture->Release();
    g->texture = value;
    ++data.version;
    return D3DRM_OK;
}

HRESULT Mesh::GetGroup(D3DRMGROUPINDEX id, unsigned* vertex_count, unsigned* face_count, unsigned* vertex_per_face,
                       DWORD* face_data_size, unsigned* face_data) {
    MeshGroupData* g = group(id);
    if (!g) return D3DRMERR_BADVALUE;
    bool uniform = !g->faceSizes.empty() &&
                   std::all_of(g->faceSizes.begin(), g->faceSizes.end(), [&](uint32_t n) { return n == g->faceSizes[0]; });
    DWORD needed = static_cast<DWORD>(g->indices.size() + (uniform ? 0 : g->faceSizes.size()));
    if (vertex_count) *vertex_count = static_cast<unsigned>(g->vertices.size());
    if (face_count) *face_count = static_cast<unsigned>(g->faceSizes.size());
    if (vertex_per_face) *vertex_per_face = uniform ? g->faceSizes[0] : 0;
    if (face_data_size) {
        if (face_data) {
            if (*face_data_size < needed) return D3DRMERR_BADVALUE;
            size_t at = 0, src = 0;
            for (uint32_t n : g->faceSizes) {
                if (!uniform) face_data[at++] = n;
                for (uint32_t c = 0; c < n; ++c) face_data[at++] = g->indices[src++];
            }
        }
        *face_data_size = needed;
    }
    return D3DRM_OK;
}

D3DCOLOR Mesh::GetGroupColor(D3DRMGROUPINDEX id) {
    MeshGroupData* g = group(id);
    return g ? g->color : 0;
}
D3DRMMAPPING Mesh::GetGroupMapping(D3DRMGROUPINDEX id) {
    MeshGroupData* g = group(id);
    return g ? g->mapping : 0;
}
D3DRMRENDERQUALITY Mesh::GetGroupQuality(D3DRMGROUPINDEX id) {
    MeshGroupData* g = group(id);
    return g ? g->quality : 0;
}
HRESULT Mesh::GetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial** material) {
    MeshGroupData* g = group(id);
    if (!g || !material) return D3DRMERR_BADVALUE;
    auto* m = new Material;
    m->data = g->material;
    *material = m;
    return D3DRM_OK;
}
HRESULT Mesh::GetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture** texture) {
    MeshGroupData* g = group(id);
    if (!g || !texture) return D3DRMERR_BADVALUE;
    *texture = g->texture;
    if (g->texture) g->texture->AddRef();
    return D3DRM_OK;
}

}  // namespace rm
