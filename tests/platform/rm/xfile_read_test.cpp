#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/rm/xfile.h"
#include "tests/platform/rm/xfile_test_util.h"

using namespace xfile_test;
using xfile::File;
using xfile::Status;

namespace {

const std::string kAssimpX = "/usr/share/assimp/models/X/";

// The form our Rokkaku converter writes: template declarations with GUIDs, a Header, one
// Mesh whose faces come in pairs (";;" closing both copies of the last face), a material
// list of 13 materials.
std::string converterStyleFile(const std::vector<std::array<float, 3>>& points,
                               const std::vector<std::array<int, 4>>& faces, const std::vector<int>& colors) {
    std::string s =
        "xof 0302txt 0064\n"
        "template Header {\n <3D82AB43-62DA-11cf-AB39-0020AF71E433>\n WORD major;\n WORD minor;\n DWORD flags;\n}\n\n"
        "template Vector {\n <3D82AB5E-62DA-11cf-AB39-0020AF71E433>\n FLOAT x;\n FLOAT y;\n FLOAT z;\n}\n\n"
        "template MeshFace {\n <3D82AB5F-62DA-11cf-AB39-0020AF71E433>\n DWORD nFaceVertexIndices;\n"
        " array DWORD faceVertexIndices[nFaceVertexIndices];\n}\n\n"
        "template Material {\n <3D82AB4D-62DA-11cf-AB39-0020AF71E433>\n ColorRGBA faceColor;\n FLOAT power;\n"
        " ColorRGB specularColor;\n ColorRGB emissiveColor;\n [...]\n}\n\n"
        "template Mesh {\n <3D82AB44-62DA-11cf-AB39-0020AF71E433>\n DWORD nVertices;\n array Vector vertices[nVertices];\n"
        " DWORD nFaces;\n array MeshFace faces[nFaces];\n [...]\n}\n"
        "Header{\n1;\n0;\n1;\n}\nMesh{\n";
    char buf[256];
    s += std::to_string(points.size()) + ";\n";
    for (size_t i = 0; i < points.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%8.8f;%8.8f;%8.8f;%s\n", points[i][0], points[i][1], points[i][2],
                      i + 1 == points.size() ? ";" : ",");
        s += buf;
    }
    s += "\n" + std::to_string(faces.size() * 2) + ";\n";
    for (size_t i = 0; i < faces.size(); ++i) {
        const auto& f = faces[i];
        const char* sep = i + 1 == faces.size() ? ";\n" : ",\n";
        if (f[3] == -2) {  // three-slot form
            std::snprintf(buf, sizeof buf, "3;%d;%d;%d;%s3;%d;%d;%d;%s", f[0], f[1], f[2], sep, f[2], f[1], f[0], sep);
        } else {
            std::snprintf(buf, sizeof buf, "4;%d;%d;%d;%d;%s4;%d;%d;%d;%d;%s", f[0], f[1], f[2], f[3], sep, f[3], f[2],
                          f[1], f[0], sep);
        }
        s += buf;
    }
    s += "\nMeshMaterialList{\n13;\n" + std::to_string(faces.size() * 2) + ";\n";
    for (size_t i = 0; i < colors.size(); ++i) {
        s += std::to_string(colors[i]) + ",\n";
        s += std::to_string(colors[i]) + (i + 1 == colors.size() ? ";\n" : ",\n");
    }
    for (int m = 0; m < 13; ++m) {
        std::snprintf(buf, sizeof buf, "Material{\n%f;%f;%f;1.0;;\n15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n",
                      m / 12.0, 1.0 - m / 12.0, 0.5);
        s += buf;
    }
    s += "}\n}\n";
    return s;
}

