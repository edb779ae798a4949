#include "sal/cond.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sal/assert.h"

namespace rux {

namespace impl {

// One per thread, reused by each wait of that thread: a thread waits on one
// condition at a time, and the waker sets the event while holding the caller's
// mutex, which the waiter must take back before it can wait again.
struct waitEventT {
    std::mutex m;
    std::condition_variable cv;
    bool set = false;

    void fire() {
        std::lock_guard<std::mutex> g(m);
        set = true;
        cv.notify_one();
    }
};

namespace {
waitEventT& myEvent() {
    thread_local waitEventT ev;
    return ev;
}
} // namespace

} // namespace impl

void condT::wait(mutexT& m) {
    impl::waitEventT& ev = impl::myEvent();
    ev.set = false;
    _waiters.push_back(&ev);
    m.unlock();
    {
        std::unique_lock<std::mutex> g(ev.m);
        ev.cv.wait(g, [&] { return ev.set; });
    }
    m.lock();
}

bool condT::wait(mutexT& m, const timeT& timeout) {
    impl::waitEventT& ev = impl::myEvent();
    ev.set = false;
    _waiters.push_back(&ev);
    int64_t ms = timeout.ms();
    m.unlock();
    {
        std::unique_lock<std::mutex> g(ev.m);
        ev.cv.wait_for(g, std::chrono::milliseconds(ms > 0 ? ms : 0), [&] { return ev.set; });
    }
    m.lock();
    // Decided under m: a wake-up that raced with the time-out still counts.
    if (ev.set)
        return true;
    for (auto& w : _waiters)
        if (w == &ev) {
            w = nullptr;
            break;
        }
    return false;
}

void condT::signal() {
    while (!_waiters.empty()) {
        impl::waitEventT* w = _waiters.front();
        _waiters.pop_front();
        if (w)
            w->fire();
    }
}

void condT::pulse() {
    while (!_waiters.empty()) {
        impl::waitEventT* w = _waiters.front();
        _waiters.pop_front();
        if (w) {
            w->fire();
            return;
        }
    }
}

} // namespace rux
