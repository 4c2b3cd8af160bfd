#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/platform/win/win_test_support.h"

namespace {

std::string format(const char* fmt, ...) {
    char out[1100];
    va_list args;
    va_start(args, fmt);
    wvsprintfA(out, fmt, args);
    va_end(args);
    return out;
}

int bounded(char* out, int capacity, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int n = wvnsprintfA(out, capacity, fmt, args);
    va_end(args);
    return n;
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}

struct TempFolder {
    std::filesystem::path path;
    std::filesystem::path previous = std::filesystem::current_path();
    TempFolder() {
        path = std::filesystem::temp_directory_path() /
               ("sollux_win_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(path);
    }
    ~TempFolder() {
        std::filesystem::current_path(previous);
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string touch(const std::string& name) const {
        std::ofstream(path / name) << "xof 0302txt 0032\n";
        return (path / name).string();
    }
};

}  // namespace

TEST(WinFormat, ConversionsTheViewerUses) {
    EXPECT_EQ(format("Loading %s failed.\n%s", "C:/m/a.x", "File not found."),
              "Loading C:/m/a.x failed.\nFile not found.");
    EXPECT_EQ(format("%d|%5d|%-5d|%05d|%u|%x|%X|%#x|%c|%%|%ld", -42, 42, 42, -42, 4000000000u, 255,
                     255, 255, 'q', -7L),
              "-42|   42|42   |-0042|4000000000|ff|FF|0xff|q|%|-7");
    EXPECT_EQ(format("%.3s|%8s|%-4s|", "abcdef", "right", "l"), "abc|   right|l   |");
    EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(format("100%"), "100%");
    EXPECT_EQ(format("%q"), "q");
}

TEST(WinFormat, OutputIsBoundedByTheBufferOrTheWin32Limit) {
    std::string longPath(2000, 'p');
    char out[1100];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(wsprintfA(out, "%s", longPath.c_str()), 1023);
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], 'z');

    char message[256];
    std::memset(message, 'z', sizeof message);
    EXPECT_EQ(bounded(message, 254, "Loading %s failed.\n%s", longPath.c_str(), "why"), -1);
    EXPECT_EQ(std::strlen(message), 253u);
    EXPECT_EQ(message[254], 'z');
    lstrcatA(message, "\r\n");  // reportError's append still fits
    EXPECT_EQ(std::strlen(message), 255u);
    EXPECT_EQ(bounded(message, 254, "Rendering failed.\n"), 18);
    EXPECT_EQ(bounded(message, 0, "x"), -1);
}

TEST(WinFormat, StringHelpers) {
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrlenA("abc"), 3);
    EXPECT_EQ(lstrcmpiA("Model.ROK", "model.rok"), 0);
    EXPECT_LT(lstrcmpiA("a.rok", "b.rok"), 0);
    EXPECT_GT(lstrcmpiA("abc", "ab"), 0);
    char buffer[8] = "ab";
    lstrcatA(buffer, "cd");
    EXPECT_STREQ(buffer, "abcd");
    lstrcpynA(buffer, "0123456789", sizeof buffer);
    EXPECT_STREQ(buffer, "0123456");
}

TEST_F(WinTest, OpenDialogFillsThePathAndMakesItsFolderCurrent) {
    HWND hwnd = createWindow();
    TempFolder folder;
    const std::string model = folder.touch("cube.x");
    char file[260] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "X files (*.x)\0*.x\0All Files (*.*)\0*.*\0\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrTitle = "Open a Mesh file";
    ofn.lpstrDefExt = "x";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_SHOWHELP;

    winScriptOpenFile(std::nullopt);
    EXPECT_FALSE(GetOpenFileNameA(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0u);  // a cancel is no error

    winScriptOpenFile((folder.path / "cube").string());  // typed without its extension
    ASSERT_TRUE(GetOpenFileNameA(&ofn));
    EXPECT_EQ(std::string(file), model);
    EXPECT_STREQ(file + ofn.nFileOffset, "cube.x");
    EXPECT_STREQ(file + ofn.nFileExtension, "x");
    EXPECT_EQ(std::filesystem::current_path(), folder.path);

    const auto& records = winRecordedDialogs();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].title, "Open a Mesh file");
    EXPECT_EQ(records[1].filter, "X files (*.x)|*.x|All Files (*.*)|*.*");
    EXPECT_EQ(records[1].answer, model);
    EXPECT_TRUE(IsWindowEnabled(hwnd));  // enabled again after the dialog
}

TEST_F(WinTest, OpenDialogRefusesMissingFilesAndShortBuffers) {
    TempFolder folder;
    const std::string model = folder.touch("a_rather_long_model_name.rok");
    char file[16] = "";
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    winScriptOpenFile((folder.path / "missing.rok").string());
    EXPECT_FALSE(GetOpenFileNameA(&ofn));
    winScriptOpenFile(model);
    EXPECT_FALSE(GetOpenFileNameA(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), 0x3003u);
    EXPECT_EQ(file[0], '\0');  // nothing written past the buffer or into it
    ofn.lpstrFile = nullptr;
    EXPECT_FALSE(GetOpenFileNameA(&ofn));
}

TEST_F(WinTest, ColourDialogStartsFromTheColourAndGivesBackTheChoice) {
    HWND hwnd = createWindow();
    COLORREF custom[16];
    for (auto& c : custom) c = RGB(255, 255, 255);
    CHOOSECOLORA cc{};
    cc.lStructSize = 36;
    cc.hwndOwner = hwnd;
    cc.rgbResult = RGB(254, 0, 128);
    cc.lpCustColors = custom;
    cc.Flags = CC_RGBINIT | CC_FULLOPEN;
    winScriptColor(std::nullopt);
    winScriptColor(RGB(1, 2, 3));
    EXPECT_FALSE(ChooseColorA(&cc));
    EXPECT_EQ(cc.rgbResult, RGB(254, 0, 128));
    ASSERT_TRUE(ChooseColorA(&cc));
    EXPECT_EQ(cc.rgbResult, RGB(1, 2, 3));
    ASSERT_EQ(winRecordedDialogs().size(), 2u);
    EXPECT_EQ(winRecordedDialogs()[0].initialColor, RGB(254, 0, 128));
    EXPECT_EQ(winRecordedDialogs()[1].answer, "#010203");
    cc.lpCustColors = nullptr;
    EXPECT_FALSE(ChooseColorA(&cc));
}

TEST_F(WinTest, AboutBoxEndsOnlyThroughOkAndKeepsPaintingTheOwner) {
    HWND hwnd = createWindow();
    InvalidateRect(hwnd, nullptr, FALSE);
    PostMessageA(hwnd, WM_USER, 0, 0);
    winScriptDialogResult(IDCANCEL);  // Esc or the close box: ignored by the procedure
    winScriptDialogResult(IDOK);
    const INT_PTR result =
        DialogBoxParamA(GetModuleHandleA(nullptr), "AboutBox", hwnd, aboutProc, 0);
    EXPECT_EQ(result, 1);
    // The owner's queued and paint messages ran inside the dialog's loop.
    ASSERT_EQ(seenOf(WM_USER).size(), 1u);
    EXPECT_GT(seenOf(WM_USER)[0].modalDepth, 0);
    EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    EXPECT_EQ(DialogBoxParamA(nullptr, "NoSuchDialog", hwnd, aboutProc, 0), -1);
    EXPECT_EQ(winModalDepth(), 0);
}
