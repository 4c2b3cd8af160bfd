// Rendering option commands 200 to 210: device settings, check marks and pictures.
#include "input/render_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/rm/render_backend.h"
#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

IDirect3DRMDevice* device() { return state()->device; }
DWORD quality() { return device()->GetQuality(); }

bool checked(int position) {
    HMENU submenu = GetSubMenu(GetMenu(window()), kRenderMenuPosition);
    return (GetMenuState(submenu, static_cast<UINT>(position), MF_BYPOSITION) & MF_CHECKED) != 0;
}

TEST(RenderOptions, MenuPositionsOfFillAndShadeValues) {
    EXPECT_EQ(fillModeMenuPosition(D3DRMFILL_POINTS), 2);
    EXPECT_EQ(fillModeMenuPosition(D3DRMFILL_WIREFRAME), 3);
    EXPECT_EQ(fillModeMenuPosition(D3DRMFILL_SOLID), 4);
    EXPECT_EQ(fillModeMenuPosition(0x0C0), -1);
    EXPECT_EQ(shadeModeMenuPosition(D3DRMSHADE_FLAT), 6);
    EXPECT_EQ(shadeModeMenuPosition(D3DRMSHADE_GOURAUD), 7);
    EXPECT_EQ(shadeModeMenuPosition(D3DRMSHADE_PHONG), 8);
    EXPECT_EQ(shadeModeMenuPosition(3), -1);
}

TEST(RenderOptions, EachCommandChangesOnlyItsOwnField) {
    runViewer({
        [&] {
            const DWORD start = quality();
            // The menu starts out showing the device as created.
            EXPECT_EQ(checked(0), (start & 0x38u) == static_cast<DWORD>(D3DRMLIGHT_ON));
            EXPECT_TRUE(checked(fillModeMenuPosition(start & 0x1C0u)));
            EXPECT_TRUE(checked(shadeModeMenuPosition(start & 0x7u)));
            EXPECT_TRUE(checked(kMenuColorModelBase + state()->colorModel));
            EXPECT_EQ(checked(14), device()->GetTextureQuality() == D3DRMTEXTURE_LINEAR);
            command(202);  // wireframe
            EXPECT_EQ(quality() & 0x1C0u, static_cast<DWORD>(D3DRMFILL_WIREFRAME));
            EXPECT_EQ(quality() & ~0x1C0u, start & ~0x1C0u);
            command(206);  // Phong
            EXPECT_EQ(quality() & 0x1C0u, static_cast<DWORD>(D3DRMFILL_WIREFRAME));
            EXPECT_EQ(quality() & 0x7u, static_cast<DWORD>(D3DRMSHADE_PHONG));
            EXPECT_EQ(quality() & 0x38u, start & 0x38u);
            EXPECT_TRUE(checked(3));
            EXPECT_FALSE(checked(4));
            EXPECT_TRUE(checked(8));

            const DWORD light = quality() & 0x38u;
            command(200);
            EXPECT_NE(quality() & 0x38u, light);
            EXPECT_EQ(quality() & ~0x38u,
                      (static_cast<DWORD>(D3DRMFILL_WIREFRAME) | D3DRMSHADE_PHONG));
            command(200);
            EXPECT_EQ(quality() & 0x38u, light);

            command(202);  // the mode in force is set again, without harm
            EXPECT_TRUE(checked(3));
            command(201);
            EXPECT_EQ(quality() & 0x1C0u, static_cast<DWORD>(D3DRMFILL_POINTS));
            EXPECT_TRUE(checked(2));
            EXPECT_FALSE(checked(3));
            command(203);
            command(204);
            EXPECT_EQ(quality() & 0x7u, static_cast<DWORD>(D3DRMSHADE_FLAT));
            EXPECT_TRUE(checked(6));
            EXPECT_FALSE(checked(8));
        },
    });
}

TEST(RenderOptions, AnUnknownLightFieldCountsAsOff) {
    runViewer({
        [&] {
            device()->SetQuality((quality() & ~0x38u) | 0x18u);
            command(200);
            EXPECT_EQ(quality() & 0x38u, static_cast<DWORD>(D3DRMLIGHT_ON));
            EXPECT_TRUE(checked(0));
        },
    });
}

