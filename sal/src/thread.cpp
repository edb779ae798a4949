#include "sal/thread.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sal/time.h"

namespace rux {

// Process-wide state, in this order: the main thread's record is made last.
mutexT& threadT::_tmtx = *new mutexT;
condT& threadT::_tcond = *new condT;
std::map<uint32_t, threadT*>& threadT::_table = *new std::map<uint32_t, threadT*>;
uint32_t threadT::_tlock = 0;
std::vector<threadT*>& threadT::_graveyard = *new std::vector<threadT*>;
threadT* threadT::_main = nullptr;

namespace impl {

uint32_t selfTid() {
    thread_local uint32_t tid = uint32_t(gettid());
    return tid;
}

namespace {
std::atomic<threadStartHookT> g_startHook{nullptr};
}

threadStartHookT setThreadStartHook(threadStartHookT hook) {
    return g_startHook.exchange(hook);
}

namespace {

// Linux mapping of the five classes: batch runs only when the system is idle,
// low/normal/high are nice values of the fair scheduler, rt is round-robin.
constexpr int kNiceLow = 10, kNiceLowUpper = 5, kNiceHigh = -5, kNiceHighUpper = -10;
constexpr int kRtPriority = 50;

bool applyPriority(uint32_t tid, const threadT::prioT& p) {
    const bool upper = p.level() >= 40;
    int policy = SCHED_OTHER, nice = 0;
    struct sched_param sp = {};
    switch (p.cls()) {
    case threadT::enBATCH:
        policy = SCHED_IDLE;
        break;
    case threadT::enLOW:
        nice = upper ? kNiceLowUpper : kNiceLow;
        break;
    case threadT::enNORMAL:
        break;
    case threadT::enHIGH:
        nice = upper ? kNiceHighUpper : kNiceHigh;
        break;
    case threadT::enRT:
        policy = SCHED_RR;
        sp.sched_priority = kRtPriority;
        break;
    }
    if (sched_setscheduler(pid_t(tid), policy, &sp) != 0)
        return false;
    if (policy == SCHED_OTHER && setpriority(PRIO_PROCESS, id_t(tid), nice) != 0)
        return false;
    return true;
}

// False when the thread is gone (ESRCH); other failures are faults.
bool readPriority(uint32_t tid, threadT::prioT& out) {
    int policy = sched_getscheduler(pid_t(tid));
    if (policy < 0) {
        RUX_OS_CHECK(errno == ESRCH);
        return false;
    }
    if (policy == SCHED_IDLE) {
        out = threadT::prioT(threadT::enBATCH, 0);
        return true;
    }
    if (policy == SCHED_RR || policy == SCHED_FIFO) {
        out = threadT::prioT(threadT::enRT, 0);
        return true;
    }
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, id_t(tid));
    if (nice == -1 && errno != 0) {
        RUX_OS_CHECK(errno == ESRCH);
        return false;
    }
    if (nice >= kNiceLow)
        out = threadT::prioT(threadT::enLOW, 0);
    else if (nice >= kNiceLowUpper)
        out = threadT::prioT(threadT::enLOW, 40);
    else if (nice <= kNiceHighUpper)
        out = threadT::prioT(threadT::enHIGH, 40);
    else if (nice <= kNiceHigh)
        out = threadT::prioT(threadT::enHIGH, 0);
    else
        out = threadT::prioT(threadT::enNORMAL, 0);
    return true;
}

bool taskAlive(uint32_t tid) {
    return syscall(SYS_tgkill, getpid(), pid_t(tid), 0) == 0 || errno != ESRCH;
}

} // namespace
} // namespace impl

// Sets up the main thread's record when the library is loaded.
struct threadInitT {
    threadInitT() {
        threadT* m = new threadT("main", threadT::enDETACHED);
        m->_tid = impl::selfTid();
        m->_count = 0;
        threadT::_main = m;
        lockT<mutexT> g(threadT::_tmtx);
        threadT::_table[m->_tid] = m;
    }
};
static threadInitT g_threadInit;

const char* threadT::statusText(statusT s) {
    static const char* const texts[] = {"new", "running", "detached", "zombie", "3pp"};
    return unsigned(s) < 5 ? texts[s] : "?";
}

const char* threadT::prioClassText(prioClassT c) {
    static const char* const texts[] = {"batch", "low", "normal", "high", "rt"};
    return unsigned(c) < 5 ? texts[c] : "?";
}

