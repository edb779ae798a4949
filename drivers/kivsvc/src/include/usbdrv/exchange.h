// usbdrv::exchangeT: one report sent to a USB device and, optionally, the one
// reply report it waits for. The driver machinery (usbdrv::reqListT and the
// driver thread) knows devices only through these; each device family wraps
// its own message classes in one.
//
// Ownership: created per request by the requesting thread and shared with the
// request list; the driver thread formats, matches and parses it under the
// list's lock, and the requester reads the parsed reply only after the list
// reported completion. Not thread-safe by itself.
// Failure: format returns a negative number; parse returns false.
#pragma once

#include <cstddef>

#include "sal/time.h"

namespace usbdrv {

class exchangeT {
public:
    // How a received report relates to the awaited reply.
    enum matchT {
        enNO = 0,     // not this exchange's reply
        enYES = 1,    // its reply: parse it
        enFAILED = 2, // its reply, saying the device failed the command
    };

    virtual ~exchangeT() = default;

    // Writes the request report into `buf` (`size` bytes: the device's whole,
    // zero-filled output report). Negative when the request cannot be written.
    virtual int format(unsigned char* buf, std::size_t size) = 0;
    // False: the exchange is done once the report has been sent.
    virtual bool expectsReply() const = 0;
    // Report id and message id of the awaited reply. A late reply with the
    // same ids must not be taken for the reply of a newer request.
    virtual unsigned char replyRid() const = 0;
    virtual unsigned char replyMid() const = 0;
    virtual matchT match(const unsigned char* report, std::size_t len) const = 0;
    // Decodes the matched report; false when it does not check out.
    virtual bool parse(const unsigned char* report, std::size_t len) = 0;
    // How long the reply may take once the request has been sent; zero: the
    // driver's default.
    virtual rux::timeT timeout() const { return rux::timeT(); }
    // True when a reply names its own request (an echoed sequence number), so
    // that match() alone tells a late reply from the awaited one and the reply
    // ids of a timed-out request need not be held back.
    virtual bool repliesNameRequest() const { return false; }
};

} // namespace usbdrv
