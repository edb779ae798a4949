#include "sal/poller.h"

#include <cerrno>

#include <poll.h>

#include "sal/assert.h"
#include "sockctx.h"

namespace rux {
namespace impl {

namespace {

enum roleT { enREAD, enPEER, enWRITE, enWAKE, enERROR };

struct slotT {
    size_t item;
    roleT role;
    std::shared_ptr<opWriteT> write; // enWRITE: the write in flight
};

bool shutListener(socketContextT& c) {
    lockT<mutexT> g(c.mtx);
    return c.listening && c.shut;
}

} // namespace

bool pollItems(std::vector<pollItemT>& items, int ms) {
    thread_local std::vector<pollfd> fds;
    thread_local std::vector<slotT> slots;
    thread_local std::vector<std::shared_ptr<wakeT>> wakes;
    timeT deadline(monCLK);
    deadline += timeT::fromMs(ms < 0 ? 0 : ms);

    for (;;) {
        fds.clear();
        slots.clear();
        wakes.clear();
        bool any = false;
        for (size_t i = 0; i < items.size(); ++i) {
            pollItemT& it = items[i];
            it.flags = 0;
            socketContextT* c = it.ctx.get();
            if (!c) {
                it.flags = 4;
                any = true;
                continue;
            }
            std::shared_ptr<opWriteT> pw;
            {
                lockT<mutexT> g(c->mtx);
                pw = c->pendingWrite;
            }
            if (it.mask & 1) {
                int peer = takePeer(*c, false);
                if (shutListener(*c) || peer < 0) {
                    it.flags |= 4;
                    any = true;
                } else if (peer == 0) {
                    // A bound stream end still waiting for its peer: its arrival
                    // is not data; take it and look again.
                    fds.push_back(pollfd{c->fd, POLLIN, 0});
                    slots.push_back(slotT{i, enPEER, nullptr});
                } else {
                    fds.push_back(pollfd{c->factory->pollFd(*c, false), POLLIN, 0});
                    slots.push_back(slotT{i, enREAD, nullptr});
                }
            }
            if (it.mask & 2) {
                if (!pw || pw->progress() != opWriteT::enPENDING) {
                    it.flags |= 2;
                    any = true;
                } else {
                    fds.push_back(pollfd{c->factory->pollFd(*c, true), POLLOUT, 0});
                    slots.push_back(slotT{i, enWRITE, pw});
                }
            }
            if (!(it.mask & 3)) {
                fds.push_back(pollfd{c->factory->pollFd(*c, false), 0, 0});
                slots.push_back(slotT{i, enERROR, nullptr});
            }
            if (auto w = c->wake()) {
                fds.push_back(pollfd{w->fd, POLLIN, 0});
                slots.push_back(slotT{i, enWAKE, nullptr});
                wakes.push_back(std::move(w));
            }
        }
        if (fds.empty())
            return any;

        int timeout = 0;
        if (!any && ms != 0) {
            if (ms < 0) {
                timeout = -1;
            } else {
                timeT rest = deadline - timeT(monCLK);
                timeout = rest.nonPositive() ? 0 : int(rest.ms()) + (rest.nsec % 1000000 ? 1 : 0);
            }
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        bool again = false; // a peer arrived for a bound stream end
        if (r < 0) {
            RUX_OS_CHECK(errno == EINTR || errno == ENOMEM);
            continue;
        }
        for (size_t k = 0; k < fds.size(); ++k) {
            short ev = fds[k].revents;
            if (!ev)
                continue;
            pollItemT& it = items[slots[k].item];
            switch (slots[k].role) {
            case enREAD:
                if (ev & (POLLERR | POLLNVAL) || shutListener(*it.ctx))
                    it.flags |= 4;
                else
                    it.flags |= 1; // data, or the end of the connection
                break;
            case enPEER:
                if (ev & (POLLERR | POLLNVAL))
                    it.flags |= 4;
                else
                    again = true;
                break;
            case enWRITE:
                if (slots[k].write->progress() != opWriteT::enPENDING)
                    it.flags |= 2;
                if (ev & POLLNVAL)
                    it.flags |= 4;
                break;
            case enWAKE:
                // Cancelled by shutdown: whatever else was seen is moot.
                it.flags = (it.flags & ~1u) | 4;
                break;
            case enERROR:
                it.flags |= 4;
                break;
            }
            if (it.flags)
                any = true;
        }
        wakes.clear();
        for (auto& s : slots)
            s.write.reset();
        if (again && !any)
            continue;
        if (any || r == 0 || timeout == 0)
            return any;
        // A write woke the wait without finishing yet: wait for the rest.
    }
}

} // namespace impl
} // namespace rux
