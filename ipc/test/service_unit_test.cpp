// Pieces of the service client that need no daemon: the output scheduler, the
// name table, the decoupler, the exception texts and the misuse of handles.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/service.h"
#include "service_decoupler.h"
#include "service_names.h"
#include "service_scheduler.h"

using namespace rux;
using namespace rux::impl;

namespace {

dgramT tagged(char tag) {
    dgramT d(1);
    d.write(&tag, 1);
    return d;
}

char tagOf(schedulerT& s, unsigned prio) {
    return s.front(prio).dgram.buf()[0];
}

// Drains the scheduler at `now` the way the I/O thread does; the tags sent.
std::string drain(schedulerT& s, const timeT& now, timeT& wait) {
    std::string out;
    for (int k; (k = s.next(now, wait)) >= 0;) {
        out += tagOf(s, unsigned(k));
        s.pop(unsigned(k));
        s.sent(unsigned(k), now);
    }
    return out;
}

TEST(SchedulerT, MoreUrgentFirstAndArrivalOrderWithinAPriority) {
    schedulerT s;
    s.configure({}, 120);
    s.push(3, tagged('a'), 1);
    s.push(0, tagged('b'), 1);
    s.push(3, tagged('c'), 1);
    s.push(1, tagged('d'), 1);
    timeT wait;
    EXPECT_EQ(drain(s, timeT(100, 0), wait), "bdac");
    EXPECT_TRUE(wait.nonPositive());
    EXPECT_TRUE(s.empty());
}

TEST(SchedulerT, HoldKeepsLessUrgentBackUntilItEnds) {
    schedulerT s;
    s.configure({{ipcPrioT(0), timeT::fromMs(100)}}, 120);
    timeT t0(50, 0);
    s.push(0, tagged('u'), 1);
    s.push(2, tagged('l'), 1);
    timeT wait;
    EXPECT_EQ(drain(s, t0, wait), "u");
    EXPECT_EQ(wait, timeT::fromMs(100));
    EXPECT_EQ(drain(s, t0 + timeT::fromMs(99), wait), "");
    EXPECT_EQ(wait, timeT::fromMs(1));
    // A second urgent datagram within the hold goes at once and extends it.
    s.push(0, tagged('v'), 1);
    EXPECT_EQ(drain(s, t0 + timeT::fromMs(99), wait), "v");
    EXPECT_EQ(drain(s, t0 + timeT::fromMs(150), wait), "");
    EXPECT_EQ(drain(s, t0 + timeT::fromMs(199), wait), "l");
}

TEST(SchedulerT, NextUpOnlyForTheDatagramThatWouldLeaveNext) {
    schedulerT s;
    s.configure({{ipcPrioT(1), timeT::fromMs(10)}}, 2);
    timeT now(10, 0);
    EXPECT_TRUE(s.nextUp(4, now));
    s.sent(1, now); // a priority-1 hold is running
    EXPECT_TRUE(s.nextUp(0, now));
    EXPECT_TRUE(s.nextUp(1, now)); // its own hold does not hold it
    EXPECT_FALSE(s.nextUp(2, now));
    EXPECT_TRUE(s.nextUp(2, now + timeT::fromMs(10)));
    s.push(3, tagged('x'), 1);
    EXPECT_FALSE(s.nextUp(3, now + timeT::fromMs(10))); // an older one goes first
    EXPECT_TRUE(s.nextUp(2, now + timeT::fromMs(10)));
    EXPECT_FALSE(s.full(3));
    s.push(3, tagged('y'), 1);
    EXPECT_TRUE(s.full(3));
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_TRUE(s.nextUp(4, now));
}

TEST(NameTableT, BothWaysAndHugeIdsCostNothing) {
    nameTableT t;
    t.setEntry("drv", 3);
    t.setEntry("ui", 0xFFFFFFF0u);
    EXPECT_EQ(t.id("ui"), 0xFFFFFFF0u);
    EXPECT_EQ(t.name(0xFFFFFFF0u), "ui");
    EXPECT_EQ(t.name(4), "");
    EXPECT_EQ(t.id("nobody"), 0u);
    t.setEntry("drv", 5); // reconnected under a new id
    EXPECT_EQ(t.name(3), "");
    EXPECT_EQ(t.id("drv"), 5u);
    t.setEntry("other", 5); // the id went to another name
    EXPECT_EQ(t.id("drv"), 0u);
    t.delEntry(0xFFFFFFF0u);
    t.delEntry("other");
    EXPECT_TRUE(t.byId().empty());
}

struct recorderT {
    std::mutex m;
    std::condition_variable cv;
    std::string seen;
    void add(char c) {
        std::lock_guard<std::mutex> g(m);
        seen += c;
        cv.notify_all();
    }
    bool waitLen(size_t n) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::seconds(30), [&] { return seen.size() >= n; });
    }
};

