// Bootloader framing: request reports byte by byte, reply parsing, the
// sequence counter, the block limit, client conversions and reply matching.
#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "messages.pb.h"
#include "nxxx/exchange.h"
#include "nxxx/msgs.h"
#include "nxxx/usbdriver.h"
#include "rux_logger_xface.h"

namespace {

using bytesT = std::vector<unsigned char>;

bytesT report(nxxxUSBMsgT& m, std::size_t size = 64) {
    bytesT out(size, 0xEE);
    const int n = m.formatReport(out.data(), out.size());
    if (n < 0)
        out.clear();
    return out;
}

// A reply as the bootloader sends it, padded to `size`.
bytesT reply(unsigned char mid, unsigned char seq, const bytesT& payload, std::size_t size = 64) {
    bytesT r{0xFF, mid, static_cast<unsigned char>(payload.size()), seq};
    r.insert(r.end(), payload.begin(), payload.end());
    if (r.size() < size)
        r.resize(size, 0);
    return r;
}

bytesT idPayload(const std::string& name, unsigned char hw, uint32_t sw, const std::string& snum) {
    bytesT p{hw, static_cast<unsigned char>(sw), static_cast<unsigned char>(sw >> 8),
             static_cast<unsigned char>(sw >> 16), static_cast<unsigned char>(sw >> 24)};
    for (std::size_t i = 0; i < 16; ++i)
        p.push_back(i < name.size() ? name[i] : 0);
    for (std::size_t i = 0; i < 24; ++i)
        p.push_back(i < snum.size() ? snum[i] : 0);
    return p;
}

bytesT le4(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

} // namespace

TEST(NxxxFrameT, RequestsAreHeaderPayloadAndZeroPadding) {
    nxxxUSBMsg_DEVIDREQ id;
    bytesT expect(64, 0);
    expect[0] = 0x01;
    expect[1] = 0x00;
    expect[2] = id.seq();
    EXPECT_EQ(report(id), expect);

    nxxxUSBMsg_BOOTERASEFW erase;
    erase.set(0x00004000, 0x0001C000);
    expect.assign(64, 0);
    const bytesT head{0x02, 0x02, erase.seq(), 8, 0x00, 0x40, 0x00, 0x00, 0x00, 0xC0, 0x01, 0x00};
    std::copy(head.begin(), head.end(), expect.begin());
    EXPECT_EQ(report(erase), expect);

    nxxxUSBMsg_BOOTGETCRC crc;
    EXPECT_EQ(report(crc, 8), (bytesT{0x02, 0x05, crc.seq(), 0, 0, 0, 0, 0}));
    // A device whose output report cannot hold the frame gets nothing.
    EXPECT_TRUE(report(erase, 11).empty());
}

TEST(NxxxFrameT, A56ByteBlockFillsTheWhole64ByteReport) {
    nxxxUSBMsg_BOOTWRITEFW w;
    bytesT data(56);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(0xA0 + i);
    kivsvc::fwBlockT block;
    block.set_offset(0x12345678);
    block.set_data(std::string(data.begin(), data.end()));
    ASSERT_TRUE(w.fromCbusMsg(block));
    bytesT expect{0x02, 0x01, w.seq(), 60, 0x78, 0x56, 0x34, 0x12};
    expect.insert(expect.end(), data.begin(), data.end());
    ASSERT_EQ(expect.size(), 64u);
    EXPECT_EQ(report(w), expect);
}

TEST(NxxxFrameT, BlocksOverTheLimitAreRefusedBeforeFormatting) {
    nxxxUSBMsg_BOOTWRITEFW w;
    kivsvc::fwBlockT ok;
    ok.set_offset(64);
    ok.set_data(std::string(8, 'x'));
    ASSERT_TRUE(w.fromCbusMsg(ok));
    kivsvc::fwBlockT big;
    big.set_offset(0);
    big.set_data(std::string(57, 'y'));
    EXPECT_FALSE(w.fromCbusMsg(big));
    // The refused block left the earlier one intact.
    EXPECT_EQ(w.offset(), 64u);
    EXPECT_EQ(w.data().size(), 8u);
    EXPECT_EQ(w.bsz(), 12);
    const bytesT buf(57, 1);
    EXPECT_FALSE(w.set(0, buf.data(), buf.size()));
    // An empty block still carries its offset.
    EXPECT_TRUE(w.set(7, nullptr, 0));
    EXPECT_EQ(report(w, 8), (bytesT{0x02, 0x01, w.seq(), 4, 7, 0, 0, 0}));
}

TEST(NxxxFrameT, SequenceNumbersCountPerObjectAndWrap) {
    nxxxUSBMsg_BOOTGETCRC a;
    nxxxUSBMsg_BOOTGETCRCREPLY b;
    EXPECT_EQ(static_cast<unsigned char>(a.seq() + 1), b.seq());
    unsigned char last = b.seq();
    for (int i = 0; i < 300; ++i) {
        nxxxUSBMsg_DEVIDREQ m;
        EXPECT_EQ(m.seq(), static_cast<unsigned char>(last + 1));
        last = m.seq();
    }
}

// Every 256 consecutive numbers are distinct, whichever threads take them.
TEST(NxxxFrameT, SequenceNumbersStayUniqueAcrossThreads) {
    constexpr int threads = 4;
    constexpr int each = 64;
    std::vector<std::vector<unsigned char>> got(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&got, t] {
            for (int i = 0; i < each; ++i) {
                if (i % 2)
                    got[t].push_back(nxxxUSBMsg_BOOTWRITEFW().seq());
                else
                    got[t].push_back(nxxxUSBMsgT::nextSeq());
            }
        });
    for (auto& w : workers)
        w.join();
    std::set<unsigned char> all;
    for (auto& g : got)
        all.insert(g.begin(), g.end());
    EXPECT_EQ(all.size(), 256u);
}

