#include "ipc/wire.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace rux;
using namespace rux::impl;

namespace {

using bytesT = std::vector<unsigned char>;

bytesT bytesOf(const dgramT& d) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(d.buf());
    return bytesT(p, p + d.length());
}

// A datagram whose storage is exactly `b` on the heap, so that a read past the
// length is a read past the allocation (caught by the address sanitizer).
class exactT {
public:
    explicit exactT(const bytesT& b, size_t len)
        : _mem(new char[len ? len : 1]), _d(_mem.get(), uint32_t(len), uint32_t(len)) {
        if (len)
            std::memcpy(_mem.get(), b.data(), len);
    }
    const dgramT& d() const { return _d; }

private:
    std::unique_ptr<char[]> _mem;
    dgramT _d;
};

bytesT header(uint8_t kind, uint8_t flags) {
    bytesT b(ipcHeaderT::size, 0);
    b[0] = kind;
    b[4] = flags;
    return b;
}

} // namespace

TEST(IpcHeaderT, FieldsAreLittleEndianAtFixedOffsets) {
    dgramT d(ipcHeaderT::size);
    ipcHeaderT h;
    h.kind = enIPC_DNS;
    h.prio = 3;
    h.reply = true;
    h.syncFwd = true;
    h.srcId = 0x01020304;
    h.dstId = 0x0a0b0c0d;
    h.fwdId = 0xdeadbeef;
    h.ivkId = 0xffffffff;
    ipcStoreHeader(d, h);
    EXPECT_EQ(bytesOf(d), (bytesT{3,    0,    0,    0,    0x1b, 4,    3,    2,    1,    0x0d, 0x0c,
                                  0x0b, 0x0a, 0xef, 0xbe, 0xad, 0xde, 0xff, 0xff, 0xff, 0xff}));

    ipcHeaderT back;
    ASSERT_TRUE(ipcParseHeader(d, back));
    EXPECT_EQ(back.kind, enIPC_DNS);
    EXPECT_EQ(unsigned(back.prio), 3u);
    EXPECT_TRUE(back.reply);
    EXPECT_TRUE(back.syncFwd);
    EXPECT_EQ(back.srcId, 0x01020304u);
    EXPECT_EQ(back.dstId, 0x0a0b0c0du);
    EXPECT_EQ(back.fwdId, 0xdeadbeefu);
    EXPECT_EQ(back.ivkId, 0xffffffffu);
}

TEST(IpcHeaderT, StoreKeepsPayloadAndPosition) {
    dgramT d(30);
    d.write("0123456789012345678901234567", 28);
    d.seek(25, enSEEK_SET);
    ipcStoreHeader(d, ipcHeaderT());
    EXPECT_EQ(d.length(), 28u);
    EXPECT_EQ(d.position(), 25u);
    EXPECT_EQ(std::string(d.buf() + 21, 7), "1234567");
}

TEST(IpcHeaderT, RejectsShortUnknownKindAndBadPriority) {
    ipcHeaderT h;
    for (size_t len = 0; len < ipcHeaderT::size; ++len)
        EXPECT_FALSE(ipcParseHeader(exactT(header(0, 0), len).d(), h)) << len;
    for (unsigned kind = 4; kind < 256; ++kind)
        EXPECT_FALSE(ipcParseHeader(exactT(header(uint8_t(kind), 0), 21).d(), h)) << kind;
    for (uint8_t prio = 5; prio < 8; ++prio) {
        EXPECT_FALSE(ipcParseHeader(exactT(header(0, prio), 21).d(), h)) << int(prio);
        EXPECT_FALSE(ipcParseHeader(exactT(header(0, prio | 0x18), 21).d(), h)) << int(prio);
    }
    for (uint8_t kind = 0; kind < 4; ++kind)
        EXPECT_TRUE(ipcParseHeader(exactT(header(kind, 4), 21).d(), h)) << int(kind);
}

TEST(IpcSubscr, AttachRequestImage) {
    dgramT d;
    ASSERT_TRUE(ipcBuildAttach(d, "local", "n"));
    bytesT want(37, 0);
    want[0] = 1; // kind; type (offset 21), status and all ids stay 0
    std::memcpy(&want[29], "local", 5);
    want[35] = 'n';
    EXPECT_EQ(bytesOf(d), want);

    ipcHeaderT h;
    ipcSubscrT s;
    ASSERT_TRUE(ipcParseSubscr(d, h, s));
    EXPECT_EQ(s.type, uint32_t(ipcSubscrT::enATTACH));
    EXPECT_EQ(s.service, "local");
    EXPECT_EQ(s.node, "n");
    EXPECT_FALSE(h.reply);
    EXPECT_EQ(h.ivkId, 0u);
    EXPECT_EQ(unsigned(h.prio), 0u);
}

