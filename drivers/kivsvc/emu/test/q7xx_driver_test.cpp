// The meter driver against emulated meters over the emulated HID transport:
// identification, reply matching, time-outs, unplugging, resets, shut-down.
#include <algorithm>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emu_test_support.h"
#include "kivemu/hiddev.h"
#include "kivemu/meter.h"
#include "messages.pb.h"
#include "q7xx/usbdriver.h"

using namespace std::chrono_literals;
using kivemu::hidDevT;
using kivemu::meterIdentityT;
using kivemu::meterT;

namespace {

using devMapT = std::map<int, std::shared_ptr<const kivDevT>>;

meterIdentityT ident(const std::string& name, unsigned char sw, const std::string& snum,
                     unsigned char hw = 0x02) {
    meterIdentityT id;
    id.name = name;
    id.hwver = hw;
    id.swver = sw;
    id.snum = snum;
    return id;
}

// A serial number as the driver stores it: the 17 bytes of the reply.
std::string snum17(const std::string& s) {
    std::string r = s;
    r.resize(17, '\0');
    return r;
}

struct rigT {
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    std::vector<std::unique_ptr<hidDevT>> meters;
    std::unique_ptr<q7xxUsbDriverT> drv;
    int named = 0;

    rigT() {
        emutest::emuDir();
        drv = std::make_unique<q7xxUsbDriverT>(vendor, 0x0001);
        EXPECT_TRUE(drv->start());
    }
    hidDevT& plug(const meterIdentityT& id, const std::function<void(meterT&)>& setup = nullptr) {
        auto model = std::make_unique<meterT>(id);
        if (setup)
            setup(*model);
        char name[32];
        std::snprintf(name, sizeof name, "m%04x-%d", vendor, named++);
        meters.push_back(std::make_unique<hidDevT>(emutest::emuDir(), name,
                                                   rux::usbIdT(vendor, 0x0001), std::move(model)));
        EXPECT_TRUE(meters.back()->plug());
        return *meters.back();
    }
    // The device of this driver with serial number `snum`, once it is there.
    std::shared_ptr<const q7xxUsbDevT> waitDevice(const std::string& snum) {
        std::shared_ptr<const q7xxUsbDevT> found;
        db->waitFor([&](const devMapT& devs) {
            for (auto& d : devs) {
                auto q = std::dynamic_pointer_cast<const q7xxUsbDevT>(d.second);
                if (q && q->snum() == snum && q->address().id.vendor == vendor)
                    found = q;
            }
            return found != nullptr;
        });
        return found;
    }
    bool waitGone(int id) {
        return db->waitFor([&](const devMapT& devs) { return devs.count(id) == 0; });
    }
    // A device to call non-const operations on.
    std::shared_ptr<q7xxUsbDevT> writable(int id) {
        devdbT::wrT w;
        return std::dynamic_pointer_cast<q7xxUsbDevT>(w.find(id));
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

} // namespace

TEST(Q7xxIdentifyT, ModelAndProtocolByNameAndSoftwareVersion) {
    struct caseT {
        const char* name;
        unsigned char sw;
        bool known;
        int model;
        q7xxProtoT proto;
    } cases[] = {
        {"Q7.20 MAGMETER", 3, true, q7xxModel::Q720, q7xxProtoT::v1q720},
        {"Q7.20 MAGMETER", 4, true, q7xxModel::Q720, q7xxProtoT::v2q720},
        {"Q8.20 MAGMETER", 0, true, q7xxModel::Q720, q7xxProtoT::v1q720},
        {"Q8.20 MAGMETER", 0x1A, true, q7xxModel::Q720, q7xxProtoT::v2q720},
        {"Q8.10 MAGMETER", 1, true, q7xxModel::Q710, q7xxProtoT::v2q710},
        {"Q8.50 MAGMETER", 1, true, q7xxModel::Q850, q7xxProtoT::v2q720},
        {"Q8.50 MAGMETERX", 5, false, 0, q7xxProtoT::v2q720}, // no NUL after 14 characters
        {"Q9.99 MAGMETER", 5, false, 0, q7xxProtoT::v2q720},
    };
    for (const auto& c : cases) {
        meterT m(ident(c.name, c.sw, "X"));
        q7xxProtoFactoryT f;
        std::vector<unsigned char> out(65, 0);
        f.make_idreq()->formatReport(out.data(), out.size());
        auto act = m.handle(out.data(), out.size());
        ASSERT_EQ(act.replies.size(), 1u);
        auto id = f.make_idreply();
        ASSERT_TRUE(id->parse(act.replies[0].report.data(), int(act.replies[0].report.size())));
        int model = -1;
        q7xxProtoT proto = q7xxProtoT::v2q720;
        EXPECT_EQ(q7xxUsbDriverT::identify(*id, model, proto), c.known) << c.name;
        if (c.known) {
            EXPECT_EQ(model, c.model) << c.name;
            EXPECT_EQ(proto, c.proto) << c.name << " sw " << int(c.sw);
        }
    }
}

TEST(Q7xxUsbDriverT, PlugsAndIdentifiesEveryModel) {
    rigT rig;
    struct caseT {
        const char* name;
        unsigned char sw;
        const char* model;
        const char* swText;
    } cases[] = {
        {"Q7.20 MAGMETER", 0x03, "Q720", "03"},
        {"Q8.20 MAGMETER", 0x1A, "Q720", "1a"},
        {"Q8.10 MAGMETER", 0x04, "Q710", "04"},
        {"Q8.50 MAGMETER", 0x07, "Q850", "07"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string sn = "SN" + std::to_string(n++);
        rig.plug(ident(c.name, c.sw, sn));
        auto dev = rig.waitDevice(snum17(sn));
        ASSERT_TRUE(dev) << c.name;
        EXPECT_EQ(dev->model2str(), c.model);
        EXPECT_EQ(dev->hwver(), "02");
        EXPECT_EQ(dev->swver(), c.swText);
        EXPECT_GE(dev->id(), 0);
        EXPECT_EQ(dynamic_cast<const q710T*>(dev.get()) != nullptr, std::string(c.model) == "Q710");
        EXPECT_TRUE(rig.log.waitFor(std::string("connected ") + c.model + " device:\nSNUM   = "));
    }
    char addr[16];
    std::snprintf(addr, sizeof addr, "%04X:0001\n", rig.vendor);
    EXPECT_EQ(rig.log.count(std::string("NTC driver -> { _run } connected to device ") + addr), 4);
    EXPECT_EQ(rig.log.count("registering USB address "), 1);
}

TEST(Q7xxUsbDriverT, UnknownMeterIsEnteredWithNumberedSerials) {
    rigT rig;
    rig.plug(ident("Q9.99 FLOWTHING", 4, "A"));
    rig.plug(ident("", 4, "B"));
    std::vector<std::shared_ptr<const kivDevT>> unk;
    ASSERT_TRUE(rig.db->waitFor([&](const devMapT& devs) {
        unk.clear();
        for (auto& d : devs) {
            auto q = std::dynamic_pointer_cast<const q7xxUnkT>(d.second);
            if (q && q->address().id.vendor == rig.vendor)
                unk.push_back(d.second);
        }
        return unk.size() == 2;
    }));
    std::vector<int> numbers;
    for (auto& d : unk) {
        EXPECT_EQ(d->model2str(), "unknown");
        EXPECT_EQ(d->hwver(), "NA");
        EXPECT_EQ(d->swver(), "NA");
        ASSERT_EQ(d->snum().size(), 6u);
        numbers.push_back(std::stoi(d->snum()));
    }
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers[1], numbers[0] + 1);
    EXPECT_TRUE(
        rig.log.waitFor("ERR driver -> { _handshake } unknown device model \"Q9.99 FLOWTHING\"\n"));
    // Nothing but resets can be asked of it.
    auto dev = rig.writable(std::dynamic_pointer_cast<const usbdrv::usbDevT>(unk[0])->id());
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->reset(kivDevT::swReset));
}

TEST(Q7xxUsbDriverT, UnparsableIdentificationEntersAnUnknownMeter) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "GARBLED"),
                       [](meterT& mt) { mt.faults().wrongMid = 1; });
    std::shared_ptr<const q7xxUsbDevT> unk;
    ASSERT_TRUE(rig.db->waitFor([&](const devMapT& devs) {
        for (auto& d : devs) {
            auto q = std::dynamic_pointer_cast<const q7xxUnkT>(d.second);
            if (q && q->address().id.vendor == rig.vendor)
                unk = q;
        }
        return unk != nullptr;
    }));
    char addr[16];
    std::snprintf(addr, sizeof addr, "%04X:0001\n", rig.vendor);
    EXPECT_EQ(
        rig.log.count(std::string("ERR driver -> { _handshake } failed to parse ID reply data from ") +
                      addr),
        1);
    EXPECT_EQ(unk->model2str(), "unknown");
    EXPECT_EQ(unk->hwver(), "NA");
    EXPECT_EQ(unk->swver(), "NA");
    EXPECT_EQ(unk->snum().size(), 6u);
    // No serial-number request was made of it, and it has no commands.
    EXPECT_EQ(m.reports(), 1u);
    kivsvc::configT cfg;
    EXPECT_FALSE(unk->getConfig(cfg));
    EXPECT_EQ(m.reports(), 1u);
}

