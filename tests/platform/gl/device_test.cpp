// Retained-mode devices and viewports drawn by the OpenGL backend, no display needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <epoxy/gl.h>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/rm/ddraw.h"
#include "platform/gl/gl_device.h"
#include "platform/gl/gl_mesh_build.h"
#include "platform/parallel.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "tests/platform/gl/gl_test_util.h"

namespace {

// Corners of a box, index = x + 2y + 4z (bit set: the + side); faces clockwise as seen
// from outside.
const DWORD kBoxFaces[] = {4, 0, 2, 3, 1, 4, 6, 4, 5, 7, 4, 2, 0, 4, 6, 4, 1, 3, 7, 5, 4, 4, 0, 1, 5, 4, 2, 6, 7, 3, 0};

// A unit sphere of around x rings cells, its points shared, without normals: each cell a
// quad clockwise from outside, or with `split`, every third one two triangles.
// Quadrilaterals, some split in two triangles; with hexagons, every third ring pairs them.
void sphereFaces(int around, int rings, bool split, std::vector<D3DVECTOR>& points, std::vector<DWORD>& faces,
                 bool hexagons = false) {
    for (int r = 0; r <= rings; ++r)
        for (int a = 0; a < around; ++a) {
            const float t = float(M_PI) * r / rings, p = 2 * float(M_PI) * a / around;
            points.push_back({std::sin(t) * std::cos(p), std::cos(t), std::sin(t) * std::sin(p)});
        }
    for (int r = 0; r < rings; ++r)
        for (int a = 0; a < around; ++a) {
            const DWORD i = DWORD(r * around + a), j = DWORD(r * around + (a + 1) % around);
            const DWORD below = DWORD(around);
            if (hexagons && r % 3 == 1 && around % 2 == 0) {
                const DWORD k = DWORD(r * around + (a + 2) % around);
                if (a % 2 == 0) faces.insert(faces.end(), {6, i, j, k, k + below, j + below, i + below});
            } else if (split && (r + a) % 3 == 0)
                faces.insert(faces.end(), {3, i, j, j + below, 3, i, j + below, i + below});
            else
                faces.insert(faces.end(), {4, i, j, j + below, i + below});
        }
    faces.push_back(0);
}

// The first `bytes` of a GL buffer.
std::vector<unsigned char> readBuffer(unsigned buffer, size_t bytes) {
    std::vector<unsigned char> out(bytes);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glGetBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(bytes), out.data());
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return out;
}

// A builder of sphereFaces(around, rings, split, ..., hexagons), face i coloured
// colourOf(i) where that is not 0.
IDirect3DRMMeshBuilder* colouredSphere(IDirect3DRM* d3drm, int around, int rings, bool split, bool hexagons,
                                       const std::function<D3DCOLOR(DWORD)>& colourOf) {
    std::vector<D3DVECTOR> points;
    std::vector<DWORD> faces;
    sphereFaces(around, rings, split, points, faces, hexagons);
    IDirect3DRMMeshBuilder* sphere = nullptr;
    EXPECT_EQ(d3drm->CreateMeshBuilder(&sphere), D3DRM_OK);
    IDirect3DRMFaceArray* made = nullptr;
    EXPECT_EQ(sphere->AddFaces(DWORD(points.size()), points.data(), 0, nullptr, faces.data(), &made), D3DRM_OK);
    for (DWORD i = 0; made && i < made->GetSize(); ++i) {
        IDirect3DRMFace* face = nullptr;
        made->GetElement(i, &face);
        if (const D3DCOLOR colour = colourOf(i)) face->SetColor(colour);
        face->Release();
    }
    if (made) made->Release();
    return sphere;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        glRegisterDeviceBackend(winPresentPicture);
        ASSERT_EQ(Direct3DRMCreate(&d3drm), D3DRM_OK);
        ASSERT_EQ(DirectDrawCreateClipper(0, &clipper, nullptr), DD_OK);
        ASSERT_EQ(d3drm->CreateFrame(nullptr, &scene), D3DRM_OK);
        ASSERT_EQ(d3drm->CreateFrame(scene, &camera), D3DRM_OK);
    }
    void TearDown() override {
        if (viewport) viewport->Release();
        if (device) device->Release();
        camera->Release();
        scene->Release();
        clipper->Release();
        d3drm->Release();
    }

    void makeDevice(int w, int h, const GUID* guid = &IID_IDirect3DRGBDevice) {
        ASSERT_EQ(d3drm->CreateDeviceFromClipper(clipper, const_cast<GUID*>(guid), w, h, &device), D3DRM_OK);
        ASSERT_EQ(d3drm->CreateViewport(device, camera, 0, 0, w, h, &viewport), D3DRM_OK);
    }

    IDirect3DRMFrame* addFrame(float x, float y, float z) {
        IDirect3DRMFrame* f = nullptr;
        EXPECT_EQ(d3drm->CreateFrame(scene, &f), D3DRM_OK);
        f->SetPosition(scene, x, y, z);
        f->Release();  // the scene keeps it
        return f;
    }

    IDirect3DRMMeshBuilder* addBox(IDirect3DRMFrame* frame, float h) {
        IDirect3DRMMeshBuilder* b = nullptr;
        EXPECT_EQ(d3drm->CreateMeshBuilder(&b), D3DRM_OK);
        D3DVECTOR v[8];
        for (int i = 0; i < 8; ++i) v[i] = {i & 1 ? h : -h, i & 2 ? h : -h, i & 4 ? h : -h};
        EXPECT_EQ(b->AddFaces(8, v, 0, nullptr, const_cast<DWORD*>(kBoxFaces), nullptr), D3DRM_OK);
        frame->AddVisual(b);
        b->Release();
        return b;
    }

    // A square whose front faces along n, centred on the frame; a is one of its edges.
    IDirect3DRMMeshBuilder* addSquare(IDirect3DRMFrame* frame, D3DVECTOR n, D3DVECTOR a, float h) {
        IDirect3DRMMeshBuilder* b = nullptr;
        EXPECT_EQ(d3drm->CreateMeshBuilder(&b), D3DRM_OK);
        D3DRMVectorNormalize(&n);
        D3DRMVectorNormalize(&a);
        D3DVECTOR bv;
        D3DRMVectorCrossProduct(&bv, &a, &n);
        const float sa[4] = {-1, -1, 1, 1}, sb[4] = {-1, 1, 1, -1};
        D3DVECTOR v[4];
        for (int i = 0; i < 4; ++i)
            v[i] = {h * (sa[i] * a.x + sb[i] * bv.x), h * (sa[i] * a.y + sb[i] * bv.y), h * (sa[i] * a.z + sb[i] * bv.z)};
        DWORD faces[] = {4, 0, 1, 2, 3, 0};
        EXPECT_EQ(b->AddFaces(4, v, 0, nullptr, faces, nullptr), D3DRM_OK);
        frame->AddVisual(b);
        b->Release();
        return b;
    }

    void addLight(IDirect3DRMFrame* frame, D3DRMLIGHTTYPE type, float r, float g, float b) {
        IDirect3DRMLight* l = nullptr;
        ASSERT_EQ(d3drm->CreateLightRGB(type, r, g, b, &l), D3DRM_OK);
        frame->AddLight(l);
        l->Release();
    }

    gltest::Picture draw() {
        EXPECT_EQ(viewport->Clear(), D3DRM_OK);
        EXPECT_EQ(viewport->Render(scene), D3DRM_OK);
        EXPECT_EQ(device->Update(), D3DRM_OK);
        gltest::Picture p;
        EXPECT_TRUE(glDeviceReadPicture(device, p.rgba, p.width, p.height));
        return p;
    }

    void pixelOf(D3DVECTOR world, float& x, float& y) {
        D3DRMVECTOR4D s;
        ASSERT_EQ(viewport->Transform(&s, &world), D3DRM_OK);
        x = s.x / s.w;
        y = s.y / s.w;
    }

    IDirect3DRM* d3drm = nullptr;
    IDirectDrawClipper* clipper = nullptr;
    IDirect3DRMFrame* scene = nullptr;
    IDirect3DRMFrame* camera = nullptr;
    IDirect3DRMDevice* device = nullptr;
    IDirect3DRMViewport* viewport = nullptr;
};

}  // namespace

