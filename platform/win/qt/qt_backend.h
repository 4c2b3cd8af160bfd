// The Qt 6 Widgets backend of the window-system layer: a real window with a menu bar,
// native-looking dialogs and input from the keyboard and mouse.
#pragma once

// Creates the QApplication (unless one exists) and makes Qt the window system for every
// window created from now on. Returns false, leaving the headless backend in place, when
// no display can be reached (no DISPLAY or WAYLAND_DISPLAY and no QT_QPA_PLATFORM).
// The outer size asked of CreateWindowExA is the window's size inside the decorations of the
// window manager, menu bar included; the client area is what lies below the menu bar.
bool winUseQt(int& argc, char** argv);
