// glTF 2.0 output. glTF is right-handed with y up and column vectors; the scene is
// left-handed with row vectors, so everything is mirrored in z (S x M x S for matrices,
// z negated for points and normals, triangles turned round), and a row-vector matrix
// written row by row is the column-major matrix glTF wants.
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>

#include "export/export_internal.h"
#include "platform/rm/big_memory.h"
#include "platform/rm/rm_math.h"

namespace exporting {
namespace {

// The vertex written for each (position, normal) a corner asks for. A normal is mostly
// asked for with one position (a normal made for a mesh serves one): each normal's first
// position and vertex sit in an array by the normal. The rest (a normal met again with
// another position, a corner that takes its face's normal) go to a table of their own,
// open and probed in turn, because a million-face mesh asks millions of times and a node
// for each key costs more than the work. Keys are never all ones (that would take 2^32
// positions).
class CornerTable {
public:
    CornerTable(size_t positions, size_t normals) {
        rm::reserveOnHugePages(byNormal_, normals);
        byNormal_.resize(normals);
        // Room for about a key a position where normals are fewer than positions.
        size_t capacity = 1024;
        while (normals < positions && capacity < 2 * positions) capacity *= 2;
        slots_ = emptySlots(capacity);
    }
    // The index kept for (position, normal), or `index` kept for it now (then true). A
    // normal past the mesh's stands for something else (the face whose normal it takes).
    std::pair<uint32_t, bool> emplace(uint32_t position, uint32_t normal, uint32_t index) {
        if (normal < byNormal_.size()) {
            First& first = byNormal_[normal];
            if (first.position == kNone) {
                first = {position, index};
                return {index, true};
            }
            if (first.position == position) return {first.index, false};
        }
        const uint64_t key = uint64_t(position) << 32 | normal;
        if (2 * (used_ + 1) > slots_.size()) grow();
        Slot& slot = find(slots_, key);
        if (slot.key() == key) return {slot.index, false};
        slot = {uint32_t(key), uint32_t(key >> 32), index};
        ++used_;
        return {index, true};
    }

private:
    static constexpr uint32_t kNone = ~0u;
    struct First {
        uint32_t position = kNone, index = 0;
    };
    std::vector<First> byNormal_;
    // The key in halves: 12 bytes a slot instead of 16.
    struct Slot {
        uint32_t low = ~0u, high = ~0u;
        uint32_t index = 0;
        uint64_t key() const { return uint64_t(high) << 32 | low; }
    };
    static constexpr uint64_t kEmpty = ~uint64_t{0};
    // The slot of key, or the empty one where it goes: probing starts at the top bits of
    // the key times the golden ratio (the bits every bit of the key reaches).
    static Slot& find(std::vector<Slot>& slots, uint64_t key) {
        const size_t mask = slots.size() - 1;
        size_t at = size_t((key * 0x9e3779b97f4a7c15ull) >> (64 - std::countr_zero(slots.size())));
        while (slots[at].key() != kEmpty && slots[at].key() != key) at = (at + 1) & mask;
        return slots[at];
    }
    // Looked up at random: on huge pages where the system has them, a big table's lookups
    // miss the address cache far less.
    static std::vector<Slot> emptySlots(size_t capacity) {
        std::vector<Slot> slots;
        rm::reserveOnHugePages(slots, capacity);
        slots.resize(capacity);
        return slots;
    }
    void grow() {
        std::vector<Slot> bigger = emptySlots(slots_.size() * 2);
        for (const Slot& s : slots_)
            if (s.key() != kEmpty) find(bigger, s.key()) = s;
        slots_ = std::move(bigger);
    }
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

using rm::Matrix;
using rm::operator*;
using rm::operator-;

Matrix mirrored(const Matrix& m) {
    Matrix out = m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if ((r == 2) != (c == 2)) out.m[r][c] = -out.m[r][c];
    return out;
}

float finite(float v) { return std::isfinite(v) ? v : 0.0f; }

struct Trs {
    float t[3] = {0, 0, 0};
    float r[4] = {0, 0, 0, 1};  // x y z w
    float s[3] = {1, 1, 1};
};

// Quaternion (x y z w) of the rotation whose glTF (column-vector) matrix has columns c[j].
void quaternionOf(const D3DVECTOR c[3], float q[4]) {
    const float m00 = c[0].x, m10 = c[0].y, m20 = c[0].z;
    const float m01 = c[1].x, m11 = c[1].y, m21 = c[1].z;
    const float m02 = c[2].x, m12 = c[2].y, m22 = c[2].z;
    const float trace = m00 + m11 + m22;
    double x, y, z, w;
    if (trace > 0) {
        const double s = std::sqrt(trace + 1.0) * 2;
        w = 0.25 * s, x = (m21 - m12) / s, y = (m02 - m20) / s, z = (m10 - m01) / s;
    } else if (m00 > m11 && m00 > m22) {
        const double s = std::sqrt(1.0 + m00 - m11 - m22) * 2;
        w = (m21 - m12) / s, x = 0.25 * s, y = (m01 + m10) / s, z = (m02 + m20) / s;
    } else if (m11 > m22) {
        const double s = std::sqrt(1.0 + m11 - m00 - m22) * 2;
        w = (m02 - m20) / s, x = (m01 + m10) / s, y = 0.25 * s, z = (m12 + m21) / s;
    } else {
        const double s = std::sqrt(1.0 + m22 - m00 - m11) * 2;
        w = (m10 - m01) / s, x = (m02 + m20) / s, y = (m12 + m21) / s, z = 0.25 * s;
    }
    const double n = std::sqrt(x * x + y * y + z * z + w * w);
    if (!(n > 0) || !std::isfinite(n)) {
        q[0] = q[1] = q[2] = 0, q[3] = 1;
        return;
    }
    q[0] = float(x / n), q[1] = float(y / n), q[2] = float(z / n), q[3] = float(w / n);
}

// Translation, rotation and scale of an already mirrored matrix. False when the axes are
// not at right angles or one is flat (the result is then the nearest such transform).
bool decompose(const Matrix& m, Trs& out) {
    out = Trs{};
    for (int i = 0; i < 3; ++i) out.t[i] = finite(m.m[3][i]);
    D3DVECTOR axis[3];
    bool exact = true;
    for (int r = 0; r < 3; ++r) {
        axis[r] = {finite(m.m[r][0]), finite(m.m[r][1]), finite(m.m[r][2])};
        out.s[r] = rm::length(axis[r]);
        if (!(out.s[r] > 1e-12f)) exact = false;
    }
    const D3DVECTOR c = rm::cross(axis[0], axis[1]);
    if (rm::dot(c, axis[2]) < 0) {
        out.s[0] = -out.s[0];
        axis[0] = axis[0] * -1.0f;
    }
    // Gram-Schmidt: the rotation nearest the axes.
    D3DVECTOR u[3] = {axis[0], axis[1], axis[2]};
    if (!rm::normalize(u[0])) u[0] = {1, 0, 0};
    const float d01 = rm::dot(u[0], axis[1]);
    u[1] = axis[1] - u[0] * d01;
    if (!rm::normalize(u[1])) {
        u[1] = std::fabs(u[0].y) < 0.9f ? D3DVECTOR{0, 1, 0} : D3DVECTOR{1, 0, 0};
        u[1] = u[1] - u[0] * rm::dot(u[0], u[1]);
        rm::normalize(u[1]);
    }
    u[2] = rm::cross(u[0], u[1]);
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j) {
            const float limit = 1e-4f * std::fabs(out.s[i] * out.s[j]);
            if (std::fabs(rm::dot(axis[i], axis[j])) > limit) exact = false;
        }
    if (std::fabs(m.m[0][3]) > 1e-6f || std::fabs(m.m[1][3]) > 1e-6f ||
        std::fabs(m.m[2][3]) > 1e-6f || std::fabs(m.m[3][3] - 1) > 1e-6f)
        exact = false;
    quaternionOf(u, out.r);
    return exact;
}

void rotationQuaternion(const D3DRMQUATERNION& key, float q[4]) {
    D3DRMQUATERNION k = key;
    D3DRMMATRIX4D a;
    D3DRMMatrixFromQuaternion(a, &k);
    Trs trs;
    decompose(mirrored(rm::fromArray(a)), trs);
    std::copy(trs.r, trs.r + 4, q);
}

std::string num(double v) {
    if (!std::isfinite(v)) v = 0;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", v);
    return buffer;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else if (c < 0x80) {
            out += char(c);
        } else {
            out += '?';  // names from old files are in no known code page
        }
    }
    return out + "\"";
}

template <class T>
std::string list(const T* v, size_t n) {
    std::string out = "[";
    for (size_t i = 0; i < n; ++i) out += (i ? "," : "") + num(v[i]);
    return out + "]";
}

std::string indexList(const std::vector<int>& v) {
    std::string out = "[";
    for (size_t i = 0; i < v.size(); ++i) out += (i ? "," : "") + std::to_string(v[i]);
    return out + "]";
}

// A file name that needs no escaping in a URI.
std::string uriSafe(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            c = '_';
    return name;
}

bool fileBytes(const std::string& path, std::vector<unsigned char>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

void putBigEndian(std::vector<unsigned char>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<unsigned char>(v >> shift));
}

void pngChunk(std::vector<unsigned char>& out, const char type[4], const unsigned char* data,
              size_t size) {
    putBigEndian(out, static_cast<uint32_t>(size));
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (size) crc = crc32(crc, data, static_cast<uInt>(size));
    putBigEndian(out, static_cast<uint32_t>(crc));
}

bool encodePng(const rm::TextureData& t, std::vector<unsigned char>& out) {
    if (t.width <= 0 || t.height <= 0 || t.rgba.size() < size_t(t.width) * size_t(t.height) * 4)
        return false;
    const size_t row = size_t(t.width) * 4;
    std::vector<unsigned char> raw((row + 1) * size_t(t.height));
    for (size_t y = 0; y < size_t(t.height); ++y) {
        raw[y * (row + 1)] = 0;
        std::memcpy(&raw[y * (row + 1) + 1], &t.rgba[y * row], row);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) !=
        Z_OK)
        return false;
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    out.assign(signature, signature + 8);
    std::vector<unsigned char> header;
    putBigEndian(header, uint32_t(t.width));
    putBigEndian(header, uint32_t(t.height));
    header.insert(header.end(), {8, 6, 0, 0, 0});
    pngChunk(out, "IHDR", header.data(), header.size());
    pngChunk(out, "IDAT", packed.data(), packedSize);
    pngChunk(out, "IEND", nullptr, 0);
    return true;
}

