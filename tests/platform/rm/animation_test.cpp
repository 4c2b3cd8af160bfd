// Animation keys: interpolation, clamping (open) and looping (closed), and sets
// loaded from .x files.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/platform/rm/rm_test_util.h"

namespace {

namespace fs = std::filesystem;
constexpr float kPi = 3.14159265358979f;

class AnimationTest : public RmTest {
protected:
    void SetUp() override {
        RmTest::SetUp();
        scene = frame();
        animated = frame(scene);
        d3drm->CreateAnimation(&animation);
        animation->SetFrame(animated);
    }
    void TearDown() override {
        animation->Release();
        animated->Release();
        scene->Release();
        RmTest::TearDown();
    }
    D3DVECTOR positionAt(float t) {
        animation->SetTime(t);
        D3DVECTOR p;
        animated->GetPosition(scene, &p);
        return p;
    }
    IDirect3DRMFrame* scene = nullptr;
    IDirect3DRMFrame* animated = nullptr;
    IDirect3DRMAnimation* animation = nullptr;
};

TEST_F(AnimationTest, OpenAnimationsInterpolateAndClamp) {
    ASSERT_EQ(animation->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_LINEARPOSITION | D3DRMANIMATION_POSITION),
              D3DRM_OK);
    animation->AddPositionKey(10, 0, 0, 0);
    animation->AddPositionKey(20, 10, 0, 0);
    animation->AddPositionKey(30, 10, 20, 0);
    expectNear(positionAt(15), 5, 0, 0);
    expectNear(positionAt(25), 10, 10, 0);
    expectNear(positionAt(0), 0, 0, 0);    // before the first key
    expectNear(positionAt(99), 10, 20, 0);  // after the last
    EXPECT_EQ(animation->DeleteKey(20), D3DRM_OK);
    expectNear(positionAt(20), 5, 10, 0);
    EXPECT_EQ(animation->DeleteKey(20), D3DRMERR_NOTFOUND);
    EXPECT_EQ(animation->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_CLOSED), D3DRMERR_BADVALUE);
}

TEST_F(AnimationTest, TheSameTimeAgainLeavesTheFrameExactlyAsItIs) {
    animation->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_SCALEANDROTATION | D3DRMANIMATION_POSITION);
    D3DVECTOR axis{0.3f, 1, 0.2f};
    D3DRMQUATERNION q0, q1;
    D3DRMQuaternionFromRotation(&q0, &axis, 0.1f);
    D3DRMQuaternionFromRotation(&q1, &axis, 1.3f);
    animation->AddRotateKey(0, &q0);
    animation->AddRotateKey(10, &q1);
    animated->AddScale(D3DRMCOMBINE_BEFORE, 1.7f, 1.7f, 1.7f);
    animation->SetTime(20);  // past the end: the last key holds
    const rm::Matrix first = rm::frameLocalMatrix(animated);
    for (float t : {20.0f, 30.0f, 500.0f}) animation->SetTime(t);
    EXPECT_EQ(std::memcmp(&first, &rm::frameLocalMatrix(animated), sizeof first), 0);
    // A new key at that moment is shown, though the time is the same.
    animation->AddRotateKey(10, &q0);
    animation->SetTime(500);
    EXPECT_NE(std::memcmp(&first, &rm::frameLocalMatrix(animated), sizeof first), 0);
}

TEST_F(AnimationTest, ClosedAnimationsLoopOverTheKeySpan) {
    animation->SetOptions(D3DRMANIMATION_CLOSED | D3DRMANIMATION_LINEARPOSITION | D3DRMANIMATION_POSITION);
    animation->AddPositionKey(0, 0, 0, 0);
    animation->AddPositionKey(50, 5, 0, 0);
    animation->AddPositionKey(100, 0, 0, 0);  // the last key repeats the first
    expectNear(positionAt(25), 2.5f, 0, 0);
    expectNear(positionAt(125), 2.5f, 0, 0);
    expectNear(positionAt(250), 5, 0, 0);
    expectNear(positionAt(-75), 2.5f, 0, 0);
}

TEST_F(AnimationTest, RotationKeysSlerpAndScaleKeysInterpolate) {
    animation->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_SCALEANDROTATION | D3DRMANIMATION_POSITION);
    D3DVECTOR zAxis{0, 0, 1};
    D3DRMQUATERNION q0, q1;
    D3DRMQuaternionFromRotation(&q0, &zAxis, 0);
    D3DRMQuaternionFromRotation(&q1, &zAxis, kPi / 2);
    animation->AddRotateKey(0, &q0);
    animation->AddRotateKey(10, &q1);
    animation->AddScaleKey(0, 1, 1, 1);
    animation->AddScaleKey(10, 3, 3, 3);
    animation->SetTime(5);
    // Half way: 45 degrees about z (x turns towards +y), scale 2.
    D3DVECTOR x{1, 0, 0}, world;
    animated->Transform(&world, &x);
    expectNear(world, 2 * std::cos(kPi / 4), 2 * std::sin(kPi / 4), 0);
    D3DRMQUATERNION zero{0, {0, 0, 0}};
    EXPECT_EQ(animation->AddRotateKey(3, &zero), D3DRMERR_BADVALUE);
}

