#include "conversion/x_writer.h"

#include <fcntl.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "conversion/number_format.h"

namespace {

// Writes a full buffer out and, with toDisk, starts the system writing it to the disk. A
// file that replaces another is otherwise written out whole when it is renamed over it (the
// file system does so before the rename, so that a crash leaves one file or the other):
// that wait is taken off the end of a conversion and spread over its writing. A new file
// is left to the system's own pace (on a slow disk, asking would hold the conversion to it).
void writeOut(std::FILE* file, const char* data, size_t n, bool toDisk) {
    std::fwrite(data, 1, n, file);
    if (toDisk && std::fflush(file) == 0) sync_file_range(fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
}

// Output through two large buffers; numbers are formatted straight into them. A full
// buffer is written by a thread of its own while the other fills.
class TextOut {
public:
    TextOut(std::FILE* file, bool toDisk)
        : file_(file), toDisk_(toDisk), buffer_(new char[kSize]), spare_(new char[kSize]) {}
    ~TextOut() {
        flush();
        finishWrite();
    }
    TextOut(const TextOut&) = delete;
    TextOut& operator=(const TextOut&) = delete;

    // Room for at least n more bytes at the returned position; commit() what was used.
    char* reserve(size_t n) {
        if (used_ + n > kSize) flush();
        return buffer_.get() + used_;
    }
    void commit(char* end) { used_ = static_cast<size_t>(end - buffer_.get()); }

    void text(const char* s, size_t n) {
        char* p = reserve(n);
        std::memcpy(p, s, n);
        commit(p + n);
    }
    template <size_t N>
    void text(const char (&s)[N]) {
        text(s, N - 1);
    }

    void flush() {
        if (!used_) return;
        finishWrite();
        std::swap(buffer_, spare_);
        const size_t n = std::exchange(used_, 0);
        try {
            writing_ = std::thread([file = file_, data = spare_.get(), n, toDisk = toDisk_] {
                writeOut(file, data, n, toDisk);
            });
        } catch (const std::system_error&) {
            writeOut(file_, spare_.get(), n, toDisk_);  // no thread to be had: write it here
        }
    }

private:
    void finishWrite() {
        if (writing_.joinable()) writing_.join();
    }

    // Longer than anything text() or reserve() is given.
    static constexpr size_t kSize = 1 << 20;
    std::FILE* file_;
    bool toDisk_;
    std::unique_ptr<char[]> buffer_;  // being filled
    std::unique_ptr<char[]> spare_;   // being written while writing_ runs
    size_t used_ = 0;
    std::thread writing_;
};

inline char* putInteger(char* p, int64_t value) { return std::to_chars(p, p + 24, value).ptr; }

// A face's point number or colour followed by ';', into a slot of kIndexTextSize bytes;
// returns its length. Copied on with putIndexText, which moves whole slots.
constexpr int kIndexTextSize = 16;
inline int putIndex(char* slot, int32_t value) {
    char* end;
    if (static_cast<uint32_t>(value) < 100000000) {
        end = formatSmallDecimal(slot, static_cast<uint32_t>(value));
    } else {
        end = std::to_chars(slot, slot + 12, value).ptr;
    }
    *end = ';';
    return static_cast<int>(end - slot) + 1;
}
inline char* putIndexText(char* p, const char* slot, int length) {
    std::memcpy(p, slot, kIndexTextSize);
    return p + length;
}

inline char* putText(char* p, const char* s, size_t n) {
    std::memcpy(p, s, n);
    return p + n;
}

// The point numbers of a face in the order they first appear along its edges; -1 marks a
// slot never filled. Edge numbers outside the edge list contribute nothing.
void faceVertices(const RokkakuFace& face, const RecordArray<RokkakuEdge>& edges, int32_t slots[4]) {
    for (int i = 0; i < 4; ++i) slots[i] = -1;
    // Slots fill from the front, so the first empty one is the one after the filled ones;
    // -1 itself matches an empty slot and is never stored.
    int filled = 0;
    auto offer = [&](int32_t point) {
        if (point == -1 || filled == 4) return;
        for (int i = 0; i < filled; ++i) {
            if (slots[i] == point) return;
        }
        slots[filled++] = point;
    };
    const int32_t n = face.edgeCount < 4 ? face.edgeCount : 4;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t e = face.edges[i];
        if (e < 0 || static_cast<size_t>(e) >= edges.count()) continue;
        offer(edges[e].first);
        offer(edges[e].second);
    }
}

void writeMaterials(TextOut& out, const PaletteColor (&palette)[kPaletteSize]) {
    for (int i = 0; i < kPaletteSize; ++i) {
        const PaletteColor& c = palette[i];
        char colour[3 * kFixedTextMax + 16];
        char* p = formatFixed(colour, c.red / 255.0, 6);
        *p++ = ';';
        p = formatFixed(p, c.green / 255.0, 6);
        *p++ = ';';
        p = formatFixed(p, c.blue / 255.0, 6);
        p = putText(p, ";1.0;;\n", 7);
        const size_t colourLength = static_cast<size_t>(p - colour);

        // Diagnostic dump of the entry, raw and divided.
        std::string dump = std::to_string(i) + ' ' + std::to_string(c.red) + ';' + std::to_string(c.green) +
                           ';' + std::to_string(c.blue) + '\n' + std::to_string(i) + ' ';
        dump.append(colour, colourLength);
        std::fputs(dump.c_str(), stderr);

        out.text("Material{\n");
        out.text(colour, colourLength);
        out.text("15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n");
    }
}

}  // namespace

