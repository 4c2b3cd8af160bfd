#include "scene/selection.h"

#include <cmath>

#include "scene/parent_space.h"
#include "viewer/viewer_state.h"

SelectionState selectionState = {};

// (vertex, normal) pairs; the caps take the radial normals of their corners.
// clang-format off
const DWORD tubeFaceData[] = {
    8, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0,
    4, 0, 0, 1, 1, 9, 1, 8, 0,
    4, 1, 1, 2, 2, 10, 2, 9, 1,
    4, 2, 2, 3, 3, 11, 3, 10, 2,
    4, 3, 3, 4, 4, 12, 4, 11, 3,
    4, 4, 4, 5, 5, 13, 5, 12, 4,
    4, 5, 5, 6, 6, 14, 6, 13, 5,
    4, 6, 6, 7, 7, 15, 7, 14, 6,
    4, 7, 7, 0, 0, 8, 0, 15, 7,
    8, 8, 0, 9, 1, 10, 2, 11, 3, 12, 4, 13, 5, 14, 6, 15, 7,
    0,
};

// The tip (vertex 8) takes normal 1 in every side.
const DWORD coneFaceData[] = {
    8, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0,
    3, 0, 0, 1, 1, 8, 1,
    3, 1, 1, 2, 2, 8, 1,
    3, 2, 2, 3, 3, 8, 1,
    3, 3, 3, 4, 4, 8, 1,
    3, 4, 4, 5, 5, 8, 1,
    3, 5, 5, 6, 6, 8, 1,
    3, 6, 6, 7, 7, 8, 1,
    3, 7, 7, 0, 0, 8, 1,
    0,
};
// clang-format on

namespace {

D3DVECTOR vec(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    D3DVECTOR v;
    v.x = x;
    v.y = y;
    v.z = z;
    return v;
}

D3DVECTOR add(D3DVECTOR a, D3DVECTOR b) { return vec(a.x + b.x, a.y + b.y, a.z + b.z); }
D3DVECTOR scaled(D3DVECTOR a, D3DVALUE s) { return vec(a.x * s, a.y * s, a.z * s); }

// Corner offsets p0..p7 of the octagon of apothem `radius` around the segment a -> b,
// and their normals.
void octagonAround(D3DVALUE radius, D3DVECTOR a, D3DVECTOR b, D3DVECTOR corners[8],
                   D3DVECTOR normals[8]) {
    // A segment of length 0 (an edge of a flat box) normalises to the x axis, so its
    // tube collapses to a flat octagon.
    D3DVECTOR d = vec(b.x - a.x, b.y - a.y, b.z - a.z);
    D3DRMVectorNormalize(&d);

    // u lies in the plane x = 0; comparisons with 0 treat -0.0 as zero.
    D3DVECTOR u;
    if (d.y == 0.0f && d.z == 0.0f) {
        u = vec(0.0f, 0.0f, 1.0f);
    } else if (d.y == 0.0f) {
        u = vec(0.0f, 1.0f, 0.0f);
    } else {
        const D3DVALUE t = std::sqrt(1.0f / (d.z * d.z / (d.y * d.y) + 1.0f));
        u = vec(0.0f, -d.z * t / d.y, t);
    }
    D3DVECTOR v;
    D3DRMVectorCrossProduct(&v, &d, &u);
    u = scaled(u, radius);
    v = scaled(v, radius);

    const D3DVALUE k = std::sqrt(2.0f) / ((0.5f * std::sqrt(2.0f) + 1.0f) * 2.0f);
    corners[0] = add(u, scaled(v, k));
    corners[1] = add(v, scaled(u, k));
    corners[2] = add(v, scaled(u, -k));
    corners[3] = add(scaled(u, -1.0f), scaled(v, k));
    corners[4] = add(scaled(u, -1.0f), scaled(v, -k));
    corners[5] = add(scaled(v, -1.0f), scaled(u, -k));
    corners[6] = add(scaled(v, -1.0f), scaled(u, k));
    corners[7] = add(u, scaled(v, -k));
    for (int i = 0; i < 8; ++i) {
        normals[i] = corners[i];
        D3DRMVectorNormalize(&normals[i]);
    }
}

}  // namespace

