// Read access to retained-mode objects for the drawing layer, the writers of export/ and
// tests (what every caller may use is in rm_extras.h).
//
// The objects behind the d3drm.h interfaces keep their state in the plain structures
// below; the accessors hand out references to that live state (valid while the object
// lives and is not changed). Everything here is single-threaded, like the objects.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/rm/cost_account.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_extras.h"
#include "platform/rm/texture_image.h"

namespace xfile {
struct File;
}

namespace rm {

struct Matrix {
    D3DVALUE m[4][4];  // [row][column], row vectors, translation in row 3
    static Matrix identity();
};

struct MaterialData {
    D3DVALUE power = 0;
    D3DVALUE specular[3] = {0, 0, 0};
    D3DVALUE emissive[3] = {0, 0, 0};
};

struct TexCoord {
    D3DVALUE u = 0;
    D3DVALUE v = 0;
};

// One corner of a mesh-builder face: indices into positions and normals.
struct FaceCorner {
    uint32_t vertex;
    uint32_t normal;  // kNoNormal: use the face normal
};
inline constexpr uint32_t kNoNormal = 0xffffffffu;

// A builder's face corners. Big meshes mostly come without normals of their own, so the
// corners' normals are held only from the first one that is given: until then every
// corner's is kNoNormal, and the list costs four bytes a corner instead of eight.
class CornerList {
public:
    size_t size() const { return vertices_.size(); }
    bool empty() const { return vertices_.empty(); }
    FaceCorner operator[](size_t i) const { return {vertices_[i], withNormals_ ? normals_[i] : kNoNormal}; }
    uint32_t vertex(size_t i) const { return vertices_[i]; }
    const uint32_t* vertices() const { return vertices_.data(); }

