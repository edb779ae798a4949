// The meter and bootloader drivers over the hidraw backend against emulated
// devices that the running kernel holds as its own HID devices (/dev/uhid):
// identification, a configuration round trip, a measurement, a whole firmware
// update with its checksum, unplugging while a request waits. Skips itself
// where there is no /dev/uhid (run in the test virtual machine, scripts/vm).
#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "emu_test_support.h"
#include "kivemu/boot.h"
#include "kivemu/meter.h"
#include "kivemu/uhiddev.h"
#include "messages.pb.h"
#include "nxxx/usbdriver.h"
#include "q7xx/usbdriver.h"

namespace {

using namespace std::chrono_literals;
using kivemu::bootT;
using kivemu::bytesT;
using kivemu::meterT;
using kivemu::reportIdsT;
using kivemu::uhidDevT;
using devMapT = std::map<int, std::shared_ptr<const kivDevT>>;

uint16_t freshVendor() {
    static uint16_t next = 0x7B00;
    return next++;
}

std::string padded(const std::string& s, std::size_t n) {
    std::string r = s;
    r.resize(n, '\0');
    return r;
}

class uhidDriver : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/uhid", R_OK | W_OK) != 0)
            GTEST_SKIP() << "needs /dev/uhid (scripts/vm/run-guest)";
    }
    template <class D> std::shared_ptr<D> waitDevice(uint16_t vendor, const std::string& snum) {
        int id = -1;
        db->waitFor([&](const devMapT& devs) {
            for (auto& d : devs) {
                auto q = std::dynamic_pointer_cast<const D>(d.second);
                if (q && q->snum() == snum && q->address().id.vendor == vendor)
                    id = d.first;
            }
            return id >= 0;
        });
        if (id < 0)
            return nullptr;
        devdbT::wrT w;
        return std::dynamic_pointer_cast<D>(w.find(id));
    }

    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
};

// One driver and one uhid meter.
struct meterRigT {
    const uint16_t vendor = freshVendor();
    std::unique_ptr<q7xxUsbDriverT> drv;
    std::unique_ptr<uhidDevT> meter;

    explicit meterRigT(const std::string& snum, float flow = 1.5f) {
        drv = std::make_unique<q7xxUsbDriverT>(vendor, 0x0001);
        EXPECT_TRUE(drv->start());
        kivemu::meterIdentityT id;
        id.name = "Q8.20 MAGMETER";
        id.swver = 4;
        id.snum = snum;
        auto model = std::make_unique<meterT>(id);
        model->flow() = flow;
        meter = std::make_unique<uhidDevT>(rux::usbIdT(vendor, 0x0001), std::move(model),
                                           reportIdsT::meter(), "Q8.20 MAGMETER", snum);
        EXPECT_TRUE(meter->plug());
    }
    ~meterRigT() {
        meter.reset();
        drv.reset();
    }
    bytesT config() {
        bytesT c;
        meter->with([&](kivemu::modelT& m) { c = static_cast<meterT&>(m).config(); });
        return c;
    }
};

// Asks for the serial number; the reply's 17 bytes, or "" on failure.
std::string askSnum(const q7xxUsbDevT& dev) {
    q7xxProtoFactoryT f;
    std::shared_ptr<q7xxUSBMsg_SNUMREPLY> reply = f.make_snumreply();
    if (!dev.syncMessage(f.make_snumreq(), reply))
        return "";
    return reply->snum();
}

TEST_F(uhidDriver, MeterIsIdentifiedAndEntered) {
    meterRigT rig("UHD-ID");
    auto dev = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-ID", 17));
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->model2str(), "Q720");
    EXPECT_EQ(dev->swver(), "04");
    EXPECT_EQ(dev->address().serial, "UHD-ID");
    EXPECT_TRUE(log.waitFor("connected Q720 device:\nSNUM   = "));
    EXPECT_EQ(askSnum(*dev), padded("UHD-ID", 17));
}

