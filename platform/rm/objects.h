// The objects behind the retained-mode interfaces (private to platform/rm).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/object_base.h"
#include "platform/rm/render_backend.h"
#include "platform/rm/rm_internal.h"
#include "platform/rm/rm_math.h"

namespace xfile {
struct File;
}

namespace rm {

class Frame;
class MeshBuilder;
class Texture;

using MoveCallback = std::pair<D3DRMFRAMEMOVECALLBACK, void*>;

class Frame final : public RmObject<IDirect3DRMFrame> {
public:
    Frame();
    const char* className() const override { return "Frame"; }

    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;

    HRESULT AddChild(IDirect3DRMFrame* child) override;
    HRESULT AddLight(IDirect3DRMLight* light) override;
    HRESULT AddMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) override;
    HRESULT AddTransform(D3DRMCOMBINETYPE type, D3DRMMATRIX4D matrix) override;
    HRESULT AddTranslation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT AddScale(D3DRMCOMBINETYPE type, D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) override;
    HRESULT AddRotation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z, D3DVALUE theta) override;
    HRESULT AddVisual(IDirect3DRMVisual* visual) override;
    HRESULT GetChildren(IDirect3DRMFrameArray** children) override;
    D3DCOLOR GetColor() override { return color_; }
    HRESULT GetLights(IDirect3DRMLightArray** lights) override;
    D3DRMMATERIALMODE GetMaterialMode() override { return materialMode_; }
    HRESULT GetParent(IDirect3DRMFrame** parent) override;
    HRESULT GetPosition(IDirect3DRMFrame* reference, D3DVECTOR* position) override;
    HRESULT GetRotation(IDirect3DRMFrame* reference, D3DVECTOR* axis, D3DVALUE* theta) override;
    HRESULT GetScene(IDirect3DRMFrame** scene) override;
    HRESULT GetTransform(D3DRMMATRIX4D matrix) override;
    HRESULT GetVelocity(IDirect3DRMFrame* reference, D3DVECTOR* velocity, BOOL with_rotation) override;
    HRESULT GetOrientation(IDirect3DRMFrame* reference, D3DVECTOR* dir, D3DVECTOR* up) override;
    HRESULT GetVisuals(IDirect3DRMVisualArray** visuals) override;
    HRESULT InverseTransform(D3DVECTOR* dst, D3DVECTOR* src) override;
    HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback,
                 void* arg) override;
    HRESULT LookAt(IDirect3DRMFrame* target, IDirect3DRMFrame* reference, D3DRMFRAMECONSTRAINT constraint) override;
    HRESULT Move(D3DVALUE delta) override;
    HRESULT DeleteChild(IDirect3DRMFrame* child) override;
    HRESULT DeleteLight(IDirect3DRMLight* light) override;
    HRESULT DeleteMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) override;
    HRESULT DeleteVisual(IDirect3DRMVisual* visual) override;
    D3DCOLOR GetSceneBackground() override;
    HRESULT SetSceneBackground(D3DCOLOR color) override;
    HRESULT SetSceneBackgroundRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetColor(D3DCOLOR color) override;
    HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetMaterialMode(D3DRMMATERIALMODE mode) override;
    HRESULT SetOrientation(IDirect3DRMFrame* reference, D3DVALUE dx, D3DVALUE dy, D3DVALUE dz, D3DVALUE ux,
                           D3DVALUE uy, D3DVALUE uz) override;
    HRESULT SetPosition(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT SetRotation(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z, D3DVALUE theta) override;
    HRESULT SetVelocity(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z, BOOL with_rotation) override;
    HRESULT Transform(D3DVECTOR* dst, D3DVECTOR* src) override;

    Frame* parent() const { return parent_; }
    Frame* root();
    Matrix world() const;
    const Matrix& local() const { return local_; }
    void setLocal(const Matrix& m) { local_ = m; }
    bool isAncestorOf(const Frame* f) const;
    const std::vector<IDirect3DRMFrame*>& children() const { return children_; }
    const std::vector<IDirect3DRMVisual*>& visuals() const { return visuals_; }
    const std::vector<IDirect3DRMLight*>& lights() const { return lights_; }
    const std::vector<MoveCallback>& moveCallbacks() const { return moveCallbacks_; }
    // Clone without the parent link (for cloning children).
    Frame* cloneTree() const;
    // Whether Move would change this frame or one below it.
    bool treeMoves(int depth = 0) const;

protected:
    ~Frame() override;

private:
    void detachFromParent();
    void applyMotion(D3DVALUE delta);
    void moveTree(D3DVALUE delta, int depth);

    Frame* parent_ = nullptr;  // the parent holds a reference to us, not we to it
    std::vector<IDirect3DRMFrame*> children_;
    std::vector<IDirect3DRMVisual*> visuals_;
    std::vector<IDirect3DRMLight*> lights_;
    std::vector<MoveCallback> moveCallbacks_;
    Matrix local_;
    D3DVECTOR rotationAxis_{0, 1, 0};  // parent coordinates
    D3DVALUE rotationTheta_ = 0;
    D3DVECTOR velocity_{0, 0, 0};  // parent coordinates, per unit of delta
    BOOL velocityWithRotation_ = FALSE;
    D3DCOLOR background_ = 0xff000000u;
    D3DCOLOR color_ = 0xffffffffu;
    D3DRMMATERIALMODE materialMode_ = D3DRMMATERIAL_FROMMESH;
};

