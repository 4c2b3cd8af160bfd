// Cut, copy, paste and delete through the viewer's commands.
#include "scene/clipboard.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

const D3DCOLOR kBlue = 0xff0000ffu;
constexpr int kCut = 100, kCopy = 101, kPaste = 102, kDelete = 103, kBoxes = 105;

// Frames under the scene that carry a mesh builder (the models), in child order.
std::vector<IDirect3DRMFrame*> modelFrames() {
    std::vector<IDirect3DRMFrame*> frames;
    for (IDirect3DRMFrame* f : rm::frameChildren(state()->scene))
        for (IDirect3DRMVisual* v : rm::frameVisuals(f))
            if (rm::visualKind(v) == rm::VisualKind::MeshBuilder) {
                frames.push_back(f);
                break;
            }
    return frames;
}

// Every visual of a pasted frame must be a plain copy of the model: no marker.
void expectOneBuilderOnly(IDirect3DRMFrame* frame) {
    const auto visuals = rm::frameVisuals(frame);
    ASSERT_EQ(visuals.size(), 1u);
    EXPECT_EQ(rm::visualKind(visuals[0]), rm::VisualKind::MeshBuilder);
}

TEST(Clipboard, CutThenPasteTwiceGivesTwoCopiesAtTheCutPlace) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0.5f, 0, 5}, 1, kBlue);
        },
        [&] {
            command(kBoxes);
            click(centreX(), centreY());
            ASSERT_EQ(getSelectedFrame(), cube.frame);
            command(kCut);
            EXPECT_EQ(getSelectedFrame(), nullptr);
            EXPECT_TRUE(modelFrames().empty());
            ASSERT_EQ(selectionState.clipboardFrame, cube.frame);
            // The marker came off before the frame left the scene.
            expectOneBuilderOnly(cube.frame);

            command(kPaste);
            command(kPaste);
            const auto frames = modelFrames();
            ASSERT_EQ(frames.size(), 2u);
            EXPECT_NE(frames[0], frames[1]);
            for (IDirect3DRMFrame* f : frames) {
                EXPECT_NE(f, cube.frame);
                expectOneBuilderOnly(f);
                EXPECT_NE(rm::frameVisuals(f)[0], static_cast<IDirect3DRMVisual*>(cube.builder));
                const D3DVECTOR p = positionIn(f, state()->scene);
                EXPECT_NEAR(p.x, 0.5f, 1e-5);
                EXPECT_NEAR(p.z, 5.0f, 1e-5);
            }
        },
    });
}

TEST(Clipboard, APartOfAHierarchyPastesWhereItWasSeen) {
    runViewer({[&] {
        const Cube part = openHierarchyPart(harness::testData("scene/nested_part.x"), "Part");
        ASSERT_NE(part.builder, nullptr);
        part.frame->SetRotation(state()->scene, 0, 1, 0, 0.1f);
        // Where the part's origin and two corners lie in the scene, and how it spins.
        auto seen = [](IDirect3DRMFrame* f) {
            std::vector<D3DVECTOR> points;
            for (D3DVECTOR p : {D3DVECTOR{0, 0, 0}, D3DVECTOR{2, 2, 14}, D3DVECTOR{-2, 0, 10}}) {
                D3DVECTOR w;
                f->Transform(&w, &p);
                points.push_back(w);
            }
            D3DVALUE theta = 0;
            points.push_back({});
            f->GetRotation(state()->scene, &points.back(), &theta);
            points.push_back({theta, 0, 0});
            return points;
        };
        const std::vector<D3DVECTOR> before = seen(part.frame);
        for (int taken : {kCopy, kCut}) {
            SCOPED_TRACE(taken == kCopy ? "copy" : "cut");
            selectVisual(part.builder, part.frame);
            command(taken);
            command(kPaste);
            IDirect3DRMFrame* pasted = rm::frameChildren(state()->scene).back();
            ASSERT_NE(pasted, part.frame);
            const std::vector<D3DVECTOR> after = seen(pasted);
            for (size_t i = 0; i < before.size(); ++i) {
                EXPECT_NEAR(after[i].x, before[i].x, 1e-4f) << i;
                EXPECT_NEAR(after[i].y, before[i].y, 1e-4f) << i;
                EXPECT_NEAR(after[i].z, before[i].z, 1e-4f) << i;
            }
        }
    }});
}

