#include "logger/multi_logdev.h"

namespace rux {

void multiLogDevT::_doLog(const std::string& text, int level) {
    listT devs = devices();
    for (const auto& dev : devs)
        if (dev->passes(level))
            dev->_doLog(text, level);
}

void multiLogDevT::add(std::shared_ptr<logDevT> dev) {
    if (!dev)
        return;
    lockT<mutexT> g(_mtx);
    _devs.push_back(std::move(dev));
}

void multiLogDevT::add(const listT& devs) {
    listT fresh;
    for (const auto& dev : devs)
        if (dev)
            fresh.push_back(dev);
    lockT<mutexT> g(_mtx);
    _devs.swap(fresh);
    // The old list goes with `fresh` after the lock is released.
}

void multiLogDevT::remove(const std::string& name) {
    listT gone;
    lockT<mutexT> g(_mtx);
    for (auto it = _devs.begin(); it != _devs.end();) {
        auto next = std::next(it);
        if ((*it)->name() == name)
            gone.splice(gone.end(), _devs, it);
        it = next;
    }
}

void multiLogDevT::remove(const std::shared_ptr<logDevT>& dev) {
    listT gone;
    lockT<mutexT> g(_mtx);
    for (auto it = _devs.begin(); it != _devs.end();) {
        auto next = std::next(it);
        if (*it == dev)
            gone.splice(gone.end(), _devs, it);
        it = next;
    }
}

multiLogDevT::listT multiLogDevT::devices() const {
    lockT<mutexT> g(_mtx);
    return _devs;
}

} // namespace rux
