#include "platform/gl/gl_covering.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace gl::covering {

namespace {

// Rounded down by truncating a positive number: the offset's rounding can lift a value by
// under a millionth of a step, which the test's extra step covers.
constexpr double kFar = double(1 << 28), kOffset = double(1 << 30);

// At least the length of (dx, dy): the longer side plus 107/256 (over sqrt 2 - 1) of the
// shorter, rounded up.
int64_t length(int64_t dx, int64_t dy) {
    dx = std::abs(dx);
    dy = std::abs(dy);
    return std::max(dx, dy) + ((107 * std::min(dx, dy) + 255) >> 8);
}

// Whether a triangle whose box holds one centre, its corners in steps relative to that
// centre, may hold it once each corner is moved by up to `shift` steps: false where the
// centre lies beyond an edge by more than such moves can carry that edge (the edge's
// function changes by at most shift * (its length + twice the centre's distance from its
// first corner) + 2 shift^2), and the triangle is too far from flat for its side to turn
// over.
bool mayHoldCentre(const int64_t* x, const int64_t* y, int64_t shift) {
    int64_t sides[3], perimeter = 0;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        sides[i] = length(x[j] - x[i], y[j] - y[i]);
        perimeter += sides[i];
    }
    const int64_t area2 = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
    if (!(std::abs(area2) > 2 * shift * perimeter + 8 * shift * shift)) return true;
    const int64_t side = area2 > 0 ? 1 : -1;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        const int64_t edge = (x[j] - x[i]) * -y[i] - (y[j] - y[i]) * -x[i];
        if (side * edge < -(shift * (sides[i] + 2 * length(x[i], y[i])) + 2 * shift * shift))
            return false;
    }
    return true;
}

// The box of the rounded corners, widened by the margin and the rounding, holds the
// centres from `first` to `last` in each axis: a triangle goes where that is none, or
// where it is exactly one that lies clearly outside.
bool mayCover(const int32_t* xy, uint32_t a, uint32_t b, uint32_t d, const Margins& margins) {
    const int32_t xa = xy[2 * a], xb = xy[2 * b], xd = xy[2 * d];
    const int32_t ya = xy[2 * a + 1], yb = xy[2 * b + 1], yd = xy[2 * d + 1];
    const int32_t loX = std::min({xa, xb, xd}), hiX = std::max({xa, xb, xd});
    const int32_t loY = std::min({ya, yb, yd}), hiY = std::max({ya, yb, yd});
    if (loX == kUnplaced || loY == kUnplaced) return true;
    const int32_t firstX = -((margins.x + kHalfPixel - loX) >> kStepBits);  // rounded up
    const int32_t lastX = (hiX + margins.x - kHalfPixel) >> kStepBits;
    const int32_t firstY = -((margins.y + kHalfPixel - loY) >> kStepBits);
    const int32_t lastY = (hiY + margins.y - kHalfPixel) >> kStepBits;
    if (lastX < firstX || lastY < firstY) return false;
    if (lastX != firstX || lastY != firstY) return true;
    const int64_t cx = int64_t(firstX) * kStepsPerPixel + kHalfPixel;
    const int64_t cy = int64_t(firstY) * kStepsPerPixel + kHalfPixel;
    const int64_t x[3] = {xa - cx, xb - cx, xd - cx}, y[3] = {ya - cy, yb - cy, yd - cy};
    return mayHoldCentre(x, y, margins.shift);
}

// ---------------------------------------------------------------- several at a time
//
// The same arithmetic in the same order, so the same bits. In the test, a box that holds
// one centre lies within a pixel of it each way: the corners relative to it are under 4096
// steps, and with margins under half a pixel every product of the edge test fits in 32
// bits. Lanes outside that case may wrap; their results go unused.

#define SOLLUX_WIDE __attribute__((target("avx2")))

