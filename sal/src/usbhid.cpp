// The HID operations of the socket classes: listening for devices, accepting
// them, one report per recv and send.
#include "sal/usbhid.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "usbhidmgr.h"

namespace rux {

namespace {
std::atomic<usbHidNoteHookT> g_noteHook{nullptr};
} // namespace

usbHidNoteHookT setUsbHidNoteHook(usbHidNoteHookT hook) {
    return g_noteHook.exchange(hook);
}

std::ostream& operator<<(std::ostream& os, const usbHidSockAddrT& a) {
    char text[10];
    std::snprintf(text, sizeof text, "%04X:%04X", a.id.vendor, a.id.product);
    return os << text;
}

namespace impl {

void hidNote(const std::string& text) {
    if (usbHidNoteHookT h = g_noteHook.load())
        h(text.c_str());
    else
        std::fprintf(stderr, "rux: %s\n", text.c_str());
}

namespace {

bool again(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Errors after which the device is not coming back.
bool fatal(int e) {
    return e == ENODEV || e == ESHUTDOWN || e == EPIPE || e == ECONNRESET || e == EIO || e == ENXIO;
}

class hidDevFactoryT final : public opFactoryT {
public:
    long readSome(socketContextT&, void*, size_t) override { return unsupported(); }
    long writeSome(socketContextT&, const void*, size_t) override { return unsupported(); }

    // One input report, padded to the input length, report id in front.
    long recvMsg(socketContextT& c, dgramT& d, sockaddr_storage*) override {
        auto& h = static_cast<hidDevCtxT&>(c);
        if (h.gone) {
            errno = ENODEV;
            return ioFAIL;
        }
        uint32_t len = h.addr.caps.inputReportByteLength;
        if (len == 0) {
            errno = EOPNOTSUPP;
            return ioFAIL;
        }
        dgramT m(len);
        m.trunc(len); // zeroed: the padding of a short report
        ssize_t r;
        if (h.emulated) {
            r = ::recv(h.fd, m.buf(), len, MSG_DONTWAIT);
            if (r == 0)
                errno = ECONNRESET; // the emulator closed: unplugged
        } else {
            uint32_t at = h.numbered ? 0 : 1;
            r = ::read(h.fd, m.buf() + at, len - at);
            if (r == 0)
                errno = EIO;
        }
        if (r < 0 && again(errno))
            return ioAGAIN;
        if (r <= 0) {
            h.gone = true;
            return ioFAIL;
        }
        d = std::move(m);
        return 1;
    }

    long sendMsg(socketContextT& c, const dgramT& d, const sockaddr*, socklen_t) override {
        auto& h = static_cast<hidDevCtxT&>(c);
        if (h.gone) {
            errno = ENODEV;
            return ioFAIL;
        }
        ssize_t r = h.emulated ? ::send(h.fd, d.buf(), d.length(), MSG_DONTWAIT | MSG_NOSIGNAL)
                               : ::write(h.fd, d.buf(), d.length());
        if (r == ssize_t(d.length()))
            return 1;
        if (r >= 0) {
            errno = EIO; // a report goes whole or not at all
            return ioFAIL;
        }
        if (again(errno) || errno == ENOBUFS)
            return ioAGAIN;
        if (fatal(errno))
            h.gone = true;
        return ioFAIL;
    }

    long avail(socketContextT& c) override {
        auto& h = static_cast<hidDevCtxT&>(c);
        pollfd p{h.fd, POLLIN, 0};
        if (h.gone || ::poll(&p, 1, 0) < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return -1;
        return (p.revents & POLLIN) ? long(h.addr.caps.inputReportByteLength) : 0;
    }

    long accept(socketContextT&, ctxPtrT&, sockaddr_storage*) override { return unsupported(); }

    bool shutdown(socketContextT& c, int how) override {
        auto& h = static_cast<hidDevCtxT&>(c);
        if (h.emulated)
            ::shutdown(h.fd, how == 2 ? SHUT_WR : how == 3 ? SHUT_RDWR : SHUT_RD);
        return true;
    }

private:
    static long unsupported() {
        errno = EOPNOTSUPP;
        return ioFAIL;
    }
};

class hidListenFactoryT final : public opFactoryT {
public:
    long readSome(socketContextT&, void*, size_t) override { return unsupported(); }
    long writeSome(socketContextT&, const void*, size_t) override { return unsupported(); }
    long recvMsg(socketContextT&, dgramT&, sockaddr_storage*) override { return unsupported(); }
    long sendMsg(socketContextT&, const dgramT&, const sockaddr*, socklen_t) override {
        return unsupported();
    }
    long avail(socketContextT&) override { return 0; }
    long accept(socketContextT&, ctxPtrT&, sockaddr_storage*) override { return unsupported(); }

    bool shutdown(socketContextT& c, int) override {
        usbMgrT::instance().disarm(static_cast<hidListenCtxT&>(c));
        return true;
    }

    // Whoever polls the listener waits for a device: enter the request.
    int pollFd(const socketContextT& c, bool forWrite) const override {
        if (!forWrite && !isShut(c))
            usbMgrT::instance().arm(static_cast<const hidListenCtxT&>(c));
        return c.fd;
    }

private:
    static bool isShut(const socketContextT& c) {
        auto& m = const_cast<socketContextT&>(c);
        lockT<mutexT> g(m.mtx);
        return m.shut;
    }
    static long unsupported() {
        errno = EOPNOTSUPP;
        return ioFAIL;
    }
};

std::shared_ptr<opFactoryT> listenFactory() {
    static auto f = std::make_shared<hidListenFactoryT>();
    return f;
}

hidDevCtxT* hidOf(const ctxPtrT& c) {
    return dynamic_cast<hidDevCtxT*>(c.get());
}

} // namespace

std::shared_ptr<opFactoryT> hidDevFactory() {
    static auto f = std::make_shared<hidDevFactoryT>();
    return f;
}

bool srvOpsT::bind(socketT& self, const usbHidSockAddrT& a, int, bool seq) {
    if (self.context() || !seq)
        return false;
    usbMgrT::instance(); // watching starts now, so accepts find what is present
    int efd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (efd < 0)
        return false;
    auto l = std::make_shared<hidListenCtxT>(efd, listenFactory(), a.id);
    l->listening = true;
    self.context(std::move(l));
    return true;
}

bool srvOpsT::accept(socketT& self, socketT& out, usbHidSockAddrT& peer) {
    auto l = std::dynamic_pointer_cast<hidListenCtxT>(self.context());
    if (!l)
        return false;
    usbMgrT& mgr = usbMgrT::instance();
    hidDevInfoT dev;
    for (;;) {
        auto w = l->wake();
        {
            lockT<mutexT> g(l->mtx);
            if (l->shut)
                return false;
        }
        mgr.arm(*l);
        if (mgr.take(*l, dev))
            break;
        if (waitFor(*l, w, false, -1) < 0)
            return false;
    }
    // The device stays taken whatever happens now: one that cannot be opened
    // is not offered again until it is plugged in anew.
    usbHidSockAddrT addr;
    std::shared_ptr<socketContextT> c = dev.source->open(dev, addr);
    if (!c) {
        if (errno == ENODEV)
            mgr.lost(dev.key);
        return false;
    }
    auto h = std::static_pointer_cast<hidDevCtxT>(c);
    h->key = dev.key;
    h->connected = true;
    if (!mgr.opened(h))
        return false; // unplugged meanwhile
    out.context(std::move(c));
    peer = addr;
    return true;
}

} // namespace impl

bool socketT::peer(usbHidSockAddrT& a) const {
    impl::hidDevCtxT* h = impl::hidOf(_ctx);
    if (!h)
        return false;
    a = h->addr;
    return true;
}

bool seqSocketT::recv(dgramT& d, usbHidSockAddrT& from) {
    impl::hidDevCtxT* h = impl::hidOf(_ctx);
    if (!h || !impl::recvMessage(_ctx, d, nullptr))
        return false;
    from = h->addr;
    return true;
}

bool seqSocketT::send(const dgramT& d, const usbHidSockAddrT&) {
    impl::hidDevCtxT* h = impl::hidOf(_ctx);
    if (!h)
        return false;
    uint32_t len = h->addr.caps.outputReportByteLength;
    if (len == 0 || d.length() == 0 || d.length() > len)
        return false;
    // Always a whole report: a shorter buffer is padded with zeros.
    dgramT report(len);
    report.trunc(len);
    std::memcpy(report.buf(), d.buf(), d.length());
    // This write's own result: callers report success to their clients from it.
    lockT<mutexT> g(h->writeMtx);
    for (;;) {
        auto w = h->wake();
        long r = h->factory->sendMsg(*h, report, nullptr, 0);
        if (r != impl::ioAGAIN)
            return r == 1;
        if (impl::waitFor(*h, w, true, -1) < 0)
            return false;
    }
}

} // namespace rux
