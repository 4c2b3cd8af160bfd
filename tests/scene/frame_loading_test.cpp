// Loading frame hierarchies and animations: fitting, placing and playing.
#include "scene/frame_loading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "input/window_proc.h"
#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

const std::string kData = std::string(SOLLUX_TEST_DATA) + "/scene/";
const std::string kAssimp = "/usr/share/assimp/models/X/";

IDirect3DRMFrame* lastChild() {
    const auto children = rm::frameChildren(state()->scene);
    return children.empty() ? nullptr : children.back();
}

float frameScale(IDirect3DRMFrame* frame) {
    const rm::Matrix& m = rm::frameLocalMatrix(frame);
    return std::sqrt(m.m[0][0] * m.m[0][0] + m.m[0][1] * m.m[0][1] + m.m[0][2] * m.m[0][2]);
}

// The largest extent of everything below `frame`, as seen from the frame's parent.
float fittedExtent(IDirect3DRMFrame* frame) {
    IDirect3DRMMeshBuilder* b = nullptr;
    d3drm->CreateMeshBuilder(&b);
    b->AddFrame(frame);
    D3DRMBOX box = {};
    b->GetBox(&box);
    b->Release();
    const float size =
        std::max({box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z});
    return size * frameScale(frame);
}

IDirect3DRMFrame* firstChildOf(IDirect3DRMFrame* frame) {
    const auto children = rm::frameChildren(frame);
    return children.empty() ? nullptr : children[0];
}

TEST(FrameLoading, AHierarchyIsFittedToEightUnitsAtFifteen) {
    runViewer({
        [&] {
            ASSERT_EQ(loadFrameFile((kData + "hierarchy.x").c_str(), state()), 1);
            IDirect3DRMFrame* frame = lastChild();
            EXPECT_NEAR(fittedExtent(frame), 8.0f, 1e-4);
            EXPECT_NEAR(frameScale(frame), 8.0f / 6.0f, 1e-5);
            const D3DVECTOR p = positionIn(frame, state()->scene);
            EXPECT_NEAR(p.x, 0, 1e-5);
            EXPECT_NEAR(p.y, 0, 1e-5);
            EXPECT_NEAR(p.z, 15, 1e-5);
        },
    });
}

TEST(FrameLoading, GeometryWithoutExtentKeepsScaleOne) {
    runViewer({
        [&] {
            ASSERT_EQ(loadFrameFile((kData + "empty_frame.x").c_str(), state()), 1);
            IDirect3DRMFrame* frame = lastChild();
            EXPECT_TRUE(allFinite(frame));
            EXPECT_FLOAT_EQ(frameScale(frame), 1.0f);
            EXPECT_NEAR(positionIn(frame, state()->scene).z, 15, 1e-5);

            // A bare frame has no geometry at all.
            IDirect3DRMFrame* bare = nullptr;
            d3drm->CreateFrame(state()->scene, &bare);
            EXPECT_EQ(fitAndPlace(bare, state()), 1);
            EXPECT_TRUE(allFinite(bare));
            EXPECT_FLOAT_EQ(frameScale(bare), 1.0f);
            bare->Release();
        },
    });
}

TEST(FrameLoading, CommandsAskForAFileAndReportFailures) {
    runViewer({
        [&] {
            winClearRecordedMessageBoxes();
            const size_t before = rm::frameChildren(state()->scene).size();
            winScriptOpenFile(std::nullopt);
            command(4);
            winScriptOpenFile(std::nullopt);
            command(3);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), before);
            EXPECT_TRUE(winRecordedMessageBoxes().empty());

            winScriptOpenFile(kData + "hierarchy.x");
            command(4);
            EXPECT_EQ(rm::frameChildren(state()->scene).size(), before + 1);
            EXPECT_TRUE(winRecordedMessageBoxes().empty());
            ASSERT_FALSE(winRecordedDialogs().empty());
            EXPECT_EQ(winRecordedDialogs().back().title, "Open Frame ...");

            // A frame file holds no animation set to load.
            const std::string notAnimation = kData + "empty_frame.x";
            winScriptOpenFile(notAnimation);
            command(3);
            EXPECT_EQ(winRecordedDialogs().back().title, "Open Animation ...");
            ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
            EXPECT_EQ(winRecordedMessageBoxes()[0].text,
                      "Loading and placing of " + notAnimation + " failed.\n\r\n");
        },
    });
}

