#include "gas/logdevs.h"

#include "sal/mutex.h"

namespace rux {

namespace {
// Never destroyed: threads may still ask for the list while the process exits.
mutexT& g_mtx = *new mutexT;
std::list<std::shared_ptr<logDevT>>& g_devs = *new std::list<std::shared_ptr<logDevT>>;
} // namespace

bool registerLogDevice(std::shared_ptr<logDevT> dev) {
    if (!dev)
        return false;
    lockT<mutexT> g(g_mtx);
    for (const auto& d : g_devs)
        if (d->name() == dev->name())
            return false;
    g_devs.push_back(std::move(dev));
    return true;
}

void getLogDevices(std::list<std::shared_ptr<logDevT>>& out) {
    lockT<mutexT> g(g_mtx);
    out = g_devs;
}

} // namespace rux
