// Emulated USB HID devices: how a program (a meter emulator, a test) plugs a
// device into the HID socket layer of other processes without hardware.
//
// The directory named by RUX_HID_EMU_DIR (read once, when a process first
// uses HID sockets; made 0700 when missing) holds, per device <name>:
//   <name>.sock  a listening sequenced-packet (SOCK_SEQPACKET) Unix socket: the
//                endpoint; the host connects to it when an accept takes the
//                device and keeps that one connection while it uses it;
//   <name>.hid   the description, text lines "key=value" (other lines and
//                unknown keys are ignored; at most 4096 bytes):
//                  vendor=A7B3  product=0001   hexadecimal, required
//                  input=65 output=65 feature=0
//                               report lengths in bytes counting the report
//                               id byte, at most 16384; 0: none of the kind
//                  usage_page=FF00 usage=0001  hexadecimal, optional
//                  description=<text>  serial=<text>  optional, at most 126
//                               characters, no control characters
// A device arrives when its description appears (write it under another name
// and rename it into place, after the endpoint listens) and is removed when
// the description disappears; the endpoint goes last. Names: letters, digits,
// '_', '-', '.', not starting with '.', at most 64 characters.
//
// Every datagram is one report with the report id in byte 0 (0 when the
// device numbers none): the host sends output reports of exactly the output
// length; the device sends input reports of 1 to input-length bytes (the host
// pads a shorter one with zeros and cuts a longer one). The device's path, as
// the host's peer address shows it, is the endpoint's path, upper-cased.
//
// usbHidEmuDevT does the plugging; the emulator accepts the host's connection
// on listener() with the ordinary local socket calls (accept, recv, send,
// poller). Not thread-safe: one thread plugs and unplugs a device.
#pragma once

#include <cstdint>
#include <string>

#include "sal/socket.h"
#include "sal/usbhid.h"

namespace rux {

struct usbHidEmuDescT {
    usbIdT id;
    usbHidCapsT caps; // report lengths, usage page and usage
    std::string description;
    std::string serial;

    // The description file's text.
    std::string to_text() const;
    // False (and `out` unchanged) when the text breaks the rules above.
    static bool parse(const std::string& text, usbHidEmuDescT& out);
};

class usbHidEmuDevT {
public:
    usbHidEmuDevT() = default;
    ~usbHidEmuDevT() { unplug(); }
    usbHidEmuDevT(const usbHidEmuDevT&) = delete;
    usbHidEmuDevT& operator=(const usbHidEmuDevT&) = delete;

    // Makes the endpoint and then the description in `dir`; false when the
    // name is not allowed, the device is plugged already, or either file
    // cannot be made.
    bool plug(const std::string& dir, const std::string& name, const usbHidEmuDescT& desc);
    // Removes the description, then closes and removes the endpoint. The
    // emulator should also close its connections; the host fails them anyway.
    void unplug();
    bool plugged() const { return _listener.isOpen(); }

    // The endpoint: accept the host's connections here.
    srvSocketT<seqSocketT>& listener() { return _listener; }
    // The path the host sees (upper-cased), once plugged.
    std::string hostPath() const;

private:
    srvSocketT<seqSocketT> _listener;
    std::string _sock;
    std::string _desc;
};

} // namespace rux
