// devbufT<D, N, M, P>: a standard stream buffer over a device D that offers
// read(buffer, count) and write(buffer, count), both returning the byte count
// (0 or less: end or failure). devbufT::devstreamT is the matching iostream.
//
// N is the size of each of the get and put areas. N = 0 is unbuffered: every
// put goes straight to the device's write, every get takes one byte of
// look-ahead from its read. The get area keeps up to 4 already-read bytes in
// front of the position for put-back. Seeking is offered
// when D has seek(long, seekT) with dgramT's meaning; sync() also calls D's
// sync() when it has one.
//
// P is how the buffer holds the device (a pointer by default, or D itself for
// handle types); the device must outlive the buffer. The put area is flushed on
// sync() and on destruction. M is the lock taken by each stream-buffer entry
// point (dummyMutexT: none; the buffer is then owned by one thread at a time).
#pragma once

#include <algorithm>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <type_traits>
#include <utility>

#include "sal/dgram.h"
#include "sal/mutex.h"

namespace rux {

namespace impl {
template <class T, class = void> struct devHasSeekT : std::false_type {};
template <class T>
struct devHasSeekT<T, std::void_t<decltype(std::declval<T&>().seek(0L, enSEEK_SET))>>
    : std::true_type {};
template <class T, class = void> struct devHasSyncT : std::false_type {};
template <class T>
struct devHasSyncT<T, std::void_t<decltype(std::declval<T&>().sync())>> : std::true_type {};
} // namespace impl

template <class D, unsigned N = 1024, class M = dummyMutexT, class P = D*>
class devbufT : public std::streambuf {
public:
    static constexpr unsigned putBackSize = 4;
    static constexpr unsigned chunkSize = N ? N : 1;

    class devstreamT;

    explicit devbufT(P dev) : _dev(std::move(dev)) {
        _resetGet(0);
        if (N)
            setp(_pbuf, _pbuf + N);
    }
    ~devbufT() override {
        lockT<M> g(_mtx);
        _flush();
    }
    devbufT(const devbufT&) = delete;
    devbufT& operator=(const devbufT&) = delete;

    P& device() { return _dev; }

protected:
    using traits = std::char_traits<char>;

    int_type underflow() override {
        lockT<M> g(_mtx);
        return _underflow();
    }

    int_type pbackfail(int_type c) override {
        lockT<M> g(_mtx);
        if (gptr() > eback() &&
            (traits::eq_int_type(c, traits::eof()) || traits::to_char_type(c) == gptr()[-1])) {
            gbump(-1);
            return traits::not_eof(c);
        }
        return traits::eof();
    }

    std::streamsize xsgetn(char* s, std::streamsize n) override {
        lockT<M> g(_mtx);
        std::streamsize got = 0;
        while (got < n) {
            std::streamsize have = egptr() - gptr();
            if (have > 0) {
                std::streamsize k = std::min(have, n - got);
                std::memcpy(s + got, gptr(), size_t(k));
                _gadvance(k);
                got += k;
            } else if (n - got >= std::streamsize(chunkSize)) {
                // Large requests bypass the get area.
                long r = _d().read(s + got, long(n - got));
                if (r <= 0)
                    break;
                got += r;
                _keepPutBack(s, got);
            } else if (traits::eq_int_type(_underflow(), traits::eof())) {
                break;
            }
        }
        return got;
    }

    int_type overflow(int_type c) override {
        lockT<M> g(_mtx);
        if (N == 0) {
            if (traits::eq_int_type(c, traits::eof()))
                return traits::not_eof(c);
            char ch = traits::to_char_type(c);
            return _d().write(&ch, 1L) > 0 ? c : traits::eof();
        }
        if (!_flush())
            return traits::eof();
        if (!traits::eq_int_type(c, traits::eof())) {
            *pptr() = traits::to_char_type(c);
            pbump(1);
        }
        return traits::not_eof(c);
    }

