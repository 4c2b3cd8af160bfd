// Early, display-less message boxes; replaced by the modal implementation.
#include <chrono>
#include <cstdio>

#include "platform/win/headless.h"

namespace {
std::vector<WinMessageBoxRecord>& records() {
  static std::vector<WinMessageBoxRecord> all;
  return all;
}
int cursorId = 0;
}  // namespace

const std::vector<WinMessageBoxRecord>& winRecordedMessageBoxes() { return records(); }
void winClearRecordedMessageBoxes() { records().clear(); }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  records().push_back({owner, caption ? caption : "Error", text ? text : "", type});
  std::fprintf(stderr, "%s: %s", caption ? caption : "Error", text ? text : "");
  std::fflush(stderr);
  return IDOK;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) {
  return reinterpret_cast<HCURSOR>(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 32512);
}
HCURSOR SetCursor(HCURSOR cursor) {
  HCURSOR previous = reinterpret_cast<HCURSOR>(static_cast<ULONG_PTR>(cursorId));
  cursorId = static_cast<int>(reinterpret_cast<ULONG_PTR>(cursor));
  return previous;
}
int winCurrentCursorId() { return cursorId; }

DWORD GetTickCount() {
  using namespace std::chrono;
  return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