struct Node {
    std::string name;
    bool useMatrix = false;
    Trs trs;
    Matrix matrix{};
    std::vector<int> children;
    int mesh = -1, skin = -1, camera = -1, light = -1;
};

struct PendingSkin {
    const rm::MeshBuilderData* data;
    IDirect3DRMVisual* visual;
    int holderNode;  // the node of the frame that holds the builder
    IDirect3DRMFrame* holder;
};

// The binary buffer as the arrays it is made of, each starting at a multiple of 4 bytes
// (zeros between), held until written.
class BinaryBuffer {
  public:
    // Where the array starts.
    template <class T>
    size_t add(std::vector<T> data) {
        size_ = (size_ + 3) / 4 * 4;
        auto held = std::make_shared<std::vector<T>>(std::move(data));
        pieces_.push_back({held, reinterpret_cast<const unsigned char*>(held->data()),
                           held->size() * sizeof(T), size_});
        size_ += pieces_.back().bytes;
        return pieces_.back().offset;
    }
    // Up to the end of the last array; its length with the padding.
    size_t size() const { return size_; }
    size_t paddedSize() const { return (size_ + 3) / 4 * 4; }
    bool empty() const { return size_ == 0; }
    void write(std::FILE* out) const {
        static const unsigned char zeros[4] = {};
        size_t at = 0;
        for (const Piece& p : pieces_) {
            std::fwrite(zeros, 1, p.offset - at, out);
            std::fwrite(p.data, 1, p.bytes, out);
            at = p.offset + p.bytes;
        }
        std::fwrite(zeros, 1, paddedSize() - at, out);
    }

  private:
    struct Piece {
        std::shared_ptr<const void> owner;
        const unsigned char* data;
        size_t bytes, offset;
    };
    std::vector<Piece> pieces_;
    size_t size_ = 0;
};

