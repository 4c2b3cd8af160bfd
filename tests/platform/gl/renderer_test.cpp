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

    gl::MeshData two;
    gltest::addBox(two, {0, 0, 6}, 0.5f, kRed);
    gltest::addBox(two, {0, 0, 4}, 0.25f, kWhite);
    two.endGroup({}, nullptr);
    const Picture p = render(two, s, {});
    const unsigned char* c = p.at(32, 32);
    EXPECT_EQ(c[0], 255);
    EXPECT_EQ(c[1], 255);  // the white near box, not the red far one
}

// Triangles the GPU would cull or clip anyway are skipped in whole clusters before they
// reach it: the picture is that of the faces alone, mirrored placements included.
TEST_F(RendererTest, SkippedClustersChangeNothing) {
    // A sphere with every face twice, once in each winding: in 8 x 8 patches, all outward
    // patches first (each patch a cluster that faces away as a whole, or not), or with the
    // two windings of each face side by side (clusters facing every way, never skipped).
    const int rings = 48, segments = 96;
    auto sphere = [&](bool sideBySide) {
        gl::MeshData m;
        for (int r = 0; r <= rings; ++r)
            for (int k = 0; k < segments; ++k) {
                const float phi = 3.14159265f * r / rings, theta = 6.2831853f * k / segments;
                const gl::Vec3 p{std::sin(phi) * std::cos(theta), std::cos(phi), std::sin(phi) * std::sin(theta)};
                m.addVertex(p, p, 0, 0, kWhite);
            }
        auto quad = [&](int r, int k, bool inward) {
            auto at = [&](int rr, int kk) { return uint32_t(rr * segments + kk % segments); };
            uint32_t q[4] = {at(r, k), at(r, k + 1), at(r + 1, k + 1), at(r + 1, k)};
            if (inward) std::swap(q[1], q[3]);
            m.addPolygon(q, 4, {0, 0, 0});
        };
        for (int pass = 0; pass < (sideBySide ? 1 : 2); ++pass)
            for (int tile = 0; tile < rings / 8 * segments / 8; ++tile)
                for (int i = 0; i < 64; ++i) {
                    const int r = tile / (segments / 8) * 8 + i / 8, k = tile % (segments / 8) * 8 + i % 8;
                    quad(r, k, pass == 1);
                    if (sideBySide) quad(r, k, true);
                }
        m.endGroup({}, nullptr);
        return m;
    };
    gl::FrameSetup s = gltest::cameraSetup(64, 64);
    s.lights = {light(gl::LightKind::Directional, {}, {0.3f, -0.2f, 1})};
    auto draw = [&](const gl::MeshData& data, const gl::Matrix4& world, uint32_t& drawn) {
        gl::Framebuffer fb(64, 64);
        fb.clear(0, 0, 64, 64, 0, 0, 0);
        gl::GpuMesh mesh(data);
        gl::Renderer r;
        r.begin(fb, s);
        drawn = r.draw(mesh, world, {gl::ShadeMode::Gouraud, true, gl::FillMode::Solid});
        r.end();
        Picture p;
        p.width = p.height = 64;
        fb.read(p.rgba);
        return p;
    };
    const gl::MeshData patches = sphere(false), pairs = sphere(true);
    const uint32_t all = 2 * rings * segments * 2;
    // Half of it beyond the picture's left edge; then mirrored.
    gl::Matrix4 world = translation(-2.0f, 0, 3.5f);
    for (int mirror = 0; mirror < 2; ++mirror) {
        world[0] = mirror ? -1.0f : 1.0f;
        uint32_t drawn = 0, unskipped = 0;
        const Picture a = draw(patches, world, drawn), b = draw(pairs, world, unskipped);
        EXPECT_GT(a.countNonBlack(), 200);
        EXPECT_EQ(a.rgba, b.rgba) << "mirrored " << mirror;
        // Outside the picture, and (patches only) facing away.
        EXPECT_LT(unskipped, all * 6 / 10);
        EXPECT_LT(drawn + 2 * gl::GpuMesh::kClusterTriangles, unskipped);
    }
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

namespace {

// A box seen with one face toward the camera; reports the brightness of the front
// face's centre and of each side face's visible strip.
struct BoxSides {
    int front = 0, left = 0, right = 0, top = 0, bottom = 0;
};

}  // namespace

class LightTest : public RendererTest {
protected:
    // A box at (0,0,6) turned neither way shows only its front face; a wider box with
    // perspective shows its inner side faces: place it large and near.
    BoxSides sidesLitBy(const std::vector<gl::LightInfo>& lights, gl::ShadeMode shade = gl::ShadeMode::Flat) {
        gl::FrameSetup s = gltest::cameraSetup(100, 100);
        s.lights = lights;
        gl::MeshData tunnel;
        // Four walls of a corridor along +z and its far end, all facing inwards.
        const float white[4] = {1, 1, 1, 1};
        auto quad = [&](gl::Vec3 a, gl::Vec3 b, gl::Vec3 c, gl::Vec3 d, gl::Vec3 n) {
            const uint32_t i0 = tunnel.addVertex(a, n, 0, 0, white), i1 = tunnel.addVertex(b, n, 0, 0, white),
                           i2 = tunnel.addVertex(c, n, 0, 0, white), i3 = tunnel.addVertex(d, n, 0, 0, white);
            tunnel.addTriangle(i0, i1, i2, n);
            tunnel.addTriangle(i0, i2, i3, n);
        };
        const float z0 = 2, z1 = 12;
        // Far end facing -z (toward the camera): clockwise as seen from the camera.
        quad({-1, -1, z1}, {-1, 1, z1}, {1, 1, z1}, {1, -1, z1}, {0, 0, -1});
        // Left wall at x=-1 facing +x.
        quad({-1, -1, z0}, {-1, 1, z0}, {-1, 1, z1}, {-1, -1, z1}, {1, 0, 0});
        // Right wall at x=1 facing -x.
        quad({1, -1, z1}, {1, 1, z1}, {1, 1, z0}, {1, -1, z0}, {-1, 0, 0});
        // Floor at y=-1 facing +y.
        quad({-1, -1, z1}, {1, -1, z1}, {1, -1, z0}, {-1, -1, z0}, {0, 1, 0});
        // Ceiling at y=1 facing -y.
        quad({-1, 1, z0}, {1, 1, z0}, {1, 1, z1}, {-1, 1, z1}, {0, -1, 0});
        tunnel.endGroup({}, nullptr);
        last = render(tunnel, s, {shade, true, gl::FillMode::Solid});
        BoxSides r;
        auto lum = [&](int x, int y) { return int(last.at(x, y)[0]) + last.at(x, y)[1] + last.at(x, y)[2]; };
        r.front = lum(50, 50);
        r.left = lum(8, 50);
        r.right = lum(91, 50);
        r.top = lum(50, 8);
        r.bottom = lum(50, 91);
        return r;
    }
    Picture last;
};

TEST_F(LightTest, DirectionalLightsTheFacesThatFaceIt) {
    // Shining toward +x lights the right-hand wall (facing -x) only.
    BoxSides b = sidesLitBy({light(gl::LightKind::Directional, {}, {1, 0, 0})});
    EXPECT_GT(b.right, 600);
    EXPECT_EQ(b.left, 0);
    EXPECT_EQ(b.front, 0);
    // Shining down lights the floor.
    b = sidesLitBy({light(gl::LightKind::Directional, {}, {0, -1, 0})});
    EXPECT_GT(b.bottom, 600);
    EXPECT_EQ(b.top, 0);
    EXPECT_EQ(b.front, 0);
}

TEST_F(LightTest, PointSpotAndParallelPointLightTheFacingSide) {
    // A point light outside the corridor on the right, level with its middle: the left
    // wall and the far end face it, the right wall turns its back.
    BoxSides b = sidesLitBy({light(gl::LightKind::Point, {5, 0, 7}, {})});
    EXPECT_GT(b.left, 0);
    EXPECT_GT(b.front, 0);
    EXPECT_EQ(b.right, 0);

    // A spot at the camera aimed down the corridor lights the far end inside its cone
    // and leaves the walls near the camera, outside the cone, dark (lit per pixel).
    b = sidesLitBy({light(gl::LightKind::Spot, {0, 0, 0}, {0, 0, 1})}, gl::ShadeMode::Phong);
    EXPECT_GT(b.front, 600);
    EXPECT_EQ(b.left, 0);
    EXPECT_EQ(b.top, 0);
    // Turned away, it lights nothing.
    b = sidesLitBy({light(gl::LightKind::Spot, {0, 0, 0}, {0, 0, -1})});
    EXPECT_EQ(last.countNonBlack(), 0);

    // Parallel point rays run from the light toward the object's origin (here the
    // origin of the scene), so a light below it lights the ceiling only.
    b = sidesLitBy({light(gl::LightKind::ParallelPoint, {0, -10, 0}, {})});
    EXPECT_GT(b.top, 600);
    EXPECT_EQ(b.bottom, 0);
    EXPECT_EQ(b.front, 0);
}

TEST_F(LightTest, AmbientAloneLightsEveryFaceAlike) {
    sidesLitBy({light(gl::LightKind::Ambient, {}, {}, {0.5f, 0.5f, 0.5f})});
    EXPECT_EQ(last.distinctColours(), 1);  // no black background shows inside the corridor
    EXPECT_NEAR(last.at(50, 50)[0], 128, 1);
}

TEST_F(LightTest, AttenuationAndRangeDimDistantFaces) {
    gl::LightInfo l = light(gl::LightKind::Point, {0, 0, 1}, {});
    BoxSides full = sidesLitBy({l});
    l.linear = 0.5f;
    BoxSides dim = sidesLitBy({l});
    EXPECT_LT(dim.front, full.front / 2);
    EXPECT_GT(dim.front, 0);
    l.linear = 0;
    l.range = 5;  // the far end is 11 units away
    EXPECT_EQ(sidesLitBy({l}).front, 0);
}

TEST_F(RendererTest, FillModesAndUnlitColour) {
    gl::FrameSetup s = gltest::cameraSetup(80, 80);
    s.lights = {light(gl::LightKind::Directional, {}, {0, 0, 1}, {0.5f, 0.5f, 0.5f})};
    const gl::MeshData quad = gltest::quadMesh(1, kRed);
    const gl::Matrix4 at = translation(0, 0, 4);
    const Picture solid = render(quad, s, {gl::ShadeMode::Flat, true, gl::FillMode::Solid}, at);
    const Picture wire = render(quad, s, {gl::ShadeMode::Flat, true, gl::FillMode::Wireframe}, at);
    const Picture points = render(quad, s, {gl::ShadeMode::Flat, true, gl::FillMode::Points}, at);
    const Picture unlit = render(quad, s, {gl::ShadeMode::Gouraud, false, gl::FillMode::Solid}, at);
    gltest::savePng(wire, "gl_wireframe");
    // Lit at half strength from straight ahead.
    EXPECT_NEAR(solid.at(40, 40)[0], 128, 1);
    EXPECT_EQ(solid.at(40, 40)[1], 0);
    // The interior stays black in the outline modes, which still draw something.
    EXPECT_TRUE(wire.isBlack(35, 45));
    EXPECT_TRUE(points.isBlack(35, 45));
    EXPECT_GT(wire.countNonBlack(), 60);
    EXPECT_GE(points.countNonBlack(), 3);
    EXPECT_LT(points.countNonBlack(), 8);
    // Unlit shows the face colour itself.
    EXPECT_EQ(unlit.at(40, 40)[0], 255);
    EXPECT_EQ(unlit.at(40, 40)[1], 0);
}

TEST_F(RendererTest, RampLightsAreGreyAndShadesAreQuantised) {
    gl::FrameSetup s = gltest::cameraSetup(80, 80);
    s.lights = {light(gl::LightKind::Directional, {}, {0, 0, 1}, {1, 0, 0})};
    const gl::MeshData quad = gltest::quadMesh(1, kWhite);
    const gl::Matrix4 at = translation(0, 0, 4);
    const gl::Quality flat{gl::ShadeMode::Flat, true, gl::FillMode::Solid};
    const Picture rgb = render(quad, s, flat, at);
    EXPECT_EQ(rgb.at(40, 40)[0], 255);
    EXPECT_EQ(rgb.at(40, 40)[1], 0);
    s.ramp = true;
    const Picture ramp = render(quad, s, flat, at);
    const unsigned char* c = ramp.at(40, 40);
    EXPECT_EQ(c[0], c[1]);  // a red light acts as a grey one on a white face
    EXPECT_EQ(c[1], c[2]);
    EXPECT_GT(c[0], 40);

    // A smooth sphere-like box under a point light spans many intensities; with 4 shades
    // only 4 levels of each channel remain, dithered or not.
    const gl::MeshData box = gltest::boxMesh({0, 0, 0}, 1, kWhite, false);
    gl::Matrix4 turn{0.8f, 0, -0.6f, 0, 0, 1, 0, 0, 0.6f, 0, 0.8f, 0, 0, 0, 5, 1};
    s.lights = {light(gl::LightKind::Point, {-2, 2, 1}, {}), light(gl::LightKind::Ambient, {}, {}, {.2f, .2f, .2f})};
    s.shades = 4;
    for (bool dither : {false, true}) {
        s.dither = dither;
        const Picture p = render(box, s, {gl::ShadeMode::Gouraud, true, gl::FillMode::Solid}, turn);
        gltest::savePng(p, dither ? "gl_ramp4_dither" : "gl_ramp4");
        std::set<int> levels;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) levels.insert(p.at(x, y)[0]);
        EXPECT_LE(levels.size(), 4u) << "dither " << dither;
        EXPECT_GE(levels.size(), 3u) << "dither " << dither;
    }
}

