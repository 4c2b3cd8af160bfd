// Window classes, windows, the message queue and input state.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>

#include "platform/win/win_internal.h"

namespace win {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool matchesFilter(const MSG& m, HWND hwnd, UINT first, UINT last) {
    if (hwnd != nullptr && m.hwnd != hwnd) return false;
    if (first == 0 && last == 0) return true;
    return m.message >= first && m.message <= last;
}

DWORD messageTime() { return GetTickCount(); }

void trackKey(std::array<bool, 256>& keys, const MSG& m) {
    if (m.message == WM_KEYDOWN || m.message == WM_SYSKEYDOWN) keys[m.wParam & 0xff] = true;
    if (m.message == WM_KEYUP || m.message == WM_SYSKEYUP) keys[m.wParam & 0xff] = false;
}

// A window with something to paint gets WM_PAINT when the queue has nothing else.
Window* windowNeedingPaint(HWND filter) {
    for (auto& [id, w] : state().windows) {
        if (w->updatePending && w->visible && !w->minimized &&
            (filter == nullptr || filter == w->handle())) {
            return w.get();
        }
    }
    return nullptr;
}

}  // namespace

bool Backend::asyncKeyDown(int vk) { return vk >= 0 && vk < 256 && state().asyncKeys[vk]; }

State& state() {
    static State s;
    return s;
}

Backend& backend() {
    State& s = state();
    if (!s.backend) s.backend = makeHeadlessBackend(400, 400, false);
    return *s.backend;
}

void setBackend(std::unique_ptr<Backend> b) { state().backend = std::move(b); }

Window* windowFrom(HWND hwnd) {
    auto& windows = state().windows;
    auto it = windows.find(reinterpret_cast<UINT_PTR>(hwnd));
    return it == windows.end() ? nullptr : it->second.get();
}

void postInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN || message == WM_SYSKEYDOWN) state().asyncKeys[wParam & 0xff] = true;
    if (message == WM_KEYUP || message == WM_SYSKEYUP) state().asyncKeys[wParam & 0xff] = false;
    PostMessageA(hwnd, message, wParam, lParam);
}

bool hasQueuedMessages() {
    std::lock_guard lock(state().queueMutex);
    return !state().queue.empty() || state().quitPending;
}

bool paintPending() { return windowNeedingPaint(nullptr) != nullptr; }

bool runModalLoop(const std::function<bool()>& done) {
    State& s = state();
    ++s.modalDepth;
    bool quit = false;
    int code = 0;
    while (!done()) {
        MSG m;
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                quit = true;
                code = static_cast<int>(m.wParam);
                break;
            }
            TranslateMessage(&m);
            DispatchMessageA(&m);
        } else {
            backend().waitEvents(5);
        }
    }
    --s.modalDepth;
    if (quit) PostQuitMessage(code);
    return !quit;
}

bool resizePicture(Window& w) {
    const int width = std::max(0, w.clientWidth), height = std::max(0, w.clientHeight);
    const size_t needed = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    if (w.picture.size() == needed && w.pictureWidth == static_cast<size_t>(width)) return true;
    // Keep what was drawn where it still fits; new area shows the class background.
    std::vector<unsigned char> fresh;
    try {
        fresh.resize(needed);
    } catch (const std::bad_alloc&) {
        // No memory for a picture this large: the window has none (drawing into it is
        // skipped) until a later resize or present gets one; the viewer's device, which
        // needs as much, fails and says so.
        std::vector<unsigned char>().swap(w.picture);
        w.pictureWidth = w.pictureHeight = 0;
        return false;
    }
    const unsigned char r = GetRValue(w.background), g = GetGValue(w.background),
                        b = GetBValue(w.background);
    for (size_t i = 0; i < needed; i += 4) {
        fresh[i] = r;
        fresh[i + 1] = g;
        fresh[i + 2] = b;
        fresh[i + 3] = 255;
    }
    const size_t oldWidth = w.pictureWidth, oldHeight = w.pictureHeight;
    if (w.picture.size() == oldWidth * oldHeight * 4) {
        const size_t rowBytes = std::min<size_t>(oldWidth, static_cast<size_t>(width)) * 4;
        for (size_t y = 0; y < std::min<size_t>(oldHeight, static_cast<size_t>(height)); ++y) {
            std::memcpy(fresh.data() + y * static_cast<size_t>(width) * 4,
                        w.picture.data() + y * oldWidth * 4, rowBytes);
        }
    }
    w.picture.swap(fresh);
    w.pictureWidth = static_cast<size_t>(width);
    w.pictureHeight = static_cast<size_t>(height);
    return true;
}