class GltfWriter {
  public:
    GltfWriter(const ExportScene& scene, bool binary) : scene_(scene), binary_(binary) {}

    bool write(const std::string& path, PendingFiles& files, std::string& error);

  private:
    // ---- buffer -------------------------------------------------------------
    // Each view's bytes are kept as they were made, in the array that made them, until the
    // file is written: a big mesh's arrays go to the file from there instead of being
    // copied into one buffer first.
    template <class T>
    int addView(std::vector<T> data, int target) {
        const size_t offset = bin_.add(std::move(data));
        std::string v = "{\"buffer\":0,\"byteOffset\":" + std::to_string(offset) +
                        ",\"byteLength\":" + std::to_string(bin_.size() - offset);
        if (target) v += ",\"target\":" + std::to_string(target);
        views_.push_back(v + "}");
        return int(views_.size() - 1);
    }
    template <class T>
    int addAccessor(std::vector<T> data, size_t count, int componentType, const char* type,
                    int target, const std::string& extra = {}) {
        const int view = addView(std::move(data), target);
        accessors_.push_back("{\"bufferView\":" + std::to_string(view) + ",\"componentType\":" +
                             std::to_string(componentType) + ",\"count\":" + std::to_string(count) +
                             ",\"type\":\"" + type + "\"" + extra + "}");
        return int(accessors_.size() - 1);
    }
    int floats(std::vector<float> v, int width, const char* type, int target, bool bounds) {
        std::string extra;
        if (bounds && !v.empty()) {
            std::vector<float> lo(v.begin(), v.begin() + width), hi = lo;
            for (size_t i = 0; i < v.size(); ++i) {
                lo[i % width] = std::min(lo[i % width], v[i]);
                hi[i % width] = std::max(hi[i % width], v[i]);
            }
            extra = ",\"min\":" + list(lo.data(), width) + ",\"max\":" + list(hi.data(), width);
        }
        const size_t count = v.size() / width;
        return addAccessor(std::move(v), count, 5126, type, target, extra);
    }

    // ---- scene --------------------------------------------------------------
    int addFrame(IDirect3DRMFrame* frame, int depth);
    void addVisuals(IDirect3DRMFrame* frame, int node, int depth);
    int meshFor(IDirect3DRMVisual* visual, const rm::MeshBuilderData& d,
                const std::vector<uint16_t>* joints, const std::vector<float>* weights);
    int materialFor(const rm::MeshBuilderData& d, const rm::FaceLook& f, bool vertexColours,
                    bool translucentVertices);
    int textureFor(IDirect3DRMTexture* texture);
    int lightFor(IDirect3DRMLight* light);
    // Gives a node its mesh or light; a node that has one already gets a child holding it.
    void attach(int node, int Node::*field, int value) {
        if (nodes_[node].*field < 0) {
            nodes_[node].*field = value;
            return;
        }
        Node extra;
        extra.*field = value;
        nodes_.push_back(extra);
        nodes_[node].children.push_back(int(nodes_.size() - 1));
    }
    void addSkin(const PendingSkin& p);
    void addAnimation(const ExportAnimationSet& set);
    bool images(const std::string& path, PendingFiles& files, std::string& error);
    std::string json(const std::string& binUri) const;

    const ExportScene& scene_;
    bool binary_;
    BinaryBuffer bin_;
    std::vector<std::string> views_, accessors_, meshes_, materials_, textures_, skins_,
        animations_, lights_;
    std::vector<std::string> cameras_;
    std::string images_;
    std::vector<Node> nodes_;
    std::vector<int> roots_;
    std::map<IDirect3DRMFrame*, int> nodeOf_;
    std::map<uint64_t, int> nodeOfSerial_;
    std::set<IDirect3DRMFrame*> animated_;
    std::map<IDirect3DRMVisual*, int> meshOf_;
    std::map<std::string, int> materialOf_;
    std::map<IDirect3DRMTexture*, int> textureOf_;
    std::vector<IDirect3DRMTexture*> imageTextures_;
    std::vector<PendingSkin> skinned_;
    std::unique_ptr<Progress> progress_;
    size_t totalFaces_ = 0;
};

int GltfWriter::addFrame(IDirect3DRMFrame* frame, int depth) {
    const int index = int(nodes_.size());
    nodes_.emplace_back();
    {
        Node& n = nodes_.back();
        n.name = objectName(frame);
        const Matrix m = mirrored(rm::frameLocalMatrix(frame));
        const bool exact = decompose(m, n.trs);
        n.useMatrix = !exact && !animated_.count(frame);
        n.matrix = m;
        if (frame == scene_.camera && scene_.viewport) {
            const rm::ViewportData& v = rm::viewportData(scene_.viewport);
            const double w = v.width ? v.width : 1, h = v.height ? v.height : 1;
            const double field = v.field > 0 ? v.field : 0.5;
            const double yfov = 2 * std::atan(w >= h ? field * h / w : field);
            const double znear = v.front > 0 ? v.front : 1.0;
            const double zfar = v.back > znear ? v.back : znear * 100;
            cameras_.push_back("{\"type\":\"perspective\",\"perspective\":{\"aspectRatio\":" +
                               num(w / h) + ",\"yfov\":" + num(yfov) + ",\"znear\":" + num(znear) +
                               ",\"zfar\":" + num(zfar) + "}}");
            n.camera = int(cameras_.size() - 1);
        }
    }
    nodeOf_.emplace(frame, index);
    nodeOfSerial_.emplace(rm::objectSerial(frame), index);
    addVisuals(frame, index, depth);
    for (IDirect3DRMFrame* child : rm::frameChildren(frame)) {
        if (depth > 1000) break;
        const int c = addFrame(child, depth + 1);
        nodes_[index].children.push_back(c);
    }
    return index;
}

