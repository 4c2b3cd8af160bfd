#include "platform/rm/xfile.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/regular_file.h"

#include "platform/rm/big_memory.h"
#include "platform/rm/xfile_lexer.h"
#include "platform/rm/xfile_mszip.h"

namespace xfile {

namespace {

using detail::Child;
using detail::equalsNoCase;

// Frames nest through recursion; deeper hierarchies than this are skipped, not followed.
constexpr int kMaxDepth = kMaxFrameDepth;
// Objects read only for what they define stop being read for that below this depth.
constexpr int kMaxNesting = kMaxDepth + 56;

template <class T>
void reserveCapped(std::vector<T>& v, uint64_t wanted, size_t cap) {
    v.reserve(static_cast<size_t>(std::min<uint64_t>(wanted, cap)));
}

std::string displayName(const std::string& name) { return name.empty() ? "(unnamed)" : "'" + name + "'"; }

// What the objects a file literally holds come to (paid for by its size).
struct Literal {
    uint64_t frames = 0, meshes = 0, elements = 0, copies = 0;
};

uint64_t elementsOf(const Mesh& m) { return m.vertices.size() + m.faces.indices.size(); }
uint64_t copiesOf(const Mesh& m) {
    uint64_t n = m.normals.size() + m.materials.size();
    for (const SkinWeights& s : m.skinWeights) n += s.vertices.size();
    return n;
}

// Charges the frames and meshes placed from one root, or from all top-level ones.
// `depthCut` hears whether frames were too deep to place.
bool measure(const File& file, const Frame* root, rm::CostAccount& cost, bool* depthCut = nullptr) {
    struct Counter {
        rm::CostAccount& cost;
        bool* depthCut;
        bool mesh(const Mesh& m) {
            return cost.charge(rm::Cost::Placements) && cost.charge(rm::Cost::Elements, elementsOf(m)) &&
                   cost.charge(rm::Cost::PlacementCopies, copiesOf(m));
        }
        bool enter(const Frame& f, int) {
            if (!cost.charge(rm::Cost::Frames)) return false;
            for (const Mesh& m : f.meshes)
                if (!mesh(m)) return false;
            return true;
        }
        void leave(const Frame&) {}
        bool cut(Cut) {
            if (depthCut) *depthCut = true;
            return cost.charge(rm::Cost::Frames);  // each cut is a frame not placed
        }
    };
    Counter counter{cost, depthCut};
    if (root) return placeFrames(*root, counter);
    for (const Mesh& m : file.meshes)
        if (!counter.mesh(m)) return false;
    for (const Frame& f : file.frames)
        if (!placeFrames(f, counter)) return false;
    return true;
}

template <class Lexer>
class Parser {
public:
    Parser(Lexer& lex, File& out, const Options& options) : lex_(lex), out_(out), options_(options) {}

    bool run() {
        std::string type, name;
        for (;;) {
            Child c = lex_.nextChild(type, name, true);
            if (c == Child::Eof) return finish();
            if (c == Child::Error) return false;
            if (c == Child::Reference) continue;  // nothing to attach a top-level reference to
            guid_ = lex_.guid();
            Nesting nested(nesting_);
            if (equalsNoCase(type, "Mesh")) {
                auto m = newMesh(name);
                if (!mesh(*m)) return false;
                out_.meshes.push_back(std::move(m));
            } else if (equalsNoCase(type, "Frame")) {
                auto f = newFrame(name);
                if (!frame(*f, 1)) return false;
                out_.frames.push_back(std::move(f));
            } else if (equalsNoCase(type, "Material")) {
                auto m = newMaterial(name);
                if (!material(*m)) return false;
                out_.materials.push_back(std::move(m));
            } else if (equalsNoCase(type, "AnimationSet")) {
                AnimationSet s;
                s.name = name;
                if (!animationSet(s)) return false;
                out_.animationSets.push_back(std::move(s));
            } else if (equalsNoCase(type, "Animation")) {
                Animation a;
                a.name = name;
                if (!animation(a)) return false;
                if (looseSet_ < 0) {
                    looseSet_ = static_cast<int>(out_.animationSets.size());
                    out_.animationSets.emplace_back();
                }
                out_.animationSets[static_cast<size_t>(looseSet_)].animations.push_back(std::move(a));
            } else if (equalsNoCase(type, "AnimTicksPerSecond")) {
                if (!ticksPerSecond()) return false;
            } else if (!definitions(type, name)) {
                return false;
            }
        }
    }

private:
    // Written to standard error when the parse ends (a definition read in vain takes its
    // warnings back).
    void warn(std::string text) { out_.warnings.push_back(std::move(text)); }

    bool count(uint32_t& n) {
        int64_t v = 0;
        if (!lex_.readInt(v)) return false;
        if (v < 0 || v > int64_t(UINT32_MAX)) return fail("a count was expected");
        n = static_cast<uint32_t>(v);
        return true;
    }
    // The file costs more than its account allows: reading stops.
    bool refused() {
        error_ = out_.cost.refusal();
        return false;
    }
    bool fail(const char* what) {
        // Route through the lexer so the message carries the offset.
        if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(lex_.offset());
        return false;
    }

