#include "sal/thread.h"

#include <atomic>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "sal/time.h"

namespace {

using rux::threadT;

// A gate that a thread body waits on until the test opens it.
struct gateT {
    rux::mutexT m;
    rux::condT c;
    bool open = false;
    bool entered = false;

    void body() {
        rux::lockT<rux::mutexT> g(m);
        entered = true;
        c.signal();
        while (!open)
            c.wait(m);
    }
    void release() {
        rux::lockT<rux::mutexT> g(m);
        open = true;
        c.signal();
    }
};

bool inTable(uint32_t tid) {
    threadT::iteratorT it;
    it.reset();
    return it.find(tid);
}

// Polls a condition that another thread makes true, with a generous bound.
template <class F> bool eventually(F f) {
    for (int i = 0; i < 10000; ++i) {
        if (f())
            return true;
        rux::sleep(rux::timeT::fromMs(1));
    }
    return f();
}

TEST(threadT, StartReturnsOnceTheThreadIsInTheTable) {
    gateT gate;
    threadT::handleT h = threadT::create("worker");
    EXPECT_EQ(h->status(), threadT::enNEW);
    EXPECT_EQ(h->tid(), 0u);
    h.start(&gate, &gateT::body);
    EXPECT_EQ(h->status(), threadT::enRUNNING);
    EXPECT_NE(h->tid(), 0u);
    EXPECT_TRUE(inTable(h->tid()));
    EXPECT_EQ(h->name(), "worker");
    EXPECT_EQ(h->count(), 1u);
    gate.release();
    h->wait();
    EXPECT_EQ(h->status(), threadT::enZOMBIE);
}

TEST(threadT, OsThreadCarriesTheNameCutToTheKernelLimit) {
    gateT gate;
    threadT::handleT h = threadT::create("a-rather-long-thread-name");
    h.start(&gate, &gateT::body);
    std::ifstream comm("/proc/self/task/" + std::to_string(h->tid()) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "a-rather-long-t");
    gate.release();
    h->wait();
}

TEST(threadT, RunningThreadWithoutHandlesDetachesAndFreesItself) {
    gateT gate;
    threadT::handleT h = threadT::create("detaching");
    h.start(&gate, &gateT::body);
    const uint32_t tid = h->tid();
    h.reset();
    {
        threadT::iteratorT it;
        it.reset();
        ASSERT_TRUE(it.find(tid));
        EXPECT_EQ(it->status(), threadT::enDETACHED);
        EXPECT_EQ(it->count(), 0u);
    }
    gate.release();
    EXPECT_TRUE(eventually([&] { return !inTable(tid); }));
}

TEST(threadT, ZombieStaysInTableUntilItsLastHandleGoes) {
    threadT::handleT h = threadT::create("short");
    std::atomic<bool> ran{false};
    h.start(rux::functorT([&] { ran = true; }));
    h->wait();
    EXPECT_TRUE(ran);
    EXPECT_EQ(h->status(), threadT::enZOMBIE);
    const uint32_t tid = h->tid();
    threadT::handleT copy = h;
    EXPECT_EQ(h->count(), 2u);
    h.reset();
    EXPECT_TRUE(inTable(tid));
    copy.reset();
    EXPECT_FALSE(inTable(tid));
}

TEST(threadT, NewRecordReleasedWithoutStartNeverRuns) {
    threadT::handleT h = threadT::create("never");
    threadT::handleT other = h;
    EXPECT_EQ(other->count(), 2u);
    h.reset();
    other.reset();
    EXPECT_FALSE(other.valid());
}

TEST(threadT, SelfOnAFrameworkThreadIsItsOwnRecord) {
    threadT::handleT h = threadT::create("selfish");
    uint32_t seenTid = 0;
    unsigned seenCount = 0;
    std::string seenName;
    h.start(rux::functorT([&] {
        threadT::handleT me = threadT::self();
        seenTid = me->tid();
        seenCount = me->count();
        seenName = me->name();
    }));
    h->wait();
    EXPECT_EQ(seenTid, h->tid());
    EXPECT_EQ(seenCount, 2u);
    EXPECT_EQ(seenName, "selfish");
}

TEST(threadT, SelfOnAForeignThreadIsAnUnlisted3ppRecord) {
    std::string name;
    threadT::statusT status = threadT::enNEW;
    uint32_t tid = 0;
    bool listed = true;
    std::thread([&] {
        threadT::handleT me = threadT::self();
        name = me->name();
        status = me->status();
        tid = me->tid();
        listed = inTable(tid);
    }).join();
    EXPECT_EQ(name, "3PP");
    EXPECT_EQ(status, threadT::en3PP);
    EXPECT_NE(tid, 0u);
    EXPECT_FALSE(listed);
    EXPECT_STREQ(threadT::statusText(status), "3pp");
}

TEST(threadT, WaitOnA3ppRecordReturnsWhenTheThreadEnds) {
    gateT gate;
    threadT::handleT foreign;
    std::thread t([&] {
        {
            rux::lockT<rux::mutexT> g(gate.m);
            foreign = threadT::self();
        }
        gate.body();
    });
    EXPECT_TRUE(eventually([&] {
        rux::lockT<rux::mutexT> g(gate.m);
        return gate.entered;
    }));
    gate.release();
    foreign->wait();
    t.join();
}

TEST(threadT, MainThreadRecordIsSetUpAtLoad) {
    // gtest runs tests on the thread that loaded the library.
    threadT::handleT me = threadT::self();
    EXPECT_EQ(me->name(), "main");
    EXPECT_EQ(me->tid(), uint32_t(getpid()));
    EXPECT_TRUE(inTable(me->tid()));
}

TEST(threadT, SelfOnADetachedThreadKeepsItsRecordAlive) {
    gateT gate;
    threadT::handleT h = threadT::create("readopted");
    threadT::handleT again;
    h.start(rux::functorT([&] {
        gate.body();
        threadT::handleT me = threadT::self();
        rux::lockT<rux::mutexT> g(gate.m);
        again = me;
    }));
    h.reset(); // detached
    gate.release();
    EXPECT_TRUE(eventually([&] {
        rux::lockT<rux::mutexT> g(gate.m);
        return again.valid();
    }));
    again->wait();
    EXPECT_EQ(again->status(), threadT::enZOMBIE);
    EXPECT_EQ(again->name(), "readopted");
}

TEST(threadT, IterationStaysValidWhileThreadsComeAndGo) {
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        while (!stop) {
            threadT::handleT h = threadT::create("churn");
            h.start(rux::functorT([] {}));
            if (h->tid() % 2)
                h->wait();
        }
    });
    for (int round = 0; round < 200; ++round) {
        threadT::iteratorT it;
        unsigned seen = 0;
        for (it.reset(); !it.end(); ++it) {
            (void)it->name();
            (void)it->status();
            ++seen;
        }
        EXPECT_GE(seen, 1u);
    }
    stop = true;
    churn.join();
}