Frame* asFrame(IUnknown* object);
// The live frame with this objectSerial, or null once it is gone (a reference that does
// not keep the frame alive).
Frame* frameWithSerial(uint64_t serial);
// World matrix of a reference frame; the identity for null (world coordinates).
Matrix referenceWorld(IDirect3DRMFrame* reference);

class Material final : public RmObject<IDirect3DRMMaterial> {
public:
    const char* className() const override { return "Material"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
    HRESULT SetPower(D3DVALUE power) override;
    HRESULT SetSpecular(D3DVALUE r, D3DVALUE g, D3DVALUE b) override;
    HRESULT SetEmissive(D3DVALUE r, D3DVALUE g, D3DVALUE b) override;
    D3DVALUE GetPower() override { return data.power; }
    HRESULT GetSpecular(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) override;
    HRESULT GetEmissive(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) override;
    MaterialData data;
};
Material* asMaterial(IUnknown* object);

class Texture final : public RmObject<IDirect3DRMTexture> {
public:
    const char* className() const override { return "Texture"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
    HRESULT SetShades(DWORD shades) override;
    HRESULT SetColors(DWORD colors) override;
    DWORD GetShades() override { return data.shades; }
    DWORD GetColors() override { return data.colors; }
    D3DRMIMAGE* GetImage() override;
    HRESULT Changed(BOOL pixels, BOOL palette) override;
    TextureData data;

private:
    D3DRMIMAGE image_{};
};
Texture* asTexture(IUnknown* object);

class Light final : public RmObject<IDirect3DRMLight> {
public:
    const char* className() const override { return "Light"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
    HRESULT SetType(D3DRMLIGHTTYPE type) override;
    HRESULT SetColor(D3DCOLOR color) override;
    HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetRange(D3DVALUE range) override;
    HRESULT SetUmbra(D3DVALUE angle) override;
    HRESULT SetPenumbra(D3DVALUE angle) override;
    HRESULT SetConstantAttenuation(D3DVALUE value) override;
    HRESULT SetLinearAttenuation(D3DVALUE value) override;
    HRESULT SetQuadraticAttenuation(D3DVALUE value) override;
    D3DVALUE GetRange() override { return data.range; }
    D3DVALUE GetUmbra() override { return data.umbra; }
    D3DVALUE GetPenumbra() override { return data.penumbra; }
    D3DVALUE GetConstantAttenuation() override { return data.constantAttenuation; }
    D3DVALUE GetLinearAttenuation() override { return data.linearAttenuation; }
    D3DVALUE GetQuadraticAttenuation() override { return data.quadraticAttenuation; }
    D3DCOLOR GetColor() override { return data.color; }
    D3DRMLIGHTTYPE GetType() override { return data.type; }
    HRESULT SetEnableFrame(IDirect3DRMFrame* frame) override;
    HRESULT GetEnableFrame(IDirect3DRMFrame** frame) override;
    LightData data;
};
Light* asLight(IUnknown* object);

class MeshBuilder final : public RmObject<IDirect3DRMMeshBuilder> {
public:
    const char* className() const override { return "Builder"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
    HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback,
                 void* arg) override;
    // Load of a file already read from `path` (its folder is searched for textures). With
    // `spent`, the same file, which the caller has no further use for: a mesh placed once
    // gives its face lists up to the builder instead of having them copied.
    HRESULT loadFrom(const xfile::File& file, const std::string& path, const char* only,
                     D3DRMLOADTEXTURECALLBACK callback, void* arg, xfile::File* spent = nullptr);
    HRESULT Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) override;
    HRESULT Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) override;
    HRESULT SetColorSource(D3DRMCOLORSOURCE source) override;
    HRESULT GetBox(D3DRMBOX* box) override;
    HRESULT GenerateNormals() override;
    D3DRMCOLORSOURCE GetColorSource() override { return data_.colorSource; }
    HRESULT AddMesh(IDirect3DRMMesh* mesh) override;
    HRESULT AddMeshBuilder(IDirect3DRMMeshBuilder* builder) override;
    HRESULT AddFrame(IDirect3DRMFrame* frame) override;
    HRESULT AddFace(IDirect3DRMFace* face) override;
    HRESULT AddFaces(DWORD vcount, D3DVECTOR* vertices, DWORD ncount, D3DVECTOR* normals, DWORD* data,
                     IDirect3DRMFaceArray** faces) override;
    HRESULT ReserveSpace(DWORD vertex_count, DWORD normal_count, DWORD face_count) override;
    HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetColor(D3DCOLOR color) override;
    HRESULT SetTexture(IDirect3DRMTexture* texture) override;
    HRESULT SetMaterial(IDirect3DRMMaterial* material) override;
    HRESULT SetQuality(D3DRMRENDERQUALITY quality) override;
    HRESULT SetPerspective(BOOL enable) override;
    HRESULT SetVertex(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT SetNormal(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT SetTextureCoordinates(DWORD index, D3DVALUE u, D3DVALUE v) override;
    HRESULT SetVertexColor(DWORD index, D3DCOLOR color) override;
    HRESULT SetVertexColorRGB(DWORD index, D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT GetFaces(IDirect3DRMFaceArray** faces) override;
    HRESULT GetVertices(DWORD* vcount, D3DVECTOR* vertices, DWORD* ncount, D3DVECTOR* normals,
                        DWORD* face_data_size, DWORD* face_data) override;
    HRESULT GetTextureCoordinates(DWORD index, D3DVALUE* u, D3DVALUE* v) override;
    int AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    int AddNormal(D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT CreateFace(IDirect3DRMFace** face) override;
    D3DRMRENDERQUALITY GetQuality() override { return data_.quality; }
    BOOL GetPerspective() override { return data_.perspective; }
    int GetFaceCount() override { return static_cast<int>(data_.faces.size()); }
    int GetVertexCount() override { return static_cast<int>(data_.positions.size()); }
    D3DCOLOR GetVertexColor(DWORD index) override;
    HRESULT CreateMesh(IDirect3DRMMesh** mesh) override;

    // The builder's data, every normal made (those that loading left to be made first).
    const MeshBuilderData& data() const {
        settleNormals();
        return data_;
    }
    MeshBuilderData& mutableData() {
        settleNormals();
        return data_;
    }
    // The data as it stands: positions, faces, colours and materials are current, but a
    // mesh just loaded may lack the normals made for faces without any (drawing flat and
    // picking read none).
    const MeshBuilderData& shapeData() const { return data_; }
    void changed() { ++data_.version; }
    void clear();
    uint32_t textureIndex(IDirect3DRMTexture* texture);  // adds it to the table
    uint32_t materialIndex(const MaterialData& material);
    // Gives every face the look that change makes of its own.
    template <class Change>
    void changeLooks(Change change) {
        std::vector<uint32_t> to(data_.looks.size(), UINT32_MAX);
        for (BuilderFace& f : data_.faces) {
            if (to[f.look] == UINT32_MAX) {
                FaceLook look = data_.looks[f.look];
                change(look);
                to[f.look] = data_.looks.indexOf(look);
            }
            f.look = to[f.look];
        }
    }
    // Appends another builder's geometry transformed by m.
    void append(const MeshBuilderData& other, const Matrix& m);
    void appendMesh(const MeshData& mesh, const Matrix& m);
    // Takes over the geometry of an empty builder without copying (textures borrowed).
    void adoptData(MeshBuilderData&& other);
    // Fills in smooth normals for faces whose corners have none.
    void generateMissingNormals(size_t firstFace);
    // As generateMissingNormals, when they are first needed: a big model is drawn flat
    // first, and flat drawing reads none. Every call that reads or changes the data
    // makes them before it does.
    void deferMissingNormals(size_t firstFace);
    void settleNormals() const;
    // The box of all vertices, kept until the geometry changes (picking asks often).
    const D3DRMBOX& cachedBox();
    // Binds the vertices to bones (see SkinData); null makes the builder rigid again.
    void setSkin(std::shared_ptr<const SkinData> skin);
    const SkinPose* pose();  // see meshBuilderPose

protected:
    ~MeshBuilder() override;

private:
    static constexpr size_t kNothingDeferred = ~size_t{0};
    mutable size_t normalsFrom_ = kNothingDeferred;  // the first face whose normals wait
    // Where each material and texture of the tables stands (the first `indexed` entries).
    template <class Key>
    struct Slots {
        std::unordered_map<Key, uint32_t> slots;
        size_t indexed = 0;
    };
    struct PoseCache {
        SkinPose pose;
        std::vector<Matrix> palette;  // the bone matrices the pose was made with
        std::vector<Matrix> next;     // scratch: this call's bone matrices
        std::vector<float> normalMatrices;  // scratch: 3 x 3 per vertex
        const SkinData* skin = nullptr;
        uint64_t dataVersion = 0;
    };

    MeshBuilderData data_;
    D3DRMBOX box_{};
    uint64_t boxVersion_ = 0;
    Slots<std::string> materialSlots_;
    Slots<IDirect3DRMTexture*> textureSlots_;
    std::unique_ptr<PoseCache> pose_;
};
MeshBuilder* asMeshBuilder(IUnknown* object);

// A face of a builder (bound) or a free face made by CreateFace.
class Face final : public RmObject<IDirect3DRMFace> {
public:
    Face() = default;
    Face(MeshBuilder* builder, uint32_t index) : builder_(builder), index_(index) {}
    const char* className() const override { return "Face"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT AddVertexAndNormalIndexed(DWORD vertex, DWORD normal) override;
    HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetColor(D3DCOLOR color) override;
    HRESULT SetTexture(IDirect3DRMTexture* texture) override;
    HRESULT SetTextureCoordinates(DWORD vertex, D3DVALUE u, D3DVALUE v) override;
    HRESULT SetMaterial(IDirect3DRMMaterial* material) override;
    HRESULT GetVertex(DWORD index, D3DVECTOR* vertex, D3DVECTOR* normal) override;
    HRESULT GetVertices(DWORD* vertex_count, D3DVECTOR* coords, D3DVECTOR* normals) override;
    HRESULT GetTextureCoordinates(DWORD vertex, D3DVALUE* u, D3DVALUE* v) override;
    HRESULT GetNormal(D3DVECTOR* normal) override;
    HRESULT GetTexture(IDirect3DRMTexture** texture) override;
    HRESULT GetMaterial(IDirect3DRMMaterial** material) override;
    int GetVertexCount() override;
    int GetVertexIndex(DWORD which) override;
    int GetTextureCoordinateIndex(DWORD which) override;
    D3DCOLOR GetColor() override;

    bool bound() const { return builder_.get() != nullptr; }
    // Moves a free face's corners into the builder; the face then refers to it.
    HRESULT bindTo(MeshBuilder* builder);

private:
    const BuilderFace* face() const;
    BuilderFace* face();
    const FaceLook* look() const;
    // Gives the face the look that change makes of its own (change is not called when the
    // face is gone, so it may add the texture or material the look names).
    template <class Change>
    HRESULT changeLook(Change change) {
        BuilderFace* f = face();
        if (!f) return D3DRMERR_BADOBJECT;
        FaceLook look = builder_->shapeData().looks[f->look];
        change(look);
        f->look = builder_->mutableData().looks.indexOf(look);
        builder_->changed();
        return D3DRM_OK;
    }

    Ref<MeshBuilder> builder_;
    uint32_t index_ = 0;
    // Free face state.
    std::vector<D3DVECTOR> freePositions_;
    std::vector<D3DVECTOR> freeNormals_;
    std::vector<TexCoord> freeTexCoords_;
    D3DCOLOR freeColor_ = 0xffffffffu;
    Ref<IDirect3DRMTexture> freeTexture_;
    MaterialData freeMaterial_;
};

class Mesh final : public RmObject<IDirect3DRMMesh> {
public:
    const char* className() const override { return "Mesh"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT Clone(IUnknown* outer, REFIID riid, void** out) override;
    HRESULT Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) override;
    HRESULT Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) override;
    HRESULT GetBox(D3DRMBOX* box) override;
    HRESULT AddGroup(unsigned vertex_count, unsigned face_count, unsigned vertex_per_face, unsigned* face_data,
                     D3DRMGROUPINDEX* id) override;
    HRESULT SetVertices(D3DRMGROUPINDEX id, unsigned start, unsigned count, D3DRMVERTEX* values) override;
    HRESULT SetGroupColor(D3DRMGROUPINDEX id, D3DCOLOR color) override;
    HRESULT SetGroupColorRGB(D3DRMGROUPINDEX id, D3DVALUE red, D3DVALUE green, D3DVALUE blue) override;
    HRESULT SetGroupMapping(D3DRMGROUPINDEX id, D3DRMMAPPING value) override;
    HRESULT SetGroupQuality(D3DRMGROUPINDEX id, D3DRMRENDERQUALITY value) override;
    HRESULT SetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial* value) override;
    HRESULT SetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture* value) override;
    unsigned GetGroupCount() override { return static_cast<unsigned>(data.groups.size()); }
    HRESULT GetGroup(D3DRMGROUPINDEX id, unsigned* vertex_count, unsigned* face_count, unsigned* vertex_per_face,
                     DWORD* face_data_size, unsigned* face_data) override;
    HRESULT GetVertices(D3DRMGROUPINDEX id, DWORD start, DWORD count, D3DRMVERTEX* values) override;
    D3DCOLOR GetGroupColor(D3DRMGROUPINDEX id) override;
    D3DRMMAPPING GetGroupMapping(D3DRMGROUPINDEX id) override;
    D3DRMRENDERQUALITY GetGroupQuality(D3DRMGROUPINDEX id) override;
    HRESULT GetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial** material) override;
    HRESULT GetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture** texture) override;
    MeshData data;

protected:
    ~Mesh() override;

private:
    MeshGroupData* group(D3DRMGROUPINDEX id);
};
Mesh* asMesh(IUnknown* object);

// Key tracks of one animated frame.
class Animation final : public RmObject<IDirect3DRMAnimation> {
public:
    const char* className() const override { return "Animation"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT SetOptions(D3DRMANIMATIONOPTIONS flags) override;
    HRESULT AddRotateKey(D3DVALUE time, D3DRMQUATERNION* q) override;
    HRESULT AddPositionKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT AddScaleKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) override;
    HRESULT DeleteKey(D3DVALUE time) override;
    HRESULT SetFrame(IDirect3DRMFrame* frame) override;
    HRESULT SetTime(D3DVALUE time) override;
    D3DRMANIMATIONOPTIONS GetOptions() override { return options_; }

