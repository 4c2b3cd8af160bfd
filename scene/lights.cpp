#include "scene/lights.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "report/report_error.h"
#include "viewer/result_name.h"
#include "viewer/viewer_state.h"

namespace {

struct LightKind {
    D3DRMLIGHTTYPE type;
    const char* modelFile;
    bool shrink;  // the sphere is shown at a fifth of its size
    const char* loadFailure;
};

constexpr LightKind kLightKinds[] = {
    {D3DRMLIGHT_DIRECTIONAL, "camera.x", false,
     "Failed to load camera.x.\n%s"},
    {D3DRMLIGHT_PARALLELPOINT, "sphere2.x", true,
     "Failed to load sphere2.x.\n%s"},
    {D3DRMLIGHT_POINT, "sphere2.x", true, "Failed to load sphere2.x.\n%s"},
    {D3DRMLIGHT_SPOT, "camera.x", false, "Failed to load camera.x.\n%s"},
};

constexpr D3DVALUE kModelScale = 0.2f;
constexpr D3DVALUE kDistanceAhead = 10.0f;

// Each ';'-separated folder of d3drm's search path.
std::vector<std::string> searchFolders(IDirect3DRM* rm) {
    std::vector<std::string> folders;
    DWORD size = 0;
    if (rm->GetSearchPath(&size, nullptr) < 0 || size == 0) return folders;
    std::vector<char> buffer(size + 1, '\0');
    if (rm->GetSearchPath(&size, buffer.data()) < 0) return folders;
    const std::string path = buffer.data();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(';', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// A bare model name is looked for in the current folder, then along the search path, as
// textures are; the Open dialogs move the current folder away from the program's.
HRESULT loadModel(IDirect3DRMMeshBuilder* builder, const char* name) {
    const HRESULT first =
        builder->Load(const_cast<char*>(name), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr);
    if (first != D3DRMERR_FILENOTFOUND) return first;
    for (const std::string& folder : searchFolders(d3drm)) {
        std::string candidate = folder + "/" + name;
        const HRESULT again =
            builder->Load(candidate.data(), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr);
        if (again != D3DRMERR_FILENOTFOUND) return again;
    }
    return first;
}

}  // namespace

void addProgramFolderToSearchPath(IDirect3DRM* rm) {
    if (rm == nullptr) return;
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !exe.has_parent_path()) return;
    // Beside the executable in a build folder; under share/ once installed.
    std::vector<std::string> folders{exe.parent_path().string()};
    const std::filesystem::path shared = (exe.parent_path() / "../share/solluxviewer").lexically_normal();
    if (std::filesystem::is_directory(shared, error)) folders.push_back(shared.string());

    const std::vector<std::string> present = searchFolders(rm);
    for (const std::string& folder : folders)
        if (std::find(present.begin(), present.end(), folder) == present.end()) rm->AddSearchPath(folder.c_str());
}

int createLight(D3DRMLIGHTTYPE type, ViewerState* state) {
    const LightKind* kind = nullptr;
    for (const LightKind& k : kLightKinds)
        if (k.type == type) kind = &k;
    if (kind == nullptr || state == nullptr || d3drm == nullptr) return 0;

    addProgramFolderToSearchPath(d3drm);

    IDirect3DRMMeshBuilder* builder = nullptr;
    IDirect3DRMLight* light = nullptr;
    IDirect3DRMFrame* frame = nullptr;
    bool ok = false;
    bool reported = false;

    if (d3drm->CreateMeshBuilder(&builder) >= 0 && builder != nullptr) {
        const HRESULT loaded = loadModel(builder, kind->modelFile);
        if (loaded != D3DRM_OK) {
            reportError(kind->loadFailure, resultName(loaded));
            reported = true;
        } else if (builder->SetQuality(D3DRMRENDER_UNLITFLAT) >= 0 &&
                   (!kind->shrink || builder->Scale(kModelScale, kModelScale, kModelScale) >= 0) &&
                   d3drm->CreateLightRGB(kind->type, 1.0f, 1.0f, 1.0f, &light) >= 0 &&
                   light != nullptr && d3drm->CreateFrame(state->scene, &frame) >= 0 &&
                   frame != nullptr &&
                   frame->SetPosition(state->camera, 0.0f, 0.0f, kDistanceAhead) >= 0 &&
                   frame->AddVisual(builder) >= 0 && frame->AddLight(light) >= 0) {
            ok = true;
        }
    }
    if (!ok && !reported) reportError("A failure occurred while creating a new light.\n");

    if (builder != nullptr) builder->Release();
    if (light != nullptr) light->Release();
    if (frame != nullptr) frame->Release();
    return ok ? 1 : 0;
}