TEST(NxxxConvertT, SetAppDataSendsAbsentFieldsAsZero) {
    kivsvc::bootAppDataT app;
    app.set_magic(0xB00710AD);
    app.set_code(7);
    nxxxUSBMsg_BOOTSETAPPDATA m;
    ASSERT_TRUE(m.fromCbusMsg(app));
    bytesT expect{0x02, 0x03, m.seq(), 28};
    for (uint32_t v : {0xB00710ADu, 0u, 0u, 0u, 0u, 0u, 7u}) {
        const bytesT b = le4(v);
        expect.insert(expect.end(), b.begin(), b.end());
    }
    expect.resize(64, 0);
    EXPECT_EQ(report(m), expect);
}

TEST(NxxxConvertT, EraseNeedsBothRangeFields) {
    nxxxUSBMsg_BOOTERASEFW m;
    kivsvc::bootAppDataT app;
    EXPECT_FALSE(m.fromCbusMsg(app));
    app.set_offset(0x100);
    EXPECT_FALSE(m.fromCbusMsg(app));
    app.clear_offset();
    app.set_len(0x200);
    EXPECT_FALSE(m.fromCbusMsg(app));
    app.set_offset(0);
    ASSERT_TRUE(m.fromCbusMsg(app));
    EXPECT_EQ(m.offset(), 0u);
    EXPECT_EQ(m.len(), 0x200u);
}

