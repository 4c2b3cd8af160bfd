// Drawing of meshes by the GL renderer, headless through EGL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "platform/gl/egl_context.h"
#include "tests/platform/gl/gl_test_util.h"

using gltest::Picture;

namespace {

const float kWhite[4] = {1, 1, 1, 1};
const float kRed[4] = {1, 0, 0, 1};

class RendererTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gl::ensureContext()) << gl::lastContextError(); }

    Picture render(const gl::MeshData& data, const gl::FrameSetup& setup, const gl::Quality& q,
                   const gl::Matrix4& world = gl::identityMatrix()) {
        gl::Framebuffer fb(setup.deviceWidth, setup.deviceHeight);
        EXPECT_TRUE(fb.valid());
        fb.clear(0, 0, setup.deviceWidth, setup.deviceHeight, 0, 0, 0);
        gl::GpuMesh mesh(data);
        gl::Renderer r;
        r.begin(fb, setup);
        r.draw(mesh, world, q);
        r.end();
        Picture p;
        p.width = fb.width();
        p.height = fb.height();
        fb.read(p.rgba);
        return p;
    }

    static gl::LightInfo light(gl::LightKind kind, gl::Vec3 pos, gl::Vec3 dir, gl::Vec3 colour = {1, 1, 1}) {
        gl::LightInfo l;
        l.kind = kind;
        l.position = pos;
        l.direction = dir;
        l.colour = colour;
        return l;
    }
};

gl::Matrix4 translation(float x, float y, float z) {
    gl::Matrix4 m = gl::identityMatrix();
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

// Where a scene point lands, by the viewport's projection formula.
void project(const gl::FrameSetup& s, const gl::Vec3& p, float& x, float& y) {
    const float half = std::max(s.width, s.height) / 2.0f;
    x = s.width / 2.0f + half * (p[0] / p[2]) / 0.5f;
    y = s.height / 2.0f - half * (p[1] / p[2]) / 0.5f;
}

}  // namespace

TEST_F(RendererTest, CubeCoversWhereProjectedOnBlackBackground) {
    gl::FrameSetup s = gltest::cameraSetup(120, 80);
    s.lights = {light(gl::LightKind::Ambient, {}, {}, {1, 1, 1})};
    const Picture p = render(gltest::boxMesh({0.3f, -0.2f, 5}, 0.5f, kWhite), s, {});
    gltest::savePng(p, "gl_cube_placement");
    // Front face spans x,y in [-0.5,0.5] around the centre at depth 4.5.
    float left, top, right, bottom;
    project(s, {0.3f - 0.5f, -0.2f + 0.5f, 4.5f}, left, top);
    project(s, {0.3f + 0.5f, -0.2f - 0.5f, 4.5f}, right, bottom);
    int inside = 0, outsideLit = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const float cx = x + 0.5f, cy = y + 0.5f;
            const bool in = cx > left + 0.5f && cx < right - 0.5f && cy > top + 0.5f && cy < bottom - 0.5f;
            const bool out = cx < left - 0.5f || cx > right + 0.5f || cy < top - 0.5f || cy > bottom + 0.5f;
            if (in) inside += p.isBlack(x, y) ? 0 : 1;
            if (out) outsideLit += p.isBlack(x, y) ? 0 : 1;
        }
    EXPECT_GT(inside, 100);
    EXPECT_EQ(outsideLit, 0);
    EXPECT_TRUE(p.isBlack(0, 0));
    EXPECT_TRUE(p.isBlack(p.width - 1, p.height - 1));
}

TEST_F(RendererTest, BackFacesAreCulledAndDepthKeepsNearest) {
    gl::FrameSetup s = gltest::cameraSetup(64, 64);
    s.lights = {light(gl::LightKind::Ambient, {}, {}, {1, 1, 1})};
    // Seen from inside, every face of a box is a back face.
    EXPECT_EQ(render(gltest::boxMesh({0, 0, 0}, 3, kWhite), s, {}).countNonBlack(), 0);

    gl::MeshData two = gltest::boxMesh({0, 0, 6}, 0.5f, kRed);
    const gl::MeshData nearBox = gltest::boxMesh({0, 0, 4}, 0.25f, kWhite);
    const uint32_t base = two.vertexCount();
    for (size_t i = 0; i < nearBox.vertices.size(); ++i) two.vertices.push_back(nearBox.vertices[i]);
    for (uint32_t i : nearBox.indices) two.indices.push_back(i + base);
    for (float f : nearBox.faces) two.faces.push_back(f);
    two.groups.clear();
    two.endGroup({}, nullptr);
    const Picture p = render(two, s, {});
    const unsigned char* c = p.at(32, 32);
    EXPECT_EQ(c[0], 255);
    EXPECT_EQ(c[1], 255);  // the white near box, not the red far one
}

TEST_F(RendererTest, FlatGivesOneColourPerFaceGouraudAGradient) {
    gl::FrameSetup s = gltest::cameraSetup(96, 96);
    s.lights = {light(gl::LightKind::Point, {-3, 3, 1}, {0, 0, 1}), light(gl::LightKind::Ambient, {}, {}, {.1f, .1f, .1f})};
    gl::Matrix4 turn = gl::identityMatrix();
    // Turn the box so that three faces show.
    const float a = 0.6f, b = 0.5f;
    gl::Matrix4 ry{std::cos(a), 0, -std::sin(a), 0, 0, 1, 0, 0, std::sin(a), 0, std::cos(a), 0, 0, 0, 0, 1};
    gl::Matrix4 rx{1, 0, 0, 0, 0, std::cos(b), std::sin(b), 0, 0, -std::sin(b), std::cos(b), 0, 0, 0, 0, 1};
    turn = gl::multiply(gl::multiply(ry, rx), translation(0, 0, 5));
    const Picture flat = render(gltest::boxMesh({0, 0, 0}, 1, kWhite, false), s, {gl::ShadeMode::Flat, true, gl::FillMode::Solid}, turn);
    const Picture gouraud =
        render(gltest::boxMesh({0, 0, 0}, 1, kWhite, false), s, {gl::ShadeMode::Gouraud, true, gl::FillMode::Solid}, turn);
    gltest::savePng(flat, "gl_flat");
    gltest::savePng(gouraud, "gl_gouraud");
    // Flat: background plus one colour per visible face.
    EXPECT_LE(flat.distinctColours(), 4);
    EXPECT_GE(flat.distinctColours(), 3);
    EXPECT_GT(gouraud.distinctColours(), 20);
    EXPECT_EQ(flat.countNonBlack(), gouraud.countNonBlack());
}
