// The emulated bootloader without transport, read with the host's own
// message classes: identification, flash rules, checksum, record, faults.
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "kivemu/boot.h"
#include "nxxx/msgs.h"

using kivemu::bootT;
using kivemu::bytesT;

namespace {

// Sends `req` to the model; the replies it gives.
std::vector<bytesT> ask(bootT& b, nxxxUSBMsgT& req) {
    bytesT out(b.outputLen(), 0);
    EXPECT_GE(req.formatReport(out.data(), out.size()), 0);
    std::vector<bytesT> r;
    for (auto& rep : b.handle(out.data(), out.size()).replies)
        r.push_back(rep.report);
    return r;
}

// Writes one block; the single reply, or an empty one.
bytesT write(bootT& b, uint32_t offset, const bytesT& data, unsigned char* seq = nullptr) {
    nxxxUSBMsg_BOOTWRITEFW w;
    EXPECT_TRUE(w.set(offset, data.data(), data.size()));
    if (seq)
        *seq = w.seq();
    auto r = ask(b, w);
    return r.size() == 1 ? r[0] : bytesT();
}

bool erase(bootT& b, uint32_t offset, uint32_t len) {
    nxxxUSBMsg_BOOTERASEFW e;
    e.set(offset, len);
    auto r = ask(b, e);
    return r.size() == 1 && r[0][1] == 0x02;
}

bool ok(const bytesT& r, unsigned char mid) {
    return r.size() >= 4 && r[0] == 0xFF && r[1] == mid;
}

} // namespace

TEST(BootModelT, IdentifiesAsTheHostParsesIt) {
    kivemu::bootIdentityT id;
    id.hwver = 0x02;
    id.swver = 0x0001A2B3;
    id.snum = "SN-0042";
    bootT b(id);
    nxxxUSBMsg_DEVIDREQ req;
    auto r = ask(b, req);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].size(), 64u);
    EXPECT_EQ(r[0][3], req.seq());
    nxxxUSBMsg_DEVIDREPLY rep;
    ASSERT_TRUE(rep.parse(r[0].data(), int(r[0].size())));
    EXPECT_EQ(rep.name(), "NBOOT");
    EXPECT_EQ(rep.hwver(), 0x02);
    EXPECT_EQ(rep.swver(), 0x0001A2B3u);
    EXPECT_STREQ(rep.rawSnum().data(), "SN-0042");
}

TEST(BootModelT, WritesOnlyIntoErasedFlashInsideTheImage) {
    bootT b(kivemu::bootIdentityT(), 256);
    const bytesT data{1, 2, 3, 4};
    unsigned char seq = 0;
    bytesT r = write(b, 16, data, &seq);
    ASSERT_TRUE(ok(r, 0x01));
    EXPECT_EQ(r[2], 8);   // the block's length ...
    EXPECT_EQ(r[3], seq); // ... and sequence number, echoed
    EXPECT_TRUE(std::equal(data.begin(), data.end(), b.flash().begin() + 16));
    // Over written bytes: refused, flash unchanged.
    r = write(b, 18, {9, 9, 9, 9});
    EXPECT_TRUE(ok(r, 0x81));
    EXPECT_EQ(b.flash()[18], 3);
    EXPECT_EQ(b.flash()[20], 0xFF);
    // Past the end, also partly.
    EXPECT_TRUE(ok(write(b, 254, {1, 2, 3}), 0x81));
    EXPECT_TRUE(ok(write(b, 0xFFFFFFFF, {1}), 0x81));
    EXPECT_EQ(b.flash()[254], 0xFF);
    // Erased again, it takes the block.
    ASSERT_TRUE(erase(b, 0, 256));
    EXPECT_TRUE(ok(write(b, 18, {9, 9, 9, 9}), 0x01));
    EXPECT_FALSE(erase(b, 200, 57));
    EXPECT_FALSE(erase(b, 0xFFFFFF00, 0x200));
    EXPECT_EQ(b.blocksWritten(), 2u);
}

