// impl::ipcServiceT: one IPC service of this process, its daemon connection,
// I/O thread, output scheduler, incoming backlog and decoupler.
//
// Locking: _mtx guards everything below it. It is held only for bookkeeping and
// non-blocking socket calls (every receive happens under it, into _rxBuf, so
// that datagrams are dispatched in the order they arrived whichever thread
// reads them); waits release it (condition waits) or happen without it (wait
// sets, the decoupler's callbacks, joining threads).
//
// Readers: the I/O thread, the idle decoupler and synchronous callers awaiting
// their answer all wait for the socket (see waitSetT); the one that wakes reads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ipc/service.h"
#include "ipc/startupcfg.h"
#include "ipc/wire.h"
#include "logger/logger.h"
#include "sal/cond.h"
#include "sal/socket.h"
#include "service_decoupler.h"
#include "service_names.h"
#include "service_scheduler.h"
#include "service_waitset.h"

namespace rux {
namespace impl {

class ipcServiceT final : public rux::ipcServiceT {
public:
    enum stateT { enUNBOUND = 0, enBOUND = 1, enCONNECTING = 2, enCLOSED = 3 };
    enum callStateT { enWAITING = 0, enANSWERED = 1, enTIMEDOUT = 2, enABORTED = 3 };

    // Unsolicited messages held (pull queue plus decoupler) before one-way ones
    // are dropped, and the bytes they may take.
    static constexpr size_t backlogMax = 4096;
    static constexpr size_t backlogBytesMax = 32u << 20;
    // How long the daemon may take to answer an attach or an alias re-binding.
    static constexpr int answerMs = 3000;
    // Pause between connection attempts.
    static constexpr int retryMs = 200;

    ipcServiceT(const std::string& service, const startupCfgT::serviceInfoT& cfg);
    ~ipcServiceT() override;

    int _bind(const std::string& node) override;
    int _bindAlias(const std::string& name) override;
    int _unbindAlias(const std::string& name) override;
    void _shutdown() override;
    void _setEventHandler(std::shared_ptr<ipcEventHandlerT> handler) override;
    std::shared_ptr<ipcEventHandlerT> _getEventHandler() override;
    void _setReceiver(std::shared_ptr<ipcReceiverT> receiver) override;
    std::shared_ptr<ipcReceiverT> _getReceiver() override;
    threadT::handleT _thread() override;

    int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg) override;
    int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
              std::unique_ptr<ipcMessageT>& reply) override;
    int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
              std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) override;
    int _forward(const std::string& src, const std::string& dst,
                 std::unique_ptr<ipcMessageT> msg) override;
    int _forward(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                 std::unique_ptr<ipcMessageT>& reply) override;
    int _forward(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                 std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) override;
    int _recv(std::unique_ptr<ipcMessageT>& msg) override;
    int _recv(std::unique_ptr<ipcMessageT>& msg, const timeT& timeout) override;
    int _recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, std::string* dst) override;
    int _recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, const timeT& timeout,
              std::string* dst) override;

    const std::string& _name() const override { return _service; }

    // Stops both threads (process exit).
    void _halt();
    // Handles `len` bytes as a datagram from the daemon, as the I/O thread does
    // (a refusal resets the service); for the fuzz target, without a connection.
    bool _feed(const char* data, uint32_t len) {
        lockT<mutexT> g(_mtx);
        if (_handleDgram(data, len))
            return true;
        _reset();
        return false;
    }
    // Sets the invocation id handed out last (tests of the wrap-around).
    void _lastIvkId(uint32_t v) {
        lockT<mutexT> g(_mtx);
        _lastIvk = v;
    }

