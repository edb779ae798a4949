// Identification, serial-number and reset messages, the identifier table and
// the base protocol factory.
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "q7xx/protofactory.h"
#include "q7xx_test_support.h"

using q7xxtest::bytesT;
using q7xxtest::report;

namespace {

// Identify reply payload: first byte, hardware and software version, name.
bytesT idPayload(unsigned char hw, unsigned char sw, const std::string& name) {
    bytesT p{0x5A, hw, sw};
    p.insert(p.end(), name.begin(), name.end());
    p.resize(20, 0);
    return p;
}

bytesT snumPayload(const std::string& snum) {
    bytesT p{0x00};
    p.insert(p.end(), snum.begin(), snum.end());
    p.resize(18, 0);
    return p;
}

int len(const bytesT& b) {
    return static_cast<int>(b.size());
}

} // namespace

TEST(Q7xxRequestT, FramesAreExact) {
    q7xxProtoFactoryT f;
    bytesT id(64, 0xCC);
    ASSERT_EQ(f.make_idreq()->formatReport(id.data(), id.size()), 3);
    bytesT want{0x02, 0x01, 0x03};
    want.resize(64, 0);
    EXPECT_EQ(id, want);

    struct caseT {
        std::unique_ptr<q7xxUSBMsgT> msg;
        bytesT frame;
    };
    const caseT cases[] = {
        {f.make_swreset(), {0x03, 0x01, 0x04}},
        {f.make_hwreset(), {0x03, 0x02, 0x05}},
        {f.make_cfgreset(), {0x01, 0x05, 0x06}},
        {f.make_snumreq(), {0x02, 0x03, 0x05}},
    };
    for (const auto& c : cases) {
        bytesT buf(8, 0xCC);
        ASSERT_EQ(c.msg->formatReport(buf.data(), buf.size()), 3);
        bytesT frame = c.frame;
        frame.resize(8, 0);
        EXPECT_EQ(buf, frame);
    }
}

TEST(Q7xxIdReplyT, DecodesVersionsAndName) {
    q7xxtest::driverLogT log;
    q7xxUSBMsg_IDREPLY m;
    bytesT r = report(0x04, 0x01, idPayload(0x03, 0x1A, "Q7.20 MAGMETER"), 64, 22);
    r[40] = 0x99; // padding behind the payload is not covered
    ASSERT_TRUE(m.parse(r.data(), len(r)));
    EXPECT_EQ(m.hwver(), 0x03);
    EXPECT_EQ(m.swver(), 0x1A);
    EXPECT_EQ(m.name(), "Q7.20 MAGMETER");
    // The 15 bytes the driver compares: 14 characters and the NUL.
    EXPECT_EQ(0, std::memcmp(m.rawName().data(), "Q7.20 MAGMETER", 15));

    // Every frame byte up to the end of the name is covered by the checksum.
    for (int i : {2, 3, 4, 21}) {
        bytesT bad = r;
        bad[i] ^= 0x01;
        EXPECT_FALSE(q7xxUSBMsg_IDREPLY().parse(bad.data(), len(bad))) << "byte " << i;
    }
    EXPECT_EQ(log.lines().size(), 8u); // two lines per mismatch
}

TEST(Q7xxIdReplyT, ShortPayloadFailsAndNameStaysInItsField) {
    q7xxUSBMsg_IDREPLY m;
    const bytesT nineteen = report(0x04, 0x01, idPayload(1, 2, "Q7.20 MAGMETER"), 22, 21);
    EXPECT_FALSE(m.parse(nineteen.data(), len(nineteen)));

    // The smallest valid reply, its name without any NUL.
    const bytesT noNul = report(0x04, 0x01, idPayload(1, 2, std::string(17, 'X')), 23, 22);
    ASSERT_TRUE(m.parse(noNul.data(), len(noNul)));
    EXPECT_EQ(m.name(), std::string(17, 'X'));
}

TEST(Q7xxSnumReplyT, ChecksumLeavesOutTheLastFiveBytes) {
    q7xxtest::driverLogT log;
    const std::string snum("A1\0\xFF"
                           "0123456789abc",
                           17);
    const bytesT good = report(0x04, 0x03, snumPayload(snum), 64, 59);
    q7xxUSBMsg_SNUMREPLY m;
    bytesT tail = good;
    tail[59] = tail[60] = tail[61] = tail[62] = 0x7F; // outside the checked range
    ASSERT_TRUE(m.parse(tail.data(), len(tail)));
    EXPECT_EQ(m.snum(), snum); // raw bytes, NUL included

    bytesT last = good;
    last[58] ^= 0x01; // last checked byte
    EXPECT_FALSE(m.parse(last.data(), len(last)));
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_NE(log.lines()[0].find(" sz =64 n =57\n"), std::string::npos);
}

