#include "sockctx.h"

#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sal/assert.h"
#include "sal/socket.h"
#include "sal/sysinfo.h"
#include "sal/thread.h"

namespace rux {
namespace impl {

wakeT::wakeT() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

wakeT::~wakeT() {
    if (fd >= 0)
        ::close(fd);
}

void wakeT::signal() {
    uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);
    (void)r; // a counter already at its limit is signalled anyway
}

int opFactoryT::pollFd(const socketContextT& c, bool) const {
    return c.fd;
}

namespace {
// The kernel refuses a local message above the send buffer (about 208 KiB by
// default): make room for two of the largest, beyond wmem_max when privileged.
void raiseSendBuffer(int fd) {
    int want = int(2 * localMsgMax);
    int have = 0;
    socklen_t len = sizeof have;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &have, &len) == 0 && have >= 2 * want)
        return; // the kernel reports twice what was asked
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
}
} // namespace

socketContextT::socketContextT(int fd_, std::shared_ptr<opFactoryT> f, kindT k)
    : fd(fd_), factory(std::move(f)), readSize(sysInfo::pageSize / 16), kind(k) {
    if (kind == enLOCAL_SEQ && fd >= 0)
        raiseSendBuffer(fd);
}

socketContextT::~socketContextT() {
    if (!unlinkAt.empty()) {
        struct stat st;
        if (::lstat(unlinkAt.c_str(), &st) == 0 && st.st_dev == fileDev && st.st_ino == fileIno)
            ::unlink(unlinkAt.c_str());
    }
    if (fd >= 0)
        ::close(fd);
}

std::shared_ptr<wakeT> socketContextT::wake() {
    lockT<mutexT> g(mtx);
    if (!_wake) {
        auto w = std::make_shared<wakeT>();
        if (w->fd < 0)
            return nullptr;
        _wake = std::move(w);
    }
    return _wake;
}

// Finishes writes in the background: one thread for the process, sleeping in
// epoll until a registered descriptor can take more.
class flusherT {
public:
    static flusherT& instance() {
        static flusherT* f = new flusherT; // lives as long as the process
        return *f;
    }

    // False when the write cannot be watched; the caller then finishes it.
    bool add(const std::shared_ptr<opWriteT>& op) {
        lockT<mutexT> g(_m);
        auto old = _byFd.find(op->fd());
        if (old != _byFd.end())
            _drop(old->second);
        uint64_t serial = _next++;
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLONESHOT;
        ev.data.u64 = serial;
        if (::epoll_ctl(_ep, EPOLL_CTL_ADD, op->fd(), &ev) != 0)
            return false;
        op->serial = serial;
        _ops[serial] = op;
        _byFd[op->fd()] = serial;
        return true;
    }

    // A registered write ended elsewhere; let go of it soon.
    void poke(uint64_t serial) {
        if (!serial)
            return;
        {
            lockT<mutexT> g(_m);
            _pokes.push_back(serial);
        }
        uint64_t one = 1;
        ssize_t r = ::write(_ev, &one, sizeof one);
        (void)r;
    }

private:
    flusherT() {
        _ep = ::epoll_create1(EPOLL_CLOEXEC);
        _ev = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        RUX_OS_CHECK(_ep >= 0 && _ev >= 0);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = 0;
        RUX_OS_CHECK(::epoll_ctl(_ep, EPOLL_CTL_ADD, _ev, &ev) == 0);
        _thread = threadT::create("rux_sock_flush");
        _thread.start(functorT([this] { _run(); }));
    }

    // Caller holds _m. The op lets go of its connection outside any op lock
    // order problem: only _m is held and the op's own mutex is taken inside.
    void _drop(uint64_t serial) {
        auto it = _ops.find(serial);
        if (it == _ops.end())
            return;
        std::shared_ptr<opWriteT> op = std::move(it->second);
        _ops.erase(it);
        auto f = _byFd.find(op->fd());
        if (f != _byFd.end() && f->second == serial) {
            ::epoll_ctl(_ep, EPOLL_CTL_DEL, op->fd(), nullptr);
            _byFd.erase(f);
        }
        ctxPtrT ctx;
        {
            lockT<mutexT> g(op->_m);
            ctx = std::move(op->_ctx);
        }
        _graveyard.push_back(std::move(ctx)); // closed after _m is released
    }

