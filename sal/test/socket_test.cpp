#include "sal/socket.h"

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "runtime_dir.h"
#include "sal/devbuf.h"
#include "sal/poller.h"
#include "sal/sysinfo.h"
#include "sockctx.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kBound = 60s; // generous bound for anything that must finish

rux::dgramT message(size_t n, char seed) {
    rux::dgramT d{uint32_t(n)};
    for (size_t i = 0; i < n; ++i)
        d.buf()[i] = char(seed + i % 23);
    d.trunc(uint32_t(n));
    EXPECT_EQ(d.buf()[n - 1], char(seed + (n - 1) % 23)); // the pattern is really there
    return d;
}

bool sameBytes(const rux::dgramT& a, const rux::dgramT& b) {
    return a.length() == b.length() && std::equal(a.buf(), a.buf() + a.length(), b.buf());
}

// A connected pair of sequenced-packet sockets on a local name.
struct seqPairT {
    rux::srvSocketT<rux::seqSocketT> srv;
    rux::seqSocketT client, server;
    explicit seqPairT(const std::string& name) {
        EXPECT_TRUE(srv.bind(rux::unixSockAddrT(name), 5));
        EXPECT_TRUE(client.connect(rux::unixSockAddrT(name)));
        rux::unixSockAddrT peer;
        EXPECT_TRUE(srv.accept(server, peer));
    }
};

// A connected TCP pair on loopback.
struct tcpPairT {
    rux::srvSocketT<rux::streamSocketT> srv;
    rux::streamSocketT client, server;
    rux::ipv4SockAddrT at;
    tcpPairT() {
        EXPECT_TRUE(srv.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0), 5));
        EXPECT_TRUE(srv.name(at));
        EXPECT_TRUE(client.connect(at));
        rux::ipv4SockAddrT peer;
        EXPECT_TRUE(srv.accept(server, peer));
    }
};

// Repeats `poke` until `f` is ready: a blocked call is woken whenever it
// starts waiting relative to the poke.
template <class F, class P> bool finishesAfter(F& f, P poke) {
    auto until = std::chrono::steady_clock::now() + kBound;
    while (f.wait_for(10ms) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        poke();
    }
    return true;
}

using SeqSocketT = runtimeDirT;

TEST_F(SeqSocketT, KeepsMessageBoundariesAroundTheReadSize) {
    seqPairT p("bounds");
    const uint32_t rs = rux::sysInfo::pageSize / 16;
    std::vector<size_t> sizes = {1, rs - 1, rs, rs + 1, 3 * rs, rux::sysInfo::pageSize + 7, 70000};
    for (size_t i = 0; i < sizes.size(); ++i)
        ASSERT_TRUE(p.client.send(message(sizes[i], char('a' + i)), rux::unixSockAddrT("x")));
    for (size_t i = 0; i < sizes.size(); ++i) {
        rux::dgramT got(3);
        rux::unixSockAddrT from;
        ASSERT_TRUE(p.server.recv(got, from));
        EXPECT_TRUE(sameBytes(got, message(sizes[i], char('a' + i)))) << "message " << i;
        EXPECT_EQ(got.capacity(), sizes[i]);
        EXPECT_EQ(got.position(), 0u);
        EXPECT_EQ(from.name(), "bounds");
    }
}

TEST_F(SeqSocketT, LargeMessageArrivesWholeAndGrowsTheReadSize) {
    seqPairT p("grow");
    const uint32_t page = rux::sysInfo::pageSize;
    const rux::impl::ctxPtrT& ctx = p.server.context();
    EXPECT_EQ(ctx->readSize, page / 16);
    rux::dgramT big = message(2 * page + 100, 'k');
    ASSERT_TRUE(p.client.send(big, rux::unixSockAddrT()));
    rux::dgramT got;
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_TRUE(sameBytes(got, big));
    EXPECT_EQ(ctx->readSize, 3 * page);
    ASSERT_TRUE(p.client.send(big, rux::unixSockAddrT()));
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_TRUE(sameBytes(got, big));
    EXPECT_EQ(ctx->readSize, 3 * page); // the same size fits now
}

TEST_F(SeqSocketT, PeerCloseReadsAsEmptyMessage) {
    seqPairT p("closing");
    p.client.close();
    EXPECT_EQ(p.server.avail(), 0);
    rux::dgramT got = message(5, 'x');
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_EQ(got.length(), 0u);
}

