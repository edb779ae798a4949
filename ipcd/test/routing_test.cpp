// Routing inside a service: user messages, secondary names, forwarding, name
// lookups, and datagrams that lie about their sender or are malformed.
#include "harness.h"

using namespace ipcdtest;

namespace {

// Two attached nodes on "local": drv (id 1) and ui (id 2), snapshots consumed.
struct pairT {
    daemonT dmn;
    nodeT drv, ui;
    void SetUp() {
        ASSERT_TRUE(dmn.start());
        ASSERT_EQ(drv.attach("local", "drv"), 0);
        ASSERT_EQ(ui.attach("local", "ui"), 0);
        ASSERT_TRUE(drv.waitPresence("ui", true));
        ASSERT_TRUE(ui.waitPresence("drv", true));
    }
};

class IpcdRouting : public ::testing::Test, protected pairT {
protected:
    void SetUp() override { pairT::SetUp(); }
};

} // namespace

TEST_F(IpcdRouting, UserMessageArrivesUnchangedHeaderIncluded) {
    dgramT sent = ui.user(drv.id(), "request", 3, 0, 0, 77);
    ASSERT_TRUE(ui.send(sent));
    dgramT got;
    ASSERT_TRUE(drv.recvKind(enIPC_USER, got));
    ASSERT_EQ(got.length(), sent.length());
    EXPECT_EQ(std::string(got.buf(), got.length()), std::string(sent.buf(), sent.length()));
    // Unknown destination: dropped with a warning, nobody disturbed.
    ASSERT_TRUE(ui.send(ui.user(42, "lost")));
    EXPECT_TRUE(
        dmn.waitLog("can't deliver user message with unknown source (2) --> destination (42)"));
    EXPECT_TRUE(drv.quiet());
}

TEST_F(IpcdRouting, SecondaryNamesRouteToTheirOwnerUntilUnbound) {
    uint32_t alias = 0;
    ASSERT_EQ(drv.alias(1, "meter-7", &alias), 0);
    EXPECT_EQ(alias, 3u);
    uint32_t id = 0;
    ASSERT_TRUE(ui.waitPresence("meter-7", true, &id));
    EXPECT_EQ(id, alias);

    ASSERT_TRUE(ui.send(ui.user(alias, "for the meter")));
    dgramT got;
    ASSERT_TRUE(drv.recvKind(enIPC_USER, got));
    ipcHeaderT h;
    ASSERT_TRUE(ipcParseHeader(got, h));
    EXPECT_EQ(h.dstId, alias); // unchanged: the owner sees whom it was for
    EXPECT_EQ(payload(got), "for the meter");

    // The owner answers on behalf of its secondary name.
    ASSERT_TRUE(drv.send(drv.user(ui.id(), "from the meter", 2, alias, drv.id())));
    ASSERT_TRUE(ui.recvKind(enIPC_USER, got));
    EXPECT_EQ(payload(got), "from the meter");

    // Only the owner may unbind it; a stranger's attempt is refused.
    EXPECT_EQ(ui.alias(2, "meter-7"), 2);
    EXPECT_TRUE(dmn.waitLog(
        "can't unbind node name \"meter-7\", permission denied (caller = 2, expected = 1)"));
    EXPECT_EQ(ui.alias(2, "ui"), 2);
    EXPECT_EQ(ui.alias(2, "never-bound"), 0);
    EXPECT_EQ(drv.alias(2, "meter-7"), 0);
    ASSERT_TRUE(ui.waitPresence("meter-7", false));
    ASSERT_TRUE(ui.send(ui.user(alias, "too late")));
    EXPECT_TRUE(
        dmn.waitLog("can't deliver user message with unknown source (2) --> destination (3)"));
}

