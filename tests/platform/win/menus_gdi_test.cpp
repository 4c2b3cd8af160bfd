#include <cstring>

#include "platform/win/picture.h"
#include "tests/platform/win/win_test_support.h"

namespace {

std::string itemText(HMENU menu, int position) {
    char text[128] = "";
    GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
    return text;
}

struct Picture {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    COLORREF at(int x, int y) const {
        const unsigned char* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        return RGB(p[0], p[1], p[2]);
    }
    // Bounding box of the pixels of one colour.
    RECT boxOf(COLORREF color) const {
        RECT r{width, height, -1, -1};
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (at(x, y) != color) continue;
                r.left = std::min<LONG>(r.left, x);
                r.top = std::min<LONG>(r.top, y);
                r.right = std::max<LONG>(r.right, x + 1);
                r.bottom = std::max<LONG>(r.bottom, y + 1);
            }
        }
        return r;
    }
};

Picture read(HWND hwnd) {
    Picture p;
    EXPECT_TRUE(winReadPicture(hwnd, p.rgba, p.width, p.height));
    return p;
}

void present(HWND hwnd, int width, int height, unsigned char grey) {
    std::vector<unsigned char> rgba(static_cast<size_t>(width * height * 4), grey);
    winPresentPicture(hwnd, rgba.data(), width, height);
}

}  // namespace

TEST_F(WinTest, ViewerMenuKeepsFileAndHelpFirstWithTheirItems) {
    HWND hwnd = createWindow();
    HMENU bar = GetMenu(hwnd);
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 5);
    EXPECT_EQ(itemText(bar, 0), "&File");
    EXPECT_EQ(itemText(bar, 1), "&Help");
    EXPECT_EQ(itemText(bar, 4), "&View");
    for (UINT i = 0; i < 3; ++i) EXPECT_EQ(GetMenuItemID(GetSubMenu(bar, 4), static_cast<int>(i)), 400 + i);
    HMENU file = GetSubMenu(bar, 0);
    // Saving sits between opening and the separator before Exit.
    ASSERT_EQ(GetMenuItemCount(file), 5);
    EXPECT_EQ(itemText(file, 0), "Open &Rokkaku...\tCtrl+O");
    EXPECT_EQ(GetMenuItemID(file, 0), 7u);
    EXPECT_EQ(itemText(file, 1), "&Save Scene As...\tCtrl+Shift+S");
    EXPECT_EQ(GetMenuItemID(file, 1), 602u);
    EXPECT_EQ(itemText(file, 2), "&Export Scene as glTF...");
    EXPECT_EQ(GetMenuItemID(file, 2), 603u);
    EXPECT_NE(GetMenuState(file, 3, MF_BYPOSITION) & MF_SEPARATOR, 0u);
    EXPECT_EQ(itemText(file, 4), "E&xit");
    EXPECT_EQ(GetMenuItemID(file, 4), 5u);
    HMENU help = GetSubMenu(bar, 1);
    ASSERT_EQ(GetMenuItemCount(help), 2);
    EXPECT_EQ(itemText(help, 0), "&About...\tCtrl+A");
    EXPECT_EQ(GetMenuItemID(help, 0), 1u);
    EXPECT_EQ(itemText(help, 1), "&Keys and mouse\tF1");
    EXPECT_EQ(GetMenuItemID(help, 1), 600u);
}

TEST_F(WinTest, RenderMenuPositionsMatchTheCommandsThatCheckThem) {
    HWND hwnd = createWindow();
    HMENU render = GetSubMenu(GetMenu(hwnd), 2);
    ASSERT_EQ(GetMenuItemCount(render), 15);
    const UINT ids[15] = {200, 0, 201, 202, 203, 0, 204, 205, 206, 0, 207, 208, 0, 209, 210};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(GetMenuItemID(render, i), ids[i]) << i;
    // Start-up state: lighting on, solid, flat, ramp, dithering on, nearest texels.
    std::vector<int> checked;
    for (int i = 0; i < 15; ++i) {
        if (GetMenuState(render, static_cast<UINT>(i), MF_BYPOSITION) & MF_CHECKED)
            checked.push_back(i);
    }
    EXPECT_EQ(checked, (std::vector<int>{0, 4, 6, 10, 13}));
    // Every command of the Scene menu is one the window procedure knows.
    HMENU scene = GetSubMenu(GetMenu(hwnd), 3);
    std::vector<UINT> sceneIds;
    for (int i = 0; i < GetMenuItemCount(scene); ++i) {
        if (UINT id = GetMenuItemID(scene, i); id != 0) sceneIds.push_back(id);
    }
    EXPECT_EQ(sceneIds,
              (std::vector<UINT>{2, 4, 3, 500, 501, 104, 301, 302, 303, 304, 105, 100, 101, 102, 103}));
}