TEST(FrameLoading, AnAnimationAdvancesOneUnitPerFrameWithItsOwnClock) {
    IDirect3DRMFrame* first = nullptr;
    IDirect3DRMFrame* second = nullptr;
    auto x = [](IDirect3DRMFrame* holder) {
        IDirect3DRMFrame* slider = firstChildOf(holder);
        return slider == nullptr ? NAN : positionIn(slider, holder).x;
    };
    runViewer({
        [&] {
            ASSERT_EQ(loadAnimationFile((kData + "slide.x").c_str(), state()), 1);
            first = lastChild();
            EXPECT_NEAR(positionIn(first, state()->scene).z, 15, 1e-5);
        },
        [&] { EXPECT_NEAR(x(first), 0.0f, 1e-4); },  // the first frame shows time 0
        [&] {
            EXPECT_NEAR(x(first), 1.0f, 1e-4);
            winScriptOpenFile(kData + "slide.x");
            command(3);
            second = lastChild();
            ASSERT_NE(second, first);
        },
        [&] {
            EXPECT_NEAR(x(first), 2.0f, 1e-4);
            EXPECT_NEAR(x(second), 0.0f, 1e-4);
        },
        [&] {
            EXPECT_NEAR(x(first), 3.0f, 1e-4);
            EXPECT_NEAR(x(second), 1.0f, 1e-4);
        },
    });
}

TEST(FrameLoading, ClockAdvancesByTheDeltaItIsGivenAndDiesWithItsFrame) {
    const long before = rm::liveObjectCount();
    IDirect3DRM* rm = nullptr;
    ASSERT_EQ(Direct3DRMCreate(&rm), D3DRM_OK);
    IDirect3DRMFrame* frame = nullptr;
    IDirect3DRMAnimationSet* set = nullptr;
    rm->CreateFrame(nullptr, &frame);
    rm->CreateAnimationSet(&set);
    ASSERT_EQ(set->Load(const_cast<char*>((kData + "slide.x").c_str()), nullptr, D3DRMLOAD_FROMFILE,
                        nullptr, nullptr, frame),
              D3DRM_OK);
    ASSERT_EQ(attachAnimationClock(frame, set), 1);
    set->Release();  // the clock keeps its own reference
    IDirect3DRMFrame* slider = firstChildOf(frame);
    ASSERT_NE(slider, nullptr);
    frame->Move(0.5f);  // shows time 0
    EXPECT_NEAR(positionIn(slider, frame).x, 0.0f, 1e-4);
    frame->Move(2.0f);  // shows time 0.5
    EXPECT_NEAR(positionIn(slider, frame).x, 0.5f, 1e-4);
    frame->Move(1.0f);  // shows time 2.5
    EXPECT_NEAR(positionIn(slider, frame).x, 2.5f, 1e-4);
    // Releasing the frame frees the clock and the set it holds.
    frame->Release();
    rm->Release();
    EXPECT_EQ(rm::liveObjectCount(), before);
}

// The arm's elbow bends a quarter turn over ticks 0 to 10 and back by 20: its angle shows
// the tick a frame stands for.
float elbowDegrees(IDirect3DRMFrame* holder) {
    std::function<IDirect3DRMFrame*(IDirect3DRMFrame*)> find = [&](IDirect3DRMFrame* f) -> IDirect3DRMFrame* {
        char name[16] = {};
        DWORD size = sizeof name;
        if (f->GetName(&size, name) >= 0 && std::string(name) == "Elbow") return f;
        for (IDirect3DRMFrame* c : rm::frameChildren(f))
            if (IDirect3DRMFrame* found = find(c)) return found;
        return nullptr;
    };
    IDirect3DRMFrame* elbow = find(holder);
    if (!elbow) return NAN;
    const rm::Matrix& m = rm::frameLocalMatrix(elbow);
    return std::fabs(std::atan2(m.m[0][1], m.m[0][0])) * 180.0f / 3.14159265f;
}

