// Lights added by commands 301 to 304.
#include "scene/lights.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

// The newest child of the scene.
IDirect3DRMFrame* lastChild() {
    const auto children = rm::frameChildren(state()->scene);
    return children.empty() ? nullptr : children.back();
}

TEST(Lights, EachCommandAddsItsLightTenUnitsAheadOfTheCamera) {
    struct Expect {
        int id;
        D3DRMLIGHTTYPE type;
        bool small;
    };
    const Expect expected[] = {{301, D3DRMLIGHT_DIRECTIONAL, false},
                               {302, D3DRMLIGHT_PARALLELPOINT, true},
                               {303, D3DRMLIGHT_POINT, true},
                               {304, D3DRMLIGHT_SPOT, false}};
    runViewer({
        [&] {
            // Turn the camera too: the light keeps the scene's axes all the same.
            state()->camera->SetPosition(state()->scene, 1, 2, 3);
            state()->camera->SetOrientation(state()->scene, 1, 0, 0, 0, 1, 0);
            for (const Expect& e : expected) {
                const size_t childrenBefore = rm::frameChildren(state()->scene).size();
                command(e.id);
                ASSERT_EQ(rm::frameChildren(state()->scene).size(), childrenBefore + 1) << e.id;
                IDirect3DRMFrame* frame = lastChild();
                const D3DVECTOR p = positionIn(frame, state()->scene);
                EXPECT_NEAR(p.x, 11, 1e-4);  // 10 along the camera's z, which is the scene's x
                EXPECT_NEAR(p.y, 2, 1e-4);
                EXPECT_NEAR(p.z, 3, 1e-4);
                D3DVECTOR dir, up;
                frame->GetOrientation(state()->scene, &dir, &up);
                EXPECT_NEAR(dir.z, 1, 1e-5);
                EXPECT_NEAR(up.y, 1, 1e-5);

                const auto lights = rm::frameLights(frame);
                ASSERT_EQ(lights.size(), 1u);
                EXPECT_EQ(lights[0]->GetType(), e.type);
                EXPECT_EQ(lights[0]->GetColor() & 0xffffffu, 0xffffffu);

                const auto visuals = rm::frameVisuals(frame);
                ASSERT_EQ(visuals.size(), 1u);
                const rm::MeshBuilderData* model = rm::meshBuilderData(visuals[0]);
                ASSERT_NE(model, nullptr);
                EXPECT_EQ(model->quality, static_cast<D3DRMRENDERQUALITY>(D3DRMRENDER_UNLITFLAT));
                EXPECT_FALSE(model->faces.empty());
                D3DRMBOX box;
                IDirect3DRMMeshBuilder* builder = nullptr;
                visuals[0]->QueryInterface(IID_IDirect3DRMMeshBuilder,
                                           reinterpret_cast<void**>(&builder));
                builder->GetBox(&box);
                builder->Release();
                // The sphere has radius 1 in its file and is shown at a fifth of that.
                if (e.small)
                    EXPECT_NEAR(box.max.y - box.min.y, 0.4f, 1e-3);
                else
                    EXPECT_GT(box.max.z - box.min.z, 0.5f);
            }
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
        },
    });
}

TEST(Lights, ALightModelPickSelectsTheLightFrameAndItsLight) {
    runViewer({
        [&] { command(304); },
        [&] {
            click(centreX(), centreY());
            IDirect3DRMFrame* frame = lastChild();
            EXPECT_EQ(getSelectedFrame(), frame);
            ASSERT_EQ(rm::frameLights(frame).size(), 1u);
            EXPECT_EQ(getSelectedLight(), rm::frameLights(frame)[0]);
        },
    });
}

TEST(Lights, AModelThatCannotBeLoadedIsReportedWithTheResultName) {
    // A broken camera.x in the current folder is found before the real one.
    const auto folder =
        std::filesystem::temp_directory_path() / ("sollux_lights_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "camera.x") << "xof 0302txt 0032\nMesh { 3; broken";
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    runViewer({
        [&] {
            const size_t childrenBefore = rm::frameChildren(state()->scene).size();
            winClearRecordedMessageBoxes();
            command(301);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), childrenBefore);
            ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
            EXPECT_EQ(winRecordedMessageBoxes()[0].caption, "Viewer Message");
            EXPECT_EQ(winRecordedMessageBoxes()[0].text,
                      "Failed to load camera.x.\nD3DRMERR_BADFILE\r\n");
            // The sphere is not affected.
            command(303);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), childrenBefore + 1);
            EXPECT_EQ(winRecordedMessageBoxes().size(), 1u);
        },
    });
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
}

TEST(Lights, BothSphereLightsNameTheSphereWhenItCannotBeLoaded) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("sollux_lights_sphere_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "sphere2.x") << "xof 0302txt 0032\nMesh { 3; broken";
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    runViewer({
        [&] {
            const size_t childrenBefore = rm::frameChildren(state()->scene).size();
            winClearRecordedMessageBoxes();
            for (D3DRMLIGHTTYPE id : {D3DRMLIGHT_PARALLELPOINT, D3DRMLIGHT_POINT}) {
                EXPECT_EQ(createLight(id, state()), 0) << id;
                ASSERT_EQ(winRecordedMessageBoxes().size(), 1u) << id;
                EXPECT_EQ(winRecordedMessageBoxes()[0].text,
                          "Failed to load sphere2.x.\nD3DRMERR_BADFILE\r\n")
                    << id;
                winClearRecordedMessageBoxes();
            }
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), childrenBefore);
            // The spot light shows the camera model, which is not affected.
            EXPECT_EQ(createLight(D3DRMLIGHT_SPOT, state()), 1);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), childrenBefore + 1);
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
        },
    });
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(folder);
}

TEST(Lights, ModelsAreFoundAfterTheCurrentFolderMovedAway) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("sollux_lights_elsewhere_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    runViewer({
        [&] {
            std::filesystem::current_path(folder);  // as after an Open dialog
            const size_t before = rm::frameChildren(state()->scene).size();
            command(301);
            command(302);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), before + 2);
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
        },
    });
    std::filesystem::remove_all(folder);
}

TEST(Lights, TheProgramFolderIsAddedToTheSearchPathOnce) {
    IDirect3DRM* rm = nullptr;
    ASSERT_EQ(Direct3DRMCreate(&rm), D3DRM_OK);
    rm->SetSearchPath("/somewhere");
    addProgramFolderToSearchPath(rm);
    addProgramFolderToSearchPath(rm);
    DWORD size = 0;
    rm->GetSearchPath(&size, nullptr);
    std::string path(size, '\0');
    rm->GetSearchPath(&size, path.data());
    path.resize(std::strlen(path.c_str()));
    const std::string folder =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    EXPECT_EQ(path, "/somewhere;" + folder);
    rm->Release();
}

}  // namespace
