#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/win/picture.h"
#include "platform/win/resources.h"
#include "tests/platform/win/win_test_support.h"

TEST_F(WinTest, FirstPaintArrivesInsideUpdateWindowAndIsNotRepeated) {
    HWND hwnd = createWindow(false);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOWNORMAL);
    EXPECT_TRUE(seenOf(WM_PAINT).empty());  // ShowWindow alone does not paint
    UpdateWindow(hwnd);
    ASSERT_EQ(seenOf(WM_PAINT).size(), 1u);
    // The default handling validated the window: nothing more to paint.
    EXPECT_FALSE(GetUpdateRect(hwnd, nullptr, FALSE));
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WinTest, UnvalidatedWindowKeepsGettingPaintFromTheQueue) {
    HWND hwnd = createWindow();
    InvalidateRect(hwnd, nullptr, FALSE);
    RECT r;
    ASSERT_TRUE(GetUpdateRect(hwnd, &r, FALSE));
    EXPECT_EQ(r.right, 400);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_PAINT));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // still invalid
    DispatchMessageA(&msg);                                     // DefWindowProcA validates
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WinTest, SetWindowPosSendsSizeBeforeReturning) {
    HWND hwnd = createWindow();
    RECT outer;
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.right - outer.left, 400);
    EXPECT_EQ(outer.left, 312);
    SetWindowPos(hwnd, nullptr, 0, 0, outer.right - outer.left + 1, outer.bottom - outer.top + 1,
                 SWP_NOMOVE);
    auto sizes = seenOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(LOWORD(sizes[0].lParam), 401);
    EXPECT_EQ(HIWORD(sizes[0].lParam), 401);
    EXPECT_TRUE(seenOf(WM_MOVE).empty());
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.left, 312);
    EXPECT_EQ(outer.right, 312 + 401);
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, 401);
}

TEST_F(WinTest, LockedClientSizeStaysWhileSizeIsStillReported) {
    winUseHeadless(320, 200, true);
    HWND hwnd = createWindow();
    SetWindowPos(hwnd, nullptr, 0, 0, 401, 401, SWP_NOMOVE);
    auto sizes = seenOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(LOWORD(sizes[0].lParam), 320);
    EXPECT_EQ(HIWORD(sizes[0].lParam), 200);
}

TEST_F(WinTest, MinimiseReportsEmptySizeAndRestoreReportsTheClientSize) {
    HWND hwnd = createWindow();
    ShowWindow(hwnd, SW_MINIMIZE);
    ShowWindow(hwnd, SW_RESTORE);
    winSetClientSize(hwnd, 0, 0);
    winSetClientSize(hwnd, 300, 250);
    auto sizes = seenOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 4u);
    EXPECT_EQ(sizes[0].wParam, static_cast<WPARAM>(SIZE_MINIMIZED));
    EXPECT_EQ(sizes[0].lParam, 0);
    EXPECT_EQ(LOWORD(sizes[1].lParam), 400);
    EXPECT_EQ(sizes[2].lParam, 0);
    EXPECT_EQ(LOWORD(sizes[3].lParam), 300);
    EXPECT_EQ(HIWORD(sizes[3].lParam), 250);
}

TEST_F(WinTest, AcceleratorsBecomeCommandsAndSwallowTheKey) {
    HWND hwnd = createWindow();
    struct Case {
        std::vector<UINT> held;
        UINT key;
        int command;
    };
    const Case cases[] = {
        {{VK_CONTROL}, 'O', 7},         {{}, VK_DELETE, 103},         {{VK_SHIFT}, VK_DELETE, 100},
        {{VK_CONTROL}, VK_INSERT, 101}, {{VK_SHIFT}, VK_INSERT, 102}, {{VK_CONTROL}, 'A', 1},
        {{VK_CONTROL}, 'B', 105},       {{VK_CONTROL}, 'C', 101},     {{VK_CONTROL}, 'D', 209},
        {{VK_CONTROL}, 'F', 204},       {{VK_CONTROL}, 'G', 205},     {{VK_CONTROL}, 'H', 206},
        {{VK_CONTROL}, 'L', 200},       {{VK_CONTROL}, 'M', 207},     {{VK_CONTROL}, 'P', 201},
        {{VK_CONTROL}, 'R', 208},       {{VK_CONTROL}, 'S', 203},     {{VK_CONTROL}, 'V', 102},
        {{VK_CONTROL}, 'W', 202},       {{VK_CONTROL}, 'X', 100},     {{VK_CONTROL, VK_SHIFT}, 'S', 602},
    };
    for (const Case& c : cases) {
        seen().clear();
        for (UINT k : c.held) winPostKey(hwnd, k, true);
        winPostKey(hwnd, c.key, true);
        winPostKey(hwnd, c.key, false);
        for (UINT k : c.held) winPostKey(hwnd, k, false);
        EXPECT_EQ(pump(), -1);
        EXPECT_EQ(commands(), std::vector<int>{c.command}) << "key " << c.key;
        for (const auto& m : seenOf(WM_KEYDOWN))
            EXPECT_NE(m.wParam, static_cast<WPARAM>(c.key)) << "key not swallowed";
    }
}

