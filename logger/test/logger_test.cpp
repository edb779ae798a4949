#include <cstdlib>
#include <ctime>
#include <list>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "capture_dev.h"
#include "rux_logger_xface.h"

using rux::loggerT;
namespace lv = rux::log;

namespace {

// Every test logs to its own capture device installed as the default one.
class LoggerT : public ::testing::Test {
protected:
    void SetUp() override {
        dev = std::make_shared<captureDevT>();
        oldDev = loggerT::setDefLogDev(dev);
        oldLev = loggerT::setDefLogLev(lv::DUMP);
    }
    void TearDown() override {
        loggerT::setDefLogDev(oldDev);
        loggerT::setDefLogLev(oldLev);
    }

    std::shared_ptr<captureDevT> dev;
    std::shared_ptr<rux::logDevT> oldDev;
    int oldLev = 0;
};

std::string lineOf(const loggerT& l, int level, const char* fn, const std::string& text) {
    auto d = std::make_shared<captureDevT>();
    loggerT copy(l);
    auto old = copy.setLogDev(d);
    { loggerT::logbufT(copy, level, fn) << text; }
    copy.setLogDev(old);
    auto texts = d->texts();
    return texts.empty() ? std::string("<none>") : texts.front();
}

} // namespace

// ---- line format ----------------------------------------------------------

TEST_F(LoggerT, LineFormatCarriesLocalTimeToTheMicrosecond) {
    // A zone far from UTC catches a header written in UTC.
    setenv("TZ", "XYZ+5", 1);
    tzset();
    loggerT log("rux_gas");
    time_t before = time(nullptr);
    { loggerT::logbufT(log, lv::NOTICE, nullptr) << "hello " << 42 << "\n"; }
    time_t after = time(nullptr);

    auto lines = dev->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, lv::NOTICE);
    std::smatch m;
    const std::regex re(
        R"(^(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)\.\d{6} NTC rux_gas -> hello 42\n$)");
    ASSERT_TRUE(std::regex_match(lines[0].second, m, re)) << lines[0].second;

    struct tm tm {};
    tm.tm_mday = std::stoi(m[1]);
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_year = std::stoi(m[3]) - 1900;
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    tm.tm_isdst = -1;
    time_t stamp = mktime(&tm);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    unsetenv("TZ");
    tzset();
}

TEST_F(LoggerT, LineFormatWithoutTimeStartsWithTheTag) {
    loggerT log("fmt.notime");
    EXPECT_TRUE(log.printTime(false));
    EXPECT_EQ(lineOf(log, lv::NOTICE, nullptr, "x\n"), "NTC fmt.notime -> x\n");
    EXPECT_EQ(lineOf(log, lv::NODUMP, nullptr, "x\n"), "NDP fmt.notime -> x\n");
    EXPECT_EQ(lineOf(log, lv::DUMP, nullptr, "x\n"), "DMP fmt.notime -> x\n");
}

TEST_F(LoggerT, LineFormatShowsFunctionOnlyWhenGivenAndSwitchedOn) {
    loggerT log("fmt.func");
    log.printTime(false);
    EXPECT_EQ(lineOf(log, lv::ERROR, "open", "x\n"), "ERR fmt.func -> { open } x\n");
    EXPECT_EQ(lineOf(log, lv::ERROR, nullptr, "x\n"), "ERR fmt.func -> x\n");
    EXPECT_EQ(lineOf(log, lv::ERROR, "", "x\n"), "ERR fmt.func -> x\n");
    EXPECT_TRUE(log.printFunc(false));
    EXPECT_EQ(lineOf(log, lv::ERROR, "open", "x\n"), "ERR fmt.func -> x\n");
    EXPECT_FALSE(log.printFunc());
}

// ---- level filtering ------------------------------------------------------

TEST_F(LoggerT, LevelFilterAtLogIdDropsLinesAboveIt) {
    loggerT log("filter.id");
    EXPECT_EQ(log.level(lv::WARNING), lv::DUMP);
    {
        loggerT::logbufT line(log, lv::NOTICE, "f");
        EXPECT_FALSE(line.active());
        line << "dropped\n";
    }
    log.print(lv::NOTICE, "f", "dropped %d\n", 1);
    EXPECT_EQ(dev->count(), 0u);

    { loggerT::logbufT(log, lv::WARNING, "f") << "kept\n"; }
    EXPECT_EQ(dev->count(), 1u);

    log.level(lv::NODUMP);
    { loggerT::logbufT(log, lv::EMERGENCY, "f") << "dropped\n"; }
    { loggerT::logbufT(log, lv::NODUMP, "f") << "kept\n"; }
    EXPECT_EQ(dev->count(), 2u);
}

