// Attaching nodes: ids, refusals, presence notifications, and connections
// that never say who they are.
#include <memory>
#include <vector>

#include "harness.h"

using namespace ipcdtest;

TEST(IpcdAttach, NamesKeepTheirIdsAndOthersSeeThemGoAndReturn) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    nodeT a, b;
    ASSERT_EQ(a.attach("local", "kivsvc-drv"), 0);
    ASSERT_EQ(b.attach("local", "kivsvc-ui"), 0);
    EXPECT_EQ(a.id(), 1u);
    EXPECT_EQ(b.id(), 2u);
    ASSERT_TRUE(a.waitPresence("kivsvc-ui", true));

    b.close();
    uint32_t id = 0;
    ASSERT_TRUE(a.waitPresence("kivsvc-ui", false, &id));
    EXPECT_EQ(id, 2u);
    nodeT again;
    ASSERT_EQ(again.attach("local", "kivsvc-ui"), 0);
    EXPECT_EQ(again.id(), 2u);
    ASSERT_TRUE(a.waitPresence("kivsvc-ui", true, &id));
    EXPECT_EQ(id, 2u);
}

TEST(IpcdAttach, SecondHolderOfAPrimaryNameIsRefusedAndCutOff) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    nodeT first, rival;
    ASSERT_EQ(first.attach("local", "kivsvc-drv"), 0);
    EXPECT_EQ(rival.attach("local", "kivsvc-drv"), 2);
    EXPECT_TRUE(rival.waitClosed());
    // The holder is not disturbed: it still gets what is sent to it.
    nodeT other;
    ASSERT_EQ(other.attach("local", "cli"), 0);
    ASSERT_TRUE(other.send(other.user(first.id(), "still here")));
    dgramT d;
    ASSERT_TRUE(first.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "still here");
}

TEST(IpcdAttach, RefusalsRepeatedEvery200msDoNotFloodTheLog) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    nodeT holder;
    ASSERT_EQ(holder.attach("local", "kivsvc-drv"), 0);
    for (int i = 0; i < 20; ++i) {
        nodeT rival;
        ASSERT_EQ(rival.attach("local", "kivsvc-drv"), 2);
    }
    // The last refusal has been handled: a later attach was answered.
    nodeT probe;
    ASSERT_EQ(probe.attach("local", "probe"), 0);
    ASSERT_TRUE(dmn.waitLog("added node probe")); // everything before it is in the output
    EXPECT_EQ(dmn.count("because name is already registered by another node"), 1u);
    EXPECT_EQ(dmn.count("accepted new connection"), 1u);
}

TEST(IpcdAttach, PresenceGoesToPrimariesOnlyAndNeverAboutThemselves) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    nodeT a, b;
    ASSERT_EQ(a.attach("local", "a"), 0);
    ASSERT_EQ(a.alias(1, "a-alias"), 0);
    ASSERT_EQ(b.attach("local", "b"), 0);

    // b's snapshot names a and a's secondary name, never b itself.
    std::vector<std::string> seen;
    dgramT d;
    while (b.recv(d, 300)) {
        ipcHeaderT h;
        ipcNotifT n;
        ASSERT_TRUE(ipcParseNotif(d, h, n));
        EXPECT_EQ(h.dstId, b.id());
        EXPECT_TRUE(n.up);
        seen.push_back(n.node);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "a-alias"}));
    // a hears of b, but not of its own secondary name.
    ASSERT_TRUE(a.waitPresence("b", true));
    EXPECT_FALSE(a.recv(d, 300));
}

