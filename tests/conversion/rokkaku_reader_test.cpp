#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "conversion/rokkaku_reader.h"
#include "conversion_test_util.h"

using namespace convtest;

namespace {

std::vector<std::string> allLines(const std::string& text) {
    RokkakuStream stream(text.data(), text.size());
    std::vector<std::string> out;
    char buffer[kRokkakuLineSize];
    while (readRokkakuLine(buffer, kRokkakuLineSize, stream)) out.emplace_back(buffer);
    return out;
}

}  // namespace

TEST(RokkakuLine, CarriageReturnEndsLineAndLineFeedIsOrdinary) {
    EXPECT_EQ(allLines("ab\r\ncd\r\n"), (std::vector<std::string>{"ab\n", "\ncd\n", "\n"}));
    EXPECT_EQ(allLines("ab\rcd"), (std::vector<std::string>{"ab\n", "cd"}));
    EXPECT_EQ(allLines("\r\r"), (std::vector<std::string>{"\n", "\n"}));
    EXPECT_TRUE(allLines("").empty());
}

TEST(RokkakuLine, LongLinesSplitAt254Bytes) {
    std::string line(300, 'a');
    line[253] = 'b';
    line[254] = 'c';
    auto got = allLines(line + "\r");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::string(253, 'a') + "b");
    EXPECT_EQ(got[1], "c" + std::string(45, 'a') + "\n");

    // A carriage return right after 254 bytes ends an empty second line.
    got = allLines(std::string(254, 'x') + "\ry\r");
    EXPECT_EQ(got, (std::vector<std::string>{std::string(254, 'x'), "\n", "y\n"}));
    // ... but right after 253 it still ends the first one.
    got = allLines(std::string(253, 'x') + "\r");
    EXPECT_EQ(got, (std::vector<std::string>{std::string(253, 'x') + "\n"}));

    // Line-feed-only files have no line ends: 254-byte pieces.
    std::string lf;
    for (int i = 0; i < 100; ++i) lf += "12345\n";
    got = allLines(lf);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].size(), 254u);
    EXPECT_EQ(got[1].size(), 254u);
    EXPECT_EQ(got[2].size(), 600u - 508u);
}

TEST(RokkakuLine, ZeroByteAtLineStartSkips128Bytes) {
    std::string text = std::string(1, '\0') + std::string(127, 'z') + "kept\r";
    EXPECT_EQ(allLines(text), (std::vector<std::string>{"kept\n"}));
    // Two blocks in a row, and a block cut short by the end of input.
    text = std::string(1, '\0') + std::string(127, 'z') + std::string(1, '\0') + std::string(127, 'y') + "k\r";
    EXPECT_EQ(allLines(text), (std::vector<std::string>{"k\n"}));
    EXPECT_TRUE(allLines(std::string(1, '\0') + "short").empty());
    // A zero byte later in the line is stored and ends its text.
    char buffer[kRokkakuLineSize];
    std::string mid = std::string("ab") + '\0' + "cd\r";
    RokkakuStream stream(mid.data(), mid.size());
    ASSERT_NE(readRokkakuLine(buffer, kRokkakuLineSize, stream), nullptr);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(std::memcmp(buffer, "ab\0cd\n", 7), 0);
    EXPECT_EQ(readRokkakuLine(buffer, kRokkakuLineSize, stream), nullptr);
}

TEST(RokkakuLine, FileStreamCrossesBufferBoundaries) {
    // More than the stream's 1 MiB buffer, with a zero-byte block and a long line straddling
    // the boundary.
    std::string text(1048576 - 60, 'x');
    text += "\r";
    text += std::string(1, '\0') + std::string(127, 'q') + std::string(300, 'w') + "\rend";
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    RokkakuStream stream(f);
    char buffer[kRokkakuLineSize];
    std::vector<std::string> got;
    while (readRokkakuLine(buffer, kRokkakuLineSize, stream)) got.emplace_back(buffer);
    std::fclose(f);
    std::vector<std::string> expected = allLines(text);
    EXPECT_EQ(got, expected);
    ASSERT_GE(expected.size(), 3u);
    EXPECT_EQ(expected[expected.size() - 3], std::string(254, 'w'));
    EXPECT_EQ(expected.back(), "end");
    EXPECT_FALSE(stream.failed());
}

