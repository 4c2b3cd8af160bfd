#include "conversion/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using number_text::kDigitPairs;

// value < 100 without leading zeros.
inline char* putSmall(char* out, uint32_t value) {
    if (value < 10) {
        *out = static_cast<char>('0' + value);
        return out + 1;
    }
    std::memcpy(out, kDigitPairs + 2 * value, 2);
    return out + 2;
}

}  // namespace

char* formatFixed(char* out, double value, int decimals) {
    if (std::isnan(value)) {
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    if (value < 0) *out++ = '-';
    if (std::isinf(value)) {
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    if (value == 0) {
        *out++ = '0';
        *out++ = '.';
        std::memset(out, '0', decimals);
        return out + decimals;
    }

    // 17 significant digits d.dddddddddddddddde±x
    char sci[40];
    auto result = std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific, 16);
    char digits[17];
    digits[0] = sci[0];
    std::memcpy(digits + 1, sci + 2, 16);
    int exponent = 0;
    std::from_chars(sci + 19 + (sci[19] == '+'), result.ptr, exponent);

    // digits[i] has the place value 10^(exponent - i). Keep those down to 10^-decimals and
    // round on the first one cut off.
    const int keep = exponent + decimals + 1;
    // The kept digits scaled by 10^decimals, as one decimal string.
    char scaled[kFixedTextMax];
    int length = 0;
    if (keep > 0) {
        if (keep >= 17) {
            std::memcpy(scaled, digits, 17);
            std::memset(scaled + 17, '0', keep - 17);
            length = keep;
        } else {
            std::memcpy(scaled, digits, keep);
            length = keep;
            if (digits[keep] >= '5') {
                int i = length - 1;
                while (i >= 0 && scaled[i] == '9') scaled[i--] = '0';
                if (i >= 0) {
                    ++scaled[i];
                } else {
                    std::memmove(scaled + 1, scaled, length);
                    scaled[0] = '1';
                    ++length;
                }
            }
        }
    } else if (keep == 0 && digits[0] >= '5') {
        scaled[0] = '1';
        length = 1;
    }
    // Pad with leading zeros so there is at least one integer digit.
    if (length < decimals + 1) {
        int pad = decimals + 1 - length;
        std::memmove(scaled + pad, scaled, length);
        std::memset(scaled, '0', pad);
        length += pad;
    }
    const int integerDigits = length - decimals;
    std::memcpy(out, scaled, integerDigits);
    out += integerDigits;
    *out++ = '.';
    std::memcpy(out, scaled + integerDigits, decimals);
    return out + decimals;
}

char* formatCoordinate(char* out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const int biased = static_cast<int>((bits >> 23) & 0xff);
    // |value| = mantissa / 2^shift exactly. Only normal values below 2^24 with shift < 64.
    const int shift = 150 - biased;
    if (biased == 0 || shift < 0 || shift > 63) return formatFixed(out, value, 8);
    const uint64_t mantissa = (bits & 0x7fffff) | 0x800000;
    const uint64_t scaled = mantissa * 100000000u;  // below 2^51
    uint64_t units = scaled >> shift;                // whole 1e-8 units
    if (shift > 0) {
        const uint64_t rest = scaled & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        if (rest >= half) {
            ++units;
        } else {
            // Rounding to 17 significant digits first moves the value by at most
            // |value| * 1e-16 / 2; when that could reach the half, take the exact road. (In
            // 1e-8 units scaled by 2^shift that bound is mantissa * 1e-8, the same double as
            // |value| * 1e-8 * 2^shift, as scaling by a power of two rounds nothing here.)
            const double gap = static_cast<double>(half - rest);
            if (gap <= static_cast<double>(mantissa) * 1e-8) {
                return formatFixed(out, value, 8);
            }
        }
    }
    if (bits >> 31) *out++ = '-';
    const uint64_t whole = units / 100000000u;
    if (whole < 100) {
        out = putSmall(out, static_cast<uint32_t>(whole));
    } else {
        out = std::to_chars(out, out + 20, whole).ptr;
    }
    *out++ = '.';
    const uint32_t fraction = static_cast<uint32_t>(units % 100000000u);
    const uint32_t high = fraction / 10000, low = fraction % 10000;
    std::memcpy(out, kDigitPairs + 2 * (high / 100), 2);
    std::memcpy(out + 2, kDigitPairs + 2 * (high % 100), 2);
    std::memcpy(out + 4, kDigitPairs + 2 * (low / 100), 2);
    std::memcpy(out + 6, kDigitPairs + 2 * (low % 100), 2);
    return out + 8;
}
