// The Load methods: .x file contents (platform/rm/xfile.h) into retained-mode objects.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/rm/big_memory.h"
#include "platform/rm/objects.h"
#include "platform/rm/rm_math.h"
#include "platform/rm/xfile.h"

namespace rm {

HRESULT describeSource(void* source, D3DRMLOADOPTIONS flags, LoadSource& out) {
    if (!source) return D3DRMERR_BADVALUE;
    switch (flags & 0x0f) {
        case D3DRMLOAD_FROMFILE: out.path = static_cast<const char*>(source); return D3DRM_OK;
        case D3DRMLOAD_FROMMEMORY: {
            auto* m = static_cast<D3DRMLOADMEMORY*>(source);
            if (!m->lpMemory && m->dSize) return D3DRMERR_BADVALUE;
            out.memory = m->lpMemory;
            out.size = m->dSize;
            return D3DRM_OK;
        }
        default: return D3DRMERR_BADVALUE;
    }
}

namespace {

std::string lastLoadFailure;

// The reason goes to standard error and is kept for whoever reports the failure.
void tellLoadFailure(const LoadSource& where, const std::string& why) {
    lastLoadFailure = why;
    std::fprintf(stderr, "x file: %s: %s\n", where.path.empty() ? "(memory)" : where.path.c_str(), why.c_str());
}

HRESULT readFile(void* source, D3DRMLOADOPTIONS flags, xfile::File& file, LoadSource& where) {
    lastLoadFailure.clear();
    HRESULT hr = describeSource(source, flags, where);
    if (FAILED(hr)) return hr;
    std::string error;
    xfile::Status status;
    if (where.memory || where.path.empty())
        status = xfile::parse({static_cast<const uint8_t*>(where.memory), where.size}, file, &error);
    else
        status = xfile::loadFile(where.path, file, &error);
    switch (status) {
        case xfile::Status::Ok: return D3DRM_OK;
        case xfile::Status::FileNotFound: return D3DRMERR_FILENOTFOUND;
        case xfile::Status::BadFile:
            tellLoadFailure(where, error);
            return D3DRMERR_BADFILE;
    }
    return D3DRMERR_BADFILE;
}

const char* wantedName(void* name, D3DRMLOADOPTIONS flags) {
    if (!(flags & D3DRMLOAD_BYNAME) || !name) return nullptr;
    return static_cast<const char*>(name);
}

// A load that ran over its cost account: refused with what ran over.
HRESULT refuse(const LoadSource& where, const CostAccount& cost) {
    tellLoadFailure(where, cost.refusal());
    return D3DRMERR_BADFILE;
}

// Each texture name the file uses, asked for once per load; what the textures cost is
// charged to the load's account.
class TextureSource {
public:
    TextureSource(D3DRMLOADTEXTURECALLBACK callback, void* arg, CostAccount& cost)
        : callback_(callback), arg_(arg), cost_(cost), pixels_(cost) {}
    ~TextureSource() {
        for (auto& [name, t] : textures_)
            if (t) t->Release();
    }
    IDirect3DRMTexture* get(const std::string& name) {
        if (name.empty()) return nullptr;
        auto it = textures_.find(name);
        if (it != textures_.end()) return it->second;
        IDirect3DRMTexture* texture = nullptr;
        HRESULT hr;
        if (callback_) {
            std::vector<char> buffer(name.begin(), name.end());
            buffer.push_back('\0');
            hr = callback_(buffer.data(), arg_, &texture);
        } else {
            hr = loadTextureFile(name.c_str(), defaultTextureColors(), defaultTextureShades(), &texture);
        }
        if (FAILED(hr) || !asTexture(texture)) {
            // An unreadable texture leaves its faces untextured; the model still loads.
            if (texture) texture->Release();
            texture = nullptr;
        }
        textures_[name] = texture;
        return texture;
    }

private:
    D3DRMLOADTEXTURECALLBACK callback_;
    void* arg_;
    [[maybe_unused]] CostAccount& cost_;
    TexturePixelCharge pixels_;  // decoded pictures are charged to the account while it lives
    std::map<std::string, IDirect3DRMTexture*> textures_;
};

Matrix matrixOf(const std::array<float, 16>& a) {
    Matrix m;
    for (int i = 0; i < 16; ++i) m.m[i / 4][i % 4] = a[i];
    return m;
}

const Matrix kIdentity = Matrix::identity();

// Appends one file mesh to the builder, placed by m. With vertexColours the builder takes
// its colours from the vertices: the file's vertex colours, or for a mesh without them the
// colour of the first face at each vertex. With `spare` (the same mesh, not needed after
// this), its corners' list (the faces' index lists, one after the other) is taken rather
// than copied.
void addMesh(MeshBuilder& builder, const xfile::Mesh& mesh, const Matrix& m, TextureSource& textures,
             bool vertexColours, xfile::Mesh* spare = nullptr) {
    MeshBuilderData part;
    reserveOnHugePages(part.positions, mesh.vertices.size());
    for (const auto& v : mesh.vertices) part.positions.push_back({v[0], v[1], v[2]});
    reserveOnHugePages(part.normals, mesh.normals.size());
    for (const auto& n : mesh.normals) part.normals.push_back({n[0], n[1], n[2]});
    // Without coordinates of its own every vertex is at (0, 0), which an empty list says.
    if (mesh.textureCoords.size() == mesh.vertices.size()) {
        reserveOnHugePages(part.texCoords, mesh.textureCoords.size());
        for (const auto& t : mesh.textureCoords) part.texCoords.push_back({t[0], t[1]});
    }
    const bool ownColours = vertexColours && mesh.vertexColors.size() == mesh.vertices.size();
    if (ownColours)
        for (const auto& c : mesh.vertexColors) part.vertexColors.push_back(D3DRMCreateColorRGBA(c[0], c[1], c[2], c[3]));
    // Materials: slot 0 stays the default; file material i is slot i + 1.
    std::vector<uint32_t> looks;  // of each file material
    for (const auto& mat : mesh.materials) {
        MaterialData md;
        md.power = mat.power;
        for (int k = 0; k < 3; ++k) md.specular[k] = mat.specular[k], md.emissive[k] = mat.emissive[k];
        part.materials.push_back(md);
        FaceLook look{D3DRMCreateColorRGBA(mat.faceColor[0], mat.faceColor[1], mat.faceColor[2], mat.faceColor[3]),
                      uint32_t(part.materials.size() - 1), 0};
        if (IDirect3DRMTexture* t = textures.get(mat.textureFilename)) {
            part.textures.push_back(t);  // borrowed; append() takes the builder's reference
            look.texture = static_cast<uint32_t>(part.textures.size() - 1);
        }
        looks.push_back(part.looks.indexOf(look));
    }
    const bool haveNormals = !mesh.faceNormals.empty() && mesh.faceNormals.size() == mesh.faces.size();
    const bool taken = spare != nullptr;
    if (taken)
        part.corners.adoptVertices(std::move(spare->faces.indices));
    else
        part.corners.reserve(mesh.faces.indices.size(), haveNormals);
    reserveOnHugePages(part.faces, mesh.faces.size());
    uint32_t corner = 0;
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        const uint32_t count = uint32_t(mesh.faces.count(f));
        BuilderFace bf{corner, count};
        if (f < mesh.faceMaterials.size() && mesh.faceMaterials[f] < mesh.materials.size())
            bf.look = looks[mesh.faceMaterials[f]];
        auto normals = haveNormals ? mesh.faceNormals[f] : std::span<const uint32_t>{};
        if (taken) {
            for (size_t c = 0; c < count && c < normals.size(); ++c) part.corners.setNormal(corner + c, normals[c]);
        } else {
            auto face = mesh.faces[f];
            for (size_t c = 0; c < count; ++c)
                part.corners.push_back({face[c], c < normals.size() ? normals[c] : kNoNormal});
        }
        corner += count;
        part.faces.push_back(bf);
    }
    if (vertexColours && !ownColours) {
        part.vertexColors.assign(part.positions.size(), 0xffffffffu);
        std::vector<bool> set(part.positions.size(), false);
        for (const BuilderFace& f : part.faces)
            for (uint32_t c = 0; c < f.cornerCount; ++c) {
                const uint32_t v = part.corners[f.firstCorner + c].vertex;
                if (!set[v]) part.vertexColors[v] = part.lookOf(f).color;
                set[v] = true;
            }
    }
    size_t firstFace = builder.data().faces.size();
    bool identity = std::memcmp(&m, &kIdentity, sizeof m) == 0;
    if (identity && builder.data().positions.empty() && builder.data().faces.empty())
        builder.adoptData(std::move(part));  // the common case: no copy of a big mesh
    else
        builder.append(part, m);
    if (vertexColours) builder.mutableData().colorSource = D3DRMCOLOR_FROMVERTEX;
    builder.deferMissingNormals(firstFace);
}

bool hasVertexColours(const xfile::Mesh& mesh) { return !mesh.vertexColors.empty(); }

// Where the file's frame transforms put each named frame (its first placement), measured
// from the file's top level: a skinned mesh's bones at rest.
std::unordered_map<std::string, Matrix> restPlaces(const xfile::File& file) {
    struct Visitor {
        std::unordered_map<std::string, Matrix> places;
        std::vector<Matrix> worlds{Matrix::identity()};
        bool enter(const xfile::Frame& f, int) {
            worlds.push_back(multiply(matrixOf(f.transform), worlds.back()));
            if (!f.name.empty()) places.emplace(f.name, worlds.back());
            return true;
        }
        void leave(const xfile::Frame&) { worlds.pop_back(); }
        bool cut(xfile::Cut) { return true; }
    } visitor;
    for (const auto& frame : file.frames) xfile::placeFrames(frame, visitor);
    return std::move(visitor.places);
}

// The mesh as its skin places it at rest: each vertex by the weighted blend of its bones'
// offset x rest place (a vertex without bones, or of a bone the file does not hold, stays
// as written), each corner's normal by its vertex's blend. Its own frame plays no part.
xfile::Mesh skinnedAtRest(const xfile::Mesh& mesh, const std::unordered_map<std::string, Matrix>& places) {
    std::vector<Matrix> bones;
    for (const auto& bone : mesh.skinWeights) {
        auto found = places.find(bone.boneName);
        bones.push_back(found == places.end() ? Matrix::identity()
                                              : multiply(matrixOf(bone.offset), found->second));
    }
    const size_t vertices = mesh.vertices.size();
    std::vector<Matrix> blend(vertices, Matrix{});
    std::vector<bool> bound(vertices, false);
    for (size_t b = 0; b < bones.size(); ++b) {
        const xfile::SkinWeights& bone = mesh.skinWeights[b];
        for (size_t i = 0; i < bone.vertices.size(); ++i) {
            Matrix& m = blend[bone.vertices[i]];
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 3; ++c) m.m[r][c] += bones[b].m[r][c] * bone.weights[i];
            bound[bone.vertices[i]] = true;
        }
    }
    for (size_t v = 0; v < vertices; ++v) {
        if (bound[v])
            blend[v].m[3][3] = 1;
        else
            blend[v] = Matrix::identity();
    }
    xfile::Mesh out = mesh;
    out.skinWeights.clear();
    for (size_t v = 0; v < vertices; ++v) {
        const D3DVECTOR p = transformPoint({mesh.vertices[v][0], mesh.vertices[v][1], mesh.vertices[v][2]}, blend[v]);
        out.vertices[v] = {p.x, p.y, p.z};
    }
    if (out.faceNormals.empty()) return out;  // made from the placed vertices later
    // A normal shared by vertices of different blends becomes one normal per pair.
    std::vector<Matrix> normalMatrices(vertices);
    for (size_t v = 0; v < vertices; ++v) {
        Matrix inverse;
        if (!invert(blend[v], inverse)) inverse = Matrix::identity();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) normalMatrices[v].m[r][c] = inverse.m[c][r];  // inverse transpose
    }
    std::unordered_map<uint64_t, uint32_t> made;
    out.normals.clear();
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        const auto face = mesh.faces[f];
        const auto normals = mesh.faceNormals[f];
        const uint32_t start = mesh.faceNormals.offsets[f];
        for (size_t c = 0; c < face.size(); ++c) {
            const uint32_t v = face[c], n = normals[c];
            auto [at, fresh] = made.emplace((uint64_t(n) << 32) | v, uint32_t(out.normals.size()));
            if (fresh) {
                const auto& in = mesh.normals[n];
                D3DVECTOR t = transformDirection({in[0], in[1], in[2]}, normalMatrices[v]);
                if (!normalize(t)) t = {in[0], in[1], in[2]};
                out.normals.push_back({t.x, t.y, t.z});
            }
            out.faceNormals.indices[start + c] = at->second;
        }
    }
    return out;
}

