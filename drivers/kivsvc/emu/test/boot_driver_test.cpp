// The bootloader driver against emulated bootloaders over the emulated HID
// transport: identification, a whole firmware update, the block limit, the
// failure bit, stale acknowledgements, unplugging in the middle of a write.
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emu_test_support.h"
#include "kivemu/boot.h"
#include "kivemu/hiddev.h"
#include "messages.pb.h"
#include "nxxx/usbdriver.h"

using namespace std::chrono_literals;
using kivemu::bootIdentityT;
using kivemu::bootT;
using kivemu::bytesT;
using kivemu::hidDevT;

namespace {

using devMapT = std::map<int, std::shared_ptr<const kivDevT>>;

// The serial number as the driver stores it: 24 bytes and the NUL.
std::string snum25(const std::string& s) {
    std::string r = s;
    r.resize(25, '\0');
    return r;
}

bootIdentityT ident(const std::string& snum, const std::string& name = "NBOOT") {
    bootIdentityT id;
    id.name = name;
    id.snum = snum;
    return id;
}

bytesT image(std::size_t n, unsigned seed) {
    bytesT b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>((i * 7 + seed) ^ (i >> 8));
    return b;
}

kivsvc::fwBlockT block(uint32_t offset, const unsigned char* data, std::size_t n) {
    kivsvc::fwBlockT b;
    b.set_offset(offset);
    b.set_data(std::string(reinterpret_cast<const char*>(data), n));
    return b;
}

kivsvc::bootAppDataT range(uint32_t offset, uint32_t len) {
    kivsvc::bootAppDataT a;
    a.set_offset(offset);
    a.set_len(len);
    return a;
}

struct rigT {
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    std::vector<std::unique_ptr<hidDevT>> boots;
    std::unique_ptr<nxxxUsbDriverT> drv;
    int named = 0;

    rigT() {
        emutest::emuDir();
        drv = std::make_unique<nxxxUsbDriverT>(vendor, 0x0002);
        // Generous for loaded machines, short enough for time-out tests.
        drv->replyTimeout(rux::timeT(1, 0));
        drv->eraseTimeout(rux::timeT(20, 0));
        EXPECT_TRUE(drv->start());
    }
    hidDevT& plug(const bootIdentityT& id, std::size_t flash = bootT::defaultFlashSize) {
        char name[32];
        std::snprintf(name, sizeof name, "b%04x-%d", vendor, named++);
        boots.push_back(std::make_unique<hidDevT>(
            emutest::emuDir(), name, rux::usbIdT(vendor, 0x0002),
            std::make_unique<bootT>(id, flash), "nxxx bootloader (emulated)"));
        EXPECT_TRUE(boots.back()->plug());
        return *boots.back();
    }
    // The device of this driver with serial number `snum` other than `except`.
    std::shared_ptr<nxxxUsbDevT> waitDevice(const std::string& snum, int except = -1) {
        int id = -1;
        db->waitFor([&](const devMapT& devs) {
            for (auto& d : devs) {
                auto n = std::dynamic_pointer_cast<const nxxxUsbDevT>(d.second);
                if (n && n->snum() == snum && n->address().id.vendor == vendor && d.first != except)
                    id = d.first;
            }
            return id >= 0;
        });
        if (id < 0)
            return nullptr;
        devdbT::wrT w;
        return std::dynamic_pointer_cast<nxxxUsbDevT>(w.find(id));
    }
    bool waitGone(int id) {
        return db->waitFor([&](const devMapT& devs) { return devs.count(id) == 0; });
    }
};

void withBoot(hidDevT& d, const std::function<void(bootT&)>& f) {
    d.with([&](kivemu::modelT& m) { f(static_cast<bootT&>(m)); });
}

// Erase, every block, checksum compared, record: the client's procedure.
bool update(nxxxUsbDevT& dev, const bytesT& img, uint32_t at) {
    kivsvc::bootAppDataT rec;
    if (!dev.getBootAppData(rec))
        return false;
    if (!dev.eraseFirmware(range(at, uint32_t(img.size()))))
        return false;
    for (std::size_t off = 0; off < img.size(); off += 56) {
        const std::size_t n = std::min<std::size_t>(56, img.size() - off);
        if (!dev.writeFirmware(block(uint32_t(at + off), img.data() + off, n)))
            return false;
    }
    kivsvc::bootAppDataT crc;
    if (!dev.getFirmwareCRC(crc) || crc.crc32() != bootT::crc32(img.data(), img.size()))
        return false;
    rec.set_magic(0xB0071234);
    rec.set_state(1);
    rec.set_offset(at);
    rec.set_len(uint32_t(img.size()));
    rec.set_crc32(crc.crc32());
    rec.set_version(0x00020001);
    rec.set_code(0);
    return dev.setBootAppData(rec);
}

} // namespace

