// Opening models through the Open dialogs, the command line and dropped files.
#include <gtest/gtest.h>

#include <cmath>

#include "conversion/model_opening.h"
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
