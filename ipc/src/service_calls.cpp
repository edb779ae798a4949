// The application side of a service: binding, sending, synchronous calls,
// forwarding, secondary names, pulling, handlers and shutdown.
#include <algorithm>

#include "ipc/names.h"
#include "service_impl.h"
#include "service_log.h"

namespace rux {
namespace impl {

ipcServiceT::deadlineT ipcServiceT::deadlineT::after(const timeT& timeout) {
    deadlineT d;
    d.none = false;
    d.at = timeT(monCLK) + timeout;
    return d;
}

bool ipcServiceT::deadlineT::rest(timeT& left) const {
    timeT now(monCLK);
    if (!(now < at))
        return false;
    left = at - now;
    left += timeT(0, 999999); // condition waits count whole milliseconds
    left.normalise();
    return true;
}

int ipcServiceT::_waitReady(const deadlineT& dl) {
    for (;;) {
        if (_state == enUNBOUND)
            throw ipcExceptionT(ipcExceptionT::enNOT_BOUND);
        if (_state == enCLOSED)
            return _err ? _err : 4;
        if (_state != enCONNECTING)
            return 0;
        if (dl.none) {
            _condState.wait(_mtx);
        } else {
            timeT left;
            if (!dl.rest(left))
                return 2;
            _condState.wait(_mtx, left);
        }
    }
}

void ipcServiceT::_checkMsg(const std::unique_ptr<ipcMessageT>& msg) {
    if (!msg)
        throw ipcExceptionT(ipcExceptionT::enINVALID_PARAM);
    if (msg->_dgram().length() > localMsgMax) {
        IPC_LOG(_log, log::ERROR) << "message of size " << msg->_dgram().length()
                                  << " beyond the largest of " << localMsgMax << "\n";
        throw ipcExceptionT(ipcExceptionT::enINVALID_PARAM);
    }
}

uint32_t ipcServiceT::_nextIvk() {
    for (;;) {
        if (++_lastIvk == 0)
            _lastIvk = 1;
        bool busy = _rebinds.count(_lastIvk) != 0;
        for (callT* c : _calls)
            busy = busy || c->ivkId == _lastIvk;
        if (!busy)
            return _lastIvk;
    }
}

void ipcServiceT::_removeCall(callT* c) {
    auto it = std::find(_calls.begin(), _calls.end(), c);
    if (it != _calls.end())
        _calls.erase(it);
}

void ipcServiceT::_complete(callT* c, int state, const char* data, uint32_t len) {
    _removeCall(c);
    c->state = state;
    if (data) {
        c->reply = dgramT(len);
        c->reply.write(data, len);
    }
    if (c == _selfCall) {
        c->done.store(1);
        return; // its own thread is reading, and sees it at once
    }
    std::shared_ptr<waitSetT> waiter = std::move(c->waiter);
    c->done.store(1); // from here on c may be gone
    if (!waiter)
        return;
    if (_ioHandling)
        _toWake.push_back(std::move(waiter));
    else
        waiter->wakeIfSleeping();
}

void ipcServiceT::_armCaller(waitSetT& ws) {
    if (_fd < 0 || ws.conn == _conn)
        return;
    // Without room for the watch the caller waits for the others to read.
    if (!ws.arm(_fd, _conn))
        return;
    // Callers come first: an answer wakes the thread that waits for it.
    waitSetT& dec = _dec->waitSet();
    if (dec.conn == _conn)
        dec.rearm();
    _armIo();
}

int ipcServiceT::_doQueueOut(dgramT&& d, unsigned prio, uint64_t conn, const deadlineT& dl) {
    while (_sched.full(prio) && conn == _conn && _fd >= 0) {
        if (dl.none) {
            _condSpace.wait(_mtx);
        } else {
            timeT left;
            if (!dl.rest(left))
                return 2;
            _condSpace.wait(_mtx, left);
        }
    }
    // The connection it was made for is gone (or the service closed).
    if (conn != _conn || _fd < 0)
        return _err ? _err : 4;
    timeT now;
    if (_sched.hasHolds())
        now = timeT(monCLK);
    // The datagram the scheduler would send next goes out at once.
    if (!_blocked && _ctrlOut.empty() && _sched.nextUp(prio, now)) {
        int r = _rawSend(d);
        if (r == 1) {
            _sched.sent(prio, now);
            return 0;
        }
        if (r == 0)
            _blocked = true; // the I/O thread waits for room from now on
        _sched.push(prio, std::move(d), conn);
        _outPending = true;
        _wake();
        return 0;
    }
    bool wasPending = _outPending;
    _sched.push(prio, std::move(d), conn);
    _outPending = true;
    if (!wasPending)
        _wake();
    return 0;
}

int ipcServiceT::_bind(const std::string& node) {
    IPC_LOG(_log, log::DEBUG) << "trying to bind node name \"" << node << "\"\n";
    lockT<mutexT> g(_mtx);
    while (_state == enCONNECTING)
        _condState.wait(_mtx);
    if (_state == enBOUND) {
        if (node == _node) {
            IPC_LOG(_log, log::DEBUG) << "binding with same name --> silent ok\n";
            return 0;
        }
        throw ipcExceptionT(ipcExceptionT::enREBOUND);
    }
    if (_io.valid()) {
        // Closed after a refusal, still retrying: that thread goes first.
        threadT::handleT old = std::move(_io);
        _quit = true;
        _wake();
        _mtx.unlock();
        old->wait();
        _mtx.lock();
    }
    _quit = false;
    _err = 0;
    _state = enCONNECTING;
    _node = node;
    _io = threadT::create("ipc::" + _service);
    _io.start(functorT([this] { _run(); }));
    if (!(_prio == threadT::prioT()))
        _io->priority(_prio.cls(), _prio.level());
    while (_state == enCONNECTING)
        _condState.wait(_mtx);
    return _err;
}

void ipcServiceT::_shutdown() {
    lockT<mutexT> g(_mtx);
    if (_io.valid()) {
        threadT::handleT io = std::move(_io);
        _quit = true;
        _wake();
        _mtx.unlock();
        io->wait(); // the I/O thread never blocks: it ends at once
        _mtx.lock();
    }
    if (_state != enUNBOUND) {
        _err = 4;
        _state = enCLOSED;
    }
    _condState.signal();
    _condSpace.signal();
    _condIn.signal();
}

void ipcServiceT::_setEventHandler(std::shared_ptr<ipcEventHandlerT> handler) {
    lockT<mutexT> g(_mtx);
    _handler = std::move(handler);
    if (!_handler)
        return;
    std::vector<std::pair<uint32_t, std::string>> up(_names.byId().begin(), _names.byId().end());
    std::sort(up.begin(), up.end());
    for (auto& e : up)
        if (e.second != _node && !_aliases.count(e.second))
            _queueEvent(ipcEventT::enUP, e.second);
}

std::shared_ptr<ipcEventHandlerT> ipcServiceT::_getEventHandler() {
    lockT<mutexT> g(_mtx);
    return _handler;
}

void ipcServiceT::_setReceiver(std::shared_ptr<ipcReceiverT> receiver) {
    lockT<mutexT> g(_mtx);
    _receiver = std::move(receiver);
    if (!_receiver)
        return;
    while (!_inQueue.empty()) {
        inItemT it = std::move(_inQueue.front());
        _inQueue.pop_front();
        uint32_t bytes = it.dgram.length();
        if (it.src.empty() || (it.forward && it.dst.empty())) {
            _backlogSub(bytes);
            continue;
        }
        callerT c;
        c.receiver = _receiver;
        c.msg = ipcMessageT::create(std::move(it.dgram));
        c.kind = it.forward           ? callerT::enFWD
                 : c.msg->wantReply() ? callerT::enSYNC
                                      : callerT::enASYNC;
        c.src = std::move(it.src);
        c.dst = std::move(it.dst);
        c.conn = _conn;
        c.bytes = bytes; // still counted in the backlog
        _dec->push(std::move(c));
    }
}

std::shared_ptr<ipcReceiverT> ipcServiceT::_getReceiver() {
    lockT<mutexT> g(_mtx);
    return _receiver;
}

threadT::handleT ipcServiceT::_thread() {
    lockT<mutexT> g(_mtx);
    return _io;
}

int ipcServiceT::_send(const std::string& dst, std::unique_ptr<ipcMessageT> msg) {
    _checkMsg(msg);
    IPC_LOG(_log, log::DEBUG) << "sending async message to \"" << dst << "\"\n";
    lockT<mutexT> g(_mtx);
    int r = _waitReady(deadlineT());
    if (r)
        return r;
    uint32_t dstId = _names.id(dst);
    if (!dstId) {
        IPC_LOG(_log, log::WARNING) << "host \"" << dst << "\" not found\n";
        return 3;
    }
    ipcHeaderT h = msg->_header();
    h.dstId = dstId;
    h.srcId = _ownId;
    h.fwdId = 0;
    if (!h.reply) { // a deferred reply keeps the id of the request it answers
        h.ivkId = 0;
        h.syncFwd = false;
    }
    msg->_header(h);
    return _doQueueOut(std::move(msg->_dgram()), h.prio, _conn, deadlineT());
}

int ipcServiceT::_doSendSync(dgramT& d, std::unique_ptr<ipcMessageT>& reply, const std::string* dst,
                             const deadlineT& dl, callT& call, std::unique_lock<mutexT>& g) {
    ipcHeaderT h;
    RUX_FAULT_IF(!ipcParseHeader(d, h));
    if (h.srcId == 0)
        h.srcId = _ownId;
    if (dst) {
        h.dstId = _names.id(*dst);
        if (!h.dstId) {
            IPC_LOG(_log, log::DEBUG) << "host not found\n";
            return 3;
        }
    }
    call.ivkId = _nextIvk();
    call.dstId = h.dstId;
    h.ivkId = call.ivkId;
    ipcStoreHeader(d, h);
    call.waiter = threadWaitSet(this);
    waitSetT* ws = call.waiter.get(); // the thread's own: lives as long as the thread
    _armCaller(*ws);
    _calls.push_back(&call);
    int r = _doQueueOut(std::move(d), h.prio, _conn, dl);
    if (r != 0) {
        _removeCall(&call);
        return r;
    }
    // The answer is awaited without the service lock, reading the socket when
    // it wakes this thread; an answered call returns without taking it back.
    g.unlock();
    while (!call.done.load(std::memory_order_acquire)) {
        int ms = -1;
        if (!dl.none) {
            timeT left;
            if (!dl.rest(left))
                break;
            ms = pollMs(left);
        }
        // A caller still on its way here when the answer came needs no wake-up.
        ws->sleeping.store(true);
        if (call.done.load()) {
            ws->sleeping.store(false, std::memory_order_relaxed);
            break;
        }
        int woken = ws->wait(ms);
        ws->sleeping.store(false, std::memory_order_relaxed);
        if (!(woken & waitSetT::enSOCKET))
            continue;
        // The wake-up was this thread's alone: it reads even when its own
        // answer came meanwhile through another reader.
        g.lock();
        if (ws->conn == _conn)
            _readAndWake(&call, false, 64, g);
        else
            g.unlock();
    }
    if (call.done.load(std::memory_order_acquire) && call.state == enANSWERED) {
        reply = ipcMessageT::create(std::move(call.reply));
        return 0;
    }
    g.lock();
    if (!call.done.load(std::memory_order_acquire)) { // still ours to end: nobody answered in time
        _removeCall(&call);
        call.state = enTIMEDOUT;
        call.done.store(1, std::memory_order_relaxed);
    }
    switch (call.state) {
    case enANSWERED:
        reply = ipcMessageT::create(std::move(call.reply));
        return 0;
    case enTIMEDOUT:
        return _state == enCLOSED ? (_err ? _err : 4) : 2;
    default:
        if (_state == enCLOSED)
            return _err ? _err : 4;
        return dst ? 3 : 4;
    }
}

int ipcServiceT::_syncCall(const std::string* dst, std::unique_ptr<ipcMessageT> msg,
                           std::unique_ptr<ipcMessageT>& reply, const deadlineT& dl,
                           const std::string* fwdSrc) {
    _checkMsg(msg);
    if (fwdSrc) {
        IPC_LOG(_log, log::DEBUG) << "forwarding sync message to \"" << *dst << "\" from \""
                                  << *fwdSrc << "\" and waiting reply\n";
    } else {
        IPC_LOG(_log, log::DEBUG) << "sending message to \"" << *dst << "\" and waiting reply\n";
    }
    std::unique_lock<mutexT> g(_mtx);
    int r = _waitReady(dl);
    if (r)
        return r;
    ipcHeaderT h = msg->_header();
    h.kind = enIPC_USER;
    h.reply = false;
    if (fwdSrc) {
        h.srcId = _names.id(*fwdSrc);
        if (!h.srcId) {
            IPC_LOG(_log, log::WARNING) << "host \"" << *fwdSrc << "\" not found\n";
            return 3;
        }
        h.fwdId = _ownId;
        h.syncFwd = true;
    } else {
        h.srcId = _ownId;
        h.fwdId = 0;
        h.syncFwd = false;
    }
    msg->_header(h);
    callT call;
    return _doSendSync(msg->_dgram(), reply, dst, dl, call, g);
}

int ipcServiceT::_send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                       std::unique_ptr<ipcMessageT>& reply) {
    return _syncCall(&dst, std::move(msg), reply, deadlineT(), nullptr);
}

int ipcServiceT::_send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                       std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) {
    return _syncCall(&dst, std::move(msg), reply, deadlineT::after(timeout), nullptr);
}

