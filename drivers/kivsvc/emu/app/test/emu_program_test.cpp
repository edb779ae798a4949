// kivsvc-emu as an operator runs it: meters plugged in and out from its telnet
// console reach the meter driver of this process through the emulation
// directory; SIGTERM ends it.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "emu_test_support.h"
#include "q7xx/usbdriver.h"
#include "rux_testsupport.h"

using namespace std::chrono_literals;
using rux::test::msT;
using rux::test::processT;

namespace {

struct emuT {
    rux::test::tempDirT home;
    std::unique_ptr<processT> proc;
    rux::test::telnetClientT telnet;

    explicit emuT(std::vector<std::string> extra = {}) {
        processT::optionsT o;
        o.argv = {KIVSVC_EMU, "-C", "telnet", "-B", "127.0.0.1:0", "-D", "console"};
        o.argv.insert(o.argv.end(), extra.begin(), extra.end());
        o.env["HOME"] = home.path();
        o.env["RUX_HID_EMU_DIR"] = emutest::emuDir();
        o.notify = true;
        proc = std::make_unique<processT>(o);
    }
    bool start() {
        if (!proc->start() || !proc->waitForNotify("READY=1") ||
            !proc->waitForOutput("telnet server listening on "))
            return false;
        const uint16_t port = rux::test::portAfter(proc->output(), "telnet server listening on ");
        return port != 0 && telnet.connect(port) && telnet.waitForOutput("kivsvc-emu > ");
    }
    // Runs one console command; true when `expect` follows it.
    bool run(const std::string& line, const std::string& expect) {
        const size_t from = telnet.output().size();
        return telnet.sendLine(line) && telnet.waitForOutput(expect, msT(20000), from);
    }
};

std::string snum17(const std::string& s) {
    std::string r = s;
    r.resize(17, '\0');
    return r;
}

std::shared_ptr<const q7xxUsbDevT> waitDevice(emutest::dbWatchGuardT& db, uint16_t vendor,
                                              const std::string& snum) {
    std::shared_ptr<const q7xxUsbDevT> found;
    db->waitFor([&](const std::map<int, std::shared_ptr<const kivDevT>>& devs) {
        for (auto& d : devs) {
            auto q = std::dynamic_pointer_cast<const q7xxUsbDevT>(d.second);
            if (q && q->snum() == snum && q->address().id.vendor == vendor)
                found = q;
        }
        return found != nullptr;
    });
    return found;
}

} // namespace

TEST(KivsvcEmuT, ConsolePlugsMetersInAndOut) {
    emutest::emuDir(); // before the first HID socket of this process
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = emutest::freshVendor();
    q7xxUsbDriverT drv(vendor, 0x0001);
    drv.start();
    emuT emu;
    ASSERT_TRUE(emu.start());

    ASSERT_TRUE(
        emu.run("meter add \"Q8.10 MAGMETER\" CONSOLE1 -sw 5 -vendor " + std::to_string(vendor),
                "plugged meter1"));
    auto dev = waitDevice(db, vendor, snum17("CONSOLE1"));
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->model2str(), "Q710");
    EXPECT_EQ(dev->swver(), "05");

    char usb[16];
    std::snprintf(usb, sizeof usb, "%04X:0001", vendor);
    EXPECT_TRUE(emu.run("meter list",
                        std::string("meter1  ") + usb + "  \"Q8.10 MAGMETER\"  snum \"CONSOLE1\""));

    // A fault knob set from the console reaches the driver.
    ASSERT_TRUE(emu.run("meter fault meter1 corrupt", "set corrupt 1"));
    q7xxProtoFactoryT f;
    std::shared_ptr<q7xxUSBMsg_SNUMREPLY> reply = f.make_snumreply();
    EXPECT_FALSE(dev->syncMessage(f.make_snumreq(), reply));
    EXPECT_TRUE(log.waitFor("faild to validate checksum"));
    EXPECT_TRUE(dev->syncMessage(f.make_snumreq(), reply));

    const int id = dev->id();
    ASSERT_TRUE(emu.run("meter remove meter1", "removed meter1"));
    EXPECT_TRUE(db->waitFor([&](const std::map<int, std::shared_ptr<const kivDevT>>& devs) {
        return devs.count(id) == 0;
    }));
    EXPECT_TRUE(emu.run("meter remove meter1", "no device meter1"));

    ASSERT_TRUE(emu.proc->signal(SIGTERM));
    ASSERT_TRUE(emu.proc->wait());
    EXPECT_EQ(emu.proc->exitCode(), 0);
}