void invalidateAll(Window& w, bool erase) {
    w.updatePending = true;
    w.erasePending = w.erasePending || erase;
    w.updateRect = RECT{0, 0, w.clientWidth, w.clientHeight};
}

void setClientSize(Window& w, int width, int height, bool sendSize) {
    w.clientWidth = std::max(0, width);
    w.clientHeight = std::max(0, height);
    resizePicture(w);
    if (w.classStyle & (CS_HREDRAW | CS_VREDRAW)) invalidateAll(w, true);
    if (sendSize) {
        const WPARAM kind = w.minimized ? SIZE_MINIMIZED : SIZE_RESTORED;
        const int cw = w.minimized ? 0 : w.clientWidth, ch = w.minimized ? 0 : w.clientHeight;
        SendMessageA(w.handle(), WM_SIZE, kind, MAKELPARAM(cw, ch));
    }
}

}  // namespace win

using namespace win;

// ---- process and time ------------------------------------------------------------------

HINSTANCE GetModuleHandleA(LPCSTR) {
    return reinterpret_cast<HINSTANCE>(static_cast<UINT_PTR>(0x400000));
}

DWORD GetTickCount() {
    if (state().fixedTick) return *state().fixedTick;
    if (!winHasDisplay()) return static_cast<DWORD>(state().headlessSeconds * 1000);
    using namespace std::chrono;
    return static_cast<DWORD>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
    std::error_code ec;
    const std::string cwd = std::filesystem::current_path(ec).string();
    if (ec) return 0;
    if (buffer == nullptr || bufferLength <= cwd.size()) return static_cast<DWORD>(cwd.size() + 1);
    std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return static_cast<DWORD>(cwd.size());
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (path == nullptr) return FALSE;
    std::error_code ec;
    std::filesystem::current_path(path, ec);
    return ec ? FALSE : TRUE;
}

void OutputDebugStringA(LPCSTR) {}

