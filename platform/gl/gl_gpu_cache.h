// The GPU copies of mesh builders, meshes and textures, shared by all OpenGL devices in the
// one GL context: made again only when the object's version changes, dropped when no
// render has drawn them for a while.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/gl/gl_mesh_build.h"
#include "platform/gl/gl_renderer.h"
#include "platform/rm/rm_internal.h"

namespace gldevice {

struct MeshEntry {
    uint64_t version = 0;
    uint64_t poseVersion = 0;  // 0: the builder's own (rest) geometry
    uint64_t textureStamp = 0;
    uint64_t lastUsed = 0;
    std::unique_ptr<gl::GpuMesh> mesh;
};

struct TextureEntry {
    uint64_t version = 0;
    uint64_t lastUsed = 0;
    std::shared_ptr<gl::GpuTexture> texture;
};

// Everything that lives in the one GL context and is shared by the devices.
struct Shared {
    std::unique_ptr<gl::Renderer> renderer;
    std::unordered_map<uint64_t, MeshEntry> meshes;
    std::unordered_map<uint64_t, TextureEntry> textures;
    uint64_t renderCount = 0;
};


Shared& shared();

// Every 64th render, drops the copies not drawn for a while (their objects may be gone).
void evictUnused();

// The GPU copy of a texture (null for none or one without pixels).
std::shared_ptr<gl::GpuTexture> gpuTexture(IDirect3DRMTexture* texture);

// The GPU copy of a mesh builder (rm::MeshBuilderData) or mesh (rm::MeshData) visual, with
// at least the extras asked for; a skinned builder's pose, when given, replaces its rest
// geometry. Null when the visual is too big to draw.
template <class Data>
const gl::GpuMesh* gpuMesh(IDirect3DRMVisual* visual, const Data& data, const std::vector<IDirect3DRMTexture*>& textures,
                           Extras wanted, const rm::SkinPose* pose = nullptr);

}  // namespace gldevice
