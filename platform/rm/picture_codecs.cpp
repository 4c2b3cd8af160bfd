#include "platform/rm/picture_codecs.h"

#include <gif_lib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

namespace textureimage {

std::string tooLargeMessage(uint64_t w, uint64_t h) {
    return "picture too large (" + std::to_string(w) + " x " + std::to_string(h) + ")";
}

namespace {

// A progressive JPEG of many scans decodes the whole picture again for each; real ones
// have about ten.
constexpr int kMaxJpegScans = 500;
// What the JPEG library may take for itself (a progressive picture's coefficients) beyond
// the pixels: enough for the largest picture allowed, four channels at full resolution.
constexpr long kMaxJpegMemory = long(kMaxPixels) * 4 * 2 + (long(1) << 24);

// The pixels, zeroed; false when there is no memory for them.
bool reservePixels(Image& out, uint64_t w, uint64_t h) {
    try {
        out.rgba.assign(size_t(w * h * 4), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.width = int(w);
    out.height = int(h);
    return true;
}

enum class Read { Ok, Refused, TooLarge };

// The libraries report errors by jumping back to where the decoding started (setjmp). The
// functions that set those jumps are written in C style: nothing between the jump and its
// landing owns anything that needs a destructor, and the pixels belong to the caller.

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char* message;  // JMSG_LENGTH_MAX bytes
};

[[noreturn]] void jpegFail(j_common_ptr info) {
    auto* errors = reinterpret_cast<JpegErrors*>(info->err);
    info->err->format_message(info, errors->message);
    std::longjmp(errors->jump, 1);
}

void jpegQuiet(j_common_ptr) {}  // warnings (corrupt data the library gets past) are not printed

// Data that ends before the picture does is refused, as for every other format here: the
// library would make up the rest, and a few bytes could claim millions of pixels.
void jpegWarning(j_common_ptr info, int level) {
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF) {
        auto* errors = reinterpret_cast<JpegErrors*>(info->err);
        std::snprintf(errors->message, JMSG_LENGTH_MAX, "picture data cut short");
        std::longjmp(errors->jump, 1);
    }
}

void jpegScanLimit(j_common_ptr info) {
    auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (info->is_decompressor && d->progressive_mode && d->input_scan_number > kMaxJpegScans) {
        auto* errors = reinterpret_cast<JpegErrors*>(info->err);
        std::snprintf(errors->message, JMSG_LENGTH_MAX, "a progressive JPEG of more than %d scans",
                      kMaxJpegScans);
        std::longjmp(errors->jump, 1);
    }
}

// Adobe's CMYK is stored inverted (0 is full ink); without its marker, as written.
void cmykToRgb(Image& out, bool inverted) {
    auto blend = [](unsigned x, unsigned y) {  // x * y / 255, rounded
        const unsigned t = x * y + 128;
        return uint8_t((t + (t >> 8)) >> 8);
    };
    uint8_t* p = out.rgba.data();
    for (size_t i = 0, n = out.rgba.size() / 4; i < n; ++i, p += 4) {
        const unsigned flip = inverted ? 0 : 255;
        const unsigned k = p[3] ^ flip;
        for (int c = 0; c < 3; ++c) p[c] = blend(p[c] ^ flip, k);
        p[3] = 255;
    }
}

Read readJpeg(const uint8_t* data, size_t size, Image& out, char* message, uint64_t& w,
              uint64_t& h) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    jpeg_progress_mgr progress;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFail;
    errors.manager.output_message = jpegQuiet;
    errors.manager.emit_message = jpegWarning;
    errors.message = message;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return Read::Refused;
    }
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = kMaxJpegMemory;
    progress.progress_monitor = jpegScanLimit;
    info.progress = &progress;
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    w = info.image_width;
    h = info.image_height;
    if (tooLarge(w, h)) {
        jpeg_destroy_decompress(&info);
        return Read::TooLarge;
    }
    const bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    if (info.output_width != w || info.output_height != h || info.output_components != 4 ||
        !reservePixels(out, w, h)) {
        std::snprintf(message, JMSG_LENGTH_MAX, "no memory for its pixels");
        jpeg_destroy_decompress(&info);
        return Read::Refused;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out.rgba.data() + size_t(info.output_scanline) * size_t(w) * 4;
        jpeg_read_scanlines(&info, &row, 1);
    }
    if (cmyk) cmykToRgb(out, info.saw_Adobe_marker);
    // What follows the last scan changes no pixel: not read.
    jpeg_destroy_decompress(&info);
    return Read::Ok;
}