TEST_F(DeviceTest, UnitCubeLiesWhereTransformSays) {
    makeDevice(160, 100);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 1, 1);
    const D3DVECTOR centre{0.7f, -0.4f, 4};
    addBox(addFrame(centre.x, centre.y, centre.z), 0.5f);
    // Turn the camera a little so that the check does not rely on an identity view.
    camera->SetOrientation(scene, 0.05f, 0.02f, 1, 0, 1, 0);
    const gltest::Picture p = draw();
    gltest::savePng(p, "gl_device_cube");
    ASSERT_EQ(p.width, 160);
    ASSERT_EQ(p.height, 100);

    float minX = 1e9f, minY = 1e9f, maxX = -1e9f, maxY = -1e9f;
    for (int i = 0; i < 8; ++i) {
        float x, y;
        pixelOf({centre.x + (i & 1 ? .5f : -.5f), centre.y + (i & 2 ? .5f : -.5f), centre.z + (i & 4 ? .5f : -.5f)}, x, y);
        minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    float fx0, fy0, fx1, fy1;  // the front face's corners: always covered
    pixelOf({centre.x - .5f, centre.y + .5f, centre.z - .5f}, fx0, fy0);
    pixelOf({centre.x + .5f, centre.y - .5f, centre.z - .5f}, fx1, fy1);
    int lit = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const float cx = x + .5f, cy = y + .5f;
            if (cx < minX - 1 || cx > maxX + 1 || cy < minY - 1 || cy > maxY + 1) {
                EXPECT_TRUE(p.isBlack(x, y)) << x << "," << y;
            }
            if (cx > std::min(fx0, fx1) + 1 && cx < std::max(fx0, fx1) - 1 && cy > std::min(fy0, fy1) + 1 &&
                cy < std::max(fy0, fy1) - 1) {
                EXPECT_FALSE(p.isBlack(x, y)) << x << "," << y;
                ++lit;
            }
        }
    EXPECT_GT(lit, 200);
    EXPECT_EQ(device->GetTrianglesDrawn(), 12u);
}

TEST_F(DeviceTest, DefaultSceneDirectionalLightFullyLightsItsFace) {
    makeDevice(100, 100);
    IDirect3DRMFrame* lightFrame = addFrame(2, 2, 5);
    ASSERT_EQ(lightFrame->SetOrientation(scene, -1, -1, 1, 0, 1, 0), D3DRM_OK);
    addLight(lightFrame, D3DRMLIGHT_DIRECTIONAL, 1, 1, 1);
    // Left: the face whose normal is (1, 1, -1); right: one turned a quarter away.
    addSquare(addFrame(-1, 0, 6), {1, 1, -1}, {1, -1, 0}, 0.6f);
    addSquare(addFrame(1, 0, 6), {-1, 1, -1}, {1, 1, 0}, 0.6f);
    const gltest::Picture p = draw();
    float x, y;
    pixelOf({-1, 0, 6}, x, y);
    const unsigned char* full = p.at(int(x), int(y));
    EXPECT_GE(full[0], 253);
    EXPECT_EQ(full[0], full[2]);
    pixelOf({1, 0, 6}, x, y);
    const unsigned char* part = p.at(int(x), int(y));
    EXPECT_NEAR(part[0], 255 / 3, 2);  // cos = 1/3
}

