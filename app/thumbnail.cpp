#include "app/thumbnail.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "app/png_file.h"
#include "conversion/x_conversion.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_device.h"
#include "platform/regular_file.h"
#include "platform/rm/rm_extras.h"
#include "platform/win/headless.h"
#include "viewer/texture_callback.h"
#include "viewer/viewer_state.h"
#include "app/win_main.h"
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
    // A regular file of the kernel's own (/proc, /sys) is no model.
    const int fd = openRegularFile(path.c_str());
    if (fd < 0) {
        why = "is not a regular file";
        return false;
    }
    ::close(fd);
    return true;
}

// Whether OUTPUT, as it stands, is INPUT under another name (or the same): writing the
// picture there would replace the model.
bool sameFile(const std::string& input, const std::string& output) {
    struct stat in, out;
    return stat(input.c_str(), &in) == 0 && stat(output.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
}

// Whatever a hostile model gets past the loaders' own limits still ends: the thumbnailer
// runs on every file a person downloads. Memory is bounded by the writable memory the
// process may take (heap and anonymous mappings, where every expansion of a model goes);
// the address space, which also holds the mapped model file, the libraries and the
// drawing threads' reservations (a literal mesh of 4 million faces needs 1.2 GB of it),
// only more loosely.
constexpr rlim_t kMaxWritableMemory = rlim_t(1) << 30;
constexpr rlim_t kMaxAddressSpace = rlim_t(4) << 30;
constexpr rlim_t kMaxCpuSeconds = 10;

void limitResources() {
    const struct rlimit memory {kMaxWritableMemory, kMaxWritableMemory};
    const struct rlimit space {kMaxAddressSpace, kMaxAddressSpace};
    const struct rlimit cpu {kMaxCpuSeconds, kMaxCpuSeconds + 1};
#ifdef SOLLUX_SANITIZED
    // The sanitizer's shadow memory needs the address space: only the time is limited.
    (void)memory, (void)space;
    for (auto [resource, limit] : {std::pair{RLIMIT_CPU, &cpu}}) {
#else
    for (auto [resource, limit] : {std::pair{RLIMIT_DATA, &memory}, std::pair{RLIMIT_AS, &space}, std::pair{RLIMIT_CPU, &cpu}}) {
#endif
        // Never raised: a caller's tighter limit stands.
        struct rlimit current;
        if (getrlimit(resource, &current) == 0 && current.rlim_cur != RLIM_INFINITY && current.rlim_cur <= limit->rlim_cur)
            continue;
        struct rlimit wanted = *limit;
        if (current.rlim_max != RLIM_INFINITY && current.rlim_max < wanted.rlim_max) wanted.rlim_max = current.rlim_max;
        if (wanted.rlim_cur > wanted.rlim_max) wanted.rlim_cur = wanted.rlim_max;
        setrlimit(resource, &wanted);
    }
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

// Whether the .x file may hold animation keys: text and binary files name them, a
// compressed one may hide them.
bool mayBeAnimated(const std::string& path) {
    const int fd = openRegularFile(path.c_str());
    if (fd < 0) return false;
    // Searched where it is read, with the word's length less one carried over, so that a
    // big model costs one pass and no copies.
    static constexpr char kWord[] = "AnimationKey";
    constexpr size_t kWordLength = sizeof kWord - 1, kCarry = kWordLength - 1;
    std::vector<char> buffer(kCarry + (size_t(1) << 20));
    size_t carried = 0;
    bool found = false;
    for (bool first = true; !found; first = false) {
        const ssize_t got = ::read(fd, buffer.data() + carried, buffer.size() - carried);
        if (got <= 0) break;
        const size_t size = carried + size_t(got);
        const char* text = buffer.data();
        if (first && size >= 12 && (std::memcmp(text + 8, "tzip", 4) == 0 || std::memcmp(text + 8, "bzip", 4) == 0))
            found = true;
        else if (::memmem(text, size, kWord, kWordLength) != nullptr)
            found = true;
        carried = std::min(size, kCarry);
        std::memmove(buffer.data(), text + size - carried, carried);
    }
    ::close(fd);
    return found;
}

// A file with an animation set shows the first set's pose at time 0: the set's frames, hung
// in the frame where the meshes were placed at rest, take the meshes' place.
void poseFirstAnimation(const std::string& model, ViewerState* state) {
    IDirect3DRMFrame* placed = nullptr;
    for (IDirect3DRMFrame* child : rm::frameChildren(state->scene))
        for (IDirect3DRMVisual* visual : rm::frameVisuals(child))
            if (rm::visualKind(visual) == rm::VisualKind::MeshBuilder) placed = child;
    // A model that did not load is not read again (a refused sparse file would be read
    // whole, gigabytes of holes).
    if (!placed || !mayBeAnimated(model)) return;
    IDirect3DRMFrame* posed = nullptr;
    IDirect3DRMAnimationSet* set = nullptr;
    if (d3drm->CreateFrame(placed, &posed) != D3DRM_OK || d3drm->CreateAnimationSet(&set) != D3DRM_OK) {
        if (posed) posed->Release();
        return;
    }
    std::string path = model;
    const bool loaded = set->Load(path.data(), nullptr, D3DRMLOAD_FROMFILE, loadTextureCallback, nullptr, posed) ==
                            D3DRM_OK &&
                        !rm::frameChildren(posed).empty();
    if (loaded) {
        set->SetTime(0);
        const auto visuals = rm::frameVisuals(placed);
        for (IDirect3DRMVisual* visual : std::vector<IDirect3DRMVisual*>(visuals.begin(), visuals.end()))
            placed->DeleteVisual(visual);
    } else {
        placed->DeleteChild(posed);
    }
    set->Release();
    posed->Release();
}

// Draws the model on black once. A pixel is the model's where the drawing left a depth
// (something opaque there, seen through translucent faces or not) and transparent
// elsewhere (translucent faces over nothing included): what drawing it on black and on
// white and keeping the pixels that come out the same would give, at the cost of one
// drawing. Empty after a failure (already reported on standard error).
std::vector<unsigned char> drawOnTransparent(const std::string& model, int size, PrivateFolder* folder) {
    winUseHeadless(size - 1, size - 1);  // the first paint grows the window by one pixel
    gl::drawOnCallingThread();
    glRegisterDeviceBackend(nullptr);     // the picture is read from the device, without the overlay

    std::vector<unsigned char> picture, covered, result;
    int stage = 0;
    MainLoopHooks hooks;
    hooks.beforePass = [&] {
        ViewerState* state = currentState;
        if (stage != 0 || !state || !state->scene || !state->viewport || !viewerWindow()) return;
        poseFirstAnimation(model, state);
        if (folder) folder->remove();  // the model is read: nothing of it need stay on disk
        frameAll(state);
        state->scene->SetSceneBackground(0xff000000u);
        stage = 1;
    };
    hooks.afterFrame = [&] {
        ViewerState* state = currentState;
        if (stage != 1 || !state) return;
        stage = 2;
        PostMessageA(viewerWindow(), WM_CLOSE, 0, 0);
        int width = 0, height = 0, coveredWidth = 0, coveredHeight = 0;
        if (!glDeviceReadPicture(state->device, picture, width, height) || width != size || height != size ||
            !glDeviceReadCovered(state->device, covered, coveredWidth, coveredHeight) || coveredWidth != size ||
            coveredHeight != size)
            return;
        result.assign(picture.size(), 0);
        bool drawn = false;
        for (size_t i = 0; i < covered.size(); ++i) {
            if (!covered[i]) continue;
            std::memcpy(&result[4 * i], &picture[4 * i], 3);
            result[4 * i + 3] = 255;
            drawn = true;
        }
        // A model with nothing to show gets the file manager's own icon rather than a blank.
        if (!drawn) {
            std::fputs("solluxviewer: the model has nothing to draw\n", stderr);
            result.clear();
        }
    };
    setMainLoopHooks(std::move(hooks));
    winClearRecordedMessageBoxes();
    std::string commandTail = model;
    const int exitCode = WinMain(GetModuleHandleA(nullptr), nullptr, commandTail.data(), SW_SHOWNORMAL);
    // Every report (the model did not load, say) was written to standard error already.
    if (exitCode != 0 || !winRecordedMessageBoxes().empty()) result.clear();
    return result;
}

// Written beside OUTPUT and renamed onto it, so that OUTPUT is whole or absent: an unnamed
// file named only once it is complete or, where the file system has none, a new file of
// a name no other file has (a link already there under that name is never written
// through).
bool writePng(const std::string& output, int size, const std::vector<unsigned char>& rgba) {
    const std::filesystem::path parent = std::filesystem::path(output).parent_path();
    const std::string folder = parent.empty() ? "." : parent.string();
    std::string partial;
    bool written = false;
    int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        char self[64];
        const int kept = dup(fd);  // the PNG writer closes its descriptor
        if (kept >= 0 && writePngDescriptor(fd, size, size, rgba.data())) {
            std::snprintf(self, sizeof self, "/proc/self/fd/%d", kept);
            for (int attempt = 0; attempt < 100 && !written; ++attempt) {
                partial = output + ".part-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
                if (linkat(AT_FDCWD, self, AT_FDCWD, partial.c_str(), AT_SYMLINK_FOLLOW) == 0) written = true;
                else if (errno != EEXIST) break;
            }
        }
        if (kept >= 0) close(kept);
        if (!written) partial.clear();
    }
    for (int attempt = 0; attempt < 100 && !written; ++attempt) {
        partial = output + ".part-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        const int named = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (named >= 0) {
            written = writePngDescriptor(named, size, size, rgba.data());
            if (!written) break;
        } else if (errno != EEXIST) {
            partial.clear();
            break;
        }
    }
    if (!written || std::rename(partial.c_str(), output.c_str()) != 0) {
        if (!partial.empty()) std::remove(partial.c_str());
        complain(output, "cannot write the PNG file");
        return false;
    }
    return true;
}

}  // namespace