struct PngInput {
    const uint8_t* data;
    size_t size, pos;
    char* message;  // 200 bytes
};

constexpr size_t kPngMessage = 200;

[[noreturn]] void pngFail(png_structp png, png_const_charp why) {
    auto* in = static_cast<PngInput*>(png_get_error_ptr(png));
    std::snprintf(in->message, kPngMessage, "%s", why);
    png_longjmp(png, 1);
}

void pngQuiet(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep to, size_t n) {
    auto* in = static_cast<PngInput*>(png_get_io_ptr(png));
    if (n > in->size - in->pos) png_error(png, "picture data cut short");
    std::memcpy(to, in->data + in->pos, n);
    in->pos += n;
}

Read readPng(PngInput& in, Image& out, uint64_t& w, uint64_t& h) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &in, pngFail, pngQuiet);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        std::snprintf(in.message, kPngMessage, "no memory for the decoder");
        png_destroy_read_struct(&png, nullptr, nullptr);
        return Read::Refused;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return Read::Refused;
    }
    png_set_read_fn(png, &in, pngRead);
    // Checksums are not what makes a picture readable: a picture with a wrong one shows
    // as it is, as it always did here.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    png_read_info(png, info);
    w = png_get_image_width(png, info);
    h = png_get_image_height(png, info);
    if (tooLarge(w, h)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return Read::TooLarge;
    }
    // Everything to 8-bit RGBA: palettes and small greys widened, colour keys made alpha,
    // 16-bit samples taken to their high byte.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != w * 4 || !reservePixels(out, w, h)) {
        std::snprintf(in.message, kPngMessage, "no memory for its pixels");
        png_destroy_read_struct(&png, &info, nullptr);
        return Read::Refused;
    }
    // Each pass of an interlaced picture fills in its own pixels of every row.
    for (int pass = 0; pass < passes; ++pass)
        for (uint64_t y = 0; y < h; ++y)
            png_read_row(png, out.rgba.data() + size_t(y * w * 4), nullptr);
    // What follows the pixels changes none of them: not read.
    png_destroy_read_struct(&png, &info, nullptr);
    return Read::Ok;
}

Status finish(Read r, uint64_t w, uint64_t h, const char* message, std::string& error) {
    if (r == Read::Ok) return Status::Ok;
    // A picture cut short is said so as for the other formats; the rest in the library's words.
    const std::string why = message;
    error = r == Read::TooLarge               ? tooLargeMessage(w, h)
            : why == "picture data cut short" ? why
                                              : "unreadable picture: " + why;
    return Status::BadFile;
}

struct GifInput {
    std::span<const uint8_t> bytes;
    size_t pos = 0;
};

int gifRead(GifFileType* gif, GifByteType* to, int n) {
    auto* in = static_cast<GifInput*>(gif->UserData);
    const size_t count = std::min(size_t(n < 0 ? 0 : n), in->bytes.size() - in->pos);
    std::memcpy(to, in->bytes.data() + in->pos, count);
    in->pos += count;
    return int(count);
}

}  // namespace

Status decodeJpeg(std::span<const uint8_t> bytes, Image& out, std::string& error) {
    char message[JMSG_LENGTH_MAX] = "";
    uint64_t w = 0, h = 0;
    // Fill bytes before the start marker: the marker is taken from where it starts.
    size_t start = 0;
    while (start + 2 < bytes.size() && bytes[start + 1] == 0xFF) ++start;
    const Read r = readJpeg(bytes.data() + start, bytes.size() - start, out, message, w, h);
    return finish(r, w, h, message, error);
}

Status decodePng(std::span<const uint8_t> bytes, Image& out, std::string& error) {
    char message[kPngMessage] = "";
    PngInput in{bytes.data(), bytes.size(), 0, message};
    uint64_t w = 0, h = 0;
    const Read r = readPng(in, out, w, h);
    return finish(r, w, h, message, error);
}

