// Loads a .x file as the window's Open Frame and Open Animation do (a frame hierarchy, then
// an animation set under a frame, posed at a few times), without a window, for the hostile
// files bench to time: bench_open_frame frame|animation FILE. Exit status 0 when it loaded.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/rm/d3drm.h"

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "frame") != 0 && std::strcmp(argv[1], "animation") != 0)) {
        std::fprintf(stderr, "usage: bench_open_frame frame|animation FILE\n");
        return 2;
    }
    IDirect3DRM* d3drm = nullptr;
    if (Direct3DRMCreate(&d3drm) != D3DRM_OK) return 2;
    IDirect3DRMFrame* scene = nullptr;
    d3drm->CreateFrame(nullptr, &scene);
    HRESULT hr;
    if (std::strcmp(argv[1], "frame") == 0) {
        hr = scene->Load(argv[2], nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr);
    } else {
        IDirect3DRMAnimationSet* set = nullptr;
        d3drm->CreateAnimationSet(&set);
        hr = set->Load(argv[2], nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr, scene);
        if (hr == D3DRM_OK)
            for (float t : {0.0f, 0.5f, 100.0f, 1e6f}) set->SetTime(t);
        set->Release();
    }
    scene->Release();
    d3drm->Release();
    return hr == D3DRM_OK ? 0 : 1;
}