void GltfWriter::addVisuals(IDirect3DRMFrame* frame, int node, int depth) {
    rm::MeshBuilderData scratch;
    for (IDirect3DRMVisual* visual : rm::frameVisuals(frame)) {
        if (leftOut(scene_, visual)) continue;
        if (IDirect3DRMFrame* f = rm::visualAsFrame(visual)) {
            // A frame shown as a visual: a copy of its tree here.
            if (depth < 64) {
                const int c = addFrame(f, depth + 1);
                nodes_[node].children.push_back(c);
            }
            continue;
        }
        const rm::MeshBuilderData* d = geometryOf(visual, scratch);
        if (!d || d->faces.empty()) continue;
        if (d->skin) {
            skinned_.push_back({d, visual, node, frame});
            continue;
        }
        int mesh;
        auto found = meshOf_.find(visual);
        if (found != meshOf_.end()) {
            mesh = found->second;
        } else {
            mesh = meshFor(visual, *d, nullptr, nullptr);
            if (d != &scratch) meshOf_.emplace(visual, mesh);
        }
        if (mesh >= 0) attach(node, &Node::mesh, mesh);
    }
    for (IDirect3DRMLight* light : rm::frameLights(frame)) {
        const int l = lightFor(light);
        if (l >= 0) attach(node, &Node::light, l);
    }
}

int GltfWriter::lightFor(IDirect3DRMLight* light) {
    const rm::LightData& l = rm::lightData(light);
    const std::string colour = "[" + num(D3DRMColorGetRed(l.color)) + "," +
                               num(D3DRMColorGetGreen(l.color)) + "," +
                               num(D3DRMColorGetBlue(l.color)) + "]";
    std::string s = "{\"color\":" + colour + ",\"intensity\":1";
    switch (l.type) {
        case D3DRMLIGHT_DIRECTIONAL:
            s += ",\"type\":\"directional\"";
            break;
        case D3DRMLIGHT_POINT:
        case D3DRMLIGHT_PARALLELPOINT:
            s += ",\"type\":\"point\"";
            if (l.range > 0) s += ",\"range\":" + num(l.range);
            break;
        case D3DRMLIGHT_SPOT: {
            // Full cone angles here, half angles there.
            const double pi2 = 1.5707963;
            double outer = std::clamp(double(std::max(l.umbra, l.penumbra)) / 2, 1e-4, pi2);
            double inner =
                std::clamp(double(std::min(l.umbra, l.penumbra)) / 2, 0.0, outer * 0.999);
            s += ",\"type\":\"spot\",\"spot\":{\"innerConeAngle\":" + num(inner) +
                 ",\"outerConeAngle\":" + num(outer) + "}";
            if (l.range > 0) s += ",\"range\":" + num(l.range);
            break;
        }
        default:
            return -1;  // ambient light has no glTF counterpart
    }
    lights_.push_back(s + "}");
    return int(lights_.size() - 1);
}

int GltfWriter::textureFor(IDirect3DRMTexture* texture) {
    auto found = textureOf_.find(texture);
    if (found != textureOf_.end()) return found->second;
    const rm::TextureData& t = rm::textureData(texture);
    int index = -1;
    if (t.width > 0 && t.height > 0) {
        imageTextures_.push_back(texture);
        textures_.push_back(
            "{\"sampler\":0,\"source\":" + std::to_string(imageTextures_.size() - 1) + "}");
        index = int(textures_.size() - 1);
    }
    textureOf_.emplace(texture, index);
    return index;
}

int GltfWriter::materialFor(const rm::MeshBuilderData& d, const rm::FaceLook& f,
                            bool vertexColours, bool translucentVertices) {
    const rm::MaterialData m =
        f.material < d.materials.size() ? d.materials[f.material] : rm::MaterialData{};
    IDirect3DRMTexture* texture = f.texture < d.textures.size() ? d.textures[f.texture] : nullptr;
    const int tex = texture ? textureFor(texture) : -1;
    float colour[4] = {D3DRMColorGetRed(f.color), D3DRMColorGetGreen(f.color),
                       D3DRMColorGetBlue(f.color), D3DRMColorGetAlpha(f.color)};
    // A picture replaces the colour (keeping its alpha); vertex colours replace it too.
    if (tex >= 0 || vertexColours) colour[0] = colour[1] = colour[2] = 1;
    if (vertexColours) colour[3] = 1;
    const bool blend = colour[3] < 1 || translucentVertices;
    const double roughness = std::clamp(std::sqrt(2.0 / (std::max(0.0f, m.power) + 2.0)), 0.0, 1.0);
    std::string s = "{\"pbrMetallicRoughness\":{\"baseColorFactor\":" + list(colour, 4);
    if (tex >= 0) s += ",\"baseColorTexture\":{\"index\":" + std::to_string(tex) + "}";
    s += ",\"metallicFactor\":0,\"roughnessFactor\":" + num(roughness) + "}";
    float emissive[3] = {std::clamp(m.emissive[0], 0.0f, 1.0f),
                         std::clamp(m.emissive[1], 0.0f, 1.0f),
                         std::clamp(m.emissive[2], 0.0f, 1.0f)};
    if (emissive[0] > 0 || emissive[1] > 0 || emissive[2] > 0)
        s += ",\"emissiveFactor\":" + list(emissive, 3);
    if (blend) s += ",\"alphaMode\":\"BLEND\"";
    s += "}";
    auto found = materialOf_.find(s);
    if (found != materialOf_.end()) return found->second;
    materials_.push_back(s);
    materialOf_.emplace(s, int(materials_.size() - 1));
    return int(materials_.size() - 1);
}

