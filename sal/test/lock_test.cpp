#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sal/cond.h"
#include "sal/rwlock.h"
#include "sal/sem.h"
#include "sal/thread.h"

namespace {

using rux::condT;
using rux::lockT;
using rux::mutexT;
using rux::timeT;

// Counts threads parked in a condition: a waiter bumps the count under the
// mutex right before waiting, so once the test holds the mutex and sees the
// count, that waiter is in the condition's list.
struct parkingT {
    mutexT m;
    condT c;
    condT arrived;
    int parked = 0;
    std::vector<int> woken;

    void park(int id) {
        lockT<mutexT> g(m);
        ++parked;
        arrived.signal();
        c.wait(m);
        woken.push_back(id);
        arrived.signal();
    }
    void awaitParked(int n) {
        while (parked < n)
            arrived.wait(m);
    }
    void awaitWoken(size_t n) {
        while (woken.size() < n)
            arrived.wait(m);
    }
};

TEST(mutexT, IsRecursive) {
    mutexT m;
    m.lock();
    m.lock();
    EXPECT_TRUE(m.trylock());
    m.unlock();
    m.unlock();
    std::atomic<bool> other{true};
    std::thread([&] { other = m.trylock(); }).join();
    EXPECT_FALSE(other);
    m.unlock();
    std::thread([&] {
        other = m.trylock();
        if (other)
            m.unlock();
    }).join();
    EXPECT_TRUE(other);
}

TEST(condT, PulseWakesTheOldestWaiterOnly) {
    parkingT p;
    std::thread a([&] { p.park(1); });
    {
        lockT<mutexT> g(p.m);
        p.awaitParked(1);
    }
    std::thread b([&] { p.park(2); });
    lockT<mutexT> g(p.m);
    p.awaitParked(2);
    p.c.pulse();
    p.awaitWoken(1);
    EXPECT_EQ(p.woken, std::vector<int>{1});
    p.c.pulse();
    p.awaitWoken(2);
    EXPECT_EQ(p.woken, (std::vector<int>{1, 2}));
    p.m.unlock();
    a.join();
    b.join();
    p.m.lock();
}

TEST(condT, SignalWakesEveryCurrentWaiter) {
    parkingT p;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&p, i] { p.park(i); });
    {
        lockT<mutexT> g(p.m);
        p.awaitParked(4);
        p.c.signal();
        p.awaitWoken(4);
        p.c.signal(); // nobody left: nothing happens
    }
    for (auto& t : ts)
        t.join();
}

TEST(condT, PulseAfterATimeOutWakesTheNextRealWaiter) {
    parkingT p;
    {
        lockT<mutexT> g(p.m);
        EXPECT_FALSE(p.c.wait(p.m, timeT::fromMs(5)));
    }
    std::thread b([&] { p.park(2); });
    lockT<mutexT> g(p.m);
    p.awaitParked(1);
    p.c.pulse(); // must not be spent on the timed-out entry
    p.awaitWoken(1);
    EXPECT_EQ(p.woken, std::vector<int>{2});
    p.m.unlock();
    b.join();
    p.m.lock();
}

TEST(condT, PulseWithOnlyTimedOutEntriesWakesNobodyLater) {
    mutexT m;
    condT c;
    lockT<mutexT> g(m);
    EXPECT_FALSE(c.wait(m, timeT::fromMs(1)));
    EXPECT_FALSE(c.wait(m, timeT::fromMs(1)));
    c.pulse();
    // The list is empty now: a new waiter is not woken by the spent pulse.
    EXPECT_FALSE(c.wait(m, timeT::fromMs(20)));
}

TEST(condT, SubMillisecondTimeOutDoesNotWait) {
    mutexT m;
    condT c;
    lockT<mutexT> g(m);
    timeT before(rux::monCLK);
    EXPECT_FALSE(c.wait(m, timeT(0, 999999)));
    EXPECT_LT((timeT(rux::monCLK) - before).ms(), 1000);
}

TEST(condT, TimedWaitWokenInTimeReportsTrue) {
    parkingT p;
    bool result = false;
    std::thread t([&] {
        lockT<mutexT> g(p.m);
        ++p.parked;
        p.arrived.signal();
        result = p.c.wait(p.m, timeT(60, 0));
    });
    {
        lockT<mutexT> g(p.m);
        p.awaitParked(1);
        p.c.pulse();
    }
    t.join();
    EXPECT_TRUE(result);
}

// With one shared hold left on l, a writer on another thread stays out until
// that hold is released.
void expectWriterWaitsForLastSharedHold(rux::rwlockT& l) {
    std::atomic<bool> got{false};
    std::thread w([&] {
        l.enterExclusive();
        got = true;
        l.leaveExclusive();
    });
    rux::sleep(timeT::fromMs(20));
    EXPECT_FALSE(got);
    l.leaveShared();
    w.join();
    EXPECT_TRUE(got);
}

TEST(rwlockT, SharedHoldsAreRecursive) {
    rux::rwlockT l;
    l.enterShared();
    l.enterShared();
    l.leaveShared();
    expectWriterWaitsForLastSharedHold(l);
}

TEST(rwlockT, UpgradeKeepsTheSharedHoldsAfterward) {
    rux::rwlockT l;
    l.enterShared();
    l.enterExclusive();
    l.enterExclusive();
    l.enterShared(); // an exclusive holder may read too
    l.leaveShared();
    l.leaveExclusive();
    l.leaveExclusive();
    expectWriterWaitsForLastSharedHold(l);
}

TEST(rwlockT, ClaimingWriterBlocksNewReaders) {
    rux::rwlockT l;
    mutexT m;
    std::vector<char> order;
    auto note = [&](char c) {
        lockT<mutexT> g(m);
        order.push_back(c);
    };
    l.enterShared();
    std::atomic<uint32_t> writer{0};
    std::thread w([&] {
        writer = rux::impl::selfTid();
        l.enterExclusive();
        note('W');
        l.leaveExclusive();
    });
    // Once the writer has claimed the lock, new readers must queue behind it.
    while (writer == 0 || l.owner() != writer)
        std::this_thread::yield();
    std::atomic<bool> readerIn{false};
    std::thread r;
    r = std::thread([&] {
        l.enterShared();
        readerIn = true;
        note('R');
        l.leaveShared();
    });
    rux::sleep(timeT::fromMs(20));
    EXPECT_FALSE(readerIn);
    l.leaveShared();
    w.join();
    r.join();
    EXPECT_EQ(order, (std::vector<char>{'W', 'R'}));
}

TEST(rwlockT, UpgradesUnderContentionStayExclusive) {
    rux::rwlockT l;
    int counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                l.enterShared();
                l.enterExclusive();
                int v = counter;
                counter = v + 1;
                l.leaveExclusive();
                l.leaveShared();
            }
        });
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(counter, 1200);
}

TEST(semT, CountsUnits) {
    rux::semT s(1);
    EXPECT_TRUE(s.trywait());
    EXPECT_FALSE(s.trywait());
    EXPECT_FALSE(s.wait(timeT::fromMs(1)));
    std::thread t([&] { s.post(); });
    s.wait();
    t.join();
    EXPECT_EQ(rux::semT::maxCount, 2147483647u);
}

TEST(semT, LargestTimeOutStillWaitsForAUnit) {
    rux::semT s;
    std::thread t([&] { s.post(); });
    EXPECT_TRUE(s.wait(timeT(2147483647, 999999999)));
    t.join();
}

} // namespace