    // Skips children this object does not use; calls onChild for each nested object and
    // onRef for each reference. Returns after the object's closing brace.
    template <class OnChild, class OnRef>
    bool children(OnChild onChild, OnRef onRef) {
        std::string type, name;
        for (;;) {
            Child c = lex_.nextChild(type, name, false);
            switch (c) {
            case Child::End: return true;
            case Child::Eof:
            case Child::Error: return false;
            case Child::Reference: onRef(name); break;  // lex_.guid() is the reference's GUID
            case Child::Object: {
                guid_ = lex_.guid();
                Nesting nested(nesting_);
                int handled = onChild(type, name);  // 1 read, 0 not ours, -1 failed
                if (handled < 0) return false;
                if (handled == 0 && !definitions(type, name)) return false;
                break;
            }
            }
        }
    }
    bool noChildren() {
        return children([](const std::string&, const std::string&) { return 0; }, [](const std::string&) {});
    }

    bool floats(float* v, size_t n) { return lex_.readFloats(v, n); }

    // Reads n items (each at least `width` bytes of data) in slices, so that a count the
    // data cannot back is never allocated.
    template <class T, class Read>
    bool sliced(std::vector<T>& out, uint32_t n, size_t width, Read read) {
        out.clear();
        reserveCapped(out, n, lex_.remaining() / width + 1);
        rm::preferHugePages(out.data(), out.capacity() * sizeof(T));
        size_t done = 0;
        while (done < n) {
            size_t slice = std::min<size_t>(n - done, 65536);
            out.resize(done + slice);
            if (!read(out.data() + done, slice)) return false;
            done += slice;
        }
        return true;
    }
    template <size_t N>
    bool vectors(std::vector<std::array<float, N>>& out, uint32_t n) {
        return sliced(out, n, N, [&](std::array<float, N>* v, size_t k) { return floats(v->data(), k * N); });
    }

    bool mesh(Mesh& m) {
        if (tooMany()) return refused();
        uint32_t nv = 0;
        if (!count(nv)) return false;
        if (!vectors(m.vertices, nv)) return false;
        uint32_t nf = 0;
        if (!count(nf)) return false;
        m.faces.offsets.reserve(std::min<size_t>(nf, lex_.remaining()) + 1);
        // Room for quadrilaterals: a mesh of them would otherwise be moved once, half read.
        // Each index takes two bytes of the data at least.
        m.faces.indices.reserve(std::min<size_t>(uint64_t(nf) * 4, lex_.remaining() / 2));
        rm::preferHugePages(m.faces.offsets.data(), m.faces.offsets.capacity() * sizeof(uint32_t));
        rm::preferHugePages(m.faces.indices.data(), m.faces.indices.capacity() * sizeof(uint32_t));
        std::vector<uint32_t> bad;  // unusable faces, ascending
        for (uint32_t f = 0; f < nf; ++f) {
            uint32_t n = 0;
            if (!count(n)) return false;
            if (n > lex_.remaining()) return fail("face longer than the data left");
            bool ok = n >= 3;
            const size_t start = m.faces.indices.size();
            if (start + n > UINT32_MAX) return fail("too many face indices");
            m.faces.indices.resize(start + n);
            uint32_t* idx = m.faces.indices.data() + start;
            if (!lex_.readIndices(idx, n)) return false;
            for (uint32_t k = 0; k < n; ++k) {
                if (idx[k] >= nv) {
                    ok = false;
                    idx[k] = 0;
                }
            }
            m.faces.offsets.push_back(static_cast<uint32_t>(m.faces.indices.size()));
            if (!ok) {
                bad.push_back(f);
            }
        }
        uint32_t declaredMaterials = 0;
        bool haveFaceNormals = false;
        bool ok = children(
            [&](const std::string& type, const std::string&) -> int {
                if (equalsNoCase(type, "MeshNormals")) {
                    haveFaceNormals = true;
                    return meshNormals(m) ? 1 : -1;
                }
                if (equalsNoCase(type, "MeshTextureCoords")) return textureCoords(m) ? 1 : -1;
                if (equalsNoCase(type, "MeshMaterialList")) return materialList(m, declaredMaterials) ? 1 : -1;
                if (equalsNoCase(type, "MeshVertexColors")) return vertexColors(m) ? 1 : -1;
                if (equalsNoCase(type, "SkinWeights")) return skinWeights(m) ? 1 : -1;
                return 0;
            },
            [](const std::string&) {});
        if (!ok) return false;
        finishMesh(m, bad, haveFaceNormals);
        repairSkin(m);
        literal_.elements += elementsOf(m);
        literal_.copies += copiesOf(m);
        return true;
    }

    bool skinWeights(Mesh& m) {
        SkinWeights s;
        uint32_t n = 0;
        if (!lex_.readString(s.boneName) || !count(n)) return false;
        if (!sliced(s.vertices, n, 1, [&](uint32_t* v, size_t k) { return lex_.readIndices(v, k); }) ||
            !sliced(s.weights, n, 1, [&](float* v, size_t k) { return floats(v, k); }) ||
            !floats(s.offset.data(), 16))
            return false;
        m.skinWeights.push_back(std::move(s));
        return noChildren();
    }

