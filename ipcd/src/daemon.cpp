#include "daemon.h"

#include <cerrno>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/names.h"
#include "ipc/wire.h"
#include "limits.h"
#include "sal/assert.h"

namespace rux {

using namespace impl;

namespace {

// Attach requests are small: two names of at most maxNameLen and the fixed part.
constexpr uint32_t kAttachBuf = 31 + 2 * ipcd::maxNameLen + 1;

int ceilMs(const timeT& t) {
    if (t.nonPositive())
        return 0;
    return int(t.ms() + (t.nsec % 1000000 ? 1 : 0));
}

} // namespace

ipcdT* ipcdT::_instance = nullptr;

mutexT& ipcdT::_imtx() {
    static mutexT* m = new mutexT; // outlives every thread that may quit late
    return *m;
}

ipcdT* ipcdT::instance() {
    lockT<mutexT> g(_imtx());
    if (!_instance)
        _instance = new ipcdT;
    return _instance;
}

void ipcdT::cleanup() {
    lockT<mutexT> g(_imtx());
    delete _instance;
    _instance = nullptr;
}

void ipcdT::quitInstance() {
    lockT<mutexT> g(_imtx());
    if (!_instance)
        _instance = new ipcdT; // the request waits for run()
    _instance->quit();
}

ipcdT::ipcdT() : _log("rux_ipcd"), _limit(ipcd::repeatWindowSec) {
    _wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    _ep = ::epoll_create1(EPOLL_CLOEXEC);
    RUX_OS_CHECK(_wake >= 0 && _ep >= 0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    RUX_OS_CHECK(::epoll_ctl(_ep, EPOLL_CTL_ADD, _wake, &ev) == 0);
}

ipcdT::~ipcdT() {
    _services.clear();
    _pending.clear();
    ::close(_ep);
    ::close(_wake);
}

void ipcdT::quit() {
    _quit = true;
    uint64_t one = 1;
    ssize_t r = ::write(_wake, &one, sizeof one);
    (void)r;
}

void ipcdT::_logLimited(int level, const std::string& text) {
    ipcd::logLimited(_log, _limit, level, "run", text);
}

bool ipcdT::_init() {
    if (!_srv.bind(daemonAddr, 128)) {
        IPCD_LOG(_log, log::CRITICAL, "_init")
            << "failed to bind local socket \"" << daemonAddr.name() << "\"\n";
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = this;
    RUX_OS_CHECK(::epoll_ctl(_ep, EPOLL_CTL_ADD, _srv.nativeHandle(), &ev) == 0);
    IPCD_LOG(_log, log::INFO, "_init") << "icpd server bound to \"" << daemonAddr.name() << "\"\n";
    return true;
}

bool ipcdT::run(const startupCfgT* cfg, const std::function<void()>& ready) {
    RUX_FAULT_IF(cfg == nullptr);
    _cfg = cfg;
    if (!_init())
        return false;
    if (ready)
        ready();
    IPCD_LOG(_log, log::INFO, "run") << "entering main loop\n";
    epoll_event evs[32];
    for (;;) {
        int ms = -1;
        if (!_pending.empty())
            ms = ceilMs(_pending.front().deadline - timeT(monCLK));
        int n = ::epoll_wait(_ep, evs, 32, ms);
        if (n < 0) {
            RUX_OS_CHECK(errno == EINTR);
            n = 0;
        }
        if (_quit) {
            IPCD_LOG(_log, log::NOTICE, "run") << "received QUIT signal, leaving main loop\n";
            break;
        }
        for (int i = 0; i < n; ++i) {
            void* who = evs[i].data.ptr;
            if (who == nullptr) {
                uint64_t v;
                ssize_t r = ::read(_wake, &v, sizeof v);
                (void)r;
            } else if (who == this) {
                _accept();
            } else {
                for (auto it = _pending.begin(); it != _pending.end(); ++it) {
                    if (&*it == who) {
                        if (_attach(*it))
                            _drop(it);
                        break;
                    }
                }
            }
        }
        timeT now(monCLK);
        while (!_pending.empty() && _pending.front().deadline <= now) {
            _logLimited(log::ERROR, "no subscription message from accepted connection after " +
                                        std::to_string(ipcd::attachTimeoutMs) +
                                        " ms --> dropping node");
            _drop(_pending.begin());
        }
    }
    _pending.clear();
    // All are told first, so that they end together rather than one by one.
    for (auto& svc : _services)
        svc.second->quit();
    _services.clear(); // joins each service thread
    IPCD_LOG(_log, log::INFO, "run") << "main loop terminated\n";
    return true;
}

void ipcdT::_accept() {
    seqSocketT conn;
    unixSockAddrT peer;
    if (!_srv.accept(conn, peer)) {
        _logLimited(log::WARNING, "failed to accept incoming connection!");
        return;
    }
    // A node refused its name comes back every 200 ms: repeats are counted.
    _logLimited(log::INFO, "accepted new connection");
    // Room for the largest datagram, and then some, towards the node.
    int sz = ipcd::sendBuffer;
    ::setsockopt(conn.nativeHandle(), SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
    if (_pending.size() >= ipcd::maxPending) {
        _logLimited(log::WARNING, "too many connections waiting for their subscription message (" +
                                      std::to_string(ipcd::maxPending) +
                                      ") --> dropping the oldest");
        _drop(_pending.begin());
    }
    _pending.push_back(pendingT{conn, timeT(monCLK) + timeT::fromMs(ipcd::attachTimeoutMs)});
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &_pending.back();
    if (::epoll_ctl(_ep, EPOLL_CTL_ADD, conn.nativeHandle(), &ev) != 0) {
        _logLimited(log::WARNING, "failed to accept incoming connection!");
        _pending.pop_back();
    }
}

void ipcdT::_drop(std::list<pendingT>::iterator it) {
    ::epoll_ctl(_ep, EPOLL_CTL_DEL, it->conn.nativeHandle(), nullptr);
    _pending.erase(it); // closes the connection unless it was handed over
}

bool ipcdT::_attach(pendingT& p) {
    char buf[kAttachBuf];
    ssize_t r = ::recv(p.conn.nativeHandle(), buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return false;
        _logLimited(log::ERROR, "failed to receive subscription message from connected node");
        return true;
    }
    if (r == 0) {
        _logLimited(log::ERROR,
                    "connected node closed connection before sending subscription message");
        return true;
    }
    dgramT d(buf, sizeof buf, uint32_t(size_t(r) < sizeof buf ? r : sizeof buf));
    int kind = ipcRawKind(d);
    if (kind >= 0 && kind != enIPC_SUBSCR) {
        _logLimited(log::ERROR, "received unexpected message type " + std::to_string(kind) +
                                    " from newly accepted connection --> dropping");
        return true;
    }
    ipcHeaderT h;
    ipcSubscrT s;
    if (size_t(r) > sizeof buf || !ipcParseSubscr(d, h, s) ||
        d.length() != 31 + s.service.size() + s.node.size()) {
        _logLimited(log::ERROR, "malformed subscription message of " + std::to_string(r) +
                                    " bytes from newly accepted connection --> dropping");
        return true;
    }
    if (s.type != ipcSubscrT::enATTACH) {
        _logLimited(log::ERROR, "received unexpected subscription type " + std::to_string(s.type) +
                                    " from newly accepted connection --> dropping");
        return true;
    }
    if (s.service.empty() || s.node.empty() || s.service.size() > ipcd::maxNameLen ||
        s.node.size() > ipcd::maxNameLen) {
        _logLimited(log::ERROR, "wrong service/node names in subscription message: \"" + s.service +
                                    "\" \"" + s.node + "\"");
        // Too long for us: say so, so that the node knows the name is the problem.
        dgramT out;
        if (!s.service.empty() && !s.node.empty() &&
            ipcBuildSubscrResponse(out, h, s, ipcSubscrT::enINVALID, 0))
            ::send(p.conn.nativeHandle(), out.buf(), out.length(), MSG_DONTWAIT | MSG_NOSIGNAL);
        return true;
    }
    auto found = _services.find(s.service);
    if (found == _services.end()) {
        std::shared_ptr<ipcdServiceT> svc;
        if (_services.size() >= ipcd::maxServices) {
            _logLimited(log::ERROR, "can't create service \"" + s.service +
                                        "\": the daemon already serves " +
                                        std::to_string(ipcd::maxServices) + " services");
        } else {
            IPCD_LOG(_log, log::INFO, "run") << "creating new service \"" << s.service << "\"\n";
            svc = ipcdServiceT::create(s.service, &_cfg->getService(s.service));
        }
        if (!svc) {
            dgramT out;
            if (ipcBuildSubscrResponse(out, h, s, ipcSubscrT::enREFUSED, 0))
                ::send(p.conn.nativeHandle(), out.buf(), out.length(), MSG_DONTWAIT | MSG_NOSIGNAL);
            return true;
        }
        found = _services.emplace(s.service, std::move(svc)).first;
    }
    _logLimited(log::DEBUG, "adding node \"" + s.node + "\"");
    if (!found->second->addNode(std::make_shared<ipcNodeT>(p.conn, s.node, 0)))
        _logLimited(log::ERROR, "can't hand node \"" + s.node + "\" over to service \"" +
                                    s.service + "\": too many nodes waiting --> dropping");
    return true;
}

} // namespace rux
