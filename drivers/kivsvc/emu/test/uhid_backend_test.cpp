// The hidraw backend of the HID socket layer against the running kernel's own
// HID devices, made through /dev/uhid: what the kernel announces, numbers and
// describes, not what a fake of it does. Skips itself where there is no
// /dev/uhid (run in the test virtual machine, scripts/vm).
#include <chrono>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "kivemu/boot.h"
#include "kivemu/meter.h"
#include "kivemu/uhiddev.h"
#include "q7xx/protofactory.h"
#include "sal/poller.h"
#include "sal/usbhid.h"

namespace {

using namespace std::chrono_literals;
using kivemu::reportIdsT;
using kivemu::uhidDevT;
using rux::dgramT;
using rux::seqSocketT;
using rux::srvSocketT;
using rux::usbHidSockAddrT;

constexpr int kBoundMs = 60000;

bool udevd() {
    return ::access("/run/udev/control", F_OK) == 0;
}

class uhidBackend : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/uhid", R_OK | W_OK) != 0)
            GTEST_SKIP() << "needs /dev/uhid (scripts/vm/run-guest)";
        RecordProperty("monitor", udevd() ? "udev" : "kernel");
    }
};

std::unique_ptr<uhidDevT> meter(uint16_t vendor, const std::string& serial) {
    kivemu::meterIdentityT id;
    id.snum = serial;
    return std::make_unique<uhidDevT>(rux::usbIdT(vendor, 0x0001),
                                      std::make_unique<kivemu::meterT>(id), reportIdsT::meter(),
                                      "Q8.20 MAGMETER (uhid)", serial);
}

// Accepts the next device, bounded.
bool acceptWithin(srvSocketT<seqSocketT>& srv, seqSocketT& s, usbHidSockAddrT& peer) {
    rux::pollerT<rux::socketT*, int> poller;
    poller.add(&srv, 5, 0);
    if (poller.wait(rux::timeT::fromMs(kBoundMs)).end())
        return false;
    return srv.accept(s, peer);
}

TEST_F(uhidBackend, MeterAndBootloaderAreFoundWithIdentityAndDescriptorLengths) {
    auto m = meter(0x7A01, "UH-M-0001");
    ASSERT_TRUE(m->plug());
    uhidDevT b(rux::usbIdT(0x7A01, 0x0002), std::make_unique<kivemu::bootT>(),
               reportIdsT::bootloader(), "NBOOT (uhid)", "UH-B-0001");
    ASSERT_TRUE(b.plug());

    srvSocketT<seqSocketT> meters, boots;
    ASSERT_TRUE(meters.bind(usbHidSockAddrT(0x7A01, 0x0001), 1));
    ASSERT_TRUE(boots.bind(usbHidSockAddrT(0x7A01, 0x0002), 1));
    seqSocketT ms, bs;
    usbHidSockAddrT mp, bp;
    ASSERT_TRUE(acceptWithin(meters, ms, mp));
    ASSERT_TRUE(acceptWithin(boots, bs, bp));

    EXPECT_EQ(mp.id, rux::usbIdT(0x7A01, 0x0001));
    EXPECT_EQ(mp.description, "Q8.20 MAGMETER (uhid)");
    EXPECT_EQ(mp.serial, "UH-M-0001");
    // No USB parent: a virtual misc device's child.
    EXPECT_EQ(mp.path.rfind("/SYS/DEVICES/VIRTUAL/MISC/UHID/", 0), 0u) << mp.path;
    EXPECT_EQ(mp.caps.usagePage, 0xFF00);
    EXPECT_EQ(mp.caps.usage, 1);
    EXPECT_EQ(mp.caps.inputReportByteLength, 65);
    EXPECT_EQ(mp.caps.outputReportByteLength, 65);
    EXPECT_EQ(mp.caps.featureReportByteLength, 0);

    EXPECT_EQ(bp.id, rux::usbIdT(0x7A01, 0x0002));
    EXPECT_EQ(bp.serial, "UH-B-0001");
    EXPECT_EQ(bp.caps.inputReportByteLength, 64);
    EXPECT_EQ(bp.caps.outputReportByteLength, 64);
    EXPECT_NE(bp.path, mp.path);
}

