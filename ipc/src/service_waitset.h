// waitSetT: where one thread of a service waits for the daemon socket to turn
// readable and for its own wake-up counter.
//
// Every thread that may read the socket (the I/O thread, the idle decoupler, a
// synchronous caller awaiting its answer) has a set of its own. The socket is
// watched with EPOLLEXCLUSIVE, so a datagram wakes only the first of those
// threads that is actually waiting, in the order the sets were armed: the
// service arms callers first and the I/O thread last, so that an answer wakes
// the caller that waits for it and a request wakes the idle decoupler, without
// a hand-over between threads. Which thread wakes never matters for
// correctness: whoever reads a datagram dispatches it as the I/O thread would.
// A thread woken for the socket reads at least one datagram: a woken waiter
// leaves the queue at once (Linux 6.0 on), so the next datagram wakes the next
// sleeper, and a wake-up that nobody acts on would leave a datagram behind.
//
// Thread-safety: wake() from any thread; wait() from the owning thread; arm()
// and the `conn` member under the service lock. Failures to create the set
// abort (out of descriptors at start-up is not recoverable here).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace rux {
namespace impl {

class waitSetT {
public:
    enum { enSOCKET = 1, enWOKEN = 2 };

    waitSetT();
    ~waitSetT();
    waitSetT(const waitSetT&) = delete;
    waitSetT& operator=(const waitSetT&) = delete;

    // Watches socket `fd` of connection `c` (which replaces whatever socket was
    // watched before: a closed socket leaves every set by itself). Re-arming a
    // set moves it behind every set armed earlier. False when the kernel has
    // no room for the watch (the set is then unarmed).
    bool arm(int fd, uint64_t c);
    bool rearm();
    // Stops watching the socket (until armed again).
    void disarm();
    // Waits up to `ms` (negative: without limit); enSOCKET and/or enWOKEN, or 0
    // on a time-out or signal. A wake-up is consumed.
    int wait(int ms);
    void wake();
    // Wakes the owner only if it announced that it is about to sleep (see
    // `sleeping`); otherwise it sees what it waits for before it sleeps.
    void wakeIfSleeping() {
        if (sleeping.load())
            wake();
    }

    int pollFd() const { return _ep; } // readable when wait() would not block
    int wakeFd() const { return _ev; }

    uint64_t conn = 0; // connection whose socket is watched (0: none)
    // Set by the owner before it checks its condition one last time and
    // waits; paired with the waker setting the condition before it looks here.
    std::atomic<bool> sleeping{false};

private:
    int _ep = -1;
    int _ev = -1;
    int _fd = -1;
};

// The set of the calling thread for service `owner`, made on first use and
// closed when the thread ends.
const std::shared_ptr<waitSetT>& threadWaitSet(const void* owner);

} // namespace impl
} // namespace rux
