// The cost account a file load charges: limits, what the file literally holds, refusals.
#include <gtest/gtest.h>

#include "platform/rm/cost_account.h"

using rm::Cost;
using rm::CostAccount;

TEST(CostAccount, ThePassingChargeIsRefusedAndTheAccountStaysOver) {
    rm::CostLimits limits;
    limits[Cost::Frames] = 10;
    limits[Cost::Overdraw] = 3;
    CostAccount cost(limits);
    cost.allowLiteral(Cost::Frames, 5);  // the file holds 5 itself
    EXPECT_TRUE(cost.charge(Cost::Frames, 15));
    EXPECT_TRUE(cost.charge(Cost::Overdraw, 3));
    EXPECT_FALSE(cost.fits(Cost::Frames, 1));
    EXPECT_EQ(cost.refusal(), "");
    EXPECT_FALSE(cost.charge(Cost::Frames, UINT64_MAX));  // no overflow into a pass
    EXPECT_EQ(cost.spent(Cost::Frames), 15u);
    EXPECT_TRUE(cost.over());
    EXPECT_EQ(cost.refusal(), "the file's references expand to more than 10 frames");  // the base limit
    EXPECT_FALSE(cost.charge(Cost::Placements, 0));  // nothing more once over
    EXPECT_EQ(cost.refusal(), "the file's references expand to more than 10 frames");  // the first reason stays

    CostAccount deep(limits);
    EXPECT_FALSE(deep.refuse(Cost::Overdraw));  // counted elsewhere, refused in the account's words
    EXPECT_EQ(deep.refusal(), "the file's faces pile up more than 3 deep");
}
