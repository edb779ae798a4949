// USB HID devices as sockets: a srvSocketT<seqSocketT> bound to a
// usbHidSockAddrT (vendor and product) accepts one connected seqSocketT per
// matching device, present or plugged in later; each recv is one input report
// and each send one output report (byte 0 the report id, 0 for a device that
// numbers none, in both directions).
//
// Devices come from the kernel's hidraw interface (found and watched through
// udev) and, when RUX_HID_EMU_DIR names a directory, from emulated devices
// plugged in there (sal/usbhidemu.h). One process-wide manager, running the
// thread "rux_usb_mgr", gives each device to one accept at a time: a device is
// taken from the moment an accept receives it until it is unplugged, so a
// device that failed to open or identify is offered again only after a replug.
//
// Unplugging fails the device's pending and later recv and send, and a poller
// waiting on it reports it (error, or readable with recv failing).
//
// Failure: false from bind, accept, recv, send and peer; nothing throws. A
// device node the process may not open is reported once per attachment
// through the note hook below. Thread-safety: as for every socket
// (sal/socket.h); the manager's state is guarded by its own mutex.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "sal/socket.h"

namespace rux {

// A USB vendor and product; ordered by vendor, then product.
struct usbIdT {
    uint16_t vendor = 0;
    uint16_t product = 0;

    usbIdT() = default;
    usbIdT(uint16_t v, uint16_t p) : vendor(v), product(p) {}

    friend bool operator<(const usbIdT& a, const usbIdT& b) {
        return a.vendor != b.vendor ? a.vendor < b.vendor : a.product < b.product;
    }
    friend bool operator==(const usbIdT& a, const usbIdT& b) {
        return a.vendor == b.vendor && a.product == b.product;
    }
    friend bool operator!=(const usbIdT& a, const usbIdT& b) { return !(a == b); }
};

// A device's top-level usage and its report lengths in bytes, each counting
// the report id byte: the largest report of the kind plus one, 0 when the
// device has no report of that kind.
struct usbHidCapsT {
    uint16_t usage = 0;
    uint16_t usagePage = 0;
    uint16_t inputReportByteLength = 0;
    uint16_t outputReportByteLength = 0;
    uint16_t featureReportByteLength = 0;
};

// Bind needs only `id`; an accepted socket's peer has everything.
struct usbHidSockAddrT {
    usbIdT id;
    usbHidCapsT caps;
    // Stable for one attachment (the hidraw sysfs path, or the emulated
    // endpoint's path), upper-cased: compare paths as they are.
    std::string path;
    // The product name the device reports (HID_NAME), and its serial number
    // (HID_UNIQ; may be empty).
    std::string description;
    std::string serial;

    usbHidSockAddrT() = default;
    usbHidSockAddrT(uint16_t vendor, uint16_t product) : id(vendor, product) {}
};

// "%04X:%04X": vendor and product.
std::ostream& operator<<(std::ostream& os, const usbHidSockAddrT& a);

// Receives one line of text (no line feed) about a device the process cannot
// use, such as a node it may not open, with a hint how to grant access.
// The default hook writes the line to standard error. Thread-safe; returns
// the previous hook (nullptr: the default).
using usbHidNoteHookT = void (*)(const char* text);
usbHidNoteHookT setUsbHidNoteHook(usbHidNoteHookT hook);

} // namespace rux