TEST(IpcSubscr, AliasRequestAndResponse) {
    dgramT req;
    ASSERT_TRUE(ipcBuildAliasRequest(req, ipcSubscrT::enUNBIND, "svc", "alias", 7, 99));
    EXPECT_EQ(req.length(), 31u + 3 + 5);
    ipcHeaderT h;
    ipcSubscrT s;
    ASSERT_TRUE(ipcParseSubscr(req, h, s));
    EXPECT_EQ(h.srcId, 7u);
    EXPECT_EQ(h.ivkId, 99u);
    EXPECT_FALSE(h.reply);
    EXPECT_EQ(s.type, uint32_t(ipcSubscrT::enUNBIND));
    EXPECT_EQ(s.status, 0u);

    dgramT resp;
    ASSERT_TRUE(ipcBuildSubscrResponse(resp, h, s, ipcSubscrT::enREFUSED, 7));
    ipcHeaderT rh;
    ipcSubscrT rs;
    ASSERT_TRUE(ipcParseSubscr(resp, rh, rs));
    EXPECT_TRUE(rh.reply);
    EXPECT_EQ(rh.ivkId, 99u);
    EXPECT_EQ(rh.dstId, 7u);
    EXPECT_EQ(rh.srcId, 0u);
    EXPECT_EQ(rs.type, uint32_t(ipcSubscrT::enUNBIND));
    EXPECT_EQ(rs.status, uint32_t(ipcSubscrT::enREFUSED));
    EXPECT_EQ(rs.service, "svc");
    EXPECT_EQ(rs.node, "alias");
    EXPECT_EQ(bytesOf(resp)[25], 2);
}

TEST(IpcSubscr, EmptyNamesStillTerminate) {
    dgramT d;
    ASSERT_TRUE(ipcBuildAttach(d, "", ""));
    EXPECT_EQ(d.length(), 31u);
    ipcHeaderT h;
    ipcSubscrT s;
    s.service = "stale";
    ASSERT_TRUE(ipcParseSubscr(d, h, s));
    EXPECT_EQ(s.service, "");
    EXPECT_EQ(s.node, "");
}

TEST(IpcSubscr, UnterminatedNamesAreRejected) {
    dgramT d;
    ASSERT_TRUE(ipcBuildAttach(d, "service", "node"));
    bytesT full = bytesOf(d);
    ipcHeaderT h;
    ipcSubscrT s;
    // Every cut before the second terminator leaves a name running off the end.
    for (size_t len = 0; len < full.size(); ++len)
        EXPECT_FALSE(ipcParseSubscr(exactT(full, len).d(), h, s)) << len;
    EXPECT_TRUE(ipcParseSubscr(exactT(full, full.size()).d(), h, s));

    // No terminator at all in a long tail.
    bytesT junk = header(1, 0);
    junk.resize(200, 'x');
    EXPECT_FALSE(ipcParseSubscr(exactT(junk, junk.size()).d(), h, s));
    // Trailing bytes after both names do no harm.
    full.push_back(0x55);
    EXPECT_TRUE(ipcParseSubscr(exactT(full, full.size()).d(), h, s));
    EXPECT_EQ(s.node, "node");
}

TEST(IpcNotif, PresenceImageHasZeroTail) {
    dgramT d;
    ipcNotifT n;
    n.id = 0x11223344;
    n.up = true;
    n.node = "ab";
    ASSERT_TRUE(ipcBuildNotif(d, 5, n));
    bytesT want(32, 0);
    want[0] = 2;
    want[9] = 5; // dstId
    want[21] = 0x44;
    want[22] = 0x33;
    want[23] = 0x22;
    want[24] = 0x11;
    want[25] = 1;
    want[26] = 'a';
    want[27] = 'b'; // 28 NUL, 29-31 zero
    EXPECT_EQ(bytesOf(d), want);

    ipcHeaderT h;
    ipcNotifT back;
    ASSERT_TRUE(ipcParseNotif(d, h, back));
    EXPECT_EQ(h.dstId, 5u);
    EXPECT_EQ(back.id, 0x11223344u);
    EXPECT_TRUE(back.up);
    EXPECT_EQ(back.node, "ab");

    n.up = false;
    ASSERT_TRUE(ipcBuildNotif(d, 5, n));
    ASSERT_TRUE(ipcParseNotif(d, h, back));
    EXPECT_FALSE(back.up);
}

