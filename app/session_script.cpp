#include "app/session_script.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/png_file.h"
#include "input/window_proc.h"
#include "platform/regular_file.h"
#include "platform/win/headless.h"
#include "platform/win/picture.h"
#include "app/win_main.h"

namespace {

struct NamedKey {
    const char* name;
    UINT code;
};

constexpr NamedKey kKeyNames[] = {
    {"VK_LBUTTON", VK_LBUTTON}, {"VK_RBUTTON", VK_RBUTTON}, {"VK_CANCEL", VK_CANCEL},
    {"VK_MBUTTON", VK_MBUTTON}, {"VK_BACK", VK_BACK},       {"VK_TAB", VK_TAB},
    {"VK_RETURN", VK_RETURN},   {"VK_SHIFT", VK_SHIFT},     {"VK_CONTROL", VK_CONTROL},
    {"VK_MENU", VK_MENU},       {"VK_PAUSE", VK_PAUSE},     {"VK_CAPITAL", VK_CAPITAL},
    {"VK_ESCAPE", VK_ESCAPE},   {"VK_SPACE", VK_SPACE},     {"VK_PRIOR", VK_PRIOR},
    {"VK_NEXT", VK_NEXT},       {"VK_END", VK_END},         {"VK_HOME", VK_HOME},
    {"VK_LEFT", VK_LEFT},       {"VK_UP", VK_UP},           {"VK_RIGHT", VK_RIGHT},
    {"VK_DOWN", VK_DOWN},       {"VK_INSERT", VK_INSERT},   {"VK_DELETE", VK_DELETE},
    {"VK_NUMPAD0", VK_NUMPAD0}, {"VK_NUMPAD1", VK_NUMPAD1}, {"VK_NUMPAD2", VK_NUMPAD2},
    {"VK_NUMPAD3", VK_NUMPAD3}, {"VK_NUMPAD4", VK_NUMPAD4}, {"VK_NUMPAD5", VK_NUMPAD5},
    {"VK_NUMPAD6", VK_NUMPAD6}, {"VK_NUMPAD7", VK_NUMPAD7}, {"VK_NUMPAD8", VK_NUMPAD8},
    {"VK_NUMPAD9", VK_NUMPAD9}, {"VK_MULTIPLY", VK_MULTIPLY}, {"VK_ADD", VK_ADD},
    {"VK_SEPARATOR", VK_SEPARATOR}, {"VK_SUBTRACT", VK_SUBTRACT}, {"VK_DECIMAL", VK_DECIMAL},
    {"VK_DIVIDE", VK_DIVIDE},   {"VK_F1", VK_F1},           {"VK_F2", VK_F2},
    {"VK_F3", VK_F3},           {"VK_F4", VK_F4},           {"VK_F5", VK_F5},
    {"VK_F6", VK_F6},           {"VK_F7", VK_F7},           {"VK_F8", VK_F8},
    {"VK_F9", VK_F9},           {"VK_F10", VK_F10},         {"VK_F11", VK_F11},
    {"VK_F12", VK_F12},         {"VK_NUMLOCK", VK_NUMLOCK}, {"VK_LSHIFT", VK_LSHIFT},
    {"VK_RSHIFT", VK_RSHIFT},   {"VK_LCONTROL", VK_LCONTROL}, {"VK_RCONTROL", VK_RCONTROL},
    {"VK_OEM_PLUS", VK_OEM_PLUS}, {"VK_OEM_COMMA", VK_OEM_COMMA}, {"VK_OEM_MINUS", VK_OEM_MINUS},
    {"VK_OEM_PERIOD", VK_OEM_PERIOD},
};

struct NamedMouse {
    const char* name;
    UINT message;
};
constexpr NamedMouse kMouseNames[] = {
    {"move", WM_MOUSEMOVE},     {"ldown", WM_LBUTTONDOWN}, {"lup", WM_LBUTTONUP},
    {"rdown", WM_RBUTTONDOWN},  {"rup", WM_RBUTTONUP},     {"mdown", WM_MBUTTONDOWN},
    {"mup", WM_MBUTTONUP},      {"wheel", WM_MOUSEWHEEL},
};

// Window-system events: they reach the viewer as WM_SIZE, as when a person resizes,
// minimises or restores the window.
struct NamedWindowEvent {
    const char* name;
    ScriptEvent::Kind kind;
    size_t numbers;  // after the name
    const char* usage;
};
constexpr int kMaxScriptedSize = 8192;
constexpr NamedWindowEvent kWindowEvents[] = {
    {"size", ScriptEvent::Size, 2, "expected size W H (1 to 8192)"},
    {"minimize", ScriptEvent::Minimize, 0, "minimize takes nothing after it"},
    {"restore", ScriptEvent::Restore, 0, "restore takes nothing after it"},
};

// Wheel turns are written in notches, which may be fractions on fine-grained wheels.
std::string notchesText(int wheelDelta) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<double>(wheelDelta) / WHEEL_DELTA);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

