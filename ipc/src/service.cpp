// The process-wide table of services, the configuration they share, and the
// exception texts.
#include "ipc/service.h"

#include <cstdlib>

#include "ipc/startupcfg.h"
#include "service_impl.h"

namespace rux {

std::unordered_map<std::string, ipcServiceT*>& ipcServiceT::_table =
    *new std::unordered_map<std::string, ipcServiceT*>;
mutexT& ipcServiceT::_tmtx = *new mutexT;
std::string ipcServiceT::_g_cfgf_name;

namespace {

const char* const g_texts[] = {
    "invalid parameter",
    "handle has not been initialized",
    "service has already been bound to a different ipc address",
    "service is not bound to any name",
    "wrong sequence of operations",
};

// Read once, with the first service; never destroyed.
startupCfgT* g_cfg = nullptr;

// The services' threads end before static destruction begins.
void haltAll() {
    lockT<mutexT> g(ipcServiceT::_tmtx);
    for (auto& e : ipcServiceT::_table)
        static_cast<impl::ipcServiceT*>(e.second)->_halt();
}

} // namespace

const char* ipcExceptionT::what() const noexcept {
    return _code >= 0 && _code <= 4 ? g_texts[_code] : "";
}

ipcServiceT::handleT ipcServiceT::handle(const std::string& service) {
    lockT<mutexT> g(_tmtx);
    auto it = _table.find(service);
    if (it != _table.end())
        return handleT(it->second);
    if (!g_cfg) {
        g_cfg = new startupCfgT;
        impl::buildIpcConfig(*g_cfg, _g_cfgf_name);
        std::atexit(haltAll);
    }
    // Lives as long as the process.
    auto* svc = new impl::ipcServiceT(service, g_cfg->getService(service));
    _table[service] = svc;
    return handleT(svc);
}

} // namespace rux
