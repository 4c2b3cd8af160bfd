// Opening models through the Open dialogs, the command line and dropped files.
#include <gtest/gtest.h>

#include <cmath>

#include "input/model_opening.h"
#include "tests/viewer/viewer_harness.h"

using namespace harness;

namespace {

constexpr size_t kDefaultChildren = 2;  // light frame and camera

// The frames a test added to the scene, newest last.
std::vector<IDirect3DRMFrame*> modelFrames() {
    std::vector<IDirect3DRMFrame*> frames;
    for (IDirect3DRMFrame* f : rm::frameChildren(state()->scene))
        if (f != state()->camera && rm::frameLights(f).empty()) frames.push_back(f);
    return frames;
}

void expectTwoAheadOfCamera(IDirect3DRMFrame* frame) {
    D3DVECTOR p = positionIn(frame, state()->camera);
    EXPECT_NEAR(p.x, 0, 1e-4);
    EXPECT_NEAR(p.y, 0, 1e-4);
    EXPECT_NEAR(p.z, 2, 1e-4);
}

}  // namespace

TEST(OpenRokkaku, CtrlOConvertsAndPlacesTwoUnitsAheadOfTheCamera) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "model.rok");
    size_t models = 0;
    runViewer({[&] {
                   // Move and turn the camera first: placement follows it.
                   state()->camera->SetPosition(state()->scene, 1, 2, 3);
                   state()->camera->SetOrientation(state()->scene, 1, 0, 0, 0, 1, 0);
                   winScriptOpenFile(rok);
                   ctrlKey('O');
               },
               [&] {
                   releaseCtrl('O');
                   auto frames = modelFrames();
                   models = frames.size();
                   if (models == 1) {
                       expectTwoAheadOfCamera(frames[0]);
                       D3DVECTOR world = positionIn(frames[0], state()->scene);
                       EXPECT_NEAR(world.x, 3, 1e-4);
                       EXPECT_NEAR(world.z, 3, 1e-4);
                       ASSERT_EQ(rm::frameVisuals(frames[0]).size(), 1u);
                       EXPECT_EQ(rm::visualKind(rm::frameVisuals(frames[0])[0]), rm::VisualKind::MeshBuilder);
                   }
               }});
    EXPECT_EQ(models, 1u);
    EXPECT_TRUE(std::filesystem::exists(folder.file("model.x")));
    EXPECT_TRUE(reportTexts().empty());
    ASSERT_EQ(winRecordedDialogs().size(), 1u);
    const WinDialogRecord& dialog = winRecordedDialogs()[0];
    EXPECT_EQ(dialog.title, "Open a Rokkaku file");
    EXPECT_EQ(dialog.filter, "*.rok;*.x|*.rok;*.x|All Files (*.*)|*.*");
    EXPECT_EQ(dialog.defaultExtension, "rok");
    EXPECT_EQ(dialog.flags, static_cast<DWORD>(OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_SHOWHELP));
    // The window's own arrow is back once the wait cursor has done its work.
    EXPECT_EQ(winCurrentCursorId(), 32512);
    EXPECT_EQ(objectsLeftAlive(), 0);
}

TEST(OpenRokkaku, CancelDoesNothing) {
    size_t children = 0;
    runViewer({[] {
                   winScriptOpenFile(std::nullopt);
                   PostMessageA(window(), WM_COMMAND, 7, 0);
               },
               [&] { children = childCount(state()->scene); }});
    EXPECT_EQ(children, kDefaultChildren);
    EXPECT_TRUE(reportTexts().empty());
    EXPECT_EQ(winRecordedDialogs().size(), 1u);
}

TEST(OpenRokkaku, FailingConversionShowsOnlyItsOwnMessage) {
    TempFolder folder;
    // A name without the Rokkaku extension is refused before any file is touched.
    std::string rok = folder.write("notes.txt", "ROKU4\n");
    size_t children = 0;
    runViewer({[&] {
                   winScriptOpenFile(rok);
                   PostMessageA(window(), WM_COMMAND, 7, 0);
               },
               [&] { children = childCount(state()->scene); }});
    EXPECT_EQ(children, kDefaultChildren);
    ASSERT_EQ(reportTexts().size(), 1u);
    EXPECT_EQ(reportTexts()[0].find("Loading"), std::string::npos);
}

