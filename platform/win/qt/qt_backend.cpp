// Qt backend: one QMainWindow per top-level window, its menu bar built from the window's
// menu, and a client widget that shows the window's picture 1:1 and turns Qt's input into
// Win32 messages in the queue.
#include "platform/win/qt/qt_backend.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "platform/win/win_internal.h"

namespace win {
namespace {

constexpr const char* kDialogClass = "#32770";

UINT virtualKey(const QKeyEvent* e) {
    const int key = e->key();
    const bool keypad = (e->modifiers() & Qt::KeypadModifier) != 0;
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<UINT>('A' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return keypad ? static_cast<UINT>(VK_NUMPAD0 + (key - Qt::Key_0))
                      : static_cast<UINT>('0' + (key - Qt::Key_0));
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return static_cast<UINT>(VK_F1 + (key - Qt::Key_F1));
    switch (key) {
        case Qt::Key_Left:
            return VK_LEFT;
        case Qt::Key_Right:
            return VK_RIGHT;
        case Qt::Key_Up:
            return VK_UP;
        case Qt::Key_Down:
            return VK_DOWN;
        case Qt::Key_Plus:
            return keypad ? VK_ADD : VK_OEM_PLUS;
        case Qt::Key_Minus:
            return keypad ? VK_SUBTRACT : VK_OEM_MINUS;
        case Qt::Key_Asterisk:
            return keypad ? VK_MULTIPLY : 0;
        case Qt::Key_Slash:
            return keypad ? VK_DIVIDE : 0;
        case Qt::Key_Delete:
            return VK_DELETE;
        case Qt::Key_Insert:
            return VK_INSERT;
        case Qt::Key_Shift:
            return VK_SHIFT;
        case Qt::Key_Control:
            return VK_CONTROL;
        case Qt::Key_Alt:
            return VK_MENU;
        case Qt::Key_Escape:
            return VK_ESCAPE;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return VK_RETURN;
        case Qt::Key_Space:
            return VK_SPACE;
        case Qt::Key_Tab:
            return VK_TAB;
        case Qt::Key_Backspace:
            return VK_BACK;
        case Qt::Key_Home:
            return VK_HOME;
        case Qt::Key_End:
            return VK_END;
        case Qt::Key_PageUp:
            return VK_PRIOR;
        case Qt::Key_PageDown:
            return VK_NEXT;
        case Qt::Key_Comma:
            return VK_OEM_COMMA;
        case Qt::Key_Period:
            return keypad ? VK_DECIMAL : VK_OEM_PERIOD;
        default:
            return 0;
    }
}

WPARAM mouseFlags(Qt::MouseButtons buttons, Qt::KeyboardModifiers mods) {
    WPARAM flags = 0;
    if (buttons & Qt::LeftButton) flags |= MK_LBUTTON;
    if (buttons & Qt::RightButton) flags |= MK_RBUTTON;
    if (buttons & Qt::MiddleButton) flags |= MK_MBUTTON;
    if (mods & Qt::ShiftModifier) flags |= MK_SHIFT;
    if (mods & Qt::ControlModifier) flags |= MK_CONTROL;
    return flags;
}

LPARAM point(const QPointF& p) {
    const int x = static_cast<int>(p.x()), y = static_cast<int>(p.y());
    return MAKELPARAM(static_cast<WORD>(static_cast<short>(x)),
                      static_cast<WORD>(static_cast<short>(y)));
}

// Shows the window's picture and reports input on it.
class ClientWidget final : public QWidget {
  public:
    explicit ClientWidget(HWND hwnd) : hwnd_(hwnd) {
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        Window* w = windowFrom(hwnd_);
        if (w == nullptr || w->picture.empty()) {
            painter.fillRect(rect(), Qt::black);
            return;
        }
        // Alpha is ignored: the window is opaque whatever the device handed over.
        const QImage image(w->picture.data(), w->clientWidth, w->clientHeight, w->clientWidth * 4,
                           QImage::Format_RGBX8888);
        painter.fillRect(rect(), Qt::black);
        painter.drawImage(0, 0, image);
    }

    void resizeEvent(QResizeEvent*) override {
        Window* w = windowFrom(hwnd_);
        if (w == nullptr || w->minimized) return;
        if (width() != w->clientWidth || height() != w->clientHeight) {
            // The window system settled on another size than the one last reported.
            w->outer.right += width() - w->clientWidth;
            w->outer.bottom += height() - w->clientHeight;
            setClientSize(*w, width(), height(), true);
        }
    }

  public:
    // Repaints only when the picture differs from the one last asked for: a frame
    // presented again, or text drawn over it as before, costs no repaint.
    void pictureChanged(const Window& w) {
        if (w.picture == requested_ && w.clientWidth == requestedWidth_) return;
        requested_ = w.picture;
        requestedWidth_ = w.clientWidth;
        update();
    }

  protected:
    void keyPressEvent(QKeyEvent* e) override { key(e, true); }
    void keyReleaseEvent(QKeyEvent* e) override { key(e, false); }

    void mousePressEvent(QMouseEvent* e) override {
        UINT message = 0;
        if (e->button() == Qt::LeftButton) message = WM_LBUTTONDOWN;
        if (e->button() == Qt::RightButton) message = WM_RBUTTONDOWN;
        if (e->button() == Qt::MiddleButton) message = WM_MBUTTONDOWN;
        if (message != 0)
            post(message, mouseFlags(e->buttons(), e->modifiers()), point(e->position()));
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        Window* w = windowFrom(hwnd_);
        // Without CS_DBLCLKS the second click is just another press.
        if (w != nullptr && (w->classStyle & CS_DBLCLKS) && e->button() == Qt::LeftButton) {
            post(WM_LBUTTONDBLCLK, mouseFlags(e->buttons(), e->modifiers()), point(e->position()));
        } else {
            mousePressEvent(e);
        }
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        UINT message = 0;
        if (e->button() == Qt::LeftButton) message = WM_LBUTTONUP;
        if (e->button() == Qt::RightButton) message = WM_RBUTTONUP;
        if (e->button() == Qt::MiddleButton) message = WM_MBUTTONUP;
        if (message != 0)
            post(message, mouseFlags(e->buttons(), e->modifiers()), point(e->position()));
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        post(WM_MOUSEMOVE, mouseFlags(e->buttons(), e->modifiers()), point(e->position()));
    }

    void wheelEvent(QWheelEvent* e) override {
        // Qt counts a notch as 120, as WM_MOUSEWHEEL does; sideways turns are not reported.
        const int delta = e->angleDelta().y();
        if (delta == 0) return;
        Window* w = windowFrom(hwnd_);
        if (w == nullptr || !w->enabled) return;
        const LPARAM at = point(e->position());
        POINT p{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
        ClientToScreen(hwnd_, &p);
        postInput(hwnd_, WM_MOUSEWHEEL,
                  MAKEWPARAM(static_cast<WORD>(mouseFlags(e->buttons(), e->modifiers())),
                             static_cast<WORD>(static_cast<short>(std::clamp(delta, -32768, 32767)))),
                  MAKELPARAM(static_cast<WORD>(static_cast<short>(p.x)), static_cast<WORD>(static_cast<short>(p.y))));
        e->accept();
    }

    void dragEnterEvent(QDragEnterEvent* e) override {
        Window* w = windowFrom(hwnd_);
        if (w != nullptr && w->acceptFiles && e->mimeData()->hasUrls()) e->acceptProposedAction();
    }
    void dropEvent(QDropEvent* e) override {
        std::vector<std::string> paths;
        for (const QUrl& url : e->mimeData()->urls()) {
            if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
        }
        winPostDropFiles(hwnd_, paths);
        e->acceptProposedAction();
    }

  public:
    void key(QKeyEvent* e, bool down) {
        const UINT vk = virtualKey(e);
        if (vk == 0) return;
        // Held keys repeat as further key-downs; the repeats' releases are not reported.
        if (!down && e->isAutoRepeat()) return;
        if (vk != VK_SHIFT && vk != VK_CONTROL && vk != VK_MENU) syncModifiers(e->modifiers());
        LPARAM lp = 1;
        if (e->isAutoRepeat() || !down) lp |= static_cast<LPARAM>(1) << 30;
        if (!down) lp |= static_cast<LPARAM>(1u << 31);
        post(down ? WM_KEYDOWN : WM_KEYUP, vk, lp);
    }

  private:
    // A modifier pressed or released while another window had the focus never reached us:
    // report it before the key, so that the accelerators see the modifiers of this key.
    void syncModifiers(Qt::KeyboardModifiers mods) {
        const std::pair<UINT, Qt::KeyboardModifier> modifiers[] = {
            {VK_SHIFT, Qt::ShiftModifier},
            {VK_CONTROL, Qt::ControlModifier},
            {VK_MENU, Qt::AltModifier}};
        for (const auto& [vk, flag] : modifiers) {
            const bool held = (mods & flag) != 0;
            if (held != state().asyncKeys[vk]) {
                post(held ? WM_KEYDOWN : WM_KEYUP, vk,
                     held ? 1 : (static_cast<LPARAM>(3) << 30) | 1);
            }
        }
    }

    void post(UINT message, WPARAM wParam, LPARAM lParam) {
        Window* w = windowFrom(hwnd_);
        if (w == nullptr || !w->enabled) return;
        postInput(hwnd_, message, wParam, lParam);
    }

    HWND hwnd_;
    std::vector<unsigned char> requested_;
    int requestedWidth_ = 0;
};

class MainWindow final : public QMainWindow {
  public:
    explicit MainWindow(HWND hwnd) : hwnd_(hwnd) {}
    ClientWidget* client = nullptr;
    std::vector<std::pair<QAction*, const MenuItem*>> actions;

  protected:
    void closeEvent(QCloseEvent* e) override {
        // The close box asks the window procedure; DefWindowProcA destroys the window.
        e->ignore();
        if (windowFrom(hwnd_) != nullptr) PostMessageA(hwnd_, WM_CLOSE, 0, 0);
    }
    void changeEvent(QEvent* e) override {
        QMainWindow::changeEvent(e);
        Window* w = windowFrom(hwnd_);
        if (w == nullptr) return;
        if (e->type() == QEvent::ActivationChange) {
            PostMessageA(hwnd_, WM_ACTIVATE, isActiveWindow() ? WA_ACTIVE : WA_INACTIVE, 0);
        } else if (e->type() == QEvent::WindowStateChange) {
            const bool minimized = (windowState() & Qt::WindowMinimized) != 0;
            if (minimized != w->minimized) {
                w->minimized = minimized;
                setClientSize(*w, client != nullptr ? client->width() : w->clientWidth,
                              client != nullptr ? client->height() : w->clientHeight, true);
            }
        }
    }

  private:
    HWND hwnd_;
};

// Every key typed in the window reaches the message loop, whichever of its widgets has the
// focus: after a menu is closed with Esc, Qt leaves the focus on the menu bar, which would
// otherwise swallow Ctrl+R and the other accelerators until the view is clicked. An open
// menu keeps its keys (it passes some on to the menu bar itself).
class KeyRouter final : public QObject {
  protected:
    bool eventFilter(QObject* target, QEvent* e) override {
        if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease) return false;
        auto* widget = qobject_cast<QWidget*>(target);
        if (widget == nullptr || QApplication::activePopupWidget() != nullptr) return false;
        auto* main = dynamic_cast<MainWindow*>(widget->window());
        if (main == nullptr || main->client == nullptr || widget == main->client) return false;
        main->client->setFocus(Qt::OtherFocusReason);
        main->client->key(static_cast<QKeyEvent*>(e), e->type() == QEvent::KeyPress);
        return true;
    }
};

QString menuText(const std::string& text) { return QString::fromLocal8Bit(text.c_str()); }

// Presents frames at most once per slot of the pace, as a display's vertical sync paces a
// program that presents every frame, and lets a loop that draws nothing wait for input.
class FramePacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FramePacer(int framesPerSecond) : framesPerSecond_(framesPerSecond) {
        idleTimer_.setSingleShot(true);
        idleTimer_.setTimerType(Qt::PreciseTimer);
    }

    // Blocks until the frame's slot; events wait in the window system meanwhile and the
    // next poll of the queue takes them, so input is late by one slot at most.
    void waitForSlot() {
        presentedSinceIdle_ = true;
        const Clock::duration period = slot();
        if (period == Clock::duration::zero()) return;
        const Clock::time_point now = Clock::now();
        if (now < nextSlot_) {
            std::this_thread::sleep_until(nextSlot_);
            nextSlot_ += period;
        } else {
            // A late frame is shown at once; the slots start again from it.
            nextSlot_ = now + period;
        }
    }

    // Waits for events for one slot unless a frame was presented since the last call.
    void idle() {
        if (presentedSinceIdle_) {
            presentedSinceIdle_ = false;
            return;
        }
        const Clock::duration period = slot();
        if (period == Clock::duration::zero()) return;
        idleTimer_.start(static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(period).count()));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        idleTimer_.stop();
    }

