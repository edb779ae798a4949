// Conversion of client decimals into meter integers: the client's decimal
// survives binary representation, and nothing unstorable gets through.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "q7xx/scaling.h"

TEST(Q7xxScalingT, KeepsTheClientsDecimal) {
    struct caseT {
        long double v;
        unsigned long long want;
    };
    const caseT cases[] = {
        {0.7f * 10.0L, 7},
        {2.3f * 100000.0L, 230000},
        {0.57f * 10000.0L, 5700},
        {2.5f * 0.001L * 100, 0},
        {7.99L, 7},
        {99999.9f, 99999},
        {2.299999f * 100000.0L, 229999},
        {0, 0},
        {4294967295.0L, 4294967295ull},
    };
    for (const auto& c : cases) {
        unsigned long long out = 12345;
        ASSERT_TRUE(q7xx::toField(c.v, 0xFFFFFFFFull, out)) << double(c.v);
        EXPECT_EQ(out, c.want) << double(c.v);
    }
}

TEST(Q7xxScalingT, RefusesWhatCannotBeStored) {
    const long double cases[] = {std::numeric_limits<long double>::quiet_NaN(),
                                 std::numeric_limits<long double>::infinity(),
                                 -std::numeric_limits<long double>::infinity(),
                                 -0.5L,
                                 256.0L,
                                 1e30L};
    for (long double v : cases) {
        unsigned long long out = 7;
        EXPECT_FALSE(q7xx::toField(v, 255, out)) << double(v);
        EXPECT_EQ(out, 7u);
    }
    unsigned long long out = 0;
    EXPECT_TRUE(q7xx::toField(255.9999999L, 255, out) == false || out == 255);
    EXPECT_TRUE(q7xx::toField(255.5L, 255, out));
    EXPECT_EQ(out, 255u);
}

TEST(Q7xxScalingT, ReadsDecimalsNearest) {
    EXPECT_EQ(q7xx::decimal(150000, 5), 1.5f);
    EXPECT_EQ(q7xx::decimal(230000, 5), 2.3f);
    EXPECT_EQ(q7xx::decimal(7, 1), 0.7f);
    EXPECT_EQ(q7xx::decimal(5700, 4), 0.57f);
    EXPECT_EQ(q7xx::decimal(4294967295.0L, 255), 0.0f); // any exponent byte ends
}