TEST(KivsvcEmuT, MetersGivenOnTheCommandLineArePluggedAtStart) {
    emutest::emuDir();
    emutest::dbWatchGuardT db;
    // The option plugs under the default vendor; a driver here serves it.
    q7xxUsbDriverT drv(0xA7B3, 0x0001);
    drv.start();
    emuT emu({"-m", "Q7.20 MAGMETER,STARTUP,03,1c"});
    ASSERT_TRUE(emu.start());
    auto dev = waitDevice(db, 0xA7B3, snum17("STARTUP"));
    ASSERT_TRUE(dev);
    EXPECT_EQ(dev->swver(), "03");
    EXPECT_EQ(dev->hwver(), "1c");
    ASSERT_TRUE(emu.proc->signal(SIGTERM));
    ASSERT_TRUE(emu.proc->wait());
    EXPECT_EQ(emu.proc->exitCode(), 0);
}

TEST(KivsvcEmuT, RefusesABadMeterOptionAndAMissingDirectory) {
    rux::test::tempDirT home;
    processT::optionsT o;
    o.argv = {KIVSVC_EMU, "-C", "null", "-m", "Q7.20 MAGMETER"};
    o.env["HOME"] = home.path();
    o.env["RUX_HID_EMU_DIR"] = home.path();
    processT bad(o);
    ASSERT_TRUE(bad.start());
    ASSERT_TRUE(bad.wait());
    EXPECT_NE(bad.exitCode(), 0);

    o.argv = {KIVSVC_EMU, "-C", "null"};
    o.env.erase("RUX_HID_EMU_DIR");
    o.unsetEnv = {"RUX_HID_EMU_DIR"};
    processT nodir(o);
    ASSERT_TRUE(nodir.start());
    ASSERT_TRUE(nodir.wait());
    EXPECT_NE(nodir.exitCode(), 0);
    EXPECT_NE(nodir.output().find("no emulation directory"), std::string::npos);
}

TEST(KivsvcEmuT, ConsolePlugsBootloadersIn) {
    emutest::emuDir();
    const uint16_t vendor = emutest::freshVendor();
    rux::srvSocketT<rux::seqSocketT> srv;
    ASSERT_TRUE(srv.bind(rux::usbHidSockAddrT(vendor, 0x0002), 1));
    emuT emu;
    ASSERT_TRUE(emu.start());
    ASSERT_TRUE(
        emu.run("boot add BOOTSN7 -sw 107 -vendor " + std::to_string(vendor), "plugged boot1"));
    EXPECT_TRUE(emu.run("boot list", "boot1  "));
    EXPECT_TRUE(emu.run("meter list", "no devices"));

    // What a host reads from it: the identification of an NBOOT.
    rux::seqSocketT host;
    rux::usbHidSockAddrT peer;
    ASSERT_TRUE(srv.accept(host, peer));
    rux::dgramT out(peer.caps.outputReportByteLength);
    const unsigned char idreq[] = {1, 0, 0, 0};
    out.write(idreq, sizeof idreq);
    out.trunc(out.capacity());
    ASSERT_TRUE(host.send(out, peer));
    rux::dgramT in;
    ASSERT_TRUE(host.recv(in, peer));
    ASSERT_GE(in.length(), 4u + 45u);
    const auto* r = reinterpret_cast<const unsigned char*>(in.buf());
    EXPECT_EQ(r[0], 0xFF);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 4 + 5), "NBOOT");
    EXPECT_EQ(r[4 + 1], 107); // software version, little-endian
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r) + 4 + 21), "BOOTSN7");

    EXPECT_TRUE(emu.run("boot remove boot1", "removed boot1"));
    ASSERT_TRUE(emu.proc->signal(SIGTERM));
    ASSERT_TRUE(emu.proc->wait());
    EXPECT_EQ(emu.proc->exitCode(), 0);
}
