// The colour command and the About box, with scripted dialog answers.
#include "input/dialogs.h"

#include <gtest/gtest.h>

#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

constexpr int kColour = 104;

D3DCOLOR firstFaceColour(IDirect3DRMMeshBuilder* b) {
    return rm::meshBuilderData(b)->lookOf(0).color;
}

TEST(ColourCommand, StartsFromTheFirstFaceAndRecoloursEveryFace) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, D3DRMCreateColorRGB(1.0f, 0.5f, 0.25f));
        },
        [&] {
            command(kColour);  // nothing selected: no dialog
            EXPECT_TRUE(winRecordedDialogs().empty());

            click(centreX(), centreY());
            winScriptColor(RGB(10, 200, 30));
            command(kColour);
            ASSERT_EQ(winRecordedDialogs().size(), 1u);
            const WinDialogRecord& shown = winRecordedDialogs()[0];
            EXPECT_EQ(shown.kind, WinDialogRecord::Color);
            EXPECT_EQ(shown.owner, window());
            // Scene to dialog truncates each component read back from the colour.
            const D3DCOLOR start = D3DRMCreateColorRGB(1.0f, 0.5f, 0.25f);
            auto byte = [](D3DVALUE c) { return static_cast<int>(c * 255.0) & 0xff; };
            EXPECT_EQ(shown.initialColor,
                      RGB(byte(D3DRMColorGetRed(start)), byte(D3DRMColorGetGreen(start)),
                          byte(D3DRMColorGetBlue(start))));
            EXPECT_EQ(shown.initialColor & 0xffu, 255u);
            const rm::MeshBuilderData& d = *rm::meshBuilderData(cube.builder);
            for (const rm::BuilderFace& face : d.faces) {
                const rm::FaceLook& f = d.lookOf(face);
                EXPECT_NEAR(D3DRMColorGetRed(f.color), 10 / 255.0f, 1e-6);
                EXPECT_NEAR(D3DRMColorGetGreen(f.color), 200 / 255.0f, 1e-6);
                EXPECT_NEAR(D3DRMColorGetBlue(f.color), 30 / 255.0f, 1e-6);
            }

            const D3DCOLOR before = firstFaceColour(cube.builder);
            winScriptColor(std::nullopt);  // cancel: nothing changes
            command(kColour);
            EXPECT_EQ(firstFaceColour(cube.builder), before);
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
        },
    });
}

TEST(ColourCommand, AnEmptyMeshStartsFromBlack) {
    runViewer({
        [&] {
            IDirect3DRMFrame* frame = nullptr;
            IDirect3DRMMeshBuilder* empty = nullptr;
            d3drm->CreateFrame(state()->scene, &frame);
            d3drm->CreateMeshBuilder(&empty);
            frame->AddVisual(empty);
            selectVisual(empty, frame);
            winScriptColor(RGB(255, 255, 255));
            command(kColour);
            ASSERT_EQ(winRecordedDialogs().size(), 1u);
            EXPECT_EQ(winRecordedDialogs()[0].initialColor, RGB(0, 0, 0));
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
            empty->Release();
            frame->Release();
        },
    });
}

TEST(ColourCommand, ALightAndItsModelTakeTheChosenColourFromOneDialog) {
    runViewer({
        [&] { command(303); },
        [&] {
            click(centreX(), centreY());
            IDirect3DRMLight* light = getSelectedLight();
            ASSERT_NE(light, nullptr);
            light->SetColor(D3DRMCreateColorRGB(0.0f, 1.0f, 0.0f));
            winScriptColor(RGB(255, 0, 0));
            command(kColour);
            ASSERT_EQ(winRecordedDialogs().size(), 1u);
            EXPECT_EQ(winRecordedDialogs()[0].initialColor, RGB(0, 255, 0));
            EXPECT_EQ(light->GetColor() & 0xffffffu, 0xff0000u);
            EXPECT_EQ(firstFaceColour(getSelectedVisual()) & 0xffffffu, 0xff0000u);
        },
    });
}

TEST(ChooseColor, ConvertsBothWaysAndDropsAlpha) {
    winUseHeadless();
    winReset();
    D3DCOLOR colour = 0x80ffffffu;  // half transparent white
    winScriptColor(RGB(0, 128, 255));
    ASSERT_EQ(chooseColor(nullptr, &colour), 1);
    EXPECT_EQ(winRecordedDialogs()[0].initialColor, RGB(255, 255, 255));
    EXPECT_EQ(colour & 0xff000000u, 0xff000000u);
    EXPECT_EQ(colour & 0xffffffu, 0x0080ffu);

    winScriptColor(std::nullopt);
    EXPECT_EQ(chooseColor(nullptr, &colour), 0);
    EXPECT_EQ(colour & 0xffffffu, 0x0080ffu);
}

TEST(AboutBox, OnlyOkEndsItWithOne) {
    runViewer({
        [&] {
            // Esc and the close box send IDCANCEL, which the box ignores; OK then ends it.
            winScriptDialogResult(IDCANCEL);
            winScriptDialogResult(IDOK);
            command(1);
            ASSERT_FALSE(winRecordedDialogs().empty());
            EXPECT_EQ(winRecordedDialogs().back().title, "AboutBox");
            EXPECT_EQ(winRecordedDialogs().back().answer, "1");
        },
    });
    EXPECT_EQ(aboutDialogProc(nullptr, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_EQ(aboutDialogProc(nullptr, WM_COMMAND, IDCANCEL, 0), FALSE);
    EXPECT_EQ(aboutDialogProc(nullptr, WM_CLOSE, 0, 0), FALSE);
}

}  // namespace