TEST_F(SeqSocketT, AvailGivesTheNextMessageWithoutTakingIt) {
    seqPairT p("peek");
    ASSERT_TRUE(p.client.send(message(40, 'a'), rux::unixSockAddrT()));
    ASSERT_TRUE(p.client.send(message(7, 'b'), rux::unixSockAddrT()));
    long n = 0;
    for (auto until = std::chrono::steady_clock::now() + kBound;
         (n = p.server.avail()) == 0 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    EXPECT_GE(n, 40);
    rux::dgramT got;
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_EQ(got.length(), 40u);
}

TEST_F(SeqSocketT, AvailGivesTheSizeOfTheNextMessageOnly) {
    seqPairT p("next");
    ASSERT_TRUE(p.client.send(message(100, 'a'), rux::unixSockAddrT()));
    ASSERT_TRUE(p.client.send(message(200, 'b'), rux::unixSockAddrT()));
    long n = 0;
    for (auto until = std::chrono::steady_clock::now() + kBound;
         (n = p.server.avail()) == 0 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(n, 100);
    rux::dgramT got;
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_EQ(p.server.avail(), 200);
}

TEST_F(SeqSocketT, LargestMessageTravelsWholeAndALargerOneIsRefused) {
    seqPairT p("largest");
    rux::dgramT big = message(rux::localMsgMax, 'L');
    std::thread reader([&] {
        rux::dgramT got;
        rux::unixSockAddrT from;
        EXPECT_TRUE(p.server.recv(got, from));
        EXPECT_TRUE(sameBytes(got, big));
    });
    EXPECT_TRUE(p.client.send(big, rux::unixSockAddrT()));
    reader.join();
    EXPECT_FALSE(p.client.send(message(rux::localMsgMax + 1, 'M'), rux::unixSockAddrT()));
    // The refusal cost nothing: the connection still carries messages.
    ASSERT_TRUE(p.client.send(message(3, 'c'), rux::unixSockAddrT()));
    rux::dgramT got;
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_EQ(got.length(), 3u);
}

TEST_F(SeqSocketT, SendRefusesEmptyMessagesAndConnectsOnce) {
    rux::seqSocketT lone;
    EXPECT_FALSE(lone.send(message(3, 'a'), rux::unixSockAddrT("nobody"))); // one attempt
    EXPECT_FALSE(lone.isOpen());

    rux::srvSocketT<rux::seqSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("later"), 1));
    rux::seqSocketT s;
    EXPECT_FALSE(s.send(rux::dgramT(4), rux::unixSockAddrT("later")));
    ASSERT_TRUE(s.send(message(3, 'a'), rux::unixSockAddrT("later")));
    rux::seqSocketT in;
    rux::unixSockAddrT peer;
    ASSERT_TRUE(srv.accept(in, peer));
    EXPECT_EQ(peer.name(), "later");
    rux::dgramT got;
    ASSERT_TRUE(in.recv(got, peer));
    EXPECT_TRUE(sameBytes(got, message(3, 'a')));
}

TEST_F(SeqSocketT, ClosedSocketFailsEverything) {
    rux::seqSocketT s;
    rux::dgramT d;
    rux::unixSockAddrT a;
    EXPECT_FALSE(s.recv(d, a));
    EXPECT_EQ(s.avail(), -1);
    EXPECT_FALSE(s.shutdown(3));
    EXPECT_FALSE(s.name(a));
    EXPECT_TRUE(s.close());
    rux::streamSocketT t;
    char b[4];
    EXPECT_EQ(t.read(b, 4), -1);
    EXPECT_EQ(t.write(b, 4), -1);
    EXPECT_FALSE(t.setOption(rux::ipv4OptBroadcastT{true}));
    rux::ipv4OptLingerT l;
    EXPECT_FALSE(t.getOption(l));
}

using LocalNameT = runtimeDirT;

TEST_F(LocalNameT, LongestNameWorksAndLongerThrows) {
    std::string longest(rux::unixSockAddrT::maxName, 'n');
    EXPECT_THROW(rux::unixSockAddrT(longest + "n"), const char*);
    try {
        rux::unixSockAddrT bad(longest + "n");
    } catch (const char* e) {
        EXPECT_STREQ(e, "socket address name too long");
    }
    seqPairT p(longest);
    ASSERT_TRUE(p.client.send(message(9, 'l'), rux::unixSockAddrT()));
    rux::dgramT got;
    rux::unixSockAddrT from;
    ASSERT_TRUE(p.server.recv(got, from));
    EXPECT_EQ(from.name(), longest);
    // A different long name with the same prefix is a different socket.
    rux::srvSocketT<rux::seqSocketT> other;
    EXPECT_TRUE(other.bind(rux::unixSockAddrT(longest.substr(1) + "m"), 1));
}

