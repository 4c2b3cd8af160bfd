// Run-length encoded Windows bitmaps (4 and 8 bits per pixel), common in old model
// folders; the general decoder does not read them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/rm/texture_image.h"

namespace textureimage {

// True for a bitmap whose header says RLE8 or RLE4.
bool isRleBitmap(std::span<const uint8_t> bytes);

// Decodes one. Pixels the runs skip take palette entry 0. Data that ends before the end
// of the picture is refused, as are pictures beyond the size limits.
Status decodeRleBitmap(std::span<const uint8_t> bytes, Image& out, std::string* error);

}  // namespace textureimage
