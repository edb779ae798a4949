#include "holdqueue.h"

namespace rux {
namespace ipcd {

holdQueueT::holdQueueT(const std::map<impl::ipcPrioT, timeT>& holds) {
    for (const auto& h : holds)
        _hold[unsigned(h.first)] = h.second;
}

bool holdQueueT::passes(unsigned prio, const timeT& now) const {
    if (!_fifo[prio].empty())
        return false;
    for (unsigned k = 0; k < prio; ++k)
        if (!_fifo[k].empty() || now < _until[k])
            return false;
    return true;
}

void holdQueueT::taken(unsigned prio, const timeT& now) {
    _until[prio] = now + _hold[prio];
}

void holdQueueT::push(unsigned prio, entryT e) {
    _fifo[prio].push_back(std::move(e));
    ++_count;
}

holdQueueT::nextT holdQueueT::next(const timeT& now, entryT& out, timeT& wait) {
    for (unsigned k = 0; k < levels; ++k) {
        if (!_fifo[k].empty()) {
            out = std::move(_fifo[k].front());
            _fifo[k].pop_front();
            --_count;
            taken(k, now);
            return enTAKEN;
        }
        if (now < _until[k]) {
            // Nothing queued below a running hold is worth a wake-up.
            if (_count == 0)
                return enEMPTY;
            wait = _until[k] - now;
            return enHELD;
        }
    }
    return enEMPTY;
}

void holdQueueT::clear() {
    for (auto& f : _fifo)
        f.clear();
    _count = 0;
}

} // namespace ipcd
} // namespace rux