int GltfWriter::meshFor(IDirect3DRMVisual* visual, const rm::MeshBuilderData& d,
                        const std::vector<uint16_t>* joints, const std::vector<float>* weights) {
    const bool vertexColours =
        d.colorSource == D3DRMCOLOR_FROMVERTEX && d.vertexColors.size() == d.positions.size();
    bool translucentVertices = false;
    if (vertexColours)
        for (D3DCOLOR c : d.vertexColors)
            translucentVertices = translucentVertices || (c >> 24) != 0xff;
    const bool haveUv = d.texCoords.size() == d.positions.size();

    // The triangles by material, each list made at its final size (a big mesh's lists then
    // do not grow step by step, each step in fresh memory the system must clear): the
    // indices each look's faces bring, and where the faces of each look go. Whether any
    // face is textured is read off the looks the faces use.
    std::vector<size_t> lookIndices(d.looks.size(), 0);
    std::vector<bool> lookUsed(d.looks.size(), false);
    for (const rm::BuilderFace& f : d.faces) {
        lookUsed[f.look] = true;
        if (f.cornerCount < 3) continue;
        lookIndices[f.look] += 3 * size_t(f.cornerCount - 2);
    }
    std::map<int, std::vector<uint32_t>> triangles;
    std::map<int, size_t> wanted;  // by material: the indices of the looks met so far
    std::vector<std::vector<uint32_t>*> lookList(d.looks.size(), nullptr);
    std::vector<uint32_t> source;  // builder position of each vertex written
    std::vector<float> normals;
    rm::reserveOnHugePages(source, d.positions.size());
    rm::reserveOnHugePages(normals, 3 * d.positions.size());
    std::vector<uint32_t> polygon;
    size_t done = 0;
    // Given back once the faces are read, before the arrays of the buffer are made.
    std::optional<CornerTable> remapping(std::in_place, d.positions.size(), d.normals.size());
    CornerTable& remap = *remapping;
    for (size_t fi = 0; fi < d.faces.size(); ++fi) {
        const rm::BuilderFace& f = d.faces[fi];
        if (++done == 65536) {
            if (progress_) progress_->advance(done);
            done = 0;
        }
        if (!usableFace(d, f)) continue;
        bool faceNormalMade = false;
        D3DVECTOR fn{};
        polygon.clear();
        for (uint32_t c = 0; c < f.cornerCount; ++c) {
            const rm::FaceCorner corner = d.corners[f.firstCorner + c];
            D3DVECTOR n{};
            bool own = corner.normal < d.normals.size();
            if (own) {
                n = d.normals[corner.normal];
                own = rm::normalize(n) && std::isfinite(n.x + n.y + n.z);
            }
            const uint32_t normal = own ? corner.normal : 0x80000000u | uint32_t(fi & 0x7fffffff);
            const auto [index, inserted] = remap.emplace(corner.vertex, normal, uint32_t(source.size()));
            if (inserted) {
                if (!own) {
                    if (!faceNormalMade) fn = faceNormal(d, f), faceNormalMade = true;
                    n = fn;
                }
                source.push_back(corner.vertex);
                normals.insert(normals.end(), {n.x, n.y, -n.z});
            }
            polygon.push_back(index);
        }
        if (!lookList[f.look]) {
            // The material text is made once for each look a face uses.
            const int material = materialFor(d, d.lookOf(f), vertexColours, translucentVertices);
            lookList[f.look] = &triangles[material];
            rm::reserveOnHugePages(triangles[material], wanted[material] += lookIndices[f.look]);
        }
        auto& list = *lookList[f.look];
        // Mirrored, the clockwise front becomes the counter-clockwise one glTF wants.
        for (size_t i = 1; i + 1 < polygon.size(); ++i)
            list.insert(list.end(), {polygon[0], polygon[i + 1], polygon[i]});
    }
    if (progress_) progress_->advance(done);
    remapping.reset();
    if (triangles.empty() || source.empty()) return -1;

    // Texture coordinates where the mesh has them or a face is textured.
    bool anyTexture = false;
    for (uint32_t i = 0; i < d.looks.size(); ++i)
        anyTexture = anyTexture || (lookUsed[i] && d.looks[i].texture && d.looks[i].texture < d.textures.size());
    const bool withUv = haveUv || anyTexture;
    std::vector<float> positions;
    positions.reserve(source.size() * 3);
    for (uint32_t v : source) {
        const D3DVECTOR& p = d.positions[v];
        positions.insert(positions.end(), {finite(p.x), finite(p.y), -finite(p.z)});
    }
    std::string attributes =
        "\"POSITION\":" + std::to_string(floats(std::move(positions), 3, "VEC3", 34962, true));
    attributes +=
        ",\"NORMAL\":" + std::to_string(floats(std::move(normals), 3, "VEC3", 34962, false));
    if (withUv) {
        std::vector<float> uv;
        uv.reserve(source.size() * 2);
        for (uint32_t v : source) {
            const rm::TexCoord t = haveUv ? d.texCoords[v] : rm::TexCoord{};
            uv.insert(uv.end(), {finite(t.u), finite(t.v)});
        }
        attributes +=
            ",\"TEXCOORD_0\":" + std::to_string(floats(std::move(uv), 2, "VEC2", 34962, false));
    }
    if (vertexColours) {
        std::vector<float> colours;
        colours.reserve(source.size() * 4);
        for (uint32_t v : source) {
            const D3DCOLOR c = d.vertexColors[v];
            colours.insert(colours.end(), {D3DRMColorGetRed(c), D3DRMColorGetGreen(c),
                                           D3DRMColorGetBlue(c), D3DRMColorGetAlpha(c)});
        }
        attributes += ",\"COLOR_0\":" +
                      std::to_string(floats(std::move(colours), 4, "VEC4", 34962, false));
    }
    if (joints && weights) {
        std::vector<uint16_t> j;
        std::vector<float> w;
        j.reserve(source.size() * 4);
        w.reserve(source.size() * 4);
        for (uint32_t v : source) {
            j.insert(j.end(), joints->begin() + size_t(v) * 4, joints->begin() + size_t(v) * 4 + 4);
            w.insert(w.end(), weights->begin() + size_t(v) * 4,
                     weights->begin() + size_t(v) * 4 + 4);
        }
        attributes += ",\"JOINTS_0\":" +
                      std::to_string(addAccessor(std::move(j), source.size(), 5123, "VEC4", 34962));
        attributes +=
            ",\"WEIGHTS_0\":" + std::to_string(floats(std::move(w), 4, "VEC4", 34962, false));
    }
    const bool wide = source.size() >= 65535;
    std::string primitives;
    for (auto& [material, indices] : triangles) {
        int accessor;
        if (wide) {
            const size_t count = indices.size();
            accessor = addAccessor(std::move(indices), count, 5125, "SCALAR", 34963);
        } else {
            std::vector<uint16_t> narrow(indices.begin(), indices.end());
            indices = {};
            const size_t count = narrow.size();
            accessor = addAccessor(std::move(narrow), count, 5123, "SCALAR", 34963);
        }
        primitives += std::string(primitives.empty() ? "" : ",") + "{\"attributes\":{" +
                      attributes + "},\"indices\":" + std::to_string(accessor) +
                      ",\"material\":" + std::to_string(material) + "}";
    }
    const std::string name = objectName(visual);
    meshes_.push_back("{" + (name.empty() ? std::string() : "\"name\":" + quoted(name) + ",") +
                      "\"primitives\":[" + primitives + "]}");
    return int(meshes_.size() - 1);
}

