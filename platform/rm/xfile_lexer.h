// Token readers for the two encodings of `.x` data (text and binary). Both expose the
// same small interface so that one parser, instantiated for each, interprets the objects:
//   readInt / readFloat / readString  next data value, separators skipped
//   nextChild                         next nested object, reference or the closing brace
//   skipBody                          skip the rest of an object (after its '{')
//   guid                              the GUID of the object or reference nextChild read
//   mark / reset                      come back to a place (to skip an object after all)
// Neither ever reads outside [begin, end); every count in the data is checked against
// the bytes that are left before it is used.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace xfile::detail {

using Guid = std::array<uint8_t, 16>;

// "3D82AB43-62DA-11cf-AB39-0020AF71E433" (blanks around it allowed) in the byte order of
// the binary form: the first three fields little-endian, the last eight bytes as written.
inline std::optional<Guid> parseGuidText(const char* s, const char* e) {
    while (s != e && (*s == ' ' || *s == '\t')) ++s;
    while (e != s && (e[-1] == ' ' || e[-1] == '\t')) --e;
    static constexpr int kGroups[] = {8, 4, 4, 4, 12};
    if (e - s != 36) return std::nullopt;
    uint8_t digits[32];
    int n = 0;
    for (int g = 0; g < 5; ++g) {
        if (g > 0 && *s++ != '-') return std::nullopt;
        for (int k = 0; k < kGroups[g]; ++k, ++s) {
            char c = *s;
            int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (v < 0) return std::nullopt;
            digits[n++] = static_cast<uint8_t>(v);
        }
    }
    auto byte = [&](int i) { return static_cast<uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]); };
    Guid g;
    for (int i = 0; i < 4; ++i) g[size_t(i)] = byte(3 - i);
    g[4] = byte(5), g[5] = byte(4), g[6] = byte(7), g[7] = byte(6);
    for (int i = 8; i < 16; ++i) g[size_t(i)] = byte(i);
    return g;
}

enum class Child { Object, Reference, End, Eof, Error };

// What each byte is to the text form: white space, a separator between data values, or
// part of a word (names, numbers).
enum : uint8_t { kSpaceByte = 1, kSeparatorByte = 2, kWordByte = 4 };
inline constexpr std::array<uint8_t, 256> kByteKind = [] {
    std::array<uint8_t, 256> kind{};
    for (int c = 33; c < 256; ++c) kind[size_t(c)] = c == 127 ? 0 : kWordByte;
    for (unsigned char c : std::string_view("{};,\"<>#[]()")) kind[c] = 0;
    for (unsigned char c : std::string_view(" \n\r\t\f\v")) kind[c] = kSpaceByte;
    kind[0] = kSpaceByte;
    kind[size_t(';')] = kind[size_t(',')] = kSeparatorByte;
    return kind;
}();

inline bool equalsNoCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// Converts a number read as floating point to an integer when it is one.
inline bool integralValue(double d, int64_t& v) {
    if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) return false;
    v = static_cast<int64_t>(d);
    return true;
}

class TextLexer {
public:
    TextLexer(const uint8_t* begin, const uint8_t* end)
        : begin_(reinterpret_cast<const char*>(begin)), p_(begin_), end_(reinterpret_cast<const char*>(end)) {}

    size_t offset() const { return static_cast<size_t>(p_ - begin_); }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const std::string& error() const { return error_; }
    // How far reading got: where it failed, once it has.
    size_t readTo() const { return error_.empty() ? offset() : failedAt_; }
    const std::optional<Guid>& guid() const { return guid_; }

    struct Mark {
        const char* p;
    };
    Mark mark() const { return {p_}; }
    void reset(Mark m) {
        p_ = m.p;
        error_.clear();
    }

