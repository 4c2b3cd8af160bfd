// JPEG, PNG and GIF pictures through the libraries made for them (libjpeg-turbo, libpng,
// giflib), which read everything the formats allow and are built for hostile input.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/rm/texture_image.h"

namespace textureimage {

// Each decodes to RGBA8, refusing a picture beyond the size limits before any pixel memory
// is taken. On failure `out` is left for the caller to clear and *error says why.
// JPEG: baseline and progressive, arithmetic-coded too; grey, YCbCr, RGB, and CMYK or
// YCCK (as image editors save them, with Adobe's marker) converted to RGB.
Status decodeJpeg(std::span<const uint8_t> bytes, Image& out, std::string& error);
// PNG: every colour type and bit depth (16 bits taken to their high byte), interlaced,
// palette and grey or colour keys with transparency.
Status decodePng(std::span<const uint8_t> bytes, Image& out, std::string& error);
// GIF: the first picture on its logical screen; what it does not cover, and its
// transparent colour, are transparent black.
Status decodeGif(std::span<const uint8_t> bytes, Image& out, std::string& error);

// Whether a picture of w x h pixels is beyond the limits (or empty).
inline bool tooLarge(uint64_t w, uint64_t h) {
    return w == 0 || h == 0 || w > uint64_t(kMaxDimension) || h > uint64_t(kMaxDimension) ||
           w * h > kMaxPixels;
}
std::string tooLargeMessage(uint64_t w, uint64_t h);

}  // namespace textureimage
