#include "sal/time.h"

#include <ctime>

#include <gtest/gtest.h>

#include "sal/sysinfo.h"

namespace {

using rux::timeT;

TEST(timeT, ArithmeticStaysNormalised) {
    EXPECT_EQ(timeT(1, 600000000) + timeT(0, 500000000), timeT(2, 100000000));
    EXPECT_EQ(timeT(1, 100000000) - timeT(0, 200000000), timeT(0, 900000000));
    EXPECT_EQ(timeT(0, 100000000) - timeT(1, 0), timeT(-1, 100000000));
    EXPECT_EQ(timeT(0, 2500000000 - 2000000000).normalise(), timeT(0, 500000000));
    EXPECT_EQ(timeT(3, -1).normalise(), timeT(2, 999999999));
    EXPECT_EQ(timeT::fromMs(-1500), timeT(-2, 500000000));
    // Operands that are not normalised still give a normalised result.
    EXPECT_EQ(timeT(0, 1200000000) + timeT(0, 900000000), timeT(2, 100000000));
    EXPECT_EQ(timeT(0, 0) - timeT(0, 1500000000), timeT(-2, 500000000));
    EXPECT_EQ(timeT(1, 2000000000) + timeT(0, 2000000000), timeT(5, 0));
    EXPECT_EQ(timeT::fromUs(1500), timeT(0, 1500000));
    EXPECT_LT(timeT(0, 999999999), timeT(1, 0));
    EXPECT_TRUE(timeT(0, 0).nonPositive());
    EXPECT_TRUE(timeT(-1, 999999999).nonPositive());
    EXPECT_FALSE(timeT(0, 1).nonPositive());
}

TEST(timeT, MillisecondsTruncate) {
    EXPECT_EQ(timeT(1, 500000000).ms(), 1500);
    EXPECT_EQ(timeT(0, 999999).ms(), 0);
    EXPECT_EQ(timeT(2, 999999).us(), 2000999);
}

TEST(timeT, ClocksReadWallAndMonotonicTime) {
    timeT wall(rux::sysCLK);
    EXPECT_LE(std::labs(long(wall.sec) - long(time(nullptr))), 2);
    timeT a(rux::monCLK), b(rux::monCLK);
    EXPECT_LE(a, b);
    EXPECT_GE(a.nsec, 0);
    EXPECT_LT(a.nsec, 1000000000);
}

TEST(timeT, SleepLastsAtLeastTheMilliseconds) {
    timeT before(rux::monCLK);
    rux::sleep(timeT(0, 30999999)); // 30 ms after truncation
    EXPECT_GE((timeT(rux::monCLK) - before).ms(), 30);
    rux::sleep(timeT(-1, 0)); // nothing to wait for
}

TEST(ptimerT, ZeroPeriodExpiresAndLatches) {
    rux::ptimerT t(timeT(0, 0));
    timeT rest(99, 0);
    EXPECT_TRUE(t.expired(rest));
    EXPECT_TRUE(rest.nonPositive());
    timeT untouched(42, 0);
    EXPECT_TRUE(t.expired(untouched));
    EXPECT_EQ(untouched, timeT(42, 0));
    EXPECT_TRUE(t.expired());
}

TEST(ptimerT, RemainderCountsDownUntilReset) {
    rux::ptimerT t(timeT(3600, 0));
    timeT rest;
    EXPECT_FALSE(t.expired(rest));
    EXPECT_GT(rest, timeT(3500, 0));
    EXPECT_LE(rest, timeT(3600, 0));
    EXPECT_FALSE(t.expired());
    t.period(timeT(0, 0));
    EXPECT_TRUE(t.expired());
    t.period(timeT(3600, 0));
    EXPECT_TRUE(t.expired()); // latched
    t.reset();
    EXPECT_FALSE(t.expired());
}

TEST(sysInfo, DescribesThePlatform) {
    EXPECT_GE(rux::sysInfo::ncpu, 1u);
    EXPECT_EQ(rux::sysInfo::pageSize % 4096, 0u);
    EXPECT_EQ(rux::sysInfo::pathSep, '/');
    EXPECT_NE(std::string(rux::sysInfo::name), "");
}

} // namespace
