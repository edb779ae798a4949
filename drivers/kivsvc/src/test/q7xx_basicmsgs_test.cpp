// Identification, serial-number and reset messages, the identifier table and
// the base protocol factory.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "q7xx/basicmsgs.h"
#include "q7xx/msgids.h"
#include "q7xx/protofactory.h"
#include "q7xx_test_support.h"

using q7xxtest::bytesT;
using q7xxtest::report;

namespace {

// Identify reply payload: first byte, hardware and software version, name.
bytesT idPayload(unsigned char hw, unsigned char sw, const std::string& name) {
    bytesT p(20, 0);
    p[0] = 0x5A;
    p[1] = hw;
    p[2] = sw;
    std::memcpy(p.data() + 3, name.data(), name.size() < 17 ? name.size() : 17);
    return p;
}

bytesT snumPayload(const std::string& snum) {
    bytesT p(18, 0);
    std::memcpy(p.data() + 1, snum.data(), snum.size() < 17 ? snum.size() : 17);
    return p;
}

int len(const bytesT& b) {
    return static_cast<int>(b.size());
}

} // namespace

// --- requests and resets -----------------------------------------------------

TEST(Q7xxRequestT, IdentifyRequestFillsA64ByteReport) {
    q7xxUSBMsg_IDREQ m;
    bytesT buf(64, 0xCC);
    ASSERT_EQ(m.formatReport(buf.data(), buf.size()), 3);
    bytesT want(64, 0);
    want[0] = 0x02;
    want[1] = 0x01;
    want[2] = 0x03;
    EXPECT_EQ(buf, want);
}

TEST(Q7xxRequestT, ShortFramesAreExact) {
    struct caseT {
        std::unique_ptr<q7xxUSBMsgT> msg;
        bytesT frame;
    };
    caseT cases[] = {
        {std::make_unique<q7xxUSBMsg_SWRESET>(), {0x03, 0x01, 0x04}},
        {std::make_unique<q7xxUSBMsg_HWRESET>(), {0x03, 0x02, 0x05}},
        {std::make_unique<q7xxUSBMsg_CFGRESET>(), {0x01, 0x05, 0x06}},
        {std::make_unique<q7xxUSBMsg_SNUMREQ>(), {0x02, 0x03, 0x05}},
        {std::make_unique<q7xxUSBMsg_IDREQ>(), {0x02, 0x01, 0x03}},
    };
    for (auto& c : cases) {
        bytesT buf(8, 0);
        ASSERT_EQ(c.msg->format(buf.data()), 3);
        EXPECT_EQ(bytesT(buf.begin(), buf.begin() + 3), c.frame);
        EXPECT_EQ(bytesT(buf.begin() + 3, buf.end()), bytesT(5, 0));
    }
}

// --- identify reply ----------------------------------------------------------

TEST(Q7xxIdReplyT, DecodesVersionsAndName) {
    q7xxtest::driverLogT log;
    q7xxUSBMsg_IDREPLY m;
    bytesT r = report(0x04, 0x01, idPayload(0x03, 0x1A, "Q7.20 MAGMETER"), 64, 22);
    r[40] = 0x99; // padding behind the payload is not covered
    ASSERT_TRUE(m.parse(r.data(), len(r)));
    EXPECT_EQ(m.first(), 0x5A);
    EXPECT_EQ(m.hwver(), 0x03);
    EXPECT_EQ(m.swver(), 0x1A);
    EXPECT_EQ(m.name(), "Q7.20 MAGMETER");
    // The 15 bytes the driver compares: 14 characters and the NUL.
    EXPECT_EQ(0, std::memcmp(m.rawName().data(), "Q7.20 MAGMETER", 15));
    EXPECT_TRUE(log.lines().empty());
}

TEST(Q7xxIdReplyT, ChecksumCoversTheWholeFrame) {
    q7xxtest::driverLogT log;
    const bytesT good = report(0x04, 0x01, idPayload(1, 2, "Q8.10 MAGMETER"), 64, 22);
    for (int i : {2, 3, 10, 21}) { // first payload byte, hw version, name, last name byte
        bytesT bad = good;
        bad[i] ^= 0x01;
        q7xxUSBMsg_IDREPLY m;
        EXPECT_FALSE(m.parse(bad.data(), len(bad))) << "byte " << i;
    }
    EXPECT_EQ(log.lines().size(), 8u); // two lines per mismatch
}

