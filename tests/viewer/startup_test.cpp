// Start-up, first paint, main loop and shutdown of the real viewer on the headless backend.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/rm/render_backend.h"
#include "tests/viewer/viewer_harness.h"
#include "viewer/resize.h"
#include "viewer/viewer_creation.h"

using namespace harness;

namespace {

HRESULT failingCreate(IDirect3DRM** d3drm) {
    *d3drm = nullptr;
    return E_OUTOFMEMORY;
}

}  // namespace

TEST(Startup, EmptyCommandLineShowsTheDefaultSceneAndClosesWithZero) {
    size_t children = 0;
    bool completeAtFirstPass = false;
    ViewerRun run = runViewer(std::vector<Step>{[&] {
                             ViewerState* s = state();
                             completeAtFirstPass = s && s->scene && s->camera && s->device && s->viewport;
                             // Light frame and camera; the ambient light hangs on the scene itself.
                             children = childCount(s->scene);
                             EXPECT_EQ(rm::frameLights(s->scene).size(), 1u);
                             EXPECT_EQ(s->colorModel, 1);
                         }} +
                        repeat(3));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(completeAtFirstPass);
    EXPECT_EQ(children, 2u);
    EXPECT_TRUE(reportTexts().empty());
    EXPECT_EQ(objectsLeftAlive(), 0);
    EXPECT_EQ(renderedFrameCount(), 4u);  // the closing pass draws nothing
}

TEST(Startup, FirstPaintGrowsTheWindowAndRebuildsTheDeviceAtTheClientSize) {
    ViewerRun run = runViewer({[] {
        ViewerState* s = state();
        RECT client;
        GetClientRect(window(), &client);
        EXPECT_EQ(client.right, 401);
        EXPECT_EQ(client.bottom, 401);
        EXPECT_EQ(s->device->GetWidth(), 401u);
        EXPECT_EQ(s->device->GetHeight(), 401u);
        EXPECT_EQ(s->viewport->GetWidth(), 401u);
        EXPECT_FLOAT_EQ(s->viewport->GetBack(), kResizedBackPlane);
        // The rebuilt viewport keeps the default front plane; only the first had 0.05.
        EXPECT_FLOAT_EQ(s->viewport->GetFront(), 1.0f);
        // 32-bit desktop: dithering off, 256 shades, carried over by the rebuild.
        EXPECT_FALSE(s->device->GetDither());
        EXPECT_EQ(s->device->GetShades(), 256u);
    }});
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Startup, DeviceSettingsFollowTheDesktopDepth) {
    struct Case {
        int bits;
        BOOL dither;
        DWORD shades;
    } cases[] = {{1, TRUE, 4}, {8, FALSE, 32}, {16, FALSE, 32}, {24, FALSE, 256}, {32, FALSE, 256}};
    for (const Case& c : cases) {
        BOOL dither = -1;
        DWORD shades = 0;
        runViewer({[&] {
                      dither = state()->device->GetDither();
                      shades = state()->device->GetShades();
                  }},
                  "", c.bits);
        EXPECT_EQ(dither, c.dither) << c.bits << " bits";
        EXPECT_EQ(shades, c.shades) << c.bits << " bits";
    }
}

