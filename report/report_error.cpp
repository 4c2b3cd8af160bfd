#include "report/report_error.h"

#include <cstdarg>

#include "platform/win/win32.h"

namespace {
constexpr int kMessageSize = 256;
constexpr char kLineEnd[] = "\r\n";
}  // namespace

int reportError(const char* format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    // Leave room for the line end so a long message is cut, never overflowed.
    wvnsprintfA(message, kMessageSize - (sizeof(kLineEnd) - 1), format, args);
    va_end(args);
    lstrcatA(message, kLineEnd);
    return MessageBoxA(nullptr, message, "Viewer Message", MB_OK);
}
