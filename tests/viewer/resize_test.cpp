// Keeping device and viewport fitted to the client area.
#include <gtest/gtest.h>

#include "platform/rm/render_backend.h"
#include "tests/viewer/viewer_harness.h"
#include "viewer/resize.h"

using namespace harness;

TEST(Resize, ShrinkingReplacesOnlyTheViewport) {
    runViewer({[] {
        ViewerState* s = state();
        s->device->SetTextureQuality(D3DRMTEXTURE_LINEAR);
        IDirect3DRMDevice* device = s->device;
        IDirect3DRMViewport* viewport = s->viewport;
        // The old viewport must go: hold it to tell it from the new one.
        viewport->AddRef();
        winSetClientSize(window(), 300, 200);
        EXPECT_EQ(s->device, device);
        EXPECT_NE(s->viewport, viewport);
        viewport->Release();
        EXPECT_EQ(s->device->GetWidth(), 401u);
        EXPECT_EQ(s->viewport->GetWidth(), 300u);
        EXPECT_EQ(s->viewport->GetHeight(), 200u);
        EXPECT_FLOAT_EQ(s->viewport->GetBack(), kResizedBackPlane);
        EXPECT_EQ(s->device->GetTextureQuality(), D3DRMTEXTURE_LINEAR);
        EXPECT_EQ(s->minimized, 0);
    }});
    EXPECT_TRUE(reportTexts().empty());
}

TEST(Resize, GrowingRebuildsTheDeviceWithTheSameSettingsButDefaultTextureQuality) {
    runViewer({[] {
        ViewerState* s = state();
        s->device->SetDither(TRUE);
        s->device->SetQuality(D3DRMRENDER_GOURAUD);
        s->device->SetShades(64);
        s->device->SetTextureQuality(D3DRMTEXTURE_LINEAR);
        s->device->AddRef();
        IDirect3DRMDevice* old = s->device;
        winSetClientSize(window(), 500, 420);
        EXPECT_NE(s->device, old);
        old->Release();
        EXPECT_EQ(s->device->GetWidth(), 500u);
        EXPECT_EQ(s->device->GetHeight(), 420u);
        EXPECT_TRUE(s->device->GetDither());
        EXPECT_EQ(s->device->GetQuality(), static_cast<D3DRMRENDERQUALITY>(D3DRMRENDER_GOURAUD));
        EXPECT_EQ(s->device->GetShades(), 64u);
        EXPECT_EQ(s->device->GetTextureQuality(), D3DRMTEXTURE_NEAREST);
        EXPECT_EQ(s->viewport->GetWidth(), 500u);
        EXPECT_FLOAT_EQ(s->viewport->GetBack(), kResizedBackPlane);
        IDirect3DRMFrame* camera = nullptr;
        s->viewport->GetCamera(&camera);
        EXPECT_EQ(camera, s->camera);
        if (camera) camera->Release();
    }});
    EXPECT_TRUE(reportTexts().empty());
}

TEST(Resize, OnePixelInOneDirectionIsEnoughToRebuild) {
    runViewer({[] {
        ViewerState* s = state();
        s->device->AddRef();
        IDirect3DRMDevice* old = s->device;
        winSetClientSize(window(), 401, 402);
        EXPECT_NE(s->device, old);
        old->Release();
        EXPECT_EQ(s->device->GetHeight(), 402u);
    }});
}

TEST(Resize, ShrinkThenGrowBackWithinTheDeviceKeepsIt) {
    runViewer({[] {
        ViewerState* s = state();
        IDirect3DRMDevice* device = s->device;
        winSetClientSize(window(), 100, 100);
        winSetClientSize(window(), 401, 401);
        EXPECT_EQ(s->device, device);
        EXPECT_EQ(s->viewport->GetWidth(), 401u);
    }});
}

TEST(Resize, EmptyClientAreaOnlySetsMinimized) {
    runViewer({[] {
        ViewerState* s = state();
        IDirect3DRMDevice* device = s->device;
        IDirect3DRMViewport* viewport = s->viewport;
        winSetClientSize(window(), 0, 300);
        EXPECT_EQ(s->minimized, 1);
        EXPECT_EQ(s->device, device);
        EXPECT_EQ(s->viewport, viewport);
        EXPECT_EQ(s->viewport->GetWidth(), 401u);
    }});
}

TEST(Resize, ARebuildThatCannotMakeADeviceStopsRenderingUntilALaterResizeMakesOne) {
    unsigned long framesAtFailure = 0;
    ViewerRun run = runViewer(std::vector<Step>{[&] {
                                   ViewerState* s = state();
                                   s->device->SetShades(64);
                                   s->device->SetDither(FALSE);
                                   rm::setDeviceBackendFactory([](const rm::DeviceBackendRequest&) {
                                       return rm::DeviceBackendResult{};
                                   });
                                   winClearRecordedMessageBoxes();
                                   winSetClientSize(window(), 500, 420);
                                   EXPECT_EQ(renderingStopped, 1);
                                   EXPECT_EQ(s->device, nullptr);
                                   EXPECT_EQ(s->viewport, nullptr);
                                   // Failing again the same way (a border being dragged) says
                                   // nothing more.
                                   winSetClientSize(window(), 510, 420);
                                   EXPECT_EQ(s->device, nullptr);
                                   framesAtFailure = renderedFrameCount();
                               },
                               [&] { EXPECT_EQ(renderedFrameCount(), framesAtFailure); },
                               [&] {
                                   glRegisterDeviceBackend(winPresentPicture);
                                   winSetClientSize(window(), 600, 580);
                                   ViewerState* s = state();
                                   ASSERT_NE(s->device, nullptr);
                                   ASSERT_NE(s->viewport, nullptr);
                                   EXPECT_EQ(renderingStopped, 0);
                                   EXPECT_EQ(s->device->GetWidth(), 600u);
                                   EXPECT_EQ(s->viewport->GetHeight(), 580u);
                                   // The settings of the device that was lost are carried over.
                                   EXPECT_EQ(s->device->GetShades(), 64u);
                                   EXPECT_FALSE(s->device->GetDither());
                               }} +
                              repeat(2));
    EXPECT_EQ(reportTexts(), std::vector<std::string>{
                                 "Creating a device from HWND failed while rebuilding device.\nD3DRMERR_BADDEVICE\r\n"});
    EXPECT_GT(renderedFrameCount(), framesAtFailure);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(objectsLeftAlive(), 0);
}