TEST_F(RendererTest, MaterialsAddEmissiveAndSpecularLight) {
    gl::FrameSetup s = gltest::cameraSetup(64, 64);
    const gl::Matrix4 at = translation(0, 0, 3);
    const float grey[4] = {0.5f, 0.5f, 0.5f, 1};
    gl::MeshData quad = gltest::quadMesh(1, grey);
    quad.groups[0].material.emissive = {0, 0.25f, 0};
    // No light at all: only the emissive part shows.
    Picture p = render(quad, s, {gl::ShadeMode::Gouraud, true, gl::FillMode::Solid}, at);
    EXPECT_EQ(p.at(32, 32)[0], 0);
    EXPECT_NEAR(p.at(32, 32)[1], 64, 1);

    // A light at the camera: a highlight in the middle of a dull grey face,
    // strongest where the face looks straight back at the camera (per pixel).
    quad.groups[0].material = {};
    quad.groups[0].material.power = 40;
    quad.groups[0].material.specular = {1, 1, 1};
    s.lights = {light(gl::LightKind::Point, {0, 0, 0}, {}, {0.5f, 0.5f, 0.5f})};
    p = render(quad, s, {gl::ShadeMode::Phong, true, gl::FillMode::Solid}, at);
    gltest::savePng(p, "gl_specular");
    EXPECT_NEAR(p.at(32, 32)[0], 64 + 128, 2);  // diffuse plus the light's half-strength highlight
    EXPECT_LT(p.at(8, 8)[0], 140);
    // Flat shading lights a shiny face once, at its centre: its two triangles match,
    // even with the light off to one side of the diagonal that splits them.
    s.lights = {light(gl::LightKind::Point, {1, 1, 0}, {}, {0.5f, 0.5f, 0.5f})};
    p = render(quad, s, {gl::ShadeMode::Flat, true, gl::FillMode::Solid}, at);
    EXPECT_EQ(p.distinctColours(), 2);  // the face and the background
    s.lights = {light(gl::LightKind::Point, {0, 0, 0}, {}, {0.5f, 0.5f, 0.5f})};
    quad.groups[0].material = {};
    p = render(quad, s, {gl::ShadeMode::Phong, true, gl::FillMode::Solid}, at);
    EXPECT_NEAR(p.at(32, 32)[0], 64, 1);  // grey 0.5 x light 0.5, no highlight
}

