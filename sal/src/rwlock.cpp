#include "sal/rwlock.h"

#include "sal/assert.h"
#include "sal/thread.h"

namespace rux {

void rwlockT::enterShared() {
    const uint32_t me = impl::selfTid();
    lockT<mutexT> g(_mtx);
    auto it = _readers.find(me);
    if (it != _readers.end()) {
        ++it->second;
        return;
    }
    if (_owner != me)
        while (_owner != 0)
            _cond.wait(_mtx);
    _readers.emplace(me, 1u);
}

void rwlockT::leaveShared() {
    const uint32_t me = impl::selfTid();
    lockT<mutexT> g(_mtx);
    auto it = _readers.find(me);
    RUX_FAULT_IF(it == _readers.end());
    if (--it->second == 0) {
        _readers.erase(it);
        if (_readers.empty())
            _cond.signal();
    }
}

void rwlockT::enterExclusive() {
    const uint32_t me = impl::selfTid();
    lockT<mutexT> g(_mtx);
    if (_owner == me) {
        ++_count;
        return;
    }
    unsigned shared = 0;
    auto it = _readers.find(me);
    if (it != _readers.end()) {
        shared = it->second;
        _readers.erase(it);
        if (_readers.empty())
            _cond.signal();
    }
    while (_owner != 0)
        _cond.wait(_mtx);
    _owner = me; // from here new readers wait
    while (!_readers.empty())
        _cond.wait(_mtx);
    if (shared)
        _readers.emplace(me, shared);
    _count = 1;
}

uint32_t rwlockT::owner() const {
    lockT<mutexT> g(_mtx);
    return _owner;
}

void rwlockT::leaveExclusive() {
    const uint32_t me = impl::selfTid();
    lockT<mutexT> g(_mtx);
    RUX_FAULT_IF(_owner != me || _count == 0);
    if (--_count == 0) {
        _owner = 0;
        _cond.signal();
    }
}

} // namespace rux