TEST(RokkakuNumbers, Integers) {
    EXPECT_EQ(parseRokkakuInteger("\n 42\n"), 42);
    EXPECT_EQ(parseRokkakuInteger("\t\v\f\r-17x"), -17);
    EXPECT_EQ(parseRokkakuInteger("+8"), 8);
    EXPECT_EQ(parseRokkakuInteger("3.9"), 3);
    EXPECT_EQ(parseRokkakuInteger("any"), 0);
    EXPECT_EQ(parseRokkakuInteger("- 5"), 0);
    EXPECT_EQ(parseRokkakuInteger("0x1F"), 0);
    EXPECT_EQ(parseRokkakuInteger(""), 0);
    EXPECT_EQ(parseRokkakuInteger("99999999999999999999999"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(parseRokkakuInteger("-2147483649"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(parseRokkakuInteger("-2147483648"), std::numeric_limits<int32_t>::min());
}

TEST(RokkakuNumbers, Reals) {
    EXPECT_EQ(parseRokkakuReal("\n1.5\n"), 1.5);
    EXPECT_EQ(parseRokkakuReal("  -2.25e2"), -225.0);
    EXPECT_EQ(parseRokkakuReal("+.5"), 0.5);
    EXPECT_EQ(parseRokkakuReal("7."), 7.0);
    EXPECT_EQ(parseRokkakuReal("1e"), 1.0);
    EXPECT_EQ(parseRokkakuReal("1e+"), 1.0);
    EXPECT_EQ(parseRokkakuReal("2E-1x"), 0.2);
    EXPECT_EQ(parseRokkakuReal("0.1"), 0.1);
    EXPECT_EQ(parseRokkakuReal("0x10"), 0.0);
    EXPECT_EQ(parseRokkakuReal("inf"), 0.0);
    EXPECT_EQ(parseRokkakuReal("nan"), 0.0);
    EXPECT_EQ(parseRokkakuReal("."), 0.0);
    EXPECT_EQ(parseRokkakuReal("-"), 0.0);
    EXPECT_TRUE(std::isinf(parseRokkakuReal("1e999")));
    EXPECT_LT(parseRokkakuReal("-123e400"), 0.0);
    EXPECT_TRUE(std::isinf(parseRokkakuReal("-123e400")));
    EXPECT_EQ(parseRokkakuReal("0.0000001e-400"), 0.0);
    EXPECT_TRUE(std::signbit(parseRokkakuReal("-1e-999")));
    EXPECT_EQ(parseRokkakuReal("0e999999999999"), 0.0);
    EXPECT_EQ(parseRokkakuReal("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
    // A long digit string still rounds correctly.
    EXPECT_EQ(parseRokkakuReal(("0." + std::string(200, '3')).c_str()), 1.0 / 3.0);
    // Either side of the short way for plain decimals (at most 2^53 over a power of ten up
    // to 10^22): the nearest double, as the full conversion gives it.
    for (const char* text : {"9007199254740992", "9007199254740993", "900719925474099.3", "0.000000000000000000001",
                             "0.0000000000000000000001", "123456789012345678", "-0.30000000000000004",
                             "1234567.890123", "-0.0", "00000000000000000000000.5"}) {
        double expected = 0;
        const char* digits = text + (text[0] == '-');
        std::from_chars(digits, digits + std::strlen(digits), expected);
        EXPECT_EQ(parseRokkakuReal(text), text[0] == '-' ? -expected : expected) << text;
        EXPECT_EQ(std::signbit(parseRokkakuReal(text)), text[0] == '-') << text;
    }
}

TEST(RokkakuReader, ReadsTheTriangleWithEitherLineEnd) {
    for (const char* end : {"\r", "\r\n"}) {
        SCOPED_TRACE(end[1] ? "CR LF" : "CR");
        RokkakuModel model;
        auto r = readText(lines(triangleLines(), end), model);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.trace, "START\nPOINT\nLINE0\nFACE0\nPALC0\nLIT00\nVIEW0\nLINE2\nEND\n");
        ASSERT_EQ(model.points.count(), 3u);
        EXPECT_EQ(model.points[1].x, 1.0f);
        EXPECT_EQ(model.points[2].y, -1.0f);
        EXPECT_TRUE(std::signbit(model.points[0].y));
        ASSERT_EQ(model.edges.count(), 3u);
        EXPECT_EQ(model.edges[2].first, 2);
        EXPECT_EQ(model.edges[2].second, 0);
        ASSERT_EQ(model.faces.count(), 1u);
        EXPECT_EQ(model.faces[0].edgeCount, 3);
        EXPECT_EQ(model.faces[0].color, 2);
        EXPECT_EQ(model.faces[0].edges[0], 0);
        EXPECT_EQ(model.faces[0].edges[2], 2);
        EXPECT_EQ(model.palette[7].red, 198);
        EXPECT_EQ(model.paletteBlocks, 0);
    }
}

TEST(RokkakuReader, KeywordsMatchAnywhereWithExactCase) {
    std::vector<std::string> l{"# roku4 header", "xxROKU4yy", "  point", "the POINTs"};
    append(l, point(1, "2.5", "0", "0"));
    l.push_back("--LINE0--");
    append(l, edge(1, 1));
    RokkakuModel model;
    auto r = readText(lines(l), model);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.trace, "START\nPOINT\nLINE0\n");
    ASSERT_EQ(model.points.count(), 1u);
    EXPECT_EQ(model.points[0].x, 2.5f);
    EXPECT_EQ(model.edges.count(), 1u);

    // Lower-case keywords are ordinary lines: "line0" becomes a point record here.
    std::vector<std::string> lower{"ROKU4", "POINT", "line0"};
    RokkakuModel other;
    r = readText(lines(lower), other);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "error in POINT at point No.(-1!=0)\n\r\n");
}

TEST(RokkakuReader, PointNumbersMustCountUp) {
    struct Case {
        std::vector<int> numbers;
        const char* message;
    } cases[] = {
        {{2}, "error in POINT at point No.(1!=0)\n\r\n"},
        {{1, 2, 5}, "error in POINT at point No.(4!=2)\n\r\n"},
        {{1, 1}, "error in POINT at point No.(0!=1)\n\r\n"},
        {{-2147483647 - 1}, "error in POINT at point No.(-2147483648!=0)\n\r\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> l{"ROKU4", "POINT"};
        for (int n : c.numbers) append(l, point(n, "1", "1", "1"));
        RokkakuModel model;
        auto r = readText(lines(l), model);
        EXPECT_FALSE(r.ok);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], c.message);
        EXPECT_EQ(winRecordedMessageBoxes()[0].caption, "Viewer Message");
    }
}

TEST(RokkakuReader, PaletteCounts) {
    std::vector<std::array<int, 3>> colours;
    for (int i = 0; i < 13; ++i) colours.push_back({i, 2 * i, 300 - i});
    auto withPalette = [&](const std::string& count, int blocks, bool closeWithEndP) {
        std::vector<std::string> l{"ROKU4", "POINT", "LINE0", "FACE0", "END00", "any", count};
        for (int b = 0; b < blocks; ++b) append(l, paletteBlock(colours));
        if (closeWithEndP) l.push_back("ENDP0");
        append(l, {"ENDB0", "ENDL0", "ENDV0", "ENDL2"});
        return lines(l, "\r\n");
    };

    {  // 13 colours, one block
        RokkakuModel model;
        auto r = readText(withPalette("13", 1, true), model);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.trace, "START\nPOINT\nLINE0\nFACE0\nPALC0\nBAKC0\nLIT00\nVIEW0\nLINE2\nEND\n");
        EXPECT_EQ(model.paletteBlocks, 1);
        EXPECT_EQ(model.palette[12].red, 12);
        EXPECT_EQ(model.palette[12].green, 24);
        EXPECT_EQ(model.palette[0].blue, 300);
    }
    {  // 0: default palette kept, palette lines and ENDP0 skipped with the background
        RokkakuModel model;
        auto r = readText(withPalette("0", 1, true), model);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.trace, "START\nPOINT\nLINE0\nFACE0\nPALC0\nLIT00\nVIEW0\nLINE2\nEND\n");
        EXPECT_EQ(model.paletteBlocks, 0);
        EXPECT_EQ(model.palette[0].red, 233);
        EXPECT_EQ(model.palette[12].blue, 248);
    }
    for (const char* bad : {"7", "12", "-13", "x"}) {
        RokkakuModel model;
        auto r = readText(withPalette(bad, 1, true), model);
        if (std::string(bad) == "x") {  // no digits reads as 0
            EXPECT_TRUE(r.ok);
            continue;
        }
        EXPECT_FALSE(r.ok) << bad;
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], "num of palette isn't 13.\n\r\n");
    }
    {  // later blocks overwrite the palette; the 13th fails
        RokkakuModel model;
        auto r = readText(withPalette("13", 12, true), model);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(model.paletteBlocks, 12);
        RokkakuModel tooMany;
        r = readText(withPalette("13", 13, true), tooMany);
        EXPECT_FALSE(r.ok);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], "give up, too much colors.;-(\n\r\n");
    }
}

