// mutexT: recursive mutual exclusion; the holder may lock again and unlocks as
// often. Thread-safe; unlocking a mutex the caller does not hold is misuse.
// dummyMutexT: the same interface doing nothing, for single-owner use.
// lockT<M>: holds a lock for a scope.
#pragma once

#include <mutex>

namespace rux {

class mutexT {
public:
    mutexT() = default;
    mutexT(const mutexT&) = delete;
    mutexT& operator=(const mutexT&) = delete;

    void lock() { _m.lock(); }
    void unlock() { _m.unlock(); }
    bool trylock() { return _m.try_lock(); }

private:
    std::recursive_mutex _m;
};

struct dummyMutexT {
    void lock() {}
    void unlock() {}
    bool trylock() { return true; }
};

template <class M> class lockT {
public:
    explicit lockT(M& m) : _m(m) { _m.lock(); }
    ~lockT() { _m.unlock(); }
    lockT(const lockT&) = delete;
    lockT& operator=(const lockT&) = delete;

private:
    M& _m;
};

} // namespace rux
