#include "conversion/rokkaku_reader.h"

#include <sys/mman.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "report/report_error.h"

const PaletteColor defaultPalette[kPaletteSize] = {
    {233, 233, 233}, {144, 255, 255}, {144, 144, 255}, {255, 174, 174}, {144, 255, 144},
    {255, 255, 91},  {255, 232, 217}, {198, 93, 53},   {255, 255, 255}, {0, 0, 0},
    {231, 187, 150}, {255, 18, 18},   {248, 248, 248},
};

namespace record_storage {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t mappedSize(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

void* map(size_t bytes) {
    void* block = mmap(nullptr, mappedSize(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    madvise(block, mappedSize(bytes), MADV_HUGEPAGE);
    return block;
}

}  // namespace

void* resize(void* block, size_t oldBytes, size_t newBytes) {
    if (newBytes < kMappedFrom) return std::realloc(block, newBytes);
    if (oldBytes >= kMappedFrom) {
        void* moved = mremap(block, mappedSize(oldBytes), mappedSize(newBytes), MREMAP_MAYMOVE);
        return moved == MAP_FAILED ? nullptr : moved;
    }
    void* mapped = map(newBytes);
    if (mapped && block) {
        std::memcpy(mapped, block, oldBytes);
        std::free(block);
    }
    return mapped;
}

void release(void* block, size_t bytes) {
    if (!block) return;
    if (bytes >= kMappedFrom)
        munmap(block, mappedSize(bytes));
    else
        std::free(block);
}

}  // namespace record_storage

RokkakuModel::RokkakuModel() { std::copy(std::begin(defaultPalette), std::end(defaultPalette), palette); }

bool RokkakuModel::allocate(uint64_t sourceBytes) {
    if (sourceBytes < kLargeSource)
        return points.allocate() && edges.allocate() && faces.allocate();
    auto mapped = [](size_t recordSize) { return record_storage::kMappedFrom / recordSize + 1; };
    return points.allocate(mapped(sizeof(RokkakuPoint))) &&
           edges.allocate(mapped(sizeof(RokkakuEdge))) &&
           faces.allocate(mapped(sizeof(RokkakuFace)));
}

RokkakuStream::RokkakuStream(const void* data, size_t size)
    : pos_(static_cast<const unsigned char*>(data)), end_(pos_ + size) {}

RokkakuStream::RokkakuStream(std::FILE* file)
    : file_(file), buffer_(new unsigned char[kBufferSize]), ahead_(new unsigned char[kBufferSize]) {
    pos_ = end_ = buffer_.get();
    readAhead();
}

RokkakuStream::~RokkakuStream() { stopReading(); }

void RokkakuStream::stopReading() {
    if (reading_.joinable()) reading_.join();
    file_ = nullptr;
}

// Starts reading the next buffer's worth into ahead_; where no thread can be had, reads it
// here.
void RokkakuStream::readAhead() {
    auto read = [this] { aheadSize_ = std::fread(ahead_.get(), 1, kBufferSize, file_); };
    try {
        reading_ = std::thread(read);
    } catch (const std::system_error&) {
        read();
    }
}

bool RokkakuStream::refill() {
    if (!file_ || failed_) return false;
    if (reading_.joinable()) reading_.join();
    const size_t n = aheadSize_;
    if (n == 0) {
        failed_ = std::ferror(file_) != 0;
        file_ = nullptr;
        return false;
    }
    std::swap(buffer_, ahead_);
    pos_ = buffer_.get();
    end_ = pos_ + n;
    readAhead();
    return true;
}

// One line by the reader's rules: stored into buffer when it is not null (at most limit
// bytes, no terminator), or only passed over. Returns the number of bytes of the line, or
// -1 at the end of input.
long RokkakuStream::nextLine(char* buffer, size_t limit) {
    size_t stored = 0;
    for (;;) {
        if (stored == limit) return static_cast<long>(stored);
        if (pos_ == end_ && !refill()) return stored == 0 ? -1 : static_cast<long>(stored);
        if (stored == 0 && *pos_ == 0) {
            // A zero byte opening a line throws away a block of 128 bytes.
            size_t skip = 128;
            while (skip > 0) {
                if (pos_ == end_ && !refill()) return -1;
                size_t n = std::min(skip, static_cast<size_t>(end_ - pos_));
                pos_ += n;
                skip -= n;
            }
            continue;
        }
        const unsigned char* p = pos_;
        const unsigned char* stop = p + std::min(static_cast<size_t>(end_ - p), limit - stored);
        if (buffer) {
            char* out = buffer + stored;
            while (p < stop) {
                const unsigned char c = *p++;
                if (c == '\r') {
                    *out++ = '\n';
                    pos_ = p;
                    return static_cast<long>(out - buffer);
                }
                *out++ = static_cast<char>(c);
            }
        } else {
            if (const void* cr = std::memchr(p, '\r', stop - p)) {
                pos_ = static_cast<const unsigned char*>(cr) + 1;
                return static_cast<long>(stored + (pos_ - p));
            }
            p = stop;
        }
        stored += static_cast<size_t>(p - pos_);
        pos_ = p;
    }
}

bool RokkakuStream::nextLineText(char* buffer, size_t limit, const char*& text, size_t& length) {
    if (pos_ < end_ && *pos_ != 0) {
        const size_t available = static_cast<size_t>(end_ - pos_);
        const size_t n = std::min(available, limit);
        if (const void* cr = std::memchr(pos_, '\r', n)) {
            text = reinterpret_cast<const char*>(pos_);
            length = static_cast<size_t>(static_cast<const unsigned char*>(cr) - pos_);
            pos_ = static_cast<const unsigned char*>(cr) + 1;
            return true;
        }
        if (available >= limit) {
            // Longer than a line may be: its first limit bytes are one.
            text = reinterpret_cast<const char*>(pos_);
            length = limit;
            pos_ += limit;
            return true;
        }
    }
    const long n = nextLine(buffer, limit);
    if (n < 0) return false;
    text = buffer;
    length = static_cast<size_t>(n);
    return true;
}

char* readRokkakuLine(char* buffer, int size, RokkakuStream& s) {
    if (!buffer || size < 1) return nullptr;
    const long length = s.nextLine(buffer, static_cast<size_t>(size) - 1);
    if (length < 0) return nullptr;
    buffer[length] = '\0';
    return buffer;
}

static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

static inline bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

int32_t parseRokkakuInteger(const char* p) { return parseRokkakuInteger(p, p + std::strlen(p)); }

int32_t parseRokkakuInteger(const char* p, const char* end) {
    while (p < end && isSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    int64_t value = 0;
    for (; p < end && isDigit(*p); ++p) {
        if (value <= (int64_t{1} << 40)) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

double parseRokkakuReal(const char* p) { return parseRokkakuReal(p, p + std::strlen(p)); }

double parseRokkakuReal(const char* p, const char* stop) {
    while (p < stop && isSpace(*p)) ++p;
    bool negative = false;
    if (p < stop && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* start = p;
    // Where the first significant digit sits relative to the point: decides between
    // overflow and underflow when the value is out of the double range.
    int64_t magnitude = 0;
    bool seenNonZero = false;
    int digits = 0, decimals = 0;
    // The digits as one integer, while it stays exact.
    uint64_t mantissa = 0;
    for (; p < stop && isDigit(*p); ++p, ++digits) {
        if (seenNonZero || *p != '0') {
            seenNonZero = true;
            ++magnitude;
        }
        if (digits < 19) mantissa = mantissa * 10 + uint64_t(*p - '0');
    }
    if (p < stop && *p == '.') {
        ++p;
        for (; p < stop && isDigit(*p); ++p, ++digits, ++decimals) {
            if (!seenNonZero) {
                if (*p != '0') seenNonZero = true;
                else --magnitude;
            }
            if (digits < 19) mantissa = mantissa * 10 + uint64_t(*p - '0');
        }
    }
    if (digits == 0) return 0.0;
    const char* end = p;
    bool exponentWritten = false;
    if (p < stop && (*p == 'e' || *p == 'E')) {
        const char* q = p + 1;
        bool negativeExponent = false;
        if (q < stop && (*q == '+' || *q == '-')) negativeExponent = *q++ == '-';
        if (q < stop && isDigit(*q)) {
            int64_t exponent = 0;
            for (; q < stop && isDigit(*q); ++q) {
                if (exponent < 1000000000) exponent = exponent * 10 + (*q - '0');
            }
            magnitude += negativeExponent ? -exponent : exponent;
            end = q;
            exponentWritten = true;
        }
    }
    double value = 0.0;
    // The usual coordinate: a whole number of at most 2^53 over a power of ten that doubles
    // hold exactly, so one division rounds as the full conversion would.
    if (!exponentWritten && digits < 19 && mantissa <= (uint64_t{1} << 53) && decimals <= 22) {
        value = static_cast<double>(mantissa) / kPowersOfTen[decimals];
        return negative ? -value : value;
    }
    auto result = std::from_chars(start, end, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

namespace {

constexpr size_t kLineLimit = kRokkakuLineSize - 1;

// The end of the line text starting at p (its carriage return, or where the line is cut),
// for a line that lies whole in the buffer: p + kLineLimit is within it.
inline const unsigned char* lineEnd(const unsigned char* p, const unsigned char* limit) {
    while (p < limit && *p != '\r') ++p;
    return p;
}

// Eight bytes of ASCII digits less '0' each, first digit lowest, as their decimal value.
inline uint64_t eightDigits(uint64_t digits) {
    digits = digits * 10 + (digits >> 8);
    return (((digits & 0x000000FF000000FF) * (100 + (uint64_t{1000000} << 32))) +
            (((digits >> 16) & 0x000000FF000000FF) * (1 + (uint64_t{10000} << 32)))) >> 32;
}

// How many of the 8 bytes at p are leading decimal digits, and those bytes less '0'.
inline int leadingDigits(const unsigned char* p, uint64_t& less) {
    uint64_t bytes;
    std::memcpy(&bytes, p, 8);
    less = bytes - 0x3030303030303030;
    // A byte below '0' borrows into its high bit, one above '9' carries into it; either can
    // disturb only the bytes after it.
    const uint64_t other = (less | (bytes + 0x4646464646464646)) & 0x8080808080808080;
    return other ? __builtin_ctzll(other) >> 3 : 8;
}

// The digits at p appended to v (v * 10^n + their value) and counted; returns their end.
inline const unsigned char* appendDigits(const unsigned char* p, const unsigned char* limit, uint64_t& v, int& count) {
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (limit - p >= 8) {
        uint64_t less;
        const int n = leadingDigits(p, less);
        if (n > 0) v = v * kScale[n] + eightDigits(less << (64 - 8 * n));
        count += n;
        p += n;
        if (n < 8) return p;
    }
    for (; p < limit && isDigit(static_cast<char>(*p)); ++p, ++count) v = v * 10 + (*p - '0');
    return p;
}

// The digits at p as parseRokkakuInteger takes them (it stops growing past 2^40).
inline const unsigned char* integerDigits(const unsigned char* p, const unsigned char* limit, int64_t& v) {
    v = 0;
    if (limit - p >= 8) {
        uint64_t less;
        const int n = leadingDigits(p, less);
        if (n < 8) {
            if (n > 0) v = static_cast<int64_t>(eightDigits(less << (64 - 8 * n)));
            return p + n;
        }
    }
    for (; p < limit && isDigit(static_cast<char>(*p)); ++p) {
        if (v <= (int64_t{1} << 40)) v = v * 10 + (*p - '0');
    }
    return p;
}

// As parseRokkakuInteger over a line's text, which ends at the carriage return: blanks, a
// sign, digits. Returns where the digits end.
const unsigned char* signedInteger(const unsigned char* p, const unsigned char* limit, int64_t& v) {
    while (p < limit && *p != '\r' && isSpace(static_cast<char>(*p))) ++p;
    bool negative = false;
    if (p < limit && (*p == '+' || *p == '-')) negative = *p++ == '-';
    p = integerDigits(p, limit, v);
    if (negative) v = -v;
    return p;
}

int32_t clampToInt32(int64_t v) {
    return static_cast<int32_t>(
        std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

bool RokkakuStream::skipLineInBuffer() {
    if (static_cast<size_t>(end_ - pos_) < kLineLimit || *pos_ == 0) return false;
    const unsigned char* limit = pos_ + kLineLimit;
    const unsigned char* e = lineEnd(pos_, limit);
    pos_ = e < limit ? e + 1 : limit;
    return true;
}

bool RokkakuStream::integerLineInBuffer(int32_t& value) {
    if (static_cast<size_t>(end_ - pos_) < kLineLimit || *pos_ == 0) return false;
    const unsigned char* limit = pos_ + kLineLimit;
    int64_t v;
    const unsigned char* p = signedInteger(pos_, limit, v);
    value = clampToInt32(v);
    const unsigned char* e = lineEnd(p, limit);
    pos_ = e < limit ? e + 1 : limit;
    return true;
}

bool RokkakuStream::numberLineInBuffer(int32_t& value) {
    if (static_cast<size_t>(end_ - pos_) < kLineLimit || *pos_ == 0) return false;
    const unsigned char* limit = pos_ + kLineLimit;
    int64_t v;
    const unsigned char* p = signedInteger(pos_, limit, v);
    if (p == limit || *p != '\r') return false;
    value = clampToInt32(v);
    pos_ = p + 1;
    return true;
}

bool RokkakuStream::realLineInBuffer(double& value) {
    if (static_cast<size_t>(end_ - pos_) < kLineLimit || *pos_ == 0) return false;
    const unsigned char* limit = pos_ + kLineLimit;
    const unsigned char* p = pos_;
    // The usual coordinate as parseRokkakuReal reads it: plain digits with a point, no
    // exponent, at most 18 digits; anything else goes through parseRokkakuReal itself.
    while (p < limit && *p != '\r' && isSpace(static_cast<char>(*p))) ++p;
    bool negative = false;
    if (p < limit && (*p == '+' || *p == '-')) negative = *p++ == '-';
    uint64_t mantissa = 0;
    int digits = 0, decimals = 0;
    p = appendDigits(p, limit, mantissa, digits);
    if (p < limit && *p == '.') {
        p = appendDigits(p + 1, limit, mantissa, decimals);
        digits += decimals;
    }
    const unsigned char* e = lineEnd(p, limit);
    if (digits == 0) {
        value = 0.0;
    } else if (digits < 19 && mantissa <= (uint64_t{1} << 53) && !(p < limit && (*p == 'e' || *p == 'E'))) {
        value = static_cast<double>(mantissa) / kPowersOfTen[decimals];
        if (negative) value = -value;
    } else {
        value = parseRokkakuReal(reinterpret_cast<const char*>(pos_), reinterpret_cast<const char*>(e));
    }
    pos_ = e < limit ? e + 1 : limit;
    return true;
}

namespace {

class Reader {
public:
    Reader(RokkakuStream& stream, RokkakuModel& model, const std::function<void()>& pointsRead)
        : stream_(stream), model_(model), pointsRead_(pointsRead) {}

    bool run();

private:
    // Reads the next line (line_, lineLength_); false at the end of input (the line is then
    // empty).
    bool readLine() {
        if (stream_.nextLineText(copy_, kRokkakuLineSize - 1, line_, lineLength_)) return true;
        line_ = copy_;
        lineLength_ = 0;
        return false;
    }
    int32_t integer() const { return parseRokkakuInteger(line_, line_ + lineLength_); }
    double real() const { return parseRokkakuReal(line_, line_ + lineLength_); }
    // One more line of a record; a line missing at the end of input reads as empty.
    int32_t nextInteger() {
        int32_t value;
        if (stream_.integerLineInBuffer(value)) return value;
        readLine();
        return integer();
    }
    double nextReal() {
        double value;
        if (stream_.realLineInBuffer(value)) return value;
        readLine();
        return real();
    }
    void skipLines(int n) {
        for (int i = 0; i < n; ++i) {
            if (!stream_.skipLineInBuffer()) stream_.nextLine(nullptr, kRokkakuLineSize - 1);
        }
    }
    // The keyword anywhere in the line's text (which ends at its first zero byte).
    bool contains(const char (&keyword)[6]) const {
        if (lineLength_ < 5) return false;
        const char* end = line_ + lineLength_ - 4;
        for (const char* p = line_; p < end; ++p) {
            if (*p == '\0') return false;
            if (*p == keyword[0] && std::memcmp(p + 1, keyword + 1, 4) == 0) return true;
        }
        return false;
    }
    static void trace(const char* text) { std::fputs(text, stdout); }
    static bool outOfMemory() {
        reportError("Not enough memory.");
        return false;
    }

    // Each takes the record's first line as read.
    bool readPoint(int32_t number);
    bool readEdge(int32_t first);
    bool readFace(int32_t edgeCount);
    bool readRecord(int32_t first);
    bool readPaletteCount();
    bool readPaletteBlock();

    RokkakuStream& stream_;
    RokkakuModel& model_;
    const std::function<void()>& pointsRead_;
    ReaderState state_ = ReaderState::SeekHeader;
    const char* line_ = copy_;
    size_t lineLength_ = 0;
    char copy_[kRokkakuLineSize];  // a line that does not lie whole in the stream's buffer
};

// File numbers count from 1; stored numbers from 0.
int32_t fromOneBased(int32_t n) {
    return n == std::numeric_limits<int32_t>::min() ? n : n - 1;
}

// Flattened: the line fast paths are the whole of the work and cost more as calls.
[[gnu::flatten]] bool Reader::readPoint(int32_t first) {
    int64_t number = first;
    int64_t expected = static_cast<int64_t>(model_.points.count()) + 1;
    if (number != expected) {
        reportError("error in POINT at point No.(%d!=%d)\n", static_cast<int>(fromOneBased(static_cast<int32_t>(number))),
                    static_cast<int>(std::min<int64_t>(expected - 1, std::numeric_limits<int>::max())));
        return false;
    }
    skipLines(4);
    RokkakuPoint point;
    point.x = static_cast<float>(nextReal());
    point.y = static_cast<float>(-nextReal());
    point.z = static_cast<float>(nextReal());
    return model_.points.append(point) || outOfMemory();
}

[[gnu::flatten]] bool Reader::readEdge(int32_t first) {
    RokkakuEdge edge;
    edge.first = fromOneBased(first);
    edge.second = fromOneBased(nextInteger());
    skipLines(2);
    return model_.edges.append(edge) || outOfMemory();
}

[[gnu::flatten]] bool Reader::readFace(int32_t edgeCount) {
    RokkakuFace face{};
    face.edgeCount = edgeCount;
    face.color = nextInteger();
    skipLines(1);
    for (int32_t i = 0; i < face.edgeCount; ++i) {
        // Once the input has ended every further edge number reads as 0.
        int32_t number;
        if (i < 4 && stream_.integerLineInBuffer(number)) {
            face.edges[i] = fromOneBased(number);
            continue;
        }
        if (!readLine() && i >= 4) break;
        if (i < 4) face.edges[i] = fromOneBased(integer());
    }
    for (int32_t i = std::max(face.edgeCount, 0); i < 4; ++i) face.edges[i] = -1;
    if (face.edgeCount > 4) {
        size_t number = model_.faces.count() + 1;
        reportError("Face No.%d has %d edges, but a face can have at most 4.\n",
                    static_cast<int>(std::min<size_t>(number, std::numeric_limits<int>::max())),
                    static_cast<int>(face.edgeCount));
        return false;
    }
    return model_.faces.append(face) || outOfMemory();
}

bool Reader::readPaletteCount() {
    skipLines(1);
    int32_t count = nextInteger();
    if (count == 0) {
        // The default palette stays; the palette lines are skipped with the background.
        state_ = ReaderState::SkipBackground;
        return true;
    }
    if (count != kPaletteSize) {
        reportError("num of palette isn't 13.\n");
        return false;
    }
    return true;
}

bool Reader::readPaletteBlock() {
    for (PaletteColor& entry : model_.palette) {
        entry.red = nextInteger();
        entry.green = nextInteger();
        entry.blue = nextInteger();
        skipLines(4);
    }
    if (++model_.paletteBlocks == kPaletteSize) {
        reportError("give up, too much colors.;-(\n");
        return false;
    }
    return true;
}

bool Reader::readRecord(int32_t first) {
    switch (state_) {
    case ReaderState::Points: return readPoint(first);
    case ReaderState::Edges: return readEdge(first);
    default: return readFace(first);
    }
}

[[gnu::flatten]] bool Reader::run() {
    for (;;) {
        if (state_ == ReaderState::Points || state_ == ReaderState::Edges || state_ == ReaderState::Faces) {
            // A record's first line that is only a number holds no keyword.
            int32_t first;
            if (stream_.numberLineInBuffer(first)) {
                if (!readRecord(first)) return false;
                continue;
            }
        }
        if (state_ == ReaderState::Done || !readLine()) break;
        auto matches = [&](const char(&keyword)[6]) { return contains(keyword); };
        auto advance = [&](ReaderState next, const char* text) {
            state_ = next;
            trace(text);
        };
        bool ok = true;
        switch (state_) {
        case ReaderState::SeekHeader:
            if (matches("ROKU4")) advance(ReaderState::SeekPoints, "START\n");
            break;
        case ReaderState::SeekPoints:
            if (matches("POINT")) advance(ReaderState::Points, "POINT\n");
            break;
        case ReaderState::Points:
            if (matches("LINE0")) {
                advance(ReaderState::Edges, "LINE0\n");
                if (pointsRead_) pointsRead_();
            } else {
                ok = readPoint(integer());
            }
            break;
        case ReaderState::Edges:
            if (matches("FACE0")) advance(ReaderState::Faces, "FACE0\n");
            else ok = readEdge(integer());
            break;
        case ReaderState::Faces:
            if (matches("END00")) {
                advance(ReaderState::Palette, "PALC0\n");
                ok = readPaletteCount();
            } else {
                ok = readFace(integer());
            }
            break;
        case ReaderState::Palette:
            if (matches("ENDP0")) advance(ReaderState::SkipBackground, "BAKC0\n");
            else ok = readPaletteBlock();
            break;
        case ReaderState::SkipBackground:
            if (matches("ENDB0")) advance(ReaderState::SkipLights, "LIT00\n");
            break;
        case ReaderState::SkipLights:
            if (matches("ENDL0")) advance(ReaderState::SkipView, "VIEW0\n");
            break;
        case ReaderState::SkipView:
            if (matches("ENDV0")) advance(ReaderState::SkipLine2, "LINE2\n");
            break;
        case ReaderState::SkipLine2:
            if (matches("ENDL2")) advance(ReaderState::Done, "END\n");
            break;
        case ReaderState::Done:
            break;
        }
        if (!ok) return false;
    }
    // Once every section is closed the rest of the file is ignored; nothing can fail there.
    return true;
}

}  // namespace

bool readRokkakuModel(RokkakuStream& stream, RokkakuModel& model, const std::function<void()>& pointsRead) {
    Reader reader(stream, model, pointsRead);
    const bool read = reader.run();
    stream.stopReading();
    return read;
}
