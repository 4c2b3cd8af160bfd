#include "platform/rm/texture_image.h"

#include <stb_image.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/regular_file.h"
#include "platform/rm/bmp_rle.h"
#include "platform/rm/picture_codecs.h"

namespace textureimage {

namespace {

enum class Kind { Bmp, Pnm, Jpeg, Png, Gif, Tga, Other };

// Where a JPEG's segments start: after its start marker, which may follow any number of
// 0xFF fill bytes; 0 when the data is no JPEG.
size_t jpegStart(std::span<const uint8_t> b) {
    if (b.empty() || b[0] != 0xFF) return 0;
    size_t pos = 1;
    while (pos < b.size() && b[pos] == 0xFF) ++pos;
    return pos < b.size() && b[pos] == 0xD8 ? pos + 1 : 0;
}

Kind kindOf(std::span<const uint8_t> b) {
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return Kind::Bmp;
    if (b.size() >= 2 && b[0] == 'P' && (b[1] == '6' || b[1] == '5')) return Kind::Pnm;
    if (jpegStart(b)) return Kind::Jpeg;
    if (b.size() >= 8 && std::memcmp(b.data(), "\x89PNG\r\n\x1a\n", 8) == 0) return Kind::Png;
    if (b.size() >= 6 && (std::memcmp(b.data(), "GIF87a", 6) == 0 || std::memcmp(b.data(), "GIF89a", 6) == 0))
        return Kind::Gif;
    // Targa has no signature: a colour map of none or one, and an image type the format
    // defines (colour-mapped, true-colour or grey, each plain or run-length encoded).
    if (b.size() >= 18 && b[1] <= 1 && (b[2] == 1 || b[2] == 2 || b[2] == 3 || b[2] == 9 || b[2] == 10 || b[2] == 11))
        return Kind::Tga;
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

// Whether a Targa picture's data covers all its pixels. The decoder leaves the rows of a
// plain true-colour or grey one cut short as the memory held before, and reads zeros past
// the end of the others, so that a few bytes claiming millions of pixels take the time to
// decode them all; such pictures are refused instead. Where the pixels start is as the
// decoder sees it: the palette is read for colour-mapped pictures only.
bool tgaComplete(std::span<const uint8_t> b) {
    const bool mapped = b[2] == 1 || b[2] == 9, runs = b[2] >= 9;
    const uint64_t pixelBytes = (b[16] + 7) / 8;
    uint64_t pos = 18 + b[0];
    if (mapped) pos += le16(b.data() + 3) + uint64_t(le16(b.data() + 5)) * ((b[7] + 7) / 8);
    const uint64_t pixels = uint64_t(le16(b.data() + 12)) * le16(b.data() + 14);
    if (!runs) return pos + pixels * pixelBytes <= b.size();
    // Packets: a header byte (bit 7: one value repeated; the rest: count - 1), then values.
    for (uint64_t done = 0; done < pixels;) {
        if (pos >= b.size()) return false;
        const uint8_t header = b[pos++];
        const uint64_t count = (header & 0x7F) + 1;
        pos += (header & 0x80 ? 1 : count) * pixelBytes;
        done += count;
    }
    return pos <= b.size();
}

// The three numbers of a binary PNM header and where its pixels start. False when the
// header is cut short or holds a number of more than 9 digits, which no real picture has.
bool pnmHeader(std::span<const uint8_t> b, uint64_t (&values)[3], size_t& pixels) {
    size_t pos = 2;
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
        v = 0;
        for (int digits = 0; pos < b.size() && std::isdigit(b[pos]); ++digits) {
            if (digits == 9) return false;
            v = v * 10 + (b[pos++] - '0');
        }
    }
    pixels = pos + 1;  // after the single white-space byte that ends the header
    return true;
}

Status failWith(Image& out, std::string* error, std::string why) {
    out = Image{};
    if (error) *error = std::move(why);
    return Status::BadFile;
}

// Binary PGM and PPM, read here: the decoder neither scales by the maximum value nor
// reads 16-bit samples in their byte order, and widens those past its buffer.
Status decodePnm(std::span<const uint8_t> b, Image& out, std::string* error) {
    uint64_t values[3];
    size_t at = 0;
    if (!pnmHeader(b, values, at)) return failWith(out, error, "unreadable picture: malformed header");
    const uint64_t w = values[0], h = values[1], maximum = values[2];
    if (tooLarge(w, h))
        return failWith(out, error, tooLargeMessage(w, h));
    if (maximum == 0 || maximum > 65535) return failWith(out, error, "unreadable picture: bad maximum value");
    const size_t channels = b[1] == '6' ? 3 : 1, bytes = maximum > 255 ? 2 : 1;
    const size_t count = size_t(w * h);
    if (at > b.size() || count * channels * bytes > b.size() - at)
        return failWith(out, error, "picture data cut short");
    out.width = int(w);
    out.height = int(h);
    out.rgba.resize(count * 4);
    const uint8_t* in = b.data() + at;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* px = &out.rgba[i * 4];
        for (size_t c = 0; c < 3; ++c) {
            const uint8_t* sample = in + (i * channels + (channels == 3 ? c : 0)) * bytes;
            const uint64_t v = bytes == 2 ? (uint64_t(sample[0]) << 8 | sample[1]) : sample[0];
            px[c] = uint8_t(std::min<uint64_t>(255, (v * 255 + maximum / 2) / maximum));
        }
        px[3] = 255;
    }
    if (error) error->clear();
    return Status::Ok;
}

}  // namespace

