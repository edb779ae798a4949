#include "service_decoupler.h"

#include <chrono>
#include <exception>

namespace rux {
namespace impl {

decouplerT::decouplerT(const std::string& name, runT run, errorT error, idleT idle)
    : _run(std::move(run)), _error(std::move(error)), _idle(std::move(idle)) {
    _thread = threadT::create(name);
    _thread.start(functorT([this] { _loop(); }));
    _tid.store(_thread->tid());
}

decouplerT::~decouplerT() {
    stop(1000);
}

void decouplerT::push(callerT&& c, bool wake) {
    bool sleeping;
    {
        std::lock_guard<std::mutex> g(_m);
        if (_stop)
            return;
        _fifo.push_back(std::move(c));
        sleeping = _sleeping && wake && !onThread();
        if (sleeping)
            _sleeping = false;
    }
    if (sleeping)
        _ws.wake();
}

void decouplerT::wake() {
    if (onThread())
        return; // it is not asleep, and looks at its queue next
    bool sleeping;
    {
        std::lock_guard<std::mutex> g(_m);
        sleeping = _sleeping && !_fifo.empty();
        if (sleeping)
            _sleeping = false;
    }
    if (sleeping)
        _ws.wake();
}

size_t decouplerT::pending() {
    std::lock_guard<std::mutex> g(_m);
    return _fifo.size();
}

bool decouplerT::onThread() const {
    uint32_t t = _tid.load();
    return t != 0 && impl::selfTid() == t;
}

bool decouplerT::stop(int waitMs) {
    std::unique_lock<std::mutex> g(_m);
    _stop = true;
    _ws.wake();
    if (onThread())
        return true;
    return _doneCv.wait_for(g, std::chrono::milliseconds(waitMs), [this] { return _done; });
}

void decouplerT::_loop() {
    _tid.store(impl::selfTid());
    std::deque<callerT> batch;
    std::unique_lock<std::mutex> g(_m);
    for (;;) {
        while (_fifo.empty() && !_stop) {
            _sleeping = true;
            g.unlock();
            if (_idle)
                _idle(_ws);
            else
                _ws.wait(-1);
            g.lock();
        }
        _sleeping = false;
        if (_stop)
            break;
        batch.swap(_fifo);
        g.unlock();
        while (!batch.empty()) {
            callerT& c = batch.front();
            try {
                _run(c);
            } catch (const std::exception& e) {
                _error(c, e.what());
            } catch (...) {
                _error(c, "unknown exception");
            }
            batch.pop_front();
            if (!batch.empty()) {
                std::lock_guard<std::mutex> s(_m);
                if (_stop)
                    break;
            }
        }
        batch.clear();
        g.lock();
    }
    _fifo.clear();
    _done = true;
    _doneCv.notify_all();
}

} // namespace impl
} // namespace rux