// Calls place(mesh, world) for every placement of a mesh the loaders build from the file
// (or from `root` alone): top-level meshes as they are, then each frame's meshes where
// the frame is placed, as often as references place it.
template <class Place>
void forEachMeshPlacement(const xfile::File& file, const xfile::Frame* root, Place place) {
    struct Visitor {
        Place& place;
        std::vector<Matrix> worlds{Matrix::identity()};
        bool enter(const xfile::Frame& f, int) {
            worlds.push_back(multiply(matrixOf(f.transform), worlds.back()));
            for (const auto& mesh : f.meshes) place(mesh, worlds.back());
            return true;
        }
        void leave(const xfile::Frame&) { worlds.pop_back(); }
        bool cut(xfile::Cut) { return true; }
    } visitor{place};
    if (root) {
        xfile::placeFrames(*root, visitor);
        return;
    }
    for (const auto& mesh : file.meshes) place(mesh, kIdentity);
    for (const auto& frame : file.frames) xfile::placeFrames(frame, visitor);
}

// The meshes the loaders place exactly once (of those named `only`, when given). Once
// added, such a mesh of a file its caller has no further use for is not needed again, so
// its lists may be taken rather than copied.
using MeshSet = std::unordered_set<const xfile::Mesh*>;
MeshSet placedOnce(const xfile::File& file, const char* only) {
    std::unordered_map<const xfile::Mesh*, size_t> placements;
    forEachMeshPlacement(file, nullptr, [&](const xfile::Mesh& mesh, const Matrix&) {
        if (!only || mesh.name == only) ++placements[&mesh];
    });
    MeshSet once;
    for (const auto& [mesh, count] : placements)
        if (count == 1) once.insert(mesh);
    return once;
}

