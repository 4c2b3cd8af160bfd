// State shared by the parts of the window-system layer and its backends. Not for callers
// outside platform/win/.
#pragma once

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win/headless.h"
#include "platform/win/resources.h"
#include "platform/win/win32.h"

namespace win {

struct Menu;

struct MenuItem {
    std::string text;  // with its '&' mnemonics and "\t" shortcut column
    UINT id = 0;
    UINT state = 0;  // MF_CHECKED, MF_GRAYED
    bool separator = false;
    std::unique_ptr<Menu> popup;
};

struct Menu {
    std::vector<MenuItem> items;
};

struct Window {
    UINT_PTR id = 0;
    HWND owner = nullptr;
    std::string className;
    WNDPROC proc = nullptr;
    std::string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    UINT classStyle = 0;
    COLORREF background = 0xFFFFFF;
    RECT outer{};
    int clientWidth = 0;
    int clientHeight = 0;
    std::vector<unsigned char> extra;
    LONG_PTR userData = 0;
    std::unique_ptr<Menu> menu;
    bool visible = false;
    bool minimized = false;
    bool enabled = true;
    bool shownOnce = false;
    bool acceptFiles = false;
    bool destroying = false;
    bool updatePending = false;
    bool erasePending = false;
    RECT updateRect{};
    std::vector<unsigned char> picture;  // client area, RGBA8, top-down
    size_t pictureWidth = 0, pictureHeight = 0;

    // Dialogs
    DLGPROC dialogProc = nullptr;
    bool dialogEnded = false;
    INT_PTR dialogResult = 0;
    std::string dialogTemplate;

    void* backendData = nullptr;

    HWND handle() const { return reinterpret_cast<HWND>(id); }
};

struct Font {
    int height = 0;
    int weight = 0;
    std::string face;
    bool stock = false;
};

struct DeviceContext {
    HWND hwnd = nullptr;  // null: the screen
    Font* font = nullptr;
    COLORREF textColor = 0;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
};

struct OpenFileRequest {
    HWND owner = nullptr;
    std::string title;
    std::vector<std::pair<std::string, std::string>> filters;  // description, patterns
    int filterIndex = 1;
    std::string initialName;
    std::string initialDir;
    std::string defaultExtension;
    DWORD flags = 0;
    bool save = false;  // GetSaveFileNameA: a name to write, which need not exist
};

struct ColorRequest {
    HWND owner = nullptr;
    COLORREF initial = 0;
    std::array<COLORREF, 16> custom{};
    DWORD flags = 0;
};

// What a window system supplies. The headless backend is the default.
class Backend {
  public:
    virtual ~Backend() = default;
    virtual bool hasDisplay() const = 0;
    // Creation: sets the window's client size from its outer rectangle.
    virtual void windowCreated(Window& w) = 0;
    virtual void windowDestroyed(Window&) {}
    virtual void windowShown(Window&) {}
    // The program moved or resized the window; the backend updates the client size.
    virtual void windowGeometryChanged(Window& w, bool resized) = 0;
    virtual void windowTitleChanged(Window&) {}
    virtual void menuChanged(Window&) {}
    virtual void pictureChanged(Window&) {}
    // A finished frame is about to reach the window: a backend with a display holds it
    // back to the next refresh, as vertical sync would. Headless frames are never held.
    virtual void waitForRefresh() {}
    // A poll of the whole queue found nothing. A backend with a display may wait for
    // events until the next refresh when no frame came since the last such poll, so that
    // a loop with nothing to draw (minimised, a modal box) does not spin.
    virtual void queueFoundEmpty() {}
    // Turns pending window-system events into queued messages; never blocks.
    virtual void pumpEvents() {}
    // Waits up to the given time for window-system events (GetMessageA, modal loops).
    virtual void waitEvents(int milliseconds) = 0;
    virtual RECT workArea() = 0;
    virtual int bitsPerPixel() = 0;
    virtual bool asyncKeyDown(int vk);
    virtual void cursorChanged(int) {}
    // Modal user interface. Each runs until answered, dispatching messages meanwhile
    // through runModalLoop.
    virtual int messageBox(const WinMessageBoxRecord& box) = 0;
    virtual std::optional<std::string> openFile(const OpenFileRequest& request) = 0;
    virtual std::optional<COLORREF> chooseColor(ColorRequest& request) = 0;
    // Shows the dialog window `dialog` (its template is loaded) and runs until EndDialog.
    virtual void runDialog(Window& dialog) = 0;
};

struct Drop {
    std::vector<std::string> paths;
};

struct State {
    std::map<UINT_PTR, std::unique_ptr<Window>> windows;
    UINT_PTR nextWindowId = 0x100;
    std::map<std::string, WNDCLASSA> classes;  // key: lower-case class name
    std::map<std::string, std::string> classMenuNames;
    std::map<std::string, std::string> classNames;