TEST(RokkakuReader, InputEndingInsideRecordsReadsZeros) {
    std::vector<std::string> l{"ROKU4", "POINT"};
    append(l, point(1, "1", "2", "3"));
    l.insert(l.end(), {"2", "a", "b", "c", "d", "4.5"});  // y and z missing
    RokkakuModel model;
    auto r = readText(lines(l), model);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(model.points.count(), 2u);
    EXPECT_EQ(model.points[1].x, 4.5f);
    EXPECT_EQ(model.points[1].y, 0.0f);
    EXPECT_EQ(model.points[1].z, 0.0f);

    // A face cut short: its missing edge numbers read as 0, stored as -1.
    std::vector<std::string> f{"ROKU4", "POINT", "LINE0", "FACE0", "4", "5", "x", "2"};
    RokkakuModel faceModel;
    r = readText(lines(f), faceModel);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(faceModel.faces.count(), 1u);
    EXPECT_EQ(faceModel.faces[0].edgeCount, 4);
    EXPECT_EQ(faceModel.faces[0].color, 5);
    EXPECT_EQ(faceModel.faces[0].edges[0], 1);
    EXPECT_EQ(faceModel.faces[0].edges[1], -1);
    EXPECT_EQ(faceModel.faces[0].edges[3], -1);

    // Palette count line missing entirely: count 0.
    RokkakuModel paletteModel;
    r = readText(lines({"ROKU4", "POINT", "LINE0", "FACE0", "END00"}), paletteModel);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.trace, "START\nPOINT\nLINE0\nFACE0\nPALC0\n");
}

