// A texture file as the viewer opens one with --any-texture: written to a file and loaded
// through IDirect3DRM::LoadTexture, which finds it, checks it is a regular file and picks
// its decoder (the JPEG, PNG and GIF libraries, stb_image for Targa and plain bitmaps, ours
// for run-length bitmaps and pixmaps). A picture that loads has the size it claims, within
// the limits, and every pixel.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/rm/texture_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static IDirect3DRM* d3drm = [] {
        rm::setAnyTextureFormat(true);
        IDirect3DRM* created = nullptr;
        if (Direct3DRMCreate(&created) != D3DRM_OK) std::abort();
        return created;
    }();
    static const std::string path = "/tmp/sollux_texture_load_fuzz_" + std::to_string(getpid());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) std::abort();
    IDirect3DRMTexture* texture = nullptr;
    if (d3drm->LoadTexture(path.c_str(), &texture) == D3DRM_OK) {
        const rm::TextureData& t = rm::textureData(texture);
        if (t.width <= 0 || t.height <= 0 || t.width > textureimage::kMaxDimension ||
            t.height > textureimage::kMaxDimension || t.rgba.size() != size_t(t.width) * size_t(t.height) * 4)
            std::abort();
        unsigned sum = 0;  // every pixel read, so that the sanitizers see uninitialised ones
        for (uint8_t v : t.rgba) sum += v;
        if (sum == 1u << 31) std::abort();
        texture->Release();
    }
    std::remove(path.c_str());
    return 0;
}