TEST_F(uhidDriver, ConfigurationWrittenIsWhatIsReadBack) {
    meterRigT rig("UHD-CFG");
    auto dev = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-CFG", 17));
    ASSERT_TRUE(dev);
    kivsvc::configT before;
    ASSERT_TRUE(dev->getConfig(before));
    ASSERT_TRUE(before.has_q7xx());

    kivsvc::configT c;
    c.mutable_q7xx()->set_ppl(2.3f);
    c.mutable_q7xx()->set_flow_scale(0.7f);
    ASSERT_TRUE(dev->setConfig(c, false));
    // Writes have no reply: a request that has one follows them.
    EXPECT_EQ(askSnum(*dev), padded("UHD-CFG", 17));

    kivsvc::configT after;
    ASSERT_TRUE(dev->getConfig(after));
    EXPECT_EQ(after.q7xx().ppl(), 2.3f);
    EXPECT_EQ(after.q7xx().flow_scale(), 0.7f);
    EXPECT_EQ(rig.config()[24], 7) << "the flow scale's byte in the meter";
}

TEST_F(uhidDriver, MeasurementCarriesTheMetersFlow) {
    meterRigT rig("UHD-MEAS", 4.0f);
    auto dev = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-MEAS", 17));
    ASSERT_TRUE(dev);
    kivsvc::measureT m;
    ASSERT_TRUE(dev->getMeasure(m));
    ASSERT_TRUE(m.has_q7xx());
    EXPECT_EQ(m.q7xx().flow(), 4.0f);
    EXPECT_EQ(m.q7xx().direction(), kivsvc::forward);
}

