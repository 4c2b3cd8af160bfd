// Shared by the writers (private to export/).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "export/scene_export.h"
#include "platform/rm/rm_internal.h"

namespace exporting {

// Files written under temporary names in their final folders; commit renames them all.
class PendingFiles {
  public:
    ~PendingFiles();
    // A new temporary file that becomes `finalPath` at commit; null (error set) on failure.
    std::FILE* create(const std::string& finalPath, std::string& error);
    bool commit(std::string& error);  // closes and renames every file
    void abandon();                   // closes and removes every file

  private:
    struct Entry {
        std::string temporary, final;
        std::FILE* file;
    };
    std::vector<Entry> entries_;
};

// The geometry of a visual as builder data: builders as they are (skinned ones at rest),
// meshes converted into `scratch`. Null for visuals without geometry.
const rm::MeshBuilderData* geometryOf(IDirect3DRMVisual* visual, rm::MeshBuilderData& scratch);

// Whether every corner of the face names a vertex (and there are at least 3).
bool usableFace(const rm::MeshBuilderData& d, const rm::BuilderFace& f);
// The unit normal of a usable face's front (clockwise as seen); (0, 1, 0) for a flat one.
D3DVECTOR faceNormal(const rm::MeshBuilderData& d, const rm::BuilderFace& f);

std::string objectName(IUnknown* object);
bool leftOut(const ExportScene& scene, IDirect3DRMVisual* visual);

// Seconds per tick of an animation set.
inline double secondsPerTick(const ExportAnimationSet& set) {
    return set.ticksPerSecond > 0 ? 1.0 / set.ticksPerSecond : 1.0 / 60.0;
}

// The frame of a serial among those written, or null.
using FrameBySerial = std::map<uint64_t, IDirect3DRMFrame*>;

bool writeGltf(const ExportScene& scene, const std::string& path, bool binary, PendingFiles& files,
               std::string& error);
bool writeXScene(const ExportScene& scene, std::FILE* out, const std::string& folder,
                 std::string& error);

// Progress on standard error for big models: a line per tenth of the faces.
class Progress {
  public:
    Progress(bool on, const char* what, size_t total);
    void advance(size_t count);
    void finish();

  private:
    bool on_;
    const char* what_;
    size_t total_, done_ = 0, shownTenth_ = 0;
};

}  // namespace exporting
