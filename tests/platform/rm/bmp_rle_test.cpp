#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "platform/rm/texture_image.h"

using textureimage::Image;
using textureimage::Status;

namespace {

// Appends the values little-endian, 2 or 4 bytes each.
void le(std::vector<uint8_t>& b, int bytes, std::initializer_list<uint32_t> values) {
    for (uint32_t v : values)
        for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A run-length encoded bitmap: header, four-colour palette (black, red, green, blue), runs.
std::vector<uint8_t> rleBitmap(int width, int height, int bits, const std::vector<uint8_t>& runs) {
    const uint32_t offset = 14 + 40 + 16;
    std::vector<uint8_t> b{'B', 'M'};
    le(b, 4, {offset + uint32_t(runs.size()), 0, offset, 40, uint32_t(width), uint32_t(height)});
    le(b, 2, {1, uint32_t(bits)});
    le(b, 4, {bits == 8 ? 1u : 2u, uint32_t(runs.size()), 2835, 2835, 4, 0});
    le(b, 4, {0x000000u, 0xFF0000u, 0x00FF00u, 0x0000FFu});  // the palette
    b.insert(b.end(), runs.begin(), runs.end());
    return b;
}

// Each pixel as its palette index, top row first.
std::vector<std::string> indices(const Image& img) {
    std::vector<std::string> rows;
    for (int y = 0; y < img.height; ++y) {
        std::string row;
        for (int x = 0; x < img.width; ++x) {
            const uint8_t* p = &img.rgba[(size_t(y) * size_t(img.width) + size_t(x)) * 4];
            row += p[0] ? '1' : p[1] ? '2' : p[2] ? '3' : '0';
            EXPECT_EQ(p[3], 255);
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(RunLengthBitmap, RunsAbsoluteStretchesAndSkipsDecodeInBothDepths) {
    // Bottom row: a run of four reds. Middle: green, blue, green as they are, then one
    // red. Top: skip two pixels (left as entry 0), then two blues, then the end.
    const std::vector<uint8_t> rle8{4, 1, 0, 0,  0, 3, 2, 3, 2, 0, 1, 1, 0, 0,  0, 2, 2, 0, 2, 3, 0, 1};
    const std::vector<uint8_t> rle4{4, 0x11, 0, 0,  0, 3, 0x23, 0x20, 1, 0x10, 0, 0,  0, 2, 2, 0, 2, 0x33, 0, 1};
    for (const auto& [bits, runs] : {std::pair{8, rle8}, std::pair{4, rle4}}) {
        Image img;
        std::string error;
        ASSERT_EQ(textureimage::decode(rleBitmap(4, 3, bits, runs), img, &error), Status::Ok) << bits << error;
        EXPECT_EQ(indices(img), (std::vector<std::string>{"0033", "2321", "1111"})) << bits;
    }
}

TEST(RunLengthBitmap, CutShortOrOversizedIsRefusedAndRunsOutsideAreDropped) {
    Image img;
    std::string error;
    // Ends inside the second row, without the end mark.
    EXPECT_EQ(textureimage::decode(rleBitmap(4, 3, 8, {4, 1, 0, 0, 2, 2}), img, &error), Status::BadFile);
    EXPECT_EQ(error, "picture data cut short");
    EXPECT_TRUE(img.rgba.empty());
    // An absolute stretch longer than the data.
    EXPECT_EQ(textureimage::decode(rleBitmap(4, 3, 8, {0, 200, 1, 1}), img, &error), Status::BadFile);
    auto huge = rleBitmap(4, 3, 8, {0, 1});
    huge[18] = huge[19] = huge[20] = 0xFF;
    huge[21] = 0x7F;
    EXPECT_EQ(textureimage::decode(huge, img, &error), Status::BadFile);
    EXPECT_TRUE(error.starts_with("picture too large"));
    // Runs past the right edge and moves past the top are dropped, not written.
    ASSERT_EQ(textureimage::decode(rleBitmap(2, 2, 8, {255, 1, 0, 2, 255, 255, 3, 2, 0, 1}), img, &error), Status::Ok);
    EXPECT_EQ(indices(img), (std::vector<std::string>{"00", "11"}));
}
