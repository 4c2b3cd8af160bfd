#include "platform/rm/texture_image.h"

#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using textureimage::Image;
using textureimage::Status;

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

// A BITMAPINFOHEADER bitmap. `rows` are given top row first, as the picture looks;
// they are stored bottom-up unless topDown. Pixels are (r, g, b) triples or, for 8 bits,
// palette indices.
std::vector<uint8_t> bmp(int width, int height, int bits, const std::vector<std::vector<uint8_t>>& rows,
                         const std::vector<std::array<uint8_t, 3>>& palette = {}, bool topDown = false) {
    const int bpp = bits / 8;
    const int stride = (width * bpp + 3) & ~3;
    const uint32_t paletteBytes = static_cast<uint32_t>(palette.size() * 4);
    const uint32_t offset = 14 + 40 + paletteBytes;
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    put32(b, offset + uint32_t(stride * height));
    put32(b, 0);
    put32(b, offset);
    put32(b, 40);
    put32(b, uint32_t(width));
    put32(b, topDown ? uint32_t(-height) : uint32_t(height));
    put16(b, 1);
    put16(b, uint32_t(bits));
    put32(b, 0);
    put32(b, uint32_t(stride * height));
    put32(b, 2835);
    put32(b, 2835);
    put32(b, uint32_t(palette.size()));
    put32(b, 0);
    for (const auto& c : palette) {
        b.push_back(c[2]);
        b.push_back(c[1]);
        b.push_back(c[0]);
        b.push_back(0);
    }
    for (int i = 0; i < height; ++i) {
        const auto& row = rows[size_t(topDown ? i : height - 1 - i)];
        size_t start = b.size();
        if (bits == 8) {
            b.insert(b.end(), row.begin(), row.end());
        } else {
            for (size_t p = 0; p + 2 < row.size(); p += 3) {
                b.push_back(row[p + 2]);
                b.push_back(row[p + 1]);
                b.push_back(row[p]);
                if (bits == 32) b.push_back(255);
            }
        }
        while (b.size() - start < size_t(stride)) b.push_back(0);
    }
    return b;
}

