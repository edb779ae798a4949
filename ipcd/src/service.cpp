#include "service.h"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "limits.h"
#include "sal/assert.h"

namespace rux {

using ipcd::maxDgram;

namespace {

// What a queued datagram costs its sender beyond its bytes (entry, storage
// header), so that floods of tiny datagrams are bounded too.
constexpr uint32_t kEntryCost = 64;

// Whole milliseconds, rounded up so that a wait never ends before a deadline.
int ceilMs(const timeT& t) {
    if (t.nonPositive())
        return 0;
    int64_t ms = t.ms() + (t.nsec % 1000000 ? 1 : 0);
    return ms > 0x7fffffff ? 0x7fffffff : int(ms);
}

bool wouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == ENOBUFS;
}

} // namespace

std::shared_ptr<ipcdServiceT> ipcdServiceT::create(const std::string& name,
                                                   const startupCfgT::serviceInfoT* info) {
    RUX_FAULT_IF(info == nullptr);
    std::shared_ptr<ipcdServiceT> svc(new ipcdServiceT(name, *info));
    if (svc->_ep < 0 || svc->_ctl < 0)
        return nullptr;
    svc->_thread = threadT::create(name);
    svc->_thread.start(functorT([s = svc.get()] { s->_run(); }));
    // Refused without the privilege for it; the service runs all the same.
    svc->_thread->priority(threadT::prioClassT(info->osPrioClass), info->osPrio);
    return svc;
}

ipcdServiceT::ipcdServiceT(const std::string& name, const startupCfgT::serviceInfoT& info)
    : ipcdRouterT(name, info), _queue(info.holdTimes), _rbuf(new char[maxDgram]) {
    _ep = ::epoll_create1(EPOLL_CLOEXEC);
    _ctl = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_ep >= 0 && _ctl >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        RUX_OS_CHECK(::epoll_ctl(_ep, EPOLL_CTL_ADD, _ctl, &ev) == 0);
    }
}

ipcdServiceT::~ipcdServiceT() {
    quit();
    if (_thread.valid())
        _thread->wait();
    if (_ep >= 0)
        ::close(_ep);
    if (_ctl >= 0)
        ::close(_ctl);
}

bool ipcdServiceT::addNode(std::shared_ptr<ipcNodeT> node) {
    {
        lockT<mutexT> g(_hmtx);
        if (_handover.size() >= ipcd::maxHandOver)
            return false;
        _handover.push_back(std::move(node));
    }
    uint64_t one = 1;
    ssize_t r = ::write(_ctl, &one, sizeof one);
    (void)r; // a counter at its limit is readable anyway
    return true;
}

void ipcdServiceT::quit() {
    _quit = true;
    uint64_t one = 1;
    ssize_t r = ::write(_ctl, &one, sizeof one);
    (void)r;
}

void ipcdServiceT::_run() {
    IPCD_LOG(_log, log::DEBUG, "_run") << _info;
    epoll_event evs[64];
    for (;;) {
        int ms = _queue.empty() ? -1 : ceilMs(_holdUntil - timeT(monCLK));
        int n = ::epoll_wait(_ep, evs, 64, ms);
        if (n < 0) {
            RUX_OS_CHECK(errno == EINTR);
            n = 0;
        }
        bool ctrl = false;
        _debug = _log.level() >= log::DEBUG;
        // What several nodes sent together leaves by priority: a datagram
        // skips the queues only when it is the one read in this wake-up.
        int readers = 0;
        for (int i = 0; i < n; ++i)
            readers += evs[i].data.ptr ? 1 : 0;
        // Nodes cut off meanwhile stay alive (held by _dead) until _reap.
        for (int i = 0; i < n; ++i) {
            ipcNodeT* raw = static_cast<ipcNodeT*>(evs[i].data.ptr);
            if (!raw) {
                ctrl = true;
                continue;
            }
            if (raw->gone || raw->paused)
                continue;
            std::shared_ptr<ipcNodeT> node = raw->shared_from_this();
            if (!_schedule(node, readers == 1))
                _disconnect(node);
        }
        _reap();
        _dispatch();
        if (ctrl || _ctrlPending) {
            _ctrlPending = false;
            if (!_handleCtrl())
                break;
        }
        if (_quit)
            break;
    }
    IPCD_LOG(_log, log::NOTICE, "_run") << "service " << _name << " terminated\n";
}

