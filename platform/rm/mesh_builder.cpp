#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "platform/parallel.h"
#include "platform/rm/big_memory.h"
#include "platform/rm/objects.h"

namespace rm {

MeshBuilder* asMeshBuilder(IUnknown* object) { return dynamic_cast<MeshBuilder*>(object); }

namespace {

// Faces [first, first + count) of a builder; each face object is made when asked for,
// so that asking a million-face builder for its faces costs nothing up front.
class BuilderFaceArray final : public RefCounted<IDirect3DRMFaceArray> {
public:
    BuilderFaceArray(MeshBuilder* builder, uint32_t first, uint32_t count)
        : builder_(builder), first_(first), count_(count) {}
    HRESULT QueryInterface(REFIID riid, void** out) override {
        return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMFaceArray});
    }
    DWORD GetSize() override { return count_; }
    HRESULT GetElement(DWORD index, IDirect3DRMFace** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        if (index >= count_) return D3DRMERR_BADVALUE;
        *out = new Face(builder_.get(), first_ + index);
        return D3DRM_OK;
    }

private:
    Ref<MeshBuilder> builder_;
    uint32_t first_, count_;
};

}  // namespace

MeshBuilder::~MeshBuilder() {
    for (auto* t : data_.textures)
        if (t) t->Release();
}

HRESULT MeshBuilder::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out,
                       {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMVisual, &IID_IDirect3DRMMeshBuilder});
}

void MeshBuilder::clear() {
    normalsFrom_ = kNothingDeferred;
    for (auto* t : data_.textures)
        if (t) t->Release();
    D3DRMRENDERQUALITY quality = data_.quality;
    uint64_t version = data_.version;
    materialSlots_ = {};
    textureSlots_ = {};
    data_ = MeshBuilderData{};
    data_.quality = quality;
    data_.version = version + 1;
}

HRESULT MeshBuilder::Clone(IUnknown* outer, REFIID riid, void** out) {
    settleNormals();
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // Deep copy; textures are shared.
    Ref<MeshBuilder> copy = adopt(new MeshBuilder);
    copyObjectDataTo(*copy.get());
    copy->data_ = data_;
    for (auto* t : copy->data_.textures)
        if (t) t->AddRef();
    return copy->QueryInterface(riid, out);
}

// Both tables are looked up through an index, so that merging many meshes, each with its
// own materials, costs no scan of the table per material. The index catches up with
// entries added since; an entry it holds is checked before it is trusted.
uint32_t MeshBuilder::textureIndex(IDirect3DRMTexture* texture) {
    if (!texture) return 0;
    auto& t = data_.textures;
    for (bool fresh = false;; fresh = true) {
        if (fresh || textureSlots_.indexed > t.size()) textureSlots_ = {};
        for (; textureSlots_.indexed < t.size(); ++textureSlots_.indexed)
            textureSlots_.slots.emplace(t[textureSlots_.indexed], uint32_t(textureSlots_.indexed));
        auto it = textureSlots_.slots.find(texture);
        if (it == textureSlots_.slots.end()) break;
        if (it->second < t.size() && t[it->second] == texture) return it->second;
        if (fresh) break;
    }
    texture->AddRef();
    t.push_back(texture);
    return static_cast<uint32_t>(t.size() - 1);
}

uint32_t MeshBuilder::materialIndex(const MaterialData& m) {
    auto& all = data_.materials;
    auto key = [](const MaterialData& d) { return std::string(reinterpret_cast<const char*>(&d), sizeof d); };
    for (bool fresh = false;; fresh = true) {
        if (fresh || materialSlots_.indexed > all.size()) materialSlots_ = {};
        for (; materialSlots_.indexed < all.size(); ++materialSlots_.indexed)
            materialSlots_.slots.emplace(key(all[materialSlots_.indexed]), uint32_t(materialSlots_.indexed));
        auto it = materialSlots_.slots.find(key(m));
        if (it == materialSlots_.slots.end()) break;
        if (it->second < all.size() && std::memcmp(&all[it->second], &m, sizeof m) == 0) return it->second;
        if (fresh) break;
    }
    all.push_back(m);
    return static_cast<uint32_t>(all.size() - 1);
}

void CornerList::reserve(size_t n, bool withNormals) {
    reserveOnHugePages(vertices_, n);
    if (withNormals || withNormals_) reserveOnHugePages(normals_, n);
}

uint32_t FaceLooks::indexOf(const FaceLook& look) {
    auto [at, added] = index_.emplace(look, uint32_t(list_.size()));
    if (added) list_.push_back(look);
    return at->second;
}

void CornerList::holdNormals() {
    reserveOnHugePages(normals_, vertices_.capacity());
    normals_.assign(vertices_.size(), kNoNormal);
    withNormals_ = true;
}

D3DVECTOR faceNormalOf(const MeshBuilderData& d, const BuilderFace& f) {
    // Newell's method: robust for polygons whose first corners are collinear. In left-
    // handed coordinates it points at a viewer who sees the corners clockwise.
    D3DVECTOR n{0, 0, 0};
    for (uint32_t i = 0; i < f.cornerCount; ++i) {
        const D3DVECTOR& a = d.positions[d.corners[f.firstCorner + i].vertex];
        const D3DVECTOR& b = d.positions[d.corners[f.firstCorner + (i + 1) % f.cornerCount].vertex];
        n.x += (a.y - b.y) * (a.z + b.z);
        n.y += (a.z - b.z) * (a.x + b.x);
        n.z += (a.x - b.x) * (a.y + b.y);
    }
    if (!normalize(n)) n = {0, 0, 0};
    return n;
}

