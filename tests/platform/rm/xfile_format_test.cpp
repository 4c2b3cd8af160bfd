#include <gtest/gtest.h>

#include "platform/rm/xfile.h"
#include "tests/platform/rm/xfile_test_util.h"

using namespace xfile_test;
using xfile::File;
using xfile::Status;

namespace {

std::vector<uint32_t> face(const xfile::IndexLists& l, size_t i) { return {l[i].begin(), l[i].end()}; }

bool hasWarning(const File& f, const std::string& part) {
    for (const auto& w : f.warnings)
        if (w.find(part) != std::string::npos) return true;
    return false;
}

const char* kQuad =
    "4;\n0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;;\n"
    "2;\n3;0,1,2;, 3;0,2,3;;\n";

}  // namespace

TEST(XFileText, TemplatesCommentsAndUnknownObjectsAreSkipped) {
    std::string text = std::string("xof 0303txt 0032\n") +
                       "// a comment with { braces\n"
                       "# another } comment\n"
                       "template Coords2d { FLOAT u; FLOAT v; }\n"  // no GUID
                       "template Custom {\n <01234567-89AB-CDEF-0123-456789ABCDEF>\n array DWORD x[2];\n [...]\n}\n"
                       "Custom thing { 1; 2;; Nested { \"a } string {\"; Deeper { 3; } } }\n"
                       "Mesh box { // trailing comment\n" +
                       kQuad +
                       "  XSkinMeshHeader { 1; 2; 3; }\n"
                       "  SkinWeights { \"Bone\"; 1; 0; 1.0; 1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;; }\n"
                       "  MeshFaceWraps { 0; }\n"
                       "}\n"
                       "Frame Bone { }\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.meshes.size(), 1u);
    EXPECT_EQ(f.meshes[0].name, "box");
    EXPECT_EQ(f.meshes[0].vertices.size(), 4u);
    ASSERT_EQ(f.meshes[0].faces.size(), 2u);
    EXPECT_EQ(face(f.meshes[0].faces, 1), (std::vector<uint32_t>{0, 2, 3}));
    EXPECT_EQ(f.meshes[0].skinWeights.size(), 1u);
    EXPECT_TRUE(f.warnings.empty());
}

TEST(XFileText, LenientSeparatorsNumbersAndNames) {
    // Commas where semicolons belong, exponents, '+', integers written as reals, names
    // with '-' and starting with digits, a GUID in the object header.
    std::string text =
        "xof 0302txt 0032\n"
        "Frame frm-Flag { <3D82AB46-62DA-11cf-AB39-0020AF71E433>\n"
        " Mesh 1st_mesh { 3.0, 1e0,0,0, +2.5E-1,0,0, 0,-1,0,, 1, 3, 0, 1, 2,, }\n"
        "}\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.frames.size(), 1u);
    EXPECT_EQ(f.frames[0].name, "frm-Flag");
    ASSERT_EQ(f.frames[0].meshes.size(), 1u);
    const auto& m = f.frames[0].meshes[0];
    EXPECT_EQ(m.name, "1st_mesh");
    ASSERT_EQ(m.vertices.size(), 3u);
    EXPECT_FLOAT_EQ(m.vertices[0][0], 1.0f);
    EXPECT_FLOAT_EQ(m.vertices[1][0], 0.25f);
    EXPECT_FLOAT_EQ(m.vertices[2][1], -1.0f);
    EXPECT_EQ(m.faces.size(), 1u);
}