// CONCURRENCY
TEST(DecouplerT, RunsInArrivalOrderAndSurvivesThrowingCallbacks) {
    recorderT rec;
    std::atomic<int> errors{0};
    decouplerT dec(
        "test::decoupler",
        [&](callerT& c) {
            if (c.src == "throw")
                throw std::runtime_error("callback failed");
            rec.add(c.src[0]);
        },
        [&](const callerT&, const char* what) {
            EXPECT_STREQ(what, "callback failed");
            ++errors;
        });
    std::string expect;
    for (int i = 0; i < 2000; ++i) {
        callerT c;
        c.src = std::string(1, char('a' + i % 26));
        expect += c.src;
        dec.push(std::move(c));
        if (i % 500 == 0) {
            callerT t;
            t.src = "throw";
            dec.push(std::move(t));
        }
    }
    ASSERT_TRUE(rec.waitLen(expect.size()));
    EXPECT_EQ(rec.seen, expect);
    EXPECT_EQ(errors.load(), 4);
    EXPECT_TRUE(dec.stop(5000));
}

TEST(IpcExceptionT, TextsOfTheCodes) {
    const char* texts[] = {"invalid parameter", "handle has not been initialized",
                           "service has already been bound to a different ipc address",
                           "service is not bound to any name", "wrong sequence of operations"};
    for (int c = 0; c < 5; ++c)
        EXPECT_STREQ(ipcExceptionT(c).what(), texts[c]);
    EXPECT_STREQ(ipcExceptionT(5).what(), "");
}

template <class F> int codeOf(F f) {
    try {
        f();
    } catch (const ipcExceptionT& e) {
        return e.code();
    }
    return -1;
}

TEST(IpcServiceT, MisuseThrowsTheCodesOfItsKind) {
    ipcServiceT::handleT empty;
    EXPECT_EQ(codeOf([&] { empty.name(); }), 1);
    EXPECT_EQ(codeOf([&] { empty.shutdown(); }), 1);

    ipcServiceT::handleT svc = ipcServiceT::handle("never-bound");
    EXPECT_EQ(svc.name(), "never-bound");
    EXPECT_EQ(ipcServiceT::handle("never-bound").operator->(), svc.operator->());
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(codeOf([&] { svc.send("x", ipcMessageT::create(1, 0)); }), 3);
    EXPECT_EQ(codeOf([&] { svc.send("x", ipcMessageT::create(1, 0), reply, timeT(1, 0)); }), 3);
    EXPECT_EQ(codeOf([&] { svc.bindAlias("a"); }), 3);
    EXPECT_EQ(codeOf([&] { svc.recv(reply, timeT(0, 1000)); }), 3);
    EXPECT_EQ(codeOf([&] { svc.send("x", nullptr); }), 0);
    svc.shutdown(); // nothing to stop
    EXPECT_EQ(codeOf([&] { svc.send("x", ipcMessageT::create(1, 0)); }), 3);
}

} // namespace