// Faces piled on one another are drawn over one another: every placement of a mesh placed
// a million times at one place is filled, pixel by pixel. Charges the area of the placed
// faces over the largest side of the box around them (a closed model comes to a few, a
// detailed one to tens) before anything is built.
bool chargeOverdraw(const xfile::File& file, const xfile::Frame* root, const char* only, CostAccount& cost) {
    struct Extent {
        double area = 0;
        D3DVECTOR lo{0, 0, 0}, hi{0, 0, 0};
        bool empty = true;
    };
    std::unordered_map<const xfile::Mesh*, Extent> extents;
    auto extentOf = [&](const xfile::Mesh& mesh) -> const Extent& {
        auto [it, added] = extents.try_emplace(&mesh);
        Extent& e = it->second;
        if (!added) return e;
        auto at = [&](uint32_t i) { return vec(mesh.vertices[i][0], mesh.vertices[i][1], mesh.vertices[i][2]); };
        for (size_t f = 0; f < mesh.faces.size(); ++f) {
            auto face = mesh.faces[f];
            for (size_t k = 2; k < face.size(); ++k)
                e.area += 0.5 * double(length(cross(at(face[k - 1]) - at(face[0]), at(face[k]) - at(face[0]))));
        }
        for (const auto& v : mesh.vertices) {
            const D3DVECTOR p = vec(v[0], v[1], v[2]);
            if (!finite(p)) continue;
            e.lo = e.empty ? p : vec(std::min(e.lo.x, p.x), std::min(e.lo.y, p.y), std::min(e.lo.z, p.z));
            e.hi = e.empty ? p : vec(std::max(e.hi.x, p.x), std::max(e.hi.y, p.y), std::max(e.hi.z, p.z));
            e.empty = false;
        }
        if (!std::isfinite(e.area)) e.area = 0;
        return e;
    };
    double area = 0;
    D3DVECTOR lo{0, 0, 0}, hi{0, 0, 0};
    bool empty = true;
    forEachMeshPlacement(file, root, [&](const xfile::Mesh& mesh, const Matrix& m) {
        if (only && mesh.name != only) return;
        const Extent& e = extentOf(mesh);
        if (e.empty) return;
        // Areas grow with the square of the placement's scale.
        const double det = std::fabs(double(m.m[0][0]) * (double(m.m[1][1]) * m.m[2][2] - double(m.m[1][2]) * m.m[2][1]) -
                                     double(m.m[0][1]) * (double(m.m[1][0]) * m.m[2][2] - double(m.m[1][2]) * m.m[2][0]) +
                                     double(m.m[0][2]) * (double(m.m[1][0]) * m.m[2][1] - double(m.m[1][1]) * m.m[2][0]));
        if (std::isfinite(det)) area += e.area * std::cbrt(det * det);
        for (int c = 0; c < 8; ++c) {
            const D3DVECTOR p = transformPoint(vec(c & 1 ? e.hi.x : e.lo.x, c & 2 ? e.hi.y : e.lo.y,
                                                   c & 4 ? e.hi.z : e.lo.z), m);
            if (!finite(p)) continue;
            lo = empty ? p : vec(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
            hi = empty ? p : vec(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
            empty = false;
        }
    });
    const double x = double(hi.x) - lo.x, y = double(hi.y) - lo.y, z = double(hi.z) - lo.z;
    const double side = std::max({x * y, y * z, z * x});
    if (!(side > 0) || !std::isfinite(area)) return true;  // flat or empty: nothing to fill
    const double deep = area / side;
    return cost.charge(Cost::Overdraw, deep >= 1e18 ? UINT64_MAX : uint64_t(deep));
}

// A skinned mesh waits for its bones, which may be defined anywhere in the file.
struct PendingSkin {
    MeshBuilder* builder;  // held by its frame
    const xfile::Mesh* mesh;
    Matrix model;      // the mesh's frame relative to the load's root, as loaded
    Matrix toBuilder;  // its inverse
};

// Builds the frames placed from one file frame. A mesh becomes one builder, hung as a
// visual in every frame that holds it; frames are built once per placement, since a
// frame has one parent. A skinned mesh is stored in the root's space, where its bones
// place it, expressed in its frame: it gets a builder of its own in each placement.
class FrameBuilder {
public:
    FrameBuilder(TextureSource& textures, std::map<std::string, Frame*>& byName, std::vector<PendingSkin>& skins)
        : textures_(textures), byName_(byName), skins_(skins) {}

    // The new frame, with one reference for the caller.
    Frame* build(const xfile::Frame& source) {
        root_ = nullptr;
        stack_.clear();
        models_.assign(1, Matrix::identity());
        xfile::placeFrames(source, *this);
        return root_;
    }

    bool enter(const xfile::Frame& source, int) {
        auto* frame = new Frame;
        frame->SetName(source.name.c_str());
        frame->setLocal(matrixOf(source.transform));
        if (!source.name.empty()) byName_.emplace(source.name, frame);
        const Matrix model = multiply(frame->local(), models_.back());
        for (const auto& mesh : source.meshes) {
            if (mesh.skinWeights.empty()) {
                frame->AddVisual(builderFor(mesh));
                continue;
            }
            Ref<MeshBuilder> builder = adopt(new MeshBuilder);
            builder->SetName(mesh.name.c_str());
            Matrix toBuilder, fromBuilder = model;
            if (!invert(model, toBuilder)) toBuilder = fromBuilder = Matrix::identity();  // a flat frame
            addMesh(*builder.get(), mesh, toBuilder, textures_, hasVertexColours(mesh));
            skins_.push_back({builder.get(), &mesh, fromBuilder, toBuilder});
            frame->AddVisual(builder.get());
        }
        if (stack_.empty()) {
            root_ = frame;
        } else {
            stack_.back()->AddChild(frame);
            frame->Release();
        }
        stack_.push_back(frame);
        models_.push_back(model);
        return true;
    }
    void leave(const xfile::Frame&) {
        stack_.pop_back();
        models_.pop_back();
    }
    bool cut(xfile::Cut) { return true; }

private:
    MeshBuilder* builderFor(const xfile::Mesh& mesh) {
        Ref<MeshBuilder>& builder = builders_[&mesh];
        if (!builder.get()) {
            builder = adopt(new MeshBuilder);
            builder->SetName(mesh.name.c_str());
            addMesh(*builder.get(), mesh, Matrix::identity(), textures_, hasVertexColours(mesh));
        }
        return builder.get();
    }

    TextureSource& textures_;
    std::map<std::string, Frame*>& byName_;
    std::vector<PendingSkin>& skins_;
    std::unordered_map<const xfile::Mesh*, Ref<MeshBuilder>> builders_;
    std::vector<Frame*> stack_;
    std::vector<Matrix> models_;  // each placed frame relative to the root
    Frame* root_ = nullptr;
};

// Binds each skinned mesh to its bones; a bone that names no frame of the load keeps its
// vertices at rest.
void bindSkins(const std::vector<PendingSkin>& skins, const std::map<std::string, Frame*>& byName,
               IDirect3DRMFrame* root) {
    for (const PendingSkin& p : skins) {
        const size_t vertices = p.mesh->vertices.size();
        auto skin = std::make_shared<SkinData>();
        skin->root = root ? objectSerial(root) : 0;
        skin->toBuilder = p.toBuilder;
        // The reader guarantees every vertex index is in range.
        std::vector<uint64_t> first(vertices + 1, 0);
        for (const auto& bone : p.mesh->skinWeights)
            for (uint32_t v : bone.vertices) ++first[v + 1];
        for (size_t v = 0; v < vertices; ++v) first[v + 1] += first[v];
        if (first[vertices] > UINT32_MAX) {
            std::fprintf(stderr, "x file: mesh '%s': too many skin weights; the mesh stays at rest\n",
                         p.mesh->name.c_str());
            continue;
        }
        skin->firstInfluence.assign(first.begin(), first.end());
        skin->influences.resize(first[vertices]);
        for (size_t b = 0; b < p.mesh->skinWeights.size(); ++b) {
            const xfile::SkinWeights& bone = p.mesh->skinWeights[b];
            auto found = byName.find(bone.boneName);
            skin->bones.push_back({found == byName.end() ? 0 : objectSerial(found->second),
                                   multiply(p.model, matrixOf(bone.offset))});
            for (size_t i = 0; i < bone.vertices.size(); ++i)
                skin->influences[first[bone.vertices[i]]++] = {uint32_t(b), bone.weights[i]};
        }
        p.builder->setSkin(std::move(skin));
    }
}

// The first frame of that name, parents before children, each frame looked at once.
const xfile::Frame* findFrame(const xfile::File& file, const std::string& name) {
    std::unordered_set<const xfile::Frame*> seen;
    std::vector<const xfile::Frame*> todo;
    for (size_t i = file.frames.size(); i-- > 0;) todo.push_back(&file.frames[i]);
    while (!todo.empty()) {
        const xfile::Frame* f = todo.back();
        todo.pop_back();
        if (!seen.insert(f).second) continue;
        if (f->name == name) return f;
        for (size_t i = f->children.size(); i-- > 0;) todo.push_back(&f->children[i]);
    }
    return nullptr;
}

// Adds the animations of one file set to `into`, each bound to the frame it names;
// bound(frame) is called for each frame found.
template <class Bound>
void addAnimations(const xfile::AnimationSet& set, const std::map<std::string, Frame*>& byName, AnimationSet& into,
                   Bound bound) {
    for (const auto& a : set.animations) {
        auto anim = adopt(new Animation);
        anim->SetName(a.name.c_str());
        D3DRMANIMATIONOPTIONS options = (a.closed ? D3DRMANIMATION_CLOSED : D3DRMANIMATION_OPEN) |
                                        (a.spline ? D3DRMANIMATION_SPLINEPOSITION : D3DRMANIMATION_LINEARPOSITION) |
                                        D3DRMANIMATION_SCALEANDROTATION | D3DRMANIMATION_POSITION;
        anim->SetOptions(options);
        // Added in time order, sorted once: where two keys of a type share a time, the later
        // in the file still wins.
        std::vector<std::pair<uint32_t, uint32_t>> order;  // key object, entry
        for (size_t o = 0; o < a.keys.size(); ++o)
            for (size_t k = 0; k < a.keys[o].times.size() && k < a.keys[o].values.size(); ++k)
                order.push_back({uint32_t(o), uint32_t(k)});
        std::stable_sort(order.begin(), order.end(), [&](const auto& x, const auto& y) {
            return a.keys[x.first].times[x.second] < a.keys[y.first].times[y.second];
        });
        for (const auto& [o, k] : order) {
            const auto& key = a.keys[o];
            {
                const auto& v = key.values[k];
                D3DVALUE t = static_cast<D3DVALUE>(key.times[k]);
                switch (key.keyType) {
                    case xfile::AnimationKey::Rotation:
                        if (v.size() >= 4) {
                            // Files hold the conjugate: the key that keeps a frame where its
                            // FrameTransformMatrix puts it turns the other way as written.
                            D3DRMQUATERNION q{v[0], {-v[1], -v[2], -v[3]}};
                            anim->AddRotateKey(t, &q);
                        }
                        break;
                    case xfile::AnimationKey::Scale:
                        if (v.size() >= 3) anim->AddScaleKey(t, v[0], v[1], v[2]);
                        break;
                    case xfile::AnimationKey::Position:
                        if (v.size() >= 3) anim->AddPositionKey(t, v[0], v[1], v[2]);
                        break;
                    case xfile::AnimationKey::Matrix:
                    case xfile::AnimationKey::MatrixAlt:
                        if (v.size() >= 16) {
                            Matrix m;
                            for (int i = 0; i < 16; ++i) m.m[i / 4][i % 4] = v[i];
                            anim->addMatrixKey(t, m);
                        }
                        break;
                    default: break;
                }
            }
        }
        auto found = byName.find(a.frameName);
        if (found != byName.end()) {
            anim->SetFrame(found->second);
            bound(found->second);
        } else if (!a.frameName.empty()) {
            std::fprintf(stderr, "x file: animation of an unknown frame '%s' ignored\n", a.frameName.c_str());
        }
        into.AddAnimation(anim.get());
    }
}

}  // namespace

namespace {

// Declared before a load's reading: once that is freed, much of it goes back to the system.
struct GiveBackAfterLoading {
    ~GiveBackAfterLoading() { giveBackFreedMemory(); }
};

}  // namespace

HRESULT MeshBuilder::Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback,
                          void* arg) {
    GiveBackAfterLoading giveBack;
    xfile::File file;
    LoadSource where;
    HRESULT hr = readFile(filename, flags, file, where);
    if (FAILED(hr)) return hr;
    return loadFrom(file, where.path, wantedName(name, flags), callback, arg, &file);
}

