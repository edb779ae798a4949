// devdbT: the process-wide device database.
//
// One instance, made on first use and never destroyed. Devices are kept by
// identifier; identifiers are handed out in increasing order from 0 and are
// not reused until the counter wraps after 2147483647, and even then an
// identifier still in use is skipped.
//
// Locking: a reader/writer lock guards the device map; rdT and wrT hold it for
// a scope. Inside it, _mtx guards the observer list, the counter and the map's
// changes (lock order: the reader/writer lock, then _mtx). Releasing a write
// guard notifies every observer once, in the order they were added, after the
// write lock is released and with no database lock held. Clients copy the
// shared pointer of a device under a guard and call the device after releasing
// it; the pointer keeps a device removed meanwhile alive.
#pragma once

#include <list>
#include <map>
#include <memory>

#include "kivdev.h"
#include "observer.h"
#include "sal/mutex.h"
#include "sal/rwlock.h"

class devdbT {
public:
    // Read guard.
    class rdT {
    public:
        explicit rdT(const devdbT& db);
        rdT() : rdT(*instance()) {}
        ~rdT();
        rdT(const rdT&) = delete;
        rdT& operator=(const rdT&) = delete;

        // Copies every device into `out` (identifiers already there are kept).
        void get(std::map<int, std::shared_ptr<const kivDevT>>& out) const;
        // The device of `id`; empty when there is none.
        std::shared_ptr<const kivDevT> find(int id) const;

    private:
        const devdbT& _db;
    };

    // Write guard; its release notifies the observers.
    class wrT {
    public:
        explicit wrT(devdbT& db);
        wrT() : wrT(*instance()) {}
        ~wrT();
        wrT(const wrT&) = delete;
        wrT& operator=(const wrT&) = delete;

        // Enters `dev`; returns its identifier.
        int add(std::shared_ptr<kivDevT> dev) { return _db._add(std::move(dev)); }
        // False when `id` was not in the database.
        bool remove(int id) { return _db._remove(id); }
        // The device of `id`, for operations that change it; empty when none.
        std::shared_ptr<kivDevT> find(int id) const { return _db._find(id); }

    private:
        devdbT& _db;
        bool _changed; // notify the observers on release
    };

    static devdbT* instance();

    // Appends `o` unless that object is already registered.
    void add(std::shared_ptr<observerT> o);
    // Drops `o` if registered.
    void remove(std::shared_ptr<observerT> o);

    // Direct use of the reader/writer lock (the guards do this for a scope).
    void enterShared() const { _rwlock.enterShared(); }
    void leaveShared() const { _rwlock.leaveShared(); }
    void enterExclusive() { _rwlock.enterExclusive(); }
    void leaveExclusive() { _rwlock.leaveExclusive(); }

    // Used under the write lock.
    int _add(std::shared_ptr<kivDevT> dev);
    bool _remove(int id);
    // Used under the read or the write lock.
    std::shared_ptr<kivDevT> _find(int id) const;
    // Notifies the observers; called with no database lock held.
    void _update();

private:
    friend class devdbTestT; // tests reach the identifier counter

    devdbT() = default;
    ~devdbT() = default;

    mutable rux::rwlockT _rwlock;
    std::list<std::shared_ptr<observerT>> _observers; // insertion order, no duplicates
    std::map<int, std::shared_ptr<kivDevT>> _devices;

    static rux::mutexT& _mtx; // never destroyed, like the instance
    static devdbT* _instance;
    static int _nextDevIdx; // next identifier to try
};