TEST_F(LocalNameT, CaseDoesNotMatter) {
    rux::srvSocketT<rux::streamSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("Name"), 1));
    rux::streamSocketT c;
    EXPECT_TRUE(c.connect(rux::unixSockAddrT("name")));
    rux::srvSocketT<rux::streamSocketT> dup;
    EXPECT_FALSE(dup.bind(rux::unixSockAddrT("NAME"), 1)); // a live server holds it
}

TEST_F(LocalNameT, StaleSocketFileIsReplaced) {
    std::string path;
    ASSERT_TRUE(rux::impl::localPath("stale", false, path));
    {
        // Leave a socket file behind that nobody listens on.
        auto ctx = rux::impl::bindLocal(path, "stale", SOCK_SEQPACKET, 1);
        ASSERT_TRUE(ctx);
        ctx->unlinkAt.clear();
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    rux::srvSocketT<rux::seqSocketT> srv;
    EXPECT_TRUE(srv.bind(rux::unixSockAddrT("stale"), 1));
    rux::seqSocketT c;
    EXPECT_TRUE(c.connect(rux::unixSockAddrT("stale")));
    srv.close();
    EXPECT_FALSE(std::filesystem::exists(path)); // the last handle removed it
}

TEST_F(LocalNameT, PipeNamesAreApartFromSocketNames) {
    rux::srvSocketT<rux::streamSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("same"), 1));
    rux::streamSocketT pipeEnd;
    ASSERT_TRUE(pipeEnd.bind(rux::pipeSockAddrT("same")));
    rux::pipeSockAddrT pn;
    EXPECT_TRUE(pipeEnd.name(pn));
    EXPECT_EQ(pn.name(), "same");
    rux::unixSockAddrT un;
    EXPECT_FALSE(pipeEnd.name(un));
}

TEST_F(LocalNameT, BoundPipeEndServesTheFirstPeer) {
    rux::streamSocketT end;
    ASSERT_TRUE(end.bind(rux::pipeSockAddrT("Chan")));
    rux::streamSocketT rival;
    EXPECT_FALSE(rival.bind(rux::pipeSockAddrT("chan"))); // a live end holds the name
    EXPECT_EQ(end.avail(), 0);
    rux::pollerT<rux::socketT*, int> poller;
    poller.add(&end, 1, 7);
    EXPECT_TRUE(poller.wait(rux::timeT()).end()); // nobody there yet

    // The end's first read waits for the peer and then for its data.
    char b[8] = {};
    auto r = std::async(std::launch::async, [&] { return end.read(b, 8); });
    rux::streamSocketT peer;
    ASSERT_TRUE(peer.connect(rux::pipeSockAddrT("chan")));
    ASSERT_EQ(peer.write("ping", 4), 4);
    ASSERT_EQ(r.get(), 4);
    EXPECT_EQ(std::string(b, 4), "ping");
    ASSERT_EQ(end.write("pong", 4), 4);
    EXPECT_EQ(peer.read(b, 8), 4);
    EXPECT_EQ(std::string(b, 4), "pong");
    rux::pipeSockAddrT pn;
    EXPECT_TRUE(end.peer(pn));
    EXPECT_EQ(pn.name(), "Chan"); // as bound
}

TEST_F(LocalNameT, BoundStreamEndIsPolledAndShutLikeAConnection) {
    rux::streamSocketT end;
    ASSERT_TRUE(end.bind(rux::unixSockAddrT("single")));
    rux::streamSocketT peer;
    ASSERT_TRUE(peer.connect(rux::unixSockAddrT("single")));
    ASSERT_EQ(peer.write("abc", 3), 3);
    rux::pollerT<rux::socketT*, int> poller;
    poller.add(&end, 1, 7);
    auto it = poller.wait(rux::timeT(60, 0));
    ASSERT_FALSE(it.end());
    EXPECT_EQ(it.flags(), 1u);
    EXPECT_EQ(end.avail(), 3);

    rux::streamSocketT lonely;
    ASSERT_TRUE(lonely.bind(rux::pipeSockAddrT("lonely")));
    char b[4];
    auto w = std::async(std::launch::async, [&] { return lonely.read(b, 4); });
    ASSERT_TRUE(finishesAfter(w, [&] { lonely.shutdown(0); }));
    EXPECT_EQ(w.get(), -1);
}

