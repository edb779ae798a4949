// The emulated meter against the host's own message classes: what it answers,
// whether the host accepts it, and what the fault knobs change.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "kivemu/meter.h"
#include "q7xx/protofactory.h"

using kivemu::actionT;
using kivemu::bytesT;
using kivemu::meterIdentityT;
using kivemu::meterT;

namespace {

// Formats a host request as the driver sends it: a whole output report.
actionT send(meterT& m, q7xxUSBMsgT& req) {
    bytesT out(m.outputLen(), 0);
    EXPECT_GT(req.formatReport(out.data(), out.size()), 0);
    return m.handle(out.data(), out.size());
}

bool parse(q7xxUSBMsgT& reply, const actionT& a) {
    return a.replies.size() == 1 &&
           reply.parse(a.replies[0].report.data(), int(a.replies[0].report.size()));
}

meterIdentityT ident(const std::string& name, unsigned char sw, const std::string& snum) {
    meterIdentityT id;
    id.name = name;
    id.hwver = 0x03;
    id.swver = sw;
    id.snum = snum;
    return id;
}

// Sum of the first n bytes modulo 256.
unsigned char sum8(const bytesT& b, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i)
        s += b[i];
    return static_cast<unsigned char>(s);
}

} // namespace

TEST(EmuMeterT, IdentifiesWithNameVersionsAndSerial) {
    q7xxProtoFactoryT f;
    for (const char* name : {"Q7.20 MAGMETER", "Q8.20 MAGMETER", "Q8.10 MAGMETER", "Q8.50 MAGMETER",
                             "SOMETHING ELSE"}) {
        for (unsigned char sw : {0x03, 0x04, 0x1A}) {
            meterT m(ident(name, sw, "SN-12345678901234"));
            auto id = f.make_idreply();
            ASSERT_TRUE(parse(*id, send(m, *f.make_idreq()))) << name;
            EXPECT_EQ(id->name(), name);
            EXPECT_EQ(id->hwver(), 0x03);
            EXPECT_EQ(id->swver(), sw);
            auto sn = f.make_snumreply();
            ASSERT_TRUE(parse(*sn, send(m, *f.make_snumreq()))) << name;
            EXPECT_EQ(sn->snum(), std::string("SN-12345678901234"));
        }
    }
}

TEST(EmuMeterT, RepliesAreWholeReportsCheckedOverTheParsedBytes) {
    for (std::size_t len : {64u, 65u, 100u}) {
        meterT m(meterIdentityT(), len, 65);
        q7xxProtoFactoryT f;
        auto a = send(m, *f.make_idreq());
        ASSERT_EQ(a.replies.size(), 1u);
        const bytesT& r = a.replies[0].report;
        ASSERT_EQ(r.size(), len);
        EXPECT_EQ(r.back(), sum8(r, 22)); // ids and the 20 identification bytes
        // The saved configuration and the serial number share 2/3: one reply
        // checks out under either reading.
        bytesT req{2, 3, 5};
        req.resize(65, 0);
        a = m.handle(req.data(), req.size());
        ASSERT_EQ(a.replies.size(), 1u);
        const bytesT& s = a.replies[0].report;
        EXPECT_EQ(s.back(), sum8(s, len - 5));
        EXPECT_EQ(s.back(), sum8(s, 62));
    }
}