void addTube(IDirect3DRMMeshBuilder* builder, D3DVALUE radius, D3DVECTOR from, D3DVECTOR to) {
    D3DVECTOR corners[8], normals[8], vertices[kTubeVertexCount];
    octagonAround(radius, from, to, corners, normals);
    for (int i = 0; i < 8; ++i) {
        vertices[i] = add(from, corners[i]);
        vertices[8 + i] = add(to, corners[i]);
    }
    builder->AddFaces(kTubeVertexCount, vertices, kTubeNormalCount, normals,
                      const_cast<DWORD*>(tubeFaceData), nullptr);
}

void addCone(IDirect3DRMMeshBuilder* builder, D3DVALUE radius, D3DVECTOR baseCentre,
             D3DVECTOR tip) {
    D3DVECTOR corners[8], normals[8], vertices[kConeVertexCount];
    octagonAround(radius, baseCentre, tip, corners, normals);
    for (int i = 0; i < 8; ++i) vertices[i] = add(baseCentre, corners[i]);
    vertices[8] = tip;
    builder->AddFaces(kConeVertexCount, vertices, kConeNormalCount, normals,
                      const_cast<DWORD*>(coneFaceData), nullptr);
}

IDirect3DRMMeshBuilder* buildSelectionMarker(D3DRMBOX box, D3DVALUE unit) {
    IDirect3DRMMeshBuilder* builder = nullptr;
    if (d3drm == nullptr || d3drm->CreateMeshBuilder(&builder) < 0 || builder == nullptr)
        return nullptr;

    const D3DVECTOR lo = box.min, hi = box.max;
    const D3DVALUE tipBase = hi.z + kMarkerShaftOverhang / unit;
    const D3DVALUE r = kMarkerTubeRadius / unit;

    // The arrow starts at the frame's origin whatever the box and points along +z.
    addTube(builder, r, vec(0, 0, 0), vec(0, 0, tipBase));
    addCone(builder, kMarkerArrowheadRadius / unit, vec(0, 0, tipBase),
            vec(0, 0, tipBase + kMarkerArrowheadLength / unit));

    addTube(builder, r, vec(lo.x, lo.y, lo.z), vec(lo.x, hi.y, lo.z));
    addTube(builder, r, vec(lo.x, hi.y, lo.z), vec(hi.x, hi.y, lo.z));
    addTube(builder, r, vec(hi.x, hi.y, lo.z), vec(hi.x, lo.y, lo.z));
    addTube(builder, r, vec(hi.x, lo.y, lo.z), vec(lo.x, lo.y, lo.z));
    addTube(builder, r, vec(lo.x, lo.y, lo.z), vec(lo.x, lo.y, hi.z));
    addTube(builder, r, vec(lo.x, lo.y, hi.z), vec(hi.x, lo.y, hi.z));
    addTube(builder, r, vec(hi.x, lo.y, hi.z), vec(hi.x, hi.y, hi.z));
    addTube(builder, r, vec(hi.x, hi.y, hi.z), vec(lo.x, hi.y, hi.z));
    addTube(builder, r, vec(lo.x, hi.y, hi.z), vec(lo.x, lo.y, hi.z));
    addTube(builder, r, vec(lo.x, hi.y, hi.z), vec(lo.x, hi.y, lo.z));
    addTube(builder, r, vec(hi.x, hi.y, hi.z), vec(hi.x, hi.y, lo.z));
    addTube(builder, r, vec(hi.x, lo.y, hi.z), vec(hi.x, lo.y, lo.z));

    builder->SetColor(D3DRMCreateColorRGB(1.0f, 1.0f, 1.0f));
    return builder;
}