// ---- classes and windows ---------------------------------------------------------------

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr) return 0;
    if (wc->cbWndExtra < 0 || wc->cbClsExtra < 0 || wc->cbWndExtra > 40) return 0;
    State& s = state();
    const std::string key = lower(wc->lpszClassName);
    if (s.classes.count(key) != 0) return 0;  // already registered
    WNDCLASSA copy = *wc;
    s.classNames[key] = wc->lpszClassName;
    s.classMenuNames[key] = wc->lpszMenuName == nullptr ? "" : resourceName(wc->lpszMenuName);
    copy.lpszClassName = s.classNames[key].c_str();
    copy.lpszMenuName = nullptr;
    s.classes[key] = copy;
    return static_cast<ATOM>(0xC000 + s.classes.size());
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    if (className == nullptr) return FALSE;
    return state().classes.erase(lower(className)) != 0 ? TRUE : FALSE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    State& s = state();
    if (className == nullptr) return nullptr;
    const std::string key = lower(className);
    auto cls = s.classes.find(key);
    if (cls == s.classes.end()) return nullptr;
    auto w = std::make_unique<Window>();
    w->id = s.nextWindowId++;
    w->className = s.classNames[key];
    w->owner = windowFrom(parent) != nullptr ? parent : nullptr;
    w->proc = cls->second.lpfnWndProc;
    w->title = windowName == nullptr ? "" : windowName;
    w->style = style;
    w->exStyle = exStyle;
    w->instance = instance;
    w->icon = cls->second.hIcon;
    w->classStyle = cls->second.style;
    w->acceptFiles = (exStyle & WS_EX_ACCEPTFILES) != 0;
    if (cls->second.hbrBackground == reinterpret_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)))
        w->background = 0;
    // Extra memory rounded up to whole LONG_PTRs, so a pointer fits in slot 0.
    const size_t extra = (static_cast<size_t>(cls->second.cbWndExtra) + sizeof(LONG_PTR) - 1) /
                         sizeof(LONG_PTR) * sizeof(LONG_PTR);
    w->extra.assign(extra, 0);
    if (menu != nullptr) {
        w->menu = takeLoadedMenu(menu);
    } else if (!s.classMenuNames[key].empty()) {
        w->menu = loadMenuTemplate(s.classMenuNames[key]);
    }
    if (x == CW_USEDEFAULT) x = 0, y = 0;
    if (width == CW_USEDEFAULT) width = 400, height = 400;
    w->outer = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
    Window& ref = *w;
    HWND hwnd = w->handle();
    s.windows.emplace(w->id, std::move(w));
    // A desktop shows the class cursor over a new window; with none shown yet it becomes
    // the current one, so that code which puts up the wait cursor can put it back.
    if (s.cursorId == 0 && cls->second.hCursor != nullptr) SetCursor(cls->second.hCursor);
    backend().windowCreated(ref);
    resizePicture(ref);
    invalidateAll(ref, true);

    CREATESTRUCTA cs{
        param,      instance,  menu,   nullptr, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    if (windowFrom(hwnd) == nullptr) return nullptr;
    if (SendMessageA(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (windowFrom(hwnd) == nullptr) return nullptr;
    if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || w->destroying) return FALSE;
    State& s = state();
    w->destroying = true;
    w->visible = false;
    SendMessageA(hwnd, WM_DESTROY, 0, 0);
    SendMessageA(hwnd, WM_NCDESTROY, 0, 0);
    if (s.capture == hwnd) s.capture = nullptr;
    if (s.focus == hwnd) s.focus = nullptr;
    if (s.active == hwnd) s.active = nullptr;
    w = windowFrom(hwnd);
    if (w != nullptr) {
        backend().windowDestroyed(*w);
        s.windows.erase(w->id);
    }
    {
        // Messages still queued for the window are dropped, as they are with Win32.
        std::lock_guard lock(s.queueMutex);
        std::erase_if(s.queue, [&](const MSG& m) { return m.hwnd == hwnd; });
    }
    return TRUE;
}

BOOL IsWindow(HWND hwnd) { return windowFrom(hwnd) != nullptr ? TRUE : FALSE; }

BOOL IsIconic(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    return w != nullptr && w->minimized ? TRUE : FALSE;
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    const BOOL wasVisible = w->visible ? TRUE : FALSE;
    const bool wasMinimized = w->minimized;
    switch (cmdShow) {
        case SW_HIDE:
            w->visible = false;
            break;
        case SW_MINIMIZE:
        case SW_SHOWMINIMIZED:
        case SW_SHOWMINNOACTIVE:
            w->visible = true;
            w->minimized = true;
            break;
        default:
            w->visible = true;
            if (cmdShow == SW_RESTORE || cmdShow == SW_SHOWNORMAL || cmdShow == SW_SHOWDEFAULT ||
                cmdShow == SW_SHOWMAXIMIZED) {
                w->minimized = false;
            }
            break;
    }
    backend().windowShown(*w);
    if ((w = windowFrom(hwnd)) == nullptr) return wasVisible;
    if (w->visible && !w->shownOnce) {
        w->shownOnce = true;
        invalidateAll(*w, true);
        SendMessageA(hwnd, WM_SHOWWINDOW, TRUE, 0);
        if (cmdShow != SW_SHOWNA && cmdShow != SW_SHOWNOACTIVATE && cmdShow != SW_SHOWMINNOACTIVE) {
            state().active = hwnd;
            state().focus = hwnd;
            SendMessageA(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
        }
        if ((w = windowFrom(hwnd)) != nullptr)
            setClientSize(*w, w->clientWidth, w->clientHeight, true);
    } else if (w->minimized != wasMinimized) {
        setClientSize(*w, w->clientWidth, w->clientHeight, true);
    }
    return wasVisible;
}

BOOL UpdateWindow(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    if (w->updatePending && w->visible) SendMessageA(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    RECT r = rect != nullptr ? *rect : RECT{0, 0, w->clientWidth, w->clientHeight};
    if (w->updatePending) {
        r.left = std::min(r.left, w->updateRect.left);
        r.top = std::min(r.top, w->updateRect.top);
        r.right = std::max(r.right, w->updateRect.right);
        r.bottom = std::max(r.bottom, w->updateRect.bottom);
    }
    if (r.right <= r.left || r.bottom <= r.top) return TRUE;
    w->updateRect = r;
    w->updatePending = true;
    w->erasePending = w->erasePending || erase != FALSE;
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT*) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    w->updatePending = false;
    w->erasePending = false;
    return TRUE;
}

BOOL GetUpdateRect(HWND hwnd, LPRECT rect, BOOL) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || !w->updatePending) {
        if (rect != nullptr) *rect = RECT{0, 0, 0, 0};
        return FALSE;
    }
    if (rect != nullptr) *rect = w->updateRect;
    return TRUE;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return 0;
    switch (index) {
        case GWL_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(w->instance);
        case GWL_WNDPROC:
            return reinterpret_cast<LONG_PTR>(w->proc);
        case GWL_STYLE:
            return static_cast<LONG_PTR>(w->style);
        case GWL_EXSTYLE:
            return static_cast<LONG_PTR>(w->exStyle);
        case GWL_USERDATA:
            return w->userData;
        case GWL_ID:
            return 0;
        default:
            break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) return 0;
    LONG_PTR v;
    std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return 0;
    const LONG_PTR old = GetWindowLongPtrA(hwnd, index);
    switch (index) {
        case GWL_HINSTANCE:
            w->instance = reinterpret_cast<HINSTANCE>(value);
            return old;
        case GWL_WNDPROC:
            w->proc = reinterpret_cast<WNDPROC>(value);
            return old;
        case GWL_STYLE:
            w->style = static_cast<DWORD>(value);
            return old;
        case GWL_EXSTYLE:
            w->exStyle = static_cast<DWORD>(value);
            return old;
        case GWL_USERDATA:
            w->userData = value;
            return old;
        default:
            break;
    }
    if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) return 0;
    std::memcpy(w->extra.data() + index, &value, sizeof value);
    return old;
}