TEST_F(IpcdRouting, APrimaryTakesOverASecondaryNameAndSecondaryNamesGoWithTheirOwner) {
    ASSERT_EQ(drv.alias(1, "shared"), 0);
    ASSERT_EQ(ui.alias(1, "shared"), 2); // already bound
    nodeT taker;
    ASSERT_EQ(taker.attach("local", "shared"), 0);
    EXPECT_EQ(taker.id(), 3u);
    ASSERT_EQ(drv.alias(1, "gone-with-drv"), 0);
    ASSERT_TRUE(ui.waitPresence("gone-with-drv", true));
    drv.close();
    ASSERT_TRUE(ui.waitPresence("gone-with-drv", false));
    ASSERT_TRUE(ui.waitPresence("drv", false));
}

TEST_F(IpcdRouting, ForwardedMessagesFromAPrimarySourceAreDropped) {
    ASSERT_TRUE(drv.send(drv.user(ui.id(), "forged", 2, drv.id(), drv.id())));
    EXPECT_TRUE(dmn.waitLog("received forwarded message from a primary node --> discarding"));
    EXPECT_TRUE(ui.quiet());
}

TEST_F(IpcdRouting, LookupsAnswerByIdAndByName) {
    dgramT d;
    ipcHeaderT h;
    h.srcId = ui.id();
    h.ivkId = 5;
    ASSERT_TRUE(ipcBuildDns(d, h, ipcDnsT{1, ""}));
    ASSERT_TRUE(ui.send(d));
    ipcDnsT ans;
    ASSERT_TRUE(ui.recvKind(enIPC_DNS, d));
    ASSERT_TRUE(ipcParseDns(d, h, ans));
    EXPECT_TRUE(h.reply);
    EXPECT_EQ(h.dstId, ui.id());
    EXPECT_EQ(ans.id, 1u);
    EXPECT_EQ(ans.node, "drv");

    struct caseT {
        ipcDnsT req;
        uint32_t id;
        std::string name;
    } cases[] = {{{0, "drv"}, 1, ""}, {{0, "nobody"}, 0, ""}, {{99, ""}, 99, ""}};
    for (const auto& c : cases) {
        h = ipcHeaderT();
        h.srcId = ui.id();
        ASSERT_TRUE(ipcBuildDns(d, h, c.req));
        ASSERT_TRUE(ui.send(d));
        ASSERT_TRUE(ui.recvKind(enIPC_DNS, d));
        ASSERT_TRUE(ipcParseDns(d, h, ans));
        EXPECT_EQ(ans.id, c.id) << c.req.node;
        EXPECT_EQ(ans.node, c.name) << c.req.node;
    }
}

TEST_F(IpcdRouting, SpoofedSourcesAndRequestsAreRefused) {
    nodeT third;
    ASSERT_EQ(third.attach("local", "third"), 0);
    // ui sends as drv; as drv's forwarder; binds and unbinds on drv's behalf.
    ASSERT_TRUE(ui.send(ui.user(third.id(), "as drv", 2, drv.id())));
    EXPECT_TRUE(dmn.waitLog("refused message from node \"ui\" (id = 2) claiming source 1 and "
                            "forwarder 0 --> discarding"));
    ASSERT_EQ(drv.alias(1, "drv-alias"), 0);
    ASSERT_TRUE(ui.send(ui.user(third.id(), "as drv's alias", 2, 4, drv.id())));
    EXPECT_TRUE(dmn.waitLog("claiming source 4 and forwarder 1 --> discarding"));
    dgramT d;
    ASSERT_TRUE(ipcBuildAliasRequest(d, 2, "local", "drv-alias", drv.id(), 9));
    ASSERT_TRUE(ui.send(d));
    EXPECT_TRUE(dmn.waitLog("refused subscription request from node \"ui\" (id = 2) on behalf of "
                            "node 1 --> discarding"));
    ipcHeaderT h;
    h.srcId = third.id();
    ASSERT_TRUE(ipcBuildDns(d, h, ipcDnsT{0, "drv"}));
    ASSERT_TRUE(ui.send(d));
    EXPECT_TRUE(dmn.waitLog("refused name lookup from node \"ui\" (id = 2) on behalf of node 3 "
                            "--> discarding"));
    EXPECT_FALSE(third.recvKind(enIPC_DNS, d, 300));
    EXPECT_TRUE(third.quiet());
    // The alias still works: the unbind was not carried out.
    ASSERT_TRUE(third.send(third.user(4, "to alias")));
    ASSERT_TRUE(drv.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "to alias");
}

