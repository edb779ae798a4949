#include "logger/deferred_logdev.h"

#include "logger/exception.h"

namespace rux {

deferredLogDevT::deferredLogDevT(std::string name, std::shared_ptr<logDevT> dev, size_t capacity)
    : logDevT(std::move(name)), _dev(std::move(dev)), _capacity(capacity ? capacity : 1) {
    if (!_dev)
        throw logExceptionT(logExceptionT::enINVALID_PARAM);
    _thread = threadT::create("rux_log_deferred");
    _thread.start(this, &deferredLogDevT::_worker);
}

deferredLogDevT::~deferredLogDevT() {
    {
        lockT<mutexT> g(_mtx);
        _stop = true;
        _work.signal();
    }
    _thread->wait();
}

void deferredLogDevT::_doLog(const std::string& text, int level) {
    lockT<mutexT> g(_mtx);
    while (_queue.size() >= _capacity)
        _progress.wait(_mtx);
    _queue.emplace_back(level, text);
    ++_accepted;
    _work.signal();
}

void deferredLogDevT::flush() {
    lockT<mutexT> g(_mtx);
    uint64_t target = _accepted;
    while (_delivered < target)
        _progress.wait(_mtx);
}

void deferredLogDevT::_worker() {
    std::deque<std::pair<int, std::string>> batch;
    lockT<mutexT> g(_mtx);
    for (;;) {
        while (_queue.empty() && !_stop)
            _work.wait(_mtx);
        if (_queue.empty())
            return; // stopping and drained
        batch.swap(_queue);
        _progress.signal(); // room for writers again

        _mtx.unlock();
        size_t done = 0;
        for (auto& line : batch) {
            try {
                if (_dev->passes(line.first))
                    _dev->_doLog(line.second, line.first);
            } catch (...) {
                // A failing device loses this line only.
            }
            ++done;
        }
        batch.clear();
        _mtx.lock();

        _delivered += done;
        _progress.signal();
    }
}

} // namespace rux