    // Keeps only entries that can be used and scales each vertex's weights to sum to 1.
    void repairSkin(Mesh& m) {
        if (m.skinWeights.empty()) return;
        const size_t nv = m.vertices.size();
        size_t outside = 0, unusable = 0;
        for (SkinWeights& s : m.skinWeights) {
            size_t kept = 0;
            for (size_t i = 0; i < s.vertices.size(); ++i) {
                const uint32_t v = s.vertices[i];
                const float w = s.weights[i];
                if (v >= nv) {
                    ++outside;
                } else if (!std::isfinite(w) || w < 0) {
                    ++unusable;
                } else if (w > 0) {  // zero weights are common and mean nothing
                    s.vertices[kept] = v;
                    s.weights[kept] = w;
                    ++kept;
                }
            }
            s.vertices.resize(kept);
            s.weights.resize(kept);
        }
        std::erase_if(m.skinWeights, [](const SkinWeights& s) { return s.vertices.empty(); });
        const std::string mesh = "mesh " + displayName(m.name) + ": ";
        if (outside) warn(mesh + std::to_string(outside) + " skin weights for vertices that do not exist ignored");
        if (unusable) warn(mesh + std::to_string(unusable) + " negative or non-numeric skin weights ignored");
        if (m.skinWeights.size() > nv) {
            warn(mesh + std::to_string(m.skinWeights.size()) + " bones for " + std::to_string(nv) +
                 " vertices; the bones after the first " + std::to_string(nv) + " ignored");
            m.skinWeights.resize(nv);
        }
        std::vector<double> sum(nv, 0.0);
        for (const SkinWeights& s : m.skinWeights)
            for (size_t i = 0; i < s.vertices.size(); ++i) sum[s.vertices[i]] += s.weights[i];
        size_t off = 0;
        for (double total : sum) off += total > 0 && std::fabs(total - 1.0) > 1e-3;
        for (SkinWeights& s : m.skinWeights)
            for (size_t i = 0; i < s.vertices.size(); ++i)
                s.weights[i] = static_cast<float>(s.weights[i] / sum[s.vertices[i]]);
        if (off)
            warn(mesh + "the skin weights of " + std::to_string(off) +
                 (off == 1 ? " vertex do" : " vertices do") + " not sum to 1; scaled to sum to 1");
    }

    bool meshNormals(Mesh& m) {
        m.normals.clear();
        m.faceNormals.clear();
        uint32_t nn = 0;
        if (!count(nn)) return false;
        if (!vectors(m.normals, nn)) return false;
        uint32_t nf = 0;
        if (!count(nf)) return false;
        m.faceNormals.offsets.reserve(std::min<size_t>(nf, lex_.remaining()) + 1);
        faceNormalsValid_ = true;
        for (uint32_t f = 0; f < nf; ++f) {
            uint32_t n = 0;
            if (!count(n)) return false;
            if (n > lex_.remaining()) return fail("face longer than the data left");
            for (uint32_t k = 0; k < n; ++k) {
                int64_t idx = 0;
                if (!lex_.readInt(idx)) return false;
                if (idx < 0 || idx >= int64_t(nn)) {
                    faceNormalsValid_ = false;
                    idx = 0;
                }
                m.faceNormals.indices.push_back(static_cast<uint32_t>(idx));
            }
            m.faceNormals.offsets.push_back(static_cast<uint32_t>(m.faceNormals.indices.size()));
        }
        return noChildren();
    }

    bool textureCoords(Mesh& m) {
        m.textureCoords.clear();
        uint32_t n = 0;
        if (!count(n)) return false;
        if (!vectors(m.textureCoords, n)) return false;
        if (m.textureCoords.size() != m.vertices.size()) {
            warn("mesh " + displayName(m.name) + ": " + std::to_string(m.textureCoords.size()) +
                 " texture coordinates for " + std::to_string(m.vertices.size()) + " vertices");
            m.textureCoords.resize(m.vertices.size(), {0, 0});
        }
        return noChildren();
    }

    bool vertexColors(Mesh& m) {
        uint32_t n = 0;
        if (!count(n)) return false;
        m.vertexColors.assign(m.vertices.size(), {1, 1, 1, 1});
        size_t outside = 0;
        for (uint32_t i = 0; i < n; ++i) {
            int64_t idx = 0;
            std::array<float, 4> c;
            if (!lex_.readInt(idx) || !floats(c.data(), 4)) return false;
            if (idx >= 0 && idx < int64_t(m.vertexColors.size()))
                m.vertexColors[static_cast<size_t>(idx)] = c;
            else
                ++outside;
        }
        if (outside)
            warn("mesh " + displayName(m.name) + ": " + std::to_string(outside) +
                 " vertex colours for vertices that do not exist ignored");
        return noChildren();
    }

    bool materialList(Mesh& m, uint32_t& declared) {
        if (!m.materials.empty()) forgetMaterialReferences(m);  // a second list replaces the first
        m.materials.clear();
        m.faceMaterials.clear();
        uint32_t nIdx = 0;
        if (!count(declared) || !count(nIdx)) return false;
        reserveCapped(m.faceMaterials, nIdx, lex_.remaining() + 1);
        for (uint32_t i = 0; i < nIdx; ++i) {
            uint32_t idx = 0;
            if (!count(idx)) return false;
            m.faceMaterials.push_back(idx);
        }
        return children(
            [&](const std::string& type, const std::string& name) -> int {
                if (!equalsNoCase(type, "Material")) return 0;
                auto mat = newMaterial(name);
                if (!material(*mat)) return -1;
                m.materials.push_back(std::move(mat));
                return 1;
            },
            [&](const std::string& name) {
                // White until the end of the file tells what the name stands for.
                materialRefs_.push_back({&m, m.materials.size(), name, lex_.guid()});
                Material white;
                white.name = name;
                m.materials.push_back(std::move(white));
            });
    }