namespace {
// Notes the thread that enters devices.
class threadWatchT : public q7xxUsbDriverT {
public:
    using q7xxUsbDriverT::q7xxUsbDriverT;
    std::promise<std::string> thread;

protected:
    void _logAttached(const usbdrv::usbDevT& dev) override {
        q7xxUsbDriverT::_logAttached(dev);
        thread.set_value(rux::threadT::self()->name());
    }
};
} // namespace

TEST(Q7xxUsbDriverT, DevicesAreServedByTheDriversNamedThread) {
    emutest::emuDir();
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    threadWatchT drv(vendor, 0x0001);
    auto name = drv.thread.get_future();
    ASSERT_TRUE(drv.start());
    hidDevT m(emutest::emuDir(), "thr" + std::to_string(vendor), rux::usbIdT(vendor, 0x0001),
              std::make_unique<meterT>(ident("Q8.20 MAGMETER", 4, "THR")));
    ASSERT_TRUE(m.plug());
    ASSERT_EQ(name.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(name.get(), "kivsvc-q7xx-usb-drv");
}

TEST(Q7xxUsbDriverT, SilentIdentificationStepsEnterNothingUntilReplugged) {
    for (unsigned muted : {2u << 8 | 1u, 2u << 8 | 3u}) {
        rigT rig;
        auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "SILENT"),
                           [&](meterT& mt) { mt.faults().mute.insert(muted); });
        ASSERT_TRUE(rig.log.waitFor("ERR driver -> { _run } failed to enumerate device "));
        EXPECT_EQ(rig.log.count("timeout while waiting for ID reply from "), 1);
        {
            devdbT::rdT r;
            std::map<int, std::shared_ptr<const kivDevT>> devs;
            r.get(devs);
            for (auto& d : devs)
                EXPECT_NE(d.second->snum(), snum17("SILENT"));
        }
        // Plugged in again, and answering now, it is served.
        m.unplug();
        m.with([](kivemu::modelT& mt) { mt.faults().mute.clear(); });
        ASSERT_TRUE(m.plug());
        EXPECT_TRUE(rig.waitDevice(snum17("SILENT")));
    }
}

