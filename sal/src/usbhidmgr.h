// HID device manager: which devices are present, which are taken, which
// listening sockets wait for one; and the device sources that feed it (udev
// and hidraw, the emulation directory).
//
// One instance per process, made on first use and never destroyed. Its thread
// "rux_usb_mgr" reads the sources' hot-plug events; callers' threads arm and
// take requests. All state is guarded by _mtx, which is never held while a
// source opens a device or while anyone waits.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sal/mutex.h"
#include "sal/thread.h"
#include "sal/usbhid.h"
#include "sockctx.h"

namespace rux {
namespace impl {

class hidSourceT;

// A present device as a source describes it.
struct hidDevInfoT {
    std::string key;  // upper-cased path: the identity in the manager
    std::string path; // as the source spells it (sysfs path, endpoint path)
    std::string node; // what to open (/dev/hidrawN, the endpoint)
    usbIdT id;
    std::string description;
    std::string serial;
    hidSourceT* source = nullptr;
    bool announced = false; // arrived by a hot-plug event: its node may still settle
};

// A source of devices. enumerate and events run on the manager's thread (and
// enumerate once at start-up); open runs on an accepting thread.
class hidSourceT {
public:
    virtual ~hidSourceT() = default;
    // The descriptor the manager polls for events; -1: none.
    virtual int fd() const = 0;
    // Every present device; false when the source cannot list them now.
    virtual bool enumerate(std::vector<hidDevInfoT>& out) = 0;
    // Reads pending events in order (for a removal only dev.key is set);
    // `rescan` when events were lost and the present devices must be listed
    // afresh.
    struct eventT {
        bool add;
        hidDevInfoT dev;
    };
    virtual void events(std::vector<eventT>& out, bool& rescan) = 0;
    // Opens the device for a connected socket and fills its address; null on
    // failure with errno set (ENODEV: the device is gone).
    virtual std::shared_ptr<socketContextT> open(const hidDevInfoT& dev, usbHidSockAddrT& addr) = 0;
};

std::unique_ptr<hidSourceT> makeUdevSource();                      // null when unavailable
std::unique_ptr<hidSourceT> makeEmuSource(const std::string& dir); // null when unusable

// The transport of connected devices.
std::shared_ptr<opFactoryT> hidDevFactory();
// Upper-cased ASCII, for device keys.
std::string hidKey(const std::string& path);

// A connected device.
struct hidDevCtxT : socketContextT {
    hidDevCtxT(int fd, std::shared_ptr<opFactoryT> f) : socketContextT(fd, std::move(f), enOTHER) {}
    ~hidDevCtxT() override;

    usbHidSockAddrT addr;
    std::string key;
    bool numbered = true; // false: reads lack the id byte, which recv puts in front
    bool emulated = false;
    std::atomic<bool> gone{false}; // unplugged: every later operation fails
};

struct hidReqT;

// A listening socket for one vendor and product. Its descriptor is an
// eventfd that the manager makes readable when it gives the socket a device.
struct hidListenCtxT : socketContextT {
    hidListenCtxT(int efd, std::shared_ptr<opFactoryT> f, usbIdT id_)
        : socketContextT(efd, std::move(f), enOTHER), id(id_) {}
    ~hidListenCtxT() override;

    usbIdT id;
    // The waiting request, entered when someone (accept, a poller) waits.
    // Guarded by the manager's mutex.
    mutable std::shared_ptr<hidReqT> req;
};

struct hidReqT {
    usbIdT id;
    uint64_t number = 0;
    bool satisfied = false;
    hidDevInfoT dev; // once satisfied
    int efd = -1;    // the listener's eventfd (owned by it)
};

class usbMgrT {
public:
    static usbMgrT& instance();

    // Gives the listener a request unless it has one: a present untaken
    // device at once, or a place among the waiting requests.
    void arm(const hidListenCtxT& l);
    // Takes the device given to the listener; false when none yet.
    bool take(const hidListenCtxT& l, hidDevInfoT& dev);
    // Withdraws the listener's request; a device promised to it but not taken
    // goes to the next waiting request.
    void disarm(const hidListenCtxT& l);

    // A taken device was opened: it is told when the device goes. False when
    // the device has gone meanwhile.
    bool opened(const std::shared_ptr<hidDevCtxT>& c);
    // The source found the device gone while opening it.
    void lost(const std::string& key);

private:
    usbMgrT();
    void _run();
    // Caller holds _mtx.
    bool _find(usbIdT id, hidDevInfoT& dev);
    void _attach(const hidDevInfoT& dev);
    void _remove(const std::string& key);
    void _offer(const hidDevInfoT& dev);
    void _rescan(hidSourceT* src);
    void _apply(hidSourceT* src, std::vector<hidSourceT::eventT>& evs);

    mutexT _mtx;
    std::vector<std::unique_ptr<hidSourceT>> _sources;
    std::map<std::string, hidDevInfoT> _present;                 // by key
    std::vector<std::string> _order;                             // keys in order of arrival
    std::set<std::string> _taken;                                // keys
    std::multimap<usbIdT, std::shared_ptr<hidReqT>> _pending;    // waiting requests
    std::multimap<std::string, std::weak_ptr<hidDevCtxT>> _open; // connected devices
    uint64_t _requests = 0;
    threadT::handleT _thread;
};

// Reports a device the process cannot use through the note hook.
void hidNote(const std::string& text);

} // namespace impl
} // namespace rux
