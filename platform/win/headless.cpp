// The headless backend: no display. Windows keep a client size, dialogs take scripted
// answers, and the picture lives in memory.
#include <cstdio>
#include <deque>
#include <thread>

#include "platform/win/win_internal.h"

namespace win {
namespace {

struct Scripts {
    std::deque<std::optional<std::string>> openFiles;
    std::deque<std::optional<std::string>> saveFiles;
    std::deque<std::optional<COLORREF>> colors;
    std::deque<INT_PTR> dialogButtons;
    std::function<int(const WinMessageBoxRecord&)> messageBoxHook;
    std::optional<RECT> workArea;
    int bitsPerPixel = 32;
};

Scripts& scripts() {
    static Scripts s;
    return s;
}

class HeadlessBackend final : public Backend {
  public:
    HeadlessBackend(int width, int height, bool lock)
        : width_(width), height_(height), lock_(lock) {}

    bool hasDisplay() const override { return false; }

    void windowCreated(Window& w) override {
        // The frame is whatever lies between the asked outer size and the chosen client size.
        w.clientWidth = width_;
        w.clientHeight = height_;
        insets_[w.id] = {(w.outer.right - w.outer.left) - width_,
                         (w.outer.bottom - w.outer.top) - height_};
    }

    void windowDestroyed(Window& w) override { insets_.erase(w.id); }

    void windowGeometryChanged(Window& w, bool resized) override {
        if (!resized || lock_) return;
        const auto inset = insets_[w.id];
        w.clientWidth = std::max<int>(0, (w.outer.right - w.outer.left) - inset.first);
        w.clientHeight = std::max<int>(0, (w.outer.bottom - w.outer.top) - inset.second);
    }

    void waitEvents(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(milliseconds, 1)));
    }

    RECT workArea() override { return scripts().workArea.value_or(RECT{0, 0, 1024, 768}); }
    int bitsPerPixel() override { return scripts().bitsPerPixel; }

    int messageBox(const WinMessageBoxRecord& box) override {
        int result = IDOK;
        ++state().modalDepth;
        if (scripts().messageBoxHook) result = scripts().messageBoxHook(box);
        --state().modalDepth;
        runWhileScriptedDialogOpen();
        return result;
    }

    std::optional<std::string> openFile(const OpenFileRequest& request) override {
        runWhileScriptedDialogOpen();
        return (request.save ? takeScriptedSaveFile() : takeScriptedOpenFile()).value_or(std::nullopt);
    }

    std::optional<COLORREF> chooseColor(ColorRequest&) override {
        runWhileScriptedDialogOpen();
        return takeScriptedColor().value_or(std::nullopt);
    }

    void runDialog(Window& dialog) override {
        const HWND hwnd = dialog.handle();
        runWhileScriptedDialogOpen();
        // Press the scripted buttons in turn, then OK, until the dialog ends itself.
        for (int presses = 0; presses < 64; ++presses) {
            Window* w = windowFrom(hwnd);
            if (w == nullptr || w->dialogEnded) return;
            INT_PTR button = IDOK;
            if (auto scripted = takeScriptedDialogButton()) {
                button = *scripted;
            } else if (presses > 0 && lastWasOk_) {
                break;
            }
            lastWasOk_ = button == IDOK;
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(button), BN_CLICKED), 0);
            runWhileScriptedDialogOpen();
        }
        if (Window* w = windowFrom(hwnd); w != nullptr && !w->dialogEnded) {
            std::fprintf(stderr, "Dialog \"%s\" did not end after OK; closed.\n",
                         w->dialogTemplate.c_str());
        }
    }

  private:
    int width_, height_;
    bool lock_;
    bool lastWasOk_ = false;
    std::map<UINT_PTR, std::pair<int, int>> insets_;
};

}  // namespace

// Lets whatever is queued run, paints included, as a modal loop would while a person
// looks at the box. A window that never validates gets a few paints, and messages that
// keep posting more are cut off after a while: the scripted answer comes, not a hang.
void runWhileScriptedDialogOpen() {
    int paints = 0;
    long passes = 0;
    runModalLoop([&] {
        if (++passes > 100000) return true;
        return !hasQueuedMessages() && (!paintPending() || ++paints > 4);
    });
}

template <typename T>
static std::optional<T> takeFront(std::deque<T>& queue) {
    if (queue.empty()) return std::nullopt;
    std::optional<T> front(std::move(queue.front()));
    queue.pop_front();
    return front;
}

std::optional<std::optional<std::string>> takeScriptedOpenFile() {
    return takeFront(scripts().openFiles);
}
std::optional<std::optional<std::string>> takeScriptedSaveFile() { return takeFront(scripts().saveFiles); }
std::optional<std::optional<COLORREF>> takeScriptedColor() { return takeFront(scripts().colors); }
std::optional<INT_PTR> takeScriptedDialogButton() { return takeFront(scripts().dialogButtons); }

std::unique_ptr<Backend> makeHeadlessBackend(int clientWidth, int clientHeight, bool lockClient) {
    return std::make_unique<HeadlessBackend>(std::max(0, clientWidth), std::max(0, clientHeight),
                                             lockClient);
}

}  // namespace win

using namespace win;

void winSetMessageBoxHook(std::function<int(const WinMessageBoxRecord&)> hook) {
    scripts().messageBoxHook = std::move(hook);
}
void winScriptOpenFile(std::optional<std::string> path) {
    scripts().openFiles.push_back(std::move(path));
}
void winScriptSaveFile(std::optional<std::string> path) { scripts().saveFiles.push_back(std::move(path)); }
void winScriptColor(std::optional<COLORREF> color) { scripts().colors.push_back(color); }
void winScriptDialogResult(INT_PTR buttonId) { scripts().dialogButtons.push_back(buttonId); }
void winClearScripts() {
    scripts().workArea.reset();
    scripts().bitsPerPixel = 32;
    scripts().openFiles.clear();
    scripts().saveFiles.clear();
    scripts().colors.clear();
    scripts().dialogButtons.clear();
}
void winSetWorkArea(const RECT& area) { scripts().workArea = area; }
void winSetBitsPerPixel(int bits) { scripts().bitsPerPixel = bits; }