TEST(RokkakuReader, EmptyOrForeignInputGivesEmptyModel) {
    for (std::string text : {std::string(), std::string("roku4\rPOINT\r1\r"), std::string("xof 0302txt 0064\n")}) {
        RokkakuModel model;
        auto r = readText(text, model);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.trace, "");
        EXPECT_EQ(model.points.count(), 0u);
        EXPECT_EQ(model.faces.count(), 0u);
        EXPECT_EQ(model.palette[5].blue, 91);
    }
}

TEST(RokkakuReader, FacesOfMoreThanFourEdgesAreRefused) {
    std::vector<std::string> l{"ROKU4", "POINT", "LINE0", "FACE0"};
    append(l, face(1, {1, 2, 3}));
    append(l, face(1, {1, 2, 3, 4, 5}));
    append(l, closingSections());
    RokkakuModel model;
    auto r = readText(lines(l), model);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "Face No.2 has 5 edges, but a face can have at most 4.\n\r\n");

    // Fewer edges than 3 (or a negative count) are kept as they are.
    std::vector<std::string> small{"ROKU4", "POINT", "LINE0", "FACE0"};
    append(small, face(0, {1, 2}));
    append(small, {"-3", "4", "x"});
    append(small, closingSections());
    RokkakuModel smallModel;
    r = readText(lines(small), smallModel);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(smallModel.faces.count(), 2u);
    EXPECT_EQ(smallModel.faces[1].edgeCount, -3);
    EXPECT_EQ(smallModel.faces[1].color, 4);
}

