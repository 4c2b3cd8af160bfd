// Shared by the .x fuzz targets: the body comes from the fuzzer, the header from the
// target (so each target stays on its own reader). The result must be consistent
// whatever the input: every index the reader hands out is in range.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "platform/rm/xfile.h"

namespace xfile_fuzz {

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

inline void run(const char header[17], const uint8_t* data, size_t size) {
    std::vector<uint8_t> bytes(header, header + 16);
    bytes.insert(bytes.end(), data, data + size);
    xfile::File file;
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    if (xfile::parse(bytes, file, nullptr, quiet) != xfile::Status::Ok) return;
    for (const auto& m : file.meshes) checkMesh(m);
    for (const auto& f : file.frames) checkFrame(f);
    for (const auto& s : file.animationSets)
        for (const auto& a : s.animations)
            for (const auto& k : a.keys)
                if (k.times.size() != k.values.size()) std::abort();
}

}  // namespace xfile_fuzz