TEST_F(LocalNameT, NamesWithSlashesStayInTheRuntimeDirectory) {
    std::string path;
    ASSERT_TRUE(rux::impl::localPath("../a/b", false, path));
    EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(dir));
    seqPairT p("../a/b");
    EXPECT_TRUE(p.server.isOpen());
}

TEST_F(LocalNameT, ConnectWaitsForALateServer) {
    auto late = std::async(std::launch::async, [] {
        rux::sleep(rux::timeT(3, 0));
        auto srv = std::make_shared<rux::srvSocketT<rux::seqSocketT>>();
        EXPECT_TRUE(srv->bind(rux::unixSockAddrT("late"), 1));
        return srv;
    });
    rux::seqSocketT c;
    EXPECT_TRUE(c.connect(rux::unixSockAddrT("late")));
    auto srv = late.get();
    rux::seqSocketT in;
    rux::unixSockAddrT peer;
    EXPECT_TRUE(srv->accept(in, peer));
}

TEST_F(LocalNameT, ConnectGivesUpAfterAboutTwentySeconds) {
    auto start = std::chrono::steady_clock::now();
    rux::streamSocketT c;
    EXPECT_FALSE(c.connect(rux::unixSockAddrT("never")));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 19s);
    EXPECT_LT(took, kBound);
}

using StreamSocketT = runtimeDirT;

TEST_F(StreamSocketT, ReadsAfterAvailTakeWhatIsAsked) {
    tcpPairT p;
    ASSERT_EQ(p.client.write("abcdefghijklmnopqrstuvwxy", 25), 25);
    long n = 0;
    for (auto until = std::chrono::steady_clock::now() + kBound;
         (n = p.server.avail()) < 25 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    ASSERT_EQ(n, 25);
    char b[10];
    EXPECT_EQ(p.server.read(b, 10), 10);
    EXPECT_EQ(std::string(b, 10), "abcdefghij");
    EXPECT_EQ(p.server.read(b, 10), 10);
    EXPECT_EQ(p.server.read(b, 10), 5);
    EXPECT_EQ(std::string(b, 5), "uvwxy");
    EXPECT_EQ(p.server.avail(), 0);
    auto r = std::async(std::launch::async, [&] { return p.server.read(b, 10); });
    EXPECT_EQ(r.wait_for(0s), std::future_status::timeout);
    ASSERT_EQ(p.client.write("z", 1), 1);
    EXPECT_EQ(r.get(), 1);
    p.client.close();
    EXPECT_EQ(p.server.read(b, 10), 0); // end of stream
}

TEST_F(StreamSocketT, ReadLargerThanReadSizeGrowsItInPages) {
    tcpPairT p;
    const uint32_t page = rux::sysInfo::pageSize;
    ASSERT_EQ(p.client.write("x", 1), 1);
    std::vector<char> b(page + 1);
    EXPECT_EQ(p.server.read(b.data(), long(b.size())), 1);
    EXPECT_EQ(p.server.context()->readSize, 2 * page);
}

TEST_F(StreamSocketT, WriteBeyondTheKernelBufferFinishesInTheBackground) {
    rux::srvSocketT<rux::streamSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("bulk"), 1));
    rux::streamSocketT c, s;
    ASSERT_TRUE(c.connect(rux::unixSockAddrT("bulk")));
    rux::unixSockAddrT peer;
    ASSERT_TRUE(srv.accept(s, peer));
    std::string data(4 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + i / 4096);
    ASSERT_EQ(c.write(data.data(), long(data.size())), long(data.size())); // returns at once
    EXPECT_TRUE(c.context()->pendingWrite);
    std::string got;
    std::vector<char> b(65536);
    while (got.size() < data.size()) {
        long n = s.read(b.data(), long(b.size()));
        ASSERT_GT(n, 0);
        got.append(b.data(), size_t(n));
    }
    EXPECT_EQ(got, data);
    ASSERT_EQ(c.write("!", 1), 1); // waits for nothing: the rest is out
    EXPECT_EQ(s.read(b.data(), 1), 1);
    EXPECT_EQ(b[0], '!');
}

