// holdQueueT: a service's five incoming FIFOs, one per message priority, with a
// hold time per priority.
//
// A datagram of priority k goes out only while every more urgent FIFO is empty
// and none of them has sent a datagram less than its hold time ago; within one
// priority, datagrams leave in arrival order. Taking a datagram of priority k
// starts k's hold. Entries are held by value and moved. Not thread-safe: the
// service thread alone uses it.
#pragma once

#include <deque>
#include <map>
#include <memory>

#include "ipc/prio.h"
#include "ipcnode.h"
#include "sal/dgram.h"
#include "sal/time.h"

namespace rux {
namespace ipcd {

class holdQueueT {
public:
    static constexpr unsigned levels = impl::ipcPrioT::count;

    struct entryT {
        dgramT dgram;
        std::shared_ptr<ipcNodeT> from; // the connection it came from
    };

    enum nextT { enTAKEN, enHELD, enEMPTY };

    explicit holdQueueT(const std::map<impl::ipcPrioT, timeT>& holds = {});

    bool empty() const { return _count == 0; }
    size_t size() const { return _count; }

    // True when a datagram of priority `prio` arriving now would go out at once:
    // nothing of its priority or a more urgent one waits, and no more urgent hold
    // is running. The caller then routes it without queuing and calls taken().
    bool passes(unsigned prio, const timeT& now) const;
    // Starts the hold of `prio` as for a datagram taken now.
    void taken(unsigned prio, const timeT& now);

    void push(unsigned prio, entryT e);
    // enTAKEN: `out` holds the next datagram (its hold has started); enHELD:
    // a hold keeps the rest back for `wait`; enEMPTY: nothing waits.
    nextT next(const timeT& now, entryT& out, timeT& wait);

    // Drops everything still queued.
    void clear();

private:
    std::deque<entryT> _fifo[levels];
    timeT _hold[levels];
    timeT _until[levels];
    size_t _count = 0;
};

} // namespace ipcd
} // namespace rux
