// Opening files for reading only when they are regular files (links followed). A device,
// FIFO, socket or folder is refused before anything opens it: opening a FIFO blocks until
// a writer comes, and reading a device such as /dev/zero never ends.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

enum class FileOpening { Opened, Missing, NotRegular, TooLarge };

// The message for a path that could not be used: "cannot open 'P'" or "'P' is not a
// regular file" (both say the file is unusable, as a missing file is).
inline std::string fileOpeningMessage(FileOpening status, const std::string& path) {
    switch (status) {
        case FileOpening::NotRegular: return "'" + path + "' is not a regular file";
        case FileOpening::TooLarge: return "'" + path + "' is too large";
        default: return "cannot open '" + path + "'";
    }
}

// A descriptor open for reading (the caller closes it), or -1 with *status saying why.
inline int openRegularFile(const char* path, FileOpening* status = nullptr) {
    FileOpening s = FileOpening::Opened;
    int fd = -1;
    struct stat st;
    if (::stat(path, &st) != 0) {
        s = FileOpening::Missing;
    } else if (!S_ISREG(st.st_mode)) {
        s = FileOpening::NotRegular;
    } else if ((fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) < 0) {
        s = FileOpening::Missing;
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Something else took the path's place after the check; without O_NONBLOCK a FIFO
        // would have blocked the open.
        ::close(fd);
        fd = -1;
        s = FileOpening::NotRegular;
    } else {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (status) *status = s;
    return fd;
}

// Reads what is left of an open file; more than maxBytes is refused (TooLarge). Closes fd.
inline FileOpening readToEnd(int fd, std::vector<uint8_t>& out, uint64_t maxBytes = UINT64_MAX) {
    out.clear();
    FileOpening status = FileOpening::Opened;
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && uint64_t(st.st_size) > maxBytes) status = FileOpening::TooLarge;
    try {
        if (status == FileOpening::Opened && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
        uint8_t chunk[65536];
        while (status == FileOpening::Opened) {
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) status = FileOpening::Missing;
            if (n <= 0) break;
            if (out.size() + size_t(n) > maxBytes)
                status = FileOpening::TooLarge;
            else
                out.insert(out.end(), chunk, chunk + n);
        }
    } catch (const std::exception&) {
        status = FileOpening::TooLarge;
    }
    ::close(fd);
    if (status != FileOpening::Opened) out.clear();
    return status;
}

// Reads a whole regular file; files longer than maxBytes are refused (TooLarge).
inline FileOpening readRegularFile(const char* path, std::vector<uint8_t>& out, uint64_t maxBytes = UINT64_MAX) {
    out.clear();
    FileOpening status;
    int fd = openRegularFile(path, &status);
    if (fd < 0) return status;
    return readToEnd(fd, out, maxBytes);
}
