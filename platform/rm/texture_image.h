// Decoding texture files: Windows bitmaps (.bmp: 1, 4, 8, 24 and 32 bits per pixel, the
// other uncompressed layouts stb_image reads, and run-length encoded 4 and 8 bits per
// pixel) and binary portable pixmaps (.ppm P6, also greyscale P5). Other formats are
// refused unless asked for (Formats::Any: PNG, JPEG and GIF through their own libraries,
// Targa through stb_image): textures come from model files, so by default only what the
// platform's loader read is accepted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace textureimage {

// Pictures larger than this in either direction are refused before any pixel is decoded.
constexpr int kMaxDimension = 16384;
constexpr uint64_t kMaxPixels = uint64_t(8192) * 8192;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;  // width * height * 4 bytes; row 0 is the top of the picture
};

enum class Status { Ok, FileNotFound, BadFile };
enum class Formats { BmpPpm, Any };

// On failure `out` is empty and *error (when given) says why.
Status decode(std::span<const uint8_t> bytes, Image& out, std::string* error = nullptr,
              Formats formats = Formats::BmpPpm);
Status loadFile(const std::string& path, Image& out, std::string* error = nullptr,
                Formats formats = Formats::BmpPpm);
// The same for a file already opened through the regular-file check (path names it in
// messages); closes fd.
Status loadOpenFile(int fd, const std::string& path, Image& out, std::string* error = nullptr,
                    Formats formats = Formats::BmpPpm);

}  // namespace textureimage
