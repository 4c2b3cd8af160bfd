#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "platform/rm/objects.h"

namespace rm {

namespace {

// Deeper hierarchies than this are treated as cycles (frames used as visuals of
// their own descendants) and not followed.
constexpr int kMaxDepth = 256;

bool finiteValues(std::initializer_list<D3DVALUE> values) {
    for (D3DVALUE v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

template <class T>
bool removeOne(std::vector<T*>& items, T* item) {
    auto it = std::find(items.begin(), items.end(), item);
    if (it == items.end()) return false;
    items.erase(it);
    return true;
}

}  // namespace

Frame* asFrame(IUnknown* object) { return dynamic_cast<Frame*>(object); }

namespace {
// Never destroyed: a frame may outlive static destruction.
std::unordered_map<uint64_t, Frame*>& liveFrames() {
    static auto* frames = new std::unordered_map<uint64_t, Frame*>;
    return *frames;
}
}  // namespace

Frame* frameWithSerial(uint64_t serial) {
    auto it = liveFrames().find(serial);
    return it == liveFrames().end() ? nullptr : it->second;
}

Frame::Frame() : local_(Matrix::identity()) { liveFrames()[serial()] = this; }

Matrix referenceWorld(IDirect3DRMFrame* reference) {
    Frame* f = asFrame(reference);
    return f ? f->world() : Matrix::identity();
}

Frame::~Frame() {
    liveFrames().erase(serial());
    for (auto* c : children_) {
        asFrame(c)->parent_ = nullptr;
        c->Release();
    }
    for (auto* v : visuals_) v->Release();
    for (auto* l : lights_) l->Release();
}

HRESULT Frame::QueryInterface(REFIID riid, void** out) {
    return answerQuery(static_cast<IDirect3DRMFrame*>(this), riid, out,
                       {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMVisual, &IID_IDirect3DRMFrame});
}

Frame* Frame::root() {
    Frame* f = this;
    for (int i = 0; f->parent_ && i < kMaxDepth * 64; ++i) f = f->parent_;
    return f;
}

Matrix Frame::world() const {
    Matrix m = local_;
    for (const Frame* p = parent_; p; p = p->parent_) m = multiply(m, p->local_);
    return m;
}

bool Frame::isAncestorOf(const Frame* f) const {
    for (; f; f = f->parent_)
        if (f == this) return true;
    return false;
}

void Frame::detachFromParent() {
    if (!parent_) return;
    Frame* p = parent_;
    parent_ = nullptr;
    if (removeOne(p->children_, static_cast<IDirect3DRMFrame*>(this))) Release();
}

HRESULT Frame::AddChild(IDirect3DRMFrame* childIface) {
    Frame* child = asFrame(childIface);
    if (!child) return D3DRMERR_BADOBJECT;
    // A frame cannot become its own ancestor.
    if (child->isAncestorOf(this)) return D3DRMERR_BADVALUE;
    if (child->parent_ == this) return D3DRM_OK;
    child->AddRef();
    child->detachFromParent();
    child->parent_ = this;
    children_.push_back(child);
    return D3DRM_OK;
}

HRESULT Frame::DeleteChild(IDirect3DRMFrame* childIface) {
    Frame* child = asFrame(childIface);
    if (!child || child->parent_ != this) return D3DRMERR_NOTFOUND;
    child->detachFromParent();
    return D3DRM_OK;
}

HRESULT Frame::GetParent(IDirect3DRMFrame** parent) {
    if (!parent) return D3DRMERR_BADVALUE;
    *parent = parent_;
    if (parent_) parent_->AddRef();
    return D3DRM_OK;
}

HRESULT Frame::GetScene(IDirect3DRMFrame** scene) {
    if (!scene) return D3DRMERR_BADVALUE;
    Frame* r = root();
    r->AddRef();
    *scene = r;
    return D3DRM_OK;
}

HRESULT Frame::GetChildren(IDirect3DRMFrameArray** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = new FrameArray(children_);
    return D3DRM_OK;
}

HRESULT Frame::GetVisuals(IDirect3DRMVisualArray** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = new VisualArray(visuals_);
    return D3DRM_OK;
}

HRESULT Frame::GetLights(IDirect3DRMLightArray** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = new LightArray(lights_);
    return D3DRM_OK;
}

HRESULT Frame::AddLight(IDirect3DRMLight* light) {
    if (!asLight(light)) return D3DRMERR_BADOBJECT;
    if (std::find(lights_.begin(), lights_.end(), light) != lights_.end()) return D3DRM_OK;
    light->AddRef();
    lights_.push_back(light);
    return D3DRM_OK;
}

HRESULT Frame::DeleteLight(IDirect3DRMLight* light) {
    if (!removeOne(lights_, light)) return D3DRMERR_NOTFOUND;
    light->Release();
    return D3DRM_OK;
}

HRESULT Frame::AddVisual(IDirect3DRMVisual* visual) {
    if (!visual) return D3DRMERR_BADOBJECT;
    if (asFrame(visual) == this) return D3DRMERR_BADVALUE;
    visual->AddRef();
    visuals_.push_back(visual);
    return D3DRM_OK;
}

HRESULT Frame::DeleteVisual(IDirect3DRMVisual* visual) {
    if (!removeOne(visuals_, visual)) return D3DRMERR_NOTFOUND;
    visual->Release();
    return D3DRM_OK;
}

HRESULT Frame::AddMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) {
    if (!func) return D3DRMERR_BADVALUE;
    moveCallbacks_.emplace_back(func, arg);
    return D3DRM_OK;
}

HRESULT Frame::DeleteMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) {
    auto it = std::find(moveCallbacks_.begin(), moveCallbacks_.end(), MoveCallback(func, arg));
    if (it == moveCallbacks_.end()) return D3DRMERR_NOTFOUND;
    moveCallbacks_.erase(it);
    return D3DRM_OK;
}

// ---- Transforms -----------------------------------------------------------------

static HRESULT combine(Matrix& local, D3DRMCOMBINETYPE type, const Matrix& s) {
    switch (type) {
        case D3DRMCOMBINE_REPLACE: local = s; return D3DRM_OK;
        case D3DRMCOMBINE_BEFORE: local = multiply(s, local); return D3DRM_OK;
        case D3DRMCOMBINE_AFTER: local = multiply(local, s); return D3DRM_OK;
    }
    return D3DRMERR_BADVALUE;
}

HRESULT Frame::AddTransform(D3DRMCOMBINETYPE type, D3DRMMATRIX4D matrix) {
    if (!matrix) return D3DRMERR_BADVALUE;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (!std::isfinite(matrix[i][j])) return D3DRMERR_BADVALUE;
    return combine(local_, type, fromArray(matrix));
}

HRESULT Frame::AddTranslation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    if (!finiteValues({x, y, z})) return D3DRMERR_BADVALUE;
    return combine(local_, type, translation(x, y, z));
}