TEST_F(DeviceTest, GeometryIsUploadedOncePerChange) {
    makeDevice(64, 64);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 1, 1);
    IDirect3DRMFrame* frame = addFrame(0, 0, 5);
    IDirect3DRMMeshBuilder* box = addBox(frame, 0.5f);
    frame->SetRotation(scene, 0, 1, 0, 0.1f);
    const unsigned long before = glGeometryUploadCount();
    // A mesh first drawn flat is made without vertex normals, which smooth shading adds
    // once; after that, moving frames and switching quality change no geometry.
    const D3DRMRENDERQUALITY qualities[] = {D3DRMRENDER_FLAT, D3DRMSHADE_GOURAUD | D3DRMLIGHT_ON | D3DRMFILL_WIREFRAME,
                                            D3DRMRENDER_FLAT, D3DRMRENDER_WIREFRAME, D3DRMRENDER_GOURAUD};
    for (size_t i = 0; i < std::size(qualities); ++i) {
        scene->Move(1);
        device->SetQuality(qualities[i]);
        draw();
        EXPECT_EQ(glGeometryUploadCount(), before + (i == 0 ? 1 : 2)) << i;
    }
    device->SetQuality(D3DRMRENDER_FLAT);
    box->SetColorRGB(1, 0, 0);
    const gltest::Picture p = draw();
    draw();
    EXPECT_EQ(glGeometryUploadCount(), before + 3);
    EXPECT_EQ(p.at(32, 32)[0], 255);
    EXPECT_EQ(p.at(32, 32)[1], 0);
}

TEST_F(DeviceTest, EachFieldDrawsAtTheLowerOfDeviceAndBuilder) {
    makeDevice(80, 80);
    addLight(addFrame(-3, 3, 0), D3DRMLIGHT_POINT, 1, 1, 1);
    IDirect3DRMFrame* f = addFrame(0, 0, 4);
    f->SetOrientation(scene, 0.5f, -0.4f, 1, 0, 1, 0);
    IDirect3DRMMeshBuilder* box = addBox(f, 0.8f);
    // Device FLAT (its default) over a GOURAUD builder: flat.
    ASSERT_EQ(device->GetQuality(), D3DRMRENDER_FLAT);
    const int flat = draw().distinctColours();
    device->SetQuality(D3DRMRENDER_GOURAUD);
    const int gouraud = draw().distinctColours();
    box->SetQuality(D3DRMRENDER_FLAT);
    const int builderFlat = draw().distinctColours();
    EXPECT_LE(flat, 4);
    EXPECT_GT(gouraud, 20);
    EXPECT_EQ(builderFlat, flat);
    // Wireframe on the device leaves the faces' interiors black.
    device->SetQuality(D3DRMRENDER_WIREFRAME);
    box->SetQuality(D3DRMRENDER_GOURAUD);
    const gltest::Picture wire = draw();
    EXPECT_TRUE(wire.isBlack(40, 40));
    EXPECT_GT(wire.countNonBlack(), 50);
}

TEST_F(DeviceTest, ViewportClearsAndDrawsOnlyItsRectangle) {
    makeDevice(100, 80);
    viewport->Release();
    ASSERT_EQ(d3drm->CreateViewport(device, camera, 20, 10, 50, 40, &viewport), D3DRM_OK);
    scene->SetSceneBackgroundRGB(0, 0, 1);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 1, 1);
    addBox(addFrame(0, 0, 5), 0.3f);
    const gltest::Picture p = draw();
    EXPECT_EQ(p.width, 100);
    // Transform counts pixels from the viewport's corner.
    float x, y;
    pixelOf({0, 0, 4.7f}, x, y);
    EXPECT_NEAR(x, 25, 0.01);
    EXPECT_EQ(p.at(20 + int(x), 10 + int(y))[0], 255);
    EXPECT_EQ(p.at(50, 40)[0], 0);
    EXPECT_EQ(p.at(20, 10)[2], 255);
    EXPECT_EQ(p.at(69, 49)[2], 255);
    EXPECT_TRUE(p.isBlack(19, 10));
    EXPECT_TRUE(p.isBlack(70, 49));
    EXPECT_TRUE(p.isBlack(20, 50));
}

TEST_F(DeviceTest, RampDeviceTurnsColouredLightGrey) {
    makeDevice(64, 64, &IID_IDirect3DRampDevice);
    EXPECT_EQ(device->GetColorModel(), DWORD(D3DCOLOR_MONO));
    EXPECT_EQ(device->GetShades(), 32u);
    EXPECT_TRUE(device->GetDither());
    device->SetDither(FALSE);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 0, 0);
    addBox(addFrame(0, 0, 5), 1);
    const gltest::Picture p = draw();
    const unsigned char* c = p.at(32, 32);
    EXPECT_GT(c[0], 40);
    EXPECT_EQ(c[0], c[1]);
    EXPECT_EQ(c[1], c[2]);
}

TEST_F(DeviceTest, CreationFailsCleanlyForBadRequests) {
    IDirect3DRMDevice* d = nullptr;
    GUID unknown{9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
    EXPECT_LT(d3drm->CreateDeviceFromClipper(clipper, &unknown, 64, 64, &d), 0);
    EXPECT_EQ(d, nullptr);
    EXPECT_LT(d3drm->CreateDeviceFromClipper(clipper, nullptr, 0, 64, &d), 0);
    EXPECT_LT(d3drm->CreateDeviceFromClipper(clipper, nullptr, 1 << 20, 64, &d), 0);
    EXPECT_LT(d3drm->CreateDeviceFromClipper(clipper, nullptr, 1 << 30, 1 << 30, &d), 0);
    EXPECT_EQ(d, nullptr);
    // No GUID: the default device, ramp.
    ASSERT_EQ(d3drm->CreateDeviceFromClipper(clipper, nullptr, 32, 16, &d), D3DRM_OK);
    EXPECT_EQ(d->GetColorModel(), DWORD(D3DCOLOR_MONO));
    EXPECT_EQ(d->GetWidth(), 32u);
    EXPECT_EQ(d->GetHeight(), 16u);
    d->Release();
}

namespace {
LRESULT CALLBACK plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, message, wParam, lParam);
}
}  // namespace

