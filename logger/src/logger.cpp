#include "logger/logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>

#include "logger/stream_logdev.h"
#include "sal/assert.h"
#include "sal/time.h"

namespace rux {

struct loggerT::_logIdT {
    std::string name; // set once when the record is made
    // Read without the table lock: every filtered line checks it first.
    std::atomic<int> level{0};
    bool ptime = true;
    bool pfunc = true;
    std::shared_ptr<logDevT> dev;
    unsigned count = 0; // handles and lines in flight bound to this record
};

// <iostream> above orders std::cerr's set-up before these definitions.
std::unordered_map<std::string, loggerT::_logIdT*>& loggerT::_table =
    *new std::unordered_map<std::string, loggerT::_logIdT*>;
mutexT& loggerT::_tmtx = *new mutexT;
int loggerT::_dllev = log::DUMP;
std::shared_ptr<logDevT>& loggerT::_dldev =
    *new std::shared_ptr<logDevT>(std::make_shared<streamLogDevT>("stderr", std::cerr));

namespace {

const char* const levelNames[] = {"NODUMP",  "EMERGENCY", "ALERT", "CRITICAL", "ERROR",
                                  "WARNING", "NOTICE",    "INFO",  "DEBUG",    "DUMP"};
const char* const levelTags[] = {"NDP", "EMG", "ALR", "CRT", "ERR",
                                 "WRN", "NTC", "INF", "DBG", "DMP"};
constexpr int levelCount = 10;

// Tag of a line level; levels outside the table show as "???".
const char* levelTag(int level) {
    return level >= 0 && level < levelCount ? levelTags[level] : "???";
}

// "dd/mm/yyyy hh:mm:ss.uuuuuu " in local time.
size_t formatTime(char* buf, size_t size) {
    timeT now(sysCLK);
    time_t secs = now.sec;
    struct tm tm {};
    localtime_r(&secs, &tm);
    int n = snprintf(buf, size, "%02d/%02d/%04d %02d:%02d:%02d.%06d ", tm.tm_mday, tm.tm_mon + 1,
                     tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, int(now.nsec / 1000));
    return n < 0 ? 0 : std::min(size_t(n), size - 1);
}

} // namespace

// ---- handles --------------------------------------------------------------

loggerT::loggerT(const std::string& name) {
    _bind(name);
}

loggerT::loggerT(const char* name) {
    _bind(name ? std::string(name) : std::string());
}

loggerT::loggerT(const loggerT& o) {
    if (o._rec) {
        lockT<mutexT> g(_tmtx);
        _acquire(o._rec);
        _rec = o._rec;
    }
}

loggerT& loggerT::operator=(const loggerT& o) {
    if (this == &o)
        return *this;
    _logIdT* dead = nullptr;
    {
        lockT<mutexT> g(_tmtx);
        if (o._rec)
            _acquire(o._rec);
        if (_rec)
            dead = _release(_rec);
        _rec = o._rec;
    }
    delete dead;
    return *this;
}

loggerT& loggerT::operator=(loggerT&& o) noexcept {
    if (this == &o)
        return *this;
    _logIdT* dead = nullptr;
    if (_rec) {
        lockT<mutexT> g(_tmtx);
        dead = _release(_rec);
    }
    _rec = o._rec;
    o._rec = nullptr;
    delete dead;
    return *this;
}

loggerT::~loggerT() {
    if (!_rec)
        return;
    _logIdT* dead;
    {
        lockT<mutexT> g(_tmtx);
        dead = _release(_rec);
    }
    delete dead; // drops the record's device outside the lock
}

void loggerT::_bind(const std::string& name) {
    lockT<mutexT> g(_tmtx);
    auto it = _table.find(name);
    if (it == _table.end()) {
        auto rec = std::make_unique<_logIdT>();
        rec->name = name; // fixed from here on: line headers read it unlocked
        rec->level = _dllev;
        rec->dev = _dldev;
        it = _table.emplace(name, rec.get()).first;
        rec.release();
    }
    _logIdT* r = it->second;
    _acquire(r);
    _rec = r;
}

void loggerT::_acquire(_logIdT* rec) {
    ++rec->count;
}

loggerT::_logIdT* loggerT::_release(_logIdT* rec) {
    RUX_FAULT_IF(rec->count == 0);
    if (--rec->count != 0)
        return nullptr;
    _table.erase(rec->name);
    return rec;
}

loggerT::_logIdT& loggerT::_checked(const loggerT& l) {
    if (!l._rec)
        throw logExceptionT(logExceptionT::enNOT_INITIALIZED);
    return *l._rec;
}

// ---- settings -------------------------------------------------------------

std::string loggerT::name() const {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    return r.name;
}

int loggerT::level() const {
    return _checked(*this).level.load(std::memory_order_relaxed);
}

int loggerT::level(int l) {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    return r.level.exchange(l, std::memory_order_relaxed);
}

bool loggerT::printTime() const {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    return r.ptime;
}

bool loggerT::printTime(bool b) {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    std::swap(r.ptime, b);
    return b;
}

bool loggerT::printFunc() const {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    return r.pfunc;
}

bool loggerT::printFunc(bool b) {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    std::swap(r.pfunc, b);
    return b;
}

std::shared_ptr<logDevT> loggerT::setLogDev(std::shared_ptr<logDevT> dev) {
    _logIdT& r = _checked(*this);
    if (!dev)
        throw logExceptionT(logExceptionT::enINVALID_PARAM);
    lockT<mutexT> g(_tmtx);
    r.dev.swap(dev);
    return dev;
}

std::shared_ptr<logDevT> loggerT::getLogDev() const {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    return r.dev;
}

std::shared_ptr<logDevT> loggerT::resetLogDev() {
    _logIdT& r = _checked(*this);
    lockT<mutexT> g(_tmtx);
    std::shared_ptr<logDevT> old = r.dev;
    r.dev = _dldev;
    return old;
}

std::shared_ptr<logDevT> loggerT::setDefLogDev(std::shared_ptr<logDevT> dev) {
    if (!dev)
        throw logExceptionT(logExceptionT::enINVALID_PARAM);
    lockT<mutexT> g(_tmtx);
    std::shared_ptr<logDevT> old = _dldev;
    _dldev = dev;
    for (auto& entry : _table)
        if (entry.second->dev == old)
            entry.second->dev = dev;
    return old;
}

std::shared_ptr<logDevT> loggerT::getDefLogDev() {
    lockT<mutexT> g(_tmtx);
    return _dldev;
}

int loggerT::setDefLogLev(int level) {
    lockT<mutexT> g(_tmtx);
    std::swap(_dllev, level);
    return level;
}

int loggerT::getDefLogLev() {
    lockT<mutexT> g(_tmtx);
    return _dllev;
}

void loggerT::getAll(std::list<loggerT>& out) {
    lockT<mutexT> g(_tmtx);
    for (auto& entry : _table) {
        loggerT l;
        _acquire(entry.second);
        l._rec = entry.second;
        out.push_back(std::move(l));
    }
}

// ---- levels ---------------------------------------------------------------

std::string loggerT::lev2str(int level) {
    return level >= 0 && level < levelCount ? levelNames[level] : std::string();
}

bool loggerT::str2lev(const std::string& text, int& level) {
    const auto& table = levelTable();
    auto it = table.find(text);
    if (it == table.end())
        return false;
    level = it->second;
    return true;
}

const std::map<std::string, int>& loggerT::levelTable() {
    static const std::map<std::string, int>& table = *[] {
        auto* t = new std::map<std::string, int>;
        for (int i = 0; i < levelCount; ++i)
            (*t)[levelNames[i]] = i;
        return t;
    }();
    return table;
}

// ---- lines ----------------------------------------------------------------

loggerT::logbufT::logbufT(const loggerT& logger, int level, const char* function) : _level(level) {
    _logIdT& r = _checked(logger);
    if (r.level.load(std::memory_order_relaxed) < level) {
        setstate(std::ios_base::badbit);
        return;
    }
    bool ptime, pfunc;
    {
        lockT<mutexT> g(_tmtx);
        if (r.level.load(std::memory_order_relaxed) < level) {
            // Inserts into a failed stream are skipped without formatting.
            setstate(std::ios_base::badbit);
            return;
        }
        ptime = r.ptime;
        pfunc = r.pfunc;
        _acquire(&r); // the record outlives the line even if the handle goes
    }
    _rec = &r;

    // Written unformatted, so the stream's fill and adjustment stay untouched.
    char stamp[48];
    if (ptime)
        write(stamp, formatTime(stamp, sizeof stamp));
    write(levelTag(level), 3);
    put(' ');
    write(r.name.data(), r.name.size()); // immutable once the record exists
    write(" -> ", 4);
    if (function && *function && pfunc) {
        write("{ ", 2);
        *this << function;
        write(" } ", 3);
    }
}

loggerT::logbufT::~logbufT() {
    if (!_rec)
        return;
    std::shared_ptr<logDevT> dev;
    _logIdT* dead;
    {
        lockT<mutexT> g(_tmtx);
        dev = _rec->dev;
        dead = _release(_rec);
    }
    delete dead;
    try {
        if (dev && dev->passes(_level))
            dev->_doLog(str(), _level);
    } catch (...) {
        // A failing device loses the line; the caller is not disturbed.
    }
}

void loggerT::print(int level, const char* function, const char* format, ...) const {
    logbufT line(*this, level, function);
    if (!line.active())
        return;
    size_t size = 256;
    std::unique_ptr<char[]> buf(new char[size]);
    va_list ap;
    va_start(ap, format);
    for (;;) {
        va_list aq;
        va_copy(aq, ap);
        int n = vsnprintf(buf.get(), size, format, aq);
        va_end(aq);
        if (n < 0) {
            line << "!! PRINT TOO LONG !!\n";
            break;
        }
        if (size_t(n) < size) {
            line.write(buf.get(), n);
            break;
        }
        size = size_t(n) + 1;
        buf.reset(new char[size]);
    }
    va_end(ap);
}

} // namespace rux
