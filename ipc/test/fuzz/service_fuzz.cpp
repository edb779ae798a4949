// Feeds arbitrary bytes to a service as datagrams from the daemon: presence
// notifications, subscription answers and user messages for a receiver and an
// event handler. Nothing may crash, and a refused datagram resets the service.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "service_impl.h"

using namespace rux;

namespace {

struct sinkT : ipcReceiverT, ipcEventHandlerT {
    void asyncMsg(std::unique_ptr<ipcMessageT>, const std::string&, const std::string&) override {}
    std::unique_ptr<ipcMessageT> syncMsg(std::unique_ptr<ipcMessageT> msg, const std::string&,
                                         const std::string&) override {
        return msg->reply(0);
    }
    void fwdMsg(std::unique_ptr<ipcMessageT>, const std::string&, const std::string&,
                const std::string&) override {}
    void notify(const ipcEventT&) override {}
};

impl::ipcServiceT& service() {
    static impl::ipcServiceT* svc = [] {
        startupCfgT::serviceInfoT cfg;
        cfg.logLevel = 0; // quiet
        auto* s = new impl::ipcServiceT("fuzz", cfg);
        auto sink = std::make_shared<sinkT>();
        s->_setReceiver(sink);
        s->_setEventHandler(sink);
        return s;
    }();
    return *svc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    // Exactly sized heap storage: any read past the length is out of bounds.
    std::unique_ptr<char[]> mem(new char[size ? size : 1]);
    if (size)
        std::memcpy(mem.get(), data, size);
    service()._feed(mem.get(), uint32_t(size));
    return 0;
}
