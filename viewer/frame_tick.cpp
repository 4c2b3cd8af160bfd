#include "viewer/frame_tick.h"

#include <chrono>
#include <cstdio>
#include <optional>

#include "platform/rm/d3drm.h"
#include "platform/win/headless.h"
#include "viewer/viewer_state.h"

namespace {

constexpr COLORREF kNoColor = static_cast<COLORREF>(-1);
constexpr double kHeadlessFrameSeconds = 1.0 / 60.0;

std::optional<std::chrono::steady_clock::time_point> previousFrame;
double thisFrameSeconds = kHeadlessFrameSeconds;

// The seconds this frame stands for: in a window the real time since the previous one (a
// 60th for the first), headless a 60th, so that every run of a script is the same.
double frameSeconds() {
    if (!winHasDisplay()) return kHeadlessFrameSeconds;
    const auto now = std::chrono::steady_clock::now();
    const double seconds =
        previousFrame ? std::chrono::duration<double>(now - *previousFrame).count() : kHeadlessFrameSeconds;
    previousFrame = now;
    return seconds;
}

bool hasLetter(const char* anchor, char letter) {
    return anchor[0] == letter || (anchor[0] != '\0' && anchor[1] == letter);
}

}  // namespace

void formatFrameRate(char* out, size_t capacity, unsigned long rate) {
    // The blanks overwrite what is left of a longer earlier figure on the opaque background.
    std::snprintf(out, capacity, "%lufps      ", rate);
}

void forgetPreviousFrame() { previousFrame.reset(); }

double currentFrameSeconds() { return thisFrameSeconds; }

int renderFrame() {
    ViewerState* state = currentState;
    thisFrameSeconds = frameSeconds();
    if (!winHasDisplay()) winAdvanceHeadlessClock(thisFrameSeconds);
    if (state->scene->Move(D3DVAL(1.0)) < 0) return 0;
    if (state->viewport->Clear() < 0) return 0;
    if (state->viewport->Render(state->scene) < 0) return 0;
    if (state->device->Update() < 0) return 0;

    uint32_t now = GetTickCount();
    uint32_t elapsed = now - rateStartTick;
    if (elapsed > 1000) {
        framesPerSecond = static_cast<uint32_t>(uint64_t{frameCount} * 1000u / elapsed);
        frameCount = 0;
        rateStartTick += elapsed;
    }

    if (currentState) {
        char text[256];
        formatFrameRate(text, sizeof text, framesPerSecond);
        HDC dc = GetDC(currentState->window);
        drawAnchoredText(dc, 1, 0, "tl", text, RGB(255, 255, 255), RGB(0, 0, 0), nullptr, 0);
        ReleaseDC(currentState->window, dc);
    }
    ++frameCount;
    return 1;
}

SIZE drawAnchoredText(HDC dc, int x, int y, const char* anchor, const char* text, COLORREF textColor,
                      COLORREF backgroundColor, const char* faceName, int fontHeight) {
    HFONT font = CreateFontA(fontHeight, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, faceName);
    HGDIOBJ previousFont = SelectObject(dc, font);
    SIZE extent{0, 0};
    if (textColor == kNoColor) {
        GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
    } else {
        SetTextColor(dc, textColor);
        if (backgroundColor == kNoColor) {
            SetBkMode(dc, TRANSPARENT);
        } else {
            SetBkMode(dc, OPAQUE);
            SetBkColor(dc, backgroundColor);
        }
        GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
        int left = x - extent.cx / 2;
        int top = y - extent.cy / 2;
        if (anchor && anchor[0] != 'c') {
            if (hasLetter(anchor, 'l'))
                left = x;
            else if (hasLetter(anchor, 'r'))
                left = x - extent.cx;
            if (hasLetter(anchor, 't'))
                top = y;
            else if (hasLetter(anchor, 'b'))
                top = y - extent.cy;
        }
        TextOutA(dc, left, top, text, lstrlenA(text));
    }
    SelectObject(dc, previousFont);
    DeleteObject(font);
    return extent;
}