namespace {

// Faces meeting at a vertex at more than this angle keep a hard edge between them.
constexpr float kCosCreaseAngle = 0.5f;  // 60 degrees

// Beyond this many faces at one vertex, faces are gathered into a few clusters instead of
// each being compared with all the others.
constexpr size_t kExactFacesPerVertex = 256;
constexpr size_t kMaxClusters = 32;

// The corners that need a normal, grouped by their vertex: group g is entries
// [bounds[g], bounds[g + 1]), each a corner with the face (relative to the first face
// looked at) it belongs to. Within a group the faces keep their order. An entry is the
// face shifted left by `shift` and the corner's place in it, in 4 bytes, where that fits
// (a million-face mesh needs no 8 bytes a corner here); else a (corner, face) pair.
struct CornersByVertex {
    std::vector<uint32_t> packed;
    std::vector<std::pair<uint32_t, uint32_t>> wide;
    uint32_t shift = 0;
    std::vector<uint32_t> bounds;
};

}  // namespace

void MeshBuilder::generateMissingNormals(size_t firstFace) {
    auto& d = data_;
    if (firstFace >= d.faces.size()) return;
    // The faces' normals (each written once, by its part: the array is not cleared first),
    // and the corners without a normal and the span of their vertices, in parts.
    const size_t faceCount = d.faces.size() - firstFace;
    std::unique_ptr<D3DVECTOR[]> faceNormals(new D3DVECTOR[faceCount]);
    preferHugePages(faceNormals.get(), faceCount * sizeof(D3DVECTOR));
    struct Missing {
        size_t count = 0;
        uint32_t lo = UINT32_MAX, hi = 0;
    };
    const unsigned faceParts = partsFor(faceCount);
    std::vector<Missing> missing(faceParts);
    runInParts(faceCount, faceParts, [&](unsigned p, size_t from, size_t to) {
        Missing& m = missing[p];
        for (size_t fi = firstFace + from; fi < firstFace + to; ++fi) {
            const BuilderFace& f = d.faces[fi];
            faceNormals[fi - firstFace] = faceNormalOf(d, f);
            for (uint32_t c = 0; c < f.cornerCount; ++c) {
                const FaceCorner corner = d.corners[f.firstCorner + c];
                if (corner.normal != kNoNormal) continue;
                ++m.count;
                m.lo = std::min(m.lo, corner.vertex);
                m.hi = std::max(m.hi, corner.vertex);
            }
        }
    });
    size_t count = 0;
    uint32_t lo = UINT32_MAX, hi = 0;
    for (const Missing& m : missing) {
        count += m.count;
        lo = std::min(lo, m.lo);
        hi = std::max(hi, m.hi);
    }
    if (count == 0) return;
    auto eachCorner = [&](auto&& use) {
        for (size_t fi = firstFace; fi < d.faces.size(); ++fi) {
            const BuilderFace& f = d.faces[fi];
            for (uint32_t k = 0; k < f.cornerCount; ++k)
                if (d.corners[f.firstCorner + k].normal == kNoNormal) use(f.firstCorner + k, uint32_t(fi - firstFace), k);
        }
    };
    CornersByVertex by;
    const size_t range = size_t(hi) - lo + 1;
    if (range <= 4 * count + 1024) {
        // A mesh appended to a builder uses a block of vertices of its own: a counting sort
        // over that block keeps the work linear in the mesh being added.
        uint32_t most = 1;
        for (size_t fi = firstFace; fi < d.faces.size(); ++fi) most = std::max(most, d.faces[fi].cornerCount);
        while (by.shift < 32 && (uint64_t{1} << by.shift) < most) ++by.shift;
        const bool pack = by.shift < 32 && (uint64_t(d.faces.size() - firstFace) << by.shift) <= UINT32_MAX;
        if (pack) {
            reserveOnHugePages(by.packed, count);
            by.packed.resize(count);
        } else {
            reserveOnHugePages(by.wide, count);
            by.wide.resize(count);
        }
        by.bounds.assign(range + 1, 0);
        eachCorner([&](uint32_t c, uint32_t, uint32_t) { ++by.bounds[d.corners[c].vertex - lo + 1]; });
        for (size_t k = 1; k <= range; ++k) by.bounds[k] += by.bounds[k - 1];
        std::vector<uint32_t> next(by.bounds.begin(), by.bounds.end() - 1);
        eachCorner([&](uint32_t c, uint32_t f, uint32_t k) {
            const uint32_t at = next[d.corners[c].vertex - lo]++;
            if (pack)
                by.packed[at] = f << by.shift | k;
            else
                by.wide[at] = {c, f};
        });
    } else {
        reserveOnHugePages(by.wide, count);
        by.wide.resize(count);
        size_t at = 0;
        eachCorner([&](uint32_t c, uint32_t f, uint32_t) { by.wide[at++] = {c, f}; });
        std::stable_sort(by.wide.begin(), by.wide.end(), [&](const auto& a, const auto& b) {
            return d.corners[a.first].vertex < d.corners[b.first].vertex;
        });
        for (size_t k = 0; k < count; ++k)
            if (k == 0 || d.corners[by.wide[k].first].vertex != d.corners[by.wide[k - 1].first].vertex)
                by.bounds.push_back(uint32_t(k));
        by.bounds.push_back(uint32_t(count));
    }
    auto faceAt = [&](size_t i) { return by.packed.empty() ? by.wide[i].second : by.packed[i] >> by.shift; };
    auto cornerAt = [&](size_t i) {
        if (by.packed.empty()) return by.wide[i].first;
        return d.faces[firstFace + (by.packed[i] >> by.shift)].firstCorner + (by.packed[i] & ((1u << by.shift) - 1));
    };

    reserveOnHugePages(d.normals, d.normals.size() + std::min(count, 2 * (size_t(hi) - lo + 1)));
    // The vertices in parts, each working out its vertices' normals into a list of its own
    // (the first part straight into the builder's); the others' lists are then put after it
    // in vertex order and their corners numbered on by what came before them, as one pass
    // in vertex order numbers them. Corners hold normals from here on, so that the parts
    // can set them side by side.
    d.corners.holdAllNormals();
    auto normalsFor = [&](size_t groupFrom, size_t groupTo, auto& out) {
        std::vector<D3DVECTOR> made;      // this vertex's normals so far, to share equal ones
        std::vector<uint32_t> madeIndex;  // their indices in `out`
        std::vector<D3DVECTOR> clusterFirst, clusterSum;
        std::vector<uint32_t> clusterOf;
        std::vector<D3DVECTOR> around;                           // the normals of a vertex's faces
        std::vector<uint64_t> takes;                             // per face: the faces it takes
        std::vector<std::pair<uint64_t, D3DVECTOR>> summed;      // sums made for this vertex
        auto assign = [&](uint32_t corner, uint32_t face, D3DVECTOR n) {
            // A corner whose neighbours cancel out takes its face's normal; only a face without
            // area leaves a zero normal, which the drawing side lights as facing the eye.
            if (!normalize(n)) n = faceNormals[face];
            size_t k = 0;
            while (k < made.size() && k < kMaxClusters && std::memcmp(&made[k], &n, sizeof n) != 0) ++k;
            if (k == made.size() || k == kMaxClusters) {
                k = made.size();
                made.push_back(n);
                madeIndex.push_back(static_cast<uint32_t>(out.size()));
                out.push_back(n);
            }
            d.corners.setNormal(corner, madeIndex[k]);
        };
        for (size_t g = groupFrom; g < groupTo; ++g) {
            const size_t begin = by.bounds[g], end = by.bounds[g + 1];
            if (begin == end) continue;
            made.clear();
            madeIndex.clear();
            if (end - begin <= kExactFacesPerVertex) {
                // Each corner: the faces at its vertex within the crease angle of its own face,
                // summed in their order.
                const size_t k = end - begin;
                around.resize(k);
                for (size_t i = 0; i < k; ++i) around[i] = faceNormals[faceAt(begin + i)];
                if (k > 64) {
                    for (size_t a = 0; a < k; ++a) {
                        D3DVECTOR sum{0, 0, 0};
                        for (size_t b = 0; b < k; ++b)
                            if (dot(around[a], around[b]) >= kCosCreaseAngle) sum = sum + around[b];
                        assign(cornerAt(begin + a), faceAt(begin + a), sum);
                    }
                    continue;
                }
                // The faces each face takes (the test is symmetric); corners that take the same
                // faces have the same sum, made once (on a smooth surface, once a vertex).
                takes.assign(k, 0);
                for (size_t a = 0; a < k; ++a)
                    for (size_t b = a; b < k; ++b)
                        if (dot(around[a], around[b]) >= kCosCreaseAngle) {
                            takes[a] |= uint64_t{1} << b;
                            takes[b] |= uint64_t{1} << a;
                        }
                summed.clear();
                for (size_t a = 0; a < k; ++a) {
                    size_t s = 0;
                    while (s < summed.size() && summed[s].first != takes[a]) ++s;
                    if (s == summed.size()) {
                        D3DVECTOR sum{0, 0, 0};
                        for (size_t b = 0; b < k; ++b)
                            if (takes[a] >> b & 1) sum = sum + around[b];
                        summed.push_back({takes[a], sum});
                    }
                    assign(cornerAt(begin + a), faceAt(begin + a), summed[s].second);
                }
                continue;
            }
            // Each face joins the first cluster whose first face is within the crease angle.
            clusterFirst.clear();
            clusterSum.clear();
            clusterOf.assign(end - begin, UINT32_MAX);
            for (size_t a = begin; a < end; ++a) {
                const D3DVECTOR own = faceNormals[faceAt(a)];
                size_t c = 0;
                while (c < clusterFirst.size() && dot(own, clusterFirst[c]) < kCosCreaseAngle) ++c;
                if (c == clusterFirst.size()) {
                    if (clusterFirst.size() == kMaxClusters || dot(own, own) == 0) continue;
                    clusterFirst.push_back(own);
                    clusterSum.push_back({0, 0, 0});
                }
                clusterSum[c] = clusterSum[c] + own;
                clusterOf[a - begin] = static_cast<uint32_t>(c);
            }
            for (size_t a = begin; a < end; ++a) {
                const uint32_t c = clusterOf[a - begin];
                const uint32_t face = faceAt(a);
                assign(cornerAt(a), face, c == UINT32_MAX ? faceNormals[face] : clusterSum[c]);
            }
        }
    };
    const size_t groups = by.bounds.size() - 1;
    const unsigned parts = partsFor(count);
    // The others' lists on pages of their own: at most a normal a corner.
    std::vector<std::unique_ptr<PageStack<D3DVECTOR>>> partNormals(parts);
    runInParts(groups, parts, [&](unsigned p, size_t from, size_t to) {
        if (p == 0) return normalsFor(from, to, d.normals);
        partNormals[p] = std::make_unique<PageStack<D3DVECTOR>>(by.bounds[to] - by.bounds[from]);
        normalsFor(from, to, *partNormals[p]);
    });
    if (parts < 2) return;
    std::vector<uint32_t> offsets(parts, 0);
    for (unsigned p = 1; p < parts; ++p) {
        offsets[p] = static_cast<uint32_t>(d.normals.size());
        d.normals.insert(d.normals.end(), partNormals[p]->begin(), partNormals[p]->end());
        partNormals[p].reset();
    }
    runInParts(groups, parts, [&](unsigned p, size_t from, size_t to) {
        if (p == 0) return;
        for (size_t i = by.bounds[from]; i < by.bounds[to]; ++i) {
            const uint32_t corner = cornerAt(i);
            d.corners.setNormal(corner, d.corners[corner].normal + offsets[p]);
        }
    });
}

