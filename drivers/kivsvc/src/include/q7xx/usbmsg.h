// q7xxUSBMsgT: one HID report exchanged with a q7xx flow meter.
//
// Frame: report id, message id, payload, 8-bit wrap-around checksum of everything
// before it. Host reports are sent as a zero-filled buffer of the device's full
// output-report length with the frame at its start. A received report is checked
// against its LAST byte, which the meter puts at the end of its input report,
// whatever the payload length.
//
// Ownership: a message object is created per request (through the protocol
// factory) and owned by the caller; the driver holds it by shared pointer.
// Thread-safety: none; an object is used by one thread at a time.
// Failure: format returns a negative number, parse returns false. parse never
// reads outside the `len` bytes it is given. A mismatching checksum is logged at
// ERROR on log ID "driver"; a short or foreign report is refused silently.
#pragma once

#include <cstddef>

class q7xxUSBMsgT {
public:
    // Largest frame formatReport() can produce (report id + message id + payload +
    // checksum); every payload of the family is far below it.
    static constexpr int maxFrame = 1024;

    virtual ~q7xxUSBMsgT();

    virtual unsigned char rid() const = 0;
    virtual unsigned char mid() const = 0;

    // Writes the frame at `buf`; the caller's buffer must hold the whole frame
    // (at most maxFrame bytes) and be zero-filled. Returns the frame length
    // n + 3, or the negative result of the payload formatter.
    virtual int format(unsigned char* buf);

    // Checks and decodes a received report of `len` bytes. True only when report
    // id and message id match, the payload decodes and the checksum holds.
    virtual bool parse(const unsigned char* buf, int len);

protected:
    // Writes the payload at `pos`; returns its length or a negative number.
    virtual int _format(unsigned char* pos) const;
    // Decodes the payload from `len` available bytes at `pos`; returns the count
    // consumed (never more than `len`) or a negative number when `len` is short.
    virtual int _parse(const unsigned char* pos, int len);

public:
    // Sum of the first `len` bytes modulo 256; 0 for an empty range.
    virtual unsigned char calc_cksum(const unsigned char* buf, unsigned int len) const;

    // Fills `buf` (`size` bytes, the device's output-report length) with zeros
    // and the frame. Returns the frame length, the negative formatter result, or
    // -1 when the frame does not fit into `size` bytes; nothing beyond `size`
    // is ever written.
    int formatReport(unsigned char* buf, std::size_t size);

protected:
    // Little-endian field helpers for payloads. The readers advance `pos`, add
    // the field width to `consumed` and subtract it from `left`; they do not
    // check `left` (each _parse checks before it reads).
    static unsigned short _read2(const unsigned char*& pos, int& consumed, int& left);
    static unsigned int _read4(const unsigned char*& pos, int& consumed, int& left);
    static float _read_float(const unsigned char*& pos, int& consumed, int& left);
    // The writers store the field at `pos` and advance it by the field width.
    static void _write2(unsigned char*& pos, unsigned short v);
    static void _write4(unsigned char*& pos, unsigned int v);
    static void _write_float(unsigned char*& pos, float v);
};

// x multiplied by 10 `e` times (e > 0) or divided by 10 |e| times (e < 0), one
// step at a time in extended precision, rounded to float once at the end.
// Avoids a power function so that decimal scalings come out as the meter's own
// arithmetic does.
float exp10(float x, int e);