TEST(RokkakuReader, ArraysGrowPastTheirFirstThousand) {
    std::vector<std::string> l{"ROKU4", "POINT"};
    for (int i = 1; i <= 2500; ++i) append(l, point(i, std::to_string(i), "0", "0"));
    RokkakuModel model;
    auto r = readText(lines(l), model);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(model.points.count(), 2500u);
    EXPECT_EQ(model.points.capacity(), 4000u);
    EXPECT_EQ(model.points[2499].x, 2500.0f);
    EXPECT_EQ(model.points[999].x, 1000.0f);
}

TEST(RokkakuLine, LinesInTheBufferReadAsTheGeneralWayReadsThem) {
    // Random lines of number-like bytes, each read by a fast path and by the general one
    // (nextLineText and the parse of its text) from the same place.
    const char alphabet[] = "0123456789000999 .-+eE\r\r\r\n\t";
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    std::string text;
    while (text.size() < 200000) {
        const uint32_t kind = next() % 8;
        size_t length = kind == 0 ? next() % 300 : next() % 24;
        for (size_t i = 0; i < length; ++i) text += alphabet[(next() >> 8) % (sizeof alphabet - 1)];
        text += kind == 1 ? '\0' : '\r';
    }
    for (int way = 0; way < 4; ++way) {
        RokkakuStream fast(text.data(), text.size()), general(text.data(), text.size());
        char copy[kRokkakuLineSize];
        const char* line;
        size_t length;
        int taken = 0;
        for (int i = 0; i < 20000; ++i) {
            int32_t integer = 0;
            double real = 0;
            bool tookFast = way == 0   ? fast.skipLineInBuffer()
                            : way == 1 ? fast.integerLineInBuffer(integer)
                            : way == 2 ? fast.realLineInBuffer(real)
                                       : fast.numberLineInBuffer(integer);
            if (!tookFast) {
                ASSERT_TRUE(fast.nextLineText(copy, kRokkakuLineSize - 1, line, length));
                ASSERT_TRUE(general.nextLineText(copy, kRokkakuLineSize - 1, line, length));
                continue;
            }
            ++taken;
            ASSERT_TRUE(general.nextLineText(copy, kRokkakuLineSize - 1, line, length));
            const std::string what = std::string(line, length);
            if (way == 1 || way == 3) {
                EXPECT_EQ(integer, parseRokkakuInteger(line, line + length)) << what;
            }
            if (way == 2) {
                const double expected = parseRokkakuReal(line, line + length);
                EXPECT_TRUE(std::memcmp(&real, &expected, sizeof real) == 0) << what << " " << real;
            }
            if (way == 3) {
                EXPECT_EQ(what.find_first_not_of(" \t\n\v\f+-0123456789"), std::string::npos) << what;
            }
        }
        EXPECT_GT(taken, 5000) << way;
        // Both are at the same place: the rest reads the same.
        const char *a, *b;
        size_t la, lb;
        char copyA[kRokkakuLineSize], copyB[kRokkakuLineSize];
        ASSERT_EQ(fast.nextLineText(copyA, kRokkakuLineSize - 1, a, la), general.nextLineText(copyB, kRokkakuLineSize - 1, b, lb));
        EXPECT_EQ(std::string(a, la), std::string(b, lb)) << way;
    }
}