threadT::prioT::prioT(prioClassT cls, unsigned level) : _cls(cls), _level(level) {
    unsigned val = level;
    RUX_FAULT_IF(val > maxVal);
}

threadT::threadT(const std::string& name, statusT status) : _name(name), _status(status) {}

threadT::~threadT() = default;

uint32_t threadT::_self() {
    return impl::selfTid();
}

threadT::handleT threadT::create(const std::string& name) {
    return handleT(new threadT(name, enNEW));
}

threadT::handleT threadT::self() {
    const uint32_t me = _self();
    {
        lockT<mutexT> g(_tmtx);
        auto it = _table.find(me);
        if (it != _table.end()) {
            threadT* t = it->second;
            ++t->_count;
            // Referenced again: it must no longer free itself when its body returns.
            if (t->_status == enDETACHED && t != _main)
                t->_status = enRUNNING;
            return handleT(t);
        }
    }
    threadT* t = new threadT("3PP", en3PP);
    t->_tid = me;
    impl::readPriority(me, t->_prio);
    return handleT(t);
}

void* threadT::_entry(void* arg) {
    threadT* t = static_cast<threadT*>(arg);
    const uint32_t me = _self();
    // The kernel keeps 15 characters of a thread name.
    pthread_setname_np(pthread_self(), t->_name.substr(0, 15).c_str());
    if (impl::threadStartHookT hook = impl::g_startHook.load())
        hook();
    {
        lockT<mutexT> g(_tmtx);
        t->_tid = me;
        if (t->_prioPending)
            t->_prioPending = !impl::applyPriority(me, t->_prio);
        else
            impl::readPriority(me, t->_prio);
        t->_status = enRUNNING;
        _table[me] = t;
        _tcond.signal();
    }

    t->_body();

    bool mustFree = false;
    {
        lockT<mutexT> g(_tmtx);
        if (t->_status == enDETACHED) {
            mustFree = true;
        } else {
            t->_status = enZOMBIE;
            _tcond.signal();
        }
    }
    if (mustFree)
        _dispose(t);
    return nullptr;
}

void threadT::_start(functorT body) {
    {
        lockT<mutexT> g(_tmtx);
        RUX_FAULT_IF(_status != enNEW);
        _body = std::move(body);
    }
    pthread_attr_t attr;
    RUX_OS_CHECK(pthread_attr_init(&attr) == 0);
    RUX_OS_CHECK(pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0);
    pthread_t th;
    int rc = pthread_create(&th, &attr, &threadT::_entry, this);
    pthread_attr_destroy(&attr);
    RUX_OS_CHECK(rc == 0);
    lockT<mutexT> g(_tmtx);
    while (_status == enNEW)
        _tcond.wait(_tmtx);
}

void threadT::_wait() {
    bool foreign;
    {
        lockT<mutexT> g(_tmtx);
        RUX_FAULT_IF(_tid == _self());
        foreign = _status == en3PP; // never changes for such a record
    }
    if (foreign) {
        // Not ours to join: wait until the kernel task has gone.
        timeT pause = timeT::fromMs(1);
        while (impl::taskAlive(_tid)) {
            sleep(pause);
            if (pause.ms() < 20)
                pause += pause;
        }
        return;
    }
    lockT<mutexT> g(_tmtx);
    while (_status == enRUNNING)
        _tcond.wait(_tmtx);
}

bool threadT::_priority(const prioT& p) {
    lockT<mutexT> g(_tmtx);
    if (_status == enZOMBIE)
        return false;
    if (_status == enNEW) {
        _prio = p;
        _prioPending = true;
        return true;
    }
    if (!impl::applyPriority(_tid, p))
        return false;
    _prio = p;
    return true;
}

threadT::prioT threadT::_readPriority() const {
    lockT<mutexT> g(_tmtx);
    if (_status == enNEW || _status == enZOMBIE)
        return _prio;
    prioT p;
    return impl::readPriority(_tid, p) ? p : _prio;
}

void threadT::_release(threadT* t) {
    bool destroy = false;
    {
        lockT<mutexT> g(_tmtx);
        RUX_FAULT_IF(t->_count == 0);
        if (--t->_count > 0)
            return;
        if (t->_status == enNEW || t->_status == enZOMBIE || t->_status == en3PP)
            destroy = true;
        else
            t->_status = enDETACHED;
    }
    if (destroy)
        _dispose(t);
}