TEST(EmuMeterT, KeepsSettingsAndServesVersionSpecificRequests) {
    meterT v2(ident("Q8.20 MAGMETER", 4, "A"));
    meterT v1(ident("Q7.20 MAGMETER", 3, "B"));
    // SETCFG persistent (1/3): 61 payload bytes, checksum behind them.
    bytesT set(65, 0);
    set[0] = 1;
    set[1] = 3;
    for (int i = 0; i < 52; ++i)
        set[2 + i] = static_cast<unsigned char>(i + 1);
    set[63] = sum8(set, 63);
    EXPECT_TRUE(v2.handle(set.data(), set.size()).replies.empty());
    EXPECT_EQ(v2.ignored(), 0u);
    EXPECT_EQ(v2.config()[51], 52);
    EXPECT_EQ(v2.storedConfig()[51], 52);

    bytesT getCfg{2, 2, 4};
    getCfg.resize(65, 0);
    auto a = v2.handle(getCfg.data(), getCfg.size());
    ASSERT_EQ(a.replies.size(), 1u);
    EXPECT_EQ(a.replies[0].report[2 + 51], 52);
    EXPECT_EQ(a.replies[0].report.back(), sum8(a.replies[0].report, 62));

    // The measurement exists in the second version only.
    bytesT measure{2, 9, 11};
    measure.resize(65, 0);
    EXPECT_EQ(v2.handle(measure.data(), measure.size()).replies.size(), 1u);
    EXPECT_TRUE(v1.handle(measure.data(), measure.size()).replies.empty());
    EXPECT_EQ(v1.ignored(), 1u);
    // The first version's configuration reply is checked over 50 payload bytes.
    a = v1.handle(getCfg.data(), getCfg.size());
    ASSERT_EQ(a.replies.size(), 1u);
    EXPECT_EQ(a.replies[0].report.back(), sum8(a.replies[0].report, 52));

    // A request with a wrong checksum is not answered.
    bytesT bad{2, 1, 9};
    bad.resize(65, 0);
    EXPECT_TRUE(v2.handle(bad.data(), bad.size()).replies.empty());
    EXPECT_EQ(v2.ignored(), 1u);
}

TEST(EmuMeterT, ResetsCountAndAHardwareResetReplugs) {
    meterT m;
    q7xxProtoFactoryT f;
    auto sw = send(m, *f.make_swreset());
    EXPECT_TRUE(sw.replies.empty());
    EXPECT_FALSE(sw.unplug);
    auto hw = send(m, *f.make_hwreset());
    EXPECT_TRUE(hw.unplug);
    EXPECT_TRUE(hw.replug);
    m.config()[18] = 255;
    send(m, *f.make_cfgreset());
    EXPECT_EQ(m.config()[18], 1);
    EXPECT_EQ(m.swResets(), 1u);
    EXPECT_EQ(m.hwResets(), 1u);
    EXPECT_EQ(m.cfgResets(), 1u);
}

TEST(EmuMeterT, FaultKnobsAlterTheNextReplies) {
    q7xxProtoFactoryT f;
    meterT m;
    m.faults().drop = 1;
    EXPECT_TRUE(send(m, *f.make_idreq()).replies.empty());
    EXPECT_EQ(send(m, *f.make_idreq()).replies.size(), 1u);

    m.faults().delay = 1;
    m.faults().delayBy = rux::timeT(2, 0);
    auto a = send(m, *f.make_idreq());
    ASSERT_EQ(a.replies.size(), 1u);
    EXPECT_EQ(a.replies[0].delay, rux::timeT(2, 0));
    EXPECT_EQ(send(m, *f.make_idreq()).replies[0].delay, rux::timeT());

    m.faults().corrupt = 1;
    auto id = f.make_idreply();
    EXPECT_FALSE(parse(*id, send(m, *f.make_idreq())));
    m.faults().wrongRid = 1;
    a = send(m, *f.make_idreq());
    EXPECT_EQ(a.replies[0].report[0], 5);
    m.faults().wrongMid = 1;
    a = send(m, *f.make_idreq());
    EXPECT_EQ(a.replies[0].report[1], 0x11);
    EXPECT_TRUE(parse(*id, send(m, *f.make_idreq())));

    m.faults().mute.insert(2u << 8 | 3u);
    EXPECT_TRUE(send(m, *f.make_snumreq()).replies.empty());
    EXPECT_EQ(send(m, *f.make_idreq()).replies.size(), 1u);

    m.faults().unplugAfter = 2;
    EXPECT_FALSE(send(m, *f.make_idreq()).unplug);
    a = send(m, *f.make_idreq());
    EXPECT_TRUE(a.unplug);
    EXPECT_FALSE(a.replug);
    EXPECT_TRUE(a.replies.empty());

    bytesT u = m.unsolicited();
    EXPECT_TRUE(id->parse(u.data(), int(u.size())));
}
