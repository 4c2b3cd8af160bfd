#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <stb_image.h>

#include "platform/rm/xfile.h"
#include "tests/cli/cli_test_util.h"

namespace fs = std::filesystem;

namespace {

using cli_test::quote;
using cli_test::readAll;
using cli_test::Result;

class CommandLine : public testing::Test {
protected:
    void SetUp() override {
        dir_ = cli_test::makeTempFolder("cli");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result run(const std::vector<std::string>& args) { return cli_test::run(quote(SOLLUXVIEWER), args, dir_); }
    std::string copy(const std::string& fixture, const std::string& name) {
        fs::copy_file(fs::path(SOLLUX_TEST_DATA) / fixture, dir_ / name);
        return (dir_ / name).string();
    }
    std::string write(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }

    fs::path dir_;
};

const char kTrace[] = "START\nPOINT\nLINE0\nFACE0\nPALC0\nLIT00\nVIEW0\nLINE2\nEND\n";

}  // namespace

TEST_F(CommandLine, VersionAndHelp) {
    Result r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "SolluxViewer 0.91\n");
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.starts_with("Usage: solluxviewer")) << r.out;
    EXPECT_NE(r.out.find("--convert FILE..."), std::string::npos);
    // The window's key table (whose completeness the input tests check) follows.
    EXPECT_NE(r.out.find("F1   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ctrl+Home   "), std::string::npos) << r.out;
    r = run({"--frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option '--frobnicate'"), std::string::npos) << r.err;
}

// The key table is no report: a scripted screenshot that opens it still succeeds.
TEST_F(CommandLine, ScreenshotWithTheKeyTableOpenExitsZero) {
    const std::string script = write("f1.play", "key down 0x70\nkey up 0x70\nframes 2\nquit\n");
    const Result r = run({"--screenshot", (dir_ / "shot.png").string(), "--play", script});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Keys and mouse: Menu keys"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "shot.png"));
}

