// Loading .x files into mesh builders, frames and animation sets.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/platform/rm/rm_test_util.h"

namespace {

namespace fs = std::filesystem;

const char kHeader[] = "xof 0302txt 0064\n";

// Written the way our converter writes: a face with too few points carries -1.
const char kConvertedMesh[] = R"(Mesh{
4;
0.0;0.0;0.0;,
1.0;0.0;0.0;,
0.0;-1.0;0.0;,
1.0;-1.0;0.0;;

3;
3;0;1;2;;
3;2;1;-1;;
3;1;3;2;;

MeshMaterialList{
2;
3;
0,
1,
1;
Material{
1.0;0.0;0.0;1.0;;
15.0;
1.0;1.0;1.0;;
0.0;0.0;0.0;;
}
Material{
0.0;0.5;1.0;1.0;;
5.0;
0.5;0.5;0.5;;
0.0;0.0;0.1;;
}
}
}
)";

class LoadTest : public RmTest {
protected:
    void SetUp() override {
        RmTest::SetUp();
        dir = fs::temp_directory_path() / ("sollux_rmload_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::remove_all(dir);
        RmTest::TearDown();
    }
    std::string write(const std::string& name, const std::string& text) {
        fs::path p = dir / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    HRESULT loadBuilder(const std::string& path, IDirect3DRMMeshBuilder* mb, D3DRMLOADTEXTURECALLBACK cb = nullptr,
                        void* arg = nullptr) {
        return mb->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, cb, arg);
    }
    fs::path dir;
};

TEST_F(LoadTest, ConverterOutputLoadsWithItsColoursAndWithoutTheBrokenFace) {
    std::string path = write("model.x", std::string(kHeader) + kConvertedMesh);
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    ASSERT_EQ(loadBuilder(path, mb), D3DRM_OK);
    const rm::MeshBuilderData& d = *rm::meshBuilderData(mb);
    ASSERT_EQ(mb->GetFaceCount(), 2);  // the face with -1 is dropped, the rest loads
    EXPECT_EQ(mb->GetVertexCount(), 4);
    EXPECT_EQ(d.lookOf(0).color, D3DRMCreateColorRGB(1, 0, 0));
    EXPECT_EQ(d.lookOf(1).color, D3DRMCreateColorRGB(0, 0.5f, 1));
    const rm::MaterialData& m = d.materials[d.lookOf(1).material];
    EXPECT_FLOAT_EQ(m.power, 5.0f);
    EXPECT_FLOAT_EQ(m.emissive[2], 0.1f);
    // No MeshNormals: every corner has a generated unit normal.
    for (size_t i = 0; i < d.corners.size(); ++i) {
        const rm::FaceCorner c = d.corners[i];
        ASSERT_LT(c.normal, d.normals.size());
        EXPECT_NEAR(std::fabs(d.normals[c.normal].z), 1.0f, 1e-5f);
    }
    // Loading again replaces what the builder held.
    ASSERT_EQ(loadBuilder(path, mb), D3DRM_OK);
    EXPECT_EQ(mb->GetFaceCount(), 2);
}

TEST_F(LoadTest, FailuresAreReportedWithTheirCodes) {
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    EXPECT_EQ(loadBuilder((dir / "missing.x").string(), mb), D3DRMERR_FILENOTFOUND);
    EXPECT_EQ(loadBuilder(write("junk.x", "this is not a model"), mb), D3DRMERR_BADFILE);
    EXPECT_EQ(loadBuilder(write("cut.x", std::string(kHeader) + "Mesh{\n4;\n0.0;0.0;"), mb), D3DRMERR_BADFILE);
    // A file without any mesh has nothing for a builder.
    EXPECT_EQ(loadBuilder(write("frame.x", std::string(kHeader) + "Frame F {}\n"), mb), D3DRMERR_NOTFOUND);
    EXPECT_EQ(mb->GetFaceCount(), 0);
}

TEST_F(LoadTest, MeshesInsideFramesArePlacedByTheirFramesAndMerged) {
    std::string text = std::string(kHeader) + R"(
Frame Outer {
  FrameTransformMatrix { 2,0,0,0, 0,2,0,0, 0,0,2,0, 10,0,0,1;; }
  Frame Inner {
    FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,5,0,1;; }
    Mesh Tri { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;; }
  }
}
Mesh Loose { 3; 0;0;0;, -1;0;0;, 0;-1;0;; 1; 3;0;1;2;; }
)";
    std::string path = write("frames.x", text);
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    ASSERT_EQ(loadBuilder(path, mb), D3DRM_OK);
    EXPECT_EQ(mb->GetFaceCount(), 2);
    D3DRMBOX box;
    mb->GetBox(&box);
    expectNear(box.min, -1, -1, 0);
    expectNear(box.max, 12, 12, 0);  // (1,0,0) and (0,1,0) in Inner: x2, then moved

    // As a frame hierarchy: Outer becomes a child of the loading frame.
    Held<IDirect3DRMFrame> scene, holder;
    scene.p = frame();
    holder.p = frame(scene);
    ASSERT_EQ(holder->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr),
              D3DRM_OK);
    Held<IDirect3DRMFrameArray> kids;
    holder->GetChildren(&kids);
    ASSERT_EQ(kids->GetSize(), 1u);
    Held<IDirect3DRMFrame> outer;
    kids->GetElement(0, &outer);
    DWORD size = 64;
    char name[64];
    outer->GetName(&size, name);
    EXPECT_STREQ(name, "Outer");
    Held<IDirect3DRMMeshBuilder> gathered;
    d3drm->CreateMeshBuilder(&gathered);
    gathered->AddFrame(holder);
    gathered->GetBox(&box);
    expectNear(box.max, 12, 12, 0);
    EXPECT_EQ(gathered->GetFaceCount(), 1);  // only the first hierarchy
}