void MeshBuilder::deferMissingNormals(size_t firstFace) {
    if (normalsFrom_ == kNothingDeferred) normalsFrom_ = firstFace;
}

void MeshBuilder::settleNormals() const {
    if (normalsFrom_ == kNothingDeferred) return;
    // The builder is never itself const: it only looks so to its readers.
    const_cast<MeshBuilder*>(this)->generateMissingNormals(normalsFrom_);
    normalsFrom_ = kNothingDeferred;
}

HRESULT MeshBuilder::GenerateNormals() {
    normalsFrom_ = kNothingDeferred;
    data_.corners.clearNormals();
    data_.normals.clear();
    generateMissingNormals(0);
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::AddFaces(DWORD vcount, D3DVECTOR* vertices, DWORD ncount, D3DVECTOR* normals, DWORD* data,
                              IDirect3DRMFaceArray** facesOut) {
    settleNormals();
    if (facesOut) *facesOut = nullptr;
    if ((vcount && !vertices) || (ncount && !normals)) return D3DRMERR_BADVALUE;
    auto& d = data_;
    const uint32_t vbase = static_cast<uint32_t>(d.positions.size());
    const uint32_t nbase = static_cast<uint32_t>(d.normals.size());
    // Check the whole list first so that a bad one adds nothing.
    std::vector<std::pair<size_t, DWORD>> faceSpans;  // offset of first index, count
    if (data) {
        size_t i = 0;
        const size_t step = ncount ? 2 : 1;
        while (data[i] != 0) {
            DWORD n = data[i];
            if (n < 3 || n > (1u << 20)) return D3DRMERR_BADVALUE;
            for (DWORD c = 0; c < n; ++c) {
                if (data[i + 1 + c * step] >= vcount) return D3DRMERR_BADVALUE;
                if (ncount && data[i + 2 + c * step] >= ncount) return D3DRMERR_BADVALUE;
            }
            faceSpans.emplace_back(i + 1, n);
            i += 1 + n * step;
        }
    }
    d.positions.insert(d.positions.end(), vertices, vertices + vcount);
    if (!d.texCoords.empty()) d.texCoords.resize(d.positions.size());
    if (!d.vertexColors.empty()) d.vertexColors.resize(d.positions.size(), 0xffffffffu);
    for (DWORD k = 0; k < ncount; ++k) {
        D3DVECTOR n = normals[k];
        d.normals.push_back(n);
    }
    const size_t firstFace = d.faces.size();
    for (auto [offset, n] : faceSpans) {
        BuilderFace f{static_cast<uint32_t>(d.corners.size()), n};
        for (DWORD c = 0; c < n; ++c) {
            if (ncount)
                d.corners.push_back({vbase + data[offset + 2 * c], nbase + data[offset + 2 * c + 1]});
            else
                d.corners.push_back({vbase + data[offset + c], kNoNormal});
        }
        d.faces.push_back(f);
    }
    if (!ncount) generateMissingNormals(firstFace);
    changed();
    if (facesOut)
        *facesOut = new BuilderFaceArray(this, uint32_t(firstFace), uint32_t(d.faces.size() - firstFace));
    return D3DRM_OK;
}

HRESULT MeshBuilder::ReserveSpace(DWORD vertex_count, DWORD normal_count, DWORD face_count) {
    settleNormals();
    try {
        data_.positions.reserve(data_.positions.size() + vertex_count);
        data_.normals.reserve(data_.normals.size() + normal_count);
        data_.faces.reserve(data_.faces.size() + face_count);
    } catch (const std::exception&) {
        return D3DRMERR_BADALLOC;
    }
    return D3DRM_OK;
}

void MeshBuilder::append(const MeshBuilderData& o, const Matrix& m) {
    settleNormals();
    auto& d = data_;
    const uint32_t vbase = static_cast<uint32_t>(d.positions.size());
    const uint32_t nbase = static_cast<uint32_t>(d.normals.size());
    Matrix normalMatrix;
    if (invert(m, normalMatrix)) {
        // Normals go with the inverse transpose.
        Matrix t;
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) t.m[i][j] = normalMatrix.m[j][i];
        normalMatrix = t;
    }
    for (const auto& p : o.positions) d.positions.push_back(transformPoint(p, m));
    for (auto n : o.normals) {
        n = transformDirection(n, normalMatrix);
        if (!normalize(n)) n = {0, 0, 0};
        d.normals.push_back(n);
    }
    if (!o.texCoords.empty() || !d.texCoords.empty()) {
        d.texCoords.resize(vbase);
        d.texCoords.insert(d.texCoords.end(), o.texCoords.begin(), o.texCoords.end());
        d.texCoords.resize(d.positions.size());
    }
    if (!o.vertexColors.empty() || !d.vertexColors.empty()) {
        d.vertexColors.resize(vbase, 0xffffffffu);
        d.vertexColors.insert(d.vertexColors.end(), o.vertexColors.begin(), o.vertexColors.end());
        d.vertexColors.resize(d.positions.size(), 0xffffffffu);
    }
    std::vector<uint32_t> materialMap(o.materials.size());
    for (size_t i = 0; i < o.materials.size(); ++i) materialMap[i] = materialIndex(o.materials[i]);
    std::vector<uint32_t> textureMap(o.textures.size());
    for (size_t i = 0; i < o.textures.size(); ++i) textureMap[i] = textureIndex(o.textures[i]);
    std::vector<uint32_t> lookMap(o.looks.size());
    for (uint32_t i = 0; i < o.looks.size(); ++i) {
        FaceLook look = o.looks[i];
        look.material = look.material < materialMap.size() ? materialMap[look.material] : 0;
        look.texture = look.texture < textureMap.size() ? textureMap[look.texture] : 0;
        lookMap[i] = d.looks.indexOf(look);
    }
    for (const auto& f : o.faces) {
        BuilderFace nf{static_cast<uint32_t>(d.corners.size()), f.cornerCount, lookMap[f.look]};
        for (uint32_t c = 0; c < f.cornerCount; ++c) {
            FaceCorner corner = o.corners[f.firstCorner + c];
            corner.vertex += vbase;
            if (corner.normal != kNoNormal) corner.normal += nbase;
            d.corners.push_back(corner);
        }
        d.faces.push_back(nf);
    }
    changed();
}

