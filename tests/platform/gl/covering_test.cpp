// The test of which triangles can draw anything: several at a time gives what one at a
// time gives, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/gl/gl_covering.h"

namespace {

using namespace gl::covering;

TEST(CoveringTest, ProjectingSeveralAtATimeGivesTheSameSteps) {
    // Positions in a stride of 28 bytes (position, normal, one float more), some of them
    // behind the eye, on its plane, far out to the side and not numbers.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> near(-2, 2);
    constexpr size_t kStride = 28, kCount = 1003;
    std::vector<unsigned char> vertices(kStride * kCount);
    for (size_t v = 0; v < kCount; ++v) {
        float p[3] = {near(random), near(random), near(random)};
        if (v % 97 == 5) p[2] = -6.0f;                                    // w = 0
        if (v % 89 == 3) p[0] = 1e9f;                                     // beyond the steps
        if (v % 83 == 1) p[1] = std::numeric_limits<float>::quiet_NaN();  // no place
        std::memcpy(vertices.data() + v * kStride, p, sizeof p);
    }
    const double perspective[16] = {1.2,  0.1,  0,    0,    -0.1, 1.6,  0,   0,
                                    0.05, 0.02, -1.0, -1.0, 0.3,  -0.2, 5.8, 6.0};
    const double flat[16] = {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, -0.1, 0, 0.01, 0.02, 0, 1};
    for (const double* m : {perspective, flat})
        for (size_t first : {size_t{0}, size_t{3}}) {
            std::vector<int32_t> one(2 * kCount, 7), several(2 * kCount, 7);
            projectOneByOne(vertices.data(), kStride, first, kCount - 2, m, 400, 300, one.data());
            project(vertices.data(), kStride, first, kCount - 2, m, 400, 300, several.data());
            EXPECT_EQ(one, several);
            EXPECT_EQ(one[2 * first], several[2 * first]);
            EXPECT_EQ(several.back(), 7);  // nothing written past the end
        }
}

TEST(CoveringTest, KeepingSeveralAtATimeKeepsTheSameTriangles) {
    // Small triangles scattered near the pixel centres, so that their boxes hold none, one
    // or several, and the one lies inside, on and beyond their edges; a few corners are
    // unplaced or out of range.
    std::mt19937 random(11);
    constexpr size_t kVertices = 6000;
    std::vector<int32_t> xy(2 * kVertices);
    std::uniform_int_distribution<int32_t> spot(-40 * kStepsPerPixel, 40 * kStepsPerPixel);
    std::uniform_int_distribution<int32_t> jitter(-3 * kHalfPixel, 3 * kHalfPixel);
    for (size_t v = 0; v < kVertices; v += 3) {
        const int32_t x = spot(random), y = spot(random);
        for (size_t c = v; c < v + 3; ++c) {
            xy[2 * c] = x + jitter(random) / (1 + int32_t(c % 4));
            xy[2 * c + 1] = y + jitter(random) / (1 + int32_t(c % 4));
        }
    }
    xy[2 * 100] = xy[2 * 100 + 1] = kUnplaced;
    std::vector<uint32_t> corners;
    for (uint32_t v = 0; v + 2 < kVertices; v += 3)
        corners.insert(corners.end(), {v, v + 1, v + 2});
    corners[3 * 50 + 1] = uint32_t(kVertices);  // out of range
    corners[3 * 51 + 2] = std::numeric_limits<uint32_t>::max();
    const uint32_t triangles = uint32_t(corners.size() / 3);

    struct Case {
        float marginX, marginY;
        uint32_t first, count;  // the triangles tested
        bool numbered;
    };
    for (const Case& test :
         {Case{0.0f, 0.0f, 0, triangles, true}, Case{0.1f, 0.2f, 5, triangles - 12, true},
          Case{0.24f, 0.24f, 1, 7, true}, Case{0.05f, 0.0f, 3, triangles - 3, false}}) {
        SCOPED_TRACE(test.marginX);
        const Margins margins = marginsFor(test.marginX, test.marginY);
        const uint32_t* from = corners.data() + 3 * test.first;
        std::vector<uint32_t> keptOne(3 * test.count), numbersOne(test.count);
        std::vector<uint32_t> keptSeveral(3 * test.count), numbersSeveral(test.count);
        const size_t one =
            keepOneByOne(from, test.count, xy.data(), kVertices, margins, keptOne.data(),
                         test.numbered ? numbersOne.data() : nullptr, 40);
        const size_t several =
            keep(from, test.count, xy.data(), kVertices, margins, keptSeveral.data(),
                 test.numbered ? numbersSeveral.data() : nullptr, 40);
        ASSERT_EQ(one, several);
        keptOne.resize(3 * one);
        keptSeveral.resize(3 * several);
        EXPECT_EQ(keptOne, keptSeveral);
        if (test.numbered) {
            numbersOne.resize(one);
            numbersSeveral.resize(several);
            EXPECT_EQ(numbersOne, numbersSeveral);
        }
        if (test.count > 100) {  // both kept and left out
            EXPECT_GT(one, test.count / 10);
            EXPECT_LT(one, test.count * 9 / 10);
        }
    }
}

}  // namespace