bool ipcdServiceT::_handleCtrl() {
    uint64_t v;
    ssize_t r = ::read(_ctl, &v, sizeof v);
    (void)r;
    if (_quit)
        return false;
    std::vector<std::shared_ptr<ipcNodeT>> nodes;
    {
        lockT<mutexT> g(_hmtx);
        nodes.swap(_handover);
    }
    for (auto& node : nodes) {
        _doAddNode(node, 0);
        _reap();
        if (_quit)
            return false;
    }
    return true;
}

bool ipcdServiceT::_schedule(const std::shared_ptr<ipcNodeT>& node, bool alone) {
    ssize_t r = ::recv(node->fd(), _rbuf.get(), maxDgram, MSG_DONTWAIT | MSG_TRUNC);
    if (r < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (r == 0)
        return false; // the peer closed (nodes never send empty datagrams)
    if (size_t(r) > maxDgram) {
        std::string text = "datagram of " + std::to_string(r) + " bytes from node \"" + node->name +
                           "\" exceeds the largest of " + std::to_string(maxDgram) +
                           " bytes --> discarding";
        _logLimited(log::WARNING, "_schedule", text);
        return true;
    }
    dgramT view(_rbuf.get(), maxDgram, uint32_t(r));
    unsigned prio;
    if (!_accept(view, *node, prio))
        return true;
    timeT now(monCLK);
    if (alone && _queue.passes(prio, now)) {
        // Nothing more urgent waits: no need to queue it.
        _queue.taken(prio, now);
        _route(view, *node);
        return true;
    }
    dgramT copy{uint32_t(r)};
    std::memcpy(copy.buf(), _rbuf.get(), size_t(r));
    copy.trunc(uint32_t(r));
    node->queuedBytes += uint32_t(r) + kEntryCost;
    ++node->queuedCount;
    _queue.push(prio, ipcd::holdQueueT::entryT{std::move(copy), node});
    if (node->queuedBytes > ipcd::maxQueuedPerNode && !node->paused) {
        _logLimited(log::WARNING, "_schedule",
                    "node \"" + node->name + "\" has more than " +
                        std::to_string(ipcd::maxQueuedPerNode) +
                        " bytes queued, not reading it until they drain");
        _pause(*node, true);
    }
    return true;
}

void ipcdServiceT::_dispatch() {
    while (!_quit && !_queue.empty()) {
        ipcd::holdQueueT::entryT e;
        timeT wait;
        timeT now(monCLK);
        ipcd::holdQueueT::nextT r = _queue.next(now, e, wait);
        if (r == ipcd::holdQueueT::enEMPTY)
            return;
        if (r == ipcd::holdQueueT::enHELD) {
            _holdUntil = now + wait;
            return;
        }
        _route(e.dgram, *e.from);
        _unqueued(*e.from, e.dgram.length() + kEntryCost);
        _reap();
    }
}

void ipcdServiceT::_unqueued(ipcNodeT& node, uint32_t cost) {
    node.queuedBytes -= cost;
    --node.queuedCount;
    if (node.paused && !node.gone && node.queuedBytes <= ipcd::resumeQueuedPerNode)
        _pause(node, false);
    if (node.gone && node.closed && node.queuedCount == 0)
        _releaseNode(node.shared_from_this()); // its last datagram is out
}

void ipcdServiceT::_watch(ipcNodeT& node) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &node;
    if (::epoll_ctl(_ep, EPOLL_CTL_ADD, node.fd(), &ev) != 0) {
        // No room in the kernel for one more: treat it as gone at once.
        node.watched = true;
        _cutOff(node);
        return;
    }
    node.watched = true;
}