TEST_F(LoggerT, LevelFilterAtDeviceDropsWhatTheLogIdLetThrough) {
    loggerT log("filter.dev");
    dev->level(lv::ERROR);
    { loggerT::logbufT(log, lv::WARNING, nullptr) << "dropped\n"; }
    EXPECT_EQ(dev->count(), 0u);
    { loggerT::logbufT(log, lv::ERROR, nullptr) << "kept\n"; }
    EXPECT_EQ(dev->count(), 1u);
}

// ---- shared records -------------------------------------------------------

TEST_F(LoggerT, RecordsAreSharedByNameAndCopies) {
    loggerT a("shared.rec");
    loggerT b(std::string("shared.rec"));
    loggerT c(a);
    loggerT d;
    d = b;
    auto own = std::make_shared<captureDevT>("own");
    a.level(lv::INFO);
    a.printTime(false);
    a.setLogDev(own);
    for (loggerT* l : {&b, &c, &d}) {
        EXPECT_EQ(l->name(), "shared.rec");
        EXPECT_EQ(l->level(), lv::INFO);
        EXPECT_FALSE(l->printTime());
        EXPECT_EQ(l->getLogDev(), own);
    }
}

TEST_F(LoggerT, RecordIsForgottenWithItsLastLogger) {
    {
        loggerT a("shared.gone");
        loggerT b = a;
        a.level(lv::ALERT);
        a.printFunc(false);
        a.setLogDev(std::make_shared<captureDevT>("own"));
        a = loggerT();
        EXPECT_EQ(b.level(), lv::ALERT); // still held by b
    }
    loggerT::setDefLogLev(lv::INFO);
    loggerT fresh("shared.gone");
    EXPECT_EQ(fresh.level(), lv::INFO);
    EXPECT_TRUE(fresh.printTime());
    EXPECT_TRUE(fresh.printFunc());
    EXPECT_EQ(fresh.getLogDev(), dev);
}

TEST_F(LoggerT, MovedFromLoggerIsUnboundAndMoveAssignReleases) {
    loggerT a("move.src");
    a.level(lv::CRITICAL);
    loggerT b(std::move(a));
    EXPECT_FALSE(a.bound());
    EXPECT_EQ(b.level(), lv::CRITICAL);

    loggerT c("move.other");
    c.level(lv::CRITICAL);
    c = std::move(b); // "move.other" loses its only handle
    EXPECT_EQ(c.name(), "move.src");
    EXPECT_EQ(loggerT("move.other").level(), lv::DUMP);
}

TEST_F(LoggerT, LineInFlightOutlivesItsLogger) {
    auto own = std::make_shared<captureDevT>("own");
    auto* log = new loggerT("inflight");
    log->printTime(false);
    log->setLogDev(own);
    {
        loggerT::logbufT line(*log, lv::INFO, nullptr);
        delete log;
        line << "late\n";
    }
    EXPECT_EQ(own->texts(), std::vector<std::string>{"INF inflight -> late\n"});
}

TEST_F(LoggerT, GetAllListsEveryRegisteredLogId) {
    loggerT a("all.a"), b("all.b");
    std::list<loggerT> all;
    loggerT::getAll(all);
    int found = 0;
    for (auto& l : all) {
        EXPECT_TRUE(l.bound());
        found += l.name() == "all.a" || l.name() == "all.b";
    }
    EXPECT_EQ(found, 2);
}

// ---- devices and defaults -------------------------------------------------

TEST_F(LoggerT, SetDefLogDevMovesOnlyLogIdsOnTheOldDefault) {
    loggerT onDefault("def.follow");
    loggerT ownDev("def.own");
    auto own = std::make_shared<captureDevT>("own");
    ownDev.setLogDev(own);

    auto next = std::make_shared<captureDevT>("next");
    EXPECT_EQ(loggerT::setDefLogDev(next), dev);
    EXPECT_EQ(loggerT::getDefLogDev(), next);
    EXPECT_EQ(onDefault.getLogDev(), next);
    EXPECT_EQ(ownDev.getLogDev(), own);
    EXPECT_EQ(loggerT("def.new").getLogDev(), next);

    EXPECT_EQ(ownDev.resetLogDev(), own);
    EXPECT_EQ(ownDev.getLogDev(), next);
}

