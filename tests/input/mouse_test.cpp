// Turning, spinning, dollying and moving with the mouse, through the viewer's window
// procedure and main loop.
#include "input/mouse.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/scene/viewer_session.h"

namespace {

using namespace session;

const D3DCOLOR kGreen = 0xff00ff00u;

struct Orientation {
    D3DVECTOR dir, up;
};

Orientation orientationOf(IDirect3DRMFrame* frame) {
    Orientation o = {};
    frame->GetOrientation(state()->scene, &o.dir, &o.up);
    return o;
}

void expectVector(const D3DVECTOR& v, float x, float y, float z, float eps = 1e-4f) {
    EXPECT_NEAR(v.x, x, eps);
    EXPECT_NEAR(v.y, y, eps);
    EXPECT_NEAR(v.z, z, eps);
}

void setShift(bool down) { winSetKeyDown(VK_SHIFT, down); }

class Mouse : public ::testing::Test {
  protected:
    void TearDown() override { setShift(false); }
};

TEST_F(Mouse, TurnIsMeasuredFromThePressPoint) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
            // Some earlier orientation that the drag must not keep.
            cube.frame->SetOrientation(state()->scene, 1, 0, 0, 0, 1, 0);
        },
        [&] {
            const int x0 = centreX(), y0 = centreY();
            leftDown(x0, y0);
            EXPECT_EQ(getSelectedFrame(), cube.frame);
            const double w = clientWidth(), h = clientHeight();

            moveTo(x0 + 50, y0, MK_LBUTTON);
            const double b = 50 / w * 6.283184;
            Orientation o = orientationOf(cube.frame);
            expectVector(o.dir, static_cast<float>(std::sin(b)), 0,
                         static_cast<float>(std::cos(b)));
            expectVector(o.up, 0, 1, 0);

            moveTo(x0, y0 - 40, MK_LBUTTON);
            const double a = 40 / (2 * h) * 6.283184;
            o = orientationOf(cube.frame);
            expectVector(o.dir, 0, static_cast<float>(std::sin(a)),
                         static_cast<float>(std::cos(a)));
            expectVector(o.up, 0, static_cast<float>(std::cos(a)),
                         static_cast<float>(-std::sin(a)));

            // Back at the press point: the scene's own orientation.
            moveTo(x0, y0, MK_LBUTTON);
            o = orientationOf(cube.frame);
            expectVector(o.dir, 0, 0, 1);
            expectVector(o.up, 0, 1, 0);

            // A drag over the whole width is (almost exactly) a full turn.
            moveTo(x0 + clientWidth(), y0, MK_LBUTTON);
            o = orientationOf(cube.frame);
            expectVector(o.dir, 0, 0, 1, 1e-3f);
            leftUp(x0 + clientWidth(), y0);
            EXPECT_EQ(dragState.leftDragActive, 0);
        },
    });
}

TEST_F(Mouse, PressingAgainLeavesThePreviousSelectionValid) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            click(centreX(), centreY());
            leftDown(centreX() + 10, centreY());
            moveTo(centreX() + 30, centreY(), MK_LBUTTON);
            leftUp(centreX() + 30, centreY());
            const Orientation before = orientationOf(cube.frame);
            // The press hands the previously selected frame a zero orientation.
            leftDown(centreX(), centreY());
            EXPECT_TRUE(allFinite(cube.frame));
            const Orientation after = orientationOf(cube.frame);
            expectVector(after.dir, before.dir.x, before.dir.y, before.dir.z);
            leftUp(centreX(), centreY());
        },
        [] {},  // one rendered frame with the result
        [&] { EXPECT_TRUE(allFinite(cube.frame)); },
    });
}

TEST_F(Mouse, SpinLastsOnlyWhileMovesKeepComing) {
    Cube cube;
    D3DVECTOR axis = {};
    D3DVALUE theta = 0;
    Orientation spun = {};
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            leftDown(centreX(), centreY());
            setShift(true);
            moveTo(centreX(), centreY(), MK_LBUTTON);  // zero length: nothing
            cube.frame->GetRotation(state()->camera, &axis, &theta);
            EXPECT_FLOAT_EQ(theta, 0.0f);
            // A posted move keeps this pass busy, so the frame renders with the spin.
            winPostMouse(window(), WM_MOUSEMOVE, centreX() + 30, centreY() + 40, MK_LBUTTON);
        },
        [&] {
            cube.frame->GetRotation(state()->camera, &axis, &theta);
            // Stopped already by this idle pass? No: the step runs before the idle step.
            EXPECT_NEAR(theta, 50 / std::sqrt(5000.0), 1e-5);
            expectVector(axis, -40 / 50.0f, -30 / 50.0f, 0);
            EXPECT_EQ(dragState.lastMouseX, centreX() + 30);
            spun = orientationOf(cube.frame);
            EXPECT_GT(std::fabs(spun.dir.x) + std::fabs(spun.dir.y), 0.1f);
        },
        [&] {
            // The idle step of the last pass set the rotation to angle 0.
            cube.frame->GetRotation(state()->scene, &axis, &theta);
            EXPECT_FLOAT_EQ(theta, 0.0f);
            spun = orientationOf(cube.frame);
        },
        [] {},
        [&] {
            const Orientation now = orientationOf(cube.frame);
            expectVector(now.dir, spun.dir.x, spun.dir.y, spun.dir.z);
            setShift(false);
            leftUp(centreX(), centreY());
        },
    });
}