void MeshBuilder::adoptData(MeshBuilderData&& other) {
    for (auto* t : other.textures)
        if (t) t->AddRef();
    for (auto* t : data_.textures)
        if (t) t->Release();
    other.quality = data_.quality;
    other.colorSource = data_.colorSource;
    other.perspective = data_.perspective;
    other.version = data_.version + 1;
    materialSlots_ = {};
    textureSlots_ = {};
    data_ = std::move(other);
}

void MeshBuilder::appendMesh(const MeshData& mesh, const Matrix& m) {
    settleNormals();
    for (const auto& g : mesh.groups) {
        MeshBuilderData part;
        part.materials = {MaterialData{}, g.material};
        if (g.texture) {
            part.textures.push_back(g.texture);  // borrowed: append() takes its own reference
        }
        for (const auto& v : g.vertices) {
            part.positions.push_back(v.position);
            part.normals.push_back(v.normal);
            part.texCoords.push_back({v.tu, v.tv});
        }
        size_t at = 0;
        const uint32_t look = part.looks.indexOf({g.color, 1, g.texture ? 1u : 0u});
        for (uint32_t n : g.faceSizes) {
            BuilderFace f{static_cast<uint32_t>(part.corners.size()), n, look};
            for (uint32_t c = 0; c < n; ++c, ++at) part.corners.push_back({g.indices[at], g.indices[at]});
            part.faces.push_back(f);
        }
        append(part, m);
        part.textures.clear();
    }
}

