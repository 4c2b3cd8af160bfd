#include "conversion/x_conversion.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_writer.h"
#include "platform/regular_file.h"
#include "platform/win/win32.h"
#include "report/report_error.h"

char convertedPath[kConvertedPathSize];

namespace {

// Shows the wait cursor for as long as it lives and puts the previous one back.
class WaitCursor {
public:
    WaitCursor() {
        HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
        if (wait) previous_ = SetCursor(wait);
    }
    ~WaitCursor() {
        if (previous_) SetCursor(previous_);
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_ = nullptr;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool namedTemporaryFilesOnly = false;

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "<folder>.sollux-PID-N.tmp": short, so that it fits where the target's own name may
// already be as long as a name can be.
std::string temporaryName(const std::string& folder) {
    static unsigned counter = 0;
    return folder + ".sollux-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".tmp";
}

// The process a temporary file of ours names, or 0 when the name is not one of ours.
pid_t temporaryOwner(const char* name) {
    const char* p = name;
    if (std::strncmp(p, ".sollux-", 8) != 0) return 0;
    p += 8;
    char* end = nullptr;
    long pid = std::strtol(p, &end, 10);
    if (end == p || *end != '-' || pid <= 0) return 0;
    p = end + 1;
    std::strtoul(p, &end, 10);
    if (end == p || std::strcmp(end, ".tmp") != 0) return 0;
    return static_cast<pid_t>(pid);
}

// Removes the named temporary files that conversions killed part-way left in a folder: our
// name pattern, the process named in it no longer running, and no lock held on the file
// (a conversion on another machine sharing the folder holds one while it writes).
void removeStaleTemporaries(const std::string& folder) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return;
    while (const dirent* entry = readdir(dir)) {
        const pid_t owner = temporaryOwner(entry->d_name);
        if (owner == 0 || owner == getpid()) continue;
        if (kill(owner, 0) == 0 || errno == EPERM) continue;  // that conversion may still be writing
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlinkat(dirfd(dir), entry->d_name, 0);
        close(fd);
    }
    closedir(dir);
}

// Creates a named temporary file of ours in folder, locked while it is written.
int createNamedTemporary(const std::string& folder, std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = temporaryName(folder);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            flock(fd, LOCK_EX | LOCK_NB);
            return fd;
        }
        if (errno != EEXIST) break;
    }
    path.clear();
    return -1;
}

// The conversion's output, written beside target and put in its place by commit() only
// when it is complete; never committed, it leaves nothing. Where the filesystem allows, it
// is an unnamed file (O_TMPFILE) that gets its name only at the end, so that a conversion
// killed part-way leaves nothing either. Elsewhere it is a named temporary file, and the
// ones such killed conversions left are removed here. It takes the permissions of the file
// it replaces.
class TemporaryOutput {
public:
    explicit TemporaryOutput(const std::string& target) : target_(target), folder_(folderOf(target)) {
        removeStaleTemporaries(folder_);
        int fd = -1;
        if (!namedTemporaryFilesOnly)
            fd = open(folder_.empty() ? "." : folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) fd = createNamedTemporary(folder_, path_);
        if (fd < 0) return;
        struct stat existing;
        if (stat(target.c_str(), &existing) == 0) {
            fchmod(fd, existing.st_mode & 07777);
            replaces_ = S_ISREG(existing.st_mode);
        }
        file_ = fdopen(fd, "wb");
        if (!file_) close(fd);
    }
    ~TemporaryOutput() {
        if (file_) std::fclose(file_);
        if (!path_.empty()) unlink(path_.c_str());
    }
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    std::FILE* file() const { return file_; }
    // Whether commit() will put it in place of an earlier file.
    bool replaces() const { return replaces_; }

    // False when anything written was lost.
    bool finish() { return std::fflush(file_) == 0 && !std::ferror(file_); }