TEST(Startup, TheFirstViewportCoversTheDeviceWithItsOwnClippingPlanes) {
    // Created by hand, so that the first paint's growth does not replace it at once.
    winUseHeadless(320, 240);
    winReset();
    winSetBitsPerPixel(32);
    currentState = nullptr;
    glRegisterDeviceBackend(winPresentPicture);
    const long aliveBefore = rm::liveObjectCount() + ddrawLiveObjectCount();
    ASSERT_EQ(Direct3DRMCreate(&d3drm), D3DRM_OK);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_NE(registerViewerClass(instance), 0);
    HWND w = CreateWindowExA(0, "ViewerClass", "test", WS_OVERLAPPEDWINDOW, 0, 0, 400, 400, nullptr, nullptr,
                             instance, nullptr);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(createViewer(w), 0);
    ViewerState* s = currentState;
    EXPECT_EQ(s->colorModel, 1);
    EXPECT_EQ(s->device->GetColorModel(), D3DCOLOR_MONO);
    EXPECT_EQ(s->device->GetWidth(), 320u);
    EXPECT_EQ(s->device->GetHeight(), 240u);
    EXPECT_EQ(s->viewport->GetWidth(), 320u);
    EXPECT_EQ(s->viewport->GetHeight(), 240u);
    EXPECT_FLOAT_EQ(s->viewport->GetBack(), 5000.0f);
    EXPECT_FLOAT_EQ(s->viewport->GetFront(), 0.05f);
    EXPECT_TRUE(winRecordedMessageBoxes().empty());

    for (IUnknown** object : {reinterpret_cast<IUnknown**>(&s->scene), reinterpret_cast<IUnknown**>(&s->camera),
                              reinterpret_cast<IUnknown**>(&s->viewport), reinterpret_cast<IUnknown**>(&s->device),
                              reinterpret_cast<IUnknown**>(&clipper), reinterpret_cast<IUnknown**>(&d3drm)}) {
        (*object)->Release();
        *object = nullptr;
    }
    SetWindowLongPtrA(w, 0, 0);
    delete s;
    currentState = nullptr;
    winReset();
    EXPECT_EQ(rm::liveObjectCount() + ddrawLiveObjectCount(), aliveBefore);
}

TEST(Startup, DirectionalLightShinesAlongMinusOneMinusOneOne) {
    runViewer({[] {
        IDirect3DRMFrame* lightFrame = nullptr;
        for (IDirect3DRMFrame* f : rm::frameChildren(state()->scene))
            if (!rm::frameLights(f).empty()) lightFrame = f;
        ASSERT_NE(lightFrame, nullptr);
        ASSERT_EQ(rm::frameLights(lightFrame).size(), 1u);
        EXPECT_EQ(rm::frameLights(lightFrame)[0]->GetType(), D3DRMLIGHT_DIRECTIONAL);
        EXPECT_EQ(rm::frameLights(state()->scene)[0]->GetType(), D3DRMLIGHT_AMBIENT);
        // A white sun over a 40 % grey ambient.
        EXPECT_EQ(rm::frameLights(lightFrame)[0]->GetColor(), D3DRMCreateColorRGB(1.0f, 1.0f, 1.0f));
        EXPECT_EQ(rm::frameLights(state()->scene)[0]->GetColor(), D3DRMCreateColorRGB(0.4f, 0.4f, 0.4f));
        D3DVECTOR dir{}, up{};
        lightFrame->GetOrientation(state()->scene, &dir, &up);
        const float k = 1.0f / std::sqrt(3.0f);
        EXPECT_NEAR(dir.x, -k, 1e-5);
        EXPECT_NEAR(dir.y, -k, 1e-5);
        EXPECT_NEAR(dir.z, k, 1e-5);
        D3DVECTOR p = positionIn(lightFrame, state()->scene);
        EXPECT_NEAR(p.x, 2, 1e-5);
        EXPECT_NEAR(p.y, 2, 1e-5);
        EXPECT_NEAR(p.z, 5, 1e-5);
        D3DVECTOR c = positionIn(state()->camera, state()->scene);
        EXPECT_NEAR(c.x * c.x + c.y * c.y + c.z * c.z, 0, 1e-10);
    }});
}

TEST(Startup, CommandLineModelIsOpenedBeforeTheFirstFrame) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "tri.rok");
    size_t children = 0;
    unsigned long framesAtFirstPass = 99;
    runViewer({[&] {
        children = childCount(state()->scene);
        framesAtFirstPass = renderedFrameCount();
    }},
              rok);
    EXPECT_EQ(framesAtFirstPass, 0u);
    EXPECT_EQ(children, 3u);
    EXPECT_TRUE(std::filesystem::exists(folder.file("tri.x")));
    EXPECT_TRUE(reportTexts().empty());
    EXPECT_EQ(objectsLeftAlive(), 0);
}

