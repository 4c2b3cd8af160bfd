// What the retained-mode layer offers its callers beyond the API's own calls: walking a
// frame's children and visuals, an animation set's declared rate, loading a whole file,
// the texture lookup's switches, and a count of live objects for leak checks. The
// objects' inner data, which the drawing layer and the writers read, is in rm_internal.h.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/texture_image.h"

namespace xfile {
struct File;
}

namespace rm {

// ---- Frames -------------------------------------------------------------------
std::span<IDirect3DRMFrame* const> frameChildren(IDirect3DRMFrame* frame);
std::span<IDirect3DRMVisual* const> frameVisuals(IDirect3DRMFrame* frame);
// Whether Move would change the frame or one below it: a rotation, a velocity or a move
// callback (animations advance through theirs).
bool frameTreeMoves(IDirect3DRMFrame* frame);
// The frame's move callbacks, in the order Move calls them.
std::span<const std::pair<D3DRMFRAMEMOVECALLBACK, void*>> frameMoveCallbacks(IDirect3DRMFrame* frame);

// ---- Visuals ------------------------------------------------------------------
enum class VisualKind { Frame, MeshBuilder, Mesh, Texture, Other };
VisualKind visualKind(IDirect3DRMVisual* visual);

// ---- Animation sets -------------------------------------------------------------
// Key time units a second that the set's file declares (AnimTicksPerSecond); 0 when it
// declares none or the object is not an animation set.
DWORD animationSetTicksPerSecond(IDirect3DRMAnimationSet* set);

// ---- Loading --------------------------------------------------------------------
// IDirect3DRMMeshBuilder::Load of every mesh of a file already read from `path` (whose
// folder is searched for textures), for callers that look at the file themselves first.
HRESULT meshBuilderLoadFrom(IDirect3DRMMeshBuilder* builder, const xfile::File& file, const std::string& path,
                            D3DRMLOADTEXTURECALLBACK callback, void* arg);
// One animation set of a whole-file load.
struct LoadedAnimationSet {
    IDirect3DRMAnimationSet* set = nullptr;  // one reference, the caller's
    std::string name;
    double ticksPerSecond = 0;  // 0: the file declares no rate
};
// Everything a file holds, for saving it elsewhere: every top-level frame (with its
// hierarchy) becomes a child of `parent`, top-level meshes one builder visual of `parent`,
// and every animation set one set bound to those frames.
HRESULT loadWholeFile(const char* path, D3DRMLOADTEXTURECALLBACK callback, void* arg, IDirect3DRMFrame* parent,
                      std::vector<LoadedAnimationSet>& sets);

// ---- Texture files -------------------------------------------------------------
// Whether IDirect3DRM::LoadTexture also decodes PNG, JPEG, GIF and Targa pictures; off (the
// default), it takes Windows bitmaps and binary portable pixmaps only.
void setAnyTextureFormat(bool on);
bool anyTextureFormat();
// The file LoadTexture would read for a texture name (during a load, the .x file's folder
// is searched too); false when there is none.
bool findTextureFile(const char* name, std::string& path);
// Texture names looked up only in folder and below it (no absolute paths, no way up, no
// link leading out), for programs that open files from elsewhere; empty (the default)
// looks a name up as given, then in the loaded file's folder.
void confineTextureLookup(const std::string& folder);
// Reads and decodes the picture file at path into *image (or only tells whether it
// decodes, with image null). During a load each picture file is read once for each
// format choice, and charged once to the load's account.
textureimage::Status loadTexturePicture(const std::string& path, textureimage::Formats formats,
                                        textureimage::Image* image, std::string* why);

// ---- Debugging and tests ------------------------------------------------------
// Retained-mode objects alive in this process (every kind, arrays included).
long liveObjectCount();

}  // namespace rm