// A folder of our own under TMPDIR, removed with everything in it: by remove() once the
// model is read, at the latest when this ends, and, should the thumbnailer be killed (a
// file manager's time limit, the resource limits), by the small process that made it,
// which waits for the thumbnailer's end (its whole process group killed included) and
// then removes what is left. Made there, the folder has no moment in which a kill would
// leave it behind.
PrivateFolder::PrivateFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/solluxviewer-thumbnail-XXXXXX";
    int ends[2], made[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    if (pipe2(made, O_CLOEXEC) != 0) {
        close(ends[0]), close(ends[1]);
        return;
    }
    watcherId_ = fork();
    if (watcherId_ == 0) {
        // A session of its own: a kill of the thumbnailer's whole group (a file manager's
        // time limit) does not reach it. It stays for the signals a terminal sends, and
        // holds none of the thumbnailer's output open; it still ends with the thumbnailer,
        // when the last end of `ends` closes.
        setsid();
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) signal(sig, SIG_IGN);
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
        close(ends[1]);
        close(made[0]);
        if (!mkdtemp(pattern.data())) pattern.clear();
        [[maybe_unused]] const ssize_t told = write(made[1], pattern.data(), pattern.size());
        close(made[1]);
        char byte;
        while (read(ends[0], &byte, 1) < 0 && errno == EINTR) {
        }
        std::error_code ec;
        if (!pattern.empty()) std::filesystem::remove_all(pattern, ec);
        _exit(0);
    }
    close(ends[0]);
    close(made[1]);
    if (watcherId_ < 0) {
        close(ends[1]);
        close(made[0]);
        return;
    }
    watcher_ = ends[1];
    char buffer[4096];
    for (ssize_t n; (n = read(made[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        path_.append(buffer, size_t(n));
    }
    close(made[0]);
}

PrivateFolder::~PrivateFolder() {
    remove();
    if (watcher_ >= 0) {
        close(watcher_);
        waitpid(watcherId_, nullptr, 0);
    }
}

void PrivateFolder::remove() {
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
    limitResources();
    std::string why;
    if (!regularFile(input, why)) {
        complain(input, why);
        return 1;
    }
    if (sameFile(input, output)) {
        complain(output, "is the model itself; it is left as it is");
        return 1;
    }
    // Textures come from the model's own folder and below, never from where the
    // thumbnailer happens to run or from anywhere a name points.
    const std::filesystem::path inputFolder = std::filesystem::path(input).parent_path();
    rm::confineTextureLookup(inputFolder.empty() ? "." : inputFolder.string());
    std::optional<PrivateFolder> folder;
    std::string model = input;
    const bool rokkaku = inputKind(input) == InputKind::Rokkaku;
    if (rokkaku || !openableAsDirectX(input)) {
        folder.emplace();
        if (folder->path().empty()) {
            complain(input, "no temporary folder to work in");
            return 1;
        }
        // Reached through a link of a name the viewer reads as the right kind.
        std::error_code ec;
        const std::string link = folder->path() + (rokkaku ? "/model.rok" : "/model.x");
        std::filesystem::create_symlink(std::filesystem::absolute(input, ec), link, ec);
        if (ec) {
            complain(input, ec.message());
            return 1;
        }
        model = rokkaku ? convertPrivately(link) : link;
        if (model.empty()) return 1;
    }
    const std::vector<unsigned char> rgba = drawOnTransparent(model, size, folder ? &*folder : nullptr);
    if (rgba.empty()) {
        complain(input, "no thumbnail");
        return 1;
    }
    return writePng(output, size, rgba) ? 0 : 1;
}