TEST_F(DeviceTest, UpdatePresentsToTheClippersWindowAndPaintRepresents) {
    winReset();
    winUseHeadless(90, 70);
    WNDCLASSA wc{};
    wc.lpfnWndProc = plainProc;
    wc.lpszClassName = "GlDeviceTestClass";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND hwnd = CreateWindowExA(0, "GlDeviceTestClass", "test", WS_OVERLAPPEDWINDOW, 0, 0, 90, 70, nullptr, nullptr,
                                nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_EQ(clipper->SetHWnd(0, hwnd), DD_OK);
    makeDevice(90, 70);
    scene->SetSceneBackgroundRGB(0, 1, 0);
    draw();
    std::vector<unsigned char> shown;
    int w = 0, h = 0;
    ASSERT_TRUE(winReadPicture(hwnd, shown, w, h));
    ASSERT_EQ(w, 90);
    ASSERT_EQ(h, 70);
    EXPECT_EQ(shown[(35 * 90 + 45) * 4 + 1], 255);
    EXPECT_EQ(shown[(35 * 90 + 45) * 4 + 0], 0);

    // Text drawn over the picture goes away when the device repaints.
    HDC dc = GetDC(hwnd);
    SetBkColor(dc, RGB(255, 0, 0));
    SetBkMode(dc, OPAQUE);
    TextOutA(dc, 0, 0, "WWWW", 4);
    ReleaseDC(hwnd, dc);
    ASSERT_TRUE(winReadPicture(hwnd, shown, w, h));
    EXPECT_EQ(shown[(2 * 90 + 2) * 4 + 1], 0);
    IDirect3DRMWinDevice* win = nullptr;
    ASSERT_EQ(device->QueryInterface(IID_IDirect3DRMWinDevice, reinterpret_cast<void**>(&win)), D3DRM_OK);
    EXPECT_EQ(win->HandlePaint(nullptr), D3DRM_OK);
    EXPECT_EQ(win->HandleActivate(1), D3DRM_OK);
    win->Release();
    ASSERT_TRUE(winReadPicture(hwnd, shown, w, h));
    EXPECT_EQ(shown[(2 * 90 + 2) * 4 + 1], 255);
    viewport->Release();
    viewport = nullptr;
    device->Release();
    device = nullptr;
    winReset();
}

TEST_F(DeviceTest, MeshVisualsKeepTheirOwnQuality) {
    makeDevice(80, 80);
    addLight(addFrame(-3, 3, 0), D3DRMLIGHT_POINT, 1, 1, 1);
    IDirect3DRMFrame* f = addFrame(0, 0, 4);
    f->SetOrientation(scene, 0.5f, -0.4f, 1, 0, 1, 0);
    IDirect3DRMMeshBuilder* box = addBox(f, 0.8f);
    IDirect3DRMMesh* mesh = nullptr;
    ASSERT_EQ(box->CreateMesh(&mesh), D3DRM_OK);
    f->DeleteVisual(box);
    f->AddVisual(mesh);
    // The device stays flat; the mesh's groups draw Gouraud (their default) regardless.
    ASSERT_EQ(device->GetQuality(), D3DRMRENDER_FLAT);
    EXPECT_GT(draw().distinctColours(), 20);
    mesh->SetGroupQuality(0, D3DRMRENDER_FLAT);
    EXPECT_LE(draw().distinctColours(), 4);
    mesh->Release();
}

TEST_F(DeviceTest, FramesShownAsVisualsAreDrawnWhereTheyAreHeldWithoutLooping) {
    makeDevice(80, 80);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 1, 1);
    // A box frame kept outside the scene, shown through two holders side by side.
    IDirect3DRMFrame* shape = nullptr;
    ASSERT_EQ(d3drm->CreateFrame(nullptr, &shape), D3DRM_OK);
    addBox(shape, 0.3f);
    IDirect3DRMFrame* left = addFrame(-1, 0, 5);
    IDirect3DRMFrame* right = addFrame(1, 0, 5);
    left->AddVisual(shape);
    right->AddVisual(shape);
    // A holder that holds its own parent: drawn once, not forever.
    IDirect3DRMFrame* inner = nullptr;
    ASSERT_EQ(d3drm->CreateFrame(left, &inner), D3DRM_OK);
    inner->AddVisual(left);
    inner->AddVisual(left);
    const gltest::Picture p = draw();
    float x, y;
    pixelOf({-1, 0, 4.7f}, x, y);
    EXPECT_FALSE(p.isBlack(int(x), int(y)));
    pixelOf({1, 0, 4.7f}, x, y);
    EXPECT_FALSE(p.isBlack(int(x), int(y)));
    EXPECT_TRUE(p.isBlack(40, 40));
    inner->DeleteVisual(left);
    inner->DeleteVisual(left);
    inner->Release();
    shape->Release();
}