TEST(threadT, DetachedThreadEndingDuringAnIterationReadsAsEnded) {
    gateT gate;
    threadT::handleT h = threadT::create("ending");
    h.start(&gate, &gateT::body);
    const uint32_t tid = h->tid();
    h.reset();
    threadT::iteratorT it;
    it.reset();
    ASSERT_TRUE(it.find(tid));
    gate.release();
    // The record outlives its thread until close(); its id may already be reused.
    EXPECT_TRUE(eventually([&] { return it->status() == threadT::enZOMBIE; }));
    EXPECT_FALSE(it->priority(threadT::enLOW, 0));
    EXPECT_FALSE(it.find(tid));
    it.close();
}

TEST(threadT, IteratorFindNeedsTheLock) {
    threadT::iteratorT it;
    EXPECT_FALSE(it.find(uint32_t(getpid())));
    it.reset();
    EXPECT_TRUE(it.find(uint32_t(getpid())));
    EXPECT_FALSE(it.find(0));
    EXPECT_TRUE(it.end());
    it.close();
    EXPECT_FALSE(it.find(uint32_t(getpid())));
}

TEST(threadT, PriorityLevelLimit) {
    EXPECT_EQ(threadT::prioT(threadT::enHIGH, 79).level(), 79u);
    EXPECT_DEATH(threadT::prioT(threadT::enHIGH, 80), "val > maxVal");
}

