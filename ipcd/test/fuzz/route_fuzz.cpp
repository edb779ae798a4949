// Fuzz target: the daemon's handling of what nodes send. The input is a script
// of steps, each acting for one of eight nodes: attach under a name, send a
// datagram (checked as on arrival, then routed), or disconnect. Deliveries are
// counted, and some refused, as a congested node would.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "router.h"

namespace {

using namespace rux;

class fuzzRouterT : public ipcdRouterT {
public:
    fuzzRouterT(const startupCfgT::serviceInfoT& info) : ipcdRouterT("local", info) {}
    uint8_t refuse = 0; // deliveries fail while its low bit is set

protected:
    bool _deliverMsg(const dgramT& d, ipcNodeT& node, bool) override {
        if (node.gone || d.length() == 0)
            return false;
        refuse = uint8_t(refuse >> 1 | refuse << 7);
        return !(refuse & 1);
    }
    void _watch(ipcNodeT& node) override { node.watched = true; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static startupCfgT::serviceInfoT info = [] {
        startupCfgT::serviceInfoT i;
        i.logLevel = 0; // no log lines, only their checks
        return i;
    }();
    fuzzRouterT router(info);
    std::shared_ptr<ipcNodeT> nodes[8];
    size_t at = 0;
    while (at + 3 <= size) {
        uint8_t op = data[at] & 3;
        uint8_t who = data[at] >> 2 & 7;
        router.refuse = data[at + 1];
        size_t len = data[at + 2];
        at += 3;
        if (len > size - at)
            len = size - at;
        std::string bytes(reinterpret_cast<const char*>(data + at), len);
        at += len;
        std::shared_ptr<ipcNodeT>& node = nodes[who];
        if (op == 0) {
            if (node && !node->gone)
                continue;
            node = std::make_shared<ipcNodeT>(seqSocketT(), bytes.empty() ? "n" : bytes, 0);
            if (!router._doAddNode(node, 0))
                node.reset();
        } else if (op == 3) {
            if (node) {
                node->gone = true;
                router._releaseNode(node);
                node.reset();
            }
        } else if (node) {
            dgramT d(bytes.empty() ? nullptr : &bytes[0], uint32_t(bytes.size()),
                     uint32_t(bytes.size()));
            unsigned prio;
            if (router._accept(d, *node, prio))
                router._route(d, *node);
        }
    }
    return 0;
}
