// Any bytes from a terminal or a telnet peer, decoded and fed to a session
// over a small tree.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "rux_cli_xface.h"

using namespace rux;

namespace {

std::shared_ptr<cliMenuT> makeTree() {
    auto root = cliMenuT::create("/", "root");
    auto noop = cliActionT::create([](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
        for (int i = 0; i < 8; ++i) {
            std::string v;
            if (a.get(i, v))
                out->print("%d=%s\n", i, v.c_str());
        }
    });
    auto ping = cliCmdT::create("ping", "check");
    ping->action(noop);
    root->add(ping);
    auto set = cliMenuT::create("set", "settings");
    root->add(set);
    auto speed = cliCmdT::create("speed", "speed");
    speed->action(noop);
    auto value = cliParamT::create("value", "value");
    value->add(cliValINT::range(-50, 100));
    value->add(cliValT::create("max", "the most"));
    speed->add(value);
    speed->add(cliParamT::create("force", "flag"));
    auto label = cliParamT::create("label", "label");
    label->add(cliValSTR::create(0, 4294967295u));
    label->flags(cliElemT::enREQUIRED);
    speed->add(label);
    set->add(speed);
    auto deep = cliMenuT::create("deep", "nested");
    deep->add(cliCmdT::create("reset", "no action"));
    set->add(deep);
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<cliMenuT> root = makeTree();
    std::ostringstream os;
    cliSessionT s(root);
    s.setOutput(cliVT100TermT::create(os));
    std::istringstream is(std::string(reinterpret_cast<const char*>(data), size));
    cliVT100InputDecoderT(is).run(s);
    const cliCtxT& c = s.ctx();
    if (c.line.size() + c.word.size() > cliCtxT::maxText || c.menuLine > c.line.size() ||
        c.menuDepth > c.path.size())
        __builtin_trap();
    return 0;
}