TEST_F(uhidBackend, OutputReportReachesTheModelAndItsReplyComesBackWhole) {
    auto m = meter(0x7A02, "UH-M-0002");
    ASSERT_TRUE(m->plug());
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0x7A02, 0x0001), 1));
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(acceptWithin(srv, host, peer));

    q7xxProtoFactoryT f;
    unsigned char req[65] = {};
    f.make_idreq()->formatReport(req, sizeof req);
    dgramT out(sizeof req);
    out.write(req, sizeof req);
    ASSERT_TRUE(host.send(out, peer));

    rux::pollerT<rux::socketT*, int> poller;
    poller.add(&host, 5, 0);
    ASSERT_FALSE(poller.wait(rux::timeT::fromMs(kBoundMs)).end()) << "no reply";
    dgramT in;
    ASSERT_TRUE(host.recv(in, peer));
    ASSERT_EQ(in.length(), 65u);
    auto id = f.make_idreply();
    ASSERT_TRUE(id->parse(reinterpret_cast<const unsigned char*>(in.buf()), int(in.length())));
    EXPECT_EQ(m->reports(), 1u);
    EXPECT_TRUE(m->opened()) << "the backend holds the node open";
}

TEST_F(uhidBackend, ArrivalAndRemovalAreSeenThroughTheMonitor) {
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0x7A03, 0x0001), 1));
    rux::pollerT<rux::socketT*, int> poller;
    ASSERT_TRUE(poller.add(&srv, 5, 0));
    EXPECT_TRUE(poller.wait(rux::timeT()).end()); // nothing there yet

    auto m = meter(0x7A03, "UH-M-0003");
    ASSERT_TRUE(m->plug());
    ASSERT_FALSE(poller.wait(rux::timeT::fromMs(kBoundMs)).end()) << "arrival not seen";
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(srv.accept(host, peer));
    EXPECT_EQ(peer.serial, "UH-M-0003");

    auto read = std::async(std::launch::async, [&] {
        dgramT d;
        usbHidSockAddrT from;
        return host.recv(d, from);
    });
    EXPECT_EQ(read.wait_for(0s), std::future_status::timeout);
    m->unplug();
    ASSERT_EQ(read.wait_for(60s), std::future_status::ready) << "removal not seen";
    EXPECT_FALSE(read.get());
    dgramT out(65);
    unsigned char zero[65] = {1};
    out.write(zero, sizeof zero);
    EXPECT_FALSE(host.send(out, peer));

    // Plugged again: a new attachment, found again.
    ASSERT_TRUE(m->plug());
    seqSocketT again;
    usbHidSockAddrT p2;
    ASSERT_TRUE(acceptWithin(srv, again, p2));
    EXPECT_EQ(p2.serial, "UH-M-0003");
}

TEST_F(uhidBackend, TwoDevicesOfOneIdGoToTwoAcceptsAndAThirdWaits) {
    auto a = meter(0x7A05, "UH-M-0005A");
    auto b = meter(0x7A05, "UH-M-0005B");
    ASSERT_TRUE(a->plug());
    ASSERT_TRUE(b->plug());
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0x7A05, 0x0001), 2));
    seqSocketT s1, s2;
    usbHidSockAddrT p1, p2;
    ASSERT_TRUE(acceptWithin(srv, s1, p1));
    ASSERT_TRUE(acceptWithin(srv, s2, p2));
    EXPECT_NE(p1.path, p2.path);
    EXPECT_NE(p1.serial, p2.serial);

    rux::pollerT<rux::socketT*, int> poller;
    poller.add(&srv, 5, 0);
    EXPECT_TRUE(poller.wait(rux::timeT()).end()) << "both devices are taken";
    auto c = meter(0x7A05, "UH-M-0005C");
    ASSERT_TRUE(c->plug());
    seqSocketT s3;
    usbHidSockAddrT p3;
    ASSERT_TRUE(acceptWithin(srv, s3, p3));
    EXPECT_EQ(p3.serial, "UH-M-0005C");
}

TEST_F(uhidBackend, WithUdevdTheDeviceIsInItsDatabaseBeforeTheBackendSeesIt) {
    if (!udevd())
        GTEST_SKIP() << "needs systemd-udevd (scripts/vm/run-guest --udevd)";
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0x7A04, 0x0001), 1));
    auto m = meter(0x7A04, "UH-M-0004");
    ASSERT_TRUE(m->plug());
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(acceptWithin(srv, host, peer));
    // The "udev" monitor passes an event on only once udevd has processed
    // it: the node's database entry is there.
    const std::string sys = peer.path.substr(peer.path.rfind('/') + 1);
    std::string node = "/dev/" + sys;
    for (char& c : node)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    struct stat st {};
    ASSERT_EQ(::stat(node.c_str(), &st), 0) << node;
    const std::string db = "/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev));
    EXPECT_EQ(::access(db.c_str(), F_OK), 0) << db;
}

} // namespace