    void push_back(FaceCorner c) {
        if (c.normal != kNoNormal && !withNormals_) holdNormals();
        vertices_.push_back(c.vertex);
        if (withNormals_) normals_.push_back(c.normal);
    }
    void setNormal(size_t i, uint32_t normal) {
        if (normal == kNoNormal && !withNormals_) return;
        if (!withNormals_) holdNormals();
        normals_[i] = normal;
    }
    // Holds a normal for every corner from now on (kNoNormal until set), so that corners
    // can then be set from several threads at once.
    void holdAllNormals() {
        if (!withNormals_) holdNormals();
    }
    void clearNormals() {
        normals_ = {};
        withNormals_ = false;
    }
    // Takes a whole list of corners' positions (the list must be empty), normals none.
    void adoptVertices(std::vector<uint32_t>&& vertices) {
        vertices_ = std::move(vertices);
        clearNormals();
    }
    // Room for n corners in all (on huge pages where that helps), their normals too when
    // withNormals.
    void reserve(size_t n, bool withNormals);

private:
    void holdNormals();
    std::vector<uint32_t> vertices_;
    std::vector<uint32_t> normals_;  // one per corner when withNormals_, else none
    bool withNormals_ = false;
};

// How a face is drawn. A big mesh has millions of faces but few looks: its faces name
// theirs in a table that holds each one once.
struct FaceLook {
    D3DCOLOR color = 0xffffffffu;  // 0xAARRGGBB
    uint32_t material = 0;         // index into MeshBuilderData::materials (0: the default)
    uint32_t texture = 0;          // index into MeshBuilderData::textures (0: untextured)
    bool operator==(const FaceLook&) const = default;
};

class FaceLooks {
public:
    const FaceLook& operator[](uint32_t i) const { return list_[i]; }
    size_t size() const { return list_.size(); }
    // The index of look, added when no face had it yet. Index 0 is the default look.
    uint32_t indexOf(const FaceLook& look);

private:
    struct Hash {
        size_t operator()(const FaceLook& l) const {
            return std::hash<uint64_t>()(uint64_t(l.color) << 32 ^ uint64_t(l.material) << 16 ^ l.texture);
        }
    };
    std::vector<FaceLook> list_{FaceLook{}};
    std::unordered_map<FaceLook, uint32_t, Hash> index_{{FaceLook{}, 0}};
};

struct BuilderFace {
    uint32_t firstCorner;  // into MeshBuilderData::corners
    uint32_t cornerCount;  // >= 3 for faces that are drawn
    uint32_t look = 0;     // into MeshBuilderData::looks
};

// Vertices that follow bones (frames): each vertex with influences is placed by the
// blend of its bones' matrices, weighted; the others stay where the builder has them.
// The builder's own positions and normals are the rest pose, where every bone matrix is
// the identity.
struct SkinData {
    struct Bone {
        uint64_t frame = 0;  // objectSerial of the bone's frame; 0 (or gone): stays at rest
        // Builder space -> the bone's space at rest, measured from `root`.
        Matrix fromRest;
    };
    struct Influence {
        uint32_t bone;
        float weight;
    };
    std::vector<Bone> bones;
    // Vertex v's influences are influences[firstInfluence[v] .. firstInfluence[v + 1]);
    // vertices past the end of the table have none.
    std::vector<uint32_t> firstInfluence{0};
    std::vector<Influence> influences;
    uint64_t root = 0;  // objectSerial of the frame bones are measured from; 0: the world
    Matrix toBuilder;   // the root's space -> builder space at rest
};

// A mesh builder's whole state. Faces are clockwise (as seen) at the front.
struct MeshBuilderData {
    std::vector<D3DVECTOR> positions;
    std::vector<D3DVECTOR> normals;
    std::vector<TexCoord> texCoords;     // one per position, or none (every one at 0, 0)
    std::vector<D3DCOLOR> vertexColors;  // one per position (used with D3DRMCOLOR_FROMVERTEX)
    CornerList corners;
    std::vector<BuilderFace> faces;
    FaceLooks looks;
    const FaceLook& lookOf(const BuilderFace& f) const { return looks[f.look]; }
    const FaceLook& lookOf(size_t face) const { return looks[faces[face].look]; }
    std::vector<MaterialData> materials{MaterialData{}};
    std::vector<IDirect3DRMTexture*> textures{nullptr};  // holds a reference to each
    D3DRMRENDERQUALITY quality = D3DRMRENDER_GOURAUD;
    D3DRMCOLORSOURCE colorSource = D3DRMCOLOR_FROMFACE;
    BOOL perspective = FALSE;
    std::shared_ptr<const SkinData> skin;  // null: rigid
    // Bumped on every change of geometry or attributes: re-upload when it differs.
    uint64_t version = 1;
};

// A face's unit normal by Newell's method (robust where its first corners are collinear),
// toward a viewer who sees the corners clockwise; zero for a degenerate face.
D3DVECTOR faceNormalOf(const MeshBuilderData& d, const BuilderFace& f);

struct MeshGroupData {
    std::vector<D3DRMVERTEX> vertices;
    std::vector<uint32_t> indices;    // all faces' vertex indices, in order
    std::vector<uint32_t> faceSizes;  // vertex count of each face
    D3DCOLOR color = 0xffffffffu;
    D3DRMRENDERQUALITY quality = D3DRMRENDER_GOURAUD;
    D3DRMMAPPING mapping = 0;
    MaterialData material;
    IDirect3DRMTexture* texture = nullptr;  // holds a reference
};

// IDirect3DRMMesh state. Meshes ignore the device quality (each group has its own).
struct MeshData {
    std::vector<MeshGroupData> groups;
    uint64_t version = 1;
};

struct LightData {
    D3DRMLIGHTTYPE type = D3DRMLIGHT_POINT;
    D3DCOLOR color = 0xffffffffu;
    D3DVALUE range = 256.0f;
    D3DVALUE umbra = 0.4f;     // full cone angles, radians
    D3DVALUE penumbra = 0.5f;
    D3DVALUE constantAttenuation = 1.0f;
    D3DVALUE linearAttenuation = 0.0f;
    D3DVALUE quadraticAttenuation = 0.0f;
    IDirect3DRMFrame* enableFrame = nullptr;  // not a reference; null: whole scene
};

struct TextureData {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgba;  // width * height * 4, rows top-down
    DWORD colors = 8;
    DWORD shades = 16;
    uint64_t version = 1;
    std::string sourcePath;  // the picture file it was decoded from; empty when made in memory
};

struct DeviceData {
    D3DRMRENDERQUALITY quality = D3DRMRENDER_FLAT;
    DWORD shades = 32;
    BOOL dither = TRUE;
    D3DRMTEXTUREQUALITY textureQuality = D3DRMTEXTURE_NEAREST;
    D3DCOLORMODEL colorModel = D3DCOLOR_RGB;
    DWORD width = 0;
    DWORD height = 0;
    DWORD bufferCount = 1;
    DWORD wireframeOptions = D3DRMWIREFRAME_CULL | D3DRMWIREFRAME_HIDDENLINE;
    DWORD trianglesDrawn = 0;  // the backend may keep this up to date
};

struct ViewportData {
    IDirect3DRMFrame* camera = nullptr;  // holds a reference
    D3DVALUE front = 1.0f;
    D3DVALUE back = 100.0f;
    D3DVALUE field = 0.5f;
    D3DRMPROJECTIONTYPE projection = D3DRMPROJECT_PERSPECTIVE;
    BOOL uniformScaling = TRUE;
    LONG x = 0;
    LONG y = 0;
    DWORD width = 0;
    DWORD height = 0;
};

// ---- Frames -------------------------------------------------------------------
// The frame's own matrix (relative to its parent).
const Matrix& frameLocalMatrix(IDirect3DRMFrame* frame);
// local x parent x ... x root.
Matrix frameWorldMatrix(IDirect3DRMFrame* frame);
IDirect3DRMFrame* frameParent(IDirect3DRMFrame* frame);  // borrowed; null for a root
std::span<IDirect3DRMLight* const> frameLights(IDirect3DRMFrame* frame);
// The root's background (any frame of the scene may be passed).
D3DCOLOR sceneBackground(IDirect3DRMFrame* frame);

// ---- Animations -----------------------------------------------------------------
// An animation's keys as it holds them: sorted by time, rotations as it plays them.
struct AnimationTracks {
    IDirect3DRMFrame* frame = nullptr;  // borrowed; null: it animates nothing
    D3DRMANIMATIONOPTIONS options = 0;
    std::vector<std::pair<D3DVALUE, D3DRMQUATERNION>> rotations;
    std::vector<std::pair<D3DVALUE, D3DVECTOR>> positions;
    std::vector<std::pair<D3DVALUE, D3DVECTOR>> scales;
    std::vector<std::pair<D3DVALUE, Matrix>> matrices;
};
// False when `animation` is not one of ours.
bool animationTracks(IDirect3DRMAnimation* animation, AnimationTracks& out);
// The local matrix the animation gives its frame at `time` when the frame's matrix is
// `current` now (false without keys or for an animation not of ours).
bool animationSample(IDirect3DRMAnimation* animation, D3DVALUE time, const Matrix& current, Matrix& out);
// The set's animations, borrowed (empty when `set` is not one of ours).
std::vector<IDirect3DRMAnimation*> animationSetAnimations(IDirect3DRMAnimationSet* set);

// ---- Visuals ------------------------------------------------------------------
// Null when the visual is not of that kind.
IDirect3DRMFrame* visualAsFrame(IDirect3DRMVisual* visual);
const MeshBuilderData* meshBuilderData(IDirect3DRMVisual* visual);
// The same data, for a reader of neither normals nor the corners' normal indices (flat
// drawing): a mesh just loaded may not have made those it lacked yet.
const MeshBuilderData* meshBuilderShape(IDirect3DRMVisual* visual);

// Where a skinned builder's geometry is now that its bones have moved.
struct SkinPose {
    std::vector<D3DVECTOR> positions;      // one per builder position
    std::vector<D3DVECTOR> cornerNormals;  // one per builder corner (kNoNormal corners: zero)
    uint64_t version = 0;                  // changes whenever the pose does
};
// Null when the builder is rigid or its bones are where they were at rest: then draw its
// own data. Recomputed only when a bone or the builder changed since the last call.
const SkinPose* meshBuilderPose(IDirect3DRMVisual* visual);
const MeshData* meshData(IDirect3DRMVisual* visual);

const LightData& lightData(IDirect3DRMLight* light);
const TextureData& textureData(IDirect3DRMTexture* texture);
// Stable for the object's life and never reused: a key for caches of GPU objects.
uint64_t objectSerial(IUnknown* object);

// ---- Texture files -------------------------------------------------------------
// While one lives, the pictures a load decodes are charged to `account` (Cost::
// TexturePixels), each picture file once whatever it is called; once the account is over,
// no new picture is decoded.
class TexturePixelCharge {
public:
    explicit TexturePixelCharge(CostAccount& account);
    ~TexturePixelCharge();
    TexturePixelCharge(const TexturePixelCharge&) = delete;
    TexturePixelCharge& operator=(const TexturePixelCharge&) = delete;

private:
    CostAccount* previous_;
};

// ---- Devices and viewports ----------------------------------------------------
const DeviceData& deviceData(IDirect3DRMDevice* device);
DeviceData& mutableDeviceData(IDirect3DRMDevice* device);  // for the backend's counters
const ViewportData& viewportData(IDirect3DRMViewport* viewport);

// World -> camera space (the inverse of the camera's world matrix).
Matrix viewMatrix(const ViewportData& viewport);
// Camera space -> clip space, row vectors: [x y z 1] x P = [X Y Z W] with X/W and
// Y/W in -1..1 across the viewport (y up) and Z/W from 0 at front to 1 at back.
Matrix projectionMatrix(const ViewportData& viewport);

}  // namespace rm