LONG GetWindowLongA(HWND hwnd, int index) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return 0;
    if (index < 0) return static_cast<LONG>(GetWindowLongPtrA(hwnd, index));
    if (static_cast<size_t>(index) + sizeof(LONG) > w->extra.size()) return 0;
    LONG v;
    std::memcpy(&v, w->extra.data() + index, sizeof v);
    return v;
}

LONG SetWindowLongA(HWND hwnd, int index, LONG value) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return 0;
    if (index < 0) return static_cast<LONG>(SetWindowLongPtrA(hwnd, index, value));
    if (static_cast<size_t>(index) + sizeof(LONG) > w->extra.size()) return 0;
    const LONG old = GetWindowLongA(hwnd, index);
    std::memcpy(w->extra.data() + index, &value, sizeof value);
    return old;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || rect == nullptr) return FALSE;
    *rect = w->minimized ? RECT{0, 0, 0, 0} : RECT{0, 0, w->clientWidth, w->clientHeight};
    return TRUE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || rect == nullptr) return FALSE;
    *rect = w->outer;
    return TRUE;
}

BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int cx, int cy, UINT flags) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    const bool move = (flags & SWP_NOMOVE) == 0;
    const bool size = (flags & SWP_NOSIZE) == 0;
    if (move) {
        const LONG width = w->outer.right - w->outer.left, height = w->outer.bottom - w->outer.top;
        w->outer = RECT{x, y, x + width, y + height};
    }
    if (size) {
        w->outer.right = w->outer.left + std::max(0, cx);
        w->outer.bottom = w->outer.top + std::max(0, cy);
    }
    if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, SW_SHOW);
    if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
    if ((w = windowFrom(hwnd)) == nullptr) return TRUE;
    if (move || size) backend().windowGeometryChanged(*w, size);
    if ((w = windowFrom(hwnd)) == nullptr) return TRUE;
    if (move) SendMessageA(hwnd, WM_MOVE, 0, MAKELPARAM(w->outer.left, w->outer.top));
    if ((w = windowFrom(hwnd)) == nullptr) return TRUE;
    if (size) setClientSize(*w, w->clientWidth, w->clientHeight, true);
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
    return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER);
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    w->title = text == nullptr ? "" : text;
    backend().windowTitleChanged(*w);
    return TRUE;
}

