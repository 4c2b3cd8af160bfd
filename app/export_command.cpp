#include "app/export_command.h"

#include <unistd.h>

#include <cstdio>

#include "app/thumbnail.h"
#include "export/scene_export.h"
#include "platform/regular_file.h"
#include "platform/rm/rm_extras.h"
#include "platform/win/headless.h"
#include "viewer/result_name.h"

namespace {

IDirect3DRM* exportD3drm = nullptr;

// Every picture a model names is taken, whatever its format: it is written out, not drawn.
HRESULT loadAnyTexture(char* name, void*, IDirect3DRMTexture** texture) {
    return exportD3drm->LoadTexture(name, texture);
}

}  // namespace

int runExport(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fputs("solluxviewer: --export needs OUT (.glb, .gltf or .x) and MODEL\n", stderr);
        return 2;
    }
    const std::string& output = args[0];
    const std::string& input = args[1];
    if (exportFormatOf(output) == ExportFormat::Unknown) {
        std::fprintf(stderr, "solluxviewer: %s: the name must end in .glb, .gltf or .x\n",
                     output.c_str());
        return 2;
    }
    FileOpening opening;
    const int fd = openRegularFile(input.c_str(), &opening);
    if (fd < 0) {
        std::fprintf(stderr, "solluxviewer: %s\n", fileOpeningMessage(opening, input).c_str());
        return 1;
    }
    ::close(fd);
    PrivateFolder folder;
    const std::string model = privatelyConvertedModel(input, folder);
    if (model.empty()) return 1;

    winUseHeadless();
    if (FAILED(Direct3DRMCreate(&exportD3drm))) return 1;
    const bool anyFormat = rm::anyTextureFormat();
    rm::setAnyTextureFormat(true);
    IDirect3DRMFrame* root = nullptr;
    std::vector<rm::LoadedAnimationSet> loaded;
    HRESULT hr = exportD3drm->CreateFrame(nullptr, &root);
    if (SUCCEEDED(hr)) hr = rm::loadWholeFile(model.c_str(), loadAnyTexture, nullptr, root, loaded);
    rm::setAnyTextureFormat(anyFormat);
    int status = 0;
    if (FAILED(hr)) {
        std::fprintf(stderr, "solluxviewer: %s: cannot be loaded (%s)\n", input.c_str(),
                     resultName(hr));
        status = 1;
    } else {
        ExportScene scene;
        scene.root = root;
        scene.progress = true;
        for (const auto& s : loaded)
            scene.animationSets.push_back({s.set, s.name, s.ticksPerSecond});
        std::string error;
        if (!exportScene(scene, output, error)) {
            std::fprintf(stderr, "solluxviewer: %s: %s\n", output.c_str(), error.c_str());
            status = 1;
        }
    }
    for (auto& s : loaded) s.set->Release();
    if (root) root->Release();
    exportD3drm->Release();
    exportD3drm = nullptr;
    return status;
}