TEST(OpenMesh, FileTheLoaderRejectsIsReportedWithItsPathAndKept) {
    TempFolder folder;
    std::string x = folder.write("garbage.x", "xof 0302txt 0064\nMesh { this is not a mesh }\n");
    size_t children = 0;
    runViewer({[&] {
                   winScriptOpenFile(x);
                   PostMessageA(window(), WM_COMMAND, 2, 0);
               },
               [&] { children = childCount(state()->scene); }});
    EXPECT_EQ(children, kDefaultChildren);
    ASSERT_EQ(reportTexts().size(), 1u);
    EXPECT_EQ(reportTexts()[0], "Loading " + x + " failed.\nD3DRMERR_BADFILE\r\n");
    EXPECT_TRUE(std::filesystem::exists(x));
    EXPECT_EQ(objectsLeftAlive(), 0);
}

TEST(OpenRokkaku, TwoOpensAddTwoFramesAtTheSamePlace) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "twice.rok");
    size_t models = 0;
    runViewer({[&] {
                   winScriptOpenFile(rok);
                   winScriptOpenFile(rok);
                   PostMessageA(window(), WM_COMMAND, 7, 0);
                   PostMessageA(window(), WM_COMMAND, 7, 0);
               },
               [&] {
                   auto frames = modelFrames();
                   models = frames.size();
                   for (IDirect3DRMFrame* f : frames) expectTwoAheadOfCamera(f);
               }});
    EXPECT_EQ(models, 2u);
    EXPECT_TRUE(reportTexts().empty());
}

TEST(OpenMesh, XDialogHasItsOwnFilterAndConvertsARokkakuFileToo) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "viaX.rok");
    size_t models = 0;
    runViewer({[&] {
                   winScriptOpenFile(rok);
                   PostMessageA(window(), WM_COMMAND, 2, 0);
               },
               [&] { models = modelFrames().size(); }});
    EXPECT_EQ(models, 1u);
    EXPECT_TRUE(std::filesystem::exists(folder.file("viaX.x")));
    ASSERT_EQ(winRecordedDialogs().size(), 1u);
    EXPECT_EQ(winRecordedDialogs()[0].title, "Open a Mesh file");
    EXPECT_EQ(winRecordedDialogs()[0].filter, "X files (*.x)|*.x|All Files (*.*)|*.*");
    EXPECT_EQ(winRecordedDialogs()[0].defaultExtension, "x");
}

TEST(OpenModel, WithoutAViewerDoesNothingAndSaysNothing) {
    winUseHeadless();
    winReset();
    currentState = nullptr;
    EXPECT_FALSE(openModel(triangleRokkaku().c_str()));
    EXPECT_TRUE(winRecordedMessageBoxes().empty());
}

TEST(DropFiles, EachDroppedFileOpensInTurn) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "dropped.rok");
    std::string missing = folder.file("missing.x");
    size_t models = 0;
    runViewer({[&] { winPostDropFiles(window(), {rok, missing, rok}); }, [&] { models = modelFrames().size(); }});
    EXPECT_EQ(models, 2u);
    ASSERT_EQ(reportTexts().size(), 1u);
    EXPECT_NE(reportTexts()[0].find("missing.x failed."), std::string::npos);
}

TEST(OpenFrame, FailedLoadIsReportedOnceByTheCommand) {
    TempFolder folder;
    std::string x = folder.write("frames.x", "xof 0302txt 0064\nFrame { broken\n");
    runViewer({[&] {
        winScriptOpenFile(x);
        SendMessageA(window(), WM_COMMAND, 4, 0);
        winScriptOpenFile(x);
        SendMessageA(window(), WM_COMMAND, 3, 0);
    }});
    ASSERT_EQ(winRecordedDialogs().size(), 2u);
    EXPECT_EQ(winRecordedDialogs()[0].title, "Open Frame ...");
    EXPECT_EQ(winRecordedDialogs()[1].title, "Open Animation ...");
    EXPECT_EQ(reportTexts(), (std::vector<std::string>{"Loading and placing of " + x + " failed.\n\r\n",
                                                       "Loading and placing of " + x + " failed.\n\r\n"}));
}