HRESULT Frame::AddScale(D3DRMCOMBINETYPE type, D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) {
    // An infinite or NaN factor (say 8 / 0 for an empty model) would poison every
    // frame below; refuse it and keep the frame as it was.
    if (!finiteValues({sx, sy, sz})) return D3DRMERR_BADVALUE;
    return combine(local_, type, scaling(sx, sy, sz));
}

HRESULT Frame::AddRotation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z, D3DVALUE theta) {
    D3DVECTOR axis{x, y, z};
    if (!std::isfinite(theta) || !normalize(axis)) return D3DRMERR_BADVALUE;
    return combine(local_, type, rotation(axis, theta));
}

HRESULT Frame::GetTransform(D3DRMMATRIX4D matrix) {
    if (!matrix) return D3DRMERR_BADVALUE;
    toArray(local_, matrix);
    return D3DRM_OK;
}

HRESULT Frame::Transform(D3DVECTOR* dst, D3DVECTOR* src) {
    if (!dst || !src) return D3DRMERR_BADVALUE;
    *dst = transformPoint(*src, world());
    return D3DRM_OK;
}

HRESULT Frame::InverseTransform(D3DVECTOR* dst, D3DVECTOR* src) {
    if (!dst || !src) return D3DRMERR_BADVALUE;
    Matrix inv;
    if (!invert(world(), inv)) return D3DRMERR_BADVALUE;
    *dst = transformPoint(*src, inv);
    return D3DRM_OK;
}