TEST(NxxxUsbDriverT, IdentifiesBootloadersAndEntersEach) {
    rigT rig;
    bootIdentityT id = ident("BOOT-A");
    id.hwver = 0x02;
    id.swver = 0x0001A2B3;
    rig.plug(id);
    rig.plug(ident("BOOT-B"));
    auto a = rig.waitDevice(snum25("BOOT-A"));
    auto b = rig.waitDevice(snum25("BOOT-B"));
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->id(), b->id());
    EXPECT_TRUE(std::dynamic_pointer_cast<nbootT>(a));
    EXPECT_EQ(a->model2str(), "NBOOT");
    EXPECT_EQ(a->hwver(), "02");
    EXPECT_EQ(a->swver(), "0001a2b3");
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { _handshake } serial number \"BOOT-A\"\n"));
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { _run } conneted NBOOT device:\nSNUM   = BOOT-A"));
    EXPECT_TRUE(rig.log.waitFor("\nHW ver = 02\nSW ver = 0001a2b3\n"));
    char addr[16];
    std::snprintf(addr, sizeof addr, "%04X:0002\n", rig.vendor);
    EXPECT_EQ(rig.log.count(std::string("CRT driver -> { _run } registering USB address ") + addr),
              1);
}

TEST(NxxxUsbDriverT, UnknownNameIsEnteredAndRefusesEverything) {
    rigT rig;
    auto& d = rig.plug(ident("X", "NBOOT2"));
    std::shared_ptr<const kivDevT> unk;
    ASSERT_TRUE(rig.db->waitFor([&](const devMapT& devs) {
        for (auto& e : devs) {
            auto n = std::dynamic_pointer_cast<const nxxxUnkT>(e.second);
            if (n && n->address().id.vendor == rig.vendor)
                unk = e.second;
        }
        return unk != nullptr;
    }));
    EXPECT_EQ(unk->model2str(), "unknown");
    EXPECT_EQ(unk->hwver(), "NA");
    EXPECT_TRUE(rig.log.waitFor("ERR driver -> { _handshake } unknown device model \"NBOOT2\"\n"));
    const unsigned before = d.reports();
    kivsvc::bootAppDataT app;
    EXPECT_FALSE(unk->getBootAppData(app));
    EXPECT_FALSE(unk->getFirmwareCRC(app));
    EXPECT_EQ(d.reports(), before);
}

TEST(NxxxUsbDriverT, UnparsableIdentificationEntersAnUnknownDevice) {
    rigT rig;
    hidDevT d(emutest::emuDir(), "garbled" + std::to_string(rig.vendor),
              rux::usbIdT(rig.vendor, 0x0002), std::make_unique<bootT>(ident("GARBLED")));
    withBoot(d, [](bootT& b) { b.faults().wrongMid = 1; });
    ASSERT_TRUE(d.plug());
    std::shared_ptr<const kivDevT> unk;
    ASSERT_TRUE(rig.db->waitFor([&](const devMapT& devs) {
        for (auto& e : devs) {
            auto n = std::dynamic_pointer_cast<const nxxxUnkT>(e.second);
            if (n && n->address().id.vendor == rig.vendor)
                unk = e.second;
        }
        return unk != nullptr;
    }));
    char addr[16];
    std::snprintf(addr, sizeof addr, "%04X:0002\n", rig.vendor);
    EXPECT_EQ(
        rig.log.count(std::string("ERR driver -> { _handshake } failed to parse ID reply data from ") +
                      addr),
        1);
    EXPECT_EQ(unk->model2str(), "unknown");
    EXPECT_EQ(unk->swver(), "NA");
    EXPECT_EQ(unk->snum().size(), 6u);
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { _run } conneted unknown device:\nSNUM   = "));
}

