#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/rm/objects.h"

namespace rm {

namespace {

template <class Key>
void insertKey(std::vector<Key>& keys, const Key& key) {
    // Keys added in time order (as the loader does) go on the end.
    if (keys.empty() || keys.back().time < key.time) {
        keys.push_back(key);
        return;
    }
    auto it = std::lower_bound(keys.begin(), keys.end(), key.time,
                               [](const Key& k, D3DVALUE t) { return k.time < t; });
    if (it != keys.end() && it->time == key.time)
        *it = key;  // one key per time
    else
        keys.insert(it, key);
}

// Index i with keys[i].time <= t < keys[i + 1].time (t inside the range), and the
// fraction between them.
template <class Key>
size_t bracket(const std::vector<Key>& keys, D3DVALUE t, D3DVALUE& alpha) {
    if (t <= keys.front().time) {
        alpha = 0;
        return 0;
    }
    if (t >= keys.back().time) {
        alpha = 0;
        return keys.size() - 1;
    }
    auto it = std::upper_bound(keys.begin(), keys.end(), t, [](D3DVALUE v, const Key& k) { return v < k.time; });
    size_t i = static_cast<size_t>(it - keys.begin()) - 1;
    D3DVALUE span = keys[i + 1].time - keys[i].time;
    alpha = span > 0 ? (t - keys[i].time) / span : 0;
    return i;
}

D3DVECTOR lerp(D3DVECTOR a, D3DVECTOR b, D3DVALUE t) { return a + (b - a) * t; }

D3DVECTOR catmullRom(D3DVECTOR p0, D3DVECTOR p1, D3DVECTOR p2, D3DVECTOR p3, D3DVALUE t) {
    D3DVALUE t2 = t * t, t3 = t2 * t;
    return (p1 * 2.0f + (p2 - p0) * t + (p0 * 2.0f - p1 * 5.0f + p2 * 4.0f - p3) * t2 +
            (p1 * 3.0f - p0 - p2 * 3.0f + p3) * t3) *
           0.5f;
}

}  // namespace

Animation::~Animation() = default;

HRESULT Animation::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMAnimation});
}

HRESULT Animation::SetOptions(D3DRMANIMATIONOPTIONS flags) {
    shownTime_ = NAN;
    const D3DRMANIMATIONOPTIONS known = D3DRMANIMATION_OPEN | D3DRMANIMATION_CLOSED | D3DRMANIMATION_LINEARPOSITION |
                                        D3DRMANIMATION_SPLINEPOSITION | D3DRMANIMATION_SCALEANDROTATION |
                                        D3DRMANIMATION_POSITION;
    if ((flags & ~known) || ((flags & D3DRMANIMATION_OPEN) && (flags & D3DRMANIMATION_CLOSED)) ||
        ((flags & D3DRMANIMATION_LINEARPOSITION) && (flags & D3DRMANIMATION_SPLINEPOSITION)))
        return D3DRMERR_BADVALUE;
    options_ = flags;
    return D3DRM_OK;
}

HRESULT Animation::AddRotateKey(D3DVALUE time, D3DRMQUATERNION* q) {
    shownTime_ = NAN;
    if (!q || !std::isfinite(time)) return D3DRMERR_BADVALUE;
    D3DRMQUATERNION n = *q;
    double len = std::sqrt(double(n.s) * n.s + dot(n.v, n.v));
    if (!(len > 1e-12) || !std::isfinite(len)) return D3DRMERR_BADVALUE;
    n.s = float(n.s / len);
    n.v = n.v * float(1.0 / len);
    insertKey(rotations_, QuatKey{time, n});
    return D3DRM_OK;
}

HRESULT Animation::AddPositionKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    shownTime_ = NAN;
    if (!std::isfinite(time) || !finite({x, y, z})) return D3DRMERR_BADVALUE;
    insertKey(positions_, VecKey{time, {x, y, z}});
    return D3DRM_OK;
}

HRESULT Animation::AddScaleKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    shownTime_ = NAN;
    if (!std::isfinite(time) || !finite({x, y, z})) return D3DRMERR_BADVALUE;
    insertKey(scales_, VecKey{time, {x, y, z}});
    return D3DRM_OK;
}