static Matrix parentInverse(const Frame* f) {
    Matrix inv = Matrix::identity();
    if (f->parent()) invert(f->parent()->world(), inv);
    return inv;
}

HRESULT Frame::SetPosition(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    if (!finiteValues({x, y, z})) return D3DRMERR_BADVALUE;
    D3DVECTOR world = transformPoint({x, y, z}, referenceWorld(reference));
    D3DVECTOR p = transformPoint(world, parentInverse(this));
    local_.m[3][0] = p.x;
    local_.m[3][1] = p.y;
    local_.m[3][2] = p.z;
    return D3DRM_OK;
}

HRESULT Frame::GetPosition(IDirect3DRMFrame* reference, D3DVECTOR* position) {
    if (!position) return D3DRMERR_BADVALUE;
    Matrix w = world();
    D3DVECTOR origin{w.m[3][0], w.m[3][1], w.m[3][2]};
    Matrix inv;
    invert(referenceWorld(reference), inv);
    *position = transformPoint(origin, inv);
    return D3DRM_OK;
}

HRESULT Frame::SetOrientation(IDirect3DRMFrame* reference, D3DVALUE dx, D3DVALUE dy, D3DVALUE dz, D3DVALUE ux,
                              D3DVALUE uy, D3DVALUE uz) {
    D3DVECTOR z{dx, dy, dz};
    D3DVECTOR up{ux, uy, uz};
    // Zero or parallel vectors give no orientation; the frame keeps its own.
    if (!normalize(z) || !finite(up)) return D3DRMERR_BADVALUE;
    D3DVECTOR y = up - z * dot(up, z);
    if (!normalize(y)) return D3DRMERR_BADVALUE;
    D3DVECTOR x = cross(y, z);
    Matrix toParent = multiply(referenceWorld(reference), parentInverse(this));
    D3DVECTOR axes[3] = {transformDirection(x, toParent), transformDirection(y, toParent),
                         transformDirection(z, toParent)};
    for (auto& a : axes)
        if (!normalize(a)) return D3DRMERR_BADVALUE;
    // The frame keeps its scale: a fitted model must not change size when turned.
    for (int r = 0; r < 3; ++r) {
        D3DVALUE scale = length(D3DVECTOR{local_.m[r][0], local_.m[r][1], local_.m[r][2]});
        if (!(scale > 0) || !std::isfinite(scale)) scale = 1;
        axes[r] = axes[r] * scale;
    }
    for (int r = 0; r < 3; ++r) {
        local_.m[r][0] = axes[r].x;
        local_.m[r][1] = axes[r].y;
        local_.m[r][2] = axes[r].z;
        local_.m[r][3] = 0;
    }
    local_.m[3][3] = 1;
    return D3DRM_OK;
}

HRESULT Frame::GetOrientation(IDirect3DRMFrame* reference, D3DVECTOR* dir, D3DVECTOR* up) {
    if (!dir || !up) return D3DRMERR_BADVALUE;
    Matrix inv;
    invert(referenceWorld(reference), inv);
    Matrix m = multiply(world(), inv);
    D3DVECTOR z{m.m[2][0], m.m[2][1], m.m[2][2]};
    D3DVECTOR y{m.m[1][0], m.m[1][1], m.m[1][2]};
    normalize(z);
    normalize(y);
    *dir = z;
    *up = y;
    return D3DRM_OK;
}

HRESULT Frame::LookAt(IDirect3DRMFrame* target, IDirect3DRMFrame* reference, D3DRMFRAMECONSTRAINT constraint) {
    Frame* t = asFrame(target);
    if (!t) return D3DRMERR_BADOBJECT;
    D3DVECTOR from, to;
    GetPosition(reference, &from);
    t->GetPosition(reference, &to);
    D3DVECTOR dir = to - from;
    if (constraint == D3DRMCONSTRAIN_Y) dir.y = 0;
    if (constraint == D3DRMCONSTRAIN_X) dir.x = 0;
    D3DVECTOR up{0, 1, 0};
    if (std::fabs(dir.x) < 1e-6f && std::fabs(dir.z) < 1e-6f) up = {0, 0, 1};
    return SetOrientation(reference, dir.x, dir.y, dir.z, up.x, up.y, up.z);
}

