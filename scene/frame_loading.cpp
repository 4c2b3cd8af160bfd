#include "scene/frame_loading.h"

#include <cstring>
#include <new>

#include "export/scene_export.h"
#include "platform/rm/rm_extras.h"
#include "viewer/frame_tick.h"
#include "viewer/texture_callback.h"
#include "viewer/viewer_state.h"

namespace {

constexpr D3DVALUE kFittedSize = 8.0f;
constexpr D3DVALUE kPlacedZ = 15.0f;

bool oneTickAFrame = false;

// The clock lives as long as the frame it drives; it then gives up its set.
void releaseClock(IDirect3DRMObject*, void* arg) {
    auto* clock = static_cast<AnimationClock*>(arg);
    if (clock->animationSet != nullptr) clock->animationSet->Release();
    delete clock;
}

// A scene this viewer saved (its one top frame named so) goes back where it was: that
// frame's own transform undoes the placement. Anything else is fitted.
void placeLoaded(IDirect3DRMFrame* frame, ViewerState* state) {
    const auto children = rm::frameChildren(frame);
    char name[sizeof kSavedSceneFrame] = {};
    DWORD size = sizeof name;
    if (children.size() == 1 && children[0]->GetName(&size, name) >= 0 &&
        std::strcmp(name, kSavedSceneFrame) == 0)
        frame->SetPosition(state->scene, 0.0f, 0.0f, kPlacedZ);
    else
        fitAndPlace(frame, state);
}

}  // namespace

int fitAndPlace(IDirect3DRMFrame* frame, ViewerState* state) {
    D3DRMBOX box = {};
    bool haveBox = false;
    IDirect3DRMMeshBuilder* builder = nullptr;
    if (d3drm != nullptr && d3drm->CreateMeshBuilder(&builder) >= 0 && builder != nullptr) {
        if (builder->AddFrame(frame) >= 0 && builder->GetBox(&box) >= 0) haveBox = true;
        builder->Release();
    }

    D3DVALUE size = box.max.x - box.min.x;
    if (box.max.y - box.min.y > size) size = box.max.y - box.min.y;
    if (box.max.z - box.min.z > size) size = box.max.z - box.min.z;
    // Geometry without extent (or none at all) would make the factor infinite: keep 1.
    if (haveBox && size > 0.0f) {
        const D3DVALUE s = kFittedSize / size;
        frame->AddScale(D3DRMCOMBINE_BEFORE, s, s, s);
    }
    frame->SetPosition(state->scene, 0.0f, 0.0f, kPlacedZ);
    return 1;
}

void setAnimationOneTickAFrame(bool on) { oneTickAFrame = on; }
bool animationOneTickAFrame() { return oneTickAFrame; }

void advanceAnimation(IDirect3DRMFrame*, void* arg, D3DVALUE delta) {
    auto* clock = static_cast<AnimationClock*>(arg);
    clock->animationSet->SetTime(static_cast<D3DVALUE>(clock->time));
    if (clock->ticksPerSecond == 0 || oneTickAFrame)
        clock->time += delta;
    else
        clock->time += double(delta) * clock->ticksPerSecond * currentFrameSeconds();
}

int attachAnimationClock(IDirect3DRMFrame* frame, IDirect3DRMAnimationSet* animationSet) {
    auto* clock =
        new (std::nothrow) AnimationClock{animationSet, 0.0, rm::animationSetTicksPerSecond(animationSet)};
    if (clock == nullptr) return 0;
    if (frame->AddMoveCallback(advanceAnimation, clock) < 0) {
        delete clock;
        return 0;
    }
    animationSet->AddRef();
    frame->AddDestroyCallback(releaseClock, clock);
    return 1;
}

int loadAnimationFile(const char* path, ViewerState* state) {
    IDirect3DRMFrame* frame = nullptr;
    if (d3drm->CreateFrame(state->scene, &frame) < 0 || frame == nullptr) return 0;
    IDirect3DRMAnimationSet* set = nullptr;
    if (d3drm->CreateAnimationSet(&set) < 0 || set == nullptr) {
        frame->Release();
        return 0;
    }
    if (set->Load(const_cast<char*>(path), nullptr, D3DRMLOAD_FROMFILE, loadTextureCallback,
                  nullptr, frame) < 0) {
        set->Release();
        frame->Release();
        return 0;
    }
    placeLoaded(frame, state);
    attachAnimationClock(frame, set);
    set->Release();    // the clock holds its own reference
    frame->Release();  // the scene keeps the frame
    return 1;
}

int loadFrameFile(const char* path, ViewerState* state) {
    IDirect3DRMFrame* frame = nullptr;
    if (d3drm->CreateFrame(state->scene, &frame) < 0 || frame == nullptr) return 0;
    const bool loaded = frame->Load(const_cast<char*>(path), nullptr, D3DRMLOAD_FROMFILE,
                                    loadTextureCallback, nullptr) >= 0;
    if (loaded) placeLoaded(frame, state);
    frame->Release();
    return loaded ? 1 : 0;
}