TEST_F(Mouse, ReleasingDuringASpinLeavesTheObjectSpinning) {
    Cube cube;
    Orientation first = {};
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            leftDown(centreX(), centreY());
            setShift(true);
            winPostMouse(window(), WM_MOUSEMOVE, centreX() + 20, centreY(), MK_LBUTTON);
            winPostMouse(window(), WM_LBUTTONUP, centreX() + 20, centreY(), 0);
        },
        [&] {
            setShift(false);
            first = orientationOf(cube.frame);
        },
        [] {},
        [&] {
            const Orientation later = orientationOf(cube.frame);
            EXPECT_GT(std::fabs(later.dir.x - first.dir.x) + std::fabs(later.dir.z - first.dir.z),
                      1e-3f);
            // A left press on it stops it: the idle step sets angle 0 while the button is held.
            leftDown(centreX(), centreY());
        },
        [&] {
            D3DVECTOR axis;
            D3DVALUE theta = 1;
            cube.frame->GetRotation(state()->scene, &axis, &theta);
            EXPECT_FLOAT_EQ(theta, 0.0f);
            leftUp(centreX(), centreY());
        },
    });
}

TEST_F(Mouse, ShiftSwitchMidDragMovesTheTurnsReferencePoint) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            const int x0 = centreX(), y0 = centreY();
            leftDown(x0, y0);
            setShift(true);
            moveTo(x0 + 10, y0, MK_LBUTTON);
            setShift(false);
            moveTo(x0 + 60, y0, MK_LBUTTON);
            const double b = 50.0 / clientWidth() * 6.283184;
            const Orientation o = orientationOf(cube.frame);
            expectVector(o.dir, static_cast<float>(std::sin(b)), 0,
                         static_cast<float>(std::cos(b)));
            leftUp(x0 + 60, y0);
        },
    });
}

TEST_F(Mouse, DollyMovesTheCameraAlongTheSceneZAxis) {
    runViewer({
        [&] {
            state()->camera->SetPosition(state()->scene, 1, 2, 3);
            rightDown(20, 100);  // empty space: nothing selected, the camera still moves
            EXPECT_EQ(getSelectedFrame(), nullptr);
            EXPECT_FLOAT_EQ(dragState.dollyStartZ, 3.0f);
            moveTo(20, 100, MK_RBUTTON);
            D3DVECTOR p = positionIn(state()->camera, state()->scene);
            expectVector(p, 0, 0, 3);  // snapped onto the z axis

            moveTo(20, 100 + clientHeight() / 2, MK_RBUTTON);
            p = positionIn(state()->camera, state()->scene);
            EXPECT_NEAR(p.z, 3 + 10.0 * (clientHeight() / 2) / clientHeight(), 1e-4);

            moveTo(20, 100 - clientHeight(), MK_RBUTTON);
            p = positionIn(state()->camera, state()->scene);
            EXPECT_NEAR(p.z, 3 - 10.0, 1e-4);
            rightUp(20, 100 - clientHeight());
            EXPECT_NEAR(dragState.dollyStartZ, -7.0f, 1e-4);
            EXPECT_EQ(dragState.rightDragActive, 0);
        },
    });
}

TEST_F(Mouse, ShiftRightDragMovesTheObjectPixelForPixel) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0.5f, -0.25f, 6}, 1, kGreen);
        },
        [&] {
            const auto [sx, sy] = screenOf(cube.frame);
            const int x0 = static_cast<int>(sx), y0 = static_cast<int>(sy);
            rightDown(x0, y0);
            ASSERT_EQ(getSelectedFrame(), cube.frame);
            const D3DVALUE depth = positionIn(cube.frame, state()->camera).z;
            setShift(true);
            moveTo(x0 + 30, y0 + 10, MK_RBUTTON);
            moveTo(x0 + 25, y0 - 20, MK_RBUTTON);
            setShift(false);
            const auto [ex, ey] = screenOf(cube.frame);
            EXPECT_NEAR(ex - sx, 25.0, 1e-2);
            EXPECT_NEAR(ey - sy, -20.0, 1e-2);
            EXPECT_NEAR(positionIn(cube.frame, state()->camera).z, depth, 1e-3);
            rightUp(x0 + 25, y0 - 20);
        },
    });
}