TEST(XFileText, MeshPartsStayAlignedWhenFacesAreDropped) {
    std::string text =
        "xof 0303txt 0032\n"
        "Mesh m {\n"
        " 4; 0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;;\n"
        " 4; 3;0,1,2;, 3;0,1,9;, 2;0,1;, 3;0,2,3;;\n"
        " MeshNormals { 2; 0;0;1;, 0;0;-1;; 4; 3;0,0,0;, 3;1,1,1;, 2;0,0;, 3;1,0,1;; }\n"
        " MeshTextureCoords { 4; 0;0;, 1;0;, 1;1;, 0;1;; }\n"
        " MeshVertexColors { 2; 0; 1;0;0;1;;, 7; 0;1;0;1;;; }\n"
        " MeshMaterialList { 3; 4; 0, 1, 2, 1;;\n"
        "  Material red { 1;0;0;1;; 5; 1;1;1;; 0;0;0;; TextureFilename { \"tex\\\\Brick.BMP\"; } }\n"
        "  Material { 0;1;0;1;; 0; 0;0;0;; 0;0;0;; }\n"
        "  Material { 0;0;1;0.5;; 0; 0;0;0;; 0.1;0.2;0.3;; }\n"
        " }\n"
        "}\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    const auto& m = f.meshes.at(0);
    // Face 1 (index 9) and face 2 (two vertices) are dropped with everything aligned to them.
    ASSERT_EQ(m.faces.size(), 2u);
    EXPECT_EQ(face(m.faces, 1), (std::vector<uint32_t>{0, 2, 3}));
    ASSERT_EQ(m.faceNormals.size(), 2u);
    EXPECT_EQ(face(m.faceNormals, 1), (std::vector<uint32_t>{1, 0, 1}));
    EXPECT_EQ(m.faceMaterials, (std::vector<uint32_t>{0, 1}));
    ASSERT_EQ(m.textureCoords.size(), 4u);
    EXPECT_FLOAT_EQ(m.textureCoords[2][1], 1.0f);
    ASSERT_EQ(m.vertexColors.size(), 4u);
    EXPECT_FLOAT_EQ(m.vertexColors[0][0], 1.0f);
    EXPECT_FLOAT_EQ(m.vertexColors[0][1], 0.0f);
    EXPECT_FLOAT_EQ(m.vertexColors[1][1], 1.0f);  // not listed: white
    ASSERT_EQ(m.materials.size(), 3u);
    EXPECT_EQ(m.materials[0].name, "red");
    EXPECT_EQ(m.materials[0].textureFilename, "tex\\\\Brick.BMP");
    EXPECT_FLOAT_EQ(m.materials[0].power, 5.0f);
    EXPECT_FLOAT_EQ(m.materials[2].faceColor[3], 0.5f);
    EXPECT_FLOAT_EQ(m.materials[2].emissive[2], 0.3f);
    EXPECT_TRUE(hasWarning(f, "2 faces dropped"));
    EXPECT_TRUE(hasWarning(f, "vertex colours"));
}

TEST(XFileText, InconsistentMeshPartsAreRepairedOrDropped) {
    File f;
    // Fewer material indices than faces: the last covers the rest. Normals whose faces do
    // not match are dropped, so that normals are generated. Short texture coordinates
    // are padded.
    ASSERT_EQ(parseText(std::string("xof 0303txt 0032\nMesh {\n") + kQuad +
                            " MeshMaterialList { 2; 1; 1;; Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; }"
                            "  Material { 1;0;1;1;; 0; 0;0;0;; 0;0;0;; } }\n"
                            " MeshNormals { 1; 0;0;1;; 1; 3;0,0,0;; }\n"
                            " MeshTextureCoords { 1; 0.5;0.5;; }\n}\n",
                        f),
              Status::Ok);
    const auto& m = f.meshes.at(0);
    EXPECT_EQ(m.faceMaterials, (std::vector<uint32_t>{1, 1}));
    EXPECT_TRUE(m.faceNormals.empty());
    EXPECT_TRUE(m.normals.empty());
    ASSERT_EQ(m.textureCoords.size(), 4u);
    EXPECT_FLOAT_EQ(m.textureCoords[0][0], 0.5f);
    EXPECT_TRUE(hasWarning(f, "normals"));
    EXPECT_TRUE(hasWarning(f, "texture coordinates"));

    // One normal per vertex and no face normals: the normals follow the vertices.
    ASSERT_EQ(parseText(std::string("xof 0303txt 0032\nMesh {\n") + kQuad +
                            " MeshNormals { 4; 0;0;1;, 0;0;1;, 0;0;1;, 0;0;1;; 0; }\n}\n",
                        f),
              Status::Ok);
    EXPECT_EQ(f.meshes.at(0).faceNormals.indices, f.meshes.at(0).faces.indices);
    EXPECT_EQ(f.meshes.at(0).normals.size(), 4u);

    // A material list whose materials are missing leaves the mesh white.
    ASSERT_EQ(parseText(std::string("xof 0303txt 0032\nMesh {\n") + kQuad + " MeshMaterialList { 1; 2; 0, 0;; }\n}\n",
                        f),
              Status::Ok);
    EXPECT_TRUE(f.meshes.at(0).faceMaterials.empty());
}