TEST_F(WinTest, AnyRegisteredAcceleratorTableTranslatesAndReRegisteringKeepsItsHandle) {
    HWND hwnd = createWindow();
    winRegisterAccelerators("OtherAccel", {{FVIRTKEY | FNOINVERT | FALT, 'Q', 42}});
    HACCEL other = LoadAcceleratorsA(GetModuleHandleA(nullptr), "otheraccel");
    ASSERT_NE(other, nullptr);
    winPostKey(hwnd, 'Q', true);  // Q without Alt is no accelerator of it
    EXPECT_EQ(pump(other), -1);
    EXPECT_TRUE(commands().empty());
    winRegisterAccelerators("OtherAccel", {{FVIRTKEY | FNOINVERT, 'Q', 43}});
    EXPECT_EQ(LoadAcceleratorsA(GetModuleHandleA(nullptr), "OtherAccel"), other);
    winPostKey(hwnd, 'Q', true);
    EXPECT_EQ(pump(other), -1);
    EXPECT_EQ(commands(), std::vector<int>{43});
    // A handle that is no registered table translates nothing.
    std::vector<ACCEL> stray = {{FVIRTKEY | FNOINVERT, 'Q', 44}};
    seen().clear();
    winPostKey(hwnd, 'Q', true);
    EXPECT_EQ(pump(reinterpret_cast<HACCEL>(&stray)), -1);
    EXPECT_TRUE(commands().empty());
}

TEST_F(WinTest, KeysWithoutAnAcceleratorReachTheProcedure) {
    HWND hwnd = createWindow();
    // Plain letters, Ctrl+Delete and Ctrl+Shift+O are not in the table.
    winPostKey(hwnd, 'O', true);
    winPostKey(hwnd, VK_ADD, true);
    winPostKey(hwnd, VK_ADD, true, true);  // auto-repeat
    winPostKey(hwnd, VK_CONTROL, true);
    winPostKey(hwnd, VK_DELETE, true);
    winPostKey(hwnd, VK_SHIFT, true);
    winPostKey(hwnd, 'O', true);
    pump();
    EXPECT_TRUE(commands().empty());
    std::vector<WPARAM> keys;
    for (const auto& m : seenOf(WM_KEYDOWN)) keys.push_back(m.wParam);
    EXPECT_EQ(keys,
              (std::vector<WPARAM>{'O', VK_ADD, VK_ADD, VK_CONTROL, VK_DELETE, VK_SHIFT, 'O'}));
    EXPECT_NE(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
    winPostKey(hwnd, VK_SHIFT, false);
    EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
}

TEST_F(WinTest, QuitEndsTheLoopWithItsCodeAfterEarlierMessages) {
    HWND hwnd = createWindow();
    PostMessageA(hwnd, WM_USER, 1, 0);
    PostQuitMessage(3);
    PostMessageA(hwnd, WM_USER, 2, 0);
    // Posted messages come first; the quit message only when nothing else waits.
    EXPECT_EQ(pump(), 3);
    EXPECT_EQ(seenOf(WM_USER).size(), 2u);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));  // never blocks
}

TEST_F(WinTest, CloseBoxDestroysTheWindowAndQuitsWithZero) {
    HWND hwnd = createWindow();
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(pump(), 0);
    EXPECT_FALSE(IsWindow(hwnd));
    ASSERT_FALSE(seenOf(WM_DESTROY).empty());
    EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
}

