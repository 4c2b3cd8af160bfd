// The window procedure's message, command and keyboard tables on the running viewer.
#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "input/keys_help.h"
#include "input/window_proc.h"
#include "platform/rm/render_backend.h"
#include "scene/selection.h"
#include "viewer/texture_callback.h"
#include "tests/viewer/viewer_harness.h"

using namespace harness;

namespace {

void key(UINT vk, bool down) { SendMessageA(window(), down ? WM_KEYDOWN : WM_KEYUP, vk, 0); }

void expectVector(const D3DVECTOR& v, float x, float y, float z, const char* what) {
    EXPECT_NEAR(v.x, x, 1e-5) << what;
    EXPECT_NEAR(v.y, y, 1e-5) << what;
    EXPECT_NEAR(v.z, z, 1e-5) << what;
}

// A unit cube mesh builder on its own frame in front of the camera, selected.
IDirect3DRMFrame* addSelectedCube() {
    IDirect3DRMFrame* frame = nullptr;
    IDirect3DRMMeshBuilder* builder = nullptr;
    d3drm->CreateFrame(state()->scene, &frame);
    d3drm->CreateMeshBuilder(&builder);
    D3DVECTOR v[8];
    for (int i = 0; i < 8; ++i) v[i] = {(i & 4) ? 0.5f : -0.5f, (i & 2) ? 0.5f : -0.5f, (i & 1) ? 0.5f : -0.5f};
    DWORD faces[] = {4, 0, 2, 6, 4, 4, 1, 5, 7, 3, 4, 0, 4, 5, 1, 4, 2, 3, 7, 6, 4, 0, 1, 3, 2, 4, 4, 6, 7, 5, 0};
    builder->AddFaces(8, v, 0, nullptr, faces, nullptr);
    frame->AddVisual(builder);
    frame->SetPosition(state()->scene, 0, 0, 5);
    selectVisual(builder, frame);
    builder->Release();
    frame->Release();
    return frame;
}

D3DVALUE builderWidth(IDirect3DRMMeshBuilder* builder) {
    D3DRMBOX box{};
    builder->GetBox(&box);
    return box.max.x - box.min.x;
}

}  // namespace

TEST(Keys, CameraKeysSetTheirVelocities) {
    runViewer({[] {
        IDirect3DRMFrame* camera = state()->camera;
        struct Case {
            UINT vk;
            float x, y, z;
            bool stopsOnRelease;
        } cases[] = {
            {VK_LEFT, -0.0625f, 0, 0, true}, {VK_RIGHT, 0.0625f, 0, 0, true}, {VK_UP, 0, 0.0625f, 0, true},
            {VK_DOWN, 0, -0.0625f, 0, true}, {'T', 0, 0, 1, true},            {'R', 0, 0, -1, true},
            {'E', 0, 0, 100, false},         {'Y', 0, 0, -100, false},
        };
        for (const Case& c : cases) {
            camera->SetVelocity(state()->scene, 7, 7, 7, FALSE);
            key(c.vk, true);
            expectVector(velocityOf(camera), c.x, c.y, c.z, "down");
            key(c.vk, false);
            if (c.stopsOnRelease)
                expectVector(velocityOf(camera), 0, 0, 0, "up");
            else
                expectVector(velocityOf(camera), c.x, c.y, c.z, "kept after release");
        }
    }});
}

TEST(Keys, VelocitiesFollowTheCameraOrientation) {
    runViewer({[] {
        IDirect3DRMFrame* camera = state()->camera;
        // Looking along +x with +y up: right is -z in a left-handed scene.
        camera->SetOrientation(state()->scene, 1, 0, 0, 0, 1, 0);
        key(VK_RIGHT, true);
        expectVector(velocityOf(camera), 0, 0, -0.0625f, "right");
        key('T', true);
        expectVector(velocityOf(camera), 1, 0, 0, "forward");
    }});
}