    void _run() {
        epoll_event evs[64];
        for (;;) {
            int n = ::epoll_wait(_ep, evs, 64, -1);
            if (n < 0) {
                RUX_OS_CHECK(errno == EINTR);
                continue;
            }
            for (int i = 0; i < n; ++i) {
                uint64_t serial = evs[i].data.u64;
                if (serial == 0) {
                    uint64_t v;
                    ssize_t r = ::read(_ev, &v, sizeof v);
                    (void)r;
                    lockT<mutexT> g(_m);
                    std::vector<uint64_t> pokes;
                    pokes.swap(_pokes);
                    for (uint64_t s : pokes) {
                        auto it = _ops.find(s);
                        if (it != _ops.end() && it->second->state() != opWriteT::enPENDING)
                            _drop(s);
                    }
                    continue;
                }
                std::shared_ptr<opWriteT> op;
                {
                    lockT<mutexT> g(_m);
                    auto it = _ops.find(serial);
                    if (it == _ops.end())
                        continue;
                    op = it->second;
                }
                opWriteT::stateT st = op->progress();
                lockT<mutexT> g(_m);
                if (_ops.find(serial) == _ops.end())
                    continue;
                if (st != opWriteT::enPENDING) {
                    _drop(serial);
                } else {
                    epoll_event ev{};
                    ev.events = EPOLLOUT | EPOLLONESHOT;
                    ev.data.u64 = serial;
                    ::epoll_ctl(_ep, EPOLL_CTL_MOD, op->fd(), &ev);
                }
            }
            std::vector<ctxPtrT> dead;
            {
                lockT<mutexT> g(_m);
                dead.swap(_graveyard);
            }
        }
    }

    int _ep = -1;
    int _ev = -1; // wakes the thread for pokes
    mutexT _m;
    uint64_t _next = 1; // 0 stands for the eventfd
    std::unordered_map<uint64_t, std::shared_ptr<opWriteT>> _ops;
    std::unordered_map<int, uint64_t> _byFd;
    std::vector<uint64_t> _pokes;
    std::vector<ctxPtrT> _graveyard; // connections released by _drop
    threadT::handleT _thread;
};

void socketContextT::cancel() {
    std::shared_ptr<opWriteT> pw;
    {
        lockT<mutexT> g(mtx);
        if (_wake) {
            _wake->signal();
            _wake.reset();
        }
        pw = pendingWrite;
    }
    if (pw)
        pw->cancel();
}

opWriteT::opWriteT(ctxPtrT ctx, dgramT data, bool message, const sockaddr* to, socklen_t toLen)
    : _ctx(std::move(ctx)), _data(std::move(data)), _message(message), _fd(_ctx->fd) {
    if (to && toLen <= sizeof _to) {
        std::memcpy(&_to, to, toLen);
        _toLen = toLen;
    }
}

opWriteT::stateT opWriteT::progress() {
    lockT<mutexT> g(_m);
    if (_state != enPENDING || !_ctx)
        return _state;
    if (_message) {
        long r = _ctx->factory->sendMsg(
            *_ctx, _data, _toLen ? reinterpret_cast<sockaddr*>(&_to) : nullptr, _toLen);
        if (r == ioFAIL)
            _state = enFAILED;
        else if (r != ioAGAIN)
            _state = enDONE;
        return _state;
    }
    while (_data.position() < _data.length()) {
        long r = _ctx->factory->writeSome(*_ctx, _data.buf() + _data.position(),
                                          _data.length() - _data.position());
        if (r == ioAGAIN)
            return _state;
        if (r <= 0) {
            _state = enFAILED;
            return _state;
        }
        _data.seek(r, enSEEK_CUR);
    }
    _state = enDONE;
    return _state;
}

opWriteT::stateT opWriteT::state() {
    lockT<mutexT> g(_m);
    return _state;
}

void opWriteT::cancel() {
    {
        lockT<mutexT> g(_m);
        if (_state == enPENDING)
            _state = enFAILED;
    }
    if (uint64_t s = serial.load())
        flusherT::instance().poke(s);
}

int waitFor(socketContextT& c, const std::shared_ptr<wakeT>& w, bool forWrite, int ms) {
    pollfd p[2];
    p[0].fd = c.factory->pollFd(c, forWrite);
    p[0].events = forWrite ? POLLOUT : POLLIN;
    p[0].revents = 0;
    nfds_t n = 1;
    if (w) {
        p[1].fd = w->fd;
        p[1].events = POLLIN;
        p[1].revents = 0;
        n = 2;
    }
    for (;;) {
        int r = ::poll(p, n, ms);
        if (r < 0) {
            if (errno == EINTR && ms < 0)
                continue;
            return errno == EINTR ? 0 : -1;
        }
        if (n == 2 && p[1].revents)
            return -1;
        if (p[0].revents & POLLNVAL)
            return -1;
        return r > 0 ? 1 : 0;
    }
}

bool finishPendingWrite(socketContextT& c) {
    std::shared_ptr<opWriteT> pw;
    {
        lockT<mutexT> g(c.mtx);
        pw = c.pendingWrite;
    }
    if (!pw)
        return true;
    opWriteT::stateT st;
    for (;;) {
        auto w = c.wake();
        st = pw->progress();
        if (st != opWriteT::enPENDING)
            break;
        if (waitFor(c, w, true, -1) < 0) {
            pw->cancel();
            st = opWriteT::enFAILED;
            break;
        }
    }
    {
        lockT<mutexT> g(c.mtx);
        if (c.pendingWrite == pw)
            c.pendingWrite.reset();
    }
    if (uint64_t s = pw->serial.load())
        flusherT::instance().poke(s);
    return st == opWriteT::enDONE;
}

namespace {
// Caller holds c->writeMtx. False when the write failed.
bool startBackgroundWrite(const ctxPtrT& c, std::shared_ptr<opWriteT> op) {
    {
        lockT<mutexT> g(c->mtx);
        c->pendingWrite = op;
    }
    if (flusherT::instance().add(op))
        return true;
    return finishPendingWrite(*c); // nobody would push it on: finish it here
}
} // namespace

