// The real window under an X server: title, menu bar, input, dialogs and closing.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <string>
#include <vector>

#include "input/commands.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "platform/win/qt/qt_backend.h"
#include "platform/win/win32.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    int depth;
    LPARAM lParam = 0;
};
std::vector<Seen> seen;

LRESULT CALLBACK proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    seen.push_back({message, wParam, winModalDepth(), lParam});
    if (message == WM_DROPFILES) {
        char path[260];
        DragQueryFileA(reinterpret_cast<HDROP>(wParam), 0, path, sizeof path);
        seen.push_back({WM_USER,
                        static_cast<WPARAM>(DragQueryFileA(reinterpret_cast<HDROP>(wParam),
                                                           0xFFFFFFFF, nullptr, 0)),
                        0, static_cast<LPARAM>(std::string(path) == "/tmp/dropped model.x")});
        DragFinish(reinterpret_cast<HDROP>(wParam));
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// The viewer's loop for a while: returns the quit code, or -1 after the time ran out.
int pumpFor(int milliseconds) {
    HACCEL accel = LoadAcceleratorsA(GetModuleHandleA(nullptr), "ViewerAccel");
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    MSG msg;
    while (std::chrono::steady_clock::now() < end) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            if (!TranslateAcceleratorA(msg.hwnd, accel, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        QTest::qWait(5);
    }
    return -1;
}

bool sawKey(UINT message, WPARAM vk) {
    for (const Seen& s : seen) {
        if (s.message == message && s.wParam == vk) return true;
    }
    return false;
}

class QtWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_platform_win_qt";
        static char* argv[] = {name, nullptr};
        registerViewerCommands();  // the program's menus, accelerators and About box
        ASSERT_TRUE(winUseQt(argc, argv));
    }

    void SetUp() override {
        seen.clear();
        WNDCLASSA wc{};
        wc.style = CS_HREDRAW | CS_VREDRAW;
        wc.lpfnWndProc = proc;
        wc.cbWndExtra = 4;
        wc.hIcon = LoadIconA(GetModuleHandleA(nullptr), "ViewerIcon");
        wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.lpszMenuName = "ViewerMenu";
        wc.lpszClassName = "ViewerClass";
        RegisterClassA(&wc);
        RECT area;
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
        hwnd =
            CreateWindowExA(0, "ViewerClass", "SolluxViewer 0.91", WS_OVERLAPPEDWINDOW,
                            (area.right - area.left - 400) / 2, (area.bottom - area.top - 400) / 2,
                            400, 400, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOWNORMAL);
        UpdateWindow(hwnd);
        main = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* m = qobject_cast<QMainWindow*>(w); m != nullptr && m->isVisible()) main = m;
        }
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(main));
        pumpFor(50);
        seen.clear();
    }

    void TearDown() override {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
        pumpFor(20);
        UnregisterClassA("ViewerClass", nullptr);
    }

    QWidget* client() const { return main->centralWidget(); }

    HWND hwnd = nullptr;
    QMainWindow* main = nullptr;
};

TEST_F(QtWindowTest, OpensWithTitleAndMenuBar) {
    EXPECT_EQ(main->windowTitle(), "SolluxViewer 0.91");
    const QList<QAction*> top = main->menuBar()->actions();
    ASSERT_GE(top.size(), 2);
    EXPECT_EQ(top[0]->text(), "&File");
    EXPECT_EQ(top[1]->text(), "&Help");
    QList<QAction*> file = top[0]->menu()->actions();
    ASSERT_EQ(file.size(), 5);
    EXPECT_EQ(file[0]->text(), "Open &Rokkaku...\tCtrl+O");
    EXPECT_EQ(file[1]->text(), "&Save Scene As...\tCtrl+Shift+S");
    EXPECT_TRUE(file[3]->isSeparator());
    EXPECT_EQ(file[4]->text(), "E&xit");
    EXPECT_EQ(top[1]->menu()->actions().at(0)->text(), "&About...\tCtrl+A");
    // The client area lies below the menu bar and matches what GetClientRect reports.
    RECT rc;
    GetClientRect(hwnd, &rc);
    EXPECT_EQ(rc.right, client()->width());
    EXPECT_EQ(rc.bottom, client()->height());
    EXPECT_GT(rc.bottom, 0);
}