TEST(NxxxConvertT, RecordAndChecksumRepliesFillTheClientMessage) {
    bytesT rec;
    for (uint32_t v = 1; v <= 7; ++v) {
        const bytesT b = le4(v * 0x01010101u);
        rec.insert(rec.end(), b.begin(), b.end());
    }
    nxxxUSBMsg_BOOTGETAPPDATAREPLY app;
    const bytesT r = reply(4, 9, rec);
    ASSERT_TRUE(app.parse(r.data(), int(r.size())));
    kivsvc::bootAppDataT out;
    ASSERT_TRUE(app.toCbusMsg(out));
    EXPECT_EQ(out.magic(), 0x01010101u);
    EXPECT_EQ(out.state(), 0x02020202u);
    EXPECT_EQ(out.offset(), 0x03030303u);
    EXPECT_EQ(out.len(), 0x04040404u);
    EXPECT_EQ(out.crc32(), 0x05050505u);
    EXPECT_EQ(out.version(), 0x06060606u);
    EXPECT_EQ(out.code(), 0x07070707u);

    nxxxUSBMsg_BOOTGETCRCREPLY crc;
    const bytesT c = reply(5, 3, le4(0xCBF43926));
    ASSERT_TRUE(crc.parse(c.data(), int(c.size())));
    kivsvc::bootAppDataT only;
    ASSERT_TRUE(crc.toCbusMsg(only));
    EXPECT_EQ(only.crc32(), 0xCBF43926u);
    EXPECT_FALSE(only.has_magic() || only.has_offset() || only.has_len() || only.has_code());
}

TEST(NxxxParseT, ShortOrForeignRepliesDoNotParse) {
    nxxxUSBMsg_BOOTWRITEFWREPLY w;
    const bytesT ok{0xFF, 0x01, 0x3C, 0x11};
    EXPECT_TRUE(w.parse(ok.data(), 4));
    EXPECT_EQ(w.seq(), 0x11);
    EXPECT_EQ(w.bsz(), 0x3C);
    // Shorter than the header: the sequence number is not there.
    EXPECT_FALSE(w.parse(ok.data(), 3));
    EXPECT_FALSE(w.parse(ok.data(), 2));
    EXPECT_FALSE(w.parse(ok.data(), 0));
    EXPECT_FALSE(w.parse(nullptr, 4));
    const bytesT failed{0xFF, 0x81, 0, 0x11};
    EXPECT_FALSE(w.parse(failed.data(), 4));
    const bytesT other{0xFE, 0x01, 0, 0x11};
    EXPECT_FALSE(w.parse(other.data(), 4));

    nxxxUSBMsg_BOOTGETAPPDATAREPLY app;
    const bytesT shortRec = reply(4, 1, bytesT(27, 0), 31);
    EXPECT_FALSE(app.parse(shortRec.data(), int(shortRec.size())));
    nxxxUSBMsg_BOOTGETCRCREPLY crc;
    const bytesT shortCrc = reply(5, 1, bytesT(3, 0), 7);
    EXPECT_FALSE(crc.parse(shortCrc.data(), int(shortCrc.size())));
}

TEST(NxxxIdentifyT, NbootWithVersionsAsHexText) {
    rux::loggerT log("driver");
    const bytesT r = reply(0, 0, idPayload("NBOOT", 0x02, 0x0001A2B3, "SN-BOOT-0042"));
    nxxxUSBMsg_DEVIDREPLY id;
    ASSERT_TRUE(id.parse(r.data(), int(r.size())));
    auto dev = nxxxUsbDriverT::identify(id, log);
    ASSERT_TRUE(std::dynamic_pointer_cast<nbootT>(dev));
    EXPECT_EQ(dev->model(), nxxxModel::NBOOT);
    EXPECT_EQ(dev->model2str(), "NBOOT");
    EXPECT_EQ(dev->hwver(), "02");
    EXPECT_EQ(dev->swver(), "0001a2b3");
    std::string snum("SN-BOOT-0042");
    snum.resize(25, '\0');
    EXPECT_EQ(dev->snum(), snum);
}

