#include "platform/gl/gl_device.h"

#include <epoxy/gl.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <span>
#include <unordered_map>

#include "platform/rm/ddraw.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_renderer.h"
#include "platform/rm/big_memory.h"
#include "platform/rm/render_backend.h"
#include "platform/rm/rm_internal.h"

namespace {

GlPictureReceiver pictureReceiver = nullptr;
GlRedrawStamp redrawStamp = nullptr;
unsigned long drawnFrames = 0;

unsigned long uploadCount = 0;

gl::Matrix4 toGl(const rm::Matrix& m) {
    gl::Matrix4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r[i * 4 + j] = m.m[i][j];
    return r;
}

gl::Vec3 colourOf(D3DCOLOR c) {
    return {RGB_GETRED(c) / 255.0f, RGB_GETGREEN(c) / 255.0f, RGB_GETBLUE(c) / 255.0f};
}

gl::Vec3 vec(const D3DVECTOR& v) { return {v.x, v.y, v.z}; }

gl::Vec3 normalised(const gl::Vec3& v) {
    const float l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(l > 1e-20f)) return {0, 0, 0};
    return {v[0] / l, v[1] / l, v[2] / l};
}

// Lighting takes the length of a normal: a zero or non-finite one would turn the corner black.
bool usableNormal(const D3DVECTOR& n) {
    const float l = n.x * n.x + n.y * n.y + n.z * n.z;
    return l > 1e-20f && std::isfinite(l);
}

// Outward normal of a convex polygon whose corners run clockwise as seen from the front.
template <class PointAt>
gl::Vec3 polygonNormal(uint32_t count, PointAt point) {
    const gl::Vec3 p0 = point(0);
    gl::Vec3 sum{0, 0, 0};
    for (uint32_t i = 1; i + 1 < count; ++i) {
        const gl::Vec3 a = point(i), b = point(i + 1);
        const gl::Vec3 e1{a[0] - p0[0], a[1] - p0[1], a[2] - p0[2]};
        const gl::Vec3 e2{b[0] - p0[0], b[1] - p0[1], b[2] - p0[2]};
        sum[0] += e1[1] * e2[2] - e1[2] * e2[1];
        sum[1] += e1[2] * e2[0] - e1[0] * e2[2];
        sum[2] += e1[0] * e2[1] - e1[1] * e2[0];
    }
    return normalised(sum);
}

gl::Material materialOf(const rm::MaterialData& m) {
    gl::Material r;
    r.power = m.power;
    r.specular = {m.specular[0], m.specular[1], m.specular[2]};
    r.emissive = {m.emissive[0], m.emissive[1], m.emissive[2]};
    return r;
}

// ---------------------------------------------------------------- shared GPU objects

struct MeshEntry {
    uint64_t version = 0;
    uint64_t poseVersion = 0;  // 0: the builder's own (rest) geometry
    uint64_t textureStamp = 0;
    uint64_t lastUsed = 0;
    std::unique_ptr<gl::GpuMesh> mesh;
};

struct TextureEntry {
    uint64_t version = 0;
    uint64_t lastUsed = 0;
    std::shared_ptr<gl::GpuTexture> texture;
};

// Everything that lives in the one GL context and is shared by the devices.
struct Shared {
    std::unique_ptr<gl::Renderer> renderer;
    std::unordered_map<uint64_t, MeshEntry> meshes;
    std::unordered_map<uint64_t, TextureEntry> textures;
    uint64_t renderCount = 0;
};

Shared& shared() {
    static Shared s;
    return s;
}

// GPU copies not drawn for this many renders are dropped (their objects may be gone).
constexpr uint64_t kEvictAfter = 300;