TEST(IpcdAttach, SilentConnectionsDoNotHoldUpAGoodNode) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    std::vector<std::unique_ptr<nodeT>> silent;
    for (int i = 0; i < 100; ++i) {
        silent.push_back(std::make_unique<nodeT>());
        ASSERT_TRUE(silent.back()->connect());
    }
    nodeT good, peer;
    ASSERT_EQ(good.attach("local", "good"), 0);
    ASSERT_EQ(peer.attach("local", "peer"), 0);
    ASSERT_TRUE(peer.send(peer.user(good.id(), "served")));
    dgramT d;
    ASSERT_TRUE(good.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "served");
    // Served while the newest silent connection still had its 2000 ms to go:
    // it has not been dropped yet. Beyond 64 waiting, the oldest were.
    pollfd p{silent.back()->fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_TRUE(silent.front()->waitClosed());
    EXPECT_TRUE(dmn.waitLog("--> dropping the oldest"));
    // In the end every silent one is dropped after its deadline.
    EXPECT_TRUE(silent.back()->waitClosed());
    EXPECT_TRUE(dmn.waitLog("no subscription message from accepted connection after 2000 ms "
                            "--> dropping node"));
}

TEST(IpcdAttach, MalformedAttachRequestsEndInAClosedConnection) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    struct caseT {
        std::string bytes;
        std::string log;
    };
    dgramT user;
    ipcHeaderT h;
    user = dgramT(ipcHeaderT::size);
    ipcStoreHeader(user, h);
    dgramT bind;
    ipcBuildAliasRequest(bind, 1, "local", "x", 1, 1);
    dgramT noName;
    ipcBuildAttach(noName, "local", "");
    std::vector<caseT> cases = {
        {std::string(user.buf(), user.length()),
         "received unexpected message type 0 from newly accepted connection --> dropping"},
        {std::string(bind.buf(), bind.length()),
         "received unexpected subscription type 1 from newly accepted connection --> dropping"},
        {std::string(noName.buf(), noName.length()),
         "wrong service/node names in subscription message: \"local\" \"\""},
        {std::string("\x01\0\0\0\0", 5), "malformed subscription message of 5 bytes"},
    };
    for (const auto& c : cases) {
        nodeT n;
        ASSERT_TRUE(n.connect());
        ASSERT_TRUE(n.sendRaw(c.bytes));
        EXPECT_TRUE(n.waitClosed()) << c.log;
        EXPECT_TRUE(dmn.waitLog(c.log)) << c.log;
    }
    nodeT closer;
    ASSERT_TRUE(closer.connect());
    closer.close();
    EXPECT_TRUE(
        dmn.waitLog("connected node closed connection before sending subscription message"));
    nodeT fine;
    EXPECT_EQ(fine.attach("local", "fine"), 0);
}

TEST(IpcdAttach, OverlongNamesAreRefusedAsInvalid) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start());
    nodeT n;
    EXPECT_EQ(n.attach("local", std::string(300, 'n')), 1);
    EXPECT_TRUE(n.waitClosed());
}

TEST(IpcdAttach, NamesAndServicesAreCappedWithARefusalTheNodeUnderstands) {
    daemonT dmn;
    ASSERT_TRUE(dmn.start(cfgText("LOG_LEV = WARNING\n")));
    nodeT owner;
    ASSERT_EQ(owner.attach("local", "owner"), 0);
    // Ids are kept for life, so the names ever bound are what is capped.
    int status = 0, bound = 0;
    while (bound < 5000 && (status = owner.alias(1, "alias-" + std::to_string(bound))) == 0)
        ++bound;
    EXPECT_EQ(status, 2);
    EXPECT_GE(bound, 4000);
    EXPECT_TRUE(dmn.waitLog("the service already holds 4096 names"));

    std::vector<std::unique_ptr<nodeT>> nodes;
    for (int i = 0; i < 300; ++i) {
        nodes.push_back(std::make_unique<nodeT>());
        if ((status = nodes.back()->attach("svc-" + std::to_string(i), "n")) != 0)
            break;
    }
    EXPECT_EQ(status, 2);
    EXPECT_EQ(nodes.size(), 256u); // "local" is one of them
    EXPECT_TRUE(dmn.waitLog("the daemon already serves 256 services"));
}
