// loggerT: a handle bound to a named log ID.
//
// Every loggerT of one name shares one record (level filter, print-time and
// print-function switches, device); the record lives while at least one
// handle is bound to it, and a name bound afresh starts from the defaults.
// Handles may be used from any thread; the records and the defaults are guarded
// by one process-wide mutex, which is never held while a device writes.
//
// A line is written through a logbufT (stream the text into it; its
// destruction delivers the line) or print(). The logger adds no line end.
// Using an unbound handle throws logExceptionT code 1; an empty device throws
// code 0.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>

#include "logger/exception.h"
#include "logger/level.h"
#include "logger/logdev.h"
#include "sal/mutex.h"

namespace rux {

class loggerT {
    struct _logIdT; // the record shared by every handle of one name

public:
    loggerT() = default;
    explicit loggerT(const std::string& name);
    explicit loggerT(const char* name);
    loggerT(const loggerT& o);
    loggerT(loggerT&& o) noexcept : _rec(o._rec) { o._rec = nullptr; }
    loggerT& operator=(const loggerT& o);
    loggerT& operator=(loggerT&& o) noexcept;
    ~loggerT();

    bool bound() const { return _rec != nullptr; }

    // Settings of the log ID; each setter returns the previous value.
    std::string name() const;
    int level() const;
    int level(int l);
    bool printTime() const;
    bool printTime(bool b);
    bool printFunc() const;
    bool printFunc(bool b);

    std::shared_ptr<logDevT> setLogDev(std::shared_ptr<logDevT> dev);
    std::shared_ptr<logDevT> getLogDev() const;
    // The log ID follows the default device again; returns its previous device.
    std::shared_ptr<logDevT> resetLogDev();

    // printf-style line: formats the arguments after the header and delivers.
    void print(int level, const char* function, const char* format, ...) const
        __attribute__((format(printf, 4, 5)));

    // Changes the default device; log IDs on the old default move to the new
    // one, those with a device of their own keep it. Returns the old default.
    static std::shared_ptr<logDevT> setDefLogDev(std::shared_ptr<logDevT> dev);
    static std::shared_ptr<logDevT> getDefLogDev();
    // Level given to log IDs created from now on; returns the previous one.
    static int setDefLogLev(int level);
    static int getDefLogLev();

    // Appends a bound handle for every registered log ID.
    static void getAll(std::list<loggerT>& out);

    // Upper-case level name; empty for a number outside 0..9.
    static std::string lev2str(int level);
    // Exact, case-sensitive lookup of an upper-case level name.
    static bool str2lev(const std::string& text, int& level);
    // Upper-case level names and their numbers.
    static const std::map<std::string, int>& levelTable();

    // One line in the making. Inactive (nothing written, nothing delivered)
    // when the log ID's level is below the line's.
    class logbufT : public std::ostringstream {
    public:
        // Writes the header; `function` may be null or empty for none.
        logbufT(const loggerT& logger, int level, const char* function = nullptr);
        // Delivers an active line to the log ID's current device.
        ~logbufT() override;
        logbufT(const logbufT&) = delete;
        logbufT& operator=(const logbufT&) = delete;

        bool active() const { return _rec != nullptr; }

    private:
        _logIdT* _rec = nullptr; // held record, null for an inactive line
        int _level;
    };

private:
    void _bind(const std::string& name);

    // Take / drop a reference on a record; callers hold _tmtx. _release hands
    // back a record that lost its last reference, for the caller to delete
    // once _tmtx is released.
    static void _acquire(_logIdT* rec);
    static _logIdT* _release(_logIdT* rec);
    static _logIdT& _checked(const loggerT& l);

    _logIdT* _rec = nullptr;

    // Process state; never destroyed, so that threads logging late in process
    // exit find it intact.
    static std::unordered_map<std::string, _logIdT*>& _table;
    static mutexT& _tmtx;
    static int _dllev;
    static std::shared_ptr<logDevT>& _dldev;
};

} // namespace rux