const xfile::Mesh* firstMesh(const File& f) {
    if (!f.meshes.empty()) return &f.meshes[0];
    std::function<const xfile::Mesh*(const xfile::Frame&)> walk = [&](const xfile::Frame& fr) -> const xfile::Mesh* {
        if (!fr.meshes.empty()) return &fr.meshes[0];
        for (const auto& c : fr.children)
            if (auto* m = walk(c)) return m;
        return nullptr;
    };
    for (const auto& fr : f.frames)
        if (auto* m = walk(fr)) return m;
    return nullptr;
}

}  // namespace

TEST(XFileConverterOutput, LoadsWithCountsColoursAndDropsFacesWithMissingPoints) {
    // A square, a triangle, and a triangle whose edges touched only two points (-1 slot).
    std::string text = converterStyleFile({{0, 0, 0}, {1, 0, 0}, {1, -1, 0}, {0, -1, 0}, {2, 2, 2}},
                                          {{0, 1, 2, 3}, {0, 1, 4, -2}, {1, 4, -1, -2}}, {3, 12, 7});
    File f;
    std::string error;
    ASSERT_EQ(parseText(text, f, &error), Status::Ok) << error;
    ASSERT_EQ(f.meshes.size(), 1u);
    const auto& m = f.meshes[0];
    EXPECT_EQ(f.floatSize, 64);
    ASSERT_EQ(m.vertices.size(), 5u);
    EXPECT_FLOAT_EQ(m.vertices[2][1], -1.0f);
    // Both copies of the face with -1 are dropped; the rest keep their materials.
    ASSERT_EQ(m.faces.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(m.faces[0].begin(), m.faces[0].end()), (std::vector<uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(std::vector<uint32_t>(m.faces[1].begin(), m.faces[1].end()), (std::vector<uint32_t>{3, 2, 1, 0}));
    EXPECT_EQ(std::vector<uint32_t>(m.faces[3].begin(), m.faces[3].end()), (std::vector<uint32_t>{4, 1, 0}));
    ASSERT_EQ(m.materials.size(), 13u);
    EXPECT_EQ(m.faceMaterials, (std::vector<uint32_t>{3, 3, 12, 12}));
    EXPECT_NEAR(m.materials[12].faceColor[0], 1.0f, 1e-6);
    EXPECT_NEAR(m.materials[12].faceColor[1], 0.0f, 1e-6);
    EXPECT_NEAR(m.materials[3].faceColor[0], 0.25f, 1e-6);
    EXPECT_FLOAT_EQ(m.materials[3].power, 15.0f);
    EXPECT_FLOAT_EQ(m.materials[3].specular[2], 1.0f);
    EXPECT_FLOAT_EQ(m.materials[3].faceColor[3], 1.0f);
    ASSERT_EQ(f.warnings.size(), 1u);
    EXPECT_NE(f.warnings[0].find("2 faces dropped"), std::string::npos);
}

TEST(XFileConverterOutput, EmptyModelAndOutOfRangeColourStillLoad) {
    File f;
    ASSERT_EQ(parseText(converterStyleFile({}, {}, {}), f), Status::Ok);
    ASSERT_EQ(f.meshes.size(), 1u);
    EXPECT_TRUE(f.meshes[0].vertices.empty());
    EXPECT_TRUE(f.meshes[0].faces.empty());

    // A colour outside the 13 materials: the face loads with the first material.
    ASSERT_EQ(parseText(converterStyleFile({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2, -2}}, {20}), f), Status::Ok);
    ASSERT_EQ(f.meshes[0].faces.size(), 2u);
    EXPECT_EQ(f.meshes[0].faceMaterials, (std::vector<uint32_t>{0, 0}));
    EXPECT_FALSE(f.warnings.empty());
}

TEST(XFileRealFiles, TextBinaryAndCompressedCubesGiveTheSameGeometry) {
    File text, binary, compressed;
    std::string error;
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    ASSERT_EQ(xfile::loadFile(kAssimpX + "test_cube_text.x", text, &error, quiet), Status::Ok) << error;
    ASSERT_EQ(xfile::loadFile(kAssimpX + "test_cube_binary.x", binary, &error, quiet), Status::Ok) << error;
    ASSERT_EQ(xfile::loadFile(kAssimpX + "test_cube_compressed.x", compressed, &error, quiet), Status::Ok) << error;
    EXPECT_EQ(binary.format, xfile::Format::Binary);
    EXPECT_EQ(compressed.format, xfile::Format::CompressedBinary);
    for (const File* f : {&text, &binary, &compressed}) EXPECT_EQ(f->ticksPerSecond, 24u);  // AnimTicksPerSecond
    const xfile::Mesh* t = firstMesh(text);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->vertices.size(), 24u);
    ASSERT_EQ(t->faces.size(), 12u);
    ASSERT_EQ(t->textureCoords.size(), 24u);
    ASSERT_EQ(t->faceNormals.size(), 12u);
    ASSERT_EQ(t->materials.size(), 1u);  // a reference to the top-level material
    EXPECT_NEAR(t->materials[0].faceColor[0], 0.639216f, 1e-5);
    ASSERT_EQ(text.frames.size(), 1u);
    ASSERT_EQ(text.frames[0].children.size(), 1u);
    ASSERT_EQ(t->skinWeights.size(), 1u);
    EXPECT_EQ(t->skinWeights[0].boneName, "Cube");
    EXPECT_EQ(t->skinWeights[0].vertices.size(), 24u);
    for (const File* other : {&binary, &compressed}) {
        const xfile::Mesh* o = firstMesh(*other);
        ASSERT_NE(o, nullptr);
        ASSERT_EQ(o->vertices.size(), t->vertices.size());
        for (size_t i = 0; i < t->vertices.size(); ++i)
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(o->vertices[i][k], t->vertices[i][k], 1e-5);
        EXPECT_EQ(o->faces.indices, t->faces.indices);
        EXPECT_EQ(o->faces.offsets, t->faces.offsets);
        EXPECT_EQ(o->faceNormals.indices, t->faceNormals.indices);
        EXPECT_EQ(o->faceMaterials, t->faceMaterials);
        ASSERT_EQ(o->skinWeights.size(), t->skinWeights.size());
        for (size_t b = 0; b < t->skinWeights.size(); ++b) {
            EXPECT_EQ(o->skinWeights[b].boneName, t->skinWeights[b].boneName);
            EXPECT_EQ(o->skinWeights[b].vertices, t->skinWeights[b].vertices);
            EXPECT_EQ(o->skinWeights[b].weights, t->skinWeights[b].weights);
            for (int k = 0; k < 16; ++k) EXPECT_NEAR(o->skinWeights[b].offset[k], t->skinWeights[b].offset[k], 1e-5);
        }
        ASSERT_EQ(o->materials.size(), 1u);
        EXPECT_NEAR(o->materials[0].power, t->materials[0].power, 1e-4);
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR(other->frames[0].children[0].transform[k], text.frames[0].children[0].transform[k], 1e-5);
    }
}