TEST(Startup, CommandLineModelThatFailsReportsOnceAndTheViewerKeepsRunning) {
    TempFolder folder;
    std::string missing = folder.file("missing.x");
    size_t children = 0;
    ViewerRun run = runViewer(repeat(3) + std::vector<Step>{[&] { children = childCount(state()->scene); }}, missing);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(children, 2u);
    ASSERT_EQ(reportTexts().size(), 1u);
    EXPECT_EQ(reportTexts()[0], "Loading " + missing + " failed.\nThe file was not found.\r\n");
    EXPECT_GE(renderedFrameCount(), 3u);
}

TEST(Startup, OverlongCommandLineIsRefusedAndTheViewerStartsEmpty) {
    std::string longPath = "/tmp/" + std::string(300, 'a') + ".x";
    size_t children = 0;
    ViewerRun run = runViewer({[&] { children = childCount(state()->scene); }}, longPath);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(children, 2u);
    EXPECT_EQ(reportTexts(),
              std::vector<std::string>{"The model path is longer than 255 characters; it was not opened.\n\r\n"});
    EXPECT_STREQ(commandLine, "");
}

TEST(Startup, RetainedModeCreationFailureReportsAndExitsWithOne) {
    setDirect3DRMCreateForTesting(failingCreate);
    ViewerRun run = runViewer(repeat(1));
    setDirect3DRMCreateForTesting(nullptr);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.stepsRun, 0u);
    ASSERT_EQ(reportTexts().size(), 1u);
    EXPECT_EQ(reportTexts()[0],
              "Failed to create Direct3DRM.\nDirectDraw does not have enough memory to perform the operation.\r\n");
    EXPECT_EQ(winRecordedMessageBoxes()[0].caption, "Viewer Message");
}

TEST(Shutdown, ExitCommandEndsWithZeroAndReleasesEverything) {
    int framesAfterExit = -1;
    unsigned long framesAtExit = 0;
    ViewerRun run = runViewer(repeat(2) + std::vector<Step>{
                                        [&] {
                                            framesAtExit = renderedFrameCount();
                                            PostMessageA(window(), WM_COMMAND, 5, 0);
                                        },
                                        [&] { framesAfterExit = 0; }});
    EXPECT_EQ(run.exitCode, 0);
    // The pass that takes WM_QUIT still draws its frame; no pass follows it.
    EXPECT_EQ(framesAfterExit, -1);
    EXPECT_EQ(renderedFrameCount(), framesAtExit + 1);
    EXPECT_EQ(objectsLeftAlive(), 0);
    EXPECT_EQ(d3drm, nullptr);
    EXPECT_EQ(clipper, nullptr);
}

TEST(Shutdown, ClosingTheWindowStopsRenderingBeforeQuit) {
    ViewerRun run = runViewer(repeat(2) + std::vector<Step>{[] { SendMessageA(window(), WM_CLOSE, 0, 0); }});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(renderingStopped, 1);
    EXPECT_EQ(renderedFrameCount(), 2u);
    EXPECT_EQ(objectsLeftAlive(), 0);
}

TEST(Shutdown, ReleasesTheSceneBeforeTheDevice) {
    // Destroy callbacks show the order in which the record's objects go.
    static std::vector<std::string> order;
    order.clear();
    auto note = [](IDirect3DRMObject*, void* name) { order.push_back(static_cast<const char*>(name)); };
    runViewer({[&] {
        ViewerState* s = state();
        s->scene->AddDestroyCallback(note, const_cast<char*>("scene"));
        s->device->AddDestroyCallback(note, const_cast<char*>("device"));
    }});
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], "scene");
    EXPECT_EQ(order[1], "device");
}

