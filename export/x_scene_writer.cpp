// DirectX .x text output of frames, meshes, skins and animation sets, in the numbers the
// converter writes and with the standard templates, so that this viewer and other .x
// readers open it again.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "conversion/number_format.h"
#include "conversion/x_writer.h"
#include "export/export_internal.h"
#include "platform/rm/rm_math.h"

namespace exporting {
namespace {

using rm::Matrix;

// Templates the converter's header does not declare.
const char kMoreTemplates[] =
    "template FrameTransformMatrix {\n <F6F23F41-7686-11cf-8F52-0040333594A3>\n Matrix4x4 "
    "frameMatrix;\n}\n\n"
    "template Frame {\n <3D82AB46-62DA-11cf-AB39-0020AF71E433>\n [...]\n}\n\n"
    "template FloatKeys {\n <10DD46A9-775B-11cf-8F52-0040333594A3>\n DWORD nValues;\n array FLOAT "
    "values[nValues];\n}\n\n"
    "template TimedFloatKeys {\n <F406B180-7B3B-11cf-8F52-0040333594A3>\n DWORD time;\n FloatKeys "
    "tfkeys;\n}\n\n"
    "template AnimationKey {\n <10DD46A8-775B-11cf-8F52-0040333594A3>\n DWORD keyType;\n DWORD "
    "nKeys;\n"
    " array TimedFloatKeys keys[nKeys];\n}\n\n"
    "template AnimationOptions {\n <E2BF56C0-840F-11cf-8F52-0040333594A3>\n DWORD openclosed;\n"
    " DWORD positionquality;\n}\n\n"
    "template Animation {\n <3D82AB4F-62DA-11cf-AB39-0020AF71E433>\n [...]\n}\n\n"
    "template AnimationSet {\n <3D82AB50-62DA-11cf-AB39-0020AF71E433>\n [Animation "
    "<3D82AB4F-62DA-11cf-AB39-0020AF71E433>]\n}\n\n"
    "template AnimTicksPerSecond {\n <9E415A43-7BA6-4a73-8743-B73D47E88476>\n DWORD "
    "AnimTicksPerSecond;\n}\n\n"
    "template XSkinMeshHeader {\n <3CF169CE-FF7C-44ab-93C0-F78F62D172E2>\n WORD "
    "nMaxSkinWeightsPerVertex;\n"
    " WORD nMaxSkinWeightsPerFace;\n WORD nBones;\n}\n\n"
    "template SkinWeights {\n <6F0D123B-BAD2-4167-A0D0-80224F25FABB>\n STRING transformNodeName;\n "
    "DWORD nWeights;\n"
    " array DWORD vertexIndices[nWeights];\n array FLOAT weights[nWeights];\n Matrix4x4 "
    "matrixOffset;\n}\n\n";

// A name the .x grammar takes: letters, digits and underscores, not starting with a digit.
std::string identifier(const std::string& name, const char* fallback) {
    std::string out;
    for (unsigned char c : name) out += std::isalnum(c) || c == '_' ? char(c) : '_';
    if (out.empty()) out = fallback;
    if (std::isdigit(static_cast<unsigned char>(out[0]))) out = "_" + out;
    return out;
}

class XWriter {
  public:
    XWriter(const ExportScene& scene, std::FILE* out, const std::string& folder)
        : scene_(scene), out_(out), folder_(folder) {
        char resolved[PATH_MAX];
        if (realpath(folder.c_str(), resolved)) folder_ = resolved;
    }
    bool write(std::string& error);

  private:
    void text(const char* s) { std::fputs(s, out_); }
    void text(const std::string& s) { std::fwrite(s.data(), 1, s.size(), out_); }
    void number(double v, int decimals = 6) {
        char buffer[kFixedTextMax];
        char* end = formatFixed(buffer, std::isfinite(v) ? v : 0.0, decimals);
        std::fwrite(buffer, 1, size_t(end - buffer), out_);
    }
    void coordinate(float v) {
        char buffer[kFixedTextMax];
        char* end = formatCoordinate(buffer, std::isfinite(v) ? v : 0.0f);
        std::fwrite(buffer, 1, size_t(end - buffer), out_);
    }
    void matrix(const Matrix& m, const std::string& indent) {
        text(indent);
        for (int i = 0; i < 16; ++i) {
            coordinate(m.m[i / 4][i % 4]);
            text(i == 15 ? ";;\n" : ",");
        }
    }
    bool written(IDirect3DRMFrame* frame) const;
    void nameFrames(IDirect3DRMFrame* frame, int depth);
    void frame(IDirect3DRMFrame* frame, const std::string& indent, int depth);
    void mesh(IDirect3DRMVisual* visual, const rm::MeshBuilderData& d, IDirect3DRMFrame* holder,
              const std::string& indent);
    std::string textureName(IDirect3DRMTexture* texture);
    void animationSet(const std::string& name, const std::vector<const ExportAnimationSet*>& sets,
                      double rate);