bool parseNotches(const std::string& text, int& wheelDelta) {
    double notches = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), notches, std::chars_format::fixed);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(notches)) return false;
    const double delta = std::round(notches * WHEEL_DELTA);
    if (delta < -32768 || delta > 32767) return false;
    wheelDelta = static_cast<int>(delta);
    return true;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// The text after the first `skip` words, with its outer blanks removed (paths may hold
// blanks).
// Words are split at the same blanks as splitWords uses.
std::string restAfterWords(const std::string& text, size_t skip) {
    constexpr const char* kBlanks = " \t\n\v\f\r";
    size_t at = 0;
    for (size_t i = 0; i < skip; ++i) {
        at = text.find_first_not_of(kBlanks, at);
        at = text.find_first_of(kBlanks, at);
        if (at == std::string::npos) return "";
    }
    size_t begin = text.find_first_not_of(kBlanks, at);
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(kBlanks);
    return text.substr(begin, end - begin + 1);
}

template <typename T>
bool parseNumber(const std::string& text, T& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    auto [end, ec] = std::from_chars(first, last, value, base);
    return ec == std::errc() && end == last && first != last;
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.string();
}

// Parses one line's words into event; returns an empty string or what is wrong.
std::string parseLine(const std::string& text, ScriptEvent& event) {
    std::vector<std::string> words = splitWords(text);
    size_t at = 0;
    bool ctrl = false, shift = false;
    while (at < words.size() && (words[at] == "ctrl" || words[at] == "shift")) {
        (words[at] == "ctrl" ? ctrl : shift) = true;
        ++at;
    }
    if (at >= words.size()) return "an event is missing";
    const std::string& verb = words[at];
    const size_t args = words.size() - at - 1;
    if ((ctrl || shift) && verb != "key") return "ctrl and shift go before key events only";

    if (verb == "key") {
        if (args != 2 || (words[at + 1] != "down" && words[at + 1] != "up"))
            return "expected key down|up VK";
        auto key = virtualKeyFromName(words[at + 2]);
        if (!key) return "unknown virtual key '" + words[at + 2] + "'";
        event.kind = ScriptEvent::Key;
        event.down = words[at + 1] == "down";
        event.virtualKey = *key;
        event.ctrl = ctrl;
        event.shift = shift;
        return "";
    }
    if (verb == "command") {
        if (args != 1 || !parseNumber(words[at + 1], event.command) || event.command < 0 || event.command > 0xFFFF)
            return "expected command ID (0 to 65535)";
        event.kind = ScriptEvent::Command;
        return "";
    }
    if (verb == "mouse") {
        if (args != 3 && args != 4) return "expected mouse move|ldown|lup|rdown|rup|mdown|mup X Y [shift] or mouse wheel X Y NOTCHES";
        event.kind = ScriptEvent::Mouse;
        event.mouseMessage = 0;
        for (const NamedMouse& m : kMouseNames)
            if (words[at + 1] == m.name) event.mouseMessage = m.message;
        if (!event.mouseMessage) return "unknown mouse action '" + words[at + 1] + "'";
        if (!parseNumber(words[at + 2], event.x) || !parseNumber(words[at + 3], event.y) || event.x < -32768 ||
            event.x > 32767 || event.y < -32768 || event.y > 32767)
            return "mouse coordinates must be whole numbers from -32768 to 32767";
        if (event.mouseMessage == WM_MOUSEWHEEL) {
            if (args != 4 || !parseNotches(words[at + 4], event.wheelDelta))
                return "expected mouse wheel X Y NOTCHES (a number from -273 to 273, positive away from you)";
            return "";
        }
        if (args == 4 && words[at + 4] != "shift") return "expected shift after the coordinates";
        event.shift = args == 4;
        return "";
    }
    if (verb == "answer") {
        if (args < 2) return "expected answer open|save|colour|about ...";
        const std::string& what = words[at + 1];
        if (what == "open" || what == "save") {
            event.kind = what == "open" ? ScriptEvent::AnswerOpen : ScriptEvent::AnswerSave;
            std::string path = restAfterWords(text, at + 2);
            if (path == "cancel") event.path.reset();
            else event.path = absolutePath(path);
            return "";
        }
        if (what == "colour" || what == "color") {
            event.kind = ScriptEvent::AnswerColour;
            if (args == 2 && words[at + 2] == "cancel") return "";
            int r, g, b;
            if (args != 4 || !parseNumber(words[at + 2], r) || !parseNumber(words[at + 3], g) ||
                !parseNumber(words[at + 4], b) || r < 0 || r > 255 || g < 0 || g > 255 || b < 0 || b > 255)
                return "expected answer colour R G B (0 to 255) or answer colour cancel";
            event.colour = RGB(r, g, b);
            return "";
        }
        if (what == "about") {
            if (args != 2 || words[at + 2] != "ok") return "expected answer about ok";
            event.kind = ScriptEvent::AnswerAbout;
            return "";
        }
        return "unknown answer '" + what + "'";
    }
    if (verb == "frames") {
        if (args != 1 || !parseNumber(words[at + 1], event.count) || event.count < 0)
            return "expected frames N (N >= 0)";
        event.kind = ScriptEvent::Frames;
        return "";
    }
    if (verb == "shot") {
        std::string path = restAfterWords(text, at + 1);
        if (path.empty()) return "expected shot PATH.png";
        event.kind = ScriptEvent::Shot;
        event.path = absolutePath(path);
        return "";
    }
    if (verb == "quit") {
        if (args != 0) return "quit takes nothing after it";
        event.kind = ScriptEvent::Quit;
        return "";
    }
    for (const NamedWindowEvent& w : kWindowEvents) {
        if (verb != w.name) continue;
        if (args != w.numbers) return w.usage;
        event.kind = w.kind;
        if (w.kind == ScriptEvent::Size &&
            (!parseNumber(words[at + 1], event.width) || !parseNumber(words[at + 2], event.height) ||
             event.width < 1 || event.height < 1 || event.width > kMaxScriptedSize || event.height > kMaxScriptedSize))
            return w.usage;
        return "";
    }
    return "unknown event '" + verb + "'";
}

