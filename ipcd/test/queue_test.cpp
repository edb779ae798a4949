// The service's priority queues: order by priority, hold times, and their
// effect on a running daemon.
#include <vector>

#include "harness.h"
#include "holdqueue.h"

using namespace ipcdtest;
using rux::ipcd::holdQueueT;

namespace {

holdQueueT::entryT entry(const std::string& text) {
    dgramT d{uint32_t(text.size())};
    d.write(text.data(), uint32_t(text.size()));
    return holdQueueT::entryT{std::move(d), nullptr};
}

std::string text(const holdQueueT::entryT& e) {
    return std::string(e.dgram.buf(), e.dgram.length());
}

timeT ms(int64_t n) {
    return timeT::fromMs(n);
}

// Everything the queue lets out at `now`, in order.
std::vector<std::string> drain(holdQueueT& q, const timeT& now, timeT* wait = nullptr) {
    std::vector<std::string> out;
    holdQueueT::entryT e;
    timeT w;
    holdQueueT::nextT r;
    while ((r = q.next(now, e, w)) == holdQueueT::enTAKEN)
        out.push_back(text(e));
    if (wait)
        *wait = r == holdQueueT::enHELD ? w : timeT(-1, 0);
    return out;
}

} // namespace

TEST(holdQueueT, WithoutHoldsStrictPriorityThenArrivalOrder) {
    holdQueueT q;
    q.push(3, entry("3a"));
    q.push(0, entry("0a"));
    q.push(4, entry("4a"));
    q.push(3, entry("3b"));
    q.push(1, entry("1a"));
    q.push(0, entry("0b"));
    EXPECT_EQ(drain(q, ms(1)), (std::vector<std::string>{"0a", "0b", "1a", "3a", "3b", "4a"}));
    EXPECT_TRUE(q.empty());
}

TEST(holdQueueT, AHoldKeepsLessUrgentBackAndRepeatsExtendIt) {
    holdQueueT q({{0, ms(50)}});
    timeT t0 = ms(1000);
    ASSERT_TRUE(q.passes(0, t0));
    q.taken(0, t0);
    // Arriving 10 ms later, priority 3 must wait for the hold.
    EXPECT_FALSE(q.passes(3, t0 + ms(10)));
    q.push(3, entry("3"));
    timeT wait;
    EXPECT_TRUE(drain(q, t0 + ms(10), &wait).empty());
    EXPECT_EQ(wait, ms(40));
    // Another priority-0 datagram within the hold goes at once and extends it.
    ASSERT_TRUE(q.passes(0, t0 + ms(40)));
    q.taken(0, t0 + ms(40));
    EXPECT_TRUE(drain(q, t0 + ms(60), &wait).empty());
    EXPECT_EQ(wait, ms(30));
    EXPECT_EQ(drain(q, t0 + ms(90)), std::vector<std::string>{"3"});
}

TEST(holdQueueT, AHoldOnlyHoldsLessUrgentPriorities) {
    holdQueueT q({{2, ms(100)}});
    q.push(2, entry("2a"));
    q.push(2, entry("2b"));
    q.push(1, entry("1"));
    q.push(4, entry("4"));
    timeT wait;
    // Within priority 2 its own hold does not apply; below it, it does.
    EXPECT_EQ(drain(q, ms(5), &wait), (std::vector<std::string>{"1", "2a", "2b"}));
    EXPECT_EQ(wait, ms(100));
    EXPECT_TRUE(q.passes(0, ms(6)));
    EXPECT_TRUE(q.passes(1, ms(6)));
    EXPECT_FALSE(q.passes(3, ms(6)));
    EXPECT_EQ(drain(q, ms(105)), std::vector<std::string>{"4"});
    // An empty queue has nothing to wait for, running hold or not.
    EXPECT_TRUE(drain(q, ms(106), &wait).empty());
    EXPECT_EQ(wait, timeT(-1, 0));
}

TEST(IpcdQueues, HeldBackDatagramsLeaveByPriorityAfterTheHold) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start(cfgText("LOG_LEV = INFO\nM_PRIO_HOLD_0 = 1000, ms\n")));
    nodeT src, dst;
    ASSERT_EQ(dst.attach("local", "dst"), 0);
    ASSERT_EQ(src.attach("local", "src"), 0);
    struct sendT {
        unsigned prio;
        const char* text;
    } order[] = {{0, "first"}, {4, "a"}, {2, "b"}, {4, "c"}, {1, "d"}, {0, "second"}};
    for (const auto& s : order)
        ASSERT_TRUE(src.send(src.user(dst.id(), s.text, s.prio)));
    std::vector<std::string> got;
    dgramT d;
    while (got.size() < 6 && dst.recvKind(enIPC_USER, d))
        got.push_back(payload(d));
    EXPECT_EQ(got, (std::vector<std::string>{"first", "second", "d", "b", "a", "c"}));
}

