// glTF written from loaded models, read back by an independent reader (tinygltf): the
// same frames, triangles, materials, joints and keys, and animated frames where the
// viewer shows them.
#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>

#include "export/scene_export.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"

namespace fs = std::filesystem;

namespace {

const std::string kAssimp = "/usr/share/assimp/models/X/";

struct Counts {
    size_t frames = 0, triangles = 0, joints = 0, keys = 0;
    std::set<std::tuple<D3DCOLOR, float, IDirect3DRMTexture*>> materials;
};

void count(IDirect3DRMFrame* frame, Counts& c, std::set<uint64_t>& bones) {
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame))
        if (const rm::MeshBuilderData* d = rm::meshBuilderData(v)) {
            for (const auto& f : d->faces) {
                if (f.cornerCount >= 3) c.triangles += f.cornerCount - 2;
                const rm::FaceLook& look = d->lookOf(f);
                c.materials.insert({d->colorSource == D3DRMCOLOR_FROMVERTEX ? 0 : look.color,
                                    d->materials[look.material].power, d->textures[look.texture]});
            }
            if (d->skin)
                for (const auto& b : d->skin->bones) bones.insert(b.frame);
        }
    for (IDirect3DRMFrame* child : rm::frameChildren(frame)) {
        ++c.frames;
        count(child, c, bones);
    }
}

class GltfExport : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ASSERT_EQ(Direct3DRMCreate(&d3drm_), D3DRM_OK);
        ASSERT_EQ(d3drm_->CreateFrame(nullptr, &root_), D3DRM_OK);
        char pattern[] = "/tmp/sollux-gltf-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        for (auto& s : sets_) s.set->Release();
        if (root_) root_->Release();
        if (d3drm_) d3drm_->Release();
        fs::remove_all(dir_);
    }
    ExportScene load(const std::string& path) {
        EXPECT_EQ(rm::loadWholeFile(path.c_str(), nullptr, nullptr, root_, sets_), D3DRM_OK)
            << path;
        ExportScene scene;
        scene.root = root_;
        for (const auto& s : sets_)
            scene.animationSets.push_back({s.set, s.name, s.ticksPerSecond});
        return scene;
    }
    // Exports the scene to dir_/name (.glb, else .gltf with its .bin) and reads it back.
    void exportAndRead(const ExportScene& scene, const std::string& name, tinygltf::Model& model) {
        std::string error;
        const std::string out = (dir_ / name).string();
        ASSERT_TRUE(exportScene(scene, out, error)) << error;
        tinygltf::TinyGLTF reader;
        std::string err, warn;
        ASSERT_TRUE(name.ends_with(".glb") ? reader.LoadBinaryFromFile(&model, &err, &warn, out)
                                           : reader.LoadASCIIFromFile(&model, &err, &warn, out))
            << err;
    }

    IDirect3DRM* d3drm_ = nullptr;
    IDirect3DRMFrame* root_ = nullptr;
    std::vector<rm::LoadedAnimationSet> sets_;
    fs::path dir_;
};

TEST_P(GltfExport, ReadsBackWithTheSameCounts) {
    const std::string path =
        GetParam()[0] == '/' ? GetParam() : std::string(SOLLUX_TEST_DATA) + "/x/" + GetParam();
    if (!fs::exists(path)) GTEST_SKIP() << path << " is not installed";
    const ExportScene scene = load(path);
    tinygltf::Model model;
    ASSERT_NO_FATAL_FAILURE(exportAndRead(scene, "model.glb", model));

    Counts expected;
    std::set<uint64_t> bones;
    count(root_, expected, bones);
    for (const auto& s : sets_)
        for (IDirect3DRMAnimation* a : rm::animationSetAnimations(s.set)) {
            rm::AnimationTracks t;
            rm::animationTracks(a, t);
            expected.keys += t.matrices.empty()
                                 ? t.rotations.size() + t.positions.size() + t.scales.size()
                                 : 3 * t.matrices.size();
        }

    // Every frame is a node of its name (the root one more); every mesh placement its triangles.
    size_t triangles = 0, joints = 0, keys = 0, frameNodes = 0;
    std::multiset<std::string> nodeNames, frameNames;
    for (const auto& node : model.nodes) {
        nodeNames.insert(node.name);
        if (node.skin < 0) ++frameNodes;
        if (node.mesh < 0) continue;
        for (const auto& p : model.meshes[node.mesh].primitives) {
            EXPECT_EQ(p.mode, TINYGLTF_MODE_TRIANGLES);
            triangles += model.accessors[p.indices].count / 3;
        }
    }
    for (const auto& skin : model.skins) joints += skin.joints.size();
    for (const auto& a : model.animations)
        for (const auto& s : a.samplers) keys += model.accessors[s.input].count;
    std::function<void(IDirect3DRMFrame*)> named = [&](IDirect3DRMFrame* f) {
        for (IDirect3DRMFrame* c : rm::frameChildren(f)) {
            char name[256] = "";
            DWORD size = sizeof name;
            c->GetName(&size, name);
            frameNames.insert(name);
            named(c);
        }
    };
    named(root_);
    EXPECT_GE(frameNodes, expected.frames + 1);
    for (const auto& name : frameNames)
        EXPECT_GE(nodeNames.count(name), frameNames.count(name)) << name;
    EXPECT_EQ(triangles, expected.triangles);
    EXPECT_EQ(model.materials.size(), expected.materials.size());
    bones.erase(0);
    EXPECT_GE(joints, bones.size());
    EXPECT_LE(joints,
              bones.size() + 1);  // and one standing still, for weights of bones that are gone
    EXPECT_EQ(keys, expected.keys);
    EXPECT_EQ(model.animations.size(), sets_.size());
}

