#include "scene/framing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "scene/selection.h"
#include "viewer/resize.h"

namespace {

struct Vec {
    double x, y, z;
};

Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec of(const D3DVECTOR& v) { return {v.x, v.y, v.z}; }

using Matrix = std::array<std::array<double, 4>, 4>;  // row vectors, translation in row 3

// Half the picture's extent at distance 1 across and up, as the projection gives it.
struct HalfExtent {
    double x, y;
};
HalfExtent halfExtent(IDirect3DRMViewport* viewport) {
    const double width = viewport->GetWidth(), height = viewport->GetHeight();
    const double field = viewport->GetField() > 0 ? viewport->GetField() : 0.5;
    if (!viewport->GetUniformScaling() || width <= 0 || height <= 0) return {field, field};
    const double major = std::max(width, height);
    return {field * width / major, field * height / major};
}

Matrix identity() {
    Matrix m{};
    for (int i = 0; i < 4; ++i) m[i][i] = 1;
    return m;
}

Matrix localMatrix(IDirect3DRMFrame* frame) {
    D3DRMMATRIX4D local;
    if (frame->GetTransform(local) < 0) return identity();
    Matrix m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[r][c] = local[r][c];
    return m;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            for (int k = 0; k < 4; ++k) m[r][c] += a[r][k] * b[k][c];
    return m;
}

Matrix worldMatrix(IDirect3DRMFrame* frame) {
    Matrix world = localMatrix(frame);
    IDirect3DRMFrame* parent = nullptr;
    frame->GetParent(&parent);
    for (int depth = 0; parent && depth < 1024; ++depth) {
        world = multiply(world, localMatrix(parent));
        IDirect3DRMFrame* next = nullptr;
        parent->GetParent(&next);
        parent->Release();
        parent = next;
    }
    if (parent) parent->Release();
    return world;
}

class BoxBuilder {
public:
    explicit BoxBuilder(IDirect3DRMFrame* skip) : skip_(skip) {}

    void addTree(IDirect3DRMFrame* frame, const Matrix& world, int depth) {
        // Frames shown as visuals may nest, or show themselves.
        if (depth > kMaxDepth || std::find(path_.begin(), path_.end(), frame) != path_.end()) return;
        path_.push_back(frame);
        addVisuals(frame, world, depth);
        IDirect3DRMFrameArray* children = nullptr;
        if (frame->GetChildren(&children) >= 0 && children) {
            for (DWORD i = 0; i < children->GetSize(); ++i) {
                IDirect3DRMFrame* child = nullptr;
                if (children->GetElement(i, &child) < 0 || !child) continue;
                if (child != skip_) addTree(child, multiply(localMatrix(child), world), depth + 1);
                child->Release();
            }
            children->Release();
        }
        path_.pop_back();
    }

    bool result(D3DRMBOX* box) const {
        if (!any_) return false;
        box->min = {D3DVALUE(lo_.x), D3DVALUE(lo_.y), D3DVALUE(lo_.z)};
        box->max = {D3DVALUE(hi_.x), D3DVALUE(hi_.y), D3DVALUE(hi_.z)};
        return true;
    }

private:
    static constexpr int kMaxDepth = 64;

    void addVisuals(IDirect3DRMFrame* frame, const Matrix& world, int depth) {
        IDirect3DRMVisualArray* visuals = nullptr;
        if (frame->GetVisuals(&visuals) < 0 || !visuals) return;
        for (DWORD i = 0; i < visuals->GetSize(); ++i) {
            IDirect3DRMVisual* visual = nullptr;
            if (visuals->GetElement(i, &visual) < 0 || !visual) continue;
            addVisual(visual, world, depth);
            visual->Release();
        }
        visuals->Release();
    }