TEST_F(Mouse, ShiftSwitchDuringARightDragMakesTheCameraJump) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            const int x0 = centreX(), y0 = centreY();
            rightDown(x0, y0);
            moveTo(x0, y0 + 40, MK_RBUTTON);  // dolly by 40 pixels
            setShift(true);
            moveTo(x0, y0 + 100, MK_RBUTTON);  // moves the cube; reference now y0 + 100
            setShift(false);
            moveTo(x0, y0 + 110, MK_RBUTTON);
            // Measured from the last Shift move, with the press's z.
            const D3DVECTOR p = positionIn(state()->camera, state()->scene);
            EXPECT_NEAR(p.z, 10.0 * 10 / clientHeight(), 1e-4);
            rightUp(x0, y0 + 110);
        },
    });
}

TEST_F(Mouse, MovesWithoutAPressInThisWindowDoNothing) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            selectVisual(cube.builder, cube.frame);
            moveTo(centreX() + 80, centreY(), MK_LBUTTON);
            moveTo(centreX(), centreY() + 80, MK_RBUTTON);
            const Orientation o = orientationOf(cube.frame);
            expectVector(o.dir, 0, 0, 1);
            expectVector(positionIn(state()->camera, state()->scene), 0, 0, 0);
        },
    });
}

TEST_F(Mouse, WithBothButtonsTheLeftWinsOnlyWhileSomethingIsSelected) {
    Cube cube;
    runViewer({
        [&] {
            cube = addCube(state()->scene, {0, 0, 5}, 1, kGreen);
        },
        [&] {
            const int x0 = centreX(), y0 = centreY();
            leftDown(x0, y0);
            rightDown(x0, y0);
            moveTo(x0 + 40, y0 + 40, MK_LBUTTON | MK_RBUTTON);
            EXPECT_GT(std::fabs(orientationOf(cube.frame).dir.x), 0.1f);
            expectVector(positionIn(state()->camera, state()->scene), 0, 0, 0);
            leftUp(x0, y0);
            rightUp(x0, y0);

            // Nothing under the presses: the right button's dolly acts.
            leftDown(3, 3);
            rightDown(3, 3);
            moveTo(3, 3 + clientHeight() / 10, MK_LBUTTON | MK_RBUTTON);
            EXPECT_NEAR(positionIn(state()->camera, state()->scene).z,
                        10.0 * (clientHeight() / 10) / clientHeight(), 1e-4);
            leftUp(3, 3);
            rightUp(3, 3);
        },
    });
}

TEST_F(Mouse, PressTakesTheCaptureAndShowsTheArrow) {
    runViewer({
        [&] {
            leftDown(5, 5);
            EXPECT_EQ(winCaptureWindow(), window());
            EXPECT_EQ(winCurrentCursorId(), 32512);
            rightDown(5, 5);
            leftUp(5, 5);  // each release gives the capture up, the other button held or not
            EXPECT_EQ(winCaptureWindow(), nullptr);
            EXPECT_EQ(dragState.rightDragActive, 1);
            rightUp(5, 5);
        },
    });
}

TEST_F(Mouse, APartOfAScaledHierarchyTurnsInSceneSpaceAndSlidesUnderTheMouse) {
    Cube part;
    Picture before, after;
    int x0 = 0, y0 = 0;
    runViewer({
        [&] {
            part = openHierarchyPart(harness::testData("scene/nested_part.x"), "Part");
            ASSERT_NE(part.frame, nullptr);
        },
        [&] {
            before = picture();
            // Its box lies well in front of its origin, which is nowhere near where it is seen.
            D3DVECTOR middle{0, 0, 12}, seen;
            part.frame->Transform(&seen, &middle);
            D3DRMVECTOR4D s = {};
            state()->viewport->Transform(&s, &seen);
            x0 = static_cast<int>(s.x / s.w);
            y0 = static_cast<int>(s.y / s.w);
            // A turn back at the press point gives the part the scene's own orientation,
            // as for a model of its own.
            leftDown(x0, y0);
            ASSERT_EQ(getSelectedFrame(), part.frame);
            moveTo(x0, y0, MK_LBUTTON);
            leftUp(x0, y0);
            D3DVECTOR dir, up;
            part.frame->GetOrientation(state()->scene, &dir, &up);
            expectVector(dir, 0, 0, 1);
            expectVector(up, 0, 1, 0);
            rightDown(x0, y0);
            setShift(true);
            moveTo(x0 + 20, y0 - 10, MK_RBUTTON);
            setShift(false);
            rightUp(x0 + 20, y0 - 10);
        },
        [&] { after = picture(); },
    }, "", Drawing::Pictures);
    // Its left edge, right of the hierarchy's big box, moved with the mouse.
    auto leftEdge = [](const Picture& p, int y) {
        for (int x = p.width / 2 + 60; x < p.width; ++x)
            if (!p.isBlack(x, y)) return x;
        return -1;
    };
    ASSERT_GT(leftEdge(before, y0), 0);
    EXPECT_NEAR(leftEdge(after, y0 - 10) - leftEdge(before, y0), 20, 1);
}

}  // namespace
