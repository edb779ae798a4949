#include "sal/timer.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sal/cond.h"
#include "sal/mutex.h"

namespace {

const rux::timeT kBound(60, 0); // generous bound for anything that must happen

// Records labelled events with their monotonic times; waits for a count.
class logT {
public:
    void note(const std::string& what) {
        rux::lockT<rux::mutexT> g(_m);
        _events.push_back(what);
        _times.push_back(rux::timeT(rux::monCLK));
        _c.signal();
    }
    bool waitFor(size_t n) {
        rux::lockT<rux::mutexT> g(_m);
        rux::timeT until = rux::timeT(rux::monCLK) + kBound;
        while (_events.size() < n) {
            rux::timeT left = until - rux::timeT(rux::monCLK);
            if (left.nonPositive())
                return false;
            _c.wait(_m, left);
        }
        return true;
    }
    std::vector<std::string> events() {
        rux::lockT<rux::mutexT> g(_m);
        return _events;
    }
    std::vector<rux::timeT> times() {
        rux::lockT<rux::mutexT> g(_m);
        return _times;
    }

private:
    rux::mutexT _m;
    rux::condT _c;
    std::vector<std::string> _events;
    std::vector<rux::timeT> _times;
};

rux::functorT noting(logT& log, const std::string& what) {
    return rux::functorT([&log, what] { log.note(what); });
}

TEST(TimerFactoryT, RunsOneShotsInDueOrder) {
    logT log;
    rux::timerFactoryT f("order");
    f.oneshot(noting(log, "200"), rux::timeT::fromMs(200));
    f.oneshot(noting(log, "100"), rux::timeT::fromMs(100));
    f.oneshot(noting(log, "0"), rux::timeT());
    ASSERT_TRUE(log.waitFor(3));
    EXPECT_EQ(log.events(), (std::vector<std::string>{"0", "100", "200"}));
}

TEST(TimerFactoryT, AnEarlierTimerWakesTheWait) {
    logT log;
    rux::timerFactoryT f("wake");
    f.oneshot(noting(log, "late"), rux::timeT(30, 0));
    ASSERT_TRUE(log.waitFor(0));
    f.oneshot(noting(log, "early"), rux::timeT::fromMs(20));
    ASSERT_TRUE(log.waitFor(1));
    EXPECT_EQ(log.events(), (std::vector<std::string>{"early"})); // not stuck behind "late"
}

TEST(TimerFactoryT, LatePeriodicRunsOnceInsteadOfCatchingUp) {
    logT log;
    rux::timerFactoryT f("late");
    int runs = 0;
    f.periodic(rux::functorT([&] {
                   log.note("run");
                   if (++runs == 1)
                       rux::sleep(rux::timeT::fromMs(350)); // falls behind by three periods
               }),
               rux::timeT::fromMs(100), rux::timeT());
    ASSERT_TRUE(log.waitFor(4));
    auto t = log.times();
    // Run 2 follows the slow run at once; run 3 keeps the period from there.
    EXPECT_GE((t[2] - t[1]).ms(), 90);
    EXPECT_GE((t[3] - t[2]).ms(), 90);
}

TEST(TimerFactoryT, CancelledTimersNeverRun) {
    logT log;
    rux::timerFactoryT f("cancel");
    auto once = f.oneshot(noting(log, "cancelled"), rux::timeT::fromMs(10));
    once->cancel();
    int runs = 0;
    rux::timerFactoryT::timerT every;
    rux::mutexT m;
    {
        rux::lockT<rux::mutexT> g(m); // `every` is set before the first run reads it
        every = f.periodic(rux::functorT([&] {
                               rux::lockT<rux::mutexT> h(m);
                               log.note("tick");
                               if (++runs == 2)
                                   every->cancelled = true;
                           }),
                           rux::timeT::fromMs(5), rux::timeT());
    }
    ASSERT_TRUE(log.waitFor(2));
    f.oneshot(noting(log, "sentinel"), rux::timeT::fromMs(100));
    ASSERT_TRUE(log.waitFor(3));
    EXPECT_EQ(log.events(), (std::vector<std::string>{"tick", "tick", "sentinel"}));
}

TEST(TimerFactoryT, DestructionDiscardsPendingTimers) {
    logT log;
    std::weak_ptr<rux::timerFactoryT::_timerCtxT> pending;
    {
        rux::timerFactoryT f("doomed");
        f.oneshot(noting(log, "first"), rux::timeT());
        ASSERT_TRUE(log.waitFor(1));
        pending = f.oneshot(noting(log, "never"), rux::timeT(3600, 0));
        f.periodic(noting(log, "never either"), rux::timeT(3600, 0), rux::timeT(3600, 0));
    }
    EXPECT_TRUE(pending.expired()); // the queue let go of it
    EXPECT_EQ(log.events(), (std::vector<std::string>{"first"}));
}

TEST(TimerFactoryT, CallbacksMayAddTimersToTheirFactory) {
    logT log;
    rux::timerFactoryT f("nested");
    f.oneshot(rux::functorT([&] {
                  log.note("outer");
                  f.oneshot(noting(log, "inner"), rux::timeT());
              }),
              rux::timeT());
    ASSERT_TRUE(log.waitFor(2));
    EXPECT_EQ(log.events(), (std::vector<std::string>{"outer", "inner"}));
}

TEST(TimerFactoryT, DefaultNameIsDerivedFromTheFactory) {
    rux::timerFactoryT a, b;
    EXPECT_EQ(a.name().rfind("timer factory #", 0), 0u);
    EXPECT_NE(a.name(), b.name());
    rux::timerFactoryT named("ipc timers");
    EXPECT_EQ(named.name(), "ipc timers");
}

TEST(PtqueueT, FullQueueWaitsForRoom) {
    rux::ptqueueT<int, 2> q;
    q.push(1, rux::timeT(1, 0));
    q.push(2, rux::timeT(2, 0));
    bool pushed = false;
    rux::threadT::handleT h = rux::threadT::create("pusher");
    h.start(rux::functorT([&] {
        q.push(3, rux::timeT(3, 0));
        rux::lockT<rux::mutexT> g(q.mutex());
        pushed = true;
    }));
    {
        rux::lockT<rux::mutexT> g(q.mutex());
        EXPECT_FALSE(pushed);
        ASSERT_TRUE(q._full());
        q.notFull().signal(); // a wake-up without room changes nothing
        q._pop();
        q.notFull().signal();
    }
    h->wait();
    EXPECT_TRUE(pushed);
    EXPECT_EQ(q.size(), 2u);
}

} // namespace