TEST(Q7xxUsbDriverT, TwoMetersAtOnceNeverCrossReplies) {
    rigT rig;
    rig.plug(ident("Q8.20 MAGMETER", 4, "LEFT"));
    rig.plug(ident("Q8.10 MAGMETER", 4, "RIGHT"));
    auto left = rig.waitDevice(snum17("LEFT"));
    auto right = rig.waitDevice(snum17("RIGHT"));
    ASSERT_TRUE(left && right);
    std::atomic<int> bad{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&, c] {
            const auto& dev = c % 2 ? *left : *right;
            for (int i = 0; i < 25; ++i)
                if (askSnum(dev) != dev.snum())
                    ++bad;
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(bad, 0);
}

TEST(Q7xxUsbDriverT, StrayReportsAreLoggedAndDropped) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "STRAY"));
    auto dev = rig.waitDevice(snum17("STRAY"));
    ASSERT_TRUE(dev);
    const std::string unexpected = "WRN driver -> { _handleReport } received unexpected report "
                                   "from device \"" +
                                   dev->address().path + "\"\n";
    // Nothing asked: the report is dropped.
    m.sendUnsolicited();
    ASSERT_TRUE(rig.log.waitFor(unexpected, 1));

    // A report with other ids arriving while a reply is awaited does not
    // complete the request; the awaited reply behind it does.
    rig.drv->replyTimeout(rux::timeT(600, 0));
    m.with([](kivemu::modelT& mt) {
        mt.faults().delay = 1;
        mt.faults().delayBy = rux::timeT::fromMs(300);
    });
    const unsigned before = m.reports();
    auto asked = std::async(std::launch::async, [&] { return askSnum(*dev); });
    for (int i = 0; i < 3000 && m.reports() == before; ++i)
        std::this_thread::sleep_for(10ms);
    m.sendUnsolicited(); // an identification reply while the serial number is awaited
    EXPECT_EQ(asked.get(), snum17("STRAY"));
    EXPECT_EQ(rig.log.count(unexpected), 2);

    // A reply with another message id is no reply at all.
    rig.drv->replyTimeout(rux::timeT::fromMs(500));
    m.with([](kivemu::modelT& mt) { mt.faults().wrongMid = 1; });
    EXPECT_EQ(askSnum(*dev), "");
    EXPECT_EQ(rig.log.count(unexpected), 3);
    EXPECT_TRUE(rig.log.waitFor("no reply in time from device"));
    EXPECT_EQ(askSnum(*dev), snum17("STRAY"));
}

