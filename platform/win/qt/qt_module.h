// The Qt backend as a loadable module: the program opens it only when it is about to open a
// window, so that runs without one never load Qt. The module binds to the program's own
// window-system layer (its windows, queues and state), which the program exports.
#pragma once

// Looked up with dlsym; does what winUseQt does (qt_backend.h), argc and argv kept for the
// application's life. Returns 1 when Qt is now the window system, 0 when no display could
// be reached.
#define SOLLUX_QT_MODULE_ENTRY "solluxUseQtWindows"
extern "C" int solluxUseQtWindows(int* argc, char** argv, int framesPerSecond);
using SolluxUseQtWindows = int (*)(int* argc, char** argv, int framesPerSecond);