    HRESULT addMatrixKey(D3DVALUE time, const Matrix& m);
    // The frame's local matrix at time t (false without keys).
    bool evaluate(D3DVALUE time, const Matrix& current, Matrix& out) const;
    void tracks(AnimationTracks& out) const;

    struct VecKey {
        D3DVALUE time;
        D3DVECTOR value;
    };
    struct QuatKey {
        D3DVALUE time;
        D3DRMQUATERNION value;
    };
    struct MatrixKey {
        D3DVALUE time;
        Matrix value;
    };

protected:
    ~Animation() override;

private:
    D3DVALUE mapTime(D3DVALUE t) const;
    D3DRMANIMATIONOPTIONS options_ = D3DRMANIMATION_CLOSED | D3DRMANIMATION_LINEARPOSITION |
                                     D3DRMANIMATION_SCALEANDROTATION | D3DRMANIMATION_POSITION;
    std::vector<QuatKey> rotations_;
    std::vector<VecKey> positions_;
    std::vector<VecKey> scales_;
    std::vector<MatrixKey> matrices_;
    // Held so that a frame deleted from the scene never leaves a dangling pointer.
    Ref<IDirect3DRMFrame> frame_;
    // What the last SetTime showed, and on which frame; forgotten when keys, options or
    // the frame change.
    D3DVALUE shownTime_ = NAN;
    const Frame* shownOn_ = nullptr;
    Matrix shown_{};
};

class AnimationSet final : public RmObject<IDirect3DRMAnimationSet> {
public:
    const char* className() const override { return "AnimationSet"; }
    HRESULT QueryInterface(REFIID riid, void** out) override;
    HRESULT AddAnimation(IDirect3DRMAnimation* animation) override;
    HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags, D3DRMLOADTEXTURECALLBACK callback, void* arg,
                 IDirect3DRMFrame* parent_frame) override;
    HRESULT DeleteAnimation(IDirect3DRMAnimation* animation) override;
    HRESULT SetTime(D3DVALUE time) override;

