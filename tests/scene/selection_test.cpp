// Picking and the marker, through the viewer's window procedure.
#include "scene/selection.h"

#include <gtest/gtest.h>

#include <fstream>

#include "scene/clipboard.h"
#include "scene/frame_loading.h"
#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

const D3DCOLOR kRed = 0xffff0000u;

int visualCount(IDirect3DRMFrame* frame) {
    return static_cast<int>(rm::frameVisuals(frame).size());
}

TEST(Selection, ClickSelectsTheModelAndEmptySpaceClearsIt) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kRed);
        },
        [&] {
            click(centreX(), centreY());
            EXPECT_EQ(getSelectedFrame(), cube.frame);
            EXPECT_EQ(getSelectedVisual(), cube.builder);
            EXPECT_EQ(getSelectedLight(), nullptr);
            EXPECT_EQ(selectionState.markerMesh, nullptr);  // boxes are off at start

            command(105);  // Ctrl+B
            EXPECT_EQ(selectionState.showBoxes, 1);
            ASSERT_NE(selectionState.markerMesh, nullptr);
            EXPECT_EQ(visualCount(cube.frame), 2);

            // A click on the model again: the marker is never what is hit.
            click(centreX(), centreY());
            EXPECT_EQ(getSelectedVisual(), cube.builder);
            EXPECT_EQ(visualCount(cube.frame), 2);

            click(3, 3);
            EXPECT_EQ(getSelectedFrame(), nullptr);
            EXPECT_EQ(getSelectedVisual(), nullptr);
            EXPECT_EQ(selectionState.markerMesh, nullptr);
            EXPECT_EQ(visualCount(cube.frame), 1);
        },
    });
}

TEST(Selection, BoxesToggleOnAndOffAroundTheSelection) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kRed);
            command(105);  // on with nothing selected: only the flag
            EXPECT_EQ(selectionState.showBoxes, 1);
            EXPECT_EQ(selectionState.markerMesh, nullptr);
        },
        [&] {
            click(centreX(), centreY());
            ASSERT_NE(selectionState.markerMesh, nullptr);
            D3DRMBOX first = {};
            selectionState.markerMesh->GetBox(&first);

            command(105);
            EXPECT_EQ(selectionState.markerMesh, nullptr);
            EXPECT_EQ(visualCount(cube.frame), 1);
            EXPECT_EQ(getSelectedFrame(), cube.frame);  // still selected, no marker

            command(105);
            ASSERT_NE(selectionState.markerMesh, nullptr);
            D3DRMBOX second = {};
            selectionState.markerMesh->GetBox(&second);
            EXPECT_FLOAT_EQ(first.max.z, second.max.z);
            EXPECT_FLOAT_EQ(first.min.x, second.min.x);
        },
    });
}

TEST(Selection, KeypadPlusRebuildsTheMarkerForTheNewSize) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kRed);
        },
        [&] {
            command(105);
            click(centreX(), centreY());
            ASSERT_NE(selectionState.markerMesh, nullptr);
            D3DRMBOX before = {};
            selectionState.markerMesh->GetBox(&before);
            // Arrowhead tip: box max z + 1 + 0.6.
            EXPECT_NEAR(before.max.z, 1.0f + 1.6f, 1e-4);

            send(WM_KEYDOWN, VK_ADD, 0);
            ASSERT_NE(selectionState.markerMesh, nullptr);
            D3DRMBOX after = {};
            selectionState.markerMesh->GetBox(&after);
            EXPECT_NEAR(after.max.z, 1.1f + 1.6f, 1e-4);
            EXPECT_EQ(visualCount(cube.frame), 2);  // the old marker is gone
        },
    });
}

TEST(Selection, OnlyTheNearestPickCounts) {
    Cube nearCube, farCube;
    runViewer({
        [&] {
            farCube = addCube(state()->scene, {0, 0, 12}, 2, kRed);
            nearCube = addCube(state()->scene, {0, 0, 5}, 0.5f, kRed);
        },
        [&] {
            click(centreX(), centreY());
            EXPECT_EQ(getSelectedFrame(), nearCube.frame);
        },
    });
}