    bool readInt(int64_t& v) {
        skipSeparators();
        if (p_ == end_) return fail("unexpected end of data, a number was expected");
        if (fastInt(v)) return true;
        const char* s = p_;
        if (*s == '+') ++s;
        auto r = std::from_chars(s, end_, v);
        if (r.ec == std::errc() && (r.ptr == end_ || !isNumberTail(*r.ptr))) {
            if (r.ptr != end_ && isWordChar(*r.ptr)) return fail("malformed number");
            p_ = r.ptr;
            return true;
        }
        // "3.0" or "1e2" where an integer belongs; accept integral readings.
        double d = 0;
        auto rd = std::from_chars(s, end_, d);
        if (rd.ec != std::errc() || (rd.ptr != end_ && isWordChar(*rd.ptr)) || !integralValue(d, v))
            return fail("a whole number was expected");
        p_ = rd.ptr;
        return true;
    }

    bool readFloat(float& v) {
        skipSeparators();
        if (p_ == end_) return fail("unexpected end of data, a number was expected");
        if (fastFloat(v)) return true;
        const char* s = p_;
        if (*s == '+') ++s;
        auto r = std::from_chars(s, end_, v);
        if (r.ec == std::errc::result_out_of_range) {
            double d = 0;
            r = std::from_chars(s, end_, d);
            v = static_cast<float>(d);
        }
        if (r.ec != std::errc() || (r.ptr != end_ && isWordChar(*r.ptr)))
            return fail("a number was expected");
        p_ = r.ptr;
        return true;
    }

    bool readString(std::string& out) {
        skipSeparators();
        if (p_ == end_ || *p_ != '"') return fail("a quoted string was expected");
        const char* s = p_ + 1;
        const void* q = std::memchr(s, '"', static_cast<size_t>(end_ - s));
        if (!q) return fail("unterminated string");
        const char* e = static_cast<const char*>(q);
        out.assign(s, e);
        p_ = e + 1;
        return true;
    }

    // Reads up to the next nested object (its header and '{' consumed), reference
    // (consumed whole) or closing brace (consumed). Stray data values and separators
    // between children are skipped; template declarations are skipped wherever they are.
    Child nextChild(std::string& type, std::string& name, bool topLevel) {
        type.clear();
        name.clear();
        guid_.reset();
        for (;;) {
            skipSpace();
            if (p_ == end_) {
                if (topLevel) return Child::Eof;
                fail("unexpected end of data inside an object");
                return Child::Error;
            }
            char c = *p_;
            if (c == '}') {
                if (topLevel) {
                    fail("unmatched '}'");
                    return Child::Error;
                }
                ++p_;
                return Child::End;
            }
            if (c == ';' || c == ',') {
                ++p_;
                continue;
            }
            if (c == '"') {
                std::string ignored;
                if (!readString(ignored)) return Child::Error;
                continue;
            }
            if (c == '<') {
                if (!skipGuid()) return Child::Error;
                continue;
            }
            if (c == '{') {
                ++p_;
                skipSpace();
                if (p_ != end_ && isWordChar(*p_)) readWord(name);
                skipSpace();
                if (p_ != end_ && *p_ == '<' && !readGuid()) return Child::Error;
                skipSpace();
                if (p_ == end_ || *p_ != '}') {
                    fail("malformed reference, '}' expected");
                    return Child::Error;
                }
                ++p_;
                return Child::Reference;
            }
            if (!isWordChar(c)) {
                fail(std::string("unexpected character '") + printable(c) + "'");
                return Child::Error;
            }
            readWord(type);
            if (looksNumeric(type)) {  // a stray value between children
                type.clear();
                continue;
            }
            if (equalsNoCase(type, "template")) {
                if (!skipTemplate()) return Child::Error;
                type.clear();
                continue;
            }
            skipSpace();
            if (p_ != end_ && isWordChar(*p_)) {
                readWord(name);
                skipSpace();
            }
            if (p_ == end_ || *p_ != '{') {
                fail("'{' expected after '" + type + "'");
                return Child::Error;
            }
            ++p_;
            skipSpace();
            if (p_ != end_ && *p_ == '<' && !readGuid()) return Child::Error;
            return Child::Object;
        }
    }