namespace {
// Notes the thread that enters devices.
class threadWatchT : public nxxxUsbDriverT {
public:
    using nxxxUsbDriverT::nxxxUsbDriverT;
    std::promise<std::string> thread;

protected:
    void _logAttached(const usbdrv::usbDevT& dev) override {
        nxxxUsbDriverT::_logAttached(dev);
        thread.set_value(rux::threadT::self()->name());
    }
};
} // namespace

TEST(NxxxUsbDriverT, DevicesAreServedByTheDriversNamedThread) {
    emutest::emuDir();
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    threadWatchT drv(vendor, 0x0002);
    auto name = drv.thread.get_future();
    ASSERT_TRUE(drv.start());
    hidDevT d(emutest::emuDir(), "thr" + std::to_string(vendor), rux::usbIdT(vendor, 0x0002),
              std::make_unique<bootT>(ident("THR")));
    ASSERT_TRUE(d.plug());
    ASSERT_EQ(name.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(name.get(), "kivsvc-nxxx-usb-drv");
}

TEST(NxxxUsbDriverT, FullFirmwareUpdate) {
    rigT rig;
    auto& d = rig.plug(ident("UPD-1"));
    auto dev = rig.waitDevice(snum25("UPD-1"));
    ASSERT_TRUE(dev);
    const bytesT img = image(56 * 20 + 13, 1); // last block short
    ASSERT_TRUE(update(*dev, img, 0x400));
    withBoot(d, [&](bootT& b) {
        EXPECT_TRUE(std::equal(img.begin(), img.end(), b.flash().begin() + 0x400));
        EXPECT_EQ(b.flash()[0x400 + img.size()], 0xFF);
        EXPECT_EQ(b.blocksWritten(), 21u);
        EXPECT_EQ(b.record().magic, 0xB0071234u);
        EXPECT_EQ(b.record().crc32, bootT::crc32(img.data(), img.size()));
    });
    kivsvc::bootAppDataT rec;
    ASSERT_TRUE(dev->getBootAppData(rec));
    EXPECT_EQ(rec.offset(), 0x400u);
    EXPECT_EQ(rec.len(), img.size());
    EXPECT_EQ(rec.version(), 0x00020001u);
    // Reply reports are logged as they come, with the request that waits.
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { _handleReport } Report rid:255 mid:1\n"));
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { operator() } Waiter rid:255 mid:5\n"));
}

TEST(NxxxUsbDriverT, BlockReportAndTheLimit) {
    rigT rig;
    auto& d = rig.plug(ident("LIM-1"));
    auto dev = rig.waitDevice(snum25("LIM-1"));
    ASSERT_TRUE(dev);
    const bytesT data = image(57, 9);
    ASSERT_TRUE(dev->writeFirmware(block(0x1000, data.data(), 56)));
    withBoot(d, [&](bootT& b) {
        bytesT expect{0x02, 0x01, b.lastBlockSeq(), 60, 0x00, 0x10, 0x00, 0x00};
        expect.insert(expect.end(), data.begin(), data.begin() + 56);
        EXPECT_EQ(b.lastReport(), expect);
    });
    const unsigned before = d.reports();
    EXPECT_FALSE(dev->writeFirmware(block(0x1100, data.data(), 57)));
    // An erase of no stated range is refused the same way.
    kivsvc::bootAppDataT noRange;
    noRange.set_offset(0);
    EXPECT_FALSE(dev->eraseFirmware(noRange));
    EXPECT_EQ(d.reports(), before);
    // The meter's operations are not a bootloader's.
    kivsvc::configT cfg;
    EXPECT_FALSE(dev->getConfig(cfg));
    EXPECT_FALSE(dev->reset(kivDevT::swReset));
    EXPECT_EQ(d.reports(), before);
}

TEST(NxxxUsbDriverT, FailureBitFailsTheRequestAndIsLogged) {
    rigT rig;
    auto& d = rig.plug(ident("FAIL-1"));
    auto dev = rig.waitDevice(snum25("FAIL-1"));
    ASSERT_TRUE(dev);
    withBoot(d, [](bootT& b) { b.bootFaults().fail = 1; });
    EXPECT_FALSE(dev->eraseFirmware(range(0, 0x100)));
    EXPECT_TRUE(rig.log.waitFor("INF driver -> { _handleReport } Report rid:255 mid:130\n"));
    EXPECT_TRUE(rig.log.waitFor("WRN driver -> { _handleReport } command failed from device \"" +
                                dev->address().path + "\"\n"));
    // Writing over written flash is the device's refusal too.
    const bytesT data{1, 2, 3};
    ASSERT_TRUE(dev->writeFirmware(block(0, data.data(), 3)));
    EXPECT_FALSE(dev->writeFirmware(block(0, data.data(), 3)));
    EXPECT_TRUE(dev->eraseFirmware(range(0, 0x100)));
    EXPECT_TRUE(dev->writeFirmware(block(0, data.data(), 3)));
}

TEST(NxxxUsbDriverT, StaleAcknowledgementDoesNotAcknowledgeTheNextBlock) {
    rigT rig;
    auto& d = rig.plug(ident("STALE-1"));
    auto dev = rig.waitDevice(snum25("STALE-1"));
    ASSERT_TRUE(dev);
    const bytesT a{0xA1, 0xA2}, b{0xB1, 0xB2};
    // Block A is written but its acknowledgement is lost: A times out.
    withBoot(d, [](bootT& m) { m.faults().drop = 1; });
    EXPECT_FALSE(dev->writeFirmware(block(0x10, a.data(), 2)));
    EXPECT_TRUE(rig.log.waitFor("no reply in time from device"));
    // The device misses block B and answers with A's acknowledgement.
    withBoot(d, [](bootT& m) { m.bootFaults().staleAck = 1; });
    EXPECT_FALSE(dev->writeFirmware(block(0x20, b.data(), 2)));
    EXPECT_TRUE(rig.log.waitFor("does not match request"));
    EXPECT_TRUE(rig.log.waitFor("WRN driver -> { _handleReport } received unexpected report"));
    withBoot(d, [](bootT& m) {
        EXPECT_EQ(m.flash()[0x10], 0xA1);
        EXPECT_EQ(m.flash()[0x20], 0xFF); // not written, and not reported written
    });
    // Sent again, B is acknowledged by its own reply.
    EXPECT_TRUE(dev->writeFirmware(block(0x20, b.data(), 2)));
    withBoot(d, [](bootT& m) { EXPECT_EQ(m.flash()[0x21], 0xB2); });
}

// A's acknowledgement comes after A timed out, while B is in flight: it is
// told apart by its sequence number, and B waits for its own.
TEST(NxxxUsbDriverT, LateAcknowledgementArrivingDuringTheNextBlockIsNotItsAck) {
    rigT rig;
    rig.drv->replyTimeout(rux::timeT(2, 0));
    auto& d = rig.plug(ident("LATE-1"));
    auto dev = rig.waitDevice(snum25("LATE-1"));
    ASSERT_TRUE(dev);
    const bytesT a{0xA1}, b{0xB1};
    withBoot(d, [](bootT& m) {
        m.faults().delay = 1;
        m.faults().delayBy = rux::timeT(3, 0);
    });
    EXPECT_FALSE(dev->writeFirmware(block(0x10, a.data(), 1)));
    // Sent at once: nothing is held back after a time-out.
    EXPECT_TRUE(dev->writeFirmware(block(0x20, b.data(), 1)));
    EXPECT_EQ(rig.log.count("does not match request"), 1);
    withBoot(d, [](bootT& m) {
        EXPECT_EQ(m.flash()[0x10], 0xA1); // written, though reported failed
        EXPECT_EQ(m.flash()[0x20], 0xB1);
    });
}

TEST(NxxxUsbDriverT, EraseMayTakeLongerThanOtherRequests) {
    rigT rig;
    auto& d = rig.plug(ident("SLOW-1"));
    auto dev = rig.waitDevice(snum25("SLOW-1"));
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->eraseTimeout().ms(), 20000);
    withBoot(d, [](bootT& m) {
        m.faults().delay = 1;
        m.faults().delayBy = rux::timeT(3, 0);
    });
    EXPECT_TRUE(dev->eraseFirmware(range(0, 0x1000)));
    withBoot(d, [](bootT& m) {
        m.faults().delay = 1;
        m.faults().delayBy = rux::timeT(3, 0);
    });
    kivsvc::bootAppDataT crc;
    EXPECT_FALSE(dev->getFirmwareCRC(crc));
}