namespace {
// True when a just accepted connection has already closed without sending.
bool goneEmpty(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    int n = 0;
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP)) &&
           ::ioctl(fd, FIONREAD, &n) == 0 && n == 0;
}
} // namespace

int takePeer(socketContextT& c, bool wait) {
    for (;;) {
        auto w = c.wake();
        {
            lockT<mutexT> g(c.mtx);
            if (!c.awaitPeer)
                return 1;
            if (c.shut)
                return -1;
            int fd = ::accept4(c.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0 && goneEmpty(fd)) {
                // Someone that only checked the name is in use (a rival bind's
                // probe): not a peer.
                ::close(fd);
                continue;
            }
            if (fd >= 0) {
                // The connection takes the listener's descriptor number, so
                // whoever holds that number (pollers, waiters) goes on with it.
                int r = ::dup3(fd, c.fd, O_CLOEXEC);
                ::close(fd);
                if (r < 0)
                    return -1;
                c.awaitPeer = false;
                c.connected = true;
                return 1;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR)
                return -1;
        }
        if (!wait)
            return 0;
        // In and out: a listener is never writable, the connection that may
        // replace it meanwhile nearly always is.
        pollfd p[2] = {{c.fd, POLLIN | POLLOUT, 0}, {w ? w->fd : -1, POLLIN, 0}};
        int r = ::poll(p, w ? 2 : 1, -1);
        if (r < 0 && errno != EINTR)
            return -1;
        if (w && p[1].revents)
            return -1;
    }
}

long writeBytes(const ctxPtrT& c, const void* b, long n) {
    if (n < 0)
        return -1;
    if (takePeer(*c, true) < 0)
        return -1;
    lockT<mutexT> g(c->writeMtx);
    if (!finishPendingWrite(*c))
        return -1;
    if (n == 0)
        return 0;
    long w = c->factory->writeSome(*c, b, size_t(n));
    if (w == n)
        return n;
    if (w == ioFAIL)
        return -1;
    if (w == ioAGAIN)
        w = 0;
    dgramT rest(uint32_t(n - w));
    rest.write(static_cast<const char*>(b) + w, uint32_t(n - w));
    rest.seek(0, enSEEK_SET);
    if (!startBackgroundWrite(c, std::make_shared<opWriteT>(c, std::move(rest), false, nullptr, 0)))
        return -1;
    return n;
}

bool sendMessage(const ctxPtrT& c, const dgramT& d, const sockaddr* to, socklen_t toLen) {
    lockT<mutexT> g(c->writeMtx);
    if (!finishPendingWrite(*c))
        return false;
    long r = c->factory->sendMsg(*c, d, to, toLen);
    if (r == ioFAIL)
        return false;
    if (r == ioAGAIN) {
        dgramT copy(d);
        return startBackgroundWrite(
            c, std::make_shared<opWriteT>(c, std::move(copy), true, to, toLen));
    }
    return true;
}

long readBytes(const ctxPtrT& c, void* b, long n) {
    if (n < 0)
        return -1;
    if (n == 0)
        return 0;
    if (takePeer(*c, true) < 0)
        return -1;
    adaptReadSize(*c, size_t(n));
    for (;;) {
        auto w = c->wake();
        long r = c->factory->readSome(*c, b, size_t(n));
        if (r != ioAGAIN)
            return r < 0 ? -1 : r;
        if (waitFor(*c, w, false, -1) < 0)
            return -1;
    }
}

bool recvMessage(const ctxPtrT& c, dgramT& d, sockaddr_storage* from) {
    for (;;) {
        auto w = c->wake();
        long r = c->factory->recvMsg(*c, d, from);
        if (r != ioAGAIN)
            return r == 1;
        if (waitFor(*c, w, false, -1) < 0)
            return false;
    }
}

bool acceptConn(const ctxPtrT& l, ctxPtrT& out, sockaddr_storage* peer) {
    for (;;) {
        auto w = l->wake();
        {
            lockT<mutexT> g(l->mtx);
            if (l->shut)
                return false;
        }
        long r = l->factory->accept(*l, out, peer);
        if (r != ioAGAIN)
            return r == 1;
        if (waitFor(*l, w, false, -1) < 0)
            return false;
    }
}

bool shutdownCtx(const ctxPtrT& c, int how) {
    {
        // Before the kernel's shutdown, so that whoever it wakes sees the flag.
        lockT<mutexT> g(c->mtx);
        c->shut = true;
    }
    bool ok = c->factory->shutdown(*c, how);
    c->cancel();
    return ok;
}

void adaptReadSize(socketContextT& c, size_t n) {
    lockT<mutexT> g(c.mtx);
    if (n <= c.readSize)
        return;
    size_t page = sysInfo::pageSize;
    size_t grown = (n / page + 1) * page;
    c.readSize = grown > 0xffffffffu ? 0xffffffffu : uint32_t(grown);
}

} // namespace impl
} // namespace rux
