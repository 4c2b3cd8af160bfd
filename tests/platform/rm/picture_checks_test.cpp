// Pictures the decoders must refuse: JPEG scans that name tables the file never defined (or
// no scan at all), and PNG chunks longer than the file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/rm/texture_image.h"

using textureimage::Image;
using textureimage::Status;

namespace {

std::vector<uint8_t> fixture(const char* name) {
    std::ifstream in(std::string(SOLLUX_TEST_DATA "/x/") + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Where the segment with this marker starts (its 0xFF).
size_t segment(const std::vector<uint8_t>& b, uint8_t marker) {
    for (size_t i = 2; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == marker) return i;
    return b.size();
}

}  // namespace

TEST(JpegTables, ScansNeedTablesTheFileDefines) {
    const std::vector<uint8_t> good = fixture("red_over_blue.jpg");
    ASSERT_LT(segment(good, 0xDA), good.size());
    Image img;
    std::string error;
    ASSERT_EQ(textureimage::decode(good, img, &error, textureimage::Formats::Any), Status::Ok) << error;

    auto huffman = good;  // the first component's scan asks for DC and AC tables 3
    huffman.at(segment(huffman, 0xDA) + 6) = 0x33;
    auto quantiser = good;  // the frame gives the first component quantisation table 2
    quantiser.at(segment(quantiser, 0xC0) + 12) = 2;
    std::vector<uint8_t> noScan(good.begin(), good.begin() + long(segment(good, 0xDA)));
    noScan.insert(noScan.end(), {0xFF, 0xD9});
    const std::pair<std::vector<uint8_t>, const char*> cases[] = {
        {huffman, "Huffman table 0x03 was not defined"},
        {quantiser, "Quantization table 0x02 was not defined"},
        {noScan, "missing SOS marker"},
    };
    for (const auto& [bad, why] : cases) {
        EXPECT_EQ(textureimage::decode(bad, img, &error, textureimage::Formats::Any), Status::BadFile);
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_TRUE(img.rgba.empty());
    }
}

TEST(PngChunks, AChunkLongerThanTheFileIsRefusedBeforeAnythingIsAllocated) {
    const std::vector<uint8_t> good = fixture("red_over_blue.png");
    Image img;
    std::string error;
    ASSERT_EQ(textureimage::decode(good, img, &error, textureimage::Formats::Any), Status::Ok) << error;
    auto huge = good;  // the first chunk after the header claims about a gigabyte
    huge.at(8) = 0x44;
    std::vector<uint8_t> cut(good.begin(), good.end() - 20);
    EXPECT_EQ(textureimage::decode(huge, img, &error, textureimage::Formats::Any), Status::BadFile);
    EXPECT_EQ(error, "unreadable picture: IHDR: invalid");
    EXPECT_EQ(textureimage::decode(cut, img, &error, textureimage::Formats::Any), Status::BadFile);
    EXPECT_EQ(error, "picture data cut short");
    EXPECT_TRUE(img.rgba.empty());
}