SOLLUX_WIDE inline __m256i lengthWide(__m256i dx, __m256i dy) {
    dx = _mm256_abs_epi32(dx);
    dy = _mm256_abs_epi32(dy);
    const __m256i shorter = _mm256_min_epi32(dx, dy);
    return _mm256_add_epi32(
        _mm256_max_epi32(dx, dy),
        _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(shorter, _mm256_set1_epi32(107)),
                                           _mm256_set1_epi32(255)),
                          8));
}

SOLLUX_WIDE inline __m256i notWide(__m256i a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }

// Lanes where the triangle (corners relative to the centre) may hold it.
SOLLUX_WIDE inline __m256i mayHoldCentreWide(const __m256i* x, const __m256i* y, int32_t shift) {
    __m256i sides[3], perimeter = _mm256_setzero_si256();
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        sides[i] = lengthWide(_mm256_sub_epi32(x[j], x[i]), _mm256_sub_epi32(y[j], y[i]));
        perimeter = _mm256_add_epi32(perimeter, sides[i]);
    }
    const __m256i area2 = _mm256_sub_epi32(
        _mm256_mullo_epi32(_mm256_sub_epi32(x[1], x[0]), _mm256_sub_epi32(y[2], y[0])),
        _mm256_mullo_epi32(_mm256_sub_epi32(y[1], y[0]), _mm256_sub_epi32(x[2], x[0])));
    const __m256i flatLimit =
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_set1_epi32(2 * shift), perimeter),
                         _mm256_set1_epi32(8 * shift * shift));
    const __m256i nearlyFlat = notWide(_mm256_cmpgt_epi32(_mm256_abs_epi32(area2), flatLimit));
    const __m256i turnsBack = _mm256_cmpgt_epi32(_mm256_setzero_si256(), area2);  // side -1
    __m256i beyond = _mm256_setzero_si256();
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        const __m256i edge =
            _mm256_sub_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(y[j], y[i]), x[i]),
                             _mm256_mullo_epi32(_mm256_sub_epi32(x[j], x[i]), y[i]));
        const __m256i sided = _mm256_sub_epi32(_mm256_xor_si256(edge, turnsBack), turnsBack);
        const __m256i reach = _mm256_add_epi32(
            _mm256_mullo_epi32(
                _mm256_set1_epi32(shift),
                _mm256_add_epi32(sides[i], _mm256_slli_epi32(lengthWide(x[i], y[i]), 1))),
            _mm256_set1_epi32(2 * shift * shift));
        beyond = _mm256_or_si256(
            beyond, _mm256_cmpgt_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), reach), sided));
    }
    return _mm256_or_si256(nearlyFlat, notWide(beyond));
}

// Of 24 indices in a row (three vectors), those at o, o + 3, ..., o + 21: `order` moves
// each vector's share into place, and the masks say which lanes come from the second and
// the third.
template <int kFromSecond, int kFromThird>
SOLLUX_WIDE inline __m256i everyThird(const __m256i* v, __m256i order) {
    return _mm256_blend_epi32(
        _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v[0], order),
                           _mm256_permutevar8x32_epi32(v[1], order), kFromSecond),
        _mm256_permutevar8x32_epi32(v[2], order), kFromThird);
}