TEST_F(DeviceTest, LightWithAnEnableFrameLightsOnlyWhatIsBelowIt) {
    makeDevice(80, 80);
    IDirect3DRMFrame* left = addFrame(-1, 0, 5);
    IDirect3DRMFrame* right = addFrame(1, 0, 5);
    addBox(left, 0.4f);
    addBox(right, 0.4f);
    IDirect3DRMLight* light = nullptr;
    ASSERT_EQ(d3drm->CreateLightRGB(D3DRMLIGHT_AMBIENT, 1, 1, 1, &light), D3DRM_OK);
    scene->AddLight(light);
    ASSERT_EQ(light->SetEnableFrame(right), D3DRM_OK);
    light->Release();
    const gltest::Picture p = draw();
    float x, y;
    pixelOf({-1, 0, 4.6f}, x, y);
    EXPECT_TRUE(p.isBlack(int(x), int(y)));
    pixelOf({1, 0, 4.6f}, x, y);
    EXPECT_EQ(p.at(int(x), int(y))[0], 255);
}

TEST_F(DeviceTest, FacesSharingCornersKeepTheirOwnColours) {
    makeDevice(80, 80);
    device->SetQuality(D3DRMRENDER_UNLITFLAT);
    IDirect3DRMMeshBuilder* b = nullptr;
    ASSERT_EQ(d3drm->CreateMeshBuilder(&b), D3DRM_OK);
    // Two squares side by side sharing their middle edge, facing the camera.
    D3DVECTOR v[6] = {{-1, -0.5f, 0}, {-1, 0.5f, 0}, {0, 0.5f, 0}, {0, -0.5f, 0}, {1, 0.5f, 0}, {1, -0.5f, 0}};
    DWORD faces[] = {4, 0, 1, 2, 3, 4, 3, 2, 4, 5, 0};
    IDirect3DRMFaceArray* array = nullptr;
    ASSERT_EQ(b->AddFaces(6, v, 0, nullptr, faces, &array), D3DRM_OK);
    ASSERT_NE(array, nullptr);
    IDirect3DRMFace* face = nullptr;
    ASSERT_EQ(array->GetElement(0, &face), D3DRM_OK);
    face->SetColorRGB(1, 0, 0);
    face->Release();
    ASSERT_EQ(array->GetElement(1, &face), D3DRM_OK);
    face->SetColorRGB(0, 0, 1);
    face->Release();
    array->Release();
    addFrame(0, 0, 3)->AddVisual(b);
    b->Release();
    const gltest::Picture p = draw();
    float x, y;
    pixelOf({-0.5f, 0, 3}, x, y);
    EXPECT_EQ(p.at(int(x), int(y))[0], 255);
    EXPECT_EQ(p.at(int(x), int(y))[2], 0);
    pixelOf({0.5f, 0, 3}, x, y);
    EXPECT_EQ(p.at(int(x), int(y))[0], 0);
    EXPECT_EQ(p.at(int(x), int(y))[2], 255);
}

TEST_F(DeviceTest, VertexColoursBlendWhenSmoothAndTakeTheFirstCornerWhenFlat) {
    makeDevice(80, 80);
    IDirect3DRMMeshBuilder* b = addSquare(addFrame(0, 0, 3), {0, 0, -1}, {1, 0, 0}, 1);
    // Corners 0 and 1 are on the left, 2 and 3 on the right.
    b->SetVertexColorRGB(0, 1, 0, 0);
    b->SetVertexColorRGB(1, 1, 0, 0);
    b->SetVertexColorRGB(2, 0, 0, 1);
    b->SetVertexColorRGB(3, 0, 0, 1);
    ASSERT_EQ(b->SetColorSource(D3DRMCOLOR_FROMVERTEX), D3DRM_OK);
    device->SetQuality(D3DRMSHADE_GOURAUD | D3DRMLIGHT_OFF | D3DRMFILL_SOLID);
    gltest::Picture p = draw();
    EXPECT_GT(p.at(40, 40)[0], 90);
    EXPECT_GT(p.at(40, 40)[2], 90);
    EXPECT_GT(p.at(25, 40)[0], p.at(55, 40)[0]);
    device->SetQuality(D3DRMRENDER_UNLITFLAT);
    p = draw();
    EXPECT_EQ(p.at(25, 40)[0], 255);
    EXPECT_EQ(p.at(55, 40)[0], 255);
    EXPECT_EQ(p.at(55, 40)[2], 0);
}