Status decode(std::span<const uint8_t> bytes, Image& out, std::string* error, Formats formats) {
    const Kind kind = kindOf(bytes);
    if (kind != Kind::Bmp && kind != Kind::Pnm && formats == Formats::BmpPpm)
        return failWith(out, error, "not a BMP or binary PPM picture");
    if (kind == Kind::Bmp && isRleBitmap(bytes)) return decodeRleBitmap(bytes, out, error);
    if (bytes.size() > size_t(INT_MAX)) return failWith(out, error, "picture file too large");
    if (kind == Kind::Pnm) return decodePnm(bytes, out, error);
    if (kind == Kind::Jpeg || kind == Kind::Png || kind == Kind::Gif) {
        std::string why;
        const Status s = kind == Kind::Jpeg  ? decodeJpeg(bytes, out, why)
                         : kind == Kind::Png ? decodePng(bytes, out, why)
                                             : decodeGif(bytes, out, why);
        if (s != Status::Ok) return failWith(out, error, std::move(why));
        if (error) error->clear();
        return Status::Ok;
    }
    if (kind == Kind::Other) return failWith(out, error, "not a picture format read here");
    // Bitmaps without runs and Targa pictures: stb_image.
    const auto* data = reinterpret_cast<const stbi_uc*>(bytes.data());
    const int size = static_cast<int>(bytes.size());
    int w = 0, h = 0, comp = 0;
    if (!stbi_info_from_memory(data, size, &w, &h, &comp))
        return failWith(out, error, std::string("unreadable picture: ") + stbi_failure_reason());
    if (h < 0 && h != INT_MIN) h = -h;  // top-down bitmaps
    if (w <= 0 || h <= 0 || tooLarge(uint64_t(w), uint64_t(h)))
        return failWith(out, error, tooLargeMessage(uint64_t(w), uint64_t(h)));
    if ((kind == Kind::Bmp && !bmpComplete(bytes)) || (kind == Kind::Tga && !tgaComplete(bytes)))
        return failWith(out, error, "picture data cut short");
    // Taken in the picture's own channels and widened here, as the decoder's own widening
    // of 16-bit samples has gone wrong before.
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(stbi_load_from_memory(data, size, &w, &h, &comp, 0),
                                                     stbi_image_free);
    if (!pixels) return failWith(out, error, std::string("unreadable picture: ") + stbi_failure_reason());
    // The decoder reads the header again; hold it to the size checked above.
    if (w <= 0 || h <= 0 || tooLarge(uint64_t(w), uint64_t(h))) return failWith(out, error, "picture too large");
    if (comp < 1 || comp > 4) return failWith(out, error, "unreadable picture: " + std::to_string(comp) + " channels");
    const size_t count = size_t(w) * size_t(h);
    out.width = w;
    out.height = h;
    out.rgba.resize(count * 4);
    const stbi_uc* in = pixels.get();
    for (size_t i = 0; i < count; ++i, in += comp) {
        uint8_t* px = &out.rgba[i * 4];
        const bool grey = comp < 3;
        px[0] = in[0];
        px[1] = grey ? in[0] : in[1];
        px[2] = grey ? in[0] : in[2];
        px[3] = comp == 2 ? in[1] : comp == 4 ? in[3] : 255;
    }
    if (error) error->clear();
    return Status::Ok;
}

Status loadFile(const std::string& path, Image& out, std::string* error, Formats formats) {
    out = Image{};
    FileOpening opened;
    const int fd = openRegularFile(path.c_str(), &opened);
    if (fd < 0) {
        if (error) *error = fileOpeningMessage(opened, path);
        return Status::FileNotFound;
    }
    return loadOpenFile(fd, path, out, error, formats);
}

Status loadOpenFile(int fd, const std::string& path, Image& out, std::string* error, Formats formats) {
    out = Image{};
    // No picture within the size limits needs more than 16 bytes a pixel (floating-point
    // RGBA) and its headers.
    constexpr uint64_t kMaxFileBytes = kMaxPixels * 16 + (uint64_t(1) << 20);
    std::vector<uint8_t> bytes;
    const FileOpening opened = readToEnd(fd, bytes, kMaxFileBytes);
    if (opened == FileOpening::Missing) {
        if (error) *error = fileOpeningMessage(opened, path);
        return Status::FileNotFound;
    }
    if (opened != FileOpening::Opened) return failWith(out, error, fileOpeningMessage(opened, path));
    Status s = decode(bytes, out, error, formats);
    if (s != Status::Ok && error) *error = path + ": " + *error;
    return s;
}

}  // namespace textureimage
