#include "service_decoupler.h"

#include <chrono>
#include <exception>

namespace rux {
namespace impl {

decouplerT::decouplerT(const std::string& name, runT run, errorT error)
    : _run(std::move(run)), _error(std::move(error)) {
    _thread = threadT::create(name);
    _thread.start(functorT([this] { _loop(); }));
    _tid = _thread->tid();
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
        sleeping = _sleeping && wake;
        if (sleeping)
            _sleeping = false;
    }
    if (sleeping)
        _cv.notify_one();
}

void decouplerT::wake() {
    bool sleeping;
    {
        std::lock_guard<std::mutex> g(_m);
        sleeping = _sleeping && !_fifo.empty();
        if (sleeping)
            _sleeping = false;
    }
    if (sleeping)
        _cv.notify_one();
}

size_t decouplerT::pending() {
    std::lock_guard<std::mutex> g(_m);
    return _fifo.size();
}

bool decouplerT::onThread() const {
    return _tid != 0 && impl::selfTid() == _tid;
}

bool decouplerT::stop(int waitMs) {
    std::unique_lock<std::mutex> g(_m);
    _stop = true;
    _cv.notify_one();
    if (onThread())
        return true;
    return _doneCv.wait_for(g, std::chrono::milliseconds(waitMs), [this] { return _done; });
}

void decouplerT::_loop() {
    std::deque<callerT> batch;
    std::unique_lock<std::mutex> g(_m);
    for (;;) {
        while (_fifo.empty() && !_stop) {
            _sleeping = true;
            _cv.wait(g);
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