SOLLUX_WIDE size_t keepWide(const uint32_t* corners, uint32_t count, const int32_t* xy,
                            size_t vertexCount, const Margins& margins, uint32_t* kept,
                            uint32_t* numbers, uint32_t firstNumber) {
    const __m256i signBit = _mm256_set1_epi32(std::numeric_limits<int32_t>::min());
    const __m256i limit = _mm256_xor_si256(_mm256_set1_epi32(int32_t(vertexCount)), signBit);
    const __m256i unplaced = _mm256_set1_epi32(kUnplaced);
    const __m256i roundUpX = _mm256_set1_epi32(margins.x + kHalfPixel);
    const __m256i roundUpY = _mm256_set1_epi32(margins.y + kHalfPixel);
    const __m256i widenX = _mm256_set1_epi32(margins.x - kHalfPixel);
    const __m256i widenY = _mm256_set1_epi32(margins.y - kHalfPixel);
    const __m256i half = _mm256_set1_epi32(kHalfPixel);
    const __m256i orders[3] = {_mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5),
                               _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6),
                               _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7)};
    const int32_t shift = int32_t(margins.shift);
    size_t used = 0;
    uint32_t t = 0;
    for (; t + 8 <= count; t += 8) {
        const uint32_t* c = corners + size_t(t) * 3;
        const __m256i v[3] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(c)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + 8)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + 16))};
        const __m256i index[3] = {everyThird<0x38, 0xC0>(v, orders[0]),
                                  everyThird<0x18, 0xE0>(v, orders[1]),
                                  everyThird<0x1C, 0xE0>(v, orders[2])};
        __m256i x[3], y[3], valid = _mm256_set1_epi32(-1);
        for (int o = 0; o < 3; ++o) {
            const __m256i in = _mm256_cmpgt_epi32(limit, _mm256_xor_si256(index[o], signBit));
            valid = _mm256_and_si256(valid, in);
            // Each corner's x and y in one load, four corners a gather; vertex 0 for a
            // corner out of range (its triangle is kept whatever it reads). The pairs of
            // lanes go in as 0 1 4 5 and 2 3 6 7, so that the x and y come out in order.
            const __m256i at = _mm256_permute4x64_epi64(_mm256_and_si256(index[o], in), 0xD8);
            const __m256 low = _mm256_castsi256_ps(_mm256_i32gather_epi64(
                reinterpret_cast<const long long*>(xy), _mm256_castsi256_si128(at), 8));
            const __m256 high = _mm256_castsi256_ps(_mm256_i32gather_epi64(
                reinterpret_cast<const long long*>(xy), _mm256_extracti128_si256(at, 1), 8));
            x[o] = _mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88));
            y[o] = _mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xDD));
        }
        const __m256i loX = _mm256_min_epi32(_mm256_min_epi32(x[0], x[1]), x[2]);
        const __m256i hiX = _mm256_max_epi32(_mm256_max_epi32(x[0], x[1]), x[2]);
        const __m256i loY = _mm256_min_epi32(_mm256_min_epi32(y[0], y[1]), y[2]);
        const __m256i hiY = _mm256_max_epi32(_mm256_max_epi32(y[0], y[1]), y[2]);
        const __m256i placed = notWide(
            _mm256_or_si256(_mm256_cmpeq_epi32(loX, unplaced), _mm256_cmpeq_epi32(loY, unplaced)));
        const __m256i firstX = _mm256_sub_epi32(
            _mm256_setzero_si256(), _mm256_srai_epi32(_mm256_sub_epi32(roundUpX, loX), kStepBits));
        const __m256i firstY = _mm256_sub_epi32(
            _mm256_setzero_si256(), _mm256_srai_epi32(_mm256_sub_epi32(roundUpY, loY), kStepBits));
        const __m256i lastX = _mm256_srai_epi32(_mm256_add_epi32(hiX, widenX), kStepBits);
        const __m256i lastY = _mm256_srai_epi32(_mm256_add_epi32(hiY, widenY), kStepBits);
        const __m256i none =
            _mm256_or_si256(_mm256_cmpgt_epi32(firstX, lastX), _mm256_cmpgt_epi32(firstY, lastY));
        const __m256i one =
            _mm256_and_si256(_mm256_cmpeq_epi32(firstX, lastX), _mm256_cmpeq_epi32(firstY, lastY));
        const __m256i cx = _mm256_add_epi32(_mm256_slli_epi32(firstX, kStepBits), half);
        const __m256i cy = _mm256_add_epi32(_mm256_slli_epi32(firstY, kStepBits), half);
        const __m256i rx[3] = {_mm256_sub_epi32(x[0], cx), _mm256_sub_epi32(x[1], cx),
                               _mm256_sub_epi32(x[2], cx)};
        const __m256i ry[3] = {_mm256_sub_epi32(y[0], cy), _mm256_sub_epi32(y[1], cy),
                               _mm256_sub_epi32(y[2], cy)};
        const __m256i outside = _mm256_andnot_si256(mayHoldCentreWide(rx, ry, shift), one);
        const __m256i dropped =
            _mm256_and_si256(_mm256_and_si256(valid, placed), _mm256_or_si256(none, outside));
        const unsigned keptLanes =
            ~unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(dropped))) & 0xFFu;
        // Every triangle written where the next kept one goes, and counted where kept.
        for (unsigned lane = 0; lane < 8; ++lane) {
            std::memcpy(kept + 3 * used, c + 3 * lane, 3 * sizeof(uint32_t));
            if (numbers) numbers[used] = firstNumber + t + lane;
            used += (keptLanes >> lane) & 1u;
        }
    }
    return used + keepOneByOne(corners + size_t(t) * 3, count - t, xy, vertexCount, margins,
                               kept + 3 * used, numbers ? numbers + used : nullptr,
                               firstNumber + t);
}

