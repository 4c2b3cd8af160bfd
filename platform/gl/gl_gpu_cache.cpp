#include "platform/gl/gl_gpu_cache.h"

#include "platform/gl/gl_device.h"
#include "platform/gl/gl_mesh_build.h"
#include "platform/rm/big_memory.h"

namespace gldevice {

namespace {

unsigned long uploadCount = 0;

}  // namespace

Shared& shared() {
    static Shared s;
    return s;
}

// GPU copies not drawn for this many renders are dropped (their objects may be gone).
constexpr uint64_t kEvictAfter = 300;

void evictUnused() {
    Shared& s = shared();
    if (s.renderCount % 64 != 0) return;
    for (auto it = s.meshes.begin(); it != s.meshes.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.meshes.erase(it) : std::next(it);
    for (auto it = s.textures.begin(); it != s.textures.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.textures.erase(it) : std::next(it);
}

std::shared_ptr<gl::GpuTexture> gpuTexture(IDirect3DRMTexture* texture) {
    if (!texture) return nullptr;
    const rm::TextureData& data = rm::textureData(texture);
    if (data.width <= 0 || data.height <= 0 || data.rgba.size() < size_t(data.width) * size_t(data.height) * 4)
        return nullptr;
    Shared& s = shared();
    TextureEntry& e = s.textures[rm::objectSerial(texture)];
    e.lastUsed = s.renderCount;
    if (!e.texture || e.version != data.version) {
        e.texture = std::make_shared<gl::GpuTexture>(data.rgba.data(), data.width, data.height);
        e.version = data.version;
    }
    return e.texture;
}

uint64_t textureStamp(const std::vector<IDirect3DRMTexture*>& textures) {
    uint64_t stamp = 0;
    for (IDirect3DRMTexture* t : textures)
        if (t) stamp = stamp * 1000003u + rm::objectSerial(t) * 31u + rm::textureData(t).version;
    return stamp;
}

constexpr size_t kBigMesh = size_t{16} << 20;

// The GPU copy of a visual, made again when the visual, its textures or its pose changed,
// or when it lacks an extra asked for (extras it has stay while only the pose changes).
template <class Data>
const gl::GpuMesh* gpuMesh(IDirect3DRMVisual* visual, const Data& data, const std::vector<IDirect3DRMTexture*>& textures,
                           Extras wanted, const rm::SkinPose* pose) {
    Shared& s = shared();
    MeshEntry& e = s.meshes[rm::objectSerial(visual)];
    e.lastUsed = s.renderCount;
    const uint64_t stamp = textureStamp(textures);
    const uint64_t poseVersion = pose ? pose->version : 0;
    const bool same = e.mesh && e.version == data.version && e.textureStamp == stamp;
    if (!same || e.poseVersion != poseVersion || (wanted.edges && !e.mesh->hasEdges()) ||
        (wanted.records && !e.mesh->hasRecords()) || (wanted.normals && !e.mesh->hasNormals())) {
        if (same) {
            wanted.edges = wanted.edges || e.mesh->hasEdges();
            wanted.records = wanted.records || e.mesh->hasRecords();
            wanted.normals = wanted.normals || e.mesh->hasNormals();
        }
        e.mesh.reset();
        e.mesh = buildMesh(data, pose, wanted);
        // What building a big GPU copy needed for a while goes back to the system.
        if (e.mesh && e.mesh->byteSize() >= kBigMesh) rm::giveBackFreedMemory();
        e.version = data.version;
        e.textureStamp = stamp;
        e.poseVersion = poseVersion;
        ++uploadCount;
    }
    return e.mesh.get();
}

template const gl::GpuMesh* gpuMesh(IDirect3DRMVisual*, const rm::MeshBuilderData&,
                                    const std::vector<IDirect3DRMTexture*>&, Extras, const rm::SkinPose*);
template const gl::GpuMesh* gpuMesh(IDirect3DRMVisual*, const rm::MeshData&, const std::vector<IDirect3DRMTexture*>&,
                                    Extras, const rm::SkinPose*);

}  // namespace gldevice

unsigned long glGeometryUploadCount() { return gldevice::uploadCount; }
