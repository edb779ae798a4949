#include "q7xx/usbmsg.h"

#include <array>
#include <cmath>
#include <cstring>
#include <ios>

#include "rux_logger_xface.h"
#include "sal/assert.h"
#include "usbdrv/lefields.h"

namespace {

// Both lines of a checksum mismatch; only the bytes actually received are shown.
void logChecksumMismatch(const unsigned char* buf, int len, unsigned char got, unsigned char want,
                         int n) {
    rux::loggerT log("driver");
    {
        rux::loggerT::logbufT line(log, rux::log::ERROR, "parse");
        line << "faild to validate checksum bufchk=" << static_cast<unsigned>(got)
             << " compchk=" << static_cast<unsigned>(want) << " sz =" << len << " n =" << n << "\n";
    }
    rux::loggerT::logbufT line(log, rux::log::ERROR, "parse");
    line << "buf(0-3)= 0x" << std::hex;
    const int shown = len < 4 ? len : 4;
    for (int i = 0; i < shown; ++i) {
        if (i > 0)
            line << ", 0x";
        line << static_cast<unsigned>(buf[i]);
    }
    line << std::dec << "\n";
}

} // namespace

q7xxUSBMsgT::~q7xxUSBMsgT() = default;

int q7xxUSBMsgT::format(unsigned char* buf) {
    buf[0] = rid();
    buf[1] = mid();
    const int n = _format(buf + 2);
    if (n < 0)
        return n;
    buf[n + 2] = calc_cksum(buf, static_cast<unsigned>(n) + 2);
    return n + 3;
}

bool q7xxUSBMsgT::parse(const unsigned char* buf, int len) {
    if (buf == nullptr || len < 2 || buf[0] != rid() || buf[1] != mid())
        return false;
    const int n = _parse(buf + 2, len - 2);
    if (n < 0)
        return false;
    // A payload parser claiming more than it was given is a programming error.
    RUX_FAULT_IF(n > len - 2);
    // The checksum must sit behind the payload, not inside it.
    if (n + 3 > len)
        return false;
    const unsigned char got = buf[len - 1];
    const unsigned char want = calc_cksum(buf, static_cast<unsigned>(n) + 2);
    if (got == want)
        return true;
    logChecksumMismatch(buf, len, got, want, n);
    return false;
}

int q7xxUSBMsgT::_format(unsigned char*) const {
    return 0;
}

int q7xxUSBMsgT::_parse(const unsigned char*, int) {
    return 0;
}

unsigned char q7xxUSBMsgT::calc_cksum(const unsigned char* buf, unsigned int len) const {
    unsigned char sum = 0;
    for (unsigned int i = 0; i < len; ++i)
        sum = static_cast<unsigned char>(sum + buf[i]);
    return sum;
}

int q7xxUSBMsgT::formatReport(unsigned char* buf, std::size_t size) {
    // Formatted aside first: the device's report length comes from the device
    // and may be shorter than the frame.
    std::array<unsigned char, maxFrame> frame{};
    const int n = format(frame.data());
    if (n < 0)
        return n;
    RUX_FAULT_IF(n > maxFrame);
    if (static_cast<std::size_t>(n) > size)
        return -1;
    std::memset(buf, 0, size);
    std::memcpy(buf, frame.data(), static_cast<std::size_t>(n));
    return n;
}

unsigned short q7xxUSBMsgT::_read2(const unsigned char*& pos, int& consumed, int& left) {
    return usbdrv::readLe2(pos, consumed, left);
}

unsigned int q7xxUSBMsgT::_read4(const unsigned char*& pos, int& consumed, int& left) {
    return usbdrv::readLe4(pos, consumed, left);
}

float q7xxUSBMsgT::_read_float(const unsigned char*& pos, int& consumed, int& left) {
    const unsigned int bits = _read4(pos, consumed, left);
    float v;
    static_assert(sizeof v == sizeof bits, "IEEE 754 single precision expected");
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

void q7xxUSBMsgT::_write2(unsigned char*& pos, unsigned short v) {
    usbdrv::writeLe2(pos, v);
}

void q7xxUSBMsgT::_write4(unsigned char*& pos, unsigned int v) {
    usbdrv::writeLe4(pos, v);
}

void q7xxUSBMsgT::_write_float(unsigned char*& pos, float v) {
    unsigned int bits;
    std::memcpy(&bits, &v, sizeof bits);
    _write4(pos, bits);
}

float exp10(float x, int e) {
    long double v = x;
    // Once the value is 0, infinite or NaN further steps change nothing; stopping
    // there bounds the loop for any exponent.
    if (e > 0) {
        for (long long i = 0; i < e && v != 0 && std::isfinite(v); ++i)
            v *= 10.0L;
    } else {
        for (long long i = 0; i > static_cast<long long>(e) && v != 0 && std::isfinite(v); --i)
            v /= 10.0L;
    }
    return static_cast<float>(v);
}
