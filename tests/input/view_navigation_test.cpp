// Finding the model again: the View commands, the wheel and the middle-button orbit on
// the running viewer.
#include "input/view_navigation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "input/window_proc.h"
#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

const D3DCOLOR kGreen = 0xff00ff00u;
const D3DCOLOR kRed = 0xffff0000u;

D3DVECTOR cameraPosition() { return positionIn(state()->camera, state()->scene); }

struct Pose {
    D3DVECTOR position, dir, up;
};

Pose cameraPose() {
    Pose p{cameraPosition(), {}, {}};
    state()->camera->GetOrientation(state()->scene, &p.dir, &p.up);
    return p;
}

void expectNear(const D3DVECTOR& v, const D3DVECTOR& w, float eps, const char* what) {
    EXPECT_NEAR(v.x, w.x, eps) << what;
    EXPECT_NEAR(v.y, w.y, eps) << what;
    EXPECT_NEAR(v.z, w.z, eps) << what;
}

double distance(const D3DVECTOR& a, const D3DVECTOR& b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

void wheel(int notches) { send(WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(static_cast<short>(notches * WHEEL_DELTA))), 0); }

// Pixels of the picture that show `colour`'s strongest channel, outside the overlay.
struct Extent {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1, count = 0;
};
Extent extentOf(int channel) {
    const Picture p = picture();
    Extent e;
    for (int y = 16; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const unsigned char* px = p.at(x, y);
            if (px[channel] < 40 || px[channel] < 2 * px[(channel + 1) % 3] || px[channel] < 2 * px[(channel + 2) % 3])
                continue;
            e.left = std::min(e.left, x), e.right = std::max(e.right, x);
            e.top = std::min(e.top, y), e.bottom = std::max(e.bottom, y);
            ++e.count;
        }
    return e;
}

}  // namespace

