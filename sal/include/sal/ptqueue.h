// timedObjT<T> / ptqueueT<T, N, C, M, K>: a bounded, thread-safe priority
// queue of objects ordered by due time, the earliest on top.
//
// push() may be called from any thread; it waits while the queue holds N
// entries. The consumer side works under the queue's own lock: lock mutex(),
// then use the underscored accessors and the two conditions (not-empty is
// signalled on every push, not-full when a full queue loses its top). M is the
// lock type (mutexT), K the condition type (condT), C the container.
#pragma once

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/time.h"

namespace rux {

template <class T> struct timedObjT {
    T obj;
    timeT due;

    // Heap order: the later entry is the "smaller", so the earliest is on top.
    friend bool operator<(const timedObjT& a, const timedObjT& b) { return b.due < a.due; }
};

template <class T, unsigned N = std::numeric_limits<unsigned>::max(),
          class C = std::deque<timedObjT<T>>, class M = mutexT, class K = condT>
class ptqueueT {
public:
    static constexpr unsigned capacity = N;

    ptqueueT() = default;
    ptqueueT(const ptqueueT&) = delete;
    ptqueueT& operator=(const ptqueueT&) = delete;

    // Adds an entry, waiting while the queue is full.
    void push(T obj, const timeT& due) {
        lockT<M> g(_mtx);
        while (_heap.size() >= N)
            _notFull.wait(_mtx);
        _heap.push_back(timedObjT<T>{std::move(obj), due});
        std::push_heap(_heap.begin(), _heap.end());
        _notEmpty.signal();
    }

    size_t size() {
        lockT<M> g(_mtx);
        return _heap.size();
    }

    M& mutex() { return _mtx; }
    K& notEmpty() { return _notEmpty; }
    K& notFull() { return _notFull; }

    // Caller holds mutex().
    bool _empty() const { return _heap.empty(); }
    bool _full() const { return _heap.size() >= N; }
    const timedObjT<T>& _top() const { return _heap.front(); }
    timedObjT<T> _pop() {
        std::pop_heap(_heap.begin(), _heap.end());
        timedObjT<T> e = std::move(_heap.back());
        _heap.pop_back();
        return e;
    }

private:
    M _mtx;
    K _notEmpty;
    K _notFull;
    C _heap;
};

} // namespace rux