    bool material(Material& mat) {
        if (!floats(mat.faceColor.data(), 4) || !lex_.readFloat(mat.power) || !floats(mat.specular.data(), 3) ||
            !floats(mat.emissive.data(), 3))
            return false;
        return children(
            [&](const std::string& type, const std::string&) -> int {
                if (!equalsNoCase(type, "TextureFilename")) return 0;
                if (!lex_.readString(mat.textureFilename)) return -1;
                if (!out_.cost.charge(rm::Cost::TextureNameBytes, mat.textureFilename.size())) {
                    refused();
                    return -1;
                }
                return noChildren() ? 1 : -1;
            },
            [](const std::string&) {});
    }

    // Makes the face-aligned arrays consistent with the faces, then drops unusable faces.
    void finishMesh(Mesh& m, const std::vector<uint32_t>& bad, bool haveFaceNormals) {
        const size_t nf = m.faces.size();
        if (!m.faceMaterials.empty() || !m.materials.empty()) {
            if (m.materials.empty()) {
                warn("mesh " + displayName(m.name) + ": material list without materials ignored");
                m.faceMaterials.clear();
            } else {
                // Files often list fewer indices than faces: the last one covers the rest.
                uint32_t fill = m.faceMaterials.empty() ? 0 : m.faceMaterials.back();
                m.faceMaterials.resize(nf, fill);
                size_t outside = 0;
                for (auto& idx : m.faceMaterials)
                    if (idx >= m.materials.size()) {
                        idx = 0;
                        ++outside;
                    }
                if (outside)
                    warn("mesh " + displayName(m.name) + ": " + std::to_string(outside) +
                         " faces name a material that does not exist; the first material used");
            }
        }
        if (haveFaceNormals) {
            bool fits = faceNormalsValid_ && m.faceNormals.size() == nf;
            for (size_t f = 0; fits && f < nf; ++f) fits = m.faceNormals.count(f) == m.faces.count(f);
            if (!fits) {
                if (m.faceNormals.empty() && m.normals.size() == m.vertices.size()) {
                    m.faceNormals = m.faces;  // one normal per vertex, indexed like the vertices
                } else {
                    warn("mesh " + displayName(m.name) + ": normals do not match the faces; normals generated instead");
                    m.faceNormals.clear();
                    m.normals.clear();
                }
            }
        }
        if (bad.empty()) return;
        warn("mesh " + displayName(m.name) + ": " + std::to_string(bad.size()) +
             (bad.size() == 1 ? " face" : " faces") +
             " dropped (vertex index outside the vertex list, or fewer than 3 vertices)");
        IndexLists faces, normals;
        std::vector<uint32_t> materials;
        const bool withNormals = !m.faceNormals.empty(), withMaterials = !m.faceMaterials.empty();
        size_t next = 0;
        for (size_t f = 0; f < nf; ++f) {
            if (next < bad.size() && bad[next] == f) {
                ++next;
                continue;
            }
            faces.add(m.faces[f]);
            if (withNormals) normals.add(m.faceNormals[f]);
            if (withMaterials) materials.push_back(m.faceMaterials[f]);
        }
        m.faces = std::move(faces);
        m.faceNormals = std::move(normals);
        m.faceMaterials = std::move(materials);
    }

    bool frame(Frame& f, int depth) {
        if (tooMany()) return refused();
        if (depth > kMaxDepth) {
            warn("frames nested deeper than " + std::to_string(kMaxDepth) + " levels skipped");
            return lex_.skipBody();
        }
        return children(
            [&](const std::string& type, const std::string& name) -> int {
                if (equalsNoCase(type, "FrameTransformMatrix")) {
                    if (!floats(f.transform.data(), 16)) return -1;
                    return noChildren() ? 1 : -1;
                }
                if (equalsNoCase(type, "Mesh")) {
                    auto m = newMesh(name);
                    if (!mesh(*m)) return -1;
                    f.meshes.push_back(std::move(m));
                    return 1;
                }
                if (equalsNoCase(type, "Frame")) {
                    auto child = newFrame(name);
                    if (!frame(*child, depth + 1)) return -1;
                    f.children.push_back(std::move(child));
                    return 1;
                }
                return 0;
            },
            [&](const std::string& name) {
                frameRefs_.push_back({&f, name, lex_.guid(), f.meshes.size(), f.children.size()});
            });
    }

    // The first declaration counts; one that is not a single positive whole number is
    // skipped with a warning, and the file's keys keep one unit a frame.
    bool ticksPerSecond() {
        const auto mark = lex_.mark();
        int64_t v = 0;
        if (lex_.readInt(v) && noChildren()) {
            if (v <= 0 || v > int64_t(UINT32_MAX))
                warn("AnimTicksPerSecond " + std::to_string(v) + " ignored");
            else if (out_.ticksPerSecond == 0)
                out_.ticksPerSecond = static_cast<uint32_t>(v);
            return true;
        }
        lex_.reset(mark);
        error_.clear();
        warn("unreadable AnimTicksPerSecond ignored");
        return lex_.skipBody();
    }

    bool animationSet(AnimationSet& s) {
        return children(
            [&](const std::string& type, const std::string& name) -> int {
                if (!equalsNoCase(type, "Animation")) return 0;
                Animation a;
                a.name = name;
                if (!animation(a)) return -1;
                s.animations.push_back(std::move(a));
                return 1;
            },
            [](const std::string&) {});
    }