TEST_F(DeviceTest, TranslucentFacesBlendOverEverythingBehindThemInBothColourModels) {
    for (const GUID* guid : {&IID_IDirect3DRGBDevice, &IID_IDirect3DRampDevice}) {
        SCOPED_TRACE(guid == &IID_IDirect3DRGBDevice ? "RGB" : "ramp");
        if (viewport) viewport->Release();
        if (device) device->Release();
        makeDevice(80, 80, guid);
        device->SetQuality(D3DRMRENDER_UNLITFLAT);
        device->SetDither(FALSE);
        // Added before what it covers: translucent faces still come last.
        IDirect3DRMFrame* front = addFrame(0, 0, 4);
        IDirect3DRMMeshBuilder* glass = addSquare(front, {0, 0, -1}, {1, 0, 0}, 1.5f);
        glass->SetColor(D3DRMCreateColorRGBA(0, 0, 1, 0.5f));
        addSquare(addFrame(0, 0, 6), {0, 0, -1}, {1, 0, 0}, 1)->SetColorRGB(1, 0, 0);
        // Two translucent faces in one builder, the nearer listed first: it writes no
        // depth, so the farther one still shows through it.
        IDirect3DRMMeshBuilder* pair = nullptr;
        ASSERT_EQ(d3drm->CreateMeshBuilder(&pair), D3DRM_OK);
        D3DVECTOR v[8] = {{-1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {1, -1, -1}, {-1, -1, 1}, {-1, 1, 1}, {1, 1, 1}, {1, -1, 1}};
        DWORD faces[] = {4, 0, 1, 2, 3, 4, 4, 5, 6, 7, 0};
        IDirect3DRMFaceArray* array = nullptr;
        ASSERT_EQ(pair->AddFaces(8, v, 0, nullptr, faces, &array), D3DRM_OK);
        for (DWORD i = 0; i < 2; ++i) {
            IDirect3DRMFace* face = nullptr;
            array->GetElement(i, &face);
            face->SetColor(i == 0 ? D3DRMCreateColorRGBA(0, 0, 1, 0.5f) : D3DRMCreateColorRGBA(0, 1, 0, 0.5f));
            face->Release();
        }
        array->Release();
        IDirect3DRMFrame* side = addFrame(-3, 0, 8);
        side->AddVisual(pair);
        pair->Release();

        const gltest::Picture p = draw();
        float x, y;
        pixelOf({0, 0, 4}, x, y);  // glass over red
        EXPECT_NEAR(p.at(int(x), int(y))[0], 128, 12);
        EXPECT_NEAR(p.at(int(x), int(y))[2], 128, 12);
        pixelOf({1.25f, 1.25f, 4}, x, y);  // glass over the black background
        EXPECT_EQ(p.at(int(x), int(y))[0], 0);
        EXPECT_NEAR(p.at(int(x), int(y))[2], 128, 12);
        EXPECT_EQ(p.at(int(x), int(y))[3], 255);  // the picture itself stays opaque
        pixelOf({-3, 0, 7}, x, y);
        EXPECT_GT(p.at(int(x), int(y))[1], 100);
        EXPECT_GT(p.at(int(x), int(y))[2], 40);
        // Coverage (what a thumbnail keeps): opaque faces, seen through glass or not; never
        // glass over nothing or the background.
        std::vector<unsigned char> covered;
        int w = 0, h = 0;
        ASSERT_TRUE(glDeviceReadCovered(device, covered, w, h));
        ASSERT_EQ(covered.size(), size_t(w) * size_t(h));
        for (auto [at, expected] : {std::pair{D3DVECTOR{0, 0, 4}, 1}, {{0.9f, 0, 6}, 1}, {{1.25f, 1.25f, 4}, 0},
                                    {{-3, 0, 7}, 0}, {{0, 1.8f, 4}, 0}}) {
            pixelOf(at, x, y);
            ASSERT_TRUE(x >= 0 && x < w && y >= 0 && y < h) << at.x << " " << at.y << " " << at.z;
            EXPECT_EQ(covered[size_t(y) * w + size_t(x)], expected) << at.x << " " << at.y << " " << at.z;
        }
        scene->DeleteChild(front);
        scene->DeleteChild(side);
    }
}

TEST_F(DeviceTest, SkinnedMeshesAreDrawnPosedAndUploadedOnlyWhenABoneMoves) {
    makeDevice(80, 80);
    addLight(scene, D3DRMLIGHT_AMBIENT, 1, 1, 1);
    // A bar from y = -1 to 1 whose top half rides on bone Top.
    const std::string text = R"(xof 0303txt 0032
Frame Rig {
  Frame Top { }
  Mesh { 6; -0.2;-1;0;, -0.2;0;0;, -0.2;1;0;, 0.2;1;0;, 0.2;0;0;, 0.2;-1;0;;
    2; 4;0;1;4;5;, 4;1;2;3;4;;
    SkinWeights { "Top"; 2; 2, 3; 1, 1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; } }
})";
    IDirect3DRMFrame* holder = addFrame(0, 0, 4);
    D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), static_cast<DWORD>(text.size())};
    ASSERT_EQ(holder->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
    IDirect3DRMFrame* top = rm::frameChildren(rm::frameChildren(holder)[0])[0];
    auto litAt = [](const gltest::Picture& p, float x, float y) { return !p.isBlack(int(x), int(y)); };
    float x, y;
    pixelOf({0.8f, 0.8f, 4}, x, y);
    gltest::Picture p = draw();
    EXPECT_FALSE(litAt(p, x, y));
    const unsigned long before = glGeometryUploadCount();
    top->SetPosition(holder, 1, 0, 0);  // the top edge moves one unit to the right
    p = draw();
    EXPECT_TRUE(litAt(p, x, y));
    p = draw();
    scene->Move(1);
    p = draw();
    EXPECT_EQ(glGeometryUploadCount(), before + 1);
    EXPECT_TRUE(litAt(p, x, y));
}

TEST_F(DeviceTest, GouraudSphereShowsNoFacetsAndUnusableNormalsStillLight) {
    makeDevice(120, 120);
    device->SetDither(FALSE);
    IDirect3DRMFrame* lightFrame = addFrame(0, 0, 0);
    addLight(lightFrame, D3DRMLIGHT_DIRECTIONAL, 1, 1, 1);  // along the view
    // A sphere of 24 x 12 faces, its points shared, without normals of its own.
    std::vector<D3DVECTOR> points;
    std::vector<DWORD> faces;
    sphereFaces(24, 12, false, points, faces);
    IDirect3DRMMeshBuilder* sphere = nullptr;
    ASSERT_EQ(d3drm->CreateMeshBuilder(&sphere), D3DRM_OK);
    ASSERT_EQ(sphere->AddFaces(DWORD(points.size()), points.data(), 0, nullptr, faces.data(), nullptr), D3DRM_OK);
    addFrame(0, 0, 4)->AddVisual(sphere);
    sphere->Release();
    // The largest step between neighbouring pixels across the lit middle of the sphere.
    auto largestStep = [&] {
        const gltest::Picture p = draw();
        int largest = 0;
        for (int x = 45; x < 75; ++x) largest = std::max(largest, std::abs(p.at(x + 1, 60)[0] - p.at(x, 60)[0]));
        return largest;
    };
    device->SetQuality(D3DRMRENDER_FLAT);
    const int flat = largestStep();
    device->SetQuality(D3DRMRENDER_GOURAUD);
    const int gouraud = largestStep();
    EXPECT_GT(flat, 10);
    EXPECT_LT(gouraud, 6);

    // Normals of zero length (given by a file, say) light as their face would.
    IDirect3DRMMeshBuilder* square = addSquare(addFrame(0, 0, 2.5f), {0, 0, -1}, {0, 1, 0}, 0.3f);
    for (int i = 0; i < 4; ++i) square->SetNormal(DWORD(i), 0, 0, 0);
    for (D3DRMRENDERQUALITY q : {D3DRMRENDER_FLAT, D3DRMRENDER_GOURAUD, D3DRMRENDER_PHONG}) {
        device->SetQuality(q);
        square->SetQuality(q);
        const gltest::Picture p = draw();
        EXPECT_GT(p.at(60, 60)[0], 200) << q;
    }
}