int ipcServiceT::_fwdAsync(const std::string& src, const std::string& dst,
                           std::unique_ptr<ipcMessageT> msg) {
    _checkMsg(msg);
    IPC_LOG(_log, log::DEBUG) << "forwarding message from \"" << src << "\" to \"" << dst << "\"\n";
    lockT<mutexT> g(_mtx);
    int r = _waitReady(deadlineT());
    if (r)
        return r;
    ipcHeaderT h = msg->_header();
    h.dstId = _names.id(dst);
    h.srcId = _names.id(src);
    for (const std::string* n : {&dst, &src})
        if (!_names.id(*n)) {
            IPC_LOG(_log, log::WARNING) << "host \"" << *n << "\" not found\n";
            return 3;
        }
    h.fwdId = _ownId;
    if (!h.reply) {
        h.ivkId = 0;
        h.syncFwd = false;
    }
    msg->_header(h);
    return _doQueueOut(std::move(msg->_dgram()), h.prio, _conn, deadlineT());
}

int ipcServiceT::_forward(const std::string& src, const std::string& dst,
                          std::unique_ptr<ipcMessageT> msg) {
    return _fwdAsync(src, dst, std::move(msg));
}

int ipcServiceT::_forward(const std::string& src, const std::string& dst,
                          std::unique_ptr<ipcMessageT> msg, std::unique_ptr<ipcMessageT>& reply) {
    return _syncCall(&dst, std::move(msg), reply, deadlineT(), &src);
}