TEST(NxxxUsbDriverT, UnplugMidWriteComesBackAndCanBeFlashedAgain) {
    rigT rig;
    auto& d = rig.plug(ident("PULL-1"));
    auto dev = rig.waitDevice(snum25("PULL-1"));
    ASSERT_TRUE(dev);
    const bytesT img = image(56 * 8, 3);
    withBoot(d, [](bootT& m) { m.bootFaults().unplugAfterBlocks = 4; });
    EXPECT_FALSE(update(*dev, img, 0));
    const int old = dev->id();
    ASSERT_TRUE(rig.waitGone(old));
    kivsvc::bootAppDataT rec;
    EXPECT_FALSE(dev->getBootAppData(rec)); // the old device object is dead
    auto again = rig.waitDevice(snum25("PULL-1"), old);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->model2str(), "NBOOT");
    EXPECT_EQ(d.replugs(), 1u);
    ASSERT_TRUE(update(*again, img, 0));
    withBoot(d,
             [&](bootT& m) { EXPECT_TRUE(std::equal(img.begin(), img.end(), m.flash().begin())); });
    EXPECT_TRUE(rig.log.waitFor("\" disconnected\n"));
}

// Client threads write their own parts of one image at the same time; every
// block lands once, with its own acknowledgement.
TEST(NxxxUsbDriverT, ConcurrentWritersEachGetTheirOwnAcknowledgements) {
    rigT rig;
    auto& d1 = rig.plug(ident("CC-1"));
    auto& d2 = rig.plug(ident("CC-2"));
    auto dev1 = rig.waitDevice(snum25("CC-1"));
    auto dev2 = rig.waitDevice(snum25("CC-2"));
    ASSERT_TRUE(dev1 && dev2);
    const bytesT img = image(56 * 24, 5);
    constexpr int writers = 3;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (auto* dev : {dev1.get(), dev2.get()}) {
        for (int t = 0; t < writers; ++t)
            threads.emplace_back([&, dev, t] {
                for (std::size_t off = 56 * t; off < img.size(); off += 56 * writers)
                    if (!dev->writeFirmware(block(uint32_t(off), img.data() + off, 56)))
                        ++failures;
            });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (auto* d : {&d1, &d2})
        withBoot(*d, [&](bootT& m) {
            EXPECT_TRUE(std::equal(img.begin(), img.end(), m.flash().begin()));
            EXPECT_EQ(m.blocksWritten(), 24u);
        });
    kivsvc::bootAppDataT crc;
    withBoot(d1, [](bootT& m) { m.flash().resize(56 * 24); }); // checksum over the image
    ASSERT_TRUE(dev1->getFirmwareCRC(crc));
    EXPECT_EQ(crc.crc32(), bootT::crc32(img.data(), img.size()));
}