TEST(MainLoop, MinimisingStopsRenderingAndRestoringResumesIt) {
    unsigned long before = 0, whileMinimised = 0;
    IDirect3DRMDevice* device = nullptr;
    IDirect3DRMViewport* viewport = nullptr;
    runViewer(repeat(2) + std::vector<Step>{
                              [&] {
                                  before = renderedFrameCount();
                                  device = state()->device;
                                  viewport = state()->viewport;
                                  winSetClientSize(window(), 0, 0);
                              }} +
              repeat(3) + std::vector<Step>{[&] {
                  whileMinimised = renderedFrameCount();
                  EXPECT_EQ(state()->minimized, 1);
                  winSetClientSize(window(), 401, 401);
              }} +
              repeat(2) + std::vector<Step>{[&] {
                  EXPECT_EQ(state()->minimized, 0);
                  // Restored to the same size: nothing was made again.
                  EXPECT_EQ(state()->device, device);
                  EXPECT_EQ(state()->viewport, viewport);
              }});
    EXPECT_EQ(whileMinimised, before);
    EXPECT_GT(renderedFrameCount(), whileMinimised);
}

namespace {

// A device that draws nothing and, from the given frame on, fails to present.
class FailingBackend : public rm::DeviceBackend {
public:
    explicit FailingBackend(int failFrom) : failFrom_(failFrom) {}
    HRESULT clear(const rm::DeviceData&, const rm::ViewportData&, D3DCOLOR) override { return D3DRM_OK; }
    HRESULT render(const rm::DeviceData&, const rm::ViewportData&, IDirect3DRMFrame*) override { return D3DRM_OK; }
    HRESULT update(const rm::DeviceData&) override { return ++frames_ >= failFrom_ ? D3DRMERR_BADDEVICE : D3DRM_OK; }

private:
    int failFrom_;
    int frames_ = 0;
};

}  // namespace

TEST(MainLoop, RenderingFailureIsReportedAndEndsTheProcessAsAFailure) {
    winUseHeadless(400, 400);
    winReset();
    selectionState = {};
    rm::setDeviceBackendFactory([](const rm::DeviceBackendRequest& request) {
        rm::DeviceBackendResult result;
        result.result = D3DRM_OK;
        result.backend = std::make_unique<FailingBackend>(3);
        result.width = static_cast<DWORD>(request.width);
        result.height = static_cast<DWORD>(request.height);
        return result;
    });
    int passes = 0;
    setMainLoopHooks({[&] { ++passes; }, {}});
    char line[] = "";
    int exitCode = WinMain(nullptr, nullptr, line, SW_SHOWNORMAL);
    glRegisterDeviceBackend(winPresentPicture);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(passes, 3);
    EXPECT_EQ(renderedFrameCount(), 2u);
    EXPECT_EQ(reportTexts(), std::vector<std::string>{"Rendering failed.\n\r\n"});
    EXPECT_EQ(objectsLeftAlive(), 0);
}

TEST(Startup, ViewerThatCannotBeCreatedReportsOnceAndExitsWithOne) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "never.rok");
    winUseHeadless(400, 400);
    winReset();
    selectionState = {};
    rm::setDeviceBackendFactory([](const rm::DeviceBackendRequest&) { return rm::DeviceBackendResult{}; });
    int passes = 0;
    setMainLoopHooks({[&] {
                          // Whatever arrives now must leave the incomplete record alone.
                          ++passes;
                          SendMessageA(viewerWindow(), WM_SIZE, 0, MAKELPARAM(300, 300));
                          SendMessageA(viewerWindow(), WM_KEYDOWN, VK_LEFT, 0);
                          SendMessageA(viewerWindow(), WM_COMMAND, 203, 0);
                          SendMessageA(viewerWindow(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
                      },
                      {}});
    std::string line = rok;
    int exitCode = WinMain(nullptr, nullptr, line.data(), SW_SHOWNORMAL);
    glRegisterDeviceBackend(winPresentPicture);
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(renderedFrameCount(), 0u);
    EXPECT_EQ(reportTexts(), std::vector<std::string>{"An error occurred while creating the device.\n\r\n"});
    // The command-line model was not opened.
    EXPECT_FALSE(std::filesystem::exists(folder.file("never.x")));
    EXPECT_EQ(objectsLeftAlive(), 0);
}
