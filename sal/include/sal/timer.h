// timerFactoryT: one thread that runs callbacks at given times on the
// monotonic clock: one-shot timers after a delay, periodic timers at a fixed
// rate.
//
// Timers may be added from any thread, also from inside a callback. Callbacks
// run on the factory thread, one at a time, never under the queue lock; a long
// callback delays the later timers. A periodic timer that falls behind runs
// once at once instead of catching up. A timer is cancelled by setting its
// `cancelled` flag: it is dropped when it comes due. Destruction waits for a
// running callback to return, then discards every pending timer unrun.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "sal/functor.h"
#include "sal/ptqueue.h"
#include "sal/thread.h"
#include "sal/time.h"

namespace rux {

class timerFactoryT {
public:
    struct _timerCtxT {
        functorT callback;
        std::optional<timeT> period; // empty for a one-shot timer
        timeT due;                   // next run, on the monotonic clock
        std::atomic<bool> cancelled{false};

        void cancel() { cancelled = true; }
    };
    using timerT = std::shared_ptr<_timerCtxT>;

    // An empty name gives "timer factory #<address of this factory>". Returns
    // once the thread runs.
    explicit timerFactoryT(const std::string& name = std::string());
    ~timerFactoryT();
    timerFactoryT(const timerFactoryT&) = delete;
    timerFactoryT& operator=(const timerFactoryT&) = delete;

    // Runs `callback` once, `delay` from now.
    timerT oneshot(functorT callback, const timeT& delay);
    // Runs `callback` every `period`, the first time `first` from now.
    timerT periodic(functorT callback, const timeT& period, const timeT& first);

    const std::string& name() const { return _name; }

private:
    void _mainLoop();
    void _add(const timerT& t) { _queue.push(t, t->due); }

    ptqueueT<timerT> _queue;
    threadT::handleT _thread;
    std::atomic<bool> _running{true};
    std::string _name;
};

} // namespace rux
