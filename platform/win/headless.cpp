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

// Lets whatever is queued run, paints included, as a modal loop would while a person
// looks at the box. A window that never validates gets a few paints, and messages that
// keep posting more are cut off after a while: the scripted answer comes, not a hang.
void drainWhileOpen() {
    int paints = 0;
    long passes = 0;
    runModalLoop([&] {
        if (++passes > 100000) return true;
        return !hasQueuedMessages() && (!paintPending() || ++paints > 4);
    });
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
        drainWhileOpen();
        return result;
    }

    std::optional<std::string> openFile(const OpenFileRequest&) override {
        drainWhileOpen();
        if (scripts().openFiles.empty()) return std::nullopt;
        auto answer = scripts().openFiles.front();
        scripts().openFiles.pop_front();
        return answer;
    }

    std::optional<COLORREF> chooseColor(ColorRequest&) override {
        drainWhileOpen();
        if (scripts().colors.empty()) return std::nullopt;
        auto answer = scripts().colors.front();
        scripts().colors.pop_front();
        return answer;
    }

    void runDialog(Window& dialog) override {
        const HWND hwnd = dialog.handle();
        drainWhileOpen();
        // Press the scripted buttons in turn, then OK, until the dialog ends itself.
        for (int presses = 0; presses < 64; ++presses) {
            Window* w = windowFrom(hwnd);
            if (w == nullptr || w->dialogEnded) return;
            INT_PTR button = IDOK;
            if (!scripts().dialogButtons.empty()) {
                button = scripts().dialogButtons.front();
                scripts().dialogButtons.pop_front();
            } else if (presses > 0 && lastWasOk_) {
                break;
            }
            lastWasOk_ = button == IDOK;
            SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(button), BN_CLICKED), 0);
            drainWhileOpen();
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
void winScriptColor(std::optional<COLORREF> color) { scripts().colors.push_back(color); }
void winScriptDialogResult(INT_PTR buttonId) { scripts().dialogButtons.push_back(buttonId); }
void winClearScripts() {
    scripts().workArea.reset();
    scripts().bitsPerPixel = 32;
    scripts().openFiles.clear();
    scripts().colors.clear();
    scripts().dialogButtons.clear();
}
void winSetWorkArea(const RECT& area) { scripts().workArea = area; }
void winSetBitsPerPixel(int bits) { scripts().bitsPerPixel = bits; }
