// schedulerT: the output side of a service: one bounded FIFO per message
// priority, and per priority a hold time that keeps less urgent datagrams back
// after one of that priority has left.
//
// The rule: priority k is served when its FIFO is not empty and no more urgent
// priority has a datagram queued or left less than its hold time ago. Each
// datagram carries the connection it was made for, so that nothing queued for
// an earlier connection leaves on a later one. Pure bookkeeping: the caller
// sends. Not thread-safe: guarded by the service mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>

#include "ipc/prio.h"
#include "sal/dgram.h"
#include "sal/time.h"

namespace rux {
namespace impl {

class schedulerT {
public:
    static constexpr unsigned prios = ipcPrioT::count;

    struct itemT {
        dgramT dgram;
        uint64_t conn; // connection the datagram belongs to
    };

    // Hold times per priority (absent: none) and the bound of every FIFO.
    void configure(const std::map<ipcPrioT, timeT>& holds, unsigned queueDim);

    bool full(unsigned prio) const { return _q[prio].size() >= _dim; }
    bool empty() const;
    bool hasHolds() const { return _hasHolds; }
    unsigned queueDim() const { return _dim; }

    // True when a datagram of `prio` queued now would be the next to leave, so
    // it may be written at once: no FIFO of equal or more urgent priority holds
    // anything and no more urgent hold is active.
    bool nextUp(unsigned prio, const timeT& now) const;
    // The priority to serve at `now`, or -1 with `wait` the time until the
    // active hold that stops the flush ends (negative: nothing to wait for).
    int next(const timeT& now, timeT& wait) const;

    void push(unsigned prio, dgramT&& d, uint64_t conn) {
        _q[prio].push_back({std::move(d), conn});
    }
    itemT& front(unsigned prio) { return _q[prio].front(); }
    void pop(unsigned prio) { _q[prio].pop_front(); }
    // A datagram of `prio` left at `now`: its hold starts.
    void sent(unsigned prio, const timeT& now);
    // Drops every queued datagram and every hold.
    void clear();
    size_t size(unsigned prio) const { return _q[prio].size(); }

private:
    std::deque<itemT> _q[prios];
    timeT _hold[prios];
    timeT _until[prios]; // hold-until instants on the monotonic clock
    unsigned _dim = 120;
    bool _hasHolds = false;
};

} // namespace impl
} // namespace rux
