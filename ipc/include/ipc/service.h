// ipcServiceT: a program's view of one IPC service, and handleT, the wrapper
// programs keep.
//
// handle(name) gives the one service object of that name in the process,
// making it on first use; objects live until the process ends (their threads
// are stopped before static destruction). A program binds its node name with
// _bind, then sends one-way messages, makes synchronous calls (optionally with
// a time-out), forwards messages for secondary names it serves, and receives
// either by pulling (_recv) or through a receiver. Per bound service an I/O
// thread "ipc::" + service keeps the daemon connection (reconnecting every
// 200 ms when it is lost) and a decoupler thread "ipc::" + service +
// "::decoupler" runs every receiver and event-handler call.
//
// Result codes: 0 success; 1 the daemon refused the name; 2 time-out; 3
// destination unknown, or it went down during a synchronous call; 4 the
// service was shut down or lost the daemon. Every wait of an operation with a
// time-out ends by that time-out, counted from the call.
//
// Misuse throws ipcExceptionT: an empty handle (1), binding a second name (2),
// any operation but _bind, _shutdown and the accessors on a service never bound
// (3), pulling while a receiver is installed (4), a missing message or one
// larger than ipcMessageT::maxPayload allows (0).
//
// Thread-safety: every operation may be called from any thread, including the
// decoupler (inside callbacks); one mutex per service guards its state and is
// never held across a blocking socket operation.
//
// Resources: a thread that makes synchronous calls on a service reads its own
// answer from the daemon socket; it keeps two descriptors per service for that
// (an epoll set and an eventfd), closed when the thread ends.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "ipc/message.h"
#include "ipc/service_exception.h"
#include "ipc/service_receiver.h"
#include "sal/mutex.h"
#include "sal/thread.h"
#include "sal/time.h"

namespace rux {

class ipcServiceT {
public:
    class handleT;

    virtual ~ipcServiceT() = default;

    // Attaches the node name; blocks until attached (0) or refused (1). The same
    // name again returns 0; another name on a bound service throws code 2.
    virtual int _bind(const std::string& node) = 0;
    // Binds / unbinds a secondary name served by this node.
    virtual int _bindAlias(const std::string& name) = 0;
    virtual int _unbindAlias(const std::string& name) = 0;
    // Stops the I/O thread and closes the service; returns within about a
    // second whatever the daemon does.
    virtual void _shutdown() = 0;
    // Installing a handler replays every known node as an up event.
    virtual void _setEventHandler(std::shared_ptr<ipcEventHandlerT> handler) = 0;
    virtual std::shared_ptr<ipcEventHandlerT> _getEventHandler() = 0;
    // Installing a receiver hands it the messages queued for pulling, in order.
    virtual void _setReceiver(std::shared_ptr<ipcReceiverT> receiver) = 0;
    virtual std::shared_ptr<ipcReceiverT> _getReceiver() = 0;
    virtual threadT::handleT _thread() = 0;

    // One-way message to node `dst`.
    virtual int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg) = 0;
    // Synchronous call, without and with a time-out.
    virtual int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                      std::unique_ptr<ipcMessageT>& reply) = 0;
    virtual int _send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                      std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) = 0;
    // The same on behalf of the secondary name `src`.
    virtual int _forward(const std::string& src, const std::string& dst,
                         std::unique_ptr<ipcMessageT> msg) = 0;
    virtual int _forward(const std::string& src, const std::string& dst,
                         std::unique_ptr<ipcMessageT> msg, std::unique_ptr<ipcMessageT>& reply) = 0;
    virtual int _forward(const std::string& src, const std::string& dst,
                         std::unique_ptr<ipcMessageT> msg, std::unique_ptr<ipcMessageT>& reply,
                         const timeT& timeout) = 0;
    // The next message, without and with a time-out; the source and (when
    // `dst` is given) destination names are those it arrived with.
    virtual int _recv(std::unique_ptr<ipcMessageT>& msg) = 0;
    virtual int _recv(std::unique_ptr<ipcMessageT>& msg, const timeT& timeout) = 0;
    virtual int _recv(std::string& src, std::unique_ptr<ipcMessageT>& msg,
                      std::string* dst = nullptr) = 0;
    virtual int _recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, const timeT& timeout,
                      std::string* dst = nullptr) = 0;

    virtual const std::string& _name() const = 0;

    // The service object of that name, made on first use (the first one also
    // reads the IPC configuration).
    static handleT handle(const std::string& service);

    // Service table and its lock (never destroyed, like the services); the
    // configuration file tried first (empty: none).
    static std::unordered_map<std::string, ipcServiceT*>& _table;
    static mutexT& _tmtx;
    static std::string _g_cfgf_name;
};

// Forwards each operation to the service; without one every operation throws
// ipcExceptionT code 1. Cheap to copy.
class ipcServiceT::handleT {
public:
    handleT() = default;
    explicit handleT(ipcServiceT* svc) : _svc(svc) {}

    bool valid() const { return _svc != nullptr; }
    const std::string& name() const { return _s()->_name(); }

    int bind(const std::string& node) { return _s()->_bind(node); }
    int bindAlias(const std::string& name) { return _s()->_bindAlias(name); }
    int unbindAlias(const std::string& name) { return _s()->_unbindAlias(name); }
    void shutdown() { _s()->_shutdown(); }
    void setEventHandler(std::shared_ptr<ipcEventHandlerT> h) {
        _s()->_setEventHandler(std::move(h));
    }
    std::shared_ptr<ipcEventHandlerT> getEventHandler() { return _s()->_getEventHandler(); }
    void setReceiver(std::shared_ptr<ipcReceiverT> r) { _s()->_setReceiver(std::move(r)); }
    std::shared_ptr<ipcReceiverT> getReceiver() { return _s()->_getReceiver(); }
    threadT::handleT thread() { return _s()->_thread(); }

    int send(const std::string& dst, std::unique_ptr<ipcMessageT> msg) {
        return _s()->_send(dst, std::move(msg));
    }
    int send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
             std::unique_ptr<ipcMessageT>& reply) {
        return _s()->_send(dst, std::move(msg), reply);
    }
    int send(const std::string& dst, std::unique_ptr<ipcMessageT> msg,
             std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) {
        return _s()->_send(dst, std::move(msg), reply, timeout);
    }
    int forward(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg) {
        return _s()->_forward(src, dst, std::move(msg));
    }
    int forward(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                std::unique_ptr<ipcMessageT>& reply) {
        return _s()->_forward(src, dst, std::move(msg), reply);
    }
    int forward(const std::string& src, const std::string& dst, std::unique_ptr<ipcMessageT> msg,
                std::unique_ptr<ipcMessageT>& reply, const timeT& timeout) {
        return _s()->_forward(src, dst, std::move(msg), reply, timeout);
    }
    int recv(std::unique_ptr<ipcMessageT>& msg) { return _s()->_recv(msg); }
    int recv(std::unique_ptr<ipcMessageT>& msg, const timeT& timeout) {
        return _s()->_recv(msg, timeout);
    }
    int recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, std::string* dst = nullptr) {
        return _s()->_recv(src, msg, dst);
    }
    int recv(std::string& src, std::unique_ptr<ipcMessageT>& msg, const timeT& timeout,
             std::string* dst = nullptr) {
        return _s()->_recv(src, msg, timeout, dst);
    }

    ipcServiceT* operator->() const { return _s(); }

private:
    ipcServiceT* _s() const {
        if (!_svc)
            throw ipcExceptionT(ipcExceptionT::enNO_HANDLE);
        return _svc;
    }
    ipcServiceT* _svc = nullptr;
};

} // namespace rux