    bool animation(Animation& a) {
        if (!out_.cost.charge(rm::Cost::Animations)) return refused();
        return children(
            [&](const std::string& type, const std::string& name) -> int {
                if (equalsNoCase(type, "AnimationKey")) {
                    AnimationKey k;
                    bool usable = true;
                    if (!animationKey(k, usable)) return -1;
                    if (usable) a.keys.push_back(std::move(k));
                    return 1;
                }
                if (equalsNoCase(type, "AnimationOptions")) {
                    int64_t openClosed, quality = 0;
                    if (!lex_.readInt(openClosed) || !lex_.readInt(quality)) return -1;
                    a.closed = openClosed == 0;
                    a.spline = quality == 0;
                    return noChildren() ? 1 : -1;
                }
                if (equalsNoCase(type, "Frame") && a.frameName.empty()) a.frameName = name;
                return 0;
            },
            [&](const std::string& name) {
                if (!a.frameName.empty() || a.frameGuid) return;
                a.frameName = name;
                a.frameGuid = lex_.guid();
            });
    }

    bool animationKey(AnimationKey& k, bool& usable) {
        uint32_t n = 0;
        if (!count(k.keyType) || !count(n)) return false;
        size_t want = 0;
        switch (k.keyType) {
        case AnimationKey::Rotation: want = 4; break;
        case AnimationKey::Scale:
        case AnimationKey::Position: want = 3; break;
        case AnimationKey::Matrix:
        case AnimationKey::MatrixAlt: want = 16; break;
        default: usable = false; break;
        }
        const uint64_t room = out_.cost.limit(rm::Cost::AnimationKeys) - out_.cost.spent(rm::Cost::AnimationKeys);
        reserveCapped(k.times, std::min<uint64_t>(n, room), lex_.remaining() / 2 + 1);
        reserveCapped(k.values, std::min<uint64_t>(n, room), lex_.remaining() / 2 + 1);
        for (uint32_t i = 0; i < n; ++i) {
            if (!out_.cost.charge(rm::Cost::AnimationKeys)) return refused();
            uint32_t time = 0, nv = 0;
            if (!count(time) || !count(nv)) return false;
            if (nv > lex_.remaining()) return fail("key longer than the data left");
            std::vector<float> values(nv);
            if (!floats(values.data(), nv)) return false;
            if (nv != want) usable = false;
            k.times.push_back(time);
            k.values.push_back(std::move(values));
        }
        if (!usable)
            warn("animation key of type " + std::to_string(k.keyType) +
                 " with an unknown type or the wrong number of values ignored");
        return noChildren();
    }

    // Objects are registered when their definition starts; a name or GUID stands for the
    // first object that had it. Registrations are logged so that a definition read in vain
    // can be taken back.
    template <class T>
    struct Registry {
        std::unordered_map<std::string, std::shared_ptr<T>> named;
        std::map<Guid, std::shared_ptr<T>> byGuid;
    };
    struct Registration {
        int kind;  // 0 mesh, 1 frame, 2 material
        bool byGuid;
        std::string name;
        Guid guid;
    };
    template <class T>
    std::shared_ptr<T> newObject(Registry<T>& registry, int kind, const std::string& name) {
        auto object = std::make_shared<T>();
        object->name = name;
        held_.push_back(object);
        if (!name.empty() && registry.named.emplace(name, object).second) log_.push_back({kind, false, name, {}});
        if (guid_ && registry.byGuid.emplace(*guid_, object).second) log_.push_back({kind, true, {}, *guid_});
        return object;
    }
    // What a file holds is counted as it is read, so that one of more frames or meshes than
    // may be placed stops before they take memory.
    bool tooMany() {
        if (literal_.frames > out_.cost.limit(rm::Cost::Frames)) return !out_.cost.refuse(rm::Cost::Frames);
        if (literal_.meshes > out_.cost.limit(rm::Cost::Placements)) return !out_.cost.refuse(rm::Cost::Placements);
        return false;
    }
    std::shared_ptr<Mesh> newMesh(const std::string& name) {
        ++literal_.meshes;
        return newObject(meshes_, 0, name);
    }
    std::shared_ptr<Frame> newFrame(const std::string& name) {
        ++literal_.frames;
        auto frame = newObject(frames_, 1, name);
        allFrames_.push_back(frame.get());
        return frame;
    }
    std::shared_ptr<Material> newMaterial(const std::string& name) { return newObject(materials_, 2, name); }

    struct FrameReference {
        Frame* owner;
        std::string name;
        std::optional<Guid> guid;
        size_t meshesBefore, childrenBefore;  // the owner's own objects read before it
    };
    struct MaterialReference {
        Mesh* mesh;
        size_t slot;
        std::string name;
        std::optional<Guid> guid;
    };

    void forgetMaterialReferences(const Mesh& m) {
        std::erase_if(materialRefs_, [&](const MaterialReference& r) { return r.mesh == &m; });
    }

    // Where a definition began, to take it back.
    struct Checkpoint {
        size_t log, frameRefs, materialRefs, warnings, frames, held;
        Literal literal;
    };
    Checkpoint checkpoint() const {
        return {log_.size(),  frameRefs_.size(), materialRefs_.size(), out_.warnings.size(),
                allFrames_.size(), held_.size(),      literal_};
    }
    void rollback(const Checkpoint& c) {
        while (log_.size() > c.log) {
            const Registration& r = log_.back();
            auto drop = [&](auto& registry) {
                if (r.byGuid)
                    registry.byGuid.erase(r.guid);
                else
                    registry.named.erase(r.name);
            };
            if (r.kind == 0) drop(meshes_);
            else if (r.kind == 1) drop(frames_);
            else drop(materials_);
            log_.pop_back();
        }
        frameRefs_.resize(c.frameRefs);
        materialRefs_.resize(c.materialRefs);
        out_.warnings.resize(c.warnings);
        allFrames_.resize(c.frames);
        held_.resize(c.held);  // nothing outside the definition holds what it read
        literal_ = c.literal;
    }