std::array<uint8_t, 4> pixel(const Image& img, int x, int y) {
    const uint8_t* p = img.rgba.data() + (size_t(y) * size_t(img.width) + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

}  // namespace

TEST(TextureImage, BitmapsOfEveryCommonDepthDecodeTopRowFirst) {
    // Top row red, green; bottom row blue, white.
    std::vector<std::vector<uint8_t>> rows = {{255, 0, 0, 0, 255, 0}, {0, 0, 255, 255, 255, 255}};
    for (int bits : {24, 32}) {
        for (bool topDown : {false, true}) {
            Image img;
            std::string error;
            ASSERT_EQ(textureimage::decode(bmp(2, 2, bits, rows, {}, topDown), img, &error), Status::Ok)
                << bits << " " << error;
            ASSERT_EQ(img.width, 2);
            ASSERT_EQ(img.height, 2);
            ASSERT_EQ(img.rgba.size(), 16u);
            EXPECT_EQ(pixel(img, 0, 0), (std::array<uint8_t, 4>{255, 0, 0, 255})) << bits << topDown;
            EXPECT_EQ(pixel(img, 1, 0), (std::array<uint8_t, 4>{0, 255, 0, 255}));
            EXPECT_EQ(pixel(img, 0, 1), (std::array<uint8_t, 4>{0, 0, 255, 255}));
            EXPECT_EQ(pixel(img, 1, 1), (std::array<uint8_t, 4>{255, 255, 255, 255}));
        }
    }
    // Palettised, odd width (row padding).
    Image img;
    ASSERT_EQ(textureimage::decode(bmp(3, 1, 8, {{2, 0, 1}}, {{10, 20, 30}, {40, 50, 60}, {70, 80, 90}}), img),
              Status::Ok);
    ASSERT_EQ(img.width, 3);
    EXPECT_EQ(pixel(img, 0, 0), (std::array<uint8_t, 4>{70, 80, 90, 255}));
    EXPECT_EQ(pixel(img, 2, 0), (std::array<uint8_t, 4>{40, 50, 60, 255}));
}

TEST(TextureImage, BinaryPixmapsDecodeWithCommentsInTheHeader) {
    std::string header = "P6\n# made by hand\n2 1\n255\n";
    std::vector<uint8_t> b(header.begin(), header.end());
    for (uint8_t v : {1, 2, 3, 250, 251, 252}) b.push_back(v);
    Image img;
    std::string error;
    ASSERT_EQ(textureimage::decode(b, img, &error), Status::Ok) << error;
    ASSERT_EQ(img.width, 2);
    ASSERT_EQ(img.height, 1);
    EXPECT_EQ(pixel(img, 0, 0), (std::array<uint8_t, 4>{1, 2, 3, 255}));
    EXPECT_EQ(pixel(img, 1, 0), (std::array<uint8_t, 4>{250, 251, 252, 255}));

    b.resize(b.size() - 2);  // pixels missing
    EXPECT_EQ(textureimage::decode(b, img, &error), Status::BadFile);
    EXPECT_TRUE(img.rgba.empty());

    // Samples are scaled by the maximum; above 255 they take two bytes, high byte first.
    for (const std::string& h : {std::string("P5\n2 1\n65535\n"), std::string("P6\n2 1\n65535\n")}) {
        std::vector<uint8_t> wide(h.begin(), h.end());
        const size_t samples = h[1] == '5' ? 2 : 6;
        for (size_t i = 0; i < samples; ++i) {
            const uint8_t v = i < samples / 2 ? 0xFF : 0x01;
            wide.insert(wide.end(), {v, v});
        }
        ASSERT_EQ(textureimage::decode(wide, img, &error), Status::Ok) << error;
        EXPECT_EQ(pixel(img, 0, 0), (std::array<uint8_t, 4>{255, 255, 255, 255})) << h;
        EXPECT_EQ(pixel(img, 1, 0), (std::array<uint8_t, 4>{1, 1, 1, 255})) << h;
    }
    const std::string dim = "P5\n1 1\n15\n\x0f";
    ASSERT_EQ(textureimage::decode(std::vector<uint8_t>(dim.begin(), dim.end()), img, &error), Status::Ok);
    EXPECT_EQ(pixel(img, 0, 0)[0], 255);
    // A header number longer than any real picture's is refused before decoding.
    const std::string absurd = "P5\n2 1\n5222222222222\n";
    EXPECT_EQ(textureimage::decode(std::vector<uint8_t>(absurd.begin(), absurd.end()), img, &error), Status::BadFile);
}

TEST(TextureImage, RefusesOtherFormatsTruncatedDataAndAbsurdSizes) {
    Image img;
    std::string error;
    EXPECT_EQ(textureimage::decode({}, img, &error), Status::BadFile);
    std::string ascii = "P3\n1 1\n255\n1 2 3\n";
    EXPECT_EQ(textureimage::decode(std::vector<uint8_t>(ascii.begin(), ascii.end()), img), Status::BadFile);
    const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13};
    EXPECT_EQ(textureimage::decode(png, img, &error), Status::BadFile);

    auto good = bmp(2, 2, 24, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}});
    for (size_t cut : {size_t(10), size_t(30), good.size() - 4}) {
        std::vector<uint8_t> part(good.begin(), good.begin() + long(cut));
        EXPECT_EQ(textureimage::decode(part, img, &error), Status::BadFile) << cut;
    }
    // A header claiming 100000 x 100000 pixels is refused without decoding.
    auto huge = good;
    huge[18] = 0xA0, huge[19] = 0x86, huge[20] = 0x01, huge[21] = 0;
    huge[22] = 0xA0, huge[23] = 0x86, huge[24] = 0x01, huge[25] = 0;
    EXPECT_EQ(textureimage::decode(huge, img, &error), Status::BadFile);
    EXPECT_TRUE(img.rgba.empty());
    std::string big = "P6\n20000 20000\n255\n";
    EXPECT_EQ(textureimage::decode(std::vector<uint8_t>(big.begin(), big.end()), img, &error), Status::BadFile);
}

void collect(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

// A 4 x 2 picture: the top row red, the bottom row blue.
std::vector<uint8_t> written(int (*write)(stbi_write_func*, void*, int, int, int, const void*)) {
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 8; ++i) rgb.insert(rgb.end(), {uint8_t(i < 4 ? 250 : 0), 0, uint8_t(i < 4 ? 0 : 250)});
    std::vector<uint8_t> out;
    write(collect, &out, 4, 2, 3, rgb.data());
    return out;
}