HRESULT MeshBuilder::AddMeshBuilder(IDirect3DRMMeshBuilder* builder) {
    settleNormals();
    MeshBuilder* other = asMeshBuilder(builder);
    if (!other) return D3DRMERR_BADOBJECT;
    MeshBuilderData copy = other->data_;  // other may be this
    append(copy, Matrix::identity());
    return D3DRM_OK;
}

HRESULT MeshBuilder::AddMesh(IDirect3DRMMesh* meshIface) {
    settleNormals();
    Mesh* mesh = asMesh(meshIface);
    if (!mesh) return D3DRMERR_BADOBJECT;
    appendMesh(mesh->data, Matrix::identity());
    return D3DRM_OK;
}

static void gatherFrame(MeshBuilder& into, Frame* frame, const Matrix& toTarget, int depth) {
    if (depth > 64) return;
    for (auto* v : frame->visuals()) {
        if (auto* b = asMeshBuilder(v)) {
            if (b == &into) continue;
            into.append(b->data(), toTarget);
        } else if (auto* m = asMesh(v)) {
            into.appendMesh(m->data, toTarget);
        } else if (auto* f = asFrame(v)) {
            gatherFrame(into, f, multiply(f->local(), toTarget), depth + 1);
        }
    }
    for (auto* c : frame->children()) {
        Frame* child = asFrame(c);
        gatherFrame(into, child, multiply(child->local(), toTarget), depth + 1);
    }
}