INSTANTIATE_TEST_SUITE_P(
    Models, GltfExport,
    testing::Values("skinned_arm.x", "textured.x", "colours_and_glass.x",
                    "/usr/share/assimp/models/X/anim_test.x",
                    "/usr/share/assimp/models/X/test_cube_binary.x",
                    "/usr/share/assimp/models/X/kwxport_test_cubewithvcolors.x"));

// The floats an accessor reads, tightly packed.
const float* accessorFloats(const tinygltf::Model& m, const tinygltf::Accessor& accessor) {
    const auto& view = m.bufferViews[accessor.bufferView];
    return reinterpret_cast<const float*>(&m.buffers[view.buffer].data[view.byteOffset + accessor.byteOffset]);
}

// glTF's node transform at a key, as T x R x S with column vectors.
void gltfMatrix(const tinygltf::Model& m, int node, size_t key, double out[4][4]) {
    const auto& n = m.nodes[node];
    double t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
    for (int i = 0; i < 3; ++i) {
        if (n.translation.size() == 3) t[i] = n.translation[i];
        if (n.scale.size() == 3) s[i] = n.scale[i];
    }
    if (n.rotation.size() == 4)
        for (int i = 0; i < 4; ++i) r[i] = n.rotation[i];
    for (const auto& a : m.animations)
        for (const auto& c : a.channels) {
            if (c.target_node != node) continue;
            const float* v = accessorFloats(m, m.accessors[a.samplers[c.sampler].output]);
            const int width = c.target_path == "rotation" ? 4 : 3;
            double* into = c.target_path == "rotation" ? r : c.target_path == "scale" ? s : t;
            for (int i = 0; i < width; ++i) into[i] = v[key * width + i];
        }
    const double x = r[0], y = r[1], z = r[2], w = r[3];
    const double rot[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                              {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                              {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[i][j] = i == 3 ? (j == 3 ? 1 : 0) : j == 3 ? t[i] : rot[i][j] * s[j];
}

TEST_F(GltfExport, AnimatedFramesStandWhereTheViewerShowsThemMirroredInZ) {
    ExportScene scene = load(std::string(SOLLUX_TEST_DATA) + "/x/skinned_arm.x");
    ASSERT_EQ(sets_.size(), 1u);
    IDirect3DRMFrame* arm = rm::frameChildren(root_)[0];
    IDirect3DRMFrame* shoulder = rm::frameChildren(arm)[0];
    IDirect3DRMFrame* elbow = rm::frameChildren(shoulder)[0];
    // The file bends the elbow about z, which mirroring in z leaves alone: the shoulder gets
    // keys about a slanted axis and a path through z as well.
    IDirect3DRMAnimation* turn = nullptr;
    ASSERT_EQ(d3drm_->CreateAnimation(&turn), D3DRM_OK);
    turn->SetFrame(shoulder);
    // Open: a closed one shows its first key again at the last key's time.
    turn->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_LINEARPOSITION | D3DRMANIMATION_POSITION |
                     D3DRMANIMATION_SCALEANDROTATION);
    for (int k = 0; k < 3; ++k) {
        D3DRMQUATERNION q{std::cos(0.4f * k),
                          {0.6f * std::sin(0.4f * k), 0, 0.8f * std::sin(0.4f * k)}};
        turn->AddRotateKey(10.0f * k, &q);
        turn->AddPositionKey(10.0f * k, 0.5f * k, -1.5f, 2.0f * k);
    }
    sets_[0].set->AddAnimation(turn);
    turn->Release();

    tinygltf::Model model;
    ASSERT_NO_FATAL_FAILURE(exportAndRead(scene, "arm.gltf", model));
    EXPECT_TRUE(fs::exists(dir_ / "arm.bin"));
    ASSERT_EQ(model.animations.size(), 1u);
    // No rate declared: a tick is 1/60 s.
    const auto& input = model.accessors[model.animations[0].samplers[0].input];
    EXPECT_NEAR(input.maxValues.at(0), 20.0 / 60.0, 1e-6);

    for (IDirect3DRMFrame* frame : {elbow, shoulder}) {
        int node = -1;
        char name[64] = "";
        DWORD size = sizeof name;
        frame->GetName(&size, name);
        for (size_t n = 0; n < model.nodes.size(); ++n)
            if (model.nodes[n].name == name) node = int(n);
        ASSERT_GE(node, 0) << name;
        for (size_t k = 0; k < 3; ++k) {
            sets_[0].set->SetTime(10.0f * k);
            const rm::Matrix& local = rm::frameLocalMatrix(frame);
            double g[4][4];
            gltfMatrix(model, node, k, g);
            // glTF column-vector matrix = transpose of the mirrored row-vector one.
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j) {
                    const double sign = (i == 2) != (j == 2) ? -1 : 1;
                    EXPECT_NEAR(g[i][j], sign * local.m[j][i], 1e-5)
                        << name << " key " << k << " at " << i << "," << j;
                }
        }
    }
}

// A spline path goes out as straight pieces through points of the curve the viewer plays.
TEST_F(GltfExport, SplinePathsFollowTheViewersCurve) {
    ExportScene scene = load(std::string(SOLLUX_TEST_DATA) + "/x/skinned_arm.x");
    IDirect3DRMFrame* arm = rm::frameChildren(root_)[0];
    IDirect3DRMAnimation* path = nullptr;
    ASSERT_EQ(d3drm_->CreateAnimation(&path), D3DRM_OK);
    path->SetFrame(arm);
    path->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_SPLINEPOSITION | D3DRMANIMATION_POSITION);
    const float points[4][3] = {{0, 0, 0}, {2, 1, 3}, {4, -1, 1}, {6, 0, 5}};
    for (int k = 0; k < 4; ++k)
        path->AddPositionKey(8.0f * k, points[k][0], points[k][1], points[k][2]);
    sets_[0].set->AddAnimation(path);
    path->Release();
    tinygltf::Model model;
    ASSERT_NO_FATAL_FAILURE(exportAndRead(scene, "path.glb", model));
    const tinygltf::AnimationChannel* channel = nullptr;
    for (const auto& c : model.animations.at(0).channels)
        if (model.nodes[c.target_node].name == "Arm") channel = &c;
    ASSERT_NE(channel, nullptr);
    const auto& sampler = model.animations[0].samplers[channel->sampler];
    auto floats = [&](int accessor) { return accessorFloats(model, model.accessors[accessor]); };
    const size_t count = model.accessors[sampler.input].count;
    ASSERT_EQ(count, 3u * 8 + 1);
    for (size_t i = 0; i < count; ++i) {
        const float seconds = floats(sampler.input)[i];
        sets_[0].set->SetTime(seconds * 60);
        const rm::Matrix& local = rm::frameLocalMatrix(arm);
        EXPECT_NEAR(floats(sampler.output)[i * 3 + 0], local.m[3][0], 1e-4) << i;
        EXPECT_NEAR(floats(sampler.output)[i * 3 + 1], local.m[3][1], 1e-4) << i;
        EXPECT_NEAR(floats(sampler.output)[i * 3 + 2], -local.m[3][2], 1e-4) << i;
    }
}