TEST(Keys, FastVelocityStaysUntilAnotherCameraKeyIsReleased) {
    std::vector<D3DVECTOR> positions;
    runViewer({[] {
                   key('E', true);
                   key('E', false);
               },
               [&] { positions.push_back(positionIn(state()->camera, state()->scene)); },
               [&] { positions.push_back(positionIn(state()->camera, state()->scene)); },
               [] {
                   key('T', true);
                   key('T', false);
               },
               [&] { positions.push_back(positionIn(state()->camera, state()->scene)); },
               [&] { positions.push_back(positionIn(state()->camera, state()->scene)); }});
    ASSERT_EQ(positions.size(), 4u);
    // One frame between the first two readings: 100 units along the view.
    EXPECT_NEAR(positions[1].z - positions[0].z, 100, 1e-3);
    EXPECT_NEAR(positions[3].z, positions[2].z, 1e-5);
}

TEST(Keys, SelectionKeysDoNothingWithoutASelection) {
    runViewer({[] {
        IDirect3DRMFrame* camera = state()->camera;
        for (UINT vk : {UINT('X'), UINT('Z'), UINT(VK_ADD), UINT(VK_SUBTRACT)}) {
            key(vk, true);
            key(vk, false);
        }
        expectVector(velocityOf(camera), 0, 0, 0, "camera untouched");
        EXPECT_EQ(getSelectedFrame(), nullptr);
    }});
    EXPECT_TRUE(reportTexts().empty());
}

TEST(Keys, SelectionKeysMoveAndScaleTheSelectedObject) {
    runViewer({[] {
        IDirect3DRMFrame* frame = addSelectedCube();
        key('X', true);
        expectVector(velocityOf(frame), 0, 0, 1, "X down");
        key('X', false);
        expectVector(velocityOf(frame), 0, 0, 0, "X up");
        key('Z', true);
        expectVector(velocityOf(frame), 0, 0, -1, "Z down");
        key('Z', false);

        IDirect3DRMMeshBuilder* builder = getSelectedVisual();
        key(VK_ADD, true);
        EXPECT_FLOAT_EQ(builderWidth(builder), 1.1f);
        key(VK_ADD, false);
        EXPECT_FLOAT_EQ(builderWidth(builder), 1.1f);
        key(VK_SUBTRACT, true);
        EXPECT_FLOAT_EQ(builderWidth(builder), 1.1f * 0.9f);
        // Still selected after the marker was rebuilt.
        EXPECT_EQ(getSelectedFrame(), frame);
        expectVector(velocityOf(state()->camera), 0, 0, 0, "camera untouched");
    }});
}

TEST(Keys, PlainLettersReachTheWindowButCtrlLettersBecomeCommands) {
    TempFolder folder;
    runViewer({[] {
                   // Ctrl+T is no accelerator: the camera still gets T.
                   winSetKeyDown(VK_CONTROL, true);
                   winPostKey(window(), 'T', true);
               },
               [] {
                   expectVector(velocityOf(state()->camera), 0, 0, 1, "ctrl+T");
                   winPostKey(window(), 'T', false);
                   winSetKeyDown(VK_CONTROL, false);
                   // Ctrl+B toggles the marker flag through the accelerator table.
                   winSetKeyDown(VK_CONTROL, true);
                   winPostKey(window(), 'B', true);
               },
               [] {
                   winSetKeyDown(VK_CONTROL, false);
                   EXPECT_EQ(selectionState.showBoxes, 1);
               }});
}

TEST(Commands, UnknownAndEmptyIdsDoNothing) {
    runViewer({[] {
        size_t children = childCount(state()->scene);
        for (int id : {0, 6, 8, 99, 106, 199, 211, 300, 305, 65535})
            EXPECT_EQ(SendMessageA(window(), WM_COMMAND, static_cast<WPARAM>(id), 0), 0) << id;
        // The high word (menu or accelerator) is not looked at.
        EXPECT_EQ(SendMessageA(window(), WM_COMMAND, MAKEWPARAM(6, 1), 0), 0);
        EXPECT_EQ(childCount(state()->scene), children);
        MSG msg;
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    }});
    EXPECT_TRUE(reportTexts().empty());
}

