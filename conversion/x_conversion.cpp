#include "conversion/x_conversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_writer.h"
#include "platform/win/win32.h"
#include "viewer/report_error.h"

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

// A new file beside target, renamed over it by commit(); removed if never committed. It
// takes the permissions of the file it replaces.
class TemporaryOutput {
public:
    explicit TemporaryOutput(const std::string& target) : target_(target) {
        const size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        for (int attempt = 0; attempt < 100 && !file_; ++attempt) {
            // A short name in the target's folder: the target's own name may already be
            // as long as a name can be.
            path_ = folder + ".sollux-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) + ".tmp";
            int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                break;
            }
            struct stat existing;
            if (stat(target.c_str(), &existing) == 0) fchmod(fd, existing.st_mode & 07777);
            file_ = fdopen(fd, "wb");
            if (!file_) {
                close(fd);
                unlink(path_.c_str());
                break;
            }
        }
    }
    ~TemporaryOutput() {
        if (file_) {
            std::fclose(file_);
            unlink(path_.c_str());
        }
    }
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    std::FILE* file() const { return file_; }

    // Closes the file; false when anything written was lost.
    bool finish() {
        bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
        if (!ok) unlink(path_.c_str());
        return ok;
    }
    bool commit() {
        committed_ = std::rename(path_.c_str(), target_.c_str()) == 0;
        if (!committed_) unlink(path_.c_str());
        return committed_;
    }

private:
    static inline unsigned counter_ = 0;
    std::string target_;
    std::string path_;
    std::FILE* file_ = nullptr;
    bool committed_ = false;
};

bool isDirectory(std::FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
}

// An existing target we may not write stays as it is, as it would for a direct write.
bool targetWritable(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return errno == ENOENT;
    return !S_ISDIR(st.st_mode) && access(path, W_OK) == 0;
}

// The file a conversion replaces: where a symbolic link points (so the link stays), or the
// path itself.
std::string replacedFile(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code error;
        std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
        if (!error) return resolved.string();
    }
    return path;
}

}  // namespace

const char* convertToXFile(const char* sourcePath) {
    if (!sourcePath) return nullptr;
    if (std::strlen(sourcePath) >= kConvertedPathSize) {
        reportError("The path is longer than 255 characters: '%s'.\n", sourcePath);
        return nullptr;
    }
    if (std::strstr(sourcePath, ".x") || std::strstr(sourcePath, ".X")) {
        // The Open dialogs hand back convertedPath itself.
        if (sourcePath != convertedPath) std::strcpy(convertedPath, sourcePath);
        return convertedPath;
    }
    // Without ".rok" there is no output name; the source itself must never be written.
    if (!std::strstr(sourcePath, ".rok") && !std::strstr(sourcePath, ".ROK")) {
        reportError("'%s' is not a Rokkaku file: its name holds neither \".rok\" nor \".ROK\".\n", sourcePath);
        return nullptr;
    }

    WaitCursor waitCursor;
    File input(std::fopen(sourcePath, "rb"));
    if (!input || isDirectory(input.get())) {
        reportError("Can't open '%s' file for read.", sourcePath);
        return nullptr;
    }

    if (sourcePath != convertedPath) std::strcpy(convertedPath, sourcePath);
    char* extension = std::strstr(convertedPath, ".rok");
    if (!extension) extension = std::strstr(convertedPath, ".ROK");
    std::strcpy(extension, ".x");

    if (!targetWritable(convertedPath)) {
        reportError("Can't open '%s' file for write.", convertedPath);
        return nullptr;
    }
    TemporaryOutput output(replacedFile(convertedPath));
    if (!output.file()) {
        reportError("Can't open '%s' file for write.", convertedPath);
        return nullptr;
    }

    RokkakuModel model;
    if (!model.allocate()) {
        reportError("Not enough memory.");
        return nullptr;
    }
    RokkakuStream stream(input.get());
    if (!readRokkakuModel(stream, model)) return nullptr;
    if (stream.failed()) {
        reportError("Error while reading '%s' file.\n", sourcePath);
        return nullptr;
    }
    input.reset();

    writeXFile(model, output.file());
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
