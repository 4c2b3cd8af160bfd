// One frame of the main loop: tick the scene, draw it, present it, and write the frame
// rate over the top-left corner of the window.
#pragma once

#include "platform/win/win32.h"

// Nonzero on success; 0 when Move, Clear, Render or Update failed (counters untouched).
// Animations whose files declare a rate advance by this frame's seconds (see
// currentFrameSeconds).
int renderFrame();
// The next frame is taken for the first: a new run of the main loop starts timing afresh.
void forgetPreviousFrame();
// The seconds the frame being drawn stands for, which advance a set with a declared rate by
// that many seconds' ticks: the real time since the previous frame in a window, a 60th of a
// second headless (frame-exact). 1/60 before the first frame.
double currentFrameSeconds();

// Draws `text` placed by `anchor` relative to (x, y) and returns its extent. Anchor: "c"
// first centres both ways; otherwise "l"/"r" and "t"/"b" in either of the first two
// places pick the edge at the point, and a missing letter centres on that axis. A text
// colour of -1 only measures; a background of -1 draws transparently.
SIZE drawAnchoredText(HDC dc, int x, int y, const char* anchor, const char* text, COLORREF textColor,
                      COLORREF backgroundColor, const char* faceName, int fontHeight);

// The overlay text for a frame rate: "%ldfps" and six blanks.
void formatFrameRate(char* out, size_t capacity, unsigned long rate);