TEST(RenderOptions, CheckMarksShowTheDeviceAfterStartUp) {
    runViewer({
        [&] {
            const DWORD q = quality();
            EXPECT_EQ(checked(0), (q & 0x038) == D3DRMLIGHT_ON);
            EXPECT_EQ(checked(fillModeMenuPosition(q & 0x1C0)), true);
            EXPECT_EQ(checked(shadeModeMenuPosition(q & 0x007)), true);
            // A 24- or 32-bit desktop starts with dithering off.
            EXPECT_EQ(device()->GetDither(), FALSE);
            EXPECT_FALSE(checked(13));
            EXPECT_FALSE(checked(14));
            EXPECT_EQ(checked(10), state()->colorModel == 1);
            EXPECT_EQ(checked(11), state()->colorModel != 1);
        },
    });
}

TEST(RenderOptions, DitherAndTextureFilteringToggle) {
    runViewer({
        [&] {
            const BOOL dither = device()->GetDither();
            command(209);
            EXPECT_NE(device()->GetDither(), dither);
            EXPECT_EQ(checked(13), device()->GetDither() != FALSE);
            command(209);
            EXPECT_EQ(device()->GetDither(), dither);

            ASSERT_EQ(device()->GetTextureQuality(), D3DRMTEXTURE_NEAREST);
            command(210);
            EXPECT_EQ(device()->GetTextureQuality(), D3DRMTEXTURE_LINEAR);
            EXPECT_TRUE(checked(14));
            command(210);
            EXPECT_EQ(device()->GetTextureQuality(), D3DRMTEXTURE_NEAREST);
            EXPECT_FALSE(checked(14));
            // Any mipmap quality goes back to nearest.
            device()->SetTextureQuality(D3DRMTEXTURE_MIPLINEAR);
            command(210);
            EXPECT_EQ(device()->GetTextureQuality(), D3DRMTEXTURE_NEAREST);
        },
    });
}

TEST(RenderOptions, ColourModelRebuildsTheDeviceKeepingItsSettings) {
    runViewer({
        [&] {
            ASSERT_EQ(state()->colorModel, 1);
            IDirect3DRMDevice* old = device();
            command(207);  // already in force: nothing at all
            EXPECT_EQ(device(), old);

            command(202);
            command(209);
            command(210);
            const DWORD q = quality();
            const BOOL dither = device()->GetDither();
            const DWORD shades = device()->GetShades();
            const DWORD width = device()->GetWidth(), height = device()->GetHeight();

            command(208);
            EXPECT_EQ(state()->colorModel, 2);
            EXPECT_EQ(quality(), q);
            EXPECT_EQ(device()->GetDither(), dither);
            EXPECT_EQ(device()->GetShades(), shades);
            EXPECT_EQ(device()->GetTextureQuality(), D3DRMTEXTURE_NEAREST);  // not carried over
            EXPECT_EQ(device()->GetWidth(), width);
            EXPECT_EQ(device()->GetHeight(), height);
            EXPECT_EQ(device()->GetColorModel(), D3DCOLOR_RGB);
            EXPECT_TRUE(checked(11));
            EXPECT_FALSE(checked(10));

            command(207);
            EXPECT_EQ(state()->colorModel, 1);
            EXPECT_TRUE(checked(10));
            EXPECT_FALSE(checked(11));
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
        },
    });
}

TEST(RenderOptions, AQualityTheDeviceRefusesIsReportedWithItsResultName) {
    runViewer({
        [&] {
            const DWORD q = quality();
            winClearRecordedMessageBoxes();
            // 0x200 lies outside every field of the render quality.
            EXPECT_EQ(setFillMode(window(), state(), 0x200), 0);
            EXPECT_EQ(setShadeMode(window(), state(), 0x200), 0);
            EXPECT_EQ(quality(), q);
            std::vector<std::string> texts;
            for (const WinMessageBoxRecord& box : winRecordedMessageBoxes()) texts.push_back(box.text);
            EXPECT_EQ(texts,
                      (std::vector<std::string>{
                          "Setting the render quality while changing the fill mode failed.\n"
                          "D3DRMERR_BADVALUE\r\n",
                          "Setting the render quality while changing the shade mode failed.\n"
                          "D3DRMERR_BADVALUE\r\n"}));
        },
    });
}