HRESULT Animation::addMatrixKey(D3DVALUE time, const Matrix& m) {
    shownTime_ = NAN;
    if (!std::isfinite(time)) return D3DRMERR_BADVALUE;
    for (auto& row : m.m)
        for (D3DVALUE v : row)
            if (!std::isfinite(v)) return D3DRMERR_BADVALUE;
    insertKey(matrices_, MatrixKey{time, m});
    return D3DRM_OK;
}

HRESULT Animation::DeleteKey(D3DVALUE time) {
    shownTime_ = NAN;
    bool found = false;
    auto drop = [&](auto& keys) {
        auto before = keys.size();
        std::erase_if(keys, [&](const auto& k) { return k.time == time; });
        found = found || keys.size() != before;
    };
    drop(rotations_);
    drop(positions_);
    drop(scales_);
    drop(matrices_);
    return found ? D3DRM_OK : D3DRMERR_NOTFOUND;
}

HRESULT Animation::SetFrame(IDirect3DRMFrame* frame) {
    shownTime_ = NAN;
    if (frame && !asFrame(frame)) return D3DRMERR_BADOBJECT;
    frame_ = Ref<IDirect3DRMFrame>(frame);
    return D3DRM_OK;
}

D3DVALUE Animation::mapTime(D3DVALUE t) const {
    // The span of all keys together; closed animations loop over it, open ones clamp.
    D3DVALUE first = INFINITY, last = -INFINITY;
    auto span = [&](const auto& keys) {
        if (keys.empty()) return;
        first = std::min(first, keys.front().time);
        last = std::max(last, keys.back().time);
    };
    span(rotations_);
    span(positions_);
    span(scales_);
    span(matrices_);
    if (!(last > first)) return first;
    if (options_ & D3DRMANIMATION_OPEN) return std::clamp(t, first, last);
    D3DVALUE period = last - first;
    D3DVALUE r = std::fmod(t - first, period);
    if (r < 0) r += period;
    return first + r;
}

bool Animation::evaluate(D3DVALUE time, const Matrix& current, Matrix& out) const {
    if (rotations_.empty() && positions_.empty() && scales_.empty() && matrices_.empty()) return false;
    D3DVALUE t = mapTime(time);
    if (!matrices_.empty()) {
        D3DVALUE a;
        size_t i = bracket(matrices_, t, a);
        out = matrices_[i].value;
        if (a > 0)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    out.m[r][c] += (matrices_[i + 1].value.m[r][c] - out.m[r][c]) * a;
        return true;
    }
    // Start from the frame's current scale, rotation and position; keys replace them.
    D3DVECTOR axes[3];
    D3DVECTOR scale;
    for (int r = 0; r < 3; ++r) axes[r] = {current.m[r][0], current.m[r][1], current.m[r][2]};
    scale = {length(axes[0]), length(axes[1]), length(axes[2])};
    D3DVECTOR position{current.m[3][0], current.m[3][1], current.m[3][2]};
    Matrix rot = Matrix::identity();
    for (int r = 0; r < 3; ++r) {
        D3DVECTOR a = axes[r];
        if (!normalize(a)) a = D3DVECTOR{r == 0 ? 1.0f : 0, r == 1 ? 1.0f : 0, r == 2 ? 1.0f : 0};
        rot.m[r][0] = a.x, rot.m[r][1] = a.y, rot.m[r][2] = a.z;
    }
    if (!scales_.empty()) {
        D3DVALUE a;
        size_t i = bracket(scales_, t, a);
        scale = a > 0 ? lerp(scales_[i].value, scales_[i + 1].value, a) : scales_[i].value;
    }
    if (!rotations_.empty()) {
        D3DVALUE a;
        size_t i = bracket(rotations_, t, a);
        D3DRMQUATERNION q = rotations_[i].value;
        if (a > 0) {
            D3DRMQUATERNION q1 = rotations_[i].value, q2 = rotations_[i + 1].value;
            D3DRMQuaternionSlerp(&q, &q1, &q2, a);
        }
        D3DRMMATRIX4D m;
        D3DRMMatrixFromQuaternion(m, &q);
        rot = fromArray(m);
    }
    if (!positions_.empty()) {
        D3DVALUE a;
        size_t i = bracket(positions_, t, a);
        const auto& k = positions_;
        if (a <= 0)
            position = k[i].value;
        else if ((options_ & D3DRMANIMATION_SPLINEPOSITION) && k.size() > 2)
            position = catmullRom(k[i > 0 ? i - 1 : i].value, k[i].value, k[i + 1].value,
                                  k[i + 2 < k.size() ? i + 2 : i + 1].value, a);
        else
            position = lerp(k[i].value, k[i + 1].value, a);
    }
    out = multiply(multiply(scaling(scale.x, scale.y, scale.z), rot), translation(position.x, position.y, position.z));
    return true;
}