Status decodeGif(std::span<const uint8_t> bytes, Image& out, std::string& error) {
    GifInput input{bytes};
    int code = 0;
    std::unique_ptr<GifFileType, void (*)(GifFileType*)> gif(DGifOpen(&input, gifRead, &code),
                                                             [](GifFileType* g) {
                                                                 int ignored;
                                                                 DGifCloseFile(g, &ignored);
                                                             });
    auto refuse = [&](const char* why) {
        error = std::string("unreadable picture: ") + (why ? why : "not a GIF");
        return Status::BadFile;
    };
    if (!gif) return refuse(GifErrorString(code));
    const uint64_t w = uint64_t(std::max(0, gif->SWidth)), h = uint64_t(std::max(0, gif->SHeight));
    if (tooLarge(w, h)) {
        error = tooLargeMessage(w, h);
        return Status::BadFile;
    }
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType type;
        if (DGifGetRecordType(gif.get(), &type) != GIF_OK)
            return refuse(GifErrorString(gif->Error));
        if (type == TERMINATE_RECORD_TYPE) return refuse("no picture in it");
        if (type == EXTENSION_RECORD_TYPE) {
            int kind = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &kind, &block) != GIF_OK)
                return refuse(GifErrorString(gif->Error));
            if (kind == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4) {
                GraphicsControlBlock control;
                if (DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                    transparent = control.TransparentColor;
            }
            while (block)
                if (DGifGetExtensionNext(gif.get(), &block) != GIF_OK)
                    return refuse(GifErrorString(gif->Error));
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE) continue;
        if (DGifGetImageDesc(gif.get()) != GIF_OK) return refuse(GifErrorString(gif->Error));
        const GifImageDesc& d = gif->Image;
        if (d.Left < 0 || d.Top < 0 || d.Width < 0 || d.Height < 0 ||
            uint64_t(d.Left) + uint64_t(d.Width) > w || uint64_t(d.Top) + uint64_t(d.Height) > h)
            return refuse("a picture outside its screen");
        const ColorMapObject* colours = d.ColorMap ? d.ColorMap : gif->SColorMap;
        if (!colours) return refuse("no colour table");
        if (!reservePixels(out, w, h)) return refuse("no memory for its pixels");
        std::vector<GifPixelType> line(size_t(d.Width) + 1);
        // Interlaced rows come every 8th from 0, every 8th from 4, every 4th from 2, then
        // every 2nd from 1.
        static const int kFirst[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < (d.Interlace ? 4 : 1); ++pass) {
            for (int y = d.Interlace ? kFirst[pass] : 0; y < d.Height;
                 y += d.Interlace ? kStep[pass] : 1) {
                if (d.Width && DGifGetLine(gif.get(), line.data(), d.Width) != GIF_OK)
                    return refuse(GifErrorString(gif->Error));
                uint8_t* px = out.rgba.data() + (size_t(d.Top + y) * w + size_t(d.Left)) * 4;
                for (int x = 0; x < d.Width; ++x, px += 4) {
                    const int index = line[size_t(x)];
                    if (index == transparent || index >= colours->ColorCount) continue;
                    const GifColorType& c = colours->Colors[index];
                    px[0] = c.Red, px[1] = c.Green, px[2] = c.Blue, px[3] = 255;
                }
            }
        }
        // What the picture leaves uncovered shows the screen's background colour, when it
        // names one past the first.
        if (gif->SBackGroundColor > 0) {
            uint8_t fill[4] = {0, 0, 0, 255};
            const ColorMapObject* screen = gif->SColorMap;
            if (screen && gif->SBackGroundColor < screen->ColorCount) {
                const GifColorType& c = screen->Colors[gif->SBackGroundColor];
                fill[0] = c.Red, fill[1] = c.Green, fill[2] = c.Blue;
            }
            for (uint64_t y = 0; y < h; ++y)
                for (uint64_t x = 0; x < w; ++x)
                    if (x < uint64_t(d.Left) || x >= uint64_t(d.Left + d.Width) ||
                        y < uint64_t(d.Top) || y >= uint64_t(d.Top + d.Height))
                        std::memcpy(out.rgba.data() + (y * w + x) * 4, fill, 4);
        }
        return Status::Ok;
    }
}

}  // namespace textureimage