TEST(RenderOptions, AColourModelWhoseDeviceCannotBeMadeIsReportedAndCanBeChosenAgain) {
    unsigned long framesAtFailure = 0;
    runViewer({
        [&] {
            rm::setDeviceBackendFactory(
                [](const rm::DeviceBackendRequest&) { return rm::DeviceBackendResult{}; });
            winClearRecordedMessageBoxes();
            EXPECT_EQ(setColorModel(window(), state(), D3DCOLOR_RGB), 0);
            ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
            EXPECT_EQ(winRecordedMessageBoxes()[0].text,
                      "Creating a device from HWND failed while rebuilding device.\nD3DRMERR_BADDEVICE\r\n");
            // The new model is kept; the check marks stay where they were.
            EXPECT_EQ(state()->colorModel, 2);
            EXPECT_TRUE(checked(10));
            EXPECT_FALSE(checked(11));
            EXPECT_EQ(state()->device, nullptr);
            EXPECT_EQ(state()->viewport, nullptr);
            // The other options leave the missing members alone and report nothing.
            for (int id : {200, 203, 206, 209, 210}) command(id);
            send(WM_ACTIVATE, WA_ACTIVE, 0);
            EXPECT_EQ(winRecordedMessageBoxes().size(), 1u);
            // Asked for explicitly, a rebuild that fails again is reported again.
            command(208);
            EXPECT_EQ(winRecordedMessageBoxes().size(), 2u);
            framesAtFailure = renderedFrameCount();
        },
        [&] { EXPECT_FALSE(renderingPossible()); },
        [&] {
            glRegisterDeviceBackend(winPresentPicture);
            command(208);
            ASSERT_NE(state()->device, nullptr);
            EXPECT_EQ(device()->GetColorModel(), D3DCOLOR_RGB);
            EXPECT_EQ(device()->GetWidth(), 401u);
            EXPECT_TRUE(checked(11));
            EXPECT_FALSE(checked(10));
        },
        [&] { EXPECT_TRUE(renderingPossible()); },
    });
    EXPECT_GT(renderedFrameCount(), framesAtFailure);
}

// Mean brightness, over the pixels lit in `where`, below the frame-rate overlay.
double meanOver(const Picture& p, const Picture& where) {
    double sum = 0;
    int n = 0;
    for (int y = 16; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (!where.isBlack(x, y)) {
                sum += (p.at(x, y)[0] + p.at(x, y)[1] + p.at(x, y)[2]) / 3.0;
                ++n;
            }
    return n ? sum / n : 0;
}

int litCount(const Picture& p) {
    int n = 0;
    for (int y = 16; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) n += !p.isBlack(x, y);
    return n;
}

TEST(RenderOptions, AConvertedModelIsLitAlikeUnderEveryShadeMode) {
    // The converter writes every face twice, back to back over the same points: smooth
    // normals must not cancel out to black.
    harness::TempFolder folder;
    const std::string rok = folder.copy(std::string(SOLLUX_SOURCE_DIR) + "/resources/sample.rok", "house.rok");
    Picture flat, gouraud, phong, flatWire, gouraudWire;
    runViewer(
        {
            [] {},
            [&] {
                flat = picture();
                command(205);
            },
            [&] {
                gouraud = picture();
                // Phong shows on visuals that allow it.
                click(centreX(), centreY());
                ASSERT_NE(getSelectedVisual(), nullptr);
                getSelectedVisual()->SetQuality(D3DRMRENDER_PHONG);
                command(206);
            },
            [&] {
                phong = picture();
                command(204);
                command(202);
            },
            [&] {
                flatWire = picture();
                command(205);
            },
            [&] { gouraudWire = picture(); },
        },
        rok.c_str(), Drawing::Pictures);
    const double reference = meanOver(flat, flat);
    ASSERT_GT(reference, 30.0);
    EXPECT_GE(meanOver(gouraud, flat), 0.6 * reference);
    EXPECT_GE(meanOver(phong, flat), 0.6 * reference);
    // Lines take the corners' normals too, in either shade mode.
    for (const Picture* wire : {&flatWire, &gouraudWire}) {
        EXPECT_GT(litCount(*wire), 500);
        EXPECT_GE(meanOver(*wire, *wire), 0.6 * reference);
    }
}

}  // namespace
