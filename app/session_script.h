// Scripted and recorded sessions: a plain text file of input events, one a line, in the
// viewer's own terms, fed to the running viewer through the same queue, accelerator
// translation and window procedure as a person's input.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/win32.h"

struct ScriptEvent {
    enum Kind { Key, Command, Mouse, AnswerOpen, AnswerSave, AnswerColour, AnswerAbout, Frames, Shot, Quit, Size, Minimize, Restore } kind;
    int line = 0;            // in the script, for messages
    bool down = false;       // Key
    UINT virtualKey = 0;     // Key
    bool ctrl = false;       // Key
    bool shift = false;      // Key, Mouse
    int command = 0;         // Command
    UINT mouseMessage = 0;   // Mouse: WM_MOUSEMOVE, WM_LBUTTONDOWN ...
    int x = 0, y = 0;        // Mouse
    int wheelDelta = 0;      // Mouse (WM_MOUSEWHEEL): WHEEL_DELTA a notch
    std::optional<std::string> path;  // AnswerOpen, AnswerSave (null: cancel), Shot
    std::optional<COLORREF> colour;   // AnswerColour (null: cancel)
    long count = 0;                   // Frames
    int width = 0, height = 0;        // Size: the client area asked for
};

// Reads a whole script. Blank lines and lines starting with '#' are skipped. Relative
// paths are made absolute against the current folder now, since opening a model changes
// the current folder. On a line it cannot read, returns false with error set to
// "NAME:LINE: ..." quoting the line.
bool parseScript(std::istream& in, const std::string& name, std::vector<ScriptEvent>& events, std::string& error);
bool parseScriptFile(const std::string& path, std::vector<ScriptEvent>& events, std::string& error);

// The script line of an event (the inverse of parsing).
std::string formatScriptEvent(const ScriptEvent& event);

// Virtual-key names: "VK_LEFT", a letter or digit ("T"), or a number ("37", "0x25").
std::optional<UINT> virtualKeyFromName(const std::string& name);
std::string virtualKeyName(UINT virtualKey);

// Writes the window's client area as a PNG; false (with a line on standard error) when
// there is no picture or the file cannot be written.
bool writeClientAreaPng(HWND window, const std::string& path);

// Feeds events to the main loop: call pass() at the start of every pass. Input events go
// one per pass (so each is dispatched, and a frame drawn, before the next); answers and
// shots take effect at once; "frames N" waits for N frames (a pass without a frame counts
// while rendering is suspended, so a minimised window cannot stall the script).
class ScriptPlayer {
public:
    explicit ScriptPlayer(std::vector<ScriptEvent> events) : events_(std::move(events)) {}
    void pass(HWND window);
    bool finished() const { return next_ >= events_.size() && waiting_ <= 0; }
    // Once the script has ended and its last input was handled: lets go of the modifiers
    // it held, as a person would, so that they do not hold for what the person does next.
    void releaseKeys() const;
    bool failed() const { return failed_; }  // a shot could not be written
    // Runs just before "quit" closes the window (the screenshot mode takes its picture).
    void setBeforeQuit(std::function<void()> beforeQuit) { beforeQuit_ = std::move(beforeQuit); }

private:
    std::function<void()> beforeQuit_;
    std::vector<ScriptEvent> events_;
    size_t next_ = 0;
    long waiting_ = 0;
    unsigned long framesSeen_ = 0;
    bool failed_ = false;
};

// Turns what a person does in the window into script lines (keys, mouse, posted commands,
// dialog answers, window sizes, and the frames that ran between them).
class SessionRecorder {
public:
    // Installs the message and dialog hooks of the window system.
    void start();
    void stop();
    // Call at the start of every pass: notes a new size or a minimised or restored window.
    void pass(HWND window);
    bool save(const std::string& path) const;
    const std::vector<std::string>& lines() const { return lines_; }

private:
    void addInput(const ScriptEvent& event);
    void addAnswer(const ScriptEvent& event);
    void noteWindowState();
    std::vector<std::string> lines_;
    HWND window_ = nullptr;
    bool minimized_ = false;
    int width_ = 0, height_ = 0;
    size_t lastInputLine_ = 0;  // answers go before the input that opened the dialog
    bool haveInput_ = false;
    unsigned long lastFrames_ = 0;
};
