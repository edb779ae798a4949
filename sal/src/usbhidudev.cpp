// Real HID devices: hidraw nodes found and watched through libudev.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "hiddesc.h"
#include "sal/time.h"
#include "usbhidmgr.h"

namespace rux {
namespace impl {

namespace {

constexpr unsigned busUsb = 3; // BUS_USB in HID_ID

// libudev promises little about threads (shared internal state even across
// contexts): the manager's thread and accepting threads take turns.
mutexT g_udevMtx;

// Reads the identity of a hidraw device from its parent "hid" device.
bool identity(udev_device* d, hidDevInfoT& out) {
    const char* syspath = udev_device_get_syspath(d);
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(d, "hid", nullptr);
    if (!syspath || !hid)
        return false;
    const char* hidId = udev_device_get_property_value(hid, "HID_ID");
    unsigned bus = 0, vendor = 0, product = 0;
    if (!hidId || std::sscanf(hidId, "%x:%x:%x", &bus, &vendor, &product) != 3 || bus != busUsb ||
        vendor > 0xffff || product > 0xffff)
        return false;
    const char* name = udev_device_get_property_value(hid, "HID_NAME");
    const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ");
    const char* node = udev_device_get_devnode(d);
    out.path = syspath;
    out.key = hidKey(out.path);
    out.node = node ? node : std::string("/dev/") + udev_device_get_sysname(d);
    out.id = usbIdT(uint16_t(vendor), uint16_t(product));
    out.description = name ? name : "";
    out.serial = uniq ? uniq : "";
    return true;
}

// Opens a node, giving a just-announced one a moment to appear and to get
// its permissions.
int openNode(const hidDevInfoT& dev) {
    for (int attempt = 0;; ++attempt) {
        int fd = ::open(dev.node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0)
            return fd;
        bool settling = errno == ENOENT || errno == EACCES || errno == EPERM;
        if (!dev.announced || !settling || attempt == 20)
            return -1;
        rux::sleep(timeT::fromMs(50));
    }
}

class udevSourceT final : public hidSourceT {
public:
    ~udevSourceT() override {
        if (_mon)
            udev_monitor_unref(_mon);
        if (_udev)
            udev_unref(_udev);
    }

    bool start() {
        lockT<mutexT> g(g_udevMtx);
        _udev = udev_new();
        if (!_udev)
            return false;
        // Without a udev daemon (a container) nothing comes from "udev":
        // listen to the kernel itself.
        bool daemon = ::access("/run/udev/control", F_OK) == 0;
        _mon = udev_monitor_new_from_netlink(_udev, daemon ? "udev" : "kernel");
        return _mon &&
               udev_monitor_filter_add_match_subsystem_devtype(_mon, "hidraw", nullptr) >= 0 &&
               udev_monitor_enable_receiving(_mon) >= 0;
    }

    int fd() const override { return udev_monitor_get_fd(_mon); }

    bool enumerate(std::vector<hidDevInfoT>& out) override {
        lockT<mutexT> g(g_udevMtx);
        udev_enumerate* e = udev_enumerate_new(_udev);
        if (!e)
            return false;
        bool ok = udev_enumerate_add_match_subsystem(e, "hidraw") >= 0 &&
                  udev_enumerate_scan_devices(e) >= 0;
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, ok ? udev_enumerate_get_list_entry(e) : nullptr) {
            udev_device* d = udev_device_new_from_syspath(_udev, udev_list_entry_get_name(entry));
            hidDevInfoT info;
            if (d && identity(d, info)) {
                info.source = this;
                out.push_back(std::move(info));
            }
            if (d)
                udev_device_unref(d);
        }
        udev_enumerate_unref(e);
        return ok;
    }

    void events(std::vector<eventT>& out, bool& rescan) override {
        for (;;) {
            lockT<mutexT> g(g_udevMtx);
            errno = 0;
            udev_device* d = udev_monitor_receive_device(_mon);
            if (!d) {
                if (errno == ENOBUFS) {
                    rescan = true; // the kernel dropped events: look again
                    continue;
                }
                return;
            }
            const char* action = udev_device_get_action(d);
            const char* syspath = udev_device_get_syspath(d);
            eventT e{false, {}};
            if (action && syspath && std::strcmp(action, "add") == 0) {
                if (identity(d, e.dev)) {
                    e.add = true;
                    e.dev.source = this;
                    e.dev.announced = true;
                    out.push_back(std::move(e));
                }
            } else if (action && syspath && std::strcmp(action, "remove") == 0) {
                e.dev.key = hidKey(syspath);
                out.push_back(std::move(e));
            }
            udev_device_unref(d);
        }
    }

    std::shared_ptr<socketContextT> open(const hidDevInfoT& dev, usbHidSockAddrT& addr) override {
        int fd = openNode(dev);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM)
                hidNote("no permission to open " + dev.node + " (USB HID " + hex(dev.id) + ", " +
                        dev.path +
                        "): install the device service's udev rule, which grants access to "
                        "the meters, and plug the device in again");
            return nullptr;
        }
        // The node must still be this device's: /dev/hidrawN numbers are
        // reused after unplugging. The sysfs path is unique to one attachment,
        // so when it still names this node after the open, the open reached it.
        hidDevInfoT now;
        bool same;
        {
            lockT<mutexT> g(g_udevMtx);
            udev_device* d = udev_device_new_from_syspath(_udev, dev.path.c_str());
            same = d && identity(d, now) && now.id == dev.id && now.node == dev.node;
            if (d)
                udev_device_unref(d);
        }
        hidDescInfoT info;
        if (!same) {
            ::close(fd);
            errno = ENODEV;
            return nullptr;
        }
        if (!readDescriptor(fd, info)) {
            int e = errno;
            ::close(fd);
            errno = e;
            return nullptr;
        }
        auto c = std::make_shared<hidDevCtxT>(fd, hidDevFactory());
        c->numbered = info.numbered;
        addr.id = dev.id;
        addr.caps.usage = info.usage;
        addr.caps.usagePage = info.usagePage;
        addr.caps.inputReportByteLength = info.inputLen;
        addr.caps.outputReportByteLength = info.outputLen;
        addr.caps.featureReportByteLength = info.featureLen;
        addr.path = dev.key;
        addr.description = now.description;
        addr.serial = now.serial;
        c->addr = addr;
        return c;
    }

private:
    static std::string hex(usbIdT id) {
        char t[10];
        std::snprintf(t, sizeof t, "%04X:%04X", id.vendor, id.product);
        return t;
    }

    static bool readDescriptor(int fd, hidDescInfoT& info) {
        int size = 0;
        if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0)
            return false;
        if (size < 0 || size > int(HID_MAX_DESCRIPTOR_SIZE)) {
            errno = EPROTO;
            return false;
        }
        hidraw_report_descriptor rd{};
        rd.size = uint32_t(size);
        if (::ioctl(fd, HIDIOCGRDESC, &rd) < 0)
            return false;
        if (!parseHidDescriptor(rd.value, rd.size, info)) {
            errno = EPROTO;
            return false;
        }
        return true;
    }

    udev* _udev = nullptr;
    udev_monitor* _mon = nullptr;
};

} // namespace

std::unique_ptr<hidSourceT> makeUdevSource() {
    auto s = std::make_unique<udevSourceT>();
    if (!s->start())
        return nullptr;
    return s;
}

} // namespace impl
} // namespace rux