int GetWindowTextA(HWND hwnd, LPSTR text, int maxCount) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || text == nullptr || maxCount <= 0) return 0;
    lstrcpynA(text, w->title.c_str(), maxCount);
    return lstrlenA(text);
}

BOOL SystemParametersInfoA(UINT action, UINT, LPVOID pvParam, UINT) {
    if (action != SPI_GETWORKAREA || pvParam == nullptr) return FALSE;
    *static_cast<RECT*>(pvParam) = backend().workArea();
    return TRUE;
}

int GetSystemMetrics(int index) {
    const RECT area = backend().workArea();
    if (index == SM_CXSCREEN) return area.right;
    if (index == SM_CYSCREEN) return area.bottom;
    return 0;
}

BOOL ScreenToClient(HWND hwnd, LPPOINT p) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || p == nullptr) return FALSE;
    p->x -= w->outer.left;
    p->y -= w->outer.top;
    return TRUE;
}

BOOL ClientToScreen(HWND hwnd, LPPOINT p) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || p == nullptr) return FALSE;
    p->x += w->outer.left;
    p->y += w->outer.top;
    return TRUE;
}

HWND SetFocus(HWND hwnd) {
    HWND old = state().focus;
    if (hwnd == nullptr || windowFrom(hwnd) != nullptr) state().focus = hwnd;
    return old;
}
HWND GetFocus() { return state().focus; }
HWND GetActiveWindow() { return state().active; }

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return FALSE;
    const BOOL wasDisabled = w->enabled ? FALSE : TRUE;
    w->enabled = enable != FALSE;
    return wasDisabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
    Window* w = windowFrom(hwnd);
    return w != nullptr && w->enabled ? TRUE : FALSE;
}