    size_t animationCount() const { return animations_.size(); }
    const std::vector<Ref<IDirect3DRMAnimation>>& animations() const { return animations_; }
    // Key time units a second, as the set's file declares (AnimTicksPerSecond); 0: none.
    DWORD ticksPerSecond() const { return ticksPerSecond_; }
    void setTicksPerSecond(DWORD ticks) { ticksPerSecond_ = ticks; }

private:
    std::vector<Ref<IDirect3DRMAnimation>> animations_;
    DWORD ticksPerSecond_ = 0;
};

// ---- Arrays -------------------------------------------------------------------
template <class Iface, class Element, const GUID* Iid>
class ArrayOf final : public RefCounted<Iface> {
public:
    explicit ArrayOf(std::vector<Element*> items) : items_(std::move(items)) {
        for (auto* e : items_) e->AddRef();
    }
    HRESULT QueryInterface(REFIID riid, void** out) override {
        return answerQuery(this, riid, out, {&IID_IUnknown, Iid});
    }
    DWORD GetSize() override { return static_cast<DWORD>(items_.size()); }
    HRESULT GetElement(DWORD index, Element** out) override {
        if (!out) return D3DRMERR_BADVALUE;
        *out = nullptr;
        if (index >= items_.size()) return D3DRMERR_BADVALUE;
        items_[index]->AddRef();
        *out = items_[index];
        return D3DRM_OK;
    }

protected:
    ~ArrayOf() override {
        for (auto* e : items_) e->Release();
    }

private:
    std::vector<Element*> items_;
};
using FrameArray = ArrayOf<IDirect3DRMFrameArray, IDirect3DRMFrame, &IID_IDirect3DRMFrameArray>;
using VisualArray = ArrayOf<IDirect3DRMVisualArray, IDirect3DRMVisual, &IID_IDirect3DRMVisualArray>;
using LightArray = ArrayOf<IDirect3DRMLightArray, IDirect3DRMLight, &IID_IDirect3DRMLightArray>;
using FaceArray = ArrayOf<IDirect3DRMFaceArray, IDirect3DRMFace, &IID_IDirect3DRMFaceArray>;

