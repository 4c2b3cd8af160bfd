// Devices and viewports without a GPU: creation through the backend factory,
// defaults, Transform/InverseTransform and Pick.
#include <memory>

#include "platform/rm/render_backend.h"
#include "tests/platform/rm/rm_test_util.h"

namespace {

struct Calls {
    int clears = 0, renders = 0, updates = 0, paints = 0;
    D3DCOLOR background = 0;
    IDirect3DRMFrame* rendered = nullptr;
};

class FakeBackend : public rm::DeviceBackend {
public:
    explicit FakeBackend(Calls* c) : calls(c) {}
    HRESULT clear(const rm::DeviceData&, const rm::ViewportData&, D3DCOLOR background) override {
        ++calls->clears;
        calls->background = background;
        return D3DRM_OK;
    }
    HRESULT render(const rm::DeviceData&, const rm::ViewportData&, IDirect3DRMFrame* scene) override {
        ++calls->renders;
        calls->rendered = scene;
        return D3DRM_OK;
    }
    HRESULT update(const rm::DeviceData&) override {
        ++calls->updates;
        return D3DRM_OK;
    }
    HRESULT handlePaint(const rm::DeviceData&, HDC) override {
        ++calls->paints;
        return D3DRM_OK;
    }
    Calls* calls;
};

class ViewportTest : public RmTest {
protected:
    void SetUp() override {
        RmTest::SetUp();
        rm::setDeviceBackendFactory([this](const rm::DeviceBackendRequest& r) {
            rm::DeviceBackendResult result;
            result.result = D3DRM_OK;
            result.backend = std::make_unique<FakeBackend>(&calls);
            result.colorModel = D3DCOLOR_MONO;
            result.width = static_cast<DWORD>(r.width);
            result.height = static_cast<DWORD>(r.height);
            return result;
        });
        ASSERT_EQ(d3drm->CreateDeviceFromClipper(nullptr, nullptr, 400, 300, &device), D3DRM_OK);
        scene = frame();
        camera = frame(scene);
        ASSERT_EQ(d3drm->CreateViewport(device, camera, 0, 0, 400, 300, &viewport), D3DRM_OK);
    }
    void TearDown() override {
        viewport->Release();
        camera->Release();
        scene->Release();
        device->Release();
        rm::setDeviceBackendFactory({});
        RmTest::TearDown();
    }
    // A square of side 2 centred on the camera axis at depth z, under its own frame.
    IDirect3DRMFrame* squareAt(float z, IDirect3DRMMeshBuilder** builderOut = nullptr) {
        IDirect3DRMFrame* holder = frame(scene);
        holder->SetPosition(scene, 0, 0, z);
        IDirect3DRMMeshBuilder* mb = nullptr;
        d3drm->CreateMeshBuilder(&mb);
        D3DVECTOR v[] = {{-1, -1, 0}, {-1, 1, 0}, {1, 1, 0}, {1, -1, 0}};
        DWORD data[] = {4, 0, 1, 2, 3, 0};
        mb->AddFaces(4, v, 0, nullptr, data, nullptr);
        holder->AddVisual(mb);
        if (builderOut)
            *builderOut = mb;
        else
            mb->Release();
        return holder;
    }
    Calls calls;
    IDirect3DRMDevice* device = nullptr;
    IDirect3DRMViewport* viewport = nullptr;
    IDirect3DRMFrame* scene = nullptr;
    IDirect3DRMFrame* camera = nullptr;
};

TEST_F(RmTest, NoBackendMeansNoDevice) {
    rm::setDeviceBackendFactory({});
    Held<IDirect3DRMDevice> device;
    EXPECT_EQ(d3drm->CreateDeviceFromClipper(nullptr, nullptr, 100, 100, &device), D3DRMERR_BADDEVICE);
    EXPECT_EQ(device.p, nullptr);
}

TEST_F(ViewportTest, DefaultsAndDrawingGoThroughTheBackend) {
    EXPECT_EQ(device->GetQuality(), static_cast<D3DRMRENDERQUALITY>(D3DRMRENDER_FLAT));
    EXPECT_EQ(device->GetShades(), 32u);
    EXPECT_EQ(device->GetDither(), TRUE);
    EXPECT_EQ(device->GetTextureQuality(), D3DRMTEXTURE_NEAREST);
    EXPECT_EQ(device->GetColorModel(), static_cast<D3DCOLORMODEL>(D3DCOLOR_MONO));
    EXPECT_EQ(device->GetWidth(), 400u);
    EXPECT_EQ(device->SetShades(3), D3DRMERR_BADVALUE);
    EXPECT_FLOAT_EQ(viewport->GetField(), 0.5f);
    EXPECT_FLOAT_EQ(viewport->GetFront(), 1.0f);
    EXPECT_FLOAT_EQ(viewport->GetBack(), 100.0f);
    EXPECT_EQ(viewport->SetFront(0), D3DRMERR_BADVALUE);

    scene->SetSceneBackgroundRGB(0, 0, 1);
    EXPECT_EQ(viewport->Clear(), D3DRM_OK);
    EXPECT_EQ(calls.background, D3DRMCreateColorRGB(0, 0, 1));
    EXPECT_EQ(viewport->Render(scene), D3DRM_OK);
    EXPECT_EQ(calls.rendered, scene);
    EXPECT_EQ(device->Update(), D3DRM_OK);
    Held<IDirect3DRMWinDevice> win;
    ASSERT_EQ(device->QueryInterface(IID_IDirect3DRMWinDevice, reinterpret_cast<void**>(&win)), D3DRM_OK);
    EXPECT_EQ(win->HandlePaint(nullptr), D3DRM_OK);
    EXPECT_EQ((std::tuple{calls.clears, calls.renders, calls.updates, calls.paints}), (std::tuple{1, 1, 1, 1}));
    // A viewport larger than its device is refused.
    Held<IDirect3DRMViewport> tooBig;
    EXPECT_EQ(d3drm->CreateViewport(device, camera, 0, 0, 401, 300, &tooBig), D3DRMERR_BADVALUE);
}

TEST_F(ViewportTest, TickMovesTheSceneOnceAndDrawsEveryViewport) {
    Held<IDirect3DRMViewport> second;
    ASSERT_EQ(d3drm->CreateViewport(device, camera, 0, 0, 200, 100, &second), D3DRM_OK);
    Held<IDirect3DRMFrame> mover;
    mover.p = frame(scene);
    mover->SetVelocity(scene, 1, 0, 0, FALSE);
    ASSERT_EQ(d3drm->Tick(0.5f), D3DRM_OK);
    D3DVECTOR p;
    mover->GetPosition(scene, &p);
    expectNear(p, 0.5f, 0, 0);
    EXPECT_EQ((std::tuple{calls.clears, calls.renders, calls.updates}), (std::tuple{2, 2, 1}));
    EXPECT_EQ(calls.rendered, scene);
}

TEST_F(ViewportTest, TransformGivesPixelsTimesW) {
    D3DVECTOR centre{0, 0, 10};
    D3DRMVECTOR4D s;
    ASSERT_EQ(viewport->Transform(&s, &centre), D3DRM_OK);
    EXPECT_FLOAT_EQ(s.w, 10);
    EXPECT_FLOAT_EQ(s.x / s.w, 200);
    EXPECT_FLOAT_EQ(s.y / s.w, 150);
    // field 0.5 spans half the larger dimension (400) at distance 1; y grows down.
    D3DVECTOR corner{1, 1, 2};
    viewport->Transform(&s, &corner);
    EXPECT_FLOAT_EQ(s.x / s.w, 400);
    EXPECT_FLOAT_EQ(s.y / s.w, -50);
    // Depth runs from 0 at the front plane to 1 at the back.
    D3DVECTOR front{0, 0, 1}, back{0, 0, 100};
    viewport->Transform(&s, &front);
    EXPECT_NEAR(s.z / s.w, 0, 1e-6);
    viewport->Transform(&s, &back);
    EXPECT_NEAR(s.z / s.w, 1, 1e-6);
}

TEST_F(ViewportTest, InverseTransformUndoesTransformWithAMovedCamera) {
    camera->SetPosition(scene, 3, -2, 1);
    camera->SetOrientation(scene, 1, 0, 1, 0, 1, 0);
    for (D3DVECTOR p : {D3DVECTOR{5, 0, 7}, D3DVECTOR{10, 3, 4}, D3DVECTOR{3.5f, -2, 9}}) {
        D3DRMVECTOR4D s;
        D3DVECTOR back;
        ASSERT_EQ(viewport->Transform(&s, &p), D3DRM_OK);
        ASSERT_EQ(viewport->InverseTransform(&back, &s), D3DRM_OK);
        expectNear(back, p.x, p.y, p.z, 1e-3f);
    }
    // Dragging by 10 pixels at constant depth moves along the camera's x axis.
    D3DVECTOR p{5, 0, 7}, moved;
    D3DRMVECTOR4D s;
    viewport->Transform(&s, &p);
    s.x += 10 * s.w;
    viewport->InverseTransform(&moved, &s);
    D3DVECTOR inCamera;
    camera->InverseTransform(&inCamera, &moved);
    D3DVECTOR before;
    camera->InverseTransform(&before, &p);
    EXPECT_NEAR(inCamera.z, before.z, 1e-3);
    EXPECT_NEAR(inCamera.y, before.y, 1e-3);
    EXPECT_NEAR(inCamera.x - before.x, 10 * before.z * 0.5f / 200, 1e-3);
    D3DRMVECTOR4D atInfinity{1, 1, 1, 0};
    EXPECT_EQ(viewport->InverseTransform(&moved, &atInfinity), D3DRMERR_BADVALUE);
}

TEST_F(ViewportTest, OrthographicProjectionKeepsSizesAtEveryDepth) {
    ASSERT_EQ(viewport->SetProjection(D3DRMPROJECT_ORTHOGRAPHIC), D3DRM_OK);
    EXPECT_EQ(viewport->SetProjection(D3DRMPROJECT_RIGHTHANDPERSPECTIVE), D3DRMERR_BADVALUE);
    for (D3DVECTOR p : {D3DVECTOR{0.25f, 0, 3}, D3DVECTOR{0.25f, 0.1f, 30}}) {
        D3DRMVECTOR4D s;
        D3DVECTOR back;
        viewport->Transform(&s, &p);
        EXPECT_FLOAT_EQ(s.x / s.w, 300);  // 0.25 of the 0.5 half-extent: 100 pixels right
        viewport->InverseTransform(&back, &s);
        expectNear(back, p.x, p.y, p.z, 1e-3f);
    }
    IDirect3DRMFrame* nearFrame = squareAt(5);
    IDirect3DRMFrame* farFrame = squareAt(50);
    Held<IDirect3DRMPickedArray> picks;
    viewport->Pick(200 + 150, 150, &picks);  // 0.375 units off the axis: inside both
    EXPECT_EQ(picks->GetSize(), 2u);
    nearFrame->Release();
    farFrame->Release();
}

TEST_F(ViewportTest, PickReturnsVisualsNearestFirstWithTheirFramePath) {
    IDirect3DRMMeshBuilder* nearBuilder = nullptr;
    IDirect3DRMFrame* farFrame = squareAt(20);
    IDirect3DRMFrame* nearFrame = squareAt(5, &nearBuilder);
    IDirect3DRMFrame* tooClose = squareAt(0.5f);  // in front of the front plane
    Held<IDirect3DRMPickedArray> picks;
    ASSERT_EQ(viewport->Pick(200, 150, &picks), D3DRM_OK);
    ASSERT_EQ(picks->GetSize(), 2u);
    Held<IDirect3DRMVisual> visual;
    Held<IDirect3DRMFrameArray> path;
    D3DRMPICKDESC desc;
    ASSERT_EQ(picks->GetPick(0, &visual, &path, &desc), D3DRM_OK);
    Held<IDirect3DRMMeshBuilder> asBuilder;
    ASSERT_EQ(visual->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&asBuilder)), D3DRM_OK);
    EXPECT_EQ(asBuilder.p, nearBuilder);
    ASSERT_EQ(path->GetSize(), 2u);
    Held<IDirect3DRMFrame> first, last;
    path->GetElement(0, &first);
    path->GetElement(1, &last);
    EXPECT_EQ(first.p, scene);
    EXPECT_EQ(last.p, nearFrame);
    EXPECT_EQ(desc.ulFaceIdx, 0u);
    expectNear(desc.vPosition, 0, 0, 5, 0.05f);
    Held<IDirect3DRMFrameArray> farPath;
    picks->GetPick(1, nullptr, &farPath, nullptr);
    Held<IDirect3DRMFrame> farHolder;
    farPath->GetElement(1, &farHolder);
    EXPECT_EQ(farHolder.p, farFrame);

    // The square at depth 5 reaches 80 pixels either side of the centre, the one at
    // depth 20 only 20.
    Held<IDirect3DRMPickedArray> edge, outside;
    viewport->Pick(200 + 75, 150, &edge);
    EXPECT_EQ(edge->GetSize(), 1u);
    viewport->Pick(200 + 85, 150, &outside);
    EXPECT_EQ(outside->GetSize(), 0u);

    // Moving the near frame out of the way leaves the far one.
    nearFrame->SetPosition(scene, 50, 0, 5);
    Held<IDirect3DRMPickedArray> after;
    viewport->Pick(200, 150, &after);
    EXPECT_EQ(after->GetSize(), 1u);
    nearBuilder->Release();
    nearFrame->Release();
    farFrame->Release();
    tooClose->Release();
}

}  // namespace