TEST(NxxxIdentifyT, OtherNamesAndShortRepliesAreUnknown) {
    rux::loggerT log("driver");
    for (const char* name : {"NBOOTX", "nboot", "", "Q8.20 MAGMETER"}) {
        const bytesT r = reply(0, 0, idPayload(name, 1, 1, "S"));
        nxxxUSBMsg_DEVIDREPLY id;
        ASSERT_TRUE(id.parse(r.data(), int(r.size())));
        auto dev = nxxxUsbDriverT::identify(id, log);
        EXPECT_TRUE(std::dynamic_pointer_cast<nxxxUnkT>(dev)) << name;
        EXPECT_EQ(dev->model2str(), "unknown");
    }
    // A 16-byte name without NUL is kept within its field.
    const bytesT full = reply(0, 0, idPayload(std::string(16, 'N'), 1, 1, std::string(24, 'S')));
    nxxxUSBMsg_DEVIDREPLY id;
    ASSERT_TRUE(id.parse(full.data(), 49));
    EXPECT_EQ(id.name(), std::string(16, 'N'));
    EXPECT_EQ(std::string(id.rawSnum().data()), std::string(24, 'S'));
    EXPECT_FALSE(id.parse(full.data(), 48));

    nxxxUnkT a, b;
    EXPECT_EQ(a.hwver(), "NA");
    EXPECT_EQ(a.swver(), "NA");
    ASSERT_EQ(a.snum().size(), 6u);
    EXPECT_EQ(std::stoi(b.snum()), std::stoi(a.snum()) + 1);
    kivsvc::bootAppDataT app;
    kivsvc::fwBlockT blk;
    EXPECT_FALSE(a.getBootAppData(app));
    EXPECT_FALSE(a.setBootAppData(app));
    EXPECT_FALSE(a.eraseFirmware(app));
    EXPECT_FALSE(a.writeFirmware(blk));
    EXPECT_FALSE(a.getFirmwareCRC(app));
}

TEST(NxxxExchangeT, ReplyMatchesOnlyWithItsRequestsSequenceNumber) {
    auto req = std::make_shared<nxxxUSBMsg_BOOTWRITEFW>();
    auto rep = std::make_shared<nxxxUSBMsg_BOOTWRITEFWREPLY>();
    nxxxExchangeT ex(req, rep);
    const unsigned char s = req->seq();
    const unsigned char stale = static_cast<unsigned char>(s - 1);
    const bytesT mine = reply(1, s, {});
    const bytesT old = reply(1, stale, {});
    const bytesT failed = reply(0x81, s, {});
    const bytesT oldFailed = reply(0x81, stale, {});
    const bytesT erase = reply(2, s, {});
    EXPECT_EQ(ex.match(mine.data(), mine.size()), usbdrv::exchangeT::enYES);
    EXPECT_EQ(ex.match(old.data(), old.size()), usbdrv::exchangeT::enNO);
    EXPECT_EQ(ex.match(failed.data(), failed.size()), usbdrv::exchangeT::enFAILED);
    EXPECT_EQ(ex.match(oldFailed.data(), oldFailed.size()), usbdrv::exchangeT::enNO);
    EXPECT_EQ(ex.match(erase.data(), erase.size()), usbdrv::exchangeT::enNO);
    EXPECT_EQ(ex.replyRid(), 0xFF);
    EXPECT_EQ(ex.replyMid(), 1);
    EXPECT_TRUE(ex.parse(mine.data(), mine.size()));
}

TEST(NxxxExchangeT, AReplyShorterThanItsHeaderFailsTheRequest) {
    auto req = std::make_shared<nxxxUSBMsg_BOOTGETCRC>();
    auto rep = std::make_shared<nxxxUSBMsg_BOOTGETCRCREPLY>();
    nxxxExchangeT ex(req, rep);
    const bytesT r{0xFF, 0x05, 0x04};
    // Taken (nothing else can be its reply) ...
    EXPECT_EQ(ex.match(r.data(), 3), usbdrv::exchangeT::enYES);
    // ... and refused, without reading past the three bytes.
    EXPECT_FALSE(ex.parse(r.data(), 3));
    EXPECT_EQ(ex.match(r.data(), 1), usbdrv::exchangeT::enNO);
    const bytesT f{0xFF, 0x85};
    EXPECT_EQ(ex.match(f.data(), 2), usbdrv::exchangeT::enFAILED);
}
