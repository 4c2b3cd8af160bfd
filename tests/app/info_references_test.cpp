#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/info_command.h"

namespace fs = std::filesystem;

// Counts follow what the loaders build: a mesh referenced from three frames counts three
// times (the file holds it once).
TEST(InfoCommand, CountsEachPlacementThroughReferences) {
    const fs::path file = fs::temp_directory_path() / ("sollux_info_refs_" + std::to_string(::getpid()) + ".x");
    std::ofstream(file) << R"(xof 0303txt 0032
Mesh M { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,2,1;; }
Frame Root { Frame A { {M} } {A} Frame B { {M} } }
AnimationSet Walk { Animation { {A} AnimationKey { 2; 1; 0; 3; 1,2,3;;; } } }
)";
    testing::internal::CaptureStdout();
    EXPECT_EQ(runInfo({file.string()}), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    for (const char* line : {"  meshes: 4\n", "  vertices: 12\n", "  frames: 4\n", "  animation sets: 1\n",
                             "  keys: 1\n", "  loaded faces: 4\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    fs::remove(file);
}