    // An object the loaders do not use where it stands (an unknown one, a material inside
    // a frame, a frame inside an animation ...): it is read only for the meshes, frames and
    // materials it defines, which references elsewhere may name. If it cannot be read that
    // way it is skipped, as unknown objects always were.
    // Reading it again from where a definition failed is what costs: an object that
    // failed once is skipped when reading comes back to it, and the bytes a failed
    // definition read are charged to the account, so reading stays linear in the file.
    bool definitions(const std::string& type, const std::string& name) {
        if (nesting_ > kMaxNesting) return lex_.skipBody();
        const size_t start = lex_.offset();
        if (failed_.count(start)) return lex_.skipBody();
        const auto mark = lex_.mark();
        const Checkpoint undo = checkpoint();
        const bool normalsValid = faceNormalsValid_;
        bool ok;
        if (equalsNoCase(type, "Mesh")) {
            auto m = newMesh(name);
            ok = mesh(*m);
        } else if (equalsNoCase(type, "Frame")) {
            auto f = newFrame(name);
            ok = frame(*f, nesting_);
        } else if (equalsNoCase(type, "Material")) {
            auto m = newMaterial(name);
            ok = material(*m);
        } else {
            ok = noChildren();
        }
        faceNormalsValid_ = normalsValid;
        if (ok) return true;
        if (out_.cost.over() || !out_.cost.charge(rm::Cost::RereadBytes, lex_.readTo() - start)) return refused();
        failed_.insert(start);
        lex_.reset(mark);
        rollback(undo);
        error_.clear();
        return lex_.skipBody();
    }

    struct FrameTarget {
        std::shared_ptr<Mesh> mesh;
        std::shared_ptr<Frame> frame;
    };

    // A reference that would place a frame inside itself (directly or through other
    // references) is dropped: those are the references between frames of one strongly
    // connected group. Frames' own children never form a cycle, so what is left has none,
    // which keeps the shared objects from holding one another for ever.
    void dropReferencesInCycles(std::vector<FrameTarget>& resolved) {
        std::unordered_map<const Frame*, uint32_t> id;
        for (const Frame* f : allFrames_) id.emplace(f, static_cast<uint32_t>(id.size()));
        const size_t n = allFrames_.size();
        std::vector<std::vector<uint32_t>> edges(n);
        for (const Frame* f : allFrames_)
            for (const Frame& c : f->children) edges[id[f]].push_back(id[&c]);
        for (size_t i = 0; i < frameRefs_.size(); ++i)
            if (resolved[i].frame) edges[id[frameRefs_[i].owner]].push_back(id[resolved[i].frame.get()]);
        // Tarjan's algorithm, without recursion: chains of references may be long.
        constexpr uint32_t kUnseen = UINT32_MAX;
        std::vector<uint32_t> index(n, kUnseen), low(n), group(n, kUnseen), stack;
        std::vector<bool> onStack(n, false);
        std::vector<std::pair<uint32_t, size_t>> calls;  // node, next edge
        uint32_t counter = 0, groups = 0;
        for (uint32_t start = 0; start < n; ++start) {
            if (index[start] != kUnseen) continue;
            calls.push_back({start, 0});
            while (!calls.empty()) {
                auto& [v, next] = calls.back();
                if (next == 0 && index[v] == kUnseen) {
                    index[v] = low[v] = counter++;
                    stack.push_back(v);
                    onStack[v] = true;
                }
                if (next < edges[v].size()) {
                    const uint32_t w = edges[v][next++];
                    if (index[w] == kUnseen)
                        calls.push_back({w, 0});
                    else if (onStack[w])
                        low[v] = std::min(low[v], index[w]);
                    continue;
                }
                const uint32_t done = v;
                calls.pop_back();
                if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[done]);
                if (low[done] == index[done]) {
                    uint32_t w;
                    do {
                        w = stack.back();
                        stack.pop_back();
                        onStack[w] = false;
                        group[w] = groups;
                    } while (w != done);
                    ++groups;
                }
            }
        }
        bool dropped = false;
        for (size_t i = 0; i < frameRefs_.size(); ++i)
            if (resolved[i].frame && group[id[frameRefs_[i].owner]] == group[id[resolved[i].frame.get()]]) {
                resolved[i].frame.reset();
                dropped = true;
            }
        if (dropped) warn("references that would place a frame inside itself ignored");
    }

