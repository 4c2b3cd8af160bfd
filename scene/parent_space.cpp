#include "scene/parent_space.h"

#include <cmath>
#include <cstring>

namespace {

void multiplyInto(D3DRMMATRIX4D a, const D3DRMMATRIX4D b) {
    D3DRMMATRIX4D r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            D3DVALUE s = 0;
            for (int k = 0; k < 4; ++k) s += a[i][k] * b[k][j];
            r[i][j] = s;
        }
    std::memcpy(a, r, sizeof r);
}

// The frame's parent, with the reference GetParent added; null for a root.
IDirect3DRMFrame* parentOf(IDirect3DRMFrame* frame) {
    IDirect3DRMFrame* parent = nullptr;
    if (frame->GetParent(&parent) < 0) return nullptr;
    return parent;
}

}  // namespace

IDirect3DRMFrame* hierarchyParent(IDirect3DRMFrame* frame) {
    IDirect3DRMFrame* parent = frame != nullptr ? parentOf(frame) : nullptr;
    if (parent == nullptr) return nullptr;
    IDirect3DRMFrame* above = parentOf(parent);
    if (above == nullptr) {
        parent->Release();  // the scene itself
        return nullptr;
    }
    above->Release();
    return parent;
}

bool parentToScene(IDirect3DRMFrame* frame, D3DRMMATRIX4D toScene) {
    IDirect3DRMFrame* parent = hierarchyParent(frame);
    if (parent == nullptr) return false;
    IDirect3DRMFrame* above = parentOf(parent);
    parent->GetTransform(toScene);
    parent->Release();
    // Up to, but not including, the scene: its own transform is where "scene space" is.
    for (int depth = 0; above != nullptr && depth < 256; ++depth) {
        IDirect3DRMFrame* next = parentOf(above);
        if (next != nullptr) {
            D3DRMMATRIX4D local;
            above->GetTransform(local);
            multiplyInto(toScene, local);
        }
        above->Release();
        above = next;
    }
    if (above != nullptr) above->Release();
    return true;
}

D3DVECTOR transformedPoint(const D3DRMMATRIX4D m, D3DVECTOR p) {
    D3DVECTOR d = transformedDirection(m, p);
    d.x += m[3][0];
    d.y += m[3][1];
    d.z += m[3][2];
    return d;
}

D3DVECTOR transformedDirection(const D3DRMMATRIX4D m, D3DVECTOR d) {
    D3DVECTOR r;
    r.x = d.x * m[0][0] + d.y * m[1][0] + d.z * m[2][0];
    r.y = d.x * m[0][1] + d.y * m[1][1] + d.z * m[2][1];
    r.z = d.x * m[0][2] + d.y * m[1][2] + d.z * m[2][2];
    return r;
}

namespace {

D3DVALUE meanAxisLength(const D3DRMMATRIX4D toScene) {
    D3DVALUE sum = 0;
    for (int row = 0; row < 3; ++row)
        sum += std::sqrt(toScene[row][0] * toScene[row][0] + toScene[row][1] * toScene[row][1] +
                         toScene[row][2] * toScene[row][2]);
    const D3DVALUE unit = sum / 3;
    return unit > 0 && std::isfinite(unit) ? unit : 1.0f;
}

}  // namespace

D3DVALUE frameUnit(IDirect3DRMFrame* frame) {
    D3DRMMATRIX4D local;
    if (frame == nullptr || frame->GetTransform(local) < 0) return 1.0f;
    D3DRMMATRIX4D toScene;
    if (parentToScene(frame, toScene)) multiplyInto(local, toScene);
    return meanAxisLength(local);
}
