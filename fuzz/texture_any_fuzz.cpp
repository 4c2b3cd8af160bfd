// The texture decoder with every picture format --any-texture takes: any bytes decode to a
// picture of the size they claim, within the limits, or are refused.
#include <cstdint>
#include <cstdlib>

#include "platform/rm/texture_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    textureimage::Image img;
    if (textureimage::decode({data, size}, img, nullptr, textureimage::Formats::Any) == textureimage::Status::Ok &&
        (img.width <= 0 || img.height <= 0 || img.width > textureimage::kMaxDimension ||
         img.height > textureimage::kMaxDimension ||
         img.rgba.size() != size_t(img.width) * size_t(img.height) * 4))
        std::abort();
    return 0;
}
