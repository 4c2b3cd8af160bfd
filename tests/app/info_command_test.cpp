#include "app/info_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

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

}  // namespace