// Resizes, minimises or restores the window through the window system, which tells the
// viewer with WM_SIZE. A minimised window is restored before it takes a new size.
void applyWindowEvent(HWND window, const ScriptEvent& event) {
    if (event.kind == ScriptEvent::Minimize) {
        ShowWindow(window, SW_MINIMIZE);
        return;
    }
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    if (event.kind != ScriptEvent::Size) return;
    RECT outer{}, client{};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    const int frameWidth = (outer.right - outer.left) - client.right;
    const int frameHeight = (outer.bottom - outer.top) - client.bottom;
    SetWindowPos(window, nullptr, 0, 0, event.width + frameWidth, event.height + frameHeight,
                 SWP_NOMOVE | SWP_NOZORDER);
}

void setModifiers(bool ctrl, bool shift) {
    winSetKeyDown(VK_CONTROL, ctrl);
    winSetKeyDown(VK_SHIFT, shift);
}

}  // namespace

std::optional<UINT> virtualKeyFromName(const std::string& name) {
    for (const NamedKey& key : kKeyNames)
        if (name == key.name) return key.code;
    if (name.size() == 1) {
        char c = name[0];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return static_cast<UINT>(c);
    }
    UINT code = 0;
    if (parseNumber(name, code) && code >= 1 && code <= 0xFE) return code;
    return std::nullopt;
}