TEST_F(LoadTest, FromMemoryAndByName) {
    std::string text = std::string(kHeader) +
                       "Mesh A { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;; }\n"
                       "Mesh B { 4; 0;0;0;, 2;0;0;, 0;2;0;, 2;2;0;; 2; 3;0;1;2;, 3;1;3;2;; }\n";
    D3DRMLOADMEMORY memory{text.data(), static_cast<DWORD>(text.size())};
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    ASSERT_EQ(mb->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
    EXPECT_EQ(mb->GetFaceCount(), 3);  // every mesh, merged
    char name[] = "B";
    ASSERT_EQ(mb->Load(&memory, name, D3DRMLOAD_FROMMEMORY | D3DRMLOAD_BYNAME, nullptr, nullptr), D3DRM_OK);
    EXPECT_EQ(mb->GetFaceCount(), 2);
    char other[] = "C";
    EXPECT_EQ(mb->Load(&memory, other, D3DRMLOAD_FROMMEMORY | D3DRMLOAD_BYNAME, nullptr, nullptr),
              D3DRMERR_NOTFOUND);
    EXPECT_EQ(mb->GetFaceCount(), 2);  // a failed load leaves the builder as it was
    EXPECT_EQ(mb->Load(&memory, nullptr, D3DRMLOAD_FROMRESOURCE, nullptr, nullptr), D3DRMERR_BADVALUE);
}

TEST_F(LoadTest, TextTwinsOfOneSceneGiveTheSameGeometry) {
    const fs::path models = "/usr/share/assimp/models/X";
    if (!fs::exists(models / "test_cube_text.x")) GTEST_SKIP() << "assimp-testmodels not installed";
    std::vector<std::tuple<int, int, D3DRMBOX>> results;
    for (const char* name : {"test_cube_text.x", "test_cube_binary.x", "test_cube_compressed.x"}) {
        Held<IDirect3DRMMeshBuilder> mb;
        d3drm->CreateMeshBuilder(&mb);
        ASSERT_EQ(loadBuilder((models / name).string(), mb), D3DRM_OK) << name;
        D3DRMBOX box;
        mb->GetBox(&box);
        results.emplace_back(mb->GetFaceCount(), mb->GetVertexCount(), box);
    }
    for (size_t i = 1; i < results.size(); ++i) {
        EXPECT_EQ(std::get<0>(results[i]), std::get<0>(results[0]));
        EXPECT_EQ(std::get<1>(results[i]), std::get<1>(results[0]));
        const D3DRMBOX& b = std::get<2>(results[i]);
        const D3DRMBOX& a = std::get<2>(results[0]);
        expectNear(b.min, a.min.x, a.min.y, a.min.z);
        expectNear(b.max, a.max.x, a.max.y, a.max.z);
    }
    EXPECT_GT(std::get<0>(results[0]), 0);
}

template <class Visit>
void forEachBuilder(IDirect3DRMFrame* frame, Visit visit, int depth = 0) {
    if (depth > 64) return;
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame))
        if (rm::visualKind(v) == rm::VisualKind::MeshBuilder) visit(v);
    for (IDirect3DRMFrame* child : rm::frameChildren(frame)) forEachBuilder(child, visit, depth + 1);
}

