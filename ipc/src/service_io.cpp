// The I/O thread of a service: connecting and attaching, receiving and
// dispatching datagrams, sending scheduled output, and resetting after a lost
// connection.
#include <algorithm>
#include <cerrno>
#include <random>
#include <sstream>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipc/names.h"
#include "service_impl.h"
#include "service_log.h"

namespace rux {
namespace impl {

namespace {

threadT::prioT threadPrio(const startupCfgT::serviceInfoT& cfg) {
    threadT::prioClassT cls =
        cfg.osPrioClass == startupCfgT::enREALTIME ? threadT::enRT : threadT::enNORMAL;
    return threadT::prioT(cls, std::min(cfg.osPrio, threadT::prioT::maxVal));
}

uint32_t randomStart() {
    std::random_device rd;
    uint32_t v = rd();
    return v == 0 ? 1 : v;
}

// Connection numbers are unique in the process, so that a wait set armed for
// one service's connection is never taken for another's.
uint64_t nextConn() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

} // namespace

int ipcServiceT::pollMs(const timeT& t) {
    if (t.nonPositive())
        return 0;
    int64_t ms = t.ms() + (t.nsec % 1000000 ? 1 : 0);
    return ms > 0x7fffffff ? 0x7fffffff : int(ms);
}

ipcServiceT::ipcServiceT(const std::string& service, const startupCfgT::serviceInfoT& cfg)
    : _service(service), _log("ipc::" + service), _lastIvk(randomStart()), _rxBuf(localMsgMax),
      _prio(threadPrio(cfg)) {
    _toWake.reserve(16);
    _log.level(cfg.logLevel);
    _sched.configure(cfg.holdTimes, cfg.queueDim);
    _rxBuf.buf(); // the one receive buffer, made now
    _dec = std::make_unique<decouplerT>(
        "ipc::" + service + "::decoupler", [this](callerT& c) { _execute(c); },
        [this](const callerT& c, const char* what) { _callbackFailed(c, what); },
        [this](waitSetT& ws) { _decIdle(ws); });
    if (!(_prio == threadT::prioT()))
        _dec->thread()->priority(_prio.cls(), _prio.level());
    IPC_LOG(_log, log::INFO) << "service created\n";
    IPC_LOG(_log, log::DEBUG) << "configuration:\n" << cfg;
}

ipcServiceT::~ipcServiceT() {
    _halt();
}

void ipcServiceT::_halt() {
    // The running callback finishes first, so that a reply it returns leaves.
    _dec->stop(1000);
    _shutdown();
}

void ipcServiceT::_wake() {
    _ioWait.wake();
}

bool ipcServiceT::_pause(int ms) {
    // Not connected: the set holds the wake-up counter alone.
    return (_ioWait.wait(ms) & waitSetT::enWOKEN) != 0;
}

void ipcServiceT::_decIdle(waitSetT& ws) {
    if (!(ws.wait(-1) & waitSetT::enSOCKET))
        return;
    std::unique_lock<mutexT> g(_mtx);
    if (_quit || _fd < 0 || ws.conn != _conn)
        return;
    // One datagram per wake-up: when more wait, the next wait returns at once,
    // and when none does (the usual case) no receive is wasted on finding out.
    _readAndWake(nullptr, true, 1, g);
}

void ipcServiceT::_run() {
    for (;;) {
        bool connected;
        {
            lockT<mutexT> g(_mtx);
            if (_quit)
                break;
            connected = _fd >= 0; // a reader that loses the connection resets it
        }
        if (!connected) {
            if (!_doConnect())
                _pause(retryMs);
            continue;
        }
        _doIO();
    }
    IPC_LOG(_log, log::NOTICE) << "quit!\n";
    lockT<mutexT> g(_mtx);
    // What the kernel takes without waiting still leaves: a node that sends
    // and then exits expects its last messages delivered.
    _doFlushOut();
    _reset();
    // Closed at once, so that the calls it ended report the shutdown.
    _state = enCLOSED;
}

bool ipcServiceT::_doConnect() {
    std::string node;
    {
        lockT<mutexT> g(_mtx);
        node = _node;
    }
    seqSocketT sock;
    dgramT att;
    if (!ipcBuildAttach(att, _service, node)) {
        IPC_LOG(_log, log::ERROR) << "node name \"" << node << "\" cannot be sent\n";
        return false;
    }
    if (!sock.send(att, daemonAddr)) {
        if (!sock.isOpen()) {
            IPC_LOG(_log, log::DEBUG) << "waiting to connect to ipc daemon...\n";
        } else {
            IPC_LOG(_log, log::DEBUG) << "failed to send data to ipc daemon, retrying...\n";
        }
        return false;
    }
    int fd = sock.nativeHandle();

    // The answer, within a bound and open to a quit. Small: it names this node.
    char ans[1024];
    timeT until = timeT(monCLK) + timeT::fromMs(answerMs);
    long n = -1;
    for (;;) {
        timeT left = until - timeT(monCLK);
        if (left.nonPositive()) {
            IPC_LOG(_log, log::ERROR) << "failed to receive subscription message from daemon\n";
            return false;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {_ioWait.wakeFd(), POLLIN, 0}};
        int r = ::poll(p, 2, pollMs(left));
        if (r < 0 && errno != EINTR) {
            IPC_LOG(_log, log::ERROR) << "failed to receive subscription message from daemon\n";
            return false;
        }
        if (r > 0 && p[1].revents) {
            uint64_t v;
            ssize_t k = ::read(_ioWait.wakeFd(), &v, sizeof v);
            (void)k;
            lockT<mutexT> g(_mtx);
            if (_quit)
                return false;
        }
        if (r > 0 && p[0].revents) {
            n = ::recv(fd, ans, sizeof ans, MSG_DONTWAIT | MSG_TRUNC);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                break;
        }
    }
    if (n < 0) {
        IPC_LOG(_log, log::ERROR) << "failed to receive subscription message from daemon\n";
        return false;
    }
    ipcHeaderT h;
    ipcSubscrT s;
    dgramT view(ans, sizeof ans, uint32_t(std::min<long>(n, long(sizeof ans))));
    if (n == 0 || n > long(sizeof ans) || !ipcParseSubscr(view, h, s) ||
        s.type != ipcSubscrT::enATTACH) {
        IPC_LOG(_log, log::ERROR) << "received invalid subscription response\n";
        return false;
    }

    lockT<mutexT> g(_mtx);
    if (_quit)
        return false;
    if (s.status != ipcSubscrT::enACCEPTED) {
        if (s.status == ipcSubscrT::enINVALID) {
            IPC_LOG(_log, log::DEBUG) << "daemon replied \"invalid service/node name\" --> \""
                                      << _service << ":" << node << "\"\n";
        } else if (s.status == ipcSubscrT::enREFUSED) {
            IPC_LOG(_log, log::DEBUG) << "daemon replied \"node name already bound\" --> \""
                                      << _service << ":" << node << "\"\n";
        } else {
            IPC_LOG(_log, log::ERROR) << "daemon replied with unknown status " << s.status
                                      << " --> \"" << _service << ":" << node << "\"\n";
        }
        _err = 1;
        _state = enCLOSED;
        _condState.signal();
        return false;
    }
    _sock = sock;
    _fd = fd;
    _ownId = h.dstId;
    _conn = nextConn();
    // The idle decoupler ahead of the I/O thread: a request wakes the thread
    // that runs the receiver.
    _decOneWay = 0;
    _ioArmFailed = false;
    _dec->waitSet().arm(fd, _conn);
    if (!_ioWait.arm(fd, _conn)) {
        IPC_LOG(_log, log::ERROR) << "cannot watch the connection with ipc daemon\n";
        _reset();
        return false;
    }
    _err = 0;
    _state = enCONNECTING; // also after a refusal: bound once the aliases are back
    _blocked = false;
    _names.setEntry(_node, _ownId);
    // The aliases are asked for again outside the bounded queues; the service
    // stays "connecting" until the daemon has answered every one of them.
    for (const std::string& alias : _aliases) {
        dgramT req;
        uint32_t ivk = _nextIvk();
        if (!ipcBuildAliasRequest(req, ipcSubscrT::enBIND, _service, alias, _ownId, ivk))
            continue;
        _ctrlOut.push_back(std::move(req));
        _rebinds[ivk] = alias;
    }
    if (_rebinds.empty()) {
        _rebindDone();
    } else {
        _rebindUntil = timeT(monCLK) + timeT::fromMs(answerMs);
        // Entries that could not be asked for count as failed right away.
        std::set<std::string> asked;
        for (auto& r : _rebinds)
            asked.insert(r.second);
        for (auto it = _aliases.begin(); it != _aliases.end();) {
            if (!asked.count(*it)) {
                IPC_LOG(_log, log::ERROR) << "failed to rebind alias \"" << *it << "\"\n";
                it = _aliases.erase(it);
            } else {
                ++it;
            }
        }
        if (!_doFlushOut()) {
            IPC_LOG(_log, log::ERROR) << "connection lost with ipc daemon...\n";
            _reset();
            return false;
        }
    }
    return true;
}

void ipcServiceT::_rebindDone() {
    if (_fd < 0 || _state != enCONNECTING)
        return;
    _state = enBOUND;
    _condState.signal();
}

bool ipcServiceT::_doIO() {
    int timeout = -1;
    int fd;
    uint64_t conn;
    {
        lockT<mutexT> g(_mtx);
        if (_fd < 0)
            return false;
        fd = _blocked ? _fd : -1;
        conn = _conn;
        if (_outPending && !_blocked && !_holdWait.nonPositive())
            timeout = pollMs(_holdWait);
        if (!_rebinds.empty()) {
            int rest = pollMs(_rebindUntil - timeT(monCLK));
            timeout = timeout < 0 ? rest : std::min(timeout, rest);
        }
    }
    // The set's socket (watched with the other readers) and its wake-up; the
    // socket itself only while waiting for room to write.
    pollfd p[2] = {{_ioWait.pollFd(), POLLIN, 0}, {fd, POLLOUT, 0}};
    int r = ::poll(p, 2, timeout);
    if (r < 0 && errno != EINTR) {
        IPC_LOG(_log, log::ERROR) << "connection lost with ipc daemon...\n";
        lockT<mutexT> g(_mtx);
        if (_conn == conn && _fd >= 0)
            _reset();
        return false;
    }
    if (r > 0 && p[0].revents)
        _ioWait.wait(0); // takes the wake-up
    std::unique_lock<mutexT> g(_mtx);
    if (_quit || _fd < 0 || _conn != conn)
        return true; // quitting, or another reader saw the connection go
    if (r > 0 && (p[1].revents & POLLOUT))
        _blocked = false;
    if (r > 0)
        _readAndWake(nullptr, false, 64, g);
    if (!g.owns_lock())
        g.lock();
    if (_quit || _fd < 0 || _conn != conn)
        return true;
    if (_ioArmFailed) {
        IPC_LOG(_log, log::ERROR) << "cannot watch the connection with ipc daemon\n";
        _reset();
        return false;
    }
    if (!_doFlushOut()) {
        IPC_LOG(_log, log::ERROR) << "connection lost with ipc daemon...\n";
        _reset();
        return false;
    }
    if (!_rebinds.empty() && !(timeT(monCLK) < _rebindUntil)) {
        for (auto& rb : _rebinds) {
            IPC_LOG(_log, log::ERROR) << "failed to rebind alias \"" << rb.second << "\"\n";
            _names.delEntry(rb.second);
            _aliases.erase(rb.second);
        }
        _rebinds.clear();
        _rebindDone();
    }
    return true;
}

void ipcServiceT::_readSome(callT* own, bool forDec, int max) {
    bool lost = false;
    _ioHandling = true;
    _selfCall = own;
    uint64_t requests = _requests;
    size_t backlog = _backlog.load();
    // Each datagram in one call into the same buffer.
    // At least one: a reader woken by the socket may be the only one woken.
    for (int i = 0; i < max && !lost; ++i) {
        if (i > 0 && own && own->done.load(std::memory_order_relaxed))
            break;
        if (forDec && _requests != requests)
            break;
        long n = ::recv(_fd, _rxBuf.buf(), _rxBuf.capacity(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            lost = true;
        } else if (n == 0) {
            lost = true; // the daemon closed the connection
        } else if (n > long(_rxBuf.capacity())) {
            IPC_LOG(_log, log::ERROR) << "received message of size " << n
                                      << " beyond the largest of " << localMsgMax << "\n";
            lost = true;
        } else {
            lost = !_handleDgram(_rxBuf.buf(), uint32_t(n));
        }
    }
    _ioHandling = false;
    _selfCall = nullptr;
    if (forDec && !lost && _requests == requests && _backlog.load() > backlog &&
        ++_decOneWay >= streamRun) {
        _decReads(false);
        _wake(); // the I/O thread takes over whatever is waiting already
    }
    if (lost) {
        IPC_LOG(_log, log::ERROR) << "connection lost with ipc daemon...\n";
        _reset();
        _wake(); // the I/O thread reconnects
    }
}

void ipcServiceT::_decReads(bool on) {
    waitSetT& dec = _dec->waitSet();
    if (!on) {
        dec.disarm();
        return;
    }
    if (_fd < 0 || dec.conn == _conn)
        return;
    // Behind the callers, ahead of the I/O thread.
    dec.arm(_fd, _conn);
    _armIo();
}

void ipcServiceT::_armIo() {
    if (_fd < 0 || _ioWait.conn != _conn || _ioWait.rearm())
        return;
    _ioArmFailed = true;
    _wake();
}

void ipcServiceT::_readAndWake(callT* own, bool forDec, int max, std::unique_lock<mutexT>& g) {
    if (!_quit && _fd >= 0)
        _readSome(own, forDec, max);
    bool dec = _decLater;
    _decLater = false;
    if (_toWake.empty()) {
        g.unlock();
    } else {
        // Swapped out under the lock: another reader may fill the list meanwhile.
        thread_local std::vector<std::shared_ptr<waitSetT>> wakes;
        wakes.swap(_toWake);
        g.unlock();
        for (auto& w : wakes)
            w->wakeIfSleeping();
        wakes.clear();
    }
    if (dec)
        _dec->wake();
}

bool ipcServiceT::_handleDgram(const char* data, uint32_t len) {
    IPC_LOG(_log, log::DEBUG) << "received message of size " << len << "\n";
    dgramT view(const_cast<char*>(data), len, len);
    int kind = ipcRawKind(view);
    switch (kind) {
    case enIPC_USER: {
        ipcHeaderT h;
        if (!ipcParseHeader(view, h)) {
            IPC_LOG(_log, log::WARNING) << "received malformed user message --> discarding\n";
            return true;
        }
        return _handleUserMsg(h, data, len);
    }
    case enIPC_SUBSCR:
        return _handleSubscrMsg(view);
    case enIPC_NOTIF:
        return _handleNotifMsg(view);
    case enIPC_DNS:
        return true;
    default:
        IPC_LOG(_log, log::DEBUG) << "unknown message type (" << kind << ") --> discarding\n";
        return false;
    }
}

bool ipcServiceT::_handleUserMsg(const ipcHeaderT& h, const char* data, uint32_t len) {
    IPC_LOG(_log, log::DEBUG) << "received user message\n";
    bool forward = h.dstId != _ownId && !h.syncFwd;
    const std::string& src = _names.name(h.srcId);
    if (src.empty()) {
        IPC_LOG(_log, log::WARNING) << "received message from unknown sender (" << h.srcId << ")\n";
        return true;
    }
    if (h.reply && !forward) {
        IPC_LOG(_log, log::DEBUG) << "received reply\n";
        for (callT* c : _calls)
            if (c->ivkId == h.ivkId) {
                _complete(c, enANSWERED, data, len);
                return true;
            }
        IPC_LOG(_log, log::DEBUG) << "discarding answer to synchronous message " << h.ivkId
                                  << " because no one is still waiting for it\n";
        return true;
    }
    IPC_LOG(_log, log::DEBUG) << "received unsolicited message\n";
    dgramT d(len);
    d.write(data, len);
    _deliver(h, std::move(d), forward, src);
    return true;
}

bool ipcServiceT::_backlogFull(uint32_t bytes) const {
    return _backlog.load() >= backlogMax || _backlogBytes.load() + bytes > backlogBytesMax;
}

void ipcServiceT::_backlogAdd(uint32_t bytes) {
    _backlog.fetch_add(1);
    _backlogBytes.fetch_add(bytes);
}

void ipcServiceT::_backlogSub(uint32_t bytes) {
    _backlog.fetch_sub(1);
    _backlogBytes.fetch_sub(bytes);
}

void ipcServiceT::_deliver(const ipcHeaderT& h, dgramT&& d, bool forward,
                           const std::string& src) {
    static const std::string none;
    // The name it was sent to matters to a forward and to pulling only.
    const std::string& dst = forward || !_receiver ? _names.name(h.dstId) : none;
    uint32_t bytes = d.length();
    // Replies and requests are bounded by their senders' waits; one-way
    // messages are not, so they are the ones that give way.
    bool oneWay = !h.reply && h.ivkId == 0;
    if (oneWay && _backlogFull(bytes)) {
        if (_dropped++ == 0) {
            IPC_LOG(_log, log::WARNING)
                << "incoming backlog full (" << _backlog.load()
                << " messages) --> dropping one-way messages, the first from \"" << src << "\"\n";
        }
        return;
    }
    if (_dropped) {
        IPC_LOG(_log, log::WARNING)
            << _dropped << " one-way messages dropped while the incoming backlog was full\n";
        _dropped = 0;
    }
    if (!_receiver) {
        IPC_LOG(_log, log::DEBUG) << "queuing message\n";
        _inQueue.push_back(inItemT{std::move(d), src, dst, forward});
        _backlogAdd(bytes);
        _condIn.signal();
        return;
    }
    callerT c;
    if (forward) {
        if (dst.empty()) {
            IPC_LOG(_log, log::WARNING)
                << "received message for unknown node (" << h.dstId << ")\n";
            return;
        }
        IPC_LOG(_log, log::DEBUG) << "message has to be forwarded\n";
        c.kind = callerT::enFWD;
        c.dst = dst;
    } else {
        c.kind = h.ivkId != 0 ? callerT::enSYNC : callerT::enASYNC;
    }
    c.receiver = _receiver;
    c.msg = ipcMessageT::create(std::move(d));
    c.src = src;
    c.conn = _conn;
    c.bytes = bytes;
    _backlogAdd(bytes);
    IPC_LOG(_log, log::DEBUG) << "calling receiver\n";
    if (h.ivkId != 0) {
        ++_requests;
        _decOneWay = 0;
        _decReads(true);
    }
    _decLater = _decLater || _ioHandling;
    _dec->push(std::move(c), !_ioHandling);
}

void ipcServiceT::_queueEvent(int type, const std::string& node) {
    callerT c;
    c.kind = callerT::enEVENT;
    c.handler = _handler;
    c.event = ipcEventT{type, _service, node};
    _decLater = _decLater || _ioHandling;
    _dec->push(std::move(c), !_ioHandling);
}

bool ipcServiceT::_handleSubscrMsg(const dgramT& d) {
    IPC_LOG(_log, log::DEBUG) << "received subscription response...\n";
    ipcHeaderT h;
    ipcSubscrT s;
    if (!ipcParseSubscr(d, h, s) || !h.reply) {
        IPC_LOG(_log, log::ERROR) << "received invalid subscription message\n";
        return false;
    }
    auto rb = _rebinds.find(h.ivkId);
    if (rb != _rebinds.end()) {
        if (s.type == ipcSubscrT::enBIND && s.status == ipcSubscrT::enACCEPTED) {
            _names.setEntry(rb->second, h.dstId);
        } else {
            IPC_LOG(_log, log::ERROR) << "failed to rebind alias \"" << rb->second << "\"\n";
            _names.delEntry(rb->second);
            _aliases.erase(rb->second);
        }
        _rebinds.erase(rb);
        if (_rebinds.empty())
            _rebindDone();
        return true;
    }
    for (callT* c : _calls) {
        if (c->ivkId != h.ivkId)
            continue;
        // Only an accepted name becomes ours.
        if (s.type == ipcSubscrT::enBIND && s.status == ipcSubscrT::enACCEPTED) {
            _aliases.insert(s.node);
            _names.setEntry(s.node, h.dstId);
        }
        _complete(c, enANSWERED, d.buf(), d.length());
        return true;
    }
    IPC_LOG(_log, log::DEBUG) << "discarding answer to synchronous message " << h.ivkId
                              << " because no one is still waiting for it\n";
    return true;
}

bool ipcServiceT::_handleNotifMsg(const dgramT& d) {
    ipcHeaderT h;
    ipcNotifT n;
    if (!ipcParseNotif(d, h, n)) {
        IPC_LOG(_log, log::ERROR) << "received invalid connection notification\n";
        return false;
    }
    IPC_LOG(_log, log::DEBUG) << "received connection " << (n.up ? "UP" : "DOWN") << " for node \""
                              << n.node << "\" (id = " << n.id << ")\n";
    if (n.up) {
        _names.setEntry(n.node, n.id);
    } else {
        std::vector<callT*> gone;
        for (callT* c : _calls)
            if (c->dstId == n.id)
                gone.push_back(c);
        for (callT* c : gone)
            _complete(c, enABORTED);
        _names.delEntry(n.id);
    }
    if (_handler)
        _queueEvent(n.up ? ipcEventT::enUP : ipcEventT::enDOWN, n.node);
    return true;
}

int ipcServiceT::_rawSend(const dgramT& d) {
    for (;;) {
        ssize_t r = ::send(_fd, d.buf(), d.length(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0)
            return 1;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return 0;
        if (errno == EMSGSIZE) {
            // The system keeps the send buffer below the largest message.
            IPC_LOG(_log, log::ERROR)
                << "message of size " << d.length() << " refused by the system --> discarding\n";
            return 1;
        }
        return -1;
    }
}

bool ipcServiceT::_doFlushOut() {
    _holdWait = timeT(-1, 0);
    if (_fd < 0)
        return true;
    while (!_ctrlOut.empty() && !_blocked) {
        int r = _rawSend(_ctrlOut.front());
        if (r < 0)
            return false;
        if (r == 0)
            _blocked = true;
        else
            _ctrlOut.pop_front();
    }
    bool holds = _sched.hasHolds();
    timeT now;
    if (holds)
        now = timeT(monCLK);
    bool freed = false;
    while (!_blocked) {
        timeT wait;
        int k = _sched.next(now, wait);
        if (k < 0) {
            _holdWait = wait;
            break;
        }
        schedulerT::itemT& it = _sched.front(unsigned(k));
        if (it.conn != _conn) { // made for an earlier connection
            _sched.pop(unsigned(k));
            freed = true;
            continue;
        }
        int r = _rawSend(it.dgram);
        if (r < 0)
            return false;
        if (r == 0) {
            _blocked = true;
            break;
        }
        _sched.pop(unsigned(k));
        _sched.sent(unsigned(k), now);
        freed = true;
        if (holds)
            now = timeT(monCLK);
    }
    _outPending = !_sched.empty();
    if (freed)
        _condSpace.signal();
    return true;
}

void ipcServiceT::_closeConn() {
    _sock.close();
    _fd = -1;
}

void ipcServiceT::_reset() {
    _err = 4;
    if (_handler) {
        std::vector<std::pair<uint32_t, std::string>> gone(_names.byId().begin(),
                                                           _names.byId().end());
        std::sort(gone.begin(), gone.end());
        for (auto& e : gone)
            if (e.second != _node && !_aliases.count(e.second))
                _queueEvent(ipcEventT::enDOWN, e.second);
    }
    _sched.clear();
    _ctrlOut.clear();
    _rebinds.clear();
    _blocked = false;
    _outPending = false;
    _holdWait = timeT(-1, 0);
    while (!_inQueue.empty()) {
        _backlogSub(_inQueue.front().dgram.length());
        _inQueue.pop_front();
    }
    _names.clear();
    std::vector<callT*> calls = _calls;
    for (callT* c : calls)
        _complete(c, enABORTED);
    _state = enCONNECTING;
    _closeConn();
    _condState.signal();
    _condSpace.signal();
    _condIn.signal();
}

void ipcServiceT::_execute(callerT& c) {
    struct backlogGuardT {
        ipcServiceT* s;
        uint32_t bytes;
        bool on;
        ~backlogGuardT() {
            if (on)
                s->_backlogSub(bytes);
        }
    } guard{this, c.bytes, c.kind != callerT::enEVENT};

    switch (c.kind) {
    case callerT::enASYNC:
        c.receiver->asyncMsg(std::move(c.msg), c.src, _service);
        break;
    case callerT::enFWD:
        c.receiver->fwdMsg(std::move(c.msg), c.src, c.dst, _service);
        break;
    case callerT::enSYNC: {
        ipcHeaderT req = c.msg->_header();
        std::unique_ptr<ipcMessageT> rep = c.receiver->syncMsg(std::move(c.msg), c.src, _service);
        if (!rep)
            break;
        if (rep->_dgram().length() > localMsgMax) {
            IPC_LOG(_log, log::ERROR)
                << "reply of size " << rep->_dgram().length() << " beyond the largest of "
                << localMsgMax << " --> discarding\n";
            break;
        }
        ipcHeaderT h = rep->_header();
        h.srcId = req.dstId;
        h.dstId = req.srcId;
        rep->_header(h);
        lockT<mutexT> g(_mtx);
        // A reply made for an earlier connection would reach a stranger.
        _doQueueOut(std::move(rep->_dgram()), h.prio, c.conn, deadlineT());
        break;
    }
    case callerT::enEVENT:
        c.handler->notify(c.event);
        break;
    }
}

void ipcServiceT::_callbackFailed(const callerT& c, const char* what) {
    IPC_LOG(_log, log::ERROR) << "exception thrown by "
                              << (c.kind == callerT::enEVENT ? "event handler" : "receiver") << ": "
                              << what << "\n";
}

} // namespace impl
} // namespace rux
