// multiLogDevT: fans every line out to a list of devices, in list order, each
// filtered by its own level. The list may be changed from any thread while
// lines are delivered: a delivery works on a copy taken under the mutex, so a
// device removed meanwhile still receives the line in flight.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "logger/logdev.h"
#include "sal/mutex.h"

namespace rux {

class multiLogDevT : public logDevT {
public:
    using listT = std::list<std::shared_ptr<logDevT>>;

    explicit multiLogDevT(std::string name) : logDevT(std::move(name)) {}

    void _doLog(const std::string& text, int level) override;

    // Appends one device (empty pointers are ignored).
    void add(std::shared_ptr<logDevT> dev);
    // Replaces the whole list (empty pointers are left out).
    void add(const listT& devs);
    // Removes every entry whose device has this name.
    void remove(const std::string& name);
    // Removes every entry holding this device.
    void remove(const std::shared_ptr<logDevT>& dev);
    // A copy of the current list.
    listT devices() const;

private:
    listT _devs;
    mutable mutexT _mtx;
};

} // namespace rux