HRESULT MeshBuilder::loadFrom(const xfile::File& file, const std::string& path, const char* only,
                              D3DRMLOADTEXTURECALLBACK callback, void* arg, xfile::File* spent) {
    size_t meshes = 0;
    bool coloured = false;
    forEachMeshPlacement(file, nullptr, [&](const xfile::Mesh& mesh, const Matrix&) {
        if (only && mesh.name != only) return;
        ++meshes;
        coloured = coloured || hasVertexColours(mesh);
    });
    // The spent file is the caller's own (so not const): a mesh of it placed once is spare.
    const MeshSet once = spent ? placedOnce(file, only) : MeshSet{};
    auto spare = [&](const xfile::Mesh& mesh) {
        return once.count(&mesh) ? const_cast<xfile::Mesh*>(&mesh) : nullptr;
    };
    if (meshes == 0) return D3DRMERR_NOTFOUND;
    CostAccount cost = file.cost;
    if (!chargeOverdraw(file, nullptr, only, cost)) {
        LoadSource where;
        where.path = path;
        return refuse(where, cost);
    }
    TextureFolderScope folder(path);
    TextureSource textures(callback, arg, cost);
    clear();
    std::optional<std::unordered_map<std::string, Matrix>> places;  // made for the first skin
    forEachMeshPlacement(file, nullptr, [&](const xfile::Mesh& mesh, const Matrix& world) {
        if ((only && mesh.name != only) || cost.over()) return;
        if (mesh.skinWeights.empty()) {
            addMesh(*this, mesh, world, textures, coloured, spare(mesh));
            return;
        }
        if (!places) places = restPlaces(file);
        addMesh(*this, skinnedAtRest(mesh, *places), kIdentity, textures, coloured);
    });
    if (cost.over()) {
        clear();
        LoadSource where;
        where.path = path;
        return refuse(where, cost);
    }
    changed();
    return D3DRM_OK;
}

