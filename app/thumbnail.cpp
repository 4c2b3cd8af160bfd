#include "app/thumbnail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/png_file.h"
#include "conversion/x_conversion.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_device.h"
#include "platform/regular_file.h"
#include "platform/win/headless.h"
#include "viewer/viewer_state.h"
#include "viewer/win_main.h"
#include "input/view_navigation.h"

namespace {

constexpr int kMinSize = 8;
constexpr int kMaxSize = 2048;

void complain(const std::string& input, const std::string& why) {
    std::fprintf(stderr, "solluxviewer: %s: %s\n", input.c_str(), why.c_str());
}

bool parseSize(const std::string& text, int& size) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), size);
    return ec == std::errc() && end == text.data() + text.size() && size >= kMinSize && size <= kMaxSize;
}

// Only a regular file is read: a FIFO would block and a device would never end. Nothing
// is opened before the check.
bool regularFile(const std::string& path, std::string& why) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = S_ISDIR(st.st_mode) ? "is a folder" : "is not a regular file";
        return false;
    }
    if (access(path.c_str(), R_OK) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

enum class InputKind { DirectX, Rokkaku };

// A DirectX file by its "xof " header, whatever its name; otherwise a Rokkaku file by its
// name or by the header line a file manager recognised it by.
InputKind inputKind(const std::string& path) {
    // Read through the regular-file check again: the path may have changed since.
    char head[256] = {};
    ssize_t got = 0;
    const int fd = openRegularFile(path.c_str());
    if (fd >= 0) {
        got = ::read(fd, head, sizeof head - 1);
        ::close(fd);
    }
    const std::string start(head, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (start.compare(0, 4, "xof ") == 0) return InputKind::DirectX;
    const std::string name = std::filesystem::path(path).filename().string();
    if (name.find(".rok") != std::string::npos || name.find(".ROK") != std::string::npos ||
        start.find("ROKU4") != std::string::npos)
        return InputKind::Rokkaku;
    return InputKind::DirectX;
}

// Whether the viewer takes this path for a DirectX file as it stands (the name says so and
// the path fits its 255 characters).
bool openableAsDirectX(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return path.size() < 256 && (name.find(".x") != std::string::npos || name.find(".X") != std::string::npos);
}

// The conversion's trace and palette dump are of no use to a thumbnailer; its failure is
// told afterwards from the recorded report.
template <typename F>
auto withoutOutput(F run) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    auto result = run();
    std::fflush(stdout);
    std::fflush(stderr);
    if (savedOut >= 0) dup2(savedOut, STDOUT_FILENO), close(savedOut);
    if (savedErr >= 0) dup2(savedErr, STDERR_FILENO), close(savedErr);
    return result;
}

// Converts a Rokkaku file reached through a link in a private folder, so that the .x and
// the conversion's temporary file are made there. The .x's path, or empty after a failure.
std::string convertPrivately(const std::string& link) {
    winClearRecordedMessageBoxes();
    const char* converted = withoutOutput([&] { return convertToXFile(link.c_str()); });
    if (!converted) {
        for (const WinMessageBoxRecord& box : winRecordedMessageBoxes()) std::fputs(box.text.c_str(), stderr);
        return {};
    }
    return converted;
}

// Draws the model twice, on black and on white: what differs is background, what is the
// same is the model. Empty after a failure (already reported on standard error).
std::vector<unsigned char> drawOnTransparent(const std::string& model, int size) {
    winUseHeadless(size - 1, size - 1);  // the first paint grows the window by one pixel
    gl::drawOnCallingThread();
    glRegisterDeviceBackend(nullptr);     // the picture is read from the device, without the overlay

    std::vector<unsigned char> onBlack, onWhite, result;
    int stage = 0;
    MainLoopHooks hooks;
    hooks.beforePass = [&] {
        ViewerState* state = currentState;
        if (stage != 0 || !state || !state->scene || !state->viewport || !viewerWindow()) return;
        frameAll(state);
        state->scene->SetSceneBackground(0xff000000u);
        stage = 1;
    };
    hooks.afterFrame = [&] {
        ViewerState* state = currentState;
        if (stage == 0 || stage == 3 || !state) return;
        int width = 0, height = 0;
        std::vector<unsigned char>& target = stage == 1 ? onBlack : onWhite;
        if (!glDeviceReadPicture(state->device, target, width, height) || width != size || height != size) {
            stage = 3;
            PostMessageA(viewerWindow(), WM_CLOSE, 0, 0);
            return;
        }
        if (stage == 1) {
            state->scene->SetSceneBackground(0xffffffffu);
            stage = 2;
            return;
        }
        result.assign(onBlack.size(), 0);
        bool drawn = false;
        for (size_t i = 0; i + 3 < onBlack.size(); i += 4) {
            if (std::memcmp(&onBlack[i], &onWhite[i], 3) != 0) continue;
            std::memcpy(&result[i], &onBlack[i], 3);
            result[i + 3] = 255;
            drawn = true;
        }
        // A model with nothing to show gets the file manager's own icon rather than a blank.
        if (!drawn) {
            std::fputs("solluxviewer: the model has nothing to draw\n", stderr);
            result.clear();
        }
        stage = 3;
        PostMessageA(viewerWindow(), WM_CLOSE, 0, 0);
    };
    setMainLoopHooks(std::move(hooks));
    winClearRecordedMessageBoxes();
    std::string commandTail = model;
    const int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, commandTail.data(), SW_SHOWNORMAL);
    // Every report (the model did not load, say) was written to standard error already.
    if (exitCode != 0 || !winRecordedMessageBoxes().empty()) result.clear();
    return result;
}