TEST_F(LoadTest, EveryTestModelLoadsOrFailsCleanly) {
    const fs::path models = "/usr/share/assimp/models/X";
    if (!fs::exists(models)) GTEST_SKIP() << "assimp-testmodels not installed";
    int loaded = 0, posed = 0;
    for (const auto& entry : fs::directory_iterator(models)) {
        std::string ext = entry.path().extension().string();
        if (ext != ".x" && ext != ".X") continue;
        std::string path = entry.path().string();
        Held<IDirect3DRMMeshBuilder> mb;
        d3drm->CreateMeshBuilder(&mb);
        HRESULT hr = loadBuilder(path, mb);
        EXPECT_TRUE(hr == D3DRM_OK || hr == D3DRMERR_BADFILE || hr == D3DRMERR_NOTFOUND) << path << " " << hr;
        loaded += hr == D3DRM_OK;
        Held<IDirect3DRMFrame> scene;
        scene.p = frame();
        hr = scene->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr);
        EXPECT_TRUE(hr == D3DRM_OK || hr == D3DRMERR_BADFILE || hr == D3DRMERR_NOTFOUND) << path << " " << hr;
        Held<IDirect3DRMAnimationSet> set;
        d3drm->CreateAnimationSet(&set);
        hr = set->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr, scene);
        EXPECT_TRUE(hr == D3DRM_OK || hr == D3DRMERR_BADFILE || hr == D3DRMERR_NOTFOUND) << path << " " << hr;
        // Skinned meshes among them take up their pose, which fits their builders.
        for (float t : {0.0f, 3.5f, 400.0f}) {
            set->SetTime(t);
            forEachBuilder(scene, [&](IDirect3DRMVisual* v) {
                const rm::MeshBuilderData& d = *rm::meshBuilderData(v);
                if (const rm::SkinPose* pose = rm::meshBuilderPose(v)) {
                    ++posed;
                    EXPECT_EQ(pose->positions.size(), d.positions.size()) << path;
                    EXPECT_EQ(pose->cornerNormals.size(), d.corners.size()) << path;
                }
            });
        }
    }
    EXPECT_GE(loaded, 5);
    EXPECT_GT(posed, 0);
}