TEST(XFileText, UnusableSkinWeightsAreRepairedWithAWarning) {
    const std::string identity = "1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; ";
    auto bone = [&](const std::string& name, const std::string& body) {
        return " SkinWeights { \"" + name + "\"; " + body + " " + identity + "}\n";
    };
    struct Case {
        const char* what;
        std::string weights;      // the mesh's SkinWeights objects
        const char* warning;      // part of the one warning expected; null: none
        std::vector<std::vector<std::pair<uint32_t, float>>> kept;  // per bone
    };
    const Case cases[] = {
        {"fine", bone("A", "2; 0, 1; 1, 0.25;") + bone("B", "1; 1; 0.75;"), nullptr, {{{0, 1}, {1, 0.25f}}, {{1, 0.75f}}}},
        {"zero weights mean nothing", bone("A", "2; 0, 1; 1, 0;"), nullptr, {{{0, 1}}}},
        {"vertex out of range", bone("A", "3; 0, 4, 4000000000; 1, 1, 1;"), "do not exist", {{{0, 1}}}},
        {"negative weight", bone("A", "2; 0, 1; 1, -1;"), "negative", {{{0, 1}}}},
        {"not summing to one", bone("A", "2; 0, 1; 2, 0.5;") + bone("B", "1; 1; 0.5;"), "not sum to 1",
         {{{0, 1}, {1, 0.5f}}, {{1, 0.5f}}}},
        {"more bones than vertices",
         bone("A", "1; 0; 1;") + bone("B", "1; 1; 1;") + bone("C", "1; 2; 1;") + bone("D", "1; 3; 1;") +
             bone("E", "1; 0; 1;"),
         "bones for 4 vertices", {{{0, 1}}, {{1, 1}}, {{2, 1}}, {{3, 1}}}},
        {"bone without a frame", bone("Nobody", "1; 0; 1;"), "names no frame", {{{0, 1}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        File f;
        std::string error;
        const std::string frames = "Frame A {} Frame B {} Frame C {} Frame D {} Frame E {}\n";
        ASSERT_EQ(parseText(std::string("xof 0303txt 0032\n") + frames + "Mesh {\n" + kQuad + c.weights + "}\n", f, &error),
                  Status::Ok)
            << error;
        EXPECT_EQ(f.warnings.size(), c.warning ? 1u : 0u);
        if (c.warning) {
            EXPECT_TRUE(hasWarning(f, c.warning)) << (f.warnings.empty() ? "" : f.warnings[0]);
        }
        const auto& skin = f.meshes.at(0).skinWeights;
        ASSERT_EQ(skin.size(), c.kept.size());
        for (size_t b = 0; b < skin.size(); ++b) {
            ASSERT_EQ(skin[b].vertices.size(), c.kept[b].size());
            for (size_t i = 0; i < skin[b].vertices.size(); ++i) {
                EXPECT_EQ(skin[b].vertices[i], c.kept[b][i].first);
                EXPECT_FLOAT_EQ(skin[b].weights[i], c.kept[b][i].second);
            }
        }
    }
}

TEST(XFileText, ReferencesResolveToEarlierObjects) {
    std::string text = std::string("xof 0303txt 0032\n") +
                       "Material Gold { 1;0.8;0;1;; 20; 1;1;1;; 0;0;0;; }\n"
                       "Mesh shared {\n" + kQuad + " MeshMaterialList { 2; 2; 0, 1;; {Gold} { Missing } } }\n"
                       "Frame root {\n"
                       " FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 5,6,7,1;; }\n"
                       " { shared }\n"
                       " Frame child { Mesh inner {" + kQuad + "} }\n"
                       " Frame other { { inner } { nothing } }\n"
                       "}\n"
                       "Frame again { { child } }\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.materials.size(), 1u);
    const auto& shared = f.meshes.at(0);
    ASSERT_EQ(shared.materials.size(), 2u);
    EXPECT_EQ(shared.materials[0].name, "Gold");
    EXPECT_FLOAT_EQ(shared.materials[0].faceColor[1], 0.8f);
    EXPECT_FLOAT_EQ(shared.materials[1].faceColor[0], 1.0f);  // unresolved: white
    EXPECT_TRUE(hasWarning(f, "'Missing'"));

    ASSERT_EQ(f.frames.size(), 2u);
    const auto& root = f.frames[0];
    EXPECT_FLOAT_EQ(root.transform[12], 5.0f);
    EXPECT_FLOAT_EQ(root.transform[14], 7.0f);
    ASSERT_EQ(root.meshes.size(), 1u);
    EXPECT_EQ(root.meshes[0].name, "shared");
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_FLOAT_EQ(root.children[0].transform[0], 1.0f);  // no matrix: identity
    EXPECT_FLOAT_EQ(root.children[0].transform[12], 0.0f);
    ASSERT_EQ(root.children[1].meshes.size(), 1u);
    EXPECT_EQ(root.children[1].meshes[0].name, "inner");
    EXPECT_TRUE(hasWarning(f, "'nothing'"));
    ASSERT_EQ(f.frames[1].children.size(), 1u);
    EXPECT_EQ(f.frames[1].children[0].name, "child");
}

TEST(XFileText, AnimationsKeysAndOptions) {
    std::string text =
        "xof 0303txt 0032\n"
        "Frame bone {}\n"
        "AnimationSet walk {\n"
        " Animation a1 { {bone}\n"
        "  AnimationKey { 0; 2; 0; 4; 1,0,0,0;;, 10; 4; 0,0,1,0;;; }\n"
        "  AnimationKey { 2; 2; 0; 3; 0,0,0;;, 10; 3; 1,2,3;;; }\n"
        "  AnimationKey { 4; 1; 5; 16; 1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;;; }\n"
        "  AnimationKey { 1; 1; 0; 2; 1,1;;; }\n"  // wrong count: dropped
        "  AnimationKey { 9; 1; 0; 1; 1;;; }\n"    // unknown type: dropped
        "  AnimationOptions { 1; 0; }\n"
        " }\n"
        " Animation { { bone } AnimationKey { 1; 1; 0; 3; 2,2,2;;; } }\n"
        "}\n"
        "Animation loose { {bone} AnimationOptions { 0; 1; } }\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.animationSets.size(), 2u);
    const auto& set = f.animationSets[0];
    EXPECT_EQ(set.name, "walk");
    ASSERT_EQ(set.animations.size(), 2u);
    const auto& a = set.animations[0];
    EXPECT_EQ(a.frameName, "bone");
    ASSERT_EQ(a.keys.size(), 3u);
    EXPECT_EQ(a.keys[0].keyType, 0u);
    EXPECT_EQ(a.keys[0].times, (std::vector<uint32_t>{0, 10}));
    EXPECT_EQ(a.keys[0].values[1], (std::vector<float>{0, 0, 1, 0}));
    EXPECT_EQ(a.keys[1].values[1], (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(a.keys[2].keyType, 4u);
    EXPECT_EQ(a.keys[2].values[0].size(), 16u);
    EXPECT_FALSE(a.closed);
    EXPECT_TRUE(a.spline);
    // No options: closed and linear.
    EXPECT_TRUE(set.animations[1].closed);
    EXPECT_FALSE(set.animations[1].spline);
    EXPECT_TRUE(hasWarning(f, "type 1"));
    EXPECT_TRUE(hasWarning(f, "type 9"));
    // An Animation outside any set lands in an unnamed set.
    EXPECT_EQ(f.animationSets[1].name, "");
    ASSERT_EQ(f.animationSets[1].animations.size(), 1u);
    EXPECT_TRUE(f.animationSets[1].animations[0].closed);
    EXPECT_FALSE(f.animationSets[1].animations[0].spline);
}

TEST(XFileBinary, ListsRunAcrossMembersAndFloatSize64) {
    for (int floatSize : {32, 64}) {
        BinaryWriter w(floatSize);
        // Template declaration in binary form, then the Header object.
        w.token(31).name("Custom").open().token(5);
        for (int i = 0; i < 16; ++i) w.bytes.push_back(uint8_t(i));
        w.token(41).name("x").token(20).token(14).token(18).token(18).token(18).token(15).close();
        w.name("Header").open().ints({1, 0, 1}).close();
        w.name("Mesh").name("tri").open();
        // The vertex count, then the vertices split over two float lists, then the faces
        // and the material list's counts in one integer list.
        w.ints({3}).floats({0, 0, 0, 0.125}).floats({0, 0, 0, 1e-30, 0}).ints({1, 3, 0, 1, 2});
        w.name("MeshMaterialList").open().ints({1, 1, 0});
        w.name("Material").open().floats({0.5, 0.25, 1, 1, 7, 0, 0, 0, 0, 0, 0});
        w.name("TextureFilename").open().string("wood.ppm").close();
        w.close().close();
        w.name("Unknown").open().string("}").ints({5}).name("Inner").open().close().close();
        w.close();
        w.name("Frame").open().name("FrameTransformMatrix").open();
        w.floats({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1.5, 2.5, 3.5, 1}).close();
        w.open().name("tri").close();
        w.close();
        File f;
        std::string error;
        ASSERT_EQ(parseBytes(w.bytes, f, &error), Status::Ok) << floatSize << " " << error;
        EXPECT_EQ(f.floatSize, floatSize);
        ASSERT_EQ(f.meshes.size(), 1u);
        const auto& m = f.meshes[0];
        ASSERT_EQ(m.vertices.size(), 3u);
        EXPECT_FLOAT_EQ(m.vertices[1][0], 0.125f);
        EXPECT_FLOAT_EQ(m.vertices[2][1], 1e-30f);
        EXPECT_EQ(face(m.faces, 0), (std::vector<uint32_t>{0, 1, 2}));
        ASSERT_EQ(m.materials.size(), 1u);
        EXPECT_FLOAT_EQ(m.materials[0].faceColor[1], 0.25f);
        EXPECT_FLOAT_EQ(m.materials[0].power, 7.0f);
        EXPECT_EQ(m.materials[0].textureFilename, "wood.ppm");
        ASSERT_EQ(f.frames.size(), 1u);
        EXPECT_FLOAT_EQ(f.frames[0].transform[13], 2.5f);
        ASSERT_EQ(f.frames[0].meshes.size(), 1u);
    }
}

TEST(XFileMalformed, BadHeadersAndTruncationFailCleanly) {
    File f;
    std::string error;
    for (const char* h : {"", "xof", "xof 0302txt", "xyz 0302txt 0032", "xof 0302abc 0032", "xof 0302txt 0016",
                          "xof 0302com 0032lzw "}) {
        EXPECT_EQ(parseText(h, f, &error), Status::BadFile) << h;
        EXPECT_FALSE(error.empty());
    }
    // Every prefix of a valid file either loads (cut between objects) or fails: never more.
    std::string text = std::string("xof 0303txt 0032\nMaterial M { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; }\nMesh {\n") +
                       kQuad + " MeshMaterialList { 1; 1; 0;; {M} }\n}\nFrame F { FrameTransformMatrix { 1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;; } }\n";
    size_t loaded = 0;
    for (size_t n = 16; n < text.size(); ++n) {
        Status s = parseText(text.substr(0, n), f, &error);
        if (s == Status::Ok) ++loaded;
        else EXPECT_TRUE(f.meshes.empty() && f.frames.empty() && f.materials.empty());
    }
    EXPECT_LT(loaded, 12u);

    BinaryWriter w;
    w.name("Mesh").open().ints({3}).floats({0, 0, 0, 1, 0, 0, 0, 1, 0}).ints({1, 3, 0, 1, 2}).close();
    for (size_t n = 17; n < w.bytes.size(); ++n) {
        std::vector<uint8_t> cut(w.bytes.begin(), w.bytes.begin() + long(n));
        EXPECT_EQ(parseBytes(cut, f, &error), Status::BadFile) << n;
    }
}

TEST(XFileMalformed, CountsLargerThanTheDataFailWithoutHugeAllocations) {
    File f;
    std::string error;
    EXPECT_EQ(parseText("xof 0303txt 0032\nMesh { 4000000000; 1;2;3;; }", f, &error), Status::BadFile);
    EXPECT_EQ(parseText("xof 0303txt 0032\nMesh { 1; 0;0;0;; 1; 4000000000; 0, 0, 0;; }", f, &error),
              Status::BadFile);
    EXPECT_EQ(parseText("xof 0303txt 0032\nMesh { -5; }", f, &error), Status::BadFile);
    EXPECT_EQ(parseText("xof 0303txt 0032\nMesh { 1; 0;0;0;; 0; SkinWeights { \"b\"; 4000000000; 0; 1; } }", f, &error),
              Status::BadFile);
    BinaryWriter w;
    w.name("Mesh").open();
    w.put16(6);
    w.put32(0x40000000);  // an integer list claiming a gigabyte
    w.put32(3);
    EXPECT_EQ(parseBytes(w.bytes, f, &error), Status::BadFile);
    BinaryWriter s;
    s.name("Mesh").open();
    s.put16(1);
    s.put32(0xFFFFFFF0);  // a name longer than the file
    EXPECT_EQ(parseBytes(s.bytes, f, &error), Status::BadFile);
    BinaryWriter t;
    t.name("Unknown").open().token(99).close();  // no such token, even in skipped data
    EXPECT_EQ(parseBytes(t.bytes, f, &error), Status::BadFile);
    EXPECT_NE(error.find("token"), std::string::npos);
}

TEST(XFileMalformed, DeepNestingNeitherOverflowsNorLosesTheFile) {
    std::string text = "xof 0303txt 0032\n";
    const int depth = 20000;
    for (int i = 0; i < depth; ++i) text += "Frame {";
    for (int i = 0; i < depth; ++i) text += "}";
    text += "\nMesh {" + std::string(kQuad) + "}\n";
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    EXPECT_EQ(f.meshes.size(), 1u);
    EXPECT_TRUE(hasWarning(f, "nested deeper"));
    // Unbalanced nesting is an error, not a crash.
    EXPECT_EQ(parseText("xof 0303txt 0032\n" + std::string(5000, '{'), f, &error), Status::BadFile);
    EXPECT_EQ(parseText("xof 0303txt 0032\nMesh {}}", f, &error), Status::BadFile);
}
