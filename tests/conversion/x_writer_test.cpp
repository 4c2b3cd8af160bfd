#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conversion/number_format.h"
#include "conversion/x_writer.h"
#include "conversion_test_util.h"

using namespace convtest;

namespace {

std::string fixed(double value, int decimals) {
    char buffer[kFixedTextMax + 2];
    char* end = formatFixed(buffer, value, decimals);
    return std::string(buffer, end);
}

std::string coordinate(const char* fileText) { return fixed(static_cast<float>(parseRokkakuReal(fileText)), 8); }

// The body of the .x text written from these Rokkaku lines.
std::string convertLines(const std::vector<std::string>& l, std::string* dump = nullptr) {
    RokkakuModel model;
    auto r = readText(lines(l), model);
    EXPECT_TRUE(r.ok);
    return body(writeText(model, dump));
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

}  // namespace

TEST(XNumbers, CoordinatesRoundTo17DigitsThenHalfAwayFromZero) {
    EXPECT_EQ(coordinate("1.1"), "1.10000002");
    EXPECT_EQ(coordinate("0.1"), "0.10000000");
    EXPECT_EQ(coordinate("0.001953125"), "0.00195313");
    EXPECT_EQ(coordinate("-0.001953125"), "-0.00195313");
    EXPECT_EQ(coordinate("0"), "0.00000000");
    EXPECT_EQ(fixed(-0.0f, 8), "0.00000000");
    EXPECT_EQ(coordinate("-1e-12"), "-0.00000000");
    EXPECT_EQ(coordinate("4e-9"), "0.00000000");
    EXPECT_EQ(coordinate("6e-9"), "0.00000001");
    EXPECT_EQ(coordinate("-1"), "-1.00000000");
    EXPECT_EQ(coordinate("99.999999999"), "100.00000000");
    EXPECT_EQ(coordinate("16777216"), "16777216.00000000");
    EXPECT_EQ(coordinate("123456.789"), "123456.78906250");
    // Beyond 17 significant digits the digits are zeros.
    EXPECT_EQ(fixed(std::numeric_limits<float>::max(), 8),
              "340282346638528860000000000000000000000.00000000");
    EXPECT_EQ(fixed(std::numeric_limits<float>::infinity(), 8), "inf");
    EXPECT_EQ(fixed(-std::numeric_limits<float>::infinity(), 8), "-inf");
    // Values whose 17-digit form lands exactly on the half round away from zero even though
    // the exact value lies just below it (the C library would round them down).
    EXPECT_EQ(fixed(0.105, 2), "0.11");
    EXPECT_EQ(fixed(-0.105, 2), "-0.11");
    EXPECT_EQ(fixed(1.95e-05, 6), "0.000020");
    EXPECT_EQ(fixed(6.5e-08, 8), "0.00000007");
    EXPECT_EQ(fixed(0.999999999, 6), "1.000000");
}

TEST(XNumbers, CoordinateFastPathAgreesWithTheGeneralRule) {
    auto check = [](float v) {
        char fast[kFixedTextMax + 2], slow[kFixedTextMax + 2];
        const std::string a(fast, formatCoordinate(fast, v));
        const std::string b(slow, formatFixed(slow, v, 8));
        if (a != b) ADD_FAILURE() << "value " << v << ": " << a << " != " << b;
    };
    // Every bit pattern in strides, then dense runs around half-way cases and powers of two.
    for (uint64_t bits = 0; bits <= 0xffffffffu; bits += 9973) {
        float v;
        const uint32_t b = static_cast<uint32_t>(bits);
        std::memcpy(&v, &b, sizeof v);
        check(v);
    }
    for (float centre : {0.001953125f, 0.5e-8f, 1.5e-8f, 1.0f, 16777215.0f, 8388608.5f, 0.1f, 123.456f}) {
        float v = centre;
        for (int i = 0; i < 2000; ++i) v = std::nextafter(v, 0.0f);
        for (int i = 0; i < 4000; ++i, v = std::nextafter(v, 1e30f)) {
            check(v);
            check(-v);
        }
    }
}

TEST(XNumbers, SmallDecimalsAsToChars) {
    // Every length from 1 to 8 digits, around each power of ten, and strides between.
    auto check = [](uint32_t v) {
        char a[16], b[16];
        const std::string fast(a, formatSmallDecimal(a, v));
        const std::string general(b, std::to_chars(b, b + sizeof b, v).ptr);
        if (fast != general) ADD_FAILURE() << v << ": " << fast;
    };
    for (uint32_t power = 1; power <= 100000000; power *= 10) {
        for (uint32_t v = power > 200 ? power - 200 : 0; v < power + 200 && v < 100000000; ++v)
            check(v);
    }
    for (uint32_t v = 0; v < 100000000; v += 7919) check(v);
}

TEST(XNumbers, PaletteValues) {
    EXPECT_EQ(fixed(80 / 255.0, 6), "0.313725");
    EXPECT_EQ(fixed(131 / 255.0, 6), "0.513725");
    EXPECT_EQ(fixed(233 / 255.0, 6), "0.913725");
    EXPECT_EQ(fixed(144 / 255.0, 6), "0.564706");
    EXPECT_EQ(fixed(510 / 255.0, 6), "2.000000");
    EXPECT_EQ(fixed(-1 / 255.0, 6), "-0.003922");
    EXPECT_EQ(fixed(0 / 255.0, 6), "0.000000");
    EXPECT_EQ(fixed(2147483647 / 255.0, 6), "8421504.498039");
}

TEST(XWriter, TriangleMatchesGoldenFile) {
    const std::string golden = readFile(std::string(SOLLUX_TEST_DATA) + "/conversion/triangle.x");
    ASSERT_GT(golden.size(), kXTemplateTextLength);
    for (const char* end : {"\r", "\r\n"}) {
        RokkakuModel model;
        auto r = readText(lines(triangleLines(), end), model);
        ASSERT_TRUE(r.ok);
        std::string dump;
        EXPECT_EQ(writeText(model, &dump), golden);
        auto dumpLines = splitLines(dump);
        ASSERT_EQ(dumpLines.size(), 26u);
        EXPECT_EQ(dumpLines[0], "0 233;233;233");
        EXPECT_EQ(dumpLines[1], "0 0.913725;0.913725;0.913725;1.0;;");
        EXPECT_EQ(dumpLines[19], "9 0.000000;0.000000;0.000000;1.0;;");
    }
}

TEST(XWriter, TemplateText) {
    const std::string t(xTemplateText);
    EXPECT_EQ(t.size(), 2258u);
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 126);
    EXPECT_EQ(t.find('\r'), std::string::npos);
    EXPECT_EQ(t.rfind("template Mesh {\n <3D82AB44-62DA-11cf-AB39-0020AF71E433>\n"), 2258u - 164u);
    EXPECT_TRUE(t.ends_with(" [...]\n}\n"));
}