HRESULT meshBuilderLoadFrom(IDirect3DRMMeshBuilder* builder, const xfile::File& file, const std::string& path,
                            D3DRMLOADTEXTURECALLBACK callback, void* arg) {
    MeshBuilder* b = asMeshBuilder(builder);
    return b ? b->loadFrom(file, path, nullptr, callback, arg) : D3DRMERR_BADOBJECT;
}

HRESULT Frame::Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback,
                    void* arg) {
    GiveBackAfterLoading giveBack;
    xfile::File file;
    LoadSource where;
    HRESULT hr = readFile(filename, flags, file, where);
    if (FAILED(hr)) return hr;
    CostAccount cost = file.cost;
    TextureFolderScope folder(where.path);
    TextureSource textures(callback, arg, cost);
    std::map<std::string, Frame*> byName;
    const char* only = wantedName(name, flags);
    const xfile::Frame* chosen = nullptr;
    if (only)
        chosen = findFrame(file, only);
    else if (!file.frames.empty())
        chosen = &file.frames.front();
    if (chosen) {
        // A frame named from inside the file is placed higher than it stands there, so
        // its references may reach further than the file's own frames did.
        CostAccount placed = cost;
        if (!xfile::chargePlacements(file, chosen, placed)) return refuse(where, placed);
        if (!chargeOverdraw(file, chosen, nullptr, cost)) return refuse(where, cost);
        std::vector<PendingSkin> skins;
        FrameBuilder builder(textures, byName, skins);
        Frame* f = builder.build(*chosen);
        if (cost.over()) {
            f->Release();
            return refuse(where, cost);
        }
        AddChild(f);
        f->Release();
        bindSkins(skins, byName, this);
        return D3DRM_OK;
    }
    // A file of bare meshes: they become one visual of this frame.
    if (only || file.meshes.empty()) return D3DRMERR_NOTFOUND;
    if (!chargeOverdraw(file, nullptr, nullptr, cost)) return refuse(where, cost);
    Ref<MeshBuilder> builder = adopt(new MeshBuilder);
    const bool coloured = std::any_of(file.meshes.begin(), file.meshes.end(), hasVertexColours);
    for (const auto& mesh : file.meshes) addMesh(*builder.get(), mesh, Matrix::identity(), textures, coloured);
    if (cost.over()) return refuse(where, cost);
    return AddVisual(builder.get());
}