TEST(Q7xxUsbDriverT, ChecksumFailureFailsTheRequestWithBothLines) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "CKSUM"));
    auto dev = rig.waitDevice(snum17("CKSUM"));
    ASSERT_TRUE(dev);
    rig.drv->replyTimeout(rux::timeT(600, 0)); // a failure comes from the checksum alone
    m.with([](kivemu::modelT& mt) { mt.faults().corrupt = 1; });
    EXPECT_EQ(askSnum(*dev), "");
    EXPECT_EQ(rig.log.count("ERR driver -> { parse } faild to validate checksum bufchk="), 1);
    EXPECT_EQ(rig.log.count("ERR driver -> { parse } buf(0-3)= 0x4, 0x3, 0x"), 1);
    EXPECT_EQ(askSnum(*dev), snum17("CKSUM"));
}

TEST(Q7xxUsbDriverT, UnplugFailsTheWaitingAndTheQueuedRequest) {
    rigT rig;
    rig.drv->replyTimeout(rux::timeT(600, 0)); // failures come from the unplug alone
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "UNPLUG"));
    auto dev = rig.waitDevice(snum17("UNPLUG"));
    ASSERT_TRUE(dev);
    const int id = dev->id();
    m.with([](kivemu::modelT& mt) { mt.faults().drop = 1; });
    auto first = std::async(std::launch::async, [&] { return askSnum(*dev); });
    auto second = std::async(std::launch::async, [&] { return askSnum(*dev); });
    // One sent and waiting, one queued behind it.
    for (int i = 0; i < 3000 && rig.drv->requests()->size() < 2; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(rig.drv->requests()->size(), 2u);
    m.unplug();
    ASSERT_EQ(first.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(first.get(), "");
    EXPECT_EQ(second.get(), "");
    EXPECT_TRUE(rig.waitGone(id));
    EXPECT_TRUE(rig.log.waitFor("NTC driver -> { _run } device "));
    EXPECT_TRUE(rig.log.waitFor(", snum \"" + snum17("UNPLUG") + "\" disconnected\n"));
    // The device object lives on with its holder; requests fail at once.
    EXPECT_EQ(askSnum(*dev), "");
}

TEST(Q7xxUsbDriverT, OverdueReplyFailsAndItsLateArrivalCompletesNothing) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "OLD"));
    auto dev = rig.waitDevice(snum17("OLD"));
    ASSERT_TRUE(dev);
    rig.drv->replyTimeout(rux::timeT::fromMs(500));
    m.with([](kivemu::modelT& mt) {
        mt.faults().delay = 1;
        mt.faults().delayBy = rux::timeT::fromMs(1000);
    });
    EXPECT_EQ(askSnum(*dev), "");
    EXPECT_TRUE(rig.log.waitFor("ERR driver -> { _run } no reply in time from device \"" +
                                dev->address().path + "\"\n"));
    // The meter's serial number changes; the late reply still carries the old.
    m.with([](kivemu::modelT& mt) {
        auto& meter = static_cast<meterT&>(mt);
        auto id = meter.identity();
        id.snum = "NEW";
        meter.identity(id);
    });
    EXPECT_EQ(askSnum(*dev), snum17("NEW"));
    EXPECT_EQ(rig.log.count("received unexpected report from device"), 1);
}

