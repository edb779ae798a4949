// The HID socket layer over emulated devices: the manager's rules (taken
// paths, waiting accepts, replug, removal) and one report each way.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "sal/poller.h"
#include "sal/usbhid.h"
#include "sal/usbhidemu.h"

namespace {

using namespace std::chrono_literals;
using rux::dgramT;
using rux::seqSocketT;
using rux::srvSocketT;
using rux::usbHidEmuDescT;
using rux::usbHidEmuDevT;
using rux::usbHidSockAddrT;

constexpr auto kBound = 60s; // generous bound for what must finish

// The emulation directory is read once per process: one for all tests here,
// which keep apart by using vendor ids of their own.
const std::string& emuDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/rux-hidemu-XXXXXX";
        if (!::mkdtemp(tmpl))
            std::abort();
        ::setenv("RUX_HID_EMU_DIR", tmpl, 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::getenv("RUX_HID_EMU_DIR"), ec);
        });
        return std::string(tmpl);
    }();
    return dir;
}

usbHidEmuDescT meter(uint16_t vendor, uint16_t output = 65, const std::string& serial = "") {
    usbHidEmuDescT d;
    d.id = rux::usbIdT(vendor, 0x0001);
    d.caps.inputReportByteLength = 65;
    d.caps.outputReportByteLength = output;
    d.caps.usagePage = 0xff00;
    d.caps.usage = 1;
    d.description = "Q7 meter (emulated)";
    d.serial = serial;
    return d;
}

struct emuDevT {
    usbHidEmuDevT dev;
    emuDevT(const std::string& name, const usbHidEmuDescT& d) {
        EXPECT_TRUE(dev.plug(emuDir(), name, d)) << name;
    }
    // The emulator's end of the host's connection.
    seqSocketT take() {
        seqSocketT c;
        rux::unixSockAddrT a;
        EXPECT_TRUE(dev.listener().accept(c, a));
        return c;
    }
};

struct listenerT {
    srvSocketT<seqSocketT> srv;
    explicit listenerT(uint16_t vendor) {
        emuDir();
        EXPECT_TRUE(srv.bind(usbHidSockAddrT(vendor, 0x0001), 1));
    }
    bool accept(seqSocketT& s, usbHidSockAddrT& peer) { return srv.accept(s, peer); }
    std::string acceptPath() {
        seqSocketT s;
        usbHidSockAddrT peer;
        if (!srv.accept(s, peer))
            return "failed";
        held.push_back(s);
        return peer.path;
    }
    std::vector<seqSocketT> held;
};

dgramT report(std::initializer_list<uint8_t> bytes) {
    dgramT d(uint32_t(bytes.size()));
    d.write(bytes.begin(), uint32_t(bytes.size()));
    return d;
}