HRESULT Animation::SetTime(D3DVALUE time) {
    if (!std::isfinite(time)) return D3DRMERR_BADVALUE;
    Frame* f = asFrame(frame_.get());
    if (!f) return D3DRM_OK;
    // The same moment again (a clock past the end of an open animation) leaves the frame
    // as it is: rebuilding its matrix from itself would only add rounding.
    const D3DVALUE t = mapTime(time);
    if (t == shownTime_ && f == shownOn_ && std::memcmp(&f->local(), &shown_, sizeof shown_) == 0) return D3DRM_OK;
    Matrix m;
    if (evaluate(time, f->local(), m)) {
        f->setLocal(m);
        shownTime_ = t;
        shownOn_ = f;
        shown_ = m;
    }
    return D3DRM_OK;
}

void Animation::tracks(AnimationTracks& out) const {
    out = AnimationTracks{};
    out.frame = frame_.get();
    out.options = options_;
    for (const auto& k : rotations_) out.rotations.emplace_back(k.time, k.value);
    for (const auto& k : positions_) out.positions.emplace_back(k.time, k.value);
    for (const auto& k : scales_) out.scales.emplace_back(k.time, k.value);
    for (const auto& k : matrices_) out.matrices.emplace_back(k.time, k.value);
}

bool animationTracks(IDirect3DRMAnimation* animation, AnimationTracks& out) {
    auto* a = dynamic_cast<Animation*>(animation);
    if (!a) return false;
    a->tracks(out);
    return true;
}

bool animationSample(IDirect3DRMAnimation* animation, D3DVALUE time, const Matrix& current, Matrix& out) {
    auto* a = dynamic_cast<Animation*>(animation);
    return a && a->evaluate(time, current, out);
}

std::vector<IDirect3DRMAnimation*> animationSetAnimations(IDirect3DRMAnimationSet* set) {
    std::vector<IDirect3DRMAnimation*> out;
    if (auto* s = dynamic_cast<AnimationSet*>(set))
        for (const auto& a : s->animations()) out.push_back(a.get());
    return out;
}

// ---- Animation sets ----------------------------------------------------------------

HRESULT AnimationSet::QueryInterface(REFIID riid, void** out) {
    return answerQuery(this, riid, out, {&IID_IUnknown, &IID_IDirect3DRMObject, &IID_IDirect3DRMAnimationSet});
}

HRESULT AnimationSet::AddAnimation(IDirect3DRMAnimation* animation) {
    if (!dynamic_cast<Animation*>(animation)) return D3DRMERR_BADOBJECT;
    animations_.emplace_back(animation);
    return D3DRM_OK;
}

HRESULT AnimationSet::DeleteAnimation(IDirect3DRMAnimation* animation) {
    for (auto it = animations_.begin(); it != animations_.end(); ++it)
        if (it->get() == animation) {
            animations_.erase(it);
            return D3DRM_OK;
        }
    return D3DRMERR_NOTFOUND;
}

HRESULT AnimationSet::SetTime(D3DVALUE time) {
    if (!std::isfinite(time)) return D3DRMERR_BADVALUE;
    for (auto& a : animations_) a->SetTime(time);
    return D3DRM_OK;
}

DWORD animationSetTicksPerSecond(IDirect3DRMAnimationSet* set) {
    auto* s = dynamic_cast<AnimationSet*>(set);
    return s ? s->ticksPerSecond() : 0;
}

}  // namespace rm
