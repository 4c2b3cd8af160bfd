#include "app/info_command.h"
#include "viewer/texture_callback.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

TEST(InfoCommand, DescribesEachFileAndFailsForTheUnreadable) {
    fs::path dir = fs::temp_directory_path() / ("sollux_info_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string model = (dir / "two.x").string();
    std::ofstream(model) << R"(xof 0302txt 0064
Frame Top {
  Mesh { 4; 0;0;0;, 1;0;0;, 0;1;0;, 5;5;5;; 3; 3;0;1;2;, 3;2;1;0;, 3;0;1;9;;
    MeshMaterialList { 1; 3; 0, 0, 0;; Material { 1;0;0;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "gone.bmp"; } } }
  }
}
)";
    std::string missing = (dir / "missing.x").string();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = runInfo({model, missing});
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("file: " + model + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  meshes: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  frames: 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  loaded faces: 2\n"), std::string::npos) << out;  // the bad face is dropped
    EXPECT_NE(out.find("  texture: gone.bmp (not found)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  warning: "), std::string::npos) << out;
    EXPECT_NE(out.find("file: " + missing + "\n  error: The file was not found."), std::string::npos) << out;

    testing::internal::CaptureStdout();
    EXPECT_EQ(runInfo({model}), 0);
    testing::internal::GetCapturedStdout();
    fs::remove_all(dir);
}

// What became of each texture: loaded, refused for its format (by name or by content),
// unreadable, or not found; --any-texture takes what it can read.
TEST(InfoCommand, SaysWhatBecameOfEachTexture) {
    fs::path dir = fs::temp_directory_path() / ("sollux_info_tex_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const unsigned char bmp[] = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
                                 1,   0,   24, 0, 0, 0, 0, 0, 0, 0, 4,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0,   0,   0,  0, 255, 0};
    for (const char* name : {"ok.bmp", "renamed.jpg"})
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bmp), sizeof bmp);
    std::ofstream(dir / "junk.bmp") << "not a picture at all";
    std::string materials;
    const char* names[] = {"ok.bmp", "renamed.jpg", "junk.bmp", "gone.png"};
    for (const char* name : names)
        materials += std::string("Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"") + name + "\"; } }\n";
    const std::string model = (dir / "four.x").string();
    std::ofstream(model) << "xof 0302txt 0032\nMesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;;\n"
                            "  MeshMaterialList { 4; 1; 0;;\n" + materials + "} }\n";
    struct Expected {
        bool anyTexture;
        std::vector<std::string> outcomes;  // in the order of names
    };
    const std::string refused = "found, but its picture format is refused; --any-texture would take it";
    const std::string unreadable = "found, but it cannot be read: ";
    const Expected runs[] = {
        {false, {"found and loaded", refused, unreadable, "not found"}},
        {true, {"found and loaded", "found and loaded", unreadable, "not found"}},
    };
    for (const Expected& run : runs) {
        setAnyPictureFormat(run.anyTexture);
        testing::internal::CaptureStdout();
        EXPECT_EQ(runInfo({model}), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        for (size_t i = 0; i < 4; ++i) {
            const std::string line = std::string("  texture: ") + names[i] + " (" + run.outcomes[i];
            EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
        }
    }
    setAnyPictureFormat(false);
    fs::remove_all(dir);
}

// Each animation set's keys, span and duration (at the declared rate, else at a tick a frame
// and 60 frames a second), and each skinned mesh's bones.
TEST(InfoCommand, TellsEachAnimationSetsSpanAndEachSkinsBones) {
    const fs::path dir = fs::temp_directory_path() / ("sollux_info_anim_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string body = R"(Frame Bone { Mesh skin { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;;
  SkinWeights { "Bone"; 3; 0,1,2; 1,1,1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } } }
AnimationSet Wave { Animation { { Bone } AnimationKey { 2; 2; 6; 3; 0,0,0;;, 30; 3; 1,0,0;;; } } }
)";
    const struct {
        const char* declaration;
        const char* line;
    } cases[] = {
        {"AnimTicksPerSecond { 24; }\n", "  animation set 'Wave': 2 keys, time 6 .. 30, 24 ticks a second, 1 s\n"},
        {"", "  animation set 'Wave': 2 keys, time 6 .. 30, no rate declared (a tick a frame), 0.4 s at 60 frames a second\n"},
    };
    for (const auto& c : cases) {
        const std::string model = (dir / "wave.x").string();
        std::ofstream(model) << "xof 0303txt 0032\n" << c.declaration << body;
        testing::internal::CaptureStdout();
        EXPECT_EQ(runInfo({model}), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_NE(out.find("  skinned mesh 'skin': 1 bone\n"), std::string::npos) << out;
    }
    fs::remove_all(dir);
}

}  // namespace