    const ExportScene& scene_;
    std::FILE* out_;
    std::string folder_;
    std::map<IDirect3DRMFrame*, std::string> frameNames_;
    std::map<uint64_t, IDirect3DRMFrame*> frameOfSerial_;
    std::set<std::string> used_;
    size_t meshCount_ = 0;
    std::unique_ptr<Progress> progress_;
};

bool XWriter::written(IDirect3DRMFrame* frame) const {
    if (frame == scene_.camera) return false;
    // A light cannot be written; in a scene its frame holds only the light and its model.
    return !(scene_.oneTopFrame && !rm::frameLights(frame).empty());
}

void XWriter::nameFrames(IDirect3DRMFrame* frame, int depth) {
    if (depth > 1000 || frameNames_.count(frame)) return;
    std::string base = identifier(objectName(frame), "Frame"), name = base;
    for (int n = 2; !used_.insert(name).second; ++n) name = base + "_" + std::to_string(n);
    frameNames_.emplace(frame, name);
    frameOfSerial_.emplace(rm::objectSerial(frame), frame);
    for (IDirect3DRMFrame* c : rm::frameChildren(frame))
        if (written(c)) nameFrames(c, depth + 1);
}

std::string XWriter::textureName(IDirect3DRMTexture* texture) {
    const std::string& path = rm::textureData(texture).sourcePath;
    if (path.empty() || path.find('"') != std::string::npos) return {};
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) return {};
    std::string full = resolved;
    const size_t slash = full.rfind('/');
    // Beside the saved file, the bare name is found wherever the folder goes.
    if (full.substr(0, slash) == folder_) return full.substr(slash + 1);
    return full;
}

void XWriter::mesh(IDirect3DRMVisual* visual, const rm::MeshBuilderData& d,
                   IDirect3DRMFrame* holder, const std::string& indent) {
    std::vector<uint32_t> faces;
    for (uint32_t f = 0; f < d.faces.size(); ++f)
        if (usableFace(d, d.faces[f])) faces.push_back(f);
    if (faces.empty()) return;
    std::string name = identifier(objectName(visual), "Mesh"), base = name;
    for (int n = 2; !used_.insert(name).second; ++n) name = base + "_" + std::to_string(n);
    const std::string in = indent + " ";
    // A skinned mesh stands in the file where its bones place it: in the space of the
    // file's root, which the loader takes it from.
    const Matrix fileToWorld = rm::translation(-scene_.topFrameOffset.x, -scene_.topFrameOffset.y,
                                               -scene_.topFrameOffset.z);
    Matrix worldToFile, toBuilder;
    if (!rm::invert(fileToWorld, worldToFile)) worldToFile = Matrix::identity();
    if (!rm::invert(rm::frameWorldMatrix(holder), toBuilder)) toBuilder = Matrix::identity();
    std::vector<D3DVECTOR> placedPositions, placedNormals;
    if (d.skin) {
        const Matrix toFile = rm::multiply(rm::frameWorldMatrix(holder), worldToFile);
        for (const D3DVECTOR& v : d.positions)
            placedPositions.push_back(rm::transformPoint(v, toFile));
        for (const D3DVECTOR& n : d.normals) {
            D3DVECTOR a{
                toBuilder.m[0][0] * n.x + toBuilder.m[0][1] * n.y + toBuilder.m[0][2] * n.z,
                toBuilder.m[1][0] * n.x + toBuilder.m[1][1] * n.y + toBuilder.m[1][2] * n.z,
                toBuilder.m[2][0] * n.x + toBuilder.m[2][1] * n.y + toBuilder.m[2][2] * n.z};
            if (!rm::normalize(a)) a = n;
            placedNormals.push_back(a);
        }
    }
    const std::vector<D3DVECTOR>& positions = d.skin ? placedPositions : d.positions;
    text(indent + "Mesh " + name + " {\n" + in + std::to_string(positions.size()) + ";\n");
    for (size_t v = 0; v < positions.size(); ++v) {
        text(in);
        coordinate(positions[v].x), text(";"), coordinate(positions[v].y), text(";"),
            coordinate(positions[v].z);
        text(v + 1 == positions.size() ? ";;\n" : ";,\n");
    }
    auto faceList = [&](bool normals, const std::vector<uint32_t>& extraNormal) {
        text(in + std::to_string(faces.size()) + ";\n");
        for (size_t i = 0; i < faces.size(); ++i) {
            const rm::BuilderFace& f = d.faces[faces[i]];
            std::string line = in + std::to_string(f.cornerCount) + ";";
            for (uint32_t c = 0; c < f.cornerCount; ++c) {
                const rm::FaceCorner corner = d.corners[f.firstCorner + c];
                uint32_t index = corner.vertex;
                if (normals)
                    index = corner.normal < d.normals.size() ? corner.normal : extraNormal[i];
                line += std::to_string(index) + (c + 1 == f.cornerCount ? ";" : ",");
            }
            text(line + (i + 1 == faces.size() ? ";\n" : ",\n"));
        }
    };
    faceList(false, {});
    if (progress_) progress_->advance(faces.size());

    // Normals: the builder's, plus a face normal for each face with a corner without one.
    std::vector<D3DVECTOR> normals = d.skin ? placedNormals : d.normals;
    std::vector<uint32_t> extra(faces.size(), 0);
    for (size_t i = 0; i < faces.size(); ++i) {
        const rm::BuilderFace& f = d.faces[faces[i]];
        for (uint32_t c = 0; c < f.cornerCount; ++c)
            if (d.corners[f.firstCorner + c].normal >= d.normals.size()) {
                extra[i] = uint32_t(normals.size());
                D3DVECTOR n = faceNormal(d, f);
                if (d.skin) {
                    D3DVECTOR a{
                        toBuilder.m[0][0] * n.x + toBuilder.m[0][1] * n.y + toBuilder.m[0][2] * n.z,
                        toBuilder.m[1][0] * n.x + toBuilder.m[1][1] * n.y + toBuilder.m[1][2] * n.z,
                        toBuilder.m[2][0] * n.x + toBuilder.m[2][1] * n.y +
                            toBuilder.m[2][2] * n.z};
                    if (rm::normalize(a)) n = a;
                }
                normals.push_back(n);
                break;
            }
    }
    text(in + "MeshNormals {\n" + in + " " + std::to_string(normals.size()) + ";\n");
    for (size_t n = 0; n < normals.size(); ++n) {
        text(in + " ");
        number(normals[n].x), text(";"), number(normals[n].y), text(";"), number(normals[n].z);
        text(n + 1 == normals.size() ? ";;\n" : ";,\n");
    }
    faceList(true, extra);
    text(in + "}\n");

    if (d.texCoords.size() == d.positions.size()) {
        text(in + "MeshTextureCoords {\n" + in + " " + std::to_string(d.texCoords.size()) + ";\n");
        for (size_t v = 0; v < d.texCoords.size(); ++v) {
            text(in + " ");
            number(d.texCoords[v].u), text(";"), number(d.texCoords[v].v);
            text(v + 1 == d.texCoords.size() ? ";;\n" : ";,\n");
        }
        text(in + "}\n");
    }
    if (d.colorSource == D3DRMCOLOR_FROMVERTEX && d.vertexColors.size() == d.positions.size()) {
        text(in + "MeshVertexColors {\n" + in + " " + std::to_string(d.vertexColors.size()) +
             ";\n");
        for (size_t v = 0; v < d.vertexColors.size(); ++v) {
            const D3DCOLOR c = d.vertexColors[v];
            text(in + " " + std::to_string(v) + ";");
            number(D3DRMColorGetRed(c)), text(";"), number(D3DRMColorGetGreen(c)), text(";");
            number(D3DRMColorGetBlue(c)), text(";"), number(D3DRMColorGetAlpha(c));
            text(v + 1 == d.vertexColors.size() ? ";;;\n" : ";;,\n");
        }
        text(in + "}\n");
    }

    // One material for each colour, material and texture the faces use.
    struct Key {
        D3DCOLOR color;
        uint32_t material, texture;
        bool operator<(const Key& o) const {
            return std::tie(color, material, texture) < std::tie(o.color, o.material, o.texture);
        }
    };
    std::map<Key, uint32_t> slots;
    std::vector<Key> keys;
    std::vector<uint32_t> faceSlot;
    for (uint32_t f : faces) {
        const rm::FaceLook& face = d.lookOf(d.faces[f]);
        const Key k{face.color, face.material < d.materials.size() ? face.material : 0,
                    face.texture < d.textures.size() ? face.texture : 0};
        auto [it, inserted] = slots.emplace(k, uint32_t(keys.size()));
        if (inserted) keys.push_back(k);
        faceSlot.push_back(it->second);
    }
    text(in + "MeshMaterialList {\n" + in + " " + std::to_string(keys.size()) + ";\n" + in + " " +
         std::to_string(faceSlot.size()) + ";\n");
    for (size_t i = 0; i < faceSlot.size(); ++i)
        text(in + " " + std::to_string(faceSlot[i]) + (i + 1 == faceSlot.size() ? ";\n" : ",\n"));
    for (const Key& k : keys) {
        const rm::MaterialData& m = d.materials[k.material];
        text(in + " Material {\n" + in + "  ");
        number(D3DRMColorGetRed(k.color)), text(";"), number(D3DRMColorGetGreen(k.color)),
            text(";");
        number(D3DRMColorGetBlue(k.color)), text(";"), number(D3DRMColorGetAlpha(k.color)),
            text(";;\n" + in + "  ");
        number(m.power), text(";\n" + in + "  ");
        number(m.specular[0]), text(";"), number(m.specular[1]), text(";"), number(m.specular[2]);
        text(";;\n" + in + "  ");
        number(m.emissive[0]), text(";"), number(m.emissive[1]), text(";"), number(m.emissive[2]),
            text(";;\n");
        const std::string texture = k.texture ? textureName(d.textures[k.texture]) : std::string();
        if (!texture.empty())
            text(in + "  TextureFilename {\n" + in + "   \"" + texture + "\";\n" + in + "  }\n");
        text(in + " }\n");
    }
    text(in + "}\n");

    if (const rm::SkinData* skin = d.skin.get()) {
        // The file's offset matrix takes the file's root space to the bone at rest; the
        // builder's keeps builder space to the bone. Builder space -> world is the holding
        // frame's world; world -> file root is the top frame's translation.
        const Matrix fileToBuilder = rm::multiply(fileToWorld, toBuilder);
        std::vector<std::vector<std::pair<uint32_t, float>>> perBone(skin->bones.size());
        const size_t table = std::min(skin->firstInfluence.size() - 1, d.positions.size());
        std::vector<uint32_t> perVertex(d.positions.size(), 0);
        for (size_t v = 0; v < table; ++v)
            for (uint32_t i = skin->firstInfluence[v];
                 i < skin->firstInfluence[v + 1] && i < skin->influences.size(); ++i) {
                const auto& inf = skin->influences[i];
                if (inf.bone < perBone.size())
                    perBone[inf.bone].push_back({uint32_t(v), inf.weight});
            }
        // Bones that are gone keep their vertices at rest, where the holding frame puts
        // them: their weights go to that frame, as a bone that never moves.
        std::map<uint32_t, float> atRest;
        struct Written {
            std::string bone;
            Matrix offset;
            std::vector<std::pair<uint32_t, float>> weights;
        };
        std::vector<Written> bones;
        for (size_t b = 0; b < skin->bones.size(); ++b) {
            if (perBone[b].empty()) continue;
            auto frame = frameOfSerial_.find(skin->bones[b].frame);
            if (frame == frameOfSerial_.end()) {
                for (const auto& [v, w] : perBone[b]) atRest[v] += w;
                continue;
            }
            bones.push_back({frameNames_[frame->second],
                             rm::multiply(fileToBuilder, skin->bones[b].fromRest), perBone[b]});
        }
        if (!atRest.empty() && frameNames_.count(holder))
            bones.push_back({frameNames_[holder], fileToBuilder, {atRest.begin(), atRest.end()}});
        for (const Written& b : bones)
            for (const auto& [v, w] : b.weights) ++perVertex[v];
        const uint32_t most =
            perVertex.empty() ? 0 : *std::max_element(perVertex.begin(), perVertex.end());
        text(in + "XSkinMeshHeader {\n" + in + " " + std::to_string(most) + ";\n" + in + " " +
             std::to_string(most * 3) + ";\n" + in + " " + std::to_string(bones.size()) + ";\n" +
             in + "}\n");
        for (const Written& b : bones) {
            const auto& weights = b.weights;
            text(in + "SkinWeights {\n" + in + " \"" + b.bone + "\";\n" + in + " " +
                 std::to_string(weights.size()) + ";\n");
            for (size_t i = 0; i < weights.size(); ++i)
                text(in + " " + std::to_string(weights[i].first) +
                     (i + 1 == weights.size() ? ";\n" : ",\n"));
            for (size_t i = 0; i < weights.size(); ++i) {
                text(in + " ");
                number(weights[i].second);
                text(i + 1 == weights.size() ? ";\n" : ",\n");
            }
            matrix(b.offset, in + " ");
            text(in + "}\n");
        }
    }
    text(indent + "}\n");
}

void XWriter::frame(IDirect3DRMFrame* f, const std::string& indent, int depth) {
    const std::string in = indent + " ";
    text(indent + "Frame " + frameNames_[f] + " {\n" + in + "FrameTransformMatrix {\n");
    matrix(rm::frameLocalMatrix(f), in + " ");
    text(in + "}\n");
    rm::MeshBuilderData scratch;
    for (IDirect3DRMVisual* visual : rm::frameVisuals(f)) {
        if (leftOut(scene_, visual)) continue;
        const rm::MeshBuilderData* d = geometryOf(visual, scratch);
        if (d) mesh(visual, *d, f, in);
    }
    if (depth < 1000)
        for (IDirect3DRMFrame* c : rm::frameChildren(f))
            if (written(c)) frame(c, in, depth + 1);
    text(indent + "}\n");
}

void XWriter::animationSet(const std::string& name,
                           const std::vector<const ExportAnimationSet*>& sets, double rate) {
    const double ticksPerSecond = rate > 0 ? rate : 60.0;
    std::string setName = identifier(name, "Animation"), base = setName;
    for (int n = 2; !used_.insert(setName).second; ++n) setName = base + "_" + std::to_string(n);
    text("AnimationSet " + setName + " {\n");
    std::set<IDirect3DRMFrame*> done;
    for (const ExportAnimationSet* set : sets) {
        const double scale = ticksPerSecond * secondsPerTick(*set);
        for (IDirect3DRMAnimation* a : rm::animationSetAnimations(set->set)) {
            rm::AnimationTracks t;
            if (!rm::animationTracks(a, t) || !t.frame || !frameNames_.count(t.frame) ||
                !done.insert(t.frame).second)
                continue;
            text(" Animation {\n  {" + frameNames_[t.frame] + "}\n");
            text(std::string("  AnimationOptions {\n   ") +
                 ((t.options & D3DRMANIMATION_OPEN) ? "1" : "0") + ";\n   " +
                 ((t.options & D3DRMANIMATION_SPLINEPOSITION) ? "0" : "1") + ";\n  }\n");
            auto keys = [&](int type, size_t count, auto timeOf, auto values) {
                // Whole ticks, each once.
                std::vector<size_t> chosen;
                std::vector<long long> ticks;
                for (size_t i = 0; i < count; ++i) {
                    const double tick = std::round(std::max(0.0, double(timeOf(i))) * scale);
                    if (!(tick <= 4294967295.0)) break;
                    if (!ticks.empty() && tick <= double(ticks.back())) continue;
                    chosen.push_back(i);
                    ticks.push_back((long long)tick);
                }
                if (chosen.empty()) return;
                text("  AnimationKey {\n   " + std::to_string(type) + ";\n   " +
                     std::to_string(chosen.size()) + ";\n");
                for (size_t k = 0; k < chosen.size(); ++k) {
                    std::vector<float> v = values(chosen[k]);
                    text("   " + std::to_string(ticks[k]) + ";" + std::to_string(v.size()) + ";");
                    for (size_t j = 0; j < v.size(); ++j) {
                        coordinate(v[j]);
                        text(j + 1 == v.size() ? ";" : ",");
                    }
                    text(k + 1 == chosen.size() ? ";;\n" : ";,\n");
                }
                text("  }\n");
            };
            if (!t.matrices.empty()) {
                keys(
                    4, t.matrices.size(), [&](size_t i) { return t.matrices[i].first; },
                    [&](size_t i) {
                        std::vector<float> v(16);
                        for (int j = 0; j < 16; ++j) v[j] = t.matrices[i].second.m[j / 4][j % 4];
                        return v;
                    });
            } else {
                // Files hold the conjugate of the rotation played.
                keys(
                    0, t.rotations.size(), [&](size_t i) { return t.rotations[i].first; },
                    [&](size_t i) {
                        const D3DRMQUATERNION& q = t.rotations[i].second;
                        return std::vector<float>{q.s, -q.v.x, -q.v.y, -q.v.z};
                    });
                keys(
                    1, t.scales.size(), [&](size_t i) { return t.scales[i].first; },
                    [&](size_t i) {
                        const D3DVECTOR& s = t.scales[i].second;
                        return std::vector<float>{s.x, s.y, s.z};
                    });
                keys(
                    2, t.positions.size(), [&](size_t i) { return t.positions[i].first; },
                    [&](size_t i) {
                        const D3DVECTOR& p = t.positions[i].second;
                        return std::vector<float>{p.x, p.y, p.z};
                    });
            }
            text(" }\n");
        }
    }
    text("}\n");
}

size_t countFaces(IDirect3DRMFrame* frame, int depth) {
    size_t n = 0;
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame))
        if (const rm::MeshBuilderData* d = rm::meshBuilderData(v)) n += d->faces.size();
    if (depth < 1000)
        for (IDirect3DRMFrame* c : rm::frameChildren(frame)) n += countFaces(c, depth + 1);
    return n;
}

