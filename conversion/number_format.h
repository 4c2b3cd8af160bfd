// Fixed-point number text for the .x writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Longest text formatFixed writes for a float with 8 decimals or a double with 6:
// 309 integer digits, sign, point and decimals.
constexpr size_t kFixedTextMax = 330;

// Writes value with exactly `decimals` digits after the point (decimals <= 17), like
// "%.*f", except for the rounding: the value is first rounded to 17 significant digits,
// then cut after the last digit shown and rounded half away from zero. Exact zero,
// negative zero included, has no sign; a negative value that rounds to zero keeps it.
// Infinity is written "inf" or "-inf". Returns the end of the text (no terminator).
char* formatFixed(char* out, double value, int decimals);

// formatFixed(out, value, 8) for a float, with an exact integer fast path for the usual
// coordinate range.
char* formatCoordinate(char* out, float value);

namespace number_text {
// "00" to "99".
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}  // namespace number_text

// value (below 10^8) in decimal, as std::to_chars writes it. Returns the end of the text.
inline char* formatSmallDecimal(char* out, uint32_t value) {
    using number_text::kDigitPairs;
    auto pair = [&](uint32_t v) {
        std::memcpy(out, kDigitPairs + 2 * v, 2);
        out += 2;
    };
    auto upTo99 = [&](uint32_t v) {
        if (v < 10)
            *out++ = static_cast<char>('0' + v);
        else
            pair(v);
    };
    auto upTo9999 = [&](uint32_t v) {
        if (v < 100) {
            upTo99(v);
        } else {
            upTo99(v / 100);
            pair(v % 100);
        }
    };
    if (value < 10000) {
        upTo9999(value);
    } else {
        upTo9999(value / 10000);
        pair(value % 10000 / 100);
        pair(value % 100);
    }
    return out;
}
