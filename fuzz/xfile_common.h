// Shared by the .x fuzz targets: the body comes from the fuzzer, the header from the
// target (so each target stays on its own reader). The result must be consistent
// whatever the input: every index the reader hands out is in range, and the loaders
// build within the file's allowance.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/rm/xfile.h"

namespace xfile_fuzz {

struct MeshBuilderCounts {
    uint64_t vertices = 0, faces = 0;
};

// Vertices and faces of every mesh placement, as a merging load places them.
inline MeshBuilderCounts placedGeometry(const xfile::File& file) {
    struct Counter {
        MeshBuilderCounts c;
        void add(const xfile::Mesh& m) {
            c.vertices += m.vertices.size();
            c.faces += m.faces.size();
        }
        bool enter(const xfile::Frame& f, int) {
            for (const auto& m : f.meshes) add(m);
            return true;
        }
        void leave(const xfile::Frame&) {}
        bool cut(xfile::Cut) { return true; }
    } counter;
    for (const auto& m : file.meshes) counter.add(m);
    for (const auto& f : file.frames) xfile::placeFrames(f, counter);
    return counter.c;
}

inline void checkMesh(const xfile::Mesh& m) {
    const size_t nf = m.faces.size();
    for (size_t f = 0; f < nf; ++f) {
        if (m.faces.count(f) < 3) std::abort();
        for (uint32_t i : m.faces[f])
            if (i >= m.vertices.size()) std::abort();
    }
    if (!m.faceNormals.empty()) {
        if (m.faceNormals.size() != nf) std::abort();
        for (size_t f = 0; f < nf; ++f) {
            if (m.faceNormals.count(f) != m.faces.count(f)) std::abort();
            for (uint32_t i : m.faceNormals[f])
                if (i >= m.normals.size()) std::abort();
        }
    }
    if (!m.faceMaterials.empty()) {
        if (m.faceMaterials.size() != nf) std::abort();
        for (uint32_t i : m.faceMaterials)
            if (i >= m.materials.size()) std::abort();
    }
    if (!m.textureCoords.empty() && m.textureCoords.size() != m.vertices.size()) std::abort();
    if (!m.vertexColors.empty() && m.vertexColors.size() != m.vertices.size()) std::abort();
    // Skin weights: in range, usable, and summing to 1 for each weighted vertex.
    if (m.skinWeights.size() > m.vertices.size()) std::abort();
    std::vector<double> sum(m.vertices.size(), 0.0);
    for (const auto& bone : m.skinWeights) {
        if (bone.vertices.size() != bone.weights.size()) std::abort();
        for (size_t i = 0; i < bone.vertices.size(); ++i) {
            if (bone.vertices[i] >= m.vertices.size() || !std::isfinite(bone.weights[i]) || bone.weights[i] < 0)
                std::abort();
            sum[bone.vertices[i]] += bone.weights[i];
        }
    }
    for (double total : sum)
        if (total != 0 && std::fabs(total - 1) > 1e-3) std::abort();
}

// Each object once: references make the frames a graph with many paths to one object.
inline void checkFrame(const xfile::Frame& root) {
    std::unordered_set<const void*> seen;
    std::vector<const xfile::Frame*> todo{&root};
    while (!todo.empty()) {
        const xfile::Frame* f = todo.back();
        todo.pop_back();
        if (!seen.insert(f).second) continue;
        for (const auto& m : f->meshes)
            if (seen.insert(&m).second) checkMesh(m);
        for (const auto& c : f->children) todo.push_back(&c);
    }
}

// Parses and checks what the reader hands out; false when the file is refused.
inline bool parseChecked(const std::vector<uint8_t>& bytes, xfile::File& file) {
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    if (xfile::parse(bytes, file, nullptr, quiet) != xfile::Status::Ok) return false;
    for (const auto& m : file.meshes) checkMesh(m);
    for (const auto& f : file.frames) checkFrame(f);
    for (const auto& s : file.animationSets)
        for (const auto& a : s.animations)
            for (const auto& k : a.keys)
                if (k.times.size() != k.values.size()) std::abort();
    // What the reader accepted stays within what the loaders may build from it.
    if (!xfile::withinAllowance(file, nullptr, nullptr)) std::abort();
    return true;
}

inline void run(const char header[17], const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(header, header + 16);
    bytes.insert(bytes.end(), data, data + size);
    xfile::File file;
    parseChecked(bytes, file);
}

inline size_t framesBelow(IDirect3DRMFrame* frame) {
    size_t n = 0;
    for (IDirect3DRMFrame* c : rm::frameChildren(frame)) n += 1 + framesBelow(c);
    return n;
}

// Fuzz-named textures are never looked for on the disk.
inline HRESULT refuseTexture(char*, void*, IDirect3DRMTexture**) { return -1; }

// The loaders write the reader's warnings to standard error, line by line; buffered,
// they cost the fuzzer far fewer system calls.
inline void bufferStderr() {
    static char buffer[1 << 16];
    static const bool done = std::setvbuf(stderr, buffer, _IOFBF, sizeof buffer) == 0;
    (void)done;
}

// Runs the mesh builder, frame and animation set loads on a file the reader accepted:
// each returns a result, builds no more than the allowance, and leaves nothing behind.
inline void loadAll(std::vector<uint8_t>& bytes, const xfile::File& file) {
    bufferStderr();
    const long alive = rm::liveObjectCount();
    IDirect3DRM* d3drm = nullptr;
    if (Direct3DRMCreate(&d3drm) != D3DRM_OK) std::abort();
    D3DRMLOADMEMORY memory{bytes.data(), static_cast<DWORD>(bytes.size())};
    IDirect3DRMMeshBuilder* builder = nullptr;
    d3drm->CreateMeshBuilder(&builder);
    if (builder->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, refuseTexture, nullptr) == D3DRM_OK) {
        const MeshBuilderCounts placed = placedGeometry(file);
        if (uint64_t(builder->GetVertexCount()) > placed.vertices || uint64_t(builder->GetFaceCount()) > placed.faces)
            std::abort();
        // Reading the vertices makes the normals that loading left for later.
        DWORD vertices = 0, normals = 0, faceData = 0;
        builder->GetVertices(&vertices, nullptr, &normals, nullptr, &faceData, nullptr);
    }
    builder->Release();
    IDirect3DRMFrame* parent = nullptr;
    d3drm->CreateFrame(nullptr, &parent);
    parent->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, refuseTexture, nullptr);
    IDirect3DRMAnimationSet* set = nullptr;
    d3drm->CreateAnimationSet(&set);
    if (set->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, refuseTexture, nullptr, parent) == D3DRM_OK)
        for (float t : {0.0f, 0.5f, 7.0f, 1e9f}) set->SetTime(t);
    if (framesBelow(parent) > 2 * file.cost.limit(rm::Cost::Frames)) std::abort();  // one frame load, one animation load
    set->Release();
    parent->Release();
    d3drm->Release();
    if (rm::liveObjectCount() != alive) std::abort();
}

}  // namespace xfile_fuzz
