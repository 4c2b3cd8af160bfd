// Skinned meshes from any text: loaded as a frame hierarchy and as an animation set, then
// posed at several times. Whatever the file, nothing crashes and every pose fits its
// builder.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"

namespace {

void poseAll(IDirect3DRMFrame* frame, int depth = 0) {
    if (depth > 64) return;
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame)) {
        if (rm::visualKind(v) != rm::VisualKind::MeshBuilder) continue;
        const rm::MeshBuilderData& d = *rm::meshBuilderData(v);
        if (const rm::SkinPose* pose = rm::meshBuilderPose(v))
            if (pose->positions.size() != d.positions.size() || pose->cornerNormals.size() != d.corners.size())
                std::abort();
    }
    for (IDirect3DRMFrame* child : rm::frameChildren(frame)) poseAll(child, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text = {'x', 'o', 'f', ' ', '0', '3', '0', '3', 't', 'x', 't', ' ', '0', '0', '3', '2'};
    text.insert(text.end(), data, data + size);
    D3DRMLOADMEMORY memory{text.data(), static_cast<DWORD>(text.size())};
    IDirect3DRM* d3drm = nullptr;
    if (FAILED(Direct3DRMCreate(&d3drm))) std::abort();
    IDirect3DRMFrame* holder = nullptr;
    d3drm->CreateFrame(nullptr, &holder);
    if (SUCCEEDED(holder->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr))) poseAll(holder);
    IDirect3DRMAnimationSet* set = nullptr;
    d3drm->CreateAnimationSet(&set);
    if (SUCCEEDED(set->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr, holder))) {
        for (float t : {0.0f, 1.5f, 7.0f, 1000.0f}) {
            set->SetTime(t);
            poseAll(holder);
        }
    }
    set->Release();
    holder->Release();
    d3drm->Release();
    return 0;
}