  private:
    Clock::duration slot() const {
        double rate = framesPerSecond_;
        if (framesPerSecond_ < 0) {
            const QScreen* screen = QGuiApplication::primaryScreen();
            rate = screen != nullptr ? screen->refreshRate() : 0.0;
            if (!(rate >= 1.0)) rate = 60.0;
        }
        if (rate <= 0.0) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    }

    int framesPerSecond_;
    Clock::time_point nextSlot_{};
    bool presentedSinceIdle_ = false;
    QTimer idleTimer_;
};

class QtBackend final : public Backend {
  public:
    explicit QtBackend(int framesPerSecond) : pacer_(framesPerSecond) {
        QCoreApplication::instance()->installEventFilter(&keyRouter_);
    }
    ~QtBackend() override {
        if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(&keyRouter_);
    }

    bool hasDisplay() const override { return true; }

    void waitForRefresh() override { pacer_.waitForSlot(); }
    void queueFoundEmpty() override { pacer_.idle(); }

    void windowCreated(Window& w) override {
        if (w.className == kDialogClass) {
            w.clientWidth = w.outer.right - w.outer.left;
            w.clientHeight = w.outer.bottom - w.outer.top;
            return;
        }
        auto* main = new MainWindow(w.handle());
        main->setAttribute(Qt::WA_DeleteOnClose, false);
        main->setWindowTitle(QString::fromLocal8Bit(w.title.c_str()));
        if (const IconImage* icon = iconFromHandle(w.icon)) {
            QImage image(icon->rgba.data(), icon->width, icon->height, icon->width * 4,
                         QImage::Format_RGBA8888);
            main->setWindowIcon(QIcon(QPixmap::fromImage(image.copy())));
        }
        main->client = new ClientWidget(w.handle());
        main->setCentralWidget(main->client);
        main->client->setAcceptDrops(true);
        if (w.menu) buildMenuBar(*main, *w.menu, w.handle());
        w.backendData = main;
        const int menuHeight = w.menu ? main->menuBar()->sizeHint().height() : 0;
        menuHeights_[w.id] = menuHeight;
        const int width = w.outer.right - w.outer.left, height = w.outer.bottom - w.outer.top;
        w.clientWidth = std::max(0, width);
        w.clientHeight = std::max(0, height - menuHeight);
        main->setGeometry(w.outer.left, w.outer.top, width, height);
        main->client->setFocus();
    }