    void addVisual(IDirect3DRMVisual* visual, const Matrix& world, int depth) {
        // The marker shows the selection; it is not part of the scene.
        if (visual == selectionState.markerMesh) return;
        D3DRMBOX box;
        IDirect3DRMMeshBuilder* builder = nullptr;
        IDirect3DRMMesh* mesh = nullptr;
        IDirect3DRMFrame* shown = nullptr;
        if (visual->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&builder)) >= 0 && builder) {
            if (builder->GetVertexCount() > 0 && builder->GetBox(&box) >= 0) addBox(box, world);
            builder->Release();
        } else if (visual->QueryInterface(IID_IDirect3DRMMesh, reinterpret_cast<void**>(&mesh)) >= 0 && mesh) {
            if (hasVertices(mesh) && mesh->GetBox(&box) >= 0) addBox(box, world);
            mesh->Release();
        } else if (visual->QueryInterface(IID_IDirect3DRMFrame, reinterpret_cast<void**>(&shown)) >= 0 && shown) {
            if (shown != skip_) addTree(shown, multiply(localMatrix(shown), world), depth + 1);
            shown->Release();
        }
    }

    static bool hasVertices(IDirect3DRMMesh* mesh) {
        for (unsigned g = 0; g < mesh->GetGroupCount(); ++g) {
            unsigned vertices = 0, faces = 0, perFace = 0;
            DWORD dataSize = 0;
            if (mesh->GetGroup(g, &vertices, &faces, &perFace, &dataSize, nullptr) >= 0 && vertices > 0) return true;
        }
        return false;
    }

    // The visual's box carried into the world by its corners.
    void addBox(const D3DRMBOX& box, const Matrix& m) {
        for (int corner = 0; corner < 8; ++corner) {
            const double x = corner & 1 ? box.max.x : box.min.x;
            const double y = corner & 2 ? box.max.y : box.min.y;
            const double z = corner & 4 ? box.max.z : box.min.z;
            const Vec p{x * m[0][0] + y * m[1][0] + z * m[2][0] + m[3][0],
                        x * m[0][1] + y * m[1][1] + z * m[2][1] + m[3][1],
                        x * m[0][2] + y * m[1][2] + z * m[2][2] + m[3][2]};
            // A broken model (infinite or undefined coordinates) cannot be framed.
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) continue;
            if (!any_) lo_ = hi_ = p, any_ = true;
            lo_ = {std::min(lo_.x, p.x), std::min(lo_.y, p.y), std::min(lo_.z, p.z)};
            hi_ = {std::max(hi_.x, p.x), std::max(hi_.y, p.y), std::max(hi_.z, p.z)};
        }
    }

    IDirect3DRMFrame* skip_;
    std::vector<IDirect3DRMFrame*> path_;
    bool any_ = false;
    Vec lo_{}, hi_{};
};

}  // namespace

int frameTreeBox(IDirect3DRMFrame* frame, IDirect3DRMFrame* skip, D3DRMBOX* box) {
    if (!frame || !box || frame == skip) return 0;
    BoxBuilder builder(skip);
    builder.addTree(frame, worldMatrix(frame), 0);
    return builder.result(box) ? 1 : 0;
}

int fitBoxInView(IDirect3DRMFrame* camera, IDirect3DRMViewport* viewport, const D3DRMBOX& box) {
    if (!camera || !viewport) return 0;
    const double width = viewport->GetWidth(), height = viewport->GetHeight();
    double front = 0, back = 0;
    picturePlanes(viewport, &front, &back);
    if (width <= 0 || height <= 0 || !(front > 0) || !(back > front)) return 0;
    const HalfExtent k = halfExtent(viewport);
    const double kx = k.x * (1 - kFramingMargin), ky = k.y * (1 - kFramingMargin);

    D3DVECTOR position, dirValue, upValue, rightValue;
    if (camera->GetPosition(nullptr, &position) < 0 || camera->GetOrientation(nullptr, &dirValue, &upValue) < 0)
        return 0;
    D3DRMVectorCrossProduct(&rightValue, &upValue, &dirValue);
    D3DRMVectorNormalize(&rightValue);
    const Vec eye = of(position), dir = of(dirValue), up = of(upValue), right = of(rightValue);

    // In the camera's axes, a corner (x, y, z) is in the picture when |x - tx| <= kx (z - tz)
    // and |y - ty| <= ky (z - tz). The nearest camera place that holds every corner is where
    // the lowest of z - x / kx and of z + x / kx meet (and the same for y).
    constexpr double kHuge = std::numeric_limits<double>::max();
    double minA = kHuge, minB = kHuge, minC = kHuge, minD = kHuge, nearZ = kHuge, farZ = -kHuge;
    for (int corner = 0; corner < 8; ++corner) {
        const Vec p{corner & 1 ? box.max.x : box.min.x, corner & 2 ? box.max.y : box.min.y,
                    corner & 4 ? box.max.z : box.min.z};
        const Vec d = p - eye;
        const double x = dot(d, right), y = dot(d, up), z = dot(d, dir);
        minA = std::min(minA, z - x / kx);
        minB = std::min(minB, z + x / kx);
        minC = std::min(minC, z - y / ky);
        minD = std::min(minD, z + y / ky);
        nearZ = std::min(nearZ, z);
        farZ = std::max(farZ, z);
    }
    const double tx = kx * (minB - minA) / 2, ty = ky * (minD - minC) / 2;
    double tz = std::min((minA + minB) / 2, (minC + minD) / 2);
    if (!std::isfinite(tx) || !std::isfinite(ty) || !std::isfinite(tz)) return 0;
    // A box without width or height (a point, a line along the view) is seen from the
    // front plane.
    if (!(nearZ - tz > 1e-6 * std::max(1.0, farZ - nearZ))) tz = nearZ - front * 1.01;

    // Planes that cannot hold the box whole move: the front one nearer for a small box,
    // the back one farther for a large or deep one, keeping the depth buffer's range sane.
    const double nearDepth = nearZ - tz, farDepth = farZ - tz;
    if (nearDepth < front * 1.01 || farDepth > back * 0.99) {
        double newFront = std::min(front, nearDepth * 0.99), newBack = std::max(back, farDepth * 1.01);
        if (newBack / newFront > kMaxPlaneRatio) newFront = std::min(nearDepth * 0.99, newBack / kMaxPlaneRatio);
        if (newBack / newFront > kMaxPlaneRatio) newBack = std::max(farDepth * 1.01, newFront * kMaxPlaneRatio);
        // Deeper than the range allows: the nearest part is cut off.
        if (newBack / newFront > kMaxPlaneRatio) newFront = newBack / kMaxPlaneRatio;
        if (std::isfinite(newFront) && std::isfinite(newBack) && newFront > 0 && newBack > newFront)
            setFramedPlanes(viewport, float(newFront), float(newBack));
    }

    const Vec to{eye.x + tx * right.x + ty * up.x + tz * dir.x, eye.y + tx * right.y + ty * up.y + tz * dir.y,
                 eye.z + tx * right.z + ty * up.z + tz * dir.z};
    return camera->SetPosition(nullptr, D3DVALUE(to.x), D3DVALUE(to.y), D3DVALUE(to.z)) >= 0 ? 1 : 0;
}