TEST(Q7xxIdReplyT, ShortPayloadFails) {
    q7xxtest::driverLogT log;
    q7xxUSBMsg_IDREPLY m;
    // 19 payload bytes and the checksum: one short.
    bytesT r = report(0x04, 0x01, idPayload(1, 2, "Q7.20 MAGMETER"), 22, 21);
    EXPECT_FALSE(m.parse(r.data(), len(r)));
    // 20 payload bytes and the checksum: the smallest valid reply.
    bytesT ok = report(0x04, 0x01, idPayload(1, 2, "Q7.20 MAGMETER"), 23, 22);
    EXPECT_TRUE(m.parse(ok.data(), len(ok)));
    EXPECT_TRUE(log.lines().empty());
}

TEST(Q7xxIdReplyT, NameWithoutNulStaysWithinItsField) {
    q7xxUSBMsg_IDREPLY m;
    bytesT p = idPayload(1, 2, "");
    std::memset(p.data() + 3, 'X', 17);
    bytesT r = report(0x04, 0x01, p, 23, 22); // the name runs into the checksum byte
    ASSERT_TRUE(m.parse(r.data(), len(r)));
    EXPECT_EQ(m.name(), std::string(17, 'X'));
}

TEST(Q7xxIdReplyT, OtherRepliesAreNotIdentifyReplies) {
    q7xxUSBMsg_IDREPLY m;
    bytesT snum = report(0x04, 0x03, idPayload(1, 2, "Q7.20 MAGMETER"), 64, 22);
    bytesT request = report(0x02, 0x01, idPayload(1, 2, "Q7.20 MAGMETER"), 64, 22);
    EXPECT_FALSE(m.parse(snum.data(), len(snum)));
    EXPECT_FALSE(m.parse(request.data(), len(request)));
}

// --- serial-number reply -----------------------------------------------------

TEST(Q7xxSnumReplyT, KeepsSerialNumberAsRawBytes) {
    q7xxUSBMsg_SNUMREPLY m;
    const std::string snum("A1\0\xFF"
                           "0123456789abc",
                           17);
    bytesT r = report(0x04, 0x03, snumPayload(snum), 64, 59);
    ASSERT_TRUE(m.parse(r.data(), len(r)));
    EXPECT_EQ(m.snum(), snum);
    EXPECT_EQ(m.snum().size(), 17u);
}

TEST(Q7xxSnumReplyT, ChecksumLeavesOutTheLastFiveBytes) {
    q7xxtest::driverLogT log;
    const bytesT good = report(0x04, 0x03, snumPayload("SN-0000000000042"), 64, 59);
    {
        q7xxUSBMsg_SNUMREPLY m;
        bytesT r = good;
        r[59] = r[60] = r[61] = r[62] = 0x7F; // outside the checked range
        EXPECT_TRUE(m.parse(r.data(), len(r)));
    }
    {
        q7xxUSBMsg_SNUMREPLY m;
        bytesT r = good;
        r[58] ^= 0x01; // last checked byte
        EXPECT_FALSE(m.parse(r.data(), len(r)));
        ASSERT_EQ(log.lines().size(), 2u);
        EXPECT_NE(log.lines()[0].find("sz =64 n =57\n"), std::string::npos);
    }
}

TEST(Q7xxSnumReplyT, CheckedRangeFollowsEachReportsLength) {
    // Meters with different input-report lengths in one process.
    q7xxUSBMsg_SNUMREPLY reused;
    for (std::size_t n : {64u, 32u, 64u, 23u, 128u}) {
        bytesT r = report(0x04, 0x03, snumPayload("LEN" + std::to_string(n)), n, n - 5);
        q7xxUSBMsg_SNUMREPLY fresh;
        EXPECT_TRUE(fresh.parse(r.data(), len(r))) << n;
        EXPECT_TRUE(reused.parse(r.data(), len(r))) << n;
        EXPECT_EQ(reused.snum().substr(0, 3), "LEN");
    }
}

