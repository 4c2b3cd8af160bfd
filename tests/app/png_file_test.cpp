#include "app/png_file.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// Every byte value in every channel, transparent pixels and a row narrower than one pixel
// of history: what is read back is what was written.
TEST(PngFile, ReadsBackExactly) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("sollux_png_" + std::to_string(::getpid()) + ".png")).string();
    for (auto [width, height] : {std::pair{1, 1}, std::pair{37, 29}}) {
        std::vector<unsigned char> rgba(size_t(width) * height * 4);
        for (size_t i = 0; i < rgba.size(); ++i) rgba[i] = static_cast<unsigned char>(i * 7 + i / 5);
        ASSERT_TRUE(writePngFile(path, width, height, rgba.data()));
        int w = 0, h = 0, n = 0;
        unsigned char* back = stbi_load(path.c_str(), &w, &h, &n, 4);
        ASSERT_NE(back, nullptr) << stbi_failure_reason();
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_EQ(n, 4);
        EXPECT_EQ(std::vector<unsigned char>(back, back + rgba.size()), rgba);
        stbi_image_free(back);
    }
    std::filesystem::remove(path);
    EXPECT_FALSE(writePngFile("/nonexistent-folder/x.png", 2, 2, std::vector<unsigned char>(16).data()));
}

}  // namespace