bool boxComfortablyInView(IDirect3DRMFrame* camera, IDirect3DRMViewport* viewport, const D3DRMBOX& box) {
    if (!camera || !viewport || viewport->GetWidth() == 0 || viewport->GetHeight() == 0) return true;
    double front = 0, back = 0;
    picturePlanes(viewport, &front, &back);
    const HalfExtent k = halfExtent(viewport);
    D3DVECTOR position, dirValue, upValue, rightValue;
    if (camera->GetPosition(nullptr, &position) < 0 || camera->GetOrientation(nullptr, &dirValue, &upValue) < 0)
        return true;
    D3DRMVectorCrossProduct(&rightValue, &upValue, &dirValue);
    D3DRMVectorNormalize(&rightValue);
    const Vec eye = of(position), dir = of(dirValue), up = of(upValue), right = of(rightValue);

    // The projected box, in units of the picture's half extent (the picture is -1 to 1).
    double left = 1e300, rightmost = -1e300, bottom = 1e300, top = -1e300, nearZ = 1e300;
    for (int corner = 0; corner < 8; ++corner) {
        const Vec p{corner & 1 ? box.max.x : box.min.x, corner & 2 ? box.max.y : box.min.y,
                    corner & 4 ? box.max.z : box.min.z};
        const Vec d = p - eye;
        const double z = dot(d, dir);
        // Reaching behind the camera (or holding it): it covers the picture.
        if (!(z > 0)) return false;
        const double u = dot(d, right) / (z * k.x), v = dot(d, up) / (z * k.y);
        left = std::min(left, u), rightmost = std::max(rightmost, u);
        bottom = std::min(bottom, v), top = std::max(top, v);
        nearZ = std::min(nearZ, z);
    }
    if (nearZ > back) return false;
    constexpr double kSpeck = 2.0 / 50;
    if (rightmost - left < kSpeck && top - bottom < kSpeck) return false;
    if (left <= -1 && rightmost >= 1 && bottom <= -1 && top >= 1) return false;
    const double insideWidth = std::max(0.0, std::min(rightmost, 1.0) - std::max(left, -1.0));
    const double insideHeight = std::max(0.0, std::min(top, 1.0) - std::max(bottom, -1.0));
    const double area = (rightmost - left) * (top - bottom);
    // A flat projection (a line) counts by its length, where it crosses the picture at all.
    if (area <= 0) {
        const bool across = rightmost > left ? bottom >= -1 && top <= 1 : left >= -1 && rightmost <= 1;
        const double length = (rightmost - left) + (top - bottom);
        return across && length > 0 && 2 * (insideWidth + insideHeight) >= length;
    }
    return 2 * insideWidth * insideHeight >= area;
}