void ipcdServiceT::_pause(ipcNodeT& node, bool pause) {
    if (pause) {
        ::epoll_ctl(_ep, EPOLL_CTL_DEL, node.fd(), nullptr);
        node.paused = true;
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &node;
    node.paused = false;
    if (::epoll_ctl(_ep, EPOLL_CTL_ADD, node.fd(), &ev) != 0)
        _cutOff(node);
}

void ipcdServiceT::_cutOff(ipcNodeT& node) {
    if (node.gone)
        return;
    node.gone = true;
    if (node.fd() >= 0)
        ::shutdown(node.fd(), SHUT_RDWR);
    // A closed descriptor does not wake our own epoll: it is handled here.
    if (node.watched)
        _dead.push_back(node.shared_from_this());
}

void ipcdServiceT::_reap() {
    while (!_dead.empty()) {
        std::vector<std::shared_ptr<ipcNodeT>> dead;
        dead.swap(_dead);
        for (auto& node : dead)
            _disconnect(node);
    }
}

void ipcdServiceT::_disconnect(const std::shared_ptr<ipcNodeT>& node) {
    if (node->closed)
        return;
    node->closed = true;
    node->gone = true;
    IPCD_LOG(_log, log::NOTICE, "_run") << "node \"" << node->name << "\" disconnected\n";
    if (node->watched && !node->paused)
        ::epoll_ctl(_ep, EPOLL_CTL_DEL, node->fd(), nullptr);
    node->watched = false;
    node->close();
    // Datagrams it sent before leaving are still routed; its name goes after.
    if (node->queuedCount == 0)
        _releaseNode(node);
}

bool ipcdServiceT::_deliverMsg(const dgramT& d, ipcNodeT& node, bool control) {
    if (node.gone)
        return false;
    for (;;) {
        ssize_t r = ::send(node.fd(), d.buf(), d.length(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0)
            return true;
        if (errno == EINTR)
            continue;
        if (wouldBlock(errno))
            return _handleCongestion(d, node, control);
        _logLimited(log::ERROR, "_deliverMsg",
                    "can't send message to node \"" + node.name + "\": socket error");
        return false;
    }
}

bool ipcdServiceT::_handleCongestion(const dgramT& d, ipcNodeT& node, bool control) {
    _logLimited(log::WARNING, "_deliverMsg",
                "destination socket of node \"" + node.name + "\" is full, handling congestion...");
    int policy = _info.congestion;
    // Losing a presence notification or an answer would leave the node with a
    // wrong picture for good; a node that cannot take one is cut off instead,
    // and gets a fresh picture when it attaches again.
    if (policy == startupCfgT::enDROP && control)
        policy = startupCfgT::enKILL;
    if (policy == startupCfgT::enDROP) {
        _logLimited(log::WARNING, "_handleCongestion",
                    "message to \"" + node.name +
                        "\" was dropped according to congestion control policy");
        return false;
    }
    bool forever = policy == startupCfgT::enWAIT;
    int64_t killMs = int64_t(_info.killTimeout.sec) * 1000 + _info.killTimeout.nsec / 1000000;
    if (forever)
        IPCD_LOG(_log, log::WARNING, "_handleCongestion")
            << "waiting node \"" << node.name << "\" to exit from congested state (infinite)\n";
    else
        IPCD_LOG(_log, log::WARNING, "_handleCongestion")
            << "waiting node \"" << node.name << "\" to exit from congested state (" << killMs
            << " ms)\n";
    timeT deadline = timeT(monCLK) + _info.killTimeout;
    for (;;) {
        int left = forever ? -1 : ceilMs(deadline - timeT(monCLK));
        int w = left == 0 ? 0 : _waitWritable(node, left);
        if (w > 0) {
            ssize_t r = ::send(node.fd(), d.buf(), d.length(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r >= 0) {
                if (!forever) {
                    IPCD_LOG(_log, log::INFO, "_handleCongestion")
                        << "waiting node \"" << node.name << "\" resumed from congested state\n";
                }
                return true;
            }
            if (wouldBlock(errno) || errno == EINTR)
                continue; // room, but not yet enough for this one
            _logLimited(log::ERROR, "_deliverMsg",
                        "can't send message to node \"" + node.name + "\": socket error");
            return false;
        }
        if (w == 0) {
            IPCD_LOG(_log, log::ERROR, "_handleCongestion")
                << "node \"" << node.name
                << "\" is still congested after kill timeout and will be disconnected from "
                   "service\n";
            _cutOff(node);
            return false;
        }
        if (w == -1)
            _cutOff(node); // it hung up while we waited
        return false;
    }
}

int ipcdServiceT::_waitWritable(ipcNodeT& node, int ms) {
    timeT deadline = timeT(monCLK) + timeT::fromMs(ms < 0 ? 0 : ms);
    pollfd p[2] = {{node.fd(), POLLOUT, 0}, {_ctl, POLLIN, 0}};
    for (;;) {
        int left = ms < 0 ? -1 : ceilMs(deadline - timeT(monCLK));
        p[0].revents = p[1].revents = 0;
        int r = ::poll(p, 2, left);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (p[1].revents) {
            // Hand-overs wait for the service loop; only quit ends the wait.
            uint64_t v;
            ssize_t n = ::read(_ctl, &v, sizeof v);
            (void)n;
            _ctrlPending = true;
            if (_quit)
                return -2;
        }
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return -1;
        if (p[0].revents & POLLOUT)
            return 1;
        if (r == 0 || (ms >= 0 && left == 0))
            return 0;
    }
}

} // namespace rux
