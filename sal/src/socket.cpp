#include "sal/socket.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sockctx.h"

namespace rux {

using impl::ctxPtrT;
using impl::socketContextT;

namespace {

std::atomic<uint32_t> g_dgramSz{65507};

sockaddr_in toSockaddr(const ipv4SockAddrT& a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(a.port());
    sa.sin_addr.s_addr = a.address().to_net();
    return sa;
}

bool fromSockaddr(const sockaddr_storage& ss, ipv4SockAddrT& a) {
    if (ss.ss_family != AF_INET)
        return false;
    const auto& sa = reinterpret_cast<const sockaddr_in&>(ss);
    a = ipv4SockAddrT(ipv4AddressT::from_net(sa.sin_addr.s_addr), ntohs(sa.sin_port));
    return true;
}

bool isInet(const ctxPtrT& c) {
    return c && (c->kind == socketContextT::enTCP || c->kind == socketContextT::enUDP);
}

bool isLocal(const ctxPtrT& c) {
    return c && (c->kind == socketContextT::enLOCAL_STREAM ||
                 c->kind == socketContextT::enLOCAL_SEQ || c->kind == socketContextT::enPIPE);
}

ctxPtrT newInet(int type) {
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    return std::make_shared<socketContextT>(fd, impl::sockFactory(),
                                            type == SOCK_STREAM ? socketContextT::enTCP
                                                                : socketContextT::enUDP);
}

void noDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool setInt(const ctxPtrT& c, int level, int opt, int v) {
    return c && ::setsockopt(c->fd, level, opt, &v, sizeof v) == 0;
}

bool getInt(const ctxPtrT& c, int level, int opt, int& v) {
    socklen_t len = sizeof v;
    return c && ::getsockopt(c->fd, level, opt, &v, &len) == 0;
}

bool localName(const ctxPtrT& c, bool pipe, std::string& out) {
    bool local =
        c && (c->kind == socketContextT::enLOCAL_STREAM || c->kind == socketContextT::enLOCAL_SEQ);
    if (!local || c->namedPipe != pipe)
        return false;
    out = c->name;
    return true;
}

// Connects a local stream or sequenced-packet socket; `attempts` 100 ms apart.
bool connectLocalName(ctxPtrT& ctx, const std::string& name, bool pipe, int type, int attempts) {
    socketContextT::kindT kind =
        type == SOCK_SEQPACKET ? socketContextT::enLOCAL_SEQ : socketContextT::enLOCAL_STREAM;
    if (ctx && (ctx->connected || ctx->listening || ctx->kind != kind))
        return false;
    std::string path;
    if (!impl::localPath(name, pipe, path))
        return false;
    int fd = impl::connectLocal(path, type, attempts, ctx ? ctx->fd : -1);
    if (fd < 0)
        return false;
    if (!ctx)
        ctx = std::make_shared<socketContextT>(fd, impl::sockFactory(), kind);
    ctx->name = name;
    ctx->namedPipe = pipe;
    ctx->connected = true;
    return true;
}

bool bindLocalName(ctxPtrT& ctx, const std::string& name, bool pipe, int type, int backlog) {
    if (ctx)
        return false;
    std::string path;
    if (!impl::localPath(name, pipe, path))
        return false;
    // A plain stream socket bound to a name serves the one peer that connects
    // first; until then it listens, so connects wait for it, not in vain.
    bool single = backlog < 0 && type == SOCK_STREAM;
    ctx = impl::bindLocal(path, name, type, single ? 1 : backlog);
    if (!ctx)
        return false;
    ctx->namedPipe = pipe;
    if (single) {
        ctx->listening = false;
        ctx->awaitPeer = true;
    }
    return true;
}

} // namespace

void ipv4TuneDgramSz(uint32_t size) {
    g_dgramSz = size;
}

uint32_t ipv4DgramSz() {
    return g_dgramSz;
}

// socketT

bool socketT::close() {
    _ctx.reset();
    return true;
}

bool socketT::shutdown(int how) {
    return _ctx && impl::shutdownCtx(_ctx, how);
}

long socketT::avail() {
    return _ctx ? _ctx->factory->avail(*_ctx) : -1;
}

int socketT::nativeHandle() const {
    return _ctx ? _ctx->fd : -1;
}

bool socketT::name(ipv4SockAddrT& a) const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    return isInet(_ctx) && ::getsockname(_ctx->fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0 &&
           fromSockaddr(ss, a);
}

bool socketT::peer(ipv4SockAddrT& a) const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    return isInet(_ctx) && ::getpeername(_ctx->fd, reinterpret_cast<sockaddr*>(&ss), &len) == 0 &&
           fromSockaddr(ss, a);
}