    bool commit() {
        const int fd = fileno(file_);
        bool done = false;
        if (path_.empty()) {
            // An unnamed file: a new target gets its name in one step; an existing one is
            // replaced through a name of ours, as a named file would be.
            if (linkUnnamed(fd, target_)) {
                done = true;
            } else if (errno == EEXIST || errno == ENOENT || errno == EPERM) {
                for (int attempt = 0; attempt < 100 && !done && path_.empty(); ++attempt) {
                    std::string named = temporaryName(folder_);
                    if (linkUnnamed(fd, named)) path_ = named;
                    else if (errno != EEXIST) break;
                }
                if (path_.empty()) copyToNamed(fd);
            }
        }
        if (!done && !path_.empty() && std::rename(path_.c_str(), target_.c_str()) == 0) {
            path_.clear();
            done = true;
        }
        done = std::fclose(file_) == 0 && done;
        file_ = nullptr;
        return done;
    }

private:
    static bool linkUnnamed(int fd, const std::string& name) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno == EEXIST) return false;
        // Without /proc, privileged processes may still link the descriptor itself.
        const int saved = errno;
        if (linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
        if (errno != EEXIST) errno = saved;
        return false;
    }
    // Where the unnamed file cannot be linked, its bytes go to a named file instead.
    void copyToNamed(int from) {
        int to = createNamedTemporary(folder_, path_);
        if (to < 0) return;
        struct stat st;
        if (fstat(from, &st) == 0) fchmod(to, st.st_mode & 07777);
        char buffer[65536];
        off_t at = 0;
        bool ok = true;
        for (ssize_t n; ok && (n = pread(from, buffer, sizeof buffer, at)) != 0; at += n)
            ok = n > 0 && write(to, buffer, size_t(n)) == n;
        if (close(to) != 0 || !ok) {
            unlink(path_.c_str());
            path_.clear();
        }
    }

    std::string target_;
    std::string folder_;
    std::string path_;  // the named file, while there is one
    std::FILE* file_ = nullptr;
    bool replaces_ = false;
};

// An existing target we may not write stays as it is, as it would for a direct write.
bool targetWritable(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT;
    return !S_ISDIR(st.st_mode) && access(path, W_OK) == 0;
}

// The file a conversion replaces: where a symbolic link points, even when nothing is there
// yet (so the link stays a link), or the path itself.
std::string replacedFile(const char* path) {
    std::string p = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = readlink(p.c_str(), target.data(), target.size());
        if (n < 0 || size_t(n) >= target.size()) return p;
        std::string next(target.data(), size_t(n));
        p = next.starts_with('/') ? next : folderOf(p) + next;
    }
    return p;
}

// Whether the file a conversion would replace lies in the output's own folder. A link
// named as the output is followed only so far: an unpacked download may hold one that
// points at any file the person can write.
bool replacedInSameFolder(const std::string& output, const std::string& replaced) {
    if (replaced == output) return true;
    const size_t slash = replaced.rfind('/');
    const std::string name = slash == std::string::npos ? replaced : replaced.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    auto real = [](const std::string& folder) {
        std::unique_ptr<char, decltype(&std::free)> p(realpath(folder.empty() ? "." : folder.c_str(), nullptr),
                                                       std::free);
        return p ? std::string(p.get()) : std::string();
    };
    const std::string there = real(folderOf(replaced));
    return !there.empty() && there == real(folderOf(output));
}

// The source read as a stream that ends where the file ended when it was opened: a file
// that another program keeps writing would otherwise be read for as long as it grows.
struct SizedReading {
    int fd;
    uint64_t left;
};

std::FILE* openSizedReading(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return nullptr;
    auto* source = new SizedReading{fd, st.st_size > 0 ? uint64_t(st.st_size) : 0};
    cookie_io_functions_t io{};
    io.read = [](void* cookie, char* buffer, size_t size) -> ssize_t {
        auto* s = static_cast<SizedReading*>(cookie);
        const size_t want = size < s->left ? size : size_t(s->left);
        ssize_t n;
        do n = read(s->fd, buffer, want);
        while (n < 0 && errno == EINTR);
        if (n > 0) s->left -= uint64_t(n);
        return n;
    };
    io.close = [](void* cookie) -> int {
        auto* s = static_cast<SizedReading*>(cookie);
        const int result = close(s->fd);
        delete s;
        return result;
    };
    std::FILE* file = fopencookie(source, "rb", io);
    if (!file) delete source;
    return file;
}

}  // namespace

