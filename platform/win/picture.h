// The window's client-area picture. The drawing device renders off screen and hands each
// finished frame to the window system here; GDI text (TextOutA, DrawTextA) is drawn over
// it and stays until the next present. The same picture is kept with and without a
// display: the Qt backend shows it 1:1 in the client area.
#pragma once

#include <vector>

#include "platform/win/win32.h"

// rgba: width x height pixels, top-down rows, RGBA8 (alpha ignored: the window is opaque).
// A window whose client size differs from the picture shows it from the top-left corner,
// cut or padded with black.
void winPresentPicture(HWND hwnd, const unsigned char* rgba, int width, int height);

// The client-area picture as shown (last present plus GDI text), RGBA8 top-down, sized to
// the client area. False for an unknown window or an empty client area.
bool winReadPicture(HWND hwnd, std::vector<unsigned char>& rgba, int& width, int& height);