TEST_F(GltfExport, FailureLeavesNothingOfTheName) {
    load(std::string(SOLLUX_TEST_DATA) + "/x/textured.x");
    ExportScene scene;
    scene.root = root_;
    std::string error;
    EXPECT_FALSE(exportScene(scene, (dir_ / "missing" / "out.glb").string(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(exportScene(scene, (dir_ / "out.obj").string(), error));
    EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace

// Each (position, normal) pair the corners ask for is one vertex, however the pairs
// share: 1 200 pairs on three positions, each with the normal it was given; then one
// normal on every position of a strip, one position also asked with a second normal.
TEST_F(GltfExport, EveryPositionAndNormalPairIsAVertexOfItsOwn) {
    struct Case {
        std::vector<D3DVECTOR> points, normals;
        std::vector<DWORD> faces;  // of three (position, normal) pairs each
        size_t vertices;
    };
    Case spread{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {}, 1200};
    for (DWORD t = 0; t < 400; ++t)
        for (DWORD k = 0; k < 3; ++k) {
            const float a = 0.001f * float(3 * t + k);
            spread.normals.push_back({std::sin(a), std::cos(a), 0});
            spread.faces.insert(spread.faces.end(), {k, 3 * t + k});
        }
    Case shared{{}, {{0, 0, -1}, {0, 0.6f, -0.8f}}, {}, 41};
    for (DWORD i = 0; i < 40; ++i) shared.points.push_back({float(i / 2), float(i % 2), 0});
    for (DWORD i = 0; i + 2 < 40; ++i)
        shared.faces.insert(shared.faces.end(), {i, 0, i + 1 + i % 2, i == 7 ? 1u : 0u, i + 2 - i % 2, 0});
    for (const Case& c : {spread, shared}) {
        SCOPED_TRACE(c.vertices);
        std::vector<DWORD> faces;
        for (size_t i = 0; i < c.faces.size(); i += 6) {
            faces.push_back(3);
            faces.insert(faces.end(), c.faces.begin() + i, c.faces.begin() + i + 6);
        }
        faces.push_back(0);
        IDirect3DRMFrame* frame = nullptr;
        ASSERT_EQ(d3drm_->CreateFrame(root_, &frame), D3DRM_OK);
        IDirect3DRMMeshBuilder* builder = nullptr;
        ASSERT_EQ(d3drm_->CreateMeshBuilder(&builder), D3DRM_OK);
        ASSERT_EQ(builder->AddFaces(DWORD(c.points.size()), const_cast<D3DVECTOR*>(c.points.data()),
                                    DWORD(c.normals.size()), const_cast<D3DVECTOR*>(c.normals.data()),
                                    faces.data(), nullptr),
                  D3DRM_OK);
        ExportScene scene;
        scene.root = frame;
        frame->AddVisual(builder);
        builder->Release();
        tinygltf::Model model;
        ASSERT_NO_FATAL_FAILURE(exportAndRead(scene, "pairs.glb", model));
        frame->Release();
        ASSERT_EQ(model.meshes.size(), 1u);
        const auto& primitive = model.meshes[0].primitives.at(0);
        const auto& normals = model.accessors[primitive.attributes.at("NORMAL")];
        ASSERT_EQ(normals.count, c.vertices);
        const float* n = accessorFloats(model, normals);
        const float* p = accessorFloats(model, model.accessors[primitive.attributes.at("POSITION")]);
        const auto& indices = model.accessors[primitive.indices];
        ASSERT_EQ(indices.count, c.faces.size() / 2);
        const auto& view = model.bufferViews[indices.bufferView];
        const unsigned char* at = &model.buffers[view.buffer].data[view.byteOffset + indices.byteOffset];
        for (size_t i = 0; i < indices.count; ++i) {
            // Mirrored: a triangle's corners go as the first, the third, the second.
            const size_t corner = i / 3 * 3 + (3 - i % 3) % 3;
            const uint32_t v = indices.componentType == 5123 ? reinterpret_cast<const uint16_t*>(at)[i]
                                                             : reinterpret_cast<const uint32_t*>(at)[i];
            const D3DVECTOR& wantP = c.points[c.faces[2 * corner]];
            const D3DVECTOR& wantN = c.normals[c.faces[2 * corner + 1]];
            ASSERT_LT(v, c.vertices);
            EXPECT_FLOAT_EQ(p[3 * v], wantP.x) << i;
            EXPECT_FLOAT_EQ(p[3 * v + 1], wantP.y) << i;
            EXPECT_FLOAT_EQ(n[3 * v], wantN.x) << i;
            EXPECT_FLOAT_EQ(n[3 * v + 1], wantN.y) << i;
            EXPECT_FLOAT_EQ(n[3 * v + 2], -wantN.z) << i;
        }
    }
}
