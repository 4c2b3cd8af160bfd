// Passes split over the cores: parts that cover every item once, in order, and failures
// that come out of the call once every part has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/parallel.h"

TEST(RunInParts, PartsFollowEachOtherAndCoverEveryItemOnce) {
    for (auto [n, parts] : {std::pair<size_t, unsigned>{0, 1}, {1, 3}, {10, 3}, {7, 7}, {100001, 2}}) {
        std::vector<std::atomic<int>> seen(n);
        std::vector<std::pair<size_t, size_t>> stretch(parts);
        runInParts(n, parts, [&](unsigned part, size_t begin, size_t end) {
            stretch[part] = {begin, end};
            for (size_t i = begin; i < end; ++i) ++seen[i];
        });
        for (size_t i = 0; i < n; ++i) EXPECT_EQ(seen[i], 1) << n << " " << i;
        EXPECT_EQ(stretch.front().first, 0u);
        EXPECT_EQ(stretch.back().second, n);
        for (unsigned p = 0; p + 1 < parts; ++p) {
            EXPECT_EQ(stretch[p].second, stretch[p + 1].first) << n << " " << p;
            EXPECT_LE(stretch[p + 1].second - stretch[p + 1].first, stretch[p].second - stretch[p].first);
        }
    }
}

TEST(RunInParts, WhatAPartThrowsComesOutOnceAllHaveEnded) {
    std::atomic<int> ended{0};
    EXPECT_THROW(runInParts(30, 3,
                            [&](unsigned part, size_t, size_t) {
                                ++ended;
                                if (part == 1) throw std::runtime_error("part 1");
                            }),
                 std::runtime_error);
    EXPECT_EQ(ended, 3);
}

TEST(RunInParts, PartsAreOneACoreAndNoneTooSmall) {
    workPartsLimit() = 4;
    EXPECT_EQ(partsFor(size_t{1} << 20), 4u);
    EXPECT_EQ(partsFor(100), 1u);
    EXPECT_EQ(partsFor(3 * (size_t{1} << 15)), 3u);
    workPartsLimit() = 0;
    EXPECT_GE(partsFor(size_t{1} << 30), 1u);
}
