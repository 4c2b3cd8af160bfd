#include "app/command_line_modes.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "platform/gl/egl_context.h"
#include "platform/gl/gl_device.h"
#include "platform/win/picture.h"
#include "platform/win/headless.h"
#include "app/session_script.h"
#include "app/window_module.h"
#include "input/keys_help.h"
#include "platform/rm/rm_extras.h"
#include "viewer/viewer_state.h"
#include "app/win_main.h"

namespace {

constexpr long kMaxFramesPerSecond = 1000;

bool parseCount(const std::string& text, long& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parseSize(const std::string& text, int& width, int& height) {
    size_t x = text.find('x');
    if (x == std::string::npos) return false;
    long w = 0, h = 0;
    if (!parseCount(text.substr(0, x), w) || !parseCount(text.substr(x + 1), h)) return false;
    // Beyond this the picture would not fit a GL framebuffer anyway.
    if (w < 2 || h < 2 || w > 8192 || h > 8192) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    return true;
}

[[maybe_unused]] bool displayAvailable() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.string();
}

}  // namespace

bool parseViewerOptions(const std::vector<std::string>& args, ViewerOptions& options, std::string& error) {
    std::vector<std::string> modelWords;
    bool sizeGiven = false, framesGiven = false;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            modelWords.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        auto value = [&](const char* what) -> const std::string* {
            if (i + 1 >= args.size()) {
                error = arg + " needs " + what;
                return nullptr;
            }
            return &args[++i];
        };
        if (arg == "--screenshot") {
            const std::string* path = value("an output PNG path");
            if (!path) return false;
            options.screenshotPath = *path;
        } else if (arg == "--size") {
            const std::string* size = value("WIDTHxHEIGHT");
            if (!size) return false;
            if (!parseSize(*size, options.width, options.height)) {
                error = "--size: expected WIDTHxHEIGHT between 2x2 and 8192x8192, got '" + *size + "'";
                return false;
            }
            sizeGiven = true;
        } else if (arg == "--frames") {
            const std::string* count = value("a frame count");
            if (!count) return false;
            if (!parseCount(*count, options.frames) || options.frames < 1) {
                error = "--frames: expected a whole number of at least 1, got '" + *count + "'";
                return false;
            }
            framesGiven = true;
        } else if (arg == "--fps") {
            const std::string* rate = value("a frame rate");
            long fps = 0;
            if (!rate) return false;
            if (!parseCount(*rate, fps) || fps < 0 || fps > kMaxFramesPerSecond) {
                error = "--fps: expected a whole number from 0 (unpaced) to " +
                        std::to_string(kMaxFramesPerSecond) + ", got '" + *rate + "'";
                return false;
            }
            options.framesPerSecond = static_cast<int>(fps);
        } else if (arg == "--play") {
            const std::string* path = value("a script path");
            if (!path) return false;
            options.playPath = *path;
        } else if (arg == "--record") {
            const std::string* path = value("a script path");
            if (!path) return false;
            options.recordPath = *path;
        } else {
            error = "unknown option '" + arg + "' (see --help)";
            return false;
        }
    }
    if ((sizeGiven || framesGiven) && options.screenshotPath.empty()) {
        error = "--size and --frames go with --screenshot";
        return false;
    }
    if (!options.recordPath.empty() && !options.screenshotPath.empty()) {
        error = "--record records a session in the window; it does not go with --screenshot";
        return false;
    }
    // The shell split a path that holds blanks; the viewer takes the whole rest as one.
    options.model.clear();
    for (size_t i = 0; i < modelWords.size(); ++i) options.model += (i ? " " : "") + modelWords[i];
    return true;
}

unsigned long long viewerRedrawStamp() {
    const ViewerState* state = currentState;
    if (state == nullptr || state->scene == nullptr || winAnyKeyDown() || rm::frameTreeMoves(state->scene))
        return 0;
    return winHandledMessageCount() + 1;
}

