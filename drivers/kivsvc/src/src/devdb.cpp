#include "devdb.h"

#include <climits>

namespace {

int nextIdx(int id) {
    return id == INT_MAX ? 0 : id + 1;
}

} // namespace

rux::mutexT& devdbT::_mtx = *new rux::mutexT;
devdbT* devdbT::_instance = nullptr;
int devdbT::_nextDevIdx = 0;

devdbT* devdbT::instance() {
    rux::lockT<rux::mutexT> g(_mtx);
    if (!_instance)
        _instance = new devdbT;
    return _instance;
}

// ---- observers ------------------------------------------------------------

void devdbT::add(std::shared_ptr<observerT> o) {
    if (!o)
        return;
    rux::lockT<rux::mutexT> g(_mtx);
    for (const auto& entry : _observers)
        if (entry.get() == o.get())
            return;
    _observers.push_back(std::move(o));
}

void devdbT::remove(std::shared_ptr<observerT> o) {
    std::list<std::shared_ptr<observerT>> gone; // released after _mtx
    rux::lockT<rux::mutexT> g(_mtx);
    for (auto it = _observers.begin(); it != _observers.end(); ++it)
        if (it->get() == o.get()) {
            gone.splice(gone.end(), _observers, it);
            return;
        }
}

void devdbT::_update() {
    std::list<std::shared_ptr<observerT>> copy;
    {
        rux::lockT<rux::mutexT> g(_mtx);
        copy = _observers;
    }
    for (const auto& o : copy)
        o->notify(*this);
}

// ---- devices --------------------------------------------------------------

int devdbT::_add(std::shared_ptr<kivDevT> dev) {
    if (!dev)
        return -1;
    rux::lockT<rux::mutexT> g(_mtx);
    int id = _nextDevIdx;
    // Only after the counter wrapped can an identifier still be taken.
    while (_devices.count(id))
        id = nextIdx(id);
    _devices.emplace(id, std::move(dev));
    _nextDevIdx = nextIdx(id);
    return id;
}

bool devdbT::_remove(int id) {
    std::shared_ptr<kivDevT> gone; // released after _mtx
    rux::lockT<rux::mutexT> g(_mtx);
    auto it = _devices.find(id);
    if (it == _devices.end())
        return false;
    gone = std::move(it->second);
    _devices.erase(it);
    return true;
}

std::shared_ptr<kivDevT> devdbT::_find(int id) const {
    auto it = _devices.find(id);
    return it == _devices.end() ? nullptr : it->second;
}

// ---- guards ---------------------------------------------------------------

devdbT::rdT::rdT(const devdbT& db) : _db(db) {
    _db.enterShared();
}

devdbT::rdT::~rdT() {
    _db.leaveShared();
}

void devdbT::rdT::get(std::map<int, std::shared_ptr<const kivDevT>>& out) const {
    for (const auto& entry : _db._devices)
        out.insert(entry);
}

std::shared_ptr<const kivDevT> devdbT::rdT::find(int id) const {
    return _db._find(id);
}

devdbT::wrT::wrT(devdbT& db) : _db(db), _changed(true) {
    _db.enterExclusive();
}

devdbT::wrT::~wrT() {
    _db.leaveExclusive();
    if (_changed)
        _db._update();
}