TEST_F(StreamSocketT, FailedBackgroundWriteFailsTheNextWrite) {
    rux::srvSocketT<rux::streamSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("broken"), 1));
    rux::streamSocketT c, s;
    ASSERT_TRUE(c.connect(rux::unixSockAddrT("broken")));
    rux::unixSockAddrT peer;
    ASSERT_TRUE(srv.accept(s, peer));
    std::string data(4 << 20, 'd');
    ASSERT_EQ(c.write(data.data(), long(data.size())), long(data.size()));
    s.close(); // the reader goes away with most of it unread
    EXPECT_EQ(c.write("x", 1), -1);
}

TEST_F(StreamSocketT, DevstreamOverASocket) {
    tcpPairT p;
    using bufT = rux::devbufT<rux::streamSocketT, 16>;
    bufT::devstreamT out(&p.client);
    bufT::devstreamT in(&p.server);
    out << "line one\n" << 12345 << "\n" << std::string(100, 'w') << "\n";
    out.flush();
    std::string a, b, c;
    std::getline(in, a);
    std::getline(in, b);
    std::getline(in, c);
    EXPECT_EQ(a, "line one");
    EXPECT_EQ(b, "12345");
    EXPECT_EQ(c, std::string(100, 'w'));
}

using NamelessPipeT = runtimeDirT;

TEST_F(NamelessPipeT, BoundEndReadsConnectedEndWrites) {
    rux::namelessPipeSockAddrT a, b;
    EXPECT_NE(a.name(), b.name());
    rux::streamSocketT r, w;
    ASSERT_TRUE(r.bind(a));
    ASSERT_TRUE(w.connect(a));
    ASSERT_EQ(w.write("S", 1), 1);
    char c = 0;
    EXPECT_EQ(r.read(&c, 1), 1);
    EXPECT_EQ(c, 'S');
    EXPECT_EQ(r.write("x", 1), -1); // one way only
    rux::streamSocketT second;
    EXPECT_FALSE(second.connect(a)); // one writer per pipe
    w.close();
    EXPECT_EQ(r.avail(), 0);
    EXPECT_EQ(r.read(&c, 1), 0);
}

TEST_F(NamelessPipeT, WriterSeesAVanishedReaderAsAFailure) {
    rux::namelessPipeSockAddrT a;
    rux::streamSocketT r, w;
    ASSERT_TRUE(r.bind(a));
    ASSERT_TRUE(w.connect(a));
    r.close();
    EXPECT_EQ(w.write("x", 1), -1); // no SIGPIPE either
}

using ShutdownT = runtimeDirT;

TEST_F(ShutdownT, WakesABlockedLocalAccept) {
    rux::srvSocketT<rux::seqSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::unixSockAddrT("acc"), 1));
    auto f = std::async(std::launch::async, [&] {
        rux::seqSocketT in;
        rux::unixSockAddrT peer;
        return srv.accept(in, peer);
    });
    ASSERT_TRUE(finishesAfter(f, [&] { srv.shutdown(3); }));
    EXPECT_FALSE(f.get());
    rux::seqSocketT in;
    rux::unixSockAddrT peer;
    EXPECT_FALSE(srv.accept(in, peer)); // stays shut
}

TEST_F(ShutdownT, WakesABlockedTcpAccept) {
    rux::srvSocketT<rux::streamSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0), 1));
    auto f = std::async(std::launch::async, [&] {
        rux::streamSocketT in;
        rux::ipv4SockAddrT peer;
        return srv.accept(in, peer);
    });
    ASSERT_TRUE(finishesAfter(f, [&] { srv.shutdown(0); }));
    EXPECT_FALSE(f.get());
}

TEST_F(ShutdownT, WakesABlockedReadAndRecv) {
    tcpPairT t;
    char b[4];
    auto r = std::async(std::launch::async, [&] { return t.server.read(b, 4); });
    ASSERT_TRUE(finishesAfter(r, [&] { t.server.shutdown(0); }));
    EXPECT_LE(r.get(), 0);

    seqPairT s("rcv");
    auto m = std::async(std::launch::async, [&] {
        rux::dgramT d(1);
        rux::unixSockAddrT from;
        return s.server.recv(d, from) && d.length() > 0;
    });
    ASSERT_TRUE(finishesAfter(m, [&] { s.server.shutdown(1); }));
    EXPECT_FALSE(m.get());
}