    // At the end of the file every reference can be resolved.
    bool finish() {
        for (const MaterialReference& r : materialRefs_) {
            if (auto found = sharedOf(materials_, r.name, r.guid))
                r.mesh->materials.set(r.slot, std::move(found));
            else
                warn("material " + displayName(r.name) + " is not defined; white used");
        }
        // A frame's references go between its own meshes and frames, where they were written.
        std::vector<FrameTarget> resolved(frameRefs_.size());
        std::unordered_map<Frame*, std::vector<size_t>> byOwner;
        for (size_t i = 0; i < frameRefs_.size(); ++i) {
            const FrameReference& r = frameRefs_[i];
            if (!(resolved[i].mesh = sharedOf(meshes_, r.name, r.guid)) &&
                !(resolved[i].frame = sharedOf(frames_, r.name, r.guid)))
                warn("frame " + displayName(r.owner->name) + ": reference to unknown object " + displayName(r.name) +
                     " ignored");
            byOwner[r.owner].push_back(i);
        }
        dropReferencesInCycles(resolved);
        for (auto& [ownerPointer, refs] : byOwner) {
            Frame& owner = *ownerPointer;
            SharedList<Mesh> meshes;
            SharedList<Frame> children;
            size_t m = 0, c = 0;
            for (size_t i : refs) {
                const FrameReference& r = frameRefs_[i];
                while (m < r.meshesBefore) meshes.push_back(owner.meshes.shared(m++));
                while (c < r.childrenBefore) children.push_back(owner.children.shared(c++));
                if (resolved[i].mesh) meshes.push_back(std::move(resolved[i].mesh));
                if (resolved[i].frame) children.push_back(std::move(resolved[i].frame));
            }
            while (m < owner.meshes.size()) meshes.push_back(owner.meshes.shared(m++));
            while (c < owner.children.size()) children.push_back(owner.children.shared(c++));
            owner.meshes = std::move(meshes);
            owner.children = std::move(children);
        }
        for (AnimationSet& set : out_.animationSets)
            for (Animation& a : set.animations)
                if (a.frameGuid)
                    if (auto f = sharedOf(frames_, {}, a.frameGuid); f && !f->name.empty()) a.frameName = f->name;

        // Vertices, corners and what is copied per placement are paid for by the size of a
        // file read as it stands; an inflated one pays for nothing.
        if (out_.format == Format::Text || out_.format == Format::Binary) {
            out_.cost.allowLiteral(rm::Cost::Elements, literal_.elements);
            out_.cost.allowLiteral(rm::Cost::PlacementCopies, literal_.copies);
        }
        rm::CostAccount placed = out_.cost;
        bool depthCut = false;
        if (!measure(out_, nullptr, placed, &depthCut)) {
            error_ = placed.refusal();
            return false;
        }
        if (depthCut)
            warn("frames nested deeper than " + std::to_string(kMaxDepth) + " levels through references skipped");
        return true;
    }

    template <class T>
    static std::shared_ptr<T> sharedOf(const Registry<T>& registry, const std::string& name,
                                       const std::optional<Guid>& guid) {
        if (guid) {
            auto it = registry.byGuid.find(*guid);
            if (it != registry.byGuid.end()) return it->second;
        }
        if (name.empty()) return nullptr;
        auto it = registry.named.find(name);
        return it == registry.named.end() ? nullptr : it->second;
    }

    // Counts the objects nested in one another, so that reading only for definitions
    // never recurses without bound.
    struct Nesting {
        explicit Nesting(int& n) : n_(n) { ++n_; }
        ~Nesting() { --n_; }
        int& n_;
    };

public:
    // Bones are frames that may come anywhere in the file, so they are checked at the end.
    // Each frame and mesh is looked at once: references give the frames many paths.
    void checkBones() {
        std::unordered_set<std::string> frames;
        std::unordered_set<const void*> seen;
        std::vector<const Mesh*> meshes;
        for (const Mesh& m : out_.meshes) meshes.push_back(&m);
        std::vector<const Frame*> todo;
        for (size_t i = out_.frames.size(); i-- > 0;) todo.push_back(&out_.frames[i]);
        while (!todo.empty()) {
            const Frame* f = todo.back();
            todo.pop_back();
            if (!seen.insert(f).second) continue;
            frames.insert(f->name);
            for (const Mesh& m : f->meshes)
                if (seen.insert(&m).second) meshes.push_back(&m);
            for (size_t i = f->children.size(); i-- > 0;) todo.push_back(&f->children[i]);
        }
        for (const Mesh* m : meshes)
            for (const SkinWeights& s : m->skinWeights)
                if (s.boneName.empty() || !frames.count(s.boneName))
                    warn("mesh " + displayName(m->name) + ": bone " + displayName(s.boneName) +
                         " names no frame; the vertices it moves stay where they are");
    }

