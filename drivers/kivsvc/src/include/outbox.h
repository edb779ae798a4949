// outboxT: the unsolicited messages for one client node, in order, and the
// thread that sends them.
//
// Reports are decided under the device database's read lock, which fixes
// their order, but a send may wait (the daemon is restarting, or the node does
// not read and the output queue is full). Posting only queues, so neither the
// database nor the thread that changed it waits for a node; the sender thread
// ("client::" + node, started on the first post) sends one message at a
// time in posting order. Held by shared pointer, by its client and by its
// sender thread while that runs.
//
// Thread-safety: post() and close() from any thread.
// Failure: a failed send, and a post beyond maxQueued messages waiting, are
// logged ("failed to send unsolicited!") and dropped; nothing is retried.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "ipc/service.h"
#include "rux_logger_xface.h"
#include "sal/cond.h"
#include "sal/mutex.h"

class outboxT : public std::enable_shared_from_this<outboxT> {
public:
    // Far more reports than device changes a node can lag behind by while
    // still reading at all.
    static constexpr size_t maxQueued = 4096;

    outboxT(const std::string& node, rux::ipcServiceT::handleT service, rux::loggerT logger);
    outboxT(const outboxT&) = delete;
    outboxT& operator=(const outboxT&) = delete;

    // Queues `msg` as a one-way message to the node; false when it was dropped
    // (closed or full).
    bool post(std::unique_ptr<rux::ipcMessageT> msg);
    // Drops what is queued; the sender ends once its current send returns.
    void close();
    // Messages queued or being sent.
    size_t pending() const;

private:
    void _run();

    const std::string _node;
    rux::ipcServiceT::handleT _service;
    rux::loggerT _logger;

    mutable rux::mutexT _mtx; // guards everything below
    rux::condT _cond;         // a message queued, or closed
    std::deque<std::unique_ptr<rux::ipcMessageT>> _queue;
    bool _sending = false; // the sender holds a message taken from the queue
    bool _started = false;
    bool _closed = false;
};