void GltfWriter::addSkin(const PendingSkin& p) {
    const rm::SkinData& skin = *p.data->skin;
    // Written where the rest pose stands in the world (so that readers frame it right);
    // each inverse bind first takes it back to builder space.
    const Matrix toWorld = rm::frameWorldMatrix(p.holder);
    Matrix toBuilder;
    if (!rm::invert(toWorld, toBuilder)) toBuilder = Matrix::identity();
    rm::MeshBuilderData placed = *p.data;
    for (D3DVECTOR& v : placed.positions) v = rm::transformPoint(v, toWorld);
    for (D3DVECTOR& n : placed.normals) {
        // By the inverse transpose, so that normals stay at right angles to the surface.
        const D3DVECTOR a{
            toBuilder.m[0][0] * n.x + toBuilder.m[0][1] * n.y + toBuilder.m[0][2] * n.z,
            toBuilder.m[1][0] * n.x + toBuilder.m[1][1] * n.y + toBuilder.m[1][2] * n.z,
            toBuilder.m[2][0] * n.x + toBuilder.m[2][1] * n.y + toBuilder.m[2][2] * n.z};
        n = a;
    }
    const Matrix restBind = mirrored(toBuilder);
    const bool rootHere =
        !skin.root || skin.root == rm::objectSerial(scene_.root) || nodeOfSerial_.count(skin.root);
    std::vector<int> jointNodes;
    std::vector<Matrix> inverseBinds;
    std::map<int, uint16_t> jointOf;  // by node
    auto joint = [&](int node, const Matrix& inverseBind) {
        auto [it, inserted] = jointOf.emplace(node, uint16_t(jointNodes.size()));
        if (inserted) {
            jointNodes.push_back(node);
            inverseBinds.push_back(inverseBind);
        }
        return it->second;
    };
    // A bone that is gone, and every vertex without weights, stays where the frame that holds
    // the builder puts it: a joint at that frame with no inverse bind.
    std::vector<uint16_t> boneJoint(skin.bones.size());
    for (size_t b = 0; b < skin.bones.size(); ++b) {
        auto found = rootHere ? nodeOfSerial_.find(skin.bones[b].frame) : nodeOfSerial_.end();
        boneJoint[b] =
            found == nodeOfSerial_.end()
                ? joint(p.holderNode, restBind)
                : joint(found->second, mirrored(rm::multiply(toBuilder, skin.bones[b].fromRest)));
        if (jointNodes.size() >= 65535) break;
    }
    const size_t vertices = p.data->positions.size();
    std::vector<uint16_t> joints(vertices * 4, 0);
    std::vector<float> weights(vertices * 4, 0.0f);
    const size_t table = skin.firstInfluence.size() - 1;
    std::vector<std::pair<float, uint16_t>> mine;
    for (size_t v = 0; v < vertices; ++v) {
        mine.clear();
        if (v < table)
            for (uint32_t i = skin.firstInfluence[v];
                 i < skin.firstInfluence[v + 1] && i < skin.influences.size(); ++i) {
                const auto& in = skin.influences[i];
                if (in.bone >= boneJoint.size() || !(in.weight > 0) || !std::isfinite(in.weight))
                    continue;
                const uint16_t j = boneJoint[in.bone];
                auto same = std::find_if(mine.begin(), mine.end(),
                                         [&](const auto& e) { return e.second == j; });
                if (same != mine.end())
                    same->first += in.weight;
                else
                    mine.push_back({in.weight, j});
            }
        std::sort(mine.begin(), mine.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        if (mine.size() > 4) mine.resize(4);
        float sum = 0;
        for (const auto& e : mine) sum += e.first;
        if (!(sum > 0)) {
            mine.assign(1, {1.0f, joint(p.holderNode, restBind)});
            sum = 1;
        }
        for (size_t k = 0; k < mine.size(); ++k) {
            joints[v * 4 + k] = mine[k].second;
            weights[v * 4 + k] = mine[k].first / sum;
        }
    }
    const int mesh = meshFor(p.visual, placed, &joints, &weights);
    if (mesh < 0) return;
    std::vector<float> binds;
    for (const Matrix& m : inverseBinds)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                binds.push_back(c == 3 ? (r == 3 ? 1.0f : 0.0f) : finite(m.m[r][c]));
    const int accessor = floats(std::move(binds), 16, "MAT4", 0, false);
    skins_.push_back("{\"inverseBindMatrices\":" + std::to_string(accessor) +
                     ",\"joints\":" + indexList(jointNodes) + "}");
    Node n;
    n.name = objectName(p.visual);
    n.mesh = mesh;
    n.skin = int(skins_.size() - 1);
    nodes_.push_back(n);
    roots_.push_back(int(nodes_.size() - 1));
}

void GltfWriter::addAnimation(const ExportAnimationSet& set) {
    const double perTick = secondsPerTick(set);
    std::vector<rm::AnimationTracks> tracks;
    std::vector<IDirect3DRMAnimation*> animations;
    double first = INFINITY;
    for (IDirect3DRMAnimation* a : rm::animationSetAnimations(set.set)) {
        rm::AnimationTracks t;
        if (!rm::animationTracks(a, t) || !t.frame || !nodeOf_.count(t.frame)) continue;
        animations.push_back(a);
        auto earliest = [&](const auto& keys) {
            if (!keys.empty()) first = std::min(first, double(keys.front().first));
        };
        earliest(t.rotations), earliest(t.positions), earliest(t.scales), earliest(t.matrices);
        tracks.push_back(std::move(t));
    }
    // glTF times start at 0 at the earliest.
    const double shift = first < 0 ? -first : 0;
    std::string channels, samplers;
    int samplerCount = 0;
    std::set<std::pair<int, std::string>> targets;
    auto channel = [&](int node, const char* path, std::vector<double> times,
                       std::vector<float> values, int width, const char* type) {
        if (times.empty() || !targets.insert({node, path}).second) return;
        // Strictly increasing times as glTF stores them.
        std::vector<float> t;
        std::vector<float> v;
        for (size_t i = 0; i < times.size(); ++i) {
            const float seconds = float((times[i] + shift) * perTick);
            if (!t.empty() && !(seconds > t.back())) continue;
            t.push_back(seconds);
            v.insert(v.end(), values.begin() + i * width, values.begin() + (i + 1) * width);
        }
        const int input = floats(std::move(t), 1, "SCALAR", 0, true);
        const int output = floats(std::move(v), width, type, 0, false);
        samplers += std::string(samplerCount ? "," : "") + "{\"input\":" + std::to_string(input) +
                    ",\"output\":" + std::to_string(output) + ",\"interpolation\":\"LINEAR\"}";
        channels +=
            std::string(samplerCount ? "," : "") + "{\"sampler\":" + std::to_string(samplerCount) +
            ",\"target\":{\"node\":" + std::to_string(node) + ",\"path\":\"" + path + "\"}}";
        ++samplerCount;
    };
    for (size_t ti = 0; ti < tracks.size(); ++ti) {
        const auto& t = tracks[ti];
        const int node = nodeOf_[t.frame];
        std::vector<double> times;
        std::vector<float> r, p, s;
        if (!t.matrices.empty()) {
            // Matrix keys replace everything else; each becomes a key of each channel.
            float last[4] = {0, 0, 0, 1};
            for (const auto& [time, m] : t.matrices) {
                Trs trs;
                decompose(mirrored(m), trs);
                if (trs.r[0] * last[0] + trs.r[1] * last[1] + trs.r[2] * last[2] +
                        trs.r[3] * last[3] <
                    0)
                    for (float& c : trs.r) c = -c;
                std::copy(trs.r, trs.r + 4, last);
                times.push_back(time);
                r.insert(r.end(), trs.r, trs.r + 4);
                p.insert(p.end(), trs.t, trs.t + 3);
                s.insert(s.end(), trs.s, trs.s + 3);
            }
            channel(node, "rotation", times, r, 4, "VEC4");
            channel(node, "translation", times, p, 3, "VEC3");
            channel(node, "scale", times, s, 3, "VEC3");
            continue;
        }
        float last[4] = {0, 0, 0, 1};
        for (const auto& [time, q] : t.rotations) {
            float g[4];
            rotationQuaternion(q, g);
            if (g[0] * last[0] + g[1] * last[1] + g[2] * last[2] + g[3] * last[3] < 0)
                for (float& c : g) c = -c;
            std::copy(g, g + 4, last);
            times.push_back(time);
            r.insert(r.end(), g, g + 4);
        }
        channel(node, "rotation", times, r, 4, "VEC4");
        times.clear();
        // A spline path is drawn through its keys by the player; glTF's cubic splines are
        // another kind, so the path goes as straight pieces, eight to each step.
        const bool spline = (t.options & D3DRMANIMATION_SPLINEPOSITION) && t.positions.size() > 2;
        for (size_t k = 0; k < t.positions.size(); ++k) {
            const int pieces = spline && k + 1 < t.positions.size() ? 8 : 1;
            for (int i = 0; i < pieces; ++i) {
                const D3DVALUE time =
                    t.positions[k].first +
                    (k + 1 < t.positions.size()
                         ? (t.positions[k + 1].first - t.positions[k].first) * i / pieces
                         : 0);
                D3DVECTOR v = t.positions[k].second;
                Matrix at;
                if (i > 0 &&
                    rm::animationSample(animations[ti], time, rm::frameLocalMatrix(t.frame), at))
                    v = {at.m[3][0], at.m[3][1], at.m[3][2]};
                times.push_back(time);
                p.insert(p.end(), {finite(v.x), finite(v.y), -finite(v.z)});
            }
        }
        channel(node, "translation", times, p, 3, "VEC3");
        times.clear();
        for (const auto& [time, v] : t.scales) {
            times.push_back(time);
            s.insert(s.end(), {finite(v.x), finite(v.y), finite(v.z)});
        }
        channel(node, "scale", times, s, 3, "VEC3");
    }
    if (!samplerCount) return;
    animations_.push_back(
        "{" + (set.name.empty() ? std::string() : "\"name\":" + quoted(set.name) + ",") +
        "\"channels\":[" + channels + "],\"samplers\":[" + samplers + "]}");
}

bool GltfWriter::images(const std::string& path, PendingFiles& files, std::string& error) {
    const size_t dot = path.rfind('.');
    const std::string stem = path.substr(0, dot);
    const size_t slash = stem.rfind('/');
    const std::string stemName = slash == std::string::npos ? stem : stem.substr(slash + 1);
    std::string out;
    for (size_t i = 0; i < imageTextures_.size(); ++i) {
        const rm::TextureData& t = rm::textureData(imageTextures_[i]);
        std::vector<unsigned char> bytes;
        const char* mime = "image/png";
        // PNG and JPEG files go as they are; everything else is made PNG.
        if (!t.sourcePath.empty() && fileBytes(t.sourcePath, bytes) && bytes.size() > 8 &&
            std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0) {
            mime = "image/png";
        } else if (bytes.size() > 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff) {
            mime = "image/jpeg";
        } else if (!encodePng(t, bytes)) {
            error = "a texture cannot be written";
            return false;
        }
        std::string entry;
        if (binary_) {
            const int view = addView(std::move(bytes), 0);
            entry = "{\"bufferView\":" + std::to_string(view) + ",\"mimeType\":\"" + mime + "\"}";
        } else {
            const std::string name =
                uriSafe(stemName) + "_" + std::to_string(i) + (mime[6] == 'p' ? ".png" : ".jpg");
            std::FILE* f = files.create(stem.substr(0, slash + 1) + name, error);
            if (!f) return false;
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            entry = "{\"uri\":" + quoted(name) + "}";
        }
        out += (i ? "," : "") + entry;
    }
    images_ = out;
    return true;
}

size_t countFaces(IDirect3DRMFrame* frame, int depth) {
    size_t n = 0;
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame)) {
        if (const rm::MeshBuilderData* d = rm::meshBuilderData(v)) n += d->faces.size();
        if (const rm::MeshData* m = rm::meshData(v))
            for (const auto& g : m->groups) n += g.faceSizes.size();
    }
    if (depth < 1000)
        for (IDirect3DRMFrame* c : rm::frameChildren(frame)) n += countFaces(c, depth + 1);
    return n;
}

