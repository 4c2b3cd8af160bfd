#include "app/info_command.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_set>

#include "conversion/x_conversion.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_extras.h"
#include "platform/rm/texture_image.h"
#include "platform/rm/xfile.h"
#include "platform/win/headless.h"
#include "viewer/result_name.h"
#include "viewer/texture_callback.h"

namespace {

struct Counts {
    size_t meshes = 0, vertices = 0, faces = 0, materials = 0, frames = 0;
    std::set<std::string> textures;
};

void countMesh(const xfile::Mesh& mesh, Counts& c) {
    ++c.meshes;
    c.vertices += mesh.vertices.size();
    c.faces += mesh.faces.size();
    c.materials += mesh.materials.size();
    for (const auto& m : mesh.materials)
        if (!m.textureFilename.empty()) c.textures.insert(m.textureFilename);
}

// Counts every frame and mesh as the loaders place them: once per path through references.
void countFrame(const xfile::Frame& frame, Counts& c) {
    struct Counter {
        Counts& c;
        bool enter(const xfile::Frame& f, int) {
            ++c.frames;
            for (const auto& mesh : f.meshes) countMesh(mesh, c);
            return true;
        }
        void leave(const xfile::Frame&) {}
        bool cut(xfile::Cut) { return true; }
    } counter{c};
    xfile::placeFrames(frame, counter);
}

// Key count, key span and, with the file's declared rate, the span in seconds; without one
// the window plays a unit a frame, which at 60 frames a second is the figure given.
void describeAnimationSets(const xfile::File& file) {
    for (const auto& set : file.animationSets) {
        size_t keys = 0;
        uint32_t first = UINT32_MAX, last = 0;
        for (const auto& a : set.animations)
            for (const auto& k : a.keys) {
                keys += k.times.size();
                for (uint32_t t : k.times) first = std::min(first, t), last = std::max(last, t);
            }
        std::printf("  animation set %s%s%s: %zu keys", set.name.empty() ? "" : "'", set.name.c_str(),
                    set.name.empty() ? "(unnamed)" : "'", keys);
        if (keys == 0) {
            std::printf("\n");
            continue;
        }
        std::printf(", time %u .. %u", first, last);
        const double span = double(last) - double(first);
        if (file.ticksPerSecond)
            std::printf(", %u ticks a second, %.3g s\n", file.ticksPerSecond, span / file.ticksPerSecond);
        else
            std::printf(", no rate declared (a tick a frame), %.3g s at 60 frames a second\n", span / 60.0);
    }
}

// Each skinned mesh once, however often references place it.
void describeSkins(const xfile::File& file) {
    std::unordered_set<const xfile::Mesh*> seen;
    auto mesh = [&](const xfile::Mesh& m) {
        if (m.skinWeights.empty() || !seen.insert(&m).second) return;
        std::printf("  skinned mesh %s%s%s: %zu bone%s\n", m.name.empty() ? "" : "'", m.name.c_str(),
                    m.name.empty() ? "(unnamed)" : "'", m.skinWeights.size(), m.skinWeights.size() == 1 ? "" : "s");
    };
    struct Walker {
        decltype(mesh)& onMesh;
        bool enter(const xfile::Frame& f, int) {
            for (const auto& m : f.meshes) onMesh(m);
            return true;
        }
        void leave(const xfile::Frame&) {}
        bool cut(xfile::Cut) { return true; }
    } walker{mesh};
    for (const auto& m : file.meshes) mesh(m);
    for (const auto& f : file.frames) xfile::placeFrames(f, walker);
}

const char* formatName(xfile::Format f) {
    switch (f) {
        case xfile::Format::Text: return "text";
        case xfile::Format::Binary: return "binary";
        case xfile::Format::CompressedText: return "compressed text";
        case xfile::Format::CompressedBinary: return "compressed binary";
    }
    return "unknown";
}

// What became of each texture the load asked for, as the viewer's callback would decide.
struct TextureProbe {
    IDirect3DRM* d3drm;
    std::map<std::string, std::string> outcome;
};

std::string textureOutcome(const char* name, HRESULT loaded) {
    if (SUCCEEDED(loaded)) return "found and loaded";
    std::string path;
    if (!rm::findTextureFile(name, path)) return "not found";
    std::string why;
    if (rm::loadTexturePicture(path, textureimage::Formats::Any, nullptr, &why) == textureimage::Status::Ok)
        return "found, but its picture format is refused; --any-texture would take it";
    // The reason names the file; the name is already on the line.
    const size_t colon = why.find(": ");
    return "found, but it cannot be read: " + (colon == std::string::npos ? why : why.substr(colon + 2));
}

HRESULT probeTexture(char* name, void* arg, IDirect3DRMTexture** texture) {
    auto* probe = static_cast<TextureProbe*>(arg);
    HRESULT hr = textureNameAccepted(name) ? probe->d3drm->LoadTexture(name, texture) : HRESULT(-1);
    // Asked for inside the load, where the .x file's folder is searched too.
    probe->outcome[name] = textureOutcome(name, hr);
    return hr;
}

bool isRokkaku(const std::string& path) {
    return path.size() > 4 && (path.compare(path.size() - 4, 4, ".rok") == 0 ||
                               path.compare(path.size() - 4, 4, ".ROK") == 0);
}

// Textures are looked up in the model's own folder and below only, for as long as it lives.
struct ConfinedTextures {
    explicit ConfinedTextures(const std::string& model) {
        const std::filesystem::path folder = std::filesystem::path(model).parent_path();
        rm::confineTextureLookup(folder.empty() ? "." : folder.string());
    }
    ~ConfinedTextures() { rm::confineTextureLookup(""); }
};

// Prints the block of one file; false when it cannot be loaded.
bool describe(const std::string& given, IDirect3DRM* d3drm) {
    const ConfinedTextures confined(given);
    std::string path = given;
    std::printf("file: %s\n", given.c_str());
    if (isRokkaku(given)) {
        const char* converted = convertToXFile(given.c_str());
        if (!converted) {
            std::printf("  error: the Rokkaku file could not be converted\n\n");
            return false;
        }
        path = converted;
        std::printf("  converted: %s\n", path.c_str());
    }
    // Read once: the counts come from this reading, and the loader builds from it.
    xfile::File file;
    std::string error;
    xfile::Status status = xfile::loadFile(path, file, &error);
    if (status != xfile::Status::Ok) {
        HRESULT code = status == xfile::Status::FileNotFound ? D3DRMERR_FILENOTFOUND : D3DRMERR_BADFILE;
        std::printf("  error: %s%s%s\n\n", resultName(code), error.empty() ? "" : " ", error.c_str());
        return false;
    }
    Counts c;
    for (const auto& mesh : file.meshes) countMesh(mesh, c);
    for (const auto& frame : file.frames) countFrame(frame, c);
    size_t animations = 0, keys = 0;
    for (const auto& set : file.animationSets) {
        animations += set.animations.size();
        for (const auto& a : set.animations)
            for (const auto& k : a.keys) keys += k.times.size();
    }
    std::printf("  format: %s, float size %d\n", formatName(file.format), file.floatSize);
    std::printf("  meshes: %zu\n  vertices: %zu\n  faces: %zu\n  materials: %zu\n", c.meshes, c.vertices, c.faces,
                c.materials);
    std::printf("  frames: %zu\n  animation sets: %zu\n  animations: %zu\n  keys: %zu\n", c.frames,
                file.animationSets.size(), animations, keys);
    describeAnimationSets(file);
    describeSkins(file);
    const std::vector<std::string> warnings = std::move(file.warnings);

    bool ok = true;
    if (c.meshes > 0) {
        IDirect3DRMMeshBuilder* builder = nullptr;
        d3drm->CreateMeshBuilder(&builder);
        TextureProbe probe{d3drm, {}};
        HRESULT hr = rm::meshBuilderLoadFrom(builder, file, path, probeTexture, &probe);
        file = xfile::File{};
        if (FAILED(hr)) {
            std::printf("  error: %s\n", resultName(hr));
            ok = false;
        } else {
            D3DRMBOX box;
            builder->GetBox(&box);
            std::printf("  loaded faces: %d\n  loaded vertices: %d\n", builder->GetFaceCount(),
                        builder->GetVertexCount());
            std::printf("  box: %g %g %g .. %g %g %g\n", box.min.x, box.min.y, box.min.z, box.max.x, box.max.y,
                        box.max.z);
        }
        for (const auto& t : c.textures) {
            auto it = probe.outcome.find(t);
            std::printf("  texture: %s (%s)\n", t.c_str(), it == probe.outcome.end() ? "not asked for" : it->second.c_str());
        }
        builder->Release();
    }
    for (const auto& w : warnings) std::printf("  warning: %s\n", w.c_str());
    std::printf("\n");
    return ok;
}

}  // namespace

int runInfo(const std::vector<std::string>& files) {
    if (files.empty()) {
        std::fputs("solluxviewer: --info needs at least one file\n", stderr);
        return 1;
    }
    winUseHeadless();
    IDirect3DRM* d3drm = nullptr;
    if (FAILED(Direct3DRMCreate(&d3drm))) return 1;
    int status = 0;
    for (const std::string& file : files)
        if (!describe(file, d3drm)) status = 1;
    d3drm->Release();
    return status;
}
