// threadT: the framework's thread records and the process-wide table of them.
//
// A record is made by create() and referred to by handles (reference counted).
// start() runs the body on a new OS thread and returns once that thread is in
// the table. A running thread whose last handle goes becomes "detached" and
// frees its own record when its body returns; a thread that returned while still
// referenced is a "zombie" until its last handle goes. self() adopts threads the
// framework did not make as "3PP" records (never entered in the table).
//
// Thread-safety: every static and per-record state is guarded by _tmtx; handles
// and iterators are owned by one thread each. Misuse (starting twice, waiting
// for oneself, using an empty proxy) is a framework assertion.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <pthread.h>

#include "sal/assert.h"
#include "sal/cond.h"
#include "sal/functor.h"
#include "sal/mutex.h"

namespace rux {

class threadT {
public:
    enum statusT { enNEW = 0, enRUNNING = 1, enDETACHED = 2, enZOMBIE = 3, en3PP = 4 };
    enum prioClassT { enBATCH = 0, enLOW = 1, enNORMAL = 2, enHIGH = 3, enRT = 4 };

    // Console texts: "new" "running" "detached" "zombie" "3pp"; "batch" .. "rt".
    static const char* statusText(statusT s);
    static const char* prioClassText(prioClassT c);

    class prioT {
    public:
        static constexpr unsigned maxVal = 79;
        // A level above maxVal is an assertion failure.
        prioT(prioClassT cls = enNORMAL, unsigned level = 0);
        prioClassT cls() const { return _cls; }
        unsigned level() const { return _level; }
        bool operator==(const prioT& o) const { return _cls == o._cls && _level == o._level; }

    private:
        prioClassT _cls;
        unsigned _level;
    };

    // Access to one record; every accessor asserts that the record is set.
    class proxyT {
    public:
        explicit proxyT(threadT* t = nullptr) : _pThread(t) {}
        proxyT* operator->() { return this; }
        bool valid() const { return _pThread != nullptr; }

        uint32_t tid() const;
        std::string name() const;
        unsigned count() const;
        statusT status() const;
        prioT priority() const;
        // False for a zombie or when the kernel refuses the change.
        bool priority(prioClassT cls, unsigned level);
        // Returns once the thread's body has returned.
        void wait();

    private:
        threadT& _rec() const;
        threadT* _pThread;
    };

    class handleT {
    public:
        handleT() = default;
        handleT(const handleT& o);
        handleT(handleT&& o) noexcept : _pThread(o._pThread) { o._pThread = nullptr; }
        handleT& operator=(const handleT& o);
        handleT& operator=(handleT&& o) noexcept;
        ~handleT() { reset(); }

        bool valid() const { return _pThread != nullptr; }
        proxyT operator->() const { return proxyT(_pThread); }
        proxyT operator*() const { return proxyT(_pThread); }
        bool operator==(const handleT& o) const { return _pThread == o._pThread; }
        bool operator!=(const handleT& o) const { return _pThread != o._pThread; }

        // Runs (obj->*fn)(args...) on the thread; returns once it is running.
        template <class O, class M, class... A,
                  std::enable_if_t<std::is_member_function_pointer_v<M>, int> = 0>
        void start(O obj, M fn, A... args) {
            start(functorT(std::move(obj), fn, std::move(args)...));
        }
        void start(functorT body);
        // Drops this handle's reference.
        void reset();

    private:
        friend class threadT;
        explicit handleT(threadT* adopted) : _pThread(adopted) {}
        threadT* _pThread = nullptr;
    };

    // Walks the thread table. reset() takes the table iteration lock (which
    // excludes other iterations only); close() or destruction frees it. Records
    // stay valid while the lock is held even if their threads end meanwhile.
    class iteratorT {
    public:
        iteratorT() = default;
        ~iteratorT() { close(); }
        iteratorT(const iteratorT&) = delete;
        iteratorT& operator=(const iteratorT&) = delete;

        void reset();
        iteratorT& operator++();
        bool find(uint32_t tid);
        void close();

        // The current record; empty after the last one.
        proxyT operator->() const { return proxyT(_cur); }
        proxyT operator*() const { return proxyT(_cur); }
        bool end() const { return _cur == nullptr; }

    private:
        threadT* _cur = nullptr;
        bool _valid = false; // this iterator holds the table iteration lock
    };

    static handleT create(const std::string& name);
    static handleT self();

    threadT(const threadT&) = delete;
    threadT& operator=(const threadT&) = delete;

private:
    threadT(const std::string& name, statusT status);
    ~threadT();

    static void* _entry(void* arg);
    static uint32_t _self();
    static void _release(threadT* t);
    static void _dispose(threadT* t);
    static void _lockTable();
    static void _unlockTable();

    void _start(functorT body);
    void _wait();
    bool _priority(const prioT& p);
    prioT _readPriority() const;

    uint32_t _tid = 0;
    std::string _name;
    unsigned _count = 1;
    statusT _status;
    functorT _body;
    prioT _prio;               // last applied (or, before start, requested) priority
    bool _prioPending = false; // apply _prio when the OS thread starts

    // Never destroyed: detached threads may still end while the process exits.
    static mutexT& _tmtx;
    static condT& _tcond;
    static std::map<uint32_t, threadT*>& _table;
    static uint32_t _tlock;
    static std::vector<threadT*>& _graveyard; // freed once no iteration runs
    static threadT* _main;
    friend struct threadInitT;
};

namespace impl {
// Kernel thread id of the calling thread.
uint32_t selfTid();

// Runs first on every thread threadT starts, before its body (the application
// skeleton gives each thread an alternate signal stack there). Returns the
// previous hook; nullptr: none.
using threadStartHookT = void (*)();
threadStartHookT setThreadStartHook(threadStartHookT hook);
} // namespace impl

} // namespace rux