int ipcServiceT::_forward(const std::string& src, const std::string& dst,
                          std::unique_ptr<ipcMessageT> msg, std::unique_ptr<ipcMessageT>& reply,
                          const timeT& timeout) {
    return _syncCall(&dst, std::move(msg), reply, deadlineT::after(timeout), &src);
}

int ipcServiceT::_aliasCall(uint32_t type, const std::string& name) {
    bool bind = type == ipcSubscrT::enBIND;
    if (bind) {
        IPC_LOG(_log, log::DEBUG) << "binding \"" << name << "\" as secondary name\n";
    } else {
        IPC_LOG(_log, log::DEBUG) << "unbinding secondary node name \"" << name << "\"\n";
    }
    std::unique_lock<mutexT> g(_mtx);
    int r = _waitReady(deadlineT());
    if (r)
        return r;
    dgramT req;
    if (name.empty() || !ipcBuildAliasRequest(req, type, _service, name, _ownId, 0))
        throw ipcExceptionT(ipcExceptionT::enINVALID_PARAM);
    std::unique_ptr<ipcMessageT> reply;
    callT call;
    r = _doSendSync(req, reply, nullptr, deadlineT(), call, g);
    if (!g.owns_lock())
        g.lock();
    ipcHeaderT h;
    ipcSubscrT s;
    if (r == 0 && (!ipcParseSubscr(reply->_dgram(), h, s) || s.status != ipcSubscrT::enACCEPTED))
        r = 1;
    if (r == 1) {
        IPC_LOG(_log, log::ERROR) << "failed to " << (bind ? "bind" : "unbind")
                                  << " secondary name \"" << name << "\"\n";
        if (_state == enCLOSED)
            r = _err ? _err : 4;
    }
    if (r == 0 && !bind) {
        _aliases.erase(name);
        _names.delEntry(name);
    }
    return r;
}