void threadT::_dispose(threadT* t) {
    {
        lockT<mutexT> g(_tmtx);
        RUX_OS_CHECK(t->_status != enRUNNING);
        if (t->_status != enNEW && t->_status != en3PP) {
            // The kernel reuses identifiers: the entry may already name a newer thread.
            auto it = _table.find(t->_tid);
            if (it != _table.end() && it->second == t)
                _table.erase(it);
        }
        // An iteration may be looking at it: free it when the iteration ends.
        if (_tlock != 0) {
            // Its body has returned and the kernel may reuse its id: the iteration
            // must see it as ended, not reach another thread through it.
            if (t->_status == enDETACHED)
                t->_status = enZOMBIE;
            _graveyard.push_back(t);
            return;
        }
    }
    delete t;
}

void threadT::_lockTable() {
    const uint32_t myTid = _self();
    lockT<mutexT> g(_tmtx);
    RUX_FAULT_IF(_tlock == myTid);
    while (_tlock != 0)
        _tcond.wait(_tmtx);
    _tlock = myTid;
}

void threadT::_unlockTable() {
    std::vector<threadT*> dead;
    {
        lockT<mutexT> g(_tmtx);
        _tlock = 0;
        dead.swap(_graveyard);
        _tcond.signal();
    }
    for (threadT* t : dead)
        delete t;
}

// proxyT ---------------------------------------------------------------------

threadT& threadT::proxyT::_rec() const {
    RUX_FAULT_IF(_pThread == 0);
    return *_pThread;
}

uint32_t threadT::proxyT::tid() const {
    threadT& t = _rec();
    lockT<mutexT> g(_tmtx);
    return t._tid;
}

std::string threadT::proxyT::name() const {
    return _rec()._name;
}

unsigned threadT::proxyT::count() const {
    threadT& t = _rec();
    lockT<mutexT> g(_tmtx);
    return t._count;
}

threadT::statusT threadT::proxyT::status() const {
    threadT& t = _rec();
    lockT<mutexT> g(_tmtx);
    return t._status;
}

threadT::prioT threadT::proxyT::priority() const {
    return _rec()._readPriority();
}

bool threadT::proxyT::priority(prioClassT cls, unsigned level) {
    threadT& t = _rec();
    return t._priority(prioT(cls, level));
}

void threadT::proxyT::wait() {
    _rec()._wait();
}

// handleT --------------------------------------------------------------------

threadT::handleT::handleT(const handleT& o) : _pThread(o._pThread) {
    if (_pThread) {
        lockT<mutexT> g(_tmtx);
        ++_pThread->_count;
    }
}

threadT::handleT& threadT::handleT::operator=(const handleT& o) {
    if (this == &o || _pThread == o._pThread)
        return *this;
    if (o._pThread) {
        lockT<mutexT> g(_tmtx);
        ++o._pThread->_count;
    }
    reset();
    _pThread = o._pThread;
    return *this;
}

threadT::handleT& threadT::handleT::operator=(handleT&& o) noexcept {
    if (this != &o) {
        reset();
        _pThread = o._pThread;
        o._pThread = nullptr;
    }
    return *this;
}

void threadT::handleT::reset() {
    if (threadT* t = _pThread) {
        _pThread = nullptr;
        _release(t);
    }
}

void threadT::handleT::start(functorT body) {
    RUX_FAULT_IF(!valid());
    _pThread->_start(std::move(body));
}

// iteratorT ------------------------------------------------------------------

void threadT::iteratorT::reset() {
    if (!_valid) {
        _lockTable();
        _valid = true;
    }
    lockT<mutexT> g(_tmtx);
    _cur = _table.empty() ? nullptr : _table.begin()->second;
}

threadT::iteratorT& threadT::iteratorT::operator++() {
    RUX_FAULT_IF(!_valid);
    if (_cur) {
        lockT<mutexT> g(_tmtx);
        // By identifier, so a record that left the table meanwhile still has a successor.
        auto it = _table.upper_bound(_cur->_tid);
        _cur = it == _table.end() ? nullptr : it->second;
    }
    return *this;
}

bool threadT::iteratorT::find(uint32_t tid) {
    _cur = nullptr;
    if (!_valid)
        return false;
    lockT<mutexT> g(_tmtx);
    auto it = _table.find(tid);
    if (it == _table.end())
        return false;
    _cur = it->second;
    return true;
}

void threadT::iteratorT::close() {
    _cur = nullptr;
    if (_valid) {
        _valid = false;
        _unlockTable();
    }
}

} // namespace rux
