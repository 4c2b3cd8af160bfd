// Helpers shared by the .x reading tests: building binary and compressed files in memory.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/rm/xfile.h"

namespace xfile_test {

inline std::vector<uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

inline xfile::Status parseText(const std::string& text, xfile::File& out, std::string* error = nullptr) {
    auto b = bytesOf(text);
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    return xfile::parse(b, out, error, quiet);
}

inline xfile::Status parseBytes(const std::vector<uint8_t>& b, xfile::File& out, std::string* error = nullptr) {
    xfile::Options quiet;
    quiet.warningsToStderr = false;
    return xfile::parse(b, out, error, quiet);
}

// Writes binary .x tokens.
class BinaryWriter {
public:
    explicit BinaryWriter(int floatSize = 32) : floatSize_(floatSize) {
        std::string h = floatSize == 64 ? "xof 0302bin 0064" : "xof 0302bin 0032";
        bytes.assign(h.begin(), h.end());
    }
    BinaryWriter& token(uint16_t t) {
        put16(t);
        return *this;
    }
    BinaryWriter& name(const std::string& s) {
        put16(1);
        put32(static_cast<uint32_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    BinaryWriter& string(const std::string& s) {
        put16(2);
        put32(static_cast<uint32_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
        put16(20);
        return *this;
    }
    BinaryWriter& ints(const std::vector<uint32_t>& v) {
        put16(6);
        put32(static_cast<uint32_t>(v.size()));
        for (uint32_t x : v) put32(x);
        return *this;
    }
    BinaryWriter& floats(const std::vector<double>& v) {
        put16(7);
        put32(static_cast<uint32_t>(v.size()));
        for (double d : v) {
            if (floatSize_ == 64) {
                uint8_t b[8];
                std::memcpy(b, &d, 8);
                bytes.insert(bytes.end(), b, b + 8);
            } else {
                float f = static_cast<float>(d);
                uint8_t b[4];
                std::memcpy(b, &f, 4);
                bytes.insert(bytes.end(), b, b + 4);
            }
        }
        return *this;
    }
    BinaryWriter& open() { return token(10); }
    BinaryWriter& close() { return token(11); }
    void put16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void put32(uint32_t v) {
        put16(static_cast<uint16_t>(v));
        put16(static_cast<uint16_t>(v >> 16));
    }
    std::vector<uint8_t> bytes;

private:
    int floatSize_;
};

// Compresses a plain .x file (header + body) into the compressed form, in blocks of at
// most `blockSize` bytes, each block inflating against the history of the earlier ones.
inline std::vector<uint8_t> compress(const std::vector<uint8_t>& plain, size_t blockSize = 32768) {
    std::vector<uint8_t> out(plain.begin(), plain.begin() + 16);
    std::memcpy(out.data() + 8, std::memcmp(plain.data() + 8, "txt ", 4) == 0 ? "tzip" : "bzip", 4);
    uint32_t total = static_cast<uint32_t>(plain.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(total >> (8 * i)));
    size_t pos = 16;
    while (pos < plain.size()) {
        size_t n = std::min(blockSize, plain.size() - pos);
        z_stream zs{};
        deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (pos > 16) {
            size_t dict = std::min<size_t>(32768, pos - 16);
            deflateSetDictionary(&zs, plain.data() + pos - dict, static_cast<uInt>(dict));
        }
        std::vector<uint8_t> block(deflateBound(&zs, static_cast<uLong>(n)) + 2);
        block[0] = 'C';
        block[1] = 'K';
        zs.next_in = const_cast<Bytef*>(plain.data() + pos);
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = block.data() + 2;
        zs.avail_out = static_cast<uInt>(block.size() - 2);
        deflate(&zs, Z_FINISH);
        size_t csize = 2 + (block.size() - 2 - zs.avail_out);
        deflateEnd(&zs);
        out.push_back(static_cast<uint8_t>(n));
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(csize));
        out.push_back(static_cast<uint8_t>(csize >> 8));
        out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(csize));
        pos += n;
    }
    return out;
}

}  // namespace xfile_test
