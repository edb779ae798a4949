// The HID socket layer over hidraw and udev, in a umockdev test bed: a fake
// sysfs with a "hid" parent carrying HID_ID, HID_NAME and HID_UNIQ, a hidraw
// node backed by a pseudo-terminal, the report descriptor ioctls answered
// here, and add and remove uevents. Runs under umockdev-wrapper; skips
// itself without it.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include "sal/poller.h"
#include "sal/usbhid.h"

namespace {

using namespace std::chrono_literals;
using rux::dgramT;
using rux::seqSocketT;
using rux::srvSocketT;
using rux::usbHidSockAddrT;

constexpr auto kBound = 60s;

// A vendor-defined meter: report id 1, 64 bytes each way.
const std::vector<uint8_t> meterDesc = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x85, 0x01,
                                        0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x40,
                                        0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xc0};
// No report ids: 8 bytes in, 1 byte out.
const std::vector<uint8_t> plainDesc = {0x06, 0x00, 0xff, 0x09, 0x02, 0xa1, 0x01, 0x75, 0x08,
                                        0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x91, 0x02, 0xc0};

bool preloaded() {
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "umockdev");
}

// Answers the descriptor ioctls of one node.
gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* desc = static_cast<const std::vector<uint8_t>*>(data);
    gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (req == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        *reinterpret_cast<int*>(d->data) = int(desc->size());
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return TRUE;
    }
    if (req == HIDIOCGRDESC) {
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
        auto* rd = reinterpret_cast<hidraw_report_descriptor*>(d->data);
        if (rd->size > desc->size()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
        } else {
            std::memcpy(rd->value, desc->data(), rd->size);
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        g_object_unref(d);
        return TRUE;
    }
    return FALSE; // reads and writes go to the node itself
}

// One test bed per process: the device manager watches the first one.
UMockdevTestbed* bed() {
    static UMockdevTestbed* tb = umockdev_testbed_new();
    return tb;
}

// A plugged fake device: usb parent, hid device, hidraw node.
struct fakeDevT {
    std::string raw, hid, usb, node;
    int master = -1;
    UMockdevIoctlBase* handler = nullptr;

    fakeDevT(const std::string& name, int minor, const char* hidId, const char* uniq,
             const std::vector<uint8_t>& desc) {
        UMockdevTestbed* tb = bed();
        node = "/dev/hidraw" + std::to_string(minor);
        gchar* u = umockdev_testbed_add_device(tb, "usb", ("usb-" + name).c_str(), nullptr, nullptr,
                                               nullptr);
        usb = u;
        std::string hidName = std::string(hidId).substr(0, 4) + ":" + name + ".0001";
        gchar* h = umockdev_testbed_add_device(tb, "hid", hidName.c_str(), u, nullptr, "HID_ID",
                                               hidId, "HID_NAME", ("Meter " + name).c_str(),
                                               "HID_UNIQ", uniq, nullptr);
        hid = h;
        // The node (a pseudo-terminal) and its ioctls exist before the add
        // uevent announces it.
        std::string sysname = "hidraw" + std::to_string(minor);
        raw = std::string(h) + "/hidraw/" + sysname;
        std::string rec = "P: " + raw.substr(4) + "\nN: " + sysname + "\nE: SUBSYSTEM=hidraw\n" +
                          "E: DEVNAME=" + node + "\nA: dev=245:" + std::to_string(minor) + "\n";
        EXPECT_TRUE(umockdev_testbed_add_from_string(tb, rec.c_str(), nullptr));
        g_free(u);
        g_free(h);
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl),
                         const_cast<std::vector<uint8_t>*>(&desc));
        EXPECT_TRUE(umockdev_testbed_attach_ioctl(tb, node.c_str(), handler, nullptr));
        master = umockdev_testbed_get_dev_fd(tb, node.c_str());
        EXPECT_GE(master, 0);
        termios t;
        if (master >= 0 && ::tcgetattr(master, &t) == 0) {
            ::cfmakeraw(&t); // binary reports, not lines
            ::tcsetattr(master, TCSANOW, &t);
        }
        umockdev_testbed_uevent(tb, raw.c_str(), "add");
    }

    void unplug() {
        if (raw.empty())
            return;
        umockdev_testbed_uevent(bed(), raw.c_str(), "remove");
        umockdev_testbed_remove_device(bed(), raw.c_str());
        raw.clear();
    }

    ~fakeDevT() {
        unplug();
        if (handler) {
            umockdev_testbed_detach_ioctl(bed(), node.c_str(), nullptr);
            g_object_unref(handler);
        }
    }

    // The host path as the socket layer reports it.
    std::string hostPath() const {
        std::string p = raw;
        for (char& c : p)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        return p;
    }

    // Reads n bytes the host wrote to the node.
    std::vector<uint8_t> take(size_t n) {
        std::vector<uint8_t> got;
        auto until = std::chrono::steady_clock::now() + kBound;
        while (got.size() < n && std::chrono::steady_clock::now() < until) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                continue;
            uint8_t b[256];
            ssize_t r = ::read(master, b, std::min(sizeof b, n - got.size()));
            if (r > 0)
                got.insert(got.end(), b, b + r);
        }
        return got;
    }
};

class usbHidUdev : public ::testing::Test {
protected:
    void SetUp() override {
        if (!preloaded())
            GTEST_SKIP() << "needs umockdev-wrapper";
        bed();
    }
};