int runViewer(const ViewerOptions& options) {
    std::unique_ptr<ScriptPlayer> player;
    if (!options.playPath.empty()) {
        std::vector<ScriptEvent> events;
        std::string error;
        if (!parseScriptFile(options.playPath, events, error)) {
            std::fprintf(stderr, "solluxviewer: %s\n", error.c_str());
            return 2;
        }
        player = std::make_unique<ScriptPlayer>(std::move(events));
    }

    const bool screenshot = !options.screenshotPath.empty();
    if (screenshot) {
        // One pixel smaller: the first paint grows the window by one pixel each way, which
        // rebuilds the device at exactly the size asked for.
        winUseHeadless(options.width - 1, options.height - 1);
        if (!player && options.frames <= 2) gl::drawOnCallingThread();
        // A frame that could only repeat the last picture presents it again: the pictures
        // are the same, and a big model is not drawn twice before the first shot.
        glSetRedrawStamp(options.drawStillFrames ? nullptr : viewerRedrawStamp);
    } else {
#ifdef SOLLUX_QT_MODULE_FILE
        if (!displayAvailable()) {
            std::fprintf(stderr,
                         "solluxviewer: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
                         "use --screenshot OUT.png to draw without one\n");
            return 1;
        }
        // Qt keeps argc and argv for the application's life.
        static int qtArgc = 1;
        static char qtName[] = "solluxviewer";
        static char* qtArgv[] = {qtName, nullptr};
        std::string error;
        if (!useQtWindowModule(qtArgc, qtArgv, options.framesPerSecond, error)) {
            std::fprintf(stderr, "solluxviewer: %s\n", error.c_str());
            return 1;
        }
        // Unpaced, every frame is drawn, as when measuring the drawing itself.
        if (options.framesPerSecond != 0) glSetRedrawStamp(viewerRedrawStamp);
#else
        std::fprintf(stderr, "solluxviewer: built without a window system; use --screenshot OUT.png\n");
        return 1;
#endif
    }
    glRegisterDeviceBackend(winPresentPicture);

    const std::string shotPath = screenshot ? absolutePath(options.screenshotPath) : std::string();
    long framesLeft = options.frames;
    unsigned long framesSeen = 0;
    bool shotFailed = false;
    bool shotTaken = false;
    bool counting = false;
    bool keysReleased = false;
    SessionRecorder recorder;
    const bool recording = !options.recordPath.empty();
    MainLoopHooks hooks;
    hooks.beforePass = [&] {
        HWND window = viewerWindow();
        if (!window) return;
        if (recording) recorder.pass(window);
        if (player && !player->finished()) {
            player->pass(window);
            return;
        }
        if (player && !keysReleased) {
            player->releaseKeys();  // the script's last input was handled in the last pass
            keysReleased = true;
        }
        if (!screenshot || shotTaken) return;
        // After the script, let the asked-for frames run (passes count while nothing can
        // be drawn, so a stopped viewer still ends), then take the picture and close.
        unsigned long frames = renderedFrameCount();
        if (!counting) {
            // The passes before this one (start-up, the script) do not count.
            counting = true;
        } else if (frames > framesSeen) {
            framesLeft -= static_cast<long>(frames - framesSeen);
        } else if (!renderingPossible()) {
            --framesLeft;
        }
        framesSeen = frames;
        if (framesLeft > 0) return;
        shotTaken = true;
        if (!writeClientAreaPng(window, shotPath)) shotFailed = true;
        PostMessageA(window, WM_CLOSE, 0, 0);
    };
    setMainLoopHooks(std::move(hooks));
    if (player && screenshot) {
        // A script that quits ends the session: the picture is taken as it closes.
        player->setBeforeQuit([&] {
            if (shotTaken) return;
            shotTaken = true;
            if (!writeClientAreaPng(viewerWindow(), shotPath)) shotFailed = true;
        });
    }

    if (recording) recorder.start();

    std::string model = options.model;
    int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, model.data(), SW_SHOWNORMAL);

    if (!options.recordPath.empty()) {
        recorder.stop();
        if (!recorder.save(options.recordPath)) {
            std::fprintf(stderr, "solluxviewer: %s: cannot write the session\n", options.recordPath.c_str());
            if (exitCode == 0) exitCode = 1;
        }
    }
    if (screenshot) {
        glSetRedrawStamp(nullptr);
        // Without a display every report went to standard error; any of them is a failure.
        // The key table (F1) is no report.
        for (const WinMessageBoxRecord& box : winRecordedMessageBoxes())
            if (box.caption != kKeysAndMouseCaption && exitCode == 0) exitCode = 1;
        if (!shotTaken) {
            std::fprintf(stderr, "solluxviewer: the viewer ended before the screenshot was taken\n");
            shotFailed = true;
        }
        if (shotFailed && exitCode == 0) exitCode = 1;
    }
    if (player && player->failed() && exitCode == 0) exitCode = 1;
    // A scripted answer naming no file was taken as a cancel: the run did not do what the
    // script asked.
    if ((player || screenshot) && exitCode == 0)
        for (const WinDialogRecord& dialog : winRecordedDialogs())
            if (dialog.refused) exitCode = 1;
    return exitCode;
}

int viewerMain(const std::vector<std::string>& args) {
    ViewerOptions options;
    std::string error;
    if (!parseViewerOptions(args, options, error)) {
        std::fprintf(stderr, "solluxviewer: %s\n", error.c_str());
        return 2;
    }
    return runViewer(options);
}
