// References between objects of an .x file: what they resolve to, what they share, and
// what a file's references may cost the loaders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/rm/xfile.h"
#include "tests/platform/rm/rm_test_util.h"
#include "tests/platform/rm/xfile_test_util.h"

using namespace xfile_test;
using xfile::File;
using xfile::Status;

namespace {

const std::string kText = "xof 0303txt 0032\n";
const std::string kTriangleBody = "{ 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; }";
const std::string kTriangle = "Mesh " + kTriangleBody;

// A GUID as written in text and as the binary format stores it.
const char kGuidText[] = "<12345678-9ABC-DEF0-0123-456789ABCDEF>";
const std::vector<uint8_t> kGuidBytes{0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                      0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// A binary file of the kind exporters write: two materials defined inside a frame,
// before the meshes (one in that frame, one top-level after it) that name them; one more
// material defined only after the mesh that names it.
std::vector<uint8_t> materialsInsideFrames() {
    BinaryWriter w;
    auto material = [&](const std::string& name, double red) {
        w.name("Material").name(name).open().floats({red, 0.5, 0.25, 1, 10, 0, 0, 0, 0, 0, 0}).close();
    };
    auto mesh = [&](std::vector<std::string> refs) {
        w.name("Mesh").open().ints({3}).floats({0, 0, 0, 1, 0, 0, 0, 1, 0}).ints({1, 3, 0, 2, 1});
        w.name("MeshMaterialList").open().ints({uint32_t(refs.size()), 1, 0});
        for (const auto& r : refs) w.open().name(r).close();
        w.close().close();
    };
    w.name("Frame").name("Body").open();
    material("Skin", 0.9);
    material("Cloth", 0.1);
    mesh({"Skin", "Cloth"});
    w.close();
    mesh({"Cloth", "Late"});
    material("Late", 0.6);
    return w.bytes;
}

const xfile::Mesh& frameMesh(const File& f, size_t frame, size_t mesh = 0) { return f.frames.at(frame).meshes.at(mesh); }

}  // namespace

TEST(XFileReferences, MaterialsResolveWhereverTheFileDefinesThemInEveryForm) {
    std::vector<uint8_t> binary = materialsInsideFrames();
    // The same file as text, and both compressed.
    std::string text = kText + "Frame Body {\n"
                               " Material Skin { 0.9;0.5;0.25;1;; 10; 0;0;0;; 0;0;0;; }\n"
                               " Material Cloth { 0.1;0.5;0.25;1;; 10; 0;0;0;; 0;0;0;; }\n"
                               " Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; MeshMaterialList { 2; 1; 0;; {Skin} {Cloth} } }\n"
                               "}\n"
                               "Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; MeshMaterialList { 2; 1; 0;; {Cloth} {Late} } }\n"
                               "Material Late { 0.6;0.5;0.25;1;; 10; 0;0;0;; 0;0;0;; }\n";
    for (const auto& bytes : {binary, bytesOf(text), compress(binary), compress(bytesOf(text))}) {
        File f;
        std::string error;
        ASSERT_EQ(parseBytes(bytes, f, &error), Status::Ok) << error;
        EXPECT_TRUE(f.warnings.empty()) << f.warnings.front();
        const auto& inFrame = frameMesh(f, 0).materials;
        const auto& topLevel = f.meshes.at(0).materials;
        ASSERT_EQ(inFrame.size(), 2u);
        ASSERT_EQ(topLevel.size(), 2u);
        EXPECT_NEAR(inFrame[0].faceColor[0], 0.9f, 1e-6);
        EXPECT_NEAR(inFrame[1].faceColor[0], 0.1f, 1e-6);
        EXPECT_EQ(&topLevel[0], &inFrame[1]);  // one material, held once
        EXPECT_NEAR(topLevel[1].faceColor[0], 0.6f, 1e-6);
        EXPECT_FLOAT_EQ(topLevel[1].power, 10.0f);
    }
}

TEST(XFileReferences, ByGuidNestedAnywhereAndUndefinedNames) {
    // A mesh inside an object the reader does not know, referenced by GUID only; a
    // material inside one mesh's list, used by another mesh; a name defined nowhere.
    std::string text = kText + "Wrapper { Stuff { Mesh Hidden { " + kGuidText +
                       " 3; 0;0;0;, 2;0;0;, 0;2;0;; 1; 3;0,2,1;; } } }\n"
                       "Mesh First { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;;\n"
                       "  MeshMaterialList { 1; 1; 0;; Material Red { 1;0;0;1;; 1; 0;0;0;; 0;0;0;; } } }\n"
                       "Frame F { {" + std::string(kGuidText) + "} {First} }\n"
                       "Mesh Second { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; MeshMaterialList { 2; 1; 0;; {Red} {Nowhere} } }\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.frames.at(0).meshes.size(), 2u);
    EXPECT_EQ(frameMesh(f, 0, 0).name, "Hidden");
    EXPECT_EQ(&frameMesh(f, 0, 1), &f.meshes.at(0));
    const auto& second = f.meshes.at(1).materials;
    EXPECT_EQ(&second[0], &f.meshes.at(0).materials[0]);
    EXPECT_FLOAT_EQ(second[1].faceColor[0], 1.0f);  // white, as before
    EXPECT_EQ(f.warnings, (std::vector<std::string>{"material 'Nowhere' is not defined; white used"}));

    // Objects read only for their definitions keep their own references until the end.
    ASSERT_EQ(parseText(kText + "Wrapper { Frame { Frame Named { {Gone} } {Gone} } }\n", f, &error), Status::Ok);
    EXPECT_EQ(f.warnings, (std::vector<std::string>{"frame 'Named': reference to unknown object 'Gone' ignored",
                                                    "frame (unnamed): reference to unknown object 'Gone' ignored"}));

    // The same reference in binary, by GUID alone.
    BinaryWriter w;
    w.name("Mesh").name("M").open();
    w.token(5);
    w.bytes.insert(w.bytes.end(), kGuidBytes.begin(), kGuidBytes.end());
    w.ints({3}).floats({0, 0, 0, 1, 0, 0, 0, 1, 0}).ints({1, 3, 0, 2, 1}).close();
    w.name("Frame").open().open().token(5);
    w.bytes.insert(w.bytes.end(), kGuidBytes.begin(), kGuidBytes.end());
    w.close().close();
    ASSERT_EQ(parseBytes(w.bytes, f, &error), Status::Ok) << error;
    EXPECT_EQ(&frameMesh(f, 0), &f.meshes.at(0));
}

TEST(XFileReferences, HeaderFieldsMayBeSeparatedByTabs) {
    const std::string body = std::string(kTriangle) + "\n";
    for (const std::string header : {"xof\t0303txt\t0032", "xof 0302txt\t0064", "xof\t0303txt 0032"}) {
        File f;
        std::string error;
        ASSERT_EQ(parseText(header + "\n" + body, f, &error), Status::Ok) << header << error;
        EXPECT_EQ(f.meshes.size(), 1u);
    }
    BinaryWriter w;
    w.bytes[3] = w.bytes[11] = '\t';
    w.name("Mesh").open().ints({3}).floats({0, 0, 0, 1, 0, 0, 0, 1, 0}).ints({1, 3, 0, 2, 1}).close();
    File f;
    std::string error;
    ASSERT_EQ(parseBytes(w.bytes, f, &error), Status::Ok) << error;
    // Other blanks, and a blank where none belongs, are refused as before.
    for (const std::string header : {"xof\n0303txt 0032", "xof 0303txt\r0032", "xof 0303tzi\t0032", "xof\v0303txt 0032"})
        EXPECT_EQ(parseText(header + "\n" + body, f), Status::BadFile) << header;
}

TEST(XFileReferences, ReferencedObjectsAreSharedNotCopied) {
    std::string text = kText + "Mesh M " + kTriangleBody + "\nFrame Leaf { {M} }\n";
    for (int i = 0; i < 50; ++i) text += "Frame F" + std::to_string(i) + " { {Leaf} {M} {Leaf} }\n";
    File f;
    ASSERT_EQ(parseText(text, f), Status::Ok);
    ASSERT_EQ(f.frames.size(), 51u);
    for (size_t i = 1; i < 51; ++i) {
        EXPECT_EQ(&f.frames[i].children.at(0), &f.frames[0]);
        EXPECT_EQ(&f.frames[i].children.at(1), &f.frames[0]);
        EXPECT_EQ(&f.frames[i].meshes.at(0), &f.meshes.at(0));
    }
}

TEST(XFileReferences, ExpansionBeyondTheAllowanceIsRefusedBeforeAnythingIsBuilt) {
    // Each frame holds the one before twice: 2^24 frames from 24 definitions.
    std::string doubling = kText + "Frame F1 { " + kTriangle + " }\n";
    for (int k = 2; k <= 24; ++k)
        doubling += "Frame F" + std::to_string(k) + " { {F" + std::to_string(k - 1) + "} {F" + std::to_string(k - 1) + "} }\n";
    // One mesh of 100 000 vertices placed 200 times: too much to merge into one builder.
    std::string heavy = kText + "Mesh Big { 100000; ";
    for (int i = 0; i < 100000; ++i) heavy += "0;0;0;,";
    heavy += "; 0;; }\nFrame Many {";
    for (int i = 0; i < 200; ++i) heavy += " {Big}";
    heavy += " }\n";
    // Wide rather than deep: a frame of 1000 children, referenced 1100 times.
    std::string wide = kText + "Frame W {";
    for (int i = 0; i < 1000; ++i) wide += " Frame {}";
    wide += " }\nFrame Top {";
    for (int i = 0; i < 1100; ++i) wide += " {W}";
    wide += " }\n";
    const std::pair<std::string, std::string> cases[] = {
        {doubling, "the file's references expand to more than 1000000 frames"},
        {heavy, "the file's references expand to more than 8388608 vertices and face corners"},
        {wide, "the file's references expand to more than 1000000 frames"},
    };
    for (const auto& [text, why] : cases) {
        File f;
        std::string error;
        EXPECT_EQ(parseText(text, f, &error), Status::BadFile);
        EXPECT_EQ(error, why);
        EXPECT_TRUE(f.frames.empty() && f.meshes.empty());
    }
}

TEST(XFileReferences, CyclesAndDepthThroughReferencesAreCutWithAWarning) {
    // A frame inside itself, and a chain whose references reach 300 levels.
    std::string text = kText + "Frame Loop { Frame Inner { {Loop} } }\nFrame C0 { " + kTriangle + " }\n";
    for (int k = 1; k < 300; ++k) text += "Frame C" + std::to_string(k) + " { {C" + std::to_string(k - 1) + "} }\n";
    File f;
    ASSERT_EQ(parseText(text, f), Status::Ok);
    EXPECT_EQ(f.warnings, (std::vector<std::string>{"references that would place a frame inside itself ignored",
                                                    "frames nested deeper than 200 levels through references skipped"}));
    // Only the reference that closes the loop is dropped; Inner stays inside Loop.
    ASSERT_EQ(f.frames[0].children.size(), 1u);
    EXPECT_EQ(f.frames[0].children[0].name, "Inner");
    EXPECT_TRUE(f.frames[0].children[0].children.empty());
    struct Deepest {
        int depth = 0;
        bool enter(const xfile::Frame&, int d) {
            depth = std::max(depth, d);
            return true;
        }
        void leave(const xfile::Frame&) {}
        bool cut(xfile::Cut) { return true; }
    } deepest;
    xfile::placeFrames(f.frames.back(), deepest);
    EXPECT_EQ(deepest.depth, xfile::kMaxFrameDepth);
}

class XFileReferenceLoad : public RmTest {
protected:
    HRESULT loadFrame(const std::string& text, IDirect3DRMFrame* into, const char* name = nullptr) {
        D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), DWORD(text.size())};
        return into->Load(&memory, const_cast<char*>(name), D3DRMLOAD_FROMMEMORY | (name ? D3DRMLOAD_BYNAME : 0),
                          nullptr, nullptr);
    }
};

