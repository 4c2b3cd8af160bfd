// Opening files for reading only when they are regular files (links followed) of an
// ordinary file system. A device, FIFO, socket or folder is refused before anything opens
// it: opening a FIFO blocks until a writer comes, and reading a device such as /dev/zero
// never ends. The kernel's own file systems (proc, sysfs and the like) are refused too:
// their "regular" files report no size or a false one, and /proc/self/pagemap reads
// gigabytes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
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

// Whether an open file lies on a file system that holds files people keep: false for the
// kernel's interfaces, whose files are made up as they are read.
inline bool onOrdinaryFileSystem(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<uint64_t>(fs.f_type)) {
        case 0x9fa0:      // proc
        case 0x62656572:  // sysfs
        case 0x64626720:  // debugfs
        case 0x74726163:  // tracefs
        case 0x73636673:  // securityfs
        case 0x62656570:  // configfs
        case 0x27e0eb:    // cgroup
        case 0x63677270:  // cgroup2
        case 0x1cd1:      // devpts
        case 0xcafe4a11:  // bpf
        case 0x6165676c:  // pstore
        case 0xde5e81e4:  // efivarfs
        case 0x65735543:  // fusectl
        case 0x42494e4d:  // binfmt_misc
        case 0xf97cff8c:  // selinuxfs
        case 0x43415d53:  // smackfs
        case 0x9fa2:      // usbdevfs
        case 0x6e736673:  // nsfs
        case 0x454d444d:  // devmem
        case 0x5345434d:  // secretmem
            return false;
        default: return true;
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
    } else if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !onOrdinaryFileSystem(fd)) {
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

// Reads what is left of an open file, never more than the size the file had when this
// began (a file that grows meanwhile is read as it was); more than maxBytes is refused
// (TooLarge). Closes fd.
inline FileOpening readToEnd(int fd, std::vector<uint8_t>& out, uint64_t maxBytes = UINT64_MAX) {
    out.clear();
    FileOpening status = FileOpening::Opened;
    struct stat st;
    uint64_t size = 0;
    if (::fstat(fd, &st) != 0) status = FileOpening::Missing;
    else if (st.st_size > 0) size = uint64_t(st.st_size);
    if (size > maxBytes) status = FileOpening::TooLarge;
    try {
        if (status == FileOpening::Opened) out.reserve(static_cast<size_t>(size));
        uint8_t chunk[65536];
        while (status == FileOpening::Opened && out.size() < size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, size - out.size()));
            ssize_t n = ::read(fd, chunk, want);
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
