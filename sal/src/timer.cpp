#include "sal/timer.h"

#include <sstream>

namespace rux {

timerFactoryT::timerFactoryT(const std::string& name) : _name(name) {
    if (_name.empty()) {
        std::ostringstream os;
        os << "timer factory #" << static_cast<const void*>(this);
        _name = os.str();
    }
    _thread = threadT::create(_name);
    _thread.start(this, &timerFactoryT::_mainLoop);
}

timerFactoryT::~timerFactoryT() {
    _running = false;
    oneshot(functorT(), timeT());
    _thread->wait();
}

timerFactoryT::timerT timerFactoryT::oneshot(functorT callback, const timeT& delay) {
    auto t = std::make_shared<_timerCtxT>();
    t->callback = std::move(callback);
    t->due = timeT(monCLK) + delay;
    _add(t);
    return t;
}

timerFactoryT::timerT timerFactoryT::periodic(functorT callback, const timeT& period,
                                              const timeT& first) {
    auto t = std::make_shared<_timerCtxT>();
    t->callback = std::move(callback);
    t->period = period;
    t->due = timeT(monCLK) + first;
    _add(t);
    return t;
}

void timerFactoryT::_mainLoop() {
    mutexT& m = _queue.mutex();
    while (_running) {
        timerT t;
        {
            lockT<mutexT> g(m);
            while (_queue._empty())
                _queue.notEmpty().wait(m);
            timeT now(monCLK);
            const timeT due = _queue._top().due;
            if (now < due) {
                // Whole milliseconds, rounded up so that the wait never ends
                // early; a push (maybe of an earlier timer) ends it too.
                timeT rest = due - now;
                rest += timeT(0, 999999);
                _queue.notEmpty().wait(m, rest);
                continue; // look at the top again
            }
            if (_queue._full())
                _queue.notFull().signal();
            t = _queue._pop().obj;
        }
        // Stopping: pending callbacks are not run.
        if (!_running)
            break;
        if (t->cancelled)
            continue;
        t->callback();
        if (t->period && !t->cancelled && _running) {
            timeT next = t->due + *t->period;
            timeT now(monCLK);
            t->due = next < now ? now : next; // late: run once at once, no catching up
            _add(t);
        }
    }
}

} // namespace rux