TEST(TextureImage, OtherFormatsOnlyWhenAskedForWithinTheSameLimits) {
    const std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0, 250, 0, 0, 0, 0, 250,
                                      0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x44, 0x0A, 0, 0x3B};
    struct Case {
        const char* format;
        std::vector<uint8_t> bytes;
        int width, tolerance;
    };
    const Case cases[] = {
        {"PNG", written([](stbi_write_func* f, void* c, int w, int h, int n, const void* d) {
             return stbi_write_png_to_func(f, c, w, h, n, d, 0);
         }), 4, 0},
        {"TGA", written(stbi_write_tga_to_func), 4, 0},
        {"JPEG", written([](stbi_write_func* f, void* c, int w, int h, int n, const void* d) {
             return stbi_write_jpg_to_func(f, c, w, h, n, d, 100);
         }), 4, 40},
        {"GIF", gif, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        Image img;
        std::string error;
        EXPECT_EQ(textureimage::decode(c.bytes, img, &error), Status::BadFile);
        EXPECT_NE(error.find("not a BMP"), std::string::npos) << error;
        ASSERT_EQ(textureimage::decode(c.bytes, img, &error, textureimage::Formats::Any), Status::Ok) << error;
        EXPECT_EQ(img.width, c.width);
        const auto top = pixel(img, 0, 0);
        EXPECT_NEAR(top[0], 250, c.tolerance);
        EXPECT_NEAR(top[2], 0, c.tolerance);
        EXPECT_EQ(top[3], 255);
    }
    // A PNG whose header claims 20000 pixels across is refused before it is decoded.
    std::vector<uint8_t> wide = cases[0].bytes;
    wide[16] = 0, wide[17] = 0, wide[18] = 0x4E, wide[19] = 0x20;
    Image img;
    std::string error;
    EXPECT_EQ(textureimage::decode(wide, img, &error, textureimage::Formats::Any), Status::BadFile);
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    std::vector<uint8_t> noise(64, 0x5A);
    EXPECT_EQ(textureimage::decode(noise, img, &error, textureimage::Formats::Any), Status::BadFile);
    EXPECT_TRUE(img.rgba.empty());
    // A JPEG Huffman table of more than 256 codes is refused with the library's message.
    std::vector<uint8_t> jpeg = cases[2].bytes;
    size_t dht = 2;
    while (dht + 1 < jpeg.size() && !(jpeg[dht] == 0xFF && jpeg[dht + 1] == 0xC4)) ++dht;
    ASSERT_LT(dht + 21, jpeg.size());
    jpeg[dht + 5 + 15] = 255;  // the table's count of 16-bit codes
    jpeg[dht + 5 + 14] = 255;
    EXPECT_EQ(textureimage::decode(jpeg, img, &error, textureimage::Formats::Any), Status::BadFile);
    EXPECT_NE(error.find("Huffman"), std::string::npos) << error;
}

TEST(TextureImage, LoadsFromFilesAndReportsMissingOnes) {
    auto path = std::filesystem::temp_directory_path() / "sollux_texture_image_test.bmp";
    auto data = bmp(1, 1, 24, {{9, 8, 7}});
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), long(data.size()));
    }
    Image img;
    std::string error;
    ASSERT_EQ(textureimage::loadFile(path.string(), img, &error), Status::Ok) << error;
    EXPECT_EQ(pixel(img, 0, 0), (std::array<uint8_t, 4>{9, 8, 7, 255}));
    std::filesystem::remove(path);
    EXPECT_EQ(textureimage::loadFile(path.string(), img, &error), Status::FileNotFound);
    EXPECT_NE(error.find("sollux_texture_image_test.bmp"), std::string::npos);
}
// Variants as image editors save them (made with ImageMagick from src.png): each reads as
// its reference within what the format's loss allows.
TEST(TextureImage, EveryVariantOfTheLibraryFormatsReads) {
    const std::string dir = std::string(SOLLUX_TEST_DATA) + "/pictures/";
    auto load = [&](const std::string& name) {
        Image img;
        std::string error;
        EXPECT_EQ(textureimage::loadFile(dir + name, img, &error, textureimage::Formats::Any),
                  Status::Ok)
            << error;
        return img;
    };
    const Image src = load("src.png"), grey = load("grey16.png");
    struct Case {
        const char* file;
        const Image& reference;
        double meanDifference;  // over all channels
    };
    const Case cases[] = {
        {"rgb16.png", src, 0},       {"interlaced.png", src, 0},
        {"progressive.jpg", src, 3}, {"cmyk_progressive.jpg", src, 3},
        {"grey.jpg", grey, 1.5},     {"first.gif", src, 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Image img = load(c.file);
        ASSERT_EQ(img.rgba.size(), c.reference.rgba.size());
        EXPECT_EQ(img.width, 16);
        double sum = 0;
        for (size_t i = 0; i < img.rgba.size(); ++i)
            sum += std::abs(int(img.rgba[i]) - int(c.reference.rgba[i]));
        EXPECT_LE(sum / double(img.rgba.size()), c.meanDifference);
    }
    for (size_t i = 0; i < grey.rgba.size(); i += 4)
        ASSERT_TRUE(grey.rgba[i] == grey.rgba[i + 1] && grey.rgba[i] == grey.rgba[i + 2]);
    // A palette whose first colour is transparent.
    const Image keyed = load("palette_trns.png");
    ASSERT_EQ(keyed.rgba.size(), src.rgba.size());
    EXPECT_EQ(keyed.rgba[3], 0);
    EXPECT_TRUE(std::count(keyed.rgba.begin() + 3, keyed.rgba.end(), 255) > 0);
}