int ipcServiceT::_bindAlias(const std::string& name) {
    return _aliasCall(ipcSubscrT::enBIND, name);
}

int ipcServiceT::_unbindAlias(const std::string& name) {
    return _aliasCall(ipcSubscrT::enUNBIND, name);
}

int ipcServiceT::_doRecv(std::string* src, std::unique_ptr<ipcMessageT>& msg, const deadlineT& dl,
                         std::string* dst) {
    lockT<mutexT> g(_mtx);
    if (_receiver)
        throw ipcExceptionT(ipcExceptionT::enSEQUENCE);
    int r = _waitReady(dl);
    if (r)
        return r;
    for (;;) {
        if (_receiver)
            throw ipcExceptionT(ipcExceptionT::enSEQUENCE);
        while (!_inQueue.empty()) {
            inItemT it = std::move(_inQueue.front());
            _inQueue.pop_front();
            _backlogSub(it.dgram.length());
            if (src && (it.src.empty() || (dst && it.dst.empty())))
                continue;
            msg = ipcMessageT::create(std::move(it.dgram));
            if (src)
                *src = std::move(it.src);
            if (dst)
                *dst = std::move(it.dst);
            return 0;
        }
        if (_state == enCLOSED)
            return _err ? _err : 4;
        if (_state == enUNBOUND)
            throw ipcExceptionT(ipcExceptionT::enNOT_BOUND);
        if (dl.none) {
            _condIn.wait(_mtx);
        } else {
            timeT left;
            if (!dl.rest(left))
                return 2;
            _condIn.wait(_mtx, left);
        }
    }
}

int ipcServiceT::_recv(std::unique_ptr<ipcMessageT>& msg) {
    return _doRecv(nullptr, msg, deadlineT(), nullptr);
}

int ipcServiceT::_recv(std::unique_ptr<ipcMessageT>& msg, const timeT& timeout) {
    return _doRecv(nullptr, msg, deadlineT::after(timeout), nullptr);
}

int ipcServiceT::_recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, std::string* dst) {
    return _doRecv(&src, msg, deadlineT(), dst);
}

int ipcServiceT::_recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, const timeT& timeout,
                       std::string* dst) {
    return _doRecv(&src, msg, deadlineT::after(timeout), dst);
}

} // namespace impl
} // namespace rux