TEST_F(usbHidUdev, PresentDeviceIsFoundWithItsIdentityAndReportLengths) {
    fakeDevT dev("present", 10, "0003:0000A7B3:00000001", "000123", meterDesc);
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0xa7b3, 0x0001), 1));
    auto got = std::async(std::launch::async, [&] {
        seqSocketT s;
        usbHidSockAddrT peer;
        bool ok = srv.accept(s, peer);
        return std::make_pair(ok, peer);
    });
    ASSERT_EQ(got.wait_for(kBound), std::future_status::ready);
    auto [ok, peer] = got.get();
    ASSERT_TRUE(ok);
    EXPECT_EQ(peer.id, rux::usbIdT(0xa7b3, 0x0001));
    EXPECT_EQ(peer.caps.inputReportByteLength, 65);
    EXPECT_EQ(peer.caps.outputReportByteLength, 65);
    EXPECT_EQ(peer.caps.featureReportByteLength, 0);
    EXPECT_EQ(peer.caps.usagePage, 0xff00);
    EXPECT_EQ(peer.caps.usage, 1);
    EXPECT_EQ(peer.description, "Meter present");
    EXPECT_EQ(peer.serial, "000123");
    EXPECT_EQ(peer.path, dev.hostPath());
}

TEST_F(usbHidUdev, HotPlugIsSeenAndOneReportGoesEachWay) {
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0xa7b4, 0x0001), 1));
    rux::pollerT<rux::socketT*, int> poller;
    ASSERT_TRUE(poller.add(&srv, 5, 0));
    EXPECT_TRUE(poller.wait(rux::timeT()).end()); // waiting, nothing there

    fakeDevT dev("hotplug", 11, "0003:0000A7B4:00000001", "", meterDesc);
    auto it = poller.wait(rux::timeT::fromMs(60000));
    ASSERT_FALSE(it.end()) << "arrival seen through the monitor";
    EXPECT_EQ(it.flags(), 1u);
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(srv.accept(host, peer));
    EXPECT_EQ(peer.path, dev.hostPath());

    dgramT out(3);
    const uint8_t cmd[] = {1, 0x11, 0x22};
    out.write(cmd, 3);
    ASSERT_TRUE(host.send(out, peer));
    std::vector<uint8_t> wire = dev.take(65);
    ASSERT_EQ(wire.size(), 65u) << "the whole output report";
    EXPECT_EQ(wire[0], 1);
    EXPECT_EQ(wire[2], 0x22);
    EXPECT_EQ(wire[64], 0);

    uint8_t in[65] = {1, 0x33, 0x44};
    ASSERT_EQ(::write(dev.master, in, sizeof in), ssize_t(sizeof in));
    dgramT rep;
    ASSERT_TRUE(host.recv(rep, peer));
    ASSERT_EQ(rep.length(), 65u);
    EXPECT_EQ(uint8_t(rep.buf()[0]), 1);
    EXPECT_EQ(uint8_t(rep.buf()[2]), 0x44);

    auto read = std::async(std::launch::async, [&] {
        dgramT d;
        usbHidSockAddrT from;
        return host.recv(d, from);
    });
    EXPECT_EQ(read.wait_for(0s), std::future_status::timeout);
    dev.unplug();
    ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
    EXPECT_FALSE(read.get()) << "removal seen through the monitor ends the read";
    EXPECT_FALSE(host.send(out, peer));
}

TEST_F(usbHidUdev, UnnumberedReportsGetAZeroIdInFront) {
    fakeDevT dev("plain", 12, "0003:0000A7B5:00000002", "", plainDesc);
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0xa7b5, 0x0002), 1));
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(srv.accept(host, peer));
    EXPECT_EQ(peer.caps.inputReportByteLength, 9);
    EXPECT_EQ(peer.caps.outputReportByteLength, 2);
    EXPECT_EQ(peer.caps.usage, 2);

    uint8_t in[8] = {0xa1, 2, 3, 4, 5, 6, 7, 0xa8};
    ASSERT_EQ(::write(dev.master, in, sizeof in), ssize_t(sizeof in));
    dgramT rep;
    ASSERT_TRUE(host.recv(rep, peer));
    ASSERT_EQ(rep.length(), 9u);
    EXPECT_EQ(uint8_t(rep.buf()[0]), 0);
    EXPECT_EQ(uint8_t(rep.buf()[1]), 0xa1);
    EXPECT_EQ(uint8_t(rep.buf()[8]), 0xa8);
}

TEST_F(usbHidUdev, OtherBusesAndProductsAreLeftAlone) {
    fakeDevT bt("bluetooth", 13, "0005:0000A7B6:00000001", "", meterDesc);
    fakeDevT other("otherproduct", 14, "0003:0000A7B6:00000009", "", meterDesc);
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(usbHidSockAddrT(0xa7b6, 0x0001), 1));
    rux::pollerT<rux::socketT*, int> poller;
    ASSERT_TRUE(poller.add(&srv, 5, 0));
    EXPECT_TRUE(poller.wait(rux::timeT()).end());
    fakeDevT usb("usbone", 15, "0003:0000A7B6:00000001", "", meterDesc);
    ASSERT_FALSE(poller.wait(rux::timeT::fromMs(60000)).end());
    seqSocketT host;
    usbHidSockAddrT peer;
    ASSERT_TRUE(srv.accept(host, peer));
    EXPECT_EQ(peer.path, usb.hostPath());
}

} // namespace