private:
    // Whole milliseconds for a poll, rounded up so that a wait never ends early.
    static int pollMs(const timeT& t);

    // A deadline on the monotonic clock; `none` waits without limit.
    struct deadlineT {
        bool none = true;
        timeT at;
        static deadlineT after(const timeT& timeout);
        // Remaining time (at least 1 ms while not passed); false once passed.
        bool rest(timeT& left) const;
    };

    // A synchronous call waiting for its answer; lives on the caller's stack.
    // It is in _calls while waiting; whoever takes it out (under _mtx) sets
    // state and reply, then `done` (release), and wakes the caller's wait set.
    // The caller may return as soon as it sees `done`, so the waker touches
    // nothing of the call afterwards: it wakes through its own reference to
    // the set, which outlives the caller's thread if need be.
    struct callT {
        uint32_t ivkId = 0;
        uint32_t dstId = 0;
        std::atomic<uint32_t> done{0};
        int state = enWAITING;
        dgramT reply;
        std::shared_ptr<waitSetT> waiter;
    };

    // A message queued for pulling, with the names it arrived with.
    struct inItemT {
        dgramT dgram;
        std::string src;
        std::string dst;
        bool forward; // addressed to one of this node's secondary names
    };

    // --- application side (caller holds _mtx where noted) ---
    // Waits while connecting; 0 to go on, else the result to return. Throws
    // code 3 on a service never bound. Caller holds _mtx.
    int _waitReady(const deadlineT& dl);
    // Checks a message handed in by the application.
    void _checkMsg(const std::unique_ptr<ipcMessageT>& msg);
    // Registers, sends and awaits one call; `g` holds _mtx on entry and is
    // released on the way (held again on return unless the call was answered).
    int _doSendSync(dgramT& d, std::unique_ptr<ipcMessageT>& reply, const std::string* dst,
                    const deadlineT& dl, callT& call, std::unique_lock<mutexT>& g);
    int _syncCall(const std::string* dst, std::unique_ptr<ipcMessageT> msg,
                  std::unique_ptr<ipcMessageT>& reply, const deadlineT& dl,
                  const std::string* fwdSrc);
    int _fwdAsync(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg);
    int _aliasCall(uint32_t type, const std::string& name);
    int _doRecv(std::string* src, std::unique_ptr<ipcMessageT>& msg, const deadlineT& dl,
                std::string* dst);
    // Queues (or writes at once) a datagram for connection `conn`: 0, 2 when
    // the deadline passed waiting for room, or the error code. Caller holds _mtx.
    int _doQueueOut(dgramT&& d, unsigned prio, uint64_t conn, const deadlineT& dl);
    uint32_t _nextIvk();
    void _removeCall(callT* c);
    // Ends a waiting call with `state` (and the answer's bytes). Caller holds
    // _mtx. While a reader dispatches, the caller is woken only once the
    // reader has let go of _mtx, so that it does not run into the held lock.
    void _complete(callT* c, int state, const char* data = nullptr, uint32_t len = 0);
    // Arms a caller's wait set for the current connection, ahead of the idle
    // decoupler and the I/O thread. Caller holds _mtx.
    void _armCaller(waitSetT& ws);
    // The decoupler reads for itself while requests come (their senders wait);
    // over a stream of one-way messages it steps back and the I/O thread reads
    // them in batches, which a single thread does more cheaply. Caller holds _mtx.
    void _decReads(bool on);
    // (Re)arms the I/O thread's set behind every other; when the kernel has no
    // room for the watch the I/O thread is woken to give up the connection
    // (it retries), since nothing else may be left to read. Caller holds _mtx.
    void _armIo();
    bool _ioArmFailed = false;
    // Reads and dispatches up to `max` datagrams, then lets go of `g` and
    // wakes whom the dispatch completed. `g` holds _mtx on entry. A caller
    // (`own`) stops once answered; the decoupler (`forDec`) once it has a
    // request to answer, whose sender waits.
    void _readAndWake(callT* own, bool forDec, int max, std::unique_lock<mutexT>& g);
    void _readSome(callT* own, bool forDec, int max);

    // --- I/O thread ---
    void _run();
    bool _doConnect();
    bool _doIO();
    // Waits up to `ms` for the wake object (a quit); true when woken.
    bool _pause(int ms);
    // The decoupler's wait while it has nothing to run (decoupler thread).
    void _decIdle(waitSetT& ws);
    // Handles one received datagram; false ends the connection. Caller holds _mtx.
    bool _handleDgram(const char* data, uint32_t len);
    bool _handleUserMsg(const ipcHeaderT& h, const char* data, uint32_t len);
    bool _handleSubscrMsg(const dgramT& d);
    bool _handleNotifMsg(const dgramT& d);
    // Sends queued control and scheduled datagrams; false on a send failure.
    // Caller holds _mtx.
    bool _doFlushOut();
    // One non-blocking send: 1 sent, 0 the kernel cannot take it now, -1 failed.
    int _rawSend(const dgramT& d);
    void _reset();
    void _closeConn();
    void _wake();
    void _rebindDone();

    // --- decoupler ---
    void _execute(callerT& c);
    void _callbackFailed(const callerT& c, const char* what);
    // Queues an unsolicited message for the receiver or for pulling; drops a
    // one-way message past the backlog bound. Caller holds _mtx.
    void _deliver(const ipcHeaderT& h, dgramT&& d, bool forward, const std::string& src);
    void _queueEvent(int type, const std::string& node);
    bool _backlogFull(uint32_t bytes) const;
    void _backlogAdd(uint32_t bytes);
    void _backlogSub(uint32_t bytes);

    const std::string _service;
    loggerT _log;
    mutable mutexT _mtx;

    int _err = 0;
    int _state = enUNBOUND;
    bool _quit = false;
    threadT::handleT _io;
    std::shared_ptr<ipcEventHandlerT> _handler;
    std::shared_ptr<ipcReceiverT> _receiver;
    std::vector<callT*> _calls;
    std::set<std::string> _aliases;
    uint32_t _lastIvk;
    nameTableT _names;
    std::string _node;
    uint32_t _ownId = 0;

    seqSocketT _sock;
    int _fd = -1;             // the connection's descriptor while connected
    uint64_t _conn = 0;       // number of the current connection (0: none yet)
    bool _blocked = false;    // the kernel refused a send; waiting to write
    bool _outPending = false; // some output queue is not empty
    timeT _holdWait{-1, 0};   // time until the active hold ends (negative: none)
    schedulerT _sched;
    std::deque<dgramT> _ctrlOut; // alias re-binding requests, outside the bounded queues
    std::map<uint32_t, std::string> _rebinds; // re-binding requests awaiting their answer
    timeT _rebindUntil;

    std::deque<inItemT> _inQueue;
    std::atomic<size_t> _backlog{0};
    std::atomic<size_t> _backlogBytes{0};
    size_t _dropped = 0;      // one-way messages dropped since the last warning
    bool _ioHandling = false; // a reader dispatches: it wakes the decoupler later
    bool _decLater = false;   // something was queued for the decoupler meanwhile
    uint64_t _requests = 0;   // requests queued for the receiver so far
    int _decOneWay = 0;       // one-way messages the decoupler read in a row
    // One-way messages in a row after which the decoupler leaves the reading
    // to the I/O thread.
    static constexpr int streamRun = 4;
    callT* _selfCall = nullptr; // the call whose own thread is reading
    std::vector<std::shared_ptr<waitSetT>> _toWake; // callers to wake after dispatch

    condT _condState;
    condT _condSpace;
    condT _condIn;

    waitSetT _ioWait; // the I/O thread's; its wake-up ends the I/O thread's waits
    dgramT _rxBuf;    // every datagram is received into it, under _mtx
    threadT::prioT _prio;
    std::unique_ptr<decouplerT> _dec;
};

} // namespace impl
} // namespace rux
