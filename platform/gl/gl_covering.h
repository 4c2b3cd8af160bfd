// Which triangles of a dense mesh can draw anything at all. Vertices go to window
// coordinates in fixed steps, and each triangle's box is tested against the pixel centres
// (at n + 0.5 pixels from the viewport's corner) it holds: one whose box holds none, or
// whose one centre lies clearly beyond an edge, covers no pixel whatever the rasteriser's
// rules at the edges. Both passes run eight triangles or four vertices at a time where the
// processor has AVX2, with the same results as one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace gl::covering {

constexpr int kStepBits = 12;
constexpr int32_t kStepsPerPixel = 1 << kStepBits, kHalfPixel = kStepsPerPixel / 2;
// A vertex behind the eye or too far out for its steps to be counted in an int.
constexpr int32_t kUnplaced = std::numeric_limits<int32_t>::min();

// Vertices [first, end) of `vertices` (positions as three floats at the start of each
// `stride` bytes) through the clip matrix `m` (column-major) to window coordinates from
// the viewport's corner in steps of 1/4096 pixel, rounded down, two ints a vertex from
// out[2 * first] on: the vertex lies less than a step above them.
void project(const unsigned char* vertices, size_t stride, size_t first, size_t end,
             const double* m, double halfW, double halfH, int32_t* out);

// How far, in steps, the GPU's window coordinates may differ from the projected ones
// (margins of under a quarter pixel).
struct Margins {
    int32_t x = 0, y = 0;  // in each axis, the rounding included
    int64_t shift = 0;     // in any direction
};
Margins marginsFor(float marginX, float marginY);

// The triangles of `corners` (three indices each, `count` of them) that may hold a
// pixel's centre, kept in order: their indices go to `kept`, and with `numbers`, each
// one's number (firstNumber + its place) goes there. A triangle with a corner out of
// `vertexCount` or unplaced is kept. Returns how many were kept.
size_t keep(const uint32_t* corners, uint32_t count, const int32_t* xy, size_t vertexCount,
            const Margins& margins, uint32_t* kept, uint32_t* numbers, uint32_t firstNumber);

// For the tests: the passes one triangle or vertex at a time (which the passes above take
// where the wide ones can't), and whether the processor runs the wide ones at all.
size_t keepOneByOne(const uint32_t* corners, uint32_t count, const int32_t* xy, size_t vertexCount,
                    const Margins& margins, uint32_t* kept, uint32_t* numbers,
                    uint32_t firstNumber);
void projectOneByOne(const unsigned char* vertices, size_t stride, size_t first, size_t end,
                     const double* m, double halfW, double halfH, int32_t* out);
bool wideAvailable();

}  // namespace gl::covering
