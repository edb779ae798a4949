#include "sal/poller.h"

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "runtime_dir.h"
#include "sockctx.h"

namespace {

using namespace std::chrono_literals;

const rux::timeT kLong(60, 0); // generous: a ready socket returns long before

using PollerT = runtimeDirT;
using pollT = rux::pollerT<rux::socketT*, int>;

// Collects user value -> flags of one wait.
std::map<int, unsigned> ready(pollT& p, const rux::timeT& t) {
    std::map<int, unsigned> out;
    for (auto it = p.wait(t); !it.end(); ++it)
        out[it->user] = it->flags;
    return out;
}

rux::dgramT bytes(const std::string& s) {
    rux::dgramT d{uint32_t(s.size())};
    d.write(s.data(), uint32_t(s.size()));
    return d;
}

struct mixT {
    rux::srvSocketT<rux::streamSocketT> tcpSrv;
    rux::streamSocketT tcpC, tcpS;
    rux::srvSocketT<rux::seqSocketT> seqSrv;
    rux::seqSocketT seqC, seqS;
    rux::streamSocketT pipeR, pipeW;
    mixT() {
        rux::ipv4SockAddrT at;
        EXPECT_TRUE(tcpSrv.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0), 1));
        EXPECT_TRUE(tcpSrv.name(at));
        EXPECT_TRUE(tcpC.connect(at));
        EXPECT_TRUE(tcpSrv.accept(tcpS, at));
        rux::unixSockAddrT u("mix");
        EXPECT_TRUE(seqSrv.bind(u, 1));
        EXPECT_TRUE(seqC.connect(u));
        EXPECT_TRUE(seqSrv.accept(seqS, u));
        rux::namelessPipeSockAddrT n;
        EXPECT_TRUE(pipeR.bind(n));
        EXPECT_TRUE(pipeW.connect(n));
    }
};

TEST_F(PollerT, ReportsOnlyTheReadyOnesOfAMix) {
    mixT m;
    pollT p;
    ASSERT_TRUE(p.add(&m.tcpS, 1, 10));
    ASSERT_TRUE(p.add(&m.seqS, 1, 20));
    ASSERT_TRUE(p.add(&m.pipeR, 1, 30));
    ASSERT_TRUE(p.add(&m.seqSrv, 1, 40));

    EXPECT_TRUE(ready(p, rux::timeT()).empty()); // nothing yet, no waiting

    ASSERT_EQ(m.pipeW.write("S", 1), 1);
    EXPECT_EQ(ready(p, kLong), (std::map<int, unsigned>{{30, 1}}));
    EXPECT_EQ(ready(p, kLong), (std::map<int, unsigned>{{30, 1}})); // nothing was consumed
    char c;
    ASSERT_EQ(m.pipeR.read(&c, 1), 1);

    ASSERT_TRUE(m.seqC.send(bytes("hello"), rux::unixSockAddrT()));
    ASSERT_EQ(m.tcpC.write("x", 1), 1);
    std::map<int, unsigned> both;
    while (both.size() < 2) // the two may land in separate waits
        for (auto& [k, v] : ready(p, kLong))
            both[k] = v;
    EXPECT_EQ(both, (std::map<int, unsigned>{{10, 1}, {20, 1}}));
    EXPECT_EQ(m.seqS.avail(), 5);

    rux::seqSocketT extra;
    ASSERT_TRUE(extra.connect(rux::unixSockAddrT("mix")));
    auto r = ready(p, kLong);
    EXPECT_EQ(r.count(40), 1u); // a pending connection reads as readable
}

TEST_F(PollerT, PeerCloseIsReadableWithNothingToRead) {
    mixT m;
    pollT p;
    ASSERT_TRUE(p.add(&m.seqS, 1, 1));
    ASSERT_TRUE(p.add(&m.pipeR, 1, 2));
    m.seqC.close();
    m.pipeW.close();
    auto r = ready(p, kLong);
    while (r.size() < 2)
        for (auto& [k, v] : ready(p, kLong))
            r[k] = v;
    EXPECT_EQ(r[1], 1u);
    EXPECT_EQ(r[2], 1u);
    EXPECT_EQ(m.seqS.avail(), 0);
    EXPECT_EQ(m.pipeR.avail(), 0);
}