// Whole steps, rounded down as one at a time does (truncating the offset value); kUnplaced
// where not `placed`.
SOLLUX_WIDE inline __m128i stepsWide(__m256d value, __m256d offset, __m128i placed) {
    const __m256d whole =
        _mm256_round_pd(_mm256_add_pd(value, offset), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    return _mm_blendv_epi8(_mm_set1_epi32(kUnplaced),
                           _mm256_cvttpd_epi32(_mm256_sub_pd(whole, offset)), placed);
}

// Four vertices a time: their positions read as rows of four floats and turned into
// columns.
SOLLUX_WIDE void projectWide(const unsigned char* vertices, size_t stride, size_t first, size_t end,
                             const double* m, double halfW, double halfH, int32_t* out) {
    __m256d column[16];
    for (int i = 0; i < 16; ++i) column[i] = _mm256_set1_pd(m[i]);
    const __m256d scaleX = _mm256_set1_pd(halfW * kStepsPerPixel),
                  scaleY = _mm256_set1_pd(halfH * kStepsPerPixel);
    const __m256d one = _mm256_set1_pd(1), far = _mm256_set1_pd(kFar),
                  offset = _mm256_set1_pd(kOffset);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    const __m256i lowHalves = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    size_t v = first;
    for (; v + 4 <= end; v += 4) {
        const unsigned char* p = vertices + v * stride;
        __m128 r0 = _mm_loadu_ps(reinterpret_cast<const float*>(p));
        __m128 r1 = _mm_loadu_ps(reinterpret_cast<const float*>(p + stride));
        __m128 r2 = _mm_loadu_ps(reinterpret_cast<const float*>(p + 2 * stride));
        __m128 r3 = _mm_loadu_ps(reinterpret_cast<const float*>(p + 3 * stride));
        _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
        const __m256d px = _mm256_cvtps_pd(r0), py = _mm256_cvtps_pd(r1), pz = _mm256_cvtps_pd(r2);
        __m256d clip[4];
        for (int a : {0, 1, 3})
            clip[a] = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(px, column[a]),
                                                                _mm256_mul_pd(py, column[4 + a])),
                                                  _mm256_mul_pd(pz, column[8 + a])),
                                    column[12 + a]);
        const __m256d scale = _mm256_div_pd(one, clip[3]);
        const __m256d x = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(clip[0], scale), one), scaleX);
        const __m256d y = _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(clip[1], scale), one), scaleY);
        const __m256d placed = _mm256_and_pd(
            _mm256_cmp_pd(clip[3], _mm256_setzero_pd(), _CMP_GT_OQ),
            _mm256_and_pd(_mm256_cmp_pd(_mm256_and_pd(x, magnitude), far, _CMP_LT_OQ),
                          _mm256_cmp_pd(_mm256_and_pd(y, magnitude), far, _CMP_LT_OQ)));
        const __m128i placed32 = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(placed), lowHalves));
        const __m128i sx = stepsWide(x, offset, placed32), sy = stepsWide(y, offset, placed32);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * v), _mm_unpacklo_epi32(sx, sy));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * v + 4), _mm_unpackhi_epi32(sx, sy));
    }
    projectOneByOne(vertices, stride, v, end, m, halfW, halfH, out);
}