// Headless, a file that declares 24 ticks a second advances 0.4 ticks a frame (a 60th of a
// second); Scene > "Animation one tick a frame" gives it one tick a frame again.
TEST(FrameLoading, ADeclaredRateAdvancesASixtiethOfASecondOfTicksAFrame) {
    harness::TempFolder folder;
    std::ifstream in(std::string(SOLLUX_TEST_DATA) + "/x/skinned_arm.x");
    std::string arm((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    arm.insert(arm.find('\n') + 1, "AnimTicksPerSecond { 24; }\n");
    const std::string path = folder.write("arm24.x", arm);
    IDirect3DRMFrame* holder = nullptr;
    std::vector<float> degrees;
    UINT checked = 0;
    // Step k sees the pose of frame k - 1; frame j shows the clock's time before it.
    std::vector<std::function<void()>> steps = {[&] {
        ASSERT_EQ(loadAnimationFile(path.c_str(), state()), 1);
        holder = lastChild();
    }};
    for (int k = 1; k <= 30; ++k) steps.push_back([&] { degrees.push_back(elbowDegrees(holder)); });
    // Switched before frame 26: that frame still shows 26 x 0.4 ticks, each later one a tick more.
    steps[26] = [&, step = steps[26]] {
        step();
        command(kCommandOneTickAFrame);
        checked = GetMenuState(GetMenu(window()), kCommandOneTickAFrame, MF_BYCOMMAND);
    };
    runViewer(steps);
    setAnimationOneTickAFrame(false);
    EXPECT_TRUE(checked & MF_CHECKED);
    auto angleAt = [](double t) { return t <= 10 ? 9.0 * t : 9.0 * (20 - t); };
    ASSERT_EQ(degrees.size(), 30u);
    for (int k = 1; k <= 26; ++k) EXPECT_NEAR(degrees[k - 1], angleAt(0.4 * (k - 1)), 0.05) << "frame " << k - 1;
    for (int k = 27; k <= 30; ++k) EXPECT_NEAR(degrees[k - 1], angleAt(10.4 + (k - 27)), 0.05) << "frame " << k - 1;
}

class RealAnimation : public ::testing::TestWithParam<std::string> {};

// The picture below the frame-rate overlay.
std::vector<unsigned char> pictureBelowOverlay() {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    EXPECT_TRUE(glDeviceReadPicture(state()->device, rgba, width, height));
    rgba.erase(rgba.begin(), rgba.begin() + std::min<long>(long(rgba.size()), 24L * width * 4));
    return rgba;
}

TEST_P(RealAnimation, LoadsAndPlays) {
    const std::string path = GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " is not installed";
    const long before = rm::liveObjectCount();
    std::vector<rm::Matrix> poses[2];
    IDirect3DRMFrame* holder = nullptr;
    // Every frame below the holder, depth first.
    std::function<void(IDirect3DRMFrame*, std::vector<rm::Matrix>&)> collect =
        [&](IDirect3DRMFrame* f, std::vector<rm::Matrix>& out) {
            for (IDirect3DRMFrame* c : rm::frameChildren(f)) {
                out.push_back(rm::frameLocalMatrix(c));
                collect(c, out);
            }
        };
    // Each step runs before a frame is drawn: step k sees frame k, the first showing time 0.
    std::vector<unsigned char> frames[2];
    std::vector<std::function<void()>> steps = {[&] {
        ASSERT_EQ(loadAnimationFile(path.c_str(), state()), 1);
        holder = lastChild();
        EXPECT_NEAR(fittedExtent(holder), 8.0f, 1e-2);
    }};
    steps.resize(28, [] {});
    steps[2] = [&] { frames[0] = pictureBelowOverlay(); };
    steps[4] = [&] { collect(holder, poses[0]); };
    steps[9] = [&] { collect(holder, poses[1]); };
    steps[27] = [&] { frames[1] = pictureBelowOverlay(); };
    runViewer(steps, "", Drawing::Pictures);
    // The skinned models move on screen, not only their bones.
    ASSERT_EQ(frames[0].size(), frames[1].size());
    size_t changed = 0;
    for (size_t i = 0; i + 2 < frames[0].size(); i += 4)
        for (int k = 0; k < 3; ++k)
            if (std::abs(int(frames[0][i + k]) - int(frames[1][i + k])) > 24) {
                ++changed;
                break;
            }
    EXPECT_GT(changed, 20u);
    ASSERT_EQ(poses[0].size(), poses[1].size());
    ASSERT_FALSE(poses[0].empty());
    bool moved = false;
    for (size_t i = 0; i < poses[0].size() && !moved; ++i)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if (std::fabs(poses[0][i].m[r][c] - poses[1][i].m[r][c]) > 1e-5f) moved = true;
    EXPECT_TRUE(moved);
    EXPECT_EQ(rm::liveObjectCount(), before);
}

// Skinned characters: our own arm, and those of the Debian test models.
INSTANTIATE_TEST_SUITE_P(SkinnedModels, RealAnimation,
                         ::testing::Values(std::string(SOLLUX_TEST_DATA) + "/x/skinned_arm.x", kAssimp + "anim_test.x",
                                           kAssimp + "Testwuson.X", kAssimp + "BCN_Epileptic.X"));

}  // namespace
