// Rokkaku modeller files (.rok): the in-memory model and the line-driven reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

struct RokkakuPoint {
    float x, y, z;  // y is stored negated: the file's y axis points the other way
};

struct RokkakuEdge {
    int32_t first, second;  // zero-based point numbers, not checked against the points
};

struct RokkakuFace {
    int32_t edgeCount;  // as read; slots past it hold nothing
    int32_t edges[4];   // zero-based edge numbers in file order
    int32_t color;      // palette index exactly as written
};

struct PaletteColor {
    int32_t red, green, blue;
};

constexpr int kPaletteSize = 13;
extern const PaletteColor defaultPalette[kPaletteSize];

// Storage of the record arrays. Small blocks come from malloc; a block of kMappedFrom
// bytes or more is a mapping of its own, grown with mremap (no copy) and backed by huge
// pages where the system allows, so that a model of millions of records costs a few page
// faults instead of one every 4 KB. Null when memory ran out.
namespace record_storage {
inline constexpr size_t kMappedFrom = size_t{4} << 20;
void* resize(void* block, size_t oldBytes, size_t newBytes);
void release(void* block, size_t bytes);
}  // namespace record_storage

// A growable array of records: room for 1000 at first, doubled whenever it fills up.
// Allocation failure is reported to the caller instead of thrown.
template <class T>
class RecordArray {
public:
    static constexpr size_t kInitialCapacity = 1000;

    RecordArray() = default;
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;
    ~RecordArray() { release(); }

    bool allocate(size_t capacity = kInitialCapacity) {
        release();
        data_ = static_cast<T*>(record_storage::resize(nullptr, 0, capacity * sizeof(T)));
        if (!data_) return false;
        capacity_ = capacity;
        return true;
    }
    void release() {
        record_storage::release(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        count_ = capacity_ = 0;
    }

    // Stores one record; false when the array could not grow (the record is kept).
    bool append(const T& record) {
        if (count_ == capacity_ && !grow()) return false;
        data_[count_++] = record;
        return count_ < capacity_ || grow();
    }

    size_t count() const { return count_; }
    size_t capacity() const { return capacity_; }
    const T& operator[](size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + count_; }

private:
    bool grow() {
        size_t capacity = capacity_ ? capacity_ * 2 : kInitialCapacity;
        if (capacity > SIZE_MAX / 2 / sizeof(T)) return false;
        T* data = static_cast<T*>(record_storage::resize(data_, capacity_ * sizeof(T), capacity * sizeof(T)));
        if (!data) return false;
        data_ = data;
        capacity_ = capacity;
        return true;
    }

    T* data_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

struct RokkakuModel {
    RokkakuModel();  // default palette, no records, no storage yet

    // Makes room for at least 1000 records in each array; false when memory ran out. For a
    // source of kLargeSource bytes or more, whose arrays would outgrow malloc anyway, each
    // array starts as a mapping of its own (only what is used is ever touched), so that none
    // is copied out of malloc.
    bool allocate(uint64_t sourceBytes = 0);
    static constexpr uint64_t kLargeSource = 8 * record_storage::kMappedFrom;

    RecordArray<RokkakuPoint> points;
    RecordArray<RokkakuEdge> edges;
    RecordArray<RokkakuFace> faces;
    PaletteColor palette[kPaletteSize];
    int32_t paletteBlocks = 0;
};

enum class ReaderState {
    SeekHeader,
    SeekPoints,
    Points,
    Edges,
    Faces,
    Palette,
    SkipBackground,
    SkipLights,
    SkipView,
    SkipLine2,
    Done,
};

// The byte source of the reader: a file read through a large buffer, or bytes in memory.
// Carriage returns and line feeds pass through untranslated.
class RokkakuStream {
public:
    RokkakuStream(const void* data, size_t size);
    // The file is read a buffer ahead by a thread of its own: it must stay open until the
    // stream is gone or stopReading() has returned.
    explicit RokkakuStream(std::FILE* file);
    ~RokkakuStream();
    RokkakuStream(const RokkakuStream&) = delete;
    RokkakuStream& operator=(const RokkakuStream&) = delete;

    // Waits for the reading ahead; nothing more is read from the file after it.
    void stopReading();

    // True when reading the file failed before its end (the end seen was not the true one).
    bool failed() const { return failed_; }

    // The next line by the rules of readRokkakuLine, without its terminator: stored into
    // buffer (at most limit bytes), or only passed over when buffer is null. Returns its
    // length, or -1 at the end of input.
    long nextLine(char* buffer, size_t limit);
    // The same line where it lies (in the stream's own buffer, valid until the next call),
    // without its carriage return; copied into buffer, as nextLine would, only where it does
    // not lie whole in the stream's buffer. False at the end of input.
    bool nextLineText(char* buffer, size_t limit, const char*& text, size_t& length);

    // The reader's usual lines, taken where they lie whole in the buffer: each does what
    // nextLine(…, kRokkakuLineSize - 1) and the parse of the line's text would. Where the line
    // may not lie whole in the buffer or opens with a zero byte they return false and take
    // nothing, and the caller goes the general way.
    bool skipLineInBuffer();
    bool integerLineInBuffer(int32_t& value);  // parseRokkakuInteger of the line
    bool realLineInBuffer(double& value);      // parseRokkakuReal of the line
    // integerLineInBuffer, only for a line of white space, sign and digits alone.
    bool numberLineInBuffer(int32_t& value);

private:
    bool refill();  // false at the end of input
    void readAhead();

    static constexpr size_t kBufferSize = 1 << 20;
    const unsigned char* pos_ = nullptr;
    const unsigned char* end_ = nullptr;
    std::FILE* file_ = nullptr;
    std::unique_ptr<unsigned char[]> buffer_;
    std::unique_ptr<unsigned char[]> ahead_;  // filled by reading_ while buffer_ is taken
    size_t aheadSize_ = 0;
    std::thread reading_;
    bool failed_ = false;
};

// Size of the line buffer the reader uses: a line holds at most 254 bytes.
constexpr int kRokkakuLineSize = 255;

// Reads one line into buffer (at most size - 1 bytes and a terminating zero). A carriage
// return ends the line and is stored as a line feed; a line feed is an ordinary byte; a
// zero byte at the start of a line discards it and the next 127 bytes. Returns buffer,
// or null when no byte at all was left for this line.
char* readRokkakuLine(char* buffer, int size, RokkakuStream& stream);

// Decimal integer after leading white space; 0 without digits; clamped to 32 bits. The
// text ends at its first zero byte, or at end.
int32_t parseRokkakuInteger(const char* text);
int32_t parseRokkakuInteger(const char* text, const char* end);
// Decimal real after leading white space (no hex, no inf/nan words); 0 without a number.
double parseRokkakuReal(const char* text);
double parseRokkakuReal(const char* text, const char* end);

// Runs the reader over the whole stream. model must be freshly prepared (default palette,
// no records, paletteBlocks 0, storage allocated). Writes the progress trace to standard
// output. Returns false after the failure has been reported. pointsRead, when given, is
// called once the points are complete (the edges begin), if they ever are; the points are
// not touched after that.
bool readRokkakuModel(RokkakuStream& stream, RokkakuModel& model, const std::function<void()>& pointsRead = {});
