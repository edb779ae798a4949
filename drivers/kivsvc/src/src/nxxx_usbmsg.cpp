#include "nxxx/usbmsg.h"

#include <array>
#include <atomic>
#include <cstring>

#include "sal/assert.h"
#include "usbdrv/lefields.h"

namespace {

// Wraps from 255 to 0 by the rules of unsigned arithmetic.
std::atomic<unsigned char> seqCounter{0};

} // namespace

unsigned char nxxxUSBMsgT::nextSeq() {
    return seqCounter.fetch_add(1, std::memory_order_relaxed);
}

nxxxUSBMsgT::nxxxUSBMsgT() : _seq(nextSeq()) {}

nxxxUSBMsgT::~nxxxUSBMsgT() = default;

int nxxxUSBMsgT::format(unsigned char* buf) {
    buf[0] = rid();
    buf[1] = mid();
    buf[2] = _seq;
    buf[3] = bsz();
    const int n = _format(buf + headerSize);
    if (n < 0)
        return n;
    RUX_FAULT_IF(n > maxFrame - headerSize);
    return headerSize + n;
}

bool nxxxUSBMsgT::parse(const unsigned char* buf, int len) {
    // The sequence number sits in byte 3: a shorter report is no reply at all.
    if (buf == nullptr || len < headerSize || buf[0] != rid() || buf[1] != mid())
        return false;
    _bsz = buf[2];
    _seq = buf[3];
    const int n = _parse(buf + headerSize, len - headerSize);
    RUX_FAULT_IF(n > len - headerSize);
    return n >= 0;
}

int nxxxUSBMsgT::_format(unsigned char*) const {
    return 0;
}

int nxxxUSBMsgT::_parse(const unsigned char*, int) {
    return 0;
}

int nxxxUSBMsgT::formatReport(unsigned char* buf, std::size_t size) {
    std::array<unsigned char, maxFrame> frame{};
    const int n = format(frame.data());
    if (n < 0)
        return n;
    if (static_cast<std::size_t>(n) > size)
        return -1;
    std::memset(buf, 0, size);
    std::memcpy(buf, frame.data(), static_cast<std::size_t>(n));
    return n;
}

unsigned short nxxxUSBMsgT::_read2(const unsigned char*& pos, int& consumed, int& left) {
    return usbdrv::readLe2(pos, consumed, left);
}

unsigned int nxxxUSBMsgT::_read4(const unsigned char*& pos, int& consumed, int& left) {
    return usbdrv::readLe4(pos, consumed, left);
}

void nxxxUSBMsgT::_write2(unsigned char*& pos, unsigned short v) {
    usbdrv::writeLe2(pos, v);
}

void nxxxUSBMsgT::_write4(unsigned char*& pos, unsigned int v) {
    usbdrv::writeLe4(pos, v);
}