TEST_F(CommandLine, ConvertWritesTraceDumpAndFile) {
    const std::string source = copy("conversion/triangle_crlf.rok", "tri.rok");
    Result r = run({"--convert", source});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, kTrace);
    // The palette dump: two lines per entry, nothing else.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 26);
    EXPECT_TRUE(r.err.starts_with("0 233;233;233\n0 0.913725;0.913725;0.913725;1.0;;\n1 144;255;255\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("12 248;248;248\n12 0.972549;0.972549;0.972549;1.0;;\n")) << r.err;
    EXPECT_EQ(readAll(dir_ / "tri.x"), readAll(fs::path(SOLLUX_TEST_DATA) / "conversion/triangle.x"));
}

TEST_F(CommandLine, ConvertGoesOnAfterAFailureAndExitsOne) {
    const std::string bad = write("bad.rok", "ROKU4\r\nPOINT\r\n2\r\n");
    const std::string good = copy("conversion/triangle_cr.rok", "good.rok");
    const std::string missing = (dir_ / "missing.rok").string();
    Result r = run({"--convert", bad, missing, good});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("START\nPOINT\n") + kTrace);
    EXPECT_NE(r.err.find("Viewer Message: error in POINT at point No.(1!=0)\n\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Viewer Message: Can't open '" + missing + "' file for read.\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "bad.x"));
    EXPECT_FALSE(fs::exists(dir_ / "missing.x"));
    EXPECT_TRUE(fs::exists(dir_ / "good.x"));

    r = run({"--convert", write("notes.txt", "ROKU4\r")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is not a Rokkaku file"), std::string::npos) << r.err;

    r = run({"--convert"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--convert needs at least one file"), std::string::npos);
}

TEST_F(CommandLine, ConvertLeavesXFilesAlone) {
    Result r = run({"--convert", (dir_ / "already.x").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_empty(dir_ / "stdout") && !fs::exists(dir_ / "already.x"));
}

// The bundled sample, converted by the program, loads with our own .x reader as the mesh
// it describes: every face twice, 13 materials, the face colours in step.
TEST_F(CommandLine, ConvertedSampleLoadsAsAMesh) {
    fs::copy_file(fs::path(SOLLUX_SOURCE_DIR) / "resources/sample.rok", dir_ / "sample.rok");
    Result r = run({"--convert", (dir_ / "sample.rok").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    xfile::File file;
    std::string error;
    ASSERT_EQ(xfile::loadFile((dir_ / "sample.x").string(), file, &error), xfile::Status::Ok) << error;
    ASSERT_EQ(file.meshes.size(), 1u);
    const xfile::Mesh& mesh = file.meshes[0];
    EXPECT_EQ(mesh.vertices.size(), 34u);
    ASSERT_EQ(mesh.faces.size(), 34u);
    ASSERT_EQ(mesh.materials.size(), 13u);
    ASSERT_EQ(mesh.faceMaterials.size(), 34u);
    for (size_t i = 0; i < mesh.faces.size(); i += 2) {
        // The second copy is the first one reversed.
        auto a = mesh.faces[i], b = mesh.faces[i + 1];
        ASSERT_EQ(a.size(), b.size());
        EXPECT_TRUE(std::equal(a.begin(), a.end(), b.rbegin()));
        EXPECT_EQ(mesh.faceMaterials[i], mesh.faceMaterials[i + 1]);
    }
    // The roof is red: the file's own palette entry 11 (180, 40, 30).
    EXPECT_FLOAT_EQ(mesh.materials[11].faceColor[0], 0.705882f);
    EXPECT_FLOAT_EQ(mesh.materials[11].power, 15.0f);
    // The lawn lies just below the floor: file y 0.348 turned over.
    EXPECT_FLOAT_EQ(mesh.vertices[0][1], -0.348f);
    // Every face goes round its polygon (no corner order that crosses itself): the turns
    // at its corners all bend the same way.
    for (size_t f = 0; f < mesh.faces.size(); ++f) {
        const std::span<const uint32_t> face = mesh.faces[f];
        if (face.size() != 4) continue;
        std::array<float, 3> first{};
        for (size_t k = 0; k < 4; ++k) {
            const auto& p = mesh.vertices[face[k]];
            const auto& q = mesh.vertices[face[(k + 1) % 4]];
            const auto& r = mesh.vertices[face[(k + 2) % 4]];
            const float u[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]};
            const float v[3] = {r[0] - q[0], r[1] - q[1], r[2] - q[2]};
            const std::array<float, 3> turn{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                            u[0] * v[1] - u[1] * v[0]};
            if (k == 0) first = turn;
            EXPECT_GT(turn[0] * first[0] + turn[1] * first[1] + turn[2] * first[2], 0.0f);
        }
    }
    EXPECT_TRUE(file.warnings.empty());
}

// --any-texture goes with every mode, wherever it stands before "--"; after it, it is a
// model's name like any other word.
TEST_F(CommandLine, AnyTextureGoesWithEveryMode) {
    const std::string rok = copy("conversion/triangle_crlf.rok", "tri.rok");
    const std::string x = copy("conversion/triangle.x", "model.x");
    const std::string png = (dir_ / "shot.png").string();
    struct Run {
        std::vector<std::string> args;
        int status;
    };
    const Run runs[] = {
        {{"--any-texture", "--version"}, 0},
        {{"--help", "--any-texture"}, 0},
        {{"--any-texture", "--convert", rok}, 0},
        {{"--info", x, "--any-texture"}, 0},
        {{"--screenshot", png, "--any-texture", x}, 0},
        {{"--thumbnail", "64", x, png, "--any-texture"}, 0},
    };
    for (const Run& run : runs) {
        Result r = this->run(run.args);
        EXPECT_EQ(r.status, run.status) << run.args[0] << " " << run.args[1] << "\n" << r.err;
        EXPECT_EQ(r.err.find("any-texture"), std::string::npos) << r.err;
    }
    Result r = this->run({"--screenshot", png, "--", "--any-texture"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--any-texture"), std::string::npos) << r.err;  // reported as the model
}

// The fixtures as a person opens them: textures in other formats only with the switch,
// vertex colours blended across a face, and glass over what is behind it.
TEST_F(CommandLine, FixturesShowTheirTexturesColoursAndGlass) {
    const std::string data = std::string(SOLLUX_TEST_DATA) + "/x/";
    const std::string png = (dir_ / "shot.png").string();
    auto shot = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--screenshot", png});
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        int w = 0, h = 0, n = 0;
        std::unique_ptr<unsigned char, void (*)(void*)> pixels(stbi_load(png.c_str(), &w, &h, &n, 3), stbi_image_free);
        EXPECT_TRUE(pixels && w == 400 && h == 400);
        std::vector<unsigned char> rgb;
        if (pixels) rgb.assign(pixels.get(), pixels.get() + 400 * 400 * 3);
        return rgb;
    };
    auto at = [](const std::vector<unsigned char>& p, int x, int y) {
        return std::array<int, 3>{p[(y * 400 + x) * 3], p[(y * 400 + x) * 3 + 1], p[(y * 400 + x) * 3 + 2]};
    };
    // The PNG on the left, the JPEG on the right: red above blue once the switch is on.
    for (bool any : {false, true}) {
        std::vector<std::string> args = {data + "textured.x"};
        if (any) args.insert(args.begin(), "--any-texture");
        const auto p = shot(args);
        ASSERT_FALSE(p.empty());
        for (int x : {100, 300}) {
            const auto top = at(p, x, 150), bottom = at(p, x, 250);
            EXPECT_EQ(top[0] > 150 && top[2] < 80, any) << x;
            EXPECT_EQ(bottom[2] > 150 && bottom[0] < 80, any) << x;
        }
    }
    // Gouraud shading, then the board: red, green, blue and yellow corners, glass on the right.
    const std::string script = write("smooth.txt", "command 205\nframes 2\n");
    const auto p = shot({"--play", script, data + "colours_and_glass.x"});
    ASSERT_FALSE(p.empty());
    const auto bottomLeft = at(p, 110, 290), topLeft = at(p, 110, 110), glassOnly = at(p, 320, 200);
    EXPECT_GT(bottomLeft[0], 180);
    EXPECT_LT(bottomLeft[1], 80);
    EXPECT_GT(topLeft[1], 180);
    EXPECT_LT(topLeft[0], 80);
    EXPECT_LT(glassOnly[0], 30);  // cyan at 40 % over black
    EXPECT_GT(glassOnly[1], 50);
    EXPECT_LT(glassOnly[1], 160);
    EXPECT_NEAR(glassOnly[1], glassOnly[2], 10);
}