TEST(FrameAll, BringsTheWholeSceneIntoThePictureKeepingTheOrientation) {
    struct Case {
        const char* what;
        D3DVECTOR centre;
        D3DVALUE half;
    } cases[] = {
        {"far off to the side", {40, -25, 30}, 2},
        {"behind the camera", {0, 3, -50}, 1},
        {"enclosing the camera", {0.5f, 0, 1}, 20},
        {"a speck far ahead", {0, 0, 300}, 0.05f},
        // Beyond what the usual planes hold: the planes move.
        {"a canyon around the camera", {0, 0, 0}, 1000},
        {"a grain just ahead", {0, 0, 3}, 0.0005f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pose before{};
        runViewer({
            [&] {
                addCube(state()->scene, c.centre, c.half, kGreen);
                state()->camera->SetOrientation(state()->scene, 0.3f, 0, 1, 0, 1, 0);
                before = cameraPose();
                command(kCommandFrameAll);
                const Pose after = cameraPose();
                expectNear(after.dir, before.dir, 1e-5f, "dir");
                expectNear(after.up, before.up, 1e-5f, "up");
            },
            [&] {
                const Extent e = extentOf(1);
                ASSERT_GT(e.count, 0) << "nothing of the cube is drawn";
                // Whole, with a margin all round, and large enough to be seen.
                EXPECT_GT(e.left, 2);
                EXPECT_GT(e.top, 16);
                EXPECT_LT(e.right, clientWidth() - 3);
                EXPECT_LT(e.bottom, clientHeight() - 3);
                EXPECT_GT(std::max(e.right - e.left, e.bottom - e.top), clientWidth() / 2);
            },
        }, "", Drawing::Pictures);
    }
}

TEST(FrameAll, EmptySceneLeavesTheCameraAlone) {
    runViewer({[] {
        state()->camera->SetPosition(state()->scene, 1, 2, 3);
        command(kCommandFrameAll);
        command(kCommandFrameSelection);
        wheel(3);
        send(WM_MBUTTONDOWN, MK_MBUTTON, point(10, 10));
        moveTo(200, 300, MK_MBUTTON);
        send(WM_MBUTTONUP, 0, point(200, 300));
        expectNear(cameraPosition(), {1, 2, 3}, 0, "position");
    }});
}

TEST(FrameSelection, CentresTheSelectedObjectOnly) {
    runViewer({
        [] {
            addCube(state()->scene, {0, 0, 5}, 1, kGreen);
            const Cube red = addCube(state()->scene, {-30, 10, 40}, 1, kRed);
            command(kCommandFrameSelection);  // nothing selected: nothing moves
            expectNear(cameraPosition(), {0, 0, 0}, 0, "without a selection");
            selectVisual(red.builder, red.frame);
            command(kCommandFrameSelection);
            const auto [x, y] = screenOf(red.frame);
            EXPECT_NEAR(x, centreX(), 1);
            EXPECT_NEAR(y, centreY(), 1);
        },
        [] {
            const Extent red = extentOf(0);
            EXPECT_GT(red.right - red.left, clientWidth() / 2);
        },
    }, "", Drawing::Pictures);
}

// The View commands stop the camera's flight (E and Y would carry the view off again at
// once); the wheel and the orbit leave it flying.
TEST(ViewNavigation, KeepsTheSelectionAndItsSpinTheViewCommandsStopTheCamera) {
    const struct {
        const char* what;
        std::function<void()> action;
        bool stops;
    } actions[] = {
        {"frame all", [] { command(kCommandFrameAll); }, true},
        {"frame selection", [] { command(kCommandFrameSelection); }, true},
        {"reset camera", [] { command(kCommandResetCamera); }, true},
        {"wheel", [] { wheel(-2); }, false},
        {"orbit",
         [] {
             send(WM_MBUTTONDOWN, MK_MBUTTON, point(200, 200));
             moveTo(230, 190, MK_MBUTTON);
             send(WM_MBUTTONUP, 0, point(230, 190));
         },
         false},
    };
    for (const auto& [what, doing, stopping] : actions) {
        SCOPED_TRACE(what);
        // Bindings captured by name need a newer clang than some builds have.
        const auto& action = doing;
        const bool stops = stopping;
        runViewer({[&] {
            const Cube cube = addCube(state()->scene, {1, 0, 8}, 1, kGreen);
            selectVisual(cube.builder, cube.frame);
            cube.frame->SetRotation(state()->scene, 0, 1, 0, 0.25f);
            state()->camera->SetVelocity(state()->scene, 0.5f, 0, 0, FALSE);
            action();
            EXPECT_EQ(getSelectedFrame(), cube.frame);
            EXPECT_EQ(getSelectedVisual(), cube.builder);
            D3DVECTOR axis{}, velocity{};
            D3DVALUE theta = 0;
            cube.frame->GetRotation(state()->scene, &axis, &theta);
            EXPECT_FLOAT_EQ(theta, 0.25f);
            state()->camera->GetVelocity(state()->scene, &velocity, FALSE);
            expectNear(velocity, {stops ? 0 : 0.5f, 0, 0}, 1e-6f, "camera velocity");
            EXPECT_EQ(winCaptureWindow(), nullptr);
        }});
    }
}

TEST(ResetCamera, AfterEAndAFramedCanyonGivesTheStartPictureAndPlanes) {
    Picture startUp;
    D3DVALUE front = 0, back = 0;
    RECT outer{};
    Cube canyon{};
    runViewer({
        [] {
            winSetTickCount(0);
            addCube(state()->scene, {0.5f, 0.2f, 6}, 1, kGreen);
        },
        [&] {
            startUp = picture();
            front = state()->viewport->GetFront();
            back = state()->viewport->GetBack();
            winPostKey(window(), 'E', true);
        },
        [] { winPostKey(window(), 'E', false); },
        [&] {
            EXPECT_NE(picture().rgba, startUp.rgba);
            canyon = addCube(state()->scene, {0, 0, 0}, 3000, kRed);
            command(kCommandFrameAll);
            EXPECT_GT(state()->viewport->GetBack(), 3000);
            EXPECT_LE(state()->viewport->GetBack() / state()->viewport->GetFront(), 1e4f * 1.001f);
            // A new viewport (a resize) keeps the moved planes.
            GetWindowRect(window(), &outer);
            SetWindowPos(window(), nullptr, 0, 0, outer.right - outer.left + 100, outer.bottom - outer.top + 100,
                         SWP_NOMOVE);
            EXPECT_GT(state()->viewport->GetBack(), 3000);
            SetWindowPos(window(), nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top, SWP_NOMOVE);
        },
        [&] {
            state()->scene->DeleteChild(canyon.frame);
            winPostKey(window(), 'E', true);
            winPostKey(window(), 'E', false);
        },
        [] { command(kCommandResetCamera); },
        [] {},
        [&] {
            EXPECT_EQ(state()->viewport->GetFront(), front);
            EXPECT_EQ(state()->viewport->GetBack(), back);
            EXPECT_EQ(picture().rgba, startUp.rgba);
        },
    }, "", Drawing::Pictures);
}

TEST(Wheel, StepsATenthOfTheWayAlongTheViewNeverPastTheCentre) {
    runViewer({[] {
        addCube(state()->scene, {0, 0, 10}, 1, kGreen);
        wheel(1);
        expectNear(cameraPosition(), {0, 0, 1}, 1e-5f, "one notch forward");
        wheel(-2);
        expectNear(cameraPosition(), {0, 0, 1 - 2 * 0.9f}, 1e-5f, "two notches back");
        // Along the camera's own direction, whatever it is.
        state()->camera->SetOrientation(state()->scene, 1, 0, 1, 0, 1, 0);
        const D3DVECTOR from = cameraPosition();
        wheel(1);
        const D3DVECTOR to = cameraPosition();
        EXPECT_NEAR(to.x - from.x, to.z - from.z, 1e-5f);
        EXPECT_GT(to.x, from.x);
        // Forward many times: it closes in on the centre and stops short of it.
        state()->camera->SetOrientation(state()->scene, 0, 0, 1, 0, 1, 0);
        state()->camera->SetPosition(state()->scene, 0, 0, 0);
        for (int i = 0; i < 500; ++i) wheel(1);
        EXPECT_GT(cameraPosition().z, 9.9f);
        EXPECT_LT(cameraPosition().z, 10.0f);
    }});
}

TEST(Orbit, TurnsAboutTheSceneCentreStoppingShortOfThePoles) {
    runViewer({[] {
        addCube(state()->scene, {0, 0, 10}, 1, kGreen);
        // A quarter of the client width is a quarter turn about the vertical through the centre:
        // dragging right takes the camera round to the left of the model, still facing it.
        send(WM_MBUTTONDOWN, MK_MBUTTON, point(100, 200));
        EXPECT_EQ(winCaptureWindow(), window());
        const int x = 100 + clientWidth() / 4;
        moveTo(x, 200, MK_MBUTTON);
        const double a = 6.283185307179586 * (x - 100) / clientWidth();
        const D3DVECTOR left{float(-10 * std::sin(a)), 0, float(10 - 10 * std::cos(a))};
        Pose p = cameraPose();
        expectNear(p.position, left, 1e-4f, "position");
        expectNear(p.dir, {float(std::sin(a)), 0, float(std::cos(a))}, 1e-5f, "dir");
        // Moves without the button held do nothing.
        moveTo(300, 300, 0);
        expectNear(cameraPose().position, left, 1e-4f, "after a move without the button");
        // Dragging down lifts the camera; far enough, it stops short of looking straight down.
        moveTo(x, 200 + clientWidth(), MK_MBUTTON);
        p = cameraPose();
        EXPECT_NEAR(std::asin(-p.dir.y), kMaxOrbitElevation, 1e-4);
        EXPECT_GT(p.position.y, 9.9f);
        EXPECT_NEAR(distance(p.position, {0, 0, 10}), 10, 1e-4);
        send(WM_MBUTTONUP, 0, point(300, 300));
        EXPECT_EQ(winCaptureWindow(), nullptr);
        moveTo(0, 0, MK_MBUTTON);  // released: no longer orbiting
        expectNear(cameraPose().position, p.position, 0, "after the release");
    }});
}