TEST(Q7xxSnumReplyT, ShortPayloadFails) {
    q7xxtest::driverLogT log;
    q7xxUSBMsg_SNUMREPLY m;
    for (std::size_t n : {0u, 1u, 2u, 10u, 19u}) { // up to 17 payload bytes
        bytesT r(n, 0);
        if (n > 0)
            r[0] = 0x04;
        if (n > 1)
            r[1] = 0x03;
        EXPECT_FALSE(m.parse(n ? r.data() : nullptr, static_cast<int>(n))) << n;
    }
    EXPECT_TRUE(log.lines().empty());
}

// --- identifier table --------------------------------------------------------

TEST(Q7xxMsgIdT, EveryMessageCarriesItsIdentifiers) {
    struct rowT {
        q7xxMsgIdT id;
        unsigned char rid, mid;
    };
    using namespace q7xxMsgId;
    const rowT table[] = {
        {IDREQ, 2, 1},
        {IDREPLY, 4, 1},
        {SNUMREQ, 2, 3},
        {SNUMREPLY, 4, 3},
        {SWRESET, 3, 1},
        {HWRESET, 3, 2},
        {CFGRESET, 1, 5},
        {GETCFG(false), 2, 2},
        {GETCFG(true), 2, 3},
        {SETCFG(false), 1, 2},
        {SETCFG(true), 1, 3},
        {CONFIGREPLY(false), 4, 2},
        {CONFIGREPLY(true), 4, 3},
        {GETHWSETTINGS, 2, 6},
        {HWSETTINGSREPLY, 4, 6},
        {GETCOOKIE, 2, 7},
        {SETCOOKIE, 1, 7},
        {COOKIEREPLY, 4, 7},
        {GETEXTDCFG, 2, 8},
        {SETEXTDCFG, 1, 8},
        {EXTDCFGREPLY, 4, 8},
        {GETMEASURE, 2, 9},
        {GETMEASUREREPLY, 4, 9},
    };
    for (const auto& r : table) {
        EXPECT_EQ(r.id.rid, r.rid);
        EXPECT_EQ(r.id.mid, r.mid);
    }

    q7xxProtoFactoryT f;
    const std::pair<std::unique_ptr<q7xxUSBMsgT>, q7xxMsgIdT> made[] = {
        {f.make_idreq(), IDREQ},         {f.make_idreply(), IDREPLY}, {f.make_snumreq(), SNUMREQ},
        {f.make_snumreply(), SNUMREPLY}, {f.make_swreset(), SWRESET}, {f.make_hwreset(), HWRESET},
        {f.make_cfgreset(), CFGRESET},
    };
    for (const auto& m : made) {
        ASSERT_TRUE(m.first);
        EXPECT_EQ((q7xxMsgIdT{m.first->rid(), m.first->mid()}), m.second);
    }
}

// --- protocol factory --------------------------------------------------------

TEST(Q7xxProtoFactoryT, MakesAFreshObjectPerCall) {
    const std::shared_ptr<const q7xxProtoFactoryT> f = std::make_shared<q7xxProtoFactoryT>();
    auto a = f->make_snumreply();
    auto b = f->make_snumreply();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());

    // Decoding into one object leaves the other untouched.
    bytesT r = report(0x04, 0x03, snumPayload("FIRST"), 64, 59);
    ASSERT_TRUE(a->parse(r.data(), len(r)));
    EXPECT_TRUE(b->snum().empty());

    // Messages go to the driver as shared pointers to the base class.
    std::shared_ptr<q7xxUSBMsgT> req = f->make_idreq();
    EXPECT_EQ(req->rid(), 2);
}

TEST(Q7xxProtoFactoryT, BaseFactoryMakesNoCommands) {
    q7xxProtoFactoryT f;
    EXPECT_EQ(f.make_cmdGetConfig(), nullptr);
    EXPECT_EQ(f.make_cmdGetStatus(), nullptr);
    EXPECT_EQ(f.make_cmdSetConfig(), nullptr);
    EXPECT_EQ(f.make_cmdGetMeasure(), nullptr);
}