void clearSelection() {
    SelectionState& s = selectionState;
    if (s.selectedFrame != nullptr && s.markerMesh != nullptr)
        s.selectedFrame->DeleteVisual(s.markerMesh);
    s.selectedFrame = nullptr;
    s.selectedVisual = nullptr;
    s.markerMesh = nullptr;
}

void selectVisual(IDirect3DRMMeshBuilder* visual, IDirect3DRMFrame* frame) {
    SelectionState& s = selectionState;
    clearSelection();
    s.selectedVisual = visual;
    s.selectedFrame = frame;
    if (visual == nullptr || frame == nullptr) {
        // A visual without its frame cannot carry a marker; select nothing.
        s.selectedVisual = nullptr;
        s.selectedFrame = nullptr;
        return;
    }

    s.selectedLight = nullptr;
    IDirect3DRMLightArray* lights = nullptr;
    if (frame->GetLights(&lights) >= 0 && lights != nullptr) {
        if (lights->GetSize() != 0) {
            IDirect3DRMLight* light = nullptr;
            if (lights->GetElement(0, &light) >= 0 && light != nullptr) {
                s.selectedLight = light;
                light->Release();  // borrowed: the frame keeps it
            }
        }
        lights->Release();
    }

    if (s.showBoxes == 0) return;

    D3DRMBOX box;
    if (visual->GetBox(&box) < 0) return;
    // Every frame gets the marker a model of its own at unit scale has: the scale of its
    // parents or its own (a model fitted to the view, a pasted part) does not thicken or
    // thin it.
    IDirect3DRMMeshBuilder* marker = buildSelectionMarker(box, frameUnit(frame));
    if (marker == nullptr) return;
    IDirect3DRMMesh* mesh = nullptr;
    if (marker->CreateMesh(&mesh) < 0) mesh = nullptr;
    marker->Release();
    if (mesh == nullptr) return;
    if (frame->AddVisual(mesh) >= 0) s.markerMesh = mesh;
    mesh->Release();  // the frame holds the marker's only reference
}

void pickSelection(IDirect3DRMViewport* viewport, int x, int y) {
    clearSelection();
    if (viewport == nullptr) return;
    IDirect3DRMPickedArray* picked = nullptr;
    if (viewport->Pick(x, y, &picked) < 0 || picked == nullptr) return;
    if (picked->GetSize() == 0) {
        picked->Release();
        return;
    }

    IDirect3DRMVisual* visual = nullptr;
    IDirect3DRMFrameArray* path = nullptr;
    if (picked->GetPick(0, &visual, &path, nullptr) >= 0 && visual != nullptr && path != nullptr) {
        IDirect3DRMFrame* frame = nullptr;
        const DWORD size = path->GetSize();
        if (size != 0 && path->GetElement(size - 1, &frame) >= 0 && frame != nullptr) {
            IDirect3DRMMeshBuilder* builder = nullptr;
            if (visual->QueryInterface(IID_IDirect3DRMMeshBuilder,
                                       reinterpret_cast<void**>(&builder)) >= 0 &&
                builder != nullptr) {
                selectVisual(builder, frame);
                builder->Release();
            }
            frame->Release();
        }
    }
    if (path != nullptr) path->Release();
    if (visual != nullptr) visual->Release();
    picked->Release();
}

void setShowBoxes(int on) {
    selectionState.showBoxes = on;
    selectVisual(selectionState.selectedVisual, selectionState.selectedFrame);
}

int toggleShowBoxes() {
    setShowBoxes(selectionState.showBoxes == 0 ? 1 : 0);
    return selectionState.showBoxes;
}

IDirect3DRMFrame* getSelectedFrame() { return selectionState.selectedFrame; }
IDirect3DRMMeshBuilder* getSelectedVisual() { return selectionState.selectedVisual; }
IDirect3DRMLight* getSelectedLight() { return selectionState.selectedLight; }