TEST(XFileRealFiles, EveryFileInTheCollectionLoadsOrFailsCleanly) {
    size_t loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kAssimpX)) {
        File f;
        std::string error;
        xfile::Options quiet;
        quiet.warningsToStderr = false;
        Status s = xfile::loadFile(entry.path().string(), f, &error, quiet);
        EXPECT_TRUE(s == Status::Ok || s == Status::BadFile) << entry.path();
        if (s == Status::Ok) {
            ++loaded;
        } else {
            EXPECT_FALSE(error.empty()) << entry.path();
            EXPECT_TRUE(f.meshes.empty() && f.frames.empty());
        }
    }
    EXPECT_GE(loaded, 9u);

    File anim;
    ASSERT_EQ(xfile::loadFile(kAssimpX + "Testwuson.X", anim), Status::Ok);
    ASSERT_FALSE(anim.animationSets.empty());
    const auto& a = anim.animationSets[0].animations.at(0);
    EXPECT_FALSE(a.frameName.empty());
    ASSERT_FALSE(a.keys.empty());
    for (const auto& k : a.keys) EXPECT_EQ(k.times.size(), k.values.size());
}

TEST(XFileRealFiles, MissingFileIsNotFound) {
    File f;
    std::string error;
    EXPECT_EQ(xfile::loadFile("/nonexistent/dir/model.x", f, &error), Status::FileNotFound);
    EXPECT_NE(error.find("model.x"), std::string::npos);
    EXPECT_EQ(xfile::loadFile(kAssimpX, f, &error), Status::FileNotFound);  // a folder
}

