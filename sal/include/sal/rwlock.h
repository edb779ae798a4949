// rwlockT: reader/writer lock with recursive shared holds per thread, recursive
// exclusive holds, and upgrade: a shared holder may enter exclusive mode (its
// shared holds are suspended while it waits and restored once it owns the
// lock). A thread claiming exclusive access blocks new readers, so a stream of
// readers cannot starve it. Thread-safe; a thread leaves what it entered.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "sal/cond.h"
#include "sal/mutex.h"

namespace rux {

class rwlockT {
public:
    rwlockT() = default;
    rwlockT(const rwlockT&) = delete;
    rwlockT& operator=(const rwlockT&) = delete;

    void enterShared();
    void leaveShared();
    void enterExclusive();
    void leaveExclusive();

    // Thread holding or claiming exclusive access, 0 when none (diagnostics).
    uint32_t owner() const;

private:
    std::unordered_map<uint32_t, unsigned> _readers; // thread id -> shared-hold count
    unsigned _count = 0;                             // exclusive recursion count
    uint32_t _owner = 0; // thread holding or claiming exclusive access, 0: none
    mutable mutexT _mtx;
    condT _cond;
};

} // namespace rux