    std::string error_;

private:
    Lexer& lex_;
    File& out_;
    const Options& options_;
    int looseSet_ = -1;
    bool faceNormalsValid_ = true;
    int nesting_ = 0;
    std::optional<Guid> guid_;  // of the object being started
    Registry<Mesh> meshes_;
    Registry<Frame> frames_;
    Registry<Material> materials_;
    std::vector<Registration> log_;
    // Every object read, until the references into and out of it are resolved: one read
    // only for its definitions may be held by nothing else.
    std::vector<std::shared_ptr<const void>> held_;
    std::vector<const Frame*> allFrames_;
    std::vector<FrameReference> frameRefs_;
    std::vector<MaterialReference> materialRefs_;
    Literal literal_;  // what the file holds itself
    std::unordered_set<size_t> failed_;  // where definitions could not be read
};

template <class Lexer>
bool runParser(Lexer& lex, File& out, const Options& options, std::string& error) {
    Parser<Lexer> parser(lex, out, options);
    if (parser.run()) {
        parser.checkBones();
        return true;
    }
    error = out.cost.over() ? out.cost.refusal() : !lex.error().empty() ? lex.error() : parser.error_;
    if (error.empty()) error = "malformed data";
    return false;
}

bool blank(uint8_t c) { return c == ' ' || c == '\t'; }

// "xof 0302txt 0032": the blanks may be spaces or tabs.
bool parseHeader(std::span<const uint8_t> bytes, File& out, std::string& error) {
    if (bytes.size() < 16 || std::memcmp(bytes.data(), "xof", 3) != 0 || !blank(bytes[3])) {
        error = "not an x file (no \"xof \" header)";
        return false;
    }
    const char* fmt = reinterpret_cast<const char*>(bytes.data() + 8);
    if (std::memcmp(fmt, "txt", 3) == 0 && blank(bytes[11]))
        out.format = Format::Text;
    else if (std::memcmp(fmt, "bin", 3) == 0 && blank(bytes[11]))
        out.format = Format::Binary;
    else if (std::memcmp(fmt, "tzip", 4) == 0)
        out.format = Format::CompressedText;
    else if (std::memcmp(fmt, "bzip", 4) == 0)
        out.format = Format::CompressedBinary;
    else {
        error = "unsupported x file format '" + std::string(fmt, 4) + "'";
        for (char& c : error)
            if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
        return false;
    }
    const char* size = reinterpret_cast<const char*>(bytes.data() + 12);
    if (std::memcmp(size, "0032", 4) == 0)
        out.floatSize = 32;
    else if (std::memcmp(size, "0064", 4) == 0)
        out.floatSize = 64;
    else {
        error = "unsupported float size in the x file header";
        return false;
    }
    return true;
}

}  // namespace

Status parse(std::span<const uint8_t> bytes, File& out, std::string* error, const Options& options) {
    File file;
    if (options.limits) file.cost = rm::CostAccount(*options.limits);
    std::string why;
    bool ok = parseHeader(bytes, file, why);
    if (ok) {
        std::span<const uint8_t> body = bytes.subspan(16);
        std::vector<uint8_t> inflated;
        if (file.format == Format::CompressedText || file.format == Format::CompressedBinary) {
            std::string warning;
            ok = detail::mszipDecompress(body, inflated, why, warning, file.cost);
            if (!warning.empty()) file.warnings.push_back(warning);
            body = inflated;
        }
        if (ok) {
            if (file.format == Format::Text || file.format == Format::CompressedText) {
                detail::TextLexer lex(body.data(), body.data() + body.size());
                ok = runParser(lex, file, options, why);
            } else {
                detail::BinaryLexer lex(body.data(), body.data() + body.size(), file.floatSize);
                ok = runParser(lex, file, options, why);
            }
        }
    }
    if (options.warningsToStderr)
        for (const std::string& w : file.warnings) std::fprintf(stderr, "x file: %s\n", w.c_str());
    if (!ok) {
        out = File{};
        out.warnings = std::move(file.warnings);
        if (error) *error = why;
        return Status::BadFile;
    }
    out = std::move(file);
    if (error) error->clear();
    return Status::Ok;
}

namespace {

// Bytes of [0, size) that are holes, not on disk (read as zeros); looks at the first few
// thousand stretches only.
uint64_t holeBytes(int fd, off_t size) {
    uint64_t holes = 0;
    off_t at = 0;
    for (int i = 0; i < 4096 && at < size; ++i) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) holes += static_cast<uint64_t>(size - at);  // a hole to the end
            break;
        }
        holes += static_cast<uint64_t>(data - at);
        at = lseek(fd, data, SEEK_HOLE);
        if (at < 0) break;
    }
    lseek(fd, 0, SEEK_SET);
    return holes;
}

}  // namespace

Status loadFile(const std::string& path, File& out, std::string* error, const Options& options) {
    out = File{};
    FileOpening opening;
    const int fd = openRegularFile(path.c_str(), &opening);
    if (fd < 0) {
        if (error) *error = fileOpeningMessage(opening, path);
        return Status::FileNotFound;
    }
    // Mapped rather than copied: large models load faster and the pages need not stay
    // resident.
    struct stat st {};
    // A sparse file of gigabytes takes no disk but would be read, and held, byte by byte.
    if (fstat(fd, &st) == 0 && st.st_size > (off_t(16) << 20)) {
        const uint64_t holes = holeBytes(fd, st.st_size);
        if (holes > static_cast<uint64_t>(st.st_size) / 2) {
            close(fd);
            if (error)
                *error = std::to_string(holes) + " of the file's " + std::to_string(st.st_size) +
                         " bytes are holes, not on disk (a sparse file)";
            return Status::BadFile;
        }
    }
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        const size_t size = static_cast<size_t>(st.st_size);
        void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            close(fd);
            madvise(map, size, MADV_SEQUENTIAL);
            Status s = parse({static_cast<const uint8_t*>(map), size}, out, error, options);
            munmap(map, size);
            return s;
        }
    }
    std::vector<uint8_t> bytes;
    if (readToEnd(fd, bytes) != FileOpening::Opened) {
        if (error) *error = "cannot read '" + path + "'";
        return Status::BadFile;
    }
    return parse(bytes, out, error, options);
}

bool chargePlacements(const File& file, const Frame* root, rm::CostAccount& cost) {
    return measure(file, root, cost);
}

bool withinAllowance(const File& file, const Frame* root, std::string* why) {
    rm::CostAccount cost = file.cost;
    if (measure(file, root, cost)) return true;
    if (why) *why = cost.refusal();
    return false;
}

}  // namespace xfile