// ---- messages --------------------------------------------------------------------------

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last, UINT remove) {
    if (msg == nullptr) return FALSE;
    State& s = state();
    backend().pumpEvents();
    bool found = false;
    {
        std::lock_guard lock(s.queueMutex);
        auto it = std::find_if(s.queue.begin(), s.queue.end(),
                               [&](const MSG& m) { return matchesFilter(m, hwnd, first, last); });
        if (it != s.queue.end()) {
            *msg = *it;
            if (remove & PM_REMOVE) s.queue.erase(it);
            found = true;
        } else if (s.quitPending &&
                   (first == 0 && last == 0 ? true : (WM_QUIT >= first && WM_QUIT <= last))) {
            *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(s.quitCode), 0, messageTime(), {}};
            if (remove & PM_REMOVE) s.quitPending = false;
            found = true;
        }
    }
    if (!found) {
        if (first != 0 || last != 0) {
            if (WM_PAINT < first || WM_PAINT > last) return FALSE;
        }
        Window* w = windowNeedingPaint(hwnd);
        if (w == nullptr) {
            if (hwnd == nullptr && first == 0 && last == 0) backend().queueFoundEmpty();
            return FALSE;
        }
        // WM_PAINT stays until the update region is validated (BeginPaint does that).
        *msg = MSG{w->handle(), WM_PAINT, 0, 0, messageTime(), {}};
        return TRUE;
    }
    if (remove & PM_REMOVE) {
        trackKey(s.syncKeys, *msg);
        if (s.messageHook) s.messageHook(*msg);
    }
    return TRUE;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT first, UINT last) {
    if (msg == nullptr) return -1;
    while (!PeekMessageA(msg, hwnd, first, last, PM_REMOVE)) backend().waitEvents(10);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TranslateMessage(const MSG* msg) {
    if (msg == nullptr || msg->message != WM_KEYDOWN) return FALSE;
    const UINT vk = static_cast<UINT>(msg->wParam);
    const bool shift = state().syncKeys[VK_SHIFT];
    if (state().syncKeys[VK_CONTROL]) return FALSE;
    int ch = 0;
    if (vk >= 'A' && vk <= 'Z')
        ch = shift ? static_cast<int>(vk) : static_cast<int>(vk) + 32;
    else if ((vk >= '0' && vk <= '9') || vk == VK_SPACE || vk == VK_RETURN || vk == VK_BACK ||
             vk == VK_ESCAPE)
        ch = static_cast<int>(vk);
    else if (vk == VK_ADD)
        ch = '+';
    else if (vk == VK_SUBTRACT)
        ch = '-';
    if (ch == 0) return FALSE;
    std::lock_guard lock(state().queueMutex);
    state().queue.push_front(
        MSG{msg->hwnd, WM_CHAR, static_cast<WPARAM>(ch), msg->lParam, msg->time, msg->pt});
    return TRUE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr) return 0;
    Window* w = windowFrom(msg->hwnd);
    if (w == nullptr || w->proc == nullptr) return 0;
    ++state().messagesHandled;
    return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    State& s = state();
    if (hwnd != nullptr && windowFrom(hwnd) == nullptr) return FALSE;
    std::lock_guard lock(s.queueMutex);
    s.queue.push_back(MSG{hwnd, message, wParam, lParam, messageTime(), {}});
    return TRUE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || w->proc == nullptr) return 0;
    ++state().messagesHandled;
    return w->proc(hwnd, message, wParam, lParam);
}

void PostQuitMessage(int exitCode) {
    std::lock_guard lock(state().queueMutex);
    state().quitPending = true;
    state().quitCode = exitCode;
}

LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return 0;
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hwnd, WM_CLOSE, 0, 0);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: {
            RECT r{0, 0, w->clientWidth, w->clientHeight};
            GetUpdateRect(hwnd, &r, FALSE);
            HBRUSH brush = w->background == 0
                               ? reinterpret_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))
                               : reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
            FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
            return 1;
        }
        case WM_SETCURSOR:
            return FALSE;
        default:
            (void)lParam;
            return 0;
    }
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (proc == nullptr) return 0;
    ++state().messagesHandled;
    return proc(hwnd, message, wParam, lParam);
}

// ---- input state -----------------------------------------------------------------------

HWND SetCapture(HWND hwnd) {
    HWND old = state().capture;
    if (windowFrom(hwnd) != nullptr) state().capture = hwnd;
    return old;
}

BOOL ReleaseCapture() {
    state().capture = nullptr;
    return TRUE;
}

HWND GetCapture() { return state().capture; }

short GetAsyncKeyState(int vk) {
    if (vk < 0 || vk > 255) return 0;
    return backend().asyncKeyDown(vk) ? static_cast<short>(0x8000) : 0;
}

short GetKeyState(int vk) {
    if (vk < 0 || vk > 255) return 0;
    return state().syncKeys[vk] ? static_cast<short>(0x8000) : 0;
}

BOOL GetCursorPos(LPPOINT p) {
    if (p == nullptr) return FALSE;
    *p = POINT{0, 0};
    return TRUE;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) {
    // System cursors only; their handle is their id.
    if (!IS_INTRESOURCE(name)) return nullptr;
    const UINT_PTR id = reinterpret_cast<UINT_PTR>(name);
    switch (id) {
        case 32512:
        case 32513:
        case 32514:
        case 32515:
        case 32646:
        case 32649:
            return reinterpret_cast<HCURSOR>(id);
        default:
            return nullptr;
    }
}

