// The service client against a daemon that misbehaves: one that never
// answers, answers oddly, stops reading, hands out huge ids or refuses a
// secondary name after a reconnection. The daemon side is scripted in a thread
// of the test over a real sequenced-packet socket.
#include <deque>
#include <mutex>
#include <condition_variable>
#include <future>
#include <thread>

#include "ipc/names.h"
#include "ipc/wire.h"
#include "sal/socket.h"
#include "service_fixture.h"

using namespace rux;
using namespace rux::impl;
using namespace svctest;

namespace {

auto* const g_env = ::testing::AddGlobalTestEnvironment(new envT);

// One scripted daemon: the listening socket and helpers for its side.
struct fakeDaemonT {
    srvSocketT<seqSocketT> srv;
    std::deque<seqSocketT> conns; // kept open until the end

    fakeDaemonT() { EXPECT_TRUE(srv.bind(daemonAddr, 8)); }
    ~fakeDaemonT() {
        srv.shutdown(3);
        for (auto& c : conns)
            c.shutdown(3);
    }
    // The next node and its attach request.
    seqSocketT* accept(ipcSubscrT& attach, ipcHeaderT& h) {
        seqSocketT c;
        unixSockAddrT peer;
        if (!srv.accept(c, peer))
            return nullptr;
        conns.push_back(c);
        if (!recvSubscr(conns.back(), h, attach))
            return nullptr;
        return &conns.back();
    }
    static bool recvSubscr(seqSocketT& c, ipcHeaderT& h, ipcSubscrT& s) {
        dgramT d;
        unixSockAddrT from;
        return c.recv(d, from) && d.length() > 0 && ipcParseSubscr(d, h, s);
    }
    static bool answer(seqSocketT& c, const ipcHeaderT& h, const ipcSubscrT& s, uint32_t status,
                       uint32_t id) {
        dgramT out;
        return ipcBuildSubscrResponse(out, h, s, status, id) && c.send(out, daemonAddr);
    }
    static bool up(seqSocketT& c, uint32_t to, uint32_t id, const std::string& name) {
        dgramT out;
        return ipcBuildNotif(out, to, ipcNotifT{id, true, name}) && c.send(out, daemonAddr);
    }
};

TEST(ServiceFaultT, UnansweredAttachIsRetriedAndShutdownStillEndsTheBind) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("mute");
    auto binding = std::async(std::launch::async, [&] { return svc.bind("node"); });
    ipcSubscrT s;
    ipcHeaderT h;
    ASSERT_TRUE(fake.accept(s, h));
    EXPECT_EQ(s.node, "node");
    // No answer: the node gives up on this connection and attaches anew.
    ASSERT_TRUE(fake.accept(s, h));
    auto t0 = std::chrono::steady_clock::now();
    svc.shutdown();
    EXPECT_EQ(binding.get(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST(ServiceFaultT, UnknownAttachStatusCountsAsARefusal) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("odd");
    shutterT shut{svc};
    auto binding = std::async(std::launch::async, [&] { return svc.bind("node"); });
    ipcSubscrT s;
    ipcHeaderT h;
    seqSocketT* c = fake.accept(s, h);
    ASSERT_TRUE(c);
    ASSERT_TRUE(fakeDaemonT::answer(*c, h, s, 7, 0));
    EXPECT_EQ(binding.get(), 1);
}

TEST(ServiceFaultT, HugeNodeIdIsOnlyAKey) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("huge");
    shutterT shut{svc};
    std::promise<dgramT> seen;
    std::thread daemon([&] {
        ipcSubscrT s;
        ipcHeaderT h;
        seqSocketT* c = fake.accept(s, h);
        if (!c || !fakeDaemonT::answer(*c, h, s, 0, 1) ||
            !fakeDaemonT::up(*c, 1, 0xFFFFFFF0u, "far-away"))
            return;
        dgramT d;
        unixSockAddrT from;
        if (c->recv(d, from))
            seen.set_value(d);
    });
    auto events = std::make_shared<eventsT>();
    svc.setEventHandler(events);
    ASSERT_EQ(svc.bind("node"), 0);
    ASSERT_TRUE(events->waitFor("UP far-away"));
    ASSERT_EQ(svc.send("far-away", text("hello")), 0);
    auto got = seen.get_future();
    ASSERT_EQ(got.wait_for(20s), std::future_status::ready);
    ipcHeaderT h;
    dgramT d = got.get();
    ASSERT_TRUE(ipcParseHeader(d, h));
    EXPECT_EQ(h.dstId, 0xFFFFFFF0u);
    EXPECT_EQ(h.srcId, 1u);
    daemon.join();
}

// CONCURRENCY: a daemon that stops reading freezes no thread but the sender.
TEST(ServiceFaultT, DaemonThatStopsReadingBlocksOnlyTheSenders) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("small"); // QUEUE_DIM 4
    std::thread daemon([&] {
        ipcSubscrT s;
        ipcHeaderT h;
        seqSocketT* c = fake.accept(s, h);
        if (c && fakeDaemonT::answer(*c, h, s, 0, 1))
            fakeDaemonT::up(*c, 1, 2, "peer");
        // ...and never reads again.
    });
    auto events = std::make_shared<eventsT>();
    svc.setEventHandler(events);
    ASSERT_EQ(svc.bind("node"), 0);
    ASSERT_TRUE(events->waitFor("UP peer"));
    std::atomic<int> sent{0};
    auto sender = std::async(std::launch::async, [&] {
        for (;;) {
            int r = svc.send("peer", text(std::string(1000, 'x')));
            if (r != 0)
                return r;
            ++sent;
        }
    });
    // Sends stop once the kernel and the output queues are full.
    int last = -1;
    while (sent.load() != last) {
        last = sent.load();
        std::this_thread::sleep_for(300ms);
    }
    // A call waiting for queue room ends at its time-out.
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("peer", text("call"), reply, timeT::fromMs(300)), 2);
    // The service lock is free: accessors and handlers answer at once.
    EXPECT_EQ(svc.getReceiver(), nullptr);
    svc.setEventHandler(events);
    auto t0 = std::chrono::steady_clock::now();
    svc.shutdown();
    EXPECT_EQ(sender.get(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    daemon.join();
}

// CONCURRENCY: a caller woken for a datagram after another reader had already
// ended its call still reads it: that wake-up may have been the only one sent
// for it. Here a DOWN ends two waiting calls and a message follows at once.
TEST(ServiceFaultT, WakeUpOfACallAlreadyEndedIsNotLost) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("wakes");
    shutterT shut{svc};
    constexpr int rounds = 40;
    std::mutex m;
    std::condition_variable cv;
    int upsWanted = 0; // rounds whose UP peer the test asked for
    std::thread daemon([&] {
        ipcSubscrT s;
        ipcHeaderT h;
        seqSocketT* c = fake.accept(s, h);
        if (!c || !fakeDaemonT::answer(*c, h, s, 0, 1) || !fakeDaemonT::up(*c, 1, 3, "other"))
            return;
        for (int round = 0; round < rounds; ++round) {
            {
                std::unique_lock<std::mutex> g(m);
                if (!cv.wait_for(g, 20s, [&] { return upsWanted > round; }))
                    return;
            }
            if (!fakeDaemonT::up(*c, 1, 2, "peer"))
                return;
            // Both callers wait once both requests are here.
            for (int i = 0; i < 2; ++i) {
                dgramT d;
                unixSockAddrT from;
                if (!c->recv(d, from))
                    return;
            }
            dgramT down;
            auto msg = ipcMessageT::create(4, 2);
            msg->write("ping", 4);
            ipcHeaderT mh = msg->_header();
            mh.srcId = 3;
            mh.dstId = 1;
            msg->_header(mh);
            if (!ipcBuildNotif(down, 1, ipcNotifT{2, false, "peer"}) || !c->send(down, daemonAddr) ||
                !c->send(msg->_dgram(), daemonAddr))
                return;
        }
    });
    auto events = std::make_shared<eventsT>();
    svc.setEventHandler(events);
    svc.setReceiver(std::make_shared<recordingReceiverT>(events));
    ASSERT_EQ(svc.bind("node"), 0);
    ASSERT_TRUE(events->waitFor("UP other"));
    for (int round = 0; round < rounds; ++round) {
        {
            std::lock_guard<std::mutex> g(m);
            upsWanted = round + 1;
        }
        cv.notify_all();
        ASSERT_TRUE(events->waitFor("UP peer", size_t(round + 1)));
        auto call = [&] {
            std::unique_ptr<ipcMessageT> reply;
            return svc.send("peer", text("q"), reply, timeT(20, 0));
        };
        auto a = std::async(std::launch::async, call);
        auto b = std::async(std::launch::async, call);
        EXPECT_EQ(a.get(), 3);
        EXPECT_EQ(b.get(), 3);
        // Nothing else arrives after the message: it is read now or never.
        ASSERT_TRUE(events->waitFor("msg other", size_t(round + 1), msT(3000))) << round;
    }
    daemon.join();
}

