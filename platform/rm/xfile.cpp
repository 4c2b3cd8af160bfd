#include "platform/rm/xfile.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <unordered_set>
#include <utility>

#include "platform/rm/xfile_lexer.h"
#include "platform/rm/xfile_mszip.h"

namespace xfile {

namespace {

using detail::Child;
using detail::equalsNoCase;

// Frames nest through recursion; deeper hierarchies than this are skipped, not followed.
constexpr int kMaxDepth = 200;

template <class T>
void reserveCapped(std::vector<T>& v, uint64_t wanted, size_t cap) {
    v.reserve(static_cast<size_t>(std::min<uint64_t>(wanted, cap)));
}

std::string displayName(const std::string& name) { return name.empty() ? "(unnamed)" : "'" + name + "'"; }

template <class Lexer>
class Parser {
public:
    Parser(Lexer& lex, File& out, const Options& options) : lex_(lex), out_(out), options_(options) {}

    bool run() {
        std::string type, name;
        for (;;) {
            Child c = lex_.nextChild(type, name, true);
            if (c == Child::Eof) return true;
            if (c == Child::Error) return false;
            if (c == Child::Reference) continue;  // nothing to attach a top-level reference to
            if (equalsNoCase(type, "Mesh")) {
                Mesh m;
                m.name = name;
                if (!mesh(m)) return false;
                out_.meshes.push_back(std::move(m));
            } else if (equalsNoCase(type, "Frame")) {
                Frame f;
                f.name = name;
                if (!frame(f, 1)) return false;
                out_.frames.push_back(std::move(f));
            } else if (equalsNoCase(type, "Material")) {
                Material m;
                m.name = name;
                if (!material(m)) return false;
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
            } else if (!lex_.skipBody()) {
                return false;
            }
        }
    }

private:
    void warn(std::string text) {
        if (options_.warningsToStderr) std::fprintf(stderr, "x file: %s\n", text.c_str());
        out_.warnings.push_back(std::move(text));
    }

