// Helpers shared by the conversion tests: Rokkaku text builders and in-memory runs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_writer.h"
#include "platform/win/headless.h"

namespace convtest {

// Joins lines, each ended by `end` (carriage return by default).
inline std::string lines(const std::vector<std::string>& text, const std::string& end = "\r") {
    std::string out;
    for (const auto& line : text) out += line + end;
    return out;
}

// Record builders in the file's own numbering (from 1).
inline std::vector<std::string> point(int number, const std::string& x, const std::string& y,
                                      const std::string& z) {
    return {std::to_string(number), "0", "0", "0", "0", x, y, z};
}
inline std::vector<std::string> edge(int first, int second) {
    return {std::to_string(first), std::to_string(second), "0", "0"};
}
inline std::vector<std::string> face(int color, const std::vector<int>& edges) {
    std::vector<std::string> out{std::to_string(edges.size()), std::to_string(color), "0"};
    for (int e : edges) out.push_back(std::to_string(e));
    return out;
}
// A palette block of 13 entries, each given as red, green, blue.
inline std::vector<std::string> paletteBlock(const std::vector<std::array<int, 3>>& colours) {
    std::vector<std::string> out{"block"};
    for (const auto& c : colours) {
        for (int v : c) out.push_back(std::to_string(v));
        for (int i = 0; i < 4; ++i) out.push_back("0");
    }
    return out;
}

inline void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// The sections after the faces with palette count 0.
inline std::vector<std::string> closingSections() {
    return {"END00", "any", "0", "ENDB0", "ENDL0", "ENDV0", "ENDL2"};
}

// The triangle of the reference example, as its 53 lines.
inline std::vector<std::string> triangleLines() {
    std::vector<std::string> l{"ROKU4", "POINT"};
    append(l, point(1, "0.0", "0.0", "0.0"));
    append(l, point(2, "1.0", "0.0", "0.0"));
    append(l, point(3, "0.0", "1.0", "0.0"));
    l.push_back("LINE0");
    append(l, edge(1, 2));
    append(l, edge(2, 3));
    append(l, edge(3, 1));
    l.push_back("FACE0");
    append(l, face(2, {1, 2, 3}));
    append(l, closingSections());
    return l;
}

struct ReadResult {
    bool ok = false;
    std::string trace;                  // standard output
    std::vector<std::string> messages;  // reported texts
};

// Reads text into model (freshly prepared), capturing the trace and the reports.
inline ReadResult readText(const std::string& text, RokkakuModel& model) {
    winUseHeadless();
    winClearRecordedMessageBoxes();
    EXPECT_TRUE(model.allocate());
    RokkakuStream stream(text.data(), text.size());
    testing::internal::CaptureStdout();
    ReadResult result;
    result.ok = readRokkakuModel(stream, model);
    std::fflush(stdout);
    result.trace = testing::internal::GetCapturedStdout();
    for (const auto& box : winRecordedMessageBoxes()) result.messages.push_back(box.text);
    return result;
}

// The .x text of a model, and separately what was dumped to standard error.
inline std::string writeText(const RokkakuModel& model, std::string* dump = nullptr) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&data, &size);
    testing::internal::CaptureStderr();
    writeXFile(model, out);
    std::fclose(out);
    std::string err = testing::internal::GetCapturedStderr();
    if (dump) *dump = err;
    std::string text(data, size);
    std::free(data);
    return text;
}

// The text after the template declarations.
inline std::string body(const std::string& xText) {
    EXPECT_EQ(xText.compare(0, kXTemplateTextLength, xTemplateText), 0);
    return xText.size() >= kXTemplateTextLength ? xText.substr(kXTemplateTextLength) : std::string();
}

inline std::string readFile(const std::string& path) {
    std::string out;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

}  // namespace convtest
