#include "conversion/number_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

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
