#include "platform/rm/texture_image.h"

#include <stb_image.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/regular_file.h"
#include "platform/rm/bmp_rle.h"

namespace textureimage {

namespace {

enum class Kind { Bmp, Pnm, Other };

Kind kindOf(std::span<const uint8_t> b) {
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return Kind::Bmp;
    if (b.size() >= 2 && b[0] == 'P' && (b[1] == '6' || b[1] == '5')) return Kind::Pnm;
    return Kind::Other;
}

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t le32(const uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }

// The decoder pads missing pixel data with black; a picture cut short is refused instead.
bool bmpComplete(std::span<const uint8_t> b) {
    if (b.size() < 26) return false;
    const uint32_t offset = le32(b.data() + 10), headerSize = le32(b.data() + 14);
    uint64_t width, height, bits, compression = 0;
    if (headerSize == 12) {
        width = le16(b.data() + 18);
        height = le16(b.data() + 20);
        bits = le16(b.data() + 24);
    } else {
        if (b.size() < 34) return false;
        width = le32(b.data() + 18);
        int32_t h = static_cast<int32_t>(le32(b.data() + 22));
        height = h < 0 ? uint64_t(-int64_t(h)) : uint64_t(h);
        bits = le16(b.data() + 28);
        compression = le32(b.data() + 30);
    }
    if (compression != 0 && compression != 3 && compression != 6) return true;  // sizes unknown: the decoder decides
    const uint64_t stride = (width * bits + 31) / 32 * 4;
    return uint64_t(offset) + stride * height <= b.size();
}

bool pnmComplete(std::span<const uint8_t> b) {
    size_t pos = 2;
    uint64_t values[3] = {0, 0, 0};
    for (uint64_t& v : values) {
        for (;;) {  // white space and comments
            while (pos < b.size() && std::isspace(b[pos])) ++pos;
            if (pos < b.size() && b[pos] == '#') {
                while (pos < b.size() && b[pos] != '\n') ++pos;
                continue;
            }
            break;
        }
        if (pos >= b.size() || !std::isdigit(b[pos])) return false;
        while (pos < b.size() && std::isdigit(b[pos]) && v < (uint64_t(1) << 40)) v = v * 10 + (b[pos++] - '0');
    }
    ++pos;  // the single white-space byte before the pixels
    const uint64_t channels = b[1] == '6' ? 3 : 1, depth = values[2] > 255 ? 2 : 1;
    return pos <= b.size() && values[0] * values[1] * channels * depth <= b.size() - pos;
}

Status failWith(Image& out, std::string* error, std::string why) {
    out = Image{};
    if (error) *error = std::move(why);
    return Status::BadFile;
}

}  // namespace

Status decode(std::span<const uint8_t> bytes, Image& out, std::string* error) {
    if (kindOf(bytes) == Kind::Other) return failWith(out, error, "not a BMP or binary PPM picture");
    if (isRleBitmap(bytes)) return decodeRleBitmap(bytes, out, error);
    if (bytes.size() > size_t(INT_MAX)) return failWith(out, error, "picture file too large");
    const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    int w = 0, h = 0, comp = 0;
    if (!stbi_info_from_memory(data, size, &w, &h, &comp))
        return failWith(out, error, std::string("unreadable picture: ") + stbi_failure_reason());
    if (h < 0 && h != INT_MIN) h = -h;  // top-down bitmaps
    if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension || uint64_t(w) * uint64_t(h) > kMaxPixels)
        return failWith(out, error,
                        "picture too large (" + std::to_string(w) + " x " + std::to_string(h) + ")");
    if (!(kindOf(bytes) == Kind::Bmp ? bmpComplete(bytes) : pnmComplete(bytes)))
        return failWith(out, error, "picture data cut short");
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load_from_memory(data, size, &w, &h, &comp, 4),
                                                     stbi_image_free);
    if (!pixels) return failWith(out, error, std::string("unreadable picture: ") + stbi_failure_reason());
    // The decoder reads the header again; hold it to the size checked above.
    if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension || uint64_t(w) * uint64_t(h) > kMaxPixels)
        return failWith(out, error, "picture too large");
    out.width = w;
    out.height = h;
    out.rgba.assign(pixels.get(), pixels.get() + size_t(w) * size_t(h) * 4);
    if (error) error->clear();
    return Status::Ok;
}

Status loadFile(const std::string& path, Image& out, std::string* error) {
    out = Image{};
    // No picture we accept needs more bytes than its largest pixel layout (16-bit PPM).
    constexpr uint64_t kMaxFileBytes = kMaxPixels * 6 + (uint64_t(1) << 20);
    std::vector<uint8_t> bytes;
    const FileOpening opened = readRegularFile(path.c_str(), bytes, kMaxFileBytes);
    if (opened == FileOpening::Missing || opened == FileOpening::NotRegular) {
        if (error) *error = fileOpeningMessage(opened, path);
        return Status::FileNotFound;
    }
    if (opened != FileOpening::Opened) return failWith(out, error, fileOpeningMessage(opened, path));
    Status s = decode(bytes, out, error);
    if (s != Status::Ok && error) *error = path + ": " + *error;
    return s;
}

}  // namespace textureimage