bool socketT::name(unixSockAddrT& a) const {
    std::string n;
    if (!localName(_ctx, false, n))
        return false;
    a.name(n);
    return true;
}

bool socketT::peer(unixSockAddrT& a) const {
    return name(a);
}

bool socketT::name(pipeSockAddrT& a) const {
    std::string n;
    if (!localName(_ctx, true, n))
        return false;
    a.name(n);
    return true;
}

bool socketT::peer(pipeSockAddrT& a) const {
    return name(a);
}

bool socketT::setOption(const ipv4OptLingerT& o) {
    linger l{o.on ? 1 : 0, o.sec};
    return _ctx && ::setsockopt(_ctx->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

bool socketT::setOption(const ipv4OptKeepAliveT& o) {
    if (!setInt(_ctx, SOL_SOCKET, SO_KEEPALIVE, o.on ? 1 : 0))
        return false;
    if (!o.on)
        return true;
    // One fifth of the time, in the whole seconds the kernel takes (at least 1).
    int64_t ms = o.time.ms() / 5;
    int64_t sec = ms <= 0 ? 1 : (ms + 999) / 1000;
    int s = sec > 32767 ? 32767 : int(sec);
    return setInt(_ctx, IPPROTO_TCP, TCP_KEEPIDLE, s) &&
           setInt(_ctx, IPPROTO_TCP, TCP_KEEPINTVL, s);
}

bool socketT::setOption(const ipv4OptBroadcastT& o) {
    return setInt(_ctx, SOL_SOCKET, SO_BROADCAST, o.on ? 1 : 0);
}

bool socketT::getOption(ipv4OptLingerT& o) const {
    linger l{};
    socklen_t len = sizeof l;
    if (!_ctx || ::getsockopt(_ctx->fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0)
        return false;
    o.on = l.l_onoff != 0;
    o.sec = uint16_t(l.l_linger);
    return true;
}

bool socketT::getOption(ipv4OptKeepAliveT& o) const {
    int v = 0;
    if (!getInt(_ctx, SOL_SOCKET, SO_KEEPALIVE, v))
        return false;
    o.on = v != 0;
    o.time = timeT();
    return true;
}

bool socketT::getOption(ipv4OptBroadcastT& o) const {
    int v = 0;
    if (!getInt(_ctx, SOL_SOCKET, SO_BROADCAST, v))
        return false;
    o.on = v != 0;
    return true;
}

// streamSocketT

bool streamSocketT::bind(const ipv4SockAddrT& a) {
    if (_ctx)
        return false;
    ctxPtrT c = newInet(SOCK_STREAM);
    sockaddr_in sa = toSockaddr(a);
    if (!c || ::bind(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return false;
    _ctx = std::move(c);
    return true;
}

bool streamSocketT::connect(const ipv4SockAddrT& a) {
    if (_ctx && (_ctx->kind != socketContextT::enTCP || _ctx->connected || _ctx->listening))
        return false;
    ctxPtrT c = _ctx ? _ctx : newInet(SOCK_STREAM);
    if (!c)
        return false;
    sockaddr_in sa = toSockaddr(a);
    if (::connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return false;
        _ctx = c; // so that shutdown can end the wait
        if (impl::waitFor(*c, c->wake(), true, -1) <= 0) {
            _ctx.reset();
            return false;
        }
        int err = 0;
        if (!getInt(c, SOL_SOCKET, SO_ERROR, err) || err != 0) {
            _ctx.reset();
            return false;
        }
    }
    noDelay(c->fd);
    c->connected = true;
    _ctx = std::move(c);
    return true;
}

bool streamSocketT::bind(const unixSockAddrT& a) {
    return bindLocalName(_ctx, a.name(), false, SOCK_STREAM, -1);
}

bool streamSocketT::connect(const unixSockAddrT& a) {
    return connectLocalName(_ctx, a.name(), false, SOCK_STREAM, 200);
}

bool streamSocketT::bind(const pipeSockAddrT& a) {
    return bindLocalName(_ctx, a.name(), true, SOCK_STREAM, -1);
}

bool streamSocketT::connect(const pipeSockAddrT& a) {
    return connectLocalName(_ctx, a.name(), true, SOCK_STREAM, 200);
}

bool streamSocketT::bind(const namelessPipeSockAddrT& a) {
    if (_ctx)
        return false;
    _ctx = impl::bindNamelessPipe(a.name());
    return _ctx != nullptr;
}

bool streamSocketT::connect(const namelessPipeSockAddrT& a) {
    if (_ctx)
        return false;
    _ctx = impl::connectNamelessPipe(a.name());
    return _ctx != nullptr;
}

long streamSocketT::read(void* buffer, long n) {
    if (!_ctx || _ctx->isMessage())
        return -1;
    return impl::readBytes(_ctx, buffer, n);
}

long streamSocketT::write(const void* buffer, long n) {
    if (!_ctx || _ctx->isMessage())
        return -1;
    return impl::writeBytes(_ctx, buffer, n);
}

// seqSocketT

bool seqSocketT::bind(const unixSockAddrT& a) {
    return bindLocalName(_ctx, a.name(), false, SOCK_SEQPACKET, -1);
}

bool seqSocketT::connect(const unixSockAddrT& a) {
    return connectLocalName(_ctx, a.name(), false, SOCK_SEQPACKET, 200);
}

bool seqSocketT::recv(dgramT& d, unixSockAddrT& from) {
    if (!_ctx || _ctx->kind != socketContextT::enLOCAL_SEQ || _ctx->listening)
        return false;
    if (!impl::recvMessage(_ctx, d, nullptr))
        return false;
    from.name(_ctx->name);
    return true;
}

bool seqSocketT::send(const dgramT& d, const unixSockAddrT& to) {
    if (d.length() == 0)
        return false;
    if (!_ctx || !_ctx->connected) {
        if (!connectLocalName(_ctx, to.name(), false, SOCK_SEQPACKET, 1))
            return false;
    }
    if (_ctx->kind != socketContextT::enLOCAL_SEQ)
        return false;
    return impl::sendMessage(_ctx, d, nullptr, 0);
}

// dgramSocketT

bool dgramSocketT::bind(const ipv4SockAddrT& a) {
    if (_ctx)
        return false;
    ctxPtrT c = newInet(SOCK_DGRAM);
    sockaddr_in sa = toSockaddr(a);
    if (!c || ::bind(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return false;
    _ctx = std::move(c);
    return true;
}

bool dgramSocketT::recv(dgramT& d, ipv4SockAddrT& from) {
    if (!_ctx || _ctx->kind != socketContextT::enUDP)
        return false;
    sockaddr_storage ss{};
    if (!impl::recvMessage(_ctx, d, &ss))
        return false;
    fromSockaddr(ss, from);
    return true;
}

bool dgramSocketT::send(const dgramT& d, const ipv4SockAddrT& to) {
    if (!_ctx) {
        _ctx = newInet(SOCK_DGRAM);
        if (!_ctx)
            return false;
    }
    if (_ctx->kind != socketContextT::enUDP)
        return false;
    sockaddr_in sa = toSockaddr(to);
    return impl::sendMessage(_ctx, d, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

// Listening sockets

namespace impl {

bool srvOpsT::bind(socketT& self, const ipv4SockAddrT& a, int backlog, bool seq) {
    if (self.context() || seq)
        return false;
    ctxPtrT c = newInet(SOCK_STREAM);
    if (!c)
        return false;
    setInt(c, SOL_SOCKET, SO_REUSEADDR, 1); // restart without waiting for TIME_WAIT
    sockaddr_in sa = toSockaddr(a);
    if (::bind(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(c->fd, backlog > 0 ? backlog : SOMAXCONN) != 0)
        return false;
    c->listening = true;
    self.context(std::move(c));
    return true;
}

bool srvOpsT::bind(socketT& self, const unixSockAddrT& a, int backlog, bool seq) {
    ctxPtrT c = self.context();
    if (!bindLocalName(c, a.name(), false, seq ? SOCK_SEQPACKET : SOCK_STREAM,
                       backlog > 0 ? backlog : 0))
        return false;
    self.context(std::move(c));
    return true;
}

bool srvOpsT::accept(socketT& self, socketT& out, ipv4SockAddrT& peer) {
    const ctxPtrT& l = self.context();
    if (!l || !l->listening || l->kind != socketContextT::enTCP)
        return false;
    ctxPtrT c;
    sockaddr_storage ss{};
    if (!acceptConn(l, c, &ss))
        return false;
    noDelay(c->fd);
    fromSockaddr(ss, peer);
    out.context(std::move(c));
    return true;
}

bool srvOpsT::accept(socketT& self, socketT& out, unixSockAddrT& peer) {
    const ctxPtrT& l = self.context();
    if (!l || !l->listening || !isLocal(l))
        return false;
    ctxPtrT c;
    if (!acceptConn(l, c, nullptr))
        return false;
    peer.name(l->name);
    out.context(std::move(c));
    return true;
}

} // namespace impl

} // namespace rux