TEST(BootModelT, BlockOverTheLimitIsRefused) {
    bootT b;
    // A hand-made request with 57 data bytes: the host classes refuse to make one.
    bytesT out(b.outputLen() + 1, 0);
    out[0] = 2;
    out[1] = 1;
    out[3] = 61;
    auto act = b.handle(out.data(), out.size());
    ASSERT_EQ(act.replies.size(), 1u);
    EXPECT_EQ(act.replies[0].report[1], 0x81);
    // A payload length the report cannot hold.
    out.assign(8, 0);
    out[0] = 2;
    out[1] = 3;
    out[3] = 28;
    act = b.handle(out.data(), out.size());
    ASSERT_EQ(act.replies.size(), 1u);
    EXPECT_EQ(act.replies[0].report[1], 0x83);
    EXPECT_EQ(b.blocksWritten(), 0u);
}

TEST(BootModelT, ChecksumIsZlibsCrc32OfTheApplicationArea) {
    const char* check = "123456789";
    EXPECT_EQ(bootT::crc32(reinterpret_cast<const unsigned char*>(check), 9), 0xCBF43926u);
    EXPECT_EQ(bootT::crc32(nullptr, 0), 0u);

    bootT b(kivemu::bootIdentityT(), 1024);
    ASSERT_TRUE(erase(b, 100, 9));
    ASSERT_TRUE(ok(write(b, 100, bytesT(check, check + 9)), 0x01));
    nxxxUSBMsg_BOOTGETCRC req;
    auto r = ask(b, req);
    ASSERT_EQ(r.size(), 1u);
    nxxxUSBMsg_BOOTGETCRCREPLY rep;
    ASSERT_TRUE(rep.parse(r[0].data(), int(r[0].size())));
    EXPECT_EQ(rep.crc(), 0xCBF43926u);
    EXPECT_EQ(rep.seq(), req.seq());
}

TEST(BootModelT, ApplicationRecordRoundTrips) {
    bootT b;
    nxxxUSBMsg_BOOTSETAPPDATA set;
    set.record() = nxxxAppRecordT{0xB007, 1, 0x100, 0x200, 0xDEADBEEF, 0x0102, 9};
    ASSERT_TRUE(ok(ask(b, set).at(0), 0x03));
    EXPECT_EQ(b.record().crc32, 0xDEADBEEFu);
    nxxxUSBMsg_BOOTGETAPPDATA get;
    auto r = ask(b, get);
    nxxxUSBMsg_BOOTGETAPPDATAREPLY rep;
    ASSERT_TRUE(rep.parse(r.at(0).data(), int(r[0].size())));
    EXPECT_EQ(rep.record().magic, 0xB007u);
    EXPECT_EQ(rep.record().len, 0x200u);
    EXPECT_EQ(rep.record().code, 9u);
    // Before any erase the checksum covers the recorded range.
    std::size_t off = 0, len = 0;
    b.appArea(off, len);
    EXPECT_EQ(off, 0x100u);
    EXPECT_EQ(len, 0x200u);
}

TEST(BootModelT, FaultKnobs) {
    bootT b;
    b.bootFaults().fail = 1;
    EXPECT_TRUE(ok(write(b, 0, {1}), 0x81));
    EXPECT_EQ(b.flash()[0], 0xFF); // a refused block is not written

    unsigned char first = 0;
    const bytesT ack = write(b, 0, {1}, &first);
    ASSERT_TRUE(ok(ack, 0x01));
    b.bootFaults().staleAck = 1;
    const bytesT stale = write(b, 1, {2});
    EXPECT_EQ(stale, ack); // the first block's acknowledgement again
    EXPECT_EQ(b.flash()[1], 0xFF);

    b.bootFaults().unplugAfterBlocks = 2;
    EXPECT_TRUE(ok(write(b, 2, {3}), 0x01));
    nxxxUSBMsg_BOOTWRITEFW w;
    const bytesT data{4};
    ASSERT_TRUE(w.set(3, data.data(), 1));
    bytesT out(b.outputLen(), 0);
    w.formatReport(out.data(), out.size());
    auto act = b.handle(out.data(), out.size());
    EXPECT_TRUE(act.unplug);
    EXPECT_TRUE(act.replug);
    EXPECT_TRUE(act.replies.empty());
    EXPECT_EQ(b.flash()[3], 0xFF);

    b.faults().drop = 1;
    nxxxUSBMsg_BOOTGETCRC crc;
    EXPECT_TRUE(ask(b, crc).empty());
    b.faults().corrupt = 1;
    auto r = ask(b, crc);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0][3], crc.seq());
}