TEST(Selection, AFrameWithSeveralLightsRecordsTheFirst) {
    Cube cube;
    IDirect3DRMLight* first = nullptr;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kRed);
            IDirect3DRMLight* second = nullptr;
            d3drm->CreateLightRGB(D3DRMLIGHT_POINT, 1, 1, 1, &first);
            d3drm->CreateLightRGB(D3DRMLIGHT_SPOT, 1, 0, 0, &second);
            cube.frame->AddLight(first);
            cube.frame->AddLight(second);
            first->Release();
            second->Release();
        },
        [&] {
            click(centreX(), centreY());
            EXPECT_EQ(getSelectedLight(), first);
        },
    });
}

TEST(Selection, AVisualThatIsNotAMeshBuilderSelectsNothing) {
    runViewer({
        [&] {
            // A plain mesh (the kind the marker is) is pickable but not selectable.
            IDirect3DRMMeshBuilder* b = buildSelectionMarker(D3DRMBOX{{-1, -1, -1}, {1, 1, 1}});
            IDirect3DRMMesh* mesh = nullptr;
            b->CreateMesh(&mesh);
            b->Release();
            IDirect3DRMFrame* frame = nullptr;
            d3drm->CreateFrame(state()->scene, &frame);
            frame->SetPosition(state()->scene, 0, 0, 5);
            frame->AddVisual(mesh);
            mesh->Release();
            frame->Release();
        },
        [&] {
            leftDown(centreX(), centreY());
            EXPECT_EQ(getSelectedFrame(), nullptr);
            leftUp(centreX(), centreY());
        },
    });
}

TEST(Selection, EveryScaledFrameGetsTheMarkerOfAModelOfItsOwn) {
    // A bare mesh, 0.1 across: Open Frame fits it to the view with a scale of its own frame.
    const std::string bare = (std::filesystem::temp_directory_path() / "sollux_selection_bare_mesh.x").string();
    std::ofstream(bare) << "xof 0302txt 0064\nMesh {\n3;\n0;0;0;,\n0.1;0;0;,\n0;0.1;0;;\n1;\n3;0,2,1;;\n}\n";
    runViewer({[&] {
        // The tube along the box's edge stands out by its radius, in scene units.
        auto tubeRadius = [](const Cube& c) {
            selectVisual(c.builder, c.frame);
            D3DRMBOX marker, box;
            selectionState.markerMesh->GetBox(&marker);
            c.builder->GetBox(&box);
            D3DVECTOR origin{0, 0, 0}, x{1, 0, 0}, o, e;
            c.frame->Transform(&o, &origin);
            c.frame->Transform(&e, &x);
            return (marker.max.x - box.max.x) * std::hypot(e.x - o.x, e.y - o.y, e.z - o.z);
        };
        command(105);
        // A model of its own at unit scale; a part whose parents shrink it to 0.44.
        const Cube cube = addCube(state()->scene, {0, 0, 5}, 1, 0xff00ff00u);
        const Cube part = openHierarchyPart(harness::testData("scene/nested_part.x"), "Part");
        ASSERT_NE(part.builder, nullptr);
        // A copy of the part pasted into the scene carries the scale in its own frame.
        selectVisual(part.builder, part.frame);
        copySelection();
        pasteClipboard(state()->scene);
        IDirect3DRMFrame* pasted = rm::frameChildren(state()->scene).back();
        Cube copy{pasted, nullptr};
        rm::frameVisuals(pasted)[0]->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&copy.builder));
        ASSERT_NE(copy.builder, nullptr);
        copy.builder->Release();  // the frame keeps it
        ASSERT_TRUE(loadFrameFile(bare.c_str(), state()));
        IDirect3DRMFrame* fitted = rm::frameChildren(state()->scene).back();
        Cube fittedMesh{fitted, nullptr};
        rm::frameVisuals(fitted)[0]->QueryInterface(IID_IDirect3DRMMeshBuilder,
                                                    reinterpret_cast<void**>(&fittedMesh.builder));
        ASSERT_NE(fittedMesh.builder, nullptr);
        fittedMesh.builder->Release();
        const std::pair<const char*, Cube> cases[] = {
            {"a model of its own", cube}, {"a part", part}, {"a pasted part", copy}, {"a fitted bare mesh", fittedMesh}};
        for (const auto& [what, c] : cases) EXPECT_NEAR(tubeRadius(c), kMarkerTubeRadius, 1e-5f) << what;
    }});
    std::filesystem::remove(bare);
}

}  // namespace