TEST_F(WinTest, CheckMenuItemOnMissingItemsChangesNothing) {
    HWND hwnd = createWindow();
    HMENU bar = GetMenu(hwnd);
    EXPECT_EQ(GetSubMenu(bar, 5), nullptr);
    EXPECT_EQ(GetSubMenu(nullptr, 2), nullptr);
    EXPECT_EQ(CheckMenuItem(nullptr, 3, MF_BYPOSITION | MF_CHECKED), 0xFFFFFFFFu);
    // Ctrl+B's check mark goes to the Help submenu, which has no item 105.
    HMENU help = GetSubMenu(bar, 1);
    EXPECT_EQ(CheckMenuItem(help, 105, MF_BYCOMMAND | MF_CHECKED), 0xFFFFFFFFu);
    EXPECT_EQ(GetMenuState(GetSubMenu(bar, 3), 105, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(GetMenuState(help, 0, MF_BYPOSITION) & MF_CHECKED, 0u);
    // Position -1 (an unknown fill mode) names no item either.
    HMENU render = GetSubMenu(bar, 2);
    EXPECT_EQ(CheckMenuItem(render, static_cast<UINT>(-1), MF_BYPOSITION | MF_CHECKED),
              0xFFFFFFFFu);
    // A handle that names no menu is refused, not followed.
    int notAMenu = 0;
    EXPECT_EQ(CheckMenuItem(reinterpret_cast<HMENU>(&notAMenu), 0, MF_BYPOSITION | MF_CHECKED),
              0xFFFFFFFFu);
}

TEST_F(WinTest, CheckMenuItemByPositionAndByCommand) {
    HWND hwnd = createWindow();
    HMENU render = GetSubMenu(GetMenu(hwnd), 2);
    EXPECT_EQ(CheckMenuItem(render, 13, MF_BYPOSITION | MF_UNCHECKED),
              static_cast<DWORD>(MF_CHECKED));
    EXPECT_EQ(GetMenuState(render, 209, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(CheckMenuItem(render, 13, MF_BYPOSITION | MF_CHECKED),
              static_cast<DWORD>(MF_UNCHECKED));
    // By command the whole menu bar is searched, submenus included.
    EXPECT_EQ(CheckMenuItem(GetMenu(hwnd), 105, MF_BYCOMMAND | MF_CHECKED),
              static_cast<DWORD>(MF_UNCHECKED));
    EXPECT_NE(GetMenuState(GetSubMenu(GetMenu(hwnd), 3), 105, MF_BYCOMMAND) & MF_CHECKED, 0u);
}

TEST_F(WinTest, TextExtentAndTopLeftPlacementOnAnOpaqueBackground) {
    HWND hwnd = createWindow();
    present(hwnd, 400, 400, 60);
    HDC dc = GetDC(hwnd);
    HFONT font = CreateFontA(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr);
    HGDIOBJ previous = SelectObject(dc, font);
    EXPECT_NE(previous, nullptr);
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32A(dc, "123fps      ", 12, &extent));
    EXPECT_EQ(extent.cx, 12 * 7);
    EXPECT_EQ(extent.cy, 13);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, RGB(0, 0, 0));
    ASSERT_TRUE(TextOutA(dc, 1, 0, "123fps      ", 12));
    SelectObject(dc, previous);
    DeleteObject(font);
    ReleaseDC(hwnd, dc);

    Picture p = read(hwnd);
    // The opaque background covers exactly the extent; the white glyphs lie inside it.
    RECT black = p.boxOf(RGB(0, 0, 0));
    EXPECT_EQ(black.left, 1);
    EXPECT_EQ(black.top, 0);
    EXPECT_EQ(black.right, 1 + extent.cx);
    EXPECT_EQ(black.bottom, extent.cy);
    RECT white = p.boxOf(RGB(255, 255, 255));
    EXPECT_GE(white.left, 1);
    EXPECT_LE(white.right, 1 + 6 * 7);  // the blanks draw no glyph pixels
    EXPECT_GT(white.right, white.left);
    EXPECT_EQ(p.at(0, 0), RGB(60, 60, 60));
    EXPECT_EQ(p.at(1 + extent.cx, 5), RGB(60, 60, 60));
}

TEST_F(WinTest, ShorterFigureOverwritesTheLongerOneAndPresentClearsText) {
    HWND hwnd = createWindow();
    present(hwnd, 400, 400, 60);
    HDC dc = GetDC(hwnd);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkColor(dc, RGB(0, 0, 0));
    TextOutA(dc, 1, 0, "100fps      ", 12);
    const RECT before = read(hwnd).boxOf(RGB(255, 255, 255));
    TextOutA(dc, 1, 0, "99fps      ", 11);
    ReleaseDC(hwnd, dc);
    const RECT after = read(hwnd).boxOf(RGB(255, 255, 255));
    EXPECT_LT(after.right, before.right);  // no stale digit left behind
    present(hwnd, 400, 400, 60);
    EXPECT_EQ(read(hwnd).boxOf(RGB(255, 255, 255)).right, -1);
}

TEST_F(WinTest, TransparentTextKeepsThePictureAndDrawTextCentres) {
    HWND hwnd = createWindow();
    present(hwnd, 400, 400, 60);
    HDC dc = GetDC(hwnd);
    SetTextColor(dc, RGB(255, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    SetBkColor(dc, RGB(0, 0, 255));
    RECT client;
    GetClientRect(hwnd, &client);
    const char* text = "Initializing Direct3D...";
    const int height = DrawTextA(dc, text, -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    ReleaseDC(hwnd, dc);
    EXPECT_EQ(height, 13);
    Picture p = read(hwnd);
    EXPECT_EQ(p.boxOf(RGB(0, 0, 255)).right, -1);
    RECT red = p.boxOf(RGB(255, 0, 0));
    const int width = 24 * 7;
    EXPECT_GE(red.left, (400 - width) / 2);
    EXPECT_LE(red.right, (400 - width) / 2 + width);
    EXPECT_GE(red.top, (400 - 13) / 2);
    EXPECT_LE(red.bottom, (400 - 13) / 2 + 13);
}

TEST_F(WinTest, TallerFontsScaleAndTextIsClippedToTheClientArea) {
    HWND hwnd = createWindow();
    HDC dc = GetDC(hwnd);
    HFONT big = CreateFontA(26, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    SelectObject(dc, big);
    SIZE extent{};
    GetTextExtentPoint32A(dc, "ab", 2, &extent);
    EXPECT_EQ(extent.cx, 28);
    EXPECT_EQ(extent.cy, 26);
    // Deleting a font still selected leaves the DC on the default font, not a dangling one.
    DeleteObject(big);
    GetTextExtentPoint32A(dc, "ab", 2, &extent);
    EXPECT_EQ(extent.cy, 13);
    SetBkColor(dc, RGB(0, 0, 0));
    EXPECT_TRUE(TextOutA(dc, 390, 395, "far off the edge", 16));
    EXPECT_TRUE(TextOutA(dc, -1000, -1000, "gone", 4));
    EXPECT_FALSE(TextOutA(dc, 0, 0, nullptr, 3));
    ReleaseDC(hwnd, dc);
    Picture p = read(hwnd);
    RECT black = p.boxOf(RGB(0, 0, 0));
    EXPECT_EQ(black.left, 390);
    EXPECT_EQ(black.right, 400);
    EXPECT_EQ(black.bottom, 400);
}

TEST_F(WinTest, PresentedPictureIsCutOrPaddedToTheClientArea) {
    HWND hwnd = createWindow();
    present(hwnd, 500, 100, 200);
    Picture p = read(hwnd);
    ASSERT_EQ(p.width, 400);
    ASSERT_EQ(p.height, 400);
    EXPECT_EQ(p.at(399, 99), RGB(200, 200, 200));
    EXPECT_EQ(p.at(0, 100), RGB(0, 0, 0));
    EXPECT_EQ(p.rgba[3], 255);
    std::vector<unsigned char> none;
    int w = 0, h = 0;
    EXPECT_FALSE(winReadPicture(nullptr, none, w, h));
}

TEST_F(WinTest, FirstPaintShowsTheClassBackground) {
    HWND hwnd = createWindow(false);
    handler() = [](HWND h, UINT message, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (message != WM_PAINT) return 0;
        handled = true;
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(h, &ps);
        RECT r;
        GetClientRect(h, &r);
        DrawTextA(dc, "Initializing Direct3D...", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(h, &ps);
        return 0;
    };
    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    Picture p = read(hwnd);
    EXPECT_EQ(p.at(0, 0), RGB(255, 255, 255));
    RECT black = p.boxOf(RGB(0, 0, 0));
    EXPECT_GT(black.right, black.left);  // black text on the white class background
    EXPECT_GT(black.left, 100);
}

TEST_F(WinTest, ResizingKeepsThePictureWhereItStillFits) {
    HWND hwnd = createWindow();
    present(hwnd, 400, 400, 90);
    winSetClientSize(hwnd, 300, 500);
    Picture p = read(hwnd);
    ASSERT_EQ(p.width, 300);
    ASSERT_EQ(p.height, 500);
    EXPECT_EQ(p.at(299, 399), RGB(90, 90, 90));
    EXPECT_EQ(p.at(0, 400), RGB(255, 255, 255));  // new area: the class background
}
