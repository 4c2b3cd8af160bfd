#include "platform/win/qt/qt_module.h"

#include "platform/win/qt/qt_backend.h"

extern "C" __attribute__((visibility("default"))) int solluxUseQtWindows(int* argc, char** argv,
                                                                          int framesPerSecond) {
    return winUseQt(*argc, argv, framesPerSecond) ? 1 : 0;
}