TEST(Q7xxUsbDriverT, ResetsReachTheMeterAndAHardwareResetReplugs) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "RESET"));
    auto seen = rig.waitDevice(snum17("RESET"));
    ASSERT_TRUE(seen);
    auto dev = rig.writable(seen->id());
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->reset(kivDevT::swReset));
    EXPECT_TRUE(dev->reset(kivDevT::cfgReset));
    EXPECT_FALSE(dev->reset(static_cast<kivDevT::resetT>(7)));
    auto counted = [&](unsigned sw, unsigned cfg) {
        for (int i = 0; i < 3000; ++i) {
            bool ok = false;
            m.with([&](kivemu::modelT& mt) {
                auto& meter = static_cast<meterT&>(mt);
                ok = meter.swResets() == sw && meter.cfgResets() == cfg;
            });
            if (ok)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    EXPECT_TRUE(counted(1, 1));

    const int oldId = dev->id();
    EXPECT_TRUE(dev->reset(kivDevT::hwReset));
    EXPECT_TRUE(rig.waitGone(oldId));
    auto back = rig.waitDevice(snum17("RESET"));
    ASSERT_TRUE(back);
    EXPECT_NE(back->id(), oldId);
    EXPECT_EQ(askSnum(*back), snum17("RESET"));
    EXPECT_EQ(m.replugs(), 1u);
}

TEST(Q7xxUsbDriverT, DestroyingTheDriverFailsRequestsAndRemovesItsDevices) {
    rigT rig;
    auto& m = rig.plug(ident("Q8.20 MAGMETER", 4, "END"));
    auto dev = rig.waitDevice(snum17("END"));
    ASSERT_TRUE(dev);
    const int id = dev->id();
    m.with([](kivemu::modelT& mt) { mt.faults().drop = 1; });
    rig.drv->replyTimeout(rux::timeT(600, 0));
    auto waiting = std::async(std::launch::async, [&] { return askSnum(*dev); });
    for (int i = 0; i < 3000 && rig.drv->requests()->size() < 1; ++i)
        std::this_thread::sleep_for(10ms);
    rig.drv.reset();
    ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "");
    EXPECT_TRUE(rig.waitGone(id));
    EXPECT_EQ(askSnum(*dev), "");
}

namespace {
// Reaches the listener, to make it fail.
class listenerBreakerT : public q7xxUsbDriverT {
public:
    using q7xxUsbDriverT::q7xxUsbDriverT;
    void breakListener() { _listenerSocket().shutdown(3); }
};
} // namespace

TEST(Q7xxUsbDriverT, FailedListenerIsReportedOnceAndDevicesAreStillServed) {
    emutest::emuDir();
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    listenerBreakerT drv(vendor, 0x0001);
    ASSERT_TRUE(drv.start());
    hidDevT m(emutest::emuDir(), "brk" + std::to_string(vendor), rux::usbIdT(vendor, 0x0001),
              std::make_unique<meterT>(ident("Q8.20 MAGMETER", 4, "BRK")));
    ASSERT_TRUE(m.plug());
    std::shared_ptr<const q7xxUsbDevT> dev;
    ASSERT_TRUE(db->waitFor([&](const devMapT& devs) {
        for (auto& d : devs)
            if (d.second->snum() == snum17("BRK"))
                dev = std::dynamic_pointer_cast<const q7xxUsbDevT>(d.second);
        return dev != nullptr;
    }));

    drv.breakListener();
    const std::string line =
        "CRT driver -> { _run } listening for devices failed, no further devices are accepted\n";
    ASSERT_TRUE(log.waitFor(line));
    // The thread goes on serving (two full rounds), and said it only once.
    EXPECT_EQ(askSnum(*dev), snum17("BRK"));
    EXPECT_EQ(askSnum(*dev), snum17("BRK"));
    EXPECT_EQ(log.count(line), 1);
}

TEST(Q7xxUsbDriverT, DestroyingTheDriverCutsAnIdentificationShort) {
    rigT rig;
    rig.plug(ident("Q8.20 MAGMETER", 4, "MUTE"),
             [](meterT& mt) { mt.faults().mute.insert(2u << 8 | 1u); });
    ASSERT_TRUE(rig.log.waitFor("NTC driver -> { _run } connected to device "));
    rig.drv.reset();
    // Had it waited the 5 s out, the time-out would be in the log.
    EXPECT_EQ(rig.log.count("timeout while waiting for ID reply"), 0);
}