// A builder's faces reach the GPU reordered (by the shape of their records, the way they
// face, then by place) and cut into clusters that are skipped when out of view; its
// hexagons share a flat record between their triangles, and its triangles' and
// quadrilaterals' are worked out from their corners where they are drawn: its picture is
// still that of the same faces in file order, as a mesh made from it draws them.
TEST_F(DeviceTest, ReorderedBigBuilderDrawsAsItsMeshCopy) {
    makeDevice(96, 96);
    device->SetDither(FALSE);
    device->SetQuality(D3DRMRENDER_PHONG);
    addLight(addFrame(0, 0, 0), D3DRMLIGHT_DIRECTIONAL, 0.6f, 0.6f, 0.6f);
    addLight(addFrame(-2, 1, 1), D3DRMLIGHT_POINT, 0.5f, 0.4f, 0.3f);
    IDirect3DRMMeshBuilder* sphere = colouredSphere(d3drm, 128, 64, true, true, [](DWORD i) {
        return i % 2 == 0 ? RGBA_MAKE(200, 120, 40, 255) : D3DCOLOR(0);
    });
    ASSERT_NE(sphere, nullptr);
    IDirect3DRMFrame* frame = addFrame(-0.9f, 0, 2.6f);
    frame->AddVisual(sphere);
    // Flat twice: made for flat shading alone, then by a flat device after Gouraud made it
    // with normals (vertices of another size, read another way).
    using Qualities = std::pair<D3DRMRENDERQUALITY, D3DRMRENDERQUALITY>;  // the device's, the builder's
    for (const auto& [deviceQuality, q] : {Qualities{D3DRMRENDER_PHONG, D3DRMRENDER_FLAT},
                                           Qualities{D3DRMRENDER_PHONG, D3DRMRENDER_GOURAUD},
                                           Qualities{D3DRMRENDER_FLAT, D3DRMRENDER_GOURAUD}}) {
        device->SetQuality(deviceQuality);
        if (q != rm::meshBuilderData(sphere)->quality) sphere->SetQuality(q);
        const gltest::Picture builder = draw();
        IDirect3DRMMesh* mesh = nullptr;
        ASSERT_EQ(sphere->CreateMesh(&mesh), D3DRM_OK);
        for (D3DRMGROUPINDEX g = 0; g < D3DRMGROUPINDEX(mesh->GetGroupCount()); ++g)
            mesh->SetGroupQuality(g, std::min(deviceQuality, q));
        frame->DeleteVisual(sphere);
        frame->AddVisual(mesh);
        const gltest::Picture copy = draw();
        frame->DeleteVisual(mesh);
        frame->AddVisual(sphere);
        mesh->Release();
        EXPECT_GT(builder.countNonBlack(), 1500);
        EXPECT_EQ(builder.rgba, copy.rgba) << q;
    }
    sphere->Release();
}

