#include <cstdint>
#include <cstdlib>

#include "platform/rm/texture_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    textureimage::Image img;
    if (textureimage::decode({data, size}, img) == textureimage::Status::Ok &&
        img.rgba.size() != size_t(img.width) * size_t(img.height) * 4)
        std::abort();
    return 0;
}