TEST(Commands, ShowBoxesTogglesTheFlagAndTheCheckMarkOfItsSceneItem) {
    std::vector<int> flags;
    std::vector<bool> marks;
    runViewer({[&] {
        HMENU scene = GetSubMenu(GetMenu(window()), 3);
        for (int i = 0; i < 2; ++i) {
            SendMessageA(window(), WM_COMMAND, 105, 0);
            flags.push_back(selectionState.showBoxes);
            marks.push_back((GetMenuState(scene, 105, MF_BYCOMMAND) & MF_CHECKED) != 0);
        }
    }});
    EXPECT_EQ(flags, (std::vector<int>{1, 0}));
    EXPECT_EQ(marks, (std::vector<bool>{true, false}));
}

TEST(Commands, AnyPictureFormatTogglesTheSwitchAndItsCheckMark) {
    // The check mark shows the switch from the first paint on, as --any-texture sets it.
    setAnyPictureFormat(true);
    std::vector<std::pair<bool, bool>> seen;  // switch, check mark
    auto look = [&] {
        const UINT state = GetMenuState(GetMenu(window()), kCommandAnyPictureFormat, MF_BYCOMMAND);
        seen.emplace_back(anyPictureFormat(), (state & MF_CHECKED) != 0);
    };
    runViewer({[&] {
        look();
        SendMessageA(window(), WM_COMMAND, kCommandAnyPictureFormat, 0);
        look();
        SendMessageA(window(), WM_COMMAND, kCommandAnyPictureFormat, 0);
        look();
    }});
    setAnyPictureFormat(false);
    EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{true, true}, {false, false}, {true, true}}));
}

TEST(Commands, LightCommandsAddALightFrame) {
    size_t before = 0, after = 0;
    runViewer({[&] {
        before = childCount(state()->scene);
        SendMessageA(window(), WM_COMMAND, 303, 0);
        after = childCount(state()->scene);
    }});
    EXPECT_EQ(after, before + 1);
}

TEST(BeforeTheRecord, MessagesDoNothingButDestroyStillQuits) {
    winUseHeadless();
    winReset();
    currentState = nullptr;
    renderingStopped = 0;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ASSERT_NE(registerViewerClass(instance), 0);
    // Created but never shown or painted: no record yet.
    HWND w = CreateWindowExA(0, "ViewerClass", "test", WS_OVERLAPPEDWINDOW, 0, 0, 400, 400, nullptr, nullptr,
                             instance, nullptr);
    ASSERT_NE(w, nullptr);
    for (UINT message : {UINT(WM_SIZE), UINT(WM_ACTIVATE), UINT(WM_COMMAND), UINT(WM_KEYDOWN), UINT(WM_KEYUP),
                         UINT(WM_MOUSEMOVE), UINT(WM_LBUTTONDOWN), UINT(WM_LBUTTONUP), UINT(WM_RBUTTONDOWN),
                         UINT(WM_RBUTTONUP)})
        EXPECT_EQ(viewerWindowProc(w, message, 5, MAKELPARAM(10, 10)), 0) << message;
    EXPECT_EQ(GetWindowLongPtrA(w, 0), 0);
    EXPECT_EQ(currentState, nullptr);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

    EXPECT_EQ(viewerWindowProc(w, WM_DESTROY, 0, 0), 0);
    EXPECT_EQ(renderingStopped, 1);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(winRecordedMessageBoxes().empty());
}

TEST(Activation, ActivateAndPaintGoToTheDevice) {
    runViewer({[] {
        EXPECT_EQ(SendMessageA(window(), WM_ACTIVATE, WA_ACTIVE, 0), 0);
        InvalidateRect(window(), nullptr, FALSE);
        UpdateWindow(window());
    }});
    EXPECT_TRUE(reportTexts().empty());
}