    void windowDestroyed(Window& w) override {
        menuHeights_.erase(w.id);
        auto* main = static_cast<MainWindow*>(w.backendData);
        w.backendData = nullptr;
        if (main == nullptr) return;
        main->hide();
        main->deleteLater();
    }

    void windowShown(Window& w) override {
        auto* main = static_cast<MainWindow*>(w.backendData);
        if (main == nullptr) return;
        if (!w.visible)
            main->hide();
        else if (w.minimized)
            main->showMinimized();
        else
            main->showNormal();
    }

    void windowGeometryChanged(Window& w, bool resized) override {
        auto* main = static_cast<MainWindow*>(w.backendData);
        const int width = w.outer.right - w.outer.left, height = w.outer.bottom - w.outer.top;
        if (resized) {
            w.clientWidth = std::max(0, width);
            w.clientHeight = std::max(0, height - menuHeights_[w.id]);
        }
        if (main != nullptr) main->setGeometry(w.outer.left, w.outer.top, width, height);
    }

    void windowTitleChanged(Window& w) override {
        if (auto* main = static_cast<MainWindow*>(w.backendData))
            main->setWindowTitle(QString::fromLocal8Bit(w.title.c_str()));
    }

    void menuChanged(Window& w) override {
        auto* main = static_cast<MainWindow*>(w.backendData);
        if (main == nullptr) return;
        for (auto& [action, item] : main->actions) syncAction(action, *item);
    }