// ---- Motion -----------------------------------------------------------------------

static D3DVECTOR toParentDirection(const Frame* f, IDirect3DRMFrame* reference, D3DVECTOR v) {
    return transformDirection(v, multiply(referenceWorld(reference), parentInverse(f)));
}

static D3DVECTOR fromParentDirection(const Frame* f, IDirect3DRMFrame* reference, D3DVECTOR v) {
    Matrix parentWorld = f->parent() ? f->parent()->world() : Matrix::identity();
    Matrix refInv;
    invert(referenceWorld(reference), refInv);
    return transformDirection(v, multiply(parentWorld, refInv));
}

HRESULT Frame::SetRotation(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z, D3DVALUE theta) {
    if (!finiteValues({x, y, z, theta})) return D3DRMERR_BADVALUE;
    D3DVECTOR axis = toParentDirection(this, reference, {x, y, z});
    if (!normalize(axis)) {
        // No axis means no turn.
        if (theta != 0) return D3DRMERR_BADVALUE;
        axis = {0, 1, 0};
    }
    rotationAxis_ = axis;
    rotationTheta_ = theta;
    return D3DRM_OK;
}

HRESULT Frame::GetRotation(IDirect3DRMFrame* reference, D3DVECTOR* axis, D3DVALUE* theta) {
    if (!axis || !theta) return D3DRMERR_BADVALUE;
    D3DVECTOR a = fromParentDirection(this, reference, rotationAxis_);
    normalize(a);
    *axis = a;
    *theta = rotationTheta_;
    return D3DRM_OK;
}

HRESULT Frame::SetVelocity(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z, BOOL with_rotation) {
    if (!finiteValues({x, y, z})) return D3DRMERR_BADVALUE;
    velocity_ = toParentDirection(this, reference, {x, y, z});
    velocityWithRotation_ = with_rotation;
    return D3DRM_OK;
}

HRESULT Frame::GetVelocity(IDirect3DRMFrame* reference, D3DVECTOR* velocity, BOOL) {
    if (!velocity) return D3DRMERR_BADVALUE;
    *velocity = fromParentDirection(this, reference, velocity_);
    return D3DRM_OK;
}

void Frame::applyMotion(D3DVALUE delta) {
    if (rotationTheta_ != 0 && delta != 0) {
        // Spin about the frame's own origin: turn the axes, keep the position.
        Matrix r = rotation(rotationAxis_, rotationTheta_ * delta);
        for (int row = 0; row < 3; ++row) {
            D3DVECTOR a{local_.m[row][0], local_.m[row][1], local_.m[row][2]};
            a = transformDirection(a, r);
            local_.m[row][0] = a.x;
            local_.m[row][1] = a.y;
            local_.m[row][2] = a.z;
        }
        if (velocityWithRotation_) velocity_ = transformDirection(velocity_, r);
    }
    local_.m[3][0] += velocity_.x * delta;
    local_.m[3][1] += velocity_.y * delta;
    local_.m[3][2] += velocity_.z * delta;
}

void Frame::moveTree(D3DVALUE delta, int depth) {
    if (depth > kMaxDepth) return;
    Ref<Frame> self(this);  // a callback may detach and release us
    auto callbacks = moveCallbacks_;
    for (auto& [cb, arg] : callbacks) cb(this, arg, delta);
    applyMotion(delta);
    std::vector<Ref<Frame>> kids;
    kids.reserve(children_.size());
    for (auto* c : children_) kids.emplace_back(asFrame(c));
    for (auto& k : kids)
        if (k->parent_ == this) k->moveTree(delta, depth + 1);
}

bool Frame::treeMoves(int depth) const {
    if (depth > kMaxDepth) return false;
    if (!moveCallbacks_.empty() || rotationTheta_ != 0 || velocity_.x != 0 || velocity_.y != 0 || velocity_.z != 0)
        return true;
    return std::any_of(children_.begin(), children_.end(),
                       [depth](IDirect3DRMFrame* c) { return asFrame(c)->treeMoves(depth + 1); });
}

