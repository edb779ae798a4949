// The meter driver over the real hidraw backend, in a umockdev test bed: a
// fake hidraw node (a pseudo-terminal behind a "hid" device with HID_ID) is
// answered by the emulated meter model. Runs under umockdev-wrapper; skips
// itself without it.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include "emu_test_support.h"
#include "kivemu/meter.h"
#include "q7xx/usbdriver.h"

namespace {

using kivemu::bytesT;

// Vendor-defined usage, report id 1, 64 bytes each way: 65-byte reports.
const std::vector<uint8_t> meterDesc = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x85, 0x01,
                                        0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95, 0x40,
                                        0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xc0};
constexpr std::size_t reportLen = 65;

bool preloaded() {
    const char* p = std::getenv("LD_PRELOAD");
    return p && std::strstr(p, "umockdev");
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    const gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (req == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), nullptr);
        *reinterpret_cast<int*>(d->data) = int(meterDesc.size());
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return TRUE;
    }
    if (req == HIDIOCGRDESC) {
        UMockdevIoctlData* d =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
        auto* rd = reinterpret_cast<hidraw_report_descriptor*>(d->data);
        if (rd->size > meterDesc.size()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
        } else {
            std::memcpy(rd->value, meterDesc.data(), rd->size);
            umockdev_ioctl_client_complete(client, 0, 0);
        }
        g_object_unref(d);
        return TRUE;
    }
    return FALSE;
}

// A meter on a fake hidraw node, answered by the model on a thread of its own.
struct fakeMeterT {
    UMockdevTestbed* tb = umockdev_testbed_new();
    UMockdevIoctlBase* handler = nullptr;
    std::string raw, node;
    int master = -1;
    kivemu::meterT model;
    std::atomic<bool> stop{false};
    std::thread thread;

    fakeMeterT(const kivemu::meterIdentityT& id, const char* hidId) : model(id) {
        node = "/dev/hidraw20";
        gchar* u = umockdev_testbed_add_device(tb, "usb", "usb-meter", nullptr, nullptr, nullptr);
        gchar* h =
            umockdev_testbed_add_device(tb, "hid", "0003:A7B3:0001.0001", u, nullptr, "HID_ID",
                                        hidId, "HID_NAME", "Q8 meter", "HID_UNIQ", "", nullptr);
        raw = std::string(h) + "/hidraw/hidraw20";
        const std::string rec = "P: " + raw.substr(4) +
                                "\nN: hidraw20\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + node +
                                "\nA: dev=245:20\n";
        EXPECT_TRUE(umockdev_testbed_add_from_string(tb, rec.c_str(), nullptr));
        g_free(u);
        g_free(h);
        handler = umockdev_ioctl_base_new();
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), nullptr);
        EXPECT_TRUE(umockdev_testbed_attach_ioctl(tb, node.c_str(), handler, nullptr));
        master = umockdev_testbed_get_dev_fd(tb, node.c_str());
        termios t;
        if (master >= 0 && ::tcgetattr(master, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(master, TCSANOW, &t);
        }
        thread = std::thread([this] { _serve(); });
        umockdev_testbed_uevent(tb, raw.c_str(), "add");
    }
    ~fakeMeterT() {
        unplug();
        stop = true;
        thread.join();
        umockdev_testbed_detach_ioctl(tb, node.c_str(), nullptr);
        g_object_unref(handler);
        g_object_unref(tb);
    }
    void unplug() {
        if (raw.empty())
            return;
        umockdev_testbed_uevent(tb, raw.c_str(), "remove");
        umockdev_testbed_remove_device(tb, raw.c_str());
        raw.clear();
    }
    void _serve() {
        bytesT in;
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            uint8_t b[256];
            const ssize_t r = ::read(master, b, sizeof b);
            if (r <= 0)
                continue;
            in.insert(in.end(), b, b + r);
            while (in.size() >= reportLen) {
                auto act = model.handle(in.data(), reportLen);
                in.erase(in.begin(), in.begin() + reportLen);
                for (const auto& rep : act.replies)
                    if (::write(master, rep.report.data(), rep.report.size()) < 0)
                        return;
            }
        }
    }
};

} // namespace

TEST(Q7xxHidrawT, MeterOnHidrawIsIdentifiedServedAndRemoved) {
    if (!preloaded())
        GTEST_SKIP() << "needs umockdev-wrapper";
    emutest::logCaptureT log;
    emutest::dbWatchGuardT db;
    kivemu::meterIdentityT id;
    id.name = "Q8.20 MAGMETER";
    id.swver = 0x05;
    id.snum = "HIDRAW1";
    fakeMeterT meter(id, "0003:0000A7B3:00000001");
    q7xxUsbDriverT drv(0xA7B3, 0x0001);
    drv.start();

    std::string snum = id.snum;
    snum.resize(17, '\0');
    std::shared_ptr<const q7xxUsbDevT> dev;
    ASSERT_TRUE(db->waitFor([&](const std::map<int, std::shared_ptr<const kivDevT>>& devs) {
        for (auto& d : devs)
            if (d.second->snum() == snum)
                dev = std::dynamic_pointer_cast<const q7xxUsbDevT>(d.second);
        return dev != nullptr;
    }));
    EXPECT_EQ(dev->model2str(), "Q720");
    EXPECT_EQ(dev->swver(), "05");
    EXPECT_EQ(dev->address().caps.inputReportByteLength, reportLen);

    q7xxProtoFactoryT f;
    std::shared_ptr<q7xxUSBMsg_IDREPLY> reply = f.make_idreply();
    ASSERT_TRUE(dev->syncMessage(f.make_idreq(), reply));
    EXPECT_EQ(reply->name(), "Q8.20 MAGMETER");

    const int devId = dev->id();
    meter.unplug();
    EXPECT_TRUE(db->waitFor([&](const std::map<int, std::shared_ptr<const kivDevT>>& devs) {
        return devs.count(devId) == 0;
    }));
    EXPECT_TRUE(log.waitFor("\" disconnected\n"));
}
