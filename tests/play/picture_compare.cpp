// Compares a screenshot with its baseline picture for the scenario tests.
//
//   sollux_picture_compare ACTUAL.png BASELINE.png TOLERANCE [--ignore WxH] [--diff DIFF.png]
//
// A pixel is off when one of its colour channels differs by more than kChannelSlack; the
// pictures match when they have the same size and at most TOLERANCE pixels are off. The
// top-left W x H box (the frame-rate overlay, whose figure depends on the machine's speed)
// is left out. --diff writes the pixels that are off in red over a dimmed baseline.
// Exit status: 0 match, 1 no match, 2 bad arguments or unreadable pictures.
#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/rm/texture_image.h"

namespace {

constexpr int kChannelSlack = 8;

bool load(const char* path, textureimage::Image& image) {
    std::string error;
    if (textureimage::loadFile(path, image, &error, textureimage::Formats::Any) == textureimage::Status::Ok) return true;
    std::fprintf(stderr, "%s: %s\n", path, error.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ACTUAL.png BASELINE.png TOLERANCE [--ignore WxH] [--diff DIFF.png]\n", argv[0]);
        return 2;
    }
    const long tolerance = std::strtol(argv[3], nullptr, 10);
    int ignoreWidth = 0, ignoreHeight = 0;
    const char* diffPath = nullptr;
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--ignore" && std::sscanf(argv[i + 1], "%dx%d", &ignoreWidth, &ignoreHeight) == 2) continue;
        if (option == "--diff") {
            diffPath = argv[i + 1];
            continue;
        }
        std::fprintf(stderr, "%s: bad option %s\n", argv[0], argv[i]);
        return 2;
    }
    textureimage::Image actual, baseline;
    if (!load(argv[1], actual) || !load(argv[2], baseline)) return 2;
    if (actual.width != baseline.width || actual.height != baseline.height) {
        std::fprintf(stderr, "%s is %dx%d, its baseline %s %dx%d\n", argv[1], actual.width, actual.height, argv[2],
                     baseline.width, baseline.height);
        return 1;
    }
    long off = 0;
    int largest = 0;
    std::string diff(baseline.rgba.begin(), baseline.rgba.end());
    for (int y = 0; y < actual.height; ++y)
        for (int x = 0; x < actual.width; ++x) {
            const size_t at = (size_t(y) * size_t(actual.width) + size_t(x)) * 4;
            for (int k = 0; k < 3; ++k) diff[at + k] = char(baseline.rgba[at + k] / 4);
            if (x < ignoreWidth && y < ignoreHeight) continue;
            int d = 0;
            for (int k = 0; k < 3; ++k) d = std::max(d, std::abs(int(actual.rgba[at + k]) - int(baseline.rgba[at + k])));
            largest = std::max(largest, d);
            if (d <= kChannelSlack) continue;
            ++off;
            diff[at] = char(255);
            diff[at + 1] = diff[at + 2] = 0;
        }
    const bool match = off <= tolerance;
    if (!match) std::fprintf(stderr, "%s: %ld pixels off (tolerance %ld), largest difference %d\n", argv[1], off, tolerance, largest);
    if (diffPath && !match)
        stbi_write_png(diffPath, actual.width, actual.height, 4, diff.data(), actual.width * 4);
    return match ? 0 : 1;
}
