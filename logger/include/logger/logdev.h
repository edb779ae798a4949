// logDevT: the abstract log device, shared by pointer between log IDs, multi
// and deferred devices and whoever configures them.
//
// A device receives finished lines through _doLog(); implementations serialise
// their own deliveries so that lines from many threads never mix within a line.
// The filter level may be read and changed from any thread. Delivery failures
// are not reported: the line is lost.
#pragma once

#include <atomic>
#include <string>

namespace rux {

class logDevT {
public:
    explicit logDevT(std::string name) : _name(std::move(name)) {}
    virtual ~logDevT() = default;
    logDevT(const logDevT&) = delete;
    logDevT& operator=(const logDevT&) = delete;

    // Delivers one finished line of the given level.
    virtual void _doLog(const std::string& text, int level) = 0;

    const std::string& name() const { return _name; }
    int level() const { return _level.load(std::memory_order_relaxed); }
    // Sets the filter level; returns the previous one.
    int level(int l) { return _level.exchange(l, std::memory_order_relaxed); }

    // True when a line of `level` passes this device's filter.
    bool passes(int level) const { return level <= this->level(); }

private:
    const std::string _name;
    std::atomic<int> _level{9};
};

} // namespace rux