namespace {

// A .x file holding a cube of side `side` centred at `centre`, its faces seen from both sides.
std::string cubeFile(const TempFolder& folder, const std::string& name, float side, D3DVECTOR centre) {
    std::string text = "xof 0302txt 0064\nMesh {\n8;\n";
    for (int i = 0; i < 8; ++i) {
        const float h = side / 2;
        text += std::to_string(centre.x + ((i & 1) ? h : -h)) + ";" + std::to_string(centre.y + ((i & 2) ? h : -h)) +
                ";" + std::to_string(centre.z + ((i & 4) ? h : -h)) + (i == 7 ? ";;\n" : ";,\n");
    }
    const char* quads[6] = {"0,2,3,1", "4,5,7,6", "0,1,5,4", "2,6,7,3", "0,4,6,2", "1,3,7,5"};
    text += "12;\n";
    for (int q = 0; q < 6; ++q) {
        std::string a = quads[q], b(a.rbegin(), a.rend());
        text += "4;" + a + ";,\n4;" + b + (q == 5 ? ";;\n" : ";,\n");
    }
    return folder.write(name, text + "}\n");
}

}  // namespace

TEST(OpenModel, AModelTheStartViewCannotShowIsFramedOthersStayAsPlaced) {
    struct Case {
        const char* what;
        float side;
        D3DVECTOR centre;  // in the file, which is placed 2 units ahead of the camera
        bool framed;
    } cases[] = {
        {"visible", 1, {0, 0, 0}, false},
        {"visible, a quarter off to the side", 1, {0.5f, 0, 0}, false},
        {"tiny", 0.001f, {0, 0, 0}, true},
        {"huge", 5000, {0, 0, 0}, true},
        {"camera inside", 10, {0, 0, 0}, true},
        {"far away beyond the back plane", 1, {0, 0, 1000}, true},
        {"off to the side", 1, {30, 0, 0}, true},
        {"behind the camera", 1, {0, 0, -10}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const std::string x = cubeFile(folder, "cube.x", c.side, c.centre);
        D3DVECTOR camera{};
        Picture shot;
        runViewer({[&] { camera = positionIn(state()->camera, state()->scene); }, [&] { shot = picture(); }}, x);
        EXPECT_TRUE(reportTexts().empty());
        const bool moved = camera.x != 0 || camera.y != 0 || camera.z != 0;
        EXPECT_EQ(moved, c.framed);
        if (!c.framed) continue;
        // Framed: seen whole, a good part of the picture, a margin all round.
        int lit = 0, left = shot.width, right = -1, top = shot.height, bottom = -1;
        for (int y = 16; y < shot.height; ++y)
            for (int px = 0; px < shot.width; ++px)
                if (!shot.dark(px, y)) {
                    ++lit;
                    left = std::min(left, px), right = std::max(right, px);
                    top = std::min(top, y), bottom = std::max(bottom, y);
                }
        EXPECT_GT(lit, shot.width * shot.height / 10);
        EXPECT_GT(left, 2);
        EXPECT_LT(right, shot.width - 3);
        EXPECT_LT(bottom, shot.height - 3);
    }
}

TEST(OpenModel, LoadFailureCarriesTheReadersReasonAsDetail) {
    TempFolder folder;
    std::string x = folder.write("garbage.x", "xof 0302txt 0064\nMesh { this is not a mesh }\n");
    runViewer({}, x);
    ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
    EXPECT_EQ(winRecordedMessageBoxes()[0].text, "Loading " + x + " failed.\nD3DRMERR_BADFILE\r\n");
    EXPECT_FALSE(winRecordedMessageBoxes()[0].detail.empty());
    EXPECT_EQ(winRecordedMessageBoxes()[0].detail, D3DRMLastLoadFailure());
}