std::string nodeJson(const Node& n) {
    std::string s = "{";
    auto field = [&](const std::string& f) { s += (s.size() > 1 ? "," : "") + f; };
    if (!n.name.empty()) field("\"name\":" + quoted(n.name));
    if (!n.children.empty()) field("\"children\":" + indexList(n.children));
    if (n.mesh >= 0) field("\"mesh\":" + std::to_string(n.mesh));
    if (n.skin >= 0) field("\"skin\":" + std::to_string(n.skin));
    if (n.camera >= 0) field("\"camera\":" + std::to_string(n.camera));
    if (n.light >= 0)
        field("\"extensions\":{\"KHR_lights_punctual\":{\"light\":" + std::to_string(n.light) +
              "}}");
    if (n.useMatrix) {
        float m[16];
        for (int i = 0; i < 16; ++i) m[i] = finite(n.matrix.m[i / 4][i % 4]);
        field("\"matrix\":" + list(m, 16));
    } else {
        const Trs& t = n.trs;
        if (t.t[0] != 0 || t.t[1] != 0 || t.t[2] != 0) field("\"translation\":" + list(t.t, 3));
        if (t.r[0] != 0 || t.r[1] != 0 || t.r[2] != 0 || t.r[3] != 1)
            field("\"rotation\":" + list(t.r, 4));
        if (t.s[0] != 1 || t.s[1] != 1 || t.s[2] != 1) field("\"scale\":" + list(t.s, 3));
    }
    return s + "}";
}