    std::streamsize xsputn(const char* s, std::streamsize n) override {
        lockT<M> g(_mtx);
        if (N && n <= epptr() - pptr()) {
            std::memcpy(pptr(), s, size_t(n));
            pbump(int(n));
            return n;
        }
        if (N && !_flush())
            return 0;
        if (N && n < std::streamsize(N)) {
            std::memcpy(pptr(), s, size_t(n));
            pbump(int(n));
            return n;
        }
        std::streamsize put = 0;
        while (put < n) {
            long w = _d().write(s + put, long(n - put));
            if (w <= 0)
                break;
            put += w;
        }
        return put;
    }

    int sync() override {
        lockT<M> g(_mtx);
        if (!_flush())
            return -1;
        if constexpr (impl::devHasSyncT<D>::value)
            return _d().sync() < 0 ? -1 : 0;
        else
            return 0;
    }

    pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                     std::ios_base::openmode = std::ios_base::in | std::ios_base::out) override {
        if constexpr (impl::devHasSeekT<D>::value) {
            lockT<M> g(_mtx);
            seekT origin;
            if (dir == std::ios_base::beg)
                origin = enSEEK_SET;
            else if (dir == std::ios_base::cur)
                origin = enSEEK_CUR;
            else if (dir == std::ios_base::end)
                origin = enSEEK_END;
            else
                return pos_type(off_type(-1));
            if (!_flush())
                return pos_type(off_type(-1));
            // The device is already past the look-ahead still in the get area.
            if (origin == enSEEK_CUR)
                off -= egptr() - gptr();
            long r = _d().seek(long(off), origin);
            if (r < 0)
                return pos_type(off_type(-1));
            _resetGet(0);
            return pos_type(off_type(r));
        } else {
            (void)off;
            (void)dir;
            return pos_type(off_type(-1));
        }
    }

    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    D& _d() {
        if constexpr (std::is_same_v<std::decay_t<P>, D>)
            return _dev;
        else
            return *_dev;
    }

    void _resetGet(unsigned keep) {
        char* start = _gbuf + putBackSize;
        setg(start - keep, start, start);
    }

    // gbump takes an int; areas are small but xsgetn counts in streamsize.
    void _gadvance(std::streamsize k) { setg(eback(), gptr() + k, egptr()); }

    // After a direct read, the last bytes of the caller's buffer become the
    // put-back area.
    void _keepPutBack(const char* s, std::streamsize got) {
        unsigned keep = unsigned(std::min<std::streamsize>(putBackSize, got));
        std::memcpy(_gbuf + putBackSize - keep, s + got - keep, keep);
        _resetGet(keep);
    }

    int_type _underflow() {
        if (gptr() < egptr())
            return traits::to_int_type(*gptr());
        unsigned keep = unsigned(std::min<std::ptrdiff_t>(putBackSize, gptr() - eback()));
        std::memmove(_gbuf + putBackSize - keep, gptr() - keep, keep);
        long r = _d().read(_gbuf + putBackSize, long(chunkSize));
        if (r <= 0) {
            _resetGet(keep);
            return traits::eof();
        }
        char* start = _gbuf + putBackSize;
        setg(start - keep, start, start + r);
        return traits::to_int_type(*gptr());
    }

    // Writes the whole put area, repeating partial writes; on a failed write
    // the unsent rest stays at the front of the area.
    bool _flush() {
        if (N == 0)
            return true;
        char* p = pbase();
        while (p < pptr()) {
            long w = _d().write(p, long(pptr() - p));
            if (w <= 0) {
                std::ptrdiff_t rest = pptr() - p;
                std::memmove(_pbuf, p, size_t(rest));
                setp(_pbuf, _pbuf + N);
                pbump(int(rest));
                return false;
            }
            p += w;
        }
        setp(_pbuf, _pbuf + N);
        return true;
    }

    P _dev;
    M _mtx;
    char _gbuf[putBackSize + chunkSize]; // put-back bytes, then the get area
    char _pbuf[N ? N : 1];               // put area (unused when unbuffered)
};

template <class D, unsigned N, class M, class P>
class devbufT<D, N, M, P>::devstreamT : public std::iostream {
public:
    explicit devstreamT(P dev) : std::iostream(nullptr), _buf(std::move(dev)) {
        std::iostream::rdbuf(&_buf);
    }
    devbufT* rdbuf() { return &_buf; }

private:
    devbufT _buf;
};

} // namespace rux