namespace {

// Draws nothing and refuses the window-system hand-offs of paint and activation.
class RefusingBackend : public rm::DeviceBackend {
public:
    HRESULT clear(const rm::DeviceData&, const rm::ViewportData&, D3DCOLOR) override { return D3DRM_OK; }
    HRESULT render(const rm::DeviceData&, const rm::ViewportData&, IDirect3DRMFrame*) override { return D3DRM_OK; }
    HRESULT update(const rm::DeviceData&) override { return D3DRM_OK; }
    HRESULT handlePaint(const rm::DeviceData&, HDC) override { return D3DRMERR_BADDEVICE; }
    HRESULT handleActivate(const rm::DeviceData&, WORD) override { return D3DRMERR_BADDEVICE; }
};

}  // namespace

TEST(Activation, DeviceThatRefusesActivateAndPaintIsReportedOncePerMessage) {
    std::vector<std::string> texts;
    runViewer({[&] {
        rm::setDeviceBackendFactory([](const rm::DeviceBackendRequest& request) {
            rm::DeviceBackendResult result;
            result.result = D3DRM_OK;
            result.backend = std::make_unique<RefusingBackend>();
            result.width = static_cast<DWORD>(request.width);
            result.height = static_cast<DWORD>(request.height);
            return result;
        });
        winSetClientSize(window(), 450, 450);  // a larger window makes a new device
        glRegisterDeviceBackend(winPresentPicture);
        UpdateWindow(window());  // the paint the resize asked for
        winClearRecordedMessageBoxes();
        EXPECT_EQ(SendMessageA(window(), WM_ACTIVATE, WA_ACTIVE, 0), 0);
        InvalidateRect(window(), nullptr, FALSE);
        UpdateWindow(window());
        texts = reportTexts();
    }});
    EXPECT_EQ(texts, (std::vector<std::string>{"Failed to handle WM_ACTIVATE.\n\r\n", "Failed to handle WM_PAINT.\n\r\n"}));
}

TEST(KeysAndMouse, TheTableNamesEveryAcceleratorAndF1ShowsIt) {
    // The table's words, so that "Del" is not found inside "Shift+Del".
    const std::string text = keysAndMouseText(true);
    std::set<std::string> words;
    std::string word;
    for (char c : text + " ") {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '+') {
            word += c;
        } else if (!word.empty()) {
            words.insert(word);
            word.clear();
        }
    }
    // Every key of the command table has a name the window layer's accelerators know.
    const std::vector<ACCEL> accelerators = viewerAccelerators();
    ASSERT_EQ(accelerators.size(), 25u);
    std::set<std::pair<int, int>> keys;  // no key is bound twice
    for (const ACCEL& a : accelerators) EXPECT_TRUE(keys.insert({a.fVirt, a.key}).second) << a.key;
    for (const ACCEL& a : accelerators) {
        std::string name = std::string((a.fVirt & FCONTROL) ? "Ctrl+" : "") + ((a.fVirt & FSHIFT) ? "Shift+" : "");
        switch (a.key) {
            case VK_DELETE: name += "Del"; break;
            case VK_INSERT: name += "Ins"; break;
            case VK_HOME: name += "Home"; break;
            case VK_F1: name += "F1"; break;
            default: name += static_cast<char>(a.key); break;
        }
        EXPECT_EQ(words.count(name), 1u) << name << " (command " << a.cmd << ") is missing from the table";
    }
    runViewer({[] { winPostKey(window(), VK_F1, true); }, [] { winPostKey(window(), VK_F1, false); }});
    ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
    EXPECT_EQ(winRecordedMessageBoxes()[0].caption, kKeysAndMouseCaption);
    EXPECT_EQ(winRecordedMessageBoxes()[0].text, keysAndMouseText(false));
}
