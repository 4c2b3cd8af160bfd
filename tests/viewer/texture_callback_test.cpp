#include "viewer/texture_callback.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "platform/rm/rm_internal.h"
#include "viewer/viewer_state.h"

namespace {

namespace fs = std::filesystem;

TEST(FindLastChar, SearchesBackwardsFromTheTerminator) {
    const char* s = "a.b.bmp";
    EXPECT_EQ(findLastChar(s, '.'), s + 3);
    EXPECT_EQ(findLastChar(s, 'a'), s);
    EXPECT_EQ(findLastChar(s, 'x'), nullptr);
    EXPECT_EQ(findLastChar(s, '\0'), s + 7);
    EXPECT_EQ(findLastChar(static_cast<const char*>(nullptr), '.'), nullptr);
    EXPECT_EQ(findLastChar("", '.'), nullptr);
    const char high[] = {'a', static_cast<char>(0xE9), 'b', 0};
    EXPECT_EQ(findLastChar(high, static_cast<char>(0xE9)), high + 1);
}

// Writes a 2x1 binary PPM in a fresh folder and makes that the current folder.
class TextureCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        dir = fs::temp_directory_path() / ("sollux_texcb_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        fs::current_path(dir);
        writePpm("brick.bmp.ppm");
        writePpm("pic.Ppm");
        // A real BMP: 1x1, 24 bit.
        const unsigned char bmp[] = {'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0,
                                     0,   0,   1,  0, 24, 0, 0, 0, 0, 0, 4, 0,  0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,
                                     0,   0,   0,  0, 0,  0, 0, 0, 255, 0};
        for (const char* name : {"brick.bmp", "BRICK2.BMP", "a.b.bmp"}) {
            std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bmp), sizeof bmp);
        }
        std::ofstream("brick.gif") << "GIF89a";
        ASSERT_EQ(Direct3DRMCreate(&d3drm), D3DRM_OK);
    }
    void TearDown() override {
        d3drm->Release();
        d3drm = nullptr;
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    static void writePpm(const char* name) {
        std::ofstream out(name, std::ios::binary);
        out << "P6\n2 1\n255\n";
        const unsigned char px[] = {255, 0, 0, 0, 0, 255};
        out.write(reinterpret_cast<const char*>(px), sizeof px);
    }
    HRESULT load(const char* name, int* width = nullptr) {
        std::string copy = name;
        IDirect3DRMTexture* texture = nullptr;
        HRESULT hr = loadTextureCallback(copy.data(), nullptr, &texture);
        if (texture) {
            if (width) *width = rm::textureData(texture).width;
            texture->Release();
        }
        EXPECT_EQ(copy, name) << "the name is passed on unchanged";
        return hr;
    }
    fs::path previous, dir;
};

TEST_F(TextureCallbackTest, LoadsBmpAndPpmWhateverTheCase) {
    int width = 0;
    EXPECT_EQ(load("brick.bmp", &width), D3DRM_OK);
    EXPECT_EQ(width, 1);
    EXPECT_EQ(load("BRICK2.BMP"), D3DRM_OK);
    EXPECT_EQ(load("pic.Ppm", &width), D3DRM_OK);
    EXPECT_EQ(width, 2);
    EXPECT_EQ(load("a.b.bmp"), D3DRM_OK);  // only the last extension counts
    // The file system lookup ignores case too (names come from Windows).
    EXPECT_EQ(load("Brick.Bmp"), D3DRM_OK);
}

TEST_F(TextureCallbackTest, RefusesOtherNamesWithMinusOne) {
    EXPECT_EQ(load("brick.gif"), -1);
    EXPECT_EQ(load("brick.bmpx"), -1);
    EXPECT_EQ(load("brick"), -1);
    EXPECT_EQ(load("brick."), -1);
    EXPECT_EQ(load("old.dir\\wood"), -1);
    EXPECT_EQ(load(""), -1);
}

TEST_F(TextureCallbackTest, PictureFormatSwitchTakesEveryNameAndFormat) {
    // A PNG under a .gif name and a bitmap without an extension: refused by name unless
    // the switch is on; then what the file holds decides.
    const unsigned char png[] = {0x89, 'P',  'N',  'G',  13,   10,   26,   10,   0,    0,    0,    13,   'I',
                                 'H',  'D',  'R',  0,    0,    0,    1,    0,    0,    0,    1,    8,    2,
                                 0,    0,    0,    0x90, 0x77, 0x53, 0xDE, 0,    0,    0,    12,   'I',  'D',
                                 'A',  'T',  0x08, 0xD7, 0x63, 0xF8, 0xCF, 0xC0, 0x00, 0x00, 0x03, 0x01, 0x01,
                                 0x00, 0x18, 0xDD, 0x8D, 0xB0, 0,    0,    0,    0,    'I',  'E',  'N',  'D',
                                 0xAE, 0x42, 0x60, 0x82};
    std::ofstream("brick.gif", std::ios::binary).write(reinterpret_cast<const char*>(png), sizeof png);
    fs::copy_file("brick.bmp", "brick");
    for (bool on : {false, true, false}) {
        setAnyPictureFormat(on);
        EXPECT_EQ(textureNameAccepted("brick.gif"), on);
        EXPECT_EQ(load("brick.gif") == D3DRM_OK, on);
        EXPECT_EQ(load("brick") == D3DRM_OK, on);
        EXPECT_EQ(load("brick.bmp"), D3DRM_OK);
        EXPECT_EQ(load("missing.gif"), on ? D3DRMERR_FILENOTFOUND : -1);
    }
}

TEST_F(TextureCallbackTest, PassesLoadFailuresBack) {
    EXPECT_EQ(load("missing.bmp"), D3DRMERR_FILENOTFOUND);
    std::ofstream("broken.ppm") << "P6\n9999 9999\n255\nxx";
    EXPECT_EQ(load("broken.ppm"), D3DRMERR_BADFILE);
}

TEST_F(TextureCallbackTest, NoRetainedModeObjectIsAFailureNotACrash) {
    IDirect3DRM* saved = d3drm;
    d3drm = nullptr;
    EXPECT_LT(load("brick.bmp"), 0);
    d3drm = saved;
}

}  // namespace