TEST(ServiceFaultT, RefusedAliasesAreNotOursAndRebindingHoldsConnecting) {
    fakeDaemonT fake;
    ipcServiceT::handleT svc = ipcServiceT::handle("rebind");
    shutterT shut{svc};
    std::promise<void> rebindSeen, answerNow;
    std::promise<std::vector<std::string>> asked;
    std::thread daemon([&] {
        ipcSubscrT s;
        ipcHeaderT h;
        seqSocketT* c = fake.accept(s, h);
        if (!c || !fakeDaemonT::answer(*c, h, s, 0, 1))
            return;
        for (int i = 0; i < 2; ++i) { // "good" is accepted, "bad" refused
            if (!fakeDaemonT::recvSubscr(*c, h, s))
                return;
            fakeDaemonT::answer(*c, h, s, s.node == "good" ? 0 : 2, 5 + i);
        }
        c->shutdown(3); // the connection breaks
        c = fake.accept(s, h);
        if (!c || !fakeDaemonT::answer(*c, h, s, 0, 1))
            return;
        std::vector<std::string> names;
        if (!fakeDaemonT::recvSubscr(*c, h, s))
            return;
        names.push_back(s.node);
        rebindSeen.set_value();
        answerNow.get_future().wait();
        fakeDaemonT::answer(*c, h, s, 2, 0); // refused this time
        // Anything else asked for arrives within a moment.
        dgramT d;
        unixSockAddrT from;
        if (c->avail() > 0 && c->recv(d, from) && ipcParseSubscr(d, h, s))
            names.push_back(s.node);
        asked.set_value(names);
    });
    ASSERT_EQ(svc.bind("node"), 0);
    EXPECT_EQ(svc.bindAlias("good"), 0);
    EXPECT_EQ(svc.bindAlias("bad"), 1);
    ASSERT_EQ(rebindSeen.get_future().wait_for(20s), std::future_status::ready);
    // Until the daemon answers, the service is still connecting.
    std::unique_ptr<ipcMessageT> reply;
    EXPECT_EQ(svc.send("nobody", text("x"), reply, timeT::fromMs(200)), 2);
    answerNow.set_value();
    EXPECT_EQ(svc.send("nobody", text("x"), reply, timeT(20, 0)), 3);
    auto names = asked.get_future();
    ASSERT_EQ(names.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(names.get(), std::vector<std::string>{"good"});
    daemon.join();
}

} // namespace