TEST_F(WinTest, MessageBoxRunsALoopThatReentersTheProcedureWithoutAccelerators) {
    HWND hwnd = createWindow();
    handler() = [](HWND h, UINT message, WPARAM wParam, LPARAM, bool& handled) -> LRESULT {
        if (message == WM_COMMAND && LOWORD(wParam) == 7) {
            handled = true;
            MessageBoxA(nullptr, "Loading a.x failed.\n\r\n", "Viewer Message", MB_OK);
            PostMessageA(h, WM_USER, 99, 0);  // after the box closed
        }
        return 0;
    };
    winSetMessageBoxHook([hwnd](const WinMessageBoxRecord& box) {
        EXPECT_EQ(box.caption, "Viewer Message");
        winPostKey(hwnd, VK_CONTROL, true);
        winPostKey(hwnd, 'O', true);  // an accelerator, but nobody translates it now
        winPostKey(hwnd, 'O', false);
        winPostKey(hwnd, VK_CONTROL, false);
        winPostMouse(hwnd, WM_LBUTTONDOWN, 10, 20, MK_LBUTTON);
        return IDOK;
    });
    winPostKey(hwnd, VK_CONTROL, true);
    winPostKey(hwnd, 'O', true);
    winPostKey(hwnd, VK_CONTROL, false);
    pump();
    ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
    EXPECT_EQ(winRecordedMessageBoxes()[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(commands(), std::vector<int>{7});  // only the first Ctrl+O became a command
    // The keys and the click pressed while the box was open reached the procedure inside it.
    bool sawNestedO = false;
    for (const auto& m : seenOf(WM_KEYDOWN)) {
        if (m.wParam == 'O') {
            sawNestedO = true;
            EXPECT_GT(m.modalDepth, 0);
        }
    }
    EXPECT_TRUE(sawNestedO);
    auto clicks = seenOf(WM_LBUTTONDOWN);
    ASSERT_EQ(clicks.size(), 1u);
    EXPECT_EQ(GET_X_LPARAM(clicks[0].lParam), 10);
    EXPECT_EQ(GET_Y_LPARAM(clicks[0].lParam), 20);
    EXPECT_EQ(clicks[0].wParam, static_cast<WPARAM>(MK_LBUTTON));
    ASSERT_EQ(seenOf(WM_USER).size(), 1u);
    EXPECT_EQ(seenOf(WM_USER)[0].modalDepth, 0);
}

TEST_F(WinTest, QuitTakenInsideABoxClosesItAndReachesTheOuterLoop) {
    HWND hwnd = createWindow();
    winSetMessageBoxHook([hwnd](const WinMessageBoxRecord&) {
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        return IDOK;
    });
    EXPECT_EQ(MessageBoxA(hwnd, "text", nullptr, MB_OK), IDOK);
    EXPECT_EQ(winRecordedMessageBoxes().back().caption, "Error");
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(pump(), 0);
}

TEST_F(WinTest, WindowExtraMemoryHoldsAPointerAndTheInstance) {
    HWND hwnd = createWindow();
    int target = 0;
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), 0);
    SetWindowLongPtrA(hwnd, 0, reinterpret_cast<LONG_PTR>(&target));
    EXPECT_EQ(reinterpret_cast<int*>(GetWindowLongPtrA(hwnd, 0)), &target);
    EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hwnd, GWLP_HINSTANCE)),
              GetModuleHandleA(nullptr));
    // Out of range indexes read nothing and write nothing.
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 64, 5), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 64), 0);
    EXPECT_EQ(GetWindowLongA(nullptr, 0), 0);
}

TEST_F(WinTest, WorkAreaDepthCursorsAndCapture) {
    HWND hwnd = createWindow();
    winSetWorkArea(RECT{0, 0, 1280, 984});
    RECT area{};
    ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0));
    EXPECT_EQ(area.right, 1280);
    winSetBitsPerPixel(24);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(GetDeviceCaps(screen, BITSPIXEL), 24);
    ReleaseDC(nullptr, screen);

    HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));
    HCURSOR saved = SetCursor(wait);
    EXPECT_EQ(winCurrentCursorId(), 32514);
    SetCursor(saved);
    EXPECT_EQ(winCurrentCursorId(), 32512);
    EXPECT_EQ(LoadCursorA(nullptr, "NoSuchCursor"), nullptr);

    SetCapture(hwnd);
    EXPECT_EQ(GetCapture(), hwnd);
    ReleaseCapture();
    EXPECT_EQ(GetCapture(), nullptr);
}

