#include "platform/gl/gl_mesh_build.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <span>

#include "platform/gl/gl_gpu_cache.h"
#include "platform/parallel.h"
#include "platform/rm/big_memory.h"

namespace gldevice {

gl::Vec3 normalised(const gl::Vec3& v) {
    const float l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(l > 1e-20f)) return {0, 0, 0};
    return {v[0] / l, v[1] / l, v[2] / l};
}

gl::Material materialOf(const rm::MaterialData& m) {
    gl::Material r;
    r.power = m.power;
    r.specular = {m.specular[0], m.specular[1], m.specular[2]};
    r.emissive = {m.emissive[0], m.emissive[1], m.emissive[2]};
    return r;
}

namespace {

gl::Vec3 vec(const D3DVECTOR& v) { return {v.x, v.y, v.z}; }

// Lighting takes the length of a normal: a zero or non-finite one would turn the corner black.
bool usableNormal(const D3DVECTOR& n) {
    const float l = n.x * n.x + n.y * n.y + n.z * n.z;
    return l > 1e-20f && std::isfinite(l);
}

// Outward normal of a convex polygon whose corners run clockwise as seen from the front.
// The fragment shader works this, normalised() and polygonCentre() out again, operation
// for operation, for triangles and quadrilaterals (recordFromCorners in mesh.frag): a
// change here goes there too.
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

// D3DCOLOR (0xAARRGGBB) as vertices carry it: RGBA bytes, red first.
uint32_t vertexColour(D3DCOLOR c) {
    return uint32_t(RGB_GETRED(c)) | uint32_t(RGB_GETGREEN(c)) << 8 | uint32_t(RGB_GETBLUE(c)) << 16 |
           uint32_t(RGBA_GETALPHA(c)) << 24;
}

gl::Vec3 polygonCentre(uint32_t count, auto point) {
    gl::Vec3 centre{0, 0, 0};
    // Dividing by a power of two is multiplying by its inverse, to the bit; others divide.
    const bool powerOfTwo = (count & (count - 1)) == 0;
    const float inverse = 1.0f / float(count);
    for (uint32_t i = 0; i < count; ++i) {
        const gl::Vec3 p = point(i);
        for (int k = 0; k < 3; ++k) centre[k] += powerOfTwo ? p[k] * inverse : p[k] / float(count);
    }
    return centre;
}

// Puts faces that lie near each other near each other in the drawing order (along a
// Z-order curve through cells of a few dozen faces each; file order within a cell): the
// GPU then shades each shared corner fewer times, and a cluster of consecutive triangles
// is a compact patch that is easily skipped.
void orderByPlace(std::span<uint32_t> faces, auto where) {
    if (faces.size() < 2 * gl::GpuMesh::kClusterTriangles) return;
    // The box, in parts: the first from the first face, the others from infinities, so
    // that joined in order they give what one pass from the first face gives.
    const unsigned parts = partsFor(faces.size());
    std::vector<std::array<gl::Vec3, 2>> boxes(parts);
    runInParts(faces.size(), parts, [&](unsigned part, size_t first, size_t end) {
        constexpr float far = std::numeric_limits<float>::infinity();
        gl::Vec3 lo{far, far, far}, hi{-far, -far, -far};
        if (part == 0) lo = hi = where(faces[0]);
        for (size_t i = first; i < end; ++i) {
            const gl::Vec3 p = where(faces[i]);
            for (int k = 0; k < 3; ++k) {
                if (p[k] < lo[k]) lo[k] = p[k];
                if (p[k] > hi[k]) hi[k] = p[k];
            }
        }
        boxes[part] = {lo, hi};
    });
    gl::Vec3 lo = boxes[0][0], hi = boxes[0][1];
    for (const auto& box : boxes)
        for (int k = 0; k < 3; ++k) {
            if (box[0][k] < lo[k]) lo[k] = box[0][k];
            if (box[1][k] > hi[k]) hi[k] = box[1][k];
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
    // Bit b of a cell's k-th coordinate goes to bit 3 b + k of its code.
    auto spread = [](uint32_t x) {
        x &= 0x3ffu;
        x = (x | x << 16) & 0x030000ffu;
        x = (x | x << 8) & 0x0300f00fu;
        x = (x | x << 4) & 0x030c30c3u;
        return (x | x << 2) & 0x09249249u;
    };
    runInParts(faces.size(), parts, [&](unsigned, size_t first, size_t end) {
        for (size_t i = first; i < end; ++i) {
            const gl::Vec3 p = where(faces[i]);
            uint32_t c = 0;
            for (int k = 0; k < 3; ++k) {
                const float span = hi[k] - lo[k];
                const float t = span > 0 && std::isfinite(span) ? (p[k] - lo[k]) / span : 0.0f;
                const uint32_t q = std::isfinite(t) ? uint32_t(std::clamp(t * cells, 0.0f, cells - 1)) : 0u;
                c |= spread(q) << k;
            }
            code[i] = c;
        }
    });
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

}  // namespace

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
    // Translucent faces are rare: look for them only when some look or vertex is.
    bool anyTranslucent = fromVertex && !std::all_of(b.vertexColors.begin(), b.vertexColors.end(), opaque);
    for (uint32_t i = 0; i < b.looks.size(); ++i) anyTranslucent = anyTranslucent || !opaque(b.looks[i].color);
    auto drawable = [&](const rm::BuilderFace& face) {
        if (face.cornerCount < 3 || size_t(face.firstCorner) + face.cornerCount > b.corners.size()) return false;
        for (uint32_t i = 0; i < face.cornerCount; ++i)
            if (b.corners[face.firstCorner + i].vertex >= positions) return false;
        return true;
    };
    auto cornerColour = [&](const rm::BuilderFace& face, uint32_t v) {
        return fromVertex && v < b.vertexColors.size() ? b.vertexColors[v] : b.lookOf(face).color;
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
    // Drawing order: opacity, material, texture, then the shape of the faces' records:
    // triangles (their records worked out from their corners, or one each), other polygons
    // but quadrilaterals and hexagons (one a triangle), quadrilaterals (worked out too, or
    // one for their 2 triangles), hexagons (one for their 4); each needs a group of its
    // own. Then, for opaque faces, the way they face (so that runs of faces can be skipped
    // when they all face away); file order within. Faces in one plane face the same way, so
    // their order among themselves stays.
    struct Key {
        bool translucent;
        uint32_t material, texture;
        uint8_t shape;
        uint8_t facing;
        auto operator<=>(const Key&) const = default;
        bool sameGroup(const Key& o) const {
            return translucent == o.translucent && material == o.material && texture == o.texture && shape == o.shape;
        }
    };
    auto shapeOf = [](uint32_t corners) { return uint8_t(corners == 3 ? 0 : corners == 4 ? 2 : corners == 6 ? 3 : 1); };
    auto recordShiftOf = [](uint32_t corners) { return corners == 4 ? 1 : corners == 6 ? 2 : 0; };
    auto point = [&](const rm::BuilderFace& face) {
        return [&](uint32_t k) { return vec(places[b.corners[face.firstCorner + k].vertex]); };
    };
    // Which faces get flat records of their own: where the GPU can read the corners (faces
    // use corners of their own, so the corners bound the vertices and triangles), only the
    // polygons whose records it cannot work out from them.
    const bool cornerRecords = extras.records && gl::GpuMesh::cornersReadable(b.corners.size(), b.corners.size());
    auto ownRecord = [&](uint32_t corners) {
        return extras.records && !(cornerRecords && gl::GpuMesh::recordFromCorners(corners));
    };
    // The way each face faces (kNotDrawn for a face that cannot be drawn: the passes after
    // this one look no further).
    constexpr uint8_t kNotDrawn = 0xff;
    std::vector<uint8_t> facing(b.faces.size(), kNotDrawn);
    runInParts(b.faces.size(), partsFor(b.faces.size()), [&](unsigned, size_t first, size_t end) {
        for (size_t f = first; f < end; ++f) {
            const rm::BuilderFace& face = b.faces[f];
            if (!drawable(face)) continue;
            const gl::Vec3 n = polygonNormal(face.cornerCount, point(face));
            int axis = 0;
            for (int k = 1; k < 3; ++k)
                if (std::fabs(n[k]) > std::fabs(n[axis])) axis = k;
            facing[f] = uint8_t(axis * 2 + (n[axis] < 0 ? 1 : 0));
        }
    });
    auto keyOf = [&](const rm::BuilderFace& face) {
        bool see = false;
        if (anyTranslucent) {
            see = !fromVertex && !opaque(b.lookOf(face).color);
            for (uint32_t i = 0; i < face.cornerCount && fromVertex && !see; ++i)
                see = !opaque(cornerColour(face, b.corners[face.firstCorner + i].vertex));
        }
        const rm::FaceLook& look = b.lookOf(face);
        return Key{see, look.material < material.size() ? material[look.material] : 0,
                   look.texture < b.textures.size() ? look.texture : 0, shapeOf(face.cornerCount),
                   see ? uint8_t(0) : facing[size_t(&face - b.faces.data())]};
    };
    // A counting sort over the few distinct keys, in parts: each part counts its faces by
    // the keys it meets, in a table of its own; the tables are joined in part order; then
    // each part places its faces from where its share of each key begins, so that the
    // order is the one a single pass makes (by key, in file order within one).
    struct PartKeys {
        std::vector<Key> keys;         // as this part met them
        std::vector<uint32_t> slots;   // per key: faces, then where the next one goes
        std::vector<size_t> local;     // per key of the whole: its index here (SIZE_MAX: none)
        // The key last met with each way of facing and shape of record: a mesh's faces take
        // turns between a few keys that differ in those alone (faces back to back, a closed
        // surface, triangles among quadrilaterals).
        size_t last[32] = {};
        size_t slotOf(const Key& k) {
            size_t& hint = last[(k.facing & 7) * 4 + (k.shape & 3)];
            if (hint < keys.size() && keys[hint] == k) return hint;
            hint = std::find(keys.begin(), keys.end(), k) - keys.begin();
            if (hint == keys.size()) {
                keys.push_back(k);
                slots.push_back(0);
            }
            return hint;
        }
    };
    const unsigned sortParts = partsFor(b.faces.size());
    std::vector<PartKeys> partKeys(sortParts);
    runInParts(b.faces.size(), sortParts, [&](unsigned p, size_t first, size_t end) {
        PartKeys& part = partKeys[p];
        for (size_t f = first; f < end; ++f)
            if (facing[f] != kNotDrawn) ++part.slots[part.slotOf(keyOf(b.faces[f]))];
    });
    std::vector<Key> keys;
    for (const PartKeys& part : partKeys)
        for (const Key& k : part.keys)
            if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    for (PartKeys& part : partKeys) {
        part.local.assign(keys.size(), SIZE_MAX);
        for (size_t i = 0; i < part.keys.size(); ++i)
            part.local[std::find(keys.begin(), keys.end(), part.keys[i]) - keys.begin()] = i;
    }
    std::vector<size_t> byKey(keys.size());
    for (size_t i = 0; i < byKey.size(); ++i) byKey[i] = i;
    std::sort(byKey.begin(), byKey.end(), [&](size_t x, size_t y) { return keys[x] < keys[y]; });
    std::vector<uint32_t> begins(keys.size()), ends(keys.size());
    uint32_t faceCount = 0;
    for (size_t k : byKey) {
        begins[k] = faceCount;
        for (PartKeys& part : partKeys)
            if (part.local[k] != SIZE_MAX) {
                const uint32_t n = part.slots[part.local[k]];
                part.slots[part.local[k]] = faceCount;
                faceCount += n;
            }
        ends[k] = faceCount;
    }
    std::vector<uint32_t> order;
    rm::reserveOnHugePages(order, faceCount);
    order.resize(faceCount);
    runInParts(b.faces.size(), sortParts, [&](unsigned p, size_t first, size_t end) {
        PartKeys& part = partKeys[p];
        for (size_t f = first; f < end; ++f)
            if (facing[f] != kNotDrawn) order[part.slots[part.slotOf(keyOf(b.faces[f]))]++] = uint32_t(f);
    });
    partKeys = {};
    for (size_t k = 0; k < keys.size(); ++k)
        if (!keys[k].translucent)
            orderByPlace(std::span(order).subspan(begins[k], ends[k] - begins[k]),
                         [&](uint32_t f) { return vec(places[b.corners[b.faces[f].firstCorner].vertex]); });

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
    // Both passes run in parts, each from where a cluster starts: a group's first face, or
    // one a whole number of clusters into its group. Groups start where the key changes but
    // for the way faces face.
    struct PartStart {
        size_t face;
        uint32_t made, triangle, record, edge;
    };
    std::vector<size_t> groupStarts;
    for (size_t i = 0; i < byKey.size(); ++i)
        if (i == 0 || !keys[byKey[i]].sameGroup(keys[byKey[i - 1]])) groupStarts.push_back(begins[byKey[i]]);
    groupStarts.push_back(order.size());
    // The shared corner for builder corner c in `list`, whose chains start at `heads`
    // (kNone: none yet).
    auto find = [&](const auto& list, const uint32_t* heads, uint32_t c, D3DCOLOR colour) {
        uint32_t at = heads[b.corners[c].vertex];
        while (at != kNone && (!sameNormal(list[at].corner, c) || list[at].colour != colour)) at = list[at].next;
        return at;
    };
    auto share = [&](uint32_t c, D3DCOLOR colour) { return find(made, firstAt.data(), c, colour); };
    // The faces in drawing order lie scattered over the builder's arrays: both passes ask
    // for what the faces a few places ahead will read (their records, then their corners,
    // then where their vertices' chains start and, for the second, where they are) while
    // they work on this one.
    auto fetchAhead = [&](size_t i, size_t end, const uint32_t* heads, bool where) {
        if (i + 16 < end) __builtin_prefetch(&b.faces[order[i + 16]]);
        if (i + 8 < end) __builtin_prefetch(b.corners.vertices() + b.faces[order[i + 8]].firstCorner);
        if (i + 4 < end) {
            const rm::BuilderFace& face = b.faces[order[i + 4]];
            for (uint32_t k = 0; k < face.cornerCount && k < 8; ++k) {
                const uint32_t v = b.corners.vertex(face.firstCorner + k);
                __builtin_prefetch(&heads[v]);
                if (where) __builtin_prefetch(&places[v]);
            }
        }
    };
    struct Sums {
        uint64_t triangles = 0, corners = 0, records = 0;
    };
    auto addFace = [&](Sums& s, const rm::BuilderFace& face) {
        s.triangles += face.cornerCount - 2;
        s.corners += face.cornerCount;
        if (ownRecord(face.cornerCount)) s.records += recordShiftOf(face.cornerCount) ? 1 : face.cornerCount - 2;
    };
    // Where the parts start: from an even share of the faces on, the first face that starts
    // a cluster. The sums up to each share and each group's first triangle come first, in
    // parts of their own.
    const unsigned shares = partsFor(order.size());
    auto shareStart = [&](unsigned p) { return (order.size() * p + shares - 1) / shares; };
    std::vector<Sums> before(shares + 1);  // up to each share, once added up
    std::vector<uint64_t> groupTriangles(groupStarts.size());
    runInParts(shares, shares, [&](unsigned p, size_t, size_t) {
        Sums sums;
        size_t g = size_t(std::lower_bound(groupStarts.begin(), groupStarts.end(), shareStart(p)) - groupStarts.begin());
        for (size_t i = shareStart(p); i < shareStart(p + 1); ++i) {
            for (; groupStarts[g] == i; ++g) groupTriangles[g] = sums.triangles;
            addFace(sums, b.faces[order[i]]);
        }
        before[p + 1] = sums;
    });
    for (unsigned p = 1; p <= shares; ++p) {
        before[p].triangles += before[p - 1].triangles;
        before[p].corners += before[p - 1].corners;
        before[p].records += before[p - 1].records;
    }
    for (size_t g = 0, p = 0; g + 1 < groupStarts.size(); ++g) {
        while (shareStart(unsigned(p + 1)) <= groupStarts[g]) ++p;
        groupTriangles[g] += before[p].triangles;
    }
    std::vector<PartStart> partStarts;
    if (!order.empty()) partStarts.push_back({0, 0, 0, 0, 0});
    {
        size_t i = 0;
        Sums sums;
        for (unsigned p = 1; p < shares && i < order.size(); ++p) {
            if (i < shareStart(p)) {
                i = shareStart(p);
                sums = before[p];
            }
            for (; i < order.size(); addFace(sums, b.faces[order[i]]), ++i) {
                const size_t g = size_t(std::upper_bound(groupStarts.begin(), groupStarts.end(), i) - groupStarts.begin()) - 1;
                if (groupStarts[g] == i || (sums.triangles - groupTriangles[g]) % gl::GpuMesh::kClusterTriangles == 0) break;
            }
            if (i == order.size()) break;
            partStarts.push_back({i, 0, uint32_t(sums.triangles), uint32_t(sums.records), uint32_t(sums.corners)});
            addFace(sums, b.faces[order[i++]]);
        }
    }
    const uint64_t triangles = before[shares].triangles, corners = before[shares].corners,
                   records = before[shares].records;
    if (triangles > UINT32_MAX / 3 || corners > UINT32_MAX / 2) return nullptr;

    // The first pass, in the same parts as the second: each part finds which of its corners
    // are shared among its own faces; then, part after part, the corners it made that an
    // earlier part made already are dropped and the others numbered on, which numbers them
    // as one pass over all faces in drawing order would. The parts after the first keep
    // theirs on pages of their own (at most one a corner).
    std::vector<std::unique_ptr<rm::PageStack<Made>>> partMade(partStarts.size());
    std::vector<uint32_t> mostIn(partStarts.size(), 0);
    auto firstPass = [&](unsigned p, auto& list, uint32_t* heads) {
        const size_t end = p + 1 < partStarts.size() ? partStarts[p + 1].face : order.size();
        for (size_t i = partStarts[p].face; i < end; ++i) {
            fetchAhead(i, end, heads, false);
            const uint32_t f = order[i];
            const rm::BuilderFace& face = b.faces[f];
            mostIn[p] = std::max(mostIn[p], face.cornerCount);
            for (uint32_t k = 0; k < face.cornerCount; ++k) {
                const uint32_t c = face.firstCorner + k, v = b.corners[c].vertex;
                const D3DCOLOR colour = cornerColour(face, v);
                if (!usable(b.corners[c].normal)) {
                    list.push_back({c, colour, f | kOwn});
                } else if (find(list, heads, c, colour) == kNone) {
                    list.push_back({c, colour, heads[v]});
                    heads[v] = uint32_t(list.size() - 1);
                }
            }
        }
    };
    runInParts(partStarts.size(), unsigned(partStarts.size()), [&](unsigned p, size_t, size_t) {
        if (partStarts.empty()) return;
        if (p == 0) return firstPass(0, made, firstAt.data());
        const size_t cornersHere = (p + 1 < partStarts.size() ? partStarts[p + 1].edge : corners) - partStarts[p].edge;
        partMade[p] = std::make_unique<rm::PageStack<Made>>(cornersHere);
        rm::PageArray<uint32_t> heads(b.positions.size());
        std::fill_n(heads.data(), heads.size(), kNone);
        firstPass(p, *partMade[p], heads.data());
    });
    for (size_t p = 1; p < partStarts.size() && made.size() < kOwn; ++p) {
        partStarts[p].made = uint32_t(made.size());
        const rm::PageStack<Made>& list = *partMade[p];
        for (size_t e = 0; e < list.size(); ++e) {
            if (e + 8 < list.size()) __builtin_prefetch(b.corners.vertices() + list[e + 8].corner);
            if (e + 4 < list.size()) __builtin_prefetch(&firstAt[b.corners.vertex(list[e + 4].corner)]);
            const Made& m = list[e];
            if (m.next != kNone && (m.next & kOwn)) {
                made.push_back(m);
            } else if (share(m.corner, m.colour) == kNone) {
                const uint32_t v = b.corners[m.corner].vertex;
                made.push_back({m.corner, m.colour, firstAt[v]});
                firstAt[v] = uint32_t(made.size() - 1);
            }
        }
        partMade[p].reset();
    }
    uint32_t mostCorners = 0;
    for (uint32_t n : mostIn) mostCorners = std::max(mostCorners, n);
    if (made.size() >= kOwn) return nullptr;

    gl::GpuMesh::Sizes sizes;
    sizes.vertices = uint32_t(made.size());
    sizes.triangles = uint32_t(triangles);
    sizes.edges = extras.edges ? uint32_t(corners) : 0;
    sizes.cornerRecords = cornerRecords;
    sizes.records = uint32_t(records);
    sizes.normals = extras.normals;
    sizes.texCoords = !b.texCoords.empty() && std::any_of(b.textures.begin(), b.textures.end(),
                                                           [](IDirect3DRMTexture* t) { return t != nullptr; });
    auto mesh = std::make_unique<gl::GpuMesh>(sizes);
    const unsigned vertexParts = partsFor(made.size());
    std::vector<gl::GpuMesh::Box> boxes(vertexParts);
    runInParts(made.size(), vertexParts, [&](unsigned part, size_t first, size_t end) {
        for (size_t i = first; i < end; ++i) {
            // Made in drawing order, the vertices' corners and positions lie scattered.
            if (i + 16 < end) __builtin_prefetch(b.corners.vertices() + made[i + 16].corner);
            if (i + 8 < end) __builtin_prefetch(&places[b.corners.vertex(made[i + 8].corner)]);
            const Made& m = made[i];
            const rm::FaceCorner corner = b.corners[m.corner];
            const rm::TexCoord uv = corner.vertex < b.texCoords.size() ? b.texCoords[corner.vertex] : rm::TexCoord{};
            gl::Vec3 n{0, 0, 0};
            if (extras.normals && m.next != kNone && (m.next & kOwn)) {
                const rm::BuilderFace& face = b.faces[m.next & ~kOwn];
                n = polygonNormal(face.cornerCount, point(face));
            } else if (extras.normals) {
                // A posed normal depends on the vertex and the normal only, like the pair.
                n = vec(posed ? pose->cornerNormals[m.corner] : b.normals[corner.normal]);
            }
            // The first part's vertices are the mesh's first: they start its box.
            if (part == 0)
                mesh->setVertex(uint32_t(i), vec(places[corner.vertex]), n, uv.u, uv.v, vertexColour(m.colour));
            else
                mesh->writeVertex(uint32_t(i), vec(places[corner.vertex]), n, uv.u, uv.v, vertexColour(m.colour),
                                  boxes[part]);
        }
    });
    for (const gl::GpuMesh::Box& box : boxes) mesh->widenBox(box);

    // The second pass meets the corners in the order the first made them: each part from
    // the count the first had made where the part starts.
    if (partStarts.empty()) partStarts.push_back({0, 0, 0, 0, 0});
    partStarts.push_back(
        {order.size(), uint32_t(made.size()), uint32_t(triangles), uint32_t(records), uint32_t(corners)});
    std::vector<gl::GpuMesh::Part> written(partStarts.size() - 1);
    std::vector<std::vector<uint32_t>> cornerLists(written.size());
    std::vector<std::vector<gl::Vec3>> pointLists(written.size());
    for (size_t p = 0; p < written.size(); ++p) {
        written[p].triangle = partStarts[p].triangle;
        written[p].record = partStarts[p].record;
        written[p].edge = extras.edges ? partStarts[p].edge : 0;
        written[p].clusterNormals.reserve(gl::GpuMesh::kClusterTriangles);
        cornerLists[p].resize(mostCorners);
        pointLists[p].resize(mostCorners);
    }
    runInParts(written.size(), unsigned(written.size()), [&](unsigned p, size_t, size_t) {
        gl::GpuMesh::Part& part = written[p];
        uint32_t* idx = cornerLists[p].data();
        gl::Vec3* points = pointLists[p].data();
        uint32_t next = partStarts[p].made;
        // The key of the face at i in the order: the one whose stretch holds i (keys follow
        // each other in byKey order). Each part moves a cursor of its own forward.
        auto keyAt = [&, at = size_t(0)](size_t i) mutable {
            while (ends[byKey[at]] <= i) ++at;
            return byKey[at];
        };
        const size_t end = partStarts[p + 1].face;
        size_t key = partStarts[p].face < end ? keyAt(partStarts[p].face) : 0;
        for (size_t i = partStarts[p].face; i < end; ++i) {
            fetchAhead(i, end, firstAt.data(), true);
            const rm::BuilderFace& face = b.faces[order[i]];
            for (uint32_t k = 0; k < face.cornerCount; ++k) {
                const uint32_t c = face.firstCorner + k;
                if (!usable(b.corners[c].normal)) {
                    idx[k] = next++;
                    continue;
                }
                idx[k] = share(c, cornerColour(face, b.corners[c].vertex));
                if (idx[k] == next) ++next;
            }
            for (uint32_t k = 0; k < face.cornerCount; ++k) points[k] = point(face)(k);
            auto pointAt = [&](uint32_t k) { return points[k]; };
            // The normal and centre only where the face keeps a record of them.
            const bool own = ownRecord(face.cornerCount);
            mesh->addPolygon(part, idx, points, face.cornerCount,
                             own ? gl::packNormal(polygonNormal(face.cornerCount, pointAt)) : 0,
                             own ? polygonCentre(face.cornerCount, pointAt) : gl::Vec3{}, recordShiftOf(face.cornerCount));
            if (extras.edges)
                for (uint32_t k = 0; k < face.cornerCount; ++k)
                    mesh->addEdge(part, idx[k], idx[(k + 1) % face.cornerCount]);
            const size_t here = key;
            if (i + 1 < order.size()) key = keyAt(i + 1);
            if (i + 1 == order.size() || !keys[key].sameGroup(keys[here])) gl::GpuMesh::endGroup(part, uint32_t(here));
        }
    });
    for (gl::GpuMesh::Part& part : written)
        mesh->takePart(part, [&](uint32_t tag) {
            const Key& k = keys[tag];
            mesh->endGroup(materialOf(b.materials[k.material]), gpuTexture(b.textures[k.texture]), fromVertex,
                           k.translucent);
        });
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

}  // namespace gldevice
