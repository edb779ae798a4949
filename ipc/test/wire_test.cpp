#include "ipc/wire.h"

#include <cstring>
#include <memory>
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

// The first `len` bytes of `b` in heap storage of exactly that size, so that a
// read past the length is a read past the allocation (the address sanitizer
// catches it).
class exactT {
public:
    exactT(const bytesT& b, size_t len)
        : _mem(new char[len ? len : 1]), _d(_mem.get(), uint32_t(len), uint32_t(len)) {
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
    EXPECT_TRUE(back.reply && back.syncFwd);
    EXPECT_EQ(back.srcId, 0x01020304u);
    EXPECT_EQ(back.dstId, 0x0a0b0c0du);
    EXPECT_EQ(back.fwdId, 0xdeadbeefu);
    EXPECT_EQ(back.ivkId, 0xffffffffu);
}

TEST(IpcHeaderT, RejectsShortUnknownKindAndBadPriority) {
    ipcHeaderT h;
    for (size_t len = 0; len < ipcHeaderT::size; ++len)
        EXPECT_FALSE(ipcParseHeader(exactT(header(0, 0), len).d(), h)) << len;
    for (unsigned kind = 4; kind < 256; ++kind)
        EXPECT_FALSE(ipcParseHeader(exactT(header(uint8_t(kind), 0), 21).d(), h)) << kind;
    for (uint8_t prio = 5; prio < 8; ++prio)
        EXPECT_FALSE(ipcParseHeader(exactT(header(0, prio | 0x18), 21).d(), h)) << int(prio);
    for (uint8_t kind = 0; kind < 4; ++kind)
        EXPECT_TRUE(ipcParseHeader(exactT(header(kind, 4), 21).d(), h)) << int(kind);
    // Receivers still learn the kind they refuse, for their log.
    EXPECT_EQ(ipcRawKind(exactT(header(9, 0), 21).d()), 9);
    EXPECT_EQ(ipcRawKind(exactT(header(2, 7), 21).d()), 2);
    EXPECT_EQ(ipcRawKind(exactT(header(1, 0), 20).d()), -1);
}

TEST(IpcSubscr, AttachRequestImage) {
    dgramT d;
    ASSERT_TRUE(ipcBuildAttach(d, "local", "n"));
    bytesT want(37, 0); // type 0, status 0, every id 0, priority 0
    want[0] = 1;
    std::memcpy(&want[29], "local", 5);
    want[35] = 'n';
    EXPECT_EQ(bytesOf(d), want);
    ipcHeaderT h;
    ipcSubscrT s;
    ASSERT_TRUE(ipcParseSubscr(d, h, s));
    EXPECT_EQ(s.service + ":" + s.node, "local:n");
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
    EXPECT_EQ(rs.service + ":" + rs.node, "svc:alias");
}

TEST(IpcSubscr, NamesMustEndInsideTheDatagram) {
    dgramT d;
    ASSERT_TRUE(ipcBuildAttach(d, "service", "node"));
    bytesT full = bytesOf(d);
    ipcHeaderT h;
    ipcSubscrT s;
    for (size_t len = 0; len < full.size(); ++len)
        EXPECT_FALSE(ipcParseSubscr(exactT(full, len).d(), h, s)) << len;
    bytesT junk = header(1, 0);
    junk.resize(200, 'x');
    EXPECT_FALSE(ipcParseSubscr(exactT(junk, junk.size()).d(), h, s));
    full.push_back(0x55); // trailing bytes after both names do no harm
    EXPECT_TRUE(ipcParseSubscr(exactT(full, full.size()).d(), h, s));
    EXPECT_EQ(s.node, "node");
    // Empty names are still terminated.
    ASSERT_TRUE(ipcBuildAttach(d, "", ""));
    EXPECT_EQ(d.length(), 31u);
    EXPECT_TRUE(ipcParseSubscr(d, h, s));
}

TEST(IpcNotif, PresenceImageHasZeroTail) {
    dgramT d;
    ipcNotifT n;
    n.id = 0x11223344;
    n.up = true;
    n.node = "ab";
    ASSERT_TRUE(ipcBuildNotif(d, 5, n));
    bytesT want(32, 0); // 28 is the terminator, 29-31 the zero tail
    want[0] = 2;
    want[9] = 5;
    want[21] = 0x44;
    want[22] = 0x33;
    want[23] = 0x22;
    want[24] = 0x11;
    want[25] = 1;
    want[26] = 'a';
    want[27] = 'b';
    EXPECT_EQ(bytesOf(d), want);
    ipcHeaderT h;
    ipcNotifT back;
    ASSERT_TRUE(ipcParseNotif(d, h, back));
    EXPECT_EQ(h.dstId, 5u);
    EXPECT_EQ(back.id, 0x11223344u);
    EXPECT_TRUE(back.up);
    EXPECT_EQ(back.node, "ab");
}

TEST(IpcNotif, MalformedPresenceIsRejected) {
    dgramT d;
    ipcNotifT n;
    n.node = "abc";
    ASSERT_TRUE(ipcBuildNotif(d, 1, n));
    bytesT full = bytesOf(d);
    ipcHeaderT h;
    ipcNotifT back;
    for (size_t len = 0; len < 30; ++len)
        EXPECT_FALSE(ipcParseNotif(exactT(full, len).d(), h, back)) << len;
    EXPECT_TRUE(ipcParseNotif(exactT(full, 30).d(), h, back));
    EXPECT_FALSE(back.up);
    full[25] = 2;
    EXPECT_FALSE(ipcParseNotif(exactT(full, full.size()).d(), h, back));
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
    ipcHeaderT h;
    ipcDnsT got;
    ASSERT_TRUE(ipcParseDns(d, h, got));
    EXPECT_EQ(got.node, "kivsvc-drv");

    ipcDnsT answer;
    answer.id = 9;
    dgramT r;
    ASSERT_TRUE(ipcBuildDnsResponse(r, h, answer));
    EXPECT_EQ(r.length(), 30u);
    ASSERT_TRUE(ipcParseDns(r, h, got));
    EXPECT_TRUE(h.reply);
    EXPECT_EQ(h.dstId, 4u);
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
    ASSERT_TRUE(ipcBuildNotif(notif, 1, ipcNotifT()));
    ASSERT_TRUE(ipcBuildDns(dns, ipcHeaderT(), ipcDnsT()));
    ipcHeaderT h;
    ipcSubscrT s;
    ipcNotifT n;
    ipcDnsT q;
    EXPECT_FALSE(ipcParseSubscr(notif, h, s) || ipcParseSubscr(dns, h, s));
    EXPECT_FALSE(ipcParseNotif(sub, h, n) || ipcParseNotif(dns, h, n));
    EXPECT_FALSE(ipcParseDns(sub, h, q) || ipcParseDns(notif, h, q));
}

TEST(IpcWire, BuildersRefuseNamesWithNul) {
    dgramT d(5);
    std::string bad("a\0b", 3);
    EXPECT_FALSE(ipcBuildAttach(d, bad, "n"));
    EXPECT_FALSE(ipcBuildAttach(d, "s", bad));
    EXPECT_FALSE(ipcBuildNotif(d, 1, ipcNotifT{0, true, bad}));
    EXPECT_FALSE(ipcBuildDns(d, ipcHeaderT(), ipcDnsT{0, bad}));
    EXPECT_EQ(d.capacity(), 5u); // untouched
}