// Written beside OUTPUT under another name and renamed, so that OUTPUT is whole or absent.
bool writePng(const std::string& output, int size, const std::vector<unsigned char>& rgba) {
    const std::string partial = output + ".part-" + std::to_string(getpid());
    if (!writePngFile(partial, size, size, rgba.data()) ||
        std::rename(partial.c_str(), output.c_str()) != 0) {
        std::remove(partial.c_str());
        complain(output, "cannot write the PNG file");
        return false;
    }
    return true;
}

}  // namespace

PrivateFolder::PrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/solluxviewer-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
}

PrivateFolder::~PrivateFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string privatelyConvertedModel(const std::string& input, PrivateFolder& folder) {
    if (inputKind(input) != InputKind::Rokkaku) return input;
    if (folder.path().empty()) {
        complain(input, "no temporary folder to work in");
        return {};
    }
    std::error_code ec;
    const std::string link = folder.path() + "/model.rok";
    std::filesystem::create_symlink(std::filesystem::absolute(input, ec), link, ec);
    if (ec) {
        complain(input, ec.message());
        return {};
    }
    return convertPrivately(link);
}

int runThumbnail(const std::vector<std::string>& args) {
    int size = 0;
    if (args.size() != 3 || !parseSize(args[0], size)) {
        std::fprintf(stderr, "solluxviewer: --thumbnail needs SIZE (%d to %d) INPUT OUTPUT.png\n", kMinSize,
                     kMaxSize);
        return 2;
    }
    const std::string& input = args[1];
    const std::string& output = args[2];
    std::string why;
    if (!regularFile(input, why)) {
        complain(input, why);
        return 1;
    }
    PrivateFolder folder;
    std::string model = input;
    const bool rokkaku = inputKind(input) == InputKind::Rokkaku;
    if (rokkaku || !openableAsDirectX(input)) {
        if (folder.path().empty()) {
            complain(input, "no temporary folder to work in");
            return 1;
        }
        // Reached through a link of a name the viewer reads as the right kind.
        std::error_code ec;
        const std::string link = folder.path() + (rokkaku ? "/model.rok" : "/model.x");
        std::filesystem::create_symlink(std::filesystem::absolute(input, ec), link, ec);
        if (ec) {
            complain(input, ec.message());
            return 1;
        }
        model = rokkaku ? convertPrivately(link) : link;
        if (model.empty()) return 1;
    }
    const std::vector<unsigned char> rgba = drawOnTransparent(model, size);
    if (rgba.empty()) {
        complain(input, "no thumbnail");
        return 1;
    }
    return writePng(output, size, rgba) ? 0 : 1;
}
