// Scripted dialog answers in the real window: a waiting answer is given without showing a
// dialog, and with none waiting the real dialog comes up for a person.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColorDialog>
#include <QDialog>
#include <QFileDialog>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "input/commands.h"
#include "platform/win/headless.h"
#include "platform/win/qt/qt_backend.h"
#include "platform/win/win32.h"

namespace {

INT_PTR CALLBACK okOnlyProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

// Notes every Qt dialog that becomes visible while it lives, and answers it with `answer`
// so that a dialog shown by mistake fails the test instead of hanging it.
class DialogWatch {
  public:
    explicit DialogWatch(std::function<void(QDialog*)> answer) : answer_(std::move(answer)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QDialog*>(w);
                if (dialog == nullptr || !dialog->isVisible() || answered_.contains(dialog))
                    continue;
                answered_.append(dialog);
                shown.push_back(dialog->metaObject()->className());
                answer_(dialog);
            }
        });
        timer_.start(20);
    }
    std::vector<std::string> shown;

  private:
    std::function<void(QDialog*)> answer_;
    QList<QPointer<QDialog>> answered_;
    QTimer timer_;
};

class QtScriptedDialogsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_platform_win_qt";
        static char* argv[] = {name, nullptr};
        registerViewerCommands();  // the program's menus, accelerators and About box
        if (!winHasDisplay()) {
            ASSERT_TRUE(winUseQt(argc, argv));
        }
        model = (std::filesystem::temp_directory_path() / "sollux_scripted_answer.x").string();
        std::ofstream(model) << "xof 0302txt 0032\n";
    }
    static void TearDownTestSuite() { std::filesystem::remove(model); }

    void SetUp() override {
        winClearScripts();
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "ScriptedOwner";
        RegisterClassA(&wc);
        owner = CreateWindowExA(0, "ScriptedOwner", "Owner", WS_OVERLAPPEDWINDOW, 10, 10, 300, 300,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(owner, nullptr);
        ShowWindow(owner, SW_SHOWNORMAL);
        recorded.clear();
        winSetDialogHook([this](const WinDialogRecord& r) { recorded.push_back(r); });
    }

    void TearDown() override {
        winSetDialogHook(nullptr);
        winClearScripts();
        if (IsWindow(owner)) DestroyWindow(owner);
        QTest::qWait(20);
        UnregisterClassA("ScriptedOwner", nullptr);
    }

    BOOL openModel(std::vector<char>& buffer) {
        buffer.assign(260, '\0');
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = owner;
        ofn.lpstrFilter = "X files (*.x)\0*.x\0All Files (*.*)\0*.*\0";
        ofn.nFilterIndex = 1;
        ofn.lpstrFile = buffer.data();
        ofn.nMaxFile = static_cast<DWORD>(buffer.size());
        ofn.lpstrTitle = "Open a Mesh file";
        ofn.lpstrDefExt = "x";
        ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        return GetOpenFileNameA(&ofn);
    }

    BOOL chooseColour(COLORREF& colour, COLORREF (&custom)[16]) {
        CHOOSECOLORA cc{};
        cc.lStructSize = sizeof cc;
        cc.hwndOwner = owner;
        cc.rgbResult = colour;
        cc.lpCustColors = custom;
        cc.Flags = CC_RGBINIT;
        const BOOL ok = ChooseColorA(&cc);
        colour = cc.rgbResult;
        return ok;
    }

    static inline std::string model;
    HWND owner = nullptr;
    std::vector<WinDialogRecord> recorded;
};

