// The frame tick's frame-rate figure and the anchored text it is drawn with.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/viewer/viewer_harness.h"
#include "viewer/frame_tick.h"

using namespace harness;

namespace {

// Paints the whole client area one colour, as a device present would.
void presentFlat(unsigned char r, unsigned char g, unsigned char b) {
    RECT client;
    GetClientRect(window(), &client);
    std::vector<unsigned char> rgba(static_cast<size_t>(client.right) * client.bottom * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) {
        rgba[i] = r;
        rgba[i + 1] = g;
        rgba[i + 2] = b;
        rgba[i + 3] = 255;
    }
    winPresentPicture(window(), rgba.data(), client.right, client.bottom);
}

SIZE draw(int x, int y, const char* anchor, const char* text, COLORREF fg = RGB(255, 255, 255),
          COLORREF bg = RGB(0, 0, 0)) {
    HDC dc = GetDC(window());
    SIZE extent = drawAnchoredText(dc, x, y, anchor, text, fg, bg, nullptr, 0);
    ReleaseDC(window(), dc);
    return extent;
}

// Bounding box of the pixels that differ from (r, g, b).
RECT changedBox(const Picture& p, unsigned char r, unsigned char g, unsigned char b) {
    RECT box{p.width, p.height, -1, -1};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const unsigned char* px = p.at(x, y);
            if (px[0] == r && px[1] == g && px[2] == b) continue;
            box.left = std::min<LONG>(box.left, x);
            box.top = std::min<LONG>(box.top, y);
            box.right = std::max<LONG>(box.right, x + 1);
            box.bottom = std::max<LONG>(box.bottom, y + 1);
        }
    return box;
}

std::vector<unsigned char> region(const Picture& p, int width, int height) {
    std::vector<unsigned char> out;
    for (int y = 0; y < height; ++y)
        out.insert(out.end(), p.at(0, y), p.at(0, y) + width * 4);
    return out;
}

}  // namespace

TEST(FrameRate, FigureIsFramesOfTheLastPeriodScaledToOneSecond) {
    std::vector<unsigned long> figures;
    std::vector<Step> steps{[] { winSetTickCount(5000); }};
    steps = steps + repeat(29);
    steps.push_back([] { winSetTickCount(6001); });
    steps.push_back([&] { figures.push_back(framesPerSecond); });
    // Exactly 1000 ms later nothing changes: the period must be longer than a second.
    steps.push_back([] { winSetTickCount(7001); });
    steps.push_back([&] { figures.push_back(framesPerSecond); });
    runViewer(steps);
    // The first frame sees the whole time since start-up and shows 0; the next 29 and
    // it make 30 frames in 1001 ms.
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_EQ(figures[0], 29u);
    EXPECT_EQ(figures[1], 29u);
}

// Headless, the figure counts the time the frames stand for: the same however long the
// frames really take.
TEST(FrameRate, HeadlessFigureIsTheSameHoweverLongFramesTake) {
    std::vector<unsigned long> figures;
    for (int pause : {0, 20}) {
        std::vector<Step> steps{[pause] { std::this_thread::sleep_for(std::chrono::milliseconds(pause)); }};
        steps = steps + repeat(70);
        steps.push_back([&] { figures.push_back(framesPerSecond); });
        runViewer(steps);
    }
    ASSERT_EQ(figures.size(), 2u);
    EXPECT_EQ(figures[0], figures[1]);
    EXPECT_GE(figures[0], 59u);
    EXPECT_LE(figures[0], 60u);
}

TEST(FrameRate, OverlayShowsZeroDuringTheFirstSecond) {
    bool same = false;
    runViewer({[] { winSetTickCount(5000); }, [] {},
               [&] {
                   // Drawing the expected text again over the frame's overlay changes nothing.
                   Picture before = picture();
                   char text[64];
                   formatFrameRate(text, sizeof text, 0);
                   SIZE extent = draw(1, 0, "tl", text);
                   Picture after = picture();
                   same = region(before, extent.cx + 1, extent.cy) == region(after, extent.cx + 1, extent.cy);
                   EXPECT_EQ(framesPerSecond, 0u);
                   // White text on black in the top-left corner.
                   bool white = false;
                   for (int y = 0; y < extent.cy; ++y)
                       for (int x = 1; x <= extent.cx; ++x)
                           white |= after.at(x, y)[0] == 255 && after.at(x, y)[1] == 255 && after.at(x, y)[2] == 255;
                   EXPECT_TRUE(white);
               }});
    EXPECT_TRUE(same);
}