    std::mutex queueMutex;
    std::deque<MSG> queue;
    bool quitPending = false;
    int quitCode = 0;

    std::array<bool, 256> asyncKeys{};  // as the keyboard is now
    std::array<bool, 256> syncKeys{};   // as of the last key message taken from the queue
    std::array<bool, 256> setKeys{};    // held through winSetKeyDown (a script), whatever the keyboard says

    HWND capture = nullptr;
    HWND focus = nullptr;
    HWND active = nullptr;
    int cursorId = 0;
    int modalDepth = 0;
    unsigned long long messagesHandled = 0;  // window procedure calls, sent or dispatched
    std::optional<DWORD> fixedTick;
    double headlessSeconds = 0;  // the frames' time, headless

    std::map<UINT_PTR, std::unique_ptr<Drop>> drops;
    UINT_PTR nextDropId = 1;

    std::function<void(const MSG&)> messageHook;
    std::function<void(const WinDialogRecord&)> dialogHook;
    std::vector<WinMessageBoxRecord> messageBoxes;
    std::vector<WinDialogRecord> dialogs;

    std::unique_ptr<Backend> backend;
};

State& state();
Backend& backend();
void setBackend(std::unique_ptr<Backend> backend);
std::unique_ptr<Backend> makeHeadlessBackend(int clientWidth, int clientHeight, bool lockClient);

// Answers scripted for the coming dialogs (winScriptOpenFile and the like), oldest first.
// Every backend takes a waiting answer instead of asking a person, so that a scripted
// session replays the same with a display or without. Empty when none is waiting.
std::optional<std::optional<std::string>> takeScriptedOpenFile();
std::optional<std::optional<std::string>> takeScriptedSaveFile();
std::optional<std::optional<COLORREF>> takeScriptedColor();
std::optional<INT_PTR> takeScriptedDialogButton();
// Runs what is queued, paints included, as the modal loop of a dialog that is open for a
// moment would before its scripted answer comes. Bounded: never waits for a person.
void runWhileScriptedDialogOpen();

Window* windowFrom(HWND hwnd);
// Posts a message that the window system reports (input, activation, close); keeps the key
// state up to date for key messages.
void postInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
bool hasQueuedMessages();
bool paintPending();  // a visible window has something to paint
// Runs the thread's messages (no accelerators) until done() holds. A WM_QUIT taken here
// ends the loop and is posted again for the caller's loop, as Win32 modal loops do.
// Returns false when it ended on WM_QUIT.
bool runModalLoop(const std::function<bool()>& done);
// Client size changed by the window system or the program: resizes the picture and sends
// WM_SIZE.
void setClientSize(Window& w, int width, int height, bool sendSize);
bool resizePicture(Window& w);
void invalidateAll(Window& w, bool erase);

// Resources (registered by the program: platform/win/resources.h)
std::unique_ptr<Menu> loadMenuTemplate(const std::string& name);
std::unique_ptr<Menu> takeLoadedMenu(HMENU handle);  // null when it is not a loaded menu
void forgetLoadedMenus();
const std::vector<ACCEL>* findAccelerators(const std::string& name);
// Whether `table` is a registered accelerator table.
bool isAcceleratorTable(const std::vector<ACCEL>* table);
const DialogTemplate* findDialogTemplate(const std::string& name);

struct IconImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgba;  // transparent pixels have alpha 0
};
const IconImage* findIcon(const std::string& name);
HICON iconHandle(const std::string& name);
const IconImage* iconFromHandle(HICON icon);
std::string resourceName(LPCSTR name);  // "#123" for integer resources

// Text drawn with the built-in bitmap font.
int fontScale(const Font* font);
SIZE textExtent(const Font* font, const char* text, int length);
void drawText(Window& w, const Font* font, int x, int y, const char* text, int length,
              COLORREF color, std::optional<COLORREF> background, const RECT* clip);

}  // namespace win
