// Fixed-point number text for the .x writer.
#pragma once

#include <cstddef>

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
