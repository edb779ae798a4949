// kivsvc-emu with its devices plugged into the running kernel (/dev/uhid), as
// an operator runs it: meters and bootloaders added from the console reach the
// drivers of this process through hidraw. Where there is no /dev/uhid, only
// the refusal is tested (the rest runs in the test virtual machine, scripts/vm).
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "emu_test_support.h"
#include "nxxx/usbdriver.h"
#include "q7xx/usbdriver.h"
#include "rux_testsupport.h"

using rux::test::msT;
using rux::test::processT;

namespace {

using devMapT = std::map<int, std::shared_ptr<const kivDevT>>;

bool haveUhid() {
    return ::access("/dev/uhid", R_OK | W_OK) == 0;
}

std::string padded(const std::string& s, std::size_t n) {
    std::string r = s;
    r.resize(n, '\0');
    return r;
}

template <class D>
int waitDevice(emutest::dbWatchGuardT& db, uint16_t vendor, const std::string& snum) {
    int id = -1;
    db->waitFor([&](const devMapT& devs) {
        for (auto& d : devs) {
            auto q = std::dynamic_pointer_cast<const D>(d.second);
            if (q && q->snum() == snum && q->address().id.vendor == vendor)
                id = d.first;
        }
        return id >= 0;
    });
    return id;
}

TEST(KivsvcEmuUhidT, ConsoleDevicesReachTheDriversThroughTheKernel) {
    if (!haveUhid())
        GTEST_SKIP() << "needs /dev/uhid (scripts/vm/run-guest)";
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    const uint16_t vendor = 0x7C01;
    q7xxUsbDriverT meters(vendor, 0x0001);
    ASSERT_TRUE(meters.start());
    nxxxUsbDriverT boots(vendor, 0x0002);
    ASSERT_TRUE(boots.start());

    rux::test::tempDirT home;
    processT::optionsT o;
    o.argv = {KIVSVC_EMU, "-u", "-C", "telnet", "-B", "127.0.0.1:0", "-D", "console"};
    o.env["HOME"] = home.path();
    o.notify = true;
    processT emu(o);
    ASSERT_TRUE(emu.start());
    ASSERT_TRUE(emu.waitForNotify("READY=1"));
    ASSERT_TRUE(emu.waitForOutput("telnet server listening on "));
    rux::test::telnetClientT telnet;
    ASSERT_TRUE(telnet.connect(rux::test::portAfter(emu.output(), "telnet server listening on ")));
    ASSERT_TRUE(telnet.waitForOutput("kivsvc-emu > "));
    auto run = [&](const std::string& line, const std::string& expect) {
        const size_t from = telnet.output().size();
        return telnet.sendLine(line) && telnet.waitForOutput(expect, msT(20000), from);
    };

    ASSERT_TRUE(run("meter add \"Q8.20 MAGMETER\" UHIDEMU1 -vendor " + std::to_string(vendor),
                    "plugged meter1"));
    const int meter = waitDevice<q7xxUsbDevT>(db, vendor, padded("UHIDEMU1", 17));
    ASSERT_GE(meter, 0);
    ASSERT_TRUE(run("boot add UHIDBOOT1 -vendor " + std::to_string(vendor), "plugged boot2"));
    EXPECT_GE(waitDevice<nxxxUsbDevT>(db, vendor, padded("UHIDBOOT1", 25)), 0);

    ASSERT_TRUE(run("meter remove meter1", "removed meter1"));
    EXPECT_TRUE(db->waitFor([&](const devMapT& devs) { return devs.count(meter) == 0; }));

    ASSERT_TRUE(emu.signal(SIGTERM));
    ASSERT_TRUE(emu.wait());
    EXPECT_EQ(emu.exitCode(), 0);
}

TEST(KivsvcEmuUhidT, RefusesUhidWhereTheKernelHasNone) {
    if (haveUhid())
        GTEST_SKIP() << "this kernel has /dev/uhid";
    rux::test::tempDirT home;
    processT::optionsT o;
    o.argv = {KIVSVC_EMU, "-u", "-C", "null"};
    o.env["HOME"] = home.path();
    processT emu(o);
    ASSERT_TRUE(emu.start());
    ASSERT_TRUE(emu.wait());
    EXPECT_NE(emu.exitCode(), 0);
    EXPECT_NE(emu.output().find("cannot use /dev/uhid: "), std::string::npos) << emu.output();
}

} // namespace
