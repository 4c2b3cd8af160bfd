#include "scene/scene_saving.h"

#include <string>

#include "export/scene_export.h"
#include "platform/rm/rm_extras.h"
#include "scene/frame_loading.h"
#include "scene/selection.h"
#include "report/report_error.h"
#include "viewer/viewer_state.h"

namespace {

// The viewer places what it loads 15 units in front of the camera; the saved file is
// centred where Open Frame will put it again.
constexpr D3DVALUE kPlacedZ = 15.0f;

// The animation sets that clocks drive, found on the frames they hang on.
void findAnimationSets(IDirect3DRMFrame* frame, std::vector<ExportAnimationSet>& sets, int depth) {
    for (const auto& [callback, arg] : rm::frameMoveCallbacks(frame))
        if (callback == advanceAnimation && arg) {
            const auto* clock = static_cast<const AnimationClock*>(arg);
            if (clock->animationSet)
                sets.push_back({clock->animationSet,
                                {},
                                double(rm::animationSetTicksPerSecond(clock->animationSet))});
        }
    if (depth < 1000)
        for (IDirect3DRMFrame* child : rm::frameChildren(frame))
            findAnimationSets(child, sets, depth + 1);
}

}  // namespace

int saveScene(const char* path, ViewerState* state) {
    if (!path || !state || !state->scene) return 0;
    ExportScene scene;
    scene.root = state->scene;
    scene.camera = state->camera;
    scene.viewport = state->viewport;
    if (selectionState.markerMesh) scene.leaveOut.push_back(selectionState.markerMesh);
    findAnimationSets(state->scene, scene.animationSets, 0);
    for (size_t i = 0; i < scene.animationSets.size(); ++i)
        scene.animationSets[i].name = "Animation" + std::to_string(i + 1);
    scene.oneTopFrame = true;
    scene.topFrameOffset = {0.0f, 0.0f, -kPlacedZ};
    std::string error;
    if (!exportScene(scene, path, error)) {
        reportError("Saving %s failed.\n%s\n", path, error.c_str());
        return 0;
    }
    return 1;
}