TEST(usbHidEmu, TwoAcceptsGetTwoDevicesAndAThirdWaitsForTheNextArrival) {
    emuDevT a("twoA", meter(0x1001)), b("twoB", meter(0x1001));
    listenerT l(0x1001);
    std::string first = l.acceptPath(), second = l.acceptPath();
    EXPECT_NE(first, second);
    EXPECT_TRUE(first == a.dev.hostPath() || first == b.dev.hostPath()) << first;
    EXPECT_TRUE(second == a.dev.hostPath() || second == b.dev.hostPath()) << second;

    auto third = std::async(std::launch::async, [&] { return l.acceptPath(); });
    EXPECT_EQ(third.wait_for(0s), std::future_status::timeout); // nothing to give yet
    emuDevT c("twoC", meter(0x1001));
    ASSERT_EQ(third.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(third.get(), c.dev.hostPath());
}

TEST(usbHidEmu, OtherProductsAreNotAccepted) {
    usbHidEmuDescT other = meter(0x1002);
    other.id.product = 0x0002;
    emuDevT wrong("otherWrong", other);
    listenerT l(0x1002);
    auto got = std::async(std::launch::async, [&] { return l.acceptPath(); });
    EXPECT_EQ(got.wait_for(0s), std::future_status::timeout);
    emuDevT right("otherRight", meter(0x1002));
    ASSERT_EQ(got.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(got.get(), right.dev.hostPath());
}

TEST(usbHidEmu, ReplugFreesThePathForAWaitingAccept) {
    auto a = std::make_unique<emuDevT>("replug", meter(0x1003));
    listenerT l(0x1003);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(l.accept(host, peer));
    seqSocketT emu = a->take();

    // The path stays taken while plugged: a second accept waits.
    auto again = std::async(std::launch::async, [&] { return l.acceptPath(); });
    EXPECT_EQ(again.wait_for(0s), std::future_status::timeout);

    a->dev.unplug();
    emu.close();
    dgramT d;
    EXPECT_FALSE(host.recv(d, peer)); // the old connection is dead
    a = std::make_unique<emuDevT>("replug", meter(0x1003));
    ASSERT_EQ(again.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(again.get(), a->dev.hostPath());
}

TEST(usbHidEmu, DeviceWithoutOutputReportsAcceptsButSendFails) {
    emuDevT a("noOut", meter(0x1004, 0));
    listenerT l(0x1004);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(l.accept(host, peer));
    EXPECT_EQ(peer.caps.outputReportByteLength, 0);
    EXPECT_FALSE(host.send(report({1, 2, 3}), peer));
    // Input still flows.
    seqSocketT emu = a.take();
    ASSERT_TRUE(emu.send(report({1, 0x42}), rux::unixSockAddrT()));
    dgramT in;
    ASSERT_TRUE(host.recv(in, peer));
    EXPECT_EQ(in.length(), 65u);
    EXPECT_EQ(uint8_t(in.buf()[1]), 0x42);
}

TEST(usbHidEmu, UnplugWakesAWaitingRead) {
    emuDevT a("unplugRead", meter(0x1005));
    listenerT l(0x1005);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(l.accept(host, peer));
    seqSocketT emu = a.take(); // held open: only the removal can end the read
    auto read = std::async(std::launch::async, [&] {
        dgramT d;
        usbHidSockAddrT from;
        return host.recv(d, from);
    });
    EXPECT_EQ(read.wait_for(0s), std::future_status::timeout);
    a.dev.unplug();
    ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
    EXPECT_FALSE(read.get());
    EXPECT_FALSE(host.send(report({1, 2}), peer)); // and writes fail from now on
    EXPECT_EQ(host.avail(), -1);
}

TEST(usbHidEmu, OneReportEachWayWithThePeerAddress) {
    emuDevT a("exchange", meter(0x1006, 65, "SN-0042"));
    listenerT l(0x1006);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(l.accept(host, peer));
    EXPECT_EQ(peer.id, rux::usbIdT(0x1006, 0x0001));
    EXPECT_EQ(peer.caps.inputReportByteLength, 65);
    EXPECT_EQ(peer.caps.usagePage, 0xff00);
    EXPECT_EQ(peer.description, "Q7 meter (emulated)");
    EXPECT_EQ(peer.serial, "SN-0042");
    EXPECT_EQ(peer.path, a.dev.hostPath());
    usbHidSockAddrT again;
    ASSERT_TRUE(host.peer(again));
    EXPECT_EQ(again.path, peer.path);
    std::ostringstream text;
    text << peer;
    EXPECT_EQ(text.str(), "1006:0001");

    seqSocketT emu = a.take();
    // Out: a short buffer goes as a whole, zero-padded output report.
    ASSERT_TRUE(host.send(report({2, 0x10, 0x20}), peer));
    dgramT out;
    rux::unixSockAddrT from;
    ASSERT_TRUE(emu.recv(out, from));
    ASSERT_EQ(out.length(), 65u);
    EXPECT_EQ(uint8_t(out.buf()[0]), 2);
    EXPECT_EQ(uint8_t(out.buf()[2]), 0x20);
    EXPECT_EQ(uint8_t(out.buf()[64]), 0);
    EXPECT_FALSE(host.send(dgramT(66), peer)) << "longer than the output report";

    // In: one datagram is one report, padded to the input length.
    dgramT longer(70);
    longer.trunc(70);
    std::memset(longer.buf(), 0x5a, 70);
    ASSERT_TRUE(emu.send(report({3, 0xaa, 0xbb}), from));
    ASSERT_TRUE(emu.send(longer, from));
    dgramT in;
    ASSERT_TRUE(host.recv(in, peer));
    ASSERT_EQ(in.length(), 65u);
    EXPECT_EQ(uint8_t(in.buf()[0]), 3);
    EXPECT_EQ(uint8_t(in.buf()[2]), 0xbb);
    EXPECT_EQ(uint8_t(in.buf()[3]), 0);
    ASSERT_TRUE(host.recv(in, peer));
    EXPECT_EQ(in.length(), 65u) << "a longer datagram is cut to the report";
}

TEST(usbHidEmu, PollerSeesArrivalAndRemoval) {
    listenerT l(0x1007);
    rux::pollerT<rux::socketT*, int> poller;
    ASSERT_TRUE(poller.add(&l.srv, 5, 0));
    EXPECT_TRUE(poller.wait(rux::timeT()).end()); // armed, nothing there
    auto a = std::make_unique<emuDevT>("polled", meter(0x1007));
    auto it = poller.wait(rux::timeT::fromMs(60000));
    ASSERT_FALSE(it.end());
    EXPECT_EQ(it.user(), 0);
    EXPECT_EQ(it.flags(), 1u);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(l.accept(host, peer));
    EXPECT_TRUE(poller.wait(rux::timeT()).end()) << "the listener is quiet again";

    ASSERT_TRUE(poller.add(&host, 5, 1));
    seqSocketT emu = a->take();
    a->dev.unplug();
    it = poller.wait(rux::timeT::fromMs(60000));
    ASSERT_FALSE(it.end());
    EXPECT_EQ(it.user(), 1);
    dgramT d;
    EXPECT_TRUE((it.flags() & 4) || !host.recv(d, peer)) << "gone: error, or a failing read";
}

TEST(usbHidEmu, ADeviceGivenToAClosedListenerGoesToTheNext) {
    auto first = std::make_unique<listenerT>(0x1008);
    rux::pollerT<rux::socketT*, int> poller;
    ASSERT_TRUE(poller.add(&first->srv, 1, 0));
    poller.wait(rux::timeT()); // the first listener waits now
    emuDevT a("handover", meter(0x1008));
    ASSERT_FALSE(poller.wait(rux::timeT::fromMs(60000)).end()); // promised to it
    poller.clear();
    first.reset(); // ... but it goes away without taking it

    listenerT second(0x1008);
    auto got = std::async(std::launch::async, [&] { return second.acceptPath(); });
    ASSERT_EQ(got.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(got.get(), a.dev.hostPath());
}

TEST(usbHidEmu, ShutdownEndsAWaitingAccept) {
    listenerT l(0x1009);
    auto got = std::async(std::launch::async, [&] { return l.acceptPath(); });
    EXPECT_EQ(got.wait_for(0s), std::future_status::timeout);
    l.srv.shutdown(3);
    ASSERT_EQ(got.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(got.get(), "failed");
    emuDevT a("afterShutdown", meter(0x1009));
    listenerT other(0x1009);
    EXPECT_EQ(other.acceptPath(), a.dev.hostPath()) << "the shut listener holds nothing";
}

TEST(usbHidEmu, StaleDescriptionFailsTheAcceptAndIsDropped) {
    // A description whose emulator is gone: nobody listens on the endpoint.
    usbHidEmuDescT d = meter(0x100a);
    std::string base = emuDir() + "/stale";
    {
        std::FILE* f = std::fopen((base + ".hid").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(d.to_text().c_str(), f);
        std::fclose(f);
    }
    listenerT l(0x100a);
    EXPECT_EQ(l.acceptPath(), "failed");
    ::unlink((base + ".hid").c_str());
    emuDevT live("live", d);
    EXPECT_EQ(l.acceptPath(), live.dev.hostPath());
}

TEST(usbHidEmuDesc, TextRoundTripsAndBadLinesAreRefused) {
    usbHidEmuDescT d = meter(0xa7b3, 33, "000123");
    usbHidEmuDescT back;
    ASSERT_TRUE(usbHidEmuDescT::parse(d.to_text(), back));
    EXPECT_EQ(back.id, d.id);
    EXPECT_EQ(back.caps.outputReportByteLength, 33);
    EXPECT_EQ(back.caps.usagePage, 0xff00);
    EXPECT_EQ(back.serial, "000123");
    EXPECT_EQ(back.description, d.description);

    ASSERT_TRUE(usbHidEmuDescT::parse("# comment\nvendor=a7b3\r\nproduct=2\nfuture=1\n", back));
    EXPECT_EQ(back.id, rux::usbIdT(0xa7b3, 2));
    EXPECT_EQ(back.caps.inputReportByteLength, 0);

    for (const char* bad :
         {"product=1\n", "vendor=1\n", "vendor=12345\nproduct=1\n", "vendor=xyz\nproduct=1\n",
          "vendor=1\nproduct=1\ninput=16385\n", "vendor=1\nproduct=1\ninput=-1\n",
          "vendor=1\nproduct=1\nserial=a\x01\n"}) {
        usbHidEmuDescT keep = d;
        EXPECT_FALSE(usbHidEmuDescT::parse(bad, keep)) << bad;
        EXPECT_EQ(keep.serial, "000123") << "left unchanged";
    }
    EXPECT_FALSE(usbHidEmuDescT::parse(
        "vendor=1\nproduct=1\ndescription=" + std::string(127, 'x') + "\n", back));
}

TEST(usbHidEmuDesc, PlugRefusesBadNames) {
    usbHidEmuDevT dev;
    for (const char* bad : {"", ".hidden", "a/b", "with space"})
        EXPECT_FALSE(dev.plug(emuDir(), bad, meter(0x100b))) << bad;
    EXPECT_FALSE(dev.plug(emuDir(), std::string(65, 'n'), meter(0x100b)));
}

} // namespace
