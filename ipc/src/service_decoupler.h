// decouplerT: the thread that runs a service's receiver and event-handler
// calls, strictly in the order they were queued.
//
// A plain FIFO drained by one thread: producers append under a short lock and
// wake the thread only when it sleeps; the thread takes the whole backlog at
// once and runs it without the lock. While nothing is queued the thread runs
// the idle hook, which waits on the thread's wait set (woken by producers) and
// may read the daemon socket itself, queuing what it reads. A task that throws is reported through the
// error hook and the thread goes on. stop() lets the running task finish, drops
// the rest and waits a bounded time for the thread to end (it does not wait
// when called on the decoupler thread itself). push() may be called from any
// thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/event.h"
#include "ipc/message.h"
#include "ipc/service_receiver.h"
#include "sal/thread.h"
#include "service_waitset.h"

namespace rux {
namespace impl {

// One call to make on the decoupler thread.
struct callerT {
    enum kindT { enASYNC, enSYNC, enFWD, enEVENT };

    kindT kind = enASYNC;
    std::shared_ptr<ipcReceiverT> receiver;
    std::shared_ptr<ipcEventHandlerT> handler;
    std::unique_ptr<ipcMessageT> msg;
    std::string src;    // name the message came from
    std::string dst;    // enFWD: the secondary name it was sent to
    ipcEventT event;    // enEVENT
    uint64_t conn = 0;  // connection the message arrived on
    uint32_t bytes = 0; // counted in the incoming backlog while queued
};

class decouplerT {
public:
    using runT = std::function<void(callerT&)>;
    using errorT = std::function<void(const callerT&, const char* what)>;
    // Waits on the given set until woken; called on the decoupler thread.
    // Without one the thread just waits on the set.
    using idleT = std::function<void(waitSetT&)>;

    decouplerT(const std::string& name, runT run, errorT error, idleT idle = nullptr);
    ~decouplerT();
    decouplerT(const decouplerT&) = delete;
    decouplerT& operator=(const decouplerT&) = delete;

    // Appends a task; with `wake` false the thread is only woken by a later
    // wake(), so that a producer can let go of its own locks first.
    void push(callerT&& c, bool wake = true);
    void wake();
    // Ends the thread; false when it did not end within `waitMs`.
    bool stop(int waitMs);
    bool onThread() const;
    threadT::handleT thread() const { return _thread; }
    // The thread's wait set (the service arms the socket in it).
    waitSetT& waitSet() { return _ws; }
    // Tasks queued and not yet started.
    size_t pending();

private:
    void _loop();

    runT _run;
    errorT _error;
    idleT _idle;
    waitSetT _ws;
    std::mutex _m;
    std::condition_variable _doneCv;
    std::deque<callerT> _fifo;
    bool _sleeping = false; // idle and not yet woken
    bool _stop = false;
    bool _done = false;
    std::atomic<uint32_t> _tid{0};
    threadT::handleT _thread;
};

} // namespace impl
} // namespace rux