TEST_F(PollerT, WaitsForTheFirstToBecomeReady) {
    mixT m;
    pollT p;
    ASSERT_TRUE(p.add(&m.tcpS, 1, 7));
    auto f = std::async(std::launch::async, [&] { return ready(p, kLong); });
    EXPECT_EQ(f.wait_for(0s), std::future_status::timeout);
    ASSERT_EQ(m.tcpC.write("late", 4), 4);
    EXPECT_EQ(f.get(), (std::map<int, unsigned>{{7, 1}}));
}

TEST_F(PollerT, WritableUnlessAWriteIsStillInFlight) {
    rux::srvSocketT<rux::seqSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("full"), 1));
    rux::seqSocketT c, s;
    rux::unixSockAddrT u("full");
    ASSERT_TRUE(c.connect(u));
    ASSERT_TRUE(srv.accept(s, u));
    pollT p;
    ASSERT_TRUE(p.add(&c, 2, 1));
    EXPECT_EQ(ready(p, rux::timeT()), (std::map<int, unsigned>{{1, 2}}));

    // Fill the connection until a message has to wait for room.
    rux::dgramT chunk{16384};
    chunk.trunc(16384);
    int sent = 0;
    while (!c.context()->pendingWrite) {
        ASSERT_TRUE(c.send(chunk, u));
        ASSERT_LT(++sent, 100000);
    }
    EXPECT_TRUE(ready(p, rux::timeT()).empty()); // a full socket is not writable

    auto f = std::async(std::launch::async, [&] { return ready(p, kLong); });
    rux::dgramT got;
    for (int i = 0; i < sent; ++i) {
        ASSERT_TRUE(s.recv(got, u));
        ASSERT_EQ(got.length(), 16384u);
    }
    EXPECT_EQ(f.get(), (std::map<int, unsigned>{{1, 2}}));
}

TEST_F(PollerT, ErrorsForClosedAndShutSockets) {
    pollT p;
    rux::streamSocketT closed;
    ASSERT_TRUE(p.add(&closed, 1, 1));
    EXPECT_EQ(ready(p, kLong), (std::map<int, unsigned>{{1, 4}}));

    pollT q;
    rux::srvSocketT<rux::seqSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("shut"), 1));
    ASSERT_TRUE(q.add(&srv, 5, 9));
    auto f = std::async(std::launch::async, [&] { return ready(q, kLong); });
    auto until = std::chrono::steady_clock::now() + 60s;
    while (f.wait_for(10ms) != std::future_status::ready &&
           std::chrono::steady_clock::now() < until)
        srv.shutdown(3);
    EXPECT_EQ(f.get(), (std::map<int, unsigned>{{9, 4}}));
    EXPECT_EQ(ready(q, kLong), (std::map<int, unsigned>{{9, 4}})); // and stays so
}

TEST_F(PollerT, EntriesAreCheckedOnAdd) {
    pollT p;
    rux::streamSocketT s;
    EXPECT_FALSE(p.add(nullptr, 1, 0));
    EXPECT_FALSE(p.add(&s, 0, 0));
    EXPECT_TRUE(p.empty());
    EXPECT_TRUE(ready(p, kLong).empty()); // nothing to wait for: at once
}

TEST_F(PollerT, RemoveAndSharedPointers) {
    mixT m;
    auto shared = std::make_shared<rux::streamSocketT>(m.pipeR);
    rux::pollerT<std::shared_ptr<rux::streamSocketT>, std::string> p;
    ASSERT_TRUE(p.add(shared, 1, "pipe"));
    ASSERT_EQ(m.pipeW.write("x", 1), 1);
    auto it = p.wait(kLong);
    ASSERT_FALSE(it.end());
    EXPECT_EQ(it.user(), "pipe");
    EXPECT_EQ(it.socket(), shared);
    EXPECT_TRUE(p.remove(shared));
    EXPECT_FALSE(p.remove(shared));
    EXPECT_TRUE(p.wait(kLong).end());
}

} // namespace