// Whether the wide test holds for these sizes: margins and shift within half a pixel (the
// bounds of its 32-bit products), vertex numbers that a gather's signed index reaches.
bool wideFits(size_t vertexCount, const Margins& margins) {
    return wideAvailable() && vertexCount > 0 && vertexCount <= (size_t{1} << 31) &&
           margins.x > 0 && margins.y > 0 && margins.x <= kHalfPixel && margins.y <= kHalfPixel &&
           margins.shift > 0 && margins.shift <= kHalfPixel;
}

}  // namespace

Margins marginsFor(float marginX, float marginY) {
    // The GPU's difference plus the rounding (a step and a millionth in each axis), in
    // whole steps.
    Margins m;
    m.x = int32_t(std::ceil(marginX * kStepsPerPixel)) + 2;
    m.y = int32_t(std::ceil(marginY * kStepsPerPixel)) + 2;
    m.shift = int64_t(std::ceil(std::hypot(marginX, marginY) * kStepsPerPixel)) + 2;
    return m;
}

size_t keepOneByOne(const uint32_t* corners, uint32_t count, const int32_t* xy, size_t vertexCount,
                    const Margins& margins, uint32_t* kept, uint32_t* numbers,
                    uint32_t firstNumber) {
    size_t used = 0;
    for (uint32_t t = 0; t < count; ++t, corners += 3) {
        const uint32_t a = corners[0], b = corners[1], d = corners[2];
        if (a < vertexCount && b < vertexCount && d < vertexCount &&
            !mayCover(xy, a, b, d, margins))
            continue;
        kept[3 * used] = a;
        kept[3 * used + 1] = b;
        kept[3 * used + 2] = d;
        if (numbers) numbers[used] = firstNumber + t;
        ++used;
    }
    return used;
}

void projectOneByOne(const unsigned char* vertices, size_t stride, size_t first, size_t end,
                     const double* m, double halfW, double halfH, int32_t* out) {
    const double scaleX = halfW * kStepsPerPixel, scaleY = halfH * kStepsPerPixel;
    out += first * 2;
    for (size_t v = first; v < end; ++v, out += 2) {
        float p[3];
        std::memcpy(p, vertices + v * stride, sizeof p);
        const double w = p[0] * m[3] + p[1] * m[7] + p[2] * m[11] + m[15];
        const double scale = 1 / w;
        const double x = ((p[0] * m[0] + p[1] * m[4] + p[2] * m[8] + m[12]) * scale + 1) * scaleX;
        const double y = ((p[0] * m[1] + p[1] * m[5] + p[2] * m[9] + m[13]) * scale + 1) * scaleY;
        const bool placed = w > 0 && std::fabs(x) < kFar && std::fabs(y) < kFar;
        out[0] = placed ? int32_t(int64_t(x + kOffset) - int64_t(kOffset)) : kUnplaced;
        out[1] = placed ? int32_t(int64_t(y + kOffset) - int64_t(kOffset)) : kUnplaced;
    }
}

void project(const unsigned char* vertices, size_t stride, size_t first, size_t end,
             const double* m, double halfW, double halfH, int32_t* out) {
    if (wideAvailable() && stride >= 4 * sizeof(float))
        projectWide(vertices, stride, first, end, m, halfW, halfH, out);
    else
        projectOneByOne(vertices, stride, first, end, m, halfW, halfH, out);
}

size_t keep(const uint32_t* corners, uint32_t count, const int32_t* xy, size_t vertexCount,
            const Margins& margins, uint32_t* kept, uint32_t* numbers, uint32_t firstNumber) {
    if (wideFits(vertexCount, margins))
        return keepWide(corners, count, xy, vertexCount, margins, kept, numbers, firstNumber);
    return keepOneByOne(corners, count, xy, vertexCount, margins, kept, numbers, firstNumber);
}

bool wideAvailable() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

}  // namespace gl::covering
