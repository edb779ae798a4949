#include "gas/console/telnet_srv.h"

#include "gas/console/telnet_session.h"

namespace rux {

std::shared_ptr<gasTelnetSrvT> gasTelnetSrvT::create() {
    return std::shared_ptr<gasTelnetSrvT>(new gasTelnetSrvT());
}

gasTelnetSrvT::gasTelnetSrvT() : _log("rux_gas") {}

gasTelnetSrvT::~gasTelnetSrvT() {
    stop();
}

bool gasTelnetSrvT::start(const ipv4SockAddrT& addr, std::shared_ptr<cliMenuT> root) {
    if (!root)
        return false;
    {
        lockT<mutexT> g(_mtx);
        if (_running || _thread.valid())
            return false;
        if (!_listener.bind(addr, 1))
            return false;
        ipv4SockAddrT bound;
        _addr = _listener.name(bound) ? bound : addr;
        _root = std::move(root);
        _stopping = false;
        _running = true;
        _thread = threadT::create("rux_gas_telnet_srv");
    }
    // Nobody asked who may connect: say so where the operator will look.
    if (addr.address().to_bytes()[0] != 127)
        loggerT::logbufT(_log, log::WARNING, "start")
            << "telnet console on " << _addr
            << " is reachable from the network without authentication\n";
    _thread.start(functorT(this, &gasTelnetSrvT::_run));
    return true;
}

void gasTelnetSrvT::stop() {
    threadT::handleT thread;
    {
        lockT<mutexT> g(_mtx);
        _stopping = true;
        _cond.signal();
        thread = std::move(_thread);
    }
    if (thread.valid()) {
        _listener.shutdown(3);
        thread->wait();
    }
    // No session is added once the server thread has ended.
    std::vector<std::shared_ptr<gasTelnetSessionT>> live;
    {
        lockT<mutexT> g(_mtx);
        for (const auto& s : _sessions)
            live.push_back(s.second);
    }
    for (const auto& s : live)
        s->shutdown();
    for (const auto& s : live)
        s->wait();
    lockT<mutexT> g(_mtx);
    _running = false;
}

bool gasTelnetSrvT::running() const {
    lockT<mutexT> g(_mtx);
    return _running && !_stopping;
}

ipv4SockAddrT gasTelnetSrvT::address() const {
    lockT<mutexT> g(_mtx);
    return _addr;
}

std::vector<gasTelnetSrvT::sessionInfoT> gasTelnetSrvT::sessions() const {
    std::vector<sessionInfoT> out;
    lockT<mutexT> g(_mtx);
    for (const auto& s : _sessions)
        out.push_back({s.first, s.second->name()});
    return out;
}

std::shared_ptr<gasTelnetSessionT> gasTelnetSrvT::session(uint32_t sid) const {
    lockT<mutexT> g(_mtx);
    auto it = _sessions.find(sid);
    return it == _sessions.end() ? nullptr : it->second;
}

std::shared_ptr<gasTelnetSessionT> gasTelnetSrvT::current() const {
    lockT<mutexT> g(_mtx);
    for (const auto& s : _sessions)
        if (s.second->current())
            return s.second;
    return nullptr;
}

bool gasTelnetSrvT::kill(uint32_t sid) {
    auto s = session(sid);
    if (!s)
        return false;
    s->shutdown();
    return true;
}

void gasTelnetSrvT::_run() {
    loggerT::logbufT(_log, log::NOTICE, "_run")
        << "telnet server listening on " << address() << "\n";
    bool failing = false;
    for (;;) {
        streamSocketT sock;
        ipv4SockAddrT peer;
        const bool ok = _listener.accept(sock, peer);
        lockT<mutexT> g(_mtx);
        if (_stopping)
            break;
        if (!ok) {
            // Out of descriptors or memory, a connection reset while queued:
            // none of it is the end of the console.
            if (!failing)
                loggerT::logbufT(_log, log::WARNING, "_run")
                    << "failed to accept a connection, retrying\n";
            failing = true;
            _cond.wait(_mtx, timeT::fromMs(retryMs));
            continue;
        }
        failing = false;
        _accepted(std::move(sock), peer);
    }
}

// Called with _mtx held, so the session is in the map before its thread can
// take itself out.
void gasTelnetSrvT::_accepted(streamSocketT sock, const ipv4SockAddrT& peer) {
    loggerT::logbufT(_log, log::NOTICE, "_run") << "accepted new connection from " << peer << "\n";
    if (_sessions.size() >= maxSessions) {
        loggerT::logbufT(_log, log::WARNING, "_run")
            << "refused connection from " << peer << ": " << maxSessions
            << " telnet sessions are active\n";
        static const char refusal[] = "too many telnet sessions, try again later\r\n";
        sock.write(refusal, sizeof refusal - 1);
        return; // the write finishes before the last handle closes the socket
    }
    ipv4OptKeepAliveT keep;
    keep.on = true;
    keep.time = timeT::fromMs(100);
    sock.setOption(keep);
    ipv4OptLingerT linger;
    linger.on = true;
    linger.sec = 10;
    sock.setOption(linger);
    auto s = std::make_shared<gasTelnetSessionT>(peer.to_string(), shared_from_this());
    if (!s->start(std::move(sock), _root))
        return;
    _sessions[s->sid()] = s;
}

void gasTelnetSrvT::_remove(uint32_t sid, const gasTelnetSessionT* s) {
    std::shared_ptr<gasTelnetSessionT> gone;
    lockT<mutexT> g(_mtx);
    auto it = _sessions.find(sid);
    if (it != _sessions.end() && it->second.get() == s) {
        gone = std::move(it->second);
        _sessions.erase(it);
    }
    // `gone` is released after the lock (declared before the guard).
}

} // namespace rux