HCURSOR SetCursor(HCURSOR cursor) {
    State& s = state();
    HCURSOR previous = reinterpret_cast<HCURSOR>(static_cast<UINT_PTR>(s.cursorId));
    s.cursorId = static_cast<int>(reinterpret_cast<UINT_PTR>(cursor));
    backend().cursorChanged(s.cursorId);
    return previous;
}

// ---- drag and drop ---------------------------------------------------------------------

void DragAcceptFiles(HWND hwnd, BOOL accept) {
    if (Window* w = windowFrom(hwnd)) w->acceptFiles = accept != FALSE;
}

UINT DragQueryFileA(HDROP drop, UINT file, LPSTR buffer, UINT bufferLength) {
    auto& drops = state().drops;
    auto it = drops.find(reinterpret_cast<UINT_PTR>(drop));
    if (it == drops.end()) return 0;
    const auto& paths = it->second->paths;
    if (file == 0xFFFFFFFF) return static_cast<UINT>(paths.size());
    if (file >= paths.size()) return 0;
    const std::string& p = paths[file];
    if (buffer == nullptr) return static_cast<UINT>(p.size());
    if (bufferLength == 0) return 0;
    lstrcpynA(buffer, p.c_str(), static_cast<int>(std::min<size_t>(bufferLength, 0x7fffffff)));
    return static_cast<UINT>(lstrlenA(buffer));
}

void DragFinish(HDROP drop) { state().drops.erase(reinterpret_cast<UINT_PTR>(drop)); }

// ---- test hooks and backend selection -------------------------------------------------

void winUseHeadless(int clientWidth, int clientHeight, bool lockClientSize) {
    setBackend(makeHeadlessBackend(clientWidth, clientHeight, lockClientSize));
}

bool winHasDisplay() { return backend().hasDisplay(); }

void winReset() {
    State& s = state();
    for (auto& [id, w] : s.windows) backend().windowDestroyed(*w);
    s.windows.clear();
    s.classes.clear();
    s.classMenuNames.clear();
    s.classNames.clear();
    {
        std::lock_guard lock(s.queueMutex);
        s.queue.clear();
        s.quitPending = false;
        s.quitCode = 0;
    }
    s.asyncKeys.fill(false);
    s.syncKeys.fill(false);
    s.setKeys.fill(false);
    s.capture = s.focus = s.active = nullptr;
    s.cursorId = 0;
    s.fixedTick.reset();
    s.headlessSeconds = 0;
    s.drops.clear();
    forgetLoadedMenus();
    s.messageHook = nullptr;
    s.dialogHook = nullptr;
    s.messageBoxes.clear();
    s.dialogs.clear();
    winClearScripts();
    winSetMessageBoxHook(nullptr);
}

void winPostKey(HWND hwnd, UINT vk, bool down, bool repeat) {
    Window* w = windowFrom(hwnd);
    if (w != nullptr && !w->enabled) return;  // a disabled window gets no input
    // lParam: repeat count 1, bit 30 set for a repeat, bits 30 and 31 set for a release.
    LPARAM lp = 1;
    if (repeat || !down) lp |= static_cast<LPARAM>(1) << 30;
    if (!down) lp |= static_cast<LPARAM>(1u << 31);
    postInput(hwnd, down ? WM_KEYDOWN : WM_KEYUP, vk, lp);
}

void winSetKeyDown(int vk, bool down) {
    if (vk < 0 || vk > 255) return;
    state().asyncKeys[vk] = down;
    state().syncKeys[vk] = down;
    state().setKeys[vk] = down;
}