    void pictureChanged(Window& w) override {
        if (auto* main = static_cast<MainWindow*>(w.backendData)) main->client->pictureChanged(w);
    }

    void pumpEvents() override {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void waitEvents(int milliseconds) override {
        QTimer::singleShot(milliseconds, [] {});
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

    RECT workArea() override {
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen == nullptr) return RECT{0, 0, 1024, 768};
        const QRect r = screen->availableGeometry();
        return RECT{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
    }

    int bitsPerPixel() override {
        QScreen* screen = QGuiApplication::primaryScreen();
        return screen == nullptr ? 32 : screen->depth();
    }

    // The keyboard as it is now; a key that a script holds is down as well.
    bool asyncKeyDown(int vk) override {
        if (vk >= 0 && vk < 256 && state().setKeys[vk]) return true;
        const Qt::KeyboardModifiers mods = QGuiApplication::queryKeyboardModifiers();
        switch (vk) {
            case VK_SHIFT:
                return (mods & Qt::ShiftModifier) != 0;
            case VK_CONTROL:
                return (mods & Qt::ControlModifier) != 0;
            case VK_MENU:
                return (mods & Qt::AltModifier) != 0;
            case VK_LBUTTON:
                return (QGuiApplication::mouseButtons() & Qt::LeftButton) != 0;
            case VK_RBUTTON:
                return (QGuiApplication::mouseButtons() & Qt::RightButton) != 0;
            case VK_MBUTTON:
                return (QGuiApplication::mouseButtons() & Qt::MiddleButton) != 0;
            default:
                return Backend::asyncKeyDown(vk);
        }
    }

    void cursorChanged(int id) override {
        const bool wait = id == 32514;
        if (wait && !waitCursor_) {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            waitCursor_ = true;
        } else if (!wait && waitCursor_) {
            QGuiApplication::restoreOverrideCursor();
            waitCursor_ = false;
        }
    }

    int messageBox(const WinMessageBoxRecord& box) override {
        QString text = QString::fromLocal8Bit(box.text.c_str());
        text.remove('\r');
        // A label ends its last line by itself: only the final break is redundant, so a
        // sentence that ends in "\n" before it still shows one blank line under it.
        if (text.endsWith('\n')) text.chop(1);
        // No owner: the box is not modal to the viewer window, which keeps working under it.
        auto* dialog =
            new QMessageBox(QMessageBox::NoIcon, QString::fromLocal8Bit(box.caption.c_str()), text);
        dialog->setAttribute(Qt::WA_DeleteOnClose, false);
        if (!box.detail.empty()) dialog->setDetailedText(QString::fromLocal8Bit(box.detail.c_str()));
        switch (box.style & MB_ICONMASK) {
            case MB_ICONHAND:
                dialog->setIcon(QMessageBox::Critical);
                break;
            case MB_ICONQUESTION:
                dialog->setIcon(QMessageBox::Question);
                break;
            case MB_ICONEXCLAMATION:
                dialog->setIcon(QMessageBox::Warning);
                break;
            case MB_ICONASTERISK:
                dialog->setIcon(QMessageBox::Information);
                break;
            default:
                break;
        }
        std::map<QAbstractButton*, int> ids;
        auto add = [&](const char* label, QMessageBox::ButtonRole role, int id) {
            ids[dialog->addButton(label, role)] = id;
        };
        int escapeResult = IDOK;
        switch (box.style & MB_TYPEMASK) {
            case MB_OKCANCEL:
                add("OK", QMessageBox::AcceptRole, IDOK);
                add("Cancel", QMessageBox::RejectRole, IDCANCEL);
                escapeResult = IDCANCEL;
                break;
            case MB_YESNO:
                add("&Yes", QMessageBox::YesRole, IDYES);
                add("&No", QMessageBox::NoRole, IDNO);
                escapeResult = IDNO;
                break;
            case MB_YESNOCANCEL:
                add("&Yes", QMessageBox::YesRole, IDYES);
                add("&No", QMessageBox::NoRole, IDNO);
                add("Cancel", QMessageBox::RejectRole, IDCANCEL);
                escapeResult = IDCANCEL;
                break;
            case MB_RETRYCANCEL:
                add("&Retry", QMessageBox::AcceptRole, IDRETRY);
                add("Cancel", QMessageBox::RejectRole, IDCANCEL);
                escapeResult = IDCANCEL;
                break;
            default:
                add("OK", QMessageBox::AcceptRole, IDOK);
                break;
        }
        if (Window* owner = windowFrom(box.owner);
            owner != nullptr && owner->backendData != nullptr) {
            dialog->setParent(static_cast<MainWindow*>(owner->backendData), Qt::Dialog);
            dialog->setWindowModality(Qt::WindowModal);
        } else {
            dialog->setWindowModality(Qt::NonModal);
        }
        bool done = false;
        QObject::connect(dialog, &QDialog::finished, [&] { done = true; });
        dialog->show();
        runModalLoop([&] { return done; });
        QAbstractButton* clicked = dialog->clickedButton();
        const int result = clicked != nullptr && ids.count(clicked) ? ids[clicked] : escapeResult;
        dialog->hide();
        dialog->deleteLater();
        return result;
    }

    // A scripted answer (--play, tests) is given without showing anything; the real dialog
    // appears only when none is waiting.
    std::optional<std::string> openFile(const OpenFileRequest& request) override {
        if (auto scripted = request.save ? takeScriptedSaveFile() : takeScriptedOpenFile()) {
            runWhileScriptedDialogOpen();
            return *scripted;
        }
        QFileDialog dialog(parentOf(request.owner), QString::fromLocal8Bit(request.title.c_str()));
        QStringList filters;
        for (const auto& [description, patterns] : request.filters) {
            QString qPatterns = QString::fromLocal8Bit(patterns.c_str()).replace(';', ' ');
            QString qDescription = QString::fromLocal8Bit(description.c_str());
            if (!qDescription.endsWith(")"))
                qDescription += " (" + qPatterns + ")";
            else
                qDescription = qDescription.left(qDescription.lastIndexOf('(')).trimmed() + " (" +
                               qPatterns + ")";
            filters << qDescription;
        }
        if (!filters.isEmpty()) {
            dialog.setNameFilters(filters);
            const int index =
                std::clamp(request.filterIndex, 1, static_cast<int>(filters.size())) - 1;
            dialog.selectNameFilter(filters[index]);
        }
        dialog.setFileMode((request.flags & OFN_FILEMUSTEXIST) ? QFileDialog::ExistingFile
                                                               : QFileDialog::AnyFile);
        dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        // Asking before writing over a file is the Save dialog's own business.
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !(request.flags & OFN_OVERWRITEPROMPT));
        if (!request.defaultExtension.empty())
            dialog.setDefaultSuffix(QString::fromLocal8Bit(request.defaultExtension.c_str()));
        if (!request.initialDir.empty())
            dialog.setDirectory(QString::fromLocal8Bit(request.initialDir.c_str()));
        else
            dialog.setDirectory(QDir::currentPath());
        if (!request.initialName.empty())
            dialog.selectFile(QString::fromLocal8Bit(request.initialName.c_str()));
        if (!runQtDialog(dialog)) return std::nullopt;
        const QStringList files = dialog.selectedFiles();
        if (files.isEmpty()) return std::nullopt;
        return files.front().toLocal8Bit().toStdString();
    }

    std::optional<COLORREF> chooseColor(ColorRequest& request) override {
        if (auto scripted = takeScriptedColor()) {
            runWhileScriptedDialogOpen();
            return *scripted;
        }
        for (int i = 0; i < 16; ++i) {
            const COLORREF c = request.custom[static_cast<size_t>(i)];
            QColorDialog::setCustomColor(i, QColor(GetRValue(c), GetGValue(c), GetBValue(c)));
        }
        const COLORREF c = request.initial;
        QColorDialog dialog(QColor(GetRValue(c), GetGValue(c), GetBValue(c)),
                            parentOf(request.owner));
        dialog.setWindowTitle("Color");
        const bool ok = runQtDialog(dialog);
        for (int i = 0; i < 16; ++i) {
            const QColor custom = QColorDialog::customColor(i);
            request.custom[static_cast<size_t>(i)] =
                RGB(custom.red(), custom.green(), custom.blue());
        }
        if (!ok) return std::nullopt;
        const QColor chosen = dialog.selectedColor();
        return RGB(chosen.red(), chosen.green(), chosen.blue());
    }

    void runDialog(Window& dialogWindow) override;

  private:
    static QWidget* parentOf(HWND owner) {
        Window* w = windowFrom(owner);
        return w == nullptr ? nullptr : static_cast<MainWindow*>(w->backendData);
    }

    // Shows a Qt dialog window-modal to its owner and runs our messages until it closes.
    static bool runQtDialog(QDialog& dialog) {
        dialog.setWindowModality(dialog.parentWidget() != nullptr ? Qt::WindowModal
                                                                  : Qt::ApplicationModal);
        bool done = false;
        QObject::connect(&dialog, &QDialog::finished, [&] { done = true; });
        dialog.show();
        runModalLoop([&] { return done; });
        dialog.hide();
        return dialog.result() == QDialog::Accepted;
    }

    void syncAction(QAction* action, const MenuItem& item) {
        const bool checked = (item.state & MF_CHECKED) != 0;
        // Only a checked item shows a mark, as in a Win32 menu.
        action->setCheckable(checked);
        action->setChecked(checked);
        action->setEnabled((item.state & (MF_GRAYED | MF_DISABLED)) == 0);
    }

    void addItems(MainWindow& main, QMenu* qmenu, const Menu& menu, HWND hwnd) {
        for (const MenuItem& item : menu.items) {
            if (item.separator) {
                qmenu->addSeparator();
            } else if (item.popup) {
                addItems(main, qmenu->addMenu(menuText(item.text)), *item.popup, hwnd);
            } else {
                // The text after "\t" is shown as the shortcut column only; the accelerator table
                // does the work, as it does for the keys themselves.
                QAction* action = qmenu->addAction(menuText(item.text));
                const UINT id = item.id;
                const MenuItem* model = &item;
                QObject::connect(action, &QAction::triggered, [this, action, model, hwnd, id] {
                    syncAction(action, *model);  // Qt toggled it; the program decides
                    Window* w = windowFrom(hwnd);
                    if (w != nullptr && w->enabled)
                        PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
                });
                syncAction(action, item);
                main.actions.emplace_back(action, model);
            }
        }
    }

    void buildMenuBar(MainWindow& main, const Menu& menu, HWND hwnd) {
        QMenuBar* bar = main.menuBar();
        bar->setNativeMenuBar(false);  // inside the window, so the client area lies below it
        for (const MenuItem& item : menu.items) {
            if (item.popup) {
                addItems(main, bar->addMenu(menuText(item.text)), *item.popup, hwnd);
            } else if (!item.separator) {
                QAction* action = bar->addAction(menuText(item.text));
                const UINT id = item.id;
                QObject::connect(action, &QAction::triggered, [hwnd, id] {
                    PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
                });
            }
        }
    }

    std::map<UINT_PTR, int> menuHeights_;
    bool waitCursor_ = false;
    FramePacer pacer_;
    KeyRouter keyRouter_;
};

// A dialog built from a template; Esc and the close box send IDCANCEL to the dialog
// procedure instead of closing, so only the procedure ends it.
class TemplateDialog final : public QDialog {
  public:
    TemplateDialog(HWND hwnd, QWidget* parent) : QDialog(parent), hwnd_(hwnd) {}
    void reject() override { command(IDCANCEL); }
    void command(int id) {
        SendMessageA(hwnd_, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), 0);
    }