TEST(Q7xxSnumReplyT, CheckedRangeFollowsEachReportsLength) {
    // Meters with different input-report lengths in one process.
    q7xxUSBMsg_SNUMREPLY reused;
    for (std::size_t n : {64u, 32u, 23u, 128u}) {
        std::string snum = "LEN" + std::to_string(n);
        const bytesT r = report(0x04, 0x03, snumPayload(snum), n, n - 5);
        EXPECT_TRUE(q7xxUSBMsg_SNUMREPLY().parse(r.data(), len(r))) << n;
        EXPECT_TRUE(reused.parse(r.data(), len(r))) << n;
        snum.resize(17, '\0');
        EXPECT_EQ(reused.snum(), snum);
    }
    // 17 payload bytes are one short.
    const bytesT shortReply = report(0x04, 0x03, snumPayload("X"), 19, 14);
    EXPECT_FALSE(reused.parse(shortReply.data(), len(shortReply)));
}

TEST(Q7xxMsgIdT, TableAndMessagesAgree) {
    using namespace q7xxMsgId;
    const std::pair<q7xxMsgIdT, q7xxMsgIdT> table[] = {
        {IDREQ, {2, 1}},
        {IDREPLY, {4, 1}},
        {SNUMREQ, {2, 3}},
        {SNUMREPLY, {4, 3}},
        {SWRESET, {3, 1}},
        {HWRESET, {3, 2}},
        {CFGRESET, {1, 5}},
        {GETCFG(false), {2, 2}},
        {GETCFG(true), {2, 3}},
        {SETCFG(false), {1, 2}},
        {SETCFG(true), {1, 3}},
        {CONFIGREPLY(false), {4, 2}},
        {CONFIGREPLY(true), {4, 3}},
        {GETHWSETTINGS, {2, 6}},
        {HWSETTINGSREPLY, {4, 6}},
        {GETCOOKIE, {2, 7}},
        {SETCOOKIE, {1, 7}},
        {COOKIEREPLY, {4, 7}},
        {GETEXTDCFG, {2, 8}},
        {SETEXTDCFG, {1, 8}},
        {EXTDCFGREPLY, {4, 8}},
        {GETMEASURE, {2, 9}},
        {GETMEASUREREPLY, {4, 9}},
    };
    for (const auto& row : table)
        EXPECT_TRUE(row.first == row.second) << int(row.second.rid) << "/" << int(row.second.mid);

    q7xxProtoFactoryT f;
    struct madeT {
        std::unique_ptr<q7xxUSBMsgT> msg;
        q7xxMsgIdT id;
    };
    const madeT made[] = {
        {f.make_idreq(), IDREQ},         {f.make_idreply(), IDREPLY}, {f.make_snumreq(), SNUMREQ},
        {f.make_snumreply(), SNUMREPLY}, {f.make_swreset(), SWRESET}, {f.make_hwreset(), HWRESET},
        {f.make_cfgreset(), CFGRESET},
    };
    for (const auto& m : made)
        EXPECT_TRUE((q7xxMsgIdT{m.msg->rid(), m.msg->mid()}) == m.id);
}

TEST(Q7xxProtoFactoryT, MakesFreshMessagesAndNoCommands) {
    const auto f = std::make_shared<const q7xxProtoFactoryT>();
    auto a = f->make_snumreply();
    auto b = f->make_snumreply();
    ASSERT_NE(a.get(), b.get());
    const bytesT r = report(0x04, 0x03, snumPayload("FIRST"), 64, 59);
    ASSERT_TRUE(a->parse(r.data(), len(r)));
    EXPECT_TRUE(b->snum().empty());

    EXPECT_EQ(f->make_cmdGetConfig(), nullptr);
    EXPECT_EQ(f->make_cmdGetStatus(), nullptr);
    EXPECT_EQ(f->make_cmdSetConfig(), nullptr);
    EXPECT_EQ(f->make_cmdGetMeasure(), nullptr);
}