TEST_F(LoggerT, LineGoesToTheDeviceCurrentAtDelivery) {
    loggerT log("dev.late");
    auto own = std::make_shared<captureDevT>("own");
    {
        loggerT::logbufT line(log, lv::INFO, nullptr);
        line << "x\n";
        log.setLogDev(own);
    }
    EXPECT_EQ(dev->count(), 0u);
    EXPECT_EQ(own->count(), 1u);
}

// ---- misuse ---------------------------------------------------------------

TEST_F(LoggerT, UnboundLoggerThrowsNotInitialized) {
    loggerT none;
    auto expectCode1 = [](auto&& fn) {
        try {
            fn();
            ADD_FAILURE() << "no exception";
        } catch (const rux::logExceptionT& e) {
            EXPECT_EQ(e.code(), 1);
            EXPECT_STREQ(e.what(), "handle has not been initialized");
        }
    };
    expectCode1([&] { none.level(); });
    expectCode1([&] { none.printTime(true); });
    expectCode1([&] { none.setLogDev(std::make_shared<captureDevT>()); });
    expectCode1([&] { none.getLogDev(); });
    expectCode1([&] { none.resetLogDev(); });
    expectCode1([&] { loggerT::logbufT line(none, lv::INFO, nullptr); });
    expectCode1([&] { none.print(lv::INFO, nullptr, "x"); });
}

TEST_F(LoggerT, EmptyDeviceIsRefused) {
    loggerT log("misuse.empty");
    EXPECT_THROW(log.setLogDev(nullptr), rux::logExceptionT);
    EXPECT_THROW(loggerT::setDefLogDev(nullptr), rux::logExceptionT);
    EXPECT_EQ(log.getLogDev(), dev);
    EXPECT_EQ(loggerT::getDefLogDev(), dev);
}

TEST(LogExceptionT, TextsByCode) {
    EXPECT_STREQ(rux::logExceptionT(0).what(), "invalid parameter");
    EXPECT_STREQ(rux::logExceptionT(1).excp2str(), "handle has not been initialized");
    EXPECT_STREQ(rux::logExceptionT(2).what(), "device I/o error");
    EXPECT_STREQ(rux::logExceptionT(3).what(), "");
    EXPECT_STREQ(rux::logExceptionT(-1).what(), "");
}

// ---- level names ----------------------------------------------------------

TEST(LoggerLevelsT, NamesRoundTripCaseSensitively) {
    const char* names[] = {"NODUMP",  "EMERGENCY", "ALERT", "CRITICAL", "ERROR",
                           "WARNING", "NOTICE",    "INFO",  "DEBUG",    "DUMP"};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(loggerT::lev2str(i), names[i]);
        int l = -1;
        EXPECT_TRUE(loggerT::str2lev(names[i], l));
        EXPECT_EQ(l, i);
    }
    int l = 42;
    EXPECT_FALSE(loggerT::str2lev("info", l));
    EXPECT_FALSE(loggerT::str2lev("", l));
    EXPECT_EQ(l, 42);
    EXPECT_EQ(loggerT::lev2str(10), "");
    EXPECT_EQ(loggerT::lev2str(-1), "");
    EXPECT_EQ(loggerT::levelTable().size(), 10u);
}

// ---- print ----------------------------------------------------------------

TEST_F(LoggerT, PrintFormatsLikePrintf) {
    loggerT log("print.fmt");
    log.printTime(false);
    log.print(lv::DEBUG, "run", "%s=%05d\n", "x", 42);
    EXPECT_EQ(dev->texts(), std::vector<std::string>{"DBG print.fmt -> { run } x=00042\n"});
}

TEST_F(LoggerT, PrintGrowsBeyondTheFirstBuffer) {
    loggerT log("print.long");
    log.printTime(false);
    std::string big(5000, 'a');
    for (size_t n : {255u, 256u, 257u, 5000u}) {
        log.print(lv::INFO, nullptr, "%s|", big.substr(0, n).c_str());
        EXPECT_EQ(dev->texts().back(), "INF print.long -> " + big.substr(0, n) + "|");
    }
}

TEST_F(LoggerT, PrintFormattingFailureGivesFixedText) {
    loggerT log("print.fail");
    log.printTime(false);
    // A wide character the "C" locale cannot encode makes vsnprintf fail.
    const wchar_t bad[] = {wchar_t(0x20AC), 0};
    log.print(lv::INFO, nullptr, "%ls", bad);
    EXPECT_EQ(dev->texts(), std::vector<std::string>{"INF print.fail -> !! PRINT TOO LONG !!\n"});
}