std::string virtualKeyName(UINT virtualKey) {
    for (const NamedKey& key : kKeyNames)
        if (virtualKey == key.code) return key.name;
    if ((virtualKey >= 'A' && virtualKey <= 'Z') || (virtualKey >= '0' && virtualKey <= '9'))
        return std::string(1, static_cast<char>(virtualKey));
    return std::to_string(virtualKey);
}

bool parseScript(std::istream& in, const std::string& name, std::vector<ScriptEvent>& events, std::string& error) {
    events.clear();
    std::string text;
    for (int line = 1; std::getline(in, text); ++line) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos || text[first] == '#') continue;
        ScriptEvent event{};
        event.line = line;
        std::string problem = parseLine(text, event);
        if (!problem.empty()) {
            error = name + ":" + std::to_string(line) + ": " + problem + ": " + text;
            return false;
        }
        events.push_back(std::move(event));
    }
    return true;
}

bool parseScriptFile(const std::string& path, std::vector<ScriptEvent>& events, std::string& error) {
    // Only a regular file: a FIFO would block the start and a device might never end.
    std::vector<uint8_t> bytes;
    const FileOpening opened = readRegularFile(path.c_str(), bytes);
    if (opened != FileOpening::Opened) {
        error = path + (opened == FileOpening::NotRegular ? ": the script is not a regular file" : ": cannot open the script");
        return false;
    }
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    return parseScript(in, path, events, error);
}

std::string formatScriptEvent(const ScriptEvent& event) {
    switch (event.kind) {
        case ScriptEvent::Key:
            return std::string(event.ctrl ? "ctrl " : "") + (event.shift ? "shift " : "") + "key " +
                   (event.down ? "down " : "up ") + virtualKeyName(event.virtualKey);
        case ScriptEvent::Command: return "command " + std::to_string(event.command);
        case ScriptEvent::Mouse: {
            std::string name = "move";
            for (const NamedMouse& m : kMouseNames)
                if (m.message == event.mouseMessage) name = m.name;
            return "mouse " + name + " " + std::to_string(event.x) + " " + std::to_string(event.y) +
                   (event.mouseMessage == WM_MOUSEWHEEL ? " " + notchesText(event.wheelDelta)
                                                        : std::string(event.shift ? " shift" : ""));
        }
        case ScriptEvent::AnswerOpen: return "answer open " + (event.path ? *event.path : std::string("cancel"));
        case ScriptEvent::AnswerSave: return "answer save " + (event.path ? *event.path : std::string("cancel"));
        case ScriptEvent::AnswerColour:
            if (!event.colour) return "answer colour cancel";
            return "answer colour " + std::to_string(GetRValue(*event.colour)) + " " +
                   std::to_string(GetGValue(*event.colour)) + " " + std::to_string(GetBValue(*event.colour));
        case ScriptEvent::AnswerAbout: return "answer about ok";
        case ScriptEvent::Frames: return "frames " + std::to_string(event.count);
        case ScriptEvent::Shot: return "shot " + event.path.value_or("");
        case ScriptEvent::Quit: return "quit";
        case ScriptEvent::Size: return "size " + std::to_string(event.width) + " " + std::to_string(event.height);
        case ScriptEvent::Minimize: return "minimize";
        case ScriptEvent::Restore: return "restore";
    }
    return "";
}

bool writeClientAreaPng(HWND window, const std::string& path) {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    bool read = false;
    try {
        read = winReadPicture(window, rgba, width, height);
    } catch (const std::bad_alloc&) {
        read = false;  // no memory for a copy of a window this large
    }
    if (!read) {
        std::fprintf(stderr, "solluxviewer: %s: the window has no picture to write\n", path.c_str());
        return false;
    }
    if (!writePngFile(path, width, height, rgba.data())) {
        std::fprintf(stderr, "solluxviewer: %s: cannot write the PNG file\n", path.c_str());
        return false;
    }
    return true;
}