TEST(IpcdQueues, DatagramsOfSeveralNodesReadTogetherLeaveByPriority) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start(cfgText("LOG_LEV = INFO\nCONGESTION = WAIT\n")));
    nodeT stuck, flooder, slow, quick, dst;
    ASSERT_EQ(dst.attach("local", "dst"), 0);
    ASSERT_EQ(slow.attach("local", "slow"), 0);
    ASSERT_EQ(quick.attach("local", "quick"), 0);
    ASSERT_EQ(flooder.attach("local", "flooder"), 0);
    ASSERT_EQ(stuck.attach("local", "stuck"), 0);
    ASSERT_TRUE(flooder.waitPresence("stuck", true));
    // The service stands still on a node that stopped reading, so that what
    // the others send meanwhile is all there when it goes on.
    readerProcT reader(stuck.fd(), "never");
    ASSERT_TRUE(reader.ok());
    reader.stop();
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 100000 && dmn.count("(infinite)") == 0; ++i)
        if (!flooder.trySend(flooder.user(stuck.id(), chunk)))
            break;
    ASSERT_TRUE(dmn.waitLog("waiting node \"stuck\" to exit from congested state (infinite)"));
    ASSERT_TRUE(slow.send(slow.user(dst.id(), "later", 3)));
    ASSERT_TRUE(quick.send(quick.user(dst.id(), "urgent", 0)));
    reader.cont();
    dgramT d;
    ASSERT_TRUE(dst.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "urgent");
    ASSERT_TRUE(dst.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "later");
}

TEST(IpcdQueues, ANodeWithTooMuchQueuedIsNotReadUntilItDrains) {
    daemonT dmn;
    ASSERT_TRUE(
        dmn.start(cfgText("LOG_LEV = INFO\nM_PRIO_HOLD_0 = 3000, ms\nCONGESTION = WAIT\n")));
    nodeT src, dst;
    ASSERT_EQ(dst.attach("local", "dst"), 0);
    ASSERT_EQ(src.attach("local", "src"), 0);
    ASSERT_TRUE(src.send(src.user(dst.id(), "start", 0)));
    // Everything below priority 0 is held for 3 s: the daemon queues it until
    // the sender is over its share, then stops reading it.
    std::string chunk(60000, 'q');
    int sent = 0;
    while (sent < 1000 && src.send(src.user(dst.id(), chunk, 4), 500))
        ++sent;
    EXPECT_TRUE(dmn.waitLog("node \"src\" has more than 4194304 bytes queued, not reading it "
                            "until they drain"));
    EXPECT_LT(sent, 1000);
    // Nothing is lost: after the hold everything arrives, in order.
    dgramT d;
    ASSERT_TRUE(dst.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "start");
    int got = 0;
    while (got < sent && dst.recvKind(enIPC_USER, d, 10000))
        ++got;
    EXPECT_EQ(got, sent);
}

TEST(IpcdQueues, AQueuedReplyOfANodeThatLeftIsDeliveredBeforeItsDownNotice) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start(cfgText("LOG_LEV = INFO\nM_PRIO_HOLD_0 = 2000, ms\n")));
    nodeT caller, callee;
    ASSERT_EQ(callee.attach("local", "callee"), 0);
    ASSERT_EQ(caller.attach("local", "caller"), 0);
    ASSERT_TRUE(callee.waitPresence("caller", true));
    ASSERT_TRUE(caller.waitPresence("callee", true));
    ASSERT_TRUE(caller.send(caller.user(callee.id(), "urgent", 0, 0, 0, 31)));
    dgramT d;
    ASSERT_TRUE(callee.recvKind(enIPC_USER, d));
    // The reply is held behind the urgent request's hold; its sender leaves.
    ASSERT_TRUE(callee.send(callee.user(caller.id(), "reply", 2, 0, 0, 31)));
    callee.close();
    ASSERT_TRUE(dmn.waitLog("node \"callee\" disconnected"));
    ASSERT_TRUE(caller.recv(d));
    EXPECT_EQ(payload(d), "reply");
    ipcHeaderT h;
    ipcNotifT n;
    ASSERT_TRUE(caller.recv(d));
    ASSERT_TRUE(ipcParseNotif(d, h, n));
    EXPECT_EQ(n.node, "callee");
    EXPECT_FALSE(n.up);
}
