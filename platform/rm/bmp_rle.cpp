#include "platform/rm/bmp_rle.h"

#include <array>
#include <vector>

namespace textureimage {

namespace {

constexpr uint32_t kRle8 = 1, kRle4 = 2;

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }

struct Header {
    uint32_t offset, headerSize, bits, compression, colours;
    int64_t width, height;
};

bool readHeader(std::span<const uint8_t> b, Header& h) {
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
    h.offset = le32(&b[10]);
    h.headerSize = le32(&b[14]);
    if (h.headerSize < 40) return false;  // the old core header has no compression
    h.width = static_cast<int32_t>(le32(&b[18]));
    h.height = static_cast<int32_t>(le32(&b[22]));
    h.bits = le16(&b[28]);
    h.compression = le32(&b[30]);
    h.colours = le32(&b[46]);
    return true;
}

Status refuse(Image& out, std::string* error, const std::string& why) {
    out = Image{};
    if (error) *error = why;
    return Status::BadFile;
}

}  // namespace

bool isRleBitmap(std::span<const uint8_t> bytes) {
    Header h;
    return readHeader(bytes, h) && (h.compression == kRle8 || h.compression == kRle4);
}

Status decodeRleBitmap(std::span<const uint8_t> b, Image& out, std::string* error) {
    Header h;
    if (!readHeader(b, h) || !((h.compression == kRle8 && h.bits == 8) || (h.compression == kRle4 && h.bits == 4)))
        return refuse(out, error, "unreadable run-length encoded bitmap");
    // Runs go from the bottom row up; a top-down bitmap cannot be run-length encoded.
    if (h.width <= 0 || h.height <= 0 || h.width > kMaxDimension || h.height > kMaxDimension ||
        uint64_t(h.width) * uint64_t(h.height) > kMaxPixels)
        return refuse(out, error,
                      "picture too large (" + std::to_string(h.width) + " x " + std::to_string(h.height) + ")");
    const uint32_t maxColours = 1u << h.bits;
    const uint32_t colours = h.colours == 0 || h.colours > maxColours ? maxColours : h.colours;
    const uint64_t paletteAt = 14 + uint64_t(h.headerSize);
    if (paletteAt + uint64_t(colours) * 4 > b.size() || h.offset > b.size())
        return refuse(out, error, "picture data cut short");
    std::array<std::array<uint8_t, 4>, 256> palette{};
    for (uint32_t i = 0; i < colours; ++i) {
        const uint8_t* q = &b[paletteAt + i * 4];
        palette[i] = {q[2], q[1], q[0], 255};
    }
    for (uint32_t i = colours; i < 256; ++i) palette[i] = {0, 0, 0, 255};

    const size_t width = size_t(h.width), height = size_t(h.height);
    out.width = int(h.width);
    out.height = int(h.height);
    out.rgba.resize(width * height * 4);
    for (size_t p = 0; p < width * height; ++p) std::copy(palette[0].begin(), palette[0].end(), &out.rgba[p * 4]);

    // x, y in file order: y counts rows from the bottom. Pixels outside the picture are
    // dropped, never written.
    size_t x = 0, y = 0;
    auto put = [&](uint32_t index) {
        if (x < width && y < height) {
            const auto& c = palette[index & 0xff];
            std::copy(c.begin(), c.end(), &out.rgba[((height - 1 - y) * width + x) * 4]);
        }
        ++x;
    };
    const bool four = h.compression == kRle4;
    size_t at = h.offset;
    for (;;) {
        if (y >= height) break;  // every row is done, whatever follows
        if (at + 2 > b.size()) return refuse(out, error, "picture data cut short");
        const uint32_t count = b[at], value = b[at + 1];
        at += 2;
        if (count > 0) {
            for (uint32_t i = 0; i < count; ++i) put(four ? (i % 2 == 0 ? value >> 4 : value & 15) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            ++y;
        } else if (value == 1) {  // end of picture
            break;
        } else if (value == 2) {  // move right and up
            if (at + 2 > b.size()) return refuse(out, error, "picture data cut short");
            x += b[at];
            y += b[at + 1];
            at += 2;
        } else {  // `value` pixels as they are, padded to a 16-bit boundary
            const size_t bytes = four ? (value + 1) / 2 : value;
            if (at + bytes > b.size()) return refuse(out, error, "picture data cut short");
            for (uint32_t i = 0; i < value; ++i) put(four ? (i % 2 == 0 ? b[at + i / 2] >> 4 : b[at + i / 2] & 15) : b[at + i]);
            at += bytes + (bytes & 1);
        }
    }
    if (error) error->clear();
    return Status::Ok;
}

}  // namespace textureimage
