// Texture files within a load: each picture file is one texture whatever it is called, a
// folder is listed once however many names miss in it, the load's decoded pixels stay
// within its allowance, confined lookups never leave the model's folder, and the
// kernel's files are no files to read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/regular_file.h"
#include "platform/rm/objects.h"
#include "platform/rm/texture_image.h"
#include "platform/rm/xfile.h"
#include "rm_test_util.h"

namespace fs = std::filesystem;

namespace {

// A width x height 8-bit run-length bitmap that is only its end marker: 60 bytes.
std::string rleBitmap(uint32_t width, uint32_t height) {
    std::string b = "BM";
    auto le = [&](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) b.push_back(char(v >> (8 * i)));
    };
    const uint32_t offset = 14 + 40 + 4;
    for (uint32_t v : {offset + 2, 0u, offset, 40u, width, height}) le(v, 4);
    le(1, 2);
    le(8, 2);
    for (uint32_t v : {1u, 2u, 2835u, 2835u, 1u, 0u}) le(v, 4);
    le(0x00204080, 4);
    b += std::string("\0\1", 2);
    return b;
}

class TextureLookup : public RmTest {
protected:
    void SetUp() override {
        RmTest::SetUp();
        root_ = fs::temp_directory_path() / ("sollux_texture_lookup_" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "model" / "sub");
        fs::create_directories(root_ / "outside");
        previous_ = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(previous_);
        rm::confineTextureLookup("");
        fs::remove_all(root_);
        RmTest::TearDown();
    }
    std::string put(const std::string& name, uint32_t width = 4, uint32_t height = 4) {
        std::ofstream(root_ / name, std::ios::binary) << rleBitmap(width, height);
        return (root_ / name).string();
    }
    std::string path(const std::string& name) const { return (root_ / name).string(); }
    // The texture a name gives (held by the caller's Held), or the failure.
    HRESULT load(const std::string& name, Held<IDirect3DRMTexture>& out) {
        return rm::loadTextureFile(name.c_str(), 8, 16, &out);
    }

    fs::path root_, previous_;
};

}  // namespace

TEST_F(TextureLookup, OnePictureFileIsOneTextureWhateverItIsCalled) {
    put("model/pic.bmp");
    fs::create_hard_link(path("model/pic.bmp"), path("model/again.bmp"));
    fs::create_symlink("pic.bmp", path("model/linked.bmp"));
    {
        rm::TextureFolderScope scope(path("model/m.x"));
        Held<IDirect3DRMTexture> first;
        ASSERT_EQ(load("pic.bmp", first), D3DRM_OK);
        for (const char* name : {"PIC.BMP", ".\\pic.bmp", "again.bmp", "linked.bmp", "sub\\..\\pic.bmp"}) {
            Held<IDirect3DRMTexture> t;
            ASSERT_EQ(load(name, t), D3DRM_OK) << name;
            EXPECT_EQ(t.p, first.p) << name;
        }
    }
    // Outside a load every call makes a texture of its own, as before.
    Held<IDirect3DRMTexture> a, b;
    ASSERT_EQ(load(path("model/pic.bmp"), a), D3DRM_OK);
    ASSERT_EQ(load(path("model/again.bmp"), b), D3DRM_OK);
    EXPECT_NE(a.p, b.p);
}

TEST_F(TextureLookup, AFolderIsListedOnceALoad) {
    put("model/Early.BMP");
    std::string found;
    {
        rm::TextureFolderScope scope(path("model/m.x"));
        EXPECT_TRUE(rm::findTextureFile("early.bmp", found));  // the folder's listing is read here
        put("model/Late.BMP");
        // A name that differs only in case is looked for in the listing the load read;
        // the exact name is still found.
        EXPECT_FALSE(rm::findTextureFile("late.bmp", found));
        EXPECT_TRUE(rm::findTextureFile("Late.BMP", found));
    }
    rm::TextureFolderScope scope(path("model/m.x"));
    EXPECT_TRUE(rm::findTextureFile("late.bmp", found));
}