    bool count(uint32_t& n) {
        int64_t v = 0;
        if (!lex_.readInt(v)) return false;
        if (v < 0 || v > int64_t(UINT32_MAX)) return fail("a count was expected");
        n = static_cast<uint32_t>(v);
        return true;
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
            case Child::Reference: onRef(name); break;
            case Child::Object: {
                int handled = onChild(type, name);  // 1 read, 0 not ours, -1 failed
                if (handled < 0) return false;
                if (handled == 0 && !lex_.skipBody()) return false;
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
        uint32_t nv = 0;
        if (!count(nv)) return false;
        if (!vectors(m.vertices, nv)) return false;
        uint32_t nf = 0;
        if (!count(nf)) return false;
        m.faces.offsets.reserve(std::min<size_t>(nf, lex_.remaining()) + 1);
        m.faces.indices.reserve(std::min<size_t>(uint64_t(nf) * 3, lex_.remaining()));
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
                Material mat;
                mat.name = name;
                if (!material(mat)) return -1;
                m.materials.push_back(std::move(mat));
                return 1;
            },
            [&](const std::string& name) {
                if (const Material* found = findMaterial(name)) {
                    Material copy = *found;
                    m.materials.push_back(std::move(copy));
                } else {
                    warn("material " + displayName(name) + " is not defined; white used");
                    Material white;
                    white.name = name;
                    m.materials.push_back(std::move(white));
                }
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
        if (depth > kMaxDepth) {
            warn("frames nested deeper than " + std::to_string(kMaxDepth) + " levels skipped");
            return lex_.skipBody();
        }
        frameStack_.push_back(&f);
        bool ok = children(
            [&](const std::string& type, const std::string& name) -> int {
                if (equalsNoCase(type, "FrameTransformMatrix")) {
                    if (!floats(f.transform.data(), 16)) return -1;
                    return noChildren() ? 1 : -1;
                }
                if (equalsNoCase(type, "Mesh")) {
                    Mesh m;
                    m.name = name;
                    if (!mesh(m)) return -1;
                    f.meshes.push_back(std::move(m));
                    return 1;
                }
                if (equalsNoCase(type, "Frame")) {
                    Frame child;
                    child.name = name;
                    if (!frame(child, depth + 1)) return -1;
                    f.children.push_back(std::move(child));
                    return 1;
                }
                return 0;
            },
            [&](const std::string& name) {
                if (const Mesh* m = findMesh(name)) {
                    Mesh copy = *m;
                    f.meshes.push_back(std::move(copy));
                } else if (const Frame* child = findFrame(name)) {
                    Frame copy = *child;
                    f.children.push_back(std::move(copy));
                } else {
                    warn("frame " + displayName(f.name) + ": reference to unknown object " + displayName(name) + " ignored");
                }
            });
        frameStack_.pop_back();
        return ok;
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
                if (a.frameName.empty()) a.frameName = name;
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
        reserveCapped(k.times, n, lex_.remaining() / 2 + 1);
        reserveCapped(k.values, n, lex_.remaining() / 2 + 1);
        for (uint32_t i = 0; i < n; ++i) {
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

    // References resolve to objects already read: top-level ones, and those inside the
    // frames being read.
    const Mesh* findMesh(const std::string& name) const {
        if (name.empty()) return nullptr;
        for (const Mesh& m : out_.meshes)
            if (m.name == name) return &m;
        for (const Frame& f : out_.frames)
            if (const Mesh* m = findMeshIn(f, name)) return m;
        for (const Frame* f : frameStack_)
            if (const Mesh* m = findMeshIn(*f, name)) return m;
        return nullptr;
    }
    static const Mesh* findMeshIn(const Frame& f, const std::string& name) {
        for (const Mesh& m : f.meshes)
            if (m.name == name) return &m;
        for (const Frame& c : f.children)
            if (const Mesh* m = findMeshIn(c, name)) return m;
        return nullptr;
    }
    const Frame* findFrame(const std::string& name) const {
        if (name.empty()) return nullptr;
        for (const Frame& f : out_.frames)
            if (const Frame* r = findFrameIn(f, name)) return r;
        for (const Frame* f : frameStack_)
            for (const Frame& c : f->children)
                if (const Frame* r = findFrameIn(c, name)) return r;
        return nullptr;
    }
    static const Frame* findFrameIn(const Frame& f, const std::string& name) {
        if (f.name == name) return &f;
        for (const Frame& c : f.children)
            if (const Frame* r = findFrameIn(c, name)) return r;
        return nullptr;
    }
    const Material* findMaterial(const std::string& name) const {
        if (name.empty()) return nullptr;
        for (const Material& m : out_.materials)
            if (m.name == name) return &m;
        return nullptr;
    }

public:
    // Bones are frames that may come anywhere in the file, so they are checked at the end.
    void checkBones() {
        std::unordered_set<std::string> frames;
        auto collect = [&](auto& self, const Frame& f, int depth) -> void {
            frames.insert(f.name);
            if (depth < kMaxDepth)
                for (const Frame& c : f.children) self(self, c, depth + 1);
        };
        for (const Frame& f : out_.frames) collect(collect, f, 0);
        auto check = [&](const Mesh& m) {
            for (const SkinWeights& s : m.skinWeights)
                if (s.boneName.empty() || !frames.count(s.boneName))
                    warn("mesh " + displayName(m.name) + ": bone " + displayName(s.boneName) +
                         " names no frame; the vertices it moves stay where they are");
        };
        auto walk = [&](auto& self, const Frame& f, int depth) -> void {
            for (const Mesh& m : f.meshes) check(m);
            if (depth < kMaxDepth)
                for (const Frame& c : f.children) self(self, c, depth + 1);
        };
        for (const Mesh& m : out_.meshes) check(m);
        for (const Frame& f : out_.frames) walk(walk, f, 0);
    }

    std::string error_;

private:
    Lexer& lex_;
    File& out_;
    const Options& options_;
    std::vector<Frame*> frameStack_;
    int looseSet_ = -1;
    bool faceNormalsValid_ = true;
};

template <class Lexer>
bool runParser(Lexer& lex, File& out, const Options& options, std::string& error) {
    Parser<Lexer> parser(lex, out, options);
    if (parser.run()) {
        parser.checkBones();
        return true;
    }
    error = !lex.error().empty() ? lex.error() : parser.error_;
    if (error.empty()) error = "malformed data";
    return false;
}

bool parseHeader(std::span<const uint8_t> bytes, File& out, std::string& error) {
    if (bytes.size() < 16 || std::memcmp(bytes.data(), "xof ", 4) != 0) {
        error = "not an x file (no \"xof \" header)";
        return false;
    }
    const char* fmt = reinterpret_cast<const char*>(bytes.data() + 8);
    if (std::memcmp(fmt, "txt ", 4) == 0)
        out.format = Format::Text;
    else if (std::memcmp(fmt, "bin ", 4) == 0)
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
    std::string why;
    bool ok = parseHeader(bytes, file, why);
    if (ok) {
        std::span<const uint8_t> body = bytes.subspan(16);
        std::vector<uint8_t> inflated;
        if (file.format == Format::CompressedText || file.format == Format::CompressedBinary) {
            std::string warning;
            ok = detail::mszipDecompress(body, inflated, why, warning);
            if (!warning.empty()) {
                if (options.warningsToStderr) std::fprintf(stderr, "x file: %s\n", warning.c_str());
                file.warnings.push_back(warning);
            }
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

Status loadFile(const std::string& path, File& out, std::string* error, const Options& options) {
    out = File{};
    std::error_code ec;
    std::FILE* fp = std::filesystem::is_directory(path, ec) ? nullptr : std::fopen(path.c_str(), "rb");
    if (!fp) {
        if (error) *error = "cannot open '" + path + "'";
        return Status::FileNotFound;
    }
    // A regular file is mapped rather than copied: large models load faster and the
    // pages need not stay resident.
    struct stat st {};
    if (fstat(fileno(fp), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        const size_t size = static_cast<size_t>(st.st_size);
        void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fileno(fp), 0);
        if (map != MAP_FAILED) {
            std::fclose(fp);
            madvise(map, size, MADV_SEQUENTIAL);
            Status s = parse({static_cast<const uint8_t*>(map), size}, out, error, options);
            munmap(map, size);
            return s;
        }
    }
    std::vector<uint8_t> bytes;
    bool readOk = true;
    try {
        uint8_t chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, fp)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
        readOk = !std::ferror(fp);
    } catch (const std::bad_alloc&) {
        readOk = false;
    }
    std::fclose(fp);
    if (!readOk) {
        if (error) *error = "cannot read '" + path + "'";
        return Status::BadFile;
    }
    return parse(bytes, out, error, options);
}

}  // namespace xfile
