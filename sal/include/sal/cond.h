// condT: condition variable with an explicit FIFO list of waiters.
//
// Every operation is made while holding the mutexT the waiters use; the list has
// no lock of its own. signal() wakes every current waiter, pulse() the oldest
// one that is still waiting (entries of waiters that timed out are passed over).
// A waiter unlocks the mutex once while it sleeps, so it must hold it once.
// Time-outs are durations measured on the monotonic clock.
#pragma once

#include <deque>

#include "sal/mutex.h"
#include "sal/time.h"

namespace rux {

namespace impl {
struct waitEventT;
}

class condT {
public:
    condT() = default;
    condT(const condT&) = delete;
    condT& operator=(const condT&) = delete;

    void wait(mutexT& m);
    // True when woken, false when `timeout` (whole milliseconds) passed first.
    bool wait(mutexT& m, const timeT& timeout);
    void signal();
    void pulse();

private:
    std::deque<impl::waitEventT*> _waiters; // nullptr: a waiter that timed out
};

} // namespace rux
