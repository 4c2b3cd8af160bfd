// The Qt 6 Widgets backend of the window-system layer: a real window with a menu bar,
// native-looking dialogs and input from the keyboard and mouse.
#pragma once

// Creates the QApplication (unless one exists) and makes Qt the window system for every
// window created from now on. Returns false, leaving the headless backend in place, when
// no display can be reached (no DISPLAY or WAYLAND_DISPLAY and no QT_QPA_PLATFORM).
// The outer size asked of CreateWindowExA is the window's size inside the decorations of the
// window manager, menu bar included; the client area is what lies below the menu bar.
// framesPerSecond paces the windows' frames: at most that many are presented a second
// (a frame waits for its slot, as under vertical sync); 0 leaves them unpaced, and a
// negative value follows the screen's refresh rate (60 Hz when the screen reports none).
bool winUseQt(int& argc, char** argv, int framesPerSecond = -1);