TEST_F(ShutdownT, WakesABlockedPipeReadThatTheKernelWouldNot) {
    rux::namelessPipeSockAddrT a;
    rux::streamSocketT r, w;
    ASSERT_TRUE(r.bind(a));
    ASSERT_TRUE(w.connect(a));
    auto f = std::async(std::launch::async, [&] {
        char c;
        return r.read(&c, 1);
    });
    ASSERT_TRUE(finishesAfter(f, [&] { EXPECT_TRUE(r.shutdown(3)); }));
    EXPECT_EQ(f.get(), -1);
    ASSERT_EQ(w.write("k", 1), 1); // the pipe itself still works
    char c = 0;
    EXPECT_EQ(r.read(&c, 1), 1);
    EXPECT_EQ(c, 'k');
}

TEST(DgramSocketT, SendAndReceiveWithTheSender) {
    rux::dgramSocketT a, b;
    ASSERT_TRUE(a.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0)));
    rux::ipv4SockAddrT at;
    ASSERT_TRUE(a.name(at));
    ASSERT_TRUE(b.send(message(300, 'u'), at)); // opens b on an ephemeral port
    rux::dgramT got;
    rux::ipv4SockAddrT from, bAt;
    ASSERT_TRUE(a.recv(got, from));
    EXPECT_TRUE(sameBytes(got, message(300, 'u')));
    ASSERT_TRUE(b.name(bAt));
    EXPECT_EQ(from.port(), bAt.port());
    EXPECT_TRUE(b.send(rux::dgramT(0), at)); // empty datagrams are fine for UDP
    ASSERT_TRUE(a.recv(got, from));
    EXPECT_EQ(got.length(), 0u);
}

TEST(DgramSocketT, TunedSizeLimitsBothWays) {
    rux::dgramSocketT a, b;
    ASSERT_TRUE(a.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0)));
    rux::ipv4SockAddrT at;
    ASSERT_TRUE(a.name(at));
    ASSERT_TRUE(b.send(message(1000, 'v'), at));
    rux::ipv4TuneDgramSz(500);
    EXPECT_FALSE(b.send(message(501, 'v'), at));
    rux::dgramT got;
    rux::ipv4SockAddrT from;
    EXPECT_FALSE(a.recv(got, from)); // the 1000-byte datagram is too big now
    rux::ipv4TuneDgramSz(65507);
    ASSERT_TRUE(b.send(message(10, 'w'), at));
    ASSERT_TRUE(a.recv(got, from));
    EXPECT_EQ(got.length(), 10u);
}

TEST(SocketOptionT, SetAndReadBack) {
    tcpPairT p;
    EXPECT_TRUE(p.client.setOption(rux::ipv4OptLingerT{true, 7}));
    rux::ipv4OptLingerT l;
    ASSERT_TRUE(p.client.getOption(l));
    EXPECT_TRUE(l.on);
    EXPECT_EQ(l.sec, 7);
    EXPECT_TRUE(p.client.setOption(rux::ipv4OptKeepAliveT{true, rux::timeT(12, 0)}));
    rux::ipv4OptKeepAliveT k{false, rux::timeT(1, 0)};
    ASSERT_TRUE(p.client.getOption(k));
    EXPECT_TRUE(k.on);
    EXPECT_EQ(k.time, rux::timeT());
    int idle = 0;
    socklen_t len = sizeof idle;
    ASSERT_EQ(::getsockopt(p.client.context()->fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len), 0);
    EXPECT_EQ(idle, 3); // 12 s / 5 = 2.4 s, rounded up
    EXPECT_TRUE(p.client.setOption(rux::ipv4OptKeepAliveT{true, rux::timeT()}));
    rux::dgramSocketT u;
    ASSERT_TRUE(u.bind(rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 0)));
    EXPECT_TRUE(u.setOption(rux::ipv4OptBroadcastT{true}));
    rux::ipv4OptBroadcastT b;
    ASSERT_TRUE(u.getOption(b));
    EXPECT_TRUE(b.on);
}

TEST(Ipv4AddressT, HostNamesResolve) {
    rux::ipv4AddressT a;
    ASSERT_TRUE(rux::ipv4AddressT::getHostByName(a, "127.0.0.1"));
    EXPECT_EQ(a, rux::ipv4AddressT::loopback());
    std::vector<rux::ipv4AddressT> all;
    EXPECT_TRUE(rux::ipv4AddressT::getHostByName(all, "localhost"));
    EXPECT_FALSE(all.empty());
    EXPECT_FALSE(rux::ipv4AddressT::getHostByName(a, "no-such-host.invalid"));
    EXPECT_FALSE(rux::ipv4AddressT::getHostByName(a, ""));
}

} // namespace