void useNamedTemporaryFiles(bool named) { namedTemporaryFilesOnly = named; }

const char* convertToXFile(const char* sourcePath) {
    if (!sourcePath) return nullptr;
    if (std::strlen(sourcePath) >= kConvertedPathSize) {
        reportError("The path is longer than 255 characters: '%s'.\n", sourcePath);
        return nullptr;
    }
    // Only the file's own name counts: the folders it lies in keep their names whatever
    // they hold.
    const char* slash = std::strrchr(sourcePath, '/');
    const size_t nameAt = slash ? static_cast<size_t>(slash - sourcePath) + 1 : 0;
    const char* name = sourcePath + nameAt;
    if (std::strstr(name, ".x") || std::strstr(name, ".X")) {
        // The Open dialogs hand back convertedPath itself.
        if (sourcePath != convertedPath) std::strcpy(convertedPath, sourcePath);
        return convertedPath;
    }
    // Without ".rok" there is no output name; the source itself must never be written.
    if (!std::strstr(name, ".rok") && !std::strstr(name, ".ROK")) {
        reportError("'%s' is not a Rokkaku file: its name holds neither \".rok\" nor \".ROK\".\n", sourcePath);
        return nullptr;
    }

    WaitCursor waitCursor;
    // A device, FIFO or folder is refused before it is opened (a FIFO's open would block).
    const int fd = openRegularFile(sourcePath);
    File input(fd >= 0 ? openSizedReading(fd) : nullptr);
    if (!input) {
        if (fd >= 0) close(fd);
        reportError("Can't open '%s' file for read.", sourcePath);
        return nullptr;
    }

    if (sourcePath != convertedPath) std::strcpy(convertedPath, sourcePath);
    char* extension = std::strstr(convertedPath + nameAt, ".rok");
    if (!extension) extension = std::strstr(convertedPath + nameAt, ".ROK");
    std::strcpy(extension, ".x");

    const std::string replaced = replacedFile(convertedPath);
    if (!replacedInSameFolder(convertedPath, replaced)) {
        reportError("'%s' is a link to a file outside its folder; nothing was written.", convertedPath);
        return nullptr;
    }
    if (!targetWritable(convertedPath)) {
        reportError("Can't open '%s' file for write.", convertedPath);
        return nullptr;
    }
    TemporaryOutput output(replaced);
    if (!output.file()) {
        reportError("Can't open '%s' file for write.", convertedPath);
        return nullptr;
    }

    RokkakuModel model;
    struct stat source;
    const bool sized = fstat(fd, &source) == 0 && source.st_size > 0;
    if (!model.allocate(sized ? uint64_t(source.st_size) : 0)) {
        reportError("Not enough memory.");
        return nullptr;
    }
    RokkakuStream stream(input.get());
    // An earlier output is renamed over (see writeXPoints).
    const bool toDisk = output.replaces();
    // The points' text is written while the edges and faces are read.
    std::thread pointsWriter;
    auto writePoints = [&] {
        try {
            pointsWriter = std::thread([&] { writeXPoints(model, output.file(), toDisk); });
        } catch (const std::system_error&) {
        }
    };
    const bool read = readRokkakuModel(stream, model, writePoints);
    const bool pointsWritten = pointsWriter.joinable();
    if (pointsWritten) pointsWriter.join();
    if (!read) return nullptr;
    if (stream.failed()) {
        reportError("Error while reading '%s' file.\n", sourcePath);
        return nullptr;
    }
    input.reset();

    if (!pointsWritten) writeXPoints(model, output.file(), toDisk);
    writeXRest(model, output.file(), toDisk);
    if (!output.finish()) {
        reportError("Error while writing '%s' file.\n", convertedPath);
        return nullptr;
    }
    if (!output.commit()) {
        reportError("Can't open '%s' file for write.", convertedPath);
        return nullptr;
    }
    return convertedPath;
}