void writeXFile(const RokkakuModel& model, std::FILE* file) {
    writeXPoints(model, file);
    writeXRest(model, file);
}

void writeXPoints(const RokkakuModel& model, std::FILE* file, bool toDisk) {
    TextOut out(file, toDisk);
    out.text(xTemplateText, kXTemplateTextLength);
    out.text("Header{\n1;\n0;\n1;\n}\n");

    out.text("Mesh{\n");
    const size_t pointCount = model.points.count();
    char* p = out.reserve(32);
    p = putInteger(p, static_cast<int64_t>(pointCount));
    out.commit(putText(p, ";\n", 2));
    for (size_t i = 0; i < pointCount; ++i) {
        const RokkakuPoint& point = model.points[i];
        p = out.reserve(3 * kFixedTextMax + 8);
        p = formatCoordinate(p, point.x);
        *p++ = ';';
        p = formatCoordinate(p, point.y);
        *p++ = ';';
        p = formatCoordinate(p, point.z);
        p = putText(p, i + 1 < pointCount ? ";,\n" : ";;\n", 3);
        out.commit(p);
    }
    out.text("\n");
}

void writeXRest(const RokkakuModel& model, std::FILE* file, bool toDisk) {
    TextOut out(file, toDisk);
    char* p;
    const size_t faceCount = model.faces.count();
    p = out.reserve(32);
    p = putInteger(p, 2 * static_cast<int64_t>(faceCount));
    out.commit(putText(p, ";\n", 2));
    for (size_t i = 0; i < faceCount; ++i) {
        const RokkakuFace& face = model.faces[i];
        int32_t slots[4];
        faceVertices(face, model.edges, slots);
        const int n = face.edgeCount == 3 ? 3 : 4;
        // Each point number once, "N;", then both windings from these.
        char numbers[4][kIndexTextSize];
        int lengths[4];
        for (int k = 0; k < n; ++k) lengths[k] = putIndex(numbers[k], slots[k]);
        const char* separator = i + 1 < faceCount ? ",\n" : ";\n";
        p = out.reserve(2 * (4 + 4 * kIndexTextSize));
        *p++ = static_cast<char>('0' + n);
        *p++ = ';';
        for (int k = 0; k < n; ++k) p = putIndexText(p, numbers[k], lengths[k]);
        p = putText(p, separator, 2);
        *p++ = static_cast<char>('0' + n);
        *p++ = ';';
        for (int k = n - 1; k >= 0; --k) p = putIndexText(p, numbers[k], lengths[k]);
        p = putText(p, separator, 2);
        out.commit(p);
    }
    out.text("\n");

    out.text("MeshMaterialList{\n13;\n");
    p = out.reserve(32);
    p = putInteger(p, 2 * static_cast<int64_t>(faceCount));
    out.commit(putText(p, ";\n", 2));
    for (size_t i = 0; i < faceCount; ++i) {
        char colour[kIndexTextSize];
        const int length = putIndex(colour, model.faces[i].color);
        p = out.reserve(2 * kIndexTextSize + 4);
        p = putIndexText(p, colour, length);
        p[-1] = ',';
        *p++ = '\n';
        p = putIndexText(p, colour, length);
        p[-1] = i + 1 < faceCount ? ',' : ';';
        *p++ = '\n';
        out.commit(p);
    }
    writeMaterials(out, model.palette);
    out.text("}\n}\n");
}