HRESULT AnimationSet::Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback,
                           void* arg, IDirect3DRMFrame* parent_frame) {
    if (parent_frame && !asFrame(parent_frame)) return D3DRMERR_BADOBJECT;
    GiveBackAfterLoading giveBack;
    xfile::File file;
    LoadSource where;
    HRESULT hr = readFile(filename, flags, file, where);
    if (FAILED(hr)) return hr;
    const char* only = wantedName(name, flags);
    const xfile::AnimationSet* set = nullptr;
    for (const auto& s : file.animationSets)
        if (!only || s.name == only) {
            set = &s;
            break;
        }
    if (!set) return D3DRMERR_NOTFOUND;
    ticksPerSecond_ = file.ticksPerSecond;
    CostAccount cost = file.cost;
    TextureFolderScope folder(where.path);
    TextureSource textures(callback, arg, cost);

    if (!chargeOverdraw(file, nullptr, nullptr, cost)) return refuse(where, cost);
    // The file's frame hierarchies; those holding an animated frame go under parent_frame.
    std::vector<Ref<Frame>> roots;
    std::map<std::string, Frame*> byName;
    std::vector<PendingSkin> skins;
    FrameBuilder builder(textures, byName, skins);
    std::unordered_map<Frame*, size_t> rootIndex;
    for (const auto& f : file.frames) {
        roots.push_back(adopt(builder.build(f)));
        rootIndex.emplace(roots.back().get(), roots.size() - 1);
    }
    if (cost.over()) return refuse(where, cost);
    bindSkins(skins, byName, parent_frame);
    std::vector<bool> used(roots.size(), false);
    addAnimations(*set, byName, *this, [&](Frame* frame) {
        auto root = rootIndex.find(frame->root());
        if (root != rootIndex.end()) used[root->second] = true;
    });
    if (auto* parent = asFrame(parent_frame))
        for (size_t r = 0; r < roots.size(); ++r)
            if (used[r]) parent->AddChild(roots[r].get());
    return D3DRM_OK;
}