struct PickRecord {
    Ref<IDirect3DRMVisual> visual;
    std::vector<IDirect3DRMFrame*> path;  // root first
    D3DRMPICKDESC desc;
    float distance;
};

class PickedArray final : public RefCounted<IDirect3DRMPickedArray> {
public:
    explicit PickedArray(std::vector<PickRecord> picks) : picks_(std::move(picks)) {}
    HRESULT QueryInterface(REFIID riid, void** out) override {
        return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMPickedArray});
    }
    DWORD GetSize() override { return static_cast<DWORD>(picks_.size()); }
    HRESULT GetPick(DWORD index, IDirect3DRMVisual** visual, IDirect3DRMFrameArray** frames,
                    D3DRMPICKDESC* desc) override;

private:
    std::vector<PickRecord> picks_;
};

// ---- Loading ------------------------------------------------------------------
struct LoadSource {
    std::string path;                  // file to read (empty with memory)
    const void* memory = nullptr;
    size_t size = 0;
};
// Interprets the (source, flags) pair of the Load methods.
HRESULT describeSource(void* source, D3DRMLOADOPTIONS flags, LoadSource& out);

// Texture lookup and decoding (IDirect3DRM::LoadTexture).
std::optional<std::string> resolveTexturePath(const std::string& name);
HRESULT loadTextureFile(const char* name, DWORD colors, DWORD shades, IDirect3DRMTexture** out);
// The folder of the .x file being loaded, searched for textures; set while loading.
struct LoadMemo;
class TextureFolderScope {
public:
    explicit TextureFolderScope(const std::string& xFilePath);
    ~TextureFolderScope();
    TextureFolderScope(const TextureFolderScope&) = delete;
    TextureFolderScope& operator=(const TextureFolderScope&) = delete;

private:
    std::string previous_;
    LoadMemo* ownMemo_ = nullptr;  // the outermost scope's; kept until the load ends
};
void setDefaultTextureValues(DWORD colors, DWORD shades);
DWORD defaultTextureColors();
DWORD defaultTextureShades();

}  // namespace rm
