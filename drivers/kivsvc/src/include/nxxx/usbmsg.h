// nxxxUSBMsgT: one HID report exchanged with a bootloader (nxxx family).
//
// Frame (no checksum; multi-byte payload fields little-endian):
//   request:  report id, message id, sequence number, payload length, payload
//   reply:    0xFF,      message id (bit 7 set: the command failed),
//             payload length, sequence number, payload
// Host reports are sent as a zero-filled buffer of the device's full
// output-report length with the frame at its start.
//
// Every message object, request or reply, takes its sequence number from one
// process-wide 8-bit counter when it is made (0, 1, ... 255, 0, ...); the
// counter is atomic, so objects made at the same time on different threads
// never share a number unless 256 others were made in between. A reply's
// parse() overwrites it with the number the device echoed, which is how the
// driver knows the reply belongs to its request.
//
// Ownership: a message object is made per request and owned by the caller;
// the driver holds it by shared pointer. Thread-safety: none; an object is
// used by one thread at a time. Failure: format returns a negative number,
// parse returns false; parse never reads outside the `len` bytes it is given,
// and a report shorter than the 4-byte header never parses.
#pragma once

#include <cstddef>

class nxxxUSBMsgT {
public:
    static constexpr int headerSize = 4;
    // The largest frame: the header and a payload of 255 bytes.
    static constexpr int maxFrame = headerSize + 255;
    // Report id of every reply.
    static constexpr unsigned char replyRid = 0xFF;
    // Set in a reply's message id when the device failed the command.
    static constexpr unsigned char failedBit = 0x80;

    nxxxUSBMsgT();
    virtual ~nxxxUSBMsgT();

    virtual unsigned char rid() const = 0;
    virtual unsigned char mid() const = 0;
    // Payload length: what a request announces, what a reply said.
    virtual unsigned char bsz() const { return _bsz; }

    // Writes the frame at `buf` (zero-filled, at least maxFrame bytes).
    // Returns the frame length, or the negative result of the payload
    // formatter.
    virtual int format(unsigned char* buf);
    // Checks and decodes a received report of `len` bytes: true when the
    // header is complete, report id and message id match exactly (a reply
    // with the failure bit never parses) and the payload decodes.
    virtual bool parse(const unsigned char* buf, int len);

protected:
    // Writes the payload at `pos`; returns its length or a negative number.
    virtual int _format(unsigned char* pos) const;
    // Decodes the payload from `len` available bytes at `pos`; returns the
    // count consumed (never more than `len`) or a negative number.
    virtual int _parse(const unsigned char* pos, int len);

public:
    unsigned char seq() const { return _seq; }

    // Fills `buf` (`size` bytes, the device's output-report length) with
    // zeros and the frame. Returns the frame length, the negative formatter
    // result, or -1 when the frame does not fit into `size` bytes; nothing
    // beyond `size` is ever written.
    int formatReport(unsigned char* buf, std::size_t size);

    // Takes the next number of the process-wide counter.
    static unsigned char nextSeq();

protected:
    // Little-endian field helpers, as for the meters: readers advance `pos`,
    // add the width to `consumed` and subtract it from `left` without
    // checking it; writers store and advance `pos`.
    static unsigned short _read2(const unsigned char*& pos, int& consumed, int& left);
    static unsigned int _read4(const unsigned char*& pos, int& consumed, int& left);
    static void _write2(unsigned char*& pos, unsigned short v);
    static void _write4(unsigned char*& pos, unsigned int v);

    unsigned char _seq;
    unsigned char _bsz = 0;
};