TEST_F(uhidDriver, UnplugFailsTheWaitingRequestAndRemovesTheDevice) {
    meterRigT rig("UHD-UNPLUG");
    rig.drv->replyTimeout(rux::timeT(600, 0)); // the failure comes from the unplug alone
    auto dev = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-UNPLUG", 17));
    ASSERT_TRUE(dev);
    const int id = dev->id();
    rig.meter->with([](kivemu::modelT& m) { m.faults().drop = 1; });
    auto waiting = std::async(std::launch::async, [&] { return askSnum(*dev); });
    // Bounded wait for the request to be sent, its reply never coming.
    for (int i = 0; i < 3000 && rig.drv->requests()->size() < 1; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(rig.drv->requests()->size(), 1u);
    rig.meter->unplug();
    ASSERT_EQ(waiting.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "");
    EXPECT_TRUE(db->waitFor([&](const devMapT& devs) { return devs.count(id) == 0; }));
    EXPECT_TRUE(log.waitFor(", snum \"" + padded("UHD-UNPLUG", 17) + "\" disconnected\n"));
    EXPECT_EQ(askSnum(*dev), "");
}

TEST_F(uhidDriver, StrayAndDamagedRepliesFailTheRequestAndAreLogged) {
    meterRigT rig("UHD-STRAY");
    auto dev = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-STRAY", 17));
    ASSERT_TRUE(dev);
    const std::string unexpected = "received unexpected report from device \"" +
                                   dev->address().path + "\"\n";
    rig.meter->sendUnsolicited(); // nothing asked
    ASSERT_TRUE(log.waitFor(unexpected, 1));

    rig.drv->replyTimeout(rux::timeT::fromMs(500));
    rig.meter->with([](kivemu::modelT& m) { m.faults().wrongRid = 1; });
    EXPECT_EQ(askSnum(*dev), "");
    EXPECT_TRUE(log.waitFor(unexpected, 2)) << "another report id reaches the driver";

    rig.meter->with([](kivemu::modelT& m) { m.faults().corrupt = 1; });
    EXPECT_EQ(askSnum(*dev), "");
    EXPECT_TRUE(log.waitFor("faild to validate checksum"));
    EXPECT_EQ(askSnum(*dev), padded("UHD-STRAY", 17));
}

TEST_F(uhidDriver, HardwareResetDestroysTheKernelDeviceAndItComesBackAsANewOne) {
    meterRigT rig("UHD-RESET");
    auto seen = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-RESET", 17));
    ASSERT_TRUE(seen);
    const int oldId = seen->id();
    const std::string oldPath = seen->address().path;
    EXPECT_TRUE(seen->reset(kivDevT::hwReset));
    EXPECT_TRUE(db->waitFor([&](const devMapT& devs) { return devs.count(oldId) == 0; }));
    auto back = waitDevice<q7xxUsbDevT>(rig.vendor, padded("UHD-RESET", 17));
    ASSERT_TRUE(back);
    EXPECT_NE(back->id(), oldId);
    EXPECT_NE(back->address().path, oldPath) << "a new hidraw device";
    EXPECT_EQ(askSnum(*back), padded("UHD-RESET", 17));
    EXPECT_EQ(rig.meter->replugs(), 1u);
}

// Erase, every block, checksum compared, record: the client's procedure.
TEST_F(uhidDriver, FullFirmwareUpdateWithItsChecksum) {
    const uint16_t vendor = freshVendor();
    nxxxUsbDriverT drv(vendor, 0x0002);
    drv.replyTimeout(rux::timeT(5, 0));
    drv.eraseTimeout(rux::timeT(20, 0));
    ASSERT_TRUE(drv.start());
    kivemu::bootIdentityT bid;
    bid.snum = "UHD-BOOT";
    uhidDevT boot(rux::usbIdT(vendor, 0x0002), std::make_unique<bootT>(bid),
                  reportIdsT::bootloader(), "NBOOT", "UHD-BOOT");
    ASSERT_TRUE(boot.plug());
    auto dev = waitDevice<nxxxUsbDevT>(vendor, padded("UHD-BOOT", 25));
    ASSERT_TRUE(dev);

    bytesT img(56 * 12 + 13); // the last block short
    for (std::size_t i = 0; i < img.size(); ++i)
        img[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    const uint32_t at = 0x400;
    kivsvc::bootAppDataT rec;
    ASSERT_TRUE(dev->getBootAppData(rec));
    kivsvc::bootAppDataT range;
    range.set_offset(at);
    range.set_len(uint32_t(img.size()));
    ASSERT_TRUE(dev->eraseFirmware(range));
    for (std::size_t off = 0; off < img.size(); off += 56) {
        const std::size_t n = std::min<std::size_t>(56, img.size() - off);
        kivsvc::fwBlockT b;
        b.set_offset(uint32_t(at + off));
        b.set_data(std::string(reinterpret_cast<const char*>(img.data() + off), n));
        ASSERT_TRUE(dev->writeFirmware(b)) << "block at " << off;
    }
    kivsvc::bootAppDataT crc;
    ASSERT_TRUE(dev->getFirmwareCRC(crc));
    ASSERT_EQ(crc.crc32(), bootT::crc32(img.data(), img.size()));
    rec.set_magic(0xB0071234);
    rec.set_state(1);
    rec.set_offset(at);
    rec.set_len(uint32_t(img.size()));
    rec.set_crc32(crc.crc32());
    rec.set_version(0x00020001);
    rec.set_code(0);
    ASSERT_TRUE(dev->setBootAppData(rec));

    boot.with([&](kivemu::modelT& m) {
        auto& b = static_cast<bootT&>(m);
        EXPECT_TRUE(std::equal(img.begin(), img.end(), b.flash().begin() + at));
        EXPECT_EQ(b.blocksWritten(), 13u);
        EXPECT_EQ(b.record().crc32, bootT::crc32(img.data(), img.size()));
    });
    kivsvc::bootAppDataT back;
    ASSERT_TRUE(dev->getBootAppData(back));
    EXPECT_EQ(back.len(), img.size());
    EXPECT_EQ(back.version(), 0x00020001u);
}

} // namespace
