#include "service_scheduler.h"

namespace rux {
namespace impl {

void schedulerT::configure(const std::map<ipcPrioT, timeT>& holds, unsigned queueDim) {
    _hasHolds = false;
    for (unsigned p = 0; p < prios; ++p) {
        auto it = holds.find(ipcPrioT(p));
        _hold[p] = it == holds.end() ? timeT() : it->second;
        _until[p] = timeT();
        if (!_hold[p].nonPositive())
            _hasHolds = true;
    }
    _dim = queueDim == 0 ? 1 : queueDim; // a bound of 0 could never send anything
}

bool schedulerT::empty() const {
    for (const auto& q : _q)
        if (!q.empty())
            return false;
    return true;
}

bool schedulerT::nextUp(unsigned prio, const timeT& now) const {
    for (unsigned p = 0; p < prio; ++p)
        if (!_q[p].empty() || (_hasHolds && now < _until[p]))
            return false;
    return _q[prio].empty();
}

int schedulerT::next(const timeT& now, timeT& wait) const {
    wait = timeT(-1, 0);
    for (unsigned p = 0; p < prios; ++p) {
        if (!_q[p].empty())
            return int(p);
        if (_hasHolds && now < _until[p]) {
            wait = _until[p] - now;
            return -1;
        }
    }
    return -1;
}

void schedulerT::sent(unsigned prio, const timeT& now) {
    if (_hasHolds)
        _until[prio] = now + _hold[prio];
}

void schedulerT::clear() {
    for (unsigned p = 0; p < prios; ++p) {
        _q[p].clear();
        _until[p] = timeT();
    }
}

} // namespace impl
} // namespace rux