TEST_F(QtWindowTest, KeysReachTheProcedureWithVirtualKeyCodes) {
    QTest::keyClick(client(), Qt::Key_T);
    QTest::keyClick(client(), Qt::Key_Plus, Qt::KeypadModifier);
    QTest::keyClick(client(), Qt::Key_Left);
    QTest::keyClick(client(), Qt::Key_Delete, Qt::ShiftModifier);
    pumpFor(30);
    EXPECT_TRUE(sawKey(WM_KEYDOWN, 'T'));
    EXPECT_TRUE(sawKey(WM_KEYUP, 'T'));
    EXPECT_TRUE(sawKey(WM_KEYDOWN, VK_ADD));
    EXPECT_TRUE(sawKey(WM_KEYDOWN, VK_LEFT));
    EXPECT_TRUE(sawKey(WM_COMMAND, MAKEWPARAM(100, 1)));  // Shift+Delete through the accelerators
    EXPECT_FALSE(sawKey(WM_KEYDOWN, VK_DELETE));
}

TEST_F(QtWindowTest, ModifiersCarriedOnlyByTheKeyEventStillMakeAccelerators) {
    // A key event that says Ctrl is held, with no Ctrl press seen before it.
    QKeyEvent press(QEvent::KeyPress, Qt::Key_O, Qt::ControlModifier);
    QApplication::sendEvent(client(), &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_O, Qt::ControlModifier);
    QApplication::sendEvent(client(), &release);
    QKeyEvent plain(QEvent::KeyPress, Qt::Key_O, Qt::NoModifier);
    QApplication::sendEvent(client(), &plain);
    pumpFor(30);
    EXPECT_TRUE(sawKey(WM_COMMAND, MAKEWPARAM(7, 1)));
    EXPECT_TRUE(sawKey(WM_KEYDOWN, 'O'));  // the second, plain O is a key again
    EXPECT_FALSE(GetKeyState(VK_CONTROL) & 0x8000);
}

TEST_F(QtWindowTest, AModifierThatAScriptHoldsIsDownWhateverTheKeyboardSays) {
    // A played script's Shift-drag spins in the window as it does headless.
    EXPECT_FALSE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
    winSetKeyDown(VK_SHIFT, true);
    EXPECT_TRUE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
    winSetKeyDown(VK_SHIFT, false);
    EXPECT_FALSE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
}

TEST_F(QtWindowTest, KeysThroughTheWindowSystemAreNotTakenByTheMenus) {
    // Through the window, as the window system delivers them: Qt's shortcut handling sees
    // these first, and must leave Ctrl+O and Alt-less letters to the accelerators.
    main->activateWindow();
    client()->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    QTest::keyClick(main->windowHandle(), Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(main->windowHandle(), Qt::Key_X);
    pumpFor(50);
    EXPECT_TRUE(sawKey(WM_COMMAND, MAKEWPARAM(7, 1)));
    EXPECT_TRUE(sawKey(WM_KEYDOWN, 'X'));
}

TEST_F(QtWindowTest, AcceleratorsWorkAfterAMenuClosesAndWhileTheMenuBarHasTheFocus) {
    main->activateWindow();
    client()->setFocus();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    QMenuBar* bar = main->menuBar();
    QAction* file = bar->actions().at(0);
    // Open the File menu with the mouse and close it with Esc, as a person would.
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->actionGeometry(file).center());
    ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }));
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() == nullptr; }));
    QTest::keyClick(main->windowHandle(), Qt::Key_R, Qt::ControlModifier);
    pumpFor(50);
    EXPECT_TRUE(sawKey(WM_COMMAND, MAKEWPARAM(208, 1)));
    // The menu bar itself holding the focus takes no key from the view either.
    seen.clear();
    bar->setFocus();
    QTest::keyClick(main->windowHandle(), Qt::Key_M, Qt::ControlModifier);
    QTest::keyClick(main->windowHandle(), Qt::Key_Left);
    pumpFor(50);
    EXPECT_TRUE(sawKey(WM_COMMAND, MAKEWPARAM(207, 1)));
    EXPECT_TRUE(sawKey(WM_KEYDOWN, VK_LEFT));
    EXPECT_TRUE(client()->hasFocus());
}

