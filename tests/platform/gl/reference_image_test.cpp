// Whole pictures compared with stored reference images, within a small tolerance.
// After a deliberate change of the drawing, regenerate them with
//   SOLLUX_UPDATE_REFERENCE_IMAGES=1 ./test_platform_gl --gtest_filter='ReferenceImage*'
// and look at the new PNGs before committing them.
#include <gtest/gtest.h>

#include <stb_image.h>
#include <stb_image_write.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "platform/gl/egl_context.h"
#include "tests/platform/gl/gl_test_util.h"

namespace {

gl::Matrix4 place(float yaw, float pitch, float x, float y, float z) {
    const float cy = std::cos(yaw), sy = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
    const gl::Matrix4 ry{cy, 0, -sy, 0, 0, 1, 0, 0, sy, 0, cy, 0, 0, 0, 0, 1};
    const gl::Matrix4 rx{1, 0, 0, 0, 0, cp, sp, 0, 0, -sp, cp, 0, 0, 0, 0, 1};
    gl::Matrix4 m = gl::multiply(ry, rx);
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

// Several features at once: a flat box, a Gouraud box with a specular material, a
// textured square, an unlit wireframe box, coloured directional, point and spot lights.
gltest::Picture drawScene(bool ramp) {
    gl::FrameSetup s = gltest::cameraSetup(160, 120);
    s.ramp = ramp;
    s.dither = ramp;
    s.shades = 8;
    s.filter = gl::TextureFilter::Linear;
    gl::LightInfo sun;
    sun.kind = gl::LightKind::Directional;
    sun.direction = {-1, -1, 1};
    sun.colour = {0.8f, 0.8f, 0.7f};
    gl::LightInfo lamp;
    lamp.kind = gl::LightKind::Point;
    lamp.position = {2, 1, 3};
    lamp.colour = {0.2f, 0.4f, 1.0f};
    lamp.linear = 0.1f;
    gl::LightInfo spot;
    spot.kind = gl::LightKind::Spot;
    spot.position = {0, 3, 5};
    spot.direction = {0, -1, 0.3f};
    spot.umbra = 0.6f;
    spot.penumbra = 0.9f;
    gl::LightInfo ambient;
    ambient.kind = gl::LightKind::Ambient;
    ambient.colour = {0.2f, 0.2f, 0.2f};
    s.lights = {sun, lamp, spot, ambient};

    int w = 0, h = 0, n = 0;
    const std::string path = std::string(SOLLUX_TEST_DATA) + "/gl/checker4.bmp";
    unsigned char* pixels = stbi_load(path.c_str(), &w, &h, &n, 4);
    auto texture = std::make_shared<gl::GpuTexture>(pixels, w, h);
    stbi_image_free(pixels);

    const float orange[4] = {1, 0.6f, 0.2f, 1}, teal[4] = {0.2f, 0.8f, 0.7f, 1}, white[4] = {1, 1, 1, 1};
    gl::MeshData shiny = gltest::boxMesh({0, 0, 0}, 0.7f, teal, false);
    shiny.groups[0].material.power = 16;
    shiny.groups[0].material.specular = {1, 1, 1};

    gl::Framebuffer fb(160, 120);
    fb.clear(0, 0, 160, 120, 0.05f, 0.05f, 0.1f);
    gl::Renderer r;
    r.begin(fb, s);
    gl::GpuMesh flatBox(gltest::boxMesh({0, 0, 0}, 0.7f, orange));
    gl::GpuMesh shinyBox(shiny);
    gl::GpuMesh square(gltest::quadMesh(0.8f, white, texture));
    gl::GpuMesh wire(gltest::boxMesh({0, 0, 0}, 0.4f, white));
    r.draw(flatBox, place(0.5f, 0.4f, -1.6f, 0.3f, 5), {gl::ShadeMode::Flat, true, gl::FillMode::Solid});
    r.draw(shinyBox, place(-0.6f, 0.3f, 0.4f, 0.2f, 4.5f), {gl::ShadeMode::Gouraud, true, gl::FillMode::Solid});
    r.draw(square, place(0.3f, -0.2f, 1.8f, -0.6f, 5), {gl::ShadeMode::Phong, true, gl::FillMode::Solid});
    r.draw(wire, place(0.3f, 0.3f, -0.3f, -1.2f, 4), {gl::ShadeMode::Flat, false, gl::FillMode::Wireframe});
    r.end();
    gltest::Picture p;
    p.width = 160;
    p.height = 120;
    fb.read(p.rgba);
    return p;
}

void compareWithReference(const gltest::Picture& p, const std::string& name) {
    const std::string path = std::string(SOLLUX_TEST_DATA) + "/gl/" + name + ".png";
    gltest::savePng(p, "gl_" + name);
    if (std::getenv("SOLLUX_UPDATE_REFERENCE_IMAGES")) {
        ASSERT_TRUE(stbi_write_png(path.c_str(), p.width, p.height, 4, p.rgba.data(), p.width * 4));
        GTEST_SKIP() << "wrote " << path;
    }
    int w = 0, h = 0, n = 0;
    unsigned char* ref = stbi_load(path.c_str(), &w, &h, &n, 4);
    ASSERT_NE(ref, nullptr) << path;
    ASSERT_EQ(w, p.width);
    ASSERT_EQ(h, p.height);
    // Drivers may round a little differently, and an edge pixel may flip.
    int far = 0, maxDiff = 0;
    for (size_t i = 0; i < p.rgba.size(); i += 4) {
        int d = 0;
        for (size_t k = 0; k < 3; ++k) d = std::max(d, std::abs(int(p.rgba[i + k]) - int(ref[i + k])));
        maxDiff = std::max(maxDiff, d);
        if (d > 6) ++far;
    }
    stbi_image_free(ref);
    EXPECT_LE(far, p.width * p.height / 500) << "pixels off: " << far << ", largest difference " << maxDiff
                                               << "; see gl_" << name << ".png";
}

}  // namespace

TEST(ReferenceImageTest, RgbSceneMatches) {
    ASSERT_TRUE(gl::ensureContext());
    compareWithReference(drawScene(false), "reference_rgb");
}

TEST(ReferenceImageTest, RampSceneMatches) {
    ASSERT_TRUE(gl::ensureContext());
    compareWithReference(drawScene(true), "reference_ramp");
}