TEST_F(LoadTest, VertexColoursColourTheirVertices) {
    // Mesh A has colours of its own; B has none, so its vertices take its faces' colour.
    std::string text = std::string(kHeader) + R"(Frame F {
Mesh A { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;;
  MeshVertexColors { 3; 0;1;0;0;1;;, 1;0;1;0;1;;, 2;0;0;1;0.5;;; } }
Mesh B { 3; 0;0;1;, 1;0;1;, 0;1;1;; 1; 3;0;1;2;;
  MeshMaterialList { 1; 1; 0;; Material { 1;1;0;1;; 0; 0;0;0;; 0;0;0;; } } }
})";
    D3DRMLOADMEMORY memory{text.data(), static_cast<DWORD>(text.size())};
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    ASSERT_EQ(mb->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
    EXPECT_EQ(mb->GetColorSource(), D3DRMCOLOR_FROMVERTEX);
    const std::vector<D3DCOLOR> expected = {0xffff0000u, 0xff00ff00u, 0x800000ffu,
                                            0xffffff00u, 0xffffff00u, 0xffffff00u};
    for (DWORD v = 0; v < expected.size(); ++v) EXPECT_EQ(mb->GetVertexColor(v), expected[v]) << v;
    // One builder per mesh in a frame load: only A's takes its colours from the vertices.
    Held<IDirect3DRMFrame> holder;
    holder.p = frame();
    ASSERT_EQ(holder->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
    std::vector<D3DRMCOLORSOURCE> sources;
    forEachBuilder(holder, [&](IDirect3DRMVisual* v) { sources.push_back(rm::meshBuilderData(v)->colorSource); });
    EXPECT_EQ(sources, (std::vector<D3DRMCOLORSOURCE>{D3DRMCOLOR_FROMVERTEX, D3DRMCOLOR_FROMFACE}));
}

struct AskedNames {
    std::vector<std::string> names;
    IDirect3DRM* d3drm;
};

HRESULT recordingCallback(char* name, void* arg, IDirect3DRMTexture** texture) {
    auto* asked = static_cast<AskedNames*>(arg);
    asked->names.push_back(name);
    return asked->d3drm->LoadTexture(name, texture);
}

std::string ppm() {
    std::string s = "P6\n1 1\n255\n";
    s += std::string("\x10\x20\x30", 3);
    return s;
}

TEST_F(LoadTest, TexturesAreAskedForByNameAndFoundBesideTheFile) {
    write("Maps/Wood.PPM", ppm());
    std::string text = std::string(kHeader) + R"(
Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 2; 3;0;1;2;, 3;2;1;0;;
  MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }
  MeshMaterialList { 2; 2; 0, 1;;
    Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "maps\wood.ppm"; } }
    Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "nowhere.ppm"; } }
  }
})";
    std::string path = write("textured.x", text);
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    AskedNames asked{{}, d3drm};
    // Loaded from another folder: the texture is found in the .x file's folder,
    // whatever the case and with backslashes.
    ASSERT_EQ(loadBuilder(path, mb, recordingCallback, &asked), D3DRM_OK);
    EXPECT_EQ(asked.names, (std::vector<std::string>{"maps\\wood.ppm", "nowhere.ppm"}));
    const rm::MeshBuilderData& d = *rm::meshBuilderData(mb);
    ASSERT_NE(d.textures[d.lookOf(0).texture], nullptr);
    const rm::TextureData& t = rm::textureData(d.textures[d.lookOf(0).texture]);
    EXPECT_EQ(t.width, 1);
    EXPECT_EQ(t.rgba[0], 0x10);
    EXPECT_EQ(d.lookOf(1).texture, 0u);  // missing texture: untextured, model still loads
    // Outside a load the name is looked up as given (relative to the current folder).
    Held<IDirect3DRMTexture> none;
    EXPECT_EQ(d3drm->LoadTexture("maps\\wood.ppm", &none), D3DRMERR_FILENOTFOUND);
    Held<IDirect3DRMTexture> direct;
    EXPECT_EQ(d3drm->LoadTexture((dir.string() + "\\MAPS\\WOOD.ppm").c_str(), &direct), D3DRM_OK);
}