TEST_F(QtWindowTest, MouseResizeAndDropsBecomeMessages) {
    QTest::mousePress(client(), Qt::LeftButton, Qt::ShiftModifier, QPoint(10, 20));
    QTest::mouseRelease(client(), Qt::LeftButton, Qt::NoModifier, QPoint(12, 22));
    main->resize(main->width() + 50, main->height() + 30);
    DragAcceptFiles(hwnd, TRUE);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile("/tmp/dropped model.x")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(client(), &drop);
    EXPECT_TRUE(enter.isAccepted());
    pumpFor(100);
    bool pressed = false, released = false, resized = false, dropped = false;
    for (const Seen& s : seen) {
        if (s.message == WM_LBUTTONDOWN) {
            pressed = s.wParam == (MK_LBUTTON | MK_SHIFT) && GET_X_LPARAM(s.lParam) == 10 &&
                      GET_Y_LPARAM(s.lParam) == 20;
        }
        if (s.message == WM_LBUTTONUP) released = s.wParam == 0 && GET_X_LPARAM(s.lParam) == 12;
        if (s.message == WM_SIZE)
            resized =
                LOWORD(s.lParam) == client()->width() && HIWORD(s.lParam) == client()->height();
        if (s.message == WM_USER) dropped = s.wParam == 1 && s.lParam == 1;
    }
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(released);
    EXPECT_TRUE(resized);
    EXPECT_TRUE(dropped);
    RECT rc;
    GetClientRect(hwnd, &rc);
    EXPECT_EQ(rc.right, client()->width());
}

TEST_F(QtWindowTest, MenuItemsPostCommandsAndShowCheckMarks) {
    QList<QAction*> render = main->menuBar()->actions().at(2)->menu()->actions();
    ASSERT_EQ(render.size(), 15);
    EXPECT_TRUE(render[13]->isChecked());
    render[13]->trigger();
    EXPECT_TRUE(render[13]->isChecked());  // only the program changes check marks
    CheckMenuItem(GetSubMenu(GetMenu(hwnd), 2), 13, MF_BYPOSITION | MF_UNCHECKED);
    EXPECT_FALSE(render[13]->isChecked());
    pumpFor(20);
    EXPECT_TRUE(sawKey(WM_COMMAND, 209));
}

TEST_F(QtWindowTest, PresentedPictureAndTextShowInTheClientArea) {
    RECT rc;
    GetClientRect(hwnd, &rc);
    std::vector<unsigned char> rgba(static_cast<size_t>(rc.right * rc.bottom * 4), 0);
    for (size_t i = 0; i < rgba.size(); i += 4) rgba[i + 2] = 200;  // blue
    winPresentPicture(hwnd, rgba.data(), rc.right, rc.bottom);
    HDC dc = GetDC(hwnd);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkColor(dc, RGB(0, 0, 0));
    TextOutA(dc, 1, 0, "60fps      ", 11);
    ReleaseDC(hwnd, dc);
    pumpFor(30);
    const QImage shot = client()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(rc.right / 2, rc.bottom / 2), QColor(0, 0, 200));
    EXPECT_EQ(shot.pixelColor(0, 0).blue(), 200);
    bool white = false;
    for (int x = 1; x < 30; ++x) {
        for (int y = 0; y < 13; ++y)
            white = white || shot.pixelColor(x, y) == QColor(255, 255, 255);
    }
    EXPECT_TRUE(white);
}

TEST_F(QtWindowTest, MessageBoxKeepsTheWindowWorkingUnderIt) {
    QTimer::singleShot(100, [this] {
        QTest::keyClick(client(), Qt::Key_R);  // the viewer window still takes keys
        QTimer::singleShot(100, [] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
                    EXPECT_EQ(box->windowTitle(), "Viewer Message");
                    // The sentence keeps its own line break: one blank line shows under it.
                    EXPECT_EQ(box->text(), "Rendering failed.\n");
                    box->buttons().front()->click();
                }
            }
        });
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Rendering failed.\n\r\n", "Viewer Message", MB_OK), IDOK);
    bool nested = false;
    for (const Seen& s : seen)
        nested = nested || (s.message == WM_KEYDOWN && s.wParam == 'R' && s.depth > 0);
    EXPECT_TRUE(nested);
}

TEST_F(QtWindowTest, AboutBoxIgnoresEscapeAndEndsWithOk) {
    QTimer::singleShot(100, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(w);
            if (dialog == nullptr || !dialog->isVisible() || dialog->windowTitle() != "About")
                continue;
            QTest::keyClick(dialog, Qt::Key_Escape);
            EXPECT_TRUE(dialog->isVisible());
            bool hasVersion = false;
            for (QLabel* label : dialog->findChildren<QLabel*>())
                hasVersion = hasVersion || label->text() == "Sollux Viewer ver.0.91";
            EXPECT_TRUE(hasVersion);
            for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
                if (button->text() == "OK") button->click();
            }
        }
    });
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), "AboutBox", hwnd, aboutProc, 0), 1);
}

TEST_F(QtWindowTest, ClosingTheWindowPostsQuit) {
    main->close();
    EXPECT_EQ(pumpFor(500), 0);
    EXPECT_FALSE(IsWindow(hwnd));
    bool destroyed = false;
    for (const Seen& s : seen) destroyed = destroyed || s.message == WM_DESTROY;
    EXPECT_TRUE(destroyed);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