TEST_F(WinTest, DroppedFilesAreReadBoundedAndReleased) {
    HWND hwnd = createWindow();
    winPostDropFiles(hwnd, {"/tmp/a model.x"});
    pump();
    EXPECT_TRUE(seenOf(WM_DROPFILES).empty());  // the window did not ask for drops
    DragAcceptFiles(hwnd, TRUE);
    winPostDropFiles(hwnd, {"/tmp/a model.x", "/tmp/b.rok"});
    pump();
    auto drops = seenOf(WM_DROPFILES);
    ASSERT_EQ(drops.size(), 1u);
    HDROP drop = reinterpret_cast<HDROP>(drops[0].wParam);
    EXPECT_EQ(DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0), 2u);
    EXPECT_EQ(DragQueryFileA(drop, 0, nullptr, 0), 14u);
    char small[8];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(DragQueryFileA(drop, 0, small, sizeof small), 7u);
    EXPECT_STREQ(small, "/tmp/a ");
    char path[260];
    EXPECT_EQ(DragQueryFileA(drop, 1, path, sizeof path), 10u);
    EXPECT_STREQ(path, "/tmp/b.rok");
    EXPECT_EQ(DragQueryFileA(drop, 2, path, sizeof path), 0u);
    DragFinish(drop);
    EXPECT_EQ(DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0), 0u);
}

TEST_F(WinTest, MessageHookSeesEveryMessageTakenBeforeTranslation) {
    HWND hwnd = createWindow();
    std::vector<UINT> taken;
    winSetMessageHook([&](const MSG& m) { taken.push_back(m.message); });
    winPostKey(hwnd, VK_CONTROL, true);
    winPostKey(hwnd, 'O', true);
    pump();
    EXPECT_EQ(taken, (std::vector<UINT>{WM_KEYDOWN, WM_KEYDOWN}));
    EXPECT_EQ(commands(), std::vector<int>{7});
}

TEST_F(WinTest, HeadlessBoxAnswersEvenWhenMessagesKeepComing) {
    HWND hwnd = createWindow();
    handler() = [](HWND h, UINT message, WPARAM, LPARAM, bool& handled) -> LRESULT {
        if (message == WM_USER) {
            handled = true;
            PostMessageA(h, WM_USER, 0, 0);  // never lets the queue run dry
        }
        return 0;
    };
    PostMessageA(hwnd, WM_USER, 0, 0);
    EXPECT_EQ(MessageBoxA(nullptr, "still answered", "Viewer Message", MB_OK), IDOK);
    EXPECT_EQ(winModalDepth(), 0);
    handler() = nullptr;
}

// A window picture that cannot be had (here: the address space is capped) leaves the window
// without one; the size still reaches the window procedure, whose own allocations then fail
// and are reported there. No std::bad_alloc escapes. Run in a child process for the cap.
TEST_F(WinTest, ResizeWithoutMemoryForThePictureLeavesNoneAndStillReportsTheSize) {
#ifdef SOLLUX_SANITIZED
    GTEST_SKIP() << "an address-space limit leaves the sanitizer no room for its shadow";
#endif
    HWND hwnd = createWindow();
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    ASSERT_TRUE(winReadPicture(hwnd, rgba, width, height));
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit cap{};
        getrlimit(RLIMIT_AS, &cap);
        long pages = 0, resident = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) pages = 0;
            std::fclose(f);
        }
        cap.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64 << 20);
        if (pages == 0 || setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
        try {
            winSetClientSize(hwnd, 8192, 8192);  // 256 MB of picture
        } catch (...) {
            _exit(4);
        }
        const auto sizes = seenOf(WM_SIZE);
        const bool sizeSeen = !sizes.empty() && LOWORD(sizes.back().lParam) == 8192;
        _exit(!winReadPicture(hwnd, rgba, width, height) && sizeSeen ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
