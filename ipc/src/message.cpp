#include "ipc/message.h"

#include <climits>

namespace rux {

namespace {
constexpr uint32_t kHdr = impl::ipcHeaderT::size;
constexpr unsigned kReplyPrio = 2;

// Room for the header plus `size` payload bytes, header zeroed, `prio` set,
// position at the payload start.
dgramT emptyDatagram(unsigned long size, ipcMessageT::prioT prio) {
    dgramT d(uint32_t(size + kHdr));
    impl::ipcHeaderT hdr;
    hdr.prio = prio;
    impl::ipcStoreHeader(d, hdr);
    d.seek(kHdr, enSEEK_SET);
    return d;
}
} // namespace

ipcMessageT::ipcMessageT(unsigned long size, prioT prio) {
    RUX_FAULT_IF(size > maxPayload);
    _raw = emptyDatagram(size, prio);
}

std::unique_ptr<ipcMessageT> ipcMessageT::create(unsigned long size, prioT prio) {
    if (size > maxPayload)
        return nullptr;
    return std::make_unique<ipcMessageT>(size, prio);
}

std::unique_ptr<ipcMessageT> ipcMessageT::create(dgramT&& raw) {
    impl::ipcHeaderT hdr;
    if (raw.length() > localMsgMax || !impl::ipcParseHeader(raw, hdr))
        return nullptr;
    std::unique_ptr<ipcMessageT> msg(new ipcMessageT(std::move(raw)));
    msg->_raw.seek(kHdr, enSEEK_SET);
    return msg;
}

bool ipcMessageT::setRaw(dgramT&& raw) {
    impl::ipcHeaderT hdr;
    if (raw.length() > localMsgMax || !impl::ipcParseHeader(raw, hdr))
        return false;
    _raw = std::move(raw);
    _raw.seek(kHdr, enSEEK_SET);
    return true;
}

std::unique_ptr<ipcMessageT> ipcMessageT::clone() const {
    return std::make_unique<ipcMessageT>(*this);
}

impl::ipcHeaderT ipcMessageT::_header() const {
    impl::ipcHeaderT hdr;
    // Every way of making a message leaves a valid header behind.
    RUX_FAULT_IF(!impl::ipcParseHeader(_raw, hdr));
    return hdr;
}

void ipcMessageT::_header(const impl::ipcHeaderT& hdr) {
    impl::ipcStoreHeader(_raw, hdr);
}

ipcMessageT::prioT ipcMessageT::priority() const {
    return _header().prio;
}

void ipcMessageT::priority(const prioT& prio) {
    impl::ipcHeaderT hdr = _header();
    hdr.prio = prio;
    _header(hdr);
}

std::unique_ptr<ipcMessageT> ipcMessageT::reply(unsigned long size) const {
    std::unique_ptr<ipcMessageT> msg = create(size, kReplyPrio);
    if (!msg)
        return nullptr;
    impl::ipcHeaderT mine = _header();
    impl::ipcHeaderT hdr = msg->_header();
    hdr.reply = true;
    hdr.ivkId = mine.ivkId;
    hdr.syncFwd = mine.syncFwd;
    msg->_header(hdr);
    return msg;
}

bool ipcMessageT::wantReply() const {
    return _header().ivkId != 0;
}

long ipcMessageT::seek(long off, seekT whence) {
    long base;
    switch (whence) {
    case enSEEK_SET:
        base = 0;
        break;
    case enSEEK_CUR:
        base = long(_raw.position()) - long(kHdr);
        break;
    case enSEEK_END:
        base = long(maxSize());
        break;
    default:
        return -1;
    }
    // Both operands are far from the long limits on the success path; reject
    // anything that would overflow before adding.
    if ((off > 0 && off > LONG_MAX - base) || (off < 0 && off < -base))
        return -1;
    long target = base + off;
    if (target > long(maxSize()))
        return -1;
    _extend(uint32_t(kHdr + target));
    if (_raw.seek(long(kHdr) + target, enSEEK_SET) < 0)
        return -1;
    return target;
}

long ipcMessageT::read(char* buffer, long n) {
    if (n < 0)
        return -1;
    uint32_t count = n > long(UINT32_MAX) ? UINT32_MAX : uint32_t(n);
    return long(_raw.read(buffer, count));
}

long ipcMessageT::write(const char* buffer, long n) {
    if (n < 0)
        return -1;
    uint32_t count = n > long(UINT32_MAX) ? UINT32_MAX : uint32_t(n);
    return long(_raw.write(buffer, count));
}

char* ipcMessageT::buf() {
    return _raw.buf() + kHdr;
}

const char* ipcMessageT::buf() const {
    return _raw.buf() + kHdr;
}

bool ipcMessageT::setSize(unsigned long n) {
    if (n > maxSize())
        return false;
    uint32_t len = uint32_t(n + kHdr);
    if (len > _raw.length())
        _extend(len);
    else
        _raw.trunc(len);
    return true;
}

void ipcMessageT::_extend(uint32_t len) {
    // Growing the length exposes what the storage holds: zeros, or bytes placed
    // through buf().
    if (len > _raw.length())
        _raw.trunc(len);
}

ipcMessageT::ioT::bufT::int_type ipcMessageT::ioT::bufT::underflow() {
    if (!traits::eq_int_type(_ahead, traits::eof()))
        return _ahead;
    char c;
    if (device()->read(&c, 1) != 1)
        return traits::eof();
    _ahead = traits::to_int_type(c);
    return _ahead;
}

ipcMessageT::ioT::bufT::int_type ipcMessageT::ioT::bufT::uflow() {
    int_type c = underflow();
    if (!traits::eq_int_type(c, traits::eof())) {
        _ahead = traits::eof();
        _last = c;
    }
    return c;
}

ipcMessageT::ioT::bufT::int_type ipcMessageT::ioT::bufT::pbackfail(int_type c) {
    if (traits::eq_int_type(_last, traits::eof()) ||
        (!traits::eq_int_type(c, traits::eof()) && !traits::eq_int_type(c, _last)))
        return traits::eof();
    // The byte put back becomes the look-ahead; the message position stays
    // just past it, as it does for any look-ahead.
    _dropAhead();
    _ahead = _last;
    _last = traits::eof();
    return traits::not_eof(c);
}

std::streamsize ipcMessageT::ioT::bufT::xsgetn(char* s, std::streamsize n) {
    std::streamsize got = 0;
    if (n > 0 && !traits::eq_int_type(_ahead, traits::eof())) {
        s[got++] = traits::to_char_type(_ahead);
        _ahead = traits::eof();
    }
    while (got < n) {
        long r = device()->read(s + got, long(n - got));
        if (r <= 0)
            break;
        got += r;
    }
    if (got > 0)
        _last = traits::to_int_type(s[got - 1]);
    return got;
}

ipcMessageT::ioT::bufT::int_type ipcMessageT::ioT::bufT::overflow(int_type c) {
    if (!traits::eq_int_type(c, traits::eof())) {
        _dropAhead();
        _last = traits::eof();
    }
    return devbufT::overflow(c);
}

std::streamsize ipcMessageT::ioT::bufT::xsputn(const char* s, std::streamsize n) {
    _dropAhead();
    _last = traits::eof();
    return devbufT::xsputn(s, n);
}

ipcMessageT::ioT::bufT::pos_type
ipcMessageT::ioT::bufT::seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) {
    seekT whence;
    if (dir == std::ios_base::beg)
        whence = enSEEK_SET;
    else if (dir == std::ios_base::cur)
        whence = enSEEK_CUR;
    else if (dir == std::ios_base::end)
        whence = enSEEK_END;
    else
        return pos_type(off_type(-1));
    // The message is one byte ahead of the stream while a look-ahead is pending.
    if (whence == enSEEK_CUR && !traits::eq_int_type(_ahead, traits::eof()))
        --off;
    long r = device()->seek(long(off), whence);
    if (r < 0)
        return pos_type(off_type(-1));
    _ahead = _last = traits::eof();
    return pos_type(off_type(r));
}

void ipcMessageT::ioT::bufT::_dropAhead() {
    if (traits::eq_int_type(_ahead, traits::eof()))
        return;
    device()->seek(-1, enSEEK_CUR);
    _ahead = traits::eof();
}

unsigned long ipcMessageT::currSize() const {
    return _raw.length() - kHdr;
}

unsigned long ipcMessageT::maxSize() const {
    return _raw.capacity() - kHdr;
}

} // namespace rux