TEST(XFileCompressed, MultiBlockFilesRoundTripInBothForms) {
    // Big enough for several 32 KB blocks, repetitive so later blocks lean on the history.
    std::string text = "xof 0303txt 0032\nMesh big {\n";
    const int n = 6000;
    text += std::to_string(n) + ";\n";
    for (int i = 0; i < n; ++i) text += std::to_string(i) + ".5;" + std::to_string(i % 7) + ";-1.25;" + (i + 1 == n ? ";\n" : ",\n");
    text += std::to_string(n - 2) + ";\n";
    for (int i = 0; i + 2 < n; ++i) text += "3;" + std::to_string(i) + "," + std::to_string(i + 1) + "," + std::to_string(i + 2) + ";" + (i + 3 == n ? ";\n" : ",\n");
    text += "}\n";
    File plain, packed;
    ASSERT_EQ(parseText(text, plain), Status::Ok);
    auto z = compress(bytesOf(text));
    ASSERT_GT(bytesOf(text).size(), 3u * 32768);
    std::string error;
    ASSERT_EQ(parseBytes(z, packed, &error), Status::Ok) << error;
    EXPECT_EQ(packed.format, xfile::Format::CompressedText);
    ASSERT_EQ(packed.meshes.size(), 1u);
    EXPECT_EQ(packed.meshes[0].vertices, plain.meshes[0].vertices);
    EXPECT_EQ(packed.meshes[0].faces.indices, plain.meshes[0].faces.indices);
    EXPECT_FLOAT_EQ(packed.meshes[0].vertices[5999][0], 5999.5f);

    // Binary body, small blocks.
    BinaryWriter w;
    w.name("Mesh").open().ints({3}).floats({0, 0, 0, 1, 0, 0, 0, 1, 0}).ints({1, 3, 0, 1, 2}).close();
    File bin;
    ASSERT_EQ(parseBytes(compress(w.bytes, 7), bin, &error), Status::Ok) << error;
    EXPECT_EQ(bin.format, xfile::Format::CompressedBinary);
    ASSERT_EQ(bin.meshes.size(), 1u);
    EXPECT_EQ(bin.meshes[0].faces.size(), 1u);
}

TEST(XFileCompressed, CorruptOrLyingDataFails) {
    std::string text = "xof 0303txt 0032\nMesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; }\n";
    auto z = compress(bytesOf(text));
    File f;
    std::string error;
    auto bad = z;
    bad[20 + 4] = 'X';  // block signature
    EXPECT_EQ(parseBytes(bad, f, &error), Status::BadFile);
    bad = z;
    bad[16] = 20;  // declares less than the blocks hold
    bad[17] = bad[18] = bad[19] = 0;
    EXPECT_EQ(parseBytes(bad, f, &error), Status::BadFile);
    bad = z;
    bad.assign(z.begin(), z.end() - 3);  // block cut short
    EXPECT_EQ(parseBytes(bad, f, &error), Status::BadFile);
    bad = z;
    bad[bad.size() - 4] ^= 0x55;
    bad[bad.size() - 6] ^= 0xAA;
    Status s = parseBytes(bad, f, &error);  // corrupt deflate data: any clean outcome
    EXPECT_TRUE(s == Status::Ok || s == Status::BadFile);
}