TEST_F(IpcdRouting, MalformedDatagramsAreDroppedAndTheSenderStays) {
    dgramT sub;
    ASSERT_TRUE(ipcBuildAliasRequest(sub, 1, "local", "x", ui.id(), 3));
    std::string truncated(sub.buf(), sub.length() - 1);
    std::string padded = std::string(sub.buf(), sub.length()) + std::string(4, '\0');
    dgramT user = ui.user(drv.id(), "x");
    std::string prio7(user.buf(), user.length());
    prio7[4] = 7;
    std::string kind2(user.buf(), user.length());
    kind2[0] = 2;
    std::string kind9(user.buf(), user.length());
    kind9[0] = 9;
    dgramT again, elsewhere;
    ASSERT_TRUE(ipcBuildAliasRequest(again, 0, "local", "ui", ui.id(), 4));
    ASSERT_TRUE(ipcBuildAliasRequest(elsewhere, 1, "remote", "x", ui.id(), 5));
    struct caseT {
        std::string bytes;
        std::string log;
    } cases[] = {
        {std::string(3, '\0'),
         "datagram of 3 bytes from node \"ui\" is shorter than a header --> discarding"},
        {prio7, "datagram with invalid priority 7 from node \"ui\" --> discarding"},
        {kind2, "{ _dispatch } unexpected message type (2) --> discarding"},
        {kind9, "{ _dispatch } unexpected message type (9) --> discarding"},
        {truncated, "malformed message of type 1 (36 bytes) from node \"ui\" --> discarding"},
        {padded, "malformed message of type 1 (41 bytes) from node \"ui\" --> discarding"},
        {std::string(again.buf(), again.length()),
         "unexpected subscription message from already registered node \"ui\" --> discarding"},
        {std::string(elsewhere.buf(), elsewhere.length()), "wrong service name \"remote\""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(ui.sendRaw(c.bytes));
        EXPECT_TRUE(dmn.waitLog(c.log)) << c.log;
    }
    EXPECT_TRUE(drv.quiet());
    ASSERT_TRUE(ui.send(ui.user(drv.id(), "still attached")));
    dgramT d;
    ASSERT_TRUE(drv.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "still attached");
}

TEST_F(IpcdRouting, AReplySentJustBeforeLeavingIsStillDelivered) {
    // drv's reply and its end of connection arrive together.
    ASSERT_TRUE(drv.send(drv.user(ui.id(), "last words", 2, 0, 0, 12)));
    drv.close();
    dgramT d;
    ASSERT_TRUE(ui.recvKind(enIPC_USER, d));
    EXPECT_EQ(payload(d), "last words");
    ASSERT_TRUE(ui.waitPresence("drv", false));
}

TEST_F(IpcdRouting, DatagramsAboveTheLargestAreRefusedWhole) {
    int big = 4 << 20;
    ::setsockopt(ui.fd(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    std::string text(rux::localMsgMax + 1 - ipcHeaderT::size, 'b');
    if (!ui.send(ui.user(drv.id(), text)))
        GTEST_SKIP() << "the system's socket buffers do not carry a datagram this large";
    EXPECT_TRUE(dmn.waitLog("datagram of " + std::to_string(rux::localMsgMax + 1) +
                            " bytes from node \"ui\" exceeds the largest of " +
                            std::to_string(rux::localMsgMax) + " bytes --> discarding"));
    EXPECT_TRUE(drv.quiet());
    // The largest itself goes through.
    text.pop_back();
    ASSERT_TRUE(ui.send(ui.user(drv.id(), text)));
    dgramT d;
    ASSERT_TRUE(drv.recvKind(enIPC_USER, d));
    EXPECT_EQ(d.length(), rux::localMsgMax);
}