bool XWriter::write(std::string& error) {
    progress_ = std::make_unique<Progress>(scene_.progress, "export", countFaces(scene_.root, 0));
    text("xof 0303txt 0032\n");
    const char* templates = std::strchr(xTemplateText, '\n');
    text(templates ? templates + 1 : xTemplateText);
    text("\n");
    text(kMoreTemplates);
    text("Header {\n 1;\n 0;\n 1;\n}\n\n");

    // The rate every written key is counted in: the first set's.
    double rate = scene_.animationSets.empty() ? 0 : scene_.animationSets.front().ticksPerSecond;
    if (!scene_.animationSets.empty() && rate > 0)
        text("AnimTicksPerSecond {\n " + std::to_string(std::lround(rate)) + ";\n}\n\n");

    std::vector<IDirect3DRMFrame*> tops;
    for (IDirect3DRMFrame* c : rm::frameChildren(scene_.root))
        if (written(c)) tops.push_back(c);
    rm::MeshBuilderData scratch;
    if (scene_.oneTopFrame) {
        used_.insert(kSavedSceneFrame);
        for (IDirect3DRMFrame* c : tops) nameFrames(c, 1);
        text(std::string("Frame ") + kSavedSceneFrame + " {\n FrameTransformMatrix {\n");
        const D3DVECTOR& o = scene_.topFrameOffset;
        matrix(rm::translation(o.x, o.y, o.z), "  ");
        text(" }\n");
        for (IDirect3DRMVisual* visual : rm::frameVisuals(scene_.root))
            if (const rm::MeshBuilderData* d =
                    leftOut(scene_, visual) ? nullptr : geometryOf(visual, scratch))
                mesh(visual, *d, scene_.root, " ");
        for (IDirect3DRMFrame* c : tops) frame(c, " ", 1);
        text("}\n");
        std::vector<const ExportAnimationSet*> all;
        for (const auto& s : scene_.animationSets) all.push_back(&s);
        if (!all.empty()) animationSet("Scene", all, rate);
    } else {
        for (IDirect3DRMFrame* c : tops) nameFrames(c, 1);
        // Top-level meshes first, as the file they came from had them.
        for (IDirect3DRMVisual* visual : rm::frameVisuals(scene_.root))
            if (const rm::MeshBuilderData* d =
                    leftOut(scene_, visual) ? nullptr : geometryOf(visual, scratch))
                mesh(visual, *d, scene_.root, "");
        for (IDirect3DRMFrame* c : tops) frame(c, "", 1);
        for (const auto& s : scene_.animationSets) animationSet(s.name, {&s}, rate);
    }
    progress_->finish();
    if (std::ferror(out_)) {
        error = "the file cannot be written";
        return false;
    }
    return true;
}

}  // namespace

bool writeXScene(const ExportScene& scene, std::FILE* out, const std::string& folder,
                 std::string& error) {
    XWriter writer(scene, out, folder);
    return writer.write(error);
}

}  // namespace exporting