TEST_F(AnimationTest, SplinePositionsPassThroughTheKeys) {
    animation->SetOptions(D3DRMANIMATION_OPEN | D3DRMANIMATION_SPLINEPOSITION | D3DRMANIMATION_POSITION);
    animation->AddPositionKey(0, 0, 0, 0);
    animation->AddPositionKey(10, 10, 5, 0);
    animation->AddPositionKey(20, 20, 0, 0);
    animation->AddPositionKey(30, 30, 5, 0);
    expectNear(positionAt(10), 10, 5, 0);
    expectNear(positionAt(20), 20, 0, 0);
    D3DVECTOR mid = positionAt(15);
    EXPECT_NEAR(mid.x, 15, 1e-3);
    EXPECT_NEAR(mid.y, 2.5f, 1e-3);  // symmetric keys around t = 15
}

TEST_F(RmTest, AnimationSetLoadedFromAFile) {
    fs::path dir = fs::temp_directory_path() / ("sollux_rmanim_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string path = (dir / "anim.x").string();
    std::ofstream(path) << R"(xof 0302txt 0064
Frame Body {
  FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
  Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;; }
  Frame Arm {
    Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0;1;2;; }
  }
}
Frame Unused { }
AnimationSet Walk {
  Animation {
    { Body }
    AnimationKey { 2; 2; 0; 3; 0.0, 0.0, 0.0;;, 10; 3; 10.0, 0.0, 0.0;;; }
  }
  Animation {
    { Arm }
    AnimationOptions { 1; 1; }
    AnimationKey { 4; 2;
      0; 16; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1;;,
      10; 16; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,3,0,1;;; }
  }
}
)";
    Held<IDirect3DRMFrame> scene, holder;
    scene.p = frame();
    holder.p = frame(scene);
    Held<IDirect3DRMAnimationSet> set;
    d3drm->CreateAnimationSet(&set);
    ASSERT_EQ(set->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr, holder),
              D3DRM_OK);
    // Only the hierarchy that is animated comes under the parent frame.
    Held<IDirect3DRMFrameArray> kids;
    holder->GetChildren(&kids);
    ASSERT_EQ(kids->GetSize(), 1u);
    Held<IDirect3DRMFrame> body;
    kids->GetElement(0, &body);
    Held<IDirect3DRMFrameArray> bodyKids;
    body->GetChildren(&bodyKids);
    Held<IDirect3DRMFrame> arm;
    bodyKids->GetElement(0, &arm);
    D3DVECTOR p;
    set->SetTime(5);
    body->GetPosition(holder, &p);
    expectNear(p, 5, 0, 0);
    arm->GetPosition(body, &p);
    expectNear(p, 0, 2, 0);  // matrix keys (type 4)
    // Body has no options: closed, so it loops; Arm is open and holds its last key.
    set->SetTime(15);
    body->GetPosition(holder, &p);
    expectNear(p, 5, 0, 0);
    arm->GetPosition(body, &p);
    expectNear(p, 0, 3, 0);
    fs::remove_all(dir);
}

TEST_F(RmTest, RotationKeysTurnFramesTheWayTheirFilesMeanThem) {
    // Exporters write the key that holds a frame where its matrix puts it: here a quarter
    // turn that takes y to z, keyed as (0.707107, -0.707107, 0, 0).
    const std::string text = R"(xof 0303txt 0032
Frame Stand { FrameTransformMatrix { 1,0,0,0, 0,0,1,0, 0,-1,0,0, 0,0,0,1;; } }
AnimationSet { Animation { { Stand } AnimationKey { 0; 1; 0; 4; 0.707107, -0.707107, 0, 0;;; } } }
)";
    Held<IDirect3DRMFrame> holder;
    holder.p = frame();
    Held<IDirect3DRMAnimationSet> set;
    d3drm->CreateAnimationSet(&set);
    D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), static_cast<DWORD>(text.size())};
    ASSERT_EQ(set->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr, holder), D3DRM_OK);
    IDirect3DRMFrame* stand = rm::frameChildren(holder)[0];
    const rm::Matrix before = rm::frameLocalMatrix(stand);
    set->SetTime(0);
    const rm::Matrix& after = rm::frameLocalMatrix(stand);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(after.m[r][c], before.m[r][c], 1e-5) << r << c;
}

TEST_F(RmTest, AnimationSetsKeepTheRateTheirFileDeclares) {
    const std::string set = "AnimationSet { Animation { { Stand } AnimationKey { 2; 1; 0; 3; 0, 0, 0;;; } } }\n";
    const struct {
        const char* declaration;
        DWORD ticks;
    } cases[] = {
        {"", 0},
        {"AnimTicksPerSecond { 24; }\n", 24},
        {"AnimTicksPerSecond fps { 4800; }\nAnimTicksPerSecond { 30; }\n", 4800},  // the first counts
        {"AnimTicksPerSecond { 0; }\n", 0},
        {"AnimTicksPerSecond { -5; }\n", 0},
        {"AnimTicksPerSecond { fast; }\n", 0},  // skipped; the file still loads
    };
    for (const auto& c : cases) {
        const std::string text = std::string("xof 0303txt 0032\n") + c.declaration + "Frame Stand { }\n" + set;
        Held<IDirect3DRMFrame> holder;
        holder.p = frame();
        Held<IDirect3DRMAnimationSet> loaded;
        d3drm->CreateAnimationSet(&loaded);
        EXPECT_EQ(rm::animationSetTicksPerSecond(loaded), 0u);
        D3DRMLOADMEMORY memory{const_cast<char*>(text.data()), static_cast<DWORD>(text.size())};
        ASSERT_EQ(loaded->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr, holder), D3DRM_OK)
            << c.declaration;
        EXPECT_EQ(rm::animationSetTicksPerSecond(loaded), c.ticks) << c.declaration;
    }
}

}  // namespace