TEST(Clipboard, ACopySurvivesTheDeletionOfItsOriginal) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kBlue);
        },
        [&] {
            command(kBoxes);
            click(centreX(), centreY());
            command(kCopy);
            EXPECT_EQ(getSelectedFrame(), cube.frame);  // copy leaves the selection
            ASSERT_NE(selectionState.clipboardFrame, nullptr);
            EXPECT_EQ(rm::frameParent(selectionState.clipboardFrame), nullptr);
            expectOneBuilderOnly(selectionState.clipboardFrame);  // no marker in the copy

            command(kDelete);
            EXPECT_EQ(getSelectedFrame(), nullptr);
            EXPECT_TRUE(modelFrames().empty());

            command(kPaste);
            const auto frames = modelFrames();
            ASSERT_EQ(frames.size(), 1u);
            expectOneBuilderOnly(frames[0]);
            const rm::MeshBuilderData* data = rm::meshBuilderData(rm::frameVisuals(frames[0])[0]);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(data->faces.size(), 6u);
            EXPECT_EQ(data->lookOf(0).color, kBlue);
        },
    });
}

TEST(Clipboard, CutOrCopyWithNothingSelectedEmptiesTheClipboard) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kBlue);
            command(kPaste);  // empty at start: nothing happens
            EXPECT_EQ(modelFrames().size(), 1u);
        },
        [&] {
            click(centreX(), centreY());
            command(kCopy);
            ASSERT_NE(selectionState.clipboardFrame, nullptr);
            click(2, 2);
            command(kCut);
            EXPECT_EQ(selectionState.clipboardFrame, nullptr);
            command(kPaste);
            EXPECT_EQ(modelFrames().size(), 1u);

            click(centreX(), centreY());
            command(kCut);
            ASSERT_NE(selectionState.clipboardFrame, nullptr);
            command(kCopy);  // nothing selected after the cut
            EXPECT_EQ(selectionState.clipboardFrame, nullptr);
            command(kPaste);
            EXPECT_TRUE(modelFrames().empty());

            command(kDelete);  // nothing selected: nothing happens
        },
    });
}

TEST(Clipboard, CutLightKeepsItsLightAndPastesIt) {
    runViewer({
        [&] { command(302); },
        [&] {
            click(centreX(), centreY());
            ASSERT_NE(getSelectedLight(), nullptr);
            command(kCut);
            command(kPaste);
            const auto frames = modelFrames();
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_EQ(rm::frameLights(frames[0]).size(), 1u);
            click(centreX(), centreY());
            EXPECT_EQ(getSelectedFrame(), frames[0]);
            EXPECT_NE(getSelectedLight(), nullptr);
        },
    });
}

TEST(Clipboard, NothingIsLeftAliveAfterASessionOfEditing) {
    const long before = rm::liveObjectCount();
    runViewer({
        [&] {
            command(kBoxes);
            addCube(state()->scene, {0, 0, 5}, 1, kBlue);
            for (int id = 301; id <= 304; ++id) command(id);
        },
        [&] {
            click(centreX(), centreY());
            command(kCopy);
            command(kPaste);
            command(kCut);
            command(kPaste);
            click(centreX(), centreY());
            command(kDelete);
        },
        [&] {
            click(centreX(), centreY());
            command(kCut);  // the session ends with a frame in the clipboard
        },
    });
    EXPECT_EQ(rm::liveObjectCount(), before);
}

}  // namespace