std::string array(const char* name, const std::vector<std::string>& items) {
    if (items.empty()) return {};
    std::string s = std::string(",\"") + name + "\":[";
    for (size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + items[i];
    return s + "]";
}

std::string GltfWriter::json(const std::string& binUri) const {
    std::string s = "{\"asset\":{\"version\":\"2.0\",\"generator\":\"SolluxViewer\"}";
    if (!lights_.empty()) {
        s += ",\"extensionsUsed\":[\"KHR_lights_punctual\"]";
        s += ",\"extensions\":{\"KHR_lights_punctual\":{\"lights\":[";
        for (size_t i = 0; i < lights_.size(); ++i) s += (i ? "," : "") + lights_[i];
        s += "]}}";
    }
    s += ",\"scene\":0,\"scenes\":[{\"nodes\":" + indexList(roots_) + "}]";
    std::vector<std::string> nodes;
    for (const Node& n : nodes_) nodes.push_back(nodeJson(n));
    s += array("nodes", nodes);
    s += array("meshes", meshes_);
    s += array("materials", materials_);
    if (!textures_.empty()) {
        s += array("textures", textures_);
        s += ",\"samplers\":[{\"magFilter\":9729,\"minFilter\":9987,\"wrapS\":10497,\"wrapT\":"
             "10497}]";
        s += ",\"images\":[" + images_ + "]";
    }
    s += array("skins", skins_);
    s += array("animations", animations_);
    s += array("cameras", cameras_);
    s += array("accessors", accessors_);
    s += array("bufferViews", views_);
    if (!bin_.empty()) {
        s += ",\"buffers\":[{\"byteLength\":" + std::to_string(bin_.paddedSize());
        if (!binUri.empty()) s += ",\"uri\":" + quoted(binUri);
        s += "}]";
    }
    return s + "}";
}

bool GltfWriter::write(const std::string& path, PendingFiles& files, std::string& error) {
    for (const auto& set : scene_.animationSets)
        for (IDirect3DRMAnimation* a : rm::animationSetAnimations(set.set)) {
            rm::AnimationTracks t;
            if (rm::animationTracks(a, t) && t.frame) animated_.insert(t.frame);
        }
    progress_ = std::make_unique<Progress>(scene_.progress, "export", countFaces(scene_.root, 0));
    // The root stands for the world: one node, so that every joint shares it.
    Node root;
    root.name = objectName(scene_.root);
    if (root.name.empty()) root.name = "Scene";
    nodes_.push_back(root);
    roots_.push_back(0);
    nodeOf_.emplace(scene_.root, 0);
    nodeOfSerial_.emplace(rm::objectSerial(scene_.root), 0);
    addVisuals(scene_.root, 0, 0);
    for (IDirect3DRMFrame* child : rm::frameChildren(scene_.root)) {
        const int c = addFrame(child, 1);
        nodes_[0].children.push_back(c);
    }
    for (const PendingSkin& p : skinned_) addSkin(p);
    for (const auto& set : scene_.animationSets) addAnimation(set);
    progress_->finish();
    if (!images(path, files, error)) return false;
    if (binary_) {
        std::string text = json({});
        while (text.size() % 4) text += ' ';
        const uint64_t total = 12 + 8 + text.size() + (bin_.empty() ? 0 : 8 + bin_.paddedSize());
        if (total > UINT32_MAX) {
            error = "the model is too big for a .glb file (4 GiB); write .gltf instead";
            return false;
        }
        std::FILE* out = files.create(path, error);
        if (!out) return false;
        auto u32 = [&](uint32_t v) {
            std::fwrite(&v, 4, 1, out);
        };  // glb is little-endian, as we are
        u32(0x46546C67);
        u32(2);
        u32(uint32_t(total));
        u32(uint32_t(text.size()));
        u32(0x4E4F534A);
        std::fwrite(text.data(), 1, text.size(), out);
        if (!bin_.empty()) {
            u32(uint32_t(bin_.paddedSize()));
            u32(0x004E4942);
            bin_.write(out);
        }
        return true;
    }
    std::string binUri;
    if (!bin_.empty()) {
        const size_t dot = path.rfind('.');
        const std::string binPath = path.substr(0, dot) + ".bin";
        const size_t slash = binPath.rfind('/');
        binUri = uriSafe(slash == std::string::npos ? binPath : binPath.substr(slash + 1));
        std::FILE* bin = files.create(binPath.substr(0, slash + 1) + binUri, error);
        if (!bin) return false;
        bin_.write(bin);
    }
    std::FILE* out = files.create(path, error);
    if (!out) return false;
    const std::string text = json(binUri);
    std::fwrite(text.data(), 1, text.size(), out);
    return true;
}

}  // namespace

bool writeGltf(const ExportScene& scene, const std::string& path, bool binary, PendingFiles& files,
               std::string& error) {
    GltfWriter writer(scene, binary);
    return writer.write(path, files, error);
}

}  // namespace exporting