// Every triangle of a builder's GPU copy has its face's corners: their positions and
// colours (and normals, smooth), each distinct (position, normal, colour) one vertex. Strips
// of quads, two colours meeting at a row of shared positions; with a position no face
// draws, and smooth with one corner's normal unusable (a vertex of its own).
TEST_F(DeviceTest, BuilderCornersBecomeTheVerticesOfTheirTriangles) {
    makeDevice(8, 8);
    struct Case {
        const char* what;
        bool normals, unusedPosition, badNormal;
        size_t vertices;
    };
    for (const Case& c : {Case{"flat", false, false, false, 30 + 6}, Case{"flat, unused", false, true, false, 36},
                          Case{"smooth", true, false, false, 30 + 6}, Case{"smooth, own", true, false, true, 37}}) {
        SCOPED_TRACE(c.what);
        std::vector<D3DVECTOR> points, normals{{0, 0, -1}, {0, 0.6f, -0.8f}};
        for (int i = 0; i < 30; ++i) points.push_back({float(i % 6), float(i / 6), 0});
        if (c.unusedPosition) points.push_back({9, 9, 9});
        if (c.badNormal) normals.push_back({0, 0, 0});
        std::vector<DWORD> faces;
        for (DWORD row = 0; row < 4; ++row)
            for (DWORD col = 0; col < 5; ++col) {
                const DWORD at = row * 6 + col, n = row < 2 ? 0 : 1;
                const DWORD bad = c.badNormal && row == 3 && col == 4 ? 2 : n;
                faces.insert(faces.end(), {4, at, n, at + 6, n, at + 7, n, at + 1, bad});
            }
        faces.push_back(0);
        IDirect3DRMMeshBuilder* builder = nullptr;
        ASSERT_EQ(d3drm->CreateMeshBuilder(&builder), D3DRM_OK);
        IDirect3DRMFaceArray* array = nullptr;
        ASSERT_EQ(builder->AddFaces(DWORD(points.size()), points.data(), DWORD(normals.size()), normals.data(),
                                    faces.data(), &array),
                  D3DRM_OK);
        for (DWORD f = 0; f < 20; ++f) {  // the lower two rows red, the upper two blue
            IDirect3DRMFace* face = nullptr;
            ASSERT_EQ(array->GetElement(f, &face), D3DRM_OK);
            face->SetColorRGB(f < 10 ? 1.0f : 0.0f, 0, f < 10 ? 0.0f : 1.0f);
            face->Release();
        }
        array->Release();
        const rm::MeshBuilderData& data = *rm::meshBuilderData(builder);
        std::unique_ptr<gl::GpuMesh> mesh =
            gldevice::buildMesh(data, nullptr, gldevice::Extras{false, false, c.normals});
        ASSERT_NE(mesh, nullptr);
        EXPECT_EQ(mesh->sizes().vertices, c.vertices);
        const size_t stride = mesh->vertexStride();
        const std::vector<unsigned char> vertices = readBuffer(mesh->vertexBuffer(), mesh->sizes().vertices * stride);
        const std::vector<unsigned char> indexBytes =
            readBuffer(mesh->indexBuffer(), size_t(mesh->triangleCount()) * 12);
        std::vector<uint32_t> indices(indexBytes.size() / 4);
        std::memcpy(indices.data(), indexBytes.data(), indexBytes.size());
        // Each triangle's corners as (position, z of the normal, red): the set of a face's
        // fans is the set of its corners.
        std::multiset<std::tuple<float, float, int, int>> drawn, wanted;
        for (uint32_t v : indices) {
            ASSERT_LT(v, mesh->sizes().vertices);
            float p[3];
            std::memcpy(p, &vertices[v * stride], sizeof p);
            int nz = 0;
            if (c.normals) {
                int32_t packed;
                std::memcpy(&packed, &vertices[v * stride + 12], 4);
                nz = (packed << 2) >> 22;  // the third 10-bit field, signed
            }
            const int which = c.normals ? (nz < -460 ? 1 : nz < -300 ? 2 : 0) : 0;
            drawn.insert({p[0], p[1], which, vertices[v * stride + stride - 4]});
        }
        for (size_t i = 0; i + 1 < faces.size(); i += 9)
            for (const int fan : {0, 1})
                for (const int k : {0, fan + 1, fan + 2}) {
                    const D3DVECTOR& p = points[faces[i + 1 + 2 * k]];
                    const D3DVECTOR& n = normals[faces[i + 2 + 2 * k]];
                    const bool own = n.z == 0;  // takes its face's normal, (0, 0, -1)
                    const int which = c.normals ? (own || n.z < -0.9f ? 1 : 2) : 0;
                    wanted.insert({p.x, p.y, which, faces[i + 1] < 12 ? 255 : 0});
                }
        EXPECT_EQ(drawn, wanted);
        builder->Release();
    }
}

// A big builder goes to the GPU built in parts, on several threads: the buffers, groups
// and clusters are those one part gives, whatever the number of parts.
TEST_F(DeviceTest, BigBuilderBuiltInPartsMatchesOnePart) {
    makeDevice(64, 64);
    // Runs of colours, some see-through, so that groups and shared corners vary.
    IDirect3DRMMeshBuilder* sphere = colouredSphere(d3drm, 512, 192, true, true, [](DWORD i) {
        return i % 7 == 0 ? RGBA_MAKE(200, 120, 40, i % 5 == 0 ? 128 : 255) : D3DCOLOR(0);
    });
    ASSERT_NE(sphere, nullptr);
    ASSERT_GT(sphere->GetFaceCount(), 3 << 15);  // three parts of 32768 faces or more
    const rm::MeshBuilderData& data = *rm::meshBuilderData(sphere);
    struct Built {
        std::vector<unsigned char> vertices, indices;
        std::vector<uint32_t> groups;
        std::vector<unsigned char> clusters;
        gl::Vec3 centre;
    };
    auto build = [&](unsigned parts, gldevice::Extras extras) {
        workPartsLimit() = parts;
        std::unique_ptr<gl::GpuMesh> mesh = gldevice::buildMesh(data, nullptr, extras);
        workPartsLimit() = 0;
        Built b;
        b.vertices = readBuffer(mesh->vertexBuffer(), size_t(mesh->sizes().vertices) * mesh->vertexStride());
        b.indices = readBuffer(mesh->indexBuffer(), size_t(mesh->triangleCount()) * 12);
        for (const gl::GpuMesh::Group& g : mesh->groups())
            b.groups.insert(b.groups.end(), {g.firstTriangle, g.triangleCount, g.firstEdge, g.edgeCount, g.firstCluster,
                                             g.clusterCount, g.firstRecord, g.recordShift, g.translucent});
        const auto* c = reinterpret_cast<const unsigned char*>(mesh->clusters().data());
        b.clusters.assign(c, c + mesh->clusters().size() * sizeof(gl::GpuMesh::Cluster));
        b.centre = mesh->centre();
        return b;
    };
    for (gldevice::Extras extras : {gldevice::Extras{false, true, false}, gldevice::Extras{true, false, true}}) {
        const Built one = build(1, extras);
        EXPECT_GT(one.groups.size(), 9u * 2);
        for (unsigned parts : {2u, 3u}) {
            const Built some = build(parts, extras);
            EXPECT_EQ(one.vertices, some.vertices) << parts;
            EXPECT_EQ(one.indices, some.indices) << parts;
            EXPECT_EQ(one.groups, some.groups) << parts;
            EXPECT_EQ(one.clusters, some.clusters) << parts;
            EXPECT_EQ(std::memcmp(&one.centre, &some.centre, sizeof one.centre), 0) << parts;
        }
    }
    sphere->Release();
}