void evictUnused() {
    Shared& s = shared();
    if (s.renderCount % 64 != 0) return;
    for (auto it = s.meshes.begin(); it != s.meshes.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.meshes.erase(it) : std::next(it);
    for (auto it = s.textures.begin(); it != s.textures.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.textures.erase(it) : std::next(it);
}

std::shared_ptr<gl::GpuTexture> gpuTexture(IDirect3DRMTexture* texture) {
    if (!texture) return nullptr;
    const rm::TextureData& data = rm::textureData(texture);
    if (data.width <= 0 || data.height <= 0 || data.rgba.size() < size_t(data.width) * size_t(data.height) * 4)
        return nullptr;
    Shared& s = shared();
    TextureEntry& e = s.textures[rm::objectSerial(texture)];
    e.lastUsed = s.renderCount;
    if (!e.texture || e.version != data.version) {
        e.texture = std::make_shared<gl::GpuTexture>(data.rgba.data(), data.width, data.height);
        e.version = data.version;
    }
    return e.texture;
}

uint64_t textureStamp(const std::vector<IDirect3DRMTexture*>& textures) {
    uint64_t stamp = 0;
    for (IDirect3DRMTexture* t : textures)
        if (t) stamp = stamp * 1000003u + rm::objectSerial(t) * 31u + rm::textureData(t).version;
    return stamp;
}

// D3DCOLOR (0xAARRGGBB) as vertices carry it: RGBA bytes, red first.
uint32_t vertexColour(D3DCOLOR c) {
    return uint32_t(RGB_GETRED(c)) | uint32_t(RGB_GETGREEN(c)) << 8 | uint32_t(RGB_GETBLUE(c)) << 16 |
           uint32_t(RGBA_GETALPHA(c)) << 24;
}

gl::Vec3 polygonCentre(uint32_t count, auto point) {
    gl::Vec3 centre{0, 0, 0};
    for (uint32_t i = 0; i < count; ++i) {
        const gl::Vec3 p = point(i);
        for (int k = 0; k < 3; ++k) centre[k] += p[k] / float(count);
    }
    return centre;
}

// What a GPU mesh holds beyond what every drawing needs.
struct Extras {
    bool edges = false;    // outlines, for wireframe
    bool records = false;  // flat records (see gl::GpuMesh)
    bool normals = false;  // vertex normals, which only smooth shading reads
};

// Puts faces that lie near each other near each other in the drawing order (along a
// Z-order curve through cells of a few dozen faces each; file order within a cell): the
// GPU then shades each shared corner fewer times, and a cluster of consecutive triangles
// is a compact patch that is easily skipped.
void orderByPlace(std::span<uint32_t> faces, auto where) {
    if (faces.size() < 2 * gl::GpuMesh::kClusterTriangles) return;
    gl::Vec3 lo = where(faces[0]), hi = lo;
    for (uint32_t f : faces) {
        const gl::Vec3 p = where(f);
        for (int k = 0; k < 3; ++k) {
            if (p[k] < lo[k]) lo[k] = p[k];
            if (p[k] > hi[k]) hi[k] = p[k];
        }
    }
    // About 64 faces a cell on a surface.
    int bits = 1;
    while (bits < 10 && (size_t(1) << (2 * bits)) * 64 < faces.size()) ++bits;
    const float cells = float(1 << bits);
    std::vector<uint32_t> code, codeOut, facesOut;
    for (auto* v : {&code, &codeOut, &facesOut}) {
        rm::reserveOnHugePages(*v, faces.size());
        v->resize(faces.size());
    }
    for (size_t i = 0; i < faces.size(); ++i) {
        const gl::Vec3 p = where(faces[i]);
        uint32_t c = 0;
        for (int k = 0; k < 3; ++k) {
            const float span = hi[k] - lo[k];
            const float t = span > 0 && std::isfinite(span) ? (p[k] - lo[k]) / span : 0.0f;
            const uint32_t q = std::isfinite(t) ? uint32_t(std::clamp(t * cells, 0.0f, cells - 1)) : 0u;
            for (int bit = 0; bit < bits; ++bit) c |= ((q >> bit) & 1u) << (3 * bit + k);
        }
        code[i] = c;
    }
    // A stable radix sort by the code, 10 bits a pass.
    std::vector<uint32_t> count(1 << 10);
    for (int shift = 0; shift < 3 * bits; shift += 10) {
        std::fill(count.begin(), count.end(), 0);
        for (uint32_t c : code) ++count[(c >> shift) & 1023];
        uint32_t at = 0;
        for (uint32_t& n : count) {
            const uint32_t here = n;
            n = at;
            at += here;
        }
        for (size_t i = 0; i < faces.size(); ++i) {
            const uint32_t slot = count[(code[i] >> shift) & 1023]++;
            codeOut[slot] = code[i];
            facesOut[slot] = faces[i];
        }
        code.swap(codeOut);
        std::copy(facesOut.begin(), facesOut.end(), faces.begin());
    }
}

// Mesh builder -> GPU mesh: faces triangulated as fans, grouped by opacity, material and
// texture, corners shared where position, normal and colour are the same (position and
// colour alone when only flat shading draws it, which reads no vertex normals). A skinned
// builder's pose, when given, replaces its positions and normals. Two passes over the
// faces: the first finds the shared corners, so that the buffers are made at their final
// sizes and the second writes them in place.
std::unique_ptr<gl::GpuMesh> buildMesh(const rm::MeshBuilderData& b, const rm::SkinPose* pose, Extras extras) {
    const uint32_t positions = uint32_t(b.positions.size());
    const uint32_t normals = uint32_t(b.normals.size());
    const bool posed = pose && pose->positions.size() == b.positions.size() &&
                       pose->cornerNormals.size() == b.corners.size();
    const std::vector<D3DVECTOR>& places = posed ? pose->positions : b.positions;
    const bool fromVertex = b.colorSource == D3DRMCOLOR_FROMVERTEX;
    auto opaque = [](D3DCOLOR c) { return RGBA_GETALPHA(c) == 255; };
    // Translucent faces are rare: look for them only when there are any.
    const bool anyTranslucent =
        !std::all_of(b.faces.begin(), b.faces.end(), [&](const rm::BuilderFace& f) { return opaque(f.color); }) ||
        (fromVertex && !std::all_of(b.vertexColors.begin(), b.vertexColors.end(), opaque));
    auto drawable = [&](const rm::BuilderFace& face) {
        if (face.cornerCount < 3 || size_t(face.firstCorner) + face.cornerCount > b.corners.size()) return false;
        for (uint32_t i = 0; i < face.cornerCount; ++i)
            if (b.corners[face.firstCorner + i].vertex >= positions) return false;
        return true;
    };
    auto cornerColour = [&](const rm::BuilderFace& face, uint32_t v) {
        return fromVertex && v < b.vertexColors.size() ? b.vertexColors[v] : face.color;
    };
    // Materials that draw alike are one: faces of different colours then stay together in
    // file order, which keeps neighbours near each other for the GPU's vertex reuse.
    std::vector<uint32_t> material(b.materials.size());
    {
        std::map<std::array<uint32_t, sizeof(rm::MaterialData) / 4>, uint32_t> first;
        for (uint32_t i = 0; i < material.size(); ++i) {
            std::array<uint32_t, sizeof(rm::MaterialData) / 4> bits;
            std::memcpy(bits.data(), &b.materials[i], sizeof(rm::MaterialData));
            material[i] = first.emplace(bits, i).first->second;
        }
    }
    // Drawing order: opacity, material, texture, then the shape of the faces' records
    // (polygons of 2 or 4 triangles share one, which needs a group of their own); then, for
    // opaque faces, the way they face (so that runs of faces can be skipped when they all
    // face away); file order within. Faces in one plane face the same way, so their order
    // among themselves stays.
    struct Key {
        bool translucent;
        uint32_t material, texture;
        uint8_t recordShift;
        uint8_t facing;
        auto operator<=>(const Key&) const = default;
        bool sameGroup(const Key& o) const {
            return translucent == o.translucent && material == o.material && texture == o.texture &&
                   recordShift == o.recordShift;
        }
    };
    auto recordShiftOf = [](uint32_t corners) { return corners == 4 ? 1 : corners == 6 ? 2 : 0; };
    auto point = [&](const rm::BuilderFace& face) {
        return [&](uint32_t k) { return vec(places[b.corners[face.firstCorner + k].vertex]); };
    };
    std::vector<uint8_t> facing(b.faces.size(), 0);
    for (size_t f = 0; f < b.faces.size(); ++f) {
        const rm::BuilderFace& face = b.faces[f];
        if (!drawable(face)) continue;
        const gl::Vec3 n = polygonNormal(face.cornerCount, point(face));
        int axis = 0;
        for (int k = 1; k < 3; ++k)
            if (std::fabs(n[k]) > std::fabs(n[axis])) axis = k;
        facing[f] = uint8_t(axis * 2 + (n[axis] < 0 ? 1 : 0));
    }
    auto keyOf = [&](const rm::BuilderFace& face) {
        bool see = false;
        if (anyTranslucent) {
            see = !fromVertex && !opaque(face.color);
            for (uint32_t i = 0; i < face.cornerCount && fromVertex && !see; ++i)
                see = !opaque(cornerColour(face, b.corners[face.firstCorner + i].vertex));
        }
        return Key{see, face.material < material.size() ? material[face.material] : 0,
                   face.texture < b.textures.size() ? face.texture : 0, uint8_t(recordShiftOf(face.cornerCount)),
                   see ? uint8_t(0) : facing[size_t(&face - b.faces.data())]};
    };
    // A counting sort over the few distinct keys.
    std::vector<Key> keys;
    std::vector<uint32_t> slots;  // per key: faces, then where the next one goes
    auto slotOf = [&, last = size_t(0)](const Key& k) mutable {
        if (last < keys.size() && keys[last] == k) return last;
        last = std::find(keys.begin(), keys.end(), k) - keys.begin();
        if (last == keys.size()) {
            keys.push_back(k);
            slots.push_back(0);
        }
        return last;
    };
    uint32_t faceCount = 0;
    for (const rm::BuilderFace& face : b.faces)
        if (drawable(face)) {
            ++slots[slotOf(keyOf(face))];
            ++faceCount;
        }
    std::vector<size_t> byKey(keys.size());
    for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = i;
    std::sort(byKey.begin(), byKey.end(), [&](size_t x, size_t y) { return keys[x] < keys[y]; });
    for (uint32_t at = 0; size_t k : byKey) {
        const uint32_t n = slots[k];
        slots[k] = at;
        at += n;
    }
    std::vector<uint32_t> order;
    rm::reserveOnHugePages(order, faceCount);
    order.resize(faceCount);
    const std::vector<uint32_t> begins = slots;
    for (uint32_t f = 0; f < b.faces.size(); ++f)
        if (drawable(b.faces[f])) order[slots[slotOf(keyOf(b.faces[f]))]++] = f;
    for (size_t k = 0; k < keys.size(); ++k)
        if (!keys[k].translucent)
            orderByPlace(std::span(order).subspan(begins[k], slots[k] - begins[k]),
                         [&](uint32_t f) { return vec(places[b.corners[b.faces[f].firstCorner].vertex]); });
    slots = {};

    // A corner with a usable normal is shared by the faces that give it the same normal
    // and colour; the corners made for each position are chained from it (usually one
    // or two). One that has none takes its face's normal and is its own.
    constexpr uint32_t kNone = 0xffffffffu;
    constexpr uint32_t kOwn = 0x80000000u;  // `next` of a corner of its own: its face | kOwn
    // Without normals (flat shading only) every corner is shared by position and colour.
    auto usable = [&](uint32_t ni) {
        return !extras.normals || (ni != rm::kNoNormal && ni < normals && usableNormal(b.normals[ni]));
    };
    auto sameNormal = [&](uint32_t a, uint32_t c) { return !extras.normals || b.corners[a].normal == b.corners[c].normal; };
    std::vector<uint32_t> firstAt(b.positions.size(), kNone);
    struct Made {
        uint32_t corner;  // the builder corner that made it
        D3DCOLOR colour;
        uint32_t next;
    };
    std::vector<Made> made;
    rm::reserveOnHugePages(made, b.positions.size() + b.positions.size() / 4);
    uint64_t triangles = 0, corners = 0, records = 0;
    // Finds the shared corner for builder corner c, or makes it.
    auto share = [&](uint32_t c, D3DCOLOR colour, bool& fresh) {
        const uint32_t v = b.corners[c].vertex;
        uint32_t at = firstAt[v];
        while (at != kNone && (!sameNormal(made[at].corner, c) || made[at].colour != colour)) at = made[at].next;
        fresh = at == kNone;
        return at;
    };
    for (uint32_t f : order) {
        const rm::BuilderFace& face = b.faces[f];
        for (uint32_t k = 0; k < face.cornerCount; ++k) {
            const uint32_t c = face.firstCorner + k, v = b.corners[c].vertex;
            const D3DCOLOR colour = cornerColour(face, v);
            if (!usable(b.corners[c].normal)) {
                made.push_back({c, colour, f | kOwn});
                continue;
            }
            bool fresh;
            share(c, colour, fresh);
            if (fresh) {
                made.push_back({c, colour, firstAt[v]});
                firstAt[v] = uint32_t(made.size() - 1);
            }
        }
        triangles += face.cornerCount - 2;
        corners += face.cornerCount;
        records += recordShiftOf(face.cornerCount) ? 1 : face.cornerCount - 2;
    }
    if (made.size() >= kOwn || triangles > UINT32_MAX / 3 || corners > UINT32_MAX / 2) return nullptr;

    gl::GpuMesh::Sizes sizes;
    sizes.vertices = uint32_t(made.size());
    sizes.triangles = uint32_t(triangles);
    sizes.edges = extras.edges ? uint32_t(corners) : 0;
    sizes.records = extras.records ? uint32_t(records) : 0;
    sizes.normals = extras.normals;
    sizes.texCoords = !b.texCoords.empty() && std::any_of(b.textures.begin(), b.textures.end(),
                                                           [](IDirect3DRMTexture* t) { return t != nullptr; });
    auto mesh = std::make_unique<gl::GpuMesh>(sizes);
    for (uint32_t i = 0; i < made.size(); ++i) {
        const Made& m = made[i];
        const rm::FaceCorner& corner = b.corners[m.corner];
        const rm::TexCoord uv = corner.vertex < b.texCoords.size() ? b.texCoords[corner.vertex] : rm::TexCoord{};
        gl::Vec3 n{0, 0, 0};
        if (extras.normals && m.next != kNone && (m.next & kOwn)) {
            const rm::BuilderFace& face = b.faces[m.next & ~kOwn];
            n = polygonNormal(face.cornerCount, point(face));
        } else if (extras.normals) {
            // A posed normal depends on the vertex and the normal only, like the pair.
            n = vec(posed ? pose->cornerNormals[m.corner] : b.normals[corner.normal]);
        }
        mesh->setVertex(i, vec(places[corner.vertex]), n, uv.u, uv.v, vertexColour(m.colour));
    }

    // The second pass meets the corners in the order the first made them.
    uint32_t next = 0;
    std::vector<uint32_t> idx;
    std::vector<gl::Vec3> points;
    Key nextKey = order.empty() ? Key{} : keyOf(b.faces[order[0]]);
    for (size_t i = 0; i < order.size(); ++i) {
        const rm::BuilderFace& face = b.faces[order[i]];
        idx.resize(face.cornerCount);
        points.resize(face.cornerCount);
        for (uint32_t k = 0; k < face.cornerCount; ++k) {
            const uint32_t c = face.firstCorner + k;
            if (!usable(b.corners[c].normal)) {
                idx[k] = next++;
                continue;
            }
            bool fresh;
            idx[k] = share(c, cornerColour(face, b.corners[c].vertex), fresh);
            if (idx[k] == next) ++next;
        }
        for (uint32_t k = 0; k < face.cornerCount; ++k) points[k] = point(face)(k);
        auto pointAt = [&](uint32_t k) { return points[k]; };
        mesh->addPolygon(idx.data(), points.data(), face.cornerCount, polygonNormal(face.cornerCount, pointAt),
                         polygonCentre(face.cornerCount, pointAt), recordShiftOf(face.cornerCount));
        if (extras.edges)
            for (uint32_t k = 0; k < face.cornerCount; ++k) mesh->addEdge(idx[k], idx[(k + 1) % face.cornerCount]);
        const Key k = nextKey;
        if (i + 1 < order.size()) nextKey = keyOf(b.faces[order[i + 1]]);
        const bool last = i + 1 == order.size() || !nextKey.sameGroup(k);
        if (last)
            mesh->endGroup(materialOf(b.materials[k.material]), gpuTexture(b.textures[k.texture]), fromVertex,
                           k.translucent);
    }
    mesh->finish();
    return mesh;
}

// Mesh groups keep their order (one GPU group each, even an empty one, so that indices
// line up). Corners with an unusable normal get a vertex of their own with the face normal.
std::unique_ptr<gl::GpuMesh> buildMesh(const rm::MeshData& mesh, const rm::SkinPose*, Extras extras) {
    auto faces = [](const rm::MeshGroupData& g, auto use) {
        const uint32_t count = uint32_t(g.vertices.size());
        size_t at = 0;
        for (uint32_t size : g.faceSizes) {
            if (at + size > g.indices.size()) break;
            const uint32_t* f = &g.indices[at];
            at += size;
            bool ok = size >= 3;
            for (uint32_t k = 0; k < size && ok; ++k) ok = f[k] < count;
            if (ok) use(f, size);
        }
    };
    gl::GpuMesh::Sizes sizes;
    uint64_t vertices = 0, triangles = 0, corners = 0;
    for (const rm::MeshGroupData& g : mesh.groups) {
        vertices += g.vertices.size();
        faces(g, [&](const uint32_t* f, uint32_t size) {
            for (uint32_t k = 0; k < size; ++k) vertices += usableNormal(g.vertices[f[k]].normal) ? 0 : 1;
            triangles += size - 2;
            corners += size;
        });
        sizes.texCoords = sizes.texCoords || g.texture;
    }
    if (vertices > UINT32_MAX || triangles > UINT32_MAX / 3 || corners > UINT32_MAX / 2) return nullptr;
    sizes.vertices = uint32_t(vertices);
    sizes.triangles = uint32_t(triangles);
    sizes.edges = extras.edges ? uint32_t(corners) : 0;
    sizes.records = extras.records ? uint32_t(triangles) : 0;  // one a triangle
    auto m = std::make_unique<gl::GpuMesh>(sizes);
    uint32_t next = 0;
    std::vector<uint32_t> polygon;
    std::vector<gl::Vec3> points;
    for (const rm::MeshGroupData& g : mesh.groups) {
        const uint32_t colour = vertexColour(g.color);
        const uint32_t base = next;
        for (const D3DRMVERTEX& v : g.vertices) m->setVertex(next++, vec(v.position), vec(v.normal), v.tu, v.tv, colour);
        faces(g, [&](const uint32_t* f, uint32_t size) {
            auto point = [&](uint32_t k) { return vec(g.vertices[f[k]].position); };
            const gl::Vec3 n = polygonNormal(size, point);
            polygon.resize(size);
            points.resize(size);
            for (uint32_t k = 0; k < size; ++k) {
                const D3DRMVERTEX& v = g.vertices[f[k]];
                points[k] = vec(v.position);
                if (usableNormal(v.normal)) {
                    polygon[k] = base + f[k];
                } else {
                    polygon[k] = next;
                    m->setVertex(next++, vec(v.position), n, v.tu, v.tv, colour);
                }
            }
            m->addPolygon(polygon.data(), points.data(), size, n, polygonCentre(size, point));
            if (extras.edges)
                for (uint32_t k = 0; k < size; ++k) m->addEdge(polygon[k], polygon[(k + 1) % size]);
        });
        m->endGroup(materialOf(g.material), gpuTexture(g.texture), false, RGBA_GETALPHA(g.color) != 255, true);
    }
    m->finish();
    return m;
}

constexpr size_t kBigMesh = size_t{16} << 20;

// The GPU copy of a visual, made again when the visual, its textures or its pose changed,
// or when it lacks an extra asked for (extras it has stay while only the pose changes).
template <class Data>
const gl::GpuMesh* gpuMesh(IDirect3DRMVisual* visual, const Data& data, const std::vector<IDirect3DRMTexture*>& textures,
                           Extras wanted, const rm::SkinPose* pose = nullptr) {
    Shared& s = shared();
    MeshEntry& e = s.meshes[rm::objectSerial(visual)];
    e.lastUsed = s.renderCount;
    const uint64_t stamp = textureStamp(textures);
    const uint64_t poseVersion = pose ? pose->version : 0;
    const bool same = e.mesh && e.version == data.version && e.textureStamp == stamp;
    if (!same || e.poseVersion != poseVersion || (wanted.edges && !e.mesh->hasEdges()) ||
        (wanted.records && !e.mesh->hasRecords()) || (wanted.normals && !e.mesh->hasNormals())) {
        if (same) {
            wanted.edges = wanted.edges || e.mesh->hasEdges();
            wanted.records = wanted.records || e.mesh->hasRecords();
            wanted.normals = wanted.normals || e.mesh->hasNormals();
        }
        e.mesh.reset();
        e.mesh = buildMesh(data, pose, wanted);
        // What building a big GPU copy needed for a while goes back to the system.
        if (e.mesh && e.mesh->byteSize() >= kBigMesh) rm::giveBackFreedMemory();
        e.version = data.version;
        e.textureStamp = stamp;
        e.poseVersion = poseVersion;
        ++uploadCount;
    }
    return e.mesh.get();
}

gl::Quality fromQuality(D3DRMRENDERQUALITY q) {
    gl::Quality r;
    const DWORD shade = q & D3DRMSHADE_MASK;
    r.shade = shade == D3DRMSHADE_FLAT ? gl::ShadeMode::Flat
              : shade == D3DRMSHADE_GOURAUD ? gl::ShadeMode::Gouraud
                                            : gl::ShadeMode::Phong;
    r.lighting = (q & D3DRMLIGHT_MASK) != D3DRMLIGHT_OFF;
    const DWORD fill = q & D3DRMFILL_MASK;
    r.fill = fill == D3DRMFILL_POINTS ? gl::FillMode::Points
             : fill == D3DRMFILL_WIREFRAME ? gl::FillMode::Wireframe
                                           : gl::FillMode::Solid;
    return r;
}

// The lower of the two settings in each field.
gl::Quality combine(D3DRMRENDERQUALITY device, D3DRMRENDERQUALITY object) {
    const DWORD shade = std::min(device & D3DRMSHADE_MASK, object & D3DRMSHADE_MASK);
    const DWORD light = std::min(device & D3DRMLIGHT_MASK, object & D3DRMLIGHT_MASK);
    const DWORD fill = std::min(device & D3DRMFILL_MASK, object & D3DRMFILL_MASK);
    return fromQuality(shade | light | fill);
}

class GlDevice;

std::unordered_map<const rm::DeviceData*, GlDevice*>& deviceRegistry() {
    static std::unordered_map<const rm::DeviceData*, GlDevice*> r;
    return r;
}

class GlDevice final : public rm::DeviceBackend {
public:
    GlDevice(HWND hwnd, int width, int height) : hwnd_(hwnd), framebuffer_(width, height) {
        if (!framebuffer_.valid()) return;  // too large for the driver: creation fails
        picture_.assign(size_t(width) * size_t(height) * 4, 0);
        for (size_t i = 3; i < picture_.size(); i += 4) picture_[i] = 255;
    }
    ~GlDevice() override {
        if (data_) deviceRegistry().erase(data_);
    }
    bool valid() const { return framebuffer_.valid(); }

    HRESULT clear(const rm::DeviceData& device, const rm::ViewportData& viewport, D3DCOLOR background) override {
        track(device);
        if (startFrame()) return D3DRM_OK;
        if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
        int x, y, w, h;
        if (!rect(viewport, x, y, w, h)) return D3DRM_OK;
        const gl::Vec3 c = colourOf(background);
        framebuffer_.clear(x, y, w, h, c[0], c[1], c[2]);
        return D3DRM_OK;
    }

    HRESULT render(const rm::DeviceData& device, const rm::ViewportData& viewport, IDirect3DRMFrame* scene) override {
        track(device);
        if (!scene || !viewport.camera) return D3DRMERR_BADOBJECT;
        if (startFrame()) return D3DRM_OK;
        if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
        Shared& s = shared();
        ++s.renderCount;
        if (!s.renderer) s.renderer = std::make_unique<gl::Renderer>();
        int x, y, w, h;
        if (!rect(viewport, x, y, w, h)) return D3DRM_OK;

        setup_.deviceWidth = framebuffer_.width();
        setup_.deviceHeight = framebuffer_.height();
        setup_.x = x;
        setup_.y = y;
        setup_.width = w;
        setup_.height = h;
        setup_.view = toGl(rm::viewMatrix(viewport));
        // The viewport's depth runs 0..1; GL clips -w..w.
        gl::Matrix4 depth = gl::identityMatrix();
        depth[10] = 2.0f;
        depth[14] = -1.0f;
        setup_.projection = gl::multiply(toGl(rm::projectionMatrix(viewport)), depth);
        const rm::Matrix cameraWorld = rm::frameWorldMatrix(viewport.camera);
        setup_.eye = {cameraWorld.m[3][0], cameraWorld.m[3][1], cameraWorld.m[3][2]};
        setup_.ramp = device.colorModel == D3DCOLOR_MONO;
        setup_.shades = int(std::clamp<DWORD>(device.shades, 1, 65536));
        setup_.dither = device.dither != FALSE;
        setup_.filter = gl::TextureFilter(std::clamp(int(device.textureQuality), 0, 5));
        setup_.lights.clear();
        const gl::Matrix4 sceneWorld = toGl(rm::frameWorldMatrix(scene));
        collectLights(scene, sceneWorld, 0);

        s.renderer->begin(framebuffer_, setup_);
        triangles_ = 0;
        translucent_.clear();
        drawFrame(device, scene, sceneWorld, 0);
        drawTranslucent();
        s.renderer->end();
        // The device object is not const; only its backend counters change here.
        const_cast<rm::DeviceData&>(device).trianglesDrawn = triangles_;
        evictUnused();
        return D3DRM_OK;
    }

    HRESULT update(const rm::DeviceData& device) override {
        track(device);
        const bool again = startFrame();
        frameStarted_ = false;
        if (!again) {
            if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
            framebuffer_.read(picture_);
            pictureDrawn_ = true;
            ++drawnFrames;
        }
        present();
        return D3DRM_OK;
    }

    HRESULT handlePaint(const rm::DeviceData& device, HDC) override {
        track(device);
        present();
        return D3DRM_OK;
    }

    void readCovered(std::vector<unsigned char>& covered, int& width, int& height) const {
        if (gl::makeContextCurrent())
            framebuffer_.readCovered(covered);
        else
            covered.assign(size_t(framebuffer_.width()) * size_t(framebuffer_.height()), 0);
        width = framebuffer_.width();
        height = framebuffer_.height();
    }

    void readPicture(std::vector<unsigned char>& rgba, int& width, int& height) const {
        rgba = picture_;
        width = framebuffer_.width();
        height = framebuffer_.height();
    }

private:
    void track(const rm::DeviceData& device) {
        if (data_ == &device) return;
        if (data_) deviceRegistry().erase(data_);
        data_ = &device;
        deviceRegistry()[data_] = this;
    }

    // Decides at the frame's first call whether it presents the last picture again.
    bool startFrame() {
        if (frameStarted_) return reusing_;
        frameStarted_ = true;
        const unsigned long long stamp = redrawStamp ? redrawStamp() : 0;
        reusing_ = stamp != 0 && stamp == drawnStamp_ && pictureDrawn_;
        drawnStamp_ = stamp;
        return reusing_;
    }

    void present() {
        if (hwnd_ && pictureReceiver) pictureReceiver(hwnd_, picture_.data(), framebuffer_.width(), framebuffer_.height());
    }

    // The viewport's rectangle, cut to the device; false when nothing of it is left.
    bool rect(const rm::ViewportData& v, int& x, int& y, int& w, int& h) const {
        if (!framebuffer_.valid()) return false;
        const long x0 = std::max<long>(v.x, 0), y0 = std::max<long>(v.y, 0);
        const long x1 = std::min<long>(long(v.x) + long(v.width), framebuffer_.width());
        const long y1 = std::min<long>(long(v.y) + long(v.height), framebuffer_.height());
        if (x1 <= x0 || y1 <= y0) return false;
        x = int(x0);
        y = int(y0);
        w = int(x1 - x0);
        h = int(y1 - y0);
        return true;
    }

    static constexpr int kMaxDepth = 64;  // frames used as visuals may nest (or loop)

    void collectLights(IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        if (depth > kMaxDepth) return;
        for (IDirect3DRMLight* light : rm::frameLights(frame)) {
            const rm::LightData& d = rm::lightData(light);
            gl::LightInfo l;
            switch (d.type) {
                case D3DRMLIGHT_AMBIENT: l.kind = gl::LightKind::Ambient; break;
                case D3DRMLIGHT_POINT: l.kind = gl::LightKind::Point; break;
                case D3DRMLIGHT_SPOT: l.kind = gl::LightKind::Spot; break;
                case D3DRMLIGHT_DIRECTIONAL: l.kind = gl::LightKind::Directional; break;
                case D3DRMLIGHT_PARALLELPOINT: l.kind = gl::LightKind::ParallelPoint; break;
                default: continue;
            }
            l.colour = colourOf(d.color);
            l.position = {world[12], world[13], world[14]};
            l.direction = normalised({world[8], world[9], world[10]});
            l.constant = d.constantAttenuation;
            l.linear = d.linearAttenuation;
            l.quadratic = d.quadraticAttenuation;
            l.range = d.range;
            l.umbra = d.umbra;
            l.penumbra = d.penumbra;
            l.scope = d.enableFrame;
            setup_.lights.push_back(l);
        }
        for (IDirect3DRMFrame* child : rm::frameChildren(frame))
            collectLights(child, gl::multiply(toGl(rm::frameLocalMatrix(child)), world), depth + 1);
    }

    void drawFrame(const rm::DeviceData& device, IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        if (depth > kMaxDepth) return;
        path_.push_back(frame);
        drawFrameContents(device, frame, world, depth);
        path_.pop_back();
    }

    void drawFrameContents(const rm::DeviceData& device, IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        for (IDirect3DRMVisual* visual : rm::frameVisuals(frame)) {
            switch (rm::visualKind(visual)) {
                case rm::VisualKind::MeshBuilder: {
                    const rm::MeshBuilderData* b = rm::meshBuilderData(visual);
                    if (!b) break;
                    const gl::Quality quality = combine(device.quality, b->quality);
                    const rm::SkinPose* pose = rm::meshBuilderPose(visual);
                    Extras extras{quality.fill == gl::FillMode::Wireframe, false,
                                  quality.lighting && quality.shade != gl::ShadeMode::Flat};
                    for (const rm::MaterialData& m : b->materials)
                        extras.records = extras.records || shared().renderer->needsRecords(quality, materialOf(m));
                    const gl::GpuMesh* mesh = gpuMesh(visual, *b, b->textures, extras, pose);
                    if (mesh) draw(*mesh, world, quality, -1);
                    break;
                }
                case rm::VisualKind::Mesh: {
                    const rm::MeshData* m = rm::meshData(visual);
                    if (!m) break;
                    textures_.clear();
                    for (const rm::MeshGroupData& g : m->groups) textures_.push_back(g.texture);
                    const bool wire = std::any_of(m->groups.begin(), m->groups.end(), [](const rm::MeshGroupData& g) {
                        return fromQuality(g.quality).fill == gl::FillMode::Wireframe;
                    });
                    Extras extras{wire, false, true};
                    for (const rm::MeshGroupData& g : m->groups)
                        extras.records = extras.records || shared().renderer->needsRecords(fromQuality(g.quality),
                                                                                            materialOf(g.material));
                    const gl::GpuMesh* mesh = gpuMesh(visual, *m, textures_, extras);
                    if (!mesh) break;
                    // Meshes ignore the device's quality.
                    for (size_t g = 0; g < m->groups.size(); ++g) draw(*mesh, world, fromQuality(m->groups[g].quality), int(g));
                    break;
                }
                case rm::VisualKind::Frame: {
                    IDirect3DRMFrame* f = rm::visualAsFrame(visual);
                    // A frame shown inside itself would never end.
                    if (f && std::find(path_.begin(), path_.end(), static_cast<const void*>(f)) == path_.end())
                        drawFrame(device, f, gl::multiply(toGl(rm::frameLocalMatrix(f)), world), depth + 1);
                    break;
                }
                default: break;
            }
        }
        for (IDirect3DRMFrame* child : rm::frameChildren(frame))
            drawFrame(device, child, gl::multiply(toGl(rm::frameLocalMatrix(child)), world), depth + 1);
    }

    std::span<const void* const> path() const { return path_; }

    // Opaque groups now; translucent ones once everything opaque is drawn.
    void draw(const gl::GpuMesh& mesh, const gl::Matrix4& world, const gl::Quality& quality, int group) {
        triangles_ += shared().renderer->draw(mesh, world, quality, group, path(), gl::Renderer::Groups::Opaque);
        if (mesh.hasTranslucent()) {
            const gl::Vec3 c = gl::transformPoint(gl::transformPoint(mesh.centre(), world), setup_.view);
            translucent_.push_back({&mesh, world, quality, group, path_, c[2]});
        }
    }

    // Farthest first, so that nearer faces blend over farther ones.
    void drawTranslucent() {
        std::stable_sort(translucent_.begin(), translucent_.end(),
                         [](const Deferred& a, const Deferred& b) { return a.depth > b.depth; });
        for (const Deferred& d : translucent_)
            triangles_ += shared().renderer->draw(*d.mesh, d.world, d.quality, d.group, d.path,
                                                  gl::Renderer::Groups::Translucent);
        translucent_.clear();
    }

    HWND hwnd_;
    gl::Framebuffer framebuffer_;
    std::vector<unsigned char> picture_;
    gl::FrameSetup setup_;
    std::vector<IDirect3DRMTexture*> textures_;
    std::vector<const void*> path_;  // frames being drawn, outermost first
    struct Deferred {
        const gl::GpuMesh* mesh;
        gl::Matrix4 world;
        gl::Quality quality;
        int group;
        std::vector<const void*> path;
        float depth;  // of the mesh's centre, from the camera
    };
    std::vector<Deferred> translucent_;
    const rm::DeviceData* data_ = nullptr;
    DWORD triangles_ = 0;
    bool frameStarted_ = false;  // a Clear or Render came since the last Update
    bool reusing_ = false;       // this frame presents the last picture again
    bool pictureDrawn_ = false;  // picture_ holds a drawn frame
    unsigned long long drawnStamp_ = 0;
};

rm::DeviceBackendResult createBackend(const rm::DeviceBackendRequest& request) {
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
    HWND hwnd = nullptr;
    if (request.clipper && request.clipper->GetHWnd(&hwnd) != DD_OK) hwnd = nullptr;
    if (request.width <= 0 || request.height <= 0) {
        result.result = D3DRMERR_BADVALUE;
        return result;
    }
    if (!gl::ensureContext()) {
        std::fprintf(stderr, "OpenGL: %s\n", gl::lastContextError().c_str());
        result.result = D3DRMERR_BADDEVICE;
        return result;
    }
    std::unique_ptr<GlDevice> device;
    try {
        device = std::make_unique<GlDevice>(hwnd, request.width, request.height);
    } catch (const std::bad_alloc&) {
        result.result = DDERR_OUTOFMEMORY;  // no memory for its picture
        return result;
    }
    if (!device->valid()) {
        result.result = D3DRMERR_BADDEVICE;  // larger than the driver can draw
        return result;
    }
    result.result = D3DRM_OK;
    result.backend = std::move(device);
    result.colorModel = model;
    result.width = DWORD(request.width);
    result.height = DWORD(request.height);
    return result;
}

}  // namespace

void glRegisterDeviceBackend(GlPictureReceiver receiver) {
    // Every frame the driver takes and frees about the same memory: keep it rather than
    // hand it back and have it faulted in again the next frame (what big loads free goes
    // back explicitly).
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    pictureReceiver = receiver;
    rm::setDeviceBackendFactory(createBackend);
}

bool glDeviceReadPicture(IDirect3DRMDevice* device, std::vector<unsigned char>& rgba, int& width, int& height) {
    if (!device) return false;
    auto& registry = deviceRegistry();
    auto it = registry.find(&rm::deviceData(device));
    if (it == registry.end()) return false;
    it->second->readPicture(rgba, width, height);
    return true;
}

bool glDeviceReadCovered(IDirect3DRMDevice* device, std::vector<unsigned char>& covered, int& width, int& height) {
    if (!device) return false;
    auto& registry = deviceRegistry();
    auto it = registry.find(&rm::deviceData(device));
    if (it == registry.end()) return false;
    it->second->readCovered(covered, width, height);
    return true;
}

unsigned long glGeometryUploadCount() { return uploadCount; }

void glSetRedrawStamp(GlRedrawStamp stamp) { redrawStamp = stamp; }
unsigned long glDrawnFrameCount() { return drawnFrames; }
