// Saving what the viewer holds: the scene (or one model file, whole) as a DirectX .x text
// file or as glTF 2.0 (binary .glb, or .gltf with one .bin and the pictures beside it).
#pragma once

#include <string>
#include <vector>

#include "platform/rm/d3drm.h"

struct ExportAnimationSet {
    IDirect3DRMAnimationSet* set = nullptr;  // borrowed
    std::string name;
    double ticksPerSecond = 0;  // 0: the file declared none (a tick is then 1/60 s)
};

struct ExportScene {
    IDirect3DRMFrame* root =
        nullptr;  // borrowed; its frames and visuals are written in world coordinates
    std::vector<ExportAnimationSet> animationSets;
    // glTF only: the camera (written as a glTF camera on its node) and its viewport.
    IDirect3DRMFrame* camera = nullptr;
    IDirect3DRMViewport* viewport = nullptr;
    std::vector<IDirect3DRMVisual*>
        leaveOut;  // visuals that are not part of the model (the marker)
    // .x: every frame under one top-level frame, named kSavedSceneFrame, and every
    // animation set merged into one, which is what Open Frame and Open Animation read back.
    bool oneTopFrame = false;
    // .x: the translation of that top-level frame (undoes the viewer's placement).
    D3DVECTOR topFrameOffset{0, 0, 0};
    bool progress = false;  // progress on standard error for big models
};

// The top-level frame a saved scene is written under. Open Frame and Open Animation put a
// file whose first frame has this name back where it was saved, without fitting it.
inline constexpr char kSavedSceneFrame[] = "SolluxViewerSavedScene";

enum class ExportFormat { Glb, Gltf, X, Unknown };
// By the name's ending, without regard to case.
ExportFormat exportFormatOf(const std::string& path);

// Writes the scene to `path` in the format its name says. Everything is written under
// temporary names beside it and renamed at the end: after a failure nothing of that name
// is left and `error` says why.
bool exportScene(const ExportScene& scene, const std::string& path, std::string& error);
