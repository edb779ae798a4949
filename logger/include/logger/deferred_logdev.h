// deferredLogDevT: hands lines to another device on a worker thread of its own,
// so that loggers never wait for a slow device beyond the queue's capacity.
//
// Lines are queued in the order they are accepted and delivered in that order
// to the wrapped device, filtered by the wrapped device's level at delivery.
// The queue is bounded: a writer finding it full waits until the worker has
// made room, so a slow device costs bounded memory and no accepted line is
// lost. Destruction delivers everything still queued, then stops the worker.
// Thread-safe. The wrapped device must not log back into this device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "logger/logdev.h"
#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/thread.h"

namespace rux {

class deferredLogDevT : public logDevT {
public:
    static constexpr size_t defaultCapacity = 1024;

    // `dev` must not be empty (logExceptionT code 0); `capacity` 0 counts as 1.
    deferredLogDevT(std::string name, std::shared_ptr<logDevT> dev,
                    size_t capacity = defaultCapacity);
    ~deferredLogDevT() override;

    // Queues the line; waits while the queue is full.
    void _doLog(const std::string& text, int level) override;

    // Returns once every line accepted before the call has been delivered.
    void flush();

    const std::shared_ptr<logDevT>& device() const { return _dev; }
    size_t capacity() const { return _capacity; }

private:
    void _worker();

    const std::shared_ptr<logDevT> _dev;
    const size_t _capacity;
    std::deque<std::pair<int, std::string>> _queue; // (level, text), oldest first
    uint64_t _accepted = 0;                         // lines queued so far
    uint64_t _delivered = 0;                        // lines handed to _dev so far
    bool _stop = false; // set by the destructor; the worker drains and ends
    mutexT _mtx;
    condT _work;     // worker waits here for lines or _stop
    condT _progress; // writers wait for room, flush() for delivery
    threadT::handleT _thread;
};

} // namespace rux