TEST(threadT, PriorityRoundTripsThroughTheKernel) {
    gateT gate;
    threadT::handleT h = threadT::create("prio");
    h.start(&gate, &gateT::body);
    // Only lowering steps, which need no privileges.
    ASSERT_TRUE(h->priority(threadT::enLOW, 45));
    EXPECT_EQ(h->priority(), threadT::prioT(threadT::enLOW, 40));
    ASSERT_TRUE(h->priority(threadT::enLOW, 0));
    EXPECT_EQ(h->priority(), threadT::prioT(threadT::enLOW, 0));
    ASSERT_TRUE(h->priority(threadT::enBATCH, 10));
    EXPECT_EQ(h->priority(), threadT::prioT(threadT::enBATCH, 0));
    // Raising priority needs privileges; without them the change is refused, not fatal.
    if (h->priority(threadT::enHIGH, 40)) {
        EXPECT_EQ(h->priority(), threadT::prioT(threadT::enHIGH, 40));
    }
    gate.release();
    h->wait();
    EXPECT_FALSE(h->priority(threadT::enNORMAL, 0));
}

TEST(threadT, PriorityRequestedBeforeStartIsApplied) {
    gateT gate;
    threadT::handleT h = threadT::create("early");
    EXPECT_TRUE(h->priority(threadT::enLOW, 0));
    h.start(&gate, &gateT::body);
    EXPECT_EQ(h->priority(), threadT::prioT(threadT::enLOW, 0));
    gate.release();
    h->wait();
}

void printingHook(const char* expr, const char* file, unsigned line) {
    fprintf(stderr, "hook:%s:%s:%u\n", expr, file, line);
}

void faultingHook(const char*, const char*, unsigned) {
    RUX_FAULT_IF(2 + 2 == 4);
}

class threadDeathT : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(threadDeathT, MisuseIsAnAssertion) {
    EXPECT_DEATH(threadT::handleT().start(rux::functorT([] {})), "!valid\\(\\)");
    EXPECT_DEATH(threadT::proxyT().tid(), "_pThread == 0");
    EXPECT_DEATH(threadT::self()->wait(), "_tid == _self\\(\\)");
    EXPECT_DEATH(
        {
            threadT::handleT h = threadT::create("twice");
            h.start(rux::functorT([] {}));
            h.start(rux::functorT([] {}));
        },
        "_status != enNEW");
    EXPECT_DEATH(
        {
            threadT::iteratorT it;
            ++it;
        },
        "!_valid");
    EXPECT_DEATH(
        {
            threadT::iteratorT a;
            threadT::iteratorT b;
            a.reset();
            b.reset();
        },
        "_tlock == myTid");
}

TEST_F(threadDeathT, FaultHookGetsTheThreeFacts) {
    EXPECT_DEATH(
        {
            rux::setFaultHook(&printingHook);
            RUX_FAULT_IF(1 + 1 == 2);
        },
        "hook:1 \\+ 1 == 2:.*thread_test.cpp:[0-9]+");
    EXPECT_DEATH(RUX_OS_CHECK(false), "assertion \"1\" failed at .*thread_test.cpp");
    EXPECT_DEATH(
        {
            rux::setFaultHook(&faultingHook);
            RUX_FAULT_IF(1 + 1 == 2);
        },
        "assertion \"2 \\+ 2 == 4\" failed");
}

} // namespace