TEST(XWriter, EmptyAndOnePointModels) {
    RokkakuModel empty;
    ASSERT_TRUE(empty.allocate());
    std::string b = body(writeText(empty));
    EXPECT_TRUE(b.starts_with("Header{\n1;\n0;\n1;\n}\nMesh{\n0;\n\n0;\n\nMeshMaterialList{\n13;\n0;\nMaterial{\n")) << b;
    EXPECT_TRUE(b.ends_with("0.0;0.0;0.0;;\n}\n}\n}\n"));
    EXPECT_EQ(splitLines(b).size(), 13u + 6u * 13u + 2u);

    std::vector<std::string> l{"ROKU4", "POINT"};
    append(l, point(1, "-2.5", "0", "1e-3"));
    b = convertLines(l);
    EXPECT_TRUE(b.starts_with("Header{\n1;\n0;\n1;\n}\nMesh{\n1;\n-2.50000000;0.00000000;0.00100000;;\n\n0;\n\n")) << b;
}

TEST(XWriter, FaceVertexSlotsAndSeparators) {
    std::vector<std::string> l{"ROKU4", "POINT"};
    for (int i = 1; i <= 5; ++i) append(l, point(i, "0", "0", "0"));
    l.push_back("LINE0");
    append(l, edge(1, 2));  // 1
    append(l, edge(2, 3));  // 2
    append(l, edge(3, 4));  // 3
    append(l, edge(4, 1));  // 4
    append(l, edge(2, 1));  // 5: same points as 1
    append(l, edge(0, 5));  // 6: point number 0 gives -1
    append(l, edge(4, 5));  // 7
    l.push_back("FACE0");
    append(l, face(3, {1, 2, 3}));     // triangle made of 3 edges with 4 points: fourth dropped
    append(l, face(4, {1, 2, 3, 4}));  // quad
    append(l, face(5, {1, 5, 1}));     // only two distinct points
    append(l, face(6, {6, 7}));        // -1 is never taken, slots stay -1
    append(l, face(7, {1, 9, -4}));    // edges out of range contribute nothing
    append(l, face(99, {2, 3, 4, 7})); // five points: the last dropped
    append(l, closingSections());
    const std::string b = convertLines(l);
    const std::string faces =
        "12;\n"
        "3;0;1;2;,\n3;2;1;0;,\n"
        "4;0;1;2;3;,\n4;3;2;1;0;,\n"
        "3;0;1;-1;,\n3;-1;1;0;,\n"
        "4;4;3;-1;-1;,\n4;-1;-1;3;4;,\n"
        "3;0;1;-1;,\n3;-1;1;0;,\n"
        "4;1;2;3;0;;\n4;0;3;2;1;;\n\n"
        "MeshMaterialList{\n13;\n12;\n3,\n3,\n4,\n4,\n5,\n5,\n6,\n6,\n7,\n7,\n99,\n99;\nMaterial{\n";
    EXPECT_NE(b.find(faces), std::string::npos) << b;
}

TEST(XWriter, PaletteFromTheFileIsNotClamped) {
    std::vector<std::array<int, 3>> colours(13, {0, 0, 0});
    colours[0] = {510, -255, 80};
    colours[12] = {131, 255, 1};
    std::vector<std::string> l{"ROKU4", "POINT", "LINE0", "FACE0", "END00", "any", "13"};
    append(l, paletteBlock(colours));
    l.push_back("ENDP0");
    std::string dump;
    const std::string b = convertLines(l, &dump);
    EXPECT_NE(b.find("Material{\n2.000000;-1.000000;0.313725;1.0;;\n15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n"),
              std::string::npos);
    EXPECT_TRUE(b.ends_with("Material{\n0.513725;1.000000;0.003922;1.0;;\n15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n}\n}\n"));
    EXPECT_TRUE(dump.starts_with("0 510;-255;80\n0 2.000000;-1.000000;0.313725;1.0;;\n1 0;0;0\n"));
}