TEST_F(LoadTest, TextureLookupDoesNotDependOnHowTheModelPathIsSpelled) {
    // One texture where its folder part says, one only beside the model, and a FIFO,
    // which is not waited on but taken as missing.
    write("Textures/Moss.ppm", ppm());
    write("Bark.ppm", ppm());
    ASSERT_EQ(mkfifo((dir / "Pipe.ppm").string().c_str(), 0644), 0);
    std::string text = std::string(kHeader) + R"(
Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 3; 3;0;1;2;, 3;2;1;0;, 3;0;2;1;;
  MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }
  MeshMaterialList { 3; 3; 0, 1, 2;;
    Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "Textures\\Moss.ppm"; } }
    Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "Maps\\Bark.ppm"; } }
    Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "Pipe.ppm"; } }
  }
})";
    const std::string absolute = write("model.x", text);
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    for (const std::string& spelling : {absolute, std::string("./model.x"), std::string("model.x")}) {
        Held<IDirect3DRMMeshBuilder> mb;
        d3drm->CreateMeshBuilder(&mb);
        ASSERT_EQ(loadBuilder(spelling, mb), D3DRM_OK) << spelling;
        const rm::MeshBuilderData& d = *rm::meshBuilderData(mb);
        EXPECT_NE(d.textures[d.lookOf(0).texture], nullptr) << spelling;
        EXPECT_NE(d.textures[d.lookOf(1).texture], nullptr) << spelling;
        EXPECT_EQ(d.lookOf(2).texture, 0u) << spelling;
    }
    fs::current_path(previous);
}

}  // namespace

// A loaded mesh makes the normals it lacks when they are first read: whatever a program
// does first, it then finds what making them at once would have given.
TEST_F(LoadTest, NormalsMadeWhenFirstReadAreThoseMadeAtOnce) {
    const std::string text = std::string(kHeader) +
                             "Mesh A { 5; 0;0;0;, 1;0;0;, 0;1;0;, 1;1;0.5;, 2;0;0.25;; "
                             "3; 3;0;1;2;, 3;1;3;2;, 3;1;4;3;; }\n";
    // Positions, normals and face data, side by side.
    auto state = [](IDirect3DRMMeshBuilder* b) {
        DWORD vertices = 0, normals = 0, faceData = 0;
        b->GetVertices(&vertices, nullptr, &normals, nullptr, &faceData, nullptr);
        std::vector<D3DVECTOR> v(vertices), n(normals);
        std::vector<DWORD> f(faceData);
        EXPECT_EQ(b->GetVertices(&vertices, v.data(), &normals, n.data(), &faceData, f.data()), D3DRM_OK);
        std::vector<float> all;
        for (const auto* list : {&v, &n})
            for (const D3DVECTOR& p : *list) all.insert(all.end(), {p.x, p.y, p.z});
        for (DWORD d : f) all.push_back(float(d));
        return all;
    };
    D3DVECTOR more[3] = {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}};
    DWORD moreFaces[] = {3, 0, 1, 2, 0};
    const std::pair<const char*, std::function<void(IDirect3DRMMeshBuilder*)>> steps[] = {
        {"read", [](IDirect3DRMMeshBuilder*) {}},
        {"scaled", [](IDirect3DRMMeshBuilder* b) { b->Scale(2, 1, 0.5f); }},
        {"vertex moved", [](IDirect3DRMMeshBuilder* b) { b->SetVertex(3, 1, 1, -2); }},
        {"faces added",
         [&](IDirect3DRMMeshBuilder* b) { b->AddFaces(3, more, 0, nullptr, moreFaces, nullptr); }},
        {"copied", [](IDirect3DRMMeshBuilder* b) {
             IDirect3DRMMeshBuilder* copy = nullptr;
             b->Clone(nullptr, IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&copy));
             b->AddMeshBuilder(copy);
             copy->Release();
         }}};
    for (const auto& [name, step] : steps) {
        D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), static_cast<DWORD>(text.size())};
        Held<IDirect3DRMMeshBuilder> later, atOnce;
        d3drm->CreateMeshBuilder(&later);
        d3drm->CreateMeshBuilder(&atOnce);
        ASSERT_EQ(later->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
        ASSERT_EQ(atOnce->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
        EXPECT_TRUE(rm::meshBuilderShape(later)->normals.empty()) << name;  // left for later
        atOnce->GenerateNormals();
        step(later);
        step(atOnce);
        EXPECT_EQ(state(later), state(atOnce)) << name;
    }
}