const char* lastLoadFailureText() { return lastLoadFailure.c_str(); }

HRESULT loadWholeFile(const char* path, D3DRMLOADTEXTURECALLBACK callback, void* arg, IDirect3DRMFrame* parent,
                      std::vector<LoadedAnimationSet>& sets) {
    Frame* into = asFrame(parent);
    if (!into || !path) return D3DRMERR_BADOBJECT;
    GiveBackAfterLoading giveBack;
    xfile::File file;
    LoadSource where;
    HRESULT hr = readFile(const_cast<char*>(path), D3DRMLOAD_FROMFILE, file, where);
    if (FAILED(hr)) return hr;
    if (file.frames.empty() && file.meshes.empty()) return D3DRMERR_NOTFOUND;
    CostAccount cost = file.cost;
    TextureFolderScope folder(where.path);
    TextureSource textures(callback, arg, cost);
    if (!chargeOverdraw(file, nullptr, nullptr, cost)) return refuse(where, cost);
    if (!file.meshes.empty()) {
        Ref<MeshBuilder> builder = adopt(new MeshBuilder);
        const bool coloured = std::any_of(file.meshes.begin(), file.meshes.end(), hasVertexColours);
        // Without frames (which could name them), a mesh listed once is spare once added.
        const MeshSet once = file.frames.empty() ? placedOnce(file, nullptr) : MeshSet{};
        for (auto& mesh : file.meshes)
            addMesh(*builder.get(), mesh, Matrix::identity(), textures, coloured, once.count(&mesh) ? &mesh : nullptr);
        into->AddVisual(builder.get());
    }
    std::map<std::string, Frame*> byName;
    std::vector<PendingSkin> skins;
    FrameBuilder builder(textures, byName, skins);
    for (const auto& f : file.frames) {
        Frame* frame = builder.build(f);
        into->AddChild(frame);
        frame->Release();
    }
    if (cost.over()) return refuse(where, cost);
    bindSkins(skins, byName, into);
    for (const auto& s : file.animationSets) {
        auto* set = new AnimationSet;  // the caller's reference
        set->SetName(s.name.c_str());
        set->setTicksPerSecond(file.ticksPerSecond);
        addAnimations(s, byName, *set, [](Frame*) {});
        sets.push_back({set, s.name, double(file.ticksPerSecond)});
    }
    return D3DRM_OK;
}

}  // namespace rm

const char* D3DRMLastLoadFailure() { return rm::lastLoadFailureText(); }
