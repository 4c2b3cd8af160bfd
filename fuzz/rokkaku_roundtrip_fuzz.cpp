// Arbitrary bytes through the Rokkaku reader and the .x writer, and the text written back
// through the program's own .x reader and mesh builder load: whatever the reader accepted,
// the .x reader gets the mesh the converter meant.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/rokkaku_common.h"
#include "fuzz/xfile_common.h"

namespace {

// The point numbers the writer gives face i (its first winding), and whether they all
// name points; colours too must name palette entries for the face to be sound.
struct WrittenFace {
    int count = 0;
    int32_t points[4] = {-1, -1, -1, -1};
    bool sound = false;
};

WrittenFace writtenFace(const RokkakuModel& model, size_t i) {
    const RokkakuFace& face = model.faces[i];
    WrittenFace w;
    w.count = face.edgeCount == 3 ? 3 : 4;
    // The writer's rule: points in the order they first appear along the face's edges (-1
    // for a slot never filled), edge numbers outside the edge list adding nothing.
    const int32_t edges = std::min(face.edgeCount, int32_t{4});
    for (int32_t e = 0; e < edges; ++e) {
        const int32_t edge = face.edges[e];
        if (edge < 0 || size_t(edge) >= model.edges.count()) continue;
        for (int32_t point : {model.edges[edge].first, model.edges[edge].second}) {
            int32_t* end = w.points + 4;
            if (std::find(w.points, end, point) == end) {
                int32_t* empty = std::find(w.points, end, -1);
                if (empty != end) *empty = point;
            }
        }
    }
    w.sound = face.color >= 0 && face.color < kPaletteSize;
    for (int k = 0; k < w.count; ++k)
        w.sound = w.sound && w.points[k] >= 0 && size_t(w.points[k]) < model.points.count();
    return w;
}

bool near(float read, double written, double decimals) {
    return std::fabs(read - written) <= decimals + std::fabs(written) * 2.5e-7;
}

void checkRoundTrip(const RokkakuModel& model, std::vector<uint8_t>& text) {
    xfile::File file;
    const bool accepted = xfile_fuzz::parseChecked(text, file);
    bool sound = model.points.count() > 0 && model.faces.count() > 0;
    for (const RokkakuPoint& p : model.points)
        sound = sound && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    std::vector<WrittenFace> faces;
    for (size_t i = 0; i < model.faces.count(); ++i) {
        faces.push_back(writtenFace(model, i));
        sound = sound && faces.back().sound;
    }
    if (!sound) return;  // what the .x reader makes of it is checked above
    // A sound model is one mesh: every point a vertex, every face twice (both windings),
    // each with its palette entry.
    if (!accepted || file.meshes.size() != 1 || !file.frames.empty()) std::abort();
    const xfile::Mesh& mesh = *file.meshes.begin();
    if (mesh.vertices.size() != model.points.count() || mesh.faces.size() != 2 * faces.size() ||
        mesh.faceMaterials.size() != mesh.faces.size() || mesh.materials.size() != size_t(kPaletteSize))
        std::abort();
    for (size_t i = 0; i < model.points.count(); ++i) {
        const RokkakuPoint& p = model.points[i];
        const std::array<float, 3>& v = mesh.vertices[i];
        if (!near(v[0], p.x, 1e-8) || !near(v[1], p.y, 1e-8) || !near(v[2], p.z, 1e-8)) std::abort();
    }
    for (size_t i = 0; i < faces.size(); ++i) {
        const WrittenFace& w = faces[i];
        const size_t front = 2 * i, back = front + 1;
        if (mesh.faces.count(front) != size_t(w.count) || mesh.faces.count(back) != size_t(w.count)) std::abort();
        for (int k = 0; k < w.count; ++k)
            if (mesh.faces[front][k] != uint32_t(w.points[k]) || mesh.faces[back][k] != uint32_t(w.points[w.count - 1 - k]))
                std::abort();
        if (mesh.faceMaterials[front] != uint32_t(model.faces[i].color) || mesh.faceMaterials[back] != mesh.faceMaterials[front])
            std::abort();
    }
    size_t m = 0;
    for (const xfile::Material& material : mesh.materials) {
        const PaletteColor& c = model.palette[m++];
        if (!near(material.faceColor[0], c.red / 255.0, 1e-6) || !near(material.faceColor[1], c.green / 255.0, 1e-6) ||
            !near(material.faceColor[2], c.blue / 255.0, 1e-6) || material.faceColor[3] != 1.0f || material.power != 15.0f)
            std::abort();
    }

    // The viewer's way in: a mesh builder loads it whole.
    const long alive = rm::liveObjectCount();
    IDirect3DRM* d3drm = nullptr;
    if (Direct3DRMCreate(&d3drm) != D3DRM_OK) std::abort();
    D3DRMLOADMEMORY memory{text.data(), static_cast<DWORD>(text.size())};
    IDirect3DRMMeshBuilder* builder = nullptr;
    d3drm->CreateMeshBuilder(&builder);
    if (builder->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, xfile_fuzz::refuseTexture, nullptr) != D3DRM_OK ||
        size_t(builder->GetFaceCount()) != mesh.faces.size())
        std::abort();
    builder->Release();
    d3drm->Release();
    if (rm::liveObjectCount() != alive) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rokkaku_fuzz::startInput();
    xfile_fuzz::bufferStderr();  // the writer's palette dump

    RokkakuModel model;
    if (!model.allocate()) std::abort();
    RokkakuStream stream(data, size);
    if (!readRokkakuModel(stream, model)) return 0;

    std::vector<uint8_t> text;
    if (!rokkaku_fuzz::writeInMemory(model, text)) return 0;
    checkRoundTrip(model, text);
    return 0;
}