HRESULT Frame::Move(D3DVALUE delta) {
    if (!std::isfinite(delta)) return D3DRMERR_BADVALUE;
    moveTree(delta, 0);
    return D3DRM_OK;
}

// ---- Appearance -------------------------------------------------------------------

D3DCOLOR Frame::GetSceneBackground() { return root()->background_; }

HRESULT Frame::SetSceneBackground(D3DCOLOR color) {
    root()->background_ = color;
    return D3DRM_OK;
}

HRESULT Frame::SetSceneBackgroundRGB(D3DVALUE r, D3DVALUE g, D3DVALUE b) {
    return SetSceneBackground(D3DRMCreateColorRGB(r, g, b));
}

HRESULT Frame::SetColor(D3DCOLOR color) {
    color_ = color;
    return D3DRM_OK;
}

HRESULT Frame::SetColorRGB(D3DVALUE r, D3DVALUE g, D3DVALUE b) { return SetColor(D3DRMCreateColorRGB(r, g, b)); }

HRESULT Frame::SetMaterialMode(D3DRMMATERIALMODE mode) {
    if (mode < D3DRMMATERIAL_FROMMESH || mode > D3DRMMATERIAL_FROMFRAME) return D3DRMERR_BADVALUE;
    materialMode_ = mode;
    return D3DRM_OK;
}

// ---- Clone ------------------------------------------------------------------------

Frame* Frame::cloneTree() const {
    auto* f = new Frame;
    copyObjectDataTo(*f);
    f->local_ = local_;
    f->rotationAxis_ = rotationAxis_;
    f->rotationTheta_ = rotationTheta_;
    f->velocity_ = velocity_;
    f->velocityWithRotation_ = velocityWithRotation_;
    f->background_ = background_;
    f->color_ = color_;
    f->materialMode_ = materialMode_;
    for (auto* l : lights_) {
        IDirect3DRMLight* copy = nullptr;
        if (SUCCEEDED(l->Clone(nullptr, IID_IDirect3DRMLight, reinterpret_cast<void**>(&copy)))) {
            f->lights_.push_back(copy);
        }
    }
    for (auto* c : children_) {
        Frame* copy = asFrame(c)->cloneTree();
        copy->parent_ = f;
        f->children_.push_back(copy);
    }
    return f;
}

HRESULT Frame::Clone(IUnknown* outer, REFIID riid, void** out) {
    if (!out) return D3DRMERR_BADVALUE;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    Ref<Frame> copy = adopt(cloneTree());
    if (parent_) parent_->AddChild(copy.get());
    return copy->QueryInterface(riid, out);
}

// ---- Scene access -----------------------------------------------------------------

const Matrix& frameLocalMatrix(IDirect3DRMFrame* frame) { return asFrame(frame)->local(); }
Matrix frameWorldMatrix(IDirect3DRMFrame* frame) { return asFrame(frame)->world(); }
IDirect3DRMFrame* frameParent(IDirect3DRMFrame* frame) { return asFrame(frame)->parent(); }
std::span<IDirect3DRMFrame* const> frameChildren(IDirect3DRMFrame* frame) { return asFrame(frame)->children(); }
std::span<IDirect3DRMVisual* const> frameVisuals(IDirect3DRMFrame* frame) { return asFrame(frame)->visuals(); }
std::span<IDirect3DRMLight* const> frameLights(IDirect3DRMFrame* frame) { return asFrame(frame)->lights(); }
D3DCOLOR sceneBackground(IDirect3DRMFrame* frame) { return asFrame(frame)->GetSceneBackground(); }
bool frameTreeMoves(IDirect3DRMFrame* frame) { return asFrame(frame)->treeMoves(); }
std::span<const std::pair<D3DRMFRAMEMOVECALLBACK, void*>> frameMoveCallbacks(IDirect3DRMFrame* frame) {
    return asFrame(frame)->moveCallbacks();
}

}  // namespace rm
