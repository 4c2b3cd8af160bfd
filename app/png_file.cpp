#include "app/png_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

void putBigEndian(std::vector<unsigned char>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

bool writeChunk(std::FILE* file, const char type[4], const unsigned char* data, size_t size) {
    std::vector<unsigned char> head;
    putBigEndian(head, static_cast<uint32_t>(size));
    head.insert(head.end(), type, type + 4);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (size) crc = crc32(crc, data, static_cast<uInt>(size));
    std::vector<unsigned char> tail;
    putBigEndian(tail, static_cast<uint32_t>(crc));
    return std::fwrite(head.data(), 1, head.size(), file) == head.size() &&
           (size == 0 || std::fwrite(data, 1, size, file) == size) &&
           std::fwrite(tail.data(), 1, tail.size(), file) == tail.size();
}

bool writePng(std::FILE* file, int width, int height, const unsigned char* rgba) {
    // Each row as differences from the pixel to its left (PNG's "Sub" filter), then the
    // fastest deflate: a rendered picture has wide even areas, which both make small.
    const size_t row = size_t(width) * 4;
    std::vector<unsigned char> filtered((row + 1) * size_t(height));
    for (size_t y = 0; y < size_t(height); ++y) {
        unsigned char* out = &filtered[y * (row + 1)];
        const unsigned char* in = rgba + y * row;
        out[0] = 1;
        std::memcpy(out + 1, in, 4);
        for (size_t i = 4; i < row; ++i) out[1 + i] = static_cast<unsigned char>(in[i] - in[i - 4]);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(filtered.size()));
    std::vector<unsigned char> packed(packedSize);
    if (compress2(packed.data(), &packedSize, filtered.data(), static_cast<uLong>(filtered.size()), Z_BEST_SPEED) !=
        Z_OK)
        return false;

    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> header;
    putBigEndian(header, static_cast<uint32_t>(width));
    putBigEndian(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no interlace
    bool ok = std::fwrite(kSignature, 1, sizeof kSignature, file) == sizeof kSignature &&
              writeChunk(file, "IHDR", header.data(), header.size()) &&
              writeChunk(file, "IDAT", packed.data(), packedSize) &&
              writeChunk(file, "IEND", nullptr, 0);
    return ok;
}

}  // namespace

bool writePngFile(const std::string& path, int width, int height, const unsigned char* rgba) {
    if (width <= 0 || height <= 0 || !rgba) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd >= 0 && writePngDescriptor(fd, width, height, rgba);
}

bool writePngDescriptor(int fd, int width, int height, const unsigned char* rgba) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(::fdopen(fd, "wb"), std::fclose);
    if (!file) {
        ::close(fd);
        return false;
    }
    if (width <= 0 || height <= 0 || !rgba) return false;
    // A picture too large for the memory left is a file not written, not the end.
    bool ok = false;
    try {
        ok = writePng(file.get(), width, height, rgba);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    return std::fclose(file.release()) == 0 && ok;
}