TEST_F(XFileReferenceLoad, OneVisualHangsInEveryFrameThatReferencesIt) {
    const std::string text = kText + "Mesh M " + kTriangleBody + "\nFrame Root { Frame A { {M} } Frame B { {M} } {A} }\n";
    Held<IDirect3DRMFrame> into;
    into.p = frame();
    ASSERT_EQ(loadFrame(text, into), D3DRM_OK);
    auto root = rm::frameChildren(into).front();
    auto children = rm::frameChildren(root);
    ASSERT_EQ(children.size(), 3u);  // A, B and a second A: a frame has one parent
    EXPECT_NE(children[0], children[2]);
    IDirect3DRMVisual* shared = rm::frameVisuals(children[0]).front();
    for (auto* c : children) EXPECT_EQ(rm::frameVisuals(c).front(), shared);

    // Merged into one builder, each placement adds its own copy of the geometry.
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), DWORD(text.size())};
    ASSERT_EQ(mb->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
    EXPECT_EQ(mb->GetFaceCount(), 4);  // M itself, then A, B and A again
    // Every placement's corners, the mesh's own list shared by all four.
    const rm::MeshBuilderData& d = *rm::meshBuilderData(mb);
    ASSERT_EQ(d.corners.size(), 12u);
    const uint32_t face[3] = {0, 2, 1};
    for (uint32_t c = 0; c < 12; ++c) EXPECT_EQ(d.corners.vertex(c), c / 3 * 3 + face[c % 3]) << c;
}

TEST_F(XFileReferenceLoad, AFrameLoadedByNameIsHeldToTheAllowanceFromWhereItIsBuilt) {
    // A doubling chain defined 190 levels down: there its references are cut at the depth
    // limit, so the file as a whole is fine; built on its own, the last frame would pass
    // the allowance.
    std::string text = kText + "Frame Deep {\n";
    for (int i = 0; i < 189; ++i) text += "Frame {\n";
    text += "Frame D1 " + kTriangleBody + "\n";
    for (int k = 2; k <= 22; ++k)
        text += "Frame D" + std::to_string(k) + " { {D" + std::to_string(k - 1) + "} {D" + std::to_string(k - 1) + "} }\n";
    for (int i = 0; i < 190; ++i) text += "}\n";
    Held<IDirect3DRMFrame> into;
    into.p = frame();
    EXPECT_EQ(loadFrame(text, into), D3DRM_OK);
    EXPECT_EQ(loadFrame(text, into, "D10"), D3DRM_OK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadFrame(text, into, "D22"), D3DRMERR_BADFILE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("more than 1000000 frames"), std::string::npos);
    EXPECT_EQ(rm::frameChildren(into).size(), 2u);
}