    // Skips to just after the '}' that closes the current object.
    bool skipBody() {
        size_t depth = 1;
        while (p_ != end_) {
            char c = *p_++;
            switch (c) {
            case '{': ++depth; break;
            case '}':
                if (--depth == 0) return true;
                break;
            case '"': {
                const void* q = std::memchr(p_, '"', static_cast<size_t>(end_ - p_));
                if (!q) return fail("unterminated string");
                p_ = static_cast<const char*>(q) + 1;
                break;
            }
            case '#': skipLine(); break;
            case '/':
                if (p_ != end_ && *p_ == '/') skipLine();
                break;
            default: break;
            }
        }
        return fail("unexpected end of data inside an object");
    }

    bool readFloats(float* v, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (!readFloat(v[i])) return false;
        return true;
    }

    // Indices: values outside 0 .. 2^32 - 2 (such as -1) come back as UINT32_MAX.
    bool readIndices(uint32_t* v, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            int64_t x;
            if (!readInt(x)) return false;
            v[i] = (x < 0 || x >= int64_t(UINT32_MAX)) ? UINT32_MAX : static_cast<uint32_t>(x);
        }
        return true;
    }

private:
    bool fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what + " at byte " + std::to_string(offset());
            failedAt_ = offset();
        }
        p_ = end_;  // nothing more is read once an error was found
        return false;
    }

    // Plain decimal integers, the common case; anything else goes the general way.
    bool fastInt(int64_t& v) {
        const char* s = p_;
        bool negative = s != end_ && *s == '-';
        if (negative) ++s;
        const char* digits = s;
        uint64_t m = 0;
        while (s != end_ && s - digits < 18 && static_cast<unsigned>(*s - '0') < 10) m = m * 10 + unsigned(*s++ - '0');
        if (s == digits || (s != end_ && (isWordChar(*s) || *s == '.'))) return false;
        v = negative ? -int64_t(m) : int64_t(m);
        p_ = s;
        return true;
    }

    // Plain decimals ("-12.345") with up to 19 significant digits, converted exactly:
    // the quotient of two exactly represented doubles is correctly rounded, and rounding
    // that again to float is exact unless it lands on a float halfway point (checked).
    bool fastFloat(float& v) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const char* s = p_;
        bool negative = s != end_ && *s == '-';
        if (negative) ++s;
        uint64_t m = 0;
        int digits = 0, fraction = 0;
        while (s != end_ && static_cast<unsigned>(*s - '0') < 10) {
            if (++digits > 19) return false;
            m = m * 10 + unsigned(*s++ - '0');
        }
        if (s != end_ && *s == '.') {
            ++s;
            while (s != end_ && static_cast<unsigned>(*s - '0') < 10) {
                if (++digits > 19) return false;
                m = m * 10 + unsigned(*s++ - '0');
                ++fraction;
            }
        }
        if (digits == 0 || fraction > 22 || m > (uint64_t(1) << 53)) return false;
        if (s != end_ && isWordChar(*s)) return false;  // exponent, or not a number at all
        double d = double(m) / kPow10[fraction];
        if (d != 0) {
            if (d < 1.1754943508222875e-38 || d > 3.4028234663852886e38) return false;
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            if ((bits & 0x1FFFFFFF) == 0x10000000) return false;
        }
        v = static_cast<float>(negative ? -d : d);
        p_ = s;
        return true;
    }
    static char printable(char c) { return (c >= 32 && c < 127) ? c : '?'; }

    static bool isSpace(char c) { return kByteKind[static_cast<unsigned char>(c)] & kSpaceByte; }
    static bool isWordChar(char c) { return kByteKind[static_cast<unsigned char>(c)] & kWordByte; }
    // After a number, a letter or digit means the token was a word, not a number.
    static bool isNumberTail(char c) { return c == '.' || c == 'e' || c == 'E'; }

    static bool looksNumeric(const std::string& w) {
        if (w.empty()) return false;
        char c = w[0];
        if (!((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.')) return false;
        double d = 0;
        const char* s = w.data() + (c == '+' ? 1 : 0);
        auto r = std::from_chars(s, w.data() + w.size(), d);
        return r.ec == std::errc() && r.ptr == w.data() + w.size();
    }

    void skipLine() {
        const void* q = std::memchr(p_, '\n', static_cast<size_t>(end_ - p_));
        p_ = q ? static_cast<const char*>(q) + 1 : end_;
    }
    void skipSpace() {
        while (p_ != end_) {
            char c = *p_;
            if (isSpace(c)) {
                ++p_;
            } else if (c == '#') {
                skipLine();
            } else if (c == '/' && p_ + 1 != end_ && p_[1] == '/') {
                skipLine();
            } else {
                break;
            }
        }
    }
    void skipSeparators() {
        while (p_ != end_) {
            const char c = *p_;
            if (kByteKind[static_cast<unsigned char>(c)] & (kSpaceByte | kSeparatorByte)) {
                ++p_;
            } else if (c == '#' || (c == '/' && p_ + 1 != end_ && p_[1] == '/')) {
                skipLine();
            } else {
                break;
            }
        }
    }
    void readWord(std::string& w) {
        const char* s = p_;
        while (p_ != end_ && isWordChar(*p_)) {
            if (*p_ == '/' && p_ + 1 != end_ && p_[1] == '/') break;
            ++p_;
        }
        w.assign(s, p_);
    }
    bool skipGuid() {
        const void* q = std::memchr(p_, '>', static_cast<size_t>(end_ - p_));
        if (!q) return fail("unterminated GUID");
        p_ = static_cast<const char*>(q) + 1;
        return true;
    }
    // A GUID that does not parse is skipped as before, and the object has none.
    bool readGuid() {
        const char* start = p_ + 1;
        if (!skipGuid()) return false;
        guid_ = parseGuidText(start, p_ - 1);
        return true;
    }
    bool skipTemplate() {
        skipSpace();
        std::string ignored;
        if (p_ != end_ && isWordChar(*p_)) readWord(ignored);
        skipSpace();
        if (p_ == end_ || *p_ != '{') return fail("'{' expected in a template declaration");
        ++p_;
        return skipBody();
    }

    const char* begin_;
    const char* p_;
    const char* end_;
    std::string error_;
    size_t failedAt_ = 0;
    std::optional<Guid> guid_;
};

// Binary tokens are little-endian 16-bit words, some followed by a record.
class BinaryLexer {
public:
    enum Token : uint16_t {
        Name = 1, String = 2, Integer = 3, Guid = 5, IntegerList = 6, FloatList = 7,
        OBrace = 10, CBrace = 11, OParen = 12, CParen = 13, OBracket = 14, CBracket = 15,
        OAngle = 16, CAngle = 17, Dot = 18, Comma = 19, Semicolon = 20, Template = 31,
        FirstKeyword = 40, LastKeyword = 53,
    };

    BinaryLexer(const uint8_t* begin, const uint8_t* end, int floatSize)
        : begin_(begin), p_(begin), end_(end), floatBytes_(floatSize == 64 ? 8u : 4u) {}

    size_t offset() const { return static_cast<size_t>(p_ - begin_); }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const std::string& error() const { return error_; }
    // How far reading got: where it failed, once it has.
    size_t readTo() const { return error_.empty() ? offset() : failedAt_; }
    const std::optional<detail::Guid>& guid() const { return guid_; }

    struct Mark {
        const uint8_t* p;
        uint32_t listLeft;
        bool listFloat;
    };
    Mark mark() const { return {p_, listLeft_, listFloat_}; }
    void reset(Mark m) {
        p_ = m.p;
        listLeft_ = m.listLeft;
        listFloat_ = m.listFloat;
        error_.clear();
    }

    bool readInt(int64_t& v) {
        if (!fillList()) return false;
        --listLeft_;
        if (!listFloat_) {
            v = takeDword();
            return true;
        }
        double d = takeFloat();
        if (!integralValue(d, v)) return fail("a whole number was expected");
        return true;
    }

    bool readFloat(float& v) {
        if (!fillList()) return false;
        --listLeft_;
        v = listFloat_ ? static_cast<float>(takeFloat()) : static_cast<float>(takeDword());
        return true;
    }

    bool readFloats(float* v, size_t n) {
        while (n > 0) {
            if (!fillList()) return false;
            size_t k = std::min<size_t>(n, listLeft_);
            if (listFloat_ && floatBytes_ == 4) {
                std::memcpy(v, p_, k * 4);
                p_ += k * 4;
            } else {
                for (size_t i = 0; i < k; ++i) v[i] = listFloat_ ? static_cast<float>(takeFloat()) : static_cast<float>(takeDword());
            }
            listLeft_ -= static_cast<uint32_t>(k);
            v += k;
            n -= k;
        }
        return true;
    }

    bool readIndices(uint32_t* v, size_t n) {
        while (n > 0) {
            if (!fillList()) return false;
            size_t k = std::min<size_t>(n, listLeft_);
            if (!listFloat_) {
                std::memcpy(v, p_, k * 4);
                p_ += k * 4;
            } else {
                for (size_t i = 0; i < k; ++i) {
                    int64_t x;
                    double d = takeFloat();
                    v[i] = (!integralValue(d, x) || x < 0 || x >= int64_t(UINT32_MAX)) ? UINT32_MAX : uint32_t(x);
                }
            }
            listLeft_ -= static_cast<uint32_t>(k);
            v += k;
            n -= k;
        }
        return true;
    }

    bool readString(std::string& out) {
        if (listLeft_ != 0) return fail("a string was expected, numbers found");
        for (;;) {
            uint16_t t;
            if (!word(t)) return fail("unexpected end of data, a string was expected");
            if (t == Semicolon || t == Comma) continue;
            if (t != String && t != Name) return fail("a string was expected");
            if (!counted(out)) return false;
            if (t == String) skipTerminator();
            return true;
        }
    }

    Child nextChild(std::string& type, std::string& name, bool topLevel) {
        type.clear();
        name.clear();
        guid_.reset();
        listLeft_ = 0;  // numbers left over in the data part are not ours to keep
        for (;;) {
            if (p_ == end_) {
                if (topLevel) return Child::Eof;
                fail("unexpected end of data inside an object");
                return Child::Error;
            }
            uint16_t t;
            if (!word(t)) {
                fail("truncated token");
                return Child::Error;
            }
            switch (t) {
            case CBrace:
                if (topLevel) {
                    fail("unmatched '}'");
                    return Child::Error;
                }
                return Child::End;
            case OBrace: {
                uint16_t n;
                if (peekWord(n) && n == Name) {
                    p_ += 2;
                    if (!counted(name)) return Child::Error;
                }
                if (peekWord(n) && n == Guid && !readGuid()) return Child::Error;
                if (!word(n) || n != CBrace) {
                    fail("malformed reference, '}' expected");
                    return Child::Error;
                }
                return Child::Reference;
            }
            case Name: {
                if (!counted(type)) return Child::Error;
                uint16_t n;
                if (peekWord(n) && n == Name) {
                    p_ += 2;
                    if (!counted(name)) return Child::Error;
                }
                if (!word(n) || n != OBrace) {
                    fail("'{' expected after '" + type + "'");
                    return Child::Error;
                }
                if (peekWord(n) && n == Guid && !readGuid()) return Child::Error;
                return Child::Object;
            }
            case Template: {
                uint16_t n;
                if (peekWord(n) && n == Name) {
                    p_ += 2;
                    std::string ignored;
                    if (!counted(ignored)) return Child::Error;
                }
                if (!word(n) || n != OBrace) {
                    fail("'{' expected in a template declaration");
                    return Child::Error;
                }
                if (!skipBody()) return Child::Error;
                continue;
            }
            default:
                if (!skipRecord(t)) return Child::Error;
                continue;
            }
        }
    }

    bool skipBody() {
        listLeft_ = 0;
        size_t depth = 1;
        while (p_ != end_) {
            uint16_t t;
            if (!word(t)) return fail("truncated token");
            if (t == OBrace) {
                ++depth;
            } else if (t == CBrace) {
                if (--depth == 0) return true;
            } else if (!skipRecord(t)) {
                return false;
            }
        }
        return fail("unexpected end of data inside an object");
    }

private:
    bool fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what + " at byte " + std::to_string(offset());
            failedAt_ = offset();
        }
        p_ = end_;
        listLeft_ = 0;
        return false;
    }
    bool word(uint16_t& t) {
        if (remaining() < 2) return false;
        t = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
        p_ += 2;
        return true;
    }
    bool peekWord(uint16_t& t) const {
        if (remaining() < 2) return false;
        t = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
        return true;
    }
    bool dword(uint32_t& v) {
        if (remaining() < 4) return false;
        std::memcpy(&v, p_, 4);  // little-endian host
        p_ += 4;
        return true;
    }
    bool counted(std::string& out) {
        uint32_t n;
        if (!dword(n) || n > remaining()) return fail("truncated name or string");
        out.assign(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return true;
    }
    // A GUID token (its id not yet read) and its 16 bytes.
    bool readGuid() {
        p_ += 2;
        if (remaining() < 16) return fail("truncated GUID");
        guid_.emplace();
        std::memcpy(guid_->data(), p_, 16);
        p_ += 16;
        return true;
    }
    // A string's terminator: a ';' or ',' token, sometimes written as a full DWORD.
    void skipTerminator() {
        uint16_t t;
        if (peekWord(t) && (t == Semicolon || t == Comma)) {
            p_ += 2;
            if (peekWord(t) && t == 0) p_ += 2;
        }
    }
    // Skips the record of token t (its id already read).
    bool skipRecord(uint16_t t) {
        uint32_t n;
        switch (t) {
        case Name:
        case String:
            if (!dword(n) || n > remaining()) return fail("truncated name or string");
            p_ += n;
            if (t == String) skipTerminator();
            return true;
        case Integer:
            if (remaining() < 4) return fail("truncated integer");
            p_ += 4;
            return true;
        case Guid:
            if (remaining() < 16) return fail("truncated GUID");
            p_ += 16;
            return true;
        case IntegerList:
        case FloatList: {
            if (!dword(n)) return fail("truncated list");
            uint64_t bytes = uint64_t(n) * (t == IntegerList ? 4u : floatBytes_);
            if (bytes > remaining()) return fail("list longer than the data left");
            p_ += bytes;
            return true;
        }
        default:
            if ((t >= OBrace && t <= Semicolon) || t == Template || (t >= FirstKeyword && t <= LastKeyword))
                return true;
            return fail("unknown token " + std::to_string(t));
        }
    }
    // Makes sure a number is ready in the current list, reading list tokens as needed.
    bool fillList() {
        while (listLeft_ == 0) {
            uint16_t t;
            if (!word(t)) return fail("unexpected end of data, a number was expected");
            uint32_t n;
            switch (t) {
            case Integer:
                if (remaining() < 4) return fail("truncated integer");
                listFloat_ = false;
                listLeft_ = 1;
                return true;
            case IntegerList:
            case FloatList: {
                if (!dword(n)) return fail("truncated list");
                listFloat_ = t == FloatList;
                uint64_t bytes = uint64_t(n) * (listFloat_ ? floatBytes_ : 4u);
                if (bytes > remaining()) return fail("list longer than the data left");
                listLeft_ = n;
                break;
            }
            case Semicolon:
            case Comma: break;
            default: return fail("a number was expected");
            }
        }
        return true;
    }
    uint32_t takeDword() {
        uint32_t v;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        return v;
    }
    double takeFloat() {
        if (floatBytes_ == 8) {
            double d;
            std::memcpy(&d, p_, 8);
            p_ += 8;
            return d;
        }
        float f;
        std::memcpy(&f, p_, 4);
        p_ += 4;
        return f;
    }

    const uint8_t* begin_;
    const uint8_t* p_;
    const uint8_t* end_;
    uint32_t floatBytes_;
    uint32_t listLeft_ = 0;
    bool listFloat_ = false;
    std::string error_;
    size_t failedAt_ = 0;
    std::optional<detail::Guid> guid_;
};

}  // namespace xfile::detail