TEST_F(QtScriptedDialogsTest, WaitingAnswersAreGivenWithoutShowingADialog) {
    DialogWatch watch([](QDialog* d) { d->reject(); });
    std::vector<char> path;

    winScriptOpenFile(model);
    EXPECT_TRUE(openModel(path));
    EXPECT_EQ(std::string(path.data()), model);
    winScriptOpenFile(std::nullopt);
    EXPECT_FALSE(openModel(path));
    EXPECT_EQ(CommDlgExtendedError(), 0u);  // a cancel, not a failure

    COLORREF custom[16];
    for (int i = 0; i < 16; ++i) custom[i] = RGB(i, i, i);
    COLORREF colour = RGB(1, 2, 3);
    winScriptColor(RGB(10, 200, 30));
    EXPECT_TRUE(chooseColour(colour, custom));
    EXPECT_EQ(colour, RGB(10, 200, 30));
    EXPECT_EQ(custom[15], RGB(15, 15, 15));
    winScriptColor(std::nullopt);
    EXPECT_FALSE(chooseColour(colour, custom));
    EXPECT_EQ(colour, RGB(10, 200, 30));

    // The About box ignores Cancel; the OK after it ends the box.
    winScriptDialogResult(IDCANCEL);
    winScriptDialogResult(IDOK);
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), "AboutBox", owner, okOnlyProc, 0), 1);

    EXPECT_TRUE(watch.shown.empty()) << watch.shown.front();
    // Each answer is recorded as a person's would be, so --record writes it back.
    ASSERT_EQ(recorded.size(), 5u);
    EXPECT_EQ(recorded[0].kind, WinDialogRecord::OpenFile);
    EXPECT_EQ(recorded[0].title, "Open a Mesh file");
    EXPECT_EQ(recorded[0].answer, model);
    EXPECT_EQ(recorded[1].answer, "");
    EXPECT_EQ(recorded[2].kind, WinDialogRecord::Color);
    EXPECT_EQ(recorded[2].initialColor, RGB(1, 2, 3));
    EXPECT_EQ(recorded[2].answer, "#0AC81E");
    EXPECT_EQ(recorded[3].answer, "");
    EXPECT_EQ(recorded[4].kind, WinDialogRecord::Dialog);
    EXPECT_EQ(recorded[4].title, "AboutBox");
    EXPECT_EQ(recorded[4].answer, "1");
    EXPECT_EQ(winRecordedDialogs().back().title, "AboutBox");
    EXPECT_TRUE(IsWindowEnabled(owner));
}

TEST_F(QtScriptedDialogsTest, WithNoAnswerWaitingThePersonIsAsked) {
    // One answer serves one dialog: the second Open shows the real dialog.
    DialogWatch watch([](QDialog* d) {
        if (auto* colours = qobject_cast<QColorDialog*>(d)) {
            colours->setCurrentColor(QColor(40, 50, 60));
            colours->accept();
        } else if (qobject_cast<QFileDialog*>(d) != nullptr) {
            EXPECT_EQ(d->windowTitle(), "Open a Mesh file");
            d->reject();
        } else {
            for (QPushButton* button : d->findChildren<QPushButton*>()) {
                if (button->text() == "OK") button->click();
            }
        }
    });
    std::vector<char> path;
    winScriptOpenFile(model);
    EXPECT_TRUE(openModel(path));
    EXPECT_TRUE(watch.shown.empty());
    EXPECT_FALSE(openModel(path));

    COLORREF custom[16] = {};
    COLORREF colour = RGB(1, 2, 3);
    EXPECT_TRUE(chooseColour(colour, custom));
    EXPECT_EQ(colour, RGB(40, 50, 60));

    // Scripted buttons that leave the box open hand it to the person.
    winScriptDialogResult(IDCANCEL);
    EXPECT_EQ(DialogBoxParamA(GetModuleHandleA(nullptr), "AboutBox", owner, okOnlyProc, 0), 1);

    ASSERT_EQ(watch.shown.size(), 3u);
    EXPECT_EQ(watch.shown[0], "QFileDialog");
    EXPECT_EQ(watch.shown[1], "QColorDialog");
    ASSERT_EQ(recorded.size(), 4u);
    EXPECT_EQ(recorded[1].answer, "");
    EXPECT_EQ(recorded[2].answer, "#28323C");
    EXPECT_EQ(recorded[3].answer, "1");
}

}  // namespace