TEST_F(TextureLookup, EachPictureFileIsChargedOnceAndNoneDecodedOnceTheLoadIsOver) {
    put("model/a.bmp", 8, 8);
    put("model/b.bmp", 8, 8);
    put("model/c.bmp", 1, 1);
    rm::CostLimits limits = rm::CostLimits::defaults();
    limits[rm::Cost::TexturePixels] = 100;
    rm::CostAccount account(limits);
    rm::TextureFolderScope scope(path("model/m.x"));
    rm::TexturePixelCharge charge(account);
    Held<IDirect3DRMTexture> a, again, b, c;
    EXPECT_EQ(load("a.bmp", a), D3DRM_OK);
    EXPECT_EQ(load("A.BMP", again), D3DRM_OK);  // the same picture is charged once
    EXPECT_EQ(account.spent(rm::Cost::TexturePixels), 64u);
    EXPECT_FALSE(account.over());
    EXPECT_EQ(load("b.bmp", b), D3DRMERR_BADFILE);
    EXPECT_TRUE(account.over());
    EXPECT_EQ(account.refusal(), "the file's textures decode to more than 100 pixels");
    EXPECT_EQ(load("c.bmp", c), D3DRMERR_BADFILE);  // small enough, but the load is refused already
    std::string why;
    EXPECT_EQ(rm::loadTexturePicture(path("model/c.bmp"), textureimage::Formats::Any, nullptr, &why),
              textureimage::Status::BadFile);
    EXPECT_EQ(why, path("model/c.bmp") + ": the file's textures decode to more than 100 pixels");
}

TEST_F(TextureLookup, ConfinedNamesStayInTheModelsFolder) {
    put("model/in.bmp");
    put("model/sub/deep.bmp");
    put("outside/o.bmp");
    fs::create_symlink("../outside/o.bmp", path("model/out.bmp"));
    fs::current_path(path("outside"));  // where a name given as it stands would be found
    const struct {
        std::string name;
        bool confined, free;  // found with the lookup confined, and without
    } cases[] = {
        {"in.bmp", true, true},
        {"SUB\\DEEP.BMP", true, true},
        {"c:\\textures\\in.bmp", true, true},  // a Windows path: its file name in the folder
        {"../outside/o.bmp", false, true},
        {"sub\\..\\..\\outside\\o.bmp", false, true},
        {path("outside/o.bmp"), false, true},
        {"out.bmp", false, true},  // a link leading out
        {"o.bmp", false, true},    // only in the working folder
        {"/etc/passwd", false, true},
    };
    for (bool confined : {true, false}) {
        rm::confineTextureLookup(confined ? path("model") : "");
        rm::TextureFolderScope scope(path("model/m.x"));
        for (const auto& c : cases) {
            std::string found;
            EXPECT_EQ(rm::findTextureFile(c.name.c_str(), found), confined ? c.confined : c.free)
                << c.name << (confined ? " confined" : " free");
        }
    }
}

// Models, textures and every file read through the check: a link to the kernel's files
// reads as no file at all.
TEST_F(TextureLookup, TheKernelsFilesAreRefused) {
    for (const char* target : {"/proc/self/pagemap", "/proc/self/environ", "/sys/kernel/mm/transparent_hugepage/enabled"}) {
        if (!fs::exists(target)) continue;
        SCOPED_TRACE(target);
        fs::remove(path("model/k.bmp"));
        fs::remove(path("model/k.x"));
        fs::create_symlink(target, path("model/k.bmp"));
        fs::create_symlink(target, path("model/k.x"));
        FileOpening status;
        EXPECT_LT(openRegularFile(path("model/k.x").c_str(), &status), 0);
        EXPECT_EQ(status, FileOpening::NotRegular);
        xfile::File file;
        std::string why;
        EXPECT_EQ(xfile::loadFile(path("model/k.x"), file, &why), xfile::Status::FileNotFound);
        EXPECT_EQ(why, "'" + path("model/k.x") + "' is not a regular file");
        textureimage::Image image;
        EXPECT_EQ(textureimage::loadFile(path("model/k.bmp"), image, nullptr, textureimage::Formats::Any),
                  textureimage::Status::FileNotFound);
        rm::TextureFolderScope scope(path("model/m.x"));
        Held<IDirect3DRMTexture> t;
        EXPECT_EQ(load("k.bmp", t), D3DRMERR_FILENOTFOUND);
    }
}