HRESULT MeshBuilder::AddFrame(IDirect3DRMFrame* frameIface) {
    settleNormals();
    Frame* frame = asFrame(frameIface);
    if (!frame) return D3DRMERR_BADOBJECT;
    // In the frame's own coordinates: its own matrix is not applied.
    gatherFrame(*this, frame, Matrix::identity(), 0);
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::AddFace(IDirect3DRMFace* faceIface) {
    settleNormals();
    Face* face = dynamic_cast<Face*>(faceIface);
    if (!face) return D3DRMERR_BADOBJECT;
    if (face->bound()) return D3DRMERR_FACEUSED;
    return face->bindTo(this);
}

const D3DRMBOX& MeshBuilder::cachedBox() {
    if (boxVersion_ == data_.version) return box_;
    D3DVECTOR lo{0, 0, 0}, hi{0, 0, 0};
    if (!data_.positions.empty()) {
        lo = hi = data_.positions[0];
        for (const auto& p : data_.positions) {
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
    }
    box_ = D3DRMBOX{lo, hi};
    boxVersion_ = data_.version;
    return box_;
}

HRESULT MeshBuilder::GetBox(D3DRMBOX* box) {
    if (!box) return D3DRMERR_BADVALUE;
    *box = cachedBox();
    return D3DRM_OK;
}

HRESULT MeshBuilder::Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) {
    settleNormals();
    if (!std::isfinite(sx) || !std::isfinite(sy) || !std::isfinite(sz)) return D3DRMERR_BADVALUE;
    for (auto& p : data_.positions) p = {p.x * sx, p.y * sy, p.z * sz};
    if (sx != 0 && sy != 0 && sz != 0)
        for (auto& n : data_.normals) {
            D3DVECTOR s{n.x / sx, n.y / sy, n.z / sz};
            if (normalize(s)) n = s;
        }
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) {
    settleNormals();
    if (!std::isfinite(tx) || !std::isfinite(ty) || !std::isfinite(tz)) return D3DRMERR_BADVALUE;
    for (auto& p : data_.positions) p = p + D3DVECTOR{tx, ty, tz};
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetColorSource(D3DRMCOLORSOURCE source) {
    settleNormals();
    if (source != D3DRMCOLOR_FROMFACE && source != D3DRMCOLOR_FROMVERTEX) return D3DRMERR_BADVALUE;
    data_.colorSource = source;
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetColor(D3DCOLOR color) {
    settleNormals();
    changeLooks([&](FaceLook& look) { look.color = color; });
    if (!data_.vertexColors.empty()) std::fill(data_.vertexColors.begin(), data_.vertexColors.end(), color);
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetColorRGB(D3DVALUE r, D3DVALUE g, D3DVALUE b) { return SetColor(D3DRMCreateColorRGB(r, g, b)); }

HRESULT MeshBuilder::SetTexture(IDirect3DRMTexture* texture) {
    settleNormals();
    if (texture && !asTexture(texture)) return D3DRMERR_BADOBJECT;
    uint32_t index = textureIndex(texture);
    changeLooks([&](FaceLook& look) { look.texture = index; });
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetMaterial(IDirect3DRMMaterial* material) {
    settleNormals();
    Material* m = asMaterial(material);
    if (!m) return D3DRMERR_BADOBJECT;
    uint32_t index = materialIndex(m->data);
    changeLooks([&](FaceLook& look) { look.material = index; });
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetQuality(D3DRMRENDERQUALITY quality) {
    data_.quality = quality;
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetPerspective(BOOL enable) {
    data_.perspective = enable;
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetVertex(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    settleNormals();
    if (index >= data_.positions.size()) return D3DRMERR_BADVALUE;
    data_.positions[index] = {x, y, z};
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetNormal(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    settleNormals();
    if (index >= data_.normals.size()) return D3DRMERR_BADVALUE;
    data_.normals[index] = {x, y, z};
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetTextureCoordinates(DWORD index, D3DVALUE u, D3DVALUE v) {
    settleNormals();
    if (index >= data_.positions.size()) return D3DRMERR_BADVALUE;
    data_.texCoords.resize(data_.positions.size());
    data_.texCoords[index] = {u, v};
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::GetTextureCoordinates(DWORD index, D3DVALUE* u, D3DVALUE* v) {
    settleNormals();
    if (!u || !v || index >= data_.positions.size()) return D3DRMERR_BADVALUE;
    TexCoord t = index < data_.texCoords.size() ? data_.texCoords[index] : TexCoord{};
    *u = t.u;
    *v = t.v;
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetVertexColor(DWORD index, D3DCOLOR color) {
    settleNormals();
    if (index >= data_.positions.size()) return D3DRMERR_BADVALUE;
    data_.vertexColors.resize(data_.positions.size(), 0xffffffffu);
    data_.vertexColors[index] = color;
    changed();
    return D3DRM_OK;
}

HRESULT MeshBuilder::SetVertexColorRGB(DWORD index, D3DVALUE r, D3DVALUE g, D3DVALUE b) {
    return SetVertexColor(index, D3DRMCreateColorRGB(r, g, b));
}

D3DCOLOR MeshBuilder::GetVertexColor(DWORD index) {
    settleNormals();
    if (index < data_.vertexColors.size()) return data_.vertexColors[index];
    return 0xffffffffu;
}

HRESULT MeshBuilder::GetFaces(IDirect3DRMFaceArray** out) {
    settleNormals();
    if (!out) return D3DRMERR_BADVALUE;
    *out = new BuilderFaceArray(this, 0, static_cast<uint32_t>(data_.faces.size()));
    return D3DRM_OK;
}

HRESULT MeshBuilder::GetVertices(DWORD* vcount, D3DVECTOR* vertices, DWORD* ncount, D3DVECTOR* normals,
                                 DWORD* face_data_size, DWORD* face_data) {
    settleNormals();
    const auto& d = data_;
    if (vcount) {
        if (vertices) {
            if (*vcount < d.positions.size()) return D3DRMERR_BADVALUE;
            std::copy(d.positions.begin(), d.positions.end(), vertices);
        }
        *vcount = static_cast<DWORD>(d.positions.size());
    }
    if (ncount) {
        if (normals) {
            if (*ncount < d.normals.size()) return D3DRMERR_BADVALUE;
            std::copy(d.normals.begin(), d.normals.end(), normals);
        }
        *ncount = static_cast<DWORD>(d.normals.size());
    }
    if (face_data_size) {
        // Count, then (vertex, normal) pairs, per face; a closing 0.
        size_t needed = 1 + d.faces.size() + 2 * d.corners.size();
        if (face_data) {
            if (*face_data_size < needed) return D3DRMERR_BADVALUE;
            size_t at = 0;
            for (const auto& f : d.faces) {
                face_data[at++] = f.cornerCount;
                for (uint32_t c = 0; c < f.cornerCount; ++c) {
                    const FaceCorner corner = d.corners[f.firstCorner + c];
                    face_data[at++] = corner.vertex;
                    face_data[at++] = corner.normal == kNoNormal ? 0 : corner.normal;
                }
            }
            face_data[at] = 0;
        }
        *face_data_size = static_cast<DWORD>(needed);
    }
    return D3DRM_OK;
}

int MeshBuilder::AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    settleNormals();
    data_.positions.push_back({x, y, z});
    if (!data_.texCoords.empty()) data_.texCoords.resize(data_.positions.size());
    if (!data_.vertexColors.empty()) data_.vertexColors.resize(data_.positions.size(), 0xffffffffu);
    changed();
    return static_cast<int>(data_.positions.size() - 1);
}

int MeshBuilder::AddNormal(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    settleNormals();
    data_.normals.push_back({x, y, z});
    changed();
    return static_cast<int>(data_.normals.size() - 1);
}

HRESULT MeshBuilder::CreateFace(IDirect3DRMFace** out) {
    settleNormals();
    if (!out) return D3DRMERR_BADVALUE;
    auto* face = new Face;
    HRESULT hr = face->bindTo(this);
    if (FAILED(hr)) {
        face->Release();
        *out = nullptr;
        return hr;
    }
    *out = face;
    return D3DRM_OK;
}

HRESULT MeshBuilder::CreateMesh(IDirect3DRMMesh** out) {
    settleNormals();
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    const auto& d = data_;
    Ref<Mesh> mesh = adopt(new Mesh);
    // One group per look; vertices per distinct corner.
    std::map<uint32_t, size_t> groupOf;
    std::vector<std::map<std::pair<uint32_t, uint32_t>, uint32_t>> cornerMaps;
    for (const auto& f : d.faces) {
        const FaceLook& look = d.lookOf(f);
        auto [it, fresh] = groupOf.emplace(f.look, mesh->data.groups.size());
        if (fresh) {
            MeshGroupData g;
            g.color = look.color;
            g.quality = d.quality;
            g.material = d.materials[look.material];
            g.texture = d.textures[look.texture];
            if (g.texture) g.texture->AddRef();
            mesh->data.groups.push_back(std::move(g));
            cornerMaps.emplace_back();
        }
        MeshGroupData& g = mesh->data.groups[it->second];
        auto& corners = cornerMaps[it->second];
        for (uint32_t c = 0; c < f.cornerCount; ++c) {
            const FaceCorner corner = d.corners[f.firstCorner + c];
            auto [ci, added] = corners.emplace(std::make_pair(corner.vertex, corner.normal),
                                               static_cast<uint32_t>(g.vertices.size()));
            if (added) {
                D3DRMVERTEX v{};
                v.position = d.positions[corner.vertex];
                v.normal = corner.normal == kNoNormal ? D3DVECTOR{0, 0, 0} : d.normals[corner.normal];
                if (corner.vertex < d.texCoords.size()) {
                    v.tu = d.texCoords[corner.vertex].u;
                    v.tv = d.texCoords[corner.vertex].v;
                }
                v.color = d.colorSource == D3DRMCOLOR_FROMVERTEX && corner.vertex < d.vertexColors.size()
                              ? d.vertexColors[corner.vertex]
                              : look.color;
                g.vertices.push_back(v);
            }
            g.indices.push_back(ci->second);
        }
        g.faceSizes.push_back(f.cornerCount);
    }
    *out = mesh.detach();
    return D3DRM_OK;
}

// ---- Faces ---------------------------------------------------------------------------

HRESULT Face::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMFace});
}

const BuilderFace* Face::face() const {
    if (!builder_) return nullptr;
    const auto& faces = builder_->data().faces;
    return index_ < faces.size() ? &faces[index_] : nullptr;
}

BuilderFace* Face::face() {
    if (!builder_) return nullptr;
    auto& faces = builder_->mutableData().faces;
    return index_ < faces.size() ? &faces[index_] : nullptr;
}

const FaceLook* Face::look() const {
    const BuilderFace* f = face();
    return f ? &builder_->data().lookOf(*f) : nullptr;
}

HRESULT Face::bindTo(MeshBuilder* builder) {
    auto& d = builder->mutableData();
    const FaceLook look{freeColor_, builder->materialIndex(freeMaterial_), builder->textureIndex(freeTexture_.get())};
    BuilderFace f{static_cast<uint32_t>(d.corners.size()), static_cast<uint32_t>(freePositions_.size()),
                  d.looks.indexOf(look)};
    for (size_t i = 0; i < freePositions_.size(); ++i) {
        uint32_t v = static_cast<uint32_t>(d.positions.size());
        d.positions.push_back(freePositions_[i]);
        d.texCoords.resize(d.positions.size());
        d.texCoords[v] = freeTexCoords_[i];
        uint32_t n = static_cast<uint32_t>(d.normals.size());
        d.normals.push_back(freeNormals_[i]);
        d.corners.push_back({v, n});
    }
    if (!d.vertexColors.empty()) d.vertexColors.resize(d.positions.size(), 0xffffffffu);
    d.faces.push_back(f);
    builder_ = Ref<MeshBuilder>(builder);
    index_ = static_cast<uint32_t>(d.faces.size() - 1);
    freePositions_.clear();
    freeNormals_.clear();
    freeTexCoords_.clear();
    freeTexture_ = Ref<IDirect3DRMTexture>();
    builder->changed();
    return D3DRM_OK;
}

HRESULT Face::AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    if (!builder_) {
        freePositions_.push_back({x, y, z});
        freeNormals_.push_back({0, 0, 0});
        freeTexCoords_.push_back({});
        return D3DRM_OK;
    }
    BuilderFace* f = face();
    if (!f) return D3DRMERR_BADOBJECT;
    auto& d = builder_->mutableData();
    // Corners of a face stay contiguous: only the last face can grow in place.
    if (f->firstCorner + f->cornerCount != d.corners.size()) return D3DRMERR_BADVALUE;
    uint32_t v = static_cast<uint32_t>(d.positions.size());
    d.positions.push_back({x, y, z});
    if (!d.texCoords.empty()) d.texCoords.resize(d.positions.size());
    if (!d.vertexColors.empty()) d.vertexColors.resize(d.positions.size(), 0xffffffffu);
    d.corners.push_back({v, kNoNormal});
    ++f->cornerCount;
    builder_->changed();
    return D3DRM_OK;
}

HRESULT Face::AddVertexAndNormalIndexed(DWORD vertex, DWORD normal) {
    BuilderFace* f = face();
    if (!f) return D3DRMERR_BADOBJECT;
    auto& d = builder_->mutableData();
    if (vertex >= d.positions.size() || normal >= d.normals.size()) return D3DRMERR_BADVALUE;
    if (f->firstCorner + f->cornerCount != d.corners.size()) return D3DRMERR_BADVALUE;
    d.corners.push_back({vertex, normal});
    ++f->cornerCount;
    builder_->changed();
    return D3DRM_OK;
}

HRESULT Face::SetColor(D3DCOLOR color) {
    if (!builder_) {
        freeColor_ = color;
        return D3DRM_OK;
    }
    return changeLook([&](FaceLook& look) { look.color = color; });
}

HRESULT Face::SetColorRGB(D3DVALUE r, D3DVALUE g, D3DVALUE b) { return SetColor(D3DRMCreateColorRGB(r, g, b)); }

D3DCOLOR Face::GetColor() {
    if (!builder_) return freeColor_;
    const FaceLook* l = look();
    return l ? l->color : 0;
}

HRESULT Face::SetTexture(IDirect3DRMTexture* texture) {
    if (texture && !asTexture(texture)) return D3DRMERR_BADOBJECT;
    if (!builder_) {
        freeTexture_ = Ref<IDirect3DRMTexture>(texture);
        return D3DRM_OK;
    }
    return changeLook([&](FaceLook& look) { look.texture = builder_->textureIndex(texture); });
}

HRESULT Face::GetTexture(IDirect3DRMTexture** texture) {
    if (!texture) return D3DRMERR_BADVALUE;
    IDirect3DRMTexture* t = freeTexture_.get();
    if (builder_) {
        const FaceLook* l = look();
        if (!l) return D3DRMERR_BADOBJECT;
        t = builder_->data().textures[l->texture];
    }
    if (t) t->AddRef();
    *texture = t;
    return D3DRM_OK;
}

HRESULT Face::SetMaterial(IDirect3DRMMaterial* material) {
    Material* m = asMaterial(material);
    if (!m) return D3DRMERR_BADOBJECT;
    if (!builder_) {
        freeMaterial_ = m->data;
        return D3DRM_OK;
    }
    return changeLook([&](FaceLook& look) { look.material = builder_->materialIndex(m->data); });
}

HRESULT Face::GetMaterial(IDirect3DRMMaterial** material) {
    if (!material) return D3DRMERR_BADVALUE;
    auto* m = new Material;
    if (builder_) {
        const FaceLook* l = look();
        if (!l) {
            m->Release();
            *material = nullptr;
            return D3DRMERR_BADOBJECT;
        }
        m->data = builder_->data().materials[l->material];
    } else {
        m->data = freeMaterial_;
    }
    *material = m;
    return D3DRM_OK;
}

HRESULT Face::SetTextureCoordinates(DWORD vertex, D3DVALUE u, D3DVALUE v) {
    if (!builder_) {
        if (vertex >= freeTexCoords_.size()) return D3DRMERR_BADVALUE;
        freeTexCoords_[vertex] = {u, v};
        return D3DRM_OK;
    }
    const BuilderFace* f = face();
    if (!f || vertex >= f->cornerCount) return D3DRMERR_BADVALUE;
    return builder_->SetTextureCoordinates(builder_->data().corners[f->firstCorner + vertex].vertex, u, v);
}

HRESULT Face::GetTextureCoordinates(DWORD vertex, D3DVALUE* u, D3DVALUE* v) {
    if (!u || !v) return D3DRMERR_BADVALUE;
    if (!builder_) {
        if (vertex >= freeTexCoords_.size()) return D3DRMERR_BADVALUE;
        *u = freeTexCoords_[vertex].u;
        *v = freeTexCoords_[vertex].v;
        return D3DRM_OK;
    }
    const BuilderFace* f = face();
    if (!f || vertex >= f->cornerCount) return D3DRMERR_BADVALUE;
    return builder_->GetTextureCoordinates(builder_->data().corners[f->firstCorner + vertex].vertex, u, v);
}

HRESULT Face::GetVertex(DWORD index, D3DVECTOR* vertex, D3DVECTOR* normal) {
    if (!builder_) {
        if (index >= freePositions_.size()) return D3DRMERR_BADVALUE;
        if (vertex) *vertex = freePositions_[index];
        if (normal) *normal = freeNormals_[index];
        return D3DRM_OK;
    }
    const BuilderFace* f = face();
    if (!f || index >= f->cornerCount) return D3DRMERR_BADVALUE;
    const auto& d = builder_->data();
    const FaceCorner c = d.corners[f->firstCorner + index];
    if (vertex) *vertex = d.positions[c.vertex];
    if (normal) *normal = c.normal == kNoNormal ? D3DVECTOR{0, 0, 0} : d.normals[c.normal];
    return D3DRM_OK;
}

HRESULT Face::GetVertices(DWORD* count, D3DVECTOR* coords, D3DVECTOR* normals) {
    if (!count) return D3DRMERR_BADVALUE;
    DWORD n = static_cast<DWORD>(GetVertexCount());
    if (coords || normals) {
        if (*count < n) return D3DRMERR_BADVALUE;
        for (DWORD i = 0; i < n; ++i) GetVertex(i, coords ? coords + i : nullptr, normals ? normals + i : nullptr);
    }
    *count = n;
    return D3DRM_OK;
}

HRESULT Face::GetNormal(D3DVECTOR* normal) {
    if (!normal) return D3DRMERR_BADVALUE;
    const BuilderFace* f = face();
    if (!f) {
        *normal = {0, 0, 0};
        return builder_ ? D3DRMERR_BADOBJECT : D3DRM_OK;
    }
    *normal = f->cornerCount >= 3 ? faceNormalOf(builder_->data(), *f) : D3DVECTOR{0, 0, 0};
    return D3DRM_OK;
}

int Face::GetVertexCount() {
    if (!builder_) return static_cast<int>(freePositions_.size());
    const BuilderFace* f = face();
    return f ? static_cast<int>(f->cornerCount) : 0;
}

int Face::GetVertexIndex(DWORD which) {
    const BuilderFace* f = face();
    if (!f || which >= f->cornerCount) return -1;
    return static_cast<int>(builder_->data().corners[f->firstCorner + which].vertex);
}

int Face::GetTextureCoordinateIndex(DWORD which) { return GetVertexIndex(which); }

}  // namespace rm