void ScriptPlayer::pass(HWND window) {
    unsigned long frames = renderedFrameCount();
    if (waiting_ > 0) {
        if (frames > framesSeen_)
            waiting_ -= static_cast<long>(frames - framesSeen_);
        else if (!renderingPossible())
            --waiting_;
    }
    framesSeen_ = frames;
    while (waiting_ <= 0 && next_ < events_.size()) {
        const ScriptEvent& event = events_[next_++];
        switch (event.kind) {
            case ScriptEvent::AnswerOpen: winScriptOpenFile(event.path); continue;
            case ScriptEvent::AnswerSave: winScriptSaveFile(event.path); continue;
            case ScriptEvent::AnswerColour: winScriptColor(event.colour); continue;
            case ScriptEvent::AnswerAbout: winScriptDialogResult(IDOK); continue;
            case ScriptEvent::Shot:
                if (!writeClientAreaPng(window, *event.path)) failed_ = true;
                continue;
            case ScriptEvent::Frames: waiting_ = event.count; continue;
            case ScriptEvent::Key:
                setModifiers(event.ctrl, event.shift);
                winPostKey(window, event.virtualKey, event.down);
                return;
            case ScriptEvent::Mouse:
                setModifiers(false, event.shift);
                if (event.mouseMessage == WM_MOUSEWHEEL)
                    winPostMouseWheel(window, event.x, event.y, event.wheelDelta, 0);
                else
                    winPostMouse(window, event.mouseMessage, event.x, event.y, event.shift ? MK_SHIFT : 0);
                return;
            case ScriptEvent::Command:
                setModifiers(false, false);
                // File > Exit ends the session as "quit" does.
                if (event.command == kCommandExit && beforeQuit_) beforeQuit_();
                PostMessageA(window, WM_COMMAND, MAKEWPARAM(event.command, 0), 0);
                return;
            case ScriptEvent::Size:
            case ScriptEvent::Minimize:
            case ScriptEvent::Restore:
                setModifiers(false, false);
                applyWindowEvent(window, event);
                return;
            case ScriptEvent::Quit:
                if (beforeQuit_) beforeQuit_();
                setModifiers(false, false);
                PostMessageA(window, WM_CLOSE, 0, 0);
                return;
        }
    }
}

void ScriptPlayer::releaseKeys() const { setModifiers(false, false); }

void SessionRecorder::addInput(const ScriptEvent& event) {
    unsigned long frames = renderedFrameCount();
    // Each replayed input takes a frame of its own, so one frame fewer is waited for.
    if (haveInput_ && frames - lastFrames_ >= 2) {
        ScriptEvent wait{};
        wait.kind = ScriptEvent::Frames;
        wait.count = static_cast<long>(frames - lastFrames_ - 1);
        lines_.push_back(formatScriptEvent(wait));
    }
    lastFrames_ = frames;
    haveInput_ = true;
    lastInputLine_ = lines_.size();
    lines_.push_back(formatScriptEvent(event));
}

void SessionRecorder::noteWindowState() {
    if (!window_ || !IsWindow(window_)) return;
    const bool minimized = IsIconic(window_) != FALSE;
    RECT client{};
    GetClientRect(window_, &client);
    const bool resized = !minimized && (client.right != width_ || client.bottom != height_);
    if (minimized == minimized_ && !resized) return;
    ScriptEvent event{};
    if (minimized) {
        event.kind = ScriptEvent::Minimize;
    } else if (!resized) {
        event.kind = ScriptEvent::Restore;
    } else {
        // A size restores a minimised window as well.
        event.kind = ScriptEvent::Size;
        event.width = client.right;
        event.height = client.bottom;
    }
    minimized_ = minimized;
    if (!minimized) {
        width_ = client.right;
        height_ = client.bottom;
    }
    // An empty or oversized client area cannot be replayed; the next size can.
    if (event.kind == ScriptEvent::Size && (event.width < 1 || event.height < 1 || event.width > kMaxScriptedSize ||
                                            event.height > kMaxScriptedSize))
        return;
    addInput(event);
}

