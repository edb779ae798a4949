// pollableT<S, U> / pollerT<S, U>: waits on any mix of sockets at once.
//
// S is a pointer-like type to a socketT (raw or shared pointer), U a user value
// kept with each entry. Interest: 1 readable, 2 writable (bits may be combined;
// 4 may be given too and is reported regardless). Result flags of the last
// wait: 1 readable (also when the peer has closed: reading then gives 0), 2
// writable (no write of the socket still in flight), 4 error (a closed socket,
// a broken connection, or a socket shut down while waited on).
//
// Nothing is read or written by a wait, except that a write still in flight is
// pushed on. Sockets must outlive their entries. One thread uses a poller at a
// time; the sockets may be used and shut down by other threads meanwhile.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "sal/socket.h"
#include "sal/time.h"

namespace rux {

namespace impl {
// One socket of a poll: in `ctx` and `mask`, out `flags`.
struct pollItemT {
    std::shared_ptr<socketContextT> ctx; // held for the wait
    unsigned mask;
    unsigned flags;
};
// Fills the items' flags; ms < 0: no limit. Returns true when any is flagged.
bool pollItems(std::vector<pollItemT>& items, int ms);
} // namespace impl

template <class S = socketT*, class U = void*> class pollableT {
public:
    struct entryT {
        S socket;
        unsigned mask;  // interest
        unsigned flags; // result of the last wait
        U user;
    };

    // Walks the entries flagged by the last wait.
    class iteratorT {
    public:
        iteratorT() = default;
        iteratorT(std::vector<entryT>* list, size_t at) : _list(list), _at(at) { _skip(); }

        bool end() const { return !_list || _at >= _list->size(); }
        iteratorT& operator++() {
            ++_at;
            _skip();
            return *this;
        }
        entryT& operator*() const { return (*_list)[_at]; }
        entryT* operator->() const { return &(*_list)[_at]; }
        friend bool operator==(const iteratorT& a, const iteratorT& b) {
            return (a.end() && b.end()) || (a._list == b._list && a._at == b._at);
        }
        friend bool operator!=(const iteratorT& a, const iteratorT& b) { return !(a == b); }

        const S& socket() const { return (*this)->socket; }
        unsigned flags() const { return (*this)->flags; }
        U& user() const { return (*this)->user; }

    private:
        void _skip() {
            while (_list && _at < _list->size() && (*_list)[_at].flags == 0)
                ++_at;
        }
        std::vector<entryT>* _list = nullptr;
        size_t _at = 0;
    };

    // False when the socket is null or the mask is 0.
    bool add(S socket, unsigned mask, U user) {
        if (!socket || mask == 0)
            return false;
        _entries.push_back(entryT{std::move(socket), mask, 0, std::move(user)});
        return true;
    }
    // Removes every entry of the socket; false when there was none.
    template <class T> bool remove(const T& socket) {
        size_t before = _entries.size();
        for (size_t i = 0; i < _entries.size();) {
            if (&*_entries[i].socket == &*socket)
                _entries.erase(_entries.begin() + long(i));
            else
                ++i;
        }
        return _entries.size() != before;
    }
    void clear() { _entries.clear(); }
    size_t size() const { return _entries.size(); }
    bool empty() const { return _entries.empty(); }
    std::vector<entryT>& entries() { return _entries; }

    iteratorT begin() { return iteratorT(&_entries, 0); }
    iteratorT end() { return iteratorT(&_entries, _entries.size()); }

protected:
    iteratorT _poll(int ms) {
        _items.clear();
        for (auto& e : _entries)
            _items.push_back(impl::pollItemT{e.socket->context(), e.mask, 0});
        impl::pollItems(_items, ms);
        for (size_t i = 0; i < _entries.size(); ++i)
            _entries[i].flags = _items[i].flags;
        for (auto& it : _items)
            it.ctx.reset();
        return begin();
    }

    std::vector<entryT> _entries;
    std::vector<impl::pollItemT> _items; // reused by every wait
};

template <class S = socketT*, class U = void*> class pollerT : public pollableT<S, U> {
public:
    using iteratorT = typename pollableT<S, U>::iteratorT;

    // Waits at most `timeout` (whole milliseconds; negative: no limit) for
    // any entry to become ready. Returns at once when some entry is ready or
    // none can become ready.
    iteratorT wait(const timeT& timeout) {
        int64_t ms = timeout.ms();
        return this->_poll(ms < 0 ? -1 : ms > 0x7fffffff ? 0x7fffffff : int(ms));
    }
    // Waits without limit.
    iteratorT wait() { return this->_poll(-1); }
};

} // namespace rux