// As on a real desktop, a mouse message carries the buttons held once it has happened.
static WPARAM heldButtons(WPARAM keyFlags) {
    const State& s = state();
    if (s.asyncKeys[VK_LBUTTON]) keyFlags |= MK_LBUTTON;
    if (s.asyncKeys[VK_RBUTTON]) keyFlags |= MK_RBUTTON;
    if (s.asyncKeys[VK_MBUTTON]) keyFlags |= MK_MBUTTON;
    return keyFlags;
}

void winPostMouse(HWND hwnd, UINT message, int x, int y, WPARAM keyFlags) {
    Window* w = windowFrom(hwnd);
    if (w != nullptr && !w->enabled) return;
    State& s = state();
    if (message == WM_LBUTTONDOWN) s.asyncKeys[VK_LBUTTON] = true;
    if (message == WM_LBUTTONUP) s.asyncKeys[VK_LBUTTON] = false;
    if (message == WM_RBUTTONDOWN) s.asyncKeys[VK_RBUTTON] = true;
    if (message == WM_RBUTTONUP) s.asyncKeys[VK_RBUTTON] = false;
    if (message == WM_MBUTTONDOWN) s.asyncKeys[VK_MBUTTON] = true;
    if (message == WM_MBUTTONUP) s.asyncKeys[VK_MBUTTON] = false;
    PostMessageA(hwnd, message, heldButtons(keyFlags),
                 MAKELPARAM(static_cast<WORD>(static_cast<short>(x)),
                            static_cast<WORD>(static_cast<short>(y))));
}

void winPostMouseWheel(HWND hwnd, int x, int y, int delta, WPARAM keyFlags) {
    Window* w = windowFrom(hwnd);
    if (w != nullptr && !w->enabled) return;
    // The wheel reports where the mouse is on the screen.
    POINT p{x, y};
    ClientToScreen(hwnd, &p);
    PostMessageA(hwnd, WM_MOUSEWHEEL,
                 MAKEWPARAM(static_cast<WORD>(heldButtons(keyFlags)), static_cast<WORD>(static_cast<short>(delta))),
                 MAKELPARAM(static_cast<WORD>(static_cast<short>(p.x)), static_cast<WORD>(static_cast<short>(p.y))));
}

void winPostDropFiles(HWND hwnd, const std::vector<std::string>& paths) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr || !w->acceptFiles || paths.empty()) return;
    State& s = state();
    const UINT_PTR id = s.nextDropId++;
    s.drops[id] = std::make_unique<Drop>(Drop{paths});
    PostMessageA(hwnd, WM_DROPFILES, static_cast<WPARAM>(id), 0);
}

void winSetClientSize(HWND hwnd, int width, int height) {
    Window* w = windowFrom(hwnd);
    if (w == nullptr) return;
    w->minimized = width <= 0 || height <= 0;
    if (!w->minimized) {
        w->outer.right += width - w->clientWidth;
        w->outer.bottom += height - w->clientHeight;
        setClientSize(*w, width, height, true);
    } else {
        setClientSize(*w, w->clientWidth, w->clientHeight, true);
    }
}

void winSetTickCount(std::optional<DWORD> fixed) { state().fixedTick = fixed; }
void winAdvanceHeadlessClock(double seconds) { state().headlessSeconds += seconds; }
void winSetMessageHook(std::function<void(const MSG&)> hook) {
    state().messageHook = std::move(hook);
}
void winSetDialogHook(std::function<void(const WinDialogRecord&)> hook) {
    state().dialogHook = std::move(hook);
}
int winCurrentCursorId() { return state().cursorId; }
HWND winCaptureWindow() { return state().capture; }
unsigned long long winHandledMessageCount() { return state().messagesHandled; }
bool winAnyKeyDown() {
    const auto& keys = state().asyncKeys;
    return std::find(keys.begin(), keys.end(), true) != keys.end();
}
int winModalDepth() { return state().modalDepth; }
const std::vector<WinMessageBoxRecord>& winRecordedMessageBoxes() { return state().messageBoxes; }
void winClearRecordedMessageBoxes() { state().messageBoxes.clear(); }
const std::vector<WinDialogRecord>& winRecordedDialogs() { return state().dialogs; }