void SessionRecorder::pass(HWND window) {
    if (window_ != window) {
        // The size the viewer started with is where the session starts.
        window_ = window;
        minimized_ = IsIconic(window) != FALSE;
        RECT client{};
        GetClientRect(window, &client);
        width_ = client.right;
        height_ = client.bottom;
        return;
    }
    noteWindowState();
}

void SessionRecorder::addAnswer(const ScriptEvent& event) {
    // The dialog ran inside the handling of the last input, so its answer must come first.
    size_t at = haveInput_ ? lastInputLine_ : lines_.size();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), formatScriptEvent(event));
    ++lastInputLine_;
}

void SessionRecorder::start() {
    lines_.clear();
    haveInput_ = false;
    window_ = nullptr;
    lastFrames_ = renderedFrameCount();
    winSetMessageHook([this](const MSG& msg) {
        ScriptEvent event{};
        switch (msg.message) {
            case WM_KEYDOWN:
            case WM_KEYUP:
                // Modifiers travel as prefixes of the keys they change.
                if (msg.wParam == VK_CONTROL || msg.wParam == VK_SHIFT || msg.wParam == VK_MENU ||
                    msg.wParam == VK_LSHIFT || msg.wParam == VK_RSHIFT || msg.wParam == VK_LCONTROL ||
                    msg.wParam == VK_RCONTROL)
                    return;
                event.kind = ScriptEvent::Key;
                event.down = msg.message == WM_KEYDOWN;
                event.virtualKey = static_cast<UINT>(msg.wParam);
                event.ctrl = GetKeyState(VK_CONTROL) < 0;
                event.shift = GetKeyState(VK_SHIFT) < 0;
                break;
            case WM_MOUSEMOVE:
            case WM_LBUTTONDOWN:
            case WM_LBUTTONUP:
            case WM_RBUTTONDOWN:
            case WM_RBUTTONUP:
            case WM_MBUTTONDOWN:
            case WM_MBUTTONUP:
                event.kind = ScriptEvent::Mouse;
                event.mouseMessage = msg.message;
                event.x = GET_X_LPARAM(msg.lParam);
                event.y = GET_Y_LPARAM(msg.lParam);
                event.shift = (msg.wParam & MK_SHIFT) != 0;
                break;
            case WM_MOUSEWHEEL: {
                POINT p{GET_X_LPARAM(msg.lParam), GET_Y_LPARAM(msg.lParam)};
                ScreenToClient(msg.hwnd, &p);
                event.kind = ScriptEvent::Mouse;
                event.mouseMessage = msg.message;
                event.x = p.x;
                event.y = p.y;
                event.wheelDelta = GET_WHEEL_DELTA_WPARAM(msg.wParam);
                break;
            }
            case WM_COMMAND:
                event.kind = ScriptEvent::Command;
                event.command = LOWORD(msg.wParam);
                break;
            default: return;
        }
        // A size change that came before this input goes before it.
        noteWindowState();
        addInput(event);
    });
    winSetDialogHook([this](const WinDialogRecord& dialog) {
        ScriptEvent event{};
        switch (dialog.kind) {
            case WinDialogRecord::OpenFile:
            case WinDialogRecord::SaveFile:
                event.kind = dialog.kind == WinDialogRecord::OpenFile ? ScriptEvent::AnswerOpen : ScriptEvent::AnswerSave;
                if (!dialog.answer.empty()) event.path = dialog.answer;
                break;
            case WinDialogRecord::Color:
                event.kind = ScriptEvent::AnswerColour;
                if (dialog.answer.size() == 7 && dialog.answer[0] == '#') {
                    unsigned value = 0;
                    if (parseNumber("0x" + dialog.answer.substr(1), value))
                        event.colour = RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
                }
                break;
            case WinDialogRecord::Dialog: event.kind = ScriptEvent::AnswerAbout; break;
        }
        addAnswer(event);
    });
}

void SessionRecorder::stop() {
    winSetMessageHook(nullptr);
    winSetDialogHook(nullptr);
}

bool SessionRecorder::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << "# SolluxViewer session\n";
    for (const std::string& line : lines_) out << line << '\n';
    out << "quit\n";
    return static_cast<bool>(out.flush());
}