TEST(IpcNotif, MalformedPresenceIsRejected) {
    dgramT d;
    ipcNotifT n;
    n.node = "abc";
    ASSERT_TRUE(ipcBuildNotif(d, 1, n));
    bytesT full = bytesOf(d);
    ipcHeaderT h;
    ipcNotifT back;
    for (size_t len = 0; len < 26 + 3 + 1; ++len)
        EXPECT_FALSE(ipcParseNotif(exactT(full, len).d(), h, back)) << len;
    EXPECT_TRUE(ipcParseNotif(exactT(full, 30).d(), h, back));

    bytesT bad = full;
    bad[25] = 2;
    EXPECT_FALSE(ipcParseNotif(exactT(bad, bad.size()).d(), h, back));
    bad = full;
    bad[0] = enIPC_SUBSCR;
    EXPECT_FALSE(ipcParseNotif(exactT(bad, bad.size()).d(), h, back));
}

TEST(IpcDns, LookupRequestAndResponse) {
    ipcHeaderT req;
    req.srcId = 4;
    req.ivkId = 12;
    ipcDnsT ask;
    ask.node = "kivsvc-drv";
    dgramT d;
    ASSERT_TRUE(ipcBuildDns(d, req, ask));
    EXPECT_EQ(d.length(), 30u + 10);
    EXPECT_EQ(bytesOf(d)[0], 3);
    for (size_t i = 35; i < 40; ++i)
        EXPECT_EQ(bytesOf(d)[i], 0) << i;

    ipcHeaderT h;
    ipcDnsT got;
    ASSERT_TRUE(ipcParseDns(d, h, got));
    EXPECT_EQ(got.id, 0u);
    EXPECT_EQ(got.node, "kivsvc-drv");

    ipcDnsT answer;
    answer.id = 9;
    dgramT r;
    ASSERT_TRUE(ipcBuildDnsResponse(r, h, answer));
    EXPECT_EQ(r.length(), 30u);
    ASSERT_TRUE(ipcParseDns(r, h, got));
    EXPECT_TRUE(h.reply);
    EXPECT_EQ(h.dstId, 4u);
    EXPECT_EQ(h.srcId, 4u);
    EXPECT_EQ(h.ivkId, 12u);
    EXPECT_EQ(got.id, 9u);
    EXPECT_EQ(got.node, "");

    bytesT full = bytesOf(d);
    for (size_t len = 0; len < 36; ++len)
        EXPECT_FALSE(ipcParseDns(exactT(full, len).d(), h, got)) << len;
}

TEST(IpcWire, ParsersCheckTheKind) {
    dgramT sub, notif, dns;
    ASSERT_TRUE(ipcBuildAttach(sub, "s", "n"));
    ipcNotifT n;
    ASSERT_TRUE(ipcBuildNotif(notif, 1, n));
    ASSERT_TRUE(ipcBuildDns(dns, ipcHeaderT(), ipcDnsT()));
    ipcHeaderT h;
    ipcSubscrT s;
    ipcNotifT nb;
    ipcDnsT db;
    EXPECT_FALSE(ipcParseSubscr(notif, h, s));
    EXPECT_FALSE(ipcParseSubscr(dns, h, s));
    EXPECT_FALSE(ipcParseNotif(sub, h, nb));
    EXPECT_FALSE(ipcParseDns(sub, h, db));
    EXPECT_FALSE(ipcParseDns(notif, h, db));
}

TEST(IpcWire, BuildersRefuseNamesWithNul) {
    dgramT d(5);
    std::string bad("a\0b", 3);
    EXPECT_FALSE(ipcBuildAttach(d, bad, "n"));
    EXPECT_FALSE(ipcBuildAttach(d, "s", bad));
    ipcNotifT n;
    n.node = bad;
    EXPECT_FALSE(ipcBuildNotif(d, 1, n));
    ipcDnsT q;
    q.node = bad;
    EXPECT_FALSE(ipcBuildDns(d, ipcHeaderT(), q));
    EXPECT_EQ(d.capacity(), 5u); // untouched
}