TEST(FrameRate, OverlayTextHasTheFigureAndSixBlanks) {
    char text[64];
    formatFrameRate(text, sizeof text, 0);
    EXPECT_STREQ(text, "0fps      ");
    formatFrameRate(text, sizeof text, 4294967295u);
    EXPECT_STREQ(text, "4294967295fps      ");
}

TEST(AnchoredText, ShorterFigureLeavesNoStaleDigit) {
    bool same = false;
    runViewer({[&] {
        presentFlat(0, 0, 0);
        draw(1, 0, "tl", "99fps      ");
        Picture fresh = picture();
        presentFlat(0, 0, 0);
        draw(1, 0, "tl", "100fps      ");
        draw(1, 0, "tl", "99fps      ");
        same = fresh.rgba == picture().rgba;
    }});
    EXPECT_TRUE(same);
}

TEST(AnchoredText, AnchorsPlaceTheTextAroundThePoint) {
    runViewer({[] {
        struct Case {
            const char* anchor;
            int x, y;
        };
        // Expected top-left corner as a function of the extent.
        auto expectAt = [](const char* anchor, int x, int y, auto left, auto top) {
            presentFlat(0, 0, 0);
            SIZE e = draw(x, y, anchor, "Wg", RGB(255, 255, 255), RGB(0, 0, 255));
            RECT box = changedBox(picture(), 0, 0, 0);
            // The opaque background fills the whole extent, so the box is exact.
            EXPECT_EQ(box.left, left(e)) << (anchor ? anchor : "null");
            EXPECT_EQ(box.top, top(e)) << (anchor ? anchor : "null");
            EXPECT_EQ(box.right - box.left, e.cx) << (anchor ? anchor : "null");
            EXPECT_EQ(box.bottom - box.top, e.cy) << (anchor ? anchor : "null");
        };
        expectAt("tl", 1, 0, [](SIZE) { return 1; }, [](SIZE) { return 0; });
        expectAt("lt", 1, 0, [](SIZE) { return 1; }, [](SIZE) { return 0; });
        expectAt("br", 200, 150, [](SIZE e) { return 200 - e.cx; }, [](SIZE e) { return 150 - e.cy; });
        expectAt("c", 200, 150, [](SIZE e) { return 200 - e.cx / 2; }, [](SIZE e) { return 150 - e.cy / 2; });
        expectAt(nullptr, 200, 150, [](SIZE e) { return 200 - e.cx / 2; }, [](SIZE e) { return 150 - e.cy / 2; });
        // "cl": the c counts only in first place; l still puts the left edge at x.
        expectAt("lc", 100, 150, [](SIZE) { return 100; }, [](SIZE e) { return 150 - e.cy / 2; });
        expectAt("b", 100, 150, [](SIZE e) { return 100 - e.cx / 2; }, [](SIZE e) { return 150 - e.cy; });
    }});
}

TEST(AnchoredText, NoTextColourOnlyMeasuresAndNoBackgroundIsTransparent) {
    runViewer({[] {
        presentFlat(200, 0, 0);
        Picture before = picture();
        HDC dc = GetDC(window());
        SIZE measured = drawAnchoredText(dc, 10, 10, "tl", "12345", static_cast<COLORREF>(-1), RGB(0, 0, 0),
                                         nullptr, 0);
        SIZE expected{};
        GetTextExtentPoint32A(dc, "12345", 5, &expected);
        ReleaseDC(window(), dc);
        EXPECT_EQ(measured.cx, expected.cx);
        EXPECT_EQ(measured.cy, expected.cy);
        EXPECT_GT(measured.cx, 0);
        EXPECT_EQ(picture().rgba, before.rgba);

        draw(10, 10, "tl", "12345", RGB(255, 255, 255), static_cast<COLORREF>(-1));
        Picture after = picture();
        int white = 0, other = 0;
        for (int y = 0; y < after.height; ++y)
            for (int x = 0; x < after.width; ++x) {
                const unsigned char* px = after.at(x, y);
                if (px[0] == 255 && px[1] == 255 && px[2] == 255) ++white;
                else if (!(px[0] == 200 && px[1] == 0 && px[2] == 0)) ++other;
            }
        EXPECT_GT(white, 0);
        EXPECT_EQ(other, 0);  // no background box
    }});
}
