#include "export/scene_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "export/export_internal.h"
#include "platform/rm/rm_math.h"

namespace exporting {

using rm::operator*;

PendingFiles::~PendingFiles() { abandon(); }

std::FILE* PendingFiles::create(const std::string& finalPath, std::string& error) {
    const size_t slash = finalPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : finalPath.substr(0, slash);
    const std::string base = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string pattern = folder + "/." + base + ".XXXXXX";
    const int fd = mkstemp(pattern.data());  // O_EXCL: never an existing file or link
    if (fd < 0) {
        error = "cannot write in '" + folder + "': " + std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        error = std::string("cannot write: ") + std::strerror(errno);
        close(fd);
        unlink(pattern.c_str());
        return nullptr;
    }
    fchmod(fd, 0644);
    entries_.push_back({pattern, finalPath, file});
    return file;
}

bool PendingFiles::commit(std::string& error) {
    for (auto& e : entries_) {
        const bool failed = std::ferror(e.file) != 0;
        const int closed = std::fclose(e.file);
        e.file = nullptr;
        if (failed || closed != 0) {
            error = "cannot write '" + e.final + "': " + std::strerror(errno ? errno : EIO);
            abandon();
            return false;
        }
    }
    for (auto& e : entries_)
        if (std::rename(e.temporary.c_str(), e.final.c_str()) != 0) {
            error = "cannot write '" + e.final + "': " + std::strerror(errno);
            abandon();
            return false;
        }
    entries_.clear();
    return true;
}

void PendingFiles::abandon() {
    for (auto& e : entries_) {
        if (e.file) std::fclose(e.file);
        unlink(e.temporary.c_str());
    }
    entries_.clear();
}

const rm::MeshBuilderData* geometryOf(IDirect3DRMVisual* visual, rm::MeshBuilderData& scratch) {
    if (const rm::MeshBuilderData* d = rm::meshBuilderData(visual)) return d;
    const rm::MeshData* mesh = rm::meshData(visual);
    if (!mesh) return nullptr;
    scratch = rm::MeshBuilderData{};
    scratch.colorSource = D3DRMCOLOR_FROMFACE;
    for (const auto& g : mesh->groups) {
        const uint32_t base = static_cast<uint32_t>(scratch.positions.size());
        for (const auto& v : g.vertices) {
            scratch.positions.push_back(v.position);
            scratch.normals.push_back(v.normal);
            scratch.texCoords.push_back({v.tu, v.tv});
        }
        scratch.materials.push_back(g.material);
        const uint32_t material = static_cast<uint32_t>(scratch.materials.size() - 1);
        uint32_t texture = 0;
        if (g.texture) {
            scratch.textures.push_back(g.texture);
            texture = static_cast<uint32_t>(scratch.textures.size() - 1);
        }
        size_t next = 0;
        const uint32_t look = scratch.looks.indexOf({g.color, material, texture});
        for (uint32_t size : g.faceSizes) {
            if (next + size > g.indices.size()) break;
            rm::BuilderFace f{static_cast<uint32_t>(scratch.corners.size()), size, look};
            bool inside = true;
            for (uint32_t c = 0; c < size; ++c)
                inside = inside && g.indices[next + c] < g.vertices.size();
            if (inside) {
                for (uint32_t c = 0; c < size; ++c)
                    scratch.corners.push_back(
                        {base + g.indices[next + c], base + g.indices[next + c]});
                scratch.faces.push_back(f);
            }
            next += size;
        }
    }
    return &scratch;
}

D3DVECTOR faceNormal(const rm::MeshBuilderData& d, const rm::BuilderFace& f) {
    D3DVECTOR n = rm::faceNormalOf(d, f) * -1.0f;
    if (!rm::normalize(n) || !std::isfinite(n.x + n.y + n.z)) n = {0, 1, 0};
    return n;
}

bool usableFace(const rm::MeshBuilderData& d, const rm::BuilderFace& f) {
    if (f.cornerCount < 3 || size_t(f.firstCorner) + f.cornerCount > d.corners.size()) return false;
    for (uint32_t c = 0; c < f.cornerCount; ++c)
        if (d.corners[f.firstCorner + c].vertex >= d.positions.size()) return false;
    return true;
}

std::string objectName(IUnknown* object) {
    IDirect3DRMObject* o = nullptr;
    if (!object ||
        FAILED(object->QueryInterface(IID_IDirect3DRMObject, reinterpret_cast<void**>(&o))) || !o)
        return {};
    char buffer[256] = {};
    DWORD size = sizeof buffer;
    std::string name;
    if (SUCCEEDED(o->GetName(&size, buffer))) name.assign(buffer, strnlen(buffer, sizeof buffer));
    o->Release();
    return name;
}

bool leftOut(const ExportScene& scene, IDirect3DRMVisual* visual) {
    return std::find(scene.leaveOut.begin(), scene.leaveOut.end(), visual) != scene.leaveOut.end();
}

Progress::Progress(bool on, const char* what, size_t total)
    : on_(on && total >= 200000), what_(what), total_(total) {}

void Progress::advance(size_t count) {
    if (!on_) return;
    done_ += count;
    const size_t tenth = total_ ? std::min<size_t>(10, done_ * 10 / total_) : 10;
    if (tenth > shownTenth_) {
        shownTenth_ = tenth;
        std::fprintf(stderr, "%s: %zu%%\n", what_, tenth * 10);
    }
}

void Progress::finish() { advance(total_ > done_ ? total_ - done_ : 0); }

}  // namespace exporting

ExportFormat exportFormatOf(const std::string& path) {
    auto endsWith = [&](const char* tail) {
        const size_t n = std::strlen(tail);
        if (path.size() <= n) return false;
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != tail[i])
                return false;
        return true;
    };
    if (endsWith(".glb")) return ExportFormat::Glb;
    if (endsWith(".gltf")) return ExportFormat::Gltf;
    if (endsWith(".x")) return ExportFormat::X;
    return ExportFormat::Unknown;
}

bool exportScene(const ExportScene& scene, const std::string& path, std::string& error) {
    using namespace exporting;
    if (!scene.root) {
        error = "nothing to save";
        return false;
    }
    PendingFiles files;
    bool ok = false;
    switch (exportFormatOf(path)) {
        case ExportFormat::Glb:
            ok = writeGltf(scene, path, true, files, error);
            break;
        case ExportFormat::Gltf:
            ok = writeGltf(scene, path, false, files, error);
            break;
        case ExportFormat::X: {
            std::FILE* out = files.create(path, error);
            const size_t slash = path.rfind('/');
            ok =
                out && writeXScene(scene, out,
                                   slash == std::string::npos ? "." : path.substr(0, slash), error);
            break;
        }
        case ExportFormat::Unknown:
            error = "'" + path + "': the name must end in .glb, .gltf or .x";
            return false;
    }
    if (!ok) {
        files.abandon();
        return false;
    }
    return files.commit(error);
}