TEST_F(RendererTest, TrianglesThatCoverNoPixelCentreAreLeftOutAndChangeNothing) {
    // A wavy grid of 160 x 160 quads, far smaller on screen than its triangles' count,
    // drawn with and without leaving out the triangles that cover no pixel's centre: at a
    // distance, turned, mirrored, reaching behind the eye, in an odd-sized viewport; flat
    // shading under a point light reads each kept triangle's record by its number.
    const int n = 160;
    gl::MeshData m;
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const float x = 2.0f * i / n - 1, y = 2.0f * j / n - 1;
            const gl::Vec3 p{x, y, 0.05f * std::sin(7 * x) * std::cos(5 * y)};
            m.addVertex(p, {0.1f * std::cos(7 * x), 0.1f * std::sin(5 * y), -1}, 0, 0, kWhite);
        }
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const uint32_t a = uint32_t(j * (n + 1) + i);
            const uint32_t q[4] = {a, a + n + 1, a + n + 2, a + 1};
            m.addPolygon(q, 4, {0, 0, -1});
        }
    m.endGroup({}, nullptr);
    gl::FrameSetup s = gltest::cameraSetup(97, 71);
    const std::vector<gl::LightInfo> directional = {light(gl::LightKind::Directional, {}, {0.3f, -0.2f, 1}),
                                                    light(gl::LightKind::Ambient, {}, {}, {0.2f, 0.2f, 0.2f})};
    auto draw = [&](const gl::Matrix4& world, bool leaveOut, gl::ShadeMode shade, uint64_t& leftOut) {
        s.lights = directional;
        if (shade == gl::ShadeMode::Flat) s.lights[0] = light(gl::LightKind::Point, {0.5f, 0.3f, 2}, {});
        gl::Framebuffer fb(97, 71);
        fb.clear(0, 0, 97, 71, 0, 0, 0);
        gl::GpuMesh mesh(m);
        gl::Renderer r;
        r.leaveOutTrianglesThatDrawNothing(leaveOut);
        r.begin(fb, s);
        r.draw(mesh, world, {shade, true, gl::FillMode::Solid});
        r.end();
        leftOut = r.trianglesLeftOut();
        Picture p;
        p.width = 97;
        p.height = 71;
        fb.read(p.rgba);
        return p;
    };
    const float c = std::cos(0.6f), t = std::sin(0.6f);
    struct Case {
        const char* name;
        gl::Matrix4 world;
        bool leavesOut;
    } cases[] = {
        {"far", translation(0.1f, -0.05f, 6), true},
        {"turned", {c, 0, t, 0, 0, 1, 0, 0, -t, 0, c, 0, 0.2f, 0.1f, 5, 1}, true},
        {"mirrored", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1, 0, -0.3f, 0, 7, 1}, true},
        {"behind the eye", {1, 0, 0, 0, 0, 0.1f, 1, 0, 0, -1, 0.1f, 0, 0, -0.4f, 0.5f, 1}, false},
    };
    for (const Case& k : cases)
        for (gl::ShadeMode shade : {gl::ShadeMode::Gouraud, gl::ShadeMode::Phong, gl::ShadeMode::Flat}) {
            uint64_t leftOut = 0, none = 0;
            const Picture a = draw(k.world, true, shade, leftOut), b = draw(k.world, false, shade, none);
            EXPECT_GT(b.countNonBlack(), 100) << k.name;
            EXPECT_EQ(a.rgba, b.rgba) << k.name;
            EXPECT_EQ(none, 0u);
            if (k.leavesOut) {
                EXPECT_GT(leftOut, uint64_t(n * n / 2)) << k.name;
            }
        }
}
