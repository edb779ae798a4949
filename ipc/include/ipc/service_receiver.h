// Application callbacks of an IPC service: the receiver of unsolicited
// messages and the handler of connection events.
//
// Both are held by shared pointers and called on the service's decoupler thread
// ("ipc::" + service + "::decoupler"), one call at a time, in the order the
// messages and events arrived. A callback may call every service operation,
// including synchronous calls. An exception thrown by a callback is logged and
// dropped; it does not end the decoupler.
#pragma once

#include <memory>
#include <string>

#include "ipc/event.h"
#include "ipc/message.h"

namespace rux {

class ipcReceiverT {
public:
    // A one-way message from node `src`.
    virtual void asyncMsg(std::unique_ptr<ipcMessageT> msg, const std::string& src,
                          const std::string& service) = 0;
    // A synchronous request from `src`; the returned reply (built with
    // msg->reply(), so that it carries the request's invocation id) goes back to
    // the caller. An empty result sends nothing (the caller may get a deferred
    // reply through a later send).
    virtual std::unique_ptr<ipcMessageT> syncMsg(std::unique_ptr<ipcMessageT> msg,
                                                 const std::string& src,
                                                 const std::string& service) = 0;
    // A message from `src` to `dst`, one of this node's secondary names.
    virtual void fwdMsg(std::unique_ptr<ipcMessageT> msg, const std::string& src,
                        const std::string& dst, const std::string& service) = 0;

protected:
    ~ipcReceiverT() = default;
};

class ipcEventHandlerT {
public:
    virtual ~ipcEventHandlerT() = default;
    // Another node of the service came up or went down.
    virtual void notify(const ipcEventT& ev) = 0;
};

} // namespace rux