  protected:
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        command(IDCANCEL);
    }

  private:
    HWND hwnd_;
};

void QtBackend::runDialog(Window& dialogWindow) {
    const DialogTemplate* tmpl = findDialogTemplate(dialogWindow.dialogTemplate);
    if (tmpl == nullptr) return;
    const HWND hwnd = dialogWindow.handle();
    const HWND owner = dialogWindow.owner;  // the procedure may destroy the window
    auto ended = [hwnd] {
        Window* w = windowFrom(hwnd);
        return w == nullptr || w->dialogEnded;
    };
    // Scripted buttons are pressed in turn without showing the dialog; it shows only if they
    // leave it open.
    bool scripted = false;
    while (!ended()) {
        const std::optional<INT_PTR> button = takeScriptedDialogButton();
        if (!button) break;
        if (!scripted) runWhileScriptedDialogOpen();
        scripted = true;
        SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(*button), BN_CLICKED), 0);
        if (!ended()) runWhileScriptedDialogOpen();
    }
    if (ended()) return;
    TemplateDialog dialog(hwnd, parentOf(owner));
    dialog.setWindowTitle(QString::fromLocal8Bit(tmpl->caption.c_str()));
    dialog.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    QFont font = dialog.font();
    font.setPointSize(tmpl->fontPoints);
    dialog.setFont(font);
    // Dialog units: a quarter of the average character width, an eighth of its height.
    const QFontMetrics metrics(font);
    const double unitX = metrics.averageCharWidth() / 4.0, unitY = metrics.height() / 8.0;
    auto rect = [&](const DialogControl& c) {
        return QRect(static_cast<int>(c.x * unitX), static_cast<int>(c.y * unitY),
                     static_cast<int>(c.cx * unitX), static_cast<int>(c.cy * unitY));
    };
    for (const DialogControl& c : tmpl->controls) {
        switch (c.kind) {
            case DialogControl::Text:
            case DialogControl::CenteredText: {
                auto* label = new QLabel(QString::fromLocal8Bit(c.text.c_str()), &dialog);
                label->setAlignment(c.kind == DialogControl::CenteredText
                                        ? Qt::AlignHCenter | Qt::AlignTop
                                        : Qt::AlignLeft | Qt::AlignTop);
                // The template's units were made for another font: grow to fit the text, keeping
                // a centred text centred.
                QRect r = rect(c);
                const QSize hint = label->sizeHint();
                const int width = std::max(r.width(), hint.width());
                if (c.kind == DialogControl::CenteredText) r.moveLeft(r.center().x() - width / 2);
                r.setWidth(width);
                r.setHeight(std::max(r.height(), hint.height()));
                label->setGeometry(r);
                break;
            }
            case DialogControl::Button:
            case DialogControl::DefaultButton: {
                auto* button = new QPushButton(QString::fromLocal8Bit(c.text.c_str()), &dialog);
                button->setGeometry(rect(c));
                button->setDefault(c.kind == DialogControl::DefaultButton);
                button->setAutoDefault(c.kind == DialogControl::DefaultButton);
                const int id = c.id;
                QObject::connect(button, &QPushButton::clicked,
                                 [&dialog, id] { dialog.command(id); });
                break;
            }
            case DialogControl::Icon: {
                auto* label = new QLabel(&dialog);
                if (const IconImage* icon = findIcon(c.text)) {
                    QImage image(icon->rgba.data(), icon->width, icon->height, icon->width * 4,
                                 QImage::Format_RGBA8888);
                    label->setPixmap(QPixmap::fromImage(image.copy()));
                }
                label->setGeometry(QRect(rect(c).topLeft(), QSize(32, 32)));
                break;
            }
        }
    }
    const QRect used = dialog.childrenRect();
    dialog.setFixedSize(std::max(static_cast<int>(tmpl->cx * unitX), used.right() + 8),
                        std::max(static_cast<int>(tmpl->cy * unitY), used.bottom() + 8));
    dialog.setWindowModality(dialog.parentWidget() != nullptr ? Qt::WindowModal
                                                              : Qt::ApplicationModal);
    dialog.show();
    runModalLoop(ended);
    dialog.hide();
}

}  // namespace
}  // namespace win

bool winUseQt(int& argc, char** argv, int framesPerSecond) {
    if (QApplication::instance() == nullptr) {
        const bool platformChosen = std::getenv("QT_QPA_PLATFORM") != nullptr;
        const bool display =
            std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
        if (!platformChosen && !display) return false;
        // A display that cannot be reached is fatal inside Qt, which would abort with advice
        // to reinstall: say what is wrong and end as when there is no display at all.
        static QtMessageHandler previous = nullptr;
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            if (type != QtFatalMsg) {
                if (previous) previous(type, context, text);
                return;
            }
            std::fputs("solluxviewer: cannot open the window on this display\n", stderr);
            std::_Exit(1);
        });
        new QApplication(argc, argv);  // lives for the rest of the process
        qInstallMessageHandler(previous);
    }
    win::setBackend(std::make_unique<win::QtBackend>(framesPerSecond));
    return true;
}
