// Textured faces: the picture shows the texture, filtered as the device asks.
#include <epoxy/gl.h>
#include <gtest/gtest.h>

#include <stb_image.h>

#include <memory>
#include <vector>

#include "platform/gl/egl_context.h"
#include "tests/platform/gl/gl_test_util.h"

namespace {

gltest::Picture drawTextured(const std::shared_ptr<gl::GpuTexture>& tex, gl::TextureFilter filter) {
    gl::FrameSetup s = gltest::cameraSetup(64, 64);
    s.filter = filter;
    const float white[4] = {1, 1, 1, 1};
    const gl::MeshData quad = gltest::quadMesh(1, white, tex);
    gl::Matrix4 at = gl::identityMatrix();
    at[14] = 2;  // the quad fills the whole picture
    gl::Framebuffer fb(64, 64);
    fb.clear(0, 0, 64, 64, 0, 0, 0);
    gl::GpuMesh mesh(quad);
    gl::Renderer r;
    r.begin(fb, s);
    r.draw(mesh, at, {gl::ShadeMode::Flat, false, gl::FillMode::Solid});
    r.end();
    gltest::Picture p;
    p.width = p.height = 64;
    fb.read(p.rgba);
    return p;
}

}  // namespace

TEST(TextureTest, CheckerBmpShowsNearestBlocksAndLinearBlend) {
    ASSERT_TRUE(gl::ensureContext());
    int w = 0, h = 0, n = 0;
    const std::string path = std::string(SOLLUX_TEST_DATA) + "/gl/checker4.bmp";
    unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &n, 4);
    ASSERT_NE(pixels, nullptr) << path;
    auto tex = std::make_shared<gl::GpuTexture>(pixels, w, h);
    stbi_image_free(pixels);
    ASSERT_EQ(w, 4);

    const gltest::Picture nearest = drawTextured(tex, gl::TextureFilter::Nearest);
    const gltest::Picture linear = drawTextured(tex, gl::TextureFilter::Linear);
    gltest::savePng(nearest, "gl_texture_nearest");
    gltest::savePng(linear, "gl_texture_linear");
    // 4x4 checker over 64 pixels: 16-pixel cells, the top-left one white (row 0 of the
    // image is its top row).
    EXPECT_EQ(nearest.at(8, 8)[0], 255);
    EXPECT_EQ(nearest.at(24, 8)[0], 0);
    EXPECT_EQ(nearest.at(8, 24)[0], 0);
    EXPECT_EQ(nearest.at(24, 24)[0], 255);
    EXPECT_EQ(nearest.distinctColours(), 2);
    // At a cell edge, linear filtering mixes the two colours; nearest does not.
    const int edge = linear.at(16, 8)[0];
    EXPECT_GT(edge, 30);
    EXPECT_LT(edge, 225);
    EXPECT_GT(linear.distinctColours(), 4);
}

// A texture's alpha: fully transparent texels leave what is behind; partly transparent
// ones blend over it, as translucent faces do; the picture's own alpha stays opaque.
TEST(TextureTest, TransparentTexelsAreLeftOutAndTranslucentOnesBlend) {
    ASSERT_TRUE(gl::ensureContext());
    using Alpha = gl::GpuTexture::Alpha;
    // Columns: transparent, half-transparent red, opaque green, transparent.
    const unsigned char column[4][4] = {{9, 9, 9, 0}, {255, 0, 0, 128}, {0, 255, 0, 255}, {9, 9, 9, 0}};
    std::vector<unsigned char> pixels;
    for (int i = 0; i < 16; ++i) pixels.insert(pixels.end(), column[i % 4], column[i % 4] + 4);
    auto mixed = std::make_shared<gl::GpuTexture>(pixels.data(), 4, 4);
    EXPECT_EQ(mixed->alpha(), Alpha::Translucent);
    for (size_t i = 4; i < pixels.size(); i += 16) pixels[i + 3] = 255;  // no partial alpha left
    EXPECT_EQ(gl::GpuTexture(pixels.data(), 4, 4).alpha(), Alpha::Cutout);
    const unsigned char white[4] = {255, 255, 255, 255};
    EXPECT_EQ(gl::GpuTexture(white, 1, 1).alpha(), Alpha::Opaque);

    const gltest::Picture p = drawTextured(mixed, gl::TextureFilter::Nearest);
    auto rgba = [&](int x) {
        const unsigned char* c = p.at(x, 32);
        return std::vector<int>{c[0], c[1], c[2], c[3]};
    };
    EXPECT_EQ(rgba(8), (std::vector<int>{0, 0, 0, 255}));  // the cleared background
    EXPECT_NEAR(rgba(24)[0], 128, 2);
    EXPECT_EQ(rgba(24)[3], 255);
    EXPECT_EQ(rgba(40), (std::vector<int>{0, 255, 0, 255}));
    EXPECT_EQ(rgba(56), (std::vector<int>{0, 0, 0, 255}));
}

// What the GPU holds: a picture within 4096 texels a side as it is; a larger one shrunk by a
// whole factor, each texel the rounded mean of its block (cut at the right and bottom).
TEST(TextureTest, PicturesOver4096TexelsAreHeldBoxFiltered) {
    ASSERT_TRUE(gl::ensureContext());
    auto held = [](const gl::GpuTexture& t) {
        std::vector<unsigned char> texels(size_t(t.width()) * size_t(t.height()) * 4);
        glBindTexture(GL_TEXTURE_2D, t.id());
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels.data());
        return texels;
    };
    // Red alternates 255, 0 along a row; green is 90 but 30 in the third row.
    auto picture = [](int w, int h) {
        std::vector<unsigned char> p;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                p.insert(p.end(), {(unsigned char)(x % 2 ? 0 : 255), (unsigned char)(y == 2 ? 30 : 90), 7, 255});
        return p;
    };
    const std::vector<unsigned char> small = picture(5, 3);
    const gl::GpuTexture same(small.data(), 5, 3);
    EXPECT_EQ(held(same), small);

    const std::vector<unsigned char> big = picture(4097, 3);
    const gl::GpuTexture shrunk(big.data(), 4097, 3);
    ASSERT_EQ(shrunk.width(), 2049);
    ASSERT_EQ(shrunk.height(), 2);
    const std::vector<unsigned char> texels = held(shrunk);
    auto texel = [&](int x, int y) {
        const unsigned char* c = &texels[(size_t(y) * 2049 + size_t(x)) * 4];
        return std::vector<int>{c[0], c[1], c[2], c[3]};
    };
    EXPECT_EQ(texel(0, 0), (std::vector<int>{128, 90, 7, 255}));     // (255 + 0) / 2, rounded up
    EXPECT_EQ(texel(2047, 1), (std::vector<int>{128, 30, 7, 255}));  // the last row alone
    EXPECT_EQ(texel(2048, 0), (std::vector<int>{255, 90, 7, 255}));  // the last column alone
    EXPECT_EQ(texel(2048, 1), (std::vector<int>{255, 30, 7, 255}));
}
